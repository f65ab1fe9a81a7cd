// kqlogreader following a log (-d -n) while the world changes under it: the
// segment is removed, the log path deleted, the writer restarts (zeroing
// the segment in place or replacing it with a larger one), or is killed
// mid-write over and over and restarted on the same segment. The follower
// must keep printing what is written, each line once and whole, and die
// only by the signal the test sends.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "KQShmLogWriter.h"
#include "TestSegment.h"
#include "ToolRunner.h"
#include "writer_support.h"

namespace {

const std::string kTool = KQLOGREADER_PATH;
const uint32_t kHdr = sizeof(shmloghead);
const char kFailed[] = "nextLog return false!!";
const std::string kLapped = "kqlogreader: lapped by the writer: ";

void sleepMs(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// Follows for a while until every text of want has been printed.
bool awaitTexts(BackgroundTool& tool, const std::vector<std::string>& want,
                int timeoutMs = 5000) {
    for (int waited = 0;; waited += 20) {
        std::vector<std::string> got = loggedTexts(tool.out());
        size_t n = 0;
        for (const std::string& t : got)
            if (n < want.size() && t == want[n]) ++n;
        if (n == want.size()) return true;
        if (waited >= timeoutMs) return false;
        tool.waitForOut(std::string::npos, 20);
    }
}

std::vector<std::string> numbered(const std::string& prefix, int n) {
    std::vector<std::string> v;
    for (int i = 0; i < n; ++i) v.push_back(prefix + " " + std::to_string(i));
    return v;
}

class FaultFollow : public VarRunTest {};

// ---- The segment or its log path goes away ---------------------------------

// The writer keeps its attachment and writes on; the follower, attached to
// the same memory, prints on. With -V it says once that the segment is gone.
TEST_F(FaultFollow, SegmentRemovedOrLogPathDeletedWhileFollowing) {
    struct Case {
        const char* name;
        bool removeSegment, deletePath, verbose;
    } cases[] = {
        {"segment removed", true, false, false},
        {"log path deleted", false, true, false},
        {"both", true, true, false},
        {"segment removed, verbose", true, false, true},
    };
    // A deleted log path's inode is kept by a second link until the segment
    // is gone: a parallel test's new file could otherwise get that inode,
    // so its key, and find this segment under it. Destroyed after seg.
    struct InodeKeeper {
        std::string strLink;
        ~InodeKeeper() {
            if (!strLink.empty()) unlink(strLink.c_str());
        }
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InodeKeeper keeper;
        TestSegment seg(4096, "/var/run");
        ASSERT_TRUE(seg.ok());
        seg.setTag(0, "t");
        seg.appendNode("before\n");
        std::vector<std::string> args = {"-p", seg.serviceName(), "-d", "-n"};
        if (c.verbose) args.push_back("-V");
        BackgroundTool tool(kTool, args);
        ASSERT_TRUE(tool.started());
        ASSERT_TRUE(awaitTexts(tool, {"before"}));
        if (c.removeSegment) {
            ASSERT_EQ(shmctl(seg.shmId(), IPC_RMID, nullptr), 0);
        }
        if (c.deletePath) {
            keeper.strLink = seg.path() + ".kept";
            ASSERT_EQ(link(seg.path().c_str(), keeper.strLink.c_str()), 0);
            ASSERT_EQ(unlink(seg.path().c_str()), 0);
        }
        sleepMs(50);  // a few polls of the follower meanwhile
        std::vector<std::string> after = numbered("after", 5);
        for (const std::string& t : after) seg.appendNode(t + "\n");
        EXPECT_TRUE(awaitTexts(tool, after)) << tool.out();
        tool.sendSignal(SIGTERM);
        ToolResult r = tool.finish();
        EXPECT_EQ(r.termSignal, SIGTERM);
        EXPECT_EQ(r.err, "");
        if (!c.verbose) {
            std::vector<std::string> want = {"before"};
            want.insert(want.end(), after.begin(), after.end());
            std::vector<std::string> other;
            EXPECT_EQ(loggedTexts(r.out, &other), want);
            EXPECT_EQ(other, std::vector<std::string>{"LogPath [" + seg.path() + "]"});
        } else {
            std::string told = "Shm removed, waiting for a new one under [" + seg.path() + "]\n";
            size_t at = r.out.find(told);
            EXPECT_NE(at, std::string::npos) << r.out;
            EXPECT_EQ(r.out.find(told, at + 1), std::string::npos) << "said twice";
        }
    }
}

// ---- Writer restarts -------------------------------------------------------

// A writer of the old kind: GetShm (which zeroes a segment of the size asked
// for in place, or replaces a smaller one), then header and nodes by hand.
class GetShmWriter {
public:
    explicit GetShmWriter(const std::string& path) : m_strPath(path) {}
    ~GetShmWriter() {
        if (m_pHead) shmdt(m_pHead);
    }
    void start(uint32_t ringSize) {
        if (m_pHead) shmdt(m_pHead);
        testing::internal::CaptureStderr();  // "shmget failed" when it creates
        m_pHead = static_cast<shmloghead*>(GetShm(m_strPath.c_str(), int(kHdr + ringSize)));
        testing::internal::GetCapturedStderr();
        m_pHead->hdrsize = kHdr;
        m_pHead->logbufsize = ringSize;
        memcpy(m_pHead->logInfos[0].strLogTag, "t", 2);
        m_pHead->logInfos[0].nLogLevel = 2;
        m_pHead->logInfos[0].bEnable = 1;
        m_pHead->currLogInfoIndex = 1;
        __atomic_store_n(&m_pHead->magic, KQLOG_MAGIC, __ATOMIC_RELEASE);
    }
    // Appends by the ring rules; the tests write far less than a ring.
    void append(const std::string& text) {
        uint8_t* ring = reinterpret_cast<uint8_t*>(m_pHead) + kHdr;
        int32_t pos = m_pHead->logWritePos;
        int32_t next = pos + int32_t(text.size()) + 10;
        // End marker first, size byte last: a reader sees the old end
        // marker or the whole node.
        std::vector<uint8_t> node(text.size() + 10);
        writeNodeAt(node.data(), 0, text, 0, 2, 0, 0);
        ring[next] = 0;
        memcpy(ring + pos + 1, node.data() + 1, node.size() - 1);
        __atomic_store_n(ring + pos, node[0], __ATOMIC_RELEASE);
        __atomic_store_n(&m_pHead->logWritePos, next, __ATOMIC_RELEASE);
    }

private:
    std::string m_strPath;
    shmloghead* m_pHead = nullptr;
};

struct Restart {
    const char* name;
    bool seekEnd;     // -e
    uint32_t newRing;  // 4096: zeroed in place; larger: replaced
    bool byKqlogger;  // the writer library (kqlogger) instead of GetShm
    int pauseMs;      // between the restart and the first new line
};

void PrintTo(const Restart& r, std::ostream* os) { *os << r.name; }

class FaultFollowRestart : public FaultFollow,
                           public ::testing::WithParamInterface<Restart> {};

// Lines written after the restart all come out, once each, after the
// lines from before; nothing but the tool's own failure lines in between.
TEST_P(FaultFollowRestart, LinesAfterTheRestartArePrinted) {
    const Restart& c = GetParam();
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    GetShmWriter old(lp.path());
    auto kqlogger = [&](const std::vector<std::string>& extra, const std::string& text) {
        std::vector<std::string> args = {"-p", lp.serviceName(), "-t", "t"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(text);
        ToolResult r = runTool(KQLOGGER_PATH, args);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
    };
    if (c.byKqlogger) {
        kqlogger({"-b", "4096"}, "created");
    } else {
        old.start(4096);
    }
    std::vector<std::string> args = {"-p", lp.serviceName(), "-d", "-n"};
    if (c.seekEnd) args.push_back("-e");
    BackgroundTool tool(kTool, args);
    ASSERT_TRUE(tool.started());
    ASSERT_TRUE(tool.waitForOut(("LogPath [" + lp.path() + "]\n").size(), 5000));
    sleepMs(20);

    // Lines of lengths that put no node boundary of the new log where the
    // follower's cursor stands: it must notice the restart, not land on a
    // node by chance.
    std::vector<std::string> before = numbered("before", 5);
    for (const std::string& t : before) {
        if (c.byKqlogger) kqlogger({}, t);
        else old.append(t + "\n");
    }
    ASSERT_TRUE(awaitTexts(tool, before)) << tool.out();

    std::vector<std::string> after = numbered("after the restart", 20);
    GetShmWriter restarted(lp.path());
    if (c.byKqlogger) {
        kqlogger({"-b", std::to_string(c.newRing)}, after[0]);
    } else {
        restarted.start(c.newRing);
        sleepMs(c.pauseMs);
        restarted.append(after[0] + "\n");
    }
    for (size_t i = 1; i < after.size(); ++i) {
        if (c.byKqlogger) kqlogger({}, after[i]);
        else restarted.append(after[i] + "\n");
        sleepMs(2);
    }
    EXPECT_TRUE(awaitTexts(tool, after)) << tool.out();

    tool.sendSignal(SIGTERM);
    ToolResult r = tool.finish();
    EXPECT_EQ(r.termSignal, SIGTERM);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> other;
    std::vector<std::string> texts = loggedTexts(r.out, &other);
    std::vector<std::string> want = c.byKqlogger && !c.seekEnd
                                        ? std::vector<std::string>{"created"}
                                        : std::vector<std::string>{};
    want.insert(want.end(), before.begin(), before.end());
    want.insert(want.end(), after.begin(), after.end());
    EXPECT_EQ(texts, want);
    // A new segment whose magic is not written yet is passed over quietly.
    for (size_t i = 1; i < other.size(); ++i)
        EXPECT_TRUE(other[i] == kFailed)
            << other[i];
}

INSTANTIATE_TEST_SUITE_P(
    Restarts, FaultFollowRestart,
    ::testing::Values(
        Restart{"SameSizeZeroedInPlace", false, 4096, false, 100},
        Restart{"SameSizeZeroedInPlaceFromTheEnd", true, 4096, false, 100},
        Restart{"SameSizeWritingAtOnceFromTheEnd", true, 4096, false, 0},
        Restart{"LargerReplaced", false, 8192, false, 100},
        Restart{"LargerReplacedFromTheEnd", true, 8192, false, 100},
        Restart{"LargerReplacedWritingAtOnce", false, 8192, false, 0},
        Restart{"LargerByTheWriterLibrary", false, 8192, true, 0},
        Restart{"LargerByTheWriterLibraryFromTheEnd", true, 8192, true, 0}),
    [](const ::testing::TestParamInfo<Restart>& p) { return std::string(p.param.name); });

// ---- Writers killed mid-write ------------------------------------------------

std::string killText(int gen, int seq) {
    std::string text = "g" + std::to_string(gen) + " " + std::to_string(seq) + " ";
    text += std::string(size_t((seq * 37 + gen * 11) % 120), char('a' + (seq + gen) % 26));
    return text + " end\n";
}

// A writer process: attaches the log (creating it the first time), tells
// the parent on fd whether it found the log of its predecessors ('A') or
// started a new one ('F'), then writes as fast as it can until killed.
[[noreturn]] void writerChild(const ScratchLogPath& lp, int gen, int fd, int ringSize) {
    IKQLOGWriter* pWriter = IKQLOGWriter::getInst();
    if (!pWriter->init(lp.path().c_str(), ringSize)) _exit(2);
    char found = 'F';
    {
        SegmentPeek seg(lp.key());
        if (seg.ok() && seg.head()->currLogInfoIndex > 0) found = 'A';
    }
    KQLogId id = pWriter->registerTag("k", KQLOG_LEVEL_TRACE);
    if (write(fd, &found, 1) != 1) _exit(3);
    for (int seq = 0;; ++seq) {
        std::string text = killText(gen, seq);
        pWriter->log(id, KQLOG_LEVEL_INFO, text.data(), text.size());
    }
}

// Writers are killed with SIGKILL at random points, many times, each
// restarted at once on the same segment. Every restart carries on the log
// it finds; the follower prints only whole lines, each at most once and in
// order; the lines of a last, orderly writer all come out.
TEST_F(FaultFollow, WritersKilledMidWriteAndRestarted) {
    const int kRing = 2048, kGenerations = 60;
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    unsigned seed = unsigned(time(nullptr));
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);

    std::unique_ptr<BackgroundTool> tool;
    int fresh = 0, shmId = -1, kills = 0;
    for (int gen = 0; gen < kGenerations; ++gen) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(fds[0]);
            writerChild(lp, gen, fds[1], kRing);
        }
        close(fds[1]);
        struct pollfd pfd = {fds[0], POLLIN, 0};
        char found = 0;
        bool ready = poll(&pfd, 1, 5000) == 1 && read(fds[0], &found, 1) == 1;
        close(fds[0]);
        if (ready) {
            if (gen == 0) {
                shmId = lp.shmId();
                tool.reset(new BackgroundTool(kTool, {"-p", lp.serviceName(), "-d", "-n", "-e"}));
            } else {
                fresh += found == 'F';
                EXPECT_EQ(lp.shmId(), shmId) << "generation " << gen;
            }
            struct timespec pause = {0, long(rng() % 4000000)};
            nanosleep(&pause, nullptr);
        }
        // Keep the follower's pipes drained, as a reader of its output
        // would: a follower blocked on a full pipe falls behind for good.
        if (tool) tool->waitForOut(std::string::npos, 1);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(ready) << "generation " << gen << " did not start, status " << status;
        kills += WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }
    EXPECT_EQ(kills, kGenerations);
    EXPECT_EQ(fresh, 0) << "restarts that dropped the log they found";

