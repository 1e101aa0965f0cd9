/*
 * test_writer_pg.cpp - the database writer on the PostgreSQL server of the
 * test run, and a server stopped mid-stream.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "audit.h"
#include "eventfixture.h"
#include "journal.h"
#include "kelsys.h"
#include "oci_standin.h"
#include "pgtest.h"
#include "queue.h"
#include "scrypt.h"
#include "smeventkel.h"
#include "trace.h"
#include "tracefiles.h"

namespace {

class PgWriterTest : public ::testing::Test {
protected:
    kt::pg::Server server;
    kt::TraceFiles files{2};
    std::string table;

    void SetUp() override
    {
        KT_REQUIRE_PG(server);
        traceReset();
        table = "audit_" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::string ddl = kt::readFile(std::string(KEL_SQL_DIR) + "/smaccesslog4.postgresql.sql");
        for (size_t pos; (pos = ddl.find("smaccesslog4")) != std::string::npos;)
            ddl.replace(pos, 12, table);
        kt::pg::Conn c(server);
        ASSERT_TRUE(c.exec("DROP TABLE IF EXISTS " + table + "; " + ddl));
        configure("");
        SmEventInit();
    }

    void configure(const std::string &extra)
    {
        std::string pw = server.password;
        scrypt(&pw[0], pw.c_str(), true);
        files.writeConfig("kelaudit.conf", "DATASOURCE = " + server.uri + "\nUSER = " + server.user +
                                               "\nPASSWORD = " + pw + "\nTABLE = " + table +
                                               "\nMIN_LEVEL = 1\nMAX_QUEUE = 5\nRETRY_DELAY = 1\n" + extra);
    }

    void TearDown() override
    {
        SmEventRelease();
        traceReset();
    }

    kt::pg::Rows rows(const std::string &columns)
    {
        kt::pg::Conn c(server);
        return c.query("SELECT " + columns + " FROM " + table + " ORDER BY id");
    }

    bool waitRows(size_t n)
    {
        return kt::eventually([&] { return rows("sm_username").size() >= n; }, 60);
    }
};

TEST_F(PgWriterTest, EachEventBecomesOneRow)
{
    kt::Event a("uid=o'brien", "authlevel=5", 12);
    kt::Event b("uid=j\xc3\xbcrgen", "authlevel=5;note=$1 :sm_username '--", -1);
    b.text(4) = "";
    SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, a.get());
    SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, b.get());
    ASSERT_TRUE(waitRows(2));
    kt::pg::Rows r = rows("sm_categoryid, sm_eventid, sm_reason, sm_username, sm_domainoid, "
                          "sm_transactionid, sm_hostname, sm_action");
    ASSERT_EQ(2u, r.size());
    char host[500];
    gethostname(host, sizeof host);
    EXPECT_EQ("1", *r[0][0]);
    EXPECT_EQ("1", *r[0][1]);
    EXPECT_EQ("12", *r[0][2]);
    EXPECT_EQ("uid=o'brien", *r[0][3]);
    EXPECT_EQ("-1", *r[1][2]);
    EXPECT_EQ("uid=j\xc3\xbcrgen", *r[1][3]);
    EXPECT_EQ("", *r[1][4]);
    EXPECT_EQ("authlevel=5;note=$1 :sm_username '--", *r[1][5]);
    EXPECT_EQ(host, *r[1][6]);
    EXPECT_EQ("GET", *r[1][7]);
}

TEST_F(PgWriterTest, ServerStoppedMidStreamLosesNothing)
{
    /* Each producer records a first half, waits for the server to be
     * stopped, and records the second half into the outage. */
    const int producers = 2, perProducer = 40;
    std::atomic<bool> stopped(false);
    std::vector<std::thread> pool;
    for (int p = 0; p < producers; p++)
        pool.emplace_back([&, p] {
            for (int i = 0; i < perProducer; i++) {
                if (i == perProducer / 2)
                    kt::eventually([&] { return stopped.load(); }, 60);
                kt::Event e("p" + std::to_string(p), "authlevel=5;seq=" + std::to_string(i));
                SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e.get());
            }
        });
    ASSERT_TRUE(waitRows(producers * perProducer / 2));
    ASSERT_TRUE(kt::pg::stopServer());
    stopped = true;
    /* While the server is down the writer fails, pauses and retries; the
     * queue fills and holds up the producers; nothing is dropped. */
    const std::string full = "queuePut: queue full (5 events), recording threads wait for the database writer";
    ASSERT_TRUE(kt::eventually([&] { return files.count("OCI logon FAILED") >= 2 && files.has(full); }, 60));
    ASSERT_TRUE(kt::pg::startServer());
    for (std::thread &t : pool)
        t.join();
    ASSERT_TRUE(waitRows(producers * perProducer));
    SmEventRelease(); /* the writer has ended: anything written twice shows now */
    kt::pg::Rows r = rows("sm_username, sm_transactionid");
    ASSERT_EQ((size_t)(producers * perProducer), r.size());
    std::vector<int> next(producers, 0);
    for (auto &row : r) {
        int p = (*row[0])[1] - '0';
        EXPECT_EQ("authlevel=5;seq=" + std::to_string(next[p]++), *row[1]);
    }
}

