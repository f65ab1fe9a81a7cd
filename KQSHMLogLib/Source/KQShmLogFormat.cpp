#include "KQShmLogFormat.h"

#include <cstdint>
#include <cstring>

namespace {

// Output into a fixed buffer; counts what does not fit.
class Sink {
public:
    Sink(char* pOut, size_t nCap) : m_pOut(pOut), m_nRoom(nCap - 1) {}
    void put(const char* p, size_t n) {
        if (n == 0) return;
        size_t nFits = n < m_nRoom - m_nUsed ? n : m_nRoom - m_nUsed;
        memcpy(m_pOut + m_nUsed, p, nFits);
        m_nUsed += nFits;
        m_nTotal += n;
        m_cLast = p[n - 1];
    }
    void finish(KQFormatted& result) {
        m_pOut[m_nUsed] = '\0';
        result.nLen = m_nTotal;
        result.bEndsWithLineFeed = m_nTotal > 0 && m_cLast == '\n';
    }

private:
    char* m_pOut;
    size_t m_nRoom;
    size_t m_nUsed = 0;
    size_t m_nTotal = 0;
    char m_cLast = 0;
};

enum Length { LEN_HH, LEN_H, LEN_INT, LEN_L, LEN_LL, LEN_J, LEN_Z, LEN_T };

// Digits of v in base 10 or 16, written backwards ending at pEnd.
char* digits(uint64_t v, unsigned iBase, bool bUpper, char* pEnd) {
    const char* pDigits = bUpper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        *--pEnd = pDigits[v % iBase];
        v /= iBase;
    } while (v != 0);
    return pEnd;
}

int64_t signedArg(va_list& args, Length eLen) {
    switch (eLen) {
    case LEN_HH: return static_cast<signed char>(va_arg(args, int));
    case LEN_H: return static_cast<short>(va_arg(args, int));
    case LEN_INT: return va_arg(args, int);
    case LEN_L: return va_arg(args, long);
    case LEN_LL: return va_arg(args, long long);
    case LEN_J: return va_arg(args, intmax_t);
    case LEN_Z: return static_cast<int64_t>(va_arg(args, size_t));
    case LEN_T: return va_arg(args, ptrdiff_t);
    }
    return 0;
}

uint64_t unsignedArg(va_list& args, Length eLen) {
    switch (eLen) {
    case LEN_HH: return static_cast<unsigned char>(va_arg(args, unsigned));
    case LEN_H: return static_cast<unsigned short>(va_arg(args, unsigned));
    case LEN_INT: return va_arg(args, unsigned);
    case LEN_L: return va_arg(args, unsigned long);
    case LEN_LL: return va_arg(args, unsigned long long);
    case LEN_J: return va_arg(args, uintmax_t);
    case LEN_Z: return va_arg(args, size_t);
    case LEN_T: return static_cast<uint64_t>(va_arg(args, ptrdiff_t));
    }
    return 0;
}

// The length modifier at p; p moves past it.
Length lengthAt(const char*& p) {
    switch (*p) {
    case 'h':
        if (*++p != 'h') return LEN_H;
        ++p;
        return LEN_HH;
    case 'l':
        if (*++p != 'l') return LEN_L;
        ++p;
        return LEN_LL;
    case 'j': ++p; return LEN_J;
    case 'z': ++p; return LEN_Z;
    case 't': ++p; return LEN_T;
    default: return LEN_INT;
    }
}

}  // namespace

bool KQFormatFast(char* pOut, size_t nCap, const char* pFormat, va_list args,
                  KQFormatted& result) {
    Sink sink(pOut, nCap);
    va_list ap;
    va_copy(ap, args);
    bool bHandled = true;
    const char* p = pFormat;
    while (bHandled && *p) {
        const char* pPct = strchr(p, '%');
        size_t nPlain = pPct ? size_t(pPct - p) : strlen(p);
        sink.put(p, nPlain);
        if (!pPct) break;
        p = pPct + 1;
        Length eLen = lengthAt(p);
        char buf[24];
        char* pEnd = buf + sizeof(buf);
        switch (*p++) {
        case 'd':
        case 'i': {
            int64_t v = signedArg(ap, eLen);
            uint64_t u = v < 0 ? 0 - uint64_t(v) : uint64_t(v);
            char* pStart = digits(u, 10, false, pEnd);
            if (v < 0) *--pStart = '-';
            sink.put(pStart, size_t(pEnd - pStart));
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            char c = p[-1];
            char* pStart =
                digits(unsignedArg(ap, eLen), c == 'u' ? 10 : 16, c == 'X', pEnd);
            sink.put(pStart, size_t(pEnd - pStart));
            break;
        }
        case 'c':
            if (eLen != LEN_INT) bHandled = false;
            else {
                buf[0] = char(static_cast<unsigned char>(va_arg(ap, int)));
                sink.put(buf, 1);
            }
            break;
        case 's': {
            const char* pStr = eLen == LEN_INT ? va_arg(ap, const char*) : nullptr;
            if (pStr) sink.put(pStr, strlen(pStr));
            else bHandled = false;
            break;
        }
        case '%':
            if (eLen != LEN_INT) bHandled = false;
            else sink.put("%", 1);
            break;
        default:  // flags, widths, precisions, other conversions, the end
            bHandled = false;
        }
    }
    va_end(ap);
    if (bHandled) sink.finish(result);
    return bHandled;
}
