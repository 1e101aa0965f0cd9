/*
 * The count smhost load polls while its writer fills the table: only the
 * run's own rows, each once however often it is polled, and a poll that
 * fails says so and leaves the count as it was.
 */
#include <gtest/gtest.h>

#include <sqlite3.h>

#include "smhost.h"
#include "testsupport.h"

namespace {

void exec(sqlite3 *db, const std::string &sql)
{
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
}

TEST(AuditRowCounter, CountsEachNewRowOfTheRunOnce)
{
    kt::TempDir dir;
    smhost::AuditDb db;
    db.dataSource = dir / "audit.db";
    db.table = "t";
    sqlite3 *w = nullptr;
    ASSERT_EQ(sqlite3_open(db.dataSource.c_str(), &w), SQLITE_OK);
    exec(w, "CREATE TABLE t (id INTEGER PRIMARY KEY AUTOINCREMENT, sm_transactionid TEXT)");
    smhost::AuditRowCounter counter(db, "run=1;");
    /* Rows added between polls (other runs' rows among them), and the
     * count each poll should reach. */
    struct Step {
        std::vector<const char *> added;
        long want;
    } steps[] = {
        {{}, 0},
        {{"run=1;a", "run=2;a", "run=1;b"}, 2},
        {{}, 2},
        {{"run=10;a", "x", "run=1;c"}, 3},
    };
    long count = 0;
    for (const Step &s : steps) {
        for (const char *tx : s.added)
            exec(w, std::string("INSERT INTO t (sm_transactionid) VALUES ('") + tx + "')");
        EXPECT_TRUE(counter.poll(count));
        EXPECT_EQ(count, s.want);
    }
    exec(w, "DROP TABLE t");
    EXPECT_FALSE(counter.poll(count));
    EXPECT_EQ(count, 3);
    sqlite3_close(w);
}

} // namespace
