// The part of the classification every record passes: one look at the
// walker's cursor, inline, so that the walker's step (KQShmLogWalk.cpp,
// the one file that includes this) takes it without a call; called apart,
// the checks cost as much as the work. The rare verdicts' details
// (failedInside, startedOver, reportInvalid) stay out of line, in
// KQShmLogWalkClassify.cpp. Nothing here moves the cursor or changes the
// walker's state: the policy acts on the answer.
#ifndef KQSHMLOGWALKCLASSIFY_H
#define KQSHMLOGWALKCLASSIFY_H

#include <cstring>

#include "KQShmLogRingLine.h"
#include "KQShmLogWalk.h"
#include "KQShmLogWalkLoads.h"

KQ_ALWAYS_INLINE KQRingWalker::Found KQRingWalker::classify(
    const KQRingView& view, Look& look, char* pLine, KQWalkResult& res) {
    if (m_bHold) {
        // Held after a broken chain: only new data from the writers
        // releases the cursor, at logWritePos, so that nothing read before
        // comes again.
        return look.iWrite == m_iHoldWrite || !look.bWriteKnown
                   ? Found::Wait
                   : Found::MoveToWrite;
    }
    if (m_bBrokenLink) return Found::BrokenLink;
    if (!kqwalk::inRing(view, m_iPos)) {
        // The header gave a position outside the ring. A follower waits for
        // new nodes at logWritePos once it is usable.
        if (m_bFollow && look.bWriteKnown) return Found::MoveToWrite;
        if (g_bVerbose)
            KQVerbose("ReadPos[%d] outside log buffer of size[%d]\n", m_iPos,
                      view.iRingSize);
        return Found::Wait;
    }
    // The node read last stands at logWritePos (published, logWritePos not
    // moved yet) only while it still holds the header read.
    bool bPastWrite = m_iLastLinePos >= 0 && m_iLastLinePos == look.iWrite &&
                      !rewrittenBehind(view);
    look.iStart = kqwalk::loadStartTime(view);
    if (!bPastWrite && writerRestarted(view, look)) return Found::Restarted;
    // Settled: the lag is the floor itself.
    if (!look.bSettled && look.bWriteKnown && !bPastWrite &&
        m_iLagFloor >= 0 && look.iLag < m_iLagFloor)
        return Found::Lapped;
    return classifyNode(view, look, bPastWrite, pLine, res);
}

KQ_ALWAYS_INLINE KQRingWalker::Found KQRingWalker::classifyNode(const KQRingView& view,
                                               Look& look, bool bPastWrite,
                                               char* pLine,
                                               KQWalkResult& res) {
    KQRingProbe(view);
    KQNodeStatus eStatus =
        kqring::readLine(view, m_iPos, look.iStart, m_cache, pLine, res.line);
    if (eStatus == KQNODE_END) {
        // Right after a node at logWritePos is the end too: that node was
        // published and logWritePos is about to move past it.
        if (!look.bWriteKnown || m_iPos == look.iWrite || bPastWrite) {
            if (g_bVerbose)
                KQVerbose("logSize == 0, logLevel[%d] logTag[%d]return\n",
                          res.line.header[2], res.line.header[1]);
            return Found::CaughtUp;
        }
        if (!stillAhead(view, look)) return Found::Lapped;
        return failedInside(view);
    }
    // A node past logWritePos before the writer moved it: not ours to read
    // yet.
    if (bPastWrite) return Found::CaughtUp;
    if (eStatus == KQNODE_INVALID) {
        // Details, and whether the node held still while it was read.
        KQNodeCopy copy;
        KQRingProbe(view);
        KQNodeStatus eAgain = KQRingReadNode(view, m_iPos, copy);
        if (!stillAhead(view, look)) return Found::Lapped;
        if (eAgain != KQNODE_INVALID || !KQRingNodeUnchanged(view, m_iPos, copy))
            return Found::Changing;
        if (g_bVerbose) reportInvalid(view, copy);
        // Not committed yet: the end of the data for now.
        if (m_iPos == look.iWrite || m_iPos == look.iWriteNow)
            return Found::Wait;
        return failedInside(view);
    }
    // The copy counts only if the node is still the one this look expected
    // (stillAhead) and its bytes are still the ones copied: a writer that
    // laps a small ring while this reader is descheduled leaves positions
    // that look retained; only the bytes tell.
    if (!stillAhead(view, look)) return Found::Lapped;
    KQRingProbe(view);
    // A node whose header would run past the ring's end (readLine's
    // OUTSIDE) is no record: look again. Otherwise the cursor and the view
    // are those readLine took a valid node with.
    if (eStatus == KQNODE_OUTSIDE ||
        !kqring::lineUnchangedAfterRead(view, m_iPos, res.line, pLine))
        return Found::Changing;
    if (lostBehind(view))
        return startedOver(view) ? Found::Restarted : Found::Lapped;
    if (m_bMovedHeader && !KQRingHeaderEquals(m_movedHeader, res.line.header))
        return Found::Lapped;
    return Found::Record;
}

