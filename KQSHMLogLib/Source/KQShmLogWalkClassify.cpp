// The rare verdicts of a look at the walker's cursor, out of line: what
// the per-record part (KQShmLogWalkClassify.h) calls when a node fails or
// the chain behind the cursor was rewritten. Nothing here moves the cursor
// or changes the walker's state.
#include "KQShmLogWalkClassify.h"

using namespace kqwalk;

// A node that fails inside the retained data is damaged, unless the chain
// behind the cursor was rewritten: a lap, or a writer starting over.
KQRingWalker::Found KQRingWalker::failedInside(const KQRingView& view) {
    if (!rewrittenBehind(view)) return Found::Damaged;
    return startedOver(view) ? Found::Restarted : Found::Lapped;
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

void KQRingWalker::reportInvalid(const KQRingView& view,
                                 const KQNodeCopy& copy) {
    // A text with no NUL where one was due: count on in the ring the way a
    // 600-byte copy would, for the diagnostic only.
    int iCount = copy.count;
    if (iCount > copy.logSize) iCount = KQRingCountText(view, m_iPos, 599);
    KQVerbose("log format size[%d - %d] end[%d - %d] level[%d - %d] incorrect, "
              "read[%d] write[%d]\n",
              iCount, copy.logSize, copy.terminator, 0, copy.logLevel,
              KQLOG_LEVEL_FATAL, KQRingLoadReadPos(view.pHead),
              KQRingLoadWritePos(view.pHead));
}
