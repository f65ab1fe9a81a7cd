// kqfloor PATH: the floor of printing a whole ring, for bench/dump-ratios.sh.
// One process that attaches the log as kqlogreader does, maps the ring in
// with MADV_POPULATE_READ and reads every byte of it once, in order, eight
// at a time. No reader of the ring can do less: whatever kqlogreader -d
// spends beyond this is its own per-line cost. Prints a checksum of the
// bytes (so that the reads cannot be left out) and nothing else.
#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "KQShmLogInternalComm.h"

int main(int argc, char* argv[]) {
    if (argc != 2) {
        fprintf(stderr, "usage: kqfloor PATH\n");
        return 2;
    }
    KQShmAttachment att = AttachShmForRead(argv[1]);
    if (!att.pAddr) return 1;
    const uint8_t* pRing = static_cast<const uint8_t*>(att.pAddr) + att.iHdrSize;
    size_t nRing = att.iLogBufSize;

    uintptr_t iPage = uintptr_t(sysconf(_SC_PAGESIZE));
    uintptr_t iStart = uintptr_t(pRing) & ~(iPage - 1);
    if (madvise(reinterpret_cast<void*>(iStart),
                uintptr_t(pRing) + nRing - iStart, MADV_POPULATE_READ) != 0)
        perror("madvise");

    // Four independent sums, so that the loop runs at load speed.
    uint64_t sums[4] = {0, 0, 0, 0};
    size_t i = 0;
    for (; i + 32 <= nRing; i += 32) {
        for (int k = 0; k < 4; ++k) {
            uint64_t v;
            memcpy(&v, pRing + i + 8 * k, 8);
            sums[k] += v;
        }
    }
    uint64_t iSum = sums[0] ^ sums[1] ^ sums[2] ^ sums[3];
    for (; i < nRing; ++i) iSum += pRing[i];
    printf("%" PRIu64 "\n", iSum);
    return 0;
}
