/*
 * Array binds through libclntsh, the same cases on each database (compiled
 * into the SQLite and the PostgreSQL test program): a group of rows bound
 * as arrays lands with one execute, in order, with the row count of the
 * real client; a row the database refuses stops the group there.
 */
#include "ocitest.h"

namespace {

using ot::Rows;
using ot::Session;
using ot::Value;

const char *const GROUP_SQL = "INSERT INTO smaccesslog4 (sm_sessionid, sm_username, sm_reason) "
                              "VALUES (:sid, :usr, :reason)";
const char *const GROUP_ROWS = "SELECT sm_sessionid, sm_username, sm_reason FROM smaccesslog4 "
                               "ORDER BY id";
const int WIDTH = 32;

/* One row of the group as an array of structs holds it. */
struct Row {
    char sid[WIDTH];
    sb2 sidInd;
    ub2 sidLen;
    char usr[WIDTH];
    char reason[WIDTH];
};

class Arrays : public ::testing::Test {
protected:
    std::unique_ptr<ot::Backend> db;
    Session s;

    void SetUp() override
    {
        ociStandinReset();
        ot::makeBackend(db);
        if (db) {
            ASSERT_EQ(s.open(db->source(), db->user(), db->password()), OCI_SUCCESS) << s.diag();
        }
    }

    void TearDown() override
    {
        s.close();
        EXPECT_EQ(ociStandinLiveHandles(), 0);
    }

    /* Binds rows as an array of structs; maxarr is passed as it is. */
    sword bindRows(std::vector<Row> &rows, ub4 maxarr = 0)
    {
        struct {
            const char *name;
            char *first;
            sb2 *ind;
            ub2 *alen;
        } binds[] = {{":sid", rows[0].sid, &rows[0].sidInd, &rows[0].sidLen},
                     {":usr", rows[0].usr, nullptr, nullptr},
                     {":reason", rows[0].reason, nullptr, nullptr}};
        sword st = s.prepare(GROUP_SQL);
        for (auto &b : binds) {
            OCIBind *h = nullptr;
            if (st == OCI_SUCCESS)
                st = OCIBindByName(s.stmt, &h, s.err, (const OraText *)b.name, (sb4)strlen(b.name),
                                   b.first, WIDTH, SQLT_STR, b.ind, b.alen, nullptr, maxarr,
                                   nullptr, OCI_DEFAULT);
            if (st == OCI_SUCCESS)
                st = OCIBindArrayOfStruct(h, s.err, sizeof(Row), b.ind ? sizeof(Row) : 0,
                                          b.alen ? sizeof(Row) : 0, 0);
        }
        return st;
    }

    sword execute(ub4 iters) { return OCIStmtExecute(s.svc, s.stmt, s.err, iters, 0, nullptr, nullptr, OCI_COMMIT_ON_SUCCESS); }

    ub4 rowCount()
    {
        ub4 n = 12345;
        EXPECT_EQ(OCIAttrGet(s.stmt, OCI_HTYPE_STMT, &n, nullptr, OCI_ATTR_ROW_COUNT, s.err), OCI_SUCCESS);
        return n;
    }

