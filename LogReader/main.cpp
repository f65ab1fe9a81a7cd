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

#include "KQShmLogMerge.h"
#include "KQShmLogReader.h"
#include "KQShmLogStream.h"
#include "Colour.h"
#include "CursorFile.h"
#include "LapReport.h"
#include "LogDirectory.h"
#include "LogList.h"
#include "ManyLogs.h"
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
    return opts.eFormat == OutputFormat::SHORT ||
                   opts.eFormat == OutputFormat::SHORT_ISO
               ? stdout
               : stderr;
}

// Prints one record in the chosen format, in its level's colour when
// bColour (never JSON).
class RecordPrinter {
public:
    RecordPrinter(OutputFormat eFormat, bool bTerminal, bool bColour)
        : m_eFormat(eFormat),
          m_bTerminal(bTerminal),
          m_bColour(bColour && eFormat != OutputFormat::JSON),
          m_bAsRendered(eFormat == OutputFormat::SHORT && !bTerminal &&
                        !m_bColour) {}

    // The buffer next() renders a record's line into: straight into the
    // output when the line is printed as it is.
    char* lineBuffer() {
        return printedAsRendered() ? g_out.reserve(KQLOG_LINE_BUFFER_SIZE)
                                   : m_line;
    }

    // pLabel: the record names its log (several logs); null otherwise.
    void print(const KQLogRecord& rec, const LogLabel* pLabel) {
        const char* pSgr = m_bColour ? levelSgr(rec.eLevel) : nullptr;
        if (!pLabel && !pSgr && printedAsRendered()) {
            g_out.commit(rec.nLineLen);  // rendered there by next()
        } else if (!pLabel && !pSgr) {
            g_out.commit(format(rec, g_out.reserve(KQ_MAX_FORMATTED)));
        } else if (!pSgr && m_eFormat != OutputFormat::SYSLOG) {
            printLabelledInPlace(rec, *pLabel);
        } else if (pLabel) {
            size_t n = format(rec, m_formatted);
            emitLines(pSgr, labelled(m_formatted, n, *pLabel));
        } else {
            size_t n = format(rec, m_formatted);
            g_out.commit(colourLines(
                pSgr, m_formatted, n,
                g_out.reserve(colouredSize(pSgr, m_formatted, n))));
        }
        g_out.endRecord();
    }

private:
    // The label, then the record formatted straight after it: the common
    // case of several logs (no colour, a label only at the start). A JSON
    // object's "{" lands on the label's last byte, which is written after.
    void printLabelledInPlace(const KQLogRecord& rec, const LogLabel& label) {
        bool bJson = m_eFormat == OutputFormat::JSON;
        const std::string& head = bJson ? label.strJson : label.strPlain;
        size_t nHead = bJson ? head.size() - 1 : head.size();
        char* p = g_out.reserve(head.size() + KQ_MAX_FORMATTED);
        size_t n = format(rec, p + nHead);
        memcpy(p, head.data(), head.size());
        g_out.commit(nHead + n);
    }

    // The record as formatted, naming its log: after "NAME: " (short),
    // with "log" as the JSON object's first key, or with "NAME: " after
    // each syslog line's "<P>".
    const std::string& labelled(const char* p, size_t n,
                                const LogLabel& label) {
        const std::string& plain = label.strPlain;
        m_labelled.clear();
        switch (m_eFormat) {
        case OutputFormat::SHORT:
        case OutputFormat::SHORT_ISO:
            m_labelled.append(plain).append(p, n);
            break;
        case OutputFormat::JSON:  // the label opens the object
            m_labelled.append(label.strJson).append(p + 1, n - 1);
            break;
        case OutputFormat::SYSLOG:
            for (size_t i = 0; i < n;) {
                const char* pLine = p + i;
                const char* pEnd =
                    static_cast<const char*>(memchr(pLine, '\n', n - i));
                size_t nLine = pEnd ? size_t(pEnd - pLine) + 1 : n - i;
                const char* pClose =
                    static_cast<const char*>(memchr(pLine, '>', nLine));
                size_t nHead = pClose ? size_t(pClose - pLine) + 1 : 0;
                m_labelled.append(pLine, nHead).append(plain);
                m_labelled.append(pLine + nHead, nLine - nHead);
                i += nLine;
            }
            break;
        }
        return m_labelled;
    }

    // Out line by line, in colour when pSgr: a syslog record may repeat a
    // long label on each of its lines, more than the output buffer holds
    // at once.
    void emitLines(const char* pSgr, const std::string& text) {
        for (size_t i = 0; i < text.size();) {
            size_t iEnd = text.find('\n', i);
            size_t n = iEnd == std::string::npos ? text.size() - i
                                                 : iEnd + 1 - i;
            const char* p = text.data() + i;
            if (pSgr)
                g_out.commit(colourLines(pSgr, p, n,
                                         g_out.reserve(colouredSize(pSgr, p, n))));
            else
                g_out.put(p, n);
            i += n;
        }
    }

