// Files written so that their final name shows either what was there before
// or the complete new content: never a part, never written through a link
// that sits under the name. Everything goes through the I/O seam.
#pragma once

#include <string>

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

// One file being written. Whatever has not been committed when the object
// goes is removed, on every way out.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile() { Discard(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // False when no file could be created for `path`.
    bool Open(const char* path, OutputPolicy policy);
    IoFile* file() const { return file_; }
    // The file actually being written (the temporary one, or the final name).
    const std::string& writingPath() const { return writing_; }
    // Closes, syncs as the policy asks and puts the file under its name.
    // False when any of that failed; then nothing is left behind and an old
    // file under the name is as it was. `nameTaken` tells a NewFile whose
    // name was taken meanwhile.
    bool Commit(bool* nameTaken = nullptr);
    // Closes and removes what was written (also on destruction).
    void Discard();

private:
    IoFile* file_ = nullptr;
    std::string final_, writing_;
    OutputPolicy policy_ = OutputPolicy::Entry;
    bool open_ = false;
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
