// The module's UTF-8 paths as the system's wide calls take them, and back.
#pragma once

#include <string>

#include "platform/wide.h"

namespace mirad {
namespace platform {

inline std::wstring Wide(const char* utf8) {
    std::u16string units = Utf8ToUtf16(utf8);
    return std::wstring(units.begin(), units.end());
}

inline std::wstring Wide(const std::string& utf8) { return Wide(utf8.c_str()); }

inline std::string Utf8(const wchar_t* wide) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 units");
    return Utf16ToUtf8(reinterpret_cast<const char16_t*>(wide));
}

}  // namespace platform
}  // namespace mirad
