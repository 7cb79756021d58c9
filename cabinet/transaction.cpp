// Packing and updating: a new cabinet, or an existing cabinet rewritten
// with some stored files replaced, as a transaction around the writer
// (writer.h):
// - everything is scanned, checked and planned before a file is created;
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
#include "cabinet/transaction.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cabinet/format.h"
#include "cabinet/layout.h"
#include "platform/host.h"
#include "platform/platform.h"
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
                if (IoRemoveDir(path.c_str())) removed = true;
            } else if (path != cabinetPath && IoRemove(path.c_str())) {
                removed = true;
            }
        }
    }
}

// A file found on disk as a new entry stored under `hostName`.
void FillNewEntry(const platform::FindData& found, const char* listName, const std::string& hostName,
                  PackEntry* e) {
    bool utf8 = false;
    e->storedName = platform::HostNameToStored(hostName.c_str(), &utf8);
    e->listName = listName;
    e->bytes = nullptr;
    e->cbFile = static_cast<uint32_t>(found.size);
    e->date = found.dosDate;
    e->time = found.dosTime;
    e->attribs = static_cast<uint16_t>((found.attributes & kKeptAttributes) | (utf8 ? kNameIsUtf8 : 0));
}

Error RefuseTooLarge(const std::string& path) {
    LogMessage("Cannot pack %s: a cabinet holds no file of 4 GiB or more", path.c_str());
    return NotSupported("a file of 4 GiB or more");
}

// Temporary files of this cabinet left by an update or pack that was killed.
// Only called under the cabinet's lock, so none of them is being written.
void RemoveStaleTemporaries(const std::string& cabinetPath) {
    size_t cut = AfterLastSeparator(cabinetPath.c_str());
    std::string dir = cabinetPath.substr(0, cut), base = cabinetPath.substr(cut);
    std::vector<std::string> names;
    if (!IoList(dir.empty() ? "." : dir.c_str(), &names)) return;
    for (const std::string& name : names) {
        if (!IsTemporaryNameOf(name, base)) continue;
        LogMessage("Removing stale temporary file %s", name.c_str());
        IoRemove((dir + name).c_str());
    }
}

}  // namespace

