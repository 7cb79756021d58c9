// The registry-value records of the CE setup file, read on the fly from the
// setup bytes, and the value data as both generated documents write them.
//
// Record layout: a 12-byte head (word, hiveId, word, typeFlags u32,
// payloadLength u16), then payloadLength bytes: the NUL-terminated value name
// followed by the data. A record never reaches outside its own payload or the
// setup bytes: a name without a NUL inside the payload takes the whole payload
// (no data), and a record cut by the end of the setup bytes keeps what is
// there and is the last one read.
#pragma once

#include <cstdint>
#include <vector>

#include "setup/setup.h"
#include "support/bytes.h"
#include "support/io.h"

namespace mirad {

constexpr uint32_t kRegOnlyIfMissing = 0x00000002;  // create only when absent; not part of the type
constexpr uint32_t kRegString = 0x00000000;
constexpr uint32_t kRegMultiString = 0x00010000;
constexpr uint32_t kRegBinary = 0x00000001;
constexpr uint32_t kRegDword = 0x00010001;

enum class RegValueKind { Text, Binary, Dword, Unsupported };

// The registry export's key-line prefix of a root number ("HKLM\\" for 3),
// "" for a root outside 1 to 4.
const char* RegRootPrefix(uint16_t root);
// The export's line before a value marked kRegOnlyIfMissing.
constexpr const char* kRegOnlyIfMissingLine = "; !! Next will only be written if key is NOT already defined !!";

RegValueKind KindOfRegValue(uint32_t typeFlags);

namespace regval {
constexpr size_t First = 0, HiveId = 2, Third = 4, TypeFlags = 6, PayloadLength = 10, HeadSize = 12;
}

struct RegValue {
    uint16_t hiveId = 0;
    uint32_t typeFlags = 0;
    uint16_t payloadLength = 0;
    char name[260] = {};  // at most 259 characters kept; the rest is consumed
    // Exactly the value's data bytes that lie inside the setup file.
    ByteReader data;
};

struct RegValueCursor {
    ByteReader setup;    // the whole setup file
    uint32_t left = 0;   // records still to read
    bool stopped = false;
};

// Positions the cursor at the value table; a table offset outside the setup
// bytes yields no records.
RegValueCursor BeginRegValues(const CeSetup& setup);

// The next record, or false when the table is done (or the next record's head
// does not lie inside the setup bytes).
bool NextRegValue(RegValueCursor& cursor, RegValue* value);

// Key lookup by hive id with the first-in-table rule, indexed once so a long
// value table costs no scan per record.
struct HiveIndex {
    std::vector<int32_t> first;  // hive id -> table index, -1 when none
};
HiveIndex BuildHiveIndex(const CeSetup& setup);
const SetupRegHive* FindHive(const CeSetup& setup, const HiveIndex& index, uint16_t hiveId);

// The quoting rules of the document being written.
enum class TextDialect {
    Reg,  // backslash escapes; a multi-string continues on the next line as is
    Inf,  // doubled quotes; a multi-string line is continued with a backslash
};

// Writes the data of a text, binary or double-word value (no type prefix) and
// ends the line. Every value ends its own line, also one with no data.
void WriteRegValueData(TextWriter& out, RegValue& value, TextDialect dialect);

}  // namespace mirad
