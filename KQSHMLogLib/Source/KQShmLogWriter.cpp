#include "KQShmLogWriter.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>

#include "KQMutex.h"
#include "KQShmLogAccess.h"
#include "KQShmLogInternalComm.h"
#include "KQShmLogRing.h"

namespace {

const uint32_t HDR_SIZE = sizeof(shmloghead);
// Bytes a node occupies besides its text: header and terminator.
const int NODE_OVERHEAD = KQLOG_NODE_HDR_SIZE + 1;
// What a NUL inside a message is stored as: the format ends texts at NULs.
const char NUL_STAND_IN = '?';

bool levelValid(ENUM_KQLOG_LEVEL eLevel) {
    return eLevel >= KQLOG_LEVEL_TRACE && eLevel <= KQLOG_LEVEL_FATAL;
}

// A node may start at 0 or wherever the ring rule leaves it: far enough
// from the end that the largest node still fits.
bool nodeStartValid(int32_t iPos, int32_t iRingSize) {
    return iPos == 0 ||
           (iPos > 0 && int64_t(iPos) + KQLOG_WRAP_THRESHOLD < iRingSize);
}

// The segment as read once at attach time. Checks and later use work on
// these copies, never on the live header, which any local user may rewrite.
struct SegmentFacts {
    uint32_t iHdrSize;
    uint32_t iLogBufSize;
    int32_t iReadPos;
    int32_t iWritePos;
    int64_t iStartTime;
};

// True when pAddr (iSegBytes long) holds a log segment a writer can carry
// on: known header, a ring of an accepted size (iWantedSize, or any for 0)
// within the segment, and positions on an unbroken chain of sound nodes
// from logReadPos to an end marker at logWritePos or beyond it.
//
// A writer publishes a node by its size byte and only then moves
// logWritePos past it; one killed in between leaves a whole node at
// logWritePos with an end marker after it. The chain is then followed on
// from logWritePos to that end marker, and facts.iWritePos is where it
// ends, so that the retained nodes are carried on instead of dropped.
bool adoptable(void* pAddr, size_t iSegBytes, int iWantedSize,
               SegmentFacts& facts) {
    if (iSegBytes < HDR_SIZE) return false;
    shmloghead* pHead = static_cast<shmloghead*>(pAddr);
    if (__atomic_load_n(&pHead->magic, __ATOMIC_ACQUIRE) != KQLOG_MAGIC)
        return false;
    facts.iHdrSize = __atomic_load_n(&pHead->hdrsize, __ATOMIC_RELAXED);
    facts.iLogBufSize = __atomic_load_n(&pHead->logbufsize, __ATOMIC_RELAXED);
    facts.iReadPos = __atomic_load_n(&pHead->logReadPos, __ATOMIC_RELAXED);
    facts.iWritePos = __atomic_load_n(&pHead->logWritePos, __ATOMIC_RELAXED);
    facts.iStartTime = __atomic_load_n(&pHead->starttime, __ATOMIC_RELAXED);
    if (facts.iHdrSize != HDR_SIZE) return false;
    if (facts.iLogBufSize < uint32_t(KQLOG_MIN_LOG_BUF_SIZE) ||
        facts.iLogBufSize > uint32_t(KQLOG_MAX_LOG_BUF_SIZE))
        return false;
    if (iWantedSize != 0 && facts.iLogBufSize != uint32_t(iWantedSize))
        return false;
    if (uint64_t(HDR_SIZE) + facts.iLogBufSize > iSegBytes) return false;

    int32_t iRingSize = int32_t(facts.iLogBufSize);
    if (!nodeStartValid(facts.iReadPos, iRingSize) ||
        !nodeStartValid(facts.iWritePos, iRingSize))
        return false;
    KQRingView view{pHead, static_cast<uint8_t*>(pAddr) + HDR_SIZE,
                    iRingSize};
    KQNodeCopy copy;
    int32_t iPos = facts.iReadPos;
    bool bPastWritePos = false;
    // Every node takes at least 11 bytes: a longer walk is a loop.
    for (int32_t iSteps = 0; iSteps <= iRingSize / (NODE_OVERHEAD + 1);
         ++iSteps) {
        KQNodeStatus status = KQRingReadNode(view, iPos, copy);
        if (iPos == facts.iWritePos) bPastWritePos = true;
        if (bPastWritePos && status == KQNODE_END) {
            facts.iWritePos = iPos;
            return true;
        }
        if (status != KQNODE_VALID) return false;
        iPos = KQRingNextPos(iPos, copy.logSize, iRingSize);
        // Back at the oldest node: the nodes past logWritePos would overlap
        // the retained ones.
        if (iPos == facts.iReadPos) return false;
    }
    return false;
}

class CKQLOGWriterImp : public IKQLOGWriter {
public:
    CKQLOGWriterImp() = default;