    // The last writer, in this process, writes slowly and stays.
    IKQLOGWriter* pWriter = IKQLOGWriter::getInst();
    ASSERT_TRUE(pWriter->init(lp.path().c_str(), 0));
    KQLogId id = pWriter->registerTag("k", KQLOG_LEVEL_TRACE);
    std::vector<std::string> last;
    for (int seq = 0; seq < 30; ++seq) {
        std::string text = killText(kGenerations, seq);
        ASSERT_TRUE(pWriter->log(id, KQLOG_LEVEL_INFO, text.c_str()));
        text.pop_back();
        last.push_back(text);
        sleepMs(2);
    }
    EXPECT_TRUE(awaitTexts(*tool, last)) << tool->out().substr(0, 2000);
    {
        SegmentPeek seg(lp.key());
        std::vector<NodeSeen> nodes;
        EXPECT_TRUE(seg.walk(nodes)) << "the chain is broken";
    }
    tool->sendSignal(SIGTERM);
    ToolResult r = tool->finish();
    EXPECT_EQ(r.termSignal, SIGTERM);
    // Writers this fast lap the follower: each lap is reported, nothing else.
    for (const std::string& line : splitLines(r.err))
        EXPECT_EQ(line.rfind(kLapped, 0), 0u) << line;

    // Whole lines only, each generation's in order, none twice.
    std::vector<std::string> other;
    std::map<int, int> lastSeq;
    size_t printed = 0;
    for (const std::string& text : loggedTexts(r.out, &other)) {
        int gen = -1, seq = -1;
        ASSERT_EQ(sscanf(text.c_str(), "g%d %d", &gen, &seq), 2) << "torn: " << text;
        ASSERT_EQ(text + "\n", killText(gen, seq)) << "torn";
        auto it = lastSeq.find(gen);
        if (it != lastSeq.end()) {
            EXPECT_GT(seq, it->second) << "printed twice or out of order: " << text;
        }
        lastSeq[gen] = seq;
        ++printed;
    }
    for (size_t i = 1; i < other.size(); ++i) EXPECT_EQ(other[i], kFailed);
    EXPECT_GT(printed, last.size());
}

