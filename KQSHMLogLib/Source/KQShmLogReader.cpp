#include "KQShmLogReaderImp.h"

#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "KQMutex.h"

bool g_bVerbose = false;

namespace {
FILE* g_pVerboseStream = nullptr;  // null: standard output
}

void KQLogSetVerboseStream(FILE* pStream) { g_pVerboseStream = pStream; }

void KQVerbose(const char* pFormat, ...) {
    va_list args;
    va_start(args, pFormat);
    vfprintf(g_pVerboseStream ? g_pVerboseStream : stdout, pFormat, args);
    va_end(args);
}

namespace {

CKQLOGReaderImp* theLogReader = nullptr;
// Guards the creation of theLogReader only.
CKQMutex lock;

}  // namespace

IKQLOGReader* IKQLOGReader::getInst() {
    // Published with release after construction, so a thread that sees the
    // pointer set also sees the object whole.
    CKQLOGReaderImp* pReader = __atomic_load_n(&theLogReader, __ATOMIC_ACQUIRE);
    if (pReader) return pReader;
    CKQAutoLock guard(lock);
    pReader = __atomic_load_n(&theLogReader, __ATOMIC_ACQUIRE);
    if (!pReader) {
        pReader = new (std::nothrow) CKQLOGReaderImp();
        __atomic_store_n(&theLogReader, pReader, __ATOMIC_RELEASE);
    }
    return pReader;
}

IKQLOGReader* IKQLOGReader::create() {
    return new (std::nothrow) CKQLOGReaderImp();
}

CKQLOGReaderImp::~CKQLOGReaderImp() {
    if (m_iShmId != -1) shmdt(m_pShmRootAddr);
    for (void* pAddr : m_earlierAttachments) shmdt(pAddr);
}

bool CKQLOGReaderImp::init(const char* pShmLogPath, bool bVerbose) {
    g_bVerbose = bVerbose;
    if (!pShmLogPath) {
        fprintf(stderr, "ShmLogPath invalid!!\n");
        return false;
    }
    // A failed init leaves an earlier attachment whole: nothing is changed
    // until the new segment has passed every check.
    KQShmAttachment att =
        AttachShmForRead(pShmLogPath, false, /*bReadOnlyFallback=*/true);
    if (!att.pAddr) return false;
    if (!adopt(att)) {
        shmdt(att.pAddr);
        return false;
    }
    m_strLogPath = pShmLogPath;
    tzset();
    return true;
}

bool CKQLOGReaderImp::initFromMemory(void* pAddr, size_t nBytes,
                                     bool bReadOnly) {
    if (!pAddr || nBytes < sizeof(shmloghead)) return false;
    const shmloghead* pHead = static_cast<const shmloghead*>(pAddr);
    KQShmAttachment att;
    att.pAddr = pAddr;
    att.iHdrSize = pHead->hdrsize;
    att.iLogBufSize = pHead->logbufsize;
    att.bReadOnly = bReadOnly;
    if (uint64_t(att.iHdrSize) + att.iLogBufSize > nBytes ||
        att.iLogBufSize > uint32_t(INT32_MAX))
        return false;
    return adopt(att);
}

bool CKQLOGReaderImp::adopt(const KQShmAttachment& att) {
    shmloghead* pHead = static_cast<shmloghead*>(att.pAddr);
    if (pHead->magic != KQLOG_MAGIC) {
        printf("Magic code not match\n");
        return false;
    }

    // Later entries of the same name win; names of an earlier segment go.
    m_mapTag2ID.clear();
    for (int i = 0; i < __atomic_load_n(&pHead->currLogInfoIndex,
                                        __ATOMIC_RELAXED);
         ++i) {
        char name[KQLOG_TAG_NAME_SIZE];
        int iLen = KQRingTagName(pHead, uint8_t(i), name);
        m_mapTag2ID[std::string(name, size_t(iLen))] = KQLogId(i);
    }

    if (m_iShmId != -1) m_earlierAttachments.push_back(m_pShmRootAddr);
    m_pShmRootAddr = att.pAddr;
    m_pLogHead = pHead;
    m_pLogBufRootAddr = static_cast<unsigned char*>(att.pAddr) + att.iHdrSize;
    m_iLogBufSize = int(att.iLogBufSize);
    m_nSegmentBytes = size_t(att.iHdrSize) + att.iLogBufSize;
    m_iShmId = att.iShmId;
    m_key = att.key;
    m_bReadOnly = att.bReadOnly;
    m_bToldRemoved = false;
    m_bToldPathGone = false;
    m_bRingPrefaulted = false;
    m_iLastLinePos = -1;
    m_timeCache.bValid = false;
    return true;
}

