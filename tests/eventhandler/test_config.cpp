/*
 * test_config.cpp - reading kelaudit.conf: defaults, every key, bad values,
 * ranges, long lines, names that are no regular file, and the password as
 * kelpasswd writes it.
 */
#include <gtest/gtest.h>

#include <string.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "audit.h"
#include "scrypt.h"
#include "smeventkel.h"
#include "testsupport.h"
#include "trace.h"
#include "tracefiles.h"

namespace {

class ConfigTest : public ::testing::Test {
protected:
    kt::TraceFiles files{5};
    Param p{};

    void SetUp() override
    {
        traceReset();
        trace(TRACE_1, "test starts"); /* reads keltrace.conf now */
    }
    void TearDown() override { traceReset(); }

    void read(const std::string &body)
    {
        files.writeConfig("kelaudit.conf", body);
        readConfigFile(&p);
    }

    static std::string scrambled(const std::string &clear)
    {
        std::string s = clear;
        scrypt(&s[0], s.c_str(), true);
        return s;
    }

    void expectDefaults()
    {
        EXPECT_EQ(10, p.minLevel);
        EXPECT_STREQ("Wuvemta", p.dataSource);
        EXPECT_STREQ("wuvemta", p.user);
        EXPECT_STREQ("wuvemta", p.password);
        EXPECT_STREQ("smaccesslog4", p.table);
        EXPECT_EQ(20, p.maxQueue);
        EXPECT_EQ(5, p.retryDelay);
    }
};

TEST_F(ConfigTest, DefaultsWithoutSmHomeOrFile)
{
    {
        kt::ScopedEnv noHome("SM_HOME", nullptr);
        readConfigFile(&p);
    }
    expectDefaults();
    EXPECT_TRUE(files.has("SM_HOME not defined"));

    readConfigFile(&p); /* no kelaudit.conf */
    expectDefaults();
    EXPECT_TRUE(files.has("Can't read configuration file " + files.configDir() + "/kelaudit.conf"));
}

TEST_F(ConfigTest, EveryKeyAndTheFileForm)
{
    read("# audit settings\n"
         "DATASOURCE = audit.db\n"
         "USER=auditor\n"
         "password = " + scrambled("S3cret-pw") + "\n"
         "Table\t=\tlogins extra words\n"
         "MIN_LEVEL = 5 # comment after the value\n"
         "max_queue = 7\n"
         "RETRY_DELAY = 0\n");
    EXPECT_STREQ("audit.db", p.dataSource);
    EXPECT_STREQ("auditor", p.user);
    EXPECT_STREQ("S3cret-pw", p.password);
    EXPECT_STREQ("logins", p.table);
    EXPECT_EQ(5, p.minLevel);
    EXPECT_EQ(7, p.maxQueue);
    EXPECT_EQ(0, p.retryDelay);
    EXPECT_TRUE(files.has("Parameter USER: auditor"));
    EXPECT_TRUE(files.has("Parameter max_queue: 7"));
}

TEST_F(ConfigTest, SkippedLinesAndBadNumbers)
{
    read(" MAX_QUEUE = 3\n"
         "MAX_QUEUE 4\n"
         "MAX_QUEUE =\n"
         "=5\n"
         "\n"
         "MAX_QUEUE = 5x\n"
         "MIN_LEVEL = 5#\n"
         "RETRY_DELAY = +7\n");
    EXPECT_EQ(20, p.maxQueue);
    EXPECT_EQ(10, p.minLevel);
    EXPECT_EQ(7, p.retryDelay);
    EXPECT_TRUE(files.has("Parameter MAX_QUEUE: value '5x' should be a number"));
    EXPECT_TRUE(files.has("Parameter MIN_LEVEL: value '5#' should be a number"));
    /* The skipped lines left no trace at all. */
    EXPECT_EQ(0, files.count("Parameter MAX_QUEUE: 3"));
    EXPECT_EQ(0, files.count("Parameter MAX_QUEUE: 4"));
}

TEST_F(ConfigTest, UnknownKeysLastWinsNegativeLevel)
{
    read("COLOUR = blue\nUSER = first\nUSER = second\nMIN_LEVEL = -1\n");
    EXPECT_TRUE(files.has("Parameter COLOUR: blue"));
    EXPECT_TRUE(files.has("Parameter COLOUR: not recognized"));
    EXPECT_STREQ("second", p.user);
    EXPECT_EQ(-1, p.minLevel);
    /* No password line: the default clear password stays. */
    EXPECT_STREQ("wuvemta", p.password);
}

TEST_F(ConfigTest, EachReadStartsFromTheDefaults)
{
    read("USER = someone\nMAX_QUEUE = 3\n");
    EXPECT_STREQ("someone", p.user);
    read("TABLE = other\n");
    EXPECT_STREQ("wuvemta", p.user);
    EXPECT_EQ(20, p.maxQueue);
}

TEST_F(ConfigTest, PasswordUnscrambledOnceAndNeverTraced)
{
    files.setLevel(10);
    traceReset();
    const std::string clear = "Db-Pass-42";
    read("PASSWORD = " + scrambled(clear) + "\n");
    EXPECT_EQ(clear, std::string(p.password));
    /* Read again: still the clear text, not unscrambled a second time. */
    readConfigFile(&p);
    EXPECT_EQ(clear, std::string(p.password));

    std::string log = kt::readFile(files.logPath());
    EXPECT_EQ(std::string::npos, log.find(clear));
    EXPECT_EQ(std::string::npos, log.find(scrambled(clear)));
    EXPECT_TRUE(files.has("Parameter PASSWORD: ********"));
}

TEST_F(ConfigTest, RangesTheQueueAndWriterCannotUse)
{
    read("MAX_QUEUE = 0\nRETRY_DELAY = -3\n");
    EXPECT_EQ(1, p.maxQueue);
    EXPECT_EQ(5, p.retryDelay);
    EXPECT_TRUE(files.has("Parameter MAX_QUEUE: 0 is below 1, using 1"));
    EXPECT_TRUE(files.has("Parameter RETRY_DELAY: -3 is below 0, using 5"));
}

TEST_F(ConfigTest, BatchMaxFromOneToTenThousand)
{
    struct {
        const char *line;
        int want;
        const char *message;
    } cases[] = {
        {"", 1, nullptr},
        {"BATCH_MAX = 512\n", 512, nullptr},
        {"batch_max = 10000\n", 10000, nullptr},
        {"BATCH_MAX = 0\n", 1, "Parameter BATCH_MAX: 0 is outside 1 to 10000, using 1"},
        {"BATCH_MAX = 10001\n", 10000, "Parameter BATCH_MAX: 10001 is outside 1 to 10000, using 10000"},
        {"BATCH_MAX = 64k\n", 1, "Parameter BATCH_MAX: value '64k' should be a number"},
    };
    for (const auto &c : cases) {
        files.clear();
        read(c.line);
        EXPECT_EQ(c.want, p.batchMax) << c.line;
        if (c.message != nullptr) {
            EXPECT_TRUE(files.has(c.message)) << c.line;
        }
    }
}

TEST_F(ConfigTest, RestOfALongLineIsSkipped)
{
    /* Past its 999th character a line is dropped up to its newline: a long
     * comment cannot end in a setting, a long value is cut. */
    read("#" + std::string(998, 'x') + "USER=piece\n"
         "#" + std::string(998, 'x') + "password = " + scrambled("Other-pw1") + "\n"
         "TABLE = " + std::string(1200, 't') + " USER=tail\n"
         "MAX_QUEUE = 3\n");
    EXPECT_STREQ("wuvemta", p.user);
    EXPECT_STREQ("wuvemta", p.password);
    EXPECT_EQ(std::string(991, 't'), p.table);
    EXPECT_EQ(3, p.maxQueue);
}

/* A FIFO, a device or a folder as kelaudit.conf counts as a file that
 * cannot be read: SmEventInit returns, with the defaults. It runs in a
 * child, which must end by itself. */
TEST_F(ConfigTest, FileThatIsNoRegularFileIsNotRead)
{
    const std::string conf = files.configDir() + "/kelaudit.conf";
    struct Case {
        const char *what;
        int (*make)(const char *path);
    } cases[] = {
        {"FIFO", [](const char *path) { return mkfifo(path, 0600); }},
        {"link to /dev/zero", [](const char *path) { return symlink("/dev/zero", path); }},
        {"link to /dev/urandom", [](const char *path) { return symlink("/dev/urandom", path); }},
        {"folder", [](const char *path) { return mkdir(path, 0700); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        files.clear();
        ASSERT_EQ(0, c.make(conf.c_str()));
        int status = kt::runInChild([this] {
            if (SmEventInit() != 1)
                return 2;
            readConfigFile(&p);
            return p.minLevel == 10 && strcmp(p.user, "wuvemta") == 0 ? 0 : 3;
        });
        EXPECT_EQ(0, status);
        EXPECT_EQ(2, files.count("Can't read configuration file " + conf));
        kt::runProgram("/bin/rm", {"-rf", conf});
    }

    /* A link to a regular file is read. */
    files.writeConfig("real.conf", "USER = linked\n");
    ASSERT_EQ(0, symlink("real.conf", conf.c_str()));
    readConfigFile(&p);
    EXPECT_STREQ("linked", p.user);
}

} // namespace

namespace {

/* The password tool and the handler hold the same scrambling: what the
 * administrator types into kelpasswd is what the handler logs on with. */
TEST(ConfigRoundTrip, KelpasswdThenReadConfigFileGivesTheTypedPassword)
{
    kt::TraceFiles files{1};
    traceReset();
    for (const std::string typed : {"Secret-DB-pw-42", "x", "0123456789abcdefghijklmnopqrstuvwxyzABCD"}) {
        files.writeConfig("kelaudit.conf", "# settings\nUSER = auditor\nPASSWORD = old\n");
        kt::RunResult r = kt::runProgram(KELPASSWD_PATH, {typed}, {"SM_HOME=" + files.home()});
        ASSERT_EQ(0, r.status) << r.err;
        Param p{};
        readConfigFile(&p);
        EXPECT_EQ(typed, std::string(p.password));
        EXPECT_STREQ("auditor", p.user);

        /* The same password given on standard input, as a script gives it. */
        files.writeConfig("kelaudit.conf", "USER = auditor\nPASSWORD = old\n");
        r = kt::runProgram("/bin/sh", {"-c", "printf '%s\\n' \"$PW\" | \"$TOOL\" --stdin"},
                           {"SM_HOME=" + files.home(), "PW=" + typed, std::string("TOOL=") + KELPASSWD_PATH});
        ASSERT_EQ(0, r.status) << r.err;
        Param q{};
        readConfigFile(&q);
        EXPECT_EQ(typed, std::string(q.password));
    }
    traceReset();
}

/* Every length the tool may be given: what it reports written, the handler
 * reads back; what the handler would read otherwise, it refuses with the
 * file as it was. */
TEST(ConfigRoundTrip, EveryLengthIsReadBackOrRefused)
{
    kt::TraceFiles files{1};
    traceReset();
    const std::string before = "USER = auditor\nPASSWORD = old\n";
    const std::string pattern = "Kel-Pass9word_";
    const std::string tooLong = "Password is too long for the event handler: at most 988 characters\n";
    struct Case {
        std::string typed, err;
    };
    std::vector<Case> cases;
    for (size_t len = 1; len <= 999; len++) {
        std::string typed;
        for (size_t i = 0; i < len; i++)
            typed += pattern[i % pattern.size()];
        cases.push_back({typed, len <= 988 ? "" : tooLong});
    }
    cases.push_back({"", "Password is empty\n"});
    cases.push_back({std::string(40, 'z'), "Password does not come back through the scrambling; choose another\n"});
    cases.push_back({"two words", "Password contains white space, which the event handler does not read\n"});

    for (const Case &c : cases) {
        SCOPED_TRACE(c.typed.size());
        files.writeConfig("kelaudit.conf", before);
        kt::RunResult r = kt::runProgram(KELPASSWD_PATH, {"--", c.typed}, {"SM_HOME=" + files.home()});
        Param p{};
        readConfigFile(&p);
        if (c.err.empty()) {
            ASSERT_EQ(0, r.status) << r.err;
            ASSERT_EQ(c.typed, std::string(p.password));
        } else {
            ASSERT_EQ(1, r.status);
            ASSERT_EQ(c.err, r.err);
            ASSERT_EQ("", r.out);
            ASSERT_EQ(before, kt::readFile(files.configDir() + "/kelaudit.conf"));
        }
    }
    traceReset();
}

} // namespace
