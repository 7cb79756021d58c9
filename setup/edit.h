// Changes to a CE setup file as the installed view shows them: a file more
// or less, with the directory and string rows it needs, made on a copy of
// the setup file's records and laid out again by the setup writer. The
// wizard's naming rules for stored files live here too, so a file added to
// a cabinet is named as the builder names files.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cabinet/cabinet.h"
#include "setup/model.h"
#include "setup/setup.h"

namespace mirad {

// The stem of a short stored name: letters, digits ("~", "_" and "-" too
// unless `whole`) padded with 0 in front to eight characters, or, when that
// is too long or (`whole`) the stem holds anything else, the first six of
// them in capitals and "~1".
std::string ShortStem(const std::string& stem, bool whole);

// The 8.3-style stored name the wizard gives a file: the short stem of its
// name without the extension, "." and the three-digit number. A short name
// (BLACKJ~1.999) stays as it is.
std::string StoredFileName(const std::string& name, uint16_t number);

// A directory or key path as string ids, the wizard's way, 0-terminated: a
// leading %InstallDir% is `installDirId`, a leading "\" stays with the first
// element, every element is the string `intern` gives for its text.
std::vector<uint16_t> PathStringIds(const std::string& path, uint16_t installDirId,
                                    const std::function<uint16_t(const std::string&)>& intern);

// FNV-1a of `text`, going on from `h`: calls chain to hash several parts.
uint32_t TextHash(std::string_view text, uint32_t h = 2166136261u);

// A first-wins map from texts to ids: the texts end to end in one string,
// open addressing over entry numbers, so 65535 keys cost about 1 MiB.
class TextIds {
public:
    // The id `key` was added with first, or -1.
    int32_t Find(std::string_view key) const;
    void Add(std::string_view key, uint16_t id);

private:
    struct Entry {
        uint32_t at, length;
        uint16_t id;
    };
    static size_t Hash(std::string_view key);
    void Place(size_t entry);
    void Grow();
    std::string texts_;
    std::vector<Entry> entries_;
    std::vector<uint32_t> slots_;  // entry number, 0 for a free slot
};

// The changes are kept apart from the setup file's records, which stay in
// its bytes: the new file is written from those bytes, records dropped and
// added on the way, so an edit of a setup file of 65535-row tables holds no
// copy of its rows.
class SetupEdit {
public:
    SetupEdit();
    ~SetupEdit();
    SetupEdit(const SetupEdit&) = delete;
    SetupEdit& operator=(const SetupEdit&) = delete;

    // Reads what the changes need from the setup file, which must outlive
    // every call before Write; NoMemory is the only error.
    Error Start(const CeSetup& setup, const Cabinet& cabinet);

    bool changed() const { return changed_; }

    // The number a new installed file takes: one past the highest a
    // copy-file or stored name uses (the setup DLL's 999 apart), or, past
    // 998, the lowest free one; 0 when none is free.
    uint16_t NextFileNumber();

    // Adds the copy-file row installing `name` (setup encoding) in
    // `directory` (a setup path: macros as stored, "\" separators), with a
    // directory row and string rows where none has that path or text yet.
    void AddCopyFile(const std::string& directory, const std::string& name, uint16_t fileId, uint32_t flags);

    // Drops the copy-file and shortcut rows whose positions are marked.
    void Remove(const std::vector<bool>& copyFiles, const std::vector<bool>& shortcuts);

    // Lets go of the lookups and lays the changed setup file out from
    // `old`, the bytes of the setup file given to Start (which may be gone
    // by now), as the setup writer lays out a model: each table's records
    // in order less the dropped ones, then the added ones. Errors as
    // WriteSetupModel.
    Error Write(const std::vector<uint8_t>& old, std::vector<uint8_t>* out);

private:
    class Rows;
    uint16_t Intern(const std::string& text);
    uint16_t Directory(const std::string& path);

    const CeSetup* setup_ = nullptr;
    SetupModel head_;   // the header fields and texts
    SetupModel added_;  // the tables' new rows
    std::vector<bool> droppedCopyFiles_, droppedShortcuts_;
    bool changed_ = false;
    std::vector<bool> usedNumbers_;
    size_t oldStrings_ = 0;
    uint16_t firstStringId_ = 0;
    // Text -> string id (the install directory apart) and lower-case path ->
    // directory id, made when a file is first added.
    std::unique_ptr<TextIds> strings_, directories_;
    uint16_t nextString_ = 1, nextDirectory_ = 1;
};

}  // namespace mirad
