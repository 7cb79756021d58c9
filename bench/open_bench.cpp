// Opening and listing a CE cabinet at the format's limits: 65535 stored
// files and a setup file with 65535 copy-files. Linking copy-files to stored
// files must stay linear, so this takes well under a second.
//
//   cmake --build build --target open_bench && build/open_bench
//
// Reports the module's times and, measured in the same run on the same file,
// cabextract's listing time as the yardstick.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

struct Timing {
    double open = 0, list = 0;
    size_t entries = 0;
};

Timing OpenAndList(fixture::Module& m, const std::string& cab) {
    Timing t;
    Clock::time_point start = Clock::now();
    fixture::OpenResult o = fixture::Open(m, cab);
    t.open = Seconds(start);
    if (!o.handle) {
        std::fprintf(stderr, "open_bench: OpenArchive failed with %d\n", o.code);
        return t;
    }
    EntryHeader h;
    std::memset(&h, 0, sizeof h);
    start = Clock::now();
    while (m.ReadHeader(o.handle, &h) == 0) {
        m.ProcessFile(o.handle, MIRAD_SKIP, nullptr, nullptr);
        ++t.entries;
    }
    t.list = Seconds(start);
    m.CloseArchive(o.handle);
    return t;
}

}  // namespace

int main() {
    constexpr size_t kStored = 65535;  // SETUP.000 and 65534 more: cFiles is 16 bits
    constexpr size_t kCopyFiles = 65535;

    fixture::CeSetup setup;
    setup.strings = {{1, "%CE1%\\Bench"}, {2, "files"}};
    setup.directories = {{1, {1, 2}}};
    char name[64];
    for (size_t i = 0; i < kCopyFiles; ++i) {
        std::snprintf(name, sizeof name, "file%05u.bin", static_cast<unsigned>(i));
        // Numbers 0..999 repeat, so every stored-file lookup has to honour
        // the first-match rule; number 0 is the setup file itself.
        setup.copyFiles.push_back({static_cast<uint16_t>(1 + i % 999), 1, name});
    }
    std::vector<fixture::StoredFile> files;
    files.reserve(kStored - 1);
    for (size_t i = 1; i < kStored; ++i) {
        std::snprintf(name, sizeof name, "F%05u.%03u", static_cast<unsigned>(i), static_cast<unsigned>(i % 1000));
        files.push_back({name, fixture::Bytes{static_cast<uint8_t>(i)}});
    }
    fixture::TempDir dir;
    std::string cab = dir / "big.cab";
    fixture::WriteFile(cab, fixture::BuildCeCabinet(setup, files));

    fixture::Module m;
    if (!m.ok()) {
        std::fprintf(stderr, "open_bench: cannot load %s\n", fixture::ModulePath().c_str());
        return 1;
    }
    fixture::WriteSettings(m.directory(), true, true, false, false, false);
    m.SetSettingsDir(m.directory());
    OpenAndList(m, cab);  // warm the page cache
    Timing installed = OpenAndList(m, cab);

    fixture::WriteSettings(m.directory(), false, false, false, false, false);
    m.SetSettingsDir(m.directory());
    Timing stored = OpenAndList(m, cab);

    double peer = -1;
    if (fixture::HaveTool("cabextract")) {
        Clock::time_point start = Clock::now();
        fixture::CommandResult r = fixture::Run("cabextract -l " + fixture::Quote(cab) + " >/dev/null");
        peer = r.status == 0 ? Seconds(start) : -1;
    }

    std::printf("cabinet: %zu stored files, %zu copy-files\n", kStored, kCopyFiles);
    std::printf("installed view: open %.3f s, list %zu entries %.3f s, total %.3f s\n", installed.open,
                installed.entries, installed.list, installed.open + installed.list);
    std::printf("stored view:    open %.3f s, list %zu entries %.3f s, total %.3f s\n", stored.open, stored.entries,
                stored.list, stored.open + stored.list);
    if (peer >= 0) {
        std::printf("cabextract -l:  %.3f s (module installed view / cabextract = %.2f)\n", peer,
                    (installed.open + installed.list) / peer);
    } else {
        std::printf("cabextract -l:  not measured\n");
    }
    bool ok = installed.entries == kCopyFiles && stored.entries == kStored && installed.open + installed.list < 1.0;
    return ok ? 0 : 1;
}
