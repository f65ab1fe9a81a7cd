#include "TextMatch.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstdio>

namespace {

// UTF-8 for patterns and texts; a text that is not valid UTF-8 is matched
// all the same, its bad bytes matching nothing (PCRE2 10.34 and later).
const uint32_t COMPILE_OPTIONS = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;

pcre2_code* compileCode(const std::string& pattern, uint32_t iOptions,
                        int* pError, PCRE2_SIZE* pOffset) {
    return pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()),
                         pattern.size(), iOptions, pError, pOffset, nullptr);
}

// Whether the pattern holds an upper-case letter: journalctl's rule, by
// PCRE2's own Unicode tables.
bool hasUpperCase(const std::string& pattern) {
    int iError;
    PCRE2_SIZE iOffset;
    pcre2_code* pUpper = compileCode("\\p{Lu}", COMPILE_OPTIONS, &iError,
                                     &iOffset);
    if (!pUpper) return false;
    pcre2_match_data* pData = pcre2_match_data_create_from_pattern(pUpper,
                                                                   nullptr);
    int iResult = pData ? pcre2_match(pUpper,
                                      reinterpret_cast<PCRE2_SPTR>(
                                          pattern.data()),
                                      pattern.size(), 0, 0, pData, nullptr)
                        : -1;
    pcre2_match_data_free(pData);
    pcre2_code_free(pUpper);
    return iResult >= 0;
}

}  // namespace

struct TextMatcher::Impl {
    pcre2_code* pCode = nullptr;
    pcre2_match_data* pData = nullptr;
};

std::unique_ptr<TextMatcher> TextMatcher::compile(const std::string& pattern,
                                                  bool bCaseSensitive,
                                                  std::string* pError) {
    bool bCaseless = !bCaseSensitive && !hasUpperCase(pattern);
    int iError;
    PCRE2_SIZE iOffset;
    pcre2_code* pCode =
        compileCode(pattern, COMPILE_OPTIONS | (bCaseless ? PCRE2_CASELESS : 0),
                    &iError, &iOffset);
    if (!pCode) {
        PCRE2_UCHAR message[256];
        if (pcre2_get_error_message(iError, message, sizeof(message)) < 0)
            snprintf(reinterpret_cast<char*>(message), sizeof(message),
                     "error %d", iError);
        *pError = reinterpret_cast<const char*>(message);
        *pError += " at offset " + std::to_string(iOffset);
        return nullptr;
    }
    std::unique_ptr<TextMatcher> pMatcher(new TextMatcher);
    pMatcher->m_pImpl = new Impl;
    pMatcher->m_pImpl->pCode = pCode;
    pMatcher->m_bCaseless = bCaseless;
    // Without JIT (a platform PCRE2 has none for) the interpreter matches.
    pMatcher->m_bJit = pcre2_jit_compile(pCode, PCRE2_JIT_COMPLETE) == 0;
    pMatcher->m_pImpl->pData =
        pcre2_match_data_create_from_pattern(pCode, nullptr);
    if (!pMatcher->m_pImpl->pData) {
        *pError = "out of memory";
        return nullptr;
    }
    return pMatcher;
}

TextMatcher::~TextMatcher() {
    if (!m_pImpl) return;
    pcre2_match_data_free(m_pImpl->pData);
    pcre2_code_free(m_pImpl->pCode);
    delete m_pImpl;
}

bool TextMatcher::matches(const char* p, size_t n) const {
    PCRE2_SPTR pSubject = reinterpret_cast<PCRE2_SPTR>(p ? p : "");
    int iResult = m_bJit ? pcre2_jit_match(m_pImpl->pCode, pSubject, n, 0, 0,
                                           m_pImpl->pData, nullptr)
                         : pcre2_match(m_pImpl->pCode, pSubject, n, 0, 0,
                                       m_pImpl->pData, nullptr);
    return iResult >= 0;
}
