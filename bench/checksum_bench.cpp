// The block checksum alone, against reading the same bytes with memcpy: on
// 32 KiB blocks that stay in the cache (what test and extraction check, one
// block after another) and on 256 MiB that do not.
//
//   cmake --build build --target checksum_bench && build/checksum_bench
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cabinet/layout.h"
#include "tests/fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

// Best of five: GiB/s of `pass` over `bytes` bytes.
template <typename F>
double Rate(size_t bytes, F pass) {
    double best = 0;
    for (int round = 0; round < 5; ++round) {
        Clock::time_point start = Clock::now();
        pass();
        double s = std::chrono::duration<double>(Clock::now() - start).count();
        double rate = static_cast<double>(bytes) / s / (1024.0 * 1024 * 1024);
        if (rate > best) best = rate;
    }
    return best;
}

}  // namespace

int main() {
    const uint16_t kBlock = 32768;
    struct Set {
        const char* what;
        size_t blocks, repeats;
    };
    const Set sets[] = {{"one 32 KiB block, in cache", 1, 8192}, {"256 MiB of blocks", 8192, 1}};
    std::vector<uint8_t> copy(kBlock);
    volatile uint32_t sink = 0;
    for (const Set& s : sets) {
        fixture::Bytes data = fixture::Pattern(kBlock * s.blocks, 1);
        const size_t bytes = kBlock * s.blocks * s.repeats;
        double sum = Rate(bytes, [&] {
            uint32_t x = 0;
            for (size_t r = 0; r < s.repeats; ++r)
                for (size_t b = 0; b < s.blocks; ++b)
                    x ^= mirad::DataBlockChecksum(data.data() + b * kBlock, kBlock, kBlock);
            sink = sink ^ x;
        });
        double mem = Rate(bytes, [&] {
            for (size_t r = 0; r < s.repeats; ++r)
                for (size_t b = 0; b < s.blocks; ++b) std::memcpy(copy.data(), data.data() + b * kBlock, kBlock);
            sink = sink ^ copy[copy.size() / 2];
        });
        std::printf("%-28s checksum %6.1f GiB/s   memcpy %6.1f GiB/s   ratio %.2f\n", s.what, sum, mem, sum / mem);
    }
    return 0;
}
