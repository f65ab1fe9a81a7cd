// kqlogreader as a shipper's follower, run as a process on real segments
// under /var/run/: --cursor-file (where a run begins and what it leaves for
// the next one, across SIGKILL and SIGTERM), and a follower whose log path
// is deleted and made again, or gone for good.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CursorFile.h"
#include "KQShmLogStream.h"
#include "ReaderToolText.h"
#include "TestSegment.h"
#include "ToolRunner.h"
#include "writer_support.h"

namespace {

const std::string kTool = KQLOGREADER_PATH;
const std::string kUsage = kTool + kReaderUsageText;
const std::string kLapped = "kqlogreader: lapped by the writer: ";

void sleepMs(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A directory of its own under /tmp for cursor files, removed with what it
// holds when the test ends.
struct TempDir {
    std::string path = "/tmp/kqcur-XXXXXX";
    TempDir() {
        if (!mkdtemp(&path[0])) path.clear();
    }
    ~TempDir() {
        if (path.empty()) return;
        for (const char* name : {"cursor", "cursor.tmp"})
            unlink((path + "/" + name).c_str());
        rmdir(path.c_str());
    }
    std::string cursor() const { return path + "/cursor"; }
};

// Follows until the tool has printed want (as the tail of what it printed).
bool awaitTexts(BackgroundTool& tool, const std::vector<std::string>& want,
                int timeoutMs = 5000) {
    for (int waited = 0;; waited += 10) {
        std::vector<std::string> got = loggedTexts(tool.out());
        if (got.size() >= want.size() &&
            std::equal(want.begin(), want.end(), got.end() - want.size()))
            return true;
        if (waited >= timeoutMs) return false;
        tool.waitForOut(std::string::npos, 10);
    }
}

bool awaitFile(const std::string& path, const std::string& want,
               int timeoutMs = 5000) {
    for (int waited = 0;; waited += 10) {
        if (readFile(path) == want) return true;
        if (waited >= timeoutMs) return false;
        sleepMs(10);
    }
}

// The cursor line that names the node at pos of seg, whose text is text.
std::string cursorLine(TestSegment& seg, int32_t pos, const std::string& text) {
    KQLogCursor c;
    c.iStartTime = seg.head()->starttime;
    c.iPos = pos;
    memcpy(c.header, seg.ring() + pos, sizeof(c.header));
    c.nTextHash = KQLogTextHash(text.data(), text.size());
    char line[KQ_CURSOR_LINE_SIZE];
    return std::string(line, formatCursor(c, line));
}

std::string numbered(int n) { return "line " + std::to_string(n); }

// Deleting a log path frees its inode, which the next file made on the
// same file system may get back at once, and with it the key: a test
// elsewhere would then find this test's segment, which lives on, under its
// own new path. A second link keeps the inode taken until this object
// goes, after the segments (declare it before them).
class InodeKeeper {
public:
    InodeKeeper() = default;
    ~InodeKeeper() {
        if (!m_strLink.empty()) unlink(m_strLink.c_str());
    }
    InodeKeeper(const InodeKeeper&) = delete;
    InodeKeeper& operator=(const InodeKeeper&) = delete;
    bool keep(const std::string& path) {
        m_strLink = path + ".keep";
        if (link(path.c_str(), m_strLink.c_str()) == 0) return true;
        m_strLink.clear();
        return false;
    }

private:
    std::string m_strLink;
};

class KqlogreaderCursor : public VarRunTest {};

}  // namespace

// ---- The option -------------------------------------------------------------

// Refused, before anything is attached, without -d and with an option that
// chooses another start or ends the run before -d prints.
TEST_F(KqlogreaderCursor, RefusedWithoutDOrWithAnotherStart) {
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string c = dir.cursor();
    auto conflict = [&](const char* opt) {
        return "Option " + std::string(opt) +
               " cannot be used with --cursor-file!!\n" + kUsage;
    };
    struct Case {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"-p", "x", "--cursor-file", c},
         "Option --cursor-file needs -d!!\n" + kUsage},
        {{"-p", "x", "-n", "--cursor-file", c},
         "Option --cursor-file needs -d!!\n" + kUsage},
        {{"-p", "x", "-d", "-e", "--cursor-file", c}, conflict("-e")},
        {{"-p", "x", "--cursor-file", c, "-dne"}, conflict("-e")},
        {{"-p", "x", "-d", "--lines", "3", "--cursor-file", c},
         conflict("--lines")},
        {{"-p", "x", "-d", "-s", "--cursor-file", c}, conflict("-s")},
        {{"-p", "x", "-d", "-D", "/tmp/x", "--cursor-file", c},
         conflict("-D")},
        {{"--file", "/tmp/x", "-d", "--cursor-file", c}, conflict("--file")},
        // The first on the command line is named.
        {{"-p", "x", "-d", "--lines=1", "-e", "--cursor-file", c},
         conflict("--lines")},
        {{"-p", "x", "-d", "--cursor-file", ""},
         "Wrong value[] for option --cursor-file!!\n" + kUsage},
        {{"-p", "x", "-d", "--cursor-file="},
         "Wrong value[] for option --cursor-file!!\n" + kUsage},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(::testing::PrintToString(k.args));
        ToolResult r = runTool(kTool, k.args);
        EXPECT_EQ(r.out, k.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_NE(access(c.c_str(), F_OK), 0) << "a cursor file was made";
    }
}

