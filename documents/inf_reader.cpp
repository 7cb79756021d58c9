#include "documents/inf_reader.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <new>

#include "platform/ascii.h"
#include "platform/host.h"

namespace mirad {

namespace {

// A line the wizard could read is a few hundred characters; one of this
// length is damage, and so is a text a chain of %string% references blows
// up beyond it.
constexpr size_t kMaxLine = 65536;
// The setup file's tables count in 16 bits.
constexpr size_t kMaxRows = 65535;

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool SameNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && SameTextNoCase(a.c_str(), b.c_str(), a.size());
}

std::string Message(const InfOptions& o, uint32_t line, const std::string& what) {
    char number[16];
    std::snprintf(number, sizeof number, "%u", static_cast<unsigned>(line));
    return line ? o.name + ":" + number + ": " + what : o.name + ": " + what;
}

// ---- Text -------------------------------------------------------------------

void PutUtf8(uint32_t c, std::string* out) {
    if (c < 0x80) {
        *out += static_cast<char>(c);
    } else if (c < 0x800) {
        *out += static_cast<char>(0xC0 | (c >> 6));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out += static_cast<char>(0xE0 | (c >> 12));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (c >> 18));
        *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool Utf16ToUtf8(const uint8_t* p, size_t size, bool bigEndian, std::string* out) {
    if (size % 2) return false;
    for (size_t i = 0; i < size; i += 2) {
        uint32_t u = bigEndian ? (p[i] << 8 | p[i + 1]) : (p[i] | p[i + 1] << 8);
        if (u >= 0xD800 && u < 0xDC00) {
            if (i + 3 >= size) return false;
            uint32_t v = bigEndian ? (p[i + 2] << 8 | p[i + 3]) : (p[i + 2] | p[i + 3] << 8);
            if (v < 0xDC00 || v >= 0xE000) return false;
            u = 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00);
            i += 2;
        } else if (u >= 0xDC00 && u < 0xE000) {
            return false;
        }
        PutUtf8(u, out);
    }
    return true;
}

// The INF's text in the code page the setup file stores.
bool DecodeText(const uint8_t* data, size_t size, const InfOptions& o, std::string* text, InfReport* report) {
    std::string utf8;
    bool unicode = true;
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
        if (!Utf16ToUtf8(data + 2, size - 2, false, &utf8)) {
            report->error = Message(o, 0, "not valid UTF-16 text");
            return false;
        }
    } else if (size >= 2 && data[0] == 0xFE && data[1] == 0xFF) {
        if (!Utf16ToUtf8(data + 2, size - 2, true, &utf8)) {
            report->error = Message(o, 0, "not valid UTF-16 text");
            return false;
        }
    } else if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
        utf8.assign(reinterpret_cast<const char*>(data) + 3, size - 3);
    } else {
        text->assign(reinterpret_cast<const char*>(data), size);
        unicode = false;
    }
    if (unicode) {
        bool ascii = true;
        for (char c : utf8)
            if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
        if (ascii) {
            *text = utf8;
        } else if (!platform::Utf8ToCodePage(utf8, o.codePage, text)) {
            char cp[16];
            std::snprintf(cp, sizeof cp, "%u", static_cast<unsigned>(o.codePage));
            report->error = Message(o, 0, std::string("text that code page ") + cp + " cannot hold");
            return false;
        }
    }
    if (std::memchr(text->data(), '\0', text->size())) {
        report->error = Message(o, 0, "a NUL character in the text");
        return false;
    }
    return true;
}

// Cuts one logical line (continuations joined) into key and fields. A ";"
// outside quotes starts a comment; inside quotes "" is one quote and every
// other character is literal.
struct RawLine {
    uint32_t line = 0;
    bool section = false;
    std::string sectionName;
    bool trailing = false;  // text after a section header's "]"
    bool hasKey = false;
    std::string key;
    std::vector<std::string> fields;
};

class Lexer {
public:
    Lexer(const std::string& text, const InfOptions& o, InfReport* r) : text_(text), o_(o), report_(r) {}

    // False at the end or on an error (report->error set).
    bool Next(RawLine* out) {
        while (pos_ < text_.size()) {
            *out = RawLine();
            out->line = ++lineNo_;
            if (!ReadLogical(out)) return false;
            if (out->section || out->hasKey || !out->fields.empty()) return true;
        }
        return false;
    }
    bool failed() const { return !report_->error.empty(); }

private:
    // The next physical line without its end.
    std::string Physical() {
        size_t end = text_.find('\n', pos_);
        if (end == std::string::npos) end = text_.size();
        std::string line = text_.substr(pos_, end - pos_);
        pos_ = end < text_.size() ? end + 1 : end;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }

