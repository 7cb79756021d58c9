// The few operating-system services the host needs. The host is not part of
// the module, so it keeps its own small platform switches here.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "host/host.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace host {

std::string ExecutableDirectory() {
#if defined(_WIN32)
    char buffer[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return "";
    std::string path(buffer, length);
#else
    std::string path;
    std::vector<char> buffer(4096);
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) return "";
    path.assign(buffer.data(), static_cast<size_t>(length));
#endif
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? std::string(".") : path.substr(0, cut);
}

std::string DefaultConfigDirectory() {
#if defined(_WIN32)
    const char* appData = std::getenv("APPDATA");
    if (appData && *appData) return JoinPath(appData, "mirad");
    return "";
#else
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
#endif
}

bool IsDirectory(const std::string& path) {
    std::error_code error;
    return fs::is_directory(fs::path(path), error);
}

bool IsRegularFile(const std::string& path) {
    std::error_code error;
    return fs::is_regular_file(fs::path(path), error);
}

bool PathExists(const std::string& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(fs::path(path), error));
}

bool MakeDirectories(const std::string& path) {
    std::error_code error;
    fs::create_directories(fs::path(path), error);
    return IsDirectory(path);
}

namespace {
std::string Quote(const std::string& text) { return "'" + text + "'"; }
}  // namespace

std::string BlockedWayBelow(const std::string& root, const std::vector<std::string>& parts, size_t count) {
    std::string path = root;
    for (size_t i = 0; i < count && i < parts.size(); ++i) {
        path = JoinPath(path, parts[i]);
#if defined(_WIN32)
        DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return "";
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return "the way in, " + Quote(path) + ", is a link (reparse point); it is not followed";
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return Quote(path) + " is not a directory";
#else
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) return "";
        if (S_ISLNK(st.st_mode)) return "the way in, " + Quote(path) + ", is a symbolic link; it is not followed";
        if (!S_ISDIR(st.st_mode)) return Quote(path) + " is not a directory";
#endif
    }
    return "";
}

bool IsReadOnlyFile(const std::string& path) {
#if defined(_WIN32)
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
#else
    struct stat st;
    return stat(path.c_str(), &st) == 0 && (!(st.st_mode & S_IWUSR) || access(path.c_str(), W_OK) != 0);
#endif
}

std::string AbsolutePath(const std::string& path) {
    std::error_code error;
    fs::path absolute = fs::absolute(fs::path(path), error);
    return error ? path : absolute.lexically_normal().string();
}

bool CopyFileBytes(const std::string& from, const std::string& to) {
    std::FILE* in = std::fopen(from.c_str(), "rb");
    if (!in) return false;
    std::FILE* out = std::fopen(to.c_str(), "wb");
    if (!out) {
        std::fclose(in);
        return false;
    }
    char buffer[32768];
    bool ok = true;
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        if (std::fwrite(buffer, 1, count, out) != count) {
            ok = false;
            break;
        }
    }
    if (std::ferror(in)) ok = false;
    std::fclose(in);
    if (std::fclose(out) != 0) ok = false;
    return ok;
}

bool CopyToStdout(const std::string& path) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) return false;
    std::fflush(stdout);
#if defined(_WIN32)
    // Documents carry CR LF already; text mode would double the CRs.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    char buffer[32768];
    bool ok = true;
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        if (std::fwrite(buffer, 1, count, stdout) != count) {
            ok = false;
            break;
        }
    }
    if (std::ferror(in)) ok = false;
    std::fclose(in);
    if (std::fflush(stdout) != 0) ok = false;
    return ok;
}

StdoutToStderr::StdoutToStderr() {
    std::fflush(stdout);
#if defined(_WIN32)
    saved = _dup(1);
    if (saved >= 0) _dup2(2, 1);
#else
    saved = dup(1);
    if (saved >= 0) dup2(2, 1);
#endif
}

StdoutToStderr::~StdoutToStderr() {
    std::fflush(stdout);
    if (saved < 0) return;
#if defined(_WIN32)
    _dup2(saved, 1);
    _close(saved);
#else
    dup2(saved, 1);
    close(saved);
#endif
}

std::string WhyCannotRead(const std::string& path) {
    if (IsDirectory(path)) return std::strerror(EISDIR);
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file) {
        std::fclose(file);
        return "";
    }
    return std::strerror(errno ? errno : EIO);
}

std::string ParentDirectory(const std::string& path) {
    size_t cut = path.find_last_of("/\\");
    if (cut == std::string::npos) return ".";
    return cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
}

std::string WhyCannotCreate(const std::string& path, uint64_t size) {
    if (IsDirectory(path)) return std::strerror(EISDIR);
    std::string parent = ParentDirectory(path);
    if (!IsDirectory(parent)) return std::strerror(PathExists(parent) ? ENOTDIR : ENOENT);
    // Asking the system is the only sure way to learn its reason; a file
    // made by the question is removed again, one that was there is not cut.
    bool existed = PathExists(path);
    // A probe through a link would create or touch what it points at.
    std::error_code linkError;
    if (existed && fs::is_symlink(fs::symlink_status(fs::path(path), linkError))) return "";
    errno = 0;
    std::FILE* probe = std::fopen(path.c_str(), "ab");
    if (!probe) return std::strerror(errno ? errno : EACCES);
    std::fclose(probe);
    if (!existed) std::remove(path.c_str());
#if !defined(_WIN32)
    struct statvfs space;
    if (statvfs(parent.c_str(), &space) == 0) {
        uint64_t free = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
        // Blocks are allocated whole: a file needs its size and a block more.
        if (free < size + space.f_frsize) return std::strerror(ENOSPC);
    }
#else
    ULARGE_INTEGER free;
    if (GetDiskFreeSpaceExA(parent.c_str(), &free, nullptr, nullptr) && free.QuadPart < size + 1)
        return std::strerror(ENOSPC);
#endif
    return "";
}

bool StdoutIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(1) != 0;
#endif
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    char last = dir.back();
    if (last == '/' || last == '\\') return dir + name;
    return dir + kSeparator + name;
}

TempDirectory::TempDirectory() {
    std::error_code error;
    fs::path base = fs::temp_directory_path(error);
    if (error) base = fs::path(".");
#if defined(_WIN32)
    for (unsigned attempt = 0; attempt < 1000 && path.empty(); ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, "mirad-%lu-%lu-%u", static_cast<unsigned long>(GetCurrentProcessId()),
                      static_cast<unsigned long>(GetTickCount()), attempt);
        std::string candidate = (base / name).string();
        if (CreateDirectoryA(candidate.c_str(), nullptr)) path = candidate;
    }
#else
    std::string pattern = (base / "mirad-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data())) path = buffer.data();
#endif
}

TempDirectory::~TempDirectory() {
    if (path.empty()) return;
    std::error_code error;
    fs::remove_all(fs::path(path), error);
}

}  // namespace host
