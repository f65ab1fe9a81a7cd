#include "KQShmLogRing.h"

#include <cstring>

namespace {

uint32_t loadU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
           uint32_t(p[3]) << 24;
}

uint16_t loadU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

// A node header must fit before anything at iPos is read.
bool headerInRing(const KQRingView& view, int32_t iPos) {
    return iPos >= 0 && view.iRingSize >= KQLOG_NODE_HDR_SIZE &&
           iPos <= view.iRingSize - KQLOG_NODE_HDR_SIZE;
}

void put2(char* p, int v) {
    p[0] = char('0' + v / 10 % 10);
    p[1] = char('0' + v % 10);
}

// "%.4u": at least four digits, more when the value needs them.
size_t putMs(char* p, unsigned v) {
    char digits[5];
    int n = 0;
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n < 4) digits[n++] = '0';
    for (int i = 0; i < n; ++i) p[i] = digits[n - 1 - i];
    return size_t(n);
}

void renderSecond(int64_t iSecond, char text[14]) {
    struct tm tmLocal;
    time_t t = time_t(iSecond);
    if (int64_t(t) != iSecond || localtime_r(&t, &tmLocal) == nullptr) {
        memcpy(text, "00-00 00:00:00", 14);
        return;
    }
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

}  // namespace

int32_t KQRingNextPos(int32_t iPos, uint8_t nLogSize, int32_t iRingSize) {
    int64_t iNext = int64_t(iPos) + nLogSize + KQLOG_NODE_HDR_SIZE + 1;
    if (iNext + KQLOG_WRAP_THRESHOLD >= int64_t(iRingSize)) return 0;
    return int32_t(iNext);
}

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

    if (copy.count != copy.logSize || copy.terminator != 0 ||
        copy.logLevel >= KQLOG_LEVEL_COUNT)
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
    if (iReadPos < 0 || iReadPos >= iRingSize || iWritePos < 0 ||
        iWritePos >= iRingSize)
        return true;
    if (iReadPos <= iWritePos) return iReadPos <= iPos && iPos <= iWritePos;
    return iPos >= iReadPos || iPos <= iWritePos;
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
    char* p = out;
    *p++ = '[';
    memcpy(p, LOG_LEVEL_STRING[copy.logLevel], 5);
    p += 5;
    *p++ = ' ';
    memcpy(p, pTagName, size_t(iTagLen));
    p += iTagLen;

    int64_t iSecond;
    if (__builtin_add_overflow(iStartTime, int64_t(copy.timeDeltaSec),
                               &iSecond)) {
        memcpy(cache.text, "00-00 00:00:00", 14);
        cache.bValid = false;
    } else if (!cache.bValid || cache.iSecond != iSecond) {
        renderSecond(iSecond, cache.text);
        cache.iSecond = iSecond;
        cache.bValid = true;
    }
    *p++ = ' ';
    memcpy(p, cache.text, 14);
    p += 14;
    *p++ = ' ';
    p += putMs(p, copy.timeDeltaMs);
    *p++ = ']';
    *p++ = ' ';
    memcpy(p, copy.text, copy.logSize);
    p += copy.logSize;
    return size_t(p - out);
}
