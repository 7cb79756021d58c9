// The settings file: where it is found, its creation and exact content, the
// reload rule on the write time, and the values read back. File behaviour is
// checked through the exports of a freshly loaded module copy; values that
// the exports do not show are checked in-process.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "cabinet/context.h"
#include "interface/exports.h"
#include "support/alloc.h"
#include "support/paths.h"
#include "support/settings.h"
#include "tests/fixture.h"

namespace {

using fixture::FileExists;
using fixture::Module;
using fixture::ReadText;
using fixture::TempDir;
using fixture::WriteText;

const char kCreatedContent[] =
    "[CONFIGURATION]\n"
    "ExpandCE=0\n"
    "ExpandPath=0\n"
    "ShowRegistry=0\n"
    "ShowShortcuts=0\n"
    "ShowInfFile=0\n"
    "DebugFile=\n"
    "Language=English\n"
    "[English]\n"
    "CE_1=\\Program Files\n"
    "CE_2=\\Windows\n"
    "CE_3=\\Windows\\Desktop\n"
    "CE_4=\\Windows\\Startup\n"
    "CE_5=\\My Documents\n"
    "CE_6=\\Program Files\\Accessories\n"
    "CE_7=\\Program Files\\Communication\n"
    "CE_8=\\Program Files\\Games\n"
    "CE_9=\\Program Files\\Pocket Outlook\n"
    "CE_10=\\Program Files\\Office\n"
    "CE_11=\\Windows\\Start Menu\\Programs\n"
    "CE_12=\\Windows\\Programs\\Accessories\n"
    "CE_13=\\Windows\\Programs\\Communications\n"
    "CE_14=\\Windows\\Start Menu\\Programs\\Games\n"
    "CE_15=\\Windows\\Fonts\n"
    "CE_16=\\Windows\\Recent\n"
    "CE_17=\\Windows\\Start Menu\n";

void SetMtime(const std::string& path, time_t seconds, long nanoseconds = 0) {
    struct timespec times[2];
    times[0].tv_sec = seconds;
    times[0].tv_nsec = nanoseconds;
    times[1] = times[0];
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

struct timespec Mtime(const std::string& path) {
    struct stat st;
    std::memset(&st, 0, sizeof st);
    stat(path.c_str(), &st);
    return st.st_mtim;
}

// Opening a cabinet that does not exist writes exactly these lines.
std::string MissingCabinetLog(const std::string& cabinet, int32_t totalBefore) {
    const int32_t size = static_cast<int32_t>(sizeof(mirad::ArchiveContext));
    return "Allocating " + std::to_string(size) + " bytes (" + std::to_string(totalBefore + size + 16) +
           " allocated now)\n\n\nOpen " + cabinet + "\nCant open CAB file\naborting...\n";
}

int32_t OpenMissing(Module& m, const std::string& cabinet) {
    fixture::OpenResult r = fixture::Open(m, cabinet);
    EXPECT_EQ(r.handle, nullptr);
    return r.code;
}

// ---- Through the exports of a fresh module --------------------------------

TEST(SettingsFile, CreatedInTheHostDirectoryWithTheBuiltInValues) {
    Module m;
    ASSERT_TRUE(m.ok());
    TempDir host;
    m.SetSettingsDir(host.path);
    EXPECT_EQ(ReadText(host / "Mirad.ini"), kCreatedContent);
    EXPECT_FALSE(FileExists(m.directory() + "/Mirad.ini"));
    // Reading it back and opening archives leaves it as it is.
    OpenMissing(m, host / "none.cab");
    m.SetSettingsDir(host.path);
    EXPECT_EQ(ReadText(host / "Mirad.ini"), kCreatedContent);
}

TEST(SettingsFile, NothingIsCreatedWithoutTheHostsDefaults) {
    Module m;
    ASSERT_TRUE(m.ok());
    TempDir cwd;
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(cwd.path.c_str()), 0);
    int32_t code = OpenMissing(m, cwd / "none.cab");
    ASSERT_EQ(chdir(saved), 0);
    EXPECT_EQ(code, MIRAD_EOPEN);
    EXPECT_FALSE(FileExists(cwd / "Mirad.ini"));
    EXPECT_FALSE(FileExists(m.directory() + "/Mirad.ini"));
}

TEST(SettingsFile, AFileBesideTheModuleWins) {
    Module m;
    ASSERT_TRUE(m.ok());
    TempDir host, logs;
    fixture::WriteSettings(m.directory(), false, false, false, false, false, logs / "module.log");
    fixture::WriteSettings(host.path, false, false, false, false, false, logs / "host.log");
    const std::string hostBefore = ReadText(host / "Mirad.ini");
    m.SetSettingsDir(host.path);
    OpenMissing(m, host / "none.cab");
    EXPECT_EQ(ReadText(logs / "module.log"), MissingCabinetLog(host / "none.cab", 0));
    EXPECT_FALSE(FileExists(logs / "host.log"));
    EXPECT_EQ(ReadText(host / "Mirad.ini"), hostBefore);

    // And no file is made in the host's directory when none is there.
    Module fresh;
    ASSERT_TRUE(fresh.ok());
    TempDir empty;
    WriteText(fresh.directory() + "/Mirad.ini", "[CONFIGURATION]\n");
    fresh.SetSettingsDir(empty.path);
    EXPECT_FALSE(FileExists(empty / "Mirad.ini"));
}

TEST(SettingsFile, ReloadedExactlyWhenTheWriteTimeChanges) {
    Module m;
    ASSERT_TRUE(m.ok());
    TempDir host, logs;
    const std::string ini = host / "Mirad.ini";
    const std::string cab = host / "none.cab";
    fixture::WriteSettings(host.path, false, false, false, false, false, logs / "one.log");
    SetMtime(ini, 1700000000, 100);
    m.SetSettingsDir(host.path);
    OpenMissing(m, cab);
    EXPECT_EQ(ReadText(logs / "one.log"), MissingCabinetLog(cab, 0));

    // New content under the same write time: not read again.
    fixture::WriteSettings(host.path, false, false, false, false, false, logs / "two.log");
    SetMtime(ini, 1700000000, 100);
    OpenMissing(m, cab);
    EXPECT_FALSE(FileExists(logs / "two.log"));

    // A write time that differs by a fraction of a second: read again.
    SetMtime(ini, 1700000000, 200);
    OpenMissing(m, cab);
    EXPECT_TRUE(FileExists(logs / "two.log"));

    // An earlier write time counts as a change too.
    fixture::WriteSettings(host.path, false, false, false, false, false, logs / "three.log");
    SetMtime(ini, 1600000000, 0);
    OpenMissing(m, cab);
    EXPECT_TRUE(FileExists(logs / "three.log"));
}

TEST(SettingsFile, ACreatedFileIsReadAgainOnTheNextOpen) {
    Module m;
    ASSERT_TRUE(m.ok());
    TempDir host, logs;
    const std::string ini = host / "Mirad.ini";
    m.SetSettingsDir(host.path);
    ASSERT_TRUE(FileExists(ini));
    // Edit it but keep the write time it had after creation: no time was
    // remembered for a file just created, so the edit is still seen.
    struct timespec created = Mtime(ini);
    fixture::WriteSettings(host.path, false, false, false, false, false, logs / "log");
    SetMtime(ini, created.tv_sec, created.tv_nsec);
    OpenMissing(m, host / "none.cab");
    EXPECT_EQ(ReadText(logs / "log"), MissingCabinetLog(host / "none.cab", 0));
}

TEST(SettingsLog, ExactLinesAndTheRunningTotal) {
    Module m;
    ASSERT_TRUE(m.ok());
    TempDir host;
    const std::string log = host / "debug.log";
    fixture::WriteSettings(host.path, false, false, false, false, false, log);
    m.SetSettingsDir(host.path);
    OpenMissing(m, host / "a.cab");
    const int32_t size = static_cast<int32_t>(sizeof(mirad::ArchiveContext));
    OpenMissing(m, host / "b.cab");
    EXPECT_EQ(ReadText(log), MissingCabinetLog(host / "a.cab", 0) + MissingCabinetLog(host / "b.cab", size + 16));

    // A second fresh copy starts counting from zero again.
    Module other;
    ASSERT_TRUE(other.ok());
    other.SetSettingsDir(host.path);
    OpenMissing(other, host / "c.cab");
    EXPECT_EQ(ReadText(log), MissingCabinetLog(host / "a.cab", 0) + MissingCabinetLog(host / "b.cab", size + 16) +
                                 MissingCabinetLog(host / "c.cab", 0));
}

TEST(SettingsLog, AnUnusableLogChangesNothing) {
    TempDir host, work;
    fixture::StoredFile file;
    file.name = "readme.txt";
    file.data = fixture::BytesOf("hello");
    const std::string cab = work / "one.cab";
    fixture::WriteFile(cab, fixture::BuildCabinet({file}));

    Module plain;
    ASSERT_TRUE(plain.ok());
    fixture::WriteSettings(host.path, false, false, false, false, false, "");
    plain.SetSettingsDir(host.path);
    int32_t plainCode = -1;
    std::vector<fixture::Entry> expected = fixture::List(plain, cab, &plainCode);

    Module logged;
    ASSERT_TRUE(logged.ok());
    TempDir host2;
    const std::string unusable = work / "no/such/dir/debug.log";
    fixture::WriteSettings(host2.path, false, false, false, false, false, unusable);
    logged.SetSettingsDir(host2.path);
    int32_t code = -1;
    std::vector<fixture::Entry> got = fixture::List(logged, cab, &code);
    EXPECT_EQ(code, plainCode);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].name, expected[i].name);
    EXPECT_EQ(OpenMissing(logged, work / "none.cab"), MIRAD_EOPEN);
    EXPECT_FALSE(FileExists(work / "no"));
}

