/*
 * test_kelaudit.cpp - kelaudit run as a child: its command line and
 * messages, status of a journal written by hand, and rejected events put
 * back while the event handler (linked into this test) runs and while it
 * does not, each written once.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <time.h>
#include <sqlite3.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "journal.h"
#include "sqlitehandler.h"

namespace {

/* Runs kelaudit with SM_HOME set to home, or unset when home is empty. */
kt::RunResult kelaudit(const std::vector<std::string> &args, const std::string &home)
{
    kt::ScopedEnv smHome("SM_HOME", home.empty() ? nullptr : home.c_str());
    return kt::runProgram(KELAUDIT_PATH, args, {"TZ=UTC"});
}

std::string recordOf(const std::string &user, int64_t stamp, int type = JOURNAL_EVENT, const char *message = nullptr)
{
    kt::Event e(user, "authlevel=5");
    size_t size = journalRecordSize(e.get(), message);
    std::string out(size, '\0');
    journalEncode((unsigned char *)&out[0], size, type, stamp, e.get(), message);
    return out;
}

const std::string USAGE = "Usage: kelaudit {status [--json]|check [THRESHOLDS]|rejects|requeue}\n";

TEST(Kelaudit, CommandLineAndMessages)
{
    kt::TraceFiles files;
    kt::TempDir empty;
    files.writeConfig("kelaudit.conf", "MIN_LEVEL = 3\n");
    std::string conf = files.configDir() + "/kelaudit.conf";
    struct Case {
        std::vector<std::string> args;
        std::string home;
        int status;
        std::string err;
        std::string outStart;
    } cases[] = {
        {{}, files.home(), 1, USAGE, ""},
        {{"status", "now"}, files.home(), 1, USAGE, ""},
        {{"purge"}, files.home(), 1, USAGE, ""},
        {{"-h"}, "", 0, "", USAGE + "  status "},
        {{"--help"}, "", 0, "", USAGE + "  status "},
        {{"status"}, "", 1, "SM_HOME not defined\n", ""},
        {{"status"}, empty.path(), 1, "Can't read configuration file " + empty.path() + "/config/kelaudit.conf\n", ""},
        {{"requeue"}, files.home(), 1, "requeue needs SPOOL_DIR in " + conf + "\n", ""},
        {{"status"}, files.home(), 0, "", "journal:   none (no SPOOL_DIR in " + conf + ")\n"},
        {{"rejects"}, files.home(), 0, "", "No rejected events in " + files.configDir() + "/kelaudit.rejects\n"},
    };
    for (const Case &c : cases) {
        kt::RunResult r = kelaudit(c.args, c.home);
        std::string what = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(c.status, r.status) << what;
        EXPECT_EQ(c.err, r.err) << what;
        EXPECT_EQ(0u, r.out.find(c.outStart)) << what << ": " << r.out;
    }
}

/* kelaudit names the journal the handler uses: the rest of an over-long
 * line is no line, and a file the handler cannot read is refused. */
TEST(Kelaudit, ReadsKelauditConfAsTheHandlerDoes)
{
    kt::TraceFiles files;
    std::string conf = files.configDir() + "/kelaudit.conf";
    std::string longComment = "#" + std::string(LINE_SIZE - 2, 'x') + "SPOOL_DIR = /other\n";
    struct Case {
        std::string text;
        int status;
        std::string outStart;
    } cases[] = {
        {"SPOOL_DIR = spool\n" + longComment, 0, "journal:   " + files.home() + "/spool\n"},
        {longComment, 0, "journal:   none (no SPOOL_DIR in " + conf + ")\n"},
    };
    kt::makeDirs(files.home() + "/spool");
    for (const Case &c : cases) {
        files.writeConfig("kelaudit.conf", c.text);
        kt::RunResult r = kelaudit({"status"}, files.home());
        EXPECT_EQ(c.status, r.status) << r.err;
        EXPECT_EQ(0u, r.out.find(c.outStart)) << r.out;
    }
    unlink(conf.c_str());
    kt::makeDirs(conf);
    kt::RunResult r = kelaudit({"status"}, files.home());
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Can't read configuration file " + conf + "\n", r.err);
}

