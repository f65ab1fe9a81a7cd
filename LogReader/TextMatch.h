// kqlogreader's --grep: a PCRE2 regular expression matched against record
// texts. The only part of the tool that needs PCRE2; nothing of it shows
// in this header.
#ifndef KQ_READER_TEXT_MATCH_H
#define KQ_READER_TEXT_MATCH_H

#include <cstddef>
#include <memory>
#include <string>

class TextMatcher {
public:
    // Compiles pattern (UTF-8). bCaseSensitive false: smart case, caseless
    // when the pattern holds no upper-case letter (any Unicode upper-case
    // letter, wherever it stands: "\S" counts, as in journalctl -g); true:
    // case counts always. Null when the pattern is not a valid expression,
    // with PCRE2's message and the offset in the pattern where it stopped
    // in *pError ("missing closing parenthesis at offset 4").
    static std::unique_ptr<TextMatcher> compile(const std::string& pattern,
                                                bool bCaseSensitive,
                                                std::string* pError);
    ~TextMatcher();
    TextMatcher(const TextMatcher&) = delete;
    TextMatcher& operator=(const TextMatcher&) = delete;

    // Whether the pattern matches anywhere in the n bytes at p. Texts that
    // are not valid UTF-8 are matched too, never failing: a match never
    // spans a byte that is not part of a valid sequence. A match that
    // PCRE2 gives up on (its match limit) counts as none. Not for two
    // threads at once: the match data is the matcher's own.
    bool matches(const char* p, size_t n) const;

    // Whether the pattern was compiled caseless (smart case, no upper case).
    bool caseless() const { return m_bCaseless; }
    // Whether PCRE2's JIT compiled it.
    bool jit() const { return m_bJit; }

private:
    TextMatcher() = default;
    struct Impl;
    Impl* m_pImpl = nullptr;
    bool m_bCaseless = false;
    bool m_bJit = false;
};

#endif
