// How one folder's data blocks become its uncompressed bytes. The block
// source (block_source.h) walks the blocks and asks the folder's decoder
// for each one; a new compression type is one more decoder here and one
// more case in MakeDecoder.
#pragma once

#include <cstdint>
#include <memory>

#include "cabinet/format.h"
#include "support/error.h"

namespace mirad {

class FolderDecoder {
public:
    virtual ~FolderDecoder() = default;

    // Stored data needs no decoding: the block source reads the part it
    // needs straight from the cabinet and never calls Decode.
    virtual bool Stored() const { return false; }

    // The uncompressed bytes a block yields, known from its header alone.
    virtual uint32_t UncompressedSize(const DataBlockHeader& block) const = 0;

    // Back to the folder's first block: forget any history.
    virtual void Reset() {}

    // Decodes one whole block. Blocks come in folder order from the first
    // after a Reset, so a decoder may keep history across them (the
    // previous block's output, for MSZIP). `in` holds the block's cbData
    // bytes; `out` has room for UncompressedSize(block) bytes, all of which
    // must be filled.
    virtual Error Decode(const DataBlockHeader& block, const uint8_t* in, uint8_t* out) = 0;
};

// The decoder for a folder's typeCompress: stored (0) or MSZIP (1); null
// for a type not handled (LZX, Quantum).
std::unique_ptr<FolderDecoder> MakeDecoder(uint16_t typeCompress);
// Whether MakeDecoder has a decoder for the type (without making one).
bool CanDecode(uint16_t typeCompress);
// The method of a folder's typeCompress (its low four bits; the rest tune
// LZX and Quantum).
uint16_t CompressionMethod(uint16_t typeCompress);
// The compression method's name: "none", "MSZIP", "Quantum" or "LZX"; null
// for a method the format does not define.
const char* MethodName(uint16_t typeCompress);

}  // namespace mirad
