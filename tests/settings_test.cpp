// The settings file: where it is found, its creation and exact content, the
// reload rule, the log, and (in-process) the values the exports do not show.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "view/session.h"
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

// A new file has the view options on: no host dialog would ever turn them on.
const char kCreatedContent[] =
    "[CONFIGURATION]\nExpandCE=1\nExpandPath=1\nShowRegistry=1\nShowShortcuts=1\nShowInfFile=1\nDebugFile=\n"
    "Language=English\nCompression=none\nBuildFromInf=1\nBuildProcessor=\nBuildSourceDir=\nBuildStrict=0\n"
    "EditInstallation=1\nAddedFileFlags=0\n[English]\nCE_1=\\Program Files\nCE_2=\\Windows\nCE_3=\\Windows\\Desktop\n"
    "CE_4=\\Windows\\Startup\nCE_5=\\My Documents\nCE_6=\\Program Files\\Accessories\n"
    "CE_7=\\Program Files\\Communication\nCE_8=\\Program Files\\Games\nCE_9=\\Program Files\\Pocket Outlook\n"
    "CE_10=\\Program Files\\Office\nCE_11=\\Windows\\Start Menu\\Programs\nCE_12=\\Windows\\Programs\\Accessories\n"
    "CE_13=\\Windows\\Programs\\Communications\nCE_14=\\Windows\\Start Menu\\Programs\\Games\n"
    "CE_15=\\Windows\\Fonts\nCE_16=\\Windows\\Recent\nCE_17=\\Windows\\Start Menu\n";

