// One small test per reading rule of the ring core and the walker, over
// plain memory: the print-once budget and its end, a writer starting over,
// the node published at logWritePos, tag name lengths, the after-copy
// recheck, resynchronisation's fallbacks and its wrap candidate, and times
// that local time cannot show.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "GridRing.h"
#include "KQShmLogRing.h"
#include "KQShmLogWalk.h"
#include "TestSegment.h"

namespace {

// Seconds whose bytes (0x40) make no node start inside a damaged node's
// header: a candidate there has a level byte of 0x40 or a text that runs
// over the damaged node's terminator.
const uint32_t kNoNodeSeconds = 0x40404040u;

// Appends the next node as GridRing does; a damaged one has a bad level
// byte.
void appendNode(GridRing& ring, bool damaged) {
    int32_t at = ring.head().logWritePos;
    ring.append();
    if (damaged)
        writeNodeAt(ring.data(), at, GridRing::text(ring.written() - 1), 0, 9,
                    kNoNodeSeconds, 0);
}

std::string eventName(KQWalkEvent e) {
    switch (e) {
    case KQWALK_RECORD: return "RECORD";
    case KQWALK_END: return "END";
    case KQWALK_DAMAGED: return "DAMAGED";
    case KQWALK_LAPPED: return "LAPPED";
    }
    return "?";
}

// A walker started at the oldest node, with its line and result.
struct Walk {
    Walk(const KQRingView& view, bool follow) { walker.startAtOldest(view, follow); }
    KQWalkEvent next(const KQRingView& view) { return walker.next(view, line, res); }
    std::string text() const { return textOf(res, line); }

    // Events until the ends-th END: a record as its text when byText, any
    // other event as its name and position; END alone.
    std::vector<std::string> events(const KQRingView& view, bool byText, int ends = 1) {
        std::vector<std::string> got;
        for (int i = 0; i < 100 && ends > 0; ++i) {
            KQWalkEvent e = next(view);
            if (e == KQWALK_END) {
                --ends;
                got.push_back("END");
            } else if (e == KQWALK_RECORD && byText) {
                got.push_back(text());
                seconds.push_back(res.line.iSecond);
            } else {
                got.push_back(eventName(e) + " " + std::to_string(res.iPos));
            }
        }
        return got;
    }

    KQRingWalker walker;
    char line[KQLOG_MAX_LINE_SIZE + 1];
    KQWalkResult res;
    std::vector<int64_t> seconds;  // of the records events() gave by text
};

std::vector<std::string> textsThenEnd(int from, int to) {
    std::vector<std::string> v = texts(from, to);
    v.push_back("END");
    return v;
}

}  // namespace

// Printing once reads at most twice the ring's size, even when the writers
// keep the written data ahead of the reader for ever (a sound node or a
// damaged one appended after every call): the pass ends, and stays ended.
TEST(WalkRules, PrintingOnceEndsWithinTwiceTheRingSize) {
    for (bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "damaged nodes" : "sound nodes");
        GridRing ring(1000);
        for (int i = 0; i < 10; ++i) appendNode(ring, damaged);
        Walk w(ring.view(), false);
        std::vector<std::string> got;
        int64_t passed = 0;  // ring bytes the pass went over
        int32_t last = ring.head().logReadPos;
        bool ended = false;
        for (int i = 0; i < 1000 && !ended; ++i) {
            KQWalkEvent e = w.next(ring.view());
            ASSERT_NE(e, KQWALK_LAPPED);
            ended = e == KQWALK_END;
            if (e == KQWALK_RECORD) got.push_back(w.text());
            passed += KQRingDistance(last, w.walker.position(), 1000);
            last = w.walker.position();
            appendNode(ring, damaged);
        }
        ASSERT_TRUE(ended);
        EXPECT_LE(passed, 2 * 1000 + GridRing::kNodeSize);
        EXPECT_EQ(got, damaged ? std::vector<std::string>() : texts(0, int(got.size())));
        for (int i = 0; i < 3; ++i) {
            ring.append();
            EXPECT_EQ(w.next(ring.view()), KQWALK_END);
        }
    }
}

// A writer that starts its log over (a new start time in the header) is
// read from its oldest node again, with no LAPPED event and its new start
// time, even when the positions alone look like the old log going on.
TEST(WalkRules, NewStartTimeRestartsQuietlyAtTheOldest) {
    for (bool follow : {true, false}) {
        SCOPED_TRACE(follow ? "following" : "printing once");
        GridRing ring(1000);
        ring.head().starttime = 1000;
        for (int i = 0; i < 10; ++i) ring.append();
        Walk w(ring.view(), follow);
        for (int i = 0; i < 5; ++i) ASSERT_EQ(w.next(ring.view()), KQWALK_RECORD);

        ring.head().starttime = 5000;  // the same bytes, the same positions
        EXPECT_EQ(w.events(ring.view(), true), textsThenEnd(0, 10));
        std::vector<int64_t> want;
        for (int n = 0; n < 10; ++n) want.push_back(5000 + n);
        EXPECT_EQ(w.seconds, want);
    }
}

