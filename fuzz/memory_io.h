// A file system held in memory, plugged into the I/O seam. The fuzz target
// and the reader's fault and mutation tests use it: cabinets are opened and
// extracted without touching the disk, a read can be made to fail after N
// calls and a write to stop short at byte K, and the number of files and
// directories still open shows whether every handle was closed. Directories
// exist wherever they are asked for, except the paths listed as links.
// Nothing else is a link, every file is writable, and an update's lock is
// one per path within this system; there is no settings file.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/io.h"

namespace memio {

// What the seam has been asked to do with files opened for reading, for
// tests that guard linear reading.
struct Counts {
    uint64_t reads = 0, seeks = 0, bytesRead = 0;
    Counts operator-(const Counts& o) const { return {reads - o.reads, seeks - o.seeks, bytesRead - o.bytesRead}; }
};

struct MemoryFs {
    std::map<std::string, std::vector<uint8_t>> files;
    Counts counts;
    long readsLeft = -1;               // >= 0: reads fail once this many have been made
    uint64_t writeLimit = UINT64_MAX;  // no file grows beyond this many bytes
    int openCount = 0;                 // files, directories and locks not yet let go
    std::set<std::string> locked;
    std::set<std::string> links;       // directory paths that are links: never entered
    mirad::IoSystem io{};
};

struct Dir {
    std::string path;
};

// The key of `name` inside `at`.
inline std::string Key(mirad::IoDir* at, const char* name) {
    if (!at) return name;
    const std::string& dir = reinterpret_cast<Dir*>(at)->path;
    return dir == "." ? std::string(name) : dir + "/" + name;
}

struct Handle {
    std::vector<uint8_t>* data;
    uint64_t pos;
    bool reading;
};

inline MemoryFs& Fs(void* context) { return *static_cast<MemoryFs*>(context); }
inline Handle& H(mirad::IoFile* f) { return *reinterpret_cast<Handle*>(f); }

inline mirad::IoFile* Open(void* context, mirad::IoDir* at, const char* name, mirad::IoMode mode) {
    MemoryFs& fs = Fs(context);
    if (!name) return nullptr;
    const std::string path = Key(at, name);
    auto it = fs.files.find(path);
    std::vector<uint8_t>* data = nullptr;
    switch (mode) {
        case mirad::IoMode::Read:
            if (it == fs.files.end()) return nullptr;
            data = &it->second;
            break;
        case mirad::IoMode::Write:
            data = &fs.files[path];
            data->clear();
            break;
        case mirad::IoMode::CreateNew:
            if (it != fs.files.end()) return nullptr;
            data = &fs.files[path];
            break;
    }
    ++fs.openCount;
    return reinterpret_cast<mirad::IoFile*>(new Handle{data, 0, mode == mirad::IoMode::Read});
}

inline size_t Read(void* context, mirad::IoFile* f, void* buffer, size_t count) {
    MemoryFs& fs = Fs(context);
    if (fs.readsLeft == 0) return 0;
    if (fs.readsLeft > 0) --fs.readsLeft;
    Handle& h = H(f);
    if (h.reading) ++fs.counts.reads;
    uint64_t size = h.data->size();
    if (h.pos >= size) return 0;
    size_t n = count;
    if (n > size - h.pos) n = static_cast<size_t>(size - h.pos);
    if (n) std::memcpy(buffer, h.data->data() + h.pos, n);
    h.pos += n;
    if (h.reading) fs.counts.bytesRead += n;
    return n;
}

inline size_t Write(void* context, mirad::IoFile* f, const void* buffer, size_t count) {
    MemoryFs& fs = Fs(context);
    Handle& h = H(f);
    size_t n = count;
    if (h.pos >= fs.writeLimit) n = 0;
    else if (n > fs.writeLimit - h.pos) n = static_cast<size_t>(fs.writeLimit - h.pos);
    if (h.pos + n > h.data->size()) h.data->resize(static_cast<size_t>(h.pos + n));
    if (n) std::memcpy(h.data->data() + h.pos, buffer, n);
    h.pos += n;
    return n;
}

inline bool Seek(void* context, mirad::IoFile* f, uint64_t offset) {
    if (H(f).reading) ++Fs(context).counts.seeks;
    H(f).pos = offset;
    return true;
}


inline bool Size(void*, mirad::IoFile* f, uint64_t* size) {
    *size = H(f).data->size();
    return true;
}

inline bool Close(void* context, mirad::IoFile* f) {
    --Fs(context).openCount;
    delete &H(f);
    return true;
}

inline bool Sync(void*, mirad::IoFile*) { return true; }

inline bool Rename(void* context, mirad::IoDir* at, const char* fromName, const char* toName, bool replace) {
    MemoryFs& fs = Fs(context);
    const std::string from = Key(at, fromName), to = Key(at, toName);
    auto it = fs.files.find(from);
    if (it == fs.files.end() || (!replace && fs.files.count(to))) return false;
    std::vector<uint8_t> data = std::move(it->second);
    fs.files.erase(it);
    fs.files[to] = std::move(data);
    return true;
}

inline bool Remove(void* context, mirad::IoDir* at, const char* name) {
    return Fs(context).files.erase(Key(at, name)) == 1;
}

inline mirad::IoDir* OpenDir(void* context, mirad::IoDir* at, const char* name, bool, mirad::IoDirStatus* status) {
    MemoryFs& fs = Fs(context);
    *status = mirad::IoDirStatus::Failed;
    if (!name || !name[0] || (at && std::strchr(name, '/'))) return nullptr;  // one at a time
    std::string path = Key(at, name);
    if (fs.links.count(path)) {
        *status = mirad::IoDirStatus::Link;
        return nullptr;
    }
    ++fs.openCount;
    *status = mirad::IoDirStatus::Opened;
    return reinterpret_cast<mirad::IoDir*>(new Dir{path});
}

inline void CloseDir(void* context, mirad::IoDir* dir) {
    --Fs(context).openCount;
    delete reinterpret_cast<Dir*>(dir);
}

inline bool Stamp(void*, mirad::IoFile*, const mirad::IoStamp&) { return true; }

// A path without its trailing separators.
inline std::string Trimmed(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// A file as stored; a directory wherever some file lies below the path.
inline bool Find(void* context, const char* name, mirad::IoFound* found) {
    MemoryFs& fs = Fs(context);
    *found = mirad::IoFound();
    const std::string path = Trimmed(name);
    auto it = fs.files.find(path);
    if (it != fs.files.end()) {
        found->size = it->second.size();
        found->attributes = 0x20;
        return true;
    }
    it = fs.files.lower_bound(path + "/");
    if (it == fs.files.end() || it->first.compare(0, path.size() + 1, path + "/") != 0) return false;
    found->attributes = 0x10;
    return true;
}

inline bool Taken(void* context, const char* name) {
    mirad::IoFound found;
    return Find(context, name, &found);
}

inline bool List(void* context, const char* name, std::vector<std::string>* names) {
    MemoryFs& fs = Fs(context);
    const std::string dir = Trimmed(name);
    const std::string prefix = dir == "." ? std::string() : dir + "/";
    names->clear();
    for (const auto& file : fs.files) {
        if (file.first.compare(0, prefix.size(), prefix) != 0) continue;
        std::string below = file.first.substr(prefix.size());
        below = below.substr(0, below.find('/'));
        if (std::find(names->begin(), names->end(), below) == names->end()) names->push_back(below);
    }
    return true;
}

// Directories are not stored, so there is none to remove.
inline bool RemoveDir(void*, const char*) { return false; }

// A path names itself: no links are kept.
inline bool Resolve(void* context, const char* name, std::string* resolved) {
    if (!Taken(context, name)) return false;
    *resolved = Trimmed(name);
    return true;
}

inline bool Describe(void* context, const char* name, mirad::IoTarget* target) {
    mirad::IoFound found;
    if (!Find(context, name, &found)) return false;
    *target = mirad::IoTarget();
    target->identity.index = std::hash<std::string>()(Trimmed(name));
    target->regular = (found.attributes & 0x10) == 0;
    target->mode = 0644;
    return true;
}

inline bool Adopt(void*, const char*, const mirad::IoTarget&) { return true; }

struct Lock {
    std::string path;
};

inline mirad::IoLock* TakeLock(void* context, const char* name, mirad::IoIdentity* identity,
                               mirad::IoLockStatus* status) {
    MemoryFs& fs = Fs(context);
    mirad::IoTarget target;
    if (!Describe(context, name, &target)) {
        *status = mirad::IoLockStatus::Failed;
        return nullptr;
    }
    if (!fs.locked.insert(Trimmed(name)).second) {
        *status = mirad::IoLockStatus::Busy;
        return nullptr;
    }
    ++fs.openCount;
    *identity = target.identity;
    *status = mirad::IoLockStatus::Locked;
    return reinterpret_cast<mirad::IoLock*>(new Lock{Trimmed(name)});
}

inline void Unlock(void* context, mirad::IoLock* lock) {
    Lock* held = reinterpret_cast<Lock*>(lock);
    Fs(context).locked.erase(held->path);
    --Fs(context).openCount;
    delete held;
}

inline bool SyncDir(void*, const char*) { return true; }
inline bool WriteStamp(void*, const char*, uint8_t*) { return false; }
inline bool CreateEmpty(void*, const char*) { return false; }

// Installs `fs` as the I/O system for the scope's lifetime.
struct Installed {
    explicit Installed(MemoryFs& fs) {
        fs.io = mirad::IoSystem{&fs,     Open,    Read,     Write,    Seek,   Size,       Close,
                                Sync,    Rename,  Remove,   OpenDir,  CloseDir, Stamp,    Find,
                                Taken,   List,    RemoveDir, Resolve, Describe, Adopt,    TakeLock,
                                Unlock,  SyncDir, WriteStamp, CreateEmpty};
        mirad::SetIo(&fs.io);
    }
    ~Installed() { mirad::SetIo(nullptr); }
    Installed(const Installed&) = delete;
    Installed& operator=(const Installed&) = delete;
};

}  // namespace memio
