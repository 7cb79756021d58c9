// Reading the CE setup file carried as the cabinet's first stored file.
#pragma once

#include "cabinet/context.h"
#include "support/bytes.h"

namespace mirad {

// 0 or 11. Loads setupHeader and the five tables, or marks the archive as a
// plain cabinet.
int ReadSetupFile(ArchiveContext* context);

// Decodes one id list at the reader's position into `path` (capacity 260);
// `length` is in/out as the record's second field.
void DecodeDirectoryPath(const ArchiveContext* context, ByteReader& reader, char* path, uint16_t* length);

// First position in table order whose id equals `id`, or -1.
int32_t FindString(const ArchiveContext* context, uint16_t id);
int32_t FindDirectory(const ArchiveContext* context, uint16_t id);
int32_t FindCopyFile(const ArchiveContext* context, uint16_t fileId);

}  // namespace mirad
