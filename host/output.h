// What the host prints: sentences on stderr, entry lines, JSON text, and
// names made safe for a terminal.
#pragma once

#include <cstdint>
#include <string>

#include "interface/exports.h"

namespace host {

void Error(const std::string& sentence);    // "mirad: " + sentence on stderr
void Warning(const std::string& sentence);  // "mirad: warning: " + sentence on stderr; not with -q
void SetQuiet(bool quiet);
bool Quiet();

std::string Quoted(const std::string& text);  // 'text'
// "3 files", "1 file".
std::string Count(uint64_t n, const char* one, const char* many);
std::string ResultText(int32_t code);
// The text with control characters shown escaped (\n, \r, \t, \x1b; the
// UTF-8 form of C1 controls too), so a name cannot drive the terminal or
// forge lines.
std::string Printable(const std::string& text);
// Printable(text) and a newline on standard output.
void PrintLine(const std::string& text);
// Flushes standard output; false when anything written to it was lost.
bool StdoutWritten();
// Text for JSON: quoted, escaped; bytes that are not UTF-8 read as Latin-1.
std::string JsonString(const std::string& text);

std::string EntryName(const EntryHeader& header);
// A generated document listed without its length; every other entry's
// packedSize is its length (-1 too: a stored file of 0xFFFFFFFF bytes).
bool UnmeasuredDocument(const EntryHeader& header);
std::string AttributeLetters(int32_t attributes);  // RHSA of the entry's attribute bits
// One listing line: size, date and time, attributes, then `name`.
std::string FormatEntry(const EntryHeader& header, const std::string& between = "");

}  // namespace host
