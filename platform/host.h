// What the host expects of names, times and attributes, which differs by OS:
// a Windows host reads the header record the Windows way (names with "\", a
// DOS date and time pair, DOS attribute bits, the ANSI exports' strings in the
// ANSI code page); a POSIX host reads it the Unix way (names with "/", Unix
// seconds, a Unix file mode, UTF-8 throughout). Inside the module names are
// UTF-8 on both. Implemented in platform/posix_host.cpp and
// platform/win32_host.cpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace mirad {
namespace platform {

// The code page of names a cabinet stores without the UTF-8 flag, unless the
// settings name another.
constexpr uint32_t kDefaultCodePage = 1252;

// The separator the host shows and hands back in entry names.
char HostSeparator();

// The header record's time for a stored DOS date and time (local time, as the
// cabinet holds it). A POSIX host gets Unix seconds, 0 for a date and time
// that name no real moment.
int32_t HostFileTime(uint16_t dosDate, uint16_t dosTime);

// The wide header record's precise time of the same moment: on Windows a
// FILETIME (100 ns units since 1601, UTC); 0 where the host reads the 32-bit
// time alone, and for a date and time that name no real moment.
uint64_t HostWideFileTime(uint16_t dosDate, uint16_t dosTime);

// The header record's attributes for stored attribute bits. A POSIX host gets
// the mode of a regular file, 0644, or 0444 when read-only.
int32_t HostAttributes(uint16_t attribs);

// A string of the ANSI exports as the module's UTF-8, and back (what has no
// place in the ANSI code page becomes "_"). Unchanged on POSIX, whose hosts
// speak UTF-8 to those exports too.
std::string FromAnsiHost(const char* text);
std::string ToAnsiHost(const std::string& text);

// A stored name or setup-file string as the module's UTF-8: `utf8` says the
// bytes are UTF-8 (the format's 0x80 name flag), otherwise they are in the
// single-byte code page `codePage`. Never fails: what cannot be converted is
// replaced by a character every file system accepts.
std::string StoredNameToHost(const char* name, bool utf8, uint32_t codePage);

// A name in the module's UTF-8 as a cabinet stores it; `*utf8` tells whether the
// stored bytes need the UTF-8 name flag.
std::string HostNameToStored(const char* name, bool* utf8);

// UTF-8 text in the single-byte code page `codePage`; false when a character
// has no place in it or the text is not UTF-8.
bool Utf8ToCodePage(const std::string& utf8, uint32_t codePage, std::string* out);

// Gives a finished file the stored date and time and attributes: read-only
// (0x01) takes every write permission away on POSIX; on Windows the
// read-only, hidden, system and archive bits are set as stored. A date and
// time that name no real moment leave the file's time alone. Call it once
// every byte is written: a later write would change the time again. The
// stream form flushes first and works on the open descriptor.
bool StampFile(const char* path, uint16_t dosDate, uint16_t dosTime, uint16_t attribs);
bool StampFile(std::FILE* file, uint16_t dosDate, uint16_t dosTime, uint16_t attribs);

// Only the date and time (for files that stand for no stored file).
bool StampFileTime(const char* path, uint16_t dosDate, uint16_t dosTime);
bool StampFileTime(std::FILE* file, uint16_t dosDate, uint16_t dosTime);

// Unix seconds of a DOS date and time read as local time; false when the
// fields name no real date and time (month 0, day 31 of April, hour 24 ...).
bool DosToUnixTime(uint16_t dosDate, uint16_t dosTime, int64_t* seconds);

}  // namespace platform
}  // namespace mirad