bool CKQLOGReaderImp::reattachIfReplaced() {
    if (!m_pLogHead || m_iShmId == -1) return false;
    struct shmid_ds ds;
    bool bLive =
        shmctl(m_iShmId, IPC_STAT, &ds) == 0 && !(ds.shm_perm.mode & SHM_DEST);

    // Look for a successor quietly: until a writer has created one, this is
    // asked every few milliseconds.
    key_t key = ftok(m_strLogPath.c_str(), 0);
    if (bLive) {
        if (key == m_key) return false;
        // The path is gone: its writer may still write the old segment, and
        // nothing can name a successor until a path is there again.
        if (key == -1) {
            if (g_bVerbose && !m_bToldPathGone)
                KQVerbose("Log path [%s] gone, reading the old segment while "
                          "it lives\n",
                          m_strLogPath.c_str());
            m_bToldPathGone = true;
            return false;
        }
        // The path was made again: its key names another segment, which
        // its writer may not have created yet.
        if (key == IPC_PRIVATE || shmget(key, sizeof(shmloghead), 0) == -1)
            return false;
    } else {
        int iNewId = key == -1 ? -1 : shmget(key, sizeof(shmloghead), 0);
        if (iNewId == -1 || iNewId == m_iShmId) {
            if (g_bVerbose && !m_bToldRemoved)
                KQVerbose("Shm removed, waiting for a new one under [%s]\n",
                          m_strLogPath.c_str());
            m_bToldRemoved = true;
            return false;
        }
    }
    KQShmAttachment att = AttachShmForRead(m_strLogPath.c_str(), true,
                                           /*bReadOnlyFallback=*/true);
    if (!att.pAddr) return false;
    // Not a log (yet: a writer fills in the magic last): look again later,
    // quietly, and keep no attachment of it meanwhile.
    if (static_cast<const volatile shmloghead*>(att.pAddr)->magic !=
        KQLOG_MAGIC) {
        shmdt(att.pAddr);
        return false;
    }
    if (!adopt(att)) return false;
    if (g_bVerbose)
        KQVerbose("Shm replaced, attached the new one under [%s]\n",
                  m_strLogPath.c_str());
    m_iReadPos = KQRingLoadReadPos(m_pLogHead);
    return true;
}

KQLogId CKQLOGReaderImp::findLogger(const char* pStrLogTag) {
    if (!pStrLogTag) return KQLOG_INVALID_ID;
    auto it = m_mapTag2ID.find(pStrLogTag);
    return it == m_mapTag2ID.end() ? KQLOG_INVALID_ID : it->second;
}

KQLogInfo* CKQLOGReaderImp::entryInUse(KQLogId id) {
    if (!m_pLogHead) return nullptr;
    if (id >= __atomic_load_n(&m_pLogHead->currLogInfoIndex, __ATOMIC_RELAXED))
        return nullptr;
    return &m_pLogHead->logInfos[id];
}

bool CKQLOGReaderImp::enableLog(KQLogId id, bool bEnable) {
    KQLogInfo* pInfo = entryToChange(id);
    if (!pInfo) return false;
    __atomic_store_n(&pInfo->bEnable, uint8_t(bEnable ? 1 : 0),
                     __ATOMIC_RELAXED);
    return true;
}

bool CKQLOGReaderImp::isLogEnable(KQLogId id) {
    KQLogInfo* pInfo = entryInUse(id);
    return pInfo && __atomic_load_n(&pInfo->bEnable, __ATOMIC_RELAXED) != 0;
}

bool CKQLOGReaderImp::setDefaultLogLevel(ENUM_KQLOG_LEVEL eLevel) {
    if (!m_pLogHead || m_bReadOnly) return false;
    int iCount = __atomic_load_n(&m_pLogHead->currLogInfoIndex,
                                 __ATOMIC_RELAXED);
    for (int i = 0; i < iCount; ++i)
        __atomic_store_n(&m_pLogHead->logInfos[i].nLogLevel, uint8_t(eLevel),
                         __ATOMIC_RELAXED);
    return true;
}

bool CKQLOGReaderImp::setLogLevel(KQLogId id, ENUM_KQLOG_LEVEL eLevel) {
    KQLogInfo* pInfo = entryToChange(id);
    if (!pInfo) return false;
    __atomic_store_n(&pInfo->nLogLevel, uint8_t(eLevel), __ATOMIC_RELAXED);
    return true;
}

ENUM_KQLOG_LEVEL CKQLOGReaderImp::getLogLevel(KQLogId id) {
    KQLogInfo* pInfo = entryInUse(id);
    if (!pInfo) return KQLOG_LEVEL_NONE;
    return ENUM_KQLOG_LEVEL(__atomic_load_n(&pInfo->nLogLevel,
                                            __ATOMIC_RELAXED));
}

int CKQLOGReaderImp::getShmLogBufSize() {
    return m_pLogHead ? m_iLogBufSize : 0;
}

