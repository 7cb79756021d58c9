#include "support/io.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "platform/host.h"
#include "platform/platform.h"
#include "platform/safe_files.h"

namespace mirad {
namespace {

// Files written get a buffer of 256 KiB: whole blocks go out in few system
// calls. Files read get none: a cabinet is read in whole blocks and, for its
// records and block headers, through the reader's own read-ahead window
// (cabinet/stream.h), so a buffer here would only copy every byte once more
// and read far more than is asked for around headers spread over the file.
// (Copying in the kernel, copy_file_range or sendfile, was measured no
// faster than this on tmpfs or on disk, and could not check block checksums
// on the way.) The buffer is ours: given none, some C libraries ignore the
// size asked for.
constexpr size_t kWriteBuffer = 256 * 1024;

// A C stream, or a file made new inside a directory (every temporary file
// and so every output), which the platform writes through calls of its own.
struct StdFile {
    std::FILE* file;
    std::unique_ptr<char[]> buffer;
    platform::NewFile* made = nullptr;
    // A file opened for reading is read at this position, which a seek only
    // sets: reads that go back and forth (a folder's block headers, then its
    // blocks) cost one system call each, not two.
    bool reading = false;
    uint64_t position = 0;
};

StdFile* AsStd(IoFile* f) { return reinterpret_cast<StdFile*>(f); }
std::FILE* AsFile(IoFile* f) { return AsStd(f)->file; }

platform::Directory* AsDirectory(IoDir* d) { return reinterpret_cast<platform::Directory*>(d); }

IoFile* StdOpen(void*, IoDir* at, const char* path, IoMode mode) {
    if (!path) return nullptr;
    if (at && mode == IoMode::CreateNew) {
        platform::NewFile* made = platform::CreateNewFileIn(AsDirectory(at), path);
        if (!made) return nullptr;
        StdFile* owned = new (std::nothrow) StdFile{nullptr, nullptr, made};
        if (!owned) platform::CloseNewFile(made);
        return reinterpret_cast<IoFile*>(owned);
    }
    std::FILE* f = nullptr;
    if (at) {
        platform::FileOpen how = mode == IoMode::Read    ? platform::FileOpen::kRead
                                 : mode == IoMode::Write ? platform::FileOpen::kWrite
                                                         : platform::FileOpen::kCreateNew;
        f = platform::OpenFileIn(AsDirectory(at), path, how);
    } else {
        switch (mode) {
            case IoMode::Read: f = platform::OpenFile(path, "rb"); break;
            case IoMode::Write: f = platform::OpenFile(path, "wb"); break;
            case IoMode::CreateNew: f = platform::OpenNewFile(path); break;
        }
    }
    if (!f) return nullptr;
    StdFile* owned = new (std::nothrow) StdFile{f, nullptr};
    if (owned && mode == IoMode::Read) {
        std::setvbuf(f, nullptr, _IONBF, 0);
        owned->reading = true;
    } else if (owned) {
        owned->buffer.reset(new (std::nothrow) char[kWriteBuffer]);
        if (owned->buffer) std::setvbuf(f, owned->buffer.get(), _IOFBF, kWriteBuffer);
    }
    if (!owned) {
        std::fclose(f);
        return nullptr;
    }
    return reinterpret_cast<IoFile*>(owned);
}

size_t StdRead(void*, IoFile* f, void* buffer, size_t count) {
    StdFile* owned = AsStd(f);
    if (owned->made) return 0;  // made for writing only
    if (owned->reading) {
        size_t got = platform::ReadFileAt(owned->file, owned->position, buffer, count);
        owned->position += got;
        return got;
    }
    return std::fread(buffer, 1, count, owned->file);
}

size_t StdWrite(void*, IoFile* f, const void* buffer, size_t count) {
    if (platform::NewFile* made = AsStd(f)->made) return platform::WriteNewFile(made, buffer, count);
    return std::fwrite(buffer, 1, count, AsFile(f));
}

bool StdSeek(void*, IoFile* f, uint64_t offset) {
    StdFile* owned = AsStd(f);
    if (platform::NewFile* made = owned->made) return platform::SeekNewFile(made, offset);
    if (owned->reading) {
        if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
        owned->position = offset;
        return true;
    }
    return platform::SeekFile(owned->file, offset);
}

bool StdSize(void*, IoFile* f, uint64_t* size) {
    if (platform::NewFile* made = AsStd(f)->made) return platform::NewFileLength(made, size);
    return platform::FileLength(AsFile(f), size);
}

bool StdClose(void*, IoFile* f) {
    StdFile* owned = AsStd(f);
    if (platform::NewFile* made = owned->made) {
        delete owned;
        return platform::CloseNewFile(made);
    }
    std::FILE* file = owned->file;
    bool ok = std::fflush(file) == 0 && !std::ferror(file);
    bool closed = std::fclose(file) == 0;
    delete owned;  // after fclose: the stream uses the buffer until then
    return closed && ok;
}

bool StdSync(void*, IoFile* f) {
    if (platform::NewFile* made = AsStd(f)->made) return platform::SyncNewFile(made);
    return platform::SyncFile(AsFile(f));
}

bool StdRename(void*, IoDir* at, const char* from, const char* to, bool replace) {
    if (at) return platform::RenameIn(AsDirectory(at), from, to, replace);
    return replace ? platform::ReplaceFile(from, to) : platform::RenameNoReplace(from, to);
}

bool StdRemove(void*, IoDir* at, const char* path) {
    return at ? platform::RemoveIn(AsDirectory(at), path) : platform::DeleteFile(path);
}

IoDir* StdOpenDir(void*, IoDir* at, const char* name, bool create, IoDirStatus* status) {
    platform::DirectoryStatus why;
    IoDir* dir = reinterpret_cast<IoDir*>(platform::OpenDirectory(AsDirectory(at), name, create, &why));
    switch (why) {
        case platform::DirectoryStatus::kOpened: *status = IoDirStatus::Opened; break;
        case platform::DirectoryStatus::kMissing: *status = IoDirStatus::Missing; break;
        case platform::DirectoryStatus::kLink: *status = IoDirStatus::Link; break;
        case platform::DirectoryStatus::kNotDirectory: *status = IoDirStatus::NotDirectory; break;
        case platform::DirectoryStatus::kFailed: *status = IoDirStatus::Failed; break;
    }
    return dir;
}

void StdCloseDir(void*, IoDir* dir) { platform::CloseDirectory(AsDirectory(dir)); }

bool StdStamp(void*, IoFile* f, const IoStamp& stamp) {
    if (platform::NewFile* made = AsStd(f)->made)
        return platform::StampNewFile(made, stamp.dosDate, stamp.dosTime, stamp.attributes, stamp.attribs);
    if (stamp.attributes) return platform::StampFile(AsFile(f), stamp.dosDate, stamp.dosTime, stamp.attribs);
    return platform::StampFileTime(AsFile(f), stamp.dosDate, stamp.dosTime);
}

bool StdFind(void*, const char* path, IoFound* found) { return platform::FindFile(path, found); }
bool StdTaken(void*, const char* path) { return platform::NameTaken(path); }
bool StdList(void*, const char* dir, std::vector<std::string>* names) { return platform::ListDirectory(dir, names); }
bool StdRemoveDir(void*, const char* path) { return platform::RemoveDirectory(path); }

bool StdResolve(void*, const char* path, std::string* resolved) { return platform::ResolvePath(path, resolved); }
bool StdDescribe(void*, const char* path, IoTarget* target) { return platform::DescribeTarget(path, target); }
bool StdAdopt(void*, const char* path, const IoTarget& target) { return platform::ApplyTargetInfo(path, target); }

IoLock* StdLock(void*, const char* path, IoIdentity* identity, IoLockStatus* status) {
    auto* lock = new (std::nothrow) platform::FileLock;
    if (!lock) {
        *status = IoLockStatus::Failed;
        return nullptr;
    }
    platform::FileLock::Result r = lock->Acquire(path);
    if (r != platform::FileLock::kLocked) {
        delete lock;
        *status = r == platform::FileLock::kBusy ? IoLockStatus::Busy : IoLockStatus::Failed;
        return nullptr;
    }
    *identity = lock->identity();
    *status = IoLockStatus::Locked;
    return reinterpret_cast<IoLock*>(lock);
}
void StdUnlock(void*, IoLock* lock) { delete reinterpret_cast<platform::FileLock*>(lock); }

bool StdSyncDir(void*, const char* path) { return platform::SyncDirectoryOf(path); }
bool StdWriteStamp(void*, const char* path, uint8_t stamp[8]) { return platform::FileWriteStamp(path, stamp); }
bool StdCreateEmpty(void*, const char* path) { return platform::CreateNewEmptyFile(path); }

const IoSystem kDefault = {nullptr,      StdOpen,     StdRead,       StdWrite,      StdSeek,     StdSize,
                           StdClose,     StdSync,     StdRename,     StdRemove,     StdOpenDir,  StdCloseDir,
                           StdStamp,     StdFind,     StdTaken,      StdList,       StdRemoveDir, StdResolve,
                           StdDescribe,  StdAdopt,    StdLock,       StdUnlock,     StdSyncDir,  StdWriteStamp,
                           StdCreateEmpty};
std::atomic<const IoSystem*> g_current{&kDefault};

}  // namespace

const IoSystem& Io() { return *g_current.load(std::memory_order_acquire); }
void SetIo(const IoSystem* io) { g_current.store(io ? io : &kDefault, std::memory_order_release); }
const IoSystem& DefaultIo() { return kDefault; }
std::string DefaultIoPath(IoDir* at, const char* name) { return platform::PathIn(AsDirectory(at), name); }

static void TextSpill(TextWriter& w) {
    if (w.used && !w.failed && w.file) {
        if (!IoWriteAll(w.file, w.buffer, w.used)) w.failed = true;
    } else if (w.used && w.text) {
        w.text->append(w.buffer, w.used);
    }
    w.written += w.used;
    w.used = 0;
}

void TextPutBytes(TextWriter& w, const char* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (w.used + 2 > sizeof w.buffer) TextSpill(w);
        if (bytes[i] == '\n') w.buffer[w.used++] = '\r';
        w.buffer[w.used++] = bytes[i];
    }
}

void TextPut(TextWriter& w, const char* text) { TextPutBytes(w, text, std::char_traits<char>::length(text)); }

void TextPrintf(TextWriter& w, const char* format, ...) {
    char small[512];
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(copy);
        w.failed = true;
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        TextPutBytes(w, small, static_cast<size_t>(n));
    } else {
        std::string big(static_cast<size_t>(n) + 1, '\0');
        std::vsnprintf(&big[0], big.size(), format, copy);
        TextPutBytes(w, big.data(), static_cast<size_t>(n));
    }
    va_end(copy);
}

bool TextFlush(TextWriter& w) {
    TextSpill(w);
    return !w.failed;
}

}  // namespace mirad
