// The host's operating-system services on POSIX systems.
#include <dlfcn.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "host/os.h"

namespace host {

std::string ExecutableDirectory() {
    std::vector<char> buffer(4096);
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) return "";
    std::string path(buffer.data(), static_cast<size_t>(length));
    size_t cut = path.find_last_of('/');
    return cut == std::string::npos ? std::string(".") : path.substr(0, cut);
}

std::string DefaultConfigDirectory() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    // A relative XDG_CONFIG_HOME is invalid by its own rules and is ignored.
    if (xdg && xdg[0] == '/') return JoinPath(xdg, "mirad");
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* entry = getpwuid(getuid());
        home = entry ? entry->pw_dir : nullptr;
    }
    if (!home || !*home) return "";
    return JoinPath(JoinPath(home, ".config"), "mirad");
}

std::string BlockedWayBelow(const std::string& root, const std::vector<std::string>& parts, size_t count) {
    std::string path = root;
    for (size_t i = 0; i < count && i < parts.size(); ++i) {
        path = JoinPath(path, parts[i]);
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) return "";
        if (S_ISLNK(st.st_mode)) return "the way in, '" + path + "', is a symbolic link; it is not followed";
        if (!S_ISDIR(st.st_mode)) return "'" + path + "' is not a directory";
    }
    return "";
}

bool IsReadOnlyFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && (!(st.st_mode & S_IWUSR) || access(path.c_str(), W_OK) != 0);
}

StdoutToStderr::StdoutToStderr() {
    std::fflush(stdout);
    saved = dup(1);
    if (saved >= 0) dup2(2, 1);
}

StdoutToStderr::~StdoutToStderr() {
    std::fflush(stdout);
    if (saved < 0) return;
    dup2(saved, 1);
    close(saved);
}

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) != 0; }
bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }
void SetStdoutBinary() {}

bool FreeSpace(const std::string& directory, uint64_t* free, uint64_t* block) {
    struct statvfs space;
    if (statvfs(directory.c_str(), &space) != 0) return false;
    *free = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
    *block = space.f_frsize;
    return true;
}

// The module gives Unix seconds (the stored local time) and a file mode.
// The files of a cabinet mostly share a time: the text of the last one
// converted is kept (one run of the host sees one time zone).
const std::string& EntryTime(int32_t fileTime, bool iso) {
    static const std::string kNone = "-", kNoneIso;
    if (fileTime == 0) return iso ? kNoneIso : kNone;
    thread_local int32_t lastTime = 0;
    thread_local bool lastIso = false;
    thread_local std::string lastText;
    if (fileTime == lastTime && iso == lastIso) return lastText;
    time_t t = static_cast<time_t>(fileTime);
    struct tm local;
    char text[32];
    if (!localtime_r(&t, &local) ||
        !std::strftime(text, sizeof text, iso ? "%Y-%m-%dT%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &local)) {
        return iso ? kNoneIso : kNone;
    }
    lastTime = fileTime;
    lastIso = iso;
    lastText = text;
    return lastText;
}

// A mode tells only read-only (no owner write bit); every regular file
// counts as archive, the rule packing follows.
int32_t EntryAttributeBits(int32_t mode) {
    int32_t bits = (mode & 0170000) == 0100000 ? 0x20 : 0;
    if (!(mode & 0200)) bits |= 0x01;
    return bits;
}

void* LoadLibraryFile(const std::string& path, std::string* error) {
    // dlopen searches the library path for a name without a "/".
    std::string where = path.find('/') == std::string::npos ? "./" + path : path;
    // Lazily bound, as file managers load their plug-ins: a listing calls a
    // handful of the module's imports, and binding all of them up front
    // would cost more than the listing itself.
    void* library = dlopen(where.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!library) {
        const char* why = dlerror();
        *error = "cannot load the module '" + path + "': " + (why ? why : "unknown reason");
    }
    return library;
}

void* FindSymbol(void* library, const char* name) { return dlsym(library, name); }
void UnloadLibrary(void* library) { dlclose(library); }

TempDirectory::TempDirectory() {
    std::error_code error;
    std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error) base = ".";
    std::string pattern = (base / "mirad-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data())) path = buffer.data();
}

}  // namespace host
