// The append core (KQShmLogAppend.h) over plain memory: nodes written
// through it are read back through the walker, printing once from the
// oldest node, and compared with a slow model of what the ring retains.
// Rings are sized exactly, so the sanitizer build catches any access past
// them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "GridRing.h"
#include "KQShmLogAppend.h"
#include "KQShmLogWriter.h"

namespace {

// A header and a ring of exactly size bytes, written only through the core,
// with the model: every node appended, and which of them the ring still
// holds.
class AppendRing {
public:
    explicit AppendRing(int32_t size)
        : m_seg(sizeof(shmloghead) + size_t(size)), m_iSize(size) {
        head().magic = KQLOG_MAGIC;
        head().hdrsize = sizeof(shmloghead);
        head().logbufsize = uint32_t(size);
    }
    shmloghead& head() { return *reinterpret_cast<shmloghead*>(m_seg.data()); }
    uint8_t* ring() { return m_seg.data() + sizeof(shmloghead); }
    KQRingView view() { return KQRingView{&head(), ring(), m_iSize}; }

    int32_t add(const std::string& text, uint8_t level = 2) {
        KQAppendNode node{0, level, uint32_t(m_written.size()), 7, text.data(),
                          uint8_t(text.size())};
        int32_t pos = KQAppend(view(), node);
        std::string stored = text;
        std::replace(stored.begin(), stored.end(), '\0', '?');
        m_written.push_back(
            Written{pos, int32_t(pos + text.size() + 10), head().logWritePos, stored});
        return pos;
    }
    // Appends filler nodes from a fresh ring until logWritePos is at pos.
    void advanceTo(int32_t pos) {
        int32_t left = pos - head().logWritePos;
        while (left > 0) {
            int32_t take = left > 276 ? 265 : left > 265 ? 11 : left;
            add(std::string(size_t(take - 10), 'f'));
            left -= take;
        }
        ASSERT_EQ(head().logWritePos, pos);
    }

    // The slow model: a node is intact when no later node and not the end
    // marker at logWritePos overlaps it; the ring retains the newest intact
    // nodes, back to the first that is not.
    std::vector<std::string> model(int32_t* pOldest = nullptr) const {
        const int32_t endMarker = m_written.empty() ? 0 : m_written.back().next;
        std::vector<std::string> kept;
        for (size_t k = m_written.size(); k-- > 0;) {
            const Written& n = m_written[k];
            bool intact = !(n.pos <= endMarker && endMarker < n.end);
            for (size_t j = k + 1; j < m_written.size() && intact; ++j)
                intact = m_written[j].end <= n.pos || n.end <= m_written[j].pos;
            if (!intact) break;
            kept.insert(kept.begin(), n.text);
            if (pOldest) *pOldest = n.pos;
        }
        return kept;
    }

