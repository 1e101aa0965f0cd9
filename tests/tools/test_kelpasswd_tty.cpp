/*
 * Interactive kelpasswd at a pseudo-terminal: the two no-echo prompts, the
 * retry after a mismatch, end of input, the cut of an overlong entry, and
 * the terminal's signal keys (interrupt, quit, suspend).
 */
#include <gtest/gtest.h>

#include "toolrun.h"

namespace {

using kt::ToolResult;

class PasswdTty : public ::testing::Test {
protected:
    kt::ConfHome h;
    std::unique_ptr<kt::TtyRun> tty;

    void SetUp() override { start(false); }

    void start(bool jobControl)
    {
        kt::writeFile(h.conf, "user = u\n");
        kt::ToolOptions o;
        o.env["SM_HOME"] = h.home.path();
        o.jobControl = jobControl;
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

/* The first entry is cut to 999 characters; only the cut text confirms it.
 * The event handler reads at most 988, so the cut entry is then refused. */
TEST_F(PasswdTty, OverlongEntryIsCutAndConfirmedByTheCutText)
{
    std::string typed, cut;
    for (int i = 0; i < 1200; i++)
        typed += "kel9-"[i % 5];
    cut = typed.substr(0, 999);
    enter(typed, typed);
    enter(typed, cut);
    EXPECT_EQ((ToolResult{1, "Passwords differ\n",
                          "Password is too long for the event handler: at most 988 characters\n"}),
              tty->finish());
    EXPECT_EQ("user = u\n", kt::readFile(h.conf));
}

/* Interrupt and quit at either prompt end the tool with status 1, echo on
 * again and the file untouched; the half-typed entry goes nowhere. */
TEST_F(PasswdTty, InterruptOrQuitEndsWithEchoBackOn)
{
    for (const char *key : {"\x03", "\x1c"}) {
        for (bool atConfirm : {false, true}) {
            SCOPED_TRACE(std::string(key == std::string("\x03") ? "Ctrl-C" : "Ctrl-\\") +
                         (atConfirm ? " at the confirmation" : " at the first prompt"));
            start(true);
            ASSERT_TRUE(tty->expect("Password: ")) << tty->screen();
            if (atConfirm) {
                tty->type("Secret-1\n");
                ASSERT_TRUE(tty->expect("Confirm password: ")) << tty->screen();
            }
            tty->type(std::string("half") + key);
            ASSERT_TRUE(tty->expect("[ended, echo on]")) << tty->screen();
            EXPECT_EQ((ToolResult{1, "", ""}), tty->finish());
            EXPECT_EQ("user = u\n", kt::readFile(h.conf));
            EXPECT_EQ(std::string::npos, tty->screen().find("half"));
        }
    }
}

/* Suspend stops the tool with echo on; going on, the prompt comes again
 * with echo off and the entry starts afresh. Without job control (an
 * orphaned process group, where the system does not stop it) the prompt
 * comes again all the same. No key's byte reaches the password. */
TEST_F(PasswdTty, SuspendStopsWithEchoOnAndPromptsAgain)
{
    for (bool jobControl : {true, false}) {
        SCOPED_TRACE(jobControl ? "job control" : "orphaned");
        start(jobControl);
        ASSERT_TRUE(tty->expect("Password: ")) << tty->screen();
        tty->type("half\x1a");
        if (jobControl) {
            ASSERT_TRUE(tty->expect("[stopped, echo on]")) << tty->screen();
        }
        ASSERT_TRUE(tty->expect("Password: ")) << tty->screen();
        tty->type("Resumed-7\n");
        ASSERT_TRUE(tty->expect("Confirm password: ")) << tty->screen();
        tty->type("Resumed-7\n");
        if (jobControl) {
            ASSERT_TRUE(tty->expect("[ended, echo on]")) << tty->screen();
        }
        EXPECT_EQ((ToolResult{0, written(), ""}), tty->finish());
        EXPECT_EQ("Resumed-7", kt::handlerPassword(h.conf));
        EXPECT_EQ(std::string::npos, tty->screen().find("Resumed")) << tty->screen();
    }
}

} // namespace