const char* CKQLOGReaderImp::getLogTag(KQLogId nLogID) {
    if (!m_pLogHead || nLogID >= KQLOG_MAX_TAGS) return nullptr;
    return m_pLogHead->logInfos[nLogID].strLogTag;
}

void CKQLOGReaderImp::seekLogEnd() {
    if (!m_pLogHead) return;
    m_iReadPos = KQRingLoadWritePos(m_pLogHead);
    m_iLastLinePos = -1;
}

void CKQLOGReaderImp::seekLogBegin(int iSkipCount) {
    if (!m_pLogHead) return;
    m_iReadPos = KQRingLoadReadPos(m_pLogHead);
    m_iLastLinePos = -1;
    if (iSkipCount <= 0) return;
    if (g_bVerbose) KQVerbose("%d items skipped!!\n", iSkipCount);
    skipLog(iSkipCount);
}

bool CKQLOGReaderImp::skipLog(int iCount) {
    int32_t iPos = m_iReadPos;
    bool bDone = KQRingSkip(view(), iPos, iCount);
    m_iReadPos = iPos;
    return bDone;
}

// Maps the whole ring into the page tables in one call before the first
// read: reading a large ring faults it in page by page otherwise, which on
// a virtual machine costs more than rendering every line. Only segments
// that are being read pay for it (not -s or -l runs). Kernels before 5.14
// refuse the advice; reads then fault as usual.
void CKQLOGReaderImp::prefaultRing() {
    m_bRingPrefaulted = true;
    if (m_iShmId == -1 || m_iLogBufSize <= 0) return;
    uintptr_t iPage = uintptr_t(sysconf(_SC_PAGESIZE));
    uintptr_t iStart = uintptr_t(m_pLogBufRootAddr) & ~(iPage - 1);
    uintptr_t iEnd = uintptr_t(m_pLogBufRootAddr) + uintptr_t(m_iLogBufSize);
    madvise(reinterpret_cast<void*>(iStart), iEnd - iStart,
            MADV_POPULATE_READ);
}

void CKQLOGReaderImp::reportInvalidNode(const KQNodeCopy& copy) {
    // A text with no NUL where one was due: count on in the ring the way a
    // 600-byte copy would, for the diagnostic only.
    int iCount = copy.count;
    if (iCount > copy.logSize) iCount = KQRingCountText(view(), m_iReadPos, 599);
    int32_t iWritePos = KQRingLoadWritePos(m_pLogHead);
    int32_t iReadPos = KQRingLoadReadPos(m_pLogHead);
    KQVerbose("log format size[%d - %d] end[%d - %d] level[%d - %d] "
              "incorrect, read[%d] write[%d]\n",
              iCount, copy.logSize, copy.terminator, 0, copy.logLevel,
              KQLOG_LEVEL_FATAL, iReadPos, iWritePos);
}

bool CKQLOGReaderImp::lastLineRewritten() const {
    if (m_iLastLinePos < 0 ||
        m_iLastLinePos > m_iLogBufSize - KQLOG_NODE_HDR_SIZE)
        return false;
    return !KQRingHeaderEquals(m_pLogBufRootAddr + m_iLastLinePos,
                               m_lastLineHeader);
}

