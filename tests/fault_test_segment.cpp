// kqlogreader on segments that any local user could have written: sizes
// that do not fit, positions outside the ring, rings too small for a node,
// a full tag table of names without NUL. In every mode (print once, follow,
// follow from the end, list) the tool must end by itself or keep going
// until stopped, print only what it prints for a sound log, and never
// crash; the sanitizer build catches any read outside the segment.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "TestSegment.h"
#include "ToolRunner.h"

namespace {

const std::string kTool = KQLOGREADER_PATH;
const uint32_t kHdr = sizeof(shmloghead);

// Lines a run may print besides the log lines of known texts.
bool knownToolLine(const std::string& line, const std::string& path) {
    static const char* const kKnown[] = {
        "nextLog return false!!", "Init failed!! Please check your LogPath!",
        "Magic code not match"};
    if (line == "LogPath [" + path + "]") return true;
    for (const char* k : kKnown)
        if (line == k) return true;
    return false;
}

// A log line "[LEVEL tag MM-DD hh:mm:ss mmmm] text" whose text is one of
// texts (each without its line feed).
bool logLineOf(const std::string& line, const std::vector<std::string>& texts) {
    static const char* const kLevels[] = {"TRACE", "DEBUG", "INFO ", "WARN ", "ERROR",
                                          "FATAL"};
    if (line.size() < 7 || line[0] != '[') return false;
    bool bLevel = false;
    for (const char* l : kLevels) bLevel = bLevel || line.compare(1, 5, l) == 0;
    size_t close = line.find("] ");
    if (!bLevel || close == std::string::npos) return false;
    std::string text = line.substr(close + 2);
    for (const std::string& t : texts)
        if (t == text) return true;
    return false;
}

struct Mode {
    const char* name;
    std::vector<std::string> args;  // after -p NAME
    bool follows;                   // runs until stopped
};

const Mode kModes[] = {
    {"print once", {"-d"}, false},
    {"follow", {"-d", "-n"}, true},
    {"follow from the end", {"-d", "-n", "-e"}, true},
    {"list tags", {"-s"}, false},
};

// Runs the tool over seg in every mode, each for at most runMs; then it
// gets SIGTERM, which a tool still running must die by (a crash shows as
// another signal). What the print-once run did comes back in pPrintOnce,
// and whether it ended by itself in pOnceEnded.
void runEveryMode(TestSegment& seg, const std::vector<std::string>& texts,
                  ToolResult* pPrintOnce = nullptr, bool* pOnceEnded = nullptr,
                  int runMs = 200) {
    for (const Mode& mode : kModes) {
        SCOPED_TRACE(mode.name);
        std::vector<std::string> args = {"-p", seg.serviceName()};
        args.insert(args.end(), mode.args.begin(), mode.args.end());
        BackgroundTool tool(kTool, args);
        ASSERT_TRUE(tool.started());
        tool.waitForOut(std::string::npos, runMs);  // returns early when it ends
        tool.sendSignal(SIGTERM);  // no effect once it has ended
        ToolResult r = tool.finish(5000);
        EXPECT_TRUE(r.termSignal == SIGTERM || (r.termSignal == 0 && r.exitStatus == 1))
            << "signal " << r.termSignal << ", status " << r.exitStatus;
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
        if (mode.args[0] == std::string("-d")) {
            for (const std::string& line : splitLines(r.out))
                EXPECT_TRUE(knownToolLine(line, seg.path()) || logLineOf(line, texts))
                    << "unexpected line [" << line << "]";
        }
        if (mode.args == std::vector<std::string>{"-d"}) {
            if (pPrintOnce) *pPrintOnce = r;
            if (pOnceEnded) *pOnceEnded = r.termSignal == 0;
        }
    }
}

class FaultSegment : public VarRunTest {};

// Sizes the header claims that the segment does not have: the attach
// refuses them with a message, in every mode alike.
TEST_F(FaultSegment, HeaderSizesThatDoNotFitAreRefused) {
    struct Case {
        const char* name;
        uint32_t hdrSize, ringSize;
        size_t segBytes;
        const char* err;
    } cases[] = {
        {"segment smaller than a header", kHdr, 4096, 100,
         "shmget failed(Invalid argument)\n"},
        {"ring past the segment end", kHdr, 1 << 20, kHdr + 4096,
         "shmget failed(Invalid argument)\n"},
        {"header size past the segment end", 1 << 20, 0, kHdr + 4096,
         "shmget failed(Invalid argument)\n"},
        {"sizes wrapping to the segment size", 0xFFFFF000u, 0x1000 + kHdr, kHdr + 4096,
         "Shm header invalid, hdr size[4294963200], logcontentbuf size[7704]\n"},
        {"sizes wrapping to zero", 0x80000000u, 0x80000000u, kHdr + 4096,
         "Shm header invalid, hdr size[2147483648], logcontentbuf size[2147483648]\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestSegment seg(c.ringSize, "/var/run", c.hdrSize, c.segBytes);
        ASSERT_TRUE(seg.ok());
        for (const Mode& mode : kModes) {
            SCOPED_TRACE(mode.name);
            std::vector<std::string> args = {"-p", seg.serviceName()};
            args.insert(args.end(), mode.args.begin(), mode.args.end());
            ToolResult r = runTool(kTool, args, {}, 5000);
            EXPECT_EQ(r.out, "LogPath [" + seg.path() +
                                 "]\nInit failed!! Please check your LogPath!\n");
            EXPECT_EQ(r.err, c.err);
            EXPECT_EQ(r.exitStatus, 1);
        }
    }
}

// A segment someone spoiled, built afresh for each run.
struct Spoilt {
    const char* name;
    uint32_t ringSize;
    std::function<void(TestSegment&)> spoil;
};

const std::vector<std::string> kTexts = {"first", "second"};

// Two sound nodes, then whatever the case does to them.
std::vector<Spoilt> spoiltSegments() {
    const int32_t kRing = 4096;
    std::vector<Spoilt> cases;
    // Positions any writer of the segment could set. The bytes from the
    // wrap zone to the ring end look like a node whose text runs off it.
    struct Pos {
        const char* name;
        int32_t readPos, writePos;
    } positions[] = {
        {"both positions negative", -1, -1},
        {"read pos far negative", INT32_MIN, 40},
        {"write pos far negative", 0, INT32_MIN},
        {"both positions at the ring size", kRing, kRing},
        {"both positions far past the ring", INT32_MAX, INT32_MAX},
        {"read pos where no node header fits", kRing - 5, 40},
        {"read pos in the wrap zone", kRing - 284, 40},
        {"write pos in the wrap zone", 0, kRing - 100},
        {"read pos past write pos", 40, 0},
    };
    for (const Pos& p : positions)
        cases.push_back({p.name, uint32_t(kRing), [p](TestSegment& seg) {
                             memset(seg.ring() + kRing - 284, 'x', 284);
                             seg.ring()[kRing - 284] = 250;
                             seg.ring()[kRing - 284 + 2] = 2;
                             seg.setPositions(p.readPos, p.writePos);
                         }});
    // Rings too small for the node rules: no header fits, or every node
    // would run past the end. Writers never make them; a header may say so.
    // What fits is a size byte claiming the largest node and text without
    // a NUL up to the ring end.
    for (uint32_t ringSize : {0u, 9u, 10u, 100u, 285u})
        cases.push_back({"ring smaller than one node", ringSize, [ringSize](TestSegment& seg) {
                             memset(seg.ring(), 'y', ringSize);
                             if (ringSize > 0) seg.ring()[0] = 255;
                             if (ringSize > 2) seg.ring()[1] = 0;
                             if (ringSize > 2) seg.ring()[2] = 2;
                             seg.setPositions(0, 0);
                         }});
    // A chain with no end marker: a sound node where the end marker should
    // be, in a ring whose rule sends every node back to 0.
    cases.push_back({"chain without an end marker", 300u, [](TestSegment& seg) {
                         writeNodeAt(seg.ring(), 0, "first\n", 0, 2, 0, 0);
                         seg.setPositions(0, 0);
                     }});
    return cases;
}

// One tag and, in a ring large enough, the two sound nodes; then the
// case's damage.
void fillAndSpoil(TestSegment& seg, const Spoilt& c) {
    seg.setTag(0, "t");
    if (c.ringSize == 4096)
        for (const std::string& t : kTexts) seg.appendNode(t + "\n");
    c.spoil(seg);
}

// Whatever the positions and sizes, every mode prints only lines of the
// sound nodes or its own failure lines, and never crashes or reads outside
// the segment.
TEST_F(FaultSegment, SpoiltPositionsAndRingsAreReadSafely) {
    for (const Spoilt& c : spoiltSegments()) {
        SCOPED_TRACE(std::string(c.name) + ", ring " + std::to_string(c.ringSize));
        TestSegment seg(c.ringSize, "/var/run");
        ASSERT_TRUE(seg.ok());
        fillAndSpoil(seg, c);
        runEveryMode(seg, kTexts);
    }
}

// Printing once (-d without -n) comes to an end, each node printed at most
// once, where recovery cannot get on: a cursor outside the ring (skipping
// from logReadPos cannot move it), a ring below one node (every skip comes
// back to the same bad node at 0) and a chain without an end marker.
TEST_F(FaultSegment, PrintOnceEndsOnEverySpoiltSegment) {
    for (const Spoilt& c : spoiltSegments()) {
        SCOPED_TRACE(std::string(c.name) + ", ring " + std::to_string(c.ringSize));
        TestSegment seg(c.ringSize, "/var/run");
        ASSERT_TRUE(seg.ok());
        fillAndSpoil(seg, c);
        BackgroundTool tool(kTool, {"-p", seg.serviceName(), "-d"});
        ASSERT_TRUE(tool.started());
        tool.waitForOut(std::string::npos, 2000);
        tool.sendSignal(SIGTERM);
        ToolResult r = tool.finish(5000);
        EXPECT_EQ(r.termSignal, 0) << "still printing after 2 s";
        std::vector<std::string> lines = splitLines(r.out);
        std::sort(lines.begin(), lines.end());
        auto twice = std::adjacent_find(lines.begin(), lines.end());
        while (twice != lines.end() && *twice == "nextLog return false!!")
            twice = std::adjacent_find(twice + 1, lines.end());
        EXPECT_TRUE(twice == lines.end()) << "printed more than once: " << *twice;
    }
}

// A full table of names that fill their 10 bytes, and nodes of the last
// entry, of tag 255 (no entry) and of tags past currLogInfoIndex.
TEST_F(FaultSegment, FullTagTableOfNamesWithoutNul) {
    TestSegment seg(4096, "/var/run");
    ASSERT_TRUE(seg.ok());
    for (int i = 0; i < 255; ++i) {
        char name[11];
        snprintf(name, sizeof(name), "tag%07d", i);
        seg.setTag(i, name, uint8_t(i % 8), i % 2 == 0);
    }
    ASSERT_EQ(seg.head()->currLogInfoIndex, 255);
    // The byte after the table's last name is padding: make it non-NUL too.
    seg.head()->reserved2[0] = 'Z';
    seg.appendNode("last entry\n", 254);
    seg.appendNode("no entry\n", 255);
    seg.appendNode("first entry\n", 0);
    ToolResult once;
    runEveryMode(seg, {"last entry", "no entry", "first entry"}, &once);
    EXPECT_EQ(once.out, "LogPath [" + seg.path() +
                            "]\n"
                            "[INFO  tag0000254 01-01 00:00:00 0000] last entry\n"
                            "[INFO   01-01 00:00:00 0000] no entry\n"
                            "[INFO  tag0000000 01-01 00:00:00 0000] first entry\n");

    ToolResult list = runTool(kTool, {"-p", seg.serviceName(), "-s"});
    std::vector<std::string> lines = splitLines(list.out);
    ASSERT_EQ(lines.size(), 1u + 1 + 1 + 6 + 255) << list.out;
    EXPECT_EQ(lines[9], "[0] Tag[tag0000000] Level[TRACE:0] [Enabled]");
    EXPECT_EQ(lines[10], "[1] Tag[tag0000001] Level[DEBUG:1] [Disabled]");
    EXPECT_EQ(lines[15], "[6] Tag[tag0000006] Level[?????:6] [Enabled]");
    EXPECT_EQ(lines.back(), "[254] Tag[tag0000254] Level[?????:6] [Enabled]")
        << "254 % 8 = 6";
}

}  // namespace
