// The JSON escaping of kqlogreader's record formats, fast path against a
// slow, obviously correct escaper: every byte value at every position of
// texts long enough for the eight-byte scan.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "GridRing.h"
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

// Plain text goes out in blocks of 16 bytes and one that ends on the
// text's end, or, below 16 bytes, in two of 8 or of 4: texts of 3, 5, 12,
// 16, 20 and 47 bytes put a byte in the first block, a later one, the
// overlap of the last two, and in each kind of tail.
TEST(JsonEscaping, EveryByteAtEveryPositionMatchesTheReference) {
    for (size_t len : {3, 5, 12, 16, 20, 47}) {
        for (int c = 1; c < 256; ++c) {
            if (c == '\n') continue;  // a last line feed is dropped: below
            for (size_t at = 0; at < len; ++at) {
                std::string text(len, 'a');
                text[at] = char(c);
                ASSERT_EQ(jsonText(text), referenceJsonString(text))
                    << "byte " << c << " at " << at << " of " << len;
            }
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

// ---- short-iso ----------------------------------------------------------

std::string shortIsoOf(const KQLogRecord& rec, bool bEscape) {
    IsoTimeCache cache;
    std::string out(KQ_MAX_FORMATTED, '\0');
    out.resize(formatShortIso(rec, cache, bEscape, &out[0]));
    return out;
}

// The full time replaces the line's: local, with milliseconds carried and
// the offset, in every zone; "+00:00" in UTC.
TEST(ShortIso, TheTimeIsLocalIsoWithMillisecondsAndOffset) {
    const int64_t kNewYear2024 = 1704067200;  // 00:00:00 UTC
    struct {
        const char* zone;
        int64_t second;
        unsigned ms;
        const char* want;
    } cases[] = {
        {"UTC0", kNewYear2024, 7, "2024-01-01T00:00:00.007+00:00"},
        {"XXX-5:30", kNewYear2024, 7, "2024-01-01T05:30:00.007+05:30"},
        {"XXX+3", kNewYear2024, 0, "2023-12-31T21:00:00.000-03:00"},
        {"XXX-5:30", kNewYear2024 + 59, 999, "2024-01-01T05:30:59.999+05:30"},
        // Milliseconds of 1000 or more carry into the seconds.
        {"XXX-5:30", kNewYear2024 + 59, 1000, "2024-01-01T05:31:00.000+05:30"},
        {"XXX-5:30", kNewYear2024 + 59, 1500, "2024-01-01T05:31:00.500+05:30"},
        {"UTC0", kNewYear2024 - 1, 65535, "2024-01-01T00:01:04.535+00:00"},
        {"UTC0", 0, 0, "1970-01-01T00:00:00.000+00:00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + c.want);
        ScopedTimeZone zone(c.zone);
        RenderedRecord r("net", "01-01 00:00:00 0000", "up\n",
                         KQLOG_LEVEL_WARN, "WARN ");
        r.rec.bTimeValid = true;
        r.rec.iSecond = c.second;
        r.rec.nMillis = uint16_t(c.ms);
        const std::string want = std::string("[WARN  net ") + c.want + "] up\n";
        EXPECT_EQ(shortIsoOf(r.rec, false), want);
        EXPECT_EQ(shortIsoOf(r.rec, true), want);
    }
}

TEST(ShortIso, ATimeLocalTimeCannotShowIsZeros) {
    RenderedRecord r("t", "00-00 00:00:00 0005", "far\n", KQLOG_LEVEL_INFO,
                     "INFO ");
    r.rec.bTimeValid = false;
    r.rec.iSecond = INT64_MAX - 5;
    r.rec.nMillis = 5;
    EXPECT_EQ(shortIsoOf(r.rec, false),
              "[INFO  t 0000-00-00T00:00:00.000+00:00] far\n");
}

// On a terminal, tag and text are escaped exactly as in the short line.
TEST(ShortIso, EscapesAsTheTerminalLineDoes) {
    ScopedTimeZone zone("UTC0");
    const std::string stamp = "01-01 00:00:00 0000";
    const std::string iso = "1970-01-01T00:00:00.000+00:00";
    for (int c = 0; c < 0x80; ++c) {
        if (c >= 0x20 && c != 0x7F) continue;
        std::string tag = "t" + std::string(1, char(c)) + "g";
        std::string text = "a" + std::string(1, char(c)) + "b\tc\nd\n";
        SCOPED_TRACE(c);
        RenderedRecord r(tag, stamp, text, KQLOG_LEVEL_DEBUG, "DEBUG");
        r.rec.bTimeValid = true;
        std::string terminal = terminalOf(r.rec);
        size_t at = terminal.find(stamp);
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(shortIsoOf(r.rec, true),
                  terminal.replace(at, stamp.size(), iso));
        EXPECT_EQ(shortIsoOf(r.rec, false),
                  "[DEBUG " + tag + " " + iso + "] " + text);
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
