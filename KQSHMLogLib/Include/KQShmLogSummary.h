// What a log holds, at a glance, and whether a path names a log at all:
// for programs that list the logs of a machine.
#ifndef KQSHMLOGSUMMARY_H
#define KQSHMLOGSUMMARY_H

#include <cstdint>

#include "KQShmLogReader.h"

// Whether the log path names a segment whose header a reader's init would
// take (the magic number, and sizes that fit the segment). Asked quietly:
// a directory holds many files that name no log.
bool KQLogPathHoldsLog(const char* pShmLogPath);

struct KQLogSummary {
    int32_t iRingSize = 0;
    // Bytes of written data, from the oldest record to where the next will
    // be written; 0 when the header's positions lie outside the ring.
    int64_t iUsedBytes = 0;
    int iTagsInUse = 0;
    // Processes attached to the segment, the caller not counted; -1 for a
    // log that is no shared segment (a file image) or cannot be asked.
    int iAttached = -1;
    int64_t iStartTime = 0;  // the header's start time, seconds
    // The newest sound record's time in milliseconds since the epoch, as
    // KQLogMerge::timeOf counts it; bHasNewest is false for a log with no
    // record.
    bool bHasNewest = false;
    int64_t iNewestMs = 0;
};

// Fills summary from the log pReader (from getInst() or create()) has
// attached; reading for the newest record moves no cursor of the reader's.
// False when the reader is detached.
bool KQLogSummarize(IKQLOGReader* pReader, KQLogSummary& summary);

#endif
