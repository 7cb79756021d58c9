// Diagnostic log: one line per call, appended to the DebugFile setting.
#pragma once

namespace mirad {

void LogMessage(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// While one lives, the calling thread's messages are not written: a look
// at a file the host is not opening (detection by content) leaves the log
// as it was.
class LogSilenced {
public:
    LogSilenced();
    ~LogSilenced();
    LogSilenced(const LogSilenced&) = delete;
    LogSilenced& operator=(const LogSilenced&) = delete;
};

}  // namespace mirad
