// Black-box tests of where kqlogreader's output goes: a pipe whose reader
// goes away while the tool follows, a standard output that cannot be
// written, and a terminal, where control bytes of a log text are shown
// escaped instead of reaching the terminal as they are.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "TestSegment.h"
#include "ToolRunner.h"

namespace {

const std::string kTool = KQLOGREADER_PATH;
const std::string kPython = "/usr/bin/python3";

long long nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// kqlogreader started with standard output on a descriptor the test
// chooses (a pipe it reads itself, /dev/full) and standard error on a pipe
// collected when it ends. The destructor kills it if it still runs.
class DirectChild {
public:
    // bIgnoreSigpipe: the child sets SIGPIPE to SIG_IGN before exec, which
    // the tool inherits; otherwise SIGPIPE has its default action.
    DirectChild(const std::vector<std::string>& args, int fdStdout,
                bool bIgnoreSigpipe) {
        int errPipe[2];
        if (pipe2(errPipe, O_CLOEXEC) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            int devNull = open("/dev/null", O_RDONLY);
            dup2(devNull, 0);
            dup2(fdStdout, 1);
            dup2(errPipe[1], 2);
            signal(SIGPIPE, bIgnoreSigpipe ? SIG_IGN : SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            setenv("TZ", "UTC", 1);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(kTool.c_str()));
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(kTool.c_str(), argv.data());
            _exit(127);
        }
        close(errPipe[1]);
        m_fdErr = errPipe[0];
    }
    ~DirectChild() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_fdErr >= 0) close(m_fdErr);
    }
    DirectChild(const DirectChild&) = delete;
    DirectChild& operator=(const DirectChild&) = delete;

    bool started() const { return m_pid > 0; }

    // Waits up to timeoutMs for the process to end; true when it did. The
    // result then holds its status and standard error (out stays empty).
    bool waitEnd(int timeoutMs, ToolResult& result) {
        long long deadline = nowMs() + timeoutMs;
        int status = 0;
        for (;;) {
            pid_t done = waitpid(m_pid, &status, WNOHANG);
            if (done == m_pid) break;
            if (nowMs() >= deadline) return false;
            struct timespec pause = {0, 5 * 1000000L};
            nanosleep(&pause, nullptr);
        }
        m_pid = -1;
        if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
        // The writers of the pipe are gone: read to its end.
        char buf[4096];
        ssize_t n;
        while ((n = read(m_fdErr, buf, sizeof(buf))) > 0)
            result.err.append(buf, size_t(n));
        return true;
    }

private:
    pid_t m_pid = -1;
    int m_fdErr = -1;
};

// Reads fd until nBytes (or more) have come or timeoutMs has passed.
std::string readAtLeast(int fd, size_t nBytes, int timeoutMs) {
    std::string got;
    long long deadline = nowMs() + timeoutMs;
    while (got.size() < nBytes) {
        long long left = deadline - nowMs();
        if (left <= 0) break;
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, int(left)) <= 0) continue;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    return got;
}

