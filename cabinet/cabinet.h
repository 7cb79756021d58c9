// An open cabinet: the file, its header, its folder and file tables, and the
// block sources of the folders being read, which hand out their bytes. It
// knows nothing of CE setup files, the host or the settings.
//
// Memory follows what is open, not the cabinet: a row per file and per
// folder, and at most kOpenFolders block sources, each holding one folder's
// block buffers, decoder and block index. A source is made when a read first
// needs its folder and goes, with everything it holds, when the least
// recently read of the open folders has to make room for another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cabinet/block_source.h"
#include "cabinet/format.h"
#include "support/alloc.h"
#include "support/error.h"
#include "support/io.h"
#include "support/output.h"
#include "support/progress.h"
#include "support/text_pool.h"

namespace mirad {

class Cabinet {
public:
    Cabinet() = default;
    Cabinet(const Cabinet&) = delete;
    Cabinet& operator=(const Cabinet&) = delete;

    // Takes the open file and reads and checks the header and both tables,
    // logging each section; no data block is read. UnknownFormat
    // (not a cabinet we read), BadData or NoMemory; what was read before a
    // failure stays.
    Error Read(IoHandle file);

    const CabHeader& header() const { return header_; }
    uint16_t cbCFHeader() const { return cbCFHeader_; }
    uint8_t cbCFFolder() const { return cbCFFolder_; }
    uint8_t cbCFData() const { return cbCFData_; }
    uint64_t length() const { return length_; }  // of the file as opened
    const CountedVector<CabFolder>& folders() const { return folders_; }
    const CountedVector<CabFileEntry>& files() const { return files_; }

    // Hands stored file `entry`'s cbFile bytes to `sink` (empty: read and
    // discard) in chunks of at most `chunk` bytes that never cross a block.
    // BadData (no such entry, blocks that do not hold its bytes or, unless
    // ignored, do not match their checksums) or CannotCreate (the sink
    // refused).
    Error ReadFile(uint32_t entry, const ByteSink& sink, size_t chunk = cfdata::MaxData,
                   Checksums checksums = Checksums::Verify);
    // Reads stored file `entry` through the same walk, writing nothing, and
    // reports its bytes to `progress` as CopyFile does.
    Error TestFile(uint32_t entry, const ProgressCallback& progress = ProgressCallback(), const char* name = nullptr);
    // Writes stored file `entry` to `destination`, reporting its bytes to
    // `progress` under `name` (the host shows it as the source; null: the
    // stored name): a copy that fails or is stopped (Aborted) leaves no file
    // that looks complete and an existing file as it was.
    Error CopyFile(uint32_t entry, const OutputTarget& destination, const ProgressCallback& progress = ProgressCallback(),
                   const char* name = nullptr);

    // Folders whose block sources are kept at once: the one being read, and
    // the one before it, so reads that alternate between two folders (a CE
    // setup file and its files, say) go on where each one stopped.
    static constexpr size_t kOpenFolders = 2;

    // The block source of folder `index`, made when it is not open; valid
    // until a source is asked for another folder that is not open either.
    BlockSource& Source(uint16_t index);

    // Closes the file (an update must replace it, and Windows cannot replace
    // an open file); nothing can be read afterwards.
    void CloseFile();

private:
    Error ReadTables(class CabinetStream& stream, uint64_t foldersAt);
    // Bytes that belong to the cabinet proper: a signature after cbCabinet
    // is never read as cabinet data.
    uint64_t Limit() const;
    void CloseFolders();

    IoHandle file_;
    CabHeader header_ = {};
    uint16_t cbCFHeader_ = 0;
    uint8_t cbCFFolder_ = 0;
    uint8_t cbCFData_ = 0;
    uint64_t length_ = 0;
    CountedVector<CabFolder> folders_;
    CountedVector<CabFileEntry> files_;
    TextPool names_;  // the stored names files_ point to
    // Where each folder's furthest file ends: the block source decides the
    // folder's offset rule from it once it has indexed the blocks.
    std::vector<uint64_t> filesEnd_;
    // One positioned reader for every folder, so none trusts a file position
    // another has moved.
    std::unique_ptr<CabinetStream> stream_;
    // The open folders, the one read last first.
    struct OpenFolder {
        uint16_t folder = 0;
        std::unique_ptr<BlockSource> source;
    };
    OpenFolder open_[kOpenFolders];
};

// What a cabinet file shows of itself, read as far as it goes and refusing
// nothing (no log line either): what a person is told about a cabinet Read
// refuses. Reads through the I/O seam within the file's length.
struct CabinetSurvey {
    uint64_t length = 0;
    bool signature = false;       // the file starts with "MSCF"
    bool headerComplete = false;  // all of CFHEADER is there
    CabHeader header = {};
    std::string previousCabinet, nextCabinet;  // neighbours in a multi-part set
    std::vector<CabFolder> folders;
    bool foldersComplete = false;
    bool filesComplete = false;  // every file record and name lies in the file
};
CabinetSurvey SurveyCabinet(IoFile* file);

// File number carried by a stored name (SETUP.000 -> 0, FILE.012 -> 12), or -1.
int32_t NumericSuffix(const char* name);

}  // namespace mirad
