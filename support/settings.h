// Process-wide settings read from "Mirad.ini" and the directory-macro table.
#pragma once

#include <cstdint>

namespace mirad {

constexpr int kMacroCount = 17;

struct Settings {
    int32_t ExpandCE;
    int32_t ExpandPath;
    int32_t ShowRegistry;
    int32_t ShowShortcuts;
    int32_t ShowInfFile;
    char DebugFile[260];
    char Language[20];
    // Entry n - 1 holds the device directory for %CEn%.
    char DirectoryMacroTable[kMacroCount][260];
};

// The settings in force (built-in values until a settings file is read).
Settings& CurrentSettings();

// Back to the built-in values, no settings path, no remembered write time
// (what a fresh module load gives).
void ResetSettings();

// The settings-file path located by LocateSettingsFile (empty until then).
const char* SettingsPath();

void LocateSettingsFile();
void LoadSettings();
void WriteDefaultSettings();

}  // namespace mirad

namespace mirad {
// The host's defaultSettingsPath from PackSetDefaultParams (empty until then).
const char* HostDefaultSettingsPath();
void ResetHostDefaults();
}  // namespace mirad
