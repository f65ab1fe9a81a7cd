// Logs only for those allowed: a writer's opt-in mode and group
// (IKQLOGWriter::init with a mode, kqlogger --mode/--group), and readers
// that may read a log but not write it (a read-only attachment).
//
// The tools run as users without a login account, through setpriv: uid
// 65534 (nobody) and, where a second user is needed, an unused uid; the
// group of a restricted log is a gid no group has, picked per run, so
// nothing is added to the system. Log paths and segments are removed pass
// or fail (ScratchLogPath, TestSegment).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "KQShmLogReaderImp.h"
#include "KQShmLogStream.h"
#include "KQShmLogWriter.h"
#include "TestSegment.h"
#include "ToolRunner.h"
#include "writer_support.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

const char* const SETPRIV = "/usr/bin/setpriv";
const uid_t NOBODY = 65534;
const gid_t NOGROUP = 65534;

// The first id from iFrom up that no user (bUser) or group has.
unsigned unusedId(unsigned iFrom, bool bUser) {
    for (unsigned id = iFrom; id < iFrom + 1000; ++id)
        if (bUser ? getpwuid(uid_t(id)) == nullptr
                  : getgrgid(gid_t(id)) == nullptr)
            return id;
    return 0;
}

// Who runs a tool: uid and gid, and the one supplementary group (none
// for 0).
struct RunAs {
    uid_t uid;
    gid_t gid;
    gid_t group;
};

// setpriv's arguments that run program with args as who.
std::vector<std::string> setprivArgs(const RunAs& who, const std::string& program,
                                     const std::vector<std::string>& args) {
    std::vector<std::string> full = {
        "--reuid=" + std::to_string(who.uid), "--regid=" + std::to_string(who.gid),
        who.group ? "--groups=" + std::to_string(who.group) : "--clear-groups", "--",
        program};
    full.insert(full.end(), args.begin(), args.end());
    return full;
}

ToolResult runAs(const RunAs& who, const std::string& program,
                 const std::vector<std::string>& args) {
    return runTool(SETPRIV, setprivArgs(who, program, args));
}

ToolResult reader(const std::vector<std::string>& args) {
    return runTool(KQLOGREADER_PATH, args);
}

ToolResult logger(const std::vector<std::string>& args) {
    return runTool(KQLOGGER_PATH, args);
}

struct ShmPerm {
    int mode = -1;  // permission bits; -1: no segment
    uid_t uid = 0;
    gid_t gid = 0;
    uid_t cuid = 0;
};

ShmPerm permUnder(key_t key) {
    ShmPerm perm;
    int id = shmget(key, 0, 0);
    struct shmid_ds ds;
    if (id == -1 || shmctl(id, IPC_STAT, &ds) == -1) return perm;
    perm.mode = int(ds.shm_perm.mode & 0777);
    perm.uid = ds.shm_perm.uid;
    perm.gid = ds.shm_perm.gid;
    perm.cuid = ds.shm_perm.cuid;
    return perm;
}

