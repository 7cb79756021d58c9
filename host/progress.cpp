// Cancellation and progress.
#include "host/progress.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>

#include "host/os.h"
#include "host/output.h"

namespace host {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
bool g_shown = false;
std::chrono::steady_clock::time_point g_started;
bool g_started_set = false;
uint64_t g_bytes = 0;

extern "C" void OnSignal(int) { g_interrupted = 1; }

}  // namespace

void InstallInterruptHandlers() {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
}

bool Interrupted() { return g_interrupted != 0; }

void StartProgress() {
    g_started = std::chrono::steady_clock::now();
    g_started_set = true;
    g_bytes = 0;
}

int MIRAD_CALL ProgressCallback(char* name, int32_t size) {
    if (size > 0) g_bytes += static_cast<uint64_t>(size);
    if (Interrupted()) return 0;
    if (Quiet() || !g_started_set || !StderrIsTerminal()) return 1;
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
