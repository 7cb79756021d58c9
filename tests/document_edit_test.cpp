// Copying an edited "~Cab~.REG" back into real CE cabinets (stored and
// MSZIP) through PackFiles, as a file manager does: the cabinet exports the
// edited text again, every stored file but the setup file keeps its record
// and bytes, peers still read it; refusals leave it byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/fixture.h"

using namespace fixture;

namespace {

void Configure(ModuleEnv& env, bool edit, const std::string& log = "") {
    WriteSettings(env.m.directory(), true, true, true, true, true, log);
    if (edit) WriteText(env.m.directory() + "/Mirad.ini", ReadText(env.m.directory() + "/Mirad.ini") + "EditInstallation=1\n");
    env.m.SetSettingsDir(env.m.directory());
}

// Every entry of the installed view with its bytes, by name.
std::map<std::string, Bytes> Extracted(ModuleEnv& env, const std::string& cab) {
    static int run = 0;
    std::string out = env.dir / ("x" + std::to_string(run++));
    for (const auto& r : ExtractAll(env.m, cab, out)) EXPECT_EQ(r.second, 0) << r.first;
    return FilesBelow(out);
}

// The stored files as the stored view lists them, records and bytes.
std::vector<std::string> StoredRecords(ModuleEnv& env, const std::string& cab) {
    WriteSettings(env.m.directory(), false, false, false, false, false);
    env.m.SetSettingsDir(env.m.directory());
    std::map<std::string, Bytes> bytes = Extracted(env, cab);
    std::vector<std::string> records;
    for (const Entry& e : List(env.m, cab)) {
        const Bytes& b = bytes[e.name];
        records.push_back(e.name + " " + std::to_string(e.fileTime) + " " + std::to_string(e.attributes) + " " +
                          std::string(b.begin(), b.end()));
    }
    return records;
}

int32_t CopyBack(ModuleEnv& env, const std::string& cab, const std::vector<std::pair<std::string, std::string>>& files) {
    std::string src = env.dir / "src/", list;
    std::filesystem::create_directories(src);
    for (const auto& f : files) {
        WriteText(src + f.first, f.second);
        list += f.first + '\0';
    }
    list += '\0';
    std::string path = cab;
    return env.m.PackFiles(&path[0], nullptr, &src[0], &list[0], 0);
}

struct Corpus {
    const char* cabinet;
    const char* from;  // a line of its export, and what it is edited to
    const char* to;
};
const Corpus kCabinets[] = {
    {"sdk__Sample.PPC_MIPS.CAB", "\"DefaultPlayer\"=\"John Smith\"", "\"DefaultPlayer\"=\"Jane Roe\""},
    {"nsb__App.WM.CAB", "\"Default\"=\"VBScript\"", "\"Default\"=\"VBScript 5.7\""},
};
// A copy of a corpus cabinet, and what it held before an edit: its bytes,
// its stored records, and every entry of the full view with editing on.
struct Edited {
    explicit Edited(const char* cabinet)
        : cab(env.Cab("t.cab", ReadFile(CorpusDir() + "/real-ce/" + cabinet))),
          original(ReadFile(cab)),
          storedBefore(StoredRecords(env, cab)) {
        Configure(env, true);
        before = Extracted(env, cab);
    }
    ModuleEnv env;
    std::string cab;
    Bytes original;
    std::vector<std::string> storedBefore;
    std::map<std::string, Bytes> before;
};

// Compressed stays compressed, and the peers read what was written.
void ExpectWrittenAsBefore(const Edited& e) {
    EXPECT_EQ(FirstFolderMethod(ReadFile(e.cab)), FirstFolderMethod(e.original));
    EXPECT_EQ(PeerComplaints(e.cab), "");
}

const char kNewKey[] = "\r\n[HKLM\\Software\\Mirad Test]\r\n\"Server\"=\"cabs.example.org\"\r\n\"Port\"=dword:0x00000050\r\n";

TEST(DocumentEdit, EditedRegistryExportComesBackExactly) {
    if (CorpusDir().empty()) GTEST_SKIP() << "third-party corpus not present";
    for (const Corpus& c : kCabinets) {
        SCOPED_TRACE(c.cabinet);
        Edited e(c.cabinet);
        ModuleEnv& env = e.env;
        const std::string& cab = e.cab;
        std::map<std::string, Bytes>& before = e.before;
        const Bytes& reg = before["~Cab~.REG"];
        std::string edited(reg.begin(), reg.end());
        size_t at = edited.find(c.from);
        ASSERT_NE(at, std::string::npos);
        edited.replace(at, std::strlen(c.from), c.to);
        edited += kNewKey;

        ASSERT_EQ(CopyBack(env, cab, {{"~Cab~.REG", edited}}), 0);
        std::map<std::string, Bytes> after = Extracted(env, cab);
        EXPECT_EQ(std::string(after["~Cab~.REG"].begin(), after["~Cab~.REG"].end()), edited);
        // The INF changes in its registry section only; every installed file stays.
        auto head = [](const Bytes& inf) {
            std::string t(inf.begin(), inf.end());
            return t.substr(0, t.find("[RegEntries]"));
        };
        EXPECT_EQ(head(after["~Cab~.INF"]), head(before["~Cab~.INF"]));
        for (const auto& f : before) {
            if (f.first == "~Cab~.REG" || f.first == "~Cab~.INF") continue;
            EXPECT_EQ(after[f.first], f.second) << f.first;
        }
        EXPECT_EQ(after.size(), before.size());
        std::vector<std::string> storedAfter = StoredRecords(env, cab);
        ASSERT_EQ(storedAfter.size(), e.storedBefore.size());
        for (size_t i = 1; i < e.storedBefore.size(); ++i) EXPECT_EQ(storedAfter[i], e.storedBefore[i]);
        ExpectWrittenAsBefore(e);
    }
}

TEST(DocumentEdit, RefusedRegistryExportsChangeNothing) {
    if (CorpusDir().empty()) GTEST_SKIP() << "third-party corpus not present";
    for (const Corpus& c : kCabinets) {
        SCOPED_TRACE(c.cabinet);
        Edited e(c.cabinet);
        std::string reg(e.before["~Cab~.REG"].begin(), e.before["~Cab~.REG"].end());
        struct Case {
            const char* what;
            bool edit;
            std::vector<std::pair<std::string, std::string>> files;
            int32_t code;
            std::string logged;  // a line the log must hold
        } cases[] = {
            {"EditInstallation off", false, {{"~Cab~.REG", reg + kNewKey}}, MIRAD_NOT_SUPPORTED, ""},
            {"a comment", true, {{"~Cab~.REG", reg + "; a note\r\n"}}, MIRAD_BAD_DATA,
             "~Cab~.REG:" + std::to_string(std::count(reg.begin(), reg.end(), '\n') + 1) +
                 ": a comment cannot be kept"},
            {"with another file", true, {{"~Cab~.REG", reg + kNewKey}, {"extra.txt", "x"}}, MIRAD_NOT_SUPPORTED,
             "Not changed: ~Cab~.REG is copied with other files"},
        };
        for (const Case& k : cases) {
            SCOPED_TRACE(k.what);
            std::string log = e.env.dir / "log.txt";
            std::filesystem::remove(log);
            Configure(e.env, k.edit, log);
            EXPECT_EQ(CopyBack(e.env, e.cab, k.files), k.code);
            EXPECT_EQ(ReadFile(e.cab), e.original);
            if (!k.logged.empty()) {
                EXPECT_NE(ReadText(log).find(k.logged), std::string::npos) << ReadText(log);
            }
        }
    }
}

}  // namespace