// The bytes of the segment under key: what must stay as it was.
std::string segmentBytes(key_t key) {
    SegmentPeek seg(key);
    if (!seg.ok()) return std::string();
    return std::string(reinterpret_cast<const char*>(seg.head()), seg.bytes());
}

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs the tools as other users. Needs root (setpriv, and only root may
// take other ids) and tools that nobody may run from where they were built.
class AccessAsOtherUsers : public VarRunTest {
protected:
    void SetUp() override {
        VarRunTest::SetUp();
        if (IsSkipped()) return;
        if (geteuid() != 0) GTEST_SKIP() << "only root can run the tools as other users";
        if (access(SETPRIV, X_OK) != 0) GTEST_SKIP() << "no " << SETPRIV;
        group = gid_t(unusedId(61000, false));
        otherGroup = gid_t(unusedId(group + 1, false));
        stranger = uid_t(unusedId(61000, true));
        ASSERT_NE(group, 0u);
        ASSERT_NE(otherGroup, 0u);
        ASSERT_NE(stranger, 0u);
        member = {NOBODY, NOGROUP, group};
        outsider = {NOBODY, NOGROUP, 0};
        ToolResult r = runAs(outsider, KQLOGREADER_PATH, {"--version"});
        if (r.exitStatus != 0)
            GTEST_SKIP() << "nobody cannot run " << KQLOGREADER_PATH << ": " << r.err;
        ASSERT_TRUE(lp.ok());
        name = lp.serviceName();
        // Other users' kqlogger opens the log path to lock it.
        ASSERT_EQ(chmod(lp.path().c_str(), 0644), 0);
    }

    // A log of two tags and three records, written by root with kqlogger
    // and extra options (none: the default, 0666).
    void writeLog(const std::vector<std::string>& access) {
        std::vector<std::string> args = {"-p", name, "-t", "net"};
        args.insert(args.end(), access.begin(), access.end());
        args.push_back("link up");
        ToolResult r = logger(args);
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        ASSERT_EQ(logger({"-p", name, "-t", "disk", "-l", "WARN", "disk full"}).exitStatus, 0);
        ASSERT_EQ(logger({"-p", name, "-t", "net", "-l", "ERROR", "link down"}).exitStatus, 0);
    }

    std::string restricted() { return "--group=" + std::to_string(group); }
    std::string banner() const { return "LogPath [" + lp.path() + "]\n"; }
    std::string refusal() const {
        return "kqlogreader: no permission to change log [" + lp.path() +
               "]: Permission denied\n";
    }

    gid_t group = 0;       // the restricted logs' group
    gid_t otherGroup = 0;  // a group that has nothing to do with them
    uid_t stranger = 0;
    RunAs member{}, outsider{};
    ScratchLogPath lp{"/var/run"};
    std::string name;
};

// The runs that change the log, and what root sees them change.
const std::vector<std::vector<std::string>> CHANGES = {
    {"-l", "3"}, {"-i", "0", "-l", "0"}, {"-t", "1"}, {"-f", "0"}, {"-f", "1", "-d"},
};

}  // namespace

// ---- kqlogreader as a member of the log's group: reads, never changes ----

TEST_F(AccessAsOtherUsers, MemberOfTheGroupReadsARestrictedLog) {
    writeLog({"--mode", "0640", restricted()});
    ShmPerm perm = permUnder(lp.key());
    EXPECT_EQ(perm.mode, 0640);
    EXPECT_EQ(perm.gid, group);
    EXPECT_EQ(perm.uid, 0u);

    // Every reading run prints for the member what it prints for root.
    const std::vector<std::vector<std::string>> reads = {
        {"-d"}, {"-d", "-e"}, {"-s"}, {"-d", "--lines", "1"},
        {"-d", "--tag", "net", "--level", "ERROR"}, {"-d", "--output", "json"},
        {"-d", "--output", "syslog"}, {"-s", "-l", "3"}, {"-l", "6", "-t", "0"},
    };
    for (const auto& args : reads) {
        std::vector<std::string> full = {"-p", name};
        full.insert(full.end(), args.begin(), args.end());
        SCOPED_TRACE(full.back());
        ToolResult asRoot = reader(full);
        ToolResult asMember = runAs(member, KQLOGREADER_PATH, full);
        EXPECT_EQ(asMember.out, asRoot.out);
        EXPECT_EQ(asMember.err, asRoot.err);
        EXPECT_EQ(asMember.exitStatus, asRoot.exitStatus);
    }
    EXPECT_NE(reader({"-p", name, "-d"}).out.find("] link down\n"), std::string::npos);

    // -V says how the log was attached.
    ToolResult verbose = runAs(member, KQLOGREADER_PATH, {"-p", name, "-V", "-s"});
    EXPECT_NE(verbose.out.find("Shm attached read-only (read-write: Permission denied)\n"),
              std::string::npos)
        << verbose.out;
    EXPECT_EQ(reader({"-p", name, "-V", "-s"}).out.find("read-only"), std::string::npos);

    // -D: the dump is the segment, as root's is.
    TempDirectory dir;
    ASSERT_TRUE(dir.ok());
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    ToolResult dumped = runAs(member, KQLOGREADER_PATH, {"-p", name, "-D", dir.file("member.bin")});
    EXPECT_EQ(dumped.err, "");
    EXPECT_EQ(reader({"-p", name, "-D", dir.file("root.bin")}).err, "");
    EXPECT_EQ(fileBytes(dir.file("member.bin")), fileBytes(dir.file("root.bin")));
    EXPECT_EQ(fileBytes(dir.file("member.bin")), segmentBytes(lp.key()));
}