// After a copy at the cursor: whether the node there is still the one this
// look expected, from logWritePos and then logReadPos loaded now. It must
// still be retained, and its distance to logWritePos must not have shrunk
// below the look's lag: else the writers came round past it during the
// copy, and a newer node whose boundary fell on the cursor may stand there.
KQ_ALWAYS_INLINE bool KQRingWalker::stillAhead(const KQRingView& view, Look& look) {
    // Pairs with the writers' fence between moving logReadPos and
    // overwriting: a copy that saw an overwritten byte sees it evicted.
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    int32_t iWrite = kqwalk::loadWrite(view);
    int32_t iRead = kqwalk::loadRead(view);
    look.iWriteNow = iWrite;
    look.iReadNow = iRead;
    // Settled and still unmoved: retained, as the last record was.
    if (look.bSettled && iWrite == look.iWrite && iRead == look.iRead)
        return true;
    // An unmoved logWritePos is at the look's own distance: not overtaken.
    return KQRingRetainedIn(iRead, iWrite, m_iPos, view.iRingSize) &&
           (iWrite == look.iWrite ||
            !KQRingOvertaken(m_iPos, look.iLag, iWrite, view.iRingSize));
}

// The node read last was rewritten while logReadPos does not lie between
// it and the cursor: the writers evicted past the cursor and came round
// again between two looks. (Evicting in order leaves logReadPos between.)
KQ_ALWAYS_INLINE bool KQRingWalker::lostBehind(const KQRingView& view) {
    return rewrittenBehind(view) &&
           KQRingEvictedPast(m_iLastLinePos, kqwalk::loadRead(view), m_iPos,
                             view.iRingSize);
}

// Whether the node read last no longer holds the header it had: the chain
// behind the cursor was rewritten, so the cursor may be off it.
KQ_ALWAYS_INLINE bool KQRingWalker::rewrittenBehind(const KQRingView& view) const {
    if (m_iLastLinePos < 0 || !kqwalk::inRing(view, m_iLastLinePos) ||
        m_iLastLinePos > view.iRingSize - KQLOG_NODE_HDR_SIZE)
        return false;
    KQRingProbe(view);
    return !KQRingHeaderEquals(view.pRing + m_iLastLinePos, m_lastHeader);
}

// Writers that started the log over (a new start time, or a reader ahead
// of an unwrapped log, which no lap can explain) lose nothing unread that a
// lap report could name.
KQ_ALWAYS_INLINE bool KQRingWalker::writerRestarted(const KQRingView& view,
                                   const Look& look) const {
    if (look.iStart != m_iStartTime) return true;
    // Settled: the cursor lies within the retained data.
    if (look.bSettled) return false;
    return kqwalk::inRing(view, look.iRead) && look.bWriteKnown &&
           look.iRead == 0 && m_iPos > look.iWrite;
}

#endif
