#include "ToolRunner.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

long long nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Forks and runs program with stdout and stderr on the write ends of the
// two pipes, as runTool describes.
pid_t spawn(const std::string& program, const std::vector<std::string>& args,
            const std::vector<std::string>& env, int outPipe[2],
            int errPipe[2]) {
    pid_t pid = fork();
    if (pid == 0) {
        int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        setenv("TZ", "UTC", 1);
        for (const std::string& e : env) {
            if (e.find('=') == std::string::npos)
                unsetenv(e.c_str());
            else
                putenv(const_cast<char*>(e.c_str()));
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

void setStatus(int status, ToolResult& result) {
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
}

// Reads the child's stdout and stderr pipes (fdOut -1 when stdout is not a
// pipe of ours) to their ends, killing the child at the deadline, then
// reaps it.
ToolResult collect(pid_t pid, int fdOut, int fdErr, int timeoutMs) {
    ToolResult result;
    long long deadline = nowMs() + timeoutMs;
    bool killed = false;
    struct pollfd fds[2] = {{fdOut, POLLIN, 0}, {fdErr, POLLIN, 0}};
    int open = (fdOut >= 0) + (fdErr >= 0);
    while (open > 0) {
        long long left = deadline - nowMs();
        if (left <= 0 && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        int ready = poll(fds, 2, left > 0 ? int(left) : 100);
        if (ready < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.out : result.err).append(buf, size_t(n));
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    setStatus(status, result);
    return result;
}

}  // namespace

ToolResult runTool(const std::string& program,
                   const std::vector<std::string>& args,
                   const std::vector<std::string>& env, int timeoutMs) {
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0) return ToolResult();
    if (pipe(errPipe) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return ToolResult();
    }
    pid_t pid = spawn(program, args, env, outPipe, errPipe);
    close(outPipe[1]);
    close(errPipe[1]);
    return collect(pid, outPipe[0], errPipe[0], timeoutMs);
}

ToolResult runToolWithStdout(const std::string& program,
                             const std::vector<std::string>& args,
                             int fdStdout, int timeoutMs) {
    int errPipe[2];
    if (pipe(errPipe) != 0) return ToolResult();
    // The child closes outEnds[0]: -1 there closes nothing.
    int outEnds[2] = {-1, fdStdout};
    pid_t pid = spawn(program, args, {}, outEnds, errPipe);
    close(errPipe[1]);
    if (pid < 0) {
        close(errPipe[0]);
        return ToolResult();
    }
    return collect(pid, -1, errPipe[0], timeoutMs);
}

ToolResult runToolOnTerminal(const std::string& program,
                             const std::vector<std::string>& args,
                             const std::vector<std::string>& env,
                             int timeoutMs) {
    int fdMaster, fdSlave;
    if (openpty(&fdMaster, &fdSlave, nullptr, nullptr, nullptr) != 0)
        return ToolResult();
    struct termios attrs;
    if (tcgetattr(fdSlave, &attrs) == 0) {
        attrs.c_oflag &= ~tcflag_t(OPOST);  // no \r before each \n
        tcsetattr(fdSlave, TCSANOW, &attrs);
    }
    int errPipe[2];
    if (pipe(errPipe) != 0) {
        close(fdMaster);
        close(fdSlave);
        return ToolResult();
    }
    // The child closes the master and writes to the slave.
    int outEnds[2] = {fdMaster, fdSlave};
    pid_t pid = spawn(program, args, env, outEnds, errPipe);
    close(fdSlave);
    close(errPipe[1]);
    if (pid < 0) {
        close(fdMaster);
        close(errPipe[0]);
        return ToolResult();
    }
    // Once the child has exited, reading the master fails (EIO) after the
    // last byte: collect takes that as the end.
    return collect(pid, fdMaster, errPipe[0], timeoutMs);
}

BackgroundTool::BackgroundTool(const std::string& program,
                               const std::vector<std::string>& args,
                               const std::vector<std::string>& env) {
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0) return;
    if (pipe(errPipe) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return;
    }
    m_pid = spawn(program, args, env, outPipe, errPipe);
    close(outPipe[1]);
    close(errPipe[1]);
    m_fdOut = outPipe[0];
    m_fdErr = errPipe[0];
    if (m_pid < 0) {
        close(m_fdOut);
        close(m_fdErr);
        m_fdOut = m_fdErr = -1;
    }
}

BackgroundTool::~BackgroundTool() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_fdOut >= 0) close(m_fdOut);
    if (m_fdErr >= 0) close(m_fdErr);
}

