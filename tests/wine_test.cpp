// The Windows build (build-win32/mirad.exe with its Mirad.wcx) run under
// Wine, compared with the native build on the same cabinets. Skipped, saying
// why, when Wine or the Windows build is missing. MIRAD_WINE and
// MIRAD_WINE_BUILD name another loader and build: scripts/test.sh runs the
// 64-bit build under 64-bit Wine where the kernel cannot execute 32-bit code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

#include "platform/host.h"
#include "tests/fixture.h"

namespace fs = std::filesystem;
using namespace fixture;

namespace {

using Tree = std::map<std::string, Bytes>;

std::string Win32Dir() { return MIRAD_WIN32_DIR; }
std::string Win64Dir() { return MIRAD_WIN64_DIR; }

std::string FromEnvironment(const char* name, const std::string& otherwise) {
    const char* value = std::getenv(name);
    return value && *value ? value : otherwise;
}
std::string WineLoader() { return FromEnvironment("MIRAD_WINE", "wine"); }
std::string WineBuild() { return FromEnvironment("MIRAD_WINE_BUILD", Win32Dir()); }

// Empty when Wine can run the Windows build, else why not.
std::string WineMissing() {
    if (WineLoader().find('/') == std::string::npos ? !HaveTool(WineLoader()) : !FileExists(WineLoader()))
        return WineLoader() + " is not installed";
    if (!FileExists(WineBuild() + "/mirad.exe"))
        return WineBuild() + "/mirad.exe is missing (build it with scripts/build.sh win32 or win64)";
    if (!FileExists(WineBuild() + "/Mirad.wcx") && !FileExists(WineBuild() + "/Mirad.wcx64"))
        return WineBuild() + "/Mirad.wcx(64) is missing (build it with scripts/build.sh win32 or win64)";
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
    // The first run in a new or outdated prefix makes or updates it and says
    // so on the output the tests compare. One quiet run first: later runs
    // wait for that boot, so they find the prefix ready.
    static const bool booted = [] {
        fixture::Run(Quote(WineLoader()) + " " + Quote(WineBuild() + "/mirad.exe") + " --version </dev/null >/dev/null");
        return true;
    }();
    (void)booted;
    return "";
}

#define SKIP_WITHOUT_WINE()                                                   \
    if (std::string missing = WineMissing(); !missing.empty()) GTEST_SKIP() << "no Wine run: " << missing

CommandResult Windows(const TempDir& dir, const std::string& arguments) {
    return fixture::Run("cd " + Quote(dir.path) + " && " + Quote(WineLoader()) + " " + Quote(WineBuild() + "/mirad.exe") +
                        " --config wcfg " +
                        arguments + " </dev/null");
}

CommandResult Native(const TempDir& dir, const std::string& arguments) {
    return fixture::Run("cd " + Quote(dir.path) + " && " + Quote(HostPath()) + " --config ncfg " + arguments);
}

// Runs `arguments` + " -d nout" natively and + " -d wout" under Wine, expects
// the same files from both and returns them.
Tree ExtractBoth(const TempDir& dir, const std::string& arguments) {
    CommandResult native = Native(dir, arguments + " -d nout"), windows = Windows(dir, arguments + " -d wout");
    EXPECT_EQ(native.status, 0) << native.out;
    EXPECT_EQ(windows.status, 0) << windows.out;
    Tree tree = FilesBelow(dir / "nout");
    EXPECT_EQ(FilesBelow(dir / "wout"), tree);
    return tree;
}

// section -> key -> value, as written.
std::map<std::string, std::map<std::string, std::string>> ParseIni(const std::string& text) {
    std::map<std::string, std::map<std::string, std::string>> ini;
    std::istringstream in(text);
    std::string section;
    for (std::string line; std::getline(in, line);) {
        line = line.substr(0, line.find('\r'));
        if (line.size() > 1 && line.front() == '[' && line.back() == ']')
            section = line.substr(1, line.size() - 2);
        else if (line.find('=') != std::string::npos)
            ini[section][line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    }
    return ini;
}

TEST(Wine, GcabCabinetListsAndExtractsAsNatively) {
    SKIP_WITHOUT_WINE();
    if (!HaveTool("gcab")) GTEST_SKIP() << "gcab is not installed";
    TempDir dir;
    fs::create_directories(dir / "src");
    WriteFile(dir / "src/small.txt", BytesOf("small\n"));
    WriteFile(dir / "src/large.bin", Pattern(100000, 3));
    WriteFile(dir / "src/middle.bin", Pattern(20000, 4));
    for (const char* gcab : {"gcab -c", "gcab -c -z"}) {  // stored and MSZIP
        SCOPED_TRACE(gcab);
        CommandResult made = fixture::Run("cd " + Quote(dir / "src") + " && " + gcab +
                                          " ../g.cab small.txt large.bin middle.bin");
        ASSERT_EQ(made.status, 0) << made.out;

        CommandResult native = Native(dir, "list g.cab"), windows = Windows(dir, "list g.cab");
        ASSERT_EQ(native.status, 0) << native.out;
        ASSERT_EQ(windows.status, 0) << windows.out;
        std::string listed;
        for (char c : windows.out)
            if (c != '\r') listed += c;
        EXPECT_EQ(listed, native.out);
        EXPECT_EQ(ExtractBoth(dir, "extract g.cab"), FilesBelow(dir / "src"));
        fs::remove_all(dir / "nout");
        fs::remove_all(dir / "wout");
    }
}

// Every real CE cabinet with an MSZIP folder tests and extracts under Wine
// as cabextract extracts it; the Windows build updates each, its first
// installed file replaced by the same bytes, into an MSZIP cabinet within 3 %
// of its size that cabextract reads as before.
TEST(Wine, RealMszipCabinetsExtractLikeCabextractAndUpdatedStayMszip) {
    SKIP_WITHOUT_WINE();
    if (CorpusDir().empty()) GTEST_SKIP() << "third-party corpus not present";
    if (!HaveTool("cabextract")) GTEST_SKIP() << "cabextract missing";
    int seen = 0, updated = 0;
    for (const std::string& path : RealMszipCabinets()) {
        Bytes cab = ReadFile(path);
        ++seen;
        SCOPED_TRACE(fs::path(path).filename().string());
        TempDir dir;
        WriteFile(dir / "z.cab", cab);
        EXPECT_EQ(Windows(dir, "test z.cab").status, 0);
        CommandResult peer = fixture::Run("cabextract -q -d " + Quote(dir / "before") + " " + Quote(dir / "z.cab"));
        ASSERT_EQ(peer.status, 0) << peer.out;
        CommandResult windows = Windows(dir, "--stored extract z.cab -d wout");
        EXPECT_EQ(windows.status, 0) << windows.out;
        EXPECT_EQ(FilesBelow(dir / "wout"), FilesBelow(dir / "before"));

        CommandResult listed = Native(dir, "--installed list z.cab");
        ASSERT_EQ(listed.status, 0) << listed.out;
        std::string first = listed.out.substr(0, listed.out.find('\n'));
        first = first.substr(first.rfind("  ") + 2);
        if (first[0] != '%') continue;  // not a CE cabinet
        ASSERT_EQ(Native(dir, "--installed extract z.cab " + Quote(first) + " -d rep").status, 0);
        CommandResult r = Windows(dir, "update z.cab -C rep " + Quote(first));
        ASSERT_EQ(r.status, 0) << r.out;
        ++updated;
        Bytes after = ReadFile(dir / "z.cab");
        ASSERT_GE(after.size(), 44u);
        EXPECT_EQ(after[36 + 6], 1) << "the first folder is MSZIP";
        EXPECT_LT(std::abs(static_cast<double>(after.size()) - cab.size()), cab.size() * 0.03);
        ASSERT_EQ(fixture::Run("cabextract -q -t " + Quote(dir / "z.cab")).status, 0);
        ASSERT_EQ(fixture::Run("cabextract -q -d " + Quote(dir / "after") + " " + Quote(dir / "z.cab")).status, 0);
        EXPECT_EQ(FilesBelow(dir / "after"), FilesBelow(dir / "before"));
    }
    EXPECT_GT(seen, 0);
    EXPECT_GE(updated, 3);
}

TEST(Wine, SettingsFileMadeThroughTheProfileApi) {
    SKIP_WITHOUT_WINE();
    TempDir dir;
    WriteFile(dir / "t.cab", BuildCabinet({Stored("a.txt", BytesOf("a"))}));
    ASSERT_EQ(Windows(dir, "list t.cab").status, 0);
    ASSERT_EQ(Native(dir, "list t.cab").status, 0);
    // The native file's exact content is pinned by the settings tests; the
    // real profile API must write the same keys and values.
    auto ini = ParseIni(ReadText(dir / "wcfg/Mirad.ini"));
    EXPECT_EQ(ini, ParseIni(ReadText(dir / "ncfg/Mirad.ini")));
    EXPECT_EQ(ini.size(), 2u);
    EXPECT_EQ(ini["CONFIGURATION"].size(), 14u);
    EXPECT_EQ(ini["CONFIGURATION"]["Compression"], "none");
    EXPECT_EQ(ini["CONFIGURATION"]["BuildFromInf"], "1");
    EXPECT_EQ(ini["CONFIGURATION"]["EditInstallation"], "1");
    EXPECT_EQ(ini["English"].size(), 17u);
    EXPECT_EQ(ini["English"]["CE_11"], "\\Windows\\Start Menu\\Programs");
}

TEST(Wine, InstalledViewExtractionMatchesNative) {
    SKIP_WITHOUT_WINE();
    TempDir dir;
    fixture::WriteFile(dir / "game.cab", fixture::GameCabinet());
    Tree tree = ExtractBoth(dir, "--installed --expand --shortcuts extract game.cab");
    EXPECT_EQ(tree.size(), 3u);
    EXPECT_EQ(tree["Windows/Start Menu/Programs/Game.lnk"], BytesOf("30#\"\\Program Files\\Game\\game.exe\"\r\n"));
}

TEST(Wine, DocumentsMatchNative) {
    SKIP_WITHOUT_WINE();
    TempDir dir;
    fixture::WriteFile(dir / "game.cab", fixture::GameCabinet());
    Tree tree = ExtractBoth(dir, "--registry --inf extract game.cab");
    EXPECT_EQ(tree.size(), 5u);  // the stored files and both documents
    ASSERT_FALSE(tree["~Cab~.REG"].empty());
    ASSERT_FALSE(tree["~Cab~.INF"].empty());
    // Standard output of the Windows host is binary: CR LF stays CR LF.
    CommandResult windows = Windows(dir, "--registry --inf extract game.cab ~Cab~.INF -d -");
    EXPECT_EQ(windows.status, 0);
    EXPECT_EQ(BytesOf(windows.out), tree["~Cab~.INF"]);
}

// Both builds give extracted files the stored date and time (local time) and
// make read-only entries read-only; both hand out a Windows-1252 name and a
// UTF-8-flagged name so that they land under the same (UTF-8) name on disk.
TEST(Wine, ExtractedFilesKeepStoredTimesAttributesAndNames) {
    SKIP_WITHOUT_WINE();
    TempDir dir;
    StoredFile ro = Stored("ro.txt", BytesOf("r")), rw = Stored("rw.txt", BytesOf("w"));
    StoredFile latin = Stored("caf\xE9.txt", BytesOf("1252")), flagged = Stored("na\xC3\xAFve.txt", BytesOf("utf8"));
    ro.attribs = 0x21;
    ro.date = latin.date = 0x2470;  // 1998-03-16
    ro.time = latin.time = 0x8E61;  // 17:51:02
    flagged.attribs = 0xA0;
    WriteFile(dir / "t.cab", BuildCabinet({ro, rw, latin, flagged}));
    Tree tree = ExtractBoth(dir, "extract t.cab");
    EXPECT_EQ(tree.size(), 4u);
    EXPECT_EQ(tree.count("caf\xC3\xA9.txt"), 1u);
    EXPECT_EQ(tree.count("na\xC3\xAFve.txt"), 1u);
    int64_t stored = 0, builders = 0;
    ASSERT_TRUE(mirad::platform::DosToUnixTime(0x2470, 0x8E61, &stored));
    ASSERT_TRUE(mirad::platform::DosToUnixTime(rw.date, rw.time, &builders));
    for (const char* out : {"nout", "wout"}) {
        std::string at = dir / out;
        struct stat st;
        ASSERT_EQ(stat((at + "/ro.txt").c_str(), &st), 0);
        EXPECT_EQ(static_cast<int64_t>(st.st_mtime), stored) << out;
        EXPECT_EQ(st.st_mode & 0222, 0u) << out;
        ASSERT_EQ(stat((at + "/caf\xC3\xA9.txt").c_str(), &st), 0);
        EXPECT_EQ(static_cast<int64_t>(st.st_mtime), stored) << out;
        ASSERT_EQ(stat((at + "/rw.txt").c_str(), &st), 0);
        EXPECT_NE(st.st_mode & 0200, 0u) << out;
        EXPECT_EQ(static_cast<int64_t>(st.st_mtime), builders) << out;
    }
}

// ---- The wide exports ----------------------------------------------------------

// Names that need UTF-16, in a folder whose name no ANSI code page holds.
const std::string kFolder = "\xC3\x9Cn\xC3\xAF \xE2\x98\x83 \xE7\x9B\xAE\xE5\xBD\x95";  // Ünï ☃ 目录
const std::string kSnow = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xE2\x98\x83.txt";        // 日本語 ☃.txt
const std::string kCafe = "caf\xC3\xA9.txt";                                                   // café.txt
const std::string kSize = "Gr\xC3\xB6\xC3\x9F" "e.txt";                                     // Größe.txt

// What one run of the wide host said and left: its output with "\" read as
// "/", and the files below kFolder.
struct WideRun {
    std::vector<std::string> out;
    Tree files;
};

// The scenarios of the ANSI exports through the wide ones: listing,
// extraction to a non-ASCII path, a new cabinet, an update of a CE cabinet
// and a removal from it, and recognition by content; `run` runs the wide
// host in dir/kFolder.
std::vector<WideRun> WideScenarios(const TempDir& dir, const std::function<CommandResult(const std::string&)>& run) {
    const std::string at = dir / kFolder;
    fs::remove_all(at);
    fs::create_directories(at + "/src");
    fs::create_directories(at + "/cfg");
    StoredFile snow = Stored(kSnow, BytesOf("snow")), latin = Stored("caf\xE9.txt", BytesOf("1252")),
               plain = Stored("dir\\ascii.txt", BytesOf("ascii"));
    snow.attribs = 0xA0;  // the UTF-8 name flag
    WriteFile(at + "/names.cab", BuildCabinet({snow, latin, plain}));
    CabLayout layout;
    Bytes huge = BuildCabinet({Stored("huge.bin", BytesOf("h"))}, {}, &layout);
    for (int i = 0; i < 4; ++i) huge[layout.fileRecordOffsets[0] + i] = 0xFF;  // cbFile 0xFFFFFFFF
    WriteFile(at + "/huge.cab", huge);
    CeSetup setup;
    setup.strings = {{1, "%CE1%\\Spiel"}};
    setup.directories = {{1, {1}}};
    // Windows-1252, as setup files store it
    setup.copyFiles = {{1, 1, "Gr\xF6\xDF" "e.txt"}, {2, 1, "M\xFCll.txt"}};
    WriteFile(at + "/game.cab", BuildCeCabinet(setup, {Stored("gro.001", BytesOf("old")), Stored("mul.002", BytesOf("x"))}));
    WriteFile(at + "/" + kSnow + ".bin", ReadFile(at + "/names.cab"));
    // The files a new cabinet is packed from carry one moment in every run,
    // so the native and the Windows cabinet are alike to the byte.
    for (const auto& [name, text] : {std::pair<std::string, std::string>{kSnow, "new snow"}, {kCafe, "new cafe"}}) {
        const std::string path = at + "/src/" + name;
        WriteText(path, text);
        const struct timespec when[2] = {{1700000000, 0}, {1700000000, 0}};
        EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), when, 0), 0);
    }
    fs::create_directories(at + "/upd/%InstallDir%");
    WriteText(at + "/upd/%InstallDir%/" + kSize, "new size");
    WriteSettings(at + "/cfg", false, true, false, false, false);  // installed paths, macros kept
    WriteText(at + "/cfg/Mirad.ini", ReadText(at + "/cfg/Mirad.ini") + "EditInstallation=1\n");

    const std::vector<std::string> steps = {
        "list names.cab",
        "list huge.cab",
        "extract names.cab " + Quote("out " + kSnow),
        "pack new.cab src " + Quote(kSnow) + " " + Quote(kCafe),
        "list new.cab",
        "--settings cfg pack game.cab upd " + Quote("%InstallDir%/" + kSize),
        "--settings cfg delete game.cab " + Quote("%InstallDir%/M\xC3\xBCll.txt"),
        "--settings cfg extract game.cab " + Quote("game " + kSnow),
        "handles " + Quote(kSnow + ".bin"),
        "handles src/" + Quote(kCafe),
    };
    std::vector<WideRun> runs;
    for (const std::string& step : steps) {
        CommandResult r = run(step);
        EXPECT_EQ(r.status, 0) << step << "\n" << r.out;
        WideRun w;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) {
            line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
            std::replace(line.begin(), line.end(), '\\', '/');
            w.out.push_back(line);
        }
        w.files = FilesBelow(at);
        runs.push_back(w);
    }
    return runs;
}

