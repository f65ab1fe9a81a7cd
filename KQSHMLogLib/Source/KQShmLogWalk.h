// The reading policy over a ring: where a reader starts, what it makes of
// each node it meets, and where it goes on after an end, a damaged node or
// a lap. Pure over a KQRingView, like the ring core below it, so that unit
// tests and the fuzzer drive it over plain memory.
//
// The rules (the public contract is in KQShmLogStream.h):
// - The written data is the chain of nodes from logReadPos to logWritePos.
// - Lap: the writers overwrote the cursor's place. Seen when the cursor has
//   left the retained region, when the bytes changed while they were copied,
//   or when logWritePos has come round past the cursor: the distance from
//   the cursor to logWritePos only ever grows by what the writers add, so a
//   smaller distance than the last one (less what was read since) means the
//   writers wrapped past it. Reading resumes at logReadPos, once per lap. A
//   writer that goes round the whole ring between two looks leaves no trace
//   in the positions: that lap can pass unseen.
// - A node that fails its checks at logWritePos is not committed yet: the
//   end of the data for now. Anywhere else inside the written data it is
//   damaged: reported once and stepped over (KQRingResync).
// - A sound node whose successor does not lie ahead of it within the
//   written data is a broken link, treated like a damaged node right after
//   it: a crafted chain that loops is never read round again.
// - Printing once ends at the end of the data, at its second lap, or once
//   it has read twice the ring's size, whatever the writers do.
#ifndef KQSHMLOGWALK_H
#define KQSHMLOGWALK_H

#include <cstddef>
#include <cstdint>

#include "KQShmLogRing.h"

enum KQWalkEvent {
    KQWALK_RECORD,   // a sound node, rendered into the caller's line
    KQWALK_END,      // no more written data now (printing once: for good)
    KQWALK_DAMAGED,  // a damaged node inside the written data, stepped over
    KQWALK_LAPPED,   // the writers overwrote unread nodes; resumed at the oldest
};

// What one step found. Line fields are set for KQWALK_RECORD only.
struct KQWalkResult {
    int32_t iPos = -1;        // the node's position (record, damaged)
    KQLineRead line;          // the rendered line's layout and header bytes
    int64_t iLostBytes = 0;   // KQWALK_LAPPED: ring bytes overwritten unread
};

class KQRingWalker {
public:
    // Start at the oldest retained node (logReadPos) or at logWritePos.
    void startAtOldest(const KQRingView& view, bool bFollow);
    void startAtNewest(const KQRingView& view, bool bFollow);
    // Start at iPos, a node the caller has checked (resuming after a record
    // it recognised). The next step treats it as any other cursor.
    void startAt(const KQRingView& view, int32_t iPos, bool bFollow);

    // One step. pLine receives the rendered line of a record and must hold
    // KQLOG_MAX_LINE_SIZE + 1 bytes. Verbose diagnostics (g_bVerbose) go to
    // standard output, as the reader object's nextLog prints them.
    KQWalkEvent next(const KQRingView& view, char* pLine, KQWalkResult& res);

    int32_t position() const { return m_iPos; }

private:
    void start(const KQRingView& view, int32_t iPos, int32_t iWriteBefore,
               bool bFollow);
    // Puts the cursor at iPos with no history behind it. iWriteBefore is a
    // logWritePos loaded before iPos was chosen: the distance floor is
    // measured from it, so that writers passing meanwhile can only raise
    // the floor.
    void moveTo(const KQRingView& view, int32_t iPos, int32_t iWriteBefore);
    KQWalkEvent endOfData();
    KQWalkEvent lapped(const KQRingView& view, KQWalkResult& res);
    KQWalkEvent damaged(const KQRingView& view, int32_t iWritePos,
                        int32_t iFrom, KQWalkResult& res);
    bool writerRestarted(const KQRingView& view, int64_t iStart,
                         int32_t iRead, int32_t iWrite);
    void restart(const KQRingView& view);
    bool startedOver(const KQRingView& view) const;
    // Whether the node read last no longer holds the header it had: the
    // chain behind the cursor was rewritten, so the cursor is off it.
    bool rewrittenBehind(const KQRingView& view) const;
    // After a copy at the cursor: whether the node there is still the one
    // this look expected, from logWritePos and then logReadPos loaded now
    // (into iWriteNow). It must still be retained, and its distance to
    // logWritePos must not have shrunk below the look's lag iLag: else the
    // writers came round past it during the copy, and a newer node whose
    // boundary fell on the cursor may stand there.
    bool stillAhead(const KQRingView& view, int64_t iLag, int32_t& iWriteNow);
    // Whether the node read last was rewritten while logReadPos does not
    // lie between it and the cursor: the writers evicted past the cursor
    // and came round again between two looks.
    bool lostBehind(const KQRingView& view);
    // The node at the cursor failed inside the retained data: damaged,
    // unless the chain behind the cursor was rewritten (a lap, or a writer
    // starting over, after which bLookAgain asks for another look).
    KQWalkEvent failedInside(const KQRingView& view, int32_t iWrite,
                             KQWalkResult& res, bool& bLookAgain);
    void reportInvalid(const KQRingView& view, const KQNodeCopy& copy);

    int32_t m_iPos = 0;
    // The node last read; the cursor lies right after it. -1 after a move.
    int32_t m_iLastLinePos = -1;
    uint8_t m_lastHeader[KQLOG_NODE_HDR_SIZE] = {};
    // The header of the node at the cursor when it was moved there, until
    // the first read: a different one means the writers went round over it
    // (possibly a whole ring, which leaves the positions looking the same).
    bool m_bMovedHeader = false;
    uint8_t m_movedHeader[KQLOG_NODE_HDR_SIZE] = {};
    int64_t m_iStartTime = 0;  // the log's start time when last seen
    // The distance to logWritePos may not fall below this without a lap;
    // -1 when there is nothing to compare with.
    int64_t m_iLagFloor = -1;
    // Where the last chain of reads began, for rings whose logWritePos is
    // unusable: reads must move away from it, at most once round.
    int32_t m_iAnchor = 0;
    // The next step starts with a broken link after m_iLastLinePos.
    bool m_bBrokenLink = false;
    // Held after a broken chain until logWritePos differs from this.
    bool m_bHold = false;
    int32_t m_iHoldWrite = -1;

    bool m_bFollow = false;
    bool m_bEnded = false;
    int m_iLaps = 0;
    int64_t m_iBudget = 0;  // printing once: bytes left to read
    KQTimeCache m_cache;
};

#endif
