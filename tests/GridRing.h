// In-memory rings for the walker's tests: a GridRing of equal nodes with a
// writer model that evicts as the real writer does, and helpers that read
// a walker's records.
#ifndef KQ_TEST_GRIDRING_H
#define KQ_TEST_GRIDRING_H

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "KQShmLogWalk.h"
#include "TestSegment.h"

// A ring of equal nodes on a grid of slots: every text has kTextLen bytes,
// so node k starts at k * kNodeSize and the last slot wraps to 0. The
// writer model evicts as the real writer does: the end marker after a new
// node covers the next slot, whose node goes if it was the oldest.
class GridRing {
public:
    static const int kTextLen = 10;
    static const int kNodeSize = kTextLen + 10;

    // Header and ring lie together, as in a segment, with the ring last so
    // that the sanitizer build catches any read past it.
    explicit GridRing(int32_t ringSize)
        : m_seg(sizeof(shmloghead) + size_t(ringSize)), m_iRingSize(ringSize) {
        shmloghead& h = head();
        h.magic = KQLOG_MAGIC;
        h.hdrsize = sizeof(shmloghead);
        h.logbufsize = uint32_t(ringSize);
        // Slots until the ring rule wraps.
        int32_t pos = 0;
        do {
            ++m_iSlots;
            pos = KQRingNextPos(pos, kTextLen, ringSize);
        } while (pos != 0);
    }

    KQRingView view() { return KQRingView{&head(), data(), m_iRingSize}; }
    shmloghead& head() { return *reinterpret_cast<shmloghead*>(m_seg.data()); }
    uint8_t* data() { return m_seg.data() + sizeof(shmloghead); }
    // The whole segment, header first: for a reader's initFromMemory.
    void* segment() { return m_seg.data(); }
    size_t segmentSize() const { return m_seg.size(); }
    int slots() const { return m_iSlots; }
    static int32_t at(int slot) { return slot * kNodeSize; }

    // The text of the n-th node written: "n" and nine digits.
    static std::string text(int n) {
        char buf[16];
        snprintf(buf, sizeof(buf), "n%09d", n);
        return buf;
    }

    // Appends the next numbered node at logWritePos by the writer's rules.
    void append() {
        shmloghead& h = head();
        int w = h.logWritePos / kNodeSize;
        int next = (w + 1) % m_iSlots;
        if (h.logReadPos == at(next)) h.logReadPos = at((next + 1) % m_iSlots);
        data()[at(next)] = 0;
        // Seconds count the nodes, so that no two headers are alike.
        writeNodeAt(data(), at(w), text(m_iWritten), 0, 2, uint32_t(m_iWritten), 0);
        ++m_iWritten;
        h.logWritePos = at(next);
    }
    int written() const { return m_iWritten; }

private:
    std::vector<uint8_t> m_seg;
    int32_t m_iRingSize;
    int m_iSlots = 0;
    int m_iWritten = 0;
};

inline std::string textOf(const KQWalkResult& res, const char* line) {
    return std::string(line + res.line.nTextOffset, res.line.header[0]);
}

// Reads until the first event that is not a record; the texts read go to
// pTexts.
inline KQWalkEvent readRecords(KQRingWalker& walker, const KQRingView& view,
                        std::vector<std::string>* pTexts, KQWalkResult& res,
                        int maxSteps = 100000) {
    char line[KQLOG_MAX_LINE_SIZE + 1];
    for (int i = 0; i < maxSteps; ++i) {
        KQWalkEvent e = walker.next(view, line, res);
        if (e != KQWALK_RECORD) return e;
        pTexts->push_back(textOf(res, line));
    }
    return KQWALK_RECORD;
}

inline std::vector<std::string> texts(int from, int to) {
    std::vector<std::string> v;
    for (int n = from; n < to; ++n) v.push_back(GridRing::text(n));
    return v;
}


#endif
