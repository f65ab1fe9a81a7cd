// --list: one line (or JSON object) per log with its size, use, tags,
// attached processes, start time and newest record.
#ifndef KQ_LOG_LIST_H
#define KQ_LOG_LIST_H

#include "Options.h"

// Lists the logs --log names, or every log under the log directory. The
// run's status: 0, or 1 when the directory cannot be read.
int listLogs(const Options& opts);

#endif