    static bool Space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

    bool ReadLogical(RawLine* out) {
        std::string line = Physical();
        size_t i = 0;
        while (i < line.size() && Space(line[i])) ++i;
        if (i < line.size() && line[i] == '[') {
            size_t close = line.find(']', i);
            if (close == std::string::npos) {
                report_->error = Message(o_, out->line, "a section header without \"]\"");
                return false;
            }
            out->section = true;
            out->sectionName = Trim(line.substr(i + 1, close - i - 1));
            size_t rest = close + 1;
            while (rest < line.size() && Space(line[rest])) ++rest;
            out->trailing = rest < line.size() && line[rest] != ';';
            return true;
        }
        // Fields: text outside quotes keeps its inner spaces; a field's
        // quoted and bare parts join ("""a""" b is "a" b).
        std::string field;
        size_t lastNonSpace = std::string::npos;  // end of the field's text but trailing spaces
        bool quoted = false, any = false, sawEquals = false;
        std::vector<std::string> fields;
        size_t logical = line.size();
        for (;;) {
            // Whether the last character that counts was bare text (not a
            // closing quote): only then does a backslash continue the line.
            bool tailBare = false;
            for (; i < line.size(); ++i) {
                char c = line[i];
                if (quoted) {
                    if (c == '"') {
                        if (i + 1 < line.size() && line[i + 1] == '"') {
                            field += '"';
                            ++i;
                        } else {
                            quoted = false;
                        }
                    } else {
                        field += c;
                    }
                    lastNonSpace = field.size();
                    tailBare = false;
                    continue;
                }
                if (c == ';') break;
                if (c == '"') {
                    quoted = true;
                    any = true;
                    if (lastNonSpace == std::string::npos) field.clear();
                    lastNonSpace = field.size();
                    continue;
                }
                if (c == ',' || (c == '=' && !sawEquals && fields.empty())) {
                    if (lastNonSpace != std::string::npos) field.resize(lastNonSpace);
                    if (c == '=') {
                        sawEquals = true;
                        out->hasKey = true;
                        out->key = lastNonSpace == std::string::npos ? std::string() : field;
                    } else {
                        fields.push_back(lastNonSpace == std::string::npos ? std::string() : field);
                    }
                    field.clear();
                    lastNonSpace = std::string::npos;
                    tailBare = false;
                    any = true;
                    continue;
                }
                if (Space(c) && lastNonSpace == std::string::npos) continue;
                field += c;
                if (!Space(c)) {
                    lastNonSpace = field.size();
                    tailBare = true;
                }
                any = true;
            }
            if (quoted) {
                report_->error = Message(o_, out->line, "a quoted field without its closing quote");
                return false;
            }
            // A bare backslash ending the line (before any comment) joins
            // the next line; "...\" ends a quoted field instead.
            if (tailBare && field[lastNonSpace - 1] == '\\') {
                field.resize(lastNonSpace - 1);
                lastNonSpace = field.size();
                while (lastNonSpace > 0 && Space(field[lastNonSpace - 1])) --lastNonSpace;
                if (lastNonSpace == 0) lastNonSpace = std::string::npos;
                if (pos_ >= text_.size()) break;
                line = Physical();
                ++lineNo_;
                logical += line.size();
                if (logical > kMaxLine) break;
                i = 0;
                continue;
            }
            break;
        }
        if (logical > kMaxLine) {
            report_->error = Message(o_, out->line, "a line longer than 65536 characters");
            return false;
        }
        if (any || !fields.empty() || sawEquals) {
            if (lastNonSpace != std::string::npos) field.resize(lastNonSpace);
            fields.push_back(lastNonSpace == std::string::npos ? std::string() : field);
        }
        out->fields = std::move(fields);
        return true;
    }

    static std::string Trim(const std::string& s) {
        size_t b = 0, e = s.size();
        while (b < e && Space(s[b])) ++b;
        while (e > b && Space(s[e - 1])) --e;
        return s.substr(b, e - b);
    }

    const std::string& text_;
    const InfOptions& o_;
    InfReport* report_;
    size_t pos_ = 0;
    uint32_t lineNo_ = 0;
};

// ---- %string% substitution ----------------------------------------------------

class Strings {
public:
    Strings(const InfOptions& o, InfReport* r) : o_(o), report_(r) {}

