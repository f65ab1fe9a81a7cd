// The merge of several streams, over logs in plain memory: time order
// across logs, ties, a clock set back, events passing through, and
// following where one log is quiet.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "GridRing.h"
#include "KQShmLogMerge.h"
#include "KQShmLogReaderImp.h"

namespace {

// A log in plain memory, written from byte 0 on and never wrapping, read
// through a reader and a stream of its own.
class MemLog {
public:
    explicit MemLog(int64_t iStartTime, int32_t ringSize = 4096)
        : m_seg(sizeof(shmloghead) + size_t(ringSize)) {
        shmloghead& h = head();
        h.magic = KQLOG_MAGIC;
        h.hdrsize = sizeof(shmloghead);
        h.logbufsize = uint32_t(ringSize);
        h.starttime = iStartTime;
        m_reader.initFromMemory(m_seg.data(), m_seg.size());
    }
    shmloghead& head() { return *reinterpret_cast<shmloghead*>(m_seg.data()); }
    uint8_t* ring() { return m_seg.data() + sizeof(shmloghead); }

    // Appends a record at logWritePos and moves logWritePos past it.
    void add(const std::string& text, uint32_t sec, uint16_t ms = 0) {
        int32_t pos = head().logWritePos;
        writeNodeAt(ring(), pos, text, 0, 2, sec, ms);
        ring()[pos + int32_t(text.size()) + 10] = 0;
        head().logWritePos = pos + int32_t(text.size()) + 10;
    }
    KQLogStream& stream() { return m_stream; }

private:
    std::vector<uint8_t> m_seg;
    CKQLOGReaderImp m_reader;
    KQLogStream m_stream{&m_reader};
};

// "INDEX:text" for records, "INDEX:event N" for other events, until END.
std::vector<std::string> drain(KQLogMerge& merge, int iMax = 1000) {
    std::vector<std::string> got;
    KQLogRecord rec;
    size_t iLog = 99;
    for (int i = 0; i < iMax; ++i) {
        ENUM_KQLOG_EVENT e = merge.next(rec, &iLog);
        if (e == KQLOG_EVENT_END) return got;
        got.push_back(std::to_string(iLog) + ":" +
                      (e == KQLOG_EVENT_RECORD
                           ? std::string(rec.pText, size_t(rec.iTextLen))
                           : "event " + std::to_string(int(e))));
    }
    return got;
}

using Texts = std::vector<std::string>;

TEST(Merge, OrdersByStartTimePlusSecondsPlusStoredMillisTiesToTheFirstLog) {
    // Log 1 starts 10 s after log 0: its second 0 is log 0's second 10.
    MemLog a(1000), b(1010), c(1000);
    a.add("a0", 0, 500);
    a.add("a1", 10, 0);      // ties with b0: log 0 first
    a.add("a2", 10, 999);
    b.add("b0", 0, 0);
    b.add("b1", 0, 1500);    // 1.5 s as stored: after a2, before c0
    c.add("c0", 11, 600);
    c.add("c1", 11, 600);    // same time twice in one log: kept in order
    for (MemLog* p : {&a, &b, &c}) p->stream().startAtOldest(false);
    KQLogMerge merge;
    for (MemLog* p : {&a, &b, &c}) ASSERT_TRUE(merge.add(&p->stream()));
    EXPECT_EQ(drain(merge), (Texts{"0:a0", "0:a1", "1:b0", "0:a2", "1:b1",
                                   "2:c0", "2:c1"}));
    // Printing once, the end is for good.
    KQLogRecord rec;
    EXPECT_EQ(merge.next(rec, nullptr), KQLOG_EVENT_END);
}

TEST(Merge, ALogWhoseClockWentBackKeepsItsOwnOrder) {
    MemLog a(0), b(0);
    a.add("a@10", 10);
    a.add("a@5", 5);  // clock set back
    a.add("a@20", 20);
    b.add("b@7", 7);
    b.add("b@12", 12);
    a.stream().startAtOldest(false);
    b.stream().startAtOldest(false);
    KQLogMerge merge;
    merge.add(&a.stream());
    merge.add(&b.stream());
    EXPECT_EQ(drain(merge),
              (Texts{"1:b@7", "0:a@10", "0:a@5", "1:b@12", "0:a@20"}));
}

TEST(Merge, StartTimesNoClockHasSortFirstOrLastWithoutOverflow) {
    KQLogRecord rec;
    rec.iStartTime = INT64_MAX - 5;
    rec.header[3] = 100;
    EXPECT_EQ(KQLogMerge::timeOf(rec), INT64_MAX);
    rec.iStartTime = INT64_MIN;
    EXPECT_EQ(KQLogMerge::timeOf(rec), INT64_MIN);
    rec.iStartTime = 2;
    rec.header[7] = 0xE8;  // 1000 ms as stored
    rec.header[8] = 0x03;
    EXPECT_EQ(KQLogMerge::timeOf(rec), 102 * 1000 + 1000);
}

TEST(Merge, EventsPassThroughWithTheirLogsIndex) {
    MemLog a(0), b(0);
    a.add("a1", 1);
    a.add("a3", 3);
    b.add("b2", 2);
    b.add("bad", 2);
    b.add("b4", 4);
    // The middle node of log 1 gets a level no record has.
    b.ring()[12 + 2] = 9;
    a.stream().startAtOldest(false);
    b.stream().startAtOldest(false);
    CKQLOGReaderImp never;  // never attached
    KQLogStream detached(&never);
    KQLogMerge merge;
    merge.add(&a.stream());
    merge.add(&b.stream());
    merge.add(&detached);
    std::vector<std::string> got = drain(merge);
    // Each stream is asked once its record in hand has gone out.
    EXPECT_EQ(got, (Texts{"2:event " + std::to_string(KQLOG_EVENT_DETACHED),
                          "0:a1", "1:b2",
                          "1:event " + std::to_string(KQLOG_EVENT_DAMAGED),
                          "0:a3", "1:b4"}));
}

TEST(Merge, FollowingAQuietLogNeverHoldsTheOthersBack) {
    MemLog a(0), b(0);
    a.stream().startAtOldest(true);
    b.stream().startAtOldest(true);
    KQLogMerge merge;
    merge.add(&a.stream());
    merge.add(&b.stream());
    EXPECT_EQ(drain(merge), Texts{});
    a.add("a5", 5);
    EXPECT_EQ(drain(merge), Texts{"0:a5"});
    // Log 1's record is older but arrives later: it comes when it is there.
    b.add("b1", 1);
    a.add("a6", 6);
    EXPECT_EQ(drain(merge), (Texts{"1:b1", "0:a6"}));
}

TEST(Merge, ABusyLogCannotStarveAQuietOneThatWakesUp) {
    MemLog busy(0, 1 << 16), quiet(0);
    busy.stream().startAtOldest(true);
    quiet.stream().startAtOldest(true);
    KQLogMerge merge;
    merge.add(&busy.stream());
    merge.add(&quiet.stream());
    KQLogRecord rec;
    size_t iLog = 0;
    busy.add("x", 1);
    ASSERT_EQ(merge.next(rec, &iLog), KQLOG_EVENT_RECORD);  // quiet: idle now
    // The busy log always has a record in hand; the quiet one's arrives.
    quiet.add("q", 0);
    int iBusyBefore = 0;
    for (;;) {
        busy.add("x", 1);
        ASSERT_EQ(merge.next(rec, &iLog), KQLOG_EVENT_RECORD);
        if (iLog == 1) break;
        ASSERT_LT(++iBusyBefore, 200) << "the quiet log's record never came";
    }
}

TEST(Merge, StreamsAddedLaterJoinWithTheNextIndex) {
    MemLog a(0), b(0);
    a.add("a2", 2);
    b.add("b1", 1);
    a.stream().startAtOldest(true);
    b.stream().startAtOldest(true);
    KQLogMerge merge;
    merge.add(&a.stream());
    EXPECT_EQ(drain(merge), Texts{"0:a2"});
    merge.add(&b.stream());
    EXPECT_EQ(merge.size(), 2u);
    EXPECT_EQ(drain(merge), Texts{"1:b1"});
}

}  // namespace
