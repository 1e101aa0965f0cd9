/*
 * Interactive kelpasswd at a pseudo-terminal: the two no-echo prompts, the
 * retry after a mismatch, end of input, and the cut of an overlong entry.
 */
#include <gtest/gtest.h>

#include "toolrun.h"

namespace {

using kt::ToolResult;

class PasswdTty : public ::testing::Test {
protected:
    kt::ConfHome h;
    std::unique_ptr<kt::TtyRun> tty;

    void SetUp() override
    {
        kt::writeFile(h.conf, "user = u\n");
        kt::ToolOptions o;
        o.env["SM_HOME"] = h.home.path();
        tty = std::make_unique<kt::TtyRun>(o);
    }

    /* Answers both prompts. */
    void enter(const std::string &first, const std::string &second)
    {
        ASSERT_TRUE(tty->expect("Password: ")) << tty->screen();
        tty->type(first + "\n");
        ASSERT_TRUE(tty->expect("Confirm password: ")) << tty->screen();
        tty->type(second + "\n");
    }

    std::string written() const { return "Password written to file " + h.conf + "\n"; }
};

TEST_F(PasswdTty, MatchingEntriesAreWrittenUnechoed)
{
    enter("Typed-Secret7", "Typed-Secret7");
    EXPECT_EQ((ToolResult{0, written(), ""}), tty->finish());
    EXPECT_EQ(std::string::npos, tty->screen().find("Typed")) << tty->screen();
    EXPECT_EQ("Typed-Secret7", kt::handlerPassword(h.conf));
}

TEST_F(PasswdTty, MismatchAsksAgain)
{
    enter("first", "First");
    enter("second", "second");
    EXPECT_EQ((ToolResult{0, "Passwords differ\n" + written(), ""}), tty->finish());
    EXPECT_EQ("second", kt::handlerPassword(h.conf));
}

TEST_F(PasswdTty, EndOfInputAtEitherPromptEndsSilently)
{
    ASSERT_TRUE(tty->expect("Password: "));
    tty->type("\x04"); /* the terminal's end-of-file key */
    EXPECT_EQ((ToolResult{1, "", ""}), tty->finish());

    SetUp();
    ASSERT_TRUE(tty->expect("Password: "));
    tty->type("abc\n");
    ASSERT_TRUE(tty->expect("Confirm password: "));
    tty->type("\x04");
    EXPECT_EQ((ToolResult{1, "", ""}), tty->finish());
    EXPECT_EQ("user = u\n", kt::readFile(h.conf));
}

/* The first entry is cut to 999 characters; only the cut text confirms it. */
TEST_F(PasswdTty, OverlongEntryIsCutAndConfirmedByTheCutText)
{
    const std::string typed(1200, 'k'), cut(999, 'k');
    enter(typed, typed);
    enter(typed, cut);
    EXPECT_EQ((ToolResult{0, "Passwords differ\n" + written(), ""}), tty->finish());
    EXPECT_EQ("user = u\npassword = " + kt::scrambled(cut) + "\n", kt::readFile(h.conf));
}

} // namespace
