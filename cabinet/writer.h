// Writing cabinets: new ones from files on disk, and CE cabinets with
// installed files replaced.
#pragma once

#include <cstdint>

#include "cabinet/context.h"

namespace mirad {

// The PackFiles export's work. Result codes of the host's table.
int32_t PackFilesImpl(const char* cabinetPath, const char* subPath, const char* sourcePath, const char* addList,
                      int32_t flags);

int CreateCabinet(ArchiveContext* context, const char* subPath, const char* sourcePath, const char* addList,
                  int32_t flags);
int UpdateCabinet(ArchiveContext* context, const char* subPath, const char* sourcePath, const char* addList,
                  int32_t flags);

}  // namespace mirad
