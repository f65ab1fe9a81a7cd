// The JSON escaping of kqlogreader's record formats, fast path against a
// slow, obviously correct escaper: every byte value at every position of
// texts long enough for the eight-byte scan.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "RecordFormat.h"

namespace {

// Byte by byte: JSON escapes, and U+FFFD for each byte that does not
// start a valid UTF-8 sequence (here only ASCII and lone bytes are used,
// so a byte of 0x80 and above is always replaced).
std::string referenceJsonString(const std::string& text) {
    static const char HEX[] = "0123456789abcdef";
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\b') {
            out += "\\b";
        } else if (c == '\f') {
            out += "\\f";
        } else if (c < 0x20) {
            out += "\\u00";
            out += HEX[c >> 4];
            out += HEX[c & 15];
        } else if (c >= 0x80) {
            out += "\xEF\xBF\xBD";
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

// The "text" member of formatJson's object for a record of that text.
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
    size_t at = out.find(",\"text\":");
    EXPECT_NE(at, std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 2), "}\n");
    return out.substr(at + 8, out.size() - 2 - (at + 8));
}

TEST(JsonEscaping, EveryByteAtEveryPositionMatchesTheReference) {
    for (int c = 1; c < 256; ++c) {
        if (c == '\n') continue;  // a last line feed is dropped: below
        for (size_t at = 0; at < 20; ++at) {
            std::string text(20, 'a');
            text[at] = char(c);
            ASSERT_EQ(jsonText(text), referenceJsonString(text))
                << "byte " << c << " at " << at;
        }
    }
}

TEST(JsonEscaping, OnlyTheLastLineFeedIsDropped) {
    EXPECT_EQ(jsonText("abcdefghij\nklmnopq\n"),
              referenceJsonString("abcdefghij\nklmnopq"));
    EXPECT_EQ(jsonText("\n"), "\"\"");
}

TEST(JsonEscaping, ValidUtf8PassesWhole) {
    const std::string text = "temp 21\xC2\xB0" "C \xE2\x82\xAC 5 \xF0\x9F\x99\x82 ok";
    EXPECT_EQ(jsonText(text), "\"" + text + "\"");
    // Cut short, overlong and surrogate forms are not UTF-8.
    EXPECT_EQ(jsonText("abcdefgh\xE2\x82"), "\"abcdefgh\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_EQ(jsonText("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_EQ(jsonText("\xED\xA0\x80"),
              "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
}

}  // namespace
