/*
 * pg.h - what the two files of the stand-in's PostgreSQL back end share:
 * the deadline every call runs under, waiting for the server without
 * passing it, and diagnostic records from libpq's results.
 */
#ifndef KEL_OCI_PG_H
#define KEL_OCI_PG_H

#include <chrono>
#include <limits.h>
#include <libpq-fe.h>

#include "standin.h"

namespace ocistandin {

/* A point in time a call must not wait past; passed once it was reached
 * (the connection is then cut, and said so once). */
struct Deadline {
    std::chrono::steady_clock::time_point at;
    int seconds;
    bool passed = false;

    explicit Deadline(int s)
        : at(std::chrono::steady_clock::now() + std::chrono::seconds(s)), seconds(s)
    {
    }

    /* Milliseconds left, 0 once the deadline is reached. */
    int left() const
    {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      at - std::chrono::steady_clock::now())
                      .count();
        return ms <= 0 ? 0 : ms > INT_MAX ? INT_MAX : (int)ms;
    }
};

void pgDiag(Diags &d, const char *state, const std::string &text);
void pgResultDiag(Diags &d, PGconn *pg, const PGresult *r, const Deadline *dl = nullptr);
/* Sends everything libpq holds for the server; false (with a record) when
 * that fails or the deadline passes. */
bool pgFlush(PGconn *pg, Deadline &dl, Diags &d);
/* PQgetResult without waiting past the deadline: the next result, or
 * nullptr at the end of a query's results, when the connection failed, or
 * when the deadline passed. */
PGresult *pgNextResult(PGconn *pg, Deadline &dl, Diags &d);
/* PQexecParams with the deadline: the last result of one statement, or
 * nullptr when it could not be sent or the deadline passed. */
PGresult *pgQuery(PGconn *pg, const char *sql, int count, const char *const *values,
                  Deadline &dl, Diags &d);
bool pgCommand(PGconn *pg, const char *sql, Deadline &dl, Diags *d);
bool pgInTransaction(PGconn *pg);
/* host:port/database/user of the connection. */
std::string pgServer(PGconn *pg);
/* Ends the backend of a connection given up earlier on this server, if
 * any: 0 when nothing is abandoned or it has been told to end; -1 when the
 * connection failed (the diagnostic says why). */
int pgEndAbandoned(PGconn *pg, const std::string &server, Deadline &dl, Diags &d);

} // namespace ocistandin

#endif
