// The CE setup file: finding it, decoding its tables (record by record where
// the exports cannot show a field), malformed variants that must never crash,
// and real CE cabinets checked against cabextract.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <tuple>

#include "interface/result.h"
#include "setup/setup.h"
#include "support/alloc.h"
#include "support/paths.h"
#include "tests/fixture.h"

using namespace fixture;

namespace {

// A cabinet read straight through the reader, for fields the listing never shows.
struct Loaded {
    mirad::Cabinet cabinet;
    std::unique_ptr<mirad::CeSetup> setup;
    int code = -1;
    explicit Loaded(const std::string& path) {
        mirad::IoHandle file(mirad::IoOpen(path.c_str(), mirad::IoMode::Read));
        if (file) code = mirad::ResultCode(mirad::ReadCeCabinet(std::move(file), &cabinet, &setup));
        if (code == 0 && !setup) code = -2;  // every cabinet here is a CE cabinet
    }
    const mirad::SetupHeader& h() const { return setup->header(); }
};

using Names = std::vector<std::string>;
using Env = fixture::ModuleEnv;

std::vector<StoredFile> OneFile() { return {{"app.001", BytesOf("app")}}; }

// A cabinet whose first stored file is `setup` as given, then app.001.
Bytes WithSetup(const Bytes& setup) { return BuildCabinet({{"SETUP.000", setup}, {"app.001", BytesOf("a")}}); }

CeSetup FullSetup() {
    CeSetup s;
    s.strings = {{1, "%CE1%\\Tool"}, {2, "Bin"}, {3, "Tool.lnk"}, {4, "Software"}};
    s.directories = {{1, {1}}, {2, {1, 2}}};
    s.copyFiles = {{1, 2, "tool.exe"}};
    s.hives = {{1, 3, {4}}};
    s.values = {{1, 0x00000000, "Name", BytesOf(std::string("x\0", 2))}};
    CeShortcut sc;
    sc.baseMacro = 11;
    sc.targetId = 1;
    sc.nameStringId = 3;
    s.shortcuts = {sc};
    return s;
}

// Lists and extracts everything (extraction covers what testing reads, and
// more); the module must answer with result codes only. Damaged names may be
// empty or collide with a directory: those destinations give 16.
void WalkEverything(Env& e, const std::string& cab, const std::string& label) {
    int32_t code = -1;
    for (const std::string& name : e.Names(cab, &code)) EXPECT_LT(name.size(), 260u) << label;
    EXPECT_EQ(code, 0) << label;
    for (const auto& r : ExtractAll(e.m, cab, e.dir / "x")) {
        EXPECT_TRUE(r.second == 0 || r.second == MIRAD_BAD_DATA || r.second == MIRAD_ECREATE)
            << label << " " << r.first << " " << r.second;
    }
}

}  // namespace

