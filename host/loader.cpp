// Loading the module at run time and resolving its nine exports by name, as
// a file manager does.
#include <cerrno>
#include <cstring>
#include <string>

#include "host/host.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace host {

namespace {

void* Resolve(void* handle, const char* name) {
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
#else
    return dlsym(handle, name);
#endif
}

template <typename Fn>
bool Bind(void* handle, const char* name, Fn* slot, std::string* missing) {
    *slot = reinterpret_cast<Fn>(Resolve(handle, name));
    if (*slot) return true;
    if (!missing->empty()) *missing += ", ";
    *missing += name;
    return false;
}

}  // namespace

bool LoadModule(const std::string& path, ModuleApi* api, std::string* error) {
    *api = ModuleApi();
    if (!PathExists(path)) {
        *error = "cannot load the module '" + path + "': " + std::strerror(ENOENT);
        return false;
    }
#if defined(_WIN32)
    // Without a directory part LoadLibrary would search the system path.
    HMODULE handle = LoadLibraryA(path.c_str());
    if (!handle) {
        *error = "cannot load the module '" + path + "' (Windows error " + std::to_string(GetLastError()) + ")";
        return false;
    }
#else
    // dlopen searches the library path for a name without a "/".
    std::string where = path.find('/') == std::string::npos ? "./" + path : path;
    void* handle = dlopen(where.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        *error = "cannot load the module '" + path + "': " + (why ? why : "unknown reason");
        return false;
    }
#endif
    api->handle = handle;
    std::string missing;
    bool ok = true;
    ok &= Bind(handle, "OpenArchive", &api->OpenArchive, &missing);
    ok &= Bind(handle, "ReadHeader", &api->ReadHeader, &missing);
    ok &= Bind(handle, "ProcessFile", &api->ProcessFile, &missing);
    ok &= Bind(handle, "CloseArchive", &api->CloseArchive, &missing);
    ok &= Bind(handle, "PackFiles", &api->PackFiles, &missing);
    ok &= Bind(handle, "PackSetDefaultParams", &api->PackSetDefaultParams, &missing);
    ok &= Bind(handle, "GetPackerCaps", &api->GetPackerCaps, &missing);
    ok &= Bind(handle, "SetChangeVolProc", &api->SetChangeVolProc, &missing);
    ok &= Bind(handle, "SetProcessDataProc", &api->SetProcessDataProc, &missing);
    if (!ok) {
        *error = "'" + path + "' is not a Mirad module: it lacks " + missing;
        UnloadModule(api);
        return false;
    }
    return true;
}

void UnloadModule(ModuleApi* api) {
    if (!api->handle) return;
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(api->handle));
#else
    dlclose(api->handle);
#endif
    *api = ModuleApi();
}

}  // namespace host
