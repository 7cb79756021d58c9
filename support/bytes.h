// Little-endian field access and one bounds-checked reader over a byte range.
// Records are never cast to structs: packing differs between our Linux and
// MinGW builds, and size_t is 32 bits in the DLL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mirad {

inline uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(static_cast<uint16_t>(p[0]) | (static_cast<uint16_t>(p[1]) << 8));
}

inline uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void put_le16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void put_le32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Reading past the end sets `failed`, yields zeros and does not advance, so a
// whole record can be decoded and checked once.
struct ByteReader {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    bool failed = false;
};

inline bool CanRead(const ByteReader& r, size_t n) { return !r.failed && r.pos <= r.size && n <= r.size - r.pos; }

inline bool ReadBytes(ByteReader& r, void* out, size_t n) {
    if (!CanRead(r, n)) {
        r.failed = true;
        if (out && n) std::memset(out, 0, n);
        return false;
    }
    if (n) std::memcpy(out, r.data + r.pos, n);
    r.pos += n;
    return true;
}

inline uint8_t Read8(ByteReader& r) {
    uint8_t b[1];
    ReadBytes(r, b, 1);
    return b[0];
}

inline uint16_t Read16(ByteReader& r) {
    uint8_t b[2];
    ReadBytes(r, b, 2);
    return le16(b);
}

inline uint32_t Read32(ByteReader& r) {
    uint8_t b[4];
    ReadBytes(r, b, 4);
    return le32(b);
}

inline bool Skip(ByteReader& r, size_t n) {
    if (!CanRead(r, n)) {
        r.failed = true;
        return false;
    }
    r.pos += n;
    return true;
}

// Absolute positioning; a position past the end fails.
inline bool SeekTo(ByteReader& r, uint64_t pos) {
    if (pos > r.size) {
        r.failed = true;
        return false;
    }
    r.pos = static_cast<size_t>(pos);
    return true;
}

}  // namespace mirad
