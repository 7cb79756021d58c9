// The host's iterator over an open cabinet. The options are read on every
// call, so a settings reload between two calls changes what is left of the
// listing.
#include <cstring>
#include <string>

#include "documents/documents.h"
#include "platform/host.h"
#include "setup/paths.h"
#include "support/log.h"
#include "support/paths.h"
#include "view/session.h"

namespace mirad {

namespace {

constexpr int32_t kArchiveAttribute = 32;
// The format's flag for a stored name in UTF-8.
constexpr uint16_t kNameIsUtf8 = 0x80;

// Copies as much of `text` as fits; a cut never ends inside a UTF-8
// sequence.
void CopyText(char* out, size_t size, const char* text) {
    if (CopyString(out, size, text)) return;
    size_t n = std::strlen(out);
    size_t end = n;
    while (end > 0 && (static_cast<unsigned char>(out[end - 1]) & 0xC0) == 0x80) --end;
    if (end > 0 && static_cast<unsigned char>(out[end - 1]) >= 0xC0) {
        unsigned char lead = static_cast<unsigned char>(out[end - 1]);
        size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (n - (end - 1) < length) out[end - 1] = '\0';
    }
}

// Copies a path into the entry's name without one leading separator.
void SetName(ListedEntry* entry, const char* path) {
    if (path[0] == '\\' || path[0] == '/') ++path;
    CopyText(entry->name, sizeof entry->name, path);
}

void FillFromStoredFile(ListedEntry* entry, const CabFileEntry& f) {
    entry->attributes = f.attribs & 0xFF;
    entry->fileTime = static_cast<int32_t>((static_cast<uint32_t>(f.date) << 16) | f.time);
    // Stored sizes above 2 GiB cannot be told to the host as a signed value;
    // the cabinet format cannot hold such a file anyway.
    entry->packedSize = static_cast<int32_t>(f.cbFile);
    entry->unpackedSize = entry->packedSize;
}

}  // namespace

bool ArchiveSession::ListNext(const Settings& settings, ListedEntry* entry) {
    entry->name[0] = '\0';
    listedName_.clear();
    entry->attributes = kArchiveAttribute;
    entry->fileTime = 0;
    entry->packedSize = -1;
    entry->unpackedSize = -1;

    const auto& files = cabinet_.files();
    char work[kPathSize];
    switch (cursor_.phase) {
        case ListPhase::Stored:
            while (!CeOption(settings, &Settings::ExpandPath) && cursor_.index < files.size()) {
                uint16_t i = cursor_.index++;
                const CabFileEntry& f = files[i];
                // A name of nothing but separators names no file: passed
                // over, so the other entries stay reachable.
                if (NamesNoFile(f)) {
                    LogMessage("ReadHeader: stored file %u has no name; skipped", static_cast<unsigned>(i));
                    continue;
                }
                std::string name = platform::StoredNameToHost(f.name, (f.attribs & kNameIsUtf8) != 0, settings.CodePage);
                SetName(entry, name.c_str());
                LogMessage("ReadHeader -> %s", entry->name);
                // The host is told a name below its destination; the log
                // says which stored name was rooted.
                if (name[0] == '\\' || name[0] == '/') LogMessage("ReadHeader: rooted name %s listed below the destination", name.c_str());
                FillFromStoredFile(entry, f);
                listedName_ = entry->name;
                return true;
            }
            NextPhase(ListPhase::Installed);
            // fall through
        case ListPhase::Installed:
            if (CeOption(settings, &Settings::ExpandPath) && cursor_.index < setup_->copyFiles().size()) {
                const SetupCopyFile& c = setup_->copyFiles()[cursor_.index++];
                HostPath(settings, c.destPath, work);
                SetName(entry, work);
                bool carried = !c.noStoredFile && c.entryIndex < files.size();
                LogMessage("ReadHeader -> %s (%s)", entry->name, carried ? files[c.entryIndex].name : "");
                if (carried) {
                    FillFromStoredFile(entry, files[c.entryIndex]);
                } else {
                    // No stored file carries it: nothing to extract, size 0.
                    entry->packedSize = 0;
                    entry->unpackedSize = 0;
                }
                listedName_ = entry->name;
                return true;
            }
            NextPhase(ListPhase::Shortcuts);
            // fall through
        case ListPhase::Shortcuts:
            while (CeOption(settings, &Settings::ShowShortcuts) && cursor_.index < setup_->shortcuts().size()) {
                char stored[kPathSize];
                uint16_t i = cursor_.index++;
                // Without its name string a shortcut names only a directory,
                // which no file can be written as: it is passed over.
                int32_t text = setup_->FindString(setup_->shortcuts()[i].nameStringId);
                if (text < 0 || !setup_->strings()[static_cast<size_t>(text)].text[0]) {
                    LogMessage("ReadHeader: shortcut %u has no name string; skipped", static_cast<unsigned>(i));
                    continue;
                }
                ShortcutPath(*setup_, i, stored);
                HostPath(settings, stored, work);
                SetName(entry, work);
                LogMessage("ReadHeader -> %s", entry->name);
                entry->fileTime = GeneratedFileTime();
                entry->packedSize = entry->unpackedSize = ShortcutFileLength(settings, i);
                listedName_ = entry->name;
                return true;
            }
            NextPhase(ListPhase::Documents);
            // fall through
        case ListPhase::Documents:
            while (cursor_.index < kGeneratedDocumentCount) {
                const GeneratedDocument& d = kGeneratedDocuments[cursor_.index++];
                if (CeOption(settings, d.option) && (!d.present || d.present(*setup_))) {
                    CopyString(entry->name, sizeof entry->name, d.name);
                    LogMessage("ReadHeader -> %s", entry->name);
                    entry->fileTime = GeneratedFileTime();
                    entry->packedSize = entry->unpackedSize = DocumentLength(settings, cursor_.index - 1u);
                    listedName_ = entry->name;
                return true;
                }
            }
            NextPhase(ListPhase::End);
            break;
        case ListPhase::End:
            break;
    }
    LogMessage("ReadHeader: No more files");
    // The walk is over: no directory stays held for it.
    output_.Close();
    return false;
}

}  // namespace mirad
