// kqlogreader's command line: the options record, its parser and the
// usage text.
#ifndef KQ_READER_OPTIONS_H
#define KQ_READER_OPTIONS_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "KQShmLogStream.h"

const char* const LOG_PATH_PREFIX = "/var/run/";
const uint8_t NO_TAG = 255;

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
};

// What parseOptions decided about the run.
enum class ParseResult { RUN, EXIT_1, EXIT_0 };

// Fills opts from argv; anything but RUN ends the run with that status
// after what has been printed (help, version, a bad option or value).
ParseResult parseOptions(int argc, char* argv[], Options& opts);

// The program's name as invoked, then the usage text.
void printUsage(const char* pProgram);

#endif