namespace {

std::string Cut(std::string& text, size_t from, size_t to) {
    std::string part = text.substr(from, to - from);
    text.erase(from, to - from);
    return part;
}

// The INF edited three ways at once: the application and the first
// shortcut renamed, a file Extra.txt installed beside the first source,
// the second source no longer installed. *sourceDir: where Extra.txt is read.
std::string EditInf(std::string inf, std::string* sourceDir, std::string* removed) {
    size_t at = inf.find("AppName     = \"");
    at = inf.find('"', at + 16);
    inf.insert(at, " Deluxe");
    at = inf.find("\r\n", inf.find("\r\n[Shortcuts]\r\n") + 2) + 2;
    inf.insert(inf.find(',', at), " 2");
    size_t files = inf.find("[SourceDisksFiles]\r\n") + 20;
    size_t end = inf.find("\r\n", files) + 2;
    std::string first = inf.substr(files, end - files);  // "NAME" = ID
    std::string name = first.substr(1, first.find('"', 1) - 1), id = first.substr(first.rfind(' ') + 1);
    id.resize(id.size() - 2);
    inf.insert(end, "\"Extra.txt\" = " + id + "\r\n");
    size_t second = inf.find("\r\n", end) + 2;
    std::string line = Cut(inf, second, inf.find("\r\n", second) + 2);
    *removed = line.substr(1, line.find('"', 1) - 1);
    size_t copy = inf.find("\r\n\"" + name + "\",\"") + 2;
    inf.insert(inf.find("\r\n", copy) + 2, "\"Extra.txt\",\"Extra.txt\",,0x00000000\r\n");
    size_t gone = inf.find("\r\n\"" + *removed + "\",\"") + 2;
    Cut(inf, gone, inf.find("\r\n", gone) + 2);
    size_t dir = inf.find("\r\n" + id + " = ,,,\"") + id.size() + 9;
    *sourceDir = inf.substr(dir, inf.find('"', dir) - dir);
    for (char& c : *sourceDir) c = c == '\\' ? '/' : c;
    return inf;
}

TEST(DocumentEdit, EditedInfRebuildsTheSetupAndComesBackExactly) {
    if (CorpusDir().empty()) GTEST_SKIP() << "third-party corpus not present";
    for (const Corpus& c : kCabinets) {
        SCOPED_TRACE(c.cabinet);
        Edited e(c.cabinet);
        ModuleEnv& env = e.env;
        const std::string& cab = e.cab;
        const Bytes& original = e.original;
        std::map<std::string, Bytes>& before = e.before;
        std::string sourceDir, removed;
        const Bytes& inf = before["~Cab~.INF"];
        std::string edited = EditInf(std::string(inf.begin(), inf.end()), &sourceDir, &removed);
        std::string src = env.dir / "src/";
        std::filesystem::create_directories(src + sourceDir);
        WriteText(src + sourceDir + "/Extra.txt", "an extra file\n");

        // A source that is nowhere: refused, nothing changed.
        std::string missing = edited;
        missing.replace(missing.find("\"Extra.txt\" = "), 11, "\"Nowhere.txt");
        missing.replace(missing.find("\"Extra.txt\",\"Extra.txt\""), 23, "\"Nowhere.txt\",\"Nowhere.txt\"");
        EXPECT_EQ(CopyBack(env, cab, {{"~Cab~.INF", missing}}), MIRAD_BAD_DATA);
        EXPECT_EQ(ReadFile(cab), original);

        ASSERT_EQ(CopyBack(env, cab, {{"~Cab~.INF", edited}}), 0);
        std::map<std::string, Bytes> after = Extracted(env, cab);
        EXPECT_EQ(std::string(after["~Cab~.INF"].begin(), after["~Cab~.INF"].end()), edited);
        EXPECT_EQ(after["~Cab~.REG"], before["~Cab~.REG"]);
        size_t added = 0, gone = 0;
        for (const auto& f : after) {
            if (f.first.size() >= 9 && f.first.compare(f.first.size() - 9, 9, "Extra.txt") == 0) {
                ++added;
                EXPECT_EQ(std::string(f.second.begin(), f.second.end()), "an extra file\n");
            } else if (f.first.find(".lnk") == std::string::npos && f.first[0] != '~') {
                EXPECT_EQ(f.second, before[f.first]) << f.first;
            }
        }
        for (const auto& f : before)
            if (f.first.size() > removed.size() && f.first.compare(f.first.size() - removed.size(), removed.size(), removed) == 0)
                gone += after.count(f.first) == 0;
        EXPECT_EQ(added, 1u);
        EXPECT_EQ(gone, 1u);
        // Every stored file still installed keeps its record and bytes; the
        // new one follows them.
        std::vector<std::string> storedAfter = StoredRecords(env, cab);
        const std::vector<std::string>& storedBefore = e.storedBefore;
        EXPECT_EQ(storedAfter.size(), storedBefore.size());
        size_t same = 0;
        for (const std::string& r : storedAfter) same += std::count(storedBefore.begin() + 1, storedBefore.end(), r);
        EXPECT_EQ(same, storedBefore.size() - 2);
        ExpectWrittenAsBefore(e);
    }
}

}  // namespace

