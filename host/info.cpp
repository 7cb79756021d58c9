// `mirad info`: what a cabinet is and what its CE setup file says, from the
// cabinet header the host reads itself, the setup file and the generated
// INF extracted through the exports, and the listings of the views.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/host.h"

namespace host {

namespace {

const char kInfName[] = "~Cab~.INF";
const char kRegistryName[] = "~Cab~.REG";

uint32_t Le32(const std::string& b, size_t at) {
    if (at + 4 > b.size()) return 0;
    return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) |
           (static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8) |
           (static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16) |
           (static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24);
}
uint16_t Le16(const std::string& b, size_t at) {
    if (at + 2 > b.size()) return 0;
    return static_cast<uint16_t>(static_cast<unsigned char>(b[at]) | (static_cast<unsigned char>(b[at + 1]) << 8));
}

// A stored text: `length` bytes at `offset`, up to the first NUL.
std::string TextAt(const std::string& b, size_t offset, size_t length) {
    if (offset >= b.size()) return "";
    std::string text = b.substr(offset, std::min(length, b.size() - offset));
    return text.substr(0, text.find('\0'));
}

// The file number of a stored name (SETUP.000 gives 0), or -1.
int NumericSuffix(const std::string& name) {
    size_t n = name.size();
    if (n < 4 || name[n - 4] != '.' || !std::isdigit(static_cast<unsigned char>(name[n - 3]))) return -1;
    int value = 0;
    for (size_t i = n - 3; i < n && std::isdigit(static_cast<unsigned char>(name[i])); ++i) value = value * 10 + (name[i] - '0');
    return value;
}

// The names of [SourceDisksFiles] of the generated INF, in order: with the
// stored-names view, the stored file of each installed file.
std::vector<std::string> SourceFiles(const std::string& inf) {
    std::vector<std::string> names;
    bool inSection = false;
    size_t start = 0;
    while (start < inf.size()) {
        size_t end = inf.find('\n', start);
        if (end == std::string::npos) end = inf.size();
        std::string line = inf.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == ';') {
            if (inSection && line.empty()) break;
            continue;
        }
        if (line[0] == '[') {
            if (inSection) break;
            inSection = line == "[SourceDisksFiles]";
            continue;
        }
        size_t close = line.rfind("\" = ");
        if (!inSection || line[0] != '"' || close == std::string::npos) continue;
        std::string name = line.substr(1, close - 1);
        // A quote inside a quoted INF string is written twice.
        for (size_t q = name.find("\"\""); q != std::string::npos; q = name.find("\"\"", q + 1)) name.erase(q, 1);
        names.push_back(name);
    }
    return names;
}

const char* ProcessorName(int32_t code) {
    switch (code) {
        case 0: return "CEF (any processor)";
        case 1824: return "ARM720";
        case 2577: return "StrongARM SA11xx";
        case 4000: return "MIPS R4xxx";
        case 10003: return "Hitachi SH3";
        case 10005: return "Hitachi SH5";
        default: return "unknown processor";
    }
}

// The facts of the setup file's 100-byte header and its first string.
struct SetupFacts {
    int32_t processor = 0, minMajor = 0, minMinor = 0, maxMajor = 0, maxMinor = 0;
    uint32_t buildMin = 0, buildMax = 0;
    uint16_t strings = 0, directories = 0, files = 0, keys = 0, values = 0, shortcuts = 0;
    std::string appName, provider, installDir;
    std::vector<std::string> unsupported;
};

SetupFacts ParseSetup(const std::string& b) {
    SetupFacts s;
    s.processor = static_cast<int32_t>(Le32(b, 20));
    s.minMajor = static_cast<int32_t>(Le32(b, 24));
    s.minMinor = static_cast<int32_t>(Le32(b, 28));
    s.maxMajor = static_cast<int32_t>(Le32(b, 32));
    s.maxMinor = static_cast<int32_t>(Le32(b, 36));
    s.buildMin = Le32(b, 40);
    s.buildMax = Le32(b, 44);
    s.strings = Le16(b, 48);
    s.directories = Le16(b, 50);
    s.files = Le16(b, 52);
    s.keys = Le16(b, 54);
    s.values = Le16(b, 56);
    s.shortcuts = Le16(b, 58);
    s.appName = TextAt(b, Le16(b, 84), Le16(b, 86));
    s.provider = TextAt(b, Le16(b, 88), Le16(b, 90));
    std::string list = Le16(b, 94) > 1 ? b.substr(std::min<size_t>(Le16(b, 92), b.size()), Le16(b, 94)) : "";
    for (size_t at = 0; at < list.size();) {
        size_t end = list.find('\0', at);
        if (end == std::string::npos) end = list.size();
        if (end > at) s.unsupported.push_back(list.substr(at, end - at));
        at = end + 1;
    }
    if (s.strings > 0) {
        uint32_t table = Le32(b, 60);
        s.installDir = TextAt(b, table + 4, Le16(b, table + 2));
    }
    return s;
}

