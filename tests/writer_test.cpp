// Cabinet writing: new cabinets and updates, checked by decoding the bytes we
// wrote, by peer tools, and under faults injected through the I/O seam or by
// the operating system.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cabinet/layout.h"
#include "cabinet/writer.h"
#include "platform/platform.h"
#include "support/bytes.h"
#include "support/io.h"
#include "tests/fixture.h"

using namespace fixture;
namespace fs = std::filesystem;

namespace {

// ---- Decoding what we wrote ------------------------------------------------------

struct DecodedFile {
    uint32_t cbFile, uoff;
    uint16_t iFolder, date, time, attribs;
    std::string name;
};
struct DecodedFolder {
    uint32_t coffCabStart;
    uint16_t cCFData;
    std::vector<uint16_t> blocks;  // cbData of each block
};
struct Decoded {
    uint32_t cbCabinet = 0, coffFiles = 0;
    uint16_t cFolders = 0, cFiles = 0, flags = 0;
    uint8_t versionMinor = 0, versionMajor = 0;
    std::vector<DecodedFolder> folders;
    std::vector<DecodedFile> files;
    uint32_t dataStart = 0;
};

// The format's block checksum: the data, then cbData and cbUncomp, XORed as
// little-endian 32-bit words, a short tail taken most significant byte first.
uint32_t BlockChecksum(const uint8_t* p, size_t n, uint32_t seed) {
    uint32_t sum = seed;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) sum ^= mirad::le32(p + i);
    uint32_t tail = 0;
    for (; i < n; ++i) tail = (tail << 8) | p[i];
    return sum ^ tail;
}

// Decodes a cabinet laid out by our writer, checking the invariants every
// cabinet we write must hold (no reserve, cbUncomp = cbData, blocks
// of a folder back to back, every block's checksum right, the file exactly
// cbCabinet long).
Decoded Decode(const Bytes& b) {
    Decoded d;
    EXPECT_GE(b.size(), 36u);
    if (b.size() < 36) return d;
    EXPECT_EQ(std::memcmp(b.data(), "MSCF", 4), 0);
    d.cbCabinet = mirad::le32(&b[8]);
    d.coffFiles = mirad::le32(&b[16]);
    d.versionMinor = b[24];
    d.versionMajor = b[25];
    d.cFolders = mirad::le16(&b[26]);
    d.cFiles = mirad::le16(&b[28]);
    d.flags = mirad::le16(&b[30]);
    EXPECT_EQ(mirad::le32(&b[4]) | mirad::le32(&b[12]) | mirad::le32(&b[20]), 0u);
    EXPECT_EQ(mirad::le16(&b[32]) | mirad::le16(&b[34]), 0);
    EXPECT_EQ(d.cbCabinet, b.size());
    size_t pos = 36;
    for (int i = 0; i < d.cFolders; ++i) {
        DecodedFolder f{mirad::le32(&b[pos]), mirad::le16(&b[pos + 4]), {}};
        EXPECT_EQ(mirad::le16(&b[pos + 6]), 0) << "typeCompress";
        d.folders.push_back(f);
        pos += 8;
    }
    EXPECT_EQ(pos, d.coffFiles);
    for (int i = 0; i < d.cFiles; ++i) {
        DecodedFile f{mirad::le32(&b[pos]),     mirad::le32(&b[pos + 4]),  mirad::le16(&b[pos + 8]),
                      mirad::le16(&b[pos + 10]), mirad::le16(&b[pos + 12]), mirad::le16(&b[pos + 14]), {}};
        pos += 16;
        while (pos < b.size() && b[pos]) f.name += static_cast<char>(b[pos++]);
        ++pos;
        d.files.push_back(f);
    }
    d.dataStart = static_cast<uint32_t>(pos);
    for (auto& f : d.folders) {
        EXPECT_EQ(f.coffCabStart, pos);
        for (int k = 0; k < f.cCFData && pos + 8 <= b.size(); ++k) {
            uint16_t cb = mirad::le16(&b[pos + 4]);
            if (pos + 8u + cb <= b.size()) {
                EXPECT_EQ(mirad::le32(&b[pos]), BlockChecksum(&b[pos + 4], 4, BlockChecksum(&b[pos + 8], cb, 0)))
                    << "csum of the block at " << pos;
            }
            EXPECT_EQ(mirad::le16(&b[pos + 6]), cb);
            f.blocks.push_back(cb);
            pos += 8u + cb;
        }
    }
    EXPECT_EQ(pos, b.size());
    return d;
}

// ---- Files, lists and peers ----------------------------------------------------------------

std::string List(const std::vector<std::string>& names) {
    std::string s;
    for (const auto& n : names) s += n + '\0';
    s += '\0';
    return s;
}

int Pack(Module& m, const std::string& cab, const std::string& source, const std::vector<std::string>& names,
         const char* subPath = nullptr, int flags = 0) {
    std::string list = List(names);
    std::string src = source.empty() ? "" : source + "/";
    std::string cabPath = cab;
    std::string sub = subPath ? subPath : "";
    return m.PackFiles(&cabPath[0], subPath ? &sub[0] : nullptr, src.empty() ? nullptr : &src[0], &list[0], flags);
}

