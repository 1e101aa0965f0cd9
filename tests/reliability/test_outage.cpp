/*
 * test_outage.cpp - smhost load against SQLite while the database fails
 * under it: locked by another writer for longer than the client waits for
 * a lock, or its table dropped and made again.
 *
 * Every audited login must end up in the table exactly once and in each
 * thread's order (smhost load checks that and exits 0 only then); the
 * writer must have seen the failure and retried; the recording threads
 * must wait only when the queue is full.
 */
#include <gtest/gtest.h>

#include <chrono>
#include <sqlite3.h>
#include <string>
#include <thread>

#include "loadrun.h"

namespace {

/* A connection of the test's own to the audit database. */
class Db {
public:
    explicit Db(const std::string &path)
    {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
            ADD_FAILURE() << "cannot open " << path;
        sqlite3_busy_timeout(db_, 20000);
    }
    ~Db() { sqlite3_close(db_); }

    /* BEGIN EXCLUSIVE, tried again every 100 us rather than through the
     * busy handler's growing sleeps: against a writer that commits row
     * after row, those sleeps may not find the lock free until the load
     * is over, and then no outage is seen at all. */
    bool lockExclusive()
    {
        sqlite3_busy_timeout(db_, 0);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        int rc;
        while ((rc = sqlite3_exec(db_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr)) == SQLITE_BUSY &&
               std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        sqlite3_busy_timeout(db_, 20000);
        if (rc != SQLITE_OK)
            ADD_FAILURE() << "BEGIN EXCLUSIVE: " << sqlite3_errmsg(db_);
        return rc == SQLITE_OK;
    }

    bool exec(const std::string &sql)
    {
        char *err = nullptr;
        bool ok = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) == SQLITE_OK;
        if (!ok)
            ADD_FAILURE() << sql << ": " << (err != nullptr ? err : "?");
        sqlite3_free(err);
        return ok;
    }

    long rows()
    {
        sqlite3_stmt *st = nullptr;
        long n = -1;
        if (sqlite3_prepare_v2(db_, "SELECT count(*) FROM smaccesslog4", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            n = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        return n;
    }

private:
    sqlite3 *db_ = nullptr;
};

/*
 * Waits until smhost has made the table and initialised the handler, and
 * returns at once then: the outage starts before the writer is far into
 * its work, however fast the disk. The database itself is not touched
 * meanwhile: smhost makes the table without waiting for locks.
 */
bool waitStarted(const kt::LoadRun &run)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < end) {
        if (run.traced("SmEventInit") > 0)
            return true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

const char *LOGINS = "150";

/* A fixed number of logins, or (timed) logins for two seconds: a timed run
 * is still logging in when the outage starts, however fast the disk. */
std::vector<std::string> loadArgs(const std::string &db, const char *maxQueue, bool timed = false)
{
    std::vector<std::string> args{"--threads", "3", "--max-queue", maxQueue, "--trace-level", "4",
                                  "--datasource", db};
    args.insert(args.end(), {timed ? "--seconds" : "--logins", timed ? "2" : LOGINS});
    return args;
}

/* smhost load checked that every audited login is in the table once, in
 * each thread's order (for a fixed number of logins: that number). */
void expectEveryRow(kt::LoadRun &run, bool timed = false)
{
    const kt::RunResult &r = run.finish();
    EXPECT_EQ(0, r.status) << r.out << r.err;
    size_t check = r.out.rfind("check");
    printf("smhost load: %s", check == std::string::npos ? r.out.c_str() : r.out.substr(check).c_str());
    std::string expected = timed ? std::string("check passed: ")
                                 : std::string("check passed: ") + LOGINS + " audited logins, " + LOGINS +
                                       " rows in smaccesslog4";
    EXPECT_TRUE(kt::has(r.out, expected)) << r.out;
}

TEST(SqliteOutage, LockedLongerThanTheBusyWaitWithAFullQueue)
{
    kt::TempDir home;
    std::string path = home / "audit.db";
    kt::LoadRun run(home.path(), loadArgs(path, "5", true));
    ASSERT_TRUE(waitStarted(run)) << run.finish().out << run.finish().err;
    {
        Db db(path);
        ASSERT_TRUE(db.lockExclusive());
        /* The client waits up to 5 s for a lock: hold it past that, until
         * the writer has failed once and the queue has filled. */
        EXPECT_TRUE(kt::eventually([&] { return run.failures() > 0; }, 30));
        EXPECT_TRUE(kt::eventually([&] { return run.traced("queuePut: waiting - queue full") > 0; }));
        db.exec("COMMIT");
    }
    expectEveryRow(run, true);
    EXPECT_GT(run.failures(), 0);
}

TEST(SqliteOutage, RecordingIsNotHeldUpWhileTheQueueHasRoom)
{
    kt::TempDir home;
    std::string path = home / "audit.db";
    kt::LoadRun run(home.path(), loadArgs(path, "1000"));
    ASSERT_TRUE(waitStarted(run)) << run.finish().out << run.finish().err;
    {
        Db db(path);
        ASSERT_TRUE(db.lockExclusive());
        /* Every login is queued while the database stays locked. */
        EXPECT_TRUE(kt::eventually([&] { return run.traced("queuePut: entry") == 150; }, 30));
        EXPECT_TRUE(kt::eventually([&] { return run.failures() > 0; }, 30));
        db.exec("COMMIT");
    }
    expectEveryRow(run);
    EXPECT_EQ(0, run.traced("queuePut: waiting - queue full"));
}

TEST(SqliteOutage, TableDroppedAndMadeAgain)
{
    kt::TempDir home;
    std::string path = home / "audit.db";
    kt::LoadRun run(home.path(), loadArgs(path, "5", true));
    ASSERT_TRUE(waitStarted(run)) << run.finish().out << run.finish().err;
    Db db(path);
    /* The rows written so far are kept aside, so the final check can
     * still count them once the table is back. */
    ASSERT_TRUE(db.lockExclusive());
    ASSERT_TRUE(db.exec("CREATE TABLE kept AS SELECT * FROM smaccesslog4; DROP TABLE smaccesslog4; COMMIT"));
    int before = run.failures();
    EXPECT_TRUE(kt::eventually([&] { return run.failures() >= before + 2; }, 30))
        << "the writer retries while the table is missing";
    std::string ddl = kt::readFile(std::string(KEL_SQL_DIR) + "/smaccesslog4.sqlite.sql");
    ASSERT_TRUE(db.lockExclusive());
    ASSERT_TRUE(db.exec(ddl + "; INSERT INTO smaccesslog4 SELECT * FROM kept ORDER BY id; DROP TABLE kept; COMMIT"));
    expectEveryRow(run, true);
}

} // namespace
