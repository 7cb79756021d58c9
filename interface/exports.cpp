// The exports: the only place where the module's errors become the
// host's result codes. Each export takes the settings snapshot once and uses
// it for the whole call, and catches everything, so no exception ever
// crosses into the host: an exhausted heap is result 11, anything else that
// escaped is reported as an internal failure, never as success.
#include "interface/exports.h"
#include "interface/configure.h"
#include "interface/result.h"

#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "cabinet/cabinet.h"
#include "cabinet/transaction.h"
#include "documents/documents.h"
#include "documents/inf_build.h"
#include "platform/ascii.h"
#include "platform/host.h"
#include "platform/platform.h"
#include "platform/wide.h"
#include "setup/pack.h"
#include "support/alloc.h"
#include "support/io.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/settings.h"
#include "view/session.h"

// The host's packed layout, on every build (the tests check each field).
static_assert(offsetof(EntryHeader, commentBuffer) == 556 && sizeof(EntryHeader) == 568 + sizeof(void*),
              "EntryHeader differs from the host's record");
static_assert(sizeof(OpenRequest) == 20 + 2 * sizeof(void*), "OpenRequest differs from the host's record");
static_assert(sizeof(OpenRequestW) == sizeof(OpenRequest), "OpenRequestW differs from the host's record");
static_assert(offsetof(EntryHeaderEx, commentBuffer) == 2092 && offsetof(EntryHeaderEx, reserved) == 2104 + sizeof(void*) &&
                  sizeof(EntryHeaderEx) == 3128 + sizeof(void*),
              "EntryHeaderEx differs from the host's record");
static_assert(offsetof(EntryHeaderExW, commentBuffer) == 4140 &&
                  offsetof(EntryHeaderExW, preciseFileTime) == 5176 + sizeof(void*) &&
                  sizeof(EntryHeaderExW) == 5184 + sizeof(void*),
              "EntryHeaderExW differs from the host's record");

namespace mirad {

namespace {

// The result of an exception that reached an export.
int32_t ResultOfException() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return MIRAD_NO_MEMORY;
    } catch (...) {
        return MIRAD_BAD_DATA;
    }
}

using SessionPtr = CountedPtr<ArchiveSession>;

// A string from the host in the module's UTF-8; a null pointer stays null.
struct HostText {
    bool present = false;
    std::string text;
    const char* get() const { return present ? text.c_str() : nullptr; }
};

HostText FromAnsi(const char* s) {
    HostText t;
    t.present = s != nullptr;
    if (s) t.text = platform::FromAnsiHost(s);
    return t;
}

HostText FromWide(const MiradWideChar* s) {
    HostText t;
    t.present = s != nullptr;
    if (s) t.text = platform::Utf16ToUtf8(reinterpret_cast<const char16_t*>(s));
    return t;
}

// A run of NUL-terminated names ended by an empty one, each converted.
template <typename Unit, typename Convert>
HostText FromList(const Unit* list, Convert convert) {
    HostText t;
    t.present = list != nullptr;
    for (const Unit* name = list; name && *name;) {
        size_t n = 0;
        while (name[n]) ++n;
        t.text += convert(name).text;
        t.text += '\0';
        name += n + 1;
    }
    t.text += '\0';
    return t;
}

// The text a callback takes, in each of the host's two encodings.
struct AnsiCallbackText {
    std::string text;
    explicit AnsiCallbackText(const std::string& utf8) : text(platform::ToAnsiHost(utf8)) {}
    char* get() { return &text[0]; }
};
struct WideCallbackText {
    std::u16string text;
    explicit WideCallbackText(const std::string& utf8) : text(platform::Utf8ToUtf16(utf8.c_str())) {}
    MiradWideChar* get() { return reinterpret_cast<MiradWideChar*>(&text[0]); }
};

// The callback PackFiles reports to, set with the packing handle through
// either export: a host that packs in the background sets it on the thread
// that packs, so each thread keeps its own; a thread that set none uses the
// one set last on any thread.
struct PackCallback {
    ProcessDataCallback ansi;
    ProcessDataCallbackW wide;
};
platform::Mutex g_packProgressLock;
PackCallback g_packProgress = {nullptr, nullptr};
#if defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local PackCallback t_packProgress = {nullptr, nullptr};
#if defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local bool t_packProgressSet = false;

void SetPackProgress(PackCallback callback) {
    t_packProgress = callback;
    t_packProgressSet = true;
    std::lock_guard<platform::Mutex> hold(g_packProgressLock);
    g_packProgress = callback;
}