TEST(Kelaudit, StatusCountsWhatWaitsFromTheCommittedPosition)
{
    kt::TraceFiles files;
    std::string spool = files.home() + "/spool";
    files.writeConfig("kelaudit.conf", "SPOOL_DIR = spool\n");
    kt::makeDirs(spool);
    char s1[JOURNAL_NAME_SIZE], s2[JOURNAL_NAME_SIZE], s0[JOURNAL_NAME_SIZE];
    journalSegmentName(s0, sizeof s0, 1);
    journalSegmentName(s1, sizeof s1, 2);
    journalSegmentName(s2, sizeof s2, 3);
    std::string a = recordOf("a", 1700000000), b = recordOf("b", 1700000100), c = recordOf("c", 1700000200);
    kt::writeFile(spool + "/" + s0, recordOf("old", 1600000000));                  /* committed */
    kt::writeFile(spool + "/" + s1, a + b + "garbage" + c);                      /* a committed */
    kt::writeFile(spool + "/" + s2, recordOf("d", 1700000300) + c.substr(0, 9)); /* being written */
    int pfd = open((spool + "/position").c_str(), O_RDWR | O_CREAT, 0600);
    JournalPosition pos = {0, 2, a.size()};
    ASSERT_EQ(1, journalPositionWrite(pfd, &pos));
    close(pfd);
    kt::writeFile(spool + "/rejects",
                  recordOf("r1", 1700000000, JOURNAL_REJECTED, "no") + recordOf("r2", 1700000000, JOURNAL_REJECTED, "no"));
    kt::writeFile(spool + "/requeue-0000000000000001-1.kaj", recordOf("q", 1700000000, JOURNAL_REJECTED, "no"));
    int held = journalLockOpen(spool.c_str(), 1);
    ASSERT_GE(held, 0);
    ASSERT_EQ(5, pwrite(held, "4321\n", 5, 0));

    kt::RunResult r = kelaudit({"status"}, files.home());
    close(held);
    ASSERT_EQ(0, r.status) << r.err;
    std::vector<std::string> lines;
    for (size_t p = 0, n; (n = r.out.find('\n', p)) != std::string::npos; p = n + 1)
        lines.push_back(r.out.substr(p, n - p));
    ASSERT_EQ(7u, lines.size()) << r.out;
    EXPECT_EQ("journal:   " + spool, lines[0]);
    EXPECT_EQ("held by:   process 4321", lines[1]);
    size_t bytes = b.size() + 7 + c.size() + recordOf("d", 0).size() + 9;
    EXPECT_EQ("waiting:   3 events, " + std::to_string(bytes) + " bytes in 2 files", lines[2]);
    EXPECT_EQ(0u, lines[3].find("oldest:    2023-11-14 22:15:00 (")) << lines[3];
    EXPECT_EQ("damaged:   1 (skipped by the writer)", lines[4]);
    EXPECT_EQ("requeued:  1 not yet taken in", lines[5]);
    EXPECT_EQ("rejected:  2 in " + spool + "/rejects", lines[6]);

    r = kelaudit({"status"}, files.home());
    EXPECT_NE(std::string::npos, r.out.find("held by:   no process\n")) << r.out;
}

/* A file of the journal that cannot be read (a folder where a file should
 * be: this test may run as root) fails status, naming the file; segments
 * without a valid position are warned about. */
TEST(Kelaudit, StatusFailsOnAnUnreadableFileAndWarnsWithoutAPosition)
{
    char seg[JOURNAL_NAME_SIZE];
    journalSegmentName(seg, sizeof seg, 1);
    const char *cases[] = {seg, "requeue-0000000000000001-1.kaj", "position"};
    for (const char *bad : cases) {
        kt::TraceFiles files;
        std::string spool = files.home() + "/spool";
        files.writeConfig("kelaudit.conf", "SPOOL_DIR = spool\n");
        kt::makeDirs(spool + "/" + bad);
        kt::RunResult r = kelaudit({"status"}, files.home());
        EXPECT_EQ(1, r.status) << bad;
        EXPECT_EQ("Can't read " + spool + "/" + bad + ": Is a directory\n", r.err) << bad;
    }
    kt::TraceFiles files;
    std::string spool = files.home() + "/spool";
    files.writeConfig("kelaudit.conf", "SPOOL_DIR = spool\n");
    kt::makeDirs(spool);
    kt::writeFile(spool + "/" + seg, recordOf("a", 1700000000) + recordOf("b", 1700000000));
    kt::RunResult r = kelaudit({"status"}, files.home());
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("warning:   no valid position file: the handler writes all 2 waiting "
                                            "events again")) << r.out;
}

