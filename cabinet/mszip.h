// One MSZIP folder's blocks, decoded or encoded in order through zlib's raw
// deflate.
//
// A block's data is the two bytes "CK" and one deflate stream; the stream
// may refer back into everything the folder has produced so far, at most
// the last 32 KiB, so both sides keep that much of the folder's bytes
// between blocks. Memory stays fixed whatever the folder's size: the window
// here and zlib's own state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirad {

class MszipDecoder {
public:
    static constexpr uint32_t kWindow = 32768;    // deflate's reach, and the format's largest block
    static constexpr uint32_t kMaxBlock = 32768;  // cbUncomp at most

    MszipDecoder();
    ~MszipDecoder();
    MszipDecoder(const MszipDecoder&) = delete;
    MszipDecoder& operator=(const MszipDecoder&) = delete;

    // False when zlib could not get its state (out of memory).
    bool ok() const { return stream_ != nullptr; }

    // Back to the folder's first block: no history.
    void Reset();

    // Decodes the next block of the folder: `in` holds its cbData bytes and
    // `out` receives exactly `cbUncomp` bytes. Null on success; otherwise why
    // the block is bad (no "CK", a stream that ends early, is cut short or
    // yields more than cbUncomp bytes). A failed block leaves the history
    // unusable: Reset before decoding again.
    const char* Decode(const uint8_t* in, uint32_t cbData, uint8_t* out, uint32_t cbUncomp);

private:
    void Remember(const uint8_t* out, uint32_t count);

    void* stream_ = nullptr;  // z_stream, kept out of this header
    uint8_t* window_ = nullptr;
    uint32_t windowUsed_ = 0;
    bool broken_ = false;
};

// Writes a folder's blocks: each one "CK" and a deflate stream that ends with
// a final deflate block on a byte boundary, so it decodes on its own given
// the folder's previous 32 KiB, as every reader of the format decodes.
class MszipEncoder {
public:
    static constexpr uint32_t kWindow = MszipDecoder::kWindow;
    static constexpr uint32_t kMaxBlock = MszipDecoder::kMaxBlock;
    // The format's largest cbData of an MSZIP block.
    static constexpr uint32_t kMaxData = 32768 + 12;
    // A block takes at most its data plus this: "CK" and the 5-byte header
    // of one stored deflate block, written when deflate would not shrink it.
    static constexpr uint32_t kMaxGrowth = 7;
    // The zlib level used unless a caller asks for another: on installer
    // data the fastest level whose cabinets stay within 1 % of what other
    // writers make, at two thirds of the next level's time (bench/RESULTS.md).
    static constexpr int kDefaultLevel = 5;

    explicit MszipEncoder(int level = kDefaultLevel);
    ~MszipEncoder();
    MszipEncoder(const MszipEncoder&) = delete;
    MszipEncoder& operator=(const MszipEncoder&) = delete;

    bool ok() const { return stream_ != nullptr; }

    // Back to the folder's first block: no history.
    void Reset() { windowUsed_ = 0; }

    // Encodes the folder's next block of `count` bytes (1 to 32768) into
    // `out`, which has room for kMaxData bytes; returns its cbData, at most
    // count + kMaxGrowth. The block joins the history of the next one.
    uint32_t Encode(const uint8_t* in, uint32_t count, uint8_t* out);

private:
    void Remember(const uint8_t* in, uint32_t count);

    void* stream_ = nullptr;  // z_stream
    uint8_t* window_ = nullptr;
    uint32_t windowUsed_ = 0;
};

}  // namespace mirad