void SetMtime(const std::string& path, time_t seconds, long nanoseconds = 0) {
    struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

const int32_t kContextSize = static_cast<int32_t>(sizeof(mirad::ArchiveSession));

// Opening a cabinet that does not exist writes exactly these lines.
std::string MissingCabinetLog(const std::string& cabinet, int32_t totalBefore) {
    return "Allocating " + std::to_string(kContextSize) + " bytes (" + std::to_string(totalBefore + kContextSize + 16) +
           " allocated now)\n\n\nOpen " + cabinet + "\nCant open CAB file\naborting...\n";
}

int32_t OpenMissing(Module& m, const std::string& cabinet) {
    fixture::OpenResult r = fixture::Open(m, cabinet);
    EXPECT_EQ(r.handle, nullptr);
    return r.code;
}

void WriteSettingsWithLog(const std::string& dir, const std::string& log) {
    fixture::WriteSettings(dir, false, false, false, false, false, log);
}

// ---- Through the exports of a fresh module --------------------------------

TEST(SettingsFile, CreatedInTheHostDirectoryAndReadAgainOnTheNextOpen) {
    Module m;
    ASSERT_TRUE(m.ok());
    TempDir host, logs;
    const std::string ini = host / "Mirad.ini";
    m.SetSettingsDir(host.path);
    EXPECT_EQ(ReadText(ini), kCreatedContent);
    EXPECT_FALSE(FileExists(m.directory() + "/Mirad.ini"));
    // An edit under the write time it had after creation is still seen: no
    // time was remembered for a file just created.
    struct stat st;
    ASSERT_EQ(stat(ini.c_str(), &st), 0);
    WriteSettingsWithLog(host.path, logs / "log");
    SetMtime(ini, st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    const std::string edited = ReadText(ini);
    OpenMissing(m, host / "none.cab");
    EXPECT_EQ(ReadText(logs / "log"), MissingCabinetLog(host / "none.cab", 0));
    // Reading it back and opening archives leave it as it is.
    m.SetSettingsDir(host.path);
    OpenMissing(m, host / "none.cab");
    EXPECT_EQ(ReadText(ini), edited);
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
    WriteSettingsWithLog(m.directory(), logs / "module.log");
    WriteSettingsWithLog(host.path, logs / "host.log");
    const std::string hostBefore = ReadText(host / "Mirad.ini");
    m.SetSettingsDir(host.path);
    OpenMissing(m, host / "none.cab");
    EXPECT_EQ(ReadText(logs / "module.log"), MissingCabinetLog(host / "none.cab", 0));
    EXPECT_FALSE(FileExists(logs / "host.log"));
    EXPECT_EQ(ReadText(host / "Mirad.ini"), hostBefore);

    // And none is made in the host's directory when none is there.
    Module fresh;
    ASSERT_TRUE(fresh.ok());
    TempDir empty;
    WriteText(fresh.directory() + "/Mirad.ini", "[CONFIGURATION]\n");
    fresh.SetSettingsDir(empty.path);
    EXPECT_FALSE(FileExists(empty / "Mirad.ini"));
}

TEST(SettingsFile, ReloadedExactlyWhenTheWriteTimeChangesWithExactLogLines) {
    Module m;
    ASSERT_TRUE(m.ok());
    TempDir host, logs;
    const std::string ini = host / "Mirad.ini", cab = host / "none.cab";
    WriteSettingsWithLog(host.path, logs / "one.log");
    SetMtime(ini, 1700000000, 100);
    m.SetSettingsDir(host.path);
    const int32_t each = kContextSize + 16;  // the running total grows by this per open
    OpenMissing(m, cab);
    EXPECT_EQ(ReadText(logs / "one.log"), MissingCabinetLog(cab, 0));
    // New content, same write time: not read again.
    WriteSettingsWithLog(host.path, logs / "two.log");
    SetMtime(ini, 1700000000, 100);
    OpenMissing(m, cab);
    EXPECT_FALSE(FileExists(logs / "two.log"));
    EXPECT_EQ(ReadText(logs / "one.log"), MissingCabinetLog(cab, 0) + MissingCabinetLog(cab, each));
    // A fraction of a second later: read again.
    SetMtime(ini, 1700000000, 200);
    OpenMissing(m, cab);
    EXPECT_EQ(ReadText(logs / "two.log"), MissingCabinetLog(cab, 2 * each));
    // An earlier write time counts as a change too.
    WriteSettingsWithLog(host.path, logs / "three.log");
    SetMtime(ini, 1600000000, 0);
    OpenMissing(m, cab);
    EXPECT_TRUE(FileExists(logs / "three.log"));
}

TEST(SettingsLog, AnUnusableLogChangesNothing) {
    TempDir host, work;
    fixture::StoredFile file;
    file.name = "readme.txt";
    file.data = fixture::BytesOf("hello");
    const std::string cab = work / "one.cab";
    fixture::WriteFile(cab, fixture::BuildCabinet({file}));
    Module m;
    ASSERT_TRUE(m.ok());
    WriteSettingsWithLog(host.path, work / "no/such/dir/debug.log");
    m.SetSettingsDir(host.path);
    int32_t code = -1;
    std::vector<fixture::Entry> got = fixture::List(m, cab, &code);
    EXPECT_EQ(code, 0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].name, "readme.txt");
    EXPECT_EQ(OpenMissing(m, work / "none.cab"), MIRAD_EOPEN);
    EXPECT_FALSE(FileExists(work / "no"));
}

// ---- Values, in-process ---------------------------------------------------

class SettingsValues : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        mirad::ResetSettings();
    }
    // What the host's PackSetDefaultParams does.
    static void UseSettingsPath(const std::string& path) {
        DefaultParams p;
        std::memset(&p, 0, sizeof p);
        p.size = sizeof p;
        mirad::CopyString(p.defaultSettingsPath, sizeof p.defaultSettingsPath, path.c_str());
        ::PackSetDefaultParams(&p);
    }
    static mirad::Settings S() { return *mirad::PublishedSettings(); }
    TempDir dir;
    const std::string ini = dir / "Mirad.ini";
};

TEST_F(SettingsValues, AbsentKeysAreOnAndAnyNonZeroIsOn) {
    WriteText(ini, "[CONFIGURATION]\nExpandCE=0\nExpandPath=2\nShowRegistry=yes\nShowShortcuts=-1\n");
    UseSettingsPath(ini);
    EXPECT_EQ(S().ExpandCE, 0);
    EXPECT_EQ(S().ExpandPath, 1);
    EXPECT_EQ(S().ShowRegistry, 0);
    EXPECT_EQ(S().ShowShortcuts, 1);
    EXPECT_EQ(S().ShowInfFile, 1);  // the deleted key
    EXPECT_STREQ(S().DebugFile, "");
    EXPECT_STREQ(S().Language, "English");
    EXPECT_STREQ(S().DirectoryMacroTable[16], "\\Windows\\Start Menu");
    EXPECT_EQ(std::string(mirad::SettingsPath()), ini);
}

