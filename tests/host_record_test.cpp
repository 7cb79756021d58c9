// What a Linux host is told and given, through the exports: names with "/"
// in UTF-8, Unix times of the stored local date and time, Unix modes, real
// sizes for shortcuts and generated documents, extracted files stamped with
// their stored date, time and read-only bit, and names packed as hosts give
// them (sub-path with or without its separator, UTF-8 with the format's flag).
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/host.h"
#include "platform/ini.h"
#include "tests/fixture.h"

using namespace fixture;

namespace {

int64_t UnixTime(uint16_t date, uint16_t time) {
    int64_t seconds = 0;
    EXPECT_TRUE(mirad::platform::DosToUnixTime(date, time, &seconds));
    return seconds;
}

std::map<std::string, Entry> ByName(const std::vector<Entry>& entries) {
    std::map<std::string, Entry> byName;
    for (const Entry& e : entries) byName[e.name] = e;
    return byName;
}

StoredFile File(const std::string& name, const std::string& text, uint16_t attribs, uint16_t date, uint16_t time) {
    StoredFile f;
    f.name = name;
    f.data = BytesOf(text);
    f.attribs = attribs;
    f.date = date;
    f.time = time;
    return f;
}

struct StatOf {
    bool ok;
    struct stat st;
    explicit StatOf(const std::string& path) { ok = stat(path.c_str(), &st) == 0; }
};

}  // namespace

// Stored names, times and attributes as the header record gives them, and
// the files extracted from them.
TEST(HostRecord, StoredEntriesSpeakTheUnixConvention) {
    ModuleEnv env;
    env.Options(false, false, false, false, false);
    const std::vector<StoredFile> files = {
        File("dir\\sub\\a.txt", "a", 0x21, 0x2470, 0x8E61),       // read-only, 1998-03-16 17:51:02
        File("caf\xE9.txt", "1252", 0x20, 0x26AA, 0x80F1),         // Windows-1252, 1999-05-10 16:07:34
        File("na\xC3\xAFve.txt", "utf8", 0xA0, 0x5A21, 0x6000),   // UTF-8 flag
        File("\\lead.txt", "lead", 0x00, 0x5A21, 0x6000),
    };
    std::string cab = env.Cab("t.cab", BuildCabinet(files));
    struct Expected {
        const char* name;
        size_t file;
        int32_t mode;
    } expected[] = {
        {"dir/sub/a.txt", 0, 0100444},
        {"caf\xC3\xA9.txt", 1, 0100644},
        {"na\xC3\xAFve.txt", 2, 0100644},
        {"lead.txt", 3, 0100644},
    };
    std::vector<Entry> listed = List(env.m, cab);
    ASSERT_EQ(listed.size(), 4u);
    for (size_t i = 0; i < listed.size(); ++i) {
        const Expected& x = expected[i];
        const StoredFile& f = files[x.file];
        EXPECT_EQ(listed[i].name, x.name);
        EXPECT_EQ(listed[i].fileTime, UnixTime(f.date, f.time)) << x.name;
        EXPECT_EQ(listed[i].attributes, x.mode) << x.name;
        EXPECT_EQ(listed[i].packedSize, static_cast<int32_t>(f.data.size())) << x.name;
    }

    for (const auto& r : ExtractAll(env.m, cab, env.dir / "out")) EXPECT_EQ(r.second, 0) << r.first;
    for (const Expected& x : expected) {
        const StoredFile& f = files[x.file];
        std::string path = env.dir / "out/" + x.name;
        StatOf s(path);
        ASSERT_TRUE(s.ok) << path;
        EXPECT_EQ(ReadFile(path), f.data) << x.name;
        EXPECT_EQ(static_cast<int64_t>(s.st.st_mtime), UnixTime(f.date, f.time)) << x.name;
        EXPECT_EQ((s.st.st_mode & 0222) == 0, (f.attribs & 1) != 0) << x.name;
    }
}

