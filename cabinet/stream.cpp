#include "cabinet/stream.h"

#include <cstring>

namespace mirad {

size_t CabinetStream::ReadStream(uint64_t offset, void* buffer, size_t count) {
    if (!known_ || pos_ != offset) {
        known_ = false;
        if (!IoSeek(file_, offset)) return 0;
        pos_ = offset;
        known_ = true;
    }
    size_t got = IoRead(file_, buffer, count);
    pos_ += got;
    if (got != count) known_ = false;
    return got;
}

bool CabinetStream::ReadAt(uint64_t offset, void* buffer, size_t count, size_t ahead) {
    if (offset > limit_ || count > limit_ - offset) return false;
    if (offset >= windowAt_ && count <= windowSize_ && offset - windowAt_ <= windowSize_ - count) {
        if (count) std::memcpy(buffer, window_ + (offset - windowAt_), count);
        return true;
    }
    if (count >= sizeof window_) {
        // A block's data usually starts inside the window that its header
        // was read with: take that part from the window, so the stream reads
        // on where it stands instead of seeking back.
        if (offset >= windowAt_ && offset - windowAt_ < windowSize_ && windowAt_ + windowSize_ == pos_ && known_) {
            size_t have = windowSize_ - static_cast<size_t>(offset - windowAt_);
            std::memcpy(buffer, window_ + (offset - windowAt_), have);
            return ReadStream(offset + have, static_cast<uint8_t*>(buffer) + have, count - have) == count - have;
        }
        return ReadStream(offset, buffer, count) == count;
    }
    uint64_t left = limit_ - offset;
    size_t fill = ahead < count ? count : ahead < sizeof window_ ? ahead : sizeof window_;
    if (left < fill) fill = static_cast<size_t>(left);
    windowAt_ = offset;
    windowSize_ = ReadStream(offset, window_, fill);
    if (windowSize_ < count) return false;
    if (count) std::memcpy(buffer, window_, count);
    return true;
}

}  // namespace mirad
