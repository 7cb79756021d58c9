// End-to-end tests of the `mirad` host: the built program run as a person
// runs it, loading the built module from beside itself.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/fixture.h"

namespace fs = std::filesystem;
using namespace fixture;

namespace {

using Tree = std::map<std::string, Bytes>;
using Names = std::vector<std::string>;

// Runs mirad in `dir` with a private settings directory (never the user's).
CommandResult Mirad(const TempDir& dir, const std::string& arguments) {
    return Run("cd " + Quote(dir.path) + " && " + Quote(HostPath()) + " --config cfg " + arguments);
}

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

StoredFile Stored(const std::string& name, Bytes data, uint16_t attribs = 0x20) {
    StoredFile f;
    f.name = name;
    f.data = std::move(data);
    f.attribs = attribs;
    return f;
}

const Bytes kGame = GameBytes();
const Bytes kLevel = LevelBytes();

void WriteGameCabinet(const TempDir& dir) { WriteFile(dir / "game.cab", GameCabinet()); }

// The module a file manager loads shows the nine exports and nothing else.
TEST(Host, ModuleExportsExactlyTheNineFunctions) {
    if (!HaveTool("nm")) GTEST_SKIP() << "nm is not installed";
    CommandResult r = fixture::Run("nm -D --defined-only " + Quote(ModulePath()) + " | awk '{print $3}' | sort");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out,
              "CloseArchive\nGetPackerCaps\nOpenArchive\nPackFiles\nPackSetDefaultParams\nProcessFile\n"
              "ReadHeader\nSetChangeVolProc\nSetProcessDataProc\n");
}

TEST(Host, ListShowsSizeDateAttributesAndName) {
    TempDir dir;
    StoredFile a = Stored("dir\\a.txt", BytesOf("hello"), 0x21);  // 2025-01-01 12:00:00 by default
    StoredFile b = Stored("b.bin", Pattern(70000, 1), 0x07);
    b.date = (45 << 9) | (6 << 5) | 30;    // 2025-06-30
    b.time = (23 << 11) | (59 << 5) | 29;  // 23:59:58
    WriteFile(dir / "t.cab", BuildCabinet({a, b}));
    CommandResult r = Mirad(dir, "list t.cab");
    ASSERT_EQ(r.status, 0) << r.out;
    // The Linux module tells a mode, not DOS bits: R when read-only, A for
    // every regular file (the rule packing follows); hidden and system are gone.
    EXPECT_EQ(Lines(r.out), (Names{"          5  2025-01-01 12:00:00  R--A  dir/a.txt",
                                   "      70000  2025-06-30 23:59:58  R--A  b.bin"}));
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
    const char* names[] = {"..\\..\\up.txt", "\\\\rooted.txt", "C:\\drive.txt", "/slash/x.txt",
                           "a\\..\\..\\..\\b.txt", "..", "ok\\fine.txt"};
    std::vector<StoredFile> files;
    for (const char* name : names) files.push_back(Stored(name, BytesOf(std::to_string(files.size() + 1))));
    WriteFile(dir / "evil.cab", BuildCabinet(files));
    fs::create_directories(dir / "a/b");
    CommandResult r = Mirad(dir, "extract evil.cab -d a/b/target");
    // ".." leaves no name at all: reported, and the run fails.
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("entry '..' of 'evil.cab' has no name left inside"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("warning: entry '../../up.txt' would leave 'a/b/target'; writing it as 'up.txt'"),
              std::string::npos)
        << r.out;
    // Nothing written but the target directory (beside the cabinet and the settings).
    for (const auto& file : FilesBelow(dir.path)) {
        EXPECT_TRUE(file.first.rfind("a/b/target/", 0) == 0 || file.first == "evil.cab" ||
                    file.first.rfind("cfg/", 0) == 0)
            << file.first;
    }
    EXPECT_EQ(FilesBelow(dir / "a/b/target"),
              (Tree{{"up.txt", BytesOf("1")}, {"rooted.txt", BytesOf("2")}, {"drive.txt", BytesOf("3")},
                    {"slash/x.txt", BytesOf("4")}, {"a/b.txt", BytesOf("5")}, {"ok/fine.txt", BytesOf("7")}}));
}

