// Files written so that their final name shows either what was there before
// or the complete new content: never a part, never written through a link
// that sits under the name. Everything goes through the I/O seam.
#pragma once

#include <string>
#include <vector>

#include "support/error.h"
#include "support/io.h"

namespace mirad {

enum class OutputPolicy {
    // An extracted entry or document: written beside its name and renamed
    // over whatever is there (a file, a link) once complete; a name too long
    // for that is created in place where nothing exists under it.
    Entry,
    // A new cabinet: written beside its name, synced, and the name taken
    // only when it is still free.
    NewFile,
    // An updated cabinet: written beside it, synced, renamed over it.
    Replacement,
};

// Where a file is written: a name inside a directory held open, or a path
// (the directories on the way are then the caller's, and only the last
// component is guarded). `shown` is the whole path, for messages and
// progress. A stamp, when set, is given to the file before it takes its name.
class OutputDirectory;

struct OutputTarget {
    IoDir* dir = nullptr;
    // The way `dir` was reached, when it is held from one entry to the next:
    // found afresh when the file cannot be made in it (a directory removed
    // meanwhile).
    OutputDirectory* way = nullptr;
    const char* name = nullptr;
    const char* shown = nullptr;
    bool stamped = false;
    IoStamp stamp;
    // Told the length of a document written whole, when set.
    uint64_t* length = nullptr;

    OutputTarget(const char* path) : name(path), shown(path) {}
    OutputTarget(IoDir* at, const char* leaf, const char* whole) : dir(at), name(leaf), shown(whole) {}
    OutputTarget(OutputDirectory& held, const char* leaf, const char* whole);
    OutputTarget& WithStamp(const IoStamp& s) {
        stamp = s;
        stamped = true;
        return *this;
    }
    const char* path() const { return shown ? shown : name; }
    // The directory that holds the name now.
    IoDir* directory() const;
};

// One file being written. Whatever has not been committed when the object
// goes is removed, on every way out. The temporary file is made, renamed and
// removed inside the directory that holds the name, held open meanwhile.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile() { Reset(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // False when no file could be created for the target.
    bool Open(const OutputTarget& target, OutputPolicy policy);
    IoFile* file() const { return file_; }
    // The file actually being written (the temporary one, or the final name).
    const std::string& writingPath() const { return writing_; }
    // Replaces the target's stamp.
    void SetStamp(const IoStamp& stamp) {
        stamp_ = stamp;
        stamped_ = true;
    }
    // Stamps, closes, syncs as the policy asks and puts the file under its
    // name. False when any of that failed (a stamp the file system cannot
    // keep aside); then nothing is left behind and an old file under the
    // name is as it was. `nameTaken` tells a NewFile whose name was taken
    // meanwhile.
    bool Commit(bool* nameTaken = nullptr);
    // Closes and removes what was written (also on destruction).
    void Discard();
    // Tells the target, when it asked, the length of what was committed.
    void TellLength(uint64_t length) const {
        if (length_) *length_ = length;
    }

private:
    void Reset();

    IoFile* file_ = nullptr;
    IoDir* dir_ = nullptr;       // holds the name
    IoDir* ownedDir_ = nullptr;  // opened here for a path target
    std::string final_, writing_;            // whole paths, for messages
    std::string finalName_, writingName_;    // inside dir_
    OutputPolicy policy_ = OutputPolicy::Entry;
    uint64_t* length_ = nullptr;
    bool open_ = false;
    bool stamped_ = false;
    IoStamp stamp_;
};

// The directory an entry is written into, below a destination the host
// chose: the destination is opened as given (the host's), and each directory
// below it from its parent, made when missing; none is looked up again by
// path, and a link (or a file) on the way is refused, never followed.
class OutputDirectory {
public:
    OutputDirectory() = default;
    ~OutputDirectory() { Close(); }
    OutputDirectory(const OutputDirectory&) = delete;
    OutputDirectory& operator=(const OutputDirectory&) = delete;

    // CannotCreate on failure; blocked() then names what was met. The way
    // already held is kept when it is the same one.
    Error Open(const std::string& root, const std::vector<std::string>& below);
    IoDir* get() const { return chain_.empty() ? nullptr : chain_.back(); }
    // Opens the way held again from the destination down; false when that
    // fails.
    bool Reopen();
    // The path of the link or file met on the way, "" for other failures.
    const std::string& blocked() const { return blocked_; }
    void Close();

private:
    Error OpenWay(const std::string& root, const std::vector<std::string>& below);
    // Held while entries go into it: on Windows holding them is what
    // keeps the way from being renamed.
    std::vector<IoDir*> chain_;
    std::string root_;  // the way chain_ holds
    std::vector<std::string> below_;
    std::string blocked_;
};

// Flushes and commits a generated document. One that could not be written
// whole is removed, since a cut document would look complete. True when the
// document was written whole.
bool FinishDocument(TextWriter& w, OutputFile& out);

// A fresh name for a temporary file beside `path` that says what it belongs
// to: "dir/.NAME.mirad-XXXXXX".
std::string TemporaryNameFor(const std::string& path);
// True when `name` (a bare file name) is such a temporary name for a file
// called `baseName`.
bool IsTemporaryNameOf(const std::string& name, const std::string& baseName);

}  // namespace mirad
