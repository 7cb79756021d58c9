#include "support/output.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include "platform/safe_files.h"
#include "support/paths.h"

namespace mirad {

namespace {

const char kTempMark[] = ".mirad-";
const size_t kSuffixLength = 6;

// Not secret, only different for every call and process: the file is
// created exclusively, so a guessed name costs nothing but another try.
uint64_t NextSeed() {
    static std::atomic<uint64_t> counter{0};
    uint64_t seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    seed ^= static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) << 17;
    seed ^= reinterpret_cast<uintptr_t>(&counter) + (counter.fetch_add(1) + 1) * 0x9E3779B97F4A7C15ull;
    seed ^= seed >> 31;
    seed *= 0xBF58476D1CE4E5B9ull;
    return seed ^ (seed >> 29);
}

}  // namespace

std::string TemporaryNameFor(const std::string& path) {
    size_t cut = AfterLastSeparator(path.c_str());
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    uint64_t seed = NextSeed();
    std::string suffix;
    for (size_t i = 0; i < kSuffixLength; ++i) {
        suffix += kAlphabet[seed % 36];
        seed /= 36;
    }
    return path.substr(0, cut) + "." + path.substr(cut) + kTempMark + suffix;
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
    return out.Commit();
}

bool OutputFile::Open(const char* path, OutputPolicy policy) {
    Discard();
    if (!path || !path[0]) return false;
    final_ = path;
    policy_ = policy;
    // Beside the name, so the name shows nothing partial even when the
    // process is killed; the rename replaces a link there, never follows it.
    for (int attempt = 0; attempt < 16 && !file_; ++attempt) {
        writing_ = TemporaryNameFor(final_);
        file_ = IoOpen(writing_.c_str(), IoMode::CreateNew);
    }
    // An entry whose name leaves no room for a longer one beside it (paths
    // of 259 characters on Windows) is created in place, only where nothing
    // exists under its name, and removed again on failure.
    if (!file_ && policy == OutputPolicy::Entry) {
        writing_ = final_;
        file_ = IoOpen(final_.c_str(), IoMode::CreateNew);
    }
    open_ = file_ != nullptr;
    if (!open_) writing_.clear();
    return open_;
}

bool OutputFile::Commit(bool* nameTaken) {
    if (nameTaken) *nameTaken = false;
    if (!open_) return false;
    bool durable = policy_ != OutputPolicy::Entry;
    bool ok = !durable || IoSync(file_);
    IoFile* f = file_;
    file_ = nullptr;
    ok = IoClose(f) && ok;
    if (ok && writing_ != final_) {
        ok = IoRename(writing_.c_str(), final_.c_str(), policy_ != OutputPolicy::NewFile);
        if (!ok && nameTaken && policy_ == OutputPolicy::NewFile) *nameTaken = true;
    }
    if (!ok) {
        Discard();
        return false;
    }
    open_ = false;
    // The new name itself must survive a power loss before anyone relies on
    // it (sources removed by a move, say). The file is in place either way.
    if (durable && FilesOnDisk()) platform::SyncDirectoryOf(final_.c_str());
    return true;
}

void OutputFile::Discard() {
    if (file_) IoClose(file_);
    file_ = nullptr;
    if (open_ && !writing_.empty()) IoRemove(writing_.c_str());
    open_ = false;
}

}  // namespace mirad
