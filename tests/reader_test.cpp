// The cabinet container reader: header checks and refusals, the folder and
// file tables, both offset rules, reserves, signed and empty cabinets,
// truncation and damaged structures, faults at the I/O seam, and cabinets
// written by gcab extracted through the exports against cabextract.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cabinet/reader.h"
#include "fuzz/memory_io.h"
#include "support/alloc.h"
#include "support/bytes.h"
#include "support/paths.h"
#include "support/settings.h"
#include "tests/fixture.h"

using fixture::Bytes;
using fixture::CabLayout;
using fixture::CabOptions;
using fixture::StoredFile;
using namespace mirad;

namespace {

// Points the diagnostic log at a fresh file for one test.
struct LogCapture {
    fixture::TempDir dir;
    std::string path = dir / "debug.log";
    char saved[sizeof Settings{}.DebugFile];
    LogCapture() {
        std::memcpy(saved, CurrentSettings().DebugFile, sizeof saved);
        CopyString(CurrentSettings().DebugFile, sizeof saved, path.c_str());
    }
    ~LogCapture() { std::memcpy(CurrentSettings().DebugFile, saved, sizeof saved); }
    // The logged lines, without blank lines and the allocator's own lines.
    std::vector<std::string> Lines() const {
        std::vector<std::string> out;
        std::string text = fixture::ReadText(path), line;
        for (size_t i = 0; i <= text.size(); ++i) {
            if (i == text.size() || text[i] == '\n') {
                if (!line.empty() && line.rfind("Allocating ", 0) != 0) out.push_back(line);
                line.clear();
            } else if (text[i] != '\r') {
                line += text[i];
            }
        }
        return out;
    }
    size_t Count(const std::string& line) const {
        auto lines = Lines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }
};

// A cabinet written to a temporary file and opened through ReadCabinet.
struct Cab {
    fixture::TempDir dir;
    std::string path = dir / "test.cab";
    ArchiveContext* context = nullptr;
    int result = -1;
    explicit Cab(const Bytes& bytes) {
        fixture::WriteFile(path, bytes);
        context = static_cast<ArchiveContext*>(AllocateZeroed(sizeof(ArchiveContext)));
        CopyString(context->archivePath, sizeof context->archivePath, path.c_str());
        context->cabinetStream = IoOpen(path.c_str(), IoMode::Read);
        result = ReadCabinet(context);
    }
    ~Cab() { ReleaseContext(context); }
    Cab(const Cab&) = delete;
    Cab& operator=(const Cab&) = delete;
    // Copies entry `i` out; `code` gets the result.
    Bytes Extract(uint32_t i, int* code, const std::string& name = "out.bin") {
        std::string out = dir / name;
        *code = CopyStoredFile(context, i, out.c_str());
        return fixture::ReadFile(out);
    }
};

// Opens `name` from the memory file system; the context is the caller's to release.
ArchiveContext* OpenFromMemory(const char* name, int* result) {
    auto* context = static_cast<ArchiveContext*>(AllocateZeroed(sizeof(ArchiveContext)));
    CopyString(context->archivePath, sizeof context->archivePath, name);
    context->cabinetStream = IoOpen(name, IoMode::Read);
    *result = ReadCabinet(context);
    return context;
}

void Patch16(Bytes& b, size_t at, uint16_t v) { put_le16(&b[at], v); }
void Patch32(Bytes& b, size_t at, uint32_t v) { put_le32(&b[at], v); }

StoredFile File(const std::string& name, size_t size, uint32_t seed) {
    StoredFile f;
    f.name = name;
    f.data = fixture::Pattern(size, seed);
    return f;
}

// Files of awkward sizes: empty, tiny, block-sized and several blocks long.
std::vector<StoredFile> MixedFiles() {
    return {File("a.txt", 700, 1),      File("b.bin", 1500, 2), File("empty.dat", 0, 3),
            File("c.bin", 3000, 4),     File("d.txt", 5, 5),    File("e.bin", 1000, 6),
            File("dir/f.bin", 2222, 7)};
}

// Every entry of `files` extracts from the opened cabinet byte for byte.
void ExpectAllExtract(Cab& cab, const std::vector<StoredFile>& files) {
    ASSERT_EQ(cab.result, 0);
    ASSERT_EQ(cab.context->header.cFiles, files.size());
    for (uint32_t i = 0; i < files.size(); ++i) {
        int code = -1;
        Bytes got = cab.Extract(i, &code);
        EXPECT_EQ(code, 0) << files[i].name;
        EXPECT_TRUE(got == files[i].data) << files[i].name << ": " << got.size() << " bytes, expected "
                                          << files[i].data.size();
        EXPECT_EQ(TestStoredFile(cab.context, i), 0) << files[i].name;
    }
}

// ---- Header checks and refusals --------------------------------------------------

TEST(ReaderHeader, EmptyFileIsNotACabinet) {
    LogCapture log;
    Cab cab(Bytes{});
    EXPECT_EQ(cab.result, 14);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"Not CAB file or bad type"});
}

