// kqlogger run as a child process; what it wrote is read back through
// kqlogreader and straight from the segment.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "KQShmLogWriter.h"
#include "TestSegment.h"
#include "ToolRunner.h"
#include "writer_support.h"

namespace {

struct Expected {
    std::string out, err;
    int status;
};

void expectRun(const ToolResult& r, const Expected& e) {
    EXPECT_EQ(r.out, e.out);
    EXPECT_EQ(r.err, e.err);
    EXPECT_EQ(r.exitStatus, e.status);
}

ToolResult logger(const std::vector<std::string>& args) {
    return runTool(KQLOGGER_PATH, args);
}

const char* const SETPRIV = "/usr/bin/setpriv";

// kqlogger run as the user nobody: uid and gid 65534, no other groups.
ToolResult loggerAsNobody(const std::vector<std::string>& args) {
    std::vector<std::string> full = {"--reuid=65534", "--regid=65534", "--clear-groups",
                                     KQLOGGER_PATH};
    full.insert(full.end(), args.begin(), args.end());
    return runTool(SETPRIV, full);
}

// Tests of kqlogger run by another user than the one who made the log.
class KqloggerAsNobody : public VarRunTest {
protected:
    void SetUp() override {
        VarRunTest::SetUp();
        if (IsSkipped()) return;
        if (geteuid() != 0) GTEST_SKIP() << "only root can run kqlogger as nobody";
        if (access(SETPRIV, X_OK) != 0) GTEST_SKIP() << "no " << SETPRIV;
        ToolResult r = loggerAsNobody({"-h"});
        if (r.exitStatus != 0)
            GTEST_SKIP() << "nobody cannot run " << KQLOGGER_PATH << ": " << r.err;
    }
};

// A new directory (mkdtemp) in dir. The destructor removes the files in it,
// with any segments under their keys, then the directory, pass or fail.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& dir) {
        std::string tmpl = dir + "/kqwdir-XXXXXX";
        if (mkdtemp(&tmpl[0])) m_strPath = tmpl;
    }
    ~ScratchDir() {
        if (m_strPath.empty()) return;
        for (const std::string& name : entries()) {
            std::string path = m_strPath + "/" + name;
            removeSegmentsUnder(ftok(path.c_str(), 0));
            unlink(path.c_str());
        }
        rmdir(m_strPath.c_str());
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool ok() const { return !m_strPath.empty(); }
    const std::string& path() const { return m_strPath; }
    std::string base() const { return m_strPath.substr(m_strPath.rfind('/') + 1); }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        if (DIR* d = opendir(m_strPath.c_str())) {
            while (struct dirent* e = readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                    names.push_back(e->d_name);
            closedir(d);
        }
        return names;
    }

private:
    std::string m_strPath;
};

}  // namespace

TEST(Kqlogger, WritesArgumentsAndEachInputLine) {
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    const std::string name = lp.serviceName();
    unlink(lp.path().c_str());  // the logger makes it

    expectRun(logger({"-p", name, "hello", "", "world"}), {"", "", 0});
    EXPECT_EQ(access(lp.path().c_str(), F_OK), 0);
    expectRun(runWithInput(KQLOGGER_PATH, {"-p", name, "-t", "in", "-l", "warn"},
                           std::string("one\ntwo\r\n\nnul\0!\nlast", 20)),
              {"", "", 0});
    expectRun(logger({"-p", name, "-l", "5", "ends\n"}), {"", "", 0});

    SegmentPeek seg(ftok(lp.path().c_str(), 0));
    std::vector<NodeSeen> nodes;
    ASSERT_TRUE(seg.walk(nodes));
    EXPECT_EQ(seg.texts(), (std::vector<std::string>{"hello  world\n", "one\n", "two\r\n", "\n",
                                                    "nul?!\n", "last\n", "ends\n"}));
    ToolResult r = runTool(KQLOGREADER_PATH, {"-p", name, "-d"});
    EXPECT_EQ(r.out, seg.expectedDump(name, nodes));
    EXPECT_NE(r.out.find("[FATAL kqlogger "), std::string::npos);
    EXPECT_NE(r.out.find("[WARN  in "), std::string::npos);
}

