// The host's side of the settings: where the module's settings file lives,
// and the private copy through which command-line flags reach the module
// (the module reads its options from its settings file only).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/host.h"
#include "platform/ini.h"

namespace host {

const char* const kViewKeys[kViewOptionCount] = {"ExpandCE", "ExpandPath", "ShowRegistry", "ShowShortcuts",
                                                 "ShowInfFile"};

namespace {

const char kSection[] = "CONFIGURATION";

std::string ReadWholeFile(const std::string& path, bool* exists) {
    std::ifstream in(path, std::ios::binary);
    *exists = static_cast<bool>(in);
    if (!in) return "";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WriteWholeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << text;
    out.close();
    return static_cast<bool>(out);
}

}  // namespace

std::string SetIniValue(const std::string& text, const std::string& section, const std::string& key,
                        const std::string& value) {
    std::string out = text;
    if (!mirad::ini::SetValue(&out, section.c_str(), key.c_str(), value.c_str())) return text;
    return out;
}

bool SettingsOverride::any() const {
    for (int value : view) {
        if (value >= 0) return true;
    }
    return setDebugFile || !compression.empty() || !values.empty();
}

std::string ModuleFilePath(const Options& options) {
    if (!options.modulePath.empty()) return options.modulePath;
    // A 64-bit Windows process loads only the 64-bit module, named as file
    // managers expect it.
#if defined(_WIN64)
    const char* module = "Mirad.wcx64";
#else
    const char* module = "Mirad.wcx";
#endif
    // Beside mirad in a build tree; in lib/mirad/ next to bin/ once installed.
    std::string beside = JoinPath(ExecutableDirectory(), module);
    std::string installed = JoinPath(JoinPath(JoinPath(ExecutableDirectory(), ".."), "lib"), "mirad");
    installed = JoinPath(installed, module);
    return !PathExists(beside) && PathExists(installed) ? installed : beside;
}

std::string SettingsDirectory(const Options& options) {
    // Absolute, because the Windows profile functions look for a relative
    // settings path in the Windows directory.
    if (!options.configDir.empty()) return AbsolutePath(options.configDir);
    return DefaultConfigDirectory();
}

Session::~Session() {
    // The module goes first: Windows cannot remove a loaded DLL's file.
    UnloadModule(&api);
    privateDir.reset();
}

bool StartSession(const Options& options, const SettingsOverride& changes, Session* session) {
    std::string modulePath = ModuleFilePath(options);
    std::string settingsDir = SettingsDirectory(options);
    if (settingsDir.empty()) {
        Warning("no settings directory is known (set HOME or use --config); built-in settings apply");
    } else if (!MakeDirectories(settingsDir)) {
        Warning("cannot create the settings directory '" + settingsDir + "'; built-in settings apply");
    }
    std::string userSettings = settingsDir.empty() ? "" : JoinPath(settingsDir, "Mirad.ini");
    size_t cut = modulePath.find_last_of("/\\");
    std::string besideModule = JoinPath(cut == std::string::npos ? "." : modulePath.substr(0, cut), "Mirad.ini");
    bool moduleHasSettings = IsRegularFile(besideModule);

    std::string loadPath = modulePath;
    std::string settingsPath = userSettings;
    if (changes.any()) {
        session->privateDir.reset(new TempDirectory());
        const std::string& dir = session->privateDir->path;
        if (dir.empty()) {
            Error("cannot create a temporary directory for the settings these options need");
            return false;
        }
        // The copy starts from the file the module would have read.
        bool exists = false;
        std::string text = ReadWholeFile(moduleHasSettings ? besideModule : userSettings, &exists);
        if (!exists) {
            // What a freshly created settings file holds: every option off.
            for (const char* key : kViewKeys) text = SetIniValue(text, kSection, key, "0");
        }
        for (int i = 0; i < kViewOptionCount; ++i) {
            if (changes.view[i] >= 0) text = SetIniValue(text, kSection, kViewKeys[i], changes.view[i] ? "1" : "0");
        }
        if (changes.setDebugFile) text = SetIniValue(text, kSection, "DebugFile", changes.debugFile);
        if (!changes.compression.empty()) text = SetIniValue(text, kSection, "Compression", changes.compression);
        for (const auto& kv : changes.values) text = SetIniValue(text, kSection, kv.first, kv.second);
        settingsPath = JoinPath(dir, "Mirad.ini");
        if (!WriteWholeFile(settingsPath, text)) {
            Error("cannot write the private settings file '" + settingsPath + "'");
            return false;
        }
        if (moduleHasSettings) {
            // The module prefers a Mirad.ini beside itself over the directory
            // the host names; a private copy of the module sits beside the
            // private settings instead, so the options given here apply.
            std::string name = cut == std::string::npos ? modulePath : modulePath.substr(cut + 1);
            loadPath = JoinPath(dir, name);
            if (!CopyFileBytes(modulePath, loadPath)) {
                Error("cannot copy the module '" + modulePath + "' to '" + loadPath + "'");
                return false;
            }
        }
    }

    std::string error;
    if (!LoadModule(loadPath, &session->api, &error)) {
        Error(error);
        return false;
    }
    session->modulePath = loadPath;
    session->settingsPath = settingsPath;

    DefaultParams params;
    std::memset(&params, 0, sizeof params);
    params.size = static_cast<int32_t>(sizeof params);
    params.interfaceVersionLow = 10;
    params.interfaceVersionHigh = 2;
    if (settingsPath.size() >= sizeof params.defaultSettingsPath) {
        Warning("the settings path '" + settingsPath + "' is longer than 259 characters; built-in settings apply");
    } else {
        std::memcpy(params.defaultSettingsPath, settingsPath.c_str(), settingsPath.size() + 1);
    }
    session->api.PackSetDefaultParams(&params);
    return true;
}

}  // namespace host