// The same through the linked internals, so seam doubles and hooks apply.
int PackInternal(const std::string& cab, const std::string& source, const std::vector<std::string>& names,
                 const char* subPath = nullptr, int flags = 0) {
    std::string list = List(names);
    std::string src = source + "/";
    return mirad::PackFilesImpl(cab.c_str(), subPath, src.c_str(), list.data(), flags);
}

std::vector<std::string> DirNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// cabextract -t, then cabextract and gcab extract every file byte for byte.
// 7zz only when asked: it reports "Data Error" for a stored folder whose
// blocks before the last are shorter than 32 KiB, which our layout produces
// whenever a folder holds several files; so it is asked only of cabinets
// whose folders hold one file each.
void ExpectPeersExtract(const std::string& cab, const std::map<std::string, Bytes>& expected, bool sevenZip = false) {
    for (const char* tool : {"cabextract", "gcab"})
        if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    TempDir out;
    CommandResult t = Run("cabextract -t " + Quote(cab));
    ASSERT_EQ(t.status, 0) << t.out;
    CommandResult x = Run("cabextract -q -d " + Quote(out / "cx") + " " + Quote(cab));
    ASSERT_EQ(x.status, 0) << x.out;
    fs::create_directories(out / "gcab");
    CommandResult g = Run("gcab -x -C " + Quote(out / "gcab") + " " + Quote(cab));
    ASSERT_EQ(g.status, 0) << g.out;
    std::vector<std::string> dirs = {"cx", "gcab"};
    if (sevenZip && HaveTool("7zz")) {
        CommandResult z = Run("7zz x -y -o" + Quote(out / "7z") + " " + Quote(cab));
        ASSERT_EQ(z.status, 0) << z.out;
        dirs.push_back("7z");
    }
    for (const auto& [name, bytes] : expected) {
        std::string rel = name;
        std::replace(rel.begin(), rel.end(), '\\', '/');
        for (const auto& d : dirs) {
            EXPECT_TRUE(FileExists(out / (d + "/" + rel))) << d << ": " << name;
            EXPECT_EQ(ReadFile(out / (d + "/" + rel)), bytes) << d << ": " << name;
        }
    }
}

// Every data block of the written cabinet, in file order.
std::vector<uint16_t> AllBlocks(const Decoded& d) {
    std::vector<uint16_t> all;
    for (const auto& f : d.folders) all.insert(all.end(), f.blocks.begin(), f.blocks.end());
    return all;
}

// ---- New cabinets -----------------------------------------------------------------

TEST(WriterCreate, ThreeFileLayoutWithDataOnlyOffsetsAndLogLines) {
    Module m;
    ASSERT_TRUE(m.ok());
    TempDir dir;
    WriteSettings(dir.path, true, true, true, true, true, dir / "log.txt");
    m.SetSettingsDir(dir.path);
    fs::create_directories(dir / "src");
    std::map<std::string, Bytes> files = {
        {"a.txt", Pattern(100, 1)}, {"b.bin", Pattern(40000, 2)}, {"c.dat", Pattern(10, 3)}};
    for (const auto& [n, b] : files) WriteFile(dir / ("src/" + n), b);

    ASSERT_EQ(Pack(m, dir / "t.cab", dir / "src", {"a.txt", "b.bin", "c.dat"}), 0);
    Decoded d = Decode(ReadFile(dir / "t.cab"));
    EXPECT_EQ(d.cbCabinet, 40260u);
    EXPECT_EQ(d.coffFiles, 52u);
    EXPECT_EQ(d.dataStart, 118u);
    EXPECT_EQ(d.versionMinor, 3);
    EXPECT_EQ(d.versionMajor, 1);
    EXPECT_EQ(d.flags, 0);
    ASSERT_EQ(d.folders.size(), 2u);
    EXPECT_EQ(d.folders[0].coffCabStart, 118u);
    EXPECT_EQ(d.folders[0].cCFData, 3);
    EXPECT_EQ(d.folders[1].coffCabStart, 40242u);
    EXPECT_EQ(d.folders[1].cCFData, 1);
    EXPECT_EQ(AllBlocks(d), (std::vector<uint16_t>{100, 32768, 7232, 10}));
    ASSERT_EQ(d.files.size(), 3u);
    // b.bin starts after a.txt's 100 data bytes (not 108: block headers are not counted).
    EXPECT_EQ(d.files[1].uoff, 100u);
    EXPECT_EQ(d.files[0].uoff, 0u);
    EXPECT_EQ(d.files[2].uoff, 0u);
    EXPECT_EQ(d.files[1].iFolder, 0);
    EXPECT_EQ(d.files[2].iFolder, 1);
    EXPECT_EQ(d.files[1].cbFile, 40000u);

    std::string log = ReadText(dir / "log.txt");
    std::string src = dir / "src/";
    const std::vector<std::string> lines = {
        "File " + src + "a.txt (100 bytes)", "  -> a.txt", "File " + src + "b.bin (40000 bytes)", "  -> b.bin",
        "File " + src + "c.dat (10 bytes)",  "  -> c.dat", "Writing 2 folders", "Folder#1 has 3 data blocks @ 118",
        "Folder#2 has 1 data blocks @ 40242", "Writing 3 files", "Opening '" + src + "'+'a.txt'",
        "Opening '" + src + "'+'b.bin'", "Opening '" + src + "'+'c.dat'"};
    size_t at = 0;
    for (const auto& line : lines) {
        size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << log;
        at = found + line.size();
    }
    EXPECT_EQ(log.find("mismatch"), std::string::npos) << log;

    // Our reader and the peers agree on the multi-file folder.
    TempDir out;
    auto results = ExtractAll(m, dir / "t.cab", out.path);
    for (const auto& [name, rc] : results) EXPECT_EQ(rc, 0) << name;
    for (const auto& [n, b] : files) EXPECT_EQ(ReadFile(out / n), b) << n;
    ExpectPeersExtract(dir / "t.cab", files);
}

