// Building a CE cabinet from an INF:
// - the INF is read and turned into setup-file records (inf_setup.h) before
//   anything is looked up on disk;
// - every source is found below its [SourceDisksNames] directory, relative
//   to the INF's folder or to the source directory given; names compare
//   without regard to case, since real INFs spell one file two ways; an
//   absolute "C:\..." directory is searched as given on Windows and, on
//   POSIX, below the source directory with the drive as a folder name; with
//   a source directory given, no source may lie outside it;
// - stored dates are the sources' dates, the setup file's is the INF's;
// - the cabinet is written as pack writes one: under a temporary name,
//   renamed into place when complete.
#include "documents/inf_build.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "documents/inf_setup.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "platform/safe_files.h"
#include "cabinet/transaction.h"
#include "documents/documents.h"
#include "setup/model.h"
#include "support/io.h"
#include "support/log.h"
#include "support/output.h"
#include "support/settings.h"

namespace mirad {

namespace {

// No wizard INF comes near this; a larger file is not read into memory.
constexpr uint64_t kMaxInfSize = 16u * 1024u * 1024u;
constexpr uint32_t kKeptAttributes = 0x01 | 0x02 | 0x04 | 0x20;
constexpr uint32_t kDirectoryAttribute = 0x10;

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

std::string Folder(const std::string& path) {
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string Join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return IsSeparator(dir.back()) ? dir + name : dir + kSeparator + name;
}

std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> out;
    std::string part;
    for (char c : path) {
        if (IsSeparator(c)) {
            if (!part.empty()) out.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) out.push_back(part);
    return out;
}

bool SameNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && SameTextNoCase(a.c_str(), b.c_str(), a.size());
}

// `base` joined with `parts`, each part that does not exist as written
// taken as the first entry of its folder that matches it ignoring case.
bool FindIgnoringCase(const std::string& base, const std::vector<std::string>& parts, std::string* found) {
    std::string path = base;
    for (const std::string& part : parts) {
        std::string next = Join(path, part);
        IoFound data;
        if (!IoFind(next.c_str(), &data)) {
            std::vector<std::string> names;
            if (!IoList(path.empty() ? "." : path.c_str(), &names)) return false;
            bool matched = false;
            for (const std::string& n : names) {
                if (SameNoCase(n, part)) {
                    next = Join(path, n);
                    matched = true;
                    break;
                }
            }
            if (!matched) return false;
        }
        path = next;
    }
    *found = path;
    return true;
}

std::string Message(const std::string& inf, uint32_t line, const std::string& what) {
    return line ? inf + ":" + std::to_string(line) + ": " + what : inf + ": " + what;
}

class Build {
public:
    Build(const char* infPath, const InfBuildOptions& o, InfReport* r) : infPath_(infPath), o_(o), r_(r) {
        name_ = infPath_.substr(Folder(infPath_).size());
    }

    Error Fail(uint32_t line, const std::string& what) {
        if (r_->error.empty()) r_->error = Message(name_, line, what);
        return BadData("INF");
    }

    // The path of a source, or a failure naming where it was sought.
    Error Locate(const InfSourceFile& source, std::string* path, uint16_t* date, uint16_t* time, uint16_t* attribs,
                 uint32_t* size);

