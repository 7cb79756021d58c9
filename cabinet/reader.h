// Reading the cabinet container: header, folder and file tables, and the
// stored bytes of one file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cabinet/context.h"

namespace mirad {

// 0, 11, 12 or 14. The context is zero-filled apart from archivePath, and
// cabinetStream is open. On failure nothing is released here: the caller
// releases the whole context.
int ReadCabinet(ArchiveContext* context);

// Receives a stored file's bytes in order; false means the output failed.
using ChunkSink = bool (*)(void* user, const uint8_t* data, size_t count);

// Walks the data blocks of stored file `entry` and hands its cbFile bytes to
// `sink` (nullptr: read and discard, which is what testing does), in chunks
// of at most `chunk` bytes (at most 32768) that never cross a block boundary.
// 0, 12 (bad offset, short block, cabinet ends early, entry out of range),
// 16 (the sink failed).
int StreamStoredFile(ArchiveContext* context, uint32_t entry, ChunkSink sink, void* user, size_t chunk = 4096);

// Writes stored file `entry` to a new file at `destination`: 0, 12 or 16.
int CopyStoredFile(ArchiveContext* context, uint32_t entry, const char* destination);

// Reads stored file `entry` through the same walk, writing nothing.
int TestStoredFile(ArchiveContext* context, uint32_t entry);

void ReleaseContext(ArchiveContext* context);

// File number carried by a stored name (SETUP.000 -> 0, FILE.012 -> 12), or -1.
int32_t NumericSuffix(const char* name);

}  // namespace mirad
