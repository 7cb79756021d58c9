// Writing cabinets: new ones from files on disk, and existing ones rewritten
// with some stored files replaced by files on disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cabinet/cabinet.h"
#include "support/error.h"

namespace mirad {

// One name of the host's add list (NUL-separated, ending in an empty name).
struct ListName {
    const char* name;  // points into the list
    bool directory;    // ends in "/" or "\"
    bool packed;       // a file that went into the cabinet; only such files are ever removed
};

std::vector<ListName> ParseList(const char* addList);
// Plain concatenation: a prefix naming a directory carries its own separator.
std::string JoinListPath(const char* prefix, const char* name);
// The stored name of a listed file: `subPath`, exactly one "\" when there is
// a sub-path, and the name; "/" always becomes "\".
std::string StoredName(const char* subPath, const char* name);
// A path or stored name short enough to be used whole (never cut).
bool FitsPath(const std::string& s);

// Writes a new cabinet at `cabinetPath` (which must not exist) from the
// files of `addList` below `sourcePath`, stored under `subPath`; with `move`
// the packed sources are removed once the cabinet is in place. NotSupported
// (a path too long, a cabinet the format cannot hold), CannotOpen (the
// cabinet cannot be created, a source) or CannotCreate.
Error CreateCabinet(const char* cabinetPath, const char* subPath, const char* sourcePath, const char* addList,
                    bool move);

// Rewrites `old` (open, read from `cabinetPath`) with stored file i replaced
// by the file `replacement[i]` below `sourcePath` where that is not null;
// every other file keeps its bytes. The new cabinet replaces the old one in
// one step; `old` is closed then. With `move` the packed names of `list` are
// removed afterwards.
Error RewriteCabinet(Cabinet& old, const char* cabinetPath, std::vector<ListName>& list,
                     const std::vector<const char*>& replacement, const char* sourcePath, bool move);

}  // namespace mirad
