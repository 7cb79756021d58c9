// `mirad update`: installed files of a CE cabinet replaced through
// PackFiles, named as any view lists them.
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

}  // namespace

int CommandUpdate(const Options& options) {
    const std::string& cabinet = options.arguments[0];
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
