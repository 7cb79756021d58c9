// End-to-end tests of the `mirad` host: the built program run as a person
// runs it, loading the built module from beside itself.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/fixture.h"

namespace fs = std::filesystem;
using fixture::Bytes;
using fixture::CommandResult;
using fixture::TempDir;

namespace {

// Runs mirad with a private settings directory (never the user's).
CommandResult Mirad(const TempDir& dir, const std::string& arguments) {
    return fixture::Run("cd " + fixture::Quote(dir.path) + " && " + fixture::Quote(fixture::HostPath()) +
                        " --config cfg " + arguments);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else if (c != '\r') {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// Every file below `root`, by relative path.
std::map<std::string, Bytes> Tree(const std::string& root) {
    std::map<std::string, Bytes> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        if (it->is_regular_file()) files[fs::relative(it->path(), root).string()] = fixture::ReadFile(it->path());
    }
    return files;
}

fixture::StoredFile Stored(const std::string& name, Bytes data, uint16_t attribs = 0x20) {
    fixture::StoredFile f;
    f.name = name;
    f.data = std::move(data);
    f.attribs = attribs;
    return f;
}

// A small CE cabinet: two installed files in two directories, a shortcut in
// the Start Menu to the program, one registry value.
fixture::CeSetup GameSetup() {
    fixture::CeSetup s;
    s.appName = "Game";
    s.provider = "Example Co";
    s.strings = {{1, "%CE1%\\Game"}, {2, "data"}, {3, "Game.lnk"}, {4, "Software"}, {5, "Game"}};
    s.directories = {{1, {1}}, {2, {1, 2}}};
    s.copyFiles = {{1, 1, "game.exe"}, {2, 2, "level.dat"}};
    s.hives = {{1, 2, {4, 5}}};
    Bytes version = fixture::BytesOf("1.0");
    version.push_back(0);
    s.values = {{1, 0x00000000, "Version", version}};
    fixture::CeShortcut shortcut;
    shortcut.id = 1;
    shortcut.baseMacro = 11;
    shortcut.targetId = 1;
    shortcut.targetIsFile = 1;
    shortcut.nameStringId = 3;
    s.shortcuts = {shortcut};
    return s;
}

const Bytes kGame = fixture::Pattern(5000, 7);
const Bytes kLevel = fixture::Pattern(40000, 8);

std::string WriteGameCabinet(const TempDir& dir) {
    std::string path = dir / "game.cab";
    fixture::WriteFile(path, fixture::BuildCeCabinet(GameSetup(), {Stored("game.001", kGame),
                                                                    Stored("level.002", kLevel)}));
    return path;
}

TEST(Host, ListShowsSizeDateAttributesAndName) {
    TempDir dir;
    fixture::StoredFile a = Stored("dir\\a.txt", fixture::BytesOf("hello"), 0x21);
    a.date = 0x5A21;  // 2025-01-01
    a.time = 0x6000;  // 12:00:00
    fixture::StoredFile b = Stored("b.bin", fixture::Pattern(70000, 1), 0x07);
    b.date = (45 << 9) | (6 << 5) | 30;  // 2025-06-30
    b.time = (23 << 11) | (59 << 5) | 29;  // 23:59:58
    fixture::WriteFile(dir / "t.cab", fixture::BuildCabinet({a, b}));
    CommandResult r = Mirad(dir, "list t.cab");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Lines(r.out), (std::vector<std::string>{
                                "          5  2025-01-01 12:00:00  R--A  dir\\a.txt",
                                "      70000  2025-06-30 23:59:58  RHS-  b.bin",
                            }));
}

TEST(Host, ExtractWritesStoredBytesAndCreatesDirectories) {
    TempDir dir;
    Bytes big = fixture::Pattern(100000, 3);
    fixture::WriteFile(dir / "t.cab", fixture::BuildCabinet({Stored("top\\mid\\deep.bin", big),
                                                             Stored("A.TXT", fixture::BytesOf("text"))}));
    CommandResult r = Mirad(dir, "extract t.cab -d out/x");
    ASSERT_EQ(r.status, 0) << r.out;
    std::map<std::string, Bytes> tree = Tree(dir / "out/x");
    ASSERT_EQ(tree.size(), 2u);
    EXPECT_EQ(tree["top/mid/deep.bin"], big);
    EXPECT_EQ(tree["A.TXT"], fixture::BytesOf("text"));

    // Names select ignoring case, with either separator; a directory name
    // selects what lies below it.
    r = Mirad(dir, "extract t.cab -d sel a.txt");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Tree(dir / "sel").size(), 1u);
    EXPECT_TRUE(fixture::FileExists(dir / "sel/A.TXT"));
    r = Mirad(dir, "extract t.cab -d sel2 TOP/Mid");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Tree(dir / "sel2").size(), 1u);
    EXPECT_EQ(fixture::ReadFile(dir / "sel2/top/mid/deep.bin"), big);

    // A name that selects nothing is an error that says so.
    r = Mirad(dir, "extract t.cab -d sel3 missing.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("mirad: 'missing.txt' is not an entry of 't.cab'"), std::string::npos) << r.out;
}