// Installed paths, shortcuts and generated documents: "/" names, setup
// strings read through the code page, real sizes, and the setup file's
// stored date, however old or new the cabinet file is; the cabinet file's
// own date only when the stored one names no real moment.
TEST(HostRecord, InstalledViewShortcutsAndDocuments) {
    struct Case {
        uint16_t date, time;
        bool stored;  // the stored date is shown, else the cabinet file's
    };
    for (const Case& c : {Case{0x4D6F, 0x5ACA, true}, Case{0, 0, false}}) {
        SCOPED_TRACE(c.date);
        ModuleEnv env;
        env.Options(true, true, true, true, true);
        Bytes bytes = GameCabinet();
        // SETUP.000 is the first file record.
        size_t record = bytes[16] | bytes[17] << 8 | bytes[18] << 16 | static_cast<size_t>(bytes[19]) << 24;
        bytes[record + 10] = static_cast<uint8_t>(c.date), bytes[record + 11] = static_cast<uint8_t>(c.date >> 8);
        bytes[record + 12] = static_cast<uint8_t>(c.time), bytes[record + 13] = static_cast<uint8_t>(c.time >> 8);
        std::string cab = env.Cab("game.cab", bytes);
        // The cabinet file's own time, at the two-second step of a DOS time.
        StatOf cabinet(cab);
        ASSERT_TRUE(cabinet.ok);
        int64_t expected = c.stored ? UnixTime(c.date, c.time)
                                    : cabinet.st.st_mtime - (cabinet.st.st_mtime % 2 != 0 ? 1 : 0);

        std::map<std::string, Entry> listed = ByName(List(env.m, cab));
        ASSERT_EQ(listed.size(), 5u);
        ASSERT_EQ(listed.count("Program Files/Game/game.exe"), 1u);
        ASSERT_EQ(listed.count("Program Files/Game/data/level.dat"), 1u);
        for (const auto& r : ExtractAll(env.m, cab, env.dir / "out")) EXPECT_EQ(r.second, 0) << r.first;
        for (const char* name : {"Windows/Start Menu/Programs/Game.lnk", "~Cab~.REG", "~Cab~.INF"}) {
            ASSERT_EQ(listed.count(name), 1u) << name;
            const Entry& e = listed[name];
            std::string path = env.dir / "out/" + name;
            StatOf s(path);
            ASSERT_TRUE(s.ok) << path;
            EXPECT_EQ(e.packedSize, static_cast<int32_t>(s.st.st_size)) << name;
            EXPECT_EQ(e.unpackedSize, e.packedSize) << name;
            EXPECT_EQ(e.fileTime, expected) << name;
            EXPECT_EQ(static_cast<int64_t>(s.st.st_mtime), expected) << name;
            EXPECT_EQ(e.attributes, 0100644) << name;
        }
    }
}

// The first string is the install directory: converted before %CE1% in it
// is expanded.
TEST(HostRecord, SetupStringsFollowTheCodePage) {
    ModuleEnv env;
    CeSetup s;
    s.strings = {{1, "%CE1%\\Caf\xE9"}, {2, "Men\xFC.lnk"}};
    s.directories = {{1, {1}}};
    s.copyFiles = {{1, 1, "r\xE9sum\xE9.txt"}};
    CeShortcut shortcut;
    shortcut.baseMacro = 11;
    shortcut.targetId = 1;
    shortcut.nameStringId = 2;
    s.shortcuts = {shortcut};
    StoredFile f;
    f.name = "resume.001";
    f.data = BytesOf("cv");
    std::string cab = env.Cab("ce.cab", BuildCeCabinet(s, {f}));

    env.Options(false, true, false, true, false);
    EXPECT_EQ(env.Names(cab),
              (std::vector<std::string>{"%InstallDir%/r\xC3\xA9sum\xC3\xA9.txt", "%CE11%/Men\xC3\xBC.lnk"}));
    env.Options(true, true, false, true, false);
    EXPECT_EQ(env.Names(cab), (std::vector<std::string>{"Program Files/Caf\xC3\xA9/r\xC3\xA9sum\xC3\xA9.txt",
                                                        "Windows/Start Menu/Programs/Men\xC3\xBC.lnk"}));
    WriteText(env.m.directory() + "/Mirad.ini",
              "[CONFIGURATION]\nExpandCE=0\nExpandPath=1\nShowRegistry=0\nShowShortcuts=0\nShowInfFile=0\n"
              "CodePage=1251\n");
    env.m.SetSettingsDir(env.m.directory());
    EXPECT_EQ(env.Names(cab), (std::vector<std::string>{"%InstallDir%/r\xD0\xB9sum\xD0\xB9.txt"}));
}

