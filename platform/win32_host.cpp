// The Windows host's conventions: names with "\", the DOS date and time pair
// and DOS attribute bits, as the cabinet holds them; the ANSI exports' strings
// in the ANSI code page.
#include <windows.h>

#include <io.h>

#include <cstring>
#include <vector>

#include "platform/host.h"
#include "platform/win32_text.h"

namespace mirad {
namespace platform {

namespace {

constexpr char kUnconvertible[] = "_";  // '?' is no file-name character on Windows

bool IsAscii(const char* text) {
    for (; *text; ++text)
        if (static_cast<unsigned char>(*text) >= 0x80) return false;
    return true;
}

bool ToWide(UINT codePage, DWORD flags, const char* text, std::vector<wchar_t>* wide) {
    int n = MultiByteToWideChar(codePage, flags, text, -1, nullptr, 0);
    if (n <= 0) return false;
    wide->assign(static_cast<size_t>(n), L'\0');
    return MultiByteToWideChar(codePage, flags, text, -1, wide->data(), n) == n;
}

std::string ToAnsi(const std::vector<wchar_t>& wide) {
    BOOL usedDefault = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), -1, nullptr, 0, kUnconvertible,
                                &usedDefault);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), -1, &out[0], n, kUnconvertible, &usedDefault);
    out.resize(std::strlen(out.c_str()));
    return out;
}

// The local DOS date and time as a file time; false when they name no moment.
bool DosToFileTime(uint16_t dosDate, uint16_t dosTime, FILETIME* utc) {
    // DosDateTimeToFileTime accepts day 31 of any month; check the calendar.
    static const int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int year = 1980 + (dosDate >> 9), month = (dosDate >> 5) & 0x0F, day = dosDate & 0x1F;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || (month == 2 && day == 29 && !leap) ||
        (dosTime >> 11) > 23 || ((dosTime >> 5) & 0x3F) > 59 || (dosTime & 0x1F) > 29) {
        return false;
    }
    FILETIME local;
    return DosDateTimeToFileTime(dosDate, dosTime, &local) && LocalFileTimeToFileTime(&local, utc);
}

DWORD StoredAttributes(uint16_t attribs) {
    DWORD kept = attribs & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                            FILE_ATTRIBUTE_ARCHIVE);
    return kept ? kept : FILE_ATTRIBUTE_NORMAL;
}

bool StampHandle(HANDLE h, uint16_t dosDate, uint16_t dosTime) {
    FILETIME written;
    if (!DosToFileTime(dosDate, dosTime, &written)) return true;  // nothing to set
    return SetFileTime(h, nullptr, nullptr, &written) != 0;
}

bool StampTimeByPath(const char* path, uint16_t dosDate, uint16_t dosTime) {
    if (!path || !path[0]) return false;
    // The file itself, never what a reparse point leads to.
    HANDLE h = CreateFileW(Wide(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = StampHandle(h, dosDate, dosTime);
    CloseHandle(h);
    return ok;
}

}  // namespace

char HostSeparator() { return '\\'; }

bool DosToUnixTime(uint16_t dosDate, uint16_t dosTime, int64_t* seconds) {
    FILETIME utc;
    if (!DosToFileTime(dosDate, dosTime, &utc)) return false;
    uint64_t ticks = (static_cast<uint64_t>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime;
    *seconds = static_cast<int64_t>(ticks / 10000000ull) - 11644473600ll;
    return true;
}

int32_t HostFileTime(uint16_t dosDate, uint16_t dosTime) {
    return static_cast<int32_t>((static_cast<uint32_t>(dosDate) << 16) | dosTime);
}

// The format's UTF-8 name flag (0x80) is no file attribute: the name has been
// converted by the time the host sees it.
int32_t HostAttributes(uint16_t attribs) { return attribs & 0x7F; }

uint64_t HostWideFileTime(uint16_t dosDate, uint16_t dosTime) {
    FILETIME utc;
    if (!DosToFileTime(dosDate, dosTime, &utc)) return 0;
    return (static_cast<uint64_t>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime;
}

std::string StoredNameToHost(const char* name, bool utf8, uint32_t codePage) {
    if (!name) return std::string();
    if (IsAscii(name)) return name;
    std::vector<wchar_t> wide;
    // A flagged name that is not UTF-8 was made by a tool that set the flag
    // wrongly: read it like an unflagged one.
    if (utf8 && ToWide(CP_UTF8, MB_ERR_INVALID_CHARS, name, &wide)) return name;
    if (ToWide(codePage, 0, name, &wide) || ToWide(1252, 0, name, &wide)) return Utf8(wide.data());
    std::string kept = name;
    for (char& c : kept)
        if (static_cast<unsigned char>(c) >= 0x80) c = kUnconvertible[0];
    return kept;
}

std::string HostNameToStored(const char* name, bool* utf8) {
    *utf8 = false;
    if (!name) return std::string();
    std::vector<wchar_t> wide;
    *utf8 = !IsAscii(name) && ToWide(CP_UTF8, MB_ERR_INVALID_CHARS, name, &wide);
    return name;
}

std::string FromAnsiHost(const char* text) {
    if (!text) return std::string();
    if (IsAscii(text)) return text;
    std::vector<wchar_t> wide;
    return ToWide(CP_ACP, 0, text, &wide) ? Utf8(wide.data()) : std::string();
}

std::string ToAnsiHost(const std::string& text) {
    if (IsAscii(text.c_str())) return text;
    std::wstring wide = Wide(text);
    return ToAnsi(std::vector<wchar_t>(wide.c_str(), wide.c_str() + wide.size() + 1));
}

bool Utf8ToCodePage(const std::string& utf8, uint32_t codePage, std::string* out) {
    std::vector<wchar_t> wide;
    if (!ToWide(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), &wide)) return false;
    BOOL usedDefault = FALSE;
    int n = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), -1, nullptr, 0, nullptr, &usedDefault);
    if (n <= 0 || usedDefault) return false;
    out->assign(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), -1, &(*out)[0], n, nullptr, &usedDefault);
    out->resize(static_cast<size_t>(n - 1));
    return !usedDefault;
}

bool StampFile(const char* path, uint16_t dosDate, uint16_t dosTime, uint16_t attribs) {
    if (!StampTimeByPath(path, dosDate, dosTime)) return false;
    return SetFileAttributesW(Wide(path).c_str(), StoredAttributes(attribs)) != 0;
}

bool StampFile(std::FILE* file, uint16_t dosDate, uint16_t dosTime, uint16_t attribs) {
    if (!file || std::fflush(file) != 0) return false;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (h == INVALID_HANDLE_VALUE || !StampHandle(h, dosDate, dosTime)) return false;
    FILE_BASIC_INFO info;
    std::memset(&info, 0, sizeof info);  // zero times: leave them as they are
    info.FileAttributes = StoredAttributes(attribs);
    return SetFileInformationByHandle(h, FileBasicInfo, &info, sizeof info) != 0;
}

bool StampFileTime(const char* path, uint16_t dosDate, uint16_t dosTime) {
    return StampTimeByPath(path, dosDate, dosTime);
}

bool StampFileTime(std::FILE* file, uint16_t dosDate, uint16_t dosTime) {
    if (!file || std::fflush(file) != 0) return false;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return h != INVALID_HANDLE_VALUE && StampHandle(h, dosDate, dosTime);
}

}  // namespace platform
}  // namespace mirad