// ---- Writers that die or leave something else behind -------------------------

// A writer killed after publishing a node but before moving logWritePos
// past it leaves that node at logWritePos and an end marker after it. The
// follower prints the node, then must take the end marker after it for the
// end (not for a lap, which would print every retained line again), and go
// on once a restarted writer has moved logWritePos on.
TEST_F(FaultFollow, WriterKilledAfterPublishingCausesNoReprint) {
    for (bool seekEnd : {false, true}) {
        SCOPED_TRACE(seekEnd ? "-d -n -e" : "-d -n");
        TestSegment seg(4096, "/var/run");
        ASSERT_TRUE(seg.ok());
        seg.setTag(0, "t");
        std::vector<std::string> args = {"-p", seg.serviceName(), "-d", "-n"};
        if (seekEnd) args.push_back("-e");
        BackgroundTool tool(kTool, args);
        ASSERT_TRUE(tool.started());
        ASSERT_TRUE(tool.waitForOut(("LogPath [" + seg.path() + "]\n").size(), 5000));
        sleepMs(20);
        seg.appendNode("one\n");
        seg.appendNode("two\n");
        ASSERT_TRUE(awaitTexts(tool, {"one", "two"}));
        // The killed writer's last node: published, logWritePos not moved.
        int32_t pos = seg.head()->logWritePos;
        seg.appendNode("three\n");
        int32_t next = seg.head()->logWritePos;
        seg.head()->logWritePos = pos;
        sleepMs(200);  // many polls of the follower meanwhile
        // A restarted writer carries the log on past the node.
        seg.head()->logWritePos = next;
        EXPECT_TRUE(awaitTexts(tool, {"one", "two", "three"}));
        sleepMs(50);
        tool.sendSignal(SIGTERM);
        ToolResult r = tool.finish();
        EXPECT_EQ(loggedTexts(r.out), (std::vector<std::string>{"one", "two", "three"}));
    }
}

