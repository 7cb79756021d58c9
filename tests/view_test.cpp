// The archive view through the exports: listing phases and EntryHeader
// fields, destination paths and macro expansion, shortcut files, skip / test /
// extract, and options that apply per archive.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <tuple>

#include "support/bytes.h"
#include "tests/fixture.h"

using namespace fixture;

namespace {

using Names = std::vector<std::string>;
using Codes = std::vector<int32_t>;

constexpr uint16_t kNoDirectory = 0xEEEE;  // a directory id no table holds

using View = fixture::ModuleEnv;

// The listed fields a generated entry, shortcut or file without data shows.
std::tuple<int32_t, int32_t, int32_t, int32_t> Fields(const Entry& e) {
    return std::make_tuple(e.packedSize, e.unpackedSize, e.fileTime, e.attributes);
}

CeShortcut Link(uint16_t baseDirectory, uint16_t baseMacro, uint16_t target, uint16_t targetIsFile,
                uint16_t nameString) {
    CeShortcut s;
    s.baseDirectoryId = baseDirectory;
    s.baseMacro = baseMacro;
    s.targetId = target;
    s.targetIsFile = targetIsFile;
    s.nameStringId = nameString;
    return s;
}

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
    s.shortcuts = {Link(0, 11, 1, 1, 3)};
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

const Names kGameFull = HostNames({"Program Files\\Game\\game.exe", "Program Files\\Game\\Bin\\engine.dll",
                                   "Windows\\Start Menu\\Programs\\Game.lnk", "~Cab~.REG", "~Cab~.INF"});

// A setup whose copy-files carry the given destinations verbatim (their
// directory ids match nothing, so the stored name is the whole path).
CeSetup RawDestinations(const Names& paths, bool withStrings = true) {
    CeSetup s;
    if (withStrings) s.strings = {{1, "%CE1%\\Game"}};
    for (const std::string& p : paths) s.copyFiles.push_back({1, kNoDirectory, p});
    return s;
}

}  // namespace

TEST(CeViewListing, EntryHeaderFieldsInEveryPhase) {
    View v;
    v.Options(true, true, true, true, true);
    CeSetup setup = GameSetup();
    setup.storedDate = 0x4D6F;  // 2018-11-15
    setup.storedTime = 0x5ACA;  // 11:22:20
    std::string cab = v.Cab("game.cab", BuildCeCabinet(setup, GameFiles()));
    std::vector<Entry> list = fixture::List(v.m, cab);
    ASSERT_EQ(list.size(), 5u);
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(list[i].name, kGameFull[i]);
    EXPECT_EQ(Fields(list[0]), std::make_tuple(5000, 5000, HostTime(0x5A21, 0x6000), HostMode(0x20)));
    EXPECT_EQ(Fields(list[1]), std::make_tuple(70000, 70000, HostTime(0x5B32, 0x7ABC), HostMode(0x21)));
    // Shortcut and documents: the length of the file they extract to (checked
    // against the files elsewhere) and the setup file's stored date.
    for (size_t i = 2; i < 5; ++i) {
        EXPECT_GT(list[i].packedSize, 0) << list[i].name;
        EXPECT_EQ(Fields(list[i]),
                  std::make_tuple(list[i].packedSize, list[i].packedSize, HostTime(0x4D6F, 0x5ACA), HostMode(32)))
            << list[i].name;
    }
    // Tables of thousands of rows too: the documents list the length they
    // extract to.
    for (int i = 0; i < 5000; ++i) setup.values.push_back({1, 0x00010001, "V" + std::to_string(i), {1, 0, 0, 0}});
    std::string big = v.Cab("big.cab", BuildCeCabinet(setup, GameFiles()));
    list = fixture::List(v.m, big);
    ASSERT_EQ(list.size(), 5u);
    v.Process(big, MIRAD_EXTRACT, "big");
    for (size_t i = 3; i < 5; ++i)
        EXPECT_EQ(static_cast<size_t>(list[i].packedSize), ReadFile(v.dir / ("big/" + list[i].name)).size()) << list[i].name;
}

