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
struct KQRingView {
    shmloghead* pHead;
    uint8_t* pRing;
    int32_t iRingSize;
};

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

// Whether iPos lies in the retained region, from logReadPos to logWritePos
// (the end marker included), read now. A node outside it has been evicted
// by the writers, or is being overwritten. Positions outside the ring say
// nothing about the region: then any position counts as retained.
bool KQRingRetained(const shmloghead* pHead, int32_t iPos, int32_t iRingSize);

// Position of the node after one at iPos with text length nLogSize.
int32_t KQRingNextPos(int32_t iPos, uint8_t nLogSize, int32_t iRingSize);

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

// Local date and time "MM-DD hh:mm:ss" of one second, remembered so that
// nodes of the same second convert the time only once.
struct KQTimeCache {
    bool bValid = false;
    int64_t iSecond = 0;
    char text[14];
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

#endif