// -d -n: the member follows the log while root writes into it.
TEST_F(AccessAsOtherUsers, MemberOfTheGroupFollowsARestrictedLog) {
    writeLog({"--mode", "0640", restricted()});
    const std::string before = reader({"-p", name, "-d"}).out;
    BackgroundTool follower(SETPRIV, setprivArgs(member, KQLOGREADER_PATH, {"-p", name, "-d", "-n"}));
    ASSERT_TRUE(follower.started());
    ASSERT_TRUE(follower.waitForOut(before.size(), 5000)) << follower.out() << follower.err();
    ASSERT_EQ(logger({"-p", name, "-t", "net", "written while followed"}).exitStatus, 0);
    const std::string after = reader({"-p", name, "-d"}).out;
    EXPECT_TRUE(follower.waitForOut(after.size(), 5000)) << follower.out();
    follower.sendSignal(SIGTERM);
    ToolResult r = follower.finish();
    EXPECT_EQ(r.out, after);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.termSignal, SIGTERM);
}

// -l, -t and -f: the message, status 1, and the log as it was; nothing
// is printed from the log either (the run ends before -d).
TEST_F(AccessAsOtherUsers, MemberOfTheGroupCannotChangeARestrictedLog) {
    writeLog({"--mode", "0640", restricted()});
    const std::string original = segmentBytes(lp.key());
    ASSERT_FALSE(original.empty());
    for (const auto& args : CHANGES) {
        std::vector<std::string> full = {"-p", name};
        full.insert(full.end(), args.begin(), args.end());
        SCOPED_TRACE(args.front() + " " + args.back());
        ToolResult r = runAs(member, KQLOGREADER_PATH, full);
        EXPECT_EQ(r.out, banner());
        EXPECT_EQ(r.err, refusal());
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(segmentBytes(lp.key()), original);
    }
}

// Whoever may not read the log gets the attach failure, for reading and
// changing runs alike.
TEST_F(AccessAsOtherUsers, OthersCannotReadARestrictedLog) {
    writeLog({"--mode", "0640", restricted()});
    const std::string original = segmentBytes(lp.key());
    const RunAs elsewhere{stranger, otherGroup, NOGROUP};
    std::vector<std::vector<std::string>> runs = {{"-d"}, {"-d", "-n"}, {"-s"}};
    runs.insert(runs.end(), CHANGES.begin(), CHANGES.end());
    for (const RunAs& who : {outsider, elsewhere}) {
        for (const auto& args : runs) {
            std::vector<std::string> full = {"-p", name};
            full.insert(full.end(), args.begin(), args.end());
            SCOPED_TRACE(std::to_string(who.uid) + " " + args.front());
            ToolResult r = runAs(who, KQLOGREADER_PATH, full);
            EXPECT_EQ(r.out, banner() + "Init failed!! Please check your LogPath!\n");
            EXPECT_EQ(r.err, "shmat failed(Permission denied)\n");
            EXPECT_EQ(r.exitStatus, 1);
        }
    }
    EXPECT_EQ(segmentBytes(lp.key()), original);
}

// Root attaches any segment read-write, and changes levels and switches.
TEST_F(AccessAsOtherUsers, RootStillChangesARestrictedLog) {
    writeLog({"--mode", "0600"});
    EXPECT_EQ(permUnder(lp.key()).mode, 0600);
    ToolResult r = reader({"-p", name, "-l", "4"});
    EXPECT_EQ(r.out, banner() + "Setting Default Log Level: 4\n");
    EXPECT_EQ(r.err, "");
    r = reader({"-p", name, "-i", "1", "-l", "1", "-f", "0"});
    EXPECT_EQ(r.out, banner() + "Setting Log Level[ID:1]: 1\nLog Tag[ID:0] Disabled\n");
    SegmentPeek seg(lp.key());
    ASSERT_TRUE(seg.ok());
    EXPECT_EQ(seg.head()->logInfos[0].nLogLevel, 4);
    EXPECT_EQ(seg.head()->logInfos[0].bEnable, 0);
    EXPECT_EQ(seg.head()->logInfos[1].nLogLevel, 1);
    EXPECT_EQ(seg.head()->logInfos[1].bEnable, 1);
}