TEST(WriterCreate, FolderRuleCountsBlockHeadersAndBlocksHoldAtMost32KiB) {
    Module m;
    ASSERT_TRUE(m.ok());
    TempDir dir;
    struct Case {
        uint32_t first;
        size_t folders;
        std::vector<uint16_t> blocks;
    };
    // 32760 + 8 reaches 32768 and closes the folder; 32759 + 8 does not.
    for (const Case& c : {Case{32760, 2, {32760, 5}}, Case{32759, 1, {32759, 5}}}) {
        TempDir src;
        std::map<std::string, Bytes> files = {{"first", Pattern(c.first, 7)}, {"second", Pattern(5, 8)}};
        for (const auto& [n, b] : files) WriteFile(src / n, b);
        std::string cab = dir / ("f" + std::to_string(c.first) + ".cab");
        ASSERT_EQ(Pack(m, cab, src.path, {"first", "second"}), 0);
        Decoded d = Decode(ReadFile(cab));
        EXPECT_EQ(d.folders.size(), c.folders) << c.first;
        EXPECT_EQ(AllBlocks(d), c.blocks) << c.first;
        EXPECT_EQ(d.files[1].uoff, c.folders == 1 ? c.first : 0u);
        ExpectPeersExtract(cab, files, c.folders == 2);
    }
    {
        TempDir src;
        std::map<std::string, Bytes> files = {{"x", Pattern(32768, 9)}, {"y", Pattern(32769, 10)}};
        for (const auto& [n, b] : files) WriteFile(src / n, b);
        std::string cab = dir / "blocks.cab";
        ASSERT_EQ(Pack(m, cab, src.path, {"x", "y"}), 0);
        Decoded d = Decode(ReadFile(cab));
        ASSERT_EQ(d.folders.size(), 2u);
        EXPECT_EQ(d.folders[0].blocks, (std::vector<uint16_t>{32768}));
        EXPECT_EQ(d.folders[1].blocks, (std::vector<uint16_t>{32768, 1}));
        ExpectPeersExtract(cab, files, true);
    }
}

TEST(WriterCreate, EmptyFilesMissingNamesDirectoriesAndPrefixes) {
    Module m;
    ASSERT_TRUE(m.ok());
    TempDir dir;
    fs::create_directories(dir / "src/sub");
    WriteFile(dir / "src/zero", {});
    WriteFile(dir / "src/sub/ten", Pattern(10, 1));
    WriteFile(dir / "src/zero2", {});

    // Nothing to store: a 36-byte cabinet.
    ASSERT_EQ(Pack(m, dir / "none.cab", dir / "src", {"sub/", "missing", "sub"}), 0);
    Decoded none = Decode(ReadFile(dir / "none.cab"));
    EXPECT_EQ(none.cbCabinet, 36u);
    EXPECT_EQ(none.coffFiles, 36u);
    EXPECT_EQ(none.cFolders + none.cFiles, 0);

    // A zero-byte first file opens folder 0 without a block; "/" in list
    // names and subPath are stored as "\".
    ASSERT_EQ(Pack(m, dir / "z.cab", dir / "src", {"zero", "missing", "sub/ten", "zero2"}, "Dir/"), 0);
    Decoded d = Decode(ReadFile(dir / "z.cab"));
    ASSERT_EQ(d.files.size(), 3u);
    ASSERT_EQ(d.folders.size(), 1u);
    EXPECT_EQ(d.folders[0].cCFData, 1);
    EXPECT_EQ(d.files[0].name, "Dir\\zero");
    EXPECT_EQ(d.files[1].name, "Dir\\sub\\ten");
    EXPECT_EQ(d.files[2].name, "Dir\\zero2");
    EXPECT_EQ(d.files[0].uoff, 0u);
    EXPECT_EQ(d.files[1].uoff, 0u);
    EXPECT_EQ(d.files[2].uoff, 10u);
    EXPECT_EQ(d.files[0].cbFile, 0u);
    ExpectPeersExtract(dir / "z.cab", {{"Dir\\zero", {}}, {"Dir\\sub\\ten", Pattern(10, 1)}, {"Dir\\zero2", {}}});

    // A file that exists already is never overwritten by a new cabinet.
    WriteFile(dir / "locked.cab", BytesOf("not mine"));
    chmod((dir / "locked.cab").c_str(), 0);
    if (::access((dir / "locked.cab").c_str(), R_OK) != 0) {  // not when running as root
        EXPECT_EQ(Pack(m, dir / "locked.cab", dir / "src", {"zero"}), 15);
        chmod((dir / "locked.cab").c_str(), 0600);
        EXPECT_EQ(ReadText(dir / "locked.cab"), "not mine");
    }
}

