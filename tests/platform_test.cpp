// The POSIX platform layer: the INI reader/writer that stands in for the
// profile functions, file stamps, DOS dates, attribute mapping and 64-bit
// stream positions.
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

// Sets the local time zone for one test and puts the previous one back.
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
        if (had)
            setenv("TZ", saved.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
};

void SetMtime(const std::string& path, time_t seconds, long nanoseconds) {
    struct timespec times[2];
    times[0].tv_sec = seconds;
    times[0].tv_nsec = nanoseconds;
    times[1] = times[0];
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(IniRead, NamesIgnoreCaseAndBlanksAreTrimmed) {
    TempDir dir;
    std::string ini = dir / "a.ini";
    WriteText(ini,
              "Top=level\n"
              "; a comment\n"
              "  [ Configuration ]  \n"
              "  ExpandCE =  1  \n"
              "debugfile=\t/tmp/x.log \n"
              "ExpandCE=2\n"
              "Q=\"quoted value\"\n"
              "Half=\"open\n"
              "[English]\n"
              "CE_1=\\Program Files\n"
              "[CONFIGURATION]\n"
              "Later=yes\n");
    EXPECT_EQ(GetString(ini, "CONFIGURATION", "EXPANDCE"), "1");
    EXPECT_EQ(GetString(ini, "configuration", "DebugFile"), "/tmp/x.log");
    EXPECT_EQ(GetString(ini, "ENGLISH", "ce_1"), "\\Program Files");
    // The key belongs to its own section only.
    EXPECT_EQ(GetString(ini, "English", "ExpandCE"), "DEF");
    EXPECT_EQ(ProfileGetInt("Configuration", "expandce", 7, ini.c_str()), 1);  // the first one wins
    EXPECT_EQ(GetString(ini, "Configuration", "Later"), "yes");                // a repeated section counts
    EXPECT_EQ(GetString(ini, "Configuration", "Q"), "quoted value");
    EXPECT_EQ(GetString(ini, "Configuration", "Half"), "\"open");
    EXPECT_EQ(GetString(ini, "", "Top"), "level");  // keys before any section
    EXPECT_EQ(GetString(ini, "Configuration", "Top"), "DEF");
}

TEST(IniRead, AbsentThingsGiveTheDefault) {
    TempDir dir;
    std::string ini = dir / "a.ini";
    WriteText(ini,
              "[S]\n"
              "NoEquals\n"
              ";Commented=1\n"
              "Empty=\n");
    EXPECT_EQ(GetString(dir / "missing.ini", "S", "K"), "DEF");
    EXPECT_EQ(GetString(ini, "Other", "K"), "DEF");
    EXPECT_EQ(GetString(ini, "S", "K"), "DEF");
    EXPECT_EQ(GetString(ini, "S", "NoEquals"), "DEF");
    EXPECT_EQ(GetString(ini, "S", ";Commented"), "DEF");
    // A present, empty value is a value for strings...
    EXPECT_EQ(GetString(ini, "S", "Empty"), "");
    // ...but the default for integers.
    EXPECT_EQ(ProfileGetInt("S", "Empty", 5, ini.c_str()), 5);
    EXPECT_EQ(ProfileGetInt("S", "K", -2, ini.c_str()), -2);
    EXPECT_EQ(ProfileGetInt("S", "K", 1, (dir / "missing.ini").c_str()), 1);
    // Trailing blanks of a default are dropped; a directory is no file.
    EXPECT_EQ(GetString(ini, "S", "K", "abc  "), "abc");
    EXPECT_EQ(GetString(dir.path, "S", "K"), "DEF");
    EXPECT_EQ(GetString(ini, "S", "K", nullptr), "");
}

TEST(IniRead, ValuesAreCutToTheBuffer) {
    TempDir dir;
    std::string ini = dir / "a.ini";
    WriteText(ini, "[S]\nK=abcdefghij\n");
    EXPECT_EQ(GetString(ini, "S", "K", "", 5), "abcd");
    EXPECT_EQ(GetString(ini, "S", "K", "", 10), "abcdefghi");
    EXPECT_EQ(GetString(ini, "S", "K", "", 1), "");
    EXPECT_EQ(GetString(ini, "S", "Absent", "0123456789", 4), "012");
    // A long value far beyond any line buffer is read whole.
    std::string longValue(100000, 'v');
    WriteText(ini, "[S]\nK=" + longValue + "\n");
    EXPECT_EQ(GetString(ini, "S", "K", "", longValue.size() + 1), longValue);
}

TEST(IniRead, IntegersLikeTheProfileFunction) {
    TempDir dir;
    std::string ini = dir / "a.ini";
    WriteText(ini,
              "[S]\n"
              "One=1\n"
              "Spaced=  42  \n"
              "Neg=-3\n"
              "Plus=+5\n"
              "Tail=12abc\n"
              "Word=yes\n"
              "Zero=0\n"
              "Sign=-\n");
    auto get = [&](const char* key) { return ProfileGetInt("S", key, 99, ini.c_str()); };
    EXPECT_EQ(get("One"), 1);
    EXPECT_EQ(get("Spaced"), 42);
    EXPECT_EQ(get("Neg"), -3);
    EXPECT_EQ(get("Plus"), 5);
    EXPECT_EQ(get("Tail"), 12);
    EXPECT_EQ(get("Word"), 0);
    EXPECT_EQ(get("Zero"), 0);
    EXPECT_EQ(get("Sign"), 0);
}

TEST(IniRead, CrLfFilesReadTheSame) {
    TempDir dir;
    std::string ini = dir / "a.ini";
    WriteText(ini, "\xEF\xBB\xBF[S]\r\nK=value\r\nN=7\r\n[T]\r\nK=other");
    EXPECT_EQ(GetString(ini, "S", "K"), "value");
    EXPECT_EQ(ProfileGetInt("S", "N", 0, ini.c_str()), 7);
    EXPECT_EQ(GetString(ini, "T", "K"), "other");
}

TEST(IniWrite, CreatesAFileAndAppendsSectionsInOrder) {
    TempDir dir;
    std::string ini = dir / "new.ini";
    ASSERT_TRUE(ProfileWriteString("A", "One", "1", ini.c_str()));
    ASSERT_TRUE(ProfileWriteString("A", "Two", "", ini.c_str()));
    ASSERT_TRUE(ProfileWriteString("B", "Path", "\\Program Files", ini.c_str()));
    ASSERT_TRUE(ProfileWriteString("A", "Three", "3", ini.c_str()));
    EXPECT_EQ(ReadText(ini), "[A]\nOne=1\nTwo=\nThree=3\n[B]\nPath=\\Program Files\n");
    EXPECT_EQ(GetString(ini, "A", "Two"), "");
    EXPECT_EQ(GetString(ini, "b", "path"), "\\Program Files");
}

TEST(IniWrite, KeepsEveryOtherLine) {
    TempDir dir;
    std::string ini = dir / "a.ini";
    const std::string before =
        "; settings\n"
        "[CONFIGURATION]\n"
        "  expandce = 0   ; stays\n"
        "DebugFile=\n"
        "\n"
        "; about the next section\n"
        "[English]\n"
        "CE_1=\\Program Files\n"
        "\n"
        "[Other]\n"
        "X=1";
    WriteText(ini, before);
    // Replaced in place, under the name the file uses.
    ASSERT_TRUE(ProfileWriteString("Configuration", "ExpandCE", "1", ini.c_str()));
    // Added after the section's last entry, before the blank line and the
    // comment that belong to the next section.
    ASSERT_TRUE(ProfileWriteString("configuration", "Language", "English", ini.c_str()));
    // Added to the last section, which had no line end.
    ASSERT_TRUE(ProfileWriteString("OTHER", "Y", "2", ini.c_str()));
    EXPECT_EQ(ReadText(ini),
              "; settings\n"
              "[CONFIGURATION]\n"
              "expandce=1\n"
              "DebugFile=\n"
              "Language=English\n"
              "\n"
              "; about the next section\n"
              "[English]\n"
              "CE_1=\\Program Files\n"
              "\n"
              "[Other]\n"
              "X=1\n"
              "Y=2\n");
}

TEST(IniWrite, KeepsCrLfAndTheFilesMode) {
    TempDir dir;
    std::string ini = dir / "a.ini";
    WriteText(ini, "[S]\r\nK=old\r\n");
    ASSERT_EQ(chmod(ini.c_str(), 0640), 0);
    ASSERT_TRUE(ProfileWriteString("S", "K", "new", ini.c_str()));
    ASSERT_TRUE(ProfileWriteString("S", "L", "added", ini.c_str()));
    ASSERT_TRUE(ProfileWriteString("T", "M", "x", ini.c_str()));
    EXPECT_EQ(ReadText(ini), "[S]\r\nK=new\r\nL=added\r\n[T]\r\nM=x\r\n");
    struct stat st;
    ASSERT_EQ(stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(IniWrite, ValuesCannotInjectLinesAndBadTargetsFail) {
    TempDir dir;
    std::string ini = dir / "a.ini";
    ASSERT_TRUE(ProfileWriteString("S", "K", "one\n[Evil]\nX=1", ini.c_str()));
    EXPECT_EQ(ReadText(ini), "[S]\nK=one\n");
    EXPECT_FALSE(ProfileWriteString("S", "A=B", "1", ini.c_str()));
    EXPECT_FALSE(ProfileWriteString("S", "", "1", ini.c_str()));
    EXPECT_FALSE(ProfileWriteString("S]", "K", "1", ini.c_str()));
    EXPECT_FALSE(ProfileWriteString("S", "K", "1", (dir / "no/such/dir.ini").c_str()));
    EXPECT_FALSE(ProfileWriteString("S", "K", "1", dir.path.c_str()));
    EXPECT_EQ(ReadText(ini), "[S]\nK=one\n");
    ASSERT_EQ(chmod(ini.c_str(), 0444), 0);
    EXPECT_FALSE(ProfileWriteString("S", "K", "2", ini.c_str()));
    EXPECT_EQ(ReadText(ini), "[S]\nK=one\n");
}

TEST(IniWrite, WritesThroughALinkToItsTarget) {
    TempDir dir;
    std::string target = dir / "real.ini";
    std::string link = dir / "link.ini";
    WriteText(target, "[S]\nK=1\n");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_TRUE(ProfileWriteString("S", "K", "2", link.c_str()));
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadText(target), "[S]\nK=2\n");
}

TEST(PlatformFiles, WriteStampFollowsTheWriteTime) {
    TempDir dir;
    std::string file = dir / "f";
    uint8_t a[8], b[8], c[8];
    EXPECT_FALSE(FileWriteStamp((dir / "missing").c_str(), a));
    EXPECT_FALSE(FileWriteStamp(dir.path.c_str(), a));
    EXPECT_FALSE(FileWriteStamp("", a));
    WriteText(file, "x");
    SetMtime(file, 1700000000, 500);
    ASSERT_TRUE(FileWriteStamp(file.c_str(), a));
    ASSERT_TRUE(FileWriteStamp(file.c_str(), b));
    EXPECT_EQ(std::memcmp(a, b, 8), 0);
    // A change below one second still counts.
    SetMtime(file, 1700000000, 700);
    ASSERT_TRUE(FileWriteStamp(file.c_str(), c));
    EXPECT_NE(std::memcmp(a, c, 8), 0);
    // Even the first moment of 1970 is not the all-zero "never read" stamp.
    SetMtime(file, 0, 0);
    ASSERT_TRUE(FileWriteStamp(file.c_str(), c));
    const uint8_t zero[8] = {};
    EXPECT_NE(std::memcmp(zero, c, 8), 0);
}

TEST(PlatformFiles, ExclusiveCreation) {
    TempDir dir;
    std::string file = dir / "new";
    EXPECT_TRUE(CreateNewEmptyFile(file.c_str()));
    EXPECT_FALSE(CreateNewEmptyFile(file.c_str()));
    EXPECT_FALSE(CreateNewEmptyFile((dir / "no/dir").c_str()));
    EXPECT_EQ(OpenNewFile(file.c_str()), nullptr);
    std::FILE* f = OpenNewFile((dir / "other").c_str());
    ASSERT_NE(f, nullptr);
    std::fputs("a\nb", f);
    std::fclose(f);
    EXPECT_EQ(ReadText(dir / "other"), "a\nb");
}

TEST(PlatformFiles, PositionsBeyondFourGigabytes) {
    TempDir dir;
    std::string file = dir / "big";
    const uint64_t kSize = 5ull << 30;  // sparse: takes no space
    int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kSize)), 0);
    close(fd);
    std::FILE* f = std::fopen(file.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    uint64_t length = 0;
    ASSERT_TRUE(FileLength(f, &length));
    EXPECT_EQ(length, kSize);
    const uint64_t at = (4ull << 30) + 12345;
    ASSERT_TRUE(SeekFile(f, at));
    EXPECT_EQ(TellFile(f), at);
    std::fputc('Z', f);
    EXPECT_EQ(TellFile(f), at + 1);
    ASSERT_TRUE(SeekFile(f, kSize));
    std::fputc('!', f);  // still in the stream's buffer, yet part of the length
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
    std::string plain = dir / "plain.txt";
    std::string hidden = dir / ".hidden";
    std::string readOnly = dir / "ro.txt";
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
    ASSERT_TRUE(FindFile(hidden.c_str(), &d));
    EXPECT_EQ(d.attributes, 0x22u);
    ASSERT_TRUE(FindFile(readOnly.c_str(), &d));
    EXPECT_EQ(d.attributes, 0x21u);
    ASSERT_TRUE(FindFile(dir.path.c_str(), &d));
    EXPECT_EQ(d.attributes, 0x10u);
    EXPECT_EQ(d.size, 0u);
    ASSERT_TRUE(FindFile((dir.path + "/.").c_str(), &d));
    EXPECT_EQ(d.attributes, 0x10u);
    EXPECT_FALSE(FindFile((dir / "missing").c_str(), &d));
}

