// The walker's policy: one switch over what a look found, and the moves it
// makes. What the bytes are is decided in KQShmLogWalkClassify.h and .cpp.
#include "KQShmLogWalk.h"

#include <cstring>

#include "KQShmLogRingLine.h"
#include "KQShmLogWalkClassify.h"
#include "KQShmLogWalkLoads.h"

using namespace kqwalk;

void KQRingWalker::start(const KQRingView& view, int32_t iPos,
                         int32_t iWriteBefore, bool bFollow) {
    m_bFollow = bFollow;
    m_bEnded = false;
    m_iLaps = 0;
    m_iBudget = KQWALK_PASS_RINGS * int64_t(view.iRingSize);
    m_cache.bValid = false;
    m_iStartTime = view.pHead ? loadStartTime(view) : 0;
    moveTo(view, iPos, iWriteBefore);
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

void KQRingWalker::startAfter(const KQRingView& view, int32_t iPos,
                              const uint8_t header[KQLOG_NODE_HDR_SIZE],
                              bool bFollow) {
    int32_t iNext = KQRingNextPos(iPos, header[0], view.iRingSize);
    start(view, iNext, view.pHead ? loadWrite(view) : -1, bFollow);
    // The cursor is one a read left: the node behind it is what tells.
    m_iLastLinePos = iPos;
    memcpy(m_lastHeader, header, KQLOG_NODE_HDR_SIZE);
    m_bMovedHeader = false;
}

void KQRingWalker::moveTo(const KQRingView& view, int32_t iPos,
                          int32_t iWriteBefore) {
    m_bHold = false;
    m_bSettled = false;
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
        KQRingProbe(view);
        memcpy(m_movedHeader, view.pRing + iPos, KQLOG_NODE_HDR_SIZE);
    }
}

KQWalkEvent KQRingWalker::next(const KQRingView& viewGiven, char* pLine,
                               KQWalkResult& res) {
    // A copy of our own: no probe can change it, so the compiler keeps the
    // ring's address and size in registers across the step's loads instead
    // of reading them again after each.
    const KQRingView view = viewGiven;
    if (m_bEnded || !view.pHead || view.iRingSize <= 0) return KQWALK_END;
    KQWalkEvent eEvent = step(view, pLine, res);
    if (!m_bFollow && (eEvent == KQWALK_END || passOver())) m_bEnded = true;
    return eEvent;
}

// Printing once: whether the pass is over after this step, besides an END.
// The one place a pass ends.
KQ_ALWAYS_INLINE bool KQRingWalker::passOver() const {
    return m_iBudget <= 0 || m_iLaps >= KQWALK_PASS_LAPS || m_bHold ||
           m_bBrokenLink;
}

KQ_ALWAYS_INLINE KQWalkEvent KQRingWalker::step(const KQRingView& view, char* pLine,
                               KQWalkResult& res) {
    const int32_t iSize = view.iRingSize;
    for (int iLook = 0; iLook < KQWALK_MAX_LOOKS; ++iLook) {
        Look look;
        look.iWrite = loadWrite(view);
        look.iRead = loadRead(view);
        look.bSettled = m_bSettled && look.iWrite == m_iSettledWrite &&
                        look.iRead == m_iSettledRead;
        if (look.bSettled) {
            look.bWriteKnown = true;
            look.iLag = m_iLagFloor;
        } else {
            look.bWriteKnown = inRing(view, look.iWrite);
            look.iLag = look.bWriteKnown && inRing(view, m_iPos)
                            ? KQRingDistance(m_iPos, look.iWrite, iSize)
                            : -1;
        }
        look.iWriteNow = look.iWrite;
        look.iReadNow = look.iRead;
        look.iStart = m_iStartTime;
        if (g_bVerbose)
            KQVerbose("ReadPos[%d], LogReadPos[%d], LogWritePos[%d]\n", m_iPos,
                      look.iRead, look.iWrite);
        Found eFound = classify(view, look, pLine, res);
        // Anything but a record: the next look works everything out.
        if (eFound != Found::Record) m_bSettled = false;
        switch (eFound) {
        case Found::Record:
            return deliver(view, look, res);
        case Found::CaughtUp:
            m_iLagFloor = 0;
            return KQWALK_END;
        case Found::Wait:
            return KQWALK_END;
        case Found::Damaged:
            return damaged(view, look.iWriteNow, m_iPos, res);
        case Found::BrokenLink:
            m_bBrokenLink = false;
            return damaged(view, look.iWrite, m_iLastLinePos, res);
        case Found::Lapped:
            return lapped(view, res);
        case Found::Restarted:
            restart(view);
            break;
        case Found::MoveToWrite:
            moveTo(view, look.iWrite, look.iWrite);
            break;
        case Found::Changing:
            break;
        }
    }
    // The writers keep changing the cursor's node: nothing for now.
    return KQWALK_END;
}

