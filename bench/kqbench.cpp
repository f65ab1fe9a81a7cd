// kqbench: the helper processes of the whole-process benchmarks (see
// bench/run-all.sh). One program with subcommands:
//
//   kqbench newpath DIR                  print a new log path under DIR
//   kqbench remove PATH                  remove PATH's segment and the file
//   kqbench create PATH RINGSIZE         create an empty log
//   kqbench fill PATH RINGSIZE HOURS     fill a log past wrapping, then
//                                        spread its node times over HOURS
//   kqbench touch PATH                   attach a log and read a byte of
//                                        every page
//   kqbench populate PATH                attach a log, map it in with
//                                        MADV_POPULATE_READ, then read a
//                                        byte of every page: the floor of
//                                        any reader of the ring
//   kqbench render PATH                  print the log's lines as -d does,
//                                        by a plain renderer of its own
//   kqbench write PATH RATE SECONDS COUNTFILE
//                                        append stamped lines, RATE a second
//                                        (0: as fast as possible); the count
//                                        written goes to COUNTFILE
//   kqbench sink latency                 read a reader's output on stdin:
//   kqbench sink count COUNTFILE RINGSIZE
//                                        latency, or lines seen and missed
//   kqbench sleeploop                    usleep(10000) until killed
//   kqbench run FILE CMD [ARG ...]       run CMD (no shell; its output goes
//                                        where kqbench's does) and append
//                                        "wall_us user_us sys_us maxrss_kb"
//                                        of the finished child to FILE
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "KQShmLogInternalComm.h"
#include "KQShmLogRing.h"
#include "KQShmLogWriter.h"

