#include "documents/inf_setup.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "platform/ascii.h"
#include "setup/edit.h"

namespace mirad {

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

bool StartsNoCase(const std::string& s, const char* prefix) {
    size_t n = std::char_traits<char>::length(prefix);
    return s.size() >= n && SameTextNoCase(s.c_str(), prefix, n);
}

std::string Message(const InfOptions& o, uint32_t line, const std::string& what) {
    return o.name + ":" + std::to_string(line) + ": " + what;
}

// %CEn% alone: n, else 0.
int Macro(const std::string& path) {
    if (path.size() < 6 || !StartsNoCase(path, "%CE") || path.back() != '%') return 0;
    int n = 0;
    for (size_t i = 3; i + 1 < path.size(); ++i) {
        if (path[i] < '0' || path[i] > '9' || n > 1000) return 0;
        n = n * 10 + (path[i] - '0');
    }
    return n;
}

class Builder {
public:
    Builder(const CeInf& inf, const InfOptions& o, SetupModel* m, InfReport* r) : inf_(inf), o_(o), m_(*m), r_(r) {}

    bool Build(std::vector<InfStoredFile>* files);

private:
    uint16_t Intern(const std::string& text) {
        auto at = strings_.find(text);
        if (at != strings_.end()) return at->second;
        uint16_t id = static_cast<uint16_t>(m_.strings.size() + 1);
        m_.strings.push_back({id, StoredText(text)});
        strings_[text] = id;
        return id;
    }

    std::vector<uint16_t> PathIds(const std::string& path) {
        return PathStringIds(path, 1, [this](const std::string& text) { return Intern(text); });
    }

    uint16_t Directory(const std::string& path, uint16_t wanted = 0) {
        auto at = directories_.find(Lower(path));
        if (at != directories_.end() && !wanted) return at->second;
        uint16_t id = wanted ? wanted : NextDirectoryId();
        m_.directories.push_back({id, PathIds(path)});
        usedIds_[id] = true;
        if (at == directories_.end()) directories_[Lower(path)] = id;
        return id;
    }

    uint16_t NextDirectoryId() {
        while (usedIds_.count(nextId_)) ++nextId_;
        return nextId_++;
    }

    // The copy lists as ~Cab~.INF names them, Dir_1 ... Dir_n: their
    // numbers become the directories' ids, so the script written again
    // numbers them the same.
    bool NumberedLists(std::vector<uint16_t>* ids) const {
        for (const InfCopyList& l : inf_.copyLists) {
            if (!StartsNoCase(l.name, "Dir_") || l.name.size() < 5 || l.name.size() > 9) return false;
            char* end = nullptr;
            long n = std::strtol(l.name.c_str() + 4, &end, 10);
            if (*end || n < 1 || n > 60000) return false;
            for (uint16_t seen : *ids)
                if (seen == n) return false;
            ids->push_back(static_cast<uint16_t>(n));
        }
        return true;
    }

