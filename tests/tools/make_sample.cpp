// Writes the sample CE cabinet shipped in samples/: `make_sample
// samples/sample.cab`. The test-fixture builder lays out the setup file and
// the entries; the module's own writer then rewrites the cabinet (an update
// that replaces nothing), so the sample has the block layout and checksums
// of every cabinet the module writes. Nothing depends on the clock, so the
// file is the same on every run.
#include <cstdio>
#include <exception>
#include <string>

#include "interface/result.h"
#include "setup/pack.h"
#include "tests/fixture.h"

namespace {

using fixture::Bytes;

fixture::StoredFile Stored(const std::string& name, const Bytes& data, uint16_t attribs = 0x20) {
    fixture::StoredFile f;
    f.name = name;
    f.data = data;
    f.attribs = attribs;
    return f;
}

Bytes Dword(uint32_t v) {
    return Bytes{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                 static_cast<uint8_t>(v >> 24)};
}

Bytes Text(const std::string& text) {
    Bytes b = fixture::BytesOf(text);
    b.push_back(0);
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    // --small: the same cabinet with a few bytes per file, a fuzzing seed.
    bool small = argc == 3 && std::string(argv[1]) == "--small";
    if (argc != 2 && !small) {
        std::fprintf(stderr, "usage: make_sample [--small] OUTPUT.cab\n");
        return 2;
    }
    const char* output = argv[argc - 1];
    try {
        fixture::CeSetup s;
        s.appName = "Sample App";
        s.provider = "Example Co";
        s.unsupported = {"HPC", "Jupiter"};
        // The first string is the install directory.
        s.strings = {{1, "%CE1%\\Sample App"}, {2, "bin"},        {3, "data"},           {4, "%CE2%"},
                     {5, "Help"},              {6, "Sample App.lnk"}, {7, "Data Folder.lnk"}, {8, "Readme.lnk"},
                     {9, "Software"},          {10, "Example Co"}, {11, "Sample App"},    {12, "Settings"}};
        s.directories = {{1, {1}}, {2, {1, 2}}, {3, {1, 3}}, {4, {4, 5}}};
        s.copyFiles = {{1, 2, "sample.exe"}, {2, 2, "sampleui.dll"}, {3, 1, "readme.txt"},
                       {4, 3, "levels.dat"}, {5, 3, "config.ini"},   {6, 4, "sample.htm"}};
        s.hives = {{1, 3, {9, 10, 11}}, {2, 2, {9, 10, 11, 12}}};
        fixture::CeRegValue version{1, 0x00000000, "Version", Text("1.0")};
        fixture::CeRegValue byDefault{1, 0x00000000, "", Text("Sample App")};
        fixture::CeRegValue paths{1, 0x00010000, "Paths", fixture::BytesOf(std::string("bin\0data\0\0", 10))};
        fixture::CeRegValue key{1, 0x00000001, "Key", Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02}};
        fixture::CeRegValue count{2, 0x00010001, "RunCount", Dword(0)};
        fixture::CeRegValue firstRun{2, 0x00010001 | 0x00000002, "FirstRun", Dword(1)};
        s.values = {version, byDefault, paths, key, count, firstRun};
        fixture::CeShortcut startMenu;  // in Start Menu\Programs, to the program
        startMenu.id = 1;
        startMenu.baseMacro = 11;
        startMenu.targetId = 1;
        startMenu.targetIsFile = 1;
        startMenu.nameStringId = 6;
        fixture::CeShortcut readme;  // in the install directory itself
        readme.id = 2;
        readme.baseMacro = 0;
        readme.targetId = 3;
        readme.targetIsFile = 1;
        readme.nameStringId = 8;
        fixture::CeShortcut folder;  // on the desktop, to a directory
        folder.id = 3;
        folder.baseMacro = 3;
        folder.targetId = 3;
        folder.targetIsFile = 0;
        folder.nameStringId = 7;
        s.shortcuts = {startMenu, readme, folder};

        std::vector<fixture::StoredFile> files = {
            Stored("sample.001", fixture::Pattern(small ? 60 : 6000, 1)),
            Stored("sampleui.002", fixture::Pattern(small ? 25 : 2500, 2)),
            Stored("readme.003", fixture::BytesOf("Sample App\r\nA cabinet made for trying the Mirad module.\r\n")),
            Stored("levels.004", fixture::Pattern(small ? 400 : 40000, 4)),
            Stored("config.005", fixture::BytesOf("[General]\r\nLevel=1\r\n"), 0x21),
            Stored("sample.006", fixture::BytesOf("<html><body>Sample App help</body></html>\r\n")),
        };
        fixture::WriteFile(output, fixture::BuildCeCabinet(s, files));
        int rc = mirad::ResultCode(mirad::PackFilesInto(output, nullptr, nullptr, {}, false));
        if (rc != 0) {
            std::fprintf(stderr, "make_sample: rewriting %s gave result %d\n", output, rc);
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_sample: %s\n", e.what());
        return 1;
    }
    return 0;
}
