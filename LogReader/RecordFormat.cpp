#include "RecordFormat.h"

#include <cstring>
#include <ctime>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

const char HEX[] = "0123456789abcdef";
// A line prefix lies in a line buffer; escaped, each byte takes at most four.
const size_t KQ_MAX_ESCAPED_PREFIX = 4 * KQLOG_LINE_BUFFER_SIZE;
const char* const LEVEL_NAMES[6] = {"TRACE", "DEBUG", "INFO",
                                    "WARN",  "ERROR", "FATAL"};

// How control bytes are spelt. A text keeps its layout: tabs stay, and a
// line feed shows as \n (its last one, with TEXT_LAST_FEED_RAW, as it is).
// A name has no layout of its own, so every control byte in it is \xHH:
// nothing in a tag can end a line or begin a forged one.
enum class Escape { TEXT, TEXT_LAST_FEED_RAW, NAME };

char* escapeBytes(const char* p, int n, Escape eMode, char* out) {
    for (int i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        bool bControl = c < 0x20 || c == 0x7F;
        if (bControl && eMode != Escape::NAME && c == '\t') bControl = false;
        if (bControl && eMode != Escape::NAME && c == '\n') {
            if (eMode == Escape::TEXT_LAST_FEED_RAW && i == n - 1) {
                *out++ = '\n';
            } else {
                *out++ = '\\';
                *out++ = 'n';
            }
        } else if (bControl) {
            *out++ = '\\';
            *out++ = 'x';
            *out++ = HEX[c >> 4];
            *out++ = HEX[c & 15];
        } else {
            *out++ = char(c);
        }
    }
    return out;
}

// A record's line prefix with its tag name escaped as a name: the tag is
// the only part of the prefix that comes from the segment, the rest is
// printable already.
char* escapedPrefix(const KQLogRecord& rec, char* out) {
    return escapeBytes(rec.pLine, int(rec.pText - rec.pLine), Escape::NAME,
                       out);
}

// Length of the UTF-8 sequence at p (at most n bytes), or 0 when the
// bytes there are not one.
int utf8Length(const unsigned char* p, int n) {
    unsigned char c = p[0];
    if (c < 0x80) return 1;
    int iLen;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        iLen = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        iLen = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        iLen = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (iLen > n) return 0;
    for (int i = 1; i < iLen; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((iLen == 3 && cp < 0x800) || (iLen == 4 && cp < 0x10000) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
        return 0;
    return iLen;
}

// Whether any of the 8 bytes in v needs a JSON escape or a UTF-8 check:
// below 0x20, '"', '\\' or 0x80 and above.
bool anySpecial(uint64_t v) {
    const uint64_t ONES = 0x0101010101010101ULL;
    const uint64_t HIGH = 0x8080808080808080ULL;
    uint64_t below20 = (v - ONES * 0x20) & ~v;
    uint64_t xq = v ^ (ONES * '"');
    uint64_t xb = v ^ (ONES * '\\');
    uint64_t quote = (xq - ONES) & ~xq;
    uint64_t slash = (xb - ONES) & ~xb;
    return ((below20 | quote | slash | v) & HIGH) != 0;
}

#if defined(__SSE2__)
// anySpecial for 16 bytes.
bool anySpecial16(__m128i v) {
    // As signed bytes, 0x80 and above are below 0x20 too.
    __m128i special = _mm_or_si128(
        _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                     _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))));
    return _mm_movemask_epi8(special) != 0;
}
#endif

// A plain text, the usual case, goes out in blocks: of 16 bytes while more
// than 16 are left, then the block that ends on the text's end, whose
// first bytes may have gone out already (plain, so as they are: they are
// written again in place). Returns how many bytes are out: n when the
// whole text was plain, else where the block with a byte to escape or to
// check begins. Below 16 bytes, two blocks of 8 or of 4 that meet or
// overlap.
int putPlain(const unsigned char* p, int n, char*& out) {
    int i = 0;
#if defined(__SSE2__)
    if (n >= 16) {
        for (; n - i > 16; i += 16, out += 16) {
            __m128i v =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            if (anySpecial16(v)) return i;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
        }
        __m128i v =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16));
        if (anySpecial16(v)) return i;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + (n - i) - 16), v);
        out += n - i;
        return n;
    }
