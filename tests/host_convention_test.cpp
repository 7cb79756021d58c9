// The POSIX host's conventions: DOS local time to Unix seconds, Unix modes,
// names between the cabinet's encodings and UTF-8, and stamping extracted
// files with their stored date, time and read-only bit.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/host.h"
#include "tests/fixture.h"

using namespace mirad::platform;

namespace {

// Runs the test body in a fixed time zone and restores the caller's.
class TimeZone {
public:
    explicit TimeZone(const char* zone) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TimeZone() {
        if (had_) setenv("TZ", old_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

constexpr uint16_t Date(int y, int m, int d) { return static_cast<uint16_t>(((y - 1980) << 9) | (m << 5) | d); }
constexpr uint16_t Time(int h, int m, int s) { return static_cast<uint16_t>((h << 11) | (m << 5) | (s / 2)); }

}  // namespace

TEST(HostConvention, DosLocalTimeToUnixSeconds) {
    struct Case {
        const char* zone;
        uint16_t date, time;
        bool valid;
        int64_t seconds;
    } cases[] = {
        {"UTC0", Date(1999, 5, 10), Time(16, 7, 34), true, 926352454},
        {"UTC0", Date(1980, 1, 1), Time(0, 0, 0), true, 315532800},
        {"UTC0", Date(2000, 2, 29), Time(23, 59, 58), true, 951868798},
        // Stored local time: five hours west of UTC is five hours later in UTC.
        {"EST5", Date(1998, 3, 16), Time(17, 51, 2), true, 890070662 + 5 * 3600},
        {"UTC0", 0, 0, false, 0},                                  // month 0, day 0
        {"UTC0", Date(1999, 2, 29), Time(12, 0, 0), false, 0},     // no leap year
        {"UTC0", Date(1999, 4, 31), Time(12, 0, 0), false, 0},     // April has 30 days
        {"UTC0", Date(1999, 13, 1), Time(12, 0, 0), false, 0},
        {"UTC0", Date(1999, 1, 1), static_cast<uint16_t>(24 << 11), false, 0},
        {"UTC0", Date(1999, 1, 1), static_cast<uint16_t>(60 << 5), false, 0},
        {"UTC0", Date(1999, 1, 1), static_cast<uint16_t>(30), false, 0},  // second 60
    };
    for (const Case& c : cases) {
        TimeZone zone(c.zone);
        int64_t seconds = -1;
        SCOPED_TRACE(std::to_string(c.date) + " " + std::to_string(c.time));
        ASSERT_EQ(DosToUnixTime(c.date, c.time, &seconds), c.valid);
        if (c.valid) {
            EXPECT_EQ(seconds, c.seconds);
        }
        EXPECT_EQ(HostFileTime(c.date, c.time), c.valid ? static_cast<int32_t>(c.seconds) : 0);
    }
    TimeZone utc("UTC0");
    EXPECT_EQ(HostFileTime(Date(2107, 12, 31), Time(23, 59, 58)), INT32_MAX);  // past the 32-bit field
}

// Converting many times in a row (as listing does) agrees with the C
// library's own conversion on the days the clocks change, minute by minute:
// through the hour that is skipped and the one that comes twice.
TEST(HostConvention, DosLocalTimesAcrossClockChanges) {
    struct Case {
        const char* zone;
        uint16_t date;
    } cases[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", Date(2024, 3, 31)},
        {"CET-1CEST,M3.5.0,M10.5.0/3", Date(2024, 10, 27)},
        {"EST5EDT,M3.2.0,M11.1.0", Date(2024, 3, 10)},
        {"EST5EDT,M3.2.0,M11.1.0", Date(2024, 11, 3)},
        // Clocks that change in the middle of an hour.
        {"XST-1XDT,M3.5.0/2:30,M10.5.0/3:30", Date(2024, 3, 31)},
        {"XST-1XDT,M3.5.0/2:30,M10.5.0/3:30", Date(2024, 10, 27)},
    };
    for (const Case& c : cases) {
        TimeZone zone(c.zone);
        for (int minute = 0; minute < 24 * 60; minute += 3) {
            const int second = minute % 30 * 2;  // DOS keeps even seconds
            const uint16_t time = Time(minute / 60, minute % 60, second);
            SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(minute / 60) + ":" + std::to_string(minute % 60));
            int64_t seconds = 0;
            ASSERT_TRUE(DosToUnixTime(c.date, time, &seconds));
            struct tm t = {};
            t.tm_year = 2024 - 1900;
            t.tm_mon = ((c.date >> 5) & 0x0F) - 1;
            t.tm_mday = c.date & 0x1F;
            t.tm_hour = minute / 60;
            t.tm_min = minute % 60;
            t.tm_sec = second;
            t.tm_isdst = -1;
            const struct tm wanted = t;
            const time_t expected = std::mktime(&t);
            if (seconds == static_cast<int64_t>(expected)) continue;
            // A time that comes twice may be either: both must read back as it.
            for (time_t v : {static_cast<time_t>(seconds), expected}) {
                struct tm back;
                ASSERT_TRUE(localtime_r(&v, &back));
                EXPECT_EQ(back.tm_hour * 3600 + back.tm_min * 60 + back.tm_sec,
                          wanted.tm_hour * 3600 + wanted.tm_min * 60 + wanted.tm_sec)
                    << seconds << " against " << expected;
            }
        }
    }
    // The same local time in another zone is another moment.
    int64_t utc = 0, est = 0;
    {
        TimeZone zone("UTC0");
        ASSERT_TRUE(DosToUnixTime(Date(2024, 6, 1), Time(12, 0, 0), &utc));
    }
    {
        TimeZone zone("EST5");
        ASSERT_TRUE(DosToUnixTime(Date(2024, 6, 1), Time(12, 0, 0), &est));
    }
    EXPECT_EQ(est - utc, 5 * 3600);
}

TEST(HostConvention, ModesAndSeparator) {
    EXPECT_EQ(HostSeparator(), '/');
    EXPECT_EQ(HostAttributes(0x20), 0100644);
    EXPECT_EQ(HostAttributes(0x00), 0100644);
    EXPECT_EQ(HostAttributes(0x21), 0100444);
    EXPECT_EQ(HostAttributes(0xA7), 0100444);  // hidden, system and the UTF-8 flag have no mode bit
}

TEST(HostConvention, NamesToUtf8) {
    struct Case {
        const char* stored;
        bool utf8;
        uint32_t codePage;
        const char* host;
    } cases[] = {
        {"dir\\plain.txt", false, 1252, "dir\\plain.txt"},
        {"caf\xE9.txt", false, 1252, "caf\xC3\xA9.txt"},
        {"\x80 \x9F", false, 1252, "\xE2\x82\xAC \xC5\xB8"},  // euro sign, Y with diaeresis
        {"caf\xC3\xA9.txt", true, 1252, "caf\xC3\xA9.txt"},
        // Unflagged UTF-8 bytes are code-page text, whatever they look like.
        {"caf\xC3\xA9", false, 1252, "caf\xC3\x83\xC2\xA9"},
        // A flag set on bytes that are no UTF-8 is not believed.
        {"caf\xE9", true, 1252, "caf\xC3\xA9"},
        {"\xC0\xE1", false, 1251, "\xD0\x90\xD0\xB1"},  // Cyrillic A, be
        {"a\x81z", false, 1252, "a_z"},                // a byte the code page leaves undefined
        {"caf\xE9", false, 99999, "caf\xC3\xA9"},       // an unknown code page reads as 1252
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StoredNameToHost(c.stored, c.utf8, c.codePage), c.host) << c.stored;
    }

