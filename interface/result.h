// The host's result code for one of the module's errors: the one mapping,
// used by the exports alone (and by tests that check what a host would see).
#pragma once

#include <cstdint>

#include "interface/exports.h"
#include "support/error.h"

namespace mirad {

inline int32_t ResultCode(const Error& error) {
    switch (error.kind) {
        case ErrorKind::None: return MIRAD_OK;
        case ErrorKind::NoMemory: return MIRAD_NO_MEMORY;
        case ErrorKind::BadData: return MIRAD_BAD_DATA;
        case ErrorKind::UnknownFormat: return MIRAD_UNKNOWN_FORMAT;
        case ErrorKind::CannotOpen: return MIRAD_EOPEN;
        case ErrorKind::CannotCreate: return MIRAD_ECREATE;
        case ErrorKind::NotSupported: return MIRAD_NOT_SUPPORTED;
        case ErrorKind::Aborted: return MIRAD_ABORTED;
    }
    return MIRAD_BAD_DATA;
}

}  // namespace mirad
