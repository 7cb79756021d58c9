// The archive view through the exports: listing phases and EntryHeader
// fields, destination paths and macro expansion, shortcut files, skip / test /
// extract, and options that apply per archive.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "tests/fixture.h"

using namespace fixture;

namespace {

constexpr uint16_t kNoDirectory = 0xEEEE;  // a directory id no table holds

// One fresh module with its own settings, and a place for cabinets.
struct View {
    Module m;
    TempDir dir;

    View() { EXPECT_TRUE(m.ok()); }

    void Options(bool ce, bool path, bool reg, bool shortcuts, bool inf, const std::string& log = "") {
        WriteSettings(m.directory(), ce, path, reg, shortcuts, inf, log);
        m.SetSettingsDir(m.directory());
    }
    std::string Cab(const std::string& name, const Bytes& bytes) {
        WriteFile(dir / name, bytes);
        return dir / name;
    }
    std::vector<std::string> Names(const std::string& cab) {
        std::vector<std::string> names;
        for (const Entry& e : List(m, cab)) names.push_back(e.name);
        return names;
    }
};

// A small game: install directory %CE1%\Game, game.exe in it, engine.dll in
// its Bin directory (spanning two data blocks), a Start Menu shortcut to the
// program and one registry value.
CeSetup GameSetup() {
    CeSetup s;
    s.strings = {{1, "%CE1%\\Game"}, {2, "Bin"}, {3, "Game.lnk"}, {4, "Software"}};
    s.directories = {{1, {1}}, {2, {1, 2}}};
    s.copyFiles = {{1, 1, "game.exe"}, {2, 2, "engine.dll"}};
    s.hives = {{1, 3, {4}}};
    s.values = {{1, 0x00010001, "Level", Bytes{1, 0, 0, 0}}};
    CeShortcut sc;
    sc.baseMacro = 11;
    sc.targetId = 1;
    sc.targetIsFile = 1;
    sc.nameStringId = 3;
    s.shortcuts = {sc};
    return s;
}

std::vector<StoredFile> GameFiles() {
    StoredFile game{"game.001", Pattern(5000, 1)};
    StoredFile engine{"engine.002", Pattern(70000, 2)};
    engine.date = 0x5B32;
    engine.time = 0x7ABC;
    engine.attribs = 0x0121;
    return {game, engine};
}

// A setup whose copy-files carry the given destinations verbatim (their
// directory ids match nothing, so the stored name is the whole path).
CeSetup RawDestinations(const std::vector<std::string>& paths, bool withStrings = true) {
    CeSetup s;
    if (withStrings) s.strings = {{1, "%CE1%\\Game"}};
    for (size_t i = 0; i < paths.size(); ++i) s.copyFiles.push_back({1, kNoDirectory, paths[i]});
    return s;
}

struct Walk {
    void* handle = nullptr;
    EntryHeader h;
    Walk() { std::memset(&h, 0, sizeof h); }
};

std::string Slurp(const std::string& path) { return ReadText(path); }

// The lines of a log that belong to the listing and extraction.
std::vector<std::string> LogLines(const std::string& path, const std::vector<std::string>& prefixes) {
    std::vector<std::string> lines;
    std::istringstream in(Slurp(path));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        for (const auto& p : prefixes) {
            if (line.compare(0, p.size(), p) == 0) {
                lines.push_back(line);
                break;
            }
        }
    }
    return lines;
}

}  // namespace

