// --grep's matcher: smart case, --case-sensitive, texts that are not valid
// UTF-8 (matched without failing), and the words of a bad pattern.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "TextMatch.h"

namespace {

std::unique_ptr<TextMatcher> compiled(const std::string& pattern,
                                      bool bCaseSensitive = false) {
    std::string error;
    std::unique_ptr<TextMatcher> p =
        TextMatcher::compile(pattern, bCaseSensitive, &error);
    EXPECT_TRUE(p) << pattern << ": " << error;
    EXPECT_EQ(error, "");
    return p;
}

bool matches(const TextMatcher& m, const std::string& text) {
    return m.matches(text.data(), text.size());
}

struct Case {
    const char* pattern;
    bool bCaseSensitive;
    bool bCaseless;  // as smart case decides
    std::vector<std::string> match, miss;
};

TEST(TextMatch, SmartCaseIsCaselessOnlyWithoutUpperCase) {
    const Case cases[] = {
        {"timeout", false, true,
         {"a timeout", "TIMEOUT", "Timeout here", "xtimeoutx"},
         {"time out", "timeou", ""}},
        {"Timeout", false, false, {"Timeout here"}, {"timeout", "TIMEOUT"}},
        {"timeout", true, false, {"a timeout"}, {"TIMEOUT", "Timeout"}},
        // Any upper-case letter counts, an escape's too (as journalctl -g).
        {"\\Stimeout", false, false, {"xtimeout"}, {"xTIMEOUT"}},
        {"\\d+ ms", false, true, {"took 12 MS"}, {"took ms"}},
        {"id=[0-9]+", false, true, {"ID=42"}, {"id="}},
        // Unicode letters, both ways.
        {"caf\xc3\xa9", false, true,  // café
         {"CAF\xc3\x89", "caf\xc3\xa9"},
         {"cafe"}},
        {"CAF\xc3\x89", false, false, {"CAF\xc3\x89"}, {"caf\xc3\xa9"}},
        {"\xc3\x89t\xc3\xa9", false, false, {"\xc3\x89t\xc3\xa9"},  // Été
         {"\xc3\xa9t\xc3\xa9"}},
        // Anchors: the text as written, its last line feed included.
        {"^start", false, true, {"start here\n"}, {"not start"}},
        {"end$", false, true, {"the end\n", "the end"}, {"end it\n"}},
        {"", false, true, {"", "anything"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        std::unique_ptr<TextMatcher> m = compiled(c.pattern, c.bCaseSensitive);
        ASSERT_TRUE(m);
        EXPECT_EQ(m->caseless(), c.bCaseless);
        for (const std::string& t : c.match) EXPECT_TRUE(matches(*m, t)) << t;
        for (const std::string& t : c.miss) EXPECT_FALSE(matches(*m, t)) << t;
    }
}

// Bytes that are no UTF-8 match nothing, and nothing fails around them:
// lone continuation bytes, a cut sequence, overlong forms, surrogates,
// values past U+10FFFF, 0xFF.
TEST(TextMatch, TextsThatAreNotUtf8AreMatchedWithoutFailing) {
    const std::string bad[] = {
        "\x80", "\xbf\xbf", "\xc3", "\xe2\x82", "\xf0\x9f\x98",
        "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
        "\xff", "\xfe\xff",
    };
    std::unique_ptr<TextMatcher> word = compiled("timeout");
    std::unique_ptr<TextMatcher> any = compiled(".");
    std::unique_ptr<TextMatcher> span = compiled("a.b");
    std::unique_ptr<TextMatcher> upper = compiled("TIMEOUT");
    ASSERT_TRUE(word && any && span && upper);
    for (const std::string& b : bad) {
        SCOPED_TRACE(::testing::PrintToString(b));
        EXPECT_TRUE(matches(*word, b + " timeout " + b));
        EXPECT_TRUE(matches(*word, b + "TIMEOUT"));
        EXPECT_TRUE(matches(*word, "timeout" + b));
        EXPECT_FALSE(matches(*word, b + b));
        EXPECT_TRUE(matches(*upper, b + "TIMEOUT" + b));
        // A bad byte is no character: "." never matches it alone, and a
        // match never spans it.
        EXPECT_FALSE(matches(*any, b));
        EXPECT_TRUE(matches(*any, b + "x"));
        EXPECT_FALSE(matches(*span, "a" + b + "b"));
        EXPECT_TRUE(matches(*span, "a" + b + "axb"));
    }
    // Valid sequences next to bad bytes still match as characters.
    std::unique_ptr<TextMatcher> e = compiled("\xc3\xa9");
    ASSERT_TRUE(e);
    EXPECT_TRUE(matches(*e, "\xff\xc3\xa9\xff"));
    EXPECT_TRUE(matches(*e, "\xc3\x89"));
    EXPECT_FALSE(matches(*e, "\xc3"));
}

// Every text the ring can hold: all 255 byte values but NUL, up to 255
// bytes; matching must neither fail nor find what is not there.
TEST(TextMatch, EveryByteValueIsSafe) {
    std::string all;
    for (int c = 1; c < 256; ++c) all += char(c);
    std::unique_ptr<TextMatcher> tail = compiled("\\xfe\\xff");  // U+00FE U+00FF
    std::unique_ptr<TextMatcher> ascii = compiled("xyz");
    std::unique_ptr<TextMatcher> del = compiled("\\x7f");
    std::unique_ptr<TextMatcher> last = compiled("[\\x01-\\x7f]$");
    ASSERT_TRUE(tail && ascii && del && last);
    for (size_t at = 0; at < all.size(); ++at) {
        SCOPED_TRACE(at);
        std::string text = all.substr(at);
        EXPECT_FALSE(matches(*tail, text));  // raw bytes are not U+00FE
        EXPECT_EQ(matches(*ascii, text), at <= size_t('x' - 1));
        EXPECT_EQ(matches(*del, text), at <= 0x7eu);
        // The text ends in a bad byte: nothing matches at its end.
        EXPECT_FALSE(matches(*last, text));
        EXPECT_EQ(matches(*last, all.substr(0, at + 1)), at <= 0x7eu);
    }
}

TEST(TextMatch, JitCompilesWhereAvailable) {
    std::unique_ptr<TextMatcher> m = compiled("timeout [0-9]+");
    ASSERT_TRUE(m);
#if defined(__x86_64__) || defined(__aarch64__)
    EXPECT_TRUE(m->jit());
#endif
}

TEST(TextMatch, ABadPatternIsRefusedWithPcre2sMessageAndOffset) {
    struct {
        std::string pattern;
        std::string error;
    } cases[] = {
        {"(", "missing closing parenthesis at offset 1"},
        {"a)", "unmatched closing parenthesis at offset 1"},
        {"[z-a]", "range out of order in character class at offset 3"},
        {"x{2,1}", "numbers out of order in {} quantifier at offset 5"},
        {"*x", "quantifier does not follow a repeatable item at offset 0"},
        {"\\", "\\ at end of pattern at offset 1"},
        {"ok\xff", "UTF-8 error: illegal byte (0xfe or 0xff) at offset 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern);
        for (bool bCaseSensitive : {false, true}) {
            std::string error;
            EXPECT_FALSE(TextMatcher::compile(c.pattern, bCaseSensitive, &error));
            EXPECT_EQ(error, c.error);
        }
    }
}

}  // namespace
