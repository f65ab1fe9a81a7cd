// Standard output for printed records: a large buffer that goes out with
// one write(2) per fill, short writes and EINTR handled. A failed write
// ends the process: by SIGPIPE when that is what a closed pipe does here,
// otherwise with "write to standard output failed: ..." on standard error
// and status 1.
#ifndef KQ_STDOUT_SINK_H
#define KQ_STDOUT_SINK_H

#include <cstddef>

// Writes all n bytes to iFd, through short writes and EINTR; false, with
// errno set, when a write fails.
bool writeAll(int iFd, const char* p, size_t n);

class StdoutSink {
public:
    // bViaStdio: everything goes through stdio's stdout, so that lines keep
    // their order with what the library prints there (its -V diagnostics).
    // bLineAtATime: flush after each record (a terminal).
    void configure(bool bViaStdio, bool bLineAtATime);

    // Room for n bytes (n <= capacity) at the end of what is buffered.
    // Inline, with commit: both run once for every record printed.
    char* reserve(size_t n) {
        if (m_nUsed + n > CAPACITY) flush();
        return m_buffer + m_nUsed;
    }
    void commit(size_t n) {
        if (m_bViaStdio) return commitViaStdio(n);
        m_nUsed += n;
    }
    void put(const char* p, size_t n);
    // The end of a record: a terminal sees it now.
    void endRecord() {
        if (m_bLineAtATime) flush();
    }

    // Everything buffered, and stdio's stdout, out now.
    void flush();

    // Sleeps iMillis, ending the process as a failed write would when
    // standard output has been closed (the reader of a pipe went away),
    // which it notices within four sleeps. A signal ends the sleep early.
    void sleepWatching(int iMillis);

private:
    [[noreturn]] static void fail(int iErr);
    void commitViaStdio(size_t n);
    void writeOut(const char* p, size_t n);

    static const size_t CAPACITY = 256 * 1024;
    char m_buffer[CAPACITY];
    size_t m_nUsed = 0;
    bool m_bViaStdio = false;
    bool m_bLineAtATime = false;
    bool m_bStdioFlushed = false;
    static const int SLEEPS_PER_CLOSE_CHECK = 4;
    int m_iSleeps = SLEEPS_PER_CLOSE_CHECK - 1;  // the first sleep asks
};

#endif