TEST(ReaderHeader, LengthDifferingFromCbCabinetIsSizeMismatch) {
    LogCapture log;
    Cab text(fixture::BytesOf(std::string(100, 'x')));
    EXPECT_EQ(text.result, 12);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"Size mismatch"});

    Bytes good = fixture::BuildCabinet({File("a", 10, 1)});
    Bytes longer = good;
    longer.push_back(0);
    Bytes shorter(good.begin(), good.end() - 1);
    EXPECT_EQ(Cab(longer).result, 12);
    EXPECT_EQ(Cab(shorter).result, 12);
    EXPECT_EQ(log.Count("Size mismatch"), 3u);
}

TEST(ReaderHeader, MultiPartUnknownFlagsWrongSignatureAndLaterCabinetsAreRefused) {
    auto files = std::vector<StoredFile>{File("a", 10, 1)};
    for (uint16_t flags : {1, 2, 3, 8, 0x8000}) {
        CabOptions o;
        o.extraFlags = flags;
        LogCapture log;
        Cab cab(fixture::BuildCabinet(files, o));
        EXPECT_EQ(cab.result, 14) << "flags " << flags;
        EXPECT_EQ(log.Lines(), std::vector<std::string>{"Not CAB file or bad type"}) << "flags " << flags;
    }
    CabOptions later;
    later.iCabinet = 1;
    EXPECT_EQ(Cab(fixture::BuildCabinet(files, later)).result, 14);
    Bytes lower = fixture::BuildCabinet(files);
    lower[3] = 'f';  // "MSCf": the signature is compared case-sensitively
    EXPECT_EQ(Cab(lower).result, 14);
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
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"reading MSCF folders section", "reading MSCF files section",
                                                     "CAB file successfully read"}));
    const ArchiveContext& c = *cab.context;
    EXPECT_EQ(std::string(c.header.signature, 4), "MSCF");
    EXPECT_EQ(c.header.cbCabinet, bytes.size());
    EXPECT_EQ(c.cabinetLength, bytes.size());
    EXPECT_EQ(c.header.cFolders, 3);
    EXPECT_EQ(c.header.cFiles, files.size());
    EXPECT_EQ(c.listPhase, kPhaseStored);
    EXPECT_EQ(c.listIndex, 0);
    EXPECT_EQ(c.plainCabinet, 1);  // no SETUP.000
    for (uint16_t f = 0; f < 3; ++f) EXPECT_EQ(c.folders[f].coffCabStart, layout.folderDataStart[f]);
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(c.files[i].cbFile, files[i].data.size());
        EXPECT_EQ(c.files[i].iFolder, i / 3);
        EXPECT_EQ(c.files[i].date, files[i].date);
        EXPECT_EQ(c.files[i].time, files[i].time);
        EXPECT_EQ(c.files[i].attribs, files[i].attribs);
    }
    EXPECT_STREQ(c.files[6].name, "dir\\f.bin");
    ExpectAllExtract(cab, files);
}

TEST(ReaderHeader, CompressedFolderRefusedAfterTheFoldersBeforeIt) {
    CabOptions o;
    o.filesPerFolder = 1;
    CabLayout layout;
    Bytes bytes = fixture::BuildCabinet({File("a", 10, 1), File("b", 10, 2), File("c", 10, 3)}, o, &layout);
    Patch16(bytes, layout.foldersOffset + 8 + 6, 1);  // second folder: MSZIP
    LogCapture log;
    Cab cab(bytes);
    EXPECT_EQ(cab.result, 14);
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"reading MSCF folders section", "Compressed CAB not handled"}));
    // The folder table stays for the caller to release.
    ASSERT_NE(cab.context->folders, nullptr);
    EXPECT_EQ(cab.context->folders[0].coffCabStart, layout.folderDataStart[0]);
    EXPECT_EQ(cab.context->folders[1].typeCompress, 1);
    EXPECT_EQ(cab.context->files, nullptr);
}

