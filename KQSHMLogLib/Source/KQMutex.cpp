#include "KQMutex.h"

CKQMutex::CKQMutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m_Mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

CKQMutex::~CKQMutex() { pthread_mutex_destroy(&m_Mutex); }

void CKQMutex::lock() { pthread_mutex_lock(&m_Mutex); }

void CKQMutex::unLock() { pthread_mutex_unlock(&m_Mutex); }