TEST(CeViewListing, AllOptionsWalkInstalledShortcutsRegistryInfThenEnd) {
    View v;
    v.Options(true, true, true, true, true);
    std::string cab = v.Cab("game.cab", BuildCeCabinet(GameSetup(), GameFiles()));
    std::vector<Entry> list = List(v.m, cab);
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0].name, "Program Files\\Game\\game.exe");
    EXPECT_EQ(list[0].packedSize, 5000);
    EXPECT_EQ(list[0].fileTime, (0x5A21 << 16) | 0x6000);
    EXPECT_EQ(list[0].attributes, 0x20);
    EXPECT_EQ(list[1].name, "Program Files\\Game\\Bin\\engine.dll");
    EXPECT_EQ(list[1].packedSize, 70000);
    EXPECT_EQ(list[1].unpackedSize, 70000);
    EXPECT_EQ(list[1].fileTime, (0x5B32 << 16) | 0x7ABC);
    EXPECT_EQ(list[1].attributes, 0x21);  // low 8 bits of 0x0121
    EXPECT_EQ(list[2].name, "Windows\\Start Menu\\Programs\\Game.lnk");
    EXPECT_EQ(list[3].name, "~Cab~.REG");
    EXPECT_EQ(list[4].name, "~Cab~.INF");
    for (size_t i = 2; i < 5; ++i) {
        EXPECT_EQ(list[i].packedSize, -1) << list[i].name;
        EXPECT_EQ(list[i].unpackedSize, -1) << list[i].name;
        EXPECT_EQ(list[i].fileTime, 0) << list[i].name;
        EXPECT_EQ(list[i].attributes, 32) << list[i].name;
    }
}

TEST(CeViewListing, StoredViewShowsEveryStoredFileIncludingTheSetupFile) {
    View v;
    v.Options(false, false, false, false, false);
    std::string cab = v.Cab("game.cab", BuildCeCabinet(GameSetup(), GameFiles()));
    std::vector<Entry> list = List(v.m, cab);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].name, "SETUP.000");
    EXPECT_EQ(list[1].name, "game.001");
    EXPECT_EQ(list[2].name, "engine.002");
    EXPECT_EQ(list[2].packedSize, 70000);
    EXPECT_EQ(list[2].attributes, 0x21);
    EXPECT_EQ(list[2].fileTime, (0x5B32 << 16) | 0x7ABC);

    // Installed view: stored files no copy-file names (the setup file, an
    // extra one) are not listed; two copy-files of one stored file list twice.
    CeSetup s = GameSetup();
    s.copyFiles.push_back({2, 1, "engine-copy.dll"});
    std::vector<StoredFile> files = GameFiles();
    files.push_back({"extra.003", Pattern(10, 3)});
    v.Options(false, true, false, false, false);
    std::vector<Entry> installed = List(v.m, v.Cab("dup.cab", BuildCeCabinet(s, files)));
    ASSERT_EQ(installed.size(), 3u);
    EXPECT_EQ(installed[0].name, "%InstallDir%\\game.exe");
    EXPECT_EQ(installed[2].name, "%InstallDir%\\engine-copy.dll");
    EXPECT_EQ(installed[2].packedSize, 70000);
    EXPECT_EQ(installed[2].fileTime, installed[1].fileTime);
}

TEST(CeViewListing, OneLeadingSeparatorIsDropped) {
    View v;
    v.Options(true, true, true, true, true);
    // A plain cabinet: every CE option counts as off for it.
    std::vector<StoredFile> files = {{"\\dir\\a.txt", BytesOf("a")}, {"\\\\b.txt", BytesOf("b")},
                                     {"/c.txt", BytesOf("c")}};
    EXPECT_EQ(v.Names(v.Cab("plain.cab", BuildCabinet(files))),
              (std::vector<std::string>{"dir\\a.txt", "\\b.txt", "c.txt"}));
}

TEST(CeViewListing, GeneratedEntriesFollowTheirOptionsAndContent) {
    View v;
    CeSetup noValues = GameSetup();
    noValues.values.clear();
    std::string cab = v.Cab("novalues.cab", BuildCeCabinet(noValues, GameFiles()));
    v.Options(false, true, true, false, false);
    EXPECT_EQ(v.Names(cab), (std::vector<std::string>{"%InstallDir%\\game.exe", "%InstallDir%\\Bin\\engine.dll"}));

    CeSetup empty;  // no files, shortcuts or values at all
    v.Options(false, true, true, true, true);
    EXPECT_EQ(v.Names(v.Cab("empty.cab", BuildCeCabinet(empty, {}))), (std::vector<std::string>{"~Cab~.INF"}));

    v.Options(false, false, false, true, false);
    EXPECT_EQ(v.Names(v.Cab("game.cab", BuildCeCabinet(GameSetup(), GameFiles()))),
              (std::vector<std::string>{"SETUP.000", "game.001", "engine.002", "%CE11%\\Game.lnk"}));
}

