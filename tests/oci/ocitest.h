/*
 * ocitest.h - helpers for the libclntsh tests: a session driven the way the
 * audit writer drives it (environment, error handle, logon, statement;
 * prepare, fourteen binds, execute with commit), the writer's statement
 * text, and a database-neutral view of the table for checking rows.
 */
#ifndef KEL_OCITEST_H
#define KEL_OCITEST_H

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

#include "oci.h"
#include "oci_standin.h"
#include "testsupport.h"

namespace ot {

using Value = std::optional<std::string>;
using Rows = std::vector<std::vector<Value>>;

/* The writer's placeholders, in its bind order. */
const char *const PLACEHOLDERS[14] = {
    ":sm_hostname",   ":sm_sessionid",    ":sm_username",         ":sm_agentname",
    ":sm_realmname",  ":sm_realmoid",     ":sm_clientip",         ":sm_domainoid",
    ":sm_authdirname", ":sm_authdirserver", ":sm_authdirnamespace", ":sm_resource",
    ":sm_action",     ":sm_transactionid"};

/* The columns a test reads back: the fixed numbers, then the bound texts
 * in bind order. */
const char *const ROW_SQL =
    "SELECT sm_categoryid, sm_eventid, sm_reason, sm_hostname, sm_sessionid, sm_username, "
    "sm_agentname, sm_realmname, sm_realmoid, sm_clientip, sm_domainoid, sm_authdirname, "
    "sm_authdirserver, sm_authdirnamespace, sm_resource, sm_action, sm_transactionid "
    "FROM smaccesslog4 ORDER BY id";

/* The statement exactly as the writer builds it. */
inline std::string writerSql(const std::string &table, int reason)
{
    char buf[1000];
    snprintf(buf, sizeof buf,
             "INSERT INTO %s (sm_categoryid, sm_eventid, sm_hostname, sm_sessionid, "
             "sm_username, sm_agentname, sm_realmname, sm_realmoid, sm_clientip, sm_domainoid, "
             "sm_authdirname, sm_authdirserver, sm_authdirnamespace, sm_resource, sm_action, "
             "sm_reason, sm_transactionid) VALUES (%d, %d, :sm_hostname, :sm_sessionid, "
             ":sm_username, :sm_agentname, :sm_realmname, :sm_realmoid, :sm_clientip, "
             ":sm_domainoid, :sm_authdirname, :sm_authdirserver, :sm_authdirnamespace, "
             ":sm_resource, :sm_action, %d, :sm_transactionid)",
             table.c_str(), 1, 1, reason);
    return buf;
}

/* Fourteen values that a careless client would mangle: empty, quotes,
 * non-ASCII, SQL, a placeholder, 4999 characters. */
inline std::vector<std::string> awkwardValues()
{
    return {"policy-host-01",
            "",
            "uid=O'Brien,ou=\"People\",o=kel",
            "agent;1\\",
            "Zo\xc3\xab \xe2\x80\x93 \xe6\x9d\xb1\xe4\xba\xac realm",
            "06-0001",
            "10.0.0.1",
            "'); DROP TABLE smaccesslog4; --",
            ":sm_username",
            "ldap://dir:389/$1",
            "LDAP:",
            std::string(4999, 'r'),
            "GET",
            "authlevel=20;x=:y"};
}

inline std::string readSqlFile(const std::string &name)
{
    return kt::readFile(std::string(KEL_SQL_DIR) + "/" + name);
}

/* One OCI session, opened and closed in the writer's order. */
struct Session {
    OCIEnv *env = nullptr;
    OCIError *err = nullptr;
    OCISvcCtx *svc = nullptr;
    OCIStmt *stmt = nullptr;

    Session() = default;
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session() { close(); }