TEST(CeSetupFile, IdListsDecodeAsStoredWithDecidedOddities) {
    CeSetup s;
    s.strings = {{1, "\\Program Files\\Tool"}, {7, "\"Bin\""}, {8, "\""} /* a lone quote */,
                 {9, std::string("WIN\0abcdef", 10), 10} /* text ends at its NUL */,
                 {10, std::string(400, 'L')} /* longer than the buffer */, {11, "after"}};
    s.directories = {
        {1, {1, 7, 0}},     // %InstallDir%\Bin
        {2, {7, 1, 0}},     // only the first element can be the macro
        {4, {99, 7}},       // unknown first id: empty, and no separator follows
        {5, {7, 99, 7}},    // unknown id later: an empty element
        {6, {7, 8, 7}},     // lone quote: empty text
        {7, {7, 0, 1, 1}},  // 0 before the end: the rest is skipped...
        {8, {1}},           // ...and the next record is read from its own start
        {9, {7, 9}},
        {10, {7, 10, 11}},  // over-long result: cut at 259
        {11, {11}},         // the over-long string's bytes were all consumed
        {3, {7, 7, 7}, 5},  // byte length 5: two ids
    };
    const std::vector<std::pair<uint16_t, std::string>> expected = {
        {1, "%InstallDir%\\Bin"}, {2, "Bin\\\\Program Files\\Tool"}, {4, "Bin"}, {5, "Bin\\\\Bin"},
        {6, "Bin\\\\Bin"}, {7, "Bin"}, {8, "%InstallDir%"}, {9, "Bin\\WIN"},
        {10, "Bin\\" + std::string(255, 'L')}, {11, "after"}, {3, "Bin\\Bin"}};
    TempDir dir;
    WriteFile(dir / "s.cab", BuildCeCabinet(s, OneFile()));
    Loaded l(dir / "s.cab");
    ASSERT_EQ(l.code, 0);
    ASSERT_EQ(l.h().directoryCount, expected.size());
    const mirad::SetupDirectory* d = l.setup->directories().data();
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(d[i].id, expected[i].first) << i;
        EXPECT_EQ(std::string(d[i].path), expected[i].second) << "directory " << expected[i].first;
    }
    EXPECT_EQ(d[0].pathLength, 17);
    EXPECT_EQ(d[8].pathLength, 260);
    const mirad::SetupString* str = l.setup->strings().data();
    EXPECT_EQ(str[3].length, 4);
    EXPECT_EQ(str[4].length, 260);
    EXPECT_EQ(std::strlen(str[4].text), 259u);
}

TEST(CeSetupFile, CopyFilesRegistryKeysAndShortcutsAsStored) {
    CeSetup s;
    s.strings = {{1, "%CE1%\\Tool"}, {2, "Software"}, {3, "Example"}};
    s.directories = {{4, {1}}};
    s.copyFiles = {{5, 4, "app.exe", 0x40000000, 0x1234},
                   {5, 77, "bare.exe"},              // no such directory: the name alone
                   {1, 4, std::string(300, 'n')}};  // cut at 259
    CeRegHive hive{3, 1, {2, 3}};
    hive.rootHigh = 0xFFFF;  // root is the low 16 bits only
    s.hives = {hive};
    CeShortcut a;
    a.baseDirectoryId = 4;
    a.baseMacro = 2;
    a.targetId = 5;
    a.nameStringId = 3;
    a.specLength = 900;  // never decides the record size
    CeShortcut b = a;
    b.id = 2;
    b.specLength = 0;
    s.shortcuts = {a, b};
    TempDir dir;
    WriteFile(dir / "s.cab", BuildCeCabinet(s, {{"A.001", BytesOf("a")}, {"APP.005", BytesOf("app")},
                                                {"OTHER.005", BytesOf("other")}}));
    Loaded l(dir / "s.cab");
    ASSERT_EQ(l.code, 0);
    ASSERT_EQ(l.h().copyFileCount, 3);
    const mirad::SetupCopyFile* c = l.setup->copyFiles().data();
    EXPECT_EQ(c[0].entryIndex, 2);  // SETUP.000, A.001, then the first .005
    EXPECT_EQ(c[0].flags, 0x40000000u);
    EXPECT_EQ(c[0].nameLength, 8);
    EXPECT_STREQ(c[0].destPath, "%InstallDir%\\app.exe");
    EXPECT_STREQ(c[1].destPath, "bare.exe");
    EXPECT_EQ(std::string(c[2].destPath), "%InstallDir%\\" + std::string(259 - 13, 'n'));
    EXPECT_EQ(c[2].entryIndex, 1);

    ASSERT_EQ(l.h().regHiveCount, 1);
    EXPECT_EQ(l.setup->regHives()[0].root, 1);
    EXPECT_STREQ(l.setup->regHives()[0].keyPath, "Software\\Example");

    // The second shortcut is read whole right after the first.
    ASSERT_EQ(l.h().shortcutCount, 2);
    EXPECT_EQ(l.setup->shortcuts()[0].specLength, 900);
    const mirad::SetupShortcut& sc = l.setup->shortcuts()[1];
    EXPECT_EQ(std::make_tuple(sc.id, sc.baseDirectoryId, sc.baseMacro, sc.targetId, sc.nameStringId),
              std::make_tuple(2, 4, 2, 5, 3));
}

