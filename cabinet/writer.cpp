// Writing cabinets: a new cabinet from files on disk, or an existing CE
// cabinet rewritten with some installed files replaced.
//
// Both paths scan and check everything first, plan the whole layout
// (layout.h), and only then create a file, which they write once, front to
// back, through one buffer of whole blocks (about 1 MiB). Where we differ
// from the classic writer:
// - a folder's data is one stream cut into blocks of 32768 bytes, only its
//   last block shorter, as the format's readers expect (layout.h); the
//   classic writer started a short block at every file, which several
//   readers refuse;
// - every block carries its checksum (some readers refuse a csum of 0);
// - every source must deliver exactly the bytes the scan promised (15 when it
//   vanished, shrank, grew or cannot be read; 16 when the output cannot be
//   written), and a cabinet that could not be finished is removed;
// - an update writes beside the cabinet under a fresh name and replaces it by
//   one rename, so the cabinet is either the old one or the new one;
// - the format's widths are checked before anything is created (24);
// - sources are removed ("move") only once the finished cabinet is in place.
#include "cabinet/writer.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cabinet/layout.h"
#include "cabinet/reader.h"
#include "interface/exports.h"
#include "platform/platform.h"
#include "support/alloc.h"
#include "support/bytes.h"
#include "support/io.h"
#include "support/log.h"
#include "support/paths.h"

