// The exports: the only place where the module's errors become the
// host's result codes. Each export takes the settings snapshot once and uses
// it for the whole call, and catches everything, so no exception ever
// crosses into the host: an exhausted heap is result 11, anything else that
// escaped is reported as an internal failure, never as success.
#include "interface/exports.h"
#include "interface/result.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include "cabinet/cabinet.h"
#include "documents/inf_build.h"
#include "platform/ascii.h"
#include "platform/host.h"
#include "platform/platform.h"
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

// The callback PackFiles reports to, set with the packing handle: a host
// that packs in the background sets it on the thread that packs, so each
// thread keeps its own; a thread that set none uses the one set last on any
// thread.
std::atomic<ProcessDataCallback> g_packProgress{nullptr};
#if defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local ProcessDataCallback t_packProgress = nullptr;
#if defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local bool t_packProgressSet = false;

ProcessDataCallback PackProgress() { return t_packProgressSet ? t_packProgress : g_packProgress.load(); }

ProgressCallback HostProgress(ProcessDataCallback callback) {
    if (!callback) return ProgressCallback();
    return [callback](char* name, int32_t bytes) { return callback(name, bytes) != 0; };
}

// An entry name in the module's terms ("\" separators) as the host's
// listing shows it.
void ToHostEntryName(char* name) {
    const char separator = platform::HostSeparator();
    for (char* c = name; *c; ++c) {
        if (*c == '\\') *c = separator;
    }
    // A POSIX host would read a leading "/" as the root of its file system.
    if (separator == '/') {
        size_t skip = std::strspn(name, "/");
        if (skip) std::memmove(name, name + skip, std::strlen(name + skip) + 1);
    }
}

// An archive reports under entry names, which the host sees as listed.
ProgressCallback HostEntryProgress(ProcessDataCallback callback) {
    if (!callback) return ProgressCallback();
    return [callback](char* name, int32_t bytes) {
        std::string shown = name;
        ToHostEntryName(&shown[0]);
        return callback(&shown[0], bytes) != 0;
    };
}

void* OpenArchiveImpl(OpenRequest* request) {
    request->commentBuffer = nullptr;
    request->commentBufferSize = 0;
    request->commentSize = 0;
    request->commentState = 0;
    request->openResult = MIRAD_NO_MEMORY;

    LoadSettings();
    SettingsForCall settings;
    SessionPtr session = MakeCounted<ArchiveSession>();
    if (!session) return nullptr;
    Error opened = session->Open(request->archiveName ? request->archiveName : "");
    request->openResult = ResultCode(opened);
    if (opened) return nullptr;
    return session.release();
}

int32_t ReadHeaderImpl(ArchiveSession* session, EntryHeader* header) {
    SettingsForCall settings;
    CopyString(header->archiveName, sizeof header->archiveName, session->path().c_str());
    ListedEntry entry;
    bool listed = session->ListNext(*settings, &entry);
    // The one place where the module's terms meet the host's convention:
    // separators, time and attributes as this platform's hosts read them.
    header->fileAttributes = platform::HostAttributes(static_cast<uint16_t>(entry.attributes));
    uint32_t dos = static_cast<uint32_t>(entry.fileTime);
    header->fileTime = dos ? platform::HostFileTime(static_cast<uint16_t>(dos >> 16), static_cast<uint16_t>(dos)) : 0;
    header->packedSize = entry.packedSize;
    header->unpackedSize = entry.unpackedSize;
    header->fileCRC = 0;
    header->unpackVersion = 0;
    header->method = 0;
    header->commentBuffer = nullptr;
    header->commentBufferSize = 0;
    header->commentSize = 0;
    header->commentState = 0;
    if (!listed) return MIRAD_END_ARCHIVE;
    CopyString(header->fileName, sizeof header->fileName, entry.name);
    ToHostEntryName(header->fileName);
    return MIRAD_OK;
}