ListName Listed(const char* name) {
    size_t n = std::strlen(name);
    bool directory = n > 0 && (name[n - 1] == '/' || name[n - 1] == '\\');
    return ListName{name, directory, false};
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

Error CreateCabinet(const char* cabinetPath, const char* subPath, const char* sourcePath, std::vector<ListName>& list,
                    bool move, Compression compression, const ProgressCallback& progress) {
    // Every path is checked before the scan logs or creates anything.
    for (const ListName& item : list) {
        if (!FitsPath(JoinListPath(sourcePath, item.name))) return NotSupported("source path too long");
        if (!item.directory && !FitsPath(StoredName(subPath, item.name))) return NotSupported("stored name too long");
    }

    std::vector<PackEntry> entries;
    for (ListName& item : list) {
        if (item.directory) continue;
        std::string source = JoinListPath(sourcePath, item.name);
        IoFound found;
        if (!IoFind(source.c_str(), &found)) continue;
        // A directory named without its trailing separator has no bytes to
        // store. A file of 4 GiB or more cannot be stored at all: the whole
        // selection is refused rather than packed without it.
        if ((found.attributes & kDirectoryAttribute) != 0) continue;
        if (found.size > UINT32_MAX) return RefuseTooLarge(source);
        PackEntry e;
        FillNewEntry(found, item.name, StoredName(subPath, item.name), &e);
        LogMessage("File %s (%d bytes)", source.c_str(), static_cast<int>(e.cbFile));
        LogMessage("  -> %s", e.storedName.c_str());
        item.packed = true;
        entries.push_back(std::move(e));
    }

    CabinetPlan plan;
    if (Error e = PlanCabinet(entries, sourcePath, compression, &plan)) return e;

    // Never replace a file that exists: this path is only taken when the
    // cabinet could not be opened for reading, which an unreadable cabinet
    // also gives. The name is taken only once the cabinet is complete and on
    // the disk, so a killed pack leaves nothing under it.
    OutputFile out;
    if (IoNameTaken(cabinetPath) || !out.Open(cabinetPath, OutputPolicy::NewFile))
        return CannotOpen("cannot create the cabinet");

    if (Error rc = WriteCabinet(out.file(), nullptr, entries, plan, sourcePath, compression, progress)) return rc;
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
    if (!IoResolve(path, &real)) return CannotOpen("cannot resolve the cabinet");
    // The file a link points to is the cabinet; the link stays a link.
    if (!FitsPath(real)) return NotSupported("cabinet path too long");
    path_ = real;
    if (!IoDescribe(path_.c_str(), &info_) || !info_.regular) return CannotOpen("not a file");
    if (info_.readOnly) {
        LogMessage("Cabinet is read-only, not updated");
        return CannotCreate("the cabinet is read-only");
    }
    // Another update goes first; the host may stop the wait like any work.
    Progress waiting(progress, path_.c_str());
    for (unsigned waited = 0;; waited += 250) {
        IoLockStatus r = lock_.Acquire(path_.c_str());
        if (r == IoLockStatus::Locked) break;
        if (r == IoLockStatus::Failed) return CannotOpen("cannot lock the cabinet");
        if (waited == 0) LogMessage("Cabinet is locked by another update, waiting");
        if (waited >= 30000) {
            LogMessage("Cabinet is being updated by another process");
            return CannotCreate("the cabinet is being updated by another process");
        }
        if (!waiting.Report()) return Aborted("stopped by the host");
        platform::SleepMilliseconds(250);
    }
    // The cabinet may have been replaced while we waited.
    if (!IoDescribe(path_.c_str(), &info_)) return CannotOpen("the cabinet went away");
    RemoveStaleTemporaries(path_);
    return kOk;
}

bool UpdateTarget::ApplyTo(const char* newFile) const { return !held() || IoAdopt(newFile, info_); }

bool UpdateTarget::StillInPlace() const {
    if (!held()) return true;
    IoTarget now;
    return IoDescribe(path_.c_str(), &now) && now.identity == lock_.identity();
}

void UpdateTarget::BeforeReplace() {
    if (platform::ReplaceNeedsClosedTarget()) lock_.Release();
}

Compression KeptCompression(const Cabinet& old) {
    // Bytes and folders per method; only stored and MSZIP folders are read.
    uint64_t bytes[2] = {}, folders[2] = {};
    const auto& table = old.folders();
    auto method = [&table](size_t j) {
        return (table[j].typeCompress & cffold::TypeMethodMask) == cffold::TypeMszip ? 1 : 0;
    };
    for (size_t j = 0; j < table.size(); ++j) ++folders[method(j)];
    for (const CabFileEntry& f : old.files())
        if (f.iFolder < table.size()) bytes[method(f.iFolder)] += f.cbFile;
    bool mszip = bytes[1] != bytes[0] ? bytes[1] > bytes[0] : folders[1] > folders[0];
    return mszip ? Compression::Mszip : Compression::None;
}

std::vector<PackEntry> KeptEntries(const Cabinet& old) {
    const auto& files = old.files();
    std::vector<PackEntry> entries(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        const CabFileEntry& stored = files[i];
        PackEntry& e = entries[i];
        e.storedName = stored.name;
        e.date = stored.date;
        e.time = stored.time;
        e.attribs = stored.attribs;
        e.keptEntry = static_cast<uint32_t>(i);
        e.cbFile = stored.cbFile;
    }
    return entries;
}

namespace {

// The file below `sourcePath` a list name gives, checked to be storable.
Error FindSource(const char* sourcePath, const char* name, IoFound* found) {
    std::string source = JoinListPath(sourcePath, name);
    if (!IoFind(source.c_str(), found) || (found->attributes & kDirectoryAttribute) != 0) {
        return CannotOpen("source file missing");
    }
    if (found->size > UINT32_MAX) return RefuseTooLarge(source);
    return kOk;
}

}  // namespace

Error ReplaceFrom(const char* sourcePath, const char* name, PackEntry* entry) {
    platform::FindData found;
    if (Error e = FindSource(sourcePath, name, &found)) return e;
    entry->listName = name;
    entry->bytes = nullptr;
    entry->cbFile = static_cast<uint32_t>(found.size);
    return kOk;
}

Error NewEntry(const char* sourcePath, const char* name, const std::string& hostName, PackEntry* entry) {
    platform::FindData found;
    if (Error e = FindSource(sourcePath, name, &found)) return e;
    FillNewEntry(found, name, hostName, entry);
    return kOk;
}

Error RewriteCabinet(Cabinet& old, UpdateTarget& target, const std::vector<PackEntry>& entries,
                     std::vector<ListName>& list, const char* sourcePath, bool move,
                     const ProgressCallback& progress) {
    const char* cabinetPath = target.path().c_str();
    Compression compression = KeptCompression(old);
    CabinetPlan plan;
    if (Error e = PlanCabinet(entries, sourcePath, compression, &plan)) return e;

    OutputFile temp;
    if (!temp.Open(cabinetPath, OutputPolicy::Replacement)) return CannotCreate("cannot create a temporary cabinet");
    // The cabinet's own permissions before any of its bytes are in the file.
    if (!target.ApplyTo(temp.writingPath().c_str())) return CannotCreate("cannot give the new cabinet its mode");
    if (Error rc = WriteCabinet(temp.file(), &old, entries, plan, sourcePath, compression, progress)) return rc;
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