TEST(ReaderHeader, StoredNamesSlashesAndLengths) {
    std::string n259(259, 'n'), n260(260, 'm'), n300(300, 'p');
    n259[0] = 'A';
    auto files = std::vector<StoredFile>{File("bin/arm/app.exe", 3, 1), File(n259, 4, 2), File(n260, 5, 3),
                                         File(n300, 6, 4), File("after.txt", 7, 5)};
    Cab cab(fixture::BuildCabinet(files));
    ASSERT_EQ(cab.result, 0);
    EXPECT_STREQ(cab.context->files[0].name, "bin\\arm\\app.exe");
    EXPECT_EQ(std::string(cab.context->files[1].name), n259);
    // Longer names keep their first 259 characters; the next record is found
    // after the NUL.
    EXPECT_EQ(std::string(cab.context->files[2].name), n260.substr(0, 259));
    EXPECT_EQ(std::string(cab.context->files[3].name), n300.substr(0, 259));
    EXPECT_STREQ(cab.context->files[4].name, "after.txt");
    ExpectAllExtract(cab, files);
}

TEST(ReaderHeader, EmptyNameAndUnknownFolderAreBadData) {
    Bytes unnamed = fixture::BuildCabinet({File("", 5, 1)});
    EXPECT_EQ(Cab(unnamed).result, 12);

    CabLayout layout;
    Bytes bytes = fixture::BuildCabinet({File("a", 5, 1), File("b", 5, 2)}, {}, &layout);
    Patch16(bytes, layout.fileRecordOffsets[1] + 8, 1);  // iFolder 1 of 1 folder
    EXPECT_EQ(Cab(bytes).result, 12);

    bytes = fixture::BuildCabinet({File("a", 5, 1)}, {}, &layout);
    Patch32(bytes, 16, static_cast<uint32_t>(bytes.size() + 1));  // coffFiles past the end
    EXPECT_EQ(Cab(bytes).result, 12);
}

// ---- Empty and signed cabinets ------------------------------------------------------

TEST(ReaderEmpty, NoFoldersOrNoFilesOpensAndHoldsNothing) {
    LogCapture log;
    Cab none(fixture::BuildCabinet({}));
    EXPECT_EQ(none.result, 0);
    EXPECT_EQ(none.context->folders, nullptr);
    EXPECT_EQ(none.context->files, nullptr);
    EXPECT_EQ(none.context->listPhase, kPhaseStored);
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"reading MSCF folders section", "reading MSCF files section",
                                                     "CAB file successfully read"}));

    // A folder with blocks but no file records.
    Bytes bytes = fixture::BuildCabinet({File("a", 50, 1)});
    Patch16(bytes, 28, 0);
    Cab noFiles(bytes);
    EXPECT_EQ(noFiles.result, 0);
    EXPECT_EQ(noFiles.context->header.cFolders, 1);
    EXPECT_EQ(noFiles.context->files, nullptr);
    EXPECT_EQ(TestStoredFile(noFiles.context, 0), 12);

    // Files that name a folder when there is none.
    bytes = fixture::BuildCabinet({File("a", 50, 1)});
    Patch16(bytes, 26, 0);
    EXPECT_EQ(Cab(bytes).result, 12);
}

TEST(ReaderEmpty, EmptyCabinetListsNothingThroughTheExports) {
    fixture::Module m;
    ASSERT_TRUE(m.ok());
    fixture::TempDir dir;
    fixture::WriteFile(dir / "empty.cab", fixture::BuildCabinet({}));
    int32_t code = -1;
    EXPECT_TRUE(fixture::List(m, dir / "empty.cab", &code).empty());
    EXPECT_EQ(code, 0);
}

// A signed cabinet: header reserve 20 bytes whose bytes 4..7 repeat cbCabinet
// and 8..11 give the length of the signature appended after it.
Bytes SignedCabinet(const std::vector<StoredFile>& files, CabLayout* layout, uint16_t cbCFHeader = 20) {
    CabOptions o;
    o.reserve = true;
    o.cbCFHeader = cbCFHeader;
    o.trailer = fixture::Pattern(2040, 99);
    Bytes bytes = fixture::BuildCabinet(files, o, layout);
    if (cbCFHeader >= 12) {
        Patch32(bytes, 40 + 4, layout->cbCabinet);
        Patch32(bytes, 40 + 8, static_cast<uint32_t>(bytes.size() - layout->cbCabinet));
    }
    return bytes;
}

TEST(ReaderSigned, SignatureAfterCbCabinetDescribedByTheReserveIsAccepted) {
    auto files = MixedFiles();
    CabLayout layout;
    Bytes bytes = SignedCabinet(files, &layout);
    ASSERT_EQ(bytes.size(), layout.cbCabinet + 2040u);
    Cab cab(bytes);
    ExpectAllExtract(cab, files);
    EXPECT_EQ(cab.context->cabinetLength, bytes.size());
}

