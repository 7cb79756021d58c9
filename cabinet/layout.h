// Layout of the cabinets we write: every size and offset is settled before the
// first byte, so the file is written once, front to back.
//
// uoffFolderStart counts data bytes only (the sum of cbFile over the earlier
// files of the same folder), as every other cabinet reader expects. The
// folder rule itself counts each block's 8-byte header in the folder's
// running size.
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
};

struct CabinetPlan {
    std::vector<LayoutFolder> folders;
    std::vector<uint16_t> iFolder;          // per file
    std::vector<uint32_t> uoffFolderStart;  // per file, data bytes only
    uint32_t coffFiles = 0;
    uint32_t dataStart = 0;  // first data block
    uint32_t cbCabinet = 0;
};

constexpr uint32_t kBlockData = 32768;     // data bytes per block at most
constexpr uint32_t kNewFolderAt = 32768;   // a folder is closed between files once it reaches this
constexpr uint32_t kFirstFolderSize = 99999;  // makes the first file open the first folder
constexpr size_t kMaxFiles = 65535;         // cFiles is 16 bits
constexpr uint32_t kMaxBlocks = 65535;      // cCFData is 16 bits

// Number of data blocks a file of `size` bytes takes (0 for an empty file).
inline uint32_t BlockCount(uint32_t size) { return size / kBlockData + (size % kBlockData != 0 ? 1 : 0); }

// Plans folders, blocks and offsets for `count` files in order. NotSupported
// when the cabinet would break one of the format's widths (more than 65535
// files, a folder of more than 65535 blocks, a cabinet of 4 GiB or more).
Error PlanLayout(const LayoutFile* files, size_t count, CabinetPlan* plan);

// The format's CFDATA checksum of a block holding `count` data bytes: the
// data, then the cbData and cbUncomp words, XORed as little-endian 32-bit
// words (a short tail taken most significant byte first). Readers treat 0 as
// "no checksum", but some refuse it, so every block we write carries one.
uint32_t BlockChecksum(const uint8_t* data, uint32_t count);

// The 36-byte CFHEADER of a plan with `fileCount` files.
void EncodeHeader(const CabinetPlan& plan, uint16_t fileCount, uint8_t out[36]);

}  // namespace mirad
