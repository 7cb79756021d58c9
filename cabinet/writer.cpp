// Writing cabinets: a new cabinet from files on disk, or an existing cabinet
// rewritten with some stored files replaced.
//
// Both paths scan and check everything first, plan the whole layout
// (layout.h), and only then create a file, which they write once, front to
// back, through one buffer of whole blocks (about 1 MiB):
// - a folder's data is one stream cut into blocks of 32768 bytes, only its
//   last block shorter, as the format's readers expect (layout.h); a short
//   block at every file is refused by several readers;
// - every block carries its checksum (some readers refuse a csum of 0);
// - every source must deliver exactly the bytes the scan promised (CannotOpen
//   when it vanished, shrank, grew or cannot be read; CannotCreate when the
//   output cannot be written), and a cabinet that could not be finished is
//   removed;
// - a new cabinet and a rewrite are written beside the final name under a
//   temporary name that says whose it is (".game.cab.mirad-XXXXXX"), synced,
//   and renamed into place, so the name shows nothing or the old cabinet
//   until the new one is complete; a new cabinet never replaces a file that
//   appeared meanwhile;
// - a rewrite follows a link to the cabinet it names, keeps its mode and
//   owner, refuses a read-only cabinet, and holds an exclusive lock from
//   reading to rename, so a second update waits for the first and then reads
//   its result; temporary files a killed update left are removed under it;
// - the format's widths are checked before anything is created;
// - sources are removed ("move") only once the finished cabinet is in place.
#include "cabinet/writer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cabinet/format.h"
#include "cabinet/layout.h"
#include "platform/host.h"
#include "platform/platform.h"
#include "support/bytes.h"
#include "support/io.h"
#include "support/log.h"
#include "support/output.h"
#include "support/paths.h"