// Without --mode nothing changes: 0666, and every user reads and changes.
TEST_F(AccessAsOtherUsers, DefaultLogIsOpenToEveryUserAsBefore) {
    writeLog({});
    EXPECT_EQ(permUnder(lp.key()).mode, 0666);
    for (const RunAs& who : {outsider, member}) {
        SCOPED_TRACE(who.group);
        ToolResult asRoot = reader({"-p", name, "-d"});
        ToolResult r = runAs(who, KQLOGREADER_PATH, {"-p", name, "-d"});
        EXPECT_EQ(r.out, asRoot.out);
        EXPECT_EQ(r.err, "");
        r = runAs(who, KQLOGREADER_PATH, {"-p", name, "-V", "-s"});
        EXPECT_EQ(r.out.find("read-only"), std::string::npos);
        r = runAs(who, KQLOGREADER_PATH, {"-p", name, "-l", "5", "-f", "1"});
        EXPECT_EQ(r.out, banner() + "Setting Default Log Level: 5\nLog Tag[ID:1] Disabled\n");
        EXPECT_EQ(r.err, "");
        SegmentPeek seg(lp.key());
        EXPECT_EQ(seg.head()->logInfos[0].nLogLevel, 5);
        EXPECT_EQ(seg.head()->logInfos[1].bEnable, 0);
        ASSERT_EQ(reader({"-p", name, "-l", "0", "-t", "1"}).err, "");
    }
    // Another user's kqlogger writes into it, and leaves its mode alone.
    ToolResult r = runAs(outsider, KQLOGGER_PATH, {"-p", name, "from nobody"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(SegmentPeek(lp.key()).texts().back(), "from nobody\n");
    EXPECT_EQ(permUnder(lp.key()).mode, 0666);
}

// ---- kqlogger --mode and --group ----

// A writer that may not re-mode the log it would adopt fails, says why,
// and leaves the log as it was. One that asks for the mode the log has
// needs no right to change it.
TEST_F(AccessAsOtherUsers, WriterThatMayNotRemodeALogFails) {
    writeLog({});
    const std::string original = segmentBytes(lp.key());
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--mode", "0640"}, "mode 0640 and group 0"},
        {{"--mode", "0666", restricted()}, "mode 0666 and group " + std::to_string(group)},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"-p", name};
        args.insert(args.end(), c.first.begin(), c.first.end());
        args.push_back("never written");
        ToolResult r = runAs(outsider, KQLOGGER_PATH, args);
        EXPECT_EQ(r.err, "cannot set " + c.second + " on log [" + lp.path() +
                             "]: Operation not permitted: it belongs to uid 0 (mode "
                             "0666, group 0), and only that user or root may change "
                             "them\nkqlogger: cannot open the log at [" +
                             lp.path() + "]\n");
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(segmentBytes(lp.key()), original);
        ShmPerm perm = permUnder(lp.key());
        EXPECT_EQ(perm.mode, 0666);
        EXPECT_EQ(perm.gid, 0u);
    }
    ToolResult r = runAs(outsider, KQLOGGER_PATH, {"-p", name, "--mode", "0666", "as it is"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(SegmentPeek(lp.key()).texts().back(), "as it is\n");
}

// The owner switches its log to a mode and group and back, and keeps its
// records and tags; without --group the group stays.
TEST_F(AccessAsOtherUsers, OwnerSwitchesItsLogAndKeepsItsRecords) {
    writeLog({});
    const std::vector<std::string> texts = SegmentPeek(lp.key()).texts();
    ASSERT_EQ(texts.size(), 3u);
    ASSERT_EQ(logger({"-p", name, "-t", "net", "--mode", "0640", restricted(), "restricted"}).err,
              "");
    ShmPerm perm = permUnder(lp.key());
    EXPECT_EQ(perm.mode, 0640);
    EXPECT_EQ(perm.gid, group);
    EXPECT_EQ(runAs(member, KQLOGREADER_PATH, {"-p", name, "-l", "1"}).err, refusal());
    EXPECT_EQ(runAs(outsider, KQLOGREADER_PATH, {"-p", name, "-d"}).err,
              "shmat failed(Permission denied)\n");

    ASSERT_EQ(logger({"-p", name, "--mode", "0660", "group writes"}).err, "");
    perm = permUnder(lp.key());
    EXPECT_EQ(perm.mode, 0660);
    EXPECT_EQ(perm.gid, group);
    ToolResult r = runAs(member, KQLOGREADER_PATH, {"-p", name, "-l", "1"});
    EXPECT_EQ(r.out, banner() + "Setting Default Log Level: 1\n");
    EXPECT_EQ(r.err, "");

    std::vector<std::string> all = texts;
    all.push_back("restricted\n");
    all.push_back("group writes\n");
    SegmentPeek seg(lp.key());
    EXPECT_EQ(seg.texts(), all);
    EXPECT_EQ(seg.head()->currLogInfoIndex, 3);
}

// A log created by an unprivileged writer: its owner is the writer, its
// group the one asked for (which the writer need not be in), and the
// group reads it. So does the group the writer had when it created the
// log: the system grants the group bits to the creator's group as well,
// and that one cannot be changed.
TEST_F(AccessAsOtherUsers, UnprivilegedWriterCreatesARestrictedLog) {
    ToolResult r =
        runAs(outsider, KQLOGGER_PATH, {"-p", name, "--mode", "0640", restricted(), "hello"});
    ASSERT_EQ(r.err, "");
    ASSERT_EQ(r.exitStatus, 0);
    ShmPerm perm = permUnder(lp.key());
    EXPECT_EQ(perm.mode, 0640);
    EXPECT_EQ(perm.uid, NOBODY);
    EXPECT_EQ(perm.cuid, NOBODY);
    EXPECT_EQ(perm.gid, group);

    const RunAs groupMember{stranger, otherGroup, group};
    const RunAs notMember{stranger, otherGroup, 0};
    const RunAs creatorsGroup{stranger, NOGROUP, 0};
    r = runAs(groupMember, KQLOGREADER_PATH, {"-p", name, "-d"});
    EXPECT_EQ(r.out, reader({"-p", name, "-d"}).out);
    EXPECT_NE(r.out.find("] hello\n"), std::string::npos);
    EXPECT_EQ(runAs(groupMember, KQLOGREADER_PATH, {"-p", name, "-t", "0"}).err, refusal());
    EXPECT_EQ(runAs(notMember, KQLOGREADER_PATH, {"-p", name, "-d"}).err,
              "shmat failed(Permission denied)\n");
    EXPECT_EQ(runAs(creatorsGroup, KQLOGREADER_PATH, {"-p", name, "-s"}).out,
              reader({"-p", name, "-s"}).out);
    EXPECT_EQ(runAs(creatorsGroup, KQLOGREADER_PATH, {"-p", name, "-l", "0"}).err, refusal());
    // The owner, by its mode, changes its tags and writes on.
    r = runAs(outsider, KQLOGREADER_PATH, {"-p", name, "-f", "0"});
    EXPECT_EQ(r.out, banner() + "Log Tag[ID:0] Disabled\n");
    EXPECT_EQ(r.err, "");
}

// A group by name; --group without --mode, and modes that would shut the
// owner out or are not permission bits, are refused before anything is
// made.
TEST_F(AccessAsOtherUsers, KqloggerTakesGroupNamesAndRefusesBadAccessValues) {
    struct group* pRoot = getgrgid(0);
    ASSERT_NE(pRoot, nullptr);
    const std::string rootGroup = pRoot->gr_name;
    ASSERT_EQ(logger({"-p", name, "--mode", "0660", "--group", rootGroup, "x"}).err, "");
    EXPECT_EQ(permUnder(lp.key()).mode, 0660);
    EXPECT_EQ(permUnder(lp.key()).gid, 0u);
    removeSegmentsUnder(lp.key());

    const std::string tryHelp = "Try 'kqlogger -h' for help.\n";
    const std::string modes = ": octal 0600 to 0777 (the owner reads and writes)\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--group", "0"}, "kqlogger: --group needs --mode\n"},
        {{"--mode", "0440"}, "kqlogger: bad value [0440] for --mode" + modes},
        {{"--mode", "0500"}, "kqlogger: bad value [0500] for --mode" + modes},
        {{"--mode", "01640"}, "kqlogger: bad value [01640] for --mode" + modes},
        {{"--mode", "640x"}, "kqlogger: bad value [640x] for --mode" + modes},
        {{"--mode", "0648"}, "kqlogger: bad value [0648] for --mode" + modes},
        {{"--mode", ""}, "kqlogger: bad value [] for --mode" + modes},
        {{"--mode", "0640", "--group", "kq-no-such-group"},
         "kqlogger: bad value [kq-no-such-group] for --group: no such group\n"},
        {{"--mode", "0640", "--group", "4294967295"},
         "kqlogger: bad value [4294967295] for --group: no such group\n"},
        {{"--mode"}, "kqlogger: option --mode needs a value\n"},
        {{"--mode", "0640", "--group"}, "kqlogger: option --group needs a value\n"},
        {{"--mod", "0640", "--bogus"}, "kqlogger: unknown option --bogus\n"},
    };
    for (const auto& c : refused) {
        std::vector<std::string> args = {"-p", name};
        args.insert(args.end(), c.first.begin(), c.first.end());
        SCOPED_TRACE(c.second);
        ToolResult r = logger(args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.second + tryHelp);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(lp.shmId(), -1);
    }
}

