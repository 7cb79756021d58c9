// Reading the CE setup file (SETUP.000, "MSCE") that a CE cabinet carries as
// its first stored file.
//
// - The setup file's bytes are taken through the cabinet's block source like
//   any stored file's, so a setup file spanning several blocks, or placed by
//   either offset rule, reads correctly. Every table and text is then decoded
//   from those bytes with a bounds-checked reader.
// - A table that runs past the end of the setup file keeps the records read
//   whole; its count in the header is lowered to that number (raw keeps the
//   stored value), so nothing downstream meets a half-read record.
// - A cabinet without a readable setup file is a plain cabinet: no CeSetup.
#include "setup/setup.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>

#include "platform/ascii.h"
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

void DecodeHeader(SetupHeader& h, const uint8_t* bytes, size_t size) {
    std::memset(&h, 0, sizeof h);
    std::memcpy(h.raw, bytes, size < msce::Size ? size : msce::Size);
    const uint8_t* r = h.raw;
    std::memcpy(h.signature, r + msce::Signature, 4);
    h.processor = static_cast<int32_t>(le32(r + msce::Processor));
    h.minVersionMajor = static_cast<int32_t>(le32(r + msce::MinVersionMajor));
    h.minVersionMinor = static_cast<int32_t>(le32(r + msce::MinVersionMinor));
    h.maxVersionMajor = static_cast<int32_t>(le32(r + msce::MaxVersionMajor));
    h.maxVersionMinor = static_cast<int32_t>(le32(r + msce::MaxVersionMinor));
    h.minBuild = le32(r + msce::MinBuild);
    h.maxBuild = le32(r + msce::MaxBuild);
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

bool IsMsce(const uint8_t* p) { return SameTextNoCase(reinterpret_cast<const char*>(p), "MSCE", 4); }

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

// Where each id first appears in a table, by id: a table holds at most
// 65535 rows, so kNoRow is free to mean none. Tables this small are scanned
// instead, and so is any table when memory is short (the index stays empty).
constexpr size_t kIndexedRows = 64;
constexpr uint16_t kNoRow = 0xFFFF;

template <typename Table, typename IdOf>
std::vector<uint16_t> BuildIdIndex(const Table& table, IdOf idOf) {
    std::vector<uint16_t> index;
    if (table.size() <= kIndexedRows) return index;
    try {
        index.assign(size_t{0xFFFF} + 1, kNoRow);
    } catch (const std::bad_alloc&) {
        return index;
    }
    // From the end, so the first row of an id is the one that stays.
    for (size_t i = table.size(); i-- > 0;) index[idOf(table[i])] = static_cast<uint16_t>(i);
    return index;
}

template <typename Table, typename IdOf>
int32_t FindById(const std::vector<uint16_t>& index, const Table& table, uint16_t id, IdOf idOf) {
    if (!index.empty()) return index[id] == kNoRow ? -1 : static_cast<int32_t>(index[id]);
    for (size_t i = 0; i < table.size(); ++i)
        if (idOf(table[i]) == id) return static_cast<int32_t>(i);
    return -1;
}

uint16_t StringId(const SetupString& s) { return s.id; }
uint16_t DirectoryId(const SetupDirectory& d) { return d.id; }
uint16_t CopyFileId(const SetupCopyFile& c) { return c.fileId; }

// Loads one table from the setup file's records: sizes it by what the file
// can actually hold (never more than `count` claims; never 0 bytes), and
// derives each row with `fromRecord` as the records are read, so no copy of
// the records is kept. `count` becomes the number of records read whole.
template <typename T, typename Record, typename FromRecord>
void ReadTable(const std::vector<uint8_t>& bytes, ByteReader& r, const char* logLine, uint32_t offset,
               uint16_t* count, size_t minRecord, CountedVector<T>* table,
               void (*readRecords)(const uint8_t*, size_t, const std::function<bool(const Record&)>&),
               FromRecord fromRecord) {
    LogMessage("%s", logLine);
    uint16_t fit = FittingRecords(r, offset, *count, minRecord);
    *count = 0;
    if (fit == 0) return;
    *table = CountedVector<T>(fit);
    uint16_t done = 0;
    readRecords(bytes.data(), bytes.size(), [&](const Record& record) {
        if (done == fit) return false;
        fromRecord((*table)[done++], record);
        return true;
    });
    // Shrinking keeps the one allocation the log showed.
    table->resize(done);
    *count = done;
}

}  // namespace

