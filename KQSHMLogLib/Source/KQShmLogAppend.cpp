#include "KQShmLogAppend.h"

#include <cstring>

namespace {

// Bytes a node occupies besides its text: header and terminator.
const int NODE_OVERHEAD = KQLOG_NODE_HDR_SIZE + 1;

// Where logReadPos goes so that the node about to be written at iPos (nLen
// bytes of text), and the end marker after it at iNext, overwrite no
// retained node. Retained nodes run from iRead on to iPos, so the oldest
// are the first ahead of iPos: once one is clear of the new bytes, all
// later ones are. Without a wrap the new bytes are iPos..iNext; with one
// (iNext 0) they are the node and the end marker at 0. No node can start
// past the node's end without a wrap (the threshold exceeds the largest
// node), so the two cases cover everything ahead of iPos.
int32_t evictFor(const KQRingView& view, int32_t iRead, int32_t iPos,
                 uint8_t nLen, int32_t iNext) {
    const int32_t iNodeEnd = iPos + nLen + NODE_OVERHEAD;
    for (int32_t iSteps = 0; iRead != iPos; ++iSteps) {
        uint8_t nOldLen = view.pRing[iRead];
        int32_t iOldEnd = iRead + nOldLen + NODE_OVERHEAD;
        bool bCovered = iNext != 0
                            ? iRead <= iNext && iOldEnd > iPos
                            : (iRead < iNodeEnd && iOldEnd > iPos) ||
                                  iRead == 0;
        if (!bCovered) break;
        iRead = KQRingNextPos(iRead, nOldLen, view.iRingSize);
        // Only foreign writes into the ring can break the chain so that it
        // never comes clear: keep just the new node then.
        if (iSteps > view.iRingSize / (NODE_OVERHEAD + 1)) iRead = iPos;
    }
    return iRead;
}

void putLE(uint8_t* p, uint32_t iValue, int nBytes) {
    for (int i = 0; i < nBytes; ++i) p[i] = uint8_t(iValue >> (8 * i));
}

}  // namespace

int32_t KQAppend(const KQRingView& view, const KQAppendNode& node) {
    shmloghead* pHead = view.pHead;
    const int32_t iRingSize = view.iRingSize;
    int32_t iPos = __atomic_load_n(&pHead->logWritePos, __ATOMIC_RELAXED);
    const int32_t iReadBefore =
        __atomic_load_n(&pHead->logReadPos, __ATOMIC_RELAXED);
    int32_t iRead = iReadBefore;
    if (!KQAppendStartValid(iPos, iRingSize)) iPos = iRead = 0;
    if (!KQAppendStartValid(iRead, iRingSize)) iRead = iPos;

    uint8_t* pNode = view.pRing + iPos;
    // Normally the end marker; anything else was left by a foreign write,
    // and must stop reading as a node before its bytes change.
    if (pNode[0] != 0) __atomic_store_n(pNode, uint8_t(0), __ATOMIC_RELAXED);
    const int32_t iNext = KQRingNextPos(iPos, node.nLen, iRingSize);
    iRead = evictFor(view, iRead, iPos, node.nLen, iNext);
    if (iRead != iReadBefore)
        __atomic_store_n(&pHead->logReadPos, iRead, __ATOMIC_RELEASE);
    // Step 1's fence: the stores above before any byte they gave up.
    __atomic_thread_fence(__ATOMIC_RELEASE);

    __atomic_store_n(view.pRing + iNext, uint8_t(0), __ATOMIC_RELAXED);
    pNode[1] = node.nTag;
    pNode[2] = node.nLevel;
    putLE(pNode + 3, node.iSec, 4);
    putLE(pNode + 7, node.iMs, 2);
    uint8_t* pText = pNode + KQLOG_NODE_HDR_SIZE;
    // Knowing the length is below 256, compilers inline the copy as a
    // string move, whose start-up costs more than a short text: hiding the
    // bound keeps the library's memcpy, which copies short texts in a few
    // vector moves.
    size_t nCopy = node.nLen;
    __asm__("" : "+r"(nCopy));
    memcpy(pText, node.pText, nCopy);
    const uint8_t* pEnd = pText + node.nLen;
    for (uint8_t* pNul = static_cast<uint8_t*>(memchr(pText, 0, node.nLen));
         pNul; pNul = static_cast<uint8_t*>(
                   memchr(pNul + 1, 0, size_t(pEnd - pNul - 1))))
        *pNul = uint8_t(KQLOG_NUL_STAND_IN);
    pText[node.nLen] = 0;
    __atomic_store_n(pNode, node.nLen, __ATOMIC_RELEASE);
    __atomic_store_n(&pHead->logWritePos, iNext, __ATOMIC_RELEASE);
    return iPos;
}

bool KQAppendRepair(const KQRingView& view) {
    int32_t iPos = __atomic_load_n(&view.pHead->logWritePos, __ATOMIC_RELAXED);
    if (!KQAppendStartValid(iPos, view.iRingSize)) return false;
    KQNodeCopy copy;
    if (KQRingReadNode(view, iPos, copy) != KQNODE_VALID) return false;
    int32_t iNext = KQRingNextPos(iPos, copy.logSize, view.iRingSize);
    if (view.pRing[iNext] != 0) return false;
    __atomic_store_n(&view.pHead->logWritePos, iNext, __ATOMIC_RELEASE);
    return true;
}

bool KQAppendChainEnd(const KQRingView& view, int32_t iRead, int32_t iWrite,
                      int32_t& iEnd) {
    KQNodeCopy copy;
    int32_t iPos = iRead;
    bool bPastWrite = false;
    // Every node takes at least 11 bytes: a longer walk is a loop.
    for (int32_t iSteps = 0; iSteps <= view.iRingSize / (NODE_OVERHEAD + 1);
         ++iSteps) {
        KQNodeStatus status = KQRingReadNode(view, iPos, copy);
        if (iPos == iWrite) bPastWrite = true;
        if (bPastWrite && status == KQNODE_END) {
            iEnd = iPos;
            return true;
        }
        if (status != KQNODE_VALID) return false;
        iPos = KQRingNextPos(iPos, copy.logSize, view.iRingSize);
        // Back at the oldest node: the nodes past iWrite would overlap the
        // retained ones.
        if (iPos == iRead) return false;
    }
    return false;
}