    bool utf8 = true;
    EXPECT_EQ(HostNameToStored("Game/Data/a.txt", &utf8), "Game/Data/a.txt");
    EXPECT_FALSE(utf8);
    EXPECT_EQ(HostNameToStored("caf\xC3\xA9.txt", &utf8), "caf\xC3\xA9.txt");
    EXPECT_TRUE(utf8);
    EXPECT_EQ(HostNameToStored("caf\xE9.txt", &utf8), "caf\xE9.txt");  // not UTF-8: stored as it is
    EXPECT_FALSE(utf8);
}

TEST(HostConvention, StampedFilesKeepStoredTimeAndReadOnlyBit) {
    fixture::TempDir dir;
    const uint16_t date = Date(1998, 3, 16), time = Time(17, 51, 2);
    int64_t expected = 0;
    ASSERT_TRUE(DosToUnixTime(date, time, &expected));

    struct Case {
        const char* name;
        uint16_t attribs;
        bool byStream;
        bool writable;
    } cases[] = {
        {"archive.bin", 0x20, false, true},
        {"readonly.bin", 0x21, false, false},
        {"stream-ro.bin", 0x01, true, false},
        {"stream.bin", 0x22, true, true},
    };
    for (const Case& c : cases) {
        std::string path = dir / c.name;
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("bytes still in the buffer", f);
        if (c.byStream) {
            EXPECT_TRUE(StampFile(f, date, time, c.attribs)) << c.name;
            std::fclose(f);
        } else {
            std::fclose(f);
            EXPECT_TRUE(StampFile(path.c_str(), date, time, c.attribs)) << c.name;
        }
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(static_cast<int64_t>(st.st_mtime), expected) << c.name;
        EXPECT_EQ((st.st_mode & 0222) != 0, c.writable) << c.name;
        EXPECT_EQ(st.st_size, 25) << c.name;
    }

    // Only the date for entries that stand for no stored file; a date that is
    // no date leaves the time alone; a link is never followed.
    std::string plain = dir / "plain.txt";
    fixture::WriteFile(plain, fixture::BytesOf("x"));
    EXPECT_TRUE(StampFileTime(plain.c_str(), date, time));
    struct stat st;
    ASSERT_EQ(stat(plain.c_str(), &st), 0);
    EXPECT_EQ(static_cast<int64_t>(st.st_mtime), expected);
    EXPECT_NE(st.st_mode & 0200, 0u);
    std::string fresh = dir / "fresh.txt";
    fixture::WriteFile(fresh, fixture::BytesOf("x"));
    EXPECT_TRUE(StampFile(fresh.c_str(), 0, 0, 0x20));
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_GT(static_cast<int64_t>(st.st_mtime), expected);
    std::string link = dir / "link";
    ASSERT_EQ(symlink(fresh.c_str(), link.c_str()), 0);
    EXPECT_FALSE(StampFile(link.c_str(), date, time, 0x21));
    EXPECT_FALSE(StampFile(link.c_str(), date, time, 0x20));
    EXPECT_FALSE(StampFileTime(link.c_str(), date, time));
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0200, 0u);
    EXPECT_GT(static_cast<int64_t>(st.st_mtime), expected);  // the target keeps its own time
}