TEST(CeViewListing, EndIsStickyAndKeepsTheHostsFileName) {
    View v;
    v.Options(true, false, false, false, false);
    std::string cab = v.Cab("game.cab", BuildCeCabinet(GameSetup(), GameFiles()));
    OpenResult o = Open(v.m, cab);
    ASSERT_NE(o.handle, nullptr);
    Walk w;
    int n = 0;
    while (v.m.ReadHeader(o.handle, &w.h) == 0) ++n;
    EXPECT_EQ(n, 3);
    for (int i = 0; i < 2; ++i) {
        std::memset(&w.h, 0x55, sizeof w.h);
        std::strcpy(w.h.fileName, "host's own");
        w.h.flags = 77;
        w.h.hostOS = 5;
        EXPECT_EQ(v.m.ReadHeader(o.handle, &w.h), MIRAD_END_ARCHIVE);
        EXPECT_STREQ(w.h.fileName, "host's own");
        EXPECT_STREQ(w.h.archiveName, cab.c_str());
        EXPECT_EQ(w.h.flags, 77);
        EXPECT_EQ(w.h.hostOS, 5);
        EXPECT_EQ(w.h.packedSize, -1);
        EXPECT_EQ(w.h.unpackedSize, -1);
        EXPECT_EQ(w.h.fileAttributes, 32);
        EXPECT_EQ(w.h.fileTime, 0);
        EXPECT_EQ(w.h.fileCRC, 0);
        EXPECT_EQ(w.h.method, 0);
        EXPECT_EQ(w.h.unpackVersion, 0);
        EXPECT_EQ(w.h.commentBuffer, nullptr);
        EXPECT_EQ(w.h.commentState, 0);
    }
    v.m.CloseArchive(o.handle);
}

TEST(CeViewPaths, MacroExpansionExamples) {
    View v;
    v.Options(true, true, false, false, false);
    std::string cab = v.Cab("macros.cab", BuildCeCabinet(RawDestinations({
                                                             "%CE1%\\Game\\game.exe",
                                                             "%ce2%\\x",
                                                             "%InstallDir%\\data",
                                                             "%CE0%\\x",
                                                             "%CE18%\\x",
                                                             "%CE05%\\x",
                                                             "%CE5\\x",
                                                             "%CE1x%\\y",
                                                             "%CEx%\\z",
                                                             "100%\\%CE2%",
                                                             "%installdir%\\%CE17%",
                                                             "%CE",
                                                         }),
                                                         {{"game.001", BytesOf("g")}}));
    EXPECT_EQ(v.Names(cab), (std::vector<std::string>{
                                "Program Files\\Game\\game.exe",
                                "Windows\\x",
                                "Program Files\\Game\\data",  // the install directory's own macro expands too
                                "Program Files\\Game\\x",
                                "Program Files\\Game\\x",
                                "My Documents\\x",
                                "My Documents",  // no closing "%": the rest belongs to the macro
                                "Program Files\\y",
                                "%CEx%\\z",
                                "100%\\\\Windows",
                                "Program Files\\Game\\\\Windows\\Start Menu",
                                "%CE",
                            }));

    // Without a string table there is no install directory: expansion stops
    // at the first macro that needs it.
    std::string bare = v.Cab("bare.cab", BuildCeCabinet(RawDestinations({"%InstallDir%\\%CE2%", "%CE2%\\%InstallDir%",
                                                                          "%CE3%\\%CE0%\\%CE2%"},
                                                                         false),
                                                         {{"game.001", BytesOf("g")}}));
    EXPECT_EQ(v.Names(bare), (std::vector<std::string>{"%InstallDir%\\%CE2%", "Windows\\%InstallDir%",
                                                       "Windows\\Desktop\\%CE0%\\%CE2%"}));

    v.Options(false, true, false, false, false);
    EXPECT_EQ(v.Names(cab)[0], "%CE1%\\Game\\game.exe");
    EXPECT_EQ(v.Names(cab)[9], "100%\\%CE2%");
}