// A tool test on a segment under /var/run: tag 0 named tag, one node per
// text, and the tool's arguments after -p NAME.
template <class Case>
class SegmentTest : public VarRunTest,
                    public ::testing::WithParamInterface<Case> {
protected:
    bool makeSegment(const std::string& tag,
                     const std::vector<std::string>& texts,
                     uint32_t ringSize = 64 * 1024) {
        m_seg.reset(new TestSegment(ringSize, "/var/run"));
        if (!m_seg->ok()) return false;
        m_seg->setTag(0, tag);
        for (const std::string& text : texts) m_seg->appendNode(text);
        return true;
    }
    TestSegment& seg() { return *m_seg; }
    std::vector<std::string> argsAfterName(
        const std::vector<std::string>& more) {
        std::vector<std::string> args = {"-p", m_seg->serviceName()};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
    std::string banner(const std::string& path) {
        return "LogPath [" + path + "]\n";
    }

private:
    std::unique_ptr<TestSegment> m_seg;
};

template <class Case>
std::string caseName(const ::testing::TestParamInfo<Case>& param) {
    return param.param.name;
}

// ---- A follower's pipe loses its reader ---------------------------------

struct ClosedPipeCase {
    const char* name;
    std::vector<std::string> args;  // after -p NAME
    bool bIgnoreSigpipe;
    bool bOldLineShown;  // the line written before the start is printed
};

void PrintTo(const ClosedPipeCase& c, std::ostream* os) { *os << c.name; }

using KqlogreaderClosedPipe = SegmentTest<ClosedPipeCase>;

// The reader of the pipe reads what is there and goes away while the
// follower waits for new lines. Nothing more is ever written, so the
// follower learns of it only by watching its standard output: it ends,
// by SIGPIPE or, with SIGPIPE ignored, by saying so with status 1.
TEST_P(KqlogreaderClosedPipe, EndsWithoutANewRecord) {
    const ClosedPipeCase& c = GetParam();
    ASSERT_TRUE(makeSegment("t", {"written before the start\n"}));

    int outPipe[2];
    ASSERT_EQ(pipe2(outPipe, O_CLOEXEC), 0);
    DirectChild child(argsAfterName(c.args), outPipe[1], c.bIgnoreSigpipe);
    close(outPipe[1]);
    ASSERT_TRUE(child.started());

    std::string expected = banner(seg().path());
    if (c.bOldLineShown)
        expected += "[INFO  t 01-01 00:00:00 0000] written before the start\n";
    std::string got = readAtLeast(outPipe[0], expected.size(), 5000);
    close(outPipe[0]);
    ASSERT_EQ(got, expected);

    // It ends in a few of its 10 ms sleeps; the bound leaves room for a
    // busy machine. A follower that only notices on its next write never
    // ends here.
    ToolResult r;
    ASSERT_TRUE(child.waitEnd(5000, r))
        << "still following 5 s after its pipe lost its reader";
    if (c.bIgnoreSigpipe) {
        EXPECT_EQ(r.termSignal, 0);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, "write to standard output failed: Broken pipe\n");
    } else {
        EXPECT_EQ(r.termSignal, SIGPIPE);
        EXPECT_EQ(r.err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Follow, KqlogreaderClosedPipe,
    ::testing::Values(
        ClosedPipeCase{"FromOldestSigpipeDefault", {"-d", "-n"}, false, true},
        ClosedPipeCase{"FromOldestSigpipeIgnored", {"-d", "-n"}, true, true},
        ClosedPipeCase{"FromNewestSigpipeDefault", {"-d", "-n", "-e"}, false,
                       false},
        ClosedPipeCase{"FromNewestSigpipeIgnored", {"-d", "-n", "-e"}, true,
                       false}),
    caseName<ClosedPipeCase>);

// ---- Standard output cannot be written ----------------------------------

struct FullDeviceCase {
    const char* name;
    std::vector<std::string> args;  // after -p NAME
};

void PrintTo(const FullDeviceCase& c, std::ostream* os) { *os << c.name; }

using KqlogreaderFullDevice = SegmentTest<FullDeviceCase>;

// /dev/full refuses every write with ENOSPC: printing once, following
// (which must end rather than go on following into nothing) and the tag
// listing all say so and end with status 1.
TEST_P(KqlogreaderFullDevice, ReportsTheFailedWrite) {
    const FullDeviceCase& c = GetParam();
    ASSERT_TRUE(makeSegment("t", {"a line that cannot be shown\n"}));

    int fdFull = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fdFull, 0) << strerror(errno);
    DirectChild child(argsAfterName(c.args), fdFull, false);
    close(fdFull);
    ASSERT_TRUE(child.started());

    ToolResult r;
    ASSERT_TRUE(child.waitEnd(5000, r)) << "still running 5 s on /dev/full";
    EXPECT_EQ(r.termSignal, 0);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err,
              "write to standard output failed: No space left on device\n");
}

INSTANTIATE_TEST_SUITE_P(
    DevFull, KqlogreaderFullDevice,
    ::testing::Values(FullDeviceCase{"Dump", {"-d"}},
                      FullDeviceCase{"Follow", {"-d", "-n"}},
                      FullDeviceCase{"FollowFromNewest", {"-d", "-n", "-e"}},
                      FullDeviceCase{"TagList", {"-s"}}),
    caseName<FullDeviceCase>);

