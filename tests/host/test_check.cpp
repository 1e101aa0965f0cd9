/*
 * test_check.cpp - an administrator's SM_HOME: `smhost check` on a good
 * configuration and on broken ones (each fault named under the check it
 * belongs to, exit status 1, the test row never left behind), and demo and
 * load, which never replace the administrator's files.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pgtest.h"
#include "testsupport.h"

namespace {

const std::string SRC = KEL_SOURCE_DIR;
const char *const PARAMS = "AGENT_NAME=authkel;URL=https://login.example.org/stepup;USE_PIN=yes";

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

/* An SM_HOME set up as docs/install.md says, on SQLite: the ready sample
 * kelaudit.conf, the trace log in log/, the table made from sql/. */
struct Home {
    kt::TempDir dir;

    Home()
    {
        for (const char *sub : {"config", "data", "log"})
            kt::makeDirs(dir / sub);
        kt::writeFile(at("config/keltrace.conf"),
                      "file = " + at("log/keltrace.log") + "\nlevel = 3\nmaxsize = 1000000\n");
        kt::writeFile(at("config/kelaudit.conf"), kt::readFile(SRC + "/docs/samples/sqlite/kelaudit.conf"));
        chmod(at("config/kelaudit.conf").c_str(), 0600);
        sqlite(kt::readFile(SRC + "/sql/smaccesslog4.sqlite.sql"));
    }

    std::string at(const std::string &rel) const { return dir / rel; }
    void append(const std::string &rel, const std::string &text) const
    {
        kt::writeFile(at(rel), kt::readFile(at(rel)) + text);
    }

    /* Runs sql on data/kelaudit.db; the first column of the last row. */
    std::string sqlite(const std::string &sql) const
    {
        sqlite3 *db = nullptr;
        std::string last;
        EXPECT_EQ(SQLITE_OK, sqlite3_open(at("data/kelaudit.db").c_str(), &db));
        auto keep = [](void *out, int, char **values, char **) {
            *(std::string *)out = values[0] != nullptr ? values[0] : "";
            return 0;
        };
        EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), keep, &last, nullptr)) << sqlite3_errmsg(db);
        sqlite3_close(db);
        return last;
    }
    long rows() const { return std::stol(sqlite("SELECT count(*) FROM smaccesslog4")); }
};

kt::RunResult smhost(const std::vector<std::string> &args)
{
    return kt::runProgram(SMHOST_PATH, args);
}

kt::RunResult check(const Home &h, const std::vector<std::string> &extra = {})
{
    std::vector<std::string> args{"check", "--home", h.dir.path(), "--params", PARAMS};
    args.insert(args.end(), extra.begin(), extra.end());
    return smhost(args);
}

/* The verdict ("ok", "warn", "FAIL", "skip") of the named check. */
std::string verdict(const std::string &out, const std::string &what)
{
    size_t at = out.find("  " + what + ": ");
    if (at == std::string::npos)
        return "missing";
    size_t start = out.rfind('\n', at) + 1;
    return out.substr(start, out.find(' ', start) - start);
}

TEST(Check, GoodConfigurationPassesAndLeavesNoRow)
{
    Home h;
    kt::RunResult r = check(h);
    EXPECT_EQ(0, r.status) << r.out << r.err;
    /* A correct installation gives no warning: SQLite takes no password,
     * so the logon says all about its absence. */
    for (const char *what : {"keltrace.conf", "trace log", "kelaudit.conf", "scheme parameters", "plug-ins",
                             "Agent API", "Oracle client", "database logon"})
        EXPECT_EQ("ok", verdict(r.out, what)) << what << "\n" << r.out;
    EXPECT_TRUE(contains(r.out, "ok    audit INSERT: into smaccesslog4: a row can be inserted (rolled back)"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "9 checks passed.")) << r.out;
    EXPECT_EQ(0, h.rows());
}

/* The check reads lines as the handler does: what follows the first 999
 * characters of a line is no setting. */
TEST(Check, TheRestOfAnOverLongLineIsNoSetting)
{
    Home h;
    h.append("config/kelaudit.conf", "#" + std::string(998, 'x') + "TABLE = elsewhere\n");
    kt::RunResult r = check(h);
    EXPECT_TRUE(contains(r.out, ", table smaccesslog4,")) << r.out;
    EXPECT_FALSE(contains(r.out, "elsewhere")) << r.out;
}

