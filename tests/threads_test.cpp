// Two archives listed and extracted on two threads while a third rewrites
// the settings file and reloads it; extraction, two packs and browsing at
// once, as a host that works in the background does. Built and run under
// ThreadSanitizer as well (scripts/test.sh), which must report no race.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "interface/exports.h"
#include "support/paths.h"
#include "support/settings.h"
#include "tests/fixture.h"

namespace {

using fixture::TempDir;

struct Listing {
    std::vector<std::string> names;
    std::vector<int32_t> results;  // ProcessFile, per entry
    int32_t openCode = -1;
    int32_t endCode = -1;
};

// Lists `cabinet` in process and extracts every entry into `out` + index.
Listing ListAndExtract(const std::string& cabinet, const std::string& out) {
    Listing l;
    std::string name = cabinet;
    OpenRequest request;
    std::memset(&request, 0, sizeof request);
    request.archiveName = &name[0];
    void* handle = ::OpenArchive(&request);
    l.openCode = request.openResult;
    if (!handle) return l;
    EntryHeader header;
    for (int i = 0; i < 1000; ++i) {
        std::memset(&header, 0, sizeof header);
        int32_t r = ::ReadHeader(handle, &header);
        if (r != MIRAD_OK) {
            l.endCode = r;
            break;
        }
        l.names.push_back(header.fileName);
        std::string dest = out + std::to_string(i);
        l.results.push_back(::ProcessFile(handle, MIRAD_EXTRACT, nullptr, &dest[0]));
    }
    ::CloseArchive(handle);
    return l;
}

class Threads : public ::testing::Test {
protected:
    void SetUp() override { mirad::ResetSettings(); }
    void TearDown() override { mirad::ResetSettings(); }
};

TEST_F(Threads, TwoArchivesListAndExtractWhileTheSettingsAreReloaded) {
    TempDir dir;
    const std::string ini = dir / "Mirad.ini";
    const std::string ce = dir / "game.cab", plain = dir / "plain.cab";
    fixture::WriteFile(ce, fixture::GameCabinet());
    fixture::WriteFile(plain, fixture::BuildCabinet({{"a.txt", fixture::Pattern(5000, 1)},
                                                     {"sub/b.bin", fixture::Pattern(70000, 2)},
                                                     {"c.dat", fixture::Pattern(10, 3)}}));
    // Two settings files: every CE option on with one log, all off with another.
    const std::string onText = [&] {
        fixture::WriteSettings(dir.path, true, true, true, true, true, dir / "on.log");
        return fixture::ReadText(ini);
    }();
    const std::string offText = [&] {
        fixture::WriteSettings(dir.path, false, false, false, false, false, dir / "off.log");
        return fixture::ReadText(ini);
    }();

    DefaultParams params;
    std::memset(&params, 0, sizeof params);
    params.size = sizeof params;
    mirad::CopyString(params.defaultSettingsPath, sizeof params.defaultSettingsPath, ini.c_str());
    ::PackSetDefaultParams(&params);
    ASSERT_EQ(mirad::SettingsPath(), ini);

    // What each archive lists under each snapshot alone.
    std::set<std::string> allowed[2];
    size_t sizes[2][2] = {};
    int stamp = 1700000000;
    auto install = [&](const std::string& text) {
        // Replaced in one step, with a fresh write time, so a reader meets
        // either the old or the new file and always notices the change.
        std::string temp = dir / "Mirad.ini.new";
        fixture::WriteText(temp, text);
        struct timespec times[2] = {{stamp, 0}, {stamp, 0}};
        ++stamp;
        utimensat(AT_FDCWD, temp.c_str(), times, 0);
        std::rename(temp.c_str(), ini.c_str());
    };
    const std::string cabinets[2] = {ce, plain};
    for (int s = 0; s < 2; ++s) {
        install(s == 0 ? onText : offText);
        for (int c = 0; c < 2; ++c) {
            Listing l = ListAndExtract(cabinets[c], dir / "serial");
            ASSERT_EQ(l.endCode, MIRAD_END_ARCHIVE);
            sizes[c][s] = l.names.size();
            allowed[c].insert(l.names.begin(), l.names.end());
        }
    }
    // The snapshots really list differently: the CE view shows installed
    // paths, shortcuts and documents only with the options on.
    ASSERT_NE(sizes[0][0], sizes[0][1]);

    std::atomic<bool> stop{false};
    std::thread reloader([&] {
        for (int i = 0; !stop; ++i) {
            install(i % 2 ? onText : offText);
            mirad::LoadSettings();
        }
    });
    const int rounds = 15;
    std::vector<Listing> results[2];
    std::vector<std::thread> viewers;
    for (int c = 0; c < 2; ++c) {
        viewers.emplace_back([&, c] {
            std::string out = dir / ("t" + std::to_string(c) + "-");
            for (int r = 0; r < rounds; ++r) results[c].push_back(ListAndExtract(cabinets[c], out));
        });
    }
    for (std::thread& t : viewers) t.join();
    stop = true;
    reloader.join();

    for (int c = 0; c < 2; ++c) {
        ASSERT_EQ(results[c].size(), static_cast<size_t>(rounds));
        for (const Listing& l : results[c]) {
            EXPECT_EQ(l.openCode, MIRAD_OK);
            EXPECT_EQ(l.endCode, MIRAD_END_ARCHIVE);
            // Each entry is one that one of the snapshots lists, none twice.
            std::set<std::string> seen;
            for (const std::string& name : l.names) {
                EXPECT_TRUE(allowed[c].count(name)) << cabinets[c] << ": " << name;
                EXPECT_TRUE(seen.insert(name).second) << cabinets[c] << ": " << name << " twice";
            }
            for (int32_t r : l.results) EXPECT_EQ(r, MIRAD_OK) << cabinets[c];
        }
    }
}

// What each progress callback heard: bytes per name.
struct Heard {
    std::mutex lock;
    std::map<std::string, uint64_t> bytes;
};
Heard g_heard[3];
template <int N>
int MIRAD_CALL Hear(char* name, int32_t size) {
    std::lock_guard<std::mutex> hold(g_heard[N].lock);
    g_heard[N].bytes[name] += static_cast<uint64_t>(size);
    return 1;
}

uint64_t Total(const std::map<std::string, uint64_t>& bytes) {
    uint64_t sum = 0;
    for (const auto& [name, count] : bytes) sum += count;
    return sum;
}

// One thread extracts a cabinet, two pack others (each setting its own
// callback on its own thread, as a host that packs in the background does)
// and one browses a fourth, all at once: each callback hears only its own
// thread's work, and every result is what it is alone.
TEST_F(Threads, ExtractPackAndBrowseAtOnceWithACallbackPerThread) {
    EXPECT_EQ(::GetBackgroundFlags(), MIRAD_BACKGROUND_UNPACK | MIRAD_BACKGROUND_PACK);
    TempDir dir;
    const std::vector<fixture::StoredFile> files = {{"big.bin", fixture::Pattern(3 << 20, 1)},
                                                    {"small.txt", fixture::Pattern(100, 2)}};
    const std::string extracted = dir / "x.cab", browsed = dir / "game.cab";
    fixture::WriteFile(extracted, fixture::BuildCabinet(files));
    fixture::WriteFile(browsed, fixture::GameCabinet());
    const std::string sources[2] = {dir / "a/", dir / "b/"};
    for (int p = 0; p < 2; ++p) {
        std::filesystem::create_directories(sources[p]);
        for (int f = 0; f < 3; ++f)
            fixture::WriteFile(sources[p] + std::to_string(f) + ".dat", fixture::Pattern(200000 * (p + 1), 10 * p + f));
    }
    for (Heard& h : g_heard) h.bytes.clear();
    const Listing alone = ListAndExtract(browsed, dir / "serial-");

    const int rounds = 4;
    std::atomic<int> ready{0};
    auto startTogether = [&ready] {
        ++ready;
        while (ready < 4) std::this_thread::yield();
    };
    std::vector<int32_t> extractResults, packResults[2];
    std::vector<Listing> browsing;
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        startTogether();
        for (int r = 0; r < rounds; ++r) {
            std::string name = extracted;
            OpenRequest request;
            std::memset(&request, 0, sizeof request);
            request.archiveName = &name[0];
            void* handle = ::OpenArchive(&request);
            if (!handle) {
                extractResults.push_back(request.openResult);
                continue;
            }
            ::SetProcessDataProc(handle, Hear<0>);
            EntryHeader header;
            for (int i = 0; ::ReadHeader(handle, &header) == MIRAD_OK; ++i) {
                std::string out = dir / ("x-" + std::to_string(r) + "-" + std::to_string(i));
                extractResults.push_back(::ProcessFile(handle, MIRAD_EXTRACT, nullptr, &out[0]));
            }
            ::CloseArchive(handle);
        }
    });
    for (int p = 0; p < 2; ++p) {
        threads.emplace_back([&, p] {
            ::SetProcessDataProc(MIRAD_PACK_HANDLE, p == 0 ? Hear<1> : Hear<2>);
            startTogether();
            for (int r = 0; r < rounds; ++r) {
                std::string cab = dir / ("new" + std::to_string(p) + "-" + std::to_string(r) + ".cab");
                std::string source = sources[p];
                std::string list = std::string("0.dat") + '\0' + "1.dat" + '\0' + "2.dat" + '\0' + '\0';
                packResults[p].push_back(::PackFiles(&cab[0], nullptr, &source[0], &list[0], 0));
            }
        });
    }
    threads.emplace_back([&] {
        startTogether();
        for (int r = 0; r < rounds; ++r) browsing.push_back(ListAndExtract(browsed, dir / "b-"));
    });
    for (std::thread& t : threads) t.join();

    EXPECT_EQ(extractResults, std::vector<int32_t>(rounds * files.size(), MIRAD_OK));
    EXPECT_EQ(g_heard[0].bytes.size(), files.size());
    for (const auto& f : files) EXPECT_EQ(g_heard[0].bytes[f.name], rounds * f.data.size()) << f.name;
    for (int p = 0; p < 2; ++p) {
        EXPECT_EQ(packResults[p], std::vector<int32_t>(rounds, MIRAD_OK));
        // Only this thread's sources, each once per round.
        const auto& heard = g_heard[1 + p].bytes;
        EXPECT_EQ(heard.size(), 3u) << p;
        for (int f = 0; f < 3; ++f) {
            auto it = heard.find(sources[p] + std::to_string(f) + ".dat");
            ASSERT_NE(it, heard.end()) << p << " " << f;
            EXPECT_EQ(it->second, rounds * 200000u * (p + 1)) << it->first;
        }
        EXPECT_EQ(Total(heard), rounds * 3 * 200000u * (p + 1));
        Listing packed = ListAndExtract(dir / ("new" + std::to_string(p) + "-0.cab"), dir / "check-");
        EXPECT_EQ(packed.names, (std::vector<std::string>{"0.dat", "1.dat", "2.dat"}));
    }
    ASSERT_EQ(browsing.size(), static_cast<size_t>(rounds));
    for (const Listing& l : browsing) {
        EXPECT_EQ(l.names, alone.names);
        EXPECT_EQ(l.results, alone.results);
    }
}

}  // namespace
