// Reading side of the shared-memory log: the process's reader, and
// readers of their own for programs that read several logs.
#ifndef KQSHMLOGREADER_H
#define KQSHMLOGREADER_H

#include <cstdio>
#include <string>

#include "KQShmLogComm.h"

// What the last nextLog call found; lets a follower tell a cursor that is
// up to date from one that the writers have left behind.
enum ENUM_KQLOG_READ_OUTCOME {
    KQLOG_READ_LINE,         // a line was returned
    KQLOG_READ_END,          // end marker at logWritePos: nothing new yet
    KQLOG_READ_STRAY_END,    // end marker away from logWritePos: the cursor is
                             // off the chain (lapped, or the writer started over)
    KQLOG_READ_BAD_NODE,     // node failed its checks; may be half-written
    KQLOG_READ_OVERWRITTEN,  // the writers evicted the node at the cursor
    KQLOG_READ_OUTSIDE,      // cursor outside the ring
    KQLOG_READ_DETACHED,     // no segment attached
};

// Where the library's verbose diagnostics (init's bVerbose) go: standard
// output by default, as the reader has always printed them. A program whose
// standard output carries records only (JSON, syslog) passes stderr. Null
// restores standard output.
void KQLogSetVerboseStream(FILE* pStream);

// The process's log reader, reached through getInst(). That instance is
// created on first demand and lives until the process ends: callers never
// copy or delete it. Readers made by create() are the caller's. One thread
// at a time may use a reader.
//
// Until a successful init the reader is detached, and every operation gives
// its "detached" answer: false, 0, null, KQLOG_LEVEL_NONE (6) or no effect.
// The tag table is read and changed in the shared segment itself, so a
// change is seen at once by every attached process and outlasts this one.
//
// Read-only attachments. Attaching read-write takes read and write
// permission on the segment. A writer may restrict its log (for example
// mode 0640 with a group: IKQLOGWriter::init with a mode, kqlogger --mode),
// so that some users may read it but not write it. For them init (and
// reattachIfReplaced) attach the segment read-only instead, quietly but
// for a -V diagnostic, and isReadOnly() answers true. Every reading
// operation works as on any attachment. The operations that change the
// tag table, enableLog, setLogLevel and setDefaultLogLevel, then return
// false and change nothing: they never store into the read-only mapping
// (which would end the process with SIGSEGV). A user who may not read the
// segment at all gets init's failure ("shmat failed(Permission denied)").
class IKQLOGReader {
public:
    // Attaches the segment of a log path (an existing file; its ftok key
    // names the segment), checks its magic number and indexes its tag names.
    // bVerbose turns on diagnostics for the process, on the stream
    // KQLogSetVerboseStream chose (standard output by default).
    // False after a message when the path, segment or header is unusable.
    virtual bool init(const char* pShmLogPath, bool bVerbose) = 0;

    // Index of the tag of that name as indexed by init; 255 when unknown.
    virtual KQLogId findLogger(const char* pStrLogTag) = 0;

    // Switches entry id on or off. False when detached, read-only or id is
    // not in use.
    virtual bool enableLog(KQLogId id, bool bEnable) = 0;

    // The switch of entry id; false when detached or id is not in use.
    virtual bool isLogEnable(KQLogId id) = 0;

    // Sets the level of every entry in use (true even when none is). The
    // level's low byte is stored unchecked: callers test the range. False
    // when detached or read-only.
    virtual bool setDefaultLogLevel(ENUM_KQLOG_LEVEL eLevel) = 0;

    // Sets the level of entry id, unchecked. False when detached, read-only
    // or id is not in use.
    virtual bool setLogLevel(KQLogId id, ENUM_KQLOG_LEVEL eLevel) = 0;

    // The stored level byte of entry id; 6 when detached or id is not in use.
    virtual ENUM_KQLOG_LEVEL getLogLevel(KQLogId id) = 0;

    // Ring size in bytes; 0 when detached.
    virtual int getShmLogBufSize() = 0;

    // Moves the cursor to where the next node will be written.
    virtual void seekLogEnd() = 0;

    // Moves the cursor to the oldest retained node, then iSkipCount nodes on.
    virtual void seekLogBegin(int iSkipCount) = 0;

    // The node at the cursor as a log line, "[LEVEL tag MM-DD hh:mm:ss mmmm] "
    // followed by its text (no line end is added); the cursor moves past it.
    // True with an empty line: nothing more has been written yet, cursor
    // unmoved. False: detached, or the node at the cursor failed its checks
    // (half-written, overwritten or corrupt); the cursor is unmoved.
    virtual bool nextLog(std::string& strLogContent) = 0;

    // Address of entry nLogID's name inside the segment: at most 10 bytes,
    // NUL-terminated only when shorter; valid while the process lives.
    // Null when detached or for 255. Free entries have empty names.
    virtual const char* getLogTag(KQLogId nLogID) = 0;

    // Writes the whole segment, header first, to a file. False after a
    // message on standard error when detached, on a null path, or when the
    // file cannot be opened or written in full.
    virtual bool dumpLogMem(const char* pDumpMemFilePath) = 0;

    virtual ~IKQLOGReader() {}

    // Operations for followers; they come after the destructor so that the
    // operations above keep their slots.

    // What the last nextLog call found (KQLOG_READ_DETACHED before any).
    virtual ENUM_KQLOG_READ_OUTCOME lastReadOutcome() = 0;

    // When the attached segment has been marked for removal (a writer
    // re-created it, say at a new size), or the log path now names another
    // segment (the file was deleted and made again, so its key changed),
    // attaches the log now found under the log path, once its header is
    // sound, and moves the cursor to its oldest node. True when it did. A
    // log path that is gone leaves the reader on the old segment for as
    // long as that lives. The old attachment stays, so addresses handed
    // out by getLogTag remain readable. Quiet but for -V diagnostics.
    virtual bool reattachIfReplaced() = 0;

    // The cursor, a ring offset; 0 before any init.
    virtual int getReadPos() = 0;

    // Like init, but reads an image of a whole segment (header first, as
    // dumpLogMem writes it) from a file into memory, once: the log as it
    // was when dumped. The image is checked as a segment is, its sizes
    // against the file's size. False after a message: "open[PATH] failed!!
    // err: ..." on standard error when the file cannot be read, or the
    // messages init gives for a bad header.
    virtual bool initFromFile(const char* pImagePath, bool bVerbose) = 0;

    // Whether the segment is attached read-only (see the class comment):
    // the tag table cannot be changed through this reader, and the changing
    // operations answer false. False when detached, and for a file image.
    virtual bool isReadOnly() = 0;

    // The process's reader; never null once memory could be had for it.
    static IKQLOGReader* getInst();

    // A reader of its own, independent of getInst()'s and of every other:
    // its own segment, cursor and tag index, for a program that reads
    // several logs at once. Null when memory cannot be had. The caller
    // deletes it; that detaches its segments, and the names getLogTag gave
    // out go with them. Verbose diagnostics (init's bVerbose) stay one
    // switch for the whole process.
    static IKQLOGReader* create();
};

#endif
