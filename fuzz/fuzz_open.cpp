// libFuzzer target: the input is a cabinet file. It is opened, listed and
// every entry extracted (and every stored file copied and tested) through the
// memory I/O seam, so nothing touches the disk. Build instructions: README.
#include <cstdint>
#include <cstdlib>

#include "fuzz/exercise.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static memio::MemoryFs fs;
    static memio::Installed installed(fs);
    fs.files.clear();
    fs.files["/nonexistent-mirad-memfs/input.cab"].assign(data, data + size);
    memio::Outcome out = memio::Exercise(fs, "/nonexistent-mirad-memfs/input.cab");
    // A listing that does not end, a copy of the wrong length or a handle left
    // open is a fault even when nothing crashed.
    if ((out.opened && !out.listEnded) || out.wrongLengths != 0 || out.openAfterClose != 0) std::abort();
    return 0;
}
