#include "documents/documents.h"

#include <utility>

#include "platform/ascii.h"
#include "support/log.h"

namespace mirad {

namespace {
bool HasRegistryValues(const CeSetup& setup) { return setup.header().regValueCount != 0; }
}  // namespace

const GeneratedDocument kGeneratedDocuments[] = {
    {"~Cab~.REG", &Settings::ShowRegistry, HasRegistryValues, "Registry -> ", WriteRegistryExport, RenderRegistryExport,
     RebuildFromRegistryExport},
    {"~Cab~.INF", &Settings::ShowInfFile, nullptr, "INF file-> ", WriteInfScript, RenderInfScript,
     RebuildFromInfScript},
};
const size_t kGeneratedDocumentCount = sizeof kGeneratedDocuments / sizeof kGeneratedDocuments[0];

const GeneratedDocument* FindGeneratedDocument(const std::string& name) {
    for (size_t i = 0; i < kGeneratedDocumentCount; ++i)
        if (EqualNoCase(name.c_str(), kGeneratedDocuments[i].name)) return &kGeneratedDocuments[i];
    return nullptr;
}

Error RebuildFromDocument(const std::string& name, const std::string& path, const Cabinet& cabinet,
                          std::unique_ptr<CeSetup> setup, DocumentEdit* edit) {
    const GeneratedDocument* document = FindGeneratedDocument(name);
    if (!document || !document->rebuild) {
        LogMessage("Not changed: %s cannot be copied back", name.c_str());
        return NotSupported("a generated document");
    }
    return document->rebuild(document->name, path, cabinet, std::move(setup), edit);
}

Error ReadDocumentFile(const std::string& path, std::vector<uint8_t>* bytes) {
    // No document the setup file's 16-bit tables give comes near this.
    constexpr uint64_t kMaxDocument = 64u * 1024u * 1024u;
    IoHandle f(IoOpen(path.c_str(), IoMode::Read));
    uint64_t size = 0;
    if (!f || !IoSize(f.get(), &size) || size > kMaxDocument) return CannotOpen("cannot read the document");
    bytes->resize(static_cast<size_t>(size));
    if (!IoReadExact(f.get(), bytes->data(), bytes->size())) return CannotOpen("cannot read the document");
    return kOk;
}

bool MeasureDocument(const GeneratedDocument& document, const DocumentSource& source, uint64_t* length) {
    TextWriter counter;  // no file: it only counts
    if (document.render(source, counter)) return false;
    TextFlush(counter);
    *length = counter.written;
    return true;
}

}  // namespace mirad
