// Black-box tests of kqlogreader over several logs: --log, --all and
// --list. Each test runs in a mount and IPC namespace of its own, with a
// fresh /var/run, so that --all sees this test's logs and nothing else and
// every segment goes with the test's process.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ReaderToolText.h"
#include "TestSegment.h"
#include "ToolRunner.h"

namespace {

const std::string kTool = KQLOGREADER_PATH;

class KqlogreaderMany : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for namespaces";
        if (unshare(CLONE_NEWNS | CLONE_NEWIPC) != 0)
            GTEST_SKIP() << "unshare: " << strerror(errno);
        ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0)
            << strerror(errno);
        ASSERT_EQ(mount("tmpfs", "/var/run", "tmpfs", 0, "mode=0755"), 0)
            << strerror(errno);
    }

    // A log under /var/run whose start time is iStart, with tag 0 "web".
    TestSegment& log(int64_t iStart = 0, uint32_t ringSize = 4096) {
        m_logs.emplace_back(new TestSegment(ringSize, "/var/run"));
        TestSegment& seg = *m_logs.back();
        EXPECT_TRUE(seg.ok());
        seg.head()->starttime = iStart;
        seg.setTag(0, "web");
        return seg;
    }

    std::vector<std::unique_ptr<TestSegment>> m_logs;
};

// The short line of a record of tag "web", level INFO, at second s of
// 1970-01-01 UTC.
std::string line(int s, int ms, const std::string& text) {
    char buf[64];
    snprintf(buf, sizeof(buf), "[INFO  web 01-01 00:00:%02d %04d] ", s, ms);
    return buf + text;
}

