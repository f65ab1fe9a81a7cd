// kqlogger run as a child process; what it wrote is read back through
// kqlogreader and straight from the segment.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <unistd.h>

#include "KQShmLogWriter.h"
#include "ToolRunner.h"
#include "writer_support.h"

namespace {

struct Expected {
    std::string out, err;
    int status;
};

void expectRun(const ToolResult& r, const Expected& e) {
    EXPECT_EQ(r.out, e.out);
    EXPECT_EQ(r.err, e.err);
    EXPECT_EQ(r.exitStatus, e.status);
}

ToolResult logger(const std::vector<std::string>& args) {
    return runTool(KQLOGGER_PATH, args);
}

}  // namespace

TEST(Kqlogger, WritesArgumentsAndEachInputLine) {
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    const std::string name = lp.serviceName();
    unlink(lp.path().c_str());  // the logger makes it

    expectRun(logger({"-p", name, "hello", "", "world"}), {"", "", 0});
    EXPECT_EQ(access(lp.path().c_str(), F_OK), 0);
    expectRun(runWithInput(KQLOGGER_PATH, {"-p", name, "-t", "in", "-l", "warn"},
                           std::string("one\ntwo\r\n\nnul\0!\nlast", 20)),
              {"", "", 0});
    expectRun(logger({"-p", name, "-l", "5", "ends\n"}), {"", "", 0});

    SegmentPeek seg(ftok(lp.path().c_str(), 0));
    std::vector<NodeSeen> nodes;
    ASSERT_TRUE(seg.walk(nodes));
    EXPECT_EQ(seg.texts(), (std::vector<std::string>{"hello  world\n", "one\n", "two\r\n", "\n",
                                                    "nul?!\n", "last\n", "ends\n"}));
    ToolResult r = runTool(KQLOGREADER_PATH, {"-p", name, "-d"});
    EXPECT_EQ(r.out, seg.expectedDump(name, nodes));
    EXPECT_NE(r.out.find("[FATAL kqlogger "), std::string::npos);
    EXPECT_NE(r.out.find("[WARN  in "), std::string::npos);
}

TEST(Kqlogger, CutsLongMessagesSoTheLineFeedFits) {
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    const std::vector<std::pair<std::string, std::string>> cases = {
        {std::string(300, 'x'), std::string(254, 'x') + "\n"},
        {std::string(254, 'b'), std::string(254, 'b') + "\n"},
        {std::string(254, 'c') + "\n", std::string(254, 'c') + "\n"},
        {std::string(253, 'a') + "\xC3\xA9", std::string(253, 'a') + "\n"},
        {std::string(252, 'a') + "\xE2\x82\xAC", std::string(252, 'a') + "\n"},
    };
    std::vector<std::string> stored;
    for (const auto& c : cases) {
        expectRun(logger({"-p", lp.serviceName(), c.first}), {"", "", 0});
        stored.push_back(c.second);
    }
    EXPECT_EQ(SegmentPeek(lp.key()).texts(), stored);
}

TEST(Kqlogger, ObeysTheTagLevelAndSwitchAnOperatorSets) {
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    const std::string name = lp.serviceName();
    expectRun(logger({"-p", name, "-t", "net", "-l", "TRACE", "new tags take all"}), {"", "", 0});
    runTool(KQLOGREADER_PATH, {"-p", name, "-i", "0", "-l", "4"});
    expectRun(logger({"-p", name, "-t", "net", "-l", "WARN", "dropped"}), {"", "", 0});
    expectRun(logger({"-p", name, "-t", "net", "-l", "ERROR", "kept"}), {"", "", 0});
    runTool(KQLOGREADER_PATH, {"-p", name, "-f", "0"});
    expectRun(logger({"-p", name, "-t", "net", "-l", "FATAL", "off"}), {"", "", 0});
    EXPECT_EQ(SegmentPeek(lp.key()).texts(),
              (std::vector<std::string>{"new tags take all\n", "kept\n"}));
}

