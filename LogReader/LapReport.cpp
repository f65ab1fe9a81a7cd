#include "LapReport.h"

bool LapReportLimiter::due(int64_t iNowMs, int64_t* pBytes) {
    if (!m_bPending) return false;
    if (m_bPrinted && iNowMs - m_iPrintedMs < INTERVAL_MS) return false;
    return drain(iNowMs, pBytes);
}

bool LapReportLimiter::drain(int64_t iNowMs, int64_t* pBytes) {
    if (!m_bPending) return false;
    *pBytes = m_iPendingBytes;
    m_iPendingBytes = 0;
    m_bPending = false;
    m_bPrinted = true;
    m_iPrintedMs = iNowMs;
    return true;
}