#endif
    if (n >= 8) {
        uint64_t vFirst, vLast;
        memcpy(&vFirst, p, 8);
        memcpy(&vLast, p + n - 8, 8);
        if (anySpecial(vFirst) || anySpecial(vLast)) return 0;
        memcpy(out, &vFirst, 8);
        memcpy(out + n - 8, &vLast, 8);
        out += n;
        return n;
    }
    if (n >= 4) {
        uint32_t iFirst, iLast;
        memcpy(&iFirst, p, 4);
        memcpy(&iLast, p + n - 4, 4);
        if (anySpecial(uint64_t(iLast) << 32 | iFirst)) return 0;
        memcpy(out, &iFirst, 4);
        memcpy(out + n - 4, &iLast, 4);
        out += n;
        return n;
    }
    return 0;
}

char* jsonString(const char* pText, int n, char* out) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pText);
    *out++ = '"';
    for (int i = putPlain(p, n, out); i < n;) {
        // Plain text goes eight bytes at a time.
        if (n - i >= 8) {
            uint64_t v;
            memcpy(&v, p + i, 8);
            if (!anySpecial(v)) {
                memcpy(out, &v, 8);
                out += 8;
                i += 8;
                continue;
            }
        }
        unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            *out++ = '\\';
            *out++ = char(c);
            ++i;
        } else if (c < 0x20) {
            *out++ = '\\';
            switch (c) {
            case '\n': *out++ = 'n'; break;
            case '\t': *out++ = 't'; break;
            case '\r': *out++ = 'r'; break;
            case '\b': *out++ = 'b'; break;
            case '\f': *out++ = 'f'; break;
            default:
                memcpy(out, "u00", 3);
                out += 3;
                *out++ = HEX[c >> 4];
                *out++ = HEX[c & 15];
            }
            ++i;
        } else if (c < 0x80) {
            *out++ = char(c);
            ++i;
        } else {
            int iLen = utf8Length(p + i, n - i);
            if (iLen == 0) {
                memcpy(out, "\xEF\xBF\xBD", 3);  // U+FFFD
                out += 3;
                ++i;
            } else {
                memcpy(out, p + i, size_t(iLen));
                out += iLen;
                i += iLen;
            }
        }
    }
    *out++ = '"';
    return out;
}

void put2(char* p, int v) {
    p[0] = char('0' + v / 10 % 10);
    p[1] = char('0' + v % 10);
}

char* putUnsigned(char* out, unsigned v) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) *out++ = digits[--n];
    return out;
}

const size_t ISO_TIME_SIZE = 29;  // "YYYY-MM-DDThh:mm:ss.mmm+hh:mm"

// The record's time as ISO 8601 with milliseconds and UTC offset into out
// (ISO_TIME_SIZE bytes), or false when local time cannot show it. A
// millisecond field of 1000 or more carries into the seconds.
bool isoTime(const KQLogRecord& rec, IsoTimeCache& cache, char* out) {
    int64_t iSecond = rec.iSecond + rec.nMillis / 1000;
    unsigned iMillis = rec.nMillis % 1000u;
    if (!rec.bTimeValid || !isoSecond(iSecond, cache)) return false;
    memcpy(out, cache.text, 19);
    out[19] = '.';
    out[20] = char('0' + iMillis / 100);
    out[21] = char('0' + iMillis / 10 % 10);
    out[22] = char('0' + iMillis % 10);
    memcpy(out + 23, cache.text + 19, 6);
    return true;
}

}  // namespace

bool isoSecond(int64_t iSecond, IsoTimeCache& cache) {
    if (cache.bValid && cache.iSecond == iSecond) return cache.bConverted;
    cache.bValid = true;
    cache.iSecond = iSecond;
    cache.bConverted = false;
    struct tm tmLocal;
    time_t t = time_t(iSecond);
    if (int64_t(t) != iSecond || localtime_r(&t, &tmLocal) == nullptr)
        return false;
    long iYear = long(tmLocal.tm_year) + 1900;
    if (iYear < 0 || iYear > 9999) return false;
    char* p = cache.text;
    put2(p, int(iYear / 100));
    put2(p + 2, int(iYear % 100));
    p[4] = '-';
    put2(p + 5, tmLocal.tm_mon + 1);
    p[7] = '-';
    put2(p + 8, tmLocal.tm_mday);
    p[10] = 'T';
    put2(p + 11, tmLocal.tm_hour);
    p[13] = ':';
    put2(p + 14, tmLocal.tm_min);
    p[16] = ':';
    put2(p + 17, tmLocal.tm_sec);
    long iOffset = tmLocal.tm_gmtoff;
    p[19] = iOffset < 0 ? '-' : '+';
    if (iOffset < 0) iOffset = -iOffset;
    put2(p + 20, int(iOffset / 3600 % 100));
    p[22] = ':';
    put2(p + 23, int(iOffset / 60 % 60));
    cache.nLen = 25;
    cache.bConverted = true;
    return true;
}