TEST(Host, EntryNamesNeverLeaveTheTargetDirectory) {
    TempDir dir;
    std::vector<fixture::StoredFile> files = {
        Stored("..\\..\\up.txt", fixture::BytesOf("1")),      Stored("\\\\rooted.txt", fixture::BytesOf("2")),
        Stored("C:\\drive.txt", fixture::BytesOf("3")),       Stored("/slash/x.txt", fixture::BytesOf("4")),
        Stored("a\\..\\..\\..\\b.txt", fixture::BytesOf("5")), Stored("..", fixture::BytesOf("6")),
        Stored("ok\\fine.txt", fixture::BytesOf("7")),
    };
    fixture::WriteFile(dir / "evil.cab", fixture::BuildCabinet(files));
    fs::create_directories(dir / "a/b");
    CommandResult r = Mirad(dir, "extract evil.cab -d a/b/target");
    // ".." leaves no name at all: reported, and the run fails.
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("entry '..' of 'evil.cab' has no name left inside"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("warning: entry '..\\..\\up.txt' would leave 'a/b/target'; writing it as 'up.txt'"),
              std::string::npos)
        << r.out;

    // Nothing but the cabinet, the settings and the target directory.
    std::map<std::string, Bytes> everything = Tree(dir.path);
    for (const auto& file : everything) {
        bool inside = file.first.rfind("a/b/target/", 0) == 0 || file.first == "evil.cab" ||
                      file.first.rfind("cfg/", 0) == 0;
        EXPECT_TRUE(inside) << file.first;
    }
    std::map<std::string, Bytes> tree = Tree(dir / "a/b/target");
    EXPECT_EQ(tree, (std::map<std::string, Bytes>{{"up.txt", fixture::BytesOf("1")},
                                                   {"rooted.txt", fixture::BytesOf("2")},
                                                   {"drive.txt", fixture::BytesOf("3")},
                                                   {"slash/x.txt", fixture::BytesOf("4")},
                                                   {"a/b.txt", fixture::BytesOf("5")},
                                                   {"ok/fine.txt", fixture::BytesOf("7")}}));
}

TEST(Host, FailuresAreSentencesWithNonZeroStatus) {
    TempDir dir;
    fixture::WriteText(dir / "text.cab", "this is no cabinet at all");
    fixture::CabOptions compressed;
    compressed.typeCompress = 1;
    fixture::WriteFile(dir / "zip.cab", fixture::BuildCabinet({Stored("a", fixture::BytesOf("a"))}, compressed));
    fs::create_directories(dir / "folder.cab");

    struct Case {
        std::string arguments, sentence;
        int status;
    };
    const Case cases[] = {
        {"list nothing.cab", "mirad: cannot open 'nothing.cab': no such file\n", 1},
        {"test text.cab", "mirad: 'text.cab' is not a cabinet, or it is damaged (bad data)\n", 1},
        {"extract zip.cab -d out",
         "mirad: 'zip.cab' is a cabinet Mirad does not read: compressed, or part of a multi-part set\n", 1},
        {"list folder.cab", "mirad: cannot open 'folder.cab': it is a directory\n", 1},
        {"frobnicate x.cab", "mirad: unknown command 'frobnicate' (see mirad --help)\n", 2},
        {"list --frob x.cab", "mirad: unknown option '--frob' (see mirad --help)\n", 2},
        {"list", "mirad: list takes one cabinet (see mirad --help)\n", 2},
    };
    for (const Case& c : cases) {
        CommandResult r = Mirad(dir, c.arguments);
        EXPECT_EQ(r.status, c.status) << c.arguments;
        EXPECT_EQ(r.out, c.sentence) << c.arguments;
    }
    CommandResult r = fixture::Run(fixture::Quote(fixture::HostPath()) + " --module /nonexistent/Mirad.wcx list x");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("cannot load the module '/nonexistent/Mirad.wcx': no such file"), std::string::npos)
        << r.out;
}

