// A CE cabinet built from a cabinet-wizard INF: the setup file the INF
// describes, then every installed file under a short stored name numbered
// as its copy-file record, the setup DLL as .999, written as pack writes a
// new cabinet (complete under its name, or nothing).
#pragma once

#include <string>
#include <vector>

#include "cabinet/writer.h"
#include "documents/inf_reader.h"
#include "setup/edit.h"
#include "support/error.h"
#include "support/progress.h"

namespace mirad {

struct InfBuildOptions {
    std::string cpu;  // chooses [Section.CPU]
    bool strict = false;
    // Where relative source directories start; empty: the INF's folder.
    // Given, no source may lie outside it.
    std::string sourceDir;
    Compression compression = Compression::None;
    uint32_t codePage = 1252;
};

// What a build stores, found and checked before anything is written: the
// setup file's bytes and one entry per stored file, in stored order (the
// setup file first). Entries point into the plan, which stays where it is.
struct InfBuildPlan {
    std::vector<uint8_t> setupBytes;
    std::vector<std::string> paths;  // the sources, in entry order after the setup file
    std::vector<PackEntry> entries;
    InfBuildPlan() = default;
    InfBuildPlan(const InfBuildPlan&) = delete;
    InfBuildPlan& operator=(const InfBuildPlan&) = delete;
};

// Reads the INF at `infPath` and finds every source for a cabinet to be
// named `cabinetPath`; reads only. BadData with report->error on what is
// wrong with the INF or its sources, CannotOpen when the INF cannot be read.
Error PlanCabinetFromInf(const char* cabinetPath, const char* infPath, const InfBuildOptions& options,
                         InfBuildPlan* plan, InfReport* report);

// Builds `cabinetPath`, which must not exist. On failure report->error says
// what is wrong with the INF or its sources (BadData), or why the cabinet
// could not be written (the writer's errors); warnings go to report too.
// Every message is also logged.
Error BuildCabinetFromInf(const char* cabinetPath, const char* infPath, const InfBuildOptions& options,
                          InfReport* report, const ProgressCallback& progress = ProgressCallback());

// Whether the file at `path` is a CE INF: [Version] with CESignature
// "$Windows CE$" (text read as the INF reader reads it).
bool IsCeInf(const char* path, uint32_t codePage);

}  // namespace mirad
