// kqstress: writer threads fill a small ring at full speed while
// `kqlogreader -d -n -e` follows it from a child process; a checker reads
// the tool's output as it comes and judges every line.
//
// Every text is "w<writer> <seq> <payload>\n", its payload and level derived
// from (writer, seq), so the checker can tell an exact copy of a written
// text from anything else. seq is one count for all writers: a line takes
// its number and is appended under one lock, so the ring holds the lines in
// the order of their numbers and the tool must print them in rising order.
//
// The run repeats a cycle until its time is up:
//   1. full speed: the writer threads write as fast as they can; the tool is
//      lapped over and over, so lines go missing, and output may not stop
//      while the writers run;
//   2. sync: the threads pause and one line is written; it must come out,
//      and so must every line still in the ring then;
//   3. forced lap: the tool is stopped (SIGSTOP), three rings' worth are
//      written, the tool is continued (SIGCONT);
//   4. slow: lines are written one every few milliseconds; every one of them
//      and every lap line still in the ring must come out.
// At the end the tool gets SIGTERM and must die by it, with nothing but lap
// reports on its standard error.
//
// What fails the run, each counted and reported:
//   backwards      a line printed after a newer one, not printed before
//   twice          a line printed again
//   skipped while not lapped
//                  a line never printed that had to come out: a sync or slow
//                  line, or one that stayed in the ring from its writing to
//                  the end of its phase (lost only if the tool skipped it)
//   failed reads   "nextLog return false!!": nobody damages this ring
//   torn           a line that is not an exact copy of a written text (cut,
//                  mixed, bytes from inside a node read as one), lapped or not
// and crashes, hangs and anything else on the tool's standard error.
// Lines lost while the tool is lapped are counted, not failures.
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

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KQShmLogLock.h"
#include "KQShmLogWriter.h"

namespace {

const char* const kLevelNames[6] = {"TRACE", "DEBUG", "INFO ",
                                    "WARN ", "ERROR", "FATAL"};
const char kFailedLine[] = "nextLog return false!!";
// Ring bytes a node takes besides its text: header and terminator.
const uint64_t kNodeOverhead = 10;
// The newest nodes stay in the ring while they and the nodes after them
// take at most the ring less this: the padding a wrap leaves (under the
// wrap threshold, 284 bytes) and the parts of evicted nodes a new node does
// not cover (each under the largest node, 265 bytes).
const uint64_t kRetainSlack = 2 * 284 + 3 * 265;

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
    "                [--lap-rings N] [--tool PATH]\n";

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

// Payloads are cut from this pool, filled once: texts are made under the
// writers' common lock, so they must be cheap to make.
const size_t kPoolSize = 4096;
const size_t kMaxPayload = 200;
const char* payloadPool() {
    static const std::vector<char> pool = [] {
        static const char kAlphabet[] =
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,:;-_";
        std::vector<char> bytes(kPoolSize);
        uint64_t h = 1;
        for (char& c : bytes) c = kAlphabet[(h = mix(h)) % (sizeof(kAlphabet) - 1)];
        return bytes;
    }();
    return pool.data();
}

// The text of line seq, written as writer iWriter, into buf (at least 256
// bytes); returns its length, at most 255 with the line feed.
size_t makeText(int iWriter, uint64_t iSeq, char* buf) {
    uint64_t h = mix(uint64_t(iWriter) << 48 ^ iSeq);
    int n = snprintf(buf, 64, "w%d %" PRIu64 " ", iWriter, iSeq);
    size_t nLen = size_t(n);
    size_t nPayload = size_t(h % (kMaxPayload + 1));
    memcpy(buf + nLen, payloadPool() + (h >> 32) % (kPoolSize - kMaxPayload), nPayload);
    nLen += nPayload;
    buf[nLen++] = '\n';
    return nLen;
}

ENUM_KQLOG_LEVEL levelOf(uint64_t iSeq) { return ENUM_KQLOG_LEVEL(iSeq % 6); }

// ---- Writing ---------------------------------------------------------------

// Every line goes through here: it takes the next number and is appended
// under one lock, so that the order of the ring is the order of the
// numbers. (The writer library serialises appends too, but a number taken
// outside its lock could reach the ring behind a higher one.)
class LineSource {
public:
    LineSource(IKQLOGWriter* pWriter, std::vector<KQLogId> ids, int iRingSize)
        : m_pWriter(pWriter), m_ids(std::move(ids)), m_nRing(uint64_t(iRingSize)),
          m_ends(size_t(iRingSize) / (kNodeOverhead + 1) + 2),
          m_written(m_ids.size()) {}