namespace mirad {
namespace {

// Attribute bits a cabinet keeps: read-only, hidden, system, archive.
constexpr uint32_t kKeptAttributes = 0x01 | 0x02 | 0x04 | 0x20;
constexpr uint32_t kDirectoryAttribute = 0x10;
// The format's flag for a stored name in UTF-8.
constexpr uint32_t kNameIsUtf8 = 0x80;
// Blocks gathered per write: fewer, larger writes, since every 8-byte block
// header would otherwise leave each write off the page boundaries.
constexpr size_t kBufferedBlocks = 32;

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
    Progress* progress = nullptr;  // of the file being copied
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

// Reads the planned bytes of a source straight into the output buffer.
// CannotOpen when the source ends early, cannot be read or holds more than
// planned; CannotCreate when the output fails.
Error CopySource(CabOutput& o, IoFile* source) {
    while (o.fileLeft > 0) {
        if (!StartBlockIfNeeded(o)) return CannotCreate("cannot write the cabinet");
        if (o.used == o.buffer.size() && !Flush(o)) return CannotCreate("cannot write the cabinet");
        size_t k = std::min<size_t>(std::min<size_t>(o.buffer.size() - o.used, o.blockLeft), o.fileLeft);
        if (!IoReadExact(source, o.buffer.data() + o.used, k)) return CannotOpen("source shorter than scanned");
        o.used += k;
        o.blockLeft -= static_cast<uint32_t>(k);
        o.fileLeft -= static_cast<uint32_t>(k);
        FinishBlockIfDone(o);
        if (!o.progress->Add(k)) return Aborted("stopped by the host");
    }
    // A source that grew since the scan would be stored cut short.
    uint8_t extra;
    if (IoRead(source, &extra, 1) != 0) return CannotOpen("source longer than scanned");
    return kOk;
}

Error CopyFromDisk(CabOutput& o, const PackEntry& entry, const char* sourcePath) {
    std::string path = JoinListPath(sourcePath, entry.listName);
    IoHandle source(IoOpen(path.c_str(), IoMode::Read));
    LogMessage("Opening '%s'+'%s'", sourcePath ? sourcePath : "", entry.listName);
    if (!source) return CannotOpen("cannot open a source");
    uint64_t length = 0;
    if (!IoSize(source.get(), &length) || length != entry.cbFile) return CannotOpen("source changed since the scan");
    return CopySource(o, source.get());
}

Error CopyKept(CabOutput& o, Cabinet* old, const PackEntry& entry) {
    if (!old) return BadData("no cabinet to keep data from");
    Error read = old->ReadFile(
        entry.keptEntry,
        [&o](const uint8_t* data, size_t count) { return PutFileData(o, data, count) && o.progress->Add(count); },
        kBlockData);
    if (o.progress->aborted()) return Aborted("stopped by the host");
    if (o.writeFailed) return CannotCreate("cannot write the cabinet");
    // The sink refuses only surplus bytes once writing is fine: bad old data.
    if (read.Is(ErrorKind::CannotCreate)) return BadData("kept file longer than planned");
    if (read) return read;
    return o.fileLeft == 0 ? kOk : BadData("kept file shorter than planned");
}

// Writes the planned cabinet to `file`: BadData (kept data unreadable),
// CannotOpen (a source) or CannotCreate (the output). The caller closes the
// file.
Error WriteCabinet(IoFile* file, Cabinet* old, const std::vector<PackEntry>& entries, const CabinetPlan& plan,
                   const char* sourcePath, const ProgressCallback& progress) {
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

    Error rc = o.writeFailed ? CannotCreate("cannot write the cabinet") : kOk;
    size_t folder = plan.folders.size();
    for (size_t i = 0; i < entries.size() && !rc; ++i) {
        if (plan.iFolder[i] != folder) {
            folder = plan.iFolder[i];
            BeginFolder(o, plan.folders[folder].cbData);
        }
        const PackEntry& e = entries[i];
        BeginFile(o, e.cbFile);
        Progress reported(progress, e.listName ? JoinListPath(sourcePath, e.listName).c_str() : e.storedName.c_str());
        o.progress = &reported;
        rc = e.listName ? CopyFromDisk(o, e, sourcePath) : CopyKept(o, old, e);
        if (!rc && !reported.Report()) rc = Aborted("stopped by the host");
        o.progress = nullptr;
    }
    if (!rc && !Flush(o)) rc = CannotCreate("cannot write the cabinet");
    if (Position(o) != plan.cbCabinet || rc) {
        LogMessage("Filesize mismatch! Expected %d bytes, having %d bytes", static_cast<int>(plan.cbCabinet),
                   static_cast<int>(o.flushed));
    }
    return rc;
}


// Repeats walks over the list until one removes nothing: a directory listed
// before its contents goes in a later walk, one level per walk. Files the
// cabinet does not hold are never touched, nor the cabinet itself.
void RemoveSources(const std::vector<ListName>& list, const char* sourcePath, const char* cabinetPath) {
    bool removed = true;
    while (removed) {
        removed = false;
        for (const ListName& item : list) {
            if (!item.directory && !item.packed) continue;
            std::string path = JoinListPath(sourcePath, item.name);
            if (item.directory) {
                path.pop_back();
                if (platform::RemoveDirectory(path.c_str())) removed = true;
            } else if (path != cabinetPath && platform::DeleteFile(path.c_str())) {
                removed = true;
            }
        }
    }
}

Error RefuseTooLarge(const std::string& path) {
    LogMessage("Cannot pack %s: a cabinet holds no file of 4 GiB or more", path.c_str());
    return NotSupported("a file of 4 GiB or more");
}

// A refusal names the file with which the cabinet would pass the format's
// limits: its source, or for kept data its stored name.
Error Plan(const std::vector<PackEntry>& entries, const char* sourcePath, CabinetPlan* plan) {
    std::vector<LayoutFile> sizes(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        sizes[i].cbFile = entries[i].cbFile;
        sizes[i].nameLength = static_cast<uint32_t>(entries[i].storedName.size());
    }
    size_t failedAt = 0;
    Error rc = PlanLayout(sizes.data(), sizes.size(), plan, &failedAt);
    if (rc) {
        const PackEntry& e = entries[failedAt];
        std::string name = e.listName ? JoinListPath(sourcePath, e.listName) : e.storedName;
        LogMessage("Cannot pack %s: the cabinet would pass the format's limits (65535 files, 65535 blocks in a "
                   "folder, under 4 GiB)",
                   name.c_str());
    }
    return rc;
}

// Temporary files of this cabinet left by an update or pack that was killed.
// Only called under the cabinet's lock, so none of them is being written.
void RemoveStaleTemporaries(const std::string& cabinetPath) {
    size_t cut = AfterLastSeparator(cabinetPath.c_str());
    std::string dir = cabinetPath.substr(0, cut), base = cabinetPath.substr(cut);
    std::vector<std::string> names;
    if (!platform::ListDirectory(dir.empty() ? "." : dir.c_str(), &names)) return;
    for (const std::string& name : names) {
        if (!IsTemporaryNameOf(name, base)) continue;
        LogMessage("Removing stale temporary file %s", name.c_str());
        IoRemove((dir + name).c_str());
    }
}

}  // namespace

std::vector<ListName> ParseList(const char* addList) {
    std::vector<ListName> list;
    for (const char* p = addList; p && *p; p += std::strlen(p) + 1) {
        size_t n = std::strlen(p);
        bool directory = p[n - 1] == '/' || p[n - 1] == '\\';
        list.push_back(ListName{p, directory, false});
    }
    return list;
}

std::string JoinListPath(const char* prefix, const char* name) {
    std::string s = prefix ? prefix : "";
    s += name;
    return s;
}

std::string StoredName(const char* subPath, const char* name) {
    // Hosts give the sub-path with or without its trailing separator.
    std::string s = subPath ? subPath : "";
    while (!s.empty() && (s.back() == '/' || s.back() == '\\')) s.pop_back();
    if (!s.empty()) {
        while (*name == '/' || *name == '\\') ++name;
        s += '\\';
    }
    s += name;
    std::replace(s.begin(), s.end(), '/', '\\');
    return s;
}

bool FitsPath(const std::string& s) { return s.size() < kPathSize; }

Error CreateCabinet(const char* cabinetPath, const char* subPath, const char* sourcePath, const char* addList,
                    bool move, const ProgressCallback& progress) {
    std::vector<ListName> list = ParseList(addList);
    // Every path is checked before the scan logs or creates anything.
    for (const ListName& item : list) {
        if (!FitsPath(JoinListPath(sourcePath, item.name))) return NotSupported("source path too long");
        if (!item.directory && !FitsPath(StoredName(subPath, item.name))) return NotSupported("stored name too long");
    }

    std::vector<PackEntry> entries;
    for (ListName& item : list) {
        if (item.directory) continue;
        std::string source = JoinListPath(sourcePath, item.name);
        platform::FindData found;
        if (!platform::FindFile(source.c_str(), &found)) continue;
        // A directory named without its trailing separator has no bytes to
        // store. A file of 4 GiB or more cannot be stored at all: the whole
        // selection is refused rather than packed without it.
        if ((found.attributes & kDirectoryAttribute) != 0) continue;
        if (found.size > UINT32_MAX) return RefuseTooLarge(source);
        PackEntry e;
        bool utf8 = false;
        e.storedName = platform::HostNameToStored(StoredName(subPath, item.name).c_str(), &utf8);
        e.listName = item.name;
        e.cbFile = static_cast<uint32_t>(found.size);
        e.date = found.dosDate;
        e.time = found.dosTime;
        e.attribs = static_cast<uint16_t>((found.attributes & kKeptAttributes) | (utf8 ? kNameIsUtf8 : 0));
        LogMessage("File %s (%d bytes)", source.c_str(), static_cast<int>(e.cbFile));
        LogMessage("  -> %s", e.storedName.c_str());
        item.packed = true;
        entries.push_back(std::move(e));
    }

    CabinetPlan plan;
    if (Error e = Plan(entries, sourcePath, &plan)) return e;

    // Never replace a file that exists: this path is only taken when the
    // cabinet could not be opened for reading, which an unreadable cabinet
    // also gives. The name is taken only once the cabinet is complete and on
    // the disk, so a killed pack leaves nothing under it.
    OutputFile out;
    if (platform::NameTaken(cabinetPath) || !out.Open(cabinetPath, OutputPolicy::NewFile))
        return CannotOpen("cannot create the cabinet");

    if (Error rc = WriteCabinet(out.file(), nullptr, entries, plan, sourcePath, progress)) return rc;
    bool taken = false;
    if (!out.Commit(&taken)) {
        if (!taken) return CannotCreate("the cabinet could not be finished");
        LogMessage("Cabinet appeared meanwhile, not replaced");
        return CannotOpen("a file appeared under the cabinet's name");
    }

    if (move) RemoveSources(list, sourcePath, cabinetPath);
    return kOk;
}

Error UpdateTarget::Acquire(const char* path, const ProgressCallback& progress) {
    path_ = path;
    std::string real;
    if (!platform::ResolvePath(path, &real)) {
        // A cabinet the I/O system holds elsewhere (in memory) has no links,
        // modes or locks.
        return FilesOnDisk() ? CannotOpen("cannot resolve the cabinet") : kOk;
    }
    // The file a link points to is the cabinet; the link stays a link.
    if (!FitsPath(real)) return NotSupported("cabinet path too long");
    path_ = real;
    if (!platform::DescribeTarget(path_.c_str(), &info_) || !info_.regular) return CannotOpen("not a file");
    if (info_.readOnly) {
        LogMessage("Cabinet is read-only, not updated");
        return CannotCreate("the cabinet is read-only");
    }
    // Another update goes first; the host may stop the wait like any work.
    Progress waiting(progress, path_.c_str());
    for (unsigned waited = 0;; waited += 250) {
        platform::FileLock::Result r = lock_.Acquire(path_.c_str(), 0);
        if (r == platform::FileLock::kLocked) break;
        if (r == platform::FileLock::kFailed) return CannotOpen("cannot lock the cabinet");
        if (waited >= 30000) {
            LogMessage("Cabinet is being updated by another process");
            return CannotCreate("the cabinet is being updated by another process");
        }
        if (!waiting.Report()) return Aborted("stopped by the host");
        platform::SleepMilliseconds(250);
    }
    // The cabinet may have been replaced while we waited.
    if (!platform::DescribeTarget(path_.c_str(), &info_)) return CannotOpen("the cabinet went away");
    RemoveStaleTemporaries(path_);
    return kOk;
}

bool UpdateTarget::ApplyTo(const char* newFile) const {
    return !held() || platform::ApplyTargetInfo(newFile, info_);
}

bool UpdateTarget::StillInPlace() const {
    if (!held()) return true;
    platform::TargetInfo now;
    return platform::DescribeTarget(path_.c_str(), &now) && now.identity == lock_.identity();
}

void UpdateTarget::BeforeReplace() {
    if (platform::ReplaceNeedsClosedTarget()) lock_.Release();
}

Error RewriteCabinet(Cabinet& old, UpdateTarget& target, std::vector<ListName>& list,
                     const std::vector<const char*>& replacement, const char* sourcePath, bool move,
                     const ProgressCallback& progress) {
    const char* cabinetPath = target.path().c_str();
    // Entries keep their names, dates, times and attributes; a replaced one
    // takes the current size of its new file.
    const auto& files = old.files();
    std::vector<PackEntry> entries(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        const CabFileEntry& stored = files[i];
        PackEntry& e = entries[i];
        e.storedName = stored.name;
        e.date = stored.date;
        e.time = stored.time;
        e.attribs = stored.attribs;
        const char* name = i < replacement.size() ? replacement[i] : nullptr;
        if (name) {
            platform::FindData found;
            std::string source = JoinListPath(sourcePath, name);
            if (!platform::FindFile(source.c_str(), &found) || (found.attributes & kDirectoryAttribute) != 0) {
                return CannotOpen("replacement file missing");
            }
            if (found.size > UINT32_MAX) return RefuseTooLarge(source);
            e.listName = name;
            e.cbFile = static_cast<uint32_t>(found.size);
        } else {
            e.keptEntry = static_cast<uint32_t>(i);
            e.cbFile = stored.cbFile;
        }
    }

    CabinetPlan plan;
    if (Error e = Plan(entries, sourcePath, &plan)) return e;

    OutputFile temp;
    if (!temp.Open(cabinetPath, OutputPolicy::Replacement)) return CannotCreate("cannot create a temporary cabinet");
    // The cabinet's own permissions before any of its bytes are in the file.
    if (!target.ApplyTo(temp.writingPath().c_str())) return CannotCreate("cannot give the new cabinet its mode");
    if (Error rc = WriteCabinet(temp.file(), &old, entries, plan, sourcePath, progress)) return rc;
    // Whoever renamed another file over the name without our lock would
    // lose it to ours.
    if (!target.StillInPlace()) {
        LogMessage("Cabinet was replaced while being updated, not replaced again");
        return CannotCreate("the cabinet was replaced meanwhile");
    }

    // Windows cannot replace a file that is still open.
    old.CloseFile();
    target.BeforeReplace();
    if (!temp.Commit()) return CannotCreate("cannot replace the cabinet");

    if (move) RemoveSources(list, sourcePath, cabinetPath);
    return kOk;
}

}  // namespace mirad
