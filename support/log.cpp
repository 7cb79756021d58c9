// The diagnostic log. The file is opened and closed around every message so
// that everything written so far survives a host that ends abruptly. Each
// message is written as one line under a lock, so lines from two threads
// never interleave.
#include "support/log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "support/settings.h"

namespace mirad {

namespace {
platform::Mutex g_logLock;
// How many LogSilenced live on this thread; static TLS, as the settings
// pointer of a call.
#if defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local int t_silenced = 0;
}  // namespace

LogSilenced::LogSilenced() { ++t_silenced; }
LogSilenced::~LogSilenced() { --t_silenced; }

void LogMessage(const char* format, ...) {
    if (t_silenced > 0) return;
    SettingsSnapshot settings = CurrentSettings();
    const char* path = settings->DebugFile;
    if (!path[0] || !format) return;

    std::string line;
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n >= 0) {
        size_t length = static_cast<size_t>(n);
        if (length < sizeof small) {
            line.assign(small, length);
        } else {
            // Long paths in a message: format again into a buffer that fits;
            // without memory for it, the cut message is still written.
            try {
                line.resize(length + 1);
                std::vsnprintf(&line[0], length + 1, format, again);
                line.resize(length);
            } catch (...) {
                line.assign(small, sizeof small - 1);
            }
        }
    }
    va_end(again);

    std::lock_guard<platform::Mutex> hold(g_logLock);
    std::FILE* log = platform::OpenFile(path, "a");
    if (!log) return;  // an unusable log must never change what the module does
    std::fwrite(line.data(), 1, line.size(), log);
    std::fputc('\n', log);
    std::fclose(log);
}

}  // namespace mirad