TEST(Check, EachFaultFailsTheCheckItBelongsTo)
{
    struct Case {
        const char *fault;
        std::function<void(Home &)> make;
        std::vector<std::string> args;
        const char *what, *reason;
    };
    const Case cases[] = {
        {"no keltrace.conf", [](Home &h) { unlink(h.at("config/keltrace.conf").c_str()); }, {},
         "keltrace.conf", "would trace to \"foglog\""},
        {"trace level 0", [](Home &h) { h.append("config/keltrace.conf", "level = 0\n"); }, {},
         "keltrace.conf", "nothing is written, not even failures"},
        {"log folder missing",
         [](Home &h) { h.append("config/keltrace.conf", "file = " + h.at("gone/keltrace.log") + "\n"); }, {},
         "trace log", "cannot be created in "},
        {"log full",
         [](Home &h) {
             kt::writeFile(h.at("log/keltrace.log"), std::string(60, 'x'));
             h.append("config/keltrace.conf", "maxsize = 50\n");
         },
         {}, "trace log", "full: 60 bytes, limit 50"},
        {"no kelaudit.conf", [](Home &h) { unlink(h.at("config/kelaudit.conf").c_str()); }, {}, "kelaudit.conf",
         "No such file or directory"},
        {"unknown key", [](Home &h) { h.append("config/kelaudit.conf", "MAX_QUEU = 3\n"); }, {},
         "kelaudit.conf", "Parameter MAX_QUEU: not recognized"},
        {"bad number", [](Home &h) { h.append("config/kelaudit.conf", "RETRY_DELAY = 5s\n"); }, {},
         "kelaudit.conf", "Parameter RETRY_DELAY: value '5s' should be a number"},
        {"crossed levels", [](Home &) {}, {"--params", "MIN_LEVEL=5"}, "scheme parameters",
         "MIN_LEVEL (5) greater than MAX_LEVEL (3)"},
        {"no plug-ins here", [](Home &h) { kt::makeDirs(h.at("empty")); }, {"--lib-dir", ""}, "Oracle client",
         "the plug-in does not load"},
        {"database missing", [](Home &h) { unlink(h.at("data/kelaudit.db").c_str()); }, {}, "database logon",
         "unable to open database file"},
        {"table misspelt", [](Home &h) { h.append("config/kelaudit.conf", "TABLE = smaccesslog\n"); }, {},
         "audit INSERT", "no such table: smaccesslog"},
        {"journal folder is a file",
         [](Home &h) {
             kt::writeFile(h.at("spoolfile"), "");
             h.append("config/kelaudit.conf", "SPOOL_DIR = spoolfile\n");
         },
         {}, "audit journal", "not a folder"},
        {"journal segment unreadable",
         [](Home &h) {
             kt::makeDirs(h.at("spool/seg-0000000000000001.kaj"));
             h.append("config/kelaudit.conf", "SPOOL_DIR = spool\n");
         },
         {}, "audit journal", "/spool/seg-0000000000000001.kaj: Is a directory"},
        {"table name too long",
         [](Home &h) { h.append("config/kelaudit.conf", "TABLE = " + std::string(600, 't') + "\n"); }, {},
         "audit INSERT", "TABLE is too long"},
    };
    for (const Case &c : cases) {
        Home h;
        c.make(h);
        std::vector<std::string> args = c.args;
        if (!args.empty() && args[0] == "--lib-dir")
            args[1] = h.at("empty");
        kt::RunResult r = check(h, args);
        EXPECT_EQ(2, r.status) << c.fault << "\n" << r.out;
        EXPECT_EQ("FAIL", verdict(r.out, c.what)) << c.fault << "\n" << r.out;
        EXPECT_TRUE(contains(r.out, c.reason)) << c.fault << "\n" << r.out;
        EXPECT_TRUE(contains(r.out, "checks FAILED.")) << c.fault << "\n" << r.out;
        if (kt::fileExists(h.at("data/kelaudit.db"))) {
            EXPECT_EQ(0, h.rows()) << c.fault;
        }
    }
}

/* Where a plug-in would run otherwise than written, the check warns, and
 * exits 1; a size with a suffix is read as the trace module reads it. */
