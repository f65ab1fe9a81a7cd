// Writes the hand-made seed inputs of the fuzzer into a directory:
//   kqfuzz_make_seeds fuzz/corpus
// Each seed is one situation a reader meets: empty and wrapped rings, sound
// and corrupt nodes, positions outside the ring, rings too small for a
// node, a full tag table, unterminated names, sizes that do not fit.
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "KQShmLogInternalComm.h"
#include "kq_fuzz_input.h"

// With the writer library at hand, a few seeds are real segments it wrote.
#if __has_include("KQShmLogWriter.h")
#include <sys/shm.h>
#include <unistd.h>

#include <functional>

#include "KQShmLogWriter.h"
#define KQ_SEEDS_FROM_WRITER 1
#endif

namespace {

const int kTagTableBytes = 255 * 14;

struct Seed {
    KQFuzzControl c;
    std::vector<uint8_t> tags = std::vector<uint8_t>(kTagTableBytes, 0);
    std::vector<uint8_t> ring;

    explicit Seed(uint32_t ringSize) {
        c.logbufsize = ringSize;
        ring.assign(ringSize, 0);
    }

    void tag(int i, const std::string& name, uint8_t level = 2,
             bool enabled = true) {
        uint8_t* p = &tags[size_t(i) * 14];
        memset(p, 0, 10);
        memcpy(p, name.data(), name.size() < 10 ? name.size() : 10);
        p[10] = level;
        p[11] = enabled ? 1 : 0;
        if (c.currLogInfoIndex < i + 1) c.currLogInfoIndex = uint8_t(i + 1);
    }

    void nodeAt(int32_t pos, const std::string& text, uint8_t tagId = 0,
                uint8_t level = 2, uint32_t sec = 0, uint16_t ms = 0) {
        uint8_t* p = &ring[size_t(pos)];
        p[0] = uint8_t(text.size());
        p[1] = tagId;
        p[2] = level;
        for (int i = 0; i < 4; ++i) p[3 + i] = uint8_t(sec >> (8 * i));
        p[7] = uint8_t(ms);
        p[8] = uint8_t(ms >> 8);
        memcpy(p + 9, text.data(), text.size());
        p[9 + text.size()] = 0;
    }

    // Appends at logWritePos by the ring rules and, as a writer does, moves
    // logReadPos past the old nodes that the new node and its end marker
    // overwrite.
    int32_t append(const std::string& text, uint8_t tagId = 0,
                   uint8_t level = 2, uint32_t sec = 0, uint16_t ms = 0) {
        int32_t pos = c.logWritePos;
        int32_t len = int32_t(text.size()) + 10;
        int32_t next = pos + len;
        if (next + KQLOG_WRAP_THRESHOLD >= int32_t(ring.size())) next = 0;
        nodeAt(pos, text, tagId, level, sec, ms);
        ring[size_t(next)] = 0;
        c.logWritePos = next;
        auto overlaps = [](int32_t a, int32_t alen, int32_t b, int32_t blen) {
            return a < b + blen && b < a + alen;
        };
        while (!live.empty() &&
               (overlaps(live.front().first, live.front().second, pos, len) ||
                overlaps(live.front().first, live.front().second, next, 1)))
            live.pop_front();
        live.emplace_back(pos, len);
        c.logReadPos = live.front().first;
        return pos;
    }

    std::deque<std::pair<int32_t, int32_t>> live;  // start, length

    std::vector<uint8_t> bytes() const {
        size_t nTags = tags.size();
        while (nTags > 0 && tags[nTags - 1] == 0) --nTags;
        size_t nRing = ring.size();
        while (nRing > 0 && ring[nRing - 1] == 0) --nRing;
        KQFuzzControl out = c;
        out.tagBytes = uint16_t(nTags);
        std::vector<uint8_t> data;
        out.encode(data);
        data.insert(data.end(), tags.begin(), tags.begin() + long(nTags));
        data.insert(data.end(), ring.begin(), ring.begin() + long(nRing));
        return data;
    }
};

bool g_bFailed = false;

void saveBytes(const std::string& path, const std::vector<uint8_t>& data) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f || fwrite(data.data(), 1, data.size(), f) != data.size() ||
        fclose(f) != 0) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        g_bFailed = true;
        return;
    }
    printf("%s: %zu bytes\n", path.c_str(), data.size());
}

