// kqstress: writer threads fill a small ring at full speed while
// `kqlogreader -d -n -e` follows it from a child process; a checker reads
// the tool's output as it comes and counts what it printed.
//
// Every text is "w<writer> <seq> <payload> <fnv1a-32 of what precedes it>\n",
// its payload and level derived from (writer, seq), so the checker can tell
// an exact copy of a written text from anything else.
//
// The run repeats a cycle until its time is up:
//   1. full speed: the writer threads write as fast as they can; the tool is
//      lapped over and over, so lines go missing (counted, allowed), but no
//      line may be torn, printed twice or out of order, and output may not
//      stop while the writers run;
//   2. sync: the threads pause and one line is written; it must come out;
//   3. forced lap: the tool is stopped (SIGSTOP), three rings' worth are
//      written, the tool is continued (SIGCONT);
//   4. slow: lines are written one every few milliseconds; every one of them
//      and the last line of the lap must come out, each once.
// At the end the tool gets SIGTERM and must die by it, with nothing on its
// standard error.
//
// Torn lines are told apart by when they came: while the tool is being
// lapped (from the start of a full-speed phase or a forced lap until the
// slow line that follows it is printed) or while it cannot be. With
// --lapped-torn-ok only the latter fail the run; the former are reported.
//
// Exit status: 0 when every check held, 1 when one failed, 2 for bad
// arguments, 77 when no log path can be made under /var/run (test skipped).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KQShmLogWriter.h"