TEST(WriterCreate, AttributesAndDatesComeFromTheScan) {
    Module m;
    ASSERT_TRUE(m.ok());
    TempDir dir;
    fs::create_directories(dir / "src");
    WriteFile(dir / "src/plain", Pattern(3, 1));
    WriteFile(dir / "src/.hidden", Pattern(3, 2));
    WriteFile(dir / "src/.ro", Pattern(3, 3));
    chmod((dir / "src/.ro").c_str(), 0444);
    struct utimbuf when = {1700000000, 1700000000};
    utime((dir / "src/plain").c_str(), &when);
    ASSERT_EQ(Pack(m, dir / "a.cab", dir / "src", {"plain", ".hidden", ".ro"}), 0);
    Decoded d = Decode(ReadFile(dir / "a.cab"));
    ASSERT_EQ(d.files.size(), 3u);
    uint16_t date = 0, time = 0;
    mirad::platform::UnixTimeToDos(1700000000, &date, &time);
    EXPECT_EQ(d.files[0].date, date);
    EXPECT_EQ(d.files[0].time, time);
    // Each kept bit is what the platform reports, masked to 0x27.
    const char* names[] = {"plain", ".hidden", ".ro"};
    for (int i = 0; i < 3; ++i) {
        mirad::platform::FindData f;
        ASSERT_TRUE(mirad::platform::FindFile((dir / "src/" + names[i]).c_str(), &f));
        EXPECT_EQ(d.files[i].attribs, f.attributes & 0x27u) << names[i];
    }
    EXPECT_EQ(d.files[1].attribs & 0x02, 0x02);
    if (geteuid() != 0) {
        EXPECT_EQ(d.files[2].attribs & 0x03, 0x03);
    }
}

TEST(WriterCreate, MoveRemovesPackedSourcesAndDirectoriesOverSeveralWalks) {
    Module m;
    ASSERT_TRUE(m.ok());
    TempDir dir;
    fs::create_directories(dir / "src/d/e");
    WriteFile(dir / "src/d/f", Pattern(5, 1));
    WriteFile(dir / "src/d/e/g", Pattern(5, 2));
    WriteFile(dir / "src/keep", Pattern(5, 3));  // in the directory but not listed
    // Directories listed before their contents; a missing name in between.
    ASSERT_EQ(Pack(m, dir / "m.cab", dir / "src", {"d/", "d/e/", "d/f", "nothere", "d/e/g"}, nullptr, 1), 0);
    EXPECT_FALSE(fs::exists(dir / "src/d"));
    EXPECT_TRUE(fs::exists(dir / "src/keep"));
    Decoded d = Decode(ReadFile(dir / "m.cab"));
    ASSERT_EQ(d.files.size(), 2u);
    EXPECT_EQ(d.files[1].name, "d\\e\\g");

    // A non-empty listed directory stays, and so do files the scan skipped.
    fs::create_directories(dir / "src2/d");
    WriteFile(dir / "src2/d/unlisted", Pattern(5, 4));
    ASSERT_EQ(Pack(m, dir / "m2.cab", dir / "src2", {"d/", "d/unlisted/"}, nullptr, 1), 0);
    EXPECT_TRUE(fs::exists(dir / "src2/d/unlisted"));
}

// ---- Updates -------------------------------------------------------------------

// A CE cabinet whose setup file installs GAME.001 as
// %InstallDir%\Game\game.exe and DATA.002 as %InstallDir%\Game\data.bin (the
// first element of a directory path reads as the installation directory);
// ghost.dll names file number 3, which no stored file carries.
CeSetup GameSetup() {
    CeSetup s;
    s.strings = {{1, "%CE1%"}, {2, "Game"}};
    s.directories = {{1, {1, 2}}};
    s.copyFiles = {{1, 1, "game.exe"}, {2, 1, "data.bin"}, {3, 1, "ghost.dll"}};
    return s;
}

std::vector<StoredFile> GameFiles() {
    std::vector<StoredFile> files(2);
    files[0].name = "GAME.001";
    files[0].data = Pattern(100, 11);
    files[0].attribs = 0x21;
    files[0].date = 0x4A21;
    files[1].name = "DATA.002";
    files[1].data = Pattern(50000, 12);
    return files;
}

std::map<std::string, Bytes> Contents(const Bytes& setupFile, const std::vector<StoredFile>& files) {
    std::map<std::string, Bytes> m = {{"SETUP.000", setupFile}};
    for (const auto& f : files) m[f.name] = f.data;
    return m;
}

