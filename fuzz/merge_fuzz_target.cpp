// Fuzz target for KQLogMerge: the input becomes two logs in plain memory,
// each read by a reader and stream of its own, printing once from the
// oldest record, and merged.
//
// Input: byte 0 times 16 is the first part's size (the rest of the input
// when shorter); the bytes after it are the second part. Each is one log:
//        0   8  starttime (any value: times past any clock must order too)
//        8   4  logReadPos   (taken modulo the ring's size)
//       12   4  logWritePos  (taken modulo the ring's size)
//       16   -  the ring's bytes (a ring of under 16 bytes: no log)
// The header is otherwise sound (magic, sizes, two tags), so that the
// readers take every such log and the streams walk whatever the ring holds.
//
// Checks, beyond crashes and sanitizer reports: what the merge gives of
// each log, in order, is exactly what that log's stream gives alone (the
// segments hold still); and the merge's choices are those of a small model
// of its rule, run over the streams' separate answers: anything but a
// record passes at once, and of the records in hand the earliest goes
// first, the first log's on a tie.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KQShmLogMerge.h"
#include "KQShmLogReaderImp.h"

namespace {

[[noreturn]] void checkFailed(const char* pExpr, int iLine) {
    fprintf(stderr, "kqfuzz_merge: check failed at line %d: %s\n", iLine,
            pExpr);
    __builtin_trap();
}

#define KQ_CHECK(cond) ((cond) ? (void)0 : checkFailed(#cond, __LINE__))

// Bounds one pass: a stream printing once ends within twice its ring.
const int kMaxEvents = 20000;

struct Log {
    std::vector<uint8_t> bytes;  // header, then exactly the ring
    bool ok = false;
};

uint32_t u32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

Log buildLog(const uint8_t* data, size_t size) {
    Log log;
    if (size < 16 + 16) return log;
    size_t nRing = size - 16;
    log.bytes.assign(sizeof(shmloghead) + nRing, 0);
    shmloghead* pHead = reinterpret_cast<shmloghead*>(log.bytes.data());
    pHead->magic = KQLOG_MAGIC;
    pHead->hdrsize = sizeof(shmloghead);
    pHead->logbufsize = uint32_t(nRing);
    memcpy(&pHead->starttime, data, 8);
    pHead->logReadPos = int32_t(u32(data + 8) % nRing);
    pHead->logWritePos = int32_t(u32(data + 12) % nRing);
    pHead->currLogInfoIndex = 2;
    memcpy(pHead->logInfos[0].strLogTag, "web", 3);
    memcpy(pHead->logInfos[1].strLogTag, "db", 2);
    memcpy(log.bytes.data() + sizeof(shmloghead), data + 16, nRing);
    log.ok = true;
    return log;
}

// One answer of a stream or of the merge, enough to compare them.
struct Answer {
    ENUM_KQLOG_EVENT eEvent;
    int32_t iPos;
    int64_t iTime;
    std::string line;
    bool operator==(const Answer& o) const {
        return eEvent == o.eEvent && iPos == o.iPos && iTime == o.iTime &&
               line == o.line;
    }
};

Answer answerOf(ENUM_KQLOG_EVENT eEvent, const KQLogRecord& rec) {
    Answer a{eEvent, rec.iPos, 0, std::string()};
    if (eEvent == KQLOG_EVENT_RECORD) {
        a.iTime = KQLogMerge::timeOf(rec);
        a.line.assign(rec.pLine, rec.nLineLen);
    }
    return a;
}

// Everything a fresh stream over the log gives, printing once, to its END.
std::vector<Answer> readAlone(Log& log) {
    std::vector<Answer> answers;
    CKQLOGReaderImp reader;
    KQ_CHECK(reader.initFromMemory(log.bytes.data(), log.bytes.size()));
    KQLogStream stream(&reader);
    stream.startAtOldest(false);
    char line[KQLOG_LINE_BUFFER_SIZE];
    KQLogRecord rec;
    for (int i = 0; i < kMaxEvents; ++i) {
        ENUM_KQLOG_EVENT e = stream.next(rec, line);
        if (e == KQLOG_EVENT_END) return answers;
        answers.push_back(answerOf(e, rec));
    }
    KQ_CHECK(!"a stream printing once never ended");
    return answers;
}

// The merge's rule over the streams' answers: which log each merged answer
// should come from.
std::vector<size_t> modelOrder(const std::vector<std::vector<Answer>>& alone) {
    size_t n = alone.size();
    std::vector<size_t> next(n, 0);
    std::vector<bool> inHand(n, false);
    std::vector<size_t> order;
    for (;;) {
        bool bPassed = false;
        for (size_t i = 0; i < n && !bPassed; ++i) {
            if (inHand[i] || next[i] >= alone[i].size()) continue;
            if (alone[i][next[i]].eEvent == KQLOG_EVENT_RECORD) {
                inHand[i] = true;
            } else {
                order.push_back(i);
                ++next[i];
                bPassed = true;
            }
        }
        if (bPassed) continue;
        size_t iFirst = n;
        for (size_t i = 0; i < n; ++i)
            if (inHand[i] && (iFirst == n || alone[i][next[i]].iTime <
                                                 alone[iFirst][next[iFirst]].iTime))
                iFirst = i;
        if (iFirst == n) return order;
        order.push_back(iFirst);
        inHand[iFirst] = false;
        ++next[iFirst];
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "UTC", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    size_t nFirst = std::min(size - 1, size_t(data[0]) * 16);
    Log logs[2] = {buildLog(data + 1, nFirst),
                   buildLog(data + 1 + nFirst, size - 1 - nFirst)};
    if (!logs[0].ok || !logs[1].ok) return 0;

    std::vector<std::vector<Answer>> alone = {readAlone(logs[0]),
                                              readAlone(logs[1])};
    std::vector<size_t> expectedOrder = modelOrder(alone);

    CKQLOGReaderImp readers[2];
    KQ_CHECK(readers[0].initFromMemory(logs[0].bytes.data(), logs[0].bytes.size()));
    KQ_CHECK(readers[1].initFromMemory(logs[1].bytes.data(), logs[1].bytes.size()));
    KQLogStream streams[2] = {KQLogStream(&readers[0]), KQLogStream(&readers[1])};
    KQLogMerge merge;
    for (KQLogStream& stream : streams) {
        stream.startAtOldest(false);
        KQ_CHECK(merge.add(&stream));
    }
    std::vector<size_t> next(2, 0);
    KQLogRecord rec;
    size_t iLog = 9;
    for (size_t k = 0;; ++k) {
        ENUM_KQLOG_EVENT e = merge.next(rec, &iLog);
        if (e == KQLOG_EVENT_END) {
            KQ_CHECK(k == expectedOrder.size());
            KQ_CHECK(next[0] == alone[0].size() && next[1] == alone[1].size());
            break;
        }
        KQ_CHECK(iLog < 2);
        KQ_CHECK(k < expectedOrder.size() && iLog == expectedOrder[k]);
        KQ_CHECK(next[iLog] < alone[iLog].size());
        KQ_CHECK(answerOf(e, rec) == alone[iLog][next[iLog]]);
        ++next[iLog];
    }
    // Printing once, the end is for good.
    KQ_CHECK(merge.next(rec, &iLog) == KQLOG_EVENT_END);
    return 0;
}
