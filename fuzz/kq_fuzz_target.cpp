// Fuzz target: any bytes become a log segment (see kq_fuzz_input.h). The
// ring core walks it; then the process's reader takes it, from memory or,
// with KQF_FILE, from a file image (IKQLOGReader::initFromFile), and
// KQLogStream reads it, printing once from the oldest node and from
// logWritePos, and following. In memory the segment is a heap block of
// exactly its claimed size, and a file image is the reader's own copy, as
// large as the file: AddressSanitizer reports any read past either.
//
// Beyond crashes, every answer is checked against a small model of the
// format. The segment holds still while it is read, so a stream meets no
// lap and no restart: each record is a sound node and reads exactly as the
// node renders; records come in chain order; a pass printing once moves
// forward from where it began, within the written data, at most once round,
// and ends within a bounded number of calls for good; over a chain with no
// damage it delivers every node; following delivers the same and then
// answers only END, no position twice. Reading writes no byte of the
// segment; a tag operation writes only the bytes it names; nextLog answers
// as the node at its cursor is. A failed check traps, which libFuzzer
// reports as a crash.
//
// Inputs marked KQF_CHAIN are a sound chain of nodes, some damaged: there
// the true node positions are known, and the walker may deliver no record
// that does not start at one (see fuzzChain).
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "KQShmLogReaderImp.h"
#include "KQShmLogRing.h"
#include "KQShmLogStream.h"
#include "KQShmLogWalk.h"
#include "kq_fuzz_input.h"

namespace {

// Where a failed check is told: standard error as the process began, which
// stays put while the library's own standard error is captured.
int g_iReportFd = STDERR_FILENO;

[[noreturn]] void checkFailed(const char* pExpr, int iLine) {
    dprintf(g_iReportFd, "kqfuzz: check failed at line %d: %s\n", iLine,
            pExpr);
    __builtin_trap();
}

#define KQ_CHECK(cond) ((cond) ? (void)0 : checkFailed(#cond, __LINE__))

const int kMaxCalls = 1000;
const size_t kHdrBytes = sizeof(shmloghead);
const int64_t kMaxLine = 1 + 5 + 1 + 10 + 1 + 14 + 1 + 5 + 2 + 255;  // 295
const char* const kLevelNames[6] = {"TRACE", "DEBUG", "INFO ",
                                    "WARN ", "ERROR", "FATAL"};

size_t levelOffset(int i) { return 36 + 14 * size_t(i) + 10; }
size_t enableOffset(int i) { return 36 + 14 * size_t(i) + 11; }

// The segment: nBytes of zeroed heap filled from the input. A file image
// cut shorter than a header still has its header fields: its block is a
// whole header, of which the file gets the first nBytes.
struct Segment {
    std::unique_ptr<uint8_t[]> bytes;
    size_t nBytes = 0;
    uint64_t hdrSize = 0;
    uint64_t ringSize = 0;

