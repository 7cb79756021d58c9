// Where we read differently from common tools: a folder's uoffFolderStart
// values may count data bytes only (the published reckoning, written by every
// standard tool) or every passed block's header and reserve as well (as some
// older CE cabinet writers did). A stored folder is read the header-counting
// way when some file of it would end beyond the data its blocks hold; the
// decision is made from the block index when a read first goes past the
// folder's first block (both rules start that block at 0). Compressed
// folders count uncompressed bytes only.
#include "cabinet/block_source.h"

#include "cabinet/layout.h"
#include "support/bytes.h"
#include "support/log.h"

namespace mirad {

const char kSinkRefused[] = "the receiver refused the bytes";
const char kChecksumMismatch[] = "block checksum does not match";

namespace {
constexpr size_t kMaxChunk = cfdata::MaxData;  // a whole block
}

BlockSource::BlockSource(CabinetStream& stream, const CabFolder& folder, uint8_t cbCFData,
                         std::unique_ptr<FolderDecoder> decoder, uint64_t filesEnd)
    : stream_(stream), folder_(folder), cbCFData_(cbCFData), decoder_(std::move(decoder)), filesEnd_(filesEnd) {}

// Block `k`'s entry from its header at `at`. A header or data outside the
// cabinet is for good (`*lasting`); a read that fails inside it is tried
// again next time.
Error BlockSource::IndexBlock(size_t k, uint64_t at, uint64_t position, bool* lasting) {
    // After a small block the next header is near: the read-ahead window
    // likely holds several. After a large one it is the only thing wanted
    // from this part of the file.
    const bool near = k > 0 && k - 1 < blocks_.size() && blocks_[k - 1].cbData < CabinetStream::kWindow / 2;
    *lasting = false;
    uint8_t raw[cfdata::Size];
    if (at > stream_.limit() || stream_.limit() - at < sizeof raw) {
        *lasting = true;
        return BadData("block header beyond the cabinet", at);
    }
    if (!stream_.ReadAt(at, raw, sizeof raw, near ? CabinetStream::kWindow : sizeof raw))
        return BadData("block header unreadable", at);
    Block b;
    b.cbData = le16(raw + cfdata::CbData);
    b.cbUncomp = le16(raw + cfdata::CbUncomp);
    uint64_t dataAt = at + cfdata::Size + cbCFData_;
    // A block whose data runs past the cabinet does not hold what it promises.
    if (dataAt > stream_.limit() || b.cbData > stream_.limit() - dataAt) {
        *lasting = true;
        return BadData("block data beyond the cabinet", at);
    }
    b.dataAt = static_cast<uint32_t>(dataAt);  // within the limit, itself below 4 GiB
    b.start = static_cast<uint32_t>(position);
    if (blocks_.size() > k) blocks_[k] = b;
    else blocks_.push_back(b);
    return kOk;
}

// One walk over the folder's block headers. cCFData is taken as the true
// count of the folder's blocks (every writer we know, ours included, writes
// it so), and every one must lie whole inside the cabinet: with a block
// missing no offset in the folder can be trusted, so every read from it is
// bad data.
Error BlockSource::Index() {
    runFirst_ = runEnd_ = 0;
    blocks_.clear();
    blocks_.reserve(folder_.cCFData);
    uint64_t at = folder_.coffCabStart;
    uint64_t position = 0;  // at most 65535 blocks of 65535 bytes: fits 32 bits
    for (uint32_t k = 0; k < folder_.cCFData; ++k) {
        bool lasting = false;
        if (Error e = IndexBlock(k, at, position, &lasting)) {
            if (lasting) {
                indexed_ = true;
                indexError_ = e;
            }
            return e;
        }
        position += Size(k);
        at = uint64_t{blocks_[k].dataAt} + blocks_[k].cbData;
    }
    headerCounted_ = decoder_->Stored() && filesEnd_ > position;
    indexed_ = true;
    return kOk;
}

// Whether a read of `count` bytes at `offset` lies inside the folder's first
// block. Such a read needs neither the other blocks nor the offset rule (both
// rules start the first block at 0), so reading the setup file, as opening a
// CE cabinet for a listing does, reads one block and walks no folder.
bool BlockSource::InFirstBlock(uint64_t offset, uint64_t count) {
    if (folder_.cCFData == 0) return false;
    bool lasting = false;
    if (blocks_.empty() && IndexBlock(0, folder_.coffCabStart, 0, &lasting)) return false;
    return offset < Size(0) && count <= Size(0) - offset;
}

bool BlockSource::HeaderCountedOffsets() {
    if (!indexed_) Index();
    return headerCounted_;
}

size_t BlockSource::Reaching(uint64_t offset) const {
    const uint64_t overhead = headerCounted_ ? cfdata::Size + uint64_t{cbCFData_} : 0;
    size_t lo = 0, hi = blocks_.size();
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (uint64_t{blocks_[mid].start} + mid * overhead + Size(mid) < offset)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

Error BlockSource::Locate(uint64_t offset, size_t* block, uint32_t* within) {
    const size_t n = blocks_.size();
    // Block k's first byte by the folder's rule: header-counted offsets also
    // count every earlier block's header and reserve.
    const uint64_t overhead = headerCounted_ ? cfdata::Size + uint64_t{cbCFData_} : 0;
    auto first = [&](size_t k) { return uint64_t{blocks_[k].start} + k * overhead; };
    const size_t lo = Reaching(offset);
    if (headerCounted_) {
        // The walk this replaces logged each block it passed; the log still does.
        for (size_t k = 0; k < lo && k < n; ++k) LogMessage("File offset > CFDATA size");
        // Between one block's data and the next one's lies a header.
        bool inside = lo < n ? lo > 0 && offset < first(lo) : n > 0 && offset < first(n - 1) + Size(n - 1) + overhead;
        if (inside) {
            LogMessage("Bad File offset");
            // Such a cabinet has always been answered with an empty file.
            return BadData("file offset inside a block header").Logged().KeepsEmpty();
        }
    }
    if (lo == n) return BadData("the folder has no more blocks");
    *block = lo;
    *within = static_cast<uint32_t>(offset - first(lo));
    return kOk;
}

bool BlockSource::ReadRun(size_t first, size_t end) {
    // The index walked the blocks as a chain, each header right after the
    // data before it, so blocks first..end-1 are one stretch of the file.
    const size_t head = cfdata::Size + cbCFData_;
    const uint64_t from = blocks_[first].dataAt - head;
    const uint64_t to = uint64_t{blocks_[end - 1].dataAt} + blocks_[end - 1].cbData;
    runFirst_ = runEnd_ = 0;
    const size_t bytes = static_cast<size_t>(to - from);
    if (bytes > inCapacity_) {
        in_.reset(new uint8_t[bytes]);
        inCapacity_ = bytes;
    }
    if (!stream_.ReadAt(from, in_.get(), bytes)) return false;
    runFirst_ = first;
    runEnd_ = end;
    return true;
}

Error BlockSource::ReadBlock(size_t k, size_t last, bool* matches) {
    const Block& b = blocks_[k];
    const size_t head = cfdata::Size + cbCFData_;
    if (k < runFirst_ || k >= runEnd_) {
        // Header, reserve and data of block k and of the blocks after it the
        // read needs, up to kRunBytes, in one read.
        size_t end = k + 1;
        uint64_t bytes = head + b.cbData;
        while (end <= last && end < blocks_.size() && bytes + head + blocks_[end].cbData <= kRunBytes) {
            bytes += head + blocks_[end].cbData;
            ++end;
        }
        // A run that cannot be read whole is tried again as block k alone,
        // so a file cut short delivers what it holds, block by block.
        if (!ReadRun(k, end) && (end == k + 1 || !ReadRun(k, k + 1)))
            return BadData("block unreadable", b.dataAt);
    }
    block_ = in_.get() + (b.dataAt - blocks_[runFirst_].dataAt);
    header_.csum = le32(block_ + cfdata::Csum);
    header_.cbData = b.cbData;
    header_.cbUncomp = b.cbUncomp;
    // A checksum of 0 means none.
    *matches = header_.csum == 0 || DataBlockChecksum(block_ + head, b.cbData, b.cbUncomp) == header_.csum;
    return kOk;
}

Error BlockSource::Mismatch(size_t k) const {
    LogMessage("Checksum mismatch in data block %d of the folder at %d", static_cast<int>(k + 1),
               static_cast<int>(folder_.coffCabStart));
    return BadData(kChecksumMismatch, blocks_[k].dataAt).Logged();
}

Error BlockSource::Load(size_t k, size_t last, Checksums checksums) {
    const bool verify = checksums == Checksums::Verify;
    if (decoder_->Stored()) {
        if (k != current_) {
            current_ = kNone;
            if (Error e = ReadBlock(k, last, &currentMatches_)) return e;
            current_ = k;
        }
        return verify && !currentMatches_ ? Mismatch(k) : kOk;
    }
    // A compressed block needs the folder's history: go on from the block
    // decoded last, or start over when the read goes back.
    if (undecodable_ != kNone && k >= undecodable_) return decodeError_;
    if (verify && runMismatch_ != kNone && k >= runMismatch_) return Mismatch(runMismatch_);
    if (k == current_) return kOk;
    if (current_ == kNone || k < current_) {
        decoder_->Reset();
        current_ = kNone;
        runMismatch_ = kNone;
    }
    const size_t head = cfdata::Size + cbCFData_;
    for (size_t j = current_ == kNone ? 0 : current_ + 1; j <= k; ++j) {
        bool matches = true;
        if (Error e = ReadBlock(j, last, &matches)) {
            decoder_->Reset();
            current_ = kNone;
            return e;
        }
        if (!matches) {
            if (runMismatch_ == kNone) runMismatch_ = j;
            // Not decoded when checked: damaged data is not worth decoding.
            if (verify) return Mismatch(j);
        }
        out_.resize(Size(j));
        if (Error e = decoder_->Decode(header_, block_ + head, out_.data())) {
            undecodable_ = j;
            decodeError_ = e;
            decoder_->Reset();
            current_ = kNone;
            return e;
        }
        current_ = j;
        ++decoded_;
    }
    return kOk;
}

Error BlockSource::Read(uint64_t offset, uint64_t count, const ByteSink& sink, size_t chunk, Checksums checksums) {
    if (count == 0) return kOk;
    if (!indexed_ && !InFirstBlock(offset, count)) {
        if (Error e = Index()) return e;
    }
    if (indexError_) return indexError_;
    if (chunk == 0 || chunk > kMaxChunk) chunk = kMaxChunk;
    size_t k = 0;
    uint32_t at = 0;  // next byte of block k to deliver
    if (Error e = Locate(offset, &k, &at)) return e;
    // The last block the read needs (a hint for how far to read ahead).
    const size_t reaching = Reaching(count > UINT64_MAX - offset ? UINT64_MAX : offset + count);
    const size_t last = reaching < blocks_.size() ? reaching : blocks_.size() - 1;
    const size_t head = cfdata::Size + cbCFData_;
    for (uint64_t remaining = count;; ++k, at = 0) {
        if (k >= blocks_.size()) return BadData("the folder has no more blocks");
        const uint32_t size = Size(k);
        if (at >= size) continue;  // the offset lies at a block's end: the next block holds it
        if (Error e = Load(k, last, checksums)) return e;
        const uint8_t* data = decoder_->Stored() ? block_ + head : out_.data();
        while (at < size && remaining > 0) {
            size_t n = chunk;
            if (size - at < n) n = size - at;
            if (remaining < n) n = static_cast<size_t>(remaining);
            if (sink && !sink(data + at, n)) return CannotCreate(kSinkRefused);
            at += static_cast<uint32_t>(n);
            remaining -= n;
        }
        if (remaining == 0) return kOk;
    }
}

}  // namespace mirad
