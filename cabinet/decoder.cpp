#include "cabinet/decoder.h"

#include <cstring>

#include "cabinet/format.h"
#include "cabinet/mszip.h"

namespace mirad {

namespace {

constexpr uint16_t kStored = cffold::TypeStored;
constexpr uint16_t kMszip = cffold::TypeMszip;
constexpr uint16_t kMethodMask = cffold::TypeMethodMask;
const char* const kMethodNames[] = {"none", "MSZIP", "Quantum", "LZX"};

// A stored block's data bytes are its uncompressed bytes; cbUncomp is not
// consulted.
class StoredDecoder : public FolderDecoder {
public:
    bool Stored() const override { return true; }
    uint32_t UncompressedSize(const DataBlockHeader& block) const override { return block.cbData; }
    Error Decode(const DataBlockHeader& block, const uint8_t* in, uint8_t* out) override {
        if (block.cbData) std::memcpy(out, in, block.cbData);
        return kOk;
    }
};

// "CK" and one deflate stream per block, decoded with the folder's history.
class MszipFolderDecoder : public FolderDecoder {
public:
    uint32_t UncompressedSize(const DataBlockHeader& block) const override { return block.cbUncomp; }
    void Reset() override { mszip_.Reset(); }
    Error Decode(const DataBlockHeader& block, const uint8_t* in, uint8_t* out) override {
        if (!mszip_.ok()) return NoMemory("MSZIP decoder");
        const char* why = mszip_.Decode(in, block.cbData, out, block.cbUncomp);
        return why ? BadData(why) : kOk;
    }

private:
    MszipDecoder mszip_;
};

}  // namespace

bool CanDecode(uint16_t typeCompress) { return typeCompress == kStored || (typeCompress & kMethodMask) == kMszip; }

uint16_t CompressionMethod(uint16_t typeCompress) { return typeCompress & kMethodMask; }

const char* MethodName(uint16_t typeCompress) {
    uint16_t method = CompressionMethod(typeCompress);
    return method < sizeof kMethodNames / sizeof kMethodNames[0] ? kMethodNames[method] : nullptr;
}

std::unique_ptr<FolderDecoder> MakeDecoder(uint16_t typeCompress) {
    if (typeCompress == kStored) return std::unique_ptr<FolderDecoder>(new StoredDecoder());
    if ((typeCompress & kMethodMask) == kMszip) return std::unique_ptr<FolderDecoder>(new MszipFolderDecoder());
    return nullptr;
}

}  // namespace mirad
