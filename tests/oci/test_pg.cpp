/*
 * libclntsh on PostgreSQL (the server started by the test run): the
 * database of the shared row cases, PostgreSQL's own quoting, logons that
 * fail, an outage and its end, and sessions that leave nothing behind.
 */
#include <condition_variable>
#include <mutex>
#include <signal.h>
#include <thread>

#include "ocitest.h"
#include "pgtest.h"

namespace {

using ot::Rows;
using ot::Session;
using ot::Value;

/* The server's database with the audit table made afresh from sql/. */
struct PgBackend : ot::Backend {
    kt::pg::Server server;
    std::unique_ptr<kt::pg::Conn> conn;

    explicit PgBackend(const kt::pg::Server &s) : server(s), conn(new kt::pg::Conn(s))
    {
        conn->exec("DROP TABLE IF EXISTS smaccesslog4");
        conn->exec(ot::readSqlFile("smaccesslog4.postgresql.sql"));
    }

    std::string source() const override { return server.uri; }
    std::string user() const override { return server.user; }
    std::string password() const override { return server.password; }
    void exec(const std::string &sql) override { conn->exec(sql); }
    Rows query(const std::string &sql) override { return conn->query(sql); }
};

/* The number a PostgreSQL SQLSTATE is reported with. */
sb4 sqlstateCode(const char *state)
{
    sb4 n = 0;
    for (int i = 0; i < 5; i++)
        n = n * 36 + (state[i] <= '9' ? state[i] - '0' : state[i] - 'A' + 10);
    return n;
}

} // namespace

void ot::makeBackend(std::unique_ptr<Backend> &out)
{
    kt::pg::Server server;
    KT_REQUIRE_PG(server);
    out = std::make_unique<PgBackend>(server);
}

namespace {

class Postgres : public ::testing::Test {
protected:
    std::unique_ptr<ot::Backend> db;
    std::vector<std::string> values = ot::awkwardValues();

    void SetUp() override
    {
        ociStandinReset();
        ot::makeBackend(db);
    }

    void TearDown() override
    {
        EXPECT_EQ(ociStandinLiveHandles(), 0);
        EXPECT_EQ(ociStandinLiveConnections(), 0);
    }

