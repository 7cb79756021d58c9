// Device paths: directory-macro expansion, and where a shortcut is made and
// what it points to.
//
// A shortcut placed "in the install directory" (baseDirectoryId 0, baseMacro
// 0) is written as "%InstallDir%\", and a directory target 0 that names no
// directory is the install directory: both forms are what real cabinets
// store, and no macro %CE0% exists.
#include <cstdio>
#include <cstring>
#include <string>

#include "setup/paths.h"

#include "platform/ascii.h"
#include "platform/host.h"
#include "support/paths.h"

namespace mirad {

namespace {

// A macro-table entry or install directory that names its own macro would
// expand forever; a real path needs two or three replacements.
constexpr int kMaxReplacements = 64;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

struct MacroAt {
    size_t start = 0;
    size_t end = 0;      // one past the closing "%", or the end of the path
    uint32_t number = 0; // 0 for %InstallDir%
};

// First macro at or after `from`: "%CE" and a digit, or "%InstallDir%".
bool FindMacro(const char* path, size_t from, MacroAt* m) {
    for (size_t q = from; path[q]; ++q) {
        if (path[q] != '%') continue;
        bool ce = AsciiUpper(path[q + 1]) == 'C' && AsciiUpper(path[q + 2]) == 'E' && IsDigit(path[q + 3]);
        if (!ce && !SameTextNoCase(path + q, "%InstallDir%", 12)) continue;
        m->start = q;
        m->number = 0;
        if (ce) {
            // Saturate: any number beyond the table means the install directory.
            for (size_t d = q + 3; IsDigit(path[d]); ++d) {
                if (m->number < 1000) m->number = m->number * 10 + static_cast<uint32_t>(path[d] - '0');
            }
        }
        size_t e = q + 3;
        while (path[e] && path[e] != '%') ++e;
        m->end = path[e] ? e + 1 : e;
        return true;
    }
    return false;
}

const SetupDirectory* DirectoryById(const CeSetup& setup, uint16_t id) {
    int32_t i = setup.FindDirectory(id);
    return i >= 0 ? &setup.directories()[i] : nullptr;
}

const SetupShortcut* ShortcutAt(const CeSetup& setup, uint16_t index) {
    if (index >= setup.shortcuts().size()) return nullptr;
    return &setup.shortcuts()[index];
}

}  // namespace

void ExpandMacros(const CeSetup& setup, const Settings& settings, char* path, const char* installDirectory) {
    for (int done = 0; done < kMaxReplacements; ++done) {
        MacroAt m;
        // The scan restarts from the beginning, so text just put in is
        // scanned again (an install directory like %CE1%\Game).
        if (!FindMacro(path, 0, &m)) return;
        const char* replacement = nullptr;
        if (m.number >= 1 && m.number <= static_cast<uint32_t>(kMacroCount)) {
            replacement = settings.DirectoryMacroTable[m.number - 1];
        } else {
            replacement = setup.InstallDirectory();
            // No install directory: this macro and the rest stay as they are.
            if (!replacement) return;
            if (installDirectory) replacement = installDirectory;
        }
        char rebuilt[kPathSize];
        std::memcpy(rebuilt, path, m.start);
        rebuilt[m.start] = '\0';
        bool whole = AppendString(rebuilt, sizeof rebuilt, replacement);
        whole = AppendString(rebuilt, sizeof rebuilt, path + m.end) && whole;
        std::memcpy(path, rebuilt, sizeof rebuilt);
        // A path that filled its buffer stops growing here.
        if (!whole || std::strlen(path) >= kPathSize - 1) return;
    }
}

void ShortcutPath(const CeSetup& setup, uint16_t index, char* out) {
    out[0] = '\0';
    const SetupShortcut* s = ShortcutAt(setup, index);
    if (!s) return;
    if (s->baseDirectoryId == 0) {
        if (s->baseMacro == 0) {
            CopyString(out, kPathSize, "%InstallDir%\\");
        } else {
            std::snprintf(out, kPathSize, "%%CE%u%%\\", static_cast<unsigned>(s->baseMacro));
        }
    } else if (const SetupDirectory* d = DirectoryById(setup, s->baseDirectoryId)) {
        CopyString(out, kPathSize, d->path);
        AppendString(out, kPathSize, "\\");
    }
    int32_t name = setup.FindString(s->nameStringId);
    if (name >= 0) AppendString(out, kPathSize, setup.strings()[name].text);
}

void ShortcutTarget(const CeSetup& setup, uint16_t index, char* out) {
    out[0] = '\0';
    const SetupShortcut* s = ShortcutAt(setup, index);
    if (!s) return;
    if (s->targetIsFile != 0) {
        int32_t file = setup.FindCopyFile(s->targetId);
        if (file >= 0) CopyString(out, kPathSize, setup.copyFiles()[file].destPath);
        return;
    }
    if (const SetupDirectory* d = DirectoryById(setup, s->targetId)) {
        CopyString(out, kPathSize, d->path);
    } else if (s->targetId == 0) {
        CopyString(out, kPathSize, "%InstallDir%");
    }
}

void HostPath(const CeSetup& setup, const Settings& settings, const char* stored, bool expand, char* out) {
    // Converted before the macros are expanded: the macro table comes from
    // the settings file, which is in the host's encoding already.
    CopyString(out, kPathSize, platform::StoredNameToHost(stored, false, settings.CodePage).c_str());
    if (!expand) return;
    const char* install = setup.InstallDirectory();
    std::string converted = install ? platform::StoredNameToHost(install, false, settings.CodePage) : std::string();
    ExpandMacros(setup, settings, out, install ? converted.c_str() : nullptr);
}

}  // namespace mirad