TEST(ReaderSigned, EveryOtherLengthDifferenceStaysSizeMismatch) {
    auto files = std::vector<StoredFile>{File("a", 100, 1)};
    CabLayout layout;
    Bytes base = SignedCabinet(files, &layout);
    struct Variant {
        const char* what;
        Bytes bytes;
    };
    std::vector<Variant> variants;
    Bytes b = base;
    Patch32(b, 44, layout.cbCabinet + 1);
    variants.push_back({"reserve names another cbCabinet", b});
    b = base;
    Patch32(b, 48, 2039);
    variants.push_back({"reserve names another signature length", b});
    b = base;
    Patch16(b, 30, 4 | 2);
    variants.push_back({"flags other than 4", b});
    b = base;
    b.push_back(0);
    variants.push_back({"one byte more than described", b});
    variants.push_back({"reserve shorter than 12 bytes", SignedCabinet(files, &layout, 8)});
    CabOptions plain;
    plain.trailer = fixture::Pattern(2040, 99);
    variants.push_back({"no reserve at all", fixture::BuildCabinet(files, plain)});
    for (const auto& v : variants) {
        LogCapture log;
        Cab cab(v.bytes);
        EXPECT_EQ(cab.result, 12) << v.what;
        EXPECT_EQ(log.Lines(), std::vector<std::string>{"Size mismatch"}) << v.what;
    }
}

TEST(ReaderSigned, SignatureBytesAreNeverReadAsCabinetData) {
    CabLayout layout;
    Bytes bytes = SignedCabinet({File("a", 100, 1)}, &layout);
    // The block now claims data that would run into the signature.
    Patch16(bytes, layout.blockOffsets[0] + 4, 100 + 50);
    Patch32(bytes, layout.fileRecordOffsets[0], 150);
    EXPECT_EQ(Cab(bytes).result, 12);
}

// ---- Offset rules ---------------------------------------------------------------------

// Two files, each in a block of its own: a.bin 100 bytes, b.bin 50 bytes.
Bytes TwoBlockCabinet(bool headerCounted, CabLayout* layout) {
    CabOptions o;
    o.blockPerFile = true;
    o.headerCountedOffsets = headerCounted;
    return fixture::BuildCabinet({File("a.bin", 100, 1), File("b.bin", 50, 2)}, o, layout);
}

TEST(ReaderOffsets, HeaderCountedOffsetPassesAWholeBlock) {
    CabLayout layout;
    Bytes bytes = TwoBlockCabinet(true, &layout);
    LogCapture log;
    Cab cab(bytes);
    ASSERT_EQ(cab.result, 0);
    EXPECT_EQ(cab.context->files[1].uoffFolderStart, 108u);
    EXPECT_EQ(cab.context->folders[0].headerCountedOffsets, 1);
    int code = -1;
    EXPECT_EQ(cab.Extract(1, &code), fixture::Pattern(50, 2));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(log.Count("File offset > CFDATA size"), 1u);
    EXPECT_EQ(log.Count("Bad File offset"), 0u);
}

TEST(ReaderOffsets, DataOnlyOffsetOfTheSameLayoutIsFoundWithoutALogLine) {
    CabLayout layout;
    Bytes bytes = TwoBlockCabinet(false, &layout);
    LogCapture log;
    Cab cab(bytes);
    ASSERT_EQ(cab.result, 0);
    EXPECT_EQ(cab.context->files[1].uoffFolderStart, 100u);
    EXPECT_EQ(cab.context->folders[0].headerCountedOffsets, 0);
    ExpectAllExtract(cab, {File("a.bin", 100, 1), File("b.bin", 50, 2)});
    EXPECT_EQ(log.Count("File offset > CFDATA size"), 0u);
}

TEST(ReaderOffsets, OffsetInsideABlockHeaderIsBadAndLeavesAnEmptyFile) {
    CabLayout layout;
    Bytes bytes = TwoBlockCabinet(true, &layout);
    Patch32(bytes, layout.fileRecordOffsets[1] + 4, 103);
    LogCapture log;
    Cab cab(bytes);
    ASSERT_EQ(cab.result, 0);
    EXPECT_EQ(cab.context->folders[0].headerCountedOffsets, 1);
    std::string out = cab.dir / "b.bin";
    EXPECT_EQ(CopyStoredFile(cab.context, 1, out.c_str()), 12);
    EXPECT_EQ(log.Lines().back(), "Bad File offset");
    EXPECT_EQ(log.Count("File offset > CFDATA size"), 1u);
    EXPECT_TRUE(fixture::FileExists(out));
    EXPECT_TRUE(fixture::ReadFile(out).empty());
    EXPECT_EQ(TestStoredFile(cab.context, 1), 12);
}

