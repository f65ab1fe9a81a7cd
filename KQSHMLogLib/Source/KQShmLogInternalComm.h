// The log segment format shared by writers and readers, and the functions
// that name, attach and create segments.
//
// A log segment is a System V shared-memory segment keyed by ftok(path, 0)
// of a log path. All integers are little-endian.
//
//   offset  size  field
//        0     4  magic             0xF2536767; anything else: not a log segment
//        4     4  hdrsize           offset of the ring from the segment start
//        8     4  logbufsize        ring size in bytes
//       16     8  starttime         seconds since the epoch; base of node times
//       24     1  currLogInfoIndex  tag entries in use, from entry 0 upwards
//       28     4  logReadPos        ring offset of the oldest retained node
//       32     4  logWritePos       ring offset of the next node to be written
//       36  3570  logInfos          255 tag entries of 14 bytes
//
// The ring is logbufsize bytes at offset hdrsize. A node starts at any byte:
//
//   0  logSize (text length; 0 = end of written data, no node here)
//   1  logTag   2  logLevel (0..5)
//   3  timeDeltaSec (u32)   7  timeDeltaMs (u16)
//   9  text, logSize bytes, none NUL     9+logSize  terminating NUL
//
// Ring rule: after the node at p of size s comes q = p + s + 10, except that
// q + WRAP_THRESHOLD >= logbufsize wraps to 0. The threshold exceeds the
// largest node (265 bytes), so a writer never runs a node past the ring end.
//
// Every byte of a segment is untrusted: any local user may write it.
#ifndef KQSHMLOGINTERNALCOMM_H
#define KQSHMLOGINTERNALCOMM_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "KQShmLogComm.h"

const uint32_t KQLOG_MAGIC = 0xF2536767u;
const int KQLOG_MAX_TAGS = 255;
const int KQLOG_TAG_NAME_SIZE = 10;
const int KQLOG_NODE_HDR_SIZE = 9;
const int KQLOG_MAX_LOG_LENGTH = 255;
const int KQLOG_WRAP_THRESHOLD = 284;
const int KQLOG_LEVEL_COUNT = 6;

#pragma pack(push, 1)
struct KQLogInfo {
    char strLogTag[KQLOG_TAG_NAME_SIZE];  // NUL-terminated only when shorter
    uint8_t nLogLevel;
    uint8_t bEnable;
    uint8_t bEnableFileLine;  // writers' flag; never read or changed here
    uint8_t bEnableThreadID;  // writers' flag; never read or changed here
};
#pragma pack(pop)

struct shmloghead {
    uint32_t magic;
    uint32_t hdrsize;
    uint32_t logbufsize;
    uint32_t reserved0;
    int64_t starttime;
    uint8_t currLogInfoIndex;
    uint8_t reserved1[3];
    int32_t logReadPos;
    int32_t logWritePos;
    KQLogInfo logInfos[KQLOG_MAX_TAGS];
    uint8_t reserved2[2];
};

static_assert(sizeof(KQLogInfo) == 14, "tag entry is 14 bytes");
static_assert(sizeof(shmloghead) == 3608, "segment header is 3608 bytes");
static_assert(offsetof(shmloghead, starttime) == 16, "layout");
static_assert(offsetof(shmloghead, currLogInfoIndex) == 24, "layout");
static_assert(offsetof(shmloghead, logReadPos) == 28, "layout");
static_assert(offsetof(shmloghead, logWritePos) == 32, "layout");
static_assert(offsetof(shmloghead, logInfos) == 36, "layout");

// Level names, indexed by level; every name is five characters.
extern const char* const LOG_LEVEL_STRING[KQLOG_LEVEL_COUNT];

// Process-wide switch for verbose diagnostics (KQVerbose); set by the
// reader's init.
extern bool g_bVerbose;

// Prints one verbose diagnostic (callers test g_bVerbose first) to the
// verbose stream: standard output unless KQLogSetVerboseStream chose
// another.
void KQVerbose(const char* pFormat, ...) __attribute__((format(printf, 1, 2)));

// Name of a level, or null for any value above 5.
const char* logLevelID2String(uint8_t nLogLevel);

// Attaches the whole existing segment of a log path read-write. Returns null
// after a message on standard error when the path, the segment or its
// header sizes are unusable.
void* GetShmAddrforRead(const char* pStrShmLogPath);

// What AttachShmForRead found: the segment's id (so a follower can later
// ask whether it has been marked for removal) and the header sizes, checked
// against the attached segment's real size. Callers bound every access by
// these sizes, never by the live header, which any process may rewrite.
struct KQShmAttachment {
    void* pAddr = nullptr;
    int iShmId = -1;
    key_t key = -1;  // the log path's key when it was attached
    uint32_t iHdrSize = 0;
    uint32_t iLogBufSize = 0;
    // Attached read-only: see AttachShmForRead's bReadOnlyFallback.
    bool bReadOnly = false;
};

// GetShmAddrforRead with the details above; null pAddr on failure. bQuiet:
// no message (a follower that looks for a successor again and again).
// bReadOnlyFallback: when attaching read-write is refused (EACCES: the
// segment's mode lets this user read but not write), attach read-only and
// set bReadOnly; writing to such an attachment kills the process. A user
// who may not read gets the same "shmat failed" message as without it.
KQShmAttachment AttachShmForRead(const char* pStrShmLogPath,
                                 bool bQuiet = false,
                                 bool bReadOnlyFallback = false);

// ---- Segment creation, for writers ----

// A segment of at least iShmFileSize bytes under the key of a log path,
// attached read-write, its first iShmFileSize bytes zeroed (an existing
// segment keeps any bytes beyond them). An existing segment too small for
// the request is removed and created anew; new segments are readable and
// writable by every user (0666). Whenever no segment of that size is found,
// "shmget failed, err: ..." goes to standard error first, also on an
// ordinary first creation. Never returns on failure: prints the reason on
// standard error and exits with status 1. A negative size fails without
// touching an existing segment.
void* GetShm(const char* pStrShmFileName, int iShmFileSize);

// Writes the file name of the running executable into processname: at most
// len - 1 bytes of it, then zeros up to len, so the result is always
// terminated. Returns the length of the directory part, up to and including
// its last '/'. Returns (size_t)-1 and writes nothing when len is 0 or the
// executable's path cannot be read whole.
size_t get_executable_name(char* processname, size_t len);

#endif
