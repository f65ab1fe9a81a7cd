// Parts of kqlogreader tested alone: the cursor file's line and its atomic
// replacement, what the follow loop keeps for it, and the rule that lap
// reports come at most once a second (with the clock passed in).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "CursorFile.h"
#include "LapReport.h"
#include "ToolRunner.h"

namespace {

KQLogCursor makeCursor(int64_t start, int32_t pos, uint8_t fill,
                       uint64_t hash) {
    KQLogCursor c;
    c.iStartTime = start;
    c.iPos = pos;
    for (size_t i = 0; i < sizeof(c.header); ++i)
        c.header[i] = uint8_t(fill + i * 0x11);
    c.nTextHash = hash;
    return c;
}

bool sameCursor(const KQLogCursor& a, const KQLogCursor& b) {
    return a.iStartTime == b.iStartTime && a.iPos == b.iPos &&
           memcmp(a.header, b.header, sizeof(a.header)) == 0 &&
           a.nTextHash == b.nTextHash;
}

std::string format(const KQLogCursor& c) {
    char line[KQ_CURSOR_LINE_SIZE];
    return std::string(line, formatCursor(c, line));
}

const std::string kGood =
    "kqcursor1 1704067200 1234 0415263748596a7b8c 0123456789abcdef\n";

}  // namespace

// ---- The line -------------------------------------------------------------

TEST(CursorLine, FormatsAndParsesBack) {
    EXPECT_EQ(format(makeCursor(1704067200, 1234, 0x04, 0x0123456789abcdefull)),
              kGood);
    const KQLogCursor cases[] = {
        makeCursor(0, 0, 0, 0),
        makeCursor(-1, 1, 0xff, 1),
        makeCursor(INT64_MIN, INT32_MAX, 0x80, UINT64_MAX),
        makeCursor(INT64_MAX, 65535, 0x0f, 0xcbf29ce484222325ull),
    };
    for (const KQLogCursor& c : cases) {
        std::string line = format(c);
        SCOPED_TRACE(line);
        EXPECT_LE(line.size(), 78u);
        KQLogCursor back;
        ASSERT_TRUE(parseCursor(line.data(), line.size(), back));
        EXPECT_TRUE(sameCursor(back, c));
    }
}

// Anything but a line formatCursor writes is refused, and the cursor
// passed in is left as it was.
TEST(CursorLine, RefusesEverythingElse) {
    const std::string bad[] = {
        "",
        kGood.substr(0, kGood.size() - 1),  // no line feed
        kGood + "\n",
        "kqcursor2" + kGood.substr(9),      // another version
        "kqcursor1  1704067200 1234 0415263748596a7b8c 0123456789abcdef\n",
        "kqcursor1 01704067200 1234 0415263748596a7b8c 0123456789abcdef\n",
        "kqcursor1 -0 1234 0415263748596a7b8c 0123456789abcdef\n",
        "kqcursor1 9223372036854775808 1 0415263748596a7b8c 0123456789abcdef\n",
        "kqcursor1 1704067200 -1 0415263748596a7b8c 0123456789abcdef\n",
        "kqcursor1 1704067200 2147483648 0415263748596a7b8c 0123456789abcdef\n",
        "kqcursor1 1704067200 1234 0415263748596a7b8 0123456789abcdef\n",
        "kqcursor1 1704067200 1234 0415263748596A7B8C 0123456789abcdef\n",
        "kqcursor1 1704067200 1234 0415263748596a7b8c 0123456789abcdef0\n",
        kGood.substr(0, 30) + std::string(1, '\0') + kGood.substr(31),
    };
    for (const std::string& line : bad) {
        SCOPED_TRACE(line);
        KQLogCursor out = makeCursor(7, 7, 7, 7);
        EXPECT_FALSE(parseCursor(line.data(), line.size(), out));
        EXPECT_TRUE(sameCursor(out, makeCursor(7, 7, 7, 7)));
    }
}

// ---- The file ---------------------------------------------------------------

// Replaced whole and read back; a first run finds no file; anything else
// there is malformed or unreadable, never a cursor.
TEST(CursorFile, WritesAndReadsWholeLines) {
    TempDirectory dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.file("cursor");
    KQLogCursor c;
    int err = 0;
    EXPECT_EQ(readCursorFile(path, c, &err), CursorRead::MISSING);
    // A temporary file that a killed run left behind is no obstacle.
    dir.put("cursor.tmp", std::string(500, 'x'));
    for (const KQLogCursor& written : {makeCursor(1704067200, 100, 0x04, 42),
                                       makeCursor(1704067200, 119, 0x05, 43)}) {
        ASSERT_TRUE(writeCursorFile(path, written, &err)) << strerror(err);
        ASSERT_EQ(readCursorFile(path, c, &err), CursorRead::OK);
        EXPECT_TRUE(sameCursor(c, written));
        EXPECT_EQ(dir.names(), std::vector<std::string>{"cursor"});
    }

    dir.put("empty", "");
    dir.put("cut short", kGood.substr(0, 40));
    dir.put("a good line and more", kGood + kGood);
    dir.put("long", std::string(5000, 'k'));
    // No regular file: a directory, a FIFO (which must not block the run).
    ASSERT_EQ(mkdir(dir.file("a directory").c_str(), 0700), 0);
    ASSERT_EQ(mkfifo(dir.file("a fifo").c_str(), 0600), 0);
    for (const std::string& name : dir.names()) {
        if (name == "cursor") continue;
        SCOPED_TRACE(name);
        EXPECT_EQ(readCursorFile(dir.file(name), c, &err),
                  CursorRead::MALFORMED);
    }
    // A path through a file is no missing file.
    EXPECT_EQ(readCursorFile(path + "/x", c, &err), CursorRead::UNREADABLE);
    EXPECT_EQ(err, ENOTDIR);
}

