#include "Options.h"

#include <getopt.h>
#include <strings.h>
#include <time.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace {

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
    "         --output FORMAT short (default), short-iso, json or syslog\n"
    "         --since TIME only lines at or after TIME\n"
    "         --until TIME only lines at or before TIME (not with -n)\n"
    "            TIME: YYYY-MM-DD [hh:mm[:ss]], hh:mm[:ss], now, today,\n"
    "            yesterday, tomorrow, -1h30min, +2d, 10 min ago, @SECONDS\n"
    "         --grep PATTERN only lines whose text matches PATTERN (PCRE2;\n"
    "            caseless when PATTERN has no upper case)\n"
    "         --case-sensitive case counts in --grep always\n"
    "         --color[=WHEN] colour lines by level: auto (default), always, never\n"
    "         --utc show and read times in UTC\n"
    "         --cursor-file PATH with -d: resume after the record saved in PATH\n"
    "         --log NAME read /var/run/NAME; given more than once, the logs merged in time order\n"
    "         --all read every log under /var/run/, merged in time order\n"
    "         --list list the logs (those of --log, else all) with size, use, tags and times\n"
    "         --version show the version\n"
    "         --help show this message\n";

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
    else if (strcmp(pText, "short-iso") == 0) *pFormat = OutputFormat::SHORT_ISO;
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
    OPT_CURSOR_FILE,
    OPT_LOG,
    OPT_ALL,
    OPT_LIST,
    OPT_SINCE,
    OPT_UNTIL,
    OPT_GREP,
    OPT_CASE_SENSITIVE,
    OPT_COLOR,
    OPT_UTC,
};

const struct option LONG_OPTIONS[] = {
    {"file", required_argument, nullptr, OPT_FILE},
    {"lines", required_argument, nullptr, OPT_LINES},
    {"tag", required_argument, nullptr, OPT_TAG},
    {"level", required_argument, nullptr, OPT_LEVEL},
    {"output", required_argument, nullptr, OPT_OUTPUT},
    {"version", no_argument, nullptr, OPT_VERSION},
    {"help", no_argument, nullptr, OPT_HELP},
    {"cursor-file", required_argument, nullptr, OPT_CURSOR_FILE},
    {"log", required_argument, nullptr, OPT_LOG},
    {"all", no_argument, nullptr, OPT_ALL},
    {"list", no_argument, nullptr, OPT_LIST},
    {"since", required_argument, nullptr, OPT_SINCE},
    {"until", required_argument, nullptr, OPT_UNTIL},
    {"grep", required_argument, nullptr, OPT_GREP},
    {"case-sensitive", no_argument, nullptr, OPT_CASE_SENSITIVE},
    {"color", optional_argument, nullptr, OPT_COLOR},
    {"utc", no_argument, nullptr, OPT_UTC},
    {nullptr, 0, nullptr, 0},
};

const char* longName(int iOpt) {
    for (const struct option* p = LONG_OPTIONS; p->name; ++p)
        if (p->val == iOpt) return p->name;
    return "?";
}

// The name of an option --cursor-file cannot be used with, as given; empty
// for the others. -e and --lines choose another start; --file has no log
// to come back to; -s and a -D with a file end the run before -d prints.
std::string cursorConflict(int iOpt, const char* pValue) {
    switch (iOpt) {
    case 'e': return "-e";
    case 's': return "-s";
    case 'D': return pValue && *pValue ? "-D" : "";
    case OPT_LINES:
    case OPT_FILE: return std::string("--") + longName(iOpt);
    default: return "";
    }
}

// The name of an option that several logs cannot be used with, as given;
// empty for the others. Changes stay one log at a time, through -p.
std::string manyConflict(int iOpt) {
    if (iOpt < 256 && strchr("plitfD", iOpt))
        return std::string("-") + char(iOpt);
    if (iOpt == OPT_FILE || iOpt == OPT_CURSOR_FILE)
        return std::string("--") + longName(iOpt);
    return "";
}

// The same for --list, which neither prints records nor changes a log.
std::string listConflict(int iOpt) {
    if (iOpt < 256 && strchr("dsne", iOpt))
        return std::string("-") + char(iOpt);
    if (iOpt == OPT_LINES) return std::string("--") + longName(iOpt);
    return manyConflict(iOpt);
}

// A log name: a file directly under /var/run/.
bool validLogName(const char* pName) {
    return *pName != '\0' && strchr(pName, '/') == nullptr &&
           strcmp(pName, ".") != 0 && strcmp(pName, "..") != 0;
}

// Several logs and what cannot go with them. True when the run goes on.
bool checkManyLogs(const char* pProgram, const Options& opts) {
    const char* pRefused = nullptr;
    const char* pWith = nullptr;
    if (opts.bListLogs && !opts.strListConflict.empty()) {
        pRefused = opts.strListConflict.c_str();
        pWith = "--list";
    } else if (opts.bAllLogs && !opts.logNames.empty()) {
        pRefused = "--log";
        pWith = "--all";
    } else if ((opts.bAllLogs || !opts.logNames.empty()) &&
               !opts.strManyConflict.empty()) {
        pRefused = opts.strManyConflict.c_str();
        pWith = "--log or --all";
    }
    if (!pRefused) return true;
    printf("Option %s cannot be used with %s!!\n", pRefused, pWith);
    printUsage(pProgram);
    return false;
}

// What --since, --until and --grep were given: their forms are checked
// where they stand on the command line, their meaning is settled once it
// has all been read (--utc and --case-sensitive may come after them).
struct FindingOptions {
    bool bSince = false;
    bool bUntil = false;
    std::string strSince;
    std::string strUntil;
    TimeSpec since;
    TimeSpec until;
    bool bGrep = false;
    std::string strPattern;
    bool bCaseSensitive = false;
};

