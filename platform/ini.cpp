#include "platform/ini.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/ascii.h"

namespace mirad {
namespace ini {

namespace {

const std::string kBom = "\xEF\xBB\xBF";  // UTF-8 byte-order mark

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

bool SameName(const std::string& a, const char* b) { return EqualNoCase(a.data(), a.size(), b, std::strlen(b)); }

struct IniLine {
    std::string text;  // without its line end
    std::string end;   // "\r\n", "\n", or "" for a last line without one
};

enum class LineKind { Blank, Comment, Section, Key };

struct ParsedLine {
    LineKind kind = LineKind::Blank;
    std::string name;  // section or key name, trimmed
    std::string value; // trimmed; only for keys
    bool hasValue = false;
};

std::vector<IniLine> SplitLines(const std::string& content) {
    std::vector<IniLine> lines;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t nl = content.find('\n', pos);
        IniLine line;
        if (nl == std::string::npos) {
            line.text = content.substr(pos);
            pos = content.size();
        } else {
            line.text = content.substr(pos, nl - pos);
            line.end = "\n";
            if (!line.text.empty() && line.text.back() == '\r') {
                line.text.pop_back();
                line.end = "\r\n";
            }
            pos = nl + 1;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

ParsedLine ParseLine(const std::string& raw, bool first) {
    ParsedLine p;
    std::string text = raw;
    // A UTF-8 byte-order mark written by some editors is not part of the data.
    if (first && text.compare(0, 3, kBom) == 0) text.erase(0, 3);
    text = Trim(text);
    if (text.empty()) return p;
    if (text[0] == ';') {
        p.kind = LineKind::Comment;
        return p;
    }
    if (text[0] == '[') {
        p.kind = LineKind::Section;
        size_t close = text.find(']', 1);
        p.name = Trim(text.substr(1, close == std::string::npos ? std::string::npos : close - 1));
        return p;
    }
    p.kind = LineKind::Key;
    size_t eq = text.find('=');
    if (eq == std::string::npos) {
        p.name = text;
        return p;
    }
    p.name = Trim(text.substr(0, eq));
    p.value = Trim(text.substr(eq + 1));
    p.hasValue = true;
    return p;
}

std::vector<ParsedLine> ParseAll(const std::vector<IniLine>& lines) {
    std::vector<ParsedLine> parsed;
    parsed.reserve(lines.size());
    for (size_t i = 0; i < lines.size(); ++i) parsed.push_back(ParseLine(lines[i].text, i == 0));
    return parsed;
}

std::string StripQuotesOf(const std::string& value) {
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

bool HasLineBreak(const char* text) { return std::strpbrk(text, "\r\n") != nullptr; }


}  // namespace

Document::Document(const std::string& content) {
    std::vector<IniLine> lines = SplitLines(content);
    std::string section;  // keys before any header belong to ""
    for (size_t i = 0; i < lines.size(); ++i) {
        ParsedLine p = ParseLine(lines[i].text, i == 0);
        if (p.kind == LineKind::Section) {
            section = p.name;
        } else if (p.kind == LineKind::Key && p.hasValue) {
            entries_.push_back({section, p.name, StripQuotesOf(p.value)});
        }
    }
}

// The first matching key that has a value: a section may appear more than
// once, and every appearance counts.
bool Document::Find(const char* section, const char* key, std::string* value) const {
    if (!section || !key) return false;
    const size_t sectionLength = std::strlen(section), keyLength = std::strlen(key);
    for (const Entry& e : entries_) {
        if (EqualNoCase(e.key.data(), e.key.size(), key, keyLength) &&
            EqualNoCase(e.section.data(), e.section.size(), section, sectionLength)) {
            *value = e.value;
            return true;
        }
    }
    return false;
}

bool FindValue(const std::string& content, const char* section, const char* key, std::string* value) {
    return Document(content).Find(section, key, value);
}

bool SetValue(std::string* content, const char* section, const char* key, const char* value) {
    if (!content || !section || !key || !value) return false;
    // Names that the reader would parse as something else are refused.
    std::string keyName = Trim(key);
    if (keyName.empty() || keyName[0] == '[' || keyName[0] == ';' || keyName.find('=') != std::string::npos ||
        HasLineBreak(key) || HasLineBreak(section) || std::strchr(section, ']')) {
        return false;
    }
    // A line break in a value would start a new entry: keep its first line.
    std::string text(value, std::strcspn(value, "\r\n"));

    std::vector<IniLine> lines = SplitLines(*content);
    std::vector<ParsedLine> parsed = ParseAll(lines);
    std::string eol = "\n";
    for (const IniLine& line : lines) {
        if (!line.end.empty()) {
            eol = line.end;
            break;
        }
    }

    // Find the key in the first place the reader would find it; remember
    // where the first matching section ends for a new key.
    bool inSection = SameName(std::string(), section);
    bool sectionSeen = inSection;
    bool inFirstSection = inSection;
    size_t insertAfter = SIZE_MAX;  // SIZE_MAX: at the top of the file
    bool found = false;
    for (size_t i = 0; i < lines.size() && !found; ++i) {
        const ParsedLine& p = parsed[i];
        if (p.kind == LineKind::Section) {
            inSection = SameName(p.name, section);
            if (inFirstSection) inFirstSection = false;
            if (inSection && !sectionSeen) {
                sectionSeen = inFirstSection = true;
                insertAfter = i;
            }
        } else if (inSection && p.kind == LineKind::Key) {
            if (SameName(p.name, key)) {
                bool bom = i == 0 && lines[i].text.compare(0, 3, kBom) == 0;
                lines[i].text = (bom ? kBom : "") + p.name + "=" + text;
                found = true;
            } else if (inFirstSection) {
                insertAfter = i;
            }
        }
    }

    if (!found) {
        IniLine entry{keyName + "=" + text, eol};
        if (sectionSeen) {
            size_t at = insertAfter == SIZE_MAX ? 0 : insertAfter + 1;
            if (at > 0 && lines[at - 1].end.empty()) lines[at - 1].end = eol;
            if (at == 0 && !lines.empty() && lines[0].text.compare(0, 3, kBom) == 0) {
                lines[0].text.erase(0, 3);  // the mark stays the file's first bytes
                entry.text = kBom + entry.text;
            }
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), entry);
        } else {
            if (!lines.empty() && lines.back().end.empty()) lines.back().end = eol;
            lines.push_back(IniLine{"[" + std::string(section) + "]", eol});
            lines.push_back(entry);
        }
    }

    std::string out;
    out.reserve(content->size() + text.size() + 64);
    for (const IniLine& line : lines) {
        out += line.text;
        out += line.end;
    }
    *content = std::move(out);
    return true;
}

}  // namespace ini
}  // namespace mirad