// A sound node at logWritePos, published before its writer moved
// logWritePos past it, is read as a record, not taken for a broken link;
// its successor is read once the writer goes on, with nothing reported.
TEST(WalkRules, NodeAtTheWritePositionIsReadWithoutABrokenLink) {
    for (bool follow : {true, false}) {
        SCOPED_TRACE(follow ? "following" : "printing once");
        GridRing ring(1000);
        for (int i = 0; i < 6; ++i) ring.append();
        ring.head().logWritePos = GridRing::at(5);  // node 5 not passed yet
        Walk w(ring.view(), follow);
        std::vector<std::string> want = textsThenEnd(0, 6);
        want.push_back("END");
        EXPECT_EQ(w.events(ring.view(), true, 2), want);
        if (!follow) continue;
        ring.head().logWritePos = GridRing::at(6);
        ring.append();
        EXPECT_EQ(w.events(ring.view(), true), textsThenEnd(6, 7));
    }
}

// Once a pass that prints once has ended, every later call answers END,
// also after the writers add nodes: ended at the end of the data, at a
// node being written at logWritePos, or by its budget.
TEST(WalkRules, PrintingOnceStaysEnded) {
    enum How { END_OF_DATA, UNCOMMITTED, BUDGET };
    const char* const names[] = {"end of the data", "node being written",
                                 "budget spent"};
    for (How how : {END_OF_DATA, UNCOMMITTED, BUDGET}) {
        SCOPED_TRACE(names[how]);
        GridRing ring(1000);
        for (int i = 0; i < 5; ++i) ring.append();
        if (how == UNCOMMITTED) {
            int32_t w = ring.head().logWritePos;
            writeNodeAt(ring.data(), w, "half", 0, 2, 0, 0);
            ring.data()[w + 9 + 4] = 'x';  // no terminator yet
        }
        Walk w(ring.view(), false);
        int records = 0;
        KQWalkEvent e = KQWALK_RECORD;
        for (int i = 0; i < 1000 && e != KQWALK_END; ++i) {
            e = w.next(ring.view());
            if (e == KQWALK_RECORD) ++records;
            if (how == BUDGET) ring.append();
        }
        ASSERT_EQ(e, KQWALK_END);
        EXPECT_GE(records, 5);
        for (int i = 0; i < 4; ++i) {
            ring.append();
            EXPECT_EQ(eventName(w.next(ring.view())), "END") << "call " << i << " after the end";
        }
    }
}

// A tag name is its entry's bytes up to the first NUL, at most 10 (the
// entry's level byte follows and is never part of it): as KQRingTagName
// copies it, as KQRingReadLine puts it in the line, and as the walker
// gives it.
TEST(WalkRules, TagNamesUpToTheFirstNulAtMostTenBytes) {
    ScopedTimeZone utc("UTC");
    struct Case {
        const char* entry;  // the 10 bytes of the entry
        const char* name;
    } cases[] = {
        {"abcdefgh\0\0", "abcdefgh"},   {"abcdefghi\0", "abcdefghi"},
        {"abcdefghij", "abcdefghij"},   {"abcdefgh\0z", "abcdefgh"},
        {"abc\0zzzzzz", "abc"},         {"\0zzzzzzzzz", ""},
        {"abcdefg\0zz", "abcdefg"},
    };
    const int n = int(sizeof(cases) / sizeof(cases[0]));
    PlainRing ring(2000);
    int32_t pos = 0;
    std::vector<int32_t> at;
    for (int i = 0; i < n; ++i) {
        memcpy(ring.head().logInfos[i].strLogTag, cases[i].entry, 10);
        ring.head().logInfos[i].nLogLevel = 'L';
        ring.head().logInfos[i].bEnable = 'E';
        at.push_back(pos);
        ring.node(pos, "text\n", uint8_t(i));
        pos = KQRingNextPos(pos, 5, 2000);
    }
    ring.head().currLogInfoIndex = uint8_t(n);
    ring.head().logWritePos = pos;

    Walk w(ring.view(), false);
    for (int i = 0; i < n; ++i) {
        const std::string want = cases[i].name;
        SCOPED_TRACE(want);
        char name[KQLOG_TAG_NAME_SIZE];
        int len = KQRingTagName(&ring.head(), uint8_t(i), name);
        EXPECT_EQ(std::string(name, size_t(len)), want);

        KQTimeCache cache;
        char out[KQLOG_MAX_LINE_SIZE + 1];
        KQLineRead line;
        ASSERT_EQ(KQRingReadLine(ring.view(), at[size_t(i)], 0, cache, out, line),
                  KQNODE_VALID);
        EXPECT_EQ(line.iTagLen, int(want.size()));
        EXPECT_EQ(std::string(out + line.nTagOffset, size_t(line.iTagLen)), want);
        EXPECT_EQ(std::string(out, line.nLineLen),
                  "[INFO  " + want + " 01-01 00:00:00 0000] text\n");

        ASSERT_EQ(w.next(ring.view()), KQWALK_RECORD);
        EXPECT_EQ(std::string(w.line + w.res.line.nTagOffset, size_t(w.res.line.iTagLen)),
                  want);
        EXPECT_EQ(std::string(w.line, w.res.line.nLineLen), std::string(out, line.nLineLen));
    }
}

