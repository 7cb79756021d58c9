// The cabinet container reader: refusals, tables, both offset rules, reserves,
// signed and empty cabinets, truncation, I/O faults, and gcab cabinets
// extracted through the exports against cabextract.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cabinet/block_source.h"
#include "cabinet/cabinet.h"
#include "fuzz/memory_io.h"
#include "support/alloc.h"
#include "support/bytes.h"
#include "support/paths.h"
#include "setup/setup.h"
#include "support/settings.h"
#include "interface/result.h"
#include "tests/fixture.h"
#include "tests/log_capture.h"

using fixture::Bytes;
using fixture::CabLayout;
using fixture::CabOptions;
using fixture::LogCapture;
using fixture::StoredFile;
using namespace mirad;

namespace {

using Lines = std::vector<std::string>;

// A cabinet and its setup file as the module reads them.
struct Opened {
    Cabinet cabinet;
    std::unique_ptr<CeSetup> setup;
    int Read(const char* path) {
        return ResultCode(ReadCeCabinet(IoHandle(IoOpen(path, IoMode::Read)), &cabinet, &setup));
    }
};

// A cabinet written to a temporary file and read.
struct Cab : Opened {
    fixture::TempDir dir;
    std::string path = dir / "test.cab";
    int result = -1;
    explicit Cab(const Bytes& bytes) {
        fixture::WriteFile(path, bytes);
        result = Read(path.c_str());
    }
    Bytes Extract(uint32_t i, int* code, const std::string& name = "out.bin") {
        std::string out = dir / name;
        *code = ResultCode(cabinet.CopyFile(i, out.c_str()));
        return fixture::ReadFile(out);
    }
    int Test(uint32_t i) { return ResultCode(cabinet.TestFile(i)); }
    int Copy(uint32_t i, const std::string& out) { return ResultCode(cabinet.CopyFile(i, out.c_str())); }
};

// Opens `name` from the installed memory file system.
std::unique_ptr<Opened> OpenFromMemory(const char* name, int* result) {
    auto opened = std::make_unique<Opened>();
    *result = opened->Read(name);
    return opened;
}

void Patch16(Bytes& b, size_t at, uint16_t v) { put_le16(&b[at], v); }
void Patch32(Bytes& b, size_t at, uint32_t v) { put_le32(&b[at], v); }
Bytes With16(Bytes b, size_t at, uint16_t v) { return Patch16(b, at, v), b; }
Bytes With32(Bytes b, size_t at, uint32_t v) { return Patch32(b, at, v), b; }

StoredFile File(const std::string& name, size_t size, uint32_t seed) {
    StoredFile f;
    f.name = name;
    f.data = fixture::Pattern(size, seed);
    return f;
}

// Empty, tiny, block-sized and multi-block files.
std::vector<StoredFile> MixedFiles() {
    return {File("a.txt", 700, 1), File("b.bin", 1500, 2), File("empty.dat", 0, 3), File("c.bin", 3000, 4),
            File("d.txt", 5, 5),   File("e.bin", 1000, 6), File("dir/f.bin", 2222, 7)};
}

void ExpectAllExtract(Cab& cab, const std::vector<StoredFile>& files) {
    ASSERT_EQ(cab.result, 0);
    ASSERT_EQ(cab.cabinet.header().cFiles, files.size());
    for (uint32_t i = 0; i < files.size(); ++i) {
        int code = -1;
        Bytes got = cab.Extract(i, &code);
        EXPECT_EQ(code, 0) << files[i].name;
        EXPECT_TRUE(got == files[i].data) << files[i].name << ": " << got.size() << " bytes";
        EXPECT_EQ(cab.Test(i), 0) << files[i].name;
    }
}

// Header reserve of 20 bytes whose bytes 4..7 repeat cbCabinet and 8..11 give
// the length of the signature appended after it.
Bytes SignedCabinet(const std::vector<StoredFile>& files, CabLayout* layout, uint16_t cbCFHeader = 20) {
    CabOptions o;
    o.reserve = true;
    o.cbCFHeader = cbCFHeader;
    o.trailer = fixture::Pattern(2040, 99);
    Bytes bytes = fixture::BuildCabinet(files, o, layout);
    if (cbCFHeader >= 12) {
        Patch32(bytes, 44, layout->cbCabinet);
        Patch32(bytes, 48, static_cast<uint32_t>(bytes.size() - layout->cbCabinet));
    }
    return bytes;
}

const Lines kOpened = {"reading MSCF folders section", "reading MSCF files section", "CAB file successfully read"};

// ---- Refusals ------------------------------------------------------------------------

TEST(ReaderHeader, EveryRefusalGivesItsCodeAndLogLine) {
    struct Case {
        std::string what;
        Bytes bytes;
        int code;
        Lines log;  // empty: not checked
    };
    const Lines notCab = {"Not CAB file or bad type"}, mismatch = {"Size mismatch"};
    const auto one = std::vector<StoredFile>{File("a", 10, 1)};
    const Bytes good = fixture::BuildCabinet(one);
    // Files that are no cabinet at all: whatever their length, an unknown
    // format, so the host may offer them to another reader.
    Bytes zip = {'P', 'K', 5, 6};  // an empty ZIP archive: its end record only
    zip.resize(22);
    Bytes installer = fixture::BytesOf("ISc(");
    installer.resize(512, 0);
    Patch32(installer, 8, 512);  // even a length that matches bytes 8 to 11
    std::vector<Case> cases = {{"empty file", {}, 14, notCab},
                               {"1 byte", {'M'}, 14, notCab},
                               {"35 bytes", fixture::Pattern(35, 3), 14, notCab},
                               {"5000 random bytes", fixture::Pattern(5000, 4), 14, notCab},
                               {"another installer's cabinet", installer, 14, notCab},
                               {"ZIP", zip, 14, notCab},
                               {"text", fixture::BytesOf(std::string(100, 'x')), 14, notCab},
                               {"MSCF and too short", fixture::BytesOf("MSCF plus text"), 12, mismatch},
                               {"one byte short", Bytes(good.begin(), good.end() - 1), 12, mismatch}};
    Bytes b = good;
    b.push_back(0);
    cases.push_back({"one byte long", b, 12, mismatch});
    const Bytes game = fixture::GameCabinet();
    cases.push_back({"CE cabinet cut by 100 bytes", Bytes(game.begin(), game.end() - 100), 12, mismatch});
    b = game;
    b.resize(game.size() + 4096, 0);
    cases.push_back({"CE cabinet 4096 bytes long", b, 12, mismatch});
    for (uint16_t flags : {1, 2, 3, 8, 0x8000}) {
        CabOptions o;
        o.extraFlags = flags;
        cases.push_back({"flags " + std::to_string(flags), fixture::BuildCabinet(one, o), 14, notCab});
    }
    CabOptions later;
    later.iCabinet = 1;
    cases.push_back({"iCabinet 1", fixture::BuildCabinet(one, later), 14, {}});
    b = good;
    b[3] = 'f';  // the signature compares case-sensitively
    cases.push_back({"MSCf", b, 14, {}});

    // Damage found in the tables is said in one line, with where it lies.
    auto damaged = [](const std::string& why) {
        return Lines{"reading MSCF folders section", "reading MSCF files section", "Damaged CAB file: " + why};
    };
    CabLayout layout;
    b = fixture::BuildCabinet({File("a", 5, 1), File("b", 5, 2)}, {}, &layout);
    cases.push_back({"iFolder beyond the folder table", With16(b, layout.fileRecordOffsets[1] + 8, 1), 12,
                     damaged("file in a folder that does not exist at offset " +
                             std::to_string(layout.fileRecordOffsets[1]))});
    cases.push_back({"coffFiles past the end", With32(good, 16, static_cast<uint32_t>(good.size() + 1)), 12,
                     damaged("file table beyond the cabinet at offset " + std::to_string(good.size() + 1))});
    cases.push_back({"files but no folders", With16(fixture::BuildCabinet({File("a", 50, 1)}), 26, 0), 12,
                     damaged("file in a folder that does not exist at offset 44")});

    // Signed cabinets: only the exact described trailer is accepted.
    const auto hundred = std::vector<StoredFile>{File("a", 100, 1)};
    const Bytes sig = SignedCabinet(hundred, &layout);
    cases.push_back({"reserve names another cbCabinet", With32(sig, 44, layout.cbCabinet + 1), 12, mismatch});
    cases.push_back({"reserve names another signature length", With32(sig, 48, 2039), 12, mismatch});
    cases.push_back({"flags other than 4", With16(sig, 30, 4 | 2), 12, mismatch});
    b = sig;
    b.push_back(0);
    cases.push_back({"one byte more than described", b, 12, mismatch});
    // A block claiming data that runs into the signature: opening reads no
    // block, its entry fails (ReaderTruncation).
    b = With16(sig, layout.blockOffsets[0] + 4, 150);
    cases.push_back({"block reaching into the signature", With32(b, layout.fileRecordOffsets[0], 150), 0, {}});
    cases.push_back({"reserve shorter than 12 bytes", SignedCabinet(hundred, &layout, 8), 12, mismatch});
    CabOptions plain;
    plain.trailer = fixture::Pattern(2040, 99);
    cases.push_back({"trailer without reserve", fixture::BuildCabinet(hundred, plain), 12, mismatch});

    for (const auto& c : cases) {
        LogCapture log;
        Cab cab(c.bytes);
        EXPECT_EQ(cab.result, c.code) << c.what;
        if (cab.result == 0) {
            EXPECT_EQ(cab.Test(0), 12) << c.what;
        }
        if (!c.log.empty()) {
            EXPECT_EQ(log.Get(), c.log) << c.what;
        }
    }
}

TEST(ReaderHeader, OpenDecodesHeaderTablesAndLogsEachSection) {
    LogCapture log;
    auto files = MixedFiles();
    CabOptions o;
    o.filesPerFolder = 3;
    CabLayout layout;
    Bytes bytes = fixture::BuildCabinet(files, o, &layout);
    Cab cab(bytes);
    ASSERT_EQ(cab.result, 0);
    EXPECT_EQ(log.Get(), kOpened);
    const Cabinet& c = cab.cabinet;
    EXPECT_EQ(c.header().cbCabinet, bytes.size());
    EXPECT_EQ(c.length(), bytes.size());
    EXPECT_EQ(c.header().cFolders, 3);
    EXPECT_EQ(cab.setup, nullptr);  // no SETUP.000
    for (uint16_t f = 0; f < 3; ++f) EXPECT_EQ(c.folders()[f].coffCabStart, layout.folderDataStart[f]);
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(c.files()[i].cbFile, files[i].data.size());
        EXPECT_EQ(c.files()[i].iFolder, i / 3);
        EXPECT_EQ(c.files()[i].date, files[i].date);
        EXPECT_EQ(c.files()[i].time, files[i].time);
        EXPECT_EQ(c.files()[i].attribs, files[i].attribs);
    }
    EXPECT_STREQ(c.files()[6].name, "dir\\f.bin");
    ExpectAllExtract(cab, files);
}

