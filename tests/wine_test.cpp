// The Windows build (build-win32/mirad.exe with its Mirad.wcx) run under
// Wine, compared with the native build on the same cabinets. Skipped, saying
// why, when Wine or the Windows build is missing.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/fixture.h"

namespace fs = std::filesystem;
using fixture::Bytes;
using fixture::CommandResult;
using fixture::TempDir;

namespace {

std::string Win32Dir() { return MIRAD_WIN32_DIR; }

// Empty when Wine can run the Windows build, else why not.
std::string WineMissing() {
    if (!fixture::HaveTool("wine")) return "wine is not installed";
    for (const char* file : {"mirad.exe", "Mirad.wcx"}) {
        if (!fixture::FileExists(Win32Dir() + "/" + file))
            return Win32Dir() + "/" + file + " is missing (build it with scripts/build.sh win32)";
    }
    // A private, quiet, 32-bit prefix unless the caller chose one (test.sh
    // does); otherwise one in the directory the tests run in (the build's).
    setenv("WINEDEBUG", "-all", 0);
    setenv("WINEARCH", "win32", 0);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 0);
    if (!std::getenv("WINEPREFIX")) {
        std::error_code error;
        std::string prefix = (fs::current_path(error) / "wineprefix").string();
        fs::create_directories(prefix, error);
        setenv("WINEPREFIX", prefix.c_str(), 0);
    }
    return "";
}

#define SKIP_WITHOUT_WINE()                                         \
    do {                                                            \
        std::string missing = WineMissing();                        \
        if (!missing.empty()) GTEST_SKIP() << "no Wine run: " << missing; \
    } while (0)

CommandResult Windows(const TempDir& dir, const std::string& arguments) {
    return fixture::Run("cd " + fixture::Quote(dir.path) + " && wine " + fixture::Quote(Win32Dir() + "/mirad.exe") +
                        " --config wcfg " + arguments + " </dev/null");
}

CommandResult Native(const TempDir& dir, const std::string& arguments) {
    return fixture::Run("cd " + fixture::Quote(dir.path) + " && " + fixture::Quote(fixture::HostPath()) +
                        " --config ncfg " + arguments);
}

std::string WithoutCr(std::string text) {
    std::string out;
    for (char c : text) {
        if (c != '\r') out += c;
    }
    return out;
}

std::map<std::string, Bytes> Tree(const std::string& root) {
    std::map<std::string, Bytes> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        if (it->is_regular_file()) files[fs::relative(it->path(), root).string()] = fixture::ReadFile(it->path());
    }
    return files;
}

// section -> key -> value, as written.
std::map<std::string, std::map<std::string, std::string>> ParseIni(const std::string& text) {
    std::map<std::string, std::map<std::string, std::string>> ini;
    std::string section, line;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != '\n') {
            if (text[i] != '\r') line += text[i];
            continue;
        }
        if (line.size() > 1 && line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
        } else if (line.find('=') != std::string::npos) {
            ini[section][line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        }
        line.clear();
    }
    return ini;
}

fixture::StoredFile Stored(const std::string& name, Bytes data) {
    fixture::StoredFile f;
    f.name = name;
    f.data = std::move(data);
    return f;
}

// Installed files in two directories, a shortcut, values of several types.
void WriteCeCabinet(const std::string& path) {
    fixture::CeSetup s;
    s.appName = "Game";
    s.provider = "Example Co";
    s.strings = {{1, "%CE1%\\Game"}, {2, "data"}, {3, "Game.lnk"}, {4, "Software"}, {5, "Game"}};
    s.directories = {{1, {1}}, {2, {1, 2}}};
    s.copyFiles = {{1, 1, "game.exe"}, {2, 2, "level.dat"}};
    s.hives = {{1, 2, {4, 5}}};
    Bytes text = fixture::BytesOf("1.0");
    text.push_back(0);
    s.values = {{1, 0x00000000, "Version", text},
                {1, 0x00010001, "Runs", Bytes{7, 0, 0, 0}},
                {1, 0x00000001, "Key", Bytes{0xDE, 0xAD, 0xBE, 0xEF}}};
    fixture::CeShortcut shortcut;
    shortcut.id = 1;
    shortcut.baseMacro = 11;
    shortcut.targetId = 1;
    shortcut.targetIsFile = 1;
    shortcut.nameStringId = 3;
    s.shortcuts = {shortcut};
    fixture::WriteFile(path, fixture::BuildCeCabinet(s, {Stored("game.001", fixture::Pattern(5000, 7)),
                                                         Stored("level.002", fixture::Pattern(40000, 8))}));
}

