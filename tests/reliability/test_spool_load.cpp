/*
 * test_spool_load.cpp - smhost load with the audit journal, killed with
 * SIGKILL and resumed in a new process: every event whose SmEventRecord
 * had returned is in the table once, each thread's in order (smhost load
 * --kill-after checks that itself and prints what it found).
 *
 * SpoolKill (SQLite, a few seconds) runs with the suite. PgLoad
 * (PostgreSQL, minutes; single rows and groups of BATCH_MAX 512) carries
 * the label "long" and is left out of the default run: ctest -L long.
 */
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdio.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "loadrun.h"
#ifdef KEL_SPOOL_PG
#include "pgtest.h"
#endif

namespace {

/* The figures smhost printed after a kill and resume. */
struct Resumed {
    long acknowledged = -1, rows = -1, missing = -1, twice = -1, disorder = -1, unacked = -1;
};

Resumed parseResumed(const std::string &out)
{
    Resumed r;
    size_t a = out.find("child killed after ");
    size_t b = out.find("resumed: ");
    if (a != std::string::npos)
        sscanf(out.c_str() + a, "child killed after %*f s; %ld events acknowledged", &r.acknowledged);
    if (b != std::string::npos)
        sscanf(out.c_str() + b,
               "resumed: %ld rows in %*f s; %ld acknowledged missing, %ld written twice, %ld out of order, %ld",
               &r.rows, &r.missing, &r.twice, &r.disorder, &r.unacked);
    return r;
}

/* twiceMost: the rows a kill may leave written twice, those of the one
 * insert whose commit raced it (the journal notes its position after the
 * commit): a row, or a group. */
void expectWhole(const kt::RunResult &run, const Resumed &r, long twiceMost = 1)
{
    EXPECT_EQ(0, run.status) << run.out << run.err;
    EXPECT_GT(r.acknowledged, 0) << run.out;
    EXPECT_EQ(0, r.missing) << run.out;
    EXPECT_EQ(0, r.disorder) << run.out;
    EXPECT_LE(r.twice, twiceMost) << run.out;
    printf("smhost load: %s", run.out.c_str()); /* figures for the log */
}

#ifndef KEL_SPOOL_PG

TEST(SpoolKill, KilledWhileTheDatabaseIsDownAndResumed)
{
    for (const char *mode : {"second", "always", "none"}) {
        kt::TempDir home;
        kt::LoadRun run(home.path(), {"--threads", "4", "--seconds", "60", "--rate", "250", "--spool-dir", "spool",
                                      "--spool-sync", mode, "--kill-after", "2", "--db-down", "--retry-delay", "1"});
        const kt::RunResult &r = run.finish();
        Resumed got = parseResumed(r.out);
        expectWhole(r, got);
        /* Nothing was committed before the kill: nothing can be twice. */
        EXPECT_EQ(0, got.twice) << mode;
    }
}

/* The journal full (SPOOL_MAX_MB) with the database down: recordings wait
 * for room rather than being acknowledged from memory, so the kill loses
 * none of them. */
TEST(SpoolKill, KilledWithTheJournalFullLosesNothingAcknowledged)
{
    kt::TempDir home;
    kt::LoadRun run(home.path(), {"--threads", "4", "--seconds", "60", "--rate", "500", "--spool-dir", "spool",
                                  "--spool-max-mb", "1", "--max-queue", "1000", "--kill-after", "5",
                                  "--db-down", "--retry-delay", "1"});
    const kt::RunResult &r = run.finish();
    Resumed got = parseResumed(r.out);
    expectWhole(r, got);
    EXPECT_EQ(0, got.twice);
    EXPECT_LT(got.acknowledged, 1024L * 1024 / 200) << "more acknowledged than the journal holds";
}

#else

class PgLoad : public ::testing::Test {
protected:
    kt::pg::Server server;
    std::string table;

    void SetUp() override
    {
        KT_REQUIRE_PG(server);
        table = "spool_" + std::to_string(getpid());
        kt::pg::Conn c(server);
        ASSERT_TRUE(c.ok());
        c.exec("DROP TABLE IF EXISTS " + table);
        std::string ddl = kt::readFile(std::string(KEL_SQL_DIR) + "/smaccesslog4.postgresql.sql");
        for (size_t p; (p = ddl.find("smaccesslog4")) != std::string::npos;)
            ddl.replace(p, 12, table);
        ASSERT_TRUE(c.exec(ddl));
    }

    void TearDown() override
    {
        kt::pg::startServer();
        kt::pg::Conn c(server);
        c.exec("DROP TABLE IF EXISTS " + table);
    }

    /* args, then the database's and the journal's. */
    std::vector<std::string> withDb(std::vector<std::string> args)
    {
        args.insert(args.end(), {"--datasource", server.uri, "--db-user", server.user, "--db-password",
                                 server.password, "--table", table, "--retry-delay", "1", "--drain-seconds", "600",
                                 "--spool-dir", "spool"});
        return args;
    }

    /* The server stopped at once, as in a crash, and started again after
     * down seconds. */
    static void crashServer(double down)
    {
        ASSERT_TRUE(kt::pg::stopServer());
        wait(down);
        ASSERT_TRUE(kt::pg::startServer());
    }

    static void wait(double seconds)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds((long)(seconds * 1000)));
    }
};

