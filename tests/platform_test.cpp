// The POSIX platform layer: the INI reader/writer standing in for the
// profile functions, file stamps, DOS dates, attributes, 64-bit positions.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/fixture.h"

namespace {

using namespace mirad::platform;
using fixture::ReadText;
using fixture::TempDir;
using fixture::WriteText;

std::string GetString(const std::string& path, const char* section, const char* key, const char* fallback = "DEF",
                      size_t size = 260) {
    std::string out(size, '\x7f');
    size_t n = ProfileGetString(section, key, fallback, &out[0], size, path.c_str());
    EXPECT_EQ(n, std::strlen(out.c_str()));
    return out.c_str();
}

// Sets the local time zone for one scope.
struct ScopedZone {
    std::string saved;
    bool had;
    explicit ScopedZone(const char* zone) {
        const char* tz = std::getenv("TZ");
        had = tz != nullptr;
        if (had) saved = tz;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedZone() {
        had ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
        tzset();
    }
};

void SetMtime(const std::string& path, time_t seconds, long nanoseconds) {
    struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(IniRead, StringsLikeTheProfileFunction) {
    TempDir dir;
    const std::string ini = dir / "a.ini";
    // BOM, CR LF, blanks, comments, repeated keys and sections, no last line end.
    WriteText(ini,
              "\xEF\xBB\xBFTop=level\r\n"
              "; a comment\n"
              "  [ Configuration ]  \n"
              "  ExpandCE =  1  \r\n"
              "debugfile=\t/tmp/x.log \r\n"
              "ExpandCE=2\n"
              "Q=\"quoted value\"\n"
              "Half=\"open\n"
              "NoEquals\n"
              ";Commented=1\n"
              "Empty=\n"
              "[English]\n"
              "CE_1=\\Program Files\n"
              "[CONFIGURATION]\n"
              "Later=yes");
    struct Case {
        const char *section, *key, *expected;
    };
    const Case cases[] = {
        {"CONFIGURATION", "EXPANDCE", "1"},  // the first of a repeated key wins
        {"configuration", "DebugFile", "/tmp/x.log"},
        {"ENGLISH", "ce_1", "\\Program Files"},
        {"English", "ExpandCE", "DEF"},  // a key belongs to its own section only
        {"Configuration", "Later", "yes"},  // a repeated section counts
        {"Configuration", "Q", "quoted value"},
        {"Configuration", "Half", "\"open"},
        {"", "Top", "level"},  // keys before any section
        {"Configuration", "Top", "DEF"},
        {"Other", "K", "DEF"},
        {"Configuration", "K", "DEF"},
        {"Configuration", "NoEquals", "DEF"},
        {"Configuration", ";Commented", "DEF"},
        {"Configuration", "Empty", ""},  // present and empty is a value
    };
    for (const Case& c : cases) EXPECT_EQ(GetString(ini, c.section, c.key), c.expected) << c.section << "/" << c.key;
    EXPECT_EQ(ProfileGetInt("Configuration", "expandce", 7, ini.c_str()), 1);
    EXPECT_EQ(GetString(dir / "missing.ini", "S", "K"), "DEF");
    EXPECT_EQ(GetString(dir.path, "S", "K"), "DEF");  // a directory is no file
    EXPECT_EQ(GetString(ini, "S", "K", "abc  "), "abc");  // a default's trailing blanks go
    EXPECT_EQ(GetString(ini, "S", "K", nullptr), "");
    // Values are cut to the buffer.
    EXPECT_EQ(GetString(ini, "configuration", "Later", "", 3), "ye");
    EXPECT_EQ(GetString(ini, "configuration", "Later", "", 1), "");
    EXPECT_EQ(GetString(ini, "S", "Absent", "0123456789", 4), "012");
    const std::string longValue(100000, 'v');  // far beyond any line buffer
    WriteText(ini, "[S]\nK=" + longValue + "\n");
    EXPECT_EQ(GetString(ini, "S", "K", "", longValue.size() + 1), longValue);
    EXPECT_EQ(GetString(ini, "S", "K", "", 10), longValue.substr(0, 9));
}

TEST(IniRead, IntegersLikeTheProfileFunction) {
    TempDir dir;
    const std::string ini = dir / "a.ini";
    WriteText(ini, "[S]\nOne=1\nSpaced=  42  \nNeg=-3\nPlus=+5\nTail=12abc\nWord=yes\nZero=0\nSign=-\nEmpty=\n");
    const std::pair<const char*, int> cases[] = {{"One", 1},  {"Spaced", 42}, {"Neg", -3},  {"Plus", 5},
                                                 {"Tail", 12}, {"Word", 0},    {"Zero", 0},  {"Sign", 0},
                                                 {"Empty", 99}, {"Absent", 99}};  // empty gives the default
    for (const auto& c : cases) EXPECT_EQ(ProfileGetInt("s", c.first, 99, ini.c_str()), c.second) << c.first;
    EXPECT_EQ(ProfileGetInt("S", "K", 1, (dir / "missing.ini").c_str()), 1);
}

TEST(IniWrite, CreatesAFileAndAppendsSectionsInOrder) {
    TempDir dir;
    const std::string ini = dir / "new.ini";
    ASSERT_TRUE(ProfileWriteString("A", "One", "1", ini.c_str()));
    ASSERT_TRUE(ProfileWriteString("A", "Two", "", ini.c_str()));
    ASSERT_TRUE(ProfileWriteString("B", "Path", "\\Program Files", ini.c_str()));
    ASSERT_TRUE(ProfileWriteString("A", "Three", "3", ini.c_str()));
    EXPECT_EQ(ReadText(ini), "[A]\nOne=1\nTwo=\nThree=3\n[B]\nPath=\\Program Files\n");
}

TEST(IniWrite, KeepsEveryOtherLine) {
    TempDir dir;
    const std::string ini = dir / "a.ini";
    WriteText(ini, "; settings\n[CONFIGURATION]\n  expandce = 0   ; stays\nDebugFile=\n\n"
                   "; about the next section\n[English]\nCE_1=\\Program Files\n\n[Other]\nX=1");
    // Replaced in place, under the name the file uses.
    ASSERT_TRUE(ProfileWriteString("Configuration", "ExpandCE", "1", ini.c_str()));
    // Added after the section's last entry, before the next section's blank and comment.
    ASSERT_TRUE(ProfileWriteString("configuration", "Language", "English", ini.c_str()));
    // Added to the last section, which had no line end.
    ASSERT_TRUE(ProfileWriteString("OTHER", "Y", "2", ini.c_str()));
    EXPECT_EQ(ReadText(ini), "; settings\n[CONFIGURATION]\nexpandce=1\nDebugFile=\nLanguage=English\n\n"
                             "; about the next section\n[English]\nCE_1=\\Program Files\n\n[Other]\nX=1\nY=2\n");
}

TEST(IniWrite, KeepsCrLfTheModeAndSymlinks) {
    TempDir dir;
    const std::string ini = dir / "real.ini", link = dir / "link.ini";
    WriteText(ini, "[S]\r\nK=old\r\n");
    ASSERT_EQ(chmod(ini.c_str(), 0640), 0);
    ASSERT_EQ(symlink(ini.c_str(), link.c_str()), 0);
    ASSERT_TRUE(ProfileWriteString("S", "K", "new", link.c_str()));
    ASSERT_TRUE(ProfileWriteString("S", "L", "added", ini.c_str()));
    ASSERT_TRUE(ProfileWriteString("T", "M", "x", ini.c_str()));
    EXPECT_EQ(ReadText(ini), "[S]\r\nK=new\r\nL=added\r\n[T]\r\nM=x\r\n");
    struct stat st;
    ASSERT_EQ(stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(IniWrite, ValuesCannotInjectLinesAndBadTargetsFail) {
    TempDir dir;
    const std::string ini = dir / "a.ini";
    ASSERT_TRUE(ProfileWriteString("S", "K", "one\n[Evil]\nX=1", ini.c_str()));
    EXPECT_EQ(ReadText(ini), "[S]\nK=one\n");
    EXPECT_FALSE(ProfileWriteString("S", "A=B", "1", ini.c_str()));
    EXPECT_FALSE(ProfileWriteString("S", "", "1", ini.c_str()));
    EXPECT_FALSE(ProfileWriteString("S]", "K", "1", ini.c_str()));
    EXPECT_FALSE(ProfileWriteString("S", "K", "1", (dir / "no/such/dir.ini").c_str()));
    EXPECT_FALSE(ProfileWriteString("S", "K", "1", dir.path.c_str()));
    ASSERT_EQ(chmod(ini.c_str(), 0444), 0);
    EXPECT_FALSE(ProfileWriteString("S", "K", "2", ini.c_str()));
    EXPECT_EQ(ReadText(ini), "[S]\nK=one\n");
}

TEST(PlatformFiles, WriteStampFollowsTheWriteTime) {
    TempDir dir;
    const std::string file = dir / "f";
    uint8_t a[8], b[8], c[8];
    EXPECT_FALSE(FileWriteStamp((dir / "missing").c_str(), a));
    EXPECT_FALSE(FileWriteStamp(dir.path.c_str(), a));
    EXPECT_FALSE(FileWriteStamp("", a));
    WriteText(file, "x");
    SetMtime(file, 1700000000, 500);
    ASSERT_TRUE(FileWriteStamp(file.c_str(), a));
    ASSERT_TRUE(FileWriteStamp(file.c_str(), b));
    EXPECT_EQ(std::memcmp(a, b, 8), 0);
    SetMtime(file, 1700000000, 700);  // below one second still counts
    ASSERT_TRUE(FileWriteStamp(file.c_str(), c));
    EXPECT_NE(std::memcmp(a, c, 8), 0);
    SetMtime(file, 0, 0);  // not the all-zero "never read" stamp
    ASSERT_TRUE(FileWriteStamp(file.c_str(), c));
    const uint8_t zero[8] = {};
    EXPECT_NE(std::memcmp(zero, c, 8), 0);
}

TEST(PlatformFiles, CreationDirectoriesAndReplace) {
    TempDir dir;
    const std::string file = dir / "new";
    EXPECT_TRUE(CreateNewEmptyFile(file.c_str()));
    EXPECT_FALSE(CreateNewEmptyFile(file.c_str()));
    EXPECT_FALSE(CreateNewEmptyFile((dir / "no/dir").c_str()));
    EXPECT_EQ(OpenNewFile(file.c_str()), nullptr);
    std::FILE* f = OpenNewFile((dir / "other").c_str());
    ASSERT_NE(f, nullptr);
    std::fputs("a\nb", f);
    std::fclose(f);
    EXPECT_EQ(ReadText(dir / "other"), "a\nb");

    EXPECT_TRUE(MakeDirectory((dir / "sub").c_str()));
    EXPECT_TRUE(MakeDirectory((dir / "sub").c_str()));  // already there counts
    EXPECT_FALSE(MakeDirectory(file.c_str()));
    EXPECT_FALSE(MakeDirectory((dir / "a/b").c_str()));
    EXPECT_TRUE(ReplaceFile((dir / "other").c_str(), file.c_str()));
    EXPECT_EQ(ReadText(file), "a\nb");
    EXPECT_FALSE(fixture::FileExists(dir / "other"));
}

TEST(PlatformFiles, PositionsBeyondFourGigabytes) {
    TempDir dir;
    const std::string file = dir / "big";
    const uint64_t kSize = 5ull << 30, at = (4ull << 30) + 12345;  // sparse: takes no space
    int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kSize)), 0);
    close(fd);
    std::FILE* f = std::fopen(file.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    uint64_t length = 0;
    ASSERT_TRUE(FileLength(f, &length));
    EXPECT_EQ(length, kSize);
    ASSERT_TRUE(SeekFile(f, at));
    EXPECT_EQ(static_cast<uint64_t>(ftello(f)), at);
    std::fputc('Z', f);
    EXPECT_EQ(static_cast<uint64_t>(ftello(f)), at + 1);
    ASSERT_TRUE(SeekFile(f, kSize));
    std::fputc('!', f);  // still buffered, yet part of the length
    ASSERT_TRUE(FileLength(f, &length));
    EXPECT_EQ(length, kSize + 1);
    EXPECT_FALSE(SeekFile(f, UINT64_MAX));
    ASSERT_TRUE(SeekFile(f, at));
    EXPECT_EQ(std::fgetc(f), 'Z');
    std::fclose(f);
}

TEST(PlatformFiles, FindFileMapsAttributesAndTime) {
    ScopedZone utc("UTC");
    TempDir dir;
    const std::string plain = dir / "plain.txt", hidden = dir / ".hidden", readOnly = dir / "ro.txt";
    WriteText(plain, "12345");
    WriteText(hidden, "");
    WriteText(readOnly, "x");
    ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
    SetMtime(plain, 1735732800, 0);  // 2025-01-01 12:00:00 UTC
    FindData d;
    ASSERT_TRUE(FindFile(plain.c_str(), &d));
    EXPECT_EQ(d.attributes, 0x20u);
    EXPECT_EQ(d.size, 5u);
    EXPECT_EQ(d.dosDate, 0x5A21);
    EXPECT_EQ(d.dosTime, 0x6000);
    const std::pair<std::string, uint32_t> cases[] = {
        {hidden, 0x22u}, {readOnly, 0x21u}, {dir.path, 0x10u}, {dir.path + "/.", 0x10u}};
    for (const auto& c : cases) {
        ASSERT_TRUE(FindFile(c.first.c_str(), &d)) << c.first;
        EXPECT_EQ(d.attributes, c.second) << c.first;
    }
    EXPECT_EQ(d.size, 0u);  // a directory
    EXPECT_FALSE(FindFile((dir / "missing").c_str(), &d));
}

TEST(PlatformTime, DosDateAndTimeAreLocalAndClamped) {
    struct Case {
        const char* zone;
        int64_t seconds;
        uint16_t date, time;
    };
    const Case cases[] = {
        {"UTC", 1735732801, 0x5A21, 0x6000},  // 2025-01-01 12:00:01: two-second steps
        {"UTC", 315532800, 0x0021, 0},        // 1980-01-01, the first DOS moment
        {"UTC", 951782399, (20 << 9) | (2 << 5) | 28, (23 << 11) | (59 << 5) | 29},  // 2000-02-28 23:59:59
        {"UTC", 4354819199, 0xFF9F, 0xBF7D},  // 2107-12-31 23:59:59, the last one
        // Out of range: clamped, never wrapped into another year.
        {"UTC", 0, 0x0021, 0},
        {"UTC", -5000000000ll, 0x0021, 0},
        {"UTC", 4354819200, 0xFF9F, 0xBF7D},
        {"UTC", INT64_MAX, 0xFF9F, 0xBF7D},
        {"UTC-2", 1735732800, 0x5A21, 14 << 11},  // two hours east of UTC
    };
    for (const Case& c : cases) {
        ScopedZone zone(c.zone);
        uint16_t date = 1, time = 1;
        UnixTimeToDos(c.seconds, &date, &time);
        EXPECT_EQ(date, c.date) << c.seconds << " " << c.zone;
        EXPECT_EQ(time, c.time) << c.seconds << " " << c.zone;
    }
}

TEST(PlatformModule, PathOfTheLoadedObject) {
    char path[4096];
    ASSERT_TRUE(ModulePath(path, sizeof path));
    EXPECT_EQ(path[0], '/');
    struct stat st;
    EXPECT_EQ(stat(path, &st), 0) << path;
    char small[4];  // too small: no cut path, nothing at all
    EXPECT_FALSE(ModulePath(small, sizeof small));
    EXPECT_EQ(small[0], '\0');
}

}  // namespace
