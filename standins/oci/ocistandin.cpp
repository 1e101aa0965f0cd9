/*
 * ocistandin.cpp - the stand-in libclntsh: the OCI calls of oci.h with real
 * semantics over a SQLite database file or a PostgreSQL server (libpq),
 * chosen by the data source of OCILogon, and the test controls of
 * oci_standin.h (failure injection, call and live-handle counters).
 *
 * Under faults it behaves as a real client does: every PostgreSQL call has
 * a deadline (see "Deadlines" below), and bound texts are converted into
 * the database's character set rather than refused (charset.h).
 *
 * Threading: every handle is checked against a process-wide registry under
 * its own short lock, so a NULL, freed or wrong-type handle is refused
 * without being touched. A call then holds its environment's lock for its
 * whole duration: calls on one environment are serialised, different
 * environments run in parallel, and no database work happens under a
 * process-wide lock. The test controls have a lock of their own.
 */
#pragma GCC visibility push(default)
#include "oci.h"
#include "oci_standin.h"
#pragma GCC visibility pop

#include <atomic>
#include <chrono>
#include <errno.h>
#include <limits.h>
#include <memory>
#include <mutex>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <libpq-fe.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sqlite3.h>

#include "charset.h"
#include "sqltext.h"

namespace ocistandin {

struct Diag {
    sb4 code;
    std::string text;
};
using Diags = std::vector<Diag>;

struct Handle {
    ub4 type = 0;
    void *self = nullptr;   /* the pointer handed out, as registered */
    OCIEnv *env = nullptr;  /* owning environment (none for an environment) */
    std::vector<char> userMem;
};

} // namespace ocistandin

using ocistandin::Diag;
using ocistandin::Diags;
using ocistandin::Handle;

struct OCIEnv : Handle {
    std::mutex lock;
    Diags diags;
    std::unordered_set<Handle *> children; /* error handles, contexts, statements */
};

struct OCIError : Handle {
    Diags diags;
};

struct OCISvcCtx : Handle {
    sqlite3 *lite = nullptr;
    PGconn *pg = nullptr;
    int callTimeout = 0; /* seconds each PostgreSQL call may take */
};

struct OCIBind : Handle {
    std::string name; /* normalised placeholder name */
    const void *value = nullptr;
    sb4 size = 0;
    const sb2 *ind = nullptr;
};

struct OCIStmt : Handle {
    bool prepared = false;
    /* The last text given and its placeholders, always kept together: a
     * prepare of the same text again (the writer's every row) reuses them. */
    std::string text;
    std::vector<ocisql::Placeholder> places;
    std::vector<OCIBind *> binds;
};

