// Segment images: a dump of a whole segment read back from a file, checked
// like a segment (every byte of the file is as untrusted as shared memory).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "KQShmLogReaderImp.h"

namespace {

// Reads the whole file into image; false after a message.
bool readImage(const char* pPath, std::vector<uint8_t>& image) {
    int iFd = open(pPath, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (iFd == -1 || fstat(iFd, &st) == -1) {
        int iErr = errno;
        if (iFd != -1) close(iFd);
        fprintf(stderr, "open[%s] failed!! err: %s\n", pPath, strerror(iErr));
        return false;
    }
    // Ring positions are 32-bit: no larger image can be a segment.
    if (!S_ISREG(st.st_mode) || uint64_t(st.st_size) > uint64_t(UINT32_MAX)) {
        close(iFd);
        fprintf(stderr, "open[%s] failed!! err: %s\n", pPath,
                strerror(S_ISREG(st.st_mode) ? EFBIG : EINVAL));
        return false;
    }
    image.assign(size_t(st.st_size), 0);
    size_t nDone = 0;
    while (nDone < image.size()) {
        ssize_t n = read(iFd, image.data() + nDone, image.size() - nDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int iErr = n < 0 ? errno : EIO;
            close(iFd);
            fprintf(stderr, "open[%s] failed!! err: %s\n", pPath,
                    strerror(iErr));
            return false;
        }
        nDone += size_t(n);
    }
    close(iFd);
    return true;
}

}  // namespace

bool CKQLOGReaderImp::initFromFile(const char* pImagePath, bool bVerbose) {
    g_bVerbose = bVerbose;
    if (!pImagePath) {
        fprintf(stderr, "ShmLogPath invalid!!\n");
        return false;
    }
    std::vector<uint8_t> image;
    if (!readImage(pImagePath, image)) return false;

    // The sizes as a segment's header gives them; a file too short for a
    // header has none.
    uint32_t iHdrSize = 0;
    uint32_t iLogBufSize = 0;
    if (image.size() >= 12) {
        memcpy(&iHdrSize, image.data() + 4, 4);
        memcpy(&iLogBufSize, image.data() + 8, 4);
    }
    if (g_bVerbose)
        KQVerbose("Shm hdr Size [%d], logcontentbuf size[%d]\n",
                  int(iHdrSize), int(iLogBufSize));
    if (image.size() < sizeof(shmloghead) ||
        iLogBufSize > uint32_t(INT32_MAX) ||
        uint64_t(iHdrSize) + iLogBufSize > image.size()) {
        fprintf(stderr,
                "Shm header invalid, hdr size[%u], logcontentbuf size[%u]\n",
                iHdrSize, iLogBufSize);
        return false;
    }
    // A failed init leaves an earlier attachment whole.
    std::vector<uint8_t> previous;
    previous.swap(m_image);
    m_image.swap(image);
    KQShmAttachment att;
    att.pAddr = m_image.data();
    att.iHdrSize = iHdrSize;
    att.iLogBufSize = iLogBufSize;
    if (!adopt(att)) {
        m_image.swap(previous);
        return false;
    }
    if (!previous.empty()) m_retiredImages.push_back(std::move(previous));
    m_strLogPath = pImagePath;
    tzset();
    return true;
}
