// The commands: each one drives the exports in the order a file manager
// uses (OpenArchive, ReadHeader/ProcessFile pairs until 10, CloseArchive, or
// one PackFiles call) and turns result codes into sentences.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "host/host.h"

namespace fs = std::filesystem;

namespace host {

void Error(const std::string& sentence) { std::fprintf(stderr, "mirad: %s\n", sentence.c_str()); }
void Warning(const std::string& sentence) { std::fprintf(stderr, "mirad: warning: %s\n", sentence.c_str()); }

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
        default: return "unknown result " + std::to_string(code);
    }
}

namespace {

constexpr size_t kMaxPath = 259;  // the module's path buffers hold 259 characters and a NUL
const char kRegistryName[] = "~Cab~.REG";
const char kInfName[] = "~Cab~.INF";

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
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
    switch (code) {
        case MIRAD_EOPEN: {
            std::string why = WhyCannotRead(cabinet);
            if (why.empty() && cabinet.size() > kMaxPath) why = "the path is longer than 259 characters";
            return "cannot open " + Quoted(cabinet) + ": " + (why.empty() ? "the module could not open it" : why);
        }
        case MIRAD_BAD_DATA:
            if (IsDirectory(cabinet)) return "cannot open " + Quoted(cabinet) + ": it is a directory";
            return Quoted(cabinet) + " is not a cabinet, or it is damaged (bad data)";
        case MIRAD_UNKNOWN_FORMAT:
            return Quoted(cabinet) + " is a cabinet Mirad does not read: compressed, or part of a multi-part set";
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
    return true;
}

bool IsDocumentName(const std::string& name) {
    std::string key = NameKey(name);
    return key == Lower(kRegistryName) || key == Lower(kInfName);
}

#if defined(_WIN32)
// A Windows host reads the header the Windows way: the DOS date and time
// pair and DOS attribute bits.
std::string EntryTime(int32_t fileTime) {
    if (fileTime == 0) return "-";
    uint32_t value = static_cast<uint32_t>(fileTime);
    unsigned date = value >> 16, time = value & 0xFFFF;
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (date >> 9), (date >> 5) & 15,
                  date & 31, time >> 11, (time >> 5) & 63, (time & 31) * 2);
    return text;
}

std::string EntryAttributes(int32_t attributes) {
    std::string letters = "----";
    if (attributes & 0x01) letters[0] = 'R';
    if (attributes & 0x02) letters[1] = 'H';
    if (attributes & 0x04) letters[2] = 'S';
    if (attributes & 0x20) letters[3] = 'A';
    return letters;
}
#else
// A POSIX host reads it the Unix way: seconds since 1970 (shown in local
// time, which is how the cabinet stored them) and a file mode, whose
// letters follow the rule packing uses (read-only: no owner write bit;
// archive: every regular file).
std::string EntryTime(int32_t fileTime) {
    if (fileTime == 0) return "-";
    time_t t = static_cast<time_t>(fileTime);
    struct tm local;
    char text[32];
    if (!localtime_r(&t, &local) || !std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local)) return "-";
    return text;
}

std::string EntryAttributes(int32_t mode) {
    std::string letters = "----";
    if (!(mode & 0200)) letters[0] = 'R';
    if ((mode & 0170000) == 0100000) letters[3] = 'A';
    return letters;
}
#endif

}  // namespace

std::string FormatEntry(const EntryHeader& header) {
    std::string name(header.fileName, strnlen(header.fileName, sizeof header.fileName));
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
                  EntryAttributes(header.fileAttributes).c_str());
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

bool NameMatches(const std::string& entry, const std::string& wanted) {
    std::string e = NameKey(entry), w = NameKey(wanted);
    if (w.empty()) return false;
    // A directory name selects everything below it.
    return e == w || (e.size() > w.size() && e.compare(0, w.size(), w) == 0 && e[w.size()] == '\\');
}

int CommandList(const Options& options) {
    if (options.arguments.size() != 1) {
        Error("list takes one cabinet (see mirad --help)");
        return 2;
    }
    Session session;
    if (!StartSession(options, ViewOverride(options), &session)) return 1;
    Archive archive;
    if (!OpenCabinet(session, options.arguments[0], &archive)) return 1;
    for (;;) {
        EntryHeader header;
        std::memset(&header, 0, sizeof header);
        if (session.api.ReadHeader(archive.handle, &header) != MIRAD_OK) break;
        std::printf("%s\n", FormatEntry(header).c_str());
        session.api.ProcessFile(archive.handle, MIRAD_SKIP, nullptr, nullptr);
    }
    return 0;
}

