#include "plist/Plist.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

namespace {

// Runs the body under each zone; UTC results must not depend on it.
const char* const kZones[] = {"UTC", "Europe/Warsaw", "Europe/Moscow", "Pacific/Apia", "America/New_York",
                              "Australia/Lord_Howe", "Asia/Kathmandu"};

class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone)
    {
        const char* old = std::getenv("TZ");
        hadOld_ = old != nullptr;
        if (hadOld_)
            old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard()
    {
        if (hadOld_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool hadOld_ = false;
    std::string old_;
};

struct SetCase {
    int month, day, year, hour, minute, second;
    int64_t expected;
    const char* text;
};

const SetCase kSetCases[] = {
    {1, 1, 2001, 0, 0, 0, 978307200, "2001-01-01T00:00:00Z"},
    {2, 30, 2021, 12, 0, 0, 1614686400, "2021-03-02T12:00:00Z"},
    {12, 31, 1969, 23, 59, 59, -1, "1969-12-31T23:59:59Z"},
    {1, 1, 1970, 0, 0, 0, 0, "1970-01-01T00:00:00Z"},
    {7, 20, 1969, 20, 17, 40, -14182940, "1969-07-20T20:17:40Z"},
    {1, 32, 2021, 0, 0, 0, 1612137600, "2021-02-01T00:00:00Z"},   // day 32 of January
    {13, 1, 2020, 0, 0, 0, 1609459200, "2021-01-01T00:00:00Z"},   // month 13
    {0, 1, 2021, 0, 0, 0, 1606780800, "2020-12-01T00:00:00Z"},    // month 0
    {3, 0, 2024, 0, 0, 0, 1709164800, "2024-02-29T00:00:00Z"},    // day 0 in a leap year
    {1, 1, 2021, 24, 0, 0, 1609545600, "2021-01-02T00:00:00Z"},   // hour 24
    {1, 1, 2021, 0, 0, -1, 1609459199, "2020-12-31T23:59:59Z"},   // second -1
    {3, 27, 2011, 2, 30, 0, 1301193000, "2011-03-27T02:30:00Z"},  // Moscow changed zone this day
    {12, 30, 2011, 12, 0, 0, 1325246400, "2011-12-30T12:00:00Z"}, // skipped day in Apia
    {1, 1, 0, 0, 0, 0, -62167219200, "0000-01-01T00:00:00Z"},
    {12, 31, 9999, 23, 59, 59, 253402300799, "9999-12-31T23:59:59Z"},
    {2, 29, 2000, 6, 7, 8, 951804428, "2000-02-29T06:07:08Z"},
    {2, 29, 1900, 0, 0, 0, -2203891200, "1900-03-01T00:00:00Z"}, // 1900 is no leap year
};

TEST(DateSet, UtcFieldsGiveTheSameValueUnderEveryZone)
{
    for (const char* zone : kZones) {
        ZoneGuard guard(zone);
        for (const SetCase& c : kSetCases) {
            SCOPED_TRACE(std::string(zone) + " " + c.text);
            Plist::Date date(c.month, c.day, c.year, c.hour, c.minute, c.second, true);
            EXPECT_EQ(date.unixTime(), c.expected);
            EXPECT_EQ(date.toXmlText(), c.text);
            Plist::Date parsed;
            parsed.fromXmlText(c.text);
            EXPECT_EQ(parsed.unixTime(), c.expected);
        }
    }
}

// Cross-check against the C library's UTC conversion over the whole
// supported range, a few thousand instants spread by a fixed sequence.
TEST(DateSet, AgreesWithGmtimeAcrossTheRange)
{
    const int64_t first = -62167219200;  // 0000-01-01
    const int64_t last = 253402300799;   // 9999-12-31T23:59:59
    uint64_t state = 12345;
    for (int i = 0; i < 5000; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const int64_t t = first + static_cast<int64_t>((state >> 11) % static_cast<uint64_t>(last - first + 1));
        const time_t tt = static_cast<time_t>(t);
        struct tm fields;
        ASSERT_NE(gmtime_r(&tt, &fields), nullptr);
        char expected[64];
        std::snprintf(expected, sizeof expected, "%04d-%02d-%02dT%02d:%02d:%02dZ", fields.tm_year + 1900,
                      fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
        Plist::Date date(fields.tm_mon + 1, fields.tm_mday, fields.tm_year + 1900, fields.tm_hour, fields.tm_min,
                         fields.tm_sec, true);
        ASSERT_EQ(date.unixTime(), t) << expected;
        ASSERT_EQ(date.toXmlText(), expected);
    }
}

TEST(DateSet, LocalFieldsFollowTheZone)
{
    struct Case {
        const char* zone;
        int month, day, year, hour, minute;
        int64_t expected;
    };
    const Case cases[] = {
        {"UTC", 1, 1, 2001, 0, 0, 978307200},
        {"Europe/Warsaw", 1, 1, 2001, 1, 0, 978307200}, // winter: UTC+1
        {"Europe/Warsaw", 7, 1, 2001, 2, 0, 993945600}, // summer: UTC+2
        {"America/New_York", 12, 31, 2000, 19, 0, 978307200},
        {"Asia/Kathmandu", 1, 1, 2001, 5, 45, 978307200}, // UTC+5:45
        {"Europe/Warsaw", 12, 31, 1969, 23, 59, -3660},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.zone);
        ZoneGuard guard(c.zone);
        Plist::Date date(c.month, c.day, c.year, c.hour, c.minute, 0, false);
        EXPECT_EQ(date.unixTime(), c.expected);
    }

    // The first and last second of the hour before and of the hour after
    // each daylight-saving change, against the C library's own reading of
    // local fields. The offset is the one each row must have, so that a row
    // never slips to the other side of its change; the hours that a change
    // skips or repeats name no single instant and are left out.
    struct Near {
        int month, day, year, hour, minute, second;
        long offset;
    };
    const Near rows[] = {
        {3, 25, 2001, 1, 0, 0, 3600},    {3, 25, 2001, 1, 59, 59, 3600},   // summer time from 02:00
        {3, 25, 2001, 3, 0, 0, 7200},    {3, 25, 2001, 3, 59, 59, 7200},
        {10, 28, 2001, 1, 0, 0, 7200},   {10, 28, 2001, 1, 59, 59, 7200},  // winter time from 03:00
        {10, 28, 2001, 3, 0, 0, 3600},   {10, 28, 2001, 3, 59, 59, 3600},
        {3, 31, 2024, 1, 0, 0, 3600},    {3, 31, 2024, 1, 59, 59, 3600},
        {3, 31, 2024, 3, 0, 0, 7200},    {3, 31, 2024, 3, 59, 59, 7200},
        {10, 27, 2024, 1, 0, 0, 7200},   {10, 27, 2024, 1, 59, 59, 7200},
        {10, 27, 2024, 3, 0, 0, 3600},   {10, 27, 2024, 3, 59, 59, 3600},
    };
    ZoneGuard warsaw("Europe/Warsaw");
    for (const Near& r : rows) {
        SCOPED_TRACE(std::to_string(r.year) + "-" + std::to_string(r.month) + "-" + std::to_string(r.day) + " " +
                     std::to_string(r.hour) + ":" + std::to_string(r.minute) + ":" + std::to_string(r.second));
        struct tm fields = {};
        fields.tm_year = r.year - 1900;
        fields.tm_mon = r.month - 1;
        fields.tm_mday = r.day;
        fields.tm_hour = r.hour;
        fields.tm_min = r.minute;
        fields.tm_sec = r.second;
        fields.tm_isdst = -1;
        const time_t expected = mktime(&fields);
        ASSERT_NE(expected, static_cast<time_t>(-1));
        ASSERT_EQ(fields.tm_gmtoff, r.offset) << "the zone data place this row elsewhere";
        ASSERT_EQ(fields.tm_hour, r.hour) << "a skipped hour";
        Plist::Date date(r.month, r.day, r.year, r.hour, r.minute, r.second, false);
        EXPECT_EQ(date.unixTime(), static_cast<int64_t>(expected));
    }
}

TEST(DateSet, OutOfRangeThrowsAndKeepsTheValue)
{
    struct Case {
        int month, day, year, hour, minute, second;
    };
    const Case cases[] = {
        {1, 1, 10000, 0, 0, 0},
        {1, 1, -1, 0, 0, 0},
        {12, 31, 9999, 23, 59, 60},
        {1, 1, 0, 0, 0, -1},
        {13, 1, 9999, 0, 0, 0},
        {1, 1, std::numeric_limits<int>::max(), 0, 0, 0},
        {std::numeric_limits<int>::min(), std::numeric_limits<int>::min(), std::numeric_limits<int>::min(),
         std::numeric_limits<int>::min(), std::numeric_limits<int>::min(), std::numeric_limits<int>::min()},
        {std::numeric_limits<int>::max(), std::numeric_limits<int>::max(), std::numeric_limits<int>::max(),
         std::numeric_limits<int>::max(), std::numeric_limits<int>::max(), std::numeric_limits<int>::max()},
    };
    for (bool utc : {true, false}) {
        for (const Case& c : cases) {
            Plist::Date date(1, 1, 2001, 0, 0, 0, true);
            try {
                date.set(c.month, c.day, c.year, c.hour, c.minute, c.second, utc);
                ADD_FAILURE() << "accepted year " << c.year << " month " << c.month;
            } catch (const Plist::Error& e) {
                EXPECT_STREQ(e.what(), "Plist::Date::set() date invalid");
            }
            EXPECT_EQ(date.unixTime(), 978307200);
        }
    }
}

TEST(DateText, IncompleteOrMalformedTextThrowsAndKeepsTheValue)
{
    const char* const texts[] = {
        "", "2001", "2001-01-01", "2001-01-01T", "2001-01-01T00:00", "2001-01-01T00:00Z", "garbage",
        "T00:00:00Z", "2001/01/01T00:00:00Z", "10000-01-01T00:00:00Z", "-001-01-01T00:00:00Z",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        Plist::Date date(1, 1, 2001, 0, 0, 0, true);
        try {
            date.fromXmlText(text);
            ADD_FAILURE() << "accepted, value " << date.unixTime();
        } catch (const Plist::Error& e) {
            EXPECT_STREQ(e.what(), "Plist::Date::set() date invalid");
        }
        EXPECT_EQ(date.unixTime(), 978307200);
    }
}

TEST(DateText, TrailingPartsAreIgnored)
{
    const struct {
        const char* text;
        int64_t expected;
    } cases[] = {
        {"2001-01-01T00:00:00Z", 978307200},
        {"2001-01-01T00:00:00", 978307200},
        {"2001-01-01T00:00:00.999Z", 978307200},
        {"2001-01-01T00:00:00+05:00", 978307200},
        {"1969-07-20T20:17:40Z", -14182940},
    };
    for (const auto& c : cases) {
        Plist::Date date;
        date.fromXmlText(c.text);
        EXPECT_EQ(date.unixTime(), c.expected) << c.text;
    }
}

// Rounded down to the whole second, before 1970 as after it:
// 1969-12-31T23:59:59.5 is the second of 1969-12-31T23:59:59 (-1).
TEST(DateReference, RoundsDownAndRefusesNonFinite)
{
    const struct {
        double seconds;
        int64_t expected;
    } cases[] = {
        {0.0, 978307200}, {-0.5, 978307199}, {0.9, 978307200}, {-1.9, 978307198},
        {-978307201.0, -1}, {1.5e9, 2478307200},
        {-978307200.5, -1}, {-978307200.001, -1}, {-978307201.9, -2}, {-978307199.5, 0},
        {-63145526400.0 + 0.5, -62167219200},
    };
    for (const auto& c : cases) {
        Plist::Date date;
        date.setFromReferenceSeconds(c.seconds);
        EXPECT_EQ(date.unixTime(), c.expected) << c.seconds;
        EXPECT_EQ(date.referenceSeconds(), static_cast<double>(c.expected - 978307200));
    }
    const double refused[] = {std::nan(""), std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(), 1e300, -1e300, 9.3e18, 2.6e11,
                              -63145526400.0 - 0.5};
    for (double seconds : refused) {
        Plist::Date date(1, 1, 2001, 0, 0, 0, true);
        EXPECT_THROW(date.setFromReferenceSeconds(seconds), Plist::Error) << seconds;
        EXPECT_EQ(date.unixTime(), 978307200);
    }
}

TEST(DateCompare, OrdersByValue)
{
    const Plist::Date early(1, 1, 1969, 0, 0, 0, true);
    const Plist::Date late(1, 1, 2001, 0, 0, 0, true);
    const Plist::Date lateAgain(1, 1, 2001, 0, 0, 0, true);
    EXPECT_EQ(early.compare(late), -1);
    EXPECT_EQ(late.compare(early), 1);
    EXPECT_EQ(late.compare(lateAgain), 0);
    EXPECT_TRUE(late == lateAgain);
    EXPECT_FALSE(early == late);
    EXPECT_TRUE(early < late);
    EXPECT_FALSE(late < early);
    EXPECT_TRUE(late > early);
    EXPECT_FALSE(late > lateAgain);
    EXPECT_EQ(late.secondsSince(early), 978307200 + 31536000);
    EXPECT_EQ(early.secondsSince(late), -(978307200 + 31536000));
}

TEST(DateNow, DefaultIsTheCurrentTime)
{
    const int64_t before = static_cast<int64_t>(time(nullptr));
    const Plist::Date now;
    const int64_t after = static_cast<int64_t>(time(nullptr));
    EXPECT_GE(now.unixTime(), before);
    EXPECT_LE(now.unixTime(), after);
}

} // namespace
