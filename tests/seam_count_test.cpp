// Extracting every entry of a one-folder cabinet reads each block about once:
// the reads and seeks the I/O seam sees grow with the number of blocks, not
// with files x blocks (a folder walked again from its first block for every
// file it holds). Counts, not times: the test is exact on every machine.
#include <gtest/gtest.h>

#include "cabinet/cabinet.h"
#include "support/io.h"
#include "tests/fixture.h"

namespace {

using namespace mirad;

struct Counts {
    size_t reads = 0, seeks = 0;
};
Counts g_counts;  // the seam is process-wide, so its counters are too

size_t CountRead(void*, IoFile* f, void* buffer, size_t count) {
    ++g_counts.reads;
    return DefaultIo().read(DefaultIo().context, f, buffer, count);
}
bool CountSeek(void*, IoFile* f, uint64_t offset) {
    ++g_counts.seeks;
    return DefaultIo().seek(DefaultIo().context, f, offset);
}

struct Walk {
    size_t blocks = 0;
    Counts counts;
};

// A cabinet as gcab writes it: `files` files of 1 to 4 KiB back to back in
// the 32 KiB blocks of one folder. Every file is read once, in order, and
// checked against what was stored.
Walk ExtractEvery(size_t files) {
    std::vector<fixture::StoredFile> stored;
    uint32_t x = 7;
    for (size_t i = 0; i < files; ++i) {
        x = x * 1664525u + 1013904223u;
        char name[16];
        std::snprintf(name, sizeof name, "F%05zu.%03zu", i, i % 1000);
        stored.push_back({name, fixture::Pattern(1024 + (x >> 8) % 3073, static_cast<uint32_t>(i))});
    }
    fixture::CabLayout layout;
    fixture::TempDir dir;
    fixture::WriteFile(dir / "one.cab", fixture::BuildCabinet(stored, {}, &layout));

    IoSystem counting = DefaultIo();
    counting.read = CountRead;
    counting.seek = CountSeek;
    Walk run;
    run.blocks = layout.blockOffsets.size();
    Cabinet cabinet;
    EXPECT_FALSE(cabinet.Read(IoHandle(IoOpen((dir / "one.cab").c_str(), IoMode::Read))));
    g_counts = Counts();
    SetIo(&counting);
    for (uint32_t i = 0; i < files; ++i) {
        fixture::Bytes got;
        Error e = cabinet.ReadFile(i, [&](const uint8_t* data, size_t n) {
            got.insert(got.end(), data, data + n);
            return true;
        });
        EXPECT_FALSE(e) << "file " << i;
        EXPECT_EQ(got, stored[i].data) << "file " << i;
    }
    SetIo(nullptr);
    run.counts = g_counts;
    return run;
}

// Disabled until the block source indexes each folder's blocks once and goes
// on from where the last file ended: today every file walks its folder again
// from the first block (82,635 reads and seeks for 1,000 files in 79 blocks,
// 321,015 for 2,000 files in 157 blocks). Run it with
// --gtest_also_run_disabled_tests.
TEST(SeamCount, DISABLED_ExtractingEveryFileOfOneFolderGrowsWithItsBlocks) {
    Walk half = ExtractEvery(1000), full = ExtractEvery(2000);
    size_t halfOps = half.counts.reads + half.counts.seeks, fullOps = full.counts.reads + full.counts.seeks;
    ASSERT_GT(half.blocks, 0u);
    ASSERT_GT(halfOps, 0u);
    // Twice the files in about twice the blocks: the calls may double, not
    // quadruple (a rewalk per file makes them grow with files x blocks).
    double blockGrowth = static_cast<double>(full.blocks) / half.blocks;
    double opGrowth = static_cast<double>(fullOps) / halfOps;
    EXPECT_LE(opGrowth, blockGrowth * 1.25) << halfOps << " calls for " << half.blocks << " blocks, " << fullOps
                                            << " for " << full.blocks;
    // And in absolute terms: a seek and a read or two per file, a few per block.
    EXPECT_LE(fullOps, 2 * 2000 + 4 * full.blocks) << full.counts.reads << " reads, " << full.counts.seeks
                                                  << " seeks, " << full.blocks << " blocks";
}

}  // namespace