TEST(WriterUpdate, ReplacesMatchedEntryAndKeepsTheRest) {
    Module m;
    ASSERT_TRUE(m.ok());
    TempDir dir;
    auto files = GameFiles();
    CabOptions shared;  // files share blocks, as other writers lay them out
    shared.blockSize = 30000;
    WriteFile(dir / "g.cab", BuildCeCabinet(GameSetup(), files, shared));
    fs::create_directories(dir / "src");
    Bytes replacement = Pattern(40000, 13);
    WriteFile(dir / "src/game.exe", replacement);

    // The key matches ignoring case; the source is sourcePath + list name.
    ASSERT_EQ(Pack(m, dir / "g.cab", dir / "src", {"game.exe"}, "%installdir%\\GAME\\"), 0);
    Decoded d = Decode(ReadFile(dir / "g.cab"));
    ASSERT_EQ(d.files.size(), 3u);
    EXPECT_EQ(d.files[1].name, "GAME.001");
    EXPECT_EQ(d.files[1].cbFile, 40000u);
    EXPECT_EQ(d.files[1].attribs, 0x21);
    EXPECT_EQ(d.files[1].date, 0x4A21);
    EXPECT_EQ(d.files[1].time, 0x6000);
    EXPECT_EQ(d.files[2].cbFile, 50000u);
    // Our layout now: every file in blocks of its own.
    uint32_t setupSize = d.files[0].cbFile;
    ASSERT_EQ(d.folders.size(), 2u);
    EXPECT_EQ(d.folders[0].blocks, (std::vector<uint16_t>{static_cast<uint16_t>(setupSize), 32768, 7232}));
    EXPECT_EQ(d.files[1].uoff, setupSize);
    EXPECT_EQ(d.folders[1].blocks, (std::vector<uint16_t>{32768, 17232}));
    files[0].data = replacement;
    ExpectPeersExtract(dir / "g.cab", Contents(BuildSetupFile(GameSetup()), files));
    EXPECT_EQ(DirNames(dir.path), (std::vector<std::string>{"g.cab", "src"}));
    EXPECT_TRUE(fs::exists(dir / "src/game.exe"));

    // With move the replacement goes once the cabinet is in place.
    WriteFile(dir / "src/data.bin", Pattern(3, 14));
    ASSERT_EQ(Pack(m, dir / "g.cab", dir / "src", {"%InstallDir%\\Game\\data.bin"}, nullptr, 1), 15)
        << "the source path is sourcePath + the list name";
    ASSERT_EQ(Pack(m, dir / "g.cab", dir / "src", {"data.bin"}, "%InstallDir%\\Game\\", 1), 0);
    EXPECT_FALSE(fs::exists(dir / "src/data.bin"));
    files[1].data = Pattern(3, 14);
    ExpectPeersExtract(dir / "g.cab", Contents(BuildSetupFile(GameSetup()), files));
}

TEST(WriterUpdate, RefusalsLeaveCabinetAndSourcesUntouched) {
    Module m;
    ASSERT_TRUE(m.ok());
    TempDir dir;
    Bytes cab = BuildCeCabinet(GameSetup(), GameFiles());
    WriteFile(dir / "g.cab", cab);
    fs::create_directories(dir / "src");
    WriteFile(dir / "src/game.exe", Pattern(5, 1));
    WriteFile(dir / "src/ghost.dll", Pattern(5, 2));
    WriteFile(dir / "src/other", Pattern(5, 3));
    // First name matches, second does not; a macro expanded by hand matches
    // nothing; a copy-file no stored file carries cannot be replaced.
    EXPECT_EQ(Pack(m, dir / "g.cab", dir / "src", {"game.exe", "other"}, "%InstallDir%\\Game\\", 1), 24);
    EXPECT_EQ(Pack(m, dir / "g.cab", dir / "src", {"game.exe"}, "\\Program Files\\Game\\", 1), 24);
    EXPECT_EQ(Pack(m, dir / "g.cab", dir / "src", {"ghost.dll"}, "%InstallDir%\\Game\\", 1), 24);
    // A match key over 259 characters.
    std::string longSub = "%CE1%\\" + std::string(250, 'x') + "\\";
    EXPECT_EQ(Pack(m, dir / "g.cab", dir / "src", {"game.exe"}, longSub.c_str(), 1), 24);
    // A matched source that is not there.
    EXPECT_EQ(Pack(m, dir / "g.cab", dir / "src", {"data.bin"}, "%InstallDir%\\Game\\", 1), 15);
    EXPECT_EQ(ReadFile(dir / "g.cab"), cab);
    EXPECT_EQ(DirNames(dir / "src"), (std::vector<std::string>{"game.exe", "ghost.dll", "other"}));
    EXPECT_EQ(DirNames(dir.path), (std::vector<std::string>{"g.cab", "src"}));
}

TEST(WriterUpdate, DirectoryOnlyListRewritesOurOwnCabinetUnchanged) {
    Module m;
    ASSERT_TRUE(m.ok());
    TempDir dir;
    std::map<std::string, Bytes> files = {{"a\\one", Pattern(100, 1)},
                                          {"a\\two", Pattern(70000, 2)},
                                          {"zero", {}},
                                          {"three", Pattern(32769, 3)}};
    fs::create_directories(dir / "src/a");
    for (const auto& [n, b] : files) {
        std::string rel = n;
        std::replace(rel.begin(), rel.end(), '\\', '/');
        WriteFile(dir / ("src/" + rel), b);
    }
    ASSERT_EQ(Pack(m, dir / "o.cab", dir / "src", {"a/one", "a/two", "zero", "three"}), 0);
    Bytes before = ReadFile(dir / "o.cab");
    ASSERT_EQ(Pack(m, dir / "o.cab", dir / "src", {"a/"}), 0);
    EXPECT_EQ(ReadFile(dir / "o.cab"), before);
}

