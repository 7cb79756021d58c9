// Reading the cabinet wizard's INF dialect: the script a CE cabinet is built
// from (the same dialect "~Cab~.INF" is written in).
//
// Two steps: the text is decoded (UTF-16 or UTF-8 with a byte-order mark,
// otherwise the code page) and cut into sections of entries, with quoting,
// comments, continuation lines and %string% substitution; then the sections
// the wizard uses are read into a CeInf, with the platform-suffixed ones
// chosen by the processor name merged over the plain ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace mirad {

struct InfOptions {
    std::string name;      // the INF's name, as messages quote it
    std::string cpu;       // chooses [Section.CPU]; empty: none
    uint32_t codePage = 1252;
    bool strict = false;   // warnings are errors
};

// One message per failure: "NAME:LINE: what is wrong". Warnings, in order,
// for what the wizard would ignore.
struct InfReport {
    std::string error;
    std::vector<std::string> warnings;
};

// One line of a section: `key = fields` or fields alone, unquoted and with
// %string% references replaced.
struct InfEntry {
    uint32_t line = 0;
    bool hasKey = false;
    std::string key;
    std::vector<std::string> fields;
};

struct InfSection {
    std::string name;  // as written
    uint32_t line = 0;
    std::vector<InfEntry> entries;
};

struct InfText {
    std::vector<InfSection> sections;
    // First section of that name, ignoring case; null when there is none.
    const InfSection* Find(const std::string& name) const;
};

// Decodes and cuts the text; false with report->error set on failure.
bool ParseInfText(const uint8_t* data, size_t size, const InfOptions& options, InfText* out, InfReport* report);

struct InfCopyFile {
    std::string dest;    // the installed name
    std::string source;  // the source file's name
    size_t sourceEntry = 0;  // its entry in CeInf::sources
    uint32_t flags = 0;
    uint32_t line = 0;
};

struct InfCopyList {
    std::string name;         // the section
    std::string destination;  // the [DestinationDirs] path, macros kept
    uint32_t line = 0;        // of the section's header
    std::vector<InfCopyFile> files;
};

struct InfSourceFile {
    std::string name;       // as [SourceDisksFiles] spells it
    std::string directory;  // its [SourceDisksNames] directory; empty: the INF's folder
    uint32_t line = 0;
};

struct InfRegEntry {
    uint16_t root = 0;  // 1 HKCR, 2 HKCU, 3 HKLM, 4 HKU
    std::string key;
    std::string name;  // empty: the default value
    uint32_t typeFlags = 0;
    std::string data;  // as the setup file stores it
    uint32_t line = 0;
};

struct InfShortcut {
    std::string name;  // the shortcut file's name
    bool folder = false;
    std::string target;       // a file's installed name, or a folder path
    std::string destination;  // where it is made, macros kept
    uint32_t line = 0;
};

struct CeInf {
    std::string provider, appName, installDir;
    int32_t processor = 0;
    int32_t minVersionMajor = 0, minVersionMinor = 0, maxVersionMajor = 0, maxVersionMinor = 0;
    uint32_t minBuild = 0, maxBuild = 0;
    std::vector<std::string> unsupported;
    std::vector<InfCopyList> copyLists;
    std::vector<InfSourceFile> sources;
    std::map<std::string, size_t> sourceIndex;  // lower-case name -> sources
    std::vector<InfRegEntry> registry;
    std::vector<InfShortcut> shortcuts;
    std::string setupDll;  // a [SourceDisksFiles] name; empty: none
    std::vector<std::string> selfRegister;
};

// The source of `name` (ignoring case, as the wizard matches), or null.
const InfSourceFile* FindSource(const CeInf& inf, const std::string& name);

// Reads a whole INF; false with report->error set when it is malformed,
// contradictory or (strict) draws a warning.
bool ReadCeInf(const uint8_t* data, size_t size, const InfOptions& options, CeInf* out, InfReport* report);

}  // namespace mirad
