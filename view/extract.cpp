// Skipping, testing and extracting the entry the listing returned last.
//
// Where we differ from the classic behaviour: testing really reads a stored or
// installed file's bytes through the block walk (writing nothing), so a
// damaged cabinet tests as damaged; shortcuts and generated entries, which
// have no stored bytes, test as good.
#include <cstring>

#include "cabinet/reader.h"
#include "documents/documents.h"
#include "support/io.h"
#include "support/log.h"
#include "support/paths.h"
#include "view/view.h"

namespace mirad {

namespace {

// The entry the cursor points at, or none: before the first ReadHeader, after
// the end, or an index the phase's table does not hold.
struct CurrentEntry {
    bool valid = false;
    uint16_t index = 0;
};

CurrentEntry FindCurrent(const ArchiveContext* context) {
    CurrentEntry e;
    if (context->listIndex == 0) return e;
    e.index = static_cast<uint16_t>(context->listIndex - 1);
    const SetupHeader& h = context->setupHeader;
    switch (context->listPhase) {
        case kPhaseStored: e.valid = context->files && e.index < context->header.cFiles; break;
        case kPhaseInstalled: e.valid = context->setupCopyFiles && e.index < h.copyFileCount; break;
        case kPhaseShortcuts: e.valid = context->setupShortcuts && e.index < h.shortcutCount; break;
        case kPhaseRegistry:
        case kPhaseInf: e.valid = true; break;
        default: break;
    }
    return e;
}

// The stored file that carries installed file `index`, or -1.
int32_t CarrierOf(const ArchiveContext* context, uint16_t index) {
    const SetupCopyFile& c = context->setupCopyFiles[index];
    if (c.noStoredFile || c.entryIndex >= context->header.cFiles) return -1;
    return c.entryIndex;
}

int32_t TestEntry(ArchiveContext* context, const CurrentEntry& e) {
    switch (context->listPhase) {
        case kPhaseStored:
            return e.valid ? TestStoredFile(context, e.index) : MIRAD_BAD_DATA;
        case kPhaseInstalled: {
            int32_t k = e.valid ? CarrierOf(context, e.index) : -1;
            return k >= 0 ? TestStoredFile(context, static_cast<uint32_t>(k)) : MIRAD_BAD_DATA;
        }
        case kPhaseShortcuts:
            return e.valid ? MIRAD_OK : MIRAD_BAD_DATA;
        default:
            // Generated entries have no stored bytes; past the end there is
            // nothing to test.
            return MIRAD_OK;
    }
}

int32_t WriteShortcutFile(ArchiveContext* context, uint16_t index, const char* destination) {
    ShortcutPath(context, index, context->workPath);
    LogMessage("Extracting Link %s -> %s", context->workPath, destination);
    IoFile* file = IoOpen(destination, IoMode::Write);
    if (!file) return MIRAD_ECREATE;
    ShortcutTarget(context, index, context->workPath);
    ExpandMacros(context, context->workPath);
    TextWriter w;
    w.file = file;
    TextPrintf(w, "%d#\"%s\"\n", static_cast<int>(std::strlen(context->workPath) + 2), context->workPath);
    return FinishDocument(w, destination) ? MIRAD_OK : MIRAD_ECREATE;
}

int32_t ExtractEntry(ArchiveContext* context, const CurrentEntry& e, const char* destination) {
    switch (context->listPhase) {
        case kPhaseStored:
            LogMessage("Extracting File %s -> %s", context->files[e.index].name, destination);
            return CopyStoredFile(context, e.index, destination);
        case kPhaseInstalled: {
            LogMessage("Extracting File %s -> %s", context->setupCopyFiles[e.index].destPath, destination);
            int32_t k = CarrierOf(context, e.index);
            if (k < 0) return MIRAD_BAD_DATA;
            return CopyStoredFile(context, static_cast<uint32_t>(k), destination);
        }
        case kPhaseShortcuts:
            return WriteShortcutFile(context, e.index, destination);
        case kPhaseRegistry:
            LogMessage("Extracting Registry -> %s", destination);
            return WriteRegistryExport(context, destination);
        case kPhaseInf:
            LogMessage("Extracting INF file-> %s", destination);
            return WriteInfScript(context, destination);
        default:
            return MIRAD_OK;
    }
}

}  // namespace

int32_t ProcessEntry(ArchiveContext* context, int32_t operation, const char* outputDir, const char* outputName) {
    if (operation == MIRAD_SKIP || operation == MIRAD_TEST) {
        LogMessage("Skipping File");
        if (operation == MIRAD_SKIP) return MIRAD_OK;
        return TestEntry(context, FindCurrent(context));
    }
    if (operation != MIRAD_EXTRACT) {
        LogMessage("Unsupported processing mode %d", operation);
        return MIRAD_NOT_SUPPORTED;
    }

    CurrentEntry e = FindCurrent(context);
    if (context->listPhase == kPhaseUnread || context->listPhase >= kPhaseEnd) return MIRAD_OK;
    // Nothing was listed in this phase yet: there is no entry to write.
    if (!e.valid) return MIRAD_BAD_DATA;

    // The directory and name are joined as given. A longer destination is
    // refused, never cut: a cut path could name another file.
    char destination[kPathSize] = "";
    if (outputDir && !AppendString(destination, sizeof destination, outputDir)) return MIRAD_ECREATE;
    if (outputName && !AppendString(destination, sizeof destination, outputName)) return MIRAD_ECREATE;
    return ExtractEntry(context, e, destination);
}

}  // namespace mirad