TEST(WriterUpdate, GcabMadeCeCabinetUpdatedStillExtracts) {
    if (!HaveTool("gcab")) GTEST_SKIP() << "gcab is not installed";
    Module m;
    ASSERT_TRUE(m.ok());
    TempDir dir;
    fs::create_directories(dir / "in");
    CeSetup setup = GameSetup();
    setup.copyFiles = {{1, 1, "game.exe"}, {2, 1, "data.bin"}, {3, 1, "empty.txt"}};
    Bytes setupFile = BuildSetupFile(setup);
    std::map<std::string, Bytes> contents = {{"SETUP.000", setupFile},
                                             {"GAME.001", Pattern(70000, 1)},
                                             {"DATA.002", Pattern(1234, 2)},
                                             {"EMPTY.003", {}}};
    for (const auto& [n, b] : contents) WriteFile(dir / ("in/" + n), b);
    CommandResult g = fixture::Run("cd " + Quote(dir / "in") + " && gcab -c " + Quote(dir / "ce.cab") +
                          " SETUP.000 GAME.001 DATA.002 EMPTY.003");
    ASSERT_EQ(g.status, 0) << g.out;
    fs::create_directories(dir / "src");
    contents["DATA.002"] = Pattern(32768, 3);
    WriteFile(dir / "src/data.bin", contents["DATA.002"]);
    ASSERT_EQ(Pack(m, dir / "ce.cab", dir / "src", {"data.bin"}, "%InstallDir%\\Game\\"), 0);
    Decoded d = Decode(ReadFile(dir / "ce.cab"));
    EXPECT_EQ(d.files.size(), 4u);
    ExpectPeersExtract(dir / "ce.cab", contents);
}

// ---- Format limits -------------------------------------------------------------

TEST(WriterLimits, PlanRefusesWhatTheFormatCannotHold) {
    using mirad::LayoutFile;
    mirad::CabinetPlan plan;
    std::vector<LayoutFile> many(65536, LayoutFile{1, 1});
    EXPECT_EQ(mirad::PlanLayout(many.data(), many.size(), &plan), 24);
    EXPECT_EQ(mirad::PlanLayout(many.data(), 65535, &plan), 0);
    // 65535 blocks of 32768 bytes fill one folder; one byte more needs 65536.
    LayoutFile full{65535u * 32768u, 1};
    EXPECT_EQ(mirad::PlanLayout(&full, 1, &plan), 0);
    EXPECT_EQ(plan.folders[0].cCFData, 65535u);
    LayoutFile over{65535u * 32768u + 1, 1};
    EXPECT_EQ(mirad::PlanLayout(&over, 1, &plan), 24);
    // A small file joining that folder pushes it over as well.
    LayoutFile pair[] = {{100, 1}, {65535u * 32768u - 32768u, 1}, {1, 1}};
    EXPECT_EQ(mirad::PlanLayout(pair, 2, &plan), 0);
    EXPECT_EQ(mirad::PlanLayout(pair, 3, &plan), 0) << "the third file opens a new folder";
    LayoutFile joined[] = {{100, 1}, {65535u * 32768u, 1}};
    EXPECT_EQ(mirad::PlanLayout(joined, 2, &plan), 24);
    // The whole cabinet must stay below 4 GiB.
    LayoutFile big[] = {{2000000000u, 1}, {2000000000u, 1}, {294967000u, 1}};
    EXPECT_EQ(mirad::PlanLayout(big, 2, &plan), 0);
    EXPECT_EQ(mirad::PlanLayout(big, 3, &plan), 24);
}

// ---- Faults ------------------------------------------------------------------------

// An I/O seam double over the default one: writes fail once `writeLimit`
// bytes have gone to files opened for writing, reads fail after `readCalls`
// calls on files whose path contains `readMatch`, and `onOpen` runs before
// every open (to remove or change a source between scan and copy).
struct FaultIo {
    uint64_t writeLimit = UINT64_MAX;
    uint64_t written = 0;
    std::string readMatch;
    int readCalls = -1;
    std::function<void(const char*, mirad::IoMode)> onOpen;
    int refuseCreateNew = 0;  // exclusive creates that fail as if the name were taken
    std::vector<std::string> created;
    std::map<mirad::IoFile*, bool> failReads;
    std::map<mirad::IoFile*, bool> writers;
};

FaultIo* g_fault = nullptr;

mirad::IoFile* FaultOpen(void*, const char* path, mirad::IoMode mode) {
    if (g_fault->onOpen) g_fault->onOpen(path, mode);
    if (mode == mirad::IoMode::CreateNew) {
        g_fault->created.push_back(path);
        if (g_fault->refuseCreateNew-- > 0) return nullptr;
    }
    const auto& d = mirad::DefaultIo();
    mirad::IoFile* f = d.open(d.context, path, mode);
    if (f) {
        g_fault->failReads[f] = !g_fault->readMatch.empty() && std::strstr(path, g_fault->readMatch.c_str());
        g_fault->writers[f] = mode != mirad::IoMode::Read;
    }
    return f;
}
size_t FaultRead(void*, mirad::IoFile* f, void* b, size_t n) {
    if (g_fault->failReads[f] && g_fault->readCalls-- <= 0) return 0;
    const auto& d = mirad::DefaultIo();
    return d.read(d.context, f, b, n);
}
size_t FaultWrite(void*, mirad::IoFile* f, const void* b, size_t n) {
    const auto& d = mirad::DefaultIo();
    uint64_t room = g_fault->writeLimit > g_fault->written ? g_fault->writeLimit - g_fault->written : 0;
    size_t k = g_fault->writers[f] && room < n ? static_cast<size_t>(room) : n;
    size_t done = d.write(d.context, f, b, k);
    if (g_fault->writers[f]) g_fault->written += done;
    return done;
}
bool FaultSeek(void*, mirad::IoFile* f, uint64_t o) { return mirad::DefaultIo().seek(nullptr, f, o); }
uint64_t FaultTell(void*, mirad::IoFile* f) { return mirad::DefaultIo().tell(nullptr, f); }
bool FaultSize(void*, mirad::IoFile* f, uint64_t* s) { return mirad::DefaultIo().size(nullptr, f, s); }
bool FaultClose(void*, mirad::IoFile* f) {
    g_fault->failReads.erase(f);
    g_fault->writers.erase(f);
    return mirad::DefaultIo().close(nullptr, f);
}
const mirad::IoSystem kFaultIo = {nullptr, FaultOpen, FaultRead, FaultWrite, FaultSeek, FaultTell, FaultSize, FaultClose};

