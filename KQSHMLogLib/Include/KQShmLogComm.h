// Public types shared by every process of the shared-memory logging facility.
#ifndef KQSHMLOGCOMM_H
#define KQSHMLOGCOMM_H

#include <cstdint>

// Index of a tag entry in a log segment's tag table. 255 never names an
// entry: operations use it for "all tags", "no tag" or "not found".
typedef uint8_t KQLogId;

const KQLogId KQLOG_INVALID_ID = 255;

// Message levels. A segment stores a level as one byte; 6 and above have
// no name and mean "no level" where an operation answers one.
enum ENUM_KQLOG_LEVEL : int32_t {
    KQLOG_LEVEL_TRACE = 0,
    KQLOG_LEVEL_DEBUG = 1,
    KQLOG_LEVEL_INFO = 2,
    KQLOG_LEVEL_WARN = 3,
    KQLOG_LEVEL_ERROR = 4,
    KQLOG_LEVEL_FATAL = 5,
    KQLOG_LEVEL_NONE = 6,
};

static_assert(sizeof(ENUM_KQLOG_LEVEL) == 4, "levels are 4-byte values");

#endif
