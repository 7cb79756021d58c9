// One MSZIP folder's blocks, decoded in order through zlib's raw inflate.
//
// A block's data is the two bytes "CK" and one deflate stream; the stream
// may refer back into everything the folder has produced so far, at most
// the last 32 KiB, so the decoder keeps that much of its output between
// blocks. Memory stays fixed whatever the folder's size: the window here and
// zlib's own state.
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

}  // namespace mirad
