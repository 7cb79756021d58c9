// mirad against the peer tools and cp on the same inputs: pack, list,
// extract all, extract one, test and update. Run it through bench/run, which
// builds what it needs first.
//
//   peer_bench MIRAD WORKDIR RESULTS.md [RUNS] [--quick]
//
// --quick makes every input small, to try the bench itself out.
// Every operation is timed as a whole command (process start included), each
// tool in turn in every round, after one warm-up round; the table gives
// medians. Every output is checked: extracted trees byte for byte against
// the sources, listings for every name, tests by their status, written
// cabinets by extracting them again with cabextract. Peak memory is the
// largest resident size the kernel reports for the command (wait4).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "cabinet/mszip.h"
#include "cabinet/writer.h"
#include "tests/fixture.h"

namespace fs = std::filesystem;

namespace {

using Args = std::vector<std::string>;

// ---- Running and timing one command ----------------------------------------------

struct Sample {
    double seconds = 0;
    long peakKiB = 0;
    int status = -1;
};

// Runs argv in `cwd` with stdout to `out` (stderr to out + ".err").
Sample Execute(const Args& argv, const std::string& cwd, const std::string& out) {
    std::vector<char*> raw;
    for (const std::string& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
    raw.push_back(nullptr);
    Sample s;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open((out + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0) _exit(126);
        dup2(o, 1);
        dup2(e, 2);
        execvp(raw[0], raw.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    std::memset(&usage, 0, sizeof usage);
    if (pid < 0 || wait4(pid, &status, 0, &usage) < 0) return s;
    s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    s.peakKiB = usage.ru_maxrss;
    s.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return s;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Capture(const Args& argv, const std::string& scratch) {
    Execute(argv, "", scratch);
    return ReadAll(scratch);
}

// Removes a tree, and never stops the bench: a tree that cannot be removed
// (a file still being written by a process that outlived its run, say) is
// moved aside instead, so the next run still starts from nothing.
void RemoveTree(const std::string& path) {
    std::error_code e;
    fs::remove_all(path, e);
    if (!e) return;
    static int stale = 0;
    std::string aside = path + ".stale" + std::to_string(++stale);
    std::error_code moved;
    fs::rename(path, aside, moved);
    std::fprintf(stderr, "peer_bench: cannot remove %s (%s); %s\n", path.c_str(), e.message().c_str(),
                 moved ? "left in place" : ("moved to " + aside).c_str());
}

// ---- Checking outputs --------------------------------------------------------------

bool SameFile(const std::string& a, const std::string& b) {
    int fa = open(a.c_str(), O_RDONLY), fb = open(b.c_str(), O_RDONLY);
    bool same = fa >= 0 && fb >= 0;
    static std::vector<char> ba(1 << 20), bb(1 << 20);
    while (same) {
        ssize_t na = read(fa, ba.data(), ba.size());
        ssize_t got = 0;
        while (na > 0 && got < na) {
            ssize_t n = read(fb, bb.data() + got, static_cast<size_t>(na - got));
            if (n <= 0) break;
            got += n;
        }
        if (na < 0 || got != std::max<ssize_t>(na, 0) || std::memcmp(ba.data(), bb.data(), static_cast<size_t>(got)))
            same = false;
        if (na <= 0) {
            char extra;
            if (same && read(fb, &extra, 1) != 0) same = false;
            break;
        }
    }
    if (fa >= 0) close(fa);
    if (fb >= 0) close(fb);
    return same;
}

size_t CountFiles(const std::string& root) {
    size_t n = 0;
    std::error_code e;
    for (fs::recursive_directory_iterator it(root, e), end; !e && it != end; it.increment(e))
        if (it->is_regular_file()) ++n;
    return n;
}

// "" when `actual` holds exactly the files of `expected`, byte for byte.
std::string CompareTrees(const std::string& expected, const std::string& actual) {
    size_t n = 0;
    std::error_code e;
    for (fs::recursive_directory_iterator it(expected, e), end; !e && it != end; it.increment(e)) {
        if (!it->is_regular_file()) continue;
        ++n;
        std::string rel = fs::relative(it->path(), expected).string();
        if (!SameFile(it->path().string(), actual + "/" + rel)) return "differs or missing: " + rel;
    }
    if (e) return "cannot walk " + expected;
    size_t got = CountFiles(actual);
    if (got != n) return std::to_string(got) + " files written, " + std::to_string(n) + " expected";
    return "";
}

// "" when every name appears as a word of the listing.
std::string ListingHas(const std::string& listing, const std::vector<std::string>& names) {
    std::unordered_set<std::string> words;
    std::string word;
    for (char c : listing) {
        // Paths count by their last part: views show names under directories.
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '|' || c == '\\' || c == '/') {
            if (!word.empty()) words.insert(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) words.insert(word);
    for (const std::string& n : names)
        if (!words.count(n)) return "listing lacks " + n;
    return "";
}

// ---- Cases ---------------------------------------------------------------------------

struct Tool {
    std::string name;  // "mirad", "cabextract", "gcab", "7zz", "cp"
    Args argv;
    std::string cwd;
    std::function<void()> prepare;      // before every run (untimed)
    std::function<std::string()> check;  // after every run (untimed): "" or what is wrong
};

struct Case {
    Case(std::string op, std::string in) : operation(std::move(op)), input(std::move(in)) {}
    std::string operation, input;
    std::vector<Tool> tools;
    std::map<std::string, std::vector<Sample>> samples;
    std::map<std::string, long> peakKiB;          // from the warm-up run
    std::map<std::string, std::string> failures;  // first failed check per tool
};

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double MedianSeconds(const Case& c, const std::string& tool) {
    auto it = c.samples.find(tool);
    if (it == c.samples.end() || c.failures.count(tool)) return -1;
    std::vector<double> v;
    for (const Sample& s : it->second) v.push_back(s.seconds);
    return Median(v);
}

long PeakKiB(const Case& c, const std::string& tool) {
    auto it = c.peakKiB.find(tool);
    return it == c.peakKiB.end() ? 0 : it->second;
}

const char kTime[] = "/usr/bin/time";

// Short commands are timed more often than `runs`: on a shared machine a
// median of five runs of a 2 ms listing moves by a third between benches.
// A case gets as many rounds as fit in kTimedBudget seconds of timed
// commands, judged by its warm-up round, up to kMaxRoundsPerRun x runs and
// to what fits in kCaseBudget seconds with the preparing and checking.
const double kTimedBudget = 10.0;
const double kCaseBudget = 40.0;
const int kMaxRoundsPerRun = 25;

int RoundsFor(double timedSeconds, double wallSeconds, int runs) {
    if (timedSeconds <= 0 || wallSeconds <= 0) return runs;
    double fit = std::min(kTimedBudget / timedSeconds, kCaseBudget / wallSeconds);
    return static_cast<int>(std::max<double>(runs, std::min<double>(fit, double(runs) * kMaxRoundsPerRun)));
}

void RunCase(Case& c, int runs, const std::string& scratch) {
    std::fprintf(stderr, "%-12s %-34s", c.operation.c_str(), c.input.c_str());
    auto begin = std::chrono::steady_clock::now();
    int rounds = runs;
    for (int round = 0; round <= rounds; ++round) {  // round 0 warms up
        double roundSeconds = 0;
        auto roundBegin = std::chrono::steady_clock::now();
        for (Tool& t : c.tools) {
            if (c.failures.count(t.name)) continue;
            // A scratch tree that cannot be made fails this tool, not the bench.
            try {
                if (t.prepare) t.prepare();
            } catch (const std::exception& e) {
                c.failures[t.name] = std::string("preparing: ") + e.what();
                continue;
            }
            // A child's peak resident size counts the pages of the process
            // it was forked from, so the warm-up run measures memory through
            // /usr/bin/time, a small process of its own; the timed runs start
            // the command directly.
            bool measure = round == 0 && access(kTime, X_OK) == 0;
            Args argv = t.argv;
            if (measure) argv.insert(argv.begin(), {kTime, "-f", "%M", "-o", scratch + ".mem"});
            Sample s = Execute(argv, t.cwd, scratch);
            roundSeconds += s.seconds;
            if (measure) c.peakKiB[t.name] = std::atol(ReadAll(scratch + ".mem").c_str());
            std::string why;
            if (s.status != 0) {
                std::string err = ReadAll(scratch + ".err");
                why = "exit status " + std::to_string(s.status) + (err.empty() ? "" : ": " + err.substr(0, 200));
            } else if (t.check) {
                try {
                    why = t.check();
                } catch (const std::exception& e) {
                    why = std::string("checking: ") + e.what();
                }
            }
            if (!why.empty()) {
                std::replace(why.begin(), why.end(), '\n', ' ');
                c.failures[t.name] = why;
                continue;
            }
            if (round > 0) c.samples[t.name].push_back(s);
        }
        if (round == 0) {
            double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - roundBegin).count();
            rounds = RoundsFor(roundSeconds, wall, runs);
        }
    }
    std::fprintf(stderr, " %6.1f s, %d runs\n",
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count(), rounds);
}

// ---- Inputs ----------------------------------------------------------------------------

void Write(const std::string& path, const fixture::Bytes& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    fixture::WriteFile(path, bytes);
}

void WriteString(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// A file set: SETUP.000 installing F00001.001 as %CE1%\Game\f1.bin (so
// update has something to replace), then data files F00001.001...
struct FileSet {
    std::string dir;                 // the sources
    std::vector<std::string> names;  // in cabinet order, SETUP.000 first
    uint64_t bytes = 0;
};

// Bytes of the kinds installers carry, for the compressed cabinet: text,
// program-like runs with repeats, already-compressed (random) data and long
// runs of zeros, by `kind` 0 to 3. Deterministic in `seed`.
fixture::Bytes MixedContent(size_t size, unsigned kind, uint64_t seed) {
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    fixture::Bytes d;
    d.reserve(size + 600);
    switch (kind % 4) {
        case 0:  // words from a 3,000-word vocabulary
            while (d.size() < size) {
                uint64_t w = next() % 3000;
                for (uint64_t len = 2 + w % 8, k = 0; k < len; ++k) d.push_back(static_cast<uint8_t>('a' + (w * 7 + k * 13) % 26));
                d.push_back(' ');
            }
            break;
        case 1: {  // pieces of one 512-byte pattern with random bytes between
            fixture::Bytes chunk(512);
            for (uint8_t& b : chunk) b = static_cast<uint8_t>(next());
            while (d.size() < size) {
                d.insert(d.end(), chunk.begin(), chunk.begin() + 16 + next() % 497);
                for (uint64_t k = next() % 65; k > 0; --k) d.push_back(static_cast<uint8_t>(next()));
            }
            break;
        }
        case 2:
            while (d.size() < size) d.push_back(static_cast<uint8_t>(next()));
            break;
        default:
            while (d.size() < size) {
                d.insert(d.end(), 3000, 0);
                for (int k = 0; k < 100; ++k) d.push_back(static_cast<uint8_t>(next()));
            }
            break;
    }
    d.resize(size);
    return d;
}

// Sizes from 4 KiB to 4 MiB, spread evenly on a log scale, `total` in all.
std::vector<size_t> MixedSizes(uint64_t total) {
    std::vector<size_t> sizes;
    uint64_t x = 88172645463325252ull, made = 0;
    while (made < total) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        double u = static_cast<double>(x % 1000000) / 1000000.0;
        uint64_t size = std::min<uint64_t>(total - made, static_cast<uint64_t>(4096.0 * std::exp2(u * 10)));
        sizes.push_back(static_cast<size_t>(size));
        made += size;
    }
    return sizes;
}

FileSet MakeFileSet(const std::string& dir, const std::vector<size_t>& sizes, bool mixed) {
    FileSet set;
    set.dir = dir;
    fixture::CeSetup setup;
    setup.strings = {{1, "%CE1%"}, {2, "Game"}};
    setup.directories = {{1, {1, 2}}};
    setup.copyFiles = {{1, 1, "f1.bin"}};
    fixture::Bytes s = fixture::BuildSetupFile(setup);
    Write(dir + "/SETUP.000", s);
    set.names.push_back("SETUP.000");
    set.bytes += s.size();
    for (size_t i = 0; i < sizes.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "F%05zu.%03zu", i + 1, (i + 1) % 1000);
        fixture::Bytes data;
        if (mixed) {
            data = MixedContent(sizes[i], static_cast<unsigned>(i), i + 1);
        } else {
            data = fixture::Pattern(sizes[i], static_cast<uint32_t>(i + 1));
        }
        Write(dir + "/" + name, data);
        set.names.push_back(name);
        set.bytes += data.size();
    }
    return set;
}

// The CE cabinet at the format's limits: 65,535 stored files and 65,535 rows
// in every setup table. Writes its stored files (stored/; gcab makes the
// cabinet of them) and the device layout mirad should write (device/:
// installed files and shortcut files).
struct CeInput {
    std::string cabinet, stored, device;
    std::vector<std::string> storedNames;
    std::string oneInstalled;  // an installed name for update
    std::string removable;     // one no shortcut points at, for remove
};

CeInput MakeCeInput(const std::string& dir, uint32_t n, uint32_t dirs) {
    CeInput in;
    in.stored = dir + "/stored";
    in.device = dir + "/device";
    fixture::CeSetup s;
    s.appName = "Bench";
    s.provider = "Mirad";
    char text[64];
    s.strings.push_back({1, "%CE1%\\Bench"});
    for (uint32_t k = 0; k < dirs; ++k) {
        std::snprintf(text, sizeof text, "d%04u", k);
        s.strings.push_back({static_cast<uint16_t>(2 + k), text});
    }
    for (uint32_t id = 2 + dirs; id <= n; ++id) {
        std::snprintf(text, sizeof text, "s%05u.lnk", id);
        s.strings.push_back({static_cast<uint16_t>(id), text});
    }
    auto dirName = [&](uint32_t directoryId) {  // d%04u of directory id 1..n
        char t[16];
        std::snprintf(t, sizeof t, "d%04u", (directoryId - 1) % dirs);
        return std::string(t);
    };
    for (uint32_t id = 1; id <= n; ++id)
        s.directories.push_back({static_cast<uint16_t>(id), {1, static_cast<uint16_t>(2 + (id - 1) % dirs)}});
    // Copy-file i installs stored file number 1 + i % 999 (names carry three
    // digits, so numbers repeat and the first stored file with it wins).
    std::vector<std::string> copyName(n);
    for (uint32_t i = 0; i < n; ++i) {
        std::snprintf(text, sizeof text, "f%05u.bin", i);
        copyName[i] = text;
        s.copyFiles.push_back({static_cast<uint16_t>(1 + i % 999), static_cast<uint16_t>(i + 1), text});
    }
    for (uint32_t i = 0; i < n; ++i)
        s.hives.push_back({static_cast<uint16_t>(i + 1), static_cast<uint16_t>(1 + i % 4),
                           {static_cast<uint16_t>(2 + i % dirs)}});
    for (uint32_t i = 0; i < n; ++i) {
        uint16_t hive = static_cast<uint16_t>(1 + (i * 7) % n);
        switch (i % 3) {
            case 0: s.values.push_back({hive, 0x00000000, "s" + std::to_string(i), fixture::BytesOf("text\0")}); break;
            case 1: s.values.push_back({hive, 0x00010001, "w" + std::to_string(i), {1, 0, 0, 0}}); break;
            default: s.values.push_back({hive, 0x00000001, "b" + std::to_string(i), fixture::Pattern(16, i)}); break;
        }
    }
    // Shortcut i: named s%05u.lnk in directory 1 + i % n, pointing at the
    // first copy-file of stored file number 1 + i % 999, which is copy-file
    // i % 999. Name and directory never repeat together.
    std::vector<fixture::CeShortcut> shortcuts;
    for (uint32_t i = 0; i < n; ++i) {
        fixture::CeShortcut sc;
        sc.id = static_cast<uint16_t>(i + 1);
        sc.baseDirectoryId = static_cast<uint16_t>(1 + i % n);
        sc.nameStringId = static_cast<uint16_t>(2 + dirs + i % (n - 1 - dirs));
        sc.targetIsFile = 1;
        sc.targetId = static_cast<uint16_t>(1 + i % 999);
        s.shortcuts.push_back(sc);
    }

    Write(in.stored + "/SETUP.000", fixture::BuildSetupFile(s));
    in.storedNames.push_back("SETUP.000");
    std::vector<fixture::Bytes> data(n);
    for (uint32_t i = 1; i < n; ++i) {
        std::snprintf(text, sizeof text, "F%05u.%03u", i, i % 1000);
        data[i] = fixture::Pattern(16 + i % 113, i);
        Write(in.stored + "/" + text, data[i]);
        in.storedNames.push_back(text);
    }
    in.cabinet = dir + "/ce-g.cab";

    // The device layout: \Program Files\Bench\dNNNN\fNNNNN.bin and the
    // shortcut files beside them, each one line "length#"target"" CR LF.
    const std::string base = in.device + "/Program Files/Bench/";
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t number = 1 + i % 999;  // the stored file F%05u.%03u with i == number
        Write(base + dirName(i + 1) + "/" + copyName[i], data[number]);
    }
    for (uint32_t i = 0; i < n; ++i) {
        const fixture::CeShortcut& sc = s.shortcuts[i];
        uint32_t copy = sc.targetId - 1u;
        std::string target = "\\Program Files\\Bench\\" + dirName(copy + 1) + "\\" + copyName[copy];
        std::snprintf(text, sizeof text, "s%05u.lnk", static_cast<unsigned>(sc.nameStringId));
        WriteString(base + dirName(sc.baseDirectoryId) + "/" + text,
                    std::to_string(target.size() + 2) + "#\"" + target + "\"\r\n");
    }
    // Installed paths begin with %InstallDir%, the first string.
    in.oneInstalled = "%InstallDir%\\" + dirName(1) + "\\" + copyName[0];
    // Shortcuts point at the first 999 copy-files; copy-file i lies in
    // directory i + 1.
    in.removable = "%InstallDir%\\" + dirName(2001) + "\\" + copyName[2000];
    return in;
}

// ---- The report ------------------------------------------------------------------------

std::string Fixed(double v, int digits) {
    char t[32];
    std::snprintf(t, sizeof t, "%.*f", digits, v);
    return t;
}

std::string Seconds(double s) {
    if (s < 0) return "—";
    return s < 0.1 ? Fixed(s, 4) : s < 10 ? Fixed(s, 3) : Fixed(s, 2);
}

std::string Ratio(double a, double b) { return a < 0 || b <= 0 ? "—" : Fixed(a / b, 2); }

std::string Mib(long kib) { return kib <= 0 ? "—" : Fixed(kib / 1024.0, 1); }

std::string Thousands(size_t n) {
    std::string s = std::to_string(n);
    for (int i = static_cast<int>(s.size()) - 3; i > 0; i -= 3) s.insert(static_cast<size_t>(i), ",");
    return s;
}

struct Goal {
    std::string what;
    bool met;
    std::string detail;
};

// The 1, 5 and 15 minute load averages.
std::string LoadLine() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

std::string MachineLine(const std::string& work) {
    struct utsname u;
    uname(&u);
    std::string cpu;
    std::ifstream info("/proc/cpuinfo");
    for (std::string l; std::getline(info, l);)
        if (l.rfind("model name", 0) == 0) {
            cpu = l.substr(l.find(':') + 2);
            break;
        }
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    std::string fsType = "disk";
    std::ifstream mounts("/proc/mounts");
    size_t best = 0;
    for (std::string l; std::getline(mounts, l);) {
        std::istringstream f(l);
        std::string dev, mnt, type;
        f >> dev >> mnt >> type;
        if (work.rfind(mnt, 0) == 0 && mnt.size() >= best) {
            best = mnt.size();
            fsType = type;
        }
    }
    return std::string(u.sysname) + " " + u.release + " " + u.machine + ", " + cpu + ", " +
           std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, " +
           Fixed(static_cast<double>(pages) * page / (1024.0 * 1024 * 1024), 0) + " GiB; inputs and outputs on " +
           fsType;
}

}  // namespace

// The writer's folders and blocks of `names` (in `dir`) encoded at `level`
// in process, without reading or writing files: the best of `runs` timings
// and the bytes the blocks take (data and 8-byte headers).
struct LevelTrial {
    int level = 0;
    double seconds = -1;
    uint64_t bytes = 0;
};

LevelTrial EncodeAtLevel(const std::string& dir, const std::vector<std::string>& names, int level, int runs) {
    LevelTrial t;
    t.level = level;
    std::vector<mirad::PackEntry> entries(names.size());
    std::vector<fixture::Bytes> data(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        data[i] = fixture::ReadFile(dir + "/" + names[i]);
        entries[i].storedName = names[i];
        entries[i].bytes = &data[i];
        entries[i].cbFile = static_cast<uint32_t>(data[i].size());
    }
    mirad::CabinetPlan plan;
    if (mirad::PlanCabinet(entries, "", mirad::Compression::Mszip, &plan)) return t;
    std::vector<fixture::Bytes> folders(plan.folders.size());
    for (size_t i = 0; i < names.size(); ++i) {
        fixture::Bytes& f = folders[plan.iFolder[i]];
        f.insert(f.end(), data[i].begin(), data[i].end());
    }
    std::vector<uint8_t> out(mirad::MszipEncoder::kMaxData);
    for (int run = 0; run < runs; ++run) {
        mirad::MszipEncoder encoder(level);
        if (!encoder.ok()) return t;
        uint64_t bytes = 0;
        auto begin = std::chrono::steady_clock::now();
        for (const fixture::Bytes& f : folders) {
            encoder.Reset();
            for (size_t at = 0; at < f.size(); at += mirad::kBlockData) {
                uint32_t n = static_cast<uint32_t>(std::min<size_t>(mirad::kBlockData, f.size() - at));
                bytes += 8 + encoder.Encode(f.data() + at, n, out.data());
            }
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        if (t.seconds < 0 || seconds < t.seconds) t.seconds = seconds;
        t.bytes = bytes;
    }
    return t;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: peer_bench MIRAD WORKDIR RESULTS.md [RUNS] [--quick]\n");
        return 2;
    }
    const std::string mirad = fs::absolute(argv[1]).string();
    const std::string work = fs::absolute(argv[2]).string();
    const std::string results = argv[3];
    const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 5;
    const bool quick = argc > 5 && std::string(argv[5]) == "--quick";
    const size_t smallCount = quick ? 2000 : 20000, bigMiB = quick ? 4 : 64, zipMiB = quick ? 10 : 100;
    const uint32_t ceRows = quick ? 4095 : 65535;
    for (const char* tool : {"cabextract", "gcab", "7zz", "cp"}) {
        if (!fixture::HaveTool(tool)) {
            std::fprintf(stderr, "peer_bench: %s is not installed (scripts/install-deps.sh)\n", tool);
            return 1;
        }
    }
    RemoveTree(work);
    fs::create_directories(work);
    const std::string scratch = work + "/stdout";
    auto started = std::chrono::steady_clock::now();
    const std::string loadBefore = LoadLine();

    // mirad reads its view from a settings file: one per view.
    auto config = [&](const std::string& name, bool ce, bool path, bool reg, bool shortcuts, bool inf) {
        std::string d = work + "/config/" + name;
        fs::create_directories(d);
        fixture::WriteSettings(d, ce, path, reg, shortcuts, inf);
        return d;
    };
    const std::string cfgStored = config("stored", false, false, false, false, false);
    const std::string cfgInstalled = config("installed", false, true, false, false, false);
    const std::string cfgDevice = config("device", true, true, false, true, false);
    const std::string cfgAll = config("all", true, true, true, true, true);
    auto m = [&](const std::string& cfg, Args rest) {
        Args a{mirad, "--config", cfg};
        a.insert(a.end(), rest.begin(), rest.end());
        return a;
    };

    std::fprintf(stderr, "peer_bench: making the inputs in %s\n", work.c_str());
    std::vector<size_t> smallSizes;
    uint32_t x = 12345;
    for (size_t i = 1; i < smallCount; ++i) {
        x = x * 1664525u + 1013904223u;
        smallSizes.push_back(1024 + (x >> 8) % 3073);  // 1 to 4 KiB
    }
    FileSet small = MakeFileSet(work + "/small", smallSizes, false);
    FileSet big = MakeFileSet(work + "/big", std::vector<size_t>(4, bigMiB << 20), false);
    FileSet big1 = MakeFileSet(work + "/big1", std::vector<size_t>(4, size_t{1} << 20), false);
    FileSet zip = MakeFileSet(work + "/zip", MixedSizes(uint64_t{zipMiB} << 20), true);
    // One 40 KB file per folder (mirad pack opens a folder for every file
    // of 32 KiB or more): memory must not grow with the folders.
    const size_t folderCount = quick ? 300 : 3000;
    FileSet folders = MakeFileSet(work + "/folders", std::vector<size_t>(folderCount - 1, 40000), false);
    CeInput ce = MakeCeInput(work + "/ce", ceRows, quick ? 100 : 1000);

    // One cabinet per file set from gcab (all files in one folder) and from mirad.
    auto gcabArgs = [](const std::string& cab, const std::vector<std::string>& names, bool zipped) {
        Args a{"gcab", zipped ? "-cz" : "-c", cab};
        a.insert(a.end(), names.begin(), names.end());
        return a;
    };
    auto makeCab = [&](const Args& a, const std::string& cwd) {
        Sample s = Execute(a, cwd, scratch);
        if (s.status != 0) {
            std::fprintf(stderr, "peer_bench: %s failed: %s\n", a[0].c_str(), ReadAll(scratch + ".err").c_str());
            std::exit(1);
        }
    };
    struct Cab {
        std::string path, label;
        const FileSet* set;
    };
    std::vector<Cab> cabs;
    for (const FileSet* set : {&small, &big, &big1, &zip, &folders}) {
        bool zipped = set == &zip;
        std::string g = set->dir + (zipped ? "-z.cab" : "-g.cab");
        makeCab(gcabArgs(g, set->names, zipped), set->dir);
        std::string mb = set->dir + "-m.cab";
        if (!zipped) {
            Args a = m(cfgStored, {"pack", mb, "-C", set->dir});
            a.insert(a.end(), set->names.begin(), set->names.end());
            makeCab(a, "");
        }
    }
    // The 1k / 5k / 10k series of the test: the first files of the small set.
    std::vector<std::pair<size_t, std::string>> series;
    for (size_t count : {smallCount / 20, smallCount / 4, smallCount / 2}) {
        std::string g = work + "/small-" + std::to_string(count) + "-g.cab";
        makeCab(gcabArgs(g, std::vector<std::string>(small.names.begin(), small.names.begin() + count), false),
                small.dir);
        series.push_back({count, g});
    }
    series.push_back({small.names.size(), small.dir + "-g.cab"});
    makeCab(gcabArgs(ce.cabinet, ce.storedNames, false), ce.stored);

    // Whether this mirad reads compressed folders; until it does the MSZIP
    // cases are left out, saying so.
    std::string zipCab = zip.dir + "-z.cab";
    bool readsZip = Execute(m(cfgStored, {"test", zipCab}), "", scratch).status == 0;
    std::string zipNote = readsZip ? "" : ReadAll(scratch + ".err");

    std::string out = work + "/out";
    fs::create_directories(out);
    auto fresh = [](const std::string& d, bool make) {
        return [d, make] {
            RemoveTree(d);
            if (make) fs::create_directories(d);
        };
    };
    auto treeCheck = [](const std::string& expected, const std::string& actual) {
        return [expected, actual] { return CompareTrees(expected, actual); };
    };
    auto listCheck = [&](const std::vector<std::string>& names) {
        return [&scratch, names] { return ListingHas(ReadAll(scratch), names); };
    };
    auto testCheck = [&](size_t entries) {
        return [&scratch, entries] {
            std::string o = ReadAll(scratch);
            std::string want = "all " + std::to_string(entries) + " entries tested OK";
            return o.find(want) == std::string::npos ? "no '" + want + "'" : "";
        };
    };
    auto fileCheck = [](const std::string& expected, const std::string& actual) {
        return [expected, actual] { return SameFile(expected, actual) ? "" : "differs or missing: " + actual; };
    };
    // A written cabinet holds the sources: cabextract gives them back.
    auto cabCheck = [&, out](const std::string& cab, const std::string& expected) {
        return [&, out, cab, expected]() -> std::string {
            std::string d = out + "/verify";
            RemoveTree(d);
            if (Execute({"cabextract", "-q", "-d", d, cab}, "", scratch + ".v").status != 0)
                return "cabextract cannot extract it";
            std::string why = CompareTrees(expected, d);
            RemoveTree(d);
            return why;
        };
    };

    std::vector<Case> cases;
    // ---- small files and big files, cabinets by gcab and by mirad ----
    struct SetCabs {
        const FileSet* set;
        std::string label;
        std::string one;  // the entry of extract one
    };
    const std::string smallLabel = Thousands(smallCount) + " files of 1-4 KiB";
    const std::string bigLabel = "4 x " + std::to_string(bigMiB) + " MiB";
    char oneSmall[16];
    std::snprintf(oneSmall, sizeof oneSmall, "F%05zu.%03zu", smallCount / 2, smallCount / 2 % 1000);
    std::vector<SetCabs> sets = {{&small, smallLabel, oneSmall}, {&big, bigLabel, "F00003.003"}};
    for (const SetCabs& sc : sets) {
        const FileSet& set = *sc.set;
        std::string g = set.dir + "-g.cab", mc = set.dir + "-m.cab";

        Case pack{"pack", sc.label};
        std::string pm = work + "/pack-m.cab", pg = work + "/pack-g.cab";
        Args pa = m(cfgStored, {"pack", pm, "-C", set.dir});
        pa.insert(pa.end(), set.names.begin(), set.names.end());
        pack.tools.push_back({"mirad", pa, "", fresh(pm, false), cabCheck(pm, set.dir)});
        pack.tools.push_back({"gcab", gcabArgs(pg, set.names, false), set.dir, fresh(pg, false), cabCheck(pg, set.dir)});
        pack.tools.push_back({"cp", {"cp", "-r", set.dir, out + "/cp"}, "", fresh(out + "/cp", false),
                              treeCheck(set.dir, out + "/cp")});
        cases.push_back(pack);

        for (const auto& [cab, kind] : {std::pair<std::string, std::string>{g, "g"}, {mc, "m"}}) {
            std::string label = sc.label + ", " + kind;
            Case list{"list", label};
            list.tools.push_back({"mirad", m(cfgStored, {"list", cab}), "", nullptr, listCheck(set.names)});
            list.tools.push_back({"cabextract", {"cabextract", "-l", cab}, "", nullptr, listCheck(set.names)});
            list.tools.push_back({"gcab", {"gcab", "-t", cab}, "", nullptr, listCheck(set.names)});
            list.tools.push_back({"7zz", {"7zz", "l", cab}, "", nullptr, listCheck(set.names)});
            cases.push_back(list);

            Case all{"extract all", label};
            std::string o = out + "/x";
            all.tools.push_back({"mirad", m(cfgStored, {"extract", cab, "-d", o}), "", fresh(o, false), treeCheck(set.dir, o)});
            all.tools.push_back({"cabextract", {"cabextract", "-q", "-d", o, cab}, "", fresh(o, false), treeCheck(set.dir, o)});
            all.tools.push_back({"gcab", {"gcab", "-x", "-C", o, cab}, "", fresh(o, true), treeCheck(set.dir, o)});
            all.tools.push_back({"7zz", {"7zz", "x", "-y", "-bd", "-o" + o, cab}, "", fresh(o, false), treeCheck(set.dir, o)});
            all.tools.push_back({"cp", {"cp", "-r", set.dir, o}, "", fresh(o, false), treeCheck(set.dir, o)});
            cases.push_back(all);
            if (kind == "m") continue;  // extract one and test: on gcab's layout, the common one

            Case one{"extract one", label};
            std::string expected = set.dir + "/" + sc.one, got = o + "/" + sc.one;
            one.tools.push_back({"mirad", m(cfgStored, {"extract", cab, sc.one, "-d", o}), "", fresh(o, false), fileCheck(expected, got)});
            one.tools.push_back({"cabextract", {"cabextract", "-q", "-F", sc.one, "-d", o, cab}, "", fresh(o, false), fileCheck(expected, got)});
            one.tools.push_back({"7zz", {"7zz", "x", "-y", "-bd", "-o" + o, cab, sc.one}, "", fresh(o, false), fileCheck(expected, got)});
            one.tools.push_back({"cp", {"cp", expected, got}, "", fresh(o, true), fileCheck(expected, got)});
            cases.push_back(one);
        }

        Case test{"test", sc.label + ", g"};
        test.tools.push_back({"mirad", m(cfgStored, {"test", g}), "", nullptr, testCheck(set.names.size())});
        test.tools.push_back({"cabextract", {"cabextract", "-t", g}, "", nullptr, nullptr});
        test.tools.push_back({"7zz", {"7zz", "t", "-bd", g}, "", nullptr, nullptr});
        cases.push_back(test);

        // Update: one installed file replaced in mirad's CE cabinet; gcab can
        // only write the whole cabinet anew, cp copies it.
        Case update{"update", sc.label + ", m"};
        std::string u = work + "/update.cab", repl = work + "/repl-" + fs::path(set.dir).filename().string();
        std::string replacement = repl + "/%InstallDir%/Game/f1.bin";
        Write(replacement, fixture::Pattern(static_cast<size_t>(fs::file_size(set.dir + "/F00001.001")), 999));
        std::string expectedDir = work + "/updated-" + fs::path(set.dir).filename().string();
        fs::create_directories(expectedDir);
        fs::copy(set.dir, expectedDir, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        fs::copy_file(replacement, expectedDir + "/F00001.001", fs::copy_options::overwrite_existing);
        auto restore = [mc, u] { fs::copy_file(mc, u, fs::copy_options::overwrite_existing); };
        update.tools.push_back({"mirad", m(cfgStored, {"update", u, "-C", repl, "%InstallDir%\\Game\\f1.bin"}), "", restore,
                                cabCheck(u, expectedDir)});
        update.tools.push_back({"gcab", gcabArgs(pg, set.names, false), expectedDir, fresh(pg, false), cabCheck(pg, expectedDir)});
        update.tools.push_back({"cp", {"cp", mc, out + "/copy.cab"}, "", fresh(out + "/copy.cab", false),
                                fileCheck(mc, out + "/copy.cab")});
        cases.push_back(update);
    }

    // ---- list: independent of the data size ----
    {
        Case list{"list", "4 x 1 MiB, g"};
        std::string g = big1.dir + "-g.cab";
        list.tools.push_back({"mirad", m(cfgStored, {"list", g}), "", nullptr, listCheck(big1.names)});
        list.tools.push_back({"cabextract", {"cabextract", "-l", g}, "", nullptr, listCheck(big1.names)});
        list.tools.push_back({"gcab", {"gcab", "-t", g}, "", nullptr, listCheck(big1.names)});
        list.tools.push_back({"7zz", {"7zz", "l", g}, "", nullptr, listCheck(big1.names)});
        cases.push_back(list);
    }
    // ---- test: 1k, 5k, 10k, 20k files ----
    for (const auto& [count, cab] : series) {
        if (count == small.names.size()) continue;  // the 20k test is above
        Case t{"test", Thousands(count) + " files, g"};
        t.tools.push_back({"mirad", m(cfgStored, {"test", cab}), "", nullptr, testCheck(count)});
        t.tools.push_back({"cabextract", {"cabextract", "-t", cab}, "", nullptr, nullptr});
        t.tools.push_back({"7zz", {"7zz", "t", "-bd", cab}, "", nullptr, nullptr});
        cases.push_back(t);
    }

    // ---- many folders: test and extract all ----
    const std::string foldersLabel = Thousands(folderCount) + " folders of 40 KB, m";
    {
        std::string mc = folders.dir + "-m.cab", o = out + "/f";
        Case test{"test", foldersLabel};
        test.tools.push_back({"mirad", m(cfgStored, {"test", mc}), "", nullptr, testCheck(folders.names.size())});
        test.tools.push_back({"cabextract", {"cabextract", "-t", mc}, "", nullptr, nullptr});
        test.tools.push_back({"7zz", {"7zz", "t", "-bd", mc}, "", nullptr, nullptr});
        cases.push_back(test);
        Case all{"extract all", foldersLabel};
        all.tools.push_back({"mirad", m(cfgStored, {"extract", mc, "-d", o}), "", fresh(o, false), treeCheck(folders.dir, o)});
        all.tools.push_back({"cabextract", {"cabextract", "-q", "-d", o, mc}, "", fresh(o, false), treeCheck(folders.dir, o)});
        all.tools.push_back({"gcab", {"gcab", "-x", "-C", o, mc}, "", fresh(o, true), treeCheck(folders.dir, o)});
        all.tools.push_back({"7zz", {"7zz", "x", "-y", "-bd", "-o" + o, mc}, "", fresh(o, false), treeCheck(folders.dir, o)});
        all.tools.push_back({"cp", {"cp", "-r", folders.dir, o}, "", fresh(o, false), treeCheck(folders.dir, o)});
        cases.push_back(all);
    }

    // ---- the CE cabinet with 65,535-row setup tables ----
    {
        const std::string label = "CE, " + Thousands(ceRows) + " rows";
        const std::string o = out + "/ce";
        std::vector<std::string> copyNames;
        for (uint32_t i = 0; i < ceRows; i += 997) {
            char t[16];
            std::snprintf(t, sizeof t, "f%05u.bin", i);
            copyNames.push_back(t);
        }
        struct View {
            std::string name, cfg;
            std::vector<std::string> names;
        };
        for (const View& v : {View{"stored", cfgStored, ce.storedNames}, View{"installed", cfgInstalled, copyNames},
                              View{"device", cfgDevice, copyNames}, View{"all five", cfgAll, {"~Cab~.REG", "~Cab~.INF"}}}) {
            Case list{"list", label + ", " + v.name + " view"};
            list.tools.push_back({"mirad", m(v.cfg, {"list", ce.cabinet}), "", nullptr, listCheck(v.names)});
            if (v.name == "stored") {
                list.tools.push_back({"cabextract", {"cabextract", "-l", ce.cabinet}, "", nullptr, listCheck(v.names)});
                list.tools.push_back({"gcab", {"gcab", "-t", ce.cabinet}, "", nullptr, listCheck(v.names)});
                list.tools.push_back({"7zz", {"7zz", "l", ce.cabinet}, "", nullptr, listCheck(v.names)});
            }
            cases.push_back(list);
        }
        Case stored{"extract all", label + ", stored layout"};
        stored.tools.push_back({"mirad", m(cfgStored, {"extract", ce.cabinet, "-d", o}), "", fresh(o, false), treeCheck(ce.stored, o)});
        stored.tools.push_back({"cabextract", {"cabextract", "-q", "-d", o, ce.cabinet}, "", fresh(o, false), treeCheck(ce.stored, o)});
        stored.tools.push_back({"gcab", {"gcab", "-x", "-C", o, ce.cabinet}, "", fresh(o, true), treeCheck(ce.stored, o)});
        stored.tools.push_back({"7zz", {"7zz", "x", "-y", "-bd", "-o" + o, ce.cabinet}, "", fresh(o, false), treeCheck(ce.stored, o)});
        stored.tools.push_back({"cp", {"cp", "-r", ce.stored, o}, "", fresh(o, false), treeCheck(ce.stored, o)});
        cases.push_back(stored);

        Case device{"extract all", label + ", device layout"};
        device.tools.push_back({"mirad", m(cfgDevice, {"extract", ce.cabinet, "-d", o}), "", fresh(o, false), treeCheck(ce.device, o)});
        device.tools.push_back({"cp", {"cp", "-r", ce.device, o}, "", fresh(o, false), treeCheck(ce.device, o)});
        cases.push_back(device);

        // The documents have no independent oracle here (the test suite's
        // golden files cover their text): each run's must be a whole
        // document and the same as the first run's.
        for (const std::string doc : {"~Cab~.INF", "~Cab~.REG"}) {
            Case c{"extract " + doc, label};
            auto first = std::make_shared<std::string>();
            std::string path = o + "/" + doc;
            std::string head = doc == "~Cab~.REG" ? "REGEDIT4\r\n" : "[Version]";
            size_t least = size_t{ceRows} * 10;
            c.tools.push_back({"mirad", m(cfgStored, {"extract", ce.cabinet, doc, "-d", o}), "", fresh(o, false),
                               [path, first, head, least]() -> std::string {
                                   std::string text = ReadAll(path);
                                   if (text.find(head) == std::string::npos || text.size() < least)
                                       return "not a whole document";
                                   if (first->empty()) *first = text;
                                   return text == *first ? "" : "differs from the first run's";
                               }});
            cases.push_back(c);
        }

        Case test{"test", label};
        test.tools.push_back({"mirad", m(cfgStored, {"test", ce.cabinet}), "", nullptr, testCheck(ceRows)});
        test.tools.push_back({"cabextract", {"cabextract", "-t", ce.cabinet}, "", nullptr, nullptr});
        test.tools.push_back({"7zz", {"7zz", "t", "-bd", ce.cabinet}, "", nullptr, nullptr});
        cases.push_back(test);

        Case update{"update", label};
        std::string u = work + "/update-ce.cab", repl = work + "/repl-ce";
        std::string rel = ce.oneInstalled;
        std::replace(rel.begin(), rel.end(), '\\', '/');
        fixture::Bytes replacement = fixture::Pattern(4000, 4242);
        Write(repl + "/" + rel, replacement);
        std::string expectedDir = work + "/updated-ce";
        fs::create_directories(expectedDir);
        fs::copy(ce.stored, expectedDir, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        Write(expectedDir + "/F00001.001", replacement);
        std::string cabPath = ce.cabinet;
        update.tools.push_back({"mirad", m(cfgStored, {"update", u, "-C", repl, ce.oneInstalled}), "",
                                [cabPath, u] { fs::copy_file(cabPath, u, fs::copy_options::overwrite_existing); },
                                cabCheck(u, expectedDir)});
        update.tools.push_back({"cp", {"cp", ce.cabinet, out + "/copy.cab"}, "", fresh(out + "/copy.cab", false),
                                fileCheck(ce.cabinet, out + "/copy.cab")});
        cases.push_back(update);

        // Removing an installed file rewrites the setup file: the cabinet
        // stays whole and the installed view no longer lists that file.
        Case remove{"remove", label};
        std::string rm = work + "/remove-ce.cab";
        std::string gone = ce.removable, kept = ce.oneInstalled;
        std::replace(gone.begin(), gone.end(), '\\', '/');
        std::replace(kept.begin(), kept.end(), '\\', '/');
        remove.tools.push_back(
            {"mirad", m(cfgStored, {"remove", rm, ce.removable}), "",
             [cabPath, rm] { fs::copy_file(cabPath, rm, fs::copy_options::overwrite_existing); },
             [&, rm, gone, kept]() -> std::string {
                 if (Execute({"cabextract", "-t", "-q", rm}, "", scratch + ".v").status != 0)
                     return "cabextract -t fails on it";
                 std::string listing = Capture(m(cfgInstalled, {"list", rm}), scratch + ".l");
                 if (listing.find(kept) == std::string::npos) return "the other installed files are not listed";
                 return listing.find(gone) == std::string::npos ? "" : "the removed file is still listed";
             }});
        remove.tools.push_back({"cp", {"cp", ce.cabinet, out + "/copy.cab"}, "", fresh(out + "/copy.cab", false),
                                fileCheck(ce.cabinet, out + "/copy.cab")});
        cases.push_back(remove);

        // An edited registry export copied back rebuilds the setup file's
        // registry tables: the cabinet stays whole and exports the edited
        // document again.
        Case regBack{"update ~Cab~.REG", label};
        std::string ur = work + "/update-reg.cab", edited = work + "/repl-reg", again = out + "/reg-again";
        fs::create_directories(edited);
        Execute(m(cfgStored, {"extract", ce.cabinet, "~Cab~.REG", "-d", edited}), "", scratch);
        std::string document = ReadAll(edited + "/~Cab~.REG");
        const size_t value = document.find("=\"text\"");
        if (value != std::string::npos) document.replace(value, 7, "=\"edited\"");
        Write(edited + "/~Cab~.REG", fixture::Bytes(document.begin(), document.end()));
        regBack.tools.push_back(
            {"mirad", m(cfgStored, {"update", ur, "-C", edited, "~Cab~.REG"}), "",
             [cabPath, ur] { fs::copy_file(cabPath, ur, fs::copy_options::overwrite_existing); },
             [&, ur, again, edited]() -> std::string {
                 if (Execute({"cabextract", "-t", "-q", ur}, "", scratch + ".v").status != 0)
                     return "cabextract -t fails on it";
                 RemoveTree(again);
                 Execute(m(cfgStored, {"extract", ur, "~Cab~.REG", "-d", again}), "", scratch + ".r");
                 return SameFile(edited + "/~Cab~.REG", again + "/~Cab~.REG") ? "" : "exports another document";
             }});
        regBack.tools.push_back({"cp", {"cp", ce.cabinet, out + "/copy.cab"}, "", fresh(out + "/copy.cab", false),
                                 fileCheck(ce.cabinet, out + "/copy.cab")});
        cases.push_back(regBack);
    }

    // ---- MSZIP ----
    if (readsZip) {
        std::string label = std::to_string(zipMiB) + " MiB MSZIP, gcab -z";
        Case list{"list", label};
        list.tools.push_back({"mirad", m(cfgStored, {"list", zipCab}), "", nullptr, listCheck(zip.names)});
        list.tools.push_back({"cabextract", {"cabextract", "-l", zipCab}, "", nullptr, listCheck(zip.names)});
        list.tools.push_back({"gcab", {"gcab", "-t", zipCab}, "", nullptr, listCheck(zip.names)});
        list.tools.push_back({"7zz", {"7zz", "l", zipCab}, "", nullptr, listCheck(zip.names)});
        cases.push_back(list);
        std::string o = out + "/z";
        Case all{"extract all", label};
        all.tools.push_back({"mirad", m(cfgStored, {"extract", zipCab, "-d", o}), "", fresh(o, false), treeCheck(zip.dir, o)});
        all.tools.push_back({"cabextract", {"cabextract", "-q", "-d", o, zipCab}, "", fresh(o, false), treeCheck(zip.dir, o)});
        all.tools.push_back({"gcab", {"gcab", "-x", "-C", o, zipCab}, "", fresh(o, true), treeCheck(zip.dir, o)});
        all.tools.push_back({"7zz", {"7zz", "x", "-y", "-bd", "-o" + o, zipCab}, "", fresh(o, false), treeCheck(zip.dir, o)});
        all.tools.push_back({"cp", {"cp", "-r", zip.dir, o}, "", fresh(o, false), treeCheck(zip.dir, o)});
        cases.push_back(all);
        Case one{"extract one", label};
        std::string name = zip.names[zip.names.size() / 2], expected = zip.dir + "/" + name, got = o + "/" + name;
        one.tools.push_back({"mirad", m(cfgStored, {"extract", zipCab, name, "-d", o}), "", fresh(o, false), fileCheck(expected, got)});
        one.tools.push_back({"cabextract", {"cabextract", "-q", "-F", name, "-d", o, zipCab}, "", fresh(o, false), fileCheck(expected, got)});
        one.tools.push_back({"7zz", {"7zz", "x", "-y", "-bd", "-o" + o, zipCab, name}, "", fresh(o, false), fileCheck(expected, got)});
        one.tools.push_back({"cp", {"cp", expected, got}, "", fresh(o, true), fileCheck(expected, got)});
        cases.push_back(one);
        Case test{"test", label};
        test.tools.push_back({"mirad", m(cfgStored, {"test", zipCab}), "", nullptr, testCheck(zip.names.size())});
        test.tools.push_back({"cabextract", {"cabextract", "-t", zipCab}, "", nullptr, nullptr});
        test.tools.push_back({"7zz", {"7zz", "t", "-bd", zipCab}, "", nullptr, nullptr});
        cases.push_back(test);
    }

    // ---- MSZIP writing: pack -z against gcab -z, and an update of one file
    // of mirad's MSZIP cabinet against packing it anew ----
    const std::string zipWriteLabel = std::to_string(zipMiB) + " MiB mixed";
    auto packedSizes = std::make_shared<std::map<std::string, uint64_t>>();
    {
        Case pack{"pack -z", zipWriteLabel};
        std::string pm = work + "/pack-z-m.cab", pg = work + "/pack-z-g.cab";
        auto sized = [&, packedSizes](const std::string& tool, const std::string& cab) {
            auto check = cabCheck(cab, zip.dir);
            return [check, packedSizes, tool, cab]() {
                (*packedSizes)[tool] = fs::file_size(cab);
                return check();
            };
        };
        Args pa = m(cfgStored, {"pack", "-z", pm, "-C", zip.dir});
        pa.insert(pa.end(), zip.names.begin(), zip.names.end());
        pack.tools.push_back({"mirad", pa, "", fresh(pm, false), sized("mirad", pm)});
        pack.tools.push_back({"gcab", gcabArgs(pg, zip.names, true), zip.dir, fresh(pg, false), sized("gcab", pg)});
        cases.push_back(pack);

        std::string mz = zip.dir + "-mz.cab";
        makeCab(pa, "");
        fs::rename(pm, mz);
        Case update{"update", zipWriteLabel + ", mirad -z"};
        std::string u = work + "/update-z.cab", repl = work + "/repl-zip";
        std::string replacement = repl + "/%InstallDir%/Game/f1.bin";
        Write(replacement, fixture::Pattern(static_cast<size_t>(fs::file_size(zip.dir + "/F00001.001")), 998));
        std::string expectedDir = work + "/updated-zip";
        fs::create_directories(expectedDir);
        fs::copy(zip.dir, expectedDir, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        fs::copy_file(replacement, expectedDir + "/F00001.001", fs::copy_options::overwrite_existing);
        update.tools.push_back({"mirad", m(cfgStored, {"update", u, "-C", repl, "%InstallDir%\\Game\\f1.bin"}), "",
                                [mz, u] { fs::copy_file(mz, u, fs::copy_options::overwrite_existing); },
                                cabCheck(u, expectedDir)});
        update.tools.push_back({"gcab", gcabArgs(pg, zip.names, true), expectedDir, fresh(pg, false),
                                cabCheck(pg, expectedDir)});
        update.tools.push_back({"cp", {"cp", mz, out + "/copy.cab"}, "", fresh(out + "/copy.cab", false),
                                fileCheck(mz, out + "/copy.cab")});
        cases.push_back(update);
    }

    // ---- A CE cabinet built from a wizard INF with tables of 65,535 rows:
    // installed files stop at 998 (three-digit numbers), so the registry
    // keys and values carry the rows ----
    const uint32_t infRows = quick ? 4095 : 65535;
    const std::string infLabel = "INF, 998 files, " + Thousands(infRows) + " registry keys and values";
    {
        const std::string dir = work + "/inf";
        std::ostringstream inf;
        inf << "[Version]\r\nSignature = \"$Windows NT$\"\r\nProvider = \"Mirad\"\r\nCESignature = \"$Windows CE$\"\r\n"
            << "\r\n[CEStrings]\r\nAppName = Big\r\nInstallDir = %CE1%\\%AppName%\r\n"
            << "\r\n[SourceDisksNames]\r\n1 = ,\"Sources\",,src\r\n\r\n[SourceDisksFiles]\r\n";
        const int kFiles = 998, kDirs = 100;
        std::vector<std::string> names;
        for (int i = 0; i < kFiles; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "file%04d.bin", i);
            names.push_back(name);
            Write(dir + "/src/" + name, fixture::Pattern(64 + i % 200, static_cast<uint32_t>(i)));
            inf << name << " = 1\r\n";
        }
        inf << "\r\n[DefaultInstall]\r\nCopyFiles = ";
        for (int d = 0; d < kDirs; ++d) inf << (d ? ",Files" : "Files") << d;
        inf << "\r\nAddReg = Registry\r\n\r\n[DestinationDirs]\r\n";
        for (int d = 0; d < kDirs; ++d) inf << "Files" << d << " = 0,%InstallDir%\\d" << d << "\r\n";
        for (int d = 0; d < kDirs; ++d) {
            inf << "\r\n[Files" << d << "]\r\n";
            for (int i = d; i < kFiles; i += kDirs) inf << names[i] << ",,,0\r\n";
        }
        // Every key differs, from parts shared by many: the string table
        // stays far below its limit.
        inf << "\r\n[Registry]\r\n";
        for (uint32_t i = 0; i < infRows; ++i)
            inf << "HKLM,Software\\Big\\A" << i / 256 << "\\B" << i % 256 << ",v" << i << ",0x00010001," << i << "\r\n";
        WriteString(dir + "/big.inf", inf.str());
        const std::string built = work + "/inf-built.cab";
        Case build{"build", infLabel};
        build.tools.push_back({"mirad", m(cfgStored, {"build", dir + "/big.inf", "-o", built}), "", fresh(built, false),
                               [&, built]() -> std::string {
                                   Sample t = Execute({"cabextract", "-t", built}, "", scratch + ".v");
                                   return t.status == 0 ? "" : "cabextract -t fails on it";
                               }});
        cases.push_back(build);
    }

    double prepared = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::fprintf(stderr, "peer_bench: inputs ready in %.0f s; %d runs after a warm-up\n", prepared, runs);
    for (Case& c : cases) RunCase(c, runs, scratch);
    // The zlib level of the MSZIP writer: the level in use against the next
    // one, on the pack -z input, in this run.
    std::vector<LevelTrial> levels;
    for (int level : {mirad::MszipEncoder::kDefaultLevel, mirad::MszipEncoder::kDefaultLevel + 1})
        levels.push_back(EncodeAtLevel(zip.dir, zip.names, level, runs));

    // ---- The report ----
    auto find = [&](const std::string& op, const std::string& input) -> const Case* {
        for (const Case& c : cases)
            if (c.operation == op && c.input == input) return &c;
        return nullptr;
    };
    auto bestPeer = [](const Case& c, std::string* who) {
        double best = -1;
        for (const Tool& t : c.tools) {
            if (t.name == "mirad" || t.name == "cp") continue;
            double s = MedianSeconds(c, t.name);
            if (s >= 0 && (best < 0 || s < best)) {
                best = s;
                *who = t.name;
            }
        }
        return best;
    };

    std::vector<Goal> goals;
    auto ratioOf = [&](const std::string& op, const std::string& input, const std::string& against) {
        const Case* c = find(op, input);
        if (!c) return -1.0;
        double mine = MedianSeconds(*c, "mirad");
        std::string who;
        double other = against == "best" ? bestPeer(*c, &who) : MedianSeconds(*c, against);
        return mine < 0 || other <= 0 ? -1.0 : mine / other;
    };
    auto goal = [&](const std::string& what, double value, double limit, const std::string& unit) {
        goals.push_back({what, value >= 0 && value <= limit,
                         value < 0 ? "not measured" : Fixed(value, 2) + unit + " (goal ≤ " + Fixed(limit, 2) + unit + ")"});
    };
    goal("Extract all, " + smallLabel + " in one folder, × best peer", ratioOf("extract all", smallLabel + ", g", "best"), 1.0, "");
    goal("Test, " + smallLabel + ", × cabextract -t", ratioOf("test", smallLabel + ", g", "cabextract"), 1.0, "");
    {
        const Case* a = find("test", Thousands(smallCount / 2) + " files, g");
        const Case* b = find("test", smallLabel + ", g");
        double r = a && b && MedianSeconds(*a, "mirad") > 0 ? MedianSeconds(*b, "mirad") / MedianSeconds(*a, "mirad") : -1;
        goal("Test linear: time for " + Thousands(smallCount) + " files / time for " + Thousands(smallCount / 2), r,
             2.2, "");
    }
    goal("Extract all, " + smallLabel + " in many folders (m), × best peer", ratioOf("extract all", smallLabel + ", m", "best"),
         1.0, "");
    goal("Extract all, " + bigLabel + ", × 7zz", ratioOf("extract all", bigLabel + ", g", "7zz"), 1.0, "");
    goal("Test, " + bigLabel + ", × 7zz", ratioOf("test", bigLabel + ", g", "7zz"), 1.0, "");
    goal("Extract all, " + bigLabel + ", × cp", ratioOf("extract all", bigLabel + ", g", "cp"), 1.3, "");
    for (const Case& c : cases) {
        if (c.operation != "list" || c.samples.count("cabextract") == 0) continue;
        goal("List " + c.input + ", × cabextract -l", ratioOf("list", c.input, "cabextract"), 1.2, "");
    }
    {
        const Case* a = find("list", "4 x 1 MiB, g");
        const Case* b = find("list", bigLabel + ", g");
        double r = a && b && MedianSeconds(*a, "mirad") > 0 ? MedianSeconds(*b, "mirad") / MedianSeconds(*a, "mirad") : -1;
        goal("List independent of data size: " + bigLabel + " / 4 x 1 MiB", r, 1.2, "");
    }
    long cePeak = 0;
    for (const Case& c : cases) {
        if (c.input.rfind("CE,", 0) != 0) continue;
        // Changes of the cabinet have goals against cp; every operation has
        // the memory goal.
        cePeak = std::max(cePeak, PeakKiB(c, "mirad"));
        if (c.operation.rfind("update", 0) == 0 || c.operation == "remove") continue;
        goal(c.operation + ", " + c.input + ": seconds", MedianSeconds(c, "mirad"), 1.0, " s");
    }
    goal("CE cabinet, peak memory of any operation", cePeak > 0 ? cePeak / 1024.0 : -1, 32, " MiB");
    {
        const std::string ceLabel = "CE, " + Thousands(ceRows) + " rows";
        goal("Extract all, " + ceLabel + ", stored layout, × best peer",
             ratioOf("extract all", ceLabel + ", stored layout", "best"), 1.0, "");
        goal("Test, " + ceLabel + ", × 7zz", ratioOf("test", ceLabel, "7zz"), 1.0, "");
    }
    for (const std::string op : {"test", "extract all"}) {
        const Case* c = find(op, foldersLabel);
        long peak = c ? PeakKiB(*c, "mirad") : 0;
        goal(op + ", " + foldersLabel + ": peak memory", peak > 0 ? peak / 1024.0 : -1, 16, " MiB");
    }
    {
        long peak = 0;
        std::string which;
        // Building from an INF has a goal of its own.
        for (const Case& c : cases)
            if (c.operation != "build" && PeakKiB(c, "mirad") > peak) {
                peak = PeakKiB(c, "mirad");
                which = c.operation + ", " + c.input;
            }
        goal("Peak memory of any operation on a cabinet (" + which + ")", peak > 0 ? peak / 1024.0 : -1, 32, " MiB");
    }
    if (readsZip) {
        const std::string zipLabel = std::to_string(zipMiB) + " MiB MSZIP, gcab -z";
        goal("Extract all, " + zipLabel + ", × best peer", ratioOf("extract all", zipLabel, "best"), 1.0, "");
    }
    goal("Pack -z " + zipWriteLabel + ", × gcab -z", ratioOf("pack -z", zipWriteLabel, "gcab"), 1.0, "");
    {
        auto& sizes = *packedSizes;
        double r = sizes.count("mirad") && sizes.count("gcab") && sizes["gcab"] > 0
                       ? static_cast<double>(sizes["mirad"]) / static_cast<double>(sizes["gcab"])
                       : -1;
        goal("Pack -z " + zipWriteLabel + ", cabinet size × gcab -z's", r, 1.01, "");
        const Case* u = find("update", zipWriteLabel + ", mirad -z");
        const Case* p = find("pack -z", zipWriteLabel);
        double up = u && p && MedianSeconds(*p, "mirad") > 0 ? MedianSeconds(*u, "mirad") / MedianSeconds(*p, "mirad") : -1;
        goal("Update one file of " + zipWriteLabel + " (mirad -z) / pack -z anew", up, 1.0, "");
    }
    {
        const Case* b = find("build", infLabel);
        goal("Build from " + infLabel + ": seconds", b ? MedianSeconds(*b, "mirad") : -1, 2.0, " s");
        long peak = b ? PeakKiB(*b, "mirad") : 0;
        goal("Build from " + infLabel + ": peak memory", peak > 0 ? peak / 1024.0 : -1, 64, " MiB");
    }
    for (const std::string& set : {smallLabel, bigLabel}) {
        goal("Pack " + set + ", × gcab", ratioOf("pack", set, "gcab"), 0.9, "");
        goal("Pack " + set + ", × cp", ratioOf("pack", set, "cp"), 1.5, "");
        goal("Update " + set + ", m, × gcab", ratioOf("update", set + ", m", "gcab"), 0.9, "");
        goal("Update " + set + ", m, × cp", ratioOf("update", set + ", m", "cp"), 1.5, "");
    }

    std::ostringstream md;
    std::time_t now = std::time(nullptr);
    char date[64];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    std::string vCab = Capture({"cabextract", "--version"}, work + "/v");
    std::string vGcab = Capture({"gcab", "--version"}, work + "/v");
    std::string v7 = Capture({"7zz"}, work + "/v");
    auto firstLine = [](std::string s) {
        while (!s.empty() && (s[0] == '\n' || s[0] == '\r')) s.erase(0, 1);
        return s.substr(0, s.find('\n'));
    };
    double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    md << "# Benchmark results\n\n" << (quick ? "**A --quick run: small inputs, to try the bench out; not a result.**\n\n" : "")
       << "Made by `bench/run` on " << date << ", in " << Fixed(total, 0) << " s.\n\n"
       << "- Machine: " << MachineLine(work) << "\n"
       << "- Load (1, 5, 15 min averages; other engineers' builds share the machine): " << loadBefore
       << " at the start, " << LoadLine() << " at the end\n"
       << "- Tools: " << firstLine(Capture({mirad, "--version"}, work + "/v")) << ", " << firstLine(vCab) << ", "
       << firstLine(vGcab) << ", " << firstLine(v7).substr(0, 22) << ", cp (coreutils)\n"
       << "- Each time is the median of " << runs << " or more runs of the whole command after one warm-up run, "
       << "every tool in turn in each round (a case gets as many rounds as fit in " << Fixed(kTimedBudget, 0)
       << " s of timed commands and " << Fixed(kCaseBudget, 0) << " s in all, up to " << runs * kMaxRoundsPerRun
       << "; the last table gives each tool's count); the cabinets are in "
          "the page cache. Every output was checked (extracted trees byte for byte against the sources, written "
          "cabinets extracted again with cabextract, listings for every name, tests by their result).\n"
       << "- Inputs: *g* cabinets made by `gcab -c` (all files in one folder, files sharing blocks), *m* by "
          "`mirad pack` (a block run per file; a new folder after 32 KiB). Each set starts with a SETUP.000 that installs F00001.001, so "
          "`mirad update` can replace it. The CE cabinet has " << Thousands(ceRows) << " stored files in one folder and " << Thousands(ceRows)
       << " rows in each setup table (strings, directories, copy-files, registry keys, registry values, shortcuts); "
          "`mirad update` replaces one installed file of it and `mirad remove` removes another. "
          "The MSZIP cabinet (`gcab -c -z`, one folder) holds " << Thousands(zip.names.size()) << " files of 4 KiB to 4 MiB, "
       << Thousands(static_cast<size_t>(zip.bytes >> 20)) << " MiB in all: text, program-like data, random "
          "(incompressible) data and runs of zeros; the same files are packed with `pack -z` and `gcab -c -z`, "
          "and one file of mirad's MSZIP cabinet of them is updated. The many-folders cabinet (`mirad pack`) holds "
       << Thousands(folderCount) << " files of 40,000 bytes, one folder each.\n"
       << "- × cp: against `cp -r` of the same files (one file for extract one, the cabinet for update). "
          "× best: against the fastest peer that did the same operation.\n";
    if (packedSizes->count("mirad") && packedSizes->count("gcab")) {
        md << "- MSZIP cabinets of the " << zipWriteLabel << " input (" << Thousands(static_cast<size_t>(zip.bytes))
           << " bytes): `mirad pack -z` " << Thousands(static_cast<size_t>((*packedSizes)["mirad"]))
           << " bytes, `gcab -c -z` " << Thousands(static_cast<size_t>((*packedSizes)["gcab"])) << " bytes.\n";
    }
    md << "\n";
    if (!readsZip) {
        std::string why = firstLine(zipNote);
        md << "- **Skipped: the 100 MiB MSZIP cabinet.** This mirad does not read compressed folders yet (`mirad test` "
              "says: " << (why.empty() ? "it failed" : "\"" + why + "\"") << ").\n\n";
    }
    md << "## mirad per operation\n\n"
       << "| operation | input | mirad s | × cp | × best peer | best peer | peak MiB |\n"
       << "|---|---|---:|---:|---:|---|---:|\n";
    for (const Case& c : cases) {
        std::string who = "—";
        double best = bestPeer(c, &who);
        double mine = MedianSeconds(c, "mirad");
        std::string mineText = c.failures.count("mirad") ? "FAILED" : Seconds(mine);
        md << "| " << c.operation << " | " << c.input << " | " << mineText << " | "
           << Ratio(mine, MedianSeconds(c, "cp")) << " | " << Ratio(mine, best) << " | "
           << (best >= 0 ? who + " " + Seconds(best) : "—") << " | " << Mib(PeakKiB(c, "mirad")) << " |\n";
    }
    md << "\n## Goals\n\n| goal | measured | met |\n|---|---|---|\n";
    for (const Goal& g : goals) md << "| " << g.what << " | " << g.detail << " | " << (g.met ? "yes" : "**no**") << " |\n";
    if (!levels.empty() && levels[0].seconds > 0 && packedSizes->count("gcab")) {
        const Case* pz = find("pack -z", zipWriteLabel);
        double gcabSeconds = pz ? MedianSeconds(*pz, "gcab") : -1, packSeconds = pz ? MedianSeconds(*pz, "mirad") : -1;
        double gcabBytes = static_cast<double>((*packedSizes)["gcab"]);
        md << "\n## MSZIP writer: zlib level\n\nThe writer's folders and blocks of the " << zipWriteLabel
           << " input encoded in process (no file read or written), best of " << runs
           << " runs; `pack -z` with a level is its measured time less the encoding time of the level in use plus "
              "that of the level tried.\n\n"
           << "| level | encoding s | blocks' bytes | × gcab -z size | pack -z s (estimated) | × gcab -z time |\n"
           << "|---:|---:|---:|---:|---:|---:|\n";
        for (const LevelTrial& l : levels) {
            double pack = packSeconds > 0 ? packSeconds - levels[0].seconds + l.seconds : -1;
            md << "| " << l.level << (l.level == mirad::MszipEncoder::kDefaultLevel ? " (in use)" : "") << " | "
               << Fixed(l.seconds, 3) << " | " << Thousands(static_cast<size_t>(l.bytes)) << " | "
               << Fixed(static_cast<double>(l.bytes) / gcabBytes, 3) << " | " << Seconds(pack) << " | "
               << Ratio(pack, gcabSeconds) << " |\n";
        }
    }
    md << "\n## Every tool\n\n| operation | input | tool | runs | median s | fastest | slowest | peak MiB | check |\n"
       << "|---|---|---|---:|---:|---:|---:|---:|---|\n";
    for (const Case& c : cases) {
        for (const Tool& t : c.tools) {
            std::vector<double> v;
            auto it = c.samples.find(t.name);
            if (it != c.samples.end())
                for (const Sample& s : it->second) v.push_back(s.seconds);
            std::string lo = v.empty() ? "—" : Seconds(*std::min_element(v.begin(), v.end()));
            std::string hi = v.empty() ? "—" : Seconds(*std::max_element(v.begin(), v.end()));
            auto f = c.failures.find(t.name);
            md << "| " << c.operation << " | " << c.input << " | " << t.name << " | " << v.size() << " | "
               << (v.empty() ? "—" : Seconds(Median(v))) << " | " << lo << " | " << hi << " | "
               << Mib(PeakKiB(c, t.name)) << " | " << (f == c.failures.end() ? "ok" : "FAILED: " + f->second)
               << " |\n";
        }
    }
    std::ofstream(results, std::ios::binary) << md.str();
    std::fprintf(stderr, "peer_bench: %s written (%.0f s in all)\n", results.c_str(), total);
    // MIRAD_BENCH_KEEP leaves the inputs for profiling by hand.
    if (!std::getenv("MIRAD_BENCH_KEEP")) RemoveTree(work);
    return 0;
}
