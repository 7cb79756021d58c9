// The packages scripts/package.sh makes, installed into a scratch directory
// and run: the plug-in archive and the Debian package natively, the Windows
// archive under Wine. Skipped, saying why, when they have not been made.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/fixture.h"

namespace fs = std::filesystem;
using namespace fixture;

namespace {

// The one file in `dir` whose name ends in `suffix`, or "".
std::string PackageIn(const std::string& dir, const std::string& suffix) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error)) {
        std::string name = entry.path().filename().string();
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            return entry.path().string();
    }
    return "";
}

std::vector<std::string> NamesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& [name, bytes] : FilesBelow(dir)) names.push_back(name);
    return names;
}

const char* const kPluginInstall =
    "[PluginInstall]\r\n"
    "description=Mirad: browse, extract and build Windows CE installation cabinets (MIT licence)\r\n"
    "type=wcx\r\nfile=Mirad.wcx\r\ndefaultextension=cab\r\n";

// mirad as installed lists the shipped sample in the installed view, so
// it found and loaded the installed module.
void ExpectListsTheSample(const std::string& command, const TempDir& dir) {
    fs::copy_file(SourceDir() + "/samples/sample.cab", dir / "sample.cab", fs::copy_options::overwrite_existing);
    CommandResult r = fixture::Run("cd " + Quote(dir.path) + " && " + command + " --config cfg list sample.cab </dev/null");
    EXPECT_EQ(r.status, 0) << command << "\n" << r.out;
    EXPECT_NE(r.out.find("Sample App"), std::string::npos) << r.out;  // "/" or "\\" by platform
    EXPECT_NE(r.out.find("sample.exe"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("~Cab~.INF"), std::string::npos) << r.out;
}

TEST(Packages, PluginArchiveInstallsAndRuns) {
    std::string archive = PackageIn("packages", "-linux-x86_64.tar.gz");
    if (archive.empty()) GTEST_SKIP() << "no plug-in archive in packages/ (scripts/package.sh)";
    TempDir dir;
    ASSERT_EQ(fixture::Run("tar -xzf " + Quote(archive) + " -C " + Quote(dir.path)).status, 0);
    EXPECT_EQ(NamesIn(dir.path),
              (std::vector<std::string>{"LICENSE", "Mirad.wcx", "mirad", "mirad.1", "pluginst.inf"}));
    EXPECT_EQ(ReadText(dir / "pluginst.inf"), kPluginInstall);
    EXPECT_EQ(ReadText(dir / "LICENSE"), ReadText(SourceDir() + "/LICENSE"));
    ExpectListsTheSample(Quote(dir / "mirad"), dir);
}

TEST(Packages, DebianPackageInstallsAndRuns) {
    std::string deb = PackageIn("packages", "_amd64.deb");
    if (deb.empty()) GTEST_SKIP() << "no Debian package in packages/ (scripts/package.sh)";
    if (!HaveTool("dpkg-deb")) GTEST_SKIP() << "dpkg-deb is not installed";
    CommandResult fields = fixture::Run("dpkg-deb -f " + Quote(deb) + " Package Architecture Depends");
    EXPECT_NE(fields.out.find("Package: mirad\n"), std::string::npos) << fields.out;
    EXPECT_NE(fields.out.find("Architecture: amd64\n"), std::string::npos) << fields.out;
    EXPECT_NE(fields.out.find("zlib1g"), std::string::npos) << fields.out;
    TempDir root;
    ASSERT_EQ(fixture::Run("dpkg-deb -x " + Quote(deb) + " " + Quote(root.path)).status, 0);
    EXPECT_EQ(NamesIn(root.path), (std::vector<std::string>{"usr/bin/mirad", "usr/lib/mirad/Mirad.wcx",
                                                            "usr/share/bash-completion/completions/mirad",
                                                            "usr/share/doc/mirad/copyright",
                                                            "usr/share/man/man1/mirad.1"}));
    // /usr/bin/mirad finds the module in ../lib/mirad, as once installed.
    ExpectListsTheSample(Quote(root / "usr/bin/mirad"), root);
}

TEST(Packages, WindowsArchiveInstallsAndRunsUnderWine) {
    std::string zip = PackageIn(std::string(MIRAD_WIN32_DIR) + "/packages", "-windows.zip");
    if (zip.empty()) GTEST_SKIP() << "no Windows archive in " << MIRAD_WIN32_DIR << "/packages (scripts/package.sh)";
    if (!HaveTool("bsdtar")) GTEST_SKIP() << "bsdtar is not installed";
    TempDir dir;
    ASSERT_EQ(fixture::Run("bsdtar -xf " + Quote(zip) + " -C " + Quote(dir.path)).status, 0);
    EXPECT_EQ(NamesIn(dir.path), (std::vector<std::string>{"LICENSE", "Mirad.wcx", "Mirad.wcx64", "mirad.exe",
                                                           "pluginst.inf"}));
    EXPECT_EQ(ReadText(dir / "pluginst.inf"), kPluginInstall);
    // The archive's mirad.exe is 32-bit: it runs in the prepared 32-bit
    // prefix scripts/test.sh names.
    const char* loader = std::getenv("MIRAD_WINE");
    const char* arch = std::getenv("WINEARCH");
    if (!loader || !arch || std::string(arch) != "win32")
        GTEST_SKIP() << "no prepared 32-bit Wine prefix (scripts/test.sh prepares one)";
    ExpectListsTheSample(Quote(loader) + " " + Quote(dir / "mirad.exe"), dir);
}

}  // namespace
