// Reading the cabinet container: the header and the folder and file tables;
// each folder's bytes come from its block source.
//
// - A folder's uoffFolderStart values may count data bytes only or every
//   passed block's header and reserve as well: the block source decides
//   when the folder is first read (block_source.cpp).
// - A signed cabinet carries its signature after cbCabinet and describes it
//   in the header reserve; exactly that layout is accepted with a longer file.
// - A cabinet with no folders or no files opens and lists nothing.
// - Every read is checked against the cabinet's length: a cabinet that ends
//   early (in the header, a table or a name), a file in a folder that does
//   not exist is bad data at open (a file without a name opens: the
//   listing passes over it, the rest stays reachable); blocks that do
//   not hold the promised bytes are bad data for the entries that need them.
//   Opening reads the header and the tables and no data block.
#include "cabinet/cabinet.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "cabinet/stream.h"
#include "platform/platform.h"
#include "support/bytes.h"
#include "support/log.h"
#include "support/output.h"
#include "support/paths.h"

namespace mirad {
namespace {

constexpr size_t kNameSize = kPathSize;  // 259 characters and a NUL
constexpr size_t kReserveSizes = 4;                        // cbCFHeader u16, cbCFFolder u8, cbCFData u8
// A signed cabinet's header reserve: bytes 4..7 repeat cbCabinet, bytes 8..11
// give the length of the signature that follows it.
constexpr size_t kSignedReserveMin = 12, kSignedCabinetAt = 4, kSignedLengthAt = 8;

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
    CabinetStream c(file, length);
    uint8_t sizes[kReserveSizes];
    uint8_t reserve[kSignedReserveMin];
    if (!c.ReadAt(cfhead::Size, sizes, sizeof sizes)) return false;
    if (le16(sizes) < kSignedReserveMin) return false;
    if (!c.ReadAt(cfhead::Size + kReserveSizes, reserve, sizeof reserve)) return false;
    return le32(reserve + kSignedCabinetAt) == h.cbCabinet && le32(reserve + kSignedLengthAt) == length - h.cbCabinet;
}

// Reads a NUL-terminated stored name at `pos` into `name`, every "/" stored as
// "\". A name of 260 bytes or more keeps its first 259 characters; the rest up
// to the NUL is passed over. False when the cabinet ends before the NUL.
bool ReadName(CabinetStream& c, uint64_t* pos, char* name) {
    size_t used = 0;
    uint8_t chunk[256];
    while (*pos < c.limit()) {
        uint64_t left = c.limit() - *pos;
        size_t n = left < sizeof chunk ? static_cast<size_t>(left) : sizeof chunk;
        if (!c.ReadAt(*pos, chunk, n)) return false;
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

}  // namespace

uint64_t Cabinet::Limit() const { return length_ < header_.cbCabinet ? length_ : header_.cbCabinet; }

Error Cabinet::ReadTables(CabinetStream& c, uint64_t foldersAt) {
    const CabHeader& h = header_;

    LogMessage("reading MSCF folders section");
    // An empty table is not asked for: a cabinet without folders is valid.
    if (h.cFolders > 0) folders_ = CountedVector<CabFolder>(h.cFolders);
    uint64_t pos = foldersAt;
    uint64_t blocks = 0;
    for (uint32_t i = 0; i < h.cFolders; ++i) {
        uint8_t raw[cffold::Size];
        if (!c.ReadAt(pos, raw, sizeof raw)) return BadData("folder record beyond the cabinet", pos);
        CabFolder& folder = folders_[i];
        folder.coffCabStart = le32(raw + cffold::CoffCabStart);
        folder.cCFData = le16(raw + cffold::CCFData);
        folder.typeCompress = le16(raw + cffold::TypeCompress);
        if (!CanDecode(folder.typeCompress)) {
            LogMessage("Compressed CAB not handled");
            return UnknownFormat("compression type not handled");
        }
        pos += cffold::Size + uint64_t{cbCFFolder_};
        if (pos > c.limit()) return BadData("folder reserve beyond the cabinet", pos);
        blocks += folder.cCFData;
    }
    // Every block takes at least its 8-byte header and no two folders share
    // one, so more blocks than that cannot be real. Refusing them here keeps
    // every walk over block headers (folders pointing into each other's
    // blocks included) within the cabinet's size.
    if (blocks > c.limit() / cfdata::Size) return BadData("more blocks than the cabinet can hold");

    LogMessage("reading MSCF files section");
    if (h.cFiles == 0) return kOk;
    if (h.coffFiles > c.limit()) return BadData("file table beyond the cabinet", h.coffFiles);
    files_ = CountedVector<CabFileEntry>(h.cFiles);
    pos = h.coffFiles;
    for (uint32_t i = 0; i < h.cFiles; ++i) {
        uint8_t raw[cffile::Size];
        if (!c.ReadAt(pos, raw, sizeof raw)) return BadData("file record beyond the cabinet", pos);
        uint64_t recordAt = pos;
        pos += cffile::Size;
        CabFileEntry& e = files_[i];
        e.cbFile = le32(raw + cffile::CbFile);
        e.uoffFolderStart = le32(raw + cffile::UoffFolderStart);
        e.iFolder = le16(raw + cffile::IFolder);
        e.date = le16(raw + cffile::Date);
        e.time = le16(raw + cffile::Time);
        e.attribs = le16(raw + cffile::Attribs);
        // A file in a folder that does not exist has no bytes to give; the
        // special values of multi-part sets land here as well.
        if (e.iFolder >= h.cFolders) return BadData("file in a folder that does not exist", recordAt);
        char name[kNameSize];
        if (!ReadName(c, &pos, name)) return BadData("stored name beyond the cabinet", recordAt);
        e.name = names_.Add(name);
    }
    return kOk;
}

Error Cabinet::Read(IoHandle file_handle) {
    file_ = std::move(file_handle);
    if (!file_) return BadData("no cabinet file");
    IoFile* file = file_.get();
    try {
        // A file shorter than the header leaves the rest of it zero.
        uint8_t raw[cfhead::Size] = {};
        size_t got = IoSeek(file, 0) ? IoRead(file, raw, sizeof raw) : 0;
        DecodeHeader(raw, &header_);
        const CabHeader& h = header_;

        uint64_t length = 0;
        bool sized = IoSize(file, &length);
        length_ = length;
        // A header the file holds but that could not be read is damage, not
        // another format.
        if (sized && got < sizeof raw && got < length) return BadData("cannot read the header");
        // The signature comes first: a file that is no cabinet at all (the
        // ".cab" of other installers included) is a format the host may hand
        // to someone else, not a damaged cabinet.
        if (std::memcmp(h.signature, "MSCF", 4) != 0) {
            LogMessage("Not CAB file or bad type");
            return UnknownFormat("not a cabinet");
        }
        if (!sized || (length != h.cbCabinet && !IsSignedCabinet(file, h, length))) {
            LogMessage("Size mismatch");
            return BadData("file length differs from cbCabinet");
        }
        if ((h.flags & ~cfhead::FlagReservePresent) != 0 || h.iCabinet != 0) {
            LogMessage("Not CAB file or bad type");
            return UnknownFormat("not a single cabinet");
        }
        // Only possible when cbCabinet itself claims fewer than 36 bytes.
        if (got < sizeof raw) return BadData("header beyond the cabinet");

        // The tables are read through the stream the folders read from, so
        // what its window holds past them (a first block's header and data,
        // often) is not read again.
        std::unique_ptr<CabinetStream> stream(new CabinetStream(file, Limit()));
        CabinetStream& c = *stream;
        uint64_t foldersAt = cfhead::Size;
        if (h.flags & cfhead::FlagReservePresent) {
            uint8_t sizes[kReserveSizes];
            if (!c.ReadAt(cfhead::Size, sizes, sizeof sizes)) return BadData("reserve sizes beyond the cabinet");
            cbCFHeader_ = le16(sizes);
            cbCFFolder_ = sizes[2];
            cbCFData_ = sizes[3];
            foldersAt += kReserveSizes + uint64_t{cbCFHeader_};
            if (foldersAt > c.limit()) return BadData("header reserve beyond the cabinet");
        }
        if (Error e = ReadTables(c, foldersAt)) return e;
        filesEnd_.assign(folders_.size(), 0);
        for (const CabFileEntry& e : files_) {
            uint64_t end = uint64_t{e.uoffFolderStart} + e.cbFile;
            if (end > filesEnd_[e.iFolder]) filesEnd_[e.iFolder] = end;
        }
        CloseFolders();
        stream_ = std::move(stream);
        return kOk;
    } catch (const std::bad_alloc&) {
        return NoMemory("cabinet tables");
    }
}

BlockSource& Cabinet::Source(uint16_t index) {
    const CabFolder& folder = folders_.at(index);
    size_t k = 0;
    while (k < kOpenFolders && !(open_[k].source && open_[k].folder == index)) ++k;
    if (k == kOpenFolders) {
        // The least recently read goes first, so its buffers are free again
        // before the new source takes its own.
        k = kOpenFolders - 1;
        open_[k].source.reset();
        open_[k].source.reset(
            new BlockSource(*stream_, folder, cbCFData_, MakeDecoder(folder.typeCompress), filesEnd_.at(index)));
        open_[k].folder = index;
    }
    std::rotate(open_, open_ + k, open_ + k + 1);
    return *open_[0].source;
}

void Cabinet::CloseFolders() {
    for (OpenFolder& o : open_) o.source.reset();
}

Error Cabinet::ReadFile(uint32_t entry, const ByteSink& sink, size_t chunk, Checksums checksums) {
    if (!file_ || !stream_ || entry >= files_.size()) return BadData("no such stored file");
    const CabFileEntry& e = files_[entry];
    if (e.iFolder >= folders_.size()) return BadData("no such folder");
    return Source(e.iFolder).Read(e.uoffFolderStart, e.cbFile, sink, chunk, checksums);
}

Error Cabinet::TestFile(uint32_t entry, const ProgressCallback& progress, const char* name) {
    if (!progress) return ReadFile(entry, ByteSink());
    if (entry >= files_.size()) return BadData("no such stored file");
    Progress reported(progress, name ? name : files_[entry].name);
    Error result = ReadFile(entry, [&](const uint8_t*, size_t count) { return reported.Add(count); });
    if (!result) reported.Report();
    if (reported.aborted()) return Aborted("stopped by the host");
    return result;
}

Error Cabinet::CopyFile(uint32_t entry, const OutputTarget& destination, const ProgressCallback& progress,
                        const char* name) {
    // A cut path could name another file, so an over-long one is refused whole.
    const char* path = destination.path();
    if (!path || std::strlen(path) >= kPathSize) return CannotCreate("destination path too long");
    if (!file_ || entry >= files_.size() || files_[entry].iFolder >= folders_.size())
        return BadData("no such stored file");

    // Written beside an existing file and renamed over it once complete, so
    // a failed copy leaves the old file as it was and nothing that looks
    // complete; a link under the name is replaced, never written through.
    // The stored date, time and attributes go with it, set on the complete
    // file before it takes its name.
    OutputFile out;
    if (!out.Open(destination, OutputPolicy::Entry)) return CannotCreate("cannot create the destination");
    const CabFileEntry& stored = files_[entry];
    IoStamp stamp;
    stamp.dosDate = stored.date;
    stamp.dosTime = stored.time;
    stamp.attribs = stored.attribs;
    stamp.attributes = true;
    out.SetStamp(stamp);
    uint64_t written = 0;
    IoFile* target = out.file();
    Progress reported(progress, name ? name : files_[entry].name);
    // Whole blocks at a time: the block source holds each one in memory.
    Error result = ReadFile(entry, [&](const uint8_t* data, size_t count) {
        if (!IoWriteAll(target, data, count)) return false;
        written += count;
        return reported.Add(count);
    }, cfdata::MaxData);
    if (!result) reported.Report();
    if (reported.aborted()) return Aborted("stopped by the host");  // the output goes as on failure
    // The one failed file kept is the empty one of an offset that falls
    // inside a block header: it holds nothing, and that is how such a
    // cabinet has always been answered.
    bool keepEmpty = result.Is(ErrorKind::BadData) && result.reason == kOffsetInsideBlockHeader && written == 0;
    if ((!result || keepEmpty) && !out.Commit() && !result) result = CannotCreate("the destination could not be finished");
    return result;
}

void Cabinet::CloseFile() {
    CloseFolders();
    stream_.reset();
    file_.Close();
}

CabinetSurvey SurveyCabinet(IoFile* file) {
    CabinetSurvey s;
    uint8_t raw[cfhead::Size] = {};
    size_t got = file && IoSeek(file, 0) ? IoRead(file, raw, sizeof raw) : 0;
    if (!file || !IoSize(file, &s.length)) return s;
    s.signature = got >= 4 && std::memcmp(raw, "MSCF", 4) == 0;
    if (!s.signature || got < sizeof raw) return s;
    s.headerComplete = true;
    DecodeHeader(raw, &s.header);
    const CabHeader& h = s.header;
    CabinetStream c(file, s.length);
    uint64_t pos = cfhead::Size;
    uint8_t cbCFFolder = 0;
    if (h.flags & cfhead::FlagReservePresent) {
        uint8_t sizes[kReserveSizes];
        if (!c.ReadAt(pos, sizes, sizeof sizes)) return s;
        pos += kReserveSizes + uint64_t{le16(sizes)};
        cbCFFolder = sizes[2];
    }
    // Each neighbour's cabinet name is followed by its disk name.
    char name[kNameSize];
    for (uint16_t flag : {cfhead::FlagPrevCabinet, cfhead::FlagNextCabinet}) {
        if (!(h.flags & flag)) continue;
        if (!ReadName(c, &pos, name)) return s;
        (flag == cfhead::FlagPrevCabinet ? s.previousCabinet : s.nextCabinet) = name;
        if (!ReadName(c, &pos, name)) return s;
    }
    for (uint32_t i = 0; i < h.cFolders; ++i, pos += cffold::Size + uint64_t{cbCFFolder}) {
        uint8_t folder[cffold::Size];
        if (!c.ReadAt(pos, folder, sizeof folder)) return s;
        s.folders.push_back(CabFolder{le32(folder + cffold::CoffCabStart), le16(folder + cffold::CCFData),
                                      le16(folder + cffold::TypeCompress)});
    }
    s.foldersComplete = true;
    pos = h.coffFiles;
    for (uint32_t i = 0; i < h.cFiles; ++i) {
        uint8_t record[cffile::Size];
        if (!c.ReadAt(pos, record, sizeof record)) return s;
        pos += cffile::Size;
        if (!ReadName(c, &pos, name)) return s;
    }
    s.filesComplete = true;
    return s;
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