    void Define(const std::string& name, const std::string& raw, uint32_t line) {
        Entry& e = table_[Lower(name)];
        e.name = name;
        e.raw = raw;
        e.line = line;
        e.state = kRaw;
    }

    // %InstallDir% stays a macro: the device chooses the install directory.
    static bool Kept(const std::string& name) { return SameNoCase(name, "InstallDir"); }

    // `text` with %name% replaced where name is defined, %% made %; false
    // on a cycle or a text grown past the line limit.
    bool Substitute(const std::string& text, uint32_t line, std::string* out) {
        out->clear();
        for (size_t i = 0; i < text.size(); ++i) {
            char c = text[i];
            if (c != '%') {
                *out += c;
                continue;
            }
            if (i + 1 < text.size() && text[i + 1] == '%') {
                *out += '%';
                ++i;
                continue;
            }
            size_t close = text.find('%', i + 1);
            if (close == std::string::npos) {
                out->append(text, i, std::string::npos);
                break;
            }
            std::string name = text.substr(i + 1, close - i - 1);
            auto found = Kept(name) ? table_.end() : table_.find(Lower(name));
            if (found == table_.end()) {
                out->append(text, i, close - i + 1);
            } else {
                const std::string* value = Resolve(found->second, line);
                if (!value) return false;
                *out += *value;
            }
            i = close;
            if (out->size() > kMaxLine) {
                report_->error = Message(o_, line, "a text longer than 65536 characters after %string% substitution");
                return false;
            }
        }
        return true;
    }

private:
    enum State { kRaw, kResolving, kDone };
    struct Entry {
        std::string name, raw, value;
        uint32_t line = 0;
        State state = kRaw;
    };

    const std::string* Resolve(Entry& e, uint32_t line) {
        if (e.state == kDone) return &e.value;
        if (e.state == kResolving) {
            report_->error = Message(o_, e.line, "%" + e.name + "% refers to itself through [Strings]");
            return nullptr;
        }
        e.state = kResolving;
        std::string value;
        if (!Substitute(e.raw, line, &value)) return nullptr;
        e.value = value;
        e.state = kDone;
        return &e.value;
    }

    const InfOptions& o_;
    InfReport* report_;
    std::map<std::string, Entry> table_;
};

}  // namespace

const InfSection* InfText::Find(const std::string& name) const {
    for (const InfSection& s : sections)
        if (SameNoCase(s.name, name)) return &s;
    return nullptr;
}

bool ParseInfText(const uint8_t* data, size_t size, const InfOptions& o, InfText* out, InfReport* report) {
    try {
        std::string text;
        if (!DecodeText(data, size, o, &text, report)) return false;
        // Raw lines first: [Strings] may stand after the lines using it.
        std::vector<RawLine> lines;
        Lexer lexer(text, o, report);
        RawLine line;
        while (lexer.Next(&line)) lines.push_back(std::move(line));
        if (lexer.failed()) return false;

        Strings strings(o, report);
        std::string current;
        for (const RawLine& l : lines) {
            if (l.section) {
                current = l.sectionName;
                continue;
            }
            if (!l.hasKey || l.fields.empty()) continue;
            // Only [Strings] and [CEStrings] define names; platform variants
            // of neither exist in the dialect.
            if (SameNoCase(current, "Strings") || SameNoCase(current, "CEStrings")) {
                if (l.fields.size() > 1)
                    report->warnings.push_back(
                        Message(o, l.line, "%" + l.key + "% takes its first field; the rest is ignored"));
                strings.Define(l.key, l.fields[0], l.line);
            }
        }

        InfText doc;
        InfSection* section = nullptr;
        for (const RawLine& l : lines) {
            if (l.section) {
                if (l.trailing)
                    report->warnings.push_back(Message(o, l.line, "text after [" + l.sectionName + "] is ignored"));
                doc.sections.push_back(InfSection());
                section = &doc.sections.back();
                section->name = l.sectionName;
                section->line = l.line;
                continue;
            }
            if (!section) {
                report->warnings.push_back(Message(o, l.line, "a line before the first section is ignored"));
                continue;
            }
            InfEntry e;
            e.line = l.line;
            e.hasKey = l.hasKey;
            if (l.hasKey && !strings.Substitute(l.key, l.line, &e.key)) return false;
            e.fields.resize(l.fields.size());
            for (size_t k = 0; k < l.fields.size(); ++k)
                if (!strings.Substitute(l.fields[k], l.line, &e.fields[k])) return false;
            section->entries.push_back(std::move(e));
        }
        *out = std::move(doc);
        return true;
    } catch (const std::bad_alloc&) {
        report->error = Message(o, 0, "out of memory");
        return false;
    }
}

