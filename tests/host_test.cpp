// End-to-end tests of the `mirad` host: the built program run as a person
// runs it, loading the built module from beside itself.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/cli.h"
#include "tests/fixture.h"

namespace fs = std::filesystem;
using namespace fixture;

namespace {

using Tree = std::map<std::string, Bytes>;
using Names = std::vector<std::string>;

Names Lines(const std::string& text) {
    Names lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line.substr(0, line.find('\r')));
    return lines;
}

// The name column of a successful listing.
Names NamesOf(const CommandResult& r) {
    EXPECT_EQ(r.status, 0) << r.out;
    Names names;
    for (const std::string& line : Lines(r.out)) names.push_back(line.substr(line.rfind("  ") + 2));
    return names;
}
Names Listed(const TempDir& dir, const std::string& arguments) { return NamesOf(Mirad(dir, arguments)); }

const Bytes kGame = GameBytes();
const Bytes kLevel = LevelBytes();

void WriteGameCabinet(const TempDir& dir) { WriteFile(dir / "game.cab", GameCabinet()); }

// The module a file manager loads shows its exports and nothing else.
TEST(Host, ModuleExportsExactlyTheHostFunctions) {
    if (!HaveTool("nm")) GTEST_SKIP() << "nm is not installed";
    CommandResult r = fixture::Run("nm -D --defined-only " + Quote(ModulePath()) + " | awk '{print $3}' | sort");
    ASSERT_EQ(r.status, 0) << r.out;
    std::string expected;
    for (const std::string& name : ExportNames()) expected += name + "\n";
    EXPECT_EQ(r.out, expected);
}

TEST(Host, ListShowsSizeDateAttributesAndName) {
    TempDir dir;
    StoredFile a = Stored("dir\\a.txt", BytesOf("hello"), 0x21);  // 2025-01-01 12:00:00 by default
    StoredFile b = Stored("b.bin", Pattern(70000, 1), 0x07);
    b.date = (45 << 9) | (6 << 5) | 30;    // 2025-06-30
    b.time = (23 << 11) | (59 << 5) | 29;  // 23:59:58
    CabLayout layout;
    Bytes cab = BuildCabinet({a, b, Stored("huge.bin", BytesOf("h"))}, {}, &layout);
    for (int i = 0; i < 4; ++i) cab[layout.fileRecordOffsets[2] + i] = 0xFF;  // cbFile 0xFFFFFFFF
    WriteFile(dir / "t.cab", cab);
    CommandResult r = Mirad(dir, "list t.cab");
    ASSERT_EQ(r.status, 0) << r.out;
    // The Linux module tells a mode, not DOS bits: R when read-only, A for
    // every regular file (the rule packing follows); hidden and system are gone.
    EXPECT_EQ(Lines(r.out), (Names{"          5  2025-01-01 12:00:00  R--A  dir/a.txt",
                                   "      70000  2025-06-30 23:59:58  R--A  b.bin",
                                   " 4294967295  2025-01-01 12:00:00  ---A  huge.bin"}));
}

TEST(Host, ExtractWritesStoredBytesAndCreatesDirectories) {
    TempDir dir;
    Bytes big = Pattern(100000, 3);
    WriteFile(dir / "t.cab", BuildCabinet({Stored("top\\mid\\deep.bin", big), Stored("A.TXT", BytesOf("text"))}));
    // Names select ignoring case, with either separator; a directory name
    // selects what lies below it.
    const std::pair<std::string, Tree> cases[] = {
        {"-d out/x", {{"top/mid/deep.bin", big}, {"A.TXT", BytesOf("text")}}},
        {"-d sel a.txt", {{"A.TXT", BytesOf("text")}}},
        {"-d sel2 TOP/Mid", {{"top/mid/deep.bin", big}}},
    };
    for (const auto& [arguments, tree] : cases) {
        CommandResult r = Mirad(dir, "extract t.cab " + arguments);
        ASSERT_EQ(r.status, 0) << arguments << "\n" << r.out;
        EXPECT_EQ(FilesBelow(dir / arguments.substr(3, arguments.find(' ', 3) - 3)), tree) << arguments;
    }
}

TEST(Host, EntryNamesNeverLeaveTheTargetDirectory) {
    TempDir dir;
    // The last one comes out under the name of the one before it.
    const char* names[] = {"..\\..\\up.txt", "\\\\rooted.txt", "C:\\drive.txt", "/slash/x.txt",
                           "a\\..\\..\\..\\b.txt", "..", "ok\\fine.txt", "ok\\.\\fine.txt", ""};
    std::vector<StoredFile> files;
    for (const char* name : names) files.push_back(Stored(name, BytesOf(std::to_string(files.size() + 1))));
    WriteFile(dir / "evil.cab", BuildCabinet(files));
    fs::create_directories(dir / "a/b");
    CommandResult r = Mirad(dir, "extract evil.cab -d a/b/target");
    // ".." leaves no name at all: reported, and the run fails.
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("entry '..' of 'evil.cab' has no name left inside"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("stored file 8 of 'evil.cab' has no name; skipped"), std::string::npos) << r.out;
    for (const char* warning : {"entry '../../up.txt' would leave 'a/b/target'; writing it as 'up.txt'",
                                "entry '//rooted.txt' would leave 'a/b/target'; writing it as 'rooted.txt'",
                                "entry '/slash/x.txt' would leave 'a/b/target'; writing it as 'slash/x.txt'",
                                "entry 'ok/./fine.txt' replaces entry 'ok/fine.txt', written before it in this run as "
                                "'a/b/target/ok/fine.txt'"})
        EXPECT_NE(r.out.find(std::string("warning: ") + warning), std::string::npos) << warning << "\n" << r.out;
    // Nothing written but the target directory (beside the cabinet and the settings).
    for (const auto& file : FilesBelow(dir.path)) {
        EXPECT_TRUE(file.first.rfind("a/b/target/", 0) == 0 || file.first == "evil.cab" ||
                    file.first.rfind("cfg/", 0) == 0)
            << file.first;
    }
    EXPECT_EQ(FilesBelow(dir / "a/b/target"),
              (Tree{{"up.txt", BytesOf("1")}, {"rooted.txt", BytesOf("2")}, {"drive.txt", BytesOf("3")},
                    {"slash/x.txt", BytesOf("4")}, {"a/b.txt", BytesOf("5")}, {"ok/fine.txt", BytesOf("8")}}));
    // -n keeps the first of the two.
    r = Mirad(dir, "extract evil.cab -n -d kept ok/fine.txt");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(FilesBelow(dir / "kept"), (Tree{{"ok/fine.txt", BytesOf("7")}})) << r.out;
}

