#include "support/output.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include "platform/host.h"
#include "platform/safe_files.h"
#include "support/paths.h"

namespace mirad {

namespace {

const char kTempMark[] = ".mirad-";
const size_t kSuffixLength = 6;

// Not secret, only different for every call and process: the file is
// created exclusively, so a guessed name costs nothing but another try.
// The clocks are read once per process; a counter tells the calls apart.
uint64_t NextSeed() {
    static std::atomic<uint64_t> counter{0};
    static const uint64_t process =
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) << 17;
    uint64_t seed = process ^ (reinterpret_cast<uintptr_t>(&counter) + (counter.fetch_add(1) + 1) * 0x9E3779B97F4A7C15ull);
    seed ^= seed >> 31;
    seed *= 0xBF58476D1CE4E5B9ull;
    return seed ^ (seed >> 29);
}

}  // namespace

std::string TemporaryNameFor(const std::string& path) {
    size_t cut = AfterLastSeparator(path.c_str());
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    uint64_t seed = NextSeed();
    std::string name;
    name.reserve(path.size() + 1 + sizeof kTempMark - 1 + kSuffixLength);
    name.append(path, 0, cut).append(1, '.').append(path, cut, std::string::npos).append(kTempMark);
    for (size_t i = 0; i < kSuffixLength; ++i) {
        name += kAlphabet[seed % 36];
        seed /= 36;
    }
    return name;
}

bool IsTemporaryNameOf(const std::string& name, const std::string& baseName) {
    const std::string head = "." + baseName + kTempMark;
    if (name.size() != head.size() + kSuffixLength || name.compare(0, head.size(), head) != 0) return false;
    for (size_t i = head.size(); i < name.size(); ++i) {
        char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
    }
    return true;
}

bool FinishDocument(TextWriter& w, OutputFile& out) {
    bool written = TextFlush(w);
    w.file = nullptr;
    if (!written) {
        out.Discard();
        return false;
    }
    if (!out.Commit()) return false;
    out.TellLength(w.written);
    return true;
}

namespace {

// The directory that holds a path's last component, as the caller named it.
std::string ParentOf(const std::string& path, size_t cut) {
    if (cut == 0) return ".";
    std::string parent = path.substr(0, cut);
    // "a/b/" is "a/b"; a root ("/", "C:\") stays whole.
    while (parent.size() > 1 && (parent.back() == '/' || parent.back() == '\\') &&
           !(parent.size() == 3 && parent[1] == ':'))
        parent.pop_back();
    return parent;
}

}  // namespace

OutputTarget::OutputTarget(OutputDirectory& held, const char* leaf, const char* whole)
    : dir(held.get()), way(&held), name(leaf), shown(whole) {}

IoDir* OutputTarget::directory() const { return way ? way->get() : dir; }

void OutputFile::Reset() {
    Discard();
    IoCloseDir(ownedDir_);
    ownedDir_ = nullptr;
    dir_ = nullptr;
    stamped_ = false;
}

bool OutputFile::Open(const OutputTarget& target, OutputPolicy policy) {
    Reset();
    const char* path = target.path();
    if (!target.name || !target.name[0] || !path) return false;
    final_ = path;
    policy_ = policy;
    length_ = target.length;
    stamped_ = target.stamped;
    stamp_ = target.stamp;
    std::string prefix;  // what precedes the name in the whole path
    if (target.directory()) {
        dir_ = target.directory();
        finalName_ = target.name;
        size_t n = finalName_.size();
        prefix = final_.size() >= n && final_.compare(final_.size() - n, n, finalName_) == 0
                     ? final_.substr(0, final_.size() - n)
                     : std::string();
    } else {
        size_t cut = AfterLastSeparator(path);
        finalName_ = final_.substr(cut);
        prefix = final_.substr(0, cut);
        if (finalName_.empty()) return false;
        IoDirStatus status;
        ownedDir_ = IoOpenDir(nullptr, ParentOf(final_, cut).c_str(), false, &status);
        if (!ownedDir_) return false;
        dir_ = ownedDir_;
    }
    auto create = [&] {
        // Beside the name, so the name shows nothing partial even when the
        // process is killed; the rename replaces a link there, never follows
        // it.
        for (int attempt = 0; attempt < 16 && !file_; ++attempt) {
            writingName_ = TemporaryNameFor(finalName_);
            file_ = IoOpenIn(dir_, writingName_.c_str(), IoMode::CreateNew);
        }
        // An entry whose name leaves no room for a longer one beside it
        // (paths of 259 characters on Windows) is created in place, only
        // where nothing exists under its name, and removed again on failure.
        if (!file_ && policy == OutputPolicy::Entry) {
            writingName_ = finalName_;
            file_ = IoOpenIn(dir_, finalName_.c_str(), IoMode::CreateNew);
        }
    };
    create();
    if (!file_ && target.way && target.way->Reopen()) {
        dir_ = target.way->get();
        create();
    }
    open_ = file_ != nullptr;
    writing_ = open_ ? prefix + writingName_ : std::string();
    if (!open_) writingName_.clear();
    return open_;
}

