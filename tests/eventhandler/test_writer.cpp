/*
 * test_writer.cpp - the database writer on SQLite: rows in order, every
 * failing step retried, release at every moment.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "audit.h"
#include "auditdb.h"
#include "eventfixture.h"
#include "kelsys.h"
#include "oci.h"
#include "oci_standin.h"
#include "scrypt.h"
#include "smeventkel.h"
#include "trace.h"
#include "tracefiles.h"

namespace {

/* The writer's pause, counted instead of slept. */
std::atomic<int> sleeps(0);
std::atomic<unsigned> lastSleep(12345);
unsigned countingSleep(unsigned seconds)
{
    lastSleep = seconds;
    sleeps++;
    return 0;
}

using kt::Gate;
Gate *gate = nullptr;

unsigned gatedSleep(unsigned)
{
    sleeps++;
    gate->pass();
    return 0;
}

int gatedHostname(char *name, size_t len)
{
    gate->pass();
    return gethostname(name, len);
}

int failingHostname(char *, size_t)
{
    errno = ENAMETOOLONG;
    return -1;
}

/* What the release says it discarded: its last line. */
std::string releaseSummary(int discarded)
{
    return "auditRelease: " + std::to_string(discarded) +
           " queued events discarded, 0 waiting recording threads sent away";
}

/* "dbThreadFn: finishing" is the writer's last line: after it come only
 * the release's own lines (whose "waiting" line may come before or after
 * it, as the two threads race), ending with what it discarded. */
void expectWriterEndedLast(const std::vector<std::string> &m, int discarded)
{
    auto fin = std::find(m.begin(), m.end(), "dbThreadFn: finishing");
    ASSERT_NE(m.end(), fin);
    ASSERT_GE(m.size(), 2u);
    for (auto it = fin + 1; it != m.end() - 1; ++it)
        EXPECT_TRUE(*it == "auditRelease: waiting for db thread to finish" ||
                    *it == "auditRelease: db thread finished")
            << *it;
    EXPECT_EQ("auditRelease: db thread finished", m[m.size() - 2]);
    EXPECT_EQ(releaseSummary(discarded), m.back());
}

class WriterTest : public ::testing::Test {
protected:
    kt::TraceFiles files{5};
    std::string db;

    void SetUp() override
    {
        traceReset();
        ociStandinReset();
        sleeps = 0;
        kt::makeDirs(files.home() + "/data");
        db = files.home() + "/data/audit.db";
        kt::createAuditDb(db);
        configure("");
    }

    void TearDown() override
    {
        SmEventRelease();
        EXPECT_EQ(0, ociStandinLiveConnections());
        EXPECT_EQ(0, ociStandinLiveHandles());
        ociStandinReset();
        kelSysReset();
        traceReset();
    }

    /* kelaudit.conf for the test database, plus extra lines, then init. */
    void configure(const std::string &extra)
    {
        std::string pw = "pw";
        scrypt(&pw[0], pw.c_str(), true);
        files.writeConfig("kelaudit.conf", "DATASOURCE = audit.db\nUSER = auditor\nPASSWORD = " + pw +
                                               "\nMIN_LEVEL = 5\nRETRY_DELAY = 7\n" + extra);
        kelSys.sleep = countingSleep;
        SmEventInit();
    }

    /* Stops the handler and starts it again with other settings. The
     * release closes the trace log; forgetting the trace state lets the
     * next line open it at once rather than two seconds later. */
    void restart(const std::string &extra)
    {
        SmEventRelease();
        traceReset();
        configure(extra);
    }

    void record(kt::Event &e) { SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e.get()); }

    bool waitRows(size_t n)
    {
        return kt::eventually([&] { return kt::auditRows(db).size() >= n; });
    }
};

