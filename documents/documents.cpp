#include "documents/documents.h"

namespace mirad {

namespace {
bool HasRegistryValues(const CeSetup& setup) { return setup.header().regValueCount != 0; }
}  // namespace

const GeneratedDocument kGeneratedDocuments[] = {
    {"~Cab~.REG", &Settings::ShowRegistry, HasRegistryValues, "Registry -> ", WriteRegistryExport, RenderRegistryExport},
    {"~Cab~.INF", &Settings::ShowInfFile, nullptr, "INF file-> ", WriteInfScript, RenderInfScript},
};
const size_t kGeneratedDocumentCount = sizeof kGeneratedDocuments / sizeof kGeneratedDocuments[0];

bool MeasureDocument(const GeneratedDocument& document, const DocumentSource& source, uint64_t* length) {
    TextWriter counter;  // no file: it only counts
    if (document.render(source, counter)) return false;
    TextFlush(counter);
    *length = counter.written;
    return true;
}

}  // namespace mirad
