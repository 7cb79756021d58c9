// The MSZIP block decoder on its own: a folder's blocks decode in order with
// the folder's history, and every way a block can lie fails it.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cabinet/cabinet.h"
#include "cabinet/layout.h"
#include "cabinet/mszip.h"
#include "fuzz/memory_io.h"
#include "interface/exports.h"
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

// What the encoder writes: each block is "CK" and one deflate stream that
// inflates on its own, with zlib given only the folder's previous 32 KiB,
// stays within the format's size, and uses that history; the decoder reads
// the folder back, also after a Reset between folders.
TEST(Mszip, EncodedBlocksStandAloneGivenTheirWindow) {
    struct Case {
        const char* what;
        Bytes data;
        uint32_t firstMax, laterMax;  // cbData of the first block and of the others
    } cases[] = {
        {"random bytes: deflate's stored form, 7 bytes over", fixture::Pattern(3 * 32768 + 1234, 1), 32768 + 7,
         32768 + 7},
        {"zeros", Bytes(5 * 32768, 0), 100, 100},
        {"text that repeats at a distance of 30000", Repetitive(5 * 32768, 30000), 32768 + 7, 3000},
        {"one byte", Bytes{'x'}, 8, 0},
        {"32767 random bytes", fixture::Pattern(32767, 2), 32767 + 7, 0},
        {"32769 random bytes", fixture::Pattern(32769, 3), 32768 + 7, 8},
    };
    mirad::MszipEncoder encoder;
    MszipDecoder decoder;
    ASSERT_TRUE(encoder.ok() && decoder.ok());
    for (int folder = 0; folder < 2; ++folder) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            encoder.Reset();
            decoder.Reset();
            Bytes block(mirad::MszipEncoder::kMaxData), window, inflated, decoded(32768);
            for (size_t at = 0; at < c.data.size(); at += 32768) {
                uint32_t n = static_cast<uint32_t>(std::min<size_t>(32768, c.data.size() - at));
                uint32_t cb = encoder.Encode(c.data.data() + at, n, block.data());
                EXPECT_LE(cb, at == 0 ? c.firstMax : c.laterMax) << "block at " << at;
                EXPECT_LE(cb, n + mirad::MszipEncoder::kMaxGrowth);
                ASSERT_EQ(fixture::InflateBlock(block.data(), cb, n, window.data(), window.size(), &inflated), "")
                    << "block at " << at;
                EXPECT_TRUE(std::equal(inflated.begin(), inflated.end(), c.data.begin() + static_cast<long>(at)));
                ASSERT_EQ(decoder.Decode(block.data(), cb, decoded.data(), n), nullptr);
                EXPECT_TRUE(std::equal(decoded.begin(), decoded.begin() + n, c.data.begin() + static_cast<long>(at)));
                window.insert(window.end(), inflated.begin(), inflated.end());
            }
        }
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

// ---- MSZIP cabinets through the exports ------------------------------------------------

