// The operating-system services the host needs, once for POSIX
// (host/os_posix.cpp) and once for Windows (host/os_win32.cpp); the build
// picks one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

#if defined(_WIN32)
constexpr char kSeparator = '\\';
// A 64-bit Windows process loads only the 64-bit module, named as file
// managers expect it.
#if defined(_WIN64)
constexpr const char* kModuleName = "Mirad.wcx64";
#else
constexpr const char* kModuleName = "Mirad.wcx";
#endif
// A ":" inside a name would open an alternate stream or a device.
constexpr bool kColonIsSpecial = true;
#else
constexpr char kSeparator = '/';
constexpr const char* kModuleName = "Mirad.wcx";
constexpr bool kColonIsSpecial = false;
#endif

std::string ExecutableDirectory();     // empty when it cannot be told
std::string DefaultConfigDirectory();  // $XDG_CONFIG_HOME/mirad, ~/.config/mirad, %APPDATA%\mirad
bool IsDirectory(const std::string& path);
bool IsRegularFile(const std::string& path);
bool PathExists(const std::string& path);
bool MakeDirectories(const std::string& path);
// The file a path names (after links) is marked read-only or is not ours to
// write.
bool IsReadOnlyFile(const std::string& path);
// Why the module refused to write below root/parts[0]/.../parts[count-1]: the
// link or file it met on the way there, as the end of a sentence, or ""
// when there is none (the refusal had another cause).
std::string BlockedWayBelow(const std::string& root, const std::vector<std::string>& parts, size_t count);
std::string AbsolutePath(const std::string& path);
bool CopyFileBytes(const std::string& from, const std::string& to);
// Copies a file's bytes to standard output (binary on every platform).
bool CopyToStdout(const std::string& path);
// While it lives, what anyone prints on standard output goes to standard
// error: the module's own messages must not mix with document bytes.
struct StdoutToStderr {
    int saved = -1;
    StdoutToStderr();
    ~StdoutToStderr();
    StdoutToStderr(const StdoutToStderr&) = delete;
    StdoutToStderr& operator=(const StdoutToStderr&) = delete;
};
// Why a file cannot be opened for reading, in the system's words ("No such
// file or directory", "Permission denied", "Is a directory"); empty when it opens.
std::string WhyCannotRead(const std::string& path);
// Why a cabinet cannot be read from `path` before anything is read from it:
// the system's reason, or that it is a pipe or device (a cabinet is read by
// position). Empty for a regular file that opens.
std::string WhyNotReadable(const std::string& path, bool* notSeekable);
std::string JoinPath(const std::string& dir, const std::string& name);
std::string ParentDirectory(const std::string& path);
// The system's reason why `path` cannot be created and filled with `size`
// bytes (strerror text: "Permission denied", "No space left on device"...);
// empty when it sees none. A file the question creates is removed again.
std::string WhyCannotCreate(const std::string& path, uint64_t size);
// The size of a file, or 0 when it cannot be told.
uint64_t FileSize(const std::string& path);
// The names in a directory, sorted; false with the system's reason.
bool ListDirectory(const std::string& path, std::vector<std::string>* names, std::string* why);
bool StdoutIsTerminal();
bool StderrIsTerminal();
// Document bytes carry CR LF already: no text-mode translation.
void SetStdoutBinary();
// The bytes an unprivileged writer may still use below `directory`, and the
// unit the system allocates in.
bool FreeSpace(const std::string& directory, uint64_t* free, uint64_t* block);

// A header record's time and attributes as this platform's module fills
// them (DOS values on Windows, Unix seconds and a mode on POSIX).
// EntryTime's text stays valid until the thread's next call.
const std::string& EntryTime(int32_t fileTime, bool iso = false);  // "-" (empty with iso) when none
int32_t EntryAttributeBits(int32_t attributes);             // as DOS attribute bits

// A loaded shared library: null with the reason in `error`.
void* LoadLibraryFile(const std::string& path, std::string* error);
void* FindSymbol(void* library, const char* name);
void UnloadLibrary(void* library);

// A fresh private directory, removed with everything in it on destruction.
struct TempDirectory {
    std::string path;  // empty when it could not be made
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
};

}  // namespace host
