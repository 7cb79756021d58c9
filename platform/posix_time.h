// DOS times as the two timespecs futimens and utimensat take, on POSIX only.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "platform/host.h"

namespace mirad {
namespace platform {

// False when the DOS time names no instant (the file keeps its own time).
inline bool DosToTimespecs(uint16_t dosDate, uint16_t dosTime, struct timespec times[2]) {
    int64_t seconds;
    if (!DosToUnixTime(dosDate, dosTime, &seconds)) return false;
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(seconds);
    times[0].tv_nsec = times[1].tv_nsec = 0;
    return true;
}

}  // namespace platform
}  // namespace mirad
