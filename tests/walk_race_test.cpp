// The walker against writers that run between any two of its loads of
// shared state. The view's probe runs a burst of appends before the k-th
// load, for every k of a short follow, so each interleaving of one or two
// bursts with the walker's steps is tried deterministically.
//
// The contract checked on every run:
// - no damaged node in a ring nobody damaged;
// - records come in the order written, none twice;
// - a gap in the records is a real loss, reported by a lap (or two, when
//   the writers lap the resumed cursor again), and a lap is never reported
//   without one;
// - once the writers stop, the follower reaches the newest record.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "GridRing.h"
#include "KQShmLogReaderImp.h"

namespace {

// The number in a GridRing text: "n" and nine digits.
int textNumber(const char* text) {
    return atoi(std::string(text + 1, GridRing::kTextLen - 1).c_str());
}

struct Burst {
    int iAtLoad;  // before this load (counted from 0) of the walker
    int iCount;   // nodes appended
};

struct Event {
    KQWalkEvent e;
    int n;  // the record's number, -1 for other events
};

class RaceRun {
public:
    // 36 slots of 20 bytes; nFilled nodes written before the walker starts.
    RaceRun(int nFilled, std::vector<Burst> bursts)
        : m_ring(1000), m_bursts(std::move(bursts)) {
        for (int i = 0; i < nFilled; ++i) m_ring.append();
    }

    KQRingView view() {
        KQRingView v = m_ring.view();
        v.pfnBeforeLoad = &RaceRun::beforeLoad;
        v.pProbeCtx = this;
        return v;
    }

    // Follows until every burst has run and the walker reports the end
    // twice in a row.
    std::vector<Event> follow() {
        KQRingWalker walker;
        walker.startAtOldest(m_ring.view(), true);  // no burst yet: at node 0
        std::vector<Event> events;
        char line[KQLOG_MAX_LINE_SIZE + 1];
        int iEnds = 0;
        for (int i = 0; i < 2000 && (iEnds < 2 || pending()); ++i) {
            KQWalkResult res;
            KQWalkEvent e = walker.next(view(), line, res);
            iEnds = e == KQWALK_END ? iEnds + 1 : 0;
            int n = e == KQWALK_RECORD ? textNumber(line + res.line.nTextOffset) : -1;
            events.push_back(Event{e, n});
        }
        return events;
    }

    // The number of the oldest node still retained.
    int oldest() {
        return textNumber(reinterpret_cast<const char*>(m_ring.data()) +
                          m_ring.head().logReadPos + KQLOG_NODE_HDR_SIZE);
    }
    int written() const { return m_ring.written(); }
    void* segment() { return m_ring.segment(); }
    size_t segmentSize() const { return m_ring.segmentSize(); }

    static void beforeLoad(void* pCtx) {
        RaceRun& run = *static_cast<RaceRun*>(pCtx);
        int k = run.m_iLoads++;
        for (const Burst& b : run.m_bursts)
            if (b.iAtLoad == k)
                for (int i = 0; i < b.iCount; ++i) run.m_ring.append();
    }

private:
    bool pending() const {
        for (const Burst& b : m_bursts)
            if (b.iAtLoad >= m_iLoads) return true;
        return false;
    }

    GridRing m_ring;
    std::vector<Burst> m_bursts;
    int m_iLoads = 0;
};

std::string describe(const std::vector<Event>& events) {
    std::string s;
    for (const Event& ev : events) {
        if (ev.e == KQWALK_RECORD) s += std::to_string(ev.n) + " ";
        if (ev.e == KQWALK_LAPPED) s += "LAP ";
        if (ev.e == KQWALK_DAMAGED) s += "DAMAGED ";
    }
    return s;
}

void checkContract(RaceRun& run, const std::vector<Event>& events) {
    SCOPED_TRACE(describe(events));
    int iPrev = -1;  // the walker starts at node 0, the oldest
    int iLaps = 0;
    for (const Event& ev : events) {
        ASSERT_NE(ev.e, KQWALK_DAMAGED);
        if (ev.e == KQWALK_LAPPED) ++iLaps;
        if (ev.e != KQWALK_RECORD) continue;
        ASSERT_GT(ev.n, iPrev) << "backwards or twice";
        if (ev.n != iPrev + 1) {
            // Every node skipped was overwritten by the time the run ended;
            // two laps before one record are two real losses in a row.
            ASSERT_LE(ev.n, run.oldest()) << "skipped retained nodes";
            ASSERT_GE(iLaps, 1) << "a loss not reported, before " << ev.n;
        } else {
            ASSERT_EQ(iLaps, 0) << "a lap that lost nothing, before " << ev.n;
        }
        iLaps = 0;
        iPrev = ev.n;
    }
    EXPECT_EQ(iPrev, run.written() - 1) << "the newest record not reached";
}

// Follows with the bursts and checks the contract; false after a fatal
// failure, so that the caller stops.
bool contractHolds(const std::vector<Burst>& bursts) {
    testing::Message m;
    for (const Burst& b : bursts) m << b.iCount << " nodes before load " << b.iAtLoad << "; ";
    SCOPED_TRACE(m);
    RaceRun run(20, bursts);
    checkContract(run, run.follow());
    return !testing::Test::HasFatalFailure();
}

}  // namespace

// One burst before each load of the first steps: small bursts that never
// reach the cursor, and bursts that lap it (with equal nodes, the writers'
// newest node then starts exactly at the cursor).
TEST(WalkerRace, OneBurstBeforeAnyLoad) {
    for (int nBurst : {1, 16, 20, 30, 35, 40, 80}) {
        for (int k = 0; k < 90; ++k)
            if (!contractHolds({{k, nBurst}})) return;
    }
}

// A second burst while the walker recovers from the first: the floor a lap
// leaves behind must come from positions loaded before the new cursor was
// chosen, or the second lap goes unseen.
TEST(WalkerRace, SecondBurstDuringTheRecovery) {
    for (int nBurst : {30, 35}) {
        for (int k1 = 0; k1 < 40; ++k1) {
            for (int k2 = k1 + 1; k2 < k1 + 24; ++k2)
                if (!contractHolds({{k1, nBurst}, {k2, nBurst}})) return;
        }
    }
}

// The reader object's nextLog keeps no history between calls, but the same
// rule holds within one: writers that come round to the cursor between its
// look at logWritePos and its copy leave a newer node there, which must not
// come out as the next line. Bursts before each load of one call.
TEST(WalkerRace, NextLogRefusesANodeTheWritersCameRoundTo) {
    for (int nBurst : {1, 20, 30, 35}) {
        for (int k = 0; k < 6; ++k) {
            SCOPED_TRACE(testing::Message() << nBurst << " nodes before load "
                                            << k);
            RaceRun run(20, {{k, nBurst}});
            CKQLOGReaderImp reader;
            ASSERT_TRUE(reader.initFromMemory(run.segment(), run.segmentSize()));
            reader.seekLogBegin(0);
            std::string line;
            for (int i = 0; i < 5; ++i) ASSERT_TRUE(reader.nextLog(line));
            reader.setLoadProbe(&RaceRun::beforeLoad, &run);
            bool bLine = reader.nextLog(line);
            bool bLost = run.oldest() > 5;
            if (bLine) {
                EXPECT_FALSE(bLost) << line;
                EXPECT_NE(line.find(GridRing::text(5)), std::string::npos)
                    << line;
            } else {
                EXPECT_TRUE(bLost);
                EXPECT_EQ(reader.lastReadOutcome(), KQLOG_READ_OVERWRITTEN);
            }
        }
    }
}