// Running mirad as an unprivileged user, or on a full file system, needs
// root's powers; those rows are skipped, saying so, where they are missing.
// The unprivileged user must also reach the build and `dir` (a checkout in
// a private directory hides them).
bool CanRunAsNobody(const std::string& dir) {
    return fixture::Run("cd " + Quote(dir) + " && setpriv --reuid=nobody --regid=nogroup --clear-groups test -x " +
                        Quote(HostPath()) + " -a -r " + Quote(ModulePath()) + " -a -w .")
               .status == 0;
}
bool CanMountTmpfs() { return fixture::Run("unshare -m sh -c 'mount -t tmpfs -o size=64k tmpfs /mnt'").status == 0; }

TEST(Host, EveryFailureNamesTheFileAndTheReason) {
    TempDir dir;
    fs::permissions(dir.path, fs::perms::all);  // an unprivileged run must reach it
    WriteText(dir / "text.cab", "this is no cabinet at all, though it is long enough to hold a header");
    WriteText(dir / "empty.cab", "");
    CabOptions lzx;
    lzx.typeCompress = 3;
    WriteFile(dir / "lzx.cab", BuildCabinet({Stored("a", BytesOf("a"))}, lzx));
    CabOptions second;
    second.iCabinet = 1;
    WriteFile(dir / "part2.cab", BuildCabinet({Stored("a", BytesOf("a"))}, second));
    // good.cab as written; in bad.cab b.bin's offset lies 1 MiB past the
    // folder's data: the header still opens, only reading the bytes finds the fault.
    CabLayout layout;
    Bytes cab = BuildCabinet({Stored("a.bin", Pattern(3000, 1)), Stored("b.bin", Pattern(3000, 2))}, {}, &layout);
    WriteFile(dir / "good.cab", cab);
    Bytes cut(cab.begin(), cab.end() - 670);
    WriteFile(dir / "cut.cab", cut);
    Bytes longer = cab;
    longer.push_back(0);
    WriteFile(dir / "longer.cab", longer);
    cab[layout.fileRecordOffsets[1] + 6] = 0x10;  // uoffFolderStart
    WriteFile(dir / "bad.cab", cab);
    WriteGameCabinet(dir);
    WriteFile(dir / "rogame.cab", GameCabinet());
    ASSERT_EQ(chmod((dir / "rogame.cab").c_str(), 0444), 0);
    WriteTree(dir / "rosrc", {{"%InstallDir%/game.exe", BytesOf("new")}});
    CeSetup bare;
    bare.strings = {{1, "%CE1%\\Tool"}};
    bare.directories = {{1, {1}}};
    bare.copyFiles = {{1, 1, "tool.exe"}};
    WriteFile(dir / "noreg.cab", BuildCeCabinet(bare, {Stored("tool.001", BytesOf("tool"))}));
    fs::create_directories(dir / "folder.cab");
    fs::create_directories(dir / "src");
    fs::create_directories(dir / "empty/sub");
    fs::create_directories(dir / "ro");
    fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    fs::create_directories(dir / "cfg");
    fs::permissions(dir / "cfg", fs::perms::all);
    WriteText(dir / "src/a.txt", "a");
    Tree before = FilesBelow(dir.path);

    enum Run { kPlain, kPipe, kNobody, kFullDisk };
    struct Case {
        Run run;
        std::string arguments, output;
        int status;
    };
    const Case cases[] = {
        {kPlain, "test good.cab", "good.cab: all 2 entries tested OK\n", 0},
        {kPlain, "test bad.cab",
         "mirad: 'b.bin' in 'bad.cab' failed the test: bad data\n"
         "mirad: 1 of 2 entries in 'bad.cab' failed the test\n",
         1},
        {kPlain, "list nothing.cab", "mirad: cannot open 'nothing.cab': No such file or directory\n", 1},
        {kPlain, "list folder.cab", "mirad: cannot open 'folder.cab': Is a directory\n", 1},
        {kPlain, "list empty.cab", "mirad: 'empty.cab' is empty (0 bytes), not a cabinet\n", 1},
        {kPipe, "list /dev/stdin",
         "mirad: cannot read '/dev/stdin': it is a pipe or device, and a cabinet is read by position (save it to a "
         "file first)\n",
         1},
        {kPlain, "test text.cab", "mirad: 'text.cab' is not a cabinet (it does not start with \"MSCF\")\n", 1},
        {kPlain, "list cut.cab",
         "mirad: 'cut.cab' is truncated by 670 bytes (the cabinet says " + std::to_string(layout.cbCabinet) +
             ", the file has " + std::to_string(layout.cbCabinet - 670) + ")\n",
         1},
        {kPlain, "list longer.cab",
         "mirad: 'longer.cab' has 1 byte after the end of the cabinet (the cabinet says " +
             std::to_string(layout.cbCabinet) + ", the file has " + std::to_string(layout.cbCabinet + 1) + ")\n",
         1},
        {kPlain, "extract lzx.cab -d out",
         "mirad: 'lzx.cab' is compressed with LZX (1 folder of 1): LZX-compressed cabinets are not supported\n", 1},
        {kPlain, "list part2.cab",
         "mirad: 'part2.cab' is part 2 of a multi-part set; multi-part sets are not supported\n", 1},
        {kPlain, "extract good.cab -d out missing.txt",
         "mirad: 'missing.txt' is not an entry of 'good.cab' in this view (see mirad list and the view flags)\n", 1},
        {kPlain, "extract good.cab -d out '*.txt'",
         "mirad: no entry of 'good.cab' matches '*.txt' in this view (see mirad list and the view flags)\n", 1},
        {kPlain, "extract good.cab ~Cab~.INF -d -",
         "mirad: 'good.cab' is not a CE installation cabinet (it has no setup file), so it has no ~Cab~.INF\n", 1},
        {kPlain, "extract noreg.cab ~Cab~.REG -d -", "mirad: 'noreg.cab' installs no registry values, so it has no ~Cab~.REG\n", 1},
        {kPlain, "pack good.cab -C src a.txt",
         "mirad: 'good.cab' already exists: pack makes new cabinets (update replaces installed files)\n", 1},
        {kPlain, "pack e.cab empty", "mirad: nothing to pack: the selection holds no files; 'e.cab' was not written\n", 1},
        {kPlain, "pack other.cab -C src nothere.txt",
         "mirad: cannot pack 'src/nothere.txt': No such file or directory\n", 1},
        {kPlain, "pack other.cab -C src ../x",
         "mirad: cannot pack '../x': PATHs lie inside 'src' (relative to it; choose it with -C DIR, and name its "
         "contents with .)\n",
         1},
        {kPlain, "update good.cab -C src a.txt",
         "mirad: cannot update 'good.cab': 'a.txt' is not a file it lists (name it as 'mirad list' shows it: "
         "--installed, --installed --expand or --stored; --add adds it); nothing was changed\n",
         1},
        {kPlain, "update game.cab -C src a.txt",
         "mirad: cannot update 'game.cab': 'a.txt' is not a file it lists (name it as 'mirad list' shows it: "
         "--installed, --installed --expand or --stored; --add adds it); nothing was changed\n",
         1},
        {kPlain, "update --add game.cab -C src a.txt",
         "mirad: cannot update 'game.cab': no directory macro covers a.txt; nothing was changed\n", 1},
        {kPlain, "remove game.cab '%InstallDir%/game.exe'",
         "mirad: cannot remove from 'game.cab': %InstallDir%\\game.exe is the target of the shortcut "
         "%CE11%\\Game.lnk; nothing was changed\n",
         1},
        {kPlain, "update game.cab -C src '%InstallDir%\\game.exe'",
         "mirad: cannot update 'game.cab': cannot read the replacement 'src/%InstallDir%/game.exe': No such file or "
         "directory; nothing was changed\n",
         1},
        {kPlain, "update rogame.cab -C rosrc '%InstallDir%\\game.exe'",
         "mirad: cannot update 'rogame.cab': it is read-only; nothing was changed\n", 1},
        {kPlain, "update absent.cab -C src a.txt", "mirad: cannot open 'absent.cab': No such file or directory\n", 1},
        {kPlain, "--module /nonexistent/Mirad.wcx list good.cab",
         "mirad: cannot load the module '/nonexistent/Mirad.wcx': No such file or directory\n", 1},
        {kNobody, "extract good.cab -d ro a.bin",
         "mirad: cannot extract 'a.bin' to 'ro/a.bin': Permission denied\n", 1},
        {kNobody, "pack ro/new.cab -C src .", "mirad: cannot create 'ro/new.cab': Permission denied\n", 1},
        {kFullDisk, "extract good.cab -d full",
         "mirad: cannot extract 'b.bin' to 'full/b.bin': No space left on device\n", 1},
        {kPlain, "frobnicate x.cab", "mirad: unknown command 'frobnicate' (see mirad --help)\n", 2},
        {kPlain, "x good.cab -d y", "mirad: unknown command 'x' (see mirad --help)\n", 2},
        {kPlain, "list --frob x.cab", "mirad: unknown option '--frob' (see mirad --help)\n", 2},
        {kPlain, "list", "mirad: list takes a cabinet and optionally NAMEs or patterns (see mirad --help)\n", 2},
    };
    const bool nobody = CanRunAsNobody(dir.path), tmpfs = CanMountTmpfs();
    for (const Case& c : cases) {
        std::string mirad = Quote(HostPath()) + " --config cfg " + c.arguments;
        std::string command = "cd " + Quote(dir.path) + " && ";
        if (c.run == kPlain) command += mirad;
        else if (c.run == kPipe) command += "cat good.cab | " + mirad;
        else if (c.run == kNobody && nobody) command += "setpriv --reuid=nobody --regid=nogroup --clear-groups " + mirad;
        else if (c.run == kFullDisk && tmpfs) {
            // 3000 + 3000 bytes into 8 KiB: the second file finds no room.
            command += "mkdir -p full && unshare -m sh -c " +
                       Quote("mount -t tmpfs -o size=8k tmpfs full && head -c 4096 /dev/zero > full/filler && " +
                             mirad);
        } else if (c.run != kPlain) {
            std::printf("[ SKIPPED  ] %s: needs %s\n", c.arguments.c_str(),
                        c.run == kNobody ? "setpriv as root, and the build reachable by nobody" : "unshare and a tmpfs mount as root");
            continue;
        }
        CommandResult r = fixture::Run(command);
        EXPECT_EQ(r.status, c.status) << c.arguments;
        EXPECT_EQ(r.out, c.output) << c.arguments;
    }
    // A cabinet the module refuses still shows its folders' compression.
    CommandResult info = Mirad(dir, "info lzx.cab");
    EXPECT_EQ(info.status, 1);
    EXPECT_NE(info.out.find("Folder 1:              compression LZX, 1 data block\n"), std::string::npos) << info.out;
    // Nothing was created or changed (the settings file aside).
    Tree after = FilesBelow(dir.path);
    after.erase("cfg/Mirad.ini");
    EXPECT_EQ(after, before);
}