bool CKQLOGReaderImp::nextLog(std::string& strLogContent) {
    if (!m_pLogHead) {
        m_eLastOutcome = KQLOG_READ_DETACHED;
        fprintf(stderr, "LogHead invalid!!\n");
        return false;
    }
    if (g_bVerbose) {
        int32_t iWritePos = KQRingLoadWritePos(m_pLogHead);
        int32_t iReadPos = KQRingLoadReadPos(m_pLogHead);
        KQVerbose("ReadPos[%d], LogReadPos[%d], LogWritePos[%d]\n",
                  m_iReadPos, iReadPos, iWritePos);
    }
    strLogContent.clear();
    if (!m_bRingPrefaulted) prefaultRing();

    // logWritePos before the size byte: a node published since then has its
    // size byte set, so an end marker away from this position is not the end.
    const KQRingView ring = view();
    KQRingProbe(ring);
    int32_t iWritePos = KQRingLoadWritePos(m_pLogHead);
    KQNodeCopy copy;
    KQRingProbe(ring);
    KQNodeStatus eStatus = KQRingReadNode(ring, m_iReadPos, copy);
    // A cursor outside the ring fails like a corrupt node and stays where it
    // is; the caller's recovery (seekLogBegin) moves it.
    if (eStatus == KQNODE_OUTSIDE) {
        m_eLastOutcome = KQLOG_READ_OUTSIDE;
        if (g_bVerbose)
            KQVerbose("ReadPos[%d] outside log buffer of size[%d]\n",
                      m_iReadPos, m_iLogBufSize);
        return false;
    }
    if (eStatus == KQNODE_END) {
        // Right after the node at logWritePos is the end too: that node was
        // published and logWritePos is about to move past it (or its writer
        // died before moving it).
        // That node counts only while it holds the header read: else the
        // writers came round, and the oldest node is unread.
        bool bAtEnd = m_iReadPos == iWritePos ||
                      (m_iLastLinePos == iWritePos && !lastLineRewritten());
        m_eLastOutcome = bAtEnd ? KQLOG_READ_END : KQLOG_READ_STRAY_END;
        if (g_bVerbose)
            KQVerbose("logSize == 0, logLevel[%d] logTag[%d]return\n",
                      copy.logLevel, copy.logTag);
        return true;
    }
    // The copy counts only if the writers did not evict the node while it
    // was taken (they move logReadPos past a node before overwriting it),
    // and did not come round to the cursor meanwhile: its distance to
    // logWritePos only grows while it is ahead of them. logWritePos is
    // loaded before logReadPos, so the pair can only err towards retained.
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    KQRingProbe(ring);
    int32_t iWriteNow = KQRingLoadWritePos(m_pLogHead);
    KQRingProbe(ring);
    int32_t iReadNow = KQRingLoadReadPos(m_pLogHead);
    int64_t iLag = iWritePos >= 0 && iWritePos < m_iLogBufSize
                       ? KQRingDistance(m_iReadPos, iWritePos, m_iLogBufSize)
                       : -1;
    // Writers that came round before this call began leave the node read
    // last rewritten, and logReadPos past the cursor.
    bool bOvertaken =
        KQRingOvertaken(m_iReadPos, iLag, iWriteNow, m_iLogBufSize) ||
        (lastLineRewritten() && KQRingEvictedPast(m_iLastLinePos, iReadNow,
                                                  m_iReadPos, m_iLogBufSize));
    if (bOvertaken ||
        !KQRingRetainedIn(iReadNow, iWriteNow, m_iReadPos, m_iLogBufSize) ||
        !KQRingNodeUnchanged(ring, m_iReadPos, copy)) {
        m_eLastOutcome = KQLOG_READ_OVERWRITTEN;
        if (g_bVerbose)
            KQVerbose("ReadPos[%d] overwritten by the writer, read[%d] "
                      "write[%d]\n",
                      m_iReadPos, KQRingLoadReadPos(m_pLogHead),
                      KQRingLoadWritePos(m_pLogHead));
        return false;
    }
    if (eStatus == KQNODE_INVALID) {
        m_eLastOutcome = KQLOG_READ_BAD_NODE;
        if (g_bVerbose) reportInvalidNode(copy);
        return false;
    }
    if (g_bVerbose)
        KQVerbose("Read log succeed! logSize[%d] logLevel[%d] \n",
                  copy.logSize, copy.logLevel);

    char strTagName[KQLOG_TAG_NAME_SIZE];
    int iTagLen = KQRingTagName(m_pLogHead, copy.logTag, strTagName);
    char strTmpLogBuf[600];
    static_assert(sizeof(strTmpLogBuf) >= KQLOG_MAX_LINE_SIZE, "line fits");
    int64_t iStartTime = __atomic_load_n(&m_pLogHead->starttime,
                                         __ATOMIC_RELAXED);
    size_t nLen = KQRenderLine(copy, strTagName, iTagLen, iStartTime,
                               m_timeCache, strTmpLogBuf);
    strLogContent.assign(strTmpLogBuf, nLen);
    m_iLastLinePos = m_iReadPos;
    memcpy(m_lastLineHeader, copy.header, KQLOG_NODE_HDR_SIZE);
    m_iReadPos = KQRingNextPos(m_iReadPos, copy.logSize, m_iLogBufSize);
    m_eLastOutcome = KQLOG_READ_LINE;
    return true;
}

bool CKQLOGReaderImp::dumpLogMem(const char* pDumpMemFilePath) {
    if (!m_pLogHead || !pDumpMemFilePath) return false;
    FILE* pFile = fopen(pDumpMemFilePath, "wb");
    if (!pFile) {
        const char* pErr = strerror(errno);
        fprintf(stderr, "fopen[%s] failed!! err: %s\n", pDumpMemFilePath, pErr);
        return false;
    }
    // A cut-short dump must not pass for a whole one: every write, the
    // flush and the close are checked.
    bool bOk = fwrite(m_pShmRootAddr, 1, m_nSegmentBytes, pFile) ==
                   m_nSegmentBytes &&
               fflush(pFile) == 0;
    int iErr = errno;
    if (fclose(pFile) != 0 && bOk) {
        bOk = false;
        iErr = errno;
    }
    if (!bOk) {
        fprintf(stderr, "fwrite[%s] failed!! err: %s\n", pDumpMemFilePath,
                strerror(iErr));
        return false;
    }
    return true;
}