    const CeInf& inf_;
    const InfOptions& o_;
    SetupModel& m_;
    InfReport* r_;
    std::map<std::string, uint16_t> strings_;      // text -> id (string 1 apart)
    std::map<std::string, uint16_t> directories_;  // lower-case path -> id
    std::map<uint16_t, bool> usedIds_;
    uint16_t nextId_ = 1;
};

bool Builder::Build(std::vector<InfStoredFile>* files) {
    m_ = SetupModel();
    m_.processor = inf_.processor;
    m_.minVersionMajor = inf_.minVersionMajor;
    m_.minVersionMinor = inf_.minVersionMinor;
    m_.maxVersionMajor = inf_.maxVersionMajor;
    m_.maxVersionMinor = inf_.maxVersionMinor;
    m_.minBuild = inf_.minBuild;
    m_.maxBuild = inf_.maxBuild;
    m_.appName = StoredText(inf_.appName);
    m_.provider = StoredText(inf_.provider);
    // The device compares platform names in capitals.
    for (const std::string& u : inf_.unsupported) m_.unsupported += StoredText(Upper(u));
    if (!m_.unsupported.empty()) m_.unsupported += '\0';
    m_.strings.push_back({1, StoredText(inf_.installDir)});

    // Directories of the copy lists, then the files, numbered in order.
    std::vector<uint16_t> numbered;
    bool keepNumbers = NumberedLists(&numbered);
    std::vector<uint16_t> listDirs;
    if (keepNumbers) {
        uint16_t top = 0;
        for (uint16_t n : numbered) top = n > top ? n : top;
        for (uint16_t n : numbered) usedIds_[n] = true;
        // Numbers no list has stand for directories without files; they
        // keep the install directory so that nothing new appears.
        for (uint16_t n = 1; n <= top; ++n) {
            size_t list = 0;
            while (list < numbered.size() && numbered[list] != n) ++list;
            if (list < numbered.size()) {
                Directory(inf_.copyLists[list].destination, n);
            } else {
                m_.directories.push_back({n, {1, 0}});
                usedIds_[n] = true;
            }
        }
        listDirs = numbered;
    } else {
        for (const InfCopyList& l : inf_.copyLists) listDirs.push_back(Directory(l.destination));
    }
    files->clear();
    // Copy files by full destination path (lower case) and by name, for
    // shortcut targets.
    std::map<std::string, uint16_t> byPath, byName;
    // The wizard numbers files in list order. ~Cab~.INF lists them by
    // directory but writes [SourceDisksFiles] in the setup file's order, so
    // its files are numbered in that order (files of one source in list
    // order).
    struct Copy {
        size_t list;
        const InfCopyFile* file;
    };
    std::vector<Copy> copies;
    for (size_t i = 0; i < inf_.copyLists.size(); ++i)
        for (const InfCopyFile& f : inf_.copyLists[i].files) copies.push_back({i, &f});
    if (keepNumbers)
        std::stable_sort(copies.begin(), copies.end(),
                         [](const Copy& a, const Copy& b) { return a.file->sourceEntry < b.file->sourceEntry; });
    for (const Copy& copy : copies) {
        const InfCopyList& l = inf_.copyLists[copy.list];
        const InfCopyFile& f = *copy.file;
        if (files->size() >= kMaxInstalledFiles)
            return r_->error = Message(o_, f.line, "more than 998 files to install: stored names number them in three digits"), false;
        uint16_t id = static_cast<uint16_t>(files->size() + 1);
        SetupModel::CopyFile c;
        c.fileId = id;
        c.directoryId = listDirs[copy.list];
        c.word = id;
        c.flags = f.flags;
        c.stored = StoredText(f.dest);
        m_.copyFiles.push_back(c);
        files->push_back({id, &inf_.sources[f.sourceEntry]});
        byPath.emplace(Lower(l.destination + "\\" + f.dest), id);
        byName.emplace(Lower(f.dest), id);
    }

    // Registry keys in order of first use, each value under its key.
    std::map<std::pair<uint16_t, std::string>, uint16_t> hives;
    for (const InfRegEntry& e : inf_.registry) {
        auto key = std::make_pair(e.root, Lower(e.key));
        auto at = hives.find(key);
        uint16_t hive;
        if (at == hives.end()) {
            hive = static_cast<uint16_t>(m_.regHives.size() + 1);
            m_.regHives.push_back({hive, e.root, 0, PathIds(e.key)});
            hives[key] = hive;
        } else {
            hive = at->second;
        }
        SetupModel::RegValue v;
        v.first = static_cast<uint16_t>(m_.regValues.size() + 1);
        v.hiveId = hive;
        // The wizard marks data that name the install directory.
        v.third = WizardRegValueMark(e.data);
        v.typeFlags = e.typeFlags;
        v.payload = StoredText(e.name) + e.data;
        m_.regValues.push_back(v);
    }

    for (const InfShortcut& s : inf_.shortcuts) {
        SetupModel::Shortcut sc;
        sc.id = static_cast<uint16_t>(m_.shortcuts.size() + 1);
        if (int n = Macro(s.destination)) {
            sc.baseMacro = static_cast<uint16_t>(n);
        } else if (!(StartsNoCase(s.destination, "%InstallDir%") && s.destination.size() == 12)) {
            sc.baseDirectoryId = Directory(s.destination);
        }
        if (s.folder) {
            sc.targetIsFile = 0;
            if (!(StartsNoCase(s.target, "%InstallDir%") && s.target.size() == 12))
                sc.targetId = Directory(s.target);
        } else {
            sc.targetIsFile = 1;
            auto& index = s.target.find('\\') != std::string::npos ? byPath : byName;
            auto at = index.find(Lower(s.target));
            if (at == index.end())
                return r_->error = Message(o_, s.line, "the shortcut's target \"" + s.target + "\" is no file a copy list installs"), false;
            sc.targetId = at->second;
        }
        std::string name = s.name;
        if (name.size() < 4 || Lower(name.substr(name.size() - 4)) != ".lnk") name += ".lnk";
        sc.nameStringId = Intern(name);
        m_.shortcuts.push_back(sc);
    }
    if (m_.strings.size() > 65535 || m_.directories.size() > 65535 || m_.regHives.size() > 65535)
        return r_->error = o_.name + ": more than 65535 strings, directories or registry keys", false;
    return true;
}

}  // namespace

bool SetupModelFromInf(const CeInf& inf, const InfOptions& options, SetupModel* model,
                       std::vector<InfStoredFile>* files, InfReport* report) {
    Builder b(inf, options, model, report);
    return b.Build(files);
}

}  // namespace mirad