// Printing once: the first run (no file yet) prints everything and leaves
// the cursor of the last record; each later run prints what came since.
// A file that is no cursor costs a run from the oldest record, with a word
// on standard error.
TEST_F(KqlogreaderCursor, PrintingOnceGoesOnWhereTheLastRunStopped) {
    TestSegment seg(8192, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "t");
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::vector<std::string> args = {"-p", seg.serviceName(), "-d",
                                           "--cursor-file", dir.cursor()};
    int32_t pos = 0;
    for (int i = 0; i < 3; ++i) pos = seg.appendNode(numbered(i) + "\n");

    ToolResult r = runTool(kTool, args);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(loggedTexts(r.out), (std::vector<std::string>{
                                      numbered(0), numbered(1), numbered(2)}));
    EXPECT_EQ(readFile(dir.cursor()), cursorLine(seg, pos, numbered(2) + "\n"));

    r = runTool(kTool, args);
    EXPECT_EQ(r.out, banner(seg.path()));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(dir.cursor()), cursorLine(seg, pos, numbered(2) + "\n"));

    for (int i = 3; i < 5; ++i) pos = seg.appendNode(numbered(i) + "\n");
    r = runTool(kTool, args);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(loggedTexts(r.out),
              (std::vector<std::string>{numbered(3), numbered(4)}));
    EXPECT_EQ(readFile(dir.cursor()), cursorLine(seg, pos, numbered(4) + "\n"));

    std::ofstream(dir.cursor(), std::ios::trunc) << "kqcursor1 0 14\n";
    r = runTool(kTool, args);
    EXPECT_EQ(r.err, "kqlogreader: cursor file [" + dir.cursor() +
                         "] is malformed, starting at the oldest record\n");
    EXPECT_EQ(loggedTexts(r.out).size(), 5u);
    EXPECT_EQ(readFile(dir.cursor()), cursorLine(seg, pos, numbered(4) + "\n"));
}

// The cursor's record is gone: evicted by the writer (the bytes from its
// successor to the oldest record are reported), or the log started over
// (the bytes are unknown). Either way, one lap line, then every retained
// record from the oldest, once.
TEST_F(KqlogreaderCursor, ARecordThatIsGoneIsReportedAsALap) {
    for (bool newLog : {false, true}) {
        SCOPED_TRACE(newLog ? "the log started over" : "evicted");
        TestSegment seg(8192, "/var/run");
        ASSERT_TRUE(seg.ok());
        seg.setTag(0, "t");
        TempDir dir;
        ASSERT_FALSE(dir.path.empty());
        const std::vector<std::string> args = {"-p", seg.serviceName(), "-d",
                                               "--cursor-file", dir.cursor()};
        // "line N\n": 7 bytes, so node N starts at 17 * N.
        for (int i = 0; i < 3; ++i) seg.appendNode(numbered(i) + "\n");
        ASSERT_EQ(loggedTexts(runTool(kTool, args).out).size(), 3u);
        for (int i = 3; i < 8; ++i) seg.appendNode(numbered(i) + "\n");
        if (newLog)
            seg.head()->starttime = 1704067200;
        else
            seg.head()->logReadPos = 5 * 17;  // nodes 0 to 4 evicted

        ToolResult r = runTool(kTool, args);
        const int64_t lost = newLog ? 0 : 5 * 17 - 3 * 17;
        EXPECT_EQ(r.err, kLapped + std::to_string(lost) +
                             " bytes of log were overwritten before they "
                             "were read\n");
        std::vector<std::string> want;
        for (int i = newLog ? 0 : 5; i < 8; ++i) want.push_back(numbered(i));
        EXPECT_EQ(loggedTexts(r.out), want);
    }
}