    // The short line on a pipe, uncoloured: the line as the stream renders
    // it, with no copy.
    bool printedAsRendered() const { return m_bAsRendered; }

    size_t format(const KQLogRecord& rec, char* out) {
        switch (m_eFormat) {
        case OutputFormat::SHORT:
            if (m_bTerminal) return formatForTerminal(rec, out);
            memcpy(out, rec.pLine, rec.nLineLen);
            return rec.nLineLen;
        case OutputFormat::SHORT_ISO:
            return formatShortIso(rec, m_isoCache, m_bTerminal, out);
        case OutputFormat::JSON: return formatJson(rec, m_isoCache, out);
        case OutputFormat::SYSLOG: return formatSyslog(rec, m_bTerminal, out);
        }
        return 0;
    }

    OutputFormat m_eFormat;
    bool m_bTerminal;
    bool m_bColour;
    const bool m_bAsRendered;  // asked twice for every record
    IsoTimeCache m_isoCache;
    char m_line[KQLOG_LINE_BUFFER_SIZE];
    char m_formatted[KQ_MAX_FORMATTED];  // a record before its colour
    std::string m_labelled;
};

// Where printed records come from: one log's stream, or several logs
// merged in time order.
class RecordSource {
public:
    virtual ~RecordSource() {}
    // The next event. A record of one log is rendered into pLine; merged
    // records lie in the merge's buffers.
    virtual ENUM_KQLOG_EVENT next(KQLogRecord& rec, char* pLine) = 0;
    // How the last event's record names its log; null when it names none.
    virtual const LogLabel* label() const { return nullptr; }
    // Following, at the end of what is written so far, before the sleep.
    virtual void idle() {}
};

class OneLog : public RecordSource {
public:
    explicit OneLog(KQLogStream& stream) : m_stream(stream) {}
    ENUM_KQLOG_EVENT next(KQLogRecord& rec, char* pLine) override {
        return m_stream.next(rec, pLine);
    }

private:
    KQLogStream& m_stream;
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

// Prints what source gives, but the first iSkip records the filter takes,
// until the end of the written data, or with bWaitLog until stopped. Where
// to go on after a damaged record or a lap is the stream's business: this
// loop only prints what it is handed.
int printRecords(const Options& opts, RecordSource& source, long long iSkip) {
    bool bTerminal = isatty(STDOUT_FILENO) != 0;
    RecordPrinter printer(opts.eFormat, bTerminal,
                          colourWanted(opts.eColour, bTerminal,
                                       getenv("NO_COLOR"), getenv("TERM")));
    FILE* pMessages = messageStream(opts);
    KQLogRecord rec;
    // Records since the clock was last asked whether a cursor save is due
    // while records keep coming.
    int iSinceClock = 0;
    for (;;) {
        endOnPendingSignal();
        ENUM_KQLOG_EVENT eEvent = source.next(rec, printer.lineBuffer());
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
                printer.print(rec, source.label());
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
            source.idle();
            flushAndSleep(10);
            break;
        case KQLOG_EVENT_LAPPED:
            break;
        case KQLOG_EVENT_DETACHED:
            // One log of several may go; the others go on.
            if (source.label()) break;
            settleRun();
            return -1;
        }
    }
}

// Prints the ring's records from the oldest (or, with bSeekMostRecentLog,
// from those written from now on; or the last iLines) to the end of the
// written data; with bWaitLog goes on following new ones until stopped.
int DumpLog(const Options& opts) {
    if (!g_pKQLOGReader) return -1;
    g_out.configure(opts.bVerbose, isatty(STDOUT_FILENO) != 0);
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
    OneLog source(stream);
    return printRecords(opts, source, iSkip);
}

// ---- Several logs -------------------------------------------------------

// "LogPath [...]" of a log, where the tool's messages go. Once records are
// being printed (bPrinting) it goes through their buffer when they share
// standard output, so that it stays in its place among them.
void printBanner(const Options& opts, const std::string& strName,
                 bool bPrinting) {
    std::string strLine = "LogPath [" + std::string(LOG_PATH_PREFIX) +
                          strName + "]\n";
    if (!bPrinting) {
        fputs(strLine.c_str(), messageStream(opts));
    } else if (messageStream(opts) == stdout) {
        g_out.put(strLine.data(), strLine.size());
        g_out.endRecord();
    } else {
        fputs(strLine.c_str(), stderr);
    }
}

// Banner, then the log attached; "skipping" when it cannot be read.
bool openLog(const Options& opts, ManyLogs& logs, const std::string& strName,
             bool bPrinting) {
    printBanner(opts, strName, bPrinting);
    if (logs.open(strName, opts.bVerbose)) return true;
    if (bPrinting) g_out.flush();
    fflush(stdout);
    fprintf(stderr, "kqlogreader: skipping log [%s]\n",
            shownName(strName).c_str());
    return false;
}