    shmloghead* head() const { return reinterpret_cast<shmloghead*>(bytes.get()); }
    const uint8_t* ring() const { return bytes.get() + hdrSize; }
    // Header present and ring within the block: what the core may be given.
    bool ringFits() const {
        return nBytes >= kHdrBytes && hdrSize + ringSize <= nBytes &&
               ringSize <= uint64_t(INT32_MAX);
    }
};

int32_t reducePos(int32_t iRaw, uint64_t ringSize, bool bRaw) {
    if (bRaw) return iRaw;
    return int32_t(uint64_t(uint32_t(iRaw)) % (ringSize + 1));
}

void buildSegment(const uint8_t* data, size_t size, const KQFuzzControl& c,
                  Segment& seg) {
    bool bRawSizes = (c.flags & KQF_RAW_SIZES) != 0;
    uint32_t iHdr = bRawSizes ? c.hdrsize : segmentHdrSize(c.hdrsize);
    uint32_t iRing = bRawSizes ? c.logbufsize : (c.logbufsize & 0x3FFF);
    seg.hdrSize = iHdr;
    seg.ringSize = iRing;
    if (bRawSizes) {
        seg.nBytes = c.segBytes & 0x1FFFF;
    } else {
        seg.nBytes = size_t(iHdr) + iRing;
        if (seg.nBytes < kHdrBytes) seg.nBytes = kHdrBytes;
    }
    size_t nAlloc = seg.nBytes;
    if ((c.flags & KQF_FILE) && nAlloc < kHdrBytes) nAlloc = kHdrBytes;
    seg.bytes.reset(new uint8_t[nAlloc]());

    size_t off = KQFuzzControl::SIZE < size ? KQFuzzControl::SIZE : size;
    size_t nTags = c.tagBytes;
    if (nTags > 3570) nTags = 3570;
    if (nTags > size - off) nTags = size - off;
    if (nAlloc > 36) {
        size_t n = nTags < nAlloc - 36 ? nTags : nAlloc - 36;
        memcpy(seg.bytes.get() + 36, data + off, n);
    }
    off += nTags;
    if (seg.hdrSize < seg.nBytes) {
        size_t n = size - off;
        if (n > iRing) n = iRing;
        if (n > seg.nBytes - seg.hdrSize) n = size_t(seg.nBytes - seg.hdrSize);
        memcpy(seg.bytes.get() + seg.hdrSize, data + off, n);
    }

    if (nAlloc < kHdrBytes) return;
    shmloghead* pHead = seg.head();
    bool bRawPos = (c.flags & KQF_RAW_POSITIONS) != 0;
    pHead->magic = (c.flags & KQF_BAD_MAGIC) ? c.magic : KQLOG_MAGIC;
    pHead->hdrsize = iHdr;
    pHead->logbufsize = iRing;
    pHead->starttime = c.starttime;
    pHead->currLogInfoIndex = c.currLogInfoIndex;
    pHead->logReadPos = reducePos(c.logReadPos, seg.ringSize, bRawPos);
    pHead->logWritePos = reducePos(c.logWritePos, seg.ringSize, bRawPos);
}

// ---- The model ----------------------------------------------------------

struct ModelNode {
    KQNodeStatus status = KQNODE_OUTSIDE;
    uint8_t size = 0;
    uint8_t tag = 0;
    uint8_t level = 0;
    uint32_t sec = 0;
    uint16_t ms = 0;
    const uint8_t* text = nullptr;
};

ModelNode modelNode(const Segment& seg, int64_t iPos) {
    ModelNode n;
    int64_t iRing = int64_t(seg.ringSize);
    if (iPos < 0 || iPos + 9 > iRing) return n;
    const uint8_t* p = seg.ring() + iPos;
    n.size = p[0];
    n.tag = p[1];
    n.level = p[2];
    n.sec = uint32_t(p[3]) | uint32_t(p[4]) << 8 | uint32_t(p[5]) << 16 |
            uint32_t(p[6]) << 24;
    n.ms = uint16_t(p[7] | p[8] << 8);
    n.text = p + 9;
    if (n.size == 0) {
        n.status = KQNODE_END;
    } else if (iPos + 9 + n.size + 1 > iRing ||
               memchr(n.text, 0, n.size) != nullptr || n.text[n.size] != 0 ||
               n.level > 5) {
        n.status = KQNODE_INVALID;
    } else {
        n.status = KQNODE_VALID;
    }
    return n;
}

int64_t modelNext(int64_t iPos, uint8_t nSize, int64_t iRing) {
    int64_t q = iPos + nSize + 10;
    return q + 284 >= iRing ? 0 : q;
}

int32_t modelSkip(const Segment& seg, int32_t iPos, int iCount) {
    for (int i = 0; i < iCount; ++i) {
        if (iPos < 0 || uint64_t(iPos) >= seg.ringSize) break;
        iPos = int32_t(modelNext(iPos, seg.ring()[iPos], int64_t(seg.ringSize)));
    }
    return iPos;
}

// Between logReadPos and logWritePos, wrapping; positions outside the ring
// tell nothing, and then every position counts.
bool modelRetained(const Segment& seg, int64_t iPos) {
    int64_t iRead = seg.head()->logReadPos;
    int64_t iWrite = seg.head()->logWritePos;
    int64_t iRing = int64_t(seg.ringSize);
    if (iRead < 0 || iRead >= iRing || iWrite < 0 || iWrite >= iRing)
        return true;
    if (iRead <= iWrite) return iRead <= iPos && iPos <= iWrite;
    return iPos >= iRead || iPos <= iWrite;
}

std::string tagName(const shmloghead* pHead, uint8_t nTag) {
    if (nTag == 255) return std::string();  // no entry: empty name
    const char* p = pHead->logInfos[nTag].strLogTag;
    return std::string(p, strnlen(p, 10));
}

// The time a node shows: "MM-DD hh:mm:ss" of starttime + its seconds in
// UTC, or zeros (bValid false) when the sum overflows or has no date.
struct ModelTime {
    bool bValid = false;
    int64_t iSecond = 0;
    std::string text = "00-00 00:00:00";
};

ModelTime timeOf(int64_t iStart, uint32_t iDelta) {
    ModelTime t;
    if (__builtin_add_overflow(iStart, int64_t(iDelta), &t.iSecond)) return t;
    time_t tSecond = time_t(t.iSecond);
    struct tm tmUtc;
    if (gmtime_r(&tSecond, &tmUtc) == nullptr) return t;
    char strTime[64];
    snprintf(strTime, sizeof(strTime), "%02d-%02d %02d:%02d:%02d",
             tmUtc.tm_mon + 1, tmUtc.tm_mday, tmUtc.tm_hour, tmUtc.tm_min,
             tmUtc.tm_sec);
    t.bValid = true;
    t.text = strTime;
    return t;
}

const ModelTime& expectedTime(const Segment& seg, const ModelNode& n) {
    // Rings often repeat their nodes: convert each second once.
    static int64_t iLastStart = 0;
    static uint32_t iLastDelta = 0;
    static ModelTime last = timeOf(0, 0);
    if (seg.head()->starttime != iLastStart || n.sec != iLastDelta) {
        iLastStart = seg.head()->starttime;
        iLastDelta = n.sec;
        last = timeOf(iLastStart, iLastDelta);
    }
    return last;
}

std::string expectedLine(const Segment& seg, const ModelNode& n) {
    char strMs[16];
    snprintf(strMs, sizeof(strMs), "%.4u", unsigned(n.ms));
    return std::string("[") + kLevelNames[n.level] + " " +
           tagName(seg.head(), n.tag) + " " + expectedTime(seg, n).text + " " +
           strMs + "] " +
           std::string(reinterpret_cast<const char*>(n.text), n.size);
}

// Any line: "[" and a level name first, at most 295 bytes. Then exactly the
// line the node renders as.
void checkLine(const std::string& strLine, const std::string& strExpected) {
    KQ_CHECK(int64_t(strLine.size()) <= kMaxLine);
    KQ_CHECK(strLine.size() >= 7 && strLine[0] == '[');
    bool bKnownLevel = false;
    for (const char* pName : kLevelNames)
        bKnownLevel = bKnownLevel || strLine.compare(1, 5, pName) == 0;
    KQ_CHECK(bKnownLevel);
    KQ_CHECK(strLine == strExpected);
}

// ---- The ring core ------------------------------------------------------

void fuzzRingCore(const Segment& seg, const KQFuzzControl& c) {
    shmloghead* pHead = seg.head();
    const int32_t iRing = int32_t(seg.ringSize);
    KQRingView view{pHead, const_cast<uint8_t*>(seg.ring()), iRing};
    int32_t iCursor =
        reducePos(c.cursor, seg.ringSize, (c.flags & KQF_RAW_POSITIONS) != 0);

    for (int iTag : {0, int(c.opTag), 254, 255}) {
        char name[KQLOG_TAG_NAME_SIZE];
        int n = KQRingTagName(pHead, uint8_t(iTag), name);
        KQ_CHECK(std::string(name, size_t(n)) == tagName(pHead, uint8_t(iTag)));
    }

    bool bRetained = KQRingRetained(pHead, iCursor, iRing);
    KQ_CHECK(bRetained == modelRetained(seg, iCursor));

    KQTimeCache cache;
    std::unique_ptr<char[]> line(new char[KQLOG_MAX_LINE_SIZE]);
    // The walk is a function of the position alone: it stops when a
    // position comes round again.
    std::vector<bool> seen(seg.ringSize + 1);
    int32_t iPos = iCursor;
    for (int i = 0; i < kMaxCalls; ++i) {
        if (iPos >= 0 && iPos <= iRing) {
            if (seen[size_t(iPos)]) break;
            seen[size_t(iPos)] = true;
        }
        KQNodeCopy copy;
        KQNodeStatus eStatus = KQRingReadNode(view, iPos, copy);
        ModelNode m = modelNode(seg, iPos);
        KQ_CHECK(eStatus == m.status);
        if (eStatus == KQNODE_OUTSIDE) break;
        KQ_CHECK(copy.logSize == m.size && copy.logTag == m.tag &&
                 copy.logLevel == m.level && copy.timeDeltaSec == m.sec &&
                 copy.timeDeltaMs == m.ms);
        if (eStatus == KQNODE_END) break;
        if (eStatus == KQNODE_VALID) {
            char name[KQLOG_TAG_NAME_SIZE];
            int iLen = KQRingTagName(pHead, copy.logTag, name);
            size_t n = KQRenderLine(copy, name, iLen, pHead->starttime, cache,
                                    line.get());
            KQ_CHECK(n <= size_t(KQLOG_MAX_LINE_SIZE));
            checkLine(std::string(line.get(), n), expectedLine(seg, m));
        } else {
            int n = KQRingCountText(view, iPos, 599);
            KQ_CHECK(n >= 0 && n <= 599);
        }
        // Past a bad node too, by its size byte, as a skip would go.
        int32_t iNext = KQRingNextPos(iPos, copy.logSize, iRing);
        KQ_CHECK(iNext == modelNext(iPos, copy.logSize, iRing));
        KQ_CHECK(iNext == 0 || (iNext > iPos && int64_t(iNext) + 284 < iRing));
        iPos = iNext;
    }

    // A skip that starts inside the ring stays inside it.
    int32_t iSkipPos = iCursor;
    bool bSkipped = KQRingSkip(view, iSkipPos, c.skipCount);
    KQ_CHECK(iSkipPos == modelSkip(seg, iCursor, c.skipCount));
    if (iCursor >= 0 && iCursor < iRing)
        KQ_CHECK(bSkipped && iSkipPos >= 0 && iSkipPos < iRing);
}

// ---- The reader object --------------------------------------------------

// The listing, as the tool walks it: names up to the first empty one.
void checkListing(CKQLOGReaderImp& reader, const Segment& seg) {
    const shmloghead* pHead = seg.head();
    int iInUse = pHead->currLogInfoIndex;
    for (int i = 0; i < 255; ++i) {
        const char* pTag = reader.getLogTag(KQLogId(i));
        KQ_CHECK(pTag == pHead->logInfos[i].strLogTag);
        if (strnlen(pTag, 10) == 0) break;
        int iLevel = reader.getLogLevel(KQLogId(i));
        bool bEnabled = reader.isLogEnable(KQLogId(i));
        if (i < iInUse) {
            KQ_CHECK(iLevel == pHead->logInfos[i].nLogLevel);
            KQ_CHECK(bEnabled == (pHead->logInfos[i].bEnable != 0));
        } else {
            KQ_CHECK(iLevel == KQLOG_LEVEL_NONE && !bEnabled);
        }
    }
    KQ_CHECK(reader.getLogTag(255) == nullptr);
    KQ_CHECK(reader.getLogLevel(255) == KQLOG_LEVEL_NONE);
    KQ_CHECK(!reader.isLogEnable(255));
}

// Every name in use finds its last entry; nothing else is found.
void checkFindLogger(CKQLOGReaderImp& reader, const Segment& seg) {
    std::map<std::string, int> last;
    for (int i = 0; i < seg.head()->currLogInfoIndex; ++i)
        last[tagName(seg.head(), uint8_t(i))] = i;
    for (const auto& entry : last)
        KQ_CHECK(reader.findLogger(entry.first.c_str()) == entry.second);
    KQ_CHECK(reader.findLogger(nullptr) == KQLOG_INVALID_ID);
    KQ_CHECK(reader.findLogger("ABCDEFGHIJK") == KQLOG_INVALID_ID);
}

// nextLog, call by call from the cursor: each answer is what the node at
// the cursor is (a line, the end, or a refusal that leaves the cursor where
// it was), until the first refusal, the end, or a line read twice. There is
// no recovery here: that is KQLogStream's.
void checkNextLog(CKQLOGReaderImp& reader, const Segment& seg,
                  const KQFuzzControl& c) {
    const shmloghead* pHead = seg.head();
    if (c.flags & KQF_SEEK_END) {
        reader.seekLogEnd();
        KQ_CHECK(reader.readPos() == pHead->logWritePos);
    } else {
        reader.seekLogBegin(c.skipCount);
        KQ_CHECK(reader.readPos() ==
                 modelSkip(seg, pHead->logReadPos, c.skipCount));
    }
    std::vector<bool> lineAt(seg.ringSize + 1);
    std::string strLine;
    // Where the last line came from: an end marker right after the node at
    // logWritePos is the end as well.
    int32_t iLastLinePos = -1;
    for (int i = 0; i < kMaxCalls; ++i) {
        int32_t iPos = reader.readPos();
        ModelNode m = modelNode(seg, iPos);
        strLine = "not emptied";
        bool bOk = reader.nextLog(strLine);
        if (!bOk) {
            KQ_CHECK(strLine.empty() && reader.readPos() == iPos);
            // A sound node in the retained region is never refused.
            bool bRetained = modelRetained(seg, iPos);
            KQ_CHECK(m.status == KQNODE_INVALID ||
                     m.status == KQNODE_OUTSIDE || !bRetained);
            ENUM_KQLOG_READ_OUTCOME eWhy =
                m.status == KQNODE_OUTSIDE ? KQLOG_READ_OUTSIDE
                : !bRetained               ? KQLOG_READ_OVERWRITTEN
                                           : KQLOG_READ_BAD_NODE;
            KQ_CHECK(reader.lastReadOutcome() == eWhy);
            break;
        }
        if (strLine.empty()) {
            KQ_CHECK(m.status == KQNODE_END && reader.readPos() == iPos);
            bool bAtEnd = iPos == pHead->logWritePos ||
                          iLastLinePos == pHead->logWritePos;
            KQ_CHECK(reader.lastReadOutcome() ==
                     (bAtEnd ? KQLOG_READ_END : KQLOG_READ_STRAY_END));
            break;
        }
        KQ_CHECK(m.status == KQNODE_VALID);
        checkLine(strLine, expectedLine(seg, m));
        KQ_CHECK(reader.readPos() ==
                 modelNext(iPos, m.size, int64_t(seg.ringSize)));
        KQ_CHECK(reader.lastReadOutcome() == KQLOG_READ_LINE);
        iLastLinePos = iPos;
        if (lineAt[size_t(iPos)]) break;
        lineAt[size_t(iPos)] = true;
    }
}

// ---- KQLogStream ---------------------------------------------------------

// The process's one reader as a new process has it. Each input starts from
// a fresh one, so that nothing an earlier input attached (its tag index,
// the file images a reader keeps for the process's life) carries over or
// piles up; KQLogStream reads whatever this reader has attached.
CKQLOGReaderImp& freshReader() {
    auto* pReader = static_cast<CKQLOGReaderImp*>(IKQLOGReader::getInst());
    KQ_CHECK(pReader != nullptr);
    pReader->~CKQLOGReaderImp();
    return *new (pReader) CKQLOGReaderImp();
}

struct StreamEvent {
    ENUM_KQLOG_EVENT eEvent;
    int32_t iPos;
    bool operator==(const StreamEvent& o) const {
        return eEvent == o.eEvent && iPos == o.iPos;
    }
};

bool inRing(const Segment& seg, int64_t iPos) {
    return iPos >= 0 && uint64_t(iPos) < seg.ringSize;
}

int64_t ringDistance(int64_t iFrom, int64_t iTo, int64_t iRing) {
    int64_t d = iTo - iFrom;
    return d < 0 ? d + iRing : d;
}

// A record: a sound node at rec.iPos, every field as the node gives it and
// the line exactly the node's rendering, in the caller's buffer.
void checkRecord(const Segment& seg, const KQLogRecord& rec,
                 const char* pLine) {
    KQ_CHECK(inRing(seg, rec.iPos));
    ModelNode m = modelNode(seg, rec.iPos);
    KQ_CHECK(m.status == KQNODE_VALID);
    KQ_CHECK(rec.pLine == pLine && rec.nLineLen < KQLOG_LINE_BUFFER_SIZE);
    checkLine(std::string(rec.pLine, rec.nLineLen), expectedLine(seg, m));
    KQ_CHECK(rec.eLevel == ENUM_KQLOG_LEVEL(m.level) && rec.nTagId == m.tag &&
             rec.nMillis == m.ms);
    std::string strTag = tagName(seg.head(), m.tag);
    KQ_CHECK(rec.iTagLen == int(strTag.size()) &&
             memcmp(rec.pTag, strTag.data(), strTag.size()) == 0);
    KQ_CHECK(rec.iTextLen == m.size &&
             memcmp(rec.pText, m.text, size_t(m.size)) == 0);
    const ModelTime& t = expectedTime(seg, m);
    KQ_CHECK(rec.bTimeValid == t.bValid);
    if (t.bValid) KQ_CHECK(rec.iSecond == t.iSecond);
}

// What a pass from iStart must deliver when the chain has no damage: every
// node from iStart by the size bytes, each sound and each step forward
// within the written data, up to logWritePos; then the node at logWritePos
// when it is sound (published; logWritePos is about to move past it).
// False when the chain is not like that, or either end is not in the ring.
bool soundChain(const Segment& seg, int32_t iStart,
                std::vector<StreamEvent>& chain) {
    const int32_t iWrite = seg.head()->logWritePos;
    if (!inRing(seg, iStart) || !inRing(seg, iWrite)) return false;
    const int64_t iRing = int64_t(seg.ringSize);
    const int64_t iLimit = ringDistance(iStart, iWrite, iRing);
    int32_t iPos = iStart;
    int64_t iAt = 0;
    while (iPos != iWrite) {
        ModelNode m = modelNode(seg, iPos);
        if (m.status != KQNODE_VALID) return false;
        chain.push_back({KQLOG_EVENT_RECORD, iPos});
        int32_t iNext = int32_t(modelNext(iPos, m.size, iRing));
        int64_t iNextAt = ringDistance(iStart, iNext, iRing);
        if (iNextAt <= iAt || iNextAt > iLimit) return false;
        iPos = iNext;
        iAt = iNextAt;
    }
    if (modelNode(seg, iWrite).status == KQNODE_VALID)
        chain.push_back({KQLOG_EVENT_RECORD, iWrite});
    return true;
}

// Printing once, from the oldest node or from logWritePos. Nothing moves,
// so nothing is lapped: every event lies further along the ring from the
// start than the one before, within the written data when logWritePos is
// in the ring (at most once round when it is not), so that no position
// comes twice; a damaged record is one that fails its checks, never the
// node at logWritePos; the pass ends within ringSize + 10 calls and then
// answers END for good.
std::vector<StreamEvent> readOnce(const Segment& seg, bool bNewest) {
    const shmloghead* pHead = seg.head();
    const int64_t iRing = int64_t(seg.ringSize);
    const int32_t iWrite = pHead->logWritePos;
    const int32_t iStart = bNewest ? iWrite : pHead->logReadPos;
    const bool bWriteKnown = inRing(seg, iWrite);
    const int64_t iLimit = bWriteKnown && inRing(seg, iStart)
                               ? ringDistance(iStart, iWrite, iRing)
                               : iRing - 1;

    KQLogStream stream;
    KQ_CHECK(bNewest ? stream.startAtNewest(false)
                     : stream.startAtOldest(false));
    // On the heap, exactly as large as the stream may use.
    std::unique_ptr<char[]> line(new char[KQLOG_LINE_BUFFER_SIZE]);
    std::vector<StreamEvent> events;
    int64_t iLastAt = -1;
    int32_t iChainNext = -1;  // where a record right after the last one lies
    bool bEnded = false;
    KQLogRecord rec;
    for (int64_t i = 0; i < iRing + 10; ++i) {
        ENUM_KQLOG_EVENT eEvent = stream.next(rec, line.get());
        KQ_CHECK(eEvent != KQLOG_EVENT_DETACHED &&
                 eEvent != KQLOG_EVENT_LAPPED);
        if (eEvent == KQLOG_EVENT_END) {
            bEnded = true;
            break;
        }
        KQ_CHECK(inRing(seg, iStart) && inRing(seg, rec.iPos));
        int64_t iAt = ringDistance(iStart, rec.iPos, iRing);
        KQ_CHECK(events.empty() ? rec.iPos == iStart : iAt > iLastAt);
        KQ_CHECK(iAt <= iLimit);
        if (eEvent == KQLOG_EVENT_RECORD) {
            checkRecord(seg, rec, line.get());
            if (iChainNext >= 0) KQ_CHECK(rec.iPos == iChainNext);
            iChainNext = int32_t(modelNext(rec.iPos, uint8_t(rec.iTextLen),
                                           iRing));
        } else {
            KQ_CHECK(eEvent == KQLOG_EVENT_DAMAGED);
            KQ_CHECK(modelNode(seg, rec.iPos).status != KQNODE_VALID);
            KQ_CHECK(rec.iPos != iWrite);
            iChainNext = -1;
        }
        iLastAt = iAt;
        events.push_back({eEvent, rec.iPos});
    }
    KQ_CHECK(bEnded);
    for (int i = 0; i < 3; ++i)
        KQ_CHECK(stream.next(rec, line.get()) == KQLOG_EVENT_END);

    std::vector<StreamEvent> chain;
    if (soundChain(seg, iStart, chain)) KQ_CHECK(events == chain);
    return events;
}

// Following from the same place, treating END as a sleep. Nothing moves,
// so following settles: once it answers END it answers nothing else, and
// before that it has read no position twice and no more than a pass over
// the ring could. Printing once stops at a link that leads backwards, where
// following steps over it as over a damaged record; up to there both read
// alike.
void readFollowing(const Segment& seg, bool bNewest,
                   const std::vector<StreamEvent>& once) {
    const int64_t iRing = int64_t(seg.ringSize);
    KQLogStream stream;
    KQ_CHECK(bNewest ? stream.startAtNewest(true) : stream.startAtOldest(true));
    std::unique_ptr<char[]> line(new char[KQLOG_LINE_BUFFER_SIZE]);
    std::vector<bool> recordAt(seg.ringSize);
    std::vector<StreamEvent> events;
    int32_t iChainNext = -1;
    const int kSettled = 16;  // ENDs in a row that show it settled
    int iEnds = 0;
    KQLogRecord rec;
    for (int64_t i = 0; i < iRing + 10 + kSettled && iEnds < kSettled; ++i) {
        ENUM_KQLOG_EVENT eEvent = stream.next(rec, line.get());
        KQ_CHECK(eEvent != KQLOG_EVENT_DETACHED &&
                 eEvent != KQLOG_EVENT_LAPPED);
        if (eEvent == KQLOG_EVENT_END) {
            ++iEnds;
            continue;
        }
        KQ_CHECK(iEnds == 0);
        KQ_CHECK(inRing(seg, rec.iPos));
        if (eEvent == KQLOG_EVENT_RECORD) {
            checkRecord(seg, rec, line.get());
            KQ_CHECK(!recordAt[size_t(rec.iPos)]);
            recordAt[size_t(rec.iPos)] = true;
            if (iChainNext >= 0) KQ_CHECK(rec.iPos == iChainNext);
            iChainNext = int32_t(modelNext(rec.iPos, uint8_t(rec.iTextLen),
                                           iRing));
        } else {
            KQ_CHECK(eEvent == KQLOG_EVENT_DAMAGED);
            iChainNext = -1;
        }
        events.push_back({eEvent, rec.iPos});
    }
    KQ_CHECK(iEnds == kSettled);
    KQ_CHECK(events.size() >= once.size() &&
             std::equal(once.begin(), once.end(), events.begin()));
}

// Both passes printing once, and following from the oldest node (from
// logWritePos with KQF_SEEK_END). The oldest pass's events are returned.
std::vector<StreamEvent> checkStream(const Segment& seg,
                                     const KQFuzzControl& c) {
    std::vector<StreamEvent> oldest = readOnce(seg, false);
    std::vector<StreamEvent> newest = readOnce(seg, true);
    const bool bNewest = (c.flags & KQF_SEEK_END) != 0;
    const std::vector<StreamEvent>& once = bNewest ? newest : oldest;
    readFollowing(seg, bNewest, once);
    return oldest;
}

void checkDetachedStream() {
    KQLogStream stream;
    KQ_CHECK(!stream.startAtOldest(false) && !stream.startAtNewest(true));
    KQLogRecord rec;
    char line[KQLOG_LINE_BUFFER_SIZE];
    KQ_CHECK(stream.next(rec, line) == KQLOG_EVENT_DETACHED);
}

// The bytes that differ from before lie only where allowed(offset) says.
template <typename Allowed>
void checkChangedOnly(const Segment& seg, const std::vector<uint8_t>& before,
                      Allowed allowed) {
    const uint8_t* now = seg.bytes.get();
    KQ_CHECK(memcmp(now + kHdrBytes, before.data() + kHdrBytes,
                    seg.nBytes - kHdrBytes) == 0);
    if (memcmp(now, before.data(), kHdrBytes) == 0) return;
    for (size_t i = 0; i < kHdrBytes; ++i)
        if (now[i] != before[i]) KQ_CHECK(allowed(i));
}

void fuzzTagOperations(CKQLOGReaderImp& reader, const Segment& seg,
                       const KQFuzzControl& c) {
    const uint8_t* bytes = seg.bytes.get();
    const int iInUse = seg.head()->currLogInfoIndex;
    const KQLogId id = c.opTag;
    const bool bInUse = id < iInUse;
    std::vector<uint8_t> before;

    for (bool bEnable : {false, true, (c.opLevel & 1) != 0}) {
        before.assign(bytes, bytes + seg.nBytes);
        KQ_CHECK(reader.enableLog(id, bEnable) == bInUse);
        checkChangedOnly(seg, before, [&](size_t i) {
            return bInUse && i == enableOffset(id);
        });
        if (bInUse) {
            KQ_CHECK(bytes[enableOffset(id)] == (bEnable ? 1 : 0));
            KQ_CHECK(reader.isLogEnable(id) == bEnable);
        }
    }

    // Levels are stored unchecked, their low byte only.
    before.assign(bytes, bytes + seg.nBytes);
    ENUM_KQLOG_LEVEL eLevel = ENUM_KQLOG_LEVEL(0x5A00 | c.opLevel);
    KQ_CHECK(reader.setLogLevel(id, eLevel) == bInUse);
    checkChangedOnly(seg, before, [&](size_t i) {
        return bInUse && i == levelOffset(id);
    });
    if (bInUse) {
        KQ_CHECK(bytes[levelOffset(id)] == c.opLevel);
        KQ_CHECK(reader.getLogLevel(id) == c.opLevel);
    }

    before.assign(bytes, bytes + seg.nBytes);
    uint8_t nDefault = uint8_t(c.opLevel ^ 0x03);
    KQ_CHECK(reader.setDefaultLogLevel(ENUM_KQLOG_LEVEL(nDefault)));
    checkChangedOnly(seg, before, [&](size_t i) {
        return i >= 36 && (i - 36) % 14 == 10 && int((i - 36) / 14) < iInUse;
    });
    for (int t = 0; t < iInUse; ++t)
        KQ_CHECK(bytes[levelOffset(t)] == nDefault);
}

void fuzzMemory(const Segment& seg, const KQFuzzControl& c) {
    bool bFits = seg.ringFits();
    bool bMagic = bFits && seg.head()->magic == KQLOG_MAGIC;

    CKQLOGReaderImp& reader = freshReader();
    bool bAttached = reader.initFromMemory(seg.bytes.get(), seg.nBytes);
    KQ_CHECK(bAttached == (bFits && bMagic));
    if (!bAttached) {
        KQ_CHECK(reader.getShmLogBufSize() == 0);
        KQ_CHECK(reader.getLogTag(0) == nullptr);
        KQ_CHECK(reader.getLogLevel(0) == KQLOG_LEVEL_NONE);
        checkDetachedStream();
        return;
    }
    // One byte short of what the header claims: refused.
    if (seg.hdrSize + seg.ringSize == seg.nBytes) {
        CKQLOGReaderImp shortReader;
        KQ_CHECK(!shortReader.initFromMemory(seg.bytes.get(), seg.nBytes - 1));
    }

    KQ_CHECK(reader.getShmLogBufSize() == int(seg.ringSize));
    checkListing(reader, seg);
    checkFindLogger(reader, seg);

    std::vector<uint8_t> before(seg.bytes.get(), seg.bytes.get() + seg.nBytes);
    checkStream(seg, c);
    checkNextLog(reader, seg, c);
    KQ_CHECK(memcmp(before.data(), seg.bytes.get(), seg.nBytes) == 0);

    fuzzTagOperations(reader, seg, c);
    checkListing(reader, seg);
    if (c.flags & KQF_DUMP) KQ_CHECK(reader.dumpLogMem("/dev/null"));
}

// ---- File images ---------------------------------------------------------

// A memory file of the process, reused by every input; its name under
// /proc/self/fd is an ordinary path to open.
struct MemFile {
    int fd = -1;
    char path[64] = {};

