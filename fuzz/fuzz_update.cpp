// libFuzzer target: an update of a hostile CE cabinet through the memory
// file system. The first two input bytes choose an injected fault (reads
// failing after N calls, writes stopping at byte K, a progress callback that
// says stop after N calls, or none), the rest is the cabinet. Up to four
// installed files the cabinet names get a replacement source; the update
// then either succeeds with a cabinet that opens again, or fails leaving the
// old cabinet byte for byte and no other file behind.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/memory_io.h"
#include "setup/pack.h"
#include "support/settings.h"
#include "view/session.h"

namespace {
const char kCabinet[] = "/nonexistent-mirad-memfs/game.cab";
const char kSource[] = "/nonexistent-mirad-memfs/src/";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static memio::MemoryFs fs;
    static memio::Installed installed(fs);
    fs.files.clear();
    fs.readsLeft = -1;
    fs.writeLimit = UINT64_MAX;
    const std::vector<uint8_t> cabinet(data + 2, data + size);
    fs.files[kCabinet] = cabinet;

    // The installed names as an update takes them: the installed view
    // without macro expansion.
    mirad::Settings settings = mirad::BuiltInSettings();
    settings.ExpandPath = 1;
    settings.ExpandCE = settings.ShowRegistry = settings.ShowShortcuts = settings.ShowInfFile = 0;
    std::vector<std::string> names;
    {
        mirad::ArchiveSession session;
        if (session.Open(kCabinet)) return 0;
        mirad::ListedEntry entry;
        for (size_t i = 0; i < 70000 && names.size() < 4 && session.ListNext(settings, &entry); ++i) {
            if (entry.packedSize != -1) names.emplace_back(entry.name);
        }
    }
    if (names.empty()) return 0;

    std::vector<mirad::ListName> list;
    for (size_t i = 0; i < names.size(); ++i) {
        fs.files[kSource + names[i]].assign(1 + (i * 977 + data[0]) % 70000, static_cast<uint8_t>(i));
        list.push_back(mirad::Listed(names[i].c_str()));
    }
    const size_t before = fs.files.size();

    long callsLeft = -1;
    switch (data[0] & 3) {
        case 1: fs.readsLeft = data[1]; break;
        case 2: fs.writeLimit = static_cast<uint64_t>(data[1]) * 997; break;
        case 3: callsLeft = data[1] % 8; break;
        default: break;
    }
    mirad::ProgressCallback progress;
    if (callsLeft >= 0) progress = [&callsLeft](char*, int32_t) { return callsLeft-- > 0; };
    mirad::Error e = mirad::PackFilesInto(kCabinet, nullptr, kSource, list, false, progress);
    fs.readsLeft = -1;
    fs.writeLimit = UINT64_MAX;

    if (fs.openCount != 0 || fs.files.size() != before) std::abort();
    if (e) {
        if (fs.files[kCabinet] != cabinet) std::abort();  // a failed update changed the cabinet
        return 0;
    }
    // What the update wrote must open again.
    mirad::ArchiveSession reopened;
    if (reopened.Open(kCabinet)) std::abort();
    return 0;
}
