#include "BenchSupport.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "KQShmLogLock.h"

int64_t benchNowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string benchNewLogPath(const std::string& dir) {
    // ftok keys come from inode numbers and may collide with a segment
    // that exists already: take another file until the key is free.
    for (int iAttempt = 0; iAttempt < 50; ++iAttempt) {
        std::string strPath = dir + "/kqbench-XXXXXX";
        int fd = mkstemp(&strPath[0]);
        if (fd < 0) break;
        close(fd);
        key_t key = ftok(strPath.c_str(), 0);
        if (key != -1 && key != IPC_PRIVATE && shmget(key, 0, 0) == -1)
            return strPath;
        unlink(strPath.c_str());
    }
    fprintf(stderr, "kqbench: no free log path under %s\n", dir.c_str());
    return std::string();
}

void benchRemoveLog(const std::string& path) {
    for (int iProjectId : {0, KQLOG_LOCK_PROJECT_ID}) {
        key_t key = ftok(path.c_str(), iProjectId);
        if (key == -1 || key == IPC_PRIVATE) continue;
        int iShmId = shmget(key, 0, 0);
        if (iShmId != -1) shmctl(iShmId, IPC_RMID, nullptr);
    }
    unlink(path.c_str());
}

uint64_t BenchTextGen::next() {
    m_iState ^= m_iState >> 12;
    m_iState ^= m_iState << 25;
    m_iState ^= m_iState >> 27;
    return m_iState * 0x2545F4914F6CDD1Dull;
}

int BenchTextGen::between(int iLow, int iHigh) {
    return iLow + int(next() % uint64_t(iHigh - iLow + 1));
}

void BenchTextGen::fill(char* p, size_t nLen) {
    static const char* const WORDS[] = {
        "request",   "served",   "connection", "closed",  "from",
        "user",      "session",  "timeout",    "retry",   "cache",
        "miss",      "hit",      "upstream",   "latency", "queue",
        "depth",     "flushed",  "bytes",      "config",  "reloaded",
        "worker",    "started",  "stopped",    "failed",  "ok",
        "GET",       "POST",     "/api/v2/orders", "/healthz", "db",
        "commit",    "rollback", "lock",       "held",    "for",
        "ms",        "peer",     "10.0.3.17:443", "handshake", "done"};
    const size_t nWords = sizeof(WORDS) / sizeof(WORDS[0]);
    size_t n = 0;
    while (n < nLen) {
        char word[32];
        int iWordLen;
        switch (next() % 4) {
        case 0:
            iWordLen = snprintf(word, sizeof(word), "id=%u",
                                unsigned(next() % 1000000));
            break;
        case 1:
            iWordLen = snprintf(word, sizeof(word), "%u",
                                unsigned(next() % 5000));
            break;
        default: {
            const char* pWord = WORDS[next() % nWords];
            iWordLen = int(strlen(pWord));
            memcpy(word, pWord, size_t(iWordLen));
        }
        }
        for (int i = 0; i < iWordLen && n < nLen; ++i) p[n++] = word[i];
        if (n < nLen) p[n++] = ' ';
    }
}
