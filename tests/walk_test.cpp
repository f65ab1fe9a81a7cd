// The reading policy (KQRingWalker) and resynchronisation (KQRingResync)
// over plain memory: laps, the end of the data, damaged nodes and the
// guarantee that printing once ends. Rings are sized exactly, so the
// sanitizer build catches any read past them.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "KQShmLogWalk.h"
#include "GridRing.h"
#include "TestSegment.h"


// The writers go past the cursor: one LAPPED, with the bytes between the
// cursor and the new oldest node, then reading goes on from that node. The
// node at the cursor is sound and retained in every case (the writer put a
// newer node there): only the distance to logWritePos, which shrank, tells.
TEST(RingWalker, LapIsReportedOnceAndResumesAtTheOldest) {
    struct Case {
        int before, read, after;  // nodes written, read, written again
        int lostSlots, resumeAt;  // the oldest retained node, by number
    } cases[] = {
        {20, 5, 21, 1, 6},    // logWritePos stops on the cursor
        {20, 5, 22, 2, 7},    // one slot past it
        {30, 5, 20, 10, 15},  // well past it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.before << "/" << c.read << "/"
                                        << c.after);
        GridRing ring(1000);  // 36 slots of 20 bytes
        ASSERT_EQ(ring.slots(), 36);
        for (int i = 0; i < c.before; ++i) ring.append();
        KQRingWalker walker;
        walker.startAtOldest(ring.view(), true);
        char line[KQLOG_MAX_LINE_SIZE + 1];
        KQWalkResult res;
        for (int i = 0; i < c.read; ++i) {
            ASSERT_EQ(walker.next(ring.view(), line, res), KQWALK_RECORD);
            EXPECT_EQ(textOf(res, line), GridRing::text(i));
        }
        for (int i = 0; i < c.after; ++i) ring.append();
        ASSERT_EQ(ring.head().logReadPos, GridRing::at(c.resumeAt % 36));

        ASSERT_EQ(walker.next(ring.view(), line, res), KQWALK_LAPPED);
        EXPECT_EQ(res.iPos, GridRing::at(c.read));
        EXPECT_EQ(res.iLostBytes, c.lostSlots * GridRing::kNodeSize);
        std::vector<std::string> got;
        EXPECT_EQ(readRecords(walker, ring.view(), &got, res), KQWALK_END);
        EXPECT_EQ(got, texts(c.resumeAt, ring.written()));
        // Nothing more to report, and new nodes follow once.
        EXPECT_EQ(walker.next(ring.view(), line, res), KQWALK_END);
        ring.append();
        got.clear();
        EXPECT_EQ(readRecords(walker, ring.view(), &got, res), KQWALK_END);
        EXPECT_EQ(got, texts(ring.written() - 1, ring.written()));
    }
}

// A node at logWritePos that fails its checks is a node being written: the
// end of the data, not damage, in either mode; once committed it is read.
TEST(RingWalker, FailingNodeAtTheWritePositionIsTheEnd) {
    for (bool follow : {false, true}) {
        SCOPED_TRACE(follow ? "following" : "printing once");
        GridRing ring(1000);
        for (int i = 0; i < 4; ++i) ring.append();
        int32_t w = ring.head().logWritePos;
        // Size byte set, text there, no terminator yet.
        writeNodeAt(ring.data(), w, GridRing::text(4), 0, 2, 0, 0);
        ring.data()[w + 9 + GridRing::kTextLen] = 'x';
        KQRingWalker walker;
        walker.startAtOldest(ring.view(), follow);
        std::vector<std::string> got;
        KQWalkResult res;
        EXPECT_EQ(readRecords(walker, ring.view(), &got, res), KQWALK_END);
        EXPECT_EQ(got, texts(0, 4));
        char line[KQLOG_MAX_LINE_SIZE + 1];
        EXPECT_EQ(walker.next(ring.view(), line, res), KQWALK_END);
        if (!follow) continue;
        ring.data()[w + 9 + GridRing::kTextLen] = 0;
        ring.data()[w + GridRing::kNodeSize] = 0;
        ring.head().logWritePos = w + GridRing::kNodeSize;
        got.clear();
        EXPECT_EQ(readRecords(walker, ring.view(), &got, res), KQWALK_END);
        EXPECT_EQ(got, texts(4, 5));
    }
}

