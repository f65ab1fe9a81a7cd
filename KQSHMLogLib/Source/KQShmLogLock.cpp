#include "KQShmLogLock.h"

#include <errno.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

const uint32_t STATE_NEW = 0;
const uint32_t STATE_SETTING_UP = 1;
// How long attach waits for another process setting the mutex up.
const int SETUP_WAIT_MS = 2000;

void setUp(KQWritersLockShm* pShm) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&pShm->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    __atomic_store_n(&pShm->iState, KQLOG_LOCK_READY, __ATOMIC_RELEASE);
}

}  // namespace

CKQWritersLock::~CKQWritersLock() {
    if (m_pShm) shmdt(m_pShm);
}

bool CKQWritersLock::attach(const char* pShmLogPath, mode_t mode) {
    key_t key = ftok(pShmLogPath, KQLOG_LOCK_PROJECT_ID);
    if (key == -1) {
        const char* pErr = strerror(errno);
        fprintf(stderr, "ftok [%s] failed, err: %s\n", pShmLogPath, pErr);
        return false;
    }
    int iShmId = shmget(key, sizeof(KQWritersLockShm), IPC_CREAT | int(mode));
    if (iShmId == -1) {
        fprintf(stderr, "writers' lock of [%s]: shmget failed, err: %s\n",
                pShmLogPath, strerror(errno));
        return false;
    }
    void* pAddr = shmat(iShmId, nullptr, 0);
    if (pAddr == reinterpret_cast<void*>(-1)) {
        fprintf(stderr, "writers' lock of [%s]: shmat failed, err: %s\n",
                pShmLogPath, strerror(errno));
        return false;
    }
    KQWritersLockShm* pShm = static_cast<KQWritersLockShm*>(pAddr);
    // The first to move the state on from new sets the mutex up; the
    // others wait for it.
    uint32_t iState = STATE_NEW;
    if (__atomic_compare_exchange_n(&pShm->iState, &iState, STATE_SETTING_UP,
                                    false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_ACQUIRE)) {
        setUp(pShm);
        iState = KQLOG_LOCK_READY;
    }
    for (int i = 0; iState == STATE_SETTING_UP && i < SETUP_WAIT_MS; ++i) {
        usleep(1000);
        iState = __atomic_load_n(&pShm->iState, __ATOMIC_ACQUIRE);
    }
    if (iState != KQLOG_LOCK_READY) {
        fprintf(stderr,
                "writers' lock of [%s] is not usable (key 0x%08x, state %u)\n",
                pShmLogPath, unsigned(key), unsigned(iState));
        shmdt(pAddr);
        return false;
    }
    if (m_pShm) shmdt(m_pShm);
    m_pShm = pShm;
    m_iShmId = iShmId;
    return true;
}

// No spinning first: with more writing threads than cores, a waiter that
// spins holds a core the holder may need (measured: 4 threads on 2 cores
// wrote about half as many lines with a spin of 200 looks).
CKQWritersLock::LockResult CKQWritersLock::lock() {
    int iErr = pthread_mutex_lock(&m_pShm->mutex);
    if (iErr == 0) return LOCKED;
    if (iErr == EOWNERDEAD) return OWNER_DIED;
    return FAILED;
}

int CKQWritersLock::attachments() const {
    struct shmid_ds ds;
    if (m_iShmId == -1 || shmctl(m_iShmId, IPC_STAT, &ds) == -1) return -1;
    return int(ds.shm_nattch);
}
