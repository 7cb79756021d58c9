// Test fixtures: a cabinet builder and a CE setup-file builder that lay out
// records field by field (so tests can make every variant and corruption),
// temporary directories, peer tools, and the module loaded the way the host
// loads it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "interface/exports.h"

namespace fixture {

using Bytes = std::vector<uint8_t>;

Bytes BytesOf(const std::string& text);
Bytes Pattern(size_t size, uint32_t seed);  // deterministic pseudo-random bytes

// ---- Cabinets ----------------------------------------------------------------

struct StoredFile {
    std::string name;
    Bytes data;
    uint16_t date = 0x5A21;  // 2025-01-01
    uint16_t time = 0x6000;  // 12:00:00
    uint16_t attribs = 0x20;
};
StoredFile Stored(const std::string& name, Bytes data, uint16_t attribs = 0x20);
StoredFile Stored(const std::string& name, const std::string& text);

struct CabOptions {
    // Folder assignment: 0 puts every file in folder 0; N starts a new folder
    // after every N files.
    int filesPerFolder = 0;
    // Largest data bytes in one block.
    uint32_t blockSize = 32768;
    // true: every file starts a block of its own (our writer's layout);
    // false: files are packed back to back into shared blocks (gcab's layout).
    bool blockPerFile = false;
    // Write uoffFolderStart counting every passed block's 8-byte header and
    // data reserve (the header-counting rule) instead of data bytes only.
    bool headerCountedOffsets = false;
    // Reserve fields: when set, flags gets the value 4 and these follow.
    bool reserve = false;
    uint16_t cbCFHeader = 0;
    uint8_t cbCFFolder = 0;
    uint8_t cbCFData = 0;
    uint16_t extraFlags = 0;  // ORed into flags (1, 2 for multi-part sets)
    uint16_t setID = 0;
    uint16_t iCabinet = 0;
    uint16_t typeCompress = 0;  // for every folder
    // MSZIP: every block is "CK" and one raw deflate stream primed with the
    // folder's output so far (typeCompress 1 unless set otherwise).
    bool mszip = false;
    // Per folder where given: MSZIP (true) or stored, in place of `mszip`.
    std::vector<bool> mszipFolders;
    // Give every block its checksum (otherwise 0: none).
    bool checksums = false;
    // Changes a block as it will be written (its data, compressed when MSZIP,
    // and cbUncomp) before its checksum is taken; `block` counts over all
    // folders in file order.
    std::function<void(size_t block, Bytes& data, uint16_t& cbUncomp)> damage;
    // Bytes appended after cbCabinet (a signature); cbCabinet does not count them.
    Bytes trailer;
};

// Where things ended up, for tests that patch or cut the bytes.
struct CabLayout {
    uint32_t foldersOffset = 0;             // first CFFOLDER record
    std::vector<uint32_t> fileRecordOffsets;  // each CFFILE record
    std::vector<uint32_t> folderDataStart;    // coffCabStart of each folder
    std::vector<uint32_t> blockOffsets;       // every CFDATA header, in file order
    std::vector<uint32_t> fileDataOffsets;    // absolute offset of each file's first byte (stored only)
    uint32_t cbCabinet = 0;
};

Bytes BuildCabinet(const std::vector<StoredFile>& files, const CabOptions& options = {}, CabLayout* layout = nullptr);

// Raw deflate of `data` primed with `dictionary` (its last 32 KiB count), as
// one MSZIP block's stream without the "CK".
Bytes Deflate(const Bytes& data, const uint8_t* dictionary, size_t dictionarySize);
// One MSZIP block's data inflated on its own with `window` (its last 32 KiB
// count) as the history: "" when it is "CK" and one deflate stream that ends
// exactly at `cbData` with exactly `cbUncomp` bytes, put in `out`; else why not.
std::string InflateBlock(const uint8_t* data, size_t cbData, size_t cbUncomp, const uint8_t* window,
                         size_t windowSize, Bytes* out);

// ---- CE setup files ------------------------------------------------------------

struct CeString {
    uint16_t id;
    std::string text;      // stored with a terminating NUL
    int storedLength = -1;  // -1: text.size() + 1; otherwise the length field as given (bytes padded/cut)
};

struct CeDirectory {
    uint16_t id;
    std::vector<uint16_t> ids;  // the id list as stored (include a 0 to end early)
    int listBytes = -1;          // -1: 2 * ids.size()
};

struct CeCopyFile {
    uint16_t fileId;
    uint16_t directoryId;
    std::string name;  // stored with a terminating NUL; nameLength = size + 1
    uint32_t flags = 0;
    uint16_t entryField = 0;  // the 16-bit word whose place entryIndex takes
};

struct CeRegHive {
    uint16_t id;
    uint16_t root;
    std::vector<uint16_t> ids;
    uint16_t rootHigh = 0;  // upper 16 bits of the 4-byte root value
    uint16_t unknown = 0;   // the 2 uninterpreted bytes before the id list
    int listBytes = -1;
};

struct CeRegValue {
    uint16_t hiveId;
    uint32_t typeFlags;
    std::string name;  // stored with its NUL
    Bytes data;
    int payloadLength = -1;  // -1: name.size() + 1 + data.size()
    uint16_t first = 0, third = 0;
};

struct CeShortcut {
    uint16_t id = 0;
    uint16_t baseDirectoryId = 0;
    uint16_t baseMacro = 0;
    uint16_t targetId = 0;
    uint16_t targetIsFile = 1;
    uint16_t specLength = 2;
    uint16_t nameStringId = 0;
};

struct CeSetup {
    std::string signature = "MSCE";
    int32_t processor = 2577;
    int32_t minVersionMajor = 3, minVersionMinor = 0, maxVersionMajor = 4, maxVersionMinor = 1;
    std::vector<CeString> strings;
    std::vector<CeDirectory> directories;
    std::vector<CeCopyFile> copyFiles;
    std::vector<CeRegHive> hives;
    std::vector<CeRegValue> values;
    std::vector<CeShortcut> shortcuts;
    std::string appName;   // empty: length 0
    std::string provider;  // empty: length 0
    std::vector<std::string> unsupported;  // each stored with its NUL
    bool unsupportedExtraNul = false;      // a last empty name closes the list
    uint16_t storedDate = 0x5A21, storedTime = 0x6000;  // SETUP.000's CFFILE date and time
    // Count overrides for malformed variants (-1: the table's size).
    int stringCount = -1, directoryCount = -1, copyFileCount = -1, hiveCount = -1, valueCount = -1,
        shortcutCount = -1;
};

// Table offsets inside the setup file, for tests that cut or patch it.
struct SetupLayout {
    uint32_t strings = 0, directories = 0, copyFiles = 0, hives = 0, values = 0, shortcuts = 0, end = 0;
};

Bytes BuildSetupFile(const CeSetup& setup, SetupLayout* layout = nullptr);

// A CE cabinet: SETUP.000 first, then the given stored files.
Bytes BuildCeCabinet(const CeSetup& setup, const std::vector<StoredFile>& files, const CabOptions& options = {});

// The small CE cabinet the host and Wine tests share: game.exe (GameBytes())
// in %CE1%\Game, level.dat (LevelBytes()) in its data directory, a Start Menu
// shortcut to the program, and string, double-word and binary values.
Bytes GameCabinet(const CabOptions& options = {});
Bytes GameBytes();
Bytes LevelBytes();

// ---- Files and tools -------------------------------------------------------------

struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

void WriteFile(const std::string& path, const Bytes& bytes);
void WriteText(const std::string& path, const std::string& text);
Bytes ReadFile(const std::string& path);  // empty when missing
std::string ReadText(const std::string& path);
bool FileExists(const std::string& path);

// Lines of a text file (CR LF or LF) that begin with one of `prefixes`.
std::vector<std::string> LinesStartingWith(const std::string& path, const std::vector<std::string>& prefixes);
// Every regular file below `root`, by path relative to it.
std::map<std::string, Bytes> FilesBelow(const std::string& root);
// Writes each file below `root` ("\\" or "/" separating), making directories.
void WriteTree(const std::string& root, const std::map<std::string, Bytes>& files);

struct CommandResult {
    int status = -1;  // exit status, or -1 when it did not run
    std::string out;  // stdout and stderr together
};
CommandResult Run(const std::string& command);
bool HaveTool(const std::string& name);
std::string Quote(const std::string& text);  // for the shell

// What cabextract -t and 7zz t, each where installed, say against `cab`:
// empty when every one accepts it.
std::string PeerComplaints(const std::string& cab);
// The first folder's compression (0 stored, 1 MSZIP); 0xFFFF when the bytes
// hold no folder record.
uint16_t FirstFolderMethod(const Bytes& cabinet);

std::string SourceDir();
std::string CorpusDir();  // empty when the corpus folder is absent
// The corpus's real CE cabinets whose first folder is MSZIP, sorted.
std::vector<std::string> RealMszipCabinets();
std::string HostPath();    // build/mirad
std::string ModulePath();  // build/Mirad.wcx
// Runs the built mirad in `dir` with the private settings directory "cfg"
// there (never the user's); the file size limit stops a refusal that is
// missed from filling the disk.
CommandResult Mirad(const TempDir& dir, const std::string& arguments);

// ---- The module, loaded as the host loads it -----------------------------------------

// The functions the module exports, sorted: the ANSI set and the wide one.
const std::vector<std::string>& ExportNames();

// Loads a private copy of the built module, so each instance starts fresh
// (allocation counter 0, no settings located).
struct Module {
    void* handle = nullptr;
    std::string copyDir;
    OpenArchiveFn OpenArchive = nullptr;
    ReadHeaderFn ReadHeader = nullptr;
    ProcessFileFn ProcessFile = nullptr;
    CloseArchiveFn CloseArchive = nullptr;
    PackFilesFn PackFiles = nullptr;
    PackSetDefaultParamsFn PackSetDefaultParams = nullptr;
    GetPackerCapsFn GetPackerCaps = nullptr;
    SetChangeVolProcFn SetChangeVolProc = nullptr;
    SetProcessDataProcFn SetProcessDataProc = nullptr;
    CanYouHandleThisFileFn CanYouHandleThisFile = nullptr;
    DeleteFilesFn DeleteFiles = nullptr;

