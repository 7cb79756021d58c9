// Memory follows what is open, not the cabinet: walking every folder of a
// cabinet with tens of thousands of them, as the host tests or extracts it,
// holds no more than a couple of folders' buffers at any time. Every heap
// block of this test program passes the counting operators below, which
// keep the live total and its peak.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "documents/documents.h"
#include "fuzz/memory_io.h"
#include "interface/exports.h"
#include "setup/pack.h"
#include "support/settings.h"
#include "support/alloc.h"
#include "tests/fixture.h"
#include "view/session.h"

namespace {

std::atomic<long long> g_live{0}, g_peak{0};

void* Take(size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p) return nullptr;
    long long now = g_live += static_cast<long long>(malloc_usable_size(p));
    for (long long peak = g_peak.load(); now > peak && !g_peak.compare_exchange_weak(peak, now);) {
    }
    return p;
}

void Give(void* p) {
    if (!p) return;
    g_live -= static_cast<long long>(malloc_usable_size(p));
    std::free(p);
}

// Restarts the peak from what is live now, and returns that.
long long ResetPeak() {
    g_peak = g_live.load();
    return g_peak;
}

}  // namespace

void* operator new(size_t n) {
    if (void* p = Take(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return Take(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return Take(n); }
void operator delete(void* p) noexcept { Give(p); }
void operator delete[](void* p) noexcept { Give(p); }
void operator delete(void* p, size_t) noexcept { Give(p); }
void operator delete[](void* p, size_t) noexcept { Give(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Give(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Give(p); }

namespace {

using fixture::Bytes;

void Put16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

// `folders` folders, each holding one file "fNNNNN" of `data`, each with
// the same blocks (blocks of `blockSize`, with checksums): those of a
// one-file cabinet, which do not depend on where they lie.
Bytes ManyFolders(uint32_t folders, const Bytes& data, bool mszip, uint32_t blockSize) {
    fixture::CabOptions o;
    o.mszip = mszip;
    o.checksums = true;
    o.blockSize = blockSize;
    fixture::CabLayout one;
    Bytes single = fixture::BuildCabinet({{"f", data}}, o, &one);
    const Bytes blocks(single.begin() + one.blockOffsets[0], single.begin() + one.cbCabinet);
    const uint32_t cCFData = static_cast<uint32_t>(one.blockOffsets.size());
    const uint32_t coffFiles = 36 + 8 * folders;
    const uint32_t dataStart = coffFiles + folders * (16 + 7);  // names "f" and five digits
    Bytes cab = {'M', 'S', 'C', 'F'};
    Put32(cab, 0);
    Put32(cab, dataStart + folders * static_cast<uint32_t>(blocks.size()));
    Put32(cab, 0);
    Put32(cab, coffFiles);
    Put32(cab, 0);
    cab.push_back(3);
    cab.push_back(1);
    Put16(cab, folders);
    Put16(cab, folders);
    Put16(cab, 0);
    Put32(cab, 0);  // setID, iCabinet
    for (uint32_t i = 0; i < folders; ++i) {
        Put32(cab, dataStart + i * static_cast<uint32_t>(blocks.size()));
        Put16(cab, cCFData);
        Put16(cab, mszip ? 1 : 0);
    }
    for (uint32_t i = 0; i < folders; ++i) {
        Put32(cab, static_cast<uint32_t>(data.size()));
        Put32(cab, 0);
        Put16(cab, i);
        Put16(cab, 0x5A21);
        Put16(cab, 0x6000);
        Put16(cab, 0x20);
        char name[16];
        std::snprintf(name, sizeof name, "f%05u", static_cast<unsigned>(i));
        cab.insert(cab.end(), name, name + 7);  // with its NUL
    }
    for (uint32_t i = 0; i < folders; ++i) cab.insert(cab.end(), blocks.begin(), blocks.end());
    return cab;
}

TEST(MemoryBound, WalkingEveryFolderHoldsOnlyTheOpenOnes) {
    struct Case {
        const char* what;
        uint32_t folders;
        size_t fileSize;
        bool mszip;
        uint32_t blockSize;
    };
    const Case cases[] = {
        // The format's limit of folders, each of two small blocks.
        {"65,535 MSZIP folders of two blocks", 65535, 150, true, 100},
        // Stored folders whose first block is a whole 32 KiB.
        {"300 stored folders of 33,000 bytes", 300, 33000, false, 32768},
    };
    for (const Case& c : cases) {
        const Bytes data = fixture::Pattern(c.fileSize, 7);
        memio::MemoryFs fs;
        memio::Installed installed(fs);
        std::string path = "/nonexistent-mirad-memfs/many.cab";
        fs.files[path] = ManyFolders(c.folders, data, c.mszip, c.blockSize);
        for (int32_t operation : {MIRAD_TEST, MIRAD_EXTRACT}) {
            SCOPED_TRACE(std::string(c.what) + (operation == MIRAD_TEST ? ", test" : ", extract"));
            const long long before = g_live.load();
            const int32_t counted = mirad::AllocatedTotal();
            OpenRequest request{};
            request.archiveName = &path[0];
            void* handle = OpenArchive(&request);
            ASSERT_NE(handle, nullptr);
            // The tables (taken through the module's counting allocator): a
            // few bytes per file and folder besides its name, and the file's
            // own buffers.
            const long long open = ResetPeak();
            const int32_t countedOpen = mirad::AllocatedTotal();
            const long long tables = open - before + (countedOpen - counted);
            EXPECT_LE(tables, 64LL * c.folders + (256 << 10)) << tables << " bytes for " << c.folders << " files";
            EntryHeader header;
            uint32_t done = 0;
            std::string dest = "/nonexistent-mirad-memfs/out";
            while (ReadHeader(handle, &header) == MIRAD_OK) {
                ASSERT_EQ(ProcessFile(handle, operation, nullptr, &dest[0]), 0) << header.fileName;
                if (operation == MIRAD_EXTRACT) {
                    ASSERT_EQ(fs.files[dest], data) << header.fileName;
                    fs.files.erase(dest);
                }
                ++done;
            }
            // (The counting allocator never subtracts what is freed.)
            const long long peak = g_peak.load() - open + (mirad::AllocatedTotal() - countedOpen);
            CloseArchive(handle);
            EXPECT_EQ(done, c.folders);
            // Two open folders' buffers, decoders and windows, whatever the
            // number of folders walked.
            EXPECT_LE(peak, 1LL << 20) << peak << " bytes over the tables";
        }
    }
}

// A setup file of `rows` rows in every table.
fixture::CeSetup SetupOfRows(uint16_t rows) {
    fixture::CeSetup s;
    s.strings.push_back({1, "%CE1%\\App"});
    for (uint16_t id = 2; id <= rows; ++id) s.strings.push_back({id, "s" + std::to_string(id)});
    for (uint16_t i = 1; i <= rows; ++i) {
        s.directories.push_back({i, {1, static_cast<uint16_t>(2 + i % 100)}});
        s.copyFiles.push_back({static_cast<uint16_t>(1 + i % 999), i, "f" + std::to_string(i) + ".bin"});
        s.hives.push_back({i, 1, {static_cast<uint16_t>(2 + i % 100)}});
        s.values.push_back({i, 0x00010001, "v" + std::to_string(i), {1, 0, 0, 0}});
        fixture::CeShortcut sc;
        sc.baseDirectoryId = i;
        sc.nameStringId = static_cast<uint16_t>(2 + i % (rows - 1));
        sc.targetId = static_cast<uint16_t>(1 + i % 999);
        s.shortcuts.push_back(sc);
    }
    return s;
}

// Opening a CE cabinet keeps its setup file's bytes and the tables the
// views read, a few dozen bytes per row besides the texts: no second copy
// of the records.
TEST(MemoryBound, SetupTablesCostWhatTheFileHolds) {
    const uint16_t rows = 20000;
    const fixture::CeSetup s = SetupOfRows(rows);
    const size_t setupSize = fixture::BuildSetupFile(s).size();
    memio::MemoryFs fs;
    memio::Installed installed(fs);
    std::string path = "/nonexistent-mirad-memfs/ce.cab";
    fs.files[path] = fixture::BuildCeCabinet(s, {{"F0001.001", fixture::BytesOf("x")}});
    const long long before = g_live.load();
    const int32_t counted = mirad::AllocatedTotal();
    OpenRequest request{};
    request.archiveName = &path[0];
    void* handle = OpenArchive(&request);
    ASSERT_NE(handle, nullptr);
    const long long held = g_live.load() - before + (mirad::AllocatedTotal() - counted);
    CloseArchive(handle);
    // Five tables are loaded (registry values are read from the bytes).
    EXPECT_LE(held, static_cast<long long>(setupSize) + 5LL * 48 * rows + (512 << 10))
        << held << " bytes held for a setup file of " << setupSize;
}

// A CE cabinet with `rows` rows in every setup table, in the memory file
// system while the object lives.
struct CeCabinetInMemory {
    explicit CeCabinetInMemory(uint16_t rows)
        : setup(SetupOfRows(rows)), setupSize(fixture::BuildSetupFile(setup).size()) {
        fs.files[path] = fixture::BuildCeCabinet(setup, {{"F0001.001", fixture::BytesOf("x")}});
    }
    fixture::CeSetup setup;
    size_t setupSize;
    memio::MemoryFs fs;
    memio::Installed installed{fs};
    const std::string path = "/nonexistent-mirad-memfs/ce.cab";
};

// The peak of allocations while `run` runs, the module's counted ones
// included (the counting allocator never subtracts what is freed).
template <class Run>
long long PeakWhile(Run run) {
    const long long before = ResetPeak();
    const int32_t counted = mirad::AllocatedTotal();
    run();
    return g_peak.load() - before + (mirad::AllocatedTotal() - counted);
}

// Removing an installed file rewrites the setup file from its bytes: the
// peak is the tables as opened, the old and the new setup file and the new
// cabinet, with no copy of the records or of the listed names.
TEST(MemoryBound, RemovingAnInstalledFileHoldsNoCopyOfTheRecords) {
    const uint16_t rows = 20000;
    CeCabinetInMemory ce(rows);
    const std::string& path = ce.path;
    const mirad::Settings saved = *mirad::PublishedSettings();
    mirad::Settings settings = mirad::BuiltInSettings();
    settings.ExpandPath = 1;
    settings.ExpandCE = 0;
    settings.EditInstallation = 1;
    mirad::PublishSettings(settings);
    // An installed file no shortcut points at (they point at the first
    // copy-file of each number), as the view lists it.
    std::string name;
    {
        mirad::ArchiveSession session;
        ASSERT_FALSE(session.Open(path.c_str()));
        mirad::ListedEntry entry;
        for (int i = 0; i <= 1500 && session.ListNext(settings, &entry); ++i) name = entry.name;
    }
    const std::vector<mirad::ListName> list = {mirad::Listed(name.c_str())};
    mirad::Error e;
    const long long peak = PeakWhile([&] { e = mirad::DeleteFromCabinet(path.c_str(), list); });
    mirad::PublishSettings(saved);
    ASSERT_FALSE(e) << name;
    const long long cabinet = static_cast<long long>(ce.fs.files[path].size());
    EXPECT_LE(peak, 2LL * static_cast<long long>(ce.setupSize) + 5LL * 48 * rows + cabinet + (1 << 20))
        << peak << " bytes at the peak for a setup file of " << ce.setupSize;
}

// Copying an edited registry export back reads the document and both
// exports entry by entry: the peak is the tables as opened, the document,
// the old and the new setup file and the new cabinet, with no parsed copy
// of an export.
TEST(MemoryBound, CopyingBackARegistryExportHoldsNoParsedCopyOfIt) {
    const uint16_t rows = 20000;
    CeCabinetInMemory ce(rows);
    const std::string& path = ce.path;
    const std::string dir = "/nonexistent-mirad-memfs/edited/";
    auto exported = [&path]() {
        mirad::Cabinet cabinet;
        std::unique_ptr<mirad::CeSetup> setup;
        std::string text;
        if (mirad::ReadCeCabinet(mirad::IoHandle(mirad::IoOpen(path.c_str(), mirad::IoMode::Read)), &cabinet, &setup) ||
            !setup)
            return text;
        mirad::TextWriter out;
        out.text = &text;
        mirad::DocumentSource source{"", cabinet, *setup, mirad::BuiltInSettings()};
        if (mirad::RenderRegistryExport(source, out)) text.clear();
        mirad::TextFlush(out);
        return text;
    };
    std::string edited = exported();
    const std::string from = "\"v777\"=dword:0x00000001";
    ASSERT_NE(edited.find(from), std::string::npos);
    edited.replace(edited.find(from), from.size(), "\"v777\"=dword:0x00000002");
    ce.fs.files[dir + "~Cab~.REG"] = fixture::Bytes(edited.begin(), edited.end());
    const mirad::Settings saved = *mirad::PublishedSettings();
    mirad::Settings settings = mirad::BuiltInSettings();
    settings.EditInstallation = 1;
    mirad::PublishSettings(settings);
    mirad::Error e;
    const long long peak = PeakWhile([&] {
        e = mirad::PackFilesInto(
            path.c_str(), "", dir.c_str(), {mirad::Listed("~Cab~.REG")}, false, mirad::ProgressCallback(),
            [](const std::string& name) { return mirad::FindGeneratedDocument(name) != nullptr; },
            mirad::RebuildFromDocument);
    });
    mirad::PublishSettings(saved);
    ASSERT_FALSE(e);
    EXPECT_EQ(exported(), edited);
    const long long cabinet = static_cast<long long>(ce.fs.files[path].size());
    EXPECT_LE(peak, 2LL * static_cast<long long>(ce.setupSize) + 5LL * 48 * rows + cabinet +
                        static_cast<long long>(edited.size()) + (1 << 20))
        << peak << " bytes at the peak for a setup file of " << ce.setupSize << " and a document of " << edited.size();
}

}  // namespace
