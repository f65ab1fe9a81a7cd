// Malformed kqlogreader command lines, run against a real segment with tags
// and log nodes: unknown letters, missing arguments, bad numbers, empty and
// over-long names, repeated and grouped options, stray arguments. Each run
// must print exactly its complaint (getopt's on stderr, the tool's own and
// the usage on stdout), exit with status 1, and leave every byte of the
// segment (header, tag table, ring) as it was.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "TestSegment.h"
#include "ReaderToolText.h"
#include "ToolRunner.h"

namespace {

const std::string kTool = KQLOGREADER_PATH;
const std::string kUsage = kTool + kReaderUsageText;
// The segment's nodes as -d prints them (TZ=UTC, starttime 0).
const std::string kLines =
    "[INFO  net 01-01 00:00:01 0005] hello\n"
    "[ERROR disk 01-01 00:01:02 0250] disk full\n"
    "[DEBUG app 01-01 01:01:01 0999] bye\n";

std::string invalidOption(char c) {
    return kTool + ": invalid option -- '" + c + "'\n";
}
std::string needsArgument(char c) {
    return kTool + ": option requires an argument -- '" + c + "'\n";
}
std::string wrongValue(const std::string& value, char c) {
    return "Wrong value[" + value + "] for option -" + c + "!!\n" + kUsage;
}
std::string ftokFailed(int err, const std::string& path) {
    return std::string("ftok failed(") + strerror(err) + "), " + path +
           " not exist!\n";
}

struct Case {
    std::vector<std::string> args;
    std::string out;
    std::string err;
};

class BadArgs : public VarRunTest {
protected:
    void SetUp() override {
        VarRunTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(seg.ok());
        seg.setTag(0, "net", 2, true);
        seg.setTag(1, "disk", 0, false);
        seg.setTag(2, "app", 5, true);
        seg.appendNode("hello\n", 0, 2, 1, 5);
        seg.appendNode("disk full\n", 1, 4, 62, 250);
        seg.appendNode("bye\n", 2, 1, 3661, 999);
        name = seg.serviceName();
        path = seg.path();
    }

    void run(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::PrintToString(c.args));
            std::vector<uint8_t> before(seg.bytes(),
                                        seg.bytes() + seg.bytesSize());
            ToolResult r = runTool(kTool, c.args, {"TZ=UTC"});
            EXPECT_EQ(r.out, c.out);
            EXPECT_EQ(r.err, c.err);
            EXPECT_EQ(r.exitStatus, 1);
            EXPECT_EQ(r.termSignal, 0);
            size_t i = 0;
            while (i < before.size() && before[i] == seg.bytes()[i]) ++i;
            EXPECT_EQ(i, before.size()) << "segment changed at byte " << i;
        }
    }

    TestSegment seg{1024, "/var/run"};
    std::string name;
    std::string path;
};

TEST_F(BadArgs, UnknownLettersEndTheRunWithGetoptsComplaintAndUsage) {
    run({
        {{"-x", "-p", name}, kUsage, invalidOption('x')},
        {{"-p", name, "-z", "-d"}, kUsage, invalidOption('z')},
        {{"-p", name, "-V", "-P", name}, kUsage, invalidOption('P')},
        {{"-p", name, "-?"}, kUsage, invalidOption('?')},
        {{"-p", name, "--bogus"}, kUsage,
         kTool + ": unrecognized option '--bogus'\n"},
        {{"-p", name, "-d", "-l", "3", "-q"}, kUsage, invalidOption('q')},
    });
}

TEST_F(BadArgs, MissingArgumentsEndTheRunBeforeAnything) {
    run({
        {{"-p"}, kUsage, needsArgument('p')},
        {{"-p", name, "-l"}, kUsage, needsArgument('l')},
        {{"-p", name, "-i"}, kUsage, needsArgument('i')},
        {{"-p", name, "-t"}, kUsage, needsArgument('t')},
        {{"-p", name, "-f"}, kUsage, needsArgument('f')},
        {{"-p", name, "-D"}, kUsage, needsArgument('D')},
        {{"-p", name, "-l", "3", "-t"}, kUsage, needsArgument('t')},
        // The next word is the argument even when it looks like an option.
        {{"-p", name, "-l", "-d"}, wrongValue("-d", 'l'), ""},
        {{"-p", "-d"},
         banner("/var/run/-d") + kInitFailed,
         ftokFailed(ENOENT, "/var/run/-d")},
    });
}