// ---- Control bytes on a terminal ----------------------------------------

// Runs the tool with standard output on a pseudo-terminal whose output
// processing is off (so the bytes read from it are the bytes written) and
// prints what came out; standard error stays the caller's, and the
// tool's status is the script's.
const char* const kPtyScript = R"(
import os, sys, pty, termios, subprocess
master, slave = pty.openpty()
attrs = termios.tcgetattr(slave)
attrs[1] &= ~termios.OPOST
termios.tcsetattr(slave, termios.TCSANOW, attrs)
p = subprocess.Popen(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=slave)
os.close(slave)
out = b''
while True:
    try:
        chunk = os.read(master, 65536)
    except OSError:
        break
    if not chunk:
        break
    out += chunk
rc = p.wait()
sys.stdout.buffer.write(out)
sys.stdout.flush()
sys.exit(rc if rc >= 0 else 128 - rc)
)";

// ESC sequences, BEL, CR and DEL, a tab, a line feed inside the text and
// one at its end, and a UTF-8 letter.
const std::string kControlText =
    "red \x1b[31mALERT\x1b[0m\x07 back\rover\x7f\ttab\nsecond \xc3\xa9\n";

std::string prefix(const std::string& tag) {
    return "[INFO  " + tag + " 01-01 00:00:00 0000] ";
}
const std::string kPrefix = prefix("t");

// Any local user may write the tag table: a name with a line feed and a
// syslog priority after it (a forged message at severity emerg when
// shipped), a screen-clearing escape sequence and DEL, all ten bytes.
const std::string kHostileTag = "a\n<0>\x1b[2J\x7f";
const std::string kHostilePrefix = prefix("a\\x0a<0>\\x1b[2J\\x7f");
const std::string kHostileText = "forged\nemergency\n";

struct TerminalCase {
    const char* name;
    std::string tag;
    std::string text;
    std::vector<std::string> args;  // after -p NAME
    bool bOnTerminal;
    std::string out;  // after the banner, where the banner goes to stdout
};

void PrintTo(const TerminalCase& c, std::ostream* os) { *os << c.name; }

const std::vector<std::string> kShort = {"-d"};
const std::vector<std::string> kSyslog = {"-d", "--output=syslog"};
const std::vector<std::string> kJson = {"-d", "--output=json"};

const std::string kJsonLine =
    "{\"time\":\"1970-01-01T00:00:00.000+00:00\",\"level\":\"INFO\","
    "\"tag\":\"t\",\"tag_id\":0,\"text\":\"red \\u001b[31mALERT\\u001b[0m"
    "\\u0007 back\\rover\x7f\\ttab\\nsecond \xc3\xa9\"}\n";

const std::string kHostileJson =
    "{\"time\":\"1970-01-01T00:00:00.000+00:00\",\"level\":\"INFO\","
    "\"tag\":\"a\\n<0>\\u001b[2J\x7f\",\"tag_id\":0,"
    "\"text\":\"forged\\nemergency\"}\n";

// Only the text's line feed begins a line, terminal or not.
const std::string kHostileSyslog = "<6>" + kHostilePrefix + "forged\n" +
                                   "<6>" + kHostilePrefix + "emergency\n";

const std::string kHostileListing =
    "LogBufSize: [65536] Bytes\nAllLevels: \n0 -> TRACE\n1 -> DEBUG\n"
    "2 -> INFO \n3 -> WARN \n4 -> ERROR\n5 -> FATAL\n"
    "[0] Tag[a\\x0a<0>\\x1b[2J\\x7f] Level[INFO :2] [Enabled]\n";

