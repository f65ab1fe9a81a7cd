// Black-box tests of kqlogreader's recovery from damaged records: a damaged
// record costs that record and nothing else, whether the log is printed
// once (-d), followed (-d -n) or followed from the newest record
// (-d -n -e); a record being written at logWritePos is waited for, not
// reported; a chain of records that loops is never printed round again.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "KQShmLogRing.h"
#include "TestSegment.h"
#include "ToolRunner.h"

namespace {

const std::string kTool = KQLOGREADER_PATH;
const std::string kFailed = "nextLog return false!!\n";
const uint32_t kRingSize = 8192;
// Every text has 5 bytes ("L042\n"), so records lie on a 15-byte grid and a
// size byte of 200 points exactly at the record 14 further on.
const int kNodeSize = 15;
const int kNodes = 300;
// How long a follower is watched for lines it should not print.
const int kQuietMs = 1500;

enum class Damage { NONE, LEVEL, TERMINATOR, SIZE };

const char* damageName(Damage d) {
    switch (d) {
    case Damage::NONE: return "none";
    case Damage::LEVEL: return "level byte";
    case Damage::TERMINATOR: return "terminator";
    case Damage::SIZE: return "size byte 5 -> 200";
    }
    return "?";
}

std::string numbered(char prefix, int n) {
    char text[16];
    snprintf(text, sizeof(text), "%c%03d\n", prefix, n % 1000);
    return text;
}

// The line kqlogreader prints for a record of tag 0 ("t"), INFO, time 0.
std::string line(const std::string& text) {
    return "[INFO  t 01-01 00:00:00 0000] " + text;
}

std::string lines(char prefix, int from, int to, int skip = -1) {
    std::string s;
    for (int n = from; n < to; ++n)
        if (n != skip) s += line(numbered(prefix, n));
    return s;
}

// Appends a record at logWritePos as a writer does (end marker after it
// first, size byte last, then logWritePos), with the damage already in
// its bytes when it is published.
void publish(TestSegment& seg, const std::string& text, Damage damage = Damage::NONE) {
    int32_t pos = seg.head()->logWritePos;
    int32_t next = KQRingNextPos(pos, uint8_t(text.size()), int32_t(seg.ringSize()));
    std::vector<uint8_t> node(text.size() + 10);
    writeNodeAt(node.data(), 0, text, 0, 2, 0, 0);
    switch (damage) {
    case Damage::NONE: break;
    case Damage::LEVEL: node[2] = 9; break;
    case Damage::TERMINATOR: node[9 + text.size()] = 'x'; break;
    case Damage::SIZE: node[0] = 200; break;
    }
    seg.ring()[next] = 0;
    memcpy(seg.ring() + pos + 1, node.data() + 1, node.size() - 1);
    __atomic_store_n(seg.ring() + pos, node[0], __ATOMIC_RELEASE);
    __atomic_store_n(&seg.head()->logWritePos, next, __ATOMIC_RELEASE);
}

// Stops a follower with SIGTERM: it must have printed exactly expected,
// nothing on stderr, and died by that signal.
void expectStoppedWith(BackgroundTool& tool, const std::string& expected) {
    ASSERT_TRUE(tool.sendSignal(SIGTERM));
    ToolResult r = tool.finish();
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.termSignal, SIGTERM);
}

// Each line of out (a log line or a message) and how often it came.
std::map<std::string, int> lineCounts(const std::string& out) {
    std::map<std::string, int> counts;
    for (const std::string& l : splitLines(out)) ++counts[l];
    return counts;
}

