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

// shmat read-write, or read-only once bReadOnly is set or when read-write is
// refused with EACCES and bFallback allows it (bReadOnly is then set). On
// failure errno is that of the last attempt.
void* attach(int iShmId, bool bFallback, bool& bReadOnly) {
    if (!bReadOnly) {
        void* pAddr = shmat(iShmId, nullptr, 0);
        if (pAddr != reinterpret_cast<void*>(-1) || errno != EACCES ||
            !bFallback)
            return pAddr;
        bReadOnly = true;
    }
    return shmat(iShmId, nullptr, SHM_RDONLY);
}

}  // namespace

KQShmAttachment AttachShmForRead(const char* pStrShmLogPath, bool bQuiet,
                                 bool bReadOnlyFallback) {
    KQShmAttachment att;
    key_t key = ftok(pStrShmLogPath, 0);
    if (key == -1) {
        const char* pErr = strerror(errno);
        if (!bQuiet)
            fprintf(stderr, "ftok failed(%s), %s not exist!\n", pErr,
                    pStrShmLogPath);
        return att;
    }

    // A key of 0 is IPC_PRIVATE, which would make shmget create a new,
    // unnamed segment on every call: no log can live under such a path.
    if (key == IPC_PRIVATE) {
        if (!bQuiet)
            fprintf(stderr, "shmget failed(%s)\n", strerror(ENOENT));
        return att;
    }

    // The segment's size is only known from its header: attach the header
    // alone first, then the whole segment.
    int iHdrId = shmget(key, sizeof(shmloghead), 0);
    if (iHdrId == -1) {
        if (!bQuiet)
            fprintf(stderr, "shmget failed(%s)\n", strerror(errno));
        return att;
    }
    bool bReadOnly = false;
    void* pHdrAddr = attach(iHdrId, bReadOnlyFallback, bReadOnly);
    if (pHdrAddr == reinterpret_cast<void*>(-1)) {
        if (!bQuiet)
            fprintf(stderr, "shmat failed(%s)\n", strerror(errno));
        return att;
    }
    const shmloghead* pHead = static_cast<const shmloghead*>(pHdrAddr);
    uint32_t iHdrSize = pHead->hdrsize;
    uint32_t iLogBufSize = pHead->logbufsize;
    shmdt(pHdrAddr);

    if (g_bVerbose)
        KQVerbose("Shm hdr Size [%d], logcontentbuf size[%d]\n",
                  int(iHdrSize), int(iLogBufSize));
    if (!headerSizesUsable(iHdrSize, iLogBufSize)) {
        if (!bQuiet)
            fprintf(stderr,
                    "Shm header invalid, hdr size[%u], "
                    "logcontentbuf size[%u]\n",
                    iHdrSize, iLogBufSize);
        return att;
    }

    int iShmId = shmget(key, size_t(iHdrSize + iLogBufSize), 0);
    if (iShmId == -1) {
        if (!bQuiet)
            fprintf(stderr, "shmget failed(%s)\n", strerror(errno));
        return att;
    }
    void* pAddr = attach(iShmId, bReadOnlyFallback, bReadOnly);
    if (pAddr == reinterpret_cast<void*>(-1)) {
        if (!bQuiet)
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
        if (!bQuiet)
            fprintf(stderr,
                    "Shm header invalid, hdr size[%u], "
                    "logcontentbuf size[%u]\n",
                    iHdrSize, iLogBufSize);
        shmdt(pAddr);
        return att;
    }
    att.pAddr = pAddr;
    att.iShmId = iShmId;
    att.key = key;
    att.iHdrSize = iHdrSize;
    att.iLogBufSize = iLogBufSize;
    att.bReadOnly = bReadOnly;
    if (g_bVerbose && bReadOnly)
        KQVerbose("Shm attached read-only (read-write: %s)\n",
                  strerror(EACCES));
    return att;
}

void* GetShmAddrforRead(const char* pStrShmLogPath) {
    return AttachShmForRead(pStrShmLogPath).pAddr;
}

// ---- Segment creation, for writers ----

#include <unistd.h>

#include <climits>
#include <cstdlib>

void* GetShm(const char* pStrShmFileName, int iShmFileSize) {
    key_t key = ftok(pStrShmFileName, 0);
    if (key == -1) {
        const char* pErr = strerror(errno);
        fprintf(stderr, "ftok [%s] failed, err: %s\n", pStrShmFileName, pErr);
        exit(1);
    }
    // As a size_t a negative size would fail the lookup below with EINVAL
    // and have the existing segment removed before the process ends.
    if (iShmFileSize < 0) {
        fprintf(stderr, "iishmget failed, error: %s\n", strerror(EINVAL));
        exit(1);
    }
    size_t nBytes = size_t(iShmFileSize);
    int iShmId = shmget(key, nBytes, 0);
    if (iShmId == -1) {
        int iErr = errno;
        fprintf(stderr, "shmget failed, err: %s\n", strerror(iErr));
        // EINVAL: a segment exists under the key but is smaller than asked.
        if (iErr == EINVAL) {
            int iOldId = shmget(key, 0, 0);
            if (iOldId != -1) shmctl(iOldId, IPC_RMID, nullptr);
        }
        iShmId = shmget(key, nBytes, IPC_CREAT | 0666);
        if (iShmId == -1) {
            fprintf(stderr, "iishmget failed, error: %s\n", strerror(errno));
            exit(1);
        }
    }
    void* pAddr = shmat(iShmId, nullptr, 0);
    if (pAddr == reinterpret_cast<void*>(-1)) {
        fprintf(stderr, "shmat failed, error: %s\n", strerror(errno));
        exit(1);
    }
    memset(pAddr, 0, nBytes);
    return pAddr;
}

size_t get_executable_name(char* processname, size_t len) {
    const size_t FAILED = size_t(-1);
    if (!processname || len == 0) return FAILED;
    // One byte more than readlink may fill keeps the path terminated; a
    // full buffer may hold a cut path, whose last component is not the name.
    char processdir[PATH_MAX + 1] = {};
    ssize_t iRead = readlink("/proc/self/exe", processdir, PATH_MAX);
    if (iRead <= 0 || iRead >= PATH_MAX) return FAILED;
    const char* path_end = strrchr(processdir, '/');
    if (!path_end) return FAILED;
    ++path_end;
    size_t nName = strlen(path_end);
    if (nName > len - 1) nName = len - 1;
    memcpy(processname, path_end, nName);
    memset(processname + nName, 0, len - nName);
    return size_t(path_end - processdir);
}
