#include "KQShmLogSummary.h"

#include <sys/shm.h>

#include "KQShmLogInternalComm.h"
#include "KQShmLogMerge.h"
#include "KQShmLogReaderImp.h"
#include "KQShmLogWalkLoads.h"

bool KQLogPathHoldsLog(const char* pShmLogPath) {
    if (!pShmLogPath) return false;
    // A log the caller may only read is still a log.
    KQShmAttachment att = AttachShmForRead(pShmLogPath, true, true);
    if (!att.pAddr) return false;
    bool bLog =
        static_cast<const volatile shmloghead*>(att.pAddr)->magic == KQLOG_MAGIC;
    shmdt(att.pAddr);
    return bLog;
}

bool KQLogSummarize(IKQLOGReader* pReader, KQLogSummary& summary) {
    CKQLOGReaderImp* pImp = dynamic_cast<CKQLOGReaderImp*>(pReader);
    if (!pImp || !pImp->attached()) return false;
    summary = KQLogSummary();
    KQRingView view = pImp->ringViewForReading();
    summary.iRingSize = view.iRingSize;
    int32_t iRead = kqwalk::loadRead(view);
    int32_t iWrite = kqwalk::loadWrite(view);
    if (kqwalk::inRing(view, iRead) && kqwalk::inRing(view, iWrite))
        summary.iUsedBytes = KQRingDistance(iRead, iWrite, view.iRingSize);
    summary.iTagsInUse =
        __atomic_load_n(&view.pHead->currLogInfoIndex, __ATOMIC_RELAXED);
    summary.iStartTime = kqwalk::loadStartTime(view);
    struct shmid_ds ds;
    if (pImp->isSharedSegment() && shmctl(pImp->shmId(), IPC_STAT, &ds) == 0)
        summary.iAttached = ds.shm_nattch > 0 ? int(ds.shm_nattch) - 1 : 0;

    // The newest record is the last of one pass: the chain is walked from
    // the oldest, as a reader must (a node's predecessor cannot be found).
    KQLogStream stream(pReader);
    stream.startAtOldest(false);
    char line[KQLOG_LINE_BUFFER_SIZE];
    KQLogRecord rec;
    for (;;) {
        ENUM_KQLOG_EVENT eEvent = stream.next(rec, line);
        if (eEvent == KQLOG_EVENT_END || eEvent == KQLOG_EVENT_DETACHED) break;
        if (eEvent != KQLOG_EVENT_RECORD) continue;
        summary.bHasNewest = true;
        summary.iNewestMs = KQLogMerge::timeOf(rec);
    }
    return true;
}
