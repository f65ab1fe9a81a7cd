// The ring walker over plain memory: node checks, the wrap rule, skipping
// and line rendering, with rings sized exactly so that the sanitizer build
// catches any read past them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "GridRing.h"
#include "KQShmLogRing.h"
#include "TestSegment.h"

namespace {

std::string render(const KQNodeCopy& copy, const std::string& tag,
                   int64_t start, KQTimeCache& cache) {
    char out[KQLOG_MAX_LINE_SIZE];
    size_t n = KQRenderLine(copy, tag.data(), int(tag.size()), start, cache, out);
    return std::string(out, n);
}

// The obviously correct rendering the fast one must match.
std::string referenceLine(const KQNodeCopy& copy, const std::string& tag,
                          int64_t start) {
    time_t t = time_t(start + copy.timeDeltaSec);
    struct tm* tm = localtime(&t);
    char timeText[60];
    snprintf(timeText, sizeof(timeText), " %.2d-%.2d %.2d:%.2d:%.2d %.4u",
             tm->tm_mon + 1, tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec,
             unsigned(copy.timeDeltaMs));
    return "[" + std::string(LOG_LEVEL_STRING[copy.logLevel]) + " " + tag +
           timeText + "] " + std::string(copy.text, copy.logSize);
}

}  // namespace

TEST(RingRule, WrapsWhenTheThresholdWouldBeReached) {
    EXPECT_EQ(KQRingNextPos(198, 20, 512), 0);    // 198 + 30 + 284 = 512
    EXPECT_EQ(KQRingNextPos(197, 20, 512), 227);
    EXPECT_EQ(KQRingNextPos(0, 255, 1000), 265);
    EXPECT_EQ(KQRingNextPos(0, 255, 549), 0);
    // Positions near the 32-bit limit do not overflow.
    EXPECT_EQ(KQRingNextPos(INT32_MAX - 5, 255, INT32_MAX), 0);
}

TEST(RingReadNode, TheTwelveByteHiNode) {
    PlainRing ring(512);
    const uint8_t hi[] = {0x02, 0x00, 0x02, 0x05, 0x00, 0x00,
                          0x00, 0x07, 0x00, 0x68, 0x69, 0x00};
    memcpy(ring.data() + 40, hi, sizeof(hi));
    KQNodeCopy copy;
    ASSERT_EQ(KQRingReadNode(ring.view(), 40, copy), KQNODE_VALID);
    EXPECT_EQ(copy.logSize, 2);
    EXPECT_EQ(copy.logTag, 0);
    EXPECT_EQ(copy.logLevel, 2);
    EXPECT_EQ(copy.timeDeltaSec, 5u);
    EXPECT_EQ(copy.timeDeltaMs, 7);
    EXPECT_EQ(std::string(copy.text, copy.logSize), "hi");
    EXPECT_EQ(KQRingNextPos(40, copy.logSize, 512), 52);
}

TEST(RingReadNode, FailsEveryCheck) {
    PlainRing ring(512);
    KQNodeCopy copy;

    ring.node(0, "abcde");
    ring.data()[9 + 3] = 0;  // NUL after three bytes
    EXPECT_EQ(KQRingReadNode(ring.view(), 0, copy), KQNODE_INVALID);
    EXPECT_EQ(copy.count, 3);

    ring.node(0, "abcde");
    ring.data()[9 + 5] = 'x';  // no terminator
    EXPECT_EQ(KQRingReadNode(ring.view(), 0, copy), KQNODE_INVALID);
    EXPECT_EQ(copy.terminator, 'x');

    ring.node(0, "abcde", 0, 6);
    EXPECT_EQ(KQRingReadNode(ring.view(), 0, copy), KQNODE_INVALID);
    ring.node(0, "abcde", 0, 5);
    EXPECT_EQ(KQRingReadNode(ring.view(), 0, copy), KQNODE_VALID);

    ring.data()[100] = 0;
    ring.data()[101] = 7;
    ring.data()[102] = 3;
    EXPECT_EQ(KQRingReadNode(ring.view(), 100, copy), KQNODE_END);
    EXPECT_EQ(copy.logTag, 7);
    EXPECT_EQ(copy.logLevel, 3);
}