TEST_F(KqlogreaderMany, MergesInTimeOrderTiesToTheFirstGivenAndKeepsEachLogsOrder) {
    TestSegment& a = log(0);
    TestSegment& b = log(2);  // b's second 0 is a's second 2
    a.appendNode("a1\n", 0, 2, 1, 0);
    a.appendNode("a3 tie\n", 0, 2, 3, 0);
    a.appendNode("a0 clock back\n", 0, 2, 0, 500);
    a.appendNode("a9\n", 0, 2, 9, 0);
    b.appendNode("b2\n", 0, 2, 0, 0);
    b.appendNode("b3 tie\n", 0, 2, 1, 0);
    b.appendNode("b3.9 stored 1900 ms\n", 0, 2, 1, 1900);
    std::string na = a.serviceName(), nb = b.serviceName();

    ToolResult r = runTool(kTool, {"--log", na, "--log", nb, "-d"});
    EXPECT_EQ(r.out, banner(a.path()) + banner(b.path()) +
                         na + ": " + line(1, 0, "a1\n") +
                         nb + ": " + line(2, 0, "b2\n") +
                         na + ": " + line(3, 0, "a3 tie\n") +
                         // a's next record is compared, not its newest
                         na + ": " + line(0, 500, "a0 clock back\n") +
                         nb + ": " + line(3, 0, "b3 tie\n") +
                         nb + ": " + line(3, 1900, "b3.9 stored 1900 ms\n") +
                         na + ": " + line(9, 0, "a9\n"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitStatus, 1);

    // --lines: the newest of the merged timeline; --level and --tag too.
    r = runTool(kTool, {"--log", na, "--log", nb, "-d", "--lines", "2"});
    EXPECT_EQ(r.out, banner(a.path()) + banner(b.path()) +
                         nb + ": " + line(3, 1900, "b3.9 stored 1900 ms\n") +
                         na + ": " + line(9, 0, "a9\n"));
    r = runTool(kTool, {"--log", nb, "--log", na, "-d", "--lines", "1",
                        "--level", "ERROR"});
    EXPECT_EQ(r.out, banner(b.path()) + banner(a.path()));

    // One --log is -p under another name, byte for byte.
    ToolResult p = runTool(kTool, {"-p", na, "-d"});
    r = runTool(kTool, {"--log", na, "-d"});
    EXPECT_EQ(r.out, p.out);
    EXPECT_EQ(r.err, p.err);
    EXPECT_EQ(r.exitStatus, p.exitStatus);
}

// Every format names the log: first in a short or short-iso line, as the
// JSON object's first key, after each syslog line's "<P>"; in colour the
// label takes the record's colour with the rest of its line.
TEST_F(KqlogreaderMany, EveryFormatNamesTheLog) {
    TestSegment& a = log(0);
    TestSegment& b = log(0);
    a.appendNode("one\ntwo\n", 0, 4, 1, 0);
    b.appendNode("fine\n", 0, 2, 2, 0);
    std::string na = a.serviceName(), nb = b.serviceName();
    const std::string banners = banner(a.path()) + banner(b.path());
    const std::string red = "\x1b[31m", reset = "\x1b[0m";
    const std::string err1 = na + ": [ERROR web 01-01 00:00:01 0000] ";
    struct Case {
        std::vector<std::string> extra;
        std::string out, err;
    };
    const std::vector<Case> cases = {
        {{"--output", "json"},
         "{\"log\":\"" + na + "\",\"time\":\"1970-01-01T00:00:01.000+00:00\","
         "\"level\":\"ERROR\",\"tag\":\"web\",\"tag_id\":0,\"text\":\"one\\ntwo\"}\n"
         "{\"log\":\"" + nb + "\",\"time\":\"1970-01-01T00:00:02.000+00:00\","
         "\"level\":\"INFO\",\"tag\":\"web\",\"tag_id\":0,\"text\":\"fine\"}\n",
         banners},
        {{"--output", "syslog"},
         "<3>" + err1 + "one\n<3>" + err1 + "two\n<6>" + nb + ": " +
             line(2, 0, "fine\n"),
         banners},
        {{"--output", "short-iso"},
         banners + na + ": [ERROR web 1970-01-01T00:00:01.000+00:00] one\ntwo\n" +
             nb + ": [INFO  web 1970-01-01T00:00:02.000+00:00] fine\n",
         ""},
        {{"--output", "syslog", "--color=always"},
         red + "<3>" + err1 + "one" + reset + "\n" + red + "<3>" + err1 + "two" +
             reset + "\n<6>" + nb + ": " + line(2, 0, "fine\n"),
         banners},
        {{"--color=always"},
         banners + red + err1 + "one" + reset + "\n" + red + "two" + reset +
             "\n" + nb + ": " + line(2, 0, "fine\n"),
         ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--log", na, "--log", nb, "-d"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        ToolResult r = runTool(kTool, args);
        EXPECT_EQ(r.out, c.out) << c.extra.back();
        EXPECT_EQ(r.err, c.err) << c.extra.back();
    }
}

TEST_F(KqlogreaderMany, AllReadsEveryLogInNameOrderAndNothingElse) {
    TestSegment& a = log(0);
    TestSegment& b = log(0);
    a.appendNode("from a\n", 0, 2, 1, 0);
    b.appendNode("from b\n", 0, 2, 2, 0);
    // Files that are no log, a link to a log and a directory.
    std::ofstream("/var/run/not-a-log") << "pid 12\n";
    ASSERT_EQ(symlink(a.path().c_str(), "/var/run/link-to-a"), 0);
    ASSERT_EQ(mkdir("/var/run/somedir", 0755), 0);
    std::vector<TestSegment*> byName = {&a, &b};
    std::sort(byName.begin(), byName.end(),
              [](TestSegment* x, TestSegment* y) { return x->path() < y->path(); });

    ToolResult r = runTool(kTool, {"--all", "-d"});
    std::string na = a.serviceName(), nb = b.serviceName();
    EXPECT_EQ(r.out, banner(byName[0]->path()) + banner(byName[1]->path()) +
                         na + ": " + line(1, 0, "from a\n") +
                         nb + ": " + line(2, 0, "from b\n"));
    EXPECT_EQ(r.err, "");

    // -s lists each log's tags after its banner.
    r = runTool(kTool, {"--all", "-s"});
    std::string tags = "LogBufSize: [4096] Bytes\nAllLevels: \n0 -> TRACE\n"
                       "1 -> DEBUG\n2 -> INFO \n3 -> WARN \n4 -> ERROR\n"
                       "5 -> FATAL\n[0] Tag[web] Level[INFO :2] [Enabled]\n";
    EXPECT_EQ(r.out, banner(byName[0]->path()) + tags + banner(byName[1]->path()) + tags);
}

TEST_F(KqlogreaderMany, ALogThatCannotBeReadIsSkippedAndNoneLeftFails) {
    TestSegment& a = log(0);
    a.appendNode("still here\n", 0, 2, 1, 0);
    std::string na = a.serviceName();
    ToolResult r = runTool(kTool, {"--log", "kq-missing", "--log", na, "-d"});
    EXPECT_EQ(r.out, "LogPath [/var/run/kq-missing]\n" + banner(a.path()) + na +
                         ": " + line(1, 0, "still here\n"));
    EXPECT_EQ(r.err,
              "ftok failed(No such file or directory), /var/run/kq-missing "
              "not exist!\nkqlogreader: skipping log [kq-missing]\n");
    EXPECT_EQ(r.exitStatus, 1);

    r = runTool(kTool, {"--log", "kq-missing", "--log", "kq-gone", "-d"});
    EXPECT_EQ(r.out, "LogPath [/var/run/kq-missing]\nLogPath [/var/run/kq-gone]\n"
                     "Init failed!! Please check your LogPath!\n");
    EXPECT_EQ(r.exitStatus, 1);

    m_logs.clear();
    r = runTool(kTool, {"--all", "-d"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kqlogreader: no logs under /var/run/\n");
    EXPECT_EQ(r.exitStatus, 1);
}

TEST_F(KqlogreaderMany, RefusesChangesAndOneLogOptionsWithSeveralLogs) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"-p", "x", "--all", "-d"}, "Option -p cannot be used with --log or --all!!\n"},
        {{"--log", "x", "-l", "3"}, "Option -l cannot be used with --log or --all!!\n"},
        {{"--all", "-i", "1"}, "Option -i cannot be used with --log or --all!!\n"},
        {{"--all", "-t", "1"}, "Option -t cannot be used with --log or --all!!\n"},
        {{"--log", "x", "-f", "1"}, "Option -f cannot be used with --log or --all!!\n"},
        {{"--all", "-D", "/tmp/x"}, "Option -D cannot be used with --log or --all!!\n"},
        {{"--file", "img", "--all"}, "Option --file cannot be used with --log or --all!!\n"},
        {{"--all", "-d", "--cursor-file", "c"},
         "Option --cursor-file cannot be used with --log or --all!!\n"},
        {{"--log", "x", "--all"}, "Option --log cannot be used with --all!!\n"},
        {{"--list", "-d"}, "Option -d cannot be used with --list!!\n"},
        {{"--log", "a/b"}, "Wrong value[a/b] for option --log!!\n"},
    };
    std::string usage = runTool(kTool, {"-h"}).out;
    for (const Case& c : cases) {
        ToolResult r = runTool(kTool, c.args);
        EXPECT_EQ(r.out, c.message + usage) << c.args[0] << " " << c.args[1];
        EXPECT_EQ(r.exitStatus, 1);
    }
}

