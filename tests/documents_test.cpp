// The generated documents "~Cab~.REG" and "~Cab~.INF": built from fixture
// cabinets, extracted through the module's exports as a host does, and
// compared byte for byte with the expected files in tests/golden (each has a
// sibling .txt saying what it covers).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "documents/documents.h"
#include "interface/result.h"
#include "support/alloc.h"
#include "support/bytes.h"
#include "support/io.h"
#include "support/paths.h"
#include "tests/fixture.h"
#include "view/session.h"

namespace {

using fixture::Bytes;
using fixture::CeSetup;

std::string Golden(const std::string& name) {
    std::string text = fixture::ReadText(fixture::SourceDir() + "/tests/golden/" + name);
    EXPECT_FALSE(text.empty()) << "missing golden file " << name;
    return text;
}

Bytes Words(std::initializer_list<uint32_t> words) {
    Bytes b;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return b;
}

Bytes Range(int from, int to) {
    Bytes b;
    for (int i = from; i <= to; ++i) b.push_back(static_cast<uint8_t>(i));
    return b;
}

Bytes Text(const std::string& s) { return fixture::BytesOf(s); }
Bytes TextZ(const std::string& s) { return fixture::BytesOf(std::string(s.c_str(), s.size() + 1)); }
fixture::StoredFile Stored(const std::string& name, const std::string& data = "x") { return {name, Text(data)}; }

// A cabinet whose setup file is given as bytes (for setup files patched after building).
Bytes CabinetWithSetup(const Bytes& setup, std::vector<fixture::StoredFile> files) {
    files.insert(files.begin(), fixture::StoredFile{"SETUP.000", setup});
    return fixture::BuildCabinet(files);
}

struct Document {
    int32_t code = -1;
    std::string text;    // the document's bytes
    std::string stdOut;  // what the module printed while writing it
};

// A fresh module with every view option on, as a host drives it.
struct Host {
    fixture::TempDir dir;
    fixture::Module module;