TEST(Kqlogger, KeepsTheRingAcrossRunsUntilAnotherSizeIsAsked) {
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    const std::string name = lp.serviceName();
    std::vector<std::string> written;
    for (int i = 0; i < 60; ++i) {
        std::string text = "run " + std::to_string(i) + " " + std::string(size_t(i * 13 % 120), '=');
        std::vector<std::string> args = {"-p", name, text};
        if (i == 0) args.insert(args.begin(), {"-b", "1024"});
        expectRun(logger(args), {"", "", 0});
        written.push_back(text + "\n");
    }
    SegmentPeek seg(lp.key());
    EXPECT_EQ(seg.head()->logbufsize, 1024u);
    std::vector<NodeSeen> nodes;
    ASSERT_TRUE(seg.walk(nodes));
    std::vector<std::string> chain = seg.texts();
    ASSERT_GT(chain.size(), 3u);
    EXPECT_LT(chain.size(), 30u);
    EXPECT_TRUE(std::equal(chain.rbegin(), chain.rend(), written.rbegin()));
    EXPECT_EQ(runTool(KQLOGREADER_PATH, {"-p", name, "-d"}).out,
              seg.expectedDump(name, nodes));

    expectRun(logger({"-b", "2048", "-p", name, "afresh"}), {"", "", 0});
    SegmentPeek resized(lp.key());
    EXPECT_EQ(resized.head()->logbufsize, 2048u);
    EXPECT_EQ(resized.texts(), std::vector<std::string>{"afresh\n"});
}

TEST(Kqlogger, UsageAndBadOptions) {
    const std::string tryHelp = "Try 'kqlogger -h' for help.\n";
    const std::vector<std::pair<std::vector<std::string>, Expected>> cases = {
        {{"-h"},
         {"usage: kqlogger -p NAME [-t TAG] [-l LEVEL] [-b BUFSIZE] [message ...]\n"
          "Writes the message, or each line of standard input when none is given,\n"
          "into the shared-memory log of service NAME (log path /var/run/NAME,\n"
          "created when missing). Show it with kqlogreader -p NAME -d.\n"
          "  -p NAME     the service name\n"
          "  -t TAG      tag of the messages, 1 to 10 bytes (default kqlogger)\n"
          "  -l LEVEL    TRACE, DEBUG, INFO, WARN, ERROR, FATAL or 0 to 5\n"
          "              (default INFO); messages below the tag's level are\n"
          "              dropped (a new tag takes all, kqlogreader -l sets it)\n"
          "  -b BUFSIZE  ring size in bytes, 550 to 2147480039; a log with a ring of\n"
          "              another size is started afresh (default: the existing\n"
          "              log's size, 65536 for a new log)\n"
          "  -h          show this help\n"
          "A message is cut to 254 bytes and ends with one line feed.\n",
          "", 0}},
        {{"msg"}, {"", "kqlogger: -p NAME is required\n" + tryHelp, 1}},
        {{"-p"}, {"", "kqlogger: option -p needs a value\n" + tryHelp, 1}},
        {{"-p", "x", "-q"}, {"", "kqlogger: unknown option -q\n" + tryHelp, 1}},
        {{"-p", "x", "-t", "elevenbytes"},
         {"", "kqlogger: bad value [elevenbytes] for -t: 1 to 10 bytes\n" + tryHelp, 1}},
        {{"-p", "x", "-l", "6"},
         {"", "kqlogger: bad value [6] for -l: TRACE, DEBUG, INFO, WARN, ERROR, FATAL or 0 "
              "to 5\n" + tryHelp, 1}},
        {{"-p", "x", "-b", "549"},
         {"", "kqlogger: bad value [549] for -b: 550 to 2147480039 bytes\n" + tryHelp, 1}},
        {{"-p", "x", "-b", "4k"},
         {"", "kqlogger: bad value [4k] for -b: 550 to 2147480039 bytes\n" + tryHelp, 1}},
        {{"-p", "kq-no-such-dir/x", "msg"},
         {"", "kqlogger: cannot create log path [/var/run/kq-no-such-dir/x]: No such file "
              "or directory\n", 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first.empty() ? "" : c.first.back());
        expectRun(logger(c.first), c.second);
    }
    EXPECT_NE(access("/var/run/x", F_OK), 0);
}

TEST(Kqlogger, RefusesALogAnotherProcessWrites) {
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    ASSERT_TRUE(IKQLOGWriter::getInst()->init(lp.path().c_str(), 0));
    expectRun(logger({"-p", lp.serviceName(), "msg"}),
              {"", "log path [" + lp.path() + "] is in use by another writer\n" +
                       "kqlogger: cannot open the log at [" + lp.path() + "]\n", 1});
    EXPECT_EQ(SegmentPeek(lp.key()).texts(), std::vector<std::string>{});
}
