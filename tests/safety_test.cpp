// Files on disk are never lost or written where they do not belong: links in
// the destination, failed entries over existing files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "support/output.h"
#include "tests/fixture.h"

using namespace fixture;

namespace {

CommandResult Mirad(const TempDir& dir, const std::string& arguments) {
    return Run("cd " + Quote(dir.path) + " && " + Quote(HostPath()) + " --config cfg " + arguments);
}

StoredFile Stored(const std::string& name, const std::string& text) {
    StoredFile f;
    f.name = name;
    f.data = BytesOf(text);
    return f;
}

bool IsSymlink(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Links already in the destination lead nowhere: a directory link blocks its
// entry with a message, a link under an entry's name is replaced, and what
// they point at is untouched.
TEST(SafeExtract, LinksInTheDestinationAreNeverFollowed) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((dir / "o").c_str(), 0777), 0);
    WriteText(dir / "o/victim.txt", "orig");
    ASSERT_EQ(symlink((dir / "o").c_str(), (dir / "d/link").c_str()), 0);
    ASSERT_EQ(symlink((dir / "o/victim.txt").c_str(), (dir / "d/victim.txt").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (dir / "d/dangling.txt").c_str()), 0);
    WriteFile(dir / "t.cab", BuildCabinet({Stored("link\\inside.txt", "in"), Stored("victim.txt", "new"),
                                           Stored("dangling.txt", "d"), Stored("after.txt", "a")}));

    CommandResult r = Mirad(dir, "extract t.cab -d d");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("cannot extract 'link/inside.txt': the way in, 'd/link', is a symbolic link"), std::string::npos)
        << r.out;
    EXPECT_FALSE(FileExists(dir / "o/inside.txt"));
    EXPECT_EQ(ReadText(dir / "o/victim.txt"), "orig");
    EXPECT_FALSE(FileExists(dir / "o/nowhere"));
    EXPECT_FALSE(FileExists(dir / "d/nowhere"));
    for (const char* name : {"victim.txt", "dangling.txt"}) EXPECT_FALSE(IsSymlink(dir / ("d/" + std::string(name)))) << name;
    EXPECT_EQ(ReadText(dir / "d/victim.txt"), "new");
    EXPECT_EQ(ReadText(dir / "d/dangling.txt"), "d");
    EXPECT_EQ(ReadText(dir / "d/after.txt"), "a");  // the run goes on
    EXPECT_TRUE(IsSymlink(dir / "d/link"));
}

// A damaged entry over an existing file leaves the file exactly as it was
// and no temporary file beside it; a good one replaces it whole.
TEST(SafeExtract, FailedEntryKeepsTheExistingFile) {
    TempDir dir;
    CabLayout layout;
    Bytes cab = BuildCabinet({Stored("a.txt", std::string(5000, 'n'))}, {}, &layout);
    WriteFile(dir / "good.cab", cab);
    cab[layout.blockOffsets[0] + 4] ^= 0xFF;  // cbData: the block no longer fits
    cab[layout.blockOffsets[0] + 5] ^= 0xFF;
    WriteFile(dir / "bad.cab", cab);
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0777), 0);
    WriteText(dir / "d/a.txt", "old content");

    CommandResult r = Mirad(dir, "extract bad.cab -d d");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(ReadText(dir / "d/a.txt"), "old content");
    EXPECT_EQ(FilesBelow(dir / "d").size(), 1u) << "a temporary file was left behind";

    r = Mirad(dir, "extract good.cab -d d");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadText(dir / "d/a.txt"), std::string(5000, 'n'));
    EXPECT_EQ(FilesBelow(dir / "d").size(), 1u);
}

TEST(SafeOutput, TemporaryNamesSayWhatTheyBelongTo) {
    std::string a = mirad::TemporaryNameFor("/x/y/game.cab"), b = mirad::TemporaryNameFor("/x/y/game.cab");
    EXPECT_NE(a, b);
    EXPECT_EQ(a.compare(0, 20, "/x/y/.game.cab.mirad"), 0) << a;
    EXPECT_TRUE(mirad::IsTemporaryNameOf(a.substr(5), "game.cab")) << a;
    for (const char* other : {".game.cab.mirad-", ".game.cab.mirad-abcdefg", ".game.cab.mirad-ABCDEF", ".game.cabXmirad-abcdef",
                              ".other.cab.mirad-abcdef", "game.cab.mirad-abcdef"}) {
        EXPECT_FALSE(mirad::IsTemporaryNameOf(other, "game.cab")) << other;
    }
}

}  // namespace

namespace {

// The host names the reason a cabinet was not updated.
TEST(SafeHost, ReadOnlyCabinetIsRefusedWithItsOwnMessage) {
    TempDir dir;
    Bytes cab = GameCabinet();
    WriteFile(dir / "game.cab", cab);
    ASSERT_EQ(chmod((dir / "game.cab").c_str(), 0444), 0);
    std::filesystem::create_directories(dir / "src/%InstallDir%");
    WriteText(dir / "src/%InstallDir%/game.exe", "new");
    CommandResult r = Mirad(dir, "update game.cab -C src '%InstallDir%\\game.exe'");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("cannot update 'game.cab': it is read-only; nothing was changed"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(dir / "game.cab"), cab);
}

}  // namespace
