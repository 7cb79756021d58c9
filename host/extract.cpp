// `mirad extract` and `mirad test`: one walk over the selected entries,
// each extracted under the target directory (or to standard output) or
// tested.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/commands.h"
#include "host/facts.h"
#include "host/module.h"
#include "host/output.h"
#include "host/pack_list.h"
#include "host/progress.h"
#include "support/paths.h"

namespace host {

namespace {

// An output path as this system compares file names.
std::string OutputKey(const std::string& path) { return kSeparator == '/' ? path : NameKey(path); }

// The entries written in this run by output name (below the one target
// directory): every name once in a pool of large blocks, found through a
// table of offsets, so a walk of 131,070 entries keeps a few bytes beside
// each name instead of a tree node and two strings.
class WrittenNames {
public:
    // The entry written under `key` earlier in this run, or null.
    const char* Find(const std::string& key) const {
        if (slots_.empty()) return nullptr;
        for (size_t i = Hash(key) & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
            if (slots_[i] == 0) return nullptr;
            const char* record = At(slots_[i] - 1);
            if (key == record) return EntryOf(record);
        }
    }
    // `name` is now the entry written under `key`.
    void Add(const std::string& key, const std::string& name) {
        if ((count_ + 1) * 2 > slots_.size()) Grow();
        uint32_t record = Store(key, name == key ? std::string() : name);
        size_t i = Hash(key) & (slots_.size() - 1);
        for (; slots_[i] != 0; i = (i + 1) & (slots_.size() - 1)) {
            if (key == At(slots_[i] - 1)) {
                slots_[i] = record + 1;
                return;
            }
        }
        slots_[i] = record + 1;
        ++count_;
    }

private:
    static constexpr uint32_t kBlock = 1u << 20;

    static size_t Hash(const char* text) {
        uint64_t h = 14695981039346656037ull;
        for (; *text; ++text) h = (h ^ static_cast<unsigned char>(*text)) * 1099511628211ull;
        return static_cast<size_t>(h ^ (h >> 32));
    }
    static size_t Hash(const std::string& text) { return Hash(text.c_str()); }
    // A record is the key, its NUL, then the entry's name and its NUL: an
    // empty name when it is the key itself.
    static const char* EntryOf(const char* record) {
        const char* name = record + std::strlen(record) + 1;
        return *name ? name : record;
    }
    const char* At(uint32_t offset) const { return blocks_[offset / kBlock].get() + offset % kBlock; }
    uint32_t Store(const std::string& key, const std::string& name) {
        size_t need = key.size() + name.size() + 2;
        if (blocks_.empty() || used_ + need > kBlock) {
            blocks_.emplace_back(new char[kBlock]);
            used_ = 0;
        }
        char* at = blocks_.back().get() + used_;
        std::memcpy(at, key.c_str(), key.size() + 1);
        std::memcpy(at + key.size() + 1, name.c_str(), name.size() + 1);
        uint32_t offset = static_cast<uint32_t>((blocks_.size() - 1) * kBlock + used_);
        used_ += need;
        return offset;
    }
    void Grow() {
        std::vector<uint32_t> old(slots_.empty() ? 1024 : slots_.size() * 2, 0);
        old.swap(slots_);
        for (uint32_t slot : old) {
            if (slot == 0) continue;
            size_t i = Hash(At(slot - 1)) & (slots_.size() - 1);
            while (slots_[i] != 0) i = (i + 1) & (slots_.size() - 1);
            slots_[i] = slot;
        }
    }

    std::vector<std::unique_ptr<char[]>> blocks_;
    size_t used_ = 0;
    std::vector<uint32_t> slots_;  // record offset + 1; 0 is free
    size_t count_ = 0;
};

// One extraction run: where entries go and what went wrong.
struct Extraction {
    const Options& options;
    const std::string& cabinet;
    const bool toStdout;
    std::unique_ptr<TempDirectory> scratch;  // what goes to standard output passes through here
    unsigned failures = 0, blockedByLinks = 0, entries = 0;
    // Listed name -> the stored name it comes from, for the names whose
    // leading separators the listing dropped.
    std::map<std::string, std::string> rooted = {};
    // Output name below the target directory (as this system compares file
    // names) -> the entry written there in this run.
    WrittenNames writtenBy = {};