/* check and status --json on journals written by hand: the Nagios line's
 * state for each threshold, and the JSON object's values. A missing or
 * unreadable journal is never "0 events". */
TEST(Kelaudit, CheckAndJsonForMonitoring)
{
    kt::TraceFiles files;
    std::string spool = files.home() + "/spool";
    files.writeConfig("kelaudit.conf", "SPOOL_DIR = spool\n");
    char seg[JOURNAL_NAME_SIZE];
    journalSegmentName(seg, sizeof seg, 1);
    int64_t now = (int64_t)time(nullptr);

    struct Case {
        const char *what;
        std::string segment; /* journal contents; "-" for no folder */
        bool held;
        std::vector<std::string> args;
        int status;
        std::string start; /* of the status line */
    } cases[] = {
        {"empty, held", "", true, {}, 0, "KELAUDIT OK - 0 events waiting, oldest 0 s, journal held by process 4321 |"},
        {"empty, not held", "", false, {}, 0, "KELAUDIT OK - 0 events waiting, oldest 0 s, no process holds"},
        {"backlog warning", recordOf("a", now) + recordOf("b", now), true, {"--warn-backlog", "2"}, 1,
         "KELAUDIT WARNING - 2 events waiting"},
        {"backlog critical", recordOf("a", now) + recordOf("b", now), true,
         {"--warn-backlog", "1", "--crit-backlog", "2"}, 2, "KELAUDIT CRITICAL - 2 events waiting"},
        {"age warning", recordOf("a", now - 400), true, {}, 1, "KELAUDIT WARNING - 1 events waiting, oldest 4"},
        {"age critical", recordOf("a", now - 400), true, {"--crit-age", "60"}, 2, "KELAUDIT CRITICAL - 1 events"},
        {"waiting, nobody writes", recordOf("a", now), false, {}, 2, "KELAUDIT CRITICAL - 1 events waiting"},
        {"no folder", "-", true, {}, 3, "KELAUDIT UNKNOWN - Can't read journal " + spool + ": No such file"},
        {"bad threshold", "", true, {"--warn-age", "soon"}, 3, "KELAUDIT UNKNOWN - bad value for --warn-age"},
        {"unknown option", "", true, {"--warn"}, 3, "KELAUDIT UNKNOWN - unknown option --warn"},
    };
    for (const Case &c : cases) {
        std::filesystem::remove_all(spool);
        int held = -1;
        if (c.segment != "-") {
            kt::makeDirs(spool);
            kt::writeFile(spool + "/" + seg, c.segment);
            if (c.held) {
                held = journalLockOpen(spool.c_str(), 1);
                ASSERT_GE(held, 0);
                ASSERT_EQ(5, pwrite(held, "4321\n", 5, 0));
            }
        }
        std::vector<std::string> args{"check"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        kt::RunResult r = kelaudit(args, files.home());
        kt::RunResult json = kelaudit({"status", "--json"}, files.home());
        kt::RunResult text = kelaudit({"status"}, files.home());
        if (held >= 0)
            close(held);
        EXPECT_EQ(c.status, r.status) << c.what << ": " << r.out;
        EXPECT_EQ(0u, r.out.find(c.start)) << c.what << ": " << r.out;
        EXPECT_EQ(1, std::count(r.out.begin(), r.out.end(), '\n')) << c.what << ": " << r.out;
        if (c.status < 3) {
            EXPECT_NE(std::string::npos, r.out.find(" | waiting=")) << r.out;
            /* The records of a case are all of one size. */
            long waiting = (long)(c.segment.size() / recordOf("a", now).size());
            EXPECT_NE(std::string::npos, json.out.find("\"waiting\": " + std::to_string(waiting) + ",")) << json.out;
            EXPECT_NE(std::string::npos, json.out.find(c.held ? "\"holder_pid\": 4321" : "\"holder_pid\": null"))
                << json.out;
            EXPECT_EQ(0, json.status);
        } else if (c.segment == "-") {
            /* Never "0 events": an error from every form. */
            EXPECT_EQ(1, json.status);
            EXPECT_EQ("", json.out);
            EXPECT_EQ(1, text.status) << text.out;
            EXPECT_EQ(std::string::npos, text.out.find("0 events")) << text.out;
        }
    }
}

/* The handler in this process, on SQLite, refusing users through a
 * trigger the test drops again. */
class RequeueTest : public kt::SqliteHandler {
protected:
    std::string spool;

    void SetUp() override
    {
        SqliteHandler::SetUp();
        spool = files.home() + "/spool";
        kt::createAuditDb(db);
        refuse(true);
    }

    void start() { SqliteHandler::start("SPOOL_DIR = spool\nREJECT_AFTER = 1\n"); }

    void refuse(bool on)
    {
        sqlite3 *h = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_open(db.c_str(), &h));
        sqlite3_busy_timeout(h, 5000);
        const char *sql = on ? "CREATE TRIGGER refuse BEFORE INSERT ON smaccesslog4 WHEN NEW.sm_username "
                               "LIKE 'bad%' BEGIN SELECT RAISE(ABORT, 'refused'); END"
                             : "DROP TRIGGER refuse";
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(h, sql, nullptr, nullptr, nullptr)) << sqlite3_errmsg(h);
        sqlite3_close(h);
    }
};