TEST(RingReadNode, NeverReadsOutsideTheRing) {
    PlainRing ring(300);
    memset(ring.data(), 'a', 300);
    KQNodeCopy copy;
    // Header fits, text runs to the ring end with no NUL.
    ring.data()[200] = 255;
    ring.data()[202] = 1;
    EXPECT_EQ(KQRingReadNode(ring.view(), 200, copy), KQNODE_INVALID);
    EXPECT_EQ(copy.count, 300 - 209);
    EXPECT_EQ(copy.terminator, -1);
    // Text fits exactly but the terminator would be the byte after the ring.
    ring.data()[280] = 300 - 289;
    EXPECT_EQ(KQRingReadNode(ring.view(), 280, copy), KQNODE_INVALID);
    EXPECT_EQ(copy.terminator, -1);
    EXPECT_EQ(KQRingCountText(ring.view(), 200, 599), 300 - 209);

    for (int32_t pos : {-1, -300, 292, 299, 300, INT32_MAX, INT32_MIN})
        EXPECT_EQ(KQRingReadNode(ring.view(), pos, copy), KQNODE_OUTSIDE) << pos;

    PlainRing tiny(8);
    EXPECT_EQ(KQRingReadNode(tiny.view(), 0, copy), KQNODE_OUTSIDE);
    PlainRing empty(0);
    int32_t pos = 0;
    EXPECT_FALSE(KQRingSkip(empty.view(), pos, 1));
}

TEST(RingSkip, StepsBySizeBytesAlone) {
    PlainRing ring(1000);
    ring.node(0, "abc");              // next 13
    ring.node(13, "defgh", 0, 99);    // unchecked: next 28
    ring.data()[28] = 0;              // end marker: stepped by 10
    int32_t pos = 0;
    EXPECT_TRUE(KQRingSkip(ring.view(), pos, 3));
    EXPECT_EQ(pos, 38);

    pos = 1000;
    EXPECT_FALSE(KQRingSkip(ring.view(), pos, 1));
    EXPECT_EQ(pos, 1000);
    pos = -4;
    EXPECT_FALSE(KQRingSkip(ring.view(), pos, 2));
}

TEST(RingTagName, StopsAtNulOrTenBytes) {
    PlainRing ring(512);
    memcpy(ring.head().logInfos[0].strLogTag, "0123456789", 10);
    ring.head().logInfos[0].nLogLevel = 77;  // must not be read as a name byte
    char name[KQLOG_TAG_NAME_SIZE];
    EXPECT_EQ(KQRingTagName(&ring.head(), 0, name), 10);
    EXPECT_EQ(std::string(name, 10), "0123456789");
    strcpy(ring.head().logInfos[1].strLogTag, "net");
    EXPECT_EQ(KQRingTagName(&ring.head(), 1, name), 3);
    EXPECT_EQ(KQRingTagName(&ring.head(), 255, name), 0);
}

TEST(RingRender, WorkedExamplesAndFieldWidths) {
    ScopedTimeZone utc("UTC");
    KQTimeCache cache;
    PlainRing ring(512);
    // 2025-12-31 23:59:59 UTC
    ring.node(0, "link down", 0, 3, 59, 999);
    KQNodeCopy copy;
    ASSERT_EQ(KQRingReadNode(ring.view(), 0, copy), KQNODE_VALID);
    EXPECT_EQ(render(copy, "net", 1767225540, cache),
              "[WARN  net 12-31 23:59:59 0999] link down");

    copy.timeDeltaMs = 0;
    EXPECT_EQ(render(copy, "", 0, cache), "[WARN   01-01 00:00:59 0000] link down");
    for (uint16_t ms : {9, 10, 99, 100, 9999}) {
        copy.timeDeltaMs = ms;
        char want[8];
        snprintf(want, sizeof(want), "%.4u", unsigned(ms));
        EXPECT_NE(render(copy, "t", 0, cache).find(std::string(" ") + want + "] "),
                  std::string::npos) << ms;
    }
    copy.timeDeltaMs = 10000;
    EXPECT_EQ(render(copy, "t", 0, cache), "[WARN  t 01-01 00:00:59 10000] link down");
    copy.timeDeltaMs = 65535;
    EXPECT_EQ(render(copy, "t", 0, cache), "[WARN  t 01-01 00:00:59 65535] link down");

    // Seconds past what time_t arithmetic can hold render as zeros.
    copy.timeDeltaMs = 1;
    EXPECT_EQ(render(copy, "t", INT64_MAX, cache),
              "[WARN  t 00-00 00:00:00 0001] link down");
    EXPECT_EQ(render(copy, "t", INT64_MAX - 100, cache),
              "[WARN  t 00-00 00:00:00 0001] link down");
}

