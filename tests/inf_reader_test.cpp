// The INF reader: the wizard's dialect as tables of small INF texts, what a
// CE INF reads to, and the one message each malformed INF gets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "documents/inf_reader.h"

namespace {

mirad::InfOptions Options(const std::string& cpu = "", bool strict = false) {
    mirad::InfOptions o;
    o.name = "t.inf";
    o.cpu = cpu;
    o.strict = strict;
    return o;
}

// A section's entries as "key=f1|f2" lines joined by "\n".
std::string Render(const std::string& text, const std::string& section, std::string* error = nullptr) {
    mirad::InfText doc;
    mirad::InfReport report;
    if (!mirad::ParseInfText(reinterpret_cast<const uint8_t*>(text.data()), text.size(), Options(), &doc, &report)) {
        if (error) *error = report.error;
        return "(error)";
    }
    const mirad::InfSection* s = doc.Find(section);
    if (!s) return "(none)";
    std::string out;
    for (const mirad::InfEntry& e : s->entries) {
        if (!out.empty()) out += "\n";
        if (e.hasKey) out += e.key + "=";
        for (size_t i = 0; i < e.fields.size(); ++i) out += (i ? "|" : "") + e.fields[i];
    }
    return out;
}

TEST(InfText, TheDialect) {
    struct Case {
        const char* rule;
        std::string text;
        const char* section;
        const char* expected;
    };
    const Case cases[] = {
        {"sections and keys ignore case", "[version]\nSignature = x\n", "VERSION", "Signature=x"},
        {"quoted and bare fields", "[S]\na = \"x, y\" , b ,c d\n", "S", "a=x, y|b|c d"},
        {"a doubled quote is one quote", "[S]\n\"say \"\"hi\"\"\"\n", "S", "say \"hi\""},
        {"backslashes are literal", "[S]\nk = \"C:\\dir\\\"\nnext\n", "S", "k=C:\\dir\\\nnext"},
        {"a comment after a value", "[S]\nProcessorType = 2577; StrongArm\n", "S", "ProcessorType=2577"},
        {"a semicolon inside quotes", "[S]\nk = \"a;b\" ; c\n", "S", "k=a;b"},
        {"a trailing backslash continues", "[S]\nk = 1,\\\n    2 ; x\nl = 3\n", "S", "k=1|2\nl=3"},
        {"quoted and bare parts of one field join", "[S]\nk = \"\"\"x\"\"\" %%1\n", "S", "k=\"x\" %1"},
        {"empty fields", "[S]\na,,,0x1\n", "S", "a|||0x1"},
        {"quoted keys", "[S]\n\"gd300.dll\"=1\n", "S", "gd300.dll=1"},
        {"bare names keep inner spaces", "[S]\n  My File.txt  \n", "S", "My File.txt"},
        {"blank and comment lines", "[S]\n\n; only a comment\n   \nk=v\n", "S", "k=v"},
        {"CR LF line ends", "[S]\r\nk = v\r\nl\r\n", "S", "k=v\nl"},
        {"%string% from [Strings]", "[Strings]\nn = \"v w\"\n[S]\nk = %n%\\x\n", "S", "k=v w\\x"},
        {"names ignore case", "[CEStrings]\nAppName = App\n[S]\nk = %APPNAME%\n", "S", "k=App"},
        {"strings refer to strings", "[S]\nk = %a%\n[Strings]\na = %b%!\nb = c\n", "S", "k=c!"},
        {"%% is a percent sign", "[S]\nk = \"%%1\",50%%\n", "S", "k=%1|50%"},
        {"an undefined name is kept", "[S]\nk = %CE1%\\%nope%\\%\n", "S", "k=%CE1%\\%nope%\\%"},
        {"%InstallDir% stays a macro", "[CEStrings]\nInstallDir = %CE1%\\%AppName%\nAppName = A\n[S]\nk = %InstallDir%\n",
         "S", "k=%InstallDir%"},
        {"the install directory itself is substituted",
         "[CEStrings]\nInstallDir = %CE1%\\%AppName%\nAppName = A\n", "CEStrings", "InstallDir=%CE1%\\A\nAppName=A"},
        {"keys are substituted", "[Strings]\nf = x.dll\n[S]\n%f% = 1\n", "S", "x.dll=1"},
        {"a UTF-8 mark: the code page's bytes", "\xEF\xBB\xBF[S]\nk = caf\xC3\xA9\n", "S", "k=caf\xE9"},
        {"no mark: the bytes as they are", "[S]\nk = caf\xE9\n", "S", "k=caf\xE9"},
        {"UTF-16 with its mark", std::string("\xFF\xFE[\0S\0]\0\n\0k\0=\0\xE9\0", 16), "S", "k=\xE9"},
        {"big-endian UTF-16", std::string("\xFE\xFF\0[\0S\0]\0\n\0k\0=\0\xE9", 16), "S", "k=\xE9"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(Render(c.text, c.section, &error), c.expected) << c.rule << " " << error;
    }
}

TEST(InfText, MalformedTextGetsOneMessage) {
    struct Case {
        std::string text;
        const char* message;
    };
    const Case cases[] = {
        {"[S]\nk = \"open\n", "t.inf:2: a quoted field without its closing quote"},
        {"[S\n", "t.inf:1: a section header without \"]\""},
        {"[S]\n[Strings]\na = %b%\nb = x%a%\n[T]\nk = %a%\n", "t.inf:4: %b% refers to itself through [Strings]"},
        {"[Strings]\na = %a%\n[S]\nk = %A%\n", "t.inf:2: %a% refers to itself through [Strings]"},
        {"[S]\nk = " + std::string(10 * 1024 * 1024, 'x') + "\n", "t.inf:2: a line longer than 65536 characters"},
        {"[S]\nk = a\\\n" + std::string(70000, 'x') + "\n", "t.inf:2: a line longer than 65536 characters"},
        {"[Strings]\na = %b%%b%%b%%b%%b%%b%%b%%b%\nb = %c%%c%%c%%c%%c%%c%%c%%c%\nc = %d%%d%%d%%d%%d%%d%%d%%d%\n"
         "d = %e%%e%%e%%e%%e%%e%%e%%e%\ne = 0123456789abcdef0123456789abcdef\n[S]\nk = %a%\n",
         "t.inf:2: a text longer than 65536 characters after %string% substitution"},
        {std::string("\xFF\xFE[\0S\0\0\xD8]\0", 10), "t.inf: not valid UTF-16 text"},
        {"\xEF\xBB\xBF[S]\nk = \xE2\x82\xAC\xE4\xB8\xAD\n", "t.inf: text that code page 1252 cannot hold"},
        {std::string("[S]\nk = a\0b\n", 12), "t.inf: a NUL character in the text"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(Render(c.text, "S", &error), "(error)") << c.message;
        EXPECT_EQ(error, c.message);
    }
}

// A small CE INF; a case adds sections or lines to it.
const char* const kBase =
    "[Version]\n"
    "Signature = \"$Windows NT$\"\n"
    "CESignature = \"$Windows CE$\"\n"
    "Provider = \"Maker\"\n"
    "[CEStrings]\n"
    "AppName = \"Tool\"\n"
    "InstallDir = %CE1%\\%AppName%\n"
    "[SourceDisksNames]\n"
    "1 = ,\"Common\",,common\n"
    "[SourceDisksFiles]\n"
    "Tool.exe = 1\n"
    "[DestinationDirs]\n"
    "Files = 0,%InstallDir%\n"
    "[Files]\n"
    "tool.exe\n";

const char* const kInstall = "[DefaultInstall]\nCopyFiles = Files\n";

bool Read(const std::string& text, mirad::CeInf* inf, mirad::InfReport* report, const std::string& cpu = "",
          bool strict = false) {
    return mirad::ReadCeInf(reinterpret_cast<const uint8_t*>(text.data()), text.size(), Options(cpu, strict), inf,
                            report);
}

TEST(CeInfReader, ReadsTheWizardsSections) {
    const std::string text = std::string(kBase) +
                             "[CEDevice]\n"
                             "ProcessorType = 4000\n"
                             "UnsupportedPlatforms = \"HPC\",\"Jupiter\"\n"
                             "VersionMin = 2.01\n"
                             "VersionMax = 3.0\n"
                             "BuildMin = 0x10\n"
                             "BuildMax = 0xE0000000\n"
                             "[CEDevice.ARM]\n"
                             "ProcessorType = 2577\n"
                             "[SourceDisksNames.ARM]\n"
                             "2 = ,\"ARM\",,arm\n"
                             "[SourceDisksFiles]\n"
                             "setup.dll = 1\n"
                             "\"Lib File.dll\" = 1\n"
                             "[SourceDisksFiles.ARM]\n"
                             "tool.exe = 2\n"
                             "setup.dll = 2\n"
                             "[DefaultInstall]\n"
                             "CopyFiles = Files,Other\n"
                             "AddReg = Reg\n"
                             "CEShortcuts = Links\n"
                             "CESetupDLL = Setup.dll\n"
                             "CESelfRegister = \"Lib File.dll\"\n"
                             "[DestinationDirs]\n"
                             "DefaultDestDir = 0,%CE2%\n"
                             "Links = 0,%CE11%\n"
                             "[Other]\n"
                             "\"lib.dll\",\"Lib File.dll\",,0x80000000\n"
                             "[Reg]\n"
                             "HKLM,Software\\%AppName%,Path,0x00000000,\"%InstallDir%\\x\"\n"
                             "hkcu,Software\\%AppName%,,0x00010001,1,0x20\n"
                             "HKCR,.t,List,0x00010002,a,b\n"
                             "HKU,k,Bin,0x00000001,0F,a0\n"
                             "[Links]\n"
                             "Tool,0,tool.exe\n"
                             "Dir,1,%InstallDir%,%CE14%\n";
    mirad::CeInf inf;
    mirad::InfReport report;
    ASSERT_TRUE(Read(text, &inf, &report, "ARM")) << report.error;
    EXPECT_EQ(inf.provider, "Maker");
    EXPECT_EQ(inf.appName, "Tool");
    EXPECT_EQ(inf.installDir, "%CE1%\\Tool");
    EXPECT_EQ(inf.processor, 2577);
    EXPECT_EQ(inf.unsupported, (std::vector<std::string>{"HPC", "Jupiter"}));
    EXPECT_EQ(inf.minVersionMajor, 2);
    EXPECT_EQ(inf.minVersionMinor, 1);
    EXPECT_EQ(inf.maxVersionMajor, 3);
    EXPECT_EQ(inf.maxVersionMinor, 0);
    EXPECT_EQ(inf.minBuild, 0x10u);
    EXPECT_EQ(inf.maxBuild, 0xE0000000u);
    ASSERT_EQ(inf.copyLists.size(), 2u);
    EXPECT_EQ(inf.copyLists[0].destination, "%InstallDir%");
    EXPECT_EQ(inf.copyLists[1].destination, "%CE2%");  // DefaultDestDir
    ASSERT_EQ(inf.copyLists[1].files.size(), 1u);
    EXPECT_EQ(inf.copyLists[1].files[0].dest, "lib.dll");
    EXPECT_EQ(inf.copyLists[1].files[0].source, "Lib File.dll");
    EXPECT_EQ(inf.copyLists[1].files[0].flags, 0x80000000u);
    // The platform's [SourceDisksFiles] entry moves tool.exe to disk 2;
    // sources match whatever their case.
    ASSERT_NE(mirad::FindSource(inf, "TOOL.EXE"), nullptr);
    EXPECT_EQ(mirad::FindSource(inf, "tool.exe")->directory, "arm");
    EXPECT_EQ(mirad::FindSource(inf, "lib file.dll")->directory, "common");
    EXPECT_EQ(inf.setupDll, "Setup.dll");
    EXPECT_EQ(inf.selfRegister, (std::vector<std::string>{"Lib File.dll"}));
    ASSERT_EQ(inf.registry.size(), 4u);
    EXPECT_EQ(inf.registry[0].root, 3);
    EXPECT_EQ(inf.registry[0].key, "Software\\Tool");
    EXPECT_EQ(inf.registry[0].data, std::string("%InstallDir%\\x\0", 15));
    EXPECT_EQ(inf.registry[1].root, 2);
    EXPECT_EQ(inf.registry[1].name, "");
    EXPECT_EQ(inf.registry[1].data, std::string("\x01\0\0\0\x20\0\0\0", 8));
    EXPECT_EQ(inf.registry[2].typeFlags, 0x00010002u);
    EXPECT_EQ(inf.registry[2].data, std::string("a\0b\0\0", 5));
    EXPECT_EQ(inf.registry[3].root, 4);
    EXPECT_EQ(inf.registry[3].data, "\x0F\xA0");
    ASSERT_EQ(inf.shortcuts.size(), 2u);
    EXPECT_FALSE(inf.shortcuts[0].folder);
    EXPECT_EQ(inf.shortcuts[0].destination, "%CE11%");
    EXPECT_TRUE(inf.shortcuts[1].folder);
    EXPECT_EQ(inf.shortcuts[1].target, "%InstallDir%");
    EXPECT_EQ(inf.shortcuts[1].destination, "%CE14%");
    EXPECT_TRUE(report.warnings.empty()) << report.warnings.front();

    // Without --cpu the plain sections alone count.
    ASSERT_TRUE(Read(text, &inf, &report)) << report.error;
    EXPECT_EQ(inf.processor, 4000);
    EXPECT_EQ(mirad::FindSource(inf, "tool.exe")->directory, "common");
}

// What ~Cab~.INF writes reads back: shortcuts named with their directory,
// targets as paths, a setup DLL beside the INF, binary bytes as 0x.., and a
// multi-string whose closing empty item is written out.
TEST(CeInfReader, ReadsItsOwnScripts) {
    const std::string text = std::string(kBase) +
                             "[DefaultInstall]\n"
                             "CopyFiles   = Files\n"
                             "CEShortcuts = Shortcuts\n"
                             "CESetupDLL  = \"0CESetup.999\"\n"
                             "AddReg      = RegEntries\n"
                             "[Shortcuts]\n"
                             "%CE11%\\Tool App,0,\"%InstallDir%\\tool.exe\"\n"
                             "[RegEntries]\n"
                             "HKLM,\"Software\\Tool\",\"Id\",0x00000001,0x02,0x0F\n"
                             "HKCU,\"Software\\Tool\",\"List\",0x00010000,\"a\",\\\n"
                             "  \"\"\"b\"\"\",\\\n"
                             "  \"\"\n";
    mirad::CeInf inf;
    mirad::InfReport report;
    ASSERT_TRUE(Read(text, &inf, &report, "", true)) << report.error;
    ASSERT_EQ(inf.shortcuts.size(), 1u);
    EXPECT_EQ(inf.shortcuts[0].name, "Tool App");
    EXPECT_EQ(inf.shortcuts[0].destination, "%CE11%");
    EXPECT_EQ(inf.shortcuts[0].target, "%InstallDir%\\tool.exe");
    ASSERT_NE(mirad::FindSource(inf, "0cesetup.999"), nullptr);
    EXPECT_EQ(mirad::FindSource(inf, "0cesetup.999")->directory, "");
    ASSERT_EQ(inf.registry.size(), 2u);
    EXPECT_EQ(inf.registry[0].data, "\x02\x0F");
    EXPECT_EQ(inf.registry[1].data, std::string("a\0\"b\"\0\0", 7));
}

TEST(CeInfReader, MalformedInfsGetOneMessage) {
    struct Case {
        std::string text;
        const char* message;
    };
    const std::string base = kBase;
    const Case cases[] = {
        {"[Strings]\n", "t.inf: no [Version] section"},
        {"[Version]\nSignature = \"$Windows NT$\"\n", "t.inf:1: [Version] has no CESignature = \"$Windows CE$\": not a CE INF"},
        {"[Version]\nCESignature = \"$Windows CE$\"\n[CEStrings]\nAppName = A\n", "t.inf:3: [CEStrings] has no InstallDir"},
        {"[Version]\nCESignature = \"$Windows CE$\"\n[CEStrings]\nAppName = A\nInstallDir = x\n",
         "t.inf: no [DefaultInstall] section"},
        {base + "[DefaultInstall]\nCopyFiles = Files,Missing\n", "t.inf:17: CopyFiles names [Missing], which is not there"},
        {base + "[DefaultInstall]\nCopyFiles = Extra\n[Extra]\ntool.exe\n",
         "t.inf:18: no [DestinationDirs] entry names [Extra], and there is no DefaultDestDir"},
        {base + kInstall + "[Files]\nother.exe\n", "t.inf:19: \"other.exe\" is not in [SourceDisksFiles]"},
        {base + kInstall + "[Files]\n..\n", "t.inf:19: \"..\" is not a plain file name"},
        {base + kInstall + "[Files]\n\"sub\\x.exe\",tool.exe\n", "t.inf:19: \"sub\\x.exe\" is not a plain file name"},
        {base + kInstall + "[Files]\ntool.exe,,,0xZZ\n", "t.inf:19: \"0xZZ\" is not a number of copy flags"},
        {base + kInstall + "[SourceDisksFiles]\nx.dll = 7\n", "t.inf:19: source id 7 is not in [SourceDisksNames]"},
        {base + "[DefaultInstall]\nCopyFiles = Files\nAddReg = R\n[R]\nHKXX,k,v,0,1\n",
         "t.inf:20: \"HKXX\" is not HKCR, HKCU, HKLM or HKU"},
        {base + "[DefaultInstall]\nCopyFiles = Files\nAddReg = R\n[R]\nHKLM,k,v,0x00010001,ten\n",
         "t.inf:20: \"ten\" is not a DWORD"},
        {base + "[DefaultInstall]\nCopyFiles = Files\nAddReg = R\n[R]\nHKLM,k,v,0x00000001,1FF\n",
         "t.inf:20: \"1FF\" is not a hex byte"},
        {base + "[DefaultInstall]\nCopyFiles = Files\nAddReg = R\n[R]\nHKLM,k,v,0x00000100,1\n",
         "t.inf:20: registry type flags 0x00000100 are not a type the setup file holds"},
        {base + "[DefaultInstall]\nCopyFiles = Files\nCESetupDLL = ..\\s.dll\n",
         "t.inf:18: the setup DLL \"..\\s.dll\" is not a plain file name"},
        {base + kInstall + "[CEDevice]\nVersionMin = 2.x\n", "t.inf:19: VersionMin is not a version such as 2.01: \"2.x\""},
        {base + kInstall + "[CEDevice]\nBuildMax = 12ab\n", "t.inf:19: BuildMax is not a number: \"12ab\""},
        {base + kInstall + "[DestinationDirs]\nUp = 0,%CE1%\\..\\..\\x\n",
         "t.inf:19: \"%CE1%\\..\\..\\x\" is no device directory (a drive letter or \"..\")"},
        {base + kInstall + "[DestinationDirs]\nDrive = 0,C:\\Windows\n",
         "t.inf:19: \"C:\\Windows\" is no device directory (a drive letter or \"..\")"},
    };
    for (const Case& c : cases) {
        mirad::CeInf inf;
        mirad::InfReport report;
        EXPECT_FALSE(Read(c.text, &inf, &report)) << c.message;
        EXPECT_EQ(report.error, c.message);
    }
}

TEST(CeInfReader, WarningsAndStrictMode) {
    struct Case {
        std::string extra;
        const char* warning;
    };
    const Case cases[] = {
        {"[DefaultInstall]\nCopyFiles = Files\nCEShortcut = Links\n", "t.inf:18: CEShortcut in [DefaultInstall] is ignored"},
        {std::string(kInstall) + "[SourceDisksFiles]\nunused.txt = 1\n",
         "t.inf:19: \"unused.txt\" is in [SourceDisksFiles] but no copy list names it"},
        {std::string(kInstall) + "[Version.x] trailing\n", "t.inf:18: text after [Version.x] is ignored"},
    };
    for (const Case& c : cases) {
        const std::string text = kBase + c.extra;
        mirad::CeInf inf;
        mirad::InfReport report;
        EXPECT_TRUE(Read(text, &inf, &report)) << report.error;
        ASSERT_EQ(report.warnings.size(), 1u) << c.warning;
        EXPECT_EQ(report.warnings[0], c.warning);
        mirad::InfReport strict;
        EXPECT_FALSE(Read(text, &inf, &strict, "", true));
        EXPECT_EQ(strict.error, c.warning);
    }
    // A processor the INF has no [CEDevice.NAME] for.
    mirad::CeInf inf;
    mirad::InfReport report;
    EXPECT_TRUE(Read(std::string(kBase) + kInstall, &inf, &report, "MIPS"));
    EXPECT_EQ(report.warnings, (std::vector<std::string>{"t.inf: no [CEDevice.MIPS] section for the processor MIPS"}));
}

}  // namespace