TEST(Host, ViewFlagsChooseTheListingAndLeaveTheSettingsFileAlone) {
    TempDir dir;
    WriteGameCabinet(dir);
    // The settings file asks for everything; flags override it for one run.
    fs::create_directories(dir / "cfg");
    WriteSettings(dir / "cfg", true, true, true, true, true);
    Bytes settings = ReadFile(dir / "cfg/Mirad.ini");
    const Names stored = {"SETUP.000", "game.001", "level.002"};
    const std::pair<std::string, Names> cases[] = {
        {"", {"Program Files/Game/game.exe", "Program Files/Game/data/level.dat",
              "Windows/Start Menu/Programs/Game.lnk", "~Cab~.REG", "~Cab~.INF"}},
        {"--stored", stored},
        {"--installed", {"%InstallDir%/game.exe", "%InstallDir%/data/level.dat"}},
        // Device paths are installed paths: --expand alone shows them.
        {"--shortcuts --expand", {"Program Files/Game/game.exe", "Program Files/Game/data/level.dat",
                                  "Windows/Start Menu/Programs/Game.lnk"}},
        {"--registry --inf", {"SETUP.000", "game.001", "level.002", "~Cab~.REG", "~Cab~.INF"}},
    };
    for (const auto& [flags, names] : cases) EXPECT_EQ(Listed(dir, flags + " list game.cab"), names) << flags;
    EXPECT_EQ(ReadFile(dir / "cfg/Mirad.ini"), settings);

    // Sizes: of the files, and of what the shortcut and the documents
    // extract to.
    ASSERT_EQ(Mirad(dir, "--all extract game.cab -d all").status, 0);
    Names lines = Lines(Mirad(dir, "--all list game.cab").out);
    ASSERT_EQ(lines.size(), 5u);
    for (const auto& line : lines) {
        ASSERT_GT(line.size(), 40u);
        EXPECT_EQ(std::stoull(line.substr(0, 11)), fs::file_size(dir / ("all/" + line.substr(40)))) << line;
    }

    // Flags apply even with a copy of mirad and the module with a Mirad.ini
    // beside them, which the module prefers over any directory the host names.
    TempDir tmp;  // the host's temporary directories go here: all must go away
    fs::create_directories(dir / "bin");
    fs::copy_file(HostPath(), dir / "bin/mirad");
    fs::copy_file(ModulePath(), dir / "bin/Mirad.wcx");
    WriteSettings(dir / "bin", true, true, false, false, false);
    settings = ReadFile(dir / "bin/Mirad.ini");
    std::string run = "cd " + Quote(dir.path) + " && TMPDIR=" + Quote(tmp.path) + " bin/mirad ";
    EXPECT_EQ(NamesOf(fixture::Run(run + "list game.cab")),
              (Names{"Program Files/Game/game.exe", "Program Files/Game/data/level.dat"}));
    EXPECT_EQ(NamesOf(fixture::Run(run + "--stored list game.cab")), (Names{"SETUP.000", "game.001", "level.002"}));
    EXPECT_EQ(ReadFile(dir / "bin/Mirad.ini"), settings);
    EXPECT_TRUE(fs::is_empty(tmp.path)) << "temporary directories left behind";
}

