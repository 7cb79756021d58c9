// Win32 implementation of the platform layer: the real profile, file and
// time services of the system.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

// <windows.h> maps these names to their ANSI/Unicode variants; the platform
// layer's own functions carry the plain names.
#undef DeleteFile
#undef RemoveDirectory
#undef ReplaceFile

#include "platform/platform.h"
#include "platform/win32_text.h"

namespace mirad {
namespace platform {

HMODULE g_module = nullptr;  // set by the module entry below

namespace {

// The profile functions look for a bare file name in the Windows directory;
// everything else in the module means a name relative to the current one.
struct ProfilePath {
    std::wstring path;
    explicit ProfilePath(const char* p) : path(Wide(p)) {
        if (p && p[0] && !std::strpbrk(p, "\\/:")) path = L".\\" + path;
    }
};

uint64_t FileTimeValue(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME MakeFileTime(uint64_t value) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(value);
    ft.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return ft;
}

const uint16_t kMinDate = (0 << 9) | (1 << 5) | 1, kMinTime = 0;
const uint16_t kMaxDate = (127 << 9) | (12 << 5) | 31, kMaxTime = (23 << 11) | (59 << 5) | 29;
const uint64_t kTicksPerSecond = 10000000ull;
const uint64_t kEpochDifference = 11644473600ull;  // seconds from 1601 to 1970

// DOS dates cover 1980 to 2107: earlier times give the first moment of 1980,
// later ones the last representable moment, rather than a failure.
void FileTimeToDos(const FILETIME& utc, uint16_t* dosDate, uint16_t* dosTime) {
    FILETIME local;
    WORD date = 0, time = 0;
    if (FileTimeToLocalFileTime(&utc, &local) && FileTimeToDosDateTime(&local, &date, &time)) {
        *dosDate = date;
        *dosTime = time;
        return;
    }
    SYSTEMTIME st;
    bool early = !FileTimeToSystemTime(&utc, &st) || st.wYear < 1980;
    *dosDate = early ? kMinDate : kMaxDate;
    *dosTime = early ? kMinTime : kMaxTime;
}

}  // namespace

// ---- Module identity -------------------------------------------------------

bool ModulePath(char* out, size_t size) {
    if (!out || size == 0) return false;
    out[0] = '\0';
    wchar_t wide[32768];
    DWORD n = GetModuleFileNameW(g_module, wide, 32768);
    // n == capacity: the path was cut, and a cut path names another file.
    if (n == 0 || n >= 32768) return false;
    std::string path = Utf8(wide);
    if (path.size() >= size) return false;
    std::memcpy(out, path.c_str(), path.size() + 1);
    return true;
}

// ---- INI profile -----------------------------------------------------------

size_t ProfileGetString(const char* section, const char* key, const char* fallback, char* out, size_t size,
                        const char* path) {
    if (!out || size == 0) return 0;
    out[0] = '\0';
    if (!section || !key || !path) return 0;
    ProfilePath file(path);
    // Read in full, then cut to `size` bytes of UTF-8 at a character boundary.
    std::wstring value(1024, L'\0');
    for (;;) {
        DWORD n = GetPrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(),
                                           Wide(fallback ? fallback : "").c_str(), &value[0],
                                           static_cast<DWORD>(value.size()), file.path.c_str());
        if (n + 1 < value.size() || value.size() >= (1u << 20)) {
            value.resize(n);
            break;
        }
        value.assign(value.size() * 2, L'\0');
    }
    std::string text = Utf8(value.c_str());
    size_t n = text.size() < size ? text.size() : size - 1;
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return n;
}

int ProfileGetInt(const char* section, const char* key, int fallback, const char* path) {
    if (!section || !key || !path) return fallback;
    ProfilePath file(path);
    return static_cast<int>(
        GetPrivateProfileIntW(Wide(section).c_str(), Wide(key).c_str(), fallback, file.path.c_str()));
}

// The profile functions keep the file they read last cached themselves.
struct Profile::Text {};

Profile::Profile(const char* path) : path_(path) {}

Profile::~Profile() = default;

size_t Profile::GetString(const char* section, const char* key, const char* fallback, char* out, size_t size) const {
    return ProfileGetString(section, key, fallback, out, size, path_);
}

int Profile::GetInt(const char* section, const char* key, int fallback) const {
    return ProfileGetInt(section, key, fallback, path_);
}

bool ProfileWriteString(const char* section, const char* key, const char* value, const char* path) {
    if (!section || !key || !value || !path || !path[0]) return false;
    ProfilePath file(path);
    return WritePrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), Wide(value).c_str(),
                                      file.path.c_str()) != 0;
}

// ---- Files -----------------------------------------------------------------

