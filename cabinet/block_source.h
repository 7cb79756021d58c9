// One folder's uncompressed byte stream: the one place that walks a folder's
// data blocks, skips their reserves, applies the folder's offset rule and
// hands out bytes from any offset.
//
// The steps, each in one place below, are where the next capabilities go:
// - NextBlock reads a block header: a checksum check belongs there;
// - the folder's decoder (decoder.h) turns blocks into bytes;
// - Seek finds the block holding an offset by walking from the folder's
//   first block: a block index (each block's header offset, data offset and
//   uncompressed position) makes it a binary search, and keeping the walk's
//   position between reads lets in-order extraction go on without a rewalk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "cabinet/decoder.h"
#include "cabinet/format.h"
#include "cabinet/stream.h"
#include "support/error.h"

namespace mirad {

// Receives bytes in order; false means the receiver failed. An empty sink
// reads and discards (what testing does).
using ByteSink = std::function<bool(const uint8_t* data, size_t count)>;

// The reason of the error for a header-counted offset that falls inside a
// block header or reserve (nothing has been delivered then).
extern const char kOffsetInsideBlockHeader[];
// The reason of the error for a sink that refused bytes.
extern const char kSinkRefused[];

class BlockSource {
public:
    BlockSource(IoFile* file, uint64_t limit, const CabFolder& folder, uint8_t cbCFData,
                std::unique_ptr<FolderDecoder> decoder);

    // Delivers `count` bytes from where the folder's offset rule places
    // `offset` (a file's uoffFolderStart) to `sink`, in chunks of at most
    // `chunk` bytes (at most 32768) that never cross a block boundary.
    // BadData when the blocks do not hold them (or the offset falls inside a
    // block header); CannotCreate when the sink refused bytes.
    Error Read(uint64_t offset, uint64_t count, const ByteSink& sink, size_t chunk);

    // The header of the block read last.
    const DataBlockHeader& CurrentBlock() const { return block_; }

private:
    // Back to the folder's first block.
    void Rewind();
    // Reads the next block's header (and, for a decoded folder, the block).
    Error NextBlock();
    // Moves to the block holding `offset`; `*within` is the offset in it.
    Error Seek(uint64_t offset, uint32_t* within);
    // Uncompressed bytes of the current block.
    uint32_t BlockSize() const { return decoder_->UncompressedSize(block_); }

    CabinetStream stream_;
    CabFolder folder_;
    uint8_t cbCFData_;
    std::unique_ptr<FolderDecoder> decoder_;

    // The walk: the current block's header, where its data starts, where the
    // next header lies, and how many blocks remain. cCFData is taken as the
    // true count of the folder's blocks: a folder that runs out of blocks
    // before a read is done is bad data, and the walk never leaves the folder.
    DataBlockHeader block_ = {};
    uint64_t dataAt_ = 0;
    uint64_t nextHeader_ = 0;
    uint32_t blocksLeft_ = 0;
    // A decoded folder's current block, whole.
    std::vector<uint8_t> in_, out_;
};

}  // namespace mirad
