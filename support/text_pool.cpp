#include "support/text_pool.h"

namespace mirad {

const char* TextPool::Add(const char* text, size_t length) {
    if (length + 1 > left_) {
        // A text longer than a block gets a block of its own; the current
        // block stays open for the short ones that follow.
        size_t size = length + 1 > kBlock ? length + 1 : kBlock;
        blocks_.push_back(std::unique_ptr<char[]>(new char[size]));
        if (size != kBlock) {
            char* own = blocks_.back().get();
            if (length) std::memcpy(own, text, length);
            own[length] = '\0';
            return own;
        }
        free_ = blocks_.back().get();
        left_ = kBlock;
    }
    char* copy = free_;
    if (length) std::memcpy(copy, text, length);
    copy[length] = '\0';
    free_ += length + 1;
    left_ -= length + 1;
    return copy;
}

}  // namespace mirad