TEST(Kqlogger, CutsLongMessagesSoTheLineFeedFits) {
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    const std::vector<std::pair<std::string, std::string>> cases = {
        {std::string(300, 'x'), std::string(254, 'x') + "\n"},
        {std::string(254, 'b'), std::string(254, 'b') + "\n"},
        {std::string(254, 'c') + "\n", std::string(254, 'c') + "\n"},
        {std::string(253, 'a') + "\xC3\xA9", std::string(253, 'a') + "\n"},
        {std::string(252, 'a') + "\xE2\x82\xAC", std::string(252, 'a') + "\n"},
    };
    std::vector<std::string> stored;
    for (const auto& c : cases) {
        expectRun(logger({"-p", lp.serviceName(), c.first}), {"", "", 0});
        stored.push_back(c.second);
    }
    EXPECT_EQ(SegmentPeek(lp.key()).texts(), stored);
}

TEST(Kqlogger, ObeysTheTagLevelAndSwitchAnOperatorSets) {
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    const std::string name = lp.serviceName();
    expectRun(logger({"-p", name, "-t", "net", "-l", "TRACE", "new tags take all"}), {"", "", 0});
    runTool(KQLOGREADER_PATH, {"-p", name, "-i", "0", "-l", "4"});
    expectRun(logger({"-p", name, "-t", "net", "-l", "WARN", "dropped"}), {"", "", 0});
    expectRun(logger({"-p", name, "-t", "net", "-l", "ERROR", "kept"}), {"", "", 0});
    runTool(KQLOGREADER_PATH, {"-p", name, "-f", "0"});
    expectRun(logger({"-p", name, "-t", "net", "-l", "FATAL", "off"}), {"", "", 0});
    EXPECT_EQ(SegmentPeek(lp.key()).texts(),
              (std::vector<std::string>{"new tags take all\n", "kept\n"}));
}

TEST(Kqlogger, KeepsTheRingAcrossRunsUntilAnotherSizeIsAsked) {
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    const std::string name = lp.serviceName();
    std::vector<std::string> written;
    for (int i = 0; i < 60; ++i) {
        std::string text = "run " + std::to_string(i) + " " + std::string(size_t(i * 13 % 120), '=');
        std::vector<std::string> args = {"-p", name, text};
        if (i == 0) args.insert(args.begin(), {"-b", "1024"});
        expectRun(logger(args), {"", "", 0});
        written.push_back(text + "\n");
    }
    SegmentPeek seg(lp.key());
    EXPECT_EQ(seg.head()->logbufsize, 1024u);
    std::vector<NodeSeen> nodes;
    ASSERT_TRUE(seg.walk(nodes));
    std::vector<std::string> chain = seg.texts();
    ASSERT_GT(chain.size(), 3u);
    EXPECT_LT(chain.size(), 30u);
    EXPECT_TRUE(std::equal(chain.rbegin(), chain.rend(), written.rbegin()));
    EXPECT_EQ(runTool(KQLOGREADER_PATH, {"-p", name, "-d"}).out,
              seg.expectedDump(name, nodes));

    expectRun(logger({"-b", "2048", "-p", name, "afresh"}), {"", "", 0});
    SegmentPeek resized(lp.key());
    EXPECT_EQ(resized.head()->logbufsize, 2048u);
    EXPECT_EQ(resized.texts(), std::vector<std::string>{"afresh\n"});
}