const TerminalCase kTerminalCases[] = {
    {"ShortTerminal", "t", kControlText, kShort, true,
     kPrefix + "red \\x1b[31mALERT\\x1b[0m\\x07 back\\x0dover\\x7f\ttab"
               "\\nsecond \xc3\xa9\n"},
    {"ShortPipe", "t", kControlText, kShort, false, kPrefix + kControlText},
    {"SyslogTerminal", "t", kControlText, kSyslog, true,
     "<6>" + kPrefix + "red \\x1b[31mALERT\\x1b[0m\\x07 back\\x0dover\\x7f"
                       "\ttab\n"
     "<6>" + kPrefix + "second \xc3\xa9\n"},
    {"SyslogPipe", "t", kControlText, kSyslog, false,
     "<6>" + kPrefix + "red \x1b[31mALERT\x1b[0m\x07 back\rover\x7f\ttab\n"
     "<6>" + kPrefix + "second \xc3\xa9\n"},
    {"JsonTerminal", "t", kControlText, kJson, true, kJsonLine},
    {"JsonPipe", "t", kControlText, kJson, false, kJsonLine},
    {"HostileTagShortTerminal", kHostileTag, kHostileText, kShort, true,
     kHostilePrefix + "forged\\nemergency\n"},
    // Into a pipe the short format keeps the stored bytes, tag and text.
    {"HostileTagShortPipe", kHostileTag, kHostileText, kShort, false,
     prefix(kHostileTag) + kHostileText},
    {"HostileTagSyslogTerminal", kHostileTag, kHostileText, kSyslog, true,
     kHostileSyslog},
    {"HostileTagSyslogPipe", kHostileTag, kHostileText, kSyslog, false,
     kHostileSyslog},
    {"HostileTagJsonTerminal", kHostileTag, kHostileText, kJson, true,
     kHostileJson},
    {"HostileTagJsonPipe", kHostileTag, kHostileText, kJson, false,
     kHostileJson},
    {"HostileTagListTerminal", kHostileTag, kHostileText, {"-s"}, true,
     kHostileListing},
    {"HostileTagListPipe", kHostileTag, kHostileText, {"-s"}, false,
     kHostileListing},
};

using KqlogreaderTerminal = SegmentTest<TerminalCase>;

// A terminal sees the control bytes of a text or tag name spelt out; a
// pipe gets the stored bytes as they are. The machine formats and the tag
// listing are the same either way and never carry a tag's bytes raw.
TEST_P(KqlogreaderTerminal, ShowsControlBytes) {
    const TerminalCase& c = GetParam();
    if (c.bOnTerminal && access(kPython.c_str(), X_OK) != 0)
        GTEST_SKIP() << kPython << " runs the tool on a pseudo-terminal";
    ASSERT_TRUE(makeSegment(c.tag, {c.text}));
    ASSERT_EQ(std::string(seg().head()->logInfos[0].strLogTag, c.tag.size()),
              c.tag);

    const std::vector<std::string> args = argsAfterName(c.args);
    ToolResult r;
    if (c.bOnTerminal) {
        std::vector<std::string> wrapped = {"-c", kPtyScript, kTool};
        wrapped.insert(wrapped.end(), args.begin(), args.end());
        r = runTool(kPython, wrapped);
    } else {
        r = runTool(kTool, args);
    }
    // The record formats keep standard output for records.
    const bool bRecordFormat = c.args.size() > 1;
    EXPECT_EQ(r.out, bRecordFormat ? c.out : banner(seg().path()) + c.out);
    EXPECT_EQ(r.err, bRecordFormat ? banner(seg().path()) : "");
    EXPECT_EQ(r.exitStatus, 1);
}

INSTANTIATE_TEST_SUITE_P(Formats, KqlogreaderTerminal,
                         ::testing::ValuesIn(kTerminalCases),
                         caseName<TerminalCase>);

// ---- -V diagnostics -----------------------------------------------------

// A copy of a segment's bytes in a file of its own under /tmp, for
// --file; removed when the test ends.
class ImageFile {
public:
    ImageFile(const uint8_t* p, size_t n) {
        char path[] = "/tmp/kqimage-XXXXXX";
        int fd = mkstemp(path);
        if (fd < 0) return;
        m_strPath = path;
        bool bOk = write(fd, p, n) == ssize_t(n);
        close(fd);
        if (!bOk) {
            unlink(path);
            m_strPath.clear();
        }
    }
    ~ImageFile() {
        if (!m_strPath.empty()) unlink(m_strPath.c_str());
    }
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;
    bool ok() const { return !m_strPath.empty(); }
    const std::string& path() const { return m_strPath; }

private:
    std::string m_strPath;
};