std::string WideHostPath() { return (fs::path(HostPath()).parent_path() / "wide_host").string(); }

TEST(WideExports, NamesThatNeedUtf16ListExtractPackAndUpdate) {
    if (!FileExists(WideHostPath())) GTEST_SKIP() << WideHostPath() << " is not built";
    TempDir dir;
    std::vector<WideRun> runs = WideScenarios(dir, [&](const std::string& args) {
        return fixture::Run("cd " + Quote(dir / kFolder) + " && " + Quote(WideHostPath()) + " " + args);
    });
    ASSERT_EQ(runs.size(), 10u);
    const std::string t = std::to_string(HostTime(0x5A21, 0x6000));
    // Windows-1252 and flagged UTF-8 names alike, as the ANSI listing has them.
    EXPECT_EQ(runs[0].out, (std::vector<std::string>{"entry " + kSnow + "\t4\t0\t4\t" + t + "\t0",
                                                     "entry " + kCafe + "\t4\t0\t4\t" + t + "\t0",
                                                     "entry dir/ascii.txt\t5\t0\t5\t" + t + "\t0", "result 10"}));
    Module m;
    ASSERT_TRUE(m.ok());
    std::vector<std::string> ansi;
    for (const Entry& e : List(m, dir / kFolder + "/names.cab")) ansi.push_back("entry " + e.name);
    EXPECT_EQ(ansi, (std::vector<std::string>{"entry " + kSnow, "entry " + kCafe, "entry dir/ascii.txt"}));
    // Sizes in full, where the 32-bit record says -1.
    EXPECT_EQ(runs[1].out[0], "entry huge.bin\t4294967295\t0\t4294967295\t" + t + "\t0");
    // Extracted below a non-ASCII path, with progress under the listed names.
    EXPECT_EQ(runs[2].files["out " + kSnow + "/" + kSnow], BytesOf("snow"));
    EXPECT_EQ(runs[2].files["out " + kSnow + "/" + kCafe], BytesOf("1252"));
    EXPECT_EQ(runs[2].files["out " + kSnow + "/dir/ascii.txt"], BytesOf("ascii"));
    EXPECT_NE(std::find(runs[2].out.begin(), runs[2].out.end(), "progress " + kSnow + "\t4"), runs[2].out.end());
    // A new cabinet stores both names in UTF-8 with the flag: the ANSI
    // listing and cabextract read them back.
    EXPECT_EQ(runs[3].out.back(), "result 0");
    EXPECT_NE(std::find(runs[3].out.begin(), runs[3].out.end(), "progress src/" + kSnow + "\t8"), runs[3].out.end());
    ASSERT_EQ(runs[4].out.size(), 3u);
    EXPECT_EQ(runs[4].out[0].substr(0, runs[4].out[0].find('\t')), "entry " + kSnow);
    EXPECT_EQ(runs[4].out[1].substr(0, runs[4].out[1].find('\t')), "entry " + kCafe);
    if (HaveTool("cabextract")) {
        CommandResult peer = fixture::Run("cabextract -q -d " + Quote(dir / "peer") + " " + Quote(dir / kFolder + "/new.cab"));
        EXPECT_EQ(peer.status, 0) << peer.out;
        EXPECT_EQ(FilesBelow(dir / "peer"), (Tree{{kSnow, BytesOf("new snow")}, {kCafe, BytesOf("new cafe")}}));
    }
    // The installed file named in Windows-1252 is replaced through its
    // UTF-16 name and extracts with the new bytes.
    EXPECT_EQ(runs[5].out.back(), "result 0");
    // The other one is removed through its UTF-16 name.
    EXPECT_EQ(runs[6].out, (std::vector<std::string>{"result 0"}));
    EXPECT_EQ(runs[7].files["game " + kSnow + "/%InstallDir%/" + kSize], BytesOf("new size"));
    EXPECT_EQ(runs[7].files.count("game " + kSnow + "/%InstallDir%/M\xC3\xBCll.txt"), 0u);
    EXPECT_EQ(runs[8].out, (std::vector<std::string>{"handles 1"}));
    EXPECT_EQ(runs[9].out, (std::vector<std::string>{"handles 0"}));
}