TEST(ReaderOffsets, OffsetInsideTheFirstBlockReadsTheSameByEitherRule) {
    for (bool headerCounted : {false, true}) {
        CabOptions o;
        o.headerCountedOffsets = headerCounted;
        auto files = std::vector<StoredFile>{File("a", 40, 1), File("b", 60, 2)};
        LogCapture log;
        Cab cab(fixture::BuildCabinet(files, o));
        ASSERT_EQ(cab.result, 0);
        EXPECT_EQ(cab.context->files[1].uoffFolderStart, 40u);
        ExpectAllExtract(cab, files);
        EXPECT_EQ(log.Count("File offset > CFDATA size"), 0u) << headerCounted;
    }
}

// Files packed back to back into shared small blocks, as gcab lays them out,
// by either rule, with and without reserves.
TEST(ReaderOffsets, SharedBlocksExtractByBothRules) {
    for (bool headerCounted : {false, true}) {
        for (uint8_t dataReserve : {0, 8}) {
            CabOptions o;
            o.blockSize = 1000;
            o.headerCountedOffsets = headerCounted;
            o.reserve = dataReserve != 0;
            o.cbCFData = dataReserve;
            auto files = MixedFiles();
            Cab cab(fixture::BuildCabinet(files, o));
            SCOPED_TRACE(std::string(headerCounted ? "header-counted" : "data-only") + " reserve " +
                         std::to_string(dataReserve));
            ExpectAllExtract(cab, files);
            EXPECT_EQ(cab.context->folders[0].headerCountedOffsets, headerCounted ? 1 : 0);
        }
    }
}

// Chunks of at most 4096 bytes that never cross a block boundary.
TEST(ReaderOffsets, ChunksStopAtBlockBoundaries) {
    CabOptions o;
    o.blockSize = 5000;
    Cab cab(fixture::BuildCabinet({File("x", 3000, 1), File("y", 12000, 2)}, o));
    ASSERT_EQ(cab.result, 0);
    struct Seen {
        std::vector<size_t> sizes;
        Bytes bytes;
    } seen;
    auto sink = [](void* user, const uint8_t* data, size_t n) {
        auto* s = static_cast<Seen*>(user);
        s->sizes.push_back(n);
        s->bytes.insert(s->bytes.end(), data, data + n);
        return true;
    };
    ASSERT_EQ(StreamStoredFile(cab.context, 1, sink, &seen), 0);
    EXPECT_EQ(seen.sizes, (std::vector<size_t>{2000, 4096, 904, 4096, 904}));
    EXPECT_EQ(seen.bytes, fixture::Pattern(12000, 2));
    // The last header read, with cbData as found: the third block is full.
    EXPECT_EQ(cab.context->dataBlock.cbData, 5000);

    auto failing = [](void*, const uint8_t*, size_t) { return false; };
    EXPECT_EQ(StreamStoredFile(cab.context, 1, failing, nullptr), 16);
}

// ---- Reserves --------------------------------------------------------------------------

struct ReserveCase {
    uint16_t header;
    uint8_t folder, data;
    bool headerCounted;
};

class ReaderReserves : public ::testing::TestWithParam<ReserveCase> {};

TEST_P(ReaderReserves, CopiedBytesAreUnaffected) {
    ReserveCase rc = GetParam();
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
    EXPECT_EQ(cab.context->cbCFHeader, rc.header);
    EXPECT_EQ(cab.context->cbCFFolder, rc.folder);
    EXPECT_EQ(cab.context->cbCFData, rc.data);
}

INSTANTIATE_TEST_SUITE_P(Combinations, ReaderReserves,
                         ::testing::Values(ReserveCase{0, 0, 0, false}, ReserveCase{0, 4, 8, false},
                                           ReserveCase{0, 4, 8, true}, ReserveCase{26, 0, 0, false},
                                           ReserveCase{0, 26, 0, true}, ReserveCase{0, 0, 24, true},
                                           ReserveCase{26, 26, 24, false}, ReserveCase{26, 26, 24, true},
                                           ReserveCase{300, 255, 255, true}));

// ---- Truncation and damaged structures -------------------------------------------------

