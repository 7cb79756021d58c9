// The command line: what it asked for, and the one table of commands and
// options that parsing, the option checks, --help, the bash completion and
// the manual page follow.
#pragma once

#include <string>
#include <vector>

namespace host {

// The five view options of the module's settings file, in one place so the
// flags, the private settings file and --help agree.
enum ViewOption { kExpandCE, kExpandPath, kShowRegistry, kShowShortcuts, kShowInfFile, kViewOptionCount };
extern const char* const kViewKeys[kViewOptionCount];  // the settings keys

struct Options {
    std::string command;
    std::vector<std::string> arguments;  // cabinet first, then names or paths
    std::string modulePath;              // --module; empty: beside the executable
    std::string configDir;               // --config; empty: the per-user default
    std::string logFile;                 // --log
    std::string outputDir = ".";         // extract -d
    std::string sourceDir;               // pack/update/build -C
    std::string prefix;                  // pack --prefix
    bool move = false;                   // pack --move
    bool compress = false;               // pack/build --compress
    std::string output;                  // build -o
    std::string cpu;                     // build --cpu
    bool strict = false;                 // build --strict
    bool sources = false;                // extract --sources
    bool add = false;                    // update --add
    std::string fileFlags;               // update --flags, as given
    std::vector<std::string> excludes;   // -x PATTERN
    bool keepExisting = false;           // extract -n
    bool verbose = false;                // -v
    bool quiet = false;                  // -q
    bool longFormat = false;             // list --long
    bool json = false;                   // list/info --json
    bool viewGiven = false;              // any view flag given
    bool view[kViewOptionCount] = {};    // the view the flags ask for
    bool help = false, version = false;
};

struct Command {
    const char* name;
    const char* usage;  // the arguments, as --help and the manual page show them
    const char* help;   // what --help says of it, lines joined by "\n"
    int (*run)(const Options& options);
    size_t minArguments, maxArguments;  // the cabinet included
    const char* arguments;              // "a cabinet and ...", for the usage error
};

// Where --help describes an option: under its command, or in a section.
enum HelpSection { kUnderCommand, kSelecting, kView, kGeneral };

// One name may have a row per meaning (extract's -o is a flag, build's
// takes the cabinet's name): the row of the command given applies.
struct Option {
    const char* shortName;  // "-d", or null
    const char* longName;   // "--overwrite", or null
    const char* value;      // the value's name ("DIR"), or null for a flag
    // The commands that take it, as names separated by spaces; null: all.
    const char* commands;
    HelpSection section;
    const char* help;  // for --help, lines joined by "\n"
    void (*apply)(Options* options, const std::string& value);
};

const std::vector<Command>& Commands();
const std::vector<Option>& OptionTable();
const Command* FindCommand(const std::string& name);
// Whether `option` is taken by `command`.
bool Accepts(const Option& option, const std::string& command);

// Fills `options` from argv; false with the sentence to print (the exit
// status is 2) when the command line is not understood.
bool ParseCommandLine(int argc, char** argv, Options* options, std::string* problem);
std::string HelpText();

}  // namespace host
