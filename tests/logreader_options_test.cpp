// Black-box tests of kqlogreader's long options: --version and --help, bad
// values, --file on segment images written by -D (and on broken ones),
// --lines, --tag and --level alone and together, printing once and
// following, and the json and syslog record formats. The tool runs as a
// child process on real segments under /var/run/; stdout, stderr and exit
// status are compared byte for byte, and JSON records are also parsed and
// checked field by field.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "ReaderToolText.h"
#include "TestSegment.h"
#include "ToolRunner.h"

namespace {

const std::string kTool = KQLOGREADER_PATH;
const std::string kUsage = kTool + kReaderUsageText;
const std::string kLongUsage =
    "         --file PATH read a segment image written by -D instead of a "
    "log\n"
    "         --lines N begin with the N newest lines\n"
    "         --tag LIST only lines of these tags (names or indexes, "
    "comma-separated)\n"
    "         --level LEVEL only lines of this level or higher (TRACE..FATAL "
    "or 0-5)\n"
    "         --output FORMAT short (default), short-iso, json or syslog\n"
    "         --since TIME only lines at or after TIME\n"
    "         --until TIME only lines at or before TIME (not with -n)\n"
    "            TIME: YYYY-MM-DD [hh:mm[:ss]], hh:mm[:ss], now, today,\n"
    "            yesterday, tomorrow, -1h30min, +2d, 10 min ago, @SECONDS\n"
    "         --grep PATTERN only lines whose text matches PATTERN (PCRE2;\n"
    "            caseless when PATTERN has no upper case)\n"
    "         --case-sensitive case counts in --grep always\n"
    "         --color[=WHEN] colour lines by level: auto (default), always, "
    "never\n"
    "         --utc show and read times in UTC\n"
    "         --cursor-file PATH with -d: resume after the record saved in "
    "PATH\n"
    "         --log NAME read /var/run/NAME; given more than once, the logs "
    "merged in time order\n"
    "         --all read every log under /var/run/, merged in time order\n"
    "         --list list the logs (those of --log, else all) with size, use, "
    "tags and times\n"
    "         --version show the version\n"
    "         --help show this message\n";
const char kDamaged[] = "nextLog return false!!\n";

// 2024-01-01 00:00:00 UTC.
const int64_t kNewYear2024 = 1704067200;

void expectRun(const std::vector<std::string>& args, const std::string& out,
               const std::string& err, int status = 1,
               const std::vector<std::string>& env = {}) {
    ToolResult r = runTool(kTool, args, env);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.exitStatus, status);
    EXPECT_EQ(r.termSignal, 0);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    return bool(out);
}

// A directory of its own under /tmp for image files, removed with all it
// holds when the test ends.
struct TempDir {
    std::string path = "/tmp/kqopt-XXXXXX";
    TempDir() {
        if (!mkdtemp(&path[0])) path.clear();
    }
    ~TempDir() {
        if (path.empty()) return;
        for (const std::string& f : files) unlink((path + "/" + f).c_str());
        for (const std::string& d : dirs) rmdir((path + "/" + d).c_str());
        rmdir(path.c_str());
    }
    // The path of a file named name here, removed at the end.
    std::string file(const std::string& name) {
        files.push_back(name);
        return path + "/" + name;
    }
    std::string dir(const std::string& name) {
        dirs.push_back(name);
        std::string p = path + "/" + name;
        mkdir(p.c_str(), 0700);
        return p;
    }
    std::vector<std::string> files, dirs;
};

const char* const kLevelPadded[6] = {"TRACE", "DEBUG", "INFO ",
                                     "WARN ", "ERROR", "FATAL"};
const char* const kLevelName[6] = {"TRACE", "DEBUG", "INFO",
                                   "WARN",  "ERROR", "FATAL"};

// The short line of a record of a segment whose starttime is 0, in UTC:
// sec below 60.
std::string shortLine(int level, const std::string& tag, unsigned sec,
                      unsigned ms, const std::string& text) {
    char stamp[32];
    snprintf(stamp, sizeof(stamp), " 01-01 00:00:%02u %04u] ", sec, ms);
    return "[" + std::string(kLevelPadded[level]) + " " + tag + stamp + text;
}

// ---- A small JSON reader for one record line ------------------------------
//
// Accepts exactly one object whose values are strings, integers or null,
// with nothing after it but a line feed; strings must be valid JSON (no raw
// control bytes, valid UTF-8, known escapes). Strings are decoded to UTF-8.

struct JsonField {
    std::string key;
    enum Kind { STRING, NUMBER, NUL } kind = NUL;
    std::string value;  // decoded string, or the number's digits
};

