// Black-box tests of kqlogreader's maintenance commands: setting levels
// (-l, -i), switching tags (-t, -f), listing the tag table (-s) and dumping
// the segment (-D). Changes are read back from the segment's raw bytes
// through the test's own attachment; nothing else may change.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "TestSegment.h"
#include "ToolRunner.h"

namespace {

const std::string kTool = KQLOGREADER_PATH;

typedef std::vector<uint8_t> Bytes;

// Where the two bytes a command may change sit in the segment.
size_t levelAt(int entry) { return 36 + 14 * size_t(entry) + 10; }
size_t enableAt(int entry) { return 36 + 14 * size_t(entry) + 11; }

// Empty when equal; otherwise where they first differ.
std::string firstDifference(const Bytes& actual, const Bytes& expected) {
    if (actual.size() != expected.size())
        return "size " + std::to_string(actual.size()) + " instead of " +
               std::to_string(expected.size());
    for (size_t i = 0; i < actual.size(); ++i)
        if (actual[i] != expected[i])
            return "byte " + std::to_string(i) + " is " +
                   std::to_string(actual[i]) + " instead of " +
                   std::to_string(expected[i]);
    return "";
}

Bytes segmentBytes(TestSegment& seg) {
    return Bytes(seg.bytes(), seg.bytes() + seg.bytesSize());
}

class KqlogreaderMaintenance : public VarRunTest {};

struct Change {
    size_t offset;
    uint8_t value;
};

TEST_F(KqlogreaderMaintenance, ChangesExactlyTheAddressedBytes) {
    const std::string kListing =
        "LogBufSize: [4096] Bytes\nAllLevels: \n0 -> TRACE\n1 -> DEBUG\n"
        "2 -> INFO \n3 -> WARN \n4 -> ERROR\n5 -> FATAL\n"
        "[0] Tag[alpha] Level[INFO :2] [Enabled]\n"
        "[1] Tag[beta] Level[WARN :3] [Disabled]\n"
        "[2] Tag[gamma] Level[DEBUG:1] [Enabled]\n"
        "[3] Tag[delta] Level[ERROR:4] [Enabled]\n";
    const std::vector<Change> allAt3 = {
        {levelAt(0), 3}, {levelAt(1), 3}, {levelAt(2), 3}, {levelAt(3), 3}};
    struct Case {
        std::vector<std::string> args;
        std::string out;  // after the banner
        std::vector<Change> changes;
    } cases[] = {
        {{"-l", "3"}, "Setting Default Log Level: 3\n", allAt3},
        {{"-l", "+3"}, "Setting Default Log Level: 3\n", allAt3},
        {{"-i", "255", "-l", "5"},
         "Setting Default Log Level: 5\n",
         {{levelAt(0), 5}, {levelAt(1), 5}, {levelAt(2), 5}, {levelAt(3), 5}}},
        {{"-i", "2", "-l", "4"},
         "Setting Log Level[ID:2]: 4\n",
         {{levelAt(2), 4}}},
        {{"-l", "0", "-i", "3"},
         "Setting Log Level[ID:3]: 0\n",
         {{levelAt(3), 0}}},
        {{"-t", "3", "-f", "3"},
         "Log Tag[ID:3] Enabled\nLog Tag[ID:3] Disabled\n",
         {{enableAt(3), 0}}},
        {{"-f", "2", "-t", "1"},
         "Log Tag[ID:1] Enabled\nLog Tag[ID:2] Disabled\n",
         {{enableAt(1), 1}, {enableAt(2), 0}}},
        // Tags not in use: the message, and no change.
        {{"-t", " 7"}, "Log Tag[ID:7] Enabled\n", {}},
        {{"-t", "9"}, "Log Tag[ID:9] Enabled\n", {}},
        {{"-i", "9", "-l", "1"}, "Setting Log Level[ID:9]: 1\n", {}},
        // No tag, no level.
        {{"-t", "255"}, "", {}},
        {{"-t", "-1", "-f", "-1"}, "", {}},
        {{"-l", "-1"}, "", {}},
        // A rejected level ends the run before anything else.
        {{"-l", "6", "-t", "1", "-d"}, "Wrong log level[6]!!\n", {}},
        {{"-l", "2147483647", "-f", "0"},
         "Wrong log level[2147483647]!!\n",
         {}},
        // Listing ends the run.
        {{"-s", "-l", "3", "-t", "1", "-d"}, kListing, {}},
        // An empty dump path is no dump; then the commands and the log.
        {{"-D", "", "-i", "1", "-l", "2", "-t", "1", "-f", "3", "-d"},
         "Setting Log Level[ID:1]: 2\nLog Tag[ID:1] Enabled\n"
         "Log Tag[ID:3] Disabled\n[INFO  alpha 01-01 00:00:00 0000] hello\n",
         {{levelAt(1), 2}, {enableAt(1), 1}, {enableAt(3), 0}}},
    };
    TestSegment seg(4096, "/var/run");
    ASSERT_TRUE(seg.ok());
    // Four entries in use; the writers' flags set so that a stray write
    // shows. Entry 9 is named but not in use.
    seg.setTag(0, "alpha", 2, true);
    seg.setTag(1, "beta", 3, false);
    seg.setTag(2, "gamma", 1, true);
    seg.setTag(3, "delta", 4, true);
    seg.setTag(9, "ghost", 0, false);
    seg.head()->currLogInfoIndex = 4;
    for (KQLogInfo& info : seg.head()->logInfos) {
        info.bEnableFileLine = 1;
        info.bEnableThreadID = 1;
    }
    seg.appendNode("hello\n");
    const Bytes original = segmentBytes(seg);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Bytes expected = original;
        for (const Change& ch : c.changes) expected[ch.offset] = ch.value;
        std::vector<std::string> args = {"-p", seg.serviceName()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ToolResult r = runTool(kTool, args);
        EXPECT_EQ(r.out, "LogPath [" + seg.path() + "]\n" + c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(firstDifference(segmentBytes(seg), expected), "");
        memcpy(seg.bytes(), original.data(), original.size());
    }
}

TEST_F(KqlogreaderMaintenance, ListsTagsUpToTheFirstEmptyName) {
    TestSegment table(2048, "/var/run");
    ASSERT_TRUE(table.ok());
    table.setTag(0, "a", 0, true);
    table.setTag(1, "abcdefghij", 2, false);  // ten bytes, no terminator
    table.setTag(2, "klm", 6, true);
    table.setTag(3, "z", 255, true);
    table.setTag(4, "zz", 5, true);
    table.setTag(5, "out", 1, true);  // named, but not in use
    table.setTag(7, "late", 1, true);  // after the empty entry 6
    table.head()->currLogInfoIndex = 5;
    ToolResult r = runTool(kTool, {"-s", "-p", table.serviceName()});
    EXPECT_EQ(r.out, "LogPath [" + table.path() + "]\n"
                     "LogBufSize: [2048] Bytes\n"
                     "AllLevels: \n"
                     "0 -> TRACE\n1 -> DEBUG\n2 -> INFO \n"
                     "3 -> WARN \n4 -> ERROR\n5 -> FATAL\n"
                     "[0] Tag[a] Level[TRACE:0] [Enabled]\n"
                     "[1] Tag[abcdefghij] Level[INFO :2] [Disabled]\n"
                     "[2] Tag[klm] Level[?????:6] [Enabled]\n"
                     "[3] Tag[z] Level[?????:255] [Enabled]\n"
                     "[4] Tag[zz] Level[FATAL:5] [Enabled]\n"
                     "[5] Tag[out] Level[?????:6] [Disabled]\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitStatus, 1);
}

// A directory of its own for dump files, removed with what is in it.
struct TempDir {
    std::string path = "/tmp/kqtest-dump-XXXXXX";
    TempDir() {
        if (!mkdtemp(&path[0])) path.clear();
    }
    ~TempDir() {
        if (path.empty()) return;
        unlink((path + "/out.bin").c_str());
        rmdir(path.c_str());
    }
};

Bytes readFile(const std::string& path) {
    Bytes data;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return data;
    uint8_t buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        data.insert(data.end(), buf, buf + n);
    fclose(f);
    return data;
}

TEST_F(KqlogreaderMaintenance, DumpsTheWholeSegment) {
    // A ring that does not follow the header at once, and marked bytes in
    // the gap and at the ring's end, which a short dump would miss.
    TestSegment dumped(4096, "/var/run", 4000);
    ASSERT_TRUE(dumped.ok());
    dumped.setTag(0, "t");
    dumped.appendNode("not printed\n");
    for (size_t i = sizeof(shmloghead); i < 4000; ++i)
        dumped.bytes()[i] = uint8_t(i);
    for (int i = 1; i <= 300; ++i) dumped.ring()[4096 - i] = uint8_t(i);

    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string file = dir.path + "/out.bin";
    {  // an older, longer file is replaced
        FILE* f = fopen(file.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(std::string(20000, 'x').data(), 1, 20000, f);
        fclose(f);
    }
    const std::string banner = "LogPath [" + dumped.path() + "]\n";
    ToolResult r = runTool(kTool, {"-p", dumped.serviceName(), "-D", file, "-d"});
    EXPECT_EQ(r.out, banner + "Dumping Log Memory tp [" + file + "]...\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitStatus, 1);
    Bytes dump = readFile(file);
    ASSERT_EQ(dump.size(), 8096u);
    EXPECT_EQ(firstDifference(Bytes(dump.begin(), dump.begin() + 3608),
                              Bytes(dumped.bytes(), dumped.bytes() + 3608)),
              "");
    EXPECT_EQ(firstDifference(dump, segmentBytes(dumped)), "");

    const std::string missing = dir.path + "/missing/out.bin";
    r = runTool(kTool, {"-p", dumped.serviceName(), "-D", missing});
    EXPECT_EQ(r.out, banner + "Dumping Log Memory tp [" + missing + "]...\n");
    EXPECT_EQ(r.err, "fopen[" + missing +
                         "] failed!! err: No such file or directory\n");
    EXPECT_EQ(r.exitStatus, 1);

    if (access("/dev/full", W_OK) != 0) return;  // no full device here
    r = runTool(kTool, {"-p", dumped.serviceName(), "-D", "/dev/full"});
    EXPECT_EQ(r.out, banner + "Dumping Log Memory tp [/dev/full]...\n");
    EXPECT_EQ(r.err,
              "fwrite[/dev/full] failed!! err: No space left on device\n");
    EXPECT_EQ(r.exitStatus, 1);
}

}  // namespace
