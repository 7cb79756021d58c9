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
#include <vector>

#include "documents/inf_setup.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "platform/safe_files.h"
#include "setup/model.h"
#include "support/io.h"
#include "support/log.h"
#include "support/output.h"

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
        platform::FindData data;
        if (!platform::FindFile(next.c_str(), &data)) {
            std::vector<std::string> names;
            if (!platform::ListDirectory(path.empty() ? "." : path.c_str(), &names)) return false;
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
    platform::FindData data;
    if (!FindIgnoringCase(base, resolved, path) || !platform::FindFile(path->c_str(), &data) ||
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
        platform::FindData infData;
        if (platform::FindFile(infPath, &infData)) {
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
    if (platform::NameTaken(cabinetPath) || !out.Open(cabinetPath, OutputPolicy::NewFile)) {
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