TEST_F(BadArgs, BadNumbersAreRejectedBeforeAttaching) {
    std::vector<Case> cases;
    for (char opt : {'i', 't', 'f', 'l'}) {
        for (const char* value :
             {"abc", "1x", "", "0x10", "99999999999", "3 ", "--1", "1.5"})
            cases.push_back({{"-p", name, std::string("-") + opt, value},
                             wrongValue(value, opt), ""});
    }
    // Tag indexes run from -1 to 255 only.
    for (char opt : {'i', 't', 'f'}) {
        for (const char* value : {"256", "-2", "1000"})
            cases.push_back({{"-p", name, std::string("-") + opt, value},
                             wrongValue(value, opt), ""});
    }
    // Levels are 32-bit values: beyond them the value is wrong, within
    // them a negative level changes nothing and one above 5 is refused
    // after attaching.
    cases.push_back({{"-p", name, "-l", "2147483648"},
                     wrongValue("2147483648", 'l'), ""});
    cases.push_back({{"-p", name, "-l", "-2147483649"},
                     wrongValue("-2147483649", 'l'), ""});
    cases.push_back({{"-p", name, "-l", "-2"}, banner(path), ""});
    cases.push_back({{"-p", name, "-l", "256"},
                     banner(path) + "Wrong log level[256]!!\n", ""});
    cases.push_back({{"-p", name, "-l", "2147483647"},
                     banner(path) + "Wrong log level[2147483647]!!\n", ""});
    // Options met before the bad one have not acted yet.
    cases.push_back({{"-p", name, "-l", "3", "-t", "1", "-f", "abc"},
                     wrongValue("abc", 'f'), ""});
    cases.push_back({{"-i", "x1", "-p", name, "-l", "0"},
                     wrongValue("x1", 'i'), ""});
    run(cases);
}

TEST_F(BadArgs, EmptyWrongAndOverlongNames) {
    const std::string longName(5000, 'a');
    const std::string longPath = "/var/run/" + longName;
    run({
        {{"-p", ""}, kUsage, ""},
        {{"-p", "", "-d", "-s"}, kUsage, ""},
        {{"-p", longName},
         banner(longPath) + kInitFailed,
         ftokFailed(ENAMETOOLONG, longPath)},
        {{"-p", longName, "-d", "-l", "3"},
         banner(longPath) + kInitFailed,
         ftokFailed(ENAMETOOLONG, longPath)},
        {{"-p", name + "/", "-d"},
         banner(path + "/") + kInitFailed,
         ftokFailed(ENOTDIR, path + "/")},
        {{"-p", name + "-gone", "-d"},
         banner(path + "-gone") + kInitFailed,
         ftokFailed(ENOENT, path + "-gone")},
        // Dump files that cannot be written: the reader's message only.
        {{"-p", name, "-D", longPath},
         banner(path) + "Dumping Log Memory tp [" + longPath + "]...\n",
         "fopen[" + longPath + "] failed!! err: " + strerror(ENAMETOOLONG) +
             "\n"},
        {{"-p", name, "-D", "/var/run"},
         banner(path) + "Dumping Log Memory tp [/var/run]...\n",
         std::string("fopen[/var/run] failed!! err: ") + strerror(EISDIR) +
             "\n"},
        {{"-p", name, "-D", "", "-d"}, banner(path) + kLines, ""},
    });
}

TEST_F(BadArgs, RepeatedGroupedAndStrayArguments) {
    const std::string listing =
        "LogBufSize: [1024] Bytes\n"
        "AllLevels: \n"
        "0 -> TRACE\n1 -> DEBUG\n2 -> INFO \n3 -> WARN \n4 -> ERROR\n"
        "5 -> FATAL\n"
        "[0] Tag[net] Level[INFO :2] [Enabled]\n"
        "[1] Tag[disk] Level[TRACE:0] [Disabled]\n"
        "[2] Tag[app] Level[FATAL:5] [Enabled]\n";
    run({
        // Repeated: -p arguments are appended, later values win, a bad
        // value ends the run at once.
        {{"-p", name, "-p", name},
         banner(path + name) + kInitFailed,
         ftokFailed(ENOENT, path + name)},
        {{"-p", name, "-l", "7", "-l", "8"},
         banner(path) + "Wrong log level[8]!!\n", ""},
        {{"-p", name, "-t", "abc", "-t", "1"}, wrongValue("abc", 't'), ""},
        {{"-p", name, "-d", "-d"}, banner(path) + kLines, ""},
        {{"-h", "-h", "-p", name}, kUsage, ""},
        // Grouped letters, with an argument attached or missing.
        {{"-dp" + name}, banner(path) + kLines, ""},
        {{"-p", name, "-de"}, banner(path), ""},
        {{"-p", name, "-ltoo"}, wrongValue("too", 'l'), ""},
        {{"-p", name, "-sl3"}, banner(path) + listing, ""},
        {{"-p", name, "-dx"}, kUsage, invalidOption('x')},
        {{"-p", name, "-dp"}, kUsage, needsArgument('p')},
        // Words that are not options are passed over; "--" ends the options.
        {{"-p", name, "extra"}, banner(path), ""},
        {{"extra", "-p", name, "-d"}, banner(path) + kLines, ""},
        {{"-p", name, "-", "-d"}, banner(path) + kLines, ""},
        {{"-p", name, "--", "-d"}, banner(path), ""},
        {{name}, kUsage, ""},
        {{"--", "-p", name}, kUsage, ""},
    });
}

}  // namespace
