// The setup file a CE INF describes, laid out as the cabinet wizard lays it
// out: the install directory as the first string, every other path and key
// cut at "\" into shared strings, files numbered in copy-list order.
#pragma once

#include <string>
#include <vector>

#include "documents/inf_reader.h"
#include "setup/model.h"

namespace mirad {

// One file to store, in copy-file order: its number (the stored name's
// extension) and its source as [SourceDisksFiles] names it.
struct InfStoredFile {
    uint16_t fileId = 0;
    const InfSourceFile* source = nullptr;
};

// The most installed files a cabinet can number: three digits, 999 being the
// setup DLL's.
constexpr size_t kMaxInstalledFiles = 998;

// Fills `model` and `files` from `inf`; false with report->error for what
// the setup file cannot express (too many files, a shortcut whose target is
// no file to copy).
bool SetupModelFromInf(const CeInf& inf, const InfOptions& options, SetupModel* model,
                       std::vector<InfStoredFile>* files, InfReport* report);

}  // namespace mirad
