// The fuzz input format: a fixed control block that says how to build a
// segment, followed by the bytes that fill it. Shared by the fuzz target and
// the seed generator.
//
//   offset size  field
//        0    1  flags (KQF_*)
//        1    1  currLogInfoIndex
//        2    2  tagBytes: how many following bytes fill the tag table
//        4    4  hdrsize: the low byte picks it (see segmentHdrSize) unless
//                KQF_RAW_SIZES
//        8    4  logbufsize: its low 14 bits unless KQF_RAW_SIZES
//       12    4  segment bytes, with KQF_RAW_SIZES only (low 17 bits)
//       16    4  logReadPos    \  reduced to 0..logbufsize unless
//       20    4  logWritePos    > KQF_RAW_POSITIONS
//       24    4  start cursor  /   (the cursor is for the ring core walk)
//       28    2  skip count for seekLogBegin (signed, % 2048)
//       30    1  tag id for the tag operations
//       31    1  level for the tag operations
//       32    8  starttime (signed)
//       40    4  magic, with KQF_BAD_MAGIC only
//       44       tagBytes bytes from segment offset 36 (the tag table), then
//                the ring's bytes from offset hdrsize; the rest is zero.
//
// All integers are little-endian. Missing bytes read as zero, so every
// input, the empty one included, describes a segment. The segment is read
// from memory, or with KQF_FILE from a file holding its bytes.
//
// With KQF_CHAIN in the first byte the input describes instead a sound
// chain of nodes and damage done to some of them (KQFuzzChain):
//
//   offset size  field
//        0    1  flags (KQF_CHAIN; the other bits are ignored)
//        1    2  ring size: 600 + value % 7600
//        3    2  position of the first node: value % (ring size - 284),
//                where a writer can start a node
//        5    1  damage count: value % 9
//        6   3n  each damage: node (value % nodes), byte of the node
//                (value % its extent, terminator included), new value
//        then the nodes, one after another by the ring rule, until the
//        input ends or the next node would reach the first:
//        0    1  text length: 1 + value % 255
//        1    1  level: value % 6
//        2    1  tag
//        3       the text (a NUL becomes a blank; missing bytes are 'a'..'z')
#ifndef KQ_FUZZ_INPUT_H
#define KQ_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <vector>

enum KQFuzzFlags : uint8_t {
    // hdrsize, logbufsize and the segment's byte count as given: they may
    // not fit, and initFromMemory must then refuse the segment.
    KQF_RAW_SIZES = 1 << 0,
    KQF_BAD_MAGIC = 1 << 1,
    KQF_RAW_POSITIONS = 1 << 2,
    KQF_SEEK_END = 1 << 3,  // start reading at logWritePos
    KQF_VERBOSE = 1 << 4,   // diagnostics on (to /dev/null)
    KQF_DUMP = 1 << 5,      // dumpLogMem to /dev/null
    // The segment's nBytes go to a file, read by initFromFile instead of
    // initFromMemory; with KQF_RAW_SIZES the file may be shorter than a
    // header, or than the sizes in its header.
    KQF_FILE = 1 << 6,
    // The input is a KQFuzzChain: a sound chain, damaged in places.
    KQF_CHAIN = 1 << 7,
};

struct KQFuzzControl {
    static const size_t SIZE = 44;

    uint8_t flags = 0;
    uint8_t currLogInfoIndex = 0;
    uint16_t tagBytes = 0;
    uint32_t hdrsize = 0;
    uint32_t logbufsize = 0;
    uint32_t segBytes = 0;
    int32_t logReadPos = 0;
    int32_t logWritePos = 0;
    int32_t cursor = 0;
    int16_t skipCount = 0;
    uint8_t opTag = 0;
    uint8_t opLevel = 0;
    int64_t starttime = 0;
    uint32_t magic = 0;

    // Reads the control block from the start of data (zero-padded) and
    // returns how many bytes it took.
    size_t decode(const uint8_t* data, size_t size) {
        uint8_t b[SIZE] = {};
        size_t n = size < SIZE ? size : SIZE;
        for (size_t i = 0; i < n; ++i) b[i] = data[i];
        flags = b[0];
        currLogInfoIndex = b[1];
        tagBytes = uint16_t(get(b + 2, 2));
        hdrsize = uint32_t(get(b + 4, 4));
        logbufsize = uint32_t(get(b + 8, 4));
        segBytes = uint32_t(get(b + 12, 4));
        logReadPos = int32_t(uint32_t(get(b + 16, 4)));
        logWritePos = int32_t(uint32_t(get(b + 20, 4)));
        cursor = int32_t(uint32_t(get(b + 24, 4)));
        // Longer skips would only take time: each step is the same rule.
        skipCount = int16_t(int16_t(uint16_t(get(b + 28, 2))) % 2048);
        opTag = b[30];
        opLevel = b[31];
        starttime = int64_t(get(b + 32, 8));
        magic = uint32_t(get(b + 40, 4));
        return n;
    }

