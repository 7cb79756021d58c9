#include "view/session.h"

#include <cstring>
#include <string>

#include "documents/documents.h"
#include "platform/host.h"
#include "platform/platform.h"
#include "setup/paths.h"
#include "support/log.h"
#include "support/paths.h"

namespace mirad {

Error ArchiveSession::Open(const char* path) {
    LogMessage("\n\nOpen %s", path);
    path_ = path;
    // A cut path could name another file: an over-long name is not opened.
    IoHandle file(path_.size() < kPathSize ? IoOpen(path, IoMode::Read) : nullptr);
    Error result;
    if (!file) {
        LogMessage("Cant open CAB file");
        result = CannotOpen("cannot open the cabinet");
    } else {
        result = ReadCeCabinet(std::move(file), &cabinet_, &setup_);
    }
    if (result) {
        LogMessage("aborting...");
        return result;
    }
    cursor_ = ListCursor();
    // Generated entries exist only beside a setup file and take its stored
    // date, which stays the same wherever the cabinet is copied; the
    // cabinet file's own date serves only when that one names no real
    // moment.
    int64_t seconds = 0;
    if (setup_) {
        const CabFileEntry& stored = cabinet_.files()[0];
        platform::FindData found;
        if (platform::DosToUnixTime(stored.date, stored.time, &seconds)) {
            generatedDate_ = stored.date;
            generatedTime_ = stored.time;
        } else if (platform::FindFile(path, &found)) {
            generatedDate_ = found.dosDate;
            generatedTime_ = found.dosTime;
        }
    }
    return kOk;
}

void ArchiveSession::NextPhase(ListPhase phase) {
    cursor_.phase = phase;
    cursor_.index = 0;
}

void ArchiveSession::ExpandMacrosIf(const Settings& settings, char* path) const {
    if (CeOption(settings, &Settings::ExpandCE)) ExpandMacros(*setup_, settings, path);
}

void ArchiveSession::HostPath(const Settings& settings, const char* stored, char* out) const {
    mirad::HostPath(*setup_, settings, stored, CeOption(settings, &Settings::ExpandCE), out);
}

int32_t ArchiveSession::GeneratedFileTime() const {
    return static_cast<int32_t>((static_cast<uint32_t>(generatedDate_) << 16) | generatedTime_);
}

// What WriteShortcutFile writes: the target's length plus 2 in decimal, "#",
// the quoted target and CR LF.
int32_t ArchiveSession::ShortcutFileLength(const Settings& settings, uint16_t index) const {
    char target[kPathSize];
    ShortcutTarget(*setup_, index, target);
    ExpandMacrosIf(settings, target);
    std::string digits = std::to_string(std::strlen(target) + 2);
    return static_cast<int32_t>(digits.size() + 1 + std::strlen(target) + 2 + 2);
}

// Rendering a document to count it costs less than writing it (the same
// text, no file): milliseconds for a real cabinet, a fraction of a second
// for tables of 65535 rows. So every listing tells the real length; 0 only
// when it cannot be had (no memory) or passes what the field holds.
int32_t ArchiveSession::DocumentLength(const Settings& settings, size_t document) const {
    uint64_t length = 0;
    if (!MeasureDocument(kGeneratedDocuments[document], DocumentSource{path_.c_str(), cabinet_, *setup_, settings},
                         &length) ||
        length > INT32_MAX) {
        return 0;
    }
    return static_cast<int32_t>(length);
}

int32_t ArchiveSession::CarrierOf(uint16_t index) const {
    const SetupCopyFile& c = setup_->copyFiles()[index];
    if (c.noStoredFile || c.entryIndex >= cabinet_.files().size()) return -1;
    return c.entryIndex;
}

}  // namespace mirad