void save(const std::string& dir, const std::string& name, const Seed& seed) {
    saveBytes(dir + "/seed-" + name, seed.bytes());
}

// Three tags and a node of every level, times spread over a day.
Seed soundRing(uint32_t ringSize) {
    Seed s(ringSize);
    s.c.starttime = 1700000000;
    s.tag(0, "net");
    s.tag(1, "disk", 0, false);
    s.tag(2, "sched", 5);
    const char* texts[] = {"boot\n", "link up", "disk slow\n",
                           "retrying", "failed\n", "halt"};
    for (int i = 0; i < 6; ++i)
        s.append(texts[i], uint8_t(i % 3), uint8_t(i), uint32_t(i) * 3600,
                 uint16_t(i * 111));
    return s;
}

// A sound chain of nodes with one-byte damage to some (KQF_CHAIN).
struct ChainSeed {
    KQFuzzChain c;

    ChainSeed(int32_t ringSize, int32_t start) {
        c.ringField = uint16_t(ringSize - 600);
        c.startField = uint16_t(start);
    }
    // A node of 1 to 255 text bytes.
    void node(const std::string& text, uint8_t level = 2, uint8_t tag = 0) {
        KQFuzzChain::Node n;
        n.length = uint8_t(text.size() - 1);
        n.level = level;
        n.tag = tag;
        n.text.assign(text.begin(), text.end());
        c.nodes.push_back(n);
    }
    // Byte offset of node i (header, text, terminator) becomes value.
    void damage(int i, int offset, uint8_t value) {
        c.damage.push_back({uint8_t(i), uint8_t(offset), value});
    }
};

void saveChain(const std::string& dir, const std::string& name,
               const ChainSeed& seed) {
    std::vector<uint8_t> data;
    seed.c.encode(data);
    saveBytes(dir + "/seed-chain-" + name, data);
}

void chainSeeds(const std::string& dir) {
    {
        // A bad level byte in node 17, whose seconds (17) make a sound
        // node 3 bytes into it, ending on its terminator: that node must
        // not be read.
        ChainSeed s(1000, 0);
        for (int i = 0; i < 17; ++i) s.node("before\n");
        s.node("damaged record text\n");
        s.node("after\n");
        s.damage(17, 2, 9);
        saveChain(dir, "level-byte", s);
    }
    {
        // A size byte that points further on, among thirty short nodes.
        ChainSeed s(2000, 0);
        for (int i = 0; i < 30; ++i) s.node("line " + std::to_string(i) + "\n");
        s.damage(10, 0, 200);
        saveChain(dir, "size-byte", s);
    }
    {
        // The node before the wrap is damaged: its successor is at 0.
        ChainSeed s(1000, 600);
        for (int i = 0; i < 12; ++i)
            s.node("wrapping node " + std::to_string(i + 10) + "\n");
        s.damage(4, 2, 7);  // the node at 708, whose successor is at 0
        saveChain(dir, "before-wrap", s);
    }
    {
        // No terminator, and a NUL inside a text.
        ChainSeed s(1500, 40);
        for (int i = 0; i < 20; ++i)
            s.node(std::string(size_t(5 + i * 7 % 40), char('A' + i)) + "\n");
        s.damage(4, 9 + 5 + 4 * 7 % 40 + 1, 'x');
        s.damage(12, 12, 0);
        saveChain(dir, "terminator-and-nul", s);
    }
    {
        // A text that holds a whole node ending on its own terminator, in
        // a node whose level byte is damaged.
        ChainSeed s(1000, 0);
        s.node("first\n");
        s.node(std::string("\x05\x01\x02\x01\x01\x01\x01\x01\x01hello", 14));
        s.node("third\n");
        s.node("fourth\n");
        s.damage(1, 2, 9);
        saveChain(dir, "node-inside-text", s);
    }
    {
        // Two damaged nodes next to each other, and longest texts.
        ChainSeed s(4000, 100);
        for (int i = 0; i < 14; ++i)
            s.node(std::string(size_t(i % 3 == 0 ? 255 : 40), char('a' + i)));
        s.damage(5, 0, 3);
        s.damage(6, 2, 200);
        s.damage(11, 9 + 100, 0);
        saveChain(dir, "close-and-long", s);
    }
}