void sleepMs(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// ---- One damaged record among 300 -----------------------------------------

enum class Mode { ONCE, FOLLOW, FOLLOW_NEWEST };

struct DamageCase {
    Damage damage;
    Mode mode;
    int damaged;  // index of the damaged record
};

void PrintTo(const DamageCase& c, std::ostream* os) {
    *os << damageName(c.damage) << " of record " << c.damaged << ", "
        << (c.mode == Mode::ONCE     ? "-d"
            : c.mode == Mode::FOLLOW ? "-d -n"
                                     : "-d -n -e");
}

class LogreaderRecovery : public VarRunTest {};

class LogreaderDamagedRecord : public LogreaderRecovery,
                               public testing::WithParamInterface<DamageCase> {};

// Printed once: every other record exactly once, in order, and one
// message. Followed: the same, nothing more while nothing is written, and
// records appended later come once. With -e the 300 records are written
// after the tool has started, behind 20 older ones it must never print.
TEST_P(LogreaderDamagedRecord, CostsThatRecordOnly) {
    const DamageCase& c = GetParam();
    TestSegment seg(kRingSize, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "t");
    const std::string banner = "LogPath [" + seg.path() + "]\n";
    std::string expected = banner + lines('L', 0, c.damaged) + kFailed +
                           lines('L', c.damaged + 1, kNodes);
    auto writeRecords = [&] {
        for (int n = 0; n < kNodes; ++n)
            publish(seg, numbered('L', n), n == c.damaged ? c.damage : Damage::NONE);
    };

    if (c.mode == Mode::ONCE) {
        writeRecords();
        ToolResult r = runTool(kTool, {"-p", seg.serviceName(), "-d"});
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exitStatus, 1);
        return;
    }

    std::vector<std::string> args = {"-p", seg.serviceName(), "-d", "-n"};
    if (c.mode == Mode::FOLLOW_NEWEST) {
        for (int n = 0; n < 20; ++n) publish(seg, numbered('O', n));
        args.push_back("-e");
    } else {
        writeRecords();
    }
    BackgroundTool tool(kTool, args);
    ASSERT_TRUE(tool.started());
    if (c.mode == Mode::FOLLOW_NEWEST) {
        ASSERT_TRUE(tool.waitForOut(banner.size(), 5000)) << tool.err();
        sleepMs(50);
        writeRecords();
    }
    EXPECT_TRUE(tool.waitForOut(expected.size(), 5000)) << tool.out();
    tool.waitForOut(std::string::npos, kQuietMs);
    EXPECT_EQ(tool.out(), expected) << "while nothing was written";

    for (int n = 0; n < 3; ++n) publish(seg, numbered('A', n));
    expected += lines('A', 0, 3);
    EXPECT_TRUE(tool.waitForOut(expected.size(), 5000)) << tool.out();
    tool.waitForOut(std::string::npos, 200);
    expectStoppedWith(tool, expected);
}

std::vector<DamageCase> damageCases() {
    std::vector<DamageCase> cases;
    for (Damage d : {Damage::LEVEL, Damage::TERMINATOR, Damage::SIZE})
        for (Mode m : {Mode::ONCE, Mode::FOLLOW, Mode::FOLLOW_NEWEST})
            for (int damaged : {150, 0}) cases.push_back({d, m, damaged});
    return cases;
}

std::string damageCaseName(const testing::TestParamInfo<DamageCase>& info) {
    const DamageCase& c = info.param;
    std::string name = c.damage == Damage::LEVEL        ? "Level"
                       : c.damage == Damage::TERMINATOR ? "Terminator"
                                                        : "Size";
    name += c.mode == Mode::ONCE     ? "Once"
            : c.mode == Mode::FOLLOW ? "Follow"
                                     : "FollowNewest";
    name += c.damaged == 0 ? "First" : "Middle";
    return name;
}

INSTANTIATE_TEST_SUITE_P(AllKinds, LogreaderDamagedRecord,
                         testing::ValuesIn(damageCases()), damageCaseName);

// ---- Following from the newest record ---------------------------------------

// A damaged record committed between sound ones while the tool waits at
// the end: the sound ones once, one message, and never a record from
// before the start.
TEST_F(LogreaderRecovery, FollowingNewestStepsOverARecordDamagedMeanwhile) {
    for (Damage damage : {Damage::LEVEL, Damage::TERMINATOR, Damage::SIZE}) {
        SCOPED_TRACE(damageName(damage));
        TestSegment seg(kRingSize, "/var/run");
        ASSERT_TRUE(seg.ok());
        seg.setTag(0, "t");
        for (int n = 0; n < 50; ++n) publish(seg, numbered('O', n));
        BackgroundTool tool(kTool, {"-p", seg.serviceName(), "-d", "-n", "-e"});
        ASSERT_TRUE(tool.started());
        std::string expected = "LogPath [" + seg.path() + "]\n";
        ASSERT_TRUE(tool.waitForOut(expected.size(), 5000)) << tool.err();

        publish(seg, numbered('A', 0));
        publish(seg, numbered('A', 1));
        expected += lines('A', 0, 2);
        ASSERT_TRUE(tool.waitForOut(expected.size(), 5000)) << tool.out();
        // The damaged record is the last one written for a while.
        publish(seg, numbered('A', 2), damage);
        expected += kFailed;
        EXPECT_TRUE(tool.waitForOut(expected.size(), 5000)) << tool.out();
        tool.waitForOut(std::string::npos, 300);
        publish(seg, numbered('A', 3));
        publish(seg, numbered('A', 4), damage);
        publish(seg, numbered('A', 5));
        expected += line(numbered('A', 3)) + kFailed + line(numbered('A', 5));
        EXPECT_TRUE(tool.waitForOut(expected.size(), 5000)) << tool.out();
        tool.waitForOut(std::string::npos, kQuietMs / 2);
        expectStoppedWith(tool, expected);
    }
}

