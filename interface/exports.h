/* The module's boundary: the host's records, result codes and the
   exported functions. Shared with the `mirad` host, which loads the module
   at run time and resolves these names. Each export that takes or gives
   text comes twice: the ANSI one (the ANSI code page on Windows, UTF-8 on
   POSIX) and the wide one ("W", UTF-16 on every platform), which hosts look
   for first. */
#pragma once

#include <stdint.h>

#if defined(_WIN32)
#define MIRAD_CALL __stdcall
#define MIRAD_EXPORT
#else
#define MIRAD_CALL
#define MIRAD_EXPORT __attribute__((visibility("default")))
#endif

/* Result codes (the host's numbering; only these are ever returned). */
enum {
    MIRAD_OK = 0,
    MIRAD_END_ARCHIVE = 10,
    MIRAD_NO_MEMORY = 11,
    MIRAD_BAD_DATA = 12,
    MIRAD_UNKNOWN_FORMAT = 14,
    MIRAD_EOPEN = 15,
    MIRAD_ECREATE = 16,
    MIRAD_ABORTED = 21, /* the progress callback asked to stop */
    MIRAD_NOT_SUPPORTED = 24,
};

/* ProcessFile operations. */
enum { MIRAD_SKIP = 0, MIRAD_TEST = 1, MIRAD_EXTRACT = 2 };

/* GetPackerCaps bits: each is announced only while the export behind it
   does what it says. A host reads them when the module is added. */
enum {
    MIRAD_CAPS_NEW = 1,      /* PackFiles creates new cabinets */
    MIRAD_CAPS_MODIFY = 2,   /* PackFiles replaces (and, with "EditInstallation", adds) files of a cabinet */
    MIRAD_CAPS_MULTIPLE = 4, /* a cabinet holds several files */
    MIRAD_CAPS_DELETE = 8,   /* DeleteFiles removes entries; only while "EditInstallation" is on */
    MIRAD_CAPS_OPTIONS = 16, /* ConfigurePacker shows a settings dialog */
    MIRAD_CAPS_BY_CONTENT = 64, /* CanYouHandleThisFile recognises cabinets by their bytes */
    MIRAD_CAPS = MIRAD_CAPS_NEW | MIRAD_CAPS_MODIFY | MIRAD_CAPS_MULTIPLE | MIRAD_CAPS_OPTIONS | MIRAD_CAPS_BY_CONTENT
};

/* GetBackgroundFlags bits: extraction and testing (1) and packing (2) may
   run on background threads, several at once. */
enum { MIRAD_BACKGROUND_UNPACK = 1, MIRAD_BACKGROUND_PACK = 2 };

/* PackFiles flag: remove the sources after packing. */
enum { MIRAD_PACK_MOVE = 1 };

/* The host declares its records packed: with 64-bit pointers an unpacked
   EntryHeader would put the comment fields 4 bytes later and reach past the
   end of the host's record. */
#pragma pack(push, 1)

/* Each wide record is its ANSI one with UTF-16 text: one list of fields,
   in CHAR units. */
#define MIRAD_OPEN_REQUEST_FIELDS(CHAR) \
    CHAR* archiveName;                  \
    int32_t openMode;                   \
    int32_t openResult;                 \
    CHAR* commentBuffer;                \
    int32_t commentBufferSize;          \
    int32_t commentSize;                \
    int32_t commentState;
#define MIRAD_ENTRY_HEADER_EX_FIELDS(CHAR) \
    CHAR archiveName[1024];                \
    CHAR fileName[1024];                   \
    int32_t flags;                         \
    uint32_t packedSize;                   \
    uint32_t packedSizeHigh;               \
    uint32_t unpackedSize;                 \
    uint32_t unpackedSizeHigh;             \
    int32_t hostOS;                        \
    int32_t fileCRC;                       \
    int32_t fileTime;                      \
    int32_t unpackVersion;                 \
    int32_t method;                        \
    int32_t fileAttributes;                \
    char* commentBuffer;                   \
    int32_t commentBufferSize;             \
    int32_t commentSize;                   \
    int32_t commentState;                  \
    char reserved[1024];

typedef struct OpenRequest {
    MIRAD_OPEN_REQUEST_FIELDS(char)
} OpenRequest;

