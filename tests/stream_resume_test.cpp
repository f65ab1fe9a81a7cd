// Resuming a KQLogStream after a record read earlier (KQLogCursor and
// startAfter), over logs in plain memory.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "KQShmLogReaderImp.h"
#include "KQShmLogStream.h"
#include "TestSegment.h"

namespace {

// A log in plain memory, the ring sized exactly so that the sanitizer build
// catches a read past it. Texts all have kTextLen bytes, so nodes lie on a
// grid, and append() evicts as a writer does: the oldest node goes when
// the new node's end marker would cover it. Node n is written n seconds
// after the start time, so no two nodes' headers are alike.
class MemLog {
public:
    static const int kTextLen = 9;

    explicit MemLog(int32_t ringSize)
        : m_bytes(sizeof(shmloghead) + size_t(ringSize)) {
        head()->magic = KQLOG_MAGIC;
        head()->hdrsize = sizeof(shmloghead);
        head()->logbufsize = uint32_t(ringSize);
        head()->starttime = 1700000000;
        memcpy(head()->logInfos[0].strLogTag, "t", 2);
        head()->currLogInfoIndex = 1;
    }

    shmloghead* head() { return reinterpret_cast<shmloghead*>(m_bytes.data()); }
    uint8_t* ring() { return m_bytes.data() + sizeof(shmloghead); }
    int32_t ringSize() const {
        return int32_t(m_bytes.size() - sizeof(shmloghead));
    }

    // Makes this the segment IKQLOGReader::getInst() reads.
    bool attach() {
        return static_cast<CKQLOGReaderImp*>(IKQLOGReader::getInst())
            ->initFromMemory(m_bytes.data(), m_bytes.size());
    }

    static std::string text(int n) {
        char buf[16];
        snprintf(buf, sizeof(buf), "r%07d\n", n);
        return buf;
    }

    // Writes the next node at logWritePos; with bMoveWrite false, leaves
    // logWritePos on it (its writer published it and stopped there).
    int32_t append(bool bMoveWrite = true) {
        int32_t pos = head()->logWritePos;
        int32_t next = KQRingNextPos(pos, kTextLen, ringSize());
        if (head()->logReadPos == next && m_iWritten > 0)
            head()->logReadPos = KQRingNextPos(next, kTextLen, ringSize());
        ring()[next] = 0;
        writeNodeAt(ring(), pos, text(m_iWritten), 0, 2, uint32_t(m_iWritten),
                    0);
        ++m_iWritten;
        if (bMoveWrite) head()->logWritePos = next;
        return pos;
    }
    void appendMany(int n) {
        for (int i = 0; i < n; ++i) append();
    }
    int written() const { return m_iWritten; }

private:
    std::vector<uint8_t> m_bytes;
    int m_iWritten = 0;
};

std::vector<std::string> texts(int from, int to) {
    std::vector<std::string> v;
    for (int n = from; n < to; ++n) v.push_back(MemLog::text(n));
    return v;
}

// What a stream delivered up to the first event that is neither a record
// nor (with countDamaged) a damaged one, or up to max records.
struct Read {
    ENUM_KQLOG_EVENT end = KQLOG_EVENT_RECORD;
    std::vector<std::string> texts;
    KQLogCursor last;  // the cursor of the last record
    int damaged = 0;
};

Read readRecords(KQLogStream& stream, int max = 100000,
                 bool countDamaged = false) {
    Read r;
    char line[KQLOG_LINE_BUFFER_SIZE];
    KQLogRecord rec;
    while (int(r.texts.size()) < max) {
        r.end = stream.next(rec, line);
        if (r.end == KQLOG_EVENT_DAMAGED && countDamaged) {
            ++r.damaged;
            continue;
        }
        if (r.end != KQLOG_EVENT_RECORD) return r;
        r.texts.emplace_back(rec.pText, size_t(rec.iTextLen));
        r.last = KQLogStream::cursorOf(rec);
    }
    r.end = KQLOG_EVENT_RECORD;
    return r;
}

// Attaches log and reads its first n records from the oldest, following.
Read readFirst(MemLog& log, int n = 100000) {
    EXPECT_TRUE(log.attach());
    KQLogStream first;
    EXPECT_TRUE(first.startAtOldest(true));
    return readRecords(first, n);
}

}  // namespace

