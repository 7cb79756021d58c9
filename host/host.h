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
    bool compress = false;               // pack --compress
    std::vector<std::string> excludes;   // -x PATTERN
    bool keepExisting = false;           // extract -n
    bool verbose = false;                // -v
    bool quiet = false;                  // -q
    bool longFormat = false;             // list --long
    bool json = false;                   // list/info --json
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
// The file a path names (after links) is marked read-only or is not ours to
// write.
bool IsReadOnlyFile(const std::string& path);
// Why the module refused to write below root/parts[0]/.../parts[count-1]: the
// link or file it met on the way there, as the end of a sentence, or ""
// when nothing on the way explains it. Only a diagnosis: the module itself
// never follows what is below root.
std::string BlockedWayBelow(const std::string& root, const std::vector<std::string>& parts, size_t count);
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
// Why a file cannot be opened for reading, in the system's words ("No such
// file or directory", "Permission denied", "Is a directory"); empty when it opens.
std::string WhyCannotRead(const std::string& path);
std::string JoinPath(const std::string& dir, const std::string& name);
std::string ParentDirectory(const std::string& path);
// The system's reason why `path` cannot be created and filled with `size`
// bytes (strerror text: "Permission denied", "No space left on device"...);
// empty when it sees none. A file the question creates is removed again.
std::string WhyCannotCreate(const std::string& path, uint64_t size);
bool StdoutIsTerminal();

// A fresh private directory, removed with everything in it on destruction.
struct TempDirectory {
    std::string path;  // empty when it could not be made
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
};

// ---- The cabinet as the host reads it (host/facts.cpp) ---------------------------

struct CabinetFacts {
    int openError = 0;      // errno when it cannot be opened
    bool seekable = true;   // false: a pipe or device
    bool opened = false;
    uint64_t length = 0;
    bool signature = false;  // starts with "MSCF"
    bool headerComplete = false;
    uint32_t cbCabinet = 0, coffFiles = 0;
    uint16_t cFolders = 0, cFiles = 0, flags = 0, setID = 0, iCabinet = 0;
    std::string previousCabinet, nextCabinet;  // multi-part neighbours
    struct Folder {
        uint32_t coffCabStart = 0;
        uint16_t cCFData = 0, typeCompress = 0;
    };
    std::vector<Folder> folders;
    bool foldersComplete = false;
    struct StoredEntry {
        std::string name;  // "/" read as "\"
        uint32_t cbFile = 0, uoffFolderStart = 0;
        uint16_t iFolder = 0, attribs = 0;
    };
    std::vector<StoredEntry> files;
    bool filesComplete = false;
};

// With `tables` false only whether and how it opens (no reading).
CabinetFacts ReadCabinetFacts(const std::string& path, bool tables = true);
// "none", "MSZIP", "Quantum", "LZX" or "unknown method N".
std::string CompressionName(uint16_t typeCompress);
// Why the module would refuse this file, in a sentence naming it; empty when
// the host sees nothing wrong with it.
std::string ExplainRefusal(const std::string& cabinet, const CabinetFacts& facts);

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
    std::string compression;  // "Compression"; empty: keep
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

// ---- Safety (host/safety.cpp) --------------------------------------------------------

// The text with control characters shown escaped (\n, \r, \t, \x1b; the
// UTF-8 form of C1 controls too), so a name cannot drive the terminal or
// forge lines.
std::string Printable(const std::string& text);
// Flushes standard output; false when anything written to it was lost.
bool StdoutWritten();

// SIGINT and SIGTERM set a flag the progress callback reports to the module.
void InstallInterruptHandlers();
bool Interrupted();
constexpr int kInterruptedStatus = 130;
// The module's progress callback: counts bytes, asks the module to stop
// once interrupted, and on a terminal shows one line on standard error for
// operations longer than a second (unless quiet).
void SetQuiet(bool quiet);
void StartProgress();
int MIRAD_CALL ProgressCallback(char* name, int32_t size);
void EndProgress();

// ---- Commands (host/commands.cpp) ----------------------------------------------------

int CommandList(const Options& options);
int CommandExtract(const Options& options);
int CommandTest(const Options& options);
int CommandPack(const Options& options);
int CommandUpdate(const Options& options);
int CommandInfo(const Options& options);

// One entry as ReadHeader gave it.
struct ListedEntry {
    std::string name;
    int32_t size = -1;  // -1: a shortcut or document whose length the module does not tell
    int32_t time = 0;
    int32_t attributes = 0;
    bool file = true;   // false for a shortcut or a generated document
};

// Lists `cabinet` in exactly the view given (0/1 for each option) and reads
// the entries named in `read` (exact names) into `contents`, through a
// private temporary directory. False, with the reason on stderr, when the
// module cannot be loaded or refuses the cabinet.
bool WalkView(const Options& options, const int (&view)[kViewOptionCount], const std::string& cabinet,
              std::vector<ListedEntry>* entries, const std::vector<std::string>& read = {},
              std::vector<std::string>* contents = nullptr);

// What a CE cabinet installs, learnt through the exports alone.
struct CeFacts {
    bool isCe = false;         // the module found a setup file
    bool hasRegistry = false;  // ~Cab~.REG is offered
    std::string setupName;     // stored name of the setup file
    std::string setupBytes;
    // One per installed file, in the setup file's order: its stored name (from
    // the generated INF), its destination with macros (installed view) and
    // its device path (installed view with macros expanded).
    std::vector<std::string> storedNames, destinations, devicePaths;
};
bool ReadCeFacts(const Options& options, const std::string& cabinet, CeFacts* facts);

// Text for JSON: quoted, escaped; bytes that are not UTF-8 read as Latin-1.
std::string JsonString(const std::string& text);
// A header record's time and attributes as this platform's module fills
// them (DOS values on Windows, Unix seconds and a mode on POSIX).
std::string EntryTime(int32_t fileTime, bool iso = false);  // "-" / null-worthy empty when 0
int32_t EntryAttributeBits(int32_t attributes);             // as DOS attribute bits
std::string AttributeLetters(int32_t attributes);           // RHSA of those bits

// Helpers the commands share and tests can reason about.
std::string ResultText(int32_t code);
// Splits an entry name into the parts written under the target directory,
// dropping what would leave it ("..", leading separators, drive letters).
// `changed` tells whether anything that mattered was dropped.
std::vector<std::string> SafeParts(const std::string& name, bool* changed);
// NAME selection: the name itself or a wildcard pattern (*, ?, [...]),
// compared ignoring case with / and \\ alike; a match of leading whole
// components selects everything below them.
bool NameMatches(const std::string& entry, const std::string& wanted);
bool WildcardMatch(const std::string& pattern, const std::string& text);
std::string NameKey(std::string name);
std::string Lower(std::string text);
std::string FormatEntry(const EntryHeader& header);

void Error(const std::string& sentence);    // "mirad: " + sentence on stderr
void Warning(const std::string& sentence);  // "mirad: warning: " + sentence on stderr; not with -q
extern bool gQuiet;

}  // namespace host
