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

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "cabinet/layout.h"
#include "interface/result.h"
#include "setup/pack.h"
#include "platform/platform.h"
#include "support/bytes.h"
#include "support/io.h"
#include "support/output.h"
#include "support/settings.h"
#include "tests/fixture.h"
#include "tests/log_capture.h"

using namespace fixture;
namespace fs = std::filesystem;
using mirad::le16;
using mirad::le32;

namespace {

// ---- Decoding what we wrote ------------------------------------------------------

struct DecodedFile {
    uint32_t cbFile, uoff;
    uint16_t iFolder, date, time, attribs;
    std::string name;
};
struct Decoded {
    uint32_t cbCabinet = 0, coffFiles = 0;
    std::vector<uint32_t> coffCabStart;
    std::vector<std::vector<uint16_t>> blocks;  // cbData of each block, per folder
    std::vector<DecodedFile> files;
};

// The format's block checksum, written independently of the module's: the
// data, then cbData and cbUncomp, XORed as little-endian 32-bit words, a short
// tail taken most significant byte first.
uint32_t BlockChecksum(const uint8_t* p, size_t n, uint32_t seed) {
    size_t i = 0;
    for (; i + 4 <= n; i += 4) seed ^= le32(p + i);
    uint32_t tail = 0;
    for (; i < n; ++i) tail = (tail << 8) | p[i];
    return seed ^ tail;
}

// Decodes a cabinet we wrote, checking what every one must hold: version
// 1.3, no flags or reserve, folders of method `typeCompress`, blocks back to
// back with the right checksum, stored ones with cbUncomp = cbData and MSZIP
// ones inflating alone, the file exactly cbCabinet long, and the canonical
// layout: a folder's files back to back (uoffFolderStart counts data bytes),
// cut into blocks of 32768 bytes (uncompressed) with only the last shorter.
Decoded Decode(const Bytes& b, uint16_t typeCompress = 0) {
    Decoded d;
    EXPECT_GE(b.size(), 36u);
    if (b.size() < 36) return d;
    EXPECT_EQ(std::memcmp(b.data(), "MSCF", 4), 0);
    d.cbCabinet = le32(&b[8]);
    d.coffFiles = le32(&b[16]);
    EXPECT_EQ(le32(&b[4]) | le32(&b[12]) | le32(&b[20]), 0u);
    EXPECT_EQ(b[24] | b[25] << 8, 0x0103) << "version";
    EXPECT_EQ(le16(&b[30]) | le16(&b[32]) | le16(&b[34]), 0) << "flags, setID, iCabinet";
    EXPECT_EQ(d.cbCabinet, b.size());
    size_t pos = 36;
    std::vector<uint16_t> cCFData;
    for (int i = 0; i < le16(&b[26]); ++i, pos += 8) {
        d.coffCabStart.push_back(le32(&b[pos]));
        cCFData.push_back(le16(&b[pos + 4]));
        EXPECT_EQ(le16(&b[pos + 6]), typeCompress) << "typeCompress";
    }
    EXPECT_EQ(pos, d.coffFiles);
    for (int i = 0; i < le16(&b[28]); ++i) {
        DecodedFile f{le32(&b[pos]), le32(&b[pos + 4]), le16(&b[pos + 8]), le16(&b[pos + 10]), le16(&b[pos + 12]),
                      le16(&b[pos + 14]), {}};
        for (pos += 16; pos < b.size() && b[pos]; ++pos) f.name += static_cast<char>(b[pos]);
        ++pos;
        d.files.push_back(f);
    }
    for (size_t i = 0; i < cCFData.size(); ++i) {
        EXPECT_EQ(d.coffCabStart[i], pos);
        d.blocks.emplace_back();
        Bytes history;
        for (int k = 0; k < cCFData[i] && pos + 8 <= b.size(); ++k) {
            uint16_t cb = le16(&b[pos + 4]), cbUncomp = le16(&b[pos + 6]);
            if (pos + 8u + cb <= b.size()) {
                EXPECT_EQ(le32(&b[pos]), BlockChecksum(&b[pos + 4], 4, BlockChecksum(&b[pos + 8], cb, 0))) << pos;
                if (typeCompress == 1) {
                    Bytes out;
                    EXPECT_LE(cb, 32768 + 12);
                    EXPECT_EQ(InflateBlock(&b[pos + 8], cb, cbUncomp, history.data(), history.size(), &out), "")
                        << "folder " << i << " block " << k;
                    history.insert(history.end(), out.begin(), out.end());
                }
            }
            if (typeCompress == 0) {
                EXPECT_EQ(cbUncomp, cb);
            }
            d.blocks.back().push_back(cbUncomp);
            pos += 8u + cb;
        }
    }
    EXPECT_EQ(pos, b.size());
    std::vector<uint64_t> folderData(d.blocks.size(), 0);
    for (const auto& f : d.files) {
        if (f.iFolder >= folderData.size()) {
            ADD_FAILURE() << f.name << " in folder " << f.iFolder;
            continue;
        }
        EXPECT_EQ(f.uoff, folderData[f.iFolder]) << f.name;
        folderData[f.iFolder] += f.cbFile;
    }
    for (size_t i = 0; i < d.blocks.size(); ++i) {
        uint64_t sum = 0;
        for (size_t k = 0; k < d.blocks[i].size(); ++k) {
            sum += d.blocks[i][k];
            if (k + 1 < d.blocks[i].size()) {
                EXPECT_EQ(d.blocks[i][k], 32768) << "folder " << i << " block " << k;
            }
        }
        EXPECT_EQ(sum, folderData[i]) << "folder " << i;
    }
    return d;
}

// "blocks of folder 0 / blocks of folder 1 | name=cbFile@iFolder+uoff ...":
// offsets follow from these, as Decode checks the records lie back to back.
std::string Layout(const Decoded& d) {
    std::string s;
    for (size_t i = 0; i < d.blocks.size(); ++i) {
        s += i ? " /" : "";
        for (size_t k = 0; k < d.blocks[i].size(); ++k) s += (k ? "," : " ") + std::to_string(d.blocks[i][k]);
    }
    s += " |";
    for (const auto& f : d.files)
        s += " " + f.name + "=" + std::to_string(f.cbFile) + "@" + std::to_string(f.iFolder) + "+" +
             std::to_string(f.uoff);
    return s;
}

Decoded DecodeFile(const std::string& path, uint16_t typeCompress = 0) {
    return Decode(ReadFile(path), typeCompress);
}

// ---- Files, lists and peers ----------------------------------------------------------------

// PackFiles through the loaded module's export, or with no module through the
// linked internals, so that seam doubles apply.
int Pack(Module* m, const std::string& cab, const std::string& source, const std::vector<std::string>& names,
         const char* subPath = nullptr, int flags = 0) {
    std::string list, src = source + "/", path = cab, sub = subPath ? subPath : "";
    std::vector<mirad::ListName> listed;
    for (const auto& n : names) {
        list += n + '\0';
        listed.push_back(mirad::Listed(n.c_str()));
    }
    list += '\0';
    if (!m)
        return mirad::ResultCode(
            mirad::PackFilesInto(cab.c_str(), subPath, src.c_str(), listed, (flags & MIRAD_PACK_MOVE) != 0));
    return m->PackFiles(&path[0], subPath ? &sub[0] : nullptr, &src[0], &list[0], flags);
}

// `files` with `from` in their names turned to `to`: "\" to "/" as on disk,
// "/" to "\" as stored.
template <typename Files>
std::map<std::string, Bytes> Separated(const Files& files, char from, char to) {
    std::map<std::string, Bytes> out;
    for (const auto& [key, bytes] : files) {
        std::string name = key;
        std::replace(name.begin(), name.end(), from, to);
        out[name] = bytes;
    }
    return out;
}

std::vector<std::string> DirNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}
using Names = std::vector<std::string>;

