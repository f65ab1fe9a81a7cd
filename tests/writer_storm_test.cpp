// Four threads share one writer and a small ring that wraps many times. At
// checkpoints, with every thread paused, and at the end the ring must read
// back whole, each thread's messages in order.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "KQShmLogWriter.h"
#include "ToolRunner.h"
#include "writer_support.h"

namespace {

const int THREADS = 4, TOTAL = 80000, CHECK_EVERY = 1000;

std::string padding(int t, int n) { return std::string(size_t((n * 7 + t) % 200), 'x'); }

void expectWholeRing(SegmentPeek& seg, std::vector<NodeSeen>& nodes) {
    ASSERT_TRUE(seg.walk(nodes));
    ASSERT_GT(nodes.size(), 5u);
    std::vector<int> last(THREADS, -1);
    for (const NodeSeen& node : nodes) {
        int t = -1, n = -1, pad = -1;
        ASSERT_EQ(sscanf(node.text.c_str(), "w%d %d%n", &t, &n, &pad), 2) << node.text;
        ASSERT_TRUE(t >= 0 && t < THREADS) << node.text;
        EXPECT_EQ(std::string(seg.head()->logInfos[node.tag].strLogTag), "w" + std::to_string(t));
        EXPECT_EQ(node.text.substr(size_t(pad)), " " + padding(t, n) + "\n");
        EXPECT_GT(n, last[size_t(t)]);
        last[size_t(t)] = n;
    }
}

}  // namespace

TEST(WriterStorm, FourThreadsIntoASmallRing) {
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    IKQLOGWriter* pWriter = IKQLOGWriter::getInst();
    ASSERT_TRUE(pWriter->init(lp.path().c_str(), 8192));
    SegmentPeek seg(lp.key());
    // Messages are numbered by tickets; a message of round r is written
    // once the ring has been checked after all of round r - 1, so every
    // thread writes right up to each check.
    std::atomic<int> tickets(0), done(0), round(0);
    std::vector<std::thread> pool;
    for (int t = 0; t < THREADS; ++t) {
        pool.emplace_back([&, t] {
            std::string tag = "w" + std::to_string(t);
            KQLogId id = pWriter->registerTag(tag.c_str(), KQLOG_LEVEL_TRACE);
            for (int n = 0;; ++n) {
                int k = tickets++;
                if (k >= TOTAL) break;
                while (round.load() < k / CHECK_EVERY) std::this_thread::yield();
                pWriter->logFormat(id, KQLOG_LEVEL_INFO, "w%d %d %s\n", t, n,
                                   padding(t, n).c_str());
                ++done;
            }
        });
    }
    std::vector<NodeSeen> nodes;
    for (int r = 1; r < TOTAL / CHECK_EVERY; ++r) {
        while (done.load() < r * CHECK_EVERY) std::this_thread::yield();
        expectWholeRing(seg, nodes);
        round.store(r);
    }
    for (std::thread& th : pool) th.join();

    expectWholeRing(seg, nodes);
    ToolResult r = runTool(KQLOGREADER_PATH, {"-p", lp.serviceName(), "-d"});
    EXPECT_EQ(r.out.find("nextLog return false!!"), std::string::npos);
    EXPECT_EQ(r.out, seg.expectedDump(lp.serviceName(), nodes));
}