TEST(Wine, GcabCabinetListsAndExtractsAsNatively) {
    SKIP_WITHOUT_WINE();
    if (!fixture::HaveTool("gcab")) GTEST_SKIP() << "gcab is not installed";
    TempDir dir;
    fs::create_directories(dir / "src");
    fixture::WriteFile(dir / "src/small.txt", fixture::BytesOf("small\n"));
    fixture::WriteFile(dir / "src/large.bin", fixture::Pattern(100000, 3));
    fixture::WriteFile(dir / "src/middle.bin", fixture::Pattern(20000, 4));
    CommandResult made = fixture::Run("cd " + fixture::Quote(dir / "src") + " && gcab -c ../g.cab small.txt large.bin middle.bin");
    ASSERT_EQ(made.status, 0) << made.out;

    CommandResult native = Native(dir, "list g.cab");
    CommandResult windows = Windows(dir, "list g.cab");
    ASSERT_EQ(native.status, 0) << native.out;
    ASSERT_EQ(windows.status, 0) << windows.out;
    EXPECT_EQ(WithoutCr(windows.out), native.out);

    native = Native(dir, "extract g.cab -d nout");
    windows = Windows(dir, "extract g.cab -d wout");
    ASSERT_EQ(native.status, 0) << native.out;
    ASSERT_EQ(windows.status, 0) << windows.out;
    std::map<std::string, Bytes> nativeTree = Tree(dir / "nout");
    EXPECT_EQ(nativeTree.size(), 3u);
    EXPECT_EQ(nativeTree["large.bin"], fixture::Pattern(100000, 3));
    EXPECT_EQ(Tree(dir / "wout"), nativeTree);
}

TEST(Wine, SettingsFileMadeThroughTheProfileApi) {
    SKIP_WITHOUT_WINE();
    TempDir dir;
    fixture::WriteFile(dir / "t.cab", fixture::BuildCabinet({Stored("a.txt", fixture::BytesOf("a"))}));
    CommandResult windows = Windows(dir, "list t.cab");
    ASSERT_EQ(windows.status, 0) << windows.out;
    auto ini = ParseIni(fixture::ReadText(dir / "wcfg/Mirad.ini"));
    std::map<std::string, std::string> configuration = {
        {"ExpandCE", "0"},      {"ExpandPath", "0"}, {"ShowRegistry", "0"}, {"ShowShortcuts", "0"},
        {"ShowInfFile", "0"},   {"DebugFile", ""},   {"Language", "English"},
    };
    EXPECT_EQ(ini["CONFIGURATION"], configuration);
    const char* table[17] = {"\\Program Files",
                             "\\Windows",
                             "\\Windows\\Desktop",
                             "\\Windows\\Startup",
                             "\\My Documents",
                             "\\Program Files\\Accessories",
                             "\\Program Files\\Communication",
                             "\\Program Files\\Games",
                             "\\Program Files\\Pocket Outlook",
                             "\\Program Files\\Office",
                             "\\Windows\\Start Menu\\Programs",
                             "\\Windows\\Programs\\Accessories",
                             "\\Windows\\Programs\\Communications",
                             "\\Windows\\Start Menu\\Programs\\Games",
                             "\\Windows\\Fonts",
                             "\\Windows\\Recent",
                             "\\Windows\\Start Menu"};
    std::map<std::string, std::string> english;
    for (int n = 1; n <= 17; ++n) english["CE_" + std::to_string(n)] = table[n - 1];
    EXPECT_EQ(ini["English"], english);
    EXPECT_EQ(ini.size(), 2u);
}

