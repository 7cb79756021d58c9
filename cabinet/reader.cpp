// Reading the cabinet container: the header, the folder and file tables, and
// the walk over a folder's data blocks that yields one stored file's bytes.
//
// Where we read differently from common tools:
// - A folder's uoffFolderStart values may count data bytes only (the published
//   reckoning, written by every standard tool) or every passed block's header
//   and reserve as well (as some older CE cabinet writers did). The open walks
//   each folder's block headers once: when some file of the folder would end
//   beyond the data its blocks hold, the folder was written the header-counting
//   way and is read that way; otherwise data bytes only are counted.
// - A signed cabinet carries its signature after cbCabinet and describes it
//   in the header reserve; exactly that layout is accepted with a longer file.
// - A cabinet with no folders or no files opens and lists nothing.
// - Every read is checked against the cabinet's length: a cabinet that ends
//   early (in the header, a table, a name or any folder's data blocks), a file
//   in a folder that does not exist, an empty stored name, or blocks that do
//   not hold the promised bytes give 12 (bad data). Opening walks every
//   folder's block headers, so a cabinet that opens has all its blocks.
#include "cabinet/reader.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "interface/exports.h"
#include "platform/platform.h"
#include "setup/setup.h"
#include "support/alloc.h"
#include "support/bytes.h"
#include "support/log.h"
#include "support/paths.h"

