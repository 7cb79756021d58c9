#include "documents/reg_reader.h"

#include <functional>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string_view>
#include <utility>

#include "documents/documents.h"
#include "documents/quoting.h"
#include "documents/regvalue.h"
#include "cabinet/transaction.h"
#include "setup/edit.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/settings.h"

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

// A line of the document, without its line end; it points into the text.
struct Line {
    uint32_t number;
    std::string_view text;
};

// Takes each entry as it is read, so that no caller has to hold them all.
using EntrySink = std::function<void(RegDocumentEntry&&)>;

class Parser {
public:
    Parser(const std::string& name, EntrySink sink, std::string* error)
        : name_(name), sink_(std::move(sink)), error_(*error) {}

    bool Run(const uint8_t* text, size_t size) { return Split(text, size) && Read(); }

private:
    bool Fail(uint32_t line, const std::string& what) {
        error_ = name_ + ":" + std::to_string(line) + ": " + what;
        return false;
    }

    bool Split(const uint8_t* text, size_t size);
    bool Read();
    bool Value(size_t* i, RegDocumentEntry* e);
    bool Quoted(const Line& line, size_t* p, std::string* out);
    bool Items(size_t* i, size_t p, int digits, RegDocumentEntry* e);
    // Moves to the line after *i, which continues entry `e`.
    bool Continue(size_t* i, RegDocumentEntry* e, const char* what);

    const std::string& name_;
    std::vector<Line> lines_;
    EntrySink sink_;
    std::string& error_;
};

bool Parser::Split(const uint8_t* text, size_t size) {
    if ((size >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF) ||
        (size >= 2 && ((text[0] == 0xFF && text[1] == 0xFE) || (text[0] == 0xFE && text[1] == 0xFF))))
        return Fail(1, "the document was saved with a byte-order mark (as Unicode); save it in the ANSI code page");
    const char* chars = reinterpret_cast<const char*>(text);
    uint32_t number = 1;
    size_t start = 0;
    for (size_t i = 0; i < size; ++i) {
        char c = chars[i];
        if (c == '\r' && i + 1 < size && chars[i + 1] == '\n') continue;
        if (c == '\r') return Fail(number, "a carriage return inside the line");
        if (c == '\0') return Fail(number, "a NUL byte inside the line");
        if (c != '\n') continue;
        size_t end = i > start && chars[i - 1] == '\r' ? i - 1 : i;
        lines_.push_back(Line{number++, std::string_view(chars + start, end - start)});
        start = i + 1;
    }
    if (start < size) lines_.push_back(Line{number, std::string_view(chars + start, size - start)});
    return true;
}