TEST(Kqlogger, UsageAndBadOptions) {
    const std::string tryHelp = "Try 'kqlogger -h' for help.\n";
    const std::vector<std::pair<std::vector<std::string>, Expected>> cases = {
        {{"-h"},
         {"usage: kqlogger -p NAME [-t TAG] [-l LEVEL] [-b BUFSIZE]\n"
          "                [--mode MODE [--group GROUP]] [message ...]\n"
          "Writes the message, or each line of standard input when none is given,\n"
          "into the shared-memory log of service NAME (log path /var/run/NAME,\n"
          "created when missing). Show it with kqlogreader -p NAME -d.\n"
          "  -p NAME     the service name\n"
          "  -t TAG      tag of the messages, 1 to 10 bytes (default kqlogger)\n"
          "  -l LEVEL    TRACE, DEBUG, INFO, WARN, ERROR, FATAL or 0 to 5\n"
          "              (default INFO); messages below the tag's level are\n"
          "              dropped (a new tag takes all, kqlogreader -l sets it)\n"
          "  -b BUFSIZE  ring size in bytes, 550 to 2147480039; a log with a ring of\n"
          "              another size is started afresh (default: the existing\n"
          "              log's size, 65536 for a new log)\n"
          "  --mode MODE\n"
          "              who may use the log, as octal permission bits 0600 to\n"
          "              0777, e.g. 0640: the owner writes, the group reads, others\n"
          "              nothing; an existing log is switched to them, which takes\n"
          "              its owner or root (default: 0666 for a new log, an\n"
          "              existing log keeps its own)\n"
          "  --group GROUP\n"
          "              with --mode: the log's group, a name or a number\n"
          "              (default: the writer's own group)\n"
          "  -h          show this help\n"
          "A message is cut to 254 bytes and ends with one line feed.\n",
          "", 0}},
        {{"msg"}, {"", "kqlogger: -p NAME is required\n" + tryHelp, 1}},
        {{"-p"}, {"", "kqlogger: option -p needs a value\n" + tryHelp, 1}},
        {{"-p", "x", "-q"}, {"", "kqlogger: unknown option -q\n" + tryHelp, 1}},
        {{"-p", "x", "-t", "elevenbytes"},
         {"", "kqlogger: bad value [elevenbytes] for -t: 1 to 10 bytes\n" + tryHelp, 1}},
        {{"-p", "x", "-l", "6"},
         {"", "kqlogger: bad value [6] for -l: TRACE, DEBUG, INFO, WARN, ERROR, FATAL or 0 "
              "to 5\n" + tryHelp, 1}},
        {{"-p", "x", "-b", "549"},
         {"", "kqlogger: bad value [549] for -b: 550 to 2147480039 bytes\n" + tryHelp, 1}},
        {{"-p", "x", "-b", "4k"},
         {"", "kqlogger: bad value [4k] for -b: 550 to 2147480039 bytes\n" + tryHelp, 1}},
        {{"-p", "kq-no-such-dir/x", "msg"},
         {"", "kqlogger: cannot create log path [/var/run/kq-no-such-dir/x]: No such file "
              "or directory\n", 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first.empty() ? "" : c.first.back());
        expectRun(logger(c.first), c.second);
    }
    EXPECT_NE(access("/var/run/x", F_OK), 0);
}

// A tag name is printed at the start of each of its lines: a control
// byte in it could forge a line or drive the reader's terminal. Refused
// before anything is touched, and the refusal shows the name escaped.
TEST(Kqlogger, RefusesTagNamesWithControlBytes) {
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    const std::string name = lp.serviceName();
    const std::string tryHelp = "Try 'kqlogger -h' for help.\n";
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"\x1b[2J", "\\x1b[2J"},
        {"a\n<0>", "a\\x0a<0>"},
        {"tab\there", "tab\\x09here"},
        {"cr\r", "cr\\x0d"},
        {"\x01", "\\x01"},
        {"\x1f", "\\x1f"},
        {"del\x7f", "del\\x7f"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.second);
        expectRun(logger({"-p", name, "-t", c.first, "msg"}),
                  {"", "kqlogger: bad value [" + c.second +
                           "] for -t: no control characters\n" + tryHelp,
                   1});
    }
    EXPECT_EQ(lp.shmId(), -1) << "a refused tag created the log";

    // Blanks, punctuation and bytes above 0x7F are names like any other.
    const std::vector<std::string> accepted = {"a b", "<0>", "caf\xC3\xA9",
                                               "~!@#$%^&*("};
    for (const std::string& tag : accepted) {
        SCOPED_TRACE(tag);
        expectRun(logger({"-p", name, "-t", tag, "msg"}), {"", "", 0});
    }
    SegmentPeek seg(lp.key());
    ASSERT_TRUE(seg.ok());
    ASSERT_EQ(size_t(seg.head()->currLogInfoIndex), accepted.size());
    for (size_t i = 0; i < accepted.size(); ++i)
        EXPECT_EQ(std::string(seg.head()->logInfos[i].strLogTag),
                  accepted[i]);
}

