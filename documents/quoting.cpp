#include "documents/quoting.h"

#include <cstring>

namespace mirad {

bool HasControl(const char* text) {
    for (; *text; ++text)
        if (IsControl(*text)) return true;
    return false;
}

bool HasControl(const ByteReader& data) {
    if (data.failed || data.pos > data.size) return false;
    for (size_t i = data.pos; i < data.size; ++i) {
        char c = static_cast<char>(data.data[i]);
        if (c != '\0' && IsControl(c)) return true;
    }
    return false;
}

void PutVisible(TextWriter& out, const char* text) {
    // Runs without controls go out whole.
    while (*text) {
        size_t n = 0;
        while (text[n] && !IsControl(text[n])) ++n;
        TextPutBytes(out, text, n);
        text += n;
        if (*text) {
            TextPutBytes(out, &kControlPlaceholder, 1);
            ++text;
        }
    }
}

void PutInfQuotedChar(TextWriter& out, char c) {
    if (c == '"') TextPutBytes(out, "\"", 1);
    char v = Visible(c);
    TextPutBytes(out, &v, 1);
}

void PutInfQuoted(TextWriter& out, const char* text) {
    TextPutBytes(out, "\"", 1);
    for (; *text; ++text) PutInfQuotedChar(out, *text);
    TextPutBytes(out, "\"", 1);
}

void PutInfField(TextWriter& out, const char* text) {
    // A bare field ends at "," or ";", loses surrounding blanks, is a key
    // before "=", opens a quoted part at '"', and at the start of a line "["
    // would make it a section header.
    size_t n = std::strlen(text);
    bool bare = std::strpbrk(text, "\",;=") == nullptr &&
                (n == 0 || (text[0] != ' ' && text[0] != '[' && text[n - 1] != ' '));
    if (bare)
        PutVisible(out, text);
    else
        PutInfQuoted(out, text);
}

void PutControlNote(TextWriter& out) {
    TextPrintf(out, "; !! Control characters in the next entry are written as %c !!\n", kControlPlaceholder);
}

void NoteControls(TextWriter& out, std::initializer_list<const char*> texts) {
    for (const char* text : texts) {
        if (HasControl(text)) {
            PutControlNote(out);
            return;
        }
    }
}

void PutRegEscapedChar(TextWriter& out, char c) {
    if (c == '\\' || c == '"') TextPutBytes(out, "\\", 1);
    char v = Visible(c);
    TextPutBytes(out, &v, 1);
}

void PutRegEscaped(TextWriter& out, const char* text) {
    for (; *text; ++text) PutRegEscapedChar(out, *text);
}

}  // namespace mirad