// The same scenarios through the Windows module's wide exports: the same
// names, sizes, files and cabinets, and the precise time as the FILETIME
// of the moment the native listing gives in Unix seconds.
TEST(Wine, WideExportsGiveWhatTheyGiveNatively) {
    SKIP_WITHOUT_WINE();
    const std::string windowsHost = WineBuild() + "/wide_host.exe";
    if (!FileExists(windowsHost) || !FileExists(WideHostPath())) GTEST_SKIP() << "the wide host is not built";
    TempDir nativeDir, windowsDir;
    std::vector<WideRun> native = WideScenarios(nativeDir, [&](const std::string& args) {
        return fixture::Run("cd " + Quote(nativeDir / kFolder) + " && " + Quote(WideHostPath()) + " " + args);
    });
    // Wine reads the command line in the locale's character set.
    std::vector<WideRun> windows = WideScenarios(windowsDir, [&](const std::string& args) {
        return fixture::Run("cd " + Quote(windowsDir / kFolder) + " && LC_ALL=C.UTF-8 " + Quote(WineLoader()) + " " +
                            Quote(windowsHost) + " " + args + " </dev/null");
    });
    ASSERT_EQ(windows.size(), native.size());
    for (size_t i = 0; i < native.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(windows[i].files, native[i].files);
        ASSERT_EQ(windows[i].out.size(), native[i].out.size());
        for (size_t k = 0; k < native[i].out.size(); ++k) {
            const std::string &n = native[i].out[k], &w = windows[i].out[k];
            if (n.rfind("entry ", 0) != 0) {
                EXPECT_EQ(w, n);
                continue;
            }
            // name, unpacked, high, packed, time, precise time
            std::vector<std::string> nf, wf;
            std::istringstream ns(n), ws(w);
            for (std::string f; std::getline(ns, f, '\t');) nf.push_back(f);
            for (std::string f; std::getline(ws, f, '\t');) wf.push_back(f);
            ASSERT_EQ(nf.size(), 6u);
            ASSERT_EQ(wf.size(), 6u);
            EXPECT_EQ(std::vector<std::string>(wf.begin(), wf.begin() + 4),
                      std::vector<std::string>(nf.begin(), nf.begin() + 4));
            EXPECT_EQ(std::stoull(wf[5]), (std::stoull(nf[4]) + 11644473600ull) * 10000000ull) << w;
        }
    }
}