namespace {

enum Fn { ENVCREATE, HANDLEALLOC, HANDLEFREE, LOGON, LOGOFF, PREPARE, BIND, EXECUTE, ERRORGET,
          ROLLBACK, FN_COUNT };

const char *const FN_NAMES[FN_COUNT] = {
    "OCIEnvCreate", "OCIHandleAlloc", "OCIHandleFree", "OCILogon",    "OCILogoff",
    "OCIStmtPrepare", "OCIBindByName", "OCIStmtExecute", "OCIErrorGet", "OCITransRollback"};

struct Control {
    sword status = OCI_SUCCESS;
    int remaining = 0;
    long calls = 0;
};

/* Live handles: the pointer handed out and its type. Never destroyed, so
 * that a call made while the process exits still finds it. */
std::mutex registryLock;
std::unordered_map<const void *, ub4> &registry = *new std::unordered_map<const void *, ub4>;
std::atomic<long> liveConnections{0};

/* Test controls, one per OCI function. */
std::mutex controlLock;
Control controls[FN_COUNT];

const int SQLITE_BUSY_MS = 5000;

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

/* ---- test controls ---- */

void countCall(Fn f)
{
    std::lock_guard<std::mutex> hold(controlLock);
    controls[f].calls++;
}

/* The status injected for this call, OCI_SUCCESS when none. */
sword takeInjected(Fn f)
{
    std::lock_guard<std::mutex> hold(controlLock);
    Control &c = controls[f];
    if (c.remaining <= 0)
        return OCI_SUCCESS;
    c.remaining--;
    return c.status;
}

int fnByName(const char *name)
{
    for (int f = 0; name != nullptr && f < FN_COUNT; f++)
        if (strcmp(name, FN_NAMES[f]) == 0)
            return f;
    return -1;
}

bool isFailure(sword status)
{
    return status != OCI_SUCCESS && status != OCI_SUCCESS_WITH_INFO;
}

/* ---- diagnostic records ---- */

/* Records are single lines: control characters become spaces and trailing
 * white space goes, so a caller can log them as they are. */
void addDiag(Diags &d, sb4 code, const std::string &text)
{
    std::string line = text;
    for (char &c : line)
        if ((unsigned char)c < 0x20 || c == 0x7f)
            c = ' ';
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    d.push_back({code, line});
}

void oraDiag(Diags &d, int ora, const std::string &text)
{
    char prefix[16];
    snprintf(prefix, sizeof prefix, "ORA-%05d: ", ora);
    addDiag(d, ora, prefix + text);
}

void injectedDiag(Diags &d, Fn f, sword status)
{
    char text[128];
    snprintf(text, sizeof text, "ORA-%05d: %s made to return %d", OCI_STANDIN_INJECTED,
             FN_NAMES[f], status);
    addDiag(d, OCI_STANDIN_INJECTED, text);
}

/* An injected failure: nothing done; OCI_ERROR leaves its record. */
sword injectedFailure(Fn f, sword status, Diags *d)
{
    if (status == OCI_ERROR && d != nullptr)
        injectedDiag(*d, f, status);
    return status;
}

/* An injected OCI_SUCCESS_WITH_INFO turns a real success into a warning. */
sword withInjectedInfo(Fn f, sword injected, sword status, Diags *d)
{
    if (injected != OCI_SUCCESS_WITH_INFO || status != OCI_SUCCESS)
        return status;
    if (d != nullptr)
        injectedDiag(*d, f, injected);
    return OCI_SUCCESS_WITH_INFO;
}

void liteDiag(Diags &d, sqlite3 *db, const std::string &suffix = "")
{
    int code = sqlite3_extended_errcode(db);
    addDiag(d, code, "SQLite error " + std::to_string(code) + ": " + sqlite3_errmsg(db) + suffix);
}

/* The five SQLSTATE characters read as a base-36 number. */
sb4 sqlstateNumber(const char *state)
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

/* Copies a record into the caller's buffer, cut to fit with its
 * terminator and never in the middle of a UTF-8 sequence. */
void copyCut(OraText *buf, ub4 size, const std::string &text)
{
    size_t n = text.size() < size ? text.size() : size - 1;
    for (int back = 0; back < 3 && n > 0 && n < text.size() &&
                       ((unsigned char)text[n] & 0xC0) == 0x80;
         back++)
        n--;
    memcpy(buf, text.data(), n);
    buf[n] = '\0';
}

/* ---- handle registry ---- */

template <class T> T *live(const void *p, ub4 type)
{
    if (p == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> hold(registryLock);
    auto it = registry.find(p);
    if (it == registry.end() || it->second != type)
        return nullptr;
    return static_cast<T *>(const_cast<void *>(p));
}

ub4 liveType(const void *p)
{
    std::lock_guard<std::mutex> hold(registryLock);
    auto it = registry.find(p);
    return it == registry.end() ? 0 : it->second;
}

void delist(const void *p)
{
    std::lock_guard<std::mutex> hold(registryLock);
    registry.erase(p);
}

template <class T> T *create(OCIEnv *env, ub4 type)
{
    std::unique_ptr<T> h(new T);
    h->type = type;
    h->self = h.get();
    h->env = env;
    {
        std::lock_guard<std::mutex> hold(registryLock);
        registry.emplace(h->self, type);
    }
    if (env != nullptr && type != OCI_HTYPE_BIND) {
        try {
            env->children.insert(h.get());
        } catch (...) {
            delist(h->self);
            throw;
        }
    }
    return h.release();
}

void giveUserMemory(Handle *h, size_t size, void **usrmempp)
{
    if (usrmempp == nullptr)
        return;
    *usrmempp = nullptr;
    if (size > 0) {
        h->userMem.assign(size, 0);
        *usrmempp = h->userMem.data();
    }
}

void closeConnection(OCISvcCtx *svc)
{
    if (svc->lite != nullptr) {
        sqlite3_close_v2(svc->lite);
        svc->lite = nullptr;
        liveConnections--;
    }
    if (svc->pg != nullptr) {
        PQfinish(svc->pg);
        svc->pg = nullptr;
        liveConnections--;
    }
}

void freeBinds(OCIStmt *stmt)
{
    for (OCIBind *b : stmt->binds) {
        delist(b->self);
        delete b;
    }
    stmt->binds.clear();
}

/* Frees a child of an environment (the caller holds the environment's
 * lock and takes it out of the children). */
void destroyChild(Handle *h)
{
    delist(h->self);
    switch (h->type) {
    case OCI_HTYPE_ERROR:
        delete static_cast<OCIError *>(h->self);
        break;
    case OCI_HTYPE_SVCCTX:
        closeConnection(static_cast<OCISvcCtx *>(h->self));
        delete static_cast<OCISvcCtx *>(h->self);
        break;
    case OCI_HTYPE_STMT:
        freeBinds(static_cast<OCIStmt *>(h->self));
        delete static_cast<OCIStmt *>(h->self);
        break;
    }
}

void freeEnv(OCIEnv *env)
{
    delist(env);
    {
        std::lock_guard<std::mutex> hold(env->lock);
        for (Handle *h : env->children)
            destroyChild(h);
        env->children.clear();
    }
    delete env;
}

void freeChild(Handle *h)
{
    OCIEnv *env = h->env;
    std::lock_guard<std::mutex> hold(env->lock);
    env->children.erase(h);
    destroyChild(h);
}

/* The handle behind a pointer registered with that type. */
Handle *asHandle(void *p, ub4 type)
{
    switch (type) {
    case OCI_HTYPE_ENV:
        return static_cast<OCIEnv *>(p);
    case OCI_HTYPE_ERROR:
        return static_cast<OCIError *>(p);
    case OCI_HTYPE_SVCCTX:
        return static_cast<OCISvcCtx *>(p);
    default:
        return static_cast<OCIStmt *>(p);
    }
}

/* Runs an entry point's body; out of memory becomes OCI_ERROR rather
 * than an exception crossing the C interface. */
template <class F> sword guarded(F &&body)
{
    try {
        return body();
    } catch (...) {
        return OCI_ERROR;
    }
}

/* ---- bound values ---- */

OCIBind *findBind(OCIStmt *stmt, const std::string &name)
{
    for (OCIBind *b : stmt->binds)
        if (b->name == name)
            return b;
    return nullptr;
}

/* The text bound, read now (binds are by reference), in place: its start
 * and length; false for NULL. */
bool boundText(const OCIBind *b, const char **text, size_t *len)
{
    if ((b->ind != nullptr && *b->ind < 0) || b->value == nullptr)
        return false;
    *text = static_cast<const char *>(b->value);
    *len = strnlen(*text, (size_t)b->size);
    return true;
}

/* The value bound, copied; false for NULL. */
bool boundValue(const OCIBind *b, std::string &out)
{
    const char *p;
    size_t len;

    if (!boundText(b, &p, &len))
        return false;
    out.assign(p, len);
    return true;
}

/* ---- SQLite ---- */

/* Relative names live in the product's data folder when SM_HOME is set. */
std::string sqlitePath(const std::string &dataSource)
{
    if (dataSource[0] == '/')
        return dataSource;
    const char *home = getenv("SM_HOME");
    if (home != nullptr && *home != '\0')
        return std::string(home) + "/data/" + dataSource;
    return dataSource;
}

bool liteOpen(OCISvcCtx *svc, const std::string &dataSource, Diags &d)
{
    std::string path = sqlitePath(dataSource);
    sqlite3 *db = nullptr;
    /* Never create: a mistyped data source must fail like an unknown one. */
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, SQLITE_BUSY_MS);
        /* A file that is not a database fails here rather than at the first insert. */
        rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) {
        if (db != nullptr)
            liteDiag(d, db, " (" + path + ")");
        else
            addDiag(d, rc, "SQLite error " + std::to_string(rc) + ": " + sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        return false;
    }
    svc->lite = db;
    liveConnections++;
    return true;
}

void liteRollback(sqlite3 *db)
{
    if (!sqlite3_get_autocommit(db))
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
}

/* Runs a statement of the client's own; its failure is recorded in d
 * when d is given. */
bool liteCommand(sqlite3 *db, const char *sql, Diags *d)
{
    bool ok = sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok && d != nullptr)
        liteDiag(*d, db);
    return ok;
}