TEST(Host, DocumentsGoToStandardOutputAsExtracted) {
    TempDir dir;
    WriteGameCabinet(dir);
    // The installed view extracts the device layout.
    CommandResult r = Mirad(dir, "--installed --expand --shortcuts extract game.cab -d device");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(FilesBelow(dir / "device"),
              (Tree{{"Program Files/Game/game.exe", kGame},
                    {"Program Files/Game/data/level.dat", kLevel},
                    {"Windows/Start Menu/Programs/Game.lnk", BytesOf("30#\"\\Program Files\\Game\\game.exe\"\r\n")}}));
    // A fresh settings file has every view option on, as --all does.
    r = Mirad(dir, "--all extract game.cab -d docs");
    ASSERT_EQ(r.status, 0) << r.out;
    std::string reg = ReadText(dir / "docs/~Cab~.REG"), inf = ReadText(dir / "docs/~Cab~.INF");
    EXPECT_EQ(reg.substr(0, 10), "REGEDIT4\r\n");
    ASSERT_FALSE(inf.empty());
    // No view flag: naming the document is enough.
    for (const auto& [name, text] : {std::make_pair("~Cab~.INF", inf), std::make_pair("'~cab~.reg'", reg)}) {
        r = Mirad(dir, std::string("extract game.cab ") + name + " -d -");
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(r.out, text) << name;
    }

    // --log writes the module's log for one run.
    CommandResult logged = Mirad(dir, "--log run.log list game.cab");
    ASSERT_EQ(logged.status, 0);
    std::string log = ReadText(dir / "run.log");
    EXPECT_NE(log.find("Open game.cab"), std::string::npos) << log;
    EXPECT_NE(log.find("CloseArchive game.cab"), std::string::npos) << log;
    // The user's settings keep no log, and the log changes no view: both
    // runs start from a fresh settings file.
    EXPECT_EQ(Mirad(dir, "list game.cab").out, logged.out);
    EXPECT_EQ(ReadText(dir / "run.log"), log);
}

