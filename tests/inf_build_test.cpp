// CE cabinets built from INFs: the round trip of every real CE cabinet
// (mirad extract --sources, then mirad build, which asks PackFiles as a file
// manager does), the wizard's own INFs against the cabinets built from them,
// and crafted INFs that must fail with a message and write nothing.
#include <gtest/gtest.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "documents/inf_build.h"
#include "tests/fixture.h"

using namespace fixture;

namespace {

std::string Mirad(const std::string& dir, const std::string& arguments) {
    return "cd " + Quote(dir) + " && " + Quote(HostPath()) + " --config cfg " + arguments;
}

// A document's text without its second line (the banner naming the cabinet).
std::string WithoutBanner(const Bytes& bytes) {
    std::string text(bytes.begin(), bytes.end());
    size_t first = text.find('\n');
    size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
    return second == std::string::npos ? text : text.substr(0, first + 1) + text.substr(second + 1);
}

std::vector<std::string> RealCeCabinets(const std::string& corpus) {
    std::vector<std::string> names;
    DIR* d = opendir((corpus + "/real-ce").c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 4 && (n.substr(n.size() - 4) == ".CAB" || n.substr(n.size() - 4) == ".cab")) names.push_back(n);
    }
    closedir(d);
    return names;
}

TEST(InfBuild, EveryRealCeCabinetRoundTrips) {
    const std::string corpus = CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "third-party corpus not present at " << MIRAD_CORPUS_DIR;
    TempDir dir;
    int built = 0;
    for (const std::string& name : RealCeCabinets(corpus)) {
        SCOPED_TRACE(name);
        const std::string cab = corpus + "/real-ce/" + name, t = dir / name;
        // The two commands of the round trip: lay out the sources, build.
        CommandResult sources = fixture::Run(Mirad(dir.path, "extract --sources " + Quote(cab) + " -d " + Quote(t)));
        if (!FileExists(t + "/~Cab~.INF")) continue;  // no setup file, no script
        ASSERT_EQ(sources.status, 0) << sources.out;
        const std::string again = dir / ("re-" + name);
        CommandResult b = fixture::Run(Mirad(t, "build '~Cab~.INF' -o " + Quote(again)));
        ASSERT_EQ(b.status, 0) << b.out;
        ++built;
        const char* view = "--installed --shortcuts --registry --inf ";
        const std::string a = dir / ("a-" + name), c = dir / ("c-" + name);
        ASSERT_EQ(fixture::Run(Mirad(dir.path, "extract " + std::string(view) + Quote(cab) + " -d " + Quote(a))).status, 0);
        ASSERT_EQ(fixture::Run(Mirad(dir.path, "extract " + std::string(view) + Quote(again) + " -d " + Quote(c))).status, 0);
        // Names in order, sizes, dates and attributes (but the script's size:
        // its banner names the cabinet).
        std::string listed = fixture::Run(Mirad(dir.path, "list --installed --shortcuts --registry " + Quote(cab))).out;
        EXPECT_EQ(fixture::Run(Mirad(dir.path, "list --installed --shortcuts --registry " + Quote(again))).out, listed);
        auto before = FilesBelow(a), after = FilesBelow(c);
        EXPECT_EQ(before.size(), after.size());
        for (const auto& f : before) {
            ASSERT_TRUE(after.count(f.first)) << f.first;
            if (f.first == "~Cab~.INF") {
                EXPECT_EQ(WithoutBanner(after[f.first]), WithoutBanner(f.second));
            } else {
                EXPECT_TRUE(after[f.first] == f.second) << f.first;
            }
        }
        // Peers read what was built.
        const char* const peers[][2] = {
            {"cabextract", "cabextract -t "}, {"7zz", "7zz t "}, {"gcab", "gcab -l "}, {"bsdtar", "bsdtar -tf "}};
        for (const auto& peer : peers) {
            if (HaveTool(peer[0])) {
                EXPECT_EQ(fixture::Run(peer[1] + Quote(again)).status, 0) << peer[0];
            }
        }
    }
    EXPECT_GT(built, 10);
}

// A small project: an INF and its one source; the case changes it.
const char* const kInf =
    "[Version]\nCESignature = \"$Windows CE$\"\n[CEStrings]\nAppName = App\nInstallDir = %CE1%\\App\n"
    "[SourceDisksNames]\n1 = ,,,src\n[SourceDisksFiles]\na.exe = 1\n[DefaultInstall]\nCopyFiles = Files\n"
    "[DestinationDirs]\nFiles = 0,%InstallDir%\n[Files]\na.exe\n";