TEST(CeSetupFile, SignatureCaseAndPlacement) {
    Env e;
    e.Options(false, true, false, false, true);
    CeSetup lower = FullSetup();
    lower.signature = "msce";
    EXPECT_EQ(e.Names(e.Cab("lower.cab", BuildCeCabinet(lower, OneFile()))),
              HostNames({"%InstallDir%\\Bin\\tool.exe", "~Cab~.INF"}));
    CeSetup other = FullSetup();
    other.signature = "MSCX";
    EXPECT_EQ(e.Names(e.Cab("other.cab", BuildCeCabinet(other, OneFile()))), (Names{"SETUP.000", "app.001"}));
    // Only the first stored file can be the setup file.
    std::string late = e.Cab("late.cab", BuildCabinet({{"README.TXT", BytesOf("r")}, {"app.001", BytesOf("a")},
                                                       {"APP.000", BuildSetupFile(FullSetup())}}));
    EXPECT_EQ(e.Names(late), (Names{"README.TXT", "app.001", "APP.000"}));
}

TEST(CeSetupFile, LogLinesForFullAndEmptyTables) {
    Env e;
    const std::vector<std::string> prefixes = {"Processing MSCE", "reading MSCE", "CAB file successfully read"};
    std::string log = e.dir / "full.log";
    e.Options(true, true, true, true, true, log);
    e.Names(e.Cab("full.cab", BuildCeCabinet(FullSetup(), OneFile())));
    EXPECT_EQ(LinesStartingWith(log, prefixes),
              (Names{"Processing MSCE file", "reading MSCE strings section", "reading MSCE directories section",
                     "reading MSCE copyfiles section", "reading MSCE regkeys section",
                     "reading MSCE shortcuts section", "CAB file successfully read"}));
    // Empty tables: no section lines, and the open still succeeds.
    log = e.dir / "empty.log";
    e.Options(true, true, true, true, true, log);
    EXPECT_EQ(e.Names(e.Cab("empty.cab", BuildCeCabinet(CeSetup(), OneFile()))), (Names{"~Cab~.INF"}));
    EXPECT_EQ(LinesStartingWith(log, prefixes), (Names{"Processing MSCE file", "CAB file successfully read"}));
}

TEST(CeSetupFile, ReadThroughTheBlocksWhateverTheLayout) {
    Env e;
    e.Options(true, true, true, true, true);
    CeSetup s = FullSetup();
    for (uint16_t i = 20; i < 60; ++i) s.strings.push_back({i, "padding string " + std::to_string(i)});
    std::vector<StoredFile> files = {{"app.001", Pattern(3000, 9)}};
    Names expected = e.Names(e.Cab("plain.cab", BuildCeCabinet(s, files)));
    ASSERT_EQ(expected.size(), 4u);

    CabOptions small;
    small.blockSize = 64;  // the setup file spans many blocks
    CabOptions counted = small;
    counted.headerCountedOffsets = true;
    CabOptions reserve;
    reserve.reserve = true;
    reserve.cbCFHeader = 8;
    reserve.cbCFFolder = 4;
    reserve.cbCFData = 4;
    CabOptions reserveSmall = reserve;
    reserveSmall.blockSize = 100;
    int n = 0;
    for (const CabOptions& o : {small, counted, reserve, reserveSmall}) {
        std::string label = "layout " + std::to_string(n), out = e.dir / label;
        std::string cab = e.Cab(label + ".cab", BuildCeCabinet(s, files, o));
        EXPECT_EQ(e.Names(cab), expected) << label;
        for (const auto& r : ExtractAll(e.m, cab, out)) EXPECT_EQ(r.second, 0) << label << " " << r.first;
        EXPECT_EQ(ReadFile(out + "/Program Files/Tool/Bin/tool.exe"), files[0].data) << label;
        if (n++ == 2) {
            Loaded l(cab);
            ASSERT_EQ(l.code, 0);
            EXPECT_EQ(l.h().stringCount, s.strings.size());
        }
    }
}