TEST(Wine, InstalledViewExtractionMatchesNative) {
    SKIP_WITHOUT_WINE();
    TempDir dir;
    WriteCeCabinet(dir / "game.cab");
    const std::string view = "--installed --expand --shortcuts extract game.cab -d ";
    CommandResult native = Native(dir, view + "nout");
    CommandResult windows = Windows(dir, view + "wout");
    ASSERT_EQ(native.status, 0) << native.out;
    ASSERT_EQ(windows.status, 0) << windows.out;
    std::map<std::string, Bytes> nativeTree = Tree(dir / "nout");
    EXPECT_EQ(nativeTree.size(), 3u);
    EXPECT_EQ(nativeTree["Windows/Start Menu/Programs/Game.lnk"],
              fixture::BytesOf("30#\"\\Program Files\\Game\\game.exe\"\r\n"));
    EXPECT_EQ(Tree(dir / "wout"), nativeTree);
}

TEST(Wine, DocumentsMatchNative) {
    SKIP_WITHOUT_WINE();
    TempDir dir;
    WriteCeCabinet(dir / "game.cab");
    CommandResult native = Native(dir, "--registry --inf extract game.cab -d nout");
    CommandResult windows = Windows(dir, "--registry --inf extract game.cab -d wout");
    ASSERT_EQ(native.status, 0) << native.out;
    ASSERT_EQ(windows.status, 0) << windows.out;
    Bytes reg = fixture::ReadFile(dir / "nout/~Cab~.REG");
    Bytes inf = fixture::ReadFile(dir / "nout/~Cab~.INF");
    ASSERT_FALSE(reg.empty());
    ASSERT_FALSE(inf.empty());
    EXPECT_EQ(fixture::ReadFile(dir / "wout/~Cab~.REG"), reg);
    EXPECT_EQ(fixture::ReadFile(dir / "wout/~Cab~.INF"), inf);
    // Standard output of the Windows host is binary: CR LF stays CR LF.
    windows = Windows(dir, "extract game.cab ~Cab~.INF -d -");
    EXPECT_EQ(windows.status, 0);
    EXPECT_EQ(windows.out, std::string(inf.begin(), inf.end()));
}

}  // namespace

namespace {

// The DLL a file manager loads: 32-bit PE, the nine exports under their
// plain names (stdcall without decoration), and nothing but system DLLs to
// load beside it (libgcc and libstdc++ linked in).
TEST(Wine, WindowsModuleHasPlainExportsAndOnlySystemImports) {
    std::string module = Win32Dir() + "/Mirad.wcx";
    if (!fixture::FileExists(module)) GTEST_SKIP() << module << " is missing (scripts/build.sh win32)";
    if (!fixture::HaveTool("i686-w64-mingw32-objdump")) GTEST_SKIP() << "i686-w64-mingw32-objdump is missing";
    CommandResult dump = fixture::Run("i686-w64-mingw32-objdump -p " + fixture::Quote(module));
    ASSERT_EQ(dump.status, 0) << dump.out;
    EXPECT_NE(dump.out.find("file format pei-i386"), std::string::npos);

    std::vector<std::string> imports, exports;
    bool inNameTable = false;
    for (const std::string& line : [&] {
             std::vector<std::string> lines;
             std::string l;
             for (char c : dump.out) {
                 if (c == '\n') {
                     lines.push_back(l);
                     l.clear();
                 } else {
                     l += c;
                 }
             }
             return lines;
         }()) {
        size_t at = line.find("DLL Name: ");
        if (at != std::string::npos) imports.push_back(line.substr(at + 10));
        if (line.find("[Ordinal/Name Pointer] Table") != std::string::npos) {
            inNameTable = true;
            continue;
        }
        if (inNameTable) {
            size_t close = line.find("] ");
            if (line.find('[') == std::string::npos || close == std::string::npos) {
                inNameTable = false;
            } else {
                exports.push_back(line.substr(close + 2));
            }
        }
    }
    EXPECT_EQ(exports, (std::vector<std::string>{"CloseArchive", "GetPackerCaps", "OpenArchive", "PackFiles",
                                                 "PackSetDefaultParams", "ProcessFile", "ReadHeader",
                                                 "SetChangeVolProc", "SetProcessDataProc"}));
    ASSERT_FALSE(imports.empty());
    for (std::string name : imports) {
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_TRUE(name == "KERNEL32.DLL" || name == "MSVCRT.DLL" || name == "USER32.DLL") << name;
    }
}

}  // namespace