// The after-copy recheck reports a change in any of the nine header bytes,
// any text byte and the terminator, and no change once the byte is back.
TEST(WalkRules, LineRecheckSeesEveryByteOfTheNode) {
    PlainRing ring(512);
    const std::string text = "first text\n";
    ring.node(40, text, 1, 2, 0x01020304u, 0x0506);
    KQTimeCache cache;
    char out[KQLOG_MAX_LINE_SIZE + 1];
    KQLineRead line;
    ASSERT_EQ(KQRingReadLine(ring.view(), 40, 0, cache, out, line), KQNODE_VALID);
    const int nodeBytes = KQLOG_NODE_HDR_SIZE + int(text.size()) + 1;
    for (int offset = 0; offset < nodeBytes; ++offset) {
        SCOPED_TRACE(testing::Message() << "node byte " << offset);
        uint8_t& b = ring.data()[40 + offset];
        const uint8_t was = b;
        b = uint8_t(was ^ 0x21);
        EXPECT_FALSE(KQRingLineUnchanged(ring.view(), 40, line, out));
        b = was;
        EXPECT_TRUE(KQRingLineUnchanged(ring.view(), 40, line, out));
    }
}

// A node the ring table below writes.
struct Node {
    int32_t pos;
    std::string text;
    uint8_t tag, level;
    uint32_t sec;
};

// Writes the nodes into ring; logReadPos is the first one, logWritePos
// follows the last.
void writeNodes(PlainRing& ring, const std::vector<Node>& nodes) {
    for (const Node& n : nodes) ring.node(n.pos, n.text, n.tag, n.level, n.sec);
    const Node& last = nodes.back();
    ring.head().logReadPos = nodes.front().pos;
    ring.head().logWritePos =
        KQRingNextPos(last.pos, uint8_t(last.text.size()), int32_t(ring.head().logbufsize));
}

// A damaged node at 700 so near the ring's end that its successor wrapped
// to 0, where a sound chain goes on.
const std::vector<Node> kWrapNodes = {{700, std::string(20, 'd'), 0, 9, kNoNodeSeconds},
                                      {0, "after wrap 0", 0, 2, 0},
                                      {22, "after wrap 1", 0, 2, 0},
                                      {44, "after wrap 2", 0, 2, 0}};

// Resynchronisation after a damaged node: with no sound node anywhere
// after it, logWritePos when it is known (ahead of the damaged node or
// behind it round the ring) and -1 when it is not; the chain at 0 when the
// successor wrapped there (no candidate after the damaged node can hold a
// node).
TEST(WalkRules, ResyncFallsBackToTheWritePositionAndTheWrap) {
    PlainRing blank(2000);
    memset(blank.data(), 0xFF, 2000);  // size and level 255
    for (int32_t writePos : {1000, 1999, 50, -1}) {
        SCOPED_TRACE(testing::Message() << "logWritePos " << writePos);
        EXPECT_EQ(KQRingResync(blank.view(), 100, writePos), writePos);
    }

    PlainRing ring(1000);
    writeNodes(ring, kWrapNodes);
    ASSERT_EQ(KQRingNextPos(700, 20, 1000), 0);
    EXPECT_EQ(KQRingResync(ring.view(), 700, ring.head().logWritePos), 0);
    EXPECT_EQ(KQRingResync(ring.view(), 700, -1), 0);
    // With its size byte bad as well, no reading of the damaged node holds:
    // only the scan's wrap candidate finds the chain at 0.
    ring.data()[700] = 0xEE;
    EXPECT_EQ(KQRingResync(ring.view(), 700, ring.head().logWritePos), 0);
}

