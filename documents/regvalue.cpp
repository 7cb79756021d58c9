#include "documents/regvalue.h"

#include <cstring>

#include "documents/quoting.h"

namespace mirad {

RegValueKind KindOfRegValue(uint32_t typeFlags) {
    switch (typeFlags & ~kRegOnlyIfMissing) {
        case kRegString:
        case kRegMultiString: return RegValueKind::Text;
        case kRegBinary: return RegValueKind::Binary;
        case kRegDword: return RegValueKind::Dword;
        default: return RegValueKind::Unsupported;
    }
}

const char* RegRootPrefix(uint16_t root) {
    switch (root) {
        case 1: return "HKCR\\";
        case 2: return "HKCU\\";
        case 3: return "HKLM\\";
        case 4: return "HKU\\";
        default: return "";
    }
}

RegValueCursor BeginRegValues(const CeSetup& setup) {
    RegValueCursor cursor;
    cursor.setup = setup.Reader();
    cursor.left = setup.header().regValueCount;
    if (cursor.left != 0 && !SeekTo(cursor.setup, setup.header().regValueTableOffset)) cursor.stopped = true;
    return cursor;
}

bool NextRegValue(RegValueCursor& cursor, RegValue* value) {
    if (cursor.stopped || cursor.left == 0) return false;
    ByteReader& r = cursor.setup;
    uint8_t head[regval::HeadSize];
    if (!ReadBytes(r, head, sizeof head)) {
        cursor.stopped = true;
        return false;
    }
    --cursor.left;
    value->hiveId = le16(head + regval::HiveId);
    value->typeFlags = le32(head + regval::TypeFlags);
    value->payloadLength = le16(head + regval::PayloadLength);

    // The payload as far as the setup bytes hold it.
    size_t start = r.pos;
    size_t available = r.size - start;
    bool cut = value->payloadLength > available;
    size_t end = start + (cut ? available : value->payloadLength);

    // The name ends at its NUL; one that runs to the payload's end leaves no data.
    size_t p = start;
    size_t kept = 0;
    while (p < end) {
        char c = static_cast<char>(r.data[p++]);
        if (c == '\0') break;
        if (kept < sizeof value->name - 1) value->name[kept++] = c;
    }
    value->name[kept] = '\0';

    value->data = ByteReader{};
    value->data.data = r.data + p;
    value->data.size = end - p;

    if (cut) {
        // The next record would start past the setup bytes.
        r.pos = r.size;
        cursor.stopped = true;
    } else {
        r.pos = end;
    }
    return true;
}

HiveIndex BuildHiveIndex(const CeSetup& setup) {
    HiveIndex index;
    index.first.assign(65536, -1);
    const auto& hives = setup.regHives();
    for (size_t i = hives.size(); i-- > 0;) index.first[hives[i].id] = static_cast<int32_t>(i);
    return index;
}

const SetupRegHive* FindHive(const CeSetup& setup, const HiveIndex& index, uint16_t hiveId) {
    int32_t i = index.first.empty() ? -1 : index.first[hiveId];
    return i < 0 ? nullptr : &setup.regHives()[i];
}

namespace {

void WriteText(TextWriter& out, ByteReader& data, TextDialect dialect) {
    // Pieces end at a NUL; a last piece without one ends with the data.
    while (CanRead(data, 1)) {
        TextPut(out, "\"");
        while (CanRead(data, 1)) {
            char c = static_cast<char>(Read8(data));
            if (c == '\0') break;
            if (dialect == TextDialect::Inf)
                PutInfQuotedChar(out, c);
            else
                PutRegEscapedChar(out, c);
        }
        TextPut(out, "\"");
        // INF keeps all pieces on one logical line.
        if (CanRead(data, 1)) TextPut(out, dialect == TextDialect::Inf ? ",\\\n  " : ",\n  ");
    }
    TextPut(out, "\n");
}

// Items per line, a "," between items, "\" before a continuation line of two
// spaces. A value with no items still ends its line.
struct ItemLine {
    int perLine;
    int onLine = 0;
    bool any = false;
};

void EndItem(TextWriter& out, ItemLine& line, bool more) {
    line.any = true;
    if (more) TextPut(out, ",");
    if (++line.onLine == line.perLine) {
        if (more) TextPut(out, "\\");
        TextPut(out, "\n");
        if (more) TextPut(out, "  ");
        line.onLine = 0;
    }
}

void FinishItems(TextWriter& out, const ItemLine& line) {
    if (line.onLine != 0 || !line.any) TextPut(out, "\n");
}

void WriteBinary(TextWriter& out, ByteReader& data) {
    ItemLine line{16};
    while (CanRead(data, 1)) {
        TextPrintf(out, "0x%02X", Read8(data));
        EndItem(out, line, CanRead(data, 1));
    }
    FinishItems(out, line);
}

void WriteDwords(TextWriter& out, ByteReader& data) {
    ItemLine line{4};
    while (CanRead(data, 1)) {
        // A last word of fewer than 4 bytes is written from the bytes present,
        // so nothing of the data is dropped and nothing beyond it is read.
        uint8_t word[4] = {};
        size_t n = data.size - data.pos < 4 ? data.size - data.pos : 4;
        ReadBytes(data, word, n);
        TextPrintf(out, "0x%08X", le32(word));
        EndItem(out, line, CanRead(data, 1));
    }
    FinishItems(out, line);
}

}  // namespace

void WriteRegValueData(TextWriter& out, RegValue& value, TextDialect dialect) {
    switch (KindOfRegValue(value.typeFlags)) {
        case RegValueKind::Text: WriteText(out, value.data, dialect); break;
        case RegValueKind::Binary: WriteBinary(out, value.data); break;
        case RegValueKind::Dword: WriteDwords(out, value.data); break;
        case RegValueKind::Unsupported: TextPut(out, "\n"); break;
    }
}

}  // namespace mirad