int syslogSeverity(ENUM_KQLOG_LEVEL eLevel) {
    static const int SEVERITY[6] = {7, 7, 6, 4, 3, 2};
    return eLevel >= 0 && eLevel < 6 ? SEVERITY[eLevel] : 7;
}

size_t formatJsonString(const char* p, int n, char* out) {
    return size_t(jsonString(p, n, out) - out);
}

size_t escapeName(const char* p, int n, char* out) {
    return size_t(escapeBytes(p, n, Escape::NAME, out) - out);
}

size_t formatForTerminal(const KQLogRecord& rec, char* out) {
    char* p = escapedPrefix(rec, out);
    return size_t(
        escapeBytes(rec.pText, rec.iTextLen, Escape::TEXT_LAST_FEED_RAW, p) -
        out);
}

size_t formatJson(const KQLogRecord& rec, IsoTimeCache& cache, char* out) {
    char* p = out;
    memcpy(p, "{\"time\":", 8);
    p += 8;
    if (isoTime(rec, cache, p + 1)) {
        *p = '"';
        p += 1 + ISO_TIME_SIZE;
        *p++ = '"';
    } else {
        memcpy(p, "null", 4);
        p += 4;
    }
    memcpy(p, ",\"level\":\"", 10);
    p += 10;
    const char* pLevel = LEVEL_NAMES[rec.eLevel < 6 ? rec.eLevel : 0];
    size_t nLevel = strlen(pLevel);
    memcpy(p, pLevel, nLevel);
    p += nLevel;
    memcpy(p, "\",\"tag\":", 8);
    p += 8;
    p = jsonString(rec.pTag, rec.iTagLen, p);
    memcpy(p, ",\"tag_id\":", 10);
    p += 10;
    p = putUnsigned(p, rec.nTagId);
    memcpy(p, ",\"text\":", 8);
    p += 8;
    int iText = rec.iTextLen;
    if (iText > 0 && rec.pText[iText - 1] == '\n') --iText;
    p = jsonString(rec.pText, iText, p);
    *p++ = '}';
    *p++ = '\n';
    return size_t(p - out);
}

size_t formatSyslog(const KQLogRecord& rec, bool bEscape, char* out) {
    char* p = out;
    // The tag is escaped wherever the lines go: a line feed in it would
    // start a message of its own, with whatever priority follows it.
    char prefix[KQ_MAX_ESCAPED_PREFIX];
    size_t nPrefix = size_t(escapedPrefix(rec, prefix) - prefix);
    char priority[4] = {'<', char('0' + syslogSeverity(rec.eLevel)), '>', 0};
    const char* pText = rec.pText;
    const char* pEnd = rec.pText + rec.iTextLen;
    // One line per line feed of the text; a last line without one gets one.
    do {
        const char* pFeed =
            static_cast<const char*>(memchr(pText, '\n', size_t(pEnd - pText)));
        const char* pLineEnd = pFeed ? pFeed : pEnd;
        memcpy(p, priority, 3);
        p += 3;
        memcpy(p, prefix, nPrefix);
        p += nPrefix;
        int n = int(pLineEnd - pText);
        if (bEscape) {
            p = escapeBytes(pText, n, Escape::TEXT, p);
        } else {
            memcpy(p, pText, size_t(n));
            p += n;
        }
        *p++ = '\n';
        pText = pFeed ? pFeed + 1 : pEnd;
    } while (pText < pEnd);
    return size_t(p - out);
}

size_t formatShortIso(const KQLogRecord& rec, IsoTimeCache& cache,
                      bool bEscape, char* out) {
    // "[LEVEL tag " as the line has it, then the time in place of the
    // line's.
    int nHead = int(rec.pTag + rec.iTagLen + 1 - rec.pLine);
    char* p = out;
    if (bEscape) {
        p = escapeBytes(rec.pLine, nHead, Escape::NAME, p);
    } else {
        memcpy(p, rec.pLine, size_t(nHead));
        p += nHead;
    }
    if (!isoTime(rec, cache, p))
        memcpy(p, "0000-00-00T00:00:00.000+00:00", ISO_TIME_SIZE);
    p += ISO_TIME_SIZE;
    *p++ = ']';
    *p++ = ' ';
    if (bEscape) {
        p = escapeBytes(rec.pText, rec.iTextLen, Escape::TEXT_LAST_FEED_RAW, p);
    } else {
        memcpy(p, rec.pText, size_t(rec.iTextLen));
        p += rec.iTextLen;
    }
    return size_t(p - out);
}
