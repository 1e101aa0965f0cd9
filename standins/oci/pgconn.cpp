/*
 * pgconn.cpp - the PostgreSQL back end of the stand-in libclntsh, its
 * connection side: logging on with a data source URI, the deadline every
 * call runs under, waiting for the server without passing it, and ending
 * the backend of a connection given up at its deadline.
 *
 * Threading: a connection is used under its environment's lock only; the
 * abandoned backend has a short lock of its own.
 */
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "pg.h"

namespace ocistandin {

namespace {

/*
 * Deadlines of PostgreSQL calls. A server that stops answering (a paused
 * backend, a lost network, a lock held by someone else) must not hold the
 * writer for longer than about half a minute. Defaults, each replaced by
 * the same parameter in the data source URI:
 *  - connect_timeout: a logon gives up after 5 s;
 *  - statement_timeout (sent as "options"): the server ends a statement
 *    after 20 s with an error of its own, a lock wait included;
 *  - TCP keepalives (probes after 10 s idle, every 5 s, 3 lost = dead) and
 *    tcp_user_timeout (20 s for data never acknowledged): a vanished peer
 *    is noticed;
 *  - call_timeout (this client's own, taken out of the URI before libpq
 *    sees it): no OCI call waits longer than 25 s for the server, however
 *    it is stuck. At the deadline the connection is cut and the call fails
 *    with "no answer from the server within N s".
 */
const char *const PG_CONNECT_TIMEOUT = "5";
const char *const PG_OPTIONS = "-c statement_timeout=20s";
const char *const PG_KEEPALIVES_IDLE = "10";
const char *const PG_KEEPALIVES_INTERVAL = "5";
const char *const PG_KEEPALIVES_COUNT = "3";
const char *const PG_TCP_USER_TIMEOUT = "20000";
const int PG_CALL_TIMEOUT = 25;
const char *const CALL_TIMEOUT_KEY = "call_timeout";

} // namespace

/* The five SQLSTATE characters read as a base-36 number. */
static sb4 sqlstateNumber(const char *state)
{
    sb4 n = 0;
    for (int i = 0; i < 5 && state[i] != '\0'; i++) {
        char c = state[i];
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'Z' ? c - 'A' + 10 : 0;
        n = n * 36 + digit;
    }
    return n;
}

void pgDiag(Diags &d, const char *state, const std::string &text)
{
    addDiag(d, sqlstateNumber(state), std::string("PostgreSQL error ") + state + ": " + text);
}

/* ---- PostgreSQL ---- */

bool isPostgresUri(const std::string &dataSource)
{
    return dataSource.rfind("postgresql://", 0) == 0 || dataSource.rfind("postgres://", 0) == 0;
}

static void ignoreNotice(void *, const char *) {}

/*
 * The data source without this client's own parameter call_timeout, which
 * libpq would refuse, and that parameter's value (PG_CALL_TIMEOUT when
 * absent). False when its value is not a whole number of seconds, 1 or more.
 */
static bool pgSplitSource(const std::string &source, std::string &uri, int *callTimeout)
{
    size_t q = source.find('?');
    *callTimeout = PG_CALL_TIMEOUT;
    uri = source.substr(0, q);
    if (q == std::string::npos)
        return true;
    std::string kept;
    size_t from = q + 1;
    while (from <= source.size()) {
        size_t end = source.find('&', from);
        if (end == std::string::npos)
            end = source.size();
        std::string item = source.substr(from, end - from);
        std::string key = item.substr(0, item.find('='));
        if (key == CALL_TIMEOUT_KEY) {
            std::string value = item.size() > key.size() ? item.substr(key.size() + 1) : "";
            char *stop = nullptr;
            long v = strtol(value.c_str(), &stop, 10);
            if (value.empty() || *stop != '\0' || v < 1 || v > 24 * 3600)
                return false;
            *callTimeout = (int)v;
        } else if (!item.empty()) {
            kept += (kept.empty() ? "?" : "&") + item;
        }
        from = end + 1;
    }
    uri += kept;
    return true;
}

bool pgOpen(OCISvcCtx *svc, const std::string &source, const std::string &user,
            const std::string &password, Diags &d)
{
    std::string uri;
    int callTimeout;
    if (!pgSplitSource(source, uri, &callTimeout)) {
        oraDiag(d, 12162, std::string("TNS:net service name is incorrectly specified (") +
                              CALL_TIMEOUT_KEY + " must be a whole number of seconds, 1 or more)");
        return false;
    }
    /* Keywords before dbname may be overridden by the URI, those after it
     * override the URI: the logon's user and password win. */
    const char *keys[] = {"connect_timeout", "options", "keepalives", "keepalives_idle",
                          "keepalives_interval", "keepalives_count", "tcp_user_timeout",
                          "fallback_application_name", "dbname", "user", "password", nullptr};
    const char *values[] = {PG_CONNECT_TIMEOUT, PG_OPTIONS, "1", PG_KEEPALIVES_IDLE,
                            PG_KEEPALIVES_INTERVAL, PG_KEEPALIVES_COUNT, PG_TCP_USER_TIMEOUT,
                            "kel", uri.c_str(), user.c_str(), password.c_str(), nullptr};
    PGconn *pg = PQconnectdbParams(keys, values, 1);
    if (pg == nullptr) {
        pgDiag(d, "08001", "out of memory");
        return false;
    }
    /* Non-blocking: every wait for the server goes through poll with the
     * call's deadline. */
    if (PQstatus(pg) != CONNECTION_OK || PQsetnonblocking(pg, 1) != 0) {
        pgDiag(d, "08001", PQerrorMessage(pg));
        PQfinish(pg);
        return false;
    }
    PQsetNoticeProcessor(pg, ignoreNotice, nullptr);
    svc->pg = pg;
    svc->callTimeout = callTimeout;
    svc->pgGroups.clear();
    liveConnections++;
    return true;
}

void pgResultDiag(Diags &d, PGconn *pg, const PGresult *r, const Deadline *dl)
{
    /* The connection cut at the deadline has said why already. */
    if (dl != nullptr && dl->passed)
        return;
    const char *state = r != nullptr ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    const char *primary = r != nullptr ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    if (state == nullptr)
        state = PQstatus(pg) == CONNECTION_BAD ? "08006" : "XX000";
    pgDiag(d, state, primary != nullptr ? primary : PQerrorMessage(pg));
    const char *detail = r != nullptr ? PQresultErrorField(r, PG_DIAG_MESSAGE_DETAIL) : nullptr;
    const char *hint = r != nullptr ? PQresultErrorField(r, PG_DIAG_MESSAGE_HINT) : nullptr;
    if (detail != nullptr)
        addDiag(d, sqlstateNumber(state), std::string("DETAIL: ") + detail);
    if (hint != nullptr)
        addDiag(d, sqlstateNumber(state), std::string("HINT: ") + hint);
}

/* ---- waiting for the server, never past the deadline ---- */

static void rememberAbandoned(PGconn *pg);

/* The server did not answer in time: the connection is cut, so that
 * nothing more is read from it or sent on it, and the call fails. Its
 * backend is remembered, to be ended from the next connection (see
 * pgEndAbandoned). */
static void pgGiveUp(PGconn *pg, Deadline &dl, Diags &d)
{
    if (dl.passed)
        return;
    dl.passed = true;
    pgDiag(d, "08006", "no answer from the server within " + std::to_string(dl.seconds) +
                           " s (" + CALL_TIMEOUT_KEY + "): connection given up");
    rememberAbandoned(pg);
    shutdown(PQsocket(pg), SHUT_RDWR);
    PQconsumeInput(pg); /* libpq sees the end: the connection is bad from now on */
}

/* Waits until the connection's socket is ready for events; false when the
 * deadline came first (the connection is then given up). */
static bool pgWaitSocket(PGconn *pg, short events, Deadline &dl, Diags &d)
{
    for (;;) {
        struct pollfd p = {PQsocket(pg), events, 0};
        int left = dl.left();
        int rc = left > 0 ? poll(&p, 1, left) : 0;
        if (rc > 0 || (rc < 0 && errno != EINTR))
            return true; /* ready, or an error libpq will report */
        if (rc == 0) {
            pgGiveUp(pg, dl, d);
            return false;
        }
    }
}

/* Sends everything libpq holds for the server; false (with a record) when
 * that fails or the deadline passes. */
bool pgFlush(PGconn *pg, Deadline &dl, Diags &d)
{
    for (;;) {
        int rc = PQflush(pg);
        if (rc == 0)
            return true;
        if (rc < 0) {
            pgResultDiag(d, pg, nullptr, &dl);
            return false;
        }
        if (!pgWaitSocket(pg, POLLIN | POLLOUT, dl, d))
            return false;
        PQconsumeInput(pg); /* the server may be waiting for us to read */
    }
}

/* PQgetResult without waiting past the deadline: the next result, or
 * nullptr at the end of a query's results, when the connection failed, or
 * when the deadline passed. */
PGresult *pgNextResult(PGconn *pg, Deadline &dl, Diags &d)
{
    while (!dl.passed && PQisBusy(pg)) {
        if (!pgWaitSocket(pg, POLLIN, dl, d))
            return nullptr;
        if (PQconsumeInput(pg) == 0)
            break; /* PQgetResult reports the failure */
    }
    return dl.passed ? nullptr : PQgetResult(pg);
}

/* PQexecParams with the deadline: the last result of one statement, or
 * nullptr when it could not be sent or the deadline passed. */
PGresult *pgQuery(PGconn *pg, const char *sql, int count, const char *const *values,
                  Deadline &dl, Diags &d)
{
    if (PQsendQueryParams(pg, sql, count, nullptr, values, nullptr, nullptr, 0) != 1 ||
        !pgFlush(pg, dl, d))
        return nullptr;
    PGresult *last = nullptr;
    for (PGresult *r; (r = pgNextResult(pg, dl, d)) != nullptr;) {
        PQclear(last);
        last = r;
    }
    if (dl.passed) {
        PQclear(last);
        return nullptr;
    }
    return last;
}

bool pgCommand(PGconn *pg, const char *sql, Deadline &dl, Diags *d)
{
    Diags ignored;
    PGresult *r = pgQuery(pg, sql, 0, nullptr, dl, d != nullptr ? *d : ignored);
    bool ok = r != nullptr && PQresultStatus(r) == PGRES_COMMAND_OK;
    if (!ok && d != nullptr)
        pgResultDiag(*d, pg, r, &dl);
    PQclear(r);
    return ok;
}

bool pgInTransaction(PGconn *pg)
{
    PGTransactionStatusType tx = PQtransactionStatus(pg);
    return tx == PQTRANS_INTRANS || tx == PQTRANS_INERROR;
}

std::string pgServer(PGconn *pg)
{
    return std::string(PQhost(pg)) + ":" + PQport(pg) + "/" + PQdb(pg) + "/" + PQuser(pg);
}

/*
 * A call given up at its deadline may still run on the server later: a
 * paused backend, once it goes on, reads the whole pipeline the client
 * sent (COMMIT included) even though the client has gone. Had the row's
 * transaction id not arrived, nothing would tell the retry that this row
 * is in, and it would be written twice. So the backend of a connection
 * given up is ended (pg_terminate_backend, which the same role may do)
 * from the next connection to the same server, before anything else runs
 * there: the signal waits for the paused backend and ends it before it
 * reads on. A commit whose id did arrive is resolved as any other in
 * doubt. Without the right to end it (another role's backend) the attempt
 * is left alone: at worst one duplicate row, never a lost one.
 */
struct Abandoned {
    bool set = false;
    std::string server;
    int pid = 0;
};
std::mutex abandonedLock;
Abandoned abandoned;

static void rememberAbandoned(PGconn *pg)
{
    std::lock_guard<std::mutex> hold(abandonedLock);
    abandoned.set = true;
    abandoned.server = pgServer(pg);
    abandoned.pid = PQbackendPID(pg);
}

/* 0 when nothing is abandoned on this server or its backend has been
 * told to end; -1 when the connection failed (the diagnostic says why). */
int pgEndAbandoned(PGconn *pg, const std::string &server, Deadline &dl, Diags &d)
{
    int pid;
    {
        std::lock_guard<std::mutex> hold(abandonedLock);
        if (!abandoned.set || abandoned.server != server)
            return 0;
        pid = abandoned.pid;
    }
    std::string param = std::to_string(pid);
    const char *values[] = {param.c_str()};
    PGresult *r = pgQuery(pg, "SELECT pg_terminate_backend($1::integer)", 1, values, dl, d);
    bool failed = (r == nullptr || PQresultStatus(r) != PGRES_TUPLES_OK) &&
                  PQstatus(pg) != CONNECTION_OK;
    if (failed)
        pgResultDiag(d, pg, r, &dl);
    PQclear(r);
    if (failed)
        return -1;
    std::lock_guard<std::mutex> hold(abandonedLock);
    if (abandoned.pid == pid)
        abandoned.set = false;
    return 0;
}

void pgClose(OCISvcCtx *svc)
{
    if (svc->pg != nullptr) {
        PQfinish(svc->pg);
        svc->pg = nullptr;
        svc->pgGroups.clear();
        liveConnections--;
    }
}

} // namespace ocistandin
