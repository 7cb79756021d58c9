#include "platform/wide.h"

namespace mirad {
namespace platform {

namespace {

void PutUtf8(uint32_t c, std::string* out) {
    if (c < 0x80) {
        *out += static_cast<char>(c);
    } else if (c < 0x800) {
        *out += static_cast<char>(0xC0 | (c >> 6));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out += static_cast<char>(0xE0 | (c >> 12));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (c >> 18));
        *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsHigh(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The next character of NUL-terminated UTF-8 at *p, advancing *p.
uint32_t NextUtf8(const unsigned char** p) {
    const unsigned char* s = *p;
    unsigned c = *s;
    int more;
    uint32_t min;
    if (c < 0x80) {
        *p = s + 1;
        return c;
    } else if ((c & 0xE0) == 0xC0) {
        more = 1, min = 0x80, c &= 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        more = 2, min = 0x800, c &= 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        more = 3, min = 0x10000, c &= 0x07;
    } else {
        *p = s + 1;
        return 0xFFFD;
    }
    uint32_t value = c;
    for (int i = 1; i <= more; ++i) {
        if ((s[i] & 0xC0) != 0x80) {  // the NUL stops here too
            *p = s + i;
            return 0xFFFD;
        }
        value = (value << 6) | (s[i] & 0x3F);
    }
    *p = s + 1 + more;
    return value < min || value > 0x10FFFF ? 0xFFFD : value;
}

}  // namespace

std::string Utf16ToUtf8(const char16_t* text, size_t maxUnits) {
    std::string out;
    if (!text) return out;
    for (size_t i = 0; i < maxUnits && text[i]; ++i) {
        uint32_t u = text[i];
        if (IsHigh(u) && i + 1 < maxUnits && IsLow(text[i + 1])) {
            u = 0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        PutUtf8(u, &out);
    }
    return out;
}

std::u16string Utf8ToUtf16(const char* text) {
    std::u16string out;
    if (!text) return out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        uint32_t c = NextUtf8(&p);
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

bool CopyUtf16(char16_t* out, size_t capacity, const char* text) {
    if (!out || capacity == 0) return false;
    std::u16string wide = Utf8ToUtf16(text);
    size_t n = wide.size();
    bool whole = n < capacity;
    if (!whole) {
        n = capacity - 1;
        if (n > 0 && IsHigh(wide[n - 1])) --n;  // never half a pair
    }
    wide.copy(out, n);
    out[n] = u'\0';
    return whole;
}

}  // namespace platform
}  // namespace mirad