void putUtf8(uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | cp >> 6);
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | cp >> 12);
        out += char(0x80 | (cp >> 6 & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | cp >> 18);
        out += char(0x80 | (cp >> 12 & 0x3F));
        out += char(0x80 | (cp >> 6 & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

class JsonLine {
public:
    explicit JsonLine(const std::string& s) : m_s(s) {}

    // The fields in order, or false with what was wrong in error.
    bool parse(std::vector<JsonField>& fields, std::string& error) {
        if (!expect('{')) return fail(error, "no object");
        for (bool first = true;; first = false) {
            if (peek() == '}' && first) break;
            JsonField f;
            if (!readString(f.key)) return fail(error, "bad key");
            if (!expect(':')) return fail(error, "no colon");
            if (peek() == '"') {
                f.kind = JsonField::STRING;
                if (!readString(f.value)) return fail(error, "bad string");
            } else if (m_s.compare(m_i, 4, "null") == 0) {
                m_i += 4;
            } else {
                f.kind = JsonField::NUMBER;
                while (m_i < m_s.size() && isdigit((unsigned char)m_s[m_i]))
                    f.value += m_s[m_i++];
                if (f.value.empty()) return fail(error, "bad value");
            }
            fields.push_back(f);
            if (peek() == ',') {
                ++m_i;
                continue;
            }
            break;
        }
        if (!expect('}')) return fail(error, "no end of object");
        if (m_s.substr(m_i) != "\n") return fail(error, "not one line feed");
        return true;
    }

private:
    static bool fail(std::string& error, const char* what) {
        error = what;
        return false;
    }
    char peek() const { return m_i < m_s.size() ? m_s[m_i] : '\0'; }
    bool expect(char c) {
        if (peek() != c) return false;
        ++m_i;
        return true;
    }
    bool hex4(uint32_t& v) {
        if (m_i + 4 > m_s.size()) return false;
        v = 0;
        for (int k = 0; k < 4; ++k) {
            char c = m_s[m_i++];
            int d = isdigit((unsigned char)c) ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
            if (d < 0) return false;
            v = v << 4 | uint32_t(d);
        }
        return true;
    }
    // A raw UTF-8 sequence starting at m_i, copied to out.
    bool rawUtf8(std::string& out) {
        unsigned char c = (unsigned char)m_s[m_i];
        int n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        if (c > 0xF4 || n == 0 || m_i + n > m_s.size()) return false;
        uint32_t cp = c & (0x7F >> n);
        for (int k = 1; k < n; ++k) {
            unsigned char t = (unsigned char)m_s[m_i + k];
            if ((t & 0xC0) != 0x80) return false;
            cp = cp << 6 | (t & 0x3F);
        }
        static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        out.append(m_s, m_i, size_t(n));
        m_i += size_t(n);
        return true;
    }
    bool readString(std::string& out) {
        if (!expect('"')) return false;
        for (;;) {
            if (m_i >= m_s.size()) return false;
            unsigned char c = (unsigned char)m_s[m_i];
            if (c == '"') {
                ++m_i;
                return true;
            }
            if (c < 0x20) return false;
            if (c >= 0x80) {
                if (!rawUtf8(out)) return false;
                continue;
            }
            ++m_i;
            if (c != '\\') {
                out += char(c);
                continue;
            }
            char e = peek();
            ++m_i;
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                uint32_t cp;
                if (!hex4(cp)) return false;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    uint32_t lo;
                    if (!expect('\\') || !expect('u') || !hex4(lo) ||
                        lo < 0xDC00 || lo > 0xDFFF)
                        return false;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    return false;
                }
                putUtf8(cp, out);
                break;
            }
            default: return false;
            }
        }
    }

    const std::string& m_s;
    size_t m_i = 0;
};

// What one JSON record should hold.
struct JsonRecord {
    std::string time;  // empty: null
    std::string level;
    std::string tag;
    unsigned tagId;
    std::string text;  // decoded
};

// Parses line and compares it with want field by field, keys in order.
void expectJsonRecord(const std::string& line, const JsonRecord& want) {
    SCOPED_TRACE(line);
    std::vector<JsonField> fields;
    std::string error;
    ASSERT_TRUE(JsonLine(line).parse(fields, error)) << error;
    ASSERT_EQ(fields.size(), 5u);
    const char* const keys[5] = {"time", "level", "tag", "tag_id", "text"};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(fields[i].key, keys[i]);
    if (want.time.empty()) {
        EXPECT_EQ(fields[0].kind, JsonField::NUL);
    } else {
        EXPECT_EQ(fields[0].kind, JsonField::STRING);
        EXPECT_EQ(fields[0].value, want.time);
    }
    EXPECT_EQ(fields[1].kind, JsonField::STRING);
    EXPECT_EQ(fields[1].value, want.level);
    EXPECT_EQ(fields[2].kind, JsonField::STRING);
    EXPECT_EQ(fields[2].value, want.tag);
    EXPECT_EQ(fields[3].kind, JsonField::NUMBER);
    EXPECT_EQ(fields[3].value, std::to_string(want.tagId));
    EXPECT_EQ(fields[4].kind, JsonField::STRING);
    EXPECT_EQ(fields[4].value, want.text);
}