    sword open(Session &s, const std::string &password)
    {
        return s.open(db->source(), db->user(), password);
    }
};

TEST_F(Postgres, PostgresQuotingHidesPlaceholders)
{
    Session s;
    ASSERT_EQ(open(s, db->password()), OCI_SUCCESS) << s.diag();
    ASSERT_EQ(s.prepare("INSERT INTO smaccesslog4 (sm_username, sm_action, sm_resource, sm_realmname)"
                        " VALUES (:u::text, $$:a$$ || $t$ :b $t$, E'\\':c' || :u, "
                        "(SELECT \":d\" FROM (SELECT 'x' AS \":d\") q))"),
              OCI_SUCCESS);
    std::string u = "bob";
    ASSERT_EQ(s.bind(":u", u, nullptr), OCI_SUCCESS);
    ASSERT_EQ(s.execute(), OCI_SUCCESS) << s.diag();
    EXPECT_EQ(db->query("SELECT sm_username, sm_action, sm_resource, sm_realmname FROM smaccesslog4"),
              (Rows{{Value("bob"), Value(":a :b "), Value("':cbob"), Value("x")}}));
}

TEST_F(Postgres, WrongPasswordOrDatabaseFailsTheLogon)
{
    {
        Session s;
        EXPECT_EQ(open(s, "not-the-password"), OCI_ERROR);
        EXPECT_EQ(s.svc, nullptr);
        sb4 code = 0;
        std::string rec = s.diag(1, &code);
        EXPECT_NE(rec.find("password authentication failed"), std::string::npos) << rec;
        EXPECT_EQ(code, sqlstateCode("08001"));
        EXPECT_EQ(rec.find("not-the-password"), std::string::npos);
    }
    {
        Session s;
        std::string uri = db->source();
        uri = uri.substr(0, uri.rfind('/')) + "/no_such_db";
        EXPECT_EQ(s.open(uri, db->user(), db->password()), OCI_ERROR);
        EXPECT_NE(s.diag().find("no_such_db"), std::string::npos) << s.diag();
    }
    Session s;
    EXPECT_EQ(open(s, db->password()), OCI_SUCCESS) << s.diag();
}

TEST_F(Postgres, ErrorsCarryTheSqlstate)
{
    Session s;
    ASSERT_EQ(open(s, db->password()), OCI_SUCCESS);
    ASSERT_EQ(s.insert(values, 1, nullptr, "missing_table"), OCI_ERROR);
    sb4 code = 0;
    EXPECT_EQ(s.diag(1, &code), "PostgreSQL error 42P01: relation \"missing_table\" does not exist");
    EXPECT_EQ(code, sqlstateCode("42P01"));
    EXPECT_EQ(s.diag(2), "");
}

/* The server stops under an open session and while nobody is connected;
 * each call fails with a record, and once it is back a new logon works. */
TEST_F(Postgres, OutageFailsCallsUntilTheServerIsBack)
{
    Session before;
    ASSERT_EQ(open(before, db->password()), OCI_SUCCESS);
    ASSERT_EQ(before.insert(values, 1), OCI_SUCCESS) << before.diag();

    ASSERT_TRUE(kt::pg::stopServer());
    struct Restart {
        ~Restart() { kt::pg::startServer(); }
    } restart;

    EXPECT_EQ(before.insert(values, 2), OCI_ERROR);
    EXPECT_NE(before.diag(), "");
    before.close();
    {
        Session s;
        EXPECT_EQ(open(s, db->password()), OCI_ERROR);
        EXPECT_NE(s.diag().find("PostgreSQL error 08001"), std::string::npos) << s.diag();
    }

    ASSERT_TRUE(kt::pg::startServer());
    Session after;
    ASSERT_EQ(open(after, db->password()), OCI_SUCCESS) << after.diag();
    ASSERT_EQ(after.insert(values, 3), OCI_SUCCESS) << after.diag();
    EXPECT_EQ(after.diag(), "");
    kt::pg::Conn check(kt::pg::Server{db->source(), db->user(), db->password()});
    EXPECT_EQ(check.query("SELECT sm_reason FROM smaccesslog4 ORDER BY id"),
              (kt::pg::Rows{{Value("1")}, {Value("3")}}));
}

TEST_F(Postgres, CommitWhoseAnswerWasLostIsNotRepeated)
{
    /* The server commits the row and the connection dies before the client
     * hears so. The writer retries the same row on a new connection: it must
     * land once. A different row after a lost answer is inserted as usual. */
    ociStandinLoseAcks(1);
    {
        Session first;
        ASSERT_EQ(open(first, db->password()), OCI_SUCCESS);
        EXPECT_EQ(first.insert(values, 7), OCI_ERROR);
        EXPECT_NE(first.diag().find("PostgreSQL error 08006"), std::string::npos) << first.diag();
    }
    Session retry;
    ASSERT_EQ(open(retry, db->password()), OCI_SUCCESS) << retry.diag();
    EXPECT_EQ(retry.insert(values, 7), OCI_SUCCESS) << retry.diag();
    EXPECT_EQ(retry.insert(values, 8), OCI_SUCCESS) << retry.diag();

    ociStandinLoseAcks(1);
    EXPECT_EQ(retry.insert(values, 9), OCI_ERROR);
    retry.close();
    Session other;
    ASSERT_EQ(open(other, db->password()), OCI_SUCCESS) << other.diag();
    EXPECT_EQ(other.insert(values, 10), OCI_SUCCESS) << other.diag();

    kt::pg::Conn check(kt::pg::Server{db->source(), db->user(), db->password()});
    EXPECT_EQ(check.query("SELECT sm_reason FROM smaccesslog4 ORDER BY id"),
              (kt::pg::Rows{{Value("7")}, {Value("8")}, {Value("9")}, {Value("10")}}));
}

/* A commit in doubt after a server crash. The transaction id that the
 * INSERT returned may be unknown to the restarted server ("in the future")
 * or handed to another client's transaction; neither may wedge the retry or
 * pass for the row's own commit. Every case ends with the row exactly once. */
TEST_F(Postgres, CommitInDoubtAcrossACrashEndsWithTheRowOnce)
{
    enum Lost { ACK, COMMIT };
    enum Forge { NONE, OTHER_COMMITTED, FUTURE };
    struct Case {
        const char *what;
        Lost lost;
        bool crash;
        int otherTransactions;
        Forge forge;
    } cases[] = {
        {"answer lost, server crashed", ACK, true, 0, NONE},
        {"answer lost, server crashed, ids used again after", ACK, true, 200, NONE},
        {"commit never sent, server crashed, ids used again after", COMMIT, true, 200, NONE},
        {"commit never sent, id now another client's commit", COMMIT, false, 0, OTHER_COMMITTED},
        {"commit never sent, id in the future", COMMIT, false, 0, FUTURE},
    };
    kt::pg::Server server{db->source(), db->user(), db->password()};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kt::pg::Conn(server).exec("DELETE FROM smaccesslog4");
        if (c.lost == ACK)
            ociStandinLoseAcks(1);
        else
            ociStandinLoseCommits(1);
        {
            Session first;
            ASSERT_EQ(open(first, db->password()), OCI_SUCCESS) << first.diag();
            EXPECT_EQ(first.insert(values, 7), OCI_ERROR);
            EXPECT_NE(first.diag().find("PostgreSQL error 08006"), std::string::npos) << first.diag();
        }
        if (c.crash) {
            ASSERT_TRUE(kt::pg::stopServer());
            ASSERT_TRUE(kt::pg::startServer());
        }
        {
            kt::pg::Conn other(server);
            for (int i = 0; i < c.otherTransactions; i++)
                other.exec("SELECT txid_current()");
            if (c.forge == OTHER_COMMITTED) {
                ASSERT_EQ(ociStandinForgeInDoubt(other.scalar("SELECT txid_current()")->c_str()), 1);
            }
            if (c.forge == FUTURE) {
                std::string ahead = std::to_string(
                    std::stoll(*other.scalar("SELECT txid_current()")) + 1000000);
                ASSERT_EQ(ociStandinForgeInDoubt(ahead.c_str()), 1);
            }
        }
        Session retry;
        ASSERT_EQ(open(retry, db->password()), OCI_SUCCESS) << retry.diag();
        EXPECT_EQ(retry.insert(values, 7), OCI_SUCCESS) << retry.diag();
        kt::pg::Conn check(server);
        EXPECT_EQ(check.scalar("SELECT count(*) FROM smaccesslog4 WHERE sm_reason = 7"), Value("1"));
    }
}

