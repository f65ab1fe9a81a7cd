// Maps a large ring in from the far end while the reader works from the
// near end. Under a hypervisor the first read of each page of a fresh
// attachment costs microseconds even after MADV_POPULATE_READ (the host
// maps the page then); a second thread takes that cost for the pages the
// reader will come to last, so both cores work on a dump. Reads only, one
// byte a page, and never past the reader: they meet in the middle.
#ifndef KQSHMLOGTOUCHER_H
#define KQSHMLOGTOUCHER_H

#include <pthread.h>

#include <cstddef>
#include <cstdint>

class KQRingToucher {
public:
    KQRingToucher() = default;
    ~KQRingToucher() { stop(); }
    KQRingToucher(const KQRingToucher&) = delete;
    KQRingToucher& operator=(const KQRingToucher&) = delete;

    // Starts touching the ring's pages backwards from iEnd round to iBegin
    // (ring offsets; the reader goes forwards from iBegin). False when no
    // thread could be had: the reader then maps pages in alone.
    bool start(const uint8_t* pRing, int32_t iRingSize, int32_t iBegin,
               int32_t iEnd);

    // The reader is iDone bytes past iBegin: the toucher stops there.
    void progress(int64_t iDone) {
        __atomic_store_n(&m_iReaderDone, iDone, __ATOMIC_RELAXED);
    }

    void stop();

private:
    static void* run(void* pSelf);

    const uint8_t* m_pRing = nullptr;
    int32_t m_iRingSize = 0;
    int32_t m_iBegin = 0;
    int64_t m_iSpan = 0;  // bytes from iBegin forward to iEnd
    int64_t m_iReaderDone = 0;
    unsigned m_iTouchedSum = 0;  // keeps the reads
    bool m_bStop = false;
    bool m_bRunning = false;
    pthread_t m_thread;
};

#endif