// ---- The library ----

namespace {

// A log segment with two tags and a record, 0640 for the given group.
class RestrictedSegment : public testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        ASSERT_TRUE(seg.ok());
        seg.setTag(0, "net", 2, true);
        seg.setTag(1, "disk", 3, false);
        seg.appendNode("hello\n", 0, 2, 5, 7);
    }
    void TearDown() override { g_bVerbose = false; }

    std::string bytes() {
        return std::string(reinterpret_cast<const char*>(seg.bytes()), seg.bytesSize());
    }

    TestSegment seg{1024};
};

// The read-only contract, checked on reader: every reading operation
// answers as on a read-write attachment, and every change is refused
// without a store (a store into the mapping would end the process).
// Returns the first failed check's name, or null.
const char* readOnlyContractBroken(IKQLOGReader& reader) {
    if (!reader.isReadOnly()) return "isReadOnly";
    if (reader.enableLog(0, false)) return "enableLog";
    if (reader.enableLog(1, true)) return "enableLog on";
    if (reader.setLogLevel(0, KQLOG_LEVEL_FATAL)) return "setLogLevel";
    if (reader.setDefaultLogLevel(KQLOG_LEVEL_FATAL)) return "setDefaultLogLevel";
    if (!reader.isLogEnable(0) || reader.isLogEnable(1)) return "isLogEnable";
    if (reader.getLogLevel(0) != KQLOG_LEVEL_INFO) return "getLogLevel 0";
    if (reader.getLogLevel(1) != KQLOG_LEVEL_WARN) return "getLogLevel 1";
    if (reader.findLogger("disk") != 1) return "findLogger";
    if (!reader.getLogTag(1) || strcmp(reader.getLogTag(1), "disk") != 0) return "getLogTag";
    if (reader.getShmLogBufSize() != 1024) return "getShmLogBufSize";
    reader.seekLogBegin(0);
    std::string line;
    if (!reader.nextLog(line) || line != "[INFO  net 01-01 00:00:05 0007] hello\n")
        return "nextLog";
    if (!reader.nextLog(line) || !line.empty()) return "nextLog at the end";
    reader.seekLogEnd();
    KQLogStream stream;
    stream.startAtOldest(false);
    char buf[KQLOG_LINE_BUFFER_SIZE];
    KQLogRecord rec;
    if (stream.next(rec, buf) != KQLOG_EVENT_RECORD) return "stream record";
    if (stream.next(rec, buf) != KQLOG_EVENT_END) return "stream end";
    if (!reader.dumpLogMem("/dev/null")) return "dumpLogMem";
    return nullptr;
}

}  // namespace

