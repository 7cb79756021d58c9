// What the host learns about a cabinet from the module's own read-only
// layers (cabinet, setup file, documents): the facts info and list --long
// show, the names update takes, and why a cabinet is refused.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cabinet/cabinet.h"
#include "host/cli.h"
#include "setup/setup.h"
#include "support/error.h"
#include "support/settings.h"

namespace host {

// One installed file: the stored file that carries it (-1: none), and its
// destination with macros and as a device path, both with "\" and without
// a leading one, as the installed views list them.
struct Install {
    int32_t stored = -1;
    std::string destination, devicePath;
};

class CabinetFacts {
public:
    // Reads the cabinet and its setup file as the module does; false when
    // they refuse it (error() says why).
    bool Read(const std::string& path);
    // The cabinet's own tables only, without the setup file's.
    bool ReadStored(const std::string& path);
    const mirad::Error& error() const { return error_; }
    const mirad::Cabinet& cabinet() const { return cabinet_; }
    // Null for a plain cabinet.
    const mirad::CeSetup* setup() const { return setup_.get(); }
    std::string SetupName() const;
    // Lets go of the file (Windows cannot replace an open file); the tables
    // stay.
    void CloseFile() { cabinet_.CloseFile(); }
    std::vector<Install> Installs(const mirad::Settings& settings) const;
    // Whether the listing offers the generated document `name` when its
    // option is on.
    bool Offers(const std::string& name) const;
    // How many entries the listing gives for files before shortcuts and
    // documents, and the stored file of entry `index` among them (-1: none).
    size_t FileEntries(const mirad::Settings& settings) const;
    int32_t StoredFileOf(const mirad::Settings& settings, size_t index) const;
    // Whether the view lists installed files rather than stored ones.
    bool Installed(const mirad::Settings& settings) const;

private:
    void ListStoredFiles();

    mirad::Cabinet cabinet_;
    std::unique_ptr<mirad::CeSetup> setup_;
    mirad::Error error_;
    std::vector<uint32_t> listed_;  // the stored files the stored view lists
};

// The survey of what a file shows of itself, read through the layers.
mirad::CabinetSurvey Survey(const std::string& path);
// The compression method's name ("none", "MSZIP", ..., "unknown method N").
std::string MethodName(uint16_t typeCompress);
// The generated document a name given by the user names ("~cab~.reg"
// names "~Cab~.REG"), or empty; the view option that lists it, or -1.
std::string DocumentName(const std::string& name);
int DocumentOption(const std::string& name);
bool IsDocumentName(const std::string& name);

// Why a cabinet cannot be read at all (it cannot be opened, it is a pipe),
// in a sentence naming it; empty when it opens.
std::string WhyNotOpened(const std::string& cabinet);
// Why the module refused `cabinet` with `code`, in a sentence naming it.
std::string WhyRefused(const std::string& cabinet, int32_t code);

}  // namespace host
