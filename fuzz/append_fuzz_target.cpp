// Fuzz target for the append core (KQShmLogAppend.h): any bytes become a
// ring size and a sequence of appends, with the walker as the oracle.
//
// Input: two bytes of ring size (550 + value % 3550), then operations, one
// byte each followed by what it takes:
//   0-4  append: a length byte (1 + value % 255), a tag byte, a level byte
//        (% 6), then that many text bytes (NULs included, repeated from the
//        input when it runs short)
//   5    follow: a following walker reads until the end of the data
//   6    print once: a fresh walker reads from the oldest node
//   7    append, then put logWritePos back, as a writer killed between
//        publishing a node and counting it leaves the log; KQAppendRepair
// After every append: logReadPos is the oldest node a slow model retains
// (the newest nodes that no later node and not the end marker overlaps),
// an end marker stands at logWritePos, and the core wrote nothing outside
// the ring (the ring is a heap block of exactly its size: AddressSanitizer
// sees any access past it). Printing once reads exactly the retained texts,
// NULs stored as '?'. The follower reads only written nodes, each once and
// in the order written, and reads on to the newest, unless the writers came
// round the whole ring since it last read: then, until its next lap, it is
// only held to staying within the ring. A failed check traps, which
// libFuzzer reports as a crash.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KQShmLogAppend.h"
#include "KQShmLogWalk.h"
#include "KQShmLogWriter.h"

namespace {

[[noreturn]] void checkFailed(const char* pExpr, int iLine) {
    dprintf(STDERR_FILENO, "kqfuzz_append: check failed at line %d: %s\n",
            iLine, pExpr);
    __builtin_trap();
}

#define KQ_CHECK(cond) ((cond) ? (void)0 : checkFailed(#cond, __LINE__))

struct Input {
    const uint8_t* p;
    size_t n, at = 0;
    bool more() const { return at < n; }
    uint8_t byte() { return at < n ? p[at++] : 0; }
};

struct Written {
    int32_t pos, end, next;  // next: where the end marker after it went
    std::string text;        // as stored
};

class Fixture {
public:
    explicit Fixture(int32_t size)
        : m_head(new shmloghead()), m_ring(new uint8_t[size_t(size)]()),
          m_iSize(size) {
        m_head->magic = KQLOG_MAGIC;
        m_head->hdrsize = sizeof(shmloghead);
        m_head->logbufsize = uint32_t(size);
    }
    KQRingView view() { return KQRingView{m_head.get(), m_ring.get(), m_iSize}; }

    void append(Input& in, bool bKilled) {
        uint8_t nLen = uint8_t(1 + in.byte() % 255);
        uint8_t nTag = in.byte();
        uint8_t nLevel = uint8_t(in.byte() % 6);
        std::string text;
        for (int i = 0; i < nLen; ++i)
            text += char(in.more() ? in.byte() : 'a' + i % 26);
        int32_t iBefore = m_head->logWritePos;
        KQAppendNode node{nTag, nLevel, uint32_t(m_written.size()), 0,
                          text.data(), nLen};
        int32_t iPos = KQAppend(view(), node);
        KQ_CHECK(iPos == iBefore);
        int32_t iNext = m_head->logWritePos;
        if (bKilled) {
            m_head->logWritePos = iBefore;
            KQ_CHECK(KQAppendRepair(view()));
            KQ_CHECK(m_head->logWritePos == iNext);
            KQ_CHECK(!KQAppendRepair(view()));
        }
        for (char& c : text)
            if (c == '\0') c = '?';
        m_written.push_back(Written{iPos, iPos + nLen + 10, iNext, text});
        // Older nodes than a ring's worth cannot be retained.
        size_t nKeep = size_t(m_iSize / 11 + 2);
        if (m_written.size() > 2 * nKeep) {
            size_t nDrop = m_written.size() - nKeep;
            m_written.erase(m_written.begin(), m_written.begin() + long(nDrop));
            m_iDropped += nDrop;
        }
        checkPositions();
    }

    // Indexes (into m_written) of the retained nodes, oldest first.
    size_t oldestRetained() const {
        int32_t iEnd = m_written.back().next;
        size_t k = m_written.size();
        while (k > 0) {
            const Written& n = m_written[k - 1];
            bool bIntact = !(n.pos <= iEnd && iEnd < n.end);
            for (size_t j = k; j < m_written.size() && bIntact; ++j)
                bIntact = m_written[j].end <= n.pos || n.end <= m_written[j].pos;
            if (!bIntact) break;
            --k;
        }
        return k;
    }

