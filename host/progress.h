// Ctrl-C and SIGTERM turned into a clean cancellation, and a one-line
// progress indicator, both through the module's progress callback.
#pragma once

#include <cstdint>

#include "interface/exports.h"

namespace host {

// SIGINT and SIGTERM set a flag the progress callback reports to the module.
void InstallInterruptHandlers();
bool Interrupted();
constexpr int kInterruptedStatus = 130;
// The module's progress callback: counts bytes, asks the module to stop
// once interrupted, and on a terminal shows one line on standard error for
// operations longer than a second (unless quiet).
void StartProgress();
int MIRAD_CALL ProgressCallback(char* name, int32_t size);
void EndProgress();

}  // namespace host