/* Binds every parameter of st by name; false (with a record) when one has
 * no bind or is not a ":name" parameter. */
bool liteBindAll(sqlite3_stmt *st, OCIStmt *stmt, Diags &d)
{
    for (int i = 1; i <= sqlite3_bind_parameter_count(st); i++) {
        const char *name = sqlite3_bind_parameter_name(st, i);
        OCIBind *b = name != nullptr && name[0] == ':'
                         ? findBind(stmt, ocisql::normaliseName(name, strlen(name)))
                         : nullptr;
        if (b == nullptr) {
            oraDiag(d, 1008, std::string("not all variables bound (") + (name ? name : "?") + ")");
            return false;
        }
        /* SQLite keeps text in UTF-8: bytes that are not are replaced, as
         * a client converting into the database's character set does. */
        std::string value;
        int rc = boundValue(b, value)
                     ? sqlite3_bind_text(st, i, ocitext::validUtf8(value).c_str(), -1,
                                         SQLITE_TRANSIENT)
                     : sqlite3_bind_null(st, i);
        if (rc != SQLITE_OK) {
            liteDiag(d, sqlite3_db_handle(st));
            return false;
        }
    }
    return true;
}

/* A second statement after the first is refused, as Oracle refuses it:
 * one text, one statement. */
bool liteHasMore(sqlite3 *db, const char *tail, const char *end)
{
    sqlite3_stmt *next = nullptr;
    int rc = sqlite3_prepare_v2(db, tail, (int)(end - tail), &next, nullptr);
    sqlite3_finalize(next);
    return rc != SQLITE_OK || next != nullptr;
}

/* Prepares, binds and steps the statement to its end; no transaction
 * handling. */
bool liteRun(sqlite3 *db, OCIStmt *stmt, Diags &d)
{
    const std::string &text = stmt->text;
    sqlite3_stmt *st = nullptr;
    const char *tail = nullptr;
    if (sqlite3_prepare_v2(db, text.data(), (int)text.size(), &st, &tail) != SQLITE_OK) {
        liteDiag(d, db);
        return false;
    }
    if (st == nullptr) {
        oraDiag(d, 900, "invalid SQL statement");
        return false;
    }
    if (liteHasMore(db, tail, text.data() + text.size())) {
        sqlite3_finalize(st);
        oraDiag(d, 911, "invalid character: more than one statement");
        return false;
    }
    bool ok = liteBindAll(st, stmt, d);
    if (ok) {
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        }
        ok = rc == SQLITE_DONE;
        if (!ok)
            liteDiag(d, db);
    }
    sqlite3_finalize(st);
    return ok;
}

/* A statement inside the open transaction (begun here if none is): a
 * savepoint around it undoes a failed statement alone, as Oracle does. */
bool liteInTransaction(sqlite3 *db, OCIStmt *stmt, Diags &d)
{
    if (sqlite3_get_autocommit(db) && !liteCommand(db, "BEGIN", &d))
        return false;
    if (!liteCommand(db, "SAVEPOINT kel_statement", &d))
        return false;
    bool ok = liteRun(db, stmt, d);
    if (!ok)
        liteCommand(db, "ROLLBACK TO kel_statement", nullptr);
    liteCommand(db, "RELEASE kel_statement", nullptr);
    return ok;
}

bool liteExecute(sqlite3 *db, OCIStmt *stmt, Diags &d, bool commit)
{
    bool ok;

    if (!commit || !sqlite3_get_autocommit(db)) {
        ok = liteInTransaction(db, stmt, d);
        if (!commit || !ok)
            return ok;
    } else {
        ok = liteRun(db, stmt, d);
    }
    /* Commit on success also ends a transaction the statement may have opened. */
    if (ok && !sqlite3_get_autocommit(db) && !liteCommand(db, "COMMIT", &d))
        ok = false;
    if (!ok)
        liteRollback(db);
    return ok;
}

/* ---- PostgreSQL ---- */

bool isPostgresUri(const std::string &dataSource)
{
    return dataSource.rfind("postgresql://", 0) == 0 || dataSource.rfind("postgres://", 0) == 0;
}

void ignoreNotice(void *, const char *) {}

/*
 * The data source without this client's own parameter call_timeout, which
 * libpq would refuse, and that parameter's value (PG_CALL_TIMEOUT when
 * absent). False when its value is not a whole number of seconds, 1 or more.
 */
bool pgSplitSource(const std::string &source, std::string &uri, int *callTimeout)
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
    liveConnections++;
    return true;
}

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

void pgResultDiag(Diags &d, PGconn *pg, const PGresult *r, const Deadline *dl = nullptr)
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

void rememberAbandoned(PGconn *pg);

/* The server did not answer in time: the connection is cut, so that
 * nothing more is read from it or sent on it, and the call fails. Its
 * backend is remembered, to be ended from the next connection (see
 * pgEndAbandoned). */
void pgGiveUp(PGconn *pg, Deadline &dl, Diags &d)
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
bool pgWaitSocket(PGconn *pg, short events, Deadline &dl, Diags &d)
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

/*
 * A commit in doubt. An INSERT runs as one implicit transaction that the
 * server commits after it has sent the row's transaction id back; when the
 * connection is lost after that and before the server's final answer, the
 * row may or may not be committed. The writer then retries the same event
 * on a new connection. Before running it, the same statement with the same
 * values asks the server what became of the first attempt, so a committed
 * row is not written twice.
 *
 * The transaction id alone does not answer that after a server crash. An
 * id is durable only once a WAL record carrying it reaches the disk; a
 * crash before then makes the restarted server hand the same id out again.
 * So txid_status may call the id "in the future" (never committed: insert
 * again), or report the fate of another client's transaction that reused
 * it. A commit of the row's own transaction is durable, so its id is never
 * reused; "committed" is therefore believed only when the row itself is
 * there: a visible row of the table written by that transaction id (xmin)
 * with exactly the statement's values. Anything else means the row was not
 * committed, and the statement runs again.
 *
 * The row lookup needs SELECT on the table. Without it (or for a statement
 * whose shape the lookup cannot mirror) a "committed" answer cannot be
 * checked, and the row is inserted again: an audit trail may then hold a
 * duplicate after a crash, never lose a row.
 */
