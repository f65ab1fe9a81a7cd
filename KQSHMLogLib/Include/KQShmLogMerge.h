// Several logs as one timeline: the records of any number of KQLogStreams,
// in time order, each with the index of the stream it came from.
//
//   IKQLOGReader* pWeb = IKQLOGReader::create();
//   IKQLOGReader* pDb = IKQLOGReader::create();
//   pWeb->init("/var/run/web", false);
//   pDb->init("/var/run/db", false);
//   KQLogStream web(pWeb), db(pDb);
//   web.startAtOldest(true);
//   db.startAtOldest(true);
//   KQLogMerge merge;
//   merge.add(&web);                     // index 0
//   merge.add(&db);                      // index 1
//   KQLogRecord rec;
//   size_t iLog;
//   for (;;) {
//       switch (merge.next(rec, &iLog)) {
//       case KQLOG_EVENT_RECORD: printf("%zu %.*s\n", iLog, int(rec.nLineLen), rec.pLine); break;
//       case KQLOG_EVENT_END:    usleep(10000); break;   // following: wait
//       default:                 break;                  // iLog's event
//       }
//   }
//
// The order:
// - A record's time is its log's start time plus the record's seconds, in
//   milliseconds, plus its milliseconds field as stored (which may be 1000
//   or more).
// - The record with the earliest time among the streams' next records comes
//   first; on a tie, the one of the stream added first.
// - The records of one stream keep their order, even where its clock went
//   back: the merge only ever compares the streams' next records.
// - Events other than records (damaged, lapped) pass through at once with
//   their stream's index. A stream's KQLOG_EVENT_DETACHED passes through
//   once; the merge then reads that stream no more.
// - Each call merges what is available now: a stream with nothing new
//   (KQLOG_EVENT_END) never holds the others back, so when following, a
//   record that arrives late in one log may come after later-stamped
//   records of another. KQLOG_EVENT_END: no stream has anything now; when
//   every stream prints once, that is the end for good.
#ifndef KQSHMLOGMERGE_H
#define KQSHMLOGMERGE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "KQShmLogStream.h"

class KQLogMerge {
public:
    KQLogMerge() = default;
    KQLogMerge(const KQLogMerge&) = delete;
    KQLogMerge& operator=(const KQLogMerge&) = delete;

    // Adds a started stream, which must outlive the merge; its index is the
    // number of streams added before it. Streams may be added at any time,
    // also between calls to next(). False when memory cannot be had.
    bool add(KQLogStream* pStream);
    size_t size() const { return m_slots.size(); }

    // The next event of all streams; *pIndex (when not null) names the
    // stream. A record's pointers lead into the merge's own buffers and stay
    // valid until the next call.
    ENUM_KQLOG_EVENT next(KQLogRecord& rec, size_t* pIndex);

    // A record's time in milliseconds since the epoch, as the merge orders
    // by; saturated at the ends of int64_t for start times no clock has.
    static int64_t timeOf(const KQLogRecord& rec);

private:
    struct Slot {
        KQLogStream* pStream = nullptr;
        bool bHasRecord = false;
        // Answered END since the merge last looked at every stream.
        bool bIdle = false;
        bool bDetached = false;
        int64_t iTime = 0;
        KQLogRecord rec;
        char line[KQLOG_LINE_BUFFER_SIZE];
    };
    // Slots live on the heap so that records keep pointing into their lines
    // when more streams are added.
    std::vector<std::unique_ptr<Slot>> m_slots;
    int m_iSinceIdleCleared = 0;
};

#endif
