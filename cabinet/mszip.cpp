#include "cabinet/mszip.h"

#include <zlib.h>

#include <cstring>
#include <new>

#include "support/bytes.h"

namespace mirad {

namespace {
constexpr int kRawDeflate = -15;  // no zlib header, 32 KiB window
z_stream* Stream(void* p) { return static_cast<z_stream*>(p); }

// zlib's state and window come from the same heap as the folder's other
// buffers, so whatever watches the module's memory sees them too.
voidpf Take(voidpf, uInt items, uInt size) {
    return ::operator new(static_cast<size_t>(items) * size, std::nothrow);
}
void Give(voidpf, voidpf p) { ::operator delete(p); }
}  // namespace

MszipDecoder::MszipDecoder() {
    window_ = new (std::nothrow) uint8_t[kWindow];
    z_stream* z = new (std::nothrow) z_stream();
    if (!window_ || !z) {
        delete z;
        return;
    }
    z->zalloc = Take;
    z->zfree = Give;
    if (inflateInit2(z, kRawDeflate) != Z_OK) {
        delete z;
        return;
    }
    stream_ = z;
}

MszipDecoder::~MszipDecoder() {
    if (stream_) {
        inflateEnd(Stream(stream_));
        delete Stream(stream_);
    }
    delete[] window_;
}

void MszipDecoder::Reset() {
    windowUsed_ = 0;
    broken_ = false;
}

void MszipDecoder::Remember(const uint8_t* out, uint32_t count) {
    if (count >= kWindow) {
        std::memcpy(window_, out + (count - kWindow), kWindow);
        windowUsed_ = kWindow;
        return;
    }
    uint32_t keep = windowUsed_ + count > kWindow ? kWindow - count : windowUsed_;
    if (keep < windowUsed_) std::memmove(window_, window_ + (windowUsed_ - keep), keep);
    if (count) std::memcpy(window_ + keep, out, count);
    windowUsed_ = keep + count;
}

const char* MszipDecoder::Decode(const uint8_t* in, uint32_t cbData, uint8_t* out, uint32_t cbUncomp) {
    if (!stream_) return "no memory for the decoder";
    if (broken_) return "an earlier block of the folder was bad";
    if (cbUncomp > kMaxBlock) {
        broken_ = true;
        return "block larger than 32 KiB";
    }
    if (cbData < 2 || in[0] != 'C' || in[1] != 'K') {
        broken_ = true;
        return "block does not start with CK";
    }
    z_stream* z = Stream(stream_);
    if (inflateReset(z) != Z_OK || (windowUsed_ && inflateSetDictionary(z, window_, windowUsed_) != Z_OK)) {
        broken_ = true;
        return "decoder state lost";
    }
    // The stream must end exactly when cbUncomp bytes are out: with no room
    // beyond them, a stream that has more to give cannot reach its end.
    // Bytes after the stream's end within cbData are not looked at.
    uint8_t spare = 0;  // zlib wants somewhere to point at for an empty block
    z->next_in = const_cast<Bytef*>(in + 2);
    z->avail_in = cbData - 2;
    z->next_out = cbUncomp ? out : &spare;
    z->avail_out = cbUncomp;
    int rc = inflate(z, Z_FINISH);
    if (rc != Z_STREAM_END) {
        broken_ = true;
        if (rc == Z_DATA_ERROR) return "deflate stream invalid";
        return z->avail_out == 0 ? "block decodes to more than cbUncomp bytes" : "deflate stream cut short";
    }
    if (z->avail_out != 0) {
        broken_ = true;
        return "block decodes to fewer than cbUncomp bytes";
    }
    Remember(out, cbUncomp);
    return nullptr;
}

MszipEncoder::MszipEncoder(int level) {
    window_ = new (std::nothrow) uint8_t[kWindow];
    z_stream* z = new (std::nothrow) z_stream();
    if (!window_ || !z) {
        delete z;
        return;
    }
    if (deflateInit2(z, level, Z_DEFLATED, kRawDeflate, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        delete z;
        return;
    }
    stream_ = z;
}

MszipEncoder::~MszipEncoder() {
    if (stream_) {
        deflateEnd(Stream(stream_));
        delete Stream(stream_);
    }
    delete[] window_;
}

void MszipEncoder::Remember(const uint8_t* in, uint32_t count) {
    if (count >= kWindow) {
        std::memcpy(window_, in + (count - kWindow), kWindow);
        windowUsed_ = kWindow;
        return;
    }
    uint32_t keep = windowUsed_ + count > kWindow ? kWindow - count : windowUsed_;
    if (keep < windowUsed_) std::memmove(window_, window_ + (windowUsed_ - keep), keep);
    std::memcpy(window_ + keep, in, count);
    windowUsed_ = keep + count;
}

uint32_t MszipEncoder::Encode(const uint8_t* in, uint32_t count, uint8_t* out) {
    out[0] = 'C';
    out[1] = 'K';
    z_stream* z = Stream(stream_);
    // Deflate gets less room than the stored form takes: when it cannot
    // finish in that, the data does not shrink and goes as a stored block.
    bool deflated = z && deflateReset(z) == Z_OK &&
                    (windowUsed_ == 0 || deflateSetDictionary(z, window_, windowUsed_) == Z_OK);
    if (deflated) {
        z->next_in = const_cast<Bytef*>(in);
        z->avail_in = count;
        z->next_out = out + 2;
        z->avail_out = count + 4;
        deflated = deflate(z, Z_FINISH) == Z_STREAM_END;
    }
    uint32_t cbData;
    if (deflated) {
        cbData = 2 + static_cast<uint32_t>(z->total_out);
    } else {
        // One final stored block: BFINAL set, type 0, then LEN and ~LEN.
        out[2] = 0x01;
        put_le16(out + 3, static_cast<uint16_t>(count));
        put_le16(out + 5, static_cast<uint16_t>(~count));
        std::memcpy(out + 7, in, count);
        cbData = count + kMaxGrowth;
    }
    Remember(in, count);
    return cbData;
}

}  // namespace mirad
