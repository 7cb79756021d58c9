// libFuzzer target: the input is an edited "~Cab~.REG" for a small CE
// cabinet (held in the memory file system) whose setup file has string,
// multi-string, binary and double-word values, a marked value, a key shown
// twice and a key without values. The registry is rebuilt from it. A
// failure must come with one message naming the document; a success must
// give a setup file that reads back, whose export, read back in turn,
// rebuilds the very same bytes.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cabinet/layout.h"
#include "cabinet/writer.h"
#include "documents/documents.h"
#include "documents/reg_reader.h"
#include "fuzz/memory_io.h"
#include "setup/model.h"
#include "setup/setup.h"
#include "support/settings.h"

namespace {

const char kCabinet[] = "/nonexistent-mirad-memfs/reg.cab";

mirad::SetupModel Model() {
    using M = mirad::SetupModel;
    M m;
    m.processor = 2577;
    m.strings = {{1, mirad::StoredText("\\Program Files\\App")}, {2, mirad::StoredText("Software")},
                 {3, mirad::StoredText("App")}, {4, mirad::StoredText("Empty")}, {5, mirad::StoredText("App.lnk")}};
    m.directories = {{1, {1, 0}}};
    m.copyFiles = {{1, 1, 1, 0, mirad::StoredText("app.exe")}};
    m.regHives = {{1, 3, 0, {2, 3, 0}}, {2, 2, 0, {2, 3, 0}}, {3, 3, 0, {2, 4, 0}}};
    auto value = [](uint16_t n, uint16_t hive, uint32_t type, const std::string& name, const std::string& data) {
        return M::RegValue{n, hive, 0, type, name + '\0' + data};
    };
    m.regValues = {value(1, 1, 0, "Path", std::string("%InstallDir%\\app.exe\0", 21)),
                   value(2, 1, 0x00010001, "", std::string("\x01\0\0\0\x02\0\0\0", 8)),
                   value(3, 2, 0x00010002, "List", std::string("a\0b\0\0", 5)),
                   value(4, 2, 0x00000001, "Bin", std::string("\x00\xFF\x10", 3)),
                   value(5, 1, 0x00000002, "Once", std::string("x\0", 2))};
    M::Shortcut s;
    s.id = 1;
    s.targetId = 1;
    s.targetIsFile = 1;
    s.nameStringId = 5;
    m.shortcuts = {s};
    return m;
}

struct Fixture {
    memio::MemoryFs fs;
    memio::Installed installed{fs};
    mirad::Cabinet cabinet;
    std::unique_ptr<mirad::CeSetup> setup;

    Fixture() {
        std::vector<uint8_t> setupBytes, app(100, 'x');
        if (mirad::WriteSetupModel(Model(), &setupBytes)) std::abort();
        std::vector<mirad::PackEntry> entries(2);
        entries[0].storedName = "REG.000";
        entries[0].bytes = &setupBytes;
        entries[0].cbFile = static_cast<uint32_t>(setupBytes.size());
        entries[1].storedName = "APP.001";
        entries[1].bytes = &app;
        entries[1].cbFile = static_cast<uint32_t>(app.size());
        mirad::CabinetPlan plan;
        if (mirad::PlanCabinet(entries, "", mirad::Compression::None, &plan)) std::abort();
        {
            mirad::IoHandle out(mirad::IoOpen(kCabinet, mirad::IoMode::Write));
            if (!out || mirad::WriteCabinet(out.get(), nullptr, entries, plan, "", mirad::Compression::None,
                                            mirad::ProgressCallback()))
                std::abort();
        }
        if (mirad::ReadCeCabinet(mirad::IoHandle(mirad::IoOpen(kCabinet, mirad::IoMode::Read)), &cabinet, &setup) ||
            !setup)
            std::abort();
    }
};

std::string Export(const mirad::Cabinet& cabinet, const mirad::CeSetup& setup) {
    std::string text;
    mirad::TextWriter out;
    out.text = &text;
    mirad::DocumentSource source{"", cabinet, setup, mirad::BuiltInSettings()};
    if (mirad::RenderRegistryExport(source, out)) std::abort();
    mirad::TextFlush(out);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Fixture f;
    const std::string name = "~Cab~.REG";
    std::vector<uint8_t> bytes;
    std::string error;
    mirad::Error rc = mirad::RebuildRegistry(*f.setup, data, size, name, &bytes, &error);
    if (rc) {
        if (!rc.Is(mirad::ErrorKind::BadData) || error.compare(0, name.size() + 1, name + ":") != 0) std::abort();
        return 0;
    }
    std::unique_ptr<mirad::CeSetup> after;
    if (mirad::CeSetup::FromBytes(f.cabinet, bytes, &after) || !after) std::abort();
    const std::string again = Export(f.cabinet, *after);
    std::vector<uint8_t> second;
    if (mirad::RebuildRegistry(*after, reinterpret_cast<const uint8_t*>(again.data()), again.size(), name, &second,
                               &error) ||
        second != bytes)
        std::abort();
    return 0;
}