TEST(Check, WhatAPluginWouldWarnAboutIsAWarning)
{
    const std::string params = std::string(PARAMS);
    struct Case {
        const char *what;
        std::function<void(Home &)> make;
        std::vector<std::string> args;
        const char *check, *reason;
    };
    const Case cases[] = {
        {"USE_PIN neither yes nor no", [](Home &) {},
         {"--params", params.substr(0, params.find("USE_PIN=")) + "USE_PIN=true"}, "scheme parameters",
         "USE_PIN 'true' is neither yes nor no: the PIN check is off"},
        {"queue below 1", [](Home &h) { h.append("config/kelaudit.conf", "MAX_QUEUE = 0\n"); }, {},
         "kelaudit.conf", "Parameter MAX_QUEUE: 0 is below 1, using 1"},
        {"level no number", [](Home &h) { h.append("config/keltrace.conf", "level = debug\n"); }, {},
         "keltrace.conf", "level 'debug' is not a number: read as 0"},
        {"size with a unit of its own", [](Home &h) { h.append("config/keltrace.conf", "maxsize = 50MB\n"); },
         {}, "keltrace.conf", "maxsize '50MB' is not a number of bytes, nor one with K, M or G: read as 50"},
    };
    for (const Case &c : cases) {
        Home h;
        c.make(h);
        kt::RunResult r = check(h, c.args);
        /* A level of 0 also fails: nothing would be written. */
        int want = std::string(c.what) == "level no number" ? 2 : 1;
        EXPECT_EQ(want, r.status) << c.what << "\n" << r.out;
        EXPECT_EQ(want == 2 ? "FAIL" : "warn", verdict(r.out, c.check)) << c.what << "\n" << r.out;
        EXPECT_TRUE(contains(r.out, c.reason)) << c.what << "\n" << r.out;
    }
    Home h;
    h.append("config/keltrace.conf", "maxsize = 50M\n");
    kt::RunResult r = check(h);
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_TRUE(contains(r.out, "limit 52428800 bytes")) << r.out;
}

/* SPOOL_DIR as the handler will use it: where it would fall back to
 * memory, the check fails. */
