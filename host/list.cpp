// `mirad list`: one line per entry the module lists, with --long and --json
// what the cabinet's layers say of each file's stored bytes.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/commands.h"
#include "host/facts.h"
#include "host/module.h"
#include "host/output.h"
#include "host/progress.h"

namespace host {

namespace {

// What --long and --json add to a listed entry.
struct Detail {
    const mirad::CabFileEntry* stored = nullptr;  // the stored file that holds its bytes
    bool file = false;                            // not a shortcut or document
};

std::string EntryKind(const EntryHeader& header, const Detail& detail) {
    if (detail.file) return "file";
    return IsDocumentName(EntryName(header)) ? "document" : "shortcut";
}

std::string LongLine(const EntryHeader& header, const Detail& detail) {
    char extra[320];
    if (detail.stored) {
        const mirad::CabFileEntry& s = *detail.stored;
        std::snprintf(extra, sizeof extra, "0x%04x  %6u  %10u  %-12s  ", s.attribs, s.iFolder, s.uoffFolderStart,
                      s.name);
    } else {
        std::snprintf(extra, sizeof extra, "0x%04x  %6s  %10s  %-12s  ",
                      static_cast<unsigned>(EntryAttributeBits(header.fileAttributes)), "-", "-", "-");
    }
    return FormatEntry(header, extra);
}

std::string JsonEntry(const EntryHeader& header, const Detail& detail) {
    const mirad::CabFileEntry* s = detail.stored;
    const std::string& time = EntryTime(header.fileTime, true);
    std::string json = "{\"name\": " + JsonString(EntryName(header)) + ", \"type\": \"" + EntryKind(header, detail) + "\"";
    json += ", \"size\": " +
            (UnmeasuredDocument(header) ? std::string("null") : std::to_string(static_cast<uint32_t>(header.packedSize)));
    json += ", \"modified\": " + (time.empty() ? std::string("null") : "\"" + time + "\"");
    json += ", \"attributes\": " + std::to_string(s ? s->attribs : EntryAttributeBits(header.fileAttributes));
    json += ", \"attributeLetters\": \"" + AttributeLetters(header.fileAttributes) + "\"";
    if (s) {
        json += ", \"storedName\": " + JsonString(s->name) + ", \"folder\": " + std::to_string(s->iFolder) +
                ", \"offset\": " + std::to_string(s->uoffFolderStart);
    } else {
        json += ", \"storedName\": null, \"folder\": null, \"offset\": null";
    }
    return json + "}";
}

void PrintJson(const std::string& cabinet, const std::vector<std::string>& entries) {
    std::printf("{\"cabinet\": %s, \"entries\": [", JsonString(cabinet).c_str());
    for (size_t i = 0; i < entries.size(); ++i) std::printf("%s\n  %s", i ? "," : "", entries[i].c_str());
    std::printf("%s]}\n", entries.empty() ? "" : "\n");
}

}  // namespace

int CommandList(const Options& options) {
    const std::string& cabinet = options.arguments[0];
    Selection selection({options.arguments.begin() + 1, options.arguments.end()}, options.excludes);
    Session session;
    if (!session.Start(options, ChangesFrom(options))) return 1;
    const bool detailed = options.longFormat || options.json;
    CabinetFacts facts;
    // Only the detailed forms need the views in force, to tell which entries are files.
    const mirad::Settings settings = detailed ? session.settings() : mirad::BuiltInSettings();
    // The module refuses what its layers refuse, and the walk says why.
    if (detailed) facts.Read(cabinet);
    const bool terminal = !options.json && StdoutIsTerminal();
    std::vector<std::string> json;
    uint64_t totalBytes = 0;
    unsigned count = 0;
    auto show = [&](Archive&, const EntryHeader& header, size_t index) {
        ++count;
        if (!UnmeasuredDocument(header)) totalBytes += static_cast<uint32_t>(header.packedSize);
        Detail detail;
        if (detailed) {
            int32_t stored = facts.StoredFileOf(settings, index);
            if (stored >= 0) detail.stored = &facts.cabinet().files()[static_cast<size_t>(stored)];
            detail.file = index < facts.FileEntries(settings);
        }
        if (options.json) json.push_back(JsonEntry(header, detail));
        else if (options.longFormat) PrintLine(LongLine(header, detail));
        else PrintLine(FormatEntry(header));
        return true;
    };
    auto printHeader = [&] {
        if (!terminal) return;
        std::printf("%11s  %-19s  %-4s  %s%s\n", "Size", "Modified", "Attr",
                    options.longFormat ? "Bits    Folder      Offset  Stored        " : "", "Name");
    };
    WalkEnd end = Walk(session, cabinet, selection, show, printHeader);
    if (end == WalkEnd::Refused) return 1;
    if (end == WalkEnd::Interrupted) return kInterruptedStatus;
    if (options.json) PrintJson(cabinet, json);
    if (terminal) {
        std::printf("%s entr%s, %llu bytes\n", std::to_string(count).c_str(), count == 1 ? "y" : "ies",
                    static_cast<unsigned long long>(totalBytes));
    }
    return selection.ReportMissing(cabinet) ? 1 : 0;
}

}  // namespace host
