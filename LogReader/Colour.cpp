#include "Colour.h"

#include <cstring>

bool parseColourWhen(const char* pText, ColourWhen* pWhen) {
    if (!pText || strcmp(pText, "auto") == 0) *pWhen = ColourWhen::AUTO;
    else if (strcmp(pText, "always") == 0) *pWhen = ColourWhen::ALWAYS;
    else if (strcmp(pText, "never") == 0) *pWhen = ColourWhen::NEVER;
    else return false;
    return true;
}

bool colourWanted(ColourWhen eWhen, bool bStdoutTerminal, const char* pNoColor,
                  const char* pTerm) {
    switch (eWhen) {
    case ColourWhen::ALWAYS: return true;
    case ColourWhen::NEVER: return false;
    case ColourWhen::AUTO: break;
    }
    if (!bStdoutTerminal) return false;
    if (pNoColor && *pNoColor) return false;
    return !(pTerm && strcmp(pTerm, "dumb") == 0);
}

const char* levelSgr(ENUM_KQLOG_LEVEL eLevel) {
    switch (eLevel) {
    case KQLOG_LEVEL_TRACE:
    case KQLOG_LEVEL_DEBUG: return "\x1b[2m";
    case KQLOG_LEVEL_WARN: return "\x1b[33m";
    case KQLOG_LEVEL_ERROR: return "\x1b[31m";
    case KQLOG_LEVEL_FATAL: return "\x1b[1;31m";
    default: return nullptr;
    }
}

size_t colouredSize(const char* pSgr, const char* p, size_t n) {
    size_t nLines = 1;
    for (const char* pEnd = p + n;
         (p = static_cast<const char*>(memchr(p, '\n', size_t(pEnd - p))));
         ++p)
        ++nLines;
    return n + nLines * (strlen(pSgr) + sizeof(SGR_RESET) - 1);
}

size_t colourLines(const char* pSgr, const char* p, size_t n, char* out) {
    const size_t nSgr = strlen(pSgr);
    const size_t nReset = sizeof(SGR_RESET) - 1;
    const char* pEnd = p + n;
    char* q = out;
    while (p < pEnd) {
        const char* pFeed =
            static_cast<const char*>(memchr(p, '\n', size_t(pEnd - p)));
        const char* pLineEnd = pFeed ? pFeed : pEnd;
        size_t nLine = size_t(pLineEnd - p);
        if (nLine > 0) {
            memcpy(q, pSgr, nSgr);
            q += nSgr;
            memcpy(q, p, nLine);
            q += nLine;
            memcpy(q, SGR_RESET, nReset);
            q += nReset;
        }
        if (!pFeed) break;
        *q++ = '\n';
        p = pFeed + 1;
    }
    return size_t(q - out);
}
