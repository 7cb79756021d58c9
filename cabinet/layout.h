// Layout of the cabinets we write: every size and offset is settled before the
// first byte, so the file is written once, front to back.
//
// Which file opens a new folder: a folder is closed between files once its
// running size reaches 32768 bytes, where every file counts its bytes plus 8
// for each block it alone would fill. Within a folder we lay out data as the
// format's readers expect: the files' bytes in order as one stream, cut into
// blocks of exactly 32768 bytes with only the folder's last block shorter, so
// a block may hold the end of one file and the start of the next.
// uoffFolderStart counts data bytes only (the sum of cbFile over the earlier
// files of the same folder).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/error.h"

namespace mirad {

struct LayoutFile {
    uint32_t cbFile;
    uint32_t nameLength;  // stored name, without its NUL
};

struct LayoutFolder {
    uint32_t coffCabStart;  // absolute offset of the folder's first block
    uint32_t cCFData;       // at most 65535 once planned
    uint32_t cbData;        // data bytes of its files, cut into blocks of kBlockData
};

struct CabinetPlan {
    std::vector<LayoutFolder> folders;
    std::vector<uint16_t> iFolder;          // per file
    std::vector<uint32_t> uoffFolderStart;  // per file, data bytes only
    uint32_t coffFiles = 0;
    uint32_t dataStart = 0;  // first data block
    uint32_t cbCabinet = 0;
};

constexpr uint32_t kBlockData = 32768;        // data bytes per block; only a folder's last holds fewer
constexpr uint32_t kNewFolderAt = 32768;      // a folder is closed between files once it reaches this
constexpr uint32_t kFirstFolderSize = 99999;  // makes the first file open the first folder
constexpr size_t kMaxFiles = 65535;           // cFiles is 16 bits
constexpr uint32_t kMaxBlocks = 65535;        // cCFData is 16 bits

// Number of blocks `size` data bytes take (0 for none).
inline uint64_t BlockCount(uint64_t size) { return size / kBlockData + (size % kBlockData != 0 ? 1 : 0); }

// Plans folders, blocks and offsets for `count` files in order. NotSupported
// when the cabinet would break one of the format's widths (more than 65535
// files, a folder of more than 65535 blocks, a cabinet of 4 GiB or more, with
// every block taking up to `blockGrowth` bytes more than its data); then
// `*failedAt`, when given, is the index of the first file that does not fit.
// The offsets and cbCabinet are those of stored blocks.
Error PlanLayout(const LayoutFile* files, size_t count, CabinetPlan* plan, size_t* failedAt = nullptr,
                 uint32_t blockGrowth = 0);

// The format's CFDATA checksum of a block holding `count` data bytes: the
// data, then the cbData and cbUncomp words, XORed as little-endian 32-bit
// words (a short tail taken most significant byte first). Readers treat 0 as
// "no checksum", but some refuse it, so every block we write carries one.
uint32_t BlockChecksum(const uint8_t* data, uint32_t count);
// The same for any block as it lies in the cabinet: its cbData bytes
// (compressed or not), then its cbData and cbUncomp. Readers check it.
uint32_t DataBlockChecksum(const uint8_t* data, uint16_t cbData, uint16_t cbUncomp);

// The 36-byte CFHEADER of a plan with `fileCount` files.
void EncodeHeader(const CabinetPlan& plan, uint16_t fileCount, uint8_t out[36]);

}  // namespace mirad
