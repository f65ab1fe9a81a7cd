// The TIME values of --since and --until: every form read against a fixed
// "now" with TZ pinned, the values refused, and the window's edges to the
// millisecond. The expected moments come from timegm and mktime directly.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "GridRing.h"
#include "TimeSpec.h"

namespace {

// A zone 5:30 east of UTC with no summer time, so that local and UTC
// differ on every form.
const char kZone[] = "XXX-5:30";
const int64_t kZoneMs = (5 * 3600 + 30 * 60) * 1000LL;

int64_t utcMs(int y, int mo, int d, int h = 0, int mi = 0, int s = 0,
              int ms = 0) {
    struct tm t = {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    return int64_t(timegm(&t)) * 1000 + ms;
}

// Local time in kZone.
int64_t localMs(int y, int mo, int d, int h = 0, int mi = 0, int s = 0,
                int ms = 0) {
    return utcMs(y, mo, d, h, mi, s, ms) - kZoneMs;
}

const int64_t kSecond = 1000, kMinute = 60 * kSecond, kHour = 60 * kMinute,
              kDay = 24 * kHour, kWeek = 7 * kDay;

// Now: 2024-03-10 13:45:30.250 in kZone (08:15:30.250 UTC).
const int64_t kNow = localMs(2024, 3, 10, 13, 45, 30, 250);

struct Case {
    const char* text;
    int64_t local;  // the moment with local times
    int64_t utc;    // with --utc
};

TEST(TimeSpec, EveryFormNamesItsMoment) {
    ScopedTimeZone zone(kZone);
    ASSERT_EQ(kNow, utcMs(2024, 3, 10, 8, 15, 30, 250));
    const Case cases[] = {
        {"now", kNow, kNow},
        // Relative: the same either way.
        {"-1h", kNow - kHour, kNow - kHour},
        {"+1h", kNow + kHour, kNow + kHour},
        {"-1h30min", kNow - kHour - 30 * kMinute, kNow - kHour - 30 * kMinute},
        {"-1h 30min", kNow - 90 * kMinute, kNow - 90 * kMinute},
        {"-1 h 30 min", kNow - 90 * kMinute, kNow - 90 * kMinute},
        {"+2d", kNow + 2 * kDay, kNow + 2 * kDay},
        {"-1w2d3h4m5s", kNow - kWeek - 2 * kDay - 3 * kHour - 4 * kMinute -
                            5 * kSecond,
         kNow - kWeek - 2 * kDay - 3 * kHour - 4 * kMinute - 5 * kSecond},
        {"-90s", kNow - 90 * kSecond, kNow - 90 * kSecond},
        {"-90", kNow - 90 * kSecond, kNow - 90 * kSecond},
        {"-2sec", kNow - 2 * kSecond, kNow - 2 * kSecond},
        {"-3min", kNow - 3 * kMinute, kNow - 3 * kMinute},
        {"-3m", kNow - 3 * kMinute, kNow - 3 * kMinute},
        {"-2hour", kNow - 2 * kHour, kNow - 2 * kHour},
        {"-2 hours", kNow - 2 * kHour, kNow - 2 * kHour},
        {"-1day", kNow - kDay, kNow - kDay},
        {"+3 days", kNow + 3 * kDay, kNow + 3 * kDay},
        {"-1week", kNow - kWeek, kNow - kWeek},
        {"-2 weeks", kNow - 2 * kWeek, kNow - 2 * kWeek},
        {"-0s", kNow, kNow},
        {"10 min ago", kNow - 10 * kMinute, kNow - 10 * kMinute},
        {"10min ago", kNow - 10 * kMinute, kNow - 10 * kMinute},
        {"1h30min ago", kNow - 90 * kMinute, kNow - 90 * kMinute},
        {"2 hours ago", kNow - 2 * kHour, kNow - 2 * kHour},
        {"1 day ago", kNow - kDay, kNow - kDay},
        {"90 ago", kNow - 90 * kSecond, kNow - 90 * kSecond},
        // Since the epoch: the same either way; milliseconds kept.
        {"@0", 0, 0},
        {"@1704067200", utcMs(2024, 1, 1), utcMs(2024, 1, 1)},
        {"@1704067200.5", utcMs(2024, 1, 1) + 500, utcMs(2024, 1, 1) + 500},
        {"@1704067200.123456", utcMs(2024, 1, 1) + 123,
         utcMs(2024, 1, 1) + 123},
        // Days: midnight where the times are read.
        {"today", localMs(2024, 3, 10), utcMs(2024, 3, 10)},
        {"yesterday", localMs(2024, 3, 9), utcMs(2024, 3, 9)},
        {"tomorrow", localMs(2024, 3, 11), utcMs(2024, 3, 11)},
        // Times of today.
        {"13:00", localMs(2024, 3, 10, 13), utcMs(2024, 3, 10, 13)},
        {"9:05", localMs(2024, 3, 10, 9, 5), utcMs(2024, 3, 10, 9, 5)},
        {"09:05:07", localMs(2024, 3, 10, 9, 5, 7),
         utcMs(2024, 3, 10, 9, 5, 7)},
        {"23:59:59.999", localMs(2024, 3, 10, 23, 59, 59, 999),
         utcMs(2024, 3, 10, 23, 59, 59, 999)},
        {"0:00", localMs(2024, 3, 10), utcMs(2024, 3, 10)},
        {"12:00:00.5", localMs(2024, 3, 10, 12, 0, 0, 500),
         utcMs(2024, 3, 10, 12, 0, 0, 500)},
        // Dates and times.
        {"2024-02-29", localMs(2024, 2, 29), utcMs(2024, 2, 29)},
        {"2000-02-29", localMs(2000, 2, 29), utcMs(2000, 2, 29)},
        {"1969-12-31", localMs(1969, 12, 31), utcMs(1969, 12, 31)},
        {"2024-01-01 00:00", localMs(2024, 1, 1), utcMs(2024, 1, 1)},
        {"2024-12-31 23:59:59", localMs(2024, 12, 31, 23, 59, 59),
         utcMs(2024, 12, 31, 23, 59, 59)},
        {"2024-06-15 08:30:00.042", localMs(2024, 6, 15, 8, 30, 0, 42),
         utcMs(2024, 6, 15, 8, 30, 0, 42)},
        {"2024-06-15T08:30", localMs(2024, 6, 15, 8, 30),
         utcMs(2024, 6, 15, 8, 30)},
        // A zone given with the time is the zone, whatever else says.
        {"2024-06-15T08:30:00Z", utcMs(2024, 6, 15, 8, 30),
         utcMs(2024, 6, 15, 8, 30)},
        {"2024-06-15 08:30Z", utcMs(2024, 6, 15, 8, 30),
         utcMs(2024, 6, 15, 8, 30)},
        {"2024-06-15T08:30:00.123+01:00", utcMs(2024, 6, 15, 7, 30, 0, 123),
         utcMs(2024, 6, 15, 7, 30, 0, 123)},
        {"2024-06-15T08:30:00-03:30", utcMs(2024, 6, 15, 12, 0),
         utcMs(2024, 6, 15, 12, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TimeSpec spec;
        ASSERT_TRUE(parseTimeSpec(c.text, &spec));
        int64_t iMs = -1;
        ASSERT_TRUE(resolveTimeSpec(spec, kNow, false, &iMs));
        EXPECT_EQ(iMs, c.local);
        ASSERT_TRUE(resolveTimeSpec(spec, kNow, true, &iMs));
        EXPECT_EQ(iMs, c.utc);
    }
}

// Local days follow the local date: at 02:00 local it is still the
// previous day in UTC.
TEST(TimeSpec, DaysAreTheDatesOfTheirZone) {
    ScopedTimeZone zone(kZone);
    const int64_t now = localMs(2024, 3, 10, 2, 0);  // 2024-03-09 20:30 UTC
    struct {
        const char* text;
        int64_t local, utc;
    } cases[] = {
        {"today", localMs(2024, 3, 10), utcMs(2024, 3, 9)},
        {"yesterday", localMs(2024, 3, 9), utcMs(2024, 3, 8)},
        {"tomorrow", localMs(2024, 3, 11), utcMs(2024, 3, 10)},
        {"13:00", localMs(2024, 3, 10, 13), utcMs(2024, 3, 9, 13)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TimeSpec spec;
        ASSERT_TRUE(parseTimeSpec(c.text, &spec));
        int64_t iMs;
        ASSERT_TRUE(resolveTimeSpec(spec, now, false, &iMs));
        EXPECT_EQ(iMs, c.local);
        ASSERT_TRUE(resolveTimeSpec(spec, now, true, &iMs));
        EXPECT_EQ(iMs, c.utc);
    }
    // Month and year ends roll over.
    TimeSpec spec;
    ASSERT_TRUE(parseTimeSpec("tomorrow", &spec));
    int64_t iMs;
    ASSERT_TRUE(resolveTimeSpec(spec, localMs(2024, 12, 31, 12), false, &iMs));
    EXPECT_EQ(iMs, localMs(2025, 1, 1));
    ASSERT_TRUE(parseTimeSpec("yesterday", &spec));
    ASSERT_TRUE(resolveTimeSpec(spec, localMs(2024, 3, 1, 12), false, &iMs));
    EXPECT_EQ(iMs, localMs(2024, 2, 29));
}

// A zone with summer time: the offset of the date given, not of now.
TEST(TimeSpec, LocalTimesTakeTheOffsetOfTheirDate) {
    if (access("/usr/share/zoneinfo/Europe/Berlin", R_OK) != 0)
        GTEST_SKIP() << "no zone database";
    ScopedTimeZone zone("Europe/Berlin");
    TimeSpec spec;
    int64_t iMs;
    ASSERT_TRUE(parseTimeSpec("2024-01-15 12:00", &spec));
    ASSERT_TRUE(resolveTimeSpec(spec, kNow, false, &iMs));
    EXPECT_EQ(iMs, utcMs(2024, 1, 15, 11));
    ASSERT_TRUE(parseTimeSpec("2024-07-15 12:00", &spec));
    ASSERT_TRUE(resolveTimeSpec(spec, kNow, false, &iMs));
    EXPECT_EQ(iMs, utcMs(2024, 7, 15, 10));
    // The day summer time begins has 23 hours: tomorrow is 23 h after today.
    ASSERT_TRUE(parseTimeSpec("today", &spec));
    const int64_t now = utcMs(2024, 3, 31, 12);
    int64_t iToday, iTomorrow;
    ASSERT_TRUE(resolveTimeSpec(spec, now, false, &iToday));
    ASSERT_TRUE(parseTimeSpec("tomorrow", &spec));
    ASSERT_TRUE(resolveTimeSpec(spec, now, false, &iTomorrow));
    EXPECT_EQ(iToday, utcMs(2024, 3, 30, 23));
    EXPECT_EQ(iTomorrow - iToday, 23 * kHour);
}

TEST(TimeSpec, RefusesWhatIsNoTime) {
    const char* const bad[] = {
        "", " now", "now ", "Now", "NOW", "nowx", "today2", "yester day",
        // Dates.
        "2024-02-30", "2023-02-29", "1900-02-29", "2024-13-01", "2024-00-10",
        "2024-01-00", "2024-01-32", "2024-1-01", "2024-01-1", "24-01-01",
        "20240101", "2024/01/01", "2024-01-01 ", "2024-01-01x",
        "2024-01-01Z", "2024-01-01  12:00", "2024-01-01 12",
        "2024-01-01T", "2024-01-01 12:00:00.", "2024-01-01 12:00:00,5",
        "2024-01-01 12:00+5:30", "2024-01-01 12:00+05", "2024-01-01 12:00+0530",
        "2024-01-01 12:00 +05:30", "2024-01-01 12:00+24:00",
        "2024-01-01 12:00z", "2024-01-01 12:00ZZ",
        // Times of day.
        "24:00", "12:60", "12:00:60", "12", "12:5", "123:00", "12:000",
        "12:00:0", "-12:00", "12:00 ", "12:00Z", ":30", "1:2:3",
        // Spans.
        "-", "+", "-h", "- 1h", "-1x", "-1hx", "-1 hour ago", "+1h ago",
        "1h", "10 min", "ago", "1 ago ago", "10 minago", "-1H", "-1Hour",
        "-1.5h", "-1h-30min", "-1h,30min", "--1h", "-12345678901s",
        "-1y", "-1M", "-1 months",
        // Counts whose sum no 64-bit millisecond count holds.
        "-9999999999w9999999999w",
        // Since the epoch.
        "@", "@abc", "@1.", "@ 1", "@-1", "@1e9", "@1 ", "@1234567890123456",
    };
    for (const char* text : bad) {
        SCOPED_TRACE(std::string("[") + text + "]");
        TimeSpec spec;
        EXPECT_FALSE(parseTimeSpec(text, &spec));
    }
}

// A span whose sum fits, but not once added to now.
TEST(TimeSpec, AMomentBeyondTheRangeIsNotResolved) {
    TimeSpec spec;
    ASSERT_TRUE(parseTimeSpec("+9999999999w", &spec));
    int64_t iMs;
    EXPECT_FALSE(resolveTimeSpec(spec, INT64_MAX - 10, false, &iMs));
    EXPECT_TRUE(resolveTimeSpec(spec, kNow, false, &iMs));
}

// ---- The window ----------------------------------------------------------

KQLogRecord recordAt(int64_t iSecond, uint16_t nMillis, bool bValid = true) {
    KQLogRecord rec;
    rec.iSecond = iSecond;
    rec.nMillis = nMillis;
    rec.bTimeValid = bValid;
    return rec;
}

TEST(TimeWindow, HoldsItsEdgesToTheMillisecond) {
    const int64_t edge = utcMs(2024, 1, 1, 12, 0, 0, 500);
    const int64_t s = edge / 1000;  // the edge's second; .500 into it
    struct {
        KQLogRecord rec;
        bool inSince, inUntil;
    } cases[] = {
        {recordAt(s, 499), false, true},
        {recordAt(s, 500), true, true},
        {recordAt(s, 501), true, false},
        {recordAt(s - 1, 1500), true, true},   // carried: the edge itself
        {recordAt(s - 1, 1499), false, true},  // carried: a ms before
        {recordAt(s - 65, 65500), true, true}, // the largest field, carried
        {recordAt(s - 1, 65535), true, false},
        {recordAt(s + 1, 0), true, false},
        {recordAt(s - 1, 999), false, true},
    };
    TimeWindow since, until, both;
    since.setSince(edge);
    until.setUntil(edge);
    both.setSince(edge);
    both.setUntil(edge);
    EXPECT_TRUE(since.active());
    EXPECT_FALSE(since.hasUntil());
    EXPECT_TRUE(until.hasUntil());
    EXPECT_FALSE(TimeWindow().active());
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.rec.iSecond - s) + " s, " +
                     std::to_string(c.rec.nMillis) + " ms");
        EXPECT_EQ(since.contains(c.rec), c.inSince);
        EXPECT_EQ(until.contains(c.rec), c.inUntil);
        EXPECT_EQ(both.contains(c.rec), c.inSince && c.inUntil);
    }
}

TEST(TimeWindow, TimesBefore1970AreFloored) {
    TimeWindow window;
    window.setSince(-1500);  // 1969-12-31 23:59:58.500
    window.setUntil(-1);     // 23:59:59.999
    EXPECT_FALSE(window.contains(recordAt(-2, 499)));
    EXPECT_TRUE(window.contains(recordAt(-2, 500)));
    EXPECT_TRUE(window.contains(recordAt(-1, 999)));
    EXPECT_FALSE(window.contains(recordAt(0, 0)));
}

// A time local time cannot show is outside every window, even the widest.
TEST(TimeWindow, ATimeThatCannotBeShownIsOutside) {
    TimeWindow window;
    window.setSince(INT64_MIN);
    window.setUntil(INT64_MAX);
    EXPECT_TRUE(window.contains(recordAt(1704067200, 0)));
    EXPECT_FALSE(window.contains(recordAt(1704067200, 0, false)));
    EXPECT_FALSE(window.contains(recordAt(INT64_MAX, 65535, false)));
    TimeWindow sinceOnly;
    sinceOnly.setSince(INT64_MIN);
    EXPECT_FALSE(sinceOnly.contains(recordAt(0, 0, false)));
}

}  // namespace
