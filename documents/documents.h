// The generated documents: registry export and INF script, and the table the
// listing offers them from. A new document is one writer here and one row in
// kGeneratedDocuments (documents.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cabinet/cabinet.h"
#include "documents/regvalue.h"
#include "setup/pack.h"
#include "setup/setup.h"
#include "support/error.h"
#include "support/io.h"
#include "support/output.h"
#include "support/settings.h"

namespace mirad {

// What a document is written from: one open CE cabinet and the settings of
// the call that writes it.
struct DocumentSource {
    const char* archivePath;
    const Cabinet& cabinet;
    const CeSetup& setup;
    const Settings& settings;
};

// CannotCreate when the document cannot be written whole (it is removed).
Error WriteRegistryExport(const DocumentSource& source, const OutputTarget& destination);
// As above, and NoMemory for a script cut short (kept, ending at a section).
Error WriteInfScript(const DocumentSource& source, const OutputTarget& destination);

// The same documents into a writer (one without a file only counts).
Error RenderRegistryExport(const DocumentSource& source, TextWriter& out);
Error RenderInfScript(const DocumentSource& source, TextWriter& out);

// The registry export as RenderRegistryExport writes it, a piece at a time:
// "REGEDIT4", then each value, after the blank line and key line of its key
// when that is not the key of the value before it. For readers that take
// the export as it is produced. The constructor throws std::bad_alloc.
class RegistryExportWriter {
public:
    explicit RegistryExportWriter(const CeSetup& setup);
    // Writes the next piece; false once every value is written.
    bool PutNext(TextWriter& out);
    // Of the last value written: where its record begins in the setup
    // bytes, and the key record whose line it stands under (-1: none).
    size_t valueAt() const { return valueAt_; }
    int32_t keyAt() const { return keyAt_; }
    // The lines of the value whose record begins at `at` (a valueAt()), as
    // PutNext writes them after any key line.
    void PutValueAt(TextWriter& out, size_t at) const;
    // What the key line of key record `k` holds between its brackets.
    void PutKeyText(TextWriter& out, size_t k) const;

private:
    const CeSetup& setup_;
    HiveIndex hives_;
    RegValueCursor cursor_;
    bool started_ = false;
    uint16_t lastHive_ = 65535;
    size_t valueAt_ = 0;
    int32_t keyAt_ = -1;
};

struct GeneratedDocument {
    const char* name;           // as listed: "~Cab~.REG"
    int32_t Settings::*option;  // listed while this option is on
    // And only when the setup file has something for it (null: always).
    bool (*present)(const CeSetup& setup);
    const char* label;  // in the log line "Extracting <label>%s"
    Error (*write)(const DocumentSource& source, const OutputTarget& destination);
    Error (*render)(const DocumentSource& source, TextWriter& out);
    // The cabinet made anew from the document as edited, read from `path`
    // (null: the document cannot be copied back). BadData, the reason
    // logged as "NAME:LINE: what"; CannotOpen when it cannot be read.
    Error (*rebuild)(const std::string& name, const std::string& path, const Cabinet& cabinet,
                     std::unique_ptr<CeSetup> setup, DocumentEdit* edit);
};

// The row of `name` (ignoring case), or null.
const GeneratedDocument* FindGeneratedDocument(const std::string& name);
// What PackFiles hands an edited document to (setup/pack.h).
Error RebuildFromDocument(const std::string& name, const std::string& path, const Cabinet& cabinet,
                          std::unique_ptr<CeSetup> setup, DocumentEdit* edit);
// A document as the user saved it: CannotOpen when it cannot be read or is
// larger than any export.
Error ReadDocumentFile(const std::string& path, std::vector<uint8_t>* bytes);

// "~Cab~.REG" copied back: the registry rebuilt (reg_reader.h).
Error RebuildFromRegistryExport(const std::string& name, const std::string& path, const Cabinet& cabinet,
                                std::unique_ptr<CeSetup> setup, DocumentEdit* edit);
// "~Cab~.INF" copied back: the setup file built from it as the INF builder
// builds one (inf_build.cpp), each source taken from beside the script or,
// failing that, from the cabinet. Stored files the cabinet installs keep
// their stored names, dates and attributes, and their bytes unless a file
// beside the script replaces them; files no longer installed go, new ones
// are named as the builder names them, with the next free numbers.
Error RebuildFromInfScript(const std::string& name, const std::string& path, const Cabinet& cabinet,
                           std::unique_ptr<CeSetup> setup, DocumentEdit* edit);

// The length `document` has when written from `source`; false when it cannot
// be told (the writer ran out of memory).
bool MeasureDocument(const GeneratedDocument& document, const DocumentSource& source, uint64_t* length);

// In listing order.
extern const GeneratedDocument kGeneratedDocuments[];
extern const size_t kGeneratedDocumentCount;

}  // namespace mirad
