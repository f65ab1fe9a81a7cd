// kqlog-follow SERVICE: prints the log of a service from the oldest line
// still in its ring, then follows new lines until stopped, through the
// reader library's record stream. A damaged record costs that record; a
// lap (the writer overwrote lines before they were read) is reported on
// standard error.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "KQShmLogReader.h"
#include "KQShmLogStream.h"

int main(int argc, char* argv[]) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s SERVICE\n", argv[0]);
        return 2;
    }
    // A service's log path is /var/run/ followed by its name.
    std::string strLogPath = std::string("/var/run/") + argv[1];

    // The process's one reader; the stream reads what it has attached.
    IKQLOGReader* pReader = IKQLOGReader::getInst();
    if (!pReader || !pReader->init(strLogPath.c_str(), false)) {
        // init has said why on standard error.
        fprintf(stderr, "%s: cannot read the log at %s\n", argv[0],
                strLogPath.c_str());
        return 1;
    }

    KQLogStream stream;
    stream.startAtOldest(true);  // true: follow, never end
    char line[KQLOG_LINE_BUFFER_SIZE];
    KQLogRecord rec;
    for (;;) {
        switch (stream.next(rec, line)) {
        case KQLOG_EVENT_RECORD:
            // Lines carry the writer's own line end.
            fwrite(rec.pLine, 1, rec.nLineLen, stdout);
            break;
        case KQLOG_EVENT_END:
            // Nothing new: hand what was printed on, then wait a little.
            if (fflush(stdout) != 0) return 1;  // the output is gone
            usleep(10000);
            break;
        case KQLOG_EVENT_DAMAGED:
            fprintf(stderr, "%s: a damaged record was skipped\n", argv[0]);
            break;
        case KQLOG_EVENT_LAPPED:
            fprintf(stderr, "%s: lapped by the writer: %lld bytes lost\n",
                    argv[0], static_cast<long long>(rec.iLostBytes));
            break;
        case KQLOG_EVENT_DETACHED:
            return 1;
        }
    }
}
