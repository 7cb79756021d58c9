// Writing a cabinet's bytes: the header, the folder and file records, and
// every data block, stored or MSZIP, from files on disk or from the stored
// files of a cabinet being rewritten.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cabinet/cabinet.h"
#include "cabinet/layout.h"
#include "support/error.h"
#include "support/io.h"
#include "support/progress.h"

namespace mirad {

// How a written cabinet's folders hold their data.
enum class Compression { None, Mszip };

// One file of the cabinet being written: its record, and where its bytes
// come from.
struct PackEntry {
    std::string storedName;
    const char* listName = nullptr;  // read from sourcePath + listName; null for kept data
    const std::vector<uint8_t>* bytes = nullptr;  // or held in memory (cbFile of them)
    uint32_t cbFile = 0;
    uint16_t date = 0, time = 0, attribs = 0;
    uint32_t keptEntry = 0;  // for kept data: the entry of the old cabinet that holds it
};

// A source's path: plain concatenation, so a prefix naming a directory
// carries its own separator.
std::string JoinListPath(const char* prefix, const char* name);

// Plans the layout of `entries` (layout.h), with room for what MSZIP blocks
// may add. NotSupported beyond the format's widths, logged with the file
// with which the cabinet would pass them: its source, or for kept data its
// stored name.
Error PlanCabinet(const std::vector<PackEntry>& entries, const char* sourcePath, Compression compression,
                  CabinetPlan* plan);

// Writes the planned cabinet to `file`, front to back; an MSZIP cabinet's
// header and folder records are written again at the end, once the blocks
// have given the offsets. Every source must deliver exactly the bytes the
// plan holds. BadData (kept data unreadable), CannotOpen (a source),
// CannotCreate (the output), NoMemory or Aborted (`progress` stopped it).
// The caller closes the file.
Error WriteCabinet(IoFile* file, Cabinet* old, const std::vector<PackEntry>& entries, const CabinetPlan& plan,
                   const char* sourcePath, Compression compression, const ProgressCallback& progress);

}  // namespace mirad