struct InDoubt {
    bool set = false;
    std::string server; /* host:port/database/user */
    std::string sql;
    std::vector<std::string> values;
    std::vector<bool> present;
    std::string txid;
};
std::mutex inDoubtLock;
InDoubt inDoubt;
std::atomic<long> loseAcks{0};    /* test control: answers to drop after a commit */
std::atomic<long> loseCommits{0}; /* test control: connections to drop before a commit */

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

void rememberAbandoned(PGconn *pg)
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

bool isPlainInsert(const std::string &sql)
{
    size_t i = sql.find_first_not_of(" \t\r\n");
    if (i == std::string::npos || strncasecmp(sql.c_str() + i, "INSERT", 6) != 0)
        return false;
    for (size_t j = 0; j + 9 <= sql.size(); j++)
        if (strncasecmp(sql.c_str() + j, "RETURNING", 9) == 0)
            return false;
    return true;
}

/* What the server says of a transaction id: "committed", "aborted",
 * "in progress", "future" (never handed out, or not since the last crash),
 * "" when it no longer knows; false when it could not answer. */
bool pgTxidFate(PGconn *pg, const std::string &txid, std::string &fate, Deadline &dl, Diags &d)
{
    const char *param[] = {txid.c_str()};
    PGresult *r = pgQuery(pg, "SELECT txid_status($1::bigint)", 1, param, dl, d);
    bool answered = r != nullptr && PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1;
    const char *state = r != nullptr ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    if (answered)
        fate = PQgetisnull(r, 0, 0) ? "" : PQgetvalue(r, 0, 0);
    else if (state != nullptr && strcmp(state, "22023") == 0 && PQstatus(pg) == CONNECTION_OK)
        fate = "future", answered = true; /* "transaction ID ... is in the future" */
    else
        pgResultDiag(d, pg, r, &dl);
    PQclear(r);
    return answered;
}

/* 1: a row of the statement written by transaction txid is there; 0: it
 * is not, or that cannot be checked (no SELECT right, another shape of
 * statement); -1: the connection failed (the diagnostic says why). */
int pgRowOfTxid(PGconn *pg, const InDoubt &was, Deadline &dl, Diags &d)
{
    std::string sql = ocisql::rowLookup(was.sql, (int)was.values.size() + 1);
    if (sql.empty())
        return 0;
    std::string xmin = std::to_string(strtoull(was.txid.c_str(), nullptr, 10) & 0xffffffffULL);
    std::vector<const char *> params;
    for (size_t i = 0; i < was.values.size(); i++)
        params.push_back(was.present[i] ? was.values[i].c_str() : nullptr);
    params.push_back(xmin.c_str());
    PGresult *r = pgQuery(pg, sql.c_str(), (int)params.size(), params.data(), dl, d);
    bool answered = r != nullptr && PQresultStatus(r) == PGRES_TUPLES_OK;
    int found = answered && PQntuples(r) > 0 ? 1 : 0;
    if (!answered && PQstatus(pg) != CONNECTION_OK) {
        pgResultDiag(d, pg, r, &dl);
        found = -1;
    }
    PQclear(r);
    return found;
}

/* 1: this statement's earlier attempt committed; 0: it did not, or nothing
 * is in doubt; -1: the server cannot tell yet (the diagnostic says why). */
int pgResolveInDoubt(PGconn *pg, const InDoubt &now, Deadline &dl, Diags &d)
{
    InDoubt was;
    {
        std::lock_guard<std::mutex> hold(inDoubtLock);
        if (!inDoubt.set || inDoubt.server != now.server)
            return 0;
        was = inDoubt;
        if (was.sql != now.sql || was.values != now.values || was.present != now.present) {
            inDoubt.set = false; /* another statement: that attempt was given up */
            return 0;
        }
    }
    std::string fate;
    if (!pgTxidFate(pg, was.txid, fate, dl, d))
        return -1;
    if (fate == "in progress") {
        pgDiag(d, "40001", "transaction " + was.txid + " of an earlier attempt is still in progress");
        return -1;
    }
    int committed = fate == "committed" ? pgRowOfTxid(pg, was, dl, d) : 0;
    if (committed < 0)
        return -1;
    std::lock_guard<std::mutex> hold(inDoubtLock);
    inDoubt.set = false;
    return committed;
}

/* Runs a statement other than an INSERT as its own transaction. */
bool pgStatement(PGconn *pg, const std::string &sql, const std::vector<const char *> &values,
                 Deadline &dl, Diags &d)
{
    PGresult *r = pgQuery(pg, sql.c_str(), (int)values.size(), values.data(), dl, d);
    ExecStatusType status = r != nullptr ? PQresultStatus(r) : PGRES_FATAL_ERROR;
    bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (!ok)
        pgResultDiag(d, pg, r, &dl);
    PQclear(r);
    return ok;
}

/*
 * Runs an INSERT as one implicit transaction, in one pipeline: the INSERT
 * returning its transaction id, a flush, and the sync at which the server
 * commits. The flush makes the server send the id before it commits, so
 * whenever the commit may have happened the id is known (see InDoubt). One
 * round trip and one statement, like a plain INSERT. With dropBeforeCommit
 * (a test control) the connection is cut once the id has arrived, before
 * the sync is sent: the row is never committed.
 */