    std::string infPath_, name_;
    const InfBuildOptions& o_;
    InfReport* r_;
};

Error Build::Locate(const InfSourceFile& source, std::string* path, uint16_t* date, uint16_t* time,
                    uint16_t* attribs, uint32_t* size) {
    const std::string& dir = source.directory;
    std::string base = o_.sourceDir.empty() ? Folder(infPath_) : o_.sourceDir;
    std::vector<std::string> parts;
    bool drive = dir.size() >= 2 && ((dir[0] >= 'A' && dir[0] <= 'Z') || (dir[0] >= 'a' && dir[0] <= 'z')) &&
                 dir[1] == ':';
    std::string shown = dir;
#ifdef _WIN32
    if (drive) {
        base = dir.substr(0, 2) + "\\";
        parts = Components(dir.substr(2));
    }
#else
    if (drive) {
        // No drives here: the drive letter is a folder below the source directory.
        parts.push_back(dir.substr(0, 1));
        for (const std::string& p : Components(dir.substr(2))) parts.push_back(p);
        r_->warnings.push_back(Message(name_, source.line, "the directory " + dir + " is read as " +
                                                                Join(base.empty() ? "." : base, dir.substr(0, 1)) +
                                                                dir.substr(2)));
        LogMessage("%s", r_->warnings.back().c_str());
    }
#endif
    if (!drive) parts = Components(dir);
    // ".." goes up within the path; with a source directory given it may
    // not leave it.
    std::vector<std::string> resolved;
    size_t above = 0;
    for (const std::string& p : parts) {
        if (p == ".") continue;
        if (p == "..") {
            if (!resolved.empty()) {
                resolved.pop_back();
            } else {
                ++above;
            }
            continue;
        }
        resolved.push_back(p);
    }
    if (above && !o_.sourceDir.empty())
        return Fail(source.line, "the source \"" + source.name + "\" lies outside the source directory " + o_.sourceDir);
    for (size_t k = 0; k < above; ++k) base = Join(base, "..");
    resolved.push_back(source.name);
    IoFound data;
    if (!FindIgnoringCase(base, resolved, path) || !IoFind(path->c_str(), &data) ||
        (data.attributes & kDirectoryAttribute)) {
        resolved.pop_back();
        std::string searched = base.empty() ? std::string(".") : base;
        for (const std::string& p : resolved) searched = Join(searched, p);
        return Fail(source.line, "cannot find the source \"" + source.name + "\" (searched " + searched + ")");
    }
    if (data.size > UINT32_MAX) return Fail(source.line, "the source \"" + source.name + "\" is 4 GiB or more");
    *size = static_cast<uint32_t>(data.size);
    *date = data.dosDate;
    *time = data.dosTime;
    *attribs = static_cast<uint16_t>(data.attributes & kKeptAttributes);
    return kOk;
}

bool ReadWhole(const char* path, std::vector<uint8_t>* bytes) {
    IoHandle f(IoOpen(path, IoMode::Read));
    uint64_t size = 0;
    if (!f || !IoSize(f.get(), &size) || size > kMaxInfSize) return false;
    bytes->resize(static_cast<size_t>(size));
    return IoReadExact(f.get(), bytes->data(), bytes->size());
}

}  // namespace

bool IsCeInf(const char* path, uint32_t codePage) {
    std::vector<uint8_t> bytes;
    if (!ReadWhole(path, &bytes)) return false;
    InfOptions o;
    o.name = path;
    o.codePage = codePage;
    InfText doc;
    InfReport report;
    if (!ParseInfText(bytes.data(), bytes.size(), o, &doc, &report)) return false;
    const InfSection* version = doc.Find("Version");
    if (!version) return false;
    for (const InfEntry& e : version->entries)
        if (e.hasKey && SameNoCase(e.key, "CESignature") && !e.fields.empty() && SameNoCase(e.fields[0], "$Windows CE$"))
            return true;
    return false;
}