Error CeSetup::ReadModel(SetupModel* out) const { return ReadSetupModel(bytes_.data(), bytes_.size(), out); }

ByteReader CeSetup::Reader() const {
    ByteReader r;
    r.data = bytes_.data();
    r.size = bytes_.size();
    return r;
}

void CeSetup::ReadStrings(ByteReader& r) {
    ReadTable(bytes_, r, "reading MSCE strings section", header_.stringTableOffset, &header_.stringCount,
              kMinString, &strings_, ReadStringRecords, [this](SetupString& s, const SetupModel::String& stored) {
                  // A text longer than the buffer keeps 259 characters.
                  size_t keep = stored.stored.size() < kPathSize - 1 ? stored.stored.size() : kPathSize - 1;
                  const void* nul = std::memchr(stored.stored.data(), '\0', keep);
                  size_t length = nul ? static_cast<size_t>(static_cast<const char*>(nul) - stored.stored.data()) : keep;
                  s.id = stored.id;
                  s.text = texts_.Add(stored.stored.data(), length);
                  s.length = static_cast<uint16_t>(length + 1);
              });
    stringIds_ = BuildIdIndex(strings_, StringId);
}

void CeSetup::ReadDirectories(ByteReader& r) {
    ReadTable(bytes_, r, "reading MSCE directories section", header_.directoryTableOffset,
              &header_.directoryCount, kMinDirectory, &directories_, ReadDirectoryRecords,
              [this](SetupDirectory& d, const SetupModel::Directory& stored) {
                  d.id = stored.id;
                  d.pathLength = 1;
                  char path[kPathSize];
                  DecodeDirectoryPath(stored.ids, path, &d.pathLength);
                  d.path = texts_.Add(path, d.pathLength - 1u);
              });
    directoryIds_ = BuildIdIndex(directories_, DirectoryId);
}

void CeSetup::ReadCopyFiles(ByteReader& r, const Cabinet& cabinet) {
    // First stored file for every file number, so linking stays linear while
    // keeping the first-match rule of the file table's order.
    std::vector<int32_t> firstIndex(kFileNumbers, -1);
    const auto& files = cabinet.files();
    for (size_t i = 0; i < files.size(); ++i) {
        int32_t n = NumericSuffix(files[i].name);
        if (n >= 0 && n < kFileNumbers && firstIndex[n] < 0) firstIndex[n] = static_cast<int32_t>(i);
    }

    auto fromRecord = [this, &firstIndex](SetupCopyFile& c, const SetupModel::CopyFile& stored) {
        c.fileId = stored.fileId;
        c.directoryId = stored.directoryId;
        c.flags = stored.flags;
        c.nameLength = static_cast<uint16_t>(stored.stored.size());
        // The directory's path and "\" when the directory is known, then the
        // name, together cut at 259 characters, put straight into the pool.
        const char* path = "";
        size_t pathChars = 0, separator = 0;
        int32_t d = FindDirectory(c.directoryId);
        if (d >= 0) {
            path = directories_[d].path;
            pathChars = directories_[d].pathLength - 1u;  // the path's length: it holds no NUL
            separator = 1;
        }
        // The stored name ends at its NUL or after nameLength bytes.
        const char* name = stored.stored.data();
        const void* nul = std::memchr(name, '\0', stored.stored.size());
        size_t nameChars = nul ? static_cast<size_t>(static_cast<const char*>(nul) - name) : stored.stored.size();
        size_t room = kPathSize - 1;
        pathChars = std::min(pathChars, room);
        room -= pathChars;
        separator = std::min(separator, room);
        room -= separator;
        nameChars = std::min(nameChars, room);
        char* destPath = texts_.Claim(pathChars + separator + nameChars);
        if (pathChars) std::memcpy(destPath, path, pathChars);
        if (separator) destPath[pathChars] = '\\';
        if (nameChars) std::memcpy(destPath + pathChars + separator, name, nameChars);
        c.destPath = destPath;

        if (c.fileId < kFileNumbers && firstIndex[c.fileId] >= 0) {
            c.entryIndex = static_cast<uint16_t>(firstIndex[c.fileId]);
        } else {
            c.entryIndex = kNoStoredFile;
            c.noStoredFile = 1;
        }
    };
    ReadTable(bytes_, r, "reading MSCE copyfiles section", header_.copyFileTableOffset, &header_.copyFileCount,
              kMinCopyFile, &copyFiles_, ReadCopyFileRecords, fromRecord);
    copyFileIds_ = BuildIdIndex(copyFiles_, CopyFileId);
}