// ---- The wizard's sections ------------------------------------------------------

namespace {

class CeReader {
public:
    CeReader(const InfText& doc, const InfOptions& o, InfReport* r) : doc_(doc), o_(o), report_(r) {}

    bool Read(CeInf* out);

private:
    bool Fail(uint32_t line, const std::string& what) {
        if (report_->error.empty()) report_->error = Message(o_, line, what);
        return false;
    }
    bool Warn(uint32_t line, const std::string& what) {
        std::string m = Message(o_, line, what);
        report_->warnings.push_back(m);
        if (o_.strict) return Fail(line, what);
        return true;
    }

    // The plain section's entries, then its platform variant's.
    std::vector<const InfEntry*> Entries(const std::string& name, const InfSection** plain = nullptr) const {
        // Sections of one name are one section, as for the wizard.
        std::vector<const InfEntry*> out;
        if (plain) *plain = doc_.Find(name);
        const std::string variant = name + "." + o_.cpu;
        for (int pass = 0; pass < (o_.cpu.empty() ? 1 : 2); ++pass)
            for (const InfSection& s : doc_.sections)
                if (SameNoCase(s.name, pass ? variant : name))
                    for (const InfEntry& e : s.entries) out.push_back(&e);
        return out;
    }
    bool Has(const std::string& name) const {
        return doc_.Find(name) || (!o_.cpu.empty() && doc_.Find(name + "." + o_.cpu));
    }
    // A key's entry; the variant's wins over the plain section's.
    const InfEntry* Key(const std::string& section, const std::string& key) const {
        const InfEntry* found = nullptr;
        for (const InfEntry* e : Entries(section))
            if (e->hasKey && SameNoCase(e->key, key)) found = e;
        return found;
    }
    static std::string First(const InfEntry* e) { return e && !e->fields.empty() ? e->fields[0] : std::string(); }

    bool Number(const InfEntry* e, const std::string& text, uint32_t* value);
    bool Version(const InfEntry* e, int32_t* major, int32_t* minor);
    bool CheckKeys(const std::string& section, std::initializer_list<const char*> known);
    bool ReadDevice(CeInf* out);
    bool ReadSources(CeInf* out);
    bool ReadDestinations();
    bool Destination(const std::string& section, uint32_t line, std::string* dir);
    bool ReadCopyLists(const InfEntry* copyFiles, CeInf* out);
    bool ReadRegistry(const InfEntry* addReg, CeInf* out);
    bool ReadShortcuts(const InfEntry* shortcuts, CeInf* out);
    bool RegData(const InfEntry& e, uint32_t typeFlags, std::string* data);

