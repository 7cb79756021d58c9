// Reading the CE setup file (SETUP.000, "MSCE") that a CE cabinet carries as
// its first stored file.
//
// Where we read differently from the classic reader:
// - The setup file's bytes are taken through the same data-block walk as any
//   stored file, so a setup file spanning several blocks, or placed by either
//   offset rule, reads correctly. Every table and text is then decoded from
//   those bytes with a bounds-checked reader.
// - A table that runs past the end of the setup file keeps the records read
//   whole; its count in setupHeader is lowered to that number (raw keeps the
//   stored value), so nothing downstream meets a half-read record.
// - A cabinet without a readable setup file is marked plain for this archive
//   only; the process-wide settings are never touched.
#include "setup/setup.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "cabinet/reader.h"
#include "interface/exports.h"
#include "support/alloc.h"
#include "support/log.h"
#include "support/paths.h"

namespace mirad {

namespace {

// Real setup files are a few kilobytes; even 65535 copy-files with long names
// stay far below this. A larger "SETUP.000" is not a setup file we will hold
// in memory, and the cabinet opens as a plain one.
constexpr uint32_t kMaxSetupSize = 16u * 1024u * 1024u;

// Smallest on-disk record of each table, used to size a table by what the
// setup file can actually hold rather than by a count it merely claims.
constexpr size_t kMinString = 4, kMinDirectory = 4, kMinCopyFile = 12, kMinRegHive = 8, kShortcutSize = 14;

// Stored names carry numbers 0..999 (three digits after the dot).
constexpr int kFileNumbers = 1000;

struct SetupSink {
    uint8_t* data;
    uint32_t size;
    uint32_t used;
};

bool CollectSetupBytes(void* user, const uint8_t* data, size_t count) {
    auto* sink = static_cast<SetupSink*>(user);
    if (count > sink->size - sink->used) return false;
    std::memcpy(sink->data + sink->used, data, count);
    sink->used += static_cast<uint32_t>(count);
    return true;
}

void DecodeHeader(SetupHeader& h, const uint8_t* bytes, uint32_t size) {
    std::memset(&h, 0, sizeof h);
    std::memcpy(h.raw, bytes, size < msce::Size ? size : msce::Size);
    const uint8_t* r = h.raw;
    std::memcpy(h.signature, r + msce::Signature, 4);
    h.processor = static_cast<int32_t>(le32(r + msce::Processor));
    h.minVersionMajor = static_cast<int32_t>(le32(r + msce::MinVersionMajor));
    h.minVersionMinor = static_cast<int32_t>(le32(r + msce::MinVersionMinor));
    h.maxVersionMajor = static_cast<int32_t>(le32(r + msce::MaxVersionMajor));
    h.maxVersionMinor = static_cast<int32_t>(le32(r + msce::MaxVersionMinor));
    h.stringCount = le16(r + msce::StringCount);
    h.directoryCount = le16(r + msce::DirectoryCount);
    h.copyFileCount = le16(r + msce::CopyFileCount);
    h.regHiveCount = le16(r + msce::RegHiveCount);
    h.regValueCount = le16(r + msce::RegValueCount);
    h.shortcutCount = le16(r + msce::ShortcutCount);
    h.stringTableOffset = le32(r + msce::StringTableOffset);
    h.directoryTableOffset = le32(r + msce::DirectoryTableOffset);
    h.copyFileTableOffset = le32(r + msce::CopyFileTableOffset);
    h.regHiveTableOffset = le32(r + msce::RegHiveTableOffset);
    h.regValueTableOffset = le32(r + msce::RegValueTableOffset);
    h.shortcutTableOffset = le32(r + msce::ShortcutTableOffset);
    h.appNameOffset = le16(r + msce::AppNameOffset);
    h.appNameLength = le16(r + msce::AppNameLength);
    h.providerOffset = le16(r + msce::ProviderOffset);
    h.providerLength = le16(r + msce::ProviderLength);
    h.unsupportedOffset = le16(r + msce::UnsupportedOffset);
    h.unsupportedLength = le16(r + msce::UnsupportedLength);
}

bool IsMsce(const uint8_t* p) {
    static const char kSig[] = "MSCE";
    for (int i = 0; i < 4; ++i) {
        uint8_t c = p[i];
        if (c >= 'a' && c <= 'z') c = static_cast<uint8_t>(c - 'a' + 'A');
        if (c != static_cast<uint8_t>(kSig[i])) return false;
    }
    return true;
}

void MarkPlain(ArchiveContext* context) {
    std::free(context->setupData);
    context->setupData = nullptr;
    context->setupSize = 0;
    std::memset(&context->setupHeader, 0, sizeof context->setupHeader);
    context->plainCabinet = 1;
}

// Positions a reader on a table and tells how many records can fit between
// there and the end of the setup file; 0 when the offset lies outside it.
uint16_t FittingRecords(ByteReader& r, uint32_t offset, uint16_t count, size_t minRecord) {
    if (!SeekTo(r, offset)) return 0;
    size_t room = (r.size - r.pos) / minRecord;
    return room < count ? static_cast<uint16_t>(room) : count;
}

// Appends `n` bytes of `src` at *pos in a 260-byte buffer, cutting at 259
// characters; always leaves the buffer terminated.
void PutBounded(char* out, size_t* pos, const char* src, size_t n) {
    size_t room = *pos < kPathSize - 1 ? kPathSize - 1 - *pos : 0;
    if (n > room) n = room;
    if (n) std::memcpy(out + *pos, src, n);
    *pos += n;
    out[*pos] = '\0';
}

// Builds the sorted (id, position) index of a table; equal ids keep table
// order, so the first match in the table is the first in the index. Without
// memory the lookups fall back to a linear scan.
template <typename T, typename IdOf>
uint32_t* BuildIdIndex(const T* table, uint16_t count, IdOf idOf) {
    if (!table || count == 0) return nullptr;
    auto* index = static_cast<uint32_t*>(std::malloc(static_cast<size_t>(count) * sizeof(uint32_t)));
    if (!index) return nullptr;
    for (uint16_t i = 0; i < count; ++i) index[i] = static_cast<uint32_t>(idOf(table[i])) << 16 | i;
    std::sort(index, index + count);
    return index;
}

template <typename T, typename IdOf>
int32_t FindById(const uint32_t* index, const T* table, uint16_t count, uint16_t id, IdOf idOf) {
    if (!table) return -1;
    if (index) {
        const uint32_t key = static_cast<uint32_t>(id) << 16;
        const uint32_t* at = std::lower_bound(index, index + count, key);
        if (at != index + count && (*at >> 16) == id) return static_cast<int32_t>(*at & 0xFFFFu);
        return -1;
    }
    for (uint16_t i = 0; i < count; ++i)
        if (idOf(table[i]) == id) return i;
    return -1;
}

uint16_t StringId(const SetupString& s) { return s.id; }
uint16_t DirectoryId(const SetupDirectory& d) { return d.id; }
uint16_t CopyFileId(const SetupCopyFile& c) { return c.fileId; }

// Reads one table: positions the reader, allocates as many records as the
// setup file can hold (never more than `count` claims; never 0 bytes), and
// decodes them with `readRecord` until one fails. Records read whole are
// kept, and `count` is lowered to their number; the rest stay zero.
template <typename T, typename ReadRecord>
int ReadTable(ByteReader& r, const char* logLine, uint32_t offset, uint16_t* count, size_t minRecord, T** table,
              ReadRecord readRecord) {
    LogMessage("%s", logLine);
    uint16_t fit = FittingRecords(r, offset, *count, minRecord);
    *count = 0;
    if (fit == 0) return 0;
    *table = static_cast<T*>(AllocateZeroed(static_cast<size_t>(fit) * sizeof(T)));
    if (!*table) return MIRAD_NO_MEMORY;
    uint16_t done = 0;
    while (done < fit && readRecord((*table)[done], r)) ++done;
    std::memset(*table + done, 0, (fit - done) * sizeof(T));
    *count = done;
    return 0;
}

int ReadStrings(ArchiveContext* context, ByteReader& r) {
    SetupHeader& h = context->setupHeader;
    int result = ReadTable(r, "reading MSCE strings section", h.stringTableOffset, &h.stringCount, kMinString,
                           &context->setupStrings, [](SetupString& s, ByteReader& in) {
                               uint16_t id = Read16(in);
                               uint16_t stored = Read16(in);
                               // A text longer than the buffer keeps 259
                               // characters; the rest of its stored bytes is
                               // consumed so the next record starts where it should.
                               size_t keep = stored < kPathSize - 1 ? stored : kPathSize - 1;
                               char text[kPathSize] = {};
                               ReadBytes(in, text, keep);
                               Skip(in, stored - keep);
                               if (in.failed) return false;
                               s.id = id;
                               std::memcpy(s.text, text, sizeof text);
                               s.length = static_cast<uint16_t>(std::strlen(s.text) + 1);
                               return true;
                           });
    context->stringIds = BuildIdIndex(context->setupStrings, h.stringCount, StringId);
    return result;
}

int ReadDirectories(ArchiveContext* context, ByteReader& r) {
    SetupHeader& h = context->setupHeader;
    int result = ReadTable(r, "reading MSCE directories section", h.directoryTableOffset, &h.directoryCount,
                           kMinDirectory, &context->setupDirectories, [context](SetupDirectory& d, ByteReader& in) {
                               d.id = Read16(in);
                               d.pathLength = 1;
                               DecodeDirectoryPath(context, in, d.path, &d.pathLength);
                               return !in.failed;
                           });
    context->directoryIds = BuildIdIndex(context->setupDirectories, h.directoryCount, DirectoryId);
    return result;
}

int ReadCopyFiles(ArchiveContext* context, ByteReader& r) {
    SetupHeader& h = context->setupHeader;
    // First stored file for every file number, so linking stays linear while
    // keeping the first-match rule of the file table's order.
    int32_t firstIndex[kFileNumbers];
    for (int32_t& v : firstIndex) v = -1;
    for (uint32_t i = 0; i < context->header.cFiles; ++i) {
        int32_t n = NumericSuffix(context->files[i].name);
        if (n >= 0 && n < kFileNumbers && firstIndex[n] < 0) firstIndex[n] = static_cast<int32_t>(i);
    }

    auto readCopyFile = [context, &firstIndex](SetupCopyFile& c, ByteReader& in) {
        c.fileId = Read16(in);
        c.directoryId = Read16(in);
        Skip(in, 2);  // the word whose place entryIndex takes; resolved below
        c.flags = Read32(in);
        c.nameLength = Read16(in);
        if (in.failed || !CanRead(in, c.nameLength)) {
            in.failed = true;
            return false;
        }
        size_t pos = 0;
        c.destPath[0] = '\0';
        int32_t d = FindDirectory(context, c.directoryId);
        if (d >= 0) {
            const char* path = context->setupDirectories[d].path;
            PutBounded(c.destPath, &pos, path, std::strlen(path));
            PutBounded(c.destPath, &pos, "\\", 1);
        }
        // The stored name ends at its NUL or after nameLength bytes.
        const char* name = reinterpret_cast<const char*>(in.data + in.pos);
        const void* nul = std::memchr(name, '\0', c.nameLength);
        size_t nameChars = nul ? static_cast<size_t>(static_cast<const char*>(nul) - name) : c.nameLength;
        PutBounded(c.destPath, &pos, name, nameChars);
        Skip(in, c.nameLength);

        if (c.fileId < kFileNumbers && firstIndex[c.fileId] >= 0) {
            c.entryIndex = static_cast<uint16_t>(firstIndex[c.fileId]);
        } else {
            c.entryIndex = kNoStoredFile;
            c.noStoredFile = 1;
        }
        return true;
    };
    int result = ReadTable(r, "reading MSCE copyfiles section", h.copyFileTableOffset, &h.copyFileCount,
                           kMinCopyFile, &context->setupCopyFiles, readCopyFile);
    context->copyFileIds = BuildIdIndex(context->setupCopyFiles, h.copyFileCount, CopyFileId);
    return result;
}

int ReadRegHives(ArchiveContext* context, ByteReader& r) {
    SetupHeader& h = context->setupHeader;
    return ReadTable(r, "reading MSCE regkeys section", h.regHiveTableOffset, &h.regHiveCount, kMinRegHive,
                     &context->setupRegHives, [context](SetupRegHive& k, ByteReader& in) {
                         k.id = Read16(in);
                         uint32_t rootValue = Read32(in);
                         uint16_t length = 1;
                         DecodeDirectoryPath(context, in, k.keyPath, &length);
                         k.root = static_cast<uint16_t>(rootValue & 0xFFFFu);
                         return !in.failed;
                     });
}

int ReadShortcuts(ArchiveContext* context, ByteReader& r) {
    SetupHeader& h = context->setupHeader;
    // Each record is exactly 14 bytes, whatever specLength claims; the size
    // check in ReadTable guarantees all of them are there.
    return ReadTable(r, "reading MSCE shortcuts section", h.shortcutTableOffset, &h.shortcutCount, kShortcutSize,
                     &context->setupShortcuts, [](SetupShortcut& s, ByteReader& in) {
                         s.id = Read16(in);
                         s.baseDirectoryId = Read16(in);
                         s.baseMacro = Read16(in);
                         s.targetId = Read16(in);
                         s.targetIsFile = Read16(in);
                         s.specLength = Read16(in);
                         s.nameStringId = Read16(in);
                         return !in.failed;
                     });
}

}  // namespace

int32_t FindString(const ArchiveContext* context, uint16_t id) {
    return FindById(context->stringIds, context->setupStrings, context->setupHeader.stringCount, id, StringId);
}

int32_t FindDirectory(const ArchiveContext* context, uint16_t id) {
    return FindById(context->directoryIds, context->setupDirectories, context->setupHeader.directoryCount, id,
                    DirectoryId);
}

int32_t FindCopyFile(const ArchiveContext* context, uint16_t fileId) {
    return FindById(context->copyFileIds, context->setupCopyFiles, context->setupHeader.copyFileCount, fileId,
                    CopyFileId);
}

void DecodeDirectoryPath(const ArchiveContext* context, ByteReader& reader, char* path, uint16_t* length) {
    size_t pos = *length > 0 ? static_cast<size_t>(*length - 1) : 0;
    if (pos > kPathSize - 1) pos = kPathSize - 1;
    path[pos] = '\0';
    const SetupHeader& h = context->setupHeader;
    uint16_t count = static_cast<uint16_t>(Read16(reader) / 2);
    for (uint16_t k = 0; k < count && !reader.failed; ++k) {
        uint16_t id = Read16(reader);
        if (reader.failed) break;
        if (id == 0) {
            // An early end: skip what is left of the list so the next record
            // is read from its own start.
            Skip(reader, static_cast<size_t>(count - k - 1) * 2);
            break;
        }
        int32_t found = FindString(context, id);
        if (pos > 0) PutBounded(path, &pos, "\\", 1);
        // Only the first element of a path can stand for the install
        // directory; an empty string table counts as that match.
        if (pos == 0 && (found == 0 || h.stringCount == 0)) {
            PutBounded(path, &pos, "%InstallDir%", 12);
        } else if (found >= 0) {
            const char* text = context->setupStrings[found].text;
            size_t n = std::strlen(text);
            if (text[0] == '"') {
                // Quoted: the opening quote and the last character go; a lone
                // quote leaves nothing.
                PutBounded(path, &pos, text + 1, n >= 2 ? n - 2 : 0);
            } else {
                PutBounded(path, &pos, text, n);
            }
        }
        // An id that matches no string is an empty element.
    }
    path[pos] = '\0';
    *length = static_cast<uint16_t>(pos + 1);
}

int ReadSetupFile(ArchiveContext* context) {
    const CabHeader& cab = context->header;
    if (cab.cFiles == 0 || !context->files) {
        MarkPlain(context);
        return 0;
    }
    const CabFileEntry& first = context->files[0];
    if (NumericSuffix(first.name) != 0) {
        MarkPlain(context);
        return 0;
    }
    if (first.iFolder < cab.cFolders && context->folders) {
        // Where a contiguous read would find it; kept for anything that wants
        // the classic position, though tables are decoded from setupData.
        uint64_t offset = static_cast<uint64_t>(context->folders[first.iFolder].coffCabStart) + 8u +
                          context->cbCFData + first.uoffFolderStart;
        context->setupOffset = static_cast<int32_t>(static_cast<uint32_t>(offset));
    }
    // Too short to carry a signature, or too large to be a setup file.
    if (first.cbFile < 4 || first.cbFile > kMaxSetupSize) {
        MarkPlain(context);
        return 0;
    }

    SetupSink sink{static_cast<uint8_t*>(std::malloc(first.cbFile)), first.cbFile, 0};
    if (!sink.data) return MIRAD_NO_MEMORY;
    context->setupData = sink.data;
    context->setupSize = first.cbFile;
    // A setup file whose blocks cannot be read opens the cabinet as a plain
    // one: its stored files stay listable, and testing SETUP.000 reports 12.
    if (StreamStoredFile(context, 0, CollectSetupBytes, &sink) != 0 || sink.used != sink.size ||
        !IsMsce(sink.data)) {
        MarkPlain(context);
        return 0;
    }
    DecodeHeader(context->setupHeader, context->setupData, context->setupSize);
    context->plainCabinet = 0;
    LogMessage("Processing MSCE file");

    // Strings first, then directories (they resolve string ids), then the
    // files to copy (they resolve directory ids), registry keys, shortcuts.
    using TableReader = int (*)(ArchiveContext*, ByteReader&);
    const TableReader readers[] = {ReadStrings, ReadDirectories, ReadCopyFiles, ReadRegHives, ReadShortcuts};
    const uint16_t* counts[] = {&context->setupHeader.stringCount, &context->setupHeader.directoryCount,
                                &context->setupHeader.copyFileCount, &context->setupHeader.regHiveCount,
                                &context->setupHeader.shortcutCount};
    for (size_t t = 0; t < 5; ++t) {
        if (*counts[t] == 0) continue;
        // A fresh reader per table: one that ran past the end must not keep
        // the next from being read.
        ByteReader r;
        r.data = context->setupData;
        r.size = context->setupSize;
        int result = readers[t](context, r);
        if (result != 0) return result;
    }
    return 0;
}

}  // namespace mirad