TEST_F(WriterTest, EachEventBecomesOneRowInOrder)
{
    kt::Event a("uid=o'brien,ou=people", "authlevel=5", 17);
    kt::Event b("uid=j\xc3\xbcrgen", "x=1;authlevel=9");
    kt::Event c("x'); DROP TABLE smaccesslog4; --", "authlevel=7", -3);
    c.text(4) = ""; /* empty domain */
    c.text(12) = "POST";
    record(a);
    record(b);
    record(c);
    ASSERT_TRUE(waitRows(3));
    SmEventRelease();

    std::vector<kt::Row> rows = kt::auditRows(db);
    ASSERT_EQ(3u, rows.size());
    char host[500];
    ASSERT_EQ(0, gethostname(host, sizeof host));
    kt::Event *events[] = {&a, &b, &c};
    for (int i = 0; i < 3; i++) {
        kt::Event &e = *events[i];
        kt::Row &r = rows[i];
        EXPECT_EQ("1", r["sm_categoryid"]);
        EXPECT_EQ("1", r["sm_eventid"]);
        EXPECT_EQ(std::to_string(e.record().nReason), r["sm_reason"]);
        EXPECT_EQ(host, r["sm_hostname"]);
        EXPECT_EQ(e.text(1), r["sm_sessionid"]);
        EXPECT_EQ(e.text(3), r["sm_username"]);
        EXPECT_EQ(e.text(0), r["sm_agentname"]);
        EXPECT_EQ(e.text(5), r["sm_realmname"]);
        EXPECT_EQ(e.text(6), r["sm_realmoid"]);
        EXPECT_EQ(e.text(2), r["sm_clientip"]);
        EXPECT_EQ(e.text(4), r["sm_domainoid"]);
        EXPECT_EQ(e.text(7), r["sm_authdirname"]);
        EXPECT_EQ(e.text(8), r["sm_authdirserver"]);
        EXPECT_EQ(e.text(9), r["sm_authdirnamespace"]);
        EXPECT_EQ(e.text(11), r["sm_resource"]);
        EXPECT_EQ(e.text(12), r["sm_action"]);
        EXPECT_EQ(e.text(13), r["sm_transactionid"]);
    }
    /* Connected once, for all three. */
    EXPECT_EQ(1, ociStandinCalls("OCILogon"));
    EXPECT_EQ(3, ociStandinCalls("OCIStmtPrepare"));
    EXPECT_EQ(42, ociStandinCalls("OCIBindByName"));
}

TEST_F(WriterTest, TraceShowsStatementAndBindsButNeverThePassword)
{
    files.setLevel(10);
    traceReset();
    kt::Event a("uid=alice", "authlevel=5", 3);
    record(a);
    ASSERT_TRUE(waitRows(1));
    SmEventRelease();
    EXPECT_TRUE(files.has("dbConnect: data source 'audit.db', user 'auditor'"));
    EXPECT_TRUE(files.has("OCI logon OK"));
    EXPECT_TRUE(files.has("dbBindString :sm_username uid=alice"));
    EXPECT_TRUE(files.has("OCI bind string OK"));
    EXPECT_TRUE(files.has("OCI execute statement OK"));
    bool sql = false;
    for (const std::string &m : files.messages())
        sql |= m.rfind("SQL: INSERT INTO smaccesslog4 (sm_categoryid, sm_eventid, sm_hostname,", 0) == 0 &&
               m.find("VALUES (1, 1, :sm_hostname,") != std::string::npos &&
               m.find(":sm_action, 3, :sm_transactionid)") != std::string::npos;
    EXPECT_TRUE(sql);
    std::string log = kt::readFile(files.logPath());
    EXPECT_EQ(std::string::npos, log.find("pw"));
    expectWriterEndedLast(files.messages(), 0);
}

struct StepFailure {
    const char *function;
    const char *step;
};

TEST_F(WriterTest, EveryFailingStepDisconnectsPausesAndRetriesTheSameEvent)
{
    const StepFailure steps[] = {
        {"OCIEnvCreate", "Create OCI environment"},
        {"OCIHandleAlloc", "Allocate OCI error handle"},
        {"OCILogon", "OCI logon"},
        {"OCIStmtPrepare", "OCI prepare statement"},
        {"OCIBindByName", "OCI bind string"},
        {"OCIStmtExecute", "OCI execute statement"},
    };
    struct Status {
        int code;
        const char *suffix;
    };
    const Status statuses[] = {
        {OCI_ERROR, " FAILED"},
        {OCI_INVALID_HANDLE, " FAILED - INVALID_HANDLE"},
        {OCI_STILL_EXECUTING, " FAILED - STILL_EXECUTING"},
        {OCI_CONTINUE, " FAILED - CONTINUE"},
        {OCI_NEED_DATA, " FAILED - NEED_DATA"},
        {OCI_NO_DATA, " FAILED - NODATA"},
        {-77, " FAILED - status -77"},
    };
    size_t rows = 0;
    int n = 0;
    for (const StepFailure &s : steps) {
        for (const Status &st : statuses) {
            /* Leave the writer disconnected before each case, so the
             * connect steps are reached again. */
            files.clear();
            int before = sleeps;
            std::string fn = s.function;
            bool connectStep = fn == "OCIEnvCreate" || fn == "OCIHandleAlloc" || fn == "OCILogon";
            ASSERT_TRUE(ociStandinFail(s.function, st.code, 1));
            /* A connect step is reached only when the writer is not
             * connected: a failed execute first drops the connection. */
            if (connectStep) {
                ASSERT_TRUE(ociStandinFail("OCIStmtExecute", OCI_ERROR, 1));
            }
            kt::Event e("user" + std::to_string(n++), "authlevel=5");
            record(e);
            ASSERT_TRUE(waitRows(++rows)) << s.step << st.suffix;
            std::string expected = std::string(s.step) + st.suffix;
            EXPECT_TRUE(kt::eventually([&] { return files.has(expected); })) << expected;
            EXPECT_TRUE(files.has("dbDisconnect")) << expected;
            EXPECT_GT(sleeps.load(), before) << expected;
            EXPECT_EQ(7u, lastSleep.load());
            if (st.code == OCI_ERROR) {
                bool diag = false;
                for (const std::string &m : files.messages())
                    diag |= m.rfind("ORA-99999: ", 0) == 0;
                EXPECT_TRUE(diag) << expected;
            }
            if (fn == "OCIBindByName") {
                EXPECT_TRUE(files.has("binding name :sm_hostname")) << expected;
            }
        }
    }
    /* Every event written exactly once, in order. */
    std::vector<kt::Row> all = kt::auditRows(db);
    ASSERT_EQ(rows, all.size());
    for (size_t i = 0; i < all.size(); i++)
        EXPECT_EQ("user" + std::to_string(i), all[i]["sm_username"]);
}