namespace mirad {
namespace {

// Attribute bits a cabinet keeps: read-only, hidden, system, archive.
constexpr uint32_t kKeptAttributes = 0x01 | 0x02 | 0x04 | 0x20;
constexpr uint32_t kDirectoryAttribute = 0x10;
// Blocks gathered per write: fewer, larger writes, since every 8-byte block
// header would otherwise leave each write off the page boundaries.
constexpr size_t kBufferedBlocks = 32;

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

struct ListName {
    const char* name;  // points into addList
    bool directory;    // ends in "/" or "\"
    bool packed;       // a file that went into the cabinet; only such files are ever removed
};

std::vector<ListName> ParseList(const char* addList) {
    std::vector<ListName> list;
    for (const char* p = addList; p && *p; p += std::strlen(p) + 1) {
        size_t n = std::strlen(p);
        list.push_back(ListName{p, IsSeparator(p[n - 1]), false});
    }
    return list;
}

// Plain concatenation: a prefix naming a directory carries its own separator.
std::string Join(const char* prefix, const char* name) {
    std::string s = prefix ? prefix : "";
    s += name;
    return s;
}

// Stored names always separate with "\", whatever the list used.
std::string StoredName(const char* subPath, const char* name) {
    std::string s = Join(subPath, name);
    std::replace(s.begin(), s.end(), '/', '\\');
    return s;
}

bool FitsPath(const std::string& s) { return s.size() < kPathSize; }

struct PackEntry {
    std::string storedName;
    const char* listName = nullptr;  // read from sourcePath + listName; null for kept data
    uint32_t cbFile = 0;
    uint16_t date = 0, time = 0, attribs = 0;
    uint32_t keptEntry = 0;  // for kept data: the entry of the old cabinet that holds it
};

// ---- Output ------------------------------------------------------------------

struct CabOutput {
    IoFile* file = nullptr;
    std::vector<uint8_t> buffer;
    size_t used = 0;
    uint64_t flushed = 0;
    bool writeFailed = false;
    uint32_t folderLeft = 0;  // data bytes of the current folder not yet in a block
    uint32_t fileLeft = 0;    // bytes of the current file still to come
    uint32_t blockLeft = 0;   // bytes of the current block still to come
    size_t blockAt = 0;       // where the current block's header lies in the buffer
    uint32_t blockSize = 0;   // its data bytes
};

uint64_t Position(const CabOutput& o) { return o.flushed + o.used; }

bool Flush(CabOutput& o) {
    if (o.writeFailed) return false;
    if (o.used == 0) return true;
    if (!IoWriteAll(o.file, o.buffer.data(), o.used)) {
        o.writeFailed = true;
        return false;
    }
    o.flushed += o.used;
    o.used = 0;
    return true;
}

bool Put(CabOutput& o, const void* data, size_t count) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (count > 0) {
        if (o.used == o.buffer.size() && !Flush(o)) return false;
        size_t k = std::min(count, o.buffer.size() - o.used);
        std::memcpy(o.buffer.data() + o.used, p, k);
        o.used += k;
        p += k;
        count -= k;
    }
    return !o.writeFailed;
}

// A folder's blocks run on across its files; the previous folder's last
// block was finished with the last byte of its last file.
void BeginFolder(CabOutput& o, uint32_t dataBytes) {
    o.folderLeft = dataBytes;
    o.blockLeft = 0;
}

void BeginFile(CabOutput& o, uint32_t size) { o.fileLeft = size; }

// Emits the next block header once the previous block is full: cbData =
// cbUncomp = 32768, or the rest of the folder, csum filled in by
// FinishBlockIfDone. A block always goes whole into the buffer, so its
// checksum is taken where it lies.
bool StartBlockIfNeeded(CabOutput& o) {
    if (o.blockLeft != 0 || o.fileLeft == 0) return true;
    uint32_t n = std::min(o.folderLeft, kBlockData);
    if (n == 0) return false;  // more bytes than the folder was planned with
    o.folderLeft -= n;
    if (o.buffer.size() - o.used < cfdata::Size + n && !Flush(o)) return false;
    uint8_t header[cfdata::Size] = {};
    put_le16(header + cfdata::CbData, static_cast<uint16_t>(n));
    put_le16(header + cfdata::CbUncomp, static_cast<uint16_t>(n));
    o.blockLeft = n;
    o.blockAt = o.used;
    o.blockSize = n;
    return Put(o, header, sizeof header);
}

void FinishBlockIfDone(CabOutput& o) {
    if (o.blockLeft != 0 || o.blockSize == 0) return;
    uint8_t* block = o.buffer.data() + o.blockAt;
    put_le32(block + cfdata::Csum, BlockChecksum(block + cfdata::Size, o.blockSize));
    o.blockSize = 0;
}

// Kept data arrives in chunks of the reader's choosing. False when the
// output fails or more bytes come than the file was planned with.
bool PutFileData(CabOutput& o, const uint8_t* data, size_t count) {
    while (count > 0) {
        if (o.fileLeft == 0) return false;
        if (!StartBlockIfNeeded(o)) return false;
        size_t k = std::min<size_t>(std::min<size_t>(count, o.blockLeft), o.fileLeft);
        if (!Put(o, data, k)) return false;
        o.blockLeft -= static_cast<uint32_t>(k);
        o.fileLeft -= static_cast<uint32_t>(k);
        FinishBlockIfDone(o);
        data += k;
        count -= k;
    }
    return true;
}

bool KeptDataSink(void* user, const uint8_t* data, size_t count) {
    return PutFileData(*static_cast<CabOutput*>(user), data, count);
}

// Reads the planned bytes of a source straight into the output buffer.
// 15 when the source ends early, cannot be read or holds more than planned;
// 16 when the output fails.
int CopySource(CabOutput& o, IoFile* source) {
    while (o.fileLeft > 0) {
        if (!StartBlockIfNeeded(o)) return MIRAD_ECREATE;
        if (o.used == o.buffer.size() && !Flush(o)) return MIRAD_ECREATE;
        size_t k = std::min<size_t>(std::min<size_t>(o.buffer.size() - o.used, o.blockLeft), o.fileLeft);
        if (!IoReadExact(source, o.buffer.data() + o.used, k)) return MIRAD_EOPEN;
        o.used += k;
        o.blockLeft -= static_cast<uint32_t>(k);
        o.fileLeft -= static_cast<uint32_t>(k);
        FinishBlockIfDone(o);
    }
    // A source that grew since the scan would be stored cut short.
    uint8_t extra;
    if (IoRead(source, &extra, 1) != 0) return MIRAD_EOPEN;
    return MIRAD_OK;
}

int CopyFromDisk(CabOutput& o, const PackEntry& entry, const char* sourcePath) {
    std::string path = Join(sourcePath, entry.listName);
    IoFile* source = IoOpen(path.c_str(), IoMode::Read);
    LogMessage("Opening '%s'+'%s'", sourcePath ? sourcePath : "", entry.listName);
    if (!source) return MIRAD_EOPEN;
    IoCloser closer(source);
    uint64_t length = 0;
    if (!IoSize(source, &length) || length != entry.cbFile) return MIRAD_EOPEN;
    return CopySource(o, source);
}

int CopyKept(CabOutput& o, ArchiveContext* context, const PackEntry& entry) {
    int rc = StreamStoredFile(context, entry.keptEntry, KeptDataSink, &o, kBlockData);
    if (o.writeFailed) return MIRAD_ECREATE;
    // The sink refuses only surplus bytes once writing is fine: bad old data.
    if (rc == MIRAD_ECREATE) return MIRAD_BAD_DATA;
    if (rc != MIRAD_OK) return rc;
    return o.fileLeft == 0 ? MIRAD_OK : MIRAD_BAD_DATA;
}

// Writes the planned cabinet to `file`: 0, 12 (kept data unreadable),
// 15 (a source) or 16 (the output). The caller closes the file.
int WriteCabinet(IoFile* file, ArchiveContext* context, const std::vector<PackEntry>& entries,
                 const CabinetPlan& plan, const char* sourcePath) {
    CabOutput o;
    o.file = file;
    // Whole blocks, header and data, gathered into writes of about 1 MiB.
    o.buffer.resize(kBufferedBlocks * (cfdata::Size + kBlockData));

    uint8_t header[cfhead::Size];
    EncodeHeader(plan, static_cast<uint16_t>(entries.size()), header);
    Put(o, header, sizeof header);

    LogMessage("Writing %d folders", static_cast<int>(plan.folders.size()));
    for (size_t j = 0; j < plan.folders.size(); ++j) {
        uint8_t record[cffold::Size] = {};
        put_le32(record + cffold::CoffCabStart, plan.folders[j].coffCabStart);
        put_le16(record + cffold::CCFData, static_cast<uint16_t>(plan.folders[j].cCFData));
        Put(o, record, sizeof record);
        LogMessage("Folder#%d has %d data blocks @ %d", static_cast<int>(j + 1),
                   static_cast<int>(plan.folders[j].cCFData), static_cast<int>(plan.folders[j].coffCabStart));
    }
    if (Position(o) != plan.coffFiles) {
        LogMessage("Offset mismatch after CFFOLDER! Expected %d bytes, having %d bytes",
                   static_cast<int>(plan.coffFiles), static_cast<int>(Position(o)));
    }

    LogMessage("Writing %d files", static_cast<int>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const PackEntry& e = entries[i];
        uint8_t record[cffile::Size];
        put_le32(record + cffile::CbFile, e.cbFile);
        put_le32(record + cffile::UoffFolderStart, plan.uoffFolderStart[i]);
        put_le16(record + cffile::IFolder, plan.iFolder[i]);
        put_le16(record + cffile::Date, e.date);
        put_le16(record + cffile::Time, e.time);
        put_le16(record + cffile::Attribs, e.attribs);
        Put(o, record, sizeof record);
        Put(o, e.storedName.c_str(), e.storedName.size() + 1);
    }
    if (Position(o) != plan.dataStart) {
        LogMessage("Offset mismatch after CFFILE! Expected %d bytes, having %d bytes",
                   static_cast<int>(plan.dataStart), static_cast<int>(Position(o)));
    }

    int rc = o.writeFailed ? MIRAD_ECREATE : MIRAD_OK;
    size_t folder = plan.folders.size();
    for (size_t i = 0; i < entries.size() && rc == MIRAD_OK; ++i) {
        if (plan.iFolder[i] != folder) {
            folder = plan.iFolder[i];
            BeginFolder(o, plan.folders[folder].cbData);
        }
        BeginFile(o, entries[i].cbFile);
        rc = entries[i].listName ? CopyFromDisk(o, entries[i], sourcePath) : CopyKept(o, context, entries[i]);
    }
    if (rc == MIRAD_OK && !Flush(o)) rc = MIRAD_ECREATE;
    if (Position(o) != plan.cbCabinet || rc != MIRAD_OK) {
        LogMessage("Filesize mismatch! Expected %d bytes, having %d bytes", static_cast<int>(plan.cbCabinet),
                   static_cast<int>(o.flushed));
    }
    return rc;
}

// Closes the file and removes it unless the caller keeps it, on every way out
// (a failed write, an exhausted heap).
struct OutputGuard {
    IoFile* file = nullptr;
    std::string path;
    bool keep = false;
    OutputGuard() = default;
    OutputGuard(const OutputGuard&) = delete;
    OutputGuard& operator=(const OutputGuard&) = delete;
    ~OutputGuard() {
        if (file) IoClose(file);
        if (!keep && !path.empty()) platform::DeleteFile(path.c_str());
    }
    bool Close() {
        IoFile* f = file;
        file = nullptr;
        return f ? IoClose(f) : true;
    }
};

// Repeats walks over the list until one removes nothing: a directory listed
// before its contents goes in a later walk, one level per walk. Files the
// cabinet does not hold are never touched, nor the cabinet itself.
void RemoveSources(const std::vector<ListName>& list, const char* sourcePath, const char* cabinetPath) {
    bool removed = true;
    while (removed) {
        removed = false;
        for (const ListName& item : list) {
            if (!item.directory && !item.packed) continue;
            std::string path = Join(sourcePath, item.name);
            if (item.directory) {
                path.pop_back();
                if (platform::RemoveDirectory(path.c_str())) removed = true;
            } else if (path != cabinetPath && platform::DeleteFile(path.c_str())) {
                removed = true;
            }
        }
    }
}

int RefuseTooLarge(const std::string& path) {
    LogMessage("Cannot pack %s: a cabinet holds no file of 4 GiB or more", path.c_str());
    return MIRAD_NOT_SUPPORTED;
}

// A refusal names the file with which the cabinet would pass the format's
// limits: its source, or for kept data its stored name.
int Plan(const std::vector<PackEntry>& entries, const char* sourcePath, CabinetPlan* plan) {
    std::vector<LayoutFile> sizes(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        sizes[i].cbFile = entries[i].cbFile;
        sizes[i].nameLength = static_cast<uint32_t>(entries[i].storedName.size());
    }
    size_t failedAt = 0;
    int rc = PlanLayout(sizes.data(), sizes.size(), plan, &failedAt);
    if (rc != MIRAD_OK) {
        const PackEntry& e = entries[failedAt];
        std::string name = e.listName ? Join(sourcePath, e.listName) : e.storedName;
        LogMessage("Cannot pack %s: the cabinet would pass the format's limits (65535 files, 65535 blocks in a "
                   "folder, under 4 GiB)",
                   name.c_str());
    }
    return rc;
}

// A name beside the cabinet that nobody uses yet, created exclusively so a
// concurrent writer can never share it.
IoFile* CreateTemporary(const char* cabinetPath, std::string* path) {
    std::string dir(cabinetPath, AfterLastSeparator(cabinetPath));
    uint32_t seed = static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                    static_cast<uint32_t>(reinterpret_cast<uintptr_t>(path));
    for (int attempt = 0; attempt < 100; ++attempt) {
        seed = seed * 1664525u + 1013904223u;
        char name[32];
        std::snprintf(name, sizeof name, "~mirad%08x.tmp", static_cast<unsigned>(seed));
        *path = dir + name;
        if (!FitsPath(*path)) return nullptr;
        if (IoFile* f = IoOpen(path->c_str(), IoMode::CreateNew)) return f;
    }
    return nullptr;
}

struct ContextReleaser {
    ArchiveContext* context;
    ~ContextReleaser() { ReleaseContext(context); }
};

}  // namespace