// Stored and MSZIP folders are read; any other method (Quantum 2, LZX 3
// with its window size in the high bits, an unknown one) refuses the cabinet.
TEST(ReaderHeader, UnreadCompressionRefusedAfterTheFoldersBeforeIt) {
    for (uint16_t type : {2, 3, 0x1503, 0x000F, 0x0100}) {
        SCOPED_TRACE(type);
        CabOptions o;
        o.filesPerFolder = 1;
        CabLayout layout;
        Bytes bytes = fixture::BuildCabinet({File("a", 10, 1), File("b", 10, 2), File("c", 10, 3)}, o, &layout);
        Patch16(bytes, layout.foldersOffset + 8 + 6, type);  // the second folder
        LogCapture log;
        Cab cab(bytes);
        EXPECT_EQ(cab.result, 14);
        EXPECT_EQ(log.Get(), (Lines{"reading MSCF folders section", "Compressed CAB not handled"}));
        // The folders read before the refusal stay; no file was read.
        ASSERT_EQ(cab.cabinet.folders().size(), 3u);
        EXPECT_EQ(cab.cabinet.folders()[0].coffCabStart, layout.folderDataStart[0]);
        EXPECT_EQ(cab.cabinet.folders()[1].typeCompress, type);
        EXPECT_TRUE(cab.cabinet.files().empty());
    }
}

