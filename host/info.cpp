// `mirad info`: what a cabinet is and what its CE setup file says, asked of
// the module's own layers once the module has opened it.
#include <cstdio>
#include <string>
#include <vector>

#include "host/commands.h"
#include "host/facts.h"
#include "host/module.h"
#include "host/output.h"
#include "support/paths.h"

namespace host {

namespace {

std::string Version(int32_t major, int32_t minor) { return std::to_string(major) + "." + std::to_string(minor); }

std::string Processor(int32_t code) {
    const char* name = mirad::ProcessorName(code);
    if (code == 0) return std::string(name) + " (any processor)";
    return name ? name : "unknown processor";
}

std::string StoredName(const CabinetFacts& facts, const Install& install) {
    return install.stored < 0 ? "" : facts.cabinet().files()[static_cast<size_t>(install.stored)].name;
}

std::string SetupJson(const CabinetFacts& facts) {
    const mirad::CeSetup* setup = facts.setup();
    if (!setup) return "null";
    const mirad::SetupHeader& h = setup->header();
    char app[mirad::kPathSize], provider[mirad::kPathSize];
    setup->HeaderText(h.appNameOffset, h.appNameLength, app);
    setup->HeaderText(h.providerOffset, h.providerLength, provider);
    std::string platforms;
    for (const std::string& name : setup->UnsupportedPlatforms()) platforms += (platforms.empty() ? "" : ", ") + JsonString(name);
    const char* installDir = setup->InstallDirectory();
    return "{\"storedName\": " + JsonString(facts.SetupName()) + ", \"appName\": " + JsonString(app) +
           ", \"provider\": " + JsonString(provider) + ", \"installDir\": " + JsonString(installDir ? installDir : "") +
           ",\n  \"processor\": " + std::to_string(h.processor) + ", \"processorName\": " +
           JsonString(Processor(h.processor)) + ", \"versionMin\": \"" + Version(h.minVersionMajor, h.minVersionMinor) +
           "\", \"versionMax\": \"" + Version(h.maxVersionMajor, h.maxVersionMinor) +
           "\", \"buildMin\": " + std::to_string(h.minBuild) + ", \"buildMax\": " + std::to_string(h.maxBuild) +
           ",\n  \"unsupportedPlatforms\": [" + platforms + "], \"files\": " + std::to_string(h.copyFileCount) +
           ", \"directories\": " + std::to_string(h.directoryCount) + ", \"registryKeys\": " +
           std::to_string(h.regHiveCount) + ", \"registryValues\": " + std::to_string(h.regValueCount) +
           ", \"shortcuts\": " + std::to_string(h.shortcutCount) + "}";
}

void PrintJson(const std::string& cabinet, const mirad::CabinetSurvey& s, const CabinetFacts& facts,
               const std::vector<Install>& installs) {
    std::string j = "{\"cabinet\": " + JsonString(cabinet) + ", \"bytes\": " + std::to_string(s.length) +
                    ", \"files\": " + std::to_string(s.header.cFiles) + ",\n \"folders\": [";
    for (size_t i = 0; i < s.folders.size(); ++i) {
        j += std::string(i ? ", " : "") + "{\"index\": " + std::to_string(i) + ", \"compression\": \"" +
             MethodName(s.folders[i].typeCompress) + "\", \"blocks\": " + std::to_string(s.folders[i].cCFData) + "}";
    }
    j += "],\n \"setup\": " + SetupJson(facts) + ",\n \"installs\": [";
    for (size_t i = 0; i < installs.size(); ++i) {
        std::string stored = StoredName(facts, installs[i]);
        j += std::string(i ? "," : "") + "\n  {\"storedName\": " + (stored.empty() ? "null" : JsonString(stored)) +
             ", \"destination\": " + JsonString(installs[i].destination) + ", \"devicePath\": " +
             JsonString("\\" + installs[i].devicePath) + "}";
    }
    j += std::string(installs.empty() ? "" : "\n ") + "]}\n";
    std::fputs(j.c_str(), stdout);
}

void Row(const char* label, const std::string& value) { std::printf("%-22s %s\n", label, Printable(value).c_str()); }

void PrintSetup(const CabinetFacts& facts, const std::vector<Install>& installs) {
    const mirad::CeSetup& setup = *facts.setup();
    const mirad::SetupHeader& h = setup.header();
    char text[mirad::kPathSize];
    Row("Setup file:", facts.SetupName());
    setup.HeaderText(h.appNameOffset, h.appNameLength, text);
    Row("Application:", *text ? text : "-");
    setup.HeaderText(h.providerOffset, h.providerLength, text);
    Row("Provider:", *text ? text : "-");
    const char* installDir = setup.InstallDirectory();
    Row("Installation dir:", installDir && *installDir ? installDir : "-");
    Row("Processor:", Processor(h.processor) + " (" + std::to_string(h.processor) + ")");
    Row("OS versions:", Version(h.minVersionMajor, h.minVersionMinor) + " to " +
                            Version(h.maxVersionMajor, h.maxVersionMinor));
    char builds[64];
    std::snprintf(builds, sizeof builds, "%u to %u (0x%08X)", h.minBuild, h.maxBuild, h.maxBuild);
    Row("OS builds:", builds);
    std::string unsupported;
    for (const std::string& name : setup.UnsupportedPlatforms()) unsupported += (unsupported.empty() ? "" : ", ") + name;
    Row("Unsupported platforms:", unsupported.empty() ? "none" : unsupported);
    Row("Installs:", Count(h.copyFileCount, "file", "files") + " in " +
                         Count(h.directoryCount, "directory", "directories") + ", " +
                         Count(h.regValueCount, "registry value", "registry values") + " in " +
                         Count(h.regHiveCount, "key", "keys") + ", " + Count(h.shortcutCount, "shortcut", "shortcuts"));
    std::printf("\n%-12s  %s\n", "Stored", "Installed as");
    for (const Install& install : installs) {
        std::string stored = StoredName(facts, install);
        std::printf("%-12s  \\%s\n", Printable(stored.empty() ? "?" : stored).c_str(),
                    Printable(install.devicePath).c_str());
    }
}

}  // namespace

int CommandInfo(const Options& options) {
    const std::string& cabinet = options.arguments[0];
    Session session;
    if (!session.Start(options, ChangesFrom(options))) return 1;
    bool opened = false;
    {
        // The module's verdict first, as a file manager would get it.
        Archive archive(session);
        opened = archive.Open(cabinet);
    }
    // A cabinet the module refuses still shows what its header says (the
    // compression of each folder, say) after the sentence saying why.
    mirad::CabinetSurvey survey = Survey(cabinet);
    if (!opened && (!survey.foldersComplete || options.json)) return 1;
    CabinetFacts facts;
    if (opened) facts.Read(cabinet);
    std::vector<Install> installs = facts.Installs(session.settings());
    if (options.json) {
        PrintJson(cabinet, survey, facts, installs);
        return 0;
    }
    Row("Cabinet:", cabinet + " (" + std::to_string(survey.length) + " bytes)");
    Row("Stored files:", std::to_string(survey.header.cFiles));
    for (size_t i = 0; i < survey.folders.size(); ++i) {
        std::string label = "Folder " + std::to_string(i + 1) + ":";
        Row(label.c_str(), "compression " + MethodName(survey.folders[i].typeCompress) + ", " +
                               Count(survey.folders[i].cCFData, "data block", "data blocks"));
    }
    if (!opened) return 1;
    if (!facts.setup()) {
        Row("Setup file:", "none (not a CE installation cabinet)");
        return 0;
    }
    PrintSetup(facts, installs);
    return 0;
}

}  // namespace host
