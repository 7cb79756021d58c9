// Files on disk are never lost or written where they do not belong: links in
// the destination, failed entries over existing files, names that would
// drive the terminal, output that cannot be written, work stopped part-way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <thread>

#include "support/output.h"
#include "tests/fixture.h"

using namespace fixture;

namespace {

bool AnyTemporary(const std::string& dir) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
        if (entry.path().filename().string().find(".mirad-") != std::string::npos) return true;
    return false;
}

// Links already in the destination lead nowhere: a directory link blocks its
// entry with a message, a link under an entry's name is replaced, and what
// they point at is untouched.
TEST(SafeExtract, LinksInTheDestinationAreNeverFollowed) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((dir / "o").c_str(), 0777), 0);
    WriteText(dir / "o/victim.txt", "orig");
    ASSERT_EQ(symlink((dir / "o").c_str(), (dir / "d/link").c_str()), 0);
    ASSERT_EQ(symlink((dir / "o/victim.txt").c_str(), (dir / "d/victim.txt").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (dir / "d/dangling.txt").c_str()), 0);
    WriteFile(dir / "t.cab", BuildCabinet({Stored("link\\inside.txt", "in"), Stored("victim.txt", "new"),
                                           Stored("dangling.txt", "d"), Stored("after.txt", "a")}));

    CommandResult r = Mirad(dir, "extract t.cab -d d");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("cannot extract 'link/inside.txt': the way in, 'd/link', is a symbolic link"), std::string::npos)
        << r.out;
    EXPECT_FALSE(FileExists(dir / "o/inside.txt"));
    EXPECT_EQ(ReadText(dir / "o/victim.txt"), "orig");
    EXPECT_FALSE(FileExists(dir / "o/nowhere"));
    EXPECT_FALSE(FileExists(dir / "d/nowhere"));
    for (const char* name : {"victim.txt", "dangling.txt"})
        EXPECT_FALSE(std::filesystem::is_symlink(dir / ("d/" + std::string(name)))) << name;
    EXPECT_EQ(ReadText(dir / "d/victim.txt"), "new");
    EXPECT_EQ(ReadText(dir / "d/dangling.txt"), "d");
    EXPECT_EQ(ReadText(dir / "d/after.txt"), "a");  // the run goes on
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "d/link"));
}

// A directory of the destination swapped for a link to one outside, over and
// over while a few thousand entries are extracted into it: nothing outside is
// written, replaced or removed, no temporary file is left, and every entry
// the module reports written is a file inside.
TEST(SafeExtract, DirectorySwappedForALinkNeverLeadsOutside) {
    ModuleEnv env;
    ASSERT_TRUE(env.m.ok());
    const int kDirs = 8, kFiles = 4000;
    std::vector<StoredFile> files;
    for (int i = 0; i < kFiles; ++i)
        files.push_back(Stored("sub\\d" + std::to_string(i % kDirs) + "\\f" + std::to_string(i), "entry " + std::to_string(i)));
    std::string cab = env.Cab("race.cab", BuildCabinet(files));
    const std::string out = env.dir / "out", victim = env.dir / "victim";
    for (int d = 0; d < kDirs; ++d) std::filesystem::create_directories(out + "/sub/d" + std::to_string(d));
    std::filesystem::create_directories(victim);
    WriteText(victim + "/marker", "outside");
    for (int i = 0; i < kFiles; i += 97) WriteText(victim + "/f" + std::to_string(i), "outside");
    const auto outside = FilesBelow(victim);

    // The swapper starts once the first entry is written, and extraction
    // goes on once the first swap is done: the two always overlap.
    std::promise<void> firstEntry, firstSwap;
    std::atomic<bool> done{false};
    std::atomic<unsigned> swaps{0};
    std::thread swapper([&] {
        firstEntry.get_future().wait();
        bool told = false;
        for (unsigned turn = 0; !done.load(); ++turn) {
            std::string target = out + "/sub" + (turn % (kDirs + 1) ? "/d" + std::to_string(turn % (kDirs + 1) - 1) : "");
            std::string moved = target + ".moved";
            if (rename(target.c_str(), moved.c_str()) != 0) continue;
            if (symlink(victim.c_str(), target.c_str()) == 0) {
                ++swaps;
                unlink(target.c_str());
            }
            // A directory the extraction made meanwhile keeps the name when
            // it is not empty; the moved one stays beside it.
            rename(moved.c_str(), target.c_str());
            if (!told) firstSwap.set_value();
            told = true;
        }
        if (!told) firstSwap.set_value();
    });

    OpenResult open = Open(env.m, cab);
    ASSERT_TRUE(open.handle);
    EntryHeader header;
    std::string base = out + "/";
    unsigned written = 0, refused = 0, other = 0;
    for (int i = 0; env.m.ReadHeader(open.handle, &header) == MIRAD_OK; ++i) {
        std::string name = header.fileName;
        int32_t r = env.m.ProcessFile(open.handle, MIRAD_EXTRACT, &base[0], &name[0]);
        (r == MIRAD_OK ? written : r == MIRAD_ECREATE ? refused : other)++;
        if (i == 0) {
            firstEntry.set_value();
            firstSwap.get_future().wait();
        }
    }
    unsigned swapsDuring = swaps.load();
    done = true;
    swapper.join();
    env.m.CloseArchive(open.handle);

    EXPECT_GT(swapsDuring, 0u);
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(written + refused, static_cast<unsigned>(kFiles));
    EXPECT_GT(written, 0u);
    const auto after = FilesBelow(victim);
    EXPECT_TRUE(after == outside) << "written or removed outside the destination: " << after.size() << " files there, "
                                  << outside.size() << " before";
    EXPECT_FALSE(AnyTemporary(env.dir.path));
    EXPECT_EQ(FilesBelow(out).size(), written) << "a file reported written is missing, or one more is there";
}

