// kqlogreader: prints, follows and maintains the log of a service kept in
// System V shared memory under "/var/run/" + service name.
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KQShmLogReader.h"
#include "KQShmLogStream.h"
#include "CursorFile.h"
#include "LapReport.h"
#include "Options.h"
#include "RecordFormat.h"
#include "StdoutSink.h"

namespace {

const char* const LOG_LEVEL_STRING[6] = {"TRACE", "DEBUG", "INFO ",
                                         "WARN ", "ERROR", "FATAL"};
// Shown for a level byte that has no name; five characters like the rest.
const char* const UNKNOWN_LEVEL_STRING = "?????";

IKQLOGReader* g_pKQLOGReader = nullptr;

// ---- Ending on a signal -------------------------------------------------
//
// Lines wait in the output buffer while lines keep coming. On SIGINT,
// SIGTERM or SIGHUP the loop flushes them and the process then dies by the
// same signal, so its parent still sees why it ended. The handler only
// records the signal; the flush happens outside it, where writing is safe.
// A second signal while the first is pending ends the process at once (a
// write blocked on a stalled pipe would otherwise never see the first).

volatile sig_atomic_t g_iPendingSignal = 0;
StdoutSink g_out;

void onTerminatingSignal(int iSignal) {
    if (g_iPendingSignal != 0) {
        signal(iSignal, SIG_DFL);
        raise(iSignal);
        return;
    }
    g_iPendingSignal = iSignal;
}

void installSignalHandlers() {
    struct sigaction action = {};
    action.sa_handler = onTerminatingSignal;
    sigemptyset(&action.sa_mask);
    // SA_RESTART: a write blocked on a full pipe must go on, not fail with
    // EINTR. Sleeps (poll) still end at the signal: they are never
    // restarted.
    action.sa_flags = SA_RESTART;
    for (int iSignal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(iSignal, &action, nullptr);
}

// ---- Lap reports and the cursor file ------------------------------------

int64_t monotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

LapReportLimiter g_laps;

void printLap(int64_t iBytes) {
    fprintf(stderr,
            "kqlogreader: lapped by the writer: %lld bytes of log "
            "were overwritten before they were read\n",
            static_cast<long long>(iBytes));
}

void reportLapIfDue() {
    int64_t iBytes = 0;
    if (g_laps.pending() && g_laps.due(monotonicMs(), &iBytes))
        printLap(iBytes);
}

// --cursor-file: where it is and what it owes. Null without the option.
struct CursorFileState {
    std::string strPath;
    CursorKeeper keeper;
    bool bToldFailure = false;
};
CursorFileState* g_pCursor = nullptr;

// Saves the cursor of the last record read. Only ever after standard
// output has taken every record up to that one (callers flush first): a
// crash must never leave a cursor past a record that was not delivered.
void saveCursor(int64_t iNowMs) {
    int iErr = 0;
    if (writeCursorFile(g_pCursor->strPath, g_pCursor->keeper.take(iNowMs),
                        &iErr) ||
        g_pCursor->bToldFailure)
        return;
    fprintf(stderr, "kqlogreader: cannot write cursor file [%s]: %s\n",
            g_pCursor->strPath.c_str(), strerror(iErr));
    g_pCursor->bToldFailure = true;
}

// While following: at most one save a second, and only of something new.
void saveCursorIfDue() {
    if (!g_pCursor) return;
    int64_t iNow = monotonicMs();
    if (!g_pCursor->keeper.due(iNow)) return;
    g_out.flush();
    saveCursor(iNow);
}

// The end of a run that printed: the lines held go out, then the lap still
// owed and the cursor of the last record.
void settleRun() {
    g_out.flush();
    int64_t iBytes = 0;
    if (g_laps.drain(monotonicMs(), &iBytes)) printLap(iBytes);
    if (g_pCursor && g_pCursor->keeper.hasNew()) saveCursor(monotonicMs());
}

void endOnPendingSignal() {
    int iSignal = g_iPendingSignal;
    if (iSignal == 0) return;
    settleRun();
    signal(iSignal, SIG_DFL);
    raise(iSignal);
}

// Sleeps of the follow loop: what is buffered goes out first, so a reader
// at the other end of a pipe never waits on lines already read; a reader
// that has gone away ends the run.
void flushAndSleep(int iMillis) {
    g_out.flush();
    endOnPendingSignal();
    g_out.sleepWatching(iMillis);
    endOnPendingSignal();
}

// Standard output to a pipe or a file goes out in blocks of a pipe's
// capacity rather than of a page, for what still goes through stdio (the
// maintenance commands, and lines when -V diagnostics are interleaved). A
// terminal keeps its line buffering. Must run before anything is printed.
void enlargeOutputBuffer() {
    static char outputBuffer[64 * 1024];
    if (isatty(STDOUT_FILENO)) return;
    setvbuf(stdout, outputBuffer, _IOFBF, sizeof(outputBuffer));
}

// ---- Reader -------------------------------------------------------------

bool Init(const char* pShmLogPath, bool bVerbose) {
    g_pKQLOGReader = IKQLOGReader::getInst();
    if (!g_pKQLOGReader) return false;
    return g_pKQLOGReader->init(pShmLogPath, bVerbose);
}

bool InitFromFile(const char* pFilePath, bool bVerbose) {
    g_pKQLOGReader = IKQLOGReader::getInst();
    if (!g_pKQLOGReader) return false;
    return g_pKQLOGReader->initFromFile(pFilePath, bVerbose);
}

// Where the tool's own messages go: standard output, except in the record
// formats meant for machines, whose standard output holds records only.
FILE* messageStream(const Options& opts) {
    return opts.eFormat == OutputFormat::SHORT ? stdout : stderr;
}

// Prints one record in the chosen format.
class RecordPrinter {
public:
    RecordPrinter(OutputFormat eFormat, bool bTerminal)
        : m_eFormat(eFormat), m_bTerminal(bTerminal) {}

    // The buffer next() renders a record's line into: straight into the
    // output when the line is printed as it is.
    char* lineBuffer() {
        if (m_eFormat == OutputFormat::SHORT && !m_bTerminal)
            return g_out.reserve(KQLOG_LINE_BUFFER_SIZE);
        return m_line;
    }

    void print(const KQLogRecord& rec) {
        switch (m_eFormat) {
        case OutputFormat::SHORT:
            if (!m_bTerminal) {
                g_out.commit(rec.nLineLen);
            } else {
                g_out.commit(formatForTerminal(
                    rec, g_out.reserve(KQ_MAX_FORMATTED)));
            }
            break;
        case OutputFormat::JSON:
            g_out.commit(
                formatJson(rec, m_isoCache, g_out.reserve(KQ_MAX_FORMATTED)));
            break;
        case OutputFormat::SYSLOG:
            g_out.commit(formatSyslog(rec, m_bTerminal,
                                      g_out.reserve(KQ_MAX_FORMATTED)));
            break;
        }
        g_out.endRecord();
    }

private:
    OutputFormat m_eFormat;
    bool m_bTerminal;
    IsoTimeCache m_isoCache;
    char m_line[KQLOG_LINE_BUFFER_SIZE];
};

// Records of the written data that pass the filter, counted by a pass that
// prints nothing.
long long countMatching(KQLogStream& stream, const RecordFilter& filter) {
    char line[KQLOG_LINE_BUFFER_SIZE];
    KQLogRecord rec;
    long long iCount = 0;
    stream.startAtOldest(false);
    for (;;) {
        ENUM_KQLOG_EVENT eEvent = stream.next(rec, line);
        if (eEvent == KQLOG_EVENT_END || eEvent == KQLOG_EVENT_DETACHED)
            return iCount;
        if (eEvent == KQLOG_EVENT_RECORD && filter.matches(rec)) ++iCount;
    }
}

// Records read while busy between two looks at the clock for a cursor
// save: a look costs about as much as rendering a line.
const int RECORDS_PER_CURSOR_CLOCK = 64;

// Starts after the record the cursor file names. A record that is gone
// comes back from the stream as a lap; a file that is not there yet (the
// first run) starts at the oldest record, quietly; a file that cannot be
// used starts there too, with a word on standard error.
void startFromCursorFile(KQLogStream& stream, const Options& opts) {
    KQLogCursor cursor;
    int iErr = 0;
    switch (readCursorFile(opts.strCursorFile, cursor, &iErr)) {
    case CursorRead::OK:
        stream.startAfter(cursor, opts.bWaitLog, nullptr);
        return;
    case CursorRead::MISSING:
        break;
    case CursorRead::MALFORMED:
        fprintf(stderr,
                "kqlogreader: cursor file [%s] is malformed, starting at "
                "the oldest record\n",
                opts.strCursorFile.c_str());
        break;
    case CursorRead::UNREADABLE:
        fprintf(stderr,
                "kqlogreader: cannot read cursor file [%s]: %s, starting at "
                "the oldest record\n",
                opts.strCursorFile.c_str(), strerror(iErr));
        break;
    }
    stream.startAtOldest(opts.bWaitLog);
}

// Prints the ring's records from the oldest (or, with bSeekMostRecentLog,
// from those written from now on; or the last iLines) to the end of the
// written data; with bWaitLog goes on following new ones until stopped.
// Where to go on after a damaged record or a lap is the stream's business:
// this loop only prints what it is handed.
int DumpLog(const Options& opts) {
    if (!g_pKQLOGReader) return -1;
    bool bTerminal = isatty(STDOUT_FILENO) != 0;
    g_out.configure(opts.bVerbose, bTerminal);
    FILE* pMessages = messageStream(opts);
    KQLogStream stream;
    long long iSkip = 0;
    // Static: a signal may end the run after this returns.
    static CursorFileState cursorFile;
    if (!opts.strCursorFile.empty()) {
        cursorFile.strPath = opts.strCursorFile;
        g_pCursor = &cursorFile;
        startFromCursorFile(stream, opts);
    } else if (opts.iLines >= 0) {
        long long iCount = countMatching(stream, opts.filter);
        iSkip = iCount > opts.iLines ? iCount - opts.iLines : 0;
        // None asked for: once, nothing to print; following, new ones only.
        if (opts.iLines == 0) {
            if (!opts.bWaitLog) return 0;
            stream.startAtNewest(true);
            iSkip = 0;
        } else {
            stream.startAtOldest(opts.bWaitLog);
        }
    } else if (opts.bSeekMostRecentLog) {
        stream.startAtNewest(opts.bWaitLog);
        flushAndSleep(1);
    } else {
        stream.startAtOldest(opts.bWaitLog);
    }

    RecordPrinter printer(opts.eFormat, bTerminal);
    KQLogRecord rec;
    // Records since the clock was last asked whether a cursor save is due
    // while records keep coming.
    int iSinceClock = 0;
    for (;;) {
        endOnPendingSignal();
        ENUM_KQLOG_EVENT eEvent = stream.next(rec, printer.lineBuffer());
        // Laps in a row, with nothing read between them (a writer far
        // faster than the reader), are summed, and so are laps within a
        // second of the last lap line.
        if (eEvent == KQLOG_EVENT_LAPPED) {
            g_laps.add(rec.iLostBytes);
            continue;
        }
        reportLapIfDue();
        switch (eEvent) {
        case KQLOG_EVENT_RECORD:
            // A record the filter leaves out is done with as well: the
            // cursor moves past it.
            if (opts.filter.matches(rec)) {
                if (iSkip > 0) {
                    --iSkip;
                    break;
                }
                printer.print(rec);
            }
            if (g_pCursor) {
                g_pCursor->keeper.note(rec);
                if (++iSinceClock >= RECORDS_PER_CURSOR_CLOCK) {
                    iSinceClock = 0;
                    saveCursorIfDue();
                }
            }
            break;
        case KQLOG_EVENT_DAMAGED:
            if (iSkip > 0) break;
            if (pMessages == stdout) {
                static const char FAILED[] = "nextLog return false!!\n";
                g_out.put(FAILED, sizeof(FAILED) - 1);
                g_out.endRecord();
            } else {
                fputs("nextLog return false!!\n", pMessages);
            }
            break;
        case KQLOG_EVENT_END:
            if (!opts.bWaitLog) {
                settleRun();
                return 0;
            }
            iSkip = 0;
            saveCursorIfDue();
            flushAndSleep(10);
            break;
        case KQLOG_EVENT_LAPPED:
            break;
        case KQLOG_EVENT_DETACHED:
            settleRun();
            return -1;
        }
    }
}

// ---- Maintenance --------------------------------------------------------

void DumpLogMem(const char* pDstFilePath) {
    if (!g_pKQLOGReader || !pDstFilePath) return;
    g_pKQLOGReader->dumpLogMem(pDstFilePath);
}

void showAllTagsInfo() {
    if (!g_pKQLOGReader) return;
    printf("LogBufSize: [%d] Bytes\n", g_pKQLOGReader->getShmLogBufSize());
    printf("AllLevels: \n");
    for (int n = 0; n < 6; ++n) printf("%d -> %s\n", n, LOG_LEVEL_STRING[n]);
    for (int i = 0; i < 255; ++i) {
        const char* pTag = g_pKQLOGReader->getLogTag(KQLogId(i));
        if (!pTag) break;
        // The name is read once, then shown with its control bytes spelt
        // out, as in a log line: a name in the segment is anyone's to write.
        char name[10];
        int iLen = 0;
        while (iLen < int(sizeof(name)) && (name[iLen] = pTag[iLen]) != '\0')
            ++iLen;
        if (iLen == 0) break;
        char shown[4 * sizeof(name) + 1];
        shown[escapeName(name, iLen, shown)] = '\0';
        int iLevel = g_pKQLOGReader->getLogLevel(KQLogId(i));
        const char* pLevelName = iLevel >= 0 && iLevel < 6
                                     ? LOG_LEVEL_STRING[iLevel]
                                     : UNKNOWN_LEVEL_STRING;
        printf("[%d] Tag[%s] Level[%s:%d] [%s]\n", i, shown, pLevelName,
               iLevel,
               g_pKQLOGReader->isLogEnable(KQLogId(i)) ? "Enabled"
                                                        : "Disabled");
    }
}

void setLogLevel(uint8_t nTag, uint8_t nLogLevel) {
    if (!g_pKQLOGReader) return;
    if (nTag == NO_TAG) {
        printf("Setting Default Log Level: %d\n", nLogLevel);
        g_pKQLOGReader->setDefaultLogLevel(ENUM_KQLOG_LEVEL(nLogLevel));
    } else {
        printf("Setting Log Level[ID:%d]: %d\n", nTag, nLogLevel);
        g_pKQLOGReader->setLogLevel(nTag, ENUM_KQLOG_LEVEL(nLogLevel));
    }
}

void enableLogTag(uint8_t nTag, bool bEnable) {
    if (!g_pKQLOGReader) return;
    printf(bEnable ? "Log Tag[ID:%d] Enabled\n" : "Log Tag[ID:%d] Disabled\n",
           nTag);
    g_pKQLOGReader->enableLog(nTag, bEnable);
}

// True, after saying so, when the run asks for a change (-l, -t, -f) to a
// log this user may only read: nothing is changed, and the run ends. A
// level out of range is left to its message, which ends the run anyway.
bool refuseChangeToReadOnlyLog(const Options& opts) {
    if (opts.iLogLevel > 5) return false;
    bool bChange = opts.iLogLevel >= 0 || opts.enabledTag != NO_TAG ||
                   opts.disabledTag != NO_TAG;
    if (!bChange || !g_pKQLOGReader || !g_pKQLOGReader->isReadOnly())
        return false;
    fprintf(stderr, "kqlogreader: no permission to change log [%s]: %s\n",
            opts.strLogPath.c_str(), strerror(EACCES));
    return true;
}

// Runs the maintenance commands. True when the run ends here.
bool runMaintenance(const Options& opts) {
    if (!opts.strDumpMemFilePath.empty()) {
        printf("Dumping Log Memory tp [%s]...\n",
               opts.strDumpMemFilePath.c_str());
        DumpLogMem(opts.strDumpMemFilePath.c_str());
        return true;
    }
    if (opts.bShowAllTagsInfo) {
        showAllTagsInfo();
        return true;
    }
    if (refuseChangeToReadOnlyLog(opts)) return true;
    if (opts.iLogLevel >= 0) {
        // A rejected level ends the run before anything is changed.
        if (opts.iLogLevel > 5) {
            printf("Wrong log level[%d]!!\n", opts.iLogLevel);
            return true;
        }
        setLogLevel(opts.setLogLevelTag, uint8_t(opts.iLogLevel));
    }
    if (opts.enabledTag != NO_TAG) enableLogTag(opts.enabledTag, true);
    if (opts.disabledTag != NO_TAG) enableLogTag(opts.disabledTag, false);
    return false;
}

}  // namespace

// Ends the run with what stdio still holds written out, or says it could
// not be.
int finish(int iStatus) {
    endOnPendingSignal();
    errno = 0;
    if (fflush(stdout) != 0 || ferror(stdout)) {
        // An error of an earlier write may have left errno since.
        int iErr = errno != 0 ? errno : EIO;
        fprintf(stderr, "write to standard output failed: %s\n",
                strerror(iErr));
        return 1;
    }
    return iStatus;
}

// Every run ends with status 1 (but --help and --version): the tool has no
// success status of its own (a script learns what happened from the
// output).
int main(int argc, char* argv[]) {
    const int EXIT_STATUS = 1;
    installSignalHandlers();
    enlargeOutputBuffer();

    Options opts;
    switch (parseOptions(argc, argv, opts)) {
    case ParseResult::RUN: break;
    case ParseResult::EXIT_0: return finish(0);
    case ParseResult::EXIT_1: return finish(EXIT_STATUS);
    }
    bool bFromFile = !opts.strFile.empty();
    if (!bFromFile && opts.strLogPath == LOG_PATH_PREFIX) {
        printUsage(argv[0]);
        return finish(EXIT_STATUS);
    }
    FILE* pMessages = messageStream(opts);
    // -V diagnostics, the library's, go where the tool's messages go.
    KQLogSetVerboseStream(pMessages);
    const std::string& strSource = bFromFile ? opts.strFile : opts.strLogPath;
    fprintf(pMessages, "LogPath [%s]\n", strSource.c_str());
    bool bReady = bFromFile ? InitFromFile(strSource.c_str(), opts.bVerbose)
                            : Init(strSource.c_str(), opts.bVerbose);
    if (!bReady) {
        fprintf(pMessages, "Init failed!! Please check your LogPath!\n");
        return finish(EXIT_STATUS);
    }
    if (runMaintenance(opts)) return finish(EXIT_STATUS);
    if (opts.bDumpLog) DumpLog(opts);
    return finish(EXIT_STATUS);
}
