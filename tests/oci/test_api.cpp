/*
 * libclntsh as an OCI client library, on SQLite: handle checking,
 * diagnostic records, the test controls (injected statuses, counters),
 * and handles and connections over many sessions and threads.
 */
#include <sqlite3.h>
#include <thread>

#include "ocitest.h"

namespace {

using ot::Session;

class Api : public ::testing::Test {
protected:
    kt::TempDir dir;
    std::string path = dir / "audit.db";
    std::vector<std::string> values = ot::awkwardValues();

    void SetUp() override
    {
        ociStandinReset();
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        std::string ddl = ot::readSqlFile("smaccesslog4.sqlite.sql");
        EXPECT_EQ(sqlite3_exec(db, ddl.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }

    void TearDown() override
    {
        ociStandinReset();
        EXPECT_EQ(ociStandinLiveHandles(), 0);
        EXPECT_EQ(ociStandinLiveConnections(), 0);
    }

    long rows()
    {
        sqlite3 *db = nullptr;
        sqlite3_stmt *st = nullptr;
        long n = -1;
        sqlite3_open(path.c_str(), &db);
        if (sqlite3_prepare_v2(db, "SELECT count(*) FROM smaccesslog4", -1, &st, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            n = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        sqlite3_close(db);
        return n;
    }
};

TEST_F(Api, BadHandlesAreRefusedWithoutBeingFollowed)
{
    Session s, other;
    ASSERT_EQ(s.open(path), OCI_SUCCESS) << s.diag();
    ASSERT_EQ(other.open(path), OCI_SUCCESS) << other.diag();
    int junk = 42;
    void *garbage = &junk;
    OCIBind *b = nullptr;
    OCISvcCtx *svc = nullptr;
    void *h = nullptr;
    std::string sql = ot::writerSql("smaccesslog4", 1);
    const OraText *text = (const OraText *)sql.c_str();

    EXPECT_EQ(OCIEnvCreate(nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0, nullptr),
              OCI_INVALID_HANDLE);
    EXPECT_EQ(OCIHandleAlloc(nullptr, &h, OCI_HTYPE_ERROR, 0, nullptr), OCI_INVALID_HANDLE);
    EXPECT_EQ(OCIHandleAlloc(s.err, &h, OCI_HTYPE_ERROR, 0, nullptr), OCI_INVALID_HANDLE);
    EXPECT_EQ(OCIHandleAlloc(garbage, &h, OCI_HTYPE_ERROR, 0, nullptr), OCI_INVALID_HANDLE);
    EXPECT_EQ(OCIHandleAlloc(s.env, nullptr, OCI_HTYPE_ERROR, 0, nullptr), OCI_INVALID_HANDLE);

    const OraText *ds = (const OraText *)path.c_str();
    EXPECT_EQ(OCILogon(nullptr, s.err, &svc, nullptr, 0, nullptr, 0, ds, (ub4)path.size()),
              OCI_INVALID_HANDLE);
    EXPECT_EQ(OCILogon(s.env, (OCIError *)s.stmt, &svc, nullptr, 0, nullptr, 0, ds,
                       (ub4)path.size()),
              OCI_INVALID_HANDLE);
    EXPECT_EQ(OCILogon(s.env, other.err, &svc, nullptr, 0, nullptr, 0, ds, (ub4)path.size()),
              OCI_INVALID_HANDLE)
        << "error handle of another environment";
    EXPECT_EQ(OCILogon(s.env, s.err, nullptr, nullptr, 0, nullptr, 0, ds, (ub4)path.size()),
              OCI_INVALID_HANDLE);

    EXPECT_EQ(OCIStmtPrepare(nullptr, s.err, text, (ub4)sql.size(), 1, 0), OCI_INVALID_HANDLE);
    EXPECT_EQ(OCIStmtPrepare((OCIStmt *)s.err, s.err, text, (ub4)sql.size(), 1, 0),
              OCI_INVALID_HANDLE);
    EXPECT_EQ(OCIStmtPrepare(s.stmt, nullptr, text, (ub4)sql.size(), 1, 0), OCI_INVALID_HANDLE);
    ASSERT_EQ(OCIStmtPrepare(s.stmt, s.err, text, (ub4)sql.size(), 1, 0), OCI_SUCCESS);

    char v[] = "v";
    EXPECT_EQ(OCIBindByName((OCIStmt *)garbage, &b, s.err, (const OraText *)":sm_action", 10, v,
                            2, SQLT_STR, nullptr, nullptr, nullptr, 0, nullptr, 0),
              OCI_INVALID_HANDLE);
    EXPECT_EQ(OCIBindByName(s.stmt, nullptr, s.err, (const OraText *)":sm_action", 10, v, 2,
                            SQLT_STR, nullptr, nullptr, nullptr, 0, nullptr, 0),
              OCI_INVALID_HANDLE);

    EXPECT_EQ(OCIStmtExecute(nullptr, s.stmt, s.err, 1, 0, nullptr, nullptr, 0x20),
              OCI_INVALID_HANDLE);
    EXPECT_EQ(OCIStmtExecute((OCISvcCtx *)s.stmt, s.stmt, s.err, 1, 0, nullptr, nullptr, 0x20),
              OCI_INVALID_HANDLE);
    EXPECT_EQ(OCIStmtExecute(other.svc, s.stmt, s.err, 1, 0, nullptr, nullptr, 0x20),
              OCI_INVALID_HANDLE)
        << "context of another environment";
    EXPECT_EQ(OCIStmtExecute(s.svc, s.stmt, nullptr, 1, 0, nullptr, nullptr, 0x20),
              OCI_INVALID_HANDLE);

    OraText buf[512];
    EXPECT_EQ(OCIErrorGet(nullptr, 1, nullptr, nullptr, buf, 512, OCI_HTYPE_ERROR),
              OCI_INVALID_HANDLE);
    EXPECT_EQ(OCIErrorGet(s.err, 1, nullptr, nullptr, buf, 512, OCI_HTYPE_ENV),
              OCI_INVALID_HANDLE);
    EXPECT_EQ(OCIErrorGet(s.env, 1, nullptr, nullptr, buf, 512, OCI_HTYPE_ERROR),
              OCI_INVALID_HANDLE);
    EXPECT_EQ(OCIErrorGet(s.err, 1, nullptr, nullptr, buf, 512, 99), OCI_INVALID_HANDLE);

    EXPECT_EQ(OCILogoff(nullptr, s.err), OCI_INVALID_HANDLE);
    EXPECT_EQ(OCILogoff(s.svc, nullptr), OCI_INVALID_HANDLE);

    EXPECT_EQ(OCIHandleFree(nullptr, OCI_HTYPE_ENV), OCI_INVALID_HANDLE);
    EXPECT_EQ(OCIHandleFree(garbage, OCI_HTYPE_ENV), OCI_INVALID_HANDLE);
    EXPECT_EQ(OCIHandleFree(s.env, OCI_HTYPE_ERROR), OCI_INVALID_HANDLE);

    /* Binds go with their statement; a freed handle is no handle. */
    ASSERT_EQ(OCIBindByName(s.stmt, &b, s.err, (const OraText *)":sm_action", 10, v, 2, SQLT_STR,
                            nullptr, nullptr, nullptr, 0, nullptr, 0),
              OCI_SUCCESS);
    EXPECT_EQ(OCIHandleFree(b, OCI_HTYPE_BIND), OCI_INVALID_HANDLE);
    ASSERT_EQ(OCIHandleFree(s.stmt, OCI_HTYPE_STMT), OCI_SUCCESS);
    EXPECT_EQ(OCIHandleFree(s.stmt, OCI_HTYPE_STMT), OCI_INVALID_HANDLE);
    EXPECT_EQ(OCIStmtExecute(s.svc, s.stmt, s.err, 1, 0, nullptr, nullptr, 0x20),
              OCI_INVALID_HANDLE);
    s.stmt = nullptr;
    EXPECT_EQ(rows(), 0);
}

TEST_F(Api, FreeingTheEnvironmentFreesEverythingMadeFromIt)
{
    Session s;
    ASSERT_EQ(s.open(path), OCI_SUCCESS) << s.diag();
    ASSERT_EQ(s.prepare(ot::writerSql("smaccesslog4", 1)), OCI_SUCCESS);
    ASSERT_EQ(s.bind(":sm_action", values[0], nullptr), OCI_SUCCESS);
    EXPECT_EQ(ociStandinLiveConnections(), 1);
    EXPECT_EQ(ociStandinLiveHandles(), 5);

    ASSERT_EQ(OCIHandleFree(s.env, OCI_HTYPE_ENV), OCI_SUCCESS);
    EXPECT_EQ(ociStandinLiveHandles(), 0);
    EXPECT_EQ(ociStandinLiveConnections(), 0);
    EXPECT_EQ(s.execute(), OCI_INVALID_HANDLE);
    EXPECT_EQ(OCILogoff(s.svc, s.err), OCI_INVALID_HANDLE);
    s.stmt = nullptr;
    s.svc = nullptr;
    s.err = nullptr;
    s.env = nullptr;
}

TEST_F(Api, RecordsRunFromOneAndEndWithNoData)
{
    Session s;
    ASSERT_EQ(s.open(path), OCI_SUCCESS);
    ASSERT_EQ(s.insert(values, 1, nullptr, "missing_table"), OCI_ERROR);

    sb4 code = 0;
    OraText buf[512];
    ASSERT_EQ(OCIErrorGet(s.err, 1, nullptr, &code, buf, sizeof buf, OCI_HTYPE_ERROR), OCI_SUCCESS);
    EXPECT_EQ(code, SQLITE_ERROR);
    EXPECT_STREQ((const char *)buf, "SQLite error 1: no such table: missing_table");
    EXPECT_EQ(OCIErrorGet(s.err, 2, nullptr, &code, buf, sizeof buf, OCI_HTYPE_ERROR), OCI_NO_DATA);
    EXPECT_EQ(OCIErrorGet(s.err, 0, nullptr, &code, buf, sizeof buf, OCI_HTYPE_ERROR), OCI_NO_DATA);
    EXPECT_EQ(OCIErrorGet(s.err, 1, nullptr, nullptr, nullptr, 0, OCI_HTYPE_ERROR), OCI_SUCCESS)
        << "reading again, without buffers";
}

/* The writer reads records into 512 bytes; longer messages are cut there,
 * terminated, and not split inside a character. */
TEST_F(Api, LongRecordIsCutToTheBuffer)
{
    std::string table;
    for (int i = 0; i < 400; i++)
        table += "\xc3\xa9"; /* e acute, two bytes */
    Session s;
    ASSERT_EQ(s.open(path), OCI_SUCCESS);
    ASSERT_EQ(s.prepare("INSERT INTO x" + table + " (sm_action) VALUES ('a')"), OCI_SUCCESS);
    ASSERT_EQ(s.execute(), OCI_ERROR);

    OraText full[4096];
    ASSERT_EQ(OCIErrorGet(s.err, 1, nullptr, nullptr, full, sizeof full, OCI_HTYPE_ERROR),
              OCI_SUCCESS);
    std::string whole = (const char *)full;
    ASSERT_GT(whole.size(), 600u);

    OraText buf[600];
    memset(buf, 0x7f, sizeof buf);
    ASSERT_EQ(OCIErrorGet(s.err, 1, nullptr, nullptr, buf, 512, OCI_HTYPE_ERROR), OCI_SUCCESS);
    std::string cut = (const char *)buf;
    EXPECT_GE(cut.size(), 509u);
    EXPECT_LE(cut.size(), 511u);
    EXPECT_EQ(whole.compare(0, cut.size(), cut), 0);
    EXPECT_NE((unsigned char)whole[cut.size()] & 0xC0, 0x80) << "cut inside a character";
    for (size_t i = 512; i < sizeof buf; i++)
        ASSERT_EQ(buf[i], 0x7f) << "written beyond the buffer at " << i;

    ASSERT_EQ(OCIErrorGet(s.err, 1, nullptr, nullptr, buf, 1, OCI_HTYPE_ERROR), OCI_SUCCESS);
    EXPECT_EQ(buf[0], '\0');
}

TEST_F(Api, EnvironmentHoldsTheRecordsOfItsOwnCalls)
{
    OCIEnv *env = nullptr;
    EXPECT_EQ(OCIEnvCreate(&env, 0x4000, nullptr, nullptr, nullptr, nullptr, 0, nullptr),
              OCI_ERROR);
    ASSERT_NE(env, nullptr) << "the environment carries the record of its failure";
    EXPECT_NE(Session::record(env, OCI_HTYPE_ENV).find("ORA-24300"), std::string::npos);
    EXPECT_EQ(Session::record(env, OCI_HTYPE_ENV, 2), "");
    ASSERT_EQ(OCIHandleFree(env, OCI_HTYPE_ENV), OCI_SUCCESS);

    ASSERT_EQ(OCIEnvCreate(&env, 0x81, nullptr, nullptr, nullptr, nullptr, 0, nullptr), OCI_SUCCESS);
    void *h = &env;
    EXPECT_EQ(OCIHandleAlloc(env, &h, OCI_HTYPE_SVCCTX, 0, nullptr), OCI_ERROR);
    EXPECT_EQ(h, nullptr);
    EXPECT_NE(Session::record(env, OCI_HTYPE_ENV).find("ORA-21560"), std::string::npos);
    ASSERT_EQ(OCIHandleAlloc(env, &h, OCI_HTYPE_ERROR, 0, nullptr), OCI_SUCCESS);
    EXPECT_EQ(Session::record(env, OCI_HTYPE_ENV), "") << "cleared by the next allocation";
    ASSERT_EQ(OCIHandleFree(env, OCI_HTYPE_ENV), OCI_SUCCESS);
}

TEST_F(Api, InjectedStatusHitsExactlyTheCallsAskedFor)
{
    Session s;
    ASSERT_EQ(s.open(path), OCI_SUCCESS);
    const sword statuses[] = {OCI_ERROR,    OCI_INVALID_HANDLE, OCI_STILL_EXECUTING, OCI_CONTINUE,
                              OCI_NEED_DATA, OCI_NO_DATA,       12345};
    long expectedRows = 0;
    for (sword status : statuses) {
        SCOPED_TRACE(status);
        ASSERT_EQ(ociStandinFail("OCIStmtExecute", status, 2), 1);
        for (int i = 0; i < 2; i++) {
            ASSERT_EQ(s.insert(values, 1), status);
            sb4 code = 0;
            std::string rec = s.diag(1, &code);
            if (status == OCI_ERROR) {
                EXPECT_EQ(code, OCI_STANDIN_INJECTED);
                EXPECT_NE(rec.find("OCIStmtExecute"), std::string::npos) << rec;
            } else {
                EXPECT_EQ(rec, "");
            }
        }
        EXPECT_EQ(rows(), expectedRows) << "a failed call does nothing";
        ASSERT_EQ(s.insert(values, 1), OCI_SUCCESS) << s.diag();
        EXPECT_EQ(rows(), ++expectedRows);
    }

    ASSERT_EQ(ociStandinFail("OCIStmtPrepare", OCI_ERROR, 3), 1);
    ASSERT_EQ(ociStandinFail("OCIStmtPrepare", OCI_ERROR, 0), 1);
    EXPECT_EQ(s.insert(values, 1), OCI_SUCCESS) << "a count of 0 cancels";
    EXPECT_EQ(ociStandinFail("OCINoSuchCall", OCI_ERROR, 1), 0);
}

/* A warning is a success: the work is done and a record is left. */
TEST_F(Api, SuccessWithInfoDoesTheWorkAndLeavesARecord)
{
    sqlite3 *check = nullptr;
    Session s;
    ociStandinFail("OCILogon", OCI_SUCCESS_WITH_INFO, 1);
    ASSERT_EQ(s.open(path), OCI_SUCCESS_WITH_INFO);
    EXPECT_NE(s.svc, nullptr);
    EXPECT_NE(s.diag().find("OCILogon"), std::string::npos);
    EXPECT_EQ(ociStandinLiveConnections(), 1);
    ASSERT_EQ(OCIHandleAlloc(s.env, (void **)&s.stmt, OCI_HTYPE_STMT, 0, nullptr), OCI_SUCCESS);

    /* Each step warned once; the row still lands whole. */
    sb4 code = 0;
    ociStandinFail("OCIStmtPrepare", OCI_SUCCESS_WITH_INFO, 1);
    ASSERT_EQ(s.prepare(ot::writerSql("smaccesslog4", 1)), OCI_SUCCESS_WITH_INFO);
    EXPECT_NE(s.diag(1, &code).find("OCIStmtPrepare"), std::string::npos);
    EXPECT_EQ(code, OCI_STANDIN_INJECTED);
    ociStandinFail("OCIBindByName", OCI_SUCCESS_WITH_INFO, 1);
    for (int i = 0; i < 14; i++) {
        ASSERT_EQ(s.bind(ot::PLACEHOLDERS[i], values[i], nullptr),
                  i == 0 ? OCI_SUCCESS_WITH_INFO : OCI_SUCCESS);
        if (i == 0) {
            EXPECT_NE(s.diag().find("OCIBindByName"), std::string::npos);
        }
    }
    ociStandinFail("OCIStmtExecute", OCI_SUCCESS_WITH_INFO, 1);
    ASSERT_EQ(s.execute(), OCI_SUCCESS_WITH_INFO);
    EXPECT_NE(s.diag().find("OCIStmtExecute"), std::string::npos);
    EXPECT_EQ(s.diag(2), "");
    EXPECT_EQ(rows(), 1);
    s.close();
    ASSERT_EQ(sqlite3_open(path.c_str(), &check), SQLITE_OK);
    sqlite3_stmt *st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(check, "SELECT sm_hostname FROM smaccesslog4", -1, &st, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(std::string((const char *)sqlite3_column_text(st, 0)), values[0])
        << "the warned bind took its value";
    sqlite3_finalize(st);
    sqlite3_close(check);

    ASSERT_EQ(s.open(path), OCI_SUCCESS);
    ociStandinFail("OCIHandleAlloc", OCI_SUCCESS_WITH_INFO, 1);
    OCIStmt *extra = nullptr;
    EXPECT_EQ(OCIHandleAlloc(s.env, (void **)&extra, OCI_HTYPE_STMT, 0, nullptr),
              OCI_SUCCESS_WITH_INFO);
    EXPECT_NE(Session::record(s.env, OCI_HTYPE_ENV).find("OCIHandleAlloc"), std::string::npos);
    ociStandinFail("OCIHandleFree", OCI_SUCCESS_WITH_INFO, 1);
    EXPECT_EQ(OCIHandleFree(extra, OCI_HTYPE_STMT), OCI_SUCCESS_WITH_INFO);
    EXPECT_EQ(OCIHandleFree(extra, OCI_HTYPE_STMT), OCI_INVALID_HANDLE) << "it was freed";
}

/* Failures injected where the writer connects and disconnects: nothing is
 * made or freed, and the handles stay usable. */
TEST_F(Api, InjectedFailuresLeaveHandlesAsTheyWere)
{
    ociStandinFail("OCIEnvCreate", OCI_ERROR, 1);
    OCIEnv *env = nullptr;
    ASSERT_EQ(OCIEnvCreate(&env, 0x81, nullptr, nullptr, nullptr, nullptr, 0, nullptr), OCI_ERROR);
    ASSERT_NE(env, nullptr);
    sb4 code = 0;
    EXPECT_NE(Session::record(env, OCI_HTYPE_ENV, 1, &code), "");
    EXPECT_EQ(code, OCI_STANDIN_INJECTED);
    OCIHandleFree(env, OCI_HTYPE_ENV);

    ociStandinFail("OCIEnvCreate", OCI_INVALID_HANDLE, 1);
    EXPECT_EQ(OCIEnvCreate(&env, 0x81, nullptr, nullptr, nullptr, nullptr, 0, nullptr),
              OCI_INVALID_HANDLE);
    EXPECT_EQ(env, nullptr);

    Session s;
    ociStandinFail("OCIHandleAlloc", OCI_ERROR, 1);
    EXPECT_EQ(s.open(path), OCI_ERROR);
    EXPECT_EQ(s.err, nullptr);
    EXPECT_NE(Session::record(s.env, OCI_HTYPE_ENV), "");
    s.close();

    ociStandinFail("OCILogon", OCI_ERROR, 1);
    EXPECT_EQ(s.open(path), OCI_ERROR);
    EXPECT_EQ(s.svc, nullptr);
    EXPECT_EQ(ociStandinLiveConnections(), 0);
    s.close();

    ASSERT_EQ(s.open(path), OCI_SUCCESS);
    ociStandinFail("OCILogoff", OCI_ERROR, 1);
    EXPECT_EQ(OCILogoff(s.svc, s.err), OCI_ERROR);
    EXPECT_EQ(ociStandinLiveConnections(), 1);
    ociStandinFail("OCIHandleFree", OCI_ERROR, 1);
    EXPECT_EQ(OCIHandleFree(s.stmt, OCI_HTYPE_STMT), OCI_ERROR);
    EXPECT_NE(Session::record(s.env, OCI_HTYPE_ENV), "");
    EXPECT_EQ(s.insert(values, 1), OCI_SUCCESS) << "still connected, statement still there";
    EXPECT_EQ(rows(), 1);
}

TEST_F(Api, CallsAreCountedUntilReset)
{
    Session s;
    ASSERT_EQ(s.open(path), OCI_SUCCESS);
    ASSERT_EQ(s.insert(values, 1), OCI_SUCCESS);
    EXPECT_EQ(OCIHandleFree(nullptr, OCI_HTYPE_STMT), OCI_INVALID_HANDLE);
    EXPECT_EQ(ociStandinCalls("OCIEnvCreate"), 1);
    EXPECT_EQ(ociStandinCalls("OCIHandleAlloc"), 2);
    EXPECT_EQ(ociStandinCalls("OCIBindByName"), 14);
    EXPECT_EQ(ociStandinCalls("OCIStmtExecute"), 1);
    EXPECT_EQ(ociStandinCalls("OCIHandleFree"), 1) << "refused calls count too";
    EXPECT_EQ(ociStandinCalls("OCIFoo"), -1);
    ociStandinReset();
    EXPECT_EQ(ociStandinCalls("OCIBindByName"), 0);
}

TEST_F(Api, ThousandSessionsLeaveNoHandleOrConnection)
{
    for (int i = 0; i < 1000; i++) {
        Session s;
        ASSERT_EQ(s.open(path), OCI_SUCCESS) << s.diag();
        ASSERT_EQ(s.insert(values, i), OCI_SUCCESS) << s.diag();
        s.close();
        ASSERT_EQ(ociStandinLiveHandles(), 0) << "after session " << i;
    }
    EXPECT_EQ(ociStandinLiveConnections(), 0);
    EXPECT_EQ(rows(), 1000);
}

/* Environments are independent: one per thread, all at once, one file. */
TEST_F(Api, EnvironmentsWorkInParallelThreads)
{
    const int THREADS = 3, ROWS = 100;
    std::vector<std::thread> threads;
    std::vector<int> failures(THREADS, 0);
    for (int t = 0; t < THREADS; t++)
        threads.emplace_back([&, t] {
            Session s;
            if (s.open(path) != OCI_SUCCESS) {
                failures[t] = ROWS;
                return;
            }
            for (int i = 0; i < ROWS; i++) {
                if (i % 10 == 0)
                    ociStandinLiveHandles();
                failures[t] += s.insert(values, t) != OCI_SUCCESS;
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(failures, std::vector<int>(THREADS, 0));
    EXPECT_EQ(rows(), THREADS * ROWS);
}

} // namespace
