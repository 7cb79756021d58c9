// The host's operating-system services on Windows.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "host/os.h"

namespace host {

std::string ExecutableDirectory() {
    char buffer[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return "";
    std::string path(buffer, length);
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? std::string(".") : path.substr(0, cut);
}

std::string DefaultConfigDirectory() {
    const char* appData = std::getenv("APPDATA");
    if (appData && *appData) return JoinPath(appData, "mirad");
    return "";
}

std::string BlockedWayBelow(const std::string& root, const std::vector<std::string>& parts, size_t count) {
    std::string path = root;
    for (size_t i = 0; i < count && i < parts.size(); ++i) {
        path = JoinPath(path, parts[i]);
        DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return "";
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return "the way in, '" + path + "', is a link (reparse point); it is not followed";
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return "'" + path + "' is not a directory";
    }
    return "";
}

bool IsReadOnlyFile(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

StdoutToStderr::StdoutToStderr() {
    std::fflush(stdout);
    saved = _dup(1);
    if (saved >= 0) _dup2(2, 1);
}

StdoutToStderr::~StdoutToStderr() {
    std::fflush(stdout);
    if (saved < 0) return;
    _dup2(saved, 1);
    _close(saved);
}

bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }
bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }
void SetStdoutBinary() { _setmode(_fileno(stdout), _O_BINARY); }

bool FreeSpace(const std::string& directory, uint64_t* free, uint64_t* block) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExA(directory.c_str(), &available, nullptr, nullptr)) return false;
    *free = available.QuadPart;
    *block = 1;
    return true;
}

// The module gives the DOS date and time pair and DOS attribute bits.
const std::string& EntryTime(int32_t fileTime, bool iso) {
    static const std::string kNone = "-", kNoneIso;
    if (fileTime == 0) return iso ? kNoneIso : kNone;
    uint32_t value = static_cast<uint32_t>(fileTime);
    unsigned date = value >> 16, time = value & 0xFFFF;
    char text[32];
    std::snprintf(text, sizeof text, iso ? "%04u-%02u-%02uT%02u:%02u:%02u" : "%04u-%02u-%02u %02u:%02u:%02u",
                  1980 + (date >> 9), (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63, (time & 31) * 2);
    thread_local std::string shown;
    shown = text;
    return shown;
}

int32_t EntryAttributeBits(int32_t attributes) { return attributes & 0xFF; }

void* LoadLibraryFile(const std::string& path, std::string* error) {
    // Without a directory part LoadLibrary would search the system path.
    HMODULE library = LoadLibraryA(path.c_str());
    if (!library) {
        *error = "cannot load the module '" + path + "' (Windows error " + std::to_string(GetLastError()) + ")";
    }
    return reinterpret_cast<void*>(library);
}

void* FindSymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void UnloadLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

TempDirectory::TempDirectory() {
    std::error_code error;
    std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error) base = ".";
    for (unsigned attempt = 0; attempt < 1000 && path.empty(); ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, "mirad-%lu-%lu-%u", static_cast<unsigned long>(GetCurrentProcessId()),
                      static_cast<unsigned long>(GetTickCount()), attempt);
        std::string candidate = (base / name).string();
        if (CreateDirectoryA(candidate.c_str(), nullptr)) path = candidate;
    }
}

}  // namespace host
