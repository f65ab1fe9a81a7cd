#include "KQShmLogStream.h"

#include <cstring>
#include <new>

#include "KQShmLogReaderImp.h"
#include "KQShmLogToucher.h"
#include "KQShmLogWalk.h"
#include "KQShmLogWalkLoads.h"

static_assert(KQLOG_LINE_BUFFER_SIZE >= size_t(KQLOG_MAX_LINE_SIZE) + 1,
              "a line and its terminator fit");
static_assert(KQLOG_RECORD_HEADER_SIZE == size_t(KQLOG_NODE_HDR_SIZE),
              "a record's header is a node's header");

// Idle ends of data between two looks for a replaced segment: the look is
// a system call, which on every 10 ms wake adds about a tenth to an idle
// follower's CPU time; a replacement is still noticed within 40 ms.
static const int IDLE_ENDS_PER_REATTACH_CHECK = 4;

// Rings from this size on are mapped in by a second thread during a pass
// that prints once (see KQRingToucher); below it a thread costs more than
// it saves.
static const int32_t TOUCHER_MIN_RING = 4 << 20;

// Records between two reports of the reader's progress to the toucher: a
// page's worth or so, so that the line both threads use changes hands
// once a page rather than once a record.
static const int RECORDS_PER_PROGRESS = 32;

struct KQLogStream::Impl {
    CKQLOGReaderImp* pReader = nullptr;
    KQRingWalker walker;
    KQRingToucher toucher;
    bool bTouching = false;
    int32_t iPassBegin = 0;
    int iSinceProgress = 0;
    bool bStarted = false;
    bool bFollow = false;
    int iIdleEnds = 0;
    // startAfter did not find its record: the first next() reports the lap.
    bool bLapPending = false;
    int32_t iLapPos = -1;
    int64_t iLapBytes = 0;
};

namespace {

using kqwalk::inRing;
using kqwalk::loadStartTime;

// Whether the record cursor names is still in the ring: same log, retained,
// sound, and the same header bytes and text.
bool findCursorRecord(const KQRingView& view, const KQLogCursor& cursor) {
    if (!view.pHead || !inRing(view, cursor.iPos)) return false;
    if (loadStartTime(view) != cursor.iStartTime) return false;
    KQNodeCopy copy;
    if (KQRingReadNode(view, cursor.iPos, copy) != KQNODE_VALID) return false;
    // The copy counts only if the writers did not evict or rewrite the node
    // while it was taken.
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    if (!KQRingRetained(view.pHead, cursor.iPos, view.iRingSize) ||
        !KQRingNodeUnchanged(view, cursor.iPos, copy))
        return false;
    if (memcmp(copy.header, cursor.header, KQLOG_NODE_HDR_SIZE) != 0 ||
        KQLogTextHash(copy.text, copy.logSize) != cursor.nTextHash)
        return false;
    // A writer that started the log over meanwhile may have written the
    // same bytes there again.
    return loadStartTime(view) == cursor.iStartTime;
}

// The ring bytes from the successor of the cursor's record to the oldest
// retained record, as far as the positions tell: -1 for another log.
int64_t bytesLostPast(const KQRingView& view, const KQLogCursor& cursor) {
    if (!view.pHead || !inRing(view, cursor.iPos) ||
        loadStartTime(view) != cursor.iStartTime)
        return -1;
    int32_t iRead = KQRingLoadReadPos(view.pHead);
    if (!inRing(view, iRead)) return -1;
    int32_t iAfter =
        KQRingNextPos(cursor.iPos, cursor.header[0], view.iRingSize);
    return KQRingDistance(iAfter, iRead, view.iRingSize);
}

}  // namespace

uint64_t KQLogTextHash(const char* p, size_t n) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < n; ++i) {
        h ^= static_cast<unsigned char>(p[i]);
        h *= 0x100000001b3ull;
    }
    return h;
}

KQLogStream::KQLogStream() : m_pImpl(new (std::nothrow) Impl) {
    // The library's reader is its one implementation of IKQLOGReader.
    if (m_pImpl)
        m_pImpl->pReader = static_cast<CKQLOGReaderImp*>(IKQLOGReader::getInst());
}

KQLogStream::KQLogStream(IKQLOGReader* pReader)
    : m_pImpl(new (std::nothrow) Impl) {
    if (m_pImpl) m_pImpl->pReader = dynamic_cast<CKQLOGReaderImp*>(pReader);
}

KQLogStream::~KQLogStream() { delete m_pImpl; }

bool KQLogStream::start(From eFrom, const KQLogCursor* pAfter, bool bFollow) {
    if (!m_pImpl || !m_pImpl->pReader || !m_pImpl->pReader->attached())
        return false;
    Impl& impl = *m_pImpl;
    KQRingView view = impl.pReader->ringViewForReading();
    switch (eFrom) {
    case From::OLDEST: impl.walker.startAtOldest(view, bFollow); break;
    case From::NEWEST: impl.walker.startAtNewest(view, bFollow); break;
    case From::AFTER:
        impl.walker.startAfter(view, pAfter->iPos, pAfter->header, bFollow);
        break;
    }
    impl.bStarted = true;
    impl.bFollow = bFollow;
    impl.bLapPending = false;
    impl.toucher.stop();
    impl.bTouching = false;
    if (eFrom == From::OLDEST && !bFollow && impl.pReader->isSharedSegment() &&
        view.iRingSize >= TOUCHER_MIN_RING) {
        impl.iPassBegin = KQRingLoadReadPos(view.pHead);
        impl.bTouching = impl.toucher.start(view.pRing, view.iRingSize,
                                            impl.iPassBegin,
                                            KQRingLoadWritePos(view.pHead));
    }
    return true;
}

