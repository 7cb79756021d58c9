// The POSIX host's conventions: "/" in names, UTF-8 (converted through the C
// library's iconv), Unix seconds and Unix file modes.
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/host.h"
#include "platform/platform.h"
#include "platform/posix_time.h"

namespace mirad {
namespace platform {

namespace {

constexpr char kUnconvertible = '_';

bool IsAscii(const char* text) {
    for (; *text; ++text)
        if (static_cast<unsigned char>(*text) >= 0x80) return false;
    return true;
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsUtf8(const char* text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        unsigned c = *p;
        int more;
        unsigned min;
        if (c < 0x80) {
            ++p;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            more = 1, min = 0x80, c &= 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2, min = 0x800, c &= 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3, min = 0x10000, c &= 0x07;
        } else {
            return false;
        }
        ++p;
        for (int i = 0; i < more; ++i, ++p) {
            if ((*p & 0xC0) != 0x80) return false;  // the NUL ends here too
            c = (c << 6) | (*p & 0x3F);
        }
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    }
    return true;
}

// Single-byte text to UTF-8; a byte the code page does not define becomes
// kUnconvertible. An unknown code page is read as Windows-1252.
std::string CodePageToUtf8(const char* text, uint32_t codePage) {
    char name[16];
    std::snprintf(name, sizeof name, "CP%u", static_cast<unsigned>(codePage));
    iconv_t cd = iconv_open("UTF-8", name);
    if (cd == reinterpret_cast<iconv_t>(-1)) cd = iconv_open("UTF-8", "CP1252");
    std::string out;
    size_t inLeft = std::strlen(text);
    char* in = const_cast<char*>(text);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // No converter at all: keep ASCII, mark the rest.
        for (; *in; ++in) out += static_cast<unsigned char>(*in) < 0x80 ? *in : kUnconvertible;
        return out;
    }
    char buffer[256];
    while (inLeft > 0) {
        char* o = buffer;
        size_t outLeft = sizeof buffer;
        size_t rc = iconv(cd, &in, &inLeft, &o, &outLeft);
        out.append(buffer, static_cast<size_t>(o - buffer));
        if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
            // EILSEQ or EINVAL: skip the byte the code page does not define.
            out += kUnconvertible;
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

}  // namespace

bool Utf8ToCodePage(const std::string& utf8, uint32_t codePage, std::string* out) {
    char name[16];
    std::snprintf(name, sizeof name, "CP%u", static_cast<unsigned>(codePage));
    iconv_t cd = iconv_open(name, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    out->clear();
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    bool ok = true;
    char buffer[256];
    while (inLeft > 0) {
        char* o = buffer;
        size_t outLeft = sizeof buffer;
        size_t rc = iconv(cd, &in, &inLeft, &o, &outLeft);
        out->append(buffer, static_cast<size_t>(o - buffer));
        if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
            ok = false;
            break;
        }
    }
    iconv_close(cd);
    return ok;
}

namespace {

bool ValidDosDateTime(uint16_t dosDate, uint16_t dosTime, struct tm* t) {
    static const int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int year = 1980 + (dosDate >> 9), month = (dosDate >> 5) & 0x0F, day = dosDate & 0x1F;
    int hour = dosTime >> 11, minute = (dosTime >> 5) & 0x3F, second = (dosTime & 0x1F) * 2;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || (month == 2 && day == 29 && !leap) ||
        hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    std::memset(t, 0, sizeof *t);
    t->tm_year = year - 1900;
    t->tm_mon = month - 1;
    t->tm_mday = day;
    t->tm_hour = hour;
    t->tm_min = minute;
    t->tm_sec = second;
    t->tm_isdst = -1;  // the zone's rules decide, as for any local time
    return true;
}

// Times and attributes through an open descriptor of a regular file.
bool StampDescriptor(int fd, uint16_t dosDate, uint16_t dosTime, bool setMode, uint16_t attribs) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    bool ok = true;
    struct timespec times[2];
    if (DosToTimespecs(dosDate, dosTime, times)) ok = futimens(fd, times) == 0;
    if (setMode && (attribs & 0x01) && (st.st_mode & 0222)) ok = fchmod(fd, st.st_mode & 07555) == 0 && ok;
    return ok;
}

bool StampPath(const char* path, uint16_t dosDate, uint16_t dosTime, bool setMode, uint16_t attribs) {
    if (!path || !path[0]) return false;
    if (!setMode || !(attribs & 0x01)) {
        // Times only, set by name: two calls per file instead of four. Never
        // through a link, and only on a regular file.
        struct stat st;
        if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
        struct timespec times[2];
        if (!DosToTimespecs(dosDate, dosTime, times)) return true;
        return utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW) == 0;
    }
    // Never through a link, never blocking on a FIFO: only the file written.
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = StampDescriptor(fd, dosDate, dosTime, setMode, attribs);
    close(fd);
    return ok;
}

}  // namespace

char HostSeparator() { return '/'; }

bool DosToUnixTime(uint16_t dosDate, uint16_t dosTime, int64_t* seconds) {
    struct tm t;
    if (!ValidDosDateTime(dosDate, dosTime, &t)) return false;
    const struct tm wanted = t;
    const time_t intoHour = t.tm_min * 60 + t.tm_sec;
    // mktime reads the zone's rules again (a stat of the zone file) on every
    // call, which costs more than the rest of listing an entry. The start of
    // the last hour converted is kept and the minutes added, as long as the
    // zone's clock gives back exactly the time asked for (no change of offset
    // in that hour, no change of zone since).
    static uint16_t memoDate = 0;
    static int memoHour = -1;
    static time_t memoStart = 0;
    time_t value = static_cast<time_t>(-1);
    {
        std::lock_guard<Mutex> hold(LocalTimeLock());
        bool known = false;
        if (memoDate == dosDate && memoHour == wanted.tm_hour) {
            value = memoStart + intoHour;
            struct tm back;
            known = localtime_r(&value, &back) && back.tm_sec == wanted.tm_sec && back.tm_min == wanted.tm_min &&
                    back.tm_hour == wanted.tm_hour && back.tm_mday == wanted.tm_mday &&
                    back.tm_mon == wanted.tm_mon && back.tm_year == wanted.tm_year;
        }
        if (!known) {
            value = std::mktime(&t);
            memoHour = -1;
            if (value != static_cast<time_t>(-1)) {
                memoDate = dosDate;
                memoHour = wanted.tm_hour;
                memoStart = value - intoHour;
            }
        }
    }
    if (value == static_cast<time_t>(-1)) return false;  // DOS dates start in 1980
    *seconds = static_cast<int64_t>(value);
    return true;
}

int32_t HostFileTime(uint16_t dosDate, uint16_t dosTime) {
    int64_t seconds;
    if (!DosToUnixTime(dosDate, dosTime, &seconds)) return 0;
    // The field is 32 bits: DOS dates past early 2038 are held at its end.
    return seconds > INT32_MAX ? INT32_MAX : static_cast<int32_t>(seconds);
}

int32_t HostAttributes(uint16_t attribs) {
    const int32_t kRegularFile = 0100000;
    return kRegularFile | ((attribs & 0x01) ? 0444 : 0644);
}

std::string StoredNameToHost(const char* name, bool utf8, uint32_t codePage) {
    if (!name) return std::string();
    if (IsAscii(name) || (utf8 && IsUtf8(name))) return name;
    // A flagged name that is not UTF-8 was made by a tool that set the flag
    // wrongly: read it like an unflagged one.
    return CodePageToUtf8(name, codePage);
}

std::string FromAnsiHost(const char* text) { return text ? text : ""; }

std::string ToAnsiHost(const std::string& text) { return text; }

uint64_t HostWideFileTime(uint16_t, uint16_t) { return 0; }

std::string HostNameToStored(const char* name, bool* utf8) {
    *utf8 = false;
    if (!name) return std::string();
    // Bytes that are not UTF-8 (a name from an older file system) are stored
    // as they are and read back through the code page.
    *utf8 = !IsAscii(name) && IsUtf8(name);
    return name;
}

bool StampFile(const char* path, uint16_t dosDate, uint16_t dosTime, uint16_t attribs) {
    return StampPath(path, dosDate, dosTime, true, attribs);
}

bool StampFile(std::FILE* file, uint16_t dosDate, uint16_t dosTime, uint16_t attribs) {
    if (!file || std::fflush(file) != 0) return false;
    return StampDescriptor(fileno(file), dosDate, dosTime, true, attribs);
}

bool StampFileTime(std::FILE* file, uint16_t dosDate, uint16_t dosTime) {
    if (!file || std::fflush(file) != 0) return false;
    struct timespec times[2];
    if (!DosToTimespecs(dosDate, dosTime, times)) return true;
    return futimens(fileno(file), times) == 0;
}

bool StampFileTime(const char* path, uint16_t dosDate, uint16_t dosTime) {
    return StampPath(path, dosDate, dosTime, false, 0);
}

}  // namespace platform
}  // namespace mirad