void CeSetup::ReadRegHives(ByteReader& r) {
    ReadTable(bytes_, r, "reading MSCE regkeys section", header_.regHiveTableOffset, &header_.regHiveCount,
              kMinRegHive, &regHives_, ReadRegHiveRecords, [this](SetupRegHive& k, const SetupModel::RegHive& stored) {
                  k.id = stored.id;
                  uint16_t length = 1;
                  char keyPath[kPathSize];
                  DecodeDirectoryPath(stored.ids, keyPath, &length);
                  k.keyPath = texts_.Add(keyPath, length - 1u);
                  k.root = stored.root;
              });
}

void CeSetup::ReadShortcuts(ByteReader& r) {
    // Each record is exactly 14 bytes, whatever specLength claims.
    ReadTable(bytes_, r, "reading MSCE shortcuts section", header_.shortcutTableOffset, &header_.shortcutCount,
              kShortcutSize, &shortcuts_, ReadShortcutRecords, [](SetupShortcut& s, const SetupModel::Shortcut& stored) {
                  s.id = stored.id;
                  s.baseDirectoryId = stored.baseDirectoryId;
                  s.baseMacro = stored.baseMacro;
                  s.targetId = stored.targetId;
                  s.targetIsFile = stored.targetIsFile;
                  s.specLength = stored.specLength;
                  s.nameStringId = stored.nameStringId;
              });
}

int32_t CeSetup::FindString(uint16_t id) const { return FindById(stringIds_, strings_, id, StringId); }

int32_t CeSetup::FindDirectory(uint16_t id) const { return FindById(directoryIds_, directories_, id, DirectoryId); }

int32_t CeSetup::FindCopyFile(uint16_t fileId) const { return FindById(copyFileIds_, copyFiles_, fileId, CopyFileId); }

const char* CeSetup::InstallDirectory() const { return strings_.empty() ? nullptr : strings_[0].text; }

void CeSetup::HeaderText(uint16_t offset, uint16_t length, char* text) const {
    size_t n = 0;
    for (uint32_t i = 0; i < length && n < kPathSize - 1; ++i) {
        uint32_t at = static_cast<uint32_t>(offset) + i;
        if (at >= bytes_.size() || bytes_[at] == 0) break;
        text[n++] = static_cast<char>(bytes_[at]);
    }
    text[n] = '\0';
}

std::vector<std::string> CeSetup::UnsupportedPlatforms() const {
    std::vector<std::string> names;
    size_t at = header_.unsupportedOffset, left = header_.unsupportedLength;
    if (left <= 1 || at >= bytes_.size()) return names;
    if (left > bytes_.size() - at) left = bytes_.size() - at;
    while (left > 1) {
        names.emplace_back();
        for (; left > 0; --left) {
            char c = static_cast<char>(bytes_[at++]);
            if (c == '\0') {
                --left;
                break;
            }
            names.back() += c;
        }
    }
    return names;
}

const char* ProcessorName(int32_t code) {
    struct Processor {
        int32_t code;
        const char* name;
    };
    // 10005 is the SH4 (10004 the SH3E).
    static const Processor kProcessors[] = {{0, "CEF"},           {1824, "ARM720"},       {2577, "StrongARM SA11xx"},
                                            {4000, "MIPS R4xxx"}, {10003, "Hitachi SH3"}, {10005, "Hitachi SH4"}};
    for (const Processor& p : kProcessors) {
        if (p.code == code) return p.name;
    }
    return nullptr;
}

