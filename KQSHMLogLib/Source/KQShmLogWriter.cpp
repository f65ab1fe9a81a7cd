// The writer object: attaching a log (lifecycle), taking the writers' lock,
// and calling the append core (KQShmLogAppend.h), which holds the ring's
// rules.
#include "KQShmLogWriter.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <vector>

#include "KQMutex.h"
#include "KQShmLogAccess.h"
#include "KQShmLogAppend.h"
#include "KQShmLogFormat.h"
#include "KQShmLogInternalComm.h"
#include "KQShmLogLock.h"

static_assert(KQLOG_TAG_COUNT_OFFSET == offsetof(shmloghead, currLogInfoIndex) &&
                  KQLOG_TAG_TABLE_OFFSET == offsetof(shmloghead, logInfos) &&
                  KQLOG_TAG_ENTRY_SIZE == sizeof(KQLogInfo) &&
                  KQLOG_TAG_LEVEL_OFFSET == offsetof(KQLogInfo, nLogLevel) &&
                  KQLOG_TAG_ENABLE_OFFSET == offsetof(KQLogInfo, bEnable),
              "the inline check reads the segment's layout");

namespace {

const uint32_t HDR_SIZE = sizeof(shmloghead);

bool levelValid(ENUM_KQLOG_LEVEL eLevel) {
    return eLevel >= KQLOG_LEVEL_TRACE && eLevel <= KQLOG_LEVEL_FATAL;
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
// from logReadPos to an end marker at logWritePos or beyond it (a node a
// killed writer published without moving logWritePos: facts.iWritePos is
// then where the chain ends, so that the node is carried on). bWalk false
// skips the walk, for a log that other writers keep sound meanwhile: it
// takes a ring's worth of node checks, under the writers' lock.
bool adoptable(void* pAddr, size_t iSegBytes, int iWantedSize, bool bWalk,
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
    if (!KQAppendStartValid(facts.iReadPos, iRingSize) ||
        !KQAppendStartValid(facts.iWritePos, iRingSize))
        return false;
    KQRingView view{pHead, static_cast<uint8_t*>(pAddr) + HDR_SIZE,
                    iRingSize};
    return !bWalk || KQAppendChainEnd(view, facts.iReadPos, facts.iWritePos,
                                      facts.iWritePos);
}

// What the writer works on once attached. Never changed after it is
// published, and never freed: a thread may still be appending through it
// when a later init publishes another.
struct Attachment {
    KQRingView view;  // header, ring and the ring's size as attached
    int64_t iStartTime;
    CKQWritersLock* pLock;
    int iPathFd;  // the log path, open with a shared flock()
};

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

    // pAccess: the mode and group asked for; null for the default, 0666.
    bool initWith(const char* pShmLogPath, int iLogBufSize,
                  const KQShmAccess* pAccess);
    void* attachLog(const char* pShmLogPath, key_t key, int iLogBufSize,
                    const CKQWritersLock& lock, const KQShmAccess* pAccess,
                    SegmentFacts& facts);
    void* attachExisting(const char* pShmLogPath, key_t key, int iLogBufSize,
                         const CKQWritersLock& lock, bool& bFailed,
                         SegmentFacts& facts);
    int othersWriting(const CKQWritersLock& lock) const;
    void* createSegment(const char* pShmLogPath, key_t key, int iLogBufSize,
                        const KQShmAccess* pAccess);
    void publish(Attachment* pNew);
    bool append(KQLogId id, ENUM_KQLOG_LEVEL eLevel, const char* pText,
                uint8_t nLen);

    // Serialises init within the process; the writers' lock serialises it
    // with other processes.
    CKQMutex m_initLock;
    // The attachment in use (null while detached), and every earlier one.
    Attachment* m_pAttached = nullptr;
    std::vector<Attachment*> m_retired;
};

CKQLOGWriterImp* theLogWriter = nullptr;
// Guards the creation of theLogWriter only.
CKQMutex creationLock;

// Takes the writers' lock of att. A writer that died holding it may have
// published a node without counting it: the log is made sound before the
// lock is marked consistent.
bool lockLog(const Attachment& att) {
    switch (att.pLock->lock()) {
    case CKQWritersLock::LOCKED: return true;
    case CKQWritersLock::OWNER_DIED:
        KQAppendRepair(att.view);
        att.pLock->markConsistent();
        return true;
    case CKQWritersLock::FAILED: break;
    }
    return false;
}

// The log path opened and locked shared for this process: its descriptor,
// or -1 after a message when a writer that locks it exclusively (one of an
// earlier release) holds it.
int openLogPath(const char* pShmLogPath) {
    int iFd = open(pShmLogPath, O_RDONLY | O_CLOEXEC);
    if (iFd == -1) {
        fprintf(stderr, "open [%s] failed, err: %s\n", pShmLogPath,
                strerror(errno));
        return -1;
    }
    if (flock(iFd, LOCK_SH | LOCK_NB) == -1) {
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

// Writers attached to the lock besides this process's attachments of it.
int CKQLOGWriterImp::othersWriting(const CKQWritersLock& lock) const {
    int iOthers = lock.attachments() - 1;
    for (const Attachment* pAtt : m_retired)
        iOthers -= pAtt->pLock->shmId() == lock.shmId();
    if (m_pAttached && m_pAttached->pLock->shmId() == lock.shmId()) --iOthers;
    return iOthers;
}

// The segment under key when it can be carried on, attached; null with
// bFailed false when there is none or it may be replaced by one with a
// ring of iLogBufSize bytes; null with bFailed set, after a message, when
// it exists but cannot be looked at or removed, or other writers hold it.
void* CKQLOGWriterImp::attachExisting(const char* pShmLogPath, key_t key,
                                      int iLogBufSize,
                                      const CKQWritersLock& lock,
                                      bool& bFailed, SegmentFacts& facts) {
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
    // A log that other writers hold is theirs to keep sound: replacing it
    // would leave them writing where no reader looks (another size), or
    // zero it under them.
    const bool bOthers = othersWriting(lock) > 0;
    if (adoptable(pAddr, ds.shm_segsz, iLogBufSize, !bOthers, facts))
        return pAddr;
    shmdt(pAddr);
    if (bOthers) {
        fprintf(stderr,
                "log path [%s] is in use by another writer, its log is not "
                "replaced\n",
                pShmLogPath);
        bFailed = true;
        return nullptr;
    }
    // GetShm zeroes a segment of the right size in place. One of another
    // size goes now, so the new one has exactly the size asked for.
    int iSize = iLogBufSize ? iLogBufSize : KQLOG_DEFAULT_LOG_BUF_SIZE;
    if (ds.shm_segsz != size_t(HDR_SIZE) + uint32_t(iSize) &&
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

// The log under key adopted or made anew, under the writers' lock; null
// after a message.
void* CKQLOGWriterImp::attachLog(const char* pShmLogPath, key_t key,
                                 int iLogBufSize, const CKQWritersLock& lock,
                                 const KQShmAccess* pAccess,
                                 SegmentFacts& facts) {
    bool bFailed = false;
    void* pAddr =
        attachExisting(pShmLogPath, key, iLogBufSize, lock, bFailed, facts);
    // An adopted log takes the access asked for before anything of it is
    // touched, or init fails with the log as it was.
    if (pAddr && pAccess &&
        !KQShmApplyAccessUnder(key, *pAccess, pShmLogPath)) {
        shmdt(pAddr);
        return nullptr;
    }
    if (pAddr || bFailed) return pAddr;
    int iSize = iLogBufSize ? iLogBufSize : KQLOG_DEFAULT_LOG_BUF_SIZE;
    pAddr = createSegment(pShmLogPath, key, iSize, pAccess);
    if (pAddr)
        facts = SegmentFacts{HDR_SIZE, uint32_t(iSize), 0, 0,
                             static_cast<shmloghead*>(pAddr)->starttime};
    return pAddr;
}

void CKQLOGWriterImp::publish(Attachment* pNew) {
    Attachment* pOld = m_pAttached;
    if (pOld) {
        // Other threads may still be in it: the old log stays attached,
        // and only the path's flock goes.
        close(pOld->iPathFd);
        pOld->iPathFd = -1;
        m_retired.push_back(pOld);
    }
    __atomic_store_n(&m_pAttached, pNew, __ATOMIC_RELEASE);
    __atomic_store_n(&m_pTagHead,
                     reinterpret_cast<const uint8_t*>(pNew->view.pHead),
                     __ATOMIC_RELEASE);
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

    CKQAutoLock guard(m_initLock);
    int iFd = openLogPath(pShmLogPath);
    if (iFd == -1) return false;
    CKQWritersLock* pLock = new (std::nothrow) CKQWritersLock();
    // The writers' lock takes the log's access too: anyone who could take
    // it could stall the writers.
    if (!pLock || !pLock->attach(pShmLogPath, pAccess ? pAccess->mode : 0666) ||
        (pAccess &&
         !KQShmApplyAccessUnder(ftok(pShmLogPath, KQLOG_LOCK_PROJECT_ID),
                                *pAccess, pShmLogPath))) {
        delete pLock;
        close(iFd);
        return false;
    }
    SegmentFacts facts{};
    void* pAddr = nullptr;
    CKQWritersLock::LockResult eLocked = pLock->lock();
    if (eLocked == CKQWritersLock::FAILED) {
        fprintf(stderr, "writers' lock of [%s] cannot be taken\n", pShmLogPath);
    } else {
        pAddr = attachLog(pShmLogPath, key, iLogBufSize, *pLock, pAccess,
                          facts);
        // Readers take an end marker away from logWritePos for a lapped
        // cursor: a position the adoption moved on (past a node a killed
        // writer published) is published before any new node.
        shmloghead* pHead = static_cast<shmloghead*>(pAddr);
        if (pHead && __atomic_load_n(&pHead->logWritePos, __ATOMIC_RELAXED) !=
                         facts.iWritePos)
            __atomic_store_n(&pHead->logWritePos, facts.iWritePos,
                             __ATOMIC_RELEASE);
        // A writer that died holding the lock may have published a node
        // without counting it (adopting without the walk does not see it).
        if (eLocked == CKQWritersLock::OWNER_DIED) {
            if (pHead)
                KQAppendRepair(KQRingView{pHead,
                                          static_cast<uint8_t*>(pAddr) +
                                              facts.iHdrSize,
                                          int32_t(facts.iLogBufSize)});
            pLock->markConsistent();
        }
        pLock->unlock();
    }
    Attachment* pNew = pAddr ? new (std::nothrow) Attachment{
                                   KQRingView{static_cast<shmloghead*>(pAddr),
                                              static_cast<uint8_t*>(pAddr) +
                                                  facts.iHdrSize,
                                              int32_t(facts.iLogBufSize)},
                                   facts.iStartTime, pLock, iFd}
                             : nullptr;
    if (!pNew) {
        if (pAddr) shmdt(pAddr);
        delete pLock;
        close(iFd);
        return false;
    }
    publish(pNew);
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

    const Attachment* pAtt = __atomic_load_n(&m_pAttached, __ATOMIC_ACQUIRE);
    if (!pAtt || !lockLog(*pAtt)) return KQLOG_INVALID_ID;
    shmloghead* pHead = pAtt->view.pHead;
    KQLogId result = KQLOG_INVALID_ID;
    int iCount = __atomic_load_n(&pHead->currLogInfoIndex, __ATOMIC_RELAXED);
    for (int i = 0; i < iCount && result == KQLOG_INVALID_ID; ++i) {
        const char* pName = pHead->logInfos[i].strLogTag;
        if (memcmp(pName, pStrLogTag, nLen) == 0 &&
            (nLen == size_t(KQLOG_TAG_NAME_SIZE) || pName[nLen] == '\0'))
            result = KQLogId(i);
    }
    if (result == KQLOG_INVALID_ID && iCount < KQLOG_MAX_TAGS) {
        KQLogInfo& info = pHead->logInfos[iCount];
        memset(&info, 0, sizeof(info));
        memcpy(info.strLogTag, pStrLogTag, nLen);
        info.nLogLevel = uint8_t(eDefaultLevel);
        info.bEnable = 1;
        // Readers index the entries below the count: it grows once the
        // entry is whole.
        __atomic_store_n(&pHead->currLogInfoIndex, uint8_t(iCount + 1),
                         __ATOMIC_RELEASE);
        result = KQLogId(iCount);
    }
    pAtt->pLock->unlock();
    return result;
}

bool CKQLOGWriterImp::log(KQLogId id, ENUM_KQLOG_LEVEL eLevel,
                          const char* pText, size_t nLen) {
    // An empty text would be a zero size byte: an end marker.
    if (!pText || nLen == 0 || !wouldLog(id, eLevel)) return false;
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
    return append(id, eLevel, pText, uint8_t(nLen));
}

// Takes the time, then the writers' lock, and appends. The time is taken
// first so that the lock is held only for the append.
bool CKQLOGWriterImp::append(KQLogId id, ENUM_KQLOG_LEVEL eLevel,
                             const char* pText, uint8_t nLen) {
    const Attachment* pAtt = __atomic_load_n(&m_pAttached, __ATOMIC_ACQUIRE);
    if (!pAtt) return false;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    int64_t iDelta = int64_t(now.tv_sec) - pAtt->iStartTime;
    KQAppendNode node;
    node.nTag = id;
    node.nLevel = uint8_t(eLevel);
    node.iSec = iDelta < 0                       ? 0
                : iDelta > int64_t(UINT32_MAX) ? UINT32_MAX
                                               : uint32_t(iDelta);
    node.iMs = uint16_t(now.tv_nsec / 1000000);
    node.pText = pText;
    node.nLen = nLen;
    if (!lockLog(*pAtt)) return false;
    KQAppend(pAtt->view, node);
    pAtt->pLock->unlock();
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
    if (!pFormat || !wouldLog(id, eLevel)) return false;
    char text[KQLOG_MAX_LOG_LENGTH + 1];
    KQFormatted out;
    if (KQFormatFast(text, sizeof(text), pFormat, args, out)) {
        if (out.nLen > size_t(KQLOG_MAX_LOG_LENGTH)) {
            if (out.bEndsWithLineFeed) text[KQLOG_MAX_LOG_LENGTH - 1] = '\n';
            out.nLen = KQLOG_MAX_LOG_LENGTH;
        }
        if (out.nLen == 0) return false;
        return append(id, eLevel, text, uint8_t(out.nLen));
    }
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
    return append(id, eLevel, text, uint8_t(iLen));
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