// Standard output on /dev/full, which refuses every write: the help text
// that cannot be written is a failure, said on standard error. A run that
// prints nothing there is not affected.
TEST(Kqlogger, ReportsAFailedWriteOfItsOutput) {
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    const std::vector<std::pair<std::vector<std::string>, Expected>> cases = {
        {{"-h"},
         {"", "kqlogger: write to standard output failed: No space left on device\n",
          1}},
        {{"-p", lp.serviceName(), "written"}, {"", "", 0}},
        {{"-p", "x", "-q"},
         {"", "kqlogger: unknown option -q\nTry 'kqlogger -h' for help.\n", 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first.back());
        int fdFull = open("/dev/full", O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fdFull, 0) << strerror(errno);
        ToolResult r = runToolWithStdout(KQLOGGER_PATH, c.first, fdFull);
        close(fdFull);
        expectRun(r, c.second);
        EXPECT_EQ(r.termSignal, 0);
    }
    EXPECT_EQ(SegmentPeek(lp.key()).texts(), std::vector<std::string>{"written\n"});
}

// An operator's note among a running service's lines: kqlogger writes into
// the log this process holds, between two of its lines. A writer of an
// earlier release, which locks the path exclusively, still keeps it out.
TEST(Kqlogger, AddsALineToALogARunningWriterHolds) {
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    IKQLOGWriter* pWriter = IKQLOGWriter::getInst();
    ASSERT_TRUE(pWriter->init(lp.path().c_str(), 0));
    KQLogId id = pWriter->registerTag("web", KQLOG_LEVEL_TRACE);
    ASSERT_TRUE(pWriter->log(id, KQLOG_LEVEL_INFO, "request 1\n"));
    expectRun(logger({"-p", lp.serviceName(), "-t", "ops", "deploy started"}), {"", "", 0});
    ASSERT_TRUE(pWriter->log(id, KQLOG_LEVEL_INFO, "request 2\n"));
    EXPECT_EQ(SegmentPeek(lp.key()).texts(),
              (std::vector<std::string>{"request 1\n", "deploy started\n", "request 2\n"}));

    ScratchLogPath old("/var/run");
    ASSERT_TRUE(old.ok());
    int fdOld = open(old.path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(fdOld, LOCK_EX), 0);
    expectRun(logger({"-p", old.serviceName(), "msg"}),
              {"", "kqlogger: cannot lock log path [" + old.path() +
                       "]: in use by another writer\n", 1});
    close(fdOld);
}

// Names that would reach outside /var/run/ or name a file oddly are refused
// before anything is touched. The refused names resolve into two scratch
// directories (or onto the log path in one of them), which must stay as
// they were: no new file, no segment under the existing path's key.
TEST(Kqlogger, RefusesBadLogNamesAndCreatesNothing) {
    ScratchDir runDir("/var/run"), tmpDir("/tmp");
    ASSERT_TRUE(runDir.ok() && tmpDir.ok());
    ScratchLogPath lp(runDir.path());
    ASSERT_TRUE(lp.ok());
    const std::string d = runDir.base();
    const std::string file = lp.path().substr(lp.path().rfind('/') + 1);
    const std::vector<std::string> refused = {
        "../../tmp/" + tmpDir.base() + "/x",
        d + "/../" + d + "/x",
        d + "/..",
        "..",
        d + "//" + file,
        d + "/" + file + "/",
        "/" + d + "/" + file,
        "/",
        d + "/x\x01",
        d + "/x\x1f",
        d + "/x\x7f",
        d + "/x\ny",
        d + "/\tx",
    };
    for (const std::string& name : refused) {
        SCOPED_TRACE(name);
        expectRun(logger({"-p", name, "msg"}),
                  {"", "kqlogger: bad log name [" + name + "]\nTry 'kqlogger -h' for help.\n",
                   1});
    }
    EXPECT_EQ(runDir.entries(), std::vector<std::string>{file});
    EXPECT_EQ(tmpDir.entries(), std::vector<std::string>{});
    EXPECT_EQ(lp.shmId(), -1);

    // Dots, blanks and bytes above 0x7F are fine within a component.
    const std::vector<std::string> accepted = {d + "/...", d + "/x..y", d + "/.x",
                                               d + "/caf\xC3\xA9 au lait"};
    for (const std::string& name : accepted) {
        SCOPED_TRACE(name);
        expectRun(logger({"-p", name, "msg"}), {"", "", 0});
        EXPECT_EQ(SegmentPeek(ftok(("/var/run/" + name).c_str(), 0)).texts(),
                  std::vector<std::string>{"msg\n"});
    }
}

// An existing log path is only opened for reading: another user writes
// into a log root made, and the path stays as it was.
TEST_F(KqloggerAsNobody, WritesALogRootMade) {
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    const std::string name = lp.serviceName();
    unlink(lp.path().c_str());  // made by kqlogger, as a service's would be
    expectRun(logger({"-p", name, "from root"}), {"", "", 0});
    struct stat before;
    ASSERT_EQ(stat(lp.path().c_str(), &before), 0);
    int id = lp.shmId();

    expectRun(loggerAsNobody({"-p", name, "-t", "nobody", "from nobody"}), {"", "", 0});
    EXPECT_EQ(SegmentPeek(lp.key()).texts(),
              (std::vector<std::string>{"from root\n", "from nobody\n"}));
    EXPECT_EQ(lp.shmId(), id);
    struct stat after;
    ASSERT_EQ(stat(lp.path().c_str(), &after), 0);
    EXPECT_EQ(after.st_uid, 0u);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_mtime, before.st_mtime);
}