// mirad build says what the module found wrong, and writes nothing.
TEST(InfBuild, MiradBuildReportsTheInfsMessage) {
    TempDir dir;
    WriteText(dir / "bad.inf", "[Version]\nCESignature = \"$Windows CE$\"\n[CEStrings]\nAppName = A\n");
    WriteText(dir / "plain.inf", "[Version]\nSignature = \"$Windows NT$\"\n");
    struct Case {
        const char* inf;
        const char* message;
    };
    const Case cases[] = {
        {"bad.inf", "mirad: bad.inf:3: [CEStrings] has no InstallDir; 'bad.cab' was not written\n"},
        {"plain.inf", "mirad: cannot build from 'plain.inf': not a CE INF ([Version] has no CESignature = "
                      "\"$Windows CE$\"); nothing was written\n"},
    };
    for (const Case& c : cases) {
        CommandResult r = fixture::Run(Mirad(dir.path, std::string("build ") + c.inf));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.message);
    }
    EXPECT_FALSE(FileExists(dir / "bad.cab"));
    EXPECT_FALSE(FileExists(dir / "plain.cab"));
}

TEST(InfBuild, CraftedInfsFailAndWriteNothing) {
    std::string many = std::string(kInf);
    for (int i = 0; i < 70000; ++i) many += "\"f" + std::to_string(i) + "\",a.exe\n";
    struct Case {
        std::string inf;
        std::string sourceDir;  // relative to the case's folder; empty: the INF's
        const char* message;
    };
    const Case cases[] = {
        {std::string(kInf) + "[DestinationDirs]\nFiles = 0,%CE1%\\..\\..\\x\n", "",
         "app.inf:17: \"%CE1%\\..\\..\\x\" is no device directory (a drive letter or \"..\")"},
        {std::string(kInf) + "[DestinationDirs]\nFiles = 0,C:\\Windows\n", "",
         "app.inf:17: \"C:\\Windows\" is no device directory (a drive letter or \"..\")"},
        {std::string(kInf) + "[SourceDisksNames]\n1 = ,,,..\\..\n", "project",
         "app.inf:9: the source \"a.exe\" lies outside the source directory "},
        {std::string(kInf) + "[SourceDisksFiles]\nb.exe = 1\n[Files]\nb.exe\n", "",
         "app.inf:17: cannot find the source \"b.exe\" (searched "},
        {many, "", "app.inf:65550: more than 65535 files to copy"},
        {std::string(kInf) + "[Strings]\nx = " + std::string(10 * 1024 * 1024, 'x') + "\n", "",
         "app.inf:17: a line longer than 65536 characters"},
        {std::string(kInf) + "[Strings]\nx = %y%\ny = %x%\n[Files]\n%x%\n", "",
         "app.inf:18: %y% refers to itself through [Strings]"},
    };
    TempDir dir;
    int n = 0;
    for (const Case& c : cases) {
        const std::string root = dir / std::to_string(n++);
        ASSERT_EQ(fixture::Run("mkdir -p " + Quote(root + "/project/src")).status, 0);
        WriteText(root + "/project/src/a.exe", "program");
        WriteText(root + "/project/app.inf", c.inf);
        mirad::InfBuildOptions options;
        if (!c.sourceDir.empty()) options.sourceDir = root + "/" + c.sourceDir;
        mirad::InfReport report;
        const std::string out = root + "/app.cab";
        EXPECT_TRUE(mirad::BuildCabinetFromInf(out.c_str(), (root + "/project/app.inf").c_str(), options, &report));
        EXPECT_EQ(report.error.substr(0, std::string(c.message).size()), c.message);
        EXPECT_FALSE(FileExists(out)) << c.message;
    }
}

}  // namespace

namespace {

// A listing with the date and time of every shortcut line blanked.
std::string WithoutShortcutDates(const std::string& listing) {
    std::string out, line;
    for (char c : listing) {
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line.size() > 34 && line.compare(line.size() - 4, 4, ".lnk") == 0) line.replace(13, 19, 19, ' ');
        out += line + "\n";
        line.clear();
    }
    return out;
}

// Lays out the sources a wizard INF names from the installed files of the
// cabinet built from it: each copy line's destination file becomes its
// source, where [SourceDisksNames] says; the setup DLL is the stored .999.
bool LayOutSources(const std::string& infPath, const std::string& cpu, const std::string& installed,
                   const std::string& stored, const std::string& src, std::string* problem) {
    Bytes text = ReadFile(infPath);
    mirad::InfOptions o;
    o.name = "wizard.inf";
    o.cpu = cpu;
    mirad::CeInf inf;
    mirad::InfReport report;
    if (!mirad::ReadCeInf(text.data(), text.size(), o, &inf, &report)) return *problem = report.error, false;
    auto hostPath = [](std::string p) {
        for (char& c : p)
            if (c == '\\') c = '/';
        return p;
    };
    for (const mirad::InfCopyList& list : inf.copyLists) {
        for (const mirad::InfCopyFile& f : list.files) {
            const mirad::InfSourceFile& s = inf.sources[f.sourceEntry];
            std::string from = installed + "/" + hostPath(list.destination) + "/" + f.dest;
            std::string to = src + "/" + hostPath(s.directory) + "/" + s.name;
            if (fixture::Run("mkdir -p \"$(dirname " + Quote(to) + ")\" && cp -p " + Quote(from) + " " + Quote(to)).status)
                return *problem = "no installed file " + from, false;
        }
    }
    if (!inf.setupDll.empty()) {
        const mirad::InfSourceFile* s = mirad::FindSource(inf, inf.setupDll);
        std::string to = src + "/" + hostPath(s->directory) + "/" + s->name;
        if (fixture::Run("mkdir -p \"$(dirname " + Quote(to) + ")\" && cp -p " + Quote(stored) + "/*.999 " + Quote(to)).status)
            return *problem = "no setup DLL in the cabinet", false;
    }
    return true;
}

