// Small helpers for 260-byte path buffers.
#pragma once

#include <cstddef>

namespace mirad {

constexpr size_t kPathSize = 260;  // at most 259 characters and a NUL

// Copies at most size - 1 characters and terminates; false when src was cut.
bool CopyString(char* dst, size_t size, const char* src);
// Appends to dst (NUL-terminated, capacity size); false when src was cut.
bool AppendString(char* dst, size_t size, const char* src);

// Position just after the last "/" or "\" of a host path (0 when none).
size_t AfterLastSeparator(const char* path);

}  // namespace mirad
