#include "KQShmLogWalk.h"

#include <cstdio>
#include <cstring>

namespace {

bool inRing(const KQRingView& view, int32_t iPos) {
    return iPos >= 0 && iPos < view.iRingSize;
}

// Every load of shared state goes through the view's probe, so that a test
// can let the writers run between any two of them.
void probe(const KQRingView& view) { KQRingProbe(view); }

int64_t loadStartTime(const KQRingView& view) {
    probe(view);
    return __atomic_load_n(&view.pHead->starttime, __ATOMIC_RELAXED);
}

int32_t loadWrite(const KQRingView& view) {
    probe(view);
    return KQRingLoadWritePos(view.pHead);
}

int32_t loadRead(const KQRingView& view) {
    probe(view);
    return KQRingLoadReadPos(view.pHead);
}

}  // namespace

void KQRingWalker::start(const KQRingView& view, int32_t iPos,
                         int32_t iWriteBefore, bool bFollow) {
    m_bFollow = bFollow;
    m_bEnded = false;
    m_iLaps = 0;
    m_iBudget = 2 * int64_t(view.iRingSize);
    m_cache.bValid = false;
    m_iStartTime = view.pHead ? loadStartTime(view) : 0;
    moveTo(view, iPos, iWriteBefore);
}

void KQRingWalker::moveTo(const KQRingView& view, int32_t iPos,
                          int32_t iWriteBefore) {
    m_bHold = false;
    m_iPos = iPos;
    m_iAnchor = iPos;
    m_iLastLinePos = -1;
    m_bBrokenLink = false;
    m_iLagFloor = inRing(view, iPos) && inRing(view, iWriteBefore)
                      ? KQRingDistance(iPos, iWriteBefore, view.iRingSize)
                      : -1;
    // A published node at the new cursor: its header as it is now, so that
    // the first read can tell whether the writers came round over it.
    m_bMovedHeader = iPos != iWriteBefore && inRing(view, iPos) &&
                     iPos <= view.iRingSize - KQLOG_NODE_HDR_SIZE;
    if (m_bMovedHeader) {
        probe(view);
        memcpy(m_movedHeader, view.pRing + iPos, KQLOG_NODE_HDR_SIZE);
    }
}

void KQRingWalker::startAtOldest(const KQRingView& view, bool bFollow) {
    if (!view.pHead) return start(view, 0, -1, bFollow);
    int32_t iWrite = loadWrite(view);
    start(view, loadRead(view), iWrite, bFollow);
}

void KQRingWalker::startAtNewest(const KQRingView& view, bool bFollow) {
    int32_t iWrite = view.pHead ? loadWrite(view) : 0;
    start(view, iWrite, iWrite, bFollow);
}

void KQRingWalker::startAt(const KQRingView& view, int32_t iPos,
                           bool bFollow) {
    start(view, iPos, view.pHead ? loadWrite(view) : -1, bFollow);
}

KQWalkEvent KQRingWalker::endOfData() {
    if (!m_bFollow) m_bEnded = true;
    return KQWALK_END;
}

// Writers that started the log over (in place, or a reader ahead of an
// unwrapped log, which no lap can explain) lose nothing unread that a lap
// report could name: reading starts again at the oldest node, quietly.
bool KQRingWalker::writerRestarted(const KQRingView& view, int64_t iStart,
                                   int32_t iRead, int32_t iWrite) {
    if (iStart != m_iStartTime) return true;
    return inRing(view, iRead) && inRing(view, iWrite) && iRead <= iWrite &&
           iRead == 0 && m_iPos > iWrite;
}

// The node read last was rewritten although it still lies in the retained
// data, and that data runs unwrapped from the ring's first byte: a writer
// started the log over in place. The writers evict a node before they
// overwrite it, so a lap leaves the rewritten node outside the retained
// data (unless it went round the whole ring between two looks).
bool KQRingWalker::startedOver(const KQRingView& view) const {
    int32_t iRead = loadRead(view);
    int32_t iWrite = loadWrite(view);
    return iRead == 0 && inRing(view, iWrite) && m_iLastLinePos >= 0 &&
           m_iLastLinePos < iWrite;
}

