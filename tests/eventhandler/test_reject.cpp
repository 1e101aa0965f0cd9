/*
 * test_reject.cpp - REJECT_AFTER on SQLite: which database errors blame
 * the row, a row refused by a CHECK constraint put aside with the
 * database's message while the others are written (with and without a
 * journal), and every other failure retried.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "journal.h"
#include "oci.h"
#include "reject.h"
#include "sqlitehandler.h"

namespace {

/* The stand-in client's number for a SQLSTATE: its characters in base 36. */
int sqlstate(const char *s)
{
    int n = 0;
    for (int i = 0; i < 5; i++)
        n = n * 36 + (s[i] <= '9' ? s[i] - '0' : s[i] - 'A' + 10);
    return n;
}

TEST(Reject, OnlyErrorsThatBlameTheRowsDataCount)
{
    struct Case {
        int code;
        std::string text;
        int data;
    } cases[] = {
        {sqlstate("23514"), "PostgreSQL error 23514: new row violates check constraint", 1},
        {sqlstate("22001"), "PostgreSQL error 22001: value too long for type", 1},
        {sqlstate("22P02"), "PostgreSQL error 22P02: invalid input syntax", 1},
        {sqlstate("08006"), "PostgreSQL error 08006: server closed the connection", 0},
        {sqlstate("28P01"), "PostgreSQL error 28P01: password authentication failed", 0},
        {sqlstate("42P01"), "PostgreSQL error 42P01: relation does not exist", 0},
        {275, "SQLite error 275: CHECK constraint failed: x", 1},
        {1811, "SQLite error 1811: refused", 1},
        {20, "SQLite error 20: datatype mismatch", 1},
        {1, "SQLite error 1: no such table: x", 0},
        {5, "SQLite error 5: database is locked", 0},
        {2290, "ORA-02290: check constraint violated", 1},
        {12899, "ORA-12899: value too large for column", 1},
        {942, "ORA-00942: table or view does not exist", 0},
        {3113, "ORA-03113: end-of-file on communication channel", 0},
        {OCI_STANDIN_INJECTED, "ORA-99999: OCIStmtExecute made to return -1", 0},
        /* The same number means another thing in another database. */
        {1555, "SQLite error 1555: UNIQUE constraint failed (primary key)", 1},
        {1555, "ORA-01555: snapshot too old", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.data, rejectIsDataError(c.code, c.text.c_str())) << c.text;
}

/* The handler on a table that refuses the user name "bad". */
class RejectTest : public kt::SqliteHandler {
protected:
    void SetUp() override
    {
        SqliteHandler::SetUp();
        createTableRefusingBad();
    }

    /* (user, message) of each entry of the reject file. */
    std::vector<std::pair<std::string, std::string>> rejected(const std::string &path)
    {
        std::vector<std::pair<std::string, std::string>> out;
        long damaged = 0;
        journalForEach(path.c_str(),
                       [](const JournalEntry *e, void *arg) {
                           ((std::vector<std::pair<std::string, std::string>> *)arg)
                               ->push_back({e->event->szUserName, e->message != nullptr ? e->message : "(none)"});
                           return 1;
                       },
                       &out, &damaged);
        EXPECT_EQ(0, damaged);
        return out;
    }
};

TEST_F(RejectTest, ARowRefusedForItsDataIsPutAsideAndTheOthersWritten)
{
    struct Case {
        const char *what;
        std::string conf;
        std::string rejectFile;
    } cases[] = {
        {"without a journal", "", files.configDir() + "/kelaudit.rejects"},
        {"with a journal", "SPOOL_DIR = spool\n", files.home() + "/spool/rejects"},
    };
    size_t rows = 0;
    for (const Case &c : cases) {
        files.clear();
        ociStandinReset();
        kt::naps() = 0;
        restart("REJECT_AFTER = 3\n" + c.conf);
        record("good1");
        record("bad");
        record("good2");
        ASSERT_TRUE(kt::eventually([&] { return kt::auditRows(db).size() >= rows + 2; })) << c.what;
        rows += 2;
        /* Refused three times: two pauses, then put aside. */
        EXPECT_EQ(3, ociStandinCalls("OCIStmtExecute") - 2) << c.what;
        EXPECT_EQ(2, kt::naps().load()) << c.what;
        auto r = rejected(c.rejectFile);
        ASSERT_EQ(1u, r.size()) << c.what;
        EXPECT_EQ("bad", r[0].first);
        EXPECT_EQ("SQLite error 275: CHECK constraint failed: sm_username <> 'bad'", r[0].second);
        EXPECT_TRUE(files.has("Event of user bad refused 3 times for its data, put aside in " + c.rejectFile +
                              ": SQLite error 275: CHECK constraint failed: sm_username <> 'bad'"))
            << c.what;
    }
    EXPECT_EQ((std::vector<std::string>{"good1", "good2", "good1", "good2"}), users());
}

/* The first pause after a refusal also makes the next logon fail. */
unsigned napThenLoseLogon(unsigned seconds)
{
    if (kt::naps() == 0)
        ociStandinFail("OCILogon", OCI_ERROR, 1);
    return kt::nap(seconds);
}

TEST_F(RejectTest, AnyOtherFailureBetweenRefusalsStartsTheCountAgain)
{
    start("REJECT_AFTER = 2\n");
    kelSys.sleep = napThenLoseLogon;
    /* refused, logon failed, refused, refused: put aside at the second
     * refusal after the failed logon, the third in all. */
    record("bad");
    record("good");
    ASSERT_TRUE(kt::eventually([&] { return users().size() == 1; }));
    EXPECT_EQ((std::vector<std::string>{"good"}), users());
    /* Every failure drops the connection: a logon before each attempt. */
    EXPECT_EQ(4, ociStandinCalls("OCIStmtExecute"));
    EXPECT_EQ(5, ociStandinCalls("OCILogon"));
    EXPECT_EQ(1u, rejected(files.configDir() + "/kelaudit.rejects").size());
}

TEST_F(RejectTest, ErrorsThatAreNotTheRowsAreRetriedForever)
{
    struct Case {
        const char *what;
        std::string conf;
        const char *user;
    } cases[] = {
        {"missing table", "REJECT_AFTER = 1\nTABLE = nosuchtable\n", "good"},
        {"REJECT_AFTER 0, the default", "", "bad"},
    };
    for (const Case &c : cases) {
        kt::naps() = 0;
        restart(c.conf);
        record(c.user);
        ASSERT_TRUE(kt::eventually([] { return kt::naps() >= 5; })) << c.what;
        EXPECT_FALSE(kt::fileExists(files.configDir() + "/kelaudit.rejects")) << c.what;
    }
    EXPECT_TRUE(users().empty());
}

} // namespace
