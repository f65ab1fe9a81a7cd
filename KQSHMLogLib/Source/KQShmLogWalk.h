// The reading policy over a ring: where a reader starts, what it makes of
// each node it meets, and where it goes on after an end, a damaged node or
// a lap. Pure over a KQRingView, like the ring core below it, so that unit
// tests and the fuzzer drive it over plain memory.
//
// Each look at the ring is classified first (KQShmLogWalkClassify.h and
// .cpp: what the bytes and positions at the cursor are), then acted on
// (KQShmLogWalk.cpp: one switch). The rules (the public contract is in
// KQShmLogStream.h):
// - The written data is the chain of nodes from logReadPos to logWritePos.
// - Lap: the writers overwrote the cursor's place. Seen when
//   - the cursor has left the retained region, before or after the copy;
//   - the distance from the cursor to logWritePos shrank: it only grows by
//     what the writers add while the cursor is ahead of them, so a distance
//     below the floor (the last distance, less what was read since) or,
//     after the copy, below this look's own distance means they came round
//     past it; every floor is measured from a logWritePos loaded before the
//     cursor was chosen, so that writers passing meanwhile only raise it;
//   - the node read last was rewritten while logReadPos does not lie
//     between it and the cursor, or the node at a cursor just moved to
//     (after a start, lap or resync) no longer holds the header it had then.
//   Reading resumes at logReadPos, with the bytes lost. A writer that goes
//   round the whole ring between two looks, before anything was read,
//   leaves no trace: that lap can pass unseen.
// - The bytes changed under the copy but the node is still ahead of the
//   writers: it was being written; look again.
// - A node that fails its checks at logWritePos is not committed yet: the
//   end of the data for now. So is the node read last when it stands at
//   logWritePos and still holds the header read (published, logWritePos
//   not moved yet): the cursor lies past the end.
// - Anywhere else inside the written data a failing node is damaged:
//   reported once and stepped over (KQRingResync), unless the node read
//   last was rewritten (a lap, or a writer starting over).
// - Writer restart: the start time changed, the cursor lies past the end of
//   a log that runs unwrapped from 0, or the node read last was rewritten
//   while still retained in such a log. Reading starts again at the oldest
//   node, quietly.
// - A sound node whose successor does not lie ahead of it within the
//   written data is a broken link: following, it is handled like a damaged
//   node right after it, so a crafted chain that loops is never read round
//   again; printing once, the pass ends there.
// - With nothing sound ahead, or only the node just read, the walker holds
//   until logWritePos moves, then goes on there.
// - A step looks at most KQWALK_MAX_LOOKS times; writers that keep changing
//   the cursor's node for longer make it answer END (printing once: the
//   pass ends).
// - Printing once ends at the end of the data, at its second lap, at a
//   hold or a broken link, after KQWALK_MAX_LOOKS busy looks, or once it
//   has read twice the ring's size, whatever the writers do: every later
//   step answers END.
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

// Looks at the ring within one step before it answers END.
const int KQWALK_MAX_LOOKS = 4;
// Printing once: the pass reads at most this many ring sizes, and ends at
// this many laps.
const int KQWALK_PASS_RINGS = 2;
const int KQWALK_PASS_LAPS = 2;

class KQRingWalker {
public:
    // Start at the oldest retained node (logReadPos) or at logWritePos.
    void startAtOldest(const KQRingView& view, bool bFollow);
    void startAtNewest(const KQRingView& view, bool bFollow);
    // Start right after the node at iPos, which the caller has checked and
    // found holding header (resuming after a record it recognised), as if
    // that node had just been read: one at logWritePos holds the walker
    // until logWritePos moves.
    void startAfter(const KQRingView& view, int32_t iPos,
                    const uint8_t header[KQLOG_NODE_HDR_SIZE], bool bFollow);

    // One step. pLine receives the rendered line of a record and must hold
    // KQLOG_MAX_LINE_SIZE + 1 bytes. Verbose diagnostics (g_bVerbose) go to
    // the library's verbose stream, as the reader object's nextLog prints
    // them.
    KQWalkEvent next(const KQRingView& view, char* pLine, KQWalkResult& res);