void KQRingWalker::restart(const KQRingView& view) {
    m_iStartTime = loadStartTime(view);
    m_cache.bValid = false;
    int32_t iWrite = loadWrite(view);
    int32_t iRead = loadRead(view);
    if (g_bVerbose)
        KQVerbose("ReadPos[%d] left behind by a writer restart, read[%d] "
                  "write[%d]\n",
                  m_iPos, iRead, iWrite);
    moveTo(view, iRead, iWrite);
}

// logWritePos is loaded before logReadPos, so that the new floor is
// measured from a logWritePos older than the new cursor: writers passing in
// between make the floor larger, never smaller, and their next lap shows.
KQWalkEvent KQRingWalker::lapped(const KQRingView& view, KQWalkResult& res) {
    int32_t iWrite = loadWrite(view);
    int32_t iRead = loadRead(view);
    if (g_bVerbose)
        KQVerbose("ReadPos[%d] overwritten by the writer, read[%d] write[%d]\n",
               m_iPos, iRead, iWrite);
    res.iPos = m_iPos;
    res.iLostBytes = inRing(view, iRead) && inRing(view, m_iPos)
                         ? KQRingDistance(m_iPos, iRead, view.iRingSize)
                         : 0;
    moveTo(view, iRead, iWrite);
    if (!m_bFollow && ++m_iLaps >= 2) m_bEnded = true;
    return KQWALK_LAPPED;
}

KQWalkEvent KQRingWalker::damaged(const KQRingView& view, int32_t iWrite,
                                  int32_t iFrom, KQWalkResult& res) {
    res.iPos = m_iPos;
    bool bWriteKnown = inRing(view, iWrite);
    int32_t q = KQRingResync(view, iFrom, bWriteKnown ? iWrite : -1);
    // Without a logWritePos to trust, a pass goes once round from where it
    // began and no further.
    // iFrom is the furthest point read (the cursor may already lie past a
    // broken link's wrong turn).
    if (q >= 0 && !bWriteKnown &&
        KQRingDistance(m_iAnchor, q, view.iRingSize) <=
            KQRingDistance(m_iAnchor, iFrom, view.iRingSize))
        q = -1;
    // Nothing sound ahead and no end to wait at, or the only place to go
    // on is the node just read (a chain that leads back to itself at
    // logWritePos): report it once, then hold until the writers move
    // logWritePos. Reading the node again would deliver it twice.
    if (q < 0 || (q == iFrom && iFrom == m_iLastLinePos)) {
        m_bHold = true;
        m_iHoldWrite = iWrite;
        if (!m_bFollow) m_bEnded = true;
        return KQWALK_DAMAGED;
    }
    if (!m_bFollow) m_iBudget -= KQRingDistance(iFrom, q, view.iRingSize);
    int32_t iAnchor = m_iAnchor;
    moveTo(view, q, iWrite);
    if (!bWriteKnown) m_iAnchor = iAnchor;
    if (!m_bFollow && m_iBudget <= 0) m_bEnded = true;
    return KQWALK_DAMAGED;
}

void KQRingWalker::reportInvalid(const KQRingView& view,
                                 const KQNodeCopy& copy) {
    // A text with no NUL where one was due: count on in the ring the way a
    // 600-byte copy would, for the diagnostic only.
    int iCount = copy.count;
    if (iCount > copy.logSize) iCount = KQRingCountText(view, m_iPos, 599);
    KQVerbose("log format size[%d - %d] end[%d - %d] level[%d - %d] incorrect, "
           "read[%d] write[%d]\n",
           iCount, copy.logSize, copy.terminator, 0, copy.logLevel,
           KQLOG_LEVEL_FATAL, loadRead(view),
           loadWrite(view));
}

bool KQRingWalker::rewrittenBehind(const KQRingView& view) const {
    if (m_iLastLinePos < 0 || !inRing(view, m_iLastLinePos) ||
        m_iLastLinePos > view.iRingSize - KQLOG_NODE_HDR_SIZE)
        return false;
    return memcmp(view.pRing + m_iLastLinePos, m_lastHeader,
                  KQLOG_NODE_HDR_SIZE) != 0;
}

