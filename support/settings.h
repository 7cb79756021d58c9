// The module's settings from "Mirad.ini" and the directory-macro table, as
// immutable snapshots: a reload builds a new snapshot and publishes it whole,
// so a call that holds one never sees half-written settings.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

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
    // The Windows code page of names and setup-file strings a cabinet stores
    // without the UTF-8 flag ("CodePage", absent: 1252).
    uint32_t CodePage;
    // How PackFiles compresses a new cabinet ("Compression": "none", the
    // default, or "MSZIP").
    int32_t Compression;
    // PackFiles asked for a new cabinet from one CE INF builds the CE
    // cabinet it describes ("BuildFromInf"; absent: off, the INF is stored),
    // for the processor "BuildProcessor" names (its [Section.NAME] parts;
    // empty: none), with sources below "BuildSourceDir" (empty: the INF's
    // folder), and with "BuildStrict" on, what the wizard would ignore
    // fails the build.
    int32_t BuildFromInf;
    char BuildProcessor[64];
    char BuildSourceDir[260];
    int32_t BuildStrict;
    // PackFiles may change what a cabinet holds, not only replace installed
    // files: add files, replace the generated documents, and DeleteFiles
    // removes entries ("EditInstallation"; absent: off).
    int32_t EditInstallation;
    // The copy-file flags of a file added to the installed view
    // ("AddedFileFlags"; absent: 0).
    uint32_t AddedFileFlags;
};

constexpr int32_t kCompressionNone = 0, kCompressionMszip = 1;

using SettingsSnapshot = std::shared_ptr<const Settings>;

// The built-in values (a fresh module load), in the order the macro table
// and the settings file list them.
const Settings& BuiltInSettings();

// The snapshot published last (the built-in values until a file is read).
SettingsSnapshot PublishedSettings();
// Publishes `settings` as the new snapshot.
void PublishSettings(const Settings& settings);

// The settings one export call works with: taken once when the call begins
// (SettingsForCall) and used for the whole call, the log included. Outside a
// call, the published snapshot.
SettingsSnapshot CurrentSettings();

// Pins the published snapshot for the calling thread while it lives.
class SettingsForCall {
public:
    SettingsForCall();
    ~SettingsForCall();
    SettingsForCall(const SettingsForCall&) = delete;
    SettingsForCall& operator=(const SettingsForCall&) = delete;
    const Settings& operator*() const { return *snapshot_; }
    const Settings* operator->() const { return snapshot_.get(); }

private:
    SettingsSnapshot snapshot_;
    const Settings* outer_;
};

// Back to the built-in values, no settings path, no remembered write time
// (what a fresh module load gives).
void ResetSettings();

// The settings-file path located by LocateSettingsFile (empty until then).
std::string SettingsPath();

// Finds the settings file: one beside the module wins; otherwise
// "Mirad.ini" in the directory of the host's default path.
void LocateSettingsFile(const char* hostDefaultPath);
// What the module reads from the settings file at `path`: the built-in
// values overridden by the file, or, when there is no file, what the file
// created there holds.
Settings SettingsFromFile(const char* path);
// Writes the file the module creates where none exists (the views on);
// false when it cannot be created.
bool CreateSettingsFile(const char* path);

// Reads the settings file again when its write time changed (creating it
// with the values in force when it does not exist) and publishes the result.
void LoadSettings();

// Writes one key of the settings file's "CONFIGURATION" section, for the
// next LoadSettings to read; false when no settings file is located or the
// write fails.
bool WriteSetting(const char* key, const char* value);

// "Compression"'s value for a method, and the method a value names.
const char* CompressionName(int32_t compression);
int32_t CompressionFromName(const char* name);

}  // namespace mirad