    // What a reader printing once from the oldest node gets.
    std::vector<std::string> read() {
        KQRingWalker walker;
        walker.startAtOldest(view(), false);
        std::vector<std::string> got;
        KQWalkResult res;
        readRecords(walker, view(), &got, res);
        return got;
    }

private:
    struct Written {
        int32_t pos, end, next;  // next: the end marker after it
        std::string text;
    };
    std::vector<uint8_t> m_seg;
    int32_t m_iSize;
    std::vector<Written> m_written;
};

std::string textOfLength(int n, size_t len) {
    std::string text = std::to_string(n) + ":";
    while (text.size() < len) text += char('a' + (n + text.size()) % 26);
    text.resize(len);
    return text;
}

// After every append the ring holds exactly the newest nodes that nothing
// overwrote, logReadPos at the oldest of them and an end marker at
// logWritePos; the smallest ring holds one largest node at a time.
TEST(AppendCore, EveryAppendEvictsExactlyTheCoveredNodes) {
    for (int32_t size : {KQLOG_MIN_LOG_BUF_SIZE, 600, 1000, 4097}) {
        SCOPED_TRACE(size);
        AppendRing r(size);
        int wraps = 0;
        for (int i = 0; i < 600; ++i) {
            size_t len = i % 5 == 0 ? 1 : i % 5 == 1 ? 255 : size_t(i * 37 % 255 + 1);
            int32_t before = r.head().logWritePos;
            ASSERT_EQ(r.add(textOfLength(i, len)), before);
            wraps += r.head().logWritePos == 0;
            int32_t oldest = -1;
            std::vector<std::string> kept = r.model(&oldest);
            ASSERT_EQ(r.head().logReadPos, oldest) << "message " << i;
            ASSERT_EQ(r.ring()[r.head().logWritePos], 0) << "message " << i;
            ASSERT_EQ(r.read(), kept) << "message " << i;
        }
        EXPECT_GT(wraps, 10);
    }
}

// A node written at each position from where the largest node would just
// wrap to where the smallest one would, with the lengths on either side of
// its wrap, over a ring filled once with the smallest nodes (one starts at
// every 11th byte, the last start included): the ring rule says where the
// next node goes, and exactly the old nodes it or the end marker at 0
// covers are evicted.
TEST(AppendCore, WrapsAtEveryPositionNearTheEnd) {
    const int32_t size = 1000;
    const int32_t last = size - KQLOG_WRAP_THRESHOLD - 1;  // last node start
    for (int32_t pos = last - 265; pos <= last; ++pos) {
        int32_t wrapLen = size - KQLOG_WRAP_THRESHOLD - 10 - pos;  // shortest that wraps
        for (int32_t len : {1, 255, wrapLen - 1, wrapLen}) {
            if (len < 1 || len > 255) continue;
            SCOPED_TRACE(testing::Message() << "at " << pos << ", length " << len);
            AppendRing r(size);
            do r.add("s"); while (r.head().logWritePos != 0);
            r.advanceTo(pos);
            ASSERT_EQ(r.add(textOfLength(pos, size_t(len))), pos);
            EXPECT_EQ(r.head().logWritePos, len >= wrapLen ? 0 : pos + len + 10);
            int32_t oldest = -1;
            std::vector<std::string> kept = r.model(&oldest);
            EXPECT_EQ(r.head().logReadPos, oldest);
            EXPECT_EQ(r.read(), kept);
            // The next node, at 0 after a wrap, reads back after it.
            r.add("next");
            kept = r.model(&oldest);
            EXPECT_EQ(kept.back(), "next");
            EXPECT_EQ(r.read(), kept);
        }
    }
}

// NUL bytes are stored as '?'; the text's length is kept.
TEST(AppendCore, StoresNulBytesAsStandIns) {
    AppendRing r(1000);
    r.add(std::string("\0a\0\0b\0", 6));
    r.add(std::string(255, '\0'));
    EXPECT_EQ(r.read(), (std::vector<std::string>{"?a??b?", std::string(255, '?')}));
}

// leveldb's log_test, for the writer: a ring written through the core,
// damaged in one byte, reads back with only the damaged node lost; the core
// writes on over it, and once the damaged node is evicted everything reads.
TEST(AppendCore, ADamagedNodeCostsOnlyItselfAndIsWrittenOver) {
    struct Damage {
        const char* name;
        int offset;  // from the node's start; 9 is its text
        uint8_t value;
    } damages[] = {
        {"level", 2, 9},
        {"NUL in text", 9 + 3, 0},
        {"terminator", 9 + 20, 'x'},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        AppendRing r(1000);
        std::vector<int32_t> at;
        for (int i = 0; i < 6; ++i) at.push_back(r.add(textOfLength(i, 20)));
        r.ring()[at[2] + d.offset] = d.value;

        std::vector<std::string> expected = r.model();
        expected.erase(expected.begin() + 2);
        KQRingWalker walker;
        walker.startAtOldest(r.view(), false);
        std::vector<std::string> got;
        KQWalkResult res;
        EXPECT_EQ(readRecords(walker, r.view(), &got, res), KQWALK_DAMAGED);
        EXPECT_EQ(res.iPos, at[2]);
        EXPECT_EQ(readRecords(walker, r.view(), &got, res), KQWALK_END);
        EXPECT_EQ(got, expected);

        for (int i = 6; i < 60; ++i) r.add(textOfLength(i, 20));
        EXPECT_EQ(r.read(), r.model());
    }
}

// Positions in the header that no node may take: the core writes only
// inside the ring, and the new node is all that is retained.
TEST(AppendCore, PositionsNoNodeMayTakeLeaveOnlyTheNewNode) {
    const int32_t size = 1000;
    struct Case {
        int32_t readPos, writePos;
        int32_t expectedAt;
    } cases[] = {
        {0, -1, 0},
        {0, size, 0},
        {0, size - KQLOG_WRAP_THRESHOLD, 0},
        {0, INT32_MIN, 0},
        {-7, 60, 60},
        {size - 1, 60, 60},
        {INT32_MAX, 60, 60},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.readPos << ", " << c.writePos);
        AppendRing r(size);
        for (int i = 0; i < 10; ++i) r.add(textOfLength(i, 30));
        r.head().logReadPos = c.readPos;
        r.head().logWritePos = c.writePos;
        EXPECT_EQ(r.add("new"), c.expectedAt);
        EXPECT_EQ(r.head().logReadPos, c.expectedAt);
        EXPECT_EQ(r.read(), std::vector<std::string>{"new"});
    }
}

// A writer killed after publishing a node's size byte but before moving
// logWritePos: the repair moves it past the node, which then reads back,
// and the next append goes after it. Anything else at logWritePos is not
// touched.
TEST(AppendCore, RepairCountsANodePublishedBeforeItsPositionMoved) {
    AppendRing r(1000);
    for (int i = 0; i < 40; ++i) r.add(textOfLength(i, 30));
    std::vector<std::string> kept = r.model();
    EXPECT_FALSE(KQAppendRepair(r.view()));  // an end marker: nothing to do

    int32_t before = r.head().logWritePos;
    r.add("published");
    int32_t after = r.head().logWritePos;
    r.head().logWritePos = before;
    ASSERT_TRUE(KQAppendRepair(r.view()));
    EXPECT_EQ(r.head().logWritePos, after);
    r.add("next");
    EXPECT_EQ(r.read(), r.model());
    EXPECT_EQ(r.read().back(), "next");

    before = r.head().logWritePos;
    r.add("torn");
    r.head().logWritePos = before;
    r.ring()[before + 9 + 1] = 0;  // a NUL inside its text
    EXPECT_FALSE(KQAppendRepair(r.view()));
    EXPECT_EQ(r.head().logWritePos, before);
}

}  // namespace