TEST(Host, ResultsAreSentencesWithTheirStatus) {
    TempDir dir;
    WriteText(dir / "text.cab", "this is no cabinet at all");
    CabOptions compressed;
    compressed.typeCompress = 1;
    WriteFile(dir / "zip.cab", BuildCabinet({Stored("a", BytesOf("a"))}, compressed));
    fs::create_directories(dir / "folder.cab");
    // good.cab as written; in bad.cab b.bin's offset lies 1 MiB past the
    // folder's data: the header still opens, only reading the bytes finds the fault.
    CabLayout layout;
    Bytes cab = BuildCabinet({Stored("a.bin", Pattern(3000, 1)), Stored("b.bin", Pattern(3000, 2))}, {}, &layout);
    WriteFile(dir / "good.cab", cab);
    cab[layout.fileRecordOffsets[1] + 6] = 0x10;  // uoffFolderStart
    WriteFile(dir / "bad.cab", cab);
    WriteGameCabinet(dir);
    fs::create_directories(dir / "src");
    WriteText(dir / "src/a.txt", "a");
    Tree before = FilesBelow(dir.path);

    struct Case {
        std::string arguments, output;
        int status;
    };
    const Case cases[] = {
        {"test good.cab", "good.cab: all 2 entries tested OK\n", 0},
        {"test bad.cab",
         "mirad: 'b.bin' in 'bad.cab' failed the test: bad data\n"
         "mirad: 1 of 2 entries in 'bad.cab' failed the test\n",
         1},
        {"list nothing.cab", "mirad: cannot open 'nothing.cab': no such file\n", 1},
        {"test text.cab", "mirad: 'text.cab' is not a cabinet, or it is damaged (bad data)\n", 1},
        {"extract zip.cab -d out",
         "mirad: 'zip.cab' is a cabinet Mirad does not read: compressed, or part of a multi-part set\n", 1},
        {"list folder.cab", "mirad: cannot open 'folder.cab': it is a directory\n", 1},
        {"extract good.cab -d out missing.txt",
         "mirad: 'missing.txt' is not an entry of 'good.cab' in this view (see mirad list and the view flags)\n", 1},
        {"pack good.cab -C src a.txt",
         "mirad: 'good.cab' already exists: pack makes new cabinets (update replaces installed files)\n", 1},
        {"pack other.cab -C src nothere.txt", "mirad: cannot pack 'src/nothere.txt': no such file or directory\n", 1},
        {"update game.cab -C src a.txt",
         "mirad: cannot update 'game.cab': 'a.txt' is not a file it installs (names are installed paths such as "
         "%CE1%\\Game\\game.exe, as 'mirad list --installed' shows them); nothing was changed\n",
         1},
        {"update absent.cab -C src a.txt", "mirad: cannot open 'absent.cab': no such file\n", 1},
        {"--module /nonexistent/Mirad.wcx list good.cab",
         "mirad: cannot load the module '/nonexistent/Mirad.wcx': no such file\n", 1},
        {"frobnicate x.cab", "mirad: unknown command 'frobnicate' (see mirad --help)\n", 2},
        {"list --frob x.cab", "mirad: unknown option '--frob' (see mirad --help)\n", 2},
        {"list", "mirad: list takes one cabinet (see mirad --help)\n", 2},
    };
    for (const Case& c : cases) {
        CommandResult r = Mirad(dir, c.arguments);
        EXPECT_EQ(r.status, c.status) << c.arguments;
        EXPECT_EQ(r.out, c.output) << c.arguments;
    }
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
        {"--shortcuts --expand", {"SETUP.000", "game.001", "level.002", "Windows/Start Menu/Programs/Game.lnk"}},
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
}