// PackFiles as Double Commander calls it: names with "/", the sub-path with
// or without its trailing separator; UTF-8 names get the format's flag, and
// everything reads back under the names it was packed from.
TEST(HostRecord, PackJoinsSubPathsAndFlagsUtf8Names) {
    struct Case {
        const char* subPath;
        const char* name;
        const char* listed;
        const char* stored;
        bool flagged;
    } cases[] = {
        {nullptr, "a.txt", "a.txt", "a.txt", false},
        {"", "a.txt", "a.txt", "a.txt", false},
        {"Game/Data", "a.txt", "Game/Data/a.txt", "Game\\Data\\a.txt", false},
        {"Game/Data/", "a.txt", "Game/Data/a.txt", "Game\\Data\\a.txt", false},
        {"Game\\Data\\", "sub/a.txt", "Game/Data/sub/a.txt", "Game\\Data\\sub\\a.txt", false},
        {"Game", "/a.txt", "Game/a.txt", "Game\\a.txt", false},
        {nullptr, "caf\xC3\xA9.txt", "caf\xC3\xA9.txt", "caf\xC3\xA9.txt", true},
        {"D\xC3\xA9j\xC3\xA0", "x.txt", "D\xC3\xA9j\xC3\xA0/x.txt", "D\xC3\xA9j\xC3\xA0\\x.txt", true},
        // Not UTF-8 (an older file system's name): stored as it is, unflagged,
        // and read back as Windows-1252.
        {nullptr, "caf\xE9.txt", "caf\xC3\xA9.txt", "caf\xE9.txt", false},
    };
    int n = 0;
    for (const Case& c : cases) {
        ModuleEnv env;
        env.Options(false, false, false, false, false);
        std::string src = env.dir / "src/";
        std::string name = c.name[0] == '/' ? c.name + 1 : c.name;
        size_t slash = name.rfind('/');
        std::filesystem::create_directories(src + (slash == std::string::npos ? "" : name.substr(0, slash)));
        WriteText(src + name, "data");
        std::string cab = env.dir / ("p" + std::to_string(n++) + ".cab");
        std::string list = std::string(c.name) + '\0' + '\0';
        std::string sub = c.subPath ? c.subPath : "";
        ASSERT_EQ(env.m.PackFiles(&cab[0], c.subPath ? &sub[0] : nullptr, &src[0], &list[0], 0), 0) << c.listed;
        std::vector<Entry> listed = List(env.m, cab);
        ASSERT_EQ(listed.size(), 1u) << c.listed;
        EXPECT_EQ(listed[0].name, c.listed);
        // The one CFFILE record, after the 36-byte header and one folder.
        Bytes bytes = ReadFile(cab);
        ASSERT_GT(bytes.size(), 36u + 8u + 16u);
        uint16_t attribs = static_cast<uint16_t>(bytes[36 + 8 + 14] | (bytes[36 + 8 + 15] << 8));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[36 + 8 + 16])), c.stored);
        EXPECT_EQ((attribs & 0x80) != 0, c.flagged) << c.listed;
    }
}

// An update names the installed file as the host saw it listed: under
// %InstallDir% given without its separator.
TEST(HostRecord, UpdateIntoInstallDirWithoutSeparator) {
    ModuleEnv env;
    env.Options(false, true, false, false, false);
    CeSetup s;
    s.strings = {{1, "%CE1%\\Game"}};
    s.directories = {{1, {1}}};
    s.copyFiles = {{1, 1, "game.exe"}};
    StoredFile f;
    f.name = "game.001";
    f.data = BytesOf("old");
    std::string cab = env.Cab("u.cab", BuildCeCabinet(s, {f}));
    ASSERT_EQ(env.Names(cab), (std::vector<std::string>{"%InstallDir%/game.exe"}));
    std::string src = env.dir / "new/";
    std::filesystem::create_directories(src);
    WriteText(src + "game.exe", "new bytes");
    std::string sub = "%InstallDir%", list = std::string("game.exe") + '\0' + '\0';
    ASSERT_EQ(env.m.PackFiles(&cab[0], &sub[0], &src[0], &list[0], 0), 0);
    for (const auto& r : ExtractAll(env.m, cab, env.dir / "out")) EXPECT_EQ(r.second, 0);
    EXPECT_EQ(ReadFile(env.dir / "out/%InstallDir%/game.exe"), BytesOf("new bytes"));
}