Error PlanCabinetFromInf(const char* cabinetPath, const char* infPath, const InfBuildOptions& options,
                         InfBuildPlan* plan, InfReport* report) {
    Build b(infPath, options, report);
    try {
        std::vector<uint8_t> text;
        if (!ReadWhole(infPath, &text)) {
            report->error = b.name_ + ": cannot read the INF (or it is larger than 16 MiB)";
            return CannotOpen("INF");
        }
        InfOptions io;
        io.name = b.name_;
        io.cpu = options.cpu;
        io.strict = options.strict;
        io.codePage = options.codePage;
        CeInf inf;
        SetupModel model;
        std::vector<InfStoredFile> files;
        if (!ReadCeInf(text.data(), text.size(), io, &inf, report) ||
            !SetupModelFromInf(inf, io, &model, &files, report))
            return BadData("INF");
        if (WriteSetupModel(model, &plan->setupBytes)) {
            report->error = b.name_ + ": the setup file would pass its format's limits";
            return BadData("INF");
        }

        // The setup file first, named after the cabinet; then the setup DLL
        // and the installed files.
        plan->entries.clear();
        plan->paths.clear();
        std::string cabName = std::string(cabinetPath).substr(Folder(cabinetPath).size());
        if (cabName.size() > 4 && SameNoCase(cabName.substr(cabName.size() - 4), ".cab"))
            cabName.resize(cabName.size() - 4);
        PackEntry setup;
        setup.storedName = ShortStem(cabName, true) + ".000";
        IoFound infData;
        if (IoFind(infPath, &infData)) {
            setup.date = infData.dosDate;
            setup.time = infData.dosTime;
        }
        setup.attribs = 0x20;
        setup.cbFile = static_cast<uint32_t>(plan->setupBytes.size());
        plan->entries.push_back(setup);

        auto add = [&](const InfSourceFile& source, uint16_t number) -> Error {
            PackEntry e;
            std::string path;
            if (Error le = b.Locate(source, &path, &e.date, &e.time, &e.attribs, &e.cbFile)) return le;
            e.storedName = StoredFileName(source.name, number);
            plan->paths.push_back(path);
            plan->entries.push_back(e);
            return kOk;
        };
        if (!inf.setupDll.empty())
            if (Error e = add(*FindSource(inf, inf.setupDll), 999)) return e;
        for (const InfStoredFile& f : files)
            if (Error e = add(*f.source, f.fileId)) return e;
        // The paths stay where they are now: the entries point at them.
        plan->entries[0].bytes = &plan->setupBytes;
        for (size_t i = 1; i < plan->entries.size(); ++i) plan->entries[i].listName = plan->paths[i - 1].c_str();
        return kOk;
    } catch (const std::bad_alloc&) {
        report->error = b.name_ + ": out of memory";
        return NoMemory("INF build");
    }
}

namespace {

// Device paths keep "\\" whatever the host.
std::string DestinationName(const char* destPath) {
    const char* cut = std::strrchr(destPath, '\\');
    return cut ? cut + 1 : destPath;
}

// The installed file of `cabinet` a source of ~Cab~.INF stands for: the
// copy-file in the source's directory under its destination name or its
// stored name (the script names sources either way, as the view did);
// -1 when none.
int32_t InstalledSource(const Cabinet& cabinet, const CeSetup& setup, const InfSourceFile& source) {
    const auto& files = cabinet.files();
    for (const SetupCopyFile& c : setup.copyFiles()) {
        if (c.noStoredFile || c.entryIndex >= files.size()) continue;
        int32_t d = setup.FindDirectory(c.directoryId);
        if (d < 0 || !SameNoCase(setup.directories()[d].path, source.directory)) continue;
        if (SameNoCase(DestinationName(c.destPath), source.name) || SameNoCase(files[c.entryIndex].name, source.name))
            return c.entryIndex;
    }
    return -1;
}

}  // namespace