// A record at logWritePos that fails its checks is one being written: the
// follower waits, silently, and prints it once when it is whole and
// logWritePos has moved past it.
TEST_F(LogreaderRecovery, FollowingNewestWaitsForARecordBeingWritten) {
    TestSegment seg(kRingSize, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "t");
    for (int n = 0; n < 50; ++n) publish(seg, numbered('O', n));
    BackgroundTool tool(kTool, {"-p", seg.serviceName(), "-d", "-n", "-e"});
    ASSERT_TRUE(tool.started());
    std::string expected = "LogPath [" + seg.path() + "]\n";
    ASSERT_TRUE(tool.waitForOut(expected.size(), 5000)) << tool.err();
    publish(seg, numbered('A', 0));
    expected += lines('A', 0, 1);
    ASSERT_TRUE(tool.waitForOut(expected.size(), 5000)) << tool.out();

    // Size byte and text written, terminator not yet, logWritePos unmoved.
    int32_t pos = seg.head()->logWritePos;
    const std::string text = numbered('A', 1);
    writeNodeAt(seg.ring(), pos, text, 0, 2, 0, 0);
    seg.ring()[pos + 9 + int32_t(text.size())] = 'x';
    seg.ring()[pos + kNodeSize] = 0;
    tool.waitForOut(std::string::npos, kQuietMs);
    EXPECT_EQ(tool.out(), expected) << "while the record was being written";

    seg.ring()[pos + 9 + int32_t(text.size())] = 0;
    __atomic_store_n(&seg.head()->logWritePos, pos + kNodeSize, __ATOMIC_RELEASE);
    expected += line(text);
    EXPECT_TRUE(tool.waitForOut(expected.size(), 5000)) << tool.out();
    publish(seg, numbered('A', 2));
    expected += line(numbered('A', 2));
    EXPECT_TRUE(tool.waitForOut(expected.size(), 5000)) << tool.out();
    tool.waitForOut(std::string::npos, 300);
    expectStoppedWith(tool, expected);
}

// ---- A chain that loops -------------------------------------------------------

// A 300-byte ring: every record wraps to 0 (p + size + 10 + 284 >= 300),
// so the record at 20 leads to 0 and the record at 0 to itself. Printed
// once, each line comes at most once and the run ends; followed, no line
// ever comes again.
TEST_F(LogreaderRecovery, LoopingChainIsNeverPrintedRound) {
    TestSegment seg(300, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "t");
    writeNodeAt(seg.ring(), 0, "at zero\n", 0, 2, 0, 0);
    writeNodeAt(seg.ring(), 20, "at twenty\n", 0, 2, 0, 0);
    seg.setPositions(20, 100);
    const std::string banner = "LogPath [" + seg.path() + "]";

    ToolResult once = runTool(kTool, {"-p", seg.serviceName(), "-d"}, {}, 5000);
    EXPECT_EQ(once.exitStatus, 1) << "signal " << once.termSignal;
    EXPECT_EQ(once.err, "");
    std::map<std::string, int> counts = lineCounts(once.out);
    EXPECT_EQ(counts[banner], 1);
    EXPECT_EQ(counts[line("at twenty")], 1) << once.out;
    EXPECT_LE(counts[line("at zero")], 1) << once.out;
    EXPECT_LE(counts["nextLog return false!!"], 1) << once.out;

    BackgroundTool tool(kTool, {"-p", seg.serviceName(), "-d", "-n"});
    ASSERT_TRUE(tool.started());
    ASSERT_TRUE(tool.waitForOut(banner.size() + line("at twenty\n").size(), 5000));
    tool.waitForOut(std::string::npos, 1000);
    ASSERT_TRUE(tool.sendSignal(SIGTERM));
    ToolResult r = tool.finish();
    EXPECT_EQ(r.termSignal, SIGTERM);
    for (const auto& entry : lineCounts(r.out))
        EXPECT_EQ(entry.second, 1) << "[" << entry.first << "]\n" << r.out.substr(0, 2000);
}

}  // namespace
