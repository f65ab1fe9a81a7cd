#include "KQShmLogInternalComm.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

const char* const LOG_LEVEL_STRING[KQLOG_LEVEL_COUNT] = {
    "TRACE", "DEBUG", "INFO ", "WARN ", "ERROR", "FATAL"};

const char* logLevelID2String(uint8_t nLogLevel) {
    if (nLogLevel >= KQLOG_LEVEL_COUNT) return nullptr;
    return LOG_LEVEL_STRING[nLogLevel];
}

namespace {

// Ring positions are signed 32-bit, and the segment is sized in unsigned
// 32-bit arithmetic: a header outside both would let a crafted sum wrap to
// a small segment while the reader walks a huge ring.
bool headerSizesUsable(uint32_t iHdrSize, uint32_t iLogBufSize) {
    return uint64_t(iHdrSize) + iLogBufSize <= UINT32_MAX &&
           iLogBufSize <= uint32_t(INT32_MAX);
}

}  // namespace

KQShmAttachment AttachShmForRead(const char* pStrShmLogPath) {
    KQShmAttachment att;
    key_t key = ftok(pStrShmLogPath, 0);
    if (key == -1) {
        const char* pErr = strerror(errno);
        fprintf(stderr, "ftok failed(%s), %s not exist!\n", pErr,
                pStrShmLogPath);
        return att;
    }

    // The segment's size is only known from its header: attach the header
    // alone first, then the whole segment.
    int iHdrId = shmget(key, sizeof(shmloghead), 0);
    if (iHdrId == -1) {
        fprintf(stderr, "shmget failed(%s)\n", strerror(errno));
        return att;
    }
    void* pHdrAddr = shmat(iHdrId, nullptr, 0);
    if (pHdrAddr == reinterpret_cast<void*>(-1)) {
        fprintf(stderr, "shmat failed(%s)\n", strerror(errno));
        return att;
    }
    const shmloghead* pHead = static_cast<const shmloghead*>(pHdrAddr);
    uint32_t iHdrSize = pHead->hdrsize;
    uint32_t iLogBufSize = pHead->logbufsize;
    shmdt(pHdrAddr);

    if (g_bVerbose)
        printf("Shm hdr Size [%d], logcontentbuf size[%d]\n", int(iHdrSize),
               int(iLogBufSize));
    if (!headerSizesUsable(iHdrSize, iLogBufSize)) {
        fprintf(stderr,
                "Shm header invalid, hdr size[%u], logcontentbuf size[%u]\n",
                iHdrSize, iLogBufSize);
        return att;
    }

    int iShmId = shmget(key, size_t(iHdrSize + iLogBufSize), 0);
    if (iShmId == -1) {
        fprintf(stderr, "shmget failed(%s)\n", strerror(errno));
        return att;
    }
    void* pAddr = shmat(iShmId, nullptr, 0);
    if (pAddr == reinterpret_cast<void*>(-1)) {
        fprintf(stderr, "shmat failed(%s)\n", strerror(errno));
        return att;
    }
    // The header may have been rewritten since it was read: what counts
    // from here on is the sizes read now, checked against the real segment.
    struct shmid_ds ds;
    const volatile shmloghead* pFull =
        static_cast<const volatile shmloghead*>(pAddr);
    iHdrSize = pFull->hdrsize;
    iLogBufSize = pFull->logbufsize;
    if (shmctl(iShmId, IPC_STAT, &ds) == -1 ||
        !headerSizesUsable(iHdrSize, iLogBufSize) ||
        uint64_t(iHdrSize) + iLogBufSize > ds.shm_segsz) {
        fprintf(stderr,
                "Shm header invalid, hdr size[%u], logcontentbuf size[%u]\n",
                iHdrSize, iLogBufSize);
        shmdt(pAddr);
        return att;
    }
    att.pAddr = pAddr;
    att.iShmId = iShmId;
    att.iHdrSize = iHdrSize;
    att.iLogBufSize = iLogBufSize;
    return att;
}

void* GetShmAddrforRead(const char* pStrShmLogPath) {
    return AttachShmForRead(pStrShmLogPath).pAddr;
}
