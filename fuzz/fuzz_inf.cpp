// libFuzzer target: the input is a cabinet-wizard INF. It is read twice:
// with no processor, and strictly with the processor of its first
// [CEDevice.NAME] section, so the platform sections are merged too. A
// failure must come with one message naming the INF; what is read must hold
// together (every file to copy has its source, names are plain, tables fit
// the setup file's 16-bit counts).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "documents/inf_reader.h"

namespace {

std::string FirstProcessor(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size < 4096 ? size : 4096);
    size_t at = text.find("[CEDevice.");
    if (at == std::string::npos) return "ARM";
    size_t end = text.find(']', at);
    if (end == std::string::npos) return "ARM";
    return text.substr(at + 10, end - at - 10);
}

void Check(const uint8_t* data, size_t size, const mirad::InfOptions& options) {
    mirad::CeInf inf;
    mirad::InfReport report;
    if (!mirad::ReadCeInf(data, size, options, &inf, &report)) {
        if (report.error.compare(0, options.name.size() + 1, options.name + ":") != 0) std::abort();
        return;
    }
    if (!report.error.empty()) std::abort();
    if (options.strict && !report.warnings.empty()) std::abort();
    size_t files = 0;
    for (const mirad::InfCopyList& list : inf.copyLists) {
        for (const mirad::InfCopyFile& f : list.files) {
            ++files;
            if (!mirad::FindSource(inf, f.source)) std::abort();
            if (f.dest.empty() || f.dest.find_first_of("\\/:") != std::string::npos || f.dest == "..") std::abort();
        }
    }
    if (files > 65535 || inf.registry.size() > 65535) std::abort();
    if (!inf.setupDll.empty() && !mirad::FindSource(inf, inf.setupDll)) std::abort();
    for (const mirad::InfRegEntry& r : inf.registry)
        if (r.root < 1 || r.root > 4) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    mirad::InfOptions plain;
    plain.name = "fuzz.inf";
    Check(data, size, plain);
    mirad::InfOptions strict = plain;
    strict.cpu = FirstProcessor(data, size);
    strict.strict = true;
    Check(data, size, strict);
    return 0;
}
