// The host's questions to the module's read-only layers.
#include "host/facts.h"

#include "cabinet/decoder.h"
#include "documents/documents.h"
#include "host/selection.h"
#include "setup/paths.h"
#include "support/io.h"
#include "support/paths.h"

namespace host {

namespace {

// A path as the installed views list it: without one leading separator.
std::string Listed(const char* path) {
    if (path[0] == '\\' || path[0] == '/') ++path;
    return path;
}

}  // namespace

bool CabinetFacts::Read(const std::string& path) {
    mirad::IoHandle file(mirad::IoOpen(path.c_str(), mirad::IoMode::Read));
    if (!file) {
        error_ = mirad::CannotOpen("cannot open the cabinet");
        return false;
    }
    error_ = mirad::ReadCeCabinet(std::move(file), &cabinet_, &setup_);
    ListStoredFiles();
    return !error_;
}

bool CabinetFacts::ReadStored(const std::string& path) {
    mirad::IoHandle file(mirad::IoOpen(path.c_str(), mirad::IoMode::Read));
    if (!file) {
        error_ = mirad::CannotOpen("cannot open the cabinet");
        return false;
    }
    setup_.reset();
    error_ = cabinet_.Read(std::move(file));
    ListStoredFiles();
    return !error_;
}

void CabinetFacts::ListStoredFiles() {
    listed_.clear();
    for (size_t i = 0; i < cabinet_.files().size(); ++i) {
        if (!mirad::NamesNoFile(cabinet_.files()[i])) listed_.push_back(static_cast<uint32_t>(i));
    }
}

std::string CabinetFacts::SetupName() const {
    // The setup file is always the first stored file.
    return setup_ ? cabinet_.files()[0].name : "";
}

std::vector<Install> CabinetFacts::Installs(const mirad::Settings& settings) const {
    std::vector<Install> installs;
    if (!setup_) return installs;
    char path[mirad::kPathSize];
    for (const mirad::SetupCopyFile& copy : setup_->copyFiles()) {
        Install install;
        if (!copy.noStoredFile && copy.entryIndex < cabinet_.files().size()) install.stored = copy.entryIndex;
        mirad::HostPath(*setup_, settings, copy.destPath, false, path);
        install.destination = Listed(path);
        mirad::HostPath(*setup_, settings, copy.destPath, true, path);
        install.devicePath = Listed(path);
        installs.push_back(install);
    }
    return installs;
}

bool CabinetFacts::Offers(const std::string& name) const {
    for (size_t i = 0; i < mirad::kGeneratedDocumentCount; ++i) {
        const mirad::GeneratedDocument& d = mirad::kGeneratedDocuments[i];
        if (name == d.name) return setup_ && (!d.present || d.present(*setup_));
    }
    return false;
}

bool CabinetFacts::Installed(const mirad::Settings& settings) const { return setup_ && settings.ExpandPath; }

size_t CabinetFacts::FileEntries(const mirad::Settings& settings) const {
    return Installed(settings) ? setup_->copyFiles().size() : listed_.size();
}

int32_t CabinetFacts::StoredFileOf(const mirad::Settings& settings, size_t index) const {
    if (index >= FileEntries(settings)) return -1;
    if (!Installed(settings)) return static_cast<int32_t>(listed_[index]);
    const mirad::SetupCopyFile& copy = setup_->copyFiles()[index];
    return !copy.noStoredFile && copy.entryIndex < cabinet_.files().size() ? copy.entryIndex : -1;
}

mirad::CabinetSurvey Survey(const std::string& path) {
    mirad::IoHandle file(mirad::IoOpen(path.c_str(), mirad::IoMode::Read));
    return mirad::SurveyCabinet(file.get());
}

std::string MethodName(uint16_t typeCompress) {
    const char* name = mirad::MethodName(typeCompress);
    return name ? name : "unknown method " + std::to_string(mirad::CompressionMethod(typeCompress));
}

namespace {

const mirad::GeneratedDocument* FindDocument(const std::string& name) {
    for (size_t i = 0; i < mirad::kGeneratedDocumentCount; ++i) {
        if (NameKey(name) == Lower(mirad::kGeneratedDocuments[i].name)) return &mirad::kGeneratedDocuments[i];
    }
    return nullptr;
}

}  // namespace

std::string DocumentName(const std::string& name) {
    const mirad::GeneratedDocument* document = FindDocument(name);
    return document ? document->name : "";
}

int DocumentOption(const std::string& name) {
    const mirad::GeneratedDocument* document = FindDocument(name);
    if (!document) return -1;
    if (document->option == &mirad::Settings::ShowRegistry) return kShowRegistry;
    return document->option == &mirad::Settings::ShowInfFile ? kShowInfFile : -1;
}

bool IsDocumentName(const std::string& name) { return FindDocument(name) != nullptr; }

}  // namespace host