int32_t PackFilesImpl(const char* cabinetPath, const char* subPath, const char* sourcePath, const char* addList,
                      int32_t flags) {
    auto* context = static_cast<ArchiveContext*>(AllocateZeroed(sizeof(ArchiveContext)));
    if (!context) return MIRAD_NO_MEMORY;
    ContextReleaser releaser{context};
    // A cut path could name another file.
    if (!CopyString(context->archivePath, sizeof context->archivePath, cabinetPath)) return MIRAD_NOT_SUPPORTED;
    context->cabinetStream = IoOpen(context->archivePath, IoMode::Read);
    if (!context->cabinetStream) return CreateCabinet(context, subPath, sourcePath, addList, flags);
    int rc = ReadCabinet(context);
    if (rc != MIRAD_OK) return rc;
    return UpdateCabinet(context, subPath, sourcePath, addList, flags);
}

int CreateCabinet(ArchiveContext* context, const char* subPath, const char* sourcePath, const char* addList,
                  int32_t flags) {
    std::vector<ListName> list = ParseList(addList);
    // Every path is checked before the scan logs or creates anything.
    for (const ListName& item : list) {
        if (!FitsPath(Join(sourcePath, item.name))) return MIRAD_NOT_SUPPORTED;
        if (!item.directory && !FitsPath(StoredName(subPath, item.name))) return MIRAD_NOT_SUPPORTED;
    }

    std::vector<PackEntry> entries;
    for (ListName& item : list) {
        if (item.directory) continue;
        std::string source = Join(sourcePath, item.name);
        platform::FindData found;
        if (!platform::FindFile(source.c_str(), &found)) continue;
        // A directory named without its trailing separator has no bytes to
        // store. A file of 4 GiB or more cannot be stored at all: the whole
        // selection is refused rather than packed without it.
        if ((found.attributes & kDirectoryAttribute) != 0) continue;
        if (found.size > UINT32_MAX) return RefuseTooLarge(source);
        PackEntry e;
        e.storedName = StoredName(subPath, item.name);
        e.listName = item.name;
        e.cbFile = static_cast<uint32_t>(found.size);
        e.date = found.dosDate;
        e.time = found.dosTime;
        e.attribs = static_cast<uint16_t>(found.attributes & kKeptAttributes);
        LogMessage("File %s (%d bytes)", source.c_str(), static_cast<int>(e.cbFile));
        LogMessage("  -> %s", e.storedName.c_str());
        item.packed = true;
        entries.push_back(std::move(e));
    }

    CabinetPlan plan;
    int rc = Plan(entries, sourcePath, &plan);
    if (rc != MIRAD_OK) return rc;

    // Never truncate a file that exists: PackFiles only comes here when the
    // path could not be opened for reading, which an unreadable cabinet also
    // gives.
    OutputGuard out;
    out.file = IoOpen(context->archivePath, IoMode::CreateNew);
    if (!out.file) return MIRAD_EOPEN;
    out.path = context->archivePath;

    rc = WriteCabinet(out.file, context, entries, plan, sourcePath);
    if (!out.Close() && rc == MIRAD_OK) rc = MIRAD_ECREATE;
    if (rc != MIRAD_OK) return rc;
    out.keep = true;

    if (flags & MIRAD_PACK_MOVE) RemoveSources(list, sourcePath, context->archivePath);
    return MIRAD_OK;
}