KQ_ALWAYS_INLINE KQWalkEvent KQRingWalker::deliver(const KQRingView& view, const Look& look,
                                  KQWalkResult& res) {
    const int32_t iSize = view.iRingSize;
    uint8_t nSize = res.line.header[0];
    int32_t iNext = KQRingNextPos(m_iPos, nSize, iSize);
    int64_t iStep = KQRingDistance(m_iPos, iNext, iSize);
    // The successor must lie ahead, within the written data (the node at
    // logWritePos itself is exempt: logWritePos is about to move past it);
    // without a usable logWritePos, further from where the chain began.
    bool bLinkOk =
        iStep > 0 &&
        (look.bWriteKnown
             ? (m_iPos == look.iWrite || iStep <= look.iLag)
             : KQRingDistance(m_iAnchor, iNext, iSize) >
                   KQRingDistance(m_iAnchor, m_iPos, iSize));
    if (g_bVerbose)
        KQVerbose("Read log succeed! logSize[%d] logLevel[%d] \n", nSize,
                  res.line.header[2]);
    res.iPos = m_iPos;
    // Retained was worked out (or known) against positions inside the
    // ring that held still during the look, and the successor lies within
    // the written data: the next look may take the cursor as settled.
    m_bSettled = look.bWriteKnown && inRing(view, look.iRead) &&
                 look.iWriteNow == look.iWrite && look.iReadNow == look.iRead &&
                 m_iPos != look.iWrite && bLinkOk;
    m_iSettledWrite = look.iWrite;
    m_iSettledRead = look.iRead;
    memcpy(m_lastHeader, res.line.header, KQLOG_NODE_HDR_SIZE);
    m_iLastLinePos = m_iPos;
    m_iPos = iNext;
    m_bMovedHeader = false;
    if (look.bWriteKnown)
        m_iLagFloor = look.iLag > iStep ? look.iLag - iStep : 0;
    if (!bLinkOk) m_bBrokenLink = true;
    if (!m_bFollow) m_iBudget -= iStep;
    return KQWALK_RECORD;
}

// A writer started the log over: nothing unread was overwritten that a lap
// report could name, so reading starts again at the oldest node, quietly.
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
    if (!m_bFollow) ++m_iLaps;
    return KQWALK_LAPPED;
}

// Reports the damaged node (or broken link) at the cursor once and goes on
// where KQRingResync finds a sound chain after iFrom, the furthest point
// read (the cursor may already lie past a broken link's wrong turn).
KQWalkEvent KQRingWalker::damaged(const KQRingView& view, int32_t iWrite,
                                  int32_t iFrom, KQWalkResult& res) {
    res.iPos = m_iPos;
    bool bWriteKnown = inRing(view, iWrite);
    int32_t q = KQRingResync(view, iFrom, bWriteKnown ? iWrite : -1);
    // Without a logWritePos to trust, a pass goes once round from where it
    // began and no further.
    if (q >= 0 && !bWriteKnown &&
        KQRingDistance(m_iAnchor, q, view.iRingSize) <=
            KQRingDistance(m_iAnchor, iFrom, view.iRingSize))
        q = -1;
    // Nothing sound ahead and no end to wait at, or the only place to go
    // on is the node just read (a chain that leads back to itself at
    // logWritePos): hold until the writers move logWritePos. Reading the
    // node again would deliver it twice.
    if (q < 0 || (q == iFrom && iFrom == m_iLastLinePos)) {
        m_bHold = true;
        m_iHoldWrite = iWrite;
        return KQWALK_DAMAGED;
    }
    if (!m_bFollow) m_iBudget -= KQRingDistance(iFrom, q, view.iRingSize);
    int32_t iAnchor = m_iAnchor;
    moveTo(view, q, iWrite);
    if (!bWriteKnown) m_iAnchor = iAnchor;
    return KQWALK_DAMAGED;
}