TEST(RingRender, MatchesTheReferenceAcrossZonesAndTimes) {
    std::mt19937_64 rng(12345);
    for (const char* zone : {"UTC", "America/New_York", "Europe/Amsterdam"}) {
        ScopedTimeZone tz(zone);
        KQTimeCache cache;
        PlainRing ring(1024);
        // Runs of nearby seconds exercise the cache; jumps cross DST changes.
        int64_t start = 1700000000;
        uint32_t sec = 0;
        for (int i = 0; i < 3000; ++i) {
            sec = (i % 7 == 0) ? uint32_t(rng() % 400000000u) : sec + uint32_t(rng() % 3);
            std::string text(1 + rng() % 255, 'x');
            for (char& c : text) c = char(1 + rng() % 255);
            uint8_t level = uint8_t(rng() % 6);
            ring.node(0, text, 0, level, sec, uint16_t(rng()));
            KQNodeCopy copy;
            ASSERT_EQ(KQRingReadNode(ring.view(), 0, copy), KQNODE_VALID);
            std::string tag(rng() % 11, 'g');
            ASSERT_EQ(render(copy, tag, start, cache), referenceLine(copy, tag, start))
                << zone << " sec " << sec;
        }
    }
}

// Every second in turn, with one cache, across changes of UTC offset: DST
// by an hour and by half an hour, offsets with seconds in them (Amsterdam,
// 1937), and a leap second (right/UTC, end of 2016), where a minute does
// not read second by second and the cache must convert again.
TEST(RingRender, EverySecondAcrossOffsetChangesAndALeapSecond) {
    struct Window {
        const char* zone;
        int64_t iAround;  // a second near the change
    } windows[] = {
        {"Europe/Berlin", 1774746000},        // 2026-03-29 01:00 UTC
        {"Europe/Berlin", 1792890000},        // 2026-10-25 01:00 UTC
        {"Australia/Lord_Howe", 1775314800},  // 2026-04-05, back by 30 min
        // 1937: +0:19:32 to +1:19:32 on a local minute, then on to +1:20
        // in mid-minute (23:59:59 to 00:00:28)
        {"Europe/Amsterdam", -1029190772},
        {"Europe/Amsterdam", -1025745572},
        {"right/UTC", 1483228826},            // 2016-12-31 23:59:60
        {"UTC", 1700000000},
    };
    PlainRing ring(256);
    ring.node(0, "x", 0, 2, 0, 7);
    KQNodeCopy copy;
    ASSERT_EQ(KQRingReadNode(ring.view(), 0, copy), KQNODE_VALID);
    for (const Window& w : windows) {
        ScopedTimeZone tz(w.zone);
        KQTimeCache cache;
        const int64_t iFirst = w.iAround - 3700;
        for (int64_t t = iFirst; t < w.iAround + 3700; ++t) {
            ASSERT_EQ(render(copy, "", t, cache), referenceLine(copy, "", t))
                << w.zone << " second " << t;
        }
        // One second, then another before or after it: a minute the
        // change cuts must not be read on from its other side.
        for (int64_t a : {-61, -30, -1, 0, 1, 5, 30, 61}) {
            for (int64_t b = -65; b <= 65; b += 3) {
                for (int64_t t : {w.iAround + a, w.iAround + b}) {
                    ASSERT_EQ(render(copy, "", t, cache),
                              referenceLine(copy, "", t))
                        << w.zone << " second " << t << " after "
                        << w.iAround + a;
                }
            }
        }
    }
}

// The level byte is fine and the text fits; only the terminator would be
// the byte after the ring. Every reader of nodes refuses it without
// reading there (the ring is sized exactly).
TEST(RingReadNode, RefusesATerminatorPastTheRingEnd) {
    PlainRing ring(300);
    const int32_t pos = 280;
    // Text of 11 bytes at 289..299: the terminator would be byte 300.
    std::string text(300 - pos - KQLOG_NODE_HDR_SIZE, 't');
    memcpy(ring.data() + pos, "\x0b\x00\x02\x00\x00\x00\x00\x00\x00", 9);
    memcpy(ring.data() + pos + 9, text.data(), text.size());
    ASSERT_EQ(ring.data()[pos], text.size());
    ASSERT_LT(ring.data()[pos + 2], KQLOG_LEVEL_COUNT);

    KQNodeCopy copy;
    EXPECT_EQ(KQRingReadNode(ring.view(), pos, copy), KQNODE_INVALID);
    EXPECT_EQ(copy.terminator, -1);
    KQTimeCache cache;
    char out[KQLOG_MAX_LINE_SIZE + 1];
    KQLineRead line;
    EXPECT_EQ(KQRingReadLine(ring.view(), pos, 0, cache, out, line), KQNODE_INVALID);
    int32_t next = -7;
    EXPECT_FALSE(KQRingNodeSound(ring.view(), pos, next));
    EXPECT_EQ(next, -7);

    // One byte shorter, the same node is sound.
    ring.data()[pos] = uint8_t(text.size() - 1);
    ring.data()[299] = 0;
    EXPECT_EQ(KQRingReadNode(ring.view(), pos, copy), KQNODE_VALID);
    EXPECT_EQ(KQRingReadLine(ring.view(), pos, 0, cache, out, line), KQNODE_VALID);
    EXPECT_TRUE(KQRingNodeSound(ring.view(), pos, next));
}

