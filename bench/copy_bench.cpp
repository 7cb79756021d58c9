// How to move a stored file's bytes from the cabinet to the extracted file:
// C streams in 4 KiB pieces (how the module once did it), read/write through
// one buffer of 32 KiB, 256 KiB or 1 MiB, and the kernel's own copies
// (copy_file_range, sendfile), which pass bytes on unseen and so fit only
// where no checksum has to be computed on the way.
//
//   cmake --build build --target copy_bench && build/copy_bench [DIR] [MiB]
//
// DIR defaults to the temporary directory; run it once on tmpfs and once on
// a disk. Each method copies MiB (default 256) from an offset inside a
// larger file, as extraction does; best of 5.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr off_t kOffset = 4096 + 123;  // the data starts inside the cabinet, unaligned

bool Stdio(const std::string& from, const std::string& to, size_t count) {
    std::FILE* in = std::fopen(from.c_str(), "rb");
    std::FILE* out = std::fopen(to.c_str(), "wb");
    bool ok = in && out && std::fseek(in, kOffset, SEEK_SET) == 0;
    char buffer[4096];
    while (ok && count > 0) {
        size_t n = std::min(count, sizeof buffer);
        ok = std::fread(buffer, 1, n, in) == n && std::fwrite(buffer, 1, n, out) == n;
        count -= n;
    }
    if (in) std::fclose(in);
    if (out && std::fclose(out) != 0) ok = false;
    return ok;
}

bool ReadWrite(const std::string& from, const std::string& to, size_t count, size_t piece) {
    int in = open(from.c_str(), O_RDONLY), out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> buffer(piece);
    bool ok = in >= 0 && out >= 0;
    off_t at = kOffset;
    while (ok && count > 0) {
        size_t n = std::min(count, piece);
        ok = pread(in, buffer.data(), n, at) == static_cast<ssize_t>(n) && write(out, buffer.data(), n) == static_cast<ssize_t>(n);
        at += static_cast<off_t>(n);
        count -= n;
    }
    if (in >= 0) close(in);
    if (out >= 0 && close(out) != 0) ok = false;
    return ok;
}

bool KernelCopy(const std::string& from, const std::string& to, size_t count, bool useSendfile) {
    int in = open(from.c_str(), O_RDONLY), out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool ok = in >= 0 && out >= 0;
    off_t at = kOffset;
    while (ok && count > 0) {
        ssize_t n = useSendfile ? sendfile(out, in, &at, count) : copy_file_range(in, &at, out, nullptr, count, 0);
        ok = n > 0;
        if (ok) count -= static_cast<size_t>(n);
    }
    if (in >= 0) close(in);
    if (out >= 0 && close(out) != 0) ok = false;
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
    size_t mib = argc > 2 ? static_cast<size_t>(std::atoi(argv[2])) : 256;
    size_t count = mib << 20;
    std::string from = dir + "/copy_bench.in", to = dir + "/copy_bench.out";
    {
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 2654435761u >> 13);
        int fd = open(from.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (size_t i = 0; i <= mib; ++i)
            if (fd < 0 || write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) return 1;
        close(fd);
    }
    struct Method {
        const char* name;
        std::function<bool()> run;
    };
    std::vector<Method> methods = {
        {"stdio 4 KiB", [&] { return Stdio(from, to, count); }},
        {"read/write 32 KiB", [&] { return ReadWrite(from, to, count, 32 << 10); }},
        {"read/write 256 KiB", [&] { return ReadWrite(from, to, count, 256 << 10); }},
        {"read/write 1 MiB", [&] { return ReadWrite(from, to, count, 1 << 20); }},
        {"copy_file_range", [&] { return KernelCopy(from, to, count, false); }},
        {"sendfile", [&] { return KernelCopy(from, to, count, true); }},
    };
    std::printf("%zu MiB from an offset in %s, best of 5\n", mib, dir.c_str());
    for (const Method& m : methods) {
        double best = 1e300;
        for (int i = 0; i < 5; ++i) {
            unlink(to.c_str());
            auto start = std::chrono::steady_clock::now();
            if (!m.run()) {
                std::printf("  %-20s failed: %s\n", m.name, std::strerror(errno));
                best = -1;
                break;
            }
            best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        if (best > 0) std::printf("  %-20s %7.3f s  %7.0f MiB/s\n", m.name, best, mib / best);
    }
    unlink(from.c_str());
    unlink(to.c_str());
    return 0;
}