namespace {

const char* const TAG_NAMES[20] = {
    "net",    "http",    "db",     "auth",    "cache",   "sched", "io",
    "rpc",    "gc",      "config", "storage", "metrics", "dns",   "tls",
    "queue",  "billing", "search", "mailer",  "session", "kqbench"};

// Levels as services use them: mostly INFO and DEBUG, a little FATAL.
ENUM_KQLOG_LEVEL pickLevel(BenchTextGen& gen) {
    int iRoll = gen.between(0, 99);
    if (iRoll < 10) return KQLOG_LEVEL_TRACE;
    if (iRoll < 35) return KQLOG_LEVEL_DEBUG;
    if (iRoll < 75) return KQLOG_LEVEL_INFO;
    if (iRoll < 90) return KQLOG_LEVEL_WARN;
    if (iRoll < 98) return KQLOG_LEVEL_ERROR;
    return KQLOG_LEVEL_FATAL;
}

IKQLOGWriter* openWriter(const char* pPath, int iRingSize) {
    IKQLOGWriter* pWriter = IKQLOGWriter::getInst();
    if (!pWriter || !pWriter->init(pPath, iRingSize)) {
        fprintf(stderr, "kqbench: cannot open the log %s\n", pPath);
        return nullptr;
    }
    return pWriter;
}

// The writer stamps nodes with the wall clock. A dump benchmark wants
// hours of log, so once the writer is done the retained nodes get new
// times in place: increasing, spread evenly at random over iSpanMs.
// Returns the number of nodes retimed, or -1 when the chain is broken.
long retimeNodes(const char* pPath, int64_t iSpanMs, BenchTextGen& gen) {
    void* pAddr = GetShmAddrforRead(pPath);
    if (!pAddr) return -1;
    shmloghead* pHead = static_cast<shmloghead*>(pAddr);
    KQRingView view{pHead, static_cast<uint8_t*>(pAddr) + pHead->hdrsize,
                    int32_t(pHead->logbufsize)};
    std::vector<int32_t> nodes;
    KQNodeCopy copy;
    int32_t iPos = pHead->logReadPos;
    while (iPos != pHead->logWritePos) {
        // Every node takes at least 11 bytes: a longer chain is a loop.
        if (KQRingReadNode(view, iPos, copy) != KQNODE_VALID ||
            nodes.size() > size_t(view.iRingSize / 11)) {
            shmdt(pAddr);
            return -1;
        }
        nodes.push_back(iPos);
        iPos = KQRingNextPos(iPos, copy.logSize, view.iRingSize);
    }
    int64_t iMeanStep = nodes.empty() ? 0 : iSpanMs / int64_t(nodes.size());
    int64_t iMs = 0;
    for (int32_t iNode : nodes) {
        uint8_t* p = view.pRing + iNode;
        uint32_t iSec = uint32_t(iMs / 1000);
        uint16_t iMilli = uint16_t(iMs % 1000);
        for (int i = 0; i < 4; ++i) p[3 + i] = uint8_t(iSec >> (8 * i));
        p[7] = uint8_t(iMilli);
        p[8] = uint8_t(iMilli >> 8);
        iMs += gen.between(0, int(2 * iMeanStep));
    }
    shmdt(pAddr);
    return long(nodes.size());
}

// What mapping the segment costs by itself: attach it as the reader does
// and read one byte of every page, as a dump eventually does.
// Attaches a log and reads a byte of every page, after mapping it all in
// with MADV_POPULATE_READ when bPopulate.
int touchPages(const char* pPath, bool bPopulate) {
    void* pAddr = GetShmAddrforRead(pPath);
    if (!pAddr) return 1;
    const shmloghead* pHead = static_cast<const shmloghead*>(pAddr);
    size_t nBytes = size_t(pHead->hdrsize) + pHead->logbufsize;
    uintptr_t iStart = uintptr_t(pAddr) & ~uintptr_t(4095);
    if (bPopulate &&
        madvise(reinterpret_cast<void*>(iStart),
                uintptr_t(pAddr) + nBytes - iStart, MADV_POPULATE_READ) != 0)
        perror("madvise");
    const volatile uint8_t* p = static_cast<const uint8_t*>(pAddr);
    unsigned iSum = 0;
    for (size_t i = 0; i < nBytes; i += 4096) iSum += p[i];
    printf("%u\n", iSum);
    return 0;
}

// The lines of an intact log from logReadPos to logWritePos, rendered the
// plain way (snprintf, localtime_r on every line): what kqlogreader -d
// must print byte for byte.
int cmdRender(const char* pPath) {
    void* pAddr = GetShmAddrforRead(pPath);
    if (!pAddr) return 1;
    const shmloghead* pHead = static_cast<const shmloghead*>(pAddr);
    const uint8_t* pRing = static_cast<const uint8_t*>(pAddr) + pHead->hdrsize;
    int32_t iSize = int32_t(pHead->logbufsize);
    static const char* const LEVELS[6] = {"TRACE", "DEBUG", "INFO ",
                                          "WARN ", "ERROR", "FATAL"};
    int32_t iPos = pHead->logReadPos;
    std::string out;
    for (;;) {
        const uint8_t* p = pRing + iPos;
        int iLen = p[0];
        if (iLen == 0 || p[2] > 5) break;
        uint32_t iSec;
        uint16_t iMs;
        memcpy(&iSec, p + 3, 4);
        memcpy(&iMs, p + 7, 2);
        time_t t = time_t(pHead->starttime + iSec);
        struct tm tmLocal;
        localtime_r(&t, &tmLocal);
        char tag[11] = {};
        if (p[1] < 255) memcpy(tag, pHead->logInfos[p[1]].strLogTag, 10);
        char prefix[80];
        int n = snprintf(prefix, sizeof(prefix),
                         "[%s %s %02d-%02d %02d:%02d:%02d %.4u] ", LEVELS[p[2]],
                         tag, tmLocal.tm_mon + 1, tmLocal.tm_mday,
                         tmLocal.tm_hour, tmLocal.tm_min, tmLocal.tm_sec,
                         unsigned(iMs));
        out.append(prefix, size_t(n));
        out.append(reinterpret_cast<const char*>(p + 9), size_t(iLen));
        if (out.size() > (1 << 20)) {
            fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
        iPos = KQRingNextPos(iPos, uint8_t(iLen), iSize);
    }
    fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

int cmdFill(const char* pPath, int iRingSize, double fHours) {
    IKQLOGWriter* pWriter = openWriter(pPath, iRingSize);
    if (!pWriter) return 1;
    KQLogId tags[20];
    for (int i = 0; i < 20; ++i)
        tags[i] = pWriter->registerTag(TAG_NAMES[i], KQLOG_LEVEL_TRACE);

    // Well past one ring, so that the ring has wrapped and every byte of it
    // has been written.
    BenchTextGen gen(20240611);
    int64_t iBytes = 0;
    long iLines = 0;
    char text[256];
    while (iBytes < int64_t(iRingSize) * 3 / 2) {
        int iLen = gen.between(20, 200);
        gen.fill(text, size_t(iLen));
        if (gen.between(0, 9) < 4) text[iLen - 1] = '\n';
        pWriter->log(tags[gen.between(0, 19)], pickLevel(gen), text,
                     size_t(iLen));
        iBytes += iLen + 10;
        ++iLines;
    }
    long iNodes = retimeNodes(pPath, int64_t(fHours * 3600 * 1000), gen);
    if (iNodes < 0) {
        fprintf(stderr, "kqbench: the ring's node chain is broken\n");
        return 1;
    }
    printf("written=%ld retained=%ld ring=%d hours=%.1f\n", iLines, iNodes,
           iRingSize, fHours);
    return 0;
}

// Lines "seq=N t=NS text\n": sequence number from 0, and the time of the
// write on benchNowNs's clock. Lengths 20 to 200 bytes like fill's.
int cmdWrite(const char* pPath, long iRate, double fSeconds,
             const char* pCountFile) {
    IKQLOGWriter* pWriter = openWriter(pPath, 0);
    if (!pWriter) return 1;
    KQLogId tag = pWriter->registerTag("kqbench", KQLOG_LEVEL_TRACE);

    // Filler made beforehand, so that a writer at full speed spends its
    // time writing.
    BenchTextGen gen(7);
    const int FILLERS = 4096;
    std::vector<std::string> fillers(FILLERS);
    for (std::string& s : fillers) {
        s.resize(size_t(gen.between(20, 200)));
        gen.fill(&s[0], s.size());
    }

    // Where the writer was, now and then: (time, stream offset). The count
    // sink tells laps from misses by it.
    std::vector<std::pair<int64_t, uint64_t>> progress;
    uint64_t iOffset = 0;  // bytes of all nodes written before this one
    int64_t iStart = benchNowNs();
    int64_t iEnd = iStart + int64_t(fSeconds * 1e9);
    uint64_t iSeq = 0;
    char line[256];
    for (;;) {
        int64_t iNow = benchNowNs();
        if (iNow >= iEnd) break;
        if (iRate > 0) {
            // Line iSeq is due iSeq / iRate seconds after the start; lines
            // that fell due during a sleep go out at once.
            int64_t iDue = iStart + int64_t(double(iSeq) * 1e9 / double(iRate));
            if (iNow < iDue) {
                struct timespec due = {time_t(iDue / 1000000000),
                                       long(iDue % 1000000000)};
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
                continue;
            }
        }
        const std::string& filler = fillers[iSeq % FILLERS];
        int iHead = snprintf(line, sizeof(line),
                             "seq=%" PRIu64 " t=%" PRId64 " off=%" PRIu64 " ",
                             iSeq, iNow, iOffset);
        // Filler pads the line to its length, and every line has some.
        int iLen = std::max(int(filler.size()), iHead + 8);
        if (iLen > 254) iLen = 254;
        memcpy(line + iHead, filler.data(), size_t(iLen - iHead));
        line[iLen] = '\n';
        pWriter->log(tag, KQLOG_LEVEL_INFO, line, size_t(iLen + 1));
        iOffset += uint64_t(iLen + 1 + 10);
        if (++iSeq % 1024 == 0) progress.emplace_back(benchNowNs(), iOffset);
    }
    progress.emplace_back(benchNowNs(), iOffset);
    double fTook = double(benchNowNs() - iStart) / 1e9;
    FILE* pOut = fopen(pCountFile, "w");
    if (!pOut) return 1;
    fprintf(pOut, "%" PRIu64 " %.3f\n", iSeq, fTook);
    for (const auto& sample : progress)
        fprintf(pOut, "%" PRId64 " %" PRIu64 "\n", sample.first, sample.second);
    fclose(pOut);
    return 0;
}

// Splits standard input into lines and hands each to onLine with the time
// its bytes arrived (the return of the read that completed it).
template <typename F>
void readLines(F onLine) {
    std::vector<char> buf(1 << 20);
    size_t nHeld = 0;
    for (;;) {
        if (nHeld == buf.size()) nHeld = 0;  // a line longer than 1 MiB: drop
        ssize_t n = read(0, buf.data() + nHeld, buf.size() - nHeld);
        if (n <= 0) break;
        int64_t iArrival = benchNowNs();
        size_t nEnd = nHeld + size_t(n);
        size_t nStart = 0;
        for (;;) {
            const char* pNl = static_cast<const char*>(
                memchr(buf.data() + nHeld, '\n', nEnd - nHeld));
            if (!pNl) break;
            size_t nLineEnd = size_t(pNl - buf.data());
            onLine(buf.data() + nStart, nLineEnd - nStart, iArrival);
            nStart = nLineEnd + 1;
            nHeld = nStart;
        }
        memmove(buf.data(), buf.data() + nStart, nEnd - nStart);
        nHeld = nEnd - nStart;
    }
}

// One stamped line as kqlogreader printed it.
struct Stamp {
    uint64_t iSeq;
    int64_t iTime;    // write time
    uint64_t iOffset; // bytes the writer had written before this node
};

// Reads the decimal number at p (up to pEnd) and moves p past it; false
// when there is no digit.
bool takeNumber(const char*& p, const char* pEnd, uint64_t& iValue) {
    const char* pStart = p;
    iValue = 0;
    while (p < pEnd && *p >= '0' && *p <= '9')
        iValue = iValue * 10 + uint64_t(*p++ - '0');
    return p != pStart;
}

// Takes the literal word at p and moves p past it.
bool takeWord(const char*& p, const char* pEnd, const char* pWord) {
    size_t n = strlen(pWord);
    if (size_t(pEnd - p) < n || memcmp(p, pWord, n) != 0) return false;
    p += n;
    return true;
}

// Reads "] seq=N t=NS off=B" from a line kqlogreader printed; false for
// others. Cheap: the sink must not be what limits a follower.
bool parseStamp(const char* pLine, size_t n, Stamp& stamp) {
    const char* pEnd = pLine + n;
    const char* p = static_cast<const char*>(memmem(pLine, n, "] seq=", 6));
    if (!p) return false;
    p += 6;
    uint64_t iTime;
    if (!takeNumber(p, pEnd, stamp.iSeq) || !takeWord(p, pEnd, " t=") ||
        !takeNumber(p, pEnd, iTime) || !takeWord(p, pEnd, " off=") ||
        !takeNumber(p, pEnd, stamp.iOffset))
        return false;
    stamp.iTime = int64_t(iTime);
    return true;
}

double percentile(std::vector<int64_t>& sorted, double fP) {
    if (sorted.empty()) return 0;
    size_t i = size_t(fP / 100.0 * double(sorted.size() - 1) + 0.5);
    return double(sorted[i]) / 1e6;
}

int cmdSinkLatency() {
    std::vector<int64_t> latencies;
    latencies.reserve(1 << 16);
    readLines([&](const char* p, size_t n, int64_t iArrival) {
        Stamp stamp;
        if (parseStamp(p, n, stamp))
            latencies.push_back(iArrival - stamp.iTime);
    });
    std::sort(latencies.begin(), latencies.end());
    printf("lines=%zu p50_ms=%.3f p99_ms=%.3f max_ms=%.3f\n",
           latencies.size(), percentile(latencies, 50),
           percentile(latencies, 99), percentile(latencies, 100));
    return 0;
}

// Counts the lines of a follower and the sequence numbers it skipped, and
// tells each skip's cause. Lines are lost to a lap when the writer has
// overwritten them before the follower got to them; that needs the writer
// to be a whole ring ahead of the last line printed before the skip by the
// time the line after it arrived. The writer's progress over time comes
// from its count file. Any other skip is a line missed while not lapped.
int cmdSinkCount(const char* pCountFile, int64_t iRingSize) {
    struct Skip {
        uint64_t iLines;
        uint64_t iOffsetBefore;  // offset of the last line printed before it
        int64_t iArrivalAfter;   // arrival of the first line after it
    };
    std::vector<Skip> skips;
    uint64_t iExpected = 0, iLines = 0, iRepeats = 0, iFailures = 0;
    uint64_t iLastOffset = 0;
    int64_t iFirst = 0, iLast = 0;
    readLines([&](const char* p, size_t n, int64_t iArrival) {
        static const char FAILED[] = "nextLog return false!!";
        if (n == sizeof(FAILED) - 1 && memcmp(p, FAILED, n) == 0) {
            ++iFailures;
            return;
        }
        Stamp stamp;
        if (!parseStamp(p, n, stamp)) return;
        if (iLines++ == 0) iFirst = iArrival;
        iLast = iArrival;
        if (stamp.iSeq < iExpected) {
            ++iRepeats;
            return;
        }
        if (stamp.iSeq > iExpected)
            skips.push_back(Skip{stamp.iSeq - iExpected, iLastOffset, iArrival});
        iExpected = stamp.iSeq + 1;
        iLastOffset = stamp.iOffset;
    });

    uint64_t iWritten = 0;
    double fSeconds = 0;
    FILE* pIn = fopen(pCountFile, "r");
    if (!pIn || fscanf(pIn, "%" SCNu64 " %lf", &iWritten, &fSeconds) != 2) {
        fprintf(stderr, "kqbench: no count in %s\n", pCountFile);
        return 1;
    }
    std::vector<std::pair<int64_t, uint64_t>> progress;
    int64_t iTime;
    uint64_t iOffset;
    while (fscanf(pIn, "%" SCNd64 " %" SCNu64, &iTime, &iOffset) == 2)
        progress.emplace_back(iTime, iOffset);
    fclose(pIn);
    // Lines written after the last one seen count as a skip at the end.
    if (iWritten > iExpected)
        skips.push_back(Skip{iWritten - iExpected, iLastOffset, INT64_MAX});

    // Bytes the writer had surely written by a time: its last sample then.
    auto writtenBy = [&](int64_t iAt) -> uint64_t {
        uint64_t iBytes = 0;
        for (const auto& sample : progress) {
            if (sample.first > iAt) break;
            iBytes = sample.second;
        }
        return iBytes;
    };
    // A lap needs about a ring of bytes; a ring loses less than the wrap
    // threshold and a largest node at its end.
    const uint64_t iLapBytes = uint64_t(iRingSize) - 600;
    uint64_t iLaps = 0, iLapped = 0, iMissed = 0, iMissedSkips = 0;
    for (const Skip& skip : skips) {
        if (writtenBy(skip.iArrivalAfter) >= skip.iOffsetBefore + iLapBytes) {
            ++iLaps;
            iLapped += skip.iLines;
        } else {
            ++iMissedSkips;
            iMissed += skip.iLines;
        }
    }
    double fReadFor = double(iLast - iFirst) / 1e9;
    printf("written=%" PRIu64 " write_rate=%.0f seen=%" PRIu64
           " read_rate=%.0f laps=%" PRIu64 " lost_to_laps=%" PRIu64
           " missed_not_lapped=%" PRIu64 " (in %" PRIu64 " skips)"
           " repeated=%" PRIu64 " failed_reads=%" PRIu64 "\n",
           iWritten, fSeconds > 0 ? double(iWritten) / fSeconds : 0, iLines,
           fReadFor > 0 ? double(iLines) / fReadFor : 0, iLaps, iLapped,
           iMissed, iMissedSkips, iRepeats, iFailures);
    return 0;
}

// Runs argv[0..] as a child and appends its wall time, its own user and
// system time (the kernel's account of the reaped child) and its peak
// resident size to pFile. The child's exit status is not judged:
// kqlogreader ends a complete dump with status 1.
int cmdRun(const char* pFile, char* argv[]) {
    int64_t iStart = benchNowNs();
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return 1;
    }
    if (pid == 0) {
        execvp(argv[0], argv);
        perror(argv[0]);
        _exit(127);
    }
    int iStatus = 0;
    struct rusage usage;
    if (wait4(pid, &iStatus, 0, &usage) != pid) {
        perror("wait4");
        return 1;
    }
    int64_t iWallUs = (benchNowNs() - iStart) / 1000;
    if (WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 127) return 1;
    FILE* pOut = fopen(pFile, "a");
    if (!pOut) {
        perror(pFile);
        return 1;
    }
    auto us = [](const struct timeval& tv) {
        return int64_t(tv.tv_sec) * 1000000 + tv.tv_usec;
    };
    fprintf(pOut, "%" PRId64 " %" PRId64 " %" PRId64 " %ld\n", iWallUs,
            us(usage.ru_utime), us(usage.ru_stime), usage.ru_maxrss);
    fclose(pOut);
    return 0;
}

int usage() {
    fputs("usage: kqbench newpath DIR | remove PATH | create PATH RINGSIZE |\n"
          "       fill PATH RINGSIZE HOURS | touch PATH | populate PATH |\n"
          "       render PATH |\n"
          "       write PATH RATE SECONDS COUNTFILE |\n"
          "       sink latency | sink count COUNTFILE RINGSIZE | sleeploop |\n"
          "       run FILE CMD [ARG ...]\n",
          stderr);
    return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) return usage();
    std::string cmd = argv[1];
    if (cmd == "newpath" && argc == 3) {
        std::string path = benchNewLogPath(argv[2]);
        if (path.empty()) return 1;
        printf("%s\n", path.c_str());
        return 0;
    }
    if (cmd == "remove" && argc == 3) {
        benchRemoveLog(argv[2]);
        return 0;
    }
    if (cmd == "create" && argc == 4)
        return openWriter(argv[2], atoi(argv[3])) ? 0 : 1;
    if (cmd == "touch" && argc == 3) return touchPages(argv[2], false);
    if (cmd == "populate" && argc == 3) return touchPages(argv[2], true);
    if (cmd == "render" && argc == 3) return cmdRender(argv[2]);
    if (cmd == "fill" && argc == 5)
        return cmdFill(argv[2], atoi(argv[3]), atof(argv[4]));
    if (cmd == "write" && argc == 6)
        return cmdWrite(argv[2], atol(argv[3]), atof(argv[4]), argv[5]);
    if (cmd == "sink" && argc == 3 && strcmp(argv[2], "latency") == 0)
        return cmdSinkLatency();
    if (cmd == "sink" && argc == 5 && strcmp(argv[2], "count") == 0)
        return cmdSinkCount(argv[3], atoll(argv[4]));
    if (cmd == "run" && argc >= 4) return cmdRun(argv[2], argv + 3);
    if (cmd == "sleeploop" && argc == 2) {
        for (;;) usleep(10000);
    }
    return usage();
}