TEST(Host, TestCommandReadsTheData) {
    TempDir dir;
    fixture::CabLayout layout;
    Bytes cab = fixture::BuildCabinet({Stored("a.bin", fixture::Pattern(3000, 1)),
                                       Stored("b.bin", fixture::Pattern(3000, 2))},
                                      {}, &layout);
    fixture::WriteFile(dir / "good.cab", cab);
    CommandResult r = Mirad(dir, "test good.cab");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "good.cab: all 2 entries tested OK\n");

    // b.bin's offset moved past the folder's data: the header still opens,
    // only reading the bytes finds the fault.
    Bytes bad = cab;
    uint32_t at = layout.fileRecordOffsets[1] + 4;  // uoffFolderStart
    bad[at] = 0x00;
    bad[at + 1] = 0x00;
    bad[at + 2] = 0x10;
    bad[at + 3] = 0x00;
    fixture::WriteFile(dir / "bad.cab", bad);
    r = Mirad(dir, "test bad.cab");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("mirad: 'b.bin' in 'bad.cab' failed the test: bad data"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("mirad: 1 of 2 entries in 'bad.cab' failed the test"), std::string::npos) << r.out;
}

TEST(Host, ViewFlagsChooseTheListingAndLeaveTheSettingsFileAlone) {
    TempDir dir;
    WriteGameCabinet(dir);
    // The settings file asks for everything; flags override it for one run.
    fs::create_directories(dir / "cfg");
    fixture::WriteSettings(dir / "cfg", true, true, true, true, true);
    Bytes settings = fixture::ReadFile(dir / "cfg/Mirad.ini");

    auto names = [&](const std::string& arguments) {
        CommandResult r = Mirad(dir, arguments);
        EXPECT_EQ(r.status, 0) << arguments << "\n" << r.out;
        std::vector<std::string> result;
        for (const std::string& line : Lines(r.out)) result.push_back(line.substr(line.rfind("  ") + 2));
        return result;
    };
    EXPECT_EQ(names("list game.cab"),
              (std::vector<std::string>{"Program Files\\Game\\game.exe", "Program Files\\Game\\data\\level.dat",
                                        "Windows\\Start Menu\\Programs\\Game.lnk", "~Cab~.REG", "~Cab~.INF"}));
    EXPECT_EQ(names("--stored list game.cab"), (std::vector<std::string>{"SETUP.000", "game.001", "level.002"}));
    EXPECT_EQ(names("--installed list game.cab"),
              (std::vector<std::string>{"%InstallDir%\\game.exe", "%InstallDir%\\data\\level.dat"}));
    EXPECT_EQ(names("--shortcuts --expand list game.cab"),
              (std::vector<std::string>{"SETUP.000", "game.001", "level.002",
                                        "Windows\\Start Menu\\Programs\\Game.lnk"}));
    EXPECT_EQ(names("--registry --inf list game.cab"),
              (std::vector<std::string>{"SETUP.000", "game.001", "level.002", "~Cab~.REG", "~Cab~.INF"}));
    EXPECT_EQ(fixture::ReadFile(dir / "cfg/Mirad.ini"), settings);

    CommandResult r = Mirad(dir, "--all list game.cab");
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0].substr(0, 11), "       5000");
    EXPECT_EQ(lines[2].substr(0, 11), "     <link>");
    EXPECT_EQ(lines[3].substr(0, 11), "<generated>");
    EXPECT_EQ(lines[4].substr(0, 11), "<generated>");
}

