#include "writer_support.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

void removeUnder(key_t key) {
    int id;
    while ((id = shmget(key, 0, 0)) != -1)
        if (shmctl(id, IPC_RMID, nullptr) == -1) break;
}

}  // namespace

void removeSegmentsUnder(key_t key) {
    if (key == -1 || key == IPC_PRIVATE) return;
    removeUnder(key);
    removeUnder(writersLockKeyOf(key));
}

key_t writersLockKeyOf(key_t key) {
    // glibc's ftok puts the project id in the top byte: 0 for the log.
    return key_t(uint32_t(key) | uint32_t(KQLOG_LOCK_PROJECT_ID) << 24);
}

ScratchLogPath::ScratchLogPath(const std::string& dir) {
    // A key someone else's segment holds would be shared: take another
    // file (keeping the refused ones meanwhile, so no inode comes back).
    std::vector<std::string> refused;
    for (int attempt = 0; attempt < 50 && m_key == -1; ++attempt) {
        std::string tmpl = dir + "/kqwtest-XXXXXX";
        int fd = mkstemp(&tmpl[0]);
        if (fd < 0) break;
        key_t key = ftok(tmpl.c_str(), 0);
        if (key != -1 && key != IPC_PRIVATE && shmget(key, 0, 0) == -1) {
            m_strPath = tmpl;
            m_key = key;
            m_fdHeld = fd;
        } else {
            close(fd);
            refused.push_back(tmpl);
        }
    }
    for (const std::string& path : refused) unlink(path.c_str());
}

ScratchLogPath::~ScratchLogPath() {
    if (m_strPath.empty()) return;
    // The first inode is still held: its key is no one else's.
    removeSegmentsUnder(m_key);
    if (key() != m_key) removeSegmentsUnder(key());
    unlink(m_strPath.c_str());
    close(m_fdHeld);
}

key_t ScratchLogPath::key() const {
    if (m_strPath.empty() || access(m_strPath.c_str(), F_OK) != 0) return m_key;
    return ftok(m_strPath.c_str(), 0);
}

std::string ScratchLogPath::serviceName() const {
    return m_strPath.substr(strlen("/var/run/"));
}

int ScratchLogPath::shmId(size_t* pBytes, int* pMode) const {
    int id = shmget(key(), 0, 0);
    struct shmid_ds ds;
    if (id == -1 || shmctl(id, IPC_STAT, &ds) == -1) return -1;
    if (pBytes) *pBytes = ds.shm_segsz;
    if (pMode) *pMode = int(ds.shm_perm.mode & 0777);
    return id;
}

SegmentPeek::SegmentPeek(key_t key) {
    int id = shmget(key, 0, 0);
    struct shmid_ds ds;
    if (id == -1 || shmctl(id, IPC_STAT, &ds) == -1) return;
    void* p = shmat(id, nullptr, 0);
    if (p == reinterpret_cast<void*>(-1)) return;
    m_pAddr = p;
    m_nBytes = ds.shm_segsz;
}

SegmentPeek::~SegmentPeek() {
    if (m_pAddr) shmdt(m_pAddr);
}

bool SegmentPeek::walk(std::vector<NodeSeen>& nodes) {
    nodes.clear();
    if (!m_pAddr || m_nBytes < sizeof(shmloghead) ||
        uint64_t(head()->hdrsize) + head()->logbufsize > m_nBytes)
        return false;
    const int32_t size = int32_t(head()->logbufsize);
    const uint8_t* r = ring();
    int32_t pos = head()->logReadPos;
    const int32_t end = head()->logWritePos;
    if (pos < 0 || pos >= size || end < 0 || end >= size) return false;
    for (int32_t steps = 0; steps <= size / 11; ++steps) {
        uint8_t len = r[pos];
        if (pos == end) return len == 0;
        if (len == 0 || pos + len + 10 > size) return false;
        NodeSeen n{pos, r[pos + 1], r[pos + 2], 0, uint16_t(r[pos + 7] | r[pos + 8] << 8),
                   std::string(reinterpret_cast<const char*>(r + pos + 9), len)};
        for (int i = 0; i < 4; ++i) n.sec |= uint32_t(r[pos + 3 + i]) << (8 * i);
        if (n.text.find('\0') != std::string::npos || r[pos + 9 + len] != 0 ||
            n.level > 5)
            return false;
        nodes.push_back(n);
        pos += len + 10;
        if (pos + 284 >= size) pos = 0;
    }
    return false;
}

std::vector<std::string> SegmentPeek::texts() {
    std::vector<NodeSeen> nodes;
    std::vector<std::string> result;
    if (walk(nodes))
        for (const NodeSeen& n : nodes) result.push_back(n.text);
    return result;
}

std::string SegmentPeek::expectedDump(const std::string& service,
                                      const std::vector<NodeSeen>& nodes) {
    static const char* const levels[6] = {"TRACE", "DEBUG", "INFO ",
                                          "WARN ", "ERROR", "FATAL"};
    std::string out = "LogPath [/var/run/" + service + "]\n";
    for (const NodeSeen& n : nodes) {
        time_t t = time_t(head()->starttime + n.sec);
        struct tm tm;
        gmtime_r(&t, &tm);
        char stamp[40];
        snprintf(stamp, sizeof(stamp), " %02d-%02d %02d:%02d:%02d %04u] ",
                 tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                 unsigned(n.ms));
        out += std::string("[") + levels[n.level] + " " +
               std::string(head()->logInfos[n.tag].strLogTag,
                           strnlen(head()->logInfos[n.tag].strLogTag, 10)) +
               stamp + n.text;
    }
    return out;
}

ToolResult runWithInput(const std::string& program,
                        const std::vector<std::string>& args,
                        const std::string& input) {
    char inPath[] = "/tmp/kqwinput-XXXXXX";
    int fd = mkstemp(inPath);
    if (fd < 0) return ToolResult();
    bool written = write(fd, input.data(), input.size()) == ssize_t(input.size());
    close(fd);
    std::vector<std::string> shArgs = {"-c", "exec \"$0\" \"$@\" < \"$KQ_INPUT\"",
                                       program};
    shArgs.insert(shArgs.end(), args.begin(), args.end());
    ToolResult result;
    if (written)
        result = runTool("/bin/sh", shArgs, {std::string("KQ_INPUT=") + inPath});
    unlink(inPath);
    return result;
}
