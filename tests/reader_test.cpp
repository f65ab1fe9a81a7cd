// The reader object on real segments: attaching, tag-table operations,
// cursor movement, node checks and dumps.
#include <gtest/gtest.h>

#include <sys/shm.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KQShmLogReaderImp.h"
#include "KQShmLogStream.h"
#include "TestSegment.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

std::string capturedStdout() {
    fflush(stdout);
    return GetCapturedStdout();
}

class ReaderTest : public testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        ASSERT_TRUE(seg.ok());
    }
    void TearDown() override { g_bVerbose = false; }

    bool attach(bool verbose = false) { return reader.init(seg.path().c_str(), verbose); }

    TestSegment seg{1024};
    CKQLOGReaderImp reader;
};

}  // namespace

TEST_F(ReaderTest, DetachedReaderGivesDetachedAnswers) {
    EXPECT_EQ(reader.getLogLevel(0), KQLOG_LEVEL_NONE);
    EXPECT_EQ(reader.getLogTag(0), nullptr);
    EXPECT_EQ(reader.getShmLogBufSize(), 0);
    EXPECT_FALSE(reader.enableLog(0, true));
    EXPECT_FALSE(reader.isLogEnable(0));
    EXPECT_FALSE(reader.setDefaultLogLevel(KQLOG_LEVEL_INFO));
    EXPECT_FALSE(reader.setLogLevel(0, KQLOG_LEVEL_INFO));
    EXPECT_EQ(reader.findLogger("net"), KQLOG_INVALID_ID);
    EXPECT_FALSE(reader.dumpLogMem("/tmp/never-written"));
    reader.seekLogBegin(3);
    reader.seekLogEnd();
    EXPECT_EQ(reader.readPos(), 0);

    std::string line = "kept";
    CaptureStderr();
    EXPECT_FALSE(reader.nextLog(line));
    EXPECT_EQ(GetCapturedStderr(), "LogHead invalid!!\n");
    EXPECT_EQ(line, "kept");
}

TEST_F(ReaderTest, InitFailuresLeaveTheReaderAsItWas) {
    CaptureStderr();
    EXPECT_FALSE(reader.init(nullptr, false));
    EXPECT_EQ(GetCapturedStderr(), "ShmLogPath invalid!!\n");

    seg.head()->magic = 0x12345678;
    CaptureStdout();
    EXPECT_FALSE(attach());
    EXPECT_EQ(capturedStdout(), "Magic code not match\n");
    EXPECT_EQ(reader.getShmLogBufSize(), 0);

    // After a good attach, a failed one keeps the first attachment whole.
    seg.head()->magic = KQLOG_MAGIC;
    seg.setTag(0, "net");
    ASSERT_TRUE(attach());
    TestSegment other(2048);
    other.head()->magic = 1;
    CaptureStdout();
    EXPECT_FALSE(reader.init(other.path().c_str(), false));
    capturedStdout();
    EXPECT_EQ(reader.getShmLogBufSize(), 1024);
    EXPECT_STREQ(reader.getLogTag(0), "net");
}

TEST_F(ReaderTest, CraftedHeaderSizesAreRefused) {
    // A sum that wraps past 2^32 would otherwise look up a tiny segment.
    const uint32_t cases[][2] = {{3608, 0xFFFFFFFFu - 100}, {0x80000000u, 0x80000000u},
                                 {3608, 0x80000000u}, {3608, 4096}};
    for (const auto& c : cases) {
        seg.head()->hdrsize = c[0];
        seg.head()->logbufsize = c[1];
        CaptureStderr();
        EXPECT_FALSE(attach());
        std::string err = GetCapturedStderr();
        if (c[1] == 4096) {
            EXPECT_EQ(err, "shmget failed(Invalid argument)\n");  // bigger than the segment
        } else {
            char want[128];
            snprintf(want, sizeof(want),
                     "Shm header invalid, hdr size[%u], logcontentbuf size[%u]\n", c[0], c[1]);
            EXPECT_EQ(err, want);
        }
        EXPECT_EQ(reader.getShmLogBufSize(), 0);
    }
}

