// Packing as the host asks for it: a new cabinet from files on disk, or an
// existing cabinet changed through the view the host shows of it.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cabinet/cabinet.h"
#include "cabinet/transaction.h"
#include "cabinet/writer.h"
#include "setup/setup.h"
#include "support/error.h"
#include "support/progress.h"

namespace mirad {

// Names the view lists without a stored file behind them (the generated
// documents), which no file may replace or be added as.
using GeneratedName = std::function<bool(const std::string& name)>;

// What an edited generated document copied into a CE cabinet makes of it:
// the new cabinet's entries in stored order, their sources given by full
// path (or held here, or kept data of the old cabinet).
struct DocumentEdit {
    std::vector<PackEntry> entries;
    std::vector<uint8_t> setupBytes;
    std::deque<std::string> sources;  // what the entries' listName point at
};

// Rebuilds the cabinet from the generated document `name` (as listed) read
// from `path`; its errors are the update's. It is handed the cabinet's setup
// file to keep or let go, so its tables need not outlive what it reads.
using DocumentRebuild = std::function<Error(const std::string& name, const std::string& path, const Cabinet& cabinet,
                                            std::unique_ptr<CeSetup> setup, DocumentEdit* edit)>;

// When `cabinetPath` cannot be opened, a new cabinet is written there from
// the files of `list` (below `sourcePath`, stored under `subPath`),
// compressed as the settings' "Compression" says. Otherwise every listed
// file (subPath + name, compared without regard to case) replaces what the
// current view lists under that name: an installed file by its destination
// with macros or, with ExpandCE, by its device path; in the stored view, a
// stored file by its name. With "EditInstallation" on, a name the view does
// not list is added: in the installed view as a new installed file (below
// the directory macro or install directory that covers it), in the stored
// view (and in a plain cabinet) as a plain stored file. Nothing changes
// unless every name is taken; the cabinet keeps its compression. With
// `move`, packed sources are removed once the cabinet is in place. Every
// file's bytes are reported to `progress`, which may stop the work
// (Aborted, nothing changed). A generated document copied in on its own
// (at the top, with "EditInstallation" on) is handed to `rebuild`, and the
// cabinet becomes what that makes of it.
Error PackFilesInto(const char* cabinetPath, const char* subPath, const char* sourcePath, std::vector<ListName> list,
                    bool move, const ProgressCallback& progress = ProgressCallback(),
                    const GeneratedName& generated = GeneratedName(),
                    const DocumentRebuild& rebuild = DocumentRebuild());

// Removes what `list` (names as the current view lists them,
// "dir/*.*" for a whole directory of it) names, with "EditInstallation"
// on: an installed file (its copy-file row and, with its last row, its
// stored file), a shortcut, a stored file (and what it installs). Refused
// (NotSupported, the reason logged) and nothing changed for the setup file,
// a generated document, a file a remaining shortcut points at, a name not
// listed, or the cabinet's last file. The update's transaction, as
// PackFilesInto.
Error DeleteFromCabinet(const char* cabinetPath, const std::vector<ListName>& list,
                        const GeneratedName& generated = GeneratedName(),
                        const ProgressCallback& progress = ProgressCallback());

}  // namespace mirad