PackCallback PackProgress() {
    if (t_packProgressSet) return t_packProgress;
    std::lock_guard<platform::Mutex> hold(g_packProgressLock);
    return g_packProgress;
}

// An entry name in the module's terms ("\" separators) as the host's
// listing shows it.
std::string ToHostEntryName(const char* name) {
    std::string shown = name;
    const char separator = platform::HostSeparator();
    for (char& c : shown) {
        if (c == '\\') c = separator;
    }
    // A POSIX host would read a leading "/" as the root of its file system.
    if (separator == '/') shown.erase(0, shown.find_first_not_of('/'));
    return shown;
}

// Reports under `name` as given (`entries` false: a source path) or as the
// listing shows an entry.
template <typename Text, typename Callback>
ProgressCallback HostProgress(Callback callback, bool entries) {
    if (!callback) return ProgressCallback();
    return [callback, entries](char* name, int32_t bytes) {
        Text shown(entries ? ToHostEntryName(name) : std::string(name));
        return callback(shown.get(), bytes) != 0;
    };
}

ProgressCallback PackProgressCallback() {
    PackCallback callback = PackProgress();
    if (callback.wide) return HostProgress<WideCallbackText>(callback.wide, false);
    return HostProgress<AnsiCallbackText>(callback.ansi, false);
}

template <typename Request>
void ClearOpenRequest(Request* request) {
    request->commentBuffer = nullptr;
    request->commentBufferSize = 0;
    request->commentSize = 0;
    request->commentState = 0;
    request->openResult = MIRAD_NO_MEMORY;
}

void* OpenArchiveImpl(const char* path, int32_t* openResult) {
    LoadSettings();
    SettingsForCall settings;
    SessionPtr session = MakeCounted<ArchiveSession>();
    if (!session) return nullptr;
    Error opened = session->Open(path ? path : "");
    *openResult = ResultCode(opened);
    if (opened) return nullptr;
    return session.release();
}

// What ReadHeader tells of one entry, before it goes into one of the host's
// records.
struct HeaderFacts {
    std::string archiveName;
    std::string fileName;  // empty at the end of the listing
    int32_t fileTime = 0;
    uint64_t preciseFileTime = 0;
    int32_t fileAttributes = 0;
    uint32_t packedSize = 0, unpackedSize = 0;
};

int32_t ReadHeaderImpl(ArchiveSession* session, HeaderFacts* facts) {
    SettingsForCall settings;
    facts->archiveName = session->path();
    ListedEntry entry;
    bool listed = session->ListNext(*settings, &entry);
    // The one place where the module's terms meet the host's convention:
    // separators, time and attributes as this platform's hosts read them.
    facts->fileAttributes = platform::HostAttributes(static_cast<uint16_t>(entry.attributes));
    uint32_t dos = static_cast<uint32_t>(entry.fileTime);
    uint16_t date = static_cast<uint16_t>(dos >> 16), time = static_cast<uint16_t>(dos);
    facts->fileTime = dos ? platform::HostFileTime(date, time) : 0;
    facts->preciseFileTime = dos ? platform::HostWideFileTime(date, time) : 0;
    facts->packedSize = static_cast<uint32_t>(entry.packedSize);
    facts->unpackedSize = static_cast<uint32_t>(entry.unpackedSize);
    if (!listed) return MIRAD_END_ARCHIVE;
    facts->fileName = ToHostEntryName(entry.name);
    return MIRAD_OK;
}

// The fields every header record shares.
template <typename Header>
void FillCommon(const HeaderFacts& facts, Header* header) {
    header->fileAttributes = facts.fileAttributes;
    header->fileTime = facts.fileTime;
    header->fileCRC = 0;
    header->unpackVersion = 0;
    header->method = 0;
    header->commentBuffer = nullptr;
    header->commentBufferSize = 0;
    header->commentSize = 0;
    header->commentState = 0;
}

template <typename Header>
void FillSizes64(const HeaderFacts& facts, Header* header) {
    header->packedSize = facts.packedSize;
    header->packedSizeHigh = 0;
    header->unpackedSize = facts.unpackedSize;
    header->unpackedSizeHigh = 0;
}

void CopyAnsi(char* out, size_t size, const std::string& utf8) {
    CopyString(out, size, platform::ToAnsiHost(utf8).c_str());
}

void CopyWide(MiradWideChar* out, size_t size, const std::string& utf8) {
    platform::CopyUtf16(reinterpret_cast<char16_t*>(out), size, utf8.c_str());
}

