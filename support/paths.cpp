#include "support/paths.h"

#include <cstring>

namespace mirad {

bool CopyString(char* dst, size_t size, const char* src) {
    if (size == 0) return false;
    size_t n = src ? std::strlen(src) : 0;
    bool whole = n < size;
    if (!whole) n = size - 1;
    if (n) std::memcpy(dst, src, n);
    dst[n] = '\0';
    return whole;
}

bool AppendString(char* dst, size_t size, const char* src) {
    size_t used = strnlen(dst, size);
    if (used >= size) return false;
    return CopyString(dst + used, size - used, src);
}

size_t AfterLastSeparator(const char* path) {
    size_t cut = 0;
    for (size_t i = 0; path[i]; ++i) {
        if (path[i] == '\\' || path[i] == '/') cut = i + 1;
    }
    return cut;
}

}  // namespace mirad