    int32_t position() const { return m_iPos; }
    // The log's start time the records delivered count from.
    int64_t startTime() const { return m_iStartTime; }

private:
    // What one look found at the cursor.
    enum class Found {
        Record,       // a sound node, copied, rechecked and still ours
        CaughtUp,     // the end of the written data: at logWritePos
        Wait,         // nothing to read now (held, outside the ring)
        Damaged,      // fails inside the retained data
        BrokenLink,   // the node read last leads nowhere ahead
        Lapped,       // the writers overwrote the cursor's place
        Restarted,    // a writer started the log over
        MoveToWrite,  // go on at logWritePos (hold released, or the header
                      // gave a cursor outside the ring)
        Changing,     // a node being written under the copy: look again
    };
    // The positions one look is taken against.
    struct Look {
        int32_t iWrite;     // logWritePos, loaded first
        int32_t iRead;      // logReadPos
        bool bWriteKnown;   // logWritePos lies inside the ring
        int64_t iLag;       // the cursor's distance to iWrite; -1: unknown
        int32_t iWriteNow;  // logWritePos loaded after the copy
        int32_t iReadNow;   // logReadPos loaded after the copy
        int64_t iStart;     // the log's start time
        // iWrite and iRead are the positions the record read last was
        // checked against (m_bSettled): what follows from them for the
        // cursor is known without working it out again.
        bool bSettled;
    };

    // Classification: reads, changes nothing but the line buffer. The
    // inline ones are the look every record passes (KQShmLogWalkClassify.h,
    // inlined into the step); the rest are in KQShmLogWalkClassify.cpp.
    inline Found classify(const KQRingView& view, Look& look, char* pLine,
                   KQWalkResult& res);
    inline Found classifyNode(const KQRingView& view, Look& look,
                              bool bPastWrite, char* pLine, KQWalkResult& res);
    Found failedInside(const KQRingView& view);
    inline bool stillAhead(const KQRingView& view, Look& look);
    inline bool lostBehind(const KQRingView& view);
    inline bool rewrittenBehind(const KQRingView& view) const;
    inline bool writerRestarted(const KQRingView& view, const Look& look) const;
    bool startedOver(const KQRingView& view) const;
    void reportInvalid(const KQRingView& view, const KQNodeCopy& copy);

    // Policy (KQShmLogWalk.cpp); the inline ones are the per-record step,
    // inlined into next there.
    inline KQWalkEvent step(const KQRingView& view, char* pLine,
                            KQWalkResult& res);
    inline KQWalkEvent deliver(const KQRingView& view, const Look& look,
                               KQWalkResult& res);
    KQWalkEvent lapped(const KQRingView& view, KQWalkResult& res);
    KQWalkEvent damaged(const KQRingView& view, int32_t iWrite,
                        int32_t iFrom, KQWalkResult& res);
    void restart(const KQRingView& view);
    void start(const KQRingView& view, int32_t iPos, int32_t iWriteBefore,
               bool bFollow);
    // Puts the cursor at iPos with no history behind it. iWriteBefore is a
    // logWritePos loaded before iPos was chosen: the distance floor is
    // measured from it.
    void moveTo(const KQRingView& view, int32_t iPos, int32_t iWriteBefore);
    inline bool passOver() const;

    int32_t m_iPos = 0;
    // The node last read; the cursor lies right after it. -1 after a move.
    int32_t m_iLastLinePos = -1;
    uint8_t m_lastHeader[KQLOG_NODE_HDR_SIZE] = {};
    // The header of the node at the cursor when it was moved there, until
    // the first read.
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
    // The last step read a record with positions that did not move while
    // it looked (m_iSettledWrite, m_iSettledRead, both inside the ring),
    // found it retained, and stepped to a successor within the written
    // data, not from logWritePos. While the writers leave both positions
    // so, the cursor is retained too, m_iLagFloor is its exact distance to
    // logWritePos, and no writer restart shows in the positions: a look
    // that finds them unchanged takes those as known (a fast path only:
    // every answer is the one working them out would give).
    bool m_bSettled = false;
    int32_t m_iSettledWrite = -1;
    int32_t m_iSettledRead = -1;
    // Held after a broken chain until logWritePos differs from this.
    bool m_bHold = false;
    int32_t m_iHoldWrite = -1;

    bool m_bFollow = false;
    bool m_bEnded = false;
    int m_iLaps = 0;        // printing once: laps so far
    int64_t m_iBudget = 0;  // printing once: bytes left to read
    KQTimeCache m_cache;
};

#endif
