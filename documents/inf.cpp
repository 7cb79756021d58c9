// "~Cab~.INF": an installation script for the CE cabinet wizard rebuilt from
// the setup file, so the extracted files and this script make an equivalent
// cabinet again.
//
// Directories are numbered once, by ascending id, and that numbering is the
// source id, the Dir_n name and the CopyFiles item everywhere in the script.
// The numbering is built with one pass over a by-id table and the files of each
// directory are grouped once, so large setup files cost linear time; for
// distinct ids the numbering is the one a repeated selection by id gives.
//
// Every text from the setup file or the cabinet goes out as an INF quoted
// string (doubled quotes, backslashes as they are; a shortcut name only when
// it could not stand bare), so a name or string can neither end its field nor
// start a line; see documents/quoting.h.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "documents/documents.h"
#include "documents/quoting.h"
#include "documents/regvalue.h"
#include "platform/ascii.h"
#include "setup/paths.h"
#include "support/alloc.h"
#include "support/log.h"
#include "support/output.h"
#include "support/paths.h"

namespace mirad {

namespace {

const char* const kRule =
    ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n";

void PutLines(TextWriter& out, const char* const* lines) {
    for (; *lines; ++lines) TextPut(out, *lines);
}

// The [CEDevice] comment on the processor line.
std::string ProcessorText(int32_t processor) {
    const char* name = ProcessorName(processor);
    if (processor == 0) return std::string(name) + " (Common Executable Format). Only the PocketPC supports CEF binaries\n";
    return name ? std::string(name) + " processors\n" : "unknown processor type\n";
}

void WriteBanner(TextWriter& out, const DocumentSource& source) {
    TextPut(out, kRule);
    TextPut(out, "; CabWiz INF file for ");
    PutVisible(out, source.archivePath + AfterLastSeparator(source.archivePath));
    TextPut(out, "\n");
    static const char* const kHead[] = {";\n", kRule, "; Directory macros\n", "; ----------------\n", nullptr};
    PutLines(out, kHead);
    // The device directories of the built-in macro table: a script describes
    // the cabinet, whatever this machine's settings say.
    const Settings& builtIn = BuiltInSettings();
    for (int n = 1; n <= kMacroCount; ++n)
        TextPrintf(out, "; %%CE%d%%%s = %s\n", n, n < 10 ? " " : "", builtIn.DirectoryMacroTable[n - 1]);
    static const char* const kTail[] = {kRule, ";\n", nullptr};
    PutLines(out, kTail);
}

void WriteVersion(TextWriter& out, const CeSetup& setup, char* text) {
    const SetupHeader& h = setup.header();
    static const char* const kHead[] = {
        kRule,
        "; Required section.\n",
        ";   Contains INF version information\n",
        "[Version]\n",
        "Signature   = \"$Windows NT$\"  ; required as is\n",
        nullptr,
    };
    PutLines(out, kHead);
    if (h.providerLength != 0) {
        LogMessage("reading provider name");
        setup.HeaderText(h.providerOffset, h.providerLength, text);
        NoteControls(out, {text});
        TextPut(out, "Provider    = ");
        PutInfQuoted(out, text);
        TextPut(out, "  ; full app name will be '<Provider> <AppName>'\n");
    }
    TextPut(out, "CESignature = \"$Windows CE$\"  ; required as is\n");
    TextPut(out, "\n");
}

void WriteCeStrings(TextWriter& out, const CeSetup& setup, char* text) {
    const SetupHeader& h = setup.header();
    static const char* const kHead[] = {
        kRule,
        "; Required section\n",
        ";   Specific strings used by Windows CE AppInstall\n",
        "[CEStrings]\n",
        nullptr,
    };
    PutLines(out, kHead);
    // With no string table there is no install directory: the value stays empty.
    const char* installDir = setup.InstallDirectory() ? setup.InstallDirectory() : "";
    NoteControls(out, {installDir});
    TextPut(out, "InstallDir  = ");
    PutInfQuoted(out, installDir);
    TextPut(out, "\n");
    if (h.appNameLength != 0) {
        LogMessage("reading application name");
        setup.HeaderText(h.appNameOffset, h.appNameLength, text);
        NoteControls(out, {text});
        TextPut(out, "AppName     = ");
        PutInfQuoted(out, text);
        TextPut(out, "  ; full app name will be '<Provider> <AppName>' \n");
    }
    TextPut(out, "\n");
}

// The stored names as a list of quoted items.
void WriteUnsupported(TextWriter& out, const CeSetup& setup) {
    const SetupHeader& h = setup.header();
    LogMessage("reading unsupported platforms");
    const std::vector<uint8_t>& bytes = setup.bytes();
    if (h.unsupportedOffset < bytes.size()) {
        ByteReader names;
        names.data = bytes.data() + h.unsupportedOffset;
        names.size = std::min<size_t>(h.unsupportedLength, bytes.size() - h.unsupportedOffset);
        if (HasControl(names)) PutControlNote(out);
    }
    TextPut(out, "UnsupportedPlatforms = ");
    std::vector<std::string> platforms = setup.UnsupportedPlatforms();
    for (size_t i = 0; i < platforms.size(); ++i) {
        TextPut(out, i ? ", \"" : "\"");
        for (char c : platforms[i]) PutInfQuotedChar(out, c);
        TextPut(out, "\"");
    }
    TextPut(out, "\n");
}

void WriteCeDevice(TextWriter& out, const CeSetup& setup) {
    const SetupHeader& h = setup.header();
    static const char* const kHead[] = {
        kRule,
        "; Required section\n",
        ";   Specifies the type of CAB file that will be generated\n",
        "[CEDevice]\n",
        nullptr,
    };
    PutLines(out, kHead);
    if (h.unsupportedLength > 1) WriteUnsupported(out, setup);
    TextPrintf(out, "VersionMin  = %d.%d\n", static_cast<int>(h.minVersionMajor), static_cast<int>(h.minVersionMinor));
    TextPrintf(out, "VersionMax  = %d.%d\n", static_cast<int>(h.maxVersionMajor), static_cast<int>(h.maxVersionMinor));
    TextPrintf(out, "Processor   = %d   ; ", static_cast<int>(h.processor));
    TextPut(out, ProcessorText(h.processor).c_str());
    TextPut(out, "\n");
}

// ---- Directory numbering ------------------------------------------------------

struct DirectoryPlan {
    CountedVector<uint16_t> order;  // position -> directory table index
    uint32_t count = 0;             // positions in use
    std::vector<int32_t> positionOfId;  // directory id -> position, -1 when none
    // Copy-file indexes grouped by position, each group in table order.
    std::vector<uint32_t> fileStart;  // count + 1 entries
    std::vector<uint16_t> files;

