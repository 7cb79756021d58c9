// Settings from "Mirad.ini": located once when the host hands over its
// defaults, re-read whenever the file's last-write time changes, and created
// with the values in force when it exists nowhere.
#include "support/settings.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "support/paths.h"

namespace mirad {

namespace {

const char kSettingsName[] = "Mirad.ini";
const char kConfiguration[] = "CONFIGURATION";
// "Language" is read into 19 bytes of its 20-byte field: 18 characters and
// the terminator.
const size_t kLanguageRead = 19;

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
};

Settings g_settings = kBuiltIn;
char g_settingsPath[kPathSize];
// The settings file's last-write time when it was last read; all zero means
// "not read yet", so the next LoadSettings reads.
uint8_t g_stamp[8];

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

}  // namespace

Settings& CurrentSettings() { return g_settings; }

void ResetSettings() {
    g_settings = kBuiltIn;
    g_settingsPath[0] = '\0';
    std::memset(g_stamp, 0, sizeof g_stamp);
}

const char* SettingsPath() { return g_settingsPath; }

void LocateSettingsFile() {
    std::memset(g_stamp, 0, sizeof g_stamp);

    // A settings file beside the module wins over the host's choice.
    char modulePath[kPathSize];
    char candidate[kPathSize];
    uint8_t stamp[8];
    if (platform::ModulePath(modulePath, sizeof modulePath) &&
        SettingsFileBeside(modulePath, candidate, sizeof candidate) && platform::FileWriteStamp(candidate, stamp)) {
        CopyString(g_settingsPath, sizeof g_settingsPath, candidate);
        LoadSettings();
        return;
    }
    // A host path too long to take the name stays unused rather than cut
    // into the name of some other file.
    SettingsFileBeside(HostDefaultSettingsPath(), g_settingsPath, sizeof g_settingsPath);
}

void LoadSettings() {
    const char* path = g_settingsPath;
    if (!path[0]) return;

    uint8_t stamp[8] = {};
    bool created = false;
    if (platform::FileWriteStamp(path, stamp)) {
        if (std::memcmp(stamp, g_stamp, sizeof stamp) == 0) return;
    } else {
        if (!platform::CreateNewEmptyFile(path)) return;
        WriteDefaultSettings();
        created = true;
    }

    for (const Flag& flag : kFlags) {
        g_settings.*flag.field = platform::ProfileGetInt(kConfiguration, flag.key, 1, path) != 0 ? 1 : 0;
    }
    platform::ProfileGetString(kConfiguration, "DebugFile", "", g_settings.DebugFile, sizeof g_settings.DebugFile,
                               path);
    platform::ProfileGetString(kConfiguration, "Language", "English", g_settings.Language, kLanguageRead, path);
    for (int n = 1; n <= kMacroCount; ++n) {
        char key[16];
        MacroKey(key, n);
        char current[kPathSize];
        std::memcpy(current, g_settings.DirectoryMacroTable[n - 1], sizeof current);
        platform::ProfileGetString(g_settings.Language, key, current, g_settings.DirectoryMacroTable[n - 1],
                                   sizeof g_settings.DirectoryMacroTable[n - 1], path);
    }

    // A file just created has no write time worth keeping: the writes above
    // changed it, so the next call reads the file again.
    if (created) {
        std::memset(g_stamp, 0, sizeof g_stamp);
    } else {
        std::memcpy(g_stamp, stamp, sizeof g_stamp);
    }
}

void WriteDefaultSettings() {
    const char* path = g_settingsPath;
    if (!path[0]) return;
    for (const Flag& flag : kFlags) {
        platform::ProfileWriteString(kConfiguration, flag.key, g_settings.*flag.field ? "1" : "0", path);
    }
    platform::ProfileWriteString(kConfiguration, "DebugFile", "", path);
    platform::ProfileWriteString(kConfiguration, "Language", g_settings.Language, path);
    for (int n = 1; n <= kMacroCount; ++n) {
        char key[16];
        MacroKey(key, n);
        platform::ProfileWriteString(g_settings.Language, key, g_settings.DirectoryMacroTable[n - 1], path);
    }
}

}  // namespace mirad
