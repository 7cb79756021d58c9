// What the host learns about a cabinet by reading its header itself: enough
// to say why the module refused it, and the per-folder compression and the
// stored-file table that `info` and `list --long` show. The module's answer
// always comes first; this only explains it.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "host/host.h"

namespace host {

namespace {

uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

struct File {
    std::FILE* f = nullptr;
    ~File() {
        if (f) std::fclose(f);
    }
    bool ReadAt(uint64_t offset, void* buffer, size_t size) {
        if (std::fseek(f, static_cast<long>(offset), SEEK_SET) != 0) return false;
        return std::fread(buffer, 1, size, f) == size;
    }
    // A NUL-terminated string of at most 256 bytes; false when it runs out.
    bool StringAt(uint64_t* offset, std::string* text) {
        text->clear();
        if (std::fseek(f, static_cast<long>(*offset), SEEK_SET) != 0) return false;
        for (int i = 0; i < 257; ++i) {
            int c = std::fgetc(f);
            if (c == EOF) return false;
            ++*offset;
            if (c == 0) return true;
            *text += static_cast<char>(c);
        }
        return false;
    }
};

std::string Plural(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string CompressionName(uint16_t typeCompress) {
    switch (typeCompress & 0x0F) {
        case 0: return "none";
        case 1: return "MSZIP";
        case 2: return "Quantum";
        case 3: return "LZX";
        default: return "unknown method " + std::to_string(typeCompress & 0x0F);
    }
}

CabinetFacts ReadCabinetFacts(const std::string& path, bool tables) {
    CabinetFacts facts;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        facts.openError = errno;
        return facts;
    }
    if (S_ISDIR(info.st_mode)) {
        facts.openError = EISDIR;
        return facts;
    }
    if (!S_ISREG(info.st_mode)) {
        // Pipes, terminals and devices: a cabinet is read by position.
        facts.seekable = false;
        return facts;
    }
    File file;
    errno = 0;
    file.f = std::fopen(path.c_str(), "rb");
    if (!file.f) {
        facts.openError = errno ? errno : EIO;
        return facts;
    }
    facts.opened = true;
    facts.length = static_cast<uint64_t>(info.st_size);
    if (!tables) return facts;
    unsigned char head[36] = {};
    size_t got = std::fread(head, 1, sizeof head, file.f);
    facts.signature = got >= 4 && std::memcmp(head, "MSCF", 4) == 0;
    if (!facts.signature || got < sizeof head) return facts;
    facts.headerComplete = true;
    facts.cbCabinet = Le32(head + 8);
    facts.coffFiles = Le32(head + 16);
    facts.cFolders = Le16(head + 26);
    facts.cFiles = Le16(head + 28);
    facts.flags = Le16(head + 30);
    facts.setID = Le16(head + 32);
    facts.iCabinet = Le16(head + 34);

    uint64_t pos = 36;
    unsigned cbCFFolder = 0;
    if (facts.flags & 4) {
        unsigned char sizes[4];
        if (!file.ReadAt(pos, sizes, 4)) return facts;
        pos += 4 + Le16(sizes);
        cbCFFolder = sizes[2];
    }
    // Names of the neighbouring cabinets of a multi-part set, each followed
    // by its disk name.
    std::string disk;
    if ((facts.flags & 1) && !(file.StringAt(&pos, &facts.previousCabinet) && file.StringAt(&pos, &disk))) return facts;
    if ((facts.flags & 2) && !(file.StringAt(&pos, &facts.nextCabinet) && file.StringAt(&pos, &disk))) return facts;
    for (unsigned i = 0; i < facts.cFolders; ++i) {
        unsigned char raw[8];
        if (!file.ReadAt(pos, raw, sizeof raw)) return facts;
        CabinetFacts::Folder folder;
        folder.coffCabStart = Le32(raw);
        folder.cCFData = Le16(raw + 4);
        folder.typeCompress = Le16(raw + 6);
        facts.folders.push_back(folder);
        pos += 8 + cbCFFolder;
    }
    facts.foldersComplete = true;
    pos = facts.coffFiles;
    for (unsigned i = 0; i < facts.cFiles; ++i) {
        unsigned char raw[16];
        CabinetFacts::StoredEntry entry;
        if (!file.ReadAt(pos, raw, sizeof raw)) return facts;
        pos += 16;
        entry.cbFile = Le32(raw);
        entry.uoffFolderStart = Le32(raw + 4);
        entry.iFolder = Le16(raw + 8);
        entry.attribs = Le16(raw + 14);
        if (!file.StringAt(&pos, &entry.name)) return facts;
        for (char& c : entry.name) {
            if (c == '/') c = '\\';
        }
        facts.files.push_back(entry);
    }
    facts.filesComplete = true;
    return facts;
}

std::string ExplainRefusal(const std::string& cabinet, const CabinetFacts& facts) {
    const std::string name = "'" + cabinet + "'";
    if (facts.openError) return "cannot open " + name + ": " + std::strerror(facts.openError);
    if (!facts.seekable) {
        return "cannot read " + name + ": it is a pipe or device, and a cabinet is read by position "
               "(save it to a file first)";
    }
    if (!facts.opened) return "";
    if (facts.length == 0) return name + " is empty (0 bytes), not a cabinet";
    if (!facts.signature) return name + " is not a cabinet (it does not start with \"MSCF\")";
    if (!facts.headerComplete) {
        return name + " is truncated: it ends inside the cabinet header (" + Plural(facts.length, "byte", "bytes") +
               ")";
    }
    if (facts.cbCabinet > facts.length) {
        return name + " is truncated by " + Plural(facts.cbCabinet - facts.length, "byte", "bytes") +
               " (the cabinet says " + std::to_string(facts.cbCabinet) + ", the file has " +
               std::to_string(facts.length) + ")";
    }
    if ((facts.flags & 3) || facts.iCabinet != 0) {
        std::string sentence = name + " is part " + std::to_string(facts.iCabinet + 1) + " of a multi-part set";
        const std::string& before = facts.previousCabinet;
        const std::string& after = facts.nextCabinet;
        if (!before.empty() && !after.empty()) sentence += " (it follows '" + before + "' and continues in '" + after + "')";
        else if (!before.empty()) sentence += " (it follows '" + before + "')";
        else if (!after.empty()) sentence += " (it continues in '" + after + "')";
        return sentence + "; multi-part sets are not supported";
    }
    // Compression methods the module does not read (it reads MSZIP), named:
    // one such folder refuses the whole cabinet.
    std::vector<std::string> methods;
    unsigned otherFolders = 0;
    for (const CabinetFacts::Folder& folder : facts.folders) {
        uint16_t type = folder.typeCompress & 0x0F;
        if (type == 0 || type == 1) continue;
        ++otherFolders;
        std::string method = CompressionName(type);
        if (std::find(methods.begin(), methods.end(), method) == methods.end()) methods.push_back(method);
    }
    if (!methods.empty()) {
        std::string list, named;  // "LZX and Quantum", "LZX- and Quantum-compressed"
        bool known = true;
        for (size_t i = 0; i < methods.size(); ++i) {
            const char* joint = i + 1 == methods.size() ? "" : i + 2 == methods.size() ? " and " : ", ";
            list += methods[i] + joint;
            named += methods[i] + (*joint ? "-" + std::string(joint) : "-compressed");
            known = known && methods[i].find(' ') == std::string::npos;
        }
        return name + " is compressed with " + list + " (" + Plural(otherFolders, "folder", "folders") + " of " +
               std::to_string(facts.folders.size()) + "): " +
               (known ? named + " cabinets are not supported" : "that compression is not supported");
    }
    if (facts.cbCabinet < facts.length) {
        return name + " has " + Plural(facts.length - facts.cbCabinet, "byte", "bytes") +
               " after the end of the cabinet (the cabinet says " + std::to_string(facts.cbCabinet) +
               ", the file has " + std::to_string(facts.length) + ")";
    }
    if (!facts.foldersComplete) return name + " is damaged: its folder table is cut short";
    if (facts.cFolders == 0 || facts.cFiles == 0) return name + " is damaged: it holds no folders or no files";
    if (!facts.filesComplete) return name + " is damaged: its file table is cut short or lies outside the file";
    return "";
}

}  // namespace host
