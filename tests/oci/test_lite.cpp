/*
 * libclntsh on SQLite: the database of the shared row cases, and what is
 * particular to SQLite data sources (which file a logon opens, waiting for
 * readers).
 */
#include <sqlite3.h>
#include <thread>
#include <unistd.h>

#include "ocitest.h"

namespace {

using ot::Rows;
using ot::Session;
using ot::Value;

/* A database file made from the table definition of sql/. */
struct LiteBackend : ot::Backend {
    kt::TempDir dir;
    std::string path;
    sqlite3 *db = nullptr;

    explicit LiteBackend(const std::string &at = "") : path(at.empty() ? dir / "audit.db" : at)
    {
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK)
            ADD_FAILURE() << "cannot create " << path;
        sqlite3_busy_timeout(db, 5000);
        exec(ot::readSqlFile("smaccesslog4.sqlite.sql"));
    }
    ~LiteBackend() override { sqlite3_close_v2(db); }

    std::string source() const override { return path; }
    std::string user() const override { return ""; }
    std::string password() const override { return ""; }

    void exec(const std::string &sql) override
    {
        char *msg = nullptr;
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK)
            ADD_FAILURE() << "SQL failed: " << (msg ? msg : "?") << " in: " << sql;
        sqlite3_free(msg);
    }

    Rows query(const std::string &sql) override
    {
        Rows rows;
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << "query failed: " << sqlite3_errmsg(db) << " in: " << sql;
            return rows;
        }
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::vector<Value> row;
            for (int i = 0; i < sqlite3_column_count(st); i++) {
                const unsigned char *t = sqlite3_column_text(st, i);
                row.push_back(t ? Value((const char *)t) : Value());
            }
            rows.push_back(row);
        }
        sqlite3_finalize(st);
        return rows;
    }
};

} // namespace

void ot::makeBackend(std::unique_ptr<Backend> &out)
{
    out = std::make_unique<LiteBackend>();
}

namespace {

class Sqlite : public ::testing::Test {
protected:
    void SetUp() override { ociStandinReset(); }
    void TearDown() override { EXPECT_EQ(ociStandinLiveHandles(), 0); }
};

TEST_F(Sqlite, LogonNeedsAnExistingDatabaseFile)
{
    kt::TempDir dir;
    std::string missing = dir / "typo.db";
    {
        Session s;
        EXPECT_EQ(s.open(missing), OCI_ERROR);
        EXPECT_EQ(s.svc, nullptr);
        EXPECT_NE(s.diag().find("unable to open"), std::string::npos) << s.diag();
        EXPECT_NE(s.diag().find(missing), std::string::npos) << s.diag();
    }
    EXPECT_FALSE(kt::fileExists(missing)) << "a logon must never create a database";

    std::string junk = dir / "junk.db";
    kt::writeFile(junk, std::string(4096, 'j'));
    {
        Session s;
        EXPECT_EQ(s.open(junk), OCI_ERROR);
        EXPECT_NE(s.diag().find("not a database"), std::string::npos) << s.diag();
    }
    {
        Session s;
        EXPECT_EQ(s.open(""), OCI_ERROR);
        EXPECT_NE(s.diag(), "");
    }
    EXPECT_EQ(ociStandinLiveConnections(), 0);
}

TEST_F(Sqlite, RelativeNamesAreFoundInTheDataFolderOrWorkingDirectory)
{
    kt::TempDir home, cwd;
    kt::makeDirs(home / "data");
    LiteBackend inData(home / "data/audit.db"), inCwd(cwd / "audit.db");
    std::vector<std::string> values = ot::awkwardValues();
    char oldCwd[4096];
    ASSERT_NE(getcwd(oldCwd, sizeof oldCwd), nullptr);
    ASSERT_EQ(chdir(cwd.path().c_str()), 0);
    for (const char *smHome : {home.path().c_str(), (const char *)nullptr}) {
        kt::ScopedEnv env("SM_HOME", smHome);
        Session s;
        EXPECT_EQ(s.open("audit.db"), OCI_SUCCESS) << s.diag();
        for (int i = smHome ? 1 : 2; i > 0; i--)
            EXPECT_EQ(s.insert(values, i), OCI_SUCCESS) << s.diag();
    }
    ASSERT_EQ(chdir(oldCwd), 0);
    EXPECT_EQ(inData.count(), 1);
    EXPECT_EQ(inCwd.count(), 2);
}

/* A reader in the middle of a transaction holds a lock the insert's commit
 * must wait for: the insert waits instead of failing. */
TEST_F(Sqlite, ReaderHoldingTheFileDelaysButDoesNotFailAnInsert)
{
    LiteBackend db;
    sqlite3 *reader = nullptr;
    ASSERT_EQ(sqlite3_open(db.path.c_str(), &reader), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM smaccesslog4;", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    Session s;
    ASSERT_EQ(s.open(db.path), OCI_SUCCESS) << s.diag();

    /* The reader lets go once the insert holds the write lock and waits
     * for the reader: a probe that cannot take the write lock itself. */
    std::thread release([reader, &db] {
        sqlite3 *probe = nullptr;
        sqlite3_open(db.path.c_str(), &probe);
        for (int tries = 0; tries < 10000; tries++) {
            if (sqlite3_exec(probe, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_BUSY)
                break;
            sqlite3_exec(probe, "ROLLBACK", nullptr, nullptr, nullptr);
            usleep(1000);
        }
        sqlite3_close_v2(probe);
        sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
    });
    std::vector<std::string> values = ot::awkwardValues();
    EXPECT_EQ(s.insert(values, 1), OCI_SUCCESS) << s.diag();
    release.join();
    sqlite3_close_v2(reader);
    EXPECT_EQ(db.count(), 1);
}

} // namespace