int CommandTest(const Options& options) {
    if (options.arguments.size() != 1) {
        Error("test takes one cabinet (see mirad --help)");
        return 2;
    }
    const std::string& cabinet = options.arguments[0];
    Session session;
    if (!StartSession(options, ViewOverride(options), &session)) return 1;
    Archive archive;
    if (!OpenCabinet(session, cabinet, &archive)) return 1;
    unsigned tested = 0, failed = 0;
    for (;;) {
        EntryHeader header;
        std::memset(&header, 0, sizeof header);
        if (session.api.ReadHeader(archive.handle, &header) != MIRAD_OK) break;
        std::string name(header.fileName, strnlen(header.fileName, sizeof header.fileName));
        int32_t result = session.api.ProcessFile(archive.handle, MIRAD_TEST, nullptr, nullptr);
        ++tested;
        if (result != MIRAD_OK) {
            ++failed;
            Error(Quoted(name) + " in " + Quoted(cabinet) + " failed the test: " + ResultText(result));
        }
    }
    if (failed) {
        Error(std::to_string(failed) + " of " + std::to_string(tested) + " entries in " + Quoted(cabinet) +
              " failed the test");
        return 1;
    }
    std::printf("%s: all %u entries tested OK\n", cabinet.c_str(), tested);
    return 0;
}

