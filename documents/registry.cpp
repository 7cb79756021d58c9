// "~Cab~.REG": the setup file's registry values as a REGEDIT4-style document.
// It is a readable view of the device registry, not a desktop import file:
// keys carry the short root names (HKLM\...) and binary and double-word items
// are written 0x-prefixed. Key lines keep their "\" separators; value names
// are escaped as the string data are; no text from the setup file can end a
// line (controls are written as the placeholder).
#include <cstdio>
#include <new>

#include "documents/documents.h"
#include "documents/quoting.h"
#include "documents/regvalue.h"
#include "support/output.h"

namespace mirad {

Error RenderRegistryExport(const DocumentSource& source, TextWriter& out) {
    TextPut(out, "REGEDIT4\n");
    HiveIndex hives;
    try {
        hives = BuildHiveIndex(source.setup);
    } catch (const std::bad_alloc&) {
        return NoMemory("registry key index");
    }
    uint16_t lastHive = 65535;
    RegValueCursor cursor = BeginRegValues(source.setup);
    RegValue value;
    while (NextRegValue(cursor, &value)) {
        if (value.hiveId != lastHive) {
            lastHive = value.hiveId;
            if (const SetupRegHive* hive = FindHive(source.setup, hives, value.hiveId)) {
                TextPrintf(out, "\n[%s", RegRootPrefix(hive->root));
                PutVisible(out, hive->keyPath);
                TextPut(out, "]\n");
            }
        }
        if (value.typeFlags & kRegOnlyIfMissing) {
            TextPut(out, kRegOnlyIfMissingLine);
            TextPut(out, "\n");
        }
        if (value.name[0]) {
            TextPut(out, "\"");
            PutRegEscaped(out, value.name);
            TextPut(out, "\"=");
        } else {
            TextPut(out, "@=");
        }
        switch (KindOfRegValue(value.typeFlags)) {
            case RegValueKind::Binary: TextPut(out, "hex:"); break;
            case RegValueKind::Dword: TextPut(out, "dword:"); break;
            case RegValueKind::Unsupported:
                if (!out.file) break;  // only measuring
                std::printf("Ooops (valuetype 0x%08X)...\n", static_cast<unsigned>(value.typeFlags));
                std::fflush(stdout);
                break;
            case RegValueKind::Text: break;
        }
        WriteRegValueData(out, value, TextDialect::Reg);
    }
    return kOk;
}

Error WriteRegistryExport(const DocumentSource& source, const OutputTarget& destination) {
    OutputFile file;
    if (!file.Open(destination, OutputPolicy::Entry)) return CannotCreate("cannot create the registry export");
    TextWriter out;
    out.file = file.file();
    if (Error result = RenderRegistryExport(source, out)) return result;
    if (!FinishDocument(out, file)) return CannotCreate("the registry export could not be written");
    return kOk;
}

}  // namespace mirad
