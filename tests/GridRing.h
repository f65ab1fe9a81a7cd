// In-memory rings for the ring and walker tests: a PlainRing of bytes laid
// out by hand, a GridRing of equal nodes with a writer model that evicts as
// the real writer does, and helpers that read a walker's records.
#ifndef KQ_TEST_GRIDRING_H
#define KQ_TEST_GRIDRING_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "KQShmLogWalk.h"
#include "TestSegment.h"

// A zeroed header and, apart from it, a ring of exactly size bytes, so that
// the sanitizer build catches any read past the ring.
class PlainRing {
public:
    explicit PlainRing(int32_t size) : m_bytes(size_t(size)) {
        memset(&m_head, 0, sizeof(m_head));
        m_head.magic = KQLOG_MAGIC;
        m_head.hdrsize = sizeof(shmloghead);
        m_head.logbufsize = uint32_t(size);
    }
    KQRingView view() { return KQRingView{&m_head, data(), int32_t(m_bytes.size())}; }
    uint8_t* data() { return m_bytes.data(); }
    shmloghead& head() { return m_head; }
    void node(int32_t pos, const std::string& text, uint8_t tag = 0,
              uint8_t level = 2, uint32_t sec = 0, uint16_t ms = 0) {
        writeNodeAt(data(), pos, text, tag, level, sec, ms);
    }

private:
    shmloghead m_head;
    std::vector<uint8_t> m_bytes;
};

// TZ for the life of a test; the old value comes back after it.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        const char* old = getenv("TZ");
        m_hadOld = old != nullptr;
        if (old) m_old = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (m_hadOld) setenv("TZ", m_old.c_str(), 1); else unsetenv("TZ");
        tzset();
    }

private:
    bool m_hadOld = false;
    std::string m_old;
};

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
