// A host that speaks to the module only through its wide exports, as a
// current file manager does: built natively and for Windows, so the same
// scenario runs on both and under Wine. It loads the module beside itself.
//
//   wide_host [--settings DIR] list CAB
//   wide_host [--settings DIR] extract CAB DIR
//   wide_host [--settings DIR] pack CAB SOURCEDIR NAME...   ("/" in NAMEs: the
//                                                          host's separator)
//   wide_host [--settings DIR] delete CAB NAME...
//   wide_host handles FILE
//   wide_host --settings DIR configure     (the settings dialog, where one shows)
//
// Prints UTF-8: "entry NAME<TAB>unpacked<TAB>unpackedHigh<TAB>packed<TAB>
// fileTime<TAB>preciseFileTime" per entry, "progress NAME<TAB>bytes" per
// name the progress callback heard, "result N" last. Exit status 3 when a
// header record was written past its end.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "interface/exports.h"
#include "platform/wide.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/stat.h>
#endif

using mirad::platform::Utf16ToUtf8;
using mirad::platform::Utf8ToUtf16;

namespace {

#if defined(_WIN32)
const char16_t kSeparator = u'\\';
#else
const char16_t kSeparator = u'/';
#endif

struct Api {
    OpenArchiveWFn OpenArchiveW;
    ReadHeaderExWFn ReadHeaderExW;
    ProcessFileWFn ProcessFileW;
    CloseArchiveFn CloseArchive;
    PackFilesWFn PackFilesW;
    PackSetDefaultParamsFn PackSetDefaultParams;
    SetProcessDataProcWFn SetProcessDataProcW;
    CanYouHandleThisFileWFn CanYouHandleThisFileW;
    ConfigurePackerFn ConfigurePacker;
    DeleteFilesWFn DeleteFilesW;
};

MiradWideChar* W(std::u16string& s) { return reinterpret_cast<MiradWideChar*>(&s[0]); }
std::string Utf8(const MiradWideChar* s) { return Utf16ToUtf8(reinterpret_cast<const char16_t*>(s)); }

std::map<std::string, long long> g_progress;

int MIRAD_CALL OnProgress(MiradWideChar* name, int32_t bytes) {
    g_progress[name ? Utf8(name) : "(null)"] += bytes;
    return 1;
}

void PrintProgress() {
    for (const auto& p : g_progress) std::printf("progress %s\t%lld\n", p.first.c_str(), p.second);
    g_progress.clear();
}

bool Load(const std::u16string& self, Api* api) {
    std::u16string dir = self.substr(0, self.find_last_of(u"/\\") + 1);
#if defined(_WIN32)
    std::u16string path = dir + (sizeof(void*) == 8 ? u"Mirad.wcx64" : u"Mirad.wcx");
    HMODULE h = LoadLibraryW(reinterpret_cast<const wchar_t*>(path.c_str()));
    auto get = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(h, name)); };
#else
    std::string path = Utf16ToUtf8((dir + u"Mirad.wcx").c_str());
    if (path.find('/') == std::string::npos) path = "./" + path;
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto get = [&](const char* name) { return dlsym(h, name); };
#endif
    if (!h) return false;
    api->OpenArchiveW = reinterpret_cast<OpenArchiveWFn>(get("OpenArchiveW"));
    api->ReadHeaderExW = reinterpret_cast<ReadHeaderExWFn>(get("ReadHeaderExW"));
    api->ProcessFileW = reinterpret_cast<ProcessFileWFn>(get("ProcessFileW"));
    api->CloseArchive = reinterpret_cast<CloseArchiveFn>(get("CloseArchive"));
    api->PackFilesW = reinterpret_cast<PackFilesWFn>(get("PackFilesW"));
    api->PackSetDefaultParams = reinterpret_cast<PackSetDefaultParamsFn>(get("PackSetDefaultParams"));
    api->SetProcessDataProcW = reinterpret_cast<SetProcessDataProcWFn>(get("SetProcessDataProcW"));
    api->CanYouHandleThisFileW = reinterpret_cast<CanYouHandleThisFileWFn>(get("CanYouHandleThisFileW"));
    api->ConfigurePacker = reinterpret_cast<ConfigurePackerFn>(get("ConfigurePacker"));
    api->DeleteFilesW = reinterpret_cast<DeleteFilesWFn>(get("DeleteFilesW"));
    return api->OpenArchiveW && api->ReadHeaderExW && api->ProcessFileW && api->CloseArchive && api->PackFilesW &&
           api->PackSetDefaultParams && api->SetProcessDataProcW && api->CanYouHandleThisFileW && api->DeleteFilesW;
}

void MakeParents(const std::u16string& path) {
    for (size_t at = path.find(kSeparator, 1); at != std::u16string::npos; at = path.find(kSeparator, at + 1)) {
        std::u16string dir = path.substr(0, at);
#if defined(_WIN32)
        CreateDirectoryW(reinterpret_cast<const wchar_t*>(dir.c_str()), nullptr);
#else
        mkdir(Utf16ToUtf8(dir.c_str()).c_str(), 0777);
#endif
    }
}

