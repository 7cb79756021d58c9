// POSIX implementation of the platform layer.
//
// There are no profile services here, so this file carries a small INI
// reader and writer that behaves like the Win32 profile functions in every
// way the module relies on:
//  - section and key names compare without regard to (ASCII) case;
//  - blanks around section names, keys and values are trimmed;
//  - an absent file, section or key, a line without "=", and (for integers)
//    an empty value yield the caller's default; trailing blanks of a string
//    default are dropped, as the Win32 function does;
//  - one pair of matching quotes around a value is removed;
//  - values are cut to the caller's buffer;
//  - lines whose first non-blank character is ";" are comments;
//  - keys before the first section header belong to the section "";
//  - the first matching key wins when a name repeats.
// Writing a key rewrites the whole file with only that line changed or
// added, keeping every other byte; a new key goes after the last entry of its
// section, a new section at the end. New lines use the file's own line end
// (CR LF or LF; LF for a new file). The new content goes to a temporary file
// beside the target which then replaces it, so a failed write never leaves a
// half-written settings file.
#include "platform/platform.h"

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

const std::string kBom = "\xEF\xBB\xBF";  // UTF-8 byte-order mark

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

struct IniLine {
    std::string text;  // without its line end
    std::string end;   // "\r\n", "\n", or "" for a last line without one
};

enum class LineKind { Blank, Comment, Section, Key };

struct ParsedLine {
    LineKind kind = LineKind::Blank;
    std::string name;  // section or key name, trimmed
    std::string value; // trimmed; only for keys
    bool hasValue = false;
};

