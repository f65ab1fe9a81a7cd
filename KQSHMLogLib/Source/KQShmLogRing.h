// The ring walker: reads, validates and renders log nodes from a byte view
// of a segment. Pure functions over memory, no system calls, so tests and
// fuzzers can drive them with any bytes.
//
// Positions are ring offsets. Whatever the positions and bytes hold, no
// function here reads outside [pRing, pRing + iRingSize) or the header.
#ifndef KQSHMLOGRING_H
#define KQSHMLOGRING_H

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "KQShmLogInternalComm.h"

// Fixed view of an attached segment. The sizes are taken once, when the
// segment is attached, and never re-read from the shared header.
//
// pfnBeforeLoad is a test seam, null in every real reader: the walker calls
// it before each load of shared state (a position, the start time, a node),
// so that a test can run a burst of writes between any two of those loads,
// as writers on another core do.
struct KQRingView {
    shmloghead* pHead;
    uint8_t* pRing;
    int32_t iRingSize;
    void (*pfnBeforeLoad)(void* pCtx) = nullptr;
    void* pProbeCtx = nullptr;
};

// Runs the view's test seam, if any, before a load of shared state.
inline void KQRingProbe(const KQRingView& view) {
    if (view.pfnBeforeLoad) view.pfnBeforeLoad(view.pProbeCtx);
}

enum KQNodeStatus {
    KQNODE_VALID,    // a whole, sound node: copy holds it
    KQNODE_END,      // logSize 0: nothing written here yet
    KQNODE_INVALID,  // failed its checks: half-written, overwritten or corrupt
    KQNODE_OUTSIDE,  // the position is not inside the ring
};

// A private copy of one node. Everything after the read is decided from
// this copy alone, so a writer rewriting the node meanwhile cannot mix
// checked and unchecked bytes.
struct KQNodeCopy {
    uint8_t header[KQLOG_NODE_HDR_SIZE];  // the header bytes as read
    int taken;                             // text bytes copied, terminator included
    uint8_t logSize;
    uint8_t logTag;
    uint8_t logLevel;
    uint32_t timeDeltaSec;
    uint16_t timeDeltaMs;
    int count;       // text bytes before the first NUL, within the copy
    int terminator;  // the byte after the text; -1 when past the ring end
    char text[KQLOG_MAX_LOG_LENGTH + 2];
};

// The writers move these while readers look: load each whole, once.
inline int32_t KQRingLoadReadPos(const shmloghead* pHead) {
    return __atomic_load_n(&pHead->logReadPos, __ATOMIC_ACQUIRE);
}
inline int32_t KQRingLoadWritePos(const shmloghead* pHead) {
    return __atomic_load_n(&pHead->logWritePos, __ATOMIC_ACQUIRE);
}

// Whether iPos lies in the retained region from iRead to iWrite (the end
// marker included), positions already loaded; both unusable (outside the
// ring) say nothing: then any position counts as retained.
inline bool KQRingRetainedIn(int32_t iRead, int32_t iWrite, int32_t iPos,
                             int32_t iRingSize) {
    if (iRead < 0 || iRead >= iRingSize || iWrite < 0 || iWrite >= iRingSize)
        return true;
    if (iRead <= iWrite) return iRead <= iPos && iPos <= iWrite;
    return iPos >= iRead || iPos <= iWrite;
}

// Whether the 9 header bytes at p equal those in header; no library call,
// as this runs for every record.
inline bool KQRingHeaderEquals(const uint8_t* p,
                               const uint8_t header[KQLOG_NODE_HDR_SIZE]) {
    uint64_t iNow, iThen;
    __builtin_memcpy(&iNow, p, 8);
    __builtin_memcpy(&iThen, header, 8);
    return iNow == iThen && p[8] == header[8];
}

// Whether iPos lies in the retained region, from logReadPos to logWritePos
// (the end marker included), read now. A node outside it has been evicted
// by the writers, or is being overwritten. Positions outside the ring say
// nothing about the region: then any position counts as retained.
bool KQRingRetained(const shmloghead* pHead, int32_t iPos, int32_t iRingSize);