std::string Count(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Versions(int32_t major1, int32_t minor1, int32_t major2, int32_t minor2) {
    return std::to_string(major1) + "." + std::to_string(minor1) + " to " + std::to_string(major2) + "." +
           std::to_string(minor2);
}

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char escape[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            // A whole UTF-8 sequence passes; any other byte is Latin-1.
            size_t length = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
            bool valid = length > 0 && i + length <= text.size();
            for (size_t k = 1; valid && k < length; ++k) valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
            if (valid) {
                out += text.substr(i, length);
                i += length - 1;
            } else {
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            }
        }
    }
    return out + "\"";
}

bool ReadCeFacts(const Options& options, const std::string& cabinet, CeFacts* facts) {
    *facts = CeFacts();
    // Stored names with both documents: which entry is the setup file, and
    // the INF whose [SourceDisksFiles] names each installed file's stored file.
    int stored[kViewOptionCount] = {};
    stored[kShowInfFile] = stored[kShowRegistry] = 1;
    std::vector<ListedEntry> entries;
    if (!WalkView(options, stored, cabinet, &entries)) return false;
    // The documents come last: the INF script always, for a CE cabinet, and
    // the registry export before it when there are values.
    size_t files = entries.size();
    if (files > 0 && entries[files - 1].name == kInfName) {
        facts->isCe = true;
        --files;
        if (files > 0 && entries[files - 1].name == kRegistryName) {
            facts->hasRegistry = true;
            --files;
        }
    }
    for (size_t i = 0; i < files && facts->setupName.empty(); ++i) {
        if (NumericSuffix(entries[i].name) == 0) facts->setupName = entries[i].name;
    }
    if (!facts->isCe) return true;
    std::vector<std::string> contents;
    entries.clear();
    if (!WalkView(options, stored, cabinet, &entries, {facts->setupName, kInfName}, &contents)) return false;
    facts->setupBytes = contents[0];
    facts->storedNames = SourceFiles(contents[1]);
    int installed[kViewOptionCount] = {};
    installed[kExpandPath] = 1;
    entries.clear();
    if (!WalkView(options, installed, cabinet, &entries)) return false;
    // Paths on the device, in the device's own terms, whatever separator
    // this platform's module lists them with.
    auto devicePath = [](std::string name) {
        std::replace(name.begin(), name.end(), '/', '\\');
        return name;
    };
    for (const ListedEntry& e : entries) facts->destinations.push_back(devicePath(e.name));
    installed[kExpandCE] = 1;
    entries.clear();
    if (!WalkView(options, installed, cabinet, &entries)) return false;
    for (const ListedEntry& e : entries) facts->devicePaths.push_back(devicePath(e.name));
    return true;
}

