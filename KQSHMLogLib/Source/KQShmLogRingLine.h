// The print path's per-record work, inline: reading a node straight into
// the caller's line (KQRingReadLine) and the recheck after the copy
// (KQRingLineUnchanged), with the node checks and the prefix rendering
// they share with the rest of the ring core. The walker takes these once
// per record; in a separate file each layer's call and argument passing
// cost as much as the work. Private to the library.
#ifndef KQSHMLOGRINGLINE_H
#define KQSHMLOGRINGLINE_H

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "KQShmLogRing.h"

#define KQ_ALWAYS_INLINE inline __attribute__((always_inline))

namespace kqring {

inline uint32_t loadU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
           uint32_t(p[3]) << 24;
}

inline uint16_t loadU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

// A node header must fit before anything at iPos is read.
inline bool headerInRing(const KQRingView& view, int32_t iPos) {
    return iPos >= 0 && view.iRingSize >= KQLOG_NODE_HDR_SIZE &&
           iPos <= view.iRingSize - KQLOG_NODE_HDR_SIZE;
}

// The one node check, on the header: a size byte that is no end marker, a
// level that has a name, and text plus terminator inside the ring. The
// text must then hold no NUL and the terminator must be one; each reader
// checks those where its copy lies (textSound, or copyCheckedText).
inline KQNodeStatus checkHeader(const KQRingView& view, int32_t iPos,
                                uint8_t nSize, uint8_t nLevel) {
    if (nSize == 0) return KQNODE_END;
    if (nLevel >= KQLOG_LEVEL_COUNT ||
        int(nSize) + 1 > view.iRingSize - iPos - KQLOG_NODE_HDR_SIZE)
        return KQNODE_INVALID;
    return KQNODE_VALID;
}

// A text of n bytes and its terminator, in place.
inline bool textSound(const uint8_t* pText, size_t n) {
    return pText[n] == 0 && memchr(pText, 0, n) == nullptr;
}

// "00" to "99", two bytes each.
constexpr char DIGIT_PAIRS[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233"
    "34353637383940414243444546474849505152535455565758596061626364656667"
    "6869707172737475767778798081828384858687888990919293949596979899";

// "%.4u": at least four digits, more when the value needs them.
inline size_t putMs(char* p, unsigned v) {
    if (v < 10000) {
        memcpy(p, DIGIT_PAIRS + 2 * (v / 100), 2);
        memcpy(p + 2, DIGIT_PAIRS + 2 * (v % 100), 2);
        return 4;
    }
    char digits[5];
    int n = 0;
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n < 4) digits[n++] = '0';
    for (int i = 0; i < n; ++i) p[i] = digits[n - 1 - i];
    return size_t(n);
}

// Fills cache for iSecond: " MM-DD hh:mm:ss " in local time, or
// " 00-00 00:00:00 " with bConverted false when local time cannot express
// it, and whether the rest of its minute can be had from the text. Once a
// minute of the log, about: kept out of line.
__attribute__((noinline)) void convertSecond(int64_t iSecond,
                                             KQTimeCache& cache);

constexpr uint64_t ONES = 0x0101010101010101ULL;
constexpr uint64_t HIGHS = 0x8080808080808080ULL;

// Nonzero when one of the eight bytes of v is 0.
inline uint64_t zeroBytes(uint64_t v) { return (v - ONES) & ~v & HIGHS; }

// Copies a node's text and its terminator (n + 1 bytes) from the ring to
// dst, checking each byte as it is copied: true when the n text bytes hold
// no NUL and the terminator is one. The copy is exactly what was checked:
// each byte stored comes from a load that was checked (the last 16 bytes
// are loaded again to end on the terminator, and checked again). Never
// touches a byte outside the n + 1.
inline bool copyCheckedText(char* dst, const uint8_t* src, size_t n) {
    size_t m = n + 1;
#if defined(__SSE2__)
    if (m >= 16) {
        // The bytewise minimum of the blocks before the last has a zero
        // byte exactly when one of them has.
        __m128i least = _mm_set1_epi8(-1);
        size_t i = 0;
        for (; i + 32 < m; i += 32) {
            __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
            __m128i v1 =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 16));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), v0);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 16), v1);
            least = _mm_min_epu8(least, _mm_min_epu8(v0, v1));
        }
        if (i + 16 < m) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), v);
            least = _mm_min_epu8(least, v);
        }
        const __m128i zero = _mm_setzero_si128();
        unsigned iBad = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(least, zero)));
        // The last 16 bytes end on the terminator: its NUL is bit 15, the
        // only zero allowed.
        __m128i v =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + m - 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + m - 16), v);
        iBad |= unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero))) ^ 0x8000u;
        return iBad == 0;
    }
#endif
    uint64_t zeros = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t v;
        memcpy(&v, src + i, 8);
        memcpy(dst + i, &v, 8);
        zeros |= zeroBytes(v);
    }
    bool bNul = zeros != 0;
    for (; i < n; ++i) {
        uint8_t c = src[i];
        dst[i] = char(c);
        bNul |= c == 0;
    }
    uint8_t cEnd = src[n];
    dst[n] = char(cEnd);
    return !bNul && cEnd == 0;
}

// Length of a tag name: up to its first NUL, at most 10 bytes.
inline int tagNameLength(const char* pName) {
    uint64_t v;
    memcpy(&v, pName, 8);
    uint64_t z = zeroBytes(v);
    if (z != 0) return __builtin_ctzll(z) / 8;
    if (pName[8] == 0) return 8;
    return pName[9] == 0 ? 9 : 10;
}