TEST_F(ReaderTest, AttachFailuresNameTheCause) {
    CaptureStderr();
    EXPECT_FALSE(reader.init("/tmp/kq-no-such-log-path", false));
    EXPECT_EQ(GetCapturedStderr(),
              "ftok failed(No such file or directory), /tmp/kq-no-such-log-path not exist!\n");

    char path[] = "/tmp/kq-nosegment-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    CaptureStderr();
    EXPECT_FALSE(reader.init(path, false));
    std::string err = GetCapturedStderr();
    unlink(path);
    EXPECT_EQ(err, "shmget failed(No such file or directory)\n");
}

TEST_F(ReaderTest, TagTableOperationsActInPlace) {
    seg.setTag(0, "net", 2);
    seg.setTag(1, "disk", 3, false);
    seg.setTag(2, "net", 4);
    seg.setTag(3, "cpu", 1);
    seg.head()->currLogInfoIndex = 3;
    ASSERT_TRUE(attach());

    EXPECT_EQ(reader.findLogger("net"), 2);  // the later entry wins
    EXPECT_EQ(reader.findLogger("disk"), 1);
    EXPECT_EQ(reader.findLogger("cpu"), KQLOG_INVALID_ID);  // beyond entries in use
    EXPECT_EQ(reader.findLogger(nullptr), KQLOG_INVALID_ID);

    EXPECT_FALSE(reader.enableLog(3, true));
    EXPECT_EQ(seg.head()->logInfos[3].bEnable, 1);
    EXPECT_TRUE(reader.enableLog(2, false));
    EXPECT_EQ(seg.head()->logInfos[2].bEnable, 0);
    EXPECT_FALSE(reader.isLogEnable(1));
    EXPECT_TRUE(reader.enableLog(1, true));
    EXPECT_TRUE(reader.isLogEnable(1));

    EXPECT_TRUE(reader.setLogLevel(1, ENUM_KQLOG_LEVEL(200)));  // stored unchecked
    EXPECT_EQ(seg.head()->logInfos[1].nLogLevel, 200);
    EXPECT_EQ(reader.getLogLevel(1), 200);
    EXPECT_FALSE(reader.setLogLevel(3, KQLOG_LEVEL_FATAL));
    EXPECT_EQ(reader.getLogLevel(3), KQLOG_LEVEL_NONE);

    EXPECT_TRUE(reader.setDefaultLogLevel(KQLOG_LEVEL_ERROR));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(seg.head()->logInfos[i].nLogLevel, 4);
    EXPECT_EQ(seg.head()->logInfos[3].nLogLevel, 1);

    // Any index below 255 has an address, in use or not.
    EXPECT_STREQ(reader.getLogTag(3), "cpu");
    EXPECT_STREQ(reader.getLogTag(254), "");
    EXPECT_EQ(reader.getLogTag(255), nullptr);
    EXPECT_EQ(reader.getShmLogBufSize(), 1024);

    seg.head()->currLogInfoIndex = 0;
    EXPECT_TRUE(reader.setDefaultLogLevel(KQLOG_LEVEL_TRACE));
    EXPECT_EQ(seg.head()->logInfos[0].nLogLevel, 4);
}

TEST_F(ReaderTest, ReadsNodesInOrderAndStopsAtTheEnd) {
    seg.setTag(0, "net");
    seg.head()->starttime = 1767225540;  // 2025-12-31 23:59:00 UTC
    seg.appendNode("link down\n", 0, 3, 59, 999);
    seg.appendNode("up", 255, 5, 60, 1);
    ASSERT_TRUE(attach());
    reader.seekLogBegin(0);

    std::string line;
    ASSERT_TRUE(reader.nextLog(line));
    EXPECT_EQ(line, "[WARN  net 12-31 23:59:59 0999] link down\n");
    ASSERT_TRUE(reader.nextLog(line));
    EXPECT_EQ(line, "[FATAL  01-01 00:00:00 0001] up");
    int end = reader.readPos();
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(reader.nextLog(line));
        EXPECT_EQ(line, "");
        EXPECT_EQ(reader.readPos(), end);
    }
}