TEST(Host, PackDirectoriesWithPrefixAndMove) {
    TempDir dir;
    Tree files = {
        {"a.txt", BytesOf("alpha")}, {"sub/b.bin", Pattern(40000, 5)}, {"sub/deeper/c.txt", BytesOf("gamma")}};
    WriteTree(dir / "src", files);
    CommandResult r = Mirad(dir, "pack new.cab -C src --prefix Game a.txt sub");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "Packed 3 files into 'new.cab'.\n");
    EXPECT_EQ(Listed(dir, "list new.cab"), (Names{"Game/a.txt", "Game/sub/b.bin", "Game/sub/deeper/c.txt"}));
    ASSERT_EQ(Mirad(dir, "extract new.cab -d out").status, 0);
    EXPECT_EQ(FilesBelow(dir / "out/Game"), files);

    // --move removes the sources once the cabinet is complete.
    r = Mirad(dir, "pack moved.cab -C src --move sub");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(FilesBelow(dir / "src"), (Tree{{"a.txt", BytesOf("alpha")}}));
    EXPECT_FALSE(FileExists(dir / "src/sub"));
    ASSERT_EQ(Mirad(dir, "extract moved.cab -d moved").status, 0);
    files.erase("a.txt");
    EXPECT_EQ(FilesBelow(dir / "moved"), files);

    // "." names the contents of the source directory.
    WriteTree(dir / "tree", {{"a.txt", BytesOf("a")}, {"sub/b.txt", BytesOf("b")}});
    for (std::string arguments : {"-C tree .", "-C tree ./", "--prefix P -C tree/ ."}) {
        fs::remove(dir / "n.cab");
        r = Mirad(dir, "pack n.cab " + arguments);
        ASSERT_EQ(r.status, 0) << arguments << r.out;
        EXPECT_EQ(r.out, "Packed 2 files into 'n.cab'.\n");
        Names expected = {"a.txt", "sub/b.txt"};
        if (arguments[2] == 'p') expected = {"P/a.txt", "P/sub/b.txt"};
        EXPECT_EQ(Listed(dir, "list n.cab"), expected) << arguments;
    }
}

// How many folders `mirad info` shows with each method.
std::map<std::string, int> FolderMethods(const TempDir& dir, const std::string& cabinet) {
    std::map<std::string, int> methods;
    CommandResult r = Mirad(dir, "info " + cabinet);
    EXPECT_EQ(r.status, 0) << r.out;
    for (const std::string& line : Lines(r.out)) {
        size_t at = line.find("compression ");
        if (at != std::string::npos) ++methods[line.substr(at + 12, line.find(',', at) - at - 12)];
    }
    return methods;
}

TEST(Host, PackCompressesOnRequestAndUpdateSaysHowItWroteAMixedCabinet) {
    TempDir dir;
    Tree files = {{"a.txt", Bytes(50000, 'a')}, {"sub/b.bin", Pattern(40000, 5)}, {"z", {}}};
    WriteTree(dir / "src", files);
    // Only -z decides, whatever the user's settings say.
    fs::create_directories(dir / "cfg");
    WriteText(dir / "cfg/Mirad.ini", "[CONFIGURATION]\nCompression=MSZIP\n");
    ASSERT_EQ(Mirad(dir, "pack plain.cab -C src .").status, 0);
    EXPECT_EQ(FolderMethods(dir, "plain.cab"), (std::map<std::string, int>{{"none", 3}}));
    CommandResult r = Mirad(dir, "pack -z zip.cab -C src .");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(FolderMethods(dir, "zip.cab"), (std::map<std::string, int>{{"MSZIP", 3}}));
    EXPECT_LT(fs::file_size(dir / "zip.cab"), fs::file_size(dir / "plain.cab") - 45000);
    ASSERT_EQ(Mirad(dir, "extract zip.cab -d out").status, 0);
    EXPECT_EQ(FilesBelow(dir / "out"), files);
    EXPECT_EQ(ReadText(dir / "cfg/Mirad.ini"), "[CONFIGURATION]\nCompression=MSZIP\n");
    EXPECT_EQ(Mirad(dir, "update --compress zip.cab a.txt").status, 2);

    // The setup file and game.exe stored, level.dat (most of the bytes) MSZIP.
    CabOptions mixed;
    mixed.filesPerFolder = 1;
    mixed.mszipFolders = {false, false, true};
    WriteFile(dir / "game.cab", GameCabinet(mixed));
    fs::create_directories(dir / "repl/%InstallDir%");
    WriteFile(dir / "repl/%InstallDir%/game.exe", BytesOf("new game"));
    r = Mirad(dir, "update game.cab -C repl '%InstallDir%\\game.exe'");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Lines(r.out).at(1).rfind("It mixed stored and MSZIP folders and is now written MSZIP, as most of its "
                                       "data was: " + std::to_string(fs::file_size(dir / "game.cab")) + " bytes, was ",
                                       0),
              0u)
        << r.out;
    EXPECT_EQ(FolderMethods(dir, "game.cab"), (std::map<std::string, int>{{"MSZIP", 1}}));
    ASSERT_EQ(Mirad(dir, "--stored extract game.cab -d stored").status, 0);
    EXPECT_EQ(ReadFile(dir / "stored/level.002"), kLevel);
    EXPECT_EQ(ReadFile(dir / "stored/game.001"), BytesOf("new game"));
}

