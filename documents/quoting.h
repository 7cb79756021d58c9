// How text from the setup file (names, paths, string data) is written into
// the generated documents, so that nothing it holds can end a field, a string
// or a line early, and so add a line, key or section of its own.
//
// Neither document can carry a line end or another control character inside
// a line: each one is written as kControlPlaceholder. The INF script says so
// in a comment line before the entry.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "support/bytes.h"
#include "support/io.h"

namespace mirad {

// "?": what the ANSI code page itself shows for a character it cannot
// represent; it needs no quoting in either document.
constexpr char kControlPlaceholder = '?';

// C0 controls and DEL. NUL never reaches the writers inside a text.
inline bool IsControl(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
}

bool HasControl(const char* text);
// The bytes of string data from the reader's position on, NULs (piece ends)
// excepted; the reader is not moved.
bool HasControl(const ByteReader& data);

// The character as a document line can hold it: a control as the placeholder.
inline char Visible(char c) { return IsControl(c) ? kControlPlaceholder : c; }

// Text with controls written as the placeholder and nothing else changed.
void PutVisible(TextWriter& out, const char* text);

// INF quoted string, quotes included: a double quote is written twice, a
// backslash as itself (INF has no backslash escapes).
void PutInfQuoted(TextWriter& out, const char* text);
// One character inside an INF quoted string.
void PutInfQuotedChar(TextWriter& out, char c);
// An INF field written bare when INF reads it back unchanged, else quoted.
void PutInfField(TextWriter& out, const char* text);
// Before an INF entry: the comment line saying the entry's controls were
// replaced, when any of `texts` holds one.
void NoteControls(TextWriter& out, std::initializer_list<const char*> texts);
void PutControlNote(TextWriter& out);

// Registry export quoted text without its quotes: backslash and double quote
// escaped with a backslash.
void PutRegEscaped(TextWriter& out, const char* text);
void PutRegEscapedChar(TextWriter& out, char c);

}  // namespace mirad
