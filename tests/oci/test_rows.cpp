/*
 * Rows through libclntsh, the same cases on each database (this file is
 * compiled into the SQLite and the PostgreSQL test program): what the
 * writer binds is what lands, committed, and a failed statement leaves
 * nothing behind.
 */
#include "ocitest.h"

namespace {

using ot::Rows;
using ot::Session;
using ot::Value;

class Rows_ : public ::testing::Test {
protected:
    std::unique_ptr<ot::Backend> db;

    void SetUp() override
    {
        ociStandinReset();
        ot::makeBackend(db);
    }

    void TearDown() override { EXPECT_EQ(ociStandinLiveHandles(), 0); }

    void open(Session &s) { ASSERT_EQ(s.open(db->source(), db->user(), db->password()), OCI_SUCCESS) << s.diag(); }

    /* The expected row: categoryid, eventid, reason, then the texts. */
    static std::vector<Value> row(int reason, const std::vector<std::string> &texts)
    {
        std::vector<Value> r = {Value("1"), Value("1"), Value(std::to_string(reason))};
        r.insert(r.end(), texts.begin(), texts.end());
        return r;
    }
};

TEST_F(Rows_, WriterInsertLandsAsOneCommittedRow)
{
    std::vector<std::string> values = ot::awkwardValues();
    Session s;
    open(s);
    ASSERT_EQ(s.insert(values, -7), OCI_SUCCESS) << s.diag();

    /* Read through another connection while the session is still open:
     * the row is committed, not merely visible to its writer. */
    Rows rows = db->query(ot::ROW_SQL);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], row(-7, values));
    EXPECT_TRUE(db->query("SELECT sm_timestamp FROM smaccesslog4").at(0).at(0).has_value());
}

TEST_F(Rows_, NullIndicatorStoresNull)
{
    std::vector<std::string> values = ot::awkwardValues();
    std::vector<sb2> inds(14, 0);
    inds[2] = -1;
    Session s;
    open(s);
    ASSERT_EQ(s.insert(values, 0, &inds), OCI_SUCCESS) << s.diag();

    std::vector<Value> expected = row(0, values);
    expected[3 + 2] = Value();
    EXPECT_EQ(db->query(ot::ROW_SQL), Rows{expected});
}

/* The writer keeps one connection and one statement handle, prepared and
 * bound anew for every row. */
TEST_F(Rows_, RowsOnOneStatementHandleKeepTheirOwnValuesInOrder)
{
    Session s;
    open(s);
    std::vector<std::vector<std::string>> sent;
    for (int i = 0; i < 3; i++) {
        std::vector<std::string> values(14, "row" + std::to_string(i));
        values[13] = std::string(i * 100, 't');
        sent.push_back(values);
        ASSERT_EQ(s.insert(sent.back(), i), OCI_SUCCESS) << s.diag();
    }
    Rows rows = db->query(ot::ROW_SQL);
    ASSERT_EQ(rows.size(), 3u);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(rows[i], row(i, sent[i])) << "row " << i;
}

TEST_F(Rows_, MissingTableOrColumnFailsWithRecordAndSessionGoesOn)
{
    std::vector<std::string> values = ot::awkwardValues();
    Session s;
    open(s);
    EXPECT_EQ(s.insert(values, 1, nullptr, "no_such_table"), OCI_ERROR);
    EXPECT_NE(s.diag().find("no_such_table"), std::string::npos) << s.diag();

    std::string v = "x";
    ASSERT_EQ(s.prepare("INSERT INTO smaccesslog4 (sm_nosuchcolumn) VALUES (:v)"), OCI_SUCCESS);
    ASSERT_EQ(s.bind(":v", v, nullptr), OCI_SUCCESS);
    EXPECT_EQ(s.execute(), OCI_ERROR);
    EXPECT_NE(s.diag().find("sm_nosuchcolumn"), std::string::npos) << s.diag();

    /* A failure ends nothing but that statement. */
    ASSERT_EQ(s.insert(values, 1), OCI_SUCCESS) << s.diag();
    EXPECT_EQ(s.diag(), "") << "records are cleared by the next call";
    EXPECT_EQ(db->count(), 1);
}