    static std::vector<Row> makeRows(const std::vector<std::string> &sids)
    {
        std::vector<Row> rows(sids.size());
        for (size_t i = 0; i < sids.size(); i++) {
            Row &r = rows[i];
            snprintf(r.sid, WIDTH, "%s", sids[i].c_str());
            r.sidInd = 0;
            r.sidLen = WIDTH;
            snprintf(r.usr, WIDTH, "user%zu", i);
            snprintf(r.reason, WIDTH, "%zu", 100 + i);
        }
        return rows;
    }
};

/* Values per row, indicators and actual lengths per row, one execute. */
TEST_F(Arrays, GroupLandsWithOneExecuteInOrder)
{
    std::vector<Row> rows = makeRows({"s0", "s1", "cut-here", "s3", "s4"});
    rows[1].sidInd = -1;  /* NULL */
    rows[2].sidLen = 3;   /* "cut" */
    ASSERT_EQ(bindRows(rows), OCI_SUCCESS) << s.diag();
    ASSERT_EQ(execute(5), OCI_SUCCESS) << s.diag();
    EXPECT_EQ(rowCount(), 5u);
    EXPECT_EQ(ociStandinCalls("OCIStmtExecute"), 1);

    Rows got = db->query(GROUP_ROWS);
    Rows want = {{Value("s0"), Value("user0"), Value("100")}, {Value(), Value("user1"), Value("101")},
                 {Value("cut"), Value("user2"), Value("102")}, {Value("s3"), Value("user3"), Value("103")},
                 {Value("s4"), Value("user4"), Value("104")}};
    EXPECT_EQ(got, want);

    /* The same handle, one row again: only row 0 is read. */
    ASSERT_EQ(execute(1), OCI_SUCCESS) << s.diag();
    EXPECT_EQ(rowCount(), 1u);
    EXPECT_EQ(db->count(), 6);
}

/* A refused row ends the execute: the row count says how many went
 * before it, nothing is committed, and a rollback leaves the table as it
 * was; the group without that row then lands whole. */
TEST_F(Arrays, RefusedRowStopsTheGroupAndCommitsNothing)
{
    db->exec("CREATE UNIQUE INDEX smaccesslog4_sid ON smaccesslog4 (sm_sessionid)");
    db->exec("INSERT INTO smaccesslog4 (sm_sessionid) VALUES ('taken')");
    for (int bad : {0, 2, 3}) {
        SCOPED_TRACE(bad);
        std::vector<Row> rows = makeRows({"a", "b", "c", "d"});
        snprintf(rows[bad].sid, WIDTH, "taken");
        ASSERT_EQ(bindRows(rows), OCI_SUCCESS) << s.diag();
        EXPECT_EQ(execute(4), OCI_ERROR);
        EXPECT_NE(s.diag(), "");
        EXPECT_EQ(rowCount(), (ub4)bad);
        EXPECT_EQ(OCITransRollback(s.svc, s.err, OCI_DEFAULT), OCI_SUCCESS) << s.diag();
        EXPECT_EQ(db->count(), 1);
    }
    std::vector<Row> rows = makeRows({"a", "b", "c", "d"});
    ASSERT_EQ(bindRows(rows), OCI_SUCCESS) << s.diag();
    EXPECT_EQ(execute(4), OCI_SUCCESS) << s.diag();
    EXPECT_EQ(db->count(), 5);
}

/* Groups larger than one statement of the server takes, and of sizes that
 * split unevenly, land whole and in order, again and again on the same
 * connection; a refused row deep in such a group is still the one named. */
TEST_F(Arrays, LargeGroupsLandInOrderAndNameTheirRefusedRow)
{
    db->exec("CREATE UNIQUE INDEX smaccesslog4_sid ON smaccesslog4 (sm_sessionid)");
    struct Case {
        ub4 rows;
        int bad; /* -1: none */
    } cases[] = {{1300, -1}, {3, -1}, {1300, 700}, {1300, -1}, {517, 516}};
    int landed = 0;
    for (size_t c = 0; c < sizeof cases / sizeof cases[0]; c++) {
        SCOPED_TRACE(c);
        std::vector<std::string> sids;
        for (ub4 i = 0; i < cases[c].rows; i++)
            sids.push_back("c" + std::to_string(c) + "-" + std::to_string(i));
        if (cases[c].bad >= 0)
            sids[(size_t)cases[c].bad] = "c0-0"; /* taken by the first case */
        std::vector<Row> rows = makeRows(sids);
        ASSERT_EQ(bindRows(rows), OCI_SUCCESS) << s.diag();
        if (cases[c].bad >= 0) {
            EXPECT_EQ(execute(cases[c].rows), OCI_ERROR);
            EXPECT_EQ(rowCount(), (ub4)cases[c].bad);
            EXPECT_EQ(OCITransRollback(s.svc, s.err, OCI_DEFAULT), OCI_SUCCESS) << s.diag();
        } else {
            ASSERT_EQ(execute(cases[c].rows), OCI_SUCCESS) << s.diag();
            EXPECT_EQ(rowCount(), cases[c].rows);
            landed += (int)cases[c].rows;
        }
        EXPECT_EQ(db->count(), landed);
    }
    Rows got = db->query("SELECT sm_sessionid FROM smaccesslog4 ORDER BY id");
    ASSERT_EQ(got.size(), (size_t)landed);
    EXPECT_EQ(got[0], (std::vector<Value>{Value("c0-0")}));
    EXPECT_EQ(got[1299], (std::vector<Value>{Value("c0-1299")}));
    EXPECT_EQ(got[1300], (std::vector<Value>{Value("c1-0")}));
    EXPECT_EQ(got[1303], (std::vector<Value>{Value("c3-0")}));
    EXPECT_EQ(got[2602], (std::vector<Value>{Value("c3-1299")}));
}

/* Statements the session prepared for groups may be dropped behind the
 * client's back; the groups after that still land, each once. */
TEST_F(Arrays, GroupsLandAfterTheSessionsStatementsAreDropped)
{
    if (db->source().rfind("postgres", 0) != 0)
        GTEST_SKIP() << "prepared statements of the session are PostgreSQL's";
    std::vector<Row> rows = makeRows({"a", "b", "c"});
    ASSERT_EQ(bindRows(rows), OCI_SUCCESS) << s.diag();
    ASSERT_EQ(execute(3), OCI_SUCCESS) << s.diag();
    ASSERT_TRUE(s.prepare("DEALLOCATE ALL") == OCI_SUCCESS && s.execute() == OCI_SUCCESS) << s.diag();
    for (int round = 0; round < 2; round++) {
        ASSERT_EQ(bindRows(rows), OCI_SUCCESS) << s.diag();
        ASSERT_EQ(execute(3), OCI_SUCCESS) << s.diag();
        EXPECT_EQ(rowCount(), 3u);
    }
    EXPECT_EQ(db->count(), 9);
}

TEST_F(Arrays, ExecutesBeyondTheArraysAreRefused)
{
    std::vector<Row> rows = makeRows({"a", "b"});
    ASSERT_EQ(bindRows(rows, 2), OCI_SUCCESS) << s.diag();
    sb4 code = 0;
    EXPECT_EQ(execute(3), OCI_ERROR);
    s.diag(1, &code);
    EXPECT_EQ(code, 22165) << s.diag();
    EXPECT_EQ(execute(65536), OCI_ERROR);
    ub4 n;
    EXPECT_EQ(OCIAttrGet(s.stmt, OCI_HTYPE_STMT, &n, nullptr, 12345, s.err), OCI_ERROR);
    EXPECT_EQ(OCIAttrGet(s.err, OCI_HTYPE_ERROR, &n, nullptr, OCI_ATTR_ROW_COUNT, s.err),
              OCI_INVALID_HANDLE);
    EXPECT_EQ(db->count(), 0);
    ASSERT_EQ(execute(2), OCI_SUCCESS) << s.diag();
    EXPECT_EQ(db->count(), 2);
}

/* A group whose commit was in doubt (its answer lost, or the connection
 * lost before the commit) is settled as a whole by the retry of the same
 * group on a new connection: every row once. */
TEST_F(Arrays, GroupCommitInDoubtLandsOnce)
{
    if (db->source().rfind("postgres", 0) != 0)
        GTEST_SKIP() << "commits in doubt are PostgreSQL's";
    for (bool ackLost : {true, false}) {
        SCOPED_TRACE(ackLost ? "answer lost" : "commit never sent");
        db->exec("DELETE FROM smaccesslog4");
        std::vector<Row> rows = makeRows({"a", "b", "c", "d", "e"});
        (ackLost ? ociStandinLoseAcks : ociStandinLoseCommits)(1);
        ASSERT_EQ(bindRows(rows), OCI_SUCCESS) << s.diag();
        EXPECT_EQ(execute(5), OCI_ERROR);
        EXPECT_NE(s.diag().find("08006"), std::string::npos) << s.diag();
        s.close();
        ASSERT_EQ(s.open(db->source(), db->user(), db->password()), OCI_SUCCESS) << s.diag();
        ASSERT_EQ(bindRows(rows), OCI_SUCCESS) << s.diag();
        EXPECT_EQ(execute(5), OCI_SUCCESS) << s.diag();
        EXPECT_EQ(rowCount(), 5u);
        EXPECT_EQ(db->query("SELECT count(DISTINCT sm_sessionid), count(*) FROM smaccesslog4"),
                  (Rows{{Value("5"), Value("5")}}));
    }
}

} // namespace
