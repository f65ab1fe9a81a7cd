// Black-box tests of kqlogreader's finding options: --since and --until in
// every TIME form (relative ones against records placed around now), the
// window's edges to the millisecond, --grep with smart case and texts that
// are not UTF-8, --color on a pseudo-terminal and on a pipe, --utc under
// another TZ, --output short-iso, the bad values, and all of them with
// --tag, --level, --lines, --file and following. The tool runs as a child
// process on real segments under /var/run/ with TZ pinned; stdout and
// stderr are compared byte for byte.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "GridRing.h"
#include "ReaderToolText.h"
#include "TestSegment.h"
#include "ToolRunner.h"

namespace {

const std::string kTool = KQLOGREADER_PATH;
const std::string kUsage = kTool + kReaderUsageText;
// 5:30 east of UTC, no summer time: local and UTC differ on every time.
const char kZone[] = "XXX-5:30";
const std::string kZoneEnv = std::string("TZ=") + kZone;
const int64_t kMinute = 60 * 1000, kHour = 60 * kMinute, kDay = 24 * kHour;
// 2024-01-01 00:00:00 UTC.
const int64_t kNewYear2024 = 1704067200;

std::vector<std::string> concat(std::vector<std::string> a,
                                const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void expectRun(const std::vector<std::string>& args, const std::string& out,
               const std::string& err,
               const std::vector<std::string>& env = {kZoneEnv}) {
    ToolResult r = runTool(kTool, args, env);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.termSignal, 0);
}

// ---- A segment of records at given times -----------------------------------

struct Placed {
    std::string text;  // unique, ending in a line feed
    int64_t ms;        // since the epoch
};

// A segment whose records lie at the given moments, appended in the order
// given (not necessarily the order of their times), and the short line the
// tool prints for each, read from one unfiltered run.
class PlacedLog {
public:
    PlacedLog(const std::vector<Placed>& records, int64_t startSecond)
        : m_seg(1 << 16, "/var/run"), m_records(records) {
        if (!m_seg.ok()) return;
        m_seg.setTag(0, "clk");
        m_seg.head()->starttime = startSecond;
        for (const Placed& p : records) {
            int64_t delta = p.ms - startSecond * 1000;
            m_seg.appendNode(p.text, 0, 2, uint32_t(delta / 1000),
                             uint16_t(delta % 1000));
        }
        ToolResult r = runTool(kTool, {"-p", name(), "-d"}, {kZoneEnv});
        std::vector<std::string> lines = splitLines(r.out);
        if (lines.size() != records.size() + 1) return;
        for (size_t i = 0; i < records.size(); ++i)
            m_lines[records[i].text] = lines[i + 1] + "\n";
    }
    bool ok() const { return m_lines.size() == m_records.size(); }
    std::string name() const { return m_seg.serviceName(); }
    const std::string& path() const { return m_seg.path(); }