int CommandInfo(const Options& options) {
    if (options.arguments.size() != 1) {
        Error("info takes one cabinet (see mirad --help)");
        return 2;
    }
    const std::string& cabinet = options.arguments[0];
    CeFacts ce;
    bool opened = ReadCeFacts(options, cabinet, &ce);
    CabinetFacts cab = ReadCabinetFacts(cabinet);
    // A cabinet the module refuses still shows what its header says (the
    // compression of each folder, say) after the sentence saying why.
    if (!opened && (!cab.foldersComplete || options.json)) return 1;
    SetupFacts setup = ParseSetup(ce.setupBytes);
    size_t installs = std::min(ce.destinations.size(), ce.devicePaths.size());

    if (options.json) {
        std::string j = "{\"cabinet\": " + JsonString(cabinet) + ", \"bytes\": " + std::to_string(cab.length) +
                        ", \"files\": " + std::to_string(cab.cFiles) + ",\n \"folders\": [";
        for (size_t i = 0; i < cab.folders.size(); ++i) {
            j += std::string(i ? ", " : "") + "{\"index\": " + std::to_string(i) + ", \"compression\": \"" +
                 CompressionName(cab.folders[i].typeCompress) + "\", \"blocks\": " +
                 std::to_string(cab.folders[i].cCFData) + "}";
        }
        j += "],\n \"setup\": ";
        if (!ce.isCe) {
            j += "null";
        } else {
            j += "{\"storedName\": " + JsonString(ce.setupName) + ", \"appName\": " + JsonString(setup.appName) +
                 ", \"provider\": " + JsonString(setup.provider) + ", \"installDir\": " + JsonString(setup.installDir) +
                 ",\n  \"processor\": " + std::to_string(setup.processor) + ", \"processorName\": " +
                 JsonString(ProcessorName(setup.processor)) + ", \"versionMin\": \"" +
                 std::to_string(setup.minMajor) + "." + std::to_string(setup.minMinor) + "\", \"versionMax\": \"" +
                 std::to_string(setup.maxMajor) + "." + std::to_string(setup.maxMinor) +
                 "\", \"buildMin\": " + std::to_string(setup.buildMin) + ", \"buildMax\": " +
                 std::to_string(setup.buildMax) + ",\n  \"unsupportedPlatforms\": [";
            for (size_t i = 0; i < setup.unsupported.size(); ++i)
                j += (i ? ", " : "") + JsonString(setup.unsupported[i]);
            j += "], \"files\": " + std::to_string(setup.files) + ", \"directories\": " +
                 std::to_string(setup.directories) + ", \"registryKeys\": " + std::to_string(setup.keys) +
                 ", \"registryValues\": " + std::to_string(setup.values) + ", \"shortcuts\": " +
                 std::to_string(setup.shortcuts) + "}";
        }
        j += ",\n \"installs\": [";
        for (size_t i = 0; i < installs; ++i) {
            std::string storedName = i < ce.storedNames.size() ? ce.storedNames[i] : "";
            j += std::string(i ? "," : "") + "\n  {\"storedName\": " +
                 (storedName.empty() ? std::string("null") : JsonString(storedName)) + ", \"destination\": " +
                 JsonString(ce.destinations[i]) + ", \"devicePath\": " + JsonString("\\" + ce.devicePaths[i]) + "}";
        }
        j += std::string(installs ? "\n " : "") + "]}\n";
        std::fputs(j.c_str(), stdout);
        return 0;
    }

    auto row = [](const char* label, const std::string& value) {
        std::printf("%-22s %s\n", label, Printable(value).c_str());
    };
    row("Cabinet:", cabinet + " (" + std::to_string(cab.length) + " bytes)");
    row("Stored files:", std::to_string(cab.cFiles));
    for (size_t i = 0; i < cab.folders.size(); ++i) {
        std::string label = "Folder " + std::to_string(i + 1) + ":";
        row(label.c_str(), "compression " + CompressionName(cab.folders[i].typeCompress) + ", " +
                               Count(cab.folders[i].cCFData, "data block", "data blocks"));
    }
    if (!opened) return 1;
    if (!ce.isCe) {
        row("Setup file:", "none (not a CE installation cabinet)");
        return 0;
    }
    std::string unsupported;
    for (const std::string& name : setup.unsupported) unsupported += (unsupported.empty() ? "" : ", ") + name;
    row("Setup file:", ce.setupName);
    row("Application:", setup.appName.empty() ? "-" : setup.appName);
    row("Provider:", setup.provider.empty() ? "-" : setup.provider);
    row("Installation dir:", setup.installDir.empty() ? "-" : setup.installDir);
    row("Processor:", std::string(ProcessorName(setup.processor)) + " (" + std::to_string(setup.processor) + ")");
    row("OS versions:", Versions(setup.minMajor, setup.minMinor, setup.maxMajor, setup.maxMinor));
    char builds[64];
    std::snprintf(builds, sizeof builds, "%u to %u (0x%08X)", setup.buildMin, setup.buildMax, setup.buildMax);
    row("OS builds:", builds);
    row("Unsupported platforms:", unsupported.empty() ? "none" : unsupported);
    row("Installs:", Count(setup.files, "file", "files") + " in " + Count(setup.directories, "directory", "directories") +
                         ", " + Count(setup.values, "registry value", "registry values") + " in " +
                         Count(setup.keys, "key", "keys") + ", " + Count(setup.shortcuts, "shortcut", "shortcuts"));
    std::printf("\n%-12s  %s\n", "Stored", "Installed as");
    for (size_t i = 0; i < installs; ++i) {
        std::string storedName = i < ce.storedNames.size() ? ce.storedNames[i] : "?";
        std::printf("%-12s  \\%s\n", Printable(storedName).c_str(), Printable(ce.devicePaths[i]).c_str());
    }
    return 0;
}

}  // namespace host
