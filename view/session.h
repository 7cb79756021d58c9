// One open archive as the host browses it: the cabinet, its CE setup file
// when it carries one, and the listing cursor. The listing offers the stored
// files (or, instead, the installed files), the shortcuts and the generated
// documents, each as the options of the current call allow.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "cabinet/cabinet.h"
#include "setup/setup.h"
#include "support/error.h"
#include "support/output.h"
#include "support/progress.h"
#include "support/settings.h"

namespace mirad {

enum class ListPhase : uint8_t { Stored, Installed, Shortcuts, Documents, End };

// Where the listing stands: `index` counts the entries of the phase listed
// so far (for documents, the rows of the document table passed), so the
// entry listed last is index - 1.
struct ListCursor {
    ListPhase phase = ListPhase::Stored;
    uint16_t index = 0;
};

// One listed entry in the module's own terms: the name in the host's
// encoding but with "\" separators, the DOS date and time, the stored
// attribute bits. The export turns them into the host's convention.
struct ListedEntry {
    char name[260];
    int32_t attributes;
    int32_t fileTime;  // DOS date in the high 16 bits, DOS time in the low
    int32_t packedSize;
    int32_t unpackedSize;
};

enum class EntryOperation { Skip, Test, Extract };

class ArchiveSession {
public:
    ArchiveSession() = default;
    ArchiveSession(const ArchiveSession&) = delete;
    ArchiveSession& operator=(const ArchiveSession&) = delete;

    // Opens the cabinet at `path` and reads it and its setup file, logging
    // each step ("aborting..." on failure). CannotOpen, or what reading gives.
    Error Open(const char* path);

    const std::string& path() const { return path_; }
    const Cabinet& cabinet() const { return cabinet_; }
    Cabinet& cabinet() { return cabinet_; }
    // Null for a plain cabinet: the five CE options are then off for this
    // archive, whatever the settings say.
    const CeSetup* setup() const { return setup_.get(); }
    const ListCursor& cursor() const { return cursor_; }

    // The next entry, or false when there are no more.
    bool ListNext(const Settings& settings, ListedEntry* entry);

    // Where extraction and testing report their bytes, under the entry's
    // listed name; the host may stop them there.
    void SetProgress(ProgressCallback progress) { progress_ = std::move(progress); }

    // Skips, tests or extracts the entry listed last; `outputDir` and
    // `outputName` are joined as given. Aborted when the progress callback
    // said stop: the entry is then left as after a failure.
    Error Process(const Settings& settings, EntryOperation operation, const char* outputDir, const char* outputName);

private:
    bool CeOption(const Settings& settings, int32_t Settings::*option) const {
        return setup_ && settings.*option != 0;
    }
    void NextPhase(ListPhase phase);
    void ExpandMacrosIf(const Settings& settings, char* path) const;
    // A setup-file path (macros unexpanded) as the host is shown it: in the
    // host's encoding, then expanded when ExpandCE is on.
    void HostPath(const Settings& settings, const char* stored, char* out) const;
    int32_t GeneratedFileTime() const;
    int32_t ShortcutFileLength(const Settings& settings, uint16_t index) const;
    int32_t DocumentLength(const Settings& settings, size_t document) const;
    int32_t CarrierOf(uint16_t index) const;
    bool HasCurrent() const;
    Error Test();
    Error Extract(const Settings& settings, OutputTarget destination);
    static constexpr uint64_t kUnknownLength = ~uint64_t{0};
    void ReportWritten(const OutputTarget& destination, uint64_t size) const;
    Error WriteShortcutFile(const Settings& settings, uint16_t index, const OutputTarget& destination);

    std::string path_;
    // The date and time (DOS, local) of entries that stand for no stored
    // file, shown in the listing and given to the files they extract to.
    uint16_t generatedDate_ = 0, generatedTime_ = 0;
    Cabinet cabinet_;
    std::unique_ptr<CeSetup> setup_;
    ListCursor cursor_;
    // The entry listed last, as ListedEntry names it: progress reports go
    // under this name, the one the host shows.
    std::string listedName_;
    ProgressCallback progress_;
    // The directory the last entry went into, held for the next one while
    // entries keep going into it: entries listed together need their way
    // in opened once, not once each.
    OutputDirectory output_;
};

}  // namespace mirad