    bool init(const char* pShmLogPath, int iLogBufSize) override;
    bool init(const char* pShmLogPath, int iLogBufSize, mode_t mode,
              gid_t gid) override;
    KQLogId registerTag(const char* pStrLogTag,
                        ENUM_KQLOG_LEVEL eDefaultLevel) override;
    bool log(KQLogId id, ENUM_KQLOG_LEVEL eLevel, const char* pText,
             size_t nLen) override;
    using IKQLOGWriter::log;
    bool logFormatV(KQLogId id, ENUM_KQLOG_LEVEL eLevel, const char* pFormat,
                    va_list args) override
        __attribute__((format(printf, 4, 0)));

private:
    CKQLOGWriterImp(const CKQLOGWriterImp&) = delete;
    CKQLOGWriterImp& operator=(const CKQLOGWriterImp&) = delete;

    void* attachExisting(key_t key, int iLogBufSize, int iNewSize,
                         bool& bFailed, SegmentFacts& facts);
    // pAccess: the mode and group asked for; null for the default, 0666.
    bool initWith(const char* pShmLogPath, int iLogBufSize,
                  const KQShmAccess* pAccess);
    void* createSegment(const char* pShmLogPath, key_t key, int iLogBufSize,
                        const KQShmAccess* pAccess);
    int lockLogPath(const char* pShmLogPath, bool& bHeldAlready);
    bool wanted(KQLogId id, ENUM_KQLOG_LEVEL eLevel);
    void append(KQLogId id, ENUM_KQLOG_LEVEL eLevel, const char* pText,
                uint8_t nLen);
    void evictFor(int32_t iPos, uint8_t nLen, int32_t iNext);