struct VerboseCase {
    const char* name;
    const char* format;  // --output, or nullptr for the default
    bool bFromFile;      // --file IMAGE instead of -p NAME
    bool bFollow;        // -n, stopped by SIGTERM once the lines are out
};

void PrintTo(const VerboseCase& c, std::ostream* os) { *os << c.name; }

using KqlogreaderVerbose = SegmentTest<VerboseCase>;

// With -V the library reports the segment's sizes and each node it reads:
// to standard error in the record formats, so that standard output stays
// records only; on standard output, in order with the lines, in the short
// format.
TEST_P(KqlogreaderVerbose, DiagnosticsLeaveTheRecordFormatsOutput) {
    const VerboseCase& c = GetParam();
    ASSERT_TRUE(makeSegment("t", {}, 8192));
    seg().appendNode("one\n", 0, 2, 1, 0);
    seg().appendNode("two\n", 0, 3, 2, 0);
    ImageFile image(seg().bytes(), seg().bytesSize());
    ASSERT_TRUE(image.ok());

    const std::string& source = c.bFromFile ? image.path() : seg().path();
    std::vector<std::string> args = {
        c.bFromFile ? "--file" : "-p",
        c.bFromFile ? image.path() : seg().serviceName(), "-d", "-V"};
    if (c.bFollow) args.push_back("-n");
    if (c.format) args.push_back(std::string("--output=") + c.format);

    const bool bJson = c.format && std::string(c.format) == "json";
    std::string records;
    if (!c.format) {
        records = "[INFO  t 01-01 00:00:01 0000] one\n"
                  "[WARN  t 01-01 00:00:02 0000] two\n";
    } else if (bJson) {
        records =
            "{\"time\":\"1970-01-01T00:00:01.000+00:00\",\"level\":\"INFO\","
            "\"tag\":\"t\",\"tag_id\":0,\"text\":\"one\"}\n"
            "{\"time\":\"1970-01-01T00:00:02.000+00:00\",\"level\":\"WARN\","
            "\"tag\":\"t\",\"tag_id\":0,\"text\":\"two\"}\n";
    } else {
        records = "<6>[INFO  t 01-01 00:00:01 0000] one\n"
                  "<4>[WARN  t 01-01 00:00:02 0000] two\n";
    }

    ToolResult r;
    if (c.bFollow) {
        BackgroundTool tool(kTool, args);
        ASSERT_TRUE(tool.started());
        // The short format's output holds the diagnostics too: wait for the
        // last line's text.
        long long deadline = nowMs() + 5000;
        while (tool.out().find(c.format ? records : "] two\n") ==
                   std::string::npos &&
               nowMs() < deadline)
            tool.waitForOut(tool.out().size() + 1, 100);
        tool.sendSignal(SIGTERM);
        r = tool.finish();
        EXPECT_EQ(r.termSignal, SIGTERM);
    } else {
        r = runTool(kTool, args);
        EXPECT_EQ(r.exitStatus, 1);
    }

    const std::string head =
        banner(source) + "Shm hdr Size [3608], logcontentbuf size[8192]\n";
    const std::string& diagnostics = c.format ? r.err : r.out;
    EXPECT_EQ(diagnostics.compare(0, head.size(), head), 0) << diagnostics;
    EXPECT_NE(diagnostics.find("Read log succeed! logSize[4] logLevel[3] \n"),
              std::string::npos)
        << diagnostics;
    if (!c.format) {
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.out.find("[INFO  t 01-01 00:00:01 0000] one\n"),
                  std::string::npos);
        return;
    }
    EXPECT_EQ(r.out, records);
    for (const std::string& line : splitLines(r.out))
        EXPECT_EQ(line.substr(0, 1), bJson ? "{" : "<") << line;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, KqlogreaderVerbose,
    ::testing::Values(VerboseCase{"Short", nullptr, false, false},
                      VerboseCase{"Json", "json", false, false},
                      VerboseCase{"Syslog", "syslog", false, false},
                      VerboseCase{"JsonFromFile", "json", true, false},
                      VerboseCase{"SyslogFromFile", "syslog", true, false},
                      VerboseCase{"JsonFollow", "json", false, true},
                      VerboseCase{"SyslogFollow", "syslog", false, true}),
    caseName<VerboseCase>);

}  // namespace
