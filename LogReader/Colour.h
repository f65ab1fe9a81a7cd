// kqlogreader's --color: records in the colour of their level, for the
// short, short-iso and syslog formats (JSON never).
#ifndef KQ_READER_COLOUR_H
#define KQ_READER_COLOUR_H

#include <cstddef>

#include "KQShmLogComm.h"

enum class ColourWhen { AUTO, ALWAYS, NEVER };

// --color's WHEN: "auto", "always" or "never"; null (no "=WHEN") is auto.
bool parseColourWhen(const char* pText, ColourWhen* pWhen);

// Whether records are coloured. AUTO: only when standard output is a
// terminal, NO_COLOR is unset or empty and TERM is not "dumb" (pNoColor and
// pTerm are the variables' values, null when unset).
bool colourWanted(ColourWhen eWhen, bool bStdoutTerminal, const char* pNoColor,
                  const char* pTerm);

// The SGR sequence that starts a line of the level: TRACE and DEBUG dim,
// WARN yellow, ERROR red, FATAL bold red; null for INFO (plain) and for a
// level without a name.
const char* levelSgr(ENUM_KQLOG_LEVEL eLevel);

// The reset that ends a coloured line.
const char SGR_RESET[] = "\x1b[0m";

// Room colourLines needs for the n bytes at p.
size_t colouredSize(const char* pSgr, const char* p, size_t n);

// The n bytes at p into out, each line that is not empty between pSgr and
// a reset: the reset comes before the line's line feed, or at the end of a
// last line without one. Returns the length.
size_t colourLines(const char* pSgr, const char* p, size_t n, char* out);

#endif
