// The host's side of the settings: where the module's settings file lives,
// and the private copy through which command-line flags reach the module
// (the module reads its options from its settings file only).
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "host/module.h"
#include "host/output.h"
#include "platform/ini.h"

namespace host {

namespace {

const char kSection[] = "CONFIGURATION";
const char kSettingsName[] = "Mirad.ini";

bool ReadWholeFile(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    *text = bytes.str();
    return true;
}

bool WriteWholeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << text;
    out.close();
    return static_cast<bool>(out);
}

std::string ModuleFilePath(const Options& options) {
    if (!options.modulePath.empty()) return options.modulePath;
    // Beside mirad in a build tree; in lib/mirad/ next to bin/ once installed.
    std::string beside = JoinPath(ExecutableDirectory(), kModuleName);
    std::string installed = JoinPath(JoinPath(JoinPath(ExecutableDirectory(), ".."), "lib"), "mirad");
    installed = JoinPath(installed, kModuleName);
    return !PathExists(beside) && PathExists(installed) ? installed : beside;
}

// The user's settings directory, made when missing; empty when none is known.
std::string SettingsDirectory(const Options& options) {
    // Absolute, because the Windows profile functions look for a relative
    // settings path in the Windows directory.
    std::string dir = options.configDir.empty() ? DefaultConfigDirectory() : AbsolutePath(options.configDir);
    if (dir.empty()) {
        Warning("no settings directory is known (set HOME or use --config); built-in settings apply");
    } else if (!MakeDirectories(dir)) {
        Warning("cannot create the settings directory '" + dir + "'; built-in settings apply");
    }
    return dir;
}

std::string DirectoryOf(const std::string& path) {
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? "." : path.substr(0, cut);
}

void HandSettingsPath(const ModuleApi& api, const std::string& settingsPath) {
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
    api.PackSetDefaultParams(&params);
}

}  // namespace

std::string SetIniValue(const std::string& text, const std::string& section, const std::string& key,
                        const std::string& value) {
    std::string out = text;
    if (!mirad::ini::SetValue(&out, section.c_str(), key.c_str(), value.c_str())) return text;
    return out;
}

bool SettingsChanges::any() const {
    for (int value : view) {
        if (value >= 0) return true;
    }
    return !debugFile.empty() || !compression.empty() || !values.empty();
}

SettingsChanges ChangesFrom(const Options& options) {
    SettingsChanges changes;
    if (options.viewGiven) {
        for (int i = 0; i < kViewOptionCount; ++i) changes.view[i] = options.view[i] ? 1 : 0;
    }
    if (!options.logFile.empty()) changes.debugFile = AbsolutePath(options.logFile);
    return changes;
}

SettingsChanges LogChanges(const Options& options) {
    SettingsChanges changes;
    if (!options.logFile.empty()) changes.debugFile = AbsolutePath(options.logFile);
    return changes;
}

bool Session::MakePrivateCopy(const std::string& source, const SettingsChanges& changes) {
    privateDir_.reset(new TempDirectory());
    if (privateDir_->path.empty()) {
        Error("cannot create a temporary directory for the settings these options need");
        return false;
    }
    readsFrom_ = JoinPath(privateDir_->path, kSettingsName);
    // The copy starts from what the module would have read: the file, or
    // the one the module creates where there is none.
    std::string text;
    if (!ReadWholeFile(source, &text) && !(mirad::CreateSettingsFile(readsFrom_.c_str()) &&
                                           ReadWholeFile(readsFrom_, &text))) {
        text.clear();
    }
    for (int i = 0; i < kViewOptionCount; ++i) {
        if (changes.view[i] >= 0) text = SetIniValue(text, kSection, kViewKeys[i], changes.view[i] ? "1" : "0");
    }
    if (!changes.debugFile.empty()) text = SetIniValue(text, kSection, "DebugFile", changes.debugFile);
    if (!changes.compression.empty()) text = SetIniValue(text, kSection, "Compression", changes.compression);
    for (const auto& kv : changes.values) text = SetIniValue(text, kSection, kv.first, kv.second);
    if (!WriteWholeFile(readsFrom_, text)) {
        Error("cannot write the private settings file '" + readsFrom_ + "'");
        return false;
    }
    return true;
}

bool Session::Start(const Options& options, const SettingsChanges& changes) {
    std::string modulePath = ModuleFilePath(options);
    std::string settingsDir = SettingsDirectory(options);
    std::string besideModule = JoinPath(DirectoryOf(modulePath), kSettingsName);
    bool moduleHasSettings = IsRegularFile(besideModule);
    std::string userSettings = settingsDir.empty() ? "" : JoinPath(settingsDir, kSettingsName);
    std::string handed = userSettings;  // what PackSetDefaultParams is given
    readsFrom_ = moduleHasSettings ? besideModule : userSettings;
    std::string loadPath = modulePath;
    if (changes.any()) {
        if (!MakePrivateCopy(readsFrom_, changes)) return false;
        handed = readsFrom_;
        if (moduleHasSettings) {
            // The module prefers a Mirad.ini beside itself over the directory
            // the host names; a private copy of the module sits beside the
            // private settings instead, so the options given here apply.
            size_t cut = modulePath.find_last_of("/\\");
            loadPath = JoinPath(privateDir_->path, cut == std::string::npos ? modulePath : modulePath.substr(cut + 1));
            if (!CopyFileBytes(modulePath, loadPath)) {
                Error("cannot copy the module '" + modulePath + "' to '" + loadPath + "'");
                return false;
            }
        }
    }
    if (!Load(loadPath)) return false;
    HandSettingsPath(api_, handed);
    return true;
}

mirad::Settings Session::settings() const {
    if (readsFrom_.empty()) return mirad::BuiltInSettings();
    return mirad::SettingsFromFile(readsFrom_.c_str());
}

}  // namespace host