namespace {

const char* const kLevelNames[6] = {"TRACE", "DEBUG", "INFO ",
                                    "WARN ", "ERROR", "FATAL"};
const char kFailedLine[] = "nextLog return false!!";

// ---- Options -------------------------------------------------------------

struct Options {
    int iSeconds = 15;
    int iThreads = 4;
    int iRingSize = 32 * 1024;
    int iFullMs = 2000;       // full-speed phase of each cycle
    int iSlowLines = 300;     // slow lines per cycle
    int iSlowGapUs = 5000;    // between two slow lines
    int iLapRings = 3;        // rings' worth written while the tool is stopped
    int iHangMs = 3000;       // no output this long while writers run: hang
    int iCatchUpMs = 5000;    // a line that must come out, within this
    bool bLappedTornOk = false;
    std::string strTool =
#ifdef KQLOGREADER_PATH
        KQLOGREADER_PATH;
#else
        "kqlogreader";
#endif
};

const char* const kUsage =
    "usage: kqstress [--seconds N] [--threads N] [--ring BYTES]\n"
    "                [--full-ms MS] [--slow-lines N] [--slow-gap-us US]\n"
    "                [--lap-rings N] [--tool PATH] [--lapped-torn-ok]\n";

bool parseInt(const char* pText, int iMin, int iMax, int* pValue) {
    char* pEnd = nullptr;
    long iValue = strtol(pText, &pEnd, 10);
    if (pEnd == pText || *pEnd != '\0' || iValue < iMin || iValue > iMax)
        return false;
    *pValue = int(iValue);
    return true;
}

bool parseOptions(int argc, char* argv[], Options& opts) {
    for (int i = 1; i < argc; ++i) {
        std::string strName = argv[i];
        if (strName == "--lapped-torn-ok") {
            opts.bLappedTornOk = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* pValue = argv[++i];
        bool bOk = true;
        if (strName == "--seconds") bOk = parseInt(pValue, 1, 86400, &opts.iSeconds);
        else if (strName == "--threads") bOk = parseInt(pValue, 1, 64, &opts.iThreads);
        else if (strName == "--ring")
            bOk = parseInt(pValue, KQLOG_MIN_LOG_BUF_SIZE, 1 << 26, &opts.iRingSize);
        else if (strName == "--full-ms") bOk = parseInt(pValue, 10, 600000, &opts.iFullMs);
        else if (strName == "--slow-lines") bOk = parseInt(pValue, 1, 100000, &opts.iSlowLines);
        else if (strName == "--slow-gap-us") bOk = parseInt(pValue, 0, 1000000, &opts.iSlowGapUs);
        else if (strName == "--lap-rings") bOk = parseInt(pValue, 0, 1000, &opts.iLapRings);
        else if (strName == "--tool") opts.strTool = pValue;
        else bOk = false;
        if (!bOk) return false;
    }
    return true;
}

// ---- Time ----------------------------------------------------------------

int64_t nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleepUs(int64_t iMicros) {
    struct timespec ts = {time_t(iMicros / 1000000), long(iMicros % 1000000) * 1000};
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
}

// ---- Texts ---------------------------------------------------------------

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

uint32_t fnv1a(const char* p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) h = (h ^ uint8_t(p[i])) * 16777619u;
    return h;
}

// The text of line seq of a writer, into buf (at least 256 bytes); returns
// its length, at most 255 with the line feed.
size_t makeText(int iWriter, uint64_t iSeq, char* buf) {
    static const char kAlphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,:;-_";
    uint64_t h = mix(uint64_t(iWriter) << 48 ^ iSeq);
    int n = snprintf(buf, 64, "w%d %" PRIu64 " ", iWriter, iSeq);
    size_t nLen = size_t(n);
    size_t nPayload = size_t(h % 201);
    for (size_t i = 0; i < nPayload; ++i) {
        h = mix(h);
        buf[nLen++] = kAlphabet[h % (sizeof(kAlphabet) - 1)];
    }
    uint32_t crc = fnv1a(buf, nLen);
    nLen += size_t(snprintf(buf + nLen, 16, " %08x\n", crc));
    return nLen;
}

ENUM_KQLOG_LEVEL levelOf(uint64_t iSeq) { return ENUM_KQLOG_LEVEL(iSeq % 6); }

// ---- The log path and the tool --------------------------------------------

// A new file under /var/run whose key has no segment yet; removes the
// segments under its key and the file when done.
class ScratchPath {
public:
    bool make() {
        for (int i = 0; i < 50; ++i) {
            char tmpl[] = "/var/run/kqstress-XXXXXX";
            int fd = mkstemp(tmpl);
            if (fd < 0) return false;
            close(fd);
            key_t key = ftok(tmpl, 0);
            if (key != -1 && key != IPC_PRIVATE && shmget(key, 0, 0) == -1) {
                m_strPath = tmpl;
                m_key = key;
                return true;
            }
            m_refused.push_back(tmpl);
        }
        return false;
    }
    ~ScratchPath() {
        int id;
        while (m_key != -1 && (id = shmget(m_key, 0, 0)) != -1)
            if (shmctl(id, IPC_RMID, nullptr) == -1) break;
        if (!m_strPath.empty()) unlink(m_strPath.c_str());
        for (const std::string& s : m_refused) unlink(s.c_str());
    }
    const std::string& path() const { return m_strPath; }
    std::string service() const { return m_strPath.substr(strlen("/var/run/")); }

private:
    std::string m_strPath;
    key_t m_key = -1;
    std::vector<std::string> m_refused;
};

struct Child {
    pid_t pid = -1;
    int fdOut = -1;
    int fdErr = -1;
};

Child spawnTool(const std::string& strTool, const std::string& strService) {
    Child c;
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0) return c;
    if (pipe(errPipe) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return c;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        setenv("TZ", "UTC", 1);
        execl(strTool.c_str(), strTool.c_str(), "-p", strService.c_str(), "-d",
              "-n", "-e", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        return c;
    }
    c.pid = pid;
    c.fdOut = outPipe[0];
    c.fdErr = errPipe[0];
    return c;
}

// ---- Checker ---------------------------------------------------------------

struct WriterSeen {
    int64_t iLastSeq = -1;
    uint64_t nPrinted = 0;
    uint64_t nGaps = 0;     // places where lines were skipped
    uint64_t nSkipped = 0;  // lines skipped at those places
    uint64_t nDuplicates = 0;
    uint64_t nBackwards = 0;  // an older line after a newer one
};

// Reads the tool's stdout and stderr and judges every line. Runs on its own
// thread; the main thread asks for figures under the mutex.
class Checker {
public:
    Checker(int iWriters, const std::string& strBanner)
        : m_seen(size_t(iWriters)), m_strBanner(strBanner) {}