TEST(PlatformTime, DosDateAndTime) {
    ScopedZone utc("UTC");
    uint16_t date = 0, time = 0;
    UnixTimeToDos(1735732801, &date, &time);  // 2025-01-01 12:00:01: two-second steps
    EXPECT_EQ(date, 0x5A21);
    EXPECT_EQ(time, 0x6000);
    UnixTimeToDos(315532800, &date, &time);  // 1980-01-01 00:00:00, the first DOS moment
    EXPECT_EQ(date, 0x0021);
    EXPECT_EQ(time, 0);
    UnixTimeToDos(951782399, &date, &time);  // 2000-02-28 23:59:59
    EXPECT_EQ(date, (20 << 9) | (2 << 5) | 28);
    EXPECT_EQ(time, (23 << 11) | (59 << 5) | 29);
    UnixTimeToDos(4354819199, &date, &time);  // 2107-12-31 23:59:59, the last one
    EXPECT_EQ(date, 0xFF9F);
    EXPECT_EQ(time, 0xBF7D);
    // Out of range: clamped, never wrapped into another year.
    UnixTimeToDos(0, &date, &time);
    EXPECT_EQ(date, 0x0021);
    EXPECT_EQ(time, 0);
    UnixTimeToDos(-5000000000ll, &date, &time);
    EXPECT_EQ(date, 0x0021);
    UnixTimeToDos(4354819200, &date, &time);  // 2108-01-01
    EXPECT_EQ(date, 0xFF9F);
    EXPECT_EQ(time, 0xBF7D);
    UnixTimeToDos(INT64_MAX, &date, &time);
    EXPECT_EQ(date, 0xFF9F);
}

