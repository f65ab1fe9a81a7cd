#include "TestSegment.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

TestSegment::TestSegment(uint32_t ringSize, const std::string& dir,
                         uint32_t hdrSize, size_t segBytes)
    : m_iHdrSize(hdrSize), m_iRingSize(ringSize) {
    m_nBytes = segBytes ? segBytes : size_t(hdrSize) + ringSize;
    // ftok keys come from inode numbers and may collide with a segment
    // someone else holds: take another file until the key is free. Refused
    // files stay until then, or the next file would reuse their inode.
    std::vector<std::string> refused;
    for (int attempt = 0; attempt < 50 && !m_pAddr; ++attempt) {
        std::string tmpl = dir + "/kqtest-XXXXXX";
        int fd = mkstemp(&tmpl[0]);
        if (fd < 0) break;
        close(fd);
        key_t key = ftok(tmpl.c_str(), 0);
        // Key 0 is IPC_PRIVATE: no other process could find the segment.
        int id = key == -1 || key == IPC_PRIVATE
                     ? -1
                     : shmget(key, m_nBytes, IPC_CREAT | IPC_EXCL | 0600);
        if (id == -1) {
            refused.push_back(tmpl);
            continue;
        }
        void* p = shmat(id, nullptr, 0);
        if (p == reinterpret_cast<void*>(-1)) {
            shmctl(id, IPC_RMID, nullptr);
            refused.push_back(tmpl);
            break;
        }
        m_strPath = tmpl;
        m_iShmId = id;
        m_pAddr = p;
    }
    for (const std::string& path : refused) unlink(path.c_str());
    if (!m_pAddr) return;
    memset(m_pAddr, 0, m_nBytes);
    if (m_nBytes >= sizeof(shmloghead)) {
        head()->magic = KQLOG_MAGIC;
        head()->hdrsize = hdrSize;
        head()->logbufsize = ringSize;
        head()->starttime = 0;
    }
}

TestSegment::~TestSegment() {
    if (m_pAddr) shmdt(m_pAddr);
    if (m_iShmId != -1) shmctl(m_iShmId, IPC_RMID, nullptr);
    if (!m_strPath.empty()) unlink(m_strPath.c_str());
}

std::string TestSegment::serviceName() const {
    const std::string prefix = "/var/run/";
    if (m_strPath.compare(0, prefix.size(), prefix) == 0)
        return m_strPath.substr(prefix.size());
    return m_strPath;
}

void TestSegment::setTag(int i, const std::string& name, uint8_t level,
                         bool enabled) {
    KQLogInfo& info = head()->logInfos[i];
    memset(info.strLogTag, 0, sizeof(info.strLogTag));
    memcpy(info.strLogTag, name.data(),
           name.size() < sizeof(info.strLogTag) ? name.size()
                                                : sizeof(info.strLogTag));
    info.nLogLevel = level;
    info.bEnable = enabled ? 1 : 0;
    if (head()->currLogInfoIndex < i + 1)
        head()->currLogInfoIndex = uint8_t(i + 1);
}

void writeNodeAt(uint8_t* ring, int32_t pos, const std::string& text,
                 uint8_t tag, uint8_t level, uint32_t sec, uint16_t ms) {
    uint8_t* p = ring + pos;
    p[0] = uint8_t(text.size());
    p[1] = tag;
    p[2] = level;
    for (int i = 0; i < 4; ++i) p[3 + i] = uint8_t(sec >> (8 * i));
    p[7] = uint8_t(ms);
    p[8] = uint8_t(ms >> 8);
    memcpy(p + 9, text.data(), text.size());
    p[9 + text.size()] = 0;
}

int32_t TestSegment::appendNode(const std::string& text, uint8_t tag,
                                uint8_t level, uint32_t sec, uint16_t ms) {
    int32_t pos = head()->logWritePos;
    int32_t next = pos + int32_t(text.size()) + 10;
    if (next + KQLOG_WRAP_THRESHOLD >= int32_t(m_iRingSize)) next = 0;
    // A reader may be following the ring meanwhile: the end marker after
    // the node goes first and the node's size byte last, so the reader sees
    // either the old end marker or the whole node.
    std::vector<uint8_t> node(text.size() + 10);
    writeNodeAt(node.data(), 0, text, tag, level, sec, ms);
    ring()[next] = 0;
    memcpy(ring() + pos + 1, node.data() + 1, text.size() + 9);
    __atomic_store_n(ring() + pos, node[0], __ATOMIC_RELEASE);
    __atomic_store_n(&head()->logWritePos, next, __ATOMIC_RELEASE);
    return pos;
}

void TestSegment::setPositions(int32_t readPos, int32_t writePos) {
    head()->logReadPos = readPos;
    head()->logWritePos = writePos;
}

bool varRunWritable() { return access("/var/run", W_OK) == 0; }