// Every cut of a cabinet, with cbCabinet patched to the cut length so that the
// size check passes and the reader meets the missing bytes itself.
void ExpectEveryCutRefused(const Bytes& whole, const char* what) {
    memio::MemoryFs fs;
    memio::Installed installed(fs);
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        Bytes& part = fs.files["/m/cut"];
        part.assign(whole.begin(), whole.begin() + static_cast<long>(cut));
        if (cut >= 12) Patch32(part, 8, static_cast<uint32_t>(cut));
        int result = -1;
        ReleaseContext(OpenFromMemory("/m/cut", &result));
        EXPECT_EQ(result, cut == 0 ? 14 : 12) << what << " cut at " << cut;
    }
    // The whole cabinet opens: the refusals above are the cuts' doing.
    fs.files["/m/cut"] = whole;
    int result = -1;
    ReleaseContext(OpenFromMemory("/m/cut", &result));
    EXPECT_EQ(result, 0) << what;
    EXPECT_EQ(fs.openCount, 0);
}

TEST(ReaderTruncation, EveryCutOfTheHeaderTablesNamesAndBlocksIsBadData) {
    CabOptions small;
    small.blockSize = 64;
    ExpectEveryCutRefused(fixture::BuildCabinet({File("a.txt", 70, 1), File("sub/b.txt", 30, 2)}, small), "plain");

    CabOptions reserved;
    reserved.reserve = true;
    reserved.cbCFHeader = 6;
    reserved.cbCFFolder = 3;
    reserved.cbCFData = 5;
    reserved.headerCountedOffsets = true;
    reserved.blockSize = 40;
    reserved.filesPerFolder = 1;
    ExpectEveryCutRefused(fixture::BuildCabinet({File("x", 50, 3), File("y", 20, 4)}, reserved), "reserve");

    fixture::CeSetup setup;
    setup.strings = {{1, "\\Program Files\\T"}};
    setup.directories = {{1, {1}}};
    setup.copyFiles = {{1, 1, "t.exe"}};
    ExpectEveryCutRefused(fixture::BuildCeCabinet(setup, {File("T.001", 30, 5)}), "CE");
}

TEST(ReaderTruncation, BlocksThatDoNotHoldThePromisedBytes) {
    CabLayout layout;
    Bytes base = fixture::BuildCabinet({File("a", 300, 1), File("b", 300, 2)}, [] {
        CabOptions o;
        o.blockSize = 256;
        return o;
    }(), &layout);

    // More blocks promised than the folder has.
    Bytes more = base;
    Patch16(more, layout.foldersOffset + 4, static_cast<uint16_t>(layout.blockOffsets.size() + 1));
    EXPECT_EQ(Cab(more).result, 12);

    // A block whose data would run past the cabinet.
    Bytes longBlock = base;
    Patch16(longBlock, layout.blockOffsets.back() + 4, 0xFFFF);
    EXPECT_EQ(Cab(longBlock).result, 12);

    // More blocks than the cabinet could hold at 8 bytes each.
    Bytes absurd = base;
    Patch16(absurd, layout.foldersOffset + 4, 0xFFFF);
    EXPECT_EQ(Cab(absurd).result, 12);

    // A file longer than its folder: the copy runs out of blocks after writing
    // part of it, and no partial file remains.
    Bytes longFile = base;
    Patch32(longFile, layout.fileRecordOffsets[1], 400);
    Cab cab(longFile);
    ASSERT_EQ(cab.result, 0);
    int code = -1;
    EXPECT_TRUE(cab.Extract(1, &code, "b").empty());
    EXPECT_EQ(code, 12);
    EXPECT_FALSE(fixture::FileExists(cab.dir / "b"));
    EXPECT_EQ(TestStoredFile(cab.context, 1), 12);
    // The other file is untouched by that.
    EXPECT_EQ(cab.Extract(0, &code, "a"), fixture::Pattern(300, 1));
    EXPECT_EQ(code, 0);

    // No blocks at all behind files that promise bytes.
    Bytes noBlocks = base;
    Patch16(noBlocks, layout.foldersOffset + 4, 0);
    Cab empty(noBlocks);
    ASSERT_EQ(empty.result, 0);
    empty.Extract(0, &code, "a");
    EXPECT_EQ(code, 12);
    EXPECT_FALSE(fixture::FileExists(empty.dir / "a"));
}

