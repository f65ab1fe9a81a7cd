// kqlogreader: prints, follows and maintains the log of a service kept in
// System V shared memory under "/var/run/" + service name.
#include <getopt.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "KQShmLogReader.h"

namespace {

const char* const LOG_LEVEL_STRING[6] = {"TRACE", "DEBUG", "INFO ",
                                         "WARN ", "ERROR", "FATAL"};
// Shown for a level byte that has no name; five characters like the rest.
const char* const UNKNOWN_LEVEL_STRING = "?????";

const char* const LOG_PATH_PREFIX = "/var/run/";
// Bytes of a node before its text; the smallest node is this plus a byte of
// text and the terminator.
const int LOG_NODE_HDR_SIZE = 9;
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
};

IKQLOGReader* g_pKQLOGReader = nullptr;

// ---- Ending on a signal -------------------------------------------------
//
// Lines wait in the stdout buffer while lines keep coming. On SIGINT,
// SIGTERM or SIGHUP the loop flushes them and the process then dies by the
// same signal, so its parent still sees why it ended. The handler only
// records the signal; the flush happens outside it, where stdio is safe. A
// second signal while the first is pending ends the process at once (a
// write blocked on a stalled pipe would otherwise never see the first).

volatile sig_atomic_t g_iPendingSignal = 0;

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
    // EINTR (stdio would drop the buffer). Sleeps still end at the signal,
    // since they are never restarted.
    action.sa_flags = SA_RESTART;
    for (int iSignal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(iSignal, &action, nullptr);
}

void endOnPendingSignal() {
    int iSignal = g_iPendingSignal;
    if (iSignal == 0) return;
    fflush(stdout);
    signal(iSignal, SIG_DFL);
    raise(iSignal);
}

// Sleeps of the follow loop: what is buffered goes out first, so a reader
// at the other end of a pipe never waits on lines already read.
void flushAndSleep(useconds_t iMicros) {
    fflush(stdout);
    endOnPendingSignal();
    usleep(iMicros);
    endOnPendingSignal();
}

// Standard output to a pipe or a file goes out in blocks of a pipe's
// capacity rather than of a page: a dump writes tens of megabytes, and each
// block is a system call (about a tenth of a dump's time with 4 KiB). A
// terminal keeps its line buffering. Follow mode still flushes before every
// sleep. Must run before anything is printed.
void enlargeOutputBuffer() {
    static char outputBuffer[64 * 1024];
    if (isatty(STDOUT_FILENO)) return;
    setvbuf(stdout, outputBuffer, _IOFBF, sizeof(outputBuffer));
}

// ---- Command line -------------------------------------------------------

void printUsage(const char* pProgram) { printf("%s%s", pProgram, usage); }

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

// Fills opts from argv; false when the run must end with status 1 after
// what has been printed (help, a bad option or a bad value).
bool parseOptions(int argc, char* argv[], Options& opts) {
    int iOpt;
    while ((iOpt = getopt(argc, argv, "hnp:dsi:l:t:f:eVD:")) != -1) {
        bool bValueOk = true;
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
        default:  // -h, or getopt has complained on stderr
            printUsage(argv[0]);
            return false;
        }
        if (!bValueOk) {
            printf("Wrong value[%s] for option -%c!!\n", optarg, iOpt);
            printUsage(argv[0]);
            return false;
        }
    }
    return true;
}

// ---- Reader -------------------------------------------------------------

bool Init(const char* pShmLogPath, bool bVerbose) {
    g_pKQLOGReader = IKQLOGReader::getInst();
    if (!g_pKQLOGReader) return false;
    return g_pKQLOGReader->init(pShmLogPath, bVerbose);
}

// Idle wakes of the follow loop between two looks for a replaced segment.
const int IDLE_WAKES_PER_REATTACH_CHECK = 4;