// Position of the node after one at iPos with text length nLogSize.
inline int32_t KQRingNextPos(int32_t iPos, uint8_t nLogSize,
                             int32_t iRingSize) {
    int64_t iNext = int64_t(iPos) + nLogSize + KQLOG_NODE_HDR_SIZE + 1;
    if (iNext + KQLOG_WRAP_THRESHOLD >= int64_t(iRingSize)) return 0;
    return int32_t(iNext);
}

// Reads the node at iPos into copy. The size byte is read once, with acquire
// ordering, before the rest, so a node a writer publishes by its size byte
// is seen whole.
KQNodeStatus KQRingReadNode(const KQRingView& view, int32_t iPos,
                            KQNodeCopy& copy);

// Whether the node bytes at iPos still equal those copy was taken from. A
// writer that laps the whole ring while a reader copies leaves positions
// that look sound; only the bytes tell.
bool KQRingNodeUnchanged(const KQRingView& view, int32_t iPos,
                         const KQNodeCopy& copy);

// For diagnostics: text bytes before the first NUL at node offset 9 of the
// node at iPos, counting at most iLimit bytes and stopping at the ring end.
int KQRingCountText(const KQRingView& view, int32_t iPos, int iLimit);

// Steps iCount nodes on from iPos by their size bytes alone, unchecked (an
// end marker is stepped over by 10 bytes like any node). False, with iPos
// where it stopped, when a step starts outside the ring.
bool KQRingSkip(const KQRingView& view, int32_t& iPos, int iCount);

// Copies entry nTag's name (at most 10 bytes, up to its first NUL) into
// name and returns its length. Tag 255 has no entry: empty name.
int KQRingTagName(const shmloghead* pHead, uint8_t nTag,
                  char name[KQLOG_TAG_NAME_SIZE]);

// Local date and time " MM-DD hh:mm:ss " (with the spaces around it) of
// one second, remembered so that nodes of the same second convert the time
// only once, and nodes of the same minute once a minute: while every
// second of the minute is known to read as that minute with seconds 00 to
// 59, another second of it only changes the two digits.
struct KQTimeCache {
    bool bValid = false;
    int64_t iSecond = 0;
    bool bConverted = false;  // local time could express iSecond
    char text[16];
    // [iMinuteStart, iMinuteStart + 60) reads as text's minute, second by
    // second (no change of UTC offset, no leap second inside it).
    bool bMinute = false;
    int64_t iMinuteStart = 0;
};

// Largest line KQRenderLine writes: "[" level " " tag " MM-DD hh:mm:ss "
// ms(<=5) "] " text.
const int KQLOG_MAX_LINE_SIZE = 1 + 5 + 1 + KQLOG_TAG_NAME_SIZE + 16 + 5 + 2 +
                                KQLOG_MAX_LOG_LENGTH;

// Renders a valid node as "[LEVEL tag MM-DD hh:mm:ss mmmm] text" into out
// (KQLOG_MAX_LINE_SIZE bytes at least) and returns the length. No line end
// is added. Times are local; seconds that local time cannot express render
// as "00-00 00:00:00".
size_t KQRenderLine(const KQNodeCopy& copy, const char* pTagName,
                    int iTagLen, int64_t iStartTime, KQTimeCache& cache,
                    char* out);

// ---- The print path: one copy, straight into the caller's line ----------

// A node read by KQRingReadLine. The header bytes are a private copy; the
// text lives in the caller's line buffer at nTextOffset.
struct KQLineRead {
    uint8_t header[KQLOG_NODE_HDR_SIZE];
    size_t nTagOffset;   // the tag name in the line
    int iTagLen;
    size_t nTextOffset;  // the text in the line; logSize bytes
    size_t nLineLen;     // the whole line, text included
    bool bTimeValid;     // false when the line shows "00-00 00:00:00"
    int64_t iSecond;     // starttime + timeDeltaSec, when bTimeValid
};

// Reads the node at iPos and renders it into out (KQLOG_MAX_LINE_SIZE + 1
// bytes at least) as KQRenderLine would. The text and its terminator are
// copied once, into out, and validated there, so the line holds exactly
// the bytes that passed the checks. KQNODE_VALID: line filled. Otherwise
// out holds scratch; KQNODE_INVALID gives no details (KQRingReadNode has
// them). The caller still owes the after-copy recheck (KQRingLineUnchanged).
KQNodeStatus KQRingReadLine(const KQRingView& view, int32_t iPos,
                            int64_t iStartTime, KQTimeCache& cache,
                            char* out, KQLineRead& line);

