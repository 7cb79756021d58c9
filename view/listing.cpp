// The host's iterator over an open cabinet: stored files (or, instead, the
// installed files), shortcuts, the registry export and the INF script, each
// phase offered as the options allow. The options are read on every call, so
// a settings reload between two calls changes what is left of the listing.
#include <cstring>

#include "support/log.h"
#include "support/paths.h"
#include "support/settings.h"
#include "view/view.h"

namespace mirad {

namespace {

constexpr int32_t kArchiveAttribute = 32;

// Copies a path into fileName without one leading separator.
void SetFileName(EntryHeader* header, const char* path) {
    if (path[0] == '\\' || path[0] == '/') ++path;
    CopyString(header->fileName, sizeof header->fileName, path);
}

void FillFromStoredFile(EntryHeader* header, const CabFileEntry& f) {
    header->fileAttributes = f.attribs & 0xFF;
    header->fileTime = static_cast<int32_t>((static_cast<uint32_t>(f.date) << 16) | f.time);
    // Stored sizes above 2 GiB cannot be told to the host as a signed value;
    // the cabinet format cannot hold such a file anyway.
    header->packedSize = static_cast<int32_t>(f.cbFile);
    header->unpackedSize = header->packedSize;
}

void NextPhase(ArchiveContext* context, uint8_t phase) {
    context->listPhase = phase;
    context->listIndex = 0;
}

}  // namespace

int32_t ListNextEntry(ArchiveContext* context, EntryHeader* header) {
    CopyString(header->archiveName, sizeof header->archiveName, context->archivePath);
    header->fileAttributes = kArchiveAttribute;
    header->fileTime = 0;
    header->packedSize = -1;
    header->unpackedSize = -1;
    header->fileCRC = 0;
    header->unpackVersion = 0;
    header->method = 0;
    header->commentBuffer = nullptr;
    header->commentBufferSize = 0;
    header->commentSize = 0;
    header->commentState = 0;

    const SetupHeader& setup = context->setupHeader;
    switch (context->listPhase) {
        case kPhaseStored:
            if (!CeOption(context, &Settings::ExpandPath) && context->listIndex < context->header.cFiles) {
                const CabFileEntry& f = context->files[context->listIndex++];
                SetFileName(header, f.name);
                LogMessage("ReadHeader -> %s", header->fileName);
                FillFromStoredFile(header, f);
                return MIRAD_OK;
            }
            NextPhase(context, kPhaseInstalled);
            // fall through
        case kPhaseInstalled:
            if (CeOption(context, &Settings::ExpandPath) && context->setupCopyFiles &&
                context->listIndex < setup.copyFileCount) {
                const SetupCopyFile& c = context->setupCopyFiles[context->listIndex++];
                CopyString(context->workPath, sizeof context->workPath, c.destPath);
                ExpandMacros(context, context->workPath);
                SetFileName(header, context->workPath);
                bool carried = !c.noStoredFile && c.entryIndex < context->header.cFiles;
                LogMessage("ReadHeader -> %s (%s)", header->fileName,
                           carried ? context->files[c.entryIndex].name : "");
                if (carried) {
                    FillFromStoredFile(header, context->files[c.entryIndex]);
                } else {
                    // No stored file carries it: nothing to extract, size 0.
                    header->packedSize = 0;
                    header->unpackedSize = 0;
                }
                return MIRAD_OK;
            }
            NextPhase(context, kPhaseShortcuts);
            // fall through
        case kPhaseShortcuts:
            if (CeOption(context, &Settings::ShowShortcuts) && context->setupShortcuts &&
                context->listIndex < setup.shortcutCount) {
                ShortcutPath(context, context->listIndex++, context->workPath);
                ExpandMacros(context, context->workPath);
                SetFileName(header, context->workPath);
                LogMessage("ReadHeader -> %s", header->fileName);
                return MIRAD_OK;
            }
            NextPhase(context, kPhaseRegistry);
            // fall through
        case kPhaseRegistry:
            if (CeOption(context, &Settings::ShowRegistry) && setup.regValueCount != 0 && context->listIndex == 0) {
                context->listIndex = 1;
                CopyString(header->fileName, sizeof header->fileName, "~Cab~.REG");
                LogMessage("ReadHeader -> %s", header->fileName);
                return MIRAD_OK;
            }
            NextPhase(context, kPhaseInf);
            // fall through
        case kPhaseInf:
            if (CeOption(context, &Settings::ShowInfFile) && context->listIndex == 0) {
                context->listIndex = 1;
                CopyString(header->fileName, sizeof header->fileName, "~Cab~.INF");
                LogMessage("ReadHeader -> %s", header->fileName);
                return MIRAD_OK;
            }
            NextPhase(context, kPhaseEnd);
            break;
        default:
            break;
    }
    LogMessage("ReadHeader: No more files");
    return MIRAD_END_ARCHIVE;
}

}  // namespace mirad