// Whatever the bytes and positions, a pass that prints once comes to an
// end within ring-size steps, stays ended, and never gives one node twice.
TEST(RingWalker, PrintingOnceAlwaysEnds) {
    std::mt19937 rng(20251208);
    for (int round = 0; round < 400; ++round) {
        int32_t size = 20 + int32_t(rng() % 700);
        std::vector<uint8_t> bytes(static_cast<size_t>(size));
        shmloghead head;
        memset(&head, 0, sizeof(head));
        // Mostly sound-looking nodes with few NULs, so chains run long.
        for (auto& b : bytes) b = uint8_t(rng() % 4 == 0 ? 0 : 1 + rng() % 8);
        head.logReadPos = int32_t(rng() % uint32_t(size));
        head.logWritePos = round % 3 == 0 ? -1 : int32_t(rng() % uint32_t(size));
        KQRingView view{&head, bytes.data(), size};
        KQRingWalker walker;
        walker.startAtOldest(view, false);
        char line[KQLOG_MAX_LINE_SIZE + 1];
        KQWalkResult res;
        std::set<int32_t> seen;
        bool ended = false;
        for (int32_t i = 0; i < size && !ended; ++i) {
            KQWalkEvent e = walker.next(view, line, res);
            if (e == KQWALK_RECORD) {
                EXPECT_TRUE(seen.insert(res.iPos).second)
                    << "round " << round << ": node " << res.iPos << " twice";
            }
            ended = e == KQWALK_END;
        }
        ASSERT_TRUE(ended) << "round " << round << ": no end in " << size
                           << " steps";
        EXPECT_EQ(walker.next(view, line, res), KQWALK_END);
    }
}

// The looping chain: a 300-byte ring where every node wraps to 0 and the
// node at 0 leads to itself; logReadPos 20. Printing once reads each node
// at most once and ends, wherever logWritePos stands; following reads each
// at most once too, also with logWritePos at the looping node itself or
// outside the ring (it then holds until the writers move on).
TEST(RingWalker, LoopingChainIsReadOnce) {
    struct Case {
        int32_t writePos;
        bool follow;
    } cases[] = {{0, false},   {1, false},  {100, false}, {-1, false},
                 {300, false}, {1, true},   {19, true},   {100, true},
                 {250, true},  {0, true},   {-1, true},   {300, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "logWritePos " << c.writePos
                                        << (c.follow ? ", following" : ""));
        std::vector<uint8_t> bytes(300);
        shmloghead head;
        memset(&head, 0, sizeof(head));
        writeNodeAt(bytes.data(), 0, "line 0\n", 0, 2, 0, 0);
        writeNodeAt(bytes.data(), 20, "line 20\n", 0, 2, 0, 0);
        ASSERT_EQ(KQRingNextPos(0, 7, 300), 0);
        ASSERT_EQ(KQRingNextPos(20, 8, 300), 0);
        head.logReadPos = 20;
        head.logWritePos = c.writePos;
        KQRingView view{&head, bytes.data(), 300};
        KQRingWalker walker;
        walker.startAtOldest(view, c.follow);
        char line[KQLOG_MAX_LINE_SIZE + 1];
        KQWalkResult res;
        std::multiset<int32_t> seen;
        bool ended = false;
        for (int i = 0; i < 300; ++i) {
            KQWalkEvent e = walker.next(view, line, res);
            if (e == KQWALK_RECORD) seen.insert(res.iPos);
            ended = ended || e == KQWALK_END;
        }
        EXPECT_EQ(seen.count(20), 1u);
        EXPECT_LE(seen.count(0), 1u);
        EXPECT_TRUE(ended);
    }
}

// ---- Resynchronisation -----------------------------------------------------

namespace {

// 40 nodes of text "Lnnn\n" (15 bytes each) from 0; logWritePos after them.
struct DenseRing {
    static const int kNodes = 40;
    static const int kNodeSize = 15;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(2000);
    shmloghead head;
    DenseRing() {
        memset(&head, 0, sizeof(head));
        for (int i = 0; i < kNodes; ++i) {
            char text[8];
            snprintf(text, sizeof(text), "L%03d\n", i);
            writeNodeAt(bytes.data(), at(i), text, 0, 2, 0, 0);
        }
        head.logWritePos = at(kNodes);
    }
    static int32_t at(int i) { return i * kNodeSize; }
    KQRingView view() { return KQRingView{&head, bytes.data(), 2000}; }
};

}  // namespace

// A size byte changed from 5 to 200 points exactly at node k + 14, a sound
// node with a chain to logWritePos: the damaged byte must not be trusted.
TEST(RingResync, FindsTheTrueSuccessorWhenTheSizeByteIsDamaged) {
    DenseRing ring;
    const int k = 10;
    ring.bytes[size_t(DenseRing::at(k))] = 200;
    ASSERT_EQ(KQRingNextPos(DenseRing::at(k), 200, 2000), DenseRing::at(k + 14));
    int32_t iNext;
    ASSERT_FALSE(KQRingNodeSound(ring.view(), DenseRing::at(k), iNext));
    EXPECT_EQ(KQRingResync(ring.view(), DenseRing::at(k), ring.head.logWritePos),
              DenseRing::at(k + 1));
    // Without a known logWritePos too.
    EXPECT_EQ(KQRingResync(ring.view(), DenseRing::at(k), -1), DenseRing::at(k + 1));

    // Through the walker: every other node, once, in order.
    KQRingWalker walker;
    walker.startAtOldest(ring.view(), false);
    char line[KQLOG_MAX_LINE_SIZE + 1];
    KQWalkResult res;
    std::vector<int32_t> positions;
    int damaged = 0;
    for (int i = 0; i < 2000; ++i) {
        KQWalkEvent e = walker.next(ring.view(), line, res);
        if (e == KQWALK_END) break;
        if (e == KQWALK_DAMAGED) {
            ++damaged;
            EXPECT_EQ(res.iPos, DenseRing::at(k));
        }
        if (e == KQWALK_RECORD) positions.push_back(res.iPos);
    }
    EXPECT_EQ(damaged, 1);
    std::vector<int32_t> want;
    for (int i = 0; i < DenseRing::kNodes; ++i)
        if (i != k) want.push_back(DenseRing::at(i));
    EXPECT_EQ(positions, want);
}

