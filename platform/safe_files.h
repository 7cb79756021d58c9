// File services for writing safely: nothing is written through a link that
// already sits under a name, a name is taken without replacing what appeared
// there meanwhile, data reaches the disk before a rename makes it visible,
// and two writers of one cabinet take turns. POSIX in
// platform/posix_safe.cpp, Win32 in platform/win32_safe.cpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace mirad {
namespace platform {

// Renames `from` to `to` only when nothing exists under `to` (a link there
// counts as something). False, with nothing changed, otherwise.
bool RenameNoReplace(const char* from, const char* to);

// Writes what the stream buffers and asks the system to put the file's data
// on the disk.
bool SyncFile(std::FILE* file);
// Makes the names in the directory holding `path` durable (POSIX; true
// where the system has no such notion).
bool SyncDirectoryOf(const char* path);

// A directory held open, so the names below it are reached from it and not
// looked up again from the top: on POSIX its descriptor, on Windows a handle
// that also keeps it (and so the way to it) from being renamed or removed
// while it is held.
struct Directory;

enum class DirectoryStatus { kOpened, kMissing, kLink, kNotDirectory, kFailed };

// Opens the directory `name` inside `at`. `at` null: `name` is a path, links
// followed (a directory the host chose). Otherwise `name` is one component,
// never followed when it is a link (a reparse point on Windows), created
// when missing and `create` is true; POSIX also takes several components
// joined by "/", resolved in one step beneath `at` with no link followed
// where the kernel can (kFailed otherwise: the caller goes one at a time).
Directory* OpenDirectory(Directory* at, const char* name, bool create, DirectoryStatus* status);
void CloseDirectory(Directory* dir);

enum class FileOpen { kRead, kWrite, kCreateNew };
// A file inside `at`, never through a link under `name`: kCreateNew fails
// when anything exists there, kRead and kWrite when a link does.
std::FILE* OpenFileIn(Directory* at, const char* name, FileOpen mode);
// A file made new inside `at` (failing when anything, a link too, exists
// under `name`) and written with a buffer of its own: on POSIX through its
// descriptor, so a small file costs its open, one write, its times and its
// close (a C stream would ask for the descriptor's flags, and a stamp for
// its status, first). Writes are short only on error.
struct NewFile;
NewFile* CreateNewFileIn(Directory* at, const char* name);
size_t WriteNewFile(NewFile* file, const void* data, size_t count);
bool SeekNewFile(NewFile* file, uint64_t offset);
bool NewFileLength(NewFile* file, uint64_t* length);
bool SyncNewFile(NewFile* file);
// The stored date and time and, with `attributes`, the stored attribute
// bits, as StampFile gives them.
bool StampNewFile(NewFile* file, uint16_t dosDate, uint16_t dosTime, bool attributes, uint16_t attribs);
// False when buffered data could not be written or the close failed.
bool CloseNewFile(NewFile* file);

// Renames inside `at`; with `replace` false only when `to` is free. A link
// under `to` is replaced itself.
bool RenameIn(Directory* at, const char* from, const char* to, bool replace);
bool RemoveIn(Directory* at, const char* name);
// The path `name` inside `at` stands for (for messages and the few calls that
// take paths).
std::string PathIn(const Directory* at, const char* name);

// Which file a name refers to, compared whole.
struct FileIdentity {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool operator==(const FileIdentity& o) const { return volume == o.volume && index == o.index; }
    bool operator!=(const FileIdentity& o) const { return !(*this == o); }
};

// What an update needs to know about the cabinet before it writes.
struct TargetInfo {
    FileIdentity identity;
    bool regular = false;   // an ordinary file
    bool readOnly = false;  // read-only attribute or no owner write bit, or no write access
    uint32_t mode = 0;      // POSIX permission bits (0 on Windows)
    uint32_t owner = 0, group = 0;
};

// The file a path finally names once every symbolic link is followed
// (absolute). False when it cannot be resolved (a dangling link, say).
bool ResolvePath(const char* path, std::string* resolved);
bool DescribeTarget(const char* path, TargetInfo* info);
// Gives a freshly written file the permissions (and, where permitted, the
// owner) the file it replaces had. Best effort for the owner.
bool ApplyTargetInfo(const char* path, const TargetInfo& info);

// True when anything exists under the name: a file, a directory, a link
// (dangling too).
bool NameTaken(const char* path);

// Names in a directory ("." and ".." left out). False when it cannot be read.
bool ListDirectory(const char* dir, std::vector<std::string>* names);

// An exclusive advisory lock on an existing file, held while the object
// lives. Another process taking the same lock waits or is told it is busy.
class FileLock {
public:
    FileLock() = default;
    ~FileLock() { Release(); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    enum Result { kLocked, kBusy, kFailed };
    // One attempt; the caller decides how long to wait. Once locked, the
    // path still names the locked file (a writer that renamed a new file in
    // meanwhile is noticed and the new file locked instead).
    Result Acquire(const char* path);
    // The identity of the locked file.
    const FileIdentity& identity() const { return identity_; }
    void Release();
    bool held() const { return handle_ != kNone; }

private:
    static constexpr intptr_t kNone = -1;
    intptr_t handle_ = kNone;  // descriptor or HANDLE
    FileIdentity identity_;
};

// True where a file that is open (the locked cabinet) cannot be renamed
// over, so the lock has to go just before the rename.
bool ReplaceNeedsClosedTarget();

// A pause, for polling a lock.
void SleepMilliseconds(unsigned milliseconds);

}  // namespace platform
}  // namespace mirad