TEST_F(WriterTest, SuccessWithInfoCountsAsSuccess)
{
    ociStandinFail("OCIStmtExecute", OCI_SUCCESS_WITH_INFO, 1);
    kt::Event e("uid=info", "authlevel=5");
    record(e);
    ASSERT_TRUE(waitRows(1));
    SmEventRelease();
    EXPECT_EQ(1u, kt::auditRows(db).size());
    EXPECT_EQ(0, sleeps.load());
    EXPECT_EQ(1, ociStandinCalls("OCIStmtExecute"));
    /* The record is traced after the OK line, at its level. */
    std::vector<std::string> m = files.messages();
    auto ok = std::find(m.begin(), m.end(), "OCI execute statement OK");
    ASSERT_NE(m.end(), ok);
    ASSERT_NE(m.end(), ok + 1);
    EXPECT_NE(std::string::npos, (ok + 1)->find("99999")) << *(ok + 1);
}

/* A diagnostic read that itself reports OCI_SUCCESS_WITH_INFO (a record
 * cut to the buffer, say) still yields its record, and reading goes on:
 * only OCI_NO_DATA or a failure ends it. */
TEST_F(WriterTest, DiagnosticReadWithInfoIsTracedAndReadingGoesOn)
{
    ociStandinFail("OCIErrorGet", OCI_SUCCESS_WITH_INFO, 1);
    ociStandinFail("OCILogon", OCI_ERROR, 1);
    kt::Event e("uid=diag", "authlevel=5");
    record(e);
    ASSERT_TRUE(waitRows(1));
    bool traced = false;
    for (const std::string &m : files.messages())
        traced |= m.find("OCILogon made to return -1") != std::string::npos;
    EXPECT_TRUE(traced);
    EXPECT_EQ(2, ociStandinCalls("OCIErrorGet")) << "record 1, then OCI_NO_DATA";
}

TEST_F(WriterTest, ZeroRetryDelayRetriesAtOnce)
{
    restart("RETRY_DELAY = 0\n");
    ociStandinFail("OCILogon", OCI_ERROR, 3);
    kt::Event e("uid=zero", "authlevel=5");
    record(e);
    ASSERT_TRUE(waitRows(1));
    EXPECT_EQ(3, sleeps.load());
    EXPECT_EQ(0u, lastSleep.load());
    EXPECT_EQ(4, ociStandinCalls("OCILogon"));
}

/* The pause moves the test clock on by the delay asked for, after waiting
 * at the gate (when there is one) for the test to queue more events. */
unsigned clockSleep(unsigned seconds)
{
    kt::clock::advance(seconds);
    if (gate != nullptr)
        gate->pass();
    sleeps++;
    return 0;
}

/* At level 1 the failures are in the log; so is the recovery, with how
 * long it took and how many events were waiting for it. */