TEST(PlatformTime, DosTimeIsLocal) {
    ScopedZone east("UTC-2");  // two hours east of UTC
    uint16_t date = 0, time = 0;
    UnixTimeToDos(1735732800, &date, &time);
    EXPECT_EQ(date, 0x5A21);
    EXPECT_EQ(time, 14 << 11);
}

TEST(PlatformFiles, MakeDirectoryAndReplaceFile) {
    TempDir dir;
    std::string sub = dir / "sub";
    EXPECT_TRUE(MakeDirectory(sub.c_str()));
    EXPECT_TRUE(MakeDirectory(sub.c_str()));  // already there counts
    WriteText(dir / "file", "old");
    EXPECT_FALSE(MakeDirectory((dir / "file").c_str()));
    EXPECT_FALSE(MakeDirectory((dir / "a/b").c_str()));
    WriteText(dir / "from", "new");
    EXPECT_TRUE(ReplaceFile((dir / "from").c_str(), (dir / "file").c_str()));
    EXPECT_EQ(ReadText(dir / "file"), "new");
    EXPECT_FALSE(fixture::FileExists(dir / "from"));
}

TEST(PlatformModule, PathOfTheLoadedObject) {
    char path[4096];
    ASSERT_TRUE(ModulePath(path, sizeof path));
    EXPECT_EQ(path[0], '/');
    struct stat st;
    EXPECT_EQ(stat(path, &st), 0) << path;
    // Too small a buffer: no cut path, nothing at all.
    char small[4];
    EXPECT_FALSE(ModulePath(small, sizeof small));
    EXPECT_EQ(small[0], '\0');
}

}  // namespace
