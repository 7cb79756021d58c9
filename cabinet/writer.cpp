// The bytes of a cabinet, written once, front to back, through one buffer of
// whole blocks (about 1 MiB):
// - a folder's data is one stream cut into blocks of 32768 bytes, only its
//   last block shorter, as the format's readers expect (layout.h); a short
//   block at every file is refused by several readers;
// - an MSZIP block is the deflate form of exactly those bytes, primed with
//   the folder's previous block (mszip.h); since its size is known only once
//   it is encoded, the folder offsets and cbCabinet of an MSZIP cabinet are
//   written over the planned ones at the end, in the file's first bytes;
// - every block carries its checksum (some readers refuse a csum of 0);
// - every source must deliver exactly the bytes the plan promised.
#include "cabinet/writer.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "cabinet/format.h"
#include "cabinet/mszip.h"
#include "support/bytes.h"
#include "support/log.h"

namespace mirad {
namespace {

// Blocks gathered per write: fewer, larger writes, since every 8-byte block
// header would otherwise leave each write off the page boundaries.
constexpr size_t kBufferedBlocks = 32;

struct CabOutput {
    IoFile* file = nullptr;
    std::vector<uint8_t> buffer;
    size_t used = 0;
    uint64_t flushed = 0;
    bool writeFailed = false;
    uint32_t folderLeft = 0;  // data bytes of the current folder not yet in a block
    uint32_t fileLeft = 0;    // bytes of the current file still to come
    uint32_t blockLeft = 0;   // bytes of the current block still to come
    uint32_t blockSize = 0;   // its data bytes; 0 while no block is open
    uint8_t* blockData = nullptr;  // where its data bytes go
    size_t blockAt = 0;       // stored: where its header lies in the buffer
    MszipEncoder* mszip = nullptr;  // null: stored blocks
    std::vector<uint8_t> plain;     // MSZIP: the block's bytes before encoding
    Progress* progress = nullptr;   // of the file being copied
};

uint64_t Position(const CabOutput& o) { return o.flushed + o.used; }

bool Flush(CabOutput& o) {
    if (o.writeFailed) return false;
    if (o.used == 0) return true;
    if (!IoWriteAll(o.file, o.buffer.data(), o.used)) {
        o.writeFailed = true;
        return false;
    }
    o.flushed += o.used;
    o.used = 0;
    return true;
}

bool Put(CabOutput& o, const void* data, size_t count) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (count > 0) {
        if (o.used == o.buffer.size() && !Flush(o)) return false;
        size_t k = std::min(count, o.buffer.size() - o.used);
        std::memcpy(o.buffer.data() + o.used, p, k);
        o.used += k;
        p += k;
        count -= k;
    }
    return !o.writeFailed;
}

bool Room(CabOutput& o, size_t count) { return o.buffer.size() - o.used >= count || Flush(o); }

// A folder's blocks run on across its files; the previous folder's last
// block was finished with the last byte of its last file.
void BeginFolder(CabOutput& o, uint32_t dataBytes) {
    o.folderLeft = dataBytes;
    o.blockLeft = 0;
    if (o.mszip) o.mszip->Reset();
}

// Opens the next block once the previous one is full: 32768 bytes, or the
// rest of the folder. A stored block takes its place in the buffer whole,
// so its bytes are read straight into it and its checksum is taken there.
bool StartBlockIfNeeded(CabOutput& o) {
    if (o.blockLeft != 0 || o.fileLeft == 0) return true;
    uint32_t n = std::min(o.folderLeft, kBlockData);
    if (n == 0) return false;  // more bytes than the folder was planned with
    o.folderLeft -= n;
    o.blockLeft = o.blockSize = n;
    if (o.mszip) {
        o.blockData = o.plain.data();
        return true;
    }
    if (!Room(o, cfdata::Size + n)) return false;
    o.blockAt = o.used;
    o.blockData = o.buffer.data() + o.used + cfdata::Size;
    o.used += cfdata::Size + n;
    return true;
}

// Writes the block's header (and, for MSZIP, its encoded data) once its
// last byte is in. False when the output fails.
bool FinishBlockIfDone(CabOutput& o) {
    if (o.blockLeft != 0 || o.blockSize == 0) return true;
    uint32_t n = o.blockSize;
    o.blockSize = 0;
    uint8_t* block;
    uint32_t cbData = n;
    if (o.mszip) {
        if (!Room(o, cfdata::Size + MszipEncoder::kMaxData)) return false;
        block = o.buffer.data() + o.used;
        cbData = o.mszip->Encode(o.plain.data(), n, block + cfdata::Size);
        o.used += cfdata::Size + cbData;
    } else {
        block = o.buffer.data() + o.blockAt;
    }
    put_le16(block + cfdata::CbData, static_cast<uint16_t>(cbData));
    put_le16(block + cfdata::CbUncomp, static_cast<uint16_t>(n));
    put_le32(block + cfdata::Csum,
             DataBlockChecksum(block + cfdata::Size, static_cast<uint16_t>(cbData), static_cast<uint16_t>(n)));
    return true;
}

// Kept data arrives in chunks of the reader's choosing. False when the
// output fails or more bytes come than the file was planned with.
bool PutFileData(CabOutput& o, const uint8_t* data, size_t count) {
    while (count > 0) {
        if (o.fileLeft == 0) return false;
        if (!StartBlockIfNeeded(o)) return false;
        size_t k = std::min<size_t>(std::min<size_t>(count, o.blockLeft), o.fileLeft);
        std::memcpy(o.blockData + (o.blockSize - o.blockLeft), data, k);
        o.blockLeft -= static_cast<uint32_t>(k);
        o.fileLeft -= static_cast<uint32_t>(k);
        if (!FinishBlockIfDone(o)) return false;
        data += k;
        count -= k;
    }
    return true;
}

// Reads the planned bytes of a source straight into their block. CannotOpen
// when the source ends early, cannot be read or holds more than planned;
// CannotCreate when the output fails.
Error CopySource(CabOutput& o, IoFile* source) {
    while (o.fileLeft > 0) {
        if (!StartBlockIfNeeded(o)) return CannotCreate("cannot write the cabinet");
        size_t k = std::min<size_t>(o.blockLeft, o.fileLeft);
        if (!IoReadExact(source, o.blockData + (o.blockSize - o.blockLeft), k))
            return CannotOpen("source shorter than scanned");
        o.blockLeft -= static_cast<uint32_t>(k);
        o.fileLeft -= static_cast<uint32_t>(k);
        if (!FinishBlockIfDone(o)) return CannotCreate("cannot write the cabinet");
        if (!o.progress->Add(k)) return Aborted("stopped by the host");
    }
    // A source that grew since the scan would be stored cut short.
    uint8_t extra;
    if (IoRead(source, &extra, 1) != 0) return CannotOpen("source longer than scanned");
    return kOk;
}

Error CopyFromDisk(CabOutput& o, const PackEntry& entry, const char* sourcePath) {
    std::string path = JoinListPath(sourcePath, entry.listName);
    IoHandle source(IoOpen(path.c_str(), IoMode::Read));
    LogMessage("Opening '%s'+'%s'", sourcePath ? sourcePath : "", entry.listName);
    if (!source) return CannotOpen("cannot open a source");
    uint64_t length = 0;
    if (!IoSize(source.get(), &length) || length != entry.cbFile) return CannotOpen("source changed since the scan");
    return CopySource(o, source.get());
}

Error CopyFromMemory(CabOutput& o, const PackEntry& entry) {
    const std::vector<uint8_t>& bytes = *entry.bytes;
    if (bytes.size() != entry.cbFile) return BadData("held data differ from the plan");
    for (size_t done = 0; done < bytes.size();) {
        size_t k = std::min<size_t>(bytes.size() - done, kBlockData);
        if (!PutFileData(o, bytes.data() + done, k)) return CannotCreate("cannot write the cabinet");
        if (!o.progress->Add(k)) return Aborted("stopped by the host");
        done += k;
    }
    return kOk;
}

Error CopyKept(CabOutput& o, Cabinet* old, const PackEntry& entry) {
    if (!old) return BadData("no cabinet to keep data from");
    Error read = old->ReadFile(
        entry.keptEntry,
        [&o](const uint8_t* data, size_t count) { return PutFileData(o, data, count) && o.progress->Add(count); },
        kBlockData);
    if (o.progress->aborted()) return Aborted("stopped by the host");
    if (o.writeFailed) return CannotCreate("cannot write the cabinet");
    // The sink refuses only surplus bytes once writing is fine: bad old data.
    if (read.Is(ErrorKind::CannotCreate)) return BadData("kept file longer than planned");
    if (read) return read;
    return o.fileLeft == 0 ? kOk : BadData("kept file shorter than planned");
}

uint16_t TypeCompress(Compression compression) {
    return compression == Compression::Mszip ? cffold::TypeMszip : cffold::TypeStored;
}

// The header and the folder records, with the offsets of `plan`.
void PutHeaderAndFolders(CabOutput& o, const CabinetPlan& plan, size_t fileCount, Compression compression) {
    uint8_t header[cfhead::Size];
    EncodeHeader(plan, static_cast<uint16_t>(fileCount), header);
    Put(o, header, sizeof header);
    LogMessage("Writing %d folders", static_cast<int>(plan.folders.size()));
    for (size_t j = 0; j < plan.folders.size(); ++j) {
        uint8_t record[cffold::Size] = {};
        put_le32(record + cffold::CoffCabStart, plan.folders[j].coffCabStart);
        put_le16(record + cffold::CCFData, static_cast<uint16_t>(plan.folders[j].cCFData));
        put_le16(record + cffold::TypeCompress, TypeCompress(compression));
        Put(o, record, sizeof record);
        LogMessage("Folder#%d has %d data blocks @ %d", static_cast<int>(j + 1),
                   static_cast<int>(plan.folders[j].cCFData), static_cast<int>(plan.folders[j].coffCabStart));
    }
}

}  // namespace