// A write that fails leaves what was there, and no temporary file.
TEST(CursorFile, AFailedWriteLeavesTheOldFile) {
    TempDirectory dir;
    ASSERT_TRUE(dir.ok());
    int err = 0;
    EXPECT_FALSE(
        writeCursorFile(dir.file("nodir/cursor"), makeCursor(1, 2, 3, 4), &err));
    EXPECT_EQ(err, ENOENT);
    // The file's place is taken by a directory: the rename fails.
    ASSERT_EQ(mkdir(dir.file("taken").c_str(), 0700), 0);
    EXPECT_FALSE(writeCursorFile(dir.file("taken"), makeCursor(1, 2, 3, 4), &err));
    EXPECT_EQ(err, EISDIR);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"taken"});
}

// ---- What the follow loop keeps -----------------------------------------------

TEST(CursorKeeper, KeepsTheLastRecordUntilSavedAtMostOnceASecond) {
    char text[16] = "first\n";
    KQLogRecord rec;
    rec.iPos = 40;
    rec.iStartTime = 1704067200;
    rec.header[0] = 6;
    rec.pText = text;
    rec.iTextLen = 6;

    CursorKeeper keeper;
    EXPECT_FALSE(keeper.due(0));
    keeper.note(rec);
    // The line buffer is reused for the next record at once: the cursor
    // must be of the text as it was.
    memcpy(text, "other\n", 6);
    EXPECT_TRUE(keeper.due(5000));  // never saved: due at once
    KQLogCursor c = keeper.take(5000);
    EXPECT_EQ(c.iPos, 40);
    EXPECT_EQ(c.iStartTime, 1704067200);
    EXPECT_EQ(c.header[0], 6);
    EXPECT_EQ(c.nTextHash, KQLogTextHash("first\n", 6));

    EXPECT_FALSE(keeper.due(7000)) << "nothing new";
    rec.iPos = 60;
    keeper.note(rec);
    EXPECT_FALSE(keeper.due(5999));
    EXPECT_TRUE(keeper.due(6000));
    EXPECT_EQ(keeper.take(6000).iPos, 60);
    EXPECT_FALSE(keeper.hasNew());
}

// ---- Lap reports ----------------------------------------------------------

// Laps as the follow loop meets them, with the time of each look: the
// lines that come out and their byte sums.
TEST(LapReportLimiter, AtMostOneLineASecondWithTheBytesSummed) {
    struct Event {
        char kind;  // 'L': a lap of n bytes; 'C': a look (due); 'E': the end
        int64_t ms;
        int64_t n;
    };
    struct Case {
        const char* name;
        std::vector<Event> events;
        std::vector<int64_t> lines;  // the sums printed, in order
    } cases[] = {
        {"the first lap goes out at once, even of unknown size",
         {{'L', 0, 0}, {'C', 0, 0}, {'C', 10, 0}},
         {0}},
        {"a storm: one line a second, the laps between summed",
         {{'L', 0, 1}, {'C', 0, 0}, {'L', 200, 2}, {'C', 200, 0},
          {'L', 999, 4}, {'C', 999, 0}, {'C', 1000, 0}, {'L', 1500, 8},
          {'C', 1999, 0}, {'C', 2000, 0}},
         {1, 6, 8}},
        {"after a quiet second the next lap goes out at once",
         {{'L', 0, 1}, {'C', 0, 0}, {'L', 3000, 2}, {'C', 3000, 0}},
         {1, 2}},
        {"the end takes what is pending, however recent the last line",
         {{'L', 0, 9}, {'C', 0, 0}, {'L', 100, 3}, {'C', 100, 0},
          {'E', 100, 0}, {'E', 200, 0}},
         {9, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LapReportLimiter limiter;
        std::vector<int64_t> lines;
        for (const Event& e : c.events) {
            int64_t sum = -1;
            if (e.kind == 'L') limiter.add(e.n);
            if (e.kind == 'C' && limiter.due(e.ms, &sum)) lines.push_back(sum);
            if (e.kind == 'E' && limiter.drain(e.ms, &sum)) lines.push_back(sum);
        }
        EXPECT_EQ(lines, c.lines);
    }
}
