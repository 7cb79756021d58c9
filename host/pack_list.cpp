// The add list and the PackFiles call pack and update share.
#include "host/pack_list.h"

#include <algorithm>

#include "host/module.h"
#include "host/progress.h"

namespace host {

std::string NativeSeparators(std::string path) {
    std::replace(path.begin(), path.end(), kSeparator == '/' ? '\\' : '/', kSeparator);
    return path;
}

std::string SourcePrefix(const Options& options) {
    if (options.sourceDir.empty()) return "";
    std::string prefix = NativeSeparators(options.sourceDir);
    if (prefix.back() != '/' && prefix.back() != '\\') prefix += kSeparator;
    return prefix;
}

int32_t PackFiles(const Session& session, const std::string& cabinet, const std::string& subPath,
                  const std::string& source, const std::vector<std::string>& names, int32_t flags) {
    // NUL-separated, ending in an empty name.
    std::string list;
    for (const std::string& name : names) {
        list += name;
        list += '\0';
    }
    list += '\0';
    std::vector<char> cabinetName(cabinet.begin(), cabinet.end()), sub(subPath.begin(), subPath.end()),
        sourcePath(source.begin(), source.end());
    cabinetName.push_back('\0');
    sub.push_back('\0');
    sourcePath.push_back('\0');
    const ModuleApi& api = session.api();
    api.SetProcessDataProc(MIRAD_PACK_HANDLE, ProgressCallback);
    StartProgress();
    int32_t result = api.PackFiles(cabinetName.data(), subPath.empty() ? nullptr : sub.data(),
                                   source.empty() ? nullptr : sourcePath.data(), &list[0], flags);
    EndProgress();
    return result;
}

}  // namespace host