TEST(Host, PatternsAndExclusionsSelectEntries) {
    TempDir dir;
    std::vector<StoredFile> files;
    for (const char* name : {"bin\\App.DLL", "bin\\tool.exe", "lib/b.dll", "readme.txt", "x[1].txt"})
        files.push_back(Stored(name, BytesOf(name)));
    WriteFile(dir / "t.cab", BuildCabinet(files));
    const std::pair<std::string, Names> cases[] = {
        {"'*.dll'", {"bin/App.DLL", "lib/b.dll"}},  // any depth, either separator, any case
        {"'BIN/*'", {"bin/App.DLL", "bin/tool.exe"}},
        {"'b?n'", {"bin/App.DLL", "bin/tool.exe"}},          // a matched directory selects what is below it
        {"'[a-r]*.txt'", {"readme.txt"}},
        {"'[!r]*.txt'", {"x[1].txt"}},
        {"'x[1].txt'", {"x[1].txt"}},                          // a name is taken as itself first
        {"-x '*.dll' -x 'x*'", {"bin/tool.exe", "readme.txt"}},
        {"'bin' -x '*.exe'", {"bin/App.DLL"}},
    };
    for (const auto& [arguments, names] : cases) {
        EXPECT_EQ(Listed(dir, "list t.cab " + arguments), names) << arguments;
        // extract takes the same selection.
        fs::remove_all(dir / "out");
        ASSERT_EQ(Mirad(dir, "extract t.cab -d out " + arguments).status, 0) << arguments;
        Names written;
        for (const auto& file : FilesBelow(dir / "out")) written.push_back(file.first);
        Names expected;
        for (std::string name : names) {
            std::replace(name.begin(), name.end(), '\\', '/');
            expected.push_back(name);
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(written, expected) << arguments;
    }
}

TEST(Host, OverwriteControlAndWhatExtractSays) {
    TempDir dir;
    WriteFile(dir / "t.cab", BuildCabinet({Stored("a.txt", BytesOf("new a")), Stored("d\\b.txt", BytesOf("new b"))}));
    auto reset = [&] {
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
        WriteText(dir / "out/a.txt", "old a");
    };
    struct Case {
        std::string flags, output;
        Tree tree;
    };
    const Case cases[] = {
        {"", "", {{"a.txt", BytesOf("new a")}, {"d/b.txt", BytesOf("new b")}}},
        {"-o -v", "out/a.txt\nout/d/b.txt\n", {{"a.txt", BytesOf("new a")}, {"d/b.txt", BytesOf("new b")}}},
        {"-n", "mirad: kept the existing 'out/a.txt' (-n)\n", {{"a.txt", BytesOf("old a")}, {"d/b.txt", BytesOf("new b")}}},
        {"--no-overwrite --verbose", "mirad: kept the existing 'out/a.txt' (-n)\nout/d/b.txt\n",
         {{"a.txt", BytesOf("old a")}, {"d/b.txt", BytesOf("new b")}}},
        {"-n -q", "", {{"a.txt", BytesOf("old a")}, {"d/b.txt", BytesOf("new b")}}},
    };
    for (const Case& c : cases) {
        reset();
        CommandResult r = Mirad(dir, "extract t.cab -d out " + c.flags + " 2>&1");
        EXPECT_EQ(r.status, 0) << c.flags;
        EXPECT_EQ(r.out, c.output) << c.flags;
        EXPECT_EQ(FilesBelow(dir / "out"), c.tree) << c.flags;
    }
    // -q silences warnings and summaries, never errors.
    WriteFile(dir / "up.cab", BuildCabinet({Stored("..\\up.txt", BytesOf("u"))}));
    EXPECT_EQ(Mirad(dir, "-q extract up.cab -d q").out, "");
    EXPECT_EQ(Mirad(dir, "test -q t.cab").out, "");
    EXPECT_EQ(Mirad(dir, "-q list missing.cab").out, "mirad: cannot open 'missing.cab': No such file or directory\n");
    EXPECT_EQ(Mirad(dir, "list t.cab -n").status, 2);
}

// Names are matched ignoring case and read from the source directory as
// given; the stored names stay.
TEST(Host, UpdateTakesNamesAsEveryViewListsThem) {
    TempDir dir;
    const std::pair<std::string, std::string> names[] = {
        {"%InstallDir%\\game.exe", "%InstallDir%/game.exe"},          // --installed
        {"Program Files\\Game\\game.exe", "Program Files/Game/game.exe"},  // --installed --expand
        {"game.001", "game.001"},                                        // --stored
        {"%INSTALLDIR%\\GAME.EXE", "%INSTALLDIR%/GAME.EXE"},
    };
    for (const auto& [name, file] : names) {
        WriteGameCabinet(dir);
        Bytes replacement = Pattern(12345, static_cast<uint32_t>(name.size()));
        fs::remove_all(dir / "repl");
        WriteTree(dir / "repl", {{file, replacement}});
        CommandResult r = Mirad(dir, "update game.cab -C repl " + Quote(name));
        ASSERT_EQ(r.status, 0) << name << r.out;
        EXPECT_EQ(r.out, "Updated 'game.cab': replaced 1 file.\n") << name;
        fs::remove_all(dir / "out");
        ASSERT_EQ(Mirad(dir, "--installed --expand extract game.cab -d out").status, 0);
        EXPECT_EQ(FilesBelow(dir / "out"),
                  (Tree{{"Program Files/Game/game.exe", replacement}, {"Program Files/Game/data/level.dat", kLevel}}))
            << name;
        EXPECT_EQ(Listed(dir, "--stored list game.cab"), (Names{"SETUP.000", "game.001", "level.002"})) << name;
        ASSERT_EQ(Mirad(dir, "--stored extract game.cab -d stored -o").status, 0);
        EXPECT_EQ(ReadFile(dir / "stored/game.001"), replacement) << name;
        EXPECT_EQ(ReadFile(dir / "stored/level.002"), kLevel) << name;
    }
}

// The module takes the names: a device path is added below the directory
// that covers it with the flags asked for, and removed again by that name.
TEST(Host, UpdateAddAndRemoveEditTheInstallation) {
    TempDir dir;
    WriteGameCabinet(dir);
    const Names installed = Listed(dir, "--installed list game.cab");
    fs::create_directories(dir / "repl/Program Files/Game/extra");
    WriteFile(dir / "repl/Program Files/Game/extra/new.txt", BytesOf("new"));
    WriteFile(dir / "repl/Program Files/Game/game.exe", BytesOf("exe"));
    CommandResult r = Mirad(dir, "update --add --flags 0x40000000 game.cab -C repl 'Program Files/Game/extra/new.txt' "
                                 "'Program Files/Game/game.exe'");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "Updated 'game.cab': replaced 1 file, added 1 file.\n");
    Names added = installed;
    added.push_back("%InstallDir%/extra/new.txt");
    EXPECT_EQ(Listed(dir, "--installed list game.cab"), added);
    r = Mirad(dir, "extract game.cab ~Cab~.INF -d -");
    EXPECT_NE(r.out.find("\"new.txt\",\"new.txt\",,0x40000000"), std::string::npos) << r.out;
    r = Mirad(dir, "remove game.cab 'Program Files/Game/extra/new.txt'");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Listed(dir, "--installed list game.cab"), installed);
    EXPECT_EQ(Listed(dir, "--stored list game.cab"), (Names{"SETUP.000", "game.001", "level.002"}));
}