TEST_F(ReaderTest, SeeksAndSkips) {
    for (int i = 0; i < 5; ++i) seg.appendNode(std::string(size_t(i + 1), 'a'));
    seg.head()->logReadPos = 11;  // the second node
    ASSERT_TRUE(attach(true));

    CaptureStdout();
    reader.seekLogBegin(0);
    EXPECT_EQ(reader.readPos(), 11);
    reader.seekLogBegin(-3);
    EXPECT_EQ(reader.readPos(), 11);
    EXPECT_EQ(capturedStdout(), "");

    CaptureStdout();
    reader.seekLogBegin(2);
    EXPECT_EQ(capturedStdout(), "2 items skipped!!\n");
    EXPECT_EQ(reader.readPos(), 11 + 12 + 13);
    reader.seekLogEnd();
    EXPECT_EQ(reader.readPos(), seg.head()->logWritePos);
}

TEST_F(ReaderTest, ValidNodeBeforeTheWrapLeavesCursorAtZero) {
    TestSegment small(512);
    seg.head()->magic = 0;  // unused here
    small.setPositions(198, 198);
    writeNodeAt(small.ring(), 198, std::string(20, 'w'), 0, 2, 0, 0);
    ASSERT_TRUE(reader.init(small.path().c_str(), false));
    reader.seekLogBegin(0);
    std::string line;
    ASSERT_TRUE(reader.nextLog(line));
    EXPECT_EQ(reader.readPos(), 0);
}

TEST_F(ReaderTest, BadNodesFailWithTheCursorUnmoved) {
    seg.appendNode("abcde", 0, 2);
    seg.ring()[9 + 3] = 0;
    ASSERT_TRUE(attach(true));
    reader.seekLogBegin(0);
    std::string line = "old";
    CaptureStdout();
    EXPECT_FALSE(reader.nextLog(line));
    EXPECT_EQ(capturedStdout(),
              "ReadPos[0], LogReadPos[0], LogWritePos[15]\n"
              "log format size[3 - 5] end[0 - 0] level[2 - 5] incorrect, read[0] write[15]\n");
    EXPECT_EQ(line, "");
    EXPECT_EQ(reader.readPos(), 0);

    seg.ring()[9 + 3] = 'd';
    seg.ring()[2] = 6;
    CaptureStdout();
    EXPECT_FALSE(reader.nextLog(line));
    EXPECT_NE(capturedStdout().find("level[6 - 5]"), std::string::npos);

    seg.ring()[2] = 1;
    seg.ring()[9 + 5] = 'z';
    seg.ring()[9 + 6] = 'z';  // over the end marker: the text now runs to byte 16
    CaptureStdout();
    EXPECT_FALSE(reader.nextLog(line));
    EXPECT_NE(capturedStdout().find("log format size[7 - 5] end[122 - 0]"), std::string::npos);
}

TEST_F(ReaderTest, CursorOutsideTheRingFailsWithoutReadingThere) {
    seg.appendNode("fine");
    ASSERT_TRUE(attach());
    std::string line;
    for (int32_t pos : {-1, -100000, 1024 - 8, 1024, 1 << 30, INT32_MIN}) {
        seg.head()->logReadPos = pos;
        reader.seekLogBegin(0);
        EXPECT_FALSE(reader.nextLog(line)) << pos;
        EXPECT_EQ(reader.readPos(), pos);
        if (pos < 0 || pos >= 1024) {
            reader.seekLogBegin(5);  // skipping from outside the ring stays put
            EXPECT_EQ(reader.readPos(), pos);
        }
        seg.head()->logWritePos = pos;
        reader.seekLogEnd();
        EXPECT_FALSE(reader.nextLog(line));
    }
}

