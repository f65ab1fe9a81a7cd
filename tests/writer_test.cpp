// The writer library on real segments: attaching, adopting or replacing a
// segment, tags and filtering, and the ring as kqlogreader reads it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/shm.h>
#include <unistd.h>

#include <ctime>
#include <functional>

#include "KQShmLogWriter.h"
#include "ToolRunner.h"
#include "writer_support.h"

namespace {

IKQLOGWriter* writer() { return IKQLOGWriter::getInst(); }

}  // namespace

TEST(WriterInit, CreatesThenKeepsTagsAndLogsUntilTheSizeChanges) {
    ScratchLogPath lp;
    ASSERT_TRUE(lp.ok());
    time_t t0 = time(nullptr);
    testing::internal::CaptureStderr();
    ASSERT_TRUE(writer()->init(lp.path().c_str(), 4096));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    size_t bytes = 0;
    int mode = 0;
    int id = lp.shmId(&bytes, &mode);
    EXPECT_EQ(bytes, 3608u + 4096u);
    EXPECT_EQ(mode, 0666);
    {
        SegmentPeek seg(lp.key());
        ASSERT_TRUE(seg.ok());
        EXPECT_EQ(seg.head()->magic, 0xF2536767u);
        EXPECT_EQ(seg.head()->hdrsize, 3608u);
        EXPECT_EQ(seg.head()->logbufsize, 4096u);
        EXPECT_GE(seg.head()->starttime, t0);
        EXPECT_LE(seg.head()->starttime, time(nullptr) + 1);
        EXPECT_EQ(seg.texts(), std::vector<std::string>{});
    }

    EXPECT_EQ(writer()->registerTag("net", KQLOG_LEVEL_INFO), 0);
    EXPECT_EQ(writer()->registerTag("disk", KQLOG_LEVEL_WARN), 1);
    EXPECT_EQ(writer()->registerTag("net", KQLOG_LEVEL_TRACE), 0);
    EXPECT_TRUE(writer()->log(0, KQLOG_LEVEL_INFO, "one"));
    SegmentPeek seg(lp.key());
    seg.head()->logInfos[1].nLogLevel = KQLOG_LEVEL_ERROR;  // an operator's change
    int64_t start = seg.head()->starttime;

    // A restart keeps everything; 0 takes whatever size is there.
    for (int size : {4096, 0}) {
        ASSERT_TRUE(writer()->init(lp.path().c_str(), size));
        EXPECT_EQ(lp.shmId(), id);
        EXPECT_EQ(writer()->registerTag("disk", KQLOG_LEVEL_TRACE), 1);
        EXPECT_EQ(seg.head()->logInfos[1].nLogLevel, KQLOG_LEVEL_ERROR);
        EXPECT_EQ(seg.head()->starttime, start);
    }
    EXPECT_TRUE(writer()->log(1, KQLOG_LEVEL_FATAL, "two"));
    EXPECT_EQ(seg.texts(), (std::vector<std::string>{"one", "two"}));

    ASSERT_TRUE(writer()->init(lp.path().c_str(), 8192));
    EXPECT_NE(lp.shmId(&bytes), id);
    EXPECT_EQ(bytes, 3608u + 8192u);
    SegmentPeek fresh(lp.key());
    EXPECT_EQ(fresh.head()->currLogInfoIndex, 0);
    EXPECT_EQ(fresh.texts(), std::vector<std::string>{});
}