// A cursor in the ring's last eight bytes, where no header fits (a
// logReadPos pointing there): nothing is read past the ring's end (the
// sanitizer build sees any such read), and no record comes from there.
TEST(WalkRules, CursorWhereNoHeaderFitsReadsNothingPastTheRing) {
    for (int32_t back = 1; back < KQLOG_NODE_HDR_SIZE; ++back) {
        for (bool follow : {false, true}) {
            SCOPED_TRACE(testing::Message() << "cursor " << back
                                            << " bytes before the end, follow "
                                            << follow);
            PlainRing ring(512);
            // Bytes that read as a size and a level wherever they start.
            memset(ring.data(), 0x02, 512);
            ring.head().logReadPos = 512 - back;
            ring.head().logWritePos = 100;
            Walk w(ring.view(), follow);
            EXPECT_EQ(w.events(ring.view(), true),
                      std::vector<std::string>{"END"});
        }
    }
}

// A second that local time cannot express (past the year a struct tm
// holds, or starttime + seconds past int64) shows as "00-00 00:00:00"
// with bTimeValid false, also for a second node of the same second.
TEST(WalkRules, TimeLocalTimeCannotShowIsMarkedInvalid) {
    ScopedTimeZone utc("UTC");
    struct Case {
        int64_t start;
        uint32_t sec;
        bool valid;
        const char* shown;
    } cases[] = {
        {1700000000, 0, true, "11-14 22:13:20"},
        {INT64_MAX / 2, 0, false, "00-00 00:00:00"},
        {INT64_MIN / 2, 7, false, "00-00 00:00:00"},
        {int64_t(1) << 60, 1, false, "00-00 00:00:00"},
        {INT64_MAX - 100, 200, false, "00-00 00:00:00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "start " << c.start << " + " << c.sec);
        PlainRing ring(1000);
        ring.head().starttime = c.start;
        ring.node(0, "one", 0, 2, c.sec, 1);
        ring.node(13, "two", 0, 2, c.sec, 2);
        ring.head().logWritePos = 26;
        const std::string prefix = std::string("[INFO   ") + c.shown + " 000";

        KQTimeCache cache;
        char out[KQLOG_MAX_LINE_SIZE + 1];
        KQLineRead line;
        for (int32_t at : {0, 13}) {
            ASSERT_EQ(KQRingReadLine(ring.view(), at, c.start, cache, out, line),
                      KQNODE_VALID);
            EXPECT_EQ(line.bTimeValid, c.valid);
            EXPECT_EQ(std::string(out, prefix.size()), prefix);
        }
        Walk w(ring.view(), false);
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(w.next(ring.view()), KQWALK_RECORD);
            EXPECT_EQ(w.res.line.bTimeValid, c.valid);
            EXPECT_EQ(std::string(w.line, prefix.size()), prefix);
        }
    }
}

// A damaged node costs that record only: no record is read from inside it,
// and the sound nodes after it (up to a second damaged node, and after
// that one) are read, each once. The rings hold a damaged node whose bytes
// also hold a sound chain to logWritePos that is not the true one:
// - size byte zeroed, where the next position by that byte holds a whole
//   node ending on the damaged node's terminator;
// - size byte zeroed, with a candidate 2 bytes in whose header lies over
//   the damaged node's terminator and whose chain reaches logWritePos
//   before the true successor;
// - two damaged nodes, with a candidate inside the sound node between them
//   that ends 5 bytes into the second one, its chain going further than
//   the true one, which breaks at the second damaged node;
// - the successor wrapped to 0 (kWrapNodes).
TEST(WalkRules, DamagedNodeCostsOnlyThatRecord) {
    struct Case {
        const char* name;
        std::vector<Node> nodes;
        int32_t damageAt;  // zeroed after writing; -1: none
        std::vector<std::string> want;
    } cases[] = {
        {"size byte zeroed, a node inside the text",
         {{0, std::string("a\x05\x01\x02\x01\x01\x01\x01\x01\x01hello", 15), 0, 2, 0},
          {25, "after\n", 0, 2, 1}},
         0, {"DAMAGED 0", "RECORD 25", "END"}},
        {"size byte zeroed, a chain over the terminator",
         {{0, " ", 0, 1, 0}, {11, "abcd", 0, 2, 1}},
         0, {"DAMAGED 0", "RECORD 11", "END"}},
        {"two damaged nodes, a chain into the second",
         {{0, "first\n", 0, 9, 0}, {16, " ", 0, 0, 3},
          {27, "\xff", 0xff, 0x69, 4}, {38, "after\n", 0, 2, 5}},
         -1, {"DAMAGED 0", "RECORD 16", "DAMAGED 27", "RECORD 38", "END"}},
        {"the successor wrapped to the ring start", kWrapNodes,
         -1, {"DAMAGED 700", "RECORD 0", "RECORD 22", "RECORD 44", "END"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PlainRing ring(1000);
        writeNodes(ring, c.nodes);
        if (c.damageAt >= 0) ring.data()[c.damageAt] = 0;
        Walk w(ring.view(), false);
        EXPECT_EQ(w.events(ring.view(), false), c.want);
    }
}