TEST(CeViewPaths, SelfReferringMacrosStopAndNeverOverrun) {
    View v;
    // Entry 3 contains its own macro and grows; entry 4 is only itself.
    WriteText(v.m.directory() + "/Mirad.ini",
              "[CONFIGURATION]\nExpandCE=1\nExpandPath=1\nShowRegistry=0\nShowShortcuts=0\nShowInfFile=0\n"
              "DebugFile=\nLanguage=English\n[English]\nCE_3=\\a%CE3%\nCE_4=%CE4%\n");
    v.m.SetSettingsDir(v.m.directory());
    std::string longDir(250, 'd');
    CeSetup s = RawDestinations({"%CE3%\\x", "%CE4%\\y", "%InstallDir%\\" + std::string(40, 'n'), "%CE1%\\ok"});
    s.strings = {{1, "\\" + longDir}};
    std::vector<std::string> names = v.Names(v.Cab("loop.cab", BuildCeCabinet(s, {{"game.001", BytesOf("g")}})));
    ASSERT_EQ(names.size(), 4u);
    EXPECT_EQ(names[0].compare(0, 4, "a\\a\\"), 0) << names[0];
    EXPECT_LE(names[0].size(), 258u);
    EXPECT_EQ(names[1], "%CE4%\\y");  // replaced by itself until the limit
    // The expanded path is cut at 259 characters (less the dropped separator).
    EXPECT_EQ(names[2], longDir + "\\" + std::string(258 - 251, 'n'));
    EXPECT_EQ(names[3], "Program Files\\ok");
}

TEST(CeViewPaths, ShortcutPlacesAndMissingParts) {
    View v;
    CeSetup s = GameSetup();
    s.strings.push_back({5, "Readme.lnk"});
    CeShortcut inInstallDir;  // baseDirectoryId 0, baseMacro 0
    inInstallDir.targetId = 1;
    inInstallDir.nameStringId = 5;
    CeShortcut inDirectory;
    inDirectory.baseDirectoryId = 2;
    inDirectory.nameStringId = 5;
    CeShortcut noDirectory;
    noDirectory.baseDirectoryId = 99;
    noDirectory.nameStringId = 5;
    CeShortcut noName;
    noName.baseDirectoryId = 2;
    noName.nameStringId = 77;
    CeShortcut highMacro;
    highMacro.baseMacro = 18;
    highMacro.nameStringId = 3;
    s.shortcuts.insert(s.shortcuts.end(), {inInstallDir, inDirectory, noDirectory, noName, highMacro});
    std::string cab = v.Cab("links.cab", BuildCeCabinet(s, GameFiles()));
    v.Options(true, false, false, true, false);
    std::vector<std::string> names = v.Names(cab);
    ASSERT_EQ(names.size(), 9u);
    EXPECT_EQ(std::vector<std::string>(names.begin() + 3, names.end()),
              (std::vector<std::string>{"Windows\\Start Menu\\Programs\\Game.lnk", "Program Files\\Game\\Readme.lnk",
                                        "Program Files\\Game\\Bin\\Readme.lnk", "Readme.lnk",
                                        "Program Files\\Game\\Bin\\", "Program Files\\Game\\Game.lnk"}));
    v.Options(false, false, false, true, false);
    names = v.Names(cab);
    ASSERT_EQ(names.size(), 9u);
    EXPECT_EQ(names[4], "%InstallDir%\\Readme.lnk");  // not a %CE0% that does not exist
    EXPECT_EQ(names[8], "%CE18%\\Game.lnk");
}

