// Writing side of the shared-memory log: one writer per process.
#ifndef KQSHMLOGWRITER_H
#define KQSHMLOGWRITER_H

#include <sys/types.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "KQShmLogComm.h"

// Ring sizes a writer accepts, in bytes. The smallest holds one largest node
// (265 bytes) and the wrap threshold (284) with a byte to spare, so that a
// node written at the ring's start never wraps its end marker onto itself.
// The largest keeps header plus ring within an int.
const int KQLOG_MIN_LOG_BUF_SIZE = 265 + 284 + 1;
const int KQLOG_MAX_LOG_BUF_SIZE = INT32_MAX - 3608;
const int KQLOG_DEFAULT_LOG_BUF_SIZE = 65536;

// For init's gid: leave the group as it is (the writer's own on a new log,
// the adopted log's on an existing one).
const gid_t KQLOG_KEEP_GROUP = gid_t(-1);

// The segment layout the inline check wouldLog() reads: the count of tag
// entries in use and the table of 14-byte entries (level at 10, switch at
// 11) in the log segment's header. The library checks these against its
// own definition of the layout.
const int KQLOG_TAG_COUNT_OFFSET = 24;
const int KQLOG_TAG_TABLE_OFFSET = 36;
const int KQLOG_TAG_ENTRY_SIZE = 14;
const int KQLOG_TAG_LEVEL_OFFSET = 10;
const int KQLOG_TAG_ENABLE_OFFSET = 11;

// The process's one log writer, reached through getInst(). The instance is
// created on first demand and lives until the process ends: callers never
// create, copy or delete it.
//
// Any number of threads of the process, and any number of processes, may
// write one log at once: writers take turns through the log's writers'
// lock, a robust mutex kept beside the segment, and take the ring's
// positions from the segment on every message. A process forked after init
// writes the same log. A writer killed while writing costs at most its own
// message: the next writer makes the log sound again and goes on. Readers
// (IKQLOGReader, kqlogreader) may read alongside at any time, and may change
// tag levels and switches in place; every writer obeys them from the next
// message on.
class IKQLOGWriter {
public:
    // Attaches the log segment of a log path (an existing file; its ftok key
    // names the segment) for writing, detaching any earlier one, together
    // with the log's writers' lock, which is created beside it when missing.
    //
    // A segment already under the key is kept, with its tags, their levels
    // and switches and its messages, when it is a sound log segment with a
    // ring of iLogBufSize bytes (of any accepted size when iLogBufSize is 0).
    // Anything else under the key is replaced by a new, empty log with a
    // ring of iLogBufSize bytes (KQLOG_DEFAULT_LOG_BUF_SIZE for 0), readable
    // and writable by every user; but not while another process writes it.
    // An adopted segment keeps the mode and group it has; the overload
    // below restricts a log.
    //
    // The log path stays open with a shared flock() while attached: writers
    // of earlier releases, which lock it exclusively and keep the ring's
    // positions to themselves, cannot start while this one writes, nor this
    // one while they do.
    //
    // False after a message on standard error for a null or missing path, a
    // path a writer of an earlier release holds, a size outside
    // KQLOG_MIN_LOG_BUF_SIZE..KQLOG_MAX_LOG_BUF_SIZE, a log that would have
    // to be replaced while another process writes it, or a segment or lock
    // that cannot be attached or replaced; the writer then stays as it was.
    // A failure of the system while creating the segment ends the process
    // with status 1.
    //
    // Threads still writing while init runs finish their message on the log
    // they began it on; the segments of earlier logs stay attached.
    virtual bool init(const char* pShmLogPath, int iLogBufSize) = 0;

    // Index of the tag entry of that name: the existing one (whose level and
    // switch stay as they are) or a new entry, switched on, at eDefaultLevel.
    // 255 when detached, when the table is full, for a level outside
    // TRACE..FATAL, or for a name that is empty, longer than 10 bytes or
    // holds a control byte (below 0x20, or 0x7F): a name is printed at the
    // start of every line of its tag, where a line feed or an escape
    // sequence would pass for more than a name.
    virtual KQLogId registerTag(const char* pStrLogTag,
                                ENUM_KQLOG_LEVEL eDefaultLevel) = 0;

