// File services that the standard library gives alike on every platform.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "host/os.h"

namespace fs = std::filesystem;

namespace host {

std::string WhyNotReadable(const std::string& path, bool* notSeekable) {
    *notSeekable = false;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return std::strerror(errno);
    if (S_ISDIR(info.st_mode)) return std::strerror(EISDIR);
    // Pipes, terminals, consoles and devices: a cabinet is read by position.
    if (!S_ISREG(info.st_mode)) {
        *notSeekable = true;
        return "it is a pipe or device";
    }
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return std::strerror(errno ? errno : EIO);
    std::fclose(file);
    return "";
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

std::string AbsolutePath(const std::string& path) {
    std::error_code error;
    fs::path absolute = fs::absolute(fs::path(path), error);
    return error ? path : absolute.lexically_normal().string();
}

uint64_t FileSize(const std::string& path) {
    std::error_code error;
    uint64_t size = fs::file_size(fs::path(path), error);
    return error ? 0 : size;
}

bool ListDirectory(const std::string& path, std::vector<std::string>* names, std::string* why) {
    std::error_code error;
    names->clear();
    for (fs::directory_iterator it(fs::path(path), error), end; !error && it != end; it.increment(error))
        names->push_back(it->path().filename().string());
    if (error) {
        *why = error.message();
        return false;
    }
    std::sort(names->begin(), names->end());
    return true;
}

// Copies `in` to `out` and closes `in`; false when a read or write failed.
static bool CopyStream(std::FILE* in, std::FILE* out) {
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
    return ok;
}

bool CopyFileBytes(const std::string& from, const std::string& to) {
    std::FILE* in = std::fopen(from.c_str(), "rb");
    if (!in) return false;
    std::FILE* out = std::fopen(to.c_str(), "wb");
    if (!out) {
        std::fclose(in);
        return false;
    }
    bool ok = CopyStream(in, out);
    return std::fclose(out) == 0 && ok;
}

bool CopyToStdout(const std::string& path) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) return false;
    std::fflush(stdout);
    SetStdoutBinary();
    bool ok = CopyStream(in, stdout);
    return std::fflush(stdout) == 0 && ok;
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
    uint64_t free = 0, block = 0;
    // Blocks are allocated whole: a file needs its size and a block more.
    if (FreeSpace(parent, &free, &block) && free < size + block) return std::strerror(ENOSPC);
    return "";
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    char last = dir.back();
    if (last == '/' || last == '\\') return dir + name;
    return dir + kSeparator + name;
}

TempDirectory::~TempDirectory() {
    if (path.empty()) return;
    std::error_code error;
    fs::remove_all(fs::path(path), error);
}

}  // namespace host