// Scratch space for the peer runs: in memory where the system offers it, as
// tens of thousands of small files on a busy disk cost far more than the
// reading they test.
struct ScratchDir {
    std::string path;
    ScratchDir() {
        const char* tmp = std::getenv("TMPDIR");
        std::string base = fs::is_directory("/dev/shm") && ::access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                           : tmp && *tmp                                                  ? tmp
                                                                                          : "/tmp";
        std::string templ = base + "/mirad-peers-XXXXXX";
        if (!mkdtemp(&templ[0])) throw std::runtime_error("mkdtemp failed");
        path = templ;
    }
    ~ScratchDir() {
        std::error_code error;
        fs::remove_all(path, error);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// The readers every cabinet we write must satisfy, and how each extracts a
// cabinet into a directory.
struct Peer {
    const char* tool;
    std::string (*extract)(const std::string& cab, const std::string& dir);
};
const Peer kPeers[] = {
    {"cabextract", [](const std::string& c, const std::string& d) { return "cabextract -q -d " + Quote(d) + " " + Quote(c); }},
    {"gcab", [](const std::string& c, const std::string& d) { return "gcab -x -C " + Quote(d) + " " + Quote(c); }},
    {"7zz", [](const std::string& c, const std::string& d) { return "7zz x -y -bd -o" + Quote(d) + " " + Quote(c); }},
    {"bsdtar", [](const std::string& c, const std::string& d) { return "bsdtar -xf " + Quote(c) + " -C " + Quote(d); }},
};

bool HavePeers() {
    for (const Peer& peer : kPeers)
        if (!HaveTool(peer.tool)) return false;
    return true;
}

// The first name in which two file sets differ, or "" (a whole map of a
// 20,000-file tree would drown the report).
std::string FirstDifference(const std::map<std::string, Bytes>& got, const std::map<std::string, Bytes>& want) {
    for (const auto& [name, bytes] : want) {
        auto it = got.find(name);
        if (it == got.end()) return name + " missing";
        if (it->second != bytes) return name + " differs";
    }
    for (const auto& entry : got)
        if (!want.count(entry.first)) return entry.first + " not expected";
    return "";
}

// cabextract -t and 7zz t pass, and cabextract, gcab, 7zz and bsdtar each
// extract exactly these files, byte for byte.
void ExpectPeersExtract(const std::string& cab, const std::map<std::string, Bytes>& expected) {
    if (!HavePeers()) GTEST_SKIP() << "cabextract, gcab, 7zz or bsdtar is not installed";
    for (const std::string test : {"cabextract -q -t ", "7zz t -bd "}) {
        CommandResult t = Run(test + Quote(cab));
        ASSERT_EQ(t.status, 0) << test << t.out;
    }
    ScratchDir out;
    for (const Peer& peer : kPeers) {
        fs::create_directories(out / peer.tool);
        CommandResult r = Run(peer.extract(cab, out / peer.tool));
        ASSERT_EQ(r.status, 0) << peer.tool << ": " << r.out;
        EXPECT_EQ(FirstDifference(FilesBelow(out / peer.tool), Separated(expected, '\\', '/')), "") << peer.tool;
    }
}

// A fresh copy of the module, loaded as the host loads it, and a scratch directory.
struct WriterTest : ::testing::Test {
    Module m;
    TempDir dir;
    void SetUp() override { ASSERT_TRUE(m.ok()); }
    // PackFiles compresses new cabinets as the settings say.
    void Compress(bool mszip) {
        fs::create_directories(dir / "cfg");
        WriteText(dir / "cfg/Mirad.ini", std::string("[CONFIGURATION]\nCompression=") + (mszip ? "MSZIP" : "none") + "\n");
        m.SetSettingsDir(dir / "cfg");
    }
};
using WriterCreate = WriterTest;
using WriterUpdate = WriterTest;

// ---- New cabinets -----------------------------------------------------------------

TEST_F(WriterCreate, ThreeFileLayoutWithSharedBlocksAndLogLines) {
    WriteSettings(dir.path, true, true, true, true, true, dir / "log.txt");
    m.SetSettingsDir(dir.path);
    std::map<std::string, Bytes> files = {
        {"a.txt", Pattern(100, 1)}, {"b.bin", Pattern(40000, 2)}, {"c.dat", Pattern(10, 3)}};
    WriteTree(dir / "src", files);

    ASSERT_EQ(Pack(&m, dir / "t.cab", dir / "src", {"a.txt", "b.bin", "c.dat"}), 0);
    Decoded d = DecodeFile(dir / "t.cab");
    EXPECT_EQ(d.cbCabinet, 40252u);
    EXPECT_EQ(d.coffFiles, 52u);
    EXPECT_EQ(d.coffCabStart, (std::vector<uint32_t>{118, 40234}));
    // b.bin starts after a.txt's 100 data bytes (not 108: block headers are
    // not counted) and shares a.txt's block; a.txt's 108 bytes still count
    // towards the folder rule, so c.dat opens folder 1 as before.
    EXPECT_EQ(Layout(d), " 32768,7332 / 10 | a.txt=100@0+0 b.bin=40000@0+100 c.dat=10@1+0");

    std::string log = ReadText(dir / "log.txt"), src = dir / "src/";
    size_t at = 0;
    for (const std::string& line :
         {"File " + src + "a.txt (100 bytes)", std::string("  -> a.txt"), "File " + src + "b.bin (40000 bytes)",
          std::string("  -> b.bin"), "File " + src + "c.dat (10 bytes)", std::string("  -> c.dat"),
          std::string("Writing 2 folders"), std::string("Folder#1 has 2 data blocks @ 118"),
          std::string("Folder#2 has 1 data blocks @ 40234"), std::string("Writing 3 files"),
          "Opening '" + src + "'+'a.txt'", "Opening '" + src + "'+'b.bin'", "Opening '" + src + "'+'c.dat'"}) {
        size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << log;
        at = found + line.size();
    }
    EXPECT_EQ(log.find("mismatch"), std::string::npos) << log;

    // Our reader and the peers agree on the multi-file folder.
    TempDir out;
    for (const auto& [name, rc] : ExtractAll(m, dir / "t.cab", out.path)) EXPECT_EQ(rc, 0) << name;
    for (const auto& [n, b] : files) EXPECT_EQ(ReadFile(out / n), b) << n;
    ExpectPeersExtract(dir / "t.cab", files);
}

TEST_F(WriterCreate, FolderRuleCountsBlockHeadersAndFolderDataIsCutIn32KiBBlocks) {
    struct Case {
        uint32_t first, second;
        std::string layout;
    };
    const Case cases[] = {
        // 32760 + 8 reaches 32768 and closes the folder; 32759 + 8 does not.
        {32760, 5, " 32760 / 5 | first=32760@0+0 second=5@1+0"},
        {32759, 5, " 32764 | first=32759@0+0 second=5@0+32759"},
        {32768, 32769, " 32768 / 32768,1 | first=32768@0+0 second=32769@1+0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        std::string src = dir / std::to_string(c.first), cab = src + ".cab";
        std::map<std::string, Bytes> files = {{"first", Pattern(c.first, 7)}, {"second", Pattern(c.second, 8)}};
        WriteTree(src, files);
        ASSERT_EQ(Pack(&m, cab, src, {"first", "second"}), 0);
        Decoded d = DecodeFile(cab);
        EXPECT_EQ(Layout(d), c.layout);
        ExpectPeersExtract(cab, files);
    }
}

TEST_F(WriterCreate, EmptyFilesMissingNamesDirectoriesAndPrefixes) {
    WriteTree(dir / "src", {{"zero", {}}, {"sub/ten", Pattern(10, 1)}, {"zero2", {}}});

    // Nothing to store: a 36-byte cabinet.
    ASSERT_EQ(Pack(&m, dir / "none.cab", dir / "src", {"sub/", "missing", "sub"}), 0);
    Decoded none = DecodeFile(dir / "none.cab");
    EXPECT_EQ(none.cbCabinet, 36u);
    EXPECT_EQ(Layout(none), " |");

    // A zero-byte first file opens folder 0 without a block; "/" in list
    // names and subPath are stored as "\".
    ASSERT_EQ(Pack(&m, dir / "z.cab", dir / "src", {"zero", "missing", "sub/ten", "zero2"}, "Dir/"), 0);
    EXPECT_EQ(Layout(DecodeFile(dir / "z.cab")), " 10 | Dir\\zero=0@0+0 Dir\\sub\\ten=10@0+0 Dir\\zero2=0@0+10");
    ExpectPeersExtract(dir / "z.cab", {{"Dir\\zero", {}}, {"Dir\\sub\\ten", Pattern(10, 1)}, {"Dir\\zero2", {}}});

    // A file that exists already is never overwritten by a new cabinet.
    WriteFile(dir / "locked.cab", BytesOf("not mine"));
    chmod((dir / "locked.cab").c_str(), 0);
    if (::access((dir / "locked.cab").c_str(), R_OK) != 0) {  // not when running as root
        EXPECT_EQ(Pack(&m, dir / "locked.cab", dir / "src", {"zero"}), 15);
        chmod((dir / "locked.cab").c_str(), 0600);
        EXPECT_EQ(ReadText(dir / "locked.cab"), "not mine");
    }
}

TEST_F(WriterCreate, AttributesAndDatesComeFromTheScan) {
    const Names names = {"plain", ".hidden", ".ro"};
    WriteTree(dir / "src", {{"plain", Pattern(3, 1)}, {".hidden", Pattern(3, 2)}, {".ro", Pattern(3, 3)}});
    chmod((dir / "src/.ro").c_str(), 0444);
    struct utimbuf when = {1700000000, 1700000000};
    utime((dir / "src/plain").c_str(), &when);
    ASSERT_EQ(Pack(&m, dir / "a.cab", dir / "src", names), 0);
    Decoded d = DecodeFile(dir / "a.cab");
    ASSERT_EQ(d.files.size(), 3u);
    uint16_t date = 0, time = 0;
    mirad::platform::UnixTimeToDos(1700000000, &date, &time);
    EXPECT_EQ(d.files[0].date, date);
    EXPECT_EQ(d.files[0].time, time);
    // Each kept bit is what the platform reports, masked to 0x27.
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

TEST_F(WriterCreate, MoveRemovesPackedSourcesAndDirectoriesOverSeveralWalks) {
    // "keep" is in the directory but not listed.
    WriteTree(dir / "src", {{"d/f", Pattern(5, 1)}, {"d/e/g", Pattern(5, 2)}, {"keep", Pattern(5, 3)}});
    // Directories listed before their contents; a missing name in between.
    ASSERT_EQ(Pack(&m, dir / "m.cab", dir / "src", {"d/", "d/e/", "d/f", "nothere", "d/e/g"}, nullptr, 1), 0);
    EXPECT_EQ(DirNames(dir / "src"), Names{"keep"});
    EXPECT_EQ(Layout(DecodeFile(dir / "m.cab")), " 10 | d\\f=5@0+0 d\\e\\g=5@0+5");

    // A non-empty listed directory stays, and so do files the scan skipped.
    WriteTree(dir / "src2", {{"d/unlisted", Pattern(5, 4)}});
    ASSERT_EQ(Pack(&m, dir / "m2.cab", dir / "src2", {"d/", "d/unlisted/"}, nullptr, 1), 0);
    EXPECT_TRUE(fs::exists(dir / "src2/d/unlisted"));
}

// ---- Updates -------------------------------------------------------------------

// Installs GAME.001 as %InstallDir%\Game\game.exe and DATA.002 as
// %InstallDir%\Game\data.bin (a path's first element reads as the install
// directory); ghost.dll names file number 3, which no stored file carries.
CeSetup GameSetup() {
    CeSetup s;
    s.strings = {{1, "%CE1%"}, {2, "Game"}};
    s.directories = {{1, {1, 2}}};
    s.copyFiles = {{1, 1, "game.exe"}, {2, 1, "data.bin"}, {3, 1, "ghost.dll"}};
    return s;
}

std::vector<StoredFile> GameFiles() {
    std::vector<StoredFile> files(2);
    files[0] = {"GAME.001", Pattern(100, 11), 0x4A21, 0x6000, 0x21};
    files[1].name = "DATA.002";
    files[1].data = Pattern(50000, 12);
    return files;
}

std::map<std::string, Bytes> Contents(const std::vector<StoredFile>& files) {
    std::map<std::string, Bytes> m = {{"SETUP.000", BuildSetupFile(GameSetup())}};
    for (const auto& f : files) m[f.name] = f.data;
    return m;
}

TEST_F(WriterUpdate, ReplacesMatchedEntryAndKeepsTheRest) {
    auto files = GameFiles();
    CabOptions shared;  // files share blocks, as other writers lay them out
    shared.blockSize = 30000;
    WriteFile(dir / "g.cab", BuildCeCabinet(GameSetup(), files, shared));
    files[0].data = Pattern(40000, 13);
    WriteTree(dir / "src", {{"game.exe", files[0].data}});

    // The key matches ignoring case; the source is sourcePath + list name.
    ASSERT_EQ(Pack(&m, dir / "g.cab", dir / "src", {"game.exe"}, "%installdir%\\GAME\\"), 0);
    Decoded d = DecodeFile(dir / "g.cab");
    ASSERT_EQ(d.files.size(), 3u);
    // Names, dates and attributes kept; our layout now: each folder's data
    // cut into 32 KiB blocks, GAME.001 sharing the setup file's first block.
    uint32_t setupSize = d.files[0].cbFile;
    std::string setup = std::to_string(setupSize);
    EXPECT_EQ(Layout(d), " 32768," + std::to_string(setupSize + 40000 - 32768) + " / 32768,17232 | SETUP.000=" +
                             setup + "@0+0 GAME.001=40000@0+" + setup + " DATA.002=50000@1+0");
    EXPECT_EQ(d.files[1].attribs, 0x21);
    EXPECT_EQ(d.files[1].date, 0x4A21);
    EXPECT_EQ(d.files[1].time, 0x6000);
    ExpectPeersExtract(dir / "g.cab", Contents(files));
    EXPECT_EQ(DirNames(dir.path), (Names{"g.cab", "src"}));
    EXPECT_TRUE(fs::exists(dir / "src/game.exe"));

    // With move the replacement goes once the cabinet is in place.
    files[1].data = Pattern(3, 14);
    WriteFile(dir / "src/data.bin", files[1].data);
    ASSERT_EQ(Pack(&m, dir / "g.cab", dir / "src", {"%InstallDir%\\Game\\data.bin"}, nullptr, 1), 15)
        << "the source path is sourcePath + the list name";
    ASSERT_EQ(Pack(&m, dir / "g.cab", dir / "src", {"data.bin"}, "%InstallDir%\\Game\\", 1), 0);
    EXPECT_FALSE(fs::exists(dir / "src/data.bin"));
    ExpectPeersExtract(dir / "g.cab", Contents(files));
}

TEST_F(WriterUpdate, RefusalsLeaveCabinetAndSourcesUntouched) {
    Bytes cab = BuildCeCabinet(GameSetup(), GameFiles());
    WriteFile(dir / "g.cab", cab);
    WriteTree(dir / "src", {{"game.exe", Pattern(5, 1)}, {"ghost.dll", Pattern(5, 2)}, {"other", Pattern(5, 3)}});
    // First name matches, second does not; with ExpandCE off a macro expanded
    // by hand matches nothing; a copy-file no stored file carries cannot be replaced.
    EXPECT_EQ(Pack(&m, dir / "g.cab", dir / "src", {"game.exe", "other"}, "%InstallDir%\\Game\\", 1), 24);
    EXPECT_EQ(Pack(&m, dir / "g.cab", dir / "src", {"game.exe"}, "\\Program Files\\Game\\", 1), 24);
    EXPECT_EQ(Pack(&m, dir / "g.cab", dir / "src", {"ghost.dll"}, "%InstallDir%\\Game\\", 1), 24);
    // A match key over 259 characters.
    std::string longSub = "%CE1%\\" + std::string(250, 'x') + "\\";
    EXPECT_EQ(Pack(&m, dir / "g.cab", dir / "src", {"game.exe"}, longSub.c_str(), 1), 24);
    // A matched source that is not there.
    EXPECT_EQ(Pack(&m, dir / "g.cab", dir / "src", {"data.bin"}, "%InstallDir%\\Game\\", 1), 15);
    EXPECT_EQ(ReadFile(dir / "g.cab"), cab);
    EXPECT_EQ(DirNames(dir / "src"), (Names{"game.exe", "ghost.dll", "other"}));
    EXPECT_EQ(DirNames(dir.path), (Names{"g.cab", "src"}));
}

TEST_F(WriterUpdate, DirectoryOnlyListRewritesOurOwnCabinetUnchanged) {
    WriteTree(dir / "src", {{"a/one", Pattern(100, 1)}, {"a/two", Pattern(70000, 2)}, {"zero", {}},
                            {"three", Pattern(32769, 3)}});
    ASSERT_EQ(Pack(&m, dir / "o.cab", dir / "src", {"a/one", "a/two", "zero", "three"}), 0);
    Bytes before = ReadFile(dir / "o.cab");
    ASSERT_EQ(Pack(&m, dir / "o.cab", dir / "src", {"a/"}), 0);
    EXPECT_EQ(ReadFile(dir / "o.cab"), before);
}

// Stored and compressed (MSZIP) alike: an update decodes the kept entries
// and writes them as the cabinet held them.
TEST_F(WriterUpdate, GcabMadeCeCabinetUpdatedStillExtracts) {
    if (!HaveTool("gcab")) GTEST_SKIP() << "gcab is not installed";
    for (const std::string gcab : {"gcab -c ", "gcab -c -z "}) {
        SCOPED_TRACE(gcab);
        CeSetup setup = GameSetup();
        setup.copyFiles = {{1, 1, "game.exe"}, {2, 1, "data.bin"}, {3, 1, "empty.txt"}};
        std::map<std::string, Bytes> contents = {{"SETUP.000", BuildSetupFile(setup)},
                                                 {"GAME.001", Pattern(70000, 1)},
                                                 {"DATA.002", Pattern(1234, 2)},
                                                 {"EMPTY.003", {}}};
        WriteTree(dir / "in", contents);
        CommandResult g = fixture::Run("cd " + Quote(dir / "in") + " && " + gcab + Quote(dir / "ce.cab") +
                                       " SETUP.000 GAME.001 DATA.002 EMPTY.003");
        ASSERT_EQ(g.status, 0) << g.out;
        contents["DATA.002"] = Pattern(32768, 3);
        WriteTree(dir / "src", {{"data.bin", contents["DATA.002"]}});
        ASSERT_EQ(Pack(&m, dir / "ce.cab", dir / "src", {"data.bin"}, "%InstallDir%\\Game\\"), 0);
        EXPECT_EQ(DecodeFile(dir / "ce.cab", gcab == "gcab -c " ? 0 : 1).files.size(), 4u);
        ExpectPeersExtract(dir / "ce.cab", contents);
        std::filesystem::remove(dir / "ce.cab");
    }
}

// ---- Interoperability ------------------------------------------------------------

// Files in list order; "/" separates directories, stored as "\".
using FileList = std::vector<std::pair<std::string, Bytes>>;

FileList Sized(const std::vector<std::pair<std::string, size_t>>& sizes) {
    FileList files;
    uint32_t seed = 1;
    for (const auto& [name, size] : sizes) files.push_back({name, Pattern(size, seed++)});
    return files;
}

// Small files of 0 to 499 bytes in `directories` directories.
FileList Tree(int directories, int perDirectory) {
    FileList files;
    for (int d = 0; d < directories; ++d)
        for (int f = 0; f < perDirectory; ++f) {
            int i = d * perDirectory + f;
            files.push_back({"d" + std::to_string(d) + "/f" + std::to_string(f), Pattern(i * 37 % 500, i)});
        }
    return files;
}

// Our own reader extracts exactly `expected` as well.
void ExpectModuleExtracts(Module& m, const std::string& cab, const std::map<std::string, Bytes>& expected) {
    ScratchDir out;
    for (const auto& [name, rc] : ExtractAll(m, cab, out.path)) ASSERT_EQ(rc, 0) << name;
    EXPECT_EQ(FirstDifference(FilesBelow(out.path), Separated(expected, '\\', '/')), "");
}

using WriterInterop = WriterTest;

// Text with long runs of zeros between its lines.
Bytes Compressible(size_t size, uint32_t seed) {
    Bytes out;
    for (uint32_t line = seed; out.size() < size; ++line) {
        std::string text = "line " + std::to_string(line * 7919 % 1000) + " of the installer's readme\r\n";
        out.insert(out.end(), text.begin(), text.end());
        if (line % 50 == 0) out.insert(out.end(), 70000, 0);
    }
    out.resize(size);
    return out;
}

TEST_F(WriterInterop, NewCabinetsAreReadByEveryPeer) {
    if (!HavePeers()) GTEST_SKIP() << "cabextract, gcab, 7zz or bsdtar is not installed";
    const FileList compressible = {{"zeros", Bytes(300000, 0)}, {"text", Compressible(200000, 1)},
                                   {"b32768", Compressible(32768, 2)}, {"tail", Compressible(40000, 3)}};
    struct Case {
        std::string what;
        FileList files;
        bool shrinks = false;  // MSZIP takes it to under a twentieth
    };
    const Case cases[] = {
        {"several files per folder", Sized({{"a", 1}, {"b", 100}, {"c", 5000}, {"d", 20000}, {"e", 7}, {"f", 3000},
                                            {"g", 9000}, {"h", 70000}, {"i", 12}})},
        {"zero-byte files first, between and last", Sized({{"z0", 0}, {"x", 10}, {"z1", 0}, {"y", 40000}, {"z2", 0}})},
        {"zero-byte files only", Sized({{"e1", 0}, {"e2", 0}})},
        // 1 + 32767 fill one block exactly; 30000 + 32769 share a folder and
        // the second file crosses its block boundary.
        {"files of 32767, 32768 and 32769 bytes",
         Sized({{"one", 1}, {"b32767", 32767}, {"b32768", 32768}, {"b32769", 32769}, {"t30000", 30000},
                {"u32769", 32769}, {"v32767", 32767}})},
        {"names with spaces", Sized({{"My Documents/read me.txt", 300}, {"My Documents/sub dir/a b c.dat", 33000},
                                     {" lead and trail ", 5}})},
        {"long runs of zeros and text, several folders", compressible, true},
        {"a 20,000-file tree", Tree(200, 100)},
    };
    int n = 0;
    for (uint16_t type : {0, 1}) {
        Compress(type == 1);
        for (const auto& [what, files, shrinks] : cases) {
            SCOPED_TRACE(what + (type ? ", MSZIP" : ", stored"));
            if (type == 1 && files.size() > 1000) continue;  // the folder rule is the same; nothing new to read
            ScratchDir scratch;
            std::string src = scratch / ("src" + std::to_string(n)), cab = scratch / ("new" + std::to_string(n++) + ".cab");
            std::map<std::string, Bytes> expected = Separated(files, '/', '\\');
            WriteTree(src, expected);
            Names names;
            uint64_t total = 0;
            for (const auto& f : files) {
                names.push_back(f.first);
                total += f.second.size();
            }
            ASSERT_EQ(Pack(&m, cab, src, names), 0);
            Decoded d = DecodeFile(cab, type);
            EXPECT_EQ(d.files.size(), files.size());
            // Random data stays within the stored form's size; text and zeros shrink.
            if (type == 1 && shrinks) {
                EXPECT_LT(d.cbCabinet, total / 20);
            }
            ExpectPeersExtract(cab, expected);
            ExpectModuleExtracts(m, cab, expected);
        }
    }
}

TEST_F(WriterInterop, UpdatedCabinetsAreReadByEveryPeer) {
    if (!HavePeers()) GTEST_SKIP() << "cabextract, gcab, 7zz or bsdtar is not installed";
    // Old layouts of other writers: shared blocks of 30000 bytes; reserve
    // areas with header-counted offsets, one file per folder.
    CabOptions shared, reserved;
    shared.blockSize = 30000;
    reserved.reserve = true;
    reserved.cbCFHeader = 4;
    reserved.cbCFFolder = 2;
    reserved.cbCFData = 8;
    reserved.blockPerFile = true;
    reserved.headerCountedOffsets = true;
    reserved.filesPerFolder = 1;
    // MSZIP, and folders of both methods (SETUP.000, GAME.001 of 100 bytes,
    // DATA.002 of 50000).
    CabOptions zipShared = shared, zipReserved = reserved, mostlyZip, mostlyStored;
    zipShared.mszip = zipReserved.mszip = true;
    mostlyZip.filesPerFolder = mostlyStored.filesPerFolder = 1;
    mostlyZip.mszipFolders = {false, false, true};
    mostlyStored.mszipFolders = {true, true, false};
    struct Case {
        std::string what;
        CabOptions old;
        std::string installed;  // file name in %InstallDir%\Game
        size_t size;            // of its replacement
        uint16_t typeCompress;  // of the updated cabinet
    };
    const Case cases[] = {
        {"shared blocks, replaced by 32769 bytes", shared, "game.exe", 32769, 0},
        {"reserves and header-counted offsets, replaced by 0 bytes", reserved, "data.bin", 0, 0},
        {"shared blocks, replaced by 32767 bytes", shared, "data.bin", 32767, 0},
        {"MSZIP, shared blocks, replaced by 32768 bytes", zipShared, "game.exe", 32768, 1},
        {"MSZIP with reserves, replaced by 0 bytes", zipReserved, "data.bin", 0, 1},
        {"MSZIP holds most bytes, replaced by 70000 bytes", mostlyZip, "game.exe", 70000, 1},
        {"stored holds most bytes", mostlyStored, "game.exe", 5, 0},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string cab = dir / ("up" + std::to_string(n) + ".cab"), src = dir / ("rep" + std::to_string(n++));
        auto files = GameFiles();
        WriteFile(cab, BuildCeCabinet(GameSetup(), files, c.old));
        files[c.installed == "game.exe" ? 0 : 1].data = Pattern(c.size, 21);
        WriteTree(src, {{c.installed, Pattern(c.size, 21)}});
        ASSERT_EQ(Pack(&m, cab, src, {c.installed}, "%InstallDir%\\Game\\"), 0);
        DecodeFile(cab, c.typeCompress);
        ExpectPeersExtract(cab, Contents(files));
        ExpectModuleExtracts(m, cab, Contents(files));
    }
}

// Real CE cabinets, each with its first installed file replaced: the other
// entries come out as the peer read them before.
TEST_F(WriterInterop, UpdatedRealCeCabinetsAreReadByEveryPeer) {
    if (!HavePeers()) GTEST_SKIP() << "cabextract, gcab, 7zz or bsdtar is not installed";
    if (CorpusDir().empty()) GTEST_SKIP() << "the corpus folder is absent";
    WriteSettings(dir.path, false, true, false, false, false);
    m.SetSettingsDir(dir.path);
    for (const char* name : {"fzm__Eliminator.ARM.CAB", "sdk__FakeGPS.CAB", "sdk__Sample.PPC_SH3.CAB"}) {
        SCOPED_TRACE(name);
        std::string original = CorpusDir() + "/real-ce/" + name, cab = dir / name;
        if (!FileExists(original)) GTEST_SKIP() << original << " is absent";
        WriteFile(cab, ReadFile(original));
        TempDir before, after;
        ASSERT_EQ(fixture::Run("cabextract -q -d " + Quote(before.path) + " " + Quote(cab)).status, 0);
        // Installed names unexpanded (%CE1%\...), as the update matches them.
        std::vector<Entry> entries = List(m, cab);
        ASSERT_FALSE(entries.empty());
        std::string installed = entries[0].name;
        size_t cut = installed.rfind('\\') + 1;
        Bytes replacement = Pattern(45000, 31);
        WriteTree(dir / "rep", {{installed.substr(cut), replacement}});
        ASSERT_EQ(Pack(&m, cab, dir / "rep", {installed.substr(cut)}, installed.substr(0, cut).c_str()), 0);
        DecodeFile(cab);

        // Exactly one stored file changed, to the replacement.
        ASSERT_EQ(fixture::Run("cabextract -q -d " + Quote(after.path) + " " + Quote(cab)).status, 0);
        std::map<std::string, Bytes> expected = FilesBelow(before.path), got = FilesBelow(after.path);
        int changed = 0;
        for (auto& [stored, bytes] : expected) {
            if (got.count(stored) && got[stored] != bytes) {
                EXPECT_EQ(got[stored], replacement) << stored;
                bytes = replacement;
                ++changed;
            }
        }
        EXPECT_EQ(changed, 1);
        ExpectPeersExtract(cab, expected);
    }
}

// Each one with its first installed file replaced by the same bytes: still
// MSZIP, within 3 % of its size, and every entry as it was.
TEST_F(WriterInterop, UpdatedRealMszipCabinetsStayMszipAndTheirSize) {
    if (!HavePeers()) GTEST_SKIP() << "cabextract, gcab, 7zz or bsdtar is not installed";
    if (CorpusDir().empty()) GTEST_SKIP() << "the corpus folder is absent";
    WriteSettings(dir.path, false, true, false, false, false);
    m.SetSettingsDir(dir.path);
    int updated = 0;
    for (const std::string& original : RealMszipCabinets()) {
        SCOPED_TRACE(original);
        std::string cab = dir / "z.cab";
        Bytes before = ReadFile(original);
        WriteFile(cab, before);
        std::vector<Entry> entries = List(m, cab);
        if (entries.empty() || entries[0].name[0] != '%') continue;  // not a CE cabinet: nothing installed
        ScratchDir installed, peer;
        for (const auto& [name, rc] : ExtractAll(m, cab, installed.path)) ASSERT_EQ(rc, 0) << name;
        ASSERT_EQ(fixture::Run("cabextract -q -d " + Quote(peer.path) + " " + Quote(cab)).status, 0);
        std::string first = entries[0].name;
        std::replace(first.begin(), first.end(), '\\', '/');
        size_t cut = first.rfind('/') + 1;
        std::string sub = entries[0].name.substr(0, cut);
        ASSERT_EQ(Pack(&m, cab, installed / first.substr(0, cut - 1), {first.substr(cut)}, sub.c_str()), 0);
        ++updated;
        Bytes after = ReadFile(cab);
        DecodeFile(cab, 1);
        EXPECT_LT(std::abs(static_cast<double>(after.size()) - before.size()), before.size() * 0.03)
            << after.size() << " bytes, was " << before.size();
        ExpectPeersExtract(cab, FilesBelow(peer.path));
    }
    EXPECT_GE(updated, 3);
}

// A cabinet we wrote with one data byte flipped in the block that a.txt
// shares with the start of b.bin; c.dat, in folder 1, is intact.
std::string FlippedCabinet(Module& m, const TempDir& dir) {
    WriteTree(dir / "src", Separated(Sized({{"a.txt", 100}, {"b.bin", 40000}, {"c.dat", 10}}), '/', '\\'));
    EXPECT_EQ(Pack(&m, dir / "f.cab", dir / "src", {"a.txt", "b.bin", "c.dat"}), 0);
    Bytes cab = ReadFile(dir / "f.cab");
    cab[Decode(cab).coffCabStart.at(0) + 8 + 5000] ^= 0x01;
    WriteFile(dir / "f.cab", cab);
    return dir / "f.cab";
}

// The module fails the entries of the damaged block, leaving no damaged
// file behind, as every peer refuses the cabinet.
TEST_F(WriterInterop, ModuleAndEveryPeerRefuseAFlippedDataByte) {
    std::string cab = FlippedCabinet(m, dir);
    for (int32_t operation : {MIRAD_TEST, MIRAD_EXTRACT}) {
        TempDir out;
        auto results = ExtractAll(m, cab, out.path, operation);
        std::map<std::string, int32_t> byName(results.begin(), results.end());
        EXPECT_EQ(byName, (std::map<std::string, int32_t>{{"a.txt", 12}, {"b.bin", 12}, {"c.dat", 0}}));
        EXPECT_FALSE(FileExists(out / "a.txt") || FileExists(out / "b.bin"));
    }
    if (!HavePeers()) GTEST_SKIP() << "cabextract, gcab, 7zz or bsdtar is not installed";
    EXPECT_NE(fixture::Run("cabextract -q -t " + Quote(cab)).status, 0) << "cabextract -t";
    for (const Peer& peer : kPeers) {
        TempDir out;
        EXPECT_NE(fixture::Run(peer.extract(cab, out.path)).status, 0) << peer.tool;
    }
}

// The shipped sample is rewritten by our writer (tests/tools/make_sample.cpp).
TEST(WriterSample, ShippedSampleIsReadByEveryPeer) {
    std::string sample = SourceDir() + "/samples/sample.cab";
    if (!FileExists(sample)) GTEST_SKIP() << "samples/sample.cab is not there";
    if (!HavePeers()) GTEST_SKIP() << "cabextract, gcab, 7zz or bsdtar is not installed";
    DecodeFile(sample);
    TempDir reference;
    ASSERT_EQ(fixture::Run("cabextract -q -d " + Quote(reference.path) + " " + Quote(sample)).status, 0);
    std::map<std::string, Bytes> expected = FilesBelow(reference.path);
    EXPECT_EQ(expected.size(), 7u);
    ExpectPeersExtract(sample, expected);
}

// ---- What pack refuses -------------------------------------------------------------------

TEST(WriterRefusals, FilesACabinetCannotHoldAreNamedAndNothingIsWrittenOrRemoved) {
    const uint64_t kGiB = 1ull << 30;
    struct Case {
        std::string what;
        std::vector<std::pair<std::string, uint64_t>> files;  // below d/, sparse
        std::string options;
        std::string named;  // the file the refusal names
    };
    const Case cases[] = {
        {"a lone 5 GiB file", {{"huge.bin", 5 * kGiB}}, "", "huge.bin"},
        {"4 GiB beside small files, moved", {{"a.txt", 3}, {"huge.bin", 4 * kGiB}, {"s.txt", 2}}, "--move", "huge.bin"},
        {"one byte under 4 GiB: the cabinet would pass it", {{"big.bin", 4 * kGiB - 1}, {"s.txt", 2}}, "", "big.bin"},
        {"two files past 4 GiB together, moved", {{"b1", 2147000000}, {"b2", 2147000000}}, "--move", "b2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        fs::create_directories(dir / "d");
        for (const auto& [name, size] : c.files) {
            WriteFile(dir / ("d/" + name), {});
            fs::resize_file(dir / ("d/" + name), size);
        }
        CommandResult r = Mirad(dir, "--log log.txt pack o.cab " + c.options + " d");
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("mirad: cannot pack 'd/" + c.named + "' into 'o.cab': "), std::string::npos) << r.out;
        EXPECT_NE(ReadText(dir / "log.txt").find("Cannot pack d/" + c.named + ":"), std::string::npos)
            << ReadText(dir / "log.txt");
        EXPECT_FALSE(FileExists(dir / "o.cab"));
        EXPECT_EQ(DirNames(dir / "d").size(), c.files.size());
    }
}

// ---- Format limits -------------------------------------------------------------

TEST(WriterLimits, PlanRefusesWhatTheFormatCannotHold) {
    using mirad::LayoutFile;
    const uint32_t full = 65535u * 32768u;  // 65535 blocks of 32768 bytes fill one folder
    std::vector<LayoutFile> many(65536, LayoutFile{1, 1});
    struct Case {
        const char* what;
        std::vector<LayoutFile> files;
        int rc;
        size_t failedAt = 0;  // the file a refusal names
    };
    const Case cases[] = {
        {"65536 files", many, 24, 65535},
        {"65535 files", {many.begin() + 1, many.end()}, 0},
        {"65535 full blocks", {{full, 1}}, 0},
        {"one byte more needs block 65536", {{full + 1, 1}}, 24, 0},
        {"a small file and 65534 blocks share a folder", {{100, 1}, {full - 32768u, 1}}, 0},
        {"a file after the full folder opens a new one", {{100, 1}, {full - 32768u, 1}, {1, 1}}, 0},
        {"a small file pushes the folder over", {{100, 1}, {full, 1}}, 24, 1},
        {"just under 4 GiB", {{2000000000u, 1}, {2000000000u, 1}}, 0},
        {"4 GiB or more", {{2000000000u, 1}, {2000000000u, 1}, {294967000u, 1}}, 24, 2},
    };
    for (const Case& c : cases) {
        mirad::CabinetPlan plan;
        size_t failedAt = 99;
        EXPECT_EQ(mirad::ResultCode(mirad::PlanLayout(c.files.data(), c.files.size(), &plan, &failedAt)), c.rc)
            << c.what;
        if (c.rc != 0) {
            EXPECT_EQ(failedAt, c.failedAt) << c.what;
        }
        if (c.files.size() == 1 && c.rc == 0) {
            EXPECT_EQ(plan.folders.at(0).cCFData, 65535u) << c.what;
        }
    }
}

// ---- Faults ------------------------------------------------------------------------

// A fault to inject and the result it must give.
struct Fault {
    std::string what;
    int rc = 0;
    uint64_t writeLimit = UINT64_MAX;  // writes stop after this many bytes
    int readCalls = -1;                // reads of the source fail after this many calls...
    bool keptData = false;             // ...or of the old cabinet, once the temporary file exists
    int change = 0;                    // the source just before it is opened: 1 removed, 2 cut, 3 grown
};

// Faults that updates and new cabinets both meet.
std::vector<Fault> Faults(bool update) {
    std::vector<Fault> all;
    for (uint64_t limit : {0ull, 35ull, 200ull, 40000ull, 300000ull})
        all.push_back({"write stops at " + std::to_string(limit), 16, limit});
    for (int calls : {0, 1, 3}) {
        all.push_back({"source read fails after " + std::to_string(calls), 15, UINT64_MAX, calls});
        if (update) all.push_back({"kept data read fails after " + std::to_string(calls), 12, UINT64_MAX, calls, true});
    }
    for (int change : {1, 2, 3})
        all.push_back({"source changed, way " + std::to_string(change), 15, UINT64_MAX, -1, false, change});
    return all;
}

// What the log says when an update finds another one holding the cabinet.
const char kWaitingForLock[] = "Cabinet is locked by another update, waiting";

// The I/O seam double over the default one.
struct FaultIo {
    Fault fault;
    std::string source, cabinet;  // the paths `fault` applies to
    std::string failing;          // reads of this path fail after fault.readCalls calls
    uint64_t written = 0;
    int refuseCreateNew = 0;  // exclusive creates that fail as if the name were taken
    // Once `pauseAfter` bytes are written, the write says so on the `reached`
    // pipe and waits until the test writes to (or closes) the `release` one.
    uint64_t pauseAfter = UINT64_MAX;
    int reached = -1, release = -1;
    std::function<void()> onBusy;  // called when a lock is found held by another
    std::vector<std::string> created;
    std::map<mirad::IoFile*, std::string> paths;
    void Arm(const Fault& f, const std::string& sourcePath, const std::string& cabinetPath = "") {
        fault = f;
        source = sourcePath;
        cabinet = cabinetPath;
        if (f.readCalls >= 0 && !f.keptData) failing = source;
    }
};
FaultIo* g_fault = nullptr;

mirad::IoFile* FaultOpen(void* context, mirad::IoDir* at, const char* name, mirad::IoMode mode) {
    FaultIo& io = *g_fault;
    const std::string path = mirad::DefaultIoPath(at, name);
    if (path == io.source && io.fault.change == 1) fs::remove(path);
    if (path == io.source && io.fault.change > 1)
        fs::resize_file(path, io.fault.change == 2 ? 9 : fs::file_size(path) + 1);
    if (mode == mirad::IoMode::CreateNew) {
        io.created.push_back(path);
        if (io.fault.keptData) io.failing = io.cabinet;  // the old cabinet was read before
        if (io.refuseCreateNew-- > 0) return nullptr;
    }
    mirad::IoFile* f = mirad::DefaultIo().open(context, at, name, mode);
    if (f) io.paths[f] = path;
    return f;
}
size_t FaultRead(void* context, mirad::IoFile* f, void* b, size_t n) {
    if (!g_fault->failing.empty() && g_fault->paths[f] == g_fault->failing && g_fault->fault.readCalls-- <= 0)
        return 0;
    return mirad::DefaultIo().read(context, f, b, n);
}
size_t FaultWrite(void* context, mirad::IoFile* f, const void* b, size_t n) {
    if (g_fault->written >= g_fault->pauseAfter) {
        g_fault->pauseAfter = UINT64_MAX;
        char c = 0;
        if (write(g_fault->reached, &c, 1) != 1 || read(g_fault->release, &c, 1) < 0) _exit(99);
    }
    uint64_t room = g_fault->fault.writeLimit - std::min(g_fault->fault.writeLimit, g_fault->written);
    size_t done = mirad::DefaultIo().write(context, f, b, static_cast<size_t>(std::min<uint64_t>(n, room)));
    g_fault->written += done;
    return done;
}

mirad::IoLock* FaultLock(void* context, const char* path, mirad::IoIdentity* identity, mirad::IoLockStatus* status) {
    mirad::IoLock* lock = mirad::DefaultIo().lock(context, path, identity, status);
    if (*status == mirad::IoLockStatus::Busy && g_fault->onBusy) g_fault->onBusy();
    return lock;
}

struct FaultScope {
    FaultIo io;
    mirad::IoSystem system = mirad::DefaultIo();
    FaultScope() {
        system.open = FaultOpen;
        system.read = FaultRead;
        system.write = FaultWrite;
        system.lock = FaultLock;
        g_fault = &io;
        mirad::SetIo(&system);
    }
    ~FaultScope() {
        mirad::SetIo(nullptr);
        g_fault = nullptr;
    }
};

// A writer in a child process, stopped inside a write once `bytes` are
// written: Start returns when it stands there, so it can be killed mid-way
// or let go.
struct PausedWriter {
    int reached[2] = {-1, -1}, release[2] = {-1, -1};
    pid_t pid = -1;
    template <typename Work>
    bool Start(uint64_t bytes, Work work) {
        if (pipe(reached) != 0 || pipe(release) != 0) return false;
        pid = fork();
        if (pid == 0) {
            // Only the test's ends may keep the pipes open, so each side sees
            // the other go.
            close(reached[0]);
            close(release[1]);
            FaultScope paused;
            paused.io.pauseAfter = bytes;
            paused.io.reached = reached[1];
            paused.io.release = release[0];
            _exit(work());
        }
        close(reached[1]);
        close(release[0]);
        reached[1] = release[0] = -1;
        char c;
        return pid > 0 && read(reached[0], &c, 1) == 1;
    }
    void Release() {
        if (release[1] >= 0) close(release[1]);
        release[1] = -1;
    }
    // The child's wait status.
    int Wait() {
        Release();
        int status = 0;
        waitpid(pid, &status, 0);
        return status;
    }
    ~PausedWriter() {
        Release();
        for (int fd : {reached[0], reached[1], release[0]})
            if (fd >= 0) close(fd);
    }
};

// A CE cabinet to update and its sources; the update replaces GAME.001 and
// keeps DATA.002, whose 300000 bytes come out of the old cabinet.
struct UpdateScene {
    TempDir dir;
    Bytes cab;
    explicit UpdateScene(bool mszip = false) {
        auto files = GameFiles();
        files[1].data = Pattern(300000, 5);
        CabOptions options;
        options.mszip = mszip;
        cab = BuildCeCabinet(GameSetup(), files, options);
        WriteFile(dir / "g.cab", cab);
        WriteTree(dir / "src", {{"game.exe", Pattern(100000, 6)}, {"data.bin", Pattern(10, 7)}});
    }
    int Update(int flags = 1) {
        return Pack(nullptr, dir / "g.cab", dir / "src", {"game.exe"}, "%InstallDir%\\Game\\", flags);
    }
    void ExpectUntouched(bool sourceKept = true) {
        EXPECT_EQ(ReadFile(dir / "g.cab"), cab);
        EXPECT_EQ(DirNames(dir.path), (Names{"g.cab", "src"})) << "a temporary file remains";
        EXPECT_EQ(DirNames(dir / "src"), (sourceKept ? Names{"data.bin", "game.exe"} : Names{"data.bin"}));
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
    EXPECT_EQ(DirNames(s.dir.path), (Names{"g.cab", "src"}));
    EXPECT_NE(ReadFile(s.dir / "g.cab"), s.cab);
    EXPECT_TRUE(fs::exists(s.dir / "src/game.exe"));
}

TEST(WriterFaults, FailedUpdatesLeaveCabinetSourcesAndNoTemporaryFile) {
    for (bool mszip : {false, true}) {
        for (const Fault& f : Faults(true)) {
            SCOPED_TRACE(f.what + (mszip ? ", MSZIP" : ""));
            UpdateScene s(mszip);
            FaultScope fault;
            fault.io.Arm(f, s.dir / "src/game.exe", s.dir / "g.cab");
            EXPECT_EQ(s.Update(), f.rc);
            s.ExpectUntouched(f.change != 1);
        }
    }
}

TEST(WriterFaults, FailedNewCabinetIsRemovedAndSourcesKept) {
    for (int32_t compression : {mirad::kCompressionNone, mirad::kCompressionMszip}) {
        mirad::Settings settings = *mirad::PublishedSettings();
        settings.Compression = compression;
        mirad::PublishSettings(settings);
        for (const Fault& f : Faults(false)) {
            SCOPED_TRACE(f.what + (compression ? ", MSZIP" : ""));
            TempDir dir;
            WriteTree(dir / "src", {{"a", Pattern(1000, 1)}, {"b", Pattern(350000, 2)}});
            FaultScope fault;
            fault.io.Arm(f, dir / "src/b");
            EXPECT_EQ(Pack(nullptr, dir / "n.cab", dir / "src", {"a", "b"}, nullptr, 1), f.rc);
            EXPECT_EQ(DirNames(dir.path), Names{"src"});
            EXPECT_EQ(DirNames(dir / "src"), f.change == 1 ? Names{"a"} : (Names{"a", "b"}));
        }
    }
    mirad::ResetSettings();
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

TEST(WriterFaults, KilledUpdateLeavesCabinetAndSources) {
    TempDir dir;
    std::vector<StoredFile> files(1);
    files[0].name = "GAME.001";
    files[0].data = Pattern(8 << 20, 1);
    Bytes cab = BuildCeCabinet(GameSetup(), files);
    WriteFile(dir / "g.cab", cab);
    WriteTree(dir / "src", {{"game.exe", Pattern(8 << 20, 2)}});
    // Killed once the temporary file holds some data.
    PausedWriter writer;
    ASSERT_TRUE(writer.Start(100000, [&] {
        return Pack(nullptr, dir / "g.cab", dir / "src", {"game.exe"}, "%InstallDir%\\Game\\", 1);
    })) << "the update never began writing";
    kill(writer.pid, SIGKILL);
    ASSERT_TRUE(WIFSIGNALED(writer.Wait()));
    EXPECT_EQ(ReadFile(dir / "g.cab"), cab);
    EXPECT_TRUE(fs::exists(dir / "src/game.exe"));
    // The next update clears what the killed one left, and nothing else.
    WriteFile(dir / ".other.cab.mirad-abcdef", {});
    EXPECT_EQ(Pack(nullptr, dir / "g.cab", dir / "src", {"game.exe"}, "%InstallDir%\\Game\\", 0), 0);
    EXPECT_EQ(DirNames(dir.path), (Names{".other.cab.mirad-abcdef", "g.cab", "src"}));
}

TEST(WriterLimits, RefusedBeforeAnythingIsCreated) {
    TempDir dir;
    fs::create_directories(dir / "src");
    // Sparse files: sizes count, nothing is read before the refusal.
    for (auto [name, size] : {std::pair<const char*, uint64_t>{"huge", 65535ull * 32768 + 1},
                              {"big1", 1500000000}, {"big2", 1500000000}, {"big3", 1500000000},
                              {"4g", 1ull << 32}}) {
        WriteFile(dir / ("src/" + std::string(name)), {});
        fs::resize_file(dir / ("src/" + std::string(name)), size);
    }
    WriteFile(dir / "src/small", Pattern(5, 1));
    // Should a refusal be missed, the output fails fast instead of filling the disk.
    FaultScope fault;
    fault.io.fault.writeLimit = 1 << 20;
    EXPECT_EQ(Pack(nullptr, dir / "a.cab", dir / "src", {"small", "huge"}, nullptr, 1), 24);
    EXPECT_EQ(Pack(nullptr, dir / "a.cab", dir / "src", {"big1", "big2", "big3"}, nullptr, 1), 24);
    EXPECT_EQ(Pack(nullptr, dir / "a.cab", dir / "src", {"small", std::string(256, 'n')}, "Sub\\", 1), 24);
    EXPECT_EQ(Pack(nullptr, dir / "a.cab", dir / "src", {"small", "4g"}, nullptr, 1), 24);
    EXPECT_EQ(Pack(nullptr, dir / "a.cab", dir / "src", {"4g"}), 24);
    EXPECT_EQ(DirNames(dir.path), Names{"src"});
    EXPECT_EQ(DirNames(dir / "src"), (Names{"4g", "big1", "big2", "big3", "huge", "small"}));
}

// Whether a file's first bytes (its first block) are in the cabinet.
bool Contains(const Bytes& cabinet, const Bytes& file) {
    auto head = file.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(file.size(), 1000));
    return std::search(cabinet.begin(), cabinet.end(), file.begin(), head) != cabinet.end();
}

}  // namespace

// An update reaches the cabinet a link names and keeps what the cabinet was:
// its mode, the link itself; a read-only cabinet is refused untouched.
TEST(WriterSafety, UpdateFollowsLinksKeepsModeAndRefusesReadOnly) {
    struct Case {
        const char* what;
        mode_t mode;
        bool viaLink;
        int rc;
    } cases[] = {{"0600", 0600, false, 0}, {"0640 through a link", 0640, true, 0}, {"read-only 0444", 0444, false, 16}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UpdateScene s;
        ASSERT_EQ(chmod((s.dir / "g.cab").c_str(), c.mode), 0);
        std::string named = s.dir / "g.cab";
        if (c.viaLink) {
            named = s.dir / "link.cab";
            ASSERT_EQ(symlink("g.cab", named.c_str()), 0);
        }
        EXPECT_EQ(Pack(nullptr, named, s.dir / "src", {"game.exe"}, "%InstallDir%\\Game\\", 0), c.rc);
        struct stat st;
        ASSERT_EQ(lstat((s.dir / "g.cab").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.mode);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        if (c.viaLink) {
            EXPECT_TRUE(fs::is_symlink(named));
        }
        EXPECT_EQ(Contains(ReadFile(s.dir / "g.cab"), Pattern(100000, 6)), c.rc == 0);
        Names expected = {"g.cab", "src"};
        if (c.viaLink) expected.insert(expected.begin() + 1, "link.cab");
        EXPECT_EQ(DirNames(s.dir.path), expected) << "a temporary file remains";
    }
}

// Two updates of one cabinet at once: the second waits for the first's lock
// and reads its result, so both replacements are in the cabinet.
TEST(WriterSafety, ConcurrentUpdatesKeepBothReplacements) {
    UpdateScene s;
    s.cab = BuildCeCabinet(GameSetup(), {GameFiles()[0], {"DATA.002", Pattern(3 << 20, 5)}});
    WriteFile(s.dir / "g.cab", s.cab);
    // The first stops inside its first write, holding the lock, and goes on
    // once the second finds the lock taken (or, should the second not wait,
    // once it has finished).
    PausedWriter first;
    ASSERT_TRUE(first.Start(0, [&] {
        return Pack(nullptr, s.dir / "g.cab", s.dir / "src", {"game.exe"}, "%InstallDir%\\Game\\", 0);
    }));
    LogCapture log;
    FaultScope watch;
    watch.io.onBusy = [&] { first.Release(); };
    EXPECT_EQ(Pack(nullptr, s.dir / "g.cab", s.dir / "src", {"data.bin"}, "%InstallDir%\\Game\\", 0), 0);
    int status = first.Wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(log.Count(kWaitingForLock), 1) << "the second did not wait";
    Bytes now = ReadFile(s.dir / "g.cab");
    EXPECT_TRUE(Contains(now, Pattern(100000, 6))) << "the first update was lost";
    EXPECT_TRUE(Contains(now, Pattern(10, 7))) << "the second update was lost";
    EXPECT_EQ(DirNames(s.dir.path), (Names{"g.cab", "src"}));
}

// A pack killed mid-way leaves nothing under the cabinet's name.
TEST(WriterSafety, KilledPackLeavesNothingUnderTheName) {
    TempDir dir;
    WriteTree(dir / "src", {{"big", Pattern(8 << 20, 2)}});
    PausedWriter writer;
    ASSERT_TRUE(writer.Start(100000, [&] { return Pack(nullptr, dir / "n.cab", dir / "src", {"big"}, nullptr, 1); }));
    kill(writer.pid, SIGKILL);
    ASSERT_TRUE(WIFSIGNALED(writer.Wait()));
    EXPECT_FALSE(fs::exists(dir / "n.cab"));
    EXPECT_EQ(ReadFile(dir / "src/big"), Pattern(8 << 20, 2));
    // The name is free for the retry.
    EXPECT_EQ(Pack(nullptr, dir / "n.cab", dir / "src", {"big"}), 0);
}