// ---- Values, in-process ---------------------------------------------------

class SettingsValues : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        mirad::ResetSettings();
        mirad::ResetHostDefaults();
    }
    // What the host's PackSetDefaultParams does, with a settings file in dir.
    static void UseDirectory(const std::string& dir) {
        DefaultParams p;
        std::memset(&p, 0, sizeof p);
        p.size = sizeof p;
        mirad::CopyString(p.defaultSettingsPath, sizeof p.defaultSettingsPath, (dir + "/Mirad.ini").c_str());
        ::PackSetDefaultParams(&p);
    }
    static const mirad::Settings& S() { return mirad::CurrentSettings(); }
    TempDir dir;
};

TEST_F(SettingsValues, AbsentKeysAreOnAndAnyNonZeroIsOn) {
    WriteText(dir / "Mirad.ini",
              "[CONFIGURATION]\n"
              "ExpandCE=0\n"
              "ExpandPath=2\n"
              "ShowRegistry=yes\n"
              "ShowShortcuts=-1\n");
    UseDirectory(dir.path);
    EXPECT_EQ(S().ExpandCE, 0);
    EXPECT_EQ(S().ExpandPath, 1);
    EXPECT_EQ(S().ShowRegistry, 0);
    EXPECT_EQ(S().ShowShortcuts, 1);
    EXPECT_EQ(S().ShowInfFile, 1);  // the deleted key
    EXPECT_STREQ(S().DebugFile, "");
    EXPECT_STREQ(S().Language, "English");
    EXPECT_STREQ(S().DirectoryMacroTable[16], "\\Windows\\Start Menu");
    EXPECT_EQ(std::string(mirad::SettingsPath()), dir / "Mirad.ini");
}

