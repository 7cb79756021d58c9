// The fixture builder itself is checked against a peer reader, so that a
// fault in a fixture cannot hide a fault in the module. (Header-counted
// offsets, which no peer reads, are pinned by the reader's offset tests.)
#include <gtest/gtest.h>

#include "tests/fixture.h"

using namespace fixture;

TEST(FixtureBuilder, SharedPerFileAndReservedLayoutsReadByPeer) {
    if (!HaveTool("cabextract")) GTEST_SKIP() << "cabextract is not installed";
    const std::vector<StoredFile> files = {
        {"a.txt", BytesOf("hello\n")}, {"dir\\b.bin", Pattern(70000, 2)}, {"empty", {}}, {"c.dat", Pattern(32768, 3)}};
    CabOptions own, reserved;
    own.blockPerFile = true;
    own.filesPerFolder = 2;
    reserved.reserve = true;
    reserved.cbCFHeader = 6;
    reserved.cbCFFolder = 4;
    reserved.cbCFData = 8;
    reserved.blockSize = 1000;
    int n = 0;
    for (const CabOptions& o : {CabOptions{}, own, reserved}) {
        SCOPED_TRACE("layout " + std::to_string(n++));
        TempDir dir;
        WriteFile(dir / "t.cab", BuildCabinet(files, o));
        CommandResult t = fixture::Run("cabextract -q -t " + Quote(dir / "t.cab"));
        ASSERT_EQ(t.status, 0) << t.out;
        CommandResult x = fixture::Run("cabextract -q -d " + Quote(dir / "out") + " " + Quote(dir / "t.cab"));
        ASSERT_EQ(x.status, 0) << x.out;
        for (const auto& f : files) {
            std::string rel = f.name;
            for (char& c : rel)
                if (c == '\\') c = '/';
            EXPECT_EQ(ReadFile(dir / ("out/" + rel)), f.data) << f.name;
        }
    }
}