    void run(int fdOut, int fdErr) {
        struct pollfd fds[2] = {{fdOut, POLLIN, 0}, {fdErr, POLLIN, 0}};
        std::vector<char> buf(1 << 16);
        int iOpen = 2;
        while (iOpen > 0) {
            if (poll(fds, 2, 200) < 0 && errno != EINTR) break;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                ssize_t n = read(fds[i].fd, buf.data(), buf.size());
                if (n <= 0) {
                    fds[i].fd = -1;
                    --iOpen;
                    continue;
                }
                m_iLastOutputMs.store(nowMs());
                std::lock_guard<std::mutex> guard(m_mutex);
                if (i == 1) {
                    m_strErr.append(buf.data(), size_t(n));
                    continue;
                }
                m_strPending.append(buf.data(), size_t(n));
                size_t nStart = 0, nEnd;
                while ((nEnd = m_strPending.find('\n', nStart)) != std::string::npos) {
                    judge(m_strPending.data() + nStart, nEnd + 1 - nStart);
                    nStart = nEnd + 1;
                }
                m_strPending.erase(0, nStart);
            }
        }
        std::lock_guard<std::mutex> guard(m_mutex);
        if (!m_strPending.empty()) corrupt(m_strPending.data(), m_strPending.size());
        m_strPending.clear();
    }

    int64_t lastOutputMs() const { return m_iLastOutputMs.load(); }

    // From now on the tool may be lapped, until a line of writer iWriter
    // numbered iSeq or later is printed (set by endLappedAt). Called when
    // everything printed so far has been judged.
    void beginLapped() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_bLapped = true;
        m_iQuietWriter = -1;
    }
    void endLappedAt(int iWriter, int64_t iSeq) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_iQuietWriter = iWriter;
        m_iQuietSeq = iSeq;
    }
    bool sawBanner() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_bBanner;
    }
    int64_t lastSeq(int iWriter) {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_seen[size_t(iWriter)].iLastSeq;
    }
    WriterSeen seen(int iWriter) {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_seen[size_t(iWriter)];
    }
    uint64_t corruptLines() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_nCorrupt;
    }
    uint64_t corruptWhileLapped() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_nCorruptLapped;
    }
    uint64_t failedReads() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_nFailedReads;
    }
    std::string err() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_strErr;
    }
    std::vector<std::string> samples() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_samples;
    }