#ifdef KQ_SEEDS_FROM_WRITER
// Lets the writer library write a segment of ringSize bytes under a fresh
// log path, then saves that segment as a seed (header fields into the
// control block, tag table and ring byte for byte) and removes it.
void writerSeed(const std::string& dir, const std::string& name, int ringSize,
                const std::function<void(IKQLOGWriter&)>& write) {
    char path[] = "/tmp/kqseed-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        g_bFailed = true;
        return;
    }
    close(fd);
    IKQLOGWriter* pWriter = IKQLOGWriter::getInst();
    KQShmAttachment att;
    if (pWriter && pWriter->init(path, ringSize)) {
        write(*pWriter);
        att = AttachShmForRead(path);
    }
    const shmloghead* pHead = static_cast<const shmloghead*>(att.pAddr);
    if (!pHead || pHead->hdrsize != sizeof(shmloghead)) {
        fprintf(stderr, "writer seed %s: no segment\n", name.c_str());
        g_bFailed = true;
    } else {
        Seed s(pHead->logbufsize);
        s.c.currLogInfoIndex = pHead->currLogInfoIndex;
        s.c.starttime = pHead->starttime;
        s.c.logReadPos = pHead->logReadPos;
        s.c.logWritePos = pHead->logWritePos;
        memcpy(s.tags.data(), pHead->logInfos, s.tags.size());
        memcpy(s.ring.data(),
               static_cast<const uint8_t*>(att.pAddr) + pHead->hdrsize,
               s.ring.size());
        save(dir, "writer-" + name, s);
    }
    if (att.pAddr) {
        shmdt(att.pAddr);
        shmctl(att.iShmId, IPC_RMID, nullptr);
    }
    unlink(path);
}

