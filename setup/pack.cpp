#include "setup/pack.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cabinet/cabinet.h"
#include "cabinet/transaction.h"
#include "platform/ascii.h"
#include "platform/host.h"
#include "setup/setup.h"
#include "support/alloc.h"
#include "support/paths.h"
#include "support/settings.h"

namespace mirad {

namespace {

// What one packing call holds: the existing cabinet and its setup file.
struct PackJob {
    Cabinet cabinet;
    std::unique_ptr<CeSetup> setup;
};

// The stored file each listed name replaces: replacement[i] names the file
// that takes stored file i's place. NotSupported when a name is too long or
// names no installed file that a stored file carries.
Error MatchReplacements(const PackJob& job, std::vector<ListName>& list, const char* subPath, const char* sourcePath,
                        uint32_t codePage, std::vector<const char*>* replacement) {
    const size_t fileCount = job.cabinet.files().size();
    replacement->assign(fileCount, nullptr);
    for (ListName& item : list) {
        if (!FitsPath(JoinListPath(sourcePath, item.name))) return NotSupported("source path too long");
        if (item.directory) continue;
        std::string key = StoredName(subPath, item.name);
        if (!FitsPath(key)) return NotSupported("stored name too long");
        const SetupCopyFile* match = nullptr;
        if (job.setup) {
            for (const SetupCopyFile& c : job.setup->copyFiles()) {
                // The host names it as it was listed: in its own encoding.
                std::string path = platform::StoredNameToHost(c.destPath, false, codePage);
                if (EqualNoCase(key.c_str(), key.size(), path.c_str(), path.size())) {
                    match = &c;
                    break;
                }
            }
        }
        // A copy-file whose bytes no stored file carries has nothing to replace.
        if (!match || match->noStoredFile || match->entryIndex >= fileCount)
            return NotSupported("no installed file of that path");
        (*replacement)[match->entryIndex] = item.name;  // a later name for the same entry wins
        item.packed = true;
    }
    return kOk;
}

}  // namespace

Error PackFilesInto(const char* cabinetPath, const char* subPath, const char* sourcePath, const char* addList,
                    bool move, const ProgressCallback& progress) {
    CountedPtr<PackJob> job = MakeCounted<PackJob>();
    if (!job) return NoMemory("packing");
    // A cut path could name another file.
    if (std::strlen(cabinetPath) >= kPathSize) return NotSupported("cabinet path too long");
    IoHandle file(IoOpen(cabinetPath, IoMode::Read));
    if (!file) {
        Compression compression =
            CurrentSettings()->Compression == kCompressionMszip ? Compression::Mszip : Compression::None;
        return CreateCabinet(cabinetPath, subPath, sourcePath, addList, move, compression, progress);
    }
    // Read only what the lock protects: the file the name leads to once
    // another update has finished with it.
    file.Close();
    UpdateTarget target;
    if (Error e = target.Acquire(cabinetPath, progress)) return e;
    file = IoHandle(IoOpen(target.path().c_str(), IoMode::Read));
    if (!file) return CannotOpen("cannot open the cabinet");
    if (Error e = ReadCeCabinet(std::move(file), &job->cabinet, &job->setup)) return e;

    std::vector<ListName> list = ParseList(addList);
    std::vector<const char*> replacement;
    uint32_t codePage = CurrentSettings()->CodePage;
    if (Error e = MatchReplacements(*job, list, subPath, sourcePath, codePage, &replacement)) return e;
    return RewriteCabinet(job->cabinet, target, list, replacement, sourcePath, move, progress);
}

}  // namespace mirad
