// The `mirad` command-line host: loads the module at run time and drives its
// nine exports the way a two-pane file manager does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "interface/exports.h"

namespace host {

#if defined(_WIN32)
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

// ---- What the command line asked for ------------------------------------------

// The five view options of the module's settings file, in one place so the
// flags, the private settings file and --help agree.
enum ViewOption { kExpandCE, kExpandPath, kShowRegistry, kShowShortcuts, kShowInfFile, kViewOptionCount };
extern const char* const kViewKeys[kViewOptionCount];  // the settings keys

struct Options {
    std::string command;
    std::vector<std::string> arguments;  // cabinet first, then names or paths
    std::string modulePath;              // --module; empty: beside the executable
    std::string configDir;               // --config; empty: the per-user default
    std::string logFile;                 // --log
    std::string outputDir = ".";         // extract -d
    std::string sourceDir;               // pack/update -C
    std::string prefix;                  // pack --prefix
    bool move = false;                   // pack --move
    bool viewGiven = false;              // any view flag given
    bool view[kViewOptionCount] = {};    // the view the flags ask for
};

// ---- Operating-system services (host/os.cpp) ------------------------------------

std::string ExecutableDirectory();  // empty when it cannot be told
std::string DefaultConfigDirectory();  // $XDG_CONFIG_HOME/mirad, ~/.config/mirad, %APPDATA%\mirad
bool IsDirectory(const std::string& path);
bool IsRegularFile(const std::string& path);
bool PathExists(const std::string& path);
bool MakeDirectories(const std::string& path);
std::string AbsolutePath(const std::string& path);
bool CopyFileBytes(const std::string& from, const std::string& to);
// Copies a file's bytes to standard output (binary on every platform).
bool CopyToStdout(const std::string& path);
// While it lives, what anyone prints on standard output goes to standard
// error: the module's own messages must not mix with document bytes.
struct StdoutToStderr {
    int saved = -1;
    StdoutToStderr();
    ~StdoutToStderr();
    StdoutToStderr(const StdoutToStderr&) = delete;
    StdoutToStderr& operator=(const StdoutToStderr&) = delete;
};
// Why a file cannot be opened for reading: "no such file", "permission
// denied", "is a directory"...; empty when it opens.
std::string WhyCannotRead(const std::string& path);
std::string JoinPath(const std::string& dir, const std::string& name);

// A fresh private directory, removed with everything in it on destruction.
struct TempDirectory {
    std::string path;  // empty when it could not be made
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
};

// ---- The loaded module (host/loader.cpp) ------------------------------------------

struct ModuleApi {
    void* handle = nullptr;
    OpenArchiveFn OpenArchive = nullptr;
    ReadHeaderFn ReadHeader = nullptr;
    ProcessFileFn ProcessFile = nullptr;
    CloseArchiveFn CloseArchive = nullptr;
    PackFilesFn PackFiles = nullptr;
    PackSetDefaultParamsFn PackSetDefaultParams = nullptr;
    GetPackerCapsFn GetPackerCaps = nullptr;
    SetChangeVolProcFn SetChangeVolProc = nullptr;
    SetProcessDataProcFn SetProcessDataProc = nullptr;
};

// Loads the module and resolves all nine exports; on failure `error` says why.
bool LoadModule(const std::string& path, ModuleApi* api, std::string* error);
void UnloadModule(ModuleApi* api);

// ---- Settings (host/settings.cpp) ----------------------------------------------------

// Sets one key of an INI text with the module's own INI rules (platform/ini.h),
// keeping every other line; adds the key, or the section and the key, when
// absent. A key the rules cannot write leaves the text as it is.
std::string SetIniValue(const std::string& text, const std::string& section, const std::string& key,
                        const std::string& value);

// Changes the host makes to the user's settings for one run. -1: keep.
struct SettingsOverride {
    int view[kViewOptionCount] = {-1, -1, -1, -1, -1};
    bool setDebugFile = false;
    std::string debugFile;
    bool any() const;
};

// One run of the module: where it was loaded from and which settings file it
// reads. Unloads the module before removing its private directory.
struct Session {
    std::unique_ptr<TempDirectory> privateDir;  // private settings and module copy
    ModuleApi api;
    std::string modulePath;    // the file actually loaded
    std::string settingsPath;  // what PackSetDefaultParams was given
    Session() = default;
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
};

// Loads the module and hands it its settings directory. With overrides, the
// settings file the module would read is copied into a private directory, the
// overrides are written into the copy, and the module reads the copy; when a
// Mirad.ini lies beside the module (which the module always prefers), a
// private copy of the module is loaded from that directory so the copy wins.
// False with a message on stderr when the module cannot be loaded.
bool StartSession(const Options& options, const SettingsOverride& changes, Session* session);

// Where the module's settings live for these options.
std::string ModuleFilePath(const Options& options);
std::string SettingsDirectory(const Options& options);

// ---- Commands (host/commands.cpp) ----------------------------------------------------

int CommandList(const Options& options);
int CommandExtract(const Options& options);
int CommandTest(const Options& options);
int CommandPack(const Options& options);
int CommandUpdate(const Options& options);

// Helpers the commands share and tests can reason about.
std::string ResultText(int32_t code);
// Splits an entry name into the parts written under the target directory,
// dropping what would leave it ("..", leading separators, drive letters).
// `changed` tells whether anything that mattered was dropped.
std::vector<std::string> SafeParts(const std::string& name, bool* changed);
bool NameMatches(const std::string& entry, const std::string& wanted);
std::string FormatEntry(const EntryHeader& header);

void Error(const std::string& sentence);    // "mirad: " + sentence on stderr
void Warning(const std::string& sentence);  // "mirad: warning: " + sentence on stderr

}  // namespace host
