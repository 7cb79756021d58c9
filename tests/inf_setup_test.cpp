// A CE INF turned into setup-file records: strings shared as the wizard
// shares them, directories numbered so that ~Cab~.INF written again numbers
// them the same, shortcuts and registry values linked to their records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "documents/inf_setup.h"

namespace {

const char* const kHead =
    "[Version]\nCESignature = \"$Windows CE$\"\nProvider = P\n"
    "[CEStrings]\nAppName = App\nInstallDir = %CE1%\\App\n"
    "[SourceDisksNames]\n1 = ,,,src\n"
    "[SourceDisksFiles]\na.exe = 1\nb.dll = 1\n";

bool Build(const std::string& body, mirad::SetupModel* m, std::vector<mirad::InfStoredFile>* files,
           std::string* error = nullptr) {
    const std::string text = std::string(kHead) + body;
    mirad::InfOptions o;
    o.name = "t.inf";
    mirad::CeInf inf;
    mirad::InfReport report;
    static mirad::CeInf keep;  // files point into it
    if (!mirad::ReadCeInf(reinterpret_cast<const uint8_t*>(text.data()), text.size(), o, &inf, &report)) {
        if (error) *error = report.error;
        return false;
    }
    keep = inf;
    bool ok = mirad::SetupModelFromInf(keep, o, m, files, &report);
    if (error) *error = report.error;
    return ok;
}

std::string Text(const mirad::SetupModel& m, uint16_t id) {
    for (const auto& s : m.strings)
        if (s.id == id) return s.stored.substr(0, s.stored.size() - 1);
    return "(none)";
}

// A directory as its string texts joined by "\".
std::string Path(const mirad::SetupModel& m, const mirad::SetupModel::Directory& d) {
    std::string out;
    for (uint16_t id : d.ids) {
        if (id == 0) break;
        out += (out.empty() ? "" : "\\") + (id == 1 ? std::string("%InstallDir%") : Text(m, id));
    }
    return out;
}

TEST(SetupFromInf, ItsOwnScriptKeepsItsDirectoryNumbers) {
    mirad::SetupModel m;
    std::vector<mirad::InfStoredFile> files;
    ASSERT_TRUE(Build("[DefaultInstall]\nCopyFiles = Dir_2, Dir_4\nCEShortcuts = Shortcuts\n"
                      "[DestinationDirs]\nDir_2 = 0,\"%InstallDir%\\Bin\"\nDir_4 = 0,\"\\Windows\\Fonts\"\n"
                      "[Dir_2]\n\"a.exe\",\"a.exe\",,0x00000001\n[Dir_4]\n\"f.dll\",\"b.dll\",,0x40000000\n"
                      "[Shortcuts]\n%CE11%\\App,0,\"%InstallDir%\\Bin\\a.exe\"\n%InstallDir%\\Here,1,\"%InstallDir%\"\n"
                      "\\Docs\\There.lnk,1,\"%CE5%\\Work\"\n",
                      &m, &files));
    EXPECT_EQ(Text(m, 1), "%CE1%\\App");
    ASSERT_EQ(m.directories.size(), 6u);
    const char* const paths[] = {"%InstallDir%", "%InstallDir%\\Bin", "%InstallDir%", "\\Windows\\Fonts", "\\Docs"};
    for (uint16_t i = 0; i < 4; ++i) {
        EXPECT_EQ(m.directories[i].id, i + 1);
        EXPECT_EQ(Path(m, m.directories[i]), paths[i]);
    }
    EXPECT_EQ(Path(m, m.directories[4]), "\\Docs");
    EXPECT_EQ(Path(m, m.directories[5]), "%CE5%\\Work");
    ASSERT_EQ(m.copyFiles.size(), 2u);
    EXPECT_EQ(m.copyFiles[0].directoryId, 2);
    EXPECT_EQ(m.copyFiles[1].directoryId, 4);
    EXPECT_EQ(m.copyFiles[1].stored, std::string("f.dll\0", 6));
    EXPECT_EQ(m.copyFiles[1].flags, 0x40000000u);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[1].fileId, 2);
    EXPECT_EQ(files[1].source->name, "b.dll");
    ASSERT_EQ(m.shortcuts.size(), 3u);
    struct Want {
        uint16_t baseDirectoryId, baseMacro, targetId, targetIsFile;
        const char* name;
    };
    const Want want[] = {{0, 11, 1, 1, "App.lnk"}, {0, 0, 0, 0, "Here.lnk"}, {5, 0, 6, 0, "There.lnk"}};
    for (size_t i = 0; i < 3; ++i) {
        const auto& s = m.shortcuts[i];
        EXPECT_EQ(s.id, i + 1);
        EXPECT_EQ(s.baseDirectoryId, want[i].baseDirectoryId) << i;
        EXPECT_EQ(s.baseMacro, want[i].baseMacro) << i;
        EXPECT_EQ(s.targetId, want[i].targetId) << i;
        EXPECT_EQ(s.targetIsFile, want[i].targetIsFile) << i;
        EXPECT_EQ(Text(m, s.nameStringId), want[i].name) << i;
    }
}

