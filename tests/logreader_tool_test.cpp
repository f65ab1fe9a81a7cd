// Black-box tests of kqlogreader: the command line and its number values,
// start-up on good and bad segments, and printing the ring once (-d). The tool runs as a child
// process on real segments whose log paths lie under /var/run/; stdout,
// stderr and exit status are compared byte for byte.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "TestSegment.h"
#include "ReaderToolText.h"
#include "ToolRunner.h"

namespace {

const std::string kTool = KQLOGREADER_PATH;
const std::string kUsage = kReaderUsageText;

void expectRun(const std::vector<std::string>& args, const std::string& out,
               const std::string& err,
               const std::vector<std::string>& env = {}) {
    ToolResult r = runTool(kTool, args, env);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.termSignal, 0);
}

// The line printed for an INFO node of tag entry 0, named "t", written at
// starttime 0.
std::string lineAtEpoch(const std::string& text) {
    return "[INFO  t 01-01 00:00:00 0000] " + text;
}

// A file under /var/run/ that is removed when the test ends.
struct VarRunFile {
    std::string path = "/var/run/kqtest-XXXXXX";
    VarRunFile() {
        int fd = mkstemp(&path[0]);
        if (fd >= 0) close(fd);
        else path.clear();
    }
    ~VarRunFile() {
        if (!path.empty()) unlink(path.c_str());
    }
};

TEST(KqlogreaderCommandLine, UsageForHelpBadOptionsAndNoLogName) {
    const std::string usage = kTool + kUsage;
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{}, ""},
        {{"-h", "-p", "x"}, ""},  // ends before -p is looked at
        {{"-x", "-p", "x"}, kTool + ": invalid option -- 'x'\n"},
        {{"-d", "-p"}, kTool + ": option requires an argument -- 'p'\n"},
        {{"-p", ""}, ""},
        {{"-p", "", "-p", "", "-d"}, ""},
        {{"-d", "-s"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        expectRun(c.args, usage, c.err);
    }
}

class KqlogreaderTool : public VarRunTest {};

TEST_F(KqlogreaderTool, ReportsMissingLogPathAndMissingSegment) {
    VarRunFile gone;
    ASSERT_FALSE(gone.path.empty());
    unlink(gone.path.c_str());
    std::string name = gone.path.substr(strlen("/var/run/"));
    expectRun({"-p", name, "-d"}, banner(gone.path) + kInitFailed,
              "ftok failed(No such file or directory), " + gone.path +
                  " not exist!\n");

    // A path whose key names no segment (another file on a collision).
    for (int attempt = 0; attempt < 20; ++attempt) {
        VarRunFile file;
        ASSERT_FALSE(file.path.empty());
        key_t key = ftok(file.path.c_str(), 0);
        if (key == -1 || shmget(key, 0, 0) != -1 || errno != ENOENT) continue;
        expectRun({"-p", file.path.substr(strlen("/var/run/")), "-d"},
                  banner(file.path) + kInitFailed,
                  "shmget failed(No such file or directory)\n");
        return;
    }
    FAIL() << "no log path without a segment found";
}

TEST_F(KqlogreaderTool, RejectsSegmentsItCannotRead) {
    const uint32_t kHdr = 3608;
    struct Case {
        const char* name;
        uint32_t hdrSize, ringSize;
        size_t segBytes;  // the segment's real size
        uint32_t magic;
        std::string out;  // after the banner
        std::string err;
    } cases[] = {
        {"wrong magic", kHdr, 4096, 0, 0x12345678, "Magic code not match\n",
         ""},
        {"smaller than a header", kHdr, 4096, 100, KQLOG_MAGIC, "",
         "shmget failed(Invalid argument)\n"},
        // The sum wraps to 4096, the segment's real size.
        {"sizes wrap past 4 GiB", 0xFFFFF000u, 0x2000, 4096, KQLOG_MAGIC, "",
         "Shm header invalid, hdr size[4294963200], logcontentbuf "
         "size[8192]\n"},
        {"ring above 2^31-1", kHdr, 0x80000000u, kHdr + 4096, KQLOG_MAGIC, "",
         "Shm header invalid, hdr size[3608], logcontentbuf "
         "size[2147483648]\n"},
        {"ring larger than the segment", kHdr, 0x7FFFFFFF, kHdr + 4096,
         KQLOG_MAGIC, "", "shmget failed(Invalid argument)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestSegment seg(c.ringSize, "/var/run", c.hdrSize, c.segBytes);
        ASSERT_TRUE(seg.ok());
        if (seg.bytesSize() >= sizeof(shmloghead)) seg.head()->magic = c.magic;
        expectRun({"-p", seg.serviceName(), "-d"},
                  banner(seg.path()) + c.out + kInitFailed, c.err);
    }
}

TEST_F(KqlogreaderTool, RejectsOptionValuesThatAreNotWholeNumbers) {
    TestSegment seg(4096, "/var/run");
    ASSERT_TRUE(seg.ok());
    for (int i = 0; i < 3; ++i) seg.setTag(i, "t" + std::to_string(i));
    seg.appendNode("hello\n");
    const std::vector<uint8_t> before(seg.bytes(),
                                      seg.bytes() + seg.bytesSize());
    struct Case {
        const char* option;
        const char* value;
    } cases[] = {
        {"-t", "256"}, {"-i", "300"}, {"-t", "abc"}, {"-l", "abc"},
        {"-l", ""},    {"-f", "1x"},  {"-t", "-2"},  {"-f", "7 "},
        {"-i", ""},    {"-l", "2147483648"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.option) + " [" + c.value + "]");
        // Rejected where it is met: no banner, nothing attached.
        expectRun({"-p", seg.serviceName(), c.option, c.value, "-d"},
                  "Wrong value[" + std::string(c.value) + "] for option " +
                      c.option + "!!\n" + kTool + kUsage,
                  "");
        EXPECT_TRUE(std::equal(before.begin(), before.end(), seg.bytes()))
            << "the segment changed";
    }
}

