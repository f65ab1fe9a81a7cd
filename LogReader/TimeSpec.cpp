#include "TimeSpec.h"

#include <time.h>

#include <cerrno>
#include <cstring>

namespace {

const int64_t MS_PER_SECOND = 1000;

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLower(char c) { return c >= 'a' && c <= 'z'; }

// Reads nMin to nMax digits at p; p is moved past them.
bool readDigits(const char*& p, int nMin, int nMax, int64_t* pValue) {
    int64_t iValue = 0;
    int n = 0;
    while (n < nMax && isDigit(p[n])) {
        iValue = iValue * 10 + (p[n] - '0');
        ++n;
    }
    if (n < nMin || isDigit(p[n])) return false;
    p += n;
    *pValue = iValue;
    return true;
}

// Exactly two digits within [0, iMax].
bool readTwo(const char*& p, int iMax, int* pValue) {
    int64_t iValue;
    if (!readDigits(p, 2, 2, &iValue) || iValue > iMax) return false;
    *pValue = int(iValue);
    return true;
}

// ".fff...": the milliseconds of a fraction of one or more digits, those
// after the third dropped. Nothing at p: 0.
bool readFraction(const char*& p, int* pMillis) {
    *pMillis = 0;
    if (*p != '.') return true;
    ++p;
    if (!isDigit(*p)) return false;
    int iScale = 100;
    for (; isDigit(*p); ++p) {
        *pMillis += (*p - '0') * iScale;
        iScale /= 10;
    }
    return true;
}

bool isLeapYear(int iYear) {
    return (iYear % 4 == 0 && iYear % 100 != 0) || iYear % 400 == 0;
}

int daysInMonth(int iYear, int iMonth) {
    static const int DAYS[12] = {31, 28, 31, 30, 31, 30,
                                 31, 31, 30, 31, 30, 31};
    return iMonth == 2 && isLeapYear(iYear) ? 29 : DAYS[iMonth - 1];
}

// "YYYY-MM-DD".
bool readDate(const char*& p, TimeSpec* pSpec) {
    int64_t iYear;
    if (!readDigits(p, 4, 4, &iYear) || *p++ != '-') return false;
    if (!readTwo(p, 12, &pSpec->iMonth) || pSpec->iMonth < 1 || *p++ != '-')
        return false;
    pSpec->iYear = int(iYear);
    if (!readTwo(p, 31, &pSpec->iDay) || pSpec->iDay < 1 ||
        pSpec->iDay > daysInMonth(pSpec->iYear, pSpec->iMonth))
        return false;
    return true;
}

// "hh:mm[:ss[.fff]]", the hour in one or two digits.
bool readClock(const char*& p, TimeSpec* pSpec) {
    int64_t iHour;
    if (!readDigits(p, 1, 2, &iHour) || iHour > 23 || *p++ != ':') return false;
    pSpec->iHour = int(iHour);
    if (!readTwo(p, 59, &pSpec->iMinute)) return false;
    pSpec->iSecond = 0;
    pSpec->iMillis = 0;
    if (*p != ':') return true;
    ++p;
    return readTwo(p, 59, &pSpec->iSecond) && readFraction(p, &pSpec->iMillis);
}

// "Z", "+hh:mm" or "-hh:mm".
bool readZone(const char*& p, TimeSpec* pSpec) {
    pSpec->bZone = true;
    if (*p == 'Z') {
        ++p;
        pSpec->iZoneSeconds = 0;
        return true;
    }
    if (*p != '+' && *p != '-') return false;
    int iSign = *p++ == '-' ? -1 : 1;
    int iHours, iMinutes;
    if (!readTwo(p, 23, &iHours) || *p++ != ':' || !readTwo(p, 59, &iMinutes))
        return false;
    pSpec->iZoneSeconds = iSign * (iHours * 3600 + iMinutes * 60);
    return true;
}

// The milliseconds of a unit word; an empty word is seconds.
bool unitMs(const char* pWord, size_t n, int64_t* pMs) {
    static const struct {
        const char* pName;
        int64_t iMs;
    } UNITS[] = {
        {"", 1000},          {"s", 1000},         {"sec", 1000},
        {"secs", 1000},      {"second", 1000},    {"seconds", 1000},
        {"m", 60000},        {"min", 60000},      {"mins", 60000},
        {"minute", 60000},   {"minutes", 60000},  {"h", 3600000},
        {"hr", 3600000},     {"hrs", 3600000},    {"hour", 3600000},
        {"hours", 3600000},  {"d", 86400000},     {"day", 86400000},
        {"days", 86400000},  {"w", 604800000},    {"week", 604800000},
        {"weeks", 604800000},
    };
    for (const auto& unit : UNITS) {
        if (strlen(unit.pName) == n && memcmp(unit.pName, pWord, n) == 0) {
            *pMs = unit.iMs;
            return true;
        }
    }
    return false;
}

void skipBlanks(const char*& p) {
    while (*p == ' ') ++p;
}

// A span: numbers each followed by a unit or none, blanks allowed between
// them ("1h30min", "1 h 30 min"); with bAgo, then "ago". Up to the end of
// the text.
bool readSpan(const char* p, bool bAgo, int64_t* pMs) {
    int64_t iTotal = 0;
    int nParts = 0;
    bool bSawAgo = false;
    for (;;) {
        if (nParts > 0) skipBlanks(p);
        if (*p == '\0') break;
        int64_t iCount;
        if (!readDigits(p, 1, 10, &iCount)) return false;
        skipBlanks(p);
        const char* pWord = p;
        while (isLower(*p)) ++p;
        size_t nWord = size_t(p - pWord);
        int64_t iUnit;
        if (bAgo && nWord == 3 && memcmp(pWord, "ago", 3) == 0) {
            iUnit = MS_PER_SECOND;  // "90 ago": seconds
            bSawAgo = true;
        } else if (!unitMs(pWord, nWord, &iUnit)) {
            return false;
        }
        int64_t iPart;
        if (__builtin_mul_overflow(iCount, iUnit, &iPart) ||
            __builtin_add_overflow(iTotal, iPart, &iTotal))
            return false;
        ++nParts;
        if (bSawAgo) break;
        if (bAgo) {
            skipBlanks(p);
            if (strcmp(p, "ago") == 0) {
                p += 3;
                bSawAgo = true;
                break;
            }
        }
    }
    if (nParts == 0 || *p != '\0' || bAgo != bSawAgo) return false;
    *pMs = iTotal;
    return true;
}

// The broken-down date of a moment, local or UTC.
bool brokenDown(int64_t iSecond, bool bUtc, struct tm* pTm) {
    time_t t = time_t(iSecond);
    if (int64_t(t) != iSecond) return false;
    return (bUtc ? gmtime_r(&t, pTm) : localtime_r(&t, pTm)) != nullptr;
}

// The moment of a broken-down local or UTC time (fields may be out of
// range, as mktime allows: a day past the month's end is the next month's).
bool fromBrokenDown(struct tm* pTm, bool bUtc, int64_t* pSecond) {
    pTm->tm_isdst = -1;
    errno = 0;
    time_t t = bUtc ? timegm(pTm) : mktime(pTm);
    if (t == time_t(-1) && errno != 0) return false;
    *pSecond = int64_t(t);
    return true;
}

int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

bool parseTimeSpec(const char* pText, TimeSpec* pSpec) {
    *pSpec = TimeSpec();
    const char* p = pText;
    static const struct {
        const char* pWord;
        TimeSpec::Kind eKind;
        int iDayOffset;
    } WORDS[] = {
        {"now", TimeSpec::Kind::NOW, 0},
        {"today", TimeSpec::Kind::DAY, 0},
        {"yesterday", TimeSpec::Kind::DAY, -1},
        {"tomorrow", TimeSpec::Kind::DAY, 1},
    };
    for (const auto& word : WORDS) {
        if (strcmp(p, word.pWord) == 0) {
            pSpec->eKind = word.eKind;
            pSpec->iDayOffset = word.iDayOffset;
            return true;
        }
    }
    if (*p == '@') {
        ++p;
        int64_t iSeconds;
        int iMillis;
        if (!readDigits(p, 1, 15, &iSeconds) || !readFraction(p, &iMillis) ||
            *p != '\0')
            return false;
        pSpec->eKind = TimeSpec::Kind::EPOCH;
        pSpec->iMs = iSeconds * MS_PER_SECOND + iMillis;
        return true;
    }
    if (*p == '-' || *p == '+') {
        bool bMinus = *p == '-';
        if (!isDigit(p[1]) || !readSpan(p + 1, false, &pSpec->iMs))
            return false;
        if (bMinus) pSpec->iMs = -pSpec->iMs;
        pSpec->eKind = TimeSpec::Kind::RELATIVE;
        return true;
    }
    if (!isDigit(*p)) return false;
    // Four digits and a dash: a date; one or two digits and a colon: a
    // time of day; other digits: a span before now.
    if (isDigit(p[1]) && isDigit(p[2]) && isDigit(p[3]) && p[4] == '-') {
        if (!readDate(p, pSpec)) return false;
        pSpec->eKind = TimeSpec::Kind::DATE_TIME;
        if (*p == '\0') return true;
        if (*p != ' ' && *p != 'T') return false;
        ++p;
        if (!readClock(p, pSpec)) return false;
        if (*p != '\0' && !readZone(p, pSpec)) return false;
        return *p == '\0';
    }
    if (p[1] == ':' || (isDigit(p[1]) && p[2] == ':')) {
        if (!readClock(p, pSpec) || *p != '\0') return false;
        pSpec->eKind = TimeSpec::Kind::CLOCK_TODAY;
        return true;
    }
    if (!readSpan(p, true, &pSpec->iMs)) return false;
    pSpec->iMs = -pSpec->iMs;
    pSpec->eKind = TimeSpec::Kind::RELATIVE;
    return true;
}

bool resolveTimeSpec(const TimeSpec& spec, int64_t iNowMs, bool bUtc,
                     int64_t* pMs) {
    struct tm tmWhen = {};
    int64_t iSecond;
    switch (spec.eKind) {
    case TimeSpec::Kind::NOW:
        *pMs = iNowMs;
        return true;
    case TimeSpec::Kind::RELATIVE:
        return !__builtin_add_overflow(iNowMs, spec.iMs, pMs);
    case TimeSpec::Kind::EPOCH:
        *pMs = spec.iMs;
        return true;
    case TimeSpec::Kind::DAY:
    case TimeSpec::Kind::CLOCK_TODAY:
        // Today's date where the times are read.
        if (!brokenDown(floorDiv(iNowMs, MS_PER_SECOND), bUtc, &tmWhen))
            return false;
        tmWhen.tm_mday += spec.iDayOffset;
        tmWhen.tm_hour = spec.iHour;
        tmWhen.tm_min = spec.iMinute;
        tmWhen.tm_sec = spec.iSecond;
        break;
    case TimeSpec::Kind::DATE_TIME:
        tmWhen.tm_year = spec.iYear - 1900;
        tmWhen.tm_mon = spec.iMonth - 1;
        tmWhen.tm_mday = spec.iDay;
        tmWhen.tm_hour = spec.iHour;
        tmWhen.tm_min = spec.iMinute;
        tmWhen.tm_sec = spec.iSecond;
        break;
    }
    // A zone given with the time overrides --utc and TZ.
    if (!fromBrokenDown(&tmWhen, bUtc || spec.bZone, &iSecond)) return false;
    if (spec.bZone) iSecond -= spec.iZoneSeconds;
    *pMs = iSecond * MS_PER_SECOND + spec.iMillis;
    return true;
}

int64_t wallClockMs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * MS_PER_SECOND + ts.tv_nsec / 1000000;
}
