// The ways kqlogreader shows a record besides the plain line the library
// renders: escaped for a terminal, as a JSON object, or with syslog
// priority prefixes. Each writes into a caller's buffer of at least
// KQ_MAX_FORMATTED bytes and returns the length.
#ifndef KQ_RECORD_FORMAT_H
#define KQ_RECORD_FORMAT_H

#include <cstddef>
#include <cstdint>

#include "KQShmLogStream.h"

// Room for any record KQLogStream gives, in any format: a JSON text
// escapes each of 255 bytes to at most six; a syslog record repeats the
// line prefix (at most 40 bytes, 70 once the 10 bytes of its tag name are
// escaped) on each of up to 255 lines, 74 bytes a line before the text's.
const size_t KQ_MAX_FORMATTED = 24 * 1024;

// A tag name (n bytes, from the segment) made safe to show anywhere: every
// byte below 0x20, tab and line feed included, and 0x7F as \xHH; other
// bytes as they are. out holds 4 * n bytes; returns the length.
size_t escapeName(const char* p, int n, char* out);

// n bytes as a JSON string, quotes included, escaped as formatJson escapes
// a record's text. out holds 6 * n + 2 bytes; returns the length.
size_t formatJsonString(const char* p, int n, char* out);

// The record's line made safe for a terminal: the tag name as escapeName
// spells it; in the text, bytes below 0x20 other than tab and line feed,
// and 0x7F, as \xHH, and a line feed that is not the text's last byte as
// \n.
size_t formatForTerminal(const KQLogRecord& rec, char* out);

// Local-time stamps for JSON, converted once per second.
struct IsoTimeCache {
    bool bValid = false;
    int64_t iSecond = 0;
    bool bConverted = false;
    char text[25];  // "YYYY-MM-DDThh:mm:ss" + "+hh:mm"
    size_t nLen = 0;
};

// A second as local ISO 8601, "YYYY-MM-DDThh:mm:ss+hh:mm", into cache.text
// (cache.nLen bytes); false when local time cannot show it (or its year
// has not four digits). Converted once while the second stays the same.
bool isoSecond(int64_t iSecond, IsoTimeCache& cache);

// {"time":...,"level":...,"tag":...,"tag_id":...,"text":...} and a line
// feed. Time is local ISO 8601 with milliseconds and UTC offset, null when
// local time cannot show it; text loses one trailing line feed; strings
// are JSON-escaped, and bytes that are not UTF-8 become U+FFFD.
size_t formatJson(const KQLogRecord& rec, IsoTimeCache& cache, char* out);

// Each line of the text as "<P>" + the line's prefix + the line, P being
// the syslog severity of the level; the record ends with a line feed. The
// prefix's tag name is always escaped as escapeName spells it, so that
// only the text's line feeds begin lines. bEscape: the text's control bytes
// shown as for a terminal.
size_t formatSyslog(const KQLogRecord& rec, bool bEscape, char* out);

// The short line with the full time: "[LEVEL tag " as in the line, the
// time as ISO 8601 in local time with milliseconds (carried as in JSON)
// and UTC offset, "] " and the text: "[INFO  net
// 2026-12-08T13:02:01.123+01:00] up". A time local time cannot show is
// "0000-00-00T00:00:00.000+00:00". bEscape: tag and text escaped as
// formatForTerminal does.
size_t formatShortIso(const KQLogRecord& rec, IsoTimeCache& cache,
                      bool bEscape, char* out);

// The syslog severity of a level: TRACE and DEBUG 7, INFO 6, WARN 4,
// ERROR 3, FATAL 2.
int syslogSeverity(ENUM_KQLOG_LEVEL eLevel);

#endif