// Whatever an unsound segment holds, init reads nothing outside it and
// starts a new log; a sound one is kept.
TEST(WriterInit, ReplacesUnsoundSegments) {
    typedef std::function<void(SegmentPeek&, ScratchLogPath&)> Spoil;
    const std::vector<std::pair<const char*, Spoil>> cases = {
        {"sound", [](SegmentPeek&, ScratchLogPath&) {}},
        {"magic", [](SegmentPeek& s, ScratchLogPath&) { s.head()->magic = 0; }},
        {"hdrsize", [](SegmentPeek& s, ScratchLogPath&) { s.head()->hdrsize = 4000; }},
        {"ring past segment",
         [](SegmentPeek& s, ScratchLogPath&) { s.head()->logbufsize = 1 << 20; }},
        {"ring too small", [](SegmentPeek& s, ScratchLogPath&) { s.head()->logbufsize = 549; }},
        {"read pos negative",
         [](SegmentPeek& s, ScratchLogPath&) { s.head()->logReadPos = -1; }},
        {"read pos past wrap",
         [](SegmentPeek& s, ScratchLogPath&) { s.head()->logReadPos = 4096 - 284; }},
        {"read pos inside node",
         [](SegmentPeek& s, ScratchLogPath&) { s.head()->logReadPos = 1; }},
        {"no end marker",
         [](SegmentPeek& s, ScratchLogPath&) { s.ring()[s.head()->logWritePos] = 7; }},
        {"broken terminator", [](SegmentPeek& s, ScratchLogPath&) { s.ring()[9 + 5] = 'x'; }},
        {"segment smaller than a header",
         [](SegmentPeek&, ScratchLogPath& lp) {
             shmctl(lp.shmId(), IPC_RMID, nullptr);
             shmget(lp.key(), 100, IPC_CREAT | 0600);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        ScratchLogPath lp;
        ASSERT_TRUE(lp.ok());
        ASSERT_TRUE(writer()->init(lp.path().c_str(), 4096));
        writer()->registerTag("t", KQLOG_LEVEL_TRACE);
        writer()->log(0, KQLOG_LEVEL_INFO, "first");
        writer()->log(0, KQLOG_LEVEL_INFO, "second");
        {
            SegmentPeek seg(lp.key());
            c.second(seg, lp);
        }
        ASSERT_TRUE(writer()->init(lp.path().c_str(), 0));
        bool kept = std::string(c.first) == "sound";
        SegmentPeek seg(lp.key());
        EXPECT_EQ(seg.head()->currLogInfoIndex, kept ? 1 : 0);
        writer()->registerTag("t", KQLOG_LEVEL_TRACE);
        EXPECT_TRUE(writer()->log(0, KQLOG_LEVEL_INFO, "third"));
        EXPECT_EQ(seg.texts(), (kept ? std::vector<std::string>{"first", "second", "third"}
                                     : std::vector<std::string>{"third"}));
    }
}

TEST(WriterInit, RefusesBadArgumentsAndKeepsTheCurrentLog) {
    ScratchLogPath lp, other;
    ASSERT_TRUE(lp.ok() && other.ok());
    ASSERT_TRUE(writer()->init(lp.path().c_str(), 0));
    writer()->registerTag("t", KQLOG_LEVEL_TRACE);
    // Another open file holding the lock stands for another writer process.
    int otherWriter = open(other.path().c_str(), O_RDONLY);
    ASSERT_EQ(flock(otherWriter, LOCK_EX), 0);

    const std::vector<std::tuple<const char*, int, std::string>> cases = {
        {nullptr, 0, "ShmLogPath invalid!!\n"},
        {"/tmp/kq-no-such-log-path", 0,
         "ftok [/tmp/kq-no-such-log-path] failed, err: No such file or directory\n"},
        {lp.path().c_str(), 549, "LogBufSize[549] invalid, allowed 550 to 2147480039\n"},
        {lp.path().c_str(), -1, "LogBufSize[-1] invalid, allowed 550 to 2147480039\n"},
        {other.path().c_str(), 0, "log path [" + other.path() + "] is in use by another writer\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_FALSE(writer()->init(std::get<0>(c), std::get<1>(c)));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), std::get<2>(c));
    }
    EXPECT_TRUE(writer()->log(0, KQLOG_LEVEL_INFO, "still here"));
    SegmentPeek seg(lp.key());
    EXPECT_EQ(seg.texts(), std::vector<std::string>{"still here"});
    close(otherWriter);
    EXPECT_TRUE(writer()->init(other.path().c_str(), 0));
}

TEST(WriterTags, NamesAndTableLimits) {
    ScratchLogPath lp;
    ASSERT_TRUE(lp.ok());
    ASSERT_TRUE(writer()->init(lp.path().c_str(), 0));
    EXPECT_EQ(writer()->registerTag("", KQLOG_LEVEL_INFO), 255);
    EXPECT_EQ(writer()->registerTag("elevenbytes", KQLOG_LEVEL_INFO), 255);
    EXPECT_EQ(writer()->registerTag("ok", KQLOG_LEVEL_NONE), 255);
    EXPECT_EQ(writer()->registerTag("tenbytes!!", KQLOG_LEVEL_INFO), 0);
    EXPECT_EQ(writer()->registerTag("tenbytes", KQLOG_LEVEL_INFO), 1);
    EXPECT_EQ(writer()->registerTag("tenbytes!!", KQLOG_LEVEL_INFO), 0);
    for (int i = 2; i < 255; ++i)
        ASSERT_EQ(writer()->registerTag(("t" + std::to_string(i)).c_str(),
                                        KQLOG_LEVEL_INFO), i);
    EXPECT_EQ(writer()->registerTag("onemore", KQLOG_LEVEL_INFO), 255);
    EXPECT_EQ(writer()->registerTag("t254", KQLOG_LEVEL_INFO), 254);
    SegmentPeek seg(lp.key());
    EXPECT_EQ(seg.head()->currLogInfoIndex, 255);
    EXPECT_EQ(std::string(seg.head()->logInfos[0].strLogTag, 10), "tenbytes!!");
}

// A name with a control byte anywhere in it gets no entry: the table
// stays as it was, and the same name without the byte is still taken.
TEST(WriterTags, RefusesNamesWithControlBytes) {
    ScratchLogPath lp;
    ASSERT_TRUE(lp.ok());
    ASSERT_TRUE(writer()->init(lp.path().c_str(), 0));
    ASSERT_EQ(writer()->registerTag("net", KQLOG_LEVEL_INFO), 0);
    const char* const refused[] = {
        "\x01", "\x1f", "\x7f", "a\nb", "tab\t", "\rcr", "\x1b[2J",
        "ten bytes\x1b", "a\n<0>",
    };
    for (const char* name : refused) {
        SCOPED_TRACE(::testing::PrintToString(std::string(name)));
        EXPECT_EQ(writer()->registerTag(name, KQLOG_LEVEL_INFO), 255);
    }
    SegmentPeek seg(lp.key());
    EXPECT_EQ(seg.head()->currLogInfoIndex, 1);
    EXPECT_EQ(writer()->registerTag("ten bytes ", KQLOG_LEVEL_INFO), 1);
    EXPECT_EQ(writer()->registerTag("caf\xc3\xa9", KQLOG_LEVEL_INFO), 2);
    EXPECT_EQ(writer()->registerTag("\x80\xff", KQLOG_LEVEL_INFO), 3);
}

TEST(WriterLog, FiltersCutsAndFormats) {
    ScratchLogPath lp;
    ASSERT_TRUE(lp.ok());
    ASSERT_TRUE(writer()->init(lp.path().c_str(), 0));
    ASSERT_EQ(writer()->registerTag("t", KQLOG_LEVEL_WARN), 0);
    SegmentPeek seg(lp.key());

    EXPECT_FALSE(writer()->log(0, KQLOG_LEVEL_INFO, "below"));
    EXPECT_TRUE(writer()->log(0, KQLOG_LEVEL_WARN, "at"));
    EXPECT_FALSE(writer()->log(1, KQLOG_LEVEL_FATAL, "no such tag"));
    EXPECT_FALSE(writer()->log(0, KQLOG_LEVEL_NONE, "no such level"));
    EXPECT_FALSE(writer()->log(0, KQLOG_LEVEL_FATAL, ""));
    EXPECT_FALSE(writer()->logFormat(0, KQLOG_LEVEL_DEBUG, "%s", "below"));
    seg.head()->logInfos[0].bEnable = 0;
    EXPECT_FALSE(writer()->log(0, KQLOG_LEVEL_FATAL, "off"));
    seg.head()->logInfos[0].bEnable = 1;

    EXPECT_TRUE(writer()->log(0, KQLOG_LEVEL_ERROR, std::string(300, 'x').c_str()));
    EXPECT_TRUE(writer()->log(0, KQLOG_LEVEL_ERROR, "a\0b", 3));
    EXPECT_TRUE(writer()->logFormat(0, KQLOG_LEVEL_ERROR, "%s=%d%c", "x", 5, 0));
    EXPECT_TRUE(writer()->logFormat(0, KQLOG_LEVEL_ERROR, "%300d", 7));
    EXPECT_EQ(seg.texts(), (std::vector<std::string>{"at", std::string(255, 'x'), "a?b",
                                                    "x=5?", std::string(255, ' ')}));
}

// A text cut at 255 bytes keeps the line feed it ended with, so each
// message is still one line of kqlogreader's short format; one that did not
// end its line is cut to 255 as before. logFormat judges the whole
// formatted text, NUL bytes and all, not what fitted in its first buffer.
TEST(WriterLog, CutTextsKeepTheirFinalLineFeed) {
    ScratchLogPath lp("/var/run");
    ASSERT_TRUE(lp.ok());
    ASSERT_TRUE(writer()->init(lp.path().c_str(), 0));
    ASSERT_EQ(writer()->registerTag("t", KQLOG_LEVEL_TRACE), 0);
    const std::string x254(254, 'x'), x300(300, 'x');
    const std::string inner = std::string(100, 'a') + "\n" + std::string(199, 'b');

    std::vector<std::pair<bool, std::string>> written;  // logged, expected
    auto add = [&](bool logged, const std::string& expected) {
        written.emplace_back(logged, expected);
    };
    auto plain = [&](const std::string& text, size_t nLen) {
        return writer()->log(0, KQLOG_LEVEL_INFO, text.data(), nLen);
    };
    add(plain(x300 + "\n", 301), x254 + "\n");
    add(plain(x254 + "y\n", 256), x254 + "\n");  // the shortest cut
    add(plain(x254 + "\n", 255), x254 + "\n");   // not cut at all
    add(plain(inner, inner.size()), inner.substr(0, 255));  // a line feed, not at the end
    add(plain(x300 + "\n\n", 302), x254 + "\n");
    // Only the bytes given count: a line feed just past nLen is not the end.
    add(plain(x300 + "\n", 300), std::string(255, 'x'));

    add(writer()->logFormat(0, KQLOG_LEVEL_WARN, "%300d\n", 7),
        std::string(254, ' ') + "\n");
    add(writer()->logFormat(0, KQLOG_LEVEL_WARN, "%s%s\n", x254.c_str(), "y"),
        x254 + "\n");
    add(writer()->logFormat(0, KQLOG_LEVEL_WARN, "%s\n", x254.c_str()), x254 + "\n");
    add(writer()->logFormat(0, KQLOG_LEVEL_WARN, "%s", inner.c_str()),
        inner.substr(0, 255));
    add(writer()->logFormat(0, KQLOG_LEVEL_WARN, "%s\ny", x300.c_str()),
        std::string(255, 'x'));
    // A NUL in the output: the end is found by length, not by strlen.
    add(writer()->logFormat(0, KQLOG_LEVEL_WARN, "%c%299s\n", 0, "z"),
        "?" + std::string(253, ' ') + "\n");

    std::vector<std::string> expected;
    for (size_t i = 0; i < written.size(); ++i) {
        EXPECT_TRUE(written[i].first) << "message " << i;
        expected.push_back(written[i].second);
    }
    SegmentPeek seg(lp.key());
    EXPECT_EQ(seg.texts(), expected);

    // The tool prints the texts as they were cut.
    ToolResult r = runTool(KQLOGREADER_PATH, {"-p", lp.serviceName(), "-d"});
    EXPECT_EQ(r.err, "");
    std::vector<NodeSeen> nodes;
    ASSERT_TRUE(seg.walk(nodes));
    EXPECT_EQ(r.out, seg.expectedDump(lp.serviceName(), nodes));
    // A message starts a line of its own exactly when the one before it
    // ended with a line feed.
    size_t nStartingLine = 1;
    for (size_t i = 1; i < expected.size(); ++i)
        nStartingLine += expected[i - 1].back() == '\n';
    size_t nPrefixedLines = 0;
    for (const std::string& line : splitLines(r.out))
        nPrefixedLines += line.rfind("[INFO  t ", 0) == 0 || line.rfind("[WARN  t ", 0) == 0;
    EXPECT_EQ(nPrefixedLines, nStartingLine);
}

// After every message the chain from logReadPos ends at logWritePos and
// holds the newest messages; kqlogreader prints them exactly.
TEST(WriterRing, RoundTripAcrossManyWraps) {
    for (int ringSize : {550, 1000, 4097}) {
        SCOPED_TRACE(ringSize);
        ScratchLogPath lp("/var/run");
        ASSERT_TRUE(lp.ok());
        ASSERT_TRUE(writer()->init(lp.path().c_str(), ringSize));
        ASSERT_EQ(writer()->registerTag("round", KQLOG_LEVEL_TRACE), 0);
        SegmentPeek seg(lp.key());
        time_t t0 = time(nullptr);
        std::vector<std::string> written;
        int wraps = 0;
        for (int i = 0; i < 400; ++i) {
            size_t len = i % 7 == 0 ? 255 : size_t(i * 37 % 254 + 1);
            std::string text = std::to_string(i) + std::string(len, char('a' + i % 26));
            text.resize(len - 1);
            text += '\n';
            int32_t before = seg.head()->logWritePos;
            ASSERT_TRUE(writer()->log(0, ENUM_KQLOG_LEVEL(i % 6), text.c_str()));
            written.push_back(text);
            wraps += seg.head()->logWritePos < before;
            std::vector<std::string> chain = seg.texts();
            ASSERT_FALSE(chain.empty()) << "message " << i;
            ASSERT_TRUE(std::equal(chain.rbegin(), chain.rend(), written.rbegin()))
                << "message " << i;
        }
        EXPECT_GT(wraps, 10);
        std::vector<NodeSeen> nodes;
        ASSERT_TRUE(seg.walk(nodes));
        for (const NodeSeen& n : nodes) {
            EXPECT_GE(seg.head()->starttime + n.sec, t0);
            // time() reads a coarse clock that may trail the writer's.
            EXPECT_LE(seg.head()->starttime + n.sec, time(nullptr) + 1);
            EXPECT_LT(n.ms, 1000);
        }
        ToolResult r = runTool(KQLOGREADER_PATH, {"-p", lp.serviceName(), "-d"});
        EXPECT_EQ(r.out, seg.expectedDump(lp.serviceName(), nodes));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exitStatus, 1);
    }
}
