// The command table and what follows from it: parsing, the checks of which
// option goes with which command, and --help.
#include "host/cli.h"

#include <cstdlib>
#include <cstring>

#include "host/commands.h"

namespace host {

const char* const kViewKeys[kViewOptionCount] = {"ExpandCE", "ExpandPath", "ShowRegistry", "ShowShortcuts",
                                                 "ShowInfFile"};

namespace {

const char kSelectionArguments[] = "a cabinet and optionally NAMEs or patterns";

const std::vector<Command> kCommands = {
    {"list", "CAB [NAME...]",
     "one line per entry: size, date and time,\n"
     "attributes (R read-only, H hidden, S system,\n"
     "A archive), name. Shortcuts and the generated\n"
     "documents show the size of the file they extract\n"
     "to and the setup file's date.\n"
     "On a terminal a header and a totals line\n"
     "(entries, bytes) frame the list.",
     CommandList, 1, SIZE_MAX, kSelectionArguments},
    {"info", "CAB [--json]",
     "the cabinet's folders and their compression, the\n"
     "setup file's facts (application, provider,\n"
     "processor, OS versions and builds, unsupported\n"
     "platforms, counts) and each stored name with\n"
     "the device path it is installed as",
     CommandInfo, 1, 1, "one cabinet"},
    {"extract", "CAB [-d DIR] [NAME...]",
     "extract every entry, or the NAMEs, under DIR\n"
     "(default: the current directory), creating the\n"
     "directories names need.\n"
     "Naming ~Cab~.REG or ~Cab~.INF lists that document\n"
     "for the run even when the view would not.",
     CommandExtract, 1, SIZE_MAX, kSelectionArguments},
    {"test", "CAB [NAME...]", "read every entry's data (or the NAMEs'), write\nnothing", CommandTest, 1, SIZE_MAX,
     kSelectionArguments},
    {"pack", "CAB [-C DIR] [--prefix P] [--move] [-z] PATH...",
     "make a new cabinet of the files and directories\n"
     "PATH (relative to DIR, default the current\n"
     "directory; . is all of DIR's contents); a\n"
     "directory adds everything below it.\n"
     "CAB must not exist yet. A selection without\n"
     "files, or a file of 4 GiB or more, is refused\n"
     "and nothing is written.",
     CommandPack, 2, SIZE_MAX, "a cabinet and at least one file or directory"},
    {"build", "INF [-o OUT.cab] [--cpu NAME] [-z] [-C DIR] [--strict]",
     "make the CE cabinet a cabinet-wizard INF\n"
     "describes, its sources found where the INF's\n"
     "[SourceDisksNames] say, relative to the INF's\n"
     "folder (or DIR; no source may then lie outside\n"
     "it). OUT.cab (default: the INF's name beside it,\n"
     "NAME.CPU.cab with --cpu) must not exist yet.\n"
     "mirad extract --sources CAB -d T, then mirad\n"
     "build T/~Cab~.INF, rebuilds a CE cabinet; edit\n"
     "T in between to change it.",
     CommandBuild, 1, 1, "one INF"},
    {"update", "CAB [-C DIR] [--add [--flags N]] NAME...",
     "replace files of an existing cabinet: NAME is\n"
     "a file as list shows it in any view\n"
     "(%CE1%\\Game\\game.exe with --installed,\n"
     "Program Files\\Game\\game.exe with --expand, or\n"
     "its stored name); the new contents are read\n"
     "from DIR/NAME. Every other entry keeps its name,\n"
     "date, time, attributes and bytes, and the cabinet\n"
     "its compression (one that mixes stored and MSZIP\n"
     "folders is written as most of its data was).",
     CommandUpdate, 2, SIZE_MAX, "a cabinet and at least one file name"},
    {"remove", "CAB NAME...",
     "remove entries as the installed view lists them\n"
     "(--stored: stored names): an installed file with\n"
     "its stored file, a shortcut, or DIR/*.* for all\n"
     "below DIR. The setup file, the documents and a\n"
     "file a shortcut points at are refused, and\n"
     "nothing changes.",
     CommandRemove, 2, SIZE_MAX, "a cabinet and at least one name"},
};

void SetView(Options* o, ViewOption option) { o->viewGiven = o->view[option] = true; }

const std::vector<Option> kOptions = {
    {nullptr, "--long", nullptr, "list", kUnderCommand, "add the attribute bits, folder, offset and\nstored name of each entry",
     [](Options* o, const std::string&) { o->longFormat = true; }},
    {nullptr, "--json", nullptr, "list info", kUnderCommand, "the listing or the facts as JSON (fields in the\nREADME)",
     [](Options* o, const std::string&) { o->json = true; }},
    {"-d", nullptr, "DIR", "extract", kUnderCommand,
     "where to extract; -d - writes the entries to\nstandard output, e.g. mirad extract CAB ~Cab~.INF -d -",
     [](Options* o, const std::string& v) { o->outputDir = v; }},
    {"-o", "--overwrite", nullptr, "extract", kUnderCommand, "replace existing files (the default)",
     [](Options* o, const std::string&) { o->keepExisting = false; }},
    {"-n", "--no-overwrite", nullptr, "extract", kUnderCommand, "keep existing files, saying which were kept",
     [](Options* o, const std::string&) { o->keepExisting = true; }},
    {"-v", "--verbose", nullptr, "extract test", kUnderCommand, "name each entry written or tested",
     [](Options* o, const std::string&) { o->verbose = true; }},
    {nullptr, "--sources", nullptr, "extract", kUnderCommand,
     "lay out what build needs to make the CE cabinet\nagain: the installed files by destination,\n"
     "~Cab~.INF and, beside it, the setup DLL",
     [](Options* o, const std::string&) { o->sources = true; }},
    {"-C", nullptr, "DIR", "pack update", kUnderCommand, "the directory PATHs and replacements are read\nfrom",
     [](Options* o, const std::string& v) { o->sourceDir = v; }},
    {"-C", nullptr, "DIR", "build", kUnderCommand,
     "where the INF's relative source directories\nstart (default: the INF's folder)",
     [](Options* o, const std::string& v) { o->sourceDir = v; }},
    {nullptr, "--add", nullptr, "update", kUnderCommand,
     "add the NAMEs the cabinet does not list: a\n"
     "destination (%InstallDir%\\extra\\new.txt,\n"
     "%CE2%\\x.dll) or a device path below the install\n"
     "directory or a macro's directory (the longest\n"
     "wins) is installed there under a new stored\n"
     "name; in a plain cabinet NAME is stored as given",
     [](Options* o, const std::string&) { o->add = true; }},
    {nullptr, "--flags", "N", "update", kUnderCommand, "the copy-file flags of the files --add installs\n(default 0)",
     [](Options* o, const std::string& v) { o->fileFlags = v; }},
    {nullptr, "--prefix", "P", "pack", kUnderCommand, "store every name under P\\",
     [](Options* o, const std::string& v) { o->prefix = v; }},
    {nullptr, "--move", nullptr, "pack", kUnderCommand, "remove the sources once the cabinet is complete",
     [](Options* o, const std::string&) { o->move = true; }},
    {"-z", "--compress", nullptr, "pack", kUnderCommand, "compress the folders with MSZIP (without it\nthey are stored)",
     [](Options* o, const std::string&) { o->compress = true; }},
    {"-o", "--output", "OUT.cab", "build", kUnderCommand, "the cabinet to make",
     [](Options* o, const std::string& v) { o->output = v; }},
    {nullptr, "--cpu", "NAME", "build", kUnderCommand, "use the INF's [Section.NAME] parts too",
     [](Options* o, const std::string& v) { o->cpu = v; }},
    {"-z", "--compress", nullptr, "build", kUnderCommand, "compress the folders with MSZIP",
     [](Options* o, const std::string&) { o->compress = true; }},
    {nullptr, "--strict", nullptr, "build", kUnderCommand, "fail on what the wizard would ignore (the\nwarnings)",
     [](Options* o, const std::string&) { o->strict = true; }},
    {"-x", nullptr, "PATTERN", "list extract test", kSelecting,
     "leave out the entries PATTERN matches (repeatable)",
     [](Options* o, const std::string& v) { o->excludes.push_back(v); }},
    {nullptr, "--stored", nullptr, nullptr, kView, "stored names, nothing else (all options below off)",
     [](Options* o, const std::string&) { o->viewGiven = true; }},
    {nullptr, "--installed", nullptr, nullptr, kView, "installed destination paths instead of stored names",
     [](Options* o, const std::string&) { SetView(o, kExpandPath); }},
    {nullptr, "--expand", nullptr, nullptr, kView,
     "replace %CE1%..%CE17% and %InstallDir% by device\npaths (implies --installed)",
     [](Options* o, const std::string&) { SetView(o, kExpandCE); }},
    {nullptr, "--shortcuts", nullptr, nullptr, kView, "list the shortcuts the installation makes",
     [](Options* o, const std::string&) { SetView(o, kShowShortcuts); }},
    {nullptr, "--registry", nullptr, nullptr, kView, "list the generated registry export ~Cab~.REG",
     [](Options* o, const std::string&) { SetView(o, kShowRegistry); }},
    {nullptr, "--inf", nullptr, nullptr, kView, "list the generated installation script ~Cab~.INF",
     [](Options* o, const std::string&) { SetView(o, kShowInfFile); }},
    {nullptr, "--full-view", nullptr, nullptr, kView, "all five of the above options on (--all is the same)",
     [](Options* o, const std::string&) {
         o->viewGiven = true;
         for (bool& on : o->view) on = true;
     }},
    {nullptr, "--all", nullptr, nullptr, kView, nullptr, [](Options* o, const std::string&) {
         o->viewGiven = true;
         for (bool& on : o->view) on = true;
     }},
    {"-q", "--quiet", nullptr, nullptr, kGeneral,
     "no warnings, no summary lines and no progress line;\n"
     "errors only (on a terminal, a progress line on\n"
     "stderr shows for extract, pack and update when\n"
     "they take over a second)",
     [](Options* o, const std::string&) { o->quiet = true; }},
    {nullptr, "--module", "PATH", nullptr, kGeneral,
     "the module to load (default: Mirad.wcx beside\nmirad, else ../lib/mirad/Mirad.wcx from mirad's\ndirectory)",
     [](Options* o, const std::string& v) { o->modulePath = v; }},
    {nullptr, "--config", "DIR", nullptr, kGeneral,
     "settings directory (default: $XDG_CONFIG_HOME/mirad,\n"
     "else ~/.config/mirad; %APPDATA%\\mirad on Windows);\n"
     "Mirad.ini is created there with the view options\n"
     "on when missing",
     [](Options* o, const std::string& v) { o->configDir = v; }},
    {nullptr, "--log", "FILE", nullptr, kGeneral, "write the module's diagnostic log to FILE for this\nrun",
     [](Options* o, const std::string& v) { o->logFile = v; }},
    {"-h", "--help", nullptr, nullptr, kGeneral, "this text", [](Options* o, const std::string&) { o->help = true; }},
    {nullptr, "--version", nullptr, nullptr, kGeneral, "the version",
     [](Options* o, const std::string&) { o->version = true; }},
};

// "extract", "pack and update", "list, extract and test".
std::string CommandList(const char* names) {
    std::vector<std::string> words;
    for (const char* at = names; *at;) {
        size_t n = std::strcspn(at, " ");
        words.emplace_back(at, n);
        at += n + (at[n] ? 1 : 0);
    }
    std::string text;
    for (size_t i = 0; i < words.size(); ++i) {
        text += words[i];
        if (i + 2 < words.size()) text += ", ";
        else if (i + 2 == words.size()) text += " and ";
    }
    return text;
}

bool Named(const Option& option, const std::string& name) {
    return (option.shortName && name == option.shortName) || (option.longName && name == option.longName);
}

// Finds the option an argument names, the row of `command` where the name
// has several; `inline` receives the value given as "--name=value".
const Option* FindOption(const std::string& argument, const std::string& command, std::string* inlineValue,
                         bool* hasInline) {
    const Option* found = nullptr;
    for (const Option& option : kOptions) {
        for (const char* name : {option.shortName, option.longName}) {
            if (!name) continue;
            bool whole = argument == name;
            size_t n = std::strlen(name);
            bool withValue =
                option.value && argument.compare(0, n, name) == 0 && argument.size() > n && argument[n] == '=';
            if (!whole && !withValue) continue;
            if (found && !Accepts(option, command)) continue;
            found = &option;
            *hasInline = withValue;
            if (withValue) *inlineValue = argument.substr(n + 1);
            if (Accepts(option, command)) return found;
        }
    }
    return found;
}

// The commands any row of option `name` goes with.
std::string CommandsTaking(const std::string& name) {
    std::string names;
    for (const Option& option : kOptions) {
        if (Named(option, name) && option.commands) names += (names.empty() ? "" : " ") + std::string(option.commands);
    }
    return names;
}

// Which options went with which command, once the command is known.
bool CheckOptions(const Options& options, const std::vector<std::pair<const Option*, std::string>>& given,
                  std::string* problem) {
    const std::string& c = options.command;
    if (!c.empty() && !FindCommand(c) && !options.help && !options.version) {
        *problem = "unknown command '" + c + "'";
        return false;
    }
    for (const auto& [option, spelled] : given) {
        if (!Accepts(*option, c)) {
            *problem = spelled + " applies to " + CommandList(CommandsTaking(spelled).c_str()) + " only";
            return false;
        }
    }
    if (options.sources && options.viewGiven) {
        *problem = "--sources chooses its own view; give no view flags with it";
        return false;
    }
    if (!options.fileFlags.empty() && !options.add) {
        *problem = "--flags goes with --add";
        return false;
    }
    if (!options.fileFlags.empty()) {
        char* end = nullptr;
        unsigned long long n = std::strtoull(options.fileFlags.c_str(), &end, 0);
        if (*end || options.fileFlags[0] == '-' || n > 0xFFFFFFFFull) {
            *problem = "--flags takes a number of up to 32 bits, e.g. 0x40000000";
            return false;
        }
    }
    if (options.outputDir.empty()) {
        *problem = "-d needs a directory";
        return false;
    }
    return true;
}

}  // namespace

const std::vector<Command>& Commands() { return kCommands; }
const std::vector<Option>& OptionTable() { return kOptions; }

const Command* FindCommand(const std::string& name) {
    for (const Command& command : kCommands) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

bool Accepts(const Option& option, const std::string& command) {
    if (!option.commands) return true;
    for (const char* at = option.commands; *at;) {
        size_t n = std::strcspn(at, " ");
        if (command.size() == n && command.compare(0, n, at, n) == 0) return true;
        at += n + (at[n] ? 1 : 0);
    }
    return false;
}

bool ParseCommandLine(int argc, char** argv, Options* options, std::string* problem) {
    std::vector<std::pair<const Option*, std::string>> given;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            if (options->command.empty()) options->command = argument;
            else options->arguments.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        std::string value;
        bool hasInline = false;
        const Option* option = FindOption(argument, options->command, &value, &hasInline);
        if (!option) {
            *problem = "unknown option '" + argument + "'";
            return false;
        }
        std::string spelled = hasInline ? argument.substr(0, argument.find('=')) : argument;
        if (option->value && !hasInline) {
            if (i + 1 >= argc) {
                *problem = spelled + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        option->apply(options, value);
        given.emplace_back(option, spelled);
    }
    // Device paths are installed paths: --expand alone means both.
    if (options->view[kExpandCE]) options->view[kExpandPath] = true;
    return CheckOptions(*options, given, problem);
}

}  // namespace host