TEST_F(Rows_, FailedStatementCommitsNothing)
{
    db->exec("CREATE UNIQUE INDEX smaccesslog4_user ON smaccesslog4 (sm_username)");
    Session s;
    open(s);
    /* The first row is fine, the second breaks the index: all or nothing. */
    std::string first = "first", second = "second";
    ASSERT_EQ(s.prepare("INSERT INTO smaccesslog4 (sm_username) VALUES (:a), (:b)"), OCI_SUCCESS);
    ASSERT_EQ(s.bind(":a", first, nullptr), OCI_SUCCESS);
    ASSERT_EQ(s.bind(":b", first, nullptr), OCI_SUCCESS);
    EXPECT_EQ(s.execute(), OCI_ERROR);
    EXPECT_NE(s.diag(), "");
    EXPECT_EQ(db->count(), 0);

    ASSERT_EQ(s.bind(":b", second, nullptr), OCI_SUCCESS);
    EXPECT_EQ(s.execute(), OCI_SUCCESS) << s.diag();
    EXPECT_EQ(db->count(), 2);
}

/* OCI_DEFAULT leaves the transaction open, as `smhost check` needs for an
 * insert it rolls back: it ends as Oracle ends it. Steps: o insert left
 * open, x failing insert left open, c insert committing, r rollback,
 * l logoff, d connection dropped (environment freed without a logoff). */
TEST_F(Rows_, OpenTransactionEndsAtRollbackCommitOrLogoff)
{
    struct Case {
        const char *steps;
        long rows;
    };
    const Case cases[] = {
        {"orl", 0},  /* rolled back: nothing stays */
        {"ol", 1},   /* the logoff commits what is open */
        {"od", 0},   /* a dropped connection commits nothing */
        {"ocl", 2},  /* a commit takes what was open along */
        {"oxcl", 2}, /* a failed statement is undone alone */
        {"rorol", 1}, /* a rollback with nothing open is harmless */
    };
    std::vector<std::string> values = ot::awkwardValues();
    for (const Case &c : cases) {
        db->exec("DELETE FROM smaccesslog4");
        Session s;
        open(s);
        long committed = 0;
        for (const char *step = c.steps; *step != '\0'; step++) {
            switch (*step) {
            case 'o':
                ASSERT_EQ(s.insert(values, 0, nullptr, "smaccesslog4", OCI_DEFAULT), OCI_SUCCESS) << s.diag();
                EXPECT_EQ(db->count(), committed) << c.steps << ": an open insert is not seen outside";
                break;
            case 'x':
                EXPECT_EQ(s.insert(values, 0, nullptr, "no_such_table", OCI_DEFAULT), OCI_ERROR);
                break;
            case 'c':
                ASSERT_EQ(s.insert(values, 0), OCI_SUCCESS) << s.diag();
                committed = db->count();
                break;
            case 'r':
                EXPECT_EQ(OCITransRollback(s.svc, s.err, OCI_DEFAULT), OCI_SUCCESS) << s.diag();
                break;
            case 'l':
                s.close();
                break;
            case 'd':
                EXPECT_EQ(OCIHandleFree(s.env, OCI_HTYPE_ENV), OCI_SUCCESS);
                s.env = nullptr, s.err = nullptr, s.svc = nullptr, s.stmt = nullptr;
                break;
            }
        }
        EXPECT_EQ(db->count(), c.rows) << c.steps;
    }
}

/* A table name is pasted into the statement unchecked; whatever it holds,
 * one execute runs one statement. */