KQWalkEvent KQRingWalker::failedInside(const KQRingView& view, int32_t iWrite,
                                       KQWalkResult& res, bool& bLookAgain) {
    if (!rewrittenBehind(view)) return damaged(view, iWrite, m_iPos, res);
    if (!startedOver(view)) return lapped(view, res);
    restart(view);
    bLookAgain = true;
    return KQWALK_END;
}

bool KQRingWalker::stillAhead(const KQRingView& view, int64_t iLag,
                              int32_t& iWriteNow) {
    // Pairs with the writers' fence between moving logReadPos and
    // overwriting: a copy that saw an overwritten byte sees it evicted.
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    int32_t iWrite = loadWrite(view);
    int32_t iRead = loadRead(view);
    iWriteNow = iWrite;
    if (!KQRingRetainedIn(iRead, iWrite, m_iPos, view.iRingSize)) return false;
    return iLag < 0 || !inRing(view, iWrite) ||
           KQRingDistance(m_iPos, iWrite, view.iRingSize) >= iLag;
}

bool KQRingWalker::lostBehind(const KQRingView& view) {
    if (!rewrittenBehind(view)) return false;
    int32_t iRead = loadRead(view);
    if (!inRing(view, iRead)) return false;  // the bytes decide alone
    int64_t iEvicted = KQRingDistance(m_iLastLinePos, iRead, view.iRingSize);
    return iEvicted == 0 ||
           iEvicted > KQRingDistance(m_iLastLinePos, m_iPos, view.iRingSize);
}

