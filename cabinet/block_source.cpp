// Where we read differently from common tools: a folder's uoffFolderStart
// values may count data bytes only (the published reckoning, written by every
// standard tool) or every passed block's header and reserve as well (as some
// older CE cabinet writers did). The cabinet decides per folder when it is
// opened (cabinet.cpp); here the decision is applied.
#include "cabinet/block_source.h"

#include "support/bytes.h"
#include "support/log.h"

namespace mirad {

const char kOffsetInsideBlockHeader[] = "file offset inside a block header";
const char kSinkRefused[] = "the receiver refused the bytes";

namespace {
constexpr size_t kMaxChunk = cfdata::MaxData;  // a whole block
}

BlockSource::BlockSource(IoFile* file, uint64_t limit, const CabFolder& folder, uint8_t cbCFData,
                         std::unique_ptr<FolderDecoder> decoder)
    : stream_(file, limit), folder_(folder), cbCFData_(cbCFData), decoder_(std::move(decoder)) {}

void BlockSource::Rewind() {
    stream_.Forget();
    block_ = DataBlockHeader{};
    dataAt_ = 0;
    nextHeader_ = folder_.coffCabStart;
    blocksLeft_ = folder_.cCFData;
    decoder_->Reset();
}

Error BlockSource::NextBlock() {
    if (blocksLeft_ == 0) return BadData("the folder has no more blocks", nextHeader_);
    uint8_t raw[cfdata::Size];
    if (!stream_.ReadAt(nextHeader_, raw, sizeof raw)) return BadData("block header beyond the cabinet", nextHeader_);
    --blocksLeft_;
    block_.csum = le32(raw + cfdata::Csum);
    block_.cbData = le16(raw + cfdata::CbData);
    block_.cbUncomp = le16(raw + cfdata::CbUncomp);
    dataAt_ = nextHeader_ + cfdata::Size + cbCFData_;
    // A block whose data runs past the cabinet does not hold what it promises.
    if (dataAt_ > stream_.limit() || block_.cbData > stream_.limit() - dataAt_)
        return BadData("block data beyond the cabinet", nextHeader_);
    nextHeader_ = dataAt_ + block_.cbData;
    if (!decoder_->Stored()) {
        in_.resize(block_.cbData);
        out_.resize(BlockSize());
        if (!stream_.ReadAt(dataAt_, in_.data(), in_.size())) return BadData("block data unreadable", dataAt_);
        if (Error e = decoder_->Decode(block_, in_.data(), out_.data())) return e;
    }
    return kOk;
}

Error BlockSource::Seek(uint64_t offset, uint32_t* within) {
    Rewind();
    if (Error e = NextBlock()) return e;
    uint64_t skip = offset;
    if (folder_.headerCountedOffsets) {
        while (skip > BlockSize()) {
            LogMessage("File offset > CFDATA size");
            uint64_t step = uint64_t{BlockSize()} + cbCFData_ + cfdata::Size;
            if (step > skip) {
                LogMessage("Bad File offset");
                return BadData(kOffsetInsideBlockHeader, dataAt_);
            }
            skip -= step;
            if (Error e = NextBlock()) return e;
        }
    } else {
        while (skip > BlockSize()) {
            skip -= BlockSize();
            if (Error e = NextBlock()) return e;
        }
    }
    *within = static_cast<uint32_t>(skip);
    return kOk;
}

Error BlockSource::Read(uint64_t offset, uint64_t count, const ByteSink& sink, size_t chunk) {
    if (count == 0) return kOk;
    if (chunk == 0 || chunk > kMaxChunk) chunk = kMaxChunk;
    uint32_t at = 0;  // next byte of the current block to deliver
    if (Error e = Seek(offset, &at)) return e;
    uint64_t remaining = count;
    uint8_t buffer[kMaxChunk];
    for (;;) {
        while (at < BlockSize() && remaining > 0) {
            size_t n = chunk;
            if (BlockSize() - at < n) n = BlockSize() - at;
            if (remaining < n) n = static_cast<size_t>(remaining);
            const uint8_t* data = nullptr;
            if (decoder_->Stored()) {
                if (!stream_.ReadAt(dataAt_ + at, buffer, n)) return BadData("block data unreadable", dataAt_ + at);
                data = buffer;
            } else {
                data = out_.data() + at;
            }
            at += static_cast<uint32_t>(n);
            remaining -= n;
            if (sink && !sink(data, n)) return CannotCreate(kSinkRefused);
        }
        if (remaining == 0) return kOk;
        if (Error e = NextBlock()) return e;
        at = 0;
    }
}

}  // namespace mirad