namespace {

// A host's dialog services without a screen: items keep what the module
// sets, the "user" changes some, then presses OK.
struct FakeDialog {
    int shown = 0;
    std::string form;
    std::map<std::string, intptr_t> values;  // checks and list indexes
    std::map<std::string, std::string> texts;
    std::map<std::string, intptr_t> changes;
    std::map<std::string, std::string> textChanges;
} g_dialog;

intptr_t MIRAD_CALL FakeSend(uintptr_t, char* item, intptr_t message, intptr_t wParam, intptr_t) {
    const std::string name = item ? item : "";
    switch (message) {
        case 6: return reinterpret_cast<intptr_t>(g_dialog.texts[name].c_str());  // get text
        case 12: g_dialog.texts[name] = reinterpret_cast<const char*>(wParam); return 0;  // set text
        case 16: case 19: return g_dialog.values.count(name) ? g_dialog.values[name] : -1;  // get check, index
        case 17: case 20: g_dialog.values[name] = wParam; return 0;  // set check, index
        default: return -1;
    }
}

int32_t MIRAD_CALL FakeDialogBox(intptr_t form, uint32_t size, HostDialogProc procedure) {
    ++g_dialog.shown;
    g_dialog.form.assign(reinterpret_cast<const char*>(form), size);
    procedure(1, const_cast<char*>("DialogBox"), 0x1005, 0, 0);  // shown
    for (const auto& c : g_dialog.changes) g_dialog.values[c.first] = c.second;
    for (const auto& c : g_dialog.textChanges) g_dialog.texts[c.first] = c.second;
    procedure(1, const_cast<char*>("btnOK"), 0x1001, 0, 0);  // OK pressed
    return 1;
}

}  // namespace