// Each failure on the log path names the step that failed.
TEST_F(KqloggerAsNobody, SaysWhetherTheLogPathCouldNotBeCreatedOrOpened) {
    ScratchLogPath missing("/var/run"), unreadable("/var/run");
    ASSERT_TRUE(missing.ok() && unreadable.ok());
    unlink(missing.path().c_str());
    ASSERT_EQ(chmod(unreadable.path().c_str(), 0600), 0);
    const std::vector<std::pair<const ScratchLogPath*, std::string>> cases = {
        {&missing, "kqlogger: cannot create log path [" + missing.path() +
                       "]: Permission denied\n"},
        {&unreadable, "kqlogger: cannot open log path [" + unreadable.path() +
                          "]: Permission denied\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first->path());
        expectRun(loggerAsNobody({"-p", c.first->serviceName(), "msg"}), {"", c.second, 1});
    }
    // No segment under the existing path's key. The missing path has no
    // key to look under (its old inode may already name a parallel test's
    // file): that it was not created says enough.
    EXPECT_EQ(unreadable.shmId(), -1);
    EXPECT_NE(access(missing.path().c_str(), F_OK), 0);
}

// A log restarted by a writer keeps its start time, so node times count
// from it: an hour back here. The seconds field is little-endian and the
// reader prints start time plus it, the time of writing.
TEST(Kqlogger, StampsSecondsFromTheStartTimeOfAnAdoptedLog) {
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    const std::string name = lp.serviceName();
    expectRun(logger({"-p", name, "created"}), {"", "", 0});
    SegmentPeek seg(lp.key());
    ASSERT_TRUE(seg.ok());
    const int64_t start = seg.head()->starttime - 3600;
    seg.head()->starttime = start;

    const time_t t0 = time(nullptr);
    expectRun(logger({"-p", name, "an hour on"}), {"", "", 0});
    const time_t t1 = time(nullptr);

    std::vector<NodeSeen> nodes;
    ASSERT_TRUE(seg.walk(nodes));
    ASSERT_EQ(nodes.size(), 2u);
    const uint8_t* node = seg.ring() + nodes[1].pos;
    uint32_t sec = 0;
    for (int i = 0; i < 4; ++i) sec |= uint32_t(node[3 + i]) << (8 * i);
    const uint16_t ms = uint16_t(node[7] | node[8] << 8);
    // time() may trail the writer's clock by a tick.
    EXPECT_GE(int64_t(sec), int64_t(t0) - start);
    EXPECT_LE(int64_t(sec), int64_t(t1) + 1 - start);
    EXPECT_GE(sec, 3600u);
    EXPECT_LT(ms, 1000);

    char stamp[40];
    time_t written = time_t(start + sec);
    struct tm tm;
    gmtime_r(&written, &tm);
    snprintf(stamp, sizeof(stamp), "%02d-%02d %02d:%02d:%02d %04u", tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, unsigned(ms));
    ToolResult r = runTool(KQLOGREADER_PATH, {"-p", name, "-d"}, {"TZ=UTC"});
    std::vector<std::string> lines = splitLines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[2], "[INFO  kqlogger " + std::string(stamp) + "] an hour on");
    EXPECT_EQ(r.out, seg.expectedDump(name, nodes));
}
