#include "setup/edit.h"

#include <cstdio>

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

Error SetupEdit::Start(const CeSetup& setup, const Cabinet& cabinet) {
    if (Error e = setup.ReadModel(&model_)) return e;
    for (size_t i = 0; i < model_.strings.size(); ++i) {
        const SetupModel::String& s = model_.strings[i];
        if (s.id >= nextString_) nextString_ = static_cast<uint16_t>(s.id + 1);
        // The first string stands for the install directory where a path
        // begins with it.
        if (i > 0) strings_.emplace(TextOf(s.stored), s.id);
    }
    for (const SetupDirectory& d : setup.directories()) {
        directories_.emplace(Lower(d.path), d.id);
        if (d.id >= nextDirectory_) nextDirectory_ = static_cast<uint16_t>(d.id + 1);
    }
    for (const SetupCopyFile& c : setup.copyFiles()) usedNumbers_.insert(c.fileId);
    for (const CabFileEntry& f : cabinet.files()) {
        int32_t n = NumericSuffix(f.name);
        if (n >= 0 && n < 65536) usedNumbers_.insert(static_cast<uint16_t>(n));
    }
    return kOk;
}

uint16_t SetupEdit::NextFileNumber() {
    uint16_t highest = 0;
    for (uint16_t n : usedNumbers_)
        if (n <= kHighestNumber && n > highest) highest = n;
    uint16_t pick = highest < kHighestNumber ? static_cast<uint16_t>(highest + 1) : 0;
    for (uint16_t n = 1; !pick && n <= kHighestNumber; ++n)
        if (!usedNumbers_.count(n)) pick = n;
    if (pick) usedNumbers_.insert(pick);
    return pick;
}

uint16_t SetupEdit::Intern(const std::string& text) {
    auto at = strings_.find(text);
    if (at != strings_.end()) return at->second;
    uint16_t id = nextString_++;
    model_.strings.push_back({id, StoredText(text)});
    strings_[text] = id;
    return id;
}

uint16_t SetupEdit::Directory(const std::string& path) {
    auto at = directories_.find(Lower(path));
    if (at != directories_.end()) return at->second;
    uint16_t installDir = model_.strings.empty() ? Intern("%InstallDir%") : model_.strings[0].id;
    uint16_t id = nextDirectory_++;
    model_.directories.push_back(
        {id, PathStringIds(path, installDir, [this](const std::string& text) { return Intern(text); })});
    directories_[Lower(path)] = id;
    return id;
}

void SetupEdit::AddCopyFile(const std::string& directory, const std::string& name, uint16_t fileId, uint32_t flags) {
    SetupModel::CopyFile c;
    c.fileId = fileId;
    c.directoryId = Directory(directory);
    c.word = fileId;
    c.flags = flags;
    c.stored = StoredText(name);
    model_.copyFiles.push_back(c);
    changed_ = true;
}

namespace {

template <typename Row>
bool Drop(std::vector<Row>* rows, const std::vector<bool>& marked) {
    size_t kept = 0;
    for (size_t i = 0; i < rows->size(); ++i)
        if (i >= marked.size() || !marked[i]) (*rows)[kept++] = (*rows)[i];
    bool dropped = kept != rows->size();
    rows->resize(kept);
    return dropped;
}

}  // namespace

void SetupEdit::Remove(const std::vector<bool>& copyFiles, const std::vector<bool>& shortcuts) {
    changed_ |= Drop(&model_.copyFiles, copyFiles);
    changed_ |= Drop(&model_.shortcuts, shortcuts);
}

}  // namespace mirad