TEST(KQLogTextHash, IsFnv1a64) {
    // Published FNV-1a 64 test vectors: cursor files written by other
    // builds stay usable only while the hash is exactly this one.
    EXPECT_EQ(KQLogTextHash("", 0), 0xcbf29ce484222325ull);
    EXPECT_EQ(KQLogTextHash("a", 1), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(KQLogTextHash("foobar", 6), 0x85944171f73967e8ull);
}

// A second stream, started after the record the first one read last, goes
// on with exactly the records after it: those written before the restart
// and those written after. Printing once, it then ends.
TEST(StreamResume, GoesOnAfterTheCursorsRecord) {
    struct Case {
        int read;  // records the first stream reads (of 10)
        bool follow;
    } cases[] = {{1, true}, {5, true}, {10, true}, {1, false}, {10, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.read << " read"
                                        << (c.follow ? ", following" : ""));
        MemLog log(4096);
        log.appendMany(10);
        Read r = readFirst(log, c.read);
        ASSERT_EQ(r.texts, texts(0, c.read));
        // The cursor holds the record as the ring holds it.
        const KQLogCursor cursor = r.last;
        EXPECT_EQ(cursor.iStartTime, log.head()->starttime);
        ASSERT_GE(cursor.iPos, 0);
        EXPECT_EQ(memcmp(cursor.header, log.ring() + cursor.iPos, 9), 0);
        EXPECT_EQ(cursor.nTextHash,
                  KQLogTextHash(MemLog::text(c.read - 1).data(), 9));

        log.appendMany(3);
        KQLogStream second;
        bool found = false;
        ASSERT_TRUE(second.startAfter(cursor, c.follow, &found));
        EXPECT_TRUE(found);
        r = readRecords(second);
        EXPECT_EQ(r.end, KQLOG_EVENT_END);
        EXPECT_EQ(r.texts, texts(c.read, 13));
        log.append();
        EXPECT_EQ(readRecords(second).texts,
                  c.follow ? texts(13, 14) : texts(0, 0));
    }
}

// A cursor whose record is not there any more: the stream starts at the
// oldest retained record and reports one lap first, with the bytes from the
// record's successor to the oldest record when the log is the same one.
// Only a record evicted with nothing after it is no lap: its successor is
// the oldest record.
TEST(StreamResume, ARecordNoLongerThereIsReportedAsALap) {
    const int32_t kRing = 1000;  // 38 slots of 19 bytes until the wrap
    enum Change { NONE, LAPPED, EVICTED, JUST_EVICTED, NEW_LOG, HEADER, TEXT,
                  DAMAGED };
    struct Case {
        const char* name;
        Change change;
        int32_t pos;  // -2: the cursor's own
        int64_t lost;  // -1: the distance to the oldest; -2: no lap
    } cases[] = {
        {"overwritten by a lapping writer", LAPPED, -2, -1},
        {"evicted, bytes intact", EVICTED, -2, -1},
        {"evicted with nothing after it", JUST_EVICTED, -2, -2},
        {"a new log (start time)", NEW_LOG, -2, 0},
        {"another header", HEADER, -2, -1},
        {"another text", TEXT, -2, -1},
        {"damaged in the ring", DAMAGED, -2, -1},
        {"position past the ring", NONE, kRing, 0},
        {"largest position", NONE, INT32_MAX, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemLog log(kRing);
        log.appendMany(10);
        KQLogCursor cursor = readFirst(log, 4).last;
        ASSERT_EQ(cursor.iPos, 3 * 19);  // node 3
        switch (c.change) {
        case NONE: break;
        case LAPPED: log.appendMany(40); break;  // node 3's slot rewritten
        case EVICTED: log.head()->logReadPos = 5 * 19; break;
        case JUST_EVICTED: log.head()->logReadPos = 4 * 19; break;
        case NEW_LOG: log.head()->starttime += 1; break;
        case HEADER: cursor.header[5] ^= 1; break;
        case TEXT: cursor.nTextHash ^= 1; break;
        case DAMAGED: log.ring()[cursor.iPos + 9 + 9] = 'x'; break;
        }
        if (c.pos != -2) cursor.iPos = c.pos;
        int32_t oldest = log.head()->logReadPos;

        KQLogStream second;
        bool found = c.lost != -2;
        ASSERT_TRUE(second.startAfter(cursor, true, &found));
        EXPECT_EQ(found, c.lost == -2);
        if (c.lost != -2) {
            char line[KQLOG_LINE_BUFFER_SIZE];
            KQLogRecord rec;
            ASSERT_EQ(second.next(rec, line), KQLOG_EVENT_LAPPED);
            EXPECT_EQ(rec.iLostBytes,
                      c.lost == 0 ? 0 : KQRingDistance(4 * 19, oldest, kRing));
        }
        // From the oldest retained node on, each once; a damaged node
        // costs itself.
        Read r = readRecords(second, 100000, true);
        EXPECT_EQ(r.end, KQLOG_EVENT_END);
        int oldestN = atoi(reinterpret_cast<char*>(log.ring()) + oldest + 10);
        std::vector<std::string> want = texts(oldestN, log.written());
        if (c.change == DAMAGED) want.erase(want.begin() + 3);
        EXPECT_EQ(r.texts, want);
        EXPECT_EQ(r.damaged, c.change == DAMAGED ? 1 : 0);
        if (c.change == LAPPED) {
            EXPECT_EQ(oldestN, log.written() - 37);
        }
    }
}

// A writer that died after publishing a node but before moving
// logWritePos past it: the node is read (it is whole), and a cursor may
// name it. Its successor is not written yet, so the resumed stream waits
// there until logWritePos moves, then delivers only what is new.
TEST(StreamResume, ARecordAtLogWritePosWaitsForTheWriter) {
    for (bool follow : {true, false}) {
        SCOPED_TRACE(follow ? "following" : "printing once");
        MemLog log(4096);
        log.appendMany(5);
        int32_t published = log.append(false);
        Read r = readFirst(log);
        ASSERT_EQ(r.texts, texts(0, 6));
        ASSERT_EQ(r.last.iPos, published);

        KQLogStream second;
        bool found = false;
        ASSERT_TRUE(second.startAfter(r.last, follow, &found));
        EXPECT_TRUE(found);
        char line[KQLOG_LINE_BUFFER_SIZE];
        KQLogRecord rec;
        for (int i = 0; i < 10; ++i)
            ASSERT_EQ(second.next(rec, line), KQLOG_EVENT_END);
        // A restarted writer moves logWritePos past the node and goes on.
        log.head()->logWritePos =
            KQRingNextPos(published, MemLog::kTextLen, log.ringSize());
        log.append();
        r = readRecords(second);
        EXPECT_EQ(r.end, KQLOG_EVENT_END);
        EXPECT_EQ(r.texts, follow ? texts(6, 7) : texts(0, 0));
    }
}
