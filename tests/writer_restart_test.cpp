// A writer restarting on the log a killed writer left. The writer
// publishes a node by its size byte and then moves logWritePos past it; a
// writer killed between the two leaves a whole node at logWritePos with an
// end marker after it. The next writer must carry that log on, with the
// node, not start a new one.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "KQShmLogWriter.h"
#include "ToolRunner.h"
#include "writer_support.h"

namespace {

IKQLOGWriter* writer() { return IKQLOGWriter::getInst(); }

std::string textOf(int i) {
    return std::to_string(i) + std::string(size_t(i * 29 % 90), char('a' + i % 26)) + "\n";
}

}  // namespace

// At every point of a ring that wraps many times (node in the middle, node
// whose successor wraps to 0, ring full), the state a kill between the two
// stores leaves is carried on: the node stays, logWritePos is published
// past it before anything else is written, and writing goes on after it.
TEST(WriterRestart, CarriesOnANodePublishedBeforeItsPositionMoved) {
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    ASSERT_TRUE(writer()->init(lp.path().c_str(), 1000));
    ASSERT_EQ(writer()->registerTag("k", KQLOG_LEVEL_TRACE), 0);
    SegmentPeek seg(lp.key());
    ASSERT_TRUE(seg.ok());
    int wraps = 0;
    for (int i = 0; i < 120; ++i) {
        SCOPED_TRACE("message " + std::to_string(i));
        std::vector<std::string> kept = seg.texts();
        int32_t before = seg.head()->logWritePos;
        ASSERT_TRUE(writer()->log(0, KQLOG_LEVEL_INFO, textOf(i).c_str()));
        int32_t after = seg.head()->logWritePos;
        wraps += after < before;
        seg.head()->logWritePos = before;  // killed before the second store

        ASSERT_TRUE(writer()->init(lp.path().c_str(), 0));
        EXPECT_EQ(seg.head()->logWritePos, after);
        std::vector<std::string> now = seg.texts();
        ASSERT_FALSE(now.empty()) << "the log was dropped";
        EXPECT_EQ(now.back(), textOf(i));
        // Older nodes stay unless the new node evicted them.
        kept.push_back(textOf(i));
        ASSERT_LE(now.size(), kept.size());
        EXPECT_TRUE(std::equal(now.begin(), now.end(), kept.end() - long(now.size())));
    }
    EXPECT_GT(wraps, 5);

    ASSERT_TRUE(writer()->log(0, KQLOG_LEVEL_INFO, "after the restarts\n"));
    std::vector<NodeSeen> nodes;
    ASSERT_TRUE(seg.walk(nodes));
    EXPECT_EQ(nodes.back().text, "after the restarts\n");
    EXPECT_EQ(nodes[nodes.size() - 2].text, textOf(119));
    ToolResult r = runTool(KQLOGREADER_PATH, {"-p", lp.serviceName(), "-d"});
    EXPECT_EQ(r.out, seg.expectedDump(lp.serviceName(), nodes));
}

// Only whole nodes on the chain are carried on. What a kill cannot leave,
// or what does not end at an end marker, still makes the writer start a new
// log.
TEST(WriterRestart, StartsAfreshWhenThePositionsAreNotOnTheChain) {
    struct Case {
        const char* name;
        void (*spoil)(SegmentPeek&, int32_t before);
    } cases[] = {
        // The node at logWritePos with its size byte but a broken text.
        {"torn node at logWritePos",
         [](SegmentPeek& s, int32_t before) { s.ring()[before + 9 + 2] = 0; }},
        // No end marker after it: the walk would run into the old nodes.
        {"no end marker after it",
         [](SegmentPeek& s, int32_t before) {
             s.ring()[before + s.ring()[before] + 10] = 9;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchLogPath lp;
        ASSERT_TRUE(lp.ok());
        ASSERT_TRUE(writer()->init(lp.path().c_str(), 4096));
        writer()->registerTag("k", KQLOG_LEVEL_TRACE);
        writer()->log(0, KQLOG_LEVEL_INFO, "one");
        SegmentPeek seg(lp.key());
        int32_t before = seg.head()->logWritePos;
        writer()->log(0, KQLOG_LEVEL_INFO, "two");
        seg.head()->logWritePos = before;
        c.spoil(seg, before);
        ASSERT_TRUE(writer()->init(lp.path().c_str(), 0));
        SegmentPeek now(lp.key());  // a new log may be a new segment
        ASSERT_TRUE(now.ok());
        EXPECT_EQ(now.head()->currLogInfoIndex, 0) << "kept an unsound log";
        EXPECT_EQ(now.texts(), std::vector<std::string>{});
    }
}
