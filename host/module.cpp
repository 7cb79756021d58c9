// Loading the module, resolving its nine exports by name as a file manager
// does, and walking an archive through them.
#include "host/module.h"

#include <cstring>
#include <fstream>
#include <vector>

#include "host/facts.h"
#include "host/output.h"
#include "host/progress.h"

namespace host {

namespace {

template <typename Fn>
bool Bind(void* library, const char* name, Fn* slot, std::string* missing) {
    *slot = reinterpret_cast<Fn>(FindSymbol(library, name));
    if (*slot) return true;
    if (!missing->empty()) *missing += ", ";
    *missing += name;
    return false;
}

bool BindAll(void* library, ModuleApi* api, std::string* missing) {
    bool ok = true;
    ok &= Bind(library, "OpenArchive", &api->OpenArchive, missing);
    ok &= Bind(library, "ReadHeader", &api->ReadHeader, missing);
    ok &= Bind(library, "ProcessFile", &api->ProcessFile, missing);
    ok &= Bind(library, "CloseArchive", &api->CloseArchive, missing);
    ok &= Bind(library, "PackFiles", &api->PackFiles, missing);
    ok &= Bind(library, "PackSetDefaultParams", &api->PackSetDefaultParams, missing);
    ok &= Bind(library, "GetPackerCaps", &api->GetPackerCaps, missing);
    ok &= Bind(library, "SetChangeVolProc", &api->SetChangeVolProc, missing);
    ok &= Bind(library, "SetProcessDataProc", &api->SetProcessDataProc, missing);
    api->DeleteFiles = reinterpret_cast<DeleteFilesFn>(FindSymbol(library, "DeleteFiles"));
    return ok;
}

}  // namespace

Session::~Session() {
    // The module goes first: Windows cannot remove a loaded DLL's file.
    if (api_.handle) UnloadLibrary(api_.handle);
    privateDir_.reset();
}

bool Session::Load(const std::string& path) {
    if (!PathExists(path)) {
        Error("cannot load the module '" + path + "': " + std::strerror(ENOENT));
        return false;
    }
    std::string error;
    void* library = LoadLibraryFile(path, &error);
    if (!library) {
        Error(error);
        return false;
    }
    std::string missing;
    if (!BindAll(library, &api_, &missing)) {
        Error("'" + path + "' is not a Mirad module: it lacks " + missing);
        UnloadLibrary(library);
        api_ = ModuleApi();
        return false;
    }
    api_.handle = library;
    modulePath_ = path;
    return true;
}

bool Archive::Open(const std::string& cabinet) {
    // A pipe would be consumed by the module's first read; it is refused
    // before the module sees it.
    std::string early = WhyNotOpened(cabinet);
    if (!early.empty()) {
        Error(early);
        return false;
    }
    // The module is asked first, as a file manager would; only its answer
    // is explained in a sentence.
    std::string name = cabinet;  // the module is handed writable text
    OpenRequest request;
    std::memset(&request, 0, sizeof request);
    request.archiveName = &name[0];
    request.openMode = 1;  // extract; the module serves listing and extraction alike
    handle_ = api_.OpenArchive(&request);
    if (!handle_) {
        Error(WhyRefused(cabinet, request.openResult ? request.openResult : MIRAD_EOPEN));
        return false;
    }
    api_.SetProcessDataProc(handle_, ProgressCallback);
    return true;
}

bool Archive::Next(EntryHeader* header) {
    if (pending_) Process(MIRAD_SKIP);
    std::memset(header, 0, sizeof *header);
    pending_ = api_.ReadHeader(handle_, header) == MIRAD_OK;
    return pending_;
}

int32_t Archive::Process(int32_t operation, const std::string& target) {
    pending_ = false;
    if (target.empty()) return api_.ProcessFile(handle_, operation, nullptr, nullptr);
    std::string name = target;  // the module is handed writable text
    return api_.ProcessFile(handle_, operation, nullptr, &name[0]);
}

int32_t Archive::Process(int32_t operation, const std::string& directory, const std::string& name) {
    pending_ = false;
    std::string dir = directory, below = name;  // the module is handed writable text
    return api_.ProcessFile(handle_, operation, &dir[0], &below[0]);
}

void Archive::Close() {
    if (handle_) api_.CloseArchive(handle_);
    handle_ = nullptr;
    pending_ = false;
}

WalkEnd Walk(const Session& session, const std::string& cabinet, Selection& selection, const EntryVisit& visit,
             const std::function<void()>& opened) {
    Archive archive(session);
    if (!archive.Open(cabinet)) return WalkEnd::Refused;
    if (opened) opened();
    EntryHeader header;
    for (size_t index = 0;; ++index) {
        if (Interrupted()) break;
        if (!archive.Next(&header)) return WalkEnd::Done;
        if (!selection.Selects(EntryName(header))) continue;
        if (!visit(archive, header, index)) break;
    }
    EndProgress();
    Error("interrupted");
    return WalkEnd::Interrupted;
}

std::vector<std::string> ModuleSaid(const std::string& log, uint64_t from, const std::string& name) {
    std::vector<std::string> said;
    std::ifstream in(log, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(from));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, name.size() + 1, name + ":") == 0) said.push_back(line);
    }
    return said;
}

}  // namespace host