TEST_F(Postgres, FiftySessionsLeaveNoHandleOrConnection)
{
    for (int i = 0; i < 50; i++) {
        Session s;
        ASSERT_EQ(open(s, db->password()), OCI_SUCCESS) << s.diag();
        ASSERT_EQ(s.insert(values, i), OCI_SUCCESS) << s.diag();
        s.close();
        ASSERT_EQ(ociStandinLiveHandles(), 0);
        ASSERT_EQ(ociStandinLiveConnections(), 0);
    }
    EXPECT_EQ(db->count(), 50);
}

/* A database in another character set: texts arrive converted into it, a
 * character it lacks as "?", bytes that are not UTF-8 too; nothing is
 * refused. */
TEST_F(Postgres, TextIsConvertedIntoTheDatabasesCharacterSet)
{
    kt::pg::Server server{db->source(), db->user(), db->password()};
    {
        kt::pg::Conn admin(server);
        admin.exec("DROP DATABASE IF EXISTS kel_latin1");
        admin.exec("CREATE DATABASE kel_latin1 ENCODING 'LATIN1' LC_COLLATE 'C' LC_CTYPE 'C' "
                   "TEMPLATE template0");
    }
    kt::pg::Server latin1 = server;
    latin1.uri = server.uri.substr(0, server.uri.rfind('/')) + "/kel_latin1";
    kt::pg::Conn check(latin1);
    check.exec(ot::readSqlFile("smaccesslog4.postgresql.sql"));
    struct {
        const char *sent, *stored; /* both UTF-8 */
    } cases[] = {
        {"caf\xc3\xa9 \xc3\x9f", "caf\xc3\xa9 \xc3\x9f"},
        {"\xe2\x82\xac 5", "? 5"},
        {"\xe6\x9d\xb1\xe4\xba\xac", "??"},
        {"bad \xff byte", "bad ? byte"},
    };
    Session s;
    ASSERT_EQ(s.open(latin1.uri, latin1.user, latin1.password), OCI_SUCCESS) << s.diag();
    for (auto &c : cases) {
        std::vector<std::string> values = ot::awkwardValues();
        values[4] = "plain realm";
        values[11] = c.sent;
        ASSERT_EQ(s.insert(values, 1), OCI_SUCCESS) << s.diag();
    }
    s.close();
    check.exec("SET client_encoding TO 'UTF8'");
    Rows rows = check.query("SELECT sm_resource FROM smaccesslog4 ORDER BY id");
    ASSERT_EQ(rows.size(), 4u);
    for (size_t i = 0; i < rows.size(); i++)
        EXPECT_EQ(rows[i][0], Value(cases[i].stored)) << cases[i].sent;
}