TEST_F(PgLoad, KilledWhileTheServerIsDownAndResumedAfterIt)
{
    ASSERT_TRUE(kt::pg::stopServer());
    kt::TempDir home;
    kt::LoadRun run(home.path(),
                    withDb({"--threads", "16", "--seconds", "120", "--rate", "2000", "--kill-after", "10"}));
    /* The resumed handler waits for the server too. */
    wait(15);
    ASSERT_TRUE(kt::pg::startServer());
    const kt::RunResult &r = run.finish();
    Resumed got = parseResumed(r.out);
    expectWhole(r, got);
    EXPECT_EQ(0, got.twice);
}

TEST_F(PgLoad, KilledWhileWritingWritesAtMostTheRowInFlightTwice)
{
    long twice = 0, runs = 10, acknowledged = 0;
    for (int i = 0; i < runs; i++) {
        kt::TempDir home;
        kt::LoadRun run(home.path(), withDb({"--threads", "8", "--seconds", "60", "--rate", "1500", "--kill-after",
                                             std::to_string(2 + i % 3)}));
        const kt::RunResult &r = run.finish();
        Resumed got = parseResumed(r.out);
        expectWhole(r, got);
        twice += got.twice;
        acknowledged += got.acknowledged;
    }
    printf("kill during writing: %ld runs, %ld events acknowledged, %ld rows written twice\n", runs, acknowledged,
           twice);
}

/* Groups of up to 512: the group whose commit raced the kill may be
 * written twice, no more than that group. */
TEST_F(PgLoad, KilledDuringGroupedCommitsWritesAtMostTheGroupInFlightTwice)
{
    const long runs = 20, batch = 512;
    long twice = 0, acknowledged = 0, none = 0;
    for (long i = 0; i < runs; i++) {
        kt::TempDir home;
        kt::LoadRun run(home.path(), withDb({"--threads", "4", "--seconds", "60", "--rate", "20000", "--kill-after",
                                             "4", "--batch-max", std::to_string(batch)}));
        const kt::RunResult &r = run.finish();
        Resumed got = parseResumed(r.out);
        expectWhole(r, got, batch);
        twice += got.twice;
        none += got.twice == 0;
        acknowledged += got.acknowledged;
    }
    printf("kill during grouped commits: %ld runs, %ld events acknowledged, %ld rows written twice, "
           "none in %ld runs\n", runs, acknowledged, twice, none);
}

/* Each crash cuts the groups under insert, some of them with their commit
 * in doubt: the writer reconnects and the stand-in's look-up settles each
 * such group as one transaction, so every row lands once. */
TEST_F(PgLoad, ServerCrashedFiveTimesDuringGroupedCommits)
{
    kt::TempDir home;
    kt::LoadRun run(home.path(), withDb({"--threads", "4", "--seconds", "40", "--rate", "10000", "--batch-max",
                                         "512", "--trace-level", "1"}));
    for (int i = 0; i < 5; i++) {
        wait(4);
        crashServer(2);
    }
    const kt::RunResult &r = run.finish();
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("check passed: ")) << r.out;
    EXPECT_GT(run.traced("dbThreadFn: writing again after"), 0) << "no outage was seen";
    printf("smhost load: %s", r.out.c_str());
}

/* Three policy servers into one table, each killed once and resumed,
 * while the server crashes twice under them. */
TEST_F(PgLoad, FleetKilledAndResumedWhileTheServerCrashes)
{
    const int loads = 3, batch = 512;
    std::vector<std::unique_ptr<kt::TempDir>> homes;
    std::vector<std::unique_ptr<kt::LoadRun>> runs;
    for (int i = 0; i < loads; i++) {
        homes.push_back(std::make_unique<kt::TempDir>());
        runs.push_back(std::make_unique<kt::LoadRun>(
            homes.back()->path(), withDb({"--threads", "4", "--seconds", "60", "--rate", "5000", "--kill-after",
                                          std::to_string(6 + 2 * i), "--batch-max", std::to_string(batch)})));
    }
    wait(3);
    crashServer(1);
    wait(5);
    crashServer(2);
    long acknowledged = 0, twice = 0;
    for (auto &run : runs) {
        const kt::RunResult &r = run->finish();
        Resumed got = parseResumed(r.out);
        expectWhole(r, got, batch);
        acknowledged += got.acknowledged;
        twice += got.twice;
    }
    printf("fleet killed and resumed: %d loads, %ld events acknowledged, %ld rows written twice\n", loads,
           acknowledged, twice);
}

TEST_F(PgLoad, ServerDownSixtySecondsUnderSixteenThreads)
{
    kt::TempDir home;
    kt::LoadRun run(home.path(),
                    withDb({"--threads", "16", "--seconds", "80", "--rate", "2000", "--trace-level", "3"}));
    wait(10);
    ASSERT_TRUE(kt::pg::stopServer());
    wait(60);
    ASSERT_TRUE(kt::pg::startServer());
    const kt::RunResult &r = run.finish();
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("check passed: ")) << r.out;
    EXPECT_GT(run.traced("OCI logon FAILED"), 0) << "the outage was not seen";
    printf("smhost load: %s", r.out.c_str()); /* SmEventRecord p99 for RELIABILITY.md */
}

#endif

} // namespace