TEST(CeViewExtract, ShortcutFilesAreOneLineWithCrLf) {
    View v;
    CeSetup s = GameSetup();
    CeShortcut toMissingFile;
    toMissingFile.baseMacro = 3;
    toMissingFile.targetId = 42;
    toMissingFile.nameStringId = 3;
    CeShortcut toInstallDir;  // directory target 0 names no directory
    toInstallDir.baseMacro = 3;
    toInstallDir.targetIsFile = 0;
    toInstallDir.targetId = 0;
    toInstallDir.nameStringId = 3;
    CeShortcut toDirectory;
    toDirectory.baseMacro = 3;
    toDirectory.targetIsFile = 0;
    toDirectory.targetId = 2;
    toDirectory.nameStringId = 3;
    s.shortcuts.insert(s.shortcuts.end(), {toMissingFile, toInstallDir, toDirectory});
    std::string cab = v.Cab("links.cab", BuildCeCabinet(s, GameFiles()));

    auto shortcutFiles = [&](const std::string& sub) {
        std::vector<std::string> out;
        for (const auto& r : ExtractAll(v.m, cab, v.dir / sub)) {
            EXPECT_EQ(r.second, 0) << r.first;
            std::string rel = r.first;
            for (char& c : rel)
                if (c == '\\') c = '/';
            out.push_back(Slurp(v.dir / (sub + "/" + rel)));
        }
        return out;
    };
    v.Options(true, false, false, true, false);
    // Shortcuts 2 to 4 share a name, so each entry goes to a file of its own.
    OpenResult o = Open(v.m, cab);
    ASSERT_NE(o.handle, nullptr);
    Walk w;
    std::vector<std::string> bodies;
    int i = 0;
    while (v.m.ReadHeader(o.handle, &w.h) == 0) {
        std::string target = v.dir / ("s" + std::to_string(i++));
        EXPECT_EQ(v.m.ProcessFile(o.handle, MIRAD_EXTRACT, nullptr, &target[0]), 0);
        bodies.push_back(Slurp(target));
    }
    v.m.CloseArchive(o.handle);
    ASSERT_EQ(bodies.size(), 7u);
    EXPECT_EQ(bodies[3], "30#\"\\Program Files\\Game\\game.exe\"\r\n");
    EXPECT_EQ(bodies[4], "2#\"\"\r\n");
    EXPECT_EQ(bodies[5], "21#\"\\Program Files\\Game\"\r\n");
    EXPECT_EQ(bodies[6], "25#\"\\Program Files\\Game\\Bin\"\r\n");

    // With ExpandCE off the target keeps its macros, and the length counts them.
    v.Options(false, false, false, true, false);
    std::vector<std::string> raw = shortcutFiles("b");
    ASSERT_EQ(raw.size(), 7u);
    EXPECT_EQ(raw[3], "23#\"%InstallDir%\\game.exe\"\r\n");
}

TEST(CeViewExtract, InstalledAndStoredFilesExtractByteForByte) {
    View v;
    std::vector<StoredFile> files = GameFiles();
    for (bool headerCounted : {false, true}) {
        CabOptions o;
        o.blockSize = 4000;  // both files span blocks; engine.dll starts inside one
        o.headerCountedOffsets = headerCounted;
        std::string cab = v.Cab("game.cab", BuildCeCabinet(GameSetup(), files, o));
        v.Options(true, true, false, false, false);
        std::string out = v.dir / (headerCounted ? "counted" : "data");
        auto results = ExtractAll(v.m, cab, out);
        ASSERT_EQ(results.size(), 2u);
        for (const auto& r : results) EXPECT_EQ(r.second, 0) << r.first;
        EXPECT_EQ(ReadFile(out + "/Program Files/Game/game.exe"), files[0].data);
        EXPECT_EQ(ReadFile(out + "/Program Files/Game/Bin/engine.dll"), files[1].data);

        v.Options(false, false, false, false, false);
        auto stored = ExtractAll(v.m, cab, out + "-stored");
        ASSERT_EQ(stored.size(), 3u);
        EXPECT_EQ(ReadFile(out + "-stored/engine.002"), files[1].data);
    }
}