TEST_F(WriterTest, WritingAgainAfterFailuresIsTracedAtLevelOne)
{
    files.setLevel(1);
    kt::clock::install(2000000000);
    kelSys.sleep = clockSleep;
    Gate waitForEvents;
    gate = &waitForEvents;
    ociStandinFail("OCILogon", OCI_ERROR, 3);
    kt::Event first("first", "authlevel=5"), second("second", "authlevel=5"), third("third", "authlevel=5");
    record(first);
    ASSERT_TRUE(gate->waitEntered());
    record(second);
    record(third);
    gate->release();
    ASSERT_TRUE(waitRows(3));
    SmEventRelease();
    gate = nullptr;
    /* Three pauses of RETRY_DELAY = 7 seconds. */
    EXPECT_TRUE(files.has("dbThreadFn: writing again after 3 failed attempts in 21 s; events waiting: 3"))
        << ::testing::PrintToString(files.messages());
    EXPECT_EQ(3, files.count("OCI logon FAILED"));
}

TEST_F(WriterTest, MissingDatabaseIsRetriedUntilItExists)
{
    restart("DATASOURCE = later.db\n");
    kt::Event e("uid=later", "authlevel=5");
    record(e);
    ASSERT_TRUE(kt::eventually([] { return sleeps >= 2; }));
    EXPECT_TRUE(files.has("OCI logon FAILED"));
    std::string later = files.home() + "/data/later.db";
    EXPECT_FALSE(kt::fileExists(later)); /* the logon never creates it */
    kt::createAuditDb(later);
    ASSERT_TRUE(kt::eventually([&] { return kt::auditRows(later).size() == 1; }));
}

TEST_F(WriterTest, ReleaseDiscardsQueuedEvents)
{
    ociStandinFail("OCILogon", OCI_ERROR, 1000000);
    kt::Event a("a", "authlevel=5"), b("b", "authlevel=5"), c("c", "authlevel=5");
    record(a);
    record(b);
    record(c);
    ASSERT_TRUE(kt::eventually([] { return sleeps >= 1; }));
    SmEventRelease();
    EXPECT_TRUE(kt::auditRows(db).empty());
    expectWriterEndedLast(files.messages(), 3);
}

TEST_F(WriterTest, ReleaseDuringThePauseWaitsForIt)
{
    Gate g;
    gate = &g;
    kelSys.sleep = gatedSleep;
    ociStandinFail("OCILogon", OCI_ERROR, 1000000);
    kt::Event a("a", "authlevel=5");
    record(a);
    ASSERT_TRUE(g.waitEntered());
    std::atomic<bool> released(false);
    std::thread releaser([&] {
        SmEventRelease();
        released = true;
    });
    ASSERT_TRUE(kt::eventually([&] { return files.has("auditRelease: waiting for db thread to finish"); }));
    EXPECT_FALSE(released);
    g.release();
    releaser.join();
    EXPECT_TRUE(released);
    EXPECT_TRUE(files.has("dbThreadFn: finishing"));
    gate = nullptr;
}

TEST_F(WriterTest, ReleaseWhileTheHeadIsBeingInsertedFreesItOnce)
{
    /* The writer holds the head outside the lock while it inserts; release
     * frees the ring meanwhile. ASan checks that the head is neither used
     * after a free nor freed twice nor leaked. */
    Gate g;
    gate = &g;
    kelSys.gethostname = gatedHostname;
    kt::Event a("head", "authlevel=5"), b("queued", "authlevel=5");
    record(a);
    ASSERT_TRUE(g.waitEntered());
    record(b);
    std::thread releaser([] { SmEventRelease(); });
    ASSERT_TRUE(kt::eventually([&] { return files.has("auditRelease: waiting for db thread to finish"); }));
    g.release();
    releaser.join();
    std::vector<kt::Row> rows = kt::auditRows(db);
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("head", rows[0]["sm_username"]);
    gate = nullptr;
}

/* The head under insert when the release comes counts as discarded only
 * when its insert then fails; the event queued behind it always does. */
TEST_F(WriterTest, ReleaseCountsTheHeadUnderInsertOnlyWhenItIsLost)
{
    struct {
        bool insertFails;
        size_t rows;
        int discarded;
    } cases[] = {{false, 1, 1}, {true, 0, 2}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.insertFails ? "insert fails" : "insert succeeds");
        restart("");
        files.clear();
        kt::Event a("head", "authlevel=5"), b("queued", "authlevel=5");
        Gate g;
        gate = &g;
        auto realHostname = kelSys.gethostname;
        kelSys.gethostname = gatedHostname;
        if (c.insertFails)
            ociStandinFail("OCIStmtExecute", OCI_ERROR, 1);
        record(a);
        ASSERT_TRUE(g.waitEntered());
        record(b);
        std::thread releaser([] { SmEventRelease(); });
        ASSERT_TRUE(kt::eventually([&] { return files.has("auditRelease: waiting for db thread to finish"); }));
        g.release();
        releaser.join();
        gate = nullptr;
        kelSys.gethostname = realHostname;
        EXPECT_EQ(c.rows, kt::auditRows(db).size());
        EXPECT_TRUE(files.has(releaseSummary(c.discarded)));
        kt::createAuditDb(db);
    }
}

