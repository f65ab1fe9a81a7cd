// kqlogreader: prints, follows and maintains the log of a service kept in
// System V shared memory under "/var/run/" + service name.
#include <getopt.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KQShmLogReader.h"
#include "KQShmLogStream.h"
#include "RecordFormat.h"
#include "StdoutSink.h"

namespace {

const char* const LOG_LEVEL_STRING[6] = {"TRACE", "DEBUG", "INFO ",
                                         "WARN ", "ERROR", "FATAL"};
// Shown for a level byte that has no name; five characters like the rest.
const char* const UNKNOWN_LEVEL_STRING = "?????";

const char* const LOG_PATH_PREFIX = "/var/run/";
const uint8_t NO_TAG = 255;

const char* const usage =
    " -hnp:dsl:i:t:f:e:V\n"
    "         -h show this message\n"
    "         -n wait log\n"
    "         -p alderd|brisk|corvid|dunmore|egret|fenwick|garnet specify the "
    "Logpath\n"
    "         -d dump log\n"
    "         -l set log level\n"
    "         -i set log ID\n"
    "         -s show all log tags info\n"
    "         -t enable log tag, id accpted\n"
    "         -f disable log tag, id accpted\n"
    "         -e seek most recent logs\n"
    "         -V dump verbose info\n"
    "         -D dump log memory\n";

// --help adds the long options after the usage text.
const char* const longUsage =
    "         --file PATH read a segment image written by -D instead of a log\n"
    "         --lines N begin with the N newest lines\n"
    "         --tag LIST only lines of these tags (names or indexes, comma-separated)\n"
    "         --level LEVEL only lines of this level or higher (TRACE..FATAL or 0-5)\n"
    "         --output FORMAT short (default), json or syslog\n"
    "         --version show the version\n"
    "         --help show this message\n";

enum class OutputFormat { SHORT, JSON, SYSLOG };

// Which records are printed: --tag and --level.
struct RecordFilter {
    bool bByTag = false;
    bool tagIds[256] = {};
    std::vector<std::string> tagNames;
    uint8_t nMinLevel = 0;

    bool matches(const KQLogRecord& rec) const {
        if (rec.eLevel < nMinLevel) return false;
        if (!bByTag || tagIds[rec.nTagId]) return true;
        // Names are matched as the tag is named now, so a tag registered
        // after the run began still matches.
        for (const std::string& name : tagNames)
            if (name.size() == size_t(rec.iTagLen) &&
                memcmp(name.data(), rec.pTag, name.size()) == 0)
                return true;
        return false;
    }
};

struct Options {
    std::string strLogPath = LOG_PATH_PREFIX;
    bool bDumpLog = false;
    bool bShowAllTagsInfo = false;
    bool bWaitLog = false;
    bool bSeekMostRecentLog = false;
    bool bVerbose = false;
    int32_t iLogLevel = -1;
    uint8_t setLogLevelTag = NO_TAG;
    uint8_t enabledTag = NO_TAG;
    uint8_t disabledTag = NO_TAG;
    std::string strDumpMemFilePath;
    // Long options.
    std::string strFile;
    long long iLines = -1;  // -1: all
    RecordFilter filter;
    OutputFormat eFormat = OutputFormat::SHORT;
    // The first option given that --file cannot serve.
    char cFileConflict = 0;
};

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

void endOnPendingSignal() {
    int iSignal = g_iPendingSignal;
    if (iSignal == 0) return;
    g_out.flush();
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

// ---- Command line -------------------------------------------------------

void printUsage(const char* pProgram) { printf("%s%s", pProgram, usage); }

void printHelp(const char* pProgram) {
    printUsage(pProgram);
    fputs(longUsage, stdout);
}

// Leading blanks, an optional sign, decimal digits and nothing after,
// within [iMin, iMax].
bool parseStrictInt(const char* pText, long long iMin, long long iMax,
                    long long* pValue) {
    const char* p = pText;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    bool bNegative = false;
    if (*p == '+' || *p == '-') bNegative = *p++ == '-';
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
    long long iValue = 0;
    for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
        iValue = iValue * 10 + (*p - '0');
        if (iValue > iMax - iMin + 1) return false;  // far out: stop early
    }
    if (*p != '\0') return false;
    if (bNegative) iValue = -iValue;
    if (iValue < iMin || iValue > iMax) return false;
    *pValue = iValue;
    return true;
}

// Plain decimal digits only, within [0, iMax].
bool parseDigits(const std::string& text, long long iMax, long long* pValue) {
    if (text.empty() || text.size() > 12) return false;
    long long iValue = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        iValue = iValue * 10 + (c - '0');
    }
    if (iValue > iMax) return false;
    *pValue = iValue;
    return true;
}

