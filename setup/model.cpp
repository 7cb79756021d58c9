#include "setup/model.h"

#include <cstring>
#include <functional>
#include <new>

#include "setup/records.h"
#include "support/bytes.h"

namespace mirad {

namespace {

std::string TextAt(const uint8_t* data, size_t size, uint32_t offset, uint32_t length) {
    if (offset >= size) return std::string();
    size_t n = size - offset < length ? size - offset : length;
    return std::string(reinterpret_cast<const char*>(data) + offset, n);
}

bool ReadIdList(ByteReader& r, std::vector<uint16_t>* ids) {
    size_t count = Read16(r) / 2;
    if (!CanRead(r, count * 2)) {
        r.failed = true;
        return false;
    }
    ids->resize(count);
    for (size_t i = 0; i < count; ++i) (*ids)[i] = Read16(r);
    return !r.failed;
}

bool ReadBytesInto(ByteReader& r, size_t n, std::string* out) {
    if (!CanRead(r, n)) {
        r.failed = true;
        return false;
    }
    out->assign(reinterpret_cast<const char*>(r.data + r.pos), n);
    r.pos += n;
    return true;
}

// The header as read: a file shorter than the header reads as if zeros
// followed it.
struct Header {
    uint8_t h[msce::Size] = {};
    Header(const uint8_t* data, size_t size) { std::memcpy(h, data, size < msce::Size ? size : msce::Size); }
};

// Hands up to the header's count of records, read from the table's offset,
// to `take` (one object, refilled each time) until one does not lie whole
// inside the file or `take` declines more.
template <typename T, typename ReadRecord>
void ForEachRecord(const uint8_t* data, size_t size, size_t offsetField, size_t countField, ReadRecord readRecord,
                   const std::function<bool(const T&)>& take) {
    Header header(data, size);
    uint16_t count = le16(header.h + countField);
    if (count == 0) return;
    ByteReader r;
    r.data = data;
    r.size = size;
    if (!SeekTo(r, le32(header.h + offsetField))) return;
    T record;
    for (uint16_t i = 0; i < count; ++i) {
        if (!readRecord(r, &record) || !take(record)) break;
    }
}

template <typename T>
std::function<bool(const T&)> AppendTo(std::vector<T>* table) {
    table->clear();
    return [table](const T& record) {
        table->push_back(record);
        return true;
    };
}

// The bytes being written, with checked narrowing into the fields.
struct Out {
    std::vector<uint8_t>& bytes;
    bool tooLarge = false;
    void Put16(size_t v) {
        if (v > 0xFFFF) tooLarge = true;
        bytes.push_back(static_cast<uint8_t>(v));
        bytes.push_back(static_cast<uint8_t>(v >> 8));
    }
    void Put32(uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void PutText(const std::string& s) { bytes.insert(bytes.end(), s.begin(), s.end()); }
    void PutIds(const std::vector<uint16_t>& ids) {
        Put16(ids.size() * 2);
        for (uint16_t id : ids) Put16(id);
    }
    uint32_t Here() const { return static_cast<uint32_t>(bytes.size()); }
};

}  // namespace

bool operator==(const SetupModel& a, const SetupModel& b) {
    auto sameStrings = [](const SetupModel::String& x, const SetupModel::String& y) {
        return x.id == y.id && x.stored == y.stored;
    };
    auto sameDirs = [](const SetupModel::Directory& x, const SetupModel::Directory& y) {
        return x.id == y.id && x.ids == y.ids;
    };
    auto sameFiles = [](const SetupModel::CopyFile& x, const SetupModel::CopyFile& y) {
        return x.fileId == y.fileId && x.directoryId == y.directoryId && x.word == y.word && x.flags == y.flags &&
               x.stored == y.stored;
    };
    auto sameHives = [](const SetupModel::RegHive& x, const SetupModel::RegHive& y) {
        return x.id == y.id && x.root == y.root && x.word == y.word && x.ids == y.ids;
    };
    auto sameValues = [](const SetupModel::RegValue& x, const SetupModel::RegValue& y) {
        return x.first == y.first && x.hiveId == y.hiveId && x.third == y.third && x.typeFlags == y.typeFlags &&
               x.payload == y.payload;
    };
    auto sameShortcuts = [](const SetupModel::Shortcut& x, const SetupModel::Shortcut& y) {
        return x.id == y.id && x.baseDirectoryId == y.baseDirectoryId && x.baseMacro == y.baseMacro &&
               x.targetId == y.targetId && x.targetIsFile == y.targetIsFile && x.specLength == y.specLength &&
               x.nameStringId == y.nameStringId;
    };
    auto same = [](const auto& x, const auto& y, auto eq) {
        if (x.size() != y.size()) return false;
        for (size_t i = 0; i < x.size(); ++i)
            if (!eq(x[i], y[i])) return false;
        return true;
    };
    return a.processor == b.processor && a.minVersionMajor == b.minVersionMajor &&
           a.minVersionMinor == b.minVersionMinor && a.maxVersionMajor == b.maxVersionMajor &&
           a.maxVersionMinor == b.maxVersionMinor && a.minBuild == b.minBuild && a.maxBuild == b.maxBuild &&
           a.word4 == b.word4 && a.word12 == b.word12 && a.word16 == b.word16 && a.word96 == b.word96 &&
           a.appName == b.appName && a.provider == b.provider && a.unsupported == b.unsupported &&
           same(a.strings, b.strings, sameStrings) && same(a.directories, b.directories, sameDirs) &&
           same(a.copyFiles, b.copyFiles, sameFiles) && same(a.regHives, b.regHives, sameHives) &&
           same(a.regValues, b.regValues, sameValues) && same(a.shortcuts, b.shortcuts, sameShortcuts);
}

void ReadStringRecords(const uint8_t* data, size_t size, const std::function<bool(const SetupModel::String&)>& take) {
    ForEachRecord(data, size, msce::StringTableOffset, msce::StringCount,
                  [](ByteReader& r, SetupModel::String* s) {
                      s->id = Read16(r);
                      uint16_t length = Read16(r);
                      return !r.failed && ReadBytesInto(r, length, &s->stored);
                  },
                  take);
}

void ReadDirectoryRecords(const uint8_t* data, size_t size,
                          const std::function<bool(const SetupModel::Directory&)>& take) {
    ForEachRecord(data, size, msce::DirectoryTableOffset, msce::DirectoryCount,
                  [](ByteReader& r, SetupModel::Directory* d) {
                      d->id = Read16(r);
                      return !r.failed && ReadIdList(r, &d->ids);
                  },
                  take);
}

void ReadCopyFileRecords(const uint8_t* data, size_t size,
                         const std::function<bool(const SetupModel::CopyFile&)>& take) {
    ForEachRecord(data, size, msce::CopyFileTableOffset, msce::CopyFileCount,
                  [](ByteReader& r, SetupModel::CopyFile* c) {
                      c->fileId = Read16(r);
                      c->directoryId = Read16(r);
                      c->word = Read16(r);
                      c->flags = Read32(r);
                      uint16_t length = Read16(r);
                      return !r.failed && ReadBytesInto(r, length, &c->stored);
                  },
                  take);
}

void ReadRegHiveRecords(const uint8_t* data, size_t size,
                        const std::function<bool(const SetupModel::RegHive&)>& take) {
    ForEachRecord(data, size, msce::RegHiveTableOffset, msce::RegHiveCount,
                  [](ByteReader& r, SetupModel::RegHive* k) {
                      k->id = Read16(r);
                      k->root = Read16(r);
                      k->word = Read16(r);
                      return !r.failed && ReadIdList(r, &k->ids);
                  },
                  take);
}

namespace {

// One registry-value record at the reader's position; false when its head
// does not lie inside the file. A payload the file cuts keeps what is there
// (*cut), and the record is the table's last.
bool ReadRegValue(ByteReader& r, SetupModel::RegValue* v, bool* cut) {
    v->first = Read16(r);
    v->hiveId = Read16(r);
    v->third = Read16(r);
    v->typeFlags = Read32(r);
    uint16_t length = Read16(r);
    if (r.failed) return false;
    size_t n = length;
    if (n > r.size - r.pos) {
        n = r.size - r.pos;
        *cut = true;
    }
    return ReadBytesInto(r, n, &v->payload);
}

}  // namespace

void ReadRegValueRecords(const uint8_t* data, size_t size,
                         const std::function<bool(const SetupModel::RegValue&)>& take) {
    ReadRegValueRecordsAt(data, size, [&take](const SetupModel::RegValue& v, size_t) { return take(v); });
}

void ReadRegValueRecordsAt(const uint8_t* data, size_t size,
                           const std::function<bool(const SetupModel::RegValue&, size_t at)>& take) {
    bool cut = false;
    size_t at = 0;
    ForEachRecord(data, size, msce::RegValueTableOffset, msce::RegValueCount,
                  [&cut, &at](ByteReader& r, SetupModel::RegValue* v) {
                      at = r.pos;
                      return !cut && ReadRegValue(r, v, &cut);
                  },
                  std::function<bool(const SetupModel::RegValue&)>(
                      [&take, &at](const SetupModel::RegValue& v) { return take(v, at); }));
}

bool ReadRegValueRecordAt(const uint8_t* data, size_t size, size_t at, SetupModel::RegValue* out) {
    ByteReader r;
    r.data = data;
    r.size = size;
    if (!SeekTo(r, at)) return false;
    bool cut = false;
    return ReadRegValue(r, out, &cut);
}

void ReadShortcutRecords(const uint8_t* data, size_t size,
                         const std::function<bool(const SetupModel::Shortcut&)>& take) {
    ForEachRecord(data, size, msce::ShortcutTableOffset, msce::ShortcutCount,
                  [](ByteReader& r, SetupModel::Shortcut* s) {
                      s->id = Read16(r);
                      s->baseDirectoryId = Read16(r);
                      s->baseMacro = Read16(r);
                      s->targetId = Read16(r);
                      s->targetIsFile = Read16(r);
                      s->specLength = Read16(r);
                      s->nameStringId = Read16(r);
                      return !r.failed;
                  },
                  take);
}

namespace {

void ReadHeaderInto(const uint8_t* data, size_t size, SetupModel* m) {
    const Header header(data, size);
    const uint8_t* h = header.h;
    m->processor = static_cast<int32_t>(le32(h + msce::Processor));
    m->minVersionMajor = static_cast<int32_t>(le32(h + msce::MinVersionMajor));
    m->minVersionMinor = static_cast<int32_t>(le32(h + msce::MinVersionMinor));
    m->maxVersionMajor = static_cast<int32_t>(le32(h + msce::MaxVersionMajor));
    m->maxVersionMinor = static_cast<int32_t>(le32(h + msce::MaxVersionMinor));
    m->minBuild = le32(h + msce::MinBuild);
    m->maxBuild = le32(h + msce::MaxBuild);
    m->word4 = le32(h + 4);
    m->word12 = le32(h + 12);
    m->word16 = le32(h + 16);
    m->word96 = le32(h + 96);
    m->appName = TextAt(data, size, le16(h + msce::AppNameOffset), le16(h + msce::AppNameLength));
    m->provider = TextAt(data, size, le16(h + msce::ProviderOffset), le16(h + msce::ProviderLength));
    m->unsupported = TextAt(data, size, le16(h + msce::UnsupportedOffset), le16(h + msce::UnsupportedLength));
}

// A model's own tables as rows.
class ModelRows : public SetupRows {
public:
    explicit ModelRows(const SetupModel& m) : m_(m) {}
    void Strings(const Put<SetupModel::String>& put) const override { Each(m_.strings, put); }
    void Directories(const Put<SetupModel::Directory>& put) const override { Each(m_.directories, put); }
    void CopyFiles(const Put<SetupModel::CopyFile>& put) const override { Each(m_.copyFiles, put); }
    void RegHives(const Put<SetupModel::RegHive>& put) const override { Each(m_.regHives, put); }
    void RegValues(const Put<SetupModel::RegValue>& put) const override { Each(m_.regValues, put); }
    void Shortcuts(const Put<SetupModel::Shortcut>& put) const override { Each(m_.shortcuts, put); }

private:
    template <typename T>
    static void Each(const std::vector<T>& table, const Put<T>& put) {
        for (const T& row : table) put(row);
    }
    const SetupModel& m_;
};

}  // namespace

Error ReadSetupHeader(const uint8_t* data, size_t size, SetupModel* out) {
    try {
        SetupModel m;
        ReadHeaderInto(data, size, &m);
        *out = std::move(m);
        return kOk;
    } catch (const std::bad_alloc&) {
        return NoMemory("setup model");
    }
}

Error ReadSetupModel(const uint8_t* data, size_t size, SetupModel* out) {
    try {
        SetupModel m;
        ReadHeaderInto(data, size, &m);
        ReadStringRecords(data, size, AppendTo(&m.strings));
        ReadDirectoryRecords(data, size, AppendTo(&m.directories));
        ReadCopyFileRecords(data, size, AppendTo(&m.copyFiles));
        ReadRegHiveRecords(data, size, AppendTo(&m.regHives));
        ReadRegValueRecords(data, size, AppendTo(&m.regValues));
        ReadShortcutRecords(data, size, AppendTo(&m.shortcuts));
        *out = std::move(m);
        return kOk;
    } catch (const std::bad_alloc&) {
        return NoMemory("setup model");
    }
}

uint16_t WizardRegValueMark(const std::string& data) {
    static const char kMacro[] = "%installdir%";
    const size_t n = sizeof kMacro - 1;
    for (size_t i = 0; i + n <= data.size(); ++i) {
        size_t k = 0;
        while (k < n && (data[i + k] >= 'A' && data[i + k] <= 'Z' ? data[i + k] - 'A' + 'a' : data[i + k]) == kMacro[k])
            ++k;
        if (k == n) return 1;
    }
    return 0;
}

Error WriteSetupModel(const SetupModel& m, std::vector<uint8_t>* bytes) {
    return WriteSetupFile(m, ModelRows(m), bytes);
}

Error WriteSetupFile(const SetupModel& m, const SetupRows& rows, std::vector<uint8_t>* bytes, size_t sizeHint) {
    try {
        bytes->clear();
        bytes->reserve(sizeHint);
        bytes->assign(msce::Size, 0);
        Out o{*bytes};
        const uint32_t appNameAt = o.Here();
        o.PutText(m.appName);
        const uint32_t providerAt = o.Here();
        o.PutText(m.provider);
        const uint32_t unsupportedAt = o.Here();
        o.PutText(m.unsupported);
        // Text offsets are 16-bit fields.
        if (o.Here() > 0xFFFF) return BadData("setup file texts too long");

        size_t strings = 0, directories = 0, copyFiles = 0, regHives = 0, regValues = 0, shortcuts = 0;
        const uint32_t stringsAt = o.Here();
        rows.Strings([&](const SetupModel::String& s) {
            ++strings;
            o.Put16(s.id);
            o.Put16(s.stored.size());
            o.PutText(s.stored);
        });
        const uint32_t directoriesAt = o.Here();
        rows.Directories([&](const SetupModel::Directory& d) {
            ++directories;
            o.Put16(d.id);
            o.PutIds(d.ids);
        });
        const uint32_t copyFilesAt = o.Here();
        rows.CopyFiles([&](const SetupModel::CopyFile& c) {
            ++copyFiles;
            o.Put16(c.fileId);
            o.Put16(c.directoryId);
            o.Put16(c.word);
            o.Put32(c.flags);
            o.Put16(c.stored.size());
            o.PutText(c.stored);
        });
        const uint32_t regHivesAt = o.Here();
        rows.RegHives([&](const SetupModel::RegHive& k) {
            ++regHives;
            o.Put16(k.id);
            o.Put16(k.root);
            o.Put16(k.word);
            o.PutIds(k.ids);
        });
        const uint32_t regValuesAt = o.Here();
        rows.RegValues([&](const SetupModel::RegValue& v) {
            ++regValues;
            o.Put16(v.first);
            o.Put16(v.hiveId);
            o.Put16(v.third);
            o.Put32(v.typeFlags);
            o.Put16(v.payload.size());
            o.PutText(v.payload);
        });
        const uint32_t shortcutsAt = o.Here();
        rows.Shortcuts([&](const SetupModel::Shortcut& s) {
            ++shortcuts;
            for (uint16_t w : {s.id, s.baseDirectoryId, s.baseMacro, s.targetId, s.targetIsFile, s.specLength,
                               s.nameStringId})
                o.Put16(w);
        });
        if (o.tooLarge || strings > 0xFFFF || directories > 0xFFFF || copyFiles > 0xFFFF || regHives > 0xFFFF ||
            regValues > 0xFFFF || shortcuts > 0xFFFF || m.appName.size() > 0xFFFF || m.provider.size() > 0xFFFF ||
            m.unsupported.size() > 0xFFFF)
            return BadData("setup file field overflow");

        uint8_t* h = bytes->data();
        std::memcpy(h, "MSCE", 4);
        put_le32(h + 4, m.word4);
        put_le32(h + 8, static_cast<uint32_t>(bytes->size()));
        put_le32(h + 12, m.word12);
        put_le32(h + 16, m.word16);
        put_le32(h + msce::Processor, static_cast<uint32_t>(m.processor));
        put_le32(h + msce::MinVersionMajor, static_cast<uint32_t>(m.minVersionMajor));
        put_le32(h + msce::MinVersionMinor, static_cast<uint32_t>(m.minVersionMinor));
        put_le32(h + msce::MaxVersionMajor, static_cast<uint32_t>(m.maxVersionMajor));
        put_le32(h + msce::MaxVersionMinor, static_cast<uint32_t>(m.maxVersionMinor));
        put_le32(h + msce::MinBuild, m.minBuild);
        put_le32(h + msce::MaxBuild, m.maxBuild);
        put_le16(h + msce::StringCount, static_cast<uint16_t>(strings));
        put_le16(h + msce::DirectoryCount, static_cast<uint16_t>(directories));
        put_le16(h + msce::CopyFileCount, static_cast<uint16_t>(copyFiles));
        put_le16(h + msce::RegHiveCount, static_cast<uint16_t>(regHives));
        put_le16(h + msce::RegValueCount, static_cast<uint16_t>(regValues));
        put_le16(h + msce::ShortcutCount, static_cast<uint16_t>(shortcuts));
        put_le32(h + msce::StringTableOffset, stringsAt);
        put_le32(h + msce::DirectoryTableOffset, directoriesAt);
        put_le32(h + msce::CopyFileTableOffset, copyFilesAt);
        put_le32(h + msce::RegHiveTableOffset, regHivesAt);
        put_le32(h + msce::RegValueTableOffset, regValuesAt);
        put_le32(h + msce::ShortcutTableOffset, shortcutsAt);
        put_le16(h + msce::AppNameOffset, static_cast<uint16_t>(appNameAt));
        put_le16(h + msce::AppNameLength, static_cast<uint16_t>(m.appName.size()));
        put_le16(h + msce::ProviderOffset, static_cast<uint16_t>(providerAt));
        put_le16(h + msce::ProviderLength, static_cast<uint16_t>(m.provider.size()));
        put_le16(h + msce::UnsupportedOffset, static_cast<uint16_t>(unsupportedAt));
        put_le16(h + msce::UnsupportedLength, static_cast<uint16_t>(m.unsupported.size()));
        put_le32(h + 96, m.word96);
        return kOk;
    } catch (const std::bad_alloc&) {
        return NoMemory("setup file");
    }
}

}  // namespace mirad