TEST(Check, JournalFolderAsTheHandlerWillUseIt)
{
    struct Case {
        const char *what;
        std::function<std::string(Home &)> spoolDir; /* the line's value */
        const char *verdict;
        std::string reason;
    };
    const Case cases[] = {
        {"pseudo file system", [](Home &) { return std::string("/proc/nope"); }, "FAIL",
         "the event handler would keep events in memory only"},
        {"a file", [](Home &h) { return h.at("data/kelaudit.db"); }, "FAIL", "not a folder"},
        {"under a file", [](Home &h) { return h.at("data/kelaudit.db/spool"); }, "FAIL", "Not a directory"},
        {"missing, made at start", [](Home &) { return std::string("spool"); }, "ok", ": will be created"},
        {"there, lock free", [](Home &h) { kt::makeDirs(h.at("spool")); return std::string("spool"); }, "ok",
         ": lock free, "},
        {"held by a running handler",
         [](Home &h) {
             kt::makeDirs(h.at("spool"));
             kt::writeFile(h.at("spool/lock"), std::to_string(getpid()));
             return std::string("spool");
         },
         "ok", ": in use by the running process " + std::to_string(getpid())},
    };
    for (const Case &c : cases) {
        Home h;
        std::string dir = c.spoolDir(h);
        h.append("config/kelaudit.conf", "SPOOL_DIR = " + dir + "\n");
        int lock = -1;
        if (std::string(c.what) == "held by a running handler") {
            lock = open(h.at("spool/lock").c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_EQ(0, flock(lock, LOCK_EX));
        }
        kt::RunResult r = check(h);
        if (lock >= 0)
            close(lock);
        EXPECT_EQ(std::string(c.verdict) == "ok" ? 0 : 2, r.status) << c.what << "\n" << r.out;
        EXPECT_EQ(c.verdict, verdict(r.out, "audit journal")) << c.what << "\n" << r.out;
        EXPECT_TRUE(contains(r.out, c.reason)) << c.what << "\n" << r.out;
    }
    /* A status file whose folder is missing: monitoring would go blind. */
    {
        Home h;
        h.append("config/kelaudit.conf", "STATUS_FILE = " + h.at("gone/kelaudit.prom") + "\n");
        kt::RunResult r = check(h);
        EXPECT_EQ(1, r.status) << r.out;
        EXPECT_EQ("warn", verdict(r.out, "status file")) << r.out;
    }
    /* Less room than SPOOL_MAX_MB asks for is worth a warning. */
    Home h;
    h.append("config/kelaudit.conf", "SPOOL_DIR = spool\nSPOOL_MAX_MB = 2000000000\n");
    kt::makeDirs(h.at("spool"));
    kt::RunResult r = check(h);
    EXPECT_EQ(1, r.status) << r.out;
    EXPECT_TRUE(contains(r.out, "a full disk stops it before its limit")) << r.out;
}

/* What the administrator wrote is used, never replaced: byte for byte. */
TEST(AdminHome, LoadUsesItAsItIsAndAcceptsTheExistingTable)
{
    Home h;
    h.sqlite("INSERT INTO smaccesslog4 (sm_username) VALUES ('kept')");
    std::string trace = kt::readFile(h.at("config/keltrace.conf"));
    std::string audit = kt::readFile(h.at("config/kelaudit.conf"));
    /* A table with rows of others takes no test rows unless asked to. */
    kt::RunResult refused = smhost({"load", "--threads", "2", "--logins", "20", "--home", h.dir.path()});
    EXPECT_EQ(1, refused.status);
    EXPECT_EQ("smhost load: smaccesslog4 in " + h.at("data/kelaudit.db") +
                  " holds 1 rows that smhost load did not write: give another table, or --shared-table to "
                  "add test rows to it anyway\n",
              refused.err);
    EXPECT_EQ(1, h.rows());
    for (int run = 0; run < 2; run++) {
        kt::RunResult r = smhost({"load", "--threads", "2", "--logins", "20", "--home", h.dir.path(),
                                  "--shared-table"});
        ASSERT_EQ(0, r.status) << r.out << r.err;
        EXPECT_TRUE(contains(r.out, "check passed: 20 audited logins, 20 rows in smaccesslog4")) << r.out;
    }
    EXPECT_EQ(trace, kt::readFile(h.at("config/keltrace.conf")));
    EXPECT_EQ(audit, kt::readFile(h.at("config/kelaudit.conf")));
    EXPECT_EQ(41, h.rows());

    /* Options its files settle are refused, not silently dropped. */
    kt::RunResult r = smhost({"load", "--home", h.dir.path(), "--datasource", "other.db"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("smhost load: " + h.at("config/kelaudit.conf") +
                  " was not written by smhost and is used as it is: leave out --datasource\n",
              r.err);
}

TEST(AdminHome, DemoRefusesItAndRunsAgainInItsOwn)
{
    Home h;
    std::string trace = kt::readFile(h.at("config/keltrace.conf"));
    std::string audit = kt::readFile(h.at("config/kelaudit.conf"));
    kt::RunResult r = smhost({"demo", "--home", h.dir.path()});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(0u, r.err.find("smhost demo: " + h.at("config/keltrace.conf") + " was not written by smhost"))
        << r.err;
    EXPECT_EQ(trace, kt::readFile(h.at("config/keltrace.conf")));
    EXPECT_EQ(audit, kt::readFile(h.at("config/kelaudit.conf")));

    kt::TempDir own;
    for (int run = 0; run < 2; run++) {
        r = smhost({"demo", "--home", own.path()});
        EXPECT_EQ(0, r.status) << "run " << run << "\n" << r.out << r.err;
    }
}

/* On PostgreSQL with the rights of sql/grant.postgresql.sql: check and
 * load pass; without SELECT, check still passes (its row is rolled back)
 * and load stops before it starts, with one message. */
TEST(AdminHomePg, GrantScriptRightsForCheckAndLoad)
{
    kt::pg::Server server;
    KT_REQUIRE_PG(server);
    kt::pg::Conn db(server);
    ASSERT_TRUE(db.exec("DO $$BEGIN CREATE ROLE kelaudit LOGIN; EXCEPTION WHEN duplicate_object THEN NULL; "
                        "END$$; ALTER ROLE kelaudit PASSWORD 'kelaudit-pw'; DROP TABLE IF EXISTS smaccesslog4"));
    ASSERT_TRUE(db.exec(kt::readFile(SRC + "/sql/smaccesslog4.postgresql.sql")));
    ASSERT_TRUE(db.exec(kt::readFile(SRC + "/sql/grant.postgresql.sql")));

    Home h;
    std::string conf = kt::readFile(SRC + "/docs/samples/postgresql/kelaudit.conf");
    conf.replace(conf.find("postgresql://dbhost:5432/kel"), 28, server.uri);
    kt::writeFile(h.at("config/kelaudit.conf"), conf);
    kt::RunResult pw = kt::runProgram(KELPASSWD_PATH, {"kelaudit-pw"}, {"SM_HOME=" + h.dir.path()});
    ASSERT_EQ(0, pw.status) << pw.err;

    kt::RunResult r = check(h);
    EXPECT_EQ(0, r.status) << r.out;
    r = smhost({"load", "--threads", "2", "--logins", "20", "--home", h.dir.path()});
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ("20", db.scalar("SELECT count(*) FROM smaccesslog4").value_or(""));

    ASSERT_TRUE(db.exec("REVOKE SELECT ON smaccesslog4 FROM kelaudit"));
    r = check(h);
    EXPECT_EQ(0, r.status) << r.out;
    r = smhost({"load", "--threads", "2", "--logins", "20", "--home", h.dir.path()});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(0u, r.err.find("smhost load: cannot read the audit table: ERROR:  permission denied")) << r.err;
    EXPECT_TRUE(contains(r.err, "needs SELECT on smaccesslog4")) << r.err;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    EXPECT_EQ("20", db.scalar("SELECT count(*) FROM smaccesslog4").value_or(""));
}

} // namespace