    // Guards everything below and the ring; recursive, like every CKQMutex.
    CKQMutex m_lock;
    shmloghead* m_pLogHead = nullptr;
    uint8_t* m_pRing = nullptr;
    int32_t m_iLogBufSize = 0;
    int64_t m_iStartTime = 0;
    // The writer's own positions; the header only mirrors them for readers.
    int32_t m_iReadPos = 0;
    int32_t m_iWritePos = 0;
    // The log path, open and flock()ed while attached: one writing process
    // per log.
    int m_iLockFd = -1;
};

CKQLOGWriterImp* theLogWriter = nullptr;
// Guards the creation of theLogWriter only.
CKQMutex creationLock;

// The segment under key when it can be carried on, attached; null with
// bFailed false when there is none or it must be replaced by one with a ring
// of iNewSize bytes; null with bFailed set, after a message, when it exists
// but cannot be looked at or removed.
void* CKQLOGWriterImp::attachExisting(key_t key, int iLogBufSize,
                                      int iNewSize, bool& bFailed,
                                      SegmentFacts& facts) {
    bFailed = false;
    int iShmId = shmget(key, 0, 0);
    if (iShmId == -1) return nullptr;
    struct shmid_ds ds;
    if (shmctl(iShmId, IPC_STAT, &ds) == -1) {
        fprintf(stderr, "shmctl IPC_STAT failed, err: %s\n", strerror(errno));
        bFailed = true;
        return nullptr;
    }
    void* pAddr = shmat(iShmId, nullptr, 0);
    if (pAddr == reinterpret_cast<void*>(-1)) {
        fprintf(stderr, "shmat failed, error: %s\n", strerror(errno));
        bFailed = true;
        return nullptr;
    }
    if (adoptable(pAddr, ds.shm_segsz, iLogBufSize, facts)) return pAddr;
    shmdt(pAddr);
    // GetShm zeroes a segment of the right size in place. One of another
    // size goes now, so the new one has exactly the size asked for.
    if (ds.shm_segsz != size_t(HDR_SIZE) + uint32_t(iNewSize) &&
        shmctl(iShmId, IPC_RMID, nullptr) == -1) {
        fprintf(stderr, "shmctl IPC_RMID failed, err: %s\n", strerror(errno));
        bFailed = true;
    }
    return nullptr;
}

// A new, empty log segment for the path.
void* CKQLOGWriterImp::createSegment(const char* pShmLogPath, key_t key,
                                     int iLogBufSize,
                                     const KQShmAccess* pAccess) {
    size_t nBytes = size_t(HDR_SIZE) + uint32_t(iLogBufSize);
    // GetShm then attaches and zeroes it.
    if (!KQShmCreateForWriter(key, nBytes, pAccess, pShmLogPath))
        return nullptr;
    void* pAddr = GetShm(pShmLogPath, int(nBytes));
    shmloghead* pHead = static_cast<shmloghead*>(pAddr);
    pHead->hdrsize = HDR_SIZE;
    pHead->logbufsize = uint32_t(iLogBufSize);
    pHead->starttime = int64_t(time(nullptr));
    // Readers take a segment as a log by its magic: it goes in last.
    __atomic_store_n(&pHead->magic, KQLOG_MAGIC, __ATOMIC_RELEASE);
    return pAddr;
}

// The log path opened and locked exclusively for this process: its
// descriptor, or -1 after a message when another process holds the lock.
// bHeldAlready: the path is the one this writer holds; the descriptor
// returned is then a spare to close.
int CKQLOGWriterImp::lockLogPath(const char* pShmLogPath, bool& bHeldAlready) {
    bHeldAlready = false;
    int iFd = open(pShmLogPath, O_RDONLY | O_CLOEXEC);
    if (iFd == -1) {
        fprintf(stderr, "open [%s] failed, err: %s\n", pShmLogPath,
                strerror(errno));
        return -1;
    }
    // flock() locks belong to open files: the file this writer holds
    // already would refuse a second lock from this very process.
    struct stat stNew, stHeld;
    bHeldAlready = m_iLockFd != -1 && fstat(iFd, &stNew) == 0 &&
                   fstat(m_iLockFd, &stHeld) == 0 &&
                   stNew.st_dev == stHeld.st_dev &&
                   stNew.st_ino == stHeld.st_ino;
    if (!bHeldAlready && flock(iFd, LOCK_EX | LOCK_NB) == -1) {
        if (errno == EWOULDBLOCK)
            fprintf(stderr, "log path [%s] is in use by another writer\n",
                    pShmLogPath);
        else
            fprintf(stderr, "flock [%s] failed, err: %s\n", pShmLogPath,
                    strerror(errno));
        close(iFd);
        return -1;
    }
    return iFd;
}

bool CKQLOGWriterImp::init(const char* pShmLogPath, int iLogBufSize) {
    return initWith(pShmLogPath, iLogBufSize, nullptr);
}

bool CKQLOGWriterImp::init(const char* pShmLogPath, int iLogBufSize,
                           mode_t mode, gid_t gid) {
    KQShmAccess access{mode, gid};
    return KQShmAccessUsable(access) &&
           initWith(pShmLogPath, iLogBufSize, &access);
}

bool CKQLOGWriterImp::initWith(const char* pShmLogPath, int iLogBufSize,
                               const KQShmAccess* pAccess) {
    if (!pShmLogPath) {
        fprintf(stderr, "ShmLogPath invalid!!\n");
        return false;
    }
    if (iLogBufSize != 0 && (iLogBufSize < KQLOG_MIN_LOG_BUF_SIZE ||
                             iLogBufSize > KQLOG_MAX_LOG_BUF_SIZE)) {
        fprintf(stderr, "LogBufSize[%d] invalid, allowed %d to %d\n",
                iLogBufSize, KQLOG_MIN_LOG_BUF_SIZE, KQLOG_MAX_LOG_BUF_SIZE);
        return false;
    }
    // Checked here: GetShm would end the process on a missing path.
    key_t key = ftok(pShmLogPath, 0);
    if (key == -1) {
        const char* pErr = strerror(errno);
        fprintf(stderr, "ftok [%s] failed, err: %s\n", pShmLogPath, pErr);
        return false;
    }
    // ftok with project id 0 gives 0 for some files: IPC_PRIVATE, under
    // which every lookup creates a new segment that nobody can find again.
    if (key == IPC_PRIVATE) {
        fprintf(stderr, "ftok [%s] gave the private key, use another path\n",
                pShmLogPath);
        return false;
    }

    CKQAutoLock guard(m_lock);
    bool bHeldAlready = false;
    int iLockFd = lockLogPath(pShmLogPath, bHeldAlready);
    if (iLockFd == -1) return false;
    int iSize = iLogBufSize ? iLogBufSize : KQLOG_DEFAULT_LOG_BUF_SIZE;
    bool bFailed = false;
    SegmentFacts facts{};
    void* pAddr = attachExisting(key, iLogBufSize, iSize, bFailed, facts);
    // An adopted log takes the access asked for before anything of it is
    // touched, or init fails with the log as it was.
    if (pAddr && pAccess &&
        !KQShmApplyAccessUnder(key, *pAccess, pShmLogPath)) {
        shmdt(pAddr);
        pAddr = nullptr;
        bFailed = true;
    }
    if (!pAddr && !bFailed) {
        pAddr = createSegment(pShmLogPath, key, iSize, pAccess);
        if (pAddr)
            facts = SegmentFacts{HDR_SIZE, uint32_t(iSize), 0, 0,
                                 static_cast<shmloghead*>(pAddr)->starttime};
    }
    if (!pAddr || bHeldAlready) close(iLockFd);
    if (!pAddr) return false;

    if (!bHeldAlready) {
        if (m_iLockFd != -1) close(m_iLockFd);
        m_iLockFd = iLockFd;
    }
    if (m_pLogHead) shmdt(m_pLogHead);
    m_pLogHead = static_cast<shmloghead*>(pAddr);
    // Readers take an end marker away from logWritePos for a lapped cursor:
    // a position the adoption moved on is published before any new node.
    if (__atomic_load_n(&m_pLogHead->logWritePos, __ATOMIC_RELAXED) !=
        facts.iWritePos)
        __atomic_store_n(&m_pLogHead->logWritePos, facts.iWritePos,
                         __ATOMIC_RELEASE);
    m_pRing = static_cast<uint8_t*>(pAddr) + facts.iHdrSize;
    m_iLogBufSize = int32_t(facts.iLogBufSize);
    m_iStartTime = facts.iStartTime;
    m_iReadPos = facts.iReadPos;
    m_iWritePos = facts.iWritePos;
    return true;
}

KQLogId CKQLOGWriterImp::registerTag(const char* pStrLogTag,
                                     ENUM_KQLOG_LEVEL eDefaultLevel) {
    if (!pStrLogTag || !levelValid(eDefaultLevel)) return KQLOG_INVALID_ID;
    size_t nLen = strnlen(pStrLogTag, KQLOG_TAG_NAME_SIZE + 1);
    if (nLen == 0 || nLen > size_t(KQLOG_TAG_NAME_SIZE))
        return KQLOG_INVALID_ID;
    for (size_t i = 0; i < nLen; ++i) {
        unsigned char c = static_cast<unsigned char>(pStrLogTag[i]);
        if (c < 0x20 || c == 0x7F) return KQLOG_INVALID_ID;
    }

    CKQAutoLock guard(m_lock);
    if (!m_pLogHead) return KQLOG_INVALID_ID;
    int iCount = __atomic_load_n(&m_pLogHead->currLogInfoIndex,
                                 __ATOMIC_RELAXED);
    for (int i = 0; i < iCount; ++i) {
        const char* pName = m_pLogHead->logInfos[i].strLogTag;
        if (memcmp(pName, pStrLogTag, nLen) == 0 &&
            (nLen == size_t(KQLOG_TAG_NAME_SIZE) || pName[nLen] == '\0'))
            return KQLogId(i);
    }
    if (iCount >= KQLOG_MAX_TAGS) return KQLOG_INVALID_ID;

    KQLogInfo& info = m_pLogHead->logInfos[iCount];
    memset(&info, 0, sizeof(info));
    memcpy(info.strLogTag, pStrLogTag, nLen);
    info.nLogLevel = uint8_t(eDefaultLevel);
    info.bEnable = 1;
    // Readers index the entries below the count: it grows once the entry
    // is whole.
    __atomic_store_n(&m_pLogHead->currLogInfoIndex, uint8_t(iCount + 1),
                     __ATOMIC_RELEASE);
    return KQLogId(iCount);
}

// Whether a message of this tag and level is to be written. Levels and
// switches are read from the segment on every message: readers change them.
bool CKQLOGWriterImp::wanted(KQLogId id, ENUM_KQLOG_LEVEL eLevel) {
    if (!m_pLogHead || !levelValid(eLevel)) return false;
    if (id >= __atomic_load_n(&m_pLogHead->currLogInfoIndex, __ATOMIC_RELAXED))
        return false;
    const KQLogInfo& info = m_pLogHead->logInfos[id];
    return __atomic_load_n(&info.bEnable, __ATOMIC_RELAXED) != 0 &&
           int(eLevel) >= __atomic_load_n(&info.nLogLevel, __ATOMIC_RELAXED);
}

bool CKQLOGWriterImp::log(KQLogId id, ENUM_KQLOG_LEVEL eLevel,
                          const char* pText, size_t nLen) {
    // An empty text would be a zero size byte: an end marker.
    if (!pText || nLen == 0) return false;
    // A long text that ends its line keeps its line feed after the cut, or
    // the reader's next line would be glued to it.
    char cut[KQLOG_MAX_LOG_LENGTH];
    if (nLen > size_t(KQLOG_MAX_LOG_LENGTH)) {
        if (pText[nLen - 1] == '\n') {
            memcpy(cut, pText, KQLOG_MAX_LOG_LENGTH - 1);
            cut[KQLOG_MAX_LOG_LENGTH - 1] = '\n';
            pText = cut;
        }
        nLen = KQLOG_MAX_LOG_LENGTH;
    }
    CKQAutoLock guard(m_lock);
    if (!wanted(id, eLevel)) return false;
    append(id, eLevel, pText, uint8_t(nLen));
    return true;
}

// Whether the whole output of pFormat with args, iLen bytes as vsnprintf
// counted them, ends with a line feed. The output is formatted again in
// full: only for texts that were cut, so the common path stays on the
// stack. False when no memory can be had (the text is then cut as one
// without a line feed).
bool formattedEndsWithLineFeed(const char* pFormat, va_list args, int iLen)
    __attribute__((format(printf, 1, 0)));
bool formattedEndsWithLineFeed(const char* pFormat, va_list args, int iLen) {
    char* pFull = static_cast<char*>(malloc(size_t(iLen) + 1));
    if (!pFull) return false;
    int iAgain = vsnprintf(pFull, size_t(iLen) + 1, pFormat, args);
    bool bLineFeed = iAgain == iLen && pFull[iLen - 1] == '\n';
    free(pFull);
    return bLineFeed;
}

bool CKQLOGWriterImp::logFormatV(KQLogId id, ENUM_KQLOG_LEVEL eLevel,
                                 const char* pFormat, va_list args) {
    if (!pFormat) return false;
    CKQAutoLock guard(m_lock);
    if (!wanted(id, eLevel)) return false;
    char text[KQLOG_MAX_LOG_LENGTH + 1];
    // args can be walked once: the copy serves a second formatting.
    va_list again;
    va_copy(again, args);
    int iLen = vsnprintf(text, sizeof(text), pFormat, args);
    if (iLen > KQLOG_MAX_LOG_LENGTH) {
        if (formattedEndsWithLineFeed(pFormat, again, iLen))
            text[KQLOG_MAX_LOG_LENGTH - 1] = '\n';
        iLen = KQLOG_MAX_LOG_LENGTH;
    }
    va_end(again);
    if (iLen <= 0) return false;
    append(id, eLevel, text, uint8_t(iLen));
    return true;
}

// Moves logReadPos past every retained node that the node about to be
// written at iPos, or the end marker after it at iNext, will overwrite.
// Retained nodes run from logReadPos on to iPos, so the oldest are the
// first ahead of iPos: once one is clear of the new bytes, all later are.
void CKQLOGWriterImp::evictFor(int32_t iPos, uint8_t nLen, int32_t iNext) {
    int32_t iNodeEnd = iPos + nLen + NODE_OVERHEAD;
    int32_t iRead = m_iReadPos;
    for (int32_t iSteps = 0; iRead != iPos; ++iSteps) {
        uint8_t nOldLen = __atomic_load_n(m_pRing + iRead, __ATOMIC_RELAXED);
        int32_t iOldEnd = iRead + nOldLen + NODE_OVERHEAD;
        bool bCovered = iNext != 0
                            ? iRead <= iNext && iOldEnd > iPos
                            : (iRead < iNodeEnd && iOldEnd > iPos) ||
                                  iRead == 0;
        if (!bCovered) break;
        iRead = KQRingNextPos(iRead, nOldLen, m_iLogBufSize);
        // Only someone else's writes into the ring can break the chain so
        // that it never comes clear: keep just the new node then.
        if (iSteps > m_iLogBufSize / (NODE_OVERHEAD + 1)) iRead = iPos;
        __atomic_store_n(&m_pLogHead->logReadPos, iRead, __ATOMIC_RELEASE);
    }
    // The new logReadPos must be visible before any byte it gave up is
    // overwritten. A release store orders only what precedes it; this fence
    // orders the stores that follow. It pairs with the reader's copy,
    // acquire fence, logReadPos check: a reader whose copy saw an
    // overwritten byte then sees the node as evicted.
    __atomic_thread_fence(__ATOMIC_RELEASE);
    m_iReadPos = iRead;
}

// Writes a node and publishes it. A reader that sees the new size byte
// sees the whole node and the end marker after it.
void CKQLOGWriterImp::append(KQLogId id, ENUM_KQLOG_LEVEL eLevel,
                             const char* pText, uint8_t nLen) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    int64_t iDelta = int64_t(now.tv_sec) - m_iStartTime;
    uint32_t iSec = iDelta < 0 ? 0
                    : iDelta > int64_t(UINT32_MAX) ? UINT32_MAX
                                                   : uint32_t(iDelta);
    uint16_t iMs = uint16_t(now.tv_nsec / 1000000);

