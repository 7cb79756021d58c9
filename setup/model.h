// The CE setup file ("MSCE") as records: what the reader takes from a
// setup file and what the writer lays out again. Texts are kept as stored
// (terminating NUL and any padding included), so a setup file read and
// written again keeps its bytes wherever its layout is the common one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/error.h"

namespace mirad {

struct SetupModel {
    struct String {
        uint16_t id = 0;
        std::string stored;  // the stored bytes, NUL included
    };
    // A directory or registry key: a string-id list, 0-terminated as stored.
    struct Directory {
        uint16_t id = 0;
        std::vector<uint16_t> ids;
    };
    struct CopyFile {
        uint16_t fileId = 0;
        uint16_t directoryId = 0;
        uint16_t word = 0;  // the word the reader replaces by the stored-file index
        uint32_t flags = 0;
        std::string stored;  // the destination name as stored
    };
    struct RegHive {
        uint16_t id = 0;
        uint16_t root = 0;
        uint16_t word = 0;  // the high half of the root field
        std::vector<uint16_t> ids;
    };
    struct RegValue {
        uint16_t first = 0;  // not interpreted; the record's number
        uint16_t hiveId = 0;
        uint16_t third = 0;  // not interpreted
        uint32_t typeFlags = 0;
        std::string payload;  // the name, its NUL, then the data
    };
    struct Shortcut {
        uint16_t id = 0;
        uint16_t baseDirectoryId = 0;
        uint16_t baseMacro = 0;
        uint16_t targetId = 0;
        uint16_t targetIsFile = 0;
        uint16_t specLength = 2;
        uint16_t nameStringId = 0;
    };

    int32_t processor = 0;
    int32_t minVersionMajor = 0, minVersionMinor = 0, maxVersionMajor = 0, maxVersionMinor = 0;
    uint32_t minBuild = 0, maxBuild = 0;
    // Header words nobody reads, kept as found. The word at 8 is the setup
    // file's length: the writer owns it.
    uint32_t word4 = 0, word12 = 0, word16 = 1, word96 = 0;
    std::string appName, provider;  // stored, NUL included
    std::string unsupported;        // NUL-terminated names, as stored

    std::vector<String> strings;
    std::vector<Directory> directories;
    std::vector<CopyFile> copyFiles;
    std::vector<RegHive> regHives;
    std::vector<RegValue> regValues;
    std::vector<Shortcut> shortcuts;
};

bool operator==(const SetupModel& a, const SetupModel& b);
inline bool operator!=(const SetupModel& a, const SetupModel& b) { return !(a == b); }

// Reads the records of a setup file. A header cut short reads as zeros; a
// table that runs past the end keeps the records read whole; a text keeps
// what of it lies inside the file. NoMemory is the only error.
Error ReadSetupModel(const uint8_t* data, size_t size, SetupModel* out);

// One table's records in file order, with the rules above, handed to `take`
// one at a time (the same object, refilled) until `take` returns false: for
// readers that keep rows of their own and no copy of the records. Throw
// std::bad_alloc.
void ReadStringRecords(const uint8_t* data, size_t size, const std::function<bool(const SetupModel::String&)>& take);
void ReadDirectoryRecords(const uint8_t* data, size_t size,
                          const std::function<bool(const SetupModel::Directory&)>& take);
void ReadCopyFileRecords(const uint8_t* data, size_t size,
                         const std::function<bool(const SetupModel::CopyFile&)>& take);
void ReadRegHiveRecords(const uint8_t* data, size_t size,
                        const std::function<bool(const SetupModel::RegHive&)>& take);
void ReadRegValueRecords(const uint8_t* data, size_t size,
                         const std::function<bool(const SetupModel::RegValue&)>& take);
// The same with where each record begins, and the one record that begins at
// such a place (false when it cannot be read there).
void ReadRegValueRecordsAt(const uint8_t* data, size_t size,
                           const std::function<bool(const SetupModel::RegValue&, size_t at)>& take);
bool ReadRegValueRecordAt(const uint8_t* data, size_t size, size_t at, SetupModel::RegValue* out);
void ReadShortcutRecords(const uint8_t* data, size_t size,
                         const std::function<bool(const SetupModel::Shortcut&)>& take);

// The header fields and texts of a setup file, with the rules above; the
// tables stay empty. NoMemory is the only error.
Error ReadSetupHeader(const uint8_t* data, size_t size, SetupModel* out);

// Lays the model out as the cabinet wizard does: header, application name,
// provider, unsupported platforms, then the string, directory, copy-file,
// registry-key, registry-value and shortcut tables, back to back. BadData
// when a count, length or text offset does not fit its field.
Error WriteSetupModel(const SetupModel& model, std::vector<uint8_t>* out);

// A setup file's tables as the writer takes them: each table's rows handed
// to `put` in order, so a change that keeps most of an existing file's
// records need not hold a copy of them.
class SetupRows {
public:
    template <typename T>
    using Put = std::function<void(const T&)>;
    virtual ~SetupRows() = default;
    virtual void Strings(const Put<SetupModel::String>& put) const = 0;
    virtual void Directories(const Put<SetupModel::Directory>& put) const = 0;
    virtual void CopyFiles(const Put<SetupModel::CopyFile>& put) const = 0;
    virtual void RegHives(const Put<SetupModel::RegHive>& put) const = 0;
    virtual void RegValues(const Put<SetupModel::RegValue>& put) const = 0;
    virtual void Shortcuts(const Put<SetupModel::Shortcut>& put) const = 0;
};

// WriteSetupModel with `head`'s header fields and texts (its tables are not
// read) and the rows of `rows`; `out` is reserved to `sizeHint` bytes first.
Error WriteSetupFile(const SetupModel& head, const SetupRows& rows, std::vector<uint8_t>* out, size_t sizeHint = 0);

// A text as the wizard stores it: the bytes and a NUL.
inline std::string StoredText(const std::string& text) { return text + '\0'; }

// The third word of a registry value as the wizard writes it: 1 when the
// data name the install directory (which the device then expands), else 0.
uint16_t WizardRegValueMark(const std::string& data);

}  // namespace mirad
