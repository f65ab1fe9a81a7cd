// Rules of the layers over the walker, each in plain memory or a temporary
// file: a KQLogStream used without a start, a reader that keeps its image
// when a later initFromFile fails, and the mapping thread's path round the
// ring.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "GridRing.h"
#include "KQShmLogReaderImp.h"
#include "KQShmLogStream.h"
#include "KQShmLogToucher.h"

namespace {

CKQLOGReaderImp& theReader() {
    return *static_cast<CKQLOGReaderImp*>(IKQLOGReader::getInst());
}

// Texts of the records a stream gives until its first END; any other
// event is named in the list.
std::vector<std::string> readToEnd(KQLogStream& stream) {
    std::vector<std::string> got;
    char line[KQLOG_LINE_BUFFER_SIZE];
    KQLogRecord rec;
    for (int i = 0; i < 10000; ++i) {
        ENUM_KQLOG_EVENT e = stream.next(rec, line);
        if (e == KQLOG_EVENT_END) return got;
        got.push_back(e == KQLOG_EVENT_RECORD
                          ? std::string(rec.pText, size_t(rec.iTextLen))
                          : "event " + std::to_string(int(e)));
    }
    got.push_back("no end");
    return got;
}

// A file under /tmp with a unique name, removed when the test ends.
class TempFile {
public:
    TempFile() {
        char name[] = "/tmp/kq-stream-rules-XXXXXX";
        int fd = mkstemp(name);
        if (fd >= 0) {
            close(fd);
            m_path = name;
        }
    }
    ~TempFile() {
        if (!m_path.empty()) unlink(m_path.c_str());
    }
    const std::string& path() const { return m_path; }
    bool write(const void* p, size_t n) const {
        FILE* f = fopen(m_path.c_str(), "wb");
        if (!f) return false;
        bool ok = fwrite(p, 1, n, f) == n;
        return fclose(f) == 0 && ok;
    }

private:
    std::string m_path;
};

}  // namespace

// next() on a stream that was never started reads as startAtOldest(false)
// would: from the oldest retained record (not from ring offset 0) to the
// newest, then END for good.
TEST(StreamRules, UnstartedStreamPrintsOnceFromTheOldest) {
    GridRing ring(1000);
    for (int i = 0; i < 40; ++i) ring.append();  // wrapped: oldest is 5
    ASSERT_EQ(ring.head().logReadPos, GridRing::at(5));
    ASSERT_TRUE(theReader().initFromMemory(ring.segment(), ring.segmentSize()));
    KQLogStream stream;
    EXPECT_EQ(readToEnd(stream), texts(5, 40));
    ring.append();
    EXPECT_EQ(readToEnd(stream), std::vector<std::string>());
}

// An initFromFile that fails (a wrong magic number, a file shorter than
// its header's sizes, no file) leaves the reader on the image it had, whole:
// its records all read again, even once the memory a failed load gave
// back has been used for other bytes.
TEST(StreamRules, FailedInitFromFileKeepsTheEarlierImage) {
    GridRing a(8192);
    a.head().starttime = 1700000000;
    strcpy(a.head().logInfos[0].strLogTag, "alpha");
    a.head().currLogInfoIndex = 1;
    for (int i = 0; i < 30; ++i) a.append();
    TempFile fileA;
    ASSERT_TRUE(fileA.write(a.segment(), a.segmentSize()));

    GridRing b(8192);
    b.append();
    const uint8_t* bBytes = static_cast<const uint8_t*>(b.segment());
    struct Case {
        const char* name;
        bool wrongMagic;
        size_t bytes;  // of b's segment in the file; 0: no file
    } cases[] = {
        {"wrong magic", true, b.segmentSize()},
        {"shorter than its sizes", false, b.segmentSize() - 1},
        {"no file", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(theReader().initFromFile(fileA.path().c_str(), false));
        TempFile fileB;
        std::string pathB = fileB.path();
        if (c.bytes == 0) {
            pathB += ".missing";
        } else {
            std::vector<uint8_t> bytes(bBytes, bBytes + c.bytes);
            if (c.wrongMagic) bytes[0] ^= 0xFF;
            ASSERT_TRUE(fileB.write(bytes.data(), bytes.size()));
        }
        EXPECT_FALSE(theReader().initFromFile(pathB.c_str(), false));

        // Memory given back is taken again at once, full of other bytes.
        std::vector<std::vector<uint8_t>> reuse;
        for (int i = 0; i < 4; ++i)
            reuse.emplace_back(a.segmentSize(), uint8_t(0xEE));

        EXPECT_EQ(theReader().getShmLogBufSize(), 8192);
        EXPECT_EQ(theReader().findLogger("alpha"), 0);
        KQLogStream stream;
        ASSERT_TRUE(stream.startAtOldest(false));
        EXPECT_EQ(readToEnd(stream), texts(0, 30));
    }
}

// The mapping thread reads one byte a page from its end position back to
// its start position, round the ring's end to offset 0 when the span wraps,
// and no byte outside the ring: the ring is a fresh mapping with nothing
// readable after it, and the pages it read are the resident ones.
TEST(StreamRules, MappingThreadTouchesRoundTheRingEnd) {
    const int64_t page = 4096;
    const int32_t size = int32_t(16 * page);
    struct Case {
        int32_t begin, end;
    } cases[] = {
        {int32_t(15 * page + 100), int32_t(10 * page + 5)},  // wraps
        {int32_t(15 * page + 100), int32_t(15 * page)},      // almost all
        {int32_t(size - 1), int32_t(6 * page)},              // from the last byte
        {100, int32_t(12 * page)},                           // no wrap
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.begin << " to " << c.end);
        // The ring, then as many bytes again that fault on any access.
        void* p = mmap(nullptr, size_t(2 * size), PROT_NONE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(p, MAP_FAILED);
        ASSERT_EQ(mprotect(p, size_t(size), PROT_READ | PROT_WRITE), 0);
        const uint8_t* ringBytes = static_cast<const uint8_t*>(p);

        // The pages it must read: from the end position back, a page at a
        // time, until the reader's page (nothing read yet) is next.
        std::vector<unsigned char> want(size_t(size / page), 0);
        int64_t span = KQRingDistance(c.begin, c.end, size);
        for (int64_t at = span; at > page; at -= page)
            want[size_t((c.begin + at) % size / page)] = 1;

        std::vector<unsigned char> resident(want.size(), 0);
        {
            KQRingToucher toucher;
            ASSERT_TRUE(toucher.start(ringBytes, size, c.begin, c.end));
            auto deadline = std::chrono::steady_clock::now() +
                            std::chrono::seconds(5);
            for (;;) {
                ASSERT_EQ(mincore(p, size_t(size), resident.data()), 0);
                for (unsigned char& r : resident) r &= 1;
                if (resident == want ||
                    std::chrono::steady_clock::now() > deadline)
                    break;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            toucher.stop();
        }
        EXPECT_EQ(resident, want);
        munmap(p, size_t(2 * size));
    }
}