bool pgInsert(PGconn *pg, const std::string &sql, const std::vector<const char *> &values,
              std::string &txid, Deadline &dl, Diags &d, bool dropBeforeCommit)
{
    size_t end = sql.find_last_not_of(" \t\r\n;"); /* a trailing ";" ends the text */
    std::string run = sql.substr(0, end == std::string::npos ? 0 : end + 1) + " RETURNING txid_current()";
    bool sent = PQenterPipelineMode(pg) == 1 &&
                PQsendQueryParams(pg, run.c_str(), (int)values.size(), nullptr, values.data(),
                                  nullptr, nullptr, 0) == 1 &&
                PQsendFlushRequest(pg) == 1 && (dropBeforeCommit || PQpipelineSync(pg) == 1) &&
                pgFlush(pg, dl, d);
    bool ok = sent;
    if (!sent)
        pgResultDiag(d, pg, nullptr, &dl);
    /* The INSERT's results end with a null; the sync (the commit) ends the
     * pipeline. A lost connection ends it too. */
    for (int nulls = 0; sent && nulls < 4;) {
        PGresult *r = pgNextResult(pg, dl, d);
        if (r == nullptr) {
            if (PQstatus(pg) != CONNECTION_OK)
                break;
            nulls++;
            continue;
        }
        ExecStatusType status = PQresultStatus(r);
        if (status == PGRES_TUPLES_OK && PQntuples(r) == 1 && PQnfields(r) == 1 && txid.empty()) {
            txid = PQgetvalue(r, 0, 0);
        } else if (status == PGRES_FATAL_ERROR) {
            if (ok)
                pgResultDiag(d, pg, r, &dl);
            ok = false;
        } else if (status == PGRES_PIPELINE_ABORTED) {
            ok = false;
        }
        PQclear(r);
        if (status == PGRES_PIPELINE_SYNC || PQstatus(pg) != CONNECTION_OK)
            break;
        if (dropBeforeCommit && !txid.empty()) {
            shutdown(PQsocket(pg), SHUT_RDWR);
            pgDiag(d, "08006", "connection lost before the commit was sent (test control)");
            ok = false;
            break;
        }
    }
    if (PQstatus(pg) != CONNECTION_OK) {
        if (ok)
            pgResultDiag(d, pg, nullptr, &dl);
        ok = false;
    } else {
        PQexitPipelineMode(pg);
    }
    return ok;
}

bool pgInTransaction(PGconn *pg)
{
    PGTransactionStatusType tx = PQtransactionStatus(pg);
    return tx == PQTRANS_INTRANS || tx == PQTRANS_INERROR;
}

/* A statement inside the open transaction (begun here if none is), in a
 * savepoint: a failed statement is undone alone, as Oracle does, instead
 * of aborting the whole transaction. Nothing commits here unless commit
 * is set, so no commit can be in doubt but that final one. */
bool pgInOpenTransaction(PGconn *pg, const std::string &sql, const std::vector<const char *> &values,
                         bool commit, Deadline &dl, Diags &d)
{
    if (!pgInTransaction(pg) && !pgCommand(pg, "BEGIN", dl, &d))
        return false;
    if (!pgCommand(pg, "SAVEPOINT kel_statement", dl, &d))
        return false;
    bool ok = pgStatement(pg, sql, values, dl, d);
    if (PQstatus(pg) != CONNECTION_OK)
        return false;
    pgCommand(pg, ok ? "RELEASE SAVEPOINT kel_statement" : "ROLLBACK TO SAVEPOINT kel_statement", dl,
              nullptr);
    if (ok && commit && !pgCommand(pg, "COMMIT", dl, &d)) {
        if (PQstatus(pg) == CONNECTION_OK && pgInTransaction(pg))
            pgCommand(pg, "ROLLBACK", dl, nullptr);
        ok = false;
    }
    return ok;
}

bool pgExecute(OCISvcCtx *svc, OCIStmt *stmt, Diags &d, bool commit)
{
    PGconn *pg = svc->pg;
    Deadline dl(svc->callTimeout);
    std::vector<std::string> names;
    std::string sql = ocisql::toNumbered(stmt->text, stmt->places, names);
    /* Texts go to the server in its character set, converted as a real
     * client converts them: what the database cannot hold is replaced. */
    std::string encoding = pg_encoding_to_char(PQclientEncoding(pg));
    InDoubt now;
    now.server = pgServer(pg);
    now.sql = sql;
    now.values.resize(names.size());
    now.present.resize(names.size());
    std::vector<const char *> values(names.size(), nullptr);
    for (size_t i = 0; i < names.size(); i++) {
        now.present[i] = boundValue(findBind(stmt, names[i]), now.values[i]);
        if (now.present[i]) {
            now.values[i] = ocitext::toEncoding(now.values[i], encoding);
            values[i] = now.values[i].c_str();
        }
    }
    if (!commit || pgInTransaction(pg))
        return pgInOpenTransaction(pg, sql, values, commit, dl, d);

    if (pgEndAbandoned(pg, now.server, dl, d) < 0)
        return false;
    int resolved = pgResolveInDoubt(pg, now, dl, d);
    if (resolved != 0)
        return resolved > 0; /* committed before: the row is there already */

    /* Extended protocol: one statement per text, values never spliced in. */
    bool insert = isPlainInsert(sql);
    std::string txid;
    bool dropBeforeCommit = insert && loseCommits.load() > 0 && loseCommits.fetch_sub(1) > 0;
    bool ok = insert ? pgInsert(pg, sql, values, txid, dl, d, dropBeforeCommit)
                     : pgStatement(pg, sql, values, dl, d);
    if (ok && !txid.empty() && loseAcks.load() > 0 && loseAcks.fetch_sub(1) > 0) {
        /* Test control: the commit went through, its answer is "lost". */
        shutdown(PQsocket(pg), SHUT_RDWR);
        pgDiag(d, "08006", "connection lost before the commit was confirmed (test control)");
        ok = false;
    }
    if (!ok && !txid.empty()) {
        now.txid = txid;
        now.set = true;
        std::lock_guard<std::mutex> hold(inDoubtLock);
        inDoubt = now;
    }
    if (ok) {
        PGTransactionStatusType tx = PQtransactionStatus(pg);
        if (tx == PQTRANS_INTRANS)
            ok = pgCommand(pg, "COMMIT", dl, &d);
    } else if (PQstatus(pg) == CONNECTION_OK) {
        PGTransactionStatusType tx = PQtransactionStatus(pg);
        if (tx == PQTRANS_INTRANS || tx == PQTRANS_INERROR)
            pgCommand(pg, "ROLLBACK", dl, nullptr);
    }
    return ok;
}

/* ---- the end of a transaction ---- */

/* Ends the connection's open transaction, if any: commits it or rolls it
 * back. False (with a record) when that fails. */
bool endTransaction(OCISvcCtx *svc, bool commit, Diags &d)
{
    if (svc->lite != nullptr) {
        if (sqlite3_get_autocommit(svc->lite))
            return true;
        if (liteCommand(svc->lite, commit ? "COMMIT" : "ROLLBACK", &d))
            return true;
        liteRollback(svc->lite);
        return false;
    }
    if (svc->pg == nullptr || !pgInTransaction(svc->pg))
        return true;
    Deadline dl(svc->callTimeout);
    return pgCommand(svc->pg, commit ? "COMMIT" : "ROLLBACK", dl, &d);
}

