// The CE setup file's header and the tables loaded from it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirad {

// Field offsets in the setup file's 100-byte header.
namespace msce {
constexpr size_t Signature = 0, Processor = 20, MinVersionMajor = 24, MinVersionMinor = 28, MaxVersionMajor = 32,
                 MaxVersionMinor = 36, MinBuild = 40, MaxBuild = 44, StringCount = 48, DirectoryCount = 50, CopyFileCount = 52,
                 RegHiveCount = 54, RegValueCount = 56, ShortcutCount = 58, StringTableOffset = 60,
                 DirectoryTableOffset = 64, CopyFileTableOffset = 68, RegHiveTableOffset = 72,
                 RegValueTableOffset = 76, ShortcutTableOffset = 80, AppNameOffset = 84, AppNameLength = 86,
                 ProviderOffset = 88, ProviderLength = 90, UnsupportedOffset = 92, UnsupportedLength = 94,
                 Size = 100;
}

struct SetupHeader {
    uint8_t raw[100];  // kept whole, as read
    char signature[4];
    int32_t processor;
    int32_t minVersionMajor;
    int32_t minVersionMinor;
    int32_t maxVersionMajor;
    int32_t maxVersionMinor;
    uint32_t minBuild;
    uint32_t maxBuild;
    uint16_t stringCount;
    uint16_t directoryCount;
    uint16_t copyFileCount;
    uint16_t regHiveCount;
    uint16_t regValueCount;
    uint16_t shortcutCount;
    uint32_t stringTableOffset;
    uint32_t directoryTableOffset;
    uint32_t copyFileTableOffset;
    uint32_t regHiveTableOffset;
    uint32_t regValueTableOffset;
    uint32_t shortcutTableOffset;
    uint16_t appNameOffset;
    uint16_t appNameLength;
    uint16_t providerOffset;
    uint16_t providerLength;
    uint16_t unsupportedOffset;
    uint16_t unsupportedLength;
};

// Texts are NUL-terminated, at most 259 characters, and live in the setup's
// text pool: a row holds only a pointer, so a table costs what its file holds.
struct SetupString {
    uint16_t id;
    uint16_t length;  // text length up to its first NUL, plus 1
    const char* text = "";
};

struct SetupDirectory {
    uint16_t id;
    uint16_t pathLength;  // length of path plus 1
    const char* path = "";
};

constexpr uint16_t kNoStoredFile = 0xFFFF;

struct SetupCopyFile {
    uint16_t fileId;
    uint16_t directoryId;
    uint16_t entryIndex;  // index into the cabinet's files
    uint32_t flags;
    uint16_t nameLength;
    const char* destPath = "";
    // No stored file carries fileId: listed with no size, refused (12) on
    // extraction; entryIndex is then never used.
    uint8_t noStoredFile;
};

struct SetupRegHive {
    uint16_t id;
    uint16_t root;
    const char* keyPath = "";
};

// Kept exactly as stored (14 bytes).
struct SetupShortcut {
    uint16_t id;
    uint16_t baseDirectoryId;
    uint16_t baseMacro;
    uint16_t targetId;
    uint16_t targetIsFile;
    uint16_t specLength;
    uint16_t nameStringId;
};

}  // namespace mirad