private:
    void corrupt(const char* p, size_t n) {
        ++m_nCorrupt;
        m_nCorruptLapped += m_bLapped;
        if (m_samples.size() < 10)
            m_samples.push_back((m_bLapped ? "lapped: " : "not lapped: ") + std::string(p, n));
    }

    static bool digits(const char* p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (p[i] < '0' || p[i] > '9') return false;
        return true;
    }

    // "[LEVEL w<id> MM-DD hh:mm:ss mmmm] <text>", text ending in the line
    // feed, or the tool's own line for a failed read, or the banner.
    void judge(const char* p, size_t n) {
        if (!m_bBanner) {
            if (std::string(p, n) == m_strBanner) {
                m_bBanner = true;
                return;
            }
        }
        if (n == sizeof(kFailedLine) && memcmp(p, kFailedLine, n - 1) == 0) {
            ++m_nFailedReads;
            return;
        }
        // '[' + level(5) + ' ' + 'w' at least.
        if (n < 9 || p[0] != '[' || p[6] != ' ' || p[7] != 'w') return corrupt(p, n);
        size_t i = 8;
        int iTagWriter = 0;
        size_t nTagDigits = 0;
        while (i < n && p[i] >= '0' && p[i] <= '9' && nTagDigits < 3) {
            iTagWriter = iTagWriter * 10 + (p[i++] - '0');
            ++nTagDigits;
        }
        // " MM-DD hh:mm:ss " then at least four digits of milliseconds.
        if (nTagDigits == 0 || i + 16 + 4 + 2 > n || p[i] != ' ' ||
            !digits(p + i + 1, 2) || p[i + 3] != '-' || !digits(p + i + 4, 2) ||
            p[i + 6] != ' ' || !digits(p + i + 7, 2) || p[i + 9] != ':' ||
            !digits(p + i + 10, 2) || p[i + 12] != ':' || !digits(p + i + 13, 2) ||
            p[i + 15] != ' ')
            return corrupt(p, n);
        i += 16;
        size_t nMs = 0;
        while (i + nMs < n && p[i + nMs] >= '0' && p[i + nMs] <= '9') ++nMs;
        if (nMs != 4 || i + nMs + 2 > n || p[i + nMs] != ']' || p[i + nMs + 1] != ' ' ||
            p[i] != '0' /* under 1000 ms */)
            return corrupt(p, n);
        const char* pText = p + i + nMs + 2;
        size_t nText = n - size_t(pText - p);

        int iWriter = -1;
        uint64_t iSeq = 0;
        int iUsed = 0;
        std::string strText(pText, nText);
        if (sscanf(strText.c_str(), "w%d %" SCNu64 " %n", &iWriter, &iSeq, &iUsed) != 2 ||
            iUsed == 0 || iWriter != iTagWriter || iWriter < 0 ||
            size_t(iWriter) >= m_seen.size())
            return corrupt(p, n);
        char expected[300];
        size_t nExpected = makeText(iWriter, iSeq, expected);
        if (nExpected != nText || memcmp(expected, pText, nText) != 0 ||
            memcmp(p + 1, kLevelNames[iSeq % 6], 5) != 0)
            return corrupt(p, n);

        WriterSeen& w = m_seen[size_t(iWriter)];
        int64_t iSeqSigned = int64_t(iSeq);
        if (iWriter == m_iQuietWriter && iSeqSigned >= m_iQuietSeq) m_bLapped = false;
        if (iSeqSigned == w.iLastSeq) {
            ++w.nDuplicates;
        } else if (iSeqSigned < w.iLastSeq) {
            ++w.nBackwards;
        } else {
            if (iSeqSigned > w.iLastSeq + 1) {
                ++w.nGaps;
                w.nSkipped += uint64_t(iSeqSigned - w.iLastSeq - 1);
            }
            w.iLastSeq = iSeqSigned;
            ++w.nPrinted;
        }
    }

    std::mutex m_mutex;
    std::vector<WriterSeen> m_seen;
    std::string m_strBanner;
    bool m_bBanner = false;
    std::string m_strPending;
    std::string m_strErr;
    uint64_t m_nCorrupt = 0;
    uint64_t m_nCorruptLapped = 0;
    bool m_bLapped = false;
    int m_iQuietWriter = -1;
    int64_t m_iQuietSeq = 0;
    uint64_t m_nFailedReads = 0;
    std::vector<std::string> m_samples;
    std::atomic<int64_t> m_iLastOutputMs{0};
};

// ---- Writers -------------------------------------------------------------

struct WriterCounts {
    std::atomic<uint64_t> nLines{0};
    std::atomic<uint64_t> nBytes{0};  // ring bytes taken: text + 10 per node
};

// Threads write at full speed while bRun is set; when it is cleared each
// acknowledges the pause epoch it saw and waits.
struct FullSpeed {
    std::atomic<bool> bRun{false};
    std::atomic<bool> bQuit{false};
    std::atomic<int> iEpoch{0};
    std::vector<std::atomic<int>> acks;
    explicit FullSpeed(int n) : acks(size_t(n)) {}
};