TEST(Host, FlagsApplyEvenWithASettingsFileBesideTheModule) {
    // A copy of mirad and the module with a Mirad.ini beside them, which the
    // module prefers over any directory the host names.
    TempDir dir;
    TempDir tmp;  // the host's temporary directories go here: all must go away
    WriteGameCabinet(dir);
    std::string bin = dir / "bin";
    fs::create_directories(bin);
    fs::copy_file(fixture::HostPath(), bin + "/mirad");
    fs::copy_file(fixture::ModulePath(), bin + "/Mirad.wcx");
    fixture::WriteSettings(bin, true, true, false, false, false);
    Bytes settings = fixture::ReadFile(bin + "/Mirad.ini");
    std::string run = "cd " + fixture::Quote(dir.path) + " && TMPDIR=" + fixture::Quote(tmp.path) + " bin/mirad ";

    CommandResult r = fixture::Run(run + "list game.cab");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Program Files\\Game\\game.exe"), std::string::npos) << r.out;
    r = fixture::Run(run + "--stored list game.cab");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("game.001"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Program Files"), std::string::npos) << r.out;
    EXPECT_EQ(fixture::ReadFile(bin + "/Mirad.ini"), settings);
    EXPECT_TRUE(fs::is_empty(tmp.path)) << "temporary directories left behind";
}

TEST(Host, InstalledViewExtractsTheDeviceLayout) {
    TempDir dir;
    WriteGameCabinet(dir);
    CommandResult r = Mirad(dir, "--installed --expand --shortcuts extract game.cab -d device");
    ASSERT_EQ(r.status, 0) << r.out;
    std::map<std::string, Bytes> tree = Tree(dir / "device");
    EXPECT_EQ(tree, (std::map<std::string, Bytes>{
                        {"Program Files/Game/game.exe", kGame},
                        {"Program Files/Game/data/level.dat", kLevel},
                        {"Windows/Start Menu/Programs/Game.lnk",
                         fixture::BytesOf("30#\"\\Program Files\\Game\\game.exe\"\r\n")},
                    }));
}

TEST(Host, DocumentsGoToStandardOutputAsExtracted) {
    TempDir dir;
    WriteGameCabinet(dir);
    CommandResult r = Mirad(dir, "--registry --inf extract game.cab -d docs");
    ASSERT_EQ(r.status, 0) << r.out;
    Bytes reg = fixture::ReadFile(dir / "docs/~Cab~.REG");
    Bytes inf = fixture::ReadFile(dir / "docs/~Cab~.INF");
    ASSERT_FALSE(reg.empty());
    ASSERT_FALSE(inf.empty());
    EXPECT_EQ(std::string(reg.begin(), reg.begin() + 10), "REGEDIT4\r\n");

    // No view flag: naming the document is enough.
    r = Mirad(dir, "extract game.cab ~Cab~.INF -d -");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(inf.begin(), inf.end()));
    r = Mirad(dir, "extract game.cab '~cab~.reg' -d -");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(reg.begin(), reg.end()));
}

TEST(Host, LogFlagWritesTheModuleLogForOneRun) {
    TempDir dir;
    WriteGameCabinet(dir);
    CommandResult r = Mirad(dir, "--log run.log list game.cab");
    ASSERT_EQ(r.status, 0) << r.out;
    std::string log = fixture::ReadText(dir / "run.log");
    EXPECT_NE(log.find("Open game.cab"), std::string::npos) << log;
    EXPECT_NE(log.find("CloseArchive game.cab"), std::string::npos) << log;
    // The user's settings keep no log.
    r = Mirad(dir, "list game.cab");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(fixture::ReadText(dir / "run.log"), log);
}

