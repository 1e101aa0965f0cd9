/*
 * libclntsh as a client library, on SQLite: handle checks, diagnostic
 * records, the test controls, and sessions by the thousand and in threads.
 */
#include <thread>

#include "ocitest.h"

extern "C" int ociHeadersCompileAsC(void);

namespace {

using ot::Session;

class Api : public ::testing::Test {
protected:
    std::unique_ptr<ot::Backend> db;
    std::string path;
    std::vector<std::string> values = ot::awkwardValues();

    void SetUp() override
    {
        ociStandinReset();
        ot::makeBackend(db);
        path = db->source();
    }

    void TearDown() override
    {
        ociStandinReset();
        EXPECT_EQ(ociStandinLiveHandles(), 0);
        EXPECT_EQ(ociStandinLiveConnections(), 0);
    }
};

TEST_F(Api, BadHandlesAreRefusedWithoutBeingFollowed)
{
    Session s, other;
    ASSERT_EQ(s.open(path), OCI_SUCCESS) << s.diag();
    ASSERT_EQ(other.open(path), OCI_SUCCESS) << other.diag();
    int junk = 42;
    void *garbage = &junk, *h = nullptr;
    OCISvcCtx *svc = nullptr;
    OCIBind *b = nullptr;
    const OraText *ds = (const OraText *)path.c_str(), *sql = (const OraText *)"SELECT :x";
    const OraText *name = (const OraText *)":x";
    ub4 n = (ub4)path.size();
    char v[] = "v";
    OraText buf[512];
    const sword results[] = {
        OCIEnvCreate(nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0, nullptr),
        OCIHandleAlloc(garbage, &h, OCI_HTYPE_ERROR, 0, nullptr),
        OCIHandleAlloc(s.err, &h, OCI_HTYPE_ERROR, 0, nullptr),
        OCIHandleAlloc(s.env, nullptr, OCI_HTYPE_ERROR, 0, nullptr),
        OCILogon(nullptr, s.err, &svc, nullptr, 0, nullptr, 0, ds, n),
        OCILogon(s.env, (OCIError *)s.stmt, &svc, nullptr, 0, nullptr, 0, ds, n),
        OCILogon(s.env, other.err, &svc, nullptr, 0, nullptr, 0, ds, n),
        OCILogon(s.env, s.err, nullptr, nullptr, 0, nullptr, 0, ds, n),
        OCIStmtPrepare((OCIStmt *)s.err, s.err, sql, 9, OCI_NTV_SYNTAX, OCI_DEFAULT),
        OCIStmtPrepare(s.stmt, nullptr, sql, 9, OCI_NTV_SYNTAX, OCI_DEFAULT),
        OCIBindByName((OCIStmt *)garbage, &b, s.err, name, 2, v, 2, SQLT_STR, nullptr, nullptr,
                      nullptr, 0, nullptr, OCI_DEFAULT),
        OCIBindByName(s.stmt, nullptr, s.err, name, 2, v, 2, SQLT_STR, nullptr, nullptr, nullptr,
                      0, nullptr, OCI_DEFAULT),
        OCIStmtExecute((OCISvcCtx *)s.stmt, s.stmt, s.err, 1, 0, nullptr, nullptr, 0x20),
        OCIStmtExecute(other.svc, s.stmt, s.err, 1, 0, nullptr, nullptr, 0x20),
        OCIStmtExecute(s.svc, s.stmt, nullptr, 1, 0, nullptr, nullptr, 0x20),
        OCIErrorGet(nullptr, 1, nullptr, nullptr, buf, 512, OCI_HTYPE_ERROR),
        OCIErrorGet(s.err, 1, nullptr, nullptr, buf, 512, OCI_HTYPE_ENV),
        OCIErrorGet(s.env, 1, nullptr, nullptr, buf, 512, OCI_HTYPE_ERROR),
        OCIErrorGet(s.err, 1, nullptr, nullptr, buf, 512, 99),
        OCILogoff(nullptr, s.err),
        OCILogoff(s.svc, nullptr),
        OCIHandleFree(garbage, OCI_HTYPE_ENV),
        OCIHandleFree(s.env, OCI_HTYPE_ERROR),
    };
    for (size_t i = 0; i < sizeof results / sizeof results[0]; i++)
        EXPECT_EQ(results[i], OCI_INVALID_HANDLE) << "call " << i;

    /* Binds go with their statement; a freed handle is no handle. */
    ASSERT_EQ(OCIStmtPrepare(s.stmt, s.err, sql, 9, OCI_NTV_SYNTAX, OCI_DEFAULT), OCI_SUCCESS);
    ASSERT_EQ(OCIBindByName(s.stmt, &b, s.err, name, 2, v, 2, SQLT_STR, nullptr, nullptr, nullptr,
                            0, nullptr, OCI_DEFAULT),
              OCI_SUCCESS);
    EXPECT_EQ(OCIHandleFree(b, OCI_HTYPE_BIND), OCI_INVALID_HANDLE);
    ASSERT_EQ(OCIHandleFree(s.stmt, OCI_HTYPE_STMT), OCI_SUCCESS);
    EXPECT_EQ(OCIHandleFree(s.stmt, OCI_HTYPE_STMT), OCI_INVALID_HANDLE);
    EXPECT_EQ(s.execute(), OCI_INVALID_HANDLE);
    s.stmt = nullptr;
}

TEST_F(Api, FreeingTheEnvironmentFreesEverythingMadeFromIt)
{
    EXPECT_EQ(ociHeadersCompileAsC(), 1);
    Session s;
    ASSERT_EQ(s.open(path), OCI_SUCCESS) << s.diag();
    ASSERT_EQ(s.prepare(ot::writerSql("smaccesslog4", 1)), OCI_SUCCESS);
    ASSERT_EQ(s.bind(":sm_action", values[0], nullptr), OCI_SUCCESS);
    EXPECT_EQ(ociStandinLiveHandles(), 5);
    EXPECT_EQ(ociStandinLiveConnections(), 1);

    ASSERT_EQ(OCIHandleFree(s.env, OCI_HTYPE_ENV), OCI_SUCCESS);
    EXPECT_EQ(ociStandinLiveHandles(), 0);
    EXPECT_EQ(ociStandinLiveConnections(), 0);
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
    EXPECT_EQ(s.diag(1, &code), "SQLite error 1: no such table: missing_table");
    EXPECT_EQ(code, 1);
    OraText buf[512];
    EXPECT_EQ(OCIErrorGet(s.err, 2, nullptr, &code, buf, sizeof buf, OCI_HTYPE_ERROR), OCI_NO_DATA);
    EXPECT_EQ(OCIErrorGet(s.err, 0, nullptr, &code, buf, sizeof buf, OCI_HTYPE_ERROR), OCI_NO_DATA);
    EXPECT_EQ(OCIErrorGet(s.err, 1, nullptr, nullptr, nullptr, 0, OCI_HTYPE_ERROR), OCI_SUCCESS);

    /* The environment holds the records of the calls without an error handle. */
    void *h = &s;
    EXPECT_EQ(OCIHandleAlloc(s.env, &h, OCI_HTYPE_SVCCTX, 0, nullptr), OCI_ERROR);
    EXPECT_EQ(h, nullptr);
    EXPECT_NE(Session::record(s.env, OCI_HTYPE_ENV).find("ORA-21560"), std::string::npos);
    EXPECT_EQ(Session::record(s.env, OCI_HTYPE_ENV, 2), "");

    OCIEnv *env = nullptr;
    EXPECT_EQ(OCIEnvCreate(&env, 0x4000, nullptr, nullptr, nullptr, nullptr, 0, nullptr), OCI_ERROR);
    ASSERT_NE(env, nullptr) << "a failed environment is returned to carry its record";
    EXPECT_NE(Session::record(env, OCI_HTYPE_ENV).find("ORA-24300"), std::string::npos);
    EXPECT_EQ(OCIHandleFree(env, OCI_HTYPE_ENV), OCI_SUCCESS);
}

/* The writer reads records into 512 bytes: longer ones are cut there,
 * terminated, and not inside a character. */
TEST_F(Api, LongRecordIsCutToTheBuffer)
{
    std::string table;
    for (int i = 0; i < 400; i++)
        table += "\xc3\xa9";
    Session s;
    ASSERT_EQ(s.open(path), OCI_SUCCESS);
    ASSERT_EQ(s.prepare("INSERT INTO x" + table + " (sm_action) VALUES ('a')"), OCI_SUCCESS);
    ASSERT_EQ(s.execute(), OCI_ERROR);

    OraText full[4096], buf[600];
    ASSERT_EQ(OCIErrorGet(s.err, 1, nullptr, nullptr, full, sizeof full, OCI_HTYPE_ERROR), OCI_SUCCESS);
    std::string whole = (const char *)full;
    memset(buf, 0x7f, sizeof buf);
    ASSERT_EQ(OCIErrorGet(s.err, 1, nullptr, nullptr, buf, 512, OCI_HTYPE_ERROR), OCI_SUCCESS);
    std::string cut = (const char *)buf;
    EXPECT_GE(cut.size(), 509u);
    EXPECT_LE(cut.size(), 511u);
    EXPECT_EQ(whole.compare(0, cut.size(), cut), 0);
    EXPECT_NE((unsigned char)whole[cut.size()] & 0xC0, 0x80) << "cut inside a character";
    for (size_t i = 512; i < sizeof buf; i++)
        ASSERT_EQ(buf[i], 0x7f) << "written beyond the buffer at " << i;
}

TEST_F(Api, InjectedStatusHitsExactlyTheCallsAskedFor)
{
    Session s;
    ASSERT_EQ(s.open(path), OCI_SUCCESS);
    long expectedRows = 0;
    for (sword status : {OCI_ERROR, OCI_INVALID_HANDLE, OCI_STILL_EXECUTING, OCI_CONTINUE,
                         OCI_NEED_DATA, OCI_NO_DATA, 12345}) {
        SCOPED_TRACE(status);
        ASSERT_EQ(ociStandinFail("OCIStmtExecute", status, 2), 1);
        for (int i = 0; i < 2; i++) {
            ASSERT_EQ(s.insert(values, 1), status);
            sb4 code = 0;
            EXPECT_EQ(s.diag(1, &code).empty(), status != OCI_ERROR);
            EXPECT_EQ(code, status == OCI_ERROR ? OCI_STANDIN_INJECTED : 0);
        }
        EXPECT_EQ(db->count(), expectedRows) << "a failed call does nothing";
        ASSERT_EQ(s.insert(values, 1), OCI_SUCCESS) << s.diag();
        EXPECT_EQ(db->count(), ++expectedRows);
    }
    EXPECT_EQ(ociStandinCalls("OCIStmtExecute"), 21);
    EXPECT_EQ(ociStandinCalls("OCIBindByName"), 21 * 14);

    ociStandinFail("OCIStmtPrepare", OCI_ERROR, 3);
    ociStandinFail("OCIStmtPrepare", OCI_ERROR, 0);
    EXPECT_EQ(s.insert(values, 1), OCI_SUCCESS) << "a count of 0 cancels";
    EXPECT_EQ(ociStandinFail("OCINoSuchCall", OCI_ERROR, 1), 0);
    EXPECT_EQ(ociStandinCalls("OCINoSuchCall"), -1);
    ociStandinReset();
    EXPECT_EQ(ociStandinCalls("OCIStmtExecute"), 0);
}

/* A warning is a success: the work is done, and a record says why. */
TEST_F(Api, SuccessWithInfoDoesTheWorkAndLeavesARecord)
{
    Session s;
    ociStandinFail("OCILogon", OCI_SUCCESS_WITH_INFO, 1);
    ASSERT_EQ(s.open(path), OCI_SUCCESS_WITH_INFO);
    EXPECT_NE(s.diag().find("OCILogon"), std::string::npos);
    EXPECT_EQ(ociStandinLiveConnections(), 1);
    ASSERT_EQ(OCIHandleAlloc(s.env, (void **)&s.stmt, OCI_HTYPE_STMT, 0, nullptr), OCI_SUCCESS);

    ociStandinFail("OCIStmtPrepare", OCI_SUCCESS_WITH_INFO, 1);
    ASSERT_EQ(s.prepare(ot::writerSql("smaccesslog4", 1)), OCI_SUCCESS_WITH_INFO);
    EXPECT_NE(s.diag().find("OCIStmtPrepare"), std::string::npos);
    ociStandinFail("OCIBindByName", OCI_SUCCESS_WITH_INFO, 1);
    for (int i = 0; i < 14; i++)
        ASSERT_EQ(s.bind(ot::PLACEHOLDERS[i], values[i], nullptr),
                  i == 0 ? OCI_SUCCESS_WITH_INFO : OCI_SUCCESS);
    ociStandinFail("OCIStmtExecute", OCI_SUCCESS_WITH_INFO, 1);
    ASSERT_EQ(s.execute(), OCI_SUCCESS_WITH_INFO);
    sb4 code = 0;
    EXPECT_NE(s.diag(1, &code).find("OCIStmtExecute"), std::string::npos);
    EXPECT_EQ(code, OCI_STANDIN_INJECTED);
    EXPECT_EQ(db->query("SELECT sm_hostname FROM smaccesslog4"), (ot::Rows{{values[0]}}))
        << "prepared, bound and committed";

    ociStandinFail("OCIHandleFree", OCI_SUCCESS_WITH_INFO, 1);
    EXPECT_EQ(OCIHandleFree(s.stmt, OCI_HTYPE_STMT), OCI_SUCCESS_WITH_INFO);
    EXPECT_EQ(OCIHandleFree(s.stmt, OCI_HTYPE_STMT), OCI_INVALID_HANDLE) << "it was freed";
    s.stmt = nullptr;
}

/* Failures where the writer connects and disconnects: nothing is made or
 * freed, the handles stay usable, and the caller can still clean up. */
TEST_F(Api, InjectedFailuresLeaveHandlesAsTheyWere)
{
    Session s;
    ociStandinFail("OCIEnvCreate", OCI_ERROR, 1);
    EXPECT_EQ(s.open(path), OCI_ERROR);
    EXPECT_NE(Session::record(s.env, OCI_HTYPE_ENV), "");
    s.close();
    ociStandinFail("OCIEnvCreate", OCI_INVALID_HANDLE, 1);
    EXPECT_EQ(s.open(path), OCI_INVALID_HANDLE);
    EXPECT_EQ(s.env, nullptr);
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
    EXPECT_EQ(s.insert(values, 1), OCI_SUCCESS) << "still connected, statement still there";
    EXPECT_EQ(db->count(), 1);
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
    EXPECT_EQ(db->count(), 1000);
}

/* Environments are independent: one per thread, all at once, one file. */
TEST_F(Api, EnvironmentsWorkInParallelThreads)
{
    const int THREADS = 3, ROWS = 100;
    std::vector<int> failures(THREADS, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++)
        threads.emplace_back([&, t] {
            Session s;
            failures[t] = s.open(path) != OCI_SUCCESS ? ROWS : 0;
            /* Three writers on one file take turns at its lock; one kept
             * waiting past the busy time (on a loaded machine) is told
             * "database is locked" and tries again, as the writer does. */
            for (int i = 0; i < ROWS && failures[t] == 0; i++) {
                sword rc = s.insert(values, t);
                for (int retry = 0; rc != OCI_SUCCESS && retry < 5 &&
                                    s.diag().find("SQLite error 5:") != std::string::npos;
                     retry++)
                    rc = s.insert(values, t);
                failures[t] += rc != OCI_SUCCESS;
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(failures, std::vector<int>(THREADS, 0));
    EXPECT_EQ(db->count(), THREADS * ROWS);
}

} // namespace
