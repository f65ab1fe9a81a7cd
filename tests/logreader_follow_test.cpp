// Black-box tests of kqlogreader following a live ring (-d -n): lines a
// writer appends reach a pipe promptly, and a terminating signal lets the
// lines still buffered out before the tool dies by that signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "TestSegment.h"
#include "ToolRunner.h"

namespace {

const std::string kTool = KQLOGREADER_PATH;

long long nowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

class KqlogreaderFollow : public VarRunTest {};

TEST_F(KqlogreaderFollow, PrintsAppendedLinesToAPipeWithin50ms) {
    TestSegment seg(64 * 1024, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "net");
    seg.appendNode("written before the start\n");

    BackgroundTool tool(kTool, {"-p", seg.serviceName(), "-d", "-n", "-e"});
    ASSERT_TRUE(tool.started());
    std::string expected = "LogPath [" + seg.path() + "]\n";
    // The banner is flushed once the cursor stands at the newest node.
    ASSERT_TRUE(tool.waitForOut(expected.size(), 5000)) << tool.out();

    // A line left in the buffer never arrives at all; the median keeps a
    // busy machine's odd slow line from failing the run.
    const int kLines = 21;
    std::vector<long long> latenciesUs;
    for (int i = 0; i < kLines; ++i) {
        std::string text = "line " + std::to_string(i) + "\n";
        long long t0 = nowUs();
        seg.appendNode(text, 0, 2, uint32_t(i), uint16_t(i));
        char ms[8];
        snprintf(ms, sizeof(ms), "%.4d", i);
        expected += "[INFO  net 01-01 00:00:" + std::string(i < 10 ? "0" : "") +
                    std::to_string(i) + " " + ms + "] " + text;
        ASSERT_TRUE(tool.waitForOut(expected.size(), 2000))
            << "line " << i << " did not arrive; got:\n" << tool.out();
        latenciesUs.push_back(nowUs() - t0);
        ASSERT_EQ(tool.out(), expected);
        struct timespec pause = {0, (i % 4) * 4000000L};
        nanosleep(&pause, nullptr);
    }
    std::sort(latenciesUs.begin(), latenciesUs.end());
    EXPECT_LE(latenciesUs[kLines / 2], 50000)
        << "median latency " << latenciesUs[kLines / 2] << " us";

    ASSERT_TRUE(tool.sendSignal(SIGTERM));
    ToolResult r = tool.finish();
    EXPECT_EQ(r.termSignal, SIGTERM);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");
}

// A ring full of nodes keeps the tool printing without a pause, so its
// output sits in the stdio buffer when the signal comes. stdout is a pipe:
// the buffer goes out in whole blocks (4096 bytes or another even size)
// from the start of the output. Line ends all fall on odd offsets, never on
// a block boundary, so output cut off by the signal's default action ends
// inside a line.
struct SignalCase {
    int signal;
    // false: nobody reads, so the tool is blocked on a full pipe when the
    // signal comes, and the pipe is drained only a while later.
    bool drainBeforeSignal;
};

void PrintTo(const SignalCase& c, std::ostream* os) {
    *os << strsignal(c.signal)
        << (c.drainBeforeSignal ? ", pipe read" : ", pipe full");
}

class KqlogreaderFollowSignal
    : public KqlogreaderFollow,
      public ::testing::WithParamInterface<SignalCase> {};

TEST_P(KqlogreaderFollowSignal, FlushesBufferedLinesThenDiesBySignal) {
    const SignalCase& c = GetParam();
    TestSegment seg(8 * 1024 * 1024, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "t");
    const std::string banner = "LogPath [" + seg.path() + "]\n";
    ASSERT_EQ(banner.size() % 2, 1u) << "line ends must stay off 4096-byte "
                                        "boundaries; adjust the line length";
    // Lines of 230 bytes: the 30-byte prefix and 200 bytes of text.
    std::string full = banner;
    const size_t kLineSize = 230;
    const int32_t kNodeSize = 210;
    for (int i = 0; seg.head()->logWritePos + kNodeSize + 284 <
                    int32_t(seg.ringSize());
         ++i) {
        std::string text = std::to_string(1000000 + i);
        text += std::string(kLineSize - 30 - 1 - text.size(), '.') + "\n";
        seg.appendNode(text, 0, 2);
        full += "[INFO  t 01-01 00:00:00 0000] " + text;
    }
    ASSERT_EQ((full.size() - banner.size()) % kLineSize, 0u);

    BackgroundTool tool(kTool, {"-p", seg.serviceName(), "-d", "-n"});
    ASSERT_TRUE(tool.started());
    if (c.drainBeforeSignal) {
        ASSERT_TRUE(tool.waitForOut(64 * 1024, 5000)) << tool.err();
    } else {
        struct timespec pause = {0, 300 * 1000000L};
        nanosleep(&pause, nullptr);
    }
    ASSERT_TRUE(tool.sendSignal(c.signal));
    if (!c.drainBeforeSignal) {
        // The reader comes back only a while after the signal.
        struct timespec pause = {0, 100 * 1000000L};
        nanosleep(&pause, nullptr);
    }
    ToolResult r = tool.finish();

    EXPECT_EQ(r.termSignal, c.signal);
    EXPECT_EQ(r.err, "");
    ASSERT_LT(r.out.size(), full.size())
        << "the tool printed the whole ring before the signal came";
    ASSERT_GE(r.out.size(), banner.size());
    EXPECT_EQ((r.out.size() - banner.size()) % kLineSize, 0u)
        << "output ends inside a line: " << r.out.size() << " bytes";
    size_t iFirstDiff = std::mismatch(r.out.begin(), r.out.end(), full.begin())
                            .first - r.out.begin();
    EXPECT_EQ(iFirstDiff, r.out.size())
        << "output is not a prefix of the ring's lines: they differ at byte "
        << iFirstDiff << " of " << r.out.size();
}

INSTANTIATE_TEST_SUITE_P(
    Signals, KqlogreaderFollowSignal,
    ::testing::Values(SignalCase{SIGTERM, true}, SignalCase{SIGINT, true},
                      SignalCase{SIGHUP, true}, SignalCase{SIGTERM, false},
                      SignalCase{SIGINT, false}),
    [](const ::testing::TestParamInfo<SignalCase>& p) {
        std::string name = p.param.signal == SIGTERM  ? "Term"
                           : p.param.signal == SIGINT ? "Int"
                                                         : "Hup";
        return name + (p.param.drainBeforeSignal ? "WhileRead"
                                                     : "WithPipeFull");
    });

}  // namespace
