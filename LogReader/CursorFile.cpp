#include "CursorFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "StdoutSink.h"

namespace {

const char MAGIC[] = "kqcursor1 ";
const char HEX[] = "0123456789abcdef";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A reader of one line, field by field; every step checks what is left.
class LineParser {
public:
    LineParser(const char* p, size_t n) : m_p(p), m_pEnd(p + n) {}

    bool literal(const char* pText, size_t n) {
        if (size_t(m_pEnd - m_p) < n || memcmp(m_p, pText, n) != 0)
            return false;
        m_p += n;
        return true;
    }
    // A number as printf's %d writes it: an optional minus sign and 1 to
    // 19 digits, no leading zero and no "-0", within [iMin, iMax].
    bool decimal(int64_t iMin, int64_t iMax, int64_t& iValue) {
        bool bNegative = m_p < m_pEnd && *m_p == '-';
        if (bNegative) ++m_p;
        const char* pDigits = m_p;
        uint64_t nValue = 0;
        int iDigits = 0;
        while (m_p < m_pEnd && *m_p >= '0' && *m_p <= '9') {
            if (++iDigits > 19) return false;
            nValue = nValue * 10 + uint64_t(*m_p++ - '0');
        }
        if (iDigits == 0) return false;
        if (*pDigits == '0' && (iDigits > 1 || bNegative)) return false;
        // 19 digits may exceed INT64_MAX: compare as unsigned first.
        if (bNegative) {
            if (nValue > uint64_t(INT64_MAX) + 1) return false;
            iValue = nValue == uint64_t(INT64_MAX) + 1
                         ? INT64_MIN
                         : -int64_t(nValue);
        } else {
            if (nValue > uint64_t(INT64_MAX)) return false;
            iValue = int64_t(nValue);
        }
        return iValue >= iMin && iValue <= iMax;
    }
    // Exactly 2 * n lowercase hexadecimal digits into n bytes.
    bool hexBytes(uint8_t* pOut, size_t n) {
        if (size_t(m_pEnd - m_p) < 2 * n) return false;
        for (size_t i = 0; i < n; ++i) {
            int iHigh = hexValue(m_p[2 * i]);
            int iLow = hexValue(m_p[2 * i + 1]);
            if (iHigh < 0 || iLow < 0) return false;
            pOut[i] = uint8_t(iHigh << 4 | iLow);
        }
        m_p += 2 * n;
        return true;
    }
    bool atEnd() const { return m_p == m_pEnd; }

private:
    const char* m_p;
    const char* m_pEnd;
};

void putHex(const uint8_t* p, size_t n, char* out) {
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = HEX[p[i] >> 4];
        out[2 * i + 1] = HEX[p[i] & 0xF];
    }
}

}  // namespace

size_t formatCursor(const KQLogCursor& cursor, char* out) {
    int iLen = snprintf(out, KQ_CURSOR_LINE_SIZE, "%s%" PRId64 " %" PRId32 " ",
                        MAGIC, cursor.iStartTime, cursor.iPos);
    size_t n = size_t(iLen);
    putHex(cursor.header, sizeof(cursor.header), out + n);
    n += 2 * sizeof(cursor.header);
    out[n++] = ' ';
    uint8_t hash[8];
    for (int i = 0; i < 8; ++i)
        hash[i] = uint8_t(cursor.nTextHash >> (56 - 8 * i));
    putHex(hash, sizeof(hash), out + n);
    n += 2 * sizeof(hash);
    out[n++] = '\n';
    return n;
}

bool parseCursor(const char* p, size_t n, KQLogCursor& cursor) {
    LineParser line(p, n);
    KQLogCursor parsed;
    int64_t iStart = 0, iPos = 0;
    uint8_t hash[8];
    if (!line.literal(MAGIC, sizeof(MAGIC) - 1) ||
        !line.decimal(INT64_MIN, INT64_MAX, iStart) || !line.literal(" ", 1) ||
        !line.decimal(0, INT32_MAX, iPos) || !line.literal(" ", 1) ||
        !line.hexBytes(parsed.header, sizeof(parsed.header)) ||
        !line.literal(" ", 1) || !line.hexBytes(hash, sizeof(hash)) ||
        !line.literal("\n", 1) || !line.atEnd())
        return false;
    parsed.iStartTime = iStart;
    parsed.iPos = int32_t(iPos);
    for (uint8_t b : hash) parsed.nTextHash = parsed.nTextHash << 8 | b;
    cursor = parsed;
    return true;
}

CursorRead readCursorFile(const std::string& path, KQLogCursor& cursor,
                          int* pErr) {
    // Non-blocking: a FIFO put where the file belongs must not hang the
    // run; it is then no regular file, so malformed.
    int iFd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (iFd < 0) {
        if (errno == ENOENT) return CursorRead::MISSING;
        *pErr = errno;
        return CursorRead::UNREADABLE;
    }
    struct stat st;
    if (fstat(iFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(iFd);
        return CursorRead::MALFORMED;
    }
    // One byte more than a line may have tells a longer file.
    char buffer[KQ_CURSOR_LINE_SIZE + 1];
    size_t n = 0;
    while (n < sizeof(buffer)) {
        ssize_t iRead = read(iFd, buffer + n, sizeof(buffer) - n);
        if (iRead < 0 && errno == EINTR) continue;
        if (iRead < 0) {
            *pErr = errno;
            close(iFd);
            return CursorRead::UNREADABLE;
        }
        if (iRead == 0) break;
        n += size_t(iRead);
    }
    close(iFd);
    return parseCursor(buffer, n, cursor) ? CursorRead::OK
                                          : CursorRead::MALFORMED;
}

bool writeCursorFile(const std::string& path, const KQLogCursor& cursor,
                     int* pErr) {
    char line[KQ_CURSOR_LINE_SIZE];
    size_t n = formatCursor(cursor, line);
    std::string tmp = path + ".tmp";
    int iFd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                   0644);
    if (iFd < 0) {
        *pErr = errno;
        return false;
    }
    bool bOk = writeAll(iFd, line, n);
    int iErr = errno;
    if (close(iFd) != 0 && bOk) {
        bOk = false;
        iErr = errno;
    }
    if (bOk && rename(tmp.c_str(), path.c_str()) != 0) {
        bOk = false;
        iErr = errno;
    }
    if (!bOk) {
        unlink(tmp.c_str());
        *pErr = iErr;
    }
    return bOk;
}

void CursorKeeper::note(const KQLogRecord& rec) {
    m_rec = rec;
    size_t n = rec.pText && rec.iTextLen > 0 ? size_t(rec.iTextLen) : 0;
    if (n > sizeof(m_text)) n = sizeof(m_text);
    if (n > 0) memcpy(m_text, rec.pText, n);
    m_rec.pText = m_text;
    m_rec.iTextLen = int(n);
    m_rec.pLine = nullptr;
    m_rec.pTag = nullptr;
    m_bNew = true;
}

KQLogCursor CursorKeeper::take(int64_t iNowMs) {
    m_bNew = false;
    m_bSaved = true;
    m_iSavedMs = iNowMs;
    return KQLogStream::cursorOf(m_rec);
}
