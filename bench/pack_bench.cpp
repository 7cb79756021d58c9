// Packing and updating speed against peer tools, measured in the same run on
// the same bytes:
//   mirad pack    new cabinet from the files (in-process, as the module does it)
//   gcab -c       the same files into an uncompressed cabinet
//   cp -r         the same files copied as files
//   cat           the same bytes into one file (a floor for one output file)
//   dd bs=32k     the same, read and written in 32 KiB pieces (big files only)
//   mirad update  the packed CE cabinet with one installed file replaced
//   cp            the cabinet copied; cp + mv: copied and renamed over it
// Two data sets: 512 MiB in 8 files, and 20000 small files. Each timing is
// the best of several runs, every run starting after `sync`.
//
// Usage: pack_bench [WORKDIR] [RUNS]   (WORKDIR needs about 3 GiB free)
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "setup/pack.h"
#include "tests/fixture.h"

namespace fs = std::filesystem;

namespace {

double TimeIt(const std::function<void()>& prepare, const std::function<bool()>& run, int runs) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        prepare();
        if (std::system("sync") != 0) std::perror("sync");
        auto start = std::chrono::steady_clock::now();
        if (!run()) {
            std::fprintf(stderr, "run failed\n");
            std::exit(1);
        }
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::min(best, s);
    }
    return best;
}

bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

struct DataSet {
    std::string title;
    std::vector<std::pair<std::string, size_t>> files;  // name, size (after SETUP.000)
};