    // Writes the next line as writer iWriter; returns its number.
    uint64_t write(int iWriter) {
        char buf[300];
        std::lock_guard<std::mutex> guard(m_mutex);
        uint64_t iSeq = m_iNext.load(std::memory_order_relaxed);
        size_t nLen = makeText(iWriter, iSeq, buf);
        // Before the append: the tool may print the line before log()
        // returns.
        m_iTaken.store(iSeq + 1, std::memory_order_release);
        m_pWriter->log(m_ids[size_t(iWriter)], levelOf(iSeq), buf, nLen);
        uint64_t nBytes = m_nBytes.load(std::memory_order_relaxed) + nLen + kNodeOverhead;
        m_ends[iSeq % m_ends.size()] = nBytes;
        m_nBytes.store(nBytes, std::memory_order_relaxed);
        m_written[size_t(iWriter)].fetch_add(1, std::memory_order_relaxed);
        m_iNext.store(iSeq + 1, std::memory_order_release);
        return iSeq;
    }

    // Lines written so far: the number the next line gets.
    uint64_t lines() const { return m_iNext.load(std::memory_order_acquire); }
    // Lines written or being written: a line numbered past them was never
    // written.
    uint64_t taken() const { return m_iTaken.load(std::memory_order_acquire); }
    uint64_t linesOf(int iWriter) const { return m_written[size_t(iWriter)].load(); }
    uint64_t bytes() const { return m_nBytes.load(std::memory_order_relaxed); }

    // The oldest line that is still in the ring, for certain, as long as
    // nothing is written after the newest line: the lines from it on fill
    // at most the ring less kRetainSlack.
    uint64_t oldestRetained() {
        std::lock_guard<std::mutex> guard(m_mutex);
        uint64_t iNext = m_iNext.load(std::memory_order_relaxed);
        uint64_t nTotal = m_nBytes.load(std::memory_order_relaxed);
        uint64_t nRoom = m_nRing > kRetainSlack ? m_nRing - kRetainSlack : 0;
        // Every node takes more than kNodeOverhead bytes, so the answer lies
        // within the last m_ends.size() - 1 lines, whose ends are kept.
        uint64_t iLo = iNext > m_ends.size() - 1 ? iNext - (m_ends.size() - 1) : 0;
        uint64_t iHi = iNext;  // none retained
        while (iLo < iHi) {
            uint64_t iMid = iLo + (iHi - iLo) / 2;
            uint64_t nBefore = iMid == 0 ? 0 : m_ends[(iMid - 1) % m_ends.size()];
            if (nTotal - nBefore <= nRoom) iHi = iMid;
            else iLo = iMid + 1;
        }
        return iHi;
    }

private:
    IKQLOGWriter* m_pWriter;
    std::vector<KQLogId> m_ids;
    uint64_t m_nRing;
    std::mutex m_mutex;
    std::atomic<uint64_t> m_iNext{0};
    std::atomic<uint64_t> m_iTaken{0};
    std::atomic<uint64_t> m_nBytes{0};  // ring bytes taken: text + 10 a node
    // Ring bytes taken up to and including line seq, at seq % size, for the
    // lines that can still be in the ring.
    std::vector<uint64_t> m_ends;
    std::vector<std::atomic<uint64_t>> m_written;
};

// ---- The log path and the tool --------------------------------------------

// A new file under /var/run whose key has no segment yet; removes the
// segments under its key, the writers' lock beside them and the file when
// done.
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
                m_lockKey = ftok(tmpl, KQLOG_LOCK_PROJECT_ID);
                return true;
            }
            m_refused.push_back(tmpl);
        }
        return false;
    }
    ~ScratchPath() {
        for (key_t key : {m_key, m_lockKey}) {
            int id;
            while (key != -1 && (id = shmget(key, 0, 0)) != -1)
                if (shmctl(id, IPC_RMID, nullptr) == -1) break;
        }
        if (!m_strPath.empty()) unlink(m_strPath.c_str());
        for (const std::string& s : m_refused) unlink(s.c_str());
    }
    const std::string& path() const { return m_strPath; }
    std::string service() const { return m_strPath.substr(strlen("/var/run/")); }

