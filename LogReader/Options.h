// kqlogreader's command line: the options record, its parser and the
// usage text.
#ifndef KQ_READER_OPTIONS_H
#define KQ_READER_OPTIONS_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Colour.h"
#include "KQShmLogStream.h"
#include "TextMatch.h"
#include "TimeSpec.h"

const char* const LOG_PATH_PREFIX = "/var/run/";
const uint8_t NO_TAG = 255;

enum class OutputFormat { SHORT, JSON, SYSLOG, SHORT_ISO };

// Which records are printed: --tag, --level, --since and --until, --grep.
// Every record is tested on its own: no test stops a pass early.
struct RecordFilter {
    bool bByTag = false;
    bool tagIds[256] = {};
    std::vector<std::string> tagNames;
    uint8_t nMinLevel = 0;
    TimeWindow window;
    std::shared_ptr<const TextMatcher> pText;  // null: no --grep

    bool matches(const KQLogRecord& rec) const {
        if (rec.eLevel < nMinLevel) return false;
        if (bByTag && !matchesTag(rec)) return false;
        if (window.active() && !window.contains(rec)) return false;
        return !pText || pText->matches(rec.pText, size_t(rec.iTextLen));
    }

    bool matchesTag(const KQLogRecord& rec) const {
        if (tagIds[rec.nTagId]) return true;
        // Names are matched as the tag is named now, so a tag registered
        // after the run began still matches.
        for (const std::string& name : tagNames)
            if (name.size() == size_t(rec.iTagLen) &&
                memcmp(name.data(), rec.pTag, name.size()) == 0)
                return true;
        return false;
    }
};

// The options record, filled while the command line is parsed.
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
    // --cursor-file: begin after the record it names, and keep it naming
    // the last record read.
    std::string strCursorFile;
    // The first option given that --cursor-file cannot be used with.
    std::string strCursorConflict;
    // --log NAME (repeatable) and --all: several logs, merged in time
    // order; --list: a line on each.
    std::vector<std::string> logNames;
    bool bAllLogs = false;
    bool bListLogs = false;
    // The first option given that several logs, or --list, cannot be used
    // with.
    std::string strManyConflict;
    std::string strListConflict;
    // --color, --utc (the process then runs with TZ=UTC0: see useUtc).
    ColourWhen eColour = ColourWhen::AUTO;
    bool bUtc = false;
};

// What parseOptions decided about the run.
enum class ParseResult { RUN, EXIT_1, EXIT_0 };

// Fills opts from argv; anything but RUN ends the run with that status
// after what has been printed (help, version, a bad option or value).
// --since and --until are resolved here against the wall clock, and --utc
// sets the process's TZ to UTC0 first: from then on every time the process
// shows (the library's lines included) is UTC.
ParseResult parseOptions(int argc, char* argv[], Options& opts);

// The program's name as invoked, then the usage text.
void printUsage(const char* pProgram);

#endif