    bool HoldsFiles(uint32_t p) const { return fileStart[p + 1] > fileStart[p]; }
};

// Numbers the directories by ascending id. Of several directories with one id
// only the first in table order is numbered: the copy-files resolve that id to
// it, so the others would only repeat its files. Ids 0 and 65535 are numbered
// like any other so their files are not lost; no position is left empty or
// filled with a directory that was already numbered.
void SortDirectories(const CeSetup& setup, DirectoryPlan& plan) {
    const auto& directories = setup.directories();
    std::vector<int32_t>& byId = plan.positionOfId;
    byId.assign(65536, -1);
    for (size_t i = directories.size(); i-- > 0;) byId[directories[i].id] = static_cast<int32_t>(i);
    plan.count = 0;
    for (uint32_t id = 0; id < 65536; ++id) {
        if (byId[id] < 0) continue;
        plan.order[plan.count] = static_cast<uint16_t>(byId[id]);
        byId[id] = static_cast<int32_t>(plan.count++);
    }

    const auto& copyFiles = setup.copyFiles();
    const size_t copyCount = copyFiles.size();
    plan.fileStart.assign(plan.count + 1, 0);
    for (size_t i = 0; i < copyCount; ++i) {
        int32_t p = byId[copyFiles[i].directoryId];
        if (p >= 0) ++plan.fileStart[p + 1];
    }
    for (uint32_t p = 0; p < plan.count; ++p) plan.fileStart[p + 1] += plan.fileStart[p];
    plan.files.assign(plan.fileStart[plan.count], 0);
    std::vector<uint32_t> fill(plan.fileStart.begin(), plan.fileStart.end() - 1);
    for (size_t i = 0; i < copyCount; ++i) {
        int32_t p = byId[copyFiles[i].directoryId];
        if (p >= 0) plan.files[fill[p]++] = static_cast<uint16_t>(i);
    }
}

// Device paths keep "\" whatever the host.
const char* DestinationName(const SetupCopyFile& file) {
    const char* cut = std::strrchr(file.destPath, '\\');
    return cut ? cut + 1 : file.destPath;
}

// The name the listing shows the file under in the same setting. A copy-file
// with no stored file has no stored name: it keeps its destination name.
const char* SourceName(const DocumentSource& source, const SetupCopyFile& file, bool expandPath) {
    const auto& files = source.cabinet.files();
    if (expandPath || file.noStoredFile || file.entryIndex >= files.size()) return DestinationName(file);
    return files[file.entryIndex].name;
}

const SetupDirectory& DirectoryAt(const CeSetup& setup, const DirectoryPlan& plan, uint32_t p) {
    return setup.directories()[plan.order[p]];
}

void WriteSourceDisks(TextWriter& out, const DocumentSource& source, const DirectoryPlan& plan, bool expandPath) {
    LogMessage("writing [SourceDisksNames]");
    for (uint32_t p = 0; p < plan.count; ++p) {
        if (!plan.HoldsFiles(p)) continue;
        const char* path = DirectoryAt(source.setup, plan, p).path;
        NoteControls(out, {path});
        TextPrintf(out, "%u = ,,,", p + 1);
        PutInfQuoted(out, path);
        TextPut(out, "\n");
    }
    TextPut(out, "\n");

    static const char* const kHead[] = {
        kRule,
        "; Required section\n",
        ";   Specifies the source filenames that will be packaged in the CAB files\n",
        ";   Format:     \n",
        ";\t<filename> = <source ID>\n",
        ";       <filename> is the source filename (enclose in doublequotes for long filenames)\n",
        ";       <source ID> is the ID used in [SourceDisksNames] to specify the source directory\n",
        "[SourceDisksFiles]\n",
        nullptr,
    };
    PutLines(out, kHead);
    for (const SetupCopyFile& file : source.setup.copyFiles()) {
        const char* name = SourceName(source, file, expandPath);
        NoteControls(out, {name});
        PutInfQuoted(out, name);
        TextPut(out, " = ");
        int32_t p = plan.positionOfId[file.directoryId];
        // A file whose directory matches nothing still ends its line.
        if (p >= 0)
            TextPrintf(out, "%d\n", p + 1);
        else
            TextPut(out, "\n");
    }
    TextPut(out, "\n");
}

void WriteDefaultInstall(TextWriter& out, const DocumentSource& source, const DirectoryPlan& plan) {
    const SetupHeader& h = source.setup.header();
    static const char* const kHead[] = {
        kRule,
        "; Required section\n",
        ";   Specifies the INF sections for file copying, registry settings and creating shortcuts\n",
        ";   INF sections that are not listed here will not be used\n",
        "[DefaultInstall]\n",
        nullptr,
    };
    PutLines(out, kHead);
    TextPut(out, "CopyFiles   = ");
    bool first = true;
    for (uint32_t p = 0; p < plan.count; ++p) {
        if (!plan.HoldsFiles(p)) continue;
        TextPrintf(out, first ? "Dir_%u" : ", Dir_%u", p + 1);
        first = false;
    }
    TextPut(out, "\n");
    if (h.shortcutCount == 0) TextPut(out, "; ");
    TextPut(out, "CEShortcuts = Shortcuts\n");
    for (const CabFileEntry& file : source.cabinet.files()) {
        const char* name = file.name;
        size_t n = std::strlen(name);
        if (n >= 4 && std::memcmp(name + n - 4, ".999", 4) == 0) {
            NoteControls(out, {name});
            TextPut(out, "CESetupDLL  = ");
            PutInfQuoted(out, name);
            TextPut(out, "\n");
            break;
        }
    }
    if (h.regValueCount == 0) TextPut(out, "; ");
    TextPut(out, "AddReg      = RegEntries\n");
    TextPut(out, "\n");
}

void WriteDestinationDirs(TextWriter& out, const DocumentSource& source, const DirectoryPlan& plan) {
    static const char* const kHead[] = {
        kRule,
        "; Required section\n",
        ";   Specifies the directories to use for the file copy lists\n",
        ";   Format:     \n",
        ";\t<section name> = 0,<dest directory>\n",
        ";       <section name>   is the section name used in \"[DefaultInstall] CopyFiles\"\n",
        ";       <dest directory> is the destination directory, using an absolute device path,\n",
        ";                        the directory macros, or the install directory %InstallDir%\n",
        "[DestinationDirs]\n",
        nullptr,
    };
    PutLines(out, kHead);
    for (uint32_t p = 0; p < plan.count; ++p) {
        if (!plan.HoldsFiles(p)) continue;
        const char* path = DirectoryAt(source.setup, plan, p).path;
        NoteControls(out, {path});
        TextPrintf(out, "Dir_%u = 0,", p + 1);
        PutInfQuoted(out, path);
        TextPut(out, "\n");
    }
    TextPut(out, "\n");
}

bool EndsWithLnk(const char* path) {
    const char* dot = std::strrchr(path, '.');
    return dot && EqualNoCase(dot, ".lnk");
}

void WriteShortcuts(TextWriter& out, const CeSetup& setup) {
    static const char* const kHead[] = {
        kRule,
        "; Sections specified in \"[DefaultInstall] CEShortcuts\" key\n",
        ";   Specifies the shortcuts to create\n",
        ";   Format:     \n",
        ";\t<shortcut filename>,<shortcut type>,<target file/path>[,<standard dest path>]\n",
        ";       <shortcut filename> is the filename of the shortcut (w/o .lnk)\n",
        ";       <shortcut type> specifies if the shortcut is to a file or a folder\n",
        ";\t\t0 or empty = file, nonzero = folder\n",
        ";       <target file/path> is the target filename or pathname, which depends on the <shortcut type> flag "
        "used\n",
        ";\t\tfor a file, this must be specified in a file-copy list\n",
        ";\t\tfor a folder, a file-list section name from [DestinationDirs] or absolute or directory macro\n",
        ";       <standard dest path> is an optional destination directory macro (or %InstallDir%) to use\n",
        nullptr,
    };
    PutLines(out, kHead);
    const size_t count = setup.shortcuts().size();
    if (setup.header().shortcutCount == 0) TextPut(out, "; ");
    TextPut(out, "[Shortcuts]\n");
    LogMessage("writing [Shortcuts]");
    for (uint16_t i = 0; i < count; ++i) {
        // Both paths are needed before the line for its control-character note.
        char name[kPathSize];
        char path[kPathSize];
        ShortcutPath(setup, i, path);
        path[kPathSize - 1] = '\0';
        if (EndsWithLnk(path)) *std::strrchr(path, '.') = '\0';
        std::memcpy(name, path, kPathSize);
        ShortcutTarget(setup, i, path);
        path[kPathSize - 1] = '\0';
        NoteControls(out, {name, path});
        PutInfField(out, name);
        TextPrintf(out, ",%d,", setup.shortcuts()[i].targetIsFile == 0 ? 1 : 0);
        PutInfQuoted(out, path);
        TextPut(out, "\n");
    }
    TextPut(out, "\n");
}

void WriteCopyLists(TextWriter& out, const DocumentSource& source, const DirectoryPlan& plan, bool expandPath) {
    static const char* const kHead[] = {
        kRule,
        "; Required sections specified in \"[DefaultInstall] CopyFiles\" key\n",
        ";   Specifies the files to copy\n",
        ";   Format:     \n",
        ";\t<dest filename>,<source filename>,,<copy flags>\n",
        ";       <dest filename> is the destination filename (or the source filename if <source filename> is "
        "empty)\n",
        ";       <source filename> is the source filename\n",
        ";       <copy flags> is the copy flags to use\n",
        ";\t\t0x80000000\tIncrease reference count target\n",
        ";\t\t0x40000000\tIgnore target timestamp (always copy)\n",
        ";\t\t0x20000000\tDo not copy if target is newer\n",
        ";\t\t0x00000400\tReplace only if target is already existing\n",
        ";\t\t0x00000010\tDont overwrite destination file\n",
        ";\t\t0x00000002\tForbid user skipping this file\n",
        ";\t\t0x00000001\tWarn if trying to skip after error in copy\n",
        nullptr,
    };
    PutLines(out, kHead);
    LogMessage("writing [Dir_*]");
    for (uint32_t p = 0; p < plan.count; ++p) {
        if (!plan.HoldsFiles(p)) continue;
        TextPrintf(out, "[Dir_%u]\n", p + 1);
        for (uint32_t k = plan.fileStart[p]; k < plan.fileStart[p + 1]; ++k) {
            const SetupCopyFile& file = source.setup.copyFiles()[plan.files[k]];
            const char* dest = DestinationName(file);
            const char* name = SourceName(source, file, expandPath);
            NoteControls(out, {dest, name});
            PutInfQuoted(out, dest);
            TextPut(out, ",");
            PutInfQuoted(out, name);
            TextPrintf(out, ",,0x%08X\n", static_cast<unsigned>(file.flags));
        }
        TextPut(out, "\n");
    }
    TextPut(out, "\n");
}

const char* RootName(uint16_t root) {
    switch (root) {
        case 1: return "HKCR,";
        case 2: return "HKCU,";
        case 3: return "HKLM,";
        default: return "HKU,";
    }
}

void WriteRegEntries(TextWriter& out, const CeSetup& setup) {
    static const char* const kHead[] = {
        kRule,
        "; Required sections specified in \"[DefaultInstall] AddReg\" key\n",
        ";   Specifies the registry entries to create\n",
        ";   Format:     \n",
        ";\t<reg root>,<reg key>,<reg val>,<reg flags>,<reg data>[,<reg data>]\n",
        ";       <reg root> is HKCR, HKLM or HKCU\n",
        ";\t\tHKCR = HKEY_CLASSES_ROOT\n",
        ";\t\tHKCU = HKEY_CURRENT_USER\n",
        ";\t\tHKLM = HKEY_LOCAL_MACHINE\n",
        ";       <reg key> is the registry key name\n",
        ";       <reg val> is the registry value name, which is set to \"default\" if empty\n",
        ";       <reg flags> is the registry type/flags to use\n",
        ";\t\t0x00000002 = Do not overwrite if already exists\n",
        ";\t\t0x00000000 = REG_SZ entry\n",
        ";\t\t0x00010000 = MULTI_SZ entry\n",
        ";\t\t0x00000001 = REG_BINARY entry\n",
        ";\t\t0x00010001 = REG_DWORD entry\n",
        ";       <reg data> is the numeric/string registry data, which depends on the <reg flags> used\n",
        nullptr,
    };
    PutLines(out, kHead);
    if (setup.header().regValueCount == 0) TextPut(out, "; ");
    TextPut(out, "[RegEntries]\n");
    LogMessage("writing [RegEntries]");

    HiveIndex hives = BuildHiveIndex(setup);
    RegValueCursor cursor = BeginRegValues(setup);
    RegValue value;
    while (NextRegValue(cursor, &value)) {
        // Every line carries its key.
        const SetupRegHive* hive = FindHive(setup, hives, value.hiveId);
        bool text = KindOfRegValue(value.typeFlags) == RegValueKind::Text;
        if ((hive && HasControl(hive->keyPath)) || HasControl(value.name) || (text && HasControl(value.data)))
            PutControlNote(out);
        if (hive) {
            TextPut(out, RootName(hive->root));
            PutInfQuoted(out, hive->keyPath);
            TextPut(out, ",");
        }
        if (value.name[0]) PutInfQuoted(out, value.name);
        TextPrintf(out, ",0x%08X,", static_cast<unsigned>(value.typeFlags));
        if (KindOfRegValue(value.typeFlags) == RegValueKind::Unsupported) {
            std::printf("; Ooops (valuetype 0x%08X)...\n", static_cast<unsigned>(value.typeFlags));
            std::fflush(stdout);
        }
        WriteRegValueData(out, value, TextDialect::Inf);
    }
}

// Everything from [SourceDisksNames] on. An exhausted heap throws.
void WriteInstallSections(TextWriter& out, const DocumentSource& source) {
    static const char* const kHead[] = {
        kRule,
        "; Required section\n",
        ";   Specifies the source directories of the binary files\n",
        ";   Format:     \n",
        ";\t<source ID> = ,<label>,,<source directory>\n",
        ";       <source ID> will be used to specify the source files belonging to this directory\n",
        ";       <label> is unused\n",
        ";       <source directory> is the relative or absolute directory of the source files\n",
        "[SourceDisksNames]\n",
        nullptr,
    };
    PutLines(out, kHead);

    // No directories: an empty order, not a failure (and no request of 0 bytes).
    DirectoryPlan plan;
    if (!source.setup.directories().empty()) plan.order = CountedVector<uint16_t>(source.setup.directories().size());
    LogMessage("sorting dirs");
    SortDirectories(source.setup, plan);

    bool expandPath = source.settings.ExpandPath != 0;
    WriteSourceDisks(out, source, plan, expandPath);
    WriteDefaultInstall(out, source, plan);
    WriteDestinationDirs(out, source, plan);
    WriteShortcuts(out, source.setup);
    WriteCopyLists(out, source, plan, expandPath);
    WriteRegEntries(out, source.setup);
}

}  // namespace

Error RenderInfScript(const DocumentSource& source, TextWriter& out) {
    Error result;
    try {
        char text[kPathSize];
        WriteBanner(out, source);
        WriteVersion(out, source.setup, text);
        WriteCeStrings(out, source.setup, text);
        WriteCeDevice(out, source.setup);
        WriteInstallSections(out, source);
    } catch (const std::bad_alloc&) {
        result = NoMemory("INF script");
    }
    return result;
}

Error WriteInfScript(const DocumentSource& source, const OutputTarget& destination) {
    OutputFile file;
    if (!file.Open(destination, OutputPolicy::Entry)) return CannotCreate("cannot create the INF script");
    TextWriter out;
    out.file = file.file();
    Error result = RenderInfScript(source, out);

    // A script cut short for want of memory is kept: it ends at a section
    // header and the result says so.
    if (!FinishDocument(out, file)) return CannotCreate("the INF script could not be written");
    return result;
}

}  // namespace mirad
