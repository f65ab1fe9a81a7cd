#include "KQShmLogRing.h"

#include "KQShmLogRingLine.h"

#include <cstring>

using namespace kqring;

namespace {

void put2(char* p, int v) {
    p[0] = char('0' + v / 10 % 10);
    p[1] = char('0' + v % 10);
}

}  // namespace

namespace kqring {

namespace {

// "MM-DD hh:mm:ss" of tm into text.
void putLocal(const struct tm& tmLocal, char text[14]) {
    // Out-of-range fields cannot come from localtime_r; put2 keeps two
    // digits whatever happens.
    put2(text, tmLocal.tm_mon + 1);
    text[2] = '-';
    put2(text + 3, tmLocal.tm_mday);
    text[5] = ' ';
    put2(text + 6, tmLocal.tm_hour);
    text[8] = ':';
    put2(text + 9, tmLocal.tm_min);
    text[11] = ':';
    put2(text + 12, tmLocal.tm_sec);
}

bool localOf(int64_t iSecond, struct tm& tmLocal) {
    time_t t = time_t(iSecond);
    return int64_t(t) == iSecond && localtime_r(&t, &tmLocal) != nullptr;
}

bool sameMinute(const struct tm& a, const struct tm& b) {
    return a.tm_min == b.tm_min && a.tm_hour == b.tm_hour &&
           a.tm_mday == b.tm_mday && a.tm_mon == b.tm_mon &&
           a.tm_year == b.tm_year && a.tm_gmtoff == b.tm_gmtoff;
}

}  // namespace

void convertSecond(int64_t iSecond, KQTimeCache& cache) {
    cache.bValid = true;
    cache.iSecond = iSecond;
    cache.bMinute = false;
    cache.text[0] = ' ';
    cache.text[15] = ' ';
    struct tm tmLocal;
    if (!localOf(iSecond, tmLocal)) {
        memcpy(cache.text + 1, "00-00 00:00:00", 14);
        cache.bConverted = false;
        return;
    }
    putLocal(tmLocal, cache.text + 1);
    cache.bConverted = true;
    // The minute reads second by second when its first second reads :00
    // and its last :59, both in this minute at this UTC offset: a change of
    // offset inside it, or a leap second, breaks one of those, and offsets
    // do not change twice within a minute.
    int64_t iStart = iSecond - tmLocal.tm_sec;
    struct tm tmFirst, tmLast;
    cache.bMinute = tmLocal.tm_sec >= 0 && tmLocal.tm_sec <= 59 &&
                    localOf(iStart, tmFirst) && localOf(iStart + 59, tmLast) &&
                    tmFirst.tm_sec == 0 && tmLast.tm_sec == 59 &&
                    sameMinute(tmFirst, tmLocal) && sameMinute(tmLast, tmLocal);
    cache.iMinuteStart = iStart;
}

}  // namespace kqring

KQNodeStatus KQRingReadNode(const KQRingView& view, int32_t iPos,
                            KQNodeCopy& copy) {
    if (!headerInRing(view, iPos)) return KQNODE_OUTSIDE;
    const uint8_t* pNode = view.pRing + iPos;

    // The writer publishes a node by storing its size byte last.
    copy.header[0] = __atomic_load_n(pNode, __ATOMIC_ACQUIRE);
    memcpy(copy.header + 1, pNode + 1, KQLOG_NODE_HDR_SIZE - 1);
    copy.logSize = copy.header[0];
    copy.logTag = copy.header[1];
    copy.logLevel = copy.header[2];
    copy.timeDeltaSec = loadU32(copy.header + 3);
    copy.timeDeltaMs = loadU16(copy.header + 7);
    copy.count = 0;
    copy.taken = 0;
    copy.terminator = -1;
    if (copy.logSize == 0) return KQNODE_END;

    // Text and terminator, cut at the ring end.
    int iAvail = view.iRingSize - iPos - KQLOG_NODE_HDR_SIZE;
    int iWant = copy.logSize + 1;
    int iTake = iWant < iAvail ? iWant : iAvail;
    memcpy(copy.text, pNode + KQLOG_NODE_HDR_SIZE, size_t(iTake));
    copy.text[iTake] = '\0';
    copy.taken = iTake;

    const void* pNul = memchr(copy.text, 0, size_t(iTake));
    copy.count = pNul ? int(static_cast<const char*>(pNul) - copy.text)
                      : iTake;
    if (iTake == iWant) copy.terminator = uint8_t(copy.text[copy.logSize]);

    if (checkHeader(view, iPos, copy.logSize, copy.logLevel) != KQNODE_VALID ||
        !textSound(reinterpret_cast<const uint8_t*>(copy.text), copy.logSize))
        return KQNODE_INVALID;
    return KQNODE_VALID;
}

