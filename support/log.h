// Diagnostic log: one line per call, appended to the DebugFile setting.
#pragma once

namespace mirad {

void LogMessage(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace mirad
