// Why a cabinet is refused, in a sentence naming it: what the file shows of
// itself (its length, header, neighbours, folders) explains most refusals;
// the reason the layers give explains the rest.
#include <algorithm>
#include <string>
#include <vector>

#include "cabinet/decoder.h"
#include "host/facts.h"
#include "host/os.h"
#include "host/output.h"
#include "interface/exports.h"
#include "support/paths.h"

namespace host {

namespace {

std::string MultiPart(const std::string& name, const mirad::CabinetSurvey& s) {
    std::string sentence = name + " is part " + std::to_string(s.header.iCabinet + 1) + " of a multi-part set";
    const std::string& before = s.previousCabinet;
    const std::string& after = s.nextCabinet;
    if (!before.empty() && !after.empty()) sentence += " (it follows '" + before + "' and continues in '" + after + "')";
    else if (!before.empty()) sentence += " (it follows '" + before + "')";
    else if (!after.empty()) sentence += " (it continues in '" + after + "')";
    return sentence + "; multi-part sets are not supported";
}

// Compression methods the module does not read, named: one such folder
// refuses the whole cabinet. Empty when every folder is readable.
std::string Compressed(const std::string& name, const mirad::CabinetSurvey& s) {
    std::vector<std::string> methods;
    unsigned otherFolders = 0;
    for (const mirad::CabFolder& folder : s.folders) {
        if (mirad::CanDecode(mirad::CompressionMethod(folder.typeCompress))) continue;
        ++otherFolders;
        std::string method = MethodName(folder.typeCompress);
        if (std::find(methods.begin(), methods.end(), method) == methods.end()) methods.push_back(method);
    }
    if (methods.empty()) return "";
    std::string list, named;  // "LZX and Quantum", "LZX- and Quantum-compressed"
    bool known = true;
    for (size_t i = 0; i < methods.size(); ++i) {
        const char* joint = i + 1 == methods.size() ? "" : i + 2 == methods.size() ? " and " : ", ";
        list += methods[i] + joint;
        named += methods[i] + (*joint ? "-" + std::string(joint) : "-compressed");
        known = known && methods[i].find(' ') == std::string::npos;
    }
    return name + " is compressed with " + list + " (" + Count(otherFolders, "folder", "folders") + " of " +
           std::to_string(s.folders.size()) + "): " +
           (known ? named + " cabinets are not supported" : "that compression is not supported");
}

std::string Lengths(const mirad::CabinetSurvey& s) {
    return "(the cabinet says " + std::to_string(s.header.cbCabinet) + ", the file has " + std::to_string(s.length) +
           ")";
}

// What the file shows of itself; empty when that explains nothing.
std::string Explain(const std::string& name, const mirad::CabinetSurvey& s) {
    if (s.length == 0) return name + " is empty (0 bytes), not a cabinet";
    if (!s.signature) return name + " is not a cabinet (it does not start with \"MSCF\")";
    if (!s.headerComplete) {
        return name + " is truncated: it ends inside the cabinet header (" + Count(s.length, "byte", "bytes") + ")";
    }
    if (s.header.cbCabinet > s.length) {
        return name + " is truncated by " + Count(s.header.cbCabinet - s.length, "byte", "bytes") + " " + Lengths(s);
    }
    uint16_t neighbours = mirad::cfhead::FlagPrevCabinet | mirad::cfhead::FlagNextCabinet;
    if ((s.header.flags & neighbours) || s.header.iCabinet != 0) return MultiPart(name, s);
    std::string compressed = Compressed(name, s);
    if (!compressed.empty()) return compressed;
    if (s.header.cbCabinet < s.length) {
        return name + " has " + Count(s.length - s.header.cbCabinet, "byte", "bytes") +
               " after the end of the cabinet " + Lengths(s);
    }
    if (!s.foldersComplete) return name + " is damaged: its folder table is cut short";
    if (s.header.cFolders == 0 || s.header.cFiles == 0) return name + " is damaged: it holds no folders or no files";
    if (!s.filesComplete) return name + " is damaged: its file table is cut short or lies outside the file";
    return "";
}

// The reason the layers give, with the offset where they found it.
std::string Reason(const mirad::Error& error) {
    std::string reason = error.reason;
    if (error.offset != mirad::Error::kNoOffset) reason += " at offset " + std::to_string(error.offset);
    return reason;
}

}  // namespace

std::string WhyNotOpened(const std::string& cabinet) {
    bool notSeekable = false;
    std::string why = WhyNotReadable(cabinet, &notSeekable);
    if (why.empty()) return "";
    if (notSeekable) {
        return "cannot read " + Quoted(cabinet) +
               ": it is a pipe or device, and a cabinet is read by position (save it to a file first)";
    }
    return "cannot open " + Quoted(cabinet) + ": " + why;
}

std::string WhyRefused(const std::string& cabinet, int32_t code) {
    std::string sentence = WhyNotOpened(cabinet);
    if (sentence.empty()) sentence = Explain(Quoted(cabinet), Survey(cabinet));
    if (!sentence.empty()) return sentence;
    CabinetFacts facts;
    bool read = facts.Read(cabinet);
    switch (code) {
        case MIRAD_EOPEN: {
            std::string why = WhyCannotRead(cabinet);
            if (why.empty() && cabinet.size() >= mirad::kPathSize) why = "the path is longer than 259 characters";
            return "cannot open " + Quoted(cabinet) + ": " + (why.empty() ? "the module could not open it" : why);
        }
        case MIRAD_BAD_DATA:
            if (!read && facts.error().Is(mirad::ErrorKind::BadData))
                return Quoted(cabinet) + " is damaged (" + Reason(facts.error()) + ")";
            return Quoted(cabinet) + " is damaged (bad data)";
        case MIRAD_UNKNOWN_FORMAT:
            return Quoted(cabinet) + " is a cabinet Mirad does not read";
        case MIRAD_NO_MEMORY:
            return "not enough memory to open " + Quoted(cabinet);
        default:
            return "cannot open " + Quoted(cabinet) + ": " + ResultText(code);
    }
}

}  // namespace host