Error RebuildFromInfScript(const std::string& name, const std::string& path, const Cabinet& cabinet,
                           std::unique_ptr<CeSetup> owned, DocumentEdit* edit) {
    const CeSetup& setup = *owned;
    InfBuildOptions options;
    options.codePage = CurrentSettings()->CodePage;
    InfReport report;
    Build b(path.c_str(), options, &report);
    b.name_ = name;
    auto fail = [&report](Error e) {
        for (const std::string& w : report.warnings) LogMessage("%s", w.c_str());
        LogMessage("%s", report.error.c_str());
        return e;
    };
    try {
        std::vector<uint8_t> text;
        if (!ReadWhole(path.c_str(), &text)) {
            report.error = name + ": cannot read " + path + " (or it is larger than 16 MiB)";
            return fail(CannotOpen("INF"));
        }
        InfOptions io;
        io.name = name;
        io.codePage = options.codePage;
        CeInf inf;
        SetupModel model;
        std::vector<InfStoredFile> files;
        if (!ReadCeInf(text.data(), text.size(), io, &inf, &report) ||
            !SetupModelFromInf(inf, io, &model, &files, &report))
            return fail(BadData("INF"));

        // Where each stored file of the new cabinet comes from: the files
        // beside the script first, then the cabinet. A file the cabinet
        // installs keeps its stored name, date and attributes (and number).
        const auto& old = cabinet.files();
        std::vector<PackEntry> kept = KeptEntries(cabinet);
        std::vector<int32_t> entryOf(files.size() + 1, -1);  // stored file per INF file (0: the setup DLL)
        std::vector<std::string> found(files.size() + 1);    // a source beside the script, or ""
        std::vector<PackEntry> probe(files.size() + 1);       // its size, date and attributes
        std::set<int32_t> numbers;                            // numbers kept entries carry
        // Whether the INF file `k` has a source here or in the cabinet.
        auto locate = [&](const InfSourceFile& source, size_t k) {
            PackEntry& p = probe[k];
            Error e = b.Locate(source, &found[k], &p.date, &p.time, &p.attribs, &p.cbFile);
            report.error.clear();
            if (e) found[k].clear();
            return !e || entryOf[k] >= 0;
        };
        if (!inf.setupDll.empty()) {
            const InfSourceFile* dll = FindSource(inf, inf.setupDll);
            for (size_t i = 1; i < old.size() && entryOf[0] < 0; ++i)
                if (SameNoCase(old[i].name, dll->name)) entryOf[0] = static_cast<int32_t>(i);
            if (!locate(*dll, 0)) {
                report.error = Message(name, dll->line, "cannot find the setup DLL \"" + dll->name + "\" beside " + name +
                                                            " or in the cabinet");
                return fail(BadData("INF"));
            }
        }
        for (size_t k = 0; k < files.size(); ++k) {
            entryOf[k + 1] = InstalledSource(cabinet, setup, *files[k].source);
            if (!locate(*files[k].source, k + 1)) {
                report.error = Message(name, files[k].source->line,
                                       "cannot find the source \"" + files[k].source->name + "\" beside " + name +
                                           " or in the cabinet");
                return fail(BadData("INF"));
            }
            if (entryOf[k + 1] >= 0) numbers.insert(NumericSuffix(old[entryOf[k + 1]].name));
        }
        // Stored files the old setup file neither installs nor names as its
        // DLL stay as they are: the script cannot speak of them.
        std::vector<bool> installed(old.size(), false);
        installed[0] = true;
        for (const SetupCopyFile& c : setup.copyFiles())
            if (!c.noStoredFile && c.entryIndex < old.size()) installed[c.entryIndex] = true;
        for (size_t i = 1; i < old.size(); ++i) {
            size_t n = std::strlen(old[i].name);
            bool dll = n >= 4 && std::memcmp(old[i].name + n - 4, ".999", 4) == 0;
            if (!installed[i] && !dll) numbers.insert(NumericSuffix(old[i].name));
        }

        // File numbers: a kept stored file's, else the next one free.
        std::vector<uint16_t> number(files.size() + 1, 0);
        std::map<int32_t, uint16_t> numberOfEntry;
        uint16_t next = 1;
        for (size_t k = 1; k <= files.size(); ++k) {
            if (entryOf[k] >= 0) {
                number[k] = static_cast<uint16_t>(NumericSuffix(old[entryOf[k]].name));
                continue;
            }
            while (numbers.count(next)) ++next;
            if (next > kMaxInstalledFiles) {
                report.error = Message(name, files[k - 1].source->line, "no file number is free for this file");
                return fail(BadData("INF"));
            }
            number[k] = next;
            numbers.insert(next);
        }
        std::map<uint16_t, uint16_t> renumbered;  // the builder's id -> the stored file's number
        for (size_t k = 1; k <= files.size(); ++k) renumbered[files[k - 1].fileId] = number[k];
        for (SetupModel::CopyFile& c : model.copyFiles) c.fileId = c.word = renumbered[c.fileId];
        for (SetupModel::Shortcut& sc : model.shortcuts)
            if (sc.targetIsFile) sc.targetId = renumbered[sc.targetId];
        if (WriteSetupModel(model, &edit->setupBytes)) {
            report.error = name + ": the setup file would pass its format's limits";
            return fail(BadData("INF"));
        }

        // The setup file keeps its record; kept entries their order; new
        // files follow.
        edit->entries.clear();
        PackEntry first = kept[0];
        first.bytes = &edit->setupBytes;
        first.cbFile = static_cast<uint32_t>(edit->setupBytes.size());
        edit->entries.push_back(first);
        std::vector<int32_t> sourceOf(old.size(), -1);  // per old entry: the INF file taking it
        for (size_t k = 0; k <= files.size(); ++k)
            if (entryOf[k] >= 0 && sourceOf[entryOf[k]] < 0) sourceOf[entryOf[k]] = static_cast<int32_t>(k);
        // A source beside the script gives its bytes (and, for a new file,
        // its date and attributes).
        auto fromDisk = [&](PackEntry* e, size_t k) {
            edit->sources.push_back(found[k]);
            e->listName = edit->sources.back().c_str();
            e->keptEntry = 0;
            e->cbFile = probe[k].cbFile;
        };
        for (size_t i = 1; i < old.size(); ++i) {
            size_t n = std::strlen(old[i].name);
            bool dll = n >= 4 && std::memcmp(old[i].name + n - 4, ".999", 4) == 0;
            if (sourceOf[i] < 0 && (installed[i] || dll)) continue;  // no longer part of the setup
            PackEntry e = kept[i];
            if (sourceOf[i] >= 0 && !found[sourceOf[i]].empty()) fromDisk(&e, static_cast<size_t>(sourceOf[i]));
            edit->entries.push_back(e);
        }
        for (size_t k = 0; k <= files.size(); ++k) {
            if (entryOf[k] >= 0 || found[k].empty()) continue;
            const InfSourceFile& source = k == 0 ? *FindSource(inf, inf.setupDll) : *files[k - 1].source;
            PackEntry e = probe[k];
            e.storedName = StoredFileName(source.name, k == 0 ? 999 : number[k]);
            fromDisk(&e, k);
            LogMessage("File %s (%d bytes) -> %s", found[k].c_str(), static_cast<int>(e.cbFile), e.storedName.c_str());
            edit->entries.push_back(e);
        }
        for (const std::string& w : report.warnings) LogMessage("%s", w.c_str());
        LogMessage("Setup file rebuilt from %s", path.c_str());
        return kOk;
    } catch (const std::bad_alloc&) {
        report.error = name + ": out of memory";
        return fail(NoMemory("INF"));
    }
}

