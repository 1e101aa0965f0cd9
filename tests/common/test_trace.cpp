/*
 * test_trace.cpp - the trace log: line format, escaping, levels, size limit,
 * configuration gates, threads, and log or configuration names that are no
 * regular file.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <regex>
#include <string.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "testsupport.h"
#include "trace.h"

namespace {

const long T0 = 1700000000; /* 14/11/23 22:13:20 UTC */

class TraceTest : public ::testing::Test {
protected:
    kt::TempDir home;
    std::unique_ptr<kt::ScopedEnv> smHome, tz;
    std::string conf, log;
    long confMtime = 1000;

    void SetUp() override
    {
        tz = std::make_unique<kt::ScopedEnv>("TZ", "UTC");
        tzset();
        smHome = std::make_unique<kt::ScopedEnv>("SM_HOME", home.path().c_str());
        kt::makeDirs(home / "config");
        conf = home / "config/keltrace.conf";
        log = home / "trace.log";
        traceReset();
        kt::clock::install(T0, 0);
    }

    void TearDown() override
    {
        traceReset();
        kt::clock::uninstall();
    }

    /* Writes keltrace.conf with a modification time that always advances. */
    void writeConf(const std::string &body)
    {
        kt::writeFile(conf, body);
        kt::setMtime(conf, ++confMtime);
    }

    void useLog(int level, int maxsize = 1000000)
    {
        writeConf("file = " + log + "\nlevel = " + std::to_string(level) +
                  "\nmaxsize = " + std::to_string(maxsize) + "\n");
    }

    /* Message part of each line of the log. */
    std::vector<std::string> messages(const std::string &path = "")
    {
        std::vector<std::string> out;
        for (const std::string &l : kt::readLines(path.empty() ? log : path)) {
            size_t p = l.find(": ");
            out.push_back(p == std::string::npos ? l : l.substr(p + 2));
        }
        return out;
    }

    std::string configRead(const std::string &file, int level, int limit)
    {
        return "CONFIGURATION READ: file " + file + " level " + std::to_string(level) +
               " limit " + std::to_string(limit);
    }
};