TEST(ReaderHeader, StoredNamesSlashesAndLengths) {
    std::string n259(259, 'n'), n260(260, 'm'), n300(300, 'p');
    n259[0] = 'A';
    auto files = std::vector<StoredFile>{File("bin/arm/app.exe", 3, 1), File(n259, 4, 2), File(n260, 5, 3),
                                         File(n300, 6, 4), File("after.txt", 7, 5)};
    Cab cab(fixture::BuildCabinet(files));
    ASSERT_EQ(cab.result, 0);
    EXPECT_STREQ(cab.cabinet.files()[0].name, "bin\\arm\\app.exe");
    EXPECT_EQ(std::string(cab.cabinet.files()[1].name), n259);
    // Longer names keep 259 characters; the next record follows the NUL.
    EXPECT_EQ(std::string(cab.cabinet.files()[2].name), n260.substr(0, 259));
    EXPECT_EQ(std::string(cab.cabinet.files()[3].name), n300.substr(0, 259));
    EXPECT_STREQ(cab.cabinet.files()[4].name, "after.txt");
    ExpectAllExtract(cab, files);
}

// ---- Empty and signed cabinets ------------------------------------------------------

TEST(ReaderEmpty, NoFoldersOrNoFilesOpensAndHoldsNothing) {
    LogCapture log;
    Cab none(fixture::BuildCabinet({}));
    EXPECT_EQ(none.result, 0);
    EXPECT_TRUE(none.cabinet.folders().empty());
    EXPECT_TRUE(none.cabinet.files().empty());
    EXPECT_EQ(log.Get(), kOpened);

    Bytes bytes = fixture::BuildCabinet({File("a", 50, 1)});
    Patch16(bytes, 28, 0);  // a folder with blocks, no file records
    Cab noFiles(bytes);
    EXPECT_EQ(noFiles.result, 0);
    EXPECT_EQ(noFiles.cabinet.header().cFolders, 1);
    EXPECT_TRUE(noFiles.cabinet.files().empty());
    EXPECT_EQ(noFiles.Test(0), 12);

    fixture::Module m;
    ASSERT_TRUE(m.ok());
    int32_t code = -1;
    EXPECT_TRUE(fixture::List(m, none.path, &code).empty());
    EXPECT_EQ(code, 0);
}

