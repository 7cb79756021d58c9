// POSIX implementation of the safe-writing services.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <ctime>
#include <memory>
#include <new>

#include "platform/host.h"
#include "platform/posix_time.h"
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

struct Directory {
    int fd;
    std::string path;  // as reached, for messages
};

namespace {

int DescriptorOf(const Directory* dir) { return dir ? dir->fd : AT_FDCWD; }

// Why `name` in `at` could not be opened as a directory without following it.
DirectoryStatus StatusOf(int at, const char* name, int error) {
    if (error == ENOENT) return DirectoryStatus::kMissing;
    struct stat st;
    if (fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return DirectoryStatus::kFailed;
    if (S_ISLNK(st.st_mode)) return DirectoryStatus::kLink;
    return S_ISDIR(st.st_mode) ? DirectoryStatus::kFailed : DirectoryStatus::kNotDirectory;
}

#if defined(__linux__) && defined(SYS_openat2)
std::atomic<bool> g_noOpenat2{false};
#endif

// The whole relative way in one call, beneath `at` and through no link, or
// -1 (errno set) where the kernel cannot.
int OpenBeneath(int at, const char* name) {
#if defined(__linux__) && defined(SYS_openat2)
    if (!g_noOpenat2.load(std::memory_order_relaxed)) {
        struct open_how how;
        std::memset(&how, 0, sizeof how);
        how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        long fd = syscall(SYS_openat2, at, name, &how, sizeof how);
        if (fd >= 0) return static_cast<int>(fd);
        // Older kernels, or a sandbox that forbids the call.
        if (errno == ENOSYS || errno == EPERM) g_noOpenat2.store(true, std::memory_order_relaxed);
        return -1;
    }
#else
    (void)at;
    (void)name;
#endif
    errno = ENOSYS;
    return -1;
}

}  // namespace

Directory* OpenDirectory(Directory* at, const char* name, bool create, DirectoryStatus* status) {
    *status = DirectoryStatus::kFailed;
    if (!name || !name[0]) return nullptr;
    int parent = DescriptorOf(at);
    int fd = -1;
    if (!at) {
        fd = open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) *status = errno == ENOENT ? DirectoryStatus::kMissing : DirectoryStatus::kFailed;
    } else if (std::strchr(name, '/')) {
        fd = OpenBeneath(parent, name);
        if (fd < 0) *status = errno == ENOENT ? DirectoryStatus::kMissing : DirectoryStatus::kFailed;
    } else {
        // Made by someone else between the two calls, or removed again:
        // a few turns, then give up.
        for (int attempt = 0; attempt < 4 && fd < 0; ++attempt) {
            fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) break;
            int error = errno;
            if (error == ENOENT && create) {
                if (mkdirat(parent, name, 0777) != 0 && errno != EEXIST) break;
                continue;
            }
            *status = StatusOf(parent, name, error);
            return nullptr;
        }
    }
    if (fd < 0) return nullptr;
    Directory* dir = new (std::nothrow) Directory{fd, PathIn(at, name)};
    if (!dir) {
        close(fd);
        return nullptr;
    }
    *status = DirectoryStatus::kOpened;
    return dir;
}

void CloseDirectory(Directory* dir) {
    if (!dir) return;
    close(dir->fd);
    delete dir;
}

std::string PathIn(const Directory* at, const char* name) {
    if (!at) return name ? name : "";
    if (at->path.empty() || at->path.back() == '/') return at->path + name;
    return at->path + "/" + name;
}

std::FILE* OpenFileIn(Directory* at, const char* name, FileOpen mode) {
    if (!name || !name[0]) return nullptr;
    int flags = O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
    const char* stdioMode = "wb";
    switch (mode) {
        case FileOpen::kRead:
            flags |= O_RDONLY;
            stdioMode = "rb";
            break;
        case FileOpen::kWrite: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
        case FileOpen::kCreateNew: flags |= O_WRONLY | O_CREAT | O_EXCL; break;
    }
    int fd = openat(DescriptorOf(at), name, flags, 0666);
    if (fd < 0) return nullptr;
    std::FILE* f = fdopen(fd, stdioMode);
    if (!f) close(fd);
    return f;
}

// Whole blocks go out in few system calls.
constexpr size_t kNewFileBuffer = 256 * 1024;