TEST_F(TraceTest, LineFormat)
{
    useLog(5);
    kt::clock::set(T0, 42999);
    trace(2, "hello %s %d", "world", 7);

    std::vector<std::string> lines = kt::readLines(log);
    ASSERT_EQ(2u, lines.size());
    std::regex re(R"(^(\d\d)/(\d\d)/(\d\d) (\d\d):(\d\d):(\d\d)\.(\d\d\d) ([ \d]{5,}) ([ \d]{4,}): (.*)$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[1], m, re)) << lines[1];
    EXPECT_EQ("14", m[1]);
    EXPECT_EQ("11", m[2]);
    EXPECT_EQ("23", m[3]);
    EXPECT_EQ("22:13:20", m[4].str() + ":" + m[5].str() + ":" + m[6].str());
    EXPECT_EQ("042", m[7]);
    char pid[8], tid[8];
    snprintf(pid, sizeof pid, "%5lu", (unsigned long)getpid());
    snprintf(tid, sizeof tid, "%4u", (unsigned)syscall(SYS_gettid));
    EXPECT_EQ(pid, m[8]);
    EXPECT_EQ(tid, m[9]);
    EXPECT_EQ("hello world 7", m[10]);
    /* The configuration notice carries the same prefix. */
    size_t prefix = lines[1].find(": ") + 2;
    EXPECT_EQ(lines[0].substr(0, prefix), lines[1].substr(0, prefix));
    EXPECT_EQ(configRead(log, 5, 1000000), messages()[0]);
}

TEST_F(TraceTest, ControlCharactersCannotForgeLines)
{
    useLog(5);
    trace(1, "user %s", "alice\n14/11/23 22:13:20.000 99999    1: forged\r\x01");
    std::vector<std::string> lines = kt::readLines(log);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("user alice\\n14/11/23 22:13:20.000 99999    1: forged\\r\\x01", messages()[1]);
}

TEST_F(TraceTest, EveryControlCharacterEscapedAtEveryPosition)
{
    /* Plain text is checked a word at a time: a control character in any
     * position of a word, and in the tail, must still be found. */
    useLog(5);
    std::vector<std::string> expected;
    static const char hex[] = "0123456789abcdef";
    std::vector<int> controls;
    for (int c = 1; c < 0x20; c++)
        controls.push_back(c);
    controls.push_back(0x7f);
    for (int c : controls) {
        for (size_t pos = 0; pos < 24; pos++) {
            std::string msg(24, 'x');
            msg[pos] = (char)c;
            trace(1, "%s", msg.c_str());
            std::string esc = c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\t"
                            : std::string("\\x") + hex[c >> 4] + hex[c & 15];
            expected.push_back(std::string(pos, 'x') + esc + std::string(23 - pos, 'x'));
        }
    }
    trace(1, "ab%ccd", 0); /* an embedded NUL ends the message */
    expected.push_back("ab");
    std::vector<std::string> m = messages();
    ASSERT_EQ(expected.size() + 1, m.size());
    for (size_t i = 0; i < expected.size(); i++)
        EXPECT_EQ(expected[i], m[i + 1]);
}

TEST_F(TraceTest, LongMessagesAreWrittenWhole)
{
    useLog(5);
    std::string big(20000, 'x');
    trace(1, "%s|%s", big.c_str(), "end");
    EXPECT_EQ(big + "|end", messages()[1]);
}

TEST_F(TraceTest, LevelFiltering)
{
    useLog(5);
    trace(5, "five");
    trace(6, "six");
    trace(TRACE_SECURE, "secret");
    trace(1, "one");
    EXPECT_EQ((std::vector<std::string>{configRead(log, 5, 1000000), "five", "one"}), messages());
    EXPECT_EQ(5, traceGetLevel());

    kt::clock::advance(2);
    useLog(10);
    trace(TRACE_SECURE, "secret");
    EXPECT_EQ("secret", messages().back());
    EXPECT_EQ(10, traceGetLevel());

    kt::clock::advance(2);
    useLog(0);
    size_t before = messages().size();
    trace(1, "error at level 0");
    EXPECT_EQ(before, messages().size());
    EXPECT_EQ(0, traceGetLevel());
}

/* Filtered calls between two looks take no lock; the gate still opens for
 * the first call two seconds on, filtered or not, and what one thread's look
 * read holds for the calls of every thread after it. */
TEST_F(TraceTest, FilteredCallsStillOpenTheGateAndSeeTheNewLevel)
{
    useLog(1);
    trace(1, "first");
    useLog(5);
    kt::clock::advance(1);
    trace(5, "not yet looked at");
    EXPECT_EQ(1, traceGetLevel());
    kt::clock::advance(1);
    trace(9, "filtered, but the look is due");
    EXPECT_EQ(5, traceGetLevel());
    std::thread other([] { trace(5, "another thread, new level"); });
    other.join();
    EXPECT_EQ((std::vector<std::string>{configRead(log, 1, 1000000), "first",
                                        "another thread, new level"}),
              messages());
}

TEST_F(TraceTest, NoticeLostWhenItsMessageIsFiltered)
{
    useLog(3);
    trace(4, "filtered");
    trace(3, "written");
    EXPECT_EQ(std::vector<std::string>{"written"}, messages());
}

TEST_F(TraceTest, SizeLimitStopsOutput)
{
    for (const char *bad : {"0", "-5", "abc"}) {
        traceReset();
        kt::clock::advance(2);
        writeConf("file = " + log + "\nmaxsize = " + bad + "\n");
        unlink(log.c_str());
        trace(1, "dropped");
        EXPECT_EQ("", kt::readFile(log)) << "maxsize " << bad;
    }
}

TEST_F(TraceTest, GrowsPastLimitByOneCallOnly)
{
    useLog(5, 150);
    for (int i = 0; i < 20; i++)
        trace(1, "message number %d", i);
    struct stat st;
    ASSERT_EQ(0, stat(log.c_str(), &st));
    /* The call that found the file just below 150 bytes wrote its line;
     * the next one, the line that says the log is full; nothing after. */
    std::vector<std::string> lines = kt::readLines(log);
    ASSERT_GE(lines.size(), 3u);
    off_t notice = (off_t)lines.back().size() + 1;
    off_t lastLine = (off_t)lines[lines.size() - 2].size() + 1;
    EXPECT_GE(st.st_size - notice, 150);
    EXPECT_LT(st.st_size - notice - lastLine, 150);
    EXPECT_EQ(0u, messages().back().find("TRACE LOG FULL: " + std::to_string(st.st_size - notice) +
                                         " bytes reached the limit of 150 (maxsize in keltrace.conf)"))
        << messages().back();

    /* Full: each later attempt (once in two seconds) opens, finds it too
     * large and drops the line. */
    kt::clock::advance(2);
    trace(1, "still dropped");
    EXPECT_EQ(lines, kt::readLines(log));

    /* Removed by someone else: written again. */
    unlink(log.c_str());
    trace(1, "within two seconds of the last open attempt");
    EXPECT_FALSE(kt::fileExists(log));
    kt::clock::advance(2);
    trace(1, "after removal");
    EXPECT_EQ(std::vector<std::string>{"after removal"}, messages());
}

/* A full log gets its last line once: not again at later attempts, nor
 * from a second instance (the other plug-in, a restart) when the log ends
 * with it already; again after the log was emptied and filled anew. */
TEST_F(TraceTest, FullLogSaysSoOnce)
{
    useLog(5, 100);
    for (int i = 0; i < 3; i++)
        trace(1, "filler line number %d", i);
    auto fullLines = [&] {
        int n = 0;
        for (const std::string &m : messages())
            n += m.rfind("TRACE LOG FULL", 0) == 0;
        return n;
    };
    EXPECT_EQ(1, fullLines());
    for (int restart = 0; restart < 2; restart++) {
        kt::clock::advance(2);
        trace(1, "dropped");
        /* As a fresh library instance reading the same settings. */
        traceReset();
        writeConf("file = " + log + "\nmaxsize = 100\n");
    }
    kt::clock::advance(2);
    trace(1, "dropped");
    EXPECT_EQ(1, fullLines());

    kt::writeFile(log, "");
    kt::clock::advance(2);
    for (int i = 0; i < 4; i++)
        trace(1, "filler line number %d", i);
    EXPECT_EQ(1, fullLines()) << kt::readFile(log);
    EXPECT_EQ(0u, messages().back().find("TRACE LOG FULL")) << messages().back();
}

/* maxsize takes K, M and G (either case, 1024 each); a level or maxsize
 * that is not a whole number is named in the notice, which is written
 * even when the call's own line is filtered. */
TEST_F(TraceTest, SizeSuffixesAndValuesThatAreNoNumber)
{
    struct Case {
        const char *lines;
        long long limit;
        const char *notice; /* after "limit N" */
    } cases[] = {
        {"maxsize = 50M\n", 52428800LL, ""},
        {"maxsize = 64k\n", 65536LL, ""},
        {"maxsize = 2G\n", 2147483648LL, ""},
        {"maxsize = 1000\n", 1000LL, ""},
        {"maxsize = 50MB\n", 50LL, "; maxsize '50MB' is not a number (read as 50)"},
        {"maxsize = 9000000000G\n", 9223372036854775807LL, ""},
        {"maxsize = 100000\nlevel = debug\n", 100000LL, "; level 'debug' is not a number (read as 0)"},
        {"maxsize = 100000\nlevel = 3x\n", 100000LL, "; level '3x' is not a number (read as 3)"},
    };
    for (const Case &c : cases) {
        traceReset();
        unlink(log.c_str());
        kt::clock::advance(2);
        writeConf("file = " + log + "\n" + c.lines);
        trace(4, "probe");
        std::string level = strstr(c.lines, "debug") ? "0" : strstr(c.lines, "3x") ? "3" : "5";
        std::string want = "CONFIGURATION READ: file " + log + " level " + level + " limit " +
                           std::to_string(c.limit) + c.notice;
        ASSERT_FALSE(messages().empty()) << c.lines;
        EXPECT_EQ(want, messages()[0]) << c.lines;
    }
}

TEST_F(TraceTest, ConfigurationSyntax)
{
    struct Case {
        const char *line;
        int level;
    };
    const Case cases[] = {
        {"level = 7\n", 7},
        {"LEVEL = 7\n", 7},
        {"level=7\n", 7},
        {"Level\t=\t7 and more words\n", 7},
        {" level = 7\n", 5},
        {"level 7\n", 5},
        {"level =\n", 5},
        {"# level = 7\n", 5},
        {"level = 3x\n", 3},
        {"level = x3\n", 0},
        {"level = 99999999999\n", 2147483647},
    };
    for (const Case &c : cases) {
        traceReset();
        kt::clock::advance(2);
        writeConf(std::string("file = ") + log + "\n" + c.line);
        trace(1, "probe");
        EXPECT_EQ(c.level, traceGetLevel()) << c.line;
    }
}

TEST_F(TraceTest, RestOfALongLineIsSkipped)
{
    /* A line is read up to 999 characters; what follows, up to its newline,
     * is never a line of its own. */
    struct Case {
        std::string line;
        int level;
    } cases[] = {
        {"#" + std::string(998, 'c') + "level=8\n", 5},
        {"#" + std::string(1997, 'c') + "level=8\n", 5},
        {"level = 6 " + std::string(989, 'x') + "level=8\n", 6},
        {"#" + std::string(997, 'c') + "\nlevel=8\n", 8},
    };
    for (const Case &c : cases) {
        traceReset();
        kt::clock::advance(2);
        writeConf("file = " + log + "\n" + c.line + "maxsize = 1000000\n");
        trace(1, "probe");
        EXPECT_EQ(c.level, traceGetLevel()) << c.line.size();
        EXPECT_EQ(configRead(log, c.level, 1000000), messages().end()[-2]);
    }
}

/* Ways to put something other than a regular file under a name. */
struct NotAFile {
    const char *what;
    std::function<int(const std::string &)> make;
};

const NotAFile notAFile[] = {
    {"FIFO", [](const std::string &p) { return mkfifo(p.c_str(), 0600); }},
    {"link to /dev/zero", [](const std::string &p) { return symlink("/dev/zero", p.c_str()); }},
    {"link to /dev/urandom", [](const std::string &p) { return symlink("/dev/urandom", p.c_str()); }},
    {"link to /dev/null", [](const std::string &p) { return symlink("/dev/null", p.c_str()); }},
    {"folder", [](const std::string &p) { return mkdir(p.c_str(), 0700); }},
};

/* Four threads trace a few rounds, each round past the open gate. */
void traceFromThreads(int rounds)
{
    for (int r = 0; r < rounds; r++) {
        kt::clock::advance(2);
        std::vector<std::thread> pool;
        for (int t = 0; t < 4; t++)
            pool.emplace_back([] {
                for (int i = 0; i < 20; i++)
                    trace(1, "line %d", i);
            });
        for (std::thread &th : pool)
            th.join();
    }
}

/* No thread waits on a FIFO (with or without a reader), nothing is
 * written into one or into a device, and a reader that goes away cannot
 * raise SIGPIPE: the calls run in a child that must end by itself. */
TEST_F(TraceTest, LogThatIsNoRegularFileTakesNoLineAndHoldsNoThread)
{
    for (const NotAFile &n : notAFile) {
        for (bool reader : {false, true}) {
            if (reader && strcmp(n.what, "FIFO") != 0)
                continue;
            SCOPED_TRACE(std::string(n.what) + (reader ? " with a reader" : ""));
            std::string path = home / "not-a-file";
            kt::runProgram("/bin/rm", {"-rf", path});
            ASSERT_EQ(0, n.make(path));
            traceReset();
            kt::clock::advance(2);
            writeConf("file = " + path + "\n");
            int status = kt::runInChild([&] {
                int fd = reader ? open(path.c_str(), O_RDONLY | O_NONBLOCK) : -1;
                traceFromThreads(2);
                char c;
                if (reader && read(fd, &c, 1) > 0)
                    return 2; /* written into the FIFO */
                if (fd >= 0)
                    close(fd);
                traceFromThreads(2);
                return 0;
            });
            EXPECT_EQ(0, status);
        }
    }

    /* A link to a regular file is a log like any other. */
    std::string link = home / "link.log";
    ASSERT_EQ(0, symlink(log.c_str(), link.c_str()));
    traceReset();
    kt::clock::advance(2);
    writeConf("file = " + link + "\n");
    trace(1, "through the link");
    EXPECT_EQ("through the link", messages().back());
}

/* keltrace.conf that is no regular file counts as unreadable: the settings
 * in force stay, no CONFIGURATION READ notice, and the call returns. */
TEST_F(TraceTest, ConfigurationThatIsNoRegularFileIsNotRead)
{
    for (const NotAFile &n : notAFile) {
        SCOPED_TRACE(n.what);
        traceReset();
        kt::clock::advance(2);
        useLog(7);
        trace(1, "settings read");
        ASSERT_EQ(7, traceGetLevel());
        /* Its modification time, real or the device's, is newer than the
         * test's made-up ones: the file is looked at. */
        ASSERT_EQ(0, unlink(conf.c_str()));
        ASSERT_EQ(0, n.make(conf));
        kt::clock::advance(2);
        int status = kt::runInChild([] {
            trace(1, "after");
            return traceGetLevel() == 7 ? 0 : 2;
        });
        EXPECT_EQ(0, status);
        EXPECT_EQ((std::vector<std::string>{configRead(log, 7, 1000000), "settings read", "after"}),
                  messages());
        kt::runProgram("/bin/rm", {"-rf", conf, log});
    }

    /* A link to a regular file is read. */
    std::string real = home / "real.conf";
    kt::writeFile(real, "file = " + log + "\nlevel = 3\n");
    ASSERT_EQ(0, symlink(real.c_str(), conf.c_str()));
    kt::clock::advance(2);
    trace(1, "probe");
    EXPECT_EQ(3, traceGetLevel());
}

TEST_F(TraceTest, LastOccurrenceWinsAndRemovedKeysStay)
{
    std::string other = home / "other.log";
    writeConf("file = " + other + "\nlevel = 4\nlevel = 6\nfile = " + log + "\n");
    trace(1, "first");
    EXPECT_EQ(6, traceGetLevel());
    EXPECT_EQ("first", messages().back());
    EXPECT_FALSE(kt::fileExists(other));

    /* "file" and "level" removed: the last values read stay; "foglog" does
     * not come back. */
    kt::clock::advance(2);
    writeConf("maxsize = 500000\n");
    trace(1, "second");
    EXPECT_EQ(6, traceGetLevel());
    EXPECT_EQ(configRead(log, 6, 500000), messages()[messages().size() - 2]);
    EXPECT_EQ("second", messages().back());
}

TEST_F(TraceTest, UnchangedModificationTimeIsNotReread)
{
    useLog(5);
    trace(1, "a");
    kt::clock::advance(5);
    /* New contents, same whole-second modification time. */
    kt::writeFile(conf, "file = " + log + "\nlevel = 9\n");
    kt::setMtime(conf, confMtime);
    trace(1, "b");
    EXPECT_EQ(5, traceGetLevel());
    kt::clock::advance(2);
    kt::setMtime(conf, ++confMtime);
    trace(1, "c");
    EXPECT_EQ(9, traceGetLevel());
}

TEST_F(TraceTest, ConfigurationLookedAtOnceInTwoSeconds)
{
    useLog(5);
    trace(1, "a");
    useLog(7);
    kt::clock::advance(1);
    trace(1, "b"); /* one second later: not looked at */
    EXPECT_EQ(5, traceGetLevel());
    kt::clock::advance(1);
    trace(1, "c"); /* two seconds: re-read, and its notice comes first */
    EXPECT_EQ(7, traceGetLevel());
    std::vector<std::string> m = messages();
    ASSERT_GE(m.size(), 2u);
    EXPECT_EQ(configRead(log, 7, 1000000), m[m.size() - 2]);
    EXPECT_EQ("c", m.back());
}

TEST_F(TraceTest, OpenAttemptedOnceInTwoSeconds)
{
    std::string dir = home / "logs";
    std::string inDir = dir + "/trace.log";
    writeConf("file = " + inDir + "\n");
    trace(1, "no folder yet"); /* open attempt fails */
    kt::makeDirs(dir);
    kt::clock::advance(1);
    trace(1, "too soon");
    EXPECT_FALSE(kt::fileExists(inDir));
    kt::clock::advance(1);
    trace(1, "opened");
    EXPECT_EQ(std::vector<std::string>{"opened"}, messages(inDir));
}

/* Past 2^31 seconds (January 2038) the two-second gates and the
 * modification time still hold: kept in 32 bits they would wrap negative
 * and let every call through. */
TEST_F(TraceTest, GatesHoldPast2038)
{
    const long T38 = 2147483647L + 10;
    struct {
        const char *what;
        std::function<void()> first, second;
        std::function<bool()> heldBack;
    } cases[] = {
        {"configuration looked at once in two seconds",
         [&] { useLog(5); },
         [&] { useLog(7); },
         [] { return traceGetLevel() == 5; }},
        {"modification time past 2038 not read again",
         [&] { useLog(5); kt::setMtime(conf, T38 + 100); },
         [&] { kt::clock::advance(2); kt::writeFile(conf, "file = " + log + "\nlevel = 7\n");
               kt::setMtime(conf, T38 + 100); },
         [] { return traceGetLevel() == 5; }},
        {"closed log opened once in two seconds",
         [&] { writeConf("file = " + (home / "later/trace.log") + "\n"); },
         [&] { kt::makeDirs(home / "later"); },
         [&] { return !kt::fileExists(home / "later/trace.log"); }},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        traceReset();
        kt::clock::set(T38);
        c.first();
        trace(1, "first");
        kt::clock::advance(1);
        c.second();
        trace(1, "second");
        EXPECT_TRUE(c.heldBack());
    }
}

TEST_F(TraceTest, ReopenAfterCloseFollowsTheOpenGate)
{
    useLog(5);
    trace(1, "a"); /* opened at T0 */
    traceClose();
    kt::clock::advance(1);
    trace(1, "dropped");
    kt::clock::advance(1);
    trace(1, "b");
    std::vector<std::string> m = messages();
    EXPECT_EQ("a", m[1]);
    EXPECT_EQ("b", m.back());
    EXPECT_EQ(3u, m.size());
}

TEST_F(TraceTest, WithoutSmHomeDefaultsGoToFoglog)
{
    kt::ScopedEnv noHome("SM_HOME", nullptr);
    kt::TempDir cwd;
    char old[4096];
    ASSERT_NE(nullptr, getcwd(old, sizeof old));
    ASSERT_EQ(0, chdir(cwd.path().c_str()));
    trace(5, "to foglog");
    trace(TRACE_SECURE, "not at level 5");
    ASSERT_EQ(0, chdir(old));
    EXPECT_EQ(std::vector<std::string>{"to foglog"}, messages(cwd / "foglog"));
    EXPECT_EQ(5, traceGetLevel());
}

TEST_F(TraceTest, LogIsPrivateToItsOwner)
{
    useLog(5);
    trace(1, "x");
    struct stat st;
    ASSERT_EQ(0, stat(log.c_str(), &st));
    EXPECT_EQ(0600, st.st_mode & 0777);
}

/* Children forked while another thread writes lines: each can trace at
 * once (a child that inherited the lock held would wait forever; the alarm
 * ends such a child, and the test fails). */
TEST_F(TraceTest, ChildForkedWhileAnotherThreadTracesCanTrace)
{
    useLog(5, 100000000);
    trace(1, "parent");
    std::atomic<bool> stop(false);
    std::thread writer([&] {
        while (!stop)
            trace(1, "writer");
    });
    const int children = 150;
    std::vector<pid_t> pids;
    for (int i = 0; i < children; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            alarm(10);
            trace(1, "child %d", i);
            _exit(0);
        }
        ASSERT_GT(pid, 0);
        pids.push_back(pid);
    }
    stop = true;
    writer.join();
    int clean = 0;
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        clean += WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    EXPECT_EQ(children, clean) << "children hung at their first trace call";
    int lines = 0;
    for (const std::string &m : messages())
        lines += m.compare(0, 6, "child ") == 0;
    EXPECT_EQ(children, lines);
}

TEST_F(TraceTest, ManyThreadsWriteWholeLines)
{
    useLog(5);
    const int threads = 8, perThread = 300;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back([t] {
            for (int i = 0; i < perThread; i++)
                trace(1, "thread %d line %d %s", t, i, "payload-payload-payload");
        });
    for (std::thread &th : pool)
        th.join();

    std::vector<std::string> m = messages();
    ASSERT_EQ((size_t)(threads * perThread + 1), m.size());
    std::vector<int> next(threads, 0);
    std::regex re(R"(thread (\d) line (\d+) payload-payload-payload)");
    for (size_t i = 1; i < m.size(); i++) {
        std::smatch sm;
        ASSERT_TRUE(std::regex_match(m[i], sm, re)) << m[i];
        int t = std::stoi(sm[1]);
        EXPECT_EQ(next[t]++, std::stoi(sm[2]));
    }
}

} // namespace