bool BackgroundTool::pump(int timeoutMs) {
    struct pollfd fds[2] = {{m_fdOut, POLLIN, 0}, {m_fdErr, POLLIN, 0}};
    if (m_fdOut < 0 && m_fdErr < 0) return false;
    if (poll(fds, 2, timeoutMs) <= 0) return true;
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        char buf[65536];
        ssize_t n = read(fds[i].fd, buf, sizeof(buf));
        if (n <= 0) {
            close(fds[i].fd);
            (i == 0 ? m_fdOut : m_fdErr) = -1;
        } else {
            (i == 0 ? m_strOut : m_strErr).append(buf, size_t(n));
        }
    }
    return true;
}

bool BackgroundTool::waitForOut(size_t nBytes, int timeoutMs) {
    long long deadline = nowMs() + timeoutMs;
    while (m_strOut.size() < nBytes) {
        long long left = deadline - nowMs();
        if (left <= 0 || !pump(int(left))) break;
    }
    return m_strOut.size() >= nBytes;
}

bool BackgroundTool::sendSignal(int iSignal) {
    return m_pid > 0 && kill(m_pid, iSignal) == 0;
}

ToolResult BackgroundTool::finish(int timeoutMs) {
    ToolResult result;
    if (m_pid <= 0) return result;
    long long deadline = nowMs() + timeoutMs;
    bool killed = false;
    for (;;) {
        long long left = deadline - nowMs();
        if (left <= 0 && !killed) {
            kill(m_pid, SIGKILL);
            killed = true;
        }
        if (!pump(left > 0 ? int(left) : 100)) break;
    }
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    result.out = m_strOut;
    result.err = m_strErr;
    setStatus(status, result);
    return result;
}

std::vector<std::string> splitLines(const std::string& s) {
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = s.find('\n', start)) != std::string::npos) {
        lines.push_back(s.substr(start, end - start));
        start = end + 1;
    }
    if (start < s.size()) lines.push_back(s.substr(start));
    return lines;
}

std::vector<std::string> loggedTexts(const std::string& out,
                                     std::vector<std::string>* pOther) {
    std::vector<std::string> texts;
    for (const std::string& line : splitLines(out)) {
        size_t close = line.find("] ");
        if (!line.empty() && line[0] == '[' && close != std::string::npos)
            texts.push_back(line.substr(close + 2));
        else if (pOther)
            pOther->push_back(line);
    }
    return texts;
}

TempDirectory::TempDirectory() {
    std::string tmpl = "/tmp/kqtest-XXXXXX";
    if (mkdtemp(&tmpl[0])) m_strPath = tmpl;
}

TempDirectory::~TempDirectory() {
    if (m_strPath.empty()) return;
    for (const std::string& name : names())
        if (unlink(file(name).c_str()) != 0) rmdir(file(name).c_str());
    rmdir(m_strPath.c_str());
}

std::vector<std::string> TempDirectory::names() const {
    std::vector<std::string> v;
    DIR* pDir = m_strPath.empty() ? nullptr : opendir(m_strPath.c_str());
    while (struct dirent* pEntry = pDir ? readdir(pDir) : nullptr)
        if (strcmp(pEntry->d_name, ".") && strcmp(pEntry->d_name, ".."))
            v.push_back(pEntry->d_name);
    if (pDir) closedir(pDir);
    std::sort(v.begin(), v.end());
    return v;
}

void TempDirectory::put(const std::string& name,
                        const std::string& bytes) const {
    std::ofstream(file(name), std::ios::binary | std::ios::trunc) << bytes;
}