TEST_F(KqlogreaderMany, FollowsSeveralLogsAndLogsThatJoinAll) {
    TestSegment& a = log(0);
    a.appendNode("a before\n", 0, 2, 1, 0);
    std::string na = a.serviceName();
    BackgroundTool tool(kTool, {"--all", "-d", "-n"});
    ASSERT_TRUE(tool.started());
    std::string expected = banner(a.path()) + na + ": " + line(1, 0, "a before\n");
    ASSERT_TRUE(tool.waitForOut(expected.size(), 5000)) << tool.out();

    // A log created while following joins with its banner and its oldest
    // record; then both are followed as they are written.
    TestSegment& b = log(0);
    b.appendNode("b first\n", 0, 2, 5, 0);
    std::string nb = b.serviceName();
    expected += banner(b.path()) + nb + ": " + line(5, 0, "b first\n");
    ASSERT_TRUE(tool.waitForOut(expected.size(), 5000)) << tool.out();
    for (int i = 0; i < 3; ++i) {
        a.appendNode("a " + std::to_string(i) + "\n", 0, 2, 6, 0);
        b.appendNode("b " + std::to_string(i) + "\n", 0, 2, 7, 0);
        expected += na + ": " + line(6, 0, "a " + std::to_string(i) + "\n") +
                    nb + ": " + line(7, 0, "b " + std::to_string(i) + "\n");
        ASSERT_TRUE(tool.waitForOut(expected.size(), 5000)) << tool.out();
    }
    EXPECT_EQ(tool.out(), expected);
    ASSERT_TRUE(tool.sendSignal(SIGTERM));
    tool.finish();
}

TEST_F(KqlogreaderMany, ListShowsEachLogInTextAndJson) {
    TestSegment& a = log(1765195200);  // 2025-12-08 12:00:00 UTC
    TestSegment& b = log(1765195200);
    a.appendNode("x\n", 0, 2, 61, 2500);  // 12:01:03.5
    // Attached: the test's own attachment, the tool's not counted.
    std::string na = a.serviceName(), nb = b.serviceName();

    ToolResult r = runTool(kTool, {"--list", "--log", na, "--log", nb},
                           {"TZ=Europe/Berlin"});
    auto row = [&](const std::string& name, const char* used, const char* newest) {
        char buf[256];
        snprintf(buf, sizeof(buf), "%-*s %12d %12s %4d %8d %-25s %s\n",
                 int(name.size()), name.c_str(), 4096, used, 1, 1,
                 "2025-12-08T13:00:00+01:00", newest);
        return std::string(buf);
    };
    char header[256];
    snprintf(header, sizeof(header), "%-*s %12s %12s %4s %8s %-25s %s\n",
             int(na.size()), "LOG", "SIZE", "USED", "TAGS", "ATTACHED",
             "STARTED", "NEWEST");
    EXPECT_EQ(r.out, header + row(na, "12", "2025-12-08T13:01:03+01:00") +
                         row(nb, "0", "-"));
    EXPECT_EQ(r.exitStatus, 0);

    r = runTool(kTool, {"--list", "--output", "json"}, {"TZ=UTC"});
    std::vector<std::string> lines = splitLines(r.out);
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> expected = {
        "{\"log\":\"" + na + "\",\"size\":4096,\"used\":12,\"tags\":1,"
        "\"attached\":1,\"started\":\"2025-12-08T12:00:00+00:00\","
        "\"newest\":\"2025-12-08T12:01:03+00:00\"}",
        "{\"log\":\"" + nb + "\",\"size\":4096,\"used\":0,\"tags\":1,"
        "\"attached\":1,\"started\":\"2025-12-08T12:00:00+00:00\","
        "\"newest\":null}"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
}

}  // namespace