TEST(ReaderCopy, EntryRangeDestinationAndEmptyFiles) {
    auto files = std::vector<StoredFile>{File("zero", 0, 1), File("one", 10, 2)};
    Cab cab(fixture::BuildCabinet(files));
    ASSERT_EQ(cab.result, 0);
    std::string out = cab.dir / "x";
    EXPECT_EQ(CopyStoredFile(cab.context, 2, out.c_str()), 12);
    EXPECT_EQ(TestStoredFile(cab.context, 2), 12);
    EXPECT_EQ(StreamStoredFile(cab.context, 0xFFFFFFFFu, nullptr, nullptr), 12);
    EXPECT_FALSE(fixture::FileExists(out));

    // A destination of 260 characters or more is refused whole, never cut.
    std::string longName = cab.dir.path + "/" + std::string(259 - cab.dir.path.size(), 'L');
    ASSERT_EQ(longName.size(), 260u);
    EXPECT_EQ(CopyStoredFile(cab.context, 1, longName.c_str()), 16);
    EXPECT_FALSE(fixture::FileExists(longName.substr(0, 259)));
    EXPECT_EQ(CopyStoredFile(cab.context, 1, (cab.dir / "missing/dir/x").c_str()), 16);

    // An existing file is replaced; an empty entry gives an empty file.
    fixture::WriteFile(out, fixture::Pattern(99, 9));
    EXPECT_EQ(CopyStoredFile(cab.context, 0, out.c_str()), 0);
    EXPECT_TRUE(fixture::FileExists(out));
    EXPECT_TRUE(fixture::ReadFile(out).empty());
}

// ---- Faults at the I/O seam --------------------------------------------------------------

TEST(ReaderFaults, ReadFailingAfterNCallsGivesBadDataAndClosesEverything) {
    auto files = MixedFiles();
    CabOptions o;
    o.blockSize = 1000;
    o.headerCountedOffsets = true;
    memio::MemoryFs fs;
    memio::Installed installed(fs);
    fs.files["/m/cab"] = fixture::BuildCabinet(files, o);

    // How many reads a whole open takes.
    int result = -1;
    ArchiveContext* context = OpenFromMemory("/m/cab", &result);
    ASSERT_EQ(result, 0);
    ReleaseContext(context);
    long reads = 0;
    for (long n = 0;; ++n) {
        fs.readsLeft = n;
        context = OpenFromMemory("/m/cab", &result);
        ReleaseContext(context);
        if (result == 0) {
            reads = n;
            break;
        }
        EXPECT_EQ(result, 12) << "read " << n << " fails";
        ASSERT_LT(n, 10000) << "the open never succeeds";
    }
    EXPECT_GT(reads, 8);
    EXPECT_EQ(fs.openCount, 0);

    // The same for copying the largest file, which spans several blocks.
    fs.readsLeft = -1;
    context = OpenFromMemory("/m/cab", &result);
    ASSERT_EQ(result, 0);
    for (long n = 0;; ++n) {
        fs.readsLeft = n;
        int r = CopyStoredFile(context, 3, "/m/out");
        if (r == 0) {
            EXPECT_EQ(fs.files["/m/out"], files[3].data);
            break;
        }
        EXPECT_EQ(r, 12) << "read " << n << " fails";
        ASSERT_LT(n, 1000);
    }
    ReleaseContext(context);
    EXPECT_EQ(fs.openCount, 0);
}

// The real file system, except that writes stop short at byte `limit` of a
// file or closing reports failure.
struct FailingWrites {
    uint64_t limit = UINT64_MAX;
    bool closeFails = false;
    uint64_t written = 0;
    IoSystem io{};
    FailingWrites() {
        io = DefaultIo();
        io.context = this;
        io.open = [](void*, const char* p, IoMode m) { return DefaultIo().open(nullptr, p, m); };
        io.read = [](void*, IoFile* f, void* b, size_t n) { return DefaultIo().read(nullptr, f, b, n); };
        io.seek = [](void*, IoFile* f, uint64_t o) { return DefaultIo().seek(nullptr, f, o); };
        io.tell = [](void*, IoFile* f) { return DefaultIo().tell(nullptr, f); };
        io.size = [](void*, IoFile* f, uint64_t* s) { return DefaultIo().size(nullptr, f, s); };
        io.write = [](void* c, IoFile* f, const void* b, size_t n) {
            auto* self = static_cast<FailingWrites*>(c);
            size_t allowed = self->written >= self->limit ? 0 : static_cast<size_t>(std::min<uint64_t>(n, self->limit - self->written));
            size_t done = DefaultIo().write(nullptr, f, b, allowed);
            self->written += done;
            return done;
        };
        io.close = [](void* c, IoFile* f) {
            bool ok = DefaultIo().close(nullptr, f);
            return ok && !static_cast<FailingWrites*>(c)->closeFails;
        };
    }
};

