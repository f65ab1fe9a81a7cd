// UTF-8 in kqlogreader's JSON texts: well-formed sequences pass as they
// are; every byte of an overlong form, a surrogate, a value past U+10FFFF,
// a stray continuation byte or a cut sequence becomes U+FFFD.
#include <gtest/gtest.h>

#include <string>

#include "RecordFormat.h"

namespace {

// The "text" member of formatJson's object for a record of that text,
// without its quotes.
std::string jsonText(const std::string& text) {
    std::string line = "[INFO  t 01-01 00:00:00 0000] " + text;
    KQLogRecord rec;
    rec.pLine = line.data();
    rec.nLineLen = line.size();
    rec.eLevel = KQLOG_LEVEL_INFO;
    rec.nTagId = 0;
    rec.pTag = line.data() + 7;
    rec.iTagLen = 1;
    rec.bTimeValid = false;
    rec.pText = line.data() + line.size() - text.size();
    rec.iTextLen = int(text.size());
    IsoTimeCache cache;
    std::string out(KQ_MAX_FORMATTED, '\0');
    out.resize(formatJson(rec, cache, &out[0]));
    const std::string key = ",\"text\":\"";
    size_t at = out.find(key);
    if (at == std::string::npos || out.size() < at + key.size() + 3 ||
        out.compare(out.size() - 3, 3, "\"}\n") != 0)
        return "malformed object: " + out;
    return out.substr(at + key.size(), out.size() - 3 - (at + key.size()));
}

std::string replacements(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "\xEF\xBF\xBD";
    return s;
}

}  // namespace

TEST(JsonUtf8, IllFormedSequencesBecomeOneReplacementPerByte) {
    struct Case {
        const char* name;
        std::string bytes;
        int replaced;  // 0: kept as they are
    } cases[] = {
        {"U+0080, the first two-byte value", "\xC2\x80", 0},
        {"U+07FF", "\xDF\xBF", 0},
        {"U+0800, the first three-byte value", "\xE0\xA0\x80", 0},
        {"U+D7FF, before the surrogates", "\xED\x9F\xBF", 0},
        {"U+E000, after the surrogates", "\xEE\x80\x80", 0},
        {"U+FFFF", "\xEF\xBF\xBF", 0},
        {"U+10000, the first four-byte value", "\xF0\x90\x80\x80", 0},
        {"U+10FFFF, the last value", "\xF4\x8F\xBF\xBF", 0},
        {"overlong '/' in two bytes", "\xC0\xAF", 2},
        {"overlong U+007F in two bytes", "\xC1\xBF", 2},
        {"overlong '/' in three bytes", "\xE0\x80\xAF", 3},
        {"overlong U+07FF in three bytes", "\xE0\x9F\xBF", 3},
        {"overlong '/' in four bytes", "\xF0\x80\x80\xAF", 4},
        {"overlong U+FFFF in four bytes", "\xF0\x8F\xBF\xBF", 4},
        {"surrogate U+D800", "\xED\xA0\x80", 3},
        {"surrogate U+DFFF", "\xED\xBF\xBF", 3},
        {"U+110000, past the last value", "\xF4\x90\x80\x80", 4},
        {"lead byte F5", "\xF5\x80\x80\x80", 4},
        {"lone continuation byte", "\x80", 1},
        {"two-byte form cut short", "\xC3", 1},
        {"three-byte form cut short", "\xE2\x82", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string want =
            c.replaced == 0 ? c.bytes : replacements(c.replaced);
        // Alone, between ASCII, and where the eight-byte scan meets it.
        EXPECT_EQ(jsonText(c.bytes), want);
        EXPECT_EQ(jsonText("a" + c.bytes + "z"), "a" + want + "z");
        EXPECT_EQ(jsonText("1234567" + c.bytes + "abcdefgh"),
                  "1234567" + want + "abcdefgh");
    }
}
