/*
 * The rewrite of kelaudit.conf driven in-process: which lines are replaced,
 * which are copied byte for byte, and the failures that only the module's
 * file-operation seam can produce.
 */
#include <gtest/gtest.h>

#include <errno.h>
#include <memory>

#include "kelpasswd.h"
#include "kelsys.h"
#include "toolrun.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

class PasswdRewrite : public ::testing::Test {
protected:
    kt::ConfHome h;
    kt::ScopedEnv smHome{"SM_HOME", h.home.path().c_str()};
    std::string out, err;

    void TearDown() override { kelSysReset(); }

    int write(const char *scrambledText)
    {
        CaptureStdout();
        CaptureStderr();
        int ok = passwdWriteConfig(scrambledText);
        out = GetCapturedStdout();
        err = GetCapturedStderr();
        return ok;
    }

    std::string rewrite(const std::string &before, const char *scrambledText = "SCR")
    {
        kt::writeFile(h.conf, before);
        EXPECT_EQ(1, write(scrambledText)) << err;
        EXPECT_EQ("Password written to file " + h.conf + "\n", out);
        EXPECT_EQ(std::vector<std::string>{"kelaudit.conf"}, h.entries());
        return kt::readFile(h.conf);
    }
};

TEST_F(PasswdRewrite, PasswordLinesReplacedWithTheirSpelling)
{
    EXPECT_EQ("PASSWORD = SCR\n", rewrite("PASSWORD = old\n"));
    EXPECT_EQ("password = SCR\nuser = u\nPassWord = SCR\n",
              rewrite("password=a\nuser = u\nPassWord\t=\tb and more\n"));
    EXPECT_EQ("user = u\npassword = SCR\n", rewrite("user = u\n"));
    EXPECT_EQ("user = u\npassword = SCR\n", rewrite("user = u"));
    EXPECT_EQ("password = SCR\n", rewrite(""));
    EXPECT_EQ("password = \n", rewrite("password = old\n", ""));
}

TEST_F(PasswdRewrite, EverythingElseCopiedByteForByte)
{
    /* Lines the handler's reader does not take as a password: comments,
     * blank and indented lines, a key without value. A stray NUL and a CR
     * stay as they are. */
    const std::string kept = std::string("# password = c\n\n   \n password = indented\n") +
                             "\tpassword = tab\nmax_queue=5 # x\r\n=password\npassword =\n" +
                             std::string("user = a\0b\n", 11) + "passwordx = y\nlast";
    EXPECT_EQ(kept + "\npassword = SCR\n", rewrite(kept));
}

TEST_F(PasswdRewrite, LongLinesAreCopiedWholeOrReplacedWhole)
{
    /* Only the start of a line can be a password line, as for the event
     * handler's reader: a long comment whose 1000th byte begins
     * "password =" is copied byte for byte. */
    const std::string comment = "#" + std::string(1500, 'c') + "\n";
    EXPECT_EQ(comment + "password = SCR\n", rewrite(comment));
    const std::string hidden = "#" + std::string(998, 'c') + "password = x\nuser = u";
    EXPECT_EQ(hidden + "\npassword = SCR\n", rewrite(hidden));

    /* A long password line is replaced whole: nothing of its old value
     * stays behind as a line of its own. */
    EXPECT_EQ("password = SCR\nuser = u\n",
              rewrite("password = " + std::string(1200, 'v') + "\nuser = u\n"));
    EXPECT_EQ("password = SCR\n", rewrite("password = " + std::string(988, 'v') + "\n"));
}

TEST_F(PasswdRewrite, RenameFailureKeepsConfigurationAndTemporaryFile)
{
    kt::writeFile(h.conf, "password = old\n");
    kelSys.rename = [](const char *, const char *) {
        errno = EXDEV;
        return -1;
    };
    EXPECT_EQ(0, write("SCR"));
    std::string temp = kt::pathAfter(err, "Can't rename file ");
    EXPECT_EQ("Can't rename file " + temp + " to " + h.conf + ": Invalid cross-device link\n", err);
    EXPECT_EQ("", out);
    EXPECT_EQ(0u, temp.find(h.dir + "/kel"));
    EXPECT_EQ("password = SCR\n", kt::readFile(temp));
    EXPECT_EQ("password = old\n", kt::readFile(h.conf));
}

/* Data that may not have reached the disk must not replace the old file. */
TEST_F(PasswdRewrite, FailedSyncIsAWriteError)
{
    kt::writeFile(h.conf, "password = old\n");
    kelSys.fsync = [](int) {
        errno = EIO;
        return -1;
    };
    EXPECT_EQ(0, write("SCR"));
    std::string temp = kt::pathAfter(err, "Write error on temporary file ");
    EXPECT_EQ("Write error on temporary file " + temp + "\n", err);
    EXPECT_TRUE(kt::fileExists(temp));
    EXPECT_EQ("password = old\n", kt::readFile(h.conf));
}

} // namespace
