#include "KQShmLogStream.h"

#include <new>

#include "KQShmLogReaderImp.h"
#include "KQShmLogToucher.h"
#include "KQShmLogWalk.h"

static_assert(KQLOG_LINE_BUFFER_SIZE >= size_t(KQLOG_MAX_LINE_SIZE) + 1,
              "a line and its terminator fit");

// Idle ends of data between two looks for a replaced segment: the look is
// a system call, which on every 10 ms wake adds about a tenth to an idle
// follower's CPU time; a replacement is still noticed within 40 ms.
static const int IDLE_ENDS_PER_REATTACH_CHECK = 4;

// Rings from this size on are mapped in by a second thread during a pass
// that prints once (see KQRingToucher); below it a thread costs more than
// it saves.
static const int32_t TOUCHER_MIN_RING = 4 << 20;

struct KQLogStream::Impl {
    CKQLOGReaderImp* pReader = nullptr;
    KQRingWalker walker;
    KQRingToucher toucher;
    bool bTouching = false;
    int32_t iPassBegin = 0;
    bool bStarted = false;
    bool bFollow = false;
    int iIdleEnds = 0;
};

KQLogStream::KQLogStream() : m_pImpl(new (std::nothrow) Impl) {
    // The library's reader is its one implementation of IKQLOGReader.
    if (m_pImpl)
        m_pImpl->pReader = static_cast<CKQLOGReaderImp*>(IKQLOGReader::getInst());
}

KQLogStream::~KQLogStream() { delete m_pImpl; }

bool KQLogStream::start(bool bOldest, bool bFollow) {
    if (!m_pImpl || !m_pImpl->pReader || !m_pImpl->pReader->attached())
        return false;
    Impl& impl = *m_pImpl;
    KQRingView view = impl.pReader->ringViewForReading();
    if (bOldest)
        impl.walker.startAtOldest(view, bFollow);
    else
        impl.walker.startAtNewest(view, bFollow);
    impl.bStarted = true;
    impl.bFollow = bFollow;
    impl.toucher.stop();
    impl.bTouching = false;
    if (bOldest && !bFollow && impl.pReader->isSharedSegment() &&
        view.iRingSize >= TOUCHER_MIN_RING) {
        impl.iPassBegin = KQRingLoadReadPos(view.pHead);
        impl.bTouching = impl.toucher.start(view.pRing, view.iRingSize,
                                            impl.iPassBegin,
                                            KQRingLoadWritePos(view.pHead));
    }
    return true;
}

bool KQLogStream::startAtOldest(bool bFollow) { return start(true, bFollow); }

bool KQLogStream::startAtNewest(bool bFollow) { return start(false, bFollow); }

ENUM_KQLOG_EVENT KQLogStream::next(KQLogRecord& rec, char* pLine) {
    if (!m_pImpl || !m_pImpl->pReader || !m_pImpl->pReader->attached() ||
        !pLine)
        return KQLOG_EVENT_DETACHED;
    Impl& impl = *m_pImpl;
    if (!impl.bStarted) startAtOldest(false);
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
        if (impl.bTouching)
            impl.toucher.progress(
                KQRingDistance(impl.iPassBegin, rec.iPos, view.iRingSize));
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
    // A writer that restarts at a new size replaces the segment.
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