KQWalkEvent KQRingWalker::next(const KQRingView& view, char* pLine,
                               KQWalkResult& res) {
    if (m_bEnded || !view.pHead || view.iRingSize <= 0) return endOfData();
    const int32_t iSize = view.iRingSize;
    for (int iLook = 0;; ++iLook) {
        int32_t iWrite = loadWrite(view);
        int32_t iRead = loadRead(view);
        bool bWriteKnown = inRing(view, iWrite);
        if (g_bVerbose)
            KQVerbose("ReadPos[%d], LogReadPos[%d], LogWritePos[%d]\n", m_iPos,
                      iRead, iWrite);
        if (iLook > 3) return endOfData();  // the writers keep us busy

        if (m_bHold) {
            // Held after a broken chain: only new data from the writers
            // releases the cursor, at logWritePos, so that nothing read
            // before comes again.
            if (iWrite == m_iHoldWrite || !bWriteKnown) return endOfData();
            moveTo(view, iWrite, iWrite);
            continue;
        }
        if (m_bBrokenLink) {
            m_bBrokenLink = false;
            return damaged(view, iWrite, m_iLastLinePos, res);
        }
        if (!inRing(view, m_iPos)) {
            // The header gave a position outside the ring. A follower
            // waits for new nodes at logWritePos once it is usable.
            if (m_bFollow && bWriteKnown) {
                moveTo(view, iWrite, iWrite);
                continue;
            }
            if (g_bVerbose)
                KQVerbose("ReadPos[%d] outside log buffer of size[%d]\n",
                          m_iPos, iSize);
            return endOfData();
        }
        // The node read last stands at logWritePos (published, logWritePos
        // not moved yet) only while it still holds the header read.
        bool bPastWrite = m_iLastLinePos >= 0 && m_iLastLinePos == iWrite &&
                          !rewrittenBehind(view);
        const int64_t iStart = loadStartTime(view);
        if (!bPastWrite && writerRestarted(view, iStart, iRead, iWrite)) {
            restart(view);
            continue;
        }
        int64_t iLag = bWriteKnown ? KQRingDistance(m_iPos, iWrite, iSize) : -1;
        if (bWriteKnown && !bPastWrite && m_iLagFloor >= 0 &&
            iLag < m_iLagFloor)
            return lapped(view, res);

        probe(view);
        KQNodeStatus eStatus =
            KQRingReadLine(view, m_iPos, iStart, m_cache, pLine, res.line);
        int32_t iWriteNow = iWrite;
        if (eStatus == KQNODE_END) {
            // Right after a node at logWritePos is the end too: that node
            // was published and logWritePos is about to move past it.
            if (!bWriteKnown || m_iPos == iWrite || bPastWrite) {
                if (g_bVerbose)
                    KQVerbose("logSize == 0, logLevel[%d] logTag[%d]return\n",
                              res.line.header[2], res.line.header[1]);
                m_iLagFloor = 0;
                return endOfData();
            }
            if (!stillAhead(view, iLag, iWriteNow)) return lapped(view, res);
            bool bLookAgain = false;
            KQWalkEvent eEvent = failedInside(view, iWriteNow, res, bLookAgain);
            if (bLookAgain) continue;
            return eEvent;
        }
        if (bPastWrite) {
            // A node past logWritePos before the writer moved it: not ours
            // to read yet.
            m_iLagFloor = 0;
            return endOfData();
        }
        if (eStatus == KQNODE_INVALID) {
            // Details, and whether the node held still while it was read.
            KQNodeCopy copy;
            probe(view);
            KQNodeStatus eAgain = KQRingReadNode(view, m_iPos, copy);
            if (!stillAhead(view, iLag, iWriteNow)) return lapped(view, res);
            if (eAgain != KQNODE_INVALID ||
                !KQRingNodeUnchanged(view, m_iPos, copy))
                continue;  // it is changing: look again
            if (g_bVerbose) reportInvalid(view, copy);
            // Not committed yet: the end of the data for now.
            if (m_iPos == iWrite || m_iPos == iWriteNow) return endOfData();
            bool bLookAgain = false;
            KQWalkEvent eEvent = failedInside(view, iWriteNow, res, bLookAgain);
            if (bLookAgain) continue;
            return eEvent;
        }
        // The copy counts only if the node is still the one this look
        // expected (see stillAhead) and its bytes are still the ones
        // copied: a writer that laps a small ring while this reader is
        // descheduled leaves positions that look retained; only the bytes
        // tell. A node read last that the writers rewrote out of order
        // means they came round between two looks.
        if (!stillAhead(view, iLag, iWriteNow)) return lapped(view, res);
        probe(view);
        if (!KQRingLineUnchanged(view, m_iPos, res.line, pLine)) continue;
        if (lostBehind(view)) {
            if (!startedOver(view)) return lapped(view, res);
            restart(view);
            continue;
        }
        if (m_bMovedHeader && memcmp(m_movedHeader, res.line.header,
                                     KQLOG_NODE_HDR_SIZE) != 0)
            return lapped(view, res);
        m_bMovedHeader = false;

        uint8_t nSize = res.line.header[0];
        int32_t iNext = KQRingNextPos(m_iPos, nSize, iSize);
        int64_t iStep = KQRingDistance(m_iPos, iNext, iSize);
        bool bLinkOk =
            iStep > 0 &&
            (bWriteKnown
                 ? (m_iPos == iWrite || iStep <= iLag)
                 : KQRingDistance(m_iAnchor, iNext, iSize) >
                       KQRingDistance(m_iAnchor, m_iPos, iSize));
        if (g_bVerbose)
            KQVerbose("Read log succeed! logSize[%d] logLevel[%d] \n", nSize,
                      res.line.header[2]);
        res.iPos = m_iPos;
        memcpy(m_lastHeader, res.line.header, KQLOG_NODE_HDR_SIZE);
        m_iLastLinePos = m_iPos;
        m_iPos = iNext;
        if (bWriteKnown) m_iLagFloor = iLag > iStep ? iLag - iStep : 0;
        if (!bLinkOk) m_bBrokenLink = true;
        if (!m_bFollow) {
            m_iBudget -= iStep;
            // A pass stops before it could come back to a node it printed.
            if (m_iBudget <= 0 || !bLinkOk) m_bEnded = true;
        }
        return KQWALK_RECORD;
    }
}
