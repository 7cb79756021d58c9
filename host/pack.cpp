// `mirad pack`: a file manager's add list of the PATHs, handed to PackFiles.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cabinet/layout.h"
#include "host/commands.h"
#include "host/module.h"
#include "host/output.h"
#include "host/pack_list.h"
#include "host/progress.h"

namespace fs = std::filesystem;

namespace host {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsAbsolute(const std::string& path) {
    if (!path.empty() && IsSeparator(path[0])) return true;
    return path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
}

// A file manager's selection of a directory: the directory itself (with a
// trailing separator), then everything below it, directories before their
// contents. Symbolic links to directories are not followed (no loops).
bool AddDirectory(const std::string& base, const std::string& relative, PackList* list) {
    list->names.push_back(relative + kSeparator);
    ++list->directories;
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
        if (fs::is_directory(child.symlink_status(statusError))) {
            if (!AddDirectory(base, name, list)) return false;
        } else if (fs::is_regular_file(child.status(statusError))) {
            list->names.push_back(name);
        } else {
            Warning("skipping " + Quoted(JoinPath(base, name)) + ": not a regular file");
        }
    }
    return true;
}

bool Add(const std::string& base, const std::string& path, PackList* list) {
    std::string full = JoinPath(base, path);
    if (IsDirectory(full)) return AddDirectory(base, path, list);
    if (IsRegularFile(full)) {
        list->names.push_back(path);
        return true;
    }
    std::string why = WhyCannotRead(full);
    Error("cannot pack " + Quoted(full) + ": " + (why.empty() ? "not a regular file" : why));
    return false;
}

// One PATH of the command line into the list.
bool AddArgument(const std::string& base, const std::string& argument, PackList* list) {
    std::string path = NativeSeparators(argument);
    while (path.size() > 1 && IsSeparator(path.back())) path.pop_back();
    while (path.size() > 2 && path[0] == '.' && IsSeparator(path[1])) path.erase(0, 2);
    if (path == ".") {
        // "." is the directory's contents, as tar -C DIR . takes it.
        std::vector<std::string> children;
        std::string why;
        if (!ListDirectory(base, &children, &why)) {
            Error("cannot read the directory " + Quoted(base) + ": " + why);
            return false;
        }
        for (const std::string& child : children) {
            if (!Add(base, child, list)) return false;
        }
        return true;
    }
    if (IsAbsolute(path) || path == ".." || path.rfind(std::string("..") + kSeparator, 0) == 0) {
        Error("cannot pack " + Quoted(argument) + ": PATHs lie inside " + Quoted(base) +
              " (relative to it; choose it with -C DIR, and name its contents with .)");
        return false;
    }
    return Add(base, path, list);
}

// After the module refused a selection as beyond what a cabinet holds: the
// first file to blame and why, as the cabinet's layout would refuse it, or
// "" when no size explains it (a name too long).
std::string FileBeyondLayout(const std::string& base, const PackList& list, const std::string& prefix, std::string* why) {
    std::vector<mirad::LayoutFile> files;
    std::vector<std::string> paths;
    for (const std::string& name : list.names) {
        if (IsSeparator(name.back())) continue;
        uint64_t size = FileSize(JoinPath(base, name));
        if (size > UINT32_MAX) {
            *why = "a cabinet holds no file of 4 GiB or more";
            return JoinPath(base, name);
        }
        files.push_back({static_cast<uint32_t>(size), static_cast<uint32_t>(prefix.size() + name.size())});
        paths.push_back(JoinPath(base, name));
    }
    mirad::CabinetPlan plan;
    size_t failedAt = 0;
    mirad::Error refused = mirad::PlanLayout(files.data(), files.size(), &plan, &failedAt);
    if (!refused || failedAt >= paths.size()) return "";
    *why = refused.reason;
    return paths[failedAt];
}

int PackFailure(const Options& options, const PackList& list, const std::string& prefix, int32_t result) {
    const std::string& cabinet = options.arguments[0];
    std::string base = options.sourceDir.empty() ? "." : options.sourceDir;
    if (result == MIRAD_ABORTED) {
        Error("interrupted; " + Quoted(cabinet) + " was not made and the sources are as they were");
        return kInterruptedStatus;
    }
    if (result == MIRAD_EOPEN || result == MIRAD_ECREATE) {
        // The module says only that something could not be opened or
        // written: a source, or the cabinet itself.
        uint64_t total = 0;
        for (const std::string& name : list.names) {
            if (IsSeparator(name.back())) continue;
            total += FileSize(JoinPath(base, name));
            std::string why = WhyCannotRead(JoinPath(base, name));
            if (!why.empty()) {
                Error("cannot pack into " + Quoted(cabinet) + ": cannot read " + Quoted(JoinPath(base, name)) + ": " +
                      why + "; nothing was written");
                return 1;
            }
        }
        std::string why = WhyCannotCreate(cabinet, total);
        Error("cannot create " + Quoted(cabinet) + ": " + (why.empty() ? "the module could not write it" : why));
    } else if (result == MIRAD_NOT_SUPPORTED) {
        std::string why, file = FileBeyondLayout(options.sourceDir, list, prefix, &why);
        if (!file.empty()) {
            Error("cannot pack " + Quoted(file) + " into " + Quoted(cabinet) + ": " + why + "; nothing was written" +
                  (options.move ? " or removed" : ""));
        } else {
            Error("cannot pack into " + Quoted(cabinet) +
                  ": beyond what a cabinet holds (65535 files, under 4 GiB, paths and names of 259 characters)");
        }
    } else {
        Error("cannot pack into " + Quoted(cabinet) + ": " + ResultText(result));
    }
    return 1;
}

}  // namespace

int CommandPack(const Options& options) {
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
    PackList list;
    for (size_t a = 1; a < options.arguments.size(); ++a) {
        if (!AddArgument(base, options.arguments[a], &list)) return 1;
    }
    unsigned files = static_cast<unsigned>(list.names.size()) - list.directories;
    if (files == 0) {
        // Such a cabinet holds nothing, and several readers refuse it.
        Error("nothing to pack: the selection holds no files; " + Quoted(cabinet) + " was not written");
        return 1;
    }
    std::string prefix = options.prefix;
    std::replace(prefix.begin(), prefix.end(), '/', '\\');
    if (!prefix.empty() && prefix.back() != '\\') prefix += '\\';
    Session session;
    // The module compresses as its settings say: pack says it always.
    SettingsChanges changes = LogChanges(options);
    changes.compression = options.compress ? "MSZIP" : "none";
    if (!session.Start(options, changes)) return 1;
    int32_t result = PackFiles(session, cabinet, prefix, SourcePrefix(options), list.names,
                               options.move ? MIRAD_PACK_MOVE : 0);
    if (result != MIRAD_OK) return PackFailure(options, list, prefix, result);
    if (!options.quiet) {
        std::printf("Packed %u file%s into '%s'%s.\n", files, files == 1 ? "" : "s", Printable(cabinet).c_str(),
                    options.move ? " and removed the sources" : "");
    }
    return 0;
}

}  // namespace host