/* ---- argument checks shared by the statement calls ---- */

/* The statement's first placeholder without a bind, or "". */
std::string firstUnbound(OCIStmt *stmt)
{
    for (const ocisql::Placeholder &p : stmt->places)
        if (findBind(stmt, p.name) == nullptr)
            return p.name;
    return "";
}

bool checkExecuteArgs(OCIStmt *stmt, ub4 iters, ub4 rowoff, ub4 mode, Diags &d)
{
    if (!stmt->prepared) {
        oraDiag(d, 24337, "statement handle not prepared");
        return false;
    }
    if (iters == 0) {
        oraDiag(d, 24333, "zero iteration count");
        return false;
    }
    if (iters != 1 || rowoff != 0) {
        oraDiag(d, 3001, "unimplemented feature: array execute (iters 1, row offset 0 only)");
        return false;
    }
    if (mode != OCI_COMMIT_ON_SUCCESS && mode != OCI_DEFAULT) {
        oraDiag(d, 3001, "unimplemented feature: execute mode " + std::to_string(mode) +
                             " (OCI_COMMIT_ON_SUCCESS or OCI_DEFAULT only)");
        return false;
    }
    std::string unbound = firstUnbound(stmt);
    if (!unbound.empty()) {
        oraDiag(d, 1008, "not all variables bound (:" + unbound + ")");
        return false;
    }
    return true;
}

bool checkBindArgs(OCIStmt *stmt, const std::string &name, sb4 value_sz, ub2 dty, ub2 *alenp,
                   ub2 *rcodep, ub4 maxarr_len, ub4 *curelep, ub4 mode, Diags &d)
{
    if (!stmt->prepared) {
        oraDiag(d, 24337, "statement handle not prepared");
        return false;
    }
    bool known = false;
    for (const ocisql::Placeholder &p : stmt->places)
        known = known || p.name == name;
    if (!known) {
        oraDiag(d, 1036, "illegal variable name/number (:" + name + ")");
        return false;
    }
    if (dty != SQLT_STR) {
        oraDiag(d, 3001, "unimplemented feature: data type " + std::to_string(dty) +
                             " (SQLT_STR only)");
        return false;
    }
    if (value_sz < 0) {
        oraDiag(d, 1459, "invalid length for variable character string");
        return false;
    }
    if (alenp != nullptr || rcodep != nullptr || maxarr_len != 0 || curelep != nullptr ||
        mode != OCI_DEFAULT) {
        oraDiag(d, 3001, "unimplemented feature: array, length or return-code binds, bind modes");
        return false;
    }
    return true;
}

} // namespace

/* ---- the OCI calls ---- */

/* Memory callbacks are accepted and not used. */
sword OCIEnvCreate(OCIEnv **envhpp, ub4 mode, const void *, void *(*)(void *, size_t),
                   void *(*)(void *, void *, size_t), void (*)(void *, void *), size_t xtramem_sz,
                   void **usrmempp)
{
    countCall(ENVCREATE);
    if (envhpp == nullptr)
        return OCI_INVALID_HANDLE;
    *envhpp = nullptr;
    if (usrmempp != nullptr)
        *usrmempp = nullptr;
    return guarded([&]() -> sword {
        sword injected = takeInjected(ENVCREATE);
        if (isFailure(injected) && injected != OCI_ERROR)
            return injected;
        OCIEnv *env = create<OCIEnv>(nullptr, OCI_HTYPE_ENV);
        *envhpp = env;
        /* The environment is handed out even on failure: it holds the
         * record, and the caller frees it. */
        if (injected == OCI_ERROR)
            return injectedFailure(ENVCREATE, injected, &env->diags);
        if ((mode & ~(ub4)(OCI_THREADED | OCI_OBJECT | OCI_NO_MUTEX)) != 0) {
            oraDiag(env->diags, 24300, "bad value for mode " + std::to_string(mode));
            return OCI_ERROR;
        }
        giveUserMemory(env, xtramem_sz, usrmempp);
        return withInjectedInfo(ENVCREATE, injected, OCI_SUCCESS, &env->diags);
    });
}

sword OCIHandleAlloc(const void *parenth, void **hndlpp, ub4 type, size_t xtramem_sz,
                     void **usrmempp)
{
    countCall(HANDLEALLOC);
    OCIEnv *env = live<OCIEnv>(parenth, OCI_HTYPE_ENV);
    if (env == nullptr || hndlpp == nullptr)
        return OCI_INVALID_HANDLE;
    return guarded([&]() -> sword {
        std::lock_guard<std::mutex> hold(env->lock);
        env->diags.clear();
        *hndlpp = nullptr;
        sword injected = takeInjected(HANDLEALLOC);
        if (isFailure(injected))
            return injectedFailure(HANDLEALLOC, injected, &env->diags);
        Handle *h;
        if (type == OCI_HTYPE_ERROR)
            h = create<OCIError>(env, type);
        else if (type == OCI_HTYPE_STMT)
            h = create<OCIStmt>(env, type);
        else {
            oraDiag(env->diags, 21560,
                    "argument 3 is null, invalid, or out of range (handle type " +
                        std::to_string(type) + ")");
            return OCI_ERROR;
        }
        giveUserMemory(h, xtramem_sz, usrmempp);
        *hndlpp = h->self;
        return withInjectedInfo(HANDLEALLOC, injected, OCI_SUCCESS, &env->diags);
    });
}

/* Bind handles go with their statement; they cannot be freed alone. */
sword OCIHandleFree(void *hndlp, ub4 type)
{
    countCall(HANDLEFREE);
    if (hndlp == nullptr || type == OCI_HTYPE_BIND || liveType(hndlp) != type)
        return OCI_INVALID_HANDLE;
    return guarded([&]() -> sword {
        Handle *h = asHandle(hndlp, type);
        OCIEnv *env = type == OCI_HTYPE_ENV ? static_cast<OCIEnv *>(hndlp) : h->env;
        sword injected = takeInjected(HANDLEFREE);
        if (isFailure(injected)) {
            std::lock_guard<std::mutex> hold(env->lock);
            return injectedFailure(HANDLEFREE, injected, &env->diags);
        }
        if (type == OCI_HTYPE_ENV)
            freeEnv(env);
        else
            freeChild(h);
        return injected;
    });
}

