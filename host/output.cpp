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

// Where the first byte that may need escaping is (the length when none).
static size_t FirstToEscape(const std::string& text) {
    size_t first = 0;
    // Eight bytes at a time while none of them is below 0x20, 0x7F or 0xC2
    // (the classic tests for a byte below n and for a zero byte).
    const uint64_t ones = 0x0101010101010101ull, highs = ones * 0x80;
    for (; first + 8 <= text.size(); first += 8) {
        uint64_t w;
        std::memcpy(&w, text.data() + first, sizeof w);
        const uint64_t del = w ^ (ones * 0x7F), c2 = w ^ (ones * 0xC2);
        if (((w - ones * 0x20) & ~w & highs) | ((del - ones) & ~del & highs) | ((c2 - ones) & ~c2 & highs)) break;
    }
    for (; first < text.size(); ++first) {
        unsigned char c = static_cast<unsigned char>(text[first]);
        if (c < 0x20 || c == 0x7F || c == 0xC2) break;
    }
    return first;
}

std::string Printable(const std::string& text) {
    // Most names need nothing escaped, and a listing prints tens of
    // thousands of them: find the first byte that may before copying any.
    size_t first = FirstToEscape(text);
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

void PrintLine(const std::string& text) {
    if (FirstToEscape(text) == text.size()) {
        std::fwrite(text.data(), 1, text.size(), stdout);
    } else {
        const std::string shown = Printable(text);
        std::fwrite(shown.data(), 1, shown.size(), stdout);
    }
    std::putchar('\n');
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
    // "%11s  %-19s  %s  " in 64 bytes, laid out by hand: a listing formats
    // tens of thousands of these.
    const std::string& time = EntryTime(header.fileTime);
    std::string line;
    line.reserve(64 + between.size() + sizeof header.fileName);
    if (size.size() < 11) line.append(11 - size.size(), ' ');
    line += size;
    line += "  ";
    line += time;
    if (time.size() < 19) line.append(19 - time.size(), ' ');
    line += "  ";
    line += AttributeLetters(header.fileAttributes);
    line += "  ";
    if (line.size() > 63) line.resize(63);
    line += between;
    line.append(header.fileName, strnlen(header.fileName, sizeof header.fileName));
    return line;
}

}  // namespace host