TEST(CeViewListing, StoredViewListsStoredFilesInstalledViewListsCopyFiles) {
    View v;
    // Installed view: stored files no copy-file names (the setup file, an
    // extra one) are not listed; two copy-files of one stored file list twice.
    CeSetup s = GameSetup();
    s.copyFiles.push_back({2, 1, "engine-copy.dll"});
    std::vector<StoredFile> files = GameFiles();
    files.push_back({"extra.003", Pattern(10, 3)});
    std::string cab = v.Cab("dup.cab", BuildCeCabinet(s, files));
    v.Options(false, false, false, false, false);
    EXPECT_EQ(v.Names(cab), (Names{"SETUP.000", "game.001", "engine.002", "extra.003"}));
    v.Options(false, true, false, false, false);
    std::vector<Entry> installed = fixture::List(v.m, cab);
    ASSERT_EQ(installed.size(), 3u);
    EXPECT_EQ(installed[0].name, HostName("%InstallDir%\\game.exe"));
    EXPECT_EQ(installed[2].name, HostName("%InstallDir%\\engine-copy.dll"));
    EXPECT_EQ(Fields(installed[2]), Fields(installed[1]));
    EXPECT_EQ(installed[2].packedSize, 70000);
}

TEST(CeViewListing, GeneratedEntriesFollowTheirOptionsAndContent) {
    View v;
    CeSetup noValues = GameSetup();
    noValues.values.clear();
    v.Options(false, true, true, false, false);
    EXPECT_EQ(v.Names(v.Cab("novalues.cab", BuildCeCabinet(noValues, GameFiles()))),
              HostNames({"%InstallDir%\\game.exe", "%InstallDir%\\Bin\\engine.dll"}));
    v.Options(false, true, true, true, true);  // no files, shortcuts or values at all
    EXPECT_EQ(v.Names(v.Cab("empty.cab", BuildCeCabinet(CeSetup(), {}))), (Names{"~Cab~.INF"}));
    v.Options(false, false, false, true, false);
    EXPECT_EQ(v.Names(v.Cab("game.cab", BuildCeCabinet(GameSetup(), GameFiles()))),
              HostNames({"SETUP.000", "game.001", "engine.002", "%CE11%\\Game.lnk"}));
}

TEST(CeViewPaths, MacroExpansionExamples) {
    View v;
    v.Options(true, true, false, false, false);
    // {stored destination, listed with ExpandCE on}
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"%CE1%\\Game\\game.exe", "Program Files\\Game\\game.exe"},
        {"%ce2%\\x", "Windows\\x"},
        {"%InstallDir%\\data", "Program Files\\Game\\data"},  // the install directory's own macro expands too
        {"%CE0%\\x", "Program Files\\Game\\x"},
        {"%CE18%\\x", "Program Files\\Game\\x"},
        {"%CE05%\\x", "My Documents\\x"},
        {"%CE5\\x", "My Documents"},  // no closing "%": the rest belongs to the macro
        {"%CE1x%\\y", "Program Files\\y"},
        {"%CEx%\\z", "%CEx%\\z"},
        {"100%\\%CE2%", "100%\\\\Windows"},
        {"%installdir%\\%CE17%", "Program Files\\Game\\\\Windows\\Start Menu"},
        {"%CE", "%CE"},
    };
    Names stored, expanded;
    for (const auto& c : cases) stored.push_back(c.first), expanded.push_back(HostName(c.second));
    std::string cab = v.Cab("macros.cab", BuildCeCabinet(RawDestinations(stored), {{"game.001", BytesOf("g")}}));
    EXPECT_EQ(v.Names(cab), expanded);

    // Without a string table there is no install directory: expansion stops
    // at the first macro that needs it.
    std::string bare = v.Cab("bare.cab", BuildCeCabinet(RawDestinations({"%InstallDir%\\%CE2%", "%CE2%\\%InstallDir%",
                                                                          "%CE3%\\%CE0%\\%CE2%"},
                                                                         false),
                                                         {{"game.001", BytesOf("g")}}));
    EXPECT_EQ(v.Names(bare),
              HostNames({"%InstallDir%\\%CE2%", "Windows\\%InstallDir%", "Windows\\Desktop\\%CE0%\\%CE2%"}));

    v.Options(false, true, false, false, false);
    EXPECT_EQ(v.Names(cab), HostNames(stored));
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
    Names names = v.Names(v.Cab("loop.cab", BuildCeCabinet(s, {{"game.001", BytesOf("g")}})));
    ASSERT_EQ(names.size(), 4u);
    EXPECT_EQ(names[0].compare(0, 4, HostName("a\\a\\")), 0) << names[0];
    EXPECT_LE(names[0].size(), 258u);
    EXPECT_EQ(names[1], HostName("%CE4%\\y"));  // replaced by itself until the limit
    // The expanded path is cut at 259 characters (less the dropped separator).
    EXPECT_EQ(names[2], HostName(longDir + "\\" + std::string(258 - 251, 'n')));
    EXPECT_EQ(names[3], HostName("Program Files\\ok"));
}

