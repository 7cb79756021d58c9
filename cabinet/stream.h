// Positioned reads from the open cabinet, with a read-ahead window: file
// records, names and block headers are read from the window, so walking a
// table or a folder's headers costs neither a seek per record nor a call per
// byte. The window is the only buffer between the file and the reader (the
// stream itself has none). Large reads go straight to the stream. Nothing is
// read at or beyond `limit`.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/io.h"

namespace mirad {

class CabinetStream {
public:
    CabinetStream(IoFile* file, uint64_t limit) : file_(file), limit_(limit) {}

    uint64_t limit() const { return limit_; }
    // Forgets where the file stands and what the window holds: another
    // reader of the same file may have moved it since.
    void Forget() {
        known_ = false;
        windowSize_ = 0;
    }
    static constexpr size_t kWindow = 4096;
    // Exactly `count` bytes at `offset`, or false. A read the window does not
    // hold refills it with up to `ahead` bytes from `offset`: less for a
    // header that is all the caller wants from this part of the file.
    bool ReadAt(uint64_t offset, void* buffer, size_t count, size_t ahead = kWindow);

private:
    size_t ReadStream(uint64_t offset, void* buffer, size_t count);

    IoFile* file_;
    uint64_t limit_;
    uint64_t pos_ = 0;
    bool known_ = false;  // pos_ is where the stream really is
    uint64_t windowAt_ = 0;
    size_t windowSize_ = 0;
    uint8_t window_[kWindow];
};

}  // namespace mirad
