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

// ---- Tag names ------------------------------------------------------------

// Byte by byte: every byte below 0x20 and 0x7F as \xHH, the rest as is.
std::string referenceName(const std::string& name) {
    static const char HEX[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += HEX[c >> 4];
            out += HEX[c & 15];
        } else {
            out += char(c);
        }
    }
    return out;
}

std::string escapedName(const std::string& name) {
    std::string out(4 * name.size(), '\0');
    out.resize(escapeName(name.data(), int(name.size()), &out[0]));
    return out;
}

TEST(NameEscaping, EveryByteAtEveryPositionMatchesTheReference) {
    for (int c = 0; c < 256; ++c) {
        for (size_t at = 0; at < 10; ++at) {
            std::string name(10, 'n');
            name[at] = char(c);
            ASSERT_EQ(escapedName(name), referenceName(name))
                << "byte " << c << " at " << at;
        }
    }
    EXPECT_EQ(escapedName(""), "");
}

// A record as the stream renders it: line = prefix with the tag at offset
// 7, then the text.
struct RenderedRecord {
    std::string line;
    KQLogRecord rec;
    RenderedRecord(const std::string& tag, const std::string& stamp,
                   const std::string& text, ENUM_KQLOG_LEVEL eLevel,
                   const char* pLevel) {
        line = std::string("[") + pLevel + " " + tag + " " + stamp + "] " + text;
        rec.pLine = line.data();
        rec.nLineLen = line.size();
        rec.eLevel = eLevel;
        rec.nTagId = 0;
        rec.pTag = line.data() + 7;
        rec.iTagLen = int(tag.size());
        rec.pText = line.data() + line.size() - text.size();
        rec.iTextLen = int(text.size());
    }
};

std::string terminalOf(const KQLogRecord& rec) {
    std::string out(KQ_MAX_FORMATTED, '\0');
    out.resize(formatForTerminal(rec, &out[0]));
    return out;
}

std::string syslogOf(const KQLogRecord& rec, bool bEscape) {
    std::string out(KQ_MAX_FORMATTED, '\0');
    out.resize(formatSyslog(rec, bEscape, &out[0]));
    return out;
}

// Each control byte at each place of a tag: the terminal line and the
// syslog lines (terminal or not) show the tag as escapeName spells it, and
// the text as before.
TEST(NameEscaping, TagsInTerminalAndSyslogLines) {
    const std::string stamp = "01-01 00:00:00 0000";
    for (int c = 0; c < 0x80; ++c) {
        if (c >= 0x20 && c != 0x7F) continue;
        for (size_t at = 0; at < 3; ++at) {
            std::string tag = "tag";
            tag[at] = char(c);
            SCOPED_TRACE(::testing::Message() << "byte " << c << " at " << at);
            RenderedRecord r(tag, stamp, "one\ttwo\nthree\n", KQLOG_LEVEL_WARN,
                             "WARN ");
            const std::string prefix =
                "[WARN  " + referenceName(tag) + " " + stamp + "] ";
            EXPECT_EQ(terminalOf(r.rec), prefix + "one\ttwo\\nthree\n");
            const std::string lines =
                "<4>" + prefix + "one\ttwo\n" + "<4>" + prefix + "three\n";
            EXPECT_EQ(syslogOf(r.rec, false), lines);
            EXPECT_EQ(syslogOf(r.rec, true), lines);
        }
    }
}

// The largest syslog record: a ten-byte tag of control bytes, the widest
// stamp, and a text of 255 line feeds, each a line with the whole prefix.
TEST(NameEscaping, TheLargestSyslogRecordFits) {
    const std::string tag(10, '\x1b');
    RenderedRecord r(tag, "12-31 23:59:59 65535", std::string(255, '\n'),
                     KQLOG_LEVEL_FATAL, "FATAL");
    ASSERT_EQ(r.line.size() - 255, 40u);
    const std::string line =
        "<2>[FATAL " + referenceName(tag) + " 12-31 23:59:59 65535] \n";
    std::string want;
    for (int i = 0; i < 255; ++i) want += line;
    for (bool bEscape : {false, true}) {
        std::string got = syslogOf(r.rec, bEscape);
        EXPECT_EQ(got, want);
        EXPECT_LE(got.size(), KQ_MAX_FORMATTED);
    }
}

}  // namespace