TEST_F(RequeueTest, WhileTheHandlerRunsEachEventIsWrittenOnce)
{
    start();
    for (const char *u : {"good1", "bad1", "bad2", "good2"})
        record(u);
    ASSERT_TRUE(waitUsers(2));
    ASSERT_TRUE(kt::eventually([&] { return kt::fileExists(spool + "/rejects"); }));
    kt::RunResult r = kelaudit({"rejects"}, files.home());
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find("  user bad1\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("  refused: SQLite error 1811: refused\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("2 rejected events in " + spool + "/rejects\n")) << r.out;

    refuse(false);
    r = kelaudit({"requeue"}, files.home());
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("2 rejected events put back for the writer\n", r.out);
    ASSERT_TRUE(waitUsers(4));
    EXPECT_EQ((std::vector<std::string>{"good1", "good2", "bad1", "bad2"}), users());

    /* A later refusal starts a new reject file; the moved one is gone. */
    refuse(true);
    record("bad3");
    ASSERT_TRUE(kt::eventually([&] { return kt::fileExists(spool + "/rejects"); }));
    r = kelaudit({"rejects"}, files.home());
    EXPECT_NE(std::string::npos, r.out.find("1 rejected events in ")) << r.out;
    /* The writer commits its journal position just after the reject file
     * has the event. */
    EXPECT_TRUE(kt::eventually([&] {
        r = kelaudit({"status"}, files.home());
        return r.out.find("waiting:   0 events") != std::string::npos;
    })) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("requeued:  0 not yet taken in")) << r.out;
    EXPECT_EQ(4u, users().size());
}

TEST_F(RequeueTest, WithoutAHandlerTheNextStartWritesThem)
{
    start();
    record("bad1");
    ASSERT_TRUE(kt::eventually([&] { return kt::fileExists(spool + "/rejects"); }));
    SmEventRelease();
    refuse(false);
    kt::RunResult r = kelaudit({"requeue"}, files.home());
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("1 rejected events put back for the writer; written when the handler next starts\n", r.out);
    r = kelaudit({"requeue"}, files.home());
    EXPECT_EQ("No rejected events\n", r.out);
    traceReset();
    start();
    ASSERT_TRUE(waitUsers(1));
    EXPECT_EQ((std::vector<std::string>{"bad1"}), users());
}

} // namespace
