// The archive view: listing, destination paths, extraction.
#pragma once

#include <cstdint>

#include "cabinet/context.h"
#include "interface/exports.h"

namespace mirad {

// 0 (an entry) or 10 (no more entries).
int32_t ListNextEntry(ArchiveContext* context, EntryHeader* header);

// 0, 12, 16 or 24 (and 11 from the INF writer).
int32_t ProcessEntry(ArchiveContext* context, int32_t operation, const char* outputDir, const char* outputName);

void ExpandMacros(const ArchiveContext* context, char* path);  // path: 260-byte buffer
void ShortcutPath(const ArchiveContext* context, uint16_t index, char* out);
void ShortcutTarget(const ArchiveContext* context, uint16_t index, char* out);

}  // namespace mirad
