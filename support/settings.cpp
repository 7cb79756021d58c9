// Settings from "Mirad.ini": located once when the host hands over its
// defaults, re-read whenever the file's last-write time changes, and created
// with the values in force when it exists nowhere.
//
// Locating, reading and writing the file happen under one lock; the result
// is published as a new snapshot under a second, short lock, so readers never
// wait for the file.
#include "support/settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/ascii.h"
#include "platform/platform.h"
#include "support/io.h"
#include "support/paths.h"

namespace mirad {

namespace {

const char kSettingsName[] = "Mirad.ini";
const char kConfiguration[] = "CONFIGURATION";
// "Language" is read into 19 bytes of its 20-byte field: 18 characters and
// the terminator.
const size_t kLanguageRead = 19;
const uint32_t kDefaultCodePage = 1252;

constexpr Settings kBuiltIn = {
    0, 0, 0, 0, 0, "", "English",
    {
        "\\Program Files",
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
        "\\Windows\\Start Menu",
    },
    kDefaultCodePage,
    kCompressionNone,
    0,
    "",
    "",
    0,
    0,
    0,
};

// The published snapshot.
platform::Mutex g_publishLock;
SettingsSnapshot g_published;

// The settings file: its path and its last-write time when it was last read
// (all zero: not read yet, so the next LoadSettings reads).
platform::Mutex g_fileLock;
char g_settingsPath[kPathSize];
uint8_t g_stamp[8];

// The snapshot pinned by the export call running on this thread. One
// pointer, kept in the static TLS a loaded module may use: every export
// reads it, and a dynamic TLS block would cost a __tls_get_addr call each
// time (and is what the leak checker of the sanitizer build misreads on a
// module unloaded before the process ends).
#if defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local const Settings* t_callSettings = nullptr;

struct Flag {
    const char* key;
    int32_t Settings::*field;
};
// In the order the keys are written.
const Flag kFlags[] = {
    {"ExpandCE", &Settings::ExpandCE},         {"ExpandPath", &Settings::ExpandPath},
    {"ShowRegistry", &Settings::ShowRegistry}, {"ShowShortcuts", &Settings::ShowShortcuts},
    {"ShowInfFile", &Settings::ShowInfFile},
};

void MacroKey(char (&key)[16], int n) { std::snprintf(key, sizeof key, "CE_%d", n); }


// path with everything after its last separator replaced by the settings
// name; false (and out empty) when the result would not fit.
bool SettingsFileBeside(const char* path, char* out, size_t size) {
    out[0] = '\0';
    size_t keep = AfterLastSeparator(path);
    if (keep + sizeof kSettingsName > size) return false;
    std::memcpy(out, path, keep);
    std::memcpy(out + keep, kSettingsName, sizeof kSettingsName);
    return true;
}

// Writes `s` as a complete settings file at `path`.
void WriteSettingsFile(const Settings& s, const char* path) {
    for (const Flag& flag : kFlags) {
        platform::ProfileWriteString(kConfiguration, flag.key, s.*flag.field ? "1" : "0", path);
    }
    platform::ProfileWriteString(kConfiguration, "DebugFile", "", path);
    platform::ProfileWriteString(kConfiguration, "Language", s.Language, path);
    platform::ProfileWriteString(kConfiguration, "Compression", CompressionName(s.Compression), path);
    platform::ProfileWriteString(kConfiguration, "BuildFromInf", s.BuildFromInf ? "1" : "0", path);
    platform::ProfileWriteString(kConfiguration, "BuildProcessor", s.BuildProcessor, path);
    platform::ProfileWriteString(kConfiguration, "BuildSourceDir", s.BuildSourceDir, path);
    platform::ProfileWriteString(kConfiguration, "BuildStrict", s.BuildStrict ? "1" : "0", path);
    platform::ProfileWriteString(kConfiguration, "EditInstallation", s.EditInstallation ? "1" : "0", path);
    platform::ProfileWriteString(kConfiguration, "AddedFileFlags", std::to_string(s.AddedFileFlags).c_str(), path);
    for (int n = 1; n <= kMacroCount; ++n) {
        char key[16];
        MacroKey(key, n);
        platform::ProfileWriteString(s.Language, key, s.DirectoryMacroTable[n - 1], path);
    }
}

// What a new settings file holds: the views on. Most hosts have no dialog
// for our options, so a user who never edits the file would never find the
// installed view (and absent keys already mean "on").
Settings FreshSettings(const Settings& current) {
    Settings fresh = current;
    for (const Flag& flag : kFlags) fresh.*flag.field = 1;
    // Alt+F5 on a CE INF then makes the installer.
    fresh.BuildFromInf = 1;
    // Copying into the installed view then adds files, F8 removes them.
    fresh.EditInstallation = 1;
    return fresh;
}

// Reads the file over a copy of the values in force: a macro the file does
// not name keeps its current entry.
Settings ReadSettingsFile(const Settings& current, const char* path) {
    Settings s = current;
    const platform::Profile file(path);
    for (const Flag& flag : kFlags) {
        s.*flag.field = file.GetInt(kConfiguration, flag.key, 1) != 0 ? 1 : 0;
    }
    file.GetString(kConfiguration, "DebugFile", "", s.DebugFile, sizeof s.DebugFile);
    file.GetString(kConfiguration, "Language", "English", s.Language, kLanguageRead);
    int codePage = file.GetInt(kConfiguration, "CodePage", static_cast<int>(kDefaultCodePage));
    s.CodePage = codePage > 0 && codePage < 65536 ? static_cast<uint32_t>(codePage) : kDefaultCodePage;
    char compression[16];
    file.GetString(kConfiguration, "Compression", "none", compression, sizeof compression);
    s.Compression = CompressionFromName(compression);
    s.BuildFromInf = file.GetInt(kConfiguration, "BuildFromInf", 0) != 0 ? 1 : 0;
    file.GetString(kConfiguration, "BuildProcessor", "", s.BuildProcessor, sizeof s.BuildProcessor);
    file.GetString(kConfiguration, "BuildSourceDir", "", s.BuildSourceDir, sizeof s.BuildSourceDir);
    s.BuildStrict = file.GetInt(kConfiguration, "BuildStrict", 0) != 0 ? 1 : 0;
    s.EditInstallation = file.GetInt(kConfiguration, "EditInstallation", 0) != 0 ? 1 : 0;
    char flags[16];
    file.GetString(kConfiguration, "AddedFileFlags", "0", flags, sizeof flags);
    s.AddedFileFlags = static_cast<uint32_t>(std::strtoul(flags, nullptr, 0));
    for (int n = 1; n <= kMacroCount; ++n) {
        char key[16];
        MacroKey(key, n);
        file.GetString(s.Language, key, current.DirectoryMacroTable[n - 1], s.DirectoryMacroTable[n - 1],
                       sizeof s.DirectoryMacroTable[n - 1]);
    }
    return s;
}

// LoadSettings with g_fileLock held.
void LoadLocked() {
    const char* path = g_settingsPath;
    if (!path[0]) return;

    uint8_t stamp[8] = {};
    bool created = false;
    if (IoWriteStamp(path, stamp)) {
        if (std::memcmp(stamp, g_stamp, sizeof stamp) == 0) return;
    } else {
        if (!IoCreateEmpty(path)) return;
        WriteSettingsFile(FreshSettings(*PublishedSettings()), path);
        created = true;
    }

    PublishSettings(ReadSettingsFile(*PublishedSettings(), path));

    // A file just created has no write time worth keeping: the writes above
    // changed it, so the next call reads the file again.
    if (created) {
        std::memset(g_stamp, 0, sizeof g_stamp);
    } else {
        std::memcpy(g_stamp, stamp, sizeof g_stamp);
    }
}

}  // namespace

const Settings& BuiltInSettings() { return kBuiltIn; }

Settings SettingsFromFile(const char* path) {
    uint8_t stamp[8];
    if (!IoWriteStamp(path, stamp)) return FreshSettings(kBuiltIn);
    return ReadSettingsFile(kBuiltIn, path);
}

bool CreateSettingsFile(const char* path) {
    if (!IoCreateEmpty(path)) return false;
    WriteSettingsFile(FreshSettings(kBuiltIn), path);
    return true;
}

SettingsSnapshot PublishedSettings() {
    std::lock_guard<platform::Mutex> hold(g_publishLock);
    if (!g_published) g_published = std::make_shared<const Settings>(kBuiltIn);
    return g_published;
}

void PublishSettings(const Settings& settings) {
    auto next = std::make_shared<const Settings>(settings);
    std::lock_guard<platform::Mutex> hold(g_publishLock);
    g_published.swap(next);
    // The old snapshot goes when its last holder lets it go.
}

SettingsSnapshot CurrentSettings() {
    // A pinned snapshot outlives the call's use of it: the pin holds it.
    if (t_callSettings) return SettingsSnapshot(SettingsSnapshot(), t_callSettings);
    return PublishedSettings();
}

SettingsForCall::SettingsForCall() : snapshot_(PublishedSettings()), outer_(t_callSettings) {
    t_callSettings = snapshot_.get();
}

SettingsForCall::~SettingsForCall() { t_callSettings = outer_; }

void ResetSettings() {
    std::lock_guard<platform::Mutex> hold(g_fileLock);
    PublishSettings(kBuiltIn);
    g_settingsPath[0] = '\0';
    std::memset(g_stamp, 0, sizeof g_stamp);
}

std::string SettingsPath() {
    std::lock_guard<platform::Mutex> hold(g_fileLock);
    return g_settingsPath;
}

void LocateSettingsFile(const char* hostDefaultPath) {
    std::lock_guard<platform::Mutex> hold(g_fileLock);
    std::memset(g_stamp, 0, sizeof g_stamp);

    // A settings file beside the module wins over the host's choice.
    char modulePath[kPathSize];
    char candidate[kPathSize];
    uint8_t stamp[8];
    if (platform::ModulePath(modulePath, sizeof modulePath) &&
        SettingsFileBeside(modulePath, candidate, sizeof candidate) && IoWriteStamp(candidate, stamp)) {
        CopyString(g_settingsPath, sizeof g_settingsPath, candidate);
        LoadLocked();
        return;
    }
    // A host path too long to take the name stays unused rather than cut
    // into the name of some other file.
    SettingsFileBeside(hostDefaultPath ? hostDefaultPath : "", g_settingsPath, sizeof g_settingsPath);
}

void LoadSettings() {
    std::lock_guard<platform::Mutex> hold(g_fileLock);
    LoadLocked();
}

// "Compression" names a method; anything but MSZIP means none.
const char* CompressionName(int32_t compression) { return compression == kCompressionMszip ? "MSZIP" : "none"; }
int32_t CompressionFromName(const char* name) {
    return EqualNoCase(name, "MSZIP") ? kCompressionMszip : kCompressionNone;
}

bool WriteSetting(const char* key, const char* value) {
    std::string path = SettingsPath();
    return !path.empty() && platform::ProfileWriteString(kConfiguration, key, value, path.c_str());
}

}  // namespace mirad
