// Per-line cost of the reader's core: validating a node and rendering its
// line, for texts of 16, 64 and 200 bytes. The ring is plain memory laid
// out by the ring rules, so no shared memory or system call is measured;
// the local-time zone is whatever TZ says when the benchmark runs.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "KQShmLogReaderImp.h"
#include "KQShmLogRing.h"
#include "KQShmLogWalk.h"

namespace {

const int RING_SIZE = 1 << 20;

// A header, 20 tags and a ring of nodes with texts of nTextLen bytes, the
// last ending in a line feed, each iSecondEvery nodes one second later.
// Laid byte by byte as a writer would, an end marker after the last node.
struct BenchRing {
    std::vector<uint8_t> bytes;
    int32_t iWritePos = 0;
    int iNodes = 0;

    shmloghead* head() { return reinterpret_cast<shmloghead*>(bytes.data()); }
    uint8_t* ring() { return bytes.data() + sizeof(shmloghead); }

    BenchRing(size_t nTextLen, int iSecondEvery)
        : bytes(sizeof(shmloghead) + RING_SIZE) {
        shmloghead* pHead = head();
        pHead->magic = KQLOG_MAGIC;
        pHead->hdrsize = sizeof(shmloghead);
        pHead->logbufsize = RING_SIZE;
        pHead->starttime = 1700000000;
        static const char* const NAMES[4] = {"net", "http", "storage",
                                             "scheduler"};
        for (int i = 0; i < 20; ++i) {
            memcpy(pHead->logInfos[i].strLogTag, NAMES[i % 4],
                   strlen(NAMES[i % 4]));
        }
        pHead->currLogInfoIndex = 20;

        BenchTextGen gen(42);
        int32_t iPos = 0;
        uint32_t iMs = 0;
        for (;;) {
            int32_t iNext = KQRingNextPos(iPos, uint8_t(nTextLen), RING_SIZE);
            if (iNext == 0) break;
            uint8_t* p = ring() + iPos;
            p[0] = uint8_t(nTextLen);
            p[1] = uint8_t(iNodes % 20);
            p[2] = uint8_t(iNodes % 6);
            uint32_t iSec = uint32_t(iNodes / iSecondEvery);
            memcpy(p + 3, &iSec, 4);
            uint16_t iMilli = uint16_t(iMs++ % 1000);
            memcpy(p + 7, &iMilli, 2);
            gen.fill(reinterpret_cast<char*>(p + 9), nTextLen);
            p[9 + nTextLen - 1] = '\n';
            p[9 + nTextLen] = 0;
            iPos = iNext;
            ++iNodes;
        }
        ring()[iPos] = 0;
        iWritePos = iPos;
        pHead->logReadPos = 0;
        pHead->logWritePos = iPos;
    }
};

// KQRingReadNode + the tag name + KQRenderLine: what nextLog does per line
// besides its bookkeeping.
void BM_ReadAndRender(benchmark::State& state) {
    BenchRing ring(size_t(state.range(0)), int(state.range(1)));
    KQRingView view{ring.head(), ring.ring(), RING_SIZE};
    KQTimeCache cache;
    KQNodeCopy copy;
    char line[600];
    int32_t iPos = 0;
    size_t nBytes = 0;
    for (auto _ : state) {
        if (KQRingReadNode(view, iPos, copy) != KQNODE_VALID) {
            iPos = 0;
            continue;
        }
        char name[KQLOG_TAG_NAME_SIZE];
        int iTagLen = KQRingTagName(ring.head(), copy.logTag, name);
        size_t nLen = KQRenderLine(copy, name, iTagLen, 1700000000, cache,
                                   line);
        benchmark::DoNotOptimize(line);
        nBytes += nLen;
        iPos = KQRingNextPos(iPos, copy.logSize, RING_SIZE);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.SetBytesProcessed(int64_t(nBytes));
}

// The public path: nextLog on a reader over the same memory, the retained
// check and the caller's string included.
void BM_NextLog(benchmark::State& state) {
    BenchRing ring(size_t(state.range(0)), int(state.range(1)));
    std::unique_ptr<CKQLOGReaderImp> pReader(new CKQLOGReaderImp());
    if (!pReader->initFromMemory(ring.bytes.data(), ring.bytes.size())) {
        state.SkipWithError("initFromMemory failed");
        return;
    }
    pReader->seekLogBegin(0);
    std::string strLine;
    size_t nBytes = 0;
    for (auto _ : state) {
        pReader->nextLog(strLine);
        if (strLine.empty()) pReader->seekLogBegin(0);
        nBytes += strLine.size();
        benchmark::DoNotOptimize(strLine.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.SetBytesProcessed(int64_t(nBytes));
}

// The print path: KQRingReadLine renders the node straight into the
// output, validated where it lies, then the after-copy recheck.
void BM_ReadLineIntoBuffer(benchmark::State& state) {
    BenchRing ring(size_t(state.range(0)), int(state.range(1)));
    KQRingView view{ring.head(), ring.ring(), RING_SIZE};
    KQTimeCache cache;
    KQLineRead line;
    std::vector<char> out(1 << 20);
    size_t nUsed = 0;
    int32_t iPos = 0;
    size_t nBytes = 0;
    for (auto _ : state) {
        if (nUsed + KQLOG_MAX_LINE_SIZE + 1 > out.size()) nUsed = 0;
        char* pLine = out.data() + nUsed;
        if (KQRingReadLine(view, iPos, 1700000000, cache, pLine, line) !=
                KQNODE_VALID ||
            !KQRingLineUnchanged(view, iPos, line, pLine)) {
            iPos = 0;
            continue;
        }
        nUsed += line.nLineLen;
        nBytes += line.nLineLen;
        iPos = KQRingNextPos(iPos, line.header[0], RING_SIZE);
    }
    benchmark::DoNotOptimize(out.data());
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.SetBytesProcessed(int64_t(nBytes));
}

// The whole reading policy per line: KQRingWalker::next printing once
// into a large buffer, as kqlogreader -d does (its write(2) excluded).
void BM_WalkerIntoBuffer(benchmark::State& state) {
    BenchRing ring(size_t(state.range(0)), int(state.range(1)));
    KQRingView view{ring.head(), ring.ring(), RING_SIZE};
    KQRingWalker walker;
    walker.startAtOldest(view, false);
    KQWalkResult res;
    std::vector<char> out(1 << 20);
    size_t nUsed = 0;
    size_t nBytes = 0;
    for (auto _ : state) {
        if (nUsed + KQLOG_MAX_LINE_SIZE + 1 > out.size()) nUsed = 0;
        if (walker.next(view, out.data() + nUsed, res) != KQWALK_RECORD) {
            walker.startAtOldest(view, false);
            continue;
        }
        nUsed += res.line.nLineLen;
        nBytes += res.line.nLineLen;
    }
    benchmark::DoNotOptimize(out.data());
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.SetBytesProcessed(int64_t(nBytes));
}

// Second argument: nodes per second of log time. 26 is the dump
// benchmark's log (a new second every 26 lines on average); 1 converts the
// time on every line.
void lineArgs(benchmark::internal::Benchmark* b) {
    b->ArgNames({"text", "perSecond"});
    for (int iLen : {16, 64, 200}) b->Args({iLen, 26});
    b->Args({64, 1});
}

}  // namespace

BENCHMARK(BM_ReadAndRender)->Apply(lineArgs);
BENCHMARK(BM_NextLog)->Apply(lineArgs);
BENCHMARK(BM_ReadLineIntoBuffer)->Apply(lineArgs);
BENCHMARK(BM_WalkerIntoBuffer)->Apply(lineArgs);

BENCHMARK_MAIN();
