// The writers' lock of a log: a robust, process-shared mutex in a small
// System V segment of its own, keyed by ftok(log path,
// KQLOG_LOCK_PROJECT_ID), beside the log segment (project id 0), whose
// format it leaves as it is. Every writer of this library, in any process,
// holds it to append (KQShmLogAppend.h), to add a tag, and to adopt,
// create or replace the log; readers never take it.
//
// A writer that dies holding it does not wedge the others: the next lock()
// answers OWNER_DIED, the caller makes the log consistent
// (KQAppendRepair) and calls markConsistent(), and writing goes on.
//
// The segment:
//   offset  size  field
//        0     4  state   0 new (zeroed by the system), 1 being set up,
//                         KQLOG_LOCK_READY once the mutex is initialised
//        8    40  mutex   pthread_mutex_t, robust and process-shared
// Processes attached to it are the log's writers (readers attach only the
// log): a log that others still write is never replaced.
#ifndef KQSHMLOGLOCK_H
#define KQSHMLOGLOCK_H

#include <pthread.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

const int KQLOG_LOCK_PROJECT_ID = 0x4B;
const uint32_t KQLOG_LOCK_READY = 0x4B514C4Bu;

struct KQWritersLockShm {
    uint32_t iState;
    uint32_t reserved;
    pthread_mutex_t mutex;
};

static_assert(offsetof(KQWritersLockShm, mutex) == 8, "layout");

class CKQWritersLock {
public:
    enum LockResult {
        LOCKED,
        OWNER_DIED,  // locked; the last owner died holding it
        FAILED,      // not locked: the mutex is beyond recovery
    };

    CKQWritersLock() = default;
    // Detaches the segment (never removes it).
    ~CKQWritersLock();

    // Attaches the lock of a log path, creating its segment with mode when
    // there is none and setting the mutex up once. False after a message on
    // standard error: no key for the path, a segment under the key that is
    // not a writers' lock, or one whose creator died before setting it up.
    bool attach(const char* pShmLogPath, mode_t mode = 0666);

    // Waits while another writer holds the mutex.
    LockResult lock();
    void unlock() { pthread_mutex_unlock(&m_pShm->mutex); }
    // After OWNER_DIED, once what the mutex guards is sound again.
    void markConsistent() { pthread_mutex_consistent(&m_pShm->mutex); }

    int shmId() const { return m_iShmId; }
    // Attachments of the segment, in every process; -1 when unknown.
    int attachments() const;

private:
    CKQWritersLock(const CKQWritersLock&) = delete;
    CKQWritersLock& operator=(const CKQWritersLock&) = delete;

    KQWritersLockShm* m_pShm = nullptr;
    int m_iShmId = -1;
};

#endif