    explicit Host(bool expandPath, const std::string& log = "") {
        EXPECT_TRUE(module.ok());
        fixture::WriteSettings(dir.path, true, expandPath, true, true, true, log.empty() ? "" : dir / log);
        module.SetSettingsDir(dir.path);
    }
    std::string Cabinet(const std::string& name, const Bytes& bytes) {
        fixture::WriteFile(dir / name, bytes);
        return dir / name;
    }
    // Walks the listing as a host does and extracts only `entry`.
    Document Extract(const std::string& cabinet, const std::string& entry, std::string target = "") {
        if (target.empty()) target = dir / ("out-" + entry);
        Document d;
        fixture::OpenResult o = fixture::Open(module, cabinet);
        EXPECT_NE(o.handle, nullptr) << "open result " << o.code;
        if (!o.handle) return d;
        EntryHeader h{};
        bool found = false;
        for (int guard = 0; guard < 400000 && module.ReadHeader(o.handle, &h) == 0; ++guard) {
            if (entry == h.fileName) {
                found = true;
                testing::internal::CaptureStdout();
                d.code = module.ProcessFile(o.handle, MIRAD_EXTRACT, nullptr, &target[0]);
                d.stdOut = testing::internal::GetCapturedStdout();
            } else {
                module.ProcessFile(o.handle, MIRAD_SKIP, nullptr, nullptr);
            }
            h = EntryHeader{};
        }
        module.CloseArchive(o.handle);
        EXPECT_TRUE(found) << entry << " not listed";
        d.text = fixture::ReadText(target);
        return d;
    }
};

// ---- Fixtures ------------------------------------------------------------------------------

// One key HKLM\Software\Example with the three values of the worked example.
CeSetup ExampleSetup() {
    CeSetup s;
    s.strings = {{1, "%CE1%\\Example"}, {2, "Software"}, {3, "Example"}};
    s.hives = {{1, 3, {2, 3}}};
    s.values = {
        {1, 0x00000000, "Path", TextZ("C:\\x")},
        {1, 0x00010003, "", Words({1})},
        {1, 0x00000001, "Bin", Range(1, 17)},
    };
    return s;
}

CeSetup EdgeSetup() {
    CeSetup s;
    s.strings = {{1, "\\Edge"}, {2, "Software"}, {3, "A"}, {4, "B"}, {5, "C"}, {6, "D"}};
    s.hives = {{1, 1, {2, 3}}, {2, 5, {2, 4}}, {3, 4, {2, 5}}, {4, 7, {6}}, {5, 2, {6}}};
    Bytes multi = {'a', 0, 'b', 0, 0};
    Bytes quote = TextZ("say \"hi\"\\\nnext");
    s.values = {
        {1, 0x00010000, "Multi", multi},
        {1, 0x00000000, "Empty", {}},
        {1, 0x00000001, "Sixteen", Range(0xF0, 0xFF)},
        {2, 0x00010001, "Words", Words({1, 2, 3, 4, 5})},
        {2, 0x00010001, "Eight", Words({1, 2})},
        {1, 0x00000000, "Quote", quote},
        {3, 0x00000000, std::string(300, 'n'), TextZ("v")},
        {3, 0x00020000, "Odd", {1, 2, 3}},
        {3, 0x00000001, "NoBin", {}},
        {3, 0x00010001, "NoWord", {}},
        {99, 0x00000000, "Orphan", TextZ("x")},
        {4, 0x00000002, "", TextZ("d")},
        {5, 0x00010001, "User", Words({7})},
    };
    return s;
}

CeSetup InstallSetup() {
    CeSetup s;
    s.processor = 2577;
    s.provider = "Maker Co";
    s.appName = "Tool";
    s.unsupported = {"alpha", "be\"ta"};
    s.unsupportedExtraNul = true;
    s.strings = {{1, "%CE1%\\Tool"}, {2, "Bin"},      {3, "Data"},     {4, "Tool.lnk"},
                 {5, "Docs.Lnk"},    {6, "Readme.lnk2"}, {7, "Software"}, {8, "Tool"},
                 {9, "Help"},        {10, "Old.lnk"},  {11, "Notes"},   {12, "Run.LNK"}};
    // Stored ids 5, 2, 9, 12: numbered 2, 1, 3, 4.
    s.directories = {{5, {1, 2}}, {2, {1}}, {9, {1, 3}}, {12, {1, 10}}};
    s.copyFiles = {{1, 2, "app.exe", 0}, {2, 9, "data.bin", 0x40000000}, {3, 2, "help.txt", 0x00000010}};
    fixture::CeShortcut s1, s2, s3, s4, s5;
    s1.baseMacro = 11, s1.targetId = 1, s1.targetIsFile = 1, s1.nameStringId = 4;
    s2.baseDirectoryId = 9, s2.targetId = 9, s2.targetIsFile = 0, s2.nameStringId = 5;
    s3.baseMacro = 0, s3.targetId = 3, s3.targetIsFile = 1, s3.nameStringId = 6;
    s4.baseDirectoryId = 12, s4.targetId = 0, s4.targetIsFile = 0, s4.nameStringId = 11;
    s5.baseMacro = 2, s5.targetId = 2, s5.targetIsFile = 1, s5.nameStringId = 12;
    s.shortcuts = {s1, s2, s3, s4, s5};
    s.hives = {{1, 3, {7, 8}}, {2, 4, {7}}, {3, 7, {9}}, {4, 1, {8}}, {5, 2, {7, 8}}};
    s.values = {
        {1, 0x00000000, "Path", TextZ("C:\\x")},
        {1, 0x00010003, "", Words({1})},
        {2, 0x00000001, "Bin", Range(1, 17)},
        {3, 0x00010000, "List", {'a', 0, 'b', 0, 0}},
        {4, 0x00000007, "Odd", {9, 9}},
        {5, 0x00010001, "Words", Words({1, 2})},
    };
    return s;
}

std::vector<fixture::StoredFile> InstallFiles() {
    return {Stored("0001.001", "app"), Stored("0002.002", "data"), Stored("0003.003", "help"),
            Stored("setup.999", "dll"), Stored("other.999", "dll2")};
}

// Odd directory ids and malformed value records; the setup bytes are patched
// after building, so this returns the setup file itself.
Bytes OddSetupBytes() {
    CeSetup s;
    s.processor = 10004;
    s.appName = "Odd";
    s.strings = {{1, "\\Odd"}, {2, "A"}, {3, "B"}};
    s.directories = {{7, {1, 2}}, {0, {1, 3}}, {7, {3}}, {65535, {2}}, {3, {1}}};
    s.copyFiles = {{1, 7, "a.txt"}, {2, 0, "zero.txt"}, {3, 65535, "max.txt"}, {4, 42, "lost.dat"},
                   {9, 3, "ghost.dll"}};
    s.hives = {{1, 3, {2, 3}}};
    fixture::CeRegValue shortName{1, 0x00000000, "Sho", {}};
    shortName.payloadLength = 3;  // the name's NUL is cut out below
    fixture::CeRegValue cut{1, 0x00000001, "Cut", Range(1, 8)};
    cut.payloadLength = 4 + 8 + 100;  // runs past the end of the setup file
    s.values = {shortName, {1, 0x00000000, "NoNul", Text("abc")}, {1, 0x00010001, "Odd4", {1, 0, 0, 0, 2, 3}}, cut};
    s.valueCount = 5;  // one more than there is room for
    fixture::SetupLayout layout;
    Bytes setup = fixture::BuildSetupFile(s, &layout);
    // The first record's payload ends after "Sho": drop the NUL the builder wrote.
    setup.erase(setup.begin() + layout.values + 12 + 3);
    return setup;
}

std::vector<fixture::StoredFile> OddFiles() {
    return {Stored("0001.001"), Stored("0002.002"), Stored("0003.003"), Stored("0004.004")};
}

// ---- Golden documents through the exports ------------------------------------------------

TEST(Documents, GoldenFilesByteForByte) {
    Bytes moved = fixture::BuildSetupFile(ExampleSetup());
    mirad::put_le32(moved.data() + 76, static_cast<uint32_t>(moved.size() + 4));  // values past the end
    CeSetup four = ExampleSetup();
    four.valueCount = 4;  // a fourth record whose head is cut: the three whole ones are written
    Bytes cutHead = fixture::BuildSetupFile(four);
    cutHead.insert(cutHead.end(), {0, 0, 1, 0, 0});
    CeSetup minimal;
    minimal.processor = 10005;
    minimal.unsupportedExtraNul = true;  // a list of one byte
    const Bytes install = fixture::BuildCeCabinet(InstallSetup(), InstallFiles());
    const Bytes odd = CabinetWithSetup(OddSetupBytes(), OddFiles());
    struct Case {
        std::string golden;
        std::string cabName;  // the INF banner names it
        Bytes cabinet;
        std::string entry;
        bool expandPath;
        std::string stdOut;
    };
    const std::vector<Case> cases = {
        {"registry_example.reg", "example.cab", fixture::BuildCeCabinet(ExampleSetup(), {Stored("0001.001")}), "~Cab~.REG", false,
         ""},
        {"registry_edges.reg", "edges.cab", fixture::BuildCeCabinet(EdgeSetup(), {}), "~Cab~.REG", false,
         "Ooops (valuetype 0x00020000)...\n"},
        {"registry_malformed.reg", "odd.cab", odd, "~Cab~.REG", false, ""},
        {"registry_empty.reg", "moved.cab", CabinetWithSetup(moved, {}), "~Cab~.REG", false, ""},
        {"registry_example.reg", "cuthead.cab", CabinetWithSetup(cutHead, {}), "~Cab~.REG", false, ""},
        // The same value records in both documents: every value type through the shared reader.
        {"install_reg.reg", "app.cab", install, "~Cab~.REG", false, "Ooops (valuetype 0x00000007)...\n"},
        {"install.inf", "app.cab", install, "~Cab~.INF", false, "; Ooops (valuetype 0x00000007)...\n"},
        {"install_expanded.inf", "app.cab", install, "~Cab~.INF", true, "; Ooops (valuetype 0x00000007)...\n"},
        {"minimal.inf", "min.cab", fixture::BuildCeCabinet(minimal, {}), "~Cab~.INF", false, ""},
        {"odd.inf", "odd.cab", odd, "~Cab~.INF", false, ""},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE("case " + std::to_string(i) + ": " + c.golden);
        Host host(c.expandPath);
        Document d = host.Extract(host.Cabinet(c.cabName, c.cabinet), c.entry);
        EXPECT_EQ(d.code, 0);
        EXPECT_EQ(d.text, Golden(c.golden));
        EXPECT_EQ(d.stdOut, c.stdOut);
    }
}

TEST(Documents, LogLinesInOrderAndADocumentThatCannotBeCreated) {
    Host host(false, "mirad.log");
    std::string cab = host.Cabinet("app.cab", fixture::BuildCeCabinet(InstallSetup(), InstallFiles()));
    ASSERT_EQ(host.Extract(cab, "~Cab~.REG").code, 0);
    ASSERT_EQ(host.Extract(cab, "~Cab~.INF").code, 0);
    std::vector<std::string> lines;
    std::istringstream in(fixture::ReadText(host.dir / "mirad.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    auto find = [&](const std::string& prefix, size_t from) {
        for (size_t i = from; i < lines.size(); ++i)
            if (lines[i].compare(0, prefix.size(), prefix) == 0) return i;
        return lines.size();
    };
    size_t at = find("Extracting INF file-> ", find("Extracting Registry -> ", 0)) + 1;
    for (std::string e : {"reading provider name", "reading application name", "reading unsupported platforms",
                                 "Allocating 8 bytes", "sorting dirs", "writing [SourceDisksNames]",
                                 "writing [Shortcuts]", "writing [Dir_*]", "writing [RegEntries]"}) {
        ASSERT_LT(at, lines.size()) << "missing " << e;
        EXPECT_EQ(lines[at].compare(0, e.size(), e), 0) << "expected " << e << ", got " << lines[at];
        ++at;
    }
    std::string nowhere = host.dir / "no-such-dir/doc";
    EXPECT_EQ(host.Extract(cab, "~Cab~.REG", nowhere).code, MIRAD_ECREATE);
    EXPECT_EQ(host.Extract(cab, "~Cab~.INF", nowhere).code, MIRAD_ECREATE);
    EXPECT_FALSE(fixture::FileExists(nowhere));
}

// ---- In-process: write failures and the real cabinets ----------------------------------

using DocumentWriter = mirad::Error (*)(const mirad::DocumentSource&, const mirad::OutputTarget&);

// An archive opened in process, with the built-in settings (ExpandPath off).
struct InProcess {
    mirad::ArchiveSession session;
    bool plain() const { return session.setup() == nullptr; }
    int Write(DocumentWriter write, const std::string& out) const {
        mirad::DocumentSource source{session.path().c_str(), session.cabinet(), *session.setup(),
                                     mirad::BuiltInSettings()};
        return mirad::ResultCode(write(source, out.c_str()));
    }
};

std::unique_ptr<InProcess> OpenInProcess(const std::string& path) {
    auto opened = std::make_unique<InProcess>();
    if (opened->session.Open(path.c_str())) return nullptr;
    return opened;
}

// The default I/O, except that the file opened for writing takes only
// `limit` bytes (a full disk).
struct FullDisk {
    mirad::IoSystem io;
    mirad::IoFile* document = nullptr;
    size_t limit = 0;
    size_t written = 0;

    explicit FullDisk(size_t bytes) : limit(bytes) {
        io = mirad::DefaultIo();
        io.context = this;
        io.open = [](void* self, mirad::IoDir* at, const char* name, mirad::IoMode mode) {
            auto* d = static_cast<FullDisk*>(self);
            mirad::IoFile* f = mirad::DefaultIo().open(nullptr, at, name, mode);
            if (mode != mirad::IoMode::Read) d->document = f;
            return f;
        };
        io.write = [](void* self, mirad::IoFile* f, const void* buffer, size_t count) {
            auto* d = static_cast<FullDisk*>(self);
            if (f == d->document) {
                size_t room = d->limit - d->written;
                if (count > room) count = room;
                d->written += count;
            }
            return mirad::DefaultIo().write(nullptr, f, buffer, count);
        };
        mirad::SetIo(&io);
    }
    ~FullDisk() { mirad::SetIo(nullptr); }
};

TEST(DocumentsInProcess, FullDiskGivesSixteenAndLeavesThePreviousDocument) {
    fixture::TempDir dir;
    fixture::WriteFile(dir / "app.cab", fixture::BuildCeCabinet(InstallSetup(), InstallFiles()));
    auto context = OpenInProcess(dir / "app.cab");
    ASSERT_TRUE(context);
    std::string out = dir / "doc";
    struct Case {
        DocumentWriter write;
        const char* golden;
        std::vector<size_t> limits;  // the script is about 7000 bytes and the export about 400
    };
    testing::internal::CaptureStdout();
    for (const Case& c : {Case{mirad::WriteInfScript, "install.inf", {0, 100, 5000}},
                          Case{mirad::WriteRegistryExport, "install_reg.reg", {0, 100, 380}}}) {
        // A failed document leaves what was under its name as it was: nothing
        // at first, the previous case's document later.
        const bool had = fixture::FileExists(out);
        const std::string before = had ? fixture::ReadText(out) : std::string();
        for (size_t limit : c.limits) {
            {
                FullDisk disk(limit);
                EXPECT_EQ(context->Write(c.write, out), 16) << c.golden << " " << limit;
            }
            EXPECT_EQ(fixture::FileExists(out), had) << c.golden << " " << limit;
            if (had) {
                EXPECT_EQ(fixture::ReadText(out), before) << c.golden << " " << limit;
            }
            EXPECT_EQ(fixture::FilesBelow(dir.path).size(), had ? 2u : 1u) << "a temporary file was left behind";
        }
        // With room enough the same context writes the document whole.
        FullDisk roomy(1 << 20);
        EXPECT_EQ(context->Write(c.write, out), 0) << c.golden;
        EXPECT_EQ(fixture::ReadText(out), Golden(c.golden));
    }
    testing::internal::GetCapturedStdout();
}

// Not listed by the module (no values), but written when asked for.
TEST(DocumentsInProcess, RegistryWithNoValues) {
    fixture::TempDir dir;
    fixture::WriteFile(dir / "none.cab", fixture::BuildCeCabinet(CeSetup{}, {}));
    auto context = OpenInProcess(dir / "none.cab");
    ASSERT_TRUE(context);
    EXPECT_EQ(context->Write(mirad::WriteRegistryExport, dir / "doc"), 0);
    EXPECT_EQ(fixture::ReadText(dir / "doc"), Golden("registry_empty.reg"));
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0, end; at < text.size(); at = end + 2) {
        end = std::min(text.find("\r\n", at), text.size());
        lines.push_back(text.substr(at, end - at));
    }
    return lines;
}

// Lines after `header` up to the next blank line or rule line.
std::vector<std::string> Section(const std::vector<std::string>& lines, const std::string& header) {
    std::vector<std::string> out;
    size_t i = std::find(lines.begin(), lines.end(), header) - lines.begin();
    for (++i; i < lines.size() && !lines[i].empty() && lines[i][0] != ';'; ++i) out.push_back(lines[i]);
    return out;
}

bool OnlyCrLf(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
    return text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
}

TEST(DocumentsInProcess, RealCabinets) {
    std::string corpus = fixture::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "corpus folder absent";
    std::string realDir = corpus + "/real-ce";
    fixture::CommandResult listing = fixture::Run("ls " + fixture::Quote(realDir));
    if (listing.status != 0) GTEST_SKIP() << "no real-ce folder in the corpus";
    fixture::TempDir out;
    int checked = 0;
    std::istringstream names(listing.out);
    for (std::string name; std::getline(names, name);) {
        if (name.size() < 4 || (name.substr(name.size() - 4) != ".CAB" && name.substr(name.size() - 4) != ".cab"))
            continue;
        auto context = OpenInProcess(realDir + "/" + name);
        if (!context || context->plain()) continue;  // compressed or not a CE cabinet
        SCOPED_TRACE(name);
        const mirad::SetupHeader& h = context->session.setup()->header();
        std::string regPath = out / (name + ".reg"), infPath = out / (name + ".inf");
        testing::internal::CaptureStdout();
        int regCode = context->Write(mirad::WriteRegistryExport, regPath);
        int infCode = context->Write(mirad::WriteInfScript, infPath);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(regCode, 0);
        ASSERT_EQ(infCode, 0);
        std::string reg = fixture::ReadText(regPath), inf = fixture::ReadText(infPath);
        EXPECT_TRUE(OnlyCrLf(reg));
        EXPECT_TRUE(OnlyCrLf(inf));
        EXPECT_EQ(reg.compare(0, 10, "REGEDIT4\r\n"), 0);

        // Every value is one entry line in each document; continuation lines start with two spaces.
        size_t values = 0;
        std::set<std::string> keys;
        for (const std::string& l : Lines(reg)) {
            if (!l.empty() && (l[0] == '"' || l[0] == '@')) ++values;
            if (!l.empty() && l[0] == '[') keys.insert(l);
        }
        EXPECT_EQ(values, h.regValueCount);
        EXPECT_LE(keys.size(), h.regHiveCount);
        if (h.regValueCount) {
            EXPECT_GE(keys.size(), 1u);
        }

        std::vector<std::string> infLines = Lines(inf);
        size_t entryLines = 0;
        for (const std::string& l : Section(infLines, h.regValueCount ? "[RegEntries]" : "; [RegEntries]"))
            if (l.compare(0, 2, "  ") != 0) ++entryLines;
        EXPECT_EQ(entryLines, h.regValueCount);
        EXPECT_EQ(Section(infLines, "[SourceDisksFiles]").size(), h.copyFileCount);
        EXPECT_EQ(Section(infLines, h.shortcutCount ? "[Shortcuts]" : "; [Shortcuts]").size(), h.shortcutCount);
        // Every file appears in exactly one [Dir_n] list when its directory exists.
        size_t listed = 0;
        for (const std::string& l : infLines)
            if (l.compare(0, 5, "[Dir_") == 0) listed += Section(infLines, l).size();
        EXPECT_EQ(listed, h.copyFileCount);
        ++checked;
    }
    EXPECT_GT(checked, 0) << "no CE cabinet in " << realDir;
}

// ---- Text from the setup file cannot reshape either document ----------------------------

// INF text read back by the INF rules: ";" starts a comment outside quotes; a
// quoted string ends at a lone double quote and holds "" as one quote (a
// backslash is itself); a "\" ending a line outside quotes continues it; ","
// separates fields, the first unquoted "=" ends the key, and blanks around
// unquoted text are dropped. A line starting with "[" names a section.
struct InfEntry {
    std::string key;
    std::vector<std::string> fields;
};
using Inf = std::vector<std::pair<std::string, std::vector<InfEntry>>>;  // sections in order

Inf ParseInf(const std::string& text) {
    Inf inf;
    InfEntry entry;
    std::string field;
    std::vector<bool> quoted;  // per character of `field`
    bool content = false, continued = false;
    auto endField = [&] {
        size_t b = 0, e = field.size();
        while (b < e && !quoted[b] && std::isblank(static_cast<unsigned char>(field[b]))) ++b;
        while (e > b && !quoted[e - 1] && std::isblank(static_cast<unsigned char>(field[e - 1]))) --e;
        std::string f = field.substr(b, e - b);
        field.clear(), quoted.clear();
        return f;
    };
    for (const std::string& line : Lines(text)) {
        size_t i = line.find_first_not_of(" \t");
        if (!continued && i != std::string::npos && line[i] == '[') {
            inf.push_back({line.substr(i + 1, line.find(']', i) - i - 1), {}});
            continue;
        }
        for (i = 0, continued = false; i < line.size() && line[i] != ';'; ++i) {
            char c = line[i];
            if (c == '"') {
                // An unclosed string ends with its line.
                for (content = true, ++i; i < line.size() && (line[i] != '"' || line[i + 1] == '"'); ++i) {
                    if (line[i] == '"') ++i;
                    field += line[i], quoted.push_back(true);
                }
            } else if (c == '\\' && line.find_first_not_of(" \t", i + 1) == std::string::npos) {
                continued = true;
                break;
            } else if (c == ',') {
                entry.fields.push_back(endField());
            } else if (c == '=' && entry.key.empty() && entry.fields.empty()) {
                entry.key = endField();
            } else {
                content = content || !std::isblank(static_cast<unsigned char>(c));
                field += c, quoted.push_back(false);
            }
        }
        if (continued) continue;
        entry.fields.push_back(endField());
        if (content && !inf.empty()) inf.back().second.push_back(entry);
        entry = InfEntry{}, content = false;
    }
    return inf;
}

std::string Visible(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

std::string RegEscaped(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\\' || c == '"' ? std::string("\\") + c : std::string(1, c);
    return out;
}

size_t Count(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.compare(0, prefix.size(), prefix) == 0; });
}

