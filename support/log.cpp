// The diagnostic log. The file is opened and closed around every message so
// that everything written so far survives a host that ends abruptly.
#include "support/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "support/settings.h"

namespace mirad {

void LogMessage(const char* format, ...) {
    const char* path = CurrentSettings().DebugFile;
    if (!path[0] || !format) return;
    std::FILE* log = std::fopen(path, "a");
    if (!log) return;  // an unusable log must never change what the module does

    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n >= 0) {
        const char* text = small;
        size_t length = static_cast<size_t>(n);
        char* big = nullptr;
        if (length >= sizeof small) {
            // Long paths in a message: format again into a buffer that fits;
            // without memory for it, the cut message is still written.
            big = static_cast<char*>(std::malloc(length + 1));
            if (big) {
                std::vsnprintf(big, length + 1, format, again);
                text = big;
            } else {
                length = sizeof small - 1;
            }
        }
        std::fwrite(text, 1, length, log);
        std::free(big);
    }
    va_end(again);
    std::fputc('\n', log);
    std::fclose(log);
}

}  // namespace mirad
