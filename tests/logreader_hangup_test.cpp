// kqlogreader -d -n with nothing new to print, whose standard output loses
// its far end: the follower notices on an idle wake (it asks every fourth
// 10 ms wake) and ends, without another line to write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "TestSegment.h"

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point t) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(
                    Clock::now() - t)
                    .count());
}

// Standard output for the follower: the near end goes to the child, the
// far end stays here until the test closes it.
struct OutputPair {
    int nearFd = -1;
    int farFd = -1;
    ~OutputPair() {
        if (nearFd >= 0) close(nearFd);
        if (farFd >= 0) close(farFd);
    }
};

bool openSocketPair(OutputPair& pair) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return false;
    pair.farFd = fds[0];
    pair.nearFd = fds[1];
    return true;
}

bool openPty(OutputPair& pair) {
    pair.farFd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (pair.farFd < 0 || grantpt(pair.farFd) != 0 ||
        unlockpt(pair.farFd) != 0 ||
        ptsname_r(pair.farFd, name, sizeof(name)) != 0)
        return false;
    pair.nearFd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    return pair.nearFd >= 0;
}

// Reads from fd until text holds "LogPath [...]" and its line end, or
// until the deadline.
bool readBanner(int fd, std::string& text, int timeoutMs) {
    Clock::time_point start = Clock::now();
    while (msSince(start) < timeoutMs) {
        size_t at = text.find("LogPath [");
        if (at != std::string::npos && text.find('\n', at) != std::string::npos)
            return true;
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 10) <= 0) continue;
        char buf[256];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0) return false;
        text.append(buf, size_t(n));
    }
    return false;
}

class LogReaderHangup : public VarRunTest {};

}  // namespace

// The far end of standard output closes while the follower idles: a
// socket peer that has read everything (a hang-up and no error), or the
// master of a pseudo-terminal. The follower ends within one second, by
// SIGPIPE or with status 1, as on a failed write.
TEST_F(LogReaderHangup, FollowerEndsWhenStandardOutputHangsUp) {
    for (bool pty : {false, true}) {
        SCOPED_TRACE(pty ? "pseudo-terminal" : "socket pair");
        TestSegment seg(1024, "/var/run");
        ASSERT_TRUE(seg.ok());
        OutputPair out;
        ASSERT_TRUE(pty ? openPty(out) : openSocketPair(out)) << strerror(errno);
        const std::string service = seg.serviceName();

        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int null = open("/dev/null", O_RDWR);
            if (null < 0 || dup2(null, STDIN_FILENO) < 0 ||
                dup2(out.nearFd, STDOUT_FILENO) < 0 ||
                dup2(null, STDERR_FILENO) < 0)
                _exit(127);
            setenv("TZ", "UTC", 1);
            execl(KQLOGREADER_PATH, "kqlogreader", "-p", service.c_str(), "-d",
                  "-n", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out.nearFd);
        out.nearFd = -1;

        // The banner read in full: nothing unread is left behind, so the
        // follower sees the hang-up alone.
        std::string text;
        bool following = readBanner(out.farFd, text, 10000);
        close(out.farFd);
        out.farFd = -1;
        Clock::time_point closed = Clock::now();

        int status = 0;
        pid_t done = 0;
        while ((done = waitpid(pid, &status, WNOHANG)) == 0 &&
               msSince(closed) < 1000)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        long ms = msSince(closed);
        if (done == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        ASSERT_TRUE(following) << "output so far: " << text;
        ASSERT_EQ(done, pid) << "still following " << ms << " ms after the "
                             << "far end closed";
        EXPECT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) ||
                    (WIFEXITED(status) && WEXITSTATUS(status) == 1))
            << "status " << status;
    }
}
