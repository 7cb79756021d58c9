#include "support/text_pool.h"

namespace mirad {

char* TextPool::Claim(size_t length) {
    if (length + 1 > left_) {
        // A text longer than a block gets a block of its own; the current
        // block stays open for the short ones that follow.
        size_t size = length + 1 > kBlock ? length + 1 : kBlock;
        blocks_.push_back(std::unique_ptr<char[]>(new char[size]));
        if (size != kBlock) {
            char* own = blocks_.back().get();
            own[length] = '\0';
            return own;
        }
        free_ = blocks_.back().get();
        left_ = kBlock;
    }
    char* room = free_;
    room[length] = '\0';
    free_ += length + 1;
    left_ -= length + 1;
    return room;
}

const char* TextPool::Add(const char* text, size_t length) {
    char* copy = Claim(length);
    if (length) std::memcpy(copy, text, length);
    return copy;
}

}  // namespace mirad
