// Skipping, testing and extracting the entry the listing returned last.
//
// Testing really reads a stored or installed file's bytes through the block
// source (writing nothing), so a damaged cabinet tests as damaged; shortcuts
// and generated entries, which have no stored bytes, test as good.
#include <cstring>
#include <string>
#include <vector>

#include "documents/documents.h"
#include "platform/host.h"
#include "setup/paths.h"
#include "support/io.h"
#include "support/log.h"
#include "support/output.h"
#include "support/paths.h"
#include "view/session.h"

namespace mirad {

// Whether the cursor points at an entry: not before the first ReadHeader,
// not after the end, and an index the phase's table holds.
bool ArchiveSession::HasCurrent() const {
    if (cursor_.index == 0) return false;
    uint16_t i = static_cast<uint16_t>(cursor_.index - 1);
    switch (cursor_.phase) {
        case ListPhase::Stored: return i < cabinet_.files().size();
        case ListPhase::Installed: return setup_ && i < setup_->copyFiles().size();
        case ListPhase::Shortcuts: return setup_ && i < setup_->shortcuts().size();
        case ListPhase::Documents: return setup_ && i < kGeneratedDocumentCount;
        case ListPhase::End: return false;
    }
    return false;
}

Error ArchiveSession::Test() {
    bool current = HasCurrent();
    uint16_t i = static_cast<uint16_t>(cursor_.index - 1);
    switch (cursor_.phase) {
        case ListPhase::Stored:
            return current ? cabinet_.TestFile(i, progress_, listedName_.c_str()) : BadData("no entry listed");
        case ListPhase::Installed: {
            int32_t k = current ? CarrierOf(i) : -1;
            return k >= 0 ? cabinet_.TestFile(static_cast<uint32_t>(k), progress_, listedName_.c_str())
                          : BadData("no stored file carries it");
        }
        case ListPhase::Shortcuts:
            return current ? kOk : BadData("no entry listed");
        default:
            // Generated entries have no stored bytes; past the end there is
            // nothing to test.
            return kOk;
    }
}

Error ArchiveSession::WriteShortcutFile(const Settings& settings, uint16_t index, const OutputTarget& destination) {
    char path[kPathSize];
    ShortcutPath(*setup_, index, path);
    LogMessage("Extracting Link %s -> %s", path, destination.path());
    OutputFile file;
    if (!file.Open(destination, OutputPolicy::Entry)) return CannotCreate("cannot create the shortcut file");
    ShortcutTarget(*setup_, index, path);
    ExpandMacrosIf(settings, path);
    TextWriter w;
    w.file = file.file();
    TextPrintf(w, "%d#\"%s\"\n", static_cast<int>(std::strlen(path) + 2), path);
    if (!FinishDocument(w, file)) return CannotCreate("the shortcut file could not be written");
    return kOk;
}

// A shortcut file or document is small and written at once: the host hears
// of it before (and may stop it then) and of its bytes after, when it is
// complete; a stop asked for then takes effect at the next entry.
void ArchiveSession::ReportWritten(const OutputTarget& destination, uint64_t size) const {
    if (!progress_) return;
    if (size == kUnknownLength) {
        size = 0;
        IoHandle file(IoOpenIn(destination.directory(), destination.name, IoMode::Read));
        if (file) IoSize(file.get(), &size);
    }
    Progress reported(progress_, listedName_.c_str());
    reported.Add(static_cast<size_t>(size));
    reported.Report();
}

// Stored and installed files get their stored date, time and attributes
// (the cabinet sets them); entries that stand for no stored file take the
// date the listing shows.
Error ArchiveSession::Extract(const Settings& settings, OutputTarget destination) {
    uint16_t i = static_cast<uint16_t>(cursor_.index - 1);
    Error result;
    bool stored = cursor_.phase == ListPhase::Stored || cursor_.phase == ListPhase::Installed;
    if (!stored && cursor_.phase != ListPhase::End) {
        Progress starting(progress_, listedName_.c_str());
        if (!starting.Report()) return Aborted("stopped by the host");
    }
    // A document writer tells the length it wrote; the file is measured
    // only when one does not.
    uint64_t written = kUnknownLength;
    destination.length = &written;
    IoStamp listedDate;
    listedDate.dosDate = generatedDate_;
    listedDate.dosTime = generatedTime_;
    switch (cursor_.phase) {
        case ListPhase::Stored:
            LogMessage("Extracting File %s -> %s", cabinet_.files()[i].name, destination.path());
            return cabinet_.CopyFile(i, destination, progress_, listedName_.c_str());
        case ListPhase::Installed: {
            LogMessage("Extracting File %s -> %s", setup_->copyFiles()[i].destPath, destination.path());
            int32_t k = CarrierOf(i);
            if (k < 0) return BadData("no stored file carries it");
            return cabinet_.CopyFile(static_cast<uint32_t>(k), destination, progress_, listedName_.c_str());
        }
        case ListPhase::Shortcuts:
            result = WriteShortcutFile(settings, i, destination.WithStamp(listedDate));
            break;
        case ListPhase::Documents: {
            const GeneratedDocument& d = kGeneratedDocuments[i];
            LogMessage("Extracting %s%s", d.label, destination.path());
            result = d.write(DocumentSource{path_.c_str(), cabinet_, *setup_, settings}, destination.WithStamp(listedDate));
            break;
        }
        case ListPhase::End:
            return kOk;
    }
    if (!result) ReportWritten(destination, written);
    return result;
}

namespace {

bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }

// A damaged entry, said in one line where no earlier line of the log says
// what is wrong.
Error Noted(const Error& error) {
    if (!error.Is(ErrorKind::BadData) || error.logged) return error;
    if (error.offset == Error::kNoOffset) LogMessage("Bad entry: %s", error.reason);
    else LogMessage("Bad entry: %s at offset %llu", error.reason, static_cast<unsigned long long>(error.offset));
    return error.Logged();
}

}  // namespace

