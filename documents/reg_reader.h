// Reading "~Cab~.REG" back: the registry export in the dialect its writer
// (registry.cpp) uses, so that a document the user edited becomes the
// setup file's registry tables again.
//
// What is read: "REGEDIT4" on the first line; key lines "[HKCR\...]",
// "[HKCU\...]", "[HKLM\...]", "[HKU\...]"; values `"name"=` or `@=` (the
// default value) followed by a quoted string (one per line, joined by ","
// at the line end: a multi-string), `hex:` bytes, `dword:` words (items
// 0x-prefixed, "\" at the end of a line continues the list), or nothing (an
// empty string); and the export's own line that marks the next value
// "only if not already defined". The desktop registry editor's forms of the
// same data are read too: items without 0x, `hex(7):` (a multi-string as
// bytes) and `hex(2):` (a string as bytes; the setup file has no
// expandable-string type). Blank lines do not count; lines end in CR LF or
// LF. Values and keys that are not in the document are deleted.
//
// Anything else is an error naming the line: other comments (the setup file
// has no place for them), a key with no values (the export cannot show it),
// a key or value the export would write differently from the document.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "setup/setup.h"
#include "support/error.h"

namespace mirad {

// The setup file `setup` with its registry keys and values rebuilt from
// the edited export `text`, as bytes, checked to export exactly as `text`
// reads. Values and keys the document keeps as they were keep their records; new ones are numbered as the wizard numbers
// them and share strings with the rest. BadData with *error on a document
// the setup file cannot hold as written; NoMemory.
Error RebuildRegistry(const CeSetup& setup, const uint8_t* text, size_t size, const std::string& name,
                      std::vector<uint8_t>* setupBytes, std::string* error);
// The same, letting the setup file's tables go once the document is matched
// against them, before the new file is written.
Error RebuildRegistry(std::unique_ptr<CeSetup> setup, const uint8_t* text, size_t size, const std::string& name,
                      std::vector<uint8_t>* setupBytes, std::string* error);

}  // namespace mirad
