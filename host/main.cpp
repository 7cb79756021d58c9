// mirad: the command line over the Mirad module.
#include <cstdio>
#include <cstring>
#include <string>

#include "host/host.h"

#ifndef MIRAD_VERSION
#define MIRAD_VERSION "unknown"
#endif

namespace {

const char kHelp[] =
    "Usage: mirad [OPTIONS] COMMAND CABINET [ARGUMENTS]\n"
    "\n"
    "Browse, extract and build cabinets (stored or MSZIP-compressed), and Windows\n"
    "CE installation cabinets in particular, through the Mirad module.\n"
    "\n"
    "Commands:\n"
    "  list CAB [NAME...]          one line per entry: size, date and time,\n"
    "                              attributes (R read-only, H hidden, S system,\n"
    "                              A archive), name. Shortcuts and the generated\n"
    "                              documents show the size of the file they extract\n"
    "                              to and the setup file's date.\n"
    "                              On a terminal a header and a totals line\n"
    "                              (entries, bytes) frame the list.\n"
    "      --long                  add the attribute bits, folder, offset and\n"
    "                              stored name of each entry\n"
    "      --json                  the listing as JSON (fields in the README)\n"
    "  info CAB [--json]           the cabinet's folders and their compression, the\n"
    "                              setup file's facts (application, provider,\n"
    "                              processor, OS versions and builds, unsupported\n"
    "                              platforms, counts) and each stored name with\n"
    "                              the device path it is installed as\n"
    "  extract CAB [-d DIR] [NAME...]\n"
    "                              extract every entry, or the NAMEs, under DIR\n"
    "                              (default: the current directory), creating the\n"
    "                              directories names need.\n"
    "      -d -                    write the entries to standard output, e.g.\n"
    "                              mirad extract CAB ~Cab~.INF -d -\n"
    "      -o, --overwrite         replace existing files (the default)\n"
    "      -n, --no-overwrite      keep existing files, saying which were kept\n"
    "      -v, --verbose           name each file written\n"
    "      --sources               lay out what build needs to make the CE cabinet\n"
    "                              again: the installed files by destination,\n"
    "                              ~Cab~.INF and, beside it, the setup DLL\n"
    "                              Naming ~Cab~.REG or ~Cab~.INF lists that document\n"
    "                              for the run even when the view would not.\n"
    "  test CAB [NAME...]          read every entry's data (or the NAMEs'), write\n"
    "                              nothing; -v names each entry tested\n"
    "  pack CAB [-C DIR] [--prefix P] [--move] [-z] PATH...\n"
    "                              make a new cabinet of the files and directories\n"
    "                              PATH (relative to DIR, default the current\n"
    "                              directory; . is all of DIR's contents); a\n"
    "                              directory adds everything below it.\n"
    "                              --prefix P stores every name under P\\.\n"
    "                              --move removes the sources once the cabinet is\n"
    "                              complete. CAB must not exist yet. A selection\n"
    "                              without files, or a file of 4 GiB or more, is\n"
    "                              refused and nothing is written.\n"
    "      -z, --compress          compress the folders with MSZIP (without it\n"
    "                              they are stored)\n"
    "  build INF [-o OUT.cab] [--cpu NAME] [-z] [-C DIR] [--strict]\n"
    "                              make the CE cabinet a cabinet-wizard INF\n"
    "                              describes, its sources found where the INF's\n"
    "                              [SourceDisksNames] say, relative to the INF's\n"
    "                              folder (or DIR; no source may then lie outside\n"
    "                              it). OUT.cab (default: the INF's name beside it,\n"
    "                              NAME.CPU.cab with --cpu) must not exist yet.\n"
    "                              mirad extract --sources CAB -d T, then mirad\n"
    "                              build T/~Cab~.INF, rebuilds a CE cabinet; edit\n"
    "                              T in between to change it.\n"
    "      --cpu NAME              use the INF's [Section.NAME] parts too\n"
    "      -z, --compress          compress the folders with MSZIP\n"
    "      --strict                fail on what the wizard would ignore (the\n"
    "                              warnings)\n"
    "  update CAB [-C DIR] NAME... replace installed files of an existing CE cabinet:\n"
    "                              NAME is an installed file as list shows it in\n"
    "                              any view (%CE1%\\Game\\game.exe with --installed,\n"
    "                              Program Files\\Game\\game.exe with --expand, or\n"
    "                              its stored name); the new contents are read\n"
    "                              from DIR/NAME. Every entry keeps its name, date,\n"
    "                              time and attributes, and the cabinet its\n"
    "                              compression (one that mixes stored and MSZIP\n"
    "                              folders is written as most of its data was).\n"
    "\n"
    "Selecting entries (list, extract, test):\n"
    "  NAME          an entry name or a wildcard pattern (* any run, ? one\n"
    "                character, [...] a set; quote it for the shell), matched\n"
    "                ignoring case with / and \\ alike against whole names; a\n"
    "                directory selects everything below it. A NAME that matches\n"
    "                nothing is an error.\n"
    "  -x PATTERN    leave out the entries PATTERN matches (repeatable)\n"
    "\n"
    "View (what list, extract and test show):\n"
    "  --stored      stored names, nothing else (all options below off)\n"
    "  --installed   installed destination paths instead of stored names\n"
    "  --expand      replace %CE1%..%CE17% and %InstallDir% by device paths\n"
    "                (implies --installed)\n"
    "  --shortcuts   list the shortcuts the installation makes\n"
    "  --registry    list the generated registry export ~Cab~.REG\n"
    "  --inf         list the generated installation script ~Cab~.INF\n"
    "  --full-view   all five of the above options on (--all is the same)\n"
    "  With any view flag the view is exactly the flags given (the others off);\n"
    "  with none, the settings file decides (ExpandPath, ExpandCE, ShowShortcuts,\n"
    "  ShowRegistry, ShowInfFile). Flags never change the settings file: mirad\n"
    "  hands the module a private copy with the flags set. The module always\n"
    "  prefers a Mirad.ini beside itself; mirad then runs a private copy of the\n"
    "  module next to that private settings file, so the flags still apply.\n"
    "  Extracting with --installed writes the device layout (Program Files\\...,\n"
    "  Windows\\...) under DIR, shortcut files included.\n"
    "\n"
    "Safety: an entry name that would leave DIR (\"..\", a leading / or \\, a drive\n"
    "letter such as C:) is never written outside it: those parts are dropped, the\n"
    "rest is written inside DIR, and a warning names the entry. Links already\n"
    "inside DIR are never followed: an entry whose way in is a link is refused\n"
    "with a message, and a link under an entry's own name is replaced, not\n"
    "written through. An existing file is replaced only once its new content is\n"
    "complete; a failed entry leaves it as it was.\n"
    "pack writes the cabinet beside its name and takes the name only once the\n"
    "cabinet is complete and on disk (--move removes sources only after that).\n"
    "update follows a link to the cabinet, keeps its permissions, refuses a\n"
    "read-only cabinet, and waits for another update of the same cabinet.\n"
    "\n"
    "Options:\n"
    "  -q, --quiet     no warnings, no summary lines and no progress line; errors\n"
    "                  only (on a terminal, a progress line on stderr shows for\n"
    "                  extract, pack and update when they take over a second)\n"
    "  --module PATH   the module to load (default: Mirad.wcx beside mirad, else\n"
    "                  ../lib/mirad/Mirad.wcx from mirad's directory)\n"
    "  --config DIR    settings directory (default: $XDG_CONFIG_HOME/mirad, else\n"
    "                  ~/.config/mirad; %APPDATA%\\mirad on Windows); Mirad.ini is\n"
    "                  created there with every option off when missing\n"
    "  --log FILE      write the module's diagnostic log to FILE for this run\n"
    "  -h, --help      this text\n"
    "  --version       the version\n"
    "\n"
    "Ctrl-C (or SIGTERM) stops list, extract, test, pack and update cleanly: nothing\n"
    "partial is left under a final name, an existing file or cabinet is kept as\n"
    "it was, and mirad says \"interrupted\" and exits with status 130.\n"
    "\n"
    "Errors name the file and the reason: the system's own words for files that\n"
    "cannot be read or written, and what is wrong with a cabinet Mirad refuses\n"
    "(empty, not a cabinet, truncated, compressed, part of a multi-part set).\n"
    "\n"
    "Exit status: 0 on success, 1 when something failed (a sentence on stderr\n"
    "says what, control characters in names shown escaped as \\x1b, \\n...),\n"
    "2 for a command line mirad does not understand, 130 when interrupted.\n";

bool TakeValue(int argc, char** argv, int* i, const char* flag, std::string* value) {
    std::string argument = argv[*i];
    std::string prefix = std::string(flag) + "=";
    if (argument.compare(0, prefix.size(), prefix) == 0 && prefix.size() > 2) {
        *value = argument.substr(prefix.size());
        return true;
    }
    if (argument != flag) return false;
    if (*i + 1 >= argc) throw std::string(flag) + " needs a value";
    *value = argv[++*i];
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace host;
    Options options;
    bool help = false, version = false, optionsEnded = false;
    bool outputGiven = false, sourceGiven = false, prefixGiven = false, overwriteGiven = false, buildGiven = false;
    std::string value;
    try {
        for (int i = 1; i < argc; ++i) {
            std::string argument = argv[i];
            bool isOption = !optionsEnded && argument.size() > 1 && argument[0] == '-';
            if (!isOption) {
                if (options.command.empty()) options.command = argument;
                else options.arguments.push_back(argument);
                continue;
            }
            if (argument == "--") optionsEnded = true;
            else if (argument == "-h" || argument == "--help") help = true;
            else if (argument == "--version") version = true;
            else if (TakeValue(argc, argv, &i, "--module", &options.modulePath)) {}
            else if (TakeValue(argc, argv, &i, "--config", &options.configDir)) {}
            else if (TakeValue(argc, argv, &i, "--log", &options.logFile)) {}
            else if (TakeValue(argc, argv, &i, "-d", &options.outputDir)) outputGiven = true;
            else if (options.command == "build" && TakeValue(argc, argv, &i, "-o", &options.output)) buildGiven = true;
            else if (TakeValue(argc, argv, &i, "--output", &options.output)) buildGiven = true;
            else if (TakeValue(argc, argv, &i, "--cpu", &options.cpu)) buildGiven = true;
            else if (argument == "--strict") options.strict = buildGiven = true;
            else if (argument == "--sources") options.sources = true;
            else if (TakeValue(argc, argv, &i, "-C", &options.sourceDir)) sourceGiven = true;
            else if (TakeValue(argc, argv, &i, "--prefix", &options.prefix)) prefixGiven = true;
            else if (TakeValue(argc, argv, &i, "-x", &value)) options.excludes.push_back(value);
            else if (argument == "--move") options.move = true;
            else if (argument == "-z" || argument == "--compress") options.compress = true;
            else if (argument == "-n" || argument == "--no-overwrite") options.keepExisting = overwriteGiven = true;
            else if (argument == "-o" || argument == "--overwrite") {
                options.keepExisting = false;
                overwriteGiven = true;
            }
            else if (argument == "-v" || argument == "--verbose") options.verbose = true;
            else if (argument == "-q" || argument == "--quiet") options.quiet = true;
            else if (argument == "--long") options.longFormat = true;
            else if (argument == "--json") options.json = true;
            else if (argument == "--stored") options.viewGiven = true;
            else if (argument == "--installed") options.viewGiven = options.view[kExpandPath] = true;
            else if (argument == "--expand") options.viewGiven = options.view[kExpandCE] = true;
            else if (argument == "--shortcuts") options.viewGiven = options.view[kShowShortcuts] = true;
            else if (argument == "--registry") options.viewGiven = options.view[kShowRegistry] = true;
            else if (argument == "--inf") options.viewGiven = options.view[kShowInfFile] = true;
            else if (argument == "--full-view" || argument == "--all") {
                options.viewGiven = true;
                for (bool& on : options.view) on = true;
            } else {
                throw "unknown option '" + argument + "'";
            }
        }
        // Device paths are installed paths: --expand alone means both.
        if (options.view[kExpandCE]) options.view[kExpandPath] = true;
        const std::string& c = options.command;
        static const char* const kCommands[] = {"list", "info", "extract", "test", "pack", "update", "build"};
        bool known = false;
        for (const char* name : kCommands) known = known || c == name;
        if (!c.empty() && !known && !help && !version) throw "unknown command '" + c + "'";
        if (outputGiven && c != "extract") throw std::string("-d applies to extract only");
        if (overwriteGiven && c != "extract") throw std::string("-n and -o apply to extract only");
        if (sourceGiven && c != "pack" && c != "update" && c != "build")
            throw std::string("-C applies to pack, update and build only");
        if ((prefixGiven || options.move) && c != "pack") throw std::string("--prefix and --move apply to pack only");
        if (options.compress && c != "pack" && c != "build") throw std::string("--compress applies to pack and build only");
        if (buildGiven && c != "build") throw std::string("-o, --cpu and --strict apply to build only");
        if (options.sources && c != "extract") throw std::string("--sources applies to extract only");
        if (options.sources && options.viewGiven)
            throw std::string("--sources chooses its own view; give no view flags with it");
        if (!options.excludes.empty() && c != "list" && c != "extract" && c != "test")
            throw std::string("-x applies to list, extract and test only");
        if (options.longFormat && c != "list") throw std::string("--long applies to list only");
        if (options.json && c != "list" && c != "info") throw std::string("--json applies to list and info only");
        if (outputGiven && options.outputDir.empty()) throw std::string("-d needs a directory");
    } catch (const std::string& problem) {
        Error(problem + " (see mirad --help)");
        return 2;
    }
    gQuiet = options.quiet;

    if (help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (version) {
        std::printf("mirad %s\n", MIRAD_VERSION);
        return 0;
    }
    const std::string& command = options.command;
    if (command.empty()) {
        Error("no command given (see mirad --help)");
        return 2;
    }
    int (*run)(const Options&) = CommandUpdate;
    if (command == "list") run = CommandList;
    if (command == "info") run = CommandInfo;
    if (command == "extract") run = CommandExtract;
    if (command == "test") run = CommandTest;
    if (command == "pack") run = CommandPack;
    if (command == "build") run = CommandBuild;
    SetQuiet(options.quiet);
    InstallInterruptHandlers();
    int status = run(options);
    // A listing cut short by a full disk or a closed pipe is a failure.
    if (!StdoutWritten()) {
        Error("cannot write to standard output");
        if (status == 0) status = 1;
    }
    return status;
}
