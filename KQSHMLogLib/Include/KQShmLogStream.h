// Reading a log record by record, once or following it, with the recovery
// a reader of a live, untrusted ring needs. This is what kqlogreader -d
// prints from; a program gets the same behaviour through this header alone.
//
//   IKQLOGReader* pReader = IKQLOGReader::getInst();
//   if (!pReader->init("/var/run/corvid", false)) return;
//   KQLogStream stream;                  // reads what pReader attached
//   stream.startAtOldest(true);          // true: follow
//   char line[KQLOG_LINE_BUFFER_SIZE];
//   KQLogRecord rec;
//   for (;;) {
//       switch (stream.next(rec, line)) {
//       case KQLOG_EVENT_RECORD:  fwrite(rec.pLine, 1, rec.nLineLen, stdout); break;
//       case KQLOG_EVENT_END:     usleep(10000); break;   // following: wait
//       case KQLOG_EVENT_DAMAGED: break;                  // one record lost
//       case KQLOG_EVENT_LAPPED:  break;                  // rec.iLostBytes lost
//       case KQLOG_EVENT_DETACHED: return;
//       }
//   }
//
// The rules, in a user's words: a damaged record costs that record; a lap
// (the writers overwrote records before they were read) costs those
// records and is reported once; no sound record is ever delivered twice,
// and records come in the order they were written.
// - The written data is the chain of records from the oldest retained one
//   (the header's logReadPos) to where the next will be written
//   (logWritePos).
// - A record inside the written data that fails its checks is damaged:
//   KQLOG_EVENT_DAMAGED once, then reading goes on at the first later
//   position from which a chain of sound records reaches logWritePos (its
//   size byte is not trusted for that: it may be the damaged byte). The
//   search looks at most one record's extent past the damaged one and
//   checks at most 256 records of each candidate chain: well under a
//   millisecond. If another damaged record lies close ahead, reading goes on
//   at the candidate whose sound chain goes furthest, so the sound records
//   between the two are still delivered.
// - A record at logWritePos that fails its checks has not been committed by
//   its writer: that is the end of the data for now.
// - When the writers overwrite the place the stream had reached, the stream
//   resumes at the oldest retained record: KQLOG_EVENT_LAPPED once, with the
//   ring bytes lost. A writer that goes round the whole ring between two
//   calls leaves no trace in the header, and such a lap can pass unseen.
// - A writer that starts its log over (same segment, or a new one under the
//   same log path when following) is followed from its oldest record, with
//   no event: nothing unread was overwritten.
// - Printing once (startAt...(false)) ends at the end of the written data,
//   and in any case after its second lap or after twice the ring's size:
//   every later call answers KQLOG_EVENT_END. Following never ends.
//
// Resuming in another process (a shipper restarted): after each record,
// cursorOf(rec) gives a KQLogCursor, plain data to keep anywhere; a later
// stream's startAfter(cursor) goes on with the record after that one, so
// that nothing still in the ring is lost and nothing is delivered twice.
#ifndef KQSHMLOGSTREAM_H
#define KQSHMLOGSTREAM_H

#include <cstddef>
#include <cstdint>

#include "KQShmLogComm.h"
#include "KQShmLogReader.h"

enum ENUM_KQLOG_EVENT {
    KQLOG_EVENT_RECORD,    // rec holds a sound record
    KQLOG_EVENT_END,       // no more written data now; printing once: for good
    KQLOG_EVENT_DAMAGED,   // a damaged record was stepped over (rec.iPos)
    KQLOG_EVENT_LAPPED,    // unread records were overwritten (rec.iLostBytes)
    KQLOG_EVENT_DETACHED,  // the reader has no segment: init it first
};

// Room for the longest line next() renders, with a byte to spare.
const size_t KQLOG_LINE_BUFFER_SIZE = 300;

// A record's header bytes as stored in the ring: text size, tag, level,
// seconds after the log's start time (4, little-endian), milliseconds (2).
const size_t KQLOG_RECORD_HEADER_SIZE = 9;

