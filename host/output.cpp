// Sentences, entry lines and JSON text.
#include "host/output.h"

#include <cstdio>
#include <cstring>

#include "host/facts.h"
#include "host/os.h"

namespace host {

namespace {
bool g_quiet = false;
}

void SetQuiet(bool quiet) { g_quiet = quiet; }
bool Quiet() { return g_quiet; }

void Error(const std::string& sentence) { std::fprintf(stderr, "mirad: %s\n", Printable(sentence).c_str()); }

void Warning(const std::string& sentence) {
    if (!g_quiet) std::fprintf(stderr, "mirad: warning: %s\n", Printable(sentence).c_str());
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

std::string Count(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string ResultText(int32_t code) {
    switch (code) {
        case MIRAD_OK: return "success";
        case MIRAD_END_ARCHIVE: return "no more entries";
        case MIRAD_NO_MEMORY: return "out of memory";
        case MIRAD_BAD_DATA: return "bad data";
        case MIRAD_UNKNOWN_FORMAT: return "format not handled";
        case MIRAD_EOPEN: return "cannot open";
        case MIRAD_ECREATE: return "cannot create";
        case MIRAD_NOT_SUPPORTED: return "not supported";
        case MIRAD_ABORTED: return "interrupted";
        default: return "unknown result " + std::to_string(code);
    }
}

std::string Printable(const std::string& text) {
    // Most names need nothing escaped, and a listing prints tens of
    // thousands of them: find the first byte that may before copying any.
    size_t first = 0;
    for (; first < text.size(); ++first) {
        unsigned char c = static_cast<unsigned char>(text[first]);
        if (c < 0x20 || c == 0x7F || c == 0xC2) break;
    }
    if (first == text.size()) return text;
    std::string out(text, 0, first);
    out.reserve(text.size() + 8);
    for (size_t i = first; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        char escaped[16];
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            // The UTF-8 form of a C1 control (CSI and the like).
            std::snprintf(escaped, sizeof escaped, "\\x%02x\\x%02x", c, next);
            out += escaped;
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool StdoutWritten() {
    // A write that failed earlier leaves the error flag even after a
    // successful flush.
    bool ok = std::fflush(stdout) == 0;
    return !std::ferror(stdout) && ok;
}

// The length of the UTF-8 sequence at text[i], or 0 when it is none.
static size_t Utf8Length(const std::string& text, size_t i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
    }
    return length;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char escape[8];
        size_t length = c >= 0x80 ? Utf8Length(text, i) : 0;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else if (length) {
            // A whole UTF-8 sequence passes; any other byte is Latin-1.
            out += text.substr(i, length);
            i += length - 1;
        } else {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        }
    }
    return out + "\"";
}

std::string EntryName(const EntryHeader& header) {
    return std::string(header.fileName, strnlen(header.fileName, sizeof header.fileName));
}

std::string AttributeLetters(int32_t attributes) {
    int32_t bits = EntryAttributeBits(attributes);
    std::string letters = "----";
    if (bits & 0x01) letters[0] = 'R';
    if (bits & 0x02) letters[1] = 'H';
    if (bits & 0x04) letters[2] = 'S';
    if (bits & 0x20) letters[3] = 'A';
    return letters;
}

bool UnmeasuredDocument(const EntryHeader& header) {
    return header.packedSize == -1 && IsDocumentName(EntryName(header));
}

std::string FormatEntry(const EntryHeader& header, const std::string& between) {
    std::string size;
    // Every entry has its length (a stored file of 0xFFFFFFFF bytes comes
    // as -1), except a generated document the module does not measure.
    if (UnmeasuredDocument(header)) {
        size = "<generated>";
    } else {
        size = std::to_string(static_cast<uint32_t>(header.packedSize));
    }
    char line[64];
    std::snprintf(line, sizeof line, "%11s  %-19s  %s  ", size.c_str(), EntryTime(header.fileTime).c_str(),
                  AttributeLetters(header.fileAttributes).c_str());
    return line + between + EntryName(header);
}

}  // namespace host
