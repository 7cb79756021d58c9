// Two archives listed and extracted on two threads while a third rewrites
// the settings file and reloads it. Built and run under ThreadSanitizer as
// well (scripts/test.sh), which must report no race.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>
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

}  // namespace