bool KQLogStream::startAtOldest(bool bFollow) {
    return start(From::OLDEST, nullptr, bFollow);
}

bool KQLogStream::startAtNewest(bool bFollow) {
    return start(From::NEWEST, nullptr, bFollow);
}

bool KQLogStream::startAfter(const KQLogCursor& cursor, bool bFollow,
                             bool* pFound) {
    if (pFound) *pFound = false;
    if (!m_pImpl || !m_pImpl->pReader || !m_pImpl->pReader->attached())
        return false;
    Impl& impl = *m_pImpl;
    KQRingView view = impl.pReader->ringViewForReading();
    if (!findCursorRecord(view, cursor)) {
        int64_t iLost = bytesLostPast(view, cursor);
        start(From::OLDEST, nullptr, bFollow);
        // Evicted, but the oldest record is its successor: nothing after
        // it was lost.
        if (iLost == 0) {
            if (pFound) *pFound = true;
            return true;
        }
        impl.bLapPending = true;
        impl.iLapPos = cursor.iPos;
        impl.iLapBytes = iLost < 0 ? 0 : iLost;
        return true;
    }
    // Read as if just delivered: a record at logWritePos holds the walker
    // until its writer moves on, so that nothing after it comes early.
    start(From::AFTER, &cursor, bFollow);
    if (pFound) *pFound = true;
    return true;
}

KQLogCursor KQLogStream::cursorOf(const KQLogRecord& rec) {
    KQLogCursor cursor;
    cursor.iStartTime = rec.iStartTime;
    cursor.iPos = rec.iPos;
    memcpy(cursor.header, rec.header, sizeof(cursor.header));
    cursor.nTextHash =
        KQLogTextHash(rec.pText, rec.pText && rec.iTextLen > 0
                                     ? size_t(rec.iTextLen)
                                     : 0);
    return cursor;
}

ENUM_KQLOG_EVENT KQLogStream::next(KQLogRecord& rec, char* pLine) {
    if (!m_pImpl || !m_pImpl->pReader || !m_pImpl->pReader->attached() ||
        !pLine)
        return KQLOG_EVENT_DETACHED;
    Impl& impl = *m_pImpl;
    if (!impl.bStarted) startAtOldest(false);
    if (impl.bLapPending) {
        impl.bLapPending = false;
        rec.iPos = impl.iLapPos;
        rec.iLostBytes = impl.iLapBytes;
        return KQLOG_EVENT_LAPPED;
    }
    KQRingView view = impl.pReader->ringViewForReading();
    KQWalkResult res;
    KQWalkEvent eEvent = impl.walker.next(view, pLine, res);
    rec.iPos = res.iPos;
    rec.iLostBytes = 0;
    switch (eEvent) {
    case KQWALK_RECORD: {
        const KQLineRead& line = res.line;
        impl.iIdleEnds = 0;
        rec.pLine = pLine;
        rec.nLineLen = line.nLineLen;
        rec.eLevel = ENUM_KQLOG_LEVEL(line.header[2]);
        rec.nTagId = line.header[1];
        rec.pTag = pLine + line.nTagOffset;
        rec.iTagLen = line.iTagLen;
        rec.bTimeValid = line.bTimeValid;
        rec.iSecond = line.iSecond;
        rec.nMillis = uint16_t(line.header[7] | line.header[8] << 8);
        rec.pText = pLine + line.nTextOffset;
        rec.iTextLen = line.header[0];
        memcpy(rec.header, line.header, sizeof(rec.header));
        rec.iStartTime = impl.walker.startTime();
        // Every so many records is enough: the toucher only stops where the
        // reader is, and a touch behind it costs nothing.
        if (impl.bTouching && ++impl.iSinceProgress >= RECORDS_PER_PROGRESS) {
            impl.iSinceProgress = 0;
            impl.toucher.progress(
                KQRingDistance(impl.iPassBegin, rec.iPos, view.iRingSize));
        }
        return KQLOG_EVENT_RECORD;
    }
    case KQWALK_DAMAGED:
        return KQLOG_EVENT_DAMAGED;
    case KQWALK_LAPPED:
        rec.iLostBytes = res.iLostBytes;
        return KQLOG_EVENT_LAPPED;
    case KQWALK_END:
        if (impl.bTouching) {
            impl.toucher.stop();
            impl.bTouching = false;
        }
        break;
    }
    // A writer that restarts at a new size replaces the segment, and one
    // whose log path was deleted and made again makes a new one.
    if (impl.bFollow && ++impl.iIdleEnds >= IDLE_ENDS_PER_REATTACH_CHECK) {
        impl.iIdleEnds = 0;
        if (impl.pReader->reattachIfReplaced()) {
            impl.walker.startAtOldest(impl.pReader->ringViewForReading(),
                                      true);
            return next(rec, pLine);
        }
    }
    return KQLOG_EVENT_END;
}