// The directory held from one entry to the next is changed between two
// entries: removed, it is made again; swapped for a link, the link is not
// followed.
TEST(SafeExtract, WayChangedBetweenEntriesOfOneDirectory) {
    struct Case {
        const char* what;
        void (*change)(const std::string& out, const std::string& victim);
        const char* secondAt;  // where the second entry is found below out, or null
    };
    const Case cases[] = {
        {"removed", [](const std::string& out, const std::string&) { std::filesystem::remove_all(out + "/a"); },
         "a/b/y"},
        {"swapped for a link",
         [](const std::string& out, const std::string& victim) {
             std::filesystem::rename(out + "/a", out + "/a.moved");
             std::filesystem::create_directory_symlink(victim, out + "/a");
         },
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ModuleEnv env;
        ASSERT_TRUE(env.m.ok());
        std::string cab = env.Cab("t.cab", BuildCabinet({Stored("a\\b\\x", "1"), Stored("a\\b\\y", "2")}));
        const std::string out = env.dir / "out", victim = env.dir / "victim";
        std::filesystem::create_directories(out);
        std::filesystem::create_directories(victim + "/b");
        OpenResult open = Open(env.m, cab);
        ASSERT_TRUE(open.handle);
        EntryHeader header;
        std::string base = out + "/";
        for (int i = 0; env.m.ReadHeader(open.handle, &header) == MIRAD_OK; ++i) {
            if (i == 1) c.change(out, victim);
            std::string name = header.fileName;
            int32_t r = env.m.ProcessFile(open.handle, MIRAD_EXTRACT, &base[0], &name[0]);
            EXPECT_TRUE(r == MIRAD_OK || (!c.secondAt && r == MIRAD_ECREATE)) << i << ": " << r;
        }
        env.m.CloseArchive(open.handle);
        EXPECT_TRUE(FilesBelow(victim).empty());
        if (c.secondAt) {
            EXPECT_EQ(ReadText(out + "/" + c.secondAt), "2");
        }
        EXPECT_FALSE(AnyTemporary(env.dir.path));
    }
}

// A damaged entry over an existing file leaves the file exactly as it was
// and no temporary file beside it; a good one replaces it whole.
TEST(SafeExtract, FailedEntryKeepsTheExistingFile) {
    TempDir dir;
    CabLayout layout;
    Bytes cab = BuildCabinet({Stored("a.txt", std::string(5000, 'n'))}, {}, &layout);
    WriteFile(dir / "good.cab", cab);
    cab[layout.blockOffsets[0] + 4] ^= 0xFF;  // cbData: the block no longer fits
    cab[layout.blockOffsets[0] + 5] ^= 0xFF;
    WriteFile(dir / "bad.cab", cab);
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0777), 0);
    WriteText(dir / "d/a.txt", "old content");

    CommandResult r = Mirad(dir, "extract bad.cab -d d");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(ReadText(dir / "d/a.txt"), "old content");
    EXPECT_EQ(FilesBelow(dir / "d").size(), 1u) << "a temporary file was left behind";

    r = Mirad(dir, "extract good.cab -d d");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadText(dir / "d/a.txt"), std::string(5000, 'n'));
    EXPECT_EQ(FilesBelow(dir / "d").size(), 1u);
}

