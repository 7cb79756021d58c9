// The generated documents: registry export and INF script.
#pragma once

#include "cabinet/context.h"

namespace mirad {

// 0 or 16.
int WriteRegistryExport(ArchiveContext* context, const char* destination);
// 0, 11 or 16.
int WriteInfScript(ArchiveContext* context, const char* destination);

}  // namespace mirad