    explicit MemFile(const char* pName) {
        fd = memfd_create(pName, MFD_CLOEXEC);
        KQ_CHECK(fd >= 0);
        snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
    }
    void fill(const uint8_t* pBytes, size_t nBytes) const {
        KQ_CHECK(ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0);
        size_t nDone = 0;
        while (nDone < nBytes) {
            ssize_t n = pwrite(fd, pBytes + nDone, nBytes - nDone,
                               off_t(nDone));
            KQ_CHECK(n > 0);
            nDone += size_t(n);
        }
    }
    std::string contents() const {
        std::string s;
        char buf[512];
        ssize_t n;
        while ((n = pread(fd, buf, sizeof(buf), off_t(s.size()))) > 0)
            s.append(buf, size_t(n));
        return s;
    }
};

// initFromFile with the library's standard error caught: what it says is
// compared, and millions of refusals would otherwise flood the fuzzer's
// log. (A sanitizer report in that window goes there too; the crash and
// the saved input remain.)
bool initFromFileQuietly(CKQLOGReaderImp& reader, const char* pPath,
                         bool bVerbose, std::string& strErr) {
    static MemFile errors("kqfuzz-stderr");
    errors.fill(nullptr, 0);
    fflush(stderr);
    int iSaved = dup(STDERR_FILENO);
    KQ_CHECK(iSaved >= 0 && dup2(errors.fd, STDERR_FILENO) == STDERR_FILENO);
    bool bOk = reader.initFromFile(pPath, bVerbose);
    fflush(stderr);
    KQ_CHECK(dup2(iSaved, STDERR_FILENO) == STDERR_FILENO);
    close(iSaved);
    strErr = errors.contents();
    return bOk;
}

// What initFromFile says when the sizes in a file do not fit it: the sizes
// as the header gives them, none when the file is too short to hold them.
std::string sizesRefused(const Segment& seg) {
    uint32_t iHdr = seg.nBytes >= 12 ? seg.head()->hdrsize : 0;
    uint32_t iBuf = seg.nBytes >= 12 ? seg.head()->logbufsize : 0;
    char text[128];
    snprintf(text, sizeof(text),
             "Shm header invalid, hdr size[%u], logcontentbuf size[%u]\n",
             iHdr, iBuf);
    return text;
}

// The segment's bytes as a file, read by initFromFile and then by
// KQLogStream; the model reads the same bytes in seg. A file shorter than
// a header, or than the sizes its header gives, is refused with a message
// and leaves the reader as it was.
void fuzzFile(const Segment& seg, const KQFuzzControl& c) {
    static MemFile image("kqfuzz-image");
    image.fill(seg.bytes.get(), seg.nBytes);
    const bool bVerbose = (c.flags & KQF_VERBOSE) != 0;
    const bool bFits = seg.ringFits();
    const bool bMagic = seg.nBytes >= kHdrBytes &&
                        seg.head()->magic == KQLOG_MAGIC;

    CKQLOGReaderImp& reader = freshReader();
    std::string strErr;
    bool bAttached = initFromFileQuietly(reader, image.path, bVerbose, strErr);
    KQ_CHECK(bAttached == (bFits && bMagic));
    // A wrong magic number is told on standard output.
    KQ_CHECK(strErr == (bFits ? std::string() : sizesRefused(seg)));
    if (!bAttached) {
        KQ_CHECK(reader.getShmLogBufSize() == 0);
        checkDetachedStream();
        return;
    }

    // The reader reads its own copy of the file; the tag table's address
    // tells where that lies.
    const char* pTag0 = reader.getLogTag(0);
    const uint8_t* pImage = reinterpret_cast<const uint8_t*>(pTag0) -
                            offsetof(shmloghead, logInfos);
    KQ_CHECK(pImage != seg.bytes.get() &&
             memcmp(pImage, seg.bytes.get(), seg.nBytes) == 0);
    KQ_CHECK(reader.getShmLogBufSize() == int(seg.ringSize));
    checkFindLogger(reader, seg);
    std::vector<StreamEvent> oldest = checkStream(seg, c);
    KQ_CHECK(memcmp(pImage, seg.bytes.get(), seg.nBytes) == 0);

    // The file loses its last byte: refused, and the image read before
    // stays attached and reads as before.
    if (seg.hdrSize + seg.ringSize == seg.nBytes) {
        image.fill(seg.bytes.get(), seg.nBytes - 1);
        KQ_CHECK(!initFromFileQuietly(reader, image.path, bVerbose, strErr));
        KQ_CHECK(strErr == sizesRefused(seg));
        KQ_CHECK(reader.getLogTag(0) == pTag0 &&
                 reader.getShmLogBufSize() == int(seg.ringSize));
        KQ_CHECK(readOnce(seg, false) == oldest);
    }
}

// ---- A sound chain, damaged in places -------------------------------------

// The walker's promise over a chain whose true node positions are known:
// printing once from the oldest node, every record it delivers starts at a
// true node position and holds that node's bytes; every DAMAGED names a
// true node that fails its checks; all come in chain order, once each; and
// every node that is still sound is delivered, up to where two failing
// nodes lie close enough together for one resync window to reach from the
// first to the second (there the rule is only that the chain that goes
// furthest wins). Damage is one byte a node: a node that fails by one byte
// is one the resync can recognise, and one changed byte cannot turn a node
// into another sound node of a different length.

// Two failing nodes this close (one resync window, the zone before the
// ring end where no node starts, and a node) may interact.
const int64_t kCloseDamage = 2 * KQLOG_MAX_NODE_SIZE + KQLOG_WRAP_THRESHOLD;
const size_t kMaxChainNodes = 600;

struct ChainNode {
    int32_t iPos;
    int iExtent;  // header, text and terminator
    uint8_t nSize;
    bool bDamaged = false;
    bool bSound = true;
};

void fuzzChain(const uint8_t* data, size_t size) {
    KQFuzzChain c;
    c.decode(data, size);
    const int32_t iRing = c.ringSize();
    const int32_t iStart = c.start();
    Segment seg;
    seg.hdrSize = kHdrBytes;
    seg.ringSize = uint64_t(iRing);
    seg.nBytes = kHdrBytes + size_t(iRing);
    seg.bytes.reset(new uint8_t[seg.nBytes]());
    shmloghead* pHead = seg.head();
    pHead->magic = KQLOG_MAGIC;
    pHead->hdrsize = uint32_t(kHdrBytes);
    pHead->logbufsize = uint32_t(iRing);
    pHead->starttime = 1700000000;
    uint8_t* ring = seg.bytes.get() + kHdrBytes;

    // The chain, by the ring rule, until the next node would reach the
    // first one again.
    std::vector<ChainNode> nodes;
    int32_t iPos = iStart;
    int64_t iAt = 0;
    for (const KQFuzzChain::Node& n : c.nodes) {
        if (nodes.size() >= kMaxChainNodes) break;
        int iLen = KQFuzzChain::textLength(n.length);
        int32_t iNext = int32_t(modelNext(iPos, uint8_t(iLen), iRing));
        int64_t iNextAt = ringDistance(iStart, iNext, iRing);
        if (iNextAt <= iAt) break;
        uint8_t* p = ring + iPos;
        p[0] = uint8_t(iLen);
        p[1] = n.tag;
        p[2] = uint8_t(n.level % 6);
        uint32_t iSec = uint32_t(nodes.size());
        for (int i = 0; i < 4; ++i) p[3 + i] = uint8_t(iSec >> (8 * i));
        p[7] = p[8] = 0;
        for (int i = 0; i < iLen; ++i) {
            uint8_t b = size_t(i) < n.text.size() ? n.text[size_t(i)]
                                                  : uint8_t('a' + i % 26);
            p[9 + i] = b == 0 ? uint8_t(' ') : b;
        }
        p[9 + iLen] = 0;
        nodes.push_back({iPos, iLen + 10, uint8_t(iLen)});
        iPos = iNext;
        iAt = iNextAt;
    }
    if (nodes.empty()) return;
    pHead->logReadPos = iStart;
    pHead->logWritePos = iPos;

    for (const KQFuzzChain::Damage& d : c.damage) {
        ChainNode& n = nodes[d.node % nodes.size()];
        uint8_t& b = ring[n.iPos + d.offset % n.iExtent];
        if (n.bDamaged || b == d.value) continue;
        b = d.value;
        n.bDamaged = true;
    }
    std::vector<int> indexAt(size_t(iRing), -1);
    for (size_t i = 0; i < nodes.size(); ++i) {
        ChainNode& n = nodes[i];
        indexAt[size_t(n.iPos)] = int(i);
        ModelNode m = modelNode(seg, n.iPos);
        n.bSound = m.status == KQNODE_VALID;
        if (n.bSound) KQ_CHECK(m.size == n.nSize);
    }
    // Delivery is owed up to the first failing node that has another
    // failing node close after it.
    size_t nOwed = nodes.size();
    for (size_t i = 0; i < nodes.size() && nOwed == nodes.size(); ++i) {
        if (nodes[i].bSound) continue;
        for (size_t j = i + 1; j < nodes.size(); ++j) {
            if (ringDistance(nodes[i].iPos, nodes[j].iPos, iRing) >
                kCloseDamage)
                break;
            if (!nodes[j].bSound) {
                nOwed = i;
                break;
            }
        }
    }

    // Between two failing nodes close together, the bytes may read better
    // as another chain than the true one (a bad terminator in the first
    // and a zeroed size byte in the second read as one bad size byte and a
    // sound node): a record there may start off the true chain.
    std::vector<bool> ambiguous(size_t(iRing), false);
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (nodes[i].bSound) continue;
        for (size_t j = i + 1; j < nodes.size(); ++j) {
            if (ringDistance(nodes[i].iPos, nodes[j].iPos, iRing) >
                kCloseDamage)
                break;
            if (nodes[j].bSound) continue;
            int64_t iSpan = ringDistance(nodes[i].iPos, nodes[j].iPos, iRing) +
                            nodes[j].iExtent;
            for (int64_t d = 0; d < iSpan; ++d)
                ambiguous[size_t((nodes[i].iPos + d) % iRing)] = true;
        }
    }

