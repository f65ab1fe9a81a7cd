#include "LogList.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KQShmLogSummary.h"
#include "LogDirectory.h"
#include "RecordFormat.h"

namespace {

// Local ISO 8601 to the second with the UTC offset; "-" when local time
// cannot show the second.
std::string isoLocal(int64_t iSecond) {
    IsoTimeCache cache;
    return isoSecond(iSecond, cache) ? std::string(cache.text, cache.nLen)
                                     : "-";
}

// Seconds of a time in milliseconds, rounded down.
int64_t secondOf(int64_t iMs) {
    return iMs / 1000 - (iMs % 1000 < 0 ? 1 : 0);
}

struct Row {
    std::string strName;
    KQLogSummary summary;
};

void printText(const std::vector<Row>& rows) {
    size_t nWidth = 3;
    for (const Row& row : rows)
        nWidth = std::max(nWidth, shownName(row.strName).size());
    printf("%-*s %12s %12s %4s %8s %-25s %s\n", int(nWidth), "LOG", "SIZE",
           "USED", "TAGS", "ATTACHED", "STARTED", "NEWEST");
    for (const Row& row : rows) {
        const KQLogSummary& s = row.summary;
        std::string strAttached =
            s.iAttached < 0 ? "-" : std::to_string(s.iAttached);
        std::string strNewest =
            s.bHasNewest ? isoLocal(secondOf(s.iNewestMs)) : "-";
        printf("%-*s %12d %12" PRId64 " %4d %8s %-25s %s\n", int(nWidth),
               shownName(row.strName).c_str(), s.iRingSize, s.iUsedBytes,
               s.iTagsInUse, strAttached.c_str(),
               isoLocal(s.iStartTime).c_str(), strNewest.c_str());
    }
}

std::string jsonTime(bool bKnown, int64_t iSecond) {
    std::string strIso = bKnown ? isoLocal(iSecond) : "-";
    return strIso == "-" ? "null" : "\"" + strIso + "\"";
}

void printJson(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        const KQLogSummary& s = row.summary;
        std::string strAttached =
            s.iAttached < 0 ? "null" : std::to_string(s.iAttached);
        printf("{\"log\":%s,\"size\":%d,\"used\":%" PRId64
               ",\"tags\":%d,\"attached\":%s,\"started\":%s,\"newest\":%s}\n",
               jsonName(row.strName).c_str(), s.iRingSize, s.iUsedBytes,
               s.iTagsInUse, strAttached.c_str(),
               jsonTime(true, s.iStartTime).c_str(),
               jsonTime(s.bHasNewest, secondOf(s.iNewestMs)).c_str());
    }
}

}  // namespace

int listLogs(const Options& opts) {
    std::vector<std::string> names = opts.logNames;
    if (names.empty()) {
        int iErr = 0;
        if (!findLogs(LOG_PATH_PREFIX, names, &iErr)) {
            fprintf(stderr, "kqlogreader: cannot read %s: %s\n",
                    LOG_PATH_PREFIX, strerror(iErr));
            return 1;
        }
    }
    std::vector<Row> rows;
    for (const std::string& strName : names) {
        std::unique_ptr<IKQLOGReader> reader(IKQLOGReader::create());
        std::string strPath = LOG_PATH_PREFIX + strName;
        Row row;
        row.strName = strName;
        if (!reader || !reader->init(strPath.c_str(), opts.bVerbose) ||
            !KQLogSummarize(reader.get(), row.summary)) {
            fprintf(stderr, "kqlogreader: skipping log [%s]\n",
                    shownName(strName).c_str());
            continue;
        }
        rows.push_back(row);
    }
    if (opts.eFormat == OutputFormat::JSON)
        printJson(rows);
    else
        printText(rows);
    return 0;
}