    int32_t iPos = m_iWritePos;
    int32_t iNext = KQRingNextPos(iPos, nLen, m_iLogBufSize);
    evictFor(iPos, nLen, iNext);

    __atomic_store_n(m_pRing + iNext, uint8_t(0), __ATOMIC_RELAXED);
    uint8_t* pNode = m_pRing + iPos;
    pNode[1] = id;
    pNode[2] = uint8_t(eLevel);
    for (int i = 0; i < 4; ++i) pNode[3 + i] = uint8_t(iSec >> (8 * i));
    pNode[7] = uint8_t(iMs);
    pNode[8] = uint8_t(iMs >> 8);
    uint8_t* pOut = pNode + KQLOG_NODE_HDR_SIZE;
    for (int i = 0; i < nLen; ++i)
        pOut[i] = pText[i] != '\0' ? uint8_t(pText[i]) : uint8_t(NUL_STAND_IN);
    pOut[nLen] = 0;
    __atomic_store_n(pNode, nLen, __ATOMIC_RELEASE);

    m_iWritePos = iNext;
    __atomic_store_n(&m_pLogHead->logWritePos, iNext, __ATOMIC_RELEASE);
}

}  // namespace

IKQLOGWriter* IKQLOGWriter::getInst() {
    // Published with release after construction, so a thread that sees the
    // pointer set also sees the object whole.
    CKQLOGWriterImp* pWriter = __atomic_load_n(&theLogWriter, __ATOMIC_ACQUIRE);
    if (pWriter) return pWriter;
    CKQAutoLock guard(creationLock);
    pWriter = __atomic_load_n(&theLogWriter, __ATOMIC_ACQUIRE);
    if (!pWriter) {
        pWriter = new (std::nothrow) CKQLOGWriterImp();
        __atomic_store_n(&theLogWriter, pWriter, __ATOMIC_RELEASE);
    }
    return pWriter;
}
