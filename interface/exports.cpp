// The nine exports: the only place where the module's errors become the
// host's result codes. Each export takes the settings snapshot once and uses
// it for the whole call, and catches everything, so no exception ever
// crosses into the host: an exhausted heap is result 11, anything else that
// escaped is reported as an internal failure, never as success.
#include "interface/exports.h"
#include "interface/result.h"

#include <atomic>
#include <cstring>
#include <new>
#include <string>

#include "platform/host.h"
#include "setup/pack.h"
#include "support/alloc.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/settings.h"
#include "view/session.h"

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

// The callback PackFiles reports to: one for the module, set with the
// packing handle.
std::atomic<ProcessDataCallback> g_packProgress{nullptr};

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

MIRAD_EXPORT int32_t MIRAD_CALL PackFiles(char* cabinetPath, char* subPath, char* sourcePath, char* addList,
                                          int32_t flags) {
    if (!cabinetPath || !addList) return MIRAD_NOT_SUPPORTED;
    try {
        SettingsForCall settings;
        bool move = (flags & MIRAD_PACK_MOVE) != 0;
        ProcessDataCallback callback = g_packProgress.load();
        return ResultCode(PackFilesInto(cabinetPath, subPath, sourcePath, addList, move, HostProgress(callback)));
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

// The module never asks for another volume.
MIRAD_EXPORT void MIRAD_CALL SetChangeVolProc(void*, ChangeVolumeCallback) {}

// Per archive; the packing handle (or none) sets the one PackFiles uses.
MIRAD_EXPORT void MIRAD_CALL SetProcessDataProc(void* archive, ProcessDataCallback callback) {
    if (!archive || archive == MIRAD_PACK_HANDLE) {
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
