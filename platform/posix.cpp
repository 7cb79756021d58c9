// POSIX implementation of the platform layer.
//
// There are no profile services here: the profile calls read and write the
// file through the shared INI code (ini.h), which behaves like the Win32
// profile functions. Beyond it, as the Win32 functions do: an absent file
// and (for integers) an empty value yield the caller's default; trailing
// blanks of a string default are dropped; values are cut to the caller's
// buffer. Writing a key puts the new content in a temporary file beside the
// target which then replaces it, so a failed write never leaves a
// half-written settings file.
#include "platform/platform.h"

#include "platform/ini.h"

#include <dlfcn.h>
#include <pthread.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace mirad {
namespace platform {

// ---- Module identity -------------------------------------------------------

namespace {

// The module's path as the loader reported it, made absolute at load time
// (a relative path would name another file once the host changes directory).
std::string& LoadedPath() {
    static std::string path;
    return path;
}

void CaptureModulePath() {
    Dl_info info;
    std::memset(&info, 0, sizeof info);
    if (!dladdr(reinterpret_cast<void*>(&CaptureModulePath), &info) || !info.dli_fname || !info.dli_fname[0]) return;
    std::string path = info.dli_fname;
    if (path[0] != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) return;
        path = std::string(cwd) + "/" + path;
    }
    LoadedPath() = path;
}

}  // namespace

bool ModulePath(char* out, size_t size) {
    if (!out || size == 0) return false;
    out[0] = '\0';
    if (LoadedPath().empty()) CaptureModulePath();
    const std::string& path = LoadedPath();
    // A cut path would name another file: too long means unknown.
    if (path.empty() || path.size() >= size) return false;
    std::memcpy(out, path.c_str(), path.size() + 1);
    return true;
}

// ---- INI profile -----------------------------------------------------------

namespace {

// False when the file cannot be read (absent, a directory, unreadable).
bool ReadWholeFile(const char* path, std::string* content) {
    content->clear();
    if (!path || !path[0]) return false;
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) content->append(buffer, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

size_t CopyCut(const std::string& text, char* out, size_t size) {
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    if (n) std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return n;
}

// Writes the whole content so that the file holds either the old or the new
// text, never a mixture.
bool WriteWholeFile(const char* path, const std::string& content) {
    struct stat st;
    if (stat(path, &st) != 0) {
        if (errno != ENOENT) return false;
        // Nothing to lose yet: create the file directly.
        int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) return false;
        std::FILE* f = fdopen(fd, "wb");
        if (!f) {
            close(fd);
            unlink(path);
            return false;
        }
        bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
        ok = std::fclose(f) == 0 && ok;
        if (!ok) unlink(path);
        return ok;
    }
    // A read-only file (no owner write bit, the same rule FindFile uses, or
    // no write access) stays as it is, as with the profile functions; the
    // rename below would otherwise replace it regardless.
    if (!S_ISREG(st.st_mode) || !(st.st_mode & S_IWUSR) || access(path, W_OK) != 0) return false;

    // Replace the file a link points to, not the link.
    std::string target = path;
    if (char* real = realpath(path, nullptr)) {
        target = real;
        std::free(real);
    }
    std::vector<char> temp(target.begin(), target.end());
    static const char kSuffix[] = ".XXXXXX";
    temp.insert(temp.end(), kSuffix, kSuffix + sizeof kSuffix);  // with its NUL
    int fd = mkstemp(temp.data());
    if (fd < 0) {
        // The directory takes no new files; the file itself may still be
        // writable, so rewrite it in place.
        std::FILE* f = std::fopen(target.c_str(), "wb");
        if (!f) return false;
        bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
        return std::fclose(f) == 0 && ok;
    }
    fchmod(fd, st.st_mode & 07777);
    std::FILE* f = fdopen(fd, "wb");
    if (!f) {
        close(fd);
        unlink(temp.data());
        return false;
    }
    bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok || rename(temp.data(), target.c_str()) != 0) {
        unlink(temp.data());
        return false;
    }
    return true;
}

}  // namespace

struct Profile::Text {
    ini::Document document;
};