TEST(JsonLineReader, RejectsWhatIsNotJson) {
    // The reader the record checks rely on must itself refuse bad JSON.
    const char* const bad[] = {
        "{\"a\":\"x\x01\"}\n",   // raw control byte
        "{\"a\":\"\xff\"}\n",    // not UTF-8
        "{\"a\":\"\xc0\xaf\"}\n",  // overlong
        "{\"a\":\"\\x41\"}\n",   // unknown escape
        "{\"a\":\"\\ud800\"}\n",  // lone surrogate
        "{\"a\":\"x\"}",         // no line feed
        "{\"a\":\"x\"}\n\n",     // two
        "{\"a\":\"x\",}\n",
        "{\"a\" \"x\"}\n",
    };
    for (const char* line : bad) {
        std::vector<JsonField> fields;
        std::string error;
        EXPECT_FALSE(JsonLine(line).parse(fields, error)) << line;
    }
    std::vector<JsonField> fields;
    std::string error;
    ASSERT_TRUE(JsonLine("{\"a\":\"\\u00e9\\ud83d\\ude00\xe2\x82\xac\","
                         "\"b\":12,\"c\":null}\n")
                    .parse(fields, error))
        << error;
    ASSERT_EQ(fields.size(), 3u);
    EXPECT_EQ(fields[0].value, "\xc3\xa9\xf0\x9f\x98\x80\xe2\x82\xac");
    EXPECT_EQ(fields[1].value, "12");
    EXPECT_EQ(fields[2].kind, JsonField::NUL);
}

// ---- Command line -------------------------------------------------------

TEST(KqlogreaderLongOptions, VersionAndHelpEndWithStatus0) {
    const std::string version = "kqlogreader 1.0.0\n";
    const std::string help = kUsage + kLongUsage;
    struct Case {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"--version"}, version},
        // Acted on where met: nothing attached, no banner.
        {{"-p", "nosuchlog", "-d", "--version"}, version},
        {{"--version", "--help"}, version},
        {{"--help"}, help},
        {{"--help", "--version", "-p", "x"}, help},
        {{"-p", "nosuchlog", "--help"}, help},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        expectRun(c.args, c.out, "", 0);
    }
    // -h keeps its status 1 and short usage.
    expectRun({"-h"}, kUsage, "");
}

class KqlogreaderOptions : public VarRunTest {};

TEST_F(KqlogreaderOptions, RejectsBadValuesBeforeAttaching) {
    TestSegment seg(4096, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "net");
    seg.appendNode("hello\n");
    const std::vector<uint8_t> before(seg.bytes(),
                                      seg.bytes() + seg.bytesSize());
    struct Case {
        const char* option;
        const char* value;
    } cases[] = {
        {"lines", ""},        {"lines", "-1"},      {"lines", "+1"},
        {"lines", " 1"},      {"lines", "1 "},      {"lines", "abc"},
        {"lines", "0x10"},    {"lines", "2147483648"},
        {"lines", "99999999999999999999"},
        {"tag", ""},          {"tag", ","},         {"tag", "net,"},
        {"tag", ",net"},      {"tag", "net,,0"},    {"tag", "255"},
        {"tag", "1000"},      {"tag", "elevenbytes"},
        {"tag", "net,12345678901"},
        {"level", ""},        {"level", "6"},       {"level", "-1"},
        {"level", "WARNING"}, {"level", "info "},   {"level", " 3"},
        {"level", "10"},      {"level", "IN"},
        {"output", ""},       {"output", "JSON"},   {"output", "text"},
        {"output", "short,json"},
        {"file", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("--") + c.option + " [" + c.value + "]");
        const std::string want = "Wrong value[" + std::string(c.value) +
                                 "] for option --" + c.option + "!!\n" +
                                 kUsage;
        expectRun({"-p", seg.serviceName(), "-d", std::string("--") + c.option,
                   c.value},
                  want, "");
        // The --name=value form says the same.
        expectRun({"-p", seg.serviceName(), "-d",
                   std::string("--") + c.option + "=" + c.value},
                  want, "");
    }
    // The first bad value ends the run, before a later conflict with --file.
    expectRun({"--file", "/nonexistent", "--lines", "x", "-p", "y"},
              "Wrong value[x] for option --lines!!\n" + kUsage, "");
    EXPECT_TRUE(std::equal(before.begin(), before.end(), seg.bytes()))
        << "the segment changed";
}

TEST(KqlogreaderLongOptions, ReportsMalformedLongOptionsAsGetoptDoes) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-p", "x", "-d", "--lines"},
         kTool + ": option '--lines' requires an argument\n"},
        {{"-p", "x", "--output"},
         kTool + ": option '--output' requires an argument\n"},
        {{"-p", "x", "--bogus"}, kTool + ": unrecognized option '--bogus'\n"},
        {{"--version=2"},
         kTool + ": option '--version' doesn't allow an argument\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        expectRun(c.args, kUsage, c.err);
    }
}

// ---- Records: a shared segment and its expected lines ---------------------

// Six records over four tags. Tag 2 "netx" and tag 3 "Net" tell exact,
// case-sensitive name matching from prefix or caseless matching.
struct Rec {
    uint8_t tag;
    int level;
    const char* text;
};
const char* const kTags[4] = {"net", "disk", "netx", "Net"};
const Rec kRecs[6] = {
    {0, 2, "n1\n"}, {1, 3, "d1\n"}, {2, 4, "x1\n"},
    {3, 2, "N1\n"}, {0, 4, "n2\n"}, {1, 1, "d2\n"},
};

void fillRecords(TestSegment& seg) {
    for (int i = 0; i < 4; ++i) seg.setTag(i, kTags[i]);
    for (int i = 0; i < 6; ++i)
        seg.appendNode(kRecs[i].text, kRecs[i].tag, uint8_t(kRecs[i].level),
                       uint32_t(i), uint16_t(i * 100));
}

