// POSIX implementation of the safe-writing services.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/safe_files.h"

namespace mirad {
namespace platform {

namespace {

FileIdentity IdentityOf(const struct stat& st) {
    FileIdentity id;
    id.volume = static_cast<uint64_t>(st.st_dev);
    id.index = static_cast<uint64_t>(st.st_ino);
    return id;
}

}  // namespace

bool RenameNoReplace(const char* from, const char* to) {
    if (!from || !to) return false;
#if defined(__linux__) && defined(SYS_renameat2)
    // renameat2 with RENAME_NOREPLACE (1) is one step; file systems without
    // it say EINVAL and the link way below is taken.
    if (syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 1u) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
#endif
    // link() never replaces; the source name goes once the new one exists.
    if (link(from, to) != 0) return false;
    unlink(from);
    return true;
}

bool SyncFile(std::FILE* file) {
    if (!file || std::fflush(file) != 0) return false;
    return fsync(fileno(file)) == 0;
}

bool SyncDirectoryOf(const char* path) {
    if (!path) return false;
    std::string dir = path;
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0 || errno == EINVAL;  // some file systems cannot sync a directory
    close(fd);
    return ok;
}

bool ResolvePath(const char* path, std::string* resolved) {
    if (!path || !path[0]) return false;
    char* real = realpath(path, nullptr);
    if (!real) return false;
    *resolved = real;
    std::free(real);
    return true;
}

bool DescribeTarget(const char* path, TargetInfo* info) {
    struct stat st;
    if (!path || stat(path, &st) != 0) return false;
    info->identity = IdentityOf(st);
    info->regular = S_ISREG(st.st_mode);
    info->mode = static_cast<uint32_t>(st.st_mode & 07777);
    info->owner = static_cast<uint32_t>(st.st_uid);
    info->group = static_cast<uint32_t>(st.st_gid);
    // The owner write bit is the read-only attribute; without write access
    // the file is not ours to replace either.
    info->readOnly = !(st.st_mode & S_IWUSR) || access(path, W_OK) != 0;
    return true;
}

bool ApplyTargetInfo(const char* path, const TargetInfo& info) {
    if (!path) return false;
    // The owner first: changing it may clear set-id bits that chmod restores.
    if (chown(path, static_cast<uid_t>(info.owner), static_cast<gid_t>(info.group)) != 0) {
        // Not permitted for others' files; the group alone may still be ours.
        if (chown(path, static_cast<uid_t>(-1), static_cast<gid_t>(info.group)) != 0) {
        }
    }
    return chmod(path, static_cast<mode_t>(info.mode)) == 0;
}

bool NameTaken(const char* path) {
    struct stat st;
    return path && lstat(path, &st) == 0;
}

bool ListDirectory(const char* dir, std::vector<std::string>* names) {
    DIR* d = opendir(dir && dir[0] ? dir : ".");
    if (!d) return false;
    names->clear();
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names->push_back(e->d_name);
    }
    closedir(d);
    return true;
}

FileLock::Result FileLock::Acquire(const char* path, unsigned waitMilliseconds) {
    Release();
    if (!path) return kFailed;
    unsigned waited = 0, renamed = 0;
    for (;;) {
        int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) return kFailed;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int error = errno;
            close(fd);
            if (error != EWOULDBLOCK) return kFailed;
            if (waited >= waitMilliseconds) return kBusy;
            SleepMilliseconds(20);
            waited += 20;
            continue;
        }
        // The holder before us may have renamed a new cabinet over the name:
        // then the lock is on a file nobody reads any more.
        struct stat held, named;
        if (fstat(fd, &held) != 0) {
            close(fd);
            return kFailed;
        }
        if (stat(path, &named) == 0 && IdentityOf(held) == IdentityOf(named)) {
            handle_ = fd;
            identity_ = IdentityOf(held);
            return kLocked;
        }
        close(fd);
        if (++renamed > 100) return kBusy;
    }
}

void FileLock::Release() {
    if (handle_ == kNone) return;
    close(static_cast<int>(handle_));  // closing drops the lock
    handle_ = kNone;
}

bool ReplaceNeedsClosedTarget() { return false; }

void SleepMilliseconds(unsigned milliseconds) {
    timespec t;
    t.tv_sec = static_cast<time_t>(milliseconds / 1000);
    t.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

}  // namespace platform
}  // namespace mirad
