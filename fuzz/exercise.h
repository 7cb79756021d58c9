// Drives one cabinet held in a MemoryFs the way the host does (open, list,
// extract or test every entry, close) and then copies every stored file
// through the reader directly. Shared by the fuzz target and the mutation
// test; it reports what happened and leaves judging it to the caller.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "interface/result.h"
#include "fuzz/memory_io.h"
#include "interface/exports.h"
#include "view/session.h"

namespace memio {

// Destinations live under a directory that does not exist on disk, so a
// removal that goes around the seam can never touch a real file.
constexpr const char* kOutDir = "/nonexistent-mirad-memfs/";

struct Outcome {
    int32_t openResult = -1;
    bool opened = false;
    size_t listed = 0;
    bool listEnded = false;  // ReadHeader said 10 within a bound no real listing reaches
    std::vector<int32_t> processResults;
    std::vector<int> copyResults;  // CopyStoredFile, per stored entry
    std::vector<int> testResults;  // TestStoredFile, per stored entry
    // Stored entries whose copy succeeded with a length other than cbFile.
    size_t wrongLengths = 0;
    int openAfterClose = 0;  // files the module left open
};

inline Outcome Exercise(MemoryFs& fs, const std::string& cabinet) {
    Outcome out;
    OpenRequest request{};
    std::string name = cabinet;
    request.archiveName = &name[0];
    void* handle = OpenArchive(&request);
    out.openResult = request.openResult;
    out.opened = handle != nullptr;
    if (handle) {
        // Stored files, installed files and shortcuts are each at most 65535,
        // plus the two generated documents.
        const size_t bound = 3 * 65536 + 8;
        EntryHeader header;
        for (size_t i = 0; i < bound; ++i) {
            int32_t r = ReadHeader(handle, &header);
            if (r != MIRAD_OK) {
                out.listEnded = r == MIRAD_END_ARCHIVE;
                break;
            }
            ++out.listed;
            int32_t operation = i % 3 == 2 ? MIRAD_TEST : MIRAD_EXTRACT;
            std::string dest = std::string(kOutDir) + "entry" + std::to_string(i);
            out.processResults.push_back(ProcessFile(handle, operation, nullptr, &dest[0]));
        }
        mirad::Cabinet& cabinet = static_cast<mirad::ArchiveSession*>(handle)->cabinet();
        for (uint32_t i = 0; i < cabinet.files().size(); ++i) {
            std::string dest = std::string(kOutDir) + "copy" + std::to_string(i);
            int r = mirad::ResultCode(cabinet.CopyFile(i, dest.c_str()));
            out.copyResults.push_back(r);
            if (r == MIRAD_OK && fs.files[dest].size() != cabinet.files()[i].cbFile) ++out.wrongLengths;
            fs.files.erase(dest);
            out.testResults.push_back(mirad::ResultCode(cabinet.TestFile(i)));
        }
        CloseArchive(handle);
    }
    out.openAfterClose = fs.openCount;
    return out;
}

}  // namespace memio
