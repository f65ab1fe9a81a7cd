// Real log segments for tests: a unique log path file, a new segment under
// its key, and helpers that lay out header, tags and nodes byte by byte.
// The destructor removes segment and file, pass or fail.
#ifndef KQ_TEST_SEGMENT_H
#define KQ_TEST_SEGMENT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "KQShmLogInternalComm.h"

class TestSegment {
public:
    // A segment of hdrSize + ringSize bytes (or segBytes when not 0) with a
    // valid header, no tags and an end marker at 0. The log path is a new
    // file in dir; use a dir under /var/run/ for the tool's -p.
    explicit TestSegment(uint32_t ringSize, const std::string& dir = "/tmp",
                         uint32_t hdrSize = sizeof(shmloghead),
                         size_t segBytes = 0);
    ~TestSegment();
    TestSegment(const TestSegment&) = delete;
    TestSegment& operator=(const TestSegment&) = delete;

    bool ok() const { return m_pAddr != nullptr; }
    const std::string& path() const { return m_strPath; }
    // The name after "/var/run/", for the tool's -p.
    std::string serviceName() const;
    int shmId() const { return m_iShmId; }
    size_t bytesSize() const { return m_nBytes; }

    shmloghead* head() { return static_cast<shmloghead*>(m_pAddr); }
    uint8_t* bytes() { return static_cast<uint8_t*>(m_pAddr); }
    uint8_t* ring() { return bytes() + m_iHdrSize; }
    uint32_t ringSize() const { return m_iRingSize; }

    // Names entry i (copying at most 10 bytes) and raises currLogInfoIndex
    // to cover it.
    void setTag(int i, const std::string& name, uint8_t level = 2,
                bool enabled = true);
    // Writes a node at logWritePos by the ring rules, an end marker after
    // it, and moves logWritePos on. Returns the node's position.
    int32_t appendNode(const std::string& text, uint8_t tag = 0,
                       uint8_t level = 2, uint32_t sec = 0, uint16_t ms = 0);
    void setPositions(int32_t readPos, int32_t writePos);

private:
    std::string m_strPath;
    void* m_pAddr = nullptr;
    int m_iShmId = -1;
    size_t m_nBytes = 0;
    uint32_t m_iHdrSize = 0;
    uint32_t m_iRingSize = 0;
};

// Writes a node's bytes at ring offset pos without any checks.
void writeNodeAt(uint8_t* ring, int32_t pos, const std::string& text,
                 uint8_t tag, uint8_t level, uint32_t sec, uint16_t ms);

// True when /var/run is writable here (tool tests put log paths there).
bool varRunWritable();

// Base of the tests that run the tools: they attach log paths under
// /var/run/ only, so without write access there the tests are skipped.
class VarRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!varRunWritable())
            GTEST_SKIP() << "/var/run is not writable here; the tool only "
                            "attaches log paths under /var/run/";
    }
};

#endif