TEST(SafeOutput, TemporaryNamesSayWhatTheyBelongTo) {
    std::string a = mirad::TemporaryNameFor("/x/y/game.cab"), b = mirad::TemporaryNameFor("/x/y/game.cab");
    EXPECT_NE(a, b);
    EXPECT_EQ(a.compare(0, 20, "/x/y/.game.cab.mirad"), 0) << a;
    EXPECT_TRUE(mirad::IsTemporaryNameOf(a.substr(5), "game.cab")) << a;
    for (const char* other : {".game.cab.mirad-", ".game.cab.mirad-abcdefg", ".game.cab.mirad-ABCDEF", ".game.cabXmirad-abcdef",
                              ".other.cab.mirad-abcdef", "game.cab.mirad-abcdef"}) {
        EXPECT_FALSE(mirad::IsTemporaryNameOf(other, "game.cab")) << other;
    }
}

// Control characters in names reach the terminal escaped, in listings and
// in messages alike.
TEST(SafeHost, ControlCharactersInNamesAreEscaped) {
    TempDir dir;
    StoredFile c1 = Stored("c\xc2\x9b" "2J", "z");  // CSI as UTF-8, so flagged UTF-8
    c1.attribs |= 0x80;
    WriteFile(dir / "t.cab", BuildCabinet({Stored("a\x1b]0;owned\x07.txt", "x"), Stored("b\nforged line", "y"), c1}));
    CommandResult r = Mirad(dir, "list t.cab");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find_first_of("\x1b\x07\r"), std::string::npos) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;
    for (const char* shown : {"a\\x1b]0;owned\\x07.txt", "b\\nforged line", "c\\xc2\\x9b2J"})
        EXPECT_NE(r.out.find(shown), std::string::npos) << shown << "\n" << r.out;
    r = Mirad(dir, "extract t.cab 'b\nforged line' -d /dev/null/x");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find_first_of("\x1b\x07"), std::string::npos) << r.out;
}

TEST(SafeHost, FailedWritesToStandardOutputAreErrors) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    TempDir dir;
    WriteFile(dir / "t.cab", BuildCabinet({Stored("a.txt", "hello")}));
    for (const char* command : {"list t.cab", "extract t.cab a.txt -d -", "test t.cab"}) {
        CommandResult r = fixture::Run("cd " + Quote(dir.path) + " && (" + Quote(HostPath()) + " --config cfg " + command +
                              " > /dev/full)");
        EXPECT_EQ(r.status, 1) << command << "\n" << r.out;
        EXPECT_NE(r.out.find("standard output"), std::string::npos) << command << "\n" << r.out;
    }
}

// The callback the tests hand the module: counts calls and bytes per name,
// and answers 0 ("stop") once `stopAfter` bytes have been reported.
struct Counter {
    uint64_t bytes = 0;
    size_t calls = 0;
    uint64_t stopAfter = UINT64_MAX;
    std::map<std::string, size_t> callsPerName;
};
Counter g_counter;
int MIRAD_CALL CountingCallback(char* name, int32_t size) {
    g_counter.bytes += static_cast<uint64_t>(size);
    ++g_counter.calls;
    ++g_counter.callsPerName[name];
    return g_counter.bytes >= g_counter.stopAfter ? 0 : 1;
}

const std::vector<StoredFile> kProgressFiles = {{"big.bin", Pattern(3 << 20, 1)},
                                                {"small.txt", BytesOf("small")},
                                                {"empty", {}}};