// Prints the ring's log lines from the oldest (or, with bSeekMostRecentLog,
// from those written from now on) to the end of the written data; with
// bWaitLog goes on following new lines until stopped.
//
// A fast writer can lap a follower: its cursor then lands inside newer
// data, off the chain of nodes, where the node never becomes valid or an
// end marker is not the end. A finding that is still there after one more
// 10 ms try is taken for that, and reading resumes at the oldest node: after
// a lap every retained node is newer than the last line printed.
//
// Printing once (no bWaitLog) ends, whatever the segment holds: at a node
// that fails where a node failed before (recovery brought the cursor back
// to it), when the cursor comes round to where the pass began, and after
// as many lines as the ring can hold: a chain of nodes that never reaches
// an end marker is not printed round and round.
int DumpLog(bool bWaitLog, bool bSeekMostRecentLog) {
    if (!g_pKQLOGReader) return -1;
    if (bSeekMostRecentLog) {
        g_pKQLOGReader->seekLogEnd();
        flushAndSleep(1000);
    } else {
        g_pKQLOGReader->seekLogBegin(0);
    }

    std::string strLine;
    int iFailedTries = 0;
    int iStrayEnds = 0;
    int iIdleWakes = 0;
    // Printing once: where the pass began, where a node last failed, and
    // how many more lines the ring could hold.
    int iPassStart = g_pKQLOGReader->getReadPos();
    int iLastFailPos = -1;
    long long iLinesLeft = g_pKQLOGReader->getShmLogBufSize() /
                               (LOG_NODE_HDR_SIZE + 2) + 1;
    for (;;) {
        endOnPendingSignal();
        if (!g_pKQLOGReader->nextLog(strLine)) {
            printf("nextLog return false!!\n");
            if (!bWaitLog) {
                int iPos = g_pKQLOGReader->getReadPos();
                if (iPos == iLastFailPos) return 0;
                iLastFailPos = iPos;
            }
            flushAndSleep(10000);
            iStrayEnds = 0;
            if (!bSeekMostRecentLog) {
                g_pKQLOGReader->seekLogBegin(100);
            } else if (++iFailedTries >= 2) {
                g_pKQLOGReader->seekLogBegin(0);
                iFailedTries = 0;
            }
            if (bWaitLog && g_pKQLOGReader->reattachIfReplaced())
                iFailedTries = 0;
            iPassStart = g_pKQLOGReader->getReadPos();
            continue;
        }
        iFailedTries = 0;
        if (!strLine.empty()) {
            fwrite(strLine.data(), 1, strLine.size(), stdout);
            iStrayEnds = 0;
            if (!bWaitLog && (g_pKQLOGReader->getReadPos() == iPassStart ||
                              --iLinesLeft <= 0))
                return 0;
            continue;
        }
        if (!bWaitLog) return 0;
        if (g_pKQLOGReader->lastReadOutcome() == KQLOG_READ_STRAY_END) {
            if (++iStrayEnds >= 2) {
                g_pKQLOGReader->seekLogBegin(0);
                iStrayEnds = 0;
                continue;
            }
        } else {
            iStrayEnds = 0;
        }
        flushAndSleep(10000);
        // A writer that restarts at a new size replaces the segment. Asked
        // on every fourth idle wake only: the question is a system call,
        // which on every wake adds about a tenth to an idle follower's CPU
        // time; a replacement is still noticed within 40 ms.
        if (++iIdleWakes >= IDLE_WAKES_PER_REATTACH_CHECK) {
            iIdleWakes = 0;
            if (g_pKQLOGReader->reattachIfReplaced()) iStrayEnds = 0;
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

// Every run ends with status 1: the tool has no success status of its own
// (a script learns what happened from the output).
int main(int argc, char* argv[]) {
    const int EXIT_STATUS = 1;
    installSignalHandlers();
    enlargeOutputBuffer();

    Options opts;
    if (!parseOptions(argc, argv, opts)) return EXIT_STATUS;
    if (opts.strLogPath == LOG_PATH_PREFIX) {
        printUsage(argv[0]);
        return EXIT_STATUS;
    }
    printf("LogPath [%s]\n", opts.strLogPath.c_str());
    if (!Init(opts.strLogPath.c_str(), opts.bVerbose)) {
        printf("Init failed!! Please check your LogPath!\n");
        endOnPendingSignal();
        return EXIT_STATUS;
    }
    if (runMaintenance(opts)) {
        endOnPendingSignal();
        return EXIT_STATUS;
    }
    if (opts.bDumpLog) DumpLog(opts.bWaitLog, opts.bSeekMostRecentLog);
    endOnPendingSignal();
    return EXIT_STATUS;
}
