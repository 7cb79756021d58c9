// The fixture builder itself is checked against a peer reader, so that a
// fault in a fixture cannot hide a fault in the module.
#include <gtest/gtest.h>

#include "tests/fixture.h"

using namespace fixture;

namespace {

std::vector<StoredFile> SomeFiles() {
    std::vector<StoredFile> files;
    files.push_back({"a.txt", BytesOf("hello\n")});
    files.push_back({"dir\\b.bin", Pattern(70000, 2)});
    files.push_back({"empty", {}});
    files.push_back({"c.dat", Pattern(32768, 3)});
    return files;
}

void ExpectPeerExtracts(const Bytes& cab, const std::vector<StoredFile>& files) {
    TempDir dir;
    WriteFile(dir / "t.cab", cab);
    CommandResult t = Run("cabextract -q -t " + Quote(dir / "t.cab"));
    ASSERT_EQ(t.status, 0) << t.out;
    CommandResult x = Run("cabextract -q -d " + Quote(dir / "out") + " " + Quote(dir / "t.cab"));
    ASSERT_EQ(x.status, 0) << x.out;
    for (const auto& f : files) {
        std::string rel = f.name;
        for (char& c : rel)
            if (c == '\\') c = '/';
        EXPECT_EQ(ReadFile(dir / ("out/" + rel)), f.data) << f.name;
    }
}

}  // namespace

TEST(FixtureBuilder, SharedAndPerFileBlockLayoutsReadByPeer) {
    if (!HaveTool("cabextract")) GTEST_SKIP() << "cabextract is not installed";
    auto files = SomeFiles();
    CabOptions shared;
    ExpectPeerExtracts(BuildCabinet(files, shared), files);
    CabOptions own;
    own.blockPerFile = true;
    own.filesPerFolder = 2;
    ExpectPeerExtracts(BuildCabinet(files, own), files);
    CabOptions reserved;
    reserved.reserve = true;
    reserved.cbCFHeader = 6;
    reserved.cbCFFolder = 4;
    reserved.cbCFData = 8;
    reserved.blockSize = 1000;
    ExpectPeerExtracts(BuildCabinet(files, reserved), files);
}

TEST(FixtureBuilder, HeaderCountedOffsetsAddEveryPassedBlock) {
    std::vector<StoredFile> files = {{"a", Pattern(100, 1)}, {"b", Pattern(50, 2)}};
    CabOptions o;
    o.blockPerFile = true;
    o.headerCountedOffsets = true;
    CabLayout layout;
    Bytes cab = BuildCabinet(files, o, &layout);
    ASSERT_EQ(layout.fileRecordOffsets.size(), 2u);
    const uint8_t* rec = cab.data() + layout.fileRecordOffsets[1];
    uint32_t uoff = rec[4] | rec[5] << 8 | rec[6] << 16 | static_cast<uint32_t>(rec[7]) << 24;
    EXPECT_EQ(uoff, 108u);
    EXPECT_EQ(cab[layout.fileDataOffsets[1]], files[1].data[0]);
}
