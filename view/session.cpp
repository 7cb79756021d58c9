#include "view/session.h"

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
    return kOk;
}

void ArchiveSession::NextPhase(ListPhase phase) {
    cursor_.phase = phase;
    cursor_.index = 0;
}

void ArchiveSession::ExpandMacrosIf(const Settings& settings, char* path) const {
    if (CeOption(settings, &Settings::ExpandCE)) ExpandMacros(*setup_, settings, path);
}

int32_t ArchiveSession::CarrierOf(uint16_t index) const {
    const SetupCopyFile& c = setup_->copyFiles()[index];
    if (c.noStoredFile || c.entryIndex >= cabinet_.files().size()) return -1;
    return c.entryIndex;
}

}  // namespace mirad
