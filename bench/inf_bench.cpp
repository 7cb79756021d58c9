// Writing "~Cab~.INF" (and "~Cab~.REG") for a setup file with 65535
// directories, copy-files, registry values and shortcuts.
//
// The INF numbers directories by ascending id and looks files up per
// directory. A repeated selection by id with nested scans (directories x
// files) is quadratic; the writer sorts once and indexes instead. To show the
// two agree, this bench carries the quadratic method for the sections the
// numbering touches and compares its text with the writer's at a size where
// the quadratic method still finishes quickly (and at full size with
// --quadratic-full).
//
// Usage: inf_bench [--quadratic-full] [--size N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "documents/documents.h"
#include "interface/result.h"
#include "support/alloc.h"
#include "support/paths.h"
#include "tests/fixture.h"
#include "view/session.h"

using namespace mirad;

namespace {

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Ids 1..n in a shuffled order (n up to 65535), so table order and id order differ.
std::vector<uint16_t> ShuffledIds(uint32_t n, uint32_t seed) {
    std::vector<uint16_t> ids(n);
    for (uint32_t i = 0; i < n; ++i) ids[i] = static_cast<uint16_t>(i + 1);
    std::mt19937 rng(seed);
    std::shuffle(ids.begin(), ids.end(), rng);
    return ids;
}

fixture::Bytes BuildCabinet(uint32_t n) {
    fixture::CeSetup s;
    s.provider = "Bench";
    s.appName = "Big";
    s.strings.push_back({1, "%CE1%\\Big"});
    for (uint32_t i = 2; i <= n; ++i) s.strings.push_back({static_cast<uint16_t>(i), "d" + std::to_string(i)});
    std::vector<uint16_t> dirIds = ShuffledIds(n, 1);
    for (uint32_t i = 0; i < n; ++i) {
        uint16_t name = static_cast<uint16_t>(2 + i % (n - 1));
        s.directories.push_back({dirIds[i], {1, name}});
    }
    // Stored names carry numbers 1..999, so copy-files share the stored files.
    std::mt19937 rng(2);
    for (uint32_t i = 0; i < n; ++i) {
        fixture::CeCopyFile c{static_cast<uint16_t>(1 + i % 999), dirIds[rng() % n], "f" + std::to_string(i) + ".dat",
                              static_cast<uint32_t>(i % 3 == 0 ? 0x40000000 : 0)};
        s.copyFiles.push_back(c);
    }
    std::vector<uint16_t> hiveIds = ShuffledIds(n, 3);
    for (uint32_t i = 0; i < n; ++i)
        s.hives.push_back({hiveIds[i], static_cast<uint16_t>(1 + i % 4), {static_cast<uint16_t>(2 + i % (n - 1))}});
    for (uint32_t i = 0; i < n; ++i) {
        uint16_t hive = hiveIds[rng() % n];
        switch (i % 4) {
            case 0: s.values.push_back({hive, 0x00000000, "s" + std::to_string(i), fixture::BytesOf("text\0")}); break;
            case 1: s.values.push_back({hive, 0x00010001, "w", {1, 0, 0, 0, 2, 0, 0, 0}}); break;
            case 2: s.values.push_back({hive, 0x00000001, "b", fixture::Pattern(20, i)}); break;
            default: s.values.push_back({hive, 0x00010000, "", {'a', 0, 'b', 0, 0}}); break;
        }
    }
    for (uint32_t i = 0; i < n; ++i) {
        fixture::CeShortcut sc;
        sc.baseDirectoryId = dirIds[(i * 7) % n];
        sc.nameStringId = static_cast<uint16_t>(2 + (i * 13) % (n - 1));
        sc.targetIsFile = static_cast<uint16_t>(i % 2);
        sc.targetId = sc.targetIsFile ? static_cast<uint16_t>(1 + i % 999) : dirIds[(i * 11) % n];
        s.shortcuts.push_back(sc);
    }
    std::vector<fixture::StoredFile> files;
    for (int k = 1; k <= 999; ++k) {
        char name[16];
        std::snprintf(name, sizeof name, "F%04d.%03d", k, k);
        files.push_back({name, fixture::BytesOf("x")});
    }
    return fixture::BuildCeCabinet(s, files);
}

std::unique_ptr<ArchiveSession> Open(const std::string& path) {
    auto session = std::make_unique<ArchiveSession>();
    if (session->Open(path.c_str()) || !session->setup()) return nullptr;
    return session;
}

int Write(const ArchiveSession& s, Error (*write)(const DocumentSource&, const OutputTarget&), const std::string& out) {
    return ResultCode(write(DocumentSource{s.path().c_str(), s.cabinet(), *s.setup(), BuiltInSettings()}, out.c_str()));
}

// ---- The quadratic method -----------------------------------------------------------------
// Selection by id into an order of directoryCount positions, "holds files" and
// the file-to-position lookup by linear scans, as a straightforward writer would.
// Valid for distinct ids between 1 and 65534; it writes the bodies of the
// sections the numbering touches, CR LF line ends included.

struct Quadratic {
    std::string names, files, copyFilesLine, destinations, lists;
};

const char* AfterBackslash(const char* path) {
    const char* cut = std::strrchr(path, '\\');
    return cut ? cut + 1 : path;
}

Quadratic QuadraticSections(const ArchiveSession& session, bool expandPath) {
    const CeSetup& setup = *session.setup();
    const SetupHeader& h = setup.header();
    const SetupDirectory* directories = setup.directories().data();
    const SetupCopyFile* copyFiles = setup.copyFiles().data();
    const CabFileEntry* files = session.cabinet().files().data();
    std::vector<uint16_t> order(h.directoryCount, 0);
    uint32_t last = 0;
    for (uint32_t p = 0; p < h.directoryCount; ++p) {
        uint32_t best = 65535;
        for (uint32_t i = 0; i < h.directoryCount; ++i) {
            uint16_t id = directories[i].id;
            if (id > last && id < best) order[p] = static_cast<uint16_t>(i), best = id;
        }
        last = best;
    }
    auto holds = [&](uint32_t p) {
        for (uint32_t k = 0; k < h.copyFileCount; ++k)
            if (copyFiles[k].directoryId == directories[order[p]].id) return true;
        return false;
    };
    auto source = [&](const SetupCopyFile& f) {
        return expandPath ? AfterBackslash(f.destPath) : files[f.entryIndex].name;
    };
    Quadratic q;
    char line[800];
    std::vector<bool> held(h.directoryCount);
    for (uint32_t p = 0; p < h.directoryCount; ++p) held[p] = holds(p);
    for (uint32_t p = 0; p < h.directoryCount; ++p) {
        if (!held[p]) continue;
        std::snprintf(line, sizeof line, "%u = ,,,\"%s\"\r\n", p + 1, directories[order[p]].path);
        q.names += line;
        std::snprintf(line, sizeof line, "Dir_%u = 0,\"%s\"\r\n", p + 1, directories[order[p]].path);
        q.destinations += line;
        std::snprintf(line, sizeof line, q.copyFilesLine.empty() ? "Dir_%u" : ", Dir_%u", p + 1);
        q.copyFilesLine += line;
        std::snprintf(line, sizeof line, "[Dir_%u]\r\n", p + 1);
        q.lists += line;
        for (uint32_t k = 0; k < h.copyFileCount; ++k) {
            const SetupCopyFile& f = copyFiles[k];
            if (f.directoryId != directories[order[p]].id) continue;
            std::snprintf(line, sizeof line, "\"%s\",\"%s\",,0x%08X\r\n", AfterBackslash(f.destPath), source(f),
                          static_cast<unsigned>(f.flags));
            q.lists += line;
        }
        q.lists += "\r\n";
    }
    for (uint32_t k = 0; k < h.copyFileCount; ++k) {
        const SetupCopyFile& f = copyFiles[k];
        uint32_t p = 0;
        while (p < h.directoryCount && directories[order[p]].id != f.directoryId) ++p;
        std::snprintf(line, sizeof line, "\"%s\" = %u\r\n", source(f), p + 1);
        q.files += line;
    }
    return q;
}

// The body of a section: from the line after `header` to the blank line that ends it.
std::string Body(const std::string& doc, const std::string& header) {
    size_t at = doc.find("\r\n" + header + "\r\n");
    if (at == std::string::npos) return "<no " + header + ">";
    at += header.size() + 4;
    size_t end = doc.find("\r\n\r\n", at);
    return end == std::string::npos ? doc.substr(at) : doc.substr(at, end + 2 - at);
}

std::string Lists(const std::string& doc) {
    size_t at = doc.find("\r\n[Dir_");
    size_t end = doc.find("\r\n;;;;", at);
    if (at == std::string::npos || end == std::string::npos) return "<no lists>";
    return doc.substr(at + 2, end - at - 2);  // without the extra blank line after the last list
}

bool Compare(const ArchiveSession& c, const std::string& doc, bool expandPath, double* seconds) {
    double t = Now();
    Quadratic q = QuadraticSections(c, expandPath);
    *seconds = Now() - t;
    bool same = true;
    auto check = [&](const char* what, const std::string& mine, const std::string& theirs) {
        if (mine != theirs) {
            std::printf("  MISMATCH in %s (%zu vs %zu bytes)\n", what, mine.size(), theirs.size());
            same = false;
        }
    };
    check("[SourceDisksNames]", Body(doc, "[SourceDisksNames]"), q.names);
    check("[SourceDisksFiles]", Body(doc, "[SourceDisksFiles]"), q.files);
    check("[DestinationDirs]", Body(doc, "[DestinationDirs]"), q.destinations);
    check("CopyFiles", Body(doc, "[DefaultInstall]").substr(0, 14 + q.copyFilesLine.size()),
          "CopyFiles   = " + q.copyFilesLine);
    check("[Dir_n]", Lists(doc), q.lists);
    return same;
}

struct Run {
    double open = 0, inf = 0, reg = 0, quadratic = 0;
    size_t infBytes = 0, regBytes = 0;
    bool same = true;
};

Run Measure(const fixture::TempDir& dir, uint32_t n, bool withQuadratic) {
    Run r;
    std::string cab = dir / ("big" + std::to_string(n) + ".cab");
    fixture::WriteFile(cab, BuildCabinet(n));
    double t = Now();
    std::unique_ptr<ArchiveSession> c = Open(cab);
    r.open = Now() - t;
    if (!c) {
        std::printf("cannot open the bench cabinet\n");
        std::exit(1);
    }
    std::string inf = dir / "out.inf", reg = dir / "out.reg";
    // The unsupported-type lines would go to standard output; there are none here.
    t = Now();
    int infCode = Write(*c, WriteInfScript, inf);
    r.inf = Now() - t;
    t = Now();
    int regCode = Write(*c, WriteRegistryExport, reg);
    r.reg = Now() - t;
    if (infCode != 0 || regCode != 0) {
        std::printf("writers failed: INF %d, REG %d\n", infCode, regCode);
        std::exit(1);
    }
    std::string doc = fixture::ReadText(inf);
    r.infBytes = doc.size();
    r.regBytes = fixture::ReadFile(reg).size();
    if (withQuadratic) r.same = Compare(*c, doc, BuiltInSettings().ExpandPath != 0, &r.quadratic);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    bool full = false;
    uint32_t small = 4000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quadratic-full") == 0) full = true;
        if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc) small = static_cast<uint32_t>(std::atoi(argv[++i]));
    }
    fixture::TempDir dir;

    Run s = Measure(dir, small, true);
    std::printf("n=%u: open %.3f s, INF %.4f s (%zu bytes), REG %.4f s; quadratic sections alone %.3f s; %s\n",
                small, s.open, s.inf, s.infBytes, s.reg, s.quadratic,
                s.same ? "identical" : "DIFFERENT");

    Run b = Measure(dir, 65535, false);
    std::printf("n=65535: open %.3f s, INF %.4f s (%zu bytes), REG %.4f s\n", b.open, b.inf, b.infBytes, b.reg);

    // Distinct ids below 65535 allow at most 65534 directories for the
    // quadratic method to number them all.
    bool same = s.same;
    if (full) {
        Run f = Measure(dir, 65534, true);
        std::printf("n=65534: INF %.4f s; quadratic sections alone %.3f s; %s\n", f.inf, f.quadratic,
                    f.same ? "identical" : "DIFFERENT");
        same = same && f.same;
    }
    return same ? 0 : 1;
}