    KQRingView view{pHead, ring, iRing};
    KQRingWalker walker;
    walker.startAtOldest(view, false);
    std::unique_ptr<char[]> line(new char[KQLOG_MAX_LINE_SIZE + 1]);
    std::vector<bool> delivered(nodes.size());
    int iLast = -1;
    bool bEnded = false;
    for (int64_t i = 0; i < int64_t(iRing) + 10 && !bEnded; ++i) {
        KQWalkResult res;
        KQWalkEvent eEvent = walker.next(view, line.get(), res);
        KQ_CHECK(eEvent != KQWALK_LAPPED);
        if (eEvent == KQWALK_END) {
            bEnded = true;
            break;
        }
        KQ_CHECK(res.iPos >= 0 && res.iPos < iRing);
        int k = indexAt[size_t(res.iPos)];
        // Two damaged nodes side by side can read either way in their
        // bytes (a bad size byte in one and a bad level in the next, or a
        // NUL in the first's text and a bad size byte in a node between):
        // a damaged report may then name a place between them. A record
        // never may.
        if (k < 0 && (eEvent == KQWALK_DAMAGED ||
                      ambiguous[size_t(res.iPos)]))
            continue;
        KQ_CHECK(k >= 0);  // a true node position
        KQ_CHECK(k > iLast);
        iLast = k;
        const ChainNode& n = nodes[size_t(k)];
        if (eEvent == KQWALK_RECORD) {
            KQ_CHECK(n.bSound);
            KQ_CHECK(res.line.header[0] == n.nSize &&
                     memcmp(line.get() + res.line.nTextOffset,
                            ring + n.iPos + 9, n.nSize) == 0);
            delivered[size_t(k)] = true;
        } else {
            KQ_CHECK(eEvent == KQWALK_DAMAGED && !n.bSound);
        }
    }
    KQ_CHECK(bEnded);
    KQWalkResult res;
    KQ_CHECK(walker.next(view, line.get(), res) == KQWALK_END);
    for (size_t i = 0; i < nOwed; ++i)
        if (nodes[i].bSound) KQ_CHECK(delivered[i]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // Rendered times are compared with UTC; the reader's diagnostics and
    // messages on standard output are of no interest here.
    setenv("TZ", "UTC", 1);
    tzset();
    int iReport = dup(STDERR_FILENO);
    if (iReport >= 0) g_iReportFd = iReport;
    fflush(stdout);
    int fd = open("/dev/null", O_WRONLY);
    if (fd >= 0) {
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0 && (data[0] & KQF_CHAIN)) {
        fuzzChain(data, size);
        return 0;
    }
    KQFuzzControl c;
    c.decode(data, size);
    Segment seg;
    buildSegment(data, size, c, seg);
    g_bVerbose = (c.flags & KQF_VERBOSE) != 0;
    if (seg.ringFits()) fuzzRingCore(seg, c);
    if (c.flags & KQF_FILE)
        fuzzFile(seg, c);
    else
        fuzzMemory(seg, c);
    g_bVerbose = false;
    return 0;
}