TEST(CeViewPaths, ShortcutPlacesTargetsAndFiles) {
    View v;
    CeSetup s = GameSetup();
    s.strings.push_back({5, "Readme.lnk"});
    s.shortcuts.insert(s.shortcuts.end(), {
                                              Link(0, 0, 1, 1, 5),   // in the install directory
                                              Link(2, 0, 0, 1, 5),   // in a directory
                                              Link(99, 0, 0, 1, 5),  // no such directory
                                              Link(2, 0, 0, 1, 77),  // no such name
                                              Link(0, 18, 0, 1, 3),  // a macro beyond the table
                                              Link(0, 3, 42, 1, 3),  // to a file that does not exist
                                              Link(0, 3, 0, 0, 3),   // directory 0 names no directory
                                              Link(0, 3, 2, 0, 3),   // to a directory
                                          });
    std::string cab = v.Cab("links.cab", BuildCeCabinet(s, GameFiles()));
    // Walks and extracts each entry to a file of its own (several share a name).
    auto walk = [&](const std::string& sub, Names& names) {
        Names bodies;
        OpenResult o = Open(v.m, cab);
        EXPECT_NE(o.handle, nullptr);
        if (!o.handle) return bodies;
        EntryHeader h{};
        while (v.m.ReadHeader(o.handle, &h) == 0) {
            std::string target = v.dir / (sub + std::to_string(bodies.size()));
            EXPECT_EQ(v.m.ProcessFile(o.handle, MIRAD_EXTRACT, nullptr, &target[0]), 0) << h.fileName;
            names.push_back(h.fileName);
            bodies.push_back(ReadText(target));
        }
        v.m.CloseArchive(o.handle);
        return bodies;
    };
    v.Options(true, false, false, true, false);
    Names names;
    Names bodies = walk("a", names);
    // The shortcut without a name is not listed: it would name a directory.
    ASSERT_EQ(names.size(), 11u);
    EXPECT_EQ(Names(names.begin() + 3, names.begin() + 8),
              HostNames({"Windows\\Start Menu\\Programs\\Game.lnk", "Program Files\\Game\\Readme.lnk",
                         "Program Files\\Game\\Bin\\Readme.lnk", "Readme.lnk", "Program Files\\Game\\Game.lnk"}));
    EXPECT_EQ(bodies[3], "30#\"\\Program Files\\Game\\game.exe\"\r\n");
    EXPECT_EQ(Names(bodies.begin() + 8, bodies.end()),
              (Names{"2#\"\"\r\n", "21#\"\\Program Files\\Game\"\r\n", "25#\"\\Program Files\\Game\\Bin\"\r\n"}));
    // With ExpandCE off paths and targets keep their macros, and the length counts them.
    v.Options(false, false, false, true, false);
    names.clear();
    bodies = walk("b", names);
    ASSERT_EQ(names.size(), 11u);
    EXPECT_EQ(names[4], HostName("%InstallDir%\\Readme.lnk"));  // not a %CE0% that does not exist
    EXPECT_EQ(names[7], HostName("%CE18%\\Game.lnk"));
    EXPECT_EQ(bodies[3], "23#\"%InstallDir%\\game.exe\"\r\n");
    EXPECT_EQ(bodies[9], "14#\"%InstallDir%\"\r\n");
}