TEST(ReaderFaults, FailedWriteOrCloseLeavesNoPartialFile) {
    auto files = std::vector<StoredFile>{File("big", 20000, 1)};
    Cab cab(fixture::BuildCabinet(files));
    ASSERT_EQ(cab.result, 0);
    for (uint64_t limit : {uint64_t{0}, uint64_t{4096}, uint64_t{19999}}) {
        FailingWrites w;
        w.limit = limit;
        SetIo(&w.io);
        std::string out = cab.dir / "partial";
        int r = CopyStoredFile(cab.context, 0, out.c_str());
        SetIo(nullptr);
        EXPECT_EQ(r, 16) << limit;
        EXPECT_FALSE(fixture::FileExists(out)) << limit;
    }
    FailingWrites w;
    w.closeFails = true;
    SetIo(&w.io);
    std::string out = cab.dir / "unclosed";
    int r = CopyStoredFile(cab.context, 0, out.c_str());
    SetIo(nullptr);
    EXPECT_EQ(r, 16);
    EXPECT_FALSE(fixture::FileExists(out));
}

TEST(ReaderRelease, ReleasesStreamAndTablesAndToleratesNull) {
    ReleaseContext(nullptr);
    memio::MemoryFs fs;
    memio::Installed installed(fs);
    fs.files["/m/cab"] = fixture::BuildCabinet(MixedFiles());
    int result = -1;
    ArchiveContext* context = OpenFromMemory("/m/cab", &result);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(fs.openCount, 1);
    // The setup reader's buffer comes from the plain heap.
    context->setupData = static_cast<uint8_t*>(std::malloc(16));
    ReleaseContext(context);
    EXPECT_EQ(fs.openCount, 0);
}

TEST(ReaderNumericSuffix, FileNumbersOfStoredNames) {
    EXPECT_EQ(NumericSuffix("SETUP.000"), 0);
    EXPECT_EQ(NumericSuffix("FILE.012"), 12);
    EXPECT_EQ(NumericSuffix("A.1B2"), 1);
    EXPECT_EQ(NumericSuffix(".123"), 123);
    EXPECT_EQ(NumericSuffix("SETUP.999"), 999);
    EXPECT_EQ(NumericSuffix("X.TXT"), -1);
    EXPECT_EQ(NumericSuffix("NOTES.TXT"), -1);
    EXPECT_EQ(NumericSuffix("a.9"), -1);
    EXPECT_EQ(NumericSuffix("A.B12"), -1);
    EXPECT_EQ(NumericSuffix("FILE.0120"), -1);
    EXPECT_EQ(NumericSuffix(""), -1);
    EXPECT_EQ(NumericSuffix(nullptr), -1);
}

// ---- Cabinets written by gcab, through the exports, against cabextract ----------------------

TEST(ReaderGcab, StoredCabinetExtractsLikeCabextract) {
    if (!fixture::HaveTool("gcab") || !fixture::HaveTool("cabextract")) GTEST_SKIP() << "gcab or cabextract missing";
    fixture::TempDir dir;
    const std::string src = dir / "src";
    ASSERT_EQ(fixture::Run("mkdir -p " + fixture::Quote(src + "/sub")).status, 0);
    // Small files share 32 KiB blocks; the large ones span several blocks and
    // start in the middle of one.
    std::vector<std::pair<std::string, size_t>> sizes = {
        {"one.txt", 10},     {"two.bin", 5000},      {"three.dat", 40000}, {"big1.bin", 70000},
        {"empty.txt", 0},    {"sub/four.bin", 33000}, {"big2.bin", 140001}, {"last.txt", 77}};
    uint32_t seed = 10;
    for (const auto& s : sizes) fixture::WriteFile(src + "/" + s.first, fixture::Pattern(s.second, seed++));
    std::string names;
    for (const auto& s : sizes) names += " " + fixture::Quote(s.first);
    const std::string cab = dir / "gcab.cab";
    auto made = fixture::Run("cd " + fixture::Quote(src) + " && gcab -c " + fixture::Quote(cab) + names);
    ASSERT_EQ(made.status, 0) << made.out;
    auto peer = fixture::Run("cabextract -q -d " + fixture::Quote(dir / "peer") + " " + fixture::Quote(cab));
    ASSERT_EQ(peer.status, 0) << peer.out;

    // Through the exports, as the host extracts.
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
    for (uint16_t f = 0; f < opened.context->header.cFolders; ++f)
        EXPECT_EQ(opened.context->folders[f].headerCountedOffsets, 0);
}

}  // namespace