// Lists (extractTo empty) or extracts every entry below extractTo.
int Walk(const Api& api, std::u16string cabinet, const std::u16string& extractTo) {
    OpenRequestW request;
    std::memset(&request, 0, sizeof request);
    request.archiveName = W(cabinet);
    request.openMode = extractTo.empty() ? 0 : 1;
    void* archive = api.OpenArchiveW(&request);
    if (!archive) {
        std::printf("result %d\n", request.openResult);
        return 0;
    }
    api.SetProcessDataProcW(archive, OnProgress);
    // The record and a tail the module must leave alone.
    const size_t kTail = 64;
    std::vector<unsigned char> space(sizeof(EntryHeaderExW) + kTail, 0xA5);
    EntryHeaderExW* h = reinterpret_cast<EntryHeaderExW*>(space.data());
    int32_t result;
    while (std::memset(h, 0, sizeof *h), (result = api.ReadHeaderExW(archive, h)) == MIRAD_OK) {
        std::printf("entry %s\t%u\t%u\t%u\t%d\t%llu\n", Utf8(h->fileName).c_str(), h->unpackedSize,
                    h->unpackedSizeHigh, h->packedSize, h->fileTime,
                    static_cast<unsigned long long>(h->preciseFileTime));
        std::u16string target;
        if (!extractTo.empty()) {
            target = extractTo + kSeparator + reinterpret_cast<const char16_t*>(h->fileName);
            MakeParents(target);
        }
        int32_t processed = api.ProcessFileW(archive, extractTo.empty() ? MIRAD_SKIP : MIRAD_EXTRACT, nullptr,
                                             extractTo.empty() ? nullptr : W(target));
        if (processed != MIRAD_OK) std::printf("process %s\t%d\n", Utf8(h->fileName).c_str(), processed);
    }
    api.CloseArchive(archive);
    PrintProgress();
    std::printf("result %d\n", result);
    for (size_t i = sizeof *h; i < space.size(); ++i)
        if (space[i] != 0xA5) return 3;
    return 0;
}

// The names as the host's list: each in the host's separator, ending in
// an empty one.
std::u16string NameList(const std::vector<std::u16string>& names) {
    std::u16string list;
    for (std::u16string name : names) {
        for (char16_t& c : name)
            if (c == u'/') c = kSeparator;
        list += name + u'\0';
    }
    return list + u'\0';
}

int Pack(const Api& api, std::u16string cabinet, std::u16string source, const std::vector<std::u16string>& names) {
    source += kSeparator;
    std::u16string list = NameList(names);
    api.SetProcessDataProcW(MIRAD_PACK_HANDLE, OnProgress);
    int32_t result = api.PackFilesW(W(cabinet), nullptr, W(source), W(list), 0);
    PrintProgress();
    std::printf("result %d\n", result);
    return 0;
}

int Main(std::vector<std::u16string> args) {
    Api api;
    if (args.empty() || !Load(args[0], &api)) {
        std::fprintf(stderr, "wide_host: cannot load the module beside this program\n");
        return 2;
    }
    args.erase(args.begin());
    if (args.size() >= 2 && args[0] == u"--settings") {
        DefaultParams params;
        std::memset(&params, 0, sizeof params);
        params.size = sizeof params;
        std::snprintf(params.defaultSettingsPath, sizeof params.defaultSettingsPath, "%s%cMirad.ini",
                      Utf16ToUtf8(args[1].c_str()).c_str(), static_cast<char>(kSeparator));
        api.PackSetDefaultParams(&params);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.size() == 2 && args[0] == u"list") return Walk(api, args[1], u"");
    if (args.size() == 3 && args[0] == u"extract") return Walk(api, args[1], args[2]);
    if (args.size() >= 4 && args[0] == u"pack")
        return Pack(api, args[1], args[2], std::vector<std::u16string>(args.begin() + 3, args.end()));
    if (args.size() >= 3 && args[0] == u"delete") {
        std::u16string list = NameList(std::vector<std::u16string>(args.begin() + 2, args.end()));
        std::printf("result %d\n", api.DeleteFilesW(W(args[1]), W(list)));
        return 0;
    }
    if (args.size() == 2 && args[0] == u"handles") {
        std::printf("handles %d\n", api.CanYouHandleThisFileW(W(args[1])));
        return 0;
    }
    if (args.size() == 1 && args[0] == u"configure" && api.ConfigurePacker) {
        api.ConfigurePacker(nullptr, nullptr);
        return 0;
    }
    std::fprintf(stderr, "wide_host: unknown command\n");
    return 2;
}

}  // namespace

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    std::vector<std::u16string> args;
    for (int i = 0; i < argc; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    wchar_t self[32768];
    DWORD n = GetModuleFileNameW(nullptr, self, 32768);
    if (n > 0 && n < 32768 && !args.empty()) args[0] = reinterpret_cast<const char16_t*>(self);
    return Main(args);
}
#else
int main(int argc, char** argv) {
    std::vector<std::u16string> args;
    for (int i = 0; i < argc; ++i) args.push_back(Utf8ToUtf16(argv[i]));
    return Main(args);
}
#endif
