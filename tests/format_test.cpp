// The writer's fast formatting against vsnprintf, the slow and obviously
// correct reference: the same bytes, the same whole length and the same
// final line feed, also when the output is cut; formats it does not handle
// are refused and left to vsnprintf.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "KQShmLogFormat.h"

namespace {

const size_t CAP = 256;

// Formats with both; false when the fast path refused.
bool formatBoth(std::string* pFast, std::string* pSlow, KQFormatted* pOut,
                const char* pFormat, ...) __attribute__((format(printf, 4, 5)));
bool formatBoth(std::string* pFast, std::string* pSlow, KQFormatted* pOut,
                const char* pFormat, ...) {
    char fast[CAP], slow[CAP];
    va_list args;
    va_start(args, pFormat);
    bool bHandled = KQFormatFast(fast, CAP, pFormat, args, *pOut);
    // The fast path left args as they were: vsnprintf reads them from the
    // start.
    int iLen = vsnprintf(slow, CAP, pFormat, args);
    va_end(args);
    *pSlow = std::string(slow, size_t(iLen) < CAP ? size_t(iLen) : CAP - 1);
    if (bHandled) *pFast = std::string(fast, pOut->nLen < CAP ? pOut->nLen : CAP - 1);
    pOut->bEndsWithLineFeed = bHandled && pOut->bEndsWithLineFeed;
    if (bHandled) {
        EXPECT_EQ(pOut->nLen, size_t(iLen)) << pFormat;
    }
    return bHandled;
}

#define EXPECT_SAME(...)                                                     \
    do {                                                                     \
        std::string fast, slow;                                              \
        KQFormatted out;                                                     \
        EXPECT_TRUE(formatBoth(&fast, &slow, &out, __VA_ARGS__)) << #__VA_ARGS__; \
        EXPECT_EQ(fast, slow) << #__VA_ARGS__;                               \
    } while (0)

// The fast path alone: for formats vsnprintf is not to be given here.
bool handled(const char* pFormat, ...) {
    char out[CAP];
    KQFormatted result;
    va_list args;
    va_start(args, pFormat);
    bool bHandled = KQFormatFast(out, CAP, pFormat, args, result);
    va_end(args);
    return bHandled;
}

}  // namespace

TEST(FastFormat, MatchesVsnprintf) {
    EXPECT_SAME("plain text, no conversion\n");
    EXPECT_SAME("%s", "");
    EXPECT_SAME("request %ld served in %d us from %s\n", 123456789L, 420, "10.1.2.3");
    EXPECT_SAME("%d %d %d %d %i", 0, -1, INT_MIN, INT_MAX, 9);
    EXPECT_SAME("%ld %ld %lld %lld", LONG_MIN, LONG_MAX, LLONG_MIN, 10LL);
    EXPECT_SAME("%u %u %lu %llu %zu", 0u, UINT_MAX, ULONG_MAX, 99ULL, size_t(SIZE_MAX));
    EXPECT_SAME("%x %X %lx %llX %x", 0xdeadbeefu, 0xabcdefu, 0x123456789abcUL, ~0ULL, 0u);
    EXPECT_SAME("%hd %hu %hhd %hhu %hx", 70000, 70000, 300, 300, 0x12345);
    EXPECT_SAME("%jd %zd %td %ju", intmax_t(-5), size_t(7), ptrdiff_t(-8), uintmax_t(9));
    EXPECT_SAME("%c%c%c", 'a', 0, 'b');
    EXPECT_SAME("100%% of %s%%", "it");
    // Longer than the buffer: cut there, the whole length counted.
    std::string x300(300, 'x');
    EXPECT_SAME("%s and %d more\n", x300.c_str(), 5);
}

// Whether the whole output ends with a line feed, also when it was cut.
TEST(FastFormat, TellsTheWholeOutputsLastByte) {
    std::string x300(300, 'x'), fast, slow;
    KQFormatted out;
    ASSERT_TRUE(formatBoth(&fast, &slow, &out, "%s\n", x300.c_str()));
    EXPECT_TRUE(out.bEndsWithLineFeed);
    ASSERT_TRUE(formatBoth(&fast, &slow, &out, "a\n%s", x300.c_str()));
    EXPECT_FALSE(out.bEndsWithLineFeed);
    ASSERT_TRUE(formatBoth(&fast, &slow, &out, "%s", ""));
    EXPECT_FALSE(out.bEndsWithLineFeed);
    EXPECT_EQ(out.nLen, 0u);
}

TEST(FastFormat, LeavesTheRestToVsnprintf) {
    EXPECT_FALSE(handled("%5d", 1));
    EXPECT_FALSE(handled("%-d", 1));
    EXPECT_FALSE(handled("%05d", 1));
    EXPECT_FALSE(handled("%.3s", "abcdef"));
    EXPECT_FALSE(handled("%*d", 4, 1));
    EXPECT_FALSE(handled("%f", 1.5));
    EXPECT_FALSE(handled("%p", static_cast<void*>(nullptr)));
    EXPECT_FALSE(handled("%s", static_cast<const char*>(nullptr)));
    EXPECT_FALSE(handled("%ls", L"wide"));
    EXPECT_FALSE(handled("%1$d", 1));
    EXPECT_FALSE(handled("trailing %"));
    EXPECT_TRUE(handled("%d%%", 1));
}
