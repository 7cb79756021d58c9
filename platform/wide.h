// UTF-16, the character type of the wide exports on every platform, and the
// UTF-8 the module works in. A UTF-16 unit that is half of no pair (Windows
// allows them in file names) is carried as its three-byte form, so every
// name read from the system goes back to it unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace mirad {
namespace platform {

// Up to the first NUL or `maxUnits` units, whichever comes first.
std::string Utf16ToUtf8(const char16_t* text, size_t maxUnits = static_cast<size_t>(-1));

// Bytes that are no UTF-8 become U+FFFD.
std::u16string Utf8ToUtf16(const char* text);

// `text` into `out` of `capacity` units, NUL included; a text that does not
// fit is cut at a character boundary. Returns false when it was cut.
bool CopyUtf16(char16_t* out, size_t capacity, const char* text);

}  // namespace platform
}  // namespace mirad
