// Progress and cancellation through the host's callback: an entry's name
// and the bytes processed since the last call, about once per MiB, never
// more often than once per block, and once more when an entry is done. A
// callback that says stop ends the operation at the next block, cleaned up
// as on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace mirad {

// Asked with a name and a byte count; false means stop. Empty: nobody asks.
using ProgressCallback = std::function<bool(char* name, int32_t bytes)>;

class Progress {
public:
    Progress(const ProgressCallback& callback, const char* name) : callback_(callback), name_(name ? name : "") {}
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Counts one block's bytes; false once the host asked to stop.
    bool Add(size_t count) {
        if (!callback_) return true;
        pending_ += count;
        return pending_ < kStep || Report();
    }
    // Reports what is still pending (the end of an entry, or a wait); false
    // once the host asked to stop.
    bool Report() {
        if (!callback_ || aborted_) return !aborted_;
        while (!aborted_) {
            // A count that does not fit the host's type goes in parts.
            int32_t size = static_cast<int32_t>(pending_ < INT32_MAX ? pending_ : INT32_MAX);
            pending_ -= static_cast<uint64_t>(size);
            if (!callback_(&name_[0], size)) aborted_ = true;
            if (pending_ == 0) break;
        }
        return !aborted_;
    }
    bool aborted() const { return aborted_; }

private:
    static constexpr uint64_t kStep = uint64_t{1} << 20;
    const ProgressCallback& callback_;
    std::string name_;  // the host's callback takes a writable string
    uint64_t pending_ = 0;
    bool aborted_ = false;
};

}  // namespace mirad