TEST(Host, FlagsApplyEvenWithASettingsFileBesideTheModule) {
    // A copy of mirad and the module with a Mirad.ini beside them, which the
    // module prefers over any directory the host names.
    TempDir dir;
    TempDir tmp;  // the host's temporary directories go here: all must go away
    WriteGameCabinet(dir);
    fs::create_directories(dir / "bin");
    fs::copy_file(HostPath(), dir / "bin/mirad");
    fs::copy_file(ModulePath(), dir / "bin/Mirad.wcx");
    WriteSettings(dir / "bin", true, true, false, false, false);
    Bytes settings = ReadFile(dir / "bin/Mirad.ini");
    std::string run = "cd " + Quote(dir.path) + " && TMPDIR=" + Quote(tmp.path) + " bin/mirad ";
    EXPECT_EQ(NamesOf(fixture::Run(run + "list game.cab")),
              (Names{"Program Files/Game/game.exe", "Program Files/Game/data/level.dat"}));
    EXPECT_EQ(NamesOf(fixture::Run(run + "--stored list game.cab")), (Names{"SETUP.000", "game.001", "level.002"}));
    EXPECT_EQ(ReadFile(dir / "bin/Mirad.ini"), settings);
    EXPECT_TRUE(fs::is_empty(tmp.path)) << "temporary directories left behind";
}

TEST(Host, InstalledViewExtractsTheDeviceLayout) {
    TempDir dir;
    WriteGameCabinet(dir);
    CommandResult r = Mirad(dir, "--installed --expand --shortcuts extract game.cab -d device");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(FilesBelow(dir / "device"),
              (Tree{{"Program Files/Game/game.exe", kGame},
                    {"Program Files/Game/data/level.dat", kLevel},
                    {"Windows/Start Menu/Programs/Game.lnk", BytesOf("30#\"\\Program Files\\Game\\game.exe\"\r\n")}}));
}

TEST(Host, DocumentsGoToStandardOutputAsExtracted) {
    TempDir dir;
    WriteGameCabinet(dir);
    CommandResult r = Mirad(dir, "--registry --inf extract game.cab -d docs");
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
}

TEST(Host, LogFlagWritesTheModuleLogForOneRun) {
    TempDir dir;
    WriteGameCabinet(dir);
    ASSERT_EQ(Mirad(dir, "--log run.log list game.cab").status, 0);
    std::string log = ReadText(dir / "run.log");
    EXPECT_NE(log.find("Open game.cab"), std::string::npos) << log;
    EXPECT_NE(log.find("CloseArchive game.cab"), std::string::npos) << log;
    // The user's settings keep no log.
    EXPECT_EQ(Mirad(dir, "list game.cab").status, 0);
    EXPECT_EQ(ReadText(dir / "run.log"), log);
}

TEST(Host, PackDirectoriesWithPrefixAndMove) {
    TempDir dir;
    Tree files = {
        {"a.txt", BytesOf("alpha")}, {"sub/b.bin", Pattern(40000, 5)}, {"sub/deeper/c.txt", BytesOf("gamma")}};
    fs::create_directories(dir / "src/sub/deeper");
    for (const auto& [name, bytes] : files) WriteFile(dir / ("src/" + name), bytes);
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
}

TEST(Host, UpdateReplacesInstalledFilesKeepingStoredNames) {
    TempDir dir;
    WriteGameCabinet(dir);
    Bytes newGame = Pattern(12345, 99);
    // Matched against the setup file's destination paths ignoring case; read
    // from the source directory under the name as given.
    fs::create_directories(dir / "repl/%INSTALLDIR%");
    WriteFile(dir / "repl/%INSTALLDIR%/GAME.EXE", newGame);
    CommandResult r = Mirad(dir, "update game.cab -C repl '%INSTALLDIR%\\GAME.EXE'");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "Updated 'game.cab': replaced 1 file.\n");
    ASSERT_EQ(Mirad(dir, "--installed --expand extract game.cab -d out").status, 0);
    EXPECT_EQ(FilesBelow(dir / "out"),
              (Tree{{"Program Files/Game/game.exe", newGame}, {"Program Files/Game/data/level.dat", kLevel}}));
    EXPECT_EQ(Listed(dir, "--stored list game.cab"), (Names{"SETUP.000", "game.001", "level.002"}));
}

TEST(Host, HelpAndVersion) {
    CommandResult r = fixture::Run(Quote(HostPath()) + " --version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("mirad ", 0), 0u) << r.out;
    r = fixture::Run(Quote(HostPath()) + " --help");
    EXPECT_EQ(r.status, 0);
    // The flags and commands --help promises are the ones the host takes.
    for (const char* word : {"--installed", "--expand", "--shortcuts", "--registry", "--inf", "--all", "--stored",
                             "--module", "--config", "--log", "extract CAB [-d DIR]", "pack CAB", "update CAB"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

}  // namespace