std::vector<IniLine> SplitLines(const std::string& content) {
    std::vector<IniLine> lines;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t nl = content.find('\n', pos);
        IniLine line;
        if (nl == std::string::npos) {
            line.text = content.substr(pos);
            pos = content.size();
        } else {
            line.text = content.substr(pos, nl - pos);
            line.end = "\n";
            if (!line.text.empty() && line.text.back() == '\r') {
                line.text.pop_back();
                line.end = "\r\n";
            }
            pos = nl + 1;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

ParsedLine ParseLine(const std::string& raw, bool first) {
    ParsedLine p;
    std::string text = raw;
    // A UTF-8 byte-order mark written by some editors is not part of the data.
    if (first && text.compare(0, 3, kBom) == 0) text.erase(0, 3);
    text = Trim(text);
    if (text.empty()) return p;
    if (text[0] == ';') {
        p.kind = LineKind::Comment;
        return p;
    }
    if (text[0] == '[') {
        p.kind = LineKind::Section;
        size_t close = text.find(']', 1);
        p.name = Trim(text.substr(1, close == std::string::npos ? std::string::npos : close - 1));
        return p;
    }
    p.kind = LineKind::Key;
    size_t eq = text.find('=');
    if (eq == std::string::npos) {
        p.name = text;
        return p;
    }
    p.name = Trim(text.substr(0, eq));
    p.value = Trim(text.substr(eq + 1));
    p.hasValue = true;
    return p;
}

std::vector<ParsedLine> ParseAll(const std::vector<IniLine>& lines) {
    std::vector<ParsedLine> parsed;
    parsed.reserve(lines.size());
    for (size_t i = 0; i < lines.size(); ++i) parsed.push_back(ParseLine(lines[i].text, i == 0));
    return parsed;
}

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

// The value of the first matching key that has one; false when none.
bool FindValue(const char* section, const char* key, const char* path, std::string* value) {
    if (!section || !key) return false;
    std::string content;
    if (!ReadWholeFile(path, &content)) return false;
    std::vector<IniLine> lines = SplitLines(content);
    bool inSection = SameName(std::string(), section);  // keys before any header
    for (size_t i = 0; i < lines.size(); ++i) {
        ParsedLine p = ParseLine(lines[i].text, i == 0);
        if (p.kind == LineKind::Section) {
            inSection = SameName(p.name, section);
        } else if (inSection && p.kind == LineKind::Key && p.hasValue && SameName(p.name, key)) {
            *value = p.value;
            return true;
        }
    }
    return false;
}

std::string StripQuotes(const std::string& value) {
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
        return value.substr(1, value.size() - 2);
    }
    return value;
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

bool HasLineBreak(const char* text) { return std::strpbrk(text, "\r\n") != nullptr; }

}  // namespace

size_t ProfileGetString(const char* section, const char* key, const char* fallback, char* out, size_t size,
                        const char* path) {
    if (!out || size == 0) return 0;
    std::string value;
    if (FindValue(section, key, path, &value)) return CopyCut(StripQuotes(value), out, size);
    std::string text = fallback ? fallback : "";
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
    return CopyCut(text, out, size);
}

// Like the Win32 function: an absent or empty value gives the default;
// otherwise an optional sign and the leading decimal digits count, anything
// after them is ignored, and a value without digits is 0. Overlong numbers
// wrap as 32-bit values.
int ProfileGetInt(const char* section, const char* key, int fallback, const char* path) {
    std::string value;
    if (!FindValue(section, key, path, &value)) return fallback;
    value = StripQuotes(value);
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

bool ProfileWriteString(const char* section, const char* key, const char* value, const char* path) {
    if (!section || !key || !value || !path || !path[0]) return false;
    // Names that the reader would parse as something else are refused.
    std::string keyName = Trim(key);
    if (keyName.empty() || keyName[0] == '[' || keyName[0] == ';' || keyName.find('=') != std::string::npos ||
        HasLineBreak(key) || HasLineBreak(section) || std::strchr(section, ']')) {
        return false;
    }
    // A line break in a value would start a new entry: keep its first line.
    std::string text(value, std::strcspn(value, "\r\n"));

    std::string content;
    struct stat st;
    if (stat(path, &st) == 0) {
        // An existing file we cannot read must not be replaced by one key.
        if (!ReadWholeFile(path, &content)) return false;
    } else if (errno != ENOENT) {
        return false;
    }

    std::vector<IniLine> lines = SplitLines(content);
    std::vector<ParsedLine> parsed = ParseAll(lines);
    std::string eol = "\n";
    for (const IniLine& line : lines) {
        if (!line.end.empty()) {
            eol = line.end;
            break;
        }
    }

    // Find the key in the first place the reader would find it; remember
    // where the first matching section ends for a new key.
    bool inSection = SameName(std::string(), section);
    bool sectionSeen = inSection;
    bool inFirstSection = inSection;
    size_t insertAfter = SIZE_MAX;  // SIZE_MAX: at the top of the file
    bool found = false;
    for (size_t i = 0; i < lines.size() && !found; ++i) {
        const ParsedLine& p = parsed[i];
        if (p.kind == LineKind::Section) {
            inSection = SameName(p.name, section);
            if (inFirstSection) inFirstSection = false;
            if (inSection && !sectionSeen) {
                sectionSeen = inFirstSection = true;
                insertAfter = i;
            }
        } else if (inSection && p.kind == LineKind::Key) {
            if (SameName(p.name, key)) {
                bool bom = i == 0 && lines[i].text.compare(0, 3, kBom) == 0;
                lines[i].text = (bom ? kBom : "") + p.name + "=" + text;
                found = true;
            } else if (inFirstSection) {
                insertAfter = i;
            }
        }
    }

    if (!found) {
        IniLine entry{keyName + "=" + text, eol};
        if (sectionSeen) {
            size_t at = insertAfter == SIZE_MAX ? 0 : insertAfter + 1;
            if (at > 0 && lines[at - 1].end.empty()) lines[at - 1].end = eol;
            if (at == 0 && !lines.empty() && lines[0].text.compare(0, 3, kBom) == 0) {
                lines[0].text.erase(0, 3);  // the mark stays the file's first bytes
                entry.text = kBom + entry.text;
            }
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), entry);
        } else {
            if (!lines.empty() && lines.back().end.empty()) lines.back().end = eol;
            lines.push_back(IniLine{"[" + std::string(section) + "]", eol});
            lines.push_back(entry);
        }
    }

    std::string out;
    out.reserve(content.size() + text.size() + 64);
    for (const IniLine& line : lines) {
        out += line.text;
        out += line.end;
    }
    return WriteWholeFile(path, out);
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
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    std::FILE* f = fdopen(fd, "wb");
    if (!f) close(fd);
    return f;
}

bool SeekFile(std::FILE* file, uint64_t offset) {
    static_assert(sizeof(off_t) >= 8, "64-bit file offsets are required");
    if (!file || offset > static_cast<uint64_t>(INT64_MAX)) return false;
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

uint64_t TellFile(std::FILE* file) {
    if (!file) return UINT64_MAX;
    off_t pos = ftello(file);
    return pos < 0 ? UINT64_MAX : static_cast<uint64_t>(pos);
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
    bool ok = static_cast<int64_t>(t) == seconds && localtime_r(&t, &local) != nullptr;
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