// Every capability the module announces is one its exports have: each bit
// is tried through the exports, and no bit is announced without a try.
TEST(HostRecord, AnnouncedCapabilitiesAreTheOnesTheExportsHave) {
    ModuleEnv env;
    env.Options(false, false, false, false, false);
    // Removing is neither announced nor done while editing is off.
    {
        std::string cab = env.Cab("kept.cab", GameCabinet()), list = std::string("game.001") + '\0' + '\0';
        EXPECT_EQ(env.m.GetPackerCaps() & MIRAD_CAPS_DELETE, 0);
        EXPECT_EQ(env.m.DeleteFiles(&cab[0], &list[0]), MIRAD_NOT_SUPPORTED);
        EXPECT_EQ(ReadFile(cab), GameCabinet());
    }
    WriteText(env.m.directory() + "/Mirad.ini", ReadText(env.m.directory() + "/Mirad.ini") + "EditInstallation=1\n");
    env.m.SetSettingsDir(env.m.directory());
    std::string src = env.dir / "src/";
    std::filesystem::create_directories(src);
    WriteText(src + "a.txt", "a");
    WriteText(src + "b.txt", "bb");
    WriteText(src + "game.exe", "new game");
    std::string both = std::string("a.txt") + '\0' + "b.txt" + '\0' + '\0';
    struct Capability {
        int32_t bit;
        const char* what;
        std::function<bool()> works;
    };
    const std::vector<Capability> capabilities = {
        {MIRAD_CAPS_NEW, "new cabinet",
         [&] {
             std::string cab = env.dir / "new.cab", one = std::string("a.txt") + '\0' + '\0';
             return env.m.PackFiles(&cab[0], nullptr, &src[0], &one[0], 0) == MIRAD_OK &&
                    env.Names(cab) == std::vector<std::string>{"a.txt"};
         }},
        {MIRAD_CAPS_MODIFY, "files replaced in a CE cabinet",
         [&] {
             std::string cab = env.Cab("game.cab", GameCabinet()), list = std::string("game.exe") + '\0' + '\0';
             std::string sub = "%InstallDir%";
             if (env.m.PackFiles(&cab[0], &sub[0], &src[0], &list[0], 0) != MIRAD_OK) return false;
             auto results = ExtractAll(env.m, cab, env.dir / "modified");
             return !results.empty() && ReadText(env.dir / "modified/game.001") == "new game";
         }},
        {MIRAD_CAPS_DELETE, "entries removed",
         [&] {
             std::string cab = env.Cab("delete.cab", GameCabinet()), list = std::string("level.002") + '\0' + '\0';
             return env.m.DeleteFiles(&cab[0], &list[0]) == MIRAD_OK &&
                    env.Names(cab) == std::vector<std::string>{"SETUP.000", "game.001"};
         }},
        {MIRAD_CAPS_MULTIPLE, "several files",
         [&] {
             std::string cab = env.dir / "several.cab";
             return env.m.PackFiles(&cab[0], nullptr, &src[0], &both[0], 0) == MIRAD_OK &&
                    env.Names(cab) == std::vector<std::string>{"a.txt", "b.txt"};
         }},
        {MIRAD_CAPS_OPTIONS, "a settings dialog",
         [&] {
             auto initialize = reinterpret_cast<ExtensionInitializeFn>(dlsym(env.m.handle, "ExtensionInitialize"));
             auto configure = reinterpret_cast<ConfigurePackerFn>(dlsym(env.m.handle, "ConfigurePacker"));
             ExtensionStartupInfo info;
             std::memset(&info, 0, sizeof info);
             info.structSize = sizeof info;
             info.dialogBoxLfm = FakeDialogBox;
             info.sendDlgMsg = FakeSend;
             g_dialog = FakeDialog();
             initialize(&info);
             configure(nullptr, nullptr);
             return g_dialog.shown == 1 && g_dialog.values.size() == 8;
         }},
        {MIRAD_CAPS_BY_CONTENT, "cabinets recognised by their bytes",
         [&] {
             // Yes only for what the module opens, whatever the name; the
             // question leaves no trace in the log.
             Bytes good = GameCabinet(), cut(good.begin(), good.end() - 1), noise = Pattern(5000, 4);
             CabOptions lzx;
             lzx.typeCompress = 3;
             CabOptions later;
             later.iCabinet = 1;
             const std::vector<std::pair<Bytes, bool>> files = {
                 {good, true},
                 {BuildCabinet({File("a", "a", 0x20, 0x5A21, 0x6000)}), true},
                 {cut, false},
                 {noise, false},
                 {BytesOf("MSCF"), false},
                 {BuildCabinet({File("a", "a", 0x20, 0x5A21, 0x6000)}, lzx), false},
                 {BuildCabinet({File("a", "a", 0x20, 0x5A21, 0x6000)}, later), false},
             };
             const std::string log = env.dir / "detect.log";
             env.Options(false, false, false, false, false, log);
             const Bytes logged = FileExists(log) ? ReadFile(log) : Bytes();
             bool right = true;
             for (size_t i = 0; i < files.size(); ++i) {
                 std::string path = env.Cab("file" + std::to_string(i) + ".bin", files[i].first);
                 bool answer = env.m.CanYouHandleThisFile(&path[0]) != 0;
                 EXPECT_EQ(answer, files[i].second) << "file " << i;
                 right &= answer == files[i].second;
             }
             std::string missing = env.dir / "missing.cab", directory = env.dir / "src";
             right &= !env.m.CanYouHandleThisFile(&missing[0]) && !env.m.CanYouHandleThisFile(&directory[0]) &&
                      !env.m.CanYouHandleThisFile(nullptr);
             EXPECT_EQ(FileExists(log) ? ReadFile(log) : Bytes(), logged);
             return right;
         }},
    };
    const int32_t caps = env.m.GetPackerCaps();
    int32_t tried = 0;
    for (const Capability& c : capabilities) {
        EXPECT_NE(caps & c.bit, 0) << c.what << " works but is not announced";
        EXPECT_TRUE(c.works()) << c.what;
        tried |= c.bit;
    }
    EXPECT_EQ(caps & ~tried, 0) << "announced without a try";
}

