// kqlogreader as a shipper's follower, run as a process on real segments
// under /var/run/: --cursor-file (where a run begins and what it leaves for
// the next one, across SIGKILL and SIGTERM), and a follower whose log path
// is deleted and made again, or gone for good.
#include <gtest/gtest.h>
#include <signal.h>
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

// Follows until pred holds for what the tool printed.
template <class Pred>
bool awaitOut(BackgroundTool& tool, Pred pred, int timeoutMs = 5000) {
    for (int waited = 0;; waited += 10) {
        if (pred(tool.out())) return true;
        if (waited >= timeoutMs) return false;
        tool.waitForOut(std::string::npos, 10);
    }
}

// Follows until the tool has printed want (as the tail of what it printed).
bool awaitTexts(BackgroundTool& tool, const std::vector<std::string>& want) {
    return awaitOut(tool, [&](const std::string& out) {
        std::vector<std::string> got = loggedTexts(out);
        return got.size() >= want.size() &&
               std::equal(want.begin(), want.end(), got.end() - want.size());
    });
}

bool awaitFile(const std::string& path, const std::string& want,
               int timeoutMs = 5000) {
    for (int waited = 0;; waited += 10) {
        if (readFile(path) == want) return true;
        if (waited >= timeoutMs) return false;
        sleepMs(10);
    }
}

// Sends sig and reaps the tool, which sig must have ended.
ToolResult stopWith(BackgroundTool& tool, int sig) {
    tool.sendSignal(sig);
    ToolResult r = tool.finish();
    EXPECT_EQ(r.termSignal, sig);
    return r;
}

std::string numbered(int n) { return "line " + std::to_string(n); }

std::vector<std::string> numbers(int from, int to) {
    std::vector<std::string> v;
    for (int i = from; i < to; ++i) v.push_back(numbered(i));
    return v;
}

// A log under /var/run/ with tag 0 named, and the arguments of a run with
// opts and a cursor file of its own.
struct CursorLog {
    TestSegment seg;
    TempDirectory dir;
    std::vector<std::string> args;

    CursorLog(uint32_t ringSize, std::vector<std::string> opts)
        : seg(ringSize, "/var/run") {
        if (seg.ok()) seg.setTag(0, "t");
        args = {"-p", seg.serviceName()};
        args.insert(args.end(), opts.begin(), opts.end());
        args.insert(args.end(), {"--cursor-file", cursor()});
    }
    bool ok() const { return seg.ok() && dir.ok(); }
    std::string cursor() const { return dir.file("cursor"); }
    std::string saved() const { return readFile(cursor()); }
    // Appends "line n\n" for n in [from, to); returns the cursor line that
    // names the last.
    std::string append(int from, int to) {
        std::string line;
        for (int n = from; n < to; ++n) {
            std::string text = numbered(n) + "\n";
            int32_t pos = seg.appendNode(text);
            KQLogCursor c;
            c.iStartTime = seg.head()->starttime;
            c.iPos = pos;
            memcpy(c.header, seg.ring() + pos, sizeof(c.header));
            c.nTextHash = KQLogTextHash(text.data(), text.size());
            char buf[KQ_CURSOR_LINE_SIZE];
            line.assign(buf, formatCursor(c, buf));
        }
        return line;
    }
};

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
    TempDirectory dir;
    ASSERT_TRUE(dir.ok());
    const std::string c = dir.file("cursor");
    const std::string needsD = "Option --cursor-file needs -d!!\n" + kUsage;
    const std::string empty =
        "Wrong value[] for option --cursor-file!!\n" + kUsage;
    auto conflict = [&](const char* opt) {
        return "Option " + std::string(opt) +
               " cannot be used with --cursor-file!!\n" + kUsage;
    };
    struct Case {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"-p", "x", "--cursor-file", c}, needsD},
        {{"-p", "x", "-n", "--cursor-file", c}, needsD},
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
        {{"-p", "x", "-d", "--cursor-file", ""}, empty},
        {{"-p", "x", "-d", "--cursor-file="}, empty},
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
    CursorLog log(8192, {"-d"});
    ASSERT_TRUE(log.ok());
    std::string last = log.append(0, 3);
    ToolResult r = runTool(kTool, log.args);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(loggedTexts(r.out), numbers(0, 3));
    EXPECT_EQ(log.saved(), last);

    r = runTool(kTool, log.args);
    EXPECT_EQ(r.out, banner(log.seg.path()));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(log.saved(), last);

    last = log.append(3, 5);
    r = runTool(kTool, log.args);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(loggedTexts(r.out), numbers(3, 5));
    EXPECT_EQ(log.saved(), last);

    std::ofstream(log.cursor(), std::ios::trunc) << "kqcursor1 0 14\n";
    r = runTool(kTool, log.args);
    EXPECT_EQ(r.err, "kqlogreader: cursor file [" + log.cursor() +
                         "] is malformed, starting at the oldest record\n");
    EXPECT_EQ(loggedTexts(r.out), numbers(0, 5));
    EXPECT_EQ(log.saved(), last);
}