    /* Environment, error handle, logon, statement handle: the first
     * status that is not a success, else OCI_SUCCESS. */
    sword open(const std::string &source, const std::string &user = "",
               const std::string &password = "")
    {
        sword st = OCIEnvCreate(&env, OCI_THREADED | OCI_NO_MUTEX, nullptr, nullptr, nullptr,
                                nullptr, 0, nullptr);
        if (st != OCI_SUCCESS)
            return st;
        st = OCIHandleAlloc(env, (void **)&err, OCI_HTYPE_ERROR, 0, nullptr);
        if (st != OCI_SUCCESS)
            return st;
        st = OCILogon(env, err, &svc, (const OraText *)user.c_str(), (ub4)user.size(),
                      (const OraText *)password.c_str(), (ub4)password.size(),
                      (const OraText *)source.c_str(), (ub4)source.size());
        if (st != OCI_SUCCESS)
            return st;
        return OCIHandleAlloc(env, (void **)&stmt, OCI_HTYPE_STMT, 0, nullptr);
    }

    void close()
    {
        EXPECT_TRUE(stmt == nullptr || OCIHandleFree(stmt, OCI_HTYPE_STMT) == OCI_SUCCESS);
        EXPECT_TRUE(svc == nullptr || OCILogoff(svc, err) == OCI_SUCCESS);
        EXPECT_TRUE(err == nullptr || OCIHandleFree(err, OCI_HTYPE_ERROR) == OCI_SUCCESS);
        EXPECT_TRUE(env == nullptr || OCIHandleFree(env, OCI_HTYPE_ENV) == OCI_SUCCESS);
        stmt = nullptr;
        svc = nullptr;
        err = nullptr;
        env = nullptr;
    }

    sword prepare(const std::string &sql)
    {
        return OCIStmtPrepare(stmt, err, (const OraText *)sql.c_str(), (ub4)sql.size(),
                              OCI_NTV_SYNTAX, OCI_DEFAULT);
    }

    /* Binds like the writer: by name, length with the terminator. The
     * value is read at execute, so it must outlive that. */
    sword bind(const std::string &name, const std::string &value, sb2 *ind)
    {
        OCIBind *b = nullptr;
        return OCIBindByName(stmt, &b, err, (const OraText *)name.c_str(), (sb4)name.size(),
                             (void *)value.c_str(), (sb4)value.size() + 1, SQLT_STR, ind,
                             nullptr, nullptr, 0, nullptr, OCI_DEFAULT);
    }

    /* A temporary would be gone before the execute reads it. */
    sword bind(const std::string &name, std::string &&value, sb2 *ind) = delete;

    sword execute(ub4 mode = OCI_COMMIT_ON_SUCCESS)
    {
        return OCIStmtExecute(svc, stmt, err, 1, 0, nullptr, nullptr, mode);
    }

    /* The writer's insert with these values (and indicators); the first
     * status that is not a success. */
    sword insert(const std::vector<std::string> &values, int reason,
                 std::vector<sb2> *inds = nullptr, const std::string &table = "smaccesslog4",
                 ub4 mode = OCI_COMMIT_ON_SUCCESS)
    {
        static sb2 present = 0;
        sword st = prepare(writerSql(table, reason));
        for (int i = 0; i < 14 && st == OCI_SUCCESS; i++)
            st = bind(PLACEHOLDERS[i], values[i], inds != nullptr ? &(*inds)[i] : &present);
        return st == OCI_SUCCESS ? execute(mode) : st;
    }

    /* Text of record n of the error handle, "" when there is none. */
    std::string diag(ub4 n = 1, sb4 *code = nullptr) const { return record(err, OCI_HTYPE_ERROR, n, code); }

    static std::string record(void *handle, ub4 type, ub4 n = 1, sb4 *code = nullptr)
    {
        OraText buf[512];
        sb4 c = 0;
        if (OCIErrorGet(handle, n, nullptr, &c, buf, sizeof buf, type) != OCI_SUCCESS)
            return "";
        if (code != nullptr)
            *code = c;
        return (const char *)buf;
    }
};

/* A database under test, and a separate connection to it for checks. */
struct Backend {
    virtual ~Backend() = default;
    virtual std::string source() const = 0;
    virtual std::string user() const = 0;
    virtual std::string password() const = 0;
    virtual Rows query(const std::string &sql) = 0;
    virtual void exec(const std::string &sql) = 0;

    long count() { return std::stol(query("SELECT count(*) FROM smaccesslog4").at(0).at(0).value()); }
};

/* Defined by each test program: a fresh database with the audit table,
 * or nothing (with the test skipped or failed). */
void makeBackend(std::unique_ptr<Backend> &out);

} // namespace ot

#endif