bool KQRingNodeUnchanged(const KQRingView& view, int32_t iPos,
                         const KQNodeCopy& copy) {
    if (!headerInRing(view, iPos)) return false;
    const uint8_t* pNode = view.pRing + iPos;
    return memcmp(pNode, copy.header, KQLOG_NODE_HDR_SIZE) == 0 &&
           memcmp(pNode + KQLOG_NODE_HDR_SIZE, copy.text,
                  size_t(copy.taken)) == 0;
}

int KQRingCountText(const KQRingView& view, int32_t iPos, int iLimit) {
    if (!headerInRing(view, iPos)) return 0;
    int iAvail = view.iRingSize - iPos - KQLOG_NODE_HDR_SIZE;
    if (iAvail > iLimit) iAvail = iLimit;
    const uint8_t* pText = view.pRing + iPos + KQLOG_NODE_HDR_SIZE;
    int n = 0;
    while (n < iAvail && pText[n] != 0) ++n;
    return n;
}

bool KQRingRetained(const shmloghead* pHead, int32_t iPos, int32_t iRingSize) {
    // logWritePos first: a writer moves logReadPos before logWritePos, so a
    // stale pair can only make the region look larger, never smaller.
    int32_t iWritePos = KQRingLoadWritePos(pHead);
    int32_t iReadPos = KQRingLoadReadPos(pHead);
    return KQRingRetainedIn(iReadPos, iWritePos, iPos, iRingSize);
}


bool KQRingSkip(const KQRingView& view, int32_t& iPos, int iCount) {
    for (int i = 0; i < iCount; ++i) {
        if (iPos < 0 || iPos >= view.iRingSize) return false;
        uint8_t nSize = __atomic_load_n(view.pRing + iPos, __ATOMIC_RELAXED);
        iPos = KQRingNextPos(iPos, nSize, view.iRingSize);
    }
    return true;
}

int KQRingTagName(const shmloghead* pHead, uint8_t nTag,
                  char name[KQLOG_TAG_NAME_SIZE]) {
    if (nTag >= KQLOG_MAX_TAGS) return 0;
    const char* pSrc = pHead->logInfos[nTag].strLogTag;
    int n = 0;
    while (n < KQLOG_TAG_NAME_SIZE) {
        char c = pSrc[n];
        if (c == '\0') break;
        name[n++] = c;
    }
    return n;
}


size_t KQRenderLine(const KQNodeCopy& copy, const char* pTagName, int iTagLen,
                    int64_t iStartTime, KQTimeCache& cache, char* out) {
    bool bValid;
    int64_t iSecond;
    size_t n = renderPrefix(copy.logLevel, pTagName, iTagLen, iStartTime,
                            copy.timeDeltaSec, copy.timeDeltaMs, cache, out,
                            &bValid, &iSecond);
    memcpy(out + n, copy.text, copy.logSize);
    return n + copy.logSize;
}

KQNodeStatus KQRingReadLine(const KQRingView& view, int32_t iPos,
                            int64_t iStartTime, KQTimeCache& cache,
                            char* out, KQLineRead& line) {
    return readLine(view, iPos, iStartTime, cache, out, line);
}

bool KQRingLineUnchanged(const KQRingView& view, int32_t iPos,
                         const KQLineRead& line, const char* out) {
    return lineUnchanged(view, iPos, line, out);
}