void writeLine(IKQLOGWriter* pWriter, KQLogId id, int iWriter, WriterCounts& counts) {
    char buf[300];
    uint64_t iSeq = counts.nLines.load(std::memory_order_relaxed);
    size_t nLen = makeText(iWriter, iSeq, buf);
    pWriter->log(id, levelOf(iSeq), buf, nLen);
    counts.nBytes.store(counts.nBytes.load(std::memory_order_relaxed) + nLen + 10,
                        std::memory_order_relaxed);
    counts.nLines.store(iSeq + 1, std::memory_order_release);
}

void fullSpeedThread(IKQLOGWriter* pWriter, KQLogId id, int iWriter,
                     WriterCounts& counts, FullSpeed& ctl) {
    while (!ctl.bQuit.load()) {
        if (!ctl.bRun.load()) {
            ctl.acks[size_t(iWriter)].store(ctl.iEpoch.load());
            sleepUs(500);
            continue;
        }
        for (int i = 0; i < 64; ++i) writeLine(pWriter, id, iWriter, counts);
    }
}

// ---- The run ---------------------------------------------------------------

volatile sig_atomic_t g_bInterrupted = 0;
void onInterrupt(int) { g_bInterrupted = 1; }

struct Figures {
    int iCycles = 0;
    int iCrashes = 0;
    int iHangs = 0;
    std::vector<std::string> failures;
};

class Run {
public:
    Run(const Options& opts, IKQLOGWriter* pWriter, std::vector<KQLogId> ids,
        Child tool, Checker& checker)
        : m_opts(opts), m_pWriter(pWriter),
          m_ids(std::move(ids)), m_tool(tool), m_checker(checker),
          m_counts(size_t(opts.iThreads + 2)), m_ctl(opts.iThreads) {}

    int lapWriter() const { return m_opts.iThreads; }
    int slowWriter() const { return m_opts.iThreads + 1; }

    void fail(const std::string& s) {
        m_figures.failures.push_back(s);
        fprintf(stderr, "kqstress: FAIL: %s\n", s.c_str());
    }

    // False when the tool has ended (then counted as a crash).
    bool toolAlive() {
        if (m_tool.pid <= 0) return false;
        int status = 0;
        pid_t r = waitpid(m_tool.pid, &status, WNOHANG);
        if (r == 0) return true;
        m_tool.pid = -1;
        ++m_figures.iCrashes;
        if (WIFSIGNALED(status))
            fail("the tool died by signal " + std::to_string(WTERMSIG(status)) + " (" +
                 strsignal(WTERMSIG(status)) + ")");
        else
            fail("the tool exited with status " + std::to_string(WEXITSTATUS(status)));
        return false;
    }

    // Waits until the line seq of a writer is printed; false (a hang) when
    // it does not come within the catch-up time.
    bool awaitLine(int iWriter, uint64_t iSeq, const char* pWhat) {
        int64_t iDeadline = nowMs() + m_opts.iCatchUpMs;
        while (m_checker.lastSeq(iWriter) < int64_t(iSeq)) {
            if (nowMs() > iDeadline || !toolAlive() || g_bInterrupted) {
                if (m_tool.pid > 0) {
                    ++m_figures.iHangs;
                    fail(std::string(pWhat) + " did not come out within " +
                         std::to_string(m_opts.iCatchUpMs) + " ms (last seen " +
                         std::to_string(m_checker.lastSeq(iWriter)) + ", waited for " +
                         std::to_string(iSeq) + ")");
                }
                return false;
            }
            sleepUs(2000);
        }
        return true;
    }

    void writeOne(int iWriter) {
        writeLine(m_pWriter, m_ids[size_t(iWriter)], iWriter, m_counts[size_t(iWriter)]);
    }

