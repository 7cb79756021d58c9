// Changing real CE cabinets through the view a host shows: replacing what a
// view lists, adding files where the view puts them, and the refusals, each
// checked against every stored entry before and after (names, dates,
// attributes, bytes) and against the peers' readers.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/fixture.h"

using namespace fixture;

namespace {

const char kStoredCab[] = "sdk__Sample.PPC_MIPS.CAB";  // stored folders
const char kMszipCab[] = "nsb__App.WM.CAB";            // MSZIP folders

// The view options, the documents listed too, and EditInstallation (absent
// when off: the key's absence is what most files have).
void Configure(ModuleEnv& env, bool ce, bool path, bool edit, bool documents = false) {
    std::string ini = "[CONFIGURATION]\nExpandCE=" + std::to_string(ce) + "\nExpandPath=" + std::to_string(path) +
                      "\nShowShortcuts=" + std::to_string(documents) + "\nShowRegistry=" + std::to_string(documents) +
                      "\nShowInfFile=" + std::to_string(documents) + "\n";
    if (edit) ini += "EditInstallation=1\n";
    WriteText(env.m.directory() + "/Mirad.ini", ini);
    env.m.SetSettingsDir(env.m.directory());
}

struct StoredEntry {
    Entry entry;
    Bytes bytes;
};

// Every stored file as the stored view lists and extracts it, in order.
std::vector<std::pair<std::string, StoredEntry>> StoredState(ModuleEnv& env, const std::string& cab) {
    Configure(env, false, false, false);
    static int run = 0;
    std::string out = env.dir / ("state" + std::to_string(run++));
    std::vector<std::pair<std::string, StoredEntry>> state;
    for (const auto& r : ExtractAll(env.m, cab, out)) EXPECT_EQ(r.second, 0) << r.first;
    for (const Entry& e : List(env.m, cab)) state.push_back({e.name, {e, ReadFile(out + "/" + e.name)}});
    return state;
}

bool SameRecord(const Entry& a, const Entry& b) {
    return a.name == b.name && a.fileTime == b.fileTime && a.attributes == b.attributes;
}

// Calls PackFiles as a file manager does: the directory the user is in as
// the sub-path, the file's name in the list.
int32_t CopyInto(ModuleEnv& env, const std::string& cab, const std::string& listed, const Bytes& data) {
    size_t slash = listed.rfind('/');
    std::string sub = slash == std::string::npos ? "" : listed.substr(0, slash);
    std::string name = listed.substr(slash == std::string::npos ? 0 : slash + 1);
    std::string src = env.dir / "src/";
    std::filesystem::create_directories(src);
    WriteFile(src + name, data);
    std::string path = cab, list = name + '\0' + '\0';
    return env.m.PackFiles(&path[0], sub.empty() ? nullptr : &sub[0], &src[0], &list[0], 0);
}

std::vector<int32_t> g_sizes;  // what the packing callback heard
int MIRAD_CALL RecordSize(char*, int32_t size) {
    g_sizes.push_back(size);
    return 1;
}

#define SKIP_WITHOUT_CORPUS()                                                                  \
    const std::string corpus = CorpusDir();                                                    \
    if (corpus.empty()) GTEST_SKIP() << "the shared corpus is absent";                         \
    const std::string realCe = corpus + "/real-ce/"

}  // namespace

// Whatever a view lists can be written back: the destination with macros,
// the expanded device path, the stored name. Only that stored file changes.
TEST(Edit, ReplacesWhatEachViewLists) {
    SKIP_WITHOUT_CORPUS();
    struct Row {
        const char* cabinet;
        bool ce, path;
    };
    const Row rows[] = {{kStoredCab, true, true}, {kStoredCab, false, true}, {kStoredCab, false, false},
                        {kMszipCab, true, true},  {kMszipCab, false, true},  {kMszipCab, false, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.cabinet) + (row.path ? row.ce ? " expanded" : " macros" : " stored"));
        ModuleEnv env;
        const std::string cab = env.Cab("c.cab", ReadFile(realCe + row.cabinet));
        const auto before = StoredState(env, cab);
        const uint16_t method = FirstFolderMethod(ReadFile(cab));
        Configure(env, row.ce, row.path, false);
        // An installed file, or in the stored view the last stored file.
        const std::vector<Entry> listed = List(env.m, cab);
        ASSERT_GT(listed.size(), 1u);
        const std::string target = row.path ? listed.front().name : listed.back().name;
        const Bytes data = Pattern(40000, 7);
        ASSERT_EQ(CopyInto(env, cab, target, data), 0) << target;

        const auto after = StoredState(env, cab);
        ASSERT_EQ(after.size(), before.size());
        int changed = 0;
        for (size_t i = 0; i < before.size(); ++i) {
            EXPECT_TRUE(SameRecord(after[i].second.entry, before[i].second.entry)) << before[i].first;
            if (after[i].second.bytes == before[i].second.bytes) continue;
            ++changed;
            EXPECT_EQ(after[i].second.bytes, data) << before[i].first;
        }
        EXPECT_EQ(changed, 1);
        Configure(env, row.ce, row.path, false);
        EXPECT_EQ(List(env.m, cab).front().name, listed.front().name);
        EXPECT_EQ(FirstFolderMethod(ReadFile(cab)), method);
        EXPECT_EQ(PeerComplaints(cab), "");
    }
}

