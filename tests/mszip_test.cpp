// The MSZIP block decoder on its own: a folder's blocks decode in order with
// the folder's history, and every way a block can lie fails it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cabinet/layout.h"
#include "cabinet/mszip.h"
#include "tests/fixture.h"

using fixture::Bytes;
using mirad::MszipDecoder;

namespace {

// A folder cut into blocks of `blockSize`, each encoded the way MSZIP writers
// do it: "CK" and a deflate stream primed with everything before it.
struct Folder {
    Bytes data;
    std::vector<Bytes> blocks;
    std::vector<uint32_t> sizes;
};

Folder MakeFolder(const Bytes& data, size_t blockSize) {
    Folder f;
    f.data = data;
    for (size_t at = 0; at < data.size() || f.blocks.empty(); at += blockSize) {
        size_t n = std::min(blockSize, data.size() - at);
        Bytes piece(data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + n));
        size_t keep = std::min<size_t>(at, 32768);
        Bytes stream = fixture::Deflate(piece, data.data() + at - keep, keep);
        Bytes block = {'C', 'K'};
        block.insert(block.end(), stream.begin(), stream.end());
        f.blocks.push_back(block);
        f.sizes.push_back(static_cast<uint32_t>(n));
        if (n == 0) break;
    }
    return f;
}

// Text that repeats at distances up to `reach`, so streams refer back across blocks.
Bytes Repetitive(size_t size, size_t reach) {
    Bytes head = fixture::Pattern(reach, 3);
    Bytes out;
    while (out.size() < size) {
        out.insert(out.end(), head.begin(), head.end());
        const std::string words = "shared text between blocks ";
        out.insert(out.end(), words.begin(), words.end());
    }
    out.resize(size);
    return out;
}

std::string DecodeAll(MszipDecoder& d, const Folder& f, Bytes* out) {
    d.Reset();
    out->clear();
    for (size_t i = 0; i < f.blocks.size(); ++i) {
        Bytes part(f.sizes[i]);
        const char* why = d.Decode(f.blocks[i].data(), static_cast<uint32_t>(f.blocks[i].size()), part.data(),
                                   f.sizes[i]);
        if (why) return why;
        out->insert(out->end(), part.begin(), part.end());
    }
    return "";
}

TEST(Mszip, FoldersDecodeWithTheirHistory) {
    struct Case {
        const char* what;
        Bytes data;
        size_t blockSize;
    } cases[] = {
        {"random bytes, full blocks and a short last one", fixture::Pattern(3 * 32768 + 1234, 1), 32768},
        {"references reaching back a whole block", Repetitive(5 * 32768, 30000), 32768},
        {"short blocks: history spans several of them", Repetitive(200000, 20000), 1000},
        {"one byte", Bytes{'x'}, 32768},
        {"an empty folder's empty block", Bytes{}, 32768},
    };
    MszipDecoder d;
    ASSERT_TRUE(d.ok());
    for (const Case& c : cases) {
        Folder f = MakeFolder(c.data, c.blockSize);
        Bytes out;
        EXPECT_EQ(DecodeAll(d, f, &out), "") << c.what;
        EXPECT_TRUE(out == c.data) << c.what;
        // Decoding again after Reset gives the same: no history leaks across folders.
        EXPECT_EQ(DecodeAll(d, f, &out), "") << c.what;
        EXPECT_TRUE(out == c.data) << c.what;
    }
}

TEST(Mszip, EveryLyingBlockFails) {
    Folder f = MakeFolder(Repetitive(2 * 32768, 30000), 32768);
    const Bytes& good = f.blocks[1];
    Bytes noCk = good;
    noCk[1] = 'X';
    struct Case {
        const char* what;
        Bytes block;
        uint32_t cbUncomp;
    } cases[] = {
        {"no CK", noCk, 32768},
        {"only CK", Bytes{'C', 'K'}, 32768},
        {"nothing at all", Bytes{}, 32768},
        {"stream cut short", Bytes(good.begin(), good.begin() + static_cast<long>(good.size() / 2)), 32768},
        {"more than cbUncomp", good, 32767},
        {"fewer than cbUncomp", good, 32768},  // block replaced below
        {"garbage after CK", Bytes{'C', 'K', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 100},
        {"cbUncomp beyond 32 KiB", good, 32769},
    };
    // The fewer-bytes case: a good stream for 32767 bytes, claimed as 32768.
    {
        Folder shorter = MakeFolder(Bytes(f.data.begin(), f.data.begin() + 32768 + 32767), 32768);
        cases[5].block = shorter.blocks[1];
    }
    MszipDecoder d;
    for (const Case& c : cases) {
        d.Reset();
        Bytes first(32768);
        ASSERT_EQ(d.Decode(f.blocks[0].data(), static_cast<uint32_t>(f.blocks[0].size()), first.data(), 32768),
                  nullptr);
        Bytes out(32769);
        EXPECT_NE(d.Decode(c.block.data(), static_cast<uint32_t>(c.block.size()), out.data(), c.cbUncomp), nullptr)
            << c.what;
        // Nothing after a bad block decodes until the folder starts over.
        EXPECT_NE(d.Decode(good.data(), static_cast<uint32_t>(good.size()), out.data(), 32768), nullptr) << c.what;
    }
    // Without the first block's history the second cannot be right.
    d.Reset();
    Bytes out(32768);
    const char* why = d.Decode(good.data(), static_cast<uint32_t>(good.size()), out.data(), 32768);
    EXPECT_TRUE(why != nullptr || out != Bytes(f.data.begin() + 32768, f.data.end()));
}

TEST(Mszip, ChecksumCoversDataAndBothSizes) {
    // The block checksum of the format, on a compressed block: the data
    // words, then cbData and cbUncomp; a short tail counts most significant
    // byte first.
    const uint8_t data[] = {'C', 'K', 1, 2, 3, 4, 5};
    uint32_t words = (uint32_t{'C'} | uint32_t{'K'} << 8 | 1u << 16 | 2u << 24) ^ (3u << 16 | 4u << 8 | 5u);
    uint32_t expected = words ^ (7u | 100u << 16);
    EXPECT_EQ(mirad::DataBlockChecksum(data, 7, 100), expected);
    EXPECT_NE(mirad::DataBlockChecksum(data, 7, 101), expected);
}

}  // namespace