void RunSet(const std::string& work, const DataSet& set, int runs) {
    using fixture::Quote;
    std::string src = work + "/src";
    fs::remove_all(work);
    fs::create_directories(src);
    fs::create_directories(work + "/repl");

    // The first data file is installed as %InstallDir%\Game\f1.bin, so the
    // update can replace it.
    fixture::CeSetup setup;
    setup.strings = {{1, "%CE1%"}, {2, "Game"}};
    setup.directories = {{1, {1, 2}}};
    setup.copyFiles = {{1, 1, "f1.bin"}};
    fixture::WriteFile(src + "/SETUP.000", fixture::BuildSetupFile(setup));
    std::vector<std::string> names = {"SETUP.000"};
    uint64_t total = fs::file_size(src + "/SETUP.000");
    uint32_t seed = 1;
    for (const auto& [name, size] : set.files) {
        fixture::WriteFile(src + "/" + name, fixture::Pattern(size, seed++));
        names.push_back(name);
        total += size;
    }
    std::vector<mirad::ListName> list;
    for (const std::string& name : names) list.push_back(mirad::Listed(name.c_str()));
    fixture::WriteFile(work + "/repl/f1.bin", fixture::Pattern(set.files[0].second, 999));

    std::string cab = work + "/m.cab", gcab = work + "/g.cab", dst = work + "/dst", cat = work + "/cat.out",
                upd = work + "/u.cab", copy = work + "/copy.cab";
    std::string srcPrefix = src + "/";
    auto remove = [](const std::string& p) { return [p] { fs::remove_all(p); }; };

    double tPack = TimeIt(remove(cab),
                          [&] { return !mirad::PackFilesInto(cab.c_str(), nullptr, srcPrefix.c_str(), list, false); },
                          runs);
    double tGcab = TimeIt(remove(gcab), [&] { return Shell("cd " + Quote(src) + " && gcab -c " + Quote(gcab) + " *"); },
                          runs);
    double tCp = TimeIt(remove(dst), [&] { return Shell("cp -r " + Quote(src) + " " + Quote(dst)); }, runs);
    double tCat = TimeIt(remove(cat), [&] { return Shell("cd " + Quote(src) + " && cat * > " + Quote(cat)); }, runs);
    // cp copies inside the kernel; dd with 32 KiB blocks shows what a plain
    // read/write copy through a buffer of our size costs here (one process
    // per file, so only for the few big files).
    double tDd = 0;
    if (set.files.size() < 100) {
        tDd = TimeIt(remove(cat), [&] {
            return Shell("cd " + Quote(src) + " && for f in *; do dd if=\"$f\" bs=32k status=none; done > " + Quote(cat));
        }, runs);
    }

    const std::vector<mirad::ListName> updList = {mirad::Listed("f1.bin")};
    std::string replPrefix = work + "/repl/";
    double tUpdate = TimeIt([&] { fs::copy_file(cab, upd, fs::copy_options::overwrite_existing); },
                            [&] {
                                return !mirad::PackFilesInto(upd.c_str(), "%InstallDir%\\Game\\", replPrefix.c_str(),
                                                             updList, false);
                            },
                            runs);
    // The update reads a cabinet and replaces it by one rename; the same with
    // cp is a copy of the cabinet and a rename over it.
    auto prepareCopy = [&] {
        fs::copy_file(cab, upd, fs::copy_options::overwrite_existing);
        fs::remove_all(copy);
    };
    double tCopy = TimeIt(prepareCopy, [&] { return Shell("cp " + Quote(upd) + " " + Quote(copy)); }, runs);
    double tCopyMove = TimeIt(prepareCopy, [&] {
        return Shell("cp " + Quote(upd) + " " + Quote(copy) + " && mv " + Quote(copy) + " " + Quote(upd));
    }, runs);

    double mib = static_cast<double>(total) / (1 << 20);
    std::printf("\n%s: %zu files, %.1f MiB (best of %d)\n", set.title.c_str(), set.files.size() + 1, mib, runs);
    std::printf("  %-14s %8.3f s  %7.1f MiB/s\n", "mirad pack", tPack, mib / tPack);
    std::printf("  %-14s %8.3f s  %7.1f MiB/s\n", "gcab -c", tGcab, mib / tGcab);
    std::printf("  %-14s %8.3f s  %7.1f MiB/s\n", "cp -r", tCp, mib / tCp);
    std::printf("  %-14s %8.3f s  %7.1f MiB/s\n", "cat", tCat, mib / tCat);
    if (tDd > 0) std::printf("  %-14s %8.3f s  %7.1f MiB/s\n", "dd bs=32k", tDd, mib / tDd);
    std::printf("  %-14s %8.3f s  %7.1f MiB/s\n", "mirad update", tUpdate, mib / tUpdate);
    std::printf("  %-14s %8.3f s  %7.1f MiB/s\n", "cp cabinet", tCopy, mib / tCopy);
    std::printf("  %-14s %8.3f s  %7.1f MiB/s\n", "cp + mv", tCopyMove, mib / tCopyMove);
    std::printf("  pack/gcab %.2f   pack/cp %.2f   pack/cat %.2f", tPack / tGcab, tPack / tCp, tPack / tCat);
    if (tDd > 0) std::printf("   pack/dd %.2f   dd/cp %.2f", tPack / tDd, tDd / tCp);
    std::printf("\n");
    std::printf("  update/gcab %.2f   update/cp %.2f   update/(cp+mv) %.2f\n", tUpdate / tGcab, tUpdate / tCopy,
                tUpdate / tCopyMove);
    fs::remove_all(work);
}

}  // namespace

int main(int argc, char** argv) {
    std::string base = argc > 1 ? argv[1] : (fs::temp_directory_path() / "mirad-bench").string();
    int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    if (!fixture::HaveTool("gcab")) {
        std::fprintf(stderr, "gcab is not installed\n");
        return 1;
    }

    DataSet big{"512 MiB in 8 files", {}};
    for (int i = 1; i <= 8; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "F%05d.%03d", i, i);
        big.files.push_back({name, size_t{64} << 20});
    }
    DataSet small{"20000 small files", {}};
    uint32_t x = 12345;
    for (int i = 1; i < 20000; ++i) {
        x = x * 1664525u + 1013904223u;
        char name[32];
        std::snprintf(name, sizeof name, "F%05d.%03d", i, i % 1000);
        small.files.push_back({name, (x >> 8) % 8192});  // 0 to 8 KiB, 4 KiB on average
    }
    RunSet(base + "/big", big, runs);
    RunSet(base + "/small", small, runs);
    fs::remove_all(base);
    return 0;
}