TEST(ReaderSigned, SignatureAfterCbCabinetDescribedByTheReserveIsAccepted) {
    auto files = MixedFiles();
    CabLayout layout;
    Bytes bytes = SignedCabinet(files, &layout);
    ASSERT_EQ(bytes.size(), layout.cbCabinet + 2040u);
    Cab cab(bytes);
    ExpectAllExtract(cab, files);
    EXPECT_EQ(cab.cabinet.length(), bytes.size());
}

// ---- Offset rules ---------------------------------------------------------------------

TEST(ReaderOffsets, BothRulesAreDetectedAndReadTheSameBytes) {
    for (bool headerCounted : {false, true}) {
        SCOPED_TRACE(headerCounted ? "header-counted" : "data-only");
        // Each file in a block of its own: b.bin starts past a whole block.
        CabOptions o;
        o.blockPerFile = true;
        o.headerCountedOffsets = headerCounted;
        LogCapture log;
        Cab cab(fixture::BuildCabinet({File("a.bin", 100, 1), File("b.bin", 50, 2)}, o));
        ASSERT_EQ(cab.result, 0);
        EXPECT_EQ(cab.cabinet.files()[1].uoffFolderStart, headerCounted ? 108u : 100u);
        EXPECT_EQ(cab.cabinet.Source(0).HeaderCountedOffsets(), headerCounted ? 1 : 0);
        int code = -1;
        EXPECT_EQ(cab.Extract(1, &code), fixture::Pattern(50, 2));
        EXPECT_EQ(code, 0);
        EXPECT_EQ(log.Count("File offset > CFDATA size"), headerCounted ? 1 : 0);
        EXPECT_EQ(log.Count("Bad File offset"), 0);
        EXPECT_EQ(cab.Extract(0, &code), fixture::Pattern(100, 1));

        // An offset inside the first block reads the same by either rule, silently.
        CabOptions shared;
        shared.headerCountedOffsets = headerCounted;
        auto files = std::vector<StoredFile>{File("a", 40, 1), File("b", 60, 2)};
        LogCapture quiet;
        Cab first(fixture::BuildCabinet(files, shared));
        ASSERT_EQ(first.result, 0);
        EXPECT_EQ(first.cabinet.files()[1].uoffFolderStart, 40u);
        ExpectAllExtract(first, files);
        EXPECT_EQ(quiet.Count("File offset > CFDATA size"), 0);
    }
}

TEST(ReaderOffsets, OffsetInsideABlockHeaderIsBadAndLeavesAnEmptyFile) {
    CabOptions o;
    o.blockPerFile = true;
    o.headerCountedOffsets = true;
    CabLayout layout;
    Bytes bytes = fixture::BuildCabinet({File("a.bin", 100, 1), File("b.bin", 50, 2)}, o, &layout);
    Patch32(bytes, layout.fileRecordOffsets[1] + 4, 103);
    LogCapture log;
    Cab cab(bytes);
    ASSERT_EQ(cab.result, 0);
    EXPECT_EQ(cab.cabinet.Source(0).HeaderCountedOffsets(), 1);
    std::string out = cab.dir / "b.bin";
    EXPECT_EQ(cab.Copy(1, out), 12);
    EXPECT_EQ(log.Get().back(), "Bad File offset");
    EXPECT_EQ(log.Count("File offset > CFDATA size"), 1);
    EXPECT_TRUE(fixture::FileExists(out));
    EXPECT_TRUE(fixture::ReadFile(out).empty());
    EXPECT_EQ(cab.Test(1), 12);
}

