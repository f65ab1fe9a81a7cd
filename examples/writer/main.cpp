// kqlog-hello SERVICE: writes a few messages into the log of a service
// through the writer library; kqlogreader -p SERVICE -d shows them.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "KQShmLogWriter.h"

int main(int argc, char* argv[]) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s SERVICE\n", argv[0]);
        return 2;
    }
    // The log path names the log; the writer needs the file to exist.
    std::string strLogPath = std::string("/var/run/") + argv[1];
    int fd = open(strLogPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd == -1) {
        fprintf(stderr, "%s: cannot create %s: %s\n", argv[0],
                strLogPath.c_str(), strerror(errno));
        return 1;
    }
    close(fd);

    // The process's one writer; 0 keeps an existing log's ring size.
    IKQLOGWriter* pWriter = IKQLOGWriter::getInst();
    if (!pWriter || !pWriter->init(strLogPath.c_str(), 0)) return 1;

    // A new tag starts at the given level; an existing one keeps the level
    // and switch it has (kqlogreader -l, -t and -f change them).
    KQLogId idMain = pWriter->registerTag("hello", KQLOG_LEVEL_DEBUG);
    if (idMain == KQLOG_INVALID_ID) return 1;

    // Texts carry their own line end: the reader adds none.
    pWriter->log(idMain, KQLOG_LEVEL_INFO, "hello from the writer library\n");
    for (int i = 1; i <= 3; ++i)
        pWriter->logFormat(idMain, KQLOG_LEVEL_WARN, "step %d of %d\n", i, 3);
    // Below the tag's level: not written.
    pWriter->log(idMain, KQLOG_LEVEL_TRACE, "a detail nobody asked for\n");
    return 0;
}