// How often --all, following, looks for logs created since.
const int64_t NEW_LOG_LOOK_MS = 1000;

// The records of several logs merged in time order; with --all and
// following, logs created meanwhile join, from their oldest record.
class MergedLogs : public RecordSource {
public:
    MergedLogs(const Options& opts, ManyLogs& logs)
        : m_opts(opts), m_logs(logs), m_iLastLook(monotonicMs()) {
        for (size_t i = 0; i < logs.count(); ++i) m_merge.add(&logs.stream(i));
    }
    ENUM_KQLOG_EVENT next(KQLogRecord& rec, char*) override {
        return m_merge.next(rec, &m_iLast);
    }
    const LogLabel* label() const override { return m_logs.label(m_iLast); }
    void idle() override {
        if (!m_opts.bAllLogs) return;
        int64_t iNow = monotonicMs();
        if (iNow - m_iLastLook < NEW_LOG_LOOK_MS) return;
        m_iLastLook = iNow;
        std::vector<std::string> names;
        int iErr = 0;
        if (!findLogs(LOG_PATH_PREFIX, names, &iErr)) return;
        for (const std::string& strName : names) {
            if (m_logs.tried(strName) ||
                !openLog(m_opts, m_logs, strName, true))
                continue;
            KQLogStream& stream = m_logs.stream(m_logs.count() - 1);
            stream.startAtOldest(true);
            m_merge.add(&stream);
        }
    }

private:
    const Options& m_opts;
    ManyLogs& m_logs;
    KQLogMerge m_merge;
    size_t m_iLast = 0;
    int64_t m_iLastLook;
};

// -d over several logs: as DumpLog, with --lines counting the newest
// records of the merged timeline.
int DumpMany(const Options& opts, ManyLogs& logs) {
    g_out.configure(opts.bVerbose, isatty(STDOUT_FILENO) != 0);
    long long iSkip = 0;
    bool bNewest = opts.bSeekMostRecentLog;
    if (opts.iLines >= 0) {
        long long iCount = 0;
        for (size_t i = 0; i < logs.count(); ++i)
            iCount += countMatching(logs.stream(i), opts.filter);
        iSkip = iCount > opts.iLines ? iCount - opts.iLines : 0;
        if (opts.iLines == 0) {
            if (!opts.bWaitLog) return 0;
            bNewest = true;
            iSkip = 0;
        }
    }
    for (size_t i = 0; i < logs.count(); ++i) {
        if (bNewest)
            logs.stream(i).startAtNewest(opts.bWaitLog);
        else
            logs.stream(i).startAtOldest(opts.bWaitLog);
    }
    if (opts.bSeekMostRecentLog) flushAndSleep(1);
    MergedLogs source(opts, logs);
    return printRecords(opts, source, iSkip);
}

void showAllTagsInfo();

// A run over several logs: their banners (each with its tag table for
// -s), then with -d their records merged.
void runManyLogs(const Options& opts) {
    std::vector<std::string> names = opts.logNames;
    if (opts.bAllLogs) {
        int iErr = 0;
        if (!findLogs(LOG_PATH_PREFIX, names, &iErr)) {
            fprintf(stderr, "kqlogreader: cannot read %s: %s\n",
                    LOG_PATH_PREFIX, strerror(iErr));
            return;
        }
        if (names.empty()) {
            fprintf(stderr, "kqlogreader: no logs under %s\n",
                    LOG_PATH_PREFIX);
            return;
        }
    }
    static ManyLogs logs(true);  // static: a signal may end the run later
    for (const std::string& strName : names) {
        if (!openLog(opts, logs, strName, false) || !opts.bShowAllTagsInfo)
            continue;
        g_pKQLOGReader = logs.reader(logs.count() - 1);
        showAllTagsInfo();
    }
    if (logs.count() == 0) {
        fprintf(messageStream(opts),
                "Init failed!! Please check your LogPath!\n");
        return;
    }
    if (opts.bShowAllTagsInfo) return;
    if (opts.bDumpLog) DumpMany(opts, logs);
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
    // -V diagnostics, the library's, go where the tool's messages go.
    KQLogSetVerboseStream(messageStream(opts));
    if (opts.bListLogs) return finish(listLogs(opts));
    if (opts.bAllLogs || opts.logNames.size() > 1) {
        runManyLogs(opts);
        return finish(EXIT_STATUS);
    }
    // One --log is -p under another name.
    if (opts.logNames.size() == 1) opts.strLogPath += opts.logNames[0];
    bool bFromFile = !opts.strFile.empty();
    if (!bFromFile && opts.strLogPath == LOG_PATH_PREFIX) {
        printUsage(argv[0]);
        return finish(EXIT_STATUS);
    }
    FILE* pMessages = messageStream(opts);
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