// Each refusal leaves the cabinet as it was, byte for byte.
TEST(Edit, RefusalsChangeNothing) {
    SKIP_WITHOUT_CORPUS();
    struct Row {
        const char* what;
        bool ce, path, edit;
        const char* listed;
        bool remove = false;
    };
    const Row rows[] = {
        {"removing with EditInstallation absent", true, true, false, "Windows/BJ Sample Win Game.wav", true},
        {"removing a shortcut's target", true, true, true, "Program Files/Games/Blackjack Sample/Blackjack.exe", true},
        {"removing the setup file", false, false, true, "SAFDCB~1.000", true},
        {"removing a document", true, true, true, "~Cab~.REG", true},
        {"removing a name not listed", true, true, true, "Windows/nothing.txt", true},
        {"a new name with EditInstallation absent", true, true, false, "Program Files/Games/Blackjack Sample/new.txt"},
        {"a device path while macros are shown", false, true, true, "Program Files/Games/Blackjack Sample/Blackjack.exe"},
        {"the setup file", false, false, true, "SAFDCB~1.000"},
        {"a shortcut's name", true, true, true, "Windows/Desktop/Blackjack Sample Folder.lnk"},
        {"a path no macro covers", true, true, true, "Elsewhere/new.txt"},
        {"a macro beyond the table", false, true, true, "%CE99%/new.txt"},
        {"a new installed file at an installed file's device path", false, true, true,
         "%CE8%/Blackjack Sample/Blackjack.exe"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ModuleEnv env;
        const Bytes original = ReadFile(realCe + kStoredCab);
        const std::string cab = env.Cab("c.cab", original);
        Configure(env, row.ce, row.path, row.edit);
        std::string list = std::string(row.listed) + '\0' + '\0', path = cab;
        EXPECT_EQ(row.remove ? env.m.DeleteFiles(&path[0], &list[0]) : CopyInto(env, cab, row.listed, BytesOf("new")),
                  MIRAD_NOT_SUPPORTED);
        EXPECT_EQ(ReadFile(cab), original);
    }
}

// A name no view lists, with EditInstallation on: installed below the
// directory that covers it (the longest: %CE15% before %CE2%), or, in the
// stored view and in a plain cabinet, stored as it is and not installed.
// Every stored entry before it keeps its record and bytes (the setup file's
// bytes change when a file is installed), the registry export stays, and
// the INF lists the new file.
TEST(Edit, AddsWhereTheViewPutsIt) {
    SKIP_WITHOUT_CORPUS();
    struct Row {
        const char* cabinet;
        bool ce, path;
        const char* copied;     // as the host hands it in
        const char* installed;  // as the macro view lists it afterwards, or "" when not installed
        const char* stored;     // the new stored name
    };
    const Row rows[] = {
        {kStoredCab, true, true, "Windows/Fonts/new.ttf", "%CE15%/new.ttf", "00000new.008"},
        {kStoredCab, false, true, "%InstallDir%/extra/Read Me.txt", "%InstallDir%/extra/Read Me.txt", "00ReadMe.008"},
        {kMszipCab, true, true, "Program Files/MyCo/data/new.dat", "%InstallDir%/MyCo/data/new.dat", "00000new.005"},
        {kMszipCab, false, false, "notes.txt", "", "notes.txt"},
        {"sdk__Certs.cab", true, true, "extra.txt", "", "extra.txt"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.cabinet) + " " + row.copied);
        ModuleEnv env;
        const std::string cab = env.Cab("c.cab", ReadFile(realCe + row.cabinet));
        const auto before = StoredState(env, cab);
        const uint16_t method = FirstFolderMethod(ReadFile(cab));
        const bool ce = row.cabinet != std::string("sdk__Certs.cab");
        if (ce) {
            Configure(env, false, true, false, true);
            for (const auto& r : ExtractAll(env.m, cab, env.dir / "before")) EXPECT_EQ(r.second, 0);
        }
        Configure(env, row.ce, row.path, true);
        const Bytes data = Pattern(70000, 3);
        ASSERT_EQ(CopyInto(env, cab, row.copied, data), 0);

        const auto after = StoredState(env, cab);
        ASSERT_EQ(after.size(), before.size() + 1);
        for (size_t i = 0; i < before.size(); ++i) {
            EXPECT_TRUE(SameRecord(after[i].second.entry, before[i].second.entry)) << before[i].first;
            if (i > 0 || !*row.installed) {
                EXPECT_EQ(after[i].second.bytes, before[i].second.bytes) << before[i].first;
            }
        }
        EXPECT_EQ(after.back().first, row.stored);
        EXPECT_EQ(after.back().second.bytes, data);
        EXPECT_EQ(FirstFolderMethod(ReadFile(cab)), method);
        EXPECT_EQ(PeerComplaints(cab), "");
        if (!ce) continue;

        Configure(env, false, true, false, true);
        for (const auto& r : ExtractAll(env.m, cab, env.dir / "after")) EXPECT_EQ(r.second, 0) << r.first;
        const auto was = FilesBelow(env.dir / "before"), is = FilesBelow(env.dir / "after");
        EXPECT_EQ(is.at("~Cab~.REG"), was.at("~Cab~.REG"));
        const std::string inf(is.at("~Cab~.INF").begin(), is.at("~Cab~.INF").end());
        if (*row.installed) {
            EXPECT_EQ(is.size(), was.size() + 1);
            EXPECT_EQ(is.at(row.installed), data);
            const std::string name = std::string(row.installed).substr(std::string(row.installed).rfind('/') + 1);
            EXPECT_NE(inf.find("\"" + name + "\""), std::string::npos) << inf;
        } else {
            EXPECT_EQ(is.size(), was.size());
            EXPECT_EQ(inf.find(row.stored), std::string::npos);
        }
    }
}