// One of each: directory, installed file, shortcut, key and string value.
CeSetup PlainSetup() {
    CeSetup s;
    s.provider = "Maker", s.appName = "App", s.unsupported = {"alpha"};
    s.strings = {{1, "%CE1%\\App"}, {2, "Sub"}, {3, "Run"}, {4, "Tool"}, {5, "Base"}};
    s.directories = {{1, {1, 2}}, {2, {5}}};
    s.copyFiles = {{1, 1, "app.exe"}};
    fixture::CeShortcut link;
    link.baseDirectoryId = 2, link.targetId = 1, link.targetIsFile = 1, link.nameStringId = 4;
    s.shortcuts = {link};
    s.hives = {{1, 3, {3}}};
    s.values = {{1, 0x00000000, "Name", TextZ("data")}};
    return s;
}

// What a text put into the setup file must read back as: the INF entry's
// fields from the given one to its end, and the registry export's line (for
// texts it holds).
struct Expected {
    std::vector<std::string> fields;
    std::string regLine = {};
};
using Files = std::vector<fixture::StoredFile>;

// Each place a setup-file text reaches the documents, and where the INF holds
// it: section, entry key (empty: the first entry) and field.
struct Placement {
    const char* what;
    const char* section;
    const char* key;
    size_t field;
    Expected (*put)(CeSetup&, Files&, const std::string&);
};
const Placement kPlacements[] = {
    {"provider", "Version", "Provider", 0, [](CeSetup& s, Files&, const std::string& t) {
         s.provider = t;
         return Expected{{t}};
     }},
    {"app name", "CEStrings", "AppName", 0, [](CeSetup& s, Files&, const std::string& t) {
         s.appName = t;
         return Expected{{t}};
     }},
    {"install dir", "CEStrings", "InstallDir", 0, [](CeSetup& s, Files&, const std::string& t) {
         s.strings[0].text = t;
         return Expected{{t}};
     }},
    {"platform", "CEDevice", "UnsupportedPlatforms", 1, [](CeSetup& s, Files&, const std::string& t) {
         s.unsupported.push_back(t);
         return Expected{{t}};
     }},
    {"directory", "DestinationDirs", "Dir_1", 1, [](CeSetup& s, Files&, const std::string& t) {
         s.strings[1].text = t;
         return Expected{{"%InstallDir%\\" + t}};
     }},
    {"installed name", "Dir_1", "", 0, [](CeSetup& s, Files&, const std::string& t) {
         s.copyFiles[0].name = t;  // the name is what follows the path's last "\"
         return Expected{{t.substr(t.rfind('\\') + 1), "0001.001", "", "0x00000000"}};
     }},
    {"stored name", "Dir_1", "", 1, [](CeSetup&, Files& files, const std::string& t) {
         files[0].name = t + ".001";
         return Expected{{t + ".001", "", "0x00000000"}};
     }},
    {"shortcut", "Shortcuts", "", 0, [](CeSetup& s, Files&, const std::string& t) {
         s.strings[3].text = t;
         return Expected{{"Base\\" + t, "0", "%InstallDir%\\Sub\\app.exe"}};
     }},
    {"shortcut base", "Shortcuts", "", 0, [](CeSetup& s, Files&, const std::string& t) {
         s.strings[4].text = t;
         return Expected{{t + "\\Tool", "0", "%InstallDir%\\Sub\\app.exe"}};
     }},
    // Key lines keep their text as it is: "\" separates keys there.
    {"key", "RegEntries", "", 1, [](CeSetup& s, Files&, const std::string& t) {
         s.strings[2].text = t;
         return Expected{{t, "Name", "0x00000000", "data"}, "[HKLM\\" + t + "]"};
     }},
    {"value name", "RegEntries", "", 2, [](CeSetup& s, Files&, const std::string& t) {
         s.values[0].name = t;
         return Expected{{t, "0x00000000", "data"}, "\"" + RegEscaped(t) + "\"=\"data\""};
     }},
    {"string", "RegEntries", "", 4, [](CeSetup& s, Files&, const std::string& t) {
         s.values[0].data = TextZ(t);
         return Expected{{t}, "\"Name\"=\"" + RegEscaped(t) + "\""};
     }},
    {"multi-string", "RegEntries", "", 4, [](CeSetup& s, Files&, const std::string& t) {
         s.values[0].typeFlags = 0x00010000;
         s.values[0].data = TextZ(t + std::string("\0b\\\0\"c\"\\\0", 9));
         return Expected{{t, "b\\", "\"c\"\\", ""}, "\"Name\"=\"" + RegEscaped(t) + "\","};
     }},
};