// Extraction, test, pack and update report every byte they handle, at
// least once per entry and about once per MiB, under the name the host
// shows as the source: the entry as listed, the file being packed, the
// entry whose kept bytes an update copies.
TEST(Progress, CallbackSumsEqualTheBytesAndNameTheSource) {
    ModuleEnv env;
    ASSERT_TRUE(env.m.ok());
    std::vector<StoredFile> files = kProgressFiles;
    files[1].name = "docs\\small.txt";
    std::string cab = env.Cab("p.cab", BuildCabinet(files));
    for (int32_t operation : {MIRAD_EXTRACT, MIRAD_TEST}) {
        SCOPED_TRACE(operation);
        OpenResult open = Open(env.m, cab);
        ASSERT_TRUE(open.handle);
        env.m.SetProcessDataProc(open.handle, CountingCallback);
        g_counter = Counter();
        EntryHeader header;
        std::map<std::string, size_t> listed;
        uint64_t handled = 0;
        for (int n = 0; env.m.ReadHeader(open.handle, &header) == MIRAD_OK; ++n) {
            std::string out = env.dir / ("x-" + std::to_string(n));
            ASSERT_EQ(env.m.ProcessFile(open.handle, operation, nullptr, &out[0]), MIRAD_OK);
            handled += static_cast<uint64_t>(header.unpackedSize);
            listed[header.fileName] = g_counter.callsPerName[header.fileName];
            EXPECT_GE(listed[header.fileName], 1u) << header.fileName;
        }
        env.m.CloseArchive(open.handle);
        EXPECT_EQ(g_counter.callsPerName, listed);  // no call under any other name
        EXPECT_EQ(listed.count(HostName("docs\\small.txt")), 1u);
        EXPECT_EQ(g_counter.bytes, handled);
        EXPECT_GE(g_counter.calls, 3u + 3u);     // every entry, and big.bin about once per MiB
        EXPECT_LE(g_counter.calls, 3u + 3u + 3u);  // but not once per block
    }

    // The installed view reports under the installed names, and so do the
    // shortcut and the documents it writes.
    env.Options(true, true, true, true, true);
    std::string game = env.Cab("game.cab", GameCabinet());
    OpenResult open = Open(env.m, game);
    ASSERT_TRUE(open.handle);
    env.m.SetProcessDataProc(open.handle, CountingCallback);
    g_counter = Counter();
    EntryHeader header;
    std::vector<std::string> names;
    for (int n = 0; env.m.ReadHeader(open.handle, &header) == MIRAD_OK; ++n) {
        std::string out = env.dir / ("g-" + std::to_string(n));
        ASSERT_EQ(env.m.ProcessFile(open.handle, MIRAD_EXTRACT, nullptr, &out[0]), MIRAD_OK);
        names.push_back(header.fileName);
    }
    env.m.CloseArchive(open.handle);
    ASSERT_EQ(names.size(), 5u);
    EXPECT_EQ(names[0], HostName("Program Files\\Game\\game.exe"));
    for (const std::string& name : names) EXPECT_GE(g_counter.callsPerName[name], 1u) << name;
    EXPECT_EQ(g_counter.callsPerName.size(), names.size());

    // PackFiles uses the callback given with the packing handle and names
    // the source files.
    std::filesystem::create_directories(env.dir / "src");
    WriteFile(env.dir / "src/big.bin", kProgressFiles[0].data);
    WriteFile(env.dir / "src/small.txt", kProgressFiles[1].data);
    env.m.SetProcessDataProc(MIRAD_PACK_HANDLE, CountingCallback);
    g_counter = Counter();
    std::string packed = env.dir / "new.cab", list = std::string("big.bin") + '\0' + "small.txt" + '\0' + '\0';
    std::string source = env.dir / "src/";
    ASSERT_EQ(env.m.PackFiles(&packed[0], nullptr, &source[0], &list[0], 0), MIRAD_OK);
    EXPECT_EQ(g_counter.bytes, kProgressFiles[0].data.size() + 5);
    EXPECT_EQ(g_counter.callsPerName.size(), 2u);
    EXPECT_GE(g_counter.callsPerName[source + "big.bin"], 1u);
    EXPECT_GE(g_counter.callsPerName[source + "small.txt"], 1u);

    // An update names the replacement's source and the kept entries.
    WriteFile(env.dir / "src/game.exe", BytesOf("new game"));
    g_counter = Counter();
    std::string sub = "%InstallDir%", replaced = std::string("game.exe") + '\0' + '\0';
    ASSERT_EQ(env.m.PackFiles(&game[0], &sub[0], &source[0], &replaced[0], 0), MIRAD_OK);
    EXPECT_GE(g_counter.callsPerName[source + "game.exe"], 1u);
    EXPECT_GE(g_counter.callsPerName["level.002"], 1u);
    EXPECT_GE(g_counter.callsPerName["SETUP.000"], 1u);
    EXPECT_EQ(g_counter.callsPerName.size(), 3u);
    env.m.SetProcessDataProc(MIRAD_PACK_HANDLE, nullptr);
}