void CeSetup::DecodeDirectoryPath(const std::vector<uint16_t>& ids, char* path, uint16_t* length) const {
    size_t pos = *length > 0 ? static_cast<size_t>(*length - 1) : 0;
    if (pos > kPathSize - 1) pos = kPathSize - 1;
    path[pos] = '\0';
    for (uint16_t id : ids) {
        // An early 0 ends the path; the rest of the list is not part of it.
        if (id == 0) break;
        int32_t found = FindString(id);
        if (pos > 0) PutBounded(path, &pos, "\\", 1);
        // Only the first element of a path can stand for the install
        // directory; an empty string table counts as that match.
        if (pos == 0 && (found == 0 || header_.stringCount == 0)) {
            PutBounded(path, &pos, "%InstallDir%", 12);
        } else if (found >= 0) {
            const char* text = strings_[found].text;
            size_t n = strings_[found].length - 1u;  // the text's length: it holds no NUL
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

void CeSetup::ReadTables(const Cabinet* cabinet) {
    // Strings first, then directories (they resolve string ids), then the
    // files to copy (they resolve directory ids), registry keys, shortcuts.
    // A fresh reader per table: one that ran past the end must not keep the
    // next from being read.
    if (header_.stringCount != 0) {
        ByteReader r = Reader();
        ReadStrings(r);
    }
    if (cabinet && header_.directoryCount != 0) {
        ByteReader r = Reader();
        ReadDirectories(r);
    }
    if (cabinet && header_.copyFileCount != 0) {
        ByteReader r = Reader();
        ReadCopyFiles(r, *cabinet);
    }
    if (header_.regHiveCount != 0) {
        ByteReader r = Reader();
        ReadRegHives(r);
    }
    if (cabinet && header_.shortcutCount != 0) {
        ByteReader r = Reader();
        ReadShortcuts(r);
    }
}

Error CeSetup::Read(Cabinet& cabinet, std::unique_ptr<CeSetup>* out) {
    out->reset();
    const auto& files = cabinet.files();
    if (files.empty()) return kOk;
    const CabFileEntry& first = files[0];
    if (NumericSuffix(first.name) != 0) return kOk;
    // Too short to carry a signature, or too large to be a setup file.
    if (first.cbFile < 4 || first.cbFile > kMaxSetupSize) return kOk;

    try {
        std::unique_ptr<CeSetup> setup(new CeSetup());
        std::vector<uint8_t>& bytes = setup->bytes_;
        bytes.reserve(first.cbFile);
        // A setup file whose blocks cannot be read opens the cabinet as a
        // plain one: its stored files stay listable, and testing SETUP.000
        // reports the damage.
        // Checksums are not checked here: a setup file whose blocks carry a
        // wrong one still opens, as it always has.
        Error read = cabinet.ReadFile(
            0,
            [&bytes, &first](const uint8_t* data, size_t count) {
                if (count > first.cbFile - bytes.size()) return false;
                bytes.insert(bytes.end(), data, data + count);
                return true;
            },
            cfdata::MaxData, Checksums::Ignore);
        if (read || bytes.size() != first.cbFile || !IsMsce(bytes.data())) return kOk;
        setup->Decode(&cabinet);
        *out = std::move(setup);
        return kOk;
    } catch (const std::bad_alloc&) {
        return NoMemory("setup file");
    }
}

Error CeSetup::FromBytes(const Cabinet& cabinet, std::vector<uint8_t> bytes, std::unique_ptr<CeSetup>* out) {
    return Make(&cabinet, std::move(bytes), out);
}

Error CeSetup::RegistryFromBytes(std::vector<uint8_t> bytes, std::unique_ptr<CeSetup>* out) {
    return Make(nullptr, std::move(bytes), out);
}

Error CeSetup::Make(const Cabinet* cabinet, std::vector<uint8_t> bytes, std::unique_ptr<CeSetup>* out) {
    out->reset();
    if (bytes.size() < 4 || !IsMsce(bytes.data())) return kOk;
    try {
        std::unique_ptr<CeSetup> setup(new CeSetup());
        setup->bytes_ = std::move(bytes);
        setup->Decode(cabinet);
        *out = std::move(setup);
        return kOk;
    } catch (const std::bad_alloc&) {
        return NoMemory("setup file");
    }
}

std::vector<uint8_t> CeSetup::Release(std::unique_ptr<CeSetup> setup) {
    std::vector<uint8_t> bytes;
    if (setup) bytes.swap(setup->bytes_);
    return bytes;
}

void CeSetup::Decode(const Cabinet* cabinet) {
    DecodeHeader(header_, bytes_.data(), bytes_.size());
    LogMessage("Processing MSCE file");
    ReadTables(cabinet);
}

Error ReadCeCabinet(IoHandle file, Cabinet* cabinet, std::unique_ptr<CeSetup>* setup) {
    if (Error e = cabinet->Read(std::move(file))) return e;
    if (Error e = CeSetup::Read(*cabinet, setup)) return e;
    LogMessage("CAB file successfully read");
    return kOk;
}

}  // namespace mirad
