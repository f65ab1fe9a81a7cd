// Fuzz target: any bytes become a log segment (see kq_fuzz_input.h), which
// is then walked by the ring core and read, listed and changed through the
// reader object. The segment is a heap block of exactly its claimed size, so
// AddressSanitizer reports any read past it.
//
// Beyond crashes, every answer is checked against a small model of the
// format: a line is returned only for a sound node and reads exactly as that
// node renders; a cursor moves only as the ring rules say; reading writes no
// byte of the segment; a tag operation writes only the bytes it names. A
// failed check traps, which libFuzzer reports as a crash.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "KQShmLogReaderImp.h"
#include "KQShmLogRing.h"
#include "kq_fuzz_input.h"

namespace {

[[noreturn]] void checkFailed(const char* pExpr, int iLine) {
    fprintf(stderr, "kqfuzz: check failed at line %d: %s\n", iLine, pExpr);
    fflush(stderr);
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

// The segment: nBytes of zeroed heap filled from the input.
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
    seg.bytes.reset(new uint8_t[seg.nBytes]());

    size_t off = KQFuzzControl::SIZE < size ? KQFuzzControl::SIZE : size;
    size_t nTags = c.tagBytes;
    if (nTags > 3570) nTags = 3570;
    if (nTags > size - off) nTags = size - off;
    if (seg.nBytes > 36) {
        size_t n = nTags < seg.nBytes - 36 ? nTags : seg.nBytes - 36;
        memcpy(seg.bytes.get() + 36, data + off, n);
    }
    off += nTags;
    if (seg.hdrSize < seg.nBytes) {
        size_t n = size - off;
        if (n > iRing) n = iRing;
        if (n > seg.nBytes - seg.hdrSize) n = size_t(seg.nBytes - seg.hdrSize);
        memcpy(seg.bytes.get() + seg.hdrSize, data + off, n);
    }

    if (seg.nBytes < kHdrBytes) return;
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

std::string timeText(int64_t iStart, uint32_t iDelta) {
    char strTime[64] = "00-00 00:00:00";
    int64_t iSecond;
    if (!__builtin_add_overflow(iStart, int64_t(iDelta), &iSecond)) {
        time_t t = time_t(iSecond);
        struct tm tmUtc;
        if (gmtime_r(&t, &tmUtc) != nullptr)
            snprintf(strTime, sizeof(strTime), "%02d-%02d %02d:%02d:%02d",
                     tmUtc.tm_mon + 1, tmUtc.tm_mday, tmUtc.tm_hour,
                     tmUtc.tm_min, tmUtc.tm_sec);
    }
    return strTime;
}

std::string expectedLine(const Segment& seg, const ModelNode& n) {
    // Rings often repeat their nodes: convert each second once.
    static int64_t iLastStart = 0;
    static uint32_t iLastDelta = 0;
    static std::string strTime = timeText(0, 0);
    if (seg.head()->starttime != iLastStart || n.sec != iLastDelta) {
        iLastStart = seg.head()->starttime;
        iLastDelta = n.sec;
        strTime = timeText(iLastStart, iLastDelta);
    }
    char strMs[16];
    snprintf(strMs, sizeof(strMs), "%.4u", unsigned(n.ms));
    return std::string("[") + kLevelNames[n.level] + " " +
           tagName(seg.head(), n.tag) + " " + strTime + " " + strMs + "] " +
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

// Reads as the tool's single pass does: from the oldest node (or the end),
// recovering from a bad node the tool's way, until an end marker or
// kMaxCalls calls.
void readRing(CKQLOGReaderImp& reader, const Segment& seg,
              const KQFuzzControl& c) {
    const shmloghead* pHead = seg.head();
    const bool bSeekEnd = (c.flags & KQF_SEEK_END) != 0;
    if (bSeekEnd) {
        reader.seekLogEnd();
        KQ_CHECK(reader.readPos() == pHead->logWritePos);
    } else {
        reader.seekLogBegin(c.skipCount);
        KQ_CHECK(reader.readPos() ==
                 modelSkip(seg, pHead->logReadPos, c.skipCount));
    }

    // Nothing changes between calls, so once the recovery has led back to a
    // state already seen (the second seek, or with bSeekEnd the second
    // return to the oldest node) the calls would only repeat.
    const int iMaxFailures = bSeekEnd ? 4 : 2;
    int iFailures = 0;
    // Likewise after a line the cursor is the whole state: a second line
    // from the same place starts the same calls over.
    std::vector<bool> lineAt(seg.ringSize + 1);
    std::string strLine;
    int iFailedTries = 0;
    // Where the last line came from since the last seek: an end marker right
    // after the node at logWritePos is the end as well.
    int32_t iLastLinePos = -1;
    for (int i = 0; i < kMaxCalls; ++i) {
        int32_t iPos = reader.readPos();
        ModelNode m = modelNode(seg, iPos);
        strLine = "not emptied";
        bool bOk = reader.nextLog(strLine);
        if (!bOk) {
            KQ_CHECK(strLine.empty() && reader.readPos() == iPos);
            // A sound node in the retained region is never refused.
            KQ_CHECK(m.status == KQNODE_INVALID || m.status == KQNODE_OUTSIDE ||
                     (m.status == KQNODE_VALID && !modelRetained(seg, iPos)));
            if (!bSeekEnd) {
                reader.seekLogBegin(100);
                iLastLinePos = -1;
                KQ_CHECK(reader.readPos() ==
                         modelSkip(seg, pHead->logReadPos, 100));
            } else if (++iFailedTries >= 2) {
                reader.seekLogBegin(0);
                iLastLinePos = -1;
                KQ_CHECK(reader.readPos() == pHead->logReadPos);
                iFailedTries = 0;
            }
            if (++iFailures >= iMaxFailures) break;
            continue;
        }
        iFailedTries = 0;
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

void fuzzReader(const Segment& seg, const KQFuzzControl& c) {
    bool bFits = seg.ringFits();
    bool bMagic = bFits && seg.head()->magic == KQLOG_MAGIC;

    CKQLOGReaderImp reader;
    bool bAttached = reader.initFromMemory(seg.bytes.get(), seg.nBytes);
    KQ_CHECK(bAttached == (bFits && bMagic));
    if (!bAttached) {
        KQ_CHECK(reader.getShmLogBufSize() == 0);
        KQ_CHECK(reader.getLogTag(0) == nullptr);
        KQ_CHECK(reader.getLogLevel(0) == KQLOG_LEVEL_NONE);
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
    readRing(reader, seg, c);
    KQ_CHECK(memcmp(before.data(), seg.bytes.get(), seg.nBytes) == 0);

    fuzzTagOperations(reader, seg, c);
    checkListing(reader, seg);
    if (c.flags & KQF_DUMP) KQ_CHECK(reader.dumpLogMem("/dev/null"));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // Rendered times are compared with UTC; the reader's diagnostics and
    // messages on standard output are of no interest here.
    setenv("TZ", "UTC", 1);
    tzset();
    fflush(stdout);
    int fd = open("/dev/null", O_WRONLY);
    if (fd >= 0) {
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    KQFuzzControl c;
    c.decode(data, size);
    Segment seg;
    buildSegment(data, size, c, seg);
    g_bVerbose = (c.flags & KQF_VERBOSE) != 0;
    if (seg.ringFits()) fuzzRingCore(seg, c);
    fuzzReader(seg, c);
    g_bVerbose = false;
    return 0;
}
