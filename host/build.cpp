// `mirad build`: PackFiles asked for a new cabinet from one CE INF, as a file
// manager asks for it with BuildFromInf on. The module says what is wrong
// with the INF in its log, one line naming the INF and the line; mirad
// hands it a log and shows those lines.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "host/commands.h"
#include "host/facts.h"
#include "host/module.h"
#include "host/output.h"
#include "host/pack_list.h"
#include "host/progress.h"

namespace host {

namespace {

bool EndsInInf(const std::string& name) { return name.size() > 4 && Lower(name.substr(name.size() - 4)) == ".inf"; }

// The wizard's name for the cabinet: the INF's, with the processor when one
// is given, beside the INF.
std::string DefaultOutput(const std::string& folder, const std::string& name, const std::string& cpu) {
    std::string base = name;
    if (EndsInInf(base)) base.resize(base.size() - 4);
    return folder + base + (cpu.empty() ? "" : "." + cpu) + ".cab";
}

// What keeps the build from starting, said; false then.
bool CanBuild(const Options& options, const std::string& inf, const std::string& name, const std::string& output) {
    if (!IsRegularFile(inf)) {
        std::string why = WhyCannotRead(inf);
        Error("cannot build from " + Quoted(inf) + ": " + (why.empty() ? "not a regular file" : why));
        return false;
    }
    if (PathExists(output)) {
        Error(Quoted(output) + " already exists: build makes new cabinets");
        return false;
    }
    if (!options.sourceDir.empty() && !IsDirectory(options.sourceDir)) {
        Error("cannot build from " + Quoted(options.sourceDir) + ": no such directory");
        return false;
    }
    if (!EndsInInf(name)) {
        Error("cannot build from " + Quoted(inf) + ": an INF's name ends in .inf");
        return false;
    }
    return true;
}

// The lines the module wrote about the INF `name` after byte `from` of its
// log: its warnings, then the error.
std::vector<std::string> ModuleSaid(const std::string& log, uint64_t from, const std::string& name) {
    std::vector<std::string> said;
    std::ifstream in(log, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(from));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, name.size() + 1, name + ":") == 0) said.push_back(line);
    }
    return said;
}

int Failed(int32_t result, const std::string& inf, const std::string& output, const std::vector<std::string>& said) {
    if (result == MIRAD_ABORTED) {
        Error("interrupted; " + Quoted(output) + " was not made");
        return kInterruptedStatus;
    }
    for (size_t i = 0; i + 1 < said.size(); ++i) Warning(said[i]);
    if (!said.empty()) {
        Error(said.back() + "; " + Quoted(output) + " was not written");
    } else if (!PathExists(output) && (result == MIRAD_EOPEN || result == MIRAD_ECREATE)) {
        std::string why = WhyCannotCreate(output, 0);
        Error("cannot create " + Quoted(output) + ": " + (why.empty() ? ResultText(result) : why));
    } else {
        Error("cannot build " + Quoted(output) + " from " + Quoted(inf) + ": " + ResultText(result) +
              " (is it a CE INF, [Version] CESignature = \"$Windows CE$\"?)");
    }
    return 1;
}

}  // namespace

int CommandBuild(const Options& options) {
    const std::string& inf = options.arguments[0];
    size_t cut = inf.find_last_of("/\\");
    std::string folder = cut == std::string::npos ? std::string() : inf.substr(0, cut + 1);
    std::string name = inf.substr(folder.size());
    std::string output = options.output.empty() ? DefaultOutput(folder, name, options.cpu) : options.output;
    if (!CanBuild(options, inf, name, output)) return 1;

    TempDirectory logDir;
    if (logDir.path.empty()) {
        Error("cannot create a temporary directory for the module's log");
        return 1;
    }
    SettingsChanges changes = LogChanges(options);
    if (changes.debugFile.empty()) changes.debugFile = JoinPath(logDir.path, "build.log");
    changes.compression = options.compress ? "MSZIP" : "none";
    changes.values = {{"BuildFromInf", "1"},
                      {"BuildProcessor", options.cpu},
                      {"BuildSourceDir", options.sourceDir.empty() ? "" : AbsolutePath(options.sourceDir)},
                      {"BuildStrict", options.strict ? "1" : "0"}};
    uint64_t logStart = FileSize(changes.debugFile);
    int32_t result;
    {
        Session session;
        if (!session.Start(options, changes)) return 1;
        result = PackFiles(session, output, "", folder, {name}, 0);
    }
    std::vector<std::string> said = ModuleSaid(changes.debugFile, logStart, name);
    if (result != MIRAD_OK) return Failed(result, inf, output, said);
    // A text that is no CE INF went into a cabinet of its own, as any file
    // would: that is not what build makes.
    bool ce;
    {
        CabinetFacts facts;
        ce = facts.Read(output) && facts.setup();
    }
    if (!ce) {
        std::remove(output.c_str());
        Error("cannot build from " + Quoted(inf) + ": not a CE INF ([Version] has no CESignature = "
              "\"$Windows CE$\"); nothing was written");
        return 1;
    }
    for (const std::string& warning : said) Warning(warning);
    if (!Quiet()) std::printf("Built '%s' from '%s'.\n", Printable(output).c_str(), Printable(inf).c_str());
    return 0;
}

}  // namespace host