TEST(CeViewExtract, TestReadsTheBytesAndFindsATruncatedCabinet) {
    View v;
    // engine.dll gets a folder of its own, whose last block loses its last
    // 2000 bytes: every header still agrees with the length, so it opens and
    // only reading the file's bytes can tell.
    std::vector<StoredFile> all = {{"SETUP.000", BuildSetupFile(GameSetup())}};
    for (const StoredFile& f : GameFiles()) all.push_back(f);
    CabOptions o;
    o.filesPerFolder = 2;
    CabLayout layout;
    Bytes whole = BuildCabinet(all, o, &layout);
    ASSERT_EQ(layout.folderDataStart.size(), 2u);
    Bytes cut(whole.begin(), whole.end() - 2000);
    mirad::put_le32(cut.data() + 8, static_cast<uint32_t>(cut.size()));
    uint8_t* cbData = cut.data() + layout.blockOffsets.back() + 4;
    ASSERT_GT(mirad::le16(cbData), 2000);
    mirad::put_le16(cbData, static_cast<uint16_t>(mirad::le16(cbData) - 2000));
    std::string good = v.Cab("good.cab", whole);
    std::string bad = v.Cab("bad.cab", cut);

    v.Options(true, true, true, true, true);
    EXPECT_EQ(v.Process(good, MIRAD_TEST), (Codes{0, 0, 0, 0, 0}));
    EXPECT_FALSE(FileExists(v.dir / "out/Program Files/Game/game.exe"));  // testing writes nothing
    // Only engine.dll is damaged; shortcut and documents test as 0.
    EXPECT_EQ(v.Process(bad, MIRAD_TEST), (Codes{0, MIRAD_BAD_DATA, 0, 0, 0}));
    v.Options(false, false, false, false, false, v.dir / "test.log");
    EXPECT_EQ(v.Process(bad, MIRAD_TEST), (Codes{0, 0, MIRAD_BAD_DATA}));
    EXPECT_EQ(v.Process(bad, MIRAD_SKIP), (Codes{0, 0, 0}));  // skipping reads nothing
    // The log says once what is wrong with the entry, and where.
    std::string log = ReadText(v.dir / "test.log");
    size_t at = log.find("Bad entry: the folder has no more blocks\n");
    EXPECT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.find("Bad entry", at + 1), std::string::npos) << log;
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
    EntryHeader h{};
    int entries = 0;
    while (v.m.ReadHeader(o.handle, &h) == 0) {
        // Every kind refuses a destination over 259 characters and creates nothing.
        EXPECT_EQ(v.m.ProcessFile(o.handle, MIRAD_EXTRACT, &dirPart[0], &longName[0]), MIRAD_ECREATE) << h.fileName;
        // Directory and name are joined as given.
        std::string name = "joined" + std::to_string(++entries);
        EXPECT_EQ(v.m.ProcessFile(o.handle, MIRAD_EXTRACT, &dirPart[0], &name[0]), 0) << h.fileName;
        EXPECT_TRUE(FileExists(dirPart + name)) << h.fileName;
        EXPECT_EQ(v.m.ProcessFile(o.handle, 3, nullptr, nullptr), MIRAD_NOT_SUPPORTED);
        EXPECT_EQ(v.m.ProcessFile(o.handle, -1, nullptr, nullptr), MIRAD_NOT_SUPPORTED);
    }
    EXPECT_EQ(entries, 5);
    EXPECT_FALSE(FileExists(dirPart + longName));
    EXPECT_EQ(ReadFile(dirPart + "joined1"), GameFiles()[0].data);
    EXPECT_EQ(ReadFile(dirPart + "joined2"), GameFiles()[1].data);
    EXPECT_EQ(ReadText(dirPart + "joined4").compare(0, 10, "REGEDIT4\r\n"), 0);
    // After the end: nothing to do, nothing written; the end is sticky and
    // leaves the host's own file name and fields.
    std::string after = v.dir / "after";
    EXPECT_EQ(v.m.ProcessFile(o.handle, MIRAD_EXTRACT, nullptr, &after[0]), 0);
    EXPECT_FALSE(FileExists(after));
    for (int i = 0; i < 2; ++i) {
        std::memset(&h, 0x55, sizeof h);
        std::strcpy(h.fileName, "host's own");
        h.flags = 77;
        h.hostOS = 5;
        EXPECT_EQ(v.m.ReadHeader(o.handle, &h), MIRAD_END_ARCHIVE);
        EXPECT_STREQ(h.fileName, "host's own");
        EXPECT_STREQ(h.archiveName, cab.c_str());
        EXPECT_EQ(std::make_tuple(h.flags, h.hostOS, h.packedSize, h.unpackedSize, h.fileAttributes, h.fileTime,
                                  h.fileCRC, h.method, h.unpackVersion, h.commentState),
                  std::make_tuple(77, 5, -1, -1, HostMode(32), 0, 0, 0, 0, 0));
        const char* comment = h.commentBuffer;  // a packed field: read, never bound by reference
        EXPECT_EQ(comment, nullptr);
    }
    v.m.CloseArchive(o.handle);

    const std::vector<std::pair<std::string, std::string>> logged = {
        {"Program Files\\Game\\game.exe (game.001)", "Extracting File %InstallDir%\\game.exe -> "},
        {"Program Files\\Game\\Bin\\engine.dll (engine.002)", "Extracting File %InstallDir%\\Bin\\engine.dll -> "},
        {"Windows\\Start Menu\\Programs\\Game.lnk", "Extracting Link %CE11%\\Game.lnk -> "},
        {"~Cab~.REG", "Extracting Registry -> "},
        {"~Cab~.INF", "Extracting INF file-> "}};
    Names expected = {"Skipping File"};
    for (size_t i = 0; i < logged.size(); ++i) {
        expected.insert(expected.end(), {"ReadHeader -> " + logged[i].first,
                                         logged[i].second + dirPart + "joined" + std::to_string(i + 1),
                                         "Unsupported processing mode 3", "Unsupported processing mode -1"});
    }
    expected.insert(expected.end(), 3, "ReadHeader: No more files");  // the walk's end, then two more calls
    EXPECT_EQ(LinesStartingWith(log, {"Extracting", "Unsupported", "Skipping", "ReadHeader"}), expected);
}

