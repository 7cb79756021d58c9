// The nine exports: each one catches everything, so no exception ever
// crosses into the host, and turns an exhausted heap into result 11.
#include "interface/exports.h"

#include <cstring>
#include <new>

#include "cabinet/reader.h"
#include "cabinet/writer.h"
#include "platform/platform.h"
#include "support/alloc.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/settings.h"
#include "view/view.h"

namespace mirad {

namespace {
DefaultParams g_defaultParams;
}

void OnModuleLoad(void* handle) {
    platform::SetModuleHandle(handle);
    ResetAllocationCounter();
}

static void* OpenArchiveImpl(OpenRequest* request) {
    request->commentBuffer = nullptr;
    request->commentBufferSize = 0;
    request->commentSize = 0;
    request->commentState = 0;
    request->openResult = MIRAD_NO_MEMORY;

    LoadSettings();
    auto* context = static_cast<ArchiveContext*>(AllocateZeroed(sizeof(ArchiveContext)));
    if (!context) return nullptr;

    const char* name = request->archiveName ? request->archiveName : "";
    LogMessage("\n\nOpen %s", name);
    // A cut path could name another file: an over-long name is not opened.
    bool whole = CopyString(context->archivePath, sizeof context->archivePath, name);
    context->cabinetStream = whole ? IoOpen(context->archivePath, IoMode::Read) : nullptr;
    if (!context->cabinetStream) {
        LogMessage("Cant open CAB file");
        request->openResult = MIRAD_EOPEN;
    } else {
        request->openResult = ReadCabinet(context);
        if (request->openResult == MIRAD_OK) return context;
    }
    LogMessage("aborting...");
    ReleaseContext(context);
    return nullptr;
}

}  // namespace mirad

using namespace mirad;

extern "C" {

MIRAD_EXPORT void* MIRAD_CALL OpenArchive(OpenRequest* request) {
    if (!request) return nullptr;
    try {
        return OpenArchiveImpl(request);
    } catch (...) {
        request->openResult = MIRAD_NO_MEMORY;
        return nullptr;
    }
}

MIRAD_EXPORT int32_t MIRAD_CALL ReadHeader(void* archive, EntryHeader* header) {
    if (!archive || !header) return MIRAD_END_ARCHIVE;
    try {
        return ListNextEntry(static_cast<ArchiveContext*>(archive), header);
    } catch (...) {
        return MIRAD_END_ARCHIVE;
    }
}

MIRAD_EXPORT int32_t MIRAD_CALL ProcessFile(void* archive, int32_t operation, char* outputDir, char* outputName) {
    if (!archive) return MIRAD_BAD_DATA;
    try {
        return ProcessEntry(static_cast<ArchiveContext*>(archive), operation, outputDir, outputName);
    } catch (...) {
        return MIRAD_NO_MEMORY;
    }
}

MIRAD_EXPORT int32_t MIRAD_CALL CloseArchive(void* archive) {
    if (!archive) return MIRAD_OK;
    auto* context = static_cast<ArchiveContext*>(archive);
    try {
        LogMessage("CloseArchive %s", context->archivePath);
    } catch (...) {
    }
    ReleaseContext(context);
    return MIRAD_OK;
}

MIRAD_EXPORT int32_t MIRAD_CALL PackFiles(char* cabinetPath, char* subPath, char* sourcePath, char* addList,
                                          int32_t flags) {
    if (!cabinetPath || !addList) return MIRAD_NOT_SUPPORTED;
    try {
        return PackFilesImpl(cabinetPath, subPath, sourcePath, addList, flags);
    } catch (...) {
        return MIRAD_NO_MEMORY;
    }
}

MIRAD_EXPORT void MIRAD_CALL PackSetDefaultParams(DefaultParams* params) {
    if (!params) return;
    try {
        std::memcpy(&g_defaultParams, params, sizeof g_defaultParams);
        g_defaultParams.defaultSettingsPath[sizeof g_defaultParams.defaultSettingsPath - 1] = '\0';
        LocateSettingsFile();
        LoadSettings();
    } catch (...) {
    }
}

MIRAD_EXPORT int32_t MIRAD_CALL GetPackerCaps(void) { return MIRAD_CAPS; }

// The module never reports progress and never asks for another volume.
MIRAD_EXPORT void MIRAD_CALL SetChangeVolProc(void*, ChangeVolumeCallback) {}
MIRAD_EXPORT void MIRAD_CALL SetProcessDataProc(void*, ProcessDataCallback) {}

}  // extern "C"

namespace mirad {
const char* HostDefaultSettingsPath() { return g_defaultParams.defaultSettingsPath; }
void ResetHostDefaults() { std::memset(&g_defaultParams, 0, sizeof g_defaultParams); }
}  // namespace mirad