typedef struct EntryHeader {
    char archiveName[260];
    char fileName[260];
    int32_t flags;
    int32_t packedSize;
    int32_t unpackedSize;
    int32_t hostOS;
    int32_t fileCRC;
    int32_t fileTime; /* DOS date in the high 16 bits, DOS time in the low */
    int32_t unpackVersion;
    int32_t method;
    int32_t fileAttributes;
    char* commentBuffer;
    int32_t commentBufferSize;
    int32_t commentSize;
    int32_t commentState;
} EntryHeader;

typedef uint16_t MiradWideChar; /* a UTF-16 unit, on every platform */

typedef struct OpenRequestW {
    MIRAD_OPEN_REQUEST_FIELDS(MiradWideChar)
} OpenRequestW;

/* ReadHeaderEx's record: longer names and sizes in two 32-bit halves. */
typedef struct EntryHeaderEx {
    MIRAD_ENTRY_HEADER_EX_FIELDS(char)
} EntryHeaderEx;

/* ReadHeaderExW's record: the same in UTF-16, and the time once more as a
   Windows FILETIME where the host reads one. */
typedef struct EntryHeaderExW {
    MIRAD_ENTRY_HEADER_EX_FIELDS(MiradWideChar)
    uint64_t preciseFileTime;
} EntryHeaderExW;

#undef MIRAD_OPEN_REQUEST_FIELDS
#undef MIRAD_ENTRY_HEADER_EX_FIELDS

typedef struct DefaultParams {
    int32_t size;
    uint32_t interfaceVersionLow;
    uint32_t interfaceVersionHigh;
    char defaultSettingsPath[260];
} DefaultParams;

/* The host's dialog services, handed to ExtensionInitialize: a dialog
   built from a form description, and the messages that read and set its
   items. The record goes on; the module reads no further. */
typedef intptr_t(MIRAD_CALL* HostDialogProc)(uintptr_t dialog, char* itemName, intptr_t message, intptr_t wParam,
                                             intptr_t lParam);
typedef int32_t(MIRAD_CALL* HostDialogBoxLfm)(intptr_t form, uint32_t formSize, HostDialogProc procedure);

typedef struct ExtensionStartupInfo {
    uint32_t structSize;
    char pluginDir[16384];
    char pluginConfDir[16384];
    void* inputBox;
    void* messageBox;
    HostDialogBoxLfm dialogBoxLfm;
    void* dialogBoxLrs;
    void* dialogBoxLfmFile;
    HostDialogProc sendDlgMsg;
} ExtensionStartupInfo;

#pragma pack(pop)

typedef int(MIRAD_CALL* ChangeVolumeCallback)(char* archiveName, int32_t mode);
/* Called with the entry's name and the bytes processed since the last call
   (during DeleteFiles: -1 to -100, the percentage of the rewrite done);
   returning 0 stops the operation (result MIRAD_ABORTED). */
typedef int(MIRAD_CALL* ProcessDataCallback)(char* fileName, int32_t size);
typedef int(MIRAD_CALL* ChangeVolumeCallbackW)(MiradWideChar* archiveName, int32_t mode);
typedef int(MIRAD_CALL* ProcessDataCallbackW)(MiradWideChar* fileName, int32_t size);

/* The handle SetProcessDataProc takes for the callback PackFiles uses. */
#define MIRAD_PACK_HANDLE ((void*)(intptr_t)-1)