TEST(CeViewExtract, CopyFileWithoutStoredFileListsEmptyAndRefuses) {
    View v;
    CeSetup s = GameSetup();
    s.copyFiles.push_back({7, 1, "ghost.dll"});    // no stored file numbered 7
    s.copyFiles.push_back({1000, 1, "huge.dll"});  // no stored name can carry 1000
    v.Options(true, true, false, false, false);
    std::string cab = v.Cab("ghost.cab", BuildCeCabinet(s, GameFiles()));
    std::vector<Entry> list = fixture::List(v.m, cab);
    ASSERT_EQ(list.size(), 4u);
    for (size_t i = 2; i < 4; ++i) EXPECT_EQ(Fields(list[i]), std::make_tuple(0, 0, 0, HostMode(32))) << list[i].name;
    EXPECT_EQ(v.Process(cab, MIRAD_EXTRACT), (Codes{0, 0, MIRAD_BAD_DATA, MIRAD_BAD_DATA}));
    EXPECT_FALSE(FileExists(v.dir / "out/Program Files/Game/ghost.dll"));
    EXPECT_EQ(v.Process(cab, MIRAD_TEST), (Codes{0, 0, MIRAD_BAD_DATA, MIRAD_BAD_DATA}));
}

TEST(CeViewOptions, PlainCabinetTurnsOptionsOffForItselfOnly) {
    View v;
    const std::string log = v.dir / "rooted.log";
    v.Options(true, true, true, true, true, log);
    // One leading separator of a stored name is dropped; a POSIX host is
    // never handed a name it would read from the root. The log names each
    // rooted name.
    std::string plain = v.Cab("plain.cab", BuildCabinet({{"\\dir\\a.txt", BytesOf("a")}, {"\\\\b.txt", BytesOf("b")},
                                                         {"/c.txt", BytesOf("c")}, {"APP.000", BytesOf("a")},
                                                         {"", BytesOf("e")}, {"\\\\", BytesOf("f")}}));
    std::string ce = v.Cab("game.cab", BuildCeCabinet(GameSetup(), GameFiles()));
    // Names of nothing (or only separators) are passed over, the rest listed.
    EXPECT_EQ(v.Names(plain), (Names{"dir/a.txt", "b.txt", "c.txt", "APP.000"}));
    EXPECT_EQ(LinesStartingWith(log, {"ReadHeader: rooted", "ReadHeader: stored"}),
              (Names{"ReadHeader: rooted name \\dir\\a.txt listed below the destination",
                     "ReadHeader: rooted name \\\\b.txt listed below the destination",
                     "ReadHeader: rooted name \\c.txt listed below the destination",
                     "ReadHeader: stored file 4 has no name; skipped", "ReadHeader: stored file 5 has no name; skipped"}));
    EXPECT_EQ(v.Process(plain, MIRAD_EXTRACT), (Codes{0, 0, 0, 0}));
    EXPECT_EQ(v.Names(ce), kGameFull);
    // Both open at once: each keeps its own view.
    OpenResult a = Open(v.m, plain);
    OpenResult b = Open(v.m, ce);
    ASSERT_NE(a.handle, nullptr);
    ASSERT_NE(b.handle, nullptr);
    EntryHeader ha{}, hb{};
    ASSERT_EQ(v.m.ReadHeader(a.handle, &ha), 0);
    ASSERT_EQ(v.m.ReadHeader(b.handle, &hb), 0);
    EXPECT_STREQ(ha.fileName, "dir/a.txt");
    EXPECT_STREQ(hb.fileName, kGameFull[0].c_str());
    v.m.CloseArchive(a.handle);
    v.m.CloseArchive(b.handle);
    EXPECT_EQ(v.Names(ce), kGameFull);
}

