// Helpers shared by the benchmark programs: scratch log paths, realistic
// message texts and the clock they stamp lines with.
#ifndef KQ_BENCH_SUPPORT_H
#define KQ_BENCH_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

// CLOCK_MONOTONIC in nanoseconds: one clock for every process of a run, so
// a writer's stamp and a reader's arrival time can be subtracted.
int64_t benchNowNs();

// A new empty file in dir whose ftok key has no segment yet, so that a
// writer attaching it can never replace a segment someone else holds.
// Empty on failure, after a message on standard error.
std::string benchNewLogPath(const std::string& dir);

// Removes the segment under the key of path, if any, the writers' lock
// beside it, and the file.
void benchRemoveLog(const std::string& path);

// Deterministic generator of log-like texts: words, numbers, key=value
// pairs and paths, as services write them.
class BenchTextGen {
public:
    explicit BenchTextGen(uint64_t iSeed) : m_iState(iSeed | 1) {}

    // Next pseudo-random number (xorshift64*).
    uint64_t next();
    // Uniform in [iLow, iHigh].
    int between(int iLow, int iHigh);
    // nLen bytes of text into p: printable, no NUL, no line feed.
    void fill(char* p, size_t nLen);

private:
    uint64_t m_iState;
};

#endif