#ifdef __cplusplus
extern "C" {
#endif

MIRAD_EXPORT void* MIRAD_CALL OpenArchive(OpenRequest* request);
MIRAD_EXPORT int32_t MIRAD_CALL ReadHeader(void* archive, EntryHeader* header);
MIRAD_EXPORT int32_t MIRAD_CALL ProcessFile(void* archive, int32_t operation, char* outputDir, char* outputName);
MIRAD_EXPORT int32_t MIRAD_CALL CloseArchive(void* archive);
MIRAD_EXPORT int32_t MIRAD_CALL PackFiles(char* cabinetPath, char* subPath, char* sourcePath, char* addList,
                                          int32_t flags);
MIRAD_EXPORT void MIRAD_CALL PackSetDefaultParams(DefaultParams* params);
MIRAD_EXPORT int32_t MIRAD_CALL GetPackerCaps(void);
MIRAD_EXPORT void MIRAD_CALL SetChangeVolProc(void* archive, ChangeVolumeCallback callback);
MIRAD_EXPORT void MIRAD_CALL SetProcessDataProc(void* archive, ProcessDataCallback callback);
MIRAD_EXPORT int32_t MIRAD_CALL GetBackgroundFlags(void);
/* Removes the entries of `deleteList`: names as listed (a whole directory
   as its name, a separator and "*.*"), each NUL-terminated, an empty name
   last. */
MIRAD_EXPORT int32_t MIRAD_CALL DeleteFiles(char* cabinetPath, char* deleteList);
/* Nonzero when the file is a cabinet the module can open, whatever its name. */
MIRAD_EXPORT int32_t MIRAD_CALL CanYouHandleThisFile(char* fileName);
MIRAD_EXPORT int32_t MIRAD_CALL ReadHeaderEx(void* archive, EntryHeaderEx* header);
/* Shows the settings dialog; returns at once when the host gave no way to. */
MIRAD_EXPORT void MIRAD_CALL ConfigurePacker(void* parentWindow, void* moduleInstance);
MIRAD_EXPORT void MIRAD_CALL ExtensionInitialize(ExtensionStartupInfo* info);

MIRAD_EXPORT void* MIRAD_CALL OpenArchiveW(OpenRequestW* request);
MIRAD_EXPORT int32_t MIRAD_CALL ReadHeaderExW(void* archive, EntryHeaderExW* header);
MIRAD_EXPORT int32_t MIRAD_CALL ProcessFileW(void* archive, int32_t operation, MiradWideChar* outputDir,
                                             MiradWideChar* outputName);
MIRAD_EXPORT int32_t MIRAD_CALL PackFilesW(MiradWideChar* cabinetPath, MiradWideChar* subPath,
                                           MiradWideChar* sourcePath, MiradWideChar* addList, int32_t flags);
MIRAD_EXPORT void MIRAD_CALL SetChangeVolProcW(void* archive, ChangeVolumeCallbackW callback);
MIRAD_EXPORT void MIRAD_CALL SetProcessDataProcW(void* archive, ProcessDataCallbackW callback);
MIRAD_EXPORT int32_t MIRAD_CALL CanYouHandleThisFileW(MiradWideChar* fileName);
MIRAD_EXPORT int32_t MIRAD_CALL DeleteFilesW(MiradWideChar* cabinetPath, MiradWideChar* deleteList);

#ifdef __cplusplus
}
#endif

/* Function types the host resolves by name. */
typedef void*(MIRAD_CALL* OpenArchiveFn)(OpenRequest*);
typedef int32_t(MIRAD_CALL* ReadHeaderFn)(void*, EntryHeader*);
typedef int32_t(MIRAD_CALL* ProcessFileFn)(void*, int32_t, char*, char*);
typedef int32_t(MIRAD_CALL* CloseArchiveFn)(void*);
typedef int32_t(MIRAD_CALL* PackFilesFn)(char*, char*, char*, char*, int32_t);
typedef void(MIRAD_CALL* PackSetDefaultParamsFn)(DefaultParams*);
typedef int32_t(MIRAD_CALL* GetPackerCapsFn)(void);
typedef void(MIRAD_CALL* SetChangeVolProcFn)(void*, ChangeVolumeCallback);
typedef void(MIRAD_CALL* SetProcessDataProcFn)(void*, ProcessDataCallback);
typedef int32_t(MIRAD_CALL* CanYouHandleThisFileFn)(char*);
typedef int32_t(MIRAD_CALL* GetBackgroundFlagsFn)(void);
typedef int32_t(MIRAD_CALL* ReadHeaderExFn)(void*, EntryHeaderEx*);
typedef void(MIRAD_CALL* ConfigurePackerFn)(void*, void*);
typedef void(MIRAD_CALL* ExtensionInitializeFn)(ExtensionStartupInfo*);
typedef void*(MIRAD_CALL* OpenArchiveWFn)(OpenRequestW*);
typedef int32_t(MIRAD_CALL* ReadHeaderExWFn)(void*, EntryHeaderExW*);
typedef int32_t(MIRAD_CALL* ProcessFileWFn)(void*, int32_t, MiradWideChar*, MiradWideChar*);
typedef int32_t(MIRAD_CALL* PackFilesWFn)(MiradWideChar*, MiradWideChar*, MiradWideChar*, MiradWideChar*, int32_t);
typedef void(MIRAD_CALL* SetChangeVolProcWFn)(void*, ChangeVolumeCallbackW);
typedef void(MIRAD_CALL* SetProcessDataProcWFn)(void*, ProcessDataCallbackW);
typedef int32_t(MIRAD_CALL* CanYouHandleThisFileWFn)(MiradWideChar*);
typedef int32_t(MIRAD_CALL* DeleteFilesFn)(char*, char*);
typedef int32_t(MIRAD_CALL* DeleteFilesWFn)(MiradWideChar*, MiradWideChar*);
