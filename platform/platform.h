// The few OS services the module needs, implemented once over Win32
// (platform/win32.cpp) and once over POSIX (platform/posix.cpp). Nothing
// outside platform/ knows which OS it runs on. Paths are UTF-8 (on POSIX,
// whatever bytes the file system holds); the Win32 side speaks to the system
// through its wide calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace mirad {
namespace platform {

// ---- Module identity -------------------------------------------------------

// The module's own file path, NUL-terminated, at most size - 1 characters.
// False (and out empty) when it cannot be told.
bool ModulePath(char* out, size_t size);

// ---- INI profile -----------------------------------------------------------
// Section and key names compare without regard to case. A key that is absent
// yields the default. Values are cut to size - 1 characters.

// Returns the number of characters copied to out (without the NUL).
size_t ProfileGetString(const char* section, const char* key, const char* fallback, char* out, size_t size,
                        const char* path);
int ProfileGetInt(const char* section, const char* key, int fallback, const char* path);

// One profile file read once for many keys (a settings load asks for some
// 25): the same answers as the functions above, which read the file on
// every call. A file that cannot be read yields every default.
class Profile {
public:
    explicit Profile(const char* path);
    ~Profile();
    Profile(const Profile&) = delete;
    Profile& operator=(const Profile&) = delete;
    size_t GetString(const char* section, const char* key, const char* fallback, char* out, size_t size) const;
    int GetInt(const char* section, const char* key, int fallback) const;

private:
    struct Text;
    const char* path_;
    std::unique_ptr<Text> text_;
};

// Writes one key, keeping every other line of the file; creates the file and
// the section as needed.
bool ProfileWriteString(const char* section, const char* key, const char* value, const char* path);

// ---- Files -----------------------------------------------------------------

// Opens an existing file for shared reading and takes its last-write time as
// 8 opaque bytes (compared whole, never interpreted). False when it cannot be
// opened.
bool FileWriteStamp(const char* path, uint8_t stamp[8]);

// Creates a new, empty file; fails when it already exists or the path is bad.
bool CreateNewEmptyFile(const char* path);

// fopen with the module's UTF-8 path on every system.
std::FILE* OpenFile(const char* path, const char* mode);

// Opens a file that must not exist yet for binary writing (exclusive create).
std::FILE* OpenNewFile(const char* path);

bool SeekFile(std::FILE* file, uint64_t offset);
bool FileLength(std::FILE* file, uint64_t* length);
// Reads up to `count` bytes at `offset` of a file opened for reading without
// a stream buffer, in one system call where one gives them, and leaves where
// the stream stands undefined; the count read, short only at the end or on
// an error. A reader that keeps its own position needs no seek before it.
size_t ReadFileAt(std::FILE* file, uint64_t offset, void* buffer, size_t count);

// What a directory scan tells about one file.
struct FindData {
    uint64_t size = 0;
    uint32_t attributes = 0;  // Win32 attribute bits (0x01 read-only, 0x02 hidden, 0x04 system, 0x10 dir, 0x20 archive)
    uint16_t dosDate = 0;     // last-write time, local, as DOS date
    uint16_t dosTime = 0;     // and DOS time
};

// Looks up one path (no wildcards expected). False when it does not exist.
bool FindFile(const char* path, FindData* data);

bool DeleteFile(const char* path);
bool RemoveDirectory(const char* path);
bool MakeDirectory(const char* path);  // true when it exists afterwards
// Puts `from` in place of `to` in one step (rename on the same volume).
bool ReplaceFile(const char* from, const char* to);

// Local DOS date and time of a POSIX/Unix time value (seconds since 1970).
void UnixTimeToDos(int64_t seconds, uint16_t* dosDate, uint16_t* dosTime);

// ---- Threads -----------------------------------------------------------------

// A plain mutual-exclusion lock (usable with std::lock_guard). The Windows
// toolchain's standard library has no std::mutex, so the system's own lock
// serves on both sides.
class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock();
    void unlock();

private:
    alignas(8) unsigned char storage_[64];
};

// Held around the C library's local-time conversions: they share the time
// zone state, and the thread checker cannot see the C library's own lock.
Mutex& LocalTimeLock();

}  // namespace platform
}  // namespace mirad
