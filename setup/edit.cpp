#include "setup/edit.h"

#include <cstdio>
#include <new>

#include "platform/ascii.h"

namespace mirad {

namespace {

bool Alnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool StartsNoCase(const std::string& s, const char* prefix) {
    size_t n = std::char_traits<char>::length(prefix);
    return s.size() >= n && SameTextNoCase(s.c_str(), prefix, n);
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// A stored text without its NUL and padding.
std::string TextOf(const std::string& stored) { return stored.substr(0, stored.find('\0')); }

constexpr uint16_t kHighestNumber = 998;  // 999 is the setup DLL's

}  // namespace

std::string ShortStem(const std::string& stem, bool whole) {
    std::string kept;
    for (char c : stem)
        if (Alnum(c) || (!whole && (c == '~' || c == '_' || c == '-'))) kept += c;
    if (kept.size() <= 8 && (!whole || kept.size() == stem.size())) return std::string(8 - kept.size(), '0') + kept;
    std::string base;
    for (size_t i = 0; i < 6 && i < kept.size(); ++i)
        base += (kept[i] >= 'a' && kept[i] <= 'z') ? static_cast<char>(kept[i] - 'a' + 'A') : kept[i];
    return base + "~1";
}

std::string StoredFileName(const std::string& name, uint16_t number) {
    size_t dot = name.rfind('.');
    std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    char ext[8];
    std::snprintf(ext, sizeof ext, ".%03u", static_cast<unsigned>(number % 1000));
    return ShortStem(stem, false) + ext;
}

std::vector<uint16_t> PathStringIds(const std::string& path, uint16_t installDirId,
                                    const std::function<uint16_t(const std::string&)>& intern) {
    std::vector<uint16_t> ids;
    std::string rest = path;
    if (StartsNoCase(rest, "%InstallDir%")) {
        ids.push_back(installDirId);
        rest = rest.substr(12);
    }
    if (!ids.empty() && !rest.empty() && rest[0] == '\\') rest = rest.substr(1);
    size_t start = 0;
    if (ids.empty() && !rest.empty() && rest[0] == '\\') start = 1;
    while (!rest.empty()) {
        size_t cut = rest.find('\\', start);
        ids.push_back(intern(rest.substr(0, cut)));
        if (cut == std::string::npos) break;
        rest = rest.substr(cut + 1);
        start = 0;
    }
    ids.push_back(0);
    return ids;
}

int32_t TextIds::Find(std::string_view key) const {
    if (slots_.empty()) return -1;
    for (size_t at = Hash(key) & (slots_.size() - 1);; at = (at + 1) & (slots_.size() - 1)) {
        if (slots_[at] == 0) return -1;
        const Entry& e = entries_[slots_[at] - 1];
        if (std::string_view(texts_).substr(e.at, e.length) == key) return e.id;
    }
}

void TextIds::Add(std::string_view key, uint16_t id) {
    if (Find(key) >= 0) return;
    if ((entries_.size() + 1) * 2 > slots_.size()) Grow();
    entries_.push_back({static_cast<uint32_t>(texts_.size()), static_cast<uint32_t>(key.size()), id});
    texts_ += key;
    Place(entries_.size());
}

uint32_t TextHash(std::string_view text, uint32_t h) {
    for (char c : text) h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
    return h;
}

size_t TextIds::Hash(std::string_view key) { return TextHash(key); }

void TextIds::Place(size_t entry) {
    const Entry& e = entries_[entry - 1];
    size_t at = Hash(std::string_view(texts_).substr(e.at, e.length)) & (slots_.size() - 1);
    while (slots_[at] != 0) at = (at + 1) & (slots_.size() - 1);
    slots_[at] = static_cast<uint32_t>(entry);
}

void TextIds::Grow() {
    slots_.assign(slots_.empty() ? 64 : slots_.size() * 2, 0);
    for (size_t i = 1; i <= entries_.size(); ++i) Place(i);
}

// The new file's rows: the old records from the setup bytes, less the
// dropped ones, then the added ones.
class SetupEdit::Rows : public SetupRows {
public:
    Rows(const SetupEdit& edit, const std::vector<uint8_t>& old) : e_(edit), old_(old) {}
    void Strings(const Put<SetupModel::String>& put) const override {
        ReadStringRecords(old_.data(), old_.size(), All(put));
        for (const auto& s : e_.added_.strings) put(s);
    }
    void Directories(const Put<SetupModel::Directory>& put) const override {
        ReadDirectoryRecords(old_.data(), old_.size(), All(put));
        for (const auto& d : e_.added_.directories) put(d);
    }
    void CopyFiles(const Put<SetupModel::CopyFile>& put) const override {
        size_t i = 0;
        auto kept = Kept(e_.droppedCopyFiles_, &i, put);
        ReadCopyFileRecords(old_.data(), old_.size(), kept);
        for (const auto& c : e_.added_.copyFiles) kept(c);
    }
    void RegHives(const Put<SetupModel::RegHive>& put) const override {
        ReadRegHiveRecords(old_.data(), old_.size(), All(put));
    }
    void RegValues(const Put<SetupModel::RegValue>& put) const override {
        ReadRegValueRecords(old_.data(), old_.size(), All(put));
    }
    void Shortcuts(const Put<SetupModel::Shortcut>& put) const override {
        size_t i = 0;
        ReadShortcutRecords(old_.data(), old_.size(), Kept(e_.droppedShortcuts_, &i, put));
    }

private:
    template <typename T>
    static std::function<bool(const T&)> All(const Put<T>& put) {
        return [&put](const T& row) {
            put(row);
            return true;
        };
    }
    // Rows by position: the marked ones are left out.
    template <typename T>
    static std::function<bool(const T&)> Kept(const std::vector<bool>& marked, size_t* i, const Put<T>& put) {
        return [&marked, i, &put](const T& row) {
            size_t at = (*i)++;
            if (at >= marked.size() || !marked[at]) put(row);
            return true;
        };
    }
    const SetupEdit& e_;
    const std::vector<uint8_t>& old_;
};

SetupEdit::SetupEdit() = default;
SetupEdit::~SetupEdit() = default;

Error SetupEdit::Start(const CeSetup& setup, const Cabinet& cabinet) {
    setup_ = &setup;
    const std::vector<uint8_t>& bytes = setup.bytes();
    if (Error e = ReadSetupHeader(bytes.data(), bytes.size(), &head_)) return e;
    try {
        ReadStringRecords(bytes.data(), bytes.size(), [this](const SetupModel::String& s) {
            if (oldStrings_++ == 0) firstStringId_ = s.id;
            if (s.id >= nextString_) nextString_ = static_cast<uint16_t>(s.id + 1);
            return true;
        });
        for (const SetupDirectory& d : setup.directories())
            if (d.id >= nextDirectory_) nextDirectory_ = static_cast<uint16_t>(d.id + 1);
        usedNumbers_.assign(65536, false);
        for (const SetupCopyFile& c : setup.copyFiles()) usedNumbers_[c.fileId] = true;
        for (const CabFileEntry& f : cabinet.files()) {
            int32_t n = NumericSuffix(f.name);
            if (n >= 0 && n < 65536) usedNumbers_[static_cast<size_t>(n)] = true;
        }
    } catch (const std::bad_alloc&) {
        return NoMemory("setup edit");
    }
    return kOk;
}

uint16_t SetupEdit::NextFileNumber() {
    uint16_t highest = 0;
    for (uint16_t n = kHighestNumber; n > 0 && !highest; --n)
        if (usedNumbers_[n]) highest = n;
    uint16_t pick = highest < kHighestNumber ? static_cast<uint16_t>(highest + 1) : 0;
    for (uint16_t n = 1; !pick && n <= kHighestNumber; ++n)
        if (!usedNumbers_[n]) pick = n;
    if (pick) usedNumbers_[pick] = true;
    return pick;
}

uint16_t SetupEdit::Intern(const std::string& text) {
    if (!strings_) {
        strings_.reset(new TextIds());
        const std::vector<uint8_t>& bytes = setup_->bytes();
        bool first = true;
        ReadStringRecords(bytes.data(), bytes.size(), [this, &first](const SetupModel::String& s) {
            // The first string stands for the install directory where a path
            // begins with it.
            if (!first) strings_->Add(TextOf(s.stored), s.id);
            first = false;
            return true;
        });
    }
    int32_t found = strings_->Find(text);
    if (found >= 0) return static_cast<uint16_t>(found);
    uint16_t id = nextString_++;
    if (oldStrings_ + added_.strings.size() == 0) firstStringId_ = id;
    added_.strings.push_back({id, StoredText(text)});
    strings_->Add(text, id);
    return id;
}

uint16_t SetupEdit::Directory(const std::string& path) {
    if (!directories_) {
        directories_.reset(new TextIds());
        for (const SetupDirectory& d : setup_->directories()) directories_->Add(Lower(d.path), d.id);
    }
    int32_t found = directories_->Find(Lower(path));
    if (found >= 0) return static_cast<uint16_t>(found);
    uint16_t installDir = oldStrings_ + added_.strings.size() == 0 ? Intern("%InstallDir%") : firstStringId_;
    uint16_t id = nextDirectory_++;
    added_.directories.push_back(
        {id, PathStringIds(path, installDir, [this](const std::string& text) { return Intern(text); })});
    directories_->Add(Lower(path), id);
    return id;
}

void SetupEdit::AddCopyFile(const std::string& directory, const std::string& name, uint16_t fileId, uint32_t flags) {
    SetupModel::CopyFile c;
    c.fileId = fileId;
    c.directoryId = Directory(directory);
    c.word = fileId;
    c.flags = flags;
    c.stored = StoredText(name);
    added_.copyFiles.push_back(c);
    changed_ = true;
}

void SetupEdit::Remove(const std::vector<bool>& copyFiles, const std::vector<bool>& shortcuts) {
    auto any = [](const std::vector<bool>& marked, size_t rows) {
        for (size_t i = 0; i < marked.size() && i < rows; ++i)
            if (marked[i]) return true;
        return false;
    };
    size_t copyRows = 0, shortcutRows = 0;
    const std::vector<uint8_t>& bytes = setup_->bytes();
    ReadCopyFileRecords(bytes.data(), bytes.size(), [&copyRows](const SetupModel::CopyFile&) {
        ++copyRows;
        return true;
    });
    ReadShortcutRecords(bytes.data(), bytes.size(), [&shortcutRows](const SetupModel::Shortcut&) {
        ++shortcutRows;
        return true;
    });
    changed_ |= any(copyFiles, copyRows + added_.copyFiles.size()) || any(shortcuts, shortcutRows);
    droppedCopyFiles_ = copyFiles;
    droppedShortcuts_ = shortcuts;
}

Error SetupEdit::Write(const std::vector<uint8_t>& old, std::vector<uint8_t>* out) {
    strings_.reset();
    directories_.reset();
    setup_ = nullptr;
    size_t hint = old.size() + 4096;
    for (const auto& s : added_.strings) hint += 4 + s.stored.size();
    for (const auto& d : added_.directories) hint += 4 + 2 * d.ids.size();
    for (const auto& c : added_.copyFiles) hint += 12 + c.stored.size();
    return WriteSetupFile(head_, Rows(*this, old), out, hint);
}

}  // namespace mirad