sword OCILogon(OCIEnv *envhp, OCIError *errhp, OCISvcCtx **svchp, const OraText *username,
               ub4 uname_len, const OraText *password, ub4 passwd_len, const OraText *dbname,
               ub4 dbname_len)
{
    countCall(LOGON);
    OCIEnv *env = live<OCIEnv>(envhp, OCI_HTYPE_ENV);
    OCIError *err = live<OCIError>(errhp, OCI_HTYPE_ERROR);
    if (env == nullptr || err == nullptr || err->env != env || svchp == nullptr)
        return OCI_INVALID_HANDLE;
    return guarded([&]() -> sword {
        std::lock_guard<std::mutex> hold(env->lock);
        err->diags.clear();
        *svchp = nullptr;
        sword injected = takeInjected(LOGON);
        if (isFailure(injected))
            return injectedFailure(LOGON, injected, &err->diags);
        if ((username == nullptr && uname_len > 0) || (password == nullptr && passwd_len > 0) ||
            dbname == nullptr || dbname_len == 0 || memchr(dbname, 0, dbname_len) != nullptr) {
            oraDiag(err->diags, 12162, "TNS:net service name is incorrectly specified");
            return OCI_ERROR;
        }
        std::string user(reinterpret_cast<const char *>(username), username ? uname_len : 0);
        std::string pass(reinterpret_cast<const char *>(password), password ? passwd_len : 0);
        std::string source(reinterpret_cast<const char *>(dbname), dbname_len);

        OCISvcCtx *svc = create<OCISvcCtx>(env, OCI_HTYPE_SVCCTX);
        bool ok = isPostgresUri(source) ? pgOpen(svc, source, user, pass, err->diags)
                                        : liteOpen(svc, source, err->diags);
        if (!ok) {
            env->children.erase(svc);
            destroyChild(svc);
            return OCI_ERROR;
        }
        *svchp = svc;
        return withInjectedInfo(LOGON, injected, OCI_SUCCESS, &err->diags);
    });
}

sword OCILogoff(OCISvcCtx *svchp, OCIError *errhp)
{
    countCall(LOGOFF);
    OCISvcCtx *svc = live<OCISvcCtx>(svchp, OCI_HTYPE_SVCCTX);
    OCIError *err = live<OCIError>(errhp, OCI_HTYPE_ERROR);
    if (svc == nullptr || err == nullptr || err->env != svc->env)
        return OCI_INVALID_HANDLE;
    return guarded([&]() -> sword {
        std::lock_guard<std::mutex> hold(svc->env->lock);
        err->diags.clear();
        sword injected = takeInjected(LOGOFF);
        if (isFailure(injected))
            return injectedFailure(LOGOFF, injected, &err->diags);
        /* Ending the session commits what is open, as Oracle does. */
        bool committed = endTransaction(svc, true, err->diags);
        svc->env->children.erase(svc);
        destroyChild(svc);
        return withInjectedInfo(LOGOFF, injected, committed ? OCI_SUCCESS : OCI_ERROR, &err->diags);
    });
}

sword OCITransRollback(OCISvcCtx *svchp, OCIError *errhp, ub4 flags)
{
    countCall(ROLLBACK);
    OCISvcCtx *svc = live<OCISvcCtx>(svchp, OCI_HTYPE_SVCCTX);
    OCIError *err = live<OCIError>(errhp, OCI_HTYPE_ERROR);
    if (svc == nullptr || err == nullptr || err->env != svc->env)
        return OCI_INVALID_HANDLE;
    return guarded([&]() -> sword {
        std::lock_guard<std::mutex> hold(svc->env->lock);
        err->diags.clear();
        sword injected = takeInjected(ROLLBACK);
        if (isFailure(injected))
            return injectedFailure(ROLLBACK, injected, &err->diags);
        if (flags != OCI_DEFAULT) {
            oraDiag(err->diags, 3001, "unimplemented feature: rollback flags " + std::to_string(flags));
            return OCI_ERROR;
        }
        bool ok = endTransaction(svc, false, err->diags);
        return withInjectedInfo(ROLLBACK, injected, ok ? OCI_SUCCESS : OCI_ERROR, &err->diags);
    });
}

/* Preparing parses nothing on the server (as with Oracle): the text is
 * checked when it is executed. Binds of an earlier prepare are dropped. */
sword OCIStmtPrepare(OCIStmt *stmtp, OCIError *errhp, const OraText *stmt, ub4 stmt_len,
                     ub4 language, ub4 mode)
{
    countCall(PREPARE);
    OCIStmt *st = live<OCIStmt>(stmtp, OCI_HTYPE_STMT);
    OCIError *err = live<OCIError>(errhp, OCI_HTYPE_ERROR);
    if (st == nullptr || err == nullptr || err->env != st->env)
        return OCI_INVALID_HANDLE;
    return guarded([&]() -> sword {
        std::lock_guard<std::mutex> hold(st->env->lock);
        err->diags.clear();
        sword injected = takeInjected(PREPARE);
        if (isFailure(injected))
            return injectedFailure(PREPARE, injected, &err->diags);
        freeBinds(st);
        st->prepared = false;
        if (stmt == nullptr || stmt_len == 0 || stmt_len > INT_MAX) {
            oraDiag(err->diags, 900, "invalid SQL statement");
            return OCI_ERROR;
        }
        if (memchr(stmt, 0, stmt_len) != nullptr) {
            oraDiag(err->diags, 911, "invalid character (NUL in statement text)");
            return OCI_ERROR;
        }
        if (language < OCI_NTV_SYNTAX || language > OCI_V8_SYNTAX || mode != OCI_DEFAULT) {
            oraDiag(err->diags, 21560, "argument 5 or 6 is null, invalid, or out of range");
            return OCI_ERROR;
        }
        if (st->text.size() != stmt_len || memcmp(st->text.data(), stmt, stmt_len) != 0) {
            st->places.clear();
            st->text.assign(reinterpret_cast<const char *>(stmt), stmt_len);
            st->places = ocisql::findPlaceholders(st->text);
        }
        st->prepared = true;
        return withInjectedInfo(PREPARE, injected, OCI_SUCCESS, &err->diags);
    });
}