// The DLLs a file manager loads, 32-bit PE and 64-bit PE32+: the exports
// under their plain names (stdcall without decoration), and nothing but
// system DLLs to load beside them (libgcc, libstdc++ and zlib linked in).
TEST(Wine, WindowsModulesHavePlainExportsAndOnlySystemImports) {
    struct Build {
        std::string module, objdump, format, magic;
    };
    const std::vector<Build> builds = {
        {Win32Dir() + "/Mirad.wcx", "i686-w64-mingw32-objdump", "file format pei-i386", "010b\t(PE32)"},
        {Win64Dir() + "/Mirad.wcx64", "x86_64-w64-mingw32-objdump", "file format pei-x86-64", "020b\t(PE32+)"},
    };
    int checked = 0;
    for (const Build& b : builds) {
        if (!FileExists(b.module) || !HaveTool(b.objdump)) {
            std::printf("[  SKIPPED ] %s (scripts/build.sh win32 win64, or %s, missing)\n", b.module.c_str(),
                        b.objdump.c_str());
            continue;
        }
        SCOPED_TRACE(b.module);
        ++checked;
        CommandResult dump = fixture::Run(b.objdump + " -p " + Quote(b.module));
        ASSERT_EQ(dump.status, 0) << dump.out;
        EXPECT_NE(dump.out.find(b.format), std::string::npos);
        EXPECT_NE(dump.out.find("Magic\t\t\t" + b.magic), std::string::npos);

        std::vector<std::string> imports, exports;
        bool inNameTable = false;
        std::istringstream in(dump.out);
        for (std::string line; std::getline(in, line);) {
            size_t at = line.find("DLL Name: "), close = line.find("] ");
            if (at != std::string::npos) imports.push_back(line.substr(at + 10));
            if (line.find("[Ordinal/Name Pointer] Table") != std::string::npos)
                inNameTable = true;
            else if (inNameTable && (line.find('[') == std::string::npos || close == std::string::npos))
                inNameTable = false;
            else if (inNameTable)
                exports.push_back(line.substr(close + 2));
        }
        EXPECT_EQ(exports, ExportNames());
        ASSERT_FALSE(imports.empty());
        for (std::string name : imports) {
            for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            EXPECT_TRUE(name == "KERNEL32.DLL" || name == "MSVCRT.DLL" || name == "USER32.DLL") << name;
        }
    }
    if (checked == 0) GTEST_SKIP() << "no Windows module built";
}