TEST_F(SettingsValues, LanguageNamesTheMacroSectionWithCurrentEntriesAsDefaults) {
    const std::string ini = dir / "Mirad.ini";
    WriteText(ini,
              "[CONFIGURATION]\n"
              "Language=Device\n"
              "[English]\n"
              "CE_1=\\Wrong\n"
              "[device]\n"
              "ce_1=\\Storage\\Program Files\n"
              "CE_17=\\Start\n");
    SetMtime(ini, 1700000000);
    UseDirectory(dir.path);
    EXPECT_STREQ(S().Language, "Device");
    EXPECT_STREQ(S().DirectoryMacroTable[0], "\\Storage\\Program Files");
    EXPECT_STREQ(S().DirectoryMacroTable[1], "\\Windows");
    EXPECT_STREQ(S().DirectoryMacroTable[16], "\\Start");

    // A section lacking CE_1 keeps the value in force, not the built-in one.
    WriteText(ini,
              "[CONFIGURATION]\n"
              "Language=Other\n"
              "[Other]\n"
              "CE_2=\\W\n");
    SetMtime(ini, 1700000001);
    mirad::LoadSettings();
    EXPECT_STREQ(S().DirectoryMacroTable[0], "\\Storage\\Program Files");
    EXPECT_STREQ(S().DirectoryMacroTable[1], "\\W");
}