Profile::Profile(const char* path) : path_(path) {
    std::string content;
    if (ReadWholeFile(path, &content)) text_.reset(new Text{ini::Document(content)});
}

Profile::~Profile() = default;

size_t Profile::GetString(const char* section, const char* key, const char* fallback, char* out, size_t size) const {
    if (!out || size == 0) return 0;
    std::string value;
    if (text_ && text_->document.Find(section, key, &value)) return CopyCut(value, out, size);
    std::string text = fallback ? fallback : "";
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
    return CopyCut(text, out, size);
}

// Like the Win32 function: an absent or empty value gives the default;
// otherwise an optional sign and the leading decimal digits count, anything
// after them is ignored, and a value without digits is 0. Overlong numbers
// wrap as 32-bit values.
int Profile::GetInt(const char* section, const char* key, int fallback) const {
    std::string value;
    if (!text_ || !text_->document.Find(section, key, &value)) return fallback;
    if (value.empty()) return fallback;
    size_t i = 0;
    bool negative = false;
    if (value[i] == '+' || value[i] == '-') negative = value[i++] == '-';
    uint32_t number = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        number = number * 10u + static_cast<uint32_t>(value[i] - '0');
    }
    if (negative) number = 0u - number;
    return static_cast<int>(static_cast<int32_t>(number));
}

size_t ProfileGetString(const char* section, const char* key, const char* fallback, char* out, size_t size,
                        const char* path) {
    return Profile(path).GetString(section, key, fallback, out, size);
}

int ProfileGetInt(const char* section, const char* key, int fallback, const char* path) {
    return Profile(path).GetInt(section, key, fallback);
}

bool ProfileWriteString(const char* section, const char* key, const char* value, const char* path) {
    if (!section || !key || !value || !path || !path[0]) return false;
    std::string content;
    struct stat st;
    if (stat(path, &st) == 0) {
        // An existing file we cannot read must not be replaced by one key.
        if (!ReadWholeFile(path, &content)) return false;
    } else if (errno != ENOENT) {
        return false;
    }
    return ini::SetValue(&content, section, key, value) && WriteWholeFile(path, content);
}

// ---- Files -----------------------------------------------------------------

// The stamp counts 100-nanosecond steps since 1601, little-endian, so it is
// never all zero for a real file (zero means "not loaded" to the caller).
bool FileWriteStamp(const char* path, uint8_t stamp[8]) {
    if (!path || !path[0]) return false;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);  // a directory is not a settings file
    close(fd);
    if (!ok) return false;
    const uint64_t kEpochDifference = 11644473600ull;  // seconds from 1601 to 1970
    uint64_t ticks = (static_cast<uint64_t>(static_cast<int64_t>(st.st_mtim.tv_sec)) + kEpochDifference) * 10000000ull +
                     static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100u;
    for (int i = 0; i < 8; ++i) stamp[i] = static_cast<uint8_t>(ticks >> (8 * i));
    return true;
}

bool CreateNewEmptyFile(const char* path) {
    if (!path || !path[0]) return false;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    close(fd);
    return true;
}

std::FILE* OpenNewFile(const char* path) {
    if (!path || !path[0]) return nullptr;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    std::FILE* f = fdopen(fd, "wb");
    if (!f) close(fd);
    return f;
}

std::FILE* OpenFile(const char* path, const char* mode) {
    return path && path[0] && mode ? std::fopen(path, mode) : nullptr;
}

