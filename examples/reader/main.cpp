// kqlog-print SERVICE: prints the log of a service once, from the oldest
// line still in its ring to the newest, through the reader library.
#include <cstdio>
#include <string>

#include "KQShmLogReader.h"

int main(int argc, char* argv[]) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s SERVICE\n", argv[0]);
        return 2;
    }
    // A service's log path is /var/run/ followed by its name.
    std::string strLogPath = std::string("/var/run/") + argv[1];

    // The process's one reader; it is never deleted.
    IKQLOGReader* pReader = IKQLOGReader::getInst();
    if (!pReader || !pReader->init(strLogPath.c_str(), false)) {
        // init has said why on standard error.
        fprintf(stderr, "%s: cannot read the log at %s\n", argv[0],
                strLogPath.c_str());
        return 1;
    }

    pReader->seekLogBegin(0);
    std::string strLine;
    for (;;) {
        if (!pReader->nextLog(strLine)) {
            // The record at the cursor is being written or was just
            // overwritten: a writer is busy. A follower would retry.
            fprintf(stderr, "%s: the log changed while it was read\n",
                    argv[0]);
            return 1;
        }
        if (strLine.empty()) break;  // end of the written data
        // Lines carry the writer's own line end.
        fwrite(strLine.data(), 1, strLine.size(), stdout);
    }
    return 0;
}