TEST_F(PgWriterTest, ARowTheServerRefusesIsPutAsideWithItsMessage)
{
    kt::pg::Conn c(server);
    ASSERT_TRUE(c.exec("ALTER TABLE " + table + " ADD CONSTRAINT no_bad CHECK (sm_username <> 'bad')"));
    SmEventRelease();
    configure("REJECT_AFTER = 2\nSPOOL_DIR = spool\n");
    SmEventInit();
    for (const char *u : {"good1", "bad", "good2"}) {
        kt::Event e(u, "authlevel=5");
        SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e.get());
    }
    ASSERT_TRUE(waitRows(2));
    kt::pg::Rows r = rows("sm_username");
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ("good1", *r[0][0]);
    EXPECT_EQ("good2", *r[1][0]);
    std::vector<std::string> messages;
    long damaged = 0;
    ASSERT_TRUE(journalForEach((files.home() + "/spool/rejects").c_str(),
                               [](const JournalEntry *e, void *arg) {
                                   ((std::vector<std::string> *)arg)->push_back(e->event->szUserName +
                                                                               std::string(" ") + e->message);
                                   return 1;
                               },
                               &messages, &damaged));
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(0u, messages[0].find("bad PostgreSQL error 23514: ")) << messages[0];
    EXPECT_NE(std::string::npos, messages[0].find("no_bad")) << messages[0];
}

/* Groups (BATCH_MAX) whose commit is in doubt, its answer lost or the
 * connection lost before it: each group is tried again whole and settled
 * by the server, so every row lands once and in order. */
TEST_F(PgWriterTest, GroupsWhoseCommitIsInDoubtLandOnceInOrder)
{
    SmEventRelease();
    configure("BATCH_MAX = 16\nMAX_QUEUE = 200\nRETRY_DELAY = 0\n");
    SmEventInit();
    ociStandinReset();
    ociStandinLoseAcks(2);
    ociStandinLoseCommits(1);
    const int events = 100;
    for (int i = 0; i < events; i++) {
        kt::Event e("uid=grouped", "authlevel=5;seq=" + std::to_string(i));
        SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e.get());
    }
    ASSERT_TRUE(waitRows(events));
    SmEventRelease(); /* nothing more is written after this */
    kt::pg::Rows r = rows("sm_transactionid");
    ASSERT_EQ((size_t)events, r.size());
    for (int i = 0; i < events; i++)
        EXPECT_EQ("authlevel=5;seq=" + std::to_string(i), *r[(size_t)i][0]);
    EXPECT_LT(ociStandinCalls("OCIStmtExecute"), events) << "the events went in groups";
    ociStandinReset();
}

/* Nothing waits in the ring and the writer inserts nothing. */
bool ringIdle()
{
    queueLock();
    bool idle = queueLength() == 0 && queueInFlight() == 0;
    queueUnlock();
    return idle;
}

/* The next kelSys.calloc fails once when armed: the writer's only one
 * after its start is that of a group's arrays. */
std::atomic<bool> failNextCalloc(false);

void *callocFailingOnce(size_t count, size_t size)
{
    if (failNextCalloc.exchange(false))
        return nullptr;
    return calloc(count, size);
}

/* A lone event whose commit answer is lost is tried again alone, though
 * more events wait by then: a group holding it would not be the statement
 * whose commit is in doubt, and would write it twice. So is the first
 * event of a group that went alone for want of memory for its arrays. */
TEST_F(PgWriterTest, LoneEventWhoseCommitIsInDoubtIsTriedAgainAlone)
{
    struct {
        const char *what;
        bool failGroupArrays;
    } cases[] = {{"an event that came alone", false}, {"a group that went as its first event", true}};
    const int events = 10;
    SmEventRelease();
    configure("BATCH_MAX = 16\nMAX_QUEUE = 200\nRETRY_DELAY = 1\n");
    kelSys.calloc = callocFailingOnce;
    SmEventInit();
    int written = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ociStandinReset();
        /* The first event's answer is lost, then that of the group's
         * first event going alone. */
        ociStandinLoseAcks(c.failGroupArrays ? 2 : 1);
        auto record = [&](int i) {
            kt::Event e("uid=lone", "authlevel=5;seq=" + std::to_string(written + i));
            SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e.get());
        };
        record(0);
        /* The answer is lost; the writer waits its retry delay. */
        ASSERT_TRUE(kt::eventually([] { return ociStandinCalls("OCIStmtExecute") >= 1; }, 10));
        failNextCalloc = c.failGroupArrays;
        for (int i = 1; i < events; i++)
            record(i);
        written += events;
        ASSERT_TRUE(waitRows((size_t)written));
        /* No row more comes. */
        ASSERT_TRUE(kt::eventually(ringIdle, 10));
        kt::pg::Rows r = rows("sm_transactionid");
        ASSERT_EQ((size_t)written, r.size());
        for (int i = 0; i < written; i++)
            EXPECT_EQ("authlevel=5;seq=" + std::to_string(i), *r[(size_t)i][0]);
        EXPECT_FALSE(failNextCalloc);
    }
    SmEventRelease();
    kelSysReset();
    ociStandinReset();
}

} // namespace