    // Where entry `name` is written, and its parts below the target
    // directory; empty (said why, or kept) when it is not.
    std::string Destination(const std::string& name, std::vector<std::string>* parts, std::string* relative);
    // Extracts the entry the archive stands on; false when interrupted.
    bool Extract(Archive& archive, const EntryHeader& header);
    void Report(int32_t result, const std::string& name, const std::string& destination, const EntryHeader& header,
                const std::vector<std::string>& parts);
};

std::string Extraction::Destination(const std::string& name, std::vector<std::string>* parts, std::string* relative) {
    const std::string& dir = options.outputDir;
    // Through a file: the module only writes to paths.
    if (toStdout) return JoinPath(scratch->path, "entry");
    bool changed = false;
    *parts = SafeParts(name, &changed);
    if (parts->empty()) {
        Error("entry " + Quoted(name) + " of " + Quoted(cabinet) + " has no name left inside " + Quoted(dir) +
              "; skipped");
        ++failures;
        return "";
    }
    for (const std::string& part : *parts) *relative = relative->empty() ? part : JoinPath(*relative, part);
    auto lost = rooted.find(name);
    if (changed || lost != rooted.end()) {
        Warning("entry " + Quoted(lost != rooted.end() ? NativeSeparators(lost->second) : name) + " would leave " +
                Quoted(dir) + "; writing it as " + Quoted(*relative) + " inside it");
    }
    std::string destination = JoinPath(dir, *relative);
    if (destination.size() >= mirad::kPathSize) {
        Error("cannot extract " + Quoted(name) + ": the destination " + Quoted(destination) +
              " is longer than 259 characters");
        ++failures;
        return "";
    }
    const char* earlier = writtenBy.Find(OutputKey(*relative));
    if (earlier && !options.keepExisting) {
        Warning("entry " + Quoted(name) + " replaces entry " + Quoted(earlier) +
                ", written before it in this run as " + Quoted(destination));
    }
    if (options.keepExisting && PathExists(destination)) {
        if (!Quiet()) std::fprintf(stderr, "mirad: kept the existing %s (-n)\n", Printable(Quoted(destination)).c_str());
        return "";
    }
    return destination;
}

void Extraction::Report(int32_t result, const std::string& name, const std::string& destination,
                        const EntryHeader& header, const std::vector<std::string>& parts) {
    std::string blocked = result == MIRAD_ECREATE && !toStdout
                              ? BlockedWayBelow(options.outputDir, parts, parts.size() - 1)
                              : std::string();
    if (result == MIRAD_OK && toStdout && !CopyToStdout(destination)) {
        Error("cannot write " + Quoted(name) + " to standard output");
    } else if (!blocked.empty()) {
        Error("cannot extract " + Quoted(name) + ": " + blocked);
        ++blockedByLinks;
    } else if (result == MIRAD_ECREATE) {
        uint64_t size = header.packedSize == -1 ? 0 : static_cast<uint32_t>(header.packedSize);
        std::string why = WhyCannotCreate(destination, size);
        Error("cannot extract " + Quoted(name) + " to " + Quoted(destination) + ": " +
              (why.empty() ? "it could not be created or written" : why));
    } else if (result == MIRAD_BAD_DATA) {
        Error("cannot extract " + Quoted(name) + ": the data of " + Quoted(cabinet) + " is damaged (bad data)");
    } else if (result != MIRAD_OK) {
        Error("cannot extract " + Quoted(name) + " from " + Quoted(cabinet) + ": " + ResultText(result));
    } else {
        if (options.verbose) std::fprintf(toStdout ? stderr : stdout, "%s\n", Printable(toStdout ? name : destination).c_str());
        return;
    }
    ++failures;
}

bool Extraction::Extract(Archive& archive, const EntryHeader& header) {
    std::string name = EntryName(header);
    std::vector<std::string> parts;
    std::string relative;
    std::string destination = Destination(name, &parts, &relative);
    if (destination.empty()) return true;
    ++entries;
    int32_t result;
    if (toStdout) {
        std::remove(destination.c_str());
        StdoutToStderr quiet;  // the module's own remarks stay off standard output
        result = archive.Process(MIRAD_EXTRACT, destination);
    } else {
        // The module is given DIR and the name below it, so it reaches every
        // directory below DIR from the one above and follows no link there.
        std::string dir = options.outputDir;
        if (dir.back() != '/' && dir.back() != '\\') dir += kSeparator;
        result = archive.Process(MIRAD_EXTRACT, dir, relative);
    }
    bool stopped = result == MIRAD_ABORTED || Interrupted();
    if (!stopped) Report(result, name, destination, header, parts);
    if (result == MIRAD_OK && !toStdout) writtenBy.Add(OutputKey(relative), name);
    if (toStdout) std::remove(destination.c_str());
    return !stopped;
}

// A named document the cabinet has nothing for: say so instead of "not an
// entry". Counts the names it explained.
unsigned ExplainMissingDocuments(const std::string& cabinet, CabinetFacts& facts, bool* read, Selection& selection) {
    unsigned explained = 0;
    for (size_t i = 0; i < selection.wanted.size(); ++i) {
        std::string document = DocumentName(selection.wanted[i]);
        if (selection.found[i] || document.empty()) continue;
        if (!*read && !(*read = facts.Read(cabinet))) return explained;
        if (!facts.setup()) {
            Error(Quoted(cabinet) + " is not a CE installation cabinet (it has no setup file), so it has no " + document);
        } else if (!facts.Offers(document)) {
            Error(Quoted(cabinet) + " installs no registry values, so it has no " + document);
        } else {
            continue;
        }
        selection.found[i] = true;
        ++explained;
    }
    return explained;
}

// What build needs to make the cabinet again: the installed files by
// destination and ~Cab~.INF (the installed view), and beside the INF the
// setup DLL, a stored file the installed view does not list.
int ExtractSources(const Options& options) {
    Options installed = options;
    installed.sources = false;
    installed.viewGiven = true;
    for (bool& on : installed.view) on = false;
    installed.view[kExpandPath] = installed.view[kShowInfFile] = true;
    if (int status = CommandExtract(installed)) return status;
    CabinetFacts facts;
    if (!facts.Read(options.arguments[0])) return 0;
    for (const mirad::CabFileEntry& e : facts.cabinet().files()) {
        std::string name = e.name;
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".999") != 0) continue;
        Options stored = installed;
        for (bool& on : stored.view) on = false;
        stored.arguments = {options.arguments[0], name};
        return CommandExtract(stored);
    }
    return 0;
}

}  // namespace