    const InfText& doc_;
    const InfOptions& o_;
    InfReport* report_;
    std::map<std::string, std::pair<std::string, uint32_t>> destinations_;  // lower(section) -> dir, line
    std::map<std::string, std::string> destinationNames_;                  // lower(section) -> as written
    std::multimap<std::string, size_t> byName_;                            // lower(source) -> sources
    std::map<std::string, bool> variantNames_;                             // taken from the platform section
    bool haveDefault_ = false;
    std::string defaultDir_;
};

bool ParseNumber(const std::string& text, uint32_t* value) {
    if (text.empty()) return false;
    uint64_t v = 0;
    size_t i = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    for (; i < text.size(); ++i) {
        char c = text[i];
        int d = c >= '0' && c <= '9' ? c - '0'
                : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
        if (d < 0) return false;
        v = v * base + d;
        if (v > 0xFFFFFFFFu) return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

// A device path: a macro, %InstallDir% or "\..." path, never a drive
// letter (the device has none) nor ".." (it would leave the folder named).
bool DevicePath(const std::string& p) {
    if (p.size() >= 2 && p[1] == ':') return false;
    size_t start = 0;
    for (;;) {
        size_t end = p.find_first_of("\\/", start);
        std::string part = p.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part == "..") return false;
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

bool CeReader::Number(const InfEntry* e, const std::string& text, uint32_t* value) {
    if (ParseNumber(text, value)) return true;
    return Fail(e->line, e->key + " is not a number: \"" + text + "\"");
}

// "2.01" is major 2 minor 1; "3" is major 3 minor 0.
bool CeReader::Version(const InfEntry* e, int32_t* major, int32_t* minor) {
    std::string v = First(e);
    size_t dot = v.find('.');
    uint32_t a = 0, b = 0;
    if (!ParseNumber(v.substr(0, dot), &a) || (dot != std::string::npos && !ParseNumber(v.substr(dot + 1), &b)) ||
        a > 0x7FFFFFFF || b > 0x7FFFFFFF)
        return Fail(e->line, e->key + " is not a version such as 2.01: \"" + v + "\"");
    *major = static_cast<int32_t>(a);
    *minor = static_cast<int32_t>(b);
    return true;
}

bool CeReader::CheckKeys(const std::string& section, std::initializer_list<const char*> known) {
    for (const InfEntry* e : Entries(section)) {
        bool ok = false;
        for (const char* k : known) ok = ok || (e->hasKey && SameNoCase(e->key, k));
        if (!ok && !Warn(e->line, (e->hasKey ? e->key : First(e)) + " in [" + section + "] is ignored")) return false;
    }
    return true;
}

bool CeReader::ReadDevice(CeInf* out) {
    if (!o_.cpu.empty() && !doc_.Find("CEDevice." + o_.cpu) &&
        !Warn(0, "no [CEDevice." + o_.cpu + "] section for the processor " + o_.cpu))
        return false;
    if (!CheckKeys("CEDevice", {"ProcessorType", "Processor", "UnsupportedPlatforms", "VersionMin", "VersionMax",
                                "BuildMin", "BuildMax"}))
        return false;
    // Our own INF writes "Processor"; the wizard's key is ProcessorType.
    const InfEntry* p = Key("CEDevice", "ProcessorType");
    if (!p) p = Key("CEDevice", "Processor");
    if (p && !First(p).empty()) {
        uint32_t v;
        if (!Number(p, First(p), &v)) return false;
        out->processor = static_cast<int32_t>(v);
    }
    if (const InfEntry* u = Key("CEDevice", "UnsupportedPlatforms"))
        for (const std::string& f : u->fields)
            if (!f.empty()) out->unsupported.push_back(f);
    if (const InfEntry* v = Key("CEDevice", "VersionMin"))
        if (!Version(v, &out->minVersionMajor, &out->minVersionMinor)) return false;
    if (const InfEntry* v = Key("CEDevice", "VersionMax"))
        if (!Version(v, &out->maxVersionMajor, &out->maxVersionMinor)) return false;
    if (const InfEntry* b = Key("CEDevice", "BuildMin"))
        if (!Number(b, First(b), &out->minBuild)) return false;
    if (const InfEntry* b = Key("CEDevice", "BuildMax"))
        if (!Number(b, First(b), &out->maxBuild)) return false;
    return true;
}

bool CeReader::ReadSources(CeInf* out) {
    std::map<uint32_t, std::string> disks;
    for (const InfEntry* e : Entries("SourceDisksNames")) {
        uint32_t id;
        if (!e->hasKey || !ParseNumber(e->key, &id))
            return Fail(e->line, "a [SourceDisksNames] entry needs a number: <id> = ,<label>,,<directory>");
        // The directory is the fourth field; none or an empty one: the INF's folder.
        disks[id] = e->fields.size() > 3 ? e->fields[3] : std::string();
    }
    // Entries of one name within a section are alternatives (~Cab~.INF
    // lists a file name once per directory that installs it); a platform
    // section's entry replaces the plain section's.
    const std::string variant = "SourceDisksFiles." + o_.cpu;
    for (int pass = 0; pass < (o_.cpu.empty() ? 1 : 2); ++pass) {
        for (const InfSection& section : doc_.sections) {
            if (!SameNoCase(section.name, pass ? variant : std::string("SourceDisksFiles"))) continue;
            for (const InfEntry& entry : section.entries) {
                const InfEntry* e = &entry;
                uint32_t id;
                if (!e->hasKey || e->key.empty())
                    return Fail(e->line, "a [SourceDisksFiles] entry needs a file name: <file> = <source id>");
                if (!ParseNumber(First(e), &id)) return Fail(e->line, "\"" + First(e) + "\" is not a source id");
                auto d = disks.find(id);
                if (d == disks.end()) return Fail(e->line, "source id " + First(e) + " is not in [SourceDisksNames]");
                InfSourceFile f;
                f.name = e->key;
                f.directory = d->second;
                f.line = e->line;
                const std::string key = Lower(f.name);
                auto at = out->sourceIndex.find(key);
                if (pass == 1 && at != out->sourceIndex.end() && !variantNames_.count(key)) {
                    out->sources[at->second] = f;
                    variantNames_[key] = true;
                    continue;
                }
                if (pass == 1) variantNames_[key] = true;
                out->sourceIndex[key] = out->sources.size();
                byName_.emplace(key, out->sources.size());
                out->sources.push_back(f);
            }
        }
    }
    return true;
}

bool CeReader::ReadDestinations() {
    const InfSection* plain = nullptr;
    auto entries = Entries("DestinationDirs", &plain);
    for (const InfEntry* e : entries) {
        if (!e->hasKey || e->fields.size() < 2)
            return Fail(e->line, "a [DestinationDirs] entry reads <section> = 0,<directory>");
        if (!e->fields[0].empty() && e->fields[0] != "0" &&
            !Warn(e->line, "the directory id " + e->fields[0] + " is read as 0"))
            return false;
        if (!DevicePath(e->fields[1]))
            return Fail(e->line, "\"" + e->fields[1] + "\" is no device directory (a drive letter or \"..\")");
        if (SameNoCase(e->key, "DefaultDestDir")) {
            haveDefault_ = true;
            defaultDir_ = e->fields[1];
            continue;
        }
        destinations_[Lower(e->key)] = {e->fields[1], e->line};
        destinationNames_[Lower(e->key)] = e->key;
    }
    return true;
}

bool CeReader::Destination(const std::string& section, uint32_t line, std::string* dir) {
    auto d = destinations_.find(Lower(section));
    if (d != destinations_.end()) {
        *dir = d->second.first;
        return true;
    }
    if (haveDefault_) {
        *dir = defaultDir_;
        return true;
    }
    return Fail(line, "no [DestinationDirs] entry names [" + section + "], and there is no DefaultDestDir");
}

bool PlainName(const std::string& n) {
    return !n.empty() && n != "." && n != ".." && n.find_first_of("\\/:") == std::string::npos;
}

bool CeReader::ReadCopyLists(const InfEntry* copyFiles, CeInf* out) {
    size_t files = 0;
    for (const std::string& name : copyFiles->fields) {
        if (name.empty()) continue;
        const InfSection* plain = nullptr;
        auto entries = Entries(name, &plain);
        if (!plain && !Has(name)) return Fail(copyFiles->line, "CopyFiles names [" + name + "], which is not there");
        InfCopyList list;
        list.name = name;
        list.line = plain ? plain->line : copyFiles->line;
        if (!Destination(name, list.line, &list.destination)) return false;
        for (const InfEntry* e : entries) {
            // A copy line has no key; "a=b" is read whole as one name.
            std::vector<std::string> f = e->fields;
            if (e->hasKey) {
                if (!Warn(e->line, "\"=\" in a copy list is read as part of the name")) return false;
                if (!f.empty()) f[0] = e->key + "=" + f[0];
            }
            InfCopyFile c;
            c.line = e->line;
            c.dest = f.empty() ? std::string() : f[0];
            c.source = f.size() > 1 && !f[1].empty() ? f[1] : c.dest;
            if (f.size() > 3 && !f[3].empty() && !ParseNumber(f[3], &c.flags))
                return Fail(e->line, "\"" + f[3] + "\" is not a number of copy flags");
            if (!PlainName(c.dest)) return Fail(e->line, "\"" + c.dest + "\" is not a plain file name");
            auto found = out->sourceIndex.find(Lower(c.source));
            if (found == out->sourceIndex.end())
                return Fail(e->line, "\"" + c.source + "\" is not in [SourceDisksFiles]");
            // Of several entries for the name, the one whose directory is
            // where the list installs.
            c.sourceEntry = found->second;
            auto range = byName_.equal_range(Lower(c.source));
            for (auto k = range.first; k != range.second; ++k)
                if (Lower(out->sources[k->second].directory) == Lower(list.destination)) c.sourceEntry = k->second;
            list.files.push_back(c);
            if (++files > kMaxRows) return Fail(e->line, "more than 65535 files to copy");
        }
        out->copyLists.push_back(std::move(list));
    }
    return true;
}

bool CeReader::RegData(const InfEntry& e, uint32_t typeFlags, std::string* data) {
    std::vector<std::string> items(e.fields.begin() + (e.fields.size() > 4 ? 4 : e.fields.size()), e.fields.end());
    switch (typeFlags & ~0x00000002u) {
        case 0x00000000:  // string
        case 0x00020000:  // expandable string
            *data = (items.empty() ? std::string() : items[0]) + '\0';
            if (items.size() > 1 && !Warn(e.line, "a string value takes one field; the rest is ignored")) return false;
            return true;
        case 0x00010000:  // multi-string: each item, closed by an empty one
            data->clear();
            for (const std::string& s : items) *data += s + '\0';
            // The empty item that closes the list may be written out ("" last).
            if (items.empty() || !items.back().empty()) *data += '\0';
            return true;
        case 0x00010001:  // double words
            data->clear();
            for (const std::string& s : items) {
                uint32_t v;
                if (!ParseNumber(s, &v)) return Fail(e.line, "\"" + s + "\" is not a DWORD");
                for (int k = 0; k < 4; ++k) *data += static_cast<char>(v >> (8 * k));
            }
            return true;
        case 0x00000001:  // binary: one hex byte per field
            data->clear();
            for (const std::string& s : items) {
                uint32_t v;
                bool prefixed = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
                if (!ParseNumber(prefixed ? s : "0x" + s, &v) || v > 0xFF)
                    return Fail(e.line, "\"" + s + "\" is not a hex byte");
                *data += static_cast<char>(v);
            }
            return true;
        default: {
            char flags[16];
            std::snprintf(flags, sizeof flags, "0x%08X", static_cast<unsigned>(typeFlags));
            return Fail(e.line, std::string("registry type flags ") + flags + " are not a type the setup file holds");
        }
    }
}

bool CeReader::ReadRegistry(const InfEntry* addReg, CeInf* out) {
    static const char* const kRoots[] = {"HKCR", "HKCU", "HKLM", "HKU"};
    for (const std::string& name : addReg->fields) {
        if (name.empty()) continue;
        if (!Has(name)) return Fail(addReg->line, "AddReg names [" + name + "], which is not there");
        for (const InfEntry* e : Entries(name)) {
            if (e->hasKey || e->fields.size() < 4)
                return Fail(e->line, "a registry line reads <root>,<key>,<value>,<flags>,<data>");
            InfRegEntry r;
            r.line = e->line;
            for (uint16_t k = 0; k < 4; ++k)
                if (SameNoCase(e->fields[0], kRoots[k])) r.root = static_cast<uint16_t>(k + 1);
            if (!r.root) return Fail(e->line, "\"" + e->fields[0] + "\" is not HKCR, HKCU, HKLM or HKU");
            r.key = e->fields[1];
            r.name = e->fields[2];
            if (!ParseNumber(e->fields[3].empty() ? "0" : e->fields[3], &r.typeFlags))
                return Fail(e->line, "\"" + e->fields[3] + "\" is not a number of registry flags");
            if (!RegData(*e, r.typeFlags, &r.data)) return false;
            out->registry.push_back(std::move(r));
            if (out->registry.size() > kMaxRows) return Fail(e->line, "more than 65535 registry values");
        }
    }
    return true;
}

bool CeReader::ReadShortcuts(const InfEntry* shortcuts, CeInf* out) {
    for (const std::string& name : shortcuts->fields) {
        if (name.empty()) continue;
        const InfSection* plain = nullptr;
        auto entries = Entries(name, &plain);
        if (!plain && !Has(name)) return Fail(shortcuts->line, "CEShortcuts names [" + name + "], which is not there");
        for (const InfEntry* e : entries) {
            if (e->hasKey || e->fields.size() < 3)
                return Fail(e->line, "a shortcut line reads <name>,<type>,<target>[,<destination>]");
            InfShortcut s;
            s.line = e->line;
            s.name = e->fields[0];
            uint32_t type = 0;
            if (!e->fields[1].empty() && !ParseNumber(e->fields[1], &type))
                return Fail(e->line, "\"" + e->fields[1] + "\" is not a shortcut type (0 file, 1 folder)");
            s.folder = type != 0;
            s.target = e->fields[2];
            // A name may carry its directory ("%CE11%\\App", as ~Cab~.INF
            // writes shortcuts).
            size_t slash = s.name.rfind('\\');
            std::string directory;
            if (slash != std::string::npos) {
                directory = s.name.substr(0, slash);
                s.name = s.name.substr(slash + 1);
            }
            if (!PlainName(s.name)) return Fail(e->line, "\"" + s.name + "\" is not a plain file name");
            if (!directory.empty()) {
                s.destination = directory;
            } else if (e->fields.size() > 3 && !e->fields[3].empty()) {
                s.destination = e->fields[3];
            } else if (!Destination(name, e->line, &s.destination)) {
                return false;
            }
            out->shortcuts.push_back(std::move(s));
        }
    }
    return true;
}

bool CeReader::Read(CeInf* out) {
    const InfSection* version = doc_.Find("Version");
    if (!version) return Fail(0, "no [Version] section");
    const InfEntry* signature = Key("Version", "CESignature");
    if (!signature || !SameNoCase(First(signature), "$Windows CE$"))
        return Fail(version->line, "[Version] has no CESignature = \"$Windows CE$\": not a CE INF");
    if (!CheckKeys("Version", {"Signature", "CESignature", "Provider"})) return false;
    out->provider = First(Key("Version", "Provider"));

    if (!doc_.Find("CEStrings")) return Fail(0, "no [CEStrings] section");
    const InfEntry* app = Key("CEStrings", "AppName");
    const InfEntry* dir = Key("CEStrings", "InstallDir");
    if (!app || First(app).empty()) return Fail(doc_.Find("CEStrings")->line, "[CEStrings] has no AppName");
    if (!dir || First(dir).empty()) return Fail(doc_.Find("CEStrings")->line, "[CEStrings] has no InstallDir");
    out->appName = First(app);
    out->installDir = First(dir);

    if (!ReadDevice(out)) return false;

    if (!Has("DefaultInstall")) return Fail(0, "no [DefaultInstall] section");
    if (!CheckKeys("DefaultInstall", {"CopyFiles", "AddReg", "CEShortcuts", "CESetupDLL", "CESelfRegister"}))
        return false;
    const InfEntry* copyFiles = Key("DefaultInstall", "CopyFiles");
    if (copyFiles) {
        if (!Has("SourceDisksNames")) return Fail(0, "no [SourceDisksNames] section");
        if (!Has("SourceDisksFiles")) return Fail(0, "no [SourceDisksFiles] section");
        if (!Has("DestinationDirs")) return Fail(0, "no [DestinationDirs] section");
    }
    if (!ReadSources(out) || !ReadDestinations()) return false;
    if (copyFiles && !ReadCopyLists(copyFiles, out)) return false;
    if (const InfEntry* reg = Key("DefaultInstall", "AddReg"))
        if (!ReadRegistry(reg, out)) return false;
    if (const InfEntry* links = Key("DefaultInstall", "CEShortcuts"))
        if (!ReadShortcuts(links, out)) return false;
    if (const InfEntry* dll = Key("DefaultInstall", "CESetupDLL")) {
        out->setupDll = First(dll);
        if (!PlainName(out->setupDll))
            return Fail(dll->line, "the setup DLL \"" + out->setupDll + "\" is not a plain file name");
        // Not in [SourceDisksFiles] (as ~Cab~.INF names it): beside the INF.
        if (!FindSource(*out, out->setupDll)) {
            InfSourceFile f;
            f.name = out->setupDll;
            f.line = dll->line;
            out->sourceIndex[Lower(f.name)] = out->sources.size();
            out->sources.push_back(f);
        }
    }
    if (const InfEntry* self = Key("DefaultInstall", "CESelfRegister"))
        for (const std::string& f : self->fields)
            if (!f.empty()) out->selfRegister.push_back(f);

    // What the wizard packs is what the copy lists name.
    std::map<std::string, bool> used;
    used[Lower(out->setupDll)] = true;
    for (const InfCopyList& l : out->copyLists)
        for (const InfCopyFile& c : l.files) used[Lower(c.source)] = true;
    for (const InfSourceFile& s : out->sources)
        if (!used.count(Lower(s.name)) &&
            !Warn(s.line, "\"" + s.name + "\" is in [SourceDisksFiles] but no copy list names it"))
            return false;
    // A destination for a section of another platform is no mistake; one
    // for a section the INF does not have is.
    for (const auto& d : destinations_) {
        const std::string& name = destinationNames_[d.first];
        if (!doc_.Find(name) &&
            !Warn(d.second.second, "[DestinationDirs] names [" + name + "], which the INF does not have"))
            return false;
    }
    return true;
}

}  // namespace

const InfSourceFile* FindSource(const CeInf& inf, const std::string& name) {
    auto at = inf.sourceIndex.find(Lower(name));
    return at == inf.sourceIndex.end() ? nullptr : &inf.sources[at->second];
}

bool ReadCeInf(const uint8_t* data, size_t size, const InfOptions& options, CeInf* out, InfReport* report) {
    InfText doc;
    if (!ParseInfText(data, size, options, &doc, report)) return false;
    try {
        CeInf inf;
        CeReader reader(doc, options, report);
        if (!reader.Read(&inf)) return false;
        if (options.strict && !report->warnings.empty()) {
            report->error = report->warnings.front();
            return false;
        }
        *out = std::move(inf);
        return true;
    } catch (const std::bad_alloc&) {
        report->error = options.name + ": out of memory";
        return false;
    }
}

}  // namespace mirad
