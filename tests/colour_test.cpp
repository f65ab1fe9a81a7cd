// --color: when records are coloured, each level's colour, and the lines
// of a record wrapped in it, against a slow reference.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "Colour.h"

namespace {

TEST(Colour, WhenWhich) {
    ColourWhen e = ColourWhen::NEVER;
    EXPECT_TRUE(parseColourWhen(nullptr, &e));
    EXPECT_EQ(e, ColourWhen::AUTO);
    EXPECT_TRUE(parseColourWhen("always", &e));
    EXPECT_EQ(e, ColourWhen::ALWAYS);
    EXPECT_TRUE(parseColourWhen("never", &e));
    EXPECT_EQ(e, ColourWhen::NEVER);
    EXPECT_TRUE(parseColourWhen("auto", &e));
    EXPECT_EQ(e, ColourWhen::AUTO);
    for (const char* bad : {"", "yes", "Always", "auto ", "1", "none"})
        EXPECT_FALSE(parseColourWhen(bad, &e)) << bad;
}

TEST(Colour, AutoOnlyOnATerminalWithoutNoColorOrADumbTerm) {
    struct {
        ColourWhen when;
        bool terminal;
        const char* noColor;
        const char* term;
        bool want;
    } cases[] = {
        {ColourWhen::AUTO, true, nullptr, "xterm", true},
        {ColourWhen::AUTO, true, nullptr, nullptr, true},
        {ColourWhen::AUTO, false, nullptr, "xterm", false},
        {ColourWhen::AUTO, true, "1", "xterm", false},
        {ColourWhen::AUTO, true, "", "xterm", true},  // set but empty
        {ColourWhen::AUTO, true, nullptr, "dumb", false},
        {ColourWhen::AUTO, true, nullptr, "dumber", true},
        {ColourWhen::ALWAYS, false, "1", "dumb", true},
        {ColourWhen::NEVER, true, nullptr, "xterm", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(colourWanted(c.when, c.terminal, c.noColor, c.term), c.want)
            << int(c.when) << c.terminal << (c.noColor ? c.noColor : "-")
            << (c.term ? c.term : "-");
}

// Line by line: every line that is not empty gets the colour before it
// and the reset after it, before its line feed.
std::string referenceColoured(const std::string& sgr, const std::string& in) {
    std::string out, line;
    for (char c : in) {
        if (c != '\n') {
            line += c;
            continue;
        }
        if (!line.empty()) out += sgr + line + "\x1b[0m";
        out += '\n';
        line.clear();
    }
    if (!line.empty()) out += sgr + line + "\x1b[0m";
    return out;
}

std::string coloured(const char* pSgr, const std::string& in) {
    std::string out(colouredSize(pSgr, in.data(), in.size()), '\0');
    size_t n = colourLines(pSgr, in.data(), in.size(), &out[0]);
    EXPECT_LE(n, out.size());
    out.resize(n);
    return out;
}

TEST(Colour, LinesAreWrappedWithTheResetBeforeEachLineFeed) {
    const char* r = "\x1b[31m";
    EXPECT_EQ(coloured(r, "[ERROR t] x\n"), "\x1b[31m[ERROR t] x\x1b[0m\n");
    EXPECT_EQ(coloured(r, "no feed"), "\x1b[31mno feed\x1b[0m");
    EXPECT_EQ(coloured(r, "a\nb\n"),
              "\x1b[31ma\x1b[0m\n\x1b[31mb\x1b[0m\n");
    EXPECT_EQ(coloured(r, "a\n\nb"), "\x1b[31ma\x1b[0m\n\n\x1b[31mb\x1b[0m");
    EXPECT_EQ(coloured(r, "\n"), "\n");
    EXPECT_EQ(coloured(r, ""), "");
}

TEST(Colour, ManyTextsMatchTheReference) {
    std::mt19937 gen(18);
    const char* const sgrs[] = {"\x1b[2m", "\x1b[33m", "\x1b[1;31m"};
    for (int i = 0; i < 20000; ++i) {
        std::string in(gen() % 300, '\0');
        // Mostly line feeds and letters, so that empty lines, runs of line
        // feeds and texts ending either way all come up.
        for (char& c : in) c = gen() % 3 == 0 ? '\n' : char('a' + gen() % 26);
        const char* sgr = sgrs[i % 3];
        ASSERT_EQ(coloured(sgr, in), referenceColoured(sgr, in))
            << ::testing::PrintToString(in);
    }
}

}  // namespace