namespace mirad {
namespace {

constexpr size_t kNameSize = sizeof(CabFileEntry{}.name);  // 259 characters and a NUL
constexpr size_t kChunk = 4096;                            // copy buffer
constexpr size_t kMaxChunk = 32768;                        // a whole block
constexpr size_t kReserveSizes = 4;                        // cbCFHeader u16, cbCFFolder u8, cbCFData u8
// A signed cabinet's header reserve: bytes 4..7 repeat cbCabinet, bytes 8..11
// give the length of the signature that follows it.
constexpr size_t kSignedReserveMin = 12, kSignedCabinetAt = 4, kSignedLengthAt = 8;

// The cabinet stream with its position remembered and a small read-ahead
// window: file records, names and block headers are read from the window, so
// walking a table or a folder's headers costs neither a seek per record (a
// seek may throw away the stream's own buffer) nor a call per byte. Large
// reads go straight to the stream. Nothing is read at or beyond `limit`.
struct Cursor {
    IoFile* file = nullptr;
    uint64_t limit = 0;
    uint64_t pos = 0;
    bool known = false;  // pos is where the stream really is
    uint64_t windowAt = 0;
    size_t windowSize = 0;
    uint8_t window[512];
};

// Reads `count` bytes at `offset` from the stream itself; short means failure.
size_t ReadStream(Cursor& c, uint64_t offset, void* buffer, size_t count) {
    if (!c.known || c.pos != offset) {
        c.known = false;
        if (!IoSeek(c.file, offset)) return 0;
        c.pos = offset;
        c.known = true;
    }
    size_t got = IoRead(c.file, buffer, count);
    c.pos += got;
    if (got != count) c.known = false;
    return got;
}

bool ReadAt(Cursor& c, uint64_t offset, void* buffer, size_t count) {
    if (offset > c.limit || count > c.limit - offset) return false;
    if (offset >= c.windowAt && count <= c.windowSize && offset - c.windowAt <= c.windowSize - count) {
        if (count) std::memcpy(buffer, c.window + (offset - c.windowAt), count);
        return true;
    }
    if (count >= sizeof c.window) {
        // A block's data usually starts inside the window that its header
        // was read with: take that part from the window, so the stream reads
        // on where it stands instead of seeking back.
        if (offset >= c.windowAt && offset - c.windowAt < c.windowSize &&
            c.windowAt + c.windowSize == c.pos && c.known) {
            size_t have = c.windowSize - static_cast<size_t>(offset - c.windowAt);
            std::memcpy(buffer, c.window + (offset - c.windowAt), have);
            return ReadStream(c, offset + have, static_cast<uint8_t*>(buffer) + have, count - have) == count - have;
        }
        return ReadStream(c, offset, buffer, count) == count;
    }
    uint64_t left = c.limit - offset;
    size_t fill = left < sizeof c.window ? static_cast<size_t>(left) : sizeof c.window;
    c.windowAt = offset;
    c.windowSize = ReadStream(c, offset, c.window, fill);
    if (c.windowSize < count) return false;
    if (count) std::memcpy(buffer, c.window, count);
    return true;
}

// Bytes that belong to the cabinet proper: a signature after cbCabinet is
// never read as cabinet data.
uint64_t CabinetLimit(const ArchiveContext* context) {
    uint64_t limit = context->header.cbCabinet;
    return context->cabinetLength < limit ? context->cabinetLength : limit;
}

// A table of `count` records; count * size is checked before it is formed.
void* AllocateTable(size_t count, size_t size) {
    if (count == 0 || size == 0 || count > static_cast<size_t>(-1) / size) return nullptr;
    return AllocateZeroed(count * size);
}

void DecodeHeader(const uint8_t* raw, CabHeader* h) {
    std::memcpy(h->signature, raw + cfhead::Signature, 4);
    h->reserved1 = le32(raw + cfhead::Reserved1);
    h->cbCabinet = le32(raw + cfhead::CbCabinet);
    h->reserved2 = le32(raw + cfhead::Reserved2);
    h->coffFiles = le32(raw + cfhead::CoffFiles);
    h->reserved3 = le32(raw + cfhead::Reserved3);
    h->versionMinor = raw[cfhead::VersionMinor];
    h->versionMajor = raw[cfhead::VersionMajor];
    h->cFolders = le16(raw + cfhead::CFolders);
    h->cFiles = le16(raw + cfhead::CFiles);
    h->flags = le16(raw + cfhead::Flags);
    h->setID = le16(raw + cfhead::SetID);
    h->iCabinet = le16(raw + cfhead::ICabinet);
}

// The one case in which the file may be longer than cbCabinet: a signature
// appended after the cabinet and described by the header reserve.
bool IsSignedCabinet(IoFile* file, const CabHeader& h, uint64_t length) {
    if (length <= h.cbCabinet || h.flags != cfhead::FlagReservePresent) return false;
    Cursor c;
    c.file = file;
    c.limit = length;
    uint8_t sizes[kReserveSizes];
    uint8_t reserve[kSignedReserveMin];
    if (!ReadAt(c, cfhead::Size, sizes, sizeof sizes)) return false;
    if (le16(sizes) < kSignedReserveMin) return false;
    if (!ReadAt(c, cfhead::Size + kReserveSizes, reserve, sizeof reserve)) return false;
    return le32(reserve + kSignedCabinetAt) == h.cbCabinet &&
           le32(reserve + kSignedLengthAt) == length - h.cbCabinet;
}

// Reads a NUL-terminated stored name at `pos` into `name`, every "/" stored as
// "\". A name of 260 bytes or more keeps its first 259 characters; the rest up
// to the NUL is passed over. False when the cabinet ends before the NUL.
bool ReadName(Cursor& c, uint64_t* pos, char* name) {
    size_t used = 0;
    uint8_t chunk[256];
    while (*pos < c.limit) {
        uint64_t left = c.limit - *pos;
        size_t n = left < sizeof chunk ? static_cast<size_t>(left) : sizeof chunk;
        if (!ReadAt(c, *pos, chunk, n)) return false;
        for (size_t i = 0; i < n; ++i) {
            char ch = static_cast<char>(chunk[i]);
            if (ch == '\0') {
                name[used] = '\0';
                *pos += i + 1;
                return true;
            }
            if (used < kNameSize - 1) name[used++] = ch == '/' ? '\\' : ch;
        }
        *pos += n;
    }
    return false;
}

// D, the data bytes a folder's blocks hold. Every one of its cCFData blocks
// must lie whole inside the cabinet: with a block missing, neither offset rule
// could be told apart nor trusted, so such a cabinet is refused as a whole.
bool FolderDataBytes(Cursor& c, const CabFolder& folder, uint8_t cbCFData, uint64_t* total) {
    *total = 0;
    uint64_t pos = folder.coffCabStart;
    for (uint32_t k = 0; k < folder.cCFData; ++k) {
        uint8_t h[cfdata::Size];
        if (!ReadAt(c, pos, h, sizeof h)) return false;
        uint16_t cbData = le16(h + cfdata::CbData);
        *total += cbData;
        pos += uint64_t{cfdata::Size} + cbCFData + cbData;
        if (pos > c.limit) return false;
    }
    return true;
}

// Decides the offset rule of every folder (see the top of this file).
int DetectOffsetRules(ArchiveContext* context, Cursor& c) {
    const uint16_t cFolders = context->header.cFolders;
    if (cFolders == 0) return MIRAD_OK;
    std::unique_ptr<uint64_t[]> ends(new (std::nothrow) uint64_t[cFolders]());
    if (!ends) return MIRAD_NO_MEMORY;
    for (uint32_t i = 0; i < context->header.cFiles; ++i) {
        const CabFileEntry& e = context->files[i];
        uint64_t end = uint64_t{e.uoffFolderStart} + e.cbFile;
        if (end > ends[e.iFolder]) ends[e.iFolder] = end;
    }
    for (uint32_t f = 0; f < cFolders; ++f) {
        CabFolder& folder = context->folders[f];
        uint64_t data = 0;
        if (!FolderDataBytes(c, folder, context->cbCFData, &data)) return MIRAD_BAD_DATA;
        folder.headerCountedOffsets = ends[f] > data ? 1 : 0;
    }
    return MIRAD_OK;
}

int ReadTables(ArchiveContext* context, Cursor& c, uint64_t foldersAt) {
    CabHeader& h = context->header;

    LogMessage("reading MSCF folders section");
    // An empty table is not asked for: a cabinet without folders is valid.
    if (h.cFolders > 0) {
        context->folders = static_cast<CabFolder*>(AllocateTable(h.cFolders, sizeof(CabFolder)));
        if (!context->folders) return MIRAD_NO_MEMORY;
    }
    uint64_t pos = foldersAt;
    uint64_t blocks = 0;
    for (uint32_t i = 0; i < h.cFolders; ++i) {
        uint8_t raw[cffold::Size];
        if (!ReadAt(c, pos, raw, sizeof raw)) return MIRAD_BAD_DATA;
        CabFolder& folder = context->folders[i];
        folder.coffCabStart = le32(raw + cffold::CoffCabStart);
        folder.cCFData = le16(raw + cffold::CCFData);
        folder.typeCompress = le16(raw + cffold::TypeCompress);
        if (folder.typeCompress != 0) {
            LogMessage("Compressed CAB not handled");
            return MIRAD_UNKNOWN_FORMAT;
        }
        pos += cffold::Size + uint64_t{context->cbCFFolder};
        if (pos > c.limit) return MIRAD_BAD_DATA;
        blocks += folder.cCFData;
    }
    // Every block takes at least its 8-byte header and no two folders share
    // one, so more blocks than that cannot be real. Refusing them here keeps
    // every walk over block headers (folders pointing into each other's
    // blocks included) within the cabinet's size.
    if (blocks > c.limit / cfdata::Size) return MIRAD_BAD_DATA;

    LogMessage("reading MSCF files section");
    if (h.cFiles == 0) return DetectOffsetRules(context, c);
    if (h.coffFiles > c.limit) return MIRAD_BAD_DATA;
    context->files = static_cast<CabFileEntry*>(AllocateTable(h.cFiles, sizeof(CabFileEntry)));
    if (!context->files) return MIRAD_NO_MEMORY;
    pos = h.coffFiles;
    for (uint32_t i = 0; i < h.cFiles; ++i) {
        uint8_t raw[cffile::Size];
        if (!ReadAt(c, pos, raw, sizeof raw)) return MIRAD_BAD_DATA;
        pos += cffile::Size;
        CabFileEntry& e = context->files[i];
        e.cbFile = le32(raw + cffile::CbFile);
        e.uoffFolderStart = le32(raw + cffile::UoffFolderStart);
        e.iFolder = le16(raw + cffile::IFolder);
        e.date = le16(raw + cffile::Date);
        e.time = le16(raw + cffile::Time);
        e.attribs = le16(raw + cffile::Attribs);
        // A file in a folder that does not exist has no bytes to give; the
        // special values of multi-part sets land here as well.
        if (e.iFolder >= h.cFolders) return MIRAD_BAD_DATA;
        if (!ReadName(c, &pos, e.name)) return MIRAD_BAD_DATA;
        // An entry without a name could be neither listed nor extracted.
        if (e.name[0] == '\0') return MIRAD_BAD_DATA;
    }
    return DetectOffsetRules(context, c);
}

// The walk over the data blocks of stored file `entry`. `badOffset` is set when
// a header-counted offset falls inside a block header or reserve (nothing has
// been delivered then).
int WalkStoredFile(ArchiveContext* context, uint32_t entry, ChunkSink sink, void* user, bool* badOffset,
                   size_t chunk = kChunk) {
    if (!context || !context->cabinetStream || !context->files || entry >= context->header.cFiles)
        return MIRAD_BAD_DATA;
    const CabFileEntry& e = context->files[entry];
    if (!context->folders || e.iFolder >= context->header.cFolders) return MIRAD_BAD_DATA;
    const CabFolder& folder = context->folders[e.iFolder];

    Cursor c;
    c.file = context->cabinetStream;
    c.limit = CabinetLimit(context);
    const uint8_t cbCFData = context->cbCFData;
    DataBlockHeader& block = context->dataBlock;
    uint64_t nextHeader = folder.coffCabStart;
    uint64_t dataPos = 0;  // next unread data byte of the current block
    // cCFData is taken as the true count of the folder's blocks (every writer
    // we know, ours included, writes it so): a folder that runs out of blocks
    // before the file's bytes are delivered is bad data, and the walk can
    // never go on past the folder, whatever cbData values it meets.
    uint32_t blocksLeft = folder.cCFData;

    auto nextBlock = [&]() -> bool {
        if (blocksLeft == 0) return false;
        uint8_t raw[cfdata::Size];
        if (!ReadAt(c, nextHeader, raw, sizeof raw)) return false;
        --blocksLeft;
        block.csum = le32(raw + cfdata::Csum);
        block.cbData = le16(raw + cfdata::CbData);
        block.cbUncomp = le16(raw + cfdata::CbUncomp);
        dataPos = nextHeader + cfdata::Size + cbCFData;
        // A block whose data runs past the cabinet does not hold what it promises.
        if (dataPos > c.limit || block.cbData > c.limit - dataPos) return false;
        nextHeader = dataPos + block.cbData;
        return true;
    };

    uint64_t skip = e.uoffFolderStart;
    uint64_t remaining = e.cbFile;
    if (chunk == 0 || chunk > kMaxChunk) chunk = kMaxChunk;
    uint8_t buffer[kMaxChunk];
    while (remaining > 0) {
        if (!nextBlock()) return MIRAD_BAD_DATA;
        if (skip > 0) {
            if (folder.headerCountedOffsets) {
                while (skip > block.cbData) {
                    LogMessage("File offset > CFDATA size");
                    uint64_t step = uint64_t{block.cbData} + cbCFData + cfdata::Size;
                    if (step > skip) {
                        LogMessage("Bad File offset");
                        if (badOffset) *badOffset = true;
                        return MIRAD_BAD_DATA;
                    }
                    skip -= step;
                    if (!nextBlock()) return MIRAD_BAD_DATA;
                }
            } else {
                while (skip > block.cbData) {
                    skip -= block.cbData;
                    if (!nextBlock()) return MIRAD_BAD_DATA;
                }
            }
            block.cbData = static_cast<uint16_t>(block.cbData - skip);
            dataPos += skip;
            skip = 0;
        }
        uint32_t avail = block.cbData;
        while (avail > 0 && remaining > 0) {
            size_t n = chunk;
            if (avail < n) n = avail;
            if (remaining < n) n = static_cast<size_t>(remaining);
            if (!ReadAt(c, dataPos, buffer, n)) return MIRAD_BAD_DATA;
            dataPos += n;
            avail -= static_cast<uint32_t>(n);
            remaining -= n;
            if (sink && !sink(user, buffer, n)) return MIRAD_ECREATE;
        }
    }
    return MIRAD_OK;
}

struct FileSink {
    IoFile* file;
    uint64_t written;
};

bool WriteToFile(void* user, const uint8_t* data, size_t count) {
    auto* sink = static_cast<FileSink*>(user);
    if (!IoWriteAll(sink->file, data, count)) return false;
    sink->written += count;
    return true;
}

}  // namespace

int ReadCabinet(ArchiveContext* context) {
    if (!context || !context->cabinetStream) return MIRAD_BAD_DATA;
    IoFile* file = context->cabinetStream;

    // A file shorter than the header leaves the rest of it zero.
    uint8_t raw[cfhead::Size] = {};
    size_t got = IoSeek(file, 0) ? IoRead(file, raw, sizeof raw) : 0;
    DecodeHeader(raw, &context->header);
    const CabHeader& h = context->header;

    uint64_t length = 0;
    bool sized = IoSize(file, &length);
    context->cabinetLength = length;
    if (!sized || (length != h.cbCabinet && !IsSignedCabinet(file, h, length))) {
        LogMessage("Size mismatch");
        return MIRAD_BAD_DATA;
    }
    if (std::memcmp(h.signature, "MSCF", 4) != 0 || (h.flags & ~cfhead::FlagReservePresent) != 0 ||
        h.iCabinet != 0) {
        LogMessage("Not CAB file or bad type");
        return MIRAD_UNKNOWN_FORMAT;
    }
    // Only possible when cbCabinet itself claims fewer than 36 bytes.
    if (got < sizeof raw) return MIRAD_BAD_DATA;

    Cursor c;
    c.file = file;
    c.limit = CabinetLimit(context);
    uint64_t foldersAt = cfhead::Size;
    if (h.flags & cfhead::FlagReservePresent) {
        uint8_t sizes[kReserveSizes];
        if (!ReadAt(c, cfhead::Size, sizes, sizeof sizes)) return MIRAD_BAD_DATA;
        context->cbCFHeader = le16(sizes);
        context->cbCFFolder = sizes[2];
        context->cbCFData = sizes[3];
        foldersAt += kReserveSizes + uint64_t{context->cbCFHeader};
        if (foldersAt > c.limit) return MIRAD_BAD_DATA;
    }

    int result = ReadTables(context, c, foldersAt);
    if (result != MIRAD_OK) return result;

    if (h.cFiles > 0) {
        result = ReadSetupFile(context);
        if (result != MIRAD_OK) return result;
    } else {
        // Nothing stored, so no setup file: the setup reader expects at least
        // one entry, and an empty cabinet is a plain one.
        context->plainCabinet = 1;
    }

    LogMessage("CAB file successfully read");
    context->listPhase = kPhaseStored;
    context->listIndex = 0;
    return MIRAD_OK;
}

int StreamStoredFile(ArchiveContext* context, uint32_t entry, ChunkSink sink, void* user, size_t chunk) {
    return WalkStoredFile(context, entry, sink, user, nullptr, chunk);
}

int CopyStoredFile(ArchiveContext* context, uint32_t entry, const char* destination) {
    // A cut path could name another file, so an over-long one is refused whole.
    if (!destination || std::strlen(destination) >= kPathSize) return MIRAD_ECREATE;
    if (!context || !context->files || entry >= context->header.cFiles || !context->folders ||
        context->files[entry].iFolder >= context->header.cFolders)
        return MIRAD_BAD_DATA;

    IoFile* out = IoOpen(destination, IoMode::Write);
    if (!out) return MIRAD_ECREATE;
    FileSink sink{out, 0};
    bool badOffset = false;
    int result = WalkStoredFile(context, entry, WriteToFile, &sink, &badOffset);
    bool closed = IoClose(out);
    if (result == MIRAD_OK && !closed) result = MIRAD_ECREATE;
    // A failed copy must not leave a file that looks complete. The one file
    // kept is the empty one of an offset that falls inside a block header: it
    // holds nothing, and that is how such a cabinet has always been answered.
    if (result != MIRAD_OK && !(badOffset && sink.written == 0 && closed)) platform::DeleteFile(destination);
    return result;
}

int TestStoredFile(ArchiveContext* context, uint32_t entry) {
    return WalkStoredFile(context, entry, nullptr, nullptr, nullptr);
}

void ReleaseContext(ArchiveContext* context) {
    if (!context) return;
    if (context->cabinetStream) IoClose(context->cabinetStream);
    context->cabinetStream = nullptr;
    void* tables[] = {context->folders,          context->files,         context->setupStrings,
                      context->setupDirectories, context->setupCopyFiles, context->setupRegHives,
                      context->setupShortcuts};
    for (void* table : tables)
        if (table) FreeBlock(table);
    // The setup reader takes setupData from the plain heap (std::malloc), not
    // from the counted allocator, so it goes back the same way.
    std::free(context->setupData);
    std::free(context->stringIds);
    std::free(context->directoryIds);
    std::free(context->copyFileIds);
    FreeBlock(context);
}

int32_t NumericSuffix(const char* name) {
    if (!name) return -1;
    size_t n = std::strlen(name);
    auto isDigit = [](char ch) { return ch >= '0' && ch <= '9'; };
    if (n < 4 || name[n - 4] != '.' || !isDigit(name[n - 3])) return -1;
    int32_t value = 0;
    for (size_t i = n - 3; i < n && isDigit(name[i]); ++i) value = value * 10 + (name[i] - '0');
    return value;
}

}  // namespace mirad