TEST_F(SettingsValues, LanguageNamesTheMacroSectionWithCurrentEntriesAsDefaults) {
    WriteText(ini, "[CONFIGURATION]\nLanguage=Device\n[English]\nCE_1=\\Wrong\n"
                   "[device]\nce_1=\\Storage\\Program Files\nCE_17=\\Start\n");
    SetMtime(ini, 1700000000);
    UseSettingsPath(ini);
    EXPECT_STREQ(S().Language, "Device");
    EXPECT_STREQ(S().DirectoryMacroTable[0], "\\Storage\\Program Files");
    EXPECT_STREQ(S().DirectoryMacroTable[1], "\\Windows");
    EXPECT_STREQ(S().DirectoryMacroTable[16], "\\Start");
    // A section lacking CE_1 keeps the value in force, not the built-in one.
    WriteText(ini, "[CONFIGURATION]\nLanguage=Other\n[Other]\nCE_2=\\W\n");
    SetMtime(ini, 1700000001);
    mirad::LoadSettings();
    EXPECT_STREQ(S().DirectoryMacroTable[0], "\\Storage\\Program Files");
    EXPECT_STREQ(S().DirectoryMacroTable[1], "\\W");
}

TEST_F(SettingsValues, StringsAreCutAtTheirLimits) {
    const std::string longPath(300, 'p');
    WriteText(ini, "[CONFIGURATION]\nDebugFile=" + longPath +
                       "\nLanguage=ABCDEFGHIJKLMNOPQRSTUVWXYZ\n[ABCDEFGHIJKLMNOPQR]\nCE_5=\\Cut\n");
    UseSettingsPath(ini);
    EXPECT_EQ(std::string(S().DebugFile), longPath.substr(0, 259));
    EXPECT_STREQ(S().Language, "ABCDEFGHIJKLMNOPQR");
    EXPECT_STREQ(S().DirectoryMacroTable[4], "\\Cut");
}

TEST_F(SettingsValues, ANewFileHoldsTheValuesInForce) {
    mirad::Settings s = S();
    s.ExpandCE = 1;
    s.ShowInfFile = 5;
    std::strcpy(s.Language, "Device");
    std::strcpy(s.DirectoryMacroTable[0], "\\X");
    std::strcpy(s.DebugFile, (dir / "never-written-to-the-file.log").c_str());
    s.Compression = mirad::kCompressionMszip;
    mirad::PublishSettings(s);
    UseSettingsPath(ini);
    const std::string text = ReadText(ini);
    // The view options are on in a new file, whatever is in force.
    EXPECT_EQ(text.substr(0, text.find("[Device]")),
              "[CONFIGURATION]\nExpandCE=1\nExpandPath=1\nShowRegistry=1\nShowShortcuts=1\nShowInfFile=1\n"
              "DebugFile=\nLanguage=Device\nCompression=MSZIP\nBuildFromInf=1\nBuildProcessor=\nBuildSourceDir=\n"
              "BuildStrict=0\nEditInstallation=1\nAddedFileFlags=0\n");
    EXPECT_NE(text.find("[Device]\nCE_1=\\X\nCE_2=\\Windows\n"), std::string::npos);
    EXPECT_EQ(text.find("[English]"), std::string::npos);
    EXPECT_STREQ(S().DebugFile, "");  // read back: the empty DebugFile applies
    EXPECT_EQ(S().ExpandCE, 1);
    EXPECT_EQ(S().Compression, mirad::kCompressionMszip);
}

TEST_F(SettingsValues, CompressionIsMszipOnlyWhenItSaysSo) {
    const std::pair<const char*, int32_t> cases[] = {
        {"", mirad::kCompressionNone},
        {"Compression=MSZIP\n", mirad::kCompressionMszip},
        {"Compression=mszip\n", mirad::kCompressionMszip},
        {"Compression=none\n", mirad::kCompressionNone},
        {"Compression=LZX\n", mirad::kCompressionNone},
        {"Compression=1\n", mirad::kCompressionNone},
    };
    time_t stamp = 1700000000;
    for (const auto& [line, expected] : cases) {
        WriteText(ini, std::string("[CONFIGURATION]\n") + line);
        SetMtime(ini, stamp++);
        UseSettingsPath(ini);
        EXPECT_EQ(S().Compression, expected) << line;
    }
}

TEST_F(SettingsValues, AnOverlongHostPathIsNotCut) {
    // The directory part fits, the settings name after it would not.
    const std::string deep = dir.path + "/" + std::string(255 - dir.path.size(), 'd');
    ASSERT_EQ(deep.size(), 256u);
    UseSettingsPath(deep + "/x");
    EXPECT_EQ(mirad::SettingsPath(), "");
    EXPECT_STREQ(S().Language, "English");
}

}  // namespace
