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

// The process's one log writer, reached through getInst(). The instance is
// created on first demand and lives until the process ends: callers never
// create, copy or delete it.
//
// Any number of threads of the process may use it at once. Only one process
// writes a given log: the ring's positions are kept by the writer, not
// coordinated between processes, so init locks the log path (flock) and
// fails while another process holds it. Readers (IKQLOGReader, kqlogreader)
// may read alongside at any time, and may change tag levels and switches in
// place; the writer obeys them from the next message on.
class IKQLOGWriter {
public:
    // Attaches the log segment of a log path (an existing file; its ftok key
    // names the segment) for writing, detaching any earlier one.
    //
    // A segment already under the key is kept, with its tags, their levels
    // and switches and its messages, when it is a sound log segment with a
    // ring of iLogBufSize bytes (of any accepted size when iLogBufSize is 0).
    // Anything else under the key is replaced by a new, empty log with a
    // ring of iLogBufSize bytes (KQLOG_DEFAULT_LOG_BUF_SIZE for 0), readable
    // and writable by every user. An adopted segment keeps the mode and
    // group it has; the overload below restricts a log.
    //
    // False after a message on standard error for a null or missing path, a
    // path another process writes, a size outside
    // KQLOG_MIN_LOG_BUF_SIZE..KQLOG_MAX_LOG_BUF_SIZE, or a segment that
    // cannot be attached or replaced; the writer then stays as it was. A failure of the system while creating the segment ends the
    // process with status 1.
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

    // Appends a message of nLen bytes under tag id. A message longer than
    // 255 bytes is cut to its first 255, or, when it ends with a line feed,
    // to its first 254 and that line feed, so that it still ends its line.
    // NUL bytes are stored as '?'. Nothing is written, and
    // the answer is false, when the tag is switched off or eLevel is below
    // the tag's level, and when detached, for an id not in use, a level
    // outside TRACE..FATAL or an empty text. The oldest messages make room.
    virtual bool log(KQLogId id, ENUM_KQLOG_LEVEL eLevel, const char* pText,
                     size_t nLen) = 0;

    // log() with a NUL-terminated text.
    bool log(KQLogId id, ENUM_KQLOG_LEVEL eLevel, const char* pText) {
        return pText && log(id, eLevel, pText, strlen(pText));
    }

    // log() with a text formatted as by vsnprintf, cut as log() cuts the
    // whole formatted text; formatting is skipped when the message would not
    // be written.
    virtual bool logFormatV(KQLogId id, ENUM_KQLOG_LEVEL eLevel,
                            const char* pFormat, va_list args)
        __attribute__((format(printf, 4, 0))) = 0;

    bool logFormat(KQLogId id, ENUM_KQLOG_LEVEL eLevel, const char* pFormat,
                   ...) __attribute__((format(printf, 4, 5))) {
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
};

#endif