// Whether the node at iPos still holds the header and text (with its
// terminator) that KQRingReadLine copied into line and out.
bool KQRingLineUnchanged(const KQRingView& view, int32_t iPos,
                         const KQLineRead& line, const char* out);

// Whether a sound node starts at iPos (the checks of KQRingReadNode, made
// in place and without copying); its successor goes to iNext. For scans
// that look for a chain to trust, never for what is printed.
bool KQRingNodeSound(const KQRingView& view, int32_t iPos, int32_t& iNext);

// Bytes from iFrom forward to iTo round the ring; both inside it.
inline int64_t KQRingDistance(int32_t iFrom, int32_t iTo, int32_t iRingSize) {
    int64_t d = int64_t(iTo) - iFrom;
    return d < 0 ? d + iRingSize : d;
}

// Whether the writers came round past a cursor at iPos that was iLag bytes
// behind logWritePos when its look began (-1: unknown): its distance to
// logWritePos (iWriteNow, loaded since) only grows while it is ahead of
// them. A logWritePos outside the ring tells nothing.
inline bool KQRingOvertaken(int32_t iPos, int64_t iLag, int32_t iWriteNow,
                            int32_t iRingSize) {
    return iLag >= 0 && iWriteNow >= 0 && iWriteNow < iRingSize &&
           KQRingDistance(iPos, iWriteNow, iRingSize) < iLag;
}

// Whether the writers, having rewritten the node read last at iLast, left
// logReadPos (iRead) anywhere but between it and the cursor at iPos, where
// evicting in order puts it: they evicted past the cursor and came round
// again. A logReadPos outside the ring tells nothing.
inline bool KQRingEvictedPast(int32_t iLast, int32_t iRead, int32_t iPos,
                              int32_t iRingSize) {
    if (iRead < 0 || iRead >= iRingSize) return false;
    int64_t iEvicted = KQRingDistance(iLast, iRead, iRingSize);
    return iEvicted == 0 || iEvicted > KQRingDistance(iLast, iPos, iRingSize);
}

// Where reading goes on after a damaged node (or a broken link) at iFrom.
// First the damaged node's own end: a node that is sound in all but one
// byte (its size byte, its level, one NUL in its text, or its terminator)
// still shows where it ends, read by its size byte or, when that is the
// bad byte, by the first NUL after its header. Of those readings, the one
// whose successor soonest reaches a sound node or iWritePos (through at
// most KQLOG_FRAME_HOPS nodes damaged the same way) wins, and reading goes
// on at its successor, even when that is a second damaged node. Otherwise
// the size byte is not trusted: every position after iFrom where the
// node's true successor could lie (up to the largest node's extent, and 0
// when the node could wrap) is a candidate, in ring order, except those
// whose first node ends on a terminator that a reading of the damaged node
// as sound in all but one byte would have (they are made of its own text),
// and those inside a sound node's extent (a broken link). A candidate is
// proven when the chain of sound nodes from it reaches iWritePos, or stays
// sound for KQLOG_RESYNC_PROOF nodes (so that the cost stays bounded). The
// first proven candidate wins, unless an earlier candidate's sound chain
// breaks (at another damaged node) no later than where the proven one
// starts: reading that chain first loses nothing, so the one of those that
// goes furthest wins. Without any proven candidate, the one whose chain
// goes furthest. Without any sound chain: iWritePos, or -1 when iWritePos
// is unknown (-1). Every chain moves forward from iFrom and stays within
// the written data. Cost: at most KQLOG_MAX_NODE_SIZE x KQLOG_RESYNC_PROOF
// node checks, about 68,000.
const int KQLOG_MAX_NODE_SIZE = KQLOG_NODE_HDR_SIZE + KQLOG_MAX_LOG_LENGTH + 1;
const int KQLOG_RESYNC_PROOF = 256;
int32_t KQRingResync(const KQRingView& view, int32_t iFrom,
                     int32_t iWritePos);

#endif
