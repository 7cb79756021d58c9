// NAME selection and safe entry paths.
#include "host/selection.h"

#include <algorithm>
#include <cctype>

#include "host/os.h"
#include "host/output.h"
#include "platform/ascii.h"

namespace host {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Matches the set "[...]" at pattern[p] against c. -1: the set is not
// closed; else whether it matches, with `*end` just past its "]".
int MatchSet(const std::string& pattern, size_t p, char c, size_t* end) {
    size_t q = p + 1;
    bool negate = q < pattern.size() && (pattern[q] == '!' || pattern[q] == '^');
    if (negate) ++q;
    bool matched = false;
    for (size_t first = q; q < pattern.size(); ++q) {
        if (pattern[q] == ']' && q > first) {
            *end = q + 1;
            return matched != negate ? 1 : 0;
        }
        char low = pattern[q], high = low;
        if (q + 2 < pattern.size() && pattern[q + 1] == '-' && pattern[q + 2] != ']') {
            high = pattern[q + 2];
            q += 2;
        }
        if (c >= low && c <= high) matched = true;
    }
    return -1;
}

// Whether pattern[*p] matches text[t] as one character; moves *p past it.
bool MatchOne(const std::string& pattern, size_t* p, char c) {
    if (*p >= pattern.size()) return false;
    char first = pattern[*p];
    if (first == '[') {
        size_t end = 0;
        int set = MatchSet(pattern, *p, c, &end);
        if (set < 0) {
            ++*p;
            return c == '[';
        }
        *p = end;
        return set == 1;
    }
    ++*p;
    return first == '?' || first == c;
}

}  // namespace

std::string Lower(std::string text) {
    for (char& c : text) c = mirad::AsciiLower(c);
    return text;
}

std::string NameKey(std::string name) {
    std::replace(name.begin(), name.end(), '/', '\\');
    name = Lower(name);
    while (!name.empty() && name.back() == '\\') name.pop_back();
    if (!name.empty() && name[0] == '\\') name.erase(0, 1);
    return name;
}

bool HasWildcard(const std::string& name) { return name.find_first_of("*?[") != std::string::npos; }

bool WildcardMatch(const std::string& pattern, const std::string& text) {
    size_t p = 0, t = 0, starP = std::string::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
            continue;
        }
        size_t next = p;
        if (MatchOne(pattern, &next, text[t])) {
            p = next;
            ++t;
            continue;
        }
        // Back to the last "*", which takes one character more.
        if (starP == std::string::npos) return false;
        p = starP + 1;
        t = ++starT;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool NameMatches(const std::string& entry, const std::string& wanted) {
    std::string e = NameKey(entry), w = NameKey(wanted);
    if (w.empty()) return false;
    // A directory name selects everything below it.
    if (e == w || (e.size() > w.size() && e.compare(0, w.size(), w) == 0 && e[w.size()] == '\\')) return true;
    if (!HasWildcard(w)) return false;
    for (size_t cut = 0; cut != std::string::npos; cut = e.find('\\', cut + 1)) {
        if (cut > 0 && WildcardMatch(w, e.substr(0, cut))) return true;
    }
    return WildcardMatch(w, e);
}

Selection::Selection(std::vector<std::string> names, std::vector<std::string> excluded)
    : wanted(std::move(names)), excludes(std::move(excluded)), found(wanted.size(), false) {}

bool Selection::Selects(const std::string& name) {
    for (const std::string& pattern : excludes) {
        if (NameMatches(name, pattern)) return false;
    }
    bool selected = wanted.empty();
    for (size_t i = 0; i < wanted.size(); ++i) {
        if (NameMatches(name, wanted[i])) selected = found[i] = true;
    }
    return selected;
}

unsigned Selection::ReportMissing(const std::string& cabinet) const {
    unsigned missing = 0;
    for (size_t i = 0; i < wanted.size(); ++i) {
        if (found[i]) continue;
        ++missing;
        const char* hint = " in this view (see mirad list and the view flags)";
        if (HasWildcard(wanted[i])) Error("no entry of " + Quoted(cabinet) + " matches " + Quoted(wanted[i]) + hint);
        else Error(Quoted(wanted[i]) + " is not an entry of " + Quoted(cabinet) + hint);
    }
    return missing;
}

std::vector<std::string> SafeParts(const std::string& name, bool* changed) {
    *changed = false;
    std::vector<std::string> parts;
    std::string part;
    size_t start = 0;
    if (name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':') {
        start = 2;  // a drive letter names another volume
        *changed = true;
    }
    if (start < name.size() && IsSeparator(name[start])) *changed = true;  // rooted
    for (size_t i = start; i <= name.size(); ++i) {
        if (i < name.size() && !IsSeparator(name[i])) {
            part += name[i];
            continue;
        }
        if (part == "..") {
            *changed = true;
        } else if (!part.empty() && part != ".") {
            if (kColonIsSpecial && part.find(':') != std::string::npos) {
                std::replace(part.begin(), part.end(), ':', '_');
                *changed = true;
            }
            parts.push_back(part);
        }
        part.clear();
    }
    return parts;
}

}  // namespace host