// A --grep pattern: whether it compiles, and PCRE2's word if not.
bool checkPattern(const char* pText, std::string* pDetail) {
    return TextMatcher::compile(pText, true, pDetail) != nullptr;
}

// Resolves the window (both ends against one "now") and compiles the
// pattern into the filter. False for a TIME that names no moment (beyond
// the range of times) or a pattern that no longer compiles, with the
// option's name in *ppOption, its value in *ppValue and a word on it in
// *pDetail.
bool settleFinding(const FindingOptions& found, bool bUtc,
                   RecordFilter& filter, const char** ppOption,
                   const std::string** ppValue, std::string* pDetail) {
    int64_t iNow = wallClockMs();
    int64_t iMs;
    if (found.bSince) {
        if (!resolveTimeSpec(found.since, iNow, bUtc, &iMs)) {
            *ppOption = "since";
            *ppValue = &found.strSince;
            return false;
        }
        filter.window.setSince(iMs);
    }
    if (found.bUntil) {
        if (!resolveTimeSpec(found.until, iNow, bUtc, &iMs)) {
            *ppOption = "until";
            *ppValue = &found.strUntil;
            return false;
        }
        filter.window.setUntil(iMs);
    }
    if (found.bGrep) {
        filter.pText = TextMatcher::compile(found.strPattern,
                                            found.bCaseSensitive, pDetail);
        if (!filter.pText) {
            *ppOption = "grep";
            *ppValue = &found.strPattern;
            return false;
        }
    }
    return true;
}

// --utc: every time the process shows or reads is UTC from now on.
void useUtc() {
    setenv("TZ", "UTC0", 1);
    tzset();
}

}  // namespace

void printUsage(const char* pProgram) { printf("%s%s", pProgram, usage); }

// Fills opts from argv; anything but RUN ends the run with that status
// after what has been printed (help, version, a bad option or value).
ParseResult parseOptions(int argc, char* argv[], Options& opts) {
    int iOpt;
    FindingOptions found;
    while ((iOpt = getopt_long(argc, argv, "hnp:dsi:l:t:f:eVD:", LONG_OPTIONS,
                               nullptr)) != -1) {
        bool bValueOk = true;
        long long iValue = 0;
        std::string strDetail;  // a line to say after a bad value
        // Options a file image cannot serve, in the order given.
        if (strchr("nlitfDp", iOpt) && iOpt < 256 && opts.cFileConflict == 0)
            opts.cFileConflict = char(iOpt);
        // Options that choose another start, or a run without printing.
        if (opts.strCursorConflict.empty())
            opts.strCursorConflict = cursorConflict(iOpt, optarg);
        if (opts.strManyConflict.empty())
            opts.strManyConflict = manyConflict(iOpt);
        if (opts.strListConflict.empty())
            opts.strListConflict = listConflict(iOpt);
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
        case OPT_CURSOR_FILE:
            opts.strCursorFile = optarg;
            bValueOk = !opts.strCursorFile.empty();
            break;
        case OPT_LOG:
            bValueOk = validLogName(optarg);
            opts.logNames.push_back(optarg);
            break;
        case OPT_ALL: opts.bAllLogs = true; break;
        case OPT_LIST: opts.bListLogs = true; break;
        case OPT_SINCE:
            found.strSince = optarg;
            bValueOk = found.bSince = parseTimeSpec(optarg, &found.since);
            break;
        case OPT_UNTIL:
            found.strUntil = optarg;
            bValueOk = found.bUntil = parseTimeSpec(optarg, &found.until);
            break;
        case OPT_GREP:
            found.strPattern = optarg;
            bValueOk = found.bGrep = checkPattern(optarg, &strDetail);
            break;
        case OPT_CASE_SENSITIVE: found.bCaseSensitive = true; break;
        case OPT_COLOR: bValueOk = parseColourWhen(optarg, &opts.eColour); break;
        case OPT_UTC: opts.bUtc = true; break;
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
            if (!strDetail.empty()) printf("%s\n", strDetail.c_str());
            printUsage(argv[0]);
            return ParseResult::EXIT_1;
        }
    }
    if (!checkManyLogs(argv[0], opts)) return ParseResult::EXIT_1;
    if (!opts.strFile.empty() && opts.cFileConflict != 0) {
        printf("Option -%c cannot be used with --file!!\n", opts.cFileConflict);
        printUsage(argv[0]);
        return ParseResult::EXIT_1;
    }
    // A follower never reaches the end of a window that has one.
    if (found.bUntil && opts.bWaitLog) {
        printf("Option --until cannot be used with -n!!\n");
        printUsage(argv[0]);
        return ParseResult::EXIT_1;
    }
    if (opts.bUtc) useUtc();
    const char* pOption = nullptr;
    const std::string* pValue = nullptr;
    std::string strDetail;
    if (!settleFinding(found, opts.bUtc, opts.filter, &pOption, &pValue,
                       &strDetail)) {
        printf("Wrong value[%s] for option --%s!!\n", pValue->c_str(), pOption);
        if (!strDetail.empty()) printf("%s\n", strDetail.c_str());
        printUsage(argv[0]);
        return ParseResult::EXIT_1;
    }
    if (!opts.strCursorFile.empty()) {
        if (!opts.strCursorConflict.empty()) {
            printf("Option %s cannot be used with --cursor-file!!\n",
                   opts.strCursorConflict.c_str());
            printUsage(argv[0]);
            return ParseResult::EXIT_1;
        }
        if (!opts.bDumpLog) {
            printf("Option --cursor-file needs -d!!\n");
            printUsage(argv[0]);
            return ParseResult::EXIT_1;
        }
    }
    return ParseResult::RUN;
}