TEST_F(ReaderTest, DumpWritesTheWholeSegment) {
    seg.setTag(0, "net");
    seg.appendNode("dumped");
    ASSERT_TRUE(attach());
    std::string path = seg.path() + ".dump";
    ASSERT_TRUE(reader.dumpLogMem(path.c_str()));
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(path.c_str());
    ASSERT_EQ(got.size(), seg.bytesSize());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), seg.bytes()));

    EXPECT_FALSE(reader.dumpLogMem(nullptr));
    CaptureStderr();
    EXPECT_FALSE(reader.dumpLogMem("/nonexistent-dir/x"));
    EXPECT_EQ(GetCapturedStderr(), "fopen[/nonexistent-dir/x] failed!! err: No such file or directory\n");
    CaptureStderr();
    EXPECT_FALSE(reader.dumpLogMem("/dev/full"));
    EXPECT_EQ(GetCapturedStderr(), "fwrite[/dev/full] failed!! err: No space left on device\n");
}

TEST(ReaderInstance, OneInstanceForEveryThread) {
    std::vector<IKQLOGReader*> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = IKQLOGReader::getInst(); });
    for (auto& t : threads) t.join();
    EXPECT_NE(seen[0], nullptr);
    EXPECT_EQ(std::set<IKQLOGReader*>(seen.begin(), seen.end()).size(), 1u);
    EXPECT_EQ(IKQLOGReader::getInst(), seen[0]);
}

TEST_F(ReaderTest, TellsAnEndFromAStrayEndAndAnEvictedNode) {
    seg.appendNode("one");
    seg.appendNode("two");
    ASSERT_TRUE(attach());
    reader.seekLogBegin(0);
    std::string line;
    ASSERT_TRUE(reader.nextLog(line));
    EXPECT_EQ(reader.lastReadOutcome(), KQLOG_READ_LINE);
    ASSERT_TRUE(reader.nextLog(line));
    ASSERT_TRUE(reader.nextLog(line));
    EXPECT_EQ(line, "");
    EXPECT_EQ(reader.lastReadOutcome(), KQLOG_READ_END);

    // The writer started over at 0 (zeroed ring): our end marker is stray.
    int32_t end = reader.readPos();
    seg.setPositions(0, 0);
    memset(seg.ring(), 0, seg.ringSize());
    ASSERT_TRUE(reader.nextLog(line));
    EXPECT_EQ(reader.lastReadOutcome(), KQLOG_READ_STRAY_END);
    EXPECT_EQ(reader.readPos(), end);

    // A sound node the writers no longer retain is not printed.
    writeNodeAt(seg.ring(), 500, "stale", 0, 2, 0, 0);
    seg.setPositions(500, 520);
    reader.seekLogBegin(0);
    seg.setPositions(600, 400);  // the writers wrapped and evicted past 500
    EXPECT_FALSE(reader.nextLog(line));
    EXPECT_EQ(reader.lastReadOutcome(), KQLOG_READ_OVERWRITTEN);
    EXPECT_EQ(reader.readPos(), 500);
    seg.setPositions(400, 600);  // retained again
    EXPECT_TRUE(reader.nextLog(line));
    EXPECT_EQ(reader.lastReadOutcome(), KQLOG_READ_LINE);
}