TEST(CeSetupFile, TablesThatRunPastTheEndKeepWholeRecordsOnly) {
    Env e;
    e.Options(false, true, false, true, false);
    // The copy-file table is the last one: it claims five records and holds three.
    CeSetup s;
    s.strings = {{1, "%CE1%\\Tool"}};
    s.directories = {{1, {1}}};
    s.copyFiles = {{1, 1, "a.exe"}, {1, 1, "b.exe"}, {1, 1, "c.exe"}};
    s.copyFileCount = 5;
    std::string cab = e.Cab("short.cab", BuildCeCabinet(s, OneFile()));
    EXPECT_EQ(e.Names(cab), HostNames({"%InstallDir%\\a.exe", "%InstallDir%\\b.exe", "%InstallDir%\\c.exe"}));
    Loaded l(cab);
    ASSERT_EQ(l.code, 0);
    EXPECT_EQ(l.h().copyFileCount, 3);
    EXPECT_EQ(mirad::le16(l.h().raw + 52), 5);  // the header as stored is kept

    // Shortcuts: three claimed, one whole record and half of another there.
    s.copyFileCount = -1;
    CeShortcut sc;
    sc.baseMacro = 2;
    sc.nameStringId = 1;
    s.shortcuts = {sc};
    s.shortcutCount = 3;
    Bytes setup = BuildSetupFile(s);
    setup.insert(setup.end(), {1, 0, 2, 0, 3, 0});
    Names names = e.Names(e.Cab("cut.cab", WithSetup(setup)));
    ASSERT_EQ(names.size(), 4u);
    EXPECT_EQ(names[3], HostName("%CE2%\\%CE1%\\Tool"));

    // A table offset beyond the file: an empty table.
    Bytes far = BuildSetupFile(FullSetup());
    mirad::put_le32(far.data() + 68, 0xFFFFFF00u);
    EXPECT_EQ(e.Names(e.Cab("far.cab", WithSetup(far))), HostNames({"%CE11%\\Tool.lnk"}));
}

TEST(CeSetupFile, UnreadableSetupFileOpensAsPlainCabinet) {
    Env e;
    e.Options(true, true, true, true, true);
    // SETUP.000 alone in its folder, claiming more bytes than its blocks hold.
    CabOptions o;
    o.filesPerFolder = 1;
    CabLayout layout;
    Bytes cab = BuildCabinet({{"SETUP.000", BuildSetupFile(FullSetup())}, {"app.001", BytesOf("app")}}, o, &layout);
    uint8_t* cbFile = cab.data() + layout.fileRecordOffsets[0];
    mirad::put_le32(cbFile, mirad::le32(cbFile) + 10);
    std::string path = e.Cab("bad.cab", cab);
    int32_t code = -1;
    EXPECT_EQ(e.Names(path, &code), (Names{"SETUP.000", "app.001"}));
    EXPECT_EQ(code, 0);
    auto tested = ExtractAll(e.m, path, e.dir / "t", MIRAD_TEST);
    ASSERT_EQ(tested.size(), 2u);
    EXPECT_EQ(tested[0].second, MIRAD_BAD_DATA);
    EXPECT_EQ(tested[1].second, 0);
}