namespace {

// mirad update with the document: EditInstallation for the run, the
// module's line shown when the document is refused.
TEST(DocumentEdit, MiradUpdateCopiesTheDocumentBack) {
    if (CorpusDir().empty()) GTEST_SKIP() << "third-party corpus not present";
    TempDir dir;
    WriteFile(dir / "t.cab", ReadFile(CorpusDir() + "/real-ce/" + kCabinets[0].cabinet));
    ASSERT_EQ(Mirad(dir, "extract t.cab '~Cab~.REG' -d ed").status, 0);
    std::string reg = ReadText(dir / "ed/~Cab~.REG");
    WriteText(dir / "ed/~Cab~.REG", reg + kNewKey);
    CommandResult r = Mirad(dir, "update t.cab -C ed '~Cab~.REG'");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Mirad(dir, "extract t.cab '~Cab~.REG' -d -").out, reg + kNewKey);
    const Bytes edited = ReadFile(dir / "t.cab");
    WriteText(dir / "ed/~Cab~.REG", reg + "\"stray\"=\"value\r\n");
    r = Mirad(dir, "update t.cab -C ed '~Cab~.REG'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("~Cab~.REG:" + std::to_string(std::count(reg.begin(), reg.end(), '\n') + 1) +
                         ": the quoted text does not end on its line"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(ReadFile(dir / "t.cab"), edited);
}

}  // namespace