TEST_F(WriterTest, HostNameUnknownWhenTheSystemCannotTell)
{
    kelSys.gethostname = failingHostname;
    kt::Event a("a", "authlevel=5");
    record(a);
    ASSERT_TRUE(waitRows(1));
    EXPECT_EQ("unknown", kt::auditRows(db)[0]["sm_hostname"]);
    EXPECT_TRUE(files.has(std::string("Can't get host name: ") + strerror(ENAMETOOLONG)));
}

TEST_F(WriterTest, ManyProducersSmallQueueNothingLostOrderKept)
{
    restart("MAX_QUEUE = 2\n");
    files.setLevel(1);
    traceReset();
    const int producers = 4, perProducer = 40;
    std::vector<std::thread> pool;
    for (int p = 0; p < producers; p++)
        pool.emplace_back([p] {
            for (int i = 0; i < perProducer; i++) {
                kt::Event e("p" + std::to_string(p), "authlevel=5;seq=" + std::to_string(i));
                SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e.get());
            }
        });
    for (std::thread &t : pool)
        t.join();
    ASSERT_TRUE(waitRows(producers * perProducer));
    std::vector<kt::Row> rows = kt::auditRows(db);
    ASSERT_EQ((size_t)(producers * perProducer), rows.size());
    std::vector<int> next(producers, 0);
    for (kt::Row &r : rows) {
        int p = r["sm_username"][1] - '0';
        EXPECT_EQ("authlevel=5;seq=" + std::to_string(next[p]++), r["sm_transactionid"]);
    }
}

TEST_F(WriterTest, ConcurrentFirstEventsStartOneWriter)
{
    const int threads = 8;
    std::vector<std::thread> pool;
    std::atomic<int> ready(0);
    for (int t = 0; t < threads; t++)
        pool.emplace_back([&, t] {
            kt::Event e("t" + std::to_string(t), "authlevel=5");
            ready++;
            while (ready < threads) {
            }
            SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e.get());
        });
    for (std::thread &t : pool)
        t.join();
    ASSERT_TRUE(waitRows(threads));
    int starts = 0;
    for (const std::string &m : files.messages())
        starts += m.rfind("dbThreadFn: starting, thread id ", 0) == 0;
    EXPECT_EQ(1, starts);
    EXPECT_EQ(1, files.count("auditInit done"));
}

TEST_F(WriterTest, SecondInitWhileRunning)
{
    kt::Event a("a", "authlevel=5");
    record(a);
    ASSERT_TRUE(waitRows(1));
    /* Raise the minimum level and change the table while the writer runs:
     * the level applies at once, the table after the release. */
    files.writeConfig("kelaudit.conf", "DATASOURCE = audit.db\nMIN_LEVEL = 8\nTABLE = nosuchtable\n");
    std::thread recorder([] {
        for (int i = 0; i < 50; i++) {
            kt::Event e("busy", "authlevel=9");
            SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e.get());
        }
    });
    SmEventInit();
    recorder.join();
    EXPECT_TRUE(files.has("auditConfigure: database writer running, new database and queue settings apply "
                          "after SmEventRelease"));
    EXPECT_EQ(8, paramMinLevel());
    kt::Event low("low", "authlevel=7");
    record(low);
    ASSERT_TRUE(waitRows(51));
    SmEventRelease();
    EXPECT_STREQ("nosuchtable", param.table);
    for (kt::Row &r : kt::auditRows(db))
        EXPECT_NE("low", r["sm_username"]);
}

TEST_F(WriterTest, StatusMessagesForEveryCode)
{
    files.clear();
    EXPECT_TRUE(dbCheckStatus("step", OCI_SUCCESS, 3));
    EXPECT_TRUE(dbCheckStatus("step", OCI_SUCCESS_WITH_INFO, 5));
    EXPECT_FALSE(dbCheckStatus("Allocate OCI statement handle", OCI_INVALID_HANDLE, 3));
    EXPECT_FALSE(dbCheckStatus("step", 12345, 3));
    EXPECT_EQ((std::vector<std::string>{"step OK", "step OK", "Allocate OCI statement handle FAILED - INVALID_HANDLE",
                                        "dbDisconnect", "step FAILED - status 12345", "dbDisconnect"}),
              files.messages());
}

} // namespace
