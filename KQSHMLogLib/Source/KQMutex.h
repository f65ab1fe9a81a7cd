// A recursive pthread mutex and a scope guard for it.
#ifndef KQMUTEX_H
#define KQMUTEX_H

#include <pthread.h>

// Recursive: the thread that holds it may lock it again.
class CKQMutex {
public:
    CKQMutex();
    virtual ~CKQMutex();
    void lock();
    void unLock();

private:
    CKQMutex(const CKQMutex&) = delete;
    CKQMutex& operator=(const CKQMutex&) = delete;

    pthread_mutex_t m_Mutex;
};

// Holds the mutex exactly while the enclosing scope runs.
class CKQAutoLock {
public:
    explicit CKQAutoLock(CKQMutex& lock) : m_lock(lock) { m_lock.lock(); }
    ~CKQAutoLock() { m_lock.unLock(); }

private:
    CKQAutoLock(const CKQAutoLock&) = delete;
    CKQAutoLock& operator=(const CKQAutoLock&) = delete;

    CKQMutex& m_lock;
};

#endif