// "[" and a level's name and a space, as one store.
constexpr char LEVEL_HEADS[KQLOG_LEVEL_COUNT][8] = {
    "[TRACE ", "[DEBUG ", "[INFO  ", "[WARN  ", "[ERROR ", "[FATAL "};

// "[LEVEL tag MM-DD hh:mm:ss mmmm] " into out; the length. The level is one
// that has a name (checkHeader). The cache keeps the time's 16 bytes with
// the spaces around them, so that a record of a second already converted
// costs one copy.
KQ_ALWAYS_INLINE size_t renderPrefix(uint8_t nLevel, const char* pTagName, int iTagLen,
                    int64_t iStartTime, uint32_t nDeltaSec, uint16_t nMs,
                    KQTimeCache& cache, char* out, bool* pTimeValid,
                    int64_t* pSecond) {
    char* p = out;
    memcpy(p, LEVEL_HEADS[nLevel], 7);
    p += 7;
    // KQRingReadLine puts the name in place itself.
    if (pTagName != p) memcpy(p, pTagName, size_t(iTagLen));
    p += iTagLen;

    int64_t iSecond;
    bool bValid = true;
    // The spaces go in with each conversion only: bytes stored just before
    // the 16-byte load of the same place would stall it.
    if (__builtin_add_overflow(iStartTime, int64_t(nDeltaSec), &iSecond)) {
        memcpy(cache.text, " 00-00 00:00:00 ", 16);
        cache.bValid = false;
        bValid = false;
    } else if (!cache.bValid || cache.iSecond != iSecond) {
        int64_t iInMinute;
        if (cache.bValid && cache.bMinute &&
            !__builtin_sub_overflow(iSecond, cache.iMinuteStart, &iInMinute) &&
            iInMinute >= 0 && iInMinute < 60) {
            memcpy(cache.text + 13, DIGIT_PAIRS + 2 * iInMinute, 2);
            cache.iSecond = iSecond;
        } else {
            convertSecond(iSecond, cache);
        }
    }
    if (bValid) bValid = cache.bConverted;
    *pTimeValid = bValid;
    *pSecond = iSecond;
    memcpy(p, cache.text, 16);
    p += 16;
    p += putMs(p, nMs);
    *p++ = ']';
    *p++ = ' ';
    return size_t(p - out);
}

// KQRingReadLine, inline for the walker's one call per record.
KQ_ALWAYS_INLINE KQNodeStatus readLine(const KQRingView& view, int32_t iPos,
                                       int64_t iStartTime, KQTimeCache& cache,
                                       char* out, KQLineRead& line) {
    if (!headerInRing(view, iPos)) return KQNODE_OUTSIDE;
    const uint8_t* pNode = view.pRing + iPos;
    // A pass reads the ring in order: the bytes some nodes ahead are asked
    // for now, so that they are in the cache when the reader comes (only a
    // hint, never a load, and inside the ring all the same).
    if (iPos < view.iRingSize - 1024) __builtin_prefetch(pNode + 1024);
    // The writer publishes a node by storing its size byte last.
    uint8_t nSize = __atomic_load_n(pNode, __ATOMIC_ACQUIRE);
    line.header[0] = nSize;
    memcpy(line.header + 1, pNode + 1, KQLOG_NODE_HDR_SIZE - 1);
    uint8_t nLevel = line.header[2];
    KQNodeStatus eHeader = checkHeader(view, iPos, nSize, nLevel);
    if (eHeader != KQNODE_VALID) return eHeader;

    // The tag name goes straight from the table into the line: at most 10
    // bytes, up to a NUL.
    uint8_t nTag = line.header[1];
    char* pTagDst = out + 7;
    int iTagLen = 0;
    if (nTag < KQLOG_MAX_TAGS) {
        const char* pSrc = view.pHead->logInfos[nTag].strLogTag;
        memcpy(pTagDst, pSrc, KQLOG_TAG_NAME_SIZE);
        iTagLen = tagNameLength(pTagDst);
    }
    line.nTagOffset = 7;
    line.iTagLen = iTagLen;
    size_t n = renderPrefix(nLevel, pTagDst, iTagLen, iStartTime,
                            loadU32(line.header + 3), loadU16(line.header + 7),
                            cache, out, &line.bTimeValid, &line.iSecond);

    // One copy of the text and its terminator; validated where it lies.
    char* pText = out + n;
    if (!copyCheckedText(pText, pNode + KQLOG_NODE_HDR_SIZE, nSize))
        return KQNODE_INVALID;
    line.nTextOffset = n;
    line.nLineLen = n + nSize;
    return KQNODE_VALID;
}

// KQRingLineUnchanged at a position readLine has just read a valid node
// from, over the same view: the node lies inside the ring.
KQ_ALWAYS_INLINE bool lineUnchangedAfterRead(const KQRingView& view,
                                             int32_t iPos,
                                             const KQLineRead& line,
                                             const char* out) {
    const uint8_t* pNode = view.pRing + iPos;
    size_t nText = size_t(line.header[0]) + 1;
    return KQRingHeaderEquals(pNode, line.header) &&
           memcmp(pNode + KQLOG_NODE_HDR_SIZE, out + line.nTextOffset,
                  nText) == 0;
}

// KQRingLineUnchanged, inline likewise.
KQ_ALWAYS_INLINE bool lineUnchanged(const KQRingView& view, int32_t iPos,
                                    const KQLineRead& line, const char* out) {
    if (!headerInRing(view, iPos)) return false;
    return lineUnchangedAfterRead(view, iPos, line, out);
}

}  // namespace kqring

#endif