TEST(CeViewExtract, TestReadsTheBytesAndFindsATruncatedCabinet) {
    View v;
    // engine.dll gets a folder of its own, whose last block loses its last
    // 2000 bytes: the cabinet ends early inside that file's data while every
    // header still agrees with the length, so it opens and only reading the
    // file's bytes can tell.
    std::vector<StoredFile> all = {{"SETUP.000", BuildSetupFile(GameSetup())}};
    for (const StoredFile& f : GameFiles()) all.push_back(f);
    CabOptions o;
    o.filesPerFolder = 2;
    CabLayout layout;
    Bytes whole = BuildCabinet(all, o, &layout);
    ASSERT_EQ(layout.folderDataStart.size(), 2u);
    Bytes cut(whole.begin(), whole.end() - 2000);
    uint32_t length = static_cast<uint32_t>(cut.size());
    for (int i = 0; i < 4; ++i) cut[8 + i] = static_cast<uint8_t>(length >> (8 * i));
    uint32_t lastBlock = layout.blockOffsets.back();
    uint16_t cbData = static_cast<uint16_t>(cut[lastBlock + 4] | (cut[lastBlock + 5] << 8));
    ASSERT_GT(cbData, 2000);
    cbData = static_cast<uint16_t>(cbData - 2000);
    cut[lastBlock + 4] = static_cast<uint8_t>(cbData);
    cut[lastBlock + 5] = static_cast<uint8_t>(cbData >> 8);
    std::string good = v.Cab("good.cab", whole);
    std::string bad = v.Cab("bad.cab", cut);

    v.Options(true, true, true, true, true);
    auto okResults = ExtractAll(v.m, good, v.dir / "unused", MIRAD_TEST);
    ASSERT_EQ(okResults.size(), 5u);
    for (const auto& r : okResults) EXPECT_EQ(r.second, 0) << r.first;
    EXPECT_FALSE(FileExists(v.dir / "unused/Program Files/Game/game.exe"));  // testing writes nothing

    auto badResults = ExtractAll(v.m, bad, v.dir / "unused", MIRAD_TEST);
    ASSERT_EQ(badResults.size(), 5u);
    EXPECT_EQ(badResults[0].second, 0);
    EXPECT_EQ(badResults[1].second, MIRAD_BAD_DATA) << badResults[1].first;
    EXPECT_EQ(badResults[2].second, 0);  // shortcut
    EXPECT_EQ(badResults[3].second, 0);  // registry export
    EXPECT_EQ(badResults[4].second, 0);  // INF script

    v.Options(false, false, false, false, false);
    auto stored = ExtractAll(v.m, bad, v.dir / "unused", MIRAD_TEST);
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[0].second, 0);
    EXPECT_EQ(stored[1].second, 0);
    EXPECT_EQ(stored[2].second, MIRAD_BAD_DATA);
    // Skipping reads nothing and succeeds.
    auto skipped = ExtractAll(v.m, bad, v.dir / "unused", MIRAD_SKIP);
    for (const auto& r : skipped) EXPECT_EQ(r.second, 0) << r.first;
}

