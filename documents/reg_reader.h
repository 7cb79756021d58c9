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
#include <string>
#include <vector>

#include "cabinet/cabinet.h"
#include "setup/model.h"
#include "setup/setup.h"
#include "support/error.h"

namespace mirad {

// One key line or one value of the document and the lines it takes.
struct RegDocumentEntry {
    bool key = false;
    uint32_t line = 0;               // its first line (1-based)
    std::vector<std::string> lines;  // as written, without line ends
    // A key line: what stands between the brackets, and its root (0: none
    // of the four abbreviations) and path below the root.
    std::string keyText;
    uint16_t root = 0;
    std::string path;
    // A value.
    bool onlyIfMissing = false;
    std::string name;  // empty: the default value
    uint32_t typeFlags = 0;
    std::string data;      // as the setup file stores it
    bool ownForm = true;   // written as the export writes values
};

// Cuts `text` into entries; false with *error ("NAME:LINE: what") when a
// line is none of the dialect's.
bool ParseRegistryExport(const uint8_t* text, size_t size, const std::string& name,
                         std::vector<RegDocumentEntry>* entries, std::string* error);

// The setup file of `cabinet` (`setup`, read from it) with its registry
// keys and values rebuilt from the edited export `text`, as bytes, checked
// to export exactly as `text` reads. Values and keys the document keeps as
// they were keep their records; new ones are numbered as the wizard numbers
// them and share strings with the rest. BadData with *error on a document
// the setup file cannot hold as written; NoMemory.
Error RebuildRegistry(const Cabinet& cabinet, const CeSetup& setup, const uint8_t* text, size_t size,
                      const std::string& name, std::vector<uint8_t>* setupBytes, std::string* error);

}  // namespace mirad
