// `mirad update`: installed files of a CE cabinet replaced through
// PackFiles, named as any view lists them, or its setup file rebuilt from an
// edited ~Cab~.REG or ~Cab~.INF.
#include <cstdio>
#include <filesystem>
#include <memory>
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

namespace fs = std::filesystem;

namespace host {

namespace {

// The names PackFiles takes and the files the replacements are read from.
struct Replacements {
    std::vector<std::string> names, files;
    bool translated = false;  // a name was given as another view lists it
};

// The destination (with macros) of the installed file `given` names in any
// view: its destination, its device path or its stored name; empty when none.
std::string DestinationOf(const CabinetFacts& facts, const std::vector<Install>& installs, const std::string& given) {
    std::string key = NameKey(given);
    for (const Install& install : installs) {
        if (NameKey(install.destination) == key) return install.destination;
    }
    for (const Install& install : installs) {
        if (NameKey(install.devicePath) == key) return install.destination;
    }
    for (const Install& install : installs) {
        if (install.stored >= 0 && NameKey(facts.cabinet().files()[static_cast<size_t>(install.stored)].name) == key)
            return install.destination;
    }
    return "";
}

bool Resolve(const Options& options, const CabinetFacts& facts, const std::vector<Install>& installs,
             Replacements* out) {
    const std::string& cabinet = options.arguments[0];
    std::string source = SourcePrefix(options);
    for (size_t i = 1; i < options.arguments.size(); ++i) {
        const std::string& given = options.arguments[i];
        std::string destination = DestinationOf(facts, installs, given);
        if (destination.empty()) {
            Error("cannot update " + Quoted(cabinet) + ": " + Quoted(given) +
                  " is not a file it installs (name it as 'mirad list' shows it: --installed, --installed --expand "
                  "or --stored); nothing was changed");
            return false;
        }
        std::string file = source + NativeSeparators(given);
        std::string why = WhyCannotRead(file);
        if (!why.empty()) {
            Error("cannot update " + Quoted(cabinet) + ": cannot read the replacement " + Quoted(file) + ": " + why +
                  "; nothing was changed");
            return false;
        }
        bool same = NameKey(destination) == NameKey(given);
        out->translated = out->translated || !same;
        // The module matches names with either separator; the replacement is
        // read from the source prefix + the name, so it takes this system's.
        out->names.push_back(NativeSeparators(same ? given : destination));
        out->files.push_back(file);
    }
    return true;
}

// The module reads replacements under the destination name, so files named
// as another view shows them are linked or copied there.
bool Stage(const Replacements& r, TempDirectory* staging) {
    if (staging->path.empty()) {
        Error("cannot create a temporary directory for the replacements");
        return false;
    }
    for (size_t i = 0; i < r.names.size(); ++i) {
        std::string staged = JoinPath(staging->path, r.names[i]);
        std::error_code error;
        fs::create_directories(fs::path(staged).parent_path(), error);
        fs::create_hard_link(fs::path(r.files[i]), fs::path(staged), error);
        if (error && !CopyFileBytes(r.files[i], staged)) {
            Error("cannot stage the replacement " + Quoted(r.files[i]) + " in a temporary directory");
            return false;
        }
    }
    return true;
}

void UpdateFailure(const std::string& cabinet, int32_t result) {
    const std::string prefix = "cannot update " + Quoted(cabinet) + ": ";
    if (result == MIRAD_NOT_SUPPORTED) {
        Error(prefix + "not supported (a name too long, or beyond what a cabinet holds); nothing was changed");
    } else if (result == MIRAD_EOPEN) {
        Error(prefix + "a replacement file could not be read as planned; nothing was changed");
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

// An edited ~Cab~.REG or ~Cab~.INF copied back as a file manager copies it,
// with EditInstallation on for the run. The module says what the document
// cannot carry in its log, one line naming the document and the line;
// mirad hands it a log and shows those lines.
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
    SettingsChanges changes = LogChanges(options);
    if (changes.debugFile.empty()) changes.debugFile = JoinPath(logDir.path, "update.log");
    changes.values = {{"EditInstallation", "1"}};
    uint64_t logStart = FileSize(changes.debugFile);
    int32_t result;
    {
        Session session;
        if (!session.Start(options, changes)) return 1;
        result = PackFiles(session, cabinet, "", SourcePrefix(options), {name}, 0);
    }
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
            UpdateFailure(cabinet, result);
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
    Session session;
    if (!session.Start(options, LogChanges(options))) return 1;
    {
        // The module's verdict first, as a file manager would get it.
        Archive archive(session);
        if (!archive.Open(cabinet)) return 1;
    }
    CabinetFacts facts;
    facts.Read(cabinet);
    if (!facts.setup()) {
        Error("cannot update " + Quoted(cabinet) +
              ": it is not a CE installation cabinet (it has no setup file), so it installs nothing to replace; "
              "make a new cabinet with pack");
        return 1;
    }
    Replacements replacements;
    if (!Resolve(options, facts, facts.Installs(session.settings()), &replacements)) return 1;
    std::string source = SourcePrefix(options);
    std::unique_ptr<TempDirectory> staging;
    if (replacements.translated) {
        staging.reset(new TempDirectory());
        if (!Stage(replacements, staging.get())) return 1;
        source = staging->path + kSeparator;
    }
    // The module keeps the cabinet's compression; one that mixes methods is
    // written in one, which the user is told.
    std::set<std::string> methods;
    for (const mirad::CabFolder& folder : facts.cabinet().folders()) methods.insert(MethodName(folder.typeCompress));
    uint64_t before = facts.cabinet().length();
    facts.CloseFile();
    int32_t result = PackFiles(session, cabinet, "", source, replacements.names, 0);
    if (result == MIRAD_ABORTED) {
        Error("interrupted; " + Quoted(cabinet) + " is as it was");
        return kInterruptedStatus;
    }
    if (result != MIRAD_OK) {
        UpdateFailure(cabinet, result);
        return 1;
    }
    if (options.quiet) return 0;
    size_t n = replacements.names.size();
    std::printf("Updated '%s': replaced %zu file%s.\n", Printable(cabinet).c_str(), n, n == 1 ? "" : "s");
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

}  // namespace host