// The host reads refused cabinets itself on Windows too: the same sentences.
// The module's log says why it refused: a file without "MSCF" is no
// cabinet, whatever its length; a cabinet of the wrong length is damaged.
TEST(Wine, RefusalsGiveTheSameReasons) {
    SKIP_WITHOUT_WINE();
    TempDir dir;
    StoredFile a;
    a.name = "a";
    a.data = BytesOf("a");
    Bytes cab = BuildCabinet({a}), zip = {'P', 'K', 5, 6}, installer = BytesOf("ISc(");
    zip.resize(22);
    installer.resize(512);
    const Bytes game = GameCabinet();
    Bytes longer = game;
    longer.resize(game.size() + 4096);
    CabOptions lzx;
    lzx.typeCompress = 3;
    const char* notCab = "Not CAB file or bad type";
    const char* mismatch = "Size mismatch";
    struct Case {
        const char* name;
        Bytes bytes;
        const char* logged;  // null: not checked
    };
    const std::vector<Case> cases = {
        {"empty.cab", {}, notCab},
        {"one.cab", {'M'}, notCab},
        {"short.cab", Pattern(35, 3), notCab},
        {"random.cab", Pattern(5000, 4), notCab},
        {"installer.cab", installer, notCab},
        {"zip.cab", zip, notCab},
        {"text.cab", BytesOf("this is no cabinet at all, though it is long enough to hold a header"), notCab},
        {"cut.cab", Bytes(cab.begin(), cab.end() - 5), mismatch},
        {"cutgame.cab", Bytes(game.begin(), game.end() - 100), mismatch},
        {"longgame.cab", longer, mismatch},
        {"lzx.cab", BuildCabinet({a}, lzx), nullptr},
        {"missing.cab", {}, nullptr},
    };
    for (const Case& c : cases) {
        if (std::string(c.name) != "missing.cab") WriteFile(dir / c.name, c.bytes);
        std::string list = std::string("list ") + c.name;
        CommandResult native = Native(dir, "--log n.log " + list), windows = Windows(dir, "--log w.log " + list);
        EXPECT_EQ(native.status, 1) << c.name;
        EXPECT_EQ(windows.status, 1) << c.name;
        // Windows writes its line ends as CR LF.
        windows.out.erase(std::remove(windows.out.begin(), windows.out.end(), '\r'), windows.out.end());
        EXPECT_EQ(windows.out, native.out) << c.name;
        if (!c.logged) continue;
        for (const char* log : {"n.log", "w.log"}) {
            std::string text = ReadText(dir / log);
            EXPECT_NE(text.find(c.logged), std::string::npos) << c.name << " " << log << ":\n" << text;
            EXPECT_EQ(text.find(c.logged == notCab ? mismatch : notCab), std::string::npos) << c.name << " " << log;
            fs::remove(dir / log);
        }
    }
}