    bool fullSpeedPhase() {
        m_checker.beginLapped();
        m_ctl.bRun.store(true);
        int64_t iEnd = nowMs() + m_opts.iFullMs;
        bool bOk = true;
        while (nowMs() < iEnd && !g_bInterrupted) {
            sleepUs(50000);
            if (!toolAlive()) {
                bOk = false;
                break;
            }
            if (nowMs() - m_checker.lastOutputMs() > m_opts.iHangMs) {
                ++m_figures.iHangs;
                fail("no output for " + std::to_string(m_opts.iHangMs) +
                     " ms while the writers ran");
                bOk = false;
                break;
            }
        }
        // Pause, and wait until every thread has finished its last line.
        m_ctl.bRun.store(false);
        int iEpoch = m_ctl.iEpoch.fetch_add(1) + 1;
        for (auto& ack : m_ctl.acks)
            while (ack.load() < iEpoch) sleepUs(200);
        return bOk;
    }

    // One line of the slow writer, which must come out; the tool is not
    // lapped from there on.
    bool sync(const char* pWhat) {
        int64_t iSeq = int64_t(m_counts[size_t(slowWriter())].nLines);
        m_checker.endLappedAt(slowWriter(), iSeq);
        writeOne(slowWriter());
        return awaitLine(slowWriter(), uint64_t(iSeq), pWhat);
    }

    bool forcedLap() {
        m_checker.beginLapped();
        if (kill(m_tool.pid, SIGSTOP) != 0) return false;
        int status = 0;
        // Until it has really stopped, it could still be reading.
        if (waitpid(m_tool.pid, &status, WUNTRACED) != m_tool.pid || !WIFSTOPPED(status)) {
            fail("the tool did not stop on SIGSTOP");
            return false;
        }
        WriterCounts& lap = m_counts[size_t(lapWriter())];
        uint64_t nTarget = lap.nBytes + uint64_t(m_opts.iLapRings) * uint64_t(m_opts.iRingSize);
        while (lap.nBytes < nTarget) writeOne(lapWriter());
        uint64_t iLastLap = lap.nLines - 1;
        kill(m_tool.pid, SIGCONT);

        WriterCounts& slow = m_counts[size_t(slowWriter())];
        m_checker.endLappedAt(slowWriter(), int64_t(slow.nLines.load()));
        for (int i = 0; i < m_opts.iSlowLines && !g_bInterrupted; ++i) {
            writeOne(slowWriter());
            sleepUs(m_opts.iSlowGapUs);
        }
        bool bOk = awaitLine(slowWriter(), slow.nLines - 1, "the last slow line");
        // The newest lap lines are still in the ring when the tool resumes.
        if (bOk && m_checker.lastSeq(lapWriter()) != int64_t(iLastLap)) {
            fail("the last line written while the tool was stopped (" +
                 std::to_string(iLastLap) + ") did not come out; last seen " +
                 std::to_string(m_checker.lastSeq(lapWriter())));
            bOk = false;
        }
        return bOk;
    }

    void run() {
        std::vector<std::thread> threads;
        for (int t = 0; t < m_opts.iThreads; ++t)
            threads.emplace_back(fullSpeedThread, m_pWriter, m_ids[size_t(t)], t,
                                 std::ref(m_counts[size_t(t)]), std::ref(m_ctl));
        int64_t iStart = nowMs();
        int64_t iEnd = iStart + int64_t(m_opts.iSeconds) * 1000;
        bool bOk = sync("the first line");
        while (bOk && nowMs() < iEnd && !g_bInterrupted) {
            bOk = fullSpeedPhase() && sync("the line after full speed") && forcedLap();
            if (bOk) ++m_figures.iCycles;
        }
        m_ctl.bQuit.store(true);
        for (std::thread& th : threads) th.join();
        m_iElapsedMs = nowMs() - iStart;
    }