struct FaultScope {
    FaultIo io;
    FaultScope() {
        g_fault = &io;
        mirad::SetIo(&kFaultIo);
    }
    ~FaultScope() {
        mirad::SetIo(nullptr);
        g_fault = nullptr;
    }
};

// A source tree and a CE cabinet to update, shared by the fault tests.
struct UpdateScene {
    TempDir dir;
    Bytes cab;
    UpdateScene() {
        auto files = GameFiles();
        files[1].data = Pattern(300000, 5);
        cab = BuildCeCabinet(GameSetup(), files);
        WriteFile(dir / "g.cab", cab);
        fs::create_directories(dir / "src");
        WriteFile(dir / "src/game.exe", Pattern(100000, 6));
        WriteFile(dir / "src/data.bin", Pattern(10, 7));
    }
    // Replaces GAME.001 and keeps DATA.002, whose 300000 bytes come out of the old cabinet.
    int Update(int flags = 1) {
        return PackInternal(dir / "g.cab", dir / "src", {"game.exe"}, "%InstallDir%\\Game\\", flags);
    }
    void ExpectUntouched() {
        EXPECT_EQ(ReadFile(dir / "g.cab"), cab);
        EXPECT_EQ(DirNames(dir.path), (std::vector<std::string>{"g.cab", "src"})) << "a temporary file remains";
        EXPECT_EQ(DirNames(dir / "src"), (std::vector<std::string>{"data.bin", "game.exe"}));
    }
};

TEST(WriterFaults, TemporaryFileIsFreshAndBesideTheCabinet) {
    UpdateScene s;
    FaultScope fault;
    fault.io.refuseCreateNew = 2;
    ASSERT_EQ(s.Update(0), 0);
    ASSERT_EQ(fault.io.created.size(), 3u);
    EXPECT_NE(fault.io.created[0], fault.io.created[1]);
    EXPECT_NE(fault.io.created[1], fault.io.created[2]);
    for (const auto& p : fault.io.created) EXPECT_EQ(fs::path(p).parent_path(), fs::path(s.dir.path)) << p;
    EXPECT_EQ(DirNames(s.dir.path), (std::vector<std::string>{"g.cab", "src"}));
    EXPECT_NE(ReadFile(s.dir / "g.cab"), s.cab);
    EXPECT_TRUE(fs::exists(s.dir / "src/game.exe"));
}

TEST(WriterFaults, FailedWritesLeaveNothingBehind) {
    for (uint64_t limit : {0ull, 35ull, 200ull, 40000ull, 300000ull}) {
        SCOPED_TRACE(limit);
        {  // update: 16, cabinet as it was, temporary file removed
            UpdateScene s;
            FaultScope fault;
            fault.io.writeLimit = limit;
            EXPECT_EQ(s.Update(), 16);
            s.ExpectUntouched();
        }
        {  // new cabinet: 16, no partial cabinet, sources kept
            TempDir dir;
            fs::create_directories(dir / "src");
            WriteFile(dir / "src/a", Pattern(350000, 1));
            FaultScope fault;
            fault.io.writeLimit = limit;
            EXPECT_EQ(PackInternal(dir / "n.cab", dir / "src", {"a"}, nullptr, 1), 16);
            EXPECT_EQ(DirNames(dir.path), (std::vector<std::string>{"src"}));
            EXPECT_TRUE(fs::exists(dir / "src/a"));
        }
    }
}

TEST(WriterFaults, UnreadableSourcesAndKeptDataFail) {
    for (int calls : {0, 1, 3}) {
        SCOPED_TRACE(calls);
        {  // a replacement source that fails to read: 15
            UpdateScene s;
            FaultScope fault;
            fault.io.readMatch = "src/game.exe";
            fault.io.readCalls = calls;
            EXPECT_EQ(s.Update(), 15);
            s.ExpectUntouched();
        }
        {  // the old cabinet failing while kept data is copied: bad data, 12
            UpdateScene s;
            FaultScope fault;
            // The cabinet is open from the start; its reads begin to fail
            // once the temporary file is created, that is after it was read.
            fault.io.onOpen = [&](const char* path, mirad::IoMode) {
                if (std::strstr(path, "~mirad")) {
                    for (auto& entry : fault.io.failReads) entry.second = true;
                    fault.io.readCalls = calls;
                }
            };
            int rc = s.Update();
            EXPECT_EQ(rc, 12);
            s.ExpectUntouched();
        }
    }
}