    // What -d prints of the records whose time passes the test, in ring
    // order, after the banner.
    template <class Pred>
    std::string expected(Pred pass) const {
        std::string out = banner(m_seg.path());
        for (const Placed& p : m_records)
            if (pass(p.ms)) out += m_lines.at(p.text);
        return out;
    }

private:
    TestSegment m_seg;
    std::vector<Placed> m_records;
    std::map<std::string, std::string> m_lines;
};

int64_t wallMs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Local midnight (in the zone the caller pinned) of the day iDays after the
// day of iMs.
int64_t localMidnight(int64_t iMs, int iDays) {
    time_t t = time_t(iMs / 1000);
    struct tm tmLocal;
    localtime_r(&t, &tmLocal);
    tmLocal.tm_hour = tmLocal.tm_min = tmLocal.tm_sec = 0;
    tmLocal.tm_mday += iDays;
    tmLocal.tm_isdst = -1;
    return int64_t(mktime(&tmLocal)) * 1000;
}

// "YYYY-MM-DD" of iMs in local time, and with cSep and "hh:mm:ss" after it.
std::string localDate(int64_t iMs, char cSep = 0) {
    time_t t = time_t(iMs / 1000);
    struct tm tm;
    localtime_r(&t, &tm);
    char buf[64];
    int n = snprintf(buf, sizeof(buf), "%04d-%02d-%02d", tm.tm_year + 1900,
                     tm.tm_mon + 1, tm.tm_mday);
    if (cSep)
        snprintf(buf + n, sizeof(buf) - size_t(n), "%c%02d:%02d:%02d", cSep,
                 tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

class FindingTest : public VarRunTest {};

// ---- --since and --until: every TIME form ---------------------------------

// Relative forms against records placed a minute either side of each
// moment they name, so that the moment the tool calls now (a little after
// the test's) finds the same records.
TEST_F(FindingTest, RelativeTimesAroundNow) {
    ScopedTimeZone zone(kZone);
    const int64_t now = wallMs();
    struct Form {
        const char* text;
        int64_t offset;
    } forms[] = {
        {"now", 0},
        {"-600s", -10 * kMinute},      {"-10min", -10 * kMinute},
        {"-10m", -10 * kMinute},       {"10 min ago", -10 * kMinute},
        {"600 sec ago", -10 * kMinute}, {"-1h", -kHour},
        {"-1hour", -kHour},            {"1 hour ago", -kHour},
        {"-60min", -kHour},            {"-1h30min", -90 * kMinute},
        {"-1h 30m", -90 * kMinute},    {"1h30min ago", -90 * kMinute},
        {"-2h", -2 * kHour},           {"2 hours ago", -2 * kHour},
        {"+1h", kHour},                {"+60m", kHour},
        {"-3d", -3 * kDay},            {"-3 days", -3 * kDay},
        {"3 days ago", -3 * kDay},     {"-72h", -3 * kDay},
        {"+2d", 2 * kDay},             {"+2day", 2 * kDay},
        {"+48h", 2 * kDay},            {"-1w", -7 * kDay},
        {"-1week", -7 * kDay},         {"1 week ago", -7 * kDay},
        {"-7d", -7 * kDay},
    };
    // A minute either side of every moment; appended newest first, so that
    // the ring's order is not the order of time.
    std::vector<int64_t> offsets;
    for (const Form& f : forms) offsets.push_back(f.offset);
    std::sort(offsets.begin(), offsets.end());
    offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
    std::vector<Placed> records;
    for (auto it = offsets.rbegin(); it != offsets.rend(); ++it) {
        records.push_back({"after " + std::to_string(*it / kMinute) + " min\n",
                           now + *it + kMinute});
        records.push_back({"before " + std::to_string(*it / kMinute) +
                               " min\n",
                           now + *it - kMinute});
    }
    PlacedLog log(records, now / 1000 - 8 * 86400);
    ASSERT_TRUE(log.ok());
    for (const Form& f : forms) {
        SCOPED_TRACE(f.text);
        const int64_t bound = now + f.offset;
        expectRun({"-p", log.name(), "-d", "--since", f.text},
                  log.expected([&](int64_t t) { return t >= bound; }), "");
        expectRun({"-p", log.name(), "-d", "--until", f.text},
                  log.expected([&](int64_t t) { return t <= bound; }), "");
    }
    // Both ends, in either order on the command line.
    auto between = [&](int64_t t) {
        return t >= now - 2 * kHour && t <= now - 10 * kMinute;
    };
    expectRun({"-p", log.name(), "-d", "--since", "-2h", "--until", "-10min"},
              log.expected(between), "");
    expectRun({"-p", log.name(), "-d", "--until", "10 min ago", "--since",
               "2 hours ago"},
              log.expected(between), "");
    ASSERT_LT(wallMs() - now, 50 * 1000) << "too slow for the minute margin";
}

// Days, times of day, dates and seconds since the epoch: records a
// millisecond either side of each moment, in the pinned zone.
TEST_F(FindingTest, DaysDatesAndClockTimes) {
    ScopedTimeZone zone(kZone);
    // Not within a minute of midnight: "today" must stay today.
    int64_t untilMidnight = localMidnight(wallMs(), 1) - wallMs();
    if (untilMidnight < kMinute) usleep(useconds_t(untilMidnight + 1000) * 1000);
    const int64_t now = wallMs();
    const int64_t today = localMidnight(now, 0);
    const int64_t yesterday = localMidnight(now, -1);
    const int64_t tomorrow = localMidnight(now, 1);
    const int64_t clock = today + 13 * kHour + 30 * kMinute;  // 13:30 today
    const int64_t epoch = today + 6 * kHour + 250;            // 06:00:00.250
    const std::string date = localDate(now);
    const std::string epochText =
        "@" + std::to_string(epoch / 1000) + ".250";
    struct Form {
        std::string text;
        int64_t bound;
    } forms[] = {
        {"today", today},
        {"yesterday", yesterday},
        {"tomorrow", tomorrow},
        {"13:30", clock},
        {"13:30:00", clock},
        {"13:30:00.000", clock},
        {"13:29:59.999", clock - 1},
        {"13:30:00.001", clock + 1},
        {date, today},
        {date + " 00:00", today},
        {date + " 13:30", clock},
        {date + "T13:30:00.000", clock},
        {date + " 13:29:59.999", clock - 1},
        {localDate(clock, 'T') + ".000+05:30", clock},
        {localDate(clock - 5 * kHour - 30 * kMinute, 'T') + ".000Z", clock},
        {epochText, epoch},
        {"@" + std::to_string(epoch / 1000), epoch - 250},
    };
    std::vector<Placed> records;
    int n = 0;
    for (int64_t t : {tomorrow, clock, yesterday, epoch, today}) {
        for (int64_t d : {1, 0, -1}) {
            records.push_back({"r" + std::to_string(n++) + "\n", t + d});
        }
    }
    records.push_back({"epoch whole second\n", epoch - 250});
    PlacedLog log(records, yesterday / 1000 - 86400);
    ASSERT_TRUE(log.ok());
    for (const Form& f : forms) {
        SCOPED_TRACE(f.text);
        expectRun({"-p", log.name(), "-d", "--since", f.text},
                  log.expected([&](int64_t t) { return t >= f.bound; }), "");
        expectRun({"-p", log.name(), "-d", "--until", f.text},
                  log.expected([&](int64_t t) { return t <= f.bound; }), "");
    }
    // One day, whole: from its midnight to the last millisecond before the
    // next.
    expectRun({"-p", log.name(), "-d", "--since", "yesterday", "--until",
               localDate(today - 1000, ' ') + ".999"},
              log.expected([&](int64_t t) {
                  return t >= yesterday && t < today;
              }),
              "");
    if (localMidnight(wallMs(), 0) != today)
        GTEST_SKIP() << "the day changed while the test ran";
}

// The edges hold to the millisecond, a stored millisecond field of 1000 or
// more counting as carried into the seconds; every form of the same moment
// finds the same records.
TEST_F(FindingTest, WindowEdgesToTheMillisecond) {
    TestSegment seg(8192, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "t");
    seg.head()->starttime = kNewYear2024;
    // The edge: 00:30:00.500 UTC, 06:00:00.500 in the pinned zone.
    struct Rec {
        const char* text;
        uint32_t sec;
        uint16_t ms;
        bool since, until;  // inside --since EDGE, --until EDGE
    } recs[] = {
        {"a ms before\n", 1800, 499, false, true},
        {"the edge\n", 1800, 500, true, true},
        {"a ms after\n", 1800, 501, true, false},
        {"carried to the edge\n", 1799, 1500, true, true},
        {"carried to a ms before\n", 1799, 1499, false, true},
        {"carried to a ms after\n", 1799, 1501, true, false},
        {"carried far to the edge\n", 1735, 65500, true, true},
        {"carried far past\n", 1800, 65535, true, false},
        {"a second before\n", 1799, 500, false, true},
    };
    for (const Rec& r : recs) seg.appendNode(r.text, 0, 2, r.sec, r.ms);
    // The lines in the pinned zone (05:30 ahead): the second as stored,
    // the millisecond field as stored.
    auto lines = [&](int which) {  // 0: since, 1: until, 2: both
        std::string s = banner(seg.path());
        for (const Rec& r : recs) {
            bool in = which == 0 ? r.since : which == 1 ? r.until
                                                         : r.since && r.until;
            if (!in) continue;
            unsigned local = 5 * 3600 + 30 * 60 + r.sec;
            char stamp[64];
            snprintf(stamp, sizeof(stamp), "[INFO  t 01-01 %02u:%02u:%02u %04u] ",
                     local / 3600, local / 60 % 60, local % 60, unsigned(r.ms));
            s += stamp + std::string(r.text);
        }
        return s;
    };
    const char* const edges[] = {
        "2024-01-01 06:00:00.500",     "2024-01-01T06:00:00.5",
        "2024-01-01T06:00:00.500999",  "@1704069000.500",
        "@1704069000.5009",            "2024-01-01T00:30:00.500Z",
        "2024-01-01T01:30:00.500+01:00",
    };
    for (const char* e : edges) {
        SCOPED_TRACE(e);
        expectRun({"-p", seg.serviceName(), "-d", "--since", e}, lines(0), "");
        expectRun({"-p", seg.serviceName(), "-d", "--until", e}, lines(1), "");
        expectRun({"-p", seg.serviceName(), "-d", "--since", e, "--until", e},
                  lines(2), "");
    }
    // In UTC, the same records, shown in UTC.
    ToolResult utc = runTool(kTool, {"-p", seg.serviceName(), "-d", "--since",
                                     "2024-01-01 00:30:00.500", "--until",
                                     "2024-01-01 00:30:00.500", "--utc"},
                             {kZoneEnv});
    EXPECT_EQ(utc.out, banner(seg.path()) +
                           "[INFO  t 01-01 00:30:00 0500] the edge\n"
                           "[INFO  t 01-01 00:29:59 1500] carried to the edge\n"
                           "[INFO  t 01-01 00:28:55 65500] carried far to the "
                           "edge\n");
    // The same records printed as they are without the window, a first
    // check of the stamps computed above.
    ToolResult all = runTool(kTool, {"-p", seg.serviceName(), "-d"}, {kZoneEnv});
    EXPECT_NE(all.out.find("[INFO  t 01-01 06:00:00 0500] the edge\n"),
              std::string::npos);
    EXPECT_NE(all.out.find("[INFO  t 01-01 05:58:55 65500] carried far to "
                           "the edge\n"),
              std::string::npos);
}

// Clocks go back: a window tests every record, and a record past --until
// ends nothing. A time local time cannot show lies outside every window.
TEST_F(FindingTest, EveryRecordIsTestedAndUnshowableTimesAreOutside) {
    TestSegment seg(4096, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "t");
    const unsigned secs[] = {10, 50, 20, 59, 30, 5};
    for (unsigned s : secs)
        seg.appendNode("at " + std::to_string(s) + "\n", 0, 2, s, 0);
    auto line = [](unsigned s) {
        char buf[64];
        snprintf(buf, sizeof(buf), "[INFO  t 01-01 00:00:%02u 0000] at %u\n",
                 s, s);
        return std::string(buf);
    };
    expectRun({"-p", seg.serviceName(), "-d", "--until", "@30"},
              banner(seg.path()) + line(10) + line(20) + line(30) + line(5),
              "", {"TZ=UTC"});
    expectRun({"-p", seg.serviceName(), "-d", "--since", "@20", "--until",
               "@50"},
              banner(seg.path()) + line(50) + line(20) + line(30), "",
              {"TZ=UTC"});
    // --lines: the newest N inside the window, newest by place in the ring.
    expectRun({"-p", seg.serviceName(), "-d", "--until", "@30", "--lines",
               "2"},
              banner(seg.path()) + line(30) + line(5), "", {"TZ=UTC"});

    TestSegment far(4096, "/var/run");
    ASSERT_TRUE(far.ok());
    far.setTag(0, "t");
    far.head()->starttime = INT64_MAX - 10;
    far.appendNode("far\n", 0, 2, 5, 5);
    const std::string shown =
        banner(far.path()) + "[INFO  t 00-00 00:00:00 0005] far\n";
    expectRun({"-p", far.serviceName(), "-d"}, shown, "");
    expectRun({"-p", far.serviceName(), "-d", "--grep", "far"}, shown, "");
    for (const char* window : {"--since", "--until"})
        for (const char* when : {"@0", "1970-01-01", "9999-12-31 23:59"})
            expectRun({"-p", far.serviceName(), "-d", window, when},
                      banner(far.path()), "");
}

// ---- Bad values ------------------------------------------------------------

TEST(FindingOptions, BadValuesEndTheRunWithTheUsage) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
        std::string err;
    } cases[] = {
        {{"-p", "x", "-d", "--since", "soon"},
         "Wrong value[soon] for option --since!!\n" + kUsage, ""},
        {{"-p", "x", "-d", "--since=2024-02-30"},
         "Wrong value[2024-02-30] for option --since!!\n" + kUsage, ""},
        {{"-p", "x", "-d", "--until", "25:00"},
         "Wrong value[25:00] for option --until!!\n" + kUsage, ""},
        {{"-p", "x", "-d", "--until", ""},
         "Wrong value[] for option --until!!\n" + kUsage, ""},
        {{"-p", "x", "-d", "--since", "1h"},
         "Wrong value[1h] for option --since!!\n" + kUsage, ""},
        {{"-p", "x", "-d", "--since", "-1 hour ago"},
         "Wrong value[-1 hour ago] for option --since!!\n" + kUsage, ""},
        {{"-p", "x", "-d", "--since", "@x"},
         "Wrong value[@x] for option --since!!\n" + kUsage, ""},
        {{"-p", "x", "-d", "--grep", "("},
         "Wrong value[(] for option --grep!!\n"
         "missing closing parenthesis at offset 1\n" + kUsage, ""},
        {{"-p", "x", "-d", "--grep=a{2,1}"},
         "Wrong value[a{2,1}] for option --grep!!\n"
         "numbers out of order in {} quantifier at offset 5\n" + kUsage, ""},
        {{"-p", "x", "-d", "--grep", "[Z-A]", "--case-sensitive"},
         "Wrong value[[Z-A]] for option --grep!!\n"
         "range out of order in character class at offset 3\n" + kUsage, ""},
        {{"-p", "x", "-d", "--color=sometimes"},
         "Wrong value[sometimes] for option --color!!\n" + kUsage, ""},
        {{"-p", "x", "-d", "--color="},
         "Wrong value[] for option --color!!\n" + kUsage, ""},
        {{"-p", "x", "-d", "--output", "short-ISO"},
         "Wrong value[short-ISO] for option --output!!\n" + kUsage, ""},
        // The first bad value in command-line order ends the run.
        {{"-p", "x", "--since", "x", "--lines", "y"},
         "Wrong value[x] for option --since!!\n" + kUsage, ""},
        {{"-p", "x", "--lines", "y", "--grep", "("},
         "Wrong value[y] for option --lines!!\n" + kUsage, ""},
        // --until and -n, whichever comes first.
        {{"-p", "x", "-d", "-n", "--until", "now"},
         "Option --until cannot be used with -n!!\n" + kUsage, ""},
        {{"-p", "x", "--until=-1h", "-dn"},
         "Option --until cannot be used with -n!!\n" + kUsage, ""},
        {{"-p", "x", "--since", "-1h", "--until", "now", "-e", "-n", "-d"},
         "Option --until cannot be used with -n!!\n" + kUsage, ""},
        // An option --file cannot serve is named first.
        {{"--file", "/nonexistent", "-n", "--until", "now"},
         "Option -n cannot be used with --file!!\n" + kUsage, ""},
        // Flags take no value.
        {{"-p", "x", "--utc=yes"}, kUsage,
         kTool + ": option '--utc' doesn't allow an argument\n"},
        {{"-p", "x", "--case-sensitive=1"}, kUsage,
         kTool + ": option '--case-sensitive' doesn't allow an argument\n"},
        {{"-p", "x", "--grep"}, kUsage,
         kTool + ": option '--grep' requires an argument\n"},
        {{"-p", "x", "--since"}, kUsage,
         kTool + ": option '--since' requires an argument\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        expectRun(c.args, c.out, c.err);
    }
}

// ---- --grep ----------------------------------------------------------------

class GrepTest : public FindingTest {
protected:
    void SetUp() override {
        FindingTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(seg.ok());
        seg.setTag(0, "net");
        seg.setTag(1, "disk");
        for (size_t i = 0; i < texts.size(); ++i)
            seg.appendNode(texts[i], uint8_t(i % 2), uint8_t(i % 6),
                           uint32_t(i), 0);
    }
    // The short lines of the texts listed, by index.
    std::string lines(const std::vector<int>& which) const {
        static const char* const LEVELS[6] = {"TRACE", "DEBUG", "INFO ",
                                              "WARN ", "ERROR", "FATAL"};
        std::string s = banner(seg.path());
        for (int i : which) {
            char stamp[40];
            snprintf(stamp, sizeof(stamp), " 01-01 00:00:%02d 0000] ", i);
            s += std::string("[") + LEVELS[i % 6] + (i % 2 ? " disk" : " net") +
                 stamp + texts[size_t(i)];
        }
        return s;
    }
    void expectGrep(const std::vector<std::string>& extra,
                    const std::vector<int>& which) {
        SCOPED_TRACE(::testing::PrintToString(extra));
        expectRun(concat({"-p", seg.serviceName(), "-d"}, extra), lines(which),
                  "", {"TZ=UTC"});
    }

    TestSegment seg{8192, "/var/run"};
    const std::vector<std::string> texts = {
        "connect timeout after 30 s\n",    // 0 TRACE net
        "Timeout reading block 7\n",       // 1 DEBUG disk
        "TIMEOUT\n",                       // 2 INFO  net
        "all good\n",                      // 3 WARN  disk
        "time out\n",                      // 4 ERROR net
        "\xff\xfe timeout \xc3\n",         // 5 FATAL disk: not UTF-8
        "caf\xc3\xa9 open\n",              // 6 TRACE net: café
        "CAF\xc3\x89 CLOSED\n",            // 7 DEBUG disk: CAFÉ
        "first line\nsecond line\n",       // 8 INFO  net
        "\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80 broken\n",  // 9 WARN disk
    };
};

TEST_F(GrepTest, SmartCaseCaseSensitiveAndInvalidUtf8) {
    expectGrep({"--grep", "timeout"}, {0, 1, 2, 5});
    expectGrep({"--grep", "Timeout"}, {1});
    expectGrep({"--grep", "timeout", "--case-sensitive"}, {0, 5});
    expectGrep({"--case-sensitive", "--grep", "TIMEOUT"}, {2});
    expectGrep({"--grep=time ?out"}, {0, 1, 2, 4, 5});
    expectGrep({"--grep", "caf\xc3\xa9"}, {6, 7});
    expectGrep({"--grep", "CAF\xc3\x89"}, {7});
    expectGrep({"--grep", "^second"}, {});
    expectGrep({"--grep", "(?m)^second"}, {8});
    expectGrep({"--grep", "line$"}, {8});
    expectGrep({"--grep", "broken"}, {9});
    expectGrep({"--grep", "^.broken"}, {});  // bad bytes are no characters
    expectGrep({"--grep", "^ broken"}, {});
    expectGrep({"--grep", "nothing like it"}, {});
    expectGrep({"--grep", ""}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    // The last --grep counts.
    expectGrep({"--grep", "good", "--grep", "broken"}, {9});
    // With --tag, --level, --lines and a window.
    expectGrep({"--grep", "timeout", "--tag", "disk"}, {1, 5});
    expectGrep({"--grep", "timeout", "--level", "info"}, {2, 5});
    expectGrep({"--grep", "timeout", "--lines", "2"}, {2, 5});
    expectGrep({"--grep", "timeout", "--since", "@1", "--until", "@2"}, {1, 2});
    expectGrep({"--grep", "o", "--tag", "net", "--level", "warn", "--lines",
                "1", "--since", "@0"},
               {4});
}

TEST_F(GrepTest, MatchesTheTextInEveryFormat) {
    ToolResult r = runTool(kTool, {"-p", seg.serviceName(), "-d", "--output",
                                   "json", "--grep", "Timeout"});
    EXPECT_EQ(r.out,
              "{\"time\":\"1970-01-01T00:00:01.000+00:00\",\"level\":\"DEBUG\","
              "\"tag\":\"disk\",\"tag_id\":1,\"text\":\"Timeout reading block "
              "7\"}\n");
    EXPECT_EQ(r.err, banner(seg.path()));
    // The tag and the prefix are not searched.
    expectGrep({"--grep", "net"}, {});
    expectGrep({"--grep", "INFO"}, {});
    r = runTool(kTool, {"-p", seg.serviceName(), "-d", "--output", "syslog",
                        "--grep", "second"});
    EXPECT_EQ(r.out,
              "<6>[INFO  net 01-01 00:00:08 0000] first line\n"
              "<6>[INFO  net 01-01 00:00:08 0000] second line\n");
}

// ---- --color ---------------------------------------------------------------

class ColourTest : public FindingTest {
protected:
    void SetUp() override {
        FindingTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(seg.ok());
        seg.setTag(0, "t");
        seg.appendNode("trace\n", 0, 0, 0, 0);
        seg.appendNode("debug\n", 0, 1, 1, 0);
        seg.appendNode("info\n", 0, 2, 2, 0);
        seg.appendNode("warn\n", 0, 3, 3, 0);
        seg.appendNode("two\nlines\n", 0, 4, 4, 0);
        seg.appendNode("fatal\x07\n", 0, 5, 5, 0);
        seg.appendNode("cut", 0, 4, 6, 0);
    }
    static std::string prefix(const char* level, int sec) {
        char buf[64];
        snprintf(buf, sizeof(buf), "[%s t 01-01 00:00:%02d 0000] ", level, sec);
        return buf;
    }
    std::string run(const std::vector<std::string>& extra, bool bTerminal,
                    const std::vector<std::string>& env) {
        std::vector<std::string> args =
            concat({"-p", seg.serviceName(), "-d"}, extra);
        ToolResult r = bTerminal ? runToolOnTerminal(kTool, args, env)
                                 : runTool(kTool, args, env);
        EXPECT_EQ(r.exitStatus, 1);
        return r.out;
    }

    TestSegment seg{4096, "/var/run"};
    const std::string R = "\x1b[0m";
    // The lines as stored (a pipe) and escaped (a terminal), plain.
    std::string plainPipe() const {
        return banner(seg.path()) + prefix("TRACE", 0) + "trace\n" +
               prefix("DEBUG", 1) + "debug\n" + prefix("INFO ", 2) + "info\n" +
               prefix("WARN ", 3) + "warn\n" + prefix("ERROR", 4) +
               "two\nlines\n" + prefix("FATAL", 5) + "fatal\x07\n" +
               prefix("ERROR", 6) + "cut";
    }
    std::string plainTerminal() const {
        return banner(seg.path()) + prefix("TRACE", 0) + "trace\n" +
               prefix("DEBUG", 1) + "debug\n" + prefix("INFO ", 2) + "info\n" +
               prefix("WARN ", 3) + "warn\n" + prefix("ERROR", 4) +
               "two\\nlines\n" + prefix("FATAL", 5) + "fatal\\x07\n" +
               prefix("ERROR", 6) + "cut";
    }
};

TEST_F(ColourTest, AutoColoursATerminalOnly) {
    const std::string dim = "\x1b[2m", yellow = "\x1b[33m", red = "\x1b[31m",
                      boldRed = "\x1b[1;31m";
    // Every line of a record in its level's colour, the reset before each
    // line feed; INFO plain; the banner plain.
    const std::string colouredTerminal =
        banner(seg.path()) + dim + prefix("TRACE", 0) + "trace" + R + "\n" +
        dim + prefix("DEBUG", 1) + "debug" + R + "\n" + prefix("INFO ", 2) +
        "info\n" + yellow + prefix("WARN ", 3) + "warn" + R + "\n" + red +
        prefix("ERROR", 4) + "two\\nlines" + R + "\n" + boldRed +
        prefix("FATAL", 5) + "fatal\\x07" + R + "\n" + red + prefix("ERROR", 6) +
        "cut" + R;
    const std::string colouredPipe =
        banner(seg.path()) + dim + prefix("TRACE", 0) + "trace" + R + "\n" +
        dim + prefix("DEBUG", 1) + "debug" + R + "\n" + prefix("INFO ", 2) +
        "info\n" + yellow + prefix("WARN ", 3) + "warn" + R + "\n" + red +
        prefix("ERROR", 4) + "two" + R + "\n" + red + "lines" + R + "\n" +
        boldRed + prefix("FATAL", 5) + "fatal\x07" + R + "\n" + red +
        prefix("ERROR", 6) + "cut" + R;
    const std::vector<std::string> xterm = {"TERM=xterm", "NO_COLOR"};
    struct Case {
        const char* name;
        std::vector<std::string> args;
        bool bTerminal;
        std::vector<std::string> env;
        std::string out;
    } cases[] = {
        {"auto on a terminal", {}, true, xterm, colouredTerminal},
        {"--color=auto on a terminal", {"--color=auto"}, true, xterm,
         colouredTerminal},
        {"auto with NO_COLOR", {}, true, {"TERM=xterm", "NO_COLOR=1"},
         plainTerminal()},
        {"auto with TERM=dumb", {}, true, {"TERM=dumb", "NO_COLOR"},
         plainTerminal()},
        {"never on a terminal", {"--color=never"}, true, xterm,
         plainTerminal()},
        {"always despite NO_COLOR", {"--color=always"}, true,
         {"TERM=dumb", "NO_COLOR=1"}, colouredTerminal},
        // A pipe: the bytes as stored, coloured only when asked.
        {"auto on a pipe", {}, false, xterm, plainPipe()},
        {"--color=auto on a pipe", {"--color=auto"}, false, xterm,
         plainPipe()},
        {"never on a pipe", {"--color=never"}, false, xterm, plainPipe()},
        // "always" as the next word is no value of --color: auto.
        {"--color always on a pipe", {"--color", "always"}, false, xterm,
         plainPipe()},
        {"always on a pipe", {"--color=always"}, false, xterm, colouredPipe},
        {"the last --color counts", {"--color=always", "--color=never"},
         false, xterm, plainPipe()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run(c.args, c.bTerminal, c.env), c.out);
    }
}

TEST_F(ColourTest, SyslogAndShortIsoAreColouredJsonNever) {
    const std::vector<std::string> xterm = {"TERM=xterm", "NO_COLOR"};
    const std::string red = "\x1b[31m";
    // syslog: each output line of a record coloured whole, priority too.
    std::string syslog = run({"--color=always", "--output", "syslog",
                              "--level", "error"},
                             false, xterm);
    EXPECT_EQ(syslog, red + "<3>" + prefix("ERROR", 4) + "two" + R + "\n" +
                          red + "<3>" + prefix("ERROR", 4) + "lines" + R +
                          "\n" + "\x1b[1;31m<2>" + prefix("FATAL", 5) +
                          "fatal\x07" + R + "\n" + red + "<3>" +
                          prefix("ERROR", 6) + "cut" + R + "\n");
    EXPECT_EQ(run({"--output", "syslog", "--level", "error"}, true, xterm),
              red + "<3>" + prefix("ERROR", 4) + "two" + R + "\n" + red +
                  "<3>" + prefix("ERROR", 4) + "lines" + R + "\n" +
                  "\x1b[1;31m<2>" + prefix("FATAL", 5) + "fatal\\x07" + R +
                  "\n" + red + "<3>" + prefix("ERROR", 6) + "cut" + R + "\n");
    EXPECT_EQ(run({"--color=always", "--output", "short-iso", "--level",
                   "warn", "--grep", "^[wc]"},
                  false, xterm),
              banner(seg.path()) +
                  "\x1b[33m[WARN  t 1970-01-01T00:00:03.000+00:00] warn" + R +
                  "\n" + red + "[ERROR t 1970-01-01T00:00:06.000+00:00] cut" +
                  R);
    const std::string json = run({"--output", "json", "--level", "fatal"},
                                 false, xterm);
    EXPECT_EQ(json,
              "{\"time\":\"1970-01-01T00:00:05.000+00:00\",\"level\":\"FATAL\","
              "\"tag\":\"t\",\"tag_id\":0,\"text\":\"fatal\\u0007\"}\n");
    EXPECT_EQ(run({"--output", "json", "--level", "fatal", "--color=always"},
                  false, xterm),
              json);
    EXPECT_EQ(run({"--output", "json", "--level", "fatal"}, true, xterm), json);
}

// ---- --utc and short-iso ---------------------------------------------------

TEST_F(FindingTest, UtcShowsAndReadsEveryTimeInUtc) {
    TestSegment seg(4096, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "clk");
    seg.head()->starttime = kNewYear2024;
    seg.appendNode("a\n", 0, 3, 5, 7);
    seg.appendNode("b\n", 0, 4, 6, 1500);
    const std::string name = seg.serviceName();
    const std::string b = banner(seg.path());
    // Local first, for contrast.
    expectRun({"-p", name, "-d"},
              b + "[WARN  clk 01-01 05:30:05 0007] a\n"
                  "[ERROR clk 01-01 05:30:06 1500] b\n",
              "");
    expectRun({"-p", name, "-d", "--utc"},
              b + "[WARN  clk 01-01 00:00:05 0007] a\n"
                  "[ERROR clk 01-01 00:00:06 1500] b\n",
              "");
    expectRun({"-p", name, "-d", "--output", "short-iso"},
              b + "[WARN  clk 2024-01-01T05:30:05.007+05:30] a\n"
                  "[ERROR clk 2024-01-01T05:30:07.500+05:30] b\n",
              "");
    expectRun({"--utc", "-p", name, "-d", "--output", "short-iso"},
              b + "[WARN  clk 2024-01-01T00:00:05.007+00:00] a\n"
                  "[ERROR clk 2024-01-01T00:00:07.500+00:00] b\n",
              "");
    expectRun({"-p", name, "-d", "--output", "json", "--utc"},
              "{\"time\":\"2024-01-01T00:00:05.007+00:00\",\"level\":\"WARN\","
              "\"tag\":\"clk\",\"tag_id\":0,\"text\":\"a\"}\n"
              "{\"time\":\"2024-01-01T00:00:07.500+00:00\",\"level\":\"ERROR\","
              "\"tag\":\"clk\",\"tag_id\":0,\"text\":\"b\"}\n",
              b);
    expectRun({"-p", name, "-d", "--output", "syslog", "--utc"},
              "<4>[WARN  clk 01-01 00:00:05 0007] a\n"
              "<3>[ERROR clk 01-01 00:00:06 1500] b\n",
              b);
    // The times --since and --until read, whichever side of them --utc is.
    expectRun({"-p", name, "-d", "--since", "2024-01-01 00:00:06", "--utc"},
              b + "[ERROR clk 01-01 00:00:06 1500] b\n", "");
    expectRun({"-p", name, "-d", "--utc", "--until", "2024-01-01 00:00:06"},
              b + "[WARN  clk 01-01 00:00:05 0007] a\n", "");
    // Without --utc the same text is local: 18:30:06 UTC the day before.
    expectRun({"-p", name, "-d", "--since", "2024-01-01 00:00:06"},
              b + "[WARN  clk 01-01 05:30:05 0007] a\n"
                  "[ERROR clk 01-01 05:30:06 1500] b\n",
              "");
    expectRun({"-p", name, "-d", "--since", "2024-01-01 05:30:06"},
              b + "[ERROR clk 01-01 05:30:06 1500] b\n", "");
}

TEST_F(FindingTest, ShortIsoShowsTheFullTime) {
    TestSegment seg(4096, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "net");
    seg.head()->starttime = kNewYear2024 + 86400 * 340 + 12 * 3600;  // 12-06
    seg.appendNode("up\n", 0, 2, 3721, 123);      // 13:02:01.123 UTC
    seg.appendNode("late\n", 0, 3, 59, 1000);     // a stored 1000: 12:01:00.000
    seg.appendNode("later\n", 0, 4, 3599, 65535);  // 13:01:04.535
    seg.appendNode("no line feed", 0, 5, 0, 999);
    int32_t bad = seg.appendNode("spoilt\n", 0, 2, 1, 0);
    seg.appendNode("after\n", 0, 2, 2, 0);
    seg.ring()[bad + 2] = 9;  // no such level
    const std::string b = banner(seg.path());
    const std::string want =
        "[INFO  net 2024-12-06T13:02:01.123+00:00] up\n"
        "[WARN  net 2024-12-06T12:01:00.000+00:00] late\n"
        "[ERROR net 2024-12-06T13:01:04.535+00:00] later\n"
        "[FATAL net 2024-12-06T12:00:00.999+00:00] no line feed"
        "nextLog return false!!\n"
        "[INFO  net 2024-12-06T12:00:02.000+00:00] after\n";
    // The tool's messages stay on standard output, as in the short format.
    expectRun({"-p", seg.serviceName(), "-d", "--output", "short-iso"},
              b + want, "", {"TZ=UTC"});
    // The damaged record lies between the last record skipped and the one
    // printed.
    expectRun({"-p", seg.serviceName(), "-d", "--output=short-iso", "--lines",
               "1"},
              b + "nextLog return false!!\n"
                  "[INFO  net 2024-12-06T07:00:02.000-05:00] after\n",
              "", {"TZ=XXX+5"});

    TestSegment far(4096, "/var/run");
    ASSERT_TRUE(far.ok());
    far.setTag(0, "t");
    far.head()->starttime = INT64_MAX - 10;
    far.appendNode("far\n", 0, 2, 5, 5);
    expectRun({"-p", far.serviceName(), "-d", "--output", "short-iso"},
              banner(far.path()) +
                  "[INFO  t 0000-00-00T00:00:00.000+00:00] far\n",
              "");
}

// ---- With --file and following ------------------------------------------------

TEST_F(FindingTest, FiltersReadSegmentImagesAsTheyReadLogs) {
    TempDirectory tmp;
    ASSERT_TRUE(tmp.ok());
    const std::string image = tmp.file("image.bin");
    TestSegment seg(8192, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "net");
    seg.setTag(1, "disk");
    seg.head()->starttime = kNewYear2024;
    for (int i = 0; i < 12; ++i)
        seg.appendNode((i % 3 ? "request ok " : "request timeout ") +
                           std::to_string(i) + "\n",
                       uint8_t(i % 2), uint8_t(i % 6), uint32_t(i * 60),
                       uint16_t(i));
    expectRun({"-p", seg.serviceName(), "-D", image},
              banner(seg.path()) + "Dumping Log Memory tp [" + image + "]...\n",
              "");
    const std::vector<std::vector<std::string>> filters = {
        {"--since", "2024-01-01 05:33", "--until", "2024-01-01T05:39:00.008"},
        {"--grep", "TIMEOUT", "--case-sensitive"},
        {"--grep", "Timeout|ok [0-9]$", "--level", "warn"},
        {"--grep", "timeout", "--tag", "net", "--lines", "1"},
        {"--since", "2024-01-01 00:35", "--utc", "--output", "short-iso"},
        {"--grep", "timeout", "--output", "json", "--utc"},
        {"--until", "@1704067500", "--color=always", "--output", "syslog"},
    };
    for (const auto& f : filters) {
        SCOPED_TRACE(::testing::PrintToString(f));
        ToolResult live = runTool(kTool, concat({"-p", seg.serviceName(), "-d"}, f),
                                  {kZoneEnv});
        ToolResult file = runTool(kTool, concat({"--file", image, "-d"}, f),
                                  {kZoneEnv});
        std::string& withBanner =
            live.out.compare(0, banner(seg.path()).size(),
                             banner(seg.path())) == 0
                ? live.out
                : live.err;
        ASSERT_EQ(withBanner.compare(0, banner(seg.path()).size(),
                                     banner(seg.path())),
                  0);
        withBanner.replace(0, banner(seg.path()).size(), banner(image));
        EXPECT_EQ(file.out, live.out);
        EXPECT_EQ(file.err, live.err);
    }
    // What two of them print, so that the comparison is of something.
    expectRun({"--file", image, "-d", "--since", "2024-01-01 05:33", "--until",
               "2024-01-01T05:39:00.008"},
              banner(image) +
                  "[WARN  disk 01-01 05:33:00 0003] request timeout 3\n"
                  "[ERROR net 01-01 05:34:00 0004] request ok 4\n"
                  "[FATAL disk 01-01 05:35:00 0005] request ok 5\n"
                  "[TRACE net 01-01 05:36:00 0006] request timeout 6\n"
                  "[DEBUG disk 01-01 05:37:00 0007] request ok 7\n"
                  "[INFO  net 01-01 05:38:00 0008] request ok 8\n",
              "");
    expectRun({"--file", image, "-d", "--grep", "timeout", "--tag", "net",
               "--lines", "1", "--utc", "--output", "short-iso"},
              banner(image) +
                  "[TRACE net 2024-01-01T00:06:00.006+00:00] request timeout "
                  "6\n",
              "");
}

// A follower prints what passes every filter, of the records there at the
// start and of those written later, whatever their times.
TEST_F(FindingTest, FiltersWhileFollowing) {
    TestSegment seg(8192, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "app");
    seg.head()->starttime = kNewYear2024;
    seg.appendNode("keep old\n", 0, 3, 5, 0);      // before --since
    seg.appendNode("keep early\n", 0, 4, 20, 0);   // printed
    seg.appendNode("drop\n", 0, 4, 21, 0);         // no match
    seg.appendNode("keep info\n", 0, 2, 22, 0);    // below --level
    BackgroundTool tool(kTool,
                        {"-p", seg.serviceName(), "-d", "-n", "--since",
                         "2024-01-01 00:00:10", "--utc", "--grep", "keep",
                         "--level", "warn", "--output", "short-iso"},
                        {kZoneEnv});
    ASSERT_TRUE(tool.started());
    std::string want = banner(seg.path()) +
                       "[ERROR app 2024-01-01T00:00:20.000+00:00] keep early\n";
    ASSERT_TRUE(tool.waitForOut(want.size(), 5000)) << tool.out();
    seg.appendNode("keep but too old\n", 0, 5, 3, 0);  // the clock went back
    seg.appendNode("KEEP new\n", 0, 3, 30, 0);
    seg.appendNode("other\n", 0, 3, 31, 0);
    seg.appendNode("keep debug\n", 0, 1, 32, 0);
    seg.appendNode("keep last\n", 0, 5, 33, 0);
    want += "[WARN  app 2024-01-01T00:00:30.000+00:00] KEEP new\n"
            "[FATAL app 2024-01-01T00:00:33.000+00:00] keep last\n";
    ASSERT_TRUE(tool.waitForOut(want.size(), 5000)) << tool.out();
    ASSERT_TRUE(tool.sendSignal(SIGTERM));
    ToolResult r = tool.finish();
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.termSignal, SIGTERM);
}

// --lines with a window and following: the newest N inside the window
// first, then new records that pass.
TEST_F(FindingTest, LinesInsideAWindowThenFollowing) {
    TestSegment seg(8192, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "t");
    for (unsigned s : {1u, 12u, 13u, 4u, 15u, 16u})
        seg.appendNode("at " + std::to_string(s) + "\n", 0, 3, s, 0);
    BackgroundTool tool(kTool, {"-p", seg.serviceName(), "-d", "-n", "--lines",
                                "2", "--since", "@10", "--color=always"});
    ASSERT_TRUE(tool.started());
    const std::string y = "\x1b[33m", r = "\x1b[0m";
    std::string want = banner(seg.path()) + y +
                       "[WARN  t 01-01 00:00:15 0000] at 15" + r + "\n" + y +
                       "[WARN  t 01-01 00:00:16 0000] at 16" + r + "\n";
    ASSERT_TRUE(tool.waitForOut(want.size(), 5000)) << tool.out();
    seg.appendNode("at 2\n", 0, 3, 2, 0);
    seg.appendNode("at 20\n", 0, 3, 20, 0);
    want += y + "[WARN  t 01-01 00:00:20 0000] at 20" + r + "\n";
    ASSERT_TRUE(tool.waitForOut(want.size(), 5000)) << tool.out();
    ASSERT_TRUE(tool.sendSignal(SIGTERM));
    ToolResult res = tool.finish();
    EXPECT_EQ(res.out, want);
    EXPECT_EQ(res.termSignal, SIGTERM);
}

}  // namespace