// A second damaged node ahead: far enough that no candidate's chain can
// reach logWritePos (the chain that goes furthest wins), or only three
// nodes on, where candidates past it are proven (the earlier chain still
// wins, up to the second damaged node). Either way the nodes between the
// two damaged ones are read, and reading goes on after the second.
TEST(RingResync, KeepsTheSoundNodesUpToASecondDamagedNode) {
    const int k = 5;
    for (int gap : {20, 3}) {
        SCOPED_TRACE(testing::Message() << "second damaged node " << gap
                                        << " nodes ahead");
        DenseRing ring;
        ring.bytes[size_t(DenseRing::at(k))] = 200;
        ring.bytes[size_t(DenseRing::at(k + gap) + 2)] = 9;  // level byte
        EXPECT_EQ(KQRingResync(ring.view(), DenseRing::at(k),
                               ring.head.logWritePos),
                  DenseRing::at(k + 1));
        EXPECT_EQ(KQRingResync(ring.view(), DenseRing::at(k + gap),
                               ring.head.logWritePos),
                  DenseRing::at(k + gap + 1));
    }
}

// A damaged node that is well formed but for one byte is never mistaken
// for nodes hiding in its own bytes: "before\n" at 0, "damaged record
// text\n" at 17 (seconds 17, so that 3 bytes in a size byte of 17 leads
// exactly to its terminator), "after\n" at 47, logWritePos 63. Whichever
// header byte is damaged, to whatever value, reading goes on at 47.
TEST(RingResync, NeverProposesACandidateInsideTheDamagedNode) {
    const std::string damagedText = "damaged record text\n";
    for (int iByte = 0; iByte < KQLOG_NODE_HDR_SIZE; ++iByte) {
        for (int v = 0; v < 256; ++v) {
            std::vector<uint8_t> bytes(400);
            shmloghead head;
            memset(&head, 0, sizeof(head));
            writeNodeAt(bytes.data(), 0, "before\n", 0, 2, 0, 0);
            writeNodeAt(bytes.data(), 17, damagedText, 0, 2, 17, 0);
            writeNodeAt(bytes.data(), 47, "after\n", 0, 2, 0, 0);
            head.logWritePos = 63;
            if (bytes[size_t(17 + iByte)] == v) continue;
            bytes[size_t(17 + iByte)] = uint8_t(v);
            KQRingView view{&head, bytes.data(), 400};
            ASSERT_EQ(KQRingResync(view, 17, 63), 47)
                << "header byte " << iByte << " set to " << v;
        }
    }
}

// When nothing sound follows the damaged node (the rest is scribbled over
// and logWritePos unknown), a node hiding in its bytes still is no place
// to go on: the candidate 3 bytes in ends on its terminator.
TEST(RingResync, NoCandidateInsideTheDamagedNodeWhenNothingFollows) {
    std::vector<uint8_t> bytes(400, 0xFF);
    shmloghead head;
    memset(&head, 0, sizeof(head));
    writeNodeAt(bytes.data(), 0, "before\n", 0, 2, 0, 0);
    writeNodeAt(bytes.data(), 17, "damaged record text\n", 0, 9, 17, 0);
    KQRingView view{&head, bytes.data(), 400};
    EXPECT_EQ(KQRingResync(view, 17, -1), -1);
}

// Through the walker, the example with the level byte set to 9: the
// damaged record costs its line, and no line is made from its bytes.
TEST(RingWalker, DamagedLevelCostsOneLineAndInventsNone) {
    std::vector<uint8_t> bytes(400);
    shmloghead head;
    memset(&head, 0, sizeof(head));
    writeNodeAt(bytes.data(), 0, "before\n", 0, 2, 0, 0);
    writeNodeAt(bytes.data(), 17, "damaged record text\n", 0, 9, 17, 0);
    writeNodeAt(bytes.data(), 47, "after\n", 0, 2, 0, 0);
    head.logWritePos = 63;
    KQRingView view{&head, bytes.data(), 400};
    KQRingWalker walker;
    walker.startAtOldest(view, false);
    char line[KQLOG_MAX_LINE_SIZE + 1];
    std::vector<std::string> events;
    for (int i = 0; i < 10; ++i) {
        KQWalkResult res;
        KQWalkEvent e = walker.next(view, line, res);
        if (e == KQWALK_END) break;
        events.push_back(e == KQWALK_RECORD ? textOf(res, line)
                         : e == KQWALK_DAMAGED ? "DAMAGED " + std::to_string(res.iPos)
                                               : "OTHER");
    }
    EXPECT_EQ(events, (std::vector<std::string>{"before\n", "DAMAGED 17", "after\n"}));
}
