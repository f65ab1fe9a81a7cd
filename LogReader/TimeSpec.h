// The TIME values of kqlogreader's --since and --until, and the window they
// make. A value is read in two steps: parseTimeSpec checks its form while
// the command line is read; resolveTimeSpec turns it into a moment once
// the whole command line is known (--utc may come after --since), against
// one "now" for both options.
#ifndef KQ_READER_TIME_SPEC_H
#define KQ_READER_TIME_SPEC_H

#include <cstdint>

#include "KQShmLogStream.h"

// A TIME as given. The forms:
//   YYYY-MM-DD hh:mm[:ss[.fff]]  a date and time ('T' may stand for the
//                                blank), with an optional zone after the
//                                time: Z or +hh:mm / -hh:mm
//   YYYY-MM-DD                   that day's midnight
//   hh:mm[:ss[.fff]]             that time today
//   now, today, yesterday, tomorrow
//   -SPAN, +SPAN, SPAN ago       now minus or plus SPAN: numbers, each with
//                                a unit (s sec second, m min minute, h hour,
//                                d day, w week, plurals too; none: seconds),
//                                as in "-1h30min", "+2d", "90 s ago"
//   @SECONDS[.fff]               seconds since the epoch
// Fractions of a second count to the millisecond; further digits are
// dropped.
struct TimeSpec {
    enum class Kind { NOW, RELATIVE, EPOCH, DAY, CLOCK_TODAY, DATE_TIME };
    Kind eKind = Kind::NOW;
    int64_t iMs = 0;     // RELATIVE: the offset; EPOCH: the moment
    int iDayOffset = 0;  // DAY: 0 today, -1 yesterday, 1 tomorrow
    // DATE_TIME (and DAY's midnight, CLOCK_TODAY's time of day).
    int iYear = 0, iMonth = 0, iDay = 0;
    int iHour = 0, iMinute = 0, iSecond = 0, iMillis = 0;
    bool bZone = false;     // DATE_TIME: a zone was given
    int iZoneSeconds = 0;   // its offset east of UTC
};

// Reads pText as one of the forms above. False, with *pSpec unspecified,
// for anything else: an unknown word, a field out of range (February 30,
// 24:00), a number too large, trailing characters.
bool parseTimeSpec(const char* pText, TimeSpec* pSpec);

// The moment spec names, in milliseconds since the epoch. iNowMs is the
// moment of "now"; bUtc: dates, days and times of day are UTC, else local
// time (TZ). False when the moment cannot be expressed.
bool resolveTimeSpec(const TimeSpec& spec, int64_t iNowMs, bool bUtc,
                     int64_t* pMs);

// The wall clock in milliseconds since the epoch.
int64_t wallClockMs();

// --since and --until: records whose time (the log's start time plus the
// record's seconds, with its milliseconds, a stored 1000 or more carried
// into the seconds) lies within [since, until], both ends included, to the
// millisecond. A record whose time local time cannot show lies outside
// every window.
class TimeWindow {
public:
    void setSince(int64_t iMs) { split(iMs, &m_bSince, &m_iSinceSec, &m_iSinceMs); }
    void setUntil(int64_t iMs) { split(iMs, &m_bUntil, &m_iUntilSec, &m_iUntilMs); }
    bool active() const { return m_bSince || m_bUntil; }
    bool hasUntil() const { return m_bUntil; }

    bool contains(const KQLogRecord& rec) const {
        if (!rec.bTimeValid) return false;
        // A valid time is within local time's range, far from overflow.
        int64_t iSec = rec.iSecond + rec.nMillis / 1000;
        int iMs = rec.nMillis % 1000;
        if (m_bSince && (iSec < m_iSinceSec ||
                         (iSec == m_iSinceSec && iMs < m_iSinceMs)))
            return false;
        if (m_bUntil && (iSec > m_iUntilSec ||
                         (iSec == m_iUntilSec && iMs > m_iUntilMs)))
            return false;
        return true;
    }

private:
    // Seconds and milliseconds, compared apart so that no record time is
    // ever multiplied out of range.
    static void split(int64_t iMs, bool* pSet, int64_t* pSec, int* pMs) {
        *pSet = true;
        *pSec = iMs / 1000;
        *pMs = int(iMs % 1000);
        if (*pMs < 0) {  // floor, for times before 1970
            *pMs += 1000;
            --*pSec;
        }
    }

    bool m_bSince = false;
    bool m_bUntil = false;
    int64_t m_iSinceSec = 0;
    int m_iSinceMs = 0;
    int64_t m_iUntilSec = 0;
    int m_iUntilMs = 0;
};

#endif
