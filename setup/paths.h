// Device paths from the setup file: directory-macro expansion, and where a
// shortcut is made and what it points to.
#pragma once

#include <cstdint>

#include "setup/setup.h"
#include "support/settings.h"

namespace mirad {

// Replaces %CEn% (from the settings' macro table) and %InstallDir% (the
// setup's install directory, or `installDirectory` when given: the same text
// in another encoding) in `path`, a 260-byte buffer.
void ExpandMacros(const CeSetup& setup, const Settings& settings, char* path,
                  const char* installDirectory = nullptr);

// A setup-file path (macros unexpanded) as the host is shown it, in `out`
// (260 bytes): in the host's encoding, then, with `expand`, with the macros
// replaced.
void HostPath(const CeSetup& setup, const Settings& settings, const char* stored, bool expand, char* out);

// Where shortcut `index` is made, and what it points to, as stored (macros
// unexpanded); `out` is a 260-byte buffer, empty for an index out of range.
void ShortcutPath(const CeSetup& setup, uint16_t index, char* out);
void ShortcutTarget(const CeSetup& setup, uint16_t index, char* out);

}  // namespace mirad
