// `mirad --help`: the commands and options of the table, and the prose
// around them.
#include <string>

#include "host/cli.h"

namespace host {

namespace {

const char kIntro[] =
    "Usage: mirad [OPTIONS] COMMAND CABINET [ARGUMENTS]\n"
    "\n"
    "Browse, extract and build cabinets (stored or MSZIP-compressed), and Windows\n"
    "CE installation cabinets in particular, through the Mirad module.\n"
    "\n"
    "Commands:\n";

const char kSelectingText[] =
    "\n"
    "Selecting entries (list, extract, test):\n"
    "  NAME                an entry name or a wildcard pattern (* any run, ? one\n"
    "                      character, [...] a set; quote it for the shell), matched\n"
    "                      ignoring case with / and \\ alike against whole names; a\n"
    "                      directory selects everything below it. A NAME that\n"
    "                      matches nothing is an error.\n";

const char kViewText[] =
    "\n"
    "View (what list, extract and test show):\n";

const char kViewAfter[] =
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
    "Options:\n";

const char kClosing[] =
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

// `head` in a column `indent` wide, then the lines of `text` beside it;
// a head too wide for the column stands on a line of its own.
std::string Item(const std::string& head, size_t indent, const char* text) {
    std::string out = head;
    if (out.size() + 1 > indent) out += "\n" + std::string(indent, ' ');
    else out += std::string(indent - out.size(), ' ');
    for (const char* at = text; *at; ++at) {
        out += *at;
        if (*at == '\n') out += std::string(indent, ' ');
    }
    return out + "\n";
}

std::string OptionHead(const Option& option) {
    std::string head;
    if (option.shortName) head = option.shortName;
    if (option.shortName && option.longName) head += ", ";
    if (option.longName) head += option.longName;
    if (option.value) head += std::string(" ") + option.value;
    return head;
}

std::string Section(HelpSection section) {
    std::string out;
    for (const Option& option : OptionTable()) {
        if (option.section == section && option.help) out += Item("  " + OptionHead(option), 22, option.help);
    }
    return out;
}

}  // namespace

std::string HelpText() {
    std::string out = kIntro;
    for (const Command& command : Commands()) {
        out += Item(std::string("  ") + command.name + " " + command.usage, 30, command.help);
        for (const Option& option : OptionTable()) {
            if (option.section == kUnderCommand && option.help && Accepts(option, command.name)) {
                out += Item("      " + OptionHead(option), 30, option.help);
            }
        }
    }
    out += kSelectingText + Section(kSelecting) + kViewText + Section(kView) + kViewAfter + Section(kGeneral) + kClosing;
    return out;
}

}  // namespace host