// The Windows build keeps files safe as the native one does: a damaged entry
// leaves the file it would replace as it was, a good one replaces it whole,
// a read-only cabinet is not updated, an update and a pack leave no
// temporary file and pack never takes a name that exists.
TEST(Wine, ExtractionAndUpdateKeepFilesSafe) {
    SKIP_WITHOUT_WINE();
    TempDir dir;
    CabLayout layout;
    Bytes cab = BuildCabinet({Stored("a.txt", Bytes(5000, 'n'))}, {}, &layout);
    WriteFile(dir / "good.cab", cab);
    cab[layout.blockOffsets[0] + 4] ^= 0xFF;  // cbData: the block no longer fits
    cab[layout.blockOffsets[0] + 5] ^= 0xFF;
    WriteFile(dir / "bad.cab", cab);
    fs::create_directories(dir / "d");
    WriteText(dir / "d/a.txt", "old content");
    EXPECT_EQ(Windows(dir, "extract bad.cab -d d").status, 1);
    EXPECT_EQ(FilesBelow(dir / "d"), (Tree{{"a.txt", BytesOf("old content")}})) << "old file lost or temporary left";
    EXPECT_EQ(Windows(dir, "extract good.cab -d d").status, 0);
    EXPECT_EQ(FilesBelow(dir / "d"), (Tree{{"a.txt", Bytes(5000, 'n')}}));

    // Each directory below the destination is opened and checked on its
    // own: a file in the way refuses its entry alone.
    WriteFile(dir / "deep.cab", BuildCabinet({Stored("a.txt\\x.txt", BytesOf("x")), Stored("e\\f\\g\\y.txt", BytesOf("y"))}));
    CommandResult refused = Windows(dir, "extract deep.cab -d d");
    EXPECT_EQ(refused.status, 1) << refused.out;
    EXPECT_NE(refused.out.find("is not a directory"), std::string::npos) << refused.out;
    EXPECT_EQ(FilesBelow(dir / "d"), (Tree{{"a.txt", Bytes(5000, 'n')}, {"e/f/g/y.txt", BytesOf("y")}}));
    fs::remove_all(dir / "d/e");
    fs::remove(dir / "deep.cab");

    const Bytes game = GameCabinet();
    WriteFile(dir / "game.cab", game);
    fs::create_directories(dir / "src/%InstallDir%");
    WriteFile(dir / "src/%InstallDir%/game.exe", Pattern(70000, 5));
    const std::string update = "update game.cab -C src '%InstallDir%\\game.exe'";
    ASSERT_EQ(chmod((dir / "game.cab").c_str(), 0444), 0);
    CommandResult r = Windows(dir, update);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("it is read-only; nothing was changed"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(dir / "game.cab"), game);
    ASSERT_EQ(chmod((dir / "game.cab").c_str(), 0644), 0);
    r = Windows(dir, update);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(ReadFile(dir / "game.cab"), game);

    r = Windows(dir, "pack new.cab -C src --move .");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(FileExists(dir / "src/%InstallDir%/game.exe"));
    r = Windows(dir, "pack game.cab -C d a.txt");
    EXPECT_EQ(r.status, 1) << r.out;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"bad.cab", "d", "game.cab", "good.cab", "new.cab", "src", "wcfg"}));
}

}  // namespace
