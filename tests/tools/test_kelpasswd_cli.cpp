/*
 * kelpasswd run as the administrator runs it: messages, streams, exit
 * status, and what is (not) left in the configuration folder.
 *
 * As root, access(R_OK|W_OK) passes on a read-only file and permissions
 * stop no write, so the cases about permissions run the child as nobody.
 */
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "toolrun.h"

namespace {

using kt::ToolResult;

const bool asRoot = geteuid() == 0;

class PasswdCli : public ::testing::Test {
protected:
    kt::ConfHome h;

    /* Makes the file readable and writable by the unprivileged child. */
    void giveToChild(const std::string &path)
    {
        if (asRoot) {
            ASSERT_EQ(0, chown(path.c_str(), kt::NOBODY, kt::NOBODY));
        }
    }

    ToolResult runUnprivileged(const std::vector<std::string> &args)
    {
        kt::ToolOptions o;
        o.unprivileged = true;
        return h.run(args, o);
    }
};

TEST_F(PasswdCli, CommandLineMessages)
{
    const std::string before = "user = u\n";
    kt::ToolOptions noHome;
    noHome.args = {"pw"};
    kt::writeFile(h.conf, before);

    EXPECT_EQ((ToolResult{1, "", "Usage: kelpasswd {password}\n"}), h.run({"a", "b"}));
    EXPECT_EQ((ToolResult{1, "", "Usage: kelpasswd {password}\n"}), h.run({"a", "b", "c"}));
    EXPECT_EQ((ToolResult{1, "", "Password is too long\n"}), h.run({std::string(1000, 'x')}));
    EXPECT_EQ((ToolResult{1, "", "SM_HOME not defined\n"}), kt::runTool(noHome));
    /* No argument and no terminal: the tool says how to give the password. */
    EXPECT_EQ((ToolResult{1, "", "No terminal to ask for the password: give it on standard input with --stdin\n"}),
              h.run({}));
    EXPECT_EQ(before, kt::readFile(h.conf));

    /* 999 characters pass the argument's limit, not the handler's line. */
    EXPECT_EQ((ToolResult{1, "", "Password is too long for the event handler: at most 988 characters\n"}),
              h.run({std::string(999, 'x')}));
    EXPECT_EQ(before, kt::readFile(h.conf));
    std::string longest;
    while (longest.size() < 988)
        longest += "Xy-9"[longest.size() % 4];
    EXPECT_EQ((ToolResult{0, "Password written to file " + h.conf + "\n", ""}), h.run({longest}));
    EXPECT_EQ(before + "password = " + kt::scrambled(longest) + "\n", kt::readFile(h.conf));
}

TEST_F(PasswdCli, HelpAndEndOfOptions)
{
    const std::string before = "user = u\n";
    kt::writeFile(h.conf, before);
    for (const char *help : {"-h", "--help"}) {
        ToolResult r = h.run({help});
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(0u, r.out.find("Usage: kelpasswd {password}\n")) << r.out;
        EXPECT_EQ("", r.err);
    }
    const ToolResult usage{1, "", "Usage: kelpasswd {password}\n"};
    EXPECT_EQ(usage, h.run({"-x"}));
    EXPECT_EQ(usage, h.run({"--pasword"}));
    EXPECT_EQ(usage, h.run({"--", "a", "b"}));
    EXPECT_EQ(before, kt::readFile(h.conf));

    /* After "--" everything is the password, "-h" and "--" included. */
    for (const char *pw : {"-Secret9", "-h", "--"}) {
        EXPECT_EQ(0, h.run({"--", pw}).status);
        EXPECT_EQ(pw, kt::handlerPassword(h.conf));
    }
    EXPECT_EQ(0, h.run({"-"}).status);
    EXPECT_EQ("-", kt::handlerPassword(h.conf));
}

/* --stdin: the first line of standard input, as chpasswd and htpasswd -i
 * read it; what the handler reads back is that line. */
TEST_F(PasswdCli, PasswordFromStandardInput)
{
    const std::string before = "user = u\n";
    struct Case {
        std::vector<std::string> args;
        std::string input;
        ToolResult want;
        std::string readBack; /* the handler's password after the run */
    } cases[] = {
        {{"--stdin"}, "Stdin-pw1\n", {0, "Password written to file " + h.conf + "\n", ""}, "Stdin-pw1"},
        {{"--stdin"}, "No-newline2", {0, "Password written to file " + h.conf + "\n", ""}, "No-newline2"},
        {{"--stdin"}, "First-line3\nsecond\n", {0, "Password written to file " + h.conf + "\n", ""},
         "First-line3"},
        {{"--stdin"}, "", {1, "", "No password on standard input\n"}, "<none>"},
        {{"--stdin"}, "\n", {1, "", "Password is empty\n"}, "<none>"},
        {{"--stdin"}, std::string(1000, 'x') + "\n", {1, "", "Password is too long\n"}, "<none>"},
        {{"--stdin"}, "two words\n", {1, "", "Password contains white space, which the event handler does not read\n"},
         "<none>"},
        {{"--stdin", "pw"}, "Stdin-pw1\n", {1, "", "Usage: kelpasswd {password}\n"}, "<none>"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input.substr(0, 20));
        kt::writeFile(h.conf, before);
        kt::ToolOptions o;
        o.input = c.input;
        EXPECT_EQ(c.want, h.run(c.args, o));
        EXPECT_EQ(c.readBack, kt::handlerPassword(h.conf));
    }
}

/* A password the event handler would not read back as it was given is
 * refused, and nothing is written. */
TEST_F(PasswdCli, PasswordsTheHandlerWouldNotReadBackAreRefused)
{
    const std::string before = "password = " + kt::scrambled("Old-pw1") + "\n";
    struct Case {
        std::string password, err;
    } cases[] = {
        {"", "Password is empty\n"},
        {std::string(989, 'p'), "Password is too long for the event handler: at most 988 characters\n"},
        {"two words", "Password contains white space, which the event handler does not read\n"},
        {"tab\there", "Password contains white space, which the event handler does not read\n"},
        {std::string(40, 'z'), "Password does not come back through the scrambling; choose another\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        kt::writeFile(h.conf, before);
        EXPECT_EQ((ToolResult{1, "", c.err}), h.run({c.password}));
        EXPECT_EQ(before, kt::readFile(h.conf));
        EXPECT_EQ(std::vector<std::string>{"kelaudit.conf"}, h.entries());
    }
}

/* A FIFO or a device as kelaudit.conf cannot be read: the tool says so
 * and ends (it would wait for ever, or read without end). */
TEST_F(PasswdCli, ConfigurationThatIsNoRegularFileIsNotRead)
{
    const ToolResult cannotRead{1, "", "Can't read configuration file " + h.conf + "\n"};
    ASSERT_EQ(0, mkfifo(h.conf.c_str(), 0600));
    EXPECT_EQ(cannotRead, h.run({"pw"}));
    ASSERT_EQ(0, unlink(h.conf.c_str()));
    for (const char *device : {"/dev/zero", "/dev/urandom"}) {
        ASSERT_EQ(0, symlink(device, h.conf.c_str()));
        EXPECT_EQ(cannotRead, h.run({"pw"})) << device;
        ASSERT_EQ(0, unlink(h.conf.c_str()));
    }
    EXPECT_TRUE(h.entries().empty());
}

/* kelaudit.conf as a link (here relative, into another folder): the file
 * it points at is rewritten, with its mode, through a temporary file
 * beside it; the link stays a link. */
TEST_F(PasswdCli, LinkedConfigurationRewritesTheFileItPointsAt)
{
    kt::TempDir shared;
    chmod(shared.path().c_str(), 0755);
    std::string target = shared / "kelaudit.conf";
    kt::writeFile(target, "user = u\npassword = old\n");
    chmod(target.c_str(), 0640);
    std::string relative = "../../" + shared.path().substr(shared.path().rfind('/') + 1) + "/kelaudit.conf";
    ASSERT_EQ(0, symlink(relative.c_str(), h.conf.c_str()));
    ASSERT_EQ(kt::readFile(target), kt::readFile(h.conf)); /* both under one $TMPDIR */

    EXPECT_EQ((ToolResult{0, "Password written to file " + h.conf + "\n", ""}), h.run({"Linked-pw2"}));
    struct stat st;
    ASSERT_EQ(0, lstat(h.conf.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ("user = u\npassword = " + kt::scrambled("Linked-pw2") + "\n", kt::readFile(target));
    ASSERT_EQ(0, stat(target.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ(std::vector<std::string>{"kelaudit.conf"}, h.entries());
    EXPECT_EQ(std::vector<std::string>{"kelaudit.conf"}, kt::listDir(shared.path()));

    /* A link to nothing is a missing file. */
    ASSERT_EQ(0, unlink(target.c_str()));
    EXPECT_EQ((ToolResult{1, "", "Cannot access configuration file " + h.conf + ": No such file or directory\n"}),
              h.run({"pw"}));
}

TEST_F(PasswdCli, RoundTripThroughTheHandlersReader)
{
    kt::writeFile(h.conf, "# audit\nPassword = old\nuser = u\n");
    ASSERT_EQ(0, h.run({"Secret-Pass42"}).status);
    EXPECT_EQ("Secret-Pass42", kt::handlerPassword(h.conf));
    EXPECT_EQ("# audit\nPassword = " + kt::scrambled("Secret-Pass42") + "\nuser = u\n",
              kt::readFile(h.conf));

}

TEST_F(PasswdCli, InaccessibleFileStopsBeforeAnythingIsCreated)
{
    const std::string noEntry = "Cannot access configuration file " + h.conf + ": ";
    EXPECT_EQ((ToolResult{1, "", noEntry + "No such file or directory\n"}), h.run({"pw"}));
    EXPECT_TRUE(h.entries().empty());

    for (mode_t mode : {0444, 0200}) {
        SCOPED_TRACE(mode);
        kt::writeFile(h.conf, "password = old\n");
        giveToChild(h.conf);
        chmod(h.conf.c_str(), mode);
        EXPECT_EQ((ToolResult{1, "", noEntry + "Permission denied\n"}), runUnprivileged({"pw"}));
        EXPECT_EQ(std::vector<std::string>{"kelaudit.conf"}, h.entries());
        chmod(h.conf.c_str(), 0600);
        EXPECT_EQ("password = old\n", kt::readFile(h.conf));
    }
}

TEST_F(PasswdCli, ConfigurationPathNamingAFolderIsNotReplaced)
{
    kt::makeDirs(h.conf);
    kt::writeFile(h.conf + "/keep", "x");
    EXPECT_EQ((ToolResult{1, "", "Can't read configuration file " + h.conf + "\n"}), h.run({"pw"}));
    EXPECT_EQ(std::vector<std::string>{"kelaudit.conf"}, h.entries());
    EXPECT_EQ("x", kt::readFile(h.conf + "/keep"));
}

/* A path longer than its 1000-character buffer is refused: cut, it would
 * name another file, here a real "kelaudit.con" that must stay untouched. */
TEST_F(PasswdCli, OverlongPathIsRefusedNotCut)
{
    const std::string tail = "/config/kelaudit.conf";
    std::string home = h.home.path();
    while (home.size() + 200 < 1000 - tail.size())
        home += "/" + std::string(199, 'd');
    home += "/" + std::string(1000 - tail.size() - home.size() - 1, 'e');
    ASSERT_EQ(1000u, (home + tail).size());
    kt::makeDirs(home + "/config");
    std::string cut = (home + tail).substr(0, 999);
    kt::writeFile(cut, "password = old\n");
    kt::writeFile(home + tail, "password = old\n");

    kt::ToolOptions o;
    o.args = {"pw"};
    o.env["SM_HOME"] = home;
    EXPECT_EQ((ToolResult{1, "", "Cannot access configuration file " + cut + ": File name too long\n"}),
              kt::runTool(o));
    EXPECT_EQ("password = old\n", kt::readFile(cut));
    EXPECT_EQ("password = old\n", kt::readFile(home + tail));
}

TEST_F(PasswdCli, TemporaryFileCannotBeCreated)
{
    kt::writeFile(h.conf, "password = old\n");
    giveToChild(h.conf);
    chmod(h.dir.c_str(), 0555);
    EXPECT_EQ((ToolResult{1, "", "Can't create temporary file " + h.dir + "/kelXXXXXX\n"}),
              runUnprivileged({"pw"}));
    EXPECT_EQ(std::vector<std::string>{"kelaudit.conf"}, h.entries());
    EXPECT_EQ("password = old\n", kt::readFile(h.conf));
}

/* A file size limit makes the writes into the temporary file fail for
 * real. TMPDIR points elsewhere: the temporary file is made beside the
 * configuration file all the same. */
TEST_F(PasswdCli, WriteErrorLeavesTemporaryFileBesideTheConfiguration)
{
    kt::TempDir elsewhere;
    std::string before = "password = old\n";
    for (int i = 0; i < 200; i++)
        before += "# filler line to get past the size limit\n";
    kt::writeFile(h.conf, before);

    kt::ToolOptions o;
    o.fileSizeLimit = 1000;
    o.env["TMPDIR"] = elsewhere.path();
    ToolResult r = h.run({"pw"}, o);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    std::string temp = kt::pathAfter(r.err, "Write error on temporary file ");
    EXPECT_EQ("Write error on temporary file " + temp + "\n", r.err);
    EXPECT_EQ(0u, temp.find(h.dir + "/kel"));
    EXPECT_TRUE(kt::fileExists(temp));
    EXPECT_EQ(before, kt::readFile(h.conf));
    EXPECT_TRUE(kt::listDir(elsewhere.path()).empty());
}

/* A real rename failure: in a sticky folder only the owner of a file may
 * replace it. The configuration file belongs to root; nobody may read and
 * write it and create files in the folder, but not rename over it. */
TEST_F(PasswdCli, RenameFailureLeavesTemporaryFile)
{
    if (!asRoot)
        GTEST_SKIP() << "needs root to own the file as another user; the in-process "
                        "rename failure test covers the message";
    kt::writeFile(h.conf, "password = old\n");
    chmod(h.conf.c_str(), 0666);
    chmod(h.dir.c_str(), 01777);
    ToolResult r = runUnprivileged({"pw"});
    std::string temp = kt::pathAfter(r.err, "Can't rename file ");
    EXPECT_EQ((ToolResult{1, "", "Can't rename file " + temp + " to " + h.conf +
                                     ": Operation not permitted\n"}),
              r);
    EXPECT_EQ(0u, temp.find(h.dir + "/kel"));
    EXPECT_EQ("password = " + kt::scrambled("pw") + "\n", kt::readFile(temp));
    EXPECT_EQ("password = old\n", kt::readFile(h.conf));
}

/* Links planted under the names a careless tool would pick for its
 * temporary file: none is followed, none is replaced; nothing else is left
 * behind, in the folder or in TMPDIR. */
TEST_F(PasswdCli, SuccessFollowsNoLinkAndLeavesNothingBehind)
{
    kt::TempDir outside, elsewhere;
    std::string victim = outside / "victim", absent = outside / "absent";
    kt::writeFile(victim, "precious\n");
    kt::writeFile(h.conf, "password = old\n");
    const std::vector<std::string> names = {"kelaudit.conf.tmp", "kelaudit.conf.new",
                                            "kelaudit.conf~", "kelXXXXXX", "kel"};
    for (size_t i = 0; i < names.size(); i++)
        ASSERT_EQ(0, symlink((i % 2 ? absent : victim).c_str(), (h.dir + "/" + names[i]).c_str()));

    kt::ToolOptions o;
    o.env["TMPDIR"] = elsewhere.path();
    ASSERT_EQ(0, h.run({"pw"}, o).status);
    EXPECT_EQ("precious\n", kt::readFile(victim));
    EXPECT_FALSE(kt::fileExists(absent));
    for (const std::string &n : names) {
        struct stat st;
        ASSERT_EQ(0, lstat((h.dir + "/" + n).c_str(), &st));
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << n;
    }
    EXPECT_EQ(names.size() + 1, h.entries().size());
    EXPECT_TRUE(kt::listDir(elsewhere.path()).empty());
    EXPECT_EQ("pw", kt::handlerPassword(h.conf));
}

/* Not the creation mask's permissions: a private file stays private.
 * As root, the owner and group stay too. */
TEST_F(PasswdCli, ModeAndOwnerOfTheOldFileAreKept)
{
    struct Case {
        mode_t mode, umask;
    };
    for (Case c : {Case{0600, 022}, Case{0640, 0}, Case{0664, 077}}) {
        SCOPED_TRACE(c.mode);
        kt::writeFile(h.conf, "password = old\n");
        chmod(h.conf.c_str(), c.mode);
        if (asRoot) {
            ASSERT_EQ(0, chown(h.conf.c_str(), kt::NOBODY, 4242 + c.mode));
        }
        kt::ToolOptions o;
        o.umask = c.umask;
        ASSERT_EQ(0, h.run({"pw"}, o).status);
        struct stat st;
        ASSERT_EQ(0, stat(h.conf.c_str(), &st));
        EXPECT_EQ(c.mode, st.st_mode & 07777);
        EXPECT_EQ(asRoot ? kt::NOBODY : geteuid(), st.st_uid);
        EXPECT_EQ(asRoot ? 4242 + c.mode : getegid(), st.st_gid);
    }
}

} // namespace
