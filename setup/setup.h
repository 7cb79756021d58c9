// The CE setup file ("MSCE") a CE cabinet carries as its first stored file:
// its bytes, header, the five tables decoded from it and the id indexes.
// Built once from the cabinet; nothing else writes it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cabinet/cabinet.h"
#include "setup/model.h"
#include "setup/records.h"
#include "support/alloc.h"
#include "support/bytes.h"
#include "support/error.h"
#include "support/text_pool.h"

namespace mirad {

class CeSetup {
public:
    // Reads the setup file through the cabinet's block source. `*out` stays
    // null when the cabinet carries none (a plain cabinet): its first stored
    // file is not numbered 0, is too small or too large, cannot be read or is
    // not "MSCE". NoMemory is the only error.
    static Error Read(Cabinet& cabinet, std::unique_ptr<CeSetup>* out);
    // The same from a setup file's bytes (one about to replace the
    // cabinet's), its copy-files linked to `cabinet`'s stored files. `*out`
    // stays null when the bytes are not "MSCE".
    static Error FromBytes(const Cabinet& cabinet, std::vector<uint8_t> bytes, std::unique_ptr<CeSetup>* out);
    // The same with only the tables the registry's keys need (strings and
    // keys; the others stay empty): for a reader of the registry that holds
    // nothing else of a large setup file.
    static Error RegistryFromBytes(std::vector<uint8_t> bytes, std::unique_ptr<CeSetup>* out);

    // Ends `setup` and hands back its bytes: for a writer that needs only
    // them, so the tables are gone before the new file is made.
    static std::vector<uint8_t> Release(std::unique_ptr<CeSetup> setup);

    const SetupHeader& header() const { return header_; }
    // The setup file's bytes: every text and registry read is bounds-checked
    // against them.
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    ByteReader Reader() const;

    // The setup file's records, as the writer takes them, read again from
    // its bytes: the views keep only their own tables. NoMemory is the only
    // error.
    Error ReadModel(SetupModel* out) const;

    const CountedVector<SetupString>& strings() const { return strings_; }
    const CountedVector<SetupDirectory>& directories() const { return directories_; }
    const CountedVector<SetupCopyFile>& copyFiles() const { return copyFiles_; }
    const CountedVector<SetupRegHive>& regHives() const { return regHives_; }
    const CountedVector<SetupShortcut>& shortcuts() const { return shortcuts_; }

    // First position in table order whose id equals `id`, or -1.
    int32_t FindString(uint16_t id) const;
    int32_t FindDirectory(uint16_t id) const;
    int32_t FindCopyFile(uint16_t fileId) const;

    // The install directory (the first string's text), or null without strings.
    const char* InstallDirectory() const;
    // A text the header points at (provider, application name): the stored
    // bytes up to their first NUL, at most 259 characters, and only what
    // lies inside the setup bytes; `text` holds 260 bytes.
    void HeaderText(uint16_t offset, uint16_t length, char* text) const;
    // The unsupported platforms' names, each stored NUL-terminated; the
    // count of stored bytes decides where the list ends, so a closing extra
    // NUL adds no empty name.
    std::vector<std::string> UnsupportedPlatforms() const;

private:
    CeSetup() = default;
    static Error Make(const Cabinet* cabinet, std::vector<uint8_t> bytes, std::unique_ptr<CeSetup>* out);
    // Header, records and tables from bytes_.
    // Without a cabinet, only the string and registry-key tables.
    void Decode(const Cabinet* cabinet);
    void ReadTables(const Cabinet* cabinet);
    void ReadStrings(ByteReader& r);
    void ReadDirectories(ByteReader& r);
    void ReadCopyFiles(ByteReader& r, const Cabinet& cabinet);
    void ReadRegHives(ByteReader& r);
    void ReadShortcuts(ByteReader& r);
    // Decodes one id list into `path` (capacity 260); `length` is in/out as
    // the record's second field.
    void DecodeDirectoryPath(const std::vector<uint16_t>& ids, char* path, uint16_t* length) const;

    std::vector<uint8_t> bytes_;
    SetupHeader header_ = {};
    CountedVector<SetupString> strings_;
    CountedVector<SetupDirectory> directories_;
    CountedVector<SetupCopyFile> copyFiles_;
    CountedVector<SetupRegHive> regHives_;
    CountedVector<SetupShortcut> shortcuts_;
    // The first row of every id in the string, directory and copy-file
    // tables, so a lookup costs the same in a table of 65535 rows as in one
    // of three. Empty: look up linearly.
    std::vector<uint16_t> stringIds_, directoryIds_, copyFileIds_;
    // Every text the tables point to.
    TextPool texts_;
};

// The processor a setup file's code names ("StrongARM SA11xx", "CEF" for 0,
// any processor); null for a code not known.
const char* ProcessorName(int32_t code);

// Reads the cabinet from `file`, then its setup file, and logs that the
// cabinet was read. What Cabinet::Read or CeSetup::Read gives.
Error ReadCeCabinet(IoHandle file, Cabinet* cabinet, std::unique_ptr<CeSetup>* setup);

}  // namespace mirad