TEST(WriterFaults, SourcesChangedBetweenScanAndCopy) {
    enum Change { Remove, Truncate, Grow };
    for (Change change : {Remove, Truncate, Grow}) {
        SCOPED_TRACE(static_cast<int>(change));
        auto act = [change](const std::string& path) {
            if (change == Remove) fs::remove(path);
            if (change == Truncate) fs::resize_file(path, 9);
            if (change == Grow) fs::resize_file(path, fs::file_size(path) + 1);
        };
        {
            UpdateScene s;
            FaultScope fault;
            std::string target = s.dir / "src/game.exe";
            fault.io.onOpen = [&](const char* path, mirad::IoMode) {
                if (target == path) act(target);
            };
            EXPECT_EQ(s.Update(), 15);
            EXPECT_EQ(ReadFile(s.dir / "g.cab"), s.cab);
            EXPECT_EQ(DirNames(s.dir.path), (std::vector<std::string>{"g.cab", "src"}));
            EXPECT_TRUE(fs::exists(s.dir / "src/data.bin"));
        }
        {
            TempDir dir;
            fs::create_directories(dir / "src");
            WriteFile(dir / "src/a", Pattern(1000, 1));
            WriteFile(dir / "src/b", Pattern(70000, 2));
            FaultScope fault;
            std::string target = dir / "src/b";
            fault.io.onOpen = [&](const char* path, mirad::IoMode) {
                if (target == path) act(target);
            };
            EXPECT_EQ(PackInternal(dir / "n.cab", dir / "src", {"a", "b"}, nullptr, 1), 15);
            EXPECT_FALSE(fs::exists(dir / "n.cab"));
            EXPECT_TRUE(fs::exists(dir / "src/a"));
        }
    }
}

TEST(WriterFaults, FileSizeLimitInChildLeavesCabinetAsItWas) {
    UpdateScene s;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {100000, 100000};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(s.Update());
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 16);
    s.ExpectUntouched();
}

TEST(WriterLimits, RefusedBeforeAnythingIsCreated) {
    TempDir dir;
    fs::create_directories(dir / "src");
    // Sparse files: sizes count, nothing is read before the refusal.
    for (auto [name, size] : {std::pair<const char*, uint64_t>{"huge", 65535ull * 32768 + 1},
                              {"big1", 1500000000}, {"big2", 1500000000}, {"big3", 1500000000}}) {
        FILE* f = std::fopen((dir / ("src/" + std::string(name))).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(ftruncate(fileno(f), static_cast<off_t>(size)), 0);
        std::fclose(f);
    }
    WriteFile(dir / "src/small", Pattern(5, 1));
    // Should a refusal be missed, the output fails fast instead of filling the disk.
    FaultScope fault;
    fault.io.writeLimit = 1 << 20;
    EXPECT_EQ(PackInternal(dir / "a.cab", dir / "src", {"small", "huge"}, nullptr, 1), 24);
    EXPECT_EQ(PackInternal(dir / "a.cab", dir / "src", {"big1", "big2", "big3"}, nullptr, 1), 24);
    std::string longName(256, 'n');
    EXPECT_EQ(PackInternal(dir / "a.cab", dir / "src", {"small", longName}, "Sub\\", 1), 24);
    EXPECT_FALSE(fs::exists(dir / "a.cab"));
    EXPECT_EQ(DirNames(dir / "src"), (std::vector<std::string>{"big1", "big2", "big3", "huge", "small"}));
}

// Writes slowly so the parent can kill the child mid-way.
size_t SlowWrite(void*, mirad::IoFile* f, const void* b, size_t n) {
    usleep(2000);
    return mirad::DefaultIo().write(nullptr, f, b, n);
}

TEST(WriterFaults, KilledUpdateLeavesCabinetAndSources) {
    TempDir dir;
    std::vector<StoredFile> files(1);
    files[0].name = "GAME.001";
    files[0].data = Pattern(8 << 20, 1);
    Bytes cab = BuildCeCabinet(GameSetup(), files);
    WriteFile(dir / "g.cab", cab);
    fs::create_directories(dir / "src");
    WriteFile(dir / "src/game.exe", Pattern(8 << 20, 2));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        mirad::IoSystem slow = mirad::DefaultIo();
        slow.write = SlowWrite;
        mirad::SetIo(&slow);
        _exit(PackInternal(dir / "g.cab", dir / "src", {"game.exe"}, "%InstallDir%\\Game\\", 1));
    }
    // Kill once the temporary file holds some data.
    bool started = false;
    for (int i = 0; i < 2000 && !started; ++i) {
        for (const auto& name : DirNames(dir.path))
            if (name.rfind("~mirad", 0) == 0 && fs::file_size(dir / name) > 100000) started = true;
        if (!started) usleep(5000);
    }
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(started) << "the update never began writing";
    ASSERT_TRUE(WIFSIGNALED(status)) << "the update finished before it was killed";
    EXPECT_EQ(ReadFile(dir / "g.cab"), cab);
    EXPECT_TRUE(fs::exists(dir / "src/game.exe"));
}

}  // namespace