void writerSeeds(const std::string& dir) {
    writerSeed(dir, "600-tags-only", 600, [](IKQLOGWriter& w) {
        w.registerTag("net", KQLOG_LEVEL_TRACE);
        w.registerTag("0123456789", KQLOG_LEVEL_WARN);
    });
    writerSeed(dir, "600-wrapped", 600, [](IKQLOGWriter& w) {
        KQLogId net = w.registerTag("net", KQLOG_LEVEL_TRACE);
        KQLogId disk = w.registerTag("disk", KQLOG_LEVEL_INFO);
        for (int i = 0; i < 80; ++i)
            w.logFormat(i % 3 ? net : disk, ENUM_KQLOG_LEVEL(i % 6),
                        "message %d %.*s\n", i, i % 40,
                        "abcdefghijklmnopqrstuvwxyz0123456789ABCD");
    });
    writerSeed(dir, "1024-filtered", 1024, [](IKQLOGWriter& w) {
        KQLogId app = w.registerTag("app", KQLOG_LEVEL_WARN);
        KQLogId full = w.registerTag("tenletters", KQLOG_LEVEL_TRACE);
        for (int i = 0; i < 12; ++i) {
            w.log(app, ENUM_KQLOG_LEVEL(i % 6), "app says something");
            w.log(full, KQLOG_LEVEL_DEBUG, "x");
        }
    });
    writerSeed(dir, "4096-long", 4096, [](IKQLOGWriter& w) {
        KQLogId big = w.registerTag("big", KQLOG_LEVEL_TRACE);
        std::string text(300, 'L');
        text[10] = '\0';  // stored as '?'
        text[254] = '\n';
        for (int i = 0; i < 30; ++i)
            w.log(big, ENUM_KQLOG_LEVEL(i % 6), text.data(),
                  size_t(i * 37 % 301));
    });
}
#endif

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];

    save(dir, "empty-ring", Seed(1024));

    {
        Seed s(1024);
        s.tag(0, "net");
        s.append("hi", 0, 2, 5, 7);
        save(dir, "one-node", s);
    }

    save(dir, "levels-and-tags", soundRing(2048));

    {
        // Written round the ring several times: logReadPos after logWritePos.
        Seed s(600);
        s.c.starttime = 86399;
        s.tag(0, "ring");
        for (int i = 0; i < 30; ++i)
            s.append("line " + std::to_string(i) + std::string(size_t(i % 7) * 5, 'x'),
                     0, uint8_t(i % 6), uint32_t(i), uint16_t(i * 33));
        save(dir, "wrapped", s);
    }

    {
        // A sound node, then one whose text holds a NUL (count 3, size 5).
        Seed s(1024);
        s.tag(0, "t");
        s.append("good\n");
        int32_t bad = s.append("abcde");
        s.ring[size_t(bad) + 9 + 3] = 0;
        s.append("after");
        save(dir, "nul-in-text", s);
    }
    {
        // No terminator after the text.
        Seed s(1024);
        s.tag(0, "t");
        int32_t bad = s.append("unterminated");
        s.ring[size_t(bad) + 9 + 12] = 'Z';
        s.append("next");
        save(dir, "no-terminator", s);
    }
    {
        // Level 6: no name.
        Seed s(1024);
        s.tag(0, "t");
        s.append("ok");
        s.append("level six", 0, 6);
        save(dir, "level-six", s);
    }
    {
        // A size byte that runs the text past the ring's end.
        Seed s(300);
        s.tag(0, "t");
        s.nodeAt(280, "", 0, 2);
        s.ring[280] = 200;
        memset(&s.ring[289], 'r', 11);
        s.c.logReadPos = 280;
        s.c.logWritePos = 0;
        save(dir, "text-past-ring-end", s);
    }
    {
        // More than a hundred corrupt nodes in a row: the tool's recovery
        // skips a hundred and lands on garbage again.
        Seed s(4096);
        s.tag(0, "t");
        for (int i = 0; i < 120; ++i) {
            int32_t p = s.append("xy");
            s.ring[size_t(p) + 2] = 9;  // level 9
        }
        save(dir, "many-corrupt", s);
    }
    {
        // Node of the largest size, 255 bytes of text.
        Seed s(1024);
        s.tag(0, "ABCDEFGHIJ");
        s.append(std::string(255, 'L'), 0, 5, 0xFFFFFFFFu, 65535);
        s.c.starttime = INT64_MAX - 100;  // the time overflows
        save(dir, "longest-node-time-overflow", s);
    }
    {
        Seed s(1024);
        s.tag(0, "t");
        s.append("before epoch", 0, 1, 0, 9999);
        s.c.starttime = -86400LL * 365 * 300;
        s.append("tag 255", 255);
        s.append("tag past in-use", 77);
        save(dir, "negative-time-odd-tags", s);
    }
    {
        // The 512-byte ring: a 20-byte node at 198 wraps, at 197 not.
        Seed s(512);
        s.tag(0, "w");
        s.nodeAt(197, std::string(20, 'a'));
        s.nodeAt(227, std::string(20, 'b'));
        s.c.logReadPos = 197;
        s.c.logWritePos = 0;
        save(dir, "wrap-threshold-197", s);
        Seed t(512);
        t.tag(0, "w");
        t.nodeAt(198, std::string(20, 'a'));
        t.c.logReadPos = 198;
        t.c.logWritePos = 0;
        t.nodeAt(0, std::string(5, 'z'));
        t.c.logWritePos = 15;
        save(dir, "wrap-threshold-198", t);
    }
    {
        // An end marker before logWritePos: not the end of the data.
        Seed s(1024);
        s.tag(0, "t");
        s.append("one");
        int32_t p = s.append("two");
        s.append("three");
        s.ring[size_t(p)] = 0;
        save(dir, "stray-end", s);
    }
    {
        // Reading from logWritePos: at the end marker, or at a corrupt node
        // that is retried and then left for the oldest one.
        Seed s = soundRing(2048);
        s.c.flags = KQF_SEEK_END;
        save(dir, "seek-end", s);
        Seed u = soundRing(2048);
        u.c.flags = KQF_SEEK_END;
        u.c.logWritePos = 15;
        u.ring[15 + 2] = 7;
        save(dir, "seek-end-corrupt", u);
        // Sound nodes outside the retained region: evicted, refused.
        Seed t = soundRing(2048);
        t.c.logReadPos = 15;
        t.c.logWritePos = 15;
        save(dir, "outside-retained", t);
    }
    {
        // Positions outside the ring, taken as they are.
        const int32_t positions[][2] = {
            {-1, 0}, {0, -1}, {1020, 5}, {INT32_MAX, INT32_MIN}};
        int i = 0;
        for (const auto& pos : positions) {
            Seed s = soundRing(1024);
            s.c.flags = KQF_RAW_POSITIONS | (i % 2 ? KQF_SEEK_END : 0);
            s.c.logReadPos = pos[0];
            s.c.logWritePos = pos[1];
            s.c.cursor = pos[0];
            save(dir, "positions-outside-" + std::to_string(i++), s);
        }
    }
    {
        // Rings too small for a node, or for its header.
        for (uint32_t size : {0u, 8u, 9u, 11u, 285u}) {
            Seed s(size);
            s.tag(0, "t");
            if (size >= 12) s.nodeAt(0, "x");
            else if (size > 0) s.ring[0] = 1;
            s.c.skipCount = 3;
            save(dir, "tiny-ring-" + std::to_string(size), s);
        }
    }
    {
        // Every entry in use, every name 10 bytes with no NUL; repeated
        // names (the later entry wins).
        Seed s(1024);
        for (int i = 0; i < 255; ++i) {
            char name[11];
            snprintf(name, sizeof(name), "tag%07d", i % 200);
            s.tag(i, name, uint8_t(i % 9), i % 2 == 0);
        }
        s.c.currLogInfoIndex = 255;
        s.append("to the last tag", 254);
        s.c.opTag = 254;
        s.c.opLevel = 4;
        save(dir, "full-tag-table", s);
    }
    {
        // Named entries after the first empty one, beyond currLogInfoIndex.
        Seed s(1024);
        s.tag(0, "first");
        s.tag(1, "0123456789");
        s.tag(3, "after-gap");
        s.tag(10, "beyond");
        s.c.currLogInfoIndex = 4;
        s.c.opTag = 10;
        s.append("x", 10);
        save(dir, "tags-gap-beyond", s);
    }
    {
        // Sizes that do not fit the segment: refused before any read.
        struct Raw {
            const char* name;
            uint32_t hdr, buf, bytes;
        } raws[] = {
            {"ring-past-segment", 3608, 1024, 3608 + 1023},
            {"sum-wraps-32-bits", 0xFFFFFFF0u, 0x20, 4096},
            {"ring-over-int32", 0, 0x80000000u, 8192},
            {"segment-smaller-than-header", 3608, 0, 100},
            {"segment-empty", 0, 0, 0},
            {"hdr-past-segment", 9000, 0, 8192},
            {"fits-exactly", 3608, 600, 3608 + 600},
            {"ring-inside-header", 100, 600, 3608},
        };
        for (const Raw& r : raws) {
            Seed s = soundRing(600);
            s.c.flags = KQF_RAW_SIZES;
            s.c.hdrsize = r.hdr;
            s.c.logbufsize = r.buf;
            s.c.segBytes = r.bytes;
            save(dir, std::string("raw-") + r.name, s);
        }
    }
    {
        Seed s = soundRing(1024);
        s.c.flags = KQF_BAD_MAGIC;
        s.c.magic = 0x6767F253;
        save(dir, "bad-magic", s);
    }
    {
        // A gap between header and ring; a ring that overlaps the header.
        Seed s = soundRing(1024);
        s.c.hdrsize = 7;
        save(dir, "hdr-gap", s);
        Seed t = soundRing(1024);
        t.c.hdrsize = 128 + 1;  // hdrsize 28: the ring covers the tag table
        save(dir, "hdr-overlap", t);
    }
    {
        Seed s = soundRing(2048);
        s.c.flags = KQF_VERBOSE | KQF_DUMP;
        s.c.skipCount = 2;
        s.c.opTag = 1;
        s.c.opLevel = 0xFF;
        save(dir, "verbose-dump-skip", s);
        Seed t = soundRing(2048);
        t.c.skipCount = -5;
        t.c.flags = KQF_VERBOSE;
        int32_t p = 0;
        t.ring[size_t(p) + 9 + 1] = 0;  // first node corrupt, verbose report
        save(dir, "verbose-corrupt-first", t);
    }
    {
        // A link that overshoots logWritePos: printing once stops after
        // that node, following steps over it to logWritePos.
        Seed s(1024);
        s.tag(0, "t");
        s.append("one");
        int32_t p = s.append("two");
        s.nodeAt(p, std::string(40, 'x'));
        s.c.logWritePos = p + 20;
        save(dir, "link-past-write-pos", s);
        // Followed from the oldest node with logWritePos outside the ring.
        Seed t = soundRing(1024);
        t.c.flags = KQF_RAW_POSITIONS;
        t.c.logWritePos = -1;
        save(dir, "follow-write-pos-outside", t);
    }
    {
        // File images: read, or refused for their sizes or magic number.
        Seed s = soundRing(1024);
        s.c.flags = KQF_FILE;
        save(dir, "file-sound", s);
        Seed v = soundRing(2048);
        v.c.flags = KQF_FILE | KQF_SEEK_END | KQF_VERBOSE;
        v.ring[15 + 9 + 2] = 0;  // the second node is damaged
        save(dir, "file-damaged-follow-newest", v);
        Seed m = soundRing(1024);
        m.c.flags = KQF_FILE | KQF_BAD_MAGIC;
        m.c.magic = 0x6767F253;
        save(dir, "file-bad-magic", m);
        struct Raw {
            const char* name;
            uint32_t hdr, buf, bytes;
        } raws[] = {
            {"spare-byte", 3608, 600, 3608 + 601},
            {"shorter-than-sizes", 3608, 600, 3608 + 599},
            {"header-cut", 3608, 600, 3000},
            {"sizes-only", 3608, 600, 12},
            {"too-short-for-sizes", 3608, 600, 11},
            {"empty", 0, 0, 0},
            {"ring-over-int32", 0, 0x80000000u, 8192},
            {"sum-wraps-32-bits", 0xFFFFFFF0u, 0x20, 4096},
            {"ring-inside-header", 100, 600, 3608},
        };
        for (const Raw& r : raws) {
            Seed f = soundRing(600);
            f.c.flags = KQF_FILE | KQF_RAW_SIZES;
            f.c.hdrsize = r.hdr;
            f.c.logbufsize = r.buf;
            f.c.segBytes = r.bytes;
            save(dir, std::string("file-") + r.name, f);
        }
    }
    chainSeeds(dir);
#ifdef KQ_SEEDS_FROM_WRITER
    writerSeeds(dir);
#endif
    return g_bFailed ? 1 : 0;
}