bool FileWriteStamp(const char* path, uint8_t stamp[8]) {
    if (!path || !path[0]) return false;
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    FILETIME written;
    BOOL ok = GetFileTime(h, nullptr, nullptr, &written);
    CloseHandle(h);
    if (!ok) return false;
    uint64_t value = FileTimeValue(written);
    for (int i = 0; i < 8; ++i) stamp[i] = static_cast<uint8_t>(value >> (8 * i));
    return true;
}

bool CreateNewEmptyFile(const char* path) {
    if (!path || !path[0]) return false;
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

std::FILE* OpenNewFile(const char* path) {
    if (!path || !path[0]) return nullptr;
    int fd = _wopen(Wide(path).c_str(), _O_CREAT | _O_EXCL | _O_BINARY | _O_WRONLY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    std::FILE* f = _fdopen(fd, "wb");
    if (!f) _close(fd);
    return f;
}

std::FILE* OpenFile(const char* path, const char* mode) {
    if (!path || !path[0] || !mode) return nullptr;
    return _wfopen(Wide(path).c_str(), Wide(mode).c_str());
}

bool SeekFile(std::FILE* file, uint64_t offset) {
    if (!file || offset > static_cast<uint64_t>(INT64_MAX)) return false;
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}

size_t ReadFileAt(std::FILE* file, uint64_t offset, void* buffer, size_t count) {
    if (!file) return 0;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE) return 0;
    size_t done = 0;
    while (done < count) {
        // A synchronous handle reads at the offset the OVERLAPPED names.
        OVERLAPPED at = {};
        const uint64_t where = offset + done;
        at.Offset = static_cast<DWORD>(where);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        const size_t left = count - done;
        const DWORD ask = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD got = 0;
        if (!ReadFile(handle, static_cast<char*>(buffer) + done, ask, &got, &at) || got == 0) break;
        done += got;
    }
    return done;
}

bool FileLength(std::FILE* file, uint64_t* length) {
    if (!file || !length) return false;
    // Bytes still in the stream's buffer belong to the file too.
    if (std::fflush(file) != 0) return false;
    __int64 n = _filelengthi64(_fileno(file));
    if (n < 0) return false;
    *length = static_cast<uint64_t>(n);
    return true;
}

bool FindFile(const char* path, FindData* data) {
    if (!path || !path[0] || !data) return false;
    // One named file is looked up, never a pattern.
    if (std::strpbrk(path, "*?")) return false;
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW(Wide(path).c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return false;
    FindClose(h);
    data->attributes = found.dwFileAttributes;
    data->size = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                     ? 0
                     : (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    FileTimeToDos(found.ftLastWriteTime, &data->dosDate, &data->dosTime);
    return true;
}

bool DeleteFile(const char* path) { return path && DeleteFileW(Wide(path).c_str()) != 0; }

bool RemoveDirectory(const char* path) { return path && RemoveDirectoryW(Wide(path).c_str()) != 0; }

bool MakeDirectory(const char* path) {
    if (!path || !path[0]) return false;
    std::wstring wide = Wide(path);
    if (CreateDirectoryW(wide.c_str(), nullptr)) return true;
    DWORD attributes = GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool ReplaceFile(const char* from, const char* to) {
    return from && to && MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

void UnixTimeToDos(int64_t seconds, uint16_t* dosDate, uint16_t* dosTime) {
    // Before 1601 or beyond what a file time holds: clamp without converting.
    if (seconds < -static_cast<int64_t>(kEpochDifference)) {
        *dosDate = kMinDate;
        *dosTime = kMinTime;
        return;
    }
    uint64_t since1601 = static_cast<uint64_t>(seconds) + kEpochDifference;  // no wrap: seconds >= -difference
    if (since1601 > (UINT64_MAX >> 1) / kTicksPerSecond) {
        *dosDate = kMaxDate;
        *dosTime = kMaxTime;
        return;
    }
    FileTimeToDos(MakeFileTime(since1601 * kTicksPerSecond), dosDate, dosTime);
}

// ---- Threads -----------------------------------------------------------------

static_assert(sizeof(SRWLOCK) <= sizeof(Mutex), "Mutex storage too small");

Mutex& LocalTimeLock() {
    static Mutex lock;
    return lock;
}

Mutex::Mutex() { InitializeSRWLock(reinterpret_cast<SRWLOCK*>(storage_)); }
Mutex::~Mutex() {}
void Mutex::lock() { AcquireSRWLockExclusive(reinterpret_cast<SRWLOCK*>(storage_)); }
void Mutex::unlock() { ReleaseSRWLockExclusive(reinterpret_cast<SRWLOCK*>(storage_)); }

}  // namespace platform
}  // namespace mirad

// The module entry: remembers the instance handle, since the settings file may
// sit beside the module.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) mirad::platform::g_module = instance;
    return TRUE;
}