// A callback that answers 0 part-way stops extraction, pack and update at
// the next block with the host's abort code, and leaves nothing behind: no
// partial or temporary file, the old file or cabinet as it was.
TEST(Progress, StopPartWayLeavesNothingBehind) {
    ModuleEnv env;
    ASSERT_TRUE(env.m.ok());
    std::string cab = env.Cab("p.cab", BuildCabinet(kProgressFiles));
    std::filesystem::create_directories(env.dir / "out");
    std::filesystem::create_directories(env.dir / "src");
    WriteText(env.dir / "out/big.bin", "old");
    OpenResult open = Open(env.m, cab);
    ASSERT_TRUE(open.handle);
    env.m.SetProcessDataProc(open.handle, CountingCallback);
    g_counter = Counter();
    g_counter.stopAfter = 1;
    EntryHeader header;
    ASSERT_EQ(env.m.ReadHeader(open.handle, &header), MIRAD_OK);
    std::string out = env.dir / "out/big.bin";
    EXPECT_EQ(env.m.ProcessFile(open.handle, MIRAD_EXTRACT, nullptr, &out[0]), MIRAD_ABORTED);
    env.m.CloseArchive(open.handle);
    EXPECT_EQ(ReadText(out), "old");
    EXPECT_EQ(FilesBelow(env.dir / "out").size(), 1u);
    EXPECT_LT(g_counter.bytes, kProgressFiles[0].data.size());

    WriteFile(env.dir / "src/big.bin", kProgressFiles[0].data);
    env.m.SetProcessDataProc(MIRAD_PACK_HANDLE, CountingCallback);
    g_counter = Counter();
    g_counter.stopAfter = 1;
    std::string packed = env.dir / "new.cab", list = std::string("big.bin") + '\0' + '\0';
    std::string source = env.dir / "src/";
    EXPECT_EQ(env.m.PackFiles(&packed[0], nullptr, &source[0], &list[0], MIRAD_PACK_MOVE), MIRAD_ABORTED);
    EXPECT_FALSE(FileExists(packed));
    EXPECT_TRUE(FileExists(env.dir / "src/big.bin"));

    // An update keeps the cabinet as it was.
    const Bytes game = GameCabinet();
    std::string updated = env.Cab("game.cab", game);
    WriteFile(env.dir / "src/game.exe", kProgressFiles[0].data);
    g_counter = Counter();
    g_counter.stopAfter = 1;
    std::string sub = "%InstallDir%", replaced = std::string("game.exe") + '\0' + '\0';
    EXPECT_EQ(env.m.PackFiles(&updated[0], &sub[0], &source[0], &replaced[0], 0), MIRAD_ABORTED);
    EXPECT_EQ(ReadFile(updated), game);
    EXPECT_GE(g_counter.calls, 1u);
    for (const auto& [name, bytes] : FilesBelow(env.dir.path))
        EXPECT_EQ(name.find(".mirad-"), std::string::npos) << name;
    env.m.SetProcessDataProc(MIRAD_PACK_HANDLE, nullptr);
}

// Runs mirad in `dir` in the background, waits until `reached` returns (true
// once the work is under way), sends `signal`, calls `signalled` (to let the
// child go on) and returns the exit status (-1: killed).
int InterruptMirad(const TempDir& dir, const std::vector<std::string>& arguments, const std::function<bool()>& reached,
                   bool* wasReady, int signal = SIGINT, const std::function<void()>& signalled = [] {}) {
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.path.c_str()) != 0) _exit(127);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<std::string> all = {HostPath(), "--config", "cfg"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    *wasReady = reached();
    kill(pid, signal);
    signalled();
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Blocks until `fd` can be read; false after half a minute, when the child
// is not coming.
bool Readable(int fd) {
    pollfd p = {fd, POLLIN, 0};
    return fd >= 0 && poll(&p, 1, 30000) == 1;
}

// Holds the child inside a read of `file` once `ready` holds: every read of
// the file waits for the test's answer (fanotify permission events), so the
// child stands still mid-work while the signal is sent. Needs the right to
// watch the file system (root); `permitted` says whether it has it.
struct ReadGate {
    int fd = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY);
    bool permitted = false;
    explicit ReadGate(const std::string& file) {
        permitted = fd >= 0 && fanotify_mark(fd, FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD, file.c_str()) == 0;
    }
    int held = -1;
    ~ReadGate() { Open(); }
    // Lets every read through; closing the group answers what is pending.
    void Open() {
        for (int* f : {&fd, &held})
            if (*f >= 0) close(*f);
        fd = held = -1;
    }
    // Answers reads until one comes while `ready` holds, which stays held.
    bool HoldWhen(const std::function<bool()>& ready) {
        fanotify_event_metadata event;
        while (Readable(fd) && read(fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event)) {
            if (ready()) {
                held = event.fd;
                return true;
            }
            fanotify_response allow = {event.fd, FAN_ALLOW};
            if (write(fd, &allow, sizeof allow) != sizeof allow) return false;
            close(event.fd);
        }
        return false;
    }
};