    Module();  // loads a fresh copy; check ok()
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    bool ok() const { return handle != nullptr; }
    std::string directory() const { return copyDir; }  // where the copy (and a Mirad.ini beside it) lives

    // PackSetDefaultParams with `settingsDir` + "/Mirad.ini".
    void SetSettingsDir(const std::string& settingsDir);
};

// One listed entry and the archive walk of a host.
struct Entry {
    std::string name;
    int32_t packedSize = 0, unpackedSize = 0, fileTime = 0, attributes = 0;
};
struct OpenResult {
    void* handle = nullptr;
    int32_t code = -1;
};
OpenResult Open(Module& m, const std::string& cabinet);
std::vector<Entry> List(Module& m, const std::string& cabinet, int32_t* openCode = nullptr);
// Opens, walks every entry and extracts each one into dir + "/" + its name
// (creating directories); returns the ProcessFile results by entry name.
std::vector<std::pair<std::string, int32_t>> ExtractAll(Module& m, const std::string& cabinet,
                                                        const std::string& dir, int32_t operation = MIRAD_EXTRACT);

// A fresh module whose settings file lies beside it, and a place for
// cabinets: what most tests through the exports start from.
struct ModuleEnv {
    Module m;
    TempDir dir;
    ModuleEnv();
    // Writes the settings file and hands it to the module.
    void Options(bool ce, bool path, bool reg, bool shortcuts, bool inf, const std::string& log = "");
    std::string Cab(const std::string& name, const Bytes& bytes);  // written into dir
    std::vector<std::string> Names(const std::string& cab, int32_t* openCode = nullptr);  // listed names
    // ProcessFile results of extracting (or testing) every entry under dir/sub.
    std::vector<int32_t> Process(const std::string& cab, int32_t operation, const std::string& sub = "out");
};

// What a host on this platform is shown for the module's own terms: names
// with "/" for "\\", the Unix time of a stored DOS date and time, the mode of
// stored attribute bits.
std::string HostName(std::string name);
std::vector<std::string> HostNames(std::vector<std::string> names);
int32_t HostTime(uint16_t dosDate, uint16_t dosTime);
int32_t HostMode(uint16_t attribs);

// Writes a Mirad.ini with the given CONFIGURATION values (flags 0/1 etc.).
void WriteSettings(const std::string& dir, bool expandCE, bool expandPath, bool showRegistry, bool showShortcuts,
                   bool showInf, const std::string& debugFile = "");

}  // namespace fixture
