#include "documents/reg_reader.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "documents/documents.h"
#include "documents/quoting.h"
#include "documents/regvalue.h"
#include "cabinet/transaction.h"
#include "setup/edit.h"
#include "setup/model.h"
#include "support/log.h"
#include "support/paths.h"

namespace mirad {

namespace {

bool IsBlank(std::string_view s) { return s.find_first_not_of(" \t") == std::string::npos; }

bool StartsWith(std::string_view s, size_t at, const char* prefix) {
    return s.compare(at, std::char_traits<char>::length(prefix), prefix) == 0;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One key line or one value of the document and the lines it takes.
struct RegDocumentEntry {
    bool key = false;
    uint32_t line = 0;               // its first line (1-based)
    std::vector<std::string> lines;  // as written, without line ends
    // A key line: what stands between the brackets, and its root (0: none
    // of the four abbreviations) and path below the root.
    std::string keyText;
    uint16_t root = 0;
    std::string path;
    // A value.
    bool onlyIfMissing = false;
    std::string name;  // empty: the default value
    uint32_t typeFlags = 0;
    std::string data;     // as the setup file stores it
    bool ownForm = true;  // written as the export writes values
};

// A line of the document, without its line end.
struct Line {
    uint32_t number = 0;
    std::string_view text;
};

// A document's lines, cut as they are asked for, from text held whole or
// from a writer that hands it on in pieces of whole lines (`more` appends
// the next piece; false when there is none). A line stays valid until the
// next is asked for.
class Lines {
public:
    Lines(const uint8_t* text, size_t size) : data_(reinterpret_cast<const char*>(text)), size_(size) {}
    explicit Lines(std::function<bool(std::string*)> more) : more_(std::move(more)) {}

    // The next line; false at the end, or with *bad (and the line's number)
    // for a line no document has.
    bool Next(Line* line, const char** bad) {
        *bad = nullptr;
        if (more_) Fill();
        for (size_t i = pos_; i < size_; ++i) {
            char c = data_[i];
            if (c == '\r' && i + 1 < size_ && data_[i + 1] == '\n') continue;
            if (c == '\r' || c == '\0') {
                *bad = c == '\r' ? "a carriage return inside the line" : "a NUL byte inside the line";
                line->number = number_ + 1;
                return false;
            }
            if (c != '\n') continue;
            size_t end = i > pos_ && data_[i - 1] == '\r' ? i - 1 : i;
            line->number = ++number_;
            line->text = std::string_view(data_ + pos_, end - pos_);
            pos_ = i + 1;
            return true;
        }
        if (pos_ == size_) return false;
        line->number = ++number_;
        line->text = std::string_view(data_ + pos_, size_ - pos_);
        pos_ = size_;
        return true;
    }

private:
    // Takes pieces until a whole line is held or the writer is done.
    void Fill() {
        while (!std::memchr(held_.data() + pos_, '\n', held_.size() - pos_)) {
            held_.erase(0, pos_);
            pos_ = 0;
            if (!more_(&held_)) {
                more_ = nullptr;
                break;
            }
        }
        data_ = held_.data();
        size_ = held_.size();
    }

    const char* data_ = nullptr;
    size_t size_ = 0, pos_ = 0;
    uint32_t number_ = 0;
    std::string held_;
    std::function<bool(std::string*)> more_;
};

// The entries of a document, one at a time.
class Parser {
public:
    Parser(const std::string& name, Lines& lines, std::string* error) : name_(name), lines_(lines), error_(*error) {}

    // The next entry; false at the end of the document, or when a line is
    // none of the dialect's (failed(), *error "NAME:LINE: what").
    bool Next(RegDocumentEntry* e);
    bool failed() const { return failed_; }

private:
    bool Fail(uint32_t line, const std::string& what) {
        error_ = name_ + ":" + std::to_string(line) + ": " + what;
        failed_ = true;
        return false;
    }
    bool NextLine(Line* line) {
        const char* bad;
        if (lines_.Next(line, &bad)) return true;
        if (bad) Fail(line->number, bad);
        return false;
    }
    bool Value(Line* line, RegDocumentEntry* e);
    bool Quoted(const Line& line, size_t* p, std::string* out);
    bool Items(Line* line, size_t p, int digits, RegDocumentEntry* e);
    // Moves *line on to the next line, which continues entry `e`.
    bool Continue(Line* line, RegDocumentEntry* e, const char* what);

    const std::string& name_;
    Lines& lines_;
    std::string& error_;
    bool started_ = false, done_ = false, failed_ = false;
    uint32_t marked_ = 0;  // the line marking the next value
    bool anyKey_ = false;
    uint32_t lastKeyLine_ = 0;
    std::string lastKeyText_;
    bool keyHasValue_ = false;
};

bool Parser::Next(RegDocumentEntry* e) {
    if (done_ || failed_) return false;
    Line line;
    if (!started_) {
        started_ = true;
        bool any = NextLine(&line);
        if (failed_) return false;
        if (!any || line.text != "REGEDIT4") {
            if (any && StartsWith(line.text, 0, "Windows Registry Editor"))
                return Fail(1, "a Unicode registry export; the cabinet's export is REGEDIT4 text in the ANSI code page");
            return Fail(1, "a registry export begins with the line REGEDIT4");
        }
    }
    while (NextLine(&line)) {
        std::string_view t = line.text;
        if (IsBlank(t)) continue;
        if (t[0] == '[') {
            if (marked_) return Fail(marked_, "this line marks the value after it, and a key follows");
            if (anyKey_ && !keyHasValue_)
                return Fail(lastKeyLine_,
                            "a key without values cannot be kept: the export shows a key by its values; remove the "
                            "line or give the key a value");
            if (t.back() != ']') return Fail(line.number, "a key line ends with \"]\"");
            *e = RegDocumentEntry();
            e->key = true;
            e->line = line.number;
            e->lines.emplace_back(t);
            e->keyText = std::string(t.substr(1, t.size() - 2));
            for (uint16_t root = 1; root <= 4; ++root) {
                const char* prefix = RegRootPrefix(root);
                if (StartsWith(e->keyText, 0, prefix)) {
                    e->root = root;
                    e->path = e->keyText.substr(std::char_traits<char>::length(prefix));
                    break;
                }
            }
            if (anyKey_ && lastKeyText_ == e->keyText)
                return Fail(line.number, "the key of the line above again: its values belong under that line");
            anyKey_ = true;
            lastKeyLine_ = e->line;
            lastKeyText_ = e->keyText;
            keyHasValue_ = false;
            return true;
        }
        if (t[0] == ';') {
            if (t != kRegOnlyIfMissingLine)
                return Fail(line.number, "a comment cannot be kept in the cabinet's setup file; remove it");
            if (marked_) return Fail(line.number, "the value after the line above is marked already");
            marked_ = line.number;
            continue;
        }
        if (t[0] == '@' || t[0] == '"') {
            *e = RegDocumentEntry();
            e->line = marked_ ? marked_ : line.number;
            if (marked_) e->lines.push_back(kRegOnlyIfMissingLine);
            e->onlyIfMissing = marked_ != 0;
            marked_ = 0;
            if (!Value(&line, e)) return false;
            keyHasValue_ = true;
            return true;
        }
        return Fail(line.number, "neither a key line [...] nor a value \"name\"=... or @=...");
    }
    if (failed_) return false;
    done_ = true;
    if (marked_) return Fail(marked_, "this line marks the value after it, and none follows");
    if (anyKey_ && !keyHasValue_)
        return Fail(lastKeyLine_,
                    "a key without values cannot be kept: the export shows a key by its values; remove the line or "
                    "give the key a value");
    return false;
}

bool Parser::Quoted(const Line& line, size_t* p, std::string* out) {
    std::string_view t = line.text;
    for (++*p;; ++*p) {
        if (*p >= t.size()) return Fail(line.number, "the quoted text does not end on its line");
        char c = t[*p];
        if (c == '"') {
            ++*p;
            return true;
        }
        if (c == '\\') {
            if (*p + 1 >= t.size() || (t[*p + 1] != '\\' && t[*p + 1] != '"'))
                return Fail(line.number, "in quoted text a backslash is written \\\\ and a double quote \\\"");
            c = t[++*p];
        }
        *out += c;
    }
}

bool Parser::Continue(Line* line, RegDocumentEntry* e, const char* what) {
    Line next;
    if (!NextLine(&next)) return failed_ ? false : Fail(line->number, std::string(what) + " continues, and the document ends");
    *line = next;
    e->lines.emplace_back(line->text);
    return true;
}

bool Parser::Value(Line* line, RegDocumentEntry* e) {
    e->lines.emplace_back(line->text);
    std::string_view t = line->text;
    size_t p = 0;
    if (t[0] == '@') {
        p = 1;
    } else if (!Quoted(*line, &p, &e->name)) {
        return false;
    }
    if (p >= t.size() || t[p] != '=') return Fail(line->number, "a value's name is followed by \"=\"");
    ++p;
    if (p == t.size()) {
        e->typeFlags = kRegString;  // no data at all
        return true;
    }
    if (t[p] == '"') {
        size_t pieces = 0;
        for (;;) {
            std::string piece;
            if (!Quoted(*line, &p, &piece)) return false;
            e->data += piece;
            e->data += '\0';
            ++pieces;
            if (p == t.size()) break;
            if (t[p] != ',' || p + 1 != t.size())
                return Fail(line->number, "a quoted string ends the line, or \",\" does when another follows");
            if (!Continue(line, e, "the multi-string")) return false;
            t = line->text;
            p = t.find_first_not_of(" \t");
            if (p == std::string_view::npos || t[p] != '"')
                return Fail(line->number, "the multi-string continues with a quoted string on this line");
        }
        e->typeFlags = pieces == 1 ? kRegString : kRegMultiString;
        return true;
    }
    struct Form {
        const char* prefix;
        uint32_t typeFlags;
        int digits;
        bool own;
    };
    static const Form kForms[] = {
        {"hex:", kRegBinary, 2, true},
        {"dword:", kRegDword, 8, true},
        {"hex(7):", kRegMultiString, 2, false},
        {"hex(2):", kRegString, 2, false},
    };
    for (const Form& f : kForms) {
        if (!StartsWith(t, p, f.prefix)) continue;
        e->typeFlags = f.typeFlags;
        e->ownForm = f.own;
        return Items(line, p + std::char_traits<char>::length(f.prefix), f.digits, e);
    }
    if (StartsWith(t, p, "hex("))
        return Fail(line->number,
                    "a CE setup file holds strings (\"...\" or hex(2):), multi-strings (hex(7):), binary data (hex:) "
                    "and double words (dword:), no other type");
    return Fail(line->number, "a value is a quoted string, hex:, dword:, hex(7):, hex(2): or nothing");
}

bool Parser::Items(Line* line, size_t p, int digits, RegDocumentEntry* e) {
    bool needItem = false, any = false;
    for (;;) {
        std::string_view t = line->text;
        while (p < t.size() && (t[p] == ' ' || t[p] == '\t')) ++p;
        if (p == t.size()) {
            if (needItem) return Fail(line->number, "an item follows the \",\"");
            return true;
        }
        if (t[p] == '\\' && IsBlank(t.substr(p + 1))) {
            if (!Continue(line, e, "the list")) return false;
            p = 0;
            continue;
        }
        if (any && !needItem) {
            if (t[p] != ',') return Fail(line->number, "items are separated by \",\"");
            needItem = true;
            ++p;
            continue;
        }
        if (t[p] == '0' && p + 1 < t.size() && (t[p + 1] == 'x' || t[p + 1] == 'X')) {
            p += 2;
        } else {
            e->ownForm = false;  // the desktop editor's form
        }
        uint32_t value = 0;
        int n = 0;
        for (; p < t.size() && HexDigit(t[p]) >= 0; ++p, ++n) {
            if (n == digits)
                return Fail(line->number, digits == 2 ? "a byte has at most two hexadecimal digits"
                                                      : "a double word has at most eight hexadecimal digits");
            value = value << 4 | static_cast<uint32_t>(HexDigit(t[p]));
        }
        if (n == 0)
            return Fail(line->number,
                        digits == 2 ? "an item is a byte such as 0x0A" : "an item is a double word such as 0x0000000A");
        for (int k = 0; k < (digits == 2 ? 1 : 4); ++k) e->data += static_cast<char>(value >> (8 * k) & 0xFF);
        any = true;
        needItem = false;
    }
}

// Whether the document held whole in `text` reads as entries of the
// dialect, and how many values it has; false with *error naming the line.
// Lines no document has are found before anything is read.
bool DocumentReads(const std::string& name, const uint8_t* text, size_t size, std::string* error, size_t* values) {
    if ((size >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF) ||
        (size >= 2 && ((text[0] == 0xFF && text[1] == 0xFE) || (text[0] == 0xFE && text[1] == 0xFF)))) {
        *error = name + ":1: the document was saved with a byte-order mark (as Unicode); save it in the ANSI code page";
        return false;
    }
    Lines all(text, size);
    Line line;
    const char* bad = nullptr;
    while (all.Next(&line, &bad)) {
    }
    if (bad) {
        *error = name + ":" + std::to_string(line.number) + ": " + bad;
        return false;
    }
    Lines lines(text, size);
    Parser parser(name, lines, error);
    RegDocumentEntry e;
    while (parser.Next(&e)) *values += e.key ? 0 : 1;
    return !parser.failed();
}

// The export's lines of `writer`, piece by piece.
Lines ExportLines(RegistryExportWriter& writer) {
    return Lines([&writer](std::string* text) {
        TextWriter out;
        out.text = text;
        bool more = writer.PutNext(out);
        TextFlush(out);
        return more;
    });
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + '\n';
    return s;
}

// The entry's lines against the export's: false with *error naming the
// first line that differs.
bool SameAsExported(const std::string& name, const RegDocumentEntry& edited, const RegDocumentEntry& exported,
                    std::string* error) {
    auto fail = [&](size_t d, const std::string& what) {
        *error = name + ":" + std::to_string(edited.line + d) + ": " + what;
        return false;
    };
    if (edited.key != exported.key)
        return fail(0, "the export would write \"" + exported.lines[0] + "\" here: a value's key is the key line above it");
    if (!edited.key && !edited.ownForm) {
        // Given in the desktop editor's form: the data must be the same.
        if (edited.name == exported.name && edited.data == exported.data &&
            KindOfRegValue(edited.typeFlags) == KindOfRegValue(exported.typeFlags))
            return true;
        return fail(0, "the export cannot show this value's data as given (it would write \"" + exported.lines[0] +
                           "\"); give the data so that it can");
    }
    for (size_t d = 0; d < edited.lines.size(); ++d) {
        if (d < exported.lines.size() && edited.lines[d] == exported.lines[d]) continue;
        if (HasControl(edited.lines[d].c_str()))
            return fail(d, "a control character (a tab, say) cannot be shown in the export");
        if (d >= exported.lines.size()) return fail(d, "the export would end the entry before this line");
        return fail(d, "the export would write this line as \"" + exported.lines[d] + "\"");
    }
    if (exported.lines.size() > edited.lines.size())
        return fail(edited.lines.size() - 1, "the export would continue after this line with \"" +
                                                 exported.lines[edited.lines.size()] + "\"");
    return true;
}

// An index entry: a hash of the text looked up and the row it leads to.
// Sorted by hash, rows of one hash in the order they were added.
struct Hashed {
    uint32_t hash;
    uint32_t row;
    bool operator<(const Hashed& o) const { return hash < o.hash || (hash == o.hash && row < o.row); }
};

// The rows under `hash`, first added first.
template <typename Take>
int32_t FirstOf(const std::vector<Hashed>& index, uint32_t hash, Take take) {
    for (auto at = std::lower_bound(index.begin(), index.end(), Hashed{hash, 0}); at != index.end() && at->hash == hash;
         ++at)
        if (take(at->row)) return static_cast<int32_t>(at->row);
    return -1;
}

class Rebuild {
public:
    Rebuild(const CeSetup& setup, std::unique_ptr<CeSetup> owned, const std::string& name, std::string* error)
        : setup_(&setup), owned_(std::move(owned)), old_(&setup.bytes()), name_(name), error_(*error) {}

    Error Run(const uint8_t* text, size_t size, std::vector<uint8_t>* bytes);

private:
    class Rows;

    Error Fail(uint32_t line, const std::string& what) {
        error_ = name_ + ":" + std::to_string(line) + ": " + what;
        return BadData("registry export");
    }
    Error Fail(const std::string& what) {
        error_ = name_ + ": " + what;
        return BadData("registry export");
    }
    // How many key records the setup file has and where its value records
    // begin.
    void ReadRecords();
    // Indexes what the cabinet's export shows now: keys by their line, values
    // by their key and lines.
    Error IndexCurrent();
    // Decides, entry by entry, which records the document keeps and which
    // it adds.
    Error Match(const uint8_t* text, size_t size);
    Error KeyOf(const RegDocumentEntry& e, uint16_t* id);
    int32_t ShownValue(const std::string& keyText, const std::string& joined);
    int32_t QuietKey(const RegDocumentEntry& e);
    std::string KeyText(int32_t k) const;
    uint16_t Intern(const std::string& text);
    // The setup file with only the tables its registry needs.
    Error KeepRegistryTables();
    // Only the setup file's bytes are needed from here on.
    void LetTablesGo();
    Error Write(const uint8_t* text, size_t size, std::vector<uint8_t>* bytes);
    // What the new setup file exports must be the document.
    Error Check(const uint8_t* text, size_t size, std::vector<uint8_t>* bytes);

    const CeSetup* setup_;
    std::unique_ptr<CeSetup> owned_;
    std::vector<uint8_t> oldBytes_;    // the setup file's bytes once its tables are gone
    const std::vector<uint8_t>* old_;  // the setup file's bytes
    const std::string& name_;
    std::string& error_;

    // The setup file's value records: where each begins, for the writer
    // and for its export, its key, and the key record of the line it
    // shows under (-1: none).
    struct OldValue {
        uint32_t at = 0, shownAt = 0;
        int32_t keyLine = -1;
        uint16_t hiveId = 0;
    };
    std::vector<OldValue> values_;
    size_t hiveRecords_ = 0;
    uint32_t nextKeyId_ = 1;
    HiveIndex index_;
    std::unique_ptr<RegistryExportWriter> export_;  // writes single values and keys again
    std::vector<Hashed> shownValues_;               // key text and lines -> value record
    std::vector<bool> taken_;                       // per value record: an entry keeps it
    std::vector<Hashed> shownKeys_;                 // key text -> key record, first shown first
    std::vector<bool> shown_;                       // per key record: a value shows it
    std::vector<Hashed> quietKeys_;                 // root and path -> key record no value shows
    bool quietIndexed_ = false;

    // The new tables: per old key record whether it stays, the keys and
    // strings added, and per value of the document the record it keeps
    // (-1: a new one) and its key (-1: the kept record's own).
    std::vector<bool> keep_;
    std::vector<SetupModel::RegHive> addedHives_;
    TextIds addedKeys_;                 // key text -> id
    std::unique_ptr<TextIds> strings_;  // text -> string id, made for the first new key
    // Strings of the key path being added that the index leaves out.
    std::vector<std::pair<std::string, uint16_t>> pathStrings_;
    std::vector<SetupModel::String> addedStrings_;
    size_t oldStrings_ = 0;
    uint32_t nextString_ = 1;
    struct Kept {
        int32_t value;
        int32_t hiveId;
    };
    std::vector<Kept> kept_;
    size_t addedBytes_ = 0;
};

void Rebuild::ReadRecords() {
    ReadRegHiveRecords(old_->data(), old_->size(), [this](const SetupModel::RegHive& h) {
        ++hiveRecords_;
        nextKeyId_ = h.id >= nextKeyId_ ? h.id + 1u : nextKeyId_;
        return true;
    });
    values_.reserve(setup_->header().regValueCount);
    ReadRegValueRecordsAt(old_->data(), old_->size(), [this](const SetupModel::RegValue& v, size_t at) {
        OldValue o;
        o.at = static_cast<uint32_t>(at);
        o.hiveId = v.hiveId;
        values_.push_back(o);
        return true;
    });
}

Error Rebuild::IndexCurrent() {
    const auto& hives = setup_->regHives();
    const bool keysDamaged = hives.size() != hiveRecords_;
    if (!keysDamaged) {
        shown_.assign(hives.size(), false);
        index_ = BuildHiveIndex(*setup_);
    }
    // The export is indexed as it is written; a document that does not read
    // back is reported before damaged tables.
    export_.reset(new RegistryExportWriter(*setup_));
    Lines lines = ExportLines(*export_);
    std::string ignored;
    Parser parser(name_, lines, &ignored);
    RegDocumentEntry e;
    std::string keyText;
    size_t value = 0;
    bool valuesDamaged = false;
    while (parser.Next(&e)) {
        if (keysDamaged || valuesDamaged) continue;
        if (e.key) {
            keyText = std::move(e.keyText);
            continue;
        }
        if (value >= values_.size()) {
            valuesDamaged = true;
            continue;
        }
        // The parser has asked the writer for no more than this value.
        OldValue& v = values_[value];
        v.shownAt = static_cast<uint32_t>(export_->valueAt());
        v.keyLine = export_->keyAt();
        if (const SetupRegHive* hive = FindHive(*setup_, index_, v.hiveId)) {
            size_t k = static_cast<size_t>(hive - &hives[0]);
            if (!shown_[k]) {
                shown_[k] = true;
                shownKeys_.push_back({TextHash(keyText), static_cast<uint32_t>(k)});
            }
        }
        shownValues_.push_back({TextHash(Joined(e.lines), TextHash(keyText)), static_cast<uint32_t>(value)});
        ++value;
    }
    if (parser.failed())
        return Fail("the cabinet's own registry export does not read back (" + ignored + "); it cannot be edited");
    if (keysDamaged) return Fail("the setup file's registry key table is damaged");
    if (valuesDamaged || value != values_.size()) return Fail("the setup file's registry value table is damaged");
    std::sort(shownValues_.begin(), shownValues_.end());
    // A key text first shown by one record stays that record's.
    std::stable_sort(shownKeys_.begin(), shownKeys_.end(),
                     [](const Hashed& a, const Hashed& b) { return a.hash < b.hash; });
    taken_.assign(values_.size(), false);
    return kOk;
}

std::string Rebuild::KeyText(int32_t k) const {
    std::string text;
    if (k < 0) return text;
    TextWriter out;
    out.text = &text;
    export_->PutKeyText(out, static_cast<size_t>(k));
    TextFlush(out);
    return text;
}

// The first value record not yet kept that the export shows as `joined`
// under `keyText`, or -1.
int32_t Rebuild::ShownValue(const std::string& keyText, const std::string& joined) {
    return FirstOf(shownValues_, TextHash(joined, TextHash(keyText)), [&](uint32_t j) {
        if (taken_[j] || KeyText(values_[j].keyLine) != keyText) return false;
        std::string text;
        TextWriter out;
        out.text = &text;
        export_->PutValueAt(out, values_[j].shownAt);
        TextFlush(out);
        // As the lines read: CR LF ends as "\n".
        std::string lines;
        for (size_t i = 0; i < text.size(); ++i)
            if (text[i] != '\r' || i + 1 >= text.size() || text[i + 1] != '\n') lines += text[i];
        return lines == joined;
    });
}

// A key record the cabinet creates without values, of the entry's root and
// path, the first in table order that its id finds; or -1.
int32_t Rebuild::QuietKey(const RegDocumentEntry& e) {
    const auto& hives = setup_->regHives();
    auto hash = [](uint16_t root, std::string_view path) {
        return TextHash(path, TextHash(std::string_view(reinterpret_cast<const char*>(&root), sizeof root)));
    };
    if (!quietIndexed_) {
        quietIndexed_ = true;
        for (size_t k = 0; k < hives.size(); ++k)
            if (!shown_[k] && FindHive(*setup_, index_, hives[k].id) == &hives[k])
                quietKeys_.push_back({hash(hives[k].root, hives[k].keyPath), static_cast<uint32_t>(k)});
        std::sort(quietKeys_.begin(), quietKeys_.end());
    }
    return FirstOf(quietKeys_, hash(e.root, e.path),
                   [&](uint32_t k) { return hives[k].root == e.root && e.path == hives[k].keyPath; });
}

// Key paths as the wizard stores them: cut at "\" into strings shared by
// text. The first string (the install directory) reads as %InstallDir% and
// a quoted string loses its quotes, so neither stands for its own text
// beyond the path that adds it.
uint16_t Rebuild::Intern(const std::string& text) {
    int32_t found = strings_->Find(text);
    if (found >= 0) return static_cast<uint16_t>(found);
    for (const auto& s : pathStrings_)
        if (s.first == text) return s.second;
    uint16_t id = static_cast<uint16_t>(nextString_++);
    bool first = oldStrings_ + addedStrings_.size() == 0;
    addedStrings_.push_back({id, StoredText(text)});
    if (first || (!text.empty() && text[0] == '"'))
        pathStrings_.emplace_back(text, id);
    else
        strings_->Add(text, id);
    return id;
}

Error Rebuild::KeyOf(const RegDocumentEntry& e, uint16_t* id) {
    const auto& hives = setup_->regHives();
    int32_t shown = FirstOf(shownKeys_, TextHash(e.keyText),
                            [&](uint32_t k) { return KeyText(static_cast<int32_t>(k)) == e.keyText; });
    if (shown >= 0) {
        keep_[shown] = true;
        *id = hives[shown].id;
        return kOk;
    }
    if (e.root == 0) return Fail(e.line, "a key begins with HKCR\\, HKCU\\, HKLM\\ or HKU\\");
    int32_t added = addedKeys_.Find(e.keyText);
    if (added >= 0) {
        *id = static_cast<uint16_t>(added);
        return kOk;
    }
    // A key the cabinet creates without values: its record serves.
    int32_t quiet = QuietKey(e);
    if (quiet >= 0) {
        *id = hives[quiet].id;
        addedKeys_.Add(e.keyText, *id);
        return kOk;
    }
    if (e.keyText.size() >= kPathSize) return Fail(e.line, "a key of more than 259 characters");
    // The setup file reads a quoted string without its quotes.
    if ((!e.path.empty() && e.path[0] == '"') || e.path.find("\\\"", 1) != std::string::npos)
        return Fail(e.line, "a part of a key cannot begin with a double quote");
    if (nextKeyId_ > 65535) return Fail(e.line, "more registry keys than the setup file numbers");
    if (!strings_) {
        strings_.reset(new TextIds());
        ReadStringRecords(old_->data(), old_->size(), [this](const SetupModel::String& s) {
            nextString_ = s.id >= nextString_ ? s.id + 1u : nextString_;
            std::string text = s.stored.substr(0, s.stored.find('\0'));
            if (oldStrings_++ != 0 && (text.empty() || text[0] != '"')) strings_->Add(text, s.id);
            return true;
        });
    }
    if (nextString_ > 65535) return Fail(e.line, "more strings than the setup file numbers");
    pathStrings_.clear();
    SetupModel::RegHive hive;
    hive.id = static_cast<uint16_t>(nextKeyId_++);
    hive.root = e.root;
    hive.ids = PathStringIds(e.path, 1, [this](const std::string& text) { return Intern(text); });
    addedBytes_ += 8 + 2 * hive.ids.size();
    addedHives_.push_back(hive);
    addedKeys_.Add(e.keyText, hive.id);
    *id = hive.id;
    return kOk;
}

Error Rebuild::Match(const uint8_t* text, size_t size) {
    // Keys the export does not show stay; new ones follow the kept ones.
    keep_.assign(hiveRecords_, false);
    for (size_t k = 0; k < keep_.size(); ++k) keep_[k] = !shown_[k];
    Lines lines(text, size);
    std::string ignored;
    Parser parser(name_, lines, &ignored);
    RegDocumentEntry e;
    std::string keyText;
    bool underKey = false;
    uint16_t keyId = 0;
    while (parser.Next(&e)) {
        if (e.key) {
            if (Error r = KeyOf(e, &keyId)) return r;
            keyText = e.keyText;
            underKey = true;
            continue;
        }
        // A value as the export shows it now keeps its record.
        int32_t same = ShownValue(keyText, Joined(e.lines));
        if (same >= 0) {
            taken_[same] = true;
            kept_.push_back({same, underKey ? keyId : -1});
            continue;
        }
        if (!underKey) return Fail(e.line, "a value before the first key line belongs to no key");
        if (e.name.size() + 1 + e.data.size() > 65535)
            return Fail(e.line, "a value's name and data take more than the setup file's 65535 bytes");
        if (kept_.size() >= 65535) return Fail(e.line, "more registry values than the setup file holds");
        kept_.push_back({-1, keyId});
        addedBytes_ += 12 + e.name.size() + 1 + e.data.size();
    }
    return kOk;
}

Error Rebuild::KeepRegistryTables() {
    if (!owned_) return kOk;
    // The old tables go before the new ones are made.
    std::vector<uint8_t> bytes = CeSetup::Release(std::move(owned_));
    std::unique_ptr<CeSetup> registry;
    {
        LogSilenced quiet;
        if (Error e = CeSetup::RegistryFromBytes(std::move(bytes), &registry)) return e;
    }
    if (!registry) return Fail("the setup file does not read back");
    owned_ = std::move(registry);
    setup_ = owned_.get();
    old_ = &setup_->bytes();
    return kOk;
}

void Rebuild::LetTablesGo() {
    export_.reset();
    index_ = HiveIndex();
    std::vector<Hashed>().swap(shownValues_);
    std::vector<Hashed>().swap(shownKeys_);
    std::vector<Hashed>().swap(quietKeys_);
    strings_.reset();
    addedKeys_ = TextIds();
    if (owned_) {
        setup_ = nullptr;
        oldBytes_ = CeSetup::Release(std::move(owned_));
        old_ = &oldBytes_;
    }
}

// The new file's rows: the old records from the setup bytes, less the keys
// that go and the strings only they used, then the added ones; the values
// in the document's order.
class Rebuild::Rows : public SetupRows {
public:
    Rows(const Rebuild& r, const uint8_t* text, size_t size, bool* failed)
        : r_(r), text_(text), size_(size), failed_(*failed) {
        const std::vector<uint8_t>& old = *r_.old_;
        // Strings only keys that are gone used go with them.
        dropped_.assign(65536, false);
        used_.assign(65536, false);
        size_t k = 0;
        ReadRegHiveRecords(old.data(), old.size(), [this, &k](const SetupModel::RegHive& h) {
            bool keep = r_.keep_[k++];
            for (uint16_t id : h.ids) (keep ? used_ : dropped_)[id] = true;
            return true;
        });
        for (const SetupModel::RegHive& h : r_.addedHives_)
            for (uint16_t id : h.ids) used_[id] = true;
        ReadDirectoryRecords(old.data(), old.size(), [this](const SetupModel::Directory& d) {
            for (uint16_t id : d.ids) used_[id] = true;
            return true;
        });
        ReadShortcutRecords(old.data(), old.size(), [this](const SetupModel::Shortcut& s) {
            used_[s.nameStringId] = true;
            return true;
        });
    }
    void Strings(const Put<SetupModel::String>& put) const override {
        size_t i = 0;
        auto take = [&](const SetupModel::String& s) {
            if (i++ == 0 || !dropped_[s.id] || used_[s.id]) put(s);
            return true;
        };
        ReadStringRecords(r_.old_->data(), r_.old_->size(), take);
        for (const SetupModel::String& s : r_.addedStrings_) take(s);
    }
    void Directories(const Put<SetupModel::Directory>& put) const override {
        ReadDirectoryRecords(r_.old_->data(), r_.old_->size(), [&put](const SetupModel::Directory& d) {
            put(d);
            return true;
        });
    }
    void CopyFiles(const Put<SetupModel::CopyFile>& put) const override {
        ReadCopyFileRecords(r_.old_->data(), r_.old_->size(), [&put](const SetupModel::CopyFile& c) {
            put(c);
            return true;
        });
    }
    void RegHives(const Put<SetupModel::RegHive>& put) const override {
        size_t k = 0;
        ReadRegHiveRecords(r_.old_->data(), r_.old_->size(), [this, &k, &put](const SetupModel::RegHive& h) {
            if (r_.keep_[k++]) put(h);
            return true;
        });
        for (const SetupModel::RegHive& h : r_.addedHives_) put(h);
    }
    void RegValues(const Put<SetupModel::RegValue>& put) const override {
        Lines lines(text_, size_);
        std::string ignored;
        Parser parser(r_.name_, lines, &ignored);
        RegDocumentEntry e;
        size_t n = 0;
        SetupModel::RegValue v;
        while (parser.Next(&e)) {
            if (e.key) continue;
            const Kept& kept = r_.kept_[n];
            if (kept.value >= 0) {
                if (!ReadRegValueRecordAt(r_.old_->data(), r_.old_->size(), r_.values_[kept.value].at, &v))
                    failed_ = true;
                if (kept.hiveId >= 0) v.hiveId = static_cast<uint16_t>(kept.hiveId);
            } else {
                v.first = static_cast<uint16_t>(n + 1);
                v.hiveId = static_cast<uint16_t>(kept.hiveId);
                v.third = WizardRegValueMark(e.data);
                v.typeFlags = e.typeFlags | (e.onlyIfMissing ? kRegOnlyIfMissing : 0);
                v.payload = e.name + '\0' + e.data;
            }
            put(v);
            ++n;
        }
    }
    void Shortcuts(const Put<SetupModel::Shortcut>& put) const override {
        ReadShortcutRecords(r_.old_->data(), r_.old_->size(), [&put](const SetupModel::Shortcut& s) {
            put(s);
            return true;
        });
    }

private:
    const Rebuild& r_;
    const uint8_t* text_;
    size_t size_;
    bool& failed_;
    std::vector<bool> dropped_, used_;  // per string id
};

Error Rebuild::Write(const uint8_t* text, size_t size, std::vector<uint8_t>* bytes) {
    SetupModel head;
    if (Error e = ReadSetupHeader(old_->data(), old_->size(), &head)) return e;
    size_t hint = old_->size() + 4096 + addedBytes_;
    for (const SetupModel::String& s : addedStrings_) hint += 4 + s.stored.size();
    bool failed = false;
    Error written = WriteSetupFile(head, Rows(*this, text, size, &failed), bytes, hint);
    if (failed) return Fail("the setup file's registry value table is damaged");
    if (written)
        return Fail("the registry does not fit the setup file (its tables hold 65535 records and 64 KiB of texts)");
    return kOk;
}

Error Rebuild::Check(const uint8_t* text, size_t size, std::vector<uint8_t>* bytes) {
    std::unique_ptr<CeSetup> after;
    {
        LogSilenced quiet;
        if (Error e = CeSetup::RegistryFromBytes(std::move(*bytes), &after)) return e;
    }
    if (!after) return Fail("the rebuilt setup file does not read back");
    // The export and the document are read side by side, each exported
    // entry compared as it is written; a document that does not read back
    // is reported before the first difference.
    Error result = kOk;
    {
        RegistryExportWriter writer(*after);
        Lines exportLines = ExportLines(writer);
        std::string ignored;
        Parser exported(name_, exportLines, &ignored);
        Lines documentLines(text, size);
        std::string unused;
        Parser edited(name_, documentLines, &unused);
        RegDocumentEntry x, d;
        bool differs = false, beyond = false;
        std::string goesOn;
        while (exported.Next(&x)) {
            if (differs) continue;
            if (!edited.Next(&d)) {
                goesOn = x.lines[0];
                differs = beyond = true;
            } else if (!SameAsExported(name_, d, x, &error_)) {
                differs = true;
            }
        }
        if (exported.failed())
            result = Fail("the rebuilt registry does not export as a document that reads back (" + ignored + ")");
        else if (beyond)
            result = Fail("the export would go on with \"" + goesOn + "\"");
        else if (differs)
            result = BadData("registry export");
        else if (edited.Next(&d))
            result = Fail(d.line, "the export would end before this line");
    }
    *bytes = CeSetup::Release(std::move(after));
    return result;
}

Error Rebuild::Run(const uint8_t* text, size_t size, std::vector<uint8_t>* bytes) {
    size_t values = 0;
    if (!DocumentReads(name_, text, size, &error_, &values)) return BadData("registry export");
    // What outlives the tables is made before them, so that the new file
    // can take their place once they are gone. Past 65535 values (kept
    // ones aside) the document is refused.
    kept_.reserve(std::min<size_t>(values, 2 * 65535));
    ReadRecords();
    if (Error e = KeepRegistryTables()) return e;
    if (Error e = IndexCurrent()) return e;
    if (Error e = Match(text, size)) return e;
    LetTablesGo();
    if (Error e = Write(text, size, bytes)) return e;
    std::vector<uint8_t>().swap(oldBytes_);
    return Check(text, size, bytes);
}

Error RebuildWith(const CeSetup& setup, std::unique_ptr<CeSetup> owned, const uint8_t* text, size_t size,
                  const std::string& name, std::vector<uint8_t>* setupBytes, std::string* error) {
    try {
        Rebuild rebuild(setup, std::move(owned), name, error);
        return rebuild.Run(text, size, setupBytes);
    } catch (const std::bad_alloc&) {
        *error = name + ": out of memory";
        return NoMemory("registry export");
    }
}

}  // namespace

Error RebuildFromRegistryExport(const std::string& name, const std::string& path, const Cabinet& cabinet,
                                std::unique_ptr<CeSetup> setup, DocumentEdit* edit) {
    std::vector<uint8_t> text;
    if (Error e = ReadDocumentFile(path, &text)) {
        LogMessage("%s: cannot read %s", name.c_str(), path.c_str());
        return e;
    }
    std::string error;
    if (Error e = RebuildRegistry(std::move(setup), text.data(), text.size(), name, &edit->setupBytes, &error)) {
        LogMessage("%s", error.c_str());
        return e;
    }
    // Every stored file stays as it is; the setup file is the new one.
    edit->entries = KeptEntries(cabinet);
    PackEntry& first = edit->entries[0];
    first.keptEntry = 0;
    first.bytes = &edit->setupBytes;
    first.cbFile = static_cast<uint32_t>(edit->setupBytes.size());
    LogMessage("Setup file rebuilt from %s", path.c_str());
    return kOk;
}

Error RebuildRegistry(const CeSetup& setup, const uint8_t* text, size_t size, const std::string& name,
                      std::vector<uint8_t>* setupBytes, std::string* error) {
    return RebuildWith(setup, nullptr, text, size, name, setupBytes, error);
}

Error RebuildRegistry(std::unique_ptr<CeSetup> setup, const uint8_t* text, size_t size, const std::string& name,
                      std::vector<uint8_t>* setupBytes, std::string* error) {
    const CeSetup& held = *setup;
    return RebuildWith(held, std::move(setup), text, size, name, setupBytes, error);
}

}  // namespace mirad