// The wizard's INFs build the cabinets that were built from them. Where the
// INF was edited after the build, the difference is expected below.
TEST(InfBuild, WizardInfsBuildTheirCabinets) {
    const std::string corpus = CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "third-party corpus not present at " << MIRAD_CORPUS_DIR;
    struct Pair {
        const char* inf;
        const char* cabinet;
        const char* cpu;
    };
    const char* const blkjack = "Mel__ce3-ppc2k_samples_win32_appinst_blkjack.inf";
    const char* const sample = "Mel__ce3-hpc2k_support_activesyncsdk_windows_ce_application_installation_sample.inf";
    const Pair pairs[] = {
        {blkjack, "sdk__blkjack.ppc201_mips.CAB", "PPC201_MIPS"}, {blkjack, "sdk__blkjack.ppc201_sh3.CAB", "PPC201_SH3"},
        {blkjack, "sdk__blkjack.ppc211_mips.CAB", "PPC211_MIPS"}, {blkjack, "sdk__blkjack.ppc211_sh3.CAB", "PPC211_SH3"},
        {blkjack, "sdk__blkjack.ppc30_mips.CAB", "PPC30_MIPS"},   {blkjack, "sdk__blkjack.ppc30_sh3.CAB", "PPC30_SH3"},
        {sample, "sdk__Sample.HPCPro_ARM.CAB", "HPCPro_ARM"},     {sample, "sdk__Sample.HPCPro_MIPS.CAB", "HPCPro_MIPS"},
        {sample, "sdk__Sample.HPCPro_SH3.CAB", "HPCPro_SH3"},     {sample, "sdk__Sample.HPC_MIPS.CAB", "HPC_MIPS"},
        {sample, "sdk__Sample.HPC_SH3.CAB", "HPC_SH3"},           {sample, "sdk__Sample.PPC_MIPS.CAB", "PPC_MIPS"},
        {sample, "sdk__Sample.PPC_SH3.CAB", "PPC_SH3"},
        {"fza__eliminator_Installation_Eliminator.inf", "fzm__Eliminator.ARM.CAB", "ARM"},
        {"fza__kgarcade_distributions_arm_kgarcade.inf", "fzm__kgarcade.ARM.CAB", "ARM"},
    };
    TempDir dir;
    int n = 0;
    for (const Pair& p : pairs) {
        SCOPED_TRACE(p.cabinet);
        const std::string cab = corpus + "/real-ce/" + p.cabinet, root = dir / std::to_string(n++);
        const std::string inf = corpus + "/inf/" + p.inf;
        ASSERT_EQ(fixture::Run(Mirad(dir.path, "extract --installed " + Quote(cab) + " -d " + Quote(root + "/i"))).status, 0);
        fixture::Run(Mirad(dir.path, "extract --stored " + Quote(cab) + " '*.999' -d " + Quote(root + "/s")));
        ASSERT_EQ(fixture::Run("mkdir -p " + Quote(root + "/p") + " && cp " + Quote(inf) + " " + Quote(root + "/p/w.inf")).status, 0);
        std::string problem;
        ASSERT_TRUE(LayOutSources(inf, p.cpu, root + "/i", root + "/s", root + "/p", &problem)) << problem;
        mirad::InfBuildOptions options;
        options.cpu = p.cpu;
        mirad::InfReport report;
        const std::string out = root + "/w.cab";
        ASSERT_FALSE(mirad::BuildCabinetFromInf(out.c_str(), (root + "/p/w.inf").c_str(), options, &report)) << report.error;
        // Shortcuts take the setup file's date: the INF's here, the wizard's
        // run there.
        const std::string view = "list --installed --shortcuts ";
        EXPECT_EQ(WithoutShortcutDates(fixture::Run(Mirad(dir.path, view + Quote(out))).out),
                  WithoutShortcutDates(fixture::Run(Mirad(dir.path, view + Quote(cab))).out));
        const std::string a = root + "/a", b = root + "/b";
        fixture::Run(Mirad(dir.path, "extract --installed --registry " + Quote(cab) + " -d " + Quote(a)));
        fixture::Run(Mirad(dir.path, "extract --installed --registry " + Quote(out) + " -d " + Quote(b)));
        auto before = FilesBelow(a), after = FilesBelow(b);
        EXPECT_EQ(before.size(), after.size());
        for (const auto& f : before) EXPECT_TRUE(after[f.first] == f.second) << f.first;
    }
}

}  // namespace