template <typename Header, typename Fill>
int32_t ReadHeaderInto(void* archive, Header* header, Fill fill) {
    if (!archive || !header) return MIRAD_END_ARCHIVE;
    try {
        HeaderFacts facts;
        int32_t result = ReadHeaderImpl(static_cast<ArchiveSession*>(archive), &facts);
        FillCommon(facts, header);
        fill(facts, result == MIRAD_OK, header);
        return result;
    } catch (...) {
        return ResultOfException();
    }
}

int32_t ProcessFileImpl(void* archive, int32_t operation, const char* outputDir, const char* outputName) {
    if (!archive) return MIRAD_BAD_DATA;
    SettingsForCall settings;
    EntryOperation op;
    switch (operation) {
        case MIRAD_SKIP: op = EntryOperation::Skip; break;
        case MIRAD_TEST: op = EntryOperation::Test; break;
        case MIRAD_EXTRACT: op = EntryOperation::Extract; break;
        default:
            LogMessage("Unsupported processing mode %d", operation);
            return MIRAD_NOT_SUPPORTED;
    }
    return ResultCode(static_cast<ArchiveSession*>(archive)->Process(*settings, op, outputDir, outputName));
}

// A cabinet whose header and tables the reader accepts (no data block is
// read); said quietly, since the host asks about files it is not opening.
bool CanHandleImpl(const char* path) {
    if (!path || std::strlen(path) >= kPathSize) return false;
    SettingsForCall settings;
    LogSilenced quiet;
    Cabinet cabinet;
    return !cabinet.Read(IoHandle(IoOpen(path, IoMode::Read)));
}

}  // namespace

}  // namespace mirad

using namespace mirad;


