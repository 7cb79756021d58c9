// `mirad update` and `mirad remove`: a cabinet changed through PackFiles
// and DeleteFiles, as a file manager changes it. Names go to the module as
// given; the module matches them against the view this run's settings make
// (device paths, destinations with macros, stored names), so mirad and a
// file manager take the same names the same way. An edited ~Cab~.REG or
// ~Cab~.INF given as the name rebuilds the setup file.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "cabinet/decoder.h"
#include "host/commands.h"
#include "host/facts.h"
#include "host/module.h"
#include "host/output.h"
#include "host/pack_list.h"
#include "host/progress.h"

namespace host {

namespace {

// The settings one change runs with: every name form matched at once for a
// replacement (device paths and stored names), the installed view for
// additions and removals, and editing on only where asked for. A private
// log carries the module's reason for a refusal.
SettingsChanges EditChanges(const Options& options, bool installedView, bool edit, const std::string& logDir) {
    SettingsChanges changes = LogChanges(options);
    if (changes.debugFile.empty()) changes.debugFile = JoinPath(logDir, "edit.log");
    for (int i = 0; i < kViewOptionCount; ++i) changes.view[i] = 0;
    changes.view[kExpandCE] = 1;
    changes.view[kExpandPath] = installedView ? 1 : 0;
    unsigned long long flags = options.fileFlags.empty() ? 0 : std::strtoull(options.fileFlags.c_str(), nullptr, 0);
    changes.values = {{"EditInstallation", edit ? "1" : "0"}, {"AddedFileFlags", std::to_string(flags)}};
    return changes;
}

// The lines the module wrote to the log after byte `from`.
std::vector<std::string> LogLinesAfter(const std::string& log, uint64_t from) {
    std::ifstream in(log, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(from));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// The module's reason for a refusal: its last "Not added:", "Not replaced:"
// or "Not removed:" line written after byte `from` of the log.
std::string ModuleReason(const std::string& log, uint64_t from) {
    std::string reason;
    for (const std::string& line : LogLinesAfter(log, from)) {
        for (const char* prefix : {"Not added: ", "Not replaced: ", "Not removed: "}) {
            std::string p = prefix;
            if (line.compare(0, p.size(), p) == 0) reason = line.substr(p.size());
        }
    }
    return reason;
}

void ChangeFailure(const std::string& verb, const std::string& cabinet, int32_t result, const std::string& reason) {
    const std::string prefix = "cannot " + verb + " " + Quoted(cabinet) + ": ";
    const std::string unlisted = "is not a file the view lists";
    if (result == MIRAD_NOT_SUPPORTED && reason.size() > unlisted.size() &&
        reason.compare(reason.size() - unlisted.size(), unlisted.size(), unlisted) == 0) {
        Error(prefix + Quoted(reason.substr(0, reason.size() - unlisted.size() - 1)) +
              " is not a file it lists (name it as 'mirad list' shows it: --installed, --installed --expand or "
              "--stored; --add adds it); nothing was changed");
    } else if (result == MIRAD_NOT_SUPPORTED && !reason.empty()) {
        Error(prefix + reason + "; nothing was changed");
    } else if (result == MIRAD_NOT_SUPPORTED) {
        Error(prefix + "a NAME is not a file it lists (name it as 'mirad list' shows it: --installed, "
                       "--installed --expand or --stored), or beyond what a cabinet holds; nothing was changed");
    } else if (result == MIRAD_EOPEN) {
        Error(prefix + "a new file could not be read as planned; nothing was changed");
    } else if (result == MIRAD_ECREATE && IsReadOnlyFile(cabinet)) {
        Error(prefix + "it is read-only; nothing was changed");
    } else if (result == MIRAD_ECREATE) {
        std::string why = WhyCannotCreate(JoinPath(ParentDirectory(cabinet), ".mirad-probe"), FileSize(cabinet));
        Error(prefix + "the new cabinet could not be written beside it" + (why.empty() ? "" : " (" + why + ")") +
              "; nothing was changed");
    } else if (result == MIRAD_BAD_DATA || result == MIRAD_UNKNOWN_FORMAT) {
        Error(WhyRefused(cabinet, result));
    } else {
        Error(prefix + ResultText(result));
    }
}

// The module's verdict on the cabinet first, as a file manager would get it.
bool Opens(const Session& session, const std::string& cabinet) {
    Archive archive(session);
    return archive.Open(cabinet);
}

// An edited ~Cab~.REG or ~Cab~.INF copied back as a file manager copies it,
// with EditInstallation on for the run. The module says what the document
// cannot carry in its log, one line naming the document and the line;
// mirad shows those lines.
int UpdateDocument(const Options& options) {
    const std::string& cabinet = options.arguments[0];
    const std::string& name = options.arguments[1];
    if (options.arguments.size() != 2) {
        Error("cannot update " + Quoted(cabinet) + ": " + Quoted(name) +
              " rebuilds the setup file, so it is copied back on its own; nothing was changed");
        return 1;
    }
    std::string file = SourcePrefix(options) + name;
    std::string why = WhyCannotRead(file);
    if (!why.empty()) {
        Error("cannot update " + Quoted(cabinet) + ": cannot read " + Quoted(file) + ": " + why +
              "; nothing was changed");
        return 1;
    }
    TempDirectory logDir;
    if (logDir.path.empty()) {
        Error("cannot create a temporary directory for the module's log");
        return 1;
    }
    SettingsChanges changes = EditChanges(options, true, true, logDir.path);
    Session session;
    if (!session.Start(options, changes)) return 1;
    if (!Opens(session, cabinet)) return 1;
    uint64_t logStart = FileSize(changes.debugFile);
    int32_t result = PackFiles(session, cabinet, "", SourcePrefix(options), {name}, 0);
    if (result == MIRAD_ABORTED) {
        Error("interrupted; " + Quoted(cabinet) + " is as it was");
        return kInterruptedStatus;
    }
    std::vector<std::string> said = ModuleSaid(changes.debugFile, logStart, DocumentName(name));
    for (size_t i = 0; i + 1 < said.size(); ++i) Warning(said[i]);
    if (result != MIRAD_OK) {
        if (!said.empty()) {
            Error(said.back() + "; " + Quoted(cabinet) + " was not changed");
        } else {
            ChangeFailure("update", cabinet, result, ModuleReason(changes.debugFile, logStart));
        }
        return 1;
    }
    if (!said.empty()) Warning(said.back());
    if (!Quiet()) std::printf("Updated '%s': setup file rebuilt from %s.\n", Printable(cabinet).c_str(), name.c_str());
    return 0;
}

}  // namespace

int CommandUpdate(const Options& options) {
    const std::string& cabinet = options.arguments[0];
    for (size_t i = 1; i < options.arguments.size(); ++i)
        if (IsDocumentName(options.arguments[i])) return UpdateDocument(options);
    std::string source = SourcePrefix(options);
    std::vector<std::string> names;
    for (size_t i = 1; i < options.arguments.size(); ++i) {
        // The module reads a file from the source prefix + the name, so the
        // name takes this system's separators.
        std::string file = source + NativeSeparators(options.arguments[i]);
        std::string why = WhyCannotRead(file);
        if (!why.empty()) {
            Error("cannot update " + Quoted(cabinet) + ": cannot read the replacement " + Quoted(file) + ": " + why +
                  "; nothing was changed");
            return 1;
        }
        names.push_back(NativeSeparators(options.arguments[i]));
    }
    TempDirectory logDir;
    if (logDir.path.empty()) {
        Error("cannot create a temporary directory for the module's log");
        return 1;
    }
    SettingsChanges changes = EditChanges(options, options.add, options.add, logDir.path);
    Session session;
    if (!session.Start(options, changes)) return 1;
    if (!Opens(session, cabinet)) return 1;
    // The module keeps the cabinet's compression; one that mixes methods is
    // written in one, which the user is told.
    std::set<std::string> methods;
    uint64_t before = 0;
    {
        CabinetFacts facts;
        facts.Read(cabinet);
        for (const mirad::CabFolder& folder : facts.cabinet().folders()) methods.insert(MethodName(folder.typeCompress));
        before = facts.cabinet().length();
    }
    uint64_t logStart = FileSize(changes.debugFile);
    int32_t result = PackFiles(session, cabinet, "", source, names, 0);
    if (result == MIRAD_ABORTED) {
        Error("interrupted; " + Quoted(cabinet) + " is as it was");
        return kInterruptedStatus;
    }
    if (result != MIRAD_OK) {
        ChangeFailure("update", cabinet, result, ModuleReason(changes.debugFile, logStart));
        return 1;
    }
    if (options.quiet) return 0;
    // The module logs each file it adds; the other names were replaced.
    size_t added = 0;
    if (options.add)
        for (const std::string& line : LogLinesAfter(changes.debugFile, logStart)) added += line.rfind("Adding ", 0) == 0;
    const size_t replaced = names.size() - std::min(added, names.size());
    std::string what;
    if (replaced > 0 || added == 0) what = "replaced " + Count(replaced, "file", "files");
    if (added > 0) what += (what.empty() ? "added " : ", added ") + Count(added, "file", "files");
    std::printf("Updated '%s': %s.\n", Printable(cabinet).c_str(), what.c_str());
    mirad::CabinetSurvey after = Survey(cabinet);
    if (methods.size() > 1 && !after.folders.empty()) {
        std::string method = MethodName(after.folders[0].typeCompress);
        std::printf("It mixed stored and MSZIP folders and is now written %s, as most of its data was: "
                    "%llu bytes, was %llu.\n",
                    method == "none" ? "stored" : method.c_str(), static_cast<unsigned long long>(after.length),
                    static_cast<unsigned long long>(before));
    }
    return 0;
}

int CommandRemove(const Options& options) {
    const std::string& cabinet = options.arguments[0];
    TempDirectory logDir;
    if (logDir.path.empty()) {
        Error("cannot create a temporary directory for the module's log");
        return 1;
    }
    // The installed view unless a view is given: a stored name is removed
    // with --stored.
    SettingsChanges changes = EditChanges(options, !options.viewGiven || options.view[kExpandPath], true, logDir.path);
    if (options.viewGiven) changes.view[kExpandCE] = options.view[kExpandCE] ? 1 : 0;
    Session session;
    if (!session.Start(options, changes)) return 1;
    if (!Opens(session, cabinet)) return 1;
    std::string list;
    for (size_t i = 1; i < options.arguments.size(); ++i) list += options.arguments[i] + '\0';
    list += '\0';
    std::string path = cabinet;
    uint64_t logStart = FileSize(changes.debugFile);
    int32_t result = session.api().DeleteFiles ? session.api().DeleteFiles(&path[0], &list[0]) : MIRAD_NOT_SUPPORTED;
    if (result != MIRAD_OK) {
        ChangeFailure("remove from", cabinet, result, ModuleReason(changes.debugFile, logStart));
        return 1;
    }
    if (!options.quiet) {
        size_t n = options.arguments.size() - 1;
        std::printf("Removed %zu name%s from '%s'.\n", n, n == 1 ? "" : "s", Printable(cabinet).c_str());
    }
    return 0;
}

}  // namespace host