TEST(CeSetupFile, EveryTruncationAndDamagedBytesNeverCrash) {
    Env e;
    e.Options(true, true, true, true, true);
    CeSetup s = FullSetup();
    s.appName = "Tool";
    s.provider = "Example";
    Bytes setup = BuildSetupFile(s);
    for (size_t cut = 4; cut < setup.size(); ++cut) {
        WalkEverything(e, e.Cab("cut.cab", WithSetup(Bytes(setup.begin(), setup.begin() + cut))),
                       "cut at " + std::to_string(cut));
        if (HasFatalFailure()) return;
    }
    s.directories.push_back({3, {2, 1, 0, 4}});
    s.copyFiles.push_back({2, 3, "second.dll"});
    setup = BuildSetupFile(s);
    std::mt19937 rng(20240611);
    for (int round = 0; round < 200; ++round) {
        Bytes damaged = setup;
        for (int i = 0, flips = 1 + static_cast<int>(rng() % 6); i < flips; ++i) {
            // Keep the signature so the damage reaches the tables.
            damaged[4 + rng() % (damaged.size() - 4)] = static_cast<uint8_t>(rng() % 3 == 0 ? 0xFF : rng());
        }
        std::string cab = e.Cab("d.cab", BuildCabinet({{"SETUP.000", damaged}, {"app.001", BytesOf("app")},
                                                      {"second.002", BytesOf("2")}}));
        WalkEverything(e, cab, "round " + std::to_string(round));
        if (HasFatalFailure()) return;
    }
}

TEST(CeSetupFile, RealCeCabinetsInstalledViewMatchesCabextract) {
    std::string corpus = CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "the third-party corpus is absent";
    if (!HaveTool("cabextract")) GTEST_SKIP() << "cabextract is not installed";
    std::istringstream ls(fixture::Run("ls " + Quote(corpus + "/real-ce") + " | grep -i '\\.cab$'").out);
    int found = 0, checked = 0;
    for (std::string name; std::getline(ls, name); ++found) {
        std::string cab = corpus + "/real-ce/" + name;
        Env e;
        std::string log = e.dir / "mirad.log";
        e.Options(true, true, false, false, false, log);
        int32_t code = -1;
        Names list = e.Names(cab, &code);
        ASSERT_EQ(code, 0) << name;
        ASSERT_FALSE(list.empty()) << name;
        for (const std::string& entry : list) {
            EXPECT_TRUE(!entry.empty() && entry[0] != '\\' && entry[0] != '/') << name << ": " << entry;
            EXPECT_EQ(entry.find("%CE"), std::string::npos) << name << ": " << entry;
            EXPECT_EQ(entry.find("%InstallDir%"), std::string::npos) << name << ": " << entry;
        }
        // Which stored file carries each installed file, as the listing logs it.
        std::map<std::string, std::string> carrier;
        for (const std::string& line : LinesStartingWith(log, {"ReadHeader -> "})) {
            size_t open = line.rfind(" (");
            if (open != std::string::npos && line.back() == ')')
                carrier[HostName(line.substr(14, open - 14))] = line.substr(open + 2, line.size() - open - 3);
        }
        if (carrier.empty()) continue;  // no setup file (sdk__Certs.cab): stored names only
        std::string peer = e.dir / "peer", ours = e.dir / "ours";
        ASSERT_EQ(fixture::Run("cabextract -q -d " + Quote(peer) + " " + Quote(cab)).status, 0) << name;
        auto results = ExtractAll(e.m, cab, ours);
        ASSERT_EQ(results.size(), list.size()) << name;
        for (const auto& r : results) {
            ASSERT_EQ(r.second, 0) << name << ": " << r.first;
            ASSERT_EQ(carrier.count(r.first), 1u) << name << ": " << r.first;
            std::string rel = r.first;
            for (char& ch : rel)
                if (ch == '\\') ch = '/';
            std::string stored = peer + "/" + carrier[r.first];
            EXPECT_TRUE(FileExists(stored)) << name << ": cabextract gave no " << carrier[r.first];
            EXPECT_EQ(ReadFile(ours + "/" + rel), ReadFile(stored)) << name << ": " << r.first;
        }
        ++checked;
    }
    if (found == 0) GTEST_SKIP() << "no real CE cabinets in the corpus";
    EXPECT_GT(checked, 0);
}
