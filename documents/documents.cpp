#include "documents/documents.h"

namespace mirad {

namespace {
bool HasRegistryValues(const CeSetup& setup) { return setup.header().regValueCount != 0; }
}  // namespace

const GeneratedDocument kGeneratedDocuments[] = {
    {"~Cab~.REG", &Settings::ShowRegistry, HasRegistryValues, "Registry -> ", WriteRegistryExport},
    {"~Cab~.INF", &Settings::ShowInfFile, nullptr, "INF file-> ", WriteInfScript},
};
const size_t kGeneratedDocumentCount = sizeof kGeneratedDocuments / sizeof kGeneratedDocuments[0];

}  // namespace mirad