// The after-copy recheck compares the text and its terminator as well as
// the nine header bytes: a writer that replaced a node by one of the same
// size, tag, level and time changed only the text.
TEST(RingLineUnchanged, NoticesAChangeInTheTextAlone) {
    PlainRing ring(512);
    ring.node(40, "first text\n", 0, 2, 5, 7);
    KQTimeCache cache;
    char out[KQLOG_MAX_LINE_SIZE + 1];
    KQLineRead line;
    ASSERT_EQ(KQRingReadLine(ring.view(), 40, 0, cache, out, line), KQNODE_VALID);
    EXPECT_TRUE(KQRingLineUnchanged(ring.view(), 40, line, out));

    struct Change {
        const char* name;
        int32_t offset;  // from the node's start
        uint8_t byte;
    } changes[] = {
        {"first text byte", 9, 'F'},
        {"last text byte", 9 + 10, '!'},
        {"terminator", 9 + 11, 'x'},
        {"level", 2, 3},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.name);
        uint8_t was = ring.data()[40 + c.offset];
        ring.data()[40 + c.offset] = c.byte;
        EXPECT_FALSE(KQRingLineUnchanged(ring.view(), 40, line, out));
        ring.data()[40 + c.offset] = was;
        EXPECT_TRUE(KQRingLineUnchanged(ring.view(), 40, line, out));
    }
    // A whole new node with the same header.
    ring.node(40, "other text\n", 0, 2, 5, 7);
    EXPECT_FALSE(KQRingLineUnchanged(ring.view(), 40, line, out));
}

// KQRingReadLine copies and checks a text in blocks of 16 bytes with the
// last block ending on the terminator, which is not how KQRingReadNode
// reads it: both must agree on every length, on a NUL at each place in
// the text and on a terminator that is none. The node ends on the ring's
// last byte and the line buffer is exactly as large as promised, so that
// the sanitizer build catches a block that reaches past either.
TEST(RingReadLine, AgreesWithReadNodeOnEveryLengthAndDefect) {
    ScopedTimeZone utc("UTC");
    KQTimeCache lineCache, renderCache;
    for (int32_t pos : {0, 3}) {
        for (int len = 1; len <= KQLOG_MAX_LOG_LENGTH; ++len) {
            PlainRing ring(pos + KQLOG_NODE_HDR_SIZE + len + 1);
            strcpy(ring.head().logInfos[1].strLogTag, "net");
            std::string text(size_t(len), 'x');
            for (int i = 0; i < len; ++i) text[size_t(i)] = char('a' + i % 26);
            // -1: sound; len: a terminator that is no NUL; else a NUL there.
            for (int defect = -1; defect <= len; ++defect) {
                ring.node(pos, text, 1, 4, 61, 250);
                uint8_t* pText = ring.data() + pos + KQLOG_NODE_HDR_SIZE;
                if (defect >= 0) pText[defect] = defect == len ? 'z' : 0;

                KQNodeCopy copy;
                KQNodeStatus want = KQRingReadNode(ring.view(), pos, copy);
                ASSERT_EQ(want, defect < 0 ? KQNODE_VALID : KQNODE_INVALID);
                std::vector<char> out(KQLOG_MAX_LINE_SIZE + 1);
                KQLineRead line;
                ASSERT_EQ(KQRingReadLine(ring.view(), pos, 0, lineCache,
                                         out.data(), line),
                          want)
                    << "length " << len << " defect at " << defect;
                if (want != KQNODE_VALID) continue;
                EXPECT_EQ(std::string(out.data(), line.nLineLen),
                          render(copy, "net", 0, renderCache))
                    << "length " << len;
                EXPECT_TRUE(KQRingLineUnchanged(ring.view(), pos, line,
                                                out.data()));
            }
        }
    }
}
