// The diagnostic log and the counted allocation, in-process.
#include <algorithm>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "support/alloc.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/settings.h"
#include "tests/fixture.h"

namespace {

using fixture::FileExists;
using fixture::ReadText;
using fixture::TempDir;

#if defined(__SANITIZE_ADDRESS__)
#define MIRAD_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MIRAD_ASAN 1
#endif
#endif

class Services : public ::testing::Test {
protected:
    void SetUp() override {
        mirad::ResetSettings();
        mirad::ResetAllocationCounter();
        SetDebugFile(log);
    }
    void TearDown() override {
        mirad::ResetSettings();
        mirad::ResetAllocationCounter();
    }
    static void SetDebugFile(const std::string& path) {
        mirad::Settings s = *mirad::PublishedSettings();
        mirad::CopyString(s.DebugFile, sizeof s.DebugFile, path.c_str());
        mirad::PublishSettings(s);
    }
    TempDir dir;
    std::string log = dir / "debug.log";
};

TEST_F(Services, AllocationTotalsAndLines) {
    void* a = mirad::AllocateZeroed(712);
    void* b = mirad::AllocateZeroed(100);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(mirad::AllocatedTotal(), 844);
    EXPECT_EQ(std::count(static_cast<char*>(a), static_cast<char*>(a) + 712, 0), 712);
    mirad::FreeBlock(a);
    mirad::FreeBlock(b);
    EXPECT_EQ(mirad::AllocateZeroed(0), nullptr);
    EXPECT_EQ(mirad::AllocatedTotal(), 844);  // freeing gives nothing back
    EXPECT_EQ(ReadText(log),
              "Allocating 712 bytes (728 allocated now)\n"
              "Allocating 100 bytes (844 allocated now)\n"
              "Out of memory in allocating 0 bytes (844 allocated so far)\n");
}

#ifndef MIRAD_ASAN
// The sanitizer's allocator aborts instead of failing, hence the #ifndef.
TEST_F(Services, AnExhaustedHeapIsLoggedAndReportedAsNull) {
    const size_t huge = SIZE_MAX / 2 + 1;
    EXPECT_EQ(mirad::AllocateZeroed(huge), nullptr);
    EXPECT_EQ(mirad::AllocatedTotal(), 0);
    const std::string text = ReadText(log);
    EXPECT_EQ(text.rfind("Out of memory in allocating ", 0), 0u) << text;
    EXPECT_NE(text.find(" bytes (0 allocated so far)\n"), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
}
#endif

TEST_F(Services, LogMessagesAppendWholeLines) {
    mirad::LogMessage("first %d", 1);
    mirad::LogMessage("\n\nOpen %s", "x.cab");
    const std::string longName(5000, 'n');
    mirad::LogMessage("name %s end", longName.c_str());
    EXPECT_EQ(ReadText(log), "first 1\n\n\nOpen x.cab\nname " + longName + " end\n");
}

TEST_F(Services, NoLogWithoutAPathOrAPlace) {
    SetDebugFile("");
    mirad::LogMessage("nothing");
    mirad::FreeBlock(mirad::AllocateZeroed(8));
    EXPECT_FALSE(FileExists(log));
    const std::string unusable = dir / "missing/debug.log";
    SetDebugFile(unusable);
    mirad::LogMessage("nothing either");
    EXPECT_FALSE(FileExists(dir / "missing"));
}

}  // namespace