TEST_F(ReaderTest, FollowsASegmentReplacedUnderTheSamePath) {
    seg.setTag(0, "gone");
    seg.appendNode("old");
    ASSERT_TRUE(attach());
    EXPECT_EQ(reader.findLogger("gone"), 0);
    EXPECT_FALSE(reader.reattachIfReplaced());  // still the live segment

    // A writer restarting at a larger size removes the segment and creates
    // another under the same key.
    ASSERT_EQ(shmctl(seg.shmId(), IPC_RMID, nullptr), 0);
    EXPECT_FALSE(reader.reattachIfReplaced());  // no successor yet
    key_t key = ftok(seg.path().c_str(), 0);
    int newId = shmget(key, sizeof(shmloghead) + 2048, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_NE(newId, -1);
    struct Remove {
        int id;
        ~Remove() { shmctl(id, IPC_RMID, nullptr); }
    } removeNew{newId};
    auto* head = static_cast<shmloghead*>(shmat(newId, nullptr, 0));
    ASSERT_NE(head, reinterpret_cast<shmloghead*>(-1));
    head->magic = KQLOG_MAGIC;
    head->hdrsize = sizeof(shmloghead);
    head->logbufsize = 2048;
    uint8_t* ring = reinterpret_cast<uint8_t*>(head) + sizeof(shmloghead);
    writeNodeAt(ring, 0, "new", 0, 2, 0, 0);
    head->logWritePos = 13;
    memcpy(head->logInfos[0].strLogTag, "new", 3);
    head->currLogInfoIndex = 1;

    ASSERT_TRUE(reader.reattachIfReplaced());
    EXPECT_EQ(reader.getShmLogBufSize(), 2048);
    // The tag index is the new segment's alone.
    EXPECT_EQ(reader.findLogger("gone"), KQLOG_INVALID_ID);
    EXPECT_EQ(reader.findLogger("new"), 0);
    std::string line;
    ASSERT_TRUE(reader.nextLog(line));
    EXPECT_EQ(line.substr(line.size() - 3), "new");
    EXPECT_FALSE(reader.reattachIfReplaced());
    shmdt(head);
}

TEST(ReaderFromMemory, RefusesSizesBeyondTheBytesGiven) {
    std::vector<uint8_t> bytes(sizeof(shmloghead) + 600);
    auto* head = reinterpret_cast<shmloghead*>(bytes.data());
    head->magic = KQLOG_MAGIC;
    head->hdrsize = sizeof(shmloghead);
    head->logbufsize = 601;
    CKQLOGReaderImp reader;
    EXPECT_FALSE(reader.initFromMemory(bytes.data(), bytes.size()));
    head->hdrsize = 0xFFFFFFFFu;  // wraps in 32 bits
    head->logbufsize = 2;
    EXPECT_FALSE(reader.initFromMemory(bytes.data(), bytes.size()));
    head->hdrsize = sizeof(shmloghead);
    head->logbufsize = 600;
    ASSERT_TRUE(reader.initFromMemory(bytes.data(), bytes.size()));
    EXPECT_EQ(reader.getShmLogBufSize(), 600);
    EXPECT_FALSE(reader.reattachIfReplaced());
}

namespace {

// A segment made under a TestSegment's key after the test removed the
// original, as a writer restarting at another size does. Removed (and
// detached) at the end, pass or fail.
class ReplacementSegment {
public:
    ReplacementSegment(const std::string& path, uint32_t ringSize) {
        key_t key = ftok(path.c_str(), 0);
        m_iId = shmget(key, sizeof(shmloghead) + ringSize, IPC_CREAT | IPC_EXCL | 0600);
        if (m_iId == -1) return;
        void* p = shmat(m_iId, nullptr, 0);
        if (p == reinterpret_cast<void*>(-1)) return;
        m_pHead = static_cast<shmloghead*>(p);
        memset(p, 0, sizeof(shmloghead) + ringSize);
        m_pHead->magic = KQLOG_MAGIC;
        m_pHead->hdrsize = sizeof(shmloghead);
        m_pHead->logbufsize = ringSize;
    }
    ~ReplacementSegment() {
        if (m_pHead) shmdt(m_pHead);
        if (m_iId != -1) shmctl(m_iId, IPC_RMID, nullptr);
    }
    ReplacementSegment(const ReplacementSegment&) = delete;
    ReplacementSegment& operator=(const ReplacementSegment&) = delete;

    bool ok() const { return m_pHead != nullptr; }
    shmloghead* head() { return m_pHead; }
    uint8_t* ring() { return reinterpret_cast<uint8_t*>(m_pHead) + sizeof(shmloghead); }

private:
    int m_iId = -1;
    shmloghead* m_pHead = nullptr;
};

// "old 07\n": 7 bytes, so node n of either segment starts at 17 * n.
std::string numberedText(const char* prefix, int n) {
    char text[16];
    snprintf(text, sizeof(text), "%s %02d\n", prefix, n);
    return text;
}

const int32_t kNumberedNode = 17;

// The new segment holds 30 nodes from 0, of which the first two are no
// longer retained: its oldest is node 2, at 34. An old cursor 10 or 20
// nodes into the old segment would land on a sound node there.
const int kReplacementNodes = 30;
void fillReplacement(ReplacementSegment& repl) {
    for (int i = 0; i < kReplacementNodes; ++i)
        writeNodeAt(repl.ring(), kNumberedNode * i, numberedText("new", i), 0, 2, 0, 0);
    repl.head()->logReadPos = 2 * kNumberedNode;
    repl.head()->logWritePos = kReplacementNodes * kNumberedNode;
}

}  // namespace

TEST_F(ReaderTest, ReattachStartsAtTheNewSegmentsOldestNode) {
    for (int i = 0; i < 20; ++i) seg.appendNode(numberedText("old", i));
    ASSERT_TRUE(attach());
    reader.seekLogBegin(0);
    std::string line;
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(reader.nextLog(line));
    ASSERT_EQ(reader.readPos(), 10 * kNumberedNode);

    ASSERT_EQ(shmctl(seg.shmId(), IPC_RMID, nullptr), 0);
    ReplacementSegment repl(seg.path(), 2048);
    ASSERT_TRUE(repl.ok());
    fillReplacement(repl);

    ASSERT_TRUE(reader.reattachIfReplaced());
    EXPECT_EQ(reader.readPos(), 2 * kNumberedNode);
    for (int i = 2; i < kReplacementNodes; ++i) {
        ASSERT_TRUE(reader.nextLog(line));
        EXPECT_EQ(line.substr(line.find("] ") + 2), numberedText("new", i));
    }
    ASSERT_TRUE(reader.nextLog(line));
    EXPECT_EQ(line, "");
}

// The same through KQLogStream following: after the idle ends at which it
// looks for a replaced segment, it reads the new one from its oldest node.
TEST_F(ReaderTest, FollowingStreamStartsAtTheReplacementsOldestNode) {
    for (int i = 0; i < 20; ++i) seg.appendNode(numberedText("old", i));
    IKQLOGReader* pReader = IKQLOGReader::getInst();
    ASSERT_TRUE(pReader->init(seg.path().c_str(), false));
    KQLogStream stream;
    ASSERT_TRUE(stream.startAtOldest(true));
    char buf[KQLOG_LINE_BUFFER_SIZE];
    KQLogRecord rec;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(stream.next(rec, buf), KQLOG_EVENT_RECORD);
        EXPECT_EQ(std::string(rec.pText, size_t(rec.iTextLen)), numberedText("old", i));
    }

    ASSERT_EQ(shmctl(seg.shmId(), IPC_RMID, nullptr), 0);
    ReplacementSegment repl(seg.path(), 2048);
    ASSERT_TRUE(repl.ok());
    fillReplacement(repl);

    // The rest of the old segment is still attached and read first (its
    // cursor then stands 20 nodes in); then only ends until the stream
    // looks for a successor.
    std::vector<std::string> got;
    for (int calls = 0; calls < 60 && got.size() < 38; ++calls) {
        ENUM_KQLOG_EVENT e = stream.next(rec, buf);
        ASSERT_NE(e, KQLOG_EVENT_DAMAGED);
        ASSERT_NE(e, KQLOG_EVENT_LAPPED);
        if (e == KQLOG_EVENT_RECORD) got.emplace_back(rec.pText, size_t(rec.iTextLen));
    }
    std::vector<std::string> want;
    for (int i = 10; i < 20; ++i) want.push_back(numberedText("old", i));
    for (int i = 2; i < kReplacementNodes; ++i) want.push_back(numberedText("new", i));
    EXPECT_EQ(got, want);
    EXPECT_EQ(stream.next(rec, buf), KQLOG_EVENT_END);
}