TEST(Documents, SetupTextsReadBackAndAddNoLineKeyOrSection) {
    const std::string kNote = "; !! Control characters in the next entry are written as ? !!";
    const std::string texts[] = {
        "C:\\dir\\ 50%\\ [Evil]; a,b = \"c\" \"\"",
        "x\"\r\n[Evil]\r\n\"pwn\"=\"calc.exe\"\\\nHKLM,\"Run\",\"pwn\",0x00000000,\"calc.exe\"\t\x01\x7f",
    };
    auto write = [](const Placement& at, const std::string& text, Expected* expected) {
        CeSetup setup = PlainSetup();
        Files files = {Stored("0001.001")};
        *expected = at.put(setup, files, text);
        Host host(false);
        std::string cab = host.Cabinet("app.cab", fixture::BuildCeCabinet(setup, files));
        return std::make_pair(Lines(host.Extract(cab, "~Cab~.REG").text), host.Extract(cab, "~Cab~.INF").text);
    };
    auto shape = [](const Inf& inf) {
        std::vector<std::pair<std::string, size_t>> sections;
        for (const auto& s : inf) sections.push_back({s.first, s.second.size()});
        return sections;
    };
    for (const Placement& at : kPlacements) {
        Expected expected;
        auto [plainReg, plainInf] = write(at, "plain", &expected);
        for (const std::string& text : texts) {
            SCOPED_TRACE(std::string(at.what) + ": " + text);
            auto [reg, infText] = write(at, text, &expected);
            EXPECT_EQ(reg.size(), plainReg.size());
            EXPECT_EQ(Count(reg, "["), Count(plainReg, "["));
            if (!expected.regLine.empty()) {
                EXPECT_EQ(Count(reg, Visible(expected.regLine)), 1u);
            }

            std::vector<std::string> inf = Lines(infText);
            size_t notes = Count(inf, kNote);
            EXPECT_EQ(notes > 0, Visible(text) != text);
            EXPECT_EQ(inf.size() - notes, Lines(plainInf).size());
            // A lambda, so a fatal check ends this case only.
            [&] {
                Inf parsed = ParseInf(infText);
                ASSERT_EQ(shape(parsed), shape(ParseInf(plainInf)));
                const auto& entries = std::find_if(parsed.begin(), parsed.end(), [&](const auto& s) {
                                          return s.first == at.section;
                                      })->second;
                auto entry = std::find_if(entries.begin(), entries.end(),
                                          [&](const InfEntry& e) { return !*at.key || e.key == at.key; });
                ASSERT_NE(entry, entries.end());
                ASSERT_EQ(entry->fields.size(), at.field + expected.fields.size());
                for (size_t k = 0; k < expected.fields.size(); ++k)
                    EXPECT_EQ(entry->fields[at.field + k], Visible(expected.fields[k])) << "field " << at.field + k;
            }();
        }
    }
}

}  // namespace
