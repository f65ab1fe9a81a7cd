// The writers' side of the ring: appending a node, making room for it,
// and finding where a log left by another writer ends. Pure functions over
// a KQRingView (header and ring bytes), no system calls, like the reader's
// walker (KQShmLogWalk.h), so that tests and the fuzzer drive it over plain
// memory and read the result back through the walker.
//
// Every function here runs under the writers' lock (the process-shared
// mutex of KQShmLogLock.h): at most one runs on a log at a time, across
// all processes. The positions come from the header on every call, so
// writers in several processes append one after the other; the lock's
// acquire and release order each writer's header stores before the next
// writer's loads. Every position and byte is still checked before use: any
// local user may write the segment, and writers of other programs do not
// take the lock. Whatever the header and ring hold, nothing here reads or
// writes outside the ring or the header.
//
// Publication order, which readers (KQShmLogRing.h, KQShmLogWalk.h) rely
// on. Readers take no lock: they load a node's size byte with acquire, copy
// the node, then recheck it and the positions.
//   1. Eviction: logReadPos moves past each retained node that the new node
//      or the end marker after it will overwrite (release stores), and a
//      release fence follows. A release store orders only what precedes
//      it; the fence orders the overwriting stores after the new
//      logReadPos. It pairs with the reader's copy, acquire fence,
//      logReadPos check: a reader whose copy saw an overwritten byte then
//      sees the node as evicted.
//   2. The end marker (size byte 0) at the next node's position.
//   3. The node's header bytes other than its size byte, its text and
//      terminator, plain stores: the size byte at the node's position is
//      still 0 (an end marker), so no reader reads them as a node yet.
//   4. The size byte, with release: a reader that loads it sees the whole
//      node and the end marker after it.
//   5. logWritePos past the node, with release.
// A writer killed anywhere in 1-3 leaves a sound log: the chain from
// logReadPos still ends at the end marker at logWritePos. Killed between 4
// and 5 it leaves a whole node at logWritePos with an end marker after it;
// KQAppendRepair (and KQAppendChainEnd, when a log is adopted) carry that
// node on.
#ifndef KQSHMLOGAPPEND_H
#define KQSHMLOGAPPEND_H

#include <cstddef>
#include <cstdint>

#include "KQShmLogRing.h"

// One node to append. nLen is 1 to 255: 0 would be an end marker. NUL
// bytes in the text are stored as KQLOG_NUL_STAND_IN, since a NUL ends a
// text in the format.
struct KQAppendNode {
    uint8_t nTag;
    uint8_t nLevel;
    uint32_t iSec;  // seconds since the log's starttime
    uint16_t iMs;
    const char* pText;
    uint8_t nLen;
};

const char KQLOG_NUL_STAND_IN = '?';

// Whether a node may start at iPos in a ring of iRingSize bytes: at 0, or
// where the ring rule leaves one, far enough from the end that the largest
// node and the end marker after it still fit.
inline bool KQAppendStartValid(int32_t iPos, int32_t iRingSize) {
    return iPos == 0 ||
           (iPos > 0 && int64_t(iPos) + KQLOG_WRAP_THRESHOLD < iRingSize);
}

// Appends node at logWritePos, evicting first what it will overwrite, in
// the order above; returns the position it took. The ring must be at least
// KQLOG_MIN_LOG_BUF_SIZE bytes (KQShmLogWriter.h), so that a node and the
// end marker after it never overlap each other.
//
// Positions the header holds that no node may take are not followed: the
// node then goes to 0 (logWritePos unusable) or to logWritePos (logReadPos
// unusable), and is the only node retained. A chain broken by foreign
// writes is followed at most once round the ring; then, too, only the new
// node is retained.
int32_t KQAppend(const KQRingView& view, const KQAppendNode& node);

// After a writer died holding the lock: when it published a node at
// logWritePos (step 4) but died before moving logWritePos on (step 5), the
// node is whole, with an end marker after it; logWritePos moves past it,
// so the next append does not overwrite it. Anything else at logWritePos is
// left to KQAppend. True when logWritePos moved. Constant time.
bool KQAppendRepair(const KQRingView& view);

// Where the chain of sound nodes from iRead ends, for a writer adopting a
// log: true with iEnd at the end marker when the chain from iRead passes
// iWrite (or starts there) and ends at an end marker at iWrite or after it
// (the nodes a killed writer published but did not count), without coming
// back round to iRead. False for a chain that is broken, never passes
// iWrite, or does not end within one round of the ring. Both positions
// must satisfy KQAppendStartValid.
bool KQAppendChainEnd(const KQRingView& view, int32_t iRead, int32_t iWrite,
                      int32_t& iEnd);

#endif
