// The one case-insensitive comparison of the code base. Names in cabinets,
// setup files and settings files compare without regard to ASCII case only:
// bytes above 127 compare exactly, whatever the code page.
#pragma once

#include <cstddef>
#include <cstring>

namespace mirad {

inline char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
inline char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The first `n` characters of `a` and `b` are equal without regard to case;
// both are read no further than their first difference.
inline bool SameTextNoCase(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
        if (a[i] == '\0') return true;
    }
    return true;
}

// Equal lengths and equal text without regard to case.
inline bool EqualNoCase(const char* a, size_t aLength, const char* b, size_t bLength) {
    return aLength == bLength && SameTextNoCase(a, b, aLength);
}
inline bool EqualNoCase(const char* a, const char* b) {
    return EqualNoCase(a, std::strlen(a), b, std::strlen(b));
}

}  // namespace mirad