// The short lines of the records listed, by index into kRecs.
std::string recLines(const std::vector<int>& which) {
    std::string s;
    for (int i : which)
        s += shortLine(kRecs[i].level, kTags[kRecs[i].tag], unsigned(i),
                       unsigned(i * 100), kRecs[i].text);
    return s;
}

TEST_F(KqlogreaderOptions, FiltersByTagLevelAndLineCount) {
    TestSegment seg(8192, "/var/run");
    ASSERT_TRUE(seg.ok());
    fillRecords(seg);
    struct Case {
        std::vector<std::string> args;
        std::vector<int> recs;
    } cases[] = {
        {{}, {0, 1, 2, 3, 4, 5}},
        {{"--output", "short"}, {0, 1, 2, 3, 4, 5}},
        // --tag: names, indexes and both; exact names only.
        {{"--tag", "net"}, {0, 4}},
        {{"--tag", "1"}, {1, 5}},
        {{"--tag", "net,1"}, {0, 1, 4, 5}},
        {{"--tag", "0,disk"}, {0, 1, 4, 5}},
        {{"--tag", "net,net,0"}, {0, 4}},
        {{"--tag", "Net"}, {3}},
        {{"--tag", "netx,3"}, {2, 3}},
        {{"--tag", "nope"}, {}},
        {{"--tag", "254"}, {}},
        {{"--tag", "nope", "--tag", "disk"}, {1, 5}},  // lists add up
        // --level: names in any case and numbers; that level and above.
        {{"--level", "warn"}, {1, 2, 4}},
        {{"--level", "WARN"}, {1, 2, 4}},
        {{"--level", "Warn"}, {1, 2, 4}},
        {{"--level", "3"}, {1, 2, 4}},
        {{"--level", "trace"}, {0, 1, 2, 3, 4, 5}},
        {{"--level", "0"}, {0, 1, 2, 3, 4, 5}},
        {{"--level", "debug"}, {0, 1, 2, 3, 4, 5}},
        {{"--level", "Info"}, {0, 1, 2, 3, 4}},
        {{"--level", "ERROR"}, {2, 4}},
        {{"--level", "fatal"}, {}},
        {{"--level", "5"}, {}},
        {{"--level", "0", "--level", "4"}, {2, 4}},  // the last one counts
        {{"--tag", "net", "--level", "error"}, {4}},
        // --lines: the newest N of what passes the filters.
        {{"--lines", "0"}, {}},
        {{"--lines", "1"}, {5}},
        {{"--lines", "3"}, {3, 4, 5}},
        {{"--lines", "6"}, {0, 1, 2, 3, 4, 5}},
        {{"--lines", "100"}, {0, 1, 2, 3, 4, 5}},
        {{"--lines", "2147483647"}, {0, 1, 2, 3, 4, 5}},
        {{"--lines", "1", "--tag", "net"}, {4}},
        {{"--lines", "2", "--level", "warn"}, {2, 4}},
        {{"--lines", "5", "--tag", "disk"}, {1, 5}},
        {{"--lines", "0", "--tag", "net"}, {}},
        {{"--lines", "1", "--tag", "Net,disk", "--level", "info"}, {3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        std::vector<std::string> args = {"-p", seg.serviceName(), "-d"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        expectRun(args, banner(seg.path()) + recLines(c.recs), "");
    }
}

// ---- --file -------------------------------------------------------------

// Runs the tool; its output for the check of a dump image.
ToolResult run(const std::vector<std::string>& args) {
    return runTool(kTool, args);
}

TEST_F(KqlogreaderOptions, FilePrintsWhatTheSegmentShowedWhenDumped) {
    TempDir tmp;
    ASSERT_FALSE(tmp.path.empty());
    const std::string image = tmp.file("image.bin");
    const std::vector<std::vector<std::string>> argSets = {
        {"-d"},
        {"-s"},
        {"-d", "-e"},
        {"-d", "--lines", "2", "--tag", "disk,0"},
        {"-d", "--level", "warn", "--output", "json"},
        {"-d", "--output", "syslog"},
        {},
    };
    std::vector<ToolResult> atDump;
    std::string segPath;
    {
        TestSegment seg(8192, "/var/run");
        ASSERT_TRUE(seg.ok());
        fillRecords(seg);
        seg.setTag(1, "disk", 4, false);  // a level and a switch to list
        seg.head()->starttime = kNewYear2024;
        segPath = seg.path();
        expectRun({"-p", seg.serviceName(), "-D", image},
                  banner(segPath) + "Dumping Log Memory tp [" + image + "]...\n",
                  "");
        for (const auto& extra : argSets) {
            std::vector<std::string> args = {"-p", seg.serviceName()};
            args.insert(args.end(), extra.begin(), extra.end());
            atDump.push_back(run(args));
        }
        // Changed after the dump: the image must not show it.
        seg.appendNode("later\n", 0, 5, 9, 9);
        seg.setTag(4, "added");
    }  // the segment and its log path are gone now
    ASSERT_EQ(atDump[0].out.compare(0, banner(segPath).size(), banner(segPath)),
              0);
    for (size_t i = 0; i < argSets.size(); ++i) {
        SCOPED_TRACE(::testing::PrintToString(argSets[i]));
        std::vector<std::string> args = {"--file", image};
        args.insert(args.end(), argSets[i].begin(), argSets[i].end());
        ToolResult r = run(args);
        const ToolResult& want = atDump[i];
        // The same after the banner, wherever the banner went.
        std::string wantOut = want.out, wantErr = want.err;
        std::string& withBanner =
            wantOut.compare(0, banner(segPath).size(), banner(segPath)) == 0
                ? wantOut
                : wantErr;
        ASSERT_EQ(withBanner.compare(0, banner(segPath).size(), banner(segPath)),
                  0);
        withBanner = banner(image) + withBanner.substr(banner(segPath).size());
        EXPECT_EQ(r.out, wantOut);
        EXPECT_EQ(r.err, wantErr);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(want.exitStatus, 1);
    }
    // The printed lines themselves, so that the comparison above is not of
    // two empty outputs.
    EXPECT_NE(atDump[0].out.find("[ERROR net 01-01 00:00:04 0400] n2\n"),
              std::string::npos);
    EXPECT_NE(atDump[1].out.find("[1] Tag[disk] Level[ERROR:4] [Disabled]\n"),
              std::string::npos);
    EXPECT_EQ(atDump[2].out, banner(segPath));  // -e: nothing written since
}

// Writes a copy of a real dump image with the changes given.
class FileImages : public KqlogreaderOptions {
protected:
    void SetUp() override {
        KqlogreaderOptions::SetUp();
        if (IsSkipped()) return;
        ASSERT_FALSE(tmp.path.empty());
        TestSegment seg(4096, "/var/run");
        ASSERT_TRUE(seg.ok());
        fillRecords(seg);
        good = tmp.file("good.bin");
        ToolResult r = runTool(kTool, {"-p", seg.serviceName(), "-D", good});
        ASSERT_EQ(r.err, "");
        image = readFile(good);
        ASSERT_EQ(image.size(), sizeof(shmloghead) + 4096);
    }
    std::string imageWith(const std::string& name, std::string bytes) {
        std::string path = tmp.file(name);
        EXPECT_TRUE(writeFile(path, bytes));
        return path;
    }
    static std::string setU32(std::string bytes, size_t at, uint32_t v) {
        memcpy(&bytes[at], &v, 4);
        return bytes;
    }
    TempDir tmp;
    std::string good;
    std::string image;
};

TEST_F(FileImages, RejectsImagesThatCannotBeASegment) {
    const uint32_t kHdr = sizeof(shmloghead);
    struct Case {
        const char* name;
        std::string bytes;
        std::string err;  // between the banner and Init failed
    } cases[] = {
        {"half the ring", image.substr(0, kHdr + 2048),
         "Shm header invalid, hdr size[3608], logcontentbuf size[4096]\n"},
        {"one byte short", image.substr(0, image.size() - 1),
         "Shm header invalid, hdr size[3608], logcontentbuf size[4096]\n"},
        {"part of a header", image.substr(0, kHdr - 1),
         "Shm header invalid, hdr size[3608], logcontentbuf size[4096]\n"},
        {"no sizes", image.substr(0, 11),
         "Shm header invalid, hdr size[0], logcontentbuf size[0]\n"},
        {"empty", "",
         "Shm header invalid, hdr size[0], logcontentbuf size[0]\n"},
        {"ring larger than the file", setU32(image, 8, 8192),
         "Shm header invalid, hdr size[3608], logcontentbuf size[8192]\n"},
        {"header larger than the file", setU32(image, 4, 0xFFFFFFFFu),
         "Shm header invalid, hdr size[4294967295], logcontentbuf "
         "size[4096]\n"},
        {"sizes that wrap 32 bits", setU32(setU32(image, 4, 0xFFFFF000u), 8,
                                           0x2000),
         "Shm header invalid, hdr size[4294963200], logcontentbuf "
         "size[8192]\n"},
        {"ring above 2^31-1", setU32(image, 8, 0x80000000u),
         "Shm header invalid, hdr size[3608], logcontentbuf "
         "size[2147483648]\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = imageWith(std::string(c.name) + ".bin", c.bytes);
        expectRun({"--file", path, "-d"}, banner(path) + kInitFailed, c.err);
        // The record formats keep stdout for records.
        expectRun({"--file", path, "-d", "--output", "json"}, "",
                  banner(path) + c.err + kInitFailed);
    }
}

TEST_F(FileImages, ReportsFilesThatCannotBeOpened) {
    const std::string missing = tmp.path + "/missing.bin";
    expectRun({"--file", missing, "-d"}, banner(missing) + kInitFailed,
              "open[" + missing + "] failed!! err: No such file or "
              "directory\n");
    expectRun({"--file", missing, "-s", "--output", "syslog"}, "",
              banner(missing) + "open[" + missing +
                  "] failed!! err: No such file or directory\n" + kInitFailed);
    const std::string dir = tmp.dir("adir");
    expectRun({"--file", dir, "-d"}, banner(dir) + kInitFailed,
              "open[" + dir + "] failed!! err: Invalid argument\n");
    // The good image, for contrast: without -d only the banner.
    expectRun({"--file", good}, banner(good), "");
    expectRun({"--file", good, "-d", "--lines", "1"},
              banner(good) + recLines({5}), "");
}

TEST_F(FileImages, RefusesOptionsAnImageCannotServe) {
    const std::string dumpTarget = tmp.path + "/never-written.bin";
    struct Case {
        std::vector<std::string> args;
        char option;
    } cases[] = {
        {{"--file", good, "-n", "-d"}, 'n'},
        {{"--file", good, "-d", "-l", "2"}, 'l'},
        {{"--file", good, "-i", "1", "-l", "2"}, 'i'},
        {{"--file", good, "-t", "1"}, 't'},
        {{"--file", good, "-f", "1"}, 'f'},
        {{"--file", good, "-D", dumpTarget}, 'D'},
        {{"--file", good, "-p", "x", "-d"}, 'p'},
        {{"--file", good, "-pname"}, 'p'},
        // The first in command-line order, before or after --file.
        {{"-t", "1", "-n", "--file", good}, 't'},
        {{"-dn", "--file", good, "-l", "1"}, 'n'},
        {{"-f", "2", "--file", good, "-D", dumpTarget}, 'f'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        expectRun(c.args,
                  std::string("Option -") + c.option +
                      " cannot be used with --file!!\n" + kUsage,
                  "");
    }
    struct stat st;
    EXPECT_NE(stat(dumpTarget.c_str(), &st), 0) << "-D wrote a file";
    EXPECT_EQ(readFile(good), image) << "the image changed";
}

// ---- json -----------------------------------------------------------------

TEST_F(KqlogreaderOptions, JsonEscapesTextsAndTagsAndDropsOneLineFeed) {
    TestSegment seg(8192, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "t");
    seg.setTag(1, "q\"b\\s\x01");  // a hostile tag name
    struct Case {
        const char* name;
        std::string text;
        std::string json;     // the text's JSON string, as printed
        std::string decoded;  // what a JSON reader makes of it
    } cases[] = {
        {"plain", "plain\n", "\"plain\"", "plain"},
        {"no line feed", "no feed", "\"no feed\"", "no feed"},
        {"quote", "say \"hi\"\n", "\"say \\\"hi\\\"\"", "say \"hi\""},
        {"backslash", "a\\b\n", "\"a\\\\b\"", "a\\b"},
        {"short escapes", "\t\r\b\f|\n", "\"\\t\\r\\b\\f|\"", "\t\r\b\f|"},
        {"other control bytes", std::string("\x01\x1f\x1b[0m\x7f|\n"),
         "\"\\u0001\\u001f\\u001b[0m\x7f|\"", "\x01\x1f\x1b[0m\x7f|"},
        {"inner line feeds", "a\nb\n", "\"a\\nb\"", "a\nb"},
        {"only the last line feed dropped", "a\n\n", "\"a\\n\"", "a\n"},
        {"UTF-8", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\n",
         "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"",
         "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        // Each byte that does not begin a UTF-8 sequence becomes U+FFFD.
        {"invalid bytes", "\xff|\xc3|\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80\n",
         "\"\xef\xbf\xbd|\xef\xbf\xbd|\xef\xbf\xbd\xef\xbf\xbd|"
         "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd|\xef\xbf\xbd\xef\xbf\xbd"
         "\xef\xbf\xbd\xef\xbf\xbd\"",
         "\xef\xbf\xbd|\xef\xbf\xbd|\xef\xbf\xbd\xef\xbf\xbd|"
         "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd|\xef\xbf\xbd\xef\xbf\xbd"
         "\xef\xbf\xbd\xef\xbf\xbd"},
        {"cut sequence at the end", "ab\xe2\x82", "\"ab\xef\xbf\xbd\xef\xbf\xbd\"",
         "ab\xef\xbf\xbd\xef\xbf\xbd"},
    };
    std::vector<std::string> wantLines;
    std::vector<JsonRecord> wantRecords;
    unsigned sec = 0;
    for (const Case& c : cases) {
        seg.appendNode(c.text, 0, 2, sec, 7);
        char time[40];
        snprintf(time, sizeof(time), "1970-01-01T00:00:%02u.007+00:00", sec);
        wantLines.push_back("{\"time\":\"" + std::string(time) +
                            "\",\"level\":\"INFO\",\"tag\":\"t\",\"tag_id\":0,"
                            "\"text\":" + c.json + "}\n");
        wantRecords.push_back({time, "INFO", "t", 0, c.decoded});
        ++sec;
    }
    ASSERT_EQ(sec, 11u);
    seg.appendNode("tagged\n", 1, 5, sec, 0);
    wantLines.push_back("{\"time\":\"1970-01-01T00:00:11.000+00:00\","
                        "\"level\":\"FATAL\",\"tag\":\"q\\\"b\\\\s\\u0001\","
                        "\"tag_id\":1,\"text\":\"tagged\"}\n");
    wantRecords.push_back({"1970-01-01T00:00:11.000+00:00", "FATAL",
                           "q\"b\\s\x01", 1, "tagged"});

    ToolResult r = runTool(kTool, {"-p", seg.serviceName(), "-d", "--output",
                                   "json"});
    EXPECT_EQ(r.err, banner(seg.path()));
    EXPECT_EQ(r.exitStatus, 1);
    std::vector<std::string> got = splitLines(r.out);
    ASSERT_EQ(got.size(), wantLines.size()) << r.out;
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i < std::size(cases) ? cases[i].name : "tag");
        EXPECT_EQ(got[i] + "\n", wantLines[i]);
        expectJsonRecord(got[i] + "\n", wantRecords[i]);
    }
}

TEST_F(KqlogreaderOptions, JsonTimesAreLocalWithOffsetAndCarryMilliseconds) {
    TestSegment seg(4096, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "clk");
    seg.head()->starttime = kNewYear2024;
    seg.appendNode("a\n", 0, 0, 5, 7);
    seg.appendNode("b\n", 0, 1, 59, 1500);     // carried past a minute
    seg.appendNode("c\n", 0, 3, 3599, 65535);  // 65.535 s: past an hour
    seg.appendNode("d\n", 0, 4, 0, 999);
    const char* const levels[4] = {"TRACE", "DEBUG", "WARN", "ERROR"};
    const char* const texts[4] = {"a", "b", "c", "d"};
    struct Case {
        const char* tz;
        std::vector<std::string> times;
    } cases[] = {
        {"UTC",
         {"2024-01-01T00:00:05.007+00:00", "2024-01-01T00:01:00.500+00:00",
          "2024-01-01T01:01:04.535+00:00", "2024-01-01T00:00:00.999+00:00"}},
        {"XXX-5:30",
         {"2024-01-01T05:30:05.007+05:30", "2024-01-01T05:31:00.500+05:30",
          "2024-01-01T06:31:04.535+05:30", "2024-01-01T05:30:00.999+05:30"}},
        {"XXX+3",
         {"2023-12-31T21:00:05.007-03:00", "2023-12-31T21:01:00.500-03:00",
          "2023-12-31T22:01:04.535-03:00", "2023-12-31T21:00:00.999-03:00"}},
        {"XXX+0:45",
         {"2023-12-31T23:15:05.007-00:45", "2023-12-31T23:16:00.500-00:45",
          "2024-01-01T00:16:04.535-00:45", "2023-12-31T23:15:00.999-00:45"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tz);
        ToolResult r = runTool(kTool,
                               {"-p", seg.serviceName(), "-d", "--output",
                                "json"},
                               {std::string("TZ=") + c.tz});
        std::string want;
        for (int i = 0; i < 4; ++i)
            want += "{\"time\":\"" + c.times[size_t(i)] + "\",\"level\":\"" +
                    levels[i] + "\",\"tag\":\"clk\",\"tag_id\":0,\"text\":\"" +
                    texts[i] + "\"}\n";
        EXPECT_EQ(r.out, want);
        EXPECT_EQ(r.err, banner(seg.path()));
        std::vector<std::string> got = splitLines(r.out);
        ASSERT_EQ(got.size(), 4u);
        for (int i = 0; i < 4; ++i)
            expectJsonRecord(got[size_t(i)] + "\n",
                             {c.times[size_t(i)], levels[i], "clk", 0,
                              texts[i]});
    }
    // A named zone from the zone database, where it is installed.
    if (access("/usr/share/zoneinfo/Asia/Kolkata", R_OK) == 0) {
        ToolResult r = runTool(kTool,
                               {"-p", seg.serviceName(), "-d", "--lines", "1",
                                "--output", "json"},
                               {"TZ=Asia/Kolkata"});
        EXPECT_EQ(r.out,
                  "{\"time\":\"2024-01-01T05:30:00.999+05:30\",\"level\":"
                  "\"ERROR\",\"tag\":\"clk\",\"tag_id\":0,\"text\":\"d\"}\n");
    }
}

TEST_F(KqlogreaderOptions, JsonTimeIsNullWhenLocalTimeCannotShowIt) {
    TestSegment seg(4096, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "t");
    seg.head()->starttime = INT64_MAX - 10;
    seg.appendNode("far\n", 0, 2, 5, 5);
    ToolResult r = runTool(kTool, {"-p", seg.serviceName(), "-d", "--output",
                                   "json"});
    EXPECT_EQ(r.out,
              "{\"time\":null,\"level\":\"INFO\",\"tag\":\"t\",\"tag_id\":0,"
              "\"text\":\"far\"}\n");
    expectJsonRecord(r.out, {"", "INFO", "t", 0, "far"});
}

// ---- syslog ---------------------------------------------------------------

TEST_F(KqlogreaderOptions, SyslogPrefixesEachLineWithTheLevelsSeverity) {
    TestSegment seg(8192, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "sys");
    const int severity[6] = {7, 7, 6, 4, 3, 2};
    std::string want;
    unsigned sec = 0;
    for (int level = 0; level < 6; ++level, ++sec) {
        seg.appendNode("at level\n", 0, uint8_t(level), sec, 0);
        want += "<" + std::to_string(severity[level]) + ">" +
                shortLine(level, "sys", sec, 0, "at level\n");
    }
    struct Text {
        std::string text;
        std::vector<std::string> lines;  // as printed after the prefix
    } texts[] = {
        {"one\ntwo\nthree\n", {"one", "two", "three"}},
        {"no line feed", {"no line feed"}},
        {"a\n\nb", {"a", "", "b"}},
        // Not a terminal: bytes as stored.
        {"tab\there \x01\x7f\n", {"tab\there \x01\x7f"}},
    };
    for (const Text& t : texts) {
        seg.appendNode(t.text, 0, 4, sec, 12);
        for (const std::string& line : t.lines)
            want += "<3>" + shortLine(4, "sys", sec, 12, line + "\n");
        ++sec;
    }
    expectRun({"-p", seg.serviceName(), "-d", "--output", "syslog"}, want,
              banner(seg.path()));
    // Filters apply as in the short format.
    expectRun({"-p", seg.serviceName(), "-d", "--output", "syslog", "--level",
               "fatal"},
              "<2>" + shortLine(5, "sys", 5, 0, "at level\n"),
              banner(seg.path()));
}

// A damaged record in the middle: the records around it are printed, and
// the tool's message goes where the format keeps its messages.
TEST_F(KqlogreaderOptions, DamagedRecordMessageGoesToStderrInRecordFormats) {
    TestSegment seg(4096, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "t");
    seg.appendNode("before\n", 0, 2, 1, 0);
    int32_t bad = seg.appendNode("spoilt\n", 0, 2, 2, 0);
    seg.appendNode("after\n", 0, 2, 3, 0);
    seg.ring()[bad + 2] = 9;  // no such level
    const std::string before = shortLine(2, "t", 1, 0, "before\n");
    const std::string after = shortLine(2, "t", 3, 0, "after\n");
    expectRun({"-p", seg.serviceName(), "-d"},
              banner(seg.path()) + before + kDamaged + after, "");
    expectRun({"-p", seg.serviceName(), "-d", "--output", "syslog"},
              "<6>" + before + "<6>" + after, banner(seg.path()) + kDamaged);
    expectRun({"-p", seg.serviceName(), "-d", "--output", "json"},
              "{\"time\":\"1970-01-01T00:00:01.000+00:00\",\"level\":\"INFO\","
              "\"tag\":\"t\",\"tag_id\":0,\"text\":\"before\"}\n"
              "{\"time\":\"1970-01-01T00:00:03.000+00:00\",\"level\":\"INFO\","
              "\"tag\":\"t\",\"tag_id\":0,\"text\":\"after\"}\n",
              banner(seg.path()) + kDamaged);
}

// ---- Following ------------------------------------------------------------

TEST_F(KqlogreaderOptions, LinesThenFollowing) {
    struct Case {
        const char* lines;
        std::vector<int> first;  // printed before anything new is written
    } cases[] = {{"2", {4, 5}}, {"0", {}}, {"10", {0, 1, 2, 3, 4, 5}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("--lines ") + c.lines);
        TestSegment seg(8192, "/var/run");
        ASSERT_TRUE(seg.ok());
        fillRecords(seg);
        BackgroundTool tool(kTool, {"-p", seg.serviceName(), "-d", "-n",
                                    "--lines", c.lines});
        ASSERT_TRUE(tool.started());
        // All of it goes out when the follower first waits for more.
        std::string want = banner(seg.path()) + recLines(c.first);
        ASSERT_TRUE(tool.waitForOut(want.size(), 5000)) << tool.out();
        seg.appendNode("new\n", 1, 3, 30, 0);
        want += shortLine(3, "disk", 30, 0, "new\n");
        ASSERT_TRUE(tool.waitForOut(want.size(), 5000)) << tool.out();
        ASSERT_TRUE(tool.sendSignal(SIGTERM));
        ToolResult r = tool.finish();
        EXPECT_EQ(r.out, want);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.termSignal, SIGTERM);
    }
}

TEST_F(KqlogreaderOptions, TagFilterMatchesTagsNamedWhileFollowing) {
    TestSegment seg(8192, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "boot");
    seg.appendNode("started\n", 0, 2, 0, 0);
    // "late" does not exist yet; index 2 neither.
    BackgroundTool tool(kTool, {"-p", seg.serviceName(), "-d", "-n", "--tag",
                                "boot,late,2", "--output", "json"});
    ASSERT_TRUE(tool.started());
    auto json = [](const char* tag, unsigned id, unsigned sec,
                   const char* text) {
        return "{\"time\":\"1970-01-01T00:00:0" + std::to_string(sec) +
               ".000+00:00\",\"level\":\"INFO\",\"tag\":\"" + tag +
               "\",\"tag_id\":" + std::to_string(id) + ",\"text\":\"" + text +
               "\"}\n";
    };
    std::string want = json("boot", 0, 0, "started");
    ASSERT_TRUE(tool.waitForOut(want.size(), 5000)) << tool.out();
    seg.setTag(1, "late");
    seg.setTag(2, "byindex");
    seg.setTag(3, "other");
    seg.appendNode("skip me\n", 3, 2, 1, 0);
    seg.appendNode("late one\n", 1, 2, 2, 0);
    seg.appendNode("indexed\n", 2, 2, 3, 0);
    seg.appendNode("skip me too\n", 3, 2, 4, 0);
    seg.appendNode("boot again\n", 0, 2, 5, 0);
    want += json("late", 1, 2, "late one") + json("byindex", 2, 3, "indexed") +
            json("boot", 0, 5, "boot again");
    ASSERT_TRUE(tool.waitForOut(want.size(), 5000)) << tool.out();
    ASSERT_TRUE(tool.sendSignal(SIGTERM));
    ToolResult r = tool.finish();
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.err, banner(seg.path()));
    EXPECT_EQ(r.termSignal, SIGTERM);
}

}  // namespace
