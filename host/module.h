// The module as one run of mirad holds it: loaded once, handed its settings
// once, and driven through its nine exports the way a file manager drives
// them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/cli.h"
#include "host/os.h"
#include "host/selection.h"
#include "interface/exports.h"
#include "support/settings.h"

namespace host {

struct ModuleApi {
    void* handle = nullptr;
    OpenArchiveFn OpenArchive = nullptr;
    ReadHeaderFn ReadHeader = nullptr;
    ProcessFileFn ProcessFile = nullptr;
    CloseArchiveFn CloseArchive = nullptr;
    PackFilesFn PackFiles = nullptr;
    PackSetDefaultParamsFn PackSetDefaultParams = nullptr;
    GetPackerCapsFn GetPackerCaps = nullptr;
    SetChangeVolProcFn SetChangeVolProc = nullptr;
    SetProcessDataProcFn SetProcessDataProc = nullptr;
    DeleteFilesFn DeleteFiles = nullptr;  // null in a module that cannot remove
};

// What the command line changes in the settings for one run: the view
// options (-1: as the settings file says) and the log.
struct SettingsChanges {
    int view[kViewOptionCount] = {-1, -1, -1, -1, -1};
    std::string debugFile;
    std::string compression;  // "Compression"; empty: as the settings file says
    std::vector<std::pair<std::string, std::string>> values;  // further keys, set as given
    bool any() const;
};
// The view flags and --log of the command line.
SettingsChanges ChangesFrom(const Options& options);
// --log alone: pack and update list nothing.
SettingsChanges LogChanges(const Options& options);

// Sets one key of an INI text with the module's own INI rules, keeping every
// other line; a key the rules cannot write leaves the text as it is.
std::string SetIniValue(const std::string& text, const std::string& section, const std::string& key,
                        const std::string& value);

// The loaded module and the settings file it reads. With changes, the file
// the module would read is copied once into a private directory with the
// changes written in, and the module reads the copy; when a Mirad.ini lies
// beside the module (which the module always prefers), a private copy of
// the module is loaded from that directory so the copy wins.
class Session {
public:
    Session() = default;
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // False with a message on stderr when the module cannot be loaded.
    bool Start(const Options& options, const SettingsChanges& changes);
    const ModuleApi& api() const { return api_; }
    // The settings the module works with in this run.
    mirad::Settings settings() const;

private:
    bool MakePrivateCopy(const std::string& source, const SettingsChanges& changes);
    bool Load(const std::string& path);

    std::unique_ptr<TempDirectory> privateDir_;
    ModuleApi api_;
    std::string modulePath_;  // the file loaded
    std::string readsFrom_;   // the settings file the module reads
};

// One archive open in the module, closed on scope exit. Every header read
// is processed exactly once: what the command leaves alone is skipped.
class Archive {
public:
    explicit Archive(const Session& session) : api_(session.api()) {}
    ~Archive() { Close(); }
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    // False, saying why on stderr, when the module does not open it.
    bool Open(const std::string& cabinet);
    bool Next(EntryHeader* header);
    int32_t Process(int32_t operation, const std::string& target = std::string());
    // ProcessFile with DestPath and DestName.
    int32_t Process(int32_t operation, const std::string& directory, const std::string& name);
    void Close();

private:
    const ModuleApi& api_;
    void* handle_ = nullptr;
    bool pending_ = false;  // a header read and not yet processed
};

// A walk over a cabinet's entries: open, then ReadHeader and ProcessFile in
// turn for every entry, `visit` seeing those the selection selects (its
// index in the listing, counting all entries). `visit` returns false when
// the user stopped it; the walk then says "interrupted".
enum class WalkEnd { Done, Refused, Interrupted };
using EntryVisit = std::function<bool(Archive& archive, const EntryHeader& header, size_t index)>;
// `opened` is called once the module has opened the cabinet.
WalkEnd Walk(const Session& session, const std::string& cabinet, Selection& selection, const EntryVisit& visit,
             const std::function<void()>& opened = nullptr);

}  // namespace host