// Files packed back to back into shared blocks (gcab's layout), with every
// kind of reserve, by both offset rules.
TEST(ReaderOffsets, ReservesAndSharedBlocksLeaveCopiedBytesUnaffected) {
    struct Case {
        uint16_t header;
        uint8_t folder, data;
        bool headerCounted;
    };
    const Case cases[] = {{0, 0, 0, false},    {0, 4, 8, false},     {0, 4, 8, true},
                          {26, 0, 0, false},   {0, 26, 0, true},     {0, 0, 24, true},
                          {26, 26, 24, false}, {26, 26, 24, true},   {300, 255, 255, true}};
    for (const Case& rc : cases) {
        SCOPED_TRACE("reserves " + std::to_string(rc.header) + "/" + std::to_string(rc.folder) + "/" +
                     std::to_string(rc.data) + (rc.headerCounted ? " header-counted" : " data-only"));
        CabOptions o;
        o.reserve = true;
        o.cbCFHeader = rc.header;
        o.cbCFFolder = rc.folder;
        o.cbCFData = rc.data;
        o.headerCountedOffsets = rc.headerCounted;
        o.filesPerFolder = 4;
        o.blockSize = 2048;
        auto files = MixedFiles();
        Cab cab(fixture::BuildCabinet(files, o));
        ExpectAllExtract(cab, files);
        EXPECT_EQ(cab.cabinet.cbCFHeader(), rc.header);
        EXPECT_EQ(cab.cabinet.cbCFFolder(), rc.folder);
        EXPECT_EQ(cab.cabinet.cbCFData(), rc.data);
        // Folder 0's last file starts in its second block, so the rule shows.
        EXPECT_EQ(cab.cabinet.Source(0).HeaderCountedOffsets(), rc.headerCounted ? 1 : 0);
    }
}

TEST(ReaderOffsets, ChunksOfAtMost4096StopAtBlockBoundaries) {
    CabOptions o;
    o.blockSize = 5000;
    Cab cab(fixture::BuildCabinet({File("x", 3000, 1), File("y", 12000, 2)}, o));
    ASSERT_EQ(cab.result, 0);
    struct Seen {
        std::vector<size_t> sizes;
        Bytes bytes;
    } seen;
    auto sink = [&seen](const uint8_t* data, size_t n) {
        seen.sizes.push_back(n);
        seen.bytes.insert(seen.bytes.end(), data, data + n);
        return true;
    };
    ASSERT_EQ(ResultCode(cab.cabinet.ReadFile(1, sink, 4096)), 0);
    EXPECT_EQ(seen.sizes, (std::vector<size_t>{2000, 4096, 904, 4096, 904}));
    EXPECT_EQ(seen.bytes, fixture::Pattern(12000, 2));
    // The last header read: the third block is full.
    EXPECT_EQ(cab.cabinet.Source(0).CurrentBlock().cbData, 5000);
    auto failing = [](const uint8_t*, size_t) { return false; };
    EXPECT_EQ(ResultCode(cab.cabinet.ReadFile(1, failing)), 16);
}

// A folder decoder other than "stored" gets every block whole, in order from
// the folder's first, and the bytes come out of its output: here each byte
// inverted, so a decoder that was skipped would show.
TEST(ReaderBlockSource, DecodedFoldersAndReadsThatAlternateBetweenFolders) {
    struct Inverting : FolderDecoder {
        std::vector<uint16_t>* seen;
        explicit Inverting(std::vector<uint16_t>* s) : seen(s) {}
        uint32_t UncompressedSize(const DataBlockHeader& b) const override { return b.cbData; }
        void Reset() override { seen->clear(); }
        Error Decode(const DataBlockHeader& b, const uint8_t* in, uint8_t* out) override {
            seen->push_back(b.cbData);
            for (uint32_t i = 0; i < b.cbData; ++i) out[i] = static_cast<uint8_t>(~in[i]);
            return kOk;
        }
    };
    CabOptions o;
    o.blockSize = 1000;
    o.filesPerFolder = 2;
    auto files = std::vector<StoredFile>{File("a", 1500, 1), File("b", 2200, 2), File("c", 700, 3), File("d", 10, 4)};
    Cab cab(fixture::BuildCabinet(files, o));
    ASSERT_EQ(cab.result, 0);

    std::vector<uint16_t> decoded;
    IoHandle file(IoOpen(cab.path.c_str(), IoMode::Read));
    CabinetStream stream(file.get(), cab.cabinet.length());
    BlockSource source(stream, cab.cabinet.folders()[0], 0, std::unique_ptr<FolderDecoder>(new Inverting(&decoded)));
    Bytes got;
    std::vector<size_t> chunks;
    ASSERT_FALSE(source.Read(1500, 2200, [&](const uint8_t* p, size_t n) {
        chunks.push_back(n);
        got.insert(got.end(), p, p + n);
        return true;
    }, 300));
    Bytes expected = files[1].data;
    for (uint8_t& b : expected) b = static_cast<uint8_t>(~b);
    EXPECT_EQ(got, expected);
    // Blocks before the offset are decoded too (a decoder may need them), and
    // chunks stop at block ends.
    EXPECT_EQ(decoded, (std::vector<uint16_t>{1000, 1000, 1000, 700}));
    EXPECT_EQ(chunks, (std::vector<size_t>{300, 200, 300, 300, 300, 100, 300, 300, 100}));

    // The cabinet's own sources share one file: reads that alternate between
    // folders each find their place.
    for (uint32_t i : {3u, 0u, 2u, 1u, 3u, 1u}) {
        int code = -1;
        EXPECT_EQ(cab.Extract(i, &code), files[i].data) << files[i].name;
        EXPECT_EQ(code, 0);
    }
}