namespace {

// The buffer of the new file closed last, kept for the next one: extracting
// many small files would otherwise allocate and free 256 KiB for each.
class SpareBuffer {
public:
    ~SpareBuffer() { delete[] spare_.load(); }
    std::unique_ptr<char[]> Take() {
        char* kept = spare_.exchange(nullptr);
        return std::unique_ptr<char[]>(kept ? kept : new (std::nothrow) char[kNewFileBuffer]);
    }
    void Give(std::unique_ptr<char[]> buffer) {
        char* none = nullptr;
        if (buffer && spare_.compare_exchange_strong(none, buffer.get())) buffer.release();
    }

private:
    std::atomic<char*> spare_{nullptr};
};
SpareBuffer g_spareBuffer;

}  // namespace

struct NewFile {
    int fd;
    std::unique_ptr<char[]> buffer;
    size_t used = 0;
    bool failed = false;
    ~NewFile() { g_spareBuffer.Give(std::move(buffer)); }
};

namespace {

bool WriteAllTo(int fd, const char* data, size_t count) {
    while (count > 0) {
        ssize_t n = write(fd, data, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

bool Flush(NewFile* f) {
    if (f->failed) return false;
    if (f->used && !WriteAllTo(f->fd, f->buffer.get(), f->used)) f->failed = true;
    f->used = 0;
    return !f->failed;
}

}  // namespace

NewFile* CreateNewFileIn(Directory* at, const char* name) {
    if (!name || !name[0]) return nullptr;
    std::unique_ptr<NewFile> f(new (std::nothrow) NewFile{-1, nullptr});
    if (!f) return nullptr;
    f->buffer = g_spareBuffer.Take();
    if (!f->buffer) return nullptr;
    f->fd = openat(DescriptorOf(at), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    if (f->fd < 0) return nullptr;
    return f.release();
}

size_t WriteNewFile(NewFile* f, const void* data, size_t count) {
    if (f->failed) return 0;
    const char* bytes = static_cast<const char*>(data);
    if (f->used + count > kNewFileBuffer) {
        if (!Flush(f)) return 0;
        // A run as large as the buffer goes out as it is.
        if (count >= kNewFileBuffer) {
            if (WriteAllTo(f->fd, bytes, count)) return count;
            f->failed = true;
            return 0;
        }
    }
    std::memcpy(f->buffer.get() + f->used, bytes, count);
    f->used += count;
    return count;
}

bool SeekNewFile(NewFile* f, uint64_t offset) {
    if (!Flush(f) || offset > static_cast<uint64_t>(INT64_MAX)) return false;
    return lseek(f->fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool NewFileLength(NewFile* f, uint64_t* length) {
    struct stat st;
    if (!Flush(f) || fstat(f->fd, &st) != 0 || st.st_size < 0) return false;
    *length = static_cast<uint64_t>(st.st_size);
    return true;
}

bool SyncNewFile(NewFile* f) { return Flush(f) && fsync(f->fd) == 0; }

bool StampNewFile(NewFile* f, uint16_t dosDate, uint16_t dosTime, bool attributes, uint16_t attribs) {
    if (!Flush(f)) return false;
    bool ok = true;
    struct timespec times[2];
    if (DosToTimespecs(dosDate, dosTime, times)) ok = futimens(f->fd, times) == 0;
    // The file was made here, so it is a regular one; its mode is asked for
    // only when write permission is to go.
    if (attributes && (attribs & 0x01)) {
        struct stat st;
        ok = fstat(f->fd, &st) == 0 && fchmod(f->fd, st.st_mode & 07555) == 0 && ok;
    }
    return ok;
}

bool CloseNewFile(NewFile* f) {
    bool ok = Flush(f);
    ok = close(f->fd) == 0 && ok;
    delete f;
    return ok;
}

bool RenameIn(Directory* at, const char* from, const char* to, bool replace) {
    if (!from || !to) return false;
    int fd = DescriptorOf(at);
    if (replace) return renameat(fd, from, fd, to) == 0;
#if defined(__linux__) && defined(SYS_renameat2)
    if (syscall(SYS_renameat2, fd, from, fd, to, 1u) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
#endif
    if (linkat(fd, from, fd, to, 0) != 0) return false;
    unlinkat(fd, from, 0);
    return true;
}

bool RemoveIn(Directory* at, const char* name) { return name && unlinkat(DescriptorOf(at), name, 0) == 0; }

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

FileLock::Result FileLock::Acquire(const char* path) {
    Release();
    if (!path) return kFailed;
    for (unsigned renamed = 0;; ++renamed) {
        int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) return kFailed;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int error = errno;
            close(fd);
            return error == EWOULDBLOCK ? kBusy : kFailed;
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
        if (renamed >= 100) return kBusy;
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
