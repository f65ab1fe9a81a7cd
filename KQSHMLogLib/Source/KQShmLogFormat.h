// The writer's fast path for printf-style messages: the conversions that
// services log most (%d %i %u %x %X %c %s %%, with the length modifiers hh,
// h, l, ll, j, z and t, and no flags, width or precision) formatted by hand,
// as vsnprintf formats them, at a fraction of its cost. Anything else is
// left to vsnprintf. Pure: no system calls, no locale (these conversions
// do not depend on it).
#ifndef KQSHMLOGFORMAT_H
#define KQSHMLOGFORMAT_H

#include <cstdarg>
#include <cstddef>

// What a formatting produced: the whole output's length, and whether the
// whole output ends with a line feed, however much of it fitted.
struct KQFormatted {
    size_t nLen = 0;
    bool bEndsWithLineFeed = false;
};

// Formats pFormat with args into pOut, at most nCap - 1 bytes and a NUL
// (nCap at least 1), as vsnprintf would. args are read through a copy, so
// the caller's are left as they were. False, with pOut scratch, for a
// format it does not handle (a flag, a width or precision, a conversion
// outside the list above, %s of a null pointer): the caller formats with
// vsnprintf then.
bool KQFormatFast(char* pOut, size_t nCap, const char* pFormat, va_list args,
                  KQFormatted& result);

#endif
