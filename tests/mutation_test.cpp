// A fixed-seed mutation pass: about 1% of the bytes of fixture cabinets are
// damaged, many times over, and each result is opened, listed, extracted and
// tested over the memory I/O seam. Nothing may crash, read out of bounds (the
// sanitizer build checks), loop, leave a file open, or copy a wrong length.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fuzz/exercise.h"
#include "support/bytes.h"
#include "support/settings.h"
#include "tests/fixture.h"

using fixture::Bytes;
using fixture::CabOptions;
using fixture::StoredFile;

namespace {

struct Sample {
    std::string name;
    Bytes bytes;
    bool isSigned = false;  // cbCabinet stays short of the file length
};

StoredFile File(const std::string& name, size_t size, uint32_t seed) {
    StoredFile f;
    f.name = name;
    f.data = fixture::Pattern(size, seed);
    return f;
}

std::vector<Sample> Samples() {
    std::vector<Sample> out;
    std::vector<StoredFile> files = {File("a.txt", 700, 1), File("b.bin", 1500, 2), File("empty", 0, 3),
                                     File("dir/c.bin", 3000, 4), File("d", 5, 5)};
    CabOptions shared, counted;
    shared.blockSize = 1000;
    out.push_back({"shared blocks", fixture::BuildCabinet(files, shared)});
    counted.headerCountedOffsets = counted.blockPerFile = counted.reserve = true;
    counted.cbCFHeader = 4;
    counted.cbCFFolder = 2;
    counted.cbCFData = 4;
    counted.filesPerFolder = 2;
    counted.blockSize = 1024;
    out.push_back({"header-counted with reserves", fixture::BuildCabinet(files, counted)});

    fixture::CeSetup setup;
    setup.strings = {{1, "\\Program Files\\Game"}, {2, "Data"}, {3, "Game"}, {4, "Software\\Maker"}, {5, "Key"}};
    setup.directories = {{1, {1}}, {2, {1, 2}}};
    setup.copyFiles = {{1, 1, "game.exe"}, {2, 2, "level.dat"}};
    setup.hives = {{1, 2, {4, 5}}};
    setup.values = {{1, 0x00010001, "Count", {1, 0, 0, 0}}, {1, 0, "Name", fixture::BytesOf("Game")}};
    setup.shortcuts = {fixture::CeShortcut{0, 0, 11, 1, 1, 2, 3}};  // "Game" in macro 11, to directory 1
    setup.appName = "Game";
    setup.provider = "Maker";
    out.push_back({"CE", fixture::BuildCeCabinet(setup, {File("GAME.001", 2000, 6), File("LEVEL.002", 300, 7)})});

    // MSZIP, once without checksums so that damaged streams reach the
    // decoder, once with them; the CE setup file is compressed as well.
    CabOptions zip;
    zip.mszip = true;
    zip.filesPerFolder = 3;
    zip.blockSize = 4096;
    std::vector<StoredFile> text = {File("GAME.001", 9000, 6), File("LEVEL.002", 300, 7)};
    text[0].data.assign(9000, 'a');
    for (size_t i = 0; i < text[0].data.size(); i += 7) text[0].data[i] = static_cast<uint8_t>('a' + i % 26);
    out.push_back({"MSZIP CE", fixture::BuildCeCabinet(setup, text, zip)});
    zip.checksums = true;
    out.push_back({"MSZIP with checksums", fixture::BuildCabinet(files, zip)});

    CabOptions sig;
    sig.reserve = true;
    sig.cbCFHeader = 20;
    sig.trailer = fixture::Pattern(64, 8);
    Sample s{"signed", fixture::BuildCabinet(files, sig), true};
    mirad::put_le32(&s.bytes[44], static_cast<uint32_t>(s.bytes.size() - sig.trailer.size()));  // cbCabinet
    mirad::put_le32(&s.bytes[48], static_cast<uint32_t>(sig.trailer.size()));
    out.push_back(s);

    const std::string corpus = fixture::CorpusDir();
    Bytes real = corpus.empty() ? Bytes{} : fixture::ReadFile(corpus + "/real-ce/sdk__Sample.PPC_SH3.CAB");
    if (!real.empty()) out.push_back({"real CE sample", real});
    return out;
}

// Every CE option on, so every phase and kind of entry is walked.
struct AllViews {
    AllViews() {
        mirad::ResetSettings();
        mirad::Settings s = mirad::BuiltInSettings();
        s.ExpandCE = s.ExpandPath = s.ShowRegistry = s.ShowShortcuts = s.ShowInfFile = 1;
        mirad::PublishSettings(s);
    }
    ~AllViews() { mirad::ResetSettings(); }
};

TEST(ReaderMutation, DamagedCabinetsAreAnsweredWithResultCodes) {
    AllViews views;
    memio::MemoryFs fs;
    memio::Installed installed(fs);
    const std::string path = std::string(memio::kOutDir) + "damaged.cab";
    const std::set<int32_t> openCodes = {0, 11, 12, 14}, processCodes = {0, 11, 12, 16, 24};
    std::mt19937 rng(0x4d534346);  // fixed: every run damages the same bytes
    const int rounds = 1000;

    for (const Sample& sample : Samples()) {
        SCOPED_TRACE(sample.name);
        // The undamaged sample opens and extracts: the damage is what fails.
        fs.files[path] = sample.bytes;
        memio::Outcome clean = memio::Exercise(fs, path);
        ASSERT_EQ(clean.openResult, 0);
        for (int r : clean.copyResults) ASSERT_EQ(r, 0);

        int opened = 0;
        for (int round = 0; round < rounds; ++round) {
            Bytes b = sample.bytes;
            // Now and then cut the cabinet short as well.
            if (round % 5 == 4) b.resize(std::uniform_int_distribution<size_t>(0, b.size())(rng));
            size_t hits = std::max<size_t>(1, b.size() / 100);
            for (size_t k = 0; k < hits && !b.empty(); ++k)
                b[std::uniform_int_distribution<size_t>(0, b.size() - 1)(rng)] = static_cast<uint8_t>(rng());
            // Most rounds keep cbCabinet equal to the length, so the damage
            // reaches the tables and blocks instead of the size check.
            if (!sample.isSigned && round % 3 != 0 && b.size() >= 12)
                mirad::put_le32(&b[8], static_cast<uint32_t>(b.size()));
            fs.files[path] = b;

            memio::Outcome o = memio::Exercise(fs, path);
            SCOPED_TRACE("round " + std::to_string(round));
            EXPECT_TRUE(openCodes.count(o.openResult)) << o.openResult;
            EXPECT_EQ(o.opened, o.openResult == 0);
            if (o.opened) {
                ++opened;
                EXPECT_TRUE(o.listEnded);
                for (int32_t r : o.processResults) EXPECT_TRUE(processCodes.count(r)) << r;
                ASSERT_EQ(o.copyResults.size(), o.testResults.size());
                for (size_t i = 0; i < o.copyResults.size(); ++i) {
                    // Memory writes never fail, so 16 would be a wrong answer.
                    EXPECT_TRUE(o.copyResults[i] == 0 || o.copyResults[i] == 12) << o.copyResults[i];
                    // Testing walks exactly what copying walks.
                    EXPECT_EQ(o.copyResults[i], o.testResults[i]) << "entry " << i;
                }
            }
            EXPECT_EQ(o.wrongLengths, 0u);
            EXPECT_EQ(o.openAfterClose, 0);
            if (::testing::Test::HasFailure()) return;  // one damaged cabinet is enough to study
        }
        // Damage of 1% leaves many cabinets readable: the pass must have gone
        // past the header checks, or it tested nothing deep.
        EXPECT_GT(opened, rounds / 10) << "opened " << opened << " of " << rounds;
    }
}

}  // namespace
