// Packing as the host asks for it: a new cabinet from files on disk, or an
// existing CE cabinet with installed files replaced.
#pragma once

#include "support/error.h"
#include "support/progress.h"

namespace mirad {

// When `cabinetPath` cannot be opened, a new cabinet is written there from
// the files of `addList` (below `sourcePath`, stored under `subPath`),
// compressed as the settings' "Compression" says. Otherwise it is read as a
// CE cabinet and every listed file replaces the stored file that carries the
// installed file of the same path (subPath + name, compared without regard
// to case); the cabinet keeps its compression. With `move`, packed sources are
// removed once the cabinet is in place. Every file's bytes are reported to
// `progress`, which may stop the work (Aborted, nothing changed).
Error PackFilesInto(const char* cabinetPath, const char* subPath, const char* sourcePath, const char* addList,
                    bool move, const ProgressCallback& progress = ProgressCallback());

}  // namespace mirad