TEST(CeViewExtract, CursorEdgesOperationsAndLongDestinations) {
    View v;
    std::string log = v.dir / "mirad.log";
    v.Options(true, true, true, true, true, log);
    std::string cab = v.Cab("game.cab", BuildCeCabinet(GameSetup(), GameFiles()));
    OpenResult o = Open(v.m, cab);
    ASSERT_NE(o.handle, nullptr);
    std::string target = v.dir / "early";
    // Before the first ReadHeader there is no entry: nothing is read or written.
    EXPECT_EQ(v.m.ProcessFile(o.handle, MIRAD_EXTRACT, nullptr, &target[0]), MIRAD_BAD_DATA);
    EXPECT_EQ(v.m.ProcessFile(o.handle, MIRAD_TEST, nullptr, nullptr), MIRAD_BAD_DATA);
    EXPECT_FALSE(FileExists(target));

    std::string dirPart = v.dir.path + "/";
    std::string longName(300 - dirPart.size(), 'x');
    Walk w;
    int entries = 0;
    while (v.m.ReadHeader(o.handle, &w.h) == 0) {
        ++entries;
        // Every kind refuses a destination over 259 characters and creates nothing.
        EXPECT_EQ(v.m.ProcessFile(o.handle, MIRAD_EXTRACT, &dirPart[0], &longName[0]), MIRAD_ECREATE) << w.h.fileName;
        // Directory and name are joined as given.
        std::string name = "joined" + std::to_string(entries);
        EXPECT_EQ(v.m.ProcessFile(o.handle, MIRAD_EXTRACT, &dirPart[0], &name[0]), 0) << w.h.fileName;
        EXPECT_TRUE(FileExists(dirPart + name)) << w.h.fileName;
        EXPECT_EQ(v.m.ProcessFile(o.handle, 3, nullptr, nullptr), MIRAD_NOT_SUPPORTED);
        EXPECT_EQ(v.m.ProcessFile(o.handle, -1, nullptr, nullptr), MIRAD_NOT_SUPPORTED);
    }
    EXPECT_EQ(entries, 5);
    EXPECT_FALSE(FileExists(dirPart + longName));
    EXPECT_EQ(ReadFile(dirPart + "joined1"), GameFiles()[0].data);
    EXPECT_EQ(ReadText(dirPart + "joined4").compare(0, 10, "REGEDIT4\r\n"), 0);
    // After the end: nothing to do, nothing written.
    std::string after = v.dir / "after";
    EXPECT_EQ(v.m.ProcessFile(o.handle, MIRAD_EXTRACT, nullptr, &after[0]), 0);
    EXPECT_FALSE(FileExists(after));
    v.m.CloseArchive(o.handle);

    std::vector<std::string> lines = LogLines(log, {"Extracting", "Unsupported", "Skipping", "ReadHeader"});
    std::vector<std::string> expected = {
        "Skipping File",
        "ReadHeader -> Program Files\\Game\\game.exe (game.001)",
        "Extracting File %InstallDir%\\game.exe -> " + dirPart + "joined1",
        "Unsupported processing mode 3",
        "Unsupported processing mode -1",
        "ReadHeader -> Program Files\\Game\\Bin\\engine.dll (engine.002)",
        "Extracting File %InstallDir%\\Bin\\engine.dll -> " + dirPart + "joined2",
        "Unsupported processing mode 3",
        "Unsupported processing mode -1",
        "ReadHeader -> Windows\\Start Menu\\Programs\\Game.lnk",
        "Extracting Link %CE11%\\Game.lnk -> " + dirPart + "joined3",
        "Unsupported processing mode 3",
        "Unsupported processing mode -1",
        "ReadHeader -> ~Cab~.REG",
        "Extracting Registry -> " + dirPart + "joined4",
        "Unsupported processing mode 3",
        "Unsupported processing mode -1",
        "ReadHeader -> ~Cab~.INF",
        "Extracting INF file-> " + dirPart + "joined5",
        "Unsupported processing mode 3",
        "Unsupported processing mode -1",
        "ReadHeader: No more files",
    };
    EXPECT_EQ(lines, expected);
}

TEST(CeViewExtract, CopyFileWithoutStoredFileListsEmptyAndRefuses) {
    View v;
    CeSetup s = GameSetup();
    s.copyFiles.push_back({7, 1, "ghost.dll"});     // no stored file numbered 7
    s.copyFiles.push_back({1000, 1, "huge.dll"});   // no stored name can carry 1000
    v.Options(true, true, false, false, false);
    std::string cab = v.Cab("ghost.cab", BuildCeCabinet(s, GameFiles()));
    std::vector<Entry> list = List(v.m, cab);
    ASSERT_EQ(list.size(), 4u);
    for (size_t i = 2; i < 4; ++i) {
        EXPECT_EQ(list[i].packedSize, 0);
        EXPECT_EQ(list[i].unpackedSize, 0);
        EXPECT_EQ(list[i].fileTime, 0);
        EXPECT_EQ(list[i].attributes, 32);
    }
    auto extracted = ExtractAll(v.m, cab, v.dir / "out");
    ASSERT_EQ(extracted.size(), 4u);
    EXPECT_EQ(extracted[2].second, MIRAD_BAD_DATA);
    EXPECT_EQ(extracted[3].second, MIRAD_BAD_DATA);
    EXPECT_FALSE(FileExists(v.dir / "out/Program Files/Game/ghost.dll"));
    auto tested = ExtractAll(v.m, cab, v.dir / "out", MIRAD_TEST);
    EXPECT_EQ(tested[2].second, MIRAD_BAD_DATA);
}

