// The setup-file writer: what it lays out the reader reads back, field by
// field, and every real setup file survives read -> write -> read.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstring>
#include <iostream>

#include "interface/result.h"
#include "setup/model.h"
#include "setup/setup.h"
#include "tests/fixture.h"

using namespace fixture;

namespace {

mirad::SetupModel SmallModel() {
    mirad::SetupModel m;
    m.processor = 2577;
    m.minVersionMajor = 3;
    m.maxVersionMajor = 5;
    m.minBuild = 0;
    m.maxBuild = 0xE0000000;
    m.appName = mirad::StoredText("Tool");
    m.provider = mirad::StoredText("Maker");
    m.unsupported = std::string("HPC\0JUPITER\0", 12);
    m.strings = {{1, mirad::StoredText("\\Program Files\\Tool")}, {2, std::string("Bin\0\0\0\0\0", 8)},
                 {3, mirad::StoredText("Software")}, {4, mirad::StoredText("Tool.lnk")}};
    m.directories = {{1, {1, 0}}, {2, {1, 2, 0}}};
    m.copyFiles = {{1, 2, 1, 0x40000000, mirad::StoredText("tool.exe")}};
    m.regHives = {{1, 3, 0, {3, 0}}};
    m.regValues = {{1, 1, 0, 0x00010001, std::string("N\0\x07\0\0\0", 6)}};
    mirad::SetupModel::Shortcut sc;
    sc.id = 1;
    sc.baseMacro = 11;
    sc.targetId = 1;
    sc.targetIsFile = 1;
    sc.nameStringId = 4;
    m.shortcuts = {sc};
    return m;
}

struct Loaded {
    mirad::Cabinet cabinet;
    std::unique_ptr<mirad::CeSetup> setup;
    int code = -1;
    explicit Loaded(const std::string& path) {
        mirad::IoHandle file(mirad::IoOpen(path.c_str(), mirad::IoMode::Read));
        if (file) code = mirad::ResultCode(mirad::ReadCeCabinet(std::move(file), &cabinet, &setup));
    }
};

TEST(SetupWriter, TheReaderDecodesWhatItWrites) {
    std::vector<uint8_t> bytes;
    ASSERT_FALSE(mirad::WriteSetupModel(SmallModel(), &bytes));
    TempDir dir;
    WriteFile(dir / "t.cab", BuildCabinet({{"T.000", bytes}, {"TOOL.001", BytesOf("x")}}));
    Loaded l(dir / "t.cab");
    ASSERT_EQ(l.code, 0);
    ASSERT_TRUE(l.setup);
    const auto& h = l.setup->header();
    EXPECT_EQ(h.processor, 2577);
    EXPECT_EQ(h.maxVersionMajor, 5);
    EXPECT_EQ(mirad::le32(h.raw + 8), bytes.size());
    EXPECT_EQ(mirad::le32(h.raw + 44), 0xE0000000u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()) + h.appNameOffset, h.appNameLength),
              std::string("Tool\0", 5));
    EXPECT_EQ(h.providerLength, 6);
    EXPECT_EQ(h.unsupportedLength, 12);
    ASSERT_EQ(l.setup->directories().size(), 2u);
    EXPECT_STREQ(l.setup->directories()[1].path, "%InstallDir%\\Bin");
    ASSERT_EQ(l.setup->copyFiles().size(), 1u);
    EXPECT_STREQ(l.setup->copyFiles()[0].destPath, "%InstallDir%\\Bin\\tool.exe");
    EXPECT_EQ(l.setup->copyFiles()[0].entryIndex, 1);
    EXPECT_EQ(l.setup->copyFiles()[0].flags, 0x40000000u);
    ASSERT_EQ(l.setup->regHives().size(), 1u);
    EXPECT_STREQ(l.setup->regHives()[0].keyPath, "Software");
    EXPECT_EQ(l.setup->regHives()[0].root, 3);
    ASSERT_EQ(l.setup->shortcuts().size(), 1u);
    EXPECT_EQ(l.setup->shortcuts()[0].nameStringId, 4);
    EXPECT_EQ(h.regValueCount, 1);
    mirad::SetupModel model;
    ASSERT_FALSE(l.setup->ReadModel(&model));
    EXPECT_TRUE(model == SmallModel());
}

TEST(SetupWriter, FieldsThatDoNotFitAreRefused) {
    struct Case {
        const char* what;
        void (*change)(mirad::SetupModel&);
    };
    const Case cases[] = {
        {"65536 strings", [](mirad::SetupModel& m) { m.strings.resize(65536); }},
        {"a name longer than its length field",
         [](mirad::SetupModel& m) { m.copyFiles[0].stored = std::string(70000, 'a'); }},
        {"texts past the 16-bit offsets", [](mirad::SetupModel& m) { m.provider = std::string(70000, 'p'); }},
        {"a 40000-id list", [](mirad::SetupModel& m) { m.directories[0].ids.assign(40000, 1); }},
    };
    for (const Case& c : cases) {
        mirad::SetupModel m = SmallModel();
        c.change(m);
        std::vector<uint8_t> bytes;
        EXPECT_TRUE(mirad::WriteSetupModel(m, &bytes).Is(mirad::ErrorKind::BadData)) << c.what;
    }
}

// Every setup file of the real corpus: written again from its records, it
// reads back to the same records. How many keep their bytes is printed.
TEST(SetupWriter, RealSetupFilesRoundTrip) {
    const std::string corpus = CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "third-party corpus not present at " << MIRAD_CORPUS_DIR;
    DIR* d = opendir((corpus + "/real-ce").c_str());
    ASSERT_NE(d, nullptr);
    int setups = 0, identical = 0;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < 4 || (name.substr(name.size() - 4) != ".CAB" && name.substr(name.size() - 4) != ".cab"))
            continue;
        SCOPED_TRACE(name);
        Loaded l(corpus + "/real-ce/" + name);
        ASSERT_EQ(l.code, 0);
        if (!l.setup) continue;
        ++setups;
        mirad::SetupModel model;
        ASSERT_FALSE(l.setup->ReadModel(&model));
        EXPECT_FALSE(model.copyFiles.empty());
        std::vector<uint8_t> written;
        ASSERT_FALSE(mirad::WriteSetupModel(model, &written));
        mirad::SetupModel again;
        ASSERT_FALSE(mirad::ReadSetupModel(written.data(), written.size(), &again));
        EXPECT_TRUE(again == model);
        if (written == l.setup->bytes()) {
            ++identical;
        } else {
            std::cout << name << ": bytes differ (" << written.size() << " written, " << l.setup->bytes().size()
                      << " read)\n";
        }
    }
    closedir(d);
    EXPECT_GT(setups, 10);
    std::cout << identical << " of " << setups << " setup files written again byte for byte\n";
}

}  // namespace