    void checkPositions() {
        size_t k = oldestRetained();
        KQ_CHECK(k < m_written.size());
        KQ_CHECK(m_head->logReadPos == m_written[k].pos);
        KQ_CHECK(m_head->logWritePos == m_written.back().next);
        KQ_CHECK(m_ring[m_head->logWritePos] == 0);
    }

    void printOnce() {
        if (m_written.empty()) return;
        KQRingWalker walker;
        walker.startAtOldest(view(), false);
        size_t k = oldestRetained();
        char line[KQLOG_MAX_LINE_SIZE + 1];
        KQWalkResult res;
        for (;;) {
            KQWalkEvent e = walker.next(view(), line, res);
            if (e == KQWALK_END) break;
            KQ_CHECK(e == KQWALK_RECORD);
            KQ_CHECK(k < m_written.size());
            KQ_CHECK(res.iPos == m_written[k].pos);
            KQ_CHECK(std::string(line + res.line.nTextOffset, res.line.header[0]) ==
                     m_written[k].text);
            ++k;
        }
        KQ_CHECK(k == m_written.size());
    }

    void follow() {
        if (!m_bFollowing) {
            m_follower.startAtOldest(view(), true);
            m_bFollowing = true;
        } else if (bytesSince(m_iLastRead) >= roundBytes()) {
            // The writers came round the whole ring since the follower last
            // read: nothing in the header tells, and its cursor may now lie
            // inside a newer node whose bytes read as a sound one
            // (KQShmLogWalk.h). Until a lap puts it back on the chain, the
            // follower is only held to reading within the ring.
            m_bMaybeMisled = true;
        }
        char line[KQLOG_MAX_LINE_SIZE + 1];
        KQWalkResult res;
        for (int i = 0; i < 100000; ++i) {
            KQWalkEvent e = m_follower.next(view(), line, res);
            if (e == KQWALK_END) break;
            if (e == KQWALK_LAPPED) {
                m_bMaybeMisled = false;
                continue;
            }
            KQ_CHECK(e == KQWALK_RECORD);
            if (m_bMaybeMisled) continue;
            // The newest node written at that position, still retained, and
            // later than the last one read.
            size_t k = m_written.size();
            while (k > 0 && m_written[k - 1].pos != res.iPos) --k;
            KQ_CHECK(k > 0 && k - 1 >= oldestRetained());
            uint64_t iSerial = m_iDropped + (k - 1);
            KQ_CHECK(m_iLastRead == UINT64_MAX || iSerial > m_iLastRead);
            KQ_CHECK(std::string(line + res.line.nTextOffset, res.line.header[0]) ==
                     m_written[k - 1].text);
            m_iLastRead = iSerial;
        }
        // At the end the follower has read the newest node, unless the
        // writers came round the whole ring since the last node it read,
        // which can leave no trace (KQShmLogWalk.h).
        if (!m_written.empty() && !m_bMaybeMisled &&
            m_iLastRead != m_iDropped + m_written.size() - 1)
            KQ_CHECK(bytesSince(m_iLastRead) >= roundBytes());
    }

    // Bytes the writers may write before they have come round the ring.
    int64_t roundBytes() const {
        return m_iSize - KQLOG_WRAP_THRESHOLD - KQLOG_MAX_NODE_SIZE;
    }

    // Ring bytes the nodes written after serial iSerial took (every node
    // when it is UINT64_MAX); a ring's worth when some were dropped.
    int64_t bytesSince(uint64_t iSerial) const {
        uint64_t iFirst = iSerial == UINT64_MAX ? 0 : iSerial + 1;
        if (iFirst < m_iDropped) return m_iSize;
        int64_t n = 0;
        for (size_t k = size_t(iFirst - m_iDropped); k < m_written.size(); ++k)
            n += m_written[k].end - m_written[k].pos;
        return n;
    }

private:
    std::unique_ptr<shmloghead> m_head;
    std::unique_ptr<uint8_t[]> m_ring;
    int32_t m_iSize;
    std::vector<Written> m_written;
    uint64_t m_iDropped = 0;  // nodes dropped from the front of m_written
    KQRingWalker m_follower;
    bool m_bFollowing = false;
    uint64_t m_iLastRead = UINT64_MAX;
    bool m_bMaybeMisled = false;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    setenv("TZ", "UTC", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    int iSize = in.byte();
    iSize |= in.byte() << 8;
    Fixture f(KQLOG_MIN_LOG_BUF_SIZE + iSize % 3550);
    for (int iOps = 0; in.more() && iOps < 2000; ++iOps) {
        uint8_t op = in.byte() % 8;
        if (op < 5 || op == 7)
            f.append(in, op == 7);
        else if (op == 5)
            f.follow();
        else
            f.printOnce();
    }
    f.printOnce();
    f.follow();
    return 0;
}