// Memory mapped read-only in this process, taken as a read-only
// attachment: the contract holds and nothing is written.
TEST_F(RestrictedSegment, ReaderKeepsTheContractOnAReadOnlyMapping) {
    const std::string before = bytes();
    void* pReadOnly = shmat(seg.shmId(), nullptr, SHM_RDONLY);
    ASSERT_NE(pReadOnly, reinterpret_cast<void*>(-1)) << strerror(errno);
    CKQLOGReaderImp& reader = *static_cast<CKQLOGReaderImp*>(IKQLOGReader::getInst());
    ASSERT_TRUE(reader.initFromMemory(pReadOnly, seg.bytesSize(), true));
    const char* pBroken = readOnlyContractBroken(reader);
    EXPECT_EQ(pBroken, nullptr) << pBroken;
    EXPECT_EQ(bytes(), before);
    // The same segment read-write: changes go through.
    CKQLOGReaderImp writable;
    ASSERT_TRUE(writable.initFromMemory(seg.bytes(), seg.bytesSize()));
    EXPECT_FALSE(writable.isReadOnly());
    EXPECT_TRUE(writable.setLogLevel(0, KQLOG_LEVEL_FATAL));
    EXPECT_EQ(reader.getLogLevel(0), KQLOG_LEVEL_FATAL);
    // The mapping stays for the process's reader, which keeps it; the
    // segment goes when the process ends (TestSegment marks it removed).
}

