// The commands: each one drives the exports in the order a file manager
// uses (OpenArchive, ReadHeader/ProcessFile pairs until 10, CloseArchive, or
// one PackFiles call) and turns result codes into sentences.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/host.h"
#include "platform/ascii.h"

namespace fs = std::filesystem;

namespace host {

void Error(const std::string& sentence) { std::fprintf(stderr, "mirad: %s\n", Printable(sentence).c_str()); }
bool gQuiet = false;

void Warning(const std::string& sentence) {
    if (!gQuiet) std::fprintf(stderr, "mirad: warning: %s\n", Printable(sentence).c_str());
}

std::string ResultText(int32_t code) {
    switch (code) {
        case MIRAD_OK: return "success";
        case MIRAD_END_ARCHIVE: return "no more entries";
        case MIRAD_NO_MEMORY: return "out of memory";
        case MIRAD_BAD_DATA: return "bad data";
        case MIRAD_UNKNOWN_FORMAT: return "format not handled";
        case MIRAD_EOPEN: return "cannot open";
        case MIRAD_ECREATE: return "cannot create";
        case MIRAD_NOT_SUPPORTED: return "not supported";
        case MIRAD_ABORTED: return "interrupted";
        default: return "unknown result " + std::to_string(code);
    }
}

std::string Lower(std::string text) {
    for (char& c : text) c = mirad::AsciiLower(c);
    return text;
}

// Backslash-separated, lower-case: how names compare.
std::string NameKey(std::string name) {
    std::replace(name.begin(), name.end(), '/', '\\');
    name = Lower(name);
    while (!name.empty() && name.back() == '\\') name.pop_back();
    if (!name.empty() && name[0] == '\\') name.erase(0, 1);
    return name;
}

namespace {

constexpr size_t kMaxPath = 259;  // the module's path buffers hold 259 characters and a NUL
const char kRegistryName[] = "~Cab~.REG";
const char kInfName[] = "~Cab~.INF";

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Separators as this system's file functions want them.
std::string NativeSeparators(std::string path) {
    std::replace(path.begin(), path.end(), kSeparator == '/' ? '\\' : '/', kSeparator);
    return path;
}

bool IsAbsolute(const std::string& path) {
    if (!path.empty() && IsSeparator(path[0])) return true;
    return path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
}

// The view options to hand the module: exactly the flags when any was
// given, else what the settings file says (-1: keep).
SettingsOverride ViewOverride(const Options& options) {
    SettingsOverride changes;
    if (options.viewGiven) {
        for (int i = 0; i < kViewOptionCount; ++i) changes.view[i] = options.view[i] ? 1 : 0;
    }
    if (!options.logFile.empty()) {
        changes.setDebugFile = true;
        changes.debugFile = AbsolutePath(options.logFile);
    }
    return changes;
}

std::string OpenFailure(const std::string& cabinet, int32_t code) {
    // The module's code says little ("bad data"); the host reads the file
    // itself to say what is wrong with it.
    std::string sentence = ExplainRefusal(cabinet, ReadCabinetFacts(cabinet));
    if (!sentence.empty()) return sentence;
    switch (code) {
        case MIRAD_EOPEN: {
            std::string why = WhyCannotRead(cabinet);
            if (why.empty() && cabinet.size() > kMaxPath) why = "the path is longer than 259 characters";
            return "cannot open " + Quoted(cabinet) + ": " + (why.empty() ? "the module could not open it" : why);
        }
        case MIRAD_BAD_DATA:
            return Quoted(cabinet) + " is damaged (bad data)";
        case MIRAD_UNKNOWN_FORMAT:
            return Quoted(cabinet) + " is a cabinet Mirad does not read";
        case MIRAD_NO_MEMORY:
            return "not enough memory to open " + Quoted(cabinet);
        default:
            return "cannot open " + Quoted(cabinet) + ": " + ResultText(code);
    }
}

// An open archive, closed on scope exit.
struct Archive {
    ModuleApi* api = nullptr;
    void* handle = nullptr;
    ~Archive() {
        if (handle) api->CloseArchive(handle);
    }
};

bool OpenCabinet(Session& session, const std::string& cabinet, Archive* archive) {
    // A pipe would be consumed by the module's first read; it is refused
    // before the module sees it.
    CabinetFacts quick = ReadCabinetFacts(cabinet, false);
    if (!quick.seekable || quick.openError) {
        Error(ExplainRefusal(cabinet, quick));
        return false;
    }
    // The module is asked first, as a file manager would; only its answer
    // is explained in a sentence (OpenFailure).
    std::vector<char> name(cabinet.begin(), cabinet.end());
    name.push_back('\0');
    OpenRequest request;
    std::memset(&request, 0, sizeof request);
    request.archiveName = name.data();
    request.openMode = 1;  // extract; the module serves listing and extraction alike
    archive->api = &session.api;
    archive->handle = session.api.OpenArchive(&request);
    if (!archive->handle) {
        Error(OpenFailure(cabinet, request.openResult ? request.openResult : MIRAD_EOPEN));
        return false;
    }
    session.api.SetProcessDataProc(archive->handle, ProgressCallback);
    return true;
}

}  // namespace

bool WalkView(const Options& options, const int (&view)[kViewOptionCount], const std::string& cabinet,
              std::vector<ListedEntry>* entries, const std::vector<std::string>& read, std::vector<std::string>* contents) {
    SettingsOverride changes;
    for (int i = 0; i < kViewOptionCount; ++i) changes.view[i] = view[i];
    Session session;
    if (!StartSession(options, changes, &session)) return false;
    TempDirectory scratch;
    if (!read.empty() && scratch.path.empty()) {
        Error("cannot create a temporary directory");
        return false;
    }
    if (contents) contents->assign(read.size(), std::string());
    Archive archive;
    if (!OpenCabinet(session, cabinet, &archive)) return false;
    for (;;) {
        EntryHeader header;
        std::memset(&header, 0, sizeof header);
        if (session.api.ReadHeader(archive.handle, &header) != MIRAD_OK) break;
        ListedEntry e;
        e.name = std::string(header.fileName, strnlen(header.fileName, sizeof header.fileName));
        e.size = header.packedSize;
        e.time = header.fileTime;
        e.attributes = header.fileAttributes;
        entries->push_back(e);
        size_t wanted = std::find(read.begin(), read.end(), e.name) - read.begin();
        if (wanted == read.size() || !contents) {
            session.api.ProcessFile(archive.handle, MIRAD_SKIP, nullptr, nullptr);
            continue;
        }
        std::string path = JoinPath(scratch.path, "entry" + std::to_string(entries->size()));
        std::vector<char> target(path.begin(), path.end());
        target.push_back('\0');
        int32_t result;
        {
            StdoutToStderr quiet;  // the module's own remarks stay off standard output
            result = session.api.ProcessFile(archive.handle, MIRAD_EXTRACT, nullptr, target.data());
        }
        if (result == MIRAD_OK) {
            std::ifstream in(path, std::ios::binary);
            std::ostringstream bytes;
            bytes << in.rdbuf();
            (*contents)[wanted] = bytes.str();
        }
    }
    return true;
}

namespace {

bool IsDocumentName(const std::string& name) {
    std::string key = NameKey(name);
    return key == Lower(kRegistryName) || key == Lower(kInfName);
}

std::string EntryName(const EntryHeader& header) {
    return std::string(header.fileName, strnlen(header.fileName, sizeof header.fileName));
}

bool HasWildcard(const std::string& name) { return name.find_first_of("*?[") != std::string::npos; }

// The NAMEs and -x patterns of a command, and which NAMEs matched.
struct Selection {
    std::vector<std::string> wanted, excludes;
    std::vector<bool> found;
    Selection(std::vector<std::string> names, std::vector<std::string> excluded)
        : wanted(std::move(names)), excludes(std::move(excluded)), found(wanted.size(), false) {}
    bool Selects(const std::string& name) {
        for (const std::string& pattern : excludes) {
            if (NameMatches(name, pattern)) return false;
        }
        bool selected = wanted.empty();
        for (size_t i = 0; i < wanted.size(); ++i) {
            if (NameMatches(name, wanted[i])) selected = found[i] = true;
        }
        return selected;
    }
    // Says which NAMEs matched nothing; the count of them.
    unsigned ReportMissing(const std::string& cabinet) const {
        unsigned missing = 0;
        for (size_t i = 0; i < wanted.size(); ++i) {
            if (found[i]) continue;
            ++missing;
            if (HasWildcard(wanted[i])) {
                Error("no entry of " + Quoted(cabinet) + " matches " + Quoted(wanted[i]) +
                      " in this view (see mirad list and the view flags)");
            } else {
                Error(Quoted(wanted[i]) + " is not an entry of " + Quoted(cabinet) +
                      " in this view (see mirad list and the view flags)");
            }
        }
        return missing;
    }
};

}  // namespace

// The header record as this platform's module fills it: on Windows the DOS
// date and time pair and DOS attribute bits; on POSIX Unix seconds (the
// stored local time) and a file mode.
#if defined(_WIN32)
std::string EntryTime(int32_t fileTime, bool iso) {
    if (fileTime == 0) return iso ? "" : "-";
    uint32_t value = static_cast<uint32_t>(fileTime);
    unsigned date = value >> 16, time = value & 0xFFFF;
    char text[32];
    std::snprintf(text, sizeof text, iso ? "%04u-%02u-%02uT%02u:%02u:%02u" : "%04u-%02u-%02u %02u:%02u:%02u",
                  1980 + (date >> 9), (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63, (time & 31) * 2);
    return text;
}

int32_t EntryAttributeBits(int32_t attributes) { return attributes & 0xFF; }
#else
std::string EntryTime(int32_t fileTime, bool iso) {
    if (fileTime == 0) return iso ? "" : "-";
    time_t t = static_cast<time_t>(fileTime);
    struct tm local;
    char text[32];
    if (!localtime_r(&t, &local) ||
        !std::strftime(text, sizeof text, iso ? "%Y-%m-%dT%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &local)) {
        return iso ? "" : "-";
    }
    return text;
}

// A mode tells only read-only (no owner write bit); every regular file
// counts as archive, the rule packing follows.
int32_t EntryAttributeBits(int32_t mode) {
    int32_t bits = (mode & 0170000) == 0100000 ? 0x20 : 0;
    if (!(mode & 0200)) bits |= 0x01;
    return bits;
}
#endif

std::string AttributeLetters(int32_t attributes) {
    int32_t bits = EntryAttributeBits(attributes);
    std::string letters = "----";
    if (bits & 0x01) letters[0] = 'R';
    if (bits & 0x02) letters[1] = 'H';
    if (bits & 0x04) letters[2] = 'S';
    if (bits & 0x20) letters[3] = 'A';
    return letters;
}

std::string FormatEntry(const EntryHeader& header) {
    std::string name = EntryName(header);
    std::string size;
    if (header.packedSize == -1) {
        // A shortcut or generated document whose length the module does
        // not tell.
        size = IsDocumentName(name) ? "<generated>" : "<link>";
    } else {
        size = std::to_string(static_cast<uint32_t>(header.packedSize));
    }
    char line[64];
    std::snprintf(line, sizeof line, "%11s  %-19s  %s  ", size.c_str(), EntryTime(header.fileTime).c_str(),
                  AttributeLetters(header.fileAttributes).c_str());
    return line + name;
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
#if defined(_WIN32)
            // A ":" inside a name would open an alternate stream or a device.
            if (part.find(':') != std::string::npos) {
                std::replace(part.begin(), part.end(), ':', '_');
                *changed = true;
            }
#endif
            parts.push_back(part);
        }
        part.clear();
    }
    return parts;
}

// Shell-style matching on keys (lower case, "\" separators): "*" matches
// any run, separators included, "?" one character, "[...]" a set
// ("[!...]" or "[^...]" its complement, "a-z" ranges).
bool WildcardMatch(const std::string& pattern, const std::string& text) {
    size_t p = 0, t = 0, starP = std::string::npos, starT = 0;
    while (t < text.size()) {
        bool advanced = false;
        if (p < pattern.size()) {
            char c = pattern[p];
            if (c == '*') {
                starP = p++;
                starT = t;
                continue;
            }
            if (c == '?') {
                ++p;
                ++t;
                advanced = true;
            } else if (c == '[') {
                size_t q = p + 1;
                bool negate = q < pattern.size() && (pattern[q] == '!' || pattern[q] == '^');
                if (negate) ++q;
                bool matched = false, closed = false;
                for (size_t first = q; q < pattern.size(); ++q) {
                    if (pattern[q] == ']' && q > first) {
                        closed = true;
                        break;
                    }
                    char low = pattern[q], high = low;
                    if (q + 2 < pattern.size() && pattern[q + 1] == '-' && pattern[q + 2] != ']') {
                        high = pattern[q + 2];
                        q += 2;
                    }
                    if (text[t] >= low && text[t] <= high) matched = true;
                }
                if (!closed) {
                    // An unclosed "[" is an ordinary character.
                    if (text[t] == '[') {
                        ++p;
                        ++t;
                        advanced = true;
                    }
                } else if (matched != negate) {
                    p = q + 1;
                    ++t;
                    advanced = true;
                }
            } else if (c == text[t]) {
                ++p;
                ++t;
                advanced = true;
            }
        }
        if (advanced) continue;
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

namespace {

// Per entry of a listing, what --long and --json add: where its bytes are
// stored, read from the cabinet by the host.
struct StoredInfo {
    const CabinetFacts::StoredEntry* entry = nullptr;
    size_t index = 0;
};

struct LongContext {
    CabinetFacts facts;
    CeFacts ce;
    // Entry k of the listing: a stored file when its name is stored file k's,
    // an installed file when k is below the number of installed files.
    StoredInfo Find(size_t k, const std::string& name, int32_t size) const {
        StoredInfo info;
        if (size == -1) return info;
        if (k < facts.files.size() && NameKey(facts.files[k].name) == NameKey(name)) {
            info.entry = &facts.files[k];
            info.index = k;
            return info;
        }
        if (k < ce.storedNames.size()) {
            for (size_t i = 0; i < facts.files.size(); ++i) {
                if (NameKey(facts.files[i].name) == NameKey(ce.storedNames[k])) {
                    info.entry = &facts.files[i];
                    info.index = i;
                    break;
                }
            }
        }
        return info;
    }
};

std::string EntryKind(const ListedEntry& e) {
    if (e.file) return "file";
    return IsDocumentName(e.name) ? "document" : "shortcut";
}

std::string LongLine(const ListedEntry& e, const StoredInfo& stored) {
    EntryHeader header;
    std::memset(&header, 0, sizeof header);
    std::snprintf(header.fileName, sizeof header.fileName, "%s", e.name.c_str());
    header.packedSize = e.size;
    header.fileTime = e.time;
    header.fileAttributes = e.attributes;
    std::string base = FormatEntry(header);
    base.resize(base.size() - e.name.size());
    char extra[96];
    if (stored.entry) {
        std::snprintf(extra, sizeof extra, "0x%04x  %6u  %10u  %-12s  ", stored.entry->attribs, stored.entry->iFolder,
                      stored.entry->uoffFolderStart, stored.entry->name.c_str());
    } else {
        std::snprintf(extra, sizeof extra, "0x%04x  %6s  %10s  %-12s  ", static_cast<unsigned>(EntryAttributeBits(e.attributes)),
                      "-", "-", "-");
    }
    return base + extra + e.name;
}

std::string JsonEntry(const ListedEntry& e, const StoredInfo& stored) {
    std::string time = EntryTime(e.time, true);
    std::string json = "{\"name\": " + JsonString(e.name) + ", \"type\": \"" + EntryKind(e) + "\"";
    json += ", \"size\": " + (e.size == -1 ? std::string("null") : std::to_string(static_cast<uint32_t>(e.size)));
    json += ", \"modified\": " + (time.empty() ? std::string("null") : "\"" + time + "\"");
    json += ", \"attributes\": " + std::to_string(stored.entry ? stored.entry->attribs : EntryAttributeBits(e.attributes));
    json += ", \"attributeLetters\": \"" + AttributeLetters(e.attributes) + "\"";
    if (stored.entry) {
        json += ", \"storedName\": " + JsonString(stored.entry->name) + ", \"folder\": " +
                std::to_string(stored.entry->iFolder) + ", \"offset\": " + std::to_string(stored.entry->uoffFolderStart);
    } else {
        json += ", \"storedName\": null, \"folder\": null, \"offset\": null";
    }
    return json + "}";
}

}  // namespace

int CommandList(const Options& options) {
    if (options.arguments.empty()) {
        Error("list takes a cabinet and optionally NAMEs or patterns (see mirad --help)");
        return 2;
    }
    const std::string& cabinet = options.arguments[0];
    Selection selection(std::vector<std::string>(options.arguments.begin() + 1, options.arguments.end()),
                        options.excludes);
    // Gathered first: the module's settings are process-wide, so no other
    // session may run while the listing walks.
    const bool detailed = options.longFormat || options.json;
    LongContext more;
    // The module lists files first, then shortcuts and documents: the same
    // view without those tells where the files end.
    size_t fileCount = SIZE_MAX;
    if (detailed) {
        if (!ReadCeFacts(options, cabinet, &more.ce)) return 1;
        more.facts = ReadCabinetFacts(cabinet);
        SettingsOverride filesOnly = ViewOverride(options);
        filesOnly.view[kShowShortcuts] = filesOnly.view[kShowRegistry] = filesOnly.view[kShowInfFile] = 0;
        std::vector<ListedEntry> files;
        if (!WalkView(options, filesOnly.view, cabinet, &files)) return 1;
        fileCount = files.size();
    }
    Session session;
    if (!StartSession(options, ViewOverride(options), &session)) return 1;
    Archive archive;
    if (!OpenCabinet(session, cabinet, &archive)) return 1;
    const bool terminal = !options.json && StdoutIsTerminal();
    if (terminal) {
        std::printf("%11s  %-19s  %-4s  %s%s\n", "Size", "Modified", "Attr",
                    options.longFormat ? "Bits    Folder      Offset  Stored        " : "", "Name");
    }
    std::vector<std::string> json;
    uint64_t totalBytes = 0;
    unsigned count = 0;
    for (size_t k = 0;; ++k) {
        if (Interrupted()) {
            Error("interrupted");
            return kInterruptedStatus;
        }
        EntryHeader header;
        std::memset(&header, 0, sizeof header);
        if (session.api.ReadHeader(archive.handle, &header) != MIRAD_OK) break;
        session.api.ProcessFile(archive.handle, MIRAD_SKIP, nullptr, nullptr);
        ListedEntry e;
        e.name = EntryName(header);
        e.size = header.packedSize;
        e.time = header.fileTime;
        e.attributes = header.fileAttributes;
        e.file = k < fileCount && e.size != -1;
        if (!selection.Selects(e.name)) continue;
        ++count;
        if (e.size != -1) totalBytes += static_cast<uint32_t>(e.size);
        StoredInfo stored = detailed && e.file ? more.Find(k, e.name, e.size) : StoredInfo();
        if (options.json) json.push_back(JsonEntry(e, stored));
        else if (options.longFormat) std::printf("%s\n", Printable(LongLine(e, stored)).c_str());
        else std::printf("%s\n", Printable(FormatEntry(header)).c_str());
    }
    if (options.json) {
        std::printf("{\"cabinet\": %s, \"entries\": [", JsonString(cabinet).c_str());
        for (size_t i = 0; i < json.size(); ++i) std::printf("%s\n  %s", i ? "," : "", json[i].c_str());
        std::printf("%s]}\n", json.empty() ? "" : "\n");
    }
    if (terminal) {
        std::printf("%s entr%s, %llu bytes\n", std::to_string(count).c_str(), count == 1 ? "y" : "ies",
                    static_cast<unsigned long long>(totalBytes));
    }
    return selection.ReportMissing(cabinet) ? 1 : 0;
}

int CommandTest(const Options& options) {
    if (options.arguments.empty()) {
        Error("test takes a cabinet and optionally NAMEs or patterns (see mirad --help)");
        return 2;
    }
    const std::string& cabinet = options.arguments[0];
    Selection selection(std::vector<std::string>(options.arguments.begin() + 1, options.arguments.end()),
                        options.excludes);
    Session session;
    if (!StartSession(options, ViewOverride(options), &session)) return 1;
    Archive archive;
    if (!OpenCabinet(session, cabinet, &archive)) return 1;
    unsigned tested = 0, failed = 0;
    for (;;) {
        EntryHeader header;
        std::memset(&header, 0, sizeof header);
        if (session.api.ReadHeader(archive.handle, &header) != MIRAD_OK) break;
        std::string name = EntryName(header);
        if (!selection.Selects(name)) {
            session.api.ProcessFile(archive.handle, MIRAD_SKIP, nullptr, nullptr);
            continue;
        }
        int32_t result = session.api.ProcessFile(archive.handle, MIRAD_TEST, nullptr, nullptr);
        if (result == MIRAD_ABORTED || Interrupted()) {
            Error("interrupted");
            return kInterruptedStatus;
        }
        ++tested;
        if (result != MIRAD_OK) {
            ++failed;
            Error(Quoted(name) + " in " + Quoted(cabinet) + " failed the test: " + ResultText(result));
        } else if (options.verbose) {
            std::printf("OK  %s\n", Printable(name).c_str());
        }
    }
    failed += selection.ReportMissing(cabinet);
    if (failed) {
        Error(std::to_string(failed) + " of " + std::to_string(tested) + " entries in " + Quoted(cabinet) +
              " failed the test");
        return 1;
    }
    if (!options.quiet) std::printf("%s: all %u entries tested OK\n", Printable(cabinet).c_str(), tested);
    return 0;
}

namespace {

// Why a named document is not there: the cabinet has nothing for it.
std::string MissingDocument(const Options& options, const std::string& cabinet, const std::string& wanted) {
    int view[kViewOptionCount] = {0, 0, 0, 0, 1};
    std::vector<ListedEntry> entries;
    if (!WalkView(options, view, cabinet, &entries)) return "";
    bool isCe = !entries.empty() && entries.back().name == kInfName;
    std::string document = NameKey(wanted) == Lower(kRegistryName) ? kRegistryName : kInfName;
    if (!isCe) {
        return Quoted(cabinet) + " is not a CE installation cabinet (it has no setup file), so it has no " +
               document;
    }
    return Quoted(cabinet) + " installs no registry values, so it has no " + document;
}

}  // namespace

int CommandExtract(const Options& options) {
    if (options.arguments.empty()) {
        Error("extract takes a cabinet and optionally NAMEs or patterns (see mirad --help)");
        return 2;
    }
    const std::string& cabinet = options.arguments[0];
    Selection selection(std::vector<std::string>(options.arguments.begin() + 1, options.arguments.end()),
                        options.excludes);
    const bool toStdout = options.outputDir == "-";
    const std::string& dir = options.outputDir;
    std::FILE* progress = toStdout ? stderr : stdout;

    // Naming a document lists it for this run, whatever the view says.
    SettingsOverride changes = ViewOverride(options);
    for (const std::string& name : selection.wanted) {
        if (NameKey(name) == Lower(kRegistryName)) changes.view[kShowRegistry] = 1;
        if (NameKey(name) == Lower(kInfName)) changes.view[kShowInfFile] = 1;
    }

    if (!toStdout && !MakeDirectories(dir)) {
        std::string why = WhyCannotCreate(JoinPath(dir, ".mirad"), 0);
        Error("cannot create the directory " + Quoted(dir) + (why.empty() ? "" : ": " + why));
        return 1;
    }
    Session session;
    if (!StartSession(options, changes, &session)) return 1;
    std::unique_ptr<TempDirectory> scratch;
    if (toStdout) {
        scratch.reset(new TempDirectory());
        if (scratch->path.empty()) {
            Error("cannot create a temporary directory to extract through");
            return 1;
        }
    }
    Archive archive;
    if (!OpenCabinet(session, cabinet, &archive)) return 1;
    StartProgress();

    unsigned failures = 0, blockedByLinks = 0, entries = 0;
    // The module is given DIR and the name below it, so it reaches every
    // directory below DIR from the one above and follows no link there.
    std::string destinationDir = dir;
    if (!toStdout && !IsSeparator(destinationDir.back())) destinationDir += kSeparator;
    auto skip = [&] { session.api.ProcessFile(archive.handle, MIRAD_SKIP, nullptr, nullptr); };
    for (;;) {
        EntryHeader header;
        std::memset(&header, 0, sizeof header);
        if (session.api.ReadHeader(archive.handle, &header) != MIRAD_OK) break;
        std::string name = EntryName(header);
        if (!selection.Selects(name)) {
            skip();
            continue;
        }

        std::string destination, relative;
        std::vector<std::string> parts;
        if (toStdout) {
            // Through a file: the module only writes to paths.
            destination = JoinPath(scratch->path, "entry");
            std::remove(destination.c_str());
        } else {
            bool changed = false;
            parts = SafeParts(name, &changed);
            if (parts.empty()) {
                Error("entry " + Quoted(name) + " of " + Quoted(cabinet) + " has no name left inside " +
                      Quoted(dir) + "; skipped");
                ++failures;
                skip();
                continue;
            }
            for (const std::string& part : parts) relative = relative.empty() ? part : JoinPath(relative, part);
            if (changed) {
                Warning("entry " + Quoted(name) + " would leave " + Quoted(dir) + "; writing it as " +
                        Quoted(relative) + " inside it");
            }
            destination = JoinPath(dir, relative);
            if (destination.size() > kMaxPath) {
                Error("cannot extract " + Quoted(name) + ": the destination " + Quoted(destination) +
                      " is longer than 259 characters");
                ++failures;
                skip();
                continue;
            }
            if (options.keepExisting && PathExists(destination)) {
                if (!gQuiet) {
                    std::fprintf(stderr, "mirad: kept the existing %s (-n)\n", Printable(Quoted(destination)).c_str());
                }
                skip();
                continue;
            }
        }

        ++entries;
        std::vector<char> target(destination.begin(), destination.end());
        target.push_back('\0');
        int32_t result;
        if (toStdout) {
            StdoutToStderr quiet;
            result = session.api.ProcessFile(archive.handle, MIRAD_EXTRACT, nullptr, target.data());
        } else {
            std::vector<char> base(destinationDir.begin(), destinationDir.end()), below(relative.begin(), relative.end());
            base.push_back('\0');
            below.push_back('\0');
            result = session.api.ProcessFile(archive.handle, MIRAD_EXTRACT, base.data(), below.data());
        }
        if (result == MIRAD_ABORTED || Interrupted()) {
            if (toStdout) std::remove(destination.c_str());
            EndProgress();
            Error("interrupted");
            return kInterruptedStatus;
        }
        if (result == MIRAD_OK && toStdout && !CopyToStdout(destination)) {
            Error("cannot write " + Quoted(name) + " to standard output");
            ++failures;
        } else if (std::string blocked = result == MIRAD_ECREATE && !toStdout
                                             ? BlockedWayBelow(dir, parts, parts.size() - 1)
                                             : std::string();
                   !blocked.empty()) {
            Error("cannot extract " + Quoted(name) + ": " + blocked);
            ++blockedByLinks;
            ++failures;
        } else if (result == MIRAD_ECREATE) {
            uint64_t size = header.packedSize == -1 ? 0 : static_cast<uint32_t>(header.packedSize);
            std::string why = WhyCannotCreate(destination, size);
            Error("cannot extract " + Quoted(name) + " to " + Quoted(destination) + ": " +
                  (why.empty() ? "it could not be created or written" : why));
            ++failures;
        } else if (result == MIRAD_BAD_DATA) {
            Error("cannot extract " + Quoted(name) + ": the data of " + Quoted(cabinet) + " is damaged (bad data)");
            ++failures;
        } else if (result != MIRAD_OK) {
            Error("cannot extract " + Quoted(name) + " from " + Quoted(cabinet) + ": " + ResultText(result));
            ++failures;
        } else if (options.verbose) {
            std::fprintf(progress, "%s\n", Printable(toStdout ? name : destination).c_str());
        }
        if (toStdout) std::remove(destination.c_str());
    }

    EndProgress();
    // The walk is over; the questions below load the module afresh.
    if (archive.handle) session.api.CloseArchive(archive.handle);
    archive.handle = nullptr;
    for (size_t i = 0; i < selection.wanted.size(); ++i) {
        if (selection.found[i] || !IsDocumentName(selection.wanted[i])) continue;
        // A document the cabinet has nothing for: say so instead of "not an entry".
        std::string why = MissingDocument(options, cabinet, selection.wanted[i]);
        if (why.empty()) continue;
        Error(why);
        selection.found[i] = true;
        ++failures;
    }
    failures += selection.ReportMissing(cabinet);
    if (blockedByLinks && !gQuiet) {
        std::fprintf(stderr, "mirad: %u of %u entries not extracted, %u of them behind a link or file on the way in\n",
                     failures, entries, blockedByLinks);
    }
    return failures ? 1 : 0;
}
namespace {

// A file manager's selection of a directory: the directory itself (with a
// trailing separator), then everything below it, directories before their
// contents. Symbolic links to directories are not followed (no loops).
bool AddDirectory(const std::string& base, const std::string& relative, std::vector<std::string>* list,
                  unsigned* directories) {
    list->push_back(relative + kSeparator);
    ++*directories;
    std::error_code error;
    std::vector<fs::directory_entry> children;
    for (fs::directory_iterator it(fs::path(JoinPath(base, relative)), error), end; !error && it != end;
         it.increment(error)) {
        children.push_back(*it);
    }
    if (error) {
        Error("cannot read the directory " + Quoted(JoinPath(base, relative)) + ": " + error.message());
        return false;
    }
    std::sort(children.begin(), children.end(),
              [](const fs::directory_entry& a, const fs::directory_entry& b) { return a.path() < b.path(); });
    for (const fs::directory_entry& child : children) {
        std::string name = JoinPath(relative, child.path().filename().string());
        std::error_code statusError;
        fs::file_status own = child.symlink_status(statusError);
        if (fs::is_directory(own)) {
            if (!AddDirectory(base, name, list, directories)) return false;
        } else if (fs::is_regular_file(child.status(statusError))) {
            list->push_back(name);
        } else {
            Warning("skipping " + Quoted(JoinPath(base, name)) + ": not a regular file");
        }
    }
    return true;
}

std::string ListBuffer(const std::vector<std::string>& names) {
    std::string buffer;
    for (const std::string& name : names) {
        buffer += name;
        buffer += '\0';
    }
    buffer += '\0';
    return buffer;
}

// sourcePath for PackFiles: joined to list names by plain concatenation, so
// it carries its own separator.
std::string SourcePrefix(const Options& options) {
    if (options.sourceDir.empty()) return "";
    std::string prefix = NativeSeparators(options.sourceDir);
    if (!IsSeparator(prefix.back())) prefix += kSeparator;
    return prefix;
}

// After the module refused a selection as beyond what a cabinet holds: the
// first file to blame and why, or "" when no size explains it (a name too
// long). The cabinet's size is estimated from above, as if every file had
// blocks of its own.
std::string FileBeyondCabinet(const std::string& base, const std::vector<std::string>& names, std::string* why) {
    const uint64_t kFourGiB = uint64_t{1} << 32, kFolderData = uint64_t{65535} * 32768;
    uint64_t total = 36, files = 0;
    for (const std::string& name : names) {
        if (IsSeparator(name.back())) continue;
        std::error_code error;
        uint64_t size = fs::file_size(fs::path(JoinPath(base, name)), error);
        if (error) continue;
        total += size + 8 * ((size + 32767) / 32768) + 16 + name.size() + 1 + 8;
        if (size >= kFourGiB) {
            *why = "a cabinet holds no file of 4 GiB or more";
        } else if (size > kFolderData) {
            *why = "a cabinet holds no file over 2147450880 bytes (65535 blocks of 32 KiB)";
        } else if (++files > 65535) {
            *why = "a cabinet holds at most 65535 files";
        } else if (total >= kFourGiB) {
            *why = "with it the cabinet would reach 4 GiB, more than the format can hold";
        } else {
            continue;
        }
        return JoinPath(base, name);
    }
    return "";
}

SettingsOverride LogOnly(const Options& options) {
    SettingsOverride changes;
    if (!options.logFile.empty()) {
        changes.setDebugFile = true;
        changes.debugFile = AbsolutePath(options.logFile);
    }
    return changes;
}

}  // namespace

int CommandPack(const Options& options) {
    if (options.arguments.size() < 2) {
        Error("pack takes a cabinet and at least one file or directory (see mirad --help)");
        return 2;
    }
    const std::string& cabinet = options.arguments[0];
    if (PathExists(cabinet)) {
        Error(Quoted(cabinet) + " already exists: pack makes new cabinets (update replaces installed files)");
        return 1;
    }
    std::string base = options.sourceDir.empty() ? "." : options.sourceDir;
    if (!options.sourceDir.empty() && !IsDirectory(base)) {
        Error("cannot pack from " + Quoted(base) + ": no such directory");
        return 1;
    }
    std::vector<std::string> names;
    unsigned directories = 0;
    auto add = [&](const std::string& path) {
        std::string full = JoinPath(base, path);
        if (IsDirectory(full)) return AddDirectory(base, path, &names, &directories);
        if (IsRegularFile(full)) {
            names.push_back(path);
            return true;
        }
        std::string why = WhyCannotRead(full);
        Error("cannot pack " + Quoted(full) + ": " + (why.empty() ? "not a regular file" : why));
        return false;
    };
    for (size_t a = 1; a < options.arguments.size(); ++a) {
        const std::string& argument = options.arguments[a];
        std::string path = NativeSeparators(argument);
        while (path.size() > 1 && IsSeparator(path.back())) path.pop_back();
        while (path.size() > 2 && path[0] == '.' && IsSeparator(path[1])) path.erase(0, 2);
        if (path == ".") {
            // "." is the directory's contents, as tar -C DIR . takes it.
            std::error_code error;
            std::vector<std::string> children;
            for (fs::directory_iterator it(fs::path(base), error), end; !error && it != end; it.increment(error))
                children.push_back(it->path().filename().string());
            if (error) {
                Error("cannot read the directory " + Quoted(base) + ": " + error.message());
                return 1;
            }
            std::sort(children.begin(), children.end());
            for (const std::string& child : children) {
                if (!add(child)) return 1;
            }
            continue;
        }
        if (IsAbsolute(path) || path == ".." || path.rfind(std::string("..") + kSeparator, 0) == 0) {
            Error("cannot pack " + Quoted(argument) + ": PATHs lie inside " + Quoted(base) +
                  " (relative to it; choose it with -C DIR, and name its contents with .)");
            return 1;
        }
        if (!add(path)) return 1;
    }

    unsigned files = static_cast<unsigned>(names.size()) - directories;
    if (files == 0) {
        // Such a cabinet holds nothing, and several readers refuse it.
        Error("nothing to pack: the selection holds no files; " + Quoted(cabinet) + " was not written");
        return 1;
    }

    std::string prefix = options.prefix;
    std::replace(prefix.begin(), prefix.end(), '/', '\\');
    if (!prefix.empty() && prefix.back() != '\\') prefix += '\\';
    std::string source = SourcePrefix(options);

    int32_t result;
    {
        // The module compresses as its settings say: pack says it always.
        SettingsOverride changes = LogOnly(options);
        changes.compression = options.compress ? "MSZIP" : "none";
        Session session;
        if (!StartSession(options, changes, &session)) return 1;
        std::string list = ListBuffer(names);
        std::vector<char> cabinetName(cabinet.begin(), cabinet.end());
        cabinetName.push_back('\0');
        std::vector<char> subPath(prefix.begin(), prefix.end()), sourcePath(source.begin(), source.end());
        subPath.push_back('\0');
        sourcePath.push_back('\0');
        session.api.SetProcessDataProc(MIRAD_PACK_HANDLE, ProgressCallback);
        StartProgress();
        result = session.api.PackFiles(cabinetName.data(), prefix.empty() ? nullptr : subPath.data(),
                                       source.empty() ? nullptr : sourcePath.data(), &list[0],
                                       options.move ? MIRAD_PACK_MOVE : 0);
        EndProgress();
    }
    uint64_t total = 0;
    for (const std::string& name : names) {
        std::error_code error;
        if (!IsSeparator(name.back())) total += fs::file_size(fs::path(JoinPath(base, name)), error);
    }
    switch (result) {
        case MIRAD_OK:
            if (!options.quiet) {
                std::printf("Packed %u file%s into '%s'%s.\n", files, files == 1 ? "" : "s", Printable(cabinet).c_str(),
                            options.move ? " and removed the sources" : "");
            }
            return 0;
        case MIRAD_ABORTED:
            Error("interrupted; " + Quoted(cabinet) + " was not made and the sources are as they were");
            return kInterruptedStatus;
        case MIRAD_EOPEN:
        case MIRAD_ECREATE: {
            // The module says only that something could not be opened or
            // written: a source, or the cabinet itself.
            for (const std::string& name : names) {
                if (IsSeparator(name.back())) continue;
                std::string why = WhyCannotRead(JoinPath(base, name));
                if (!why.empty()) {
                    Error("cannot pack into " + Quoted(cabinet) + ": cannot read " + Quoted(JoinPath(base, name)) +
                          ": " + why + "; nothing was written");
                    return 1;
                }
            }
            std::string why = WhyCannotCreate(cabinet, total);
            Error("cannot create " + Quoted(cabinet) + ": " + (why.empty() ? "the module could not write it" : why));
            break;
        }
        case MIRAD_NOT_SUPPORTED: {
            std::string why, file = FileBeyondCabinet(options.sourceDir, names, &why);
            if (!file.empty()) {
                Error("cannot pack " + Quoted(file) + " into " + Quoted(cabinet) + ": " + why +
                      "; nothing was written" + (options.move ? " or removed" : ""));
            } else {
                Error("cannot pack into " + Quoted(cabinet) +
                      ": beyond what a cabinet holds (65535 files, under 4 GiB, paths and names of 259 characters)");
            }
            break;
        }
        default:
            Error("cannot pack into " + Quoted(cabinet) + ": " + ResultText(result));
            break;
    }
    return 1;
}

int CommandUpdate(const Options& options) {
    if (options.arguments.size() < 2) {
        Error("update takes a cabinet and at least one installed file name (see mirad --help)");
        return 2;
    }
    const std::string& cabinet = options.arguments[0];
    CeFacts ce;
    if (!ReadCeFacts(options, cabinet, &ce)) return 1;
    if (!ce.isCe) {
        Error("cannot update " + Quoted(cabinet) +
              ": it is not a CE installation cabinet (it has no setup file), so it installs nothing to replace; "
              "make a new cabinet with pack");
        return 1;
    }
    std::string source = SourcePrefix(options);
    // Names as any view lists them: destinations with macros, device paths,
    // or stored names; the module takes the destination.
    std::vector<std::string> names, replacements;
    bool translated = false;
    for (size_t i = 1; i < options.arguments.size(); ++i) {
        const std::string& given = options.arguments[i];
        std::string key = NameKey(given), destination;
        for (const auto* list : {&ce.destinations, &ce.devicePaths, &ce.storedNames}) {
            for (size_t k = 0; k < list->size() && k < ce.destinations.size() && destination.empty(); ++k) {
                if (NameKey((*list)[k]) == key) destination = ce.destinations[k];
            }
        }
        if (destination.empty()) {
            Error("cannot update " + Quoted(cabinet) + ": " + Quoted(given) +
                  " is not a file it installs (name it as 'mirad list' shows it: --installed, --installed --expand "
                  "or --stored); nothing was changed");
            return 1;
        }
        std::string file = source + NativeSeparators(given);
        std::string why = WhyCannotRead(file);
        if (!why.empty()) {
            Error("cannot update " + Quoted(cabinet) + ": cannot read the replacement " + Quoted(file) + ": " + why +
                  "; nothing was changed");
            return 1;
        }
        if (NameKey(destination) != key) translated = true;
        // The module matches names with either separator; the replacement is
        // read from the source prefix + the name, so it takes this system's.
        names.push_back(NativeSeparators(NameKey(destination) == key ? given : destination));
        replacements.push_back(file);
    }
    // A name given as another view shows it: the module reads replacements
    // under the destination name, so they are linked or copied there.
    std::unique_ptr<TempDirectory> staging;
    if (translated) {
        staging.reset(new TempDirectory());
        if (staging->path.empty()) {
            Error("cannot create a temporary directory for the replacements");
            return 1;
        }
        for (size_t i = 0; i < names.size(); ++i) {
            std::string staged = JoinPath(staging->path, names[i]);
            std::error_code error;
            fs::create_directories(fs::path(staged).parent_path(), error);
            fs::create_hard_link(fs::path(replacements[i]), fs::path(staged), error);
            if (error && !CopyFileBytes(replacements[i], staged)) {
                Error("cannot stage the replacement " + Quoted(replacements[i]) + " in a temporary directory");
                return 1;
            }
        }
        source = staging->path + kSeparator;
    }

    // The module keeps the cabinet's compression; one that mixes methods is
    // written in one, which the user is told.
    CabinetFacts before = ReadCabinetFacts(cabinet);
    std::set<std::string> methods;
    for (const CabinetFacts::Folder& folder : before.folders) methods.insert(CompressionName(folder.typeCompress));

    int32_t result;
    {
        Session session;
        if (!StartSession(options, LogOnly(options), &session)) return 1;
        std::string list = ListBuffer(names);
        std::vector<char> cabinetName(cabinet.begin(), cabinet.end()), sourcePath(source.begin(), source.end());
        cabinetName.push_back('\0');
        sourcePath.push_back('\0');
        session.api.SetProcessDataProc(MIRAD_PACK_HANDLE, ProgressCallback);
        StartProgress();
        result = session.api.PackFiles(cabinetName.data(), nullptr, source.empty() ? nullptr : sourcePath.data(),
                                       &list[0], 0);
        EndProgress();
    }
    switch (result) {
        case MIRAD_OK:
            if (!options.quiet) {
                std::printf("Updated '%s': replaced %zu file%s.\n", Printable(cabinet).c_str(), names.size(),
                            names.size() == 1 ? "" : "s");
                CabinetFacts after = ReadCabinetFacts(cabinet);
                if (methods.size() > 1 && !after.folders.empty()) {
                    std::string method = CompressionName(after.folders[0].typeCompress);
                    std::printf("It mixed stored and MSZIP folders and is now written %s, as most of its data was: "
                                "%llu bytes, was %llu.\n",
                                method == "none" ? "stored" : method.c_str(),
                                static_cast<unsigned long long>(after.length),
                                static_cast<unsigned long long>(before.length));
                }
            }
            return 0;
        case MIRAD_NOT_SUPPORTED:
            Error("cannot update " + Quoted(cabinet) +
                  ": not supported (a name too long, or beyond what a cabinet holds); nothing was changed");
            break;
        case MIRAD_ABORTED:
            Error("interrupted; " + Quoted(cabinet) + " is as it was");
            return kInterruptedStatus;
        case MIRAD_EOPEN:
            Error("cannot update " + Quoted(cabinet) + ": a replacement file could not be read as planned; "
                  "nothing was changed");
            break;
        case MIRAD_ECREATE: {
            if (IsReadOnlyFile(cabinet)) {
                Error("cannot update " + Quoted(cabinet) + ": it is read-only; nothing was changed");
                break;
            }
            std::error_code error;
            uint64_t size = fs::file_size(fs::path(cabinet), error);
            std::string why = WhyCannotCreate(JoinPath(ParentDirectory(cabinet), ".mirad-probe"), error ? 0 : size);
            Error("cannot update " + Quoted(cabinet) + ": the new cabinet could not be written beside it" +
                  (why.empty() ? "" : " (" + why + ")") + "; nothing was changed");
            break;
        }
        case MIRAD_BAD_DATA:
        case MIRAD_UNKNOWN_FORMAT:
            Error(OpenFailure(cabinet, result));
            break;
        default:
            Error("cannot update " + Quoted(cabinet) + ": " + ResultText(result));
            break;
    }
    return 1;
}

}  // namespace host
