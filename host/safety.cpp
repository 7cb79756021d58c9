// What keeps the host's terminal its own: names printed with their control
// characters escaped, lost output noticed, Ctrl-C and SIGTERM turned into a
// clean cancellation, and a one-line progress indicator.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/host.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace host {

std::string Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        char escaped[16];
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            // The UTF-8 form of a C1 control (CSI and the like).
            std::snprintf(escaped, sizeof escaped, "\\x%02x\\x%02x", c, next);
            out += escaped;
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool StdoutWritten() {
    // A write that failed earlier leaves the error flag even after a
    // successful flush.
    bool ok = std::fflush(stdout) == 0;
    return !std::ferror(stdout) && ok;
}

// ---- Cancellation and progress ------------------------------------------------------

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
bool g_quiet = false;
bool g_shown = false;
std::chrono::steady_clock::time_point g_started;
bool g_started_set = false;
uint64_t g_bytes = 0;

extern "C" void OnSignal(int) { g_interrupted = 1; }

bool StderrIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

}  // namespace

void InstallInterruptHandlers() {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
}

bool Interrupted() { return g_interrupted != 0; }

void SetQuiet(bool quiet) { g_quiet = quiet; }

void StartProgress() {
    g_started = std::chrono::steady_clock::now();
    g_started_set = true;
    g_bytes = 0;
}

int MIRAD_CALL ProgressCallback(char* name, int32_t size) {
    if (size > 0) g_bytes += static_cast<uint64_t>(size);
    if (Interrupted()) return 0;
    if (g_quiet || !g_started_set || !StderrIsTerminal()) return 1;
    // Only operations that take a while get a line.
    if (std::chrono::steady_clock::now() - g_started < std::chrono::seconds(1)) return 1;
    std::string shown = name ? Printable(name) : std::string();
    if (shown.size() > 50) shown = "..." + shown.substr(shown.size() - 47);
    std::fprintf(stderr, "\r\x1b[Kmirad: %.1f MiB  %s", static_cast<double>(g_bytes) / (1024.0 * 1024.0),
                 shown.c_str());
    std::fflush(stderr);
    g_shown = true;
    return 1;
}

void EndProgress() {
    if (g_shown) std::fputs("\r\x1b[K", stderr);
    g_shown = false;
    g_started_set = false;
}

}  // namespace host