// Prints what python3's json module reads from `command`'s output.
CommandResult Json(const TempDir& dir, const std::string& arguments, const std::string& expression) {
    return Run("cd " + Quote(dir.path) + " && " + Quote(HostPath()) + " --config cfg " + arguments +
               " | python3 -c " + Quote("import json, sys; d = json.load(sys.stdin); print(" + expression + ")"));
}

TEST(Host, InfoLongAndJsonTellTheSameFacts) {
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 is not installed";
    TempDir dir;
    WriteGameCabinet(dir);
    CommandResult r = Mirad(dir, "info game.cab");
    ASSERT_EQ(r.status, 0) << r.out;
    for (const char* line : {"Folder 1:              compression none, ", "Application:           Game\n",
                             "Provider:              Example Co\n", "Installation dir:      %CE1%\\Game\n",
                             "Processor:             StrongARM SA11xx (2577)\n", "OS versions:           3.0 to 4.1\n",
                             "Installs:              2 files in 2 directories, 3 registry values in 1 key, 1 shortcut\n",
                             "game.001      \\Program Files\\Game\\game.exe\n",
                             "level.002     \\Program Files\\Game\\data\\level.dat\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;

    const std::pair<std::string, std::string> json[] = {
        {"[d['setup'][k] for k in ('appName', 'provider', 'installDir', 'processor', 'versionMin', 'versionMax', "
         "'files', 'registryValues', 'shortcuts')]",
         "['Game', 'Example Co', '%CE1%\\\\Game', 2577, '3.0', '4.1', 2, 3, 1]\n"},
        {"[(f['compression'], f['index']) for f in d['folders']]", "[('none', 0)]\n"},
        {"[(i['storedName'], i['destination'], i['devicePath']) for i in d['installs']]",
         "[('game.001', '%InstallDir%\\\\game.exe', '\\\\Program Files\\\\Game\\\\game.exe'), ('level.002', "
         "'%InstallDir%\\\\data\\\\level.dat', '\\\\Program Files\\\\Game\\\\data\\\\level.dat')]\n"},
    };
    for (const auto& [expression, expected] : json) {
        r = Json(dir, "info --json game.cab", expression);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out, expected) << expression;
    }
    r = Json(dir, "--full-view list --json game.cab",
             "[(e['name'], e['type'], e['size'], e['modified'], e['storedName'], e['folder']) for e in d['entries']]");
    EXPECT_EQ(r.out,
              "[('Program Files/Game/game.exe', 'file', 5000, '2025-01-01T12:00:00', 'game.001', 0), "
              "('Program Files/Game/data/level.dat', 'file', 40000, '2025-01-01T12:00:00', 'level.002', 0), "
              "('Windows/Start Menu/Programs/Game.lnk', 'shortcut', 35, '2025-01-01T12:00:00', None, None), "
              "('~Cab~.REG', 'document', 107, '2025-01-01T12:00:00', None, None), "
              "('~Cab~.INF', 'document', 6580, '2025-01-01T12:00:00', None, None)]\n");
    // Names that are no text: escaped, and still JSON.
    WriteFile(dir / "odd.cab", BuildCabinet({Stored("a\"b\\c\x01\xe9.txt", BytesOf("x"))}));
    r = Json(dir, "list --json odd.cab", "d['entries'][0]['name'].encode('unicode_escape')");
    // On Linux "\\" separates and an unflagged name is Windows-1252 (\xE9 é).
    EXPECT_EQ(r.out, "b'a\"b/c\\\\x01\\\\xe9.txt'\n");

    // On a terminal (script gives one) a header and a totals line frame the list.
    if (HaveTool("script")) {
        r = fixture::Run("cd " + Quote(dir.path) + " && script -qec " +
                         Quote(Quote(HostPath()) + " --config cfg --stored list game.cab") + " /dev/null");
        Names framed = Lines(r.out);
        ASSERT_EQ(framed.size(), 5u) << r.out;
        EXPECT_EQ(framed[0], "       Size  Modified             Attr  Name");
        unsigned long total = 0;
        for (size_t i = 1; i < 4; ++i) total += std::stoul(framed[i].substr(0, 11));
        EXPECT_EQ(framed[4], "3 entries, " + std::to_string(total) + " bytes");
    }

    // --long: the stored name, folder and offset beside each installed file.
    Names lines = Lines(Mirad(dir, "--installed list --long game.cab").out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("0x0020       0"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("  level.002     %InstallDir%/data/level.dat"), std::string::npos) << lines[1];
}

// The options a text names: words starting with - or -- after a space or
// an opening bracket.
std::set<std::string> OptionsIn(const std::string& text) {
    std::set<std::string> options;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '-' || (i > 0 && !std::strchr(" \t\n[(\"", text[i - 1]))) continue;
        size_t end = i + 1;
        if (text[end] == '-') ++end;
        if (end >= text.size() || !std::isalpha(static_cast<unsigned char>(text[end]))) continue;
        ++end;
        while (end < text.size() && (std::islower(static_cast<unsigned char>(text[end])) || text[end] == '-')) ++end;
        options.insert(text.substr(i, end - i));
        i = end;
    }
    return options;
}