Error ArchiveSession::Process(const Settings& settings, EntryOperation operation, const char* outputDir,
                              const char* outputName) {
    if (operation != EntryOperation::Extract) {
        output_.Close();
        LogMessage("Skipping File");
        if (operation == EntryOperation::Skip) return kOk;
        return Noted(Test());
    }
    if (cursor_.phase == ListPhase::End) return kOk;
    // Nothing was listed in this phase yet: there is no entry to write.
    if (!HasCurrent()) return BadData("no entry listed");

    // The directory and name are joined as given. A longer destination is
    // refused, never cut: a cut path could name another file.
    char destination[kPathSize] = "";
    if (outputDir && !AppendString(destination, sizeof destination, outputDir))
        return CannotCreate("destination path too long");
    if (outputName && !AppendString(destination, sizeof destination, outputName))
        return CannotCreate("destination path too long");
    if (!outputDir || !outputDir[0] || !outputName || !outputName[0]) {
        output_.Close();
        return Noted(Extract(settings, OutputTarget(destination)));
    }

    // A directory and a name below it: the directory is the host's, and
    // nothing below it is followed. Its part after its last separator
    // already belongs to the name, as joining them shows.
    const std::string joined = destination;
    const size_t cut = AfterLastSeparator(outputDir);
    std::vector<std::string> parts;
    std::string part;
    for (size_t i = cut; i <= joined.size(); ++i) {
        if (i < joined.size() && !IsPathSeparator(joined[i])) {
            part += joined[i];
            continue;
        }
        if (part == "..") return CannotCreate("a name that leaves the destination");
        if (!part.empty() && part != ".") parts.push_back(part);
        part.clear();
    }
    if (parts.empty() || IsPathSeparator(joined.back())) return CannotCreate("no file name below the destination");
    const std::string leaf = parts.back();
    parts.pop_back();
    if (Error blocked = output_.Open(cut ? joined.substr(0, cut) : std::string("."), parts)) return blocked;
    Error result = Extract(settings, OutputTarget(output_, leaf.c_str(), destination));
    // After a failure the next entry finds its way afresh.
    if (result) output_.Close();
    return Noted(result);
}

}  // namespace mirad
