// Which entries a command's NAMEs and -x patterns select, and entry names
// split into the parts written below a directory.
#pragma once

#include <string>
#include <vector>

namespace host {

std::string Lower(std::string text);
// Backslash-separated, lower-case, no leading or trailing separator: how
// names compare.
std::string NameKey(std::string name);
bool HasWildcard(const std::string& name);
// Shell-style matching on keys: "*" matches any run, separators included,
// "?" one character, "[...]" a set ("[!...]" or "[^...]" its complement,
// "a-z" ranges); an unclosed "[" is an ordinary character.
bool WildcardMatch(const std::string& pattern, const std::string& text);
// NAME selection: the name itself or a wildcard pattern, compared ignoring
// case with / and \ alike; a match of leading whole components selects
// everything below them.
bool NameMatches(const std::string& entry, const std::string& wanted);

// The NAMEs and -x patterns of a command, and which NAMEs matched.
struct Selection {
    std::vector<std::string> wanted, excludes;
    std::vector<bool> found;
    Selection(std::vector<std::string> names, std::vector<std::string> excluded);
    bool Selects(const std::string& name);
    // Says which NAMEs matched nothing; the count of them.
    unsigned ReportMissing(const std::string& cabinet) const;
};

// Splits an entry name into the parts written under the target directory,
// dropping what would leave it ("..", leading separators, drive letters).
// `changed` tells whether anything that mattered was dropped.
std::vector<std::string> SafeParts(const std::string& name, bool* changed);

}  // namespace host
