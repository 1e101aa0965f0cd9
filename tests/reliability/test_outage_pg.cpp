/*
 * test_outage_pg.cpp - smhost load against the PostgreSQL server of the
 * test run while the server is stopped hard (immediate mode, as in a
 * crash) and started again, three times, during a 15-second run.
 *
 * smhost load exits 0 only when the table holds every audited login
 * exactly once, each thread's in its own order; the writer must have seen
 * the outages and reconnected; the database password appears neither in
 * the trace nor on standard output.
 */
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdio.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "loadrun.h"
#include "pgtest.h"

namespace {

/* Polls every 50 ms (the trace grows large) for up to 60 seconds. */
bool poll(const std::function<bool()> &cond)
{
    for (int i = 0; i < 1200; i++) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

TEST(PgOutage, ServerStoppedHardAndStartedAgainThreeTimes)
{
    kt::pg::Server server;
    KT_REQUIRE_PG(server);
    std::string table = "outage_" + std::to_string(getpid());
    {
        kt::pg::Conn c(server);
        ASSERT_TRUE(c.ok());
        c.exec("DROP TABLE IF EXISTS " + table);
        /* The project's table definition under this test's own name. */
        std::string ddl = kt::readFile(std::string(KEL_SQL_DIR) + "/smaccesslog4.postgresql.sql");
        for (size_t p; (p = ddl.find("smaccesslog4")) != std::string::npos;)
            ddl.replace(p, 12, table);
        ASSERT_TRUE(c.exec(ddl));
    }
    kt::TempDir home;
    /* A run of fixed length rather than count: the outages must fall
     * inside it however fast the server writes. */
    kt::LoadRun run(home.path(),
                    {"--threads", "4", "--seconds", "15", "--max-queue", "10", "--trace-level", "3",
                     "--datasource", server.uri, "--db-user", server.user, "--db-password",
                     server.password, "--table", table});
    for (int i = 0; i < 3; i++) {
        /* Some rows through first, so each outage cuts into the run. */
        int done = run.traced("OCI execute statement OK");
        ASSERT_TRUE(poll([&] { return run.traced("OCI execute statement OK") >= done + 20; }))
            << "no rows before outage " << i + 1;
        int failed = run.failures();
        ASSERT_TRUE(kt::pg::stopServer());
        EXPECT_TRUE(poll([&] { return run.failures() > failed; }))
            << "the writer did not notice outage " << i + 1;
        ASSERT_TRUE(kt::pg::startServer());
    }
    const kt::RunResult &r = run.finish();
    EXPECT_EQ(0, r.status) << r.out << r.err;
    long logins = -1, rows = -2;
    size_t at = r.out.find("check passed: ");
    ASSERT_NE(std::string::npos, at) << r.out;
    ASSERT_EQ(2, sscanf(r.out.c_str() + at, "check passed: %ld audited logins, %ld rows", &logins, &rows));
    EXPECT_EQ(logins, rows);
    printf("smhost load: %s", r.out.substr(at).c_str()); /* figures for the log */

    std::string trace = kt::readFile(run.tracePath());
    EXPECT_GT(run.traced("dbConnect: data source"), 3) << "reconnected after each outage";
    EXPECT_FALSE(kt::has(trace, server.password)) << "database password in the trace";
    EXPECT_FALSE(kt::has(r.out + r.err, server.password)) << "database password on the output";

    kt::pg::Conn c(server);
    EXPECT_EQ(std::to_string(logins), c.scalar("SELECT count(*) FROM " + table).value_or("?"));
    c.exec("DROP TABLE " + table);
}

} // namespace
