// The one I/O seam: every cabinet, extracted file, generated document and
// written cabinet goes through these function pointers, so tests can plug in
// a memory file, short reads, a read that fails after N calls, or a write that
// fails at byte K. The default is the C library's buffered streams.
//
// Files are named by a path, or by a name inside a directory held open
// (IoDir): a destination is opened once and each directory below it reached
// from its parent, so nothing swapped in on the way is followed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/safe_files.h"

namespace mirad {

enum class IoMode {
    Read,      // existing file, binary read ("rb")
    Write,     // create or truncate, binary write ("wb")
    CreateNew, // create, failing when anything (a link too) exists under the name
};

struct IoFile;  // opaque to callers
struct IoDir;   // an open directory, opaque to callers

enum class IoDirStatus { Opened, Missing, Link, NotDirectory, Failed };

// What a finished file is given before it is closed: its stored date and
// time, and with `attributes` the stored attribute bits too.
struct IoStamp {
    uint16_t dosDate = 0, dosTime = 0, attribs = 0;
    bool attributes = false;
};

// What a path shows without being opened: size, attribute bits (0x10 a
// directory), last-write date and time.
using IoFound = platform::FindData;

// What an update learns of the cabinet it rewrites: which file it is,
// whether it is an ordinary writable file, the mode and owner it keeps.
using IoTarget = platform::TargetInfo;
using IoIdentity = platform::FileIdentity;

struct IoLock;  // a lock held on a file, opaque to callers
enum class IoLockStatus { Locked, Busy, Failed };

// `at` is null for a path as given, or an open directory that holds `name`
// (one component); a link under such a name is never followed.
struct IoSystem {
    void* context;
    IoFile* (*open)(void* context, IoDir* at, const char* name, IoMode mode);
    // Returns the number of bytes read; short only at the end or on error.
    size_t (*read)(void* context, IoFile* file, void* buffer, size_t count);
    // Returns the number of bytes written; short only on error.
    size_t (*write)(void* context, IoFile* file, const void* buffer, size_t count);
    bool (*seek)(void* context, IoFile* file, uint64_t offset);  // absolute
    bool (*size)(void* context, IoFile* file, uint64_t* size);
    // False when data still buffered could not be written.
    bool (*close)(void* context, IoFile* file);
    // Everything written so far is on the disk (not only in a cache).
    bool (*sync)(void* context, IoFile* file);
    // Renames a file inside one directory; with `replace` false only when
    // nothing exists under `to`. A link under `to` is replaced itself, never
    // followed.
    bool (*rename)(void* context, IoDir* at, const char* from, const char* to, bool replace);
    bool (*remove)(void* context, IoDir* at, const char* name);
    // Opens the directory `name` inside `at` (`at` null: a path, links
    // followed: a directory the caller trusts), never through a link, and
    // creates it first when missing and `create` is set. A system may also
    // take several components joined by "/" (resolved beneath `at`, through
    // no link) or answer Failed for them, and the caller goes one at a time.
    IoDir* (*openDir)(void* context, IoDir* at, const char* name, bool create, IoDirStatus* status);
    void (*closeDir)(void* context, IoDir* dir);
    // Gives an open file its date and time (and attributes), so that no
    // name is looked up for it again; false when the system keeps no such
    // things.
    bool (*stamp)(void* context, IoFile* file, const IoStamp& stamp);
    // Looks up a path, links followed; false when nothing is there.
    bool (*find)(void* context, const char* path, IoFound* found);
    // Whether anything, a link too, exists under the path.
    bool (*taken)(void* context, const char* path);
    // The names in a directory, without "." and ".."; false when it cannot
    // be listed.
    bool (*list)(void* context, const char* dir, std::vector<std::string>* names);
    // Removes an empty directory.
    bool (*removeDir)(void* context, const char* path);
    // The file a path finally names once every link is followed (absolute);
    // false when it cannot be resolved (a dangling link, say).
    bool (*resolve)(void* context, const char* path, std::string* resolved);
    // What an update needs to know of the file under a path, links followed.
    bool (*describe)(void* context, const char* path, IoTarget* target);
    // Gives a new file the permissions (and, where permitted, the owner) of
    // the file it replaces.
    bool (*adopt)(void* context, const char* path, const IoTarget& target);
    // One attempt at an exclusive lock on an existing file, held until
    // unlock: Busy while another update holds it. Once locked, the path
    // still names the locked file, whose identity `identity` receives.
    IoLock* (*lock)(void* context, const char* path, IoIdentity* identity, IoLockStatus* status);
    void (*unlock)(void* context, IoLock* lock);
    // Makes the names in the directory holding a path durable.
    bool (*syncDir)(void* context, const char* path);
    // An existing file's last-write time as 8 opaque bytes (compared whole);
    // false when it cannot be opened. For the settings file.
    bool (*writeStamp)(void* context, const char* path, uint8_t stamp[8]);
    // Creates a new, empty file; false when something exists there.
    bool (*createEmpty)(void* context, const char* path);
};

// The system in force; SetIo(nullptr) restores the default. Switching is
// safe while other threads read through the seam.
const IoSystem& Io();
void SetIo(const IoSystem* io);
const IoSystem& DefaultIo();

// The path a name inside a directory of the default I/O stands for (the name
// itself when `at` is null): for doubles over the default that look at paths.
std::string DefaultIoPath(IoDir* at, const char* name);

inline IoFile* IoOpen(const char* path, IoMode mode) {
    const IoSystem& io = Io();
    return io.open(io.context, nullptr, path, mode);
}
inline IoFile* IoOpenIn(IoDir* at, const char* name, IoMode mode) {
    const IoSystem& io = Io();
    return io.open(io.context, at, name, mode);
}
inline size_t IoRead(IoFile* f, void* buffer, size_t count) {
    const IoSystem& io = Io();
    return io.read(io.context, f, buffer, count);
}
inline size_t IoWrite(IoFile* f, const void* buffer, size_t count) {
    const IoSystem& io = Io();
    return io.write(io.context, f, buffer, count);
}
inline bool IoSeek(IoFile* f, uint64_t offset) {
    const IoSystem& io = Io();
    return io.seek(io.context, f, offset);
}
inline bool IoSize(IoFile* f, uint64_t* size) {
    const IoSystem& io = Io();
    return io.size(io.context, f, size);
}
inline bool IoClose(IoFile* f) {
    const IoSystem& io = Io();
    return io.close(io.context, f);
}
inline bool IoSync(IoFile* f) {
    const IoSystem& io = Io();
    return io.sync(io.context, f);
}
inline bool IoRename(const char* from, const char* to, bool replace) {
    const IoSystem& io = Io();
    return io.rename(io.context, nullptr, from, to, replace);
}
inline bool IoRenameIn(IoDir* at, const char* from, const char* to, bool replace) {
    const IoSystem& io = Io();
    return io.rename(io.context, at, from, to, replace);
}
inline bool IoRemove(const char* path) {
    const IoSystem& io = Io();
    return io.remove(io.context, nullptr, path);
}
inline bool IoRemoveIn(IoDir* at, const char* name) {
    const IoSystem& io = Io();
    return io.remove(io.context, at, name);
}
inline IoDir* IoOpenDir(IoDir* at, const char* name, bool create, IoDirStatus* status) {
    const IoSystem& io = Io();
    return io.openDir(io.context, at, name, create, status);
}
inline void IoCloseDir(IoDir* dir) {
    const IoSystem& io = Io();
    if (dir) io.closeDir(io.context, dir);
}
inline bool IoStampFile(IoFile* f, const IoStamp& stamp) {
    const IoSystem& io = Io();
    return io.stamp(io.context, f, stamp);
}
inline bool IoFind(const char* path, IoFound* found) {
    const IoSystem& io = Io();
    return io.find(io.context, path, found);
}
inline bool IoNameTaken(const char* path) {
    const IoSystem& io = Io();
    return io.taken(io.context, path);
}
inline bool IoList(const char* dir, std::vector<std::string>* names) {
    const IoSystem& io = Io();
    return io.list(io.context, dir, names);
}
inline bool IoRemoveDir(const char* path) {
    const IoSystem& io = Io();
    return io.removeDir(io.context, path);
}

inline bool IoResolve(const char* path, std::string* resolved) {
    const IoSystem& io = Io();
    return io.resolve(io.context, path, resolved);
}
inline bool IoDescribe(const char* path, IoTarget* target) {
    const IoSystem& io = Io();
    return io.describe(io.context, path, target);
}
inline bool IoAdopt(const char* path, const IoTarget& target) {
    const IoSystem& io = Io();
    return io.adopt(io.context, path, target);
}
inline bool IoSyncDirectoryOf(const char* path) {
    const IoSystem& io = Io();
    return io.syncDir(io.context, path);
}
inline bool IoWriteStamp(const char* path, uint8_t stamp[8]) {
    const IoSystem& io = Io();
    return io.writeStamp(io.context, path, stamp);
}
inline bool IoCreateEmpty(const char* path) {
    const IoSystem& io = Io();
    return io.createEmpty(io.context, path);
}

// Owns one lock taken through the seam: lets it go on scope exit.
class IoLockHandle {
public:
    IoLockHandle() = default;
    ~IoLockHandle() { Release(); }
    IoLockHandle(const IoLockHandle&) = delete;
    IoLockHandle& operator=(const IoLockHandle&) = delete;
    IoLockStatus Acquire(const char* path) {
        Release();
        system_ = &Io();
        IoLockStatus status = IoLockStatus::Failed;
        lock_ = system_->lock(system_->context, path, &identity_, &status);
        return lock_ ? IoLockStatus::Locked : status;
    }
    // By the system that took it, whatever is in force meanwhile.
    void Release() {
        if (!lock_) return;
        system_->unlock(system_->context, lock_);
        lock_ = nullptr;
    }
    bool held() const { return lock_ != nullptr; }
    const IoIdentity& identity() const { return identity_; }

private:
    const IoSystem* system_ = nullptr;
    IoLock* lock_ = nullptr;
    IoIdentity identity_;
};

// Reads exactly `count` bytes or fails.
inline bool IoReadExact(IoFile* f, void* buffer, size_t count) { return IoRead(f, buffer, count) == count; }
inline bool IoWriteAll(IoFile* f, const void* buffer, size_t count) { return IoWrite(f, buffer, count) == count; }

// Owns one open file: closes it on scope exit. Close() closes it earlier and
// tells whether everything written reached the file.
class IoHandle {
public:
    IoHandle() = default;
    explicit IoHandle(IoFile* f) : file_(f) {}
    IoHandle(IoHandle&& other) noexcept : file_(other.file_) { other.file_ = nullptr; }
    IoHandle& operator=(IoHandle&& other) noexcept {
        if (this != &other) {
            Close();
            file_ = other.file_;
            other.file_ = nullptr;
        }
        return *this;
    }
    IoHandle(const IoHandle&) = delete;
    IoHandle& operator=(const IoHandle&) = delete;
    ~IoHandle() { Close(); }

    IoFile* get() const { return file_; }
    explicit operator bool() const { return file_ != nullptr; }
    bool Close() {
        IoFile* f = file_;
        file_ = nullptr;
        return f ? IoClose(f) : true;
    }

private:
    IoFile* file_ = nullptr;
};

// Text documents (registry export, INF script, shortcut file) are byte
// identical on every platform: each "\n" of their formats is written as CR LF.
// Writes are buffered; `failed` remembers the first short write. Without a
// file the writer only counts: `written` is the length the text would have,
// and `text`, when given, receives the bytes.
struct TextWriter {
    IoFile* file = nullptr;
    std::string* text = nullptr;
    bool failed = false;
    size_t used = 0;
    uint64_t written = 0;  // bytes passed on so far
    char buffer[4096];
};

void TextPut(TextWriter& w, const char* text);                  // "\n" becomes CR LF
void TextPutBytes(TextWriter& w, const char* bytes, size_t n);  // "\n" becomes CR LF
void TextPrintf(TextWriter& w, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
bool TextFlush(TextWriter& w);  // false when any write so far failed

}  // namespace mirad
