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

// UTF-8 in JSON texts: well-formed sequences pass as they are; every byte
// of an overlong form, a surrogate, a value past U+10FFFF, a stray
// continuation byte or a cut sequence becomes U+FFFD.
TEST(JsonUtf8, IllFormedSequencesBecomeOneReplacementPerByte) {
    auto replacements = [](int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += "\xEF\xBF\xBD";
        return s;
    };
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
        EXPECT_EQ(jsonText(c.bytes), "\"" + want + "\"");
        EXPECT_EQ(jsonText("a" + c.bytes + "z"), "\"a" + want + "z\"");
        EXPECT_EQ(jsonText("1234567" + c.bytes + "abcdefgh"),
                  "\"1234567" + want + "abcdefgh\"");
    }
}
