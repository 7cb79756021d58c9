// Win32 implementation of the safe-writing services.
#include <windows.h>

#include <io.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#undef DeleteFile
#undef RemoveDirectory
#undef ReplaceFile

#include "platform/host.h"
#include "platform/platform.h"
#include "platform/safe_files.h"
#include "platform/win32_text.h"

namespace mirad {
namespace platform {

namespace {

bool IdentityOfHandle(HANDLE h, FileIdentity* id) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return false;
    id->volume = info.dwVolumeSerialNumber;
    id->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

HANDLE OpenForQuery(const char* path) {
    return CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

struct Directory {
    HANDLE handle;
    std::string path;
};

namespace {

// Held without delete sharing: while the handle is open nobody can rename,
// remove or replace the directory, so a path through a chain of such
// directories names what was checked.
HANDLE OpenHeld(const std::string& path, bool ownEntry) {
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (ownEntry ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    return CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, flags, nullptr);
}

}  // namespace

Directory* OpenDirectory(Directory* at, const char* name, bool create, DirectoryStatus* status) {
    *status = DirectoryStatus::kFailed;
    if (!name || !name[0]) return nullptr;
    if (at) {
        // One component at a time, each checked on its own handle.
        for (const char* c = name; *c; ++c)
            if (IsSeparator(*c) || *c == ':') return nullptr;
    }
    std::string path = PathIn(at, name);
    HANDLE h = OpenHeld(path, at != nullptr);
    if (h == INVALID_HANDLE_VALUE && at && create && GetLastError() == ERROR_FILE_NOT_FOUND) {
        if (CreateDirectoryW(Wide(path).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
            h = OpenHeld(path, true);
    }
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) *status = DirectoryStatus::kMissing;
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) {
        CloseHandle(h);
        return nullptr;
    }
    if (at && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        CloseHandle(h);
        *status = DirectoryStatus::kLink;
        return nullptr;
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        *status = DirectoryStatus::kNotDirectory;
        return nullptr;
    }
    Directory* dir = new (std::nothrow) Directory{h, path};
    if (!dir) {
        CloseHandle(h);
        return nullptr;
    }
    *status = DirectoryStatus::kOpened;
    return dir;
}

void CloseDirectory(Directory* dir) {
    if (!dir) return;
    CloseHandle(dir->handle);
    delete dir;
}

std::string PathIn(const Directory* at, const char* name) {
    if (!at) return name ? name : "";
    if (at->path.empty() || IsSeparator(at->path.back())) return at->path + name;
    return at->path + "\\" + name;
}

// The directory `at` is held, and so is every one on the way to it that
// was reached through this interface: the path names the checked file.
std::FILE* OpenFileIn(Directory* at, const char* name, FileOpen mode) {
    if (!name || !name[0]) return nullptr;
    std::string path = PathIn(at, name);
    if (mode == FileOpen::kCreateNew) return OpenNewFile(path.c_str());
    if (at) {
        DWORD attributes = GetFileAttributesW(Wide(path).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return nullptr;
    }
    return OpenFile(path.c_str(), mode == FileOpen::kRead ? "rb" : "wb");
}

// A C stream with a buffer of 256 KiB: whole blocks go out in few calls.
struct NewFile {
    std::FILE* file;
    std::unique_ptr<char[]> buffer;
};

NewFile* CreateNewFileIn(Directory* at, const char* name) {
    std::unique_ptr<NewFile> f(new (std::nothrow) NewFile{nullptr, nullptr});
    if (!f) return nullptr;
    const size_t size = 256 * 1024;
    f->buffer.reset(new (std::nothrow) char[size]);
    if (!f->buffer) return nullptr;
    f->file = OpenFileIn(at, name, FileOpen::kCreateNew);
    if (!f->file) return nullptr;
    std::setvbuf(f->file, f->buffer.get(), _IOFBF, size);
    return f.release();
}

size_t WriteNewFile(NewFile* f, const void* data, size_t count) { return std::fwrite(data, 1, count, f->file); }

bool SeekNewFile(NewFile* f, uint64_t offset) { return SeekFile(f->file, offset); }

bool NewFileLength(NewFile* f, uint64_t* length) { return FileLength(f->file, length); }

bool SyncNewFile(NewFile* f) { return SyncFile(f->file); }

bool StampNewFile(NewFile* f, uint16_t dosDate, uint16_t dosTime, bool attributes, uint16_t attribs) {
    return attributes ? StampFile(f->file, dosDate, dosTime, attribs) : StampFileTime(f->file, dosDate, dosTime);
}

bool CloseNewFile(NewFile* f) {
    bool ok = std::fflush(f->file) == 0 && !std::ferror(f->file);
    ok = std::fclose(f->file) == 0 && ok;
    delete f;  // after fclose: the stream uses the buffer until then
    return ok;
}

bool RenameIn(Directory* at, const char* from, const char* to, bool replace) {
    if (!from || !to) return false;
    std::string source = PathIn(at, from), target = PathIn(at, to);
    return MoveFileExW(Wide(source).c_str(), Wide(target).c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0;
}

bool RemoveIn(Directory* at, const char* name) {
    if (!name) return false;
    std::wstring path = Wide(PathIn(at, name));
    if (DeleteFileW(path.c_str())) return true;
    // A file already given the read-only attribute it was stored with.
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) return false;
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    return DeleteFileW(path.c_str()) != 0;
}

// Without MOVEFILE_REPLACE_EXISTING the move fails when the name is taken.
bool RenameNoReplace(const char* from, const char* to) { return from && to && MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), 0) != 0; }

bool SyncFile(std::FILE* file) {
    if (!file || std::fflush(file) != 0) return false;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return h != INVALID_HANDLE_VALUE && FlushFileBuffers(h) != 0;
}

// Renames are durable once MoveFileEx returns on NTFS.
bool SyncDirectoryOf(const char* path) { return path != nullptr; }

bool ResolvePath(const char* path, std::string* resolved) {
    if (!path || !path[0]) return false;
    wchar_t buffer[MAX_PATH];
    DWORD n = GetFullPathNameW(Wide(path).c_str(), MAX_PATH, buffer, nullptr);
    if (n == 0 || n >= MAX_PATH) return false;
    *resolved = Utf8(buffer);
    return true;
}

bool DescribeTarget(const char* path, TargetInfo* info) {
    if (!path) return false;
    DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    HANDLE h = OpenForQuery(path);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = IdentityOfHandle(h, &info->identity);
    CloseHandle(h);
    info->regular = !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
    info->readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    info->mode = attributes;  // the attributes travel to the new file
    return ok;
}

bool ApplyTargetInfo(const char* path, const TargetInfo& info) {
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    DWORD attributes = info.mode & kept;
    return path && SetFileAttributesW(Wide(path).c_str(), attributes ? attributes : FILE_ATTRIBUTE_NORMAL) != 0;
}

bool NameTaken(const char* path) { return path && GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

bool ListDirectory(const char* dir, std::vector<std::string>* names) {
    std::string pattern = dir && dir[0] ? dir : ".";
    if (pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW(Wide(pattern).c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    names->clear();
    do {
        if (std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0) continue;
        names->push_back(Utf8(found.cFileName));
    } while (FindNextFileW(h, &found));
    FindClose(h);
    return true;
}

FileLock::Result FileLock::Acquire(const char* path) {
    Release();
    if (!path) return kFailed;
    // Delete sharing lets the finished cabinet be renamed over this one once
    // the lock is given up.
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return kFailed;
    // A byte far beyond any cabinet's end: Windows locks are mandatory, and a
    // lock on the data would stop our own reads of it.
    OVERLAPPED at;
    std::memset(&at, 0, sizeof at);
    at.Offset = 0xFFFFFFFEu;
    at.OffsetHigh = 0x7FFFFFFFu;
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        bool busy = GetLastError() == ERROR_LOCK_VIOLATION;
        CloseHandle(h);
        return busy ? kBusy : kFailed;
    }
    if (!IdentityOfHandle(h, &identity_)) {
        CloseHandle(h);
        return kFailed;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    return kLocked;
}

void FileLock::Release() {
    if (handle_ == kNone) return;
    CloseHandle(reinterpret_cast<HANDLE>(handle_));  // closing drops the lock
    handle_ = kNone;
}

bool ReplaceNeedsClosedTarget() { return true; }

void SleepMilliseconds(unsigned milliseconds) { Sleep(milliseconds); }

}  // namespace platform
}  // namespace mirad
