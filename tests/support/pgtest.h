/*
 * pgtest.h - for tests that need the PostgreSQL server started by the test
 * run (tests/pg): where it is, a libpq connection to check what landed in
 * it, and stopping it hard and starting it again to play an outage.
 *
 * Register the test program with kel_pg_tests() (tests/pg/CMakeLists.txt)
 * and begin each test, or its SetUp, with KT_REQUIRE_PG(server). When the
 * server's variables are missing or it cannot be reached, the test fails if
 * the environment variable CI is set and is skipped otherwise.
 */
#ifndef KEL_PGTEST_H
#define KEL_PGTEST_H

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <optional>
#include <stdlib.h>
#include <string>
#include <vector>

namespace kt {
namespace pg {

struct Server {
    std::string uri;
    std::string user;
    std::string password;
};

inline std::string env(const char *name)
{
    const char *v = getenv(name);
    return v != nullptr ? v : "";
}

/* The server of this run, when it answers; why not, otherwise. */
inline bool find(Server &out, std::string &why)
{
    out = {env("KEL_PG_URI"), env("KEL_PG_USER"), env("KEL_PG_PASSWORD")};
    if (out.uri.empty() || out.user.empty()) {
        why = "no PostgreSQL server for this test (KEL_PG_URI/KEL_PG_USER not set: run it "
              "through ctest, which starts one)";
        return false;
    }
    const char *keys[] = {"dbname", "user", "password", "connect_timeout", nullptr};
    const char *values[] = {out.uri.c_str(), out.user.c_str(), out.password.c_str(), "5", nullptr};
    if (PQpingParams(keys, values, 1) != PQPING_OK) {
        why = "the PostgreSQL server at " + out.uri + " does not answer";
        return false;
    }
    return true;
}

/* Under CI a test that cannot reach the server fails; elsewhere it is skipped. */
inline bool mustRun()
{
    return !env("CI").empty();
}

#define KT_REQUIRE_PG(server)                                                                  \
    do {                                                                                       \
        std::string pgWhy_;                                                                    \
        if (!::kt::pg::find((server), pgWhy_)) {                                               \
            if (::kt::pg::mustRun())                                                           \
                FAIL() << pgWhy_;                                                              \
            else                                                                               \
                GTEST_SKIP() << pgWhy_;                                                        \
        }                                                                                      \
    } while (0)

using Value = std::optional<std::string>;
using Rows = std::vector<std::vector<Value>>;

/* A libpq connection for checking and preparing the database. Failures are
 * test failures (ADD_FAILURE) with the server's message. */
class Conn {
public:
    explicit Conn(const Server &s)
    {
        const char *keys[] = {"dbname", "user", "password", "connect_timeout", nullptr};
        const char *values[] = {s.uri.c_str(), s.user.c_str(), s.password.c_str(), "5", nullptr};
        conn_ = PQconnectdbParams(keys, values, 1);
        if (PQstatus(conn_) != CONNECTION_OK)
            ADD_FAILURE() << "cannot connect to " << s.uri << ": " << PQerrorMessage(conn_);
        PQsetNoticeProcessor(conn_, [](void *, const char *) {}, nullptr);
    }
    ~Conn() { PQfinish(conn_); }
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;

    bool ok() const { return PQstatus(conn_) == CONNECTION_OK; }

    /* Runs one or more statements (a DDL file, say); true on success. */
    bool exec(const std::string &sql)
    {
        PGresult *r = PQexec(conn_, sql.c_str());
        ExecStatusType st = PQresultStatus(r);
        bool good = st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
        if (!good)
            ADD_FAILURE() << "SQL failed: " << PQerrorMessage(conn_) << "in: " << sql;
        PQclear(r);
        return good;
    }

    /* The rows of a query, NULL as an empty optional. */
    Rows query(const std::string &sql)
    {
        Rows rows;
        PGresult *r = PQexec(conn_, sql.c_str());
        if (PQresultStatus(r) != PGRES_TUPLES_OK) {
            ADD_FAILURE() << "query failed: " << PQerrorMessage(conn_) << "in: " << sql;
        } else {
            for (int i = 0; i < PQntuples(r); i++) {
                std::vector<Value> row;
                for (int j = 0; j < PQnfields(r); j++)
                    row.push_back(PQgetisnull(r, i, j) ? Value() : Value(PQgetvalue(r, i, j)));
                rows.push_back(row);
            }
        }
        PQclear(r);
        return rows;
    }

    /* The single value of a query returning one row of one column. */
    Value scalar(const std::string &sql)
    {
        Rows rows = query(sql);
        if (rows.size() != 1 || rows[0].size() != 1) {
            ADD_FAILURE() << "expected one value from: " << sql;
            return Value();
        }
        return rows[0][0];
    }

private:
    PGconn *conn_ = nullptr;
};

/* Runs the cluster script of this run ("stop-immediate", "restart"). */
inline bool cluster(const std::string &action)
{
    std::string script = env("KEL_PG_SCRIPT"), dir = env("KEL_PG_DIR"), port = env("KEL_PG_PORT");
    if (script.empty() || dir.empty() || port.empty()) {
        ADD_FAILURE() << "KEL_PG_SCRIPT, KEL_PG_DIR or KEL_PG_PORT not set";
        return false;
    }
    std::string cmd = "bash '" + script + "' " + action + " '" + dir + "' " + port;
    int rc = system(cmd.c_str());
    if (rc != 0)
        ADD_FAILURE() << cmd << " failed with status " << rc;
    return rc == 0;
}

/* Stops the server at once, as a crash would. */
inline bool stopServer()
{
    return cluster("stop-immediate");
}

/* Starts the stopped server again on the same data. */
inline bool startServer()
{
    return cluster("restart");
}

} // namespace pg
} // namespace kt

#endif