Error BuildCabinetFromInf(const char* cabinetPath, const char* infPath, const InfBuildOptions& options,
                          InfReport* report, const ProgressCallback& progress) {
    InfBuildPlan plan;
    Error rc = PlanCabinetFromInf(cabinetPath, infPath, options, &plan, report);
    for (const std::string& w : report->warnings) LogMessage("%s", w.c_str());
    if (rc) {
        LogMessage("%s", report->error.c_str());
        return rc;
    }
    for (const PackEntry& e : plan.entries)
        LogMessage("File %s (%d bytes) -> %s", e.listName ? e.listName : "(setup file)", static_cast<int>(e.cbFile),
                   e.storedName.c_str());
    CabinetPlan layout;
    if (Error e = PlanCabinet(plan.entries, "", options.compression, &layout)) {
        report->error = "the cabinet would pass the format's limits";
        return e;
    }
    // As pack writes: never over a file that exists, under the name only
    // once complete.
    OutputFile out;
    if (IoNameTaken(cabinetPath) || !out.Open(cabinetPath, OutputPolicy::NewFile)) {
        report->error = std::string("cannot create ") + cabinetPath;
        LogMessage("%s", report->error.c_str());
        return CannotOpen("cannot create the cabinet");
    }
    if (Error e = WriteCabinet(out.file(), nullptr, plan.entries, layout, "", options.compression, progress)) {
        report->error = std::string("cannot write ") + cabinetPath;
        return e;
    }
    bool taken = false;
    if (!out.Commit(&taken)) {
        report->error = std::string("cannot write ") + cabinetPath;
        return taken ? CannotOpen("a file appeared under the cabinet's name") : CannotCreate("cabinet");
    }
    LogMessage("Built %s from %s: %d files", cabinetPath, infPath, static_cast<int>(plan.entries.size()));
    return kOk;
}

}  // namespace mirad