bool Parser::Read() {
    if (lines_.empty() || lines_[0].text != "REGEDIT4") {
        if (!lines_.empty() && StartsWith(lines_[0].text, 0, "Windows Registry Editor"))
            return Fail(1, "a Unicode registry export; the cabinet's export is REGEDIT4 text in the ANSI code page");
        return Fail(1, "a registry export begins with the line REGEDIT4");
    }
    uint32_t marked = 0;  // the line marking the next value
    bool anyKey = false;
    uint32_t lastKeyLine = 0;
    std::string lastKeyText;
    bool keyHasValue = false;
    for (size_t i = 1; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        std::string_view t = line.text;
        if (IsBlank(t)) continue;
        if (t[0] == '[') {
            if (marked) return Fail(marked, "this line marks the value after it, and a key follows");
            if (anyKey && !keyHasValue)
                return Fail(lastKeyLine,
                            "a key without values cannot be kept: the export shows a key by its values; remove the "
                            "line or give the key a value");
            if (t.back() != ']') return Fail(line.number, "a key line ends with \"]\"");
            RegDocumentEntry e;
            e.key = true;
            e.line = line.number;
            e.lines.emplace_back(t);
            e.keyText = std::string(t.substr(1, t.size() - 2));
            for (uint16_t root = 1; root <= 4; ++root) {
                const char* prefix = RegRootPrefix(root);
                if (StartsWith(e.keyText, 0, prefix)) {
                    e.root = root;
                    e.path = e.keyText.substr(std::char_traits<char>::length(prefix));
                    break;
                }
            }
            if (anyKey && lastKeyText == e.keyText)
                return Fail(line.number, "the key of the line above again: its values belong under that line");
            anyKey = true;
            lastKeyLine = e.line;
            lastKeyText = e.keyText;
            keyHasValue = false;
            sink_(std::move(e));
        } else if (t[0] == ';') {
            if (t != kRegOnlyIfMissingLine)
                return Fail(line.number, "a comment cannot be kept in the cabinet's setup file; remove it");
            if (marked) return Fail(line.number, "the value after the line above is marked already");
            marked = line.number;
        } else if (t[0] == '@' || t[0] == '"') {
            RegDocumentEntry e;
            e.line = marked ? marked : line.number;
            if (marked) e.lines.push_back(kRegOnlyIfMissingLine);
            e.onlyIfMissing = marked != 0;
            marked = 0;
            if (!Value(&i, &e)) return false;
            keyHasValue = true;
            sink_(std::move(e));
        } else {
            return Fail(line.number, "neither a key line [...] nor a value \"name\"=... or @=...");
        }
    }
    if (marked) return Fail(marked, "this line marks the value after it, and none follows");
    if (anyKey && !keyHasValue)
        return Fail(lastKeyLine,
                    "a key without values cannot be kept: the export shows a key by its values; remove the line or "
                    "give the key a value");
    return true;
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

bool Parser::Continue(size_t* i, RegDocumentEntry* e, const char* what) {
    if (*i + 1 >= lines_.size()) return Fail(lines_[*i].number, std::string(what) + " continues, and the document ends");
    ++*i;
    e->lines.emplace_back(lines_[*i].text);
    return true;
}

bool Parser::Value(size_t* i, RegDocumentEntry* e) {
    const Line* line = &lines_[*i];
    e->lines.emplace_back(line->text);
    const std::string_view* t = &line->text;
    size_t p = 0;
    if ((*t)[0] == '@') {
        p = 1;
    } else if (!Quoted(*line, &p, &e->name)) {
        return false;
    }
    if (p >= t->size() || (*t)[p] != '=') return Fail(line->number, "a value's name is followed by \"=\"");
    ++p;
    if (p == t->size()) {
        e->typeFlags = kRegString;  // no data at all
        return true;
    }
    if ((*t)[p] == '"') {
        size_t pieces = 0;
        for (;;) {
            std::string piece;
            if (!Quoted(*line, &p, &piece)) return false;
            e->data += piece;
            e->data += '\0';
            ++pieces;
            if (p == t->size()) break;
            if ((*t)[p] != ',' || p + 1 != t->size())
                return Fail(line->number, "a quoted string ends the line, or \",\" does when another follows");
            if (!Continue(i, e, "the multi-string")) return false;
            line = &lines_[*i];
            t = &line->text;
            p = t->find_first_not_of(" \t");
            if (p == std::string_view::npos || (*t)[p] != '"')
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
        if (!StartsWith(*t, p, f.prefix)) continue;
        e->typeFlags = f.typeFlags;
        e->ownForm = f.own;
        return Items(i, p + std::char_traits<char>::length(f.prefix), f.digits, e);
    }
    if (StartsWith(*t, p, "hex("))
        return Fail(line->number,
                    "a CE setup file holds strings (\"...\" or hex(2):), multi-strings (hex(7):), binary data (hex:) "
                    "and double words (dword:), no other type");
    return Fail(line->number, "a value is a quoted string, hex:, dword:, hex(7):, hex(2): or nothing");
}

bool Parser::Items(size_t* i, size_t p, int digits, RegDocumentEntry* e) {
    bool needItem = false, any = false;
    for (;;) {
        const Line& line = lines_[*i];
        std::string_view t = line.text;
        while (p < t.size() && (t[p] == ' ' || t[p] == '\t')) ++p;
        if (p == t.size()) {
            if (needItem) return Fail(line.number, "an item follows the \",\"");
            return true;
        }
        if (t[p] == '\\' && IsBlank(t.substr(p + 1))) {
            if (!Continue(i, e, "the list")) return false;
            p = 0;
            continue;
        }
        if (any && !needItem) {
            if (t[p] != ',') return Fail(line.number, "items are separated by \",\"");
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
                return Fail(line.number, digits == 2 ? "a byte has at most two hexadecimal digits"
                                                     : "a double word has at most eight hexadecimal digits");
            value = value << 4 | static_cast<uint32_t>(HexDigit(t[p]));
        }
        if (n == 0)
            return Fail(line.number, digits == 2 ? "an item is a byte such as 0x0A" : "an item is a double word such as 0x0000000A");
        for (int k = 0; k < (digits == 2 ? 1 : 4); ++k) e->data += static_cast<char>(value >> (8 * k) & 0xFF);
        any = true;
        needItem = false;
    }
}

// Key paths as the wizard stores them: cut at "\\" into strings shared by
// text. The first string (the install directory) reads as %InstallDir% and
// a quoted string loses its quotes, so neither stands for its own text.
class KeyStrings {
public:
    explicit KeyStrings(SetupModel* model) : model_(model) {
        for (size_t i = 0; i < model->strings.size(); ++i) {
            const SetupModel::String& s = model->strings[i];
            next_ = s.id >= next_ ? s.id + 1u : next_;
            std::string text = s.stored.substr(0, s.stored.find('\0'));
            if (i == 0 || (!text.empty() && text[0] == '"')) continue;
            ids_.emplace(text, s.id);
        }
    }
    bool full() const { return next_ > 65535; }
    std::vector<uint16_t> PathIds(const std::string& path) {
        return PathStringIds(path, 1, [this](const std::string& text) { return Intern(text); });
    }

private:
    uint16_t Intern(const std::string& text) {
        auto at = ids_.find(text);
        if (at != ids_.end()) return at->second;
        uint16_t id = static_cast<uint16_t>(next_++);
        model_->strings.push_back({id, StoredText(text)});
        ids_[text] = id;
        return id;
    }

    SetupModel* model_;
    std::map<std::string, uint16_t> ids_;
    uint32_t next_ = 1;
};

std::string Render(const Cabinet& cabinet, const CeSetup& setup) {
    std::string text;
    TextWriter out;
    out.text = &text;
    DocumentSource source{"", cabinet, setup, BuiltInSettings()};
    if (RenderRegistryExport(source, out)) throw std::bad_alloc();
    TextFlush(out);
    return text;
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

class Rebuild {
public:
    Rebuild(const Cabinet& cabinet, const CeSetup& setup, const std::string& name, std::string* error)
        : cabinet_(cabinet), setup_(setup), name_(name), error_(*error) {}

    Error Run(const uint8_t* text, size_t size, std::vector<uint8_t>* bytes);

private:
    Error Fail(uint32_t line, const std::string& what) {
        error_ = name_ + ":" + std::to_string(line) + ": " + what;
        return BadData("registry export");
    }
    Error Fail(const std::string& what) {
        error_ = name_ + ": " + what;
        return BadData("registry export");
    }
    // Indexes what the cabinet's export shows now: keys by their line, values
    // by their key and lines.
    Error IndexCurrent();
    Error KeyOf(const RegDocumentEntry& e, uint16_t* id);
    void DropUnusedStrings(const std::vector<bool>& keep);

    const Cabinet& cabinet_;
    const CeSetup& setup_;
    SetupModel old_;  // the setup file's records as they are
    const std::string& name_;
    std::string& error_;
    SetupModel m_;
    HiveIndex index_;
    std::vector<bool> shown_;                          // per key record: a value shows it
    std::map<std::string, size_t> shownKeys_;          // key text -> key record
    std::multimap<std::pair<std::string, std::string>, size_t> values_;  // (key text, lines) -> value record
    std::map<std::string, uint16_t> addedKeys_;        // key text -> new key's id
    std::vector<bool> keep_;                           // per old key record
    uint32_t nextKeyId_ = 1;
};

Error Rebuild::IndexCurrent() {
    const auto& hives = setup_.regHives();
    const bool keysDamaged = hives.size() != old_.regHives.size();
    if (!keysDamaged) {
        shown_.assign(hives.size(), false);
        for (const SetupModel::RegHive& h : old_.regHives) nextKeyId_ = h.id >= nextKeyId_ ? h.id + 1u : nextKeyId_;
        index_ = BuildHiveIndex(setup_);
    }
    // The export is indexed as it is read; a document that does not read
    // back is reported before damaged tables.
    std::string keyText;
    size_t value = 0;
    bool valuesDamaged = false;
    auto take = [&](RegDocumentEntry&& e) {
        if (keysDamaged || valuesDamaged) return;
        if (e.key) {
            keyText = std::move(e.keyText);
            return;
        }
        if (value >= old_.regValues.size()) {
            valuesDamaged = true;
            return;
        }
        const SetupModel::RegValue& v = old_.regValues[value];
        if (const SetupRegHive* hive = FindHive(setup_, index_, v.hiveId)) {
            size_t k = static_cast<size_t>(hive - &hives[0]);
            shown_[k] = true;
            shownKeys_.emplace(keyText, k);
        }
        values_.emplace(std::make_pair(keyText, Joined(e.lines)), value);
        ++value;
    };
    std::string ignored;
    bool read;
    {
        std::string text = Render(cabinet_, setup_);
        read = Parser(name_, take, &ignored).Run(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }
    if (!read) return Fail("the cabinet's own registry export does not read back (" + ignored + "); it cannot be edited");
    if (keysDamaged) return Fail("the setup file's registry key table is damaged");
    if (valuesDamaged || value != old_.regValues.size()) return Fail("the setup file's registry value table is damaged");
    return kOk;
}

Error Rebuild::KeyOf(const RegDocumentEntry& e, uint16_t* id) {
    auto shown = shownKeys_.find(e.keyText);
    if (shown != shownKeys_.end()) {
        keep_[shown->second] = true;
        *id = old_.regHives[shown->second].id;
        return kOk;
    }
    if (e.root == 0) return Fail(e.line, "a key begins with HKCR\\, HKCU\\, HKLM\\ or HKU\\");
    auto added = addedKeys_.find(e.keyText);
    if (added != addedKeys_.end()) {
        *id = added->second;
        return kOk;
    }
    // A key the cabinet creates without values: its record serves.
    const auto& hives = setup_.regHives();
    for (size_t k = 0; k < hives.size(); ++k) {
        if (!shown_[k] && hives[k].root == e.root && e.path == hives[k].keyPath &&
            FindHive(setup_, index_, hives[k].id) == &hives[k]) {
            *id = hives[k].id;
            addedKeys_[e.keyText] = *id;
            return kOk;
        }
    }
    if (e.keyText.size() >= kPathSize) return Fail(e.line, "a key of more than 259 characters");
    // The setup file reads a quoted string without its quotes.
    if ((!e.path.empty() && e.path[0] == '"') || e.path.find("\\\"", 1) != std::string::npos)
        return Fail(e.line, "a part of a key cannot begin with a double quote");
    if (nextKeyId_ > 65535) return Fail(e.line, "more registry keys than the setup file numbers");
    KeyStrings strings(&m_);
    if (strings.full()) return Fail(e.line, "more strings than the setup file numbers");
    SetupModel::RegHive hive;
    hive.id = static_cast<uint16_t>(nextKeyId_++);
    hive.root = e.root;
    hive.ids = strings.PathIds(e.path);
    m_.regHives.push_back(hive);
    addedKeys_[e.keyText] = hive.id;
    *id = hive.id;
    return kOk;
}

// Strings only keys that are gone used go with them.
void Rebuild::DropUnusedStrings(const std::vector<bool>& keep) {
    std::set<uint16_t> candidates, used;
    for (size_t k = 0; k < old_.regHives.size(); ++k)
        if (!keep[k]) candidates.insert(old_.regHives[k].ids.begin(), old_.regHives[k].ids.end());
    for (const SetupModel::Directory& d : m_.directories) used.insert(d.ids.begin(), d.ids.end());
    for (const SetupModel::RegHive& h : m_.regHives) used.insert(h.ids.begin(), h.ids.end());
    for (const SetupModel::Shortcut& s : m_.shortcuts) used.insert(s.nameStringId);
    std::vector<SetupModel::String> strings;
    for (size_t i = 0; i < m_.strings.size(); ++i) {
        uint16_t id = m_.strings[i].id;
        if (i == 0 || !candidates.count(id) || used.count(id)) strings.push_back(m_.strings[i]);
    }
    m_.strings.swap(strings);
}

Error Rebuild::Run(const uint8_t* text, size_t size, std::vector<uint8_t>* bytes) {
    std::vector<RegDocumentEntry> edited;
    if (!ParseRegistryExport(text, size, name_, &edited, &error_)) return BadData("registry export");
    if (Error e = setup_.ReadModel(&old_)) return e;
    if (Error e = IndexCurrent()) return e;

    // Keys the export does not show stay; new ones follow the kept ones.
    m_ = old_;
    m_.regHives.clear();
    m_.regValues.clear();
    keep_.assign(old_.regHives.size(), false);
    for (size_t k = 0; k < keep_.size(); ++k) keep_[k] = !shown_[k];
    std::string keyText;
    bool underKey = false;
    uint16_t keyId = 0;
    for (const RegDocumentEntry& e : edited) {
        if (e.key) {
            if (Error r = KeyOf(e, &keyId)) return r;
            keyText = e.keyText;
            underKey = true;
            continue;
        }
        // A value as the export shows it now keeps its record.
        auto same = values_.find(std::make_pair(keyText, Joined(e.lines)));
        if (same != values_.end()) {
            SetupModel::RegValue v = old_.regValues[same->second];
            if (underKey) v.hiveId = keyId;
            values_.erase(same);
            m_.regValues.push_back(v);
            continue;
        }
        if (!underKey) return Fail(e.line, "a value before the first key line belongs to no key");
        if (e.name.size() + 1 + e.data.size() > 65535)
            return Fail(e.line, "a value's name and data take more than the setup file's 65535 bytes");
        if (m_.regValues.size() >= 65535) return Fail(e.line, "more registry values than the setup file holds");
        SetupModel::RegValue v;
        v.first = static_cast<uint16_t>(m_.regValues.size() + 1);
        v.hiveId = keyId;
        v.third = WizardRegValueMark(e.data);
        v.typeFlags = e.typeFlags | (e.onlyIfMissing ? kRegOnlyIfMissing : 0);
        v.payload = e.name + '\0' + e.data;
        m_.regValues.push_back(v);
    }
    // Kept key records in their order, then the new ones (already appended).
    std::vector<SetupModel::RegHive> hives;
    for (size_t k = 0; k < old_.regHives.size(); ++k)
        if (keep_[k]) hives.push_back(old_.regHives[k]);
    hives.insert(hives.end(), m_.regHives.begin(), m_.regHives.end());
    m_.regHives.swap(hives);
    DropUnusedStrings(keep_);

    if (WriteSetupModel(m_, bytes))
        return Fail("the registry does not fit the setup file (its tables hold 65535 records and 64 KiB of texts)");
    // Only the document and the new bytes are needed from here on.
    m_ = SetupModel();
    old_ = SetupModel();
    values_.clear();
    shownKeys_.clear();
    addedKeys_.clear();
    index_ = HiveIndex();

    // What the new setup file exports must be the document. Each exported
    // entry is compared as it is read; a document that does not read back is
    // reported before the first difference.
    std::string again;
    {
        std::unique_ptr<CeSetup> after;
        {
            LogSilenced quiet;
            if (Error e = CeSetup::FromBytes(cabinet_, *bytes, &after)) return e;
        }
        if (!after) return Fail("the rebuilt setup file does not read back");
        again = Render(cabinet_, *after);
    }
    size_t k = 0;
    bool differs = false;
    std::string goesOn;
    auto compare = [&](RegDocumentEntry&& exported) {
        if (differs) return;
        if (k == edited.size()) {
            goesOn = exported.lines[0];
            differs = true;
        } else if (!SameAsExported(name_, edited[k], exported, &error_)) {
            differs = true;
        }
        ++k;
    };
    std::string ignored;
    if (!Parser(name_, compare, &ignored).Run(reinterpret_cast<const uint8_t*>(again.data()), again.size()))
        return Fail("the rebuilt registry does not export as a document that reads back (" + ignored + ")");
    if (differs) {
        if (k > edited.size()) return Fail("the export would go on with \"" + goesOn + "\"");
        return BadData("registry export");
    }
    if (k < edited.size()) return Fail(edited[k].line, "the export would end before this line");
    return kOk;
}

}  // namespace

bool ParseRegistryExport(const uint8_t* text, size_t size, const std::string& name,
                         std::vector<RegDocumentEntry>* entries, std::string* error) {
    entries->clear();
    Parser parser(name, [entries](RegDocumentEntry&& e) { entries->push_back(std::move(e)); }, error);
    return parser.Run(text, size);
}

Error RebuildFromRegistryExport(const std::string& name, const std::string& path, const Cabinet& cabinet,
                                const CeSetup& setup, DocumentEdit* edit) {
    std::vector<uint8_t> text;
    if (Error e = ReadDocumentFile(path, &text)) {
        LogMessage("%s: cannot read %s", name.c_str(), path.c_str());
        return e;
    }
    std::string error;
    if (Error e = RebuildRegistry(cabinet, setup, text.data(), text.size(), name, &edit->setupBytes, &error)) {
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

Error RebuildRegistry(const Cabinet& cabinet, const CeSetup& setup, const uint8_t* text, size_t size,
                      const std::string& name, std::vector<uint8_t>* setupBytes, std::string* error) {
    try {
        Rebuild rebuild(cabinet, setup, name, error);
        return rebuild.Run(text, size, setupBytes);
    } catch (const std::bad_alloc&) {
        *error = name + ": out of memory";
        return NoMemory("registry export");
    }
}

}  // namespace mirad