// A shipper's follower killed with SIGKILL once it has saved its cursor,
// and started again while the writer goes on: what all its runs printed is
// what was written, each line once. While it follows it saves the cursor
// within a second of a new line; on SIGTERM it saves it before it dies.
TEST_F(KqlogreaderCursor, FollowerKilledAndRestartedPrintsEachLineOnce) {
    TestSegment seg(64 * 1024, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "t");
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::vector<std::string> args = {"-p", seg.serviceName(), "-d", "-n",
                                           "--cursor-file", dir.cursor()};
    int next = 0;
    std::string lastCursor;
    auto write = [&](int n) {
        std::vector<std::string> texts;
        for (int i = 0; i < n; ++i, ++next) {
            std::string text = numbered(next) + "\n";
            lastCursor = cursorLine(seg, seg.appendNode(text), text);
            texts.push_back(numbered(next));
        }
        return texts;
    };
    std::vector<std::string> printed;

    // Three runs, each killed once its cursor names the last line written;
    // lines are written while no follower runs.
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        std::vector<std::string> before = write(run == 0 ? 5 : 3);
        BackgroundTool tool(kTool, args);
        ASSERT_TRUE(tool.started());
        ASSERT_TRUE(awaitTexts(tool, before)) << tool.out();
        ASSERT_TRUE(awaitFile(dir.cursor(), lastCursor)) << readFile(dir.cursor());
        tool.sendSignal(SIGKILL);
        ToolResult r = tool.finish();
        EXPECT_EQ(r.termSignal, SIGKILL);
        EXPECT_EQ(r.err, "");
        std::vector<std::string> texts = loggedTexts(r.out);
        printed.insert(printed.end(), texts.begin(), texts.end());
    }

    // The last run: a line written while it follows is saved (the first
    // save comes at once, the next within a second of the line), and
    // SIGTERM saves the cursor of the line printed last.
    std::vector<std::string> before = write(2);
    BackgroundTool tool(kTool, args);
    ASSERT_TRUE(tool.started());
    ASSERT_TRUE(awaitTexts(tool, before)) << tool.out();
    ASSERT_TRUE(awaitFile(dir.cursor(), lastCursor));
    std::vector<std::string> during = write(1);
    ASSERT_TRUE(awaitTexts(tool, during));
    EXPECT_TRUE(awaitFile(dir.cursor(), lastCursor, 3000))
        << "no save while following";
    during = write(1);
    ASSERT_TRUE(awaitTexts(tool, during));
    tool.sendSignal(SIGTERM);
    ToolResult r = tool.finish();
    EXPECT_EQ(r.termSignal, SIGTERM);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(dir.cursor()), lastCursor);
    std::vector<std::string> texts = loggedTexts(r.out);
    printed.insert(printed.end(), texts.begin(), texts.end());

    std::vector<std::string> want;
    for (int i = 0; i < next; ++i) want.push_back(numbered(i));
    EXPECT_EQ(printed, want);
}

// ---- The log path replaced or gone ------------------------------------------

// The log path deleted and made again (another inode, so another key and
// another segment; the old segment lives on): the follower moves to the
// new log once its writer has made it, and prints it from its oldest line.
TEST_F(KqlogreaderCursor, FollowerMovesToALogPathMadeAgain) {
    InodeKeeper keeper;
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    auto kqlogger = [&](const std::string& text) {
        ToolResult r =
            runTool(KQLOGGER_PATH, {"-p", lp.serviceName(), "-t", "t", text});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
    };
    kqlogger("old");
    BackgroundTool tool(kTool, {"-p", lp.serviceName(), "-d", "-n"});
    ASSERT_TRUE(tool.started());
    ASSERT_TRUE(awaitTexts(tool, {"old"}));

    // A file made anew would get the freed inode back at once here: the
    // new one is made first, with a key no segment holds, and takes the
    // path's place once the old file is deleted.
    ScratchLogPath fresh("/var/run");
    ASSERT_TRUE(fresh.ok());
    ASSERT_TRUE(keeper.keep(lp.path()));
    ASSERT_EQ(unlink(lp.path().c_str()), 0);
    ASSERT_EQ(link(fresh.path().c_str(), lp.path().c_str()), 0);
    ASSERT_EQ(unlink(fresh.path().c_str()), 0);
    kqlogger("new one");
    kqlogger("new two");
    EXPECT_TRUE(awaitTexts(tool, {"new one", "new two"})) << tool.out();
    tool.sendSignal(SIGTERM);
    ToolResult r = tool.finish();
    EXPECT_EQ(r.termSignal, SIGTERM);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(loggedTexts(r.out),
              (std::vector<std::string>{"old", "new one", "new two"}));
}

// A log path gone for good: the follower reads the old segment on as long
// as its writer writes there, and with -V says once why.
TEST_F(KqlogreaderCursor, LogPathGoneForGoodIsSaidOnce) {
    InodeKeeper keeper;
    TestSegment seg(4096, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "t");
    seg.appendNode("before\n");
    BackgroundTool tool(kTool, {"-p", seg.serviceName(), "-d", "-n", "-V"});
    ASSERT_TRUE(tool.started());
    ASSERT_TRUE(awaitTexts(tool, {"before"}));
    ASSERT_TRUE(keeper.keep(seg.path()));
    ASSERT_EQ(unlink(seg.path().c_str()), 0);
    const std::string told = "Log path [" + seg.path() +
                             "] gone, reading the old segment while it lives\n";
    for (int waited = 0; waited < 5000 && tool.out().find(told) == std::string::npos;
         waited += 10)
        tool.waitForOut(std::string::npos, 10);
    seg.appendNode("after\n");
    EXPECT_TRUE(awaitTexts(tool, {"after"}));
    sleepMs(100);  // more looks of the follower, none of which may say it again
    tool.sendSignal(SIGTERM);
    ToolResult r = tool.finish();
    EXPECT_EQ(r.termSignal, SIGTERM);
    size_t at = r.out.find(told);
    ASSERT_NE(at, std::string::npos) << r.out.substr(0, 2000);
    EXPECT_EQ(r.out.find(told, at + 1), std::string::npos) << "said twice";
    EXPECT_EQ(loggedTexts(r.out), (std::vector<std::string>{"before", "after"}));
}