// F8 in the view: an installed file goes with its stored file, a shortcut
// with its row, a directory with everything the view lists below it, a
// stored file the setup file does not install alone. Nothing else changes.
TEST(Edit, RemovesWhatTheViewLists) {
    SKIP_WITHOUT_CORPUS();
    struct Row {
        const char* cabinet;
        bool ce, path;
        const char* removed;
        size_t storedGone;  // stored files removed
    };
    const Row rows[] = {
        {kStoredCab, true, true, "Program Files/Games/Blackjack Sample/Blackjack SelfReg.dll", 1},
        {kStoredCab, true, true, "Windows/Desktop/Blackjack Sample Folder.lnk", 0},
        {kStoredCab, false, true, "%CE2%/*.*", 3},
        {kMszipCab, true, true, "Windows/vbscript.dll", 1},
        {kMszipCab, false, false, "_setup.xml", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.cabinet) + " " + row.removed);
        ModuleEnv env;
        const std::string cab = env.Cab("c.cab", ReadFile(realCe + row.cabinet));
        const auto before = StoredState(env, cab);
        Configure(env, row.ce, row.path, true, true);
        const std::vector<Entry> listed = List(env.m, cab);
        std::string path = cab, list = std::string(row.removed) + '\0' + '\0';
        g_sizes.clear();
        env.m.SetProcessDataProc(MIRAD_PACK_HANDLE, RecordSize);
        ASSERT_EQ(env.m.DeleteFiles(&path[0], &list[0]), 0);
        env.m.SetProcessDataProc(MIRAD_PACK_HANDLE, nullptr);
        // Progress of the rewrite in percent (a byte count would be measured
        // against the selection, which is not what is written), up to 100.
        ASSERT_FALSE(g_sizes.empty());
        for (int32_t size : g_sizes) EXPECT_TRUE(size >= -100 && size <= 0) << size;
        EXPECT_EQ(g_sizes.back(), -100);

        // The view lists the rest, in order; the removed name no more.
        std::string removed = row.removed, dir;
        if (removed.size() > 4 && removed.compare(removed.size() - 4, 4, "/*.*") == 0) dir = removed.substr(0, removed.size() - 3);
        std::vector<std::string> rest;
        for (const Entry& e : listed)
            if (e.name != removed && (dir.empty() || e.name.compare(0, dir.size(), dir) != 0)) rest.push_back(e.name);
        EXPECT_EQ(env.Names(cab), rest);

        const auto after = StoredState(env, cab);
        ASSERT_EQ(after.size() + row.storedGone, before.size());
        size_t j = 0;
        for (size_t i = 0; i < before.size() && j < after.size(); ++i) {
            if (before[i].first != after[j].first) continue;  // removed
            EXPECT_TRUE(SameRecord(after[j].second.entry, before[i].second.entry)) << before[i].first;
            if (i > 0 || !row.path) {
                EXPECT_EQ(after[j].second.bytes, before[i].second.bytes) << before[i].first;
            }
            ++j;
        }
        EXPECT_EQ(j, after.size());
        EXPECT_EQ(PeerComplaints(cab), "");
    }
}
