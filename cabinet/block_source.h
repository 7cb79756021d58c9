// One folder's uncompressed byte stream: the one place that reads a folder's
// data blocks, skips their reserves, checks their checksums, applies the
// folder's offset rule, decodes them and hands out bytes from any offset.
//
// - The folder's blocks are indexed once, on its first read that goes past
//   its first block (opening a cabinet reads no block): each block's data
//   offset, sizes and position in the folder's stream. Finding the block
//   that holds an offset is a binary search, and the offset rule is decided
//   from the same index.
// - The block read last stays, with its decoded bytes and the decoder's
//   history, so reading a folder's files in order reads and decodes each
//   block once. A compressed folder is decoded from its first block again
//   only when a read goes back; a read decodes up to its last byte and no
//   further.
// - A read that needs several blocks takes them from the file in runs of
//   up to kRunBytes, one system call a run (the blocks of a folder lie back
//   to back), and checks and delivers each block where it lies in the run.
//   A run never goes past the last block the read needs.
// - Memory while the folder is open (the cabinet keeps a source only for
//   the folders being read): one run of blocks as stored and one block
//   decoded, the decoder's state, and 12 bytes of index per block.
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

// The reason of the error for a sink that refused bytes.
extern const char kSinkRefused[];
// The reason of the error for a block that does not match its checksum.
extern const char kChecksumMismatch[];

// Whether the blocks a read needs must match their checksums.
enum class Checksums : uint8_t { Verify, Ignore };

class BlockSource {
public:
    // `stream` is the cabinet's, shared by all its folders. `filesEnd` is
    // where the folder's furthest file ends by its recorded offset and size:
    // past the data a stored folder's blocks hold, the folder was written with
    // header-counted offsets.
    BlockSource(CabinetStream& stream, const CabFolder& folder, uint8_t cbCFData,
                std::unique_ptr<FolderDecoder> decoder, uint64_t filesEnd = 0);

    // Delivers `count` bytes from where the folder's offset rule places
    // `offset` (a file's uoffFolderStart) to `sink`, in chunks of at most
    // `chunk` bytes (at most 32768) that never cross a block boundary.
    // BadData when the blocks do not hold them (or the offset falls inside a
    // block header, or a block needed does not match its non-zero checksum);
    // CannotCreate when the sink refused bytes.
    Error Read(uint64_t offset, uint64_t count, const ByteSink& sink, size_t chunk,
               Checksums checksums = Checksums::Verify);

    // The header of the block read last.
    const DataBlockHeader& CurrentBlock() const { return header_; }
    // The folder's offset rule (indexes the folder when it has not been read).
    bool HeaderCountedOffsets();
    // Blocks decoded so far, compressed folders only.
    uint64_t BlocksDecoded() const { return decoded_; }

private:
    struct Block {
        uint32_t dataAt;  // absolute offset of its data (a cabinet is below 4 GiB)
        uint32_t start;   // its first byte's place in the folder's stream
        uint16_t cbData;
        uint16_t cbUncomp;
    };
    static constexpr size_t kNone = static_cast<size_t>(-1);
    // Four of the largest blocks with their headers and largest reserves.
    static constexpr size_t kRunBytes = 4 * (cfdata::Size + 255 + cfdata::MaxData);

    Error Index();
    Error IndexBlock(size_t k, uint64_t at, uint64_t position, bool* lasting);
    bool InFirstBlock(uint64_t offset, uint64_t count);
    uint32_t Size(size_t k) const { return decoder_->Stored() ? blocks_[k].cbData : blocks_[k].cbUncomp; }
    // The first block whose data reaches `offset` by the folder's rule
    // (the block count when none does).
    size_t Reaching(uint64_t offset) const;
    // The block holding `offset` by the folder's rule, and the offset in it.
    Error Locate(uint64_t offset, size_t* block, uint32_t* within);
    // Makes block `k` the current one: read, checked as asked, decoded.
    // Blocks up to `last` may be read with it.
    Error Load(size_t k, size_t last, Checksums checksums);
    // Makes block k's bytes as stored available at block_ (read with the
    // blocks after it up to `last` unless the run read last holds it);
    // false in `*matches` when it differs from its checksum.
    Error ReadBlock(size_t k, size_t last, bool* matches);
    // Reads blocks first..end-1 into in_ with one read.
    bool ReadRun(size_t first, size_t end);
    Error Mismatch(size_t k) const;

    CabinetStream& stream_;
    CabFolder folder_;
    uint8_t cbCFData_;
    std::unique_ptr<FolderDecoder> decoder_;
    uint64_t filesEnd_;

    bool indexed_ = false;
    Error indexError_;
    std::vector<Block> blocks_;
    bool headerCounted_ = false;

    // The blocks read last, as stored: blocks runFirst_..runEnd_-1 back to
    // back in in_, which grows to the longest run and is never cleared: every
    // byte of a run is read into it before it is used.
    std::unique_ptr<uint8_t[]> in_;
    size_t inCapacity_ = 0;
    size_t runFirst_ = 0, runEnd_ = 0;
    // The current block: its index, header, its bytes as stored (in in_)
    // and (decoded folders) its output; for a stored folder whether it
    // matches its checksum.
    size_t current_ = kNone;
    bool currentMatches_ = false;
    DataBlockHeader header_ = {};
    const uint8_t* block_ = nullptr;
    std::vector<uint8_t> out_;
    // Decoded folders: the first block of the decoded run that did not match
    // its checksum (a checked read of it or of any later block fails: their
    // history is suspect), and the first block that could not be decoded
    // (every read of it or a later block fails). A damaged folder thus costs
    // no new walk per file.
    size_t runMismatch_ = kNone;
    size_t undecodable_ = kNone;
    Error decodeError_;
    uint64_t decoded_ = 0;
};

}  // namespace mirad