private:
    std::string m_strPath;
    key_t m_key = -1;
    key_t m_lockKey = -1;
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

// Lines never printed, first..last, between two lines printed in order.
struct Gap {
    uint64_t iFirst;
    uint64_t iLast;
};

struct Findings {
    uint64_t nPrinted = 0;
    uint64_t nBackwards = 0;
    uint64_t iLongestStepBack = 0;  // in lines
    uint64_t nTwice = 0;
    uint64_t nFailedReads = 0;
    uint64_t nTorn = 0;
};

// Reads the tool's stdout and stderr and judges every line. Runs on its own
// thread; the main thread asks for figures under the mutex.
class Checker {
public:
    Checker(const LineSource& source, int iWriters, const std::string& strBanner)
        : m_source(source), m_printedBy(size_t(iWriters)), m_strBanner(strBanner),
          m_slots(kWindow, UINT64_MAX) {}

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
        if (!m_strPending.empty()) torn(m_strPending.data(), m_strPending.size());
        m_strPending.clear();
    }

    int64_t lastOutputMs() const { return m_iLastOutputMs.load(); }
    // What the main thread is doing, for the samples.
    void setPhase(const char* pPhase) { m_pPhase.store(pPhase); }

    // Lines first..last had to come out: the tool was not lapped while they
    // were in the ring.
    void mustPrint(uint64_t iFirst, uint64_t iLast, const char* pWhat) {
        std::lock_guard<std::mutex> guard(m_mutex);
        // Kept apart and rising, as the count of skipped lines expects.
        if (!m_musts.empty()) iFirst = std::max(iFirst, m_musts.back().iLast + 1);
        if (iFirst <= iLast) m_musts.push_back({iFirst, iLast, pWhat});
    }

    bool sawBanner() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_bBanner;
    }
    // The newest line printed, -1 for none.
    int64_t newest() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_iNewest;
    }
    uint64_t printedBy(int iWriter) {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_printedBy[size_t(iWriter)];
    }
    Findings findings() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_findings;
    }
    std::vector<Gap> gaps() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_gaps;
    }
    std::string err() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_strErr;
    }
    std::vector<std::string> samples() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_samples;
    }

    // Lines skipped that had to come out, with a few of the places.
    uint64_t skippedWhileNotLapped(std::vector<std::string>& places) {
        std::lock_guard<std::mutex> guard(m_mutex);
        uint64_t nSkipped = 0;
        // Both lists rise and do not overlap within themselves.
        size_t g = 0;
        for (const Must& m : m_musts) {
            while (g < m_gaps.size() && m_gaps[g].iLast < m.iFirst) ++g;
            for (size_t h = g; h < m_gaps.size() && m_gaps[h].iFirst <= m.iLast; ++h) {
                uint64_t iFrom = std::max(m_gaps[h].iFirst, m.iFirst);
                uint64_t iTo = std::min(m_gaps[h].iLast, m.iLast);
                nSkipped += iTo - iFrom + 1;
                if (places.size() < 10)
                    places.push_back("lines " + std::to_string(iFrom) + ".." +
                                     std::to_string(iTo) + " of " + m.pWhat + " (" +
                                     std::to_string(m.iFirst) + ".." +
                                     std::to_string(m.iLast) + ")");
            }
        }
        return nSkipped;
    }

