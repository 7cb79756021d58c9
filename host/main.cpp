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
    "Browse, extract and build uncompressed cabinets, and Windows CE installation\n"
    "cabinets in particular, through the Mirad module.\n"
    "\n"
    "Commands:\n"
    "  list CAB                    one line per entry: size, date and time,\n"
    "                              attributes (R read-only, H hidden, S system,\n"
    "                              A archive), name. Shortcuts and the generated\n"
    "                              documents show the size of the file they extract\n"
    "                              to and the cabinet's date.\n"
    "  extract CAB [-d DIR] [NAME...]\n"
    "                              extract every entry, or the NAMEs, under DIR\n"
    "                              (default: the current directory), creating the\n"
    "                              directories names need. NAME matches ignoring\n"
    "                              case, with / and \\ alike; a directory NAME\n"
    "                              selects everything below it.\n"
    "                              -d - writes the entries to standard output, e.g.\n"
    "                              mirad extract CAB ~Cab~.INF -d -\n"
    "                              Naming ~Cab~.REG or ~Cab~.INF lists that document\n"
    "                              for the run even when the view would not.\n"
    "  test CAB                    read every entry's data, write nothing\n"
    "  pack CAB [-C DIR] [--prefix P] [--move] PATH...\n"
    "                              make a new cabinet of the files and directories\n"
    "                              PATH (relative to DIR, default the current\n"
    "                              directory); a directory adds everything below it.\n"
    "                              --prefix P stores every name under P\\.\n"
    "                              --move removes the sources once the cabinet is\n"
    "                              complete. CAB must not exist yet.\n"
    "  update CAB [-C DIR] NAME... replace installed files of an existing CE cabinet:\n"
    "                              NAME is a destination path as the setup file\n"
    "                              gives it (e.g. %CE1%\\Game\\game.exe, shown by\n"
    "                              list --installed without --expand); the new\n"
    "                              contents are read from DIR/NAME. Every entry\n"
    "                              keeps its name, date, time and attributes.\n"
    "\n"
    "View (what list, extract and test show):\n"
    "  --stored      stored names, nothing else (all options below off)\n"
    "  --installed   installed destination paths instead of stored names\n"
    "  --expand      replace %CE1%..%CE17% and %InstallDir% by device paths\n"
    "  --shortcuts   list the shortcuts the installation makes\n"
    "  --registry    list the generated registry export ~Cab~.REG\n"
    "  --inf         list the generated installation script ~Cab~.INF\n"
    "  --all         all five of the above options on\n"
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
    "rest is written inside DIR, and a warning names the entry.\n"
    "\n"
    "Options:\n"
    "  --module PATH   the module to load (default: Mirad.wcx beside mirad)\n"
    "  --config DIR    settings directory (default: $XDG_CONFIG_HOME/mirad, else\n"
    "                  ~/.config/mirad; %APPDATA%\\mirad on Windows); Mirad.ini is\n"
    "                  created there with every option off when missing\n"
    "  --log FILE      write the module's diagnostic log to FILE for this run\n"
    "  -h, --help      this text\n"
    "  --version       the version\n"
    "\n"
    "Exit status: 0 on success, 1 when something failed (a sentence on stderr\n"
    "says what), 2 for a command line mirad does not understand.\n";

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
    bool outputGiven = false, sourceGiven = false, prefixGiven = false;
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
            else if (TakeValue(argc, argv, &i, "-C", &options.sourceDir)) sourceGiven = true;
            else if (TakeValue(argc, argv, &i, "--prefix", &options.prefix)) prefixGiven = true;
            else if (argument == "--move") options.move = true;
            else if (argument == "--stored") options.viewGiven = true;
            else if (argument == "--installed") options.viewGiven = options.view[kExpandPath] = true;
            else if (argument == "--expand") options.viewGiven = options.view[kExpandCE] = true;
            else if (argument == "--shortcuts") options.viewGiven = options.view[kShowShortcuts] = true;
            else if (argument == "--registry") options.viewGiven = options.view[kShowRegistry] = true;
            else if (argument == "--inf") options.viewGiven = options.view[kShowInfFile] = true;
            else if (argument == "--all") {
                options.viewGiven = true;
                for (bool& on : options.view) on = true;
            } else {
                throw "unknown option '" + argument + "'";
            }
        }
        const std::string& c = options.command;
        if (outputGiven && c != "extract") throw std::string("-d applies to extract only");
        if (sourceGiven && c != "pack" && c != "update") throw std::string("-C applies to pack and update only");
        if ((prefixGiven || options.move) && c != "pack") throw std::string("--prefix and --move apply to pack only");
        if (outputGiven && options.outputDir.empty()) throw std::string("-d needs a directory");
    } catch (const std::string& problem) {
        Error(problem + " (see mirad --help)");
        return 2;
    }

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
    if (command == "list") return CommandList(options);
    if (command == "extract") return CommandExtract(options);
    if (command == "test") return CommandTest(options);
    if (command == "pack") return CommandPack(options);
    if (command == "update") return CommandUpdate(options);
    Error("unknown command '" + command + "' (see mirad --help)");
    return 2;
}