// init falls back to a read-only attachment for a user the segment lets
// read but not write: run in a child that has given up root for nobody in
// the segment's group. A non-member's init fails with the attach message.
TEST_F(RestrictedSegment, InitAttachesReadOnlyWhenOnlyReadingIsAllowed) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can take another user's ids";
    const gid_t group = gid_t(unusedId(61000, false));
    ASSERT_NE(group, 0u);
    struct shmid_ds ds;
    ASSERT_EQ(shmctl(seg.shmId(), IPC_STAT, &ds), 0);
    ds.shm_perm.mode = 0640;
    ds.shm_perm.gid = group;
    ASSERT_EQ(shmctl(seg.shmId(), IPC_SET, &ds), 0);
    const std::string before = bytes();

    // Exit status 0: the contract held; 1: init failed; 2: a check failed
    // (its name on standard error); 3: the ids could not be taken.
    auto runChild = [&](bool bMember, std::string* pErr) {
        int errPipe[2];
        if (pipe(errPipe) != 0) return -1;
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(errPipe[1], 2);
            close(errPipe[0]);
            gid_t groups[1] = {group};
            if (setgroups(bMember ? 1 : 0, groups) != 0 || setresgid(NOGROUP, NOGROUP, NOGROUP) != 0 ||
                setresuid(NOBODY, NOBODY, NOBODY) != 0)
                _exit(3);
            IKQLOGReader* pReader = IKQLOGReader::getInst();
            if (!pReader->init(seg.path().c_str(), false)) _exit(1);
            const char* pBroken = readOnlyContractBroken(*pReader);
            if (pBroken) fprintf(stderr, "%s\n", pBroken);
            _exit(pBroken ? 2 : 0);
        }
        close(errPipe[1]);
        char buf[256];
        ssize_t n;
        while ((n = read(errPipe[0], buf, sizeof(buf))) > 0) pErr->append(buf, size_t(n));
        close(errPipe[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    };
    std::string err;
    EXPECT_EQ(runChild(true, &err), 0) << err;
    EXPECT_EQ(err, "");
    err.clear();
    EXPECT_EQ(runChild(false, &err), 1);
    EXPECT_EQ(err, "shmat failed(Permission denied)\n");
    EXPECT_EQ(bytes(), before);
}