TEST_F(KqlogreaderTool, AttachesTheServiceNamedByAllPArguments) {
    TestSegment seg(4096, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "t");
    seg.appendNode("one\n");
    const std::string name = seg.serviceName();
    expectRun({"-p", name.substr(0, 3), "-p", name.substr(3), "-d"},
              banner(seg.path()) + lineAtEpoch("one\n"), "");
    // Without -d: the banner, no log line.
    expectRun({"-p", name}, banner(seg.path()), "");
}

TEST_F(KqlogreaderTool, RendersTheDocumentedLines) {
    TestSegment seg(4096, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "net", 3);
    seg.head()->starttime = 1704067199 - 99;  // 2023-12-31 23:58:20 UTC
    // hi at level 2, tag 0, 5 s and 7 ms after starttime, as raw bytes.
    const uint8_t hi[12] = {0x02, 0x00, 0x02, 0x05, 0x00, 0x00,
                            0x00, 0x07, 0x00, 0x68, 0x69, 0x00};
    memcpy(seg.ring(), hi, sizeof(hi));
    seg.setPositions(0, 12);
    seg.appendNode("link down", 0, 3, 99, 999);
    const std::vector<std::string> args = {"-p", seg.serviceName(), "-d"};
    // No line ends in the texts: both lines run together.
    expectRun(args,
              banner(seg.path()) +
                  "[INFO  net 12-31 23:58:25 0007] hi"
                  "[WARN  net 12-31 23:59:59 0999] link down",
              "");
    // Times are local: nine hours east of UTC it is already 1 January.
    expectRun(args,
              banner(seg.path()) +
                  "[INFO  net 01-01 08:58:25 0007] hi"
                  "[WARN  net 01-01 08:59:59 0999] link down",
              "", {"TZ=XYZ-9"});
}