/* call_timeout is this client's own parameter of the data source: taken
 * out before libpq reads the URI, and checked. */
TEST_F(Postgres, CallTimeoutInTheDataSource)
{
    struct {
        const char *query;
        sword status;
    } cases[] = {
        {"?call_timeout=3", OCI_SUCCESS},
        {"?connect_timeout=4&call_timeout=3&keepalives_idle=7", OCI_SUCCESS},
        {"?call_timeout=0", OCI_ERROR},
        {"?call_timeout=2s", OCI_ERROR},
        {"?call_timeout=", OCI_ERROR},
    };
    for (auto &c : cases) {
        Session s;
        EXPECT_EQ(s.open(db->source() + c.query, db->user(), db->password()), c.status)
            << c.query << ": " << s.diag();
        if (c.status == OCI_ERROR) {
            EXPECT_NE(s.diag().find("call_timeout must be a whole number"), std::string::npos)
                << s.diag();
        }
    }
}

/* A backend that stops answering holds no call past the deadline: the
 * call fails, the connection is given up, and the retry on a new
 * connection ends the old backend first, so the abandoned attempt never
 * commits behind it: the row lands once. */
TEST_F(Postgres, PausedBackendHoldsNoCallPastTheDeadline)
{
    kt::pg::Server server{db->source(), db->user(), db->password()};
    std::string source = db->source() + "?call_timeout=2";
    std::vector<std::string> values = ot::awkwardValues();
    Session first;
    ASSERT_EQ(first.open(source, db->user(), db->password()), OCI_SUCCESS) << first.diag();
    ASSERT_EQ(first.insert(values, 1), OCI_SUCCESS) << first.diag();

    kt::pg::Conn check(server);
    kt::pg::Value pid = check.scalar("SELECT pid FROM pg_stat_activity WHERE application_name = "
                                     "'kel' AND pid <> pg_backend_pid()");
    ASSERT_TRUE(pid.has_value());
    pid_t backend = (pid_t)std::stol(*pid);
    ASSERT_EQ(0, kill(backend, SIGSTOP));
    /* Should the call not give up, the backend goes on after 60 s and the
     * test fails instead of hanging. */
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, std::chrono::seconds(60), [&] { return done; });
        kill(backend, SIGCONT);
    });

    EXPECT_EQ(first.insert(values, 2), OCI_ERROR);
    EXPECT_NE(first.diag().find("no answer from the server within 2 s"), std::string::npos)
        << first.diag();
    first.close();
    Session retry;
    ASSERT_EQ(retry.open(source, db->user(), db->password()), OCI_SUCCESS) << retry.diag();
    EXPECT_EQ(retry.insert(values, 2), OCI_SUCCESS) << retry.diag();
    retry.close();

    {
        std::lock_guard<std::mutex> lock(m);
        done = true;
    }
    cv.notify_all();
    watchdog.join();
    /* The old backend, free to run again, ends without writing its row. */
    std::string gone = "SELECT count(*) FROM pg_stat_activity WHERE pid = " + *pid;
    for (int i = 0; i < 2000 && check.scalar(gone) != Value("0"); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(check.scalar(gone), Value("0"));
    EXPECT_EQ(check.scalar("SELECT count(*) FROM smaccesslog4 WHERE sm_reason = 2"), Value("1"));
}

} // namespace