TEST(Host, PackThenListAndExtractRoundTrip) {
    TempDir dir;
    fs::create_directories(dir / "src/sub/deeper");
    Bytes b = fixture::Pattern(40000, 5);
    fixture::WriteText(dir / "src/a.txt", "alpha");
    fixture::WriteFile(dir / "src/sub/b.bin", b);
    fixture::WriteText(dir / "src/sub/deeper/c.txt", "gamma");
    CommandResult r = Mirad(dir, "pack new.cab -C src --prefix Game a.txt sub");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "Packed 3 files into 'new.cab'.\n");

    r = Mirad(dir, "list new.cab");
    std::vector<std::string> names;
    for (const std::string& line : Lines(r.out)) names.push_back(line.substr(line.rfind("  ") + 2));
    EXPECT_EQ(names, (std::vector<std::string>{"Game\\a.txt", "Game\\sub\\b.bin", "Game\\sub\\deeper\\c.txt"}));
    r = Mirad(dir, "extract new.cab -d out");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Tree(dir / "out"), (std::map<std::string, Bytes>{{"Game/a.txt", fixture::BytesOf("alpha")},
                                                               {"Game/sub/b.bin", b},
                                                               {"Game/sub/deeper/c.txt", fixture::BytesOf("gamma")}}));
    if (fixture::HaveTool("cabextract")) {
        r = fixture::Run("cabextract -t " + fixture::Quote(dir / "new.cab"));
        EXPECT_EQ(r.status, 0) << r.out;
    }

    // pack never overwrites; missing sources are named.
    Bytes before = fixture::ReadFile(dir / "new.cab");
    r = Mirad(dir, "pack new.cab -C src a.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("mirad: 'new.cab' already exists"), std::string::npos) << r.out;
    EXPECT_EQ(fixture::ReadFile(dir / "new.cab"), before);
    r = Mirad(dir, "pack other.cab -C src nothere.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("cannot pack 'src/nothere.txt': no such file or directory"), std::string::npos) << r.out;
    EXPECT_FALSE(fixture::FileExists(dir / "other.cab"));

    // --move removes the sources once the cabinet is complete.
    r = Mirad(dir, "pack moved.cab -C src --move sub");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(fixture::FileExists(dir / "src/sub"));
    EXPECT_TRUE(fixture::FileExists(dir / "src/a.txt"));
    r = Mirad(dir, "extract moved.cab -d moved");
    EXPECT_EQ(fixture::ReadFile(dir / "moved/sub/b.bin"), b);
}

TEST(Host, UpdateReplacesInstalledFilesAndRefusesUnknownNames) {
    TempDir dir;
    std::string cab = WriteGameCabinet(dir);
    Bytes newGame = fixture::Pattern(12345, 99);
    // Matched against the setup file's destination paths ignoring case; read
    // from the source directory under the name as given.
    fs::create_directories(dir / "repl/%INSTALLDIR%");
    fixture::WriteFile(dir / "repl/%INSTALLDIR%/GAME.EXE", newGame);

    CommandResult r = Mirad(dir, "update game.cab -C repl '%INSTALLDIR%\\GAME.EXE'");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "Updated 'game.cab': replaced 1 file.\n");
    r = Mirad(dir, "--installed --expand extract game.cab -d out");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Tree(dir / "out"), (std::map<std::string, Bytes>{{"Program Files/Game/game.exe", newGame},
                                                               {"Program Files/Game/data/level.dat", kLevel}}));
    r = Mirad(dir, "--stored list game.cab");
    EXPECT_NE(r.out.find("game.001"), std::string::npos) << r.out;  // names are kept

    Bytes before = fixture::ReadFile(cab);
    fixture::WriteText(dir / "repl/other.txt", "x");
    r = Mirad(dir, "update game.cab -C repl other.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("mirad: cannot update 'game.cab': 'other.txt' is not a file it installs"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(fixture::ReadFile(cab), before);

    r = Mirad(dir, "update absent.cab -C repl other.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "mirad: cannot open 'absent.cab': no such file\n");
    EXPECT_FALSE(fixture::FileExists(dir / "absent.cab"));
}

TEST(Host, HelpAndVersion) {
    CommandResult r = fixture::Run(fixture::Quote(fixture::HostPath()) + " --version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("mirad ", 0), 0u) << r.out;
    r = fixture::Run(fixture::Quote(fixture::HostPath()) + " --help");
    EXPECT_EQ(r.status, 0);
    // The flags and commands --help promises are the ones the host takes.
    for (const char* word : {"--installed", "--expand", "--shortcuts", "--registry", "--inf", "--all", "--stored",
                             "--module", "--config", "--log", "extract CAB [-d DIR]", "pack CAB", "update CAB"}) {
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    }
}

}  // namespace