/* One bind per placeholder name: binding a name again replaces its value
 * and hands back the same bind handle. *bindpp is only written. */
sword OCIBindByName(OCIStmt *stmtp, OCIBind **bindpp, OCIError *errhp,
                    const OraText *placeholder, sb4 placeh_len, void *valuep, sb4 value_sz,
                    ub2 dty, void *indp, ub2 *alenp, ub2 *rcodep, ub4 maxarr_len, ub4 *curelep,
                    ub4 mode)
{
    countCall(BIND);
    OCIStmt *st = live<OCIStmt>(stmtp, OCI_HTYPE_STMT);
    OCIError *err = live<OCIError>(errhp, OCI_HTYPE_ERROR);
    if (st == nullptr || err == nullptr || err->env != st->env || bindpp == nullptr)
        return OCI_INVALID_HANDLE;
    return guarded([&]() -> sword {
        std::lock_guard<std::mutex> hold(st->env->lock);
        err->diags.clear();
        sword injected = takeInjected(BIND);
        if (isFailure(injected))
            return injectedFailure(BIND, injected, &err->diags);
        std::string name = placeholder != nullptr && placeh_len > 0
                               ? ocisql::normaliseName(
                                     reinterpret_cast<const char *>(placeholder), (size_t)placeh_len)
                               : "";
        if (!checkBindArgs(st, name, value_sz, dty, alenp, rcodep, maxarr_len, curelep, mode,
                           err->diags))
            return OCI_ERROR;
        OCIBind *b = findBind(st, name);
        if (b == nullptr) {
            b = create<OCIBind>(st->env, OCI_HTYPE_BIND);
            b->name = name;
            try {
                st->binds.push_back(b);
            } catch (...) {
                delist(b->self);
                delete b;
                throw;
            }
        }
        b->value = valuep;
        b->size = value_sz;
        b->ind = static_cast<const sb2 *>(indp);
        *bindpp = b;
        return withInjectedInfo(BIND, injected, OCI_SUCCESS, &err->diags);
    });
}

sword OCIStmtExecute(OCISvcCtx *svchp, OCIStmt *stmtp, OCIError *errhp, ub4 iters, ub4 rowoff,
                     const OCISnapshot *, OCISnapshot *, ub4 mode)
{
    countCall(EXECUTE);
    OCISvcCtx *svc = live<OCISvcCtx>(svchp, OCI_HTYPE_SVCCTX);
    OCIStmt *st = live<OCIStmt>(stmtp, OCI_HTYPE_STMT);
    OCIError *err = live<OCIError>(errhp, OCI_HTYPE_ERROR);
    if (svc == nullptr || st == nullptr || err == nullptr || st->env != svc->env ||
        err->env != svc->env)
        return OCI_INVALID_HANDLE;
    return guarded([&]() -> sword {
        std::lock_guard<std::mutex> hold(svc->env->lock);
        err->diags.clear();
        sword injected = takeInjected(EXECUTE);
        if (isFailure(injected))
            return injectedFailure(EXECUTE, injected, &err->diags);
        if (!checkExecuteArgs(st, iters, rowoff, mode, err->diags))
            return OCI_ERROR;
        bool commit = mode == OCI_COMMIT_ON_SUCCESS;
        bool ok = svc->lite != nullptr ? liteExecute(svc->lite, st, err->diags, commit)
                                       : pgExecute(svc, st, err->diags, commit);
        return withInjectedInfo(EXECUTE, injected, ok ? OCI_SUCCESS : OCI_ERROR, &err->diags);
    });
}

/* Reading records changes nothing; sqlstate is not used (as with Oracle). */
sword OCIErrorGet(void *hndlp, ub4 recordno, OraText *, sb4 *errcodep, OraText *bufp,
                  ub4 bufsiz, ub4 type)
{
    countCall(ERRORGET);
    OCIEnv *env = nullptr;
    Diags *diags = nullptr;
    if (type == OCI_HTYPE_ERROR) {
        OCIError *err = live<OCIError>(hndlp, OCI_HTYPE_ERROR);
        if (err != nullptr) {
            env = err->env;
            diags = &err->diags;
        }
    } else if (type == OCI_HTYPE_ENV) {
        env = live<OCIEnv>(hndlp, OCI_HTYPE_ENV);
        if (env != nullptr)
            diags = &env->diags;
    }
    if (env == nullptr)
        return OCI_INVALID_HANDLE;
    std::lock_guard<std::mutex> hold(env->lock);
    sword injected = takeInjected(ERRORGET);
    if (isFailure(injected))
        return injected;
    if (recordno < 1 || recordno > diags->size())
        return OCI_NO_DATA;
    const Diag &d = (*diags)[recordno - 1];
    if (errcodep != nullptr)
        *errcodep = d.code;
    if (bufp != nullptr && bufsiz > 0)
        copyCut(bufp, bufsiz, d.text);
    return injected;
}

/* ---- test controls ---- */

int ociStandinFail(const char *function, int status, int count)
{
    int f = fnByName(function);
    if (f < 0)
        return 0;
    std::lock_guard<std::mutex> hold(controlLock);
    controls[f].status = status;
    controls[f].remaining = count > 0 ? count : 0;
    return 1;
}

void ociStandinLoseAcks(int count)
{
    loseAcks.store(count > 0 ? count : 0);
}

void ociStandinLoseCommits(int count)
{
    loseCommits.store(count > 0 ? count : 0);
}

int ociStandinForgeInDoubt(const char *txid)
{
    std::lock_guard<std::mutex> hold(inDoubtLock);
    if (!inDoubt.set || txid == nullptr)
        return 0;
    inDoubt.txid = txid;
    return 1;
}

void ociStandinReset(void)
{
    std::lock_guard<std::mutex> hold(controlLock);
    for (Control &c : controls)
        c = Control();
    loseAcks.store(0);
    loseCommits.store(0);
}

long ociStandinCalls(const char *function)
{
    int f = fnByName(function);
    if (f < 0)
        return -1;
    std::lock_guard<std::mutex> hold(controlLock);
    return controls[f].calls;
}

long ociStandinLiveHandles(void)
{
    std::lock_guard<std::mutex> hold(registryLock);
    return (long)registry.size();
}

long ociStandinLiveConnections(void)
{
    return liveConnections.load();
}