namespace {

// A list as hosts give it to PackFiles and DeleteFiles: names one after
// another, each ending in NUL, the list ending in an empty name.
std::vector<ListName> ParseList(const char* list) {
    std::vector<ListName> names;
    for (const char* p = list; p && *p; p += std::strlen(p) + 1) names.push_back(Listed(p));
    return names;
}

// The INF a new cabinet is built from: with "BuildFromInf" on, a selection
// of exactly one file, ending in ".inf" and carrying the CE signature, for a
// cabinet that does not exist yet. Empty otherwise.
std::string InfToBuild(const Settings& settings, const char* cabinetPath, const char* sourcePath,
                       const std::vector<ListName>& list) {
    if (!settings.BuildFromInf || list.size() != 1) return "";
    const char* name = list[0].name;
    size_t n = std::strlen(name);
    if (n < 5 || !EqualNoCase(name + n - 4, ".inf")) return "";
    IoFound found;
    if (IoFind(cabinetPath, &found)) return "";
    std::string inf = std::string(sourcePath ? sourcePath : "") + name;
    return IsCeInf(inf.c_str(), settings.CodePage) ? inf : "";
}

// A name the view lists for a generated document.
bool IsGeneratedDocument(const std::string& name) { return FindGeneratedDocument(name) != nullptr; }

int32_t PackFilesImpl(const HostText& cabinetPath, const HostText& subPath, const HostText& sourcePath,
                      const HostText& addList, int32_t flags) {
    if (!cabinetPath.present || !addList.present) return MIRAD_NOT_SUPPORTED;
    try {
        SettingsForCall settings;
        bool move = (flags & MIRAD_PACK_MOVE) != 0;
        std::vector<ListName> list = ParseList(addList.get());
        std::string inf = InfToBuild(*settings, cabinetPath.get(), sourcePath.get(), list);
        if (!inf.empty()) {
            // The sources stay: they are the project the cabinet is built from.
            InfBuildOptions options;
            options.cpu = settings->BuildProcessor;
            options.strict = settings->BuildStrict != 0;
            options.sourceDir = settings->BuildSourceDir;
            options.compression = settings->Compression == kCompressionMszip ? Compression::Mszip : Compression::None;
            options.codePage = settings->CodePage;
            InfReport report;
            return ResultCode(
                BuildCabinetFromInf(cabinetPath.get(), inf.c_str(), options, &report, PackProgressCallback()));
        }
        return ResultCode(PackFilesInto(cabinetPath.get(), subPath.get(), sourcePath.get(), std::move(list), move,
                                        PackProgressCallback(), IsGeneratedDocument, RebuildFromDocument));
    } catch (...) {
        return ResultOfException();
    }
}

int32_t DeleteFilesImpl(const HostText& cabinetPath, const HostText& deleteList) {
    if (!cabinetPath.present || !deleteList.present) return MIRAD_NOT_SUPPORTED;
    try {
        SettingsForCall settings;
        return ResultCode(
            DeleteFromCabinet(cabinetPath.get(), ParseList(deleteList.get()), IsGeneratedDocument,
                              PackProgressCallback()));
    } catch (...) {
        return ResultOfException();
    }
}

template <typename Text, typename Callback>
void SetProgressImpl(void* archive, Callback callback, PackCallback asPack) {
    if (!archive || archive == MIRAD_PACK_HANDLE) {
        SetPackProgress(asPack);
        return;
    }
    try {
        static_cast<ArchiveSession*>(archive)->SetProgress(HostProgress<Text>(callback, true));
    } catch (...) {
        // Without memory for it the archive goes on without progress.
    }
}

int32_t CanHandle(const HostText& path) {
    try {
        return CanHandleImpl(path.get()) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

}  // namespace

extern "C" {

// The ANSI exports convert their strings and call the same code as the wide
// ones.

MIRAD_EXPORT void* MIRAD_CALL OpenArchive(OpenRequest* request) {
    if (!request) return nullptr;
    try {
        ClearOpenRequest(request);
        return OpenArchiveImpl(FromAnsi(request->archiveName).get(), &request->openResult);
    } catch (...) {
        request->openResult = ResultOfException();
        return nullptr;
    }
}

MIRAD_EXPORT void* MIRAD_CALL OpenArchiveW(OpenRequestW* request) {
    if (!request) return nullptr;
    try {
        ClearOpenRequest(request);
        return OpenArchiveImpl(FromWide(request->archiveName).get(), &request->openResult);
    } catch (...) {
        request->openResult = ResultOfException();
        return nullptr;
    }
}

MIRAD_EXPORT int32_t MIRAD_CALL ReadHeader(void* archive, EntryHeader* header) {
    return ReadHeaderInto(archive, header, [](const HeaderFacts& facts, bool listed, EntryHeader* h) {
        CopyAnsi(h->archiveName, sizeof h->archiveName, facts.archiveName);
        h->packedSize = static_cast<int32_t>(facts.packedSize);
        h->unpackedSize = static_cast<int32_t>(facts.unpackedSize);
        if (listed) CopyAnsi(h->fileName, sizeof h->fileName, facts.fileName);
    });
}

MIRAD_EXPORT int32_t MIRAD_CALL ReadHeaderEx(void* archive, EntryHeaderEx* header) {
    return ReadHeaderInto(archive, header, [](const HeaderFacts& facts, bool listed, EntryHeaderEx* h) {
        CopyAnsi(h->archiveName, sizeof h->archiveName, facts.archiveName);
        FillSizes64(facts, h);
        if (listed) CopyAnsi(h->fileName, sizeof h->fileName, facts.fileName);
    });
}

MIRAD_EXPORT int32_t MIRAD_CALL ReadHeaderExW(void* archive, EntryHeaderExW* header) {
    return ReadHeaderInto(archive, header, [](const HeaderFacts& facts, bool listed, EntryHeaderExW* h) {
        CopyWide(h->archiveName, sizeof h->archiveName / sizeof h->archiveName[0], facts.archiveName);
        FillSizes64(facts, h);
        h->preciseFileTime = facts.preciseFileTime;
        if (listed) CopyWide(h->fileName, sizeof h->fileName / sizeof h->fileName[0], facts.fileName);
    });
}

MIRAD_EXPORT int32_t MIRAD_CALL ProcessFile(void* archive, int32_t operation, char* outputDir, char* outputName) {
    try {
        return ProcessFileImpl(archive, operation, FromAnsi(outputDir).get(), FromAnsi(outputName).get());
    } catch (...) {
        return ResultOfException();
    }
}

MIRAD_EXPORT int32_t MIRAD_CALL ProcessFileW(void* archive, int32_t operation, MiradWideChar* outputDir,
                                             MiradWideChar* outputName) {
    try {
        return ProcessFileImpl(archive, operation, FromWide(outputDir).get(), FromWide(outputName).get());
    } catch (...) {
        return ResultOfException();
    }
}

MIRAD_EXPORT int32_t MIRAD_CALL CloseArchive(void* archive) {
    if (!archive) return MIRAD_OK;
    SessionPtr session(static_cast<ArchiveSession*>(archive));
    try {
        SettingsForCall settings;
        LogMessage("CloseArchive %s", session->path().c_str());
    } catch (...) {
        // The archive is closed whatever the log could do.
    }
    return MIRAD_OK;
}

MIRAD_EXPORT int32_t MIRAD_CALL PackFiles(char* cabinetPath, char* subPath, char* sourcePath, char* addList,
                                          int32_t flags) {
    try {
        return PackFilesImpl(FromAnsi(cabinetPath), FromAnsi(subPath), FromAnsi(sourcePath),
                             FromList(addList, FromAnsi), flags);
    } catch (...) {
        return ResultOfException();
    }
}

MIRAD_EXPORT int32_t MIRAD_CALL PackFilesW(MiradWideChar* cabinetPath, MiradWideChar* subPath,
                                           MiradWideChar* sourcePath, MiradWideChar* addList, int32_t flags) {
    try {
        return PackFilesImpl(FromWide(cabinetPath), FromWide(subPath), FromWide(sourcePath),
                             FromList(addList, FromWide), flags);
    } catch (...) {
        return ResultOfException();
    }
}

MIRAD_EXPORT void MIRAD_CALL PackSetDefaultParams(DefaultParams* params) {
    if (!params) return;
    try {
        char hostPath[sizeof params->defaultSettingsPath];
        std::memcpy(hostPath, params->defaultSettingsPath, sizeof hostPath);
        hostPath[sizeof hostPath - 1] = '\0';
        LocateSettingsFile(platform::FromAnsiHost(hostPath).c_str());
        LoadSettings();
    } catch (...) {
        // Nothing to report to: the settings in force stay.
    }
}

// Removing is announced only while the settings allow it; a host reads the
// flags when the module is added.
MIRAD_EXPORT int32_t MIRAD_CALL GetPackerCaps(void) {
    try {
        return MIRAD_CAPS | (CurrentSettings()->EditInstallation ? MIRAD_CAPS_DELETE : 0);
    } catch (...) {
        return MIRAD_CAPS;
    }
}

MIRAD_EXPORT int32_t MIRAD_CALL DeleteFiles(char* cabinetPath, char* deleteList) {
    try {
        return DeleteFilesImpl(FromAnsi(cabinetPath), FromList(deleteList, FromAnsi));
    } catch (...) {
        return ResultOfException();
    }
}

MIRAD_EXPORT int32_t MIRAD_CALL DeleteFilesW(MiradWideChar* cabinetPath, MiradWideChar* deleteList) {
    try {
        return DeleteFilesImpl(FromWide(cabinetPath), FromList(deleteList, FromWide));
    } catch (...) {
        return ResultOfException();
    }
}

// Every export may run on several threads at once, one archive or one pack
// per thread: the settings are snapshots, the log is written a line at a
// time under a lock, archives share nothing, and the packing callback is
// kept per thread.
MIRAD_EXPORT int32_t MIRAD_CALL GetBackgroundFlags(void) {
    return MIRAD_BACKGROUND_UNPACK | MIRAD_BACKGROUND_PACK;
}

MIRAD_EXPORT int32_t MIRAD_CALL CanYouHandleThisFile(char* fileName) {
    try {
        return CanHandle(FromAnsi(fileName));
    } catch (...) {
        return 0;
    }
}

MIRAD_EXPORT int32_t MIRAD_CALL CanYouHandleThisFileW(MiradWideChar* fileName) {
    try {
        return CanHandle(FromWide(fileName));
    } catch (...) {
        return 0;
    }
}

MIRAD_EXPORT void MIRAD_CALL ConfigurePacker(void* parentWindow, void*) {
    try {
        ShowSettingsDialog(parentWindow);
    } catch (...) {
        // No dialog then.
    }
}

// Only the fields the host's record declares are read.
MIRAD_EXPORT void MIRAD_CALL ExtensionInitialize(ExtensionStartupInfo* info) {
    const size_t needed = offsetof(ExtensionStartupInfo, sendDlgMsg) + sizeof info->sendDlgMsg;
    if (!info || info->structSize < needed) {
        SetHostDialogApi(nullptr, nullptr);
        return;
    }
    SetHostDialogApi(info->dialogBoxLfm, info->sendDlgMsg);
}

// The module never asks for another volume.
MIRAD_EXPORT void MIRAD_CALL SetChangeVolProc(void*, ChangeVolumeCallback) {}
MIRAD_EXPORT void MIRAD_CALL SetChangeVolProcW(void*, ChangeVolumeCallbackW) {}

// Per archive; the packing handle (or none) sets the one PackFiles uses.
MIRAD_EXPORT void MIRAD_CALL SetProcessDataProc(void* archive, ProcessDataCallback callback) {
    SetProgressImpl<AnsiCallbackText>(archive, callback, PackCallback{callback, nullptr});
}

MIRAD_EXPORT void MIRAD_CALL SetProcessDataProcW(void* archive, ProcessDataCallbackW callback) {
    SetProgressImpl<WideCallbackText>(archive, callback, PackCallback{nullptr, callback});
}

}  // extern "C"