    void encode(std::vector<uint8_t>& out) const {
        put(out, flags, 1);
        put(out, currLogInfoIndex, 1);
        put(out, tagBytes, 2);
        put(out, hdrsize, 4);
        put(out, logbufsize, 4);
        put(out, segBytes, 4);
        put(out, uint32_t(logReadPos), 4);
        put(out, uint32_t(logWritePos), 4);
        put(out, uint32_t(cursor), 4);
        put(out, uint16_t(skipCount), 2);
        put(out, opTag, 1);
        put(out, opLevel, 1);
        put(out, uint64_t(starttime), 8);
        put(out, magic, 4);
    }

private:
    static uint64_t get(const uint8_t* p, int n) {
        uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
        return v;
    }
    static void put(std::vector<uint8_t>& out, uint64_t v, int n) {
        for (int i = 0; i < n; ++i) out.push_back(uint8_t(v >> (8 * i)));
    }
};

// The chain input of KQF_CHAIN (see the layout above).
struct KQFuzzChain {
    static const size_t SIZE = 6;  // before the damage records
    static const int MAX_DAMAGE = 8;

    struct Damage {
        uint8_t node = 0;
        uint8_t offset = 0;
        uint8_t value = 0;
    };
    struct Node {
        uint8_t length = 0;  // the text length byte as given
        uint8_t level = 0;
        uint8_t tag = 0;
        std::vector<uint8_t> text;  // as given; may be shorter than needed
    };

    uint16_t ringField = 0;
    uint16_t startField = 0;
    std::vector<Damage> damage;
    std::vector<Node> nodes;

    int32_t ringSize() const { return 600 + ringField % 7600; }
    // No node starts in the last 284 bytes (the wrap threshold): the one
    // before it would have wrapped.
    int32_t start() const { return startField % (ringSize() - 284); }
    static int textLength(uint8_t length) { return 1 + length % 255; }

    void decode(const uint8_t* data, size_t size) {
        size_t at = 1;
        auto byte = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
        ringField = uint16_t(byte() | byte() << 8);
        startField = uint16_t(byte() | byte() << 8);
        int nDamage = byte() % (MAX_DAMAGE + 1);
        damage.clear();
        for (int i = 0; i < nDamage; ++i) {
            Damage d;
            d.node = byte();
            d.offset = byte();
            d.value = byte();
            damage.push_back(d);
        }
        nodes.clear();
        while (at < size) {
            Node n;
            n.length = byte();
            n.level = byte();
            n.tag = byte();
            size_t nText = size_t(textLength(n.length));
            if (nText > size - at) nText = size - at;
            n.text.assign(data + at, data + at + nText);
            at += nText;
            nodes.push_back(n);
        }
    }

    void encode(std::vector<uint8_t>& out) const {
        out.push_back(KQF_CHAIN);
        out.push_back(uint8_t(ringField));
        out.push_back(uint8_t(ringField >> 8));
        out.push_back(uint8_t(startField));
        out.push_back(uint8_t(startField >> 8));
        out.push_back(uint8_t(damage.size()));
        for (const Damage& d : damage) {
            out.push_back(d.node);
            out.push_back(d.offset);
            out.push_back(d.value);
        }
        for (const Node& n : nodes) {
            out.push_back(n.length);
            out.push_back(n.level);
            out.push_back(n.tag);
            out.insert(out.end(), n.text.begin(), n.text.end());
        }
    }
};

// hdrsize without KQF_RAW_SIZES: the low byte h gives 3608 + h for h below
// 128 (a gap before the ring) and (h - 128) * 28 otherwise (a ring that
// starts inside the header, overlapping it).
inline uint32_t segmentHdrSize(uint32_t field) {
    uint32_t h = field & 0xFF;
    return h < 128 ? 3608 + h : (h - 128) * 28;
}

#endif