TEST_F(SettingsValues, StringsAreCutAtTheirLimits) {
    const std::string longPath(300, 'p');
    WriteText(dir / "Mirad.ini", "[CONFIGURATION]\nDebugFile=" + longPath +
                                     "\nLanguage=ABCDEFGHIJKLMNOPQRSTUVWXYZ\n[ABCDEFGHIJKLMNOPQR]\nCE_5=\\Cut\n");
    UseDirectory(dir.path);
    EXPECT_EQ(std::string(S().DebugFile), longPath.substr(0, 259));
    EXPECT_STREQ(S().Language, "ABCDEFGHIJKLMNOPQR");
    EXPECT_STREQ(S().DirectoryMacroTable[4], "\\Cut");
}

TEST_F(SettingsValues, ANewFileHoldsTheValuesInForce) {
    mirad::Settings& s = mirad::CurrentSettings();
    s.ExpandCE = 1;
    s.ShowInfFile = 5;
    std::strcpy(s.Language, "Device");
    std::strcpy(s.DirectoryMacroTable[0], "\\X");
    std::strcpy(s.DebugFile, (dir / "never-written-to-the-file.log").c_str());
    UseDirectory(dir.path);
    const std::string text = ReadText(dir / "Mirad.ini");
    EXPECT_EQ(text.substr(0, text.find("[Device]")),
              "[CONFIGURATION]\nExpandCE=1\nExpandPath=0\nShowRegistry=0\nShowShortcuts=0\nShowInfFile=1\n"
              "DebugFile=\nLanguage=Device\n");
    EXPECT_NE(text.find("[Device]\nCE_1=\\X\nCE_2=\\Windows\n"), std::string::npos);
    EXPECT_EQ(text.find("[English]"), std::string::npos);
    // Read back: the empty DebugFile now applies.
    EXPECT_STREQ(S().DebugFile, "");
    EXPECT_EQ(S().ExpandCE, 1);
}

TEST_F(SettingsValues, AnOverlongHostPathIsNotCut) {
    // The directory part alone fits, the settings name after it would not.
    std::string deep = dir.path + "/" + std::string(255 - dir.path.size(), 'd');
    ASSERT_EQ(deep.size(), 256u);
    DefaultParams p;
    std::memset(&p, 0, sizeof p);
    mirad::CopyString(p.defaultSettingsPath, sizeof p.defaultSettingsPath, (deep + "/x").c_str());
    ::PackSetDefaultParams(&p);
    EXPECT_STREQ(mirad::SettingsPath(), "");
    EXPECT_STREQ(S().Language, "English");
}

}  // namespace
