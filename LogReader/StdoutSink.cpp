#include "StdoutSink.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

void StdoutSink::configure(bool bViaStdio, bool bLineAtATime) {
    m_bViaStdio = bViaStdio;
    m_bLineAtATime = bLineAtATime;
}

void StdoutSink::fail(int iErr) {
    // A closed pipe ends the process by SIGPIPE where that signal has its
    // default action, as any filter would end.
    if (iErr == EPIPE) {
        struct sigaction action;
        if (sigaction(SIGPIPE, nullptr, &action) == 0 &&
            action.sa_handler == SIG_DFL) {
            raise(SIGPIPE);
        }
    }
    fprintf(stderr, "write to standard output failed: %s\n", strerror(iErr));
    _exit(1);
}

void StdoutSink::writeOut(const char* p, size_t n) {
    // What stdio holds (the banner) goes first.
    if (!m_bStdioFlushed) {
        if (fflush(stdout) != 0) fail(errno);
        m_bStdioFlushed = true;
    }
    if (!writeAll(STDOUT_FILENO, p, n)) fail(errno);
}

bool writeAll(int iFd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t iDone = write(iFd, p, n);
        if (iDone < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += iDone;
        n -= size_t(iDone);
    }
    return true;
}

void StdoutSink::commitViaStdio(size_t n) {
    if (fwrite(m_buffer + m_nUsed, 1, n, stdout) != n) fail(errno);
}

void StdoutSink::put(const char* p, size_t n) {
    memcpy(reserve(n), p, n);
    commit(n);
}

void StdoutSink::flush() {
    if (m_bViaStdio) {
        if (fflush(stdout) != 0) fail(errno);
        return;
    }
    if (m_nUsed > 0 || !m_bStdioFlushed) writeOut(m_buffer, m_nUsed);
    m_nUsed = 0;
}

void StdoutSink::sleepWatching(int iMillis) {
    // Whether standard output is closed is asked on every fourth sleep
    // only: a poll that waits costs an idle follower a third more CPU than
    // a plain sleep, and a closed pipe is still noticed within 50 ms. No
    // events asked for: poll reports only an error or a hang-up on the
    // descriptor, which for a pipe means its reader has gone.
    if (++m_iSleeps >= SLEEPS_PER_CLOSE_CHECK) {
        m_iSleeps = 0;
        struct pollfd pfd = {STDOUT_FILENO, 0, 0};
        if (poll(&pfd, 1, 0) > 0) {
            if (pfd.revents & POLLNVAL) fail(EBADF);
            if (pfd.revents & (POLLERR | POLLHUP)) fail(EPIPE);
        }
    }
    usleep(useconds_t(iMillis) * 1000);
}