bool OutputFile::Commit(bool* nameTaken) {
    if (nameTaken) *nameTaken = false;
    if (!open_) return false;
    bool durable = policy_ != OutputPolicy::Entry;
    // On the open file: no name is looked up for it again. A file system
    // that keeps no such things leaves the file good all the same.
    if (stamped_) IoStampFile(file_, stamp_);
    bool ok = !durable || IoSync(file_);
    IoFile* f = file_;
    file_ = nullptr;
    ok = IoClose(f) && ok;
    if (ok && writingName_ != finalName_) {
        ok = IoRenameIn(dir_, writingName_.c_str(), finalName_.c_str(), policy_ != OutputPolicy::NewFile);
        if (!ok && nameTaken && policy_ == OutputPolicy::NewFile) *nameTaken = true;
    }
    if (!ok) {
        Discard();
        return false;
    }
    open_ = false;
    // The new name itself must survive a power loss before anyone relies on
    // it (sources removed by a move, say). The file is in place either way.
    if (durable) IoSyncDirectoryOf(final_.c_str());
    return true;
}

void OutputFile::Discard() {
    if (file_) IoClose(file_);
    file_ = nullptr;
    if (open_ && !writingName_.empty()) IoRemoveIn(dir_, writingName_.c_str());
    open_ = false;
}

void OutputDirectory::Close() {
    while (!chain_.empty()) {
        IoCloseDir(chain_.back());
        chain_.pop_back();
    }
    root_.clear();
    below_.clear();
    blocked_.clear();
}

Error OutputDirectory::Open(const std::string& root, const std::vector<std::string>& below) {
    if (!chain_.empty() && root == root_) {
        if (below == below_) return kOk;
        // Another way below the same destination: the destination stays
        // held, as every entry of an extraction goes below it.
        while (chain_.size() > 1) {
            IoCloseDir(chain_.back());
            chain_.pop_back();
        }
        below_.clear();
        blocked_.clear();
    } else {
        Close();
    }
    Error opened = OpenWay(root, below);
    if (!opened) {
        root_ = root;
        below_ = below;
    }
    return opened;
}

bool OutputDirectory::Reopen() {
    if (chain_.empty()) return false;
    const std::string root = root_;
    const std::vector<std::string> below = below_;
    Close();
    return !Open(root, below);
}

Error OutputDirectory::OpenWay(const std::string& root, const std::vector<std::string>& below) {
    IoDirStatus status;
    if (chain_.empty()) {
        IoDir* opened = IoOpenDir(nullptr, ParentOf(root + "x", root.size()).c_str(), false, &status);
        if (!opened) return CannotCreate("cannot open the destination directory");
        chain_.push_back(opened);
    }
    IoDir* top = chain_.front();
    if (below.empty()) return kOk;
    // Where the system resolves the whole way beneath the destination with
    // no link followed, one step does when everything exists already.
    if (below.size() > 1) {
        std::string joined;
        for (const std::string& part : below) joined += (joined.empty() ? "" : "/") + part;
        if (IoDir* whole = IoOpenDir(top, joined.c_str(), false, &status)) {
            chain_.push_back(whole);
            return kOk;
        }
    }
    std::string shown = root;
    for (const std::string& part : below) {
        if (!shown.empty() && shown.back() != '/' && shown.back() != '\\') shown += platform::HostSeparator();
        shown += part;
        IoDir* next = IoOpenDir(chain_.back(), part.c_str(), true, &status);
        if (next) {
            chain_.push_back(next);
            continue;
        }
        if (status == IoDirStatus::Link || status == IoDirStatus::NotDirectory) {
            Close();
            blocked_ = shown;
            return CannotCreate(status == IoDirStatus::Link ? "a link on the way in is not followed"
                                                             : "a file on the way in is no directory");
        }
        Close();
        return CannotCreate("cannot create a directory on the way in");
    }
    return kOk;
}

}  // namespace mirad
