/*
 * libclntsh on PostgreSQL (the server started by the test run): the
 * database of the shared row cases, PostgreSQL's own quoting, logons that
 * fail, an outage and its end, and sessions that leave nothing behind.
 */
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

} // namespace