int32_t ProcessFileImpl(ArchiveSession* session, int32_t operation, const char* outputDir, const char* outputName) {
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
    return ResultCode(session->Process(*settings, op, outputDir, outputName));
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

extern "C" {

MIRAD_EXPORT void* MIRAD_CALL OpenArchive(OpenRequest* request) {
    if (!request) return nullptr;
    try {
        return OpenArchiveImpl(request);
    } catch (...) {
        request->openResult = ResultOfException();
        return nullptr;
    }
}

MIRAD_EXPORT int32_t MIRAD_CALL ReadHeader(void* archive, EntryHeader* header) {
    if (!archive || !header) return MIRAD_END_ARCHIVE;
    try {
        return ReadHeaderImpl(static_cast<ArchiveSession*>(archive), header);
    } catch (...) {
        return ResultOfException();
    }
}

MIRAD_EXPORT int32_t MIRAD_CALL ProcessFile(void* archive, int32_t operation, char* outputDir, char* outputName) {
    if (!archive) return MIRAD_BAD_DATA;
    try {
        return ProcessFileImpl(static_cast<ArchiveSession*>(archive), operation, outputDir, outputName);
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

// The INF a new cabinet is built from: with "BuildFromInf" on, a selection
// of exactly one file, ending in ".inf" and carrying the CE signature, for a
// cabinet that does not exist yet. Empty otherwise.
std::string InfToBuild(const Settings& settings, const char* cabinetPath, const char* sourcePath,
                       const char* addList) {
    if (!settings.BuildFromInf || !addList[0] || addList[std::strlen(addList) + 1]) return "";
    const char* name = addList;
    size_t n = std::strlen(name);
    if (n < 5 || !EqualNoCase(name + n - 4, ".inf")) return "";
    IoFound found;
    if (IoFind(cabinetPath, &found)) return "";
    std::string inf = std::string(sourcePath ? sourcePath : "") + name;
    return IsCeInf(inf.c_str(), settings.CodePage) ? inf : "";
}

MIRAD_EXPORT int32_t MIRAD_CALL PackFiles(char* cabinetPath, char* subPath, char* sourcePath, char* addList,
                                          int32_t flags) {
    if (!cabinetPath || !addList) return MIRAD_NOT_SUPPORTED;
    try {
        SettingsForCall settings;
        bool move = (flags & MIRAD_PACK_MOVE) != 0;
        std::string inf = InfToBuild(*settings, cabinetPath, sourcePath, addList);
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
                BuildCabinetFromInf(cabinetPath, inf.c_str(), options, &report, HostProgress(PackProgress())));
        }
        return ResultCode(
            PackFilesInto(cabinetPath, subPath, sourcePath, addList, move, HostProgress(PackProgress())));
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
        LocateSettingsFile(hostPath);
        LoadSettings();
    } catch (...) {
        // Nothing to report to: the settings in force stay.
    }
}

MIRAD_EXPORT int32_t MIRAD_CALL GetPackerCaps(void) { return MIRAD_CAPS; }

// Every export may run on several threads at once, one archive or one pack
// per thread: the settings are snapshots, the log is written a line at a
// time under a lock, archives share nothing, and the packing callback is
// kept per thread.
MIRAD_EXPORT int32_t MIRAD_CALL GetBackgroundFlags(void) {
    return MIRAD_BACKGROUND_UNPACK | MIRAD_BACKGROUND_PACK;
}

MIRAD_EXPORT int32_t MIRAD_CALL CanYouHandleThisFile(char* fileName) {
    try {
        return CanHandleImpl(fileName) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

// The module never asks for another volume.
MIRAD_EXPORT void MIRAD_CALL SetChangeVolProc(void*, ChangeVolumeCallback) {}

// Per archive; the packing handle (or none) sets the one PackFiles uses.
MIRAD_EXPORT void MIRAD_CALL SetProcessDataProc(void* archive, ProcessDataCallback callback) {
    if (!archive || archive == MIRAD_PACK_HANDLE) {
        t_packProgress = callback;
        t_packProgressSet = true;
        g_packProgress.store(callback);
        return;
    }
    try {
        static_cast<ArchiveSession*>(archive)->SetProgress(HostEntryProgress(callback));
    } catch (...) {
        // Without memory for it the archive goes on without progress.
    }
}

}  // extern "C"