TEST(CeViewOptions, PlainCabinetTurnsOptionsOffForItselfOnly) {
    View v;
    v.Options(true, true, true, true, true);
    std::string plain = v.Cab("plain.cab", BuildCabinet({{"README.TXT", BytesOf("r")}, {"APP.000", BytesOf("a")}}));
    std::string ce = v.Cab("game.cab", BuildCeCabinet(GameSetup(), GameFiles()));
    EXPECT_EQ(v.Names(plain), (std::vector<std::string>{"README.TXT", "APP.000"}));
    std::vector<std::string> full = {"Program Files\\Game\\game.exe", "Program Files\\Game\\Bin\\engine.dll",
                                     "Windows\\Start Menu\\Programs\\Game.lnk", "~Cab~.REG", "~Cab~.INF"};
    EXPECT_EQ(v.Names(ce), full);
    // Both open at once: each keeps its own view.
    OpenResult a = Open(v.m, plain);
    OpenResult b = Open(v.m, ce);
    ASSERT_NE(a.handle, nullptr);
    ASSERT_NE(b.handle, nullptr);
    Walk wa, wb;
    ASSERT_EQ(v.m.ReadHeader(a.handle, &wa.h), 0);
    ASSERT_EQ(v.m.ReadHeader(b.handle, &wb.h), 0);
    EXPECT_STREQ(wa.h.fileName, "README.TXT");
    EXPECT_STREQ(wb.h.fileName, full[0].c_str());
    v.m.CloseArchive(a.handle);
    v.m.CloseArchive(b.handle);
    EXPECT_EQ(v.Names(ce), full);
}

TEST(CeViewOptions, OptionsAreConsultedOnEveryCall) {
    View v;
    v.Options(true, true, false, false, false);
    std::string ce = v.Cab("game.cab", BuildCeCabinet(GameSetup(), GameFiles()));
    OpenResult o = Open(v.m, ce);
    ASSERT_NE(o.handle, nullptr);
    Walk w;
    ASSERT_EQ(v.m.ReadHeader(o.handle, &w.h), 0);
    EXPECT_STREQ(w.h.fileName, "Program Files\\Game\\game.exe");
    // The settings change, and the next open of any archive reloads them.
    WriteSettings(v.m.directory(), false, true, false, false, true);
    std::filesystem::path ini = v.m.directory() + "/Mirad.ini";
    std::filesystem::last_write_time(ini, std::filesystem::last_write_time(ini) + std::chrono::seconds(5));
    OpenResult other = Open(v.m, ce);
    ASSERT_NE(other.handle, nullptr);
    v.m.CloseArchive(other.handle);
    ASSERT_EQ(v.m.ReadHeader(o.handle, &w.h), 0);
    EXPECT_STREQ(w.h.fileName, "%InstallDir%\\Bin\\engine.dll");
    ASSERT_EQ(v.m.ReadHeader(o.handle, &w.h), 0);
    EXPECT_STREQ(w.h.fileName, "~Cab~.INF");
    EXPECT_EQ(v.m.ReadHeader(o.handle, &w.h), MIRAD_END_ARCHIVE);
    v.m.CloseArchive(o.handle);
}

TEST(CeViewSample, ShippedSampleListsInTheInstalledView) {
    std::string sample = SourceDir() + "/samples/sample.cab";
    if (!FileExists(sample)) GTEST_SKIP() << "samples/sample.cab is not there";
    View v;
    // The shipped file is exactly what the fixture builder makes today.
    std::string made = v.dir / "made.cab";
    std::string tool = (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "make_sample").string();
    ASSERT_EQ(fixture::Run(Quote(tool) + " " + Quote(made)).status, 0);
    EXPECT_EQ(ReadFile(made), ReadFile(sample));
    v.Options(true, true, true, true, true);
    EXPECT_EQ(v.Names(sample), (std::vector<std::string>{
                                   "Program Files\\Sample App\\bin\\sample.exe",
                                   "Program Files\\Sample App\\bin\\sampleui.dll",
                                   "Program Files\\Sample App\\readme.txt",
                                   "Program Files\\Sample App\\data\\levels.dat",
                                   "Program Files\\Sample App\\data\\config.ini",
                                   "Windows\\Help\\sample.htm",
                                   "Windows\\Start Menu\\Programs\\Sample App.lnk",
                                   "Program Files\\Sample App\\Readme.lnk",
                                   "Windows\\Desktop\\Data Folder.lnk",
                                   "~Cab~.REG",
                                   "~Cab~.INF",
                               }));
}