// ---- Truncation and damaged structures -------------------------------------------------

// Every cut, with cbCabinet patched to the cut length so the reader itself
// meets the missing bytes: a cut in the header, the tables or the names
// refuses the cabinet; opening reads no block, so a cut in the blocks
// (from `dataStart` on) is met when the entries are read.
void ExpectEveryCutRefused(const Bytes& whole, uint32_t dataStart, const char* what) {
    memio::MemoryFs fs;
    memio::Installed installed(fs);
    int result = -1;
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        Bytes& part = fs.files["/m/cut"];
        part.assign(whole.begin(), whole.begin() + static_cast<long>(cut));
        if (cut >= 12) Patch32(part, 8, static_cast<uint32_t>(cut));
        auto opened = OpenFromMemory("/m/cut", &result);
        if (cut < dataStart || result != 0) {
            // Fewer than four bytes cannot say "MSCF": no cabinet at all.
            EXPECT_EQ(result, cut < 4 ? 14 : 12) << what << " cut at " << cut;
            continue;
        }
        bool failed = false;
        for (uint32_t i = 0; i < opened->cabinet.files().size(); ++i) failed |= opened->cabinet.TestFile(i).Is(ErrorKind::BadData);
        EXPECT_TRUE(failed) << what << " cut at " << cut;
    }
    fs.files["/m/cut"] = whole;  // the whole one opens: the cuts caused the refusals
    OpenFromMemory("/m/cut", &result);
    EXPECT_EQ(result, 0) << what;
    EXPECT_EQ(fs.openCount, 0);
}

TEST(ReaderTruncation, EveryCutOfTheHeaderTablesNamesAndBlocksIsBadData) {
    CabOptions small;
    small.blockSize = 64;
    CabLayout layout;
    Bytes plain = fixture::BuildCabinet({File("a.txt", 70, 1), File("sub/b.txt", 30, 2)}, small, &layout);
    ExpectEveryCutRefused(plain, layout.blockOffsets[0], "plain");

    CabOptions reserved;
    reserved.reserve = true;
    reserved.cbCFHeader = 6;
    reserved.cbCFFolder = 3;
    reserved.cbCFData = 5;
    reserved.headerCountedOffsets = true;
    reserved.blockSize = 40;
    reserved.filesPerFolder = 1;
    Bytes withReserves = fixture::BuildCabinet({File("x", 50, 3), File("y", 20, 4)}, reserved, &layout);
    ExpectEveryCutRefused(withReserves, layout.blockOffsets[0], "reserve");

    fixture::CeSetup setup;
    setup.strings = {{1, "\\Program Files\\T"}};
    setup.directories = {{1, {1}}};
    setup.copyFiles = {{1, 1, "t.exe"}};
    std::vector<StoredFile> ce = {{"SETUP.000", fixture::BuildSetupFile(setup)}, File("T.001", 30, 5)};
    Bytes stored = fixture::BuildCabinet(ce, {}, &layout);
    ExpectEveryCutRefused(stored, layout.blockOffsets[0], "CE");
    CabOptions zip;
    zip.mszip = zip.checksums = true;
    Bytes compressed = fixture::BuildCabinet(ce, zip, &layout);
    ExpectEveryCutRefused(compressed, layout.blockOffsets[0], "CE, MSZIP");
}

