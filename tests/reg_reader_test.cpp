// "~Cab~.REG" read back: edits of real cabinets' exports rebuild the
// registry tables so that the export is the edited text again, and what the
// dialect cannot carry is refused with the line.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "documents/documents.h"
#include "documents/reg_reader.h"
#include "interface/result.h"
#include "setup/setup.h"
#include "support/settings.h"
#include "tests/fixture.h"

namespace {

using fixture::TempDir;

struct Loaded {
    mirad::Cabinet cabinet;
    std::unique_ptr<mirad::CeSetup> setup;
    explicit Loaded(const std::string& path) {
        mirad::IoHandle file(mirad::IoOpen(path.c_str(), mirad::IoMode::Read));
        if (file) mirad::ReadCeCabinet(std::move(file), &cabinet, &setup);
    }
};

std::string Export(const mirad::Cabinet& cabinet, const mirad::CeSetup& setup) {
    std::string text;
    mirad::TextWriter out;
    out.text = &text;
    mirad::DocumentSource source{"", cabinet, setup, mirad::BuiltInSettings()};
    EXPECT_FALSE(mirad::RenderRegistryExport(source, out));
    mirad::TextFlush(out);
    return text;
}

struct Rebuilt {
    mirad::Error result;
    std::string error;
    std::string exported;  // the export of the rebuilt setup file
    std::vector<uint8_t> bytes;
};

Rebuilt Rebuild(const Loaded& l, const std::string& text) {
    Rebuilt r;
    r.result = mirad::RebuildRegistry(*l.setup, reinterpret_cast<const uint8_t*>(text.data()), text.size(), "~Cab~.REG",
                                      &r.bytes, &r.error);
    if (!r.result) {
        std::unique_ptr<mirad::CeSetup> after;
        EXPECT_FALSE(mirad::CeSetup::FromBytes(l.cabinet, r.bytes, &after));
        if (after) r.exported = Export(l.cabinet, *after);
    }
    return r;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

std::string Corpus(const std::string& name) {
    std::string dir = fixture::CorpusDir();
    return dir.empty() ? "" : dir + "/real-ce/" + name;
}

TEST(RegReader, UnchangedExportKeepsEverySetupFileAsItWas) {
    if (fixture::CorpusDir().empty()) GTEST_SKIP() << "third-party corpus not present";
    for (const char* name : {"sdk__Sample.PPC_MIPS.CAB", "sdk__blkjack.ppc30_sh3.CAB", "nsb__App.WM.CAB",
                             "nsb__Runtime.HPC_2577.CAB", "ush__NETCFv35.wm.armv4i.cab", "fzm__kgarcade.ARM.CAB"}) {
        SCOPED_TRACE(name);
        Loaded l(Corpus(name));
        ASSERT_TRUE(l.setup);
        std::string text = Export(l.cabinet, *l.setup);
        Rebuilt r = Rebuild(l, text);
        ASSERT_FALSE(r.result) << r.error;
        EXPECT_EQ(r.bytes, l.setup->bytes());
    }
}

// Edits of the blackjack sample's export; each must export exactly as edited.
TEST(RegReader, EditsExportAsWritten) {
    if (fixture::CorpusDir().empty()) GTEST_SKIP() << "third-party corpus not present";
    Loaded l(Corpus("sdk__Sample.PPC_MIPS.CAB"));
    ASSERT_TRUE(l.setup);
    const std::string base = Export(l.cabinet, *l.setup);
    const std::string kMark = "; !! Next will only be written if key is NOT already defined !!\r\n";
    const std::string kDefaultPlayer = "\"DefaultPlayer\"=\"John Smith\"\r\n";
    const std::string kNewKey = "\r\n[HKLM\\Software\\Mirad Test\\Sub]\r\n"
                                "@=\"C:\\\\x \\\"quoted\\\"\"\r\n"
                                "\"Empty\"=\r\n"
                                "\"Words\"=dword:0x00000001,0x00000002,0x00000003,0x00000004,\\\r\n  0x00000005\r\n"
                                "\"Bytes\"=hex:0x01,0x02,0x03,0x04,0x05,0x06,0x07,0x08,0x09,0x0A,0x0B,0x0C,0x0D,0x0E,"
                                "0x0F,0x10,\\\r\n  0x11\r\n"
                                "\"NoBytes\"=hex:\r\n"
                                "; !! Next will only be written if key is NOT already defined !!\r\n"
                                "\"Multi\"=\"a\",\r\n  \"\",\r\n  \"%InstallDir%\\\\b\"\r\n";
    struct Case {
        const char* what;
        std::string text;
    } cases[] = {
        {"a string changed", Replaced(base, "John Smith\"\r\n", "Jane Roe\"\r\n")},
        {"a double word changed", Replaced(base, "dword:0x00000001", "dword:0xDEADBEEF")},
        {"a value deleted", Replaced(base, kMark + kDefaultPlayer, "")},
        {"the mark removed", Replaced(base, kMark + kDefaultPlayer, kDefaultPlayer)},
        {"a key deleted", Replaced(base, "\r\n[HKCR\\.BJL]\r\n@=\"BlkjackFile\"\r\n", "")},
        {"every key deleted", "REGEDIT4\r\n"},
        {"a new key of every form", base + kNewKey},
        {"a value moved to another key", Replaced(base, "\r\n[HKCR\\.BJL]\r\n", "\r\n[HKCR\\.BJL]\r\n" + kDefaultPlayer)},
        {"keys of odd paths", base + "\r\n[HKLM\\a\\\\b]\r\n\"x\"=\"1\"\r\n\r\n[HKCU\\%InstallDir%\\k]\r\n\"y\"=\"2\"\r\n"
                                     "\r\n[HKU\\\\lead]\r\n\"z\"=\"3\"\r\n"},
        {"a value under an existing key twice", base + "\r\n[HKCR\\.BJL]\r\n\"Again\"=\"yes\"\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rebuilt r = Rebuild(l, c.text);
        ASSERT_FALSE(r.result) << r.error;
        EXPECT_EQ(r.exported, c.text);
    }
}

TEST(RegReader, DesktopFormsAreReadAsTheirData) {
    if (fixture::CorpusDir().empty()) GTEST_SKIP() << "third-party corpus not present";
    Loaded l(Corpus("sdk__Sample.PPC_MIPS.CAB"));
    ASSERT_TRUE(l.setup);
    const std::string base = Export(l.cabinet, *l.setup) + "\r\n[HKCU\\T]\r\n";
    struct Case {
        std::string given, exported;
    } cases[] = {
        {"\"D\"=dword:0000000a\n", "\"D\"=dword:0x0000000A\r\n"},
        {"\"B\"=hex:de,ad\n", "\"B\"=hex:0xDE,0xAD\r\n"},
        {"\"M\"=hex(7):61,00,62,00,00\n", "\"M\"=\"a\",\r\n  \"b\",\r\n  \"\"\r\n"},
        {"\"E\"=hex(2):25,43,45,31,25,00\n", "\"E\"=\"%CE1%\"\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        Rebuilt r = Rebuild(l, base + c.given);
        ASSERT_FALSE(r.result) << r.error;
        EXPECT_EQ(r.exported, base + c.exported);
    }
}

TEST(RegReader, WhatTheDialectCannotSayIsRefusedWithItsLine) {
    if (fixture::CorpusDir().empty()) GTEST_SKIP() << "third-party corpus not present";
    Loaded l(Corpus("sdk__Sample.PPC_MIPS.CAB"));
    ASSERT_TRUE(l.setup);
    const std::string base = Export(l.cabinet, *l.setup);  // 24 lines
    const std::string k = "\r\n[HKCU\\T]\r\n";             // lines 25, 26; a value then is line 27
    struct Case {
        std::string text;
        std::string error;
    } cases[] = {
        {"REGEDIT5\r\n", "~Cab~.REG:1: a registry export begins with the line REGEDIT4"},
        {"\xEF\xBB\xBFREGEDIT4\r\n", "~Cab~.REG:1: the document was saved with a byte-order mark"},
        {base + k + "; my note\r\n\"a\"=\"b\"\r\n", "~Cab~.REG:27: a comment cannot be kept"},
        {base + k, "~Cab~.REG:26: a key without values cannot be kept"},
        {base + k + "\"a\"=\"b\r\n", "~Cab~.REG:27: the quoted text does not end on its line"},
        {base + k + "\"a\"=\"C:\\x\"\r\n", "~Cab~.REG:27: in quoted text a backslash is written \\\\"},
        {base + k + "\"a\"=dword:0x00000001x\r\n", "~Cab~.REG:27: items are separated by \",\""},
        {base + k + "\"a\"=dword:0x000000001\r\n", "~Cab~.REG:27: a double word has at most eight"},
        {base + k + "\"a\"=dword:0x0000000a\r\n", "~Cab~.REG:27: the export would write this line as \"\"a\"=dword:0x0000000A\""},
        {base + "\r\n[HKLM\\end\\]\r\n\"a\"=\"1\"\r\n", "~Cab~.REG:26: the export would write this line as \"[HKLM\\end]\""},
        {base + k + "\"a\"=hex:0x01,\r\n", "~Cab~.REG:27: an item follows the \",\""},
        {base + k + "\"a\"=hex(4):01,00,00,00\r\n", "~Cab~.REG:27: a CE setup file holds strings"},
        {base + k + "\"a\"=\"x\",\r\n", "~Cab~.REG:27: the multi-string continues, and the document ends"},
        {base + k + "\"a\"=\"tab\there\"\r\n", "~Cab~.REG:27: a control character"},
        {base + k + "\"\"=\"x\"\r\n", "~Cab~.REG:27: the export would write this line as \"@=\"x\"\""},
        {base + k + "\"a\"=hex(7):61\r\n", "~Cab~.REG:27: the export cannot show this value's data as given"},
        {base + k + "\"a\"=\"1\"\r\n" + k + "\"b\"=\"2\"\r\n", "~Cab~.REG:29: the key of the line above again"},
        {base + "\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"a\"=\"1\"\r\n", "~Cab~.REG:26: a key begins with HKCR\\, HKCU\\, HKLM\\ or HKU\\"},
        {base + "\r\n[HKLM\\\"q\"]\r\n\"a\"=\"1\"\r\n", "~Cab~.REG:26: a part of a key cannot begin with a double quote"},
        {base + k + "; !! Next will only be written if key is NOT already defined !!\r\n",
         "~Cab~.REG:27: this line marks the value after it, and none follows"},
        {base + k + "\"a\"=\"1\"\r\nfoo\r\n", "~Cab~.REG:28: neither a key line"},
        {base + k + "\"a\"=\"1\"\rx\r\n", "~Cab~.REG:27: a carriage return inside the line"},
        {base + k + "\"a\"=\"" + std::string(65535, 'x') + "\"\r\n", "~Cab~.REG:27: a value's name and data take more"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        Rebuilt r = Rebuild(l, c.text);
        EXPECT_TRUE(r.result.Is(mirad::ErrorKind::BadData));
        EXPECT_EQ(r.error.compare(0, c.error.size(), c.error), 0) << r.error;
    }
}

}  // namespace
