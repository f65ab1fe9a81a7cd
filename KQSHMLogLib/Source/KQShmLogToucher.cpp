#include "KQShmLogToucher.h"

namespace {

const int64_t PAGE = 4096;

}  // namespace

bool KQRingToucher::start(const uint8_t* pRing, int32_t iRingSize,
                          int32_t iBegin, int32_t iEnd) {
    stop();
    if (!pRing || iRingSize <= 0 || iBegin < 0 || iBegin >= iRingSize ||
        iEnd < 0 || iEnd >= iRingSize)
        return false;
    m_pRing = pRing;
    m_iRingSize = iRingSize;
    m_iBegin = iBegin;
    m_iSpan = iEnd >= iBegin ? iEnd - iBegin : int64_t(iEnd) + iRingSize - iBegin;
    m_iReaderDone = 0;
    m_bStop = false;
    m_bRunning = pthread_create(&m_thread, nullptr, run, this) == 0;
    return m_bRunning;
}

void KQRingToucher::stop() {
    if (!m_bRunning) return;
    __atomic_store_n(&m_bStop, true, __ATOMIC_RELAXED);
    pthread_join(m_thread, nullptr);
    m_bRunning = false;
}

void* KQRingToucher::run(void* pSelf) {
    KQRingToucher& self = *static_cast<KQRingToucher*>(pSelf);
    unsigned iSum = 0;
    // A page ahead of the reader is left to it: it is about to read it.
    for (int64_t iAt = self.m_iSpan; iAt > 0; iAt -= PAGE) {
        if (__atomic_load_n(&self.m_bStop, __ATOMIC_RELAXED) ||
            iAt <= __atomic_load_n(&self.m_iReaderDone, __ATOMIC_RELAXED) +
                       PAGE)
            break;
        int64_t iPos = self.m_iBegin + iAt;
        if (iPos >= self.m_iRingSize) iPos -= self.m_iRingSize;
        iSum += __atomic_load_n(self.m_pRing + iPos, __ATOMIC_RELAXED);
    }
    __atomic_store_n(&self.m_iTouchedSum, iSum, __ATOMIC_RELAXED);
    return nullptr;
}