// When the segment under the log path is replaced by one that is no log
// (wrong magic), the follower tries it again and again: quietly, keeping no
// attachment of it.
TEST_F(FaultFollow, ReplacedByANonLogSegmentIsTriedQuietly) {
    TestSegment seg(4096, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "t");
    seg.appendNode("one\n");
    BackgroundTool tool(kTool, {"-p", seg.serviceName(), "-d", "-n"});
    ASSERT_TRUE(tool.started());
    ASSERT_TRUE(awaitTexts(tool, {"one"}));
    ASSERT_EQ(shmctl(seg.shmId(), IPC_RMID, nullptr), 0);
    key_t key = ftok(seg.path().c_str(), 0);
    int other = shmget(key, kHdr + 4096, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_NE(other, -1);
    struct Remove {
        int id;
        ~Remove() { shmctl(id, IPC_RMID, nullptr); }
    } removeOther{other};  // zero-filled: no magic
    sleepMs(300);
    struct shmid_ds ds;
    ASSERT_EQ(shmctl(other, IPC_STAT, &ds), 0);
    tool.sendSignal(SIGTERM);
    ToolResult r = tool.finish();
    EXPECT_LE(ds.shm_nattch, 1u) << "attachments the follower kept";
    size_t told = 0;
    for (size_t at = 0; (at = r.out.find("Magic code not match", at)) != std::string::npos; ++at)
        ++told;
    EXPECT_LE(told, 1u);
}

}  // namespace