TEST_F(KqlogreaderTool, RendersEveryFieldOfANode) {
    TestSegment seg(8192, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.head()->starttime = 31 * 86400;  // 1970-02-01 00:00:00 UTC
    seg.setTag(0, "net");
    seg.setTag(1, "abcdefghij");  // ten bytes, no terminator
    seg.setTag(2, "xyz");
    const std::string longText(255, 'L');
    struct Node {
        uint8_t tag, level;
        uint32_t sec;
        uint16_t ms;
        std::string text, line;
    } nodes[] = {
        {0, 0, 0, 0, "a\n", "[TRACE net 02-01 00:00:00 0000] a\n"},
        {1, 1, 3661, 7, "b\n", "[DEBUG abcdefghij 02-01 01:01:01 0007] b\n"},
        {255, 4, 0, 9999, "c\n", "[ERROR  02-01 00:00:00 9999] c\n"},
        {2, 5, 0, 10000, "d\n", "[FATAL xyz 02-01 00:00:00 10000] d\n"},
        {0, 2, 0xFFFFFFFFu, 65535, "e\n",
         "[INFO  net 03-10 06:28:15 65535] e\n"},
        {0, 3, 86399, 0, longText,
         "[WARN  net 02-01 23:59:59 0000] " + longText},
    };
    std::string expected = banner(seg.path());
    for (const Node& n : nodes) {
        seg.appendNode(n.text, n.tag, n.level, n.sec, n.ms);
        expected += n.line;
    }
    expectRun({"-p", seg.serviceName(), "-d"}, expected, "");
}

TEST_F(KqlogreaderTool, PrintsFromOldestNodeToEndMarker) {
    struct Layout {
        const char* name;
        uint32_t ringSize;
        std::vector<std::pair<int32_t, std::string>> nodes;  // pos, text
        int32_t readPos, writePos;
        std::string lines;
    } layouts[] = {
        {"empty ring", 4096, {}, 0, 0, ""},
        // 198 + 30 + 284 = 512: the node after the one at 198 is at 0.
        {"wraps when 284 bytes would remain",
         512,
         {{198, std::string(20, 'A')}, {0, "B"}, {228, "not this"}},
         198,
         11,
         lineAtEpoch(std::string(20, 'A')) + lineAtEpoch("B")},
        // At 197 the next node is at 227; B then wraps to the end marker.
        {"does not wrap when 285 would remain",
         512,
         {{197, std::string(20, 'A')}, {227, "B"}},
         197,
         0,
         lineAtEpoch(std::string(20, 'A')) + lineAtEpoch("B")},
    };
    for (const Layout& l : layouts) {
        SCOPED_TRACE(l.name);
        TestSegment seg(l.ringSize, "/var/run");
        ASSERT_TRUE(seg.ok());
        seg.setTag(0, "t");
        for (const auto& n : l.nodes)
            writeNodeAt(seg.ring(), n.first, n.second, 0, 2, 0, 0);
        seg.ring()[l.writePos] = 0;
        seg.setPositions(l.readPos, l.writePos);
        expectRun({"-p", seg.serviceName(), "-d"},
                  banner(seg.path()) + l.lines, "");
    }

    // A writer that has gone round the ring: the oldest node is in the
    // middle, the newest near the start.
    TestSegment seg(1024, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "t");
    std::vector<std::string> texts;
    for (int i = 0; i < 15; ++i) {
        texts.push_back(std::string(49, char('a' + i)) + "\n");
        seg.appendNode(texts.back());  // 60 bytes; wraps after 720
    }
    ASSERT_EQ(seg.head()->logWritePos, 120);
    seg.head()->logReadPos = 180;  // the fourth node written
    std::string expected = banner(seg.path());
    for (int i = 3; i < 15; ++i) expected += lineAtEpoch(texts[size_t(i)]);
    expectRun({"-p", seg.serviceName(), "-d"}, expected, "");
    // -e starts at the newest end: nothing to print without -n.
    expectRun({"-p", seg.serviceName(), "-d", "-e"}, banner(seg.path()), "");
}

// A damaged node costs its own line and no other: the one message, then
// every later node once.
TEST_F(KqlogreaderTool, ADamagedNodeCostsOnlyItsLine) {
    TestSegment seg(4096, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "t");
    for (int i = 0; i <= 100; ++i)
        seg.appendNode(std::to_string(i % 10) + "\n", 0, i == 1 ? 6 : 2);
    std::string expected = banner(seg.path()) + lineAtEpoch("0\n") +
                           "nextLog return false!!\n";
    for (int i = 2; i <= 100; ++i)
        expected += lineAtEpoch(std::to_string(i % 10) + "\n");
    expectRun({"-p", seg.serviceName(), "-d"}, expected, "");
}

TEST_F(KqlogreaderTool, VerboseDiagnosticsInOrder) {
    TestSegment seg(4096, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "t");
    seg.appendNode("hi\n", 0, 4);
    seg.ring()[14] = 3;  // the end marker's tag and level bytes
    seg.ring()[15] = 5;
    expectRun({"-V", "-p", seg.serviceName(), "-d"},
              banner(seg.path()) +
                  "Shm hdr Size [3608], logcontentbuf size[4096]\n"
                  "ReadPos[0], LogReadPos[0], LogWritePos[13]\n"
                  "Read log succeed! logSize[3] logLevel[4] \n"
                  "[ERROR t 01-01 00:00:00 0000] hi\n"
                  "ReadPos[13], LogReadPos[0], LogWritePos[13]\n"
                  "logSize == 0, logLevel[5] logTag[3]return\n",
              "");
}

}  // namespace

namespace {

// A ring large enough that a pass printing once maps it in with a second
// thread from the far end: every line still comes out once, in order,
// whether the pass runs to the end or the log holds only a little.
TEST_F(KqlogreaderTool, LargeRingIsPrintedWholeWhileMappedInFromBothEnds) {
    TestSegment seg(8 << 20, "/var/run");
    ASSERT_TRUE(seg.ok());
    seg.setTag(0, "t");
    std::string expected = banner(seg.path());
    expectRun({"-p", seg.serviceName(), "-d"}, expected, "");
    for (int i = 0; seg.head()->logWritePos < (7 << 20); ++i) {
        std::string text = "line " + std::to_string(i) + " " +
                           std::string(size_t(i % 200), char('a' + i % 26)) +
                           "\n";
        seg.appendNode(text);
        expected += lineAtEpoch(text);
    }
    expectRun({"-p", seg.serviceName(), "-d"}, expected, "");
}

}  // namespace