// A tag option takes -1 to 255; -1 and 255 both mean no tag.
bool parseTagValue(const char* pText, uint8_t* pTag) {
    long long iValue;
    if (!parseStrictInt(pText, -1, 255, &iValue)) return false;
    *pTag = uint8_t(iValue);
    return true;
}

bool parseLevelValue(const char* pText, int32_t* pLevel) {
    long long iValue;
    if (!parseStrictInt(pText, INT32_MIN, INT32_MAX, &iValue)) return false;
    *pLevel = int32_t(iValue);
    return true;
}

// --tag: comma-separated names and indexes (an item of digits only).
bool parseTagList(const char* pText, RecordFilter& filter) {
    std::string list(pText);
    size_t iStart = 0;
    for (;;) {
        size_t iComma = list.find(',', iStart);
        std::string item = list.substr(
            iStart, iComma == std::string::npos ? std::string::npos
                                                : iComma - iStart);
        if (item.empty() || item.size() > 10) return false;
        long long iIndex;
        bool bDigitsOnly =
            item.find_first_not_of("0123456789") == std::string::npos;
        if (bDigitsOnly) {
            if (!parseDigits(item, 254, &iIndex)) return false;
            filter.tagIds[iIndex] = true;
        } else {
            filter.tagNames.push_back(item);
        }
        if (iComma == std::string::npos) break;
        iStart = iComma + 1;
    }
    filter.bByTag = true;
    return true;
}

// --level: a name in any case, or 0 to 5.
bool parseLevelName(const char* pText, uint8_t* pLevel) {
    static const char* const NAMES[6] = {"TRACE", "DEBUG", "INFO",
                                         "WARN",  "ERROR", "FATAL"};
    for (int i = 0; i < 6; ++i) {
        if (strcasecmp(pText, NAMES[i]) == 0) {
            *pLevel = uint8_t(i);
            return true;
        }
    }
    long long iValue;
    if (!parseDigits(pText, 5, &iValue)) return false;
    *pLevel = uint8_t(iValue);
    return true;
}

bool parseFormat(const char* pText, OutputFormat* pFormat) {
    if (strcmp(pText, "short") == 0) *pFormat = OutputFormat::SHORT;
    else if (strcmp(pText, "json") == 0) *pFormat = OutputFormat::JSON;
    else if (strcmp(pText, "syslog") == 0) *pFormat = OutputFormat::SYSLOG;
    else return false;
    return true;
}

enum LongOption {
    OPT_FILE = 256,
    OPT_LINES,
    OPT_TAG,
    OPT_LEVEL,
    OPT_OUTPUT,
    OPT_VERSION,
    OPT_HELP,
};

const struct option LONG_OPTIONS[] = {
    {"file", required_argument, nullptr, OPT_FILE},
    {"lines", required_argument, nullptr, OPT_LINES},
    {"tag", required_argument, nullptr, OPT_TAG},
    {"level", required_argument, nullptr, OPT_LEVEL},
    {"output", required_argument, nullptr, OPT_OUTPUT},
    {"version", no_argument, nullptr, OPT_VERSION},
    {"help", no_argument, nullptr, OPT_HELP},
    {nullptr, 0, nullptr, 0},
};

const char* longName(int iOpt) {
    for (const struct option* p = LONG_OPTIONS; p->name; ++p)
        if (p->val == iOpt) return p->name;
    return "?";
}

// What parseOptions decided about the run.
enum class ParseResult { RUN, EXIT_1, EXIT_0 };

