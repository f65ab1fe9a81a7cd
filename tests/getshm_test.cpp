// Segment creation and the executable's name, on real segments; GetShm runs
// in child processes, since it ends the process on failure.
#include <gtest/gtest.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "KQShmLogInternalComm.h"
#include "ToolRunner.h"
#include "writer_support.h"

namespace {

struct ChildResult {
    int status = -1;
    std::string err;
};

// GetShm(path, size) in a child: exit status 0 when it returned iSize zero
// bytes, 2 when not; and what it printed on standard error.
ChildResult getShmInChild(const std::string& path, int iSize) {
    ChildResult result;
    int fds[2];
    if (pipe(fds) != 0) return result;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 2);
        close(fds[0]);
        const char* p = static_cast<const char*>(GetShm(path.c_str(), iSize));
        for (int i = 0; i < iSize; ++i)
            if (p[i] != 0) _exit(2);
        _exit(0);
    }
    close(fds[1]);
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0) result.err.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

void fill(int id, uint8_t value) {
    void* p = shmat(id, nullptr, 0);
    ASSERT_NE(p, reinterpret_cast<void*>(-1));
    struct shmid_ds ds;
    shmctl(id, IPC_STAT, &ds);
    memset(p, value, ds.shm_segsz);
    shmdt(p);
}

uint8_t byteAt(int id, size_t offset) {
    const uint8_t* p = static_cast<const uint8_t*>(shmat(id, nullptr, SHM_RDONLY));
    uint8_t b = p[offset];
    shmdt(p);
    return b;
}

}  // namespace

TEST(GetShm, CreatesReusesAndGrowsZeroedSegments) {
    ScratchLogPath lp;
    ASSERT_TRUE(lp.ok());
    size_t bytes = 0;
    int mode = 0;

    ChildResult first = getShmInChild(lp.path(), 5000);
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.err, "shmget failed, err: No such file or directory\n");
    int id = lp.shmId(&bytes, &mode);
    ASSERT_NE(id, -1);
    EXPECT_EQ(bytes, 5000u);
    EXPECT_EQ(mode, 0666);

    // Same size: attached again and zeroed again, silently.
    fill(id, 0xAB);
    ChildResult second = getShmInChild(lp.path(), 5000);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(lp.shmId(), id);

    // Smaller: the same segment, only the asked-for bytes zeroed.
    fill(id, 0xAB);
    EXPECT_EQ(getShmInChild(lp.path(), 3000).status, 0);
    EXPECT_EQ(lp.shmId(&bytes), id);
    EXPECT_EQ(bytes, 5000u);
    EXPECT_EQ(byteAt(id, 2999), 0);
    EXPECT_EQ(byteAt(id, 3000), 0xAB);

    // Larger: the old segment is removed and a new one made.
    ChildResult larger = getShmInChild(lp.path(), 8000);
    EXPECT_EQ(larger.status, 0);
    EXPECT_EQ(larger.err, "shmget failed, err: Invalid argument\n");
    int newId = lp.shmId(&bytes, &mode);
    EXPECT_NE(newId, id);
    EXPECT_EQ(bytes, 8000u);
    EXPECT_EQ(mode, 0666);
    struct shmid_ds ds;
    EXPECT_EQ(shmctl(id, IPC_STAT, &ds), -1);
}

TEST(GetShm, EndsTheProcessOnFailure) {
    ChildResult missing = getShmInChild("/tmp/kq-no-such-log-path", 100);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err,
              "ftok [/tmp/kq-no-such-log-path] failed, err: No such file or "
              "directory\n");

    // A negative size fails before anything is removed.
    ScratchLogPath lp;
    ASSERT_TRUE(lp.ok());
    ASSERT_EQ(getShmInChild(lp.path(), 100).status, 0);
    int id = lp.shmId();
    ChildResult negative = getShmInChild(lp.path(), -1);
    EXPECT_EQ(negative.status, 1);
    EXPECT_EQ(negative.err, "iishmget failed, error: Invalid argument\n");
    EXPECT_EQ(lp.shmId(), id);
}

// Run as itself, and by the next test under another name and directory
// given in KQ_EXE_NAME and KQ_EXE_DIR.
TEST(GetExecutableName, NameAndDirectory) {
    const char* pName = getenv("KQ_EXE_NAME");
    std::string name = pName ? pName : "getshm_test";
    std::string dir;
    if (getenv("KQ_EXE_DIR")) {
        dir = getenv("KQ_EXE_DIR");
    } else {
        char self[PATH_MAX] = {};
        ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
        dir = std::string(self).substr(0, strlen(self) - name.size());
    }
    char buf[64];
    memset(buf, 'Z', sizeof(buf));
    EXPECT_EQ(get_executable_name(buf, 40), dir.size());
    EXPECT_EQ(std::string(buf), name);
    EXPECT_EQ(std::string(buf + name.size(), 40 - name.size()),
              std::string(40 - name.size(), '\0'));
    EXPECT_EQ(buf[40], 'Z');
}

TEST(GetExecutableName, AlwaysTerminatesWithinLen) {
    const std::string name = "getshm_test";
    for (size_t len : {size_t(1), size_t(5), name.size(), name.size() + 1}) {
        SCOPED_TRACE(len);
        char buf[32];
        memset(buf, 'Z', sizeof(buf));
        EXPECT_NE(get_executable_name(buf, len), size_t(-1));
        EXPECT_EQ(std::string(buf), name.substr(0, len - 1));
        EXPECT_EQ(buf[len], 'Z');
    }
    char untouched = 'Z';
    EXPECT_EQ(get_executable_name(&untouched, 0), size_t(-1));
    EXPECT_EQ(untouched, 'Z');
}

// An executable whose path is longer than 160 bytes still gets its name.
TEST(GetExecutableName, LongInstallPath) {
    char self[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
    std::string dir = std::string(self).substr(0, strrchr(self, '/') - self + 1) +
                      std::string(200, 'd') + std::to_string(getpid()) + "/";
    std::string exe = dir + "logd";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(link(self, exe.c_str()), 0);
    ToolResult r = runTool(exe, {"--gtest_filter=GetExecutableName.NameAndDirectory"},
                           {"KQ_EXE_NAME=logd", "KQ_EXE_DIR=" + dir});
    unlink(exe.c_str());
    rmdir(dir.c_str());
    EXPECT_EQ(r.exitStatus, 0) << r.out;
}