// The cursor's record is gone: evicted by the writer (the bytes from its
// successor to the oldest record are reported), or the log started over
// (the bytes are unknown). Either way, one lap line, then every retained
// record from the oldest, once.
TEST_F(KqlogreaderCursor, ARecordThatIsGoneIsReportedAsALap) {
    for (bool newLog : {false, true}) {
        SCOPED_TRACE(newLog ? "the log started over" : "evicted");
        CursorLog log(8192, {"-d"});
        ASSERT_TRUE(log.ok());
        // "line N\n": 7 bytes, so node N starts at 17 * N.
        log.append(0, 3);
        ASSERT_EQ(loggedTexts(runTool(kTool, log.args).out).size(), 3u);
        log.append(3, 8);
        if (newLog)
            log.seg.head()->starttime = 1704067200;
        else
            log.seg.head()->logReadPos = 5 * 17;  // nodes 0 to 4 evicted

        ToolResult r = runTool(kTool, log.args);
        const int64_t lost = newLog ? 0 : 5 * 17 - 3 * 17;
        EXPECT_EQ(r.err, kLapped + std::to_string(lost) +
                             " bytes of log were overwritten before they "
                             "were read\n");
        EXPECT_EQ(loggedTexts(r.out), numbers(newLog ? 0 : 5, 8));
    }
}

// A shipper's follower killed with SIGKILL once it has saved its cursor,
// and started again while the writer goes on: what all its runs printed is
// what was written, each line once. While it follows it saves the cursor
// within a second of a new line; on SIGTERM it saves it before it dies.
TEST_F(KqlogreaderCursor, FollowerKilledAndRestartedPrintsEachLineOnce) {
    CursorLog log(64 * 1024, {"-d", "-n"});
    ASSERT_TRUE(log.ok());
    int next = 0;
    std::string lastCursor;
    auto write = [&](int n) {
        lastCursor = log.append(next, next + n);
        next += n;
        return numbers(next - n, next);
    };
    std::vector<std::string> printed;
    auto keep = [&](const ToolResult& r) {
        EXPECT_EQ(r.err, "");
        std::vector<std::string> texts = loggedTexts(r.out);
        printed.insert(printed.end(), texts.begin(), texts.end());
    };

    // Four runs, each started after lines were written while none ran, and
    // killed once its cursor names the last line written. The last one
    // also sees lines written while it follows: the first save comes at
    // once, the next within a second of the line, and SIGTERM saves the
    // cursor of the line printed last.
    for (int run = 0; run < 4; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        std::vector<std::string> before = write(run == 0 ? 5 : run < 3 ? 3 : 2);
        BackgroundTool tool(kTool, log.args);
        ASSERT_TRUE(tool.started());
        ASSERT_TRUE(awaitTexts(tool, before)) << tool.out();
        ASSERT_TRUE(awaitFile(log.cursor(), lastCursor)) << log.saved();
        if (run < 3) {
            keep(stopWith(tool, SIGKILL));
            continue;
        }
        ASSERT_TRUE(awaitTexts(tool, write(1)));
        EXPECT_TRUE(awaitFile(log.cursor(), lastCursor, 3000))
            << "no save while following";
        ASSERT_TRUE(awaitTexts(tool, write(1)));
        keep(stopWith(tool, SIGTERM));
        EXPECT_EQ(log.saved(), lastCursor);
    }
    EXPECT_EQ(printed, numbers(0, next));
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
    ToolResult r = stopWith(tool, SIGTERM);
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
    awaitOut(tool, [&](const std::string& out) {
        return out.find(told) != std::string::npos;
    });
    seg.appendNode("after\n");
    EXPECT_TRUE(awaitTexts(tool, {"after"}));
    sleepMs(100);  // more looks of the follower, none of which may say it again
    ToolResult r = stopWith(tool, SIGTERM);
    size_t at = r.out.find(told);
    ASSERT_NE(at, std::string::npos) << r.out.substr(0, 2000);
    EXPECT_EQ(r.out.find(told, at + 1), std::string::npos) << "said twice";
    EXPECT_EQ(loggedTexts(r.out), (std::vector<std::string>{"before", "after"}));
}