int CommandExtract(const Options& options) {
    if (options.sources) return ExtractSources(options);
    const std::string& cabinet = options.arguments[0];
    Selection selection({options.arguments.begin() + 1, options.arguments.end()}, options.excludes);
    Extraction run{options, cabinet, options.outputDir == "-", nullptr};
    // Naming a document lists it for this run, whatever the view says.
    SettingsChanges changes = ChangesFrom(options);
    for (const std::string& name : selection.wanted) {
        int option = DocumentOption(name);
        if (option >= 0) changes.view[option] = 1;
    }
    if (!run.toStdout && !MakeDirectories(options.outputDir)) {
        std::string why = WhyCannotCreate(JoinPath(options.outputDir, ".mirad"), 0);
        Error("cannot create the directory " + Quoted(options.outputDir) + (why.empty() ? "" : ": " + why));
        return 1;
    }
    Session session;
    if (!session.Start(options, changes)) return 1;
    // The stored table says which names the listing cut their leading
    // separators from, and which stored files it passes over (no name).
    std::unique_ptr<CabinetFacts> facts(new CabinetFacts());
    bool factsRead = false;
    std::vector<size_t> nameless;
    if (!run.toStdout && facts->ReadStored(cabinet)) {
        const auto& files = facts->cabinet().files();
        for (size_t i = 0; i < files.size(); ++i) {
            std::string stored = files[i].name;
            if (mirad::NamesNoFile(files[i])) {
                nameless.push_back(i);
            } else if (stored[0] == '\\') {
                run.rooted.emplace(NativeSeparators(stored.substr(stored.find_first_not_of('\\'))), stored);
            }
        }
        // The setup file's tables are read, and held through the walk, only
        // when the end needs them: the module holds the same tables meanwhile.
        if (nameless.empty()) facts.reset(new CabinetFacts());
        else factsRead = facts->Read(cabinet);
    }
    if (run.toStdout) {
        run.scratch.reset(new TempDirectory());
        if (run.scratch->path.empty()) {
            Error("cannot create a temporary directory to extract through");
            return 1;
        }
    }
    auto extract = [&](Archive& archive, const EntryHeader& header, size_t) { return run.Extract(archive, header); };
    WalkEnd end = Walk(session, cabinet, selection, extract, StartProgress);
    if (end == WalkEnd::Refused) return 1;
    if (end == WalkEnd::Interrupted) return kInterruptedStatus;
    EndProgress();
    unsigned failures = run.failures + ExplainMissingDocuments(cabinet, *facts, &factsRead, selection);
    failures += selection.ReportMissing(cabinet);
    if (factsRead && !nameless.empty() && !facts->Installed(session.settings()) && selection.wanted.empty()) {
        for (size_t i : nameless) {
            Error("stored file " + std::to_string(i) + " of " + Quoted(cabinet) + " has no name; skipped");
            ++failures;
        }
    }
    if (run.blockedByLinks && !Quiet()) {
        std::fprintf(stderr, "mirad: %u of %u entries not extracted, %u of them behind a link or file on the way in\n",
                     failures, run.entries, run.blockedByLinks);
    }
    return failures ? 1 : 0;
}

int CommandTest(const Options& options) {
    const std::string& cabinet = options.arguments[0];
    Selection selection({options.arguments.begin() + 1, options.arguments.end()}, options.excludes);
    Session session;
    if (!session.Start(options, ChangesFrom(options))) return 1;
    unsigned tested = 0, failed = 0;
    auto test = [&](Archive& archive, const EntryHeader& header, size_t) {
        int32_t result = archive.Process(MIRAD_TEST);
        if (result == MIRAD_ABORTED || Interrupted()) return false;
        ++tested;
        std::string name = EntryName(header);
        if (result != MIRAD_OK) {
            ++failed;
            Error(Quoted(name) + " in " + Quoted(cabinet) + " failed the test: " + ResultText(result));
        } else if (options.verbose) {
            std::printf("OK  %s\n", Printable(name).c_str());
        }
        return true;
    };
    WalkEnd end = Walk(session, cabinet, selection, test);
    if (end == WalkEnd::Refused) return 1;
    if (end == WalkEnd::Interrupted) return kInterruptedStatus;
    failed += selection.ReportMissing(cabinet);
    if (failed) {
        Error(std::to_string(failed) + " of " + std::to_string(tested) + " entries in " + Quoted(cabinet) +
              " failed the test");
        return 1;
    }
    if (!Quiet()) std::printf("%s: all %u entries tested OK\n", Printable(cabinet).c_str(), tested);
    return 0;
}

}  // namespace host
