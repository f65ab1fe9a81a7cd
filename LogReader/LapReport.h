// When kqlogreader reports laps. A follower that a writer keeps lapping
// would otherwise print a line for nearly every record it reads; standard
// error gets at most one lap line a second, with the bytes of every lap
// since the last line summed. Time is passed in (a monotonic clock in
// milliseconds), so the rule is tested without waiting.
#ifndef KQ_READER_LAP_REPORT_H
#define KQ_READER_LAP_REPORT_H

#include <cstdint>

class LapReportLimiter {
public:
    static const int64_t INTERVAL_MS = 1000;

    // A lap of iBytes ring bytes (0 counts: a lap whose size is unknown).
    void add(int64_t iBytes) {
        m_iPendingBytes += iBytes;
        m_bPending = true;
    }
    bool pending() const { return m_bPending; }

    // True with the sum in *pBytes when laps are pending and no line went
    // out in the last second (or none ever): the caller prints it now.
    bool due(int64_t iNowMs, int64_t* pBytes);

    // The end of a run: whatever is pending, however recent the last line.
    bool drain(int64_t iNowMs, int64_t* pBytes);

private:
    bool m_bPending = false;
    int64_t m_iPendingBytes = 0;
    bool m_bPrinted = false;
    int64_t m_iPrintedMs = 0;
};

#endif
