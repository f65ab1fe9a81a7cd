// The ways kqlogreader shows a record besides the plain line the library
// renders: escaped for a terminal, as a JSON object, or with syslog
// priority prefixes. Each writes into a caller's buffer of at least
// KQ_MAX_FORMATTED bytes and returns the length.
#ifndef KQ_RECORD_FORMAT_H
#define KQ_RECORD_FORMAT_H

#include <cstddef>
#include <cstdint>

#include "KQShmLogStream.h"

// Room for any record in any format: a JSON text escapes each of 255 bytes
// to at most six, a syslog record repeats the line prefix on each of up to
// 255 lines.
const size_t KQ_MAX_FORMATTED = 16 * 1024;

// The record's line with the text made safe for a terminal: bytes below
// 0x20 other than tab and line feed, and 0x7F, as \xHH; a line feed that
// is not the text's last byte as \n.
size_t formatForTerminal(const KQLogRecord& rec, char* out);

// Local-time stamps for JSON, converted once per second.
struct IsoTimeCache {
    bool bValid = false;
    int64_t iSecond = 0;
    bool bConverted = false;
    char text[25];  // "YYYY-MM-DDThh:mm:ss" + "+hh:mm"
    size_t nLen = 0;
};

// {"time":...,"level":...,"tag":...,"tag_id":...,"text":...} and a line
// feed. Time is local ISO 8601 with milliseconds and UTC offset, null when
// local time cannot show it; text loses one trailing line feed; strings
// are JSON-escaped, and bytes that are not UTF-8 become U+FFFD.
size_t formatJson(const KQLogRecord& rec, IsoTimeCache& cache, char* out);

// Each line of the text as "<P>" + the line's prefix + the line, P being
// the syslog severity of the level; the record ends with a line feed.
// bEscape: control bytes shown as for a terminal.
size_t formatSyslog(const KQLogRecord& rec, bool bEscape, char* out);

// The syslog severity of a level: TRACE and DEBUG 7, INFO 6, WARN 4,
// ERROR 3, FATAL 2.
int syslogSeverity(ENUM_KQLOG_LEVEL eLevel);

#endif
