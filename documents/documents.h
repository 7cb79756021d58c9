// The generated documents: registry export and INF script, and the table the
// listing offers them from. A new document is one writer here and one row in
// kGeneratedDocuments (documents.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "cabinet/cabinet.h"
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

struct GeneratedDocument {
    const char* name;           // as listed: "~Cab~.REG"
    int32_t Settings::*option;  // listed while this option is on
    // And only when the setup file has something for it (null: always).
    bool (*present)(const CeSetup& setup);
    const char* label;  // in the log line "Extracting <label>%s"
    Error (*write)(const DocumentSource& source, const OutputTarget& destination);
    Error (*render)(const DocumentSource& source, TextWriter& out);
};

// The length `document` has when written from `source`; false when it cannot
// be told (the writer ran out of memory).
bool MeasureDocument(const GeneratedDocument& document, const DocumentSource& source, uint64_t* length);

// In listing order.
extern const GeneratedDocument kGeneratedDocuments[];
extern const size_t kGeneratedDocumentCount;

}  // namespace mirad