// One record. Pointers lead into the caller's line buffer or the segment's
// tag table and stay valid until the next call or until the line buffer
// is reused.
struct KQLogRecord {
    // "[LEVEL tag MM-DD hh:mm:ss mmmm] text" in local time, no line end
    // added: what IKQLOGReader::nextLog returns for the record.
    const char* pLine = nullptr;
    size_t nLineLen = 0;
    ENUM_KQLOG_LEVEL eLevel = KQLOG_LEVEL_NONE;
    KQLogId nTagId = KQLOG_INVALID_ID;  // 255: none
    const char* pTag = nullptr;          // the tag name as it is now
    int iTagLen = 0;
    // starttime + the record's seconds; false when local time cannot show
    // it (the line then shows "00-00 00:00:00").
    bool bTimeValid = false;
    int64_t iSecond = 0;
    uint16_t nMillis = 0;  // as stored: may be 1000 or more
    const char* pText = nullptr;
    int iTextLen = 0;
    int32_t iPos = -1;        // ring offset of the record (or damaged one)
    int64_t iLostBytes = 0;   // KQLOG_EVENT_LAPPED: ring bytes overwritten
    // The record's header bytes and the log's start time (its starttime
    // field) when the record was read: what cursorOf keeps of it.
    uint8_t header[KQLOG_RECORD_HEADER_SIZE] = {};
    int64_t iStartTime = 0;
};

// Enough of one record to find it again in the ring, later and from
// another process: which log (its start time), where (the ring offset) and
// what (the header bytes and a hash of the text). Plain data: any bytes a
// file hands back are safe to pass to startAfter, which trusts none of it.
struct KQLogCursor {
    int64_t iStartTime = 0;
    int32_t iPos = -1;
    uint8_t header[KQLOG_RECORD_HEADER_SIZE] = {};
    uint64_t nTextHash = 0;  // KQLogTextHash of the text
};

// FNV-1a, 64 bits, of n bytes: the text hash of a KQLogCursor.
uint64_t KQLogTextHash(const char* p, size_t n);

class KQLogStream {
public:
    // Reads the segment that IKQLOGReader::getInst() has attached. One
    // thread at a time may use a stream.
    KQLogStream();
    // Reads the segment pReader has attached: a reader from getInst() or
    // create(), which must outlive the stream. Several streams over
    // several readers read several logs. A null reader, or one the library
    // did not make, leaves the stream detached.
    explicit KQLogStream(IKQLOGReader* pReader);
    ~KQLogStream();
    KQLogStream(const KQLogStream&) = delete;
    KQLogStream& operator=(const KQLogStream&) = delete;

    // Begin at the oldest retained record, or with what is written from now
    // on. bFollow: never end (see above). False when the reader is detached.
    bool startAtOldest(bool bFollow);
    bool startAtNewest(bool bFollow);

    // Begin with the record after the one cursor names. That record counts
    // as found when the log has the cursor's start time and a sound record
    // still retained at its offset has its header bytes and text hash; the
    // stream then goes on with that record's successor (once logWritePos
    // has moved past it, should the writer not have moved it yet). So it
    // does, from the oldest record, when the record has just been evicted
    // and the oldest record is its successor: nothing after it was lost.
    // Otherwise (overwritten, the log started over or replaced, a cursor of
    // another log) the stream begins at the oldest retained record and its
    // first next() answers KQLOG_EVENT_LAPPED, with iLostBytes the bytes
    // from the cursor's successor to the oldest record when the log is the
    // same one, else 0 (what the old log held past the cursor is unknown).
    // *pFound (when not null) says whether the stream goes on right after
    // the record. False only when the reader is detached.
    bool startAfter(const KQLogCursor& cursor, bool bFollow, bool* pFound);

    // The cursor of rec, a record this stream has just delivered (its text
    // still where rec points).
    static KQLogCursor cursorOf(const KQLogRecord& rec);

    // The next outcome. pLine must hold KQLOG_LINE_BUFFER_SIZE bytes; a
    // record's line is rendered there and validated where it lies, so what
    // the caller prints is exactly what passed the checks. Following, a
    // caller that gets KQLOG_EVENT_END waits (kqlogreader waits 10 ms) and
    // calls again; on some of those calls the stream asks whether the
    // segment has been replaced (one system call).
    ENUM_KQLOG_EVENT next(KQLogRecord& rec, char* pLine);

private:
    enum class From { OLDEST, NEWEST, AFTER };
    bool start(From eFrom, const KQLogCursor* pAfter, bool bFollow);

    struct Impl;
    Impl* m_pImpl;
};

#endif