TEST_F(Rows_, SecondStatementInTextIsRefused)
{
    std::vector<std::string> values = ot::awkwardValues();
    std::string x = "x", y = "y";
    Session s;
    open(s);
    ASSERT_EQ(s.insert(values, 1), OCI_SUCCESS) << s.diag();
    ASSERT_EQ(s.prepare("INSERT INTO smaccesslog4 (sm_username) VALUES (:u); "
                        "DELETE FROM smaccesslog4"),
              OCI_SUCCESS);
    ASSERT_EQ(s.bind(":u", x, nullptr), OCI_SUCCESS);
    EXPECT_EQ(s.execute(), OCI_ERROR);
    EXPECT_NE(s.diag(), "");
    EXPECT_EQ(db->count(), 1);

    /* A trailing ";" alone is not a second statement. */
    ASSERT_EQ(s.prepare("INSERT INTO smaccesslog4 (sm_username) VALUES (:u);"), OCI_SUCCESS);
    ASSERT_EQ(s.bind(":u", y, nullptr), OCI_SUCCESS);
    EXPECT_EQ(s.execute(), OCI_SUCCESS) << s.diag();
    EXPECT_EQ(db->count(), 2);
}

TEST_F(Rows_, PlaceholdersAreFoundOnlyOutsideQuotesAndComments)
{
    Session s;
    open(s);
    ASSERT_EQ(s.prepare("INSERT INTO smaccesslog4 (sm_username, \"sm_action\", sm_resource) "
                        "-- :c\n VALUES (:U, ':notbound', 'x'':y' || :r) /* :d */"),
              OCI_SUCCESS);
    std::string user = "alice", resource = "/r", v = "v";
    ASSERT_EQ(s.bind(":u", user, nullptr), OCI_SUCCESS) << "names ignore case";
    EXPECT_EQ(s.bind(":notbound", v, nullptr), OCI_ERROR);
    EXPECT_NE(s.diag().find("ORA-01036"), std::string::npos) << s.diag();

    EXPECT_EQ(s.execute(), OCI_ERROR) << ":r is not bound yet";
    EXPECT_NE(s.diag().find("ORA-01008"), std::string::npos) << s.diag();
    EXPECT_EQ(db->count(), 0);

    ASSERT_EQ(s.bind("r", resource, nullptr), OCI_SUCCESS) << "the colon is optional";
    ASSERT_EQ(s.execute(), OCI_SUCCESS) << s.diag();
    EXPECT_EQ(db->query("SELECT sm_username, sm_action, sm_resource FROM smaccesslog4"),
              (Rows{{Value("alice"), Value(":notbound"), Value("x':y/r")}}));
}

/* Bytes that are not UTF-8 are replaced, one U+FFFD per ill-formed part,
 * as a client converting into the database's character set does: never
 * refused (the writer would retry the row forever), never stored as they
 * are. */
TEST_F(Rows_, TextNotValidUtf8IsReplacedNotRefused)
{
    const std::string R = "\xef\xbf\xbd";
    struct {
        std::string sent, stored;
    } cases[] = {
        {"stray \xff byte", "stray " + R + " byte"},
        {"cut \xe2\x82", "cut " + R},
        {"cut \xe2\x82 inside", "cut " + R + " inside"},
        {"overlong \xc0\xaf", "overlong " + R + R},
        {"surrogate \xed\xa0\x80", "surrogate " + R + R + R},
        {"past U+10FFFF \xf4\x90\x80\x80", "past U+10FFFF " + R + R + R + R},
        {"valid Zo\xc3\xab \xe2\x82\xac \xf0\x9f\x98\x80", "valid Zo\xc3\xab \xe2\x82\xac \xf0\x9f\x98\x80"},
    };
    Session s;
    open(s);
    for (auto &c : cases) {
        std::vector<std::string> values = ot::awkwardValues();
        values[11] = c.sent; /* the resource */
        ASSERT_EQ(s.insert(values, 1), OCI_SUCCESS) << s.diag();
    }
    Rows rows = db->query("SELECT sm_resource FROM smaccesslog4 ORDER BY id");
    ASSERT_EQ(rows.size(), sizeof cases / sizeof cases[0]);
    for (size_t i = 0; i < rows.size(); i++)
        EXPECT_EQ(rows[i][0], Value(cases[i].stored)) << cases[i].sent;
}

} // namespace