    // Whether a message of tag id at eLevel would be written now: attached,
    // the id in use, eLevel within TRACE..FATAL, the tag switched on and
    // eLevel not below its level. Inline and without a lock, so that a
    // message that is switched off costs a few loads: it reads the tag
    // table in the segment as it stands (levels and switches are single
    // bytes that readers change in place). The writing calls below check
    // the same first; a true answer may be out of date by the time one
    // runs.
    bool wouldLog(KQLogId id, ENUM_KQLOG_LEVEL eLevel) const {
        const uint8_t* pHead = __atomic_load_n(&m_pTagHead, __ATOMIC_ACQUIRE);
        if (!pHead || uint32_t(eLevel) > uint32_t(KQLOG_LEVEL_FATAL) ||
            id >= __atomic_load_n(pHead + KQLOG_TAG_COUNT_OFFSET,
                                  __ATOMIC_RELAXED))
            return false;
        const uint8_t* pEntry =
            pHead + KQLOG_TAG_TABLE_OFFSET + KQLOG_TAG_ENTRY_SIZE * id;
        return __atomic_load_n(pEntry + KQLOG_TAG_ENABLE_OFFSET,
                               __ATOMIC_RELAXED) != 0 &&
               uint32_t(eLevel) >= __atomic_load_n(
                                       pEntry + KQLOG_TAG_LEVEL_OFFSET,
                                       __ATOMIC_RELAXED);
    }

    // Appends a message of nLen bytes under tag id. A message longer than
    // 255 bytes is cut to its first 255, or, when it ends with a line feed,
    // to its first 254 and that line feed, so that it still ends its line.
    // NUL bytes are stored as '?'. Nothing is written, and the answer is
    // false, when wouldLog() is false and for an empty text. The oldest
    // messages make room. The message's time is taken before the writers'
    // lock: a message that waited for it may show a time a little earlier
    // than the one before it.
    virtual bool log(KQLogId id, ENUM_KQLOG_LEVEL eLevel, const char* pText,
                     size_t nLen) = 0;

    // log() with a NUL-terminated text; the text is not looked at when
    // wouldLog() is false.
    bool log(KQLogId id, ENUM_KQLOG_LEVEL eLevel, const char* pText) {
        return pText && wouldLog(id, eLevel) &&
               log(id, eLevel, pText, strlen(pText));
    }

    // log() with a text formatted as by vsnprintf, cut as log() cuts the
    // whole formatted text. The text is formatted before the writers' lock
    // is taken, and not at all when wouldLog() is false.
    virtual bool logFormatV(KQLogId id, ENUM_KQLOG_LEVEL eLevel,
                            const char* pFormat, va_list args)
        __attribute__((format(printf, 4, 0))) = 0;

    // logFormatV(); the arguments are not looked at when wouldLog() is
    // false.
    bool logFormat(KQLogId id, ENUM_KQLOG_LEVEL eLevel, const char* pFormat,
                   ...) __attribute__((format(printf, 4, 5))) {
        if (!wouldLog(id, eLevel)) return false;
        va_list args;
        va_start(args, pFormat);
        bool bWritten = logFormatV(id, eLevel, pFormat, args);
        va_end(args);
        return bWritten;
    }

    virtual ~IKQLOGWriter() {}

    // Operations added later; they come after the destructor so that the
    // operations above keep their slots.

    // init() for a log that only some may use: a new segment is created
    // with mode (permission bits, e.g. 0640) and group gid (the writer's
    // own for KQLOG_KEEP_GROUP), and is open to nobody else while it is
    // set up. An adopted segment is switched to them (IPC_SET), which takes
    // its owner or root; a segment that already has them needs no right.
    // With 0640 and group adm, say, members of adm may read the log
    // (IKQLOGReader attaches it read-only for them), nobody else may read
    // it, and only its owner and root may change its tags or write it.
    //
    // False after a message on standard error, for the reasons init gives
    // and for a mode beyond 0777 or without read and write for the owner,
    // or when the segment's mode or group cannot be set (not the owner:
    // the message names the owner); an adopted log then keeps its mode,
    // group and contents, and the writer stays as it was.
    virtual bool init(const char* pShmLogPath, int iLogBufSize, mode_t mode,
                      gid_t gid) = 0;

    // The process's writer; never null once memory could be had for it.
    static IKQLOGWriter* getInst();

protected:
    // The attached log segment's first byte, for wouldLog(); null while
    // detached. Only the implementation sets it, with release ordering,
    // once the segment is attached and sound.
    const uint8_t* m_pTagHead = nullptr;
};

#endif