private:
    // A printed line is remembered at seq % kWindow: a line printed again
    // within that many lines of the newest is told from one printed late.
    static const size_t kWindow = size_t(1) << 20;

    struct Must {
        uint64_t iFirst;
        uint64_t iLast;
        const char* pWhat;
    };

    void sample(const std::string& s) {
        if (m_samples.size() < 20) m_samples.push_back(s + " [" + m_pPhase.load() + "]");
    }

    // strWritten: what was written under the line's number, when it has one.
    void torn(const char* p, size_t n, const std::string& strWritten = "") {
        ++m_findings.nTorn;
        sample("torn line after line " + std::to_string(m_iNewest) + ": " + std::string(p, n) +
               (strWritten.empty() ? "" : "  written: " + strWritten));
    }

    static bool digits(const char* p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (p[i] < '0' || p[i] > '9') return false;
        return true;
    }

    void printed(int iWriter, uint64_t iSeq) {
        uint64_t& slot = m_slots[iSeq % kWindow];
        if (m_iNewest < 0 || iSeq > uint64_t(m_iNewest)) {
            if (int64_t(iSeq) > m_iNewest + 1)
                m_gaps.push_back({uint64_t(m_iNewest + 1), iSeq - 1});
            m_iNewest = int64_t(iSeq);
            slot = iSeq;
            ++m_findings.nPrinted;
            ++m_printedBy[size_t(iWriter)];
            return;
        }
        if (slot == iSeq) {
            ++m_findings.nTwice;
            sample("line " + std::to_string(iSeq) + " printed again after line " +
                   std::to_string(m_iNewest));
            return;
        }
        uint64_t nBack = uint64_t(m_iNewest) - iSeq;
        ++m_findings.nBackwards;
        m_findings.iLongestStepBack = std::max(m_findings.iLongestStepBack, nBack);
        slot = iSeq;
        sample("line " + std::to_string(iSeq) + " printed after line " +
               std::to_string(m_iNewest));
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
            ++m_findings.nFailedReads;
            sample("failed read after line " + std::to_string(m_iNewest));
            return;
        }
        // '[' + level(5) + ' ' + 'w' at least.
        if (n < 9 || p[0] != '[' || p[6] != ' ' || p[7] != 'w') return torn(p, n);
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
            return torn(p, n);
        i += 16;
        size_t nMs = 0;
        while (i + nMs < n && p[i + nMs] >= '0' && p[i + nMs] <= '9') ++nMs;
        if (nMs != 4 || i + nMs + 2 > n || p[i + nMs] != ']' || p[i + nMs + 1] != ' ' ||
            p[i] != '0' /* under 1000 ms */)
            return torn(p, n);
        const char* pText = p + i + nMs + 2;
        size_t nText = n - size_t(pText - p);

        int iWriter = -1;
        uint64_t iSeq = 0;
        int iUsed = 0;
        std::string strText(pText, nText);
        if (sscanf(strText.c_str(), "w%d %" SCNu64 " %n", &iWriter, &iSeq, &iUsed) != 2 ||
            iUsed == 0 || iWriter != iTagWriter || iWriter < 0 ||
            size_t(iWriter) >= m_printedBy.size())
            return torn(p, n);
        // A line numbered past the last one written was never written.
        char expected[300];
        size_t nExpected = makeText(iWriter, iSeq, expected);
        if (iSeq >= m_source.taken())
            return torn(p, n, "a line never written");
        if (nExpected != nText || memcmp(expected, pText, nText) != 0 ||
            memcmp(p + 1, kLevelNames[iSeq % 6], 5) != 0)
            return torn(p, n, std::string(kLevelNames[iSeq % 6]) + " " +
                                  std::string(expected, nExpected));
        printed(iWriter, iSeq);
    }

    const LineSource& m_source;
    std::mutex m_mutex;
    std::vector<uint64_t> m_printedBy;
    std::string m_strBanner;
    bool m_bBanner = false;
    std::string m_strPending;
    std::string m_strErr;
    int64_t m_iNewest = -1;
    std::vector<uint64_t> m_slots;
    std::vector<Gap> m_gaps;
    std::vector<Must> m_musts;
    Findings m_findings;
    std::vector<std::string> m_samples;
    std::atomic<int64_t> m_iLastOutputMs{0};
    std::atomic<const char*> m_pPhase{"start"};
};

// ---- Writers -------------------------------------------------------------