TEST(CeViewOptions, OptionsAreConsultedOnEveryCall) {
    View v;
    v.Options(true, true, false, false, false);
    std::string ce = v.Cab("game.cab", BuildCeCabinet(GameSetup(), GameFiles()));
    OpenResult o = Open(v.m, ce);
    ASSERT_NE(o.handle, nullptr);
    EntryHeader h{};
    ASSERT_EQ(v.m.ReadHeader(o.handle, &h), 0);
    EXPECT_STREQ(h.fileName, "Program Files/Game/game.exe");
    // The settings change, and the next open of any archive reloads them.
    WriteSettings(v.m.directory(), false, true, false, false, true);
    std::filesystem::path ini = v.m.directory() + "/Mirad.ini";
    std::filesystem::last_write_time(ini, std::filesystem::last_write_time(ini) + std::chrono::seconds(5));
    OpenResult other = Open(v.m, ce);
    ASSERT_NE(other.handle, nullptr);
    v.m.CloseArchive(other.handle);
    ASSERT_EQ(v.m.ReadHeader(o.handle, &h), 0);
    EXPECT_STREQ(h.fileName, "%InstallDir%/Bin/engine.dll");
    ASSERT_EQ(v.m.ReadHeader(o.handle, &h), 0);
    EXPECT_STREQ(h.fileName, "~Cab~.INF");
    EXPECT_EQ(v.m.ReadHeader(o.handle, &h), MIRAD_END_ARCHIVE);
    v.m.CloseArchive(o.handle);
}

TEST(CeViewSample, ShippedSampleListsInTheInstalledView) {
    std::string sample = SourceDir() + "/samples/sample.cab";
    if (!FileExists(sample)) GTEST_SKIP() << "samples/sample.cab is not there";
    View v;
    // The shipped file is exactly what make_sample makes today.
    std::string made = v.dir / "made.cab";
    std::string tool = (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "make_sample").string();
    ASSERT_EQ(fixture::Run(Quote(tool) + " " + Quote(made)).status, 0);
    EXPECT_EQ(ReadFile(made), ReadFile(sample));
    v.Options(true, true, true, true, true);
    EXPECT_EQ(v.Names(sample),
              HostNames({"Program Files\\Sample App\\bin\\sample.exe", "Program Files\\Sample App\\bin\\sampleui.dll",
                         "Program Files\\Sample App\\readme.txt", "Program Files\\Sample App\\data\\levels.dat",
                         "Program Files\\Sample App\\data\\config.ini", "Windows\\Help\\sample.htm",
                         "Windows\\Start Menu\\Programs\\Sample App.lnk", "Program Files\\Sample App\\Readme.lnk",
                         "Windows\\Desktop\\Data Folder.lnk", "~Cab~.REG", "~Cab~.INF"}));
}