// A child's log as a FIFO, read line by line as it is written. Held open
// for writing too, so a read waits for the next line instead of seeing an
// end between the lines (each is written by an open of its own), and so the
// child's opens never wait for a reader.
struct LogFifo {
    int fd = -1;
    explicit LogFifo(const std::string& path) {
        if (mkfifo(path.c_str(), 0600) == 0) fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    }
    ~LogFifo() {
        if (fd >= 0) close(fd);
    }
    bool Await(const std::string& wanted) {
        std::string line;
        char c;
        while (Readable(fd) && read(fd, &c, 1) == 1) {
            if (c != '\n') {
                line += c;
            } else if (line == wanted) {
                return true;
            } else {
                line.clear();
            }
        }
        return false;
    }
};

bool TemporaryIn(const std::string& dir, const std::string& name) {
    std::error_code error;
    for (const auto& e : std::filesystem::directory_iterator(dir, error))
        if (mirad::IsTemporaryNameOf(e.path().filename().string(), name)) return true;
    return false;
}

// Ctrl-C or SIGTERM stops mirad with status 130 and nothing partial: no file
// under a final name that was not complete, no temporary file, sources as
// they were. SIGKILL cannot be answered, yet leaves nothing under a final
// name either (only a temporary file beside it).
TEST(SafeHost, StoppedOrKilledLeavesNothingPartial) {
    const Bytes big = Pattern(16 << 20, 9);
    for (int signal : {SIGINT, SIGTERM, SIGKILL}) {
        SCOPED_TRACE(strsignal(signal));
        TempDir dir;
        WriteTree(dir / "src", {{"big.bin", big}});
        WriteFile(dir / "b.cab", BuildCabinet({{"big.bin", big}}));
        // Each held inside a read of its source once its temporary file exists.
        struct Step {
            std::vector<std::string> arguments;
            std::string source, at, final;  // the temporary file is in `at`, for `final`
        };
        const Step steps[] = {{{"pack", "n.cab", "-C", "src", "--move", "big.bin"}, "src/big.bin", "", "n.cab"},
                              {{"extract", "b.cab", "-d", "out"}, "b.cab", "out", "big.bin"}};
        for (const Step& step : steps) {
            SCOPED_TRACE(step.arguments[0]);
            bool ready = false;
            ReadGate gate(dir / step.source);
            if (!gate.permitted) GTEST_SKIP() << "holding a child inside a read needs fanotify (root)";
            int status = InterruptMirad(dir, step.arguments, [&] {
                return gate.HoldWhen([&] { return TemporaryIn(dir / step.at, step.final); });
            }, &ready, signal, [&] { gate.Open(); });
            ASSERT_TRUE(ready) << "never started writing";
            EXPECT_EQ(status, signal == SIGKILL ? -1 : 130);
            EXPECT_FALSE(FileExists(dir / (step.at + "/" + step.final)));
            EXPECT_EQ(ReadFile(dir / "src/big.bin"), big);
            if (signal != SIGKILL) {
                EXPECT_FALSE(AnyTemporary(dir.path));
            }
        }
    }
}

// An update waiting for another one's lock can be interrupted too; the
// cabinet stays as it was.
TEST(SafeHost, InterruptedUpdateWaitingForTheLock) {
    TempDir dir;
    Bytes cab = GameCabinet();
    WriteFile(dir / "game.cab", cab);
    std::filesystem::create_directories(dir / "src/%InstallDir%");
    WriteText(dir / "src/%InstallDir%/game.exe", "new");
    int fd = open((dir / "game.cab").c_str(), O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    // Interrupted once its log says it waits.
    LogFifo log(dir / "u.log");
    bool ready = false;
    int status = InterruptMirad(dir, {"--log", "u.log", "update", "game.cab", "-C", "src", "%InstallDir%\\game.exe"},
                                [&] { return log.Await("Cabinet is locked by another update, waiting"); }, &ready);
    close(fd);
    ASSERT_TRUE(ready) << "the update never waited for the lock";
    EXPECT_EQ(status, 130);
    EXPECT_EQ(ReadFile(dir / "game.cab"), cab);
    EXPECT_FALSE(AnyTemporary(dir.path));
}

}  // namespace
