// The cabinet format's records: field offsets of CFHEADER, CFFOLDER, CFFILE
// and CFDATA, and the decoded records the cabinet keeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mirad {

// CFHEADER field offsets.
namespace cfhead {
constexpr size_t Signature = 0, Reserved1 = 4, CbCabinet = 8, Reserved2 = 12, CoffFiles = 16, Reserved3 = 20,
                 VersionMinor = 24, VersionMajor = 25, CFolders = 26, CFiles = 28, Flags = 30, SetID = 32,
                 ICabinet = 34, Size = 36;
constexpr uint16_t FlagPrevCabinet = 1, FlagNextCabinet = 2, FlagReservePresent = 4;
}  // namespace cfhead
namespace cffold {
constexpr size_t CoffCabStart = 0, CCFData = 4, TypeCompress = 6, Size = 8;
// typeCompress: the method in the low four bits (the rest tunes LZX and Quantum).
constexpr uint16_t TypeStored = 0, TypeMszip = 1, TypeMethodMask = 0x000F;
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
};

struct CabFileEntry {
    uint32_t cbFile;
    uint32_t uoffFolderStart;
    uint16_t iFolder;
    uint16_t date;
    uint16_t time;
    uint16_t attribs;
    // At most 259 characters and a NUL, every "/" read as "\"; held in the
    // cabinet's name pool, so a row costs what its name does.
    const char* name = "";
};

// A stored name of nothing but separators names no file: listings pass over
// it, so the other entries stay reachable.
inline bool NamesNoFile(const CabFileEntry& f) { return f.name[std::strspn(f.name, "\\/")] == '\0'; }

struct DataBlockHeader {
    uint32_t csum;
    uint16_t cbData;
    uint16_t cbUncomp;
};

}  // namespace mirad