// Threads write at full speed while bRun is set; when it is cleared each
// acknowledges the pause epoch it saw and waits.
struct FullSpeed {
    std::atomic<bool> bRun{false};
    std::atomic<bool> bQuit{false};
    std::atomic<int> iEpoch{0};
    std::vector<std::atomic<int>> acks;
    explicit FullSpeed(int n) : acks(size_t(n)) {}
};

void fullSpeedThread(LineSource& source, int iWriter, FullSpeed& ctl) {
    while (!ctl.bQuit.load()) {
        if (!ctl.bRun.load()) {
            ctl.acks[size_t(iWriter)].store(ctl.iEpoch.load());
            sleepUs(500);
            continue;
        }
        for (int i = 0; i < 64; ++i) source.write(iWriter);
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
    Run(const Options& opts, LineSource& source, Child tool, Checker& checker)
        : m_opts(opts), m_source(source), m_tool(tool), m_checker(checker),
          m_ctl(opts.iThreads) {}

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

    // Waits until line seq or a newer one is printed; false (a hang) when
    // none comes within the catch-up time.
    bool awaitLine(uint64_t iSeq, const char* pWhat) {
        int64_t iDeadline = nowMs() + m_opts.iCatchUpMs;
        while (m_checker.newest() < int64_t(iSeq)) {
            if (nowMs() > iDeadline || !toolAlive() || g_bInterrupted) {
                if (m_tool.pid > 0) {
                    ++m_figures.iHangs;
                    fail(std::string(pWhat) + " did not come out within " +
                         std::to_string(m_opts.iCatchUpMs) + " ms (newest printed " +
                         std::to_string(m_checker.newest()) + ", waited for " +
                         std::to_string(iSeq) + ")");
                }
                return false;
            }
            sleepUs(2000);
        }
        return true;
    }

    bool fullSpeedPhase() {
        m_checker.setPhase("full speed");
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

    // One line of the slow writer with the writers held back: it must come
    // out, and so must the lines still in the ring with it.
    bool sync(const char* pWhat) {
        m_checker.setPhase("sync");
        uint64_t iSeq = m_source.write(slowWriter());
        m_checker.mustPrint(m_source.oldestRetained(), iSeq,
                            "the lines in the ring when the writers paused");
        return awaitLine(iSeq, pWhat);
    }

    bool forcedLap() {
        m_checker.setPhase("tool stopped");
        if (kill(m_tool.pid, SIGSTOP) != 0) return false;
        int status = 0;
        // Until it has really stopped, it could still be reading.
        if (waitpid(m_tool.pid, &status, WUNTRACED) != m_tool.pid || !WIFSTOPPED(status)) {
            fail("the tool did not stop on SIGSTOP");
            return false;
        }
        uint64_t nTarget =
            m_source.bytes() + uint64_t(m_opts.iLapRings) * uint64_t(m_opts.iRingSize);
        while (m_source.bytes() < nTarget) m_source.write(lapWriter());
        kill(m_tool.pid, SIGCONT);

        m_checker.setPhase("slow");
        uint64_t iFirstSlow = m_source.lines(), iLastSlow = iFirstSlow;
        for (int i = 0; i < m_opts.iSlowLines && !g_bInterrupted; ++i) {
            iLastSlow = m_source.write(slowWriter());
            sleepUs(m_opts.iSlowGapUs);
        }
        // Every slow line, and the lap lines that stayed in the ring till
        // the last slow line (the tool cannot have been lapped after
        // it continued).
        m_checker.mustPrint(std::min(m_source.oldestRetained(), iFirstSlow), iLastSlow,
                            "the lap lines still in the ring and the slow lines");
        return awaitLine(iLastSlow, "the last slow line");
    }

    void run() {
        std::vector<std::thread> threads;
        for (int t = 0; t < m_opts.iThreads; ++t)
            threads.emplace_back(fullSpeedThread, std::ref(m_source), t, std::ref(m_ctl));
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
        m_checker.setPhase("end");
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
        Findings f = m_checker.findings();
        std::vector<Gap> gaps = m_checker.gaps();
        uint64_t nSkipped = 0;
        for (const Gap& g : gaps) nSkipped += g.iLast - g.iFirst + 1;
        std::vector<std::string> places;
        uint64_t nMustSkipped = m_checker.skippedWhileNotLapped(places);
        uint64_t nWritten = m_source.lines();
        uint64_t nBytes = m_source.bytes();
        std::string strErr = m_checker.err();

        if (f.nBackwards)
            fail(std::to_string(f.nBackwards) + " lines printed after a newer one");
        if (f.nTwice) fail(std::to_string(f.nTwice) + " lines printed twice");
        if (nMustSkipped)
            fail(std::to_string(nMustSkipped) +
                 " lines skipped while the tool was not lapped");
        if (f.nFailedReads)
            fail(std::to_string(f.nFailedReads) + " failed reads in an undamaged ring");
        if (f.nTorn)
            fail(std::to_string(f.nTorn) + " lines that are no written text");
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
        for (const std::string& s : m_checker.samples())
            fprintf(stderr, "kqstress: %s\n", s.c_str());
        for (const std::string& s : places) fprintf(stderr, "kqstress: skipped %s\n", s.c_str());

        double seconds = double(m_iElapsedMs) / 1000.0;
        uint64_t nWraps = nBytes / uint64_t(m_opts.iRingSize);
        printf("kqstress: %.1f s, %d writer threads, ring %d bytes, %d forced laps\n",
               seconds, m_opts.iThreads, m_opts.iRingSize, m_figures.iCycles);
        printf("  written: %" PRIu64 " lines, %" PRIu64 " bytes, ~%" PRIu64
               " wraps (%.0f/s)\n",
               nWritten, nBytes, nWraps, seconds > 0 ? double(nWraps) / seconds : 0.0);
        printf("  printed: %" PRIu64 " lines (%.1f%%); %" PRIu64 " laps reported by the tool\n",
               f.nPrinted, nWritten ? 100.0 * double(f.nPrinted) / double(nWritten) : 0.0,
               nLapReports);
        printf("  skipped: %" PRIu64 " lines in %" PRIu64 " gaps, %" PRIu64
               " of them while the tool was not lapped\n",
               nSkipped, uint64_t(gaps.size()), nMustSkipped);
        printf("  forced laps: %" PRIu64 " lap lines written, %" PRIu64
               " printed; slow lines: %" PRIu64 " written, %" PRIu64 " printed\n",
               m_source.linesOf(lapWriter()), m_checker.printedBy(lapWriter()),
               m_source.linesOf(slowWriter()), m_checker.printedBy(slowWriter()));
        printf("  backwards: %" PRIu64 " (longest step back %" PRIu64 " lines), twice: %" PRIu64
               ", failed reads: %" PRIu64 ", torn: %" PRIu64 ", crashes: %d, hangs: %d\n",
               f.nBackwards, f.iLongestStepBack, f.nTwice, f.nFailedReads, f.nTorn,
               m_figures.iCrashes, m_figures.iHangs);
        // One line for scripts (bench/storm.sh).
        printf("kqstress: counts backwards=%" PRIu64 " twice=%" PRIu64
               " skipped_not_lapped=%" PRIu64 " failed_reads=%" PRIu64 " torn=%" PRIu64
               " laps=%" PRIu64 " crashes=%d hangs=%d\n",
               f.nBackwards, f.nTwice, nMustSkipped, f.nFailedReads, f.nTorn, nLapReports,
               m_figures.iCrashes, m_figures.iHangs);
        printf("kqstress: %s\n", m_figures.failures.empty() ? "PASS" : "FAIL");
        return m_figures.failures.empty() ? 0 : 1;
    }

private:
    const Options& m_opts;
    LineSource& m_source;
    Child m_tool;
    Checker& m_checker;
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
    LineSource source(pWriter, ids, opts.iRingSize);

    Child tool = spawnTool(opts.strTool, path.service());
    if (tool.pid <= 0) {
        fprintf(stderr, "kqstress: cannot start %s\n", opts.strTool.c_str());
        return 1;
    }
    Checker checker(source, opts.iThreads + 2, "LogPath [" + path.path() + "]\n");
    std::thread reading([&] { checker.run(tool.fdOut, tool.fdErr); });

    Run run(opts, source, tool, checker);
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
