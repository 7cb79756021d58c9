// Packing and updating as one transaction each: a new cabinet from files on
// disk, or an existing one rewritten with some stored files replaced, where
// the name shows the old cabinet or nothing until the new one is complete.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cabinet/cabinet.h"
#include "cabinet/writer.h"
#include "support/error.h"
#include "support/io.h"
#include "support/progress.h"

namespace mirad {

// One name the host asks to pack.
struct ListName {
    const char* name;  // the caller keeps it
    bool directory;    // ends in "/" or "\"
    bool packed;       // a file that went into the cabinet; only such files are ever removed
};

// A name as the host gives it: a directory when it ends in a separator.
ListName Listed(const char* name);
// The stored name of a listed file: `subPath`, exactly one "\" when there is
// a sub-path, and the name; "/" always becomes "\".
std::string StoredName(const char* subPath, const char* name);
// A path or stored name short enough to be used whole (never cut).
bool FitsPath(const std::string& s);

// Writes a new cabinet at `cabinetPath` (which must not exist) from the
// files of `list` below `sourcePath`, stored under `subPath`, its folders
// compressed as asked, reporting each file's bytes to `progress`; with
// `move` the packed sources are removed once the cabinet is in place.
// NotSupported (a path too long, a cabinet the format cannot hold),
// CannotOpen (the cabinet cannot be created, a source), CannotCreate,
// NoMemory or Aborted.
Error CreateCabinet(const char* cabinetPath, const char* subPath, const char* sourcePath, std::vector<ListName>& list,
                    bool move, Compression compression = Compression::None,
                    const ProgressCallback& progress = ProgressCallback());

// The cabinet file an update rewrites, held from before it is read until
// the new cabinet is in its place: the file a link names (the link stays),
// checked writable, locked against other updates, with the mode the new
// cabinet keeps.
class UpdateTarget {
public:
    // Resolves `path`, refuses a read-only cabinet (CannotCreate), takes the
    // lock, waiting up to 30 s for another update (CannotCreate when it does
    // not end, Aborted when `progress` stops the wait), and removes
    // temporary files a killed update of the same cabinet left.
    Error Acquire(const char* path, const ProgressCallback& progress = ProgressCallback());
    bool held() const { return lock_.held(); }
    // The cabinet to read and replace.
    const std::string& path() const { return path_; }
    // Gives the new cabinet's file the old one's mode (and owner where
    // permitted) before any of its bytes are written.
    bool ApplyTo(const char* newFile) const;
    // Whether the name still names the locked file; no other writer renamed
    // a file over it meanwhile.
    bool StillInPlace() const;
    // Lets go of the lock where the system cannot rename over an open file.
    void BeforeReplace();

private:
    std::string path_;
    IoTarget info_;
    IoLockHandle lock_;
};

// How a rewrite of `old` compresses: as the majority of its files' bytes
// are held; on a tie as most of its folders are; stored when that ties too.
Compression KeptCompression(const Cabinet& old);

// The entries of `old` as they are: each keeps its record and its bytes.
std::vector<PackEntry> KeptEntries(const Cabinet& old);
// Makes `entry` take the bytes of the file `name` below `sourcePath`; its
// record stays. CannotOpen when that is no file, NotSupported from 4 GiB.
Error ReplaceFrom(const char* sourcePath, const char* name, PackEntry* entry);
// The entry a new file makes: the file `name` below `sourcePath`, stored as
// `hostName` (the host's encoding; flagged UTF-8 where it needs to be), with
// the file's date, time and attributes. Errors as ReplaceFrom.
Error NewEntry(const char* sourcePath, const char* name, const std::string& hostName, PackEntry* entry);

// Rewrites `old` (open, read from `target`) as `entries` say, in their
// order: kept data from `old`, files below `sourcePath`, bytes in memory,
// reported to `progress` as they are copied; the cabinet keeps its
// compression (KeptCompression). The new cabinet replaces the old one in
// one step; `old` is closed then. With `move` the packed names of `list`
// are removed afterwards.
Error RewriteCabinet(Cabinet& old, UpdateTarget& target, const std::vector<PackEntry>& entries,
                     std::vector<ListName>& list, const char* sourcePath, bool move,
                     const ProgressCallback& progress = ProgressCallback());

}  // namespace mirad