    // Stops the tool with SIGTERM; it must die by that signal.
    void stopTool() {
        if (m_tool.pid <= 0) return;
        kill(m_tool.pid, SIGCONT);
        kill(m_tool.pid, SIGTERM);
        int status = 0;
        int64_t iDeadline = nowMs() + 5000;
        pid_t r;
        while ((r = waitpid(m_tool.pid, &status, WNOHANG)) == 0 && nowMs() < iDeadline)
            sleepUs(5000);
        if (r == 0) {
            kill(m_tool.pid, SIGKILL);
            waitpid(m_tool.pid, &status, 0);
            ++m_figures.iHangs;
            fail("the tool did not end within 5 s of SIGTERM");
        } else if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGTERM) {
            ++m_figures.iCrashes;
            fail(WIFSIGNALED(status)
                     ? "the tool died by signal " + std::to_string(WTERMSIG(status)) +
                           " instead of SIGTERM"
                     : "the tool exited with status " +
                           std::to_string(WEXITSTATUS(status)) + " on SIGTERM");
        }
        m_tool.pid = -1;
    }

    int report() {
        uint64_t nWritten = 0, nBytes = 0, nPrinted = 0, nSkipped = 0, nGaps = 0,
                 nDup = 0, nBack = 0, nNever = 0;
        for (size_t w = 0; w < m_counts.size(); ++w) {
            WriterSeen s = m_checker.seen(int(w));
            uint64_t nLines = m_counts[w].nLines;
            nWritten += nLines;
            nBytes += m_counts[w].nBytes;
            nPrinted += s.nPrinted;
            nGaps += s.nGaps;
            nDup += s.nDuplicates;
            nBack += s.nBackwards;
            if (s.iLastSeq >= int64_t(nLines)) ++nNever;
            // Lines before the first printed one count as missed too.
            nSkipped += nLines - s.nPrinted;
        }
        WriterSeen slow = m_checker.seen(slowWriter());
        WriterSeen lap = m_checker.seen(lapWriter());
        uint64_t nSlowMissed = m_counts[size_t(slowWriter())].nLines - slow.nPrinted;
        uint64_t nCorrupt = m_checker.corruptLines();
        uint64_t nCorruptLapped = m_checker.corruptWhileLapped();
        std::string strErr = m_checker.err();

        if (nCorrupt - nCorruptLapped)
            fail(std::to_string(nCorrupt - nCorruptLapped) +
                 " torn or corrupt lines while the tool was not lapped");
        if (nCorruptLapped && !m_opts.bLappedTornOk)
            fail(std::to_string(nCorruptLapped) +
                 " torn or corrupt lines while the tool was lapped");
        if (nDup) fail(std::to_string(nDup) + " lines printed twice");
        if (nBack) fail(std::to_string(nBack) + " lines printed after a newer one");
        if (nNever) fail("lines printed that were never written");
        if (nSlowMissed) fail(std::to_string(nSlowMissed) + " slow lines missed");
        // The tool reports laps on stderr, one line each; nothing else may
        // appear there.
        uint64_t nLapReports = 0;
        std::string strOtherErr;
        for (size_t iStart = 0; iStart < strErr.size();) {
            size_t iEnd = strErr.find('\n', iStart);
            if (iEnd == std::string::npos) iEnd = strErr.size();
            std::string line = strErr.substr(iStart, iEnd - iStart);
            if (line.rfind("kqlogreader: lapped by the writer: ", 0) == 0)
                ++nLapReports;
            else
                strOtherErr += line + "\n";
            iStart = iEnd + 1;
        }
        if (!strOtherErr.empty())
            fail("the tool wrote to stderr:\n" + strOtherErr.substr(0, 4000));
        printf("kqstress: %llu laps reported by the tool\n",
               static_cast<unsigned long long>(nLapReports));
        for (const std::string& s : m_checker.samples())
            fprintf(stderr, "kqstress: corrupt line, %s\n", s.c_str());

        double seconds = double(m_iElapsedMs) / 1000.0;
        printf("kqstress: %.1f s, %d writer threads, ring %d bytes, %d forced laps\n",
               seconds, m_opts.iThreads, m_opts.iRingSize, m_figures.iCycles);
        printf("  written: %" PRIu64 " lines, %" PRIu64 " bytes, ~%" PRIu64
               " wraps (%.0f/s)\n",
               nWritten, nBytes, nBytes / uint64_t(m_opts.iRingSize),
               seconds > 0 ? double(nBytes / uint64_t(m_opts.iRingSize)) / seconds : 0.0);
        printf("  printed: %" PRIu64 " lines (%.1f%%), failed reads retried: %" PRIu64 "\n",
               nPrinted, nWritten ? 100.0 * double(nPrinted) / double(nWritten) : 0.0,
               m_checker.failedReads());
        printf("  missed while lapped: %" PRIu64 " lines in %" PRIu64 " gaps\n", nSkipped,
               nGaps);
        printf("  forced laps: %" PRIu64 " lap lines written, %" PRIu64
               " printed; slow lines: %" PRIu64 " written, %" PRIu64 " missed\n",
               uint64_t(m_counts[size_t(lapWriter())].nLines), lap.nPrinted,
               uint64_t(m_counts[size_t(slowWriter())].nLines), nSlowMissed);
        printf("  torn/corrupt: %" PRIu64 " (%" PRIu64 " while lapped), duplicates: %" PRIu64
               ", out of order: %" PRIu64 ", crashes: %d, hangs: %d\n",
               nCorrupt, nCorruptLapped, nDup, nBack, m_figures.iCrashes, m_figures.iHangs);
        printf("kqstress: %s\n", m_figures.failures.empty() ? "PASS" : "FAIL");
        return m_figures.failures.empty() ? 0 : 1;
    }

