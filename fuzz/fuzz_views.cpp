// libFuzzer target: the first input byte chooses the view (ExpandCE,
// ExpandPath, ShowRegistry, ShowShortcuts, ShowInfFile, one bit each; every
// combination is reachable), the rest is a cabinet. It is opened, the whole
// listing walked and every entry extracted (shortcuts and generated
// documents included) into the memory file system with a progress callback
// that counts, then walked again testing every entry. A walk that does not
// end, a handle left open, a file left behind but the cabinet, or bytes
// reported that were not written is a fault. Nothing touches the disk.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/memory_io.h"
#include "support/settings.h"
#include "view/session.h"

namespace {
const char kCabinet[] = "/nonexistent-mirad-memfs/input.cab";
const char kOut[] = "/nonexistent-mirad-memfs/out/";
// Stored, installed and shortcut tables hold at most 65535 each, plus the
// two documents.
const size_t kBound = 3 * 65536 + 8;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static memio::MemoryFs fs;
    static memio::Installed installed(fs);
    fs.files.clear();
    fs.readsLeft = -1;
    fs.writeLimit = UINT64_MAX;
    fs.files[kCabinet].assign(data + 1, data + size);

    mirad::Settings settings = mirad::BuiltInSettings();
    settings.ExpandCE = data[0] & 1;
    settings.ExpandPath = (data[0] >> 1) & 1;
    settings.ShowRegistry = (data[0] >> 2) & 1;
    settings.ShowShortcuts = (data[0] >> 3) & 1;
    settings.ShowInfFile = (data[0] >> 4) & 1;

    bool opened = false;
    {
        mirad::ArchiveSession session;
        opened = !session.Open(kCabinet);
        uint64_t reported = 0;
        session.SetProgress([&reported](char*, int32_t bytes) {
            if (bytes < 0) std::abort();
            reported += static_cast<uint64_t>(bytes);
            return true;
        });
        mirad::ListedEntry entry;
        size_t i = 0;
        for (; opened && i < kBound && session.ListNext(settings, &entry); ++i) {
            std::string destination = kOut + std::to_string(i);
            uint64_t before = reported;
            mirad::Error e = session.Process(settings, mirad::EntryOperation::Extract, nullptr, destination.c_str());
            auto it = fs.files.find(destination);
            // A finished entry's bytes were all reported; a failed one left nothing.
            if (!e && (it == fs.files.end() || reported - before != it->second.size())) std::abort();
            // (An INF script cut short for want of memory is kept on purpose.)
            if (e && !e.Is(mirad::ErrorKind::NoMemory) && it != fs.files.end() && !it->second.empty()) std::abort();
            fs.files.erase(destination);
        }
        if (i == kBound) std::abort();
    }
    if (opened) {
        // A second walk only tests, the way a file manager checks an archive.
        mirad::ArchiveSession session;
        if (session.Open(kCabinet)) std::abort();  // it opened a moment ago
        mirad::ListedEntry entry;
        for (size_t i = 0; i < kBound && session.ListNext(settings, &entry); ++i)
            session.Process(settings, mirad::EntryOperation::Test, nullptr, nullptr);
    }
    if (fs.openCount != 0) std::abort();
    // Whatever failed, nothing but the cabinet may remain.
    if (fs.files.size() != 1) std::abort();
    return 0;
}