TEST(ReaderTruncation, BlocksThatDoNotHoldThePromisedBytes) {
    CabOptions o;
    o.blockSize = 256;
    CabLayout layout;
    const Bytes base = fixture::BuildCabinet({File("a", 300, 1), File("b", 300, 2)}, o, &layout);
    const size_t cCFData = layout.foldersOffset + 4;
    EXPECT_EQ(Cab(With16(base, cCFData, 0xFFFF)).result, 12);  // more blocks than could fit
    // A block missing or running past the end: no offset in the folder can
    // be trusted, so every entry of it fails, and no file is left.
    for (const Bytes& bad : {With16(base, cCFData, static_cast<uint16_t>(layout.blockOffsets.size() + 1)),
                             With16(base, layout.blockOffsets.back() + 4, 0xFFFF)}) {
        Cab missing(bad);
        ASSERT_EQ(missing.result, 0);
        for (uint32_t i = 0; i < 2; ++i) {
            int code = -1;
            missing.Extract(i, &code, "x");
            EXPECT_EQ(code, 12);
            EXPECT_FALSE(fixture::FileExists(missing.dir / "x"));
            EXPECT_EQ(missing.Test(i), 12);
        }
    }

    // A file longer than its folder runs out of blocks mid-copy: no partial file.
    Cab cab(With32(base, layout.fileRecordOffsets[1], 400));
    ASSERT_EQ(cab.result, 0);
    int code = -1;
    EXPECT_TRUE(cab.Extract(1, &code, "b").empty());
    EXPECT_EQ(code, 12);
    EXPECT_FALSE(fixture::FileExists(cab.dir / "b"));
    EXPECT_EQ(cab.Test(1), 12);
    EXPECT_EQ(cab.Extract(0, &code, "a"), fixture::Pattern(300, 1));
    EXPECT_EQ(code, 0);

    // No blocks at all behind files that promise bytes.
    Cab empty(With16(base, cCFData, 0));
    ASSERT_EQ(empty.result, 0);
    empty.Extract(0, &code, "a");
    EXPECT_EQ(code, 12);
    EXPECT_FALSE(fixture::FileExists(empty.dir / "a"));
}

TEST(ReaderCopy, EntryRangeDestinationAndEmptyFiles) {
    Cab cab(fixture::BuildCabinet({File("zero", 0, 1), File("one", 10, 2)}));
    ASSERT_EQ(cab.result, 0);
    std::string out = cab.dir / "x";
    EXPECT_EQ(cab.Copy(2, out), 12);
    EXPECT_EQ(cab.Test(2), 12);
    EXPECT_EQ(ResultCode(cab.cabinet.ReadFile(0xFFFFFFFFu, ByteSink())), 12);
    EXPECT_FALSE(fixture::FileExists(out));

    // 260 characters or more is refused whole, never cut.
    std::string longName = cab.dir.path + "/" + std::string(259 - cab.dir.path.size(), 'L');
    ASSERT_EQ(longName.size(), 260u);
    EXPECT_EQ(cab.Copy(1, longName), 16);
    EXPECT_FALSE(fixture::FileExists(longName.substr(0, 259)));
    EXPECT_EQ(cab.Copy(1, cab.dir / "missing/dir/x"), 16);

    // An existing file is replaced; an empty entry gives an empty file.
    fixture::WriteFile(out, fixture::Pattern(99, 9));
    EXPECT_EQ(cab.Copy(0, out), 0);
    EXPECT_TRUE(fixture::FileExists(out));
    EXPECT_TRUE(fixture::ReadFile(out).empty());
}

// ---- Faults at the I/O seam --------------------------------------------------------------

TEST(ReaderFaults, ReadFailingAfterNCallsGivesBadDataAndReleaseClosesEverything) {
    auto files = MixedFiles();
    CabOptions o;
    o.blockSize = 1000;
    o.headerCountedOffsets = true;
    memio::MemoryFs fs;
    memio::Installed installed(fs);
    fs.files["/m/cab"] = fixture::BuildCabinet(files, o);
    int result = -1;
    long n = 0;
    for (;; ++n) {
        fs.readsLeft = n;
        OpenFromMemory("/m/cab", &result);
        if (result == 0) break;
        EXPECT_EQ(result, 12) << "read " << n << " fails";
        ASSERT_LT(n, 10000) << "the open never succeeds";
    }
    EXPECT_GT(n, 1);  // the header and the tables; opening reads no block
    EXPECT_EQ(fs.openCount, 0);

    // The same for copying the largest file, which spans several blocks.
    fs.readsLeft = -1;
    std::unique_ptr<Opened> opened = OpenFromMemory("/m/cab", &result);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(fs.openCount, 1);
    for (n = 0;; ++n) {
        fs.readsLeft = n;
        int r = ResultCode(opened->cabinet.CopyFile(3, "/m/out"));
        if (r == 0) {
            EXPECT_EQ(fs.files["/m/out"], files[3].data);
            break;
        }
        EXPECT_EQ(r, 12) << "read " << n << " fails";
        ASSERT_LT(n, 1000);
    }
    opened.reset();
    EXPECT_EQ(fs.openCount, 0);
}