bool KQRingNodeSound(const KQRingView& view, int32_t iPos, int32_t& iNext) {
    if (!headerInRing(view, iPos)) return false;
    const uint8_t* pNode = view.pRing + iPos;
    uint8_t nSize = __atomic_load_n(pNode, __ATOMIC_ACQUIRE);
    if (checkHeader(view, iPos, nSize, pNode[2]) != KQNODE_VALID ||
        !textSound(pNode + KQLOG_NODE_HDR_SIZE, nSize))
        return false;
    iNext = KQRingNextPos(iPos, nSize, view.iRingSize);
    return true;
}

namespace {

// Defects of the node at iFrom read as iLen text bytes and a terminator:
// a size byte other than iLen, a level without a name, each NUL in the
// text, and a terminator that is no NUL; -1 when the terminator lies past
// the ring end.
int frameDefects(const KQRingView& view, int32_t iFrom, int iLen) {
    int64_t iEnd = int64_t(iFrom) + KQLOG_NODE_HDR_SIZE + iLen;
    if (iLen < 1 || iLen > KQLOG_MAX_LOG_LENGTH || iEnd >= view.iRingSize)
        return -1;
    const uint8_t* pNode = view.pRing + iFrom;
    int iDefects = (pNode[0] != iLen) + (pNode[2] >= KQLOG_LEVEL_COUNT) +
                   (pNode[KQLOG_NODE_HDR_SIZE + iLen] != 0);
    for (int i = 0; i < iLen; ++i) iDefects += pNode[KQLOG_NODE_HDR_SIZE + i] == 0;
    return iDefects;
}

// Follows the chain of sound nodes from q, forward from iFrom and within
// iLimit bytes of it. True when it is proven: it reaches iWritePos (when
// known, else -1) or stays sound for KQLOG_RESYNC_PROOF nodes. iReach gets
// the distance from iFrom to where the chain stopped.
bool chainProven(const KQRingView& view, int32_t iFrom, int32_t q,
                 int64_t iLimit, int32_t iWritePos, int64_t& iReach) {
    int32_t p = q;
    iReach = KQRingDistance(iFrom, q, view.iRingSize);
    for (int iSteps = 0; iSteps < KQLOG_RESYNC_PROOF; ++iSteps) {
        int32_t iNext;
        if (!KQRingNodeSound(view, p, iNext)) return false;
        int64_t iNextAt = KQRingDistance(iFrom, iNext, view.iRingSize);
        if (iNextAt <= iReach || iNextAt > iLimit) return false;
        p = iNext;
        iReach = iNextAt;
        if (p == iWritePos) return true;
    }
    return true;
}

// How a node reads when it is sound in all but at most one byte.
struct Frame {
    int iDefects;   // 0: the node is sound
    int iLen;       // its text length
    int32_t iNext;  // its successor
};

// The readings of the node at p as sound in all but at most one byte: by
// its size byte (a bad level, one NUL in its text, or a terminator that is
// no NUL), and with the size byte as the bad one and the first NUL after
// the header as the terminator. Returns how many fit.
int frameReadings(const KQRingView& view, int32_t p, Frame frames[2]) {
    if (!headerInRing(view, p)) return 0;
    const uint8_t* pNode = view.pRing + p;
    int iAvail = view.iRingSize - p - KQLOG_NODE_HDR_SIZE;
    if (iAvail > KQLOG_MAX_LOG_LENGTH + 1) iAvail = KQLOG_MAX_LOG_LENGTH + 1;
    const uint8_t* pText = pNode + KQLOG_NODE_HDR_SIZE;
    const void* pNul = memchr(pText, 0, size_t(iAvail));
    int lens[2] = {pNode[0],
                   pNul ? int(static_cast<const uint8_t*>(pNul) - pText) : 0};
    int n = 0;
    for (int i = 0; i < 2; ++i) {
        if (i == 1 && lens[1] == lens[0]) break;
        int iDefects = frameDefects(view, p, lens[i]);
        if (iDefects < 0 || iDefects > 1) continue;
        frames[n++] = Frame{iDefects, lens[i],
                            KQRingNextPos(p, uint8_t(lens[i]), view.iRingSize)};
    }
    return n;
}

// Hops from one reading's successor to the next that a frame chain may
// take before it must reach a sound node or logWritePos.
const int KQLOG_FRAME_HOPS = 3;

// Where a resync's chains may go: forward from iFrom, within iLimit bytes.
struct Bounds {
    int32_t iFrom;
    int64_t iLimit;
    int32_t iWritePos;  // -1: unknown
};

bool ahead(const KQRingView& view, const Bounds& b, int32_t iPrev,
           int32_t iNext) {
    int64_t iAt = KQRingDistance(b.iFrom, iNext, view.iRingSize);
    return iAt > KQRingDistance(b.iFrom, iPrev, view.iRingSize) &&
           iAt <= b.iLimit;
}

// How far reading can go from p: the distance from the resync's start that
// the chain of sound nodes from p reaches (more than the limit when it is
// proven: it reaches logWritePos or holds for KQLOG_RESYNC_PROOF nodes),
// passing through at most iHops nodes that are sound in all but one byte;
// -1 when p leads nowhere.
int64_t framesReach(const KQRingView& view, const Bounds& b, int32_t p,
                    int iHops) {
    int64_t iBest = -1;
    int32_t iNext;
    if (p == b.iWritePos) return b.iLimit + 1;
    if (KQRingNodeSound(view, p, iNext)) {
        if (chainProven(view, b.iFrom, p, b.iLimit, b.iWritePos, iBest))
            return b.iLimit + 1;
    }
    if (iHops == 0) return iBest;
    Frame frames[2];
    int n = frameReadings(view, p, frames);
    for (int i = 0; i < n; ++i) {
        if (frames[i].iDefects != 1 || !ahead(view, b, p, frames[i].iNext))
            continue;
        int64_t iReach = framesReach(view, b, frames[i].iNext, iHops - 1);
        if (iReach > iBest) iBest = iReach;
    }
    return iBest;
}

// The reading of the node at iFrom, sound in all but at most one byte,
// from whose successor a proven chain starts through the fewest nodes
// damaged the same way (a sound node's own reading at once); without one,
// the reading from whose successor reading goes furthest. Such a node is
// far likelier than nodes hiding in its bytes, which would be made of its
// own text. False when no reading leads to a sound node or logWritePos
// within KQLOG_FRAME_HOPS.
bool findFrame(const KQRingView& view, const Bounds& b, Frame& frame) {
    Frame frames[2];
    int n = frameReadings(view, b.iFrom, frames);
    for (int i = 0; i < n; ++i) {
        if (frames[i].iDefects != 0) continue;
        frame = frames[i];
        return true;
    }
    int64_t iBest = -1;
    for (int iHops = 0; iHops <= KQLOG_FRAME_HOPS; ++iHops) {
        for (int i = 0; i < n; ++i) {
            if (!ahead(view, b, b.iFrom, frames[i].iNext)) continue;
            int64_t iReach = framesReach(view, b, frames[i].iNext, iHops);
            if (iReach > b.iLimit) {
                frame = frames[i];
                return true;
            }
            if (iHops == KQLOG_FRAME_HOPS && iReach > iBest) {
                iBest = iReach;
                frame = frames[i];
            }
        }
    }
    return iBest >= 0;
}

// Whether the sound node at q ends on the terminator of a reading of the
// node at iFrom as sound in all but one byte: it is made of that node's
// own text.
bool endsInsideFrom(const KQRingView& view, int32_t iFrom, int32_t q) {
    int64_t iEnd = int64_t(q) + KQLOG_NODE_HDR_SIZE + view.pRing[q];
    int64_t iLen = iEnd - iFrom - KQLOG_NODE_HDR_SIZE;
    if (iLen < 1 || iLen > KQLOG_MAX_LOG_LENGTH) return false;
    int iDefects = frameDefects(view, iFrom, int(iLen));
    return iDefects == 0 || iDefects == 1;
}

}  // namespace

