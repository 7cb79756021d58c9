// The per-archive record and the cabinet's in-memory tables.
//
// Where we read differently from common tools: a folder's file offsets may be
// counted the published way (data bytes only) or with every passed block's
// header and reserve added; the reader tells the two apart per folder (see
// reader.cpp) so cabinets of both kinds extract correctly.
#pragma once

#include <cstdint>

#include "setup/records.h"
#include "support/settings.h"
#include "support/io.h"

namespace mirad {

enum ListPhase : uint8_t {
    kPhaseUnread = 0,
    kPhaseStored = 1,
    kPhaseInstalled = 2,
    kPhaseShortcuts = 3,
    kPhaseRegistry = 4,
    kPhaseInf = 5,
    kPhaseEnd = 6,
};

// CFHEADER field offsets.
namespace cfhead {
constexpr size_t Signature = 0, Reserved1 = 4, CbCabinet = 8, Reserved2 = 12, CoffFiles = 16, Reserved3 = 20,
                 VersionMinor = 24, VersionMajor = 25, CFolders = 26, CFiles = 28, Flags = 30, SetID = 32,
                 ICabinet = 34, Size = 36;
constexpr uint16_t FlagPrevCabinet = 1, FlagNextCabinet = 2, FlagReservePresent = 4;
}  // namespace cfhead
namespace cffold {
constexpr size_t CoffCabStart = 0, CCFData = 4, TypeCompress = 6, Size = 8;
}
namespace cffile {
constexpr size_t CbFile = 0, UoffFolderStart = 4, IFolder = 8, Date = 10, Time = 12, Attribs = 14, Size = 16;
}
namespace cfdata {
constexpr size_t Csum = 0, CbData = 4, CbUncomp = 6, Size = 8;
constexpr uint32_t MaxData = 32768;  // the format's largest uncompressed block
}

struct CabHeader {
    char signature[4];
    uint32_t reserved1;
    uint32_t cbCabinet;
    uint32_t reserved2;
    uint32_t coffFiles;
    uint32_t reserved3;
    uint8_t versionMinor;
    uint8_t versionMajor;
    uint16_t cFolders;
    uint16_t cFiles;
    uint16_t flags;
    uint16_t setID;
    uint16_t iCabinet;
};

struct CabFolder {
    uint32_t coffCabStart;
    uint16_t cCFData;
    uint16_t typeCompress;
    // Reader's own: file offsets in this folder count block headers and
    // reserves as well as data (decided once per folder when the cabinet is read).
    uint8_t headerCountedOffsets;
};

struct CabFileEntry {
    uint32_t cbFile;
    uint32_t uoffFolderStart;
    uint16_t iFolder;
    uint16_t date;
    uint16_t time;
    uint16_t attribs;
    char name[260];
};

struct DataBlockHeader {
    uint32_t csum;
    uint16_t cbData;
    uint16_t cbUncomp;
};

struct ArchiveContext {
    IoFile* cabinetStream;
    char archivePath[260];
    uint16_t listIndex;
    uint8_t listPhase;
    int32_t setupOffset;
    CabHeader header;
    uint16_t cbCFHeader;
    uint8_t cbCFFolder;
    uint8_t cbCFData;
    SetupHeader setupHeader;
    char workPath[260];
    CabFolder* folders;
    CabFileEntry* files;
    DataBlockHeader dataBlock;
    SetupString* setupStrings;
    SetupDirectory* setupDirectories;
    SetupCopyFile* setupCopyFiles;
    SetupRegHive* setupRegHives;
    SetupShortcut* setupShortcuts;

    // ---- beyond the classic record ----
    uint64_t cabinetLength;  // length of the cabinet file as opened
    // The setup file's bytes, read through the data blocks (plain heap,
    // released by ReleaseContext); every table, text and registry read is
    // bounds-checked against them.
    uint8_t* setupData;
    uint32_t setupSize;
    // A cabinet without a CE setup file: the five CE options count as off for
    // this archive only.
    uint8_t plainCabinet;
    // Sorted (id << 16 | table index) pairs for the string, directory and
    // copy-file tables, built once when the setup file is read (plain heap),
    // so id lookups stay logarithmic for tables of 65535 records. Null: look
    // up linearly.
    uint32_t* stringIds;
    uint32_t* directoryIds;
    uint32_t* copyFileIds;
};

// A CE option (ExpandCE, ExpandPath, ShowRegistry, ShowShortcuts,
// ShowInfFile) as it applies to this archive: consulted on every call, and off
// for a plain cabinet without touching the settings themselves.
inline bool CeOption(const ArchiveContext* context, int32_t Settings::*option) {
    return !(context && context->plainCabinet) && CurrentSettings().*option != 0;
}

}  // namespace mirad