// Fills opts from argv; anything but RUN ends the run with that status
// after what has been printed (help, version, a bad option or value).
ParseResult parseOptions(int argc, char* argv[], Options& opts) {
    int iOpt;
    while ((iOpt = getopt_long(argc, argv, "hnp:dsi:l:t:f:eVD:", LONG_OPTIONS,
                               nullptr)) != -1) {
        bool bValueOk = true;
        long long iValue = 0;
        // Options a file image cannot serve, in the order given.
        if (strchr("nlitfDp", iOpt) && iOpt < 256 && opts.cFileConflict == 0)
            opts.cFileConflict = char(iOpt);
        switch (iOpt) {
        case 'n': opts.bWaitLog = true; break;
        case 'p': opts.strLogPath += optarg; break;
        case 'd': opts.bDumpLog = true; break;
        case 's': opts.bShowAllTagsInfo = true; break;
        case 'i': bValueOk = parseTagValue(optarg, &opts.setLogLevelTag); break;
        case 'l': bValueOk = parseLevelValue(optarg, &opts.iLogLevel); break;
        case 't': bValueOk = parseTagValue(optarg, &opts.enabledTag); break;
        case 'f': bValueOk = parseTagValue(optarg, &opts.disabledTag); break;
        case 'e': opts.bSeekMostRecentLog = true; break;
        case 'V': opts.bVerbose = true; break;
        case 'D': opts.strDumpMemFilePath = optarg; break;
        case OPT_FILE:
            opts.strFile = optarg;
            bValueOk = !opts.strFile.empty();
            break;
        case OPT_LINES:
            bValueOk = parseDigits(optarg, INT32_MAX, &iValue);
            opts.iLines = iValue;
            break;
        case OPT_TAG: bValueOk = parseTagList(optarg, opts.filter); break;
        case OPT_LEVEL:
            bValueOk = parseLevelName(optarg, &opts.filter.nMinLevel);
            break;
        case OPT_OUTPUT: bValueOk = parseFormat(optarg, &opts.eFormat); break;
        case OPT_VERSION:
            printf("kqlogreader %s\n", KQ_VERSION);
            return ParseResult::EXIT_0;
        case OPT_HELP:
            printHelp(argv[0]);
            return ParseResult::EXIT_0;
        default:  // -h, or getopt has complained on stderr
            printUsage(argv[0]);
            return ParseResult::EXIT_1;
        }
        if (!bValueOk) {
            if (iOpt >= 256)
                printf("Wrong value[%s] for option --%s!!\n", optarg,
                       longName(iOpt));
            else
                printf("Wrong value[%s] for option -%c!!\n", optarg, iOpt);
            printUsage(argv[0]);
            return ParseResult::EXIT_1;
        }
    }
    if (!opts.strFile.empty() && opts.cFileConflict != 0) {
        printf("Option -%c cannot be used with --file!!\n", opts.cFileConflict);
        printUsage(argv[0]);
        return ParseResult::EXIT_1;
    }
    return ParseResult::RUN;
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
    if (opts.iLines >= 0) {
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
    // Laps in a row, with nothing read between them (a writer far faster
    // than the reader), are reported as one.
    long long iLapBytes = -1;
    for (;;) {
        endOnPendingSignal();
        ENUM_KQLOG_EVENT eEvent = stream.next(rec, printer.lineBuffer());
        if (eEvent == KQLOG_EVENT_LAPPED) {
            iLapBytes = (iLapBytes < 0 ? 0 : iLapBytes) + rec.iLostBytes;
            continue;
        }
        if (iLapBytes >= 0) {
            fprintf(stderr,
                    "kqlogreader: lapped by the writer: %lld bytes of log "
                    "were overwritten before they were read\n",
                    iLapBytes);
            iLapBytes = -1;
        }
        switch (eEvent) {
        case KQLOG_EVENT_RECORD:
            if (!opts.filter.matches(rec)) break;
            if (iSkip > 0) {
                --iSkip;
                break;
            }
            printer.print(rec);
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
                g_out.flush();
                return 0;
            }
            iSkip = 0;
            flushAndSleep(10);
            break;
        case KQLOG_EVENT_LAPPED:
            break;
        case KQLOG_EVENT_DETACHED:
            g_out.flush();
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
        if (!pTag || pTag[0] == '\0') break;
        int iLevel = g_pKQLOGReader->getLogLevel(KQLogId(i));
        const char* pLevelName = iLevel >= 0 && iLevel < 6
                                     ? LOG_LEVEL_STRING[iLevel]
                                     : UNKNOWN_LEVEL_STRING;
        printf("[%d] Tag[%.10s] Level[%s:%d] [%s]\n", i, pTag, pLevelName,
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