namespace {

// Where a resync may go on after iFrom, in ring order: each position up to
// the largest node's extent after it, short of the zone before the ring end
// where no node starts (the one before would have wrapped), then 0 when
// the damaged node could have been the last before the wrap. Returns how
// many were written to q.
int resyncCandidates(const KQRingView& view, int32_t iFrom,
                     int32_t q[KQLOG_MAX_NODE_SIZE + 1]) {
    int n = 0;
    for (int iOffset = 1; iOffset <= KQLOG_MAX_NODE_SIZE; ++iOffset) {
        int64_t iAt = int64_t(iFrom) + iOffset;
        if (iAt + KQLOG_WRAP_THRESHOLD >= view.iRingSize) break;
        q[n++] = int32_t(iAt);
    }
    if (int64_t(iFrom) + KQLOG_MAX_NODE_SIZE + KQLOG_WRAP_THRESHOLD >=
        view.iRingSize)
        q[n++] = 0;
    return n;
}

}  // namespace

int32_t KQRingResync(const KQRingView& view, int32_t iFrom,
                     int32_t iWritePos) {
    const int32_t iSize = view.iRingSize;
    if (iFrom < 0 || iFrom >= iSize) return iWritePos;
    bool bWriteKnown = iWritePos >= 0 && iWritePos < iSize;
    if (!bWriteKnown) iWritePos = -1;
    if (iWritePos == iFrom) return iWritePos;
    // Chains stay within the written data: up to iWritePos when known, else
    // one trip round the ring.
    int64_t iLimit = bWriteKnown ? KQRingDistance(iFrom, iWritePos, iSize)
                                 : int64_t(iSize) - 1;
    // A node damaged in one byte still shows where it ends: go on there,
    // even at a second damaged node (it is reported in its turn). When a
    // sound node's successor is no place to go (a broken link), the
    // candidates start past its end: none is made of its bytes.
    Bounds bounds{iFrom, iLimit, iWritePos};
    Frame frame;
    int64_t iFirst = 1;
    if (findFrame(view, bounds, frame)) {
        if (frame.iDefects == 1) return frame.iNext;
        iFirst = KQLOG_NODE_HDR_SIZE + frame.iLen + 1;
    }

    int32_t candidates[KQLOG_MAX_NODE_SIZE + 1];
    int nCandidates = resyncCandidates(view, iFrom, candidates);
    int64_t reach[KQLOG_MAX_NODE_SIZE + 1];  // where each chain broke
    int32_t iProven = -1;
    int64_t iProvenAt = iLimit;
    int nTried = 0;
    for (; nTried < nCandidates; ++nTried) {
        int32_t q = candidates[nTried];
        int64_t iStart = KQRingDistance(iFrom, q, iSize);
        reach[nTried] = iStart;  // a candidate with no sound node: nothing
        if (iStart == 0 || iStart > iLimit) break;
        if (iStart < iFirst) continue;
        if (q != iWritePos && headerInRing(view, q) &&
            endsInsideFrom(view, iFrom, q))
            continue;
        if (q == iWritePos ||
            chainProven(view, iFrom, q, iLimit, iWritePos, reach[nTried])) {
            iProven = q;
            iProvenAt = iStart;
            break;
        }
    }
    // An earlier chain that breaks (at another damaged node) no later than
    // where the proven one starts loses nothing: reading goes on from its
    // break to the proven chain. Of those, the one that goes furthest (the
    // first on a tie), so that a short chain by chance inside the damaged
    // bytes does not win over the sound nodes up to a second damaged one.
    int32_t iBest = -1;
    int64_t iBestBreak = -1;
    for (int i = 0; i < nTried; ++i) {
        int64_t iStart = KQRingDistance(iFrom, candidates[i], iSize);
        if (reach[i] > iStart && reach[i] <= iProvenAt &&
            reach[i] > iBestBreak) {
            iBest = candidates[i];
            iBestBreak = reach[i];
        }
    }
    if (iBest >= 0) return iBest;
    if (iProven >= 0) return iProven;
    return iWritePos;
}