TEST(SetupFromInf, WizardScriptsShareStringsAndKeys) {
    mirad::SetupModel m;
    std::vector<mirad::InfStoredFile> files;
    ASSERT_TRUE(Build("[CEDevice]\nUnsupportedPlatforms = HPC,Jupiter\nVersionMin = 2.11\n"
                      "[DefaultInstall]\nCopyFiles = Files,More\nAddReg = Reg\nCEShortcuts = Links\n"
                      "[DestinationDirs]\nFiles = 0,%CE2%\\App\nMore = 0,%CE2%\\app\nLinks = 0,%CE11%\n"
                      "[Files]\na.exe\n[More]\nb.dll\n"
                      "[Reg]\nHKLM,Software\\App,Path,0,\"%InstallDir%\\a.exe\"\nHKLM,software\\app,N,0x00010001,7\n"
                      "HKCU,App,,0,x\n"
                      "[Links]\nGo,0,a.exe\n",
                      &m, &files));
    EXPECT_EQ(m.appName, std::string("App\0", 4));
    EXPECT_EQ(m.provider, std::string("P\0", 2));
    EXPECT_EQ(m.unsupported, std::string("HPC\0JUPITER\0\0", 13));
    EXPECT_EQ(m.minVersionMajor, 2);
    EXPECT_EQ(m.minVersionMinor, 11);
    // One directory for both lists (paths compare without regard to case);
    // the shortcut's is a macro. "App" is one string wherever it appears.
    ASSERT_EQ(m.directories.size(), 1u);
    EXPECT_EQ(m.copyFiles[0].directoryId, m.copyFiles[1].directoryId);
    EXPECT_EQ(Path(m, m.directories[0]), "%CE2%\\App");
    EXPECT_EQ(m.shortcuts[0].baseMacro, 11);
    EXPECT_EQ(m.shortcuts[0].targetId, 1);
    ASSERT_EQ(m.regHives.size(), 2u);
    EXPECT_EQ(m.regHives[0].root, 3);
    EXPECT_EQ(m.regHives[1].ids, (std::vector<uint16_t>{m.directories[0].ids[1], 0}));
    ASSERT_EQ(m.regValues.size(), 3u);
    const uint16_t hive[] = {1, 1, 2}, third[] = {1, 0, 0};
    for (uint16_t i = 0; i < 3; ++i) {
        EXPECT_EQ(m.regValues[i].first, i + 1);
        EXPECT_EQ(m.regValues[i].hiveId, hive[i]);
        EXPECT_EQ(m.regValues[i].third, third[i]) << "marks data naming %InstallDir%";
    }
    EXPECT_EQ(m.regValues[1].payload, std::string("N\0\x07\0\0\0", 6));
    EXPECT_EQ(m.regValues[2].payload, std::string("\0x\0", 3));
}

TEST(SetupFromInf, WhatTheSetupFileCannotSay) {
    std::string many = "[DefaultInstall]\nCopyFiles = Files\n[DestinationDirs]\nFiles = 0,%CE2%\n[Files]\n";
    for (int i = 0; i < 999; ++i) many += "\"f" + std::to_string(i) + "\",a.exe\n";
    struct Case {
        std::string body;
        const char* message;
    };
    const Case cases[] = {
        {many, "t.inf:1015: more than 998 files to install: stored names number them in three digits"},
        {"[DefaultInstall]\nCopyFiles = Files\nCEShortcuts = Links\n[DestinationDirs]\nFiles = 0,%CE2%\n"
         "Links = 0,%CE11%\n[Files]\na.exe\n[Links]\nGo,0,b.dll\n",
         "t.inf:21: the shortcut's target \"b.dll\" is no file a copy list installs"},
    };
    for (const Case& c : cases) {
        mirad::SetupModel m;
        std::vector<mirad::InfStoredFile> files;
        std::string error;
        EXPECT_FALSE(Build(c.body, &m, &files, &error));
        EXPECT_EQ(error, c.message);
    }
}

}  // namespace
