/*
 * test_confline.cpp - the shared line reader, the configuration line
 * syntax and the clamped number conversions.
 */
#include <gtest/gtest.h>

#include <limits.h>
#include <stdio.h>
#include <vector>

#include "confline.h"

namespace {

struct Parsed {
    bool ok;
    std::string name, value;
};

Parsed parse(const char *line)
{
    char name[LINE_SIZE] = "", value[LINE_SIZE] = "";
    bool ok = confParseLine(line, name, value) == 1;
    return {ok, name, value};
}

TEST(ConfLine, AcceptedForms)
{
    Parsed p = parse("level = 7\n");
    EXPECT_TRUE(p.ok);
    EXPECT_EQ("level", p.name);
    EXPECT_EQ("7", p.value);

    p = parse("LEVEL=7\n");
    EXPECT_TRUE(p.ok);
    EXPECT_EQ("LEVEL", p.name);

    p = parse("level\t=\t7 trailing words\n");
    EXPECT_TRUE(p.ok);
    EXPECT_EQ("7", p.value);

    p = parse("table = a=b;c\n"); /* the value is one token, '=' included */
    EXPECT_EQ("a=b;c", p.value);

    p = parse("max_queue = 5 # comment\n");
    EXPECT_EQ("5", p.value);

    p = parse("level=7"); /* last line without newline */
    EXPECT_TRUE(p.ok);
}

TEST(ConfLine, RejectedForms)
{
    EXPECT_FALSE(parse("# level = 7\n").ok);
    EXPECT_FALSE(parse(" level = 7\n").ok);
    EXPECT_FALSE(parse("\tlevel = 7\n").ok);
    EXPECT_FALSE(parse("= 7\n").ok);
    EXPECT_FALSE(parse("level 7\n").ok);
    EXPECT_FALSE(parse("level =\n").ok);
    EXPECT_FALSE(parse("level = \n").ok);
    EXPECT_FALSE(parse("\n").ok);
    EXPECT_FALSE(parse("").ok);
}

TEST(ConfLine, LongestLineFitsBuffers)
{
    /* A 999-character piece, as fgets delivers it, fills name and value
     * without overrunning them. */
    std::string line(500, 'n');
    line += "=";
    line += std::string(498, 'v');
    Parsed p = parse(line.c_str());
    EXPECT_TRUE(p.ok);
    EXPECT_EQ(500u, p.name.size());
    EXPECT_EQ(498u, p.value.size());
}

/* What the reader makes of a file: each piece with '^' before it when it
 * starts a line, '+' when it continues one; and the lines a settings
 * reader gets. */
struct ReadBack {
    std::vector<std::string> pieces, lines;
};

ReadBack readBack(const std::string &text)
{
    ReadBack out;
    char buf[LINE_SIZE];
    size_t len;
    int lineStart;
    for (int settings = 0; settings < 2; settings++) {
        /* fmemopen wants a size of at least 1. */
        FILE *f = text.empty() ? fopen("/dev/null", "r")
                               : fmemopen((void *)text.data(), text.size(), "r");
        struct ConfReader r;
        confReaderInit(&r, f);
        if (settings) {
            while (confReadLine(&r, buf, sizeof buf))
                out.lines.push_back(buf);
        } else {
            while (confReadPiece(&r, buf, sizeof buf, &len, &lineStart))
                out.pieces.push_back((lineStart ? "^" : "+") + std::string(buf, len));
        }
        fclose(f);
    }
    return out;
}

TEST(ConfLine, ReaderSkipsTheRestOfLongLines)
{
    const std::string a998(998, 'a'), a999(999, 'a'), b999(999, 'b');
    struct Case {
        std::string text;
        std::vector<std::string> pieces, lines;
    } cases[] = {
        {"", {}, {}},
        {"x=1\ny=2", {"^x=1\n", "^y=2"}, {"x=1\n", "y=2"}},
        /* 998 characters and the newline still fit; 999 do not. */
        {a998 + "\nz=1\n", {"^" + a998 + "\n", "^z=1\n"}, {a998 + "\n", "z=1\n"}},
        {a999 + "\nz=1\n", {"^" + a999, "+\n", "^z=1\n"}, {a999, "z=1\n"}},
        /* The issue that matters: a long comment that runs into a setting. */
        {"#" + a998 + "USER=x\n" + "k=v\n", {"^#" + a998, "+USER=x\n", "^k=v\n"}, {"#" + a998, "k=v\n"}},
        {a999 + b999 + "c\nz", {"^" + a999, "+" + b999, "+c\n", "^z"}, {a999, "z"}},
        /* A stray NUL is a byte of its line, not an end. */
        {std::string("a\0b\nc\n", 6), {std::string("^a\0b\n", 5), "^c\n"}, {"a", "c\n"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        ReadBack r = readBack(c.text);
        EXPECT_EQ(c.pieces, r.pieces);
        EXPECT_EQ(c.lines, r.lines);
    }
}

TEST(ConfLine, IntValueIsAtoiWithClamping)
{
    EXPECT_EQ(3, confIntValue("3x"));
    EXPECT_EQ(0, confIntValue("abc"));
    EXPECT_EQ(0, confIntValue(""));
    EXPECT_EQ(-4, confIntValue("  -4"));
    EXPECT_EQ(7, confIntValue("+7"));
    EXPECT_EQ(INT_MAX, confIntValue("99999999999999999999"));
    EXPECT_EQ(INT_MIN, confIntValue("-99999999999999999999"));
    EXPECT_EQ(INT_MAX, confIntValue("2147483648"));
}

TEST(ConfLine, StrictIntNeedsDigitsAndNothingAfter)
{
    int out = 42;
    EXPECT_TRUE(confIntStrict(" 4", &out));
    EXPECT_EQ(4, out);
    EXPECT_TRUE(confIntStrict("+7", &out));
    EXPECT_EQ(7, out);
    EXPECT_TRUE(confIntStrict("-1", &out));
    EXPECT_EQ(-1, out);

    out = 42;
    EXPECT_FALSE(confIntStrict("4 ", &out));
    EXPECT_FALSE(confIntStrict("5x", &out));
    EXPECT_FALSE(confIntStrict("5#", &out));
    EXPECT_FALSE(confIntStrict("", &out));
    EXPECT_FALSE(confIntStrict("-", &out));
    EXPECT_FALSE(confIntStrict(" ", &out));
    EXPECT_EQ(42, out);

    EXPECT_TRUE(confIntStrict("-3000000000", &out));
    EXPECT_EQ(INT_MIN, out);
}

} // namespace
