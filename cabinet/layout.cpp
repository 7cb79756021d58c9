#include "cabinet/layout.h"

#include <cstring>

#include "cabinet/format.h"
#include "support/bytes.h"

namespace mirad {

Error PlanLayout(const LayoutFile* files, size_t count, CabinetPlan* plan) {
    *plan = CabinetPlan();
    if (count > kMaxFiles) return NotSupported("more than 65535 files");
    plan->iFolder.resize(count);
    plan->uoffFolderStart.resize(count);

    // Running totals in 64 bits: on-disk values are added here before the
    // 4 GiB limit is checked, and size_t is 32 bits in the DLL.
    uint64_t folderSize = kFirstFolderSize;  // blocks of the current folder, headers included
    uint64_t folderData = 0;                 // data bytes of the current folder
    uint64_t dataSize = 0;                   // all blocks so far, headers included
    uint64_t recordSize = 0;                 // CFFILE area
    std::vector<uint64_t> folderStart;       // dataSize when each folder opened

    for (size_t i = 0; i < count; ++i) {
        recordSize += cffile::Size + uint64_t{files[i].nameLength} + 1;
        if (folderSize >= kNewFolderAt) {
            plan->folders.push_back(LayoutFolder{0, 0});
            folderStart.push_back(dataSize);
            folderSize = 0;
            folderData = 0;
        }
        LayoutFolder& folder = plan->folders.back();
        plan->iFolder[i] = static_cast<uint16_t>(plan->folders.size() - 1);
        // The sum fits: a folder's data is part of a cabinet below 4 GiB, checked below.
        plan->uoffFolderStart[i] = static_cast<uint32_t>(folderData);

        uint32_t blocks = BlockCount(files[i].cbFile);
        if (blocks > kMaxBlocks - folder.cCFData) return NotSupported("more than 65535 blocks in a folder");
        folder.cCFData += blocks;
        uint64_t taken = uint64_t{files[i].cbFile} + uint64_t{cfdata::Size} * blocks;
        folderSize += taken;
        dataSize += taken;
        folderData += files[i].cbFile;
        if (dataSize > UINT32_MAX) return NotSupported("cabinet of 4 GiB or more");
    }

    uint64_t coffFiles = cfhead::Size + uint64_t{cffold::Size} * plan->folders.size();
    uint64_t dataStart = coffFiles + recordSize;
    uint64_t cbCabinet = dataStart + dataSize;
    if (cbCabinet > UINT32_MAX) return NotSupported("cabinet of 4 GiB or more");
    plan->coffFiles = static_cast<uint32_t>(coffFiles);
    plan->dataStart = static_cast<uint32_t>(dataStart);
    plan->cbCabinet = static_cast<uint32_t>(cbCabinet);
    for (size_t j = 0; j < plan->folders.size(); ++j) {
        plan->folders[j].coffCabStart = static_cast<uint32_t>(dataStart + folderStart[j]);
    }
    return kOk;
}

void EncodeHeader(const CabinetPlan& plan, uint16_t fileCount, uint8_t out[36]) {
    std::memset(out, 0, cfhead::Size);
    std::memcpy(out + cfhead::Signature, "MSCF", 4);
    put_le32(out + cfhead::CbCabinet, plan.cbCabinet);
    put_le32(out + cfhead::CoffFiles, plan.coffFiles);
    out[cfhead::VersionMinor] = 3;
    out[cfhead::VersionMajor] = 1;
    put_le16(out + cfhead::CFolders, static_cast<uint16_t>(plan.folders.size()));
    put_le16(out + cfhead::CFiles, fileCount);
    // flags, setID, iCabinet and the reserved fields stay 0: one cabinet, no reserve.
}

namespace {
uint32_t ChecksumWords(const uint8_t* p, size_t n, uint32_t seed) {
    uint32_t sum = seed;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) sum ^= le32(p + i);
    uint32_t tail = 0;
    for (; i < n; ++i) tail = (tail << 8) | p[i];
    return sum ^ tail;
}
}  // namespace

uint32_t BlockChecksum(const uint8_t* data, uint32_t count) {
    uint8_t sizes[4];
    put_le16(sizes, static_cast<uint16_t>(count));
    put_le16(sizes + 2, static_cast<uint16_t>(count));
    return ChecksumWords(sizes, sizeof sizes, ChecksumWords(data, count, 0));
}

}  // namespace mirad