// The records as the host declares them (packed, a pointer of this build's
// size): every field the module reads or writes sits where the host has it,
// and the module's record is no larger than the host's. The Windows builds
// check the same offsets when they compile, the 32-bit one with 4-byte
// pointers.
TEST(HostRecord, RecordLayoutsMatchTheHostsDeclaration) {
    const size_t p = sizeof(void*);
    struct Field {
        const char* name;
        size_t offset, expected;
    };
    // The wide record's name is twice as long: its later fields sit 2048 bytes on.
#define EX_FIELD(f, at) {"EntryHeaderEx." #f, offsetof(EntryHeaderEx, f), at}, \
                        {"EntryHeaderExW." #f, offsetof(EntryHeaderExW, f), (at) + 2048}
    const std::vector<Field> fields = {
        {"OpenRequest.archiveName", offsetof(OpenRequest, archiveName), 0},
        {"OpenRequest.openMode", offsetof(OpenRequest, openMode), p},
        {"OpenRequest.openResult", offsetof(OpenRequest, openResult), p + 4},
        {"OpenRequest.commentBuffer", offsetof(OpenRequest, commentBuffer), p + 8},
        {"OpenRequest.commentBufferSize", offsetof(OpenRequest, commentBufferSize), 2 * p + 8},
        {"OpenRequest.commentSize", offsetof(OpenRequest, commentSize), 2 * p + 12},
        {"OpenRequest.commentState", offsetof(OpenRequest, commentState), 2 * p + 16},
        {"sizeof OpenRequest", sizeof(OpenRequest), 2 * p + 20},
        {"EntryHeader.archiveName", offsetof(EntryHeader, archiveName), 0},
        {"EntryHeader.fileName", offsetof(EntryHeader, fileName), 260},
        {"EntryHeader.flags", offsetof(EntryHeader, flags), 520},
        {"EntryHeader.packedSize", offsetof(EntryHeader, packedSize), 524},
        {"EntryHeader.unpackedSize", offsetof(EntryHeader, unpackedSize), 528},
        {"EntryHeader.hostOS", offsetof(EntryHeader, hostOS), 532},
        {"EntryHeader.fileCRC", offsetof(EntryHeader, fileCRC), 536},
        {"EntryHeader.fileTime", offsetof(EntryHeader, fileTime), 540},
        {"EntryHeader.unpackVersion", offsetof(EntryHeader, unpackVersion), 544},
        {"EntryHeader.method", offsetof(EntryHeader, method), 548},
        {"EntryHeader.fileAttributes", offsetof(EntryHeader, fileAttributes), 552},
        {"EntryHeader.commentBuffer", offsetof(EntryHeader, commentBuffer), 556},
        {"EntryHeader.commentBufferSize", offsetof(EntryHeader, commentBufferSize), 556 + p},
        {"EntryHeader.commentSize", offsetof(EntryHeader, commentSize), 560 + p},
        {"EntryHeader.commentState", offsetof(EntryHeader, commentState), 564 + p},
        {"sizeof EntryHeader", sizeof(EntryHeader), 568 + p},
        {"OpenRequestW.openMode", offsetof(OpenRequestW, openMode), p},
        {"OpenRequestW.commentBuffer", offsetof(OpenRequestW, commentBuffer), p + 8},
        {"OpenRequestW.commentState", offsetof(OpenRequestW, commentState), 2 * p + 16},
        {"sizeof OpenRequestW", sizeof(OpenRequestW), 2 * p + 20},
        {"EntryHeaderEx.fileName", offsetof(EntryHeaderEx, fileName), 1024},
        EX_FIELD(flags, 2048),
        EX_FIELD(packedSize, 2052),
        EX_FIELD(packedSizeHigh, 2056),
        EX_FIELD(unpackedSize, 2060),
        EX_FIELD(unpackedSizeHigh, 2064),
        EX_FIELD(hostOS, 2068),
        EX_FIELD(fileCRC, 2072),
        EX_FIELD(fileTime, 2076),
        EX_FIELD(unpackVersion, 2080),
        EX_FIELD(method, 2084),
        EX_FIELD(fileAttributes, 2088),
        EX_FIELD(commentBuffer, 2092),
        EX_FIELD(commentBufferSize, 2092 + p),
        EX_FIELD(commentSize, 2096 + p),
        EX_FIELD(commentState, 2100 + p),
        EX_FIELD(reserved, 2104 + p),
        {"sizeof EntryHeaderEx", sizeof(EntryHeaderEx), 3128 + p},
        {"EntryHeaderExW.fileName", offsetof(EntryHeaderExW, fileName), 2048},
        {"EntryHeaderExW.preciseFileTime", offsetof(EntryHeaderExW, preciseFileTime), 5176 + p},
        {"sizeof EntryHeaderExW", sizeof(EntryHeaderExW), 5184 + p},
        {"ExtensionStartupInfo.dialogBoxLfm", offsetof(ExtensionStartupInfo, dialogBoxLfm), 32772 + 2 * p},
        {"ExtensionStartupInfo.sendDlgMsg", offsetof(ExtensionStartupInfo, sendDlgMsg), 32772 + 5 * p},
        {"DefaultParams.defaultSettingsPath", offsetof(DefaultParams, defaultSettingsPath), 12},
        {"sizeof DefaultParams", sizeof(DefaultParams), 272},
    };
#undef EX_FIELD
    for (const Field& f : fields) EXPECT_EQ(f.offset, f.expected) << f.name;
}

// Each header record is written up to its declared end and no further, and
// the records with two size halves hold a size the 32-bit fields cannot.
TEST(HostRecord, HeaderRecordsAreWrittenNoFurtherThanDeclared) {
    ModuleEnv env;
    CabLayout layout;
    Bytes cab = BuildCabinet({File("huge.bin", "h", 0x20, 0x5A21, 0x6000)}, {}, &layout);
    for (int i = 0; i < 4; ++i) cab[layout.fileRecordOffsets[0] + i] = 0xFF;  // cbFile 0xFFFFFFFF
    const std::string path = env.Cab("huge.cab", cab);
    auto readEx = reinterpret_cast<ReadHeaderExFn>(dlsym(env.m.handle, "ReadHeaderEx"));
    auto readExW = reinterpret_cast<ReadHeaderExWFn>(dlsym(env.m.handle, "ReadHeaderExW"));
    ASSERT_TRUE(readEx && readExW);
    struct Reader {
        const char* name;
        size_t size;
        std::function<int32_t(void*, unsigned char*)> read;
        std::function<uint64_t(const unsigned char*)> unpacked;
    };
    const std::vector<Reader> readers = {
        {"ReadHeader", sizeof(EntryHeader), [&](void* a, unsigned char* r) { return env.m.ReadHeader(a, reinterpret_cast<EntryHeader*>(r)); },
         [](const unsigned char* r) { return static_cast<uint64_t>(static_cast<uint32_t>(reinterpret_cast<const EntryHeader*>(r)->unpackedSize)); }},
        {"ReadHeaderEx", sizeof(EntryHeaderEx), [&](void* a, unsigned char* r) { return readEx(a, reinterpret_cast<EntryHeaderEx*>(r)); },
         [](const unsigned char* r) {
             const EntryHeaderEx* h = reinterpret_cast<const EntryHeaderEx*>(r);
             return (static_cast<uint64_t>(h->unpackedSizeHigh) << 32) | h->unpackedSize;
         }},
        {"ReadHeaderExW", sizeof(EntryHeaderExW), [&](void* a, unsigned char* r) { return readExW(a, reinterpret_cast<EntryHeaderExW*>(r)); },
         [](const unsigned char* r) {
             const EntryHeaderExW* h = reinterpret_cast<const EntryHeaderExW*>(r);
             return (static_cast<uint64_t>(h->unpackedSizeHigh) << 32) | h->unpackedSize;
         }},
    };
    for (const Reader& r : readers) {
        SCOPED_TRACE(r.name);
        OpenResult o = Open(env.m, path);
        ASSERT_NE(o.handle, nullptr);
        for (int32_t expected : {MIRAD_OK, MIRAD_END_ARCHIVE}) {
            std::vector<unsigned char> space(r.size + 64, 0xA5);
            EXPECT_EQ(r.read(o.handle, space.data()), expected);
            EXPECT_EQ(std::count(space.begin() + r.size, space.end(), 0xA5), 64);
            if (expected != MIRAD_OK) continue;
            EXPECT_EQ(r.unpacked(space.data()), 0xFFFFFFFFu);
            env.m.ProcessFile(o.handle, MIRAD_SKIP, nullptr, nullptr);
        }
        env.m.CloseArchive(o.handle);
    }
}

// The settings dialog through the host's dialog services: it shows the
// values in force, writes what the user chose, keeps a code page that is no
// number, and shows nothing to a host that gave no such services.
TEST(HostRecord, SettingsDialogShowsAndWritesTheOptions) {
    ModuleEnv env;
    env.Options(false, true, false, true, false);
    auto configure = reinterpret_cast<ConfigurePackerFn>(dlsym(env.m.handle, "ConfigurePacker"));
    auto initialize = reinterpret_cast<ExtensionInitializeFn>(dlsym(env.m.handle, "ExtensionInitialize"));
    ASSERT_TRUE(configure && initialize);
    g_dialog = FakeDialog();
    configure(nullptr, nullptr);
    ExtensionStartupInfo info;
    std::memset(&info, 0, sizeof info);
    info.dialogBoxLfm = FakeDialogBox;
    info.sendDlgMsg = FakeSend;
    info.structSize = offsetof(ExtensionStartupInfo, sendDlgMsg);  // a record that ends before the services
    initialize(&info);
    configure(nullptr, nullptr);
    EXPECT_EQ(g_dialog.shown, 0);

    info.structSize = sizeof info;
    initialize(&info);
    g_dialog.changes = {{"chkExpandCE", 1}, {"chkExpandPath", 0}, {"chkEditInstallation", 1}, {"cmbCompression", 1}};
    g_dialog.textChanges = {{"edtCodePage", "1251"}};
    configure(nullptr, nullptr);
    ASSERT_EQ(g_dialog.shown, 1);
    for (const auto& item : g_dialog.values)
        EXPECT_NE(g_dialog.form.find("object " + item.first + ": "), std::string::npos) << item.first;
    EXPECT_NE(g_dialog.form.find("object edtCodePage: TEdit"), std::string::npos);
    EXPECT_NE(g_dialog.form.find("OnClick = ButtonClick"), std::string::npos);
    const std::string ini = ReadText(env.m.directory() + "/Mirad.ini");
    struct Key {
        const char* key;
        const char* value;
    };
    const std::vector<Key> keys = {{"ExpandCE", "1"},     {"ExpandPath", "0"},   {"ShowShortcuts", "1"},
                                   {"ShowRegistry", "0"}, {"ShowInfFile", "0"},  {"BuildFromInf", "0"},
                                   {"EditInstallation", "1"}, {"Compression", "MSZIP"}, {"CodePage", "1251"}};
    for (const Key& k : keys) {
        std::string value;
        EXPECT_TRUE(mirad::ini::FindValue(ini, "CONFIGURATION", k.key, &value)) << k.key;
        EXPECT_EQ(value, k.value) << k.key;
    }

    // Shown again: the values just written, and a code page that is no number stays.
    g_dialog.values.clear();
    g_dialog.changes.clear();
    g_dialog.textChanges = {{"edtCodePage", "12x"}};
    configure(nullptr, nullptr);
    EXPECT_EQ(g_dialog.values["chkExpandCE"], 1);
    EXPECT_EQ(g_dialog.values["chkEditInstallation"], 1);
    EXPECT_EQ(g_dialog.values["cmbCompression"], 1);
    std::string codePage;
    mirad::ini::FindValue(ReadText(env.m.directory() + "/Mirad.ini"), "CONFIGURATION", "CodePage", &codePage);
    EXPECT_EQ(codePage, "1251");
}