// One table of commands and options: --help is made from it, and the manual
// page and the completion name exactly what it holds.
TEST(Host, HelpManPageAndCompletionFollowTheCommandTable) {
    CommandResult version = fixture::Run(Quote(HostPath()) + " --version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("mirad ", 0), 0u) << version.out;
    CommandResult help = fixture::Run(Quote(HostPath()) + " --help");
    ASSERT_EQ(help.status, 0);
    std::string man = ReadText(SourceDir() + "/host/mirad.1");
    // Roff: "\-" is a hyphen, "\fB" and friends change the font.
    for (size_t at; (at = man.find("\\-")) != std::string::npos;) man.erase(at, 1);
    for (size_t at; (at = man.find("\\f")) != std::string::npos;) man.erase(at, 3);
    std::string completion = ReadText(SourceDir() + "/host/mirad.bash-completion");
    std::set<std::string> options, global;
    for (const host::Option& o : host::OptionTable()) {
        for (const char* name : {o.shortName, o.longName})
            if (name) (o.commands ? options : global).insert(name);
    }
    std::set<std::string> all = options;
    all.insert(global.begin(), global.end());
    EXPECT_EQ(OptionsIn(help.out), all);
    EXPECT_EQ(OptionsIn(man), all);
    std::string commands, words;
    for (const std::string& line : Lines(completion)) {
        if (line.find("local commands=\"") != std::string::npos) commands = line.substr(line.find('"'));
        if (line.find("local view=\"") != std::string::npos || line.find("local common=\"") != std::string::npos)
            words += line + "\n";
    }
    EXPECT_EQ(OptionsIn(words), global);
    std::string names;
    for (const host::Command& c : host::Commands()) {
        names += (names.empty() ? "\"" : " ") + std::string(c.name);
        std::string usage = std::string(c.name) + " " + c.usage;
        EXPECT_NE(help.out.find("  " + usage), std::string::npos) << usage;
        EXPECT_NE(man.find(".TP\n" + usage + "\n"), std::string::npos) << usage;
        std::set<std::string> taken;
        for (const host::Option& o : host::OptionTable()) {
            for (const char* name : {o.shortName, o.longName})
                if (name && o.commands && host::Accepts(o, c.name)) taken.insert(name);
        }
        size_t at = completion.find(std::string(c.name) + ") options+=\"");
        std::string line = at == std::string::npos ? "" : completion.substr(at, completion.find('\n', at) - at);
        EXPECT_EQ(OptionsIn(" " + line.substr(line.find('"') + 1)), taken) << c.name;
    }
    EXPECT_EQ(commands, names + "\"");
}

TEST(Host, InstalledIntoAPrefixItRunsFromThere) {
    if (!HaveTool("cmake")) GTEST_SKIP() << "cmake is not installed";
    TempDir prefix;
    std::string build = fs::path(HostPath()).parent_path().string();
    CommandResult r = fixture::Run("cmake --install " + Quote(build) + " --prefix " + Quote(prefix.path));
    ASSERT_EQ(r.status, 0) << r.out;
    for (const char* file : {"bin/mirad", "lib/mirad/Mirad.wcx", "share/man/man1/mirad.1",
                             "share/bash-completion/completions/mirad"})
        EXPECT_TRUE(FileExists(prefix / file)) << file;
    // No module beside it: the installed mirad finds lib/mirad/Mirad.wcx.
    WriteGameCabinet(prefix);
    r = fixture::Run("cd " + Quote(prefix.path) + " && bin/mirad --config cfg --stored list game.cab");
    EXPECT_EQ(NamesOf(r), (Names{"SETUP.000", "game.001", "level.002"}));
}

// Runs the README's console examples in a directory holding samples/ and a
// fresh settings file, comparing what each command prints; "..." stands for
// any run of lines, or of characters within a line.
bool LineMatches(const std::string& expected, const std::string& actual) {
    size_t cut = expected.find("...");
    if (cut == std::string::npos) return expected == actual;
    std::string head = expected.substr(0, cut), tail = expected.substr(cut + 3);
    return actual.size() >= head.size() + tail.size() && actual.compare(0, head.size(), head) == 0 &&
           actual.compare(actual.size() - tail.size(), tail.size(), tail) == 0;
}
bool OutputMatches(const Names& expected, size_t e, const Names& actual, size_t a) {
    if (e == expected.size()) return a == actual.size();
    if (expected[e] == "...") {
        for (size_t skip = a; skip <= actual.size(); ++skip) {
            if (OutputMatches(expected, e + 1, actual, skip)) return true;
        }
        return false;
    }
    return a < actual.size() && LineMatches(expected[e], actual[a]) && OutputMatches(expected, e + 1, actual, a + 1);
}

TEST(Host, ReadmeExamples) {
    TempDir dir;
    // Copied as a checkout would be: the cabinet file gets today's date, the
    // examples show the dates stored inside it.
    fs::copy(SourceDir() + "/samples", dir / "samples");
    Names readme = Lines(ReadText(SourceDir() + "/README.md"));
    unsigned commands = 0;
    bool inConsole = false;
    for (size_t i = 0; i < readme.size(); ++i) {
        if (readme[i].rfind("```", 0) == 0) {
            inConsole = !inConsole && readme[i] == "```console";
            continue;
        }
        if (!inConsole || readme[i].rfind("$ mirad ", 0) != 0) continue;
        Names expected;
        for (size_t k = i + 1; k < readme.size() && readme[k].rfind("$ ", 0) != 0 && readme[k].rfind("```", 0) != 0; ++k)
            expected.push_back(readme[k]);
        CommandResult r = Mirad(dir, readme[i].substr(8) + " 2>&1");
        Names actual = Lines(r.out);
        EXPECT_TRUE(OutputMatches(expected, 0, actual, 0)) << readme[i] << "\n" << r.out;
        ++commands;
    }
    EXPECT_GE(commands, 10u);
}

}  // namespace
