#include "cabinet/decoder.h"

#include <cstring>

namespace mirad {

namespace {

constexpr uint16_t kStored = 0;

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

}  // namespace

std::unique_ptr<FolderDecoder> MakeDecoder(uint16_t typeCompress) {
    switch (typeCompress) {
        case kStored: return std::unique_ptr<FolderDecoder>(new StoredDecoder());
        default: return nullptr;
    }
}

}  // namespace mirad