int CommandExtract(const Options& options) {
    if (options.arguments.empty()) {
        Error("extract takes a cabinet and optionally entry names (see mirad --help)");
        return 2;
    }
    const std::string& cabinet = options.arguments[0];
    std::vector<std::string> wanted(options.arguments.begin() + 1, options.arguments.end());
    std::vector<bool> found(wanted.size(), false);
    const bool toStdout = options.outputDir == "-";
    const std::string& dir = options.outputDir;

    // Naming a document lists it for this run, whatever the view says.
    SettingsOverride changes = ViewOverride(options);
    for (const std::string& name : wanted) {
        if (NameKey(name) == Lower(kRegistryName)) changes.view[kShowRegistry] = 1;
        if (NameKey(name) == Lower(kInfName)) changes.view[kShowInfFile] = 1;
    }

    if (!toStdout && !MakeDirectories(dir)) {
        Error("cannot create the directory " + Quoted(dir));
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

    unsigned failures = 0;
    for (;;) {
        EntryHeader header;
        std::memset(&header, 0, sizeof header);
        if (session.api.ReadHeader(archive.handle, &header) != MIRAD_OK) break;
        std::string name(header.fileName, strnlen(header.fileName, sizeof header.fileName));
        bool selected = wanted.empty();
        for (size_t i = 0; i < wanted.size(); ++i) {
            if (NameMatches(name, wanted[i])) selected = found[i] = true;
        }
        if (!selected) {
            session.api.ProcessFile(archive.handle, MIRAD_SKIP, nullptr, nullptr);
            continue;
        }

        std::string destination;
        if (toStdout) {
            // Through a file: the module only writes to paths.
            destination = JoinPath(scratch->path, "entry");
            std::remove(destination.c_str());
        } else {
            bool changed = false;
            std::vector<std::string> parts = SafeParts(name, &changed);
            if (parts.empty()) {
                Error("entry " + Quoted(name) + " of " + Quoted(cabinet) + " has no name left inside " +
                      Quoted(dir) + "; skipped");
                ++failures;
                session.api.ProcessFile(archive.handle, MIRAD_SKIP, nullptr, nullptr);
                continue;
            }
            std::string relative;
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
                session.api.ProcessFile(archive.handle, MIRAD_SKIP, nullptr, nullptr);
                continue;
            }
            std::string parent = dir;
            for (size_t i = 0; i + 1 < parts.size(); ++i) parent = JoinPath(parent, parts[i]);
            if (!MakeDirectories(parent)) {
                Error("cannot extract " + Quoted(name) + ": cannot create the directory " + Quoted(parent));
                ++failures;
                session.api.ProcessFile(archive.handle, MIRAD_SKIP, nullptr, nullptr);
                continue;
            }
        }

        std::vector<char> target(destination.begin(), destination.end());
        target.push_back('\0');
        int32_t result;
        if (toStdout) {
            StdoutToStderr quiet;
            result = session.api.ProcessFile(archive.handle, MIRAD_EXTRACT, nullptr, target.data());
        } else {
            result = session.api.ProcessFile(archive.handle, MIRAD_EXTRACT, nullptr, target.data());
        }
        if (result == MIRAD_OK && toStdout && !CopyToStdout(destination)) {
            Error("cannot write " + Quoted(name) + " to standard output");
            ++failures;
        } else if (result == MIRAD_ECREATE) {
            Error("cannot extract " + Quoted(name) + ": cannot create " + Quoted(destination));
            ++failures;
        } else if (result == MIRAD_BAD_DATA) {
            Error("cannot extract " + Quoted(name) + ": the data of " + Quoted(cabinet) + " is damaged (bad data)");
            ++failures;
        } else if (result != MIRAD_OK) {
            Error("cannot extract " + Quoted(name) + " from " + Quoted(cabinet) + ": " + ResultText(result));
            ++failures;
        }
        if (toStdout) std::remove(destination.c_str());
    }

    for (size_t i = 0; i < wanted.size(); ++i) {
        if (found[i]) continue;
        Error(Quoted(wanted[i]) + " is not an entry of " + Quoted(cabinet) +
              " in this view (see mirad list and the view flags)");
        ++failures;
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
    for (const std::string& argument : options.arguments) {
        if (&argument == &options.arguments[0]) continue;
        std::string path = NativeSeparators(argument);
        while (path.size() > 1 && IsSeparator(path.back())) path.pop_back();
        while (path.size() > 2 && path[0] == '.' && IsSeparator(path[1])) path.erase(0, 2);
        if (IsAbsolute(path) || path == "." || path == "..") {
            Error("cannot pack " + Quoted(argument) + ": name files and directories relative to " + Quoted(base) +
                  " (choose it with -C)");
            return 1;
        }
        std::string full = JoinPath(base, path);
        if (IsDirectory(full)) {
            if (!AddDirectory(base, path, &names, &directories)) return 1;
        } else if (IsRegularFile(full)) {
            names.push_back(path);
        } else {
            Error("cannot pack " + Quoted(full) + ": no such file or directory");
            return 1;
        }
    }

    std::string prefix = options.prefix;
    std::replace(prefix.begin(), prefix.end(), '/', '\\');
    if (!prefix.empty() && prefix.back() != '\\') prefix += '\\';
    std::string source = SourcePrefix(options);

    Session session;
    if (!StartSession(options, LogOnly(options), &session)) return 1;
    std::string list = ListBuffer(names);
    std::vector<char> cabinetName(cabinet.begin(), cabinet.end());
    cabinetName.push_back('\0');
    std::vector<char> subPath(prefix.begin(), prefix.end()), sourcePath(source.begin(), source.end());
    subPath.push_back('\0');
    sourcePath.push_back('\0');
    int32_t result = session.api.PackFiles(cabinetName.data(), prefix.empty() ? nullptr : subPath.data(),
                                           source.empty() ? nullptr : sourcePath.data(), &list[0],
                                           options.move ? MIRAD_PACK_MOVE : 0);
    unsigned files = static_cast<unsigned>(names.size()) - directories;
    switch (result) {
        case MIRAD_OK:
            std::printf("Packed %u file%s into '%s'%s.\n", files, files == 1 ? "" : "s", cabinet.c_str(),
                        options.move ? " and removed the sources" : "");
            return 0;
        case MIRAD_EOPEN:
            Error("cannot pack into " + Quoted(cabinet) +
                  ": a source file could not be read as planned, or the cabinet could not be created");
            break;
        case MIRAD_ECREATE:
            Error("cannot write " + Quoted(cabinet) + " completely; nothing was kept");
            break;
        case MIRAD_NOT_SUPPORTED:
            Error("cannot pack into " + Quoted(cabinet) +
                  ": beyond what a cabinet holds (65535 files, under 4 GiB, paths and names of 259 characters)");
            break;
        default:
            Error("cannot pack into " + Quoted(cabinet) + ": " + ResultText(result));
            break;
    }
    return 1;
}

namespace {

// After an update refused a name: which names are not installed files, as
// the installed view without macro expansion shows them.
std::vector<std::string> UnknownInstalledNames(const Options& options, const std::vector<std::string>& names) {
    SettingsOverride view;
    for (int i = 0; i < kViewOptionCount; ++i) view.view[i] = 0;
    view.view[kExpandPath] = 1;
    Session session;
    std::vector<std::string> unknown;
    if (!StartSession(options, view, &session)) return unknown;
    Archive archive;
    if (!OpenCabinet(session, options.arguments[0], &archive)) return unknown;
    std::vector<bool> seen(names.size(), false);
    for (;;) {
        EntryHeader header;
        std::memset(&header, 0, sizeof header);
        if (session.api.ReadHeader(archive.handle, &header) != MIRAD_OK) break;
        std::string entry(header.fileName, strnlen(header.fileName, sizeof header.fileName));
        for (size_t i = 0; i < names.size(); ++i) {
            if (NameKey(entry) == NameKey(names[i])) seen[i] = true;
        }
        session.api.ProcessFile(archive.handle, MIRAD_SKIP, nullptr, nullptr);
    }
    for (size_t i = 0; i < names.size(); ++i) {
        if (!seen[i]) unknown.push_back(names[i]);
    }
    return unknown;
}

}  // namespace

int CommandUpdate(const Options& options) {
    if (options.arguments.size() < 2) {
        Error("update takes a cabinet and at least one installed file name (see mirad --help)");
        return 2;
    }
    const std::string& cabinet = options.arguments[0];
    std::string why = WhyCannotRead(cabinet);
    if (!why.empty()) {
        // PackFiles would make a new cabinet of a path it cannot open.
        Error("cannot open " + Quoted(cabinet) + ": " + why);
        return 1;
    }
    std::string source = SourcePrefix(options);
    std::vector<std::string> names;
    for (size_t i = 1; i < options.arguments.size(); ++i) {
        // The module matches names with either separator; the replacement is
        // read from the source prefix + the name, so it takes this system's.
        std::string name = NativeSeparators(options.arguments[i]);
        if (name.empty() || IsSeparator(name.back())) {
            Error("cannot update with " + Quoted(options.arguments[i]) + ": name an installed file, not a directory");
            return 1;
        }
        std::string file = source + name;
        if (!IsRegularFile(file)) {
            Error("cannot update " + Quoted(cabinet) + ": the replacement " + Quoted(file) + " is not a readable file");
            return 1;
        }
        names.push_back(name);
    }

    int32_t result;
    {
        Session session;
        if (!StartSession(options, LogOnly(options), &session)) return 1;
        std::string list = ListBuffer(names);
        std::vector<char> cabinetName(cabinet.begin(), cabinet.end()), sourcePath(source.begin(), source.end());
        cabinetName.push_back('\0');
        sourcePath.push_back('\0');
        result = session.api.PackFiles(cabinetName.data(), nullptr, source.empty() ? nullptr : sourcePath.data(),
                                       &list[0], 0);
    }
    switch (result) {
        case MIRAD_OK:
            std::printf("Updated '%s': replaced %zu file%s.\n", cabinet.c_str(), names.size(),
                        names.size() == 1 ? "" : "s");
            return 0;
        case MIRAD_NOT_SUPPORTED: {
            std::vector<std::string> unknown = UnknownInstalledNames(options, names);
            if (!unknown.empty()) {
                Error("cannot update " + Quoted(cabinet) + ": " + Quoted(unknown[0]) +
                      " is not a file it installs (names are installed paths such as %CE1%\\Game\\game.exe, as "
                      "'mirad list --installed' shows them); nothing was changed");
            } else {
                Error("cannot update " + Quoted(cabinet) +
                      ": not supported (a name too long, or beyond what a cabinet holds); nothing was changed");
            }
            break;
        }
        case MIRAD_EOPEN:
            Error("cannot update " + Quoted(cabinet) + ": a replacement file could not be read as planned; "
                  "nothing was changed");
            break;
        case MIRAD_ECREATE:
            Error("cannot update " + Quoted(cabinet) + ": the new cabinet could not be written beside it; "
                  "nothing was changed");
            break;
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