// A file image is private memory: never read-only. A fresh reader is not
// read-only either.
TEST_F(RestrictedSegment, ImagesAndDetachedReadersAreNotReadOnly) {
    CKQLOGReaderImp fresh;
    EXPECT_FALSE(fresh.isReadOnly());
    TempDirectory dir;
    ASSERT_TRUE(dir.ok());
    dir.put("image", bytes());
    CKQLOGReaderImp reader;
    ASSERT_TRUE(reader.initFromFile(dir.file("image").c_str(), false));
    EXPECT_FALSE(reader.isReadOnly());
    EXPECT_TRUE(reader.setLogLevel(1, KQLOG_LEVEL_ERROR));
}

namespace {

class WriterAccess : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(lp.ok()); }
    ScratchLogPath lp;
};

}  // namespace

// A new log takes the mode and group asked for; KQLOG_KEEP_GROUP leaves
// the writer's own group on a new log and an adopted log's on an old one.
TEST_F(WriterAccess, InitCreatesAndAdoptsWithModeAndGroup) {
    IKQLOGWriter* pWriter = IKQLOGWriter::getInst();
    ASSERT_TRUE(pWriter->init(lp.path().c_str(), 1024, 0640, 4242));
    ShmPerm perm = permUnder(lp.key());
    EXPECT_EQ(perm.mode, 0640);
    EXPECT_EQ(perm.gid, 4242u);
    // The writers' lock beside it too: whoever may take it can stall them.
    key_t lockKey = ftok(lp.path().c_str(), KQLOG_LOCK_PROJECT_ID);
    perm = permUnder(lockKey);
    EXPECT_EQ(perm.mode, 0640);
    EXPECT_EQ(perm.gid, 4242u);
    KQLogId id = pWriter->registerTag("net", KQLOG_LEVEL_TRACE);
    ASSERT_TRUE(pWriter->log(id, KQLOG_LEVEL_INFO, "kept\n"));

    ASSERT_TRUE(pWriter->init(lp.path().c_str(), 0, 0600, KQLOG_KEEP_GROUP));
    perm = permUnder(lp.key());
    EXPECT_EQ(perm.mode, 0600);
    EXPECT_EQ(perm.gid, 4242u);
    EXPECT_EQ(permUnder(lockKey).mode, 0600);
    // Without an access: the adopted log keeps its own.
    ASSERT_TRUE(pWriter->init(lp.path().c_str(), 0));
    EXPECT_EQ(permUnder(lp.key()).mode, 0600);
    EXPECT_EQ(SegmentPeek(lp.key()).texts(), std::vector<std::string>{"kept\n"});

    // Another size: a new log, with the access asked for, or 0666.
    ASSERT_TRUE(pWriter->init(lp.path().c_str(), 2048, 0660, KQLOG_KEEP_GROUP));
    perm = permUnder(lp.key());
    EXPECT_EQ(perm.mode, 0660);
    EXPECT_EQ(perm.gid, getegid());
    ASSERT_TRUE(pWriter->init(lp.path().c_str(), 4096));
    EXPECT_EQ(permUnder(lp.key()).mode, 0666);
}

// Modes beyond the permission bits, or without read and write for the
// owner, fail before anything is created or changed.
TEST_F(WriterAccess, InitRefusesModesThatAreNotUsable) {
    IKQLOGWriter* pWriter = IKQLOGWriter::getInst();
    const std::vector<std::pair<mode_t, std::string>> refused = {
        {0440, "0440"}, {0200, "0200"}, {01640, "1640"}, {04777, "4777"}, {0, "0000"}};
    for (const auto& c : refused) {
        SCOPED_TRACE(c.second);
        CaptureStderr();
        EXPECT_FALSE(pWriter->init(lp.path().c_str(), 0, c.first, KQLOG_KEEP_GROUP));
        EXPECT_EQ(GetCapturedStderr(),
                  "mode [" + c.second +
                      "] invalid: permission bits up to 0777, with read and write for the "
                      "owner\n");
        EXPECT_EQ(lp.shmId(), -1);
    }
    ASSERT_TRUE(pWriter->init(lp.path().c_str(), 0));
    CaptureStderr();
    EXPECT_FALSE(pWriter->init(lp.path().c_str(), 0, 0400, 7));
    GetCapturedStderr();
    ShmPerm perm = permUnder(lp.key());
    EXPECT_EQ(perm.mode, 0666);
    EXPECT_NE(perm.gid, 7u);
}
