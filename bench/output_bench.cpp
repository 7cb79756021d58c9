// Writing 20,000 small extracted files three ways: truncating in place (the
// old way, which wrote through links and lost the old file on failure),
// what extraction does (creating each name exclusively without following
// links where nothing exists, writing beside an existing file and renaming
// over it), and writing beside and renaming for every file, new or not.
//
//   cmake --build build --target output_bench && build/output_bench [DIR]
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "support/io.h"
#include "support/output.h"
#include "tests/fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFiles = 20000;
const char kData[] = "a small extracted file, as most entries of an installation are\r\n";

enum class Way { Truncate, Extraction, AlwaysRename };

double Run(const std::string& dir, Way way) {
    auto start = Clock::now();
    for (int i = 0; i < kFiles; ++i) {
        std::string path = dir + "/f" + std::to_string(i) + ".txt";
        if (way == Way::AlwaysRename) {
            std::string temp = mirad::TemporaryNameFor(path);
            mirad::IoHandle f(mirad::IoOpen(temp.c_str(), mirad::IoMode::CreateNew));
            if (!f || !mirad::IoWriteAll(f.get(), kData, sizeof kData - 1) || !f.Close() ||
                !mirad::IoRename(temp.c_str(), path.c_str(), true))
                return -1;
        } else if (way == Way::Extraction) {
            mirad::OutputFile out;
            if (!out.Open(path.c_str(), mirad::OutputPolicy::Entry) ||
                !mirad::IoWriteAll(out.file(), kData, sizeof kData - 1) || !out.Commit()) {
                std::fprintf(stderr, "output_bench: cannot write %s\n", path.c_str());
                return -1;
            }
        } else {
            mirad::IoHandle f(mirad::IoOpen(path.c_str(), mirad::IoMode::Write));
            if (!f || !mirad::IoWriteAll(f.get(), kData, sizeof kData - 1) || !f.Close()) return -1;
        }
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    fixture::TempDir temp;
    std::string base = argc > 1 ? argv[1] : temp.path;
    std::string a = base + "/truncate", b = base + "/safe", c = base + "/rename";
    fixture::Run("mkdir -p " + fixture::Quote(a) + " " + fixture::Quote(b) + " " + fixture::Quote(c));
    double fresh = Run(a, Way::Truncate), again = Run(a, Way::Truncate);
    double created = Run(b, Way::Extraction), replaced = Run(b, Way::Extraction);
    double renamedNew = Run(c, Way::AlwaysRename), renamedOld = Run(c, Way::AlwaysRename);
    std::printf("%d files                  new      existing\n", kFiles);
    std::printf("truncate in place        %6.3f s  %6.3f s\n", fresh, again);
    std::printf("extraction (excl/rename) %6.3f s  %6.3f s\n", created, replaced);
    std::printf("always beside + rename   %6.3f s  %6.3f s\n", renamedNew, renamedOld);
    fixture::Run("rm -rf " + fixture::Quote(a) + " " + fixture::Quote(b) + " " + fixture::Quote(c));
    return 0;
}