// The real file system, except that writes stop at byte `limit` or closing
// fails. (The default functions ignore their context.)
struct FailingWrites {
    uint64_t limit = UINT64_MAX, written = 0;
    bool closeFails = false;
    IoSystem io = DefaultIo();
    FailingWrites() {
        io.context = this;
        io.write = [](void* c, IoFile* f, const void* b, size_t n) {
            auto* self = static_cast<FailingWrites*>(c);
            size_t allowed = static_cast<size_t>(std::min<uint64_t>(n, self->limit - std::min(self->limit, self->written)));
            size_t done = DefaultIo().write(nullptr, f, b, allowed);
            self->written += done;
            return done;
        };
        io.close = [](void* c, IoFile* f) {
            return DefaultIo().close(nullptr, f) && !static_cast<FailingWrites*>(c)->closeFails;
        };
    }
};

TEST(ReaderFaults, FailedWriteOrCloseLeavesNoPartialFile) {
    Cab cab(fixture::BuildCabinet({File("big", 20000, 1)}));
    ASSERT_EQ(cab.result, 0);
    for (int k = 0; k < 4; ++k) {
        FailingWrites w;
        const uint64_t limits[] = {0, 4096, 19999};
        if (k < 3) w.limit = limits[k];
        w.closeFails = k == 3;
        const std::string out = cab.dir / ("partial" + std::to_string(k));
        SetIo(&w.io);
        int r = cab.Copy(0, out);
        SetIo(nullptr);
        EXPECT_EQ(r, 16) << "case " << k;
        EXPECT_FALSE(fixture::FileExists(out)) << "case " << k;
    }
}

TEST(ReaderNumericSuffix, FileNumbersOfStoredNames) {
    const std::pair<const char*, int> cases[] = {
        {"SETUP.000", 0}, {"FILE.012", 12}, {"A.1B2", 1},   {".123", 123},      {"SETUP.999", 999}, {"X.TXT", -1},
        {"a.9", -1},      {"A.B12", -1},    {"FILE.0120", -1}, {"", -1},        {nullptr, -1}};
    for (const auto& c : cases) EXPECT_EQ(NumericSuffix(c.first), c.second) << (c.first ? c.first : "null");
}

// ---- gcab's cabinets through the exports, against cabextract ------------------------------

TEST(ReaderGcab, StoredCabinetExtractsLikeCabextract) {
    if (!fixture::HaveTool("gcab") || !fixture::HaveTool("cabextract")) GTEST_SKIP() << "gcab or cabextract missing";
    fixture::TempDir dir;
    const std::string src = dir / "src", cab = dir / "gcab.cab";
    ASSERT_EQ(fixture::Run("mkdir -p " + fixture::Quote(src + "/sub")).status, 0);
    // Small files share 32 KiB blocks; large ones span several and start mid-block.
    const std::vector<std::pair<std::string, size_t>> sizes = {
        {"one.txt", 10},  {"two.bin", 5000},      {"three.dat", 40000}, {"big1.bin", 70000},
        {"empty.txt", 0}, {"sub/four.bin", 33000}, {"big2.bin", 140001}, {"last.txt", 77}};
    std::string names;
    uint32_t seed = 10;
    for (const auto& s : sizes) {
        fixture::WriteFile(src + "/" + s.first, fixture::Pattern(s.second, seed++));
        names += " " + fixture::Quote(s.first);
    }
    auto made = fixture::Run("cd " + fixture::Quote(src) + " && gcab -c " + fixture::Quote(cab) + names);
    ASSERT_EQ(made.status, 0) << made.out;
    auto peer = fixture::Run("cabextract -q -d " + fixture::Quote(dir / "peer") + " " + fixture::Quote(cab));
    ASSERT_EQ(peer.status, 0) << peer.out;

    fixture::Module m;
    ASSERT_TRUE(m.ok());
    auto results = fixture::ExtractAll(m, cab, dir / "ours");
    ASSERT_EQ(results.size(), sizes.size());
    for (const auto& r : results) EXPECT_EQ(r.second, 0) << r.first;
    for (const auto& s : sizes) {
        Bytes expected = fixture::ReadFile(dir / "peer/" + s.first);
        EXPECT_EQ(expected.size(), s.second) << s.first;
        EXPECT_TRUE(fixture::ReadFile(dir / "ours/" + s.first) == expected) << s.first;
    }
    // gcab counts data bytes only: the reader must have seen that.
    Cab opened(fixture::ReadFile(cab));
    ASSERT_EQ(opened.result, 0);
    for (uint16_t f = 0; f < opened.cabinet.folders().size(); ++f)
        EXPECT_FALSE(opened.cabinet.Source(f).HeaderCountedOffsets());
}

}  // namespace
