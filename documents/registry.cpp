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

namespace {

// A value's lines: the mark of a value written only if missing, the name and
// the data.
void PutValue(TextWriter& out, RegValue& value) {
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

}  // namespace

RegistryExportWriter::RegistryExportWriter(const CeSetup& setup)
    : setup_(setup), hives_(BuildHiveIndex(setup)), cursor_(BeginRegValues(setup)) {}

bool RegistryExportWriter::PutNext(TextWriter& out) {
    if (!started_) {
        started_ = true;
        TextPut(out, "REGEDIT4\n");
        return true;
    }
    size_t at = cursor_.setup.pos;
    RegValue value;
    if (!NextRegValue(cursor_, &value)) return false;
    valueAt_ = at;
    if (value.hiveId != lastHive_) {
        lastHive_ = value.hiveId;
        if (const SetupRegHive* hive = FindHive(setup_, hives_, value.hiveId)) {
            keyAt_ = static_cast<int32_t>(hive - &setup_.regHives()[0]);
            TextPut(out, "\n[");
            PutKeyText(out, static_cast<size_t>(keyAt_));
            TextPut(out, "]\n");
        }
    }
    PutValue(out, value);
    return true;
}

void RegistryExportWriter::PutValueAt(TextWriter& out, size_t at) const {
    RegValueCursor one;
    one.setup = setup_.Reader();
    one.setup.pos = at;
    one.left = 1;
    RegValue value;
    if (NextRegValue(one, &value)) PutValue(out, value);
}

void RegistryExportWriter::PutKeyText(TextWriter& out, size_t k) const {
    const SetupRegHive& hive = setup_.regHives()[k];
    TextPut(out, RegRootPrefix(hive.root));
    PutVisible(out, hive.keyPath);
}

Error RenderRegistryExport(const DocumentSource& source, TextWriter& out) {
    try {
        RegistryExportWriter writer(source.setup);
        while (writer.PutNext(out)) {
        }
    } catch (const std::bad_alloc&) {
        return NoMemory("registry key index");
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