namespace {

using fixture::CabLayout;
using fixture::CabOptions;
using fixture::CeSetup;
using fixture::ModuleEnv;
using fixture::StoredFile;
using fixture::Quote;

CeSetup GameSetup() {
    CeSetup s;
    s.appName = "Game";
    s.provider = "Maker";
    s.strings = {{1, "%CE1%\\Game"}, {2, "Bin"}, {3, "Game.lnk"}, {4, "Software"}, {5, "Game"}};
    s.directories = {{1, {1}}, {2, {1, 2}}};
    s.copyFiles = {{1, 1, "game.exe"}, {2, 2, "engine.dll"}, {3, 1, "empty.txt"}, {4, 2, "data.bin"}};
    s.hives = {{1, 2, {4, 5}}};
    s.values = {{1, 0x00000000, "Path", fixture::BytesOf("\"%InstallDir%\\game.exe\"")},
                {1, 0x00010001, "Runs", {7, 0, 0, 0}}};
    fixture::CeShortcut link;
    link.id = 1;
    link.baseMacro = 11;
    link.targetId = 1;
    link.nameStringId = 3;
    s.shortcuts = {link};
    return s;
}

// Random bytes, text that compresses, one byte past a block, and nothing.
std::vector<StoredFile> Files() {
    return {{"game.001", fixture::Pattern(5000, 1)},
            {"engine.002", Repetitive(70000, 9000)},
            {"empty.003", {}},
            {"data.004", fixture::Pattern(32769, 4)}};
}

std::map<std::string, Bytes> Extracted(ModuleEnv& env, const std::string& cab, const std::string& sub) {
    auto codes = env.Process(cab, MIRAD_EXTRACT, sub);
    for (int32_t c : codes) EXPECT_EQ(c, 0) << cab;
    EXPECT_FALSE(codes.empty());
    return fixture::FilesBelow(env.dir / sub);
}

// Every view of an MSZIP CE cabinet (the setup file compressed too, folders of
// two files, blocks shared between files) lists, extracts and tests exactly
// as the same cabinet stored; cabextract gives the same stored bytes.
TEST(MszipCabinets, ReadExactlyAsTheirStoredTwin) {
    ModuleEnv env;
    CabOptions stored, zipped;
    stored.filesPerFolder = zipped.filesPerFolder = 2;
    stored.checksums = zipped.checksums = true;
    zipped.mszip = true;
    // One name for both: the INF names its cabinet.
    env.Options(true, true, true, true, true);
    const std::string plain = env.Cab("game.cab", fixture::BuildCeCabinet(GameSetup(), Files(), stored));
    const std::vector<std::string> names = env.Names(plain);
    const auto plainOut = Extracted(env, plain, "plain");
    const std::string zip = env.Cab("game.cab", fixture::BuildCeCabinet(GameSetup(), Files(), zipped));
    EXPECT_EQ(env.Names(zip), names);
    EXPECT_EQ(names.size(), 7u);  // four files, a shortcut, two documents
    EXPECT_EQ(Extracted(env, zip, "zip"), plainOut);
    for (int32_t c : env.Process(zip, MIRAD_TEST, "t")) EXPECT_EQ(c, 0);

    env.Options(false, false, false, false, false);
    auto peer = fixture::Run("cabextract -q -d " + Quote(env.dir / "peer") + " " + Quote(zip));
    ASSERT_EQ(peer.status, 0) << peer.out;
    EXPECT_EQ(Extracted(env, zip, "zip-stored"), fixture::FilesBelow(env.dir / "peer"));
}

// Damage to one block fails the entries that need it with bad data and
// leaves nothing under their names; the other folder is unaffected.
TEST(MszipCabinets, DamagedBlockFailsOnlyItsEntries) {
    // Folder 0: a (40000) and b (30000) in blocks 0..2, block 1 shared; folder 1: c.
    const std::vector<StoredFile> files = {{"a", Repetitive(40000, 5000)}, {"b", fixture::Pattern(30000, 2)},
                                           {"c", fixture::BytesOf("untouched")}};
    struct Case {
        const char* what;
        std::function<void(Bytes&, uint16_t&)> damage;
        bool badChecksum;
    } cases[] = {
        {"bad CK", [](Bytes& d, uint16_t&) { d[0] = 'Z'; }, false},
        {"stream cut short", [](Bytes& d, uint16_t&) { d.resize(d.size() / 2); }, false},
        {"decodes to fewer than cbUncomp", [](Bytes&, uint16_t& u) { ++u; }, false},
        {"decodes to more than cbUncomp", [](Bytes&, uint16_t& u) { --u; }, false},
        {"checksum does not match", nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ModuleEnv env;
        env.Options(false, false, false, false, false);
        CabOptions o;
        o.mszip = o.checksums = true;
        o.filesPerFolder = 2;
        if (c.damage) o.damage = [&](size_t block, Bytes& d, uint16_t& u) { if (block == 1) c.damage(d, u); };
        CabLayout layout;
        Bytes cab = fixture::BuildCabinet(files, o, &layout);
        if (c.badChecksum) cab[layout.blockOffsets[1]] ^= 1;
        const std::string path = env.Cab("d.cab", cab);
        EXPECT_EQ(env.Names(path), (std::vector<std::string>{"a", "b", "c"}));
        EXPECT_EQ(env.Process(path, MIRAD_TEST, "t"), (std::vector<int32_t>{12, 12, 0}));
        EXPECT_EQ(env.Process(path, MIRAD_EXTRACT, "x"), (std::vector<int32_t>{12, 12, 0}));
        EXPECT_FALSE(fixture::FileExists(env.dir / "x/a"));
        EXPECT_FALSE(fixture::FileExists(env.dir / "x/b"));
        EXPECT_EQ(fixture::ReadFile(env.dir / "x/c"), files[2].data);
    }
}

// The setup file is read whatever its blocks' checksums say, as it always
// was: a wrong one still gives the installed view, and testing finds it.
TEST(MszipCabinets, SetupFileReadDespiteItsChecksum) {
    for (bool zip : {false, true}) {
        SCOPED_TRACE(zip ? "MSZIP" : "stored");
        ModuleEnv env;
        CabOptions o;
        o.mszip = zip;
        o.checksums = true;
        o.filesPerFolder = 1;  // SETUP.000 alone in folder 0, block 0
        CabLayout layout;
        std::vector<StoredFile> files = Files();
        files.insert(files.begin(), StoredFile{"SETUP.000", fixture::BuildSetupFile(GameSetup())});
        Bytes cab = fixture::BuildCabinet(files, o, &layout);
        cab[layout.blockOffsets[0]] ^= 0x40;
        const std::string path = env.Cab("ce.cab", cab);
        env.Options(true, true, false, false, false);
        EXPECT_EQ(env.Names(path).size(), 4u);
        EXPECT_EQ(env.Names(path)[0].rfind("Program Files", 0), 0u);  // the installed view
        env.Options(false, false, false, false, false);
        auto tested = fixture::ExtractAll(env.m, path, env.dir / "t", MIRAD_TEST);
        EXPECT_EQ(tested.size(), 5u);
        for (const auto& t : tested) EXPECT_EQ(t.second, t.first == "SETUP.000" ? 12 : 0) << t.first;
    }
}

// Cabinets gcab compresses: a plain one against cabextract, and a CE one
// whose every view equals the stored fixture twin's.
TEST(MszipCabinets, GcabCabinetsReadLikeCabextract) {
    if (!fixture::HaveTool("gcab") || !fixture::HaveTool("cabextract")) GTEST_SKIP() << "gcab or cabextract missing";
    ModuleEnv env;
    std::vector<StoredFile> files = Files();
    files.insert(files.begin(), StoredFile{"SETUP.000", fixture::BuildSetupFile(GameSetup())});
    files.push_back({"big.005", Repetitive(300000, 31000)});
    std::string names;
    for (const StoredFile& f : files) {
        fixture::WriteFile(env.dir / f.name, f.data);
        names += " " + f.name;
    }
    auto made = fixture::Run("cd " + Quote(env.dir.path) + " && gcab -c -z g.cab" + names);
    ASSERT_EQ(made.status, 0) << made.out;
    const std::string gcab = env.dir / "g.cab";

    env.Options(false, false, false, false, false);
    auto peer = fixture::Run("cabextract -q -d " + Quote(env.dir / "peer") + " " + Quote(gcab));
    ASSERT_EQ(peer.status, 0) << peer.out;
    EXPECT_EQ(Extracted(env, gcab, "stored"), fixture::FilesBelow(env.dir / "peer"));
    env.Options(true, true, true, true, true);
    for (int32_t c : env.Process(gcab, MIRAD_TEST, "t")) EXPECT_EQ(c, 0);
    const auto fromGcab = Extracted(env, gcab, "ce-gcab");
    fixture::WriteFile(gcab, fixture::BuildCabinet(files));  // the stored twin, under the same name
    EXPECT_EQ(fromGcab, Extracted(env, gcab, "ce-plain"));
}

}  // namespace

// ---- Linear in the cabinet ------------------------------------------------------------

// Extracting every entry of a 2,000-file one-folder cabinet in order, as the
// host does, reads each block about once: the reads, seeks and bytes the I/O
// seam sees grow with the blocks, not with files times blocks. A file of many
// blocks, last, is read several blocks a read.
TEST(MszipCabinets, InOrderExtractionReadsEachBlockOnce) {
    std::vector<StoredFile> files;
    for (int i = 0; i < 2000; ++i) {
        Bytes data = Repetitive(1000 + (i * 37) % 3000, 700);
        files.push_back({"f" + std::to_string(i), data});
    }
    const size_t bigBlocks = 40;
    files.push_back({"big", fixture::Pattern(bigBlocks * 32768, 7)});
    for (bool zip : {false, true}) {
        SCOPED_TRACE(zip ? "MSZIP" : "stored");
        CabOptions o;
        o.mszip = zip;
        o.checksums = true;
        CabLayout layout;
        Bytes cab = fixture::BuildCabinet(files, o, &layout);
        const uint64_t blocks = layout.blockOffsets.size();
        memio::MemoryFs fs;
        memio::Installed installed(fs);
        const std::string path = std::string("/nonexistent-mirad-memfs/many.cab");
        fs.files[path] = cab;
        OpenRequest request{};
        std::string name = path;
        request.archiveName = &name[0];
        void* handle = OpenArchive(&request);
        ASSERT_NE(handle, nullptr);
        const memio::Counts before = fs.counts;  // opening reads the tables, and no block
        EntryHeader header;
        int extracted = 0;
        memio::Counts beforeBig;
        while (ReadHeader(handle, &header) == MIRAD_OK) {
            std::string dest = std::string("/nonexistent-mirad-memfs/out");
            beforeBig = fs.counts;
            ASSERT_EQ(ProcessFile(handle, MIRAD_EXTRACT, nullptr, &dest[0]), 0);
            ASSERT_EQ(fs.files[dest], files[extracted].data);
            ++extracted;
        }
        CloseArchive(handle);
        EXPECT_EQ(extracted, 2001);
        const memio::Counts big = fs.counts - beforeBig;
        EXPECT_LE(big.reads, bigBlocks / 4 + 2) << big.reads << " reads for the " << bigBlocks << "-block file";
        const memio::Counts c = fs.counts - before;
        // Per block: its header once for the index (a small read-ahead
        // window), then the block itself.
        EXPECT_LE(c.bytesRead, cab.size() + 512 * blocks) << c.bytesRead;
        EXPECT_LE(c.seeks, blocks + 8) << c.seeks << " seeks for " << blocks << " blocks";
        EXPECT_LE(c.reads, 2 * blocks + 8) << c.reads << " reads for " << blocks << " blocks";
    }
}

// Listing a CE cabinet reads its setup file, and nothing of the folder past
// the setup file's block: the listing costs the same for any data size.
TEST(MszipCabinets, ListingReadsTheTablesAndTheSetupFilesBlockOnly) {
    std::vector<StoredFile> files = {{"SETUP.000", fixture::BuildSetupFile(GameSetup())}};
    for (StoredFile& f : Files()) files.push_back(f);
    files.push_back({"bulk.005", fixture::Pattern(1 << 20, 5)});
    for (bool zip : {false, true}) {
        SCOPED_TRACE(zip ? "MSZIP" : "stored");
        CabOptions o;
        o.mszip = o.checksums = zip;
        CabLayout layout;
        Bytes cab = fixture::BuildCabinet(files, o, &layout);
        ASSERT_GT(layout.blockOffsets.size(), 30u);
        memio::MemoryFs fs;
        memio::Installed installed(fs);
        std::string name = "/nonexistent-mirad-memfs/ce.cab";
        fs.files[name] = cab;
        OpenRequest request{};
        request.archiveName = &name[0];
        void* handle = OpenArchive(&request);
        ASSERT_NE(handle, nullptr);
        EntryHeader header;
        size_t listed = 0;
        while (ReadHeader(handle, &header) == MIRAD_OK) {
            ++listed;
            EXPECT_EQ(ProcessFile(handle, MIRAD_SKIP, nullptr, nullptr), 0);
        }
        CloseArchive(handle);
        EXPECT_GE(listed, files.size());
        // The first block whole (the setup file is read from it), little more.
        EXPECT_GE(fs.counts.bytesRead, layout.blockOffsets[1]);
        EXPECT_LE(fs.counts.bytesRead, layout.blockOffsets[1] + 1024u) << "of " << cab.size();
    }
}

// A read decodes up to its last byte and no further; a read that goes back
// starts the folder over; reads in order go on where the last one ended.
TEST(MszipCabinets, DecodingGoesOnFromTheLastReadAndStopsAtTheEntry) {
    // Eight files of 20000 bytes in blocks of 32768: file i spans blocks
    // i * 20000 / 32768 to (i * 20000 + 19999) / 32768.
    std::vector<StoredFile> files;
    for (int i = 0; i < 8; ++i) files.push_back({"f" + std::to_string(i), Repetitive(20000, 300 + i)});
    CabOptions o;
    o.mszip = true;
    memio::MemoryFs fs;
    memio::Installed installed(fs);
    fs.files["/m/z.cab"] = fixture::BuildCabinet(files, o);
    mirad::Cabinet cabinet;
    ASSERT_FALSE(cabinet.Read(mirad::IoHandle(mirad::IoOpen("/m/z.cab", mirad::IoMode::Read))));
    auto read = [&](uint32_t i) {
        Bytes got;
        EXPECT_FALSE(cabinet.ReadFile(i, [&](const uint8_t* p, size_t n) {
            got.insert(got.end(), p, p + n);
            return true;
        }));
        EXPECT_EQ(got, files[i].data) << files[i].name;
        return cabinet.Source(0).BlocksDecoded();
    };
    EXPECT_EQ(read(3), 3u);   // blocks 0..2: file 3 ends at byte 79999
    EXPECT_EQ(read(4), 4u);   // on from block 2 to block 3
    EXPECT_EQ(read(1), 6u);   // back: blocks 0 and 1 again
    EXPECT_EQ(read(2), 6u);   // within block 1, the current one
    for (uint32_t i = 3; i < 8; ++i) read(i);
    EXPECT_EQ(cabinet.Source(0).BlocksDecoded(), 6u + 3u);  // blocks 2..4 once more
}
