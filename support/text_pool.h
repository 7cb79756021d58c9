// Texts held end to end in a few large blocks: a table row keeps a pointer
// to its text instead of a fixed 260-byte array, so a table's memory follows
// the lengths its file really holds (65535 rows of short names cost a few
// hundred KiB, not 17 MiB).
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

namespace mirad {

class TextPool {
public:
    TextPool() = default;
    TextPool(const TextPool&) = delete;
    TextPool& operator=(const TextPool&) = delete;
    TextPool(TextPool&&) = default;
    TextPool& operator=(TextPool&&) = default;

    // A NUL-terminated copy of `length` bytes of `text`, valid as long as
    // the pool (moving the pool keeps it valid). Throws std::bad_alloc.
    const char* Add(const char* text, size_t length);
    const char* Add(const char* text) { return Add(text, std::strlen(text)); }
    // Room for a text of `length` bytes, terminated already, for a caller
    // that puts its pieces straight in. Throws std::bad_alloc.
    char* Claim(size_t length);

private:
    static constexpr size_t kBlock = 64 * 1024;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* free_ = nullptr;
    size_t left_ = 0;
};

}  // namespace mirad
