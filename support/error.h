// What went wrong below the exports. Only the exports turn an error into one
// of the host's result codes; inside the module an error says what happened
// and, where it helps, at which cabinet offset.
#pragma once

#include <cstdint>

namespace mirad {

enum class ErrorKind : uint8_t {
    None,
    NoMemory,       // a table or buffer could not be had
    BadData,        // the cabinet or setup file does not hold what it claims
    UnknownFormat,  // not a cabinet we read (signature, flags, compression)
    CannotOpen,     // an input (cabinet, source file) cannot be opened or read
    CannotCreate,   // an output cannot be created or written
    NotSupported,   // a request the module does not carry out
    Aborted,        // the host's progress callback asked to stop
};

struct Error {
    static constexpr uint64_t kNoOffset = UINT64_MAX;

    ErrorKind kind = ErrorKind::None;
    const char* reason = "";  // a short static text, for tests and debugging
    uint64_t offset = kNoOffset;
    bool logged = false;  // a log line has already said what went wrong
    // An output that received nothing stands as the answer (the failure is
    // still reported).
    bool keepsEmpty = false;

    constexpr Error() = default;
    constexpr Error(ErrorKind k, const char* why, uint64_t at = kNoOffset) : kind(k), reason(why), offset(at) {}

    explicit operator bool() const { return kind != ErrorKind::None; }
    bool Is(ErrorKind k) const { return kind == k; }
    // The same error, marked as said in the log.
    Error Logged() const {
        Error said = *this;
        said.logged = true;
        return said;
    }
    Error KeepsEmpty() const {
        Error kept = *this;
        kept.keepsEmpty = true;
        return kept;
    }
};

constexpr Error kOk{};

inline Error NoMemory(const char* why) { return Error(ErrorKind::NoMemory, why); }
inline Error BadData(const char* why, uint64_t at = Error::kNoOffset) { return Error(ErrorKind::BadData, why, at); }
inline Error UnknownFormat(const char* why) { return Error(ErrorKind::UnknownFormat, why); }
inline Error CannotOpen(const char* why) { return Error(ErrorKind::CannotOpen, why); }
inline Error CannotCreate(const char* why) { return Error(ErrorKind::CannotCreate, why); }
inline Error NotSupported(const char* why) { return Error(ErrorKind::NotSupported, why); }
inline Error Aborted(const char* why) { return Error(ErrorKind::Aborted, why); }

}  // namespace mirad