std::string JoinListPath(const char* prefix, const char* name) {
    std::string s = prefix ? prefix : "";
    s += name;
    return s;
}

Error PlanCabinet(const std::vector<PackEntry>& entries, const char* sourcePath, Compression compression,
                  CabinetPlan* plan) {
    std::vector<LayoutFile> sizes(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        sizes[i].cbFile = entries[i].cbFile;
        sizes[i].nameLength = static_cast<uint32_t>(entries[i].storedName.size());
    }
    size_t failedAt = 0;
    uint32_t growth = compression == Compression::Mszip ? MszipEncoder::kMaxGrowth : 0;
    Error rc = PlanLayout(sizes.data(), sizes.size(), plan, &failedAt, growth);
    if (rc) {
        const PackEntry& e = entries[failedAt];
        std::string name = e.listName ? JoinListPath(sourcePath, e.listName) : e.storedName;
        LogMessage("Cannot pack %s: the cabinet would pass the format's limits (65535 files, 65535 blocks in a "
                   "folder, under 4 GiB)",
                   name.c_str());
    }
    return rc;
}

Error WriteCabinet(IoFile* file, Cabinet* old, const std::vector<PackEntry>& entries, const CabinetPlan& plan,
                   const char* sourcePath, Compression compression, const ProgressCallback& progress) {
    CabOutput o;
    o.file = file;
    // Whole blocks, header and data, gathered into writes of about 1 MiB.
    o.buffer.resize(kBufferedBlocks * (cfdata::Size + kBlockData));
    std::unique_ptr<MszipEncoder> encoder;
    const bool mszip = compression == Compression::Mszip;
    if (mszip) {
        encoder.reset(new MszipEncoder());
        if (!encoder->ok()) return NoMemory("MSZIP encoder");
        o.mszip = encoder.get();
        o.plain.resize(kBlockData);
    }

    // An MSZIP cabinet's folder lines are logged when its records are final.
    if (mszip) {
        uint8_t header[cfhead::Size];
        EncodeHeader(plan, static_cast<uint16_t>(entries.size()), header);
        Put(o, header, sizeof header);
        std::vector<uint8_t> records(cffold::Size * plan.folders.size());
        Put(o, records.data(), records.size());
    } else {
        PutHeaderAndFolders(o, plan, entries.size(), compression);
    }
    if (Position(o) != plan.coffFiles) {
        LogMessage("Offset mismatch after CFFOLDER! Expected %d bytes, having %d bytes",
                   static_cast<int>(plan.coffFiles), static_cast<int>(Position(o)));
    }

    LogMessage("Writing %d files", static_cast<int>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const PackEntry& e = entries[i];
        uint8_t record[cffile::Size];
        put_le32(record + cffile::CbFile, e.cbFile);
        put_le32(record + cffile::UoffFolderStart, plan.uoffFolderStart[i]);
        put_le16(record + cffile::IFolder, plan.iFolder[i]);
        put_le16(record + cffile::Date, e.date);
        put_le16(record + cffile::Time, e.time);
        put_le16(record + cffile::Attribs, e.attribs);
        Put(o, record, sizeof record);
        Put(o, e.storedName.c_str(), e.storedName.size() + 1);
    }
    if (Position(o) != plan.dataStart) {
        LogMessage("Offset mismatch after CFFILE! Expected %d bytes, having %d bytes",
                   static_cast<int>(plan.dataStart), static_cast<int>(Position(o)));
    }

    Error rc = o.writeFailed ? CannotCreate("cannot write the cabinet") : kOk;
    // Where each folder's first block begins, as written.
    CabinetPlan written = plan;
    size_t folder = plan.folders.size();
    for (size_t i = 0; i < entries.size() && !rc; ++i) {
        if (plan.iFolder[i] != folder) {
            folder = plan.iFolder[i];
            BeginFolder(o, plan.folders[folder].cbData);
            written.folders[folder].coffCabStart = static_cast<uint32_t>(Position(o));
        }
        const PackEntry& e = entries[i];
        o.fileLeft = e.cbFile;
        Progress reported(progress, e.listName ? JoinListPath(sourcePath, e.listName).c_str() : e.storedName.c_str());
        o.progress = &reported;
        rc = e.bytes ? CopyFromMemory(o, e) : e.listName ? CopyFromDisk(o, e, sourcePath) : CopyKept(o, old, e);
        if (!rc && !reported.Report()) rc = Aborted("stopped by the host");
        o.progress = nullptr;
    }
    if (!rc && !Flush(o)) rc = CannotCreate("cannot write the cabinet");
    if (!rc && mszip) {
        // The plan bounds the cabinet, so the real sizes fit their fields.
        written.cbCabinet = static_cast<uint32_t>(o.flushed);
        if (!IoSeek(file, 0)) {
            rc = CannotCreate("cannot write the cabinet");
        } else {
            uint64_t end = o.flushed;
            o.flushed = 0;
            PutHeaderAndFolders(o, written, entries.size(), compression);
            if (!Flush(o)) rc = CannotCreate("cannot write the cabinet");
            o.flushed = end;
        }
    }
    if (rc || (!mszip && Position(o) != plan.cbCabinet)) {
        LogMessage("Filesize mismatch! Expected %d bytes, having %d bytes", static_cast<int>(written.cbCabinet),
                   static_cast<int>(o.flushed));
    }
    return rc;
}

}  // namespace mirad