int UpdateCabinet(ArchiveContext* context, const char* subPath, const char* sourcePath, const char* addList,
                  int32_t flags) {
    std::vector<ListName> list = ParseList(addList);
    const uint16_t fileCount = context->header.cFiles;
    const uint16_t copyFileCount = context->setupCopyFiles ? context->setupHeader.copyFileCount : 0;

    // Match every file name of the list to a copy-file before anything else.
    std::vector<const char*> replacement(fileCount, nullptr);
    for (ListName& item : list) {
        if (!FitsPath(Join(sourcePath, item.name))) return MIRAD_NOT_SUPPORTED;
        if (item.directory) continue;
        std::string key = StoredName(subPath, item.name);
        if (!FitsPath(key)) return MIRAD_NOT_SUPPORTED;
        const SetupCopyFile* match = nullptr;
        for (uint16_t k = 0; k < copyFileCount && !match; ++k) {
            const SetupCopyFile& c = context->setupCopyFiles[k];
            if (key.size() != std::strlen(c.destPath)) continue;
            bool equal = true;
            for (size_t i = 0; i < key.size() && equal; ++i) {
                unsigned char a = static_cast<unsigned char>(key[i]);
                unsigned char b = static_cast<unsigned char>(c.destPath[i]);
                if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
                if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
                equal = a == b;
            }
            if (equal) match = &c;
        }
        // A copy-file whose bytes no stored file carries has nothing to replace.
        if (!match || match->noStoredFile || match->entryIndex >= fileCount) return MIRAD_NOT_SUPPORTED;
        replacement[match->entryIndex] = item.name;  // a later name for the same entry wins
        item.packed = true;
    }

    // Entries keep their names, dates, times and attributes; a replaced one
    // takes the current size of its new file.
    std::vector<PackEntry> entries(fileCount);
    for (uint16_t i = 0; i < fileCount; ++i) {
        const CabFileEntry& old = context->files[i];
        PackEntry& e = entries[i];
        e.storedName = old.name;
        e.date = old.date;
        e.time = old.time;
        e.attribs = old.attribs;
        if (replacement[i]) {
            platform::FindData found;
            std::string source = Join(sourcePath, replacement[i]);
            if (!platform::FindFile(source.c_str(), &found) || (found.attributes & kDirectoryAttribute) != 0) {
                return MIRAD_EOPEN;
            }
            if (found.size > UINT32_MAX) return RefuseTooLarge(source);
            e.listName = replacement[i];
            e.cbFile = static_cast<uint32_t>(found.size);
        } else {
            e.keptEntry = i;
            e.cbFile = old.cbFile;
        }
    }

    CabinetPlan plan;
    int rc = Plan(entries, sourcePath, &plan);
    if (rc != MIRAD_OK) return rc;

    OutputGuard temp;
    temp.file = CreateTemporary(context->archivePath, &temp.path);
    if (!temp.file) return MIRAD_ECREATE;

    rc = WriteCabinet(temp.file, context, entries, plan, sourcePath);
    if (!temp.Close() && rc == MIRAD_OK) rc = MIRAD_ECREATE;
    if (rc != MIRAD_OK) return rc;

    // Windows cannot replace a file that is still open.
    if (context->cabinetStream) {
        IoClose(context->cabinetStream);
        context->cabinetStream = nullptr;
    }
    if (!platform::ReplaceFile(temp.path.c_str(), context->archivePath)) return MIRAD_ECREATE;
    temp.keep = true;  // it is the cabinet now

    if (flags & MIRAD_PACK_MOVE) RemoveSources(list, sourcePath, context->archivePath);
    return MIRAD_OK;
}

}  // namespace mirad
