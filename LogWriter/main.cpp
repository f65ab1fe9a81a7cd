// kqlogger: writes messages into the shared-memory log of a service, kept
// under the log path "/var/run/" + service name, for kqlogreader to show.
#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <strings.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KQShmLogWriter.h"

namespace {

const char* const LOG_PATH_PREFIX = "/var/run/";
const char* const DEFAULT_TAG = "kqlogger";
const char* const LEVEL_NAMES[6] = {"TRACE", "DEBUG", "INFO",
                                    "WARN",  "ERROR", "FATAL"};
// The reader adds no line end: every message carries its own, within the
// longest text a node holds.
const size_t MAX_MESSAGE_BYTES = 255;

const char* const usage =
    "usage: kqlogger -p NAME [-t TAG] [-l LEVEL] [-b BUFSIZE]\n"
    "                [--mode MODE [--group GROUP]] [message ...]\n"
    "Writes the message, or each line of standard input when none is given,\n"
    "into the shared-memory log of service NAME (log path /var/run/NAME,\n"
    "created when missing). Show it with kqlogreader -p NAME -d.\n"
    "  -p NAME     the service name\n"
    "  -t TAG      tag of the messages, 1 to 10 bytes (default kqlogger)\n"
    "  -l LEVEL    TRACE, DEBUG, INFO, WARN, ERROR, FATAL or 0 to 5\n"
    "              (default INFO); messages below the tag's level are\n"
    "              dropped (a new tag takes all, kqlogreader -l sets it)\n"
    "  -b BUFSIZE  ring size in bytes, %d to %d; a log with a ring of\n"
    "              another size is started afresh (default: the existing\n"
    "              log's size, %d for a new log)\n"
    "  --mode MODE\n"
    "              who may use the log, as octal permission bits 0600 to\n"
    "              0777, e.g. 0640: the owner writes, the group reads, others\n"
    "              nothing; an existing log is switched to them, which takes\n"
    "              its owner or root (default: 0666 for a new log, an\n"
    "              existing log keeps its own)\n"
    "  --group GROUP\n"
    "              with --mode: the log's group, a name or a number\n"
    "              (default: the writer's own group)\n"
    "  -h          show this help\n"
    "A message is cut to %d bytes and ends with one line feed.\n";

static_assert(KQLOG_MIN_LOG_BUF_SIZE == 550 &&
                  KQLOG_MAX_LOG_BUF_SIZE == 2147480039,
              "the -b error message names the accepted sizes");

enum ParseResult { PARSE_RUN, PARSE_HELP, PARSE_ERROR };

struct Options {
    std::string strService;
    std::string strTag = DEFAULT_TAG;
    ENUM_KQLOG_LEVEL eLevel = KQLOG_LEVEL_INFO;
    int iLogBufSize = 0;  // 0: keep the existing ring
    // --mode and --group: who may use the log.
    bool bAccess = false;
    mode_t mode = 0;
    gid_t gid = KQLOG_KEEP_GROUP;
    bool bGroupGiven = false;
};

enum LongOption { OPT_MODE = 256, OPT_GROUP };

const struct option LONG_OPTIONS[] = {
    {"mode", required_argument, nullptr, OPT_MODE},
    {"group", required_argument, nullptr, OPT_GROUP},
    {nullptr, 0, nullptr, 0},
};

// Octal permission bits that let the owner read and write: 0600 to 0777
// (the writer attaches its log read-write, also when it starts again).
bool parseMode(const char* pText, mode_t* pMode) {
    unsigned iValue = 0;
    if (*pText == '\0') return false;
    for (const char* p = pText; *p; ++p) {
        if (*p < '0' || *p > '7') return false;
        iValue = iValue * 8 + unsigned(*p - '0');
        if (iValue > 0777) return false;
    }
    if (iValue < 0600) return false;
    *pMode = mode_t(iValue);
    return true;
}

// A group name, or a number (as chown(1) takes it: digits are a number).
bool parseGroup(const char* pText, gid_t* pGid) {
    if (*pText == '\0') return false;
    if (strspn(pText, "0123456789") == strlen(pText)) {
        unsigned long long iValue = 0;
        for (const char* p = pText; *p; ++p) {
            iValue = iValue * 10 + unsigned(*p - '0');
            // gid_t(-1) is no group: chown's and IPC_SET's "unchanged".
            if (iValue >= static_cast<unsigned long long>(gid_t(-1)))
                return false;
        }
        *pGid = gid_t(iValue);
        return true;
    }
    // A group with many members needs a larger buffer: ERANGE says so.
    std::vector<char> buf(4096);
    for (;;) {
        struct group grp;
        struct group* pFound = nullptr;
        int iErr = getgrnam_r(pText, &grp, buf.data(), buf.size(), &pFound);
        if (iErr == ERANGE && buf.size() < (size_t(1) << 24)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (iErr != 0 || !pFound) return false;
        *pGid = pFound->gr_gid;
        return true;
    }
}

bool parseLevel(const char* pText, ENUM_KQLOG_LEVEL* pLevel) {
    for (int i = 0; i < 6; ++i) {
        if (strcasecmp(pText, LEVEL_NAMES[i]) == 0 ||
            (pText[0] == '0' + i && pText[1] == '\0')) {
            *pLevel = ENUM_KQLOG_LEVEL(i);
            return true;
        }
    }
    return false;
}

// Decimal digits only, within the sizes a writer accepts.
bool parseBufSize(const char* pText, int* pSize) {
    long long iValue = 0;
    if (*pText == '\0') return false;
    for (const char* p = pText; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        iValue = iValue * 10 + (*p - '0');
        if (iValue > KQLOG_MAX_LOG_BUF_SIZE) return false;
    }
    if (iValue < KQLOG_MIN_LOG_BUF_SIZE) return false;
    *pSize = int(iValue);
    return true;
}

// Control characters: bytes below 0x20, and 0x7F.
bool hasControlByte(const std::string& str) {
    for (unsigned char c : str)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

// A refused value as the error message shows it: its control bytes as
// \xHH, so that the message cannot move the cursor or clear the screen.
std::string shown(const char* pValue) {
    static const char HEX[] = "0123456789abcdef";
    std::string str;
    for (const char* p = pValue; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F) {
            ((str += "\\x") += HEX[c >> 4]) += HEX[c & 15];
        } else {
            str += char(c);
        }
    }
    return str;
}

// A service name names a file below /var/run/: relative (no leading '/'),
// no ".." component, no empty one ("a//b", a trailing '/'), and no control
// character (below 0x20, or 0x7F).
bool serviceNameOk(const std::string& strName) {
    if (strName.empty() || strName.front() == '/' || strName.back() == '/' ||
        hasControlByte(strName))
        return false;
    size_t nStart = 0;
    for (;;) {
        size_t nEnd = strName.find('/', nStart);
        std::string strPart = strName.substr(
            nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart);
        if (strPart.empty() || strPart == "..") return false;
        if (nEnd == std::string::npos) return true;
        nStart = nEnd + 1;
    }
}

ParseResult parseOptions(int argc, char* argv[], Options& opts) {
    opterr = 0;
    int iOpt;
    // '+': options end at the first message word, which may begin with '-';
    // ':': a missing value is told apart from an unknown option.
    while ((iOpt = getopt_long(argc, argv, "+:hp:t:l:b:", LONG_OPTIONS,
                               nullptr)) != -1) {
        bool bValueOk = true;
        const char* pAllowed = "";
        switch (iOpt) {
        case 'h': return PARSE_HELP;
        case 'p': opts.strService = optarg; break;
        case 't':
            opts.strTag = optarg;
            bValueOk = !opts.strTag.empty() && opts.strTag.size() <= 10;
            pAllowed = "1 to 10 bytes";
            if (bValueOk && hasControlByte(opts.strTag)) {
                bValueOk = false;
                pAllowed = "no control characters";
            }
            break;
        case 'l':
            bValueOk = parseLevel(optarg, &opts.eLevel);
            pAllowed = "TRACE, DEBUG, INFO, WARN, ERROR, FATAL or 0 to 5";
            break;
        case 'b':
            bValueOk = parseBufSize(optarg, &opts.iLogBufSize);
            pAllowed = "550 to 2147480039 bytes";
            break;
        case OPT_MODE:
            bValueOk = parseMode(optarg, &opts.mode);
            opts.bAccess = true;
            pAllowed = "octal 0600 to 0777 (the owner reads and writes)";
            break;
        case OPT_GROUP:
            bValueOk = parseGroup(optarg, &opts.gid);
            opts.bGroupGiven = true;
            pAllowed = "no such group";
            break;
        case ':':
            if (optopt >= OPT_MODE)
                fprintf(stderr, "kqlogger: option --%s needs a value\n",
                        optopt == OPT_MODE ? "mode" : "group");
            else
                fprintf(stderr, "kqlogger: option -%c needs a value\n",
                        optopt);
            return PARSE_ERROR;
        default:
            // optopt is 0 for a long option getopt does not know.
            if (optopt == 0)
                fprintf(stderr, "kqlogger: unknown option %s\n",
                        shown(argv[optind - 1]).c_str());
            else
                fprintf(stderr, "kqlogger: unknown option -%c\n", optopt);
            return PARSE_ERROR;
        }
        if (!bValueOk) {
            if (iOpt >= OPT_MODE)
                fprintf(stderr, "kqlogger: bad value [%s] for --%s: %s\n",
                        shown(optarg).c_str(),
                        iOpt == OPT_MODE ? "mode" : "group", pAllowed);
            else
                fprintf(stderr, "kqlogger: bad value [%s] for -%c: %s\n",
                        shown(optarg).c_str(), iOpt, pAllowed);
            return PARSE_ERROR;
        }
    }
    if (opts.bGroupGiven && !opts.bAccess) {
        fputs("kqlogger: --group needs --mode\n", stderr);
        return PARSE_ERROR;
    }
    if (opts.strService.empty()) {
        fputs("kqlogger: -p NAME is required\n", stderr);
        return PARSE_ERROR;
    }
    if (!serviceNameOk(opts.strService)) {
        fprintf(stderr, "kqlogger: bad log name [%s]\n",
                opts.strService.c_str());
        return PARSE_ERROR;
    }
    return PARSE_RUN;
}

// Message bytes as stored: cut so that its line feed fits, never inside a
// UTF-8 sequence, and ended with exactly one line feed.
void writeMessage(IKQLOGWriter* pWriter, KQLogId id, ENUM_KQLOG_LEVEL eLevel,
                  std::string strText) {
    if (!strText.empty() && strText.back() == '\n') strText.pop_back();
    if (strText.size() > MAX_MESSAGE_BYTES - 1) {
        size_t nCut = MAX_MESSAGE_BYTES - 1;
        // A continuation byte at the cut belongs to a character that began
        // before it (at most three bytes back): drop that character whole.
        for (int i = 0; i < 3 && nCut > 0 && (strText[nCut] & 0xC0) == 0x80;
             ++i)
            --nCut;
        strText.resize(nCut);
    }
    strText += '\n';
    // False only when the tag is off or the level below it: not an error.
    pWriter->log(id, eLevel, strText.data(), strText.size());
}

// Makes sure the log path exists and that no writer of an earlier release
// holds it (those lock it exclusively: writers of this one share the log);
// false after a message saying what failed. An existing path is only opened
// for reading: that is all flock() needs, so any user may write a log whose
// segment lets them, whoever made the path. A missing one is created.
bool checkLogPath(const std::string& strLogPath) {
    const char* pPath = strLogPath.c_str();
    const char* pVerb = "open";
    int fd = open(pPath, O_RDONLY | O_CLOEXEC);
    if (fd == -1 && errno == ENOENT) {
        pVerb = "create";
        fd = open(pPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        // Made by someone else in the meantime: open theirs.
        if (fd == -1 && errno == EEXIST) {
            pVerb = "open";
            fd = open(pPath, O_RDONLY | O_CLOEXEC);
        }
    }
    if (fd == -1) {
        fprintf(stderr, "kqlogger: cannot %s log path [%s]: %s\n", pVerb, pPath,
                strerror(errno));
        return false;
    }
    // The writer library takes the shared lock itself, on a descriptor of
    // its own; trying it here first tells a log in use from the other
    // reasons its init fails. Closing the descriptor lets the lock go again.
    bool bLocked = flock(fd, LOCK_SH | LOCK_NB) == 0;
    int iErr = errno;
    close(fd);
    if (!bLocked) {
        fprintf(stderr, "kqlogger: cannot lock log path [%s]: %s\n", pPath,
                iErr == EWOULDBLOCK ? "in use by another writer"
                                    : strerror(iErr));
        return false;
    }
    return true;
}

// The help text is all kqlogger prints on standard output: a run whose
// text did not get out in full (a full disk, say) fails, with the reason.
int finishOutput(int iStatus) {
    errno = 0;
    if (fflush(stdout) != 0 || ferror(stdout)) {
        int iErr = errno != 0 ? errno : EIO;
        fprintf(stderr, "kqlogger: write to standard output failed: %s\n",
                strerror(iErr));
        return 1;
    }
    return iStatus;
}

}  // namespace

int main(int argc, char* argv[]) {
    Options opts;
    switch (parseOptions(argc, argv, opts)) {
    case PARSE_RUN: break;
    case PARSE_HELP:
        printf(usage, KQLOG_MIN_LOG_BUF_SIZE, KQLOG_MAX_LOG_BUF_SIZE,
               KQLOG_DEFAULT_LOG_BUF_SIZE, int(MAX_MESSAGE_BYTES - 1));
        return finishOutput(0);
    case PARSE_ERROR:
        fputs("Try 'kqlogger -h' for help.\n", stderr);
        return 1;
    }

    std::string strLogPath = LOG_PATH_PREFIX + opts.strService;
    if (!checkLogPath(strLogPath)) return 1;

    IKQLOGWriter* pWriter = IKQLOGWriter::getInst();
    bool bOpened =
        pWriter && (opts.bAccess ? pWriter->init(strLogPath.c_str(),
                                                 opts.iLogBufSize, opts.mode,
                                                 opts.gid)
                                 : pWriter->init(strLogPath.c_str(),
                                                 opts.iLogBufSize));
    if (!bOpened) {
        fprintf(stderr, "kqlogger: cannot open the log at [%s]\n",
                strLogPath.c_str());
        return 1;
    }
    KQLogId id = pWriter->registerTag(opts.strTag.c_str(), KQLOG_LEVEL_TRACE);
    if (id == KQLOG_INVALID_ID) {
        fprintf(stderr, "kqlogger: cannot add tag [%s]: the tag table is full\n",
                opts.strTag.c_str());
        return 1;
    }

    if (optind < argc) {
        std::string strText = argv[optind];
        for (int i = optind + 1; i < argc; ++i) (strText += ' ') += argv[i];
        writeMessage(pWriter, id, opts.eLevel, strText);
        return 0;
    }
    char* pLine = nullptr;
    size_t nCapacity = 0;
    ssize_t iRead;
    while ((iRead = getline(&pLine, &nCapacity, stdin)) != -1)
        writeMessage(pWriter, id, opts.eLevel, std::string(pLine, size_t(iRead)));
    free(pLine);
    return 0;
}