bool SeekFile(std::FILE* file, uint64_t offset) {
    static_assert(sizeof(off_t) >= 8, "64-bit file offsets are required");
    if (!file || offset > static_cast<uint64_t>(INT64_MAX)) return false;
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

size_t ReadFileAt(std::FILE* file, uint64_t offset, void* buffer, size_t count) {
    if (!file || offset > static_cast<uint64_t>(INT64_MAX)) return 0;
    const int fd = fileno(file);
    size_t done = 0;
    while (done < count) {
        ssize_t n = pread(fd, static_cast<char*>(buffer) + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

bool FileLength(std::FILE* file, uint64_t* length) {
    if (!file || !length) return false;
    // Bytes still in the stream's buffer belong to the file too.
    if (std::fflush(file) != 0) return false;
    struct stat st;
    if (fstat(fileno(file), &st) != 0 || st.st_size < 0) return false;
    *length = static_cast<uint64_t>(st.st_size);
    return true;
}

// Win32 attribute bits from what POSIX knows about a file:
//  0x01 read-only: a file (not a directory) whose owner may not write it;
//  0x02 hidden:    the name starts with "." (the POSIX convention);
//  0x04 system:    never (POSIX has no such notion);
//  0x10 directory: a directory;
//  0x20 archive:   every non-directory (it is always "changed since backup").
bool FindFile(const char* path, FindData* data) {
    if (!path || !path[0] || !data) return false;
    struct stat st;
    if (stat(path, &st) != 0) return false;
    std::string name = path;
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    size_t slash = name.rfind('/');
    if (slash != std::string::npos) name.erase(0, slash + 1);

    uint32_t attributes = 0;
    if (S_ISDIR(st.st_mode)) {
        attributes |= 0x10;
    } else {
        attributes |= 0x20;
        if (!(st.st_mode & S_IWUSR)) attributes |= 0x01;
    }
    if (name.size() > 1 && name[0] == '.' && name != "..") attributes |= 0x02;

    data->attributes = attributes;
    data->size = S_ISDIR(st.st_mode) || st.st_size < 0 ? 0 : static_cast<uint64_t>(st.st_size);
    UnixTimeToDos(static_cast<int64_t>(st.st_mtim.tv_sec), &data->dosDate, &data->dosTime);
    return true;
}

bool DeleteFile(const char* path) { return path && unlink(path) == 0; }

bool RemoveDirectory(const char* path) { return path && rmdir(path) == 0; }

bool MakeDirectory(const char* path) {
    if (!path || !path[0]) return false;
    if (mkdir(path, 0777) == 0) return true;
    struct stat st;
    return errno == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool ReplaceFile(const char* from, const char* to) { return from && to && rename(from, to) == 0; }

// DOS dates cover 1980 to 2107: earlier times give the first moment of 1980,
// later ones the last representable moment, rather than a wrapped year.
void UnixTimeToDos(int64_t seconds, uint16_t* dosDate, uint16_t* dosTime) {
    const uint16_t kMinDate = (0 << 9) | (1 << 5) | 1, kMinTime = 0;
    const uint16_t kMaxDate = (127 << 9) | (12 << 5) | 31, kMaxTime = (23 << 11) | (59 << 5) | 29;
    struct tm local;
    std::memset(&local, 0, sizeof local);
    time_t t = static_cast<time_t>(seconds);
    bool ok = static_cast<int64_t>(t) == seconds;
    if (ok) {
        LocalTimeLock().lock();
        ok = localtime_r(&t, &local) != nullptr;
        LocalTimeLock().unlock();
    }
    int year = ok ? local.tm_year + 1900 : (seconds < 0 ? 0 : 9999);
    if (year < 1980) {
        *dosDate = kMinDate;
        *dosTime = kMinTime;
    } else if (year > 2107) {
        *dosDate = kMaxDate;
        *dosTime = kMaxTime;
    } else {
        *dosDate = static_cast<uint16_t>(((year - 1980) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
        // A leap second (tm_sec 60) still fits the 5-bit field as 30.
        *dosTime = static_cast<uint16_t>((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2));
    }
}

// ---- Threads -----------------------------------------------------------------

static_assert(sizeof(pthread_mutex_t) <= sizeof(Mutex), "Mutex storage too small");

Mutex& LocalTimeLock() {
    static Mutex lock;
    return lock;
}

Mutex::Mutex() { pthread_mutex_init(reinterpret_cast<pthread_mutex_t*>(storage_), nullptr); }
Mutex::~Mutex() { pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(storage_)); }
void Mutex::lock() { pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(storage_)); }
void Mutex::unlock() { pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(storage_)); }

}  // namespace platform
}  // namespace mirad

// The loader runs this when the module (or a program linking it statically)
// is loaded, while the load-time directory is still current: a relative
// module path is made absolute against it.
__attribute__((constructor)) static void MiradModuleLoaded() { mirad::platform::CaptureModulePath(); }
