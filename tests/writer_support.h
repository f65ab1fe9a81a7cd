// Scratch log paths and a look into segments the writer side made: the
// node chain as a reader walks it, and the lines kqlogreader prints.
#ifndef KQ_WRITER_SUPPORT_H
#define KQ_WRITER_SUPPORT_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "KQShmLogInternalComm.h"
#include "KQShmLogLock.h"
#include "ToolRunner.h"

// Removes every segment under key (none for -1 or IPC_PRIVATE), and the
// writers' lock of the log under it.
void removeSegmentsUnder(key_t key);
// The key of the writers' lock of the log under key.
key_t writersLockKeyOf(key_t key);

// A new file in dir whose ftok key has no segment yet. The destructor
// removes the segments under that key and under the key of the file at the
// path then, and the file, pass or fail.
//
// The first file stays open for the object's life, so that its inode, and
// with it the key, cannot go to a parallel test's new file even when a test
// deletes the path. key() follows the file at the path: a path deleted and
// made again (by kqlogger, say) has another inode, so another key.
class ScratchLogPath {
public:
    explicit ScratchLogPath(const std::string& dir = "/tmp");
    ~ScratchLogPath();
    ScratchLogPath(const ScratchLogPath&) = delete;
    ScratchLogPath& operator=(const ScratchLogPath&) = delete;

    bool ok() const { return m_key != -1; }
    const std::string& path() const { return m_strPath; }
    std::string serviceName() const;  // the part after "/var/run/"
    key_t key() const;
    // The segment under the key: its id (-1 for none), size and mode.
    int shmId(size_t* pBytes = nullptr, int* pMode = nullptr) const;

private:
    std::string m_strPath;
    key_t m_key = -1;
    int m_fdHeld = -1;  // the first file, open: its inode stays taken
};

// One node as found in the ring.
struct NodeSeen {
    int32_t pos;
    uint8_t tag;
    uint8_t level;
    uint32_t sec;
    uint16_t ms;
    std::string text;
};

// The segment under a key, attached while the object lives.
class SegmentPeek {
public:
    explicit SegmentPeek(key_t key);
    ~SegmentPeek();
    SegmentPeek(const SegmentPeek&) = delete;
    SegmentPeek& operator=(const SegmentPeek&) = delete;

    bool ok() const { return m_pAddr != nullptr; }
    shmloghead* head() { return static_cast<shmloghead*>(m_pAddr); }
    uint8_t* ring() { return static_cast<uint8_t*>(m_pAddr) + head()->hdrsize; }
    size_t bytes() const { return m_nBytes; }

    // Walks from logReadPos by the ring rule. True when every node on the
    // way is whole and the walk ends at an end marker at logWritePos;
    // nodes gets the nodes met, oldest first.
    bool walk(std::vector<NodeSeen>& nodes);
    // The texts of the nodes on the chain; empty when the walk fails.
    std::vector<std::string> texts();
    // What `kqlogreader -p service -d` prints for the chain, in UTC.
    std::string expectedDump(const std::string& service,
                             const std::vector<NodeSeen>& nodes);

private:
    void* m_pAddr = nullptr;
    size_t m_nBytes = 0;
};

// Runs program with args and input on its standard input.
ToolResult runWithInput(const std::string& program,
                        const std::vector<std::string>& args,
                        const std::string& input);

#endif