private:
    const Options& m_opts;
    IKQLOGWriter* m_pWriter;
    std::vector<KQLogId> m_ids;
    Child m_tool;
    Checker& m_checker;
    std::vector<WriterCounts> m_counts;
    FullSpeed m_ctl;
    Figures m_figures;
    int64_t m_iElapsedMs = 0;
};

}  // namespace

int main(int argc, char* argv[]) {
    Options opts;
    if (!parseOptions(argc, argv, opts)) {
        fputs(kUsage, stderr);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    ScratchPath path;
    if (access("/var/run", W_OK) != 0 || !path.make()) {
        fprintf(stderr, "kqstress: cannot make a log path under /var/run; skipped\n");
        return 77;
    }
    IKQLOGWriter* pWriter = IKQLOGWriter::getInst();
    if (!pWriter || !pWriter->init(path.path().c_str(), opts.iRingSize)) return 1;
    std::vector<KQLogId> ids;
    for (int w = 0; w < opts.iThreads + 2; ++w) {
        KQLogId id = pWriter->registerTag(("w" + std::to_string(w)).c_str(),
                                          KQLOG_LEVEL_TRACE);
        if (id == KQLOG_INVALID_ID) return 1;
        ids.push_back(id);
    }

    Child tool = spawnTool(opts.strTool, path.service());
    if (tool.pid <= 0) {
        fprintf(stderr, "kqstress: cannot start %s\n", opts.strTool.c_str());
        return 1;
    }
    Checker checker(opts.iThreads + 2, "LogPath [" + path.path() + "]\n");
    std::thread reading([&] { checker.run(tool.fdOut, tool.fdErr); });

    Run run(opts, pWriter, ids, tool, checker);
    // The banner is flushed once the tool's cursor stands at the end.
    int64_t iDeadline = nowMs() + opts.iCatchUpMs;
    while (!checker.sawBanner() && nowMs() < iDeadline && run.toolAlive()) sleepUs(2000);
    if (!checker.sawBanner()) {
        run.fail("the tool printed no banner");
    } else {
        run.run();
    }
    run.stopTool();
    reading.join();
    close(tool.fdOut);
    close(tool.fdErr);
    if (g_bInterrupted) run.fail("interrupted");
    return run.report();
}
