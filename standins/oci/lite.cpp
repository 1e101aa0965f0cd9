/*
 * lite.cpp - the SQLite back end of the stand-in libclntsh: a data source
 * that is not a PostgreSQL URI names an existing database file. Statements
 * are compiled with their ":name" placeholders as SQLite's own; a failed
 * statement inside an open transaction is undone alone through a
 * savepoint, as Oracle undoes a failed statement.
 *
 * Threading: each connection is used under its environment's lock only
 * (opened without SQLite's own mutex).
 */
#include <stdlib.h>
#include <string.h>
#include <sqlite3.h>

#include "charset.h"
#include "standin.h"

namespace ocistandin {

static const int SQLITE_BUSY_MS = 5000;

static void liteDiag(Diags &d, sqlite3 *db, const std::string &suffix = "")
{
    int code = sqlite3_extended_errcode(db);
    addDiag(d, code, "SQLite error " + std::to_string(code) + ": " + sqlite3_errmsg(db) + suffix);
}

/* Relative names live in the product's data folder when SM_HOME is set. */
static std::string sqlitePath(const std::string &dataSource)
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

static void liteRollback(sqlite3 *db)
{
    if (!sqlite3_get_autocommit(db))
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
}

/* Runs a statement of the client's own; its failure is recorded in d
 * when d is given. */
static bool liteCommand(sqlite3 *db, const char *sql, Diags *d)
{
    bool ok = sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok && d != nullptr)
        liteDiag(*d, db);
    return ok;
}

/* The bind of each parameter of st, by name; false (with a record) when
 * one has no bind or is not a ":name" parameter. */
static bool liteBinds(sqlite3_stmt *st, OCIStmt *stmt, std::vector<OCIBind *> &binds, Diags &d)
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
        binds.push_back(b);
    }
    return true;
}

/* Binds row r's values to the parameters of st. */
static bool liteBindRow(sqlite3_stmt *st, const std::vector<OCIBind *> &binds, ub4 r, Diags &d)
{
    for (size_t i = 0; i < binds.size(); i++) {
        const char *text;
        size_t len;
        int rc;
        if (!boundText(binds[i], r, &text, &len))
            rc = sqlite3_bind_null(st, (int)i + 1);
        else if (ocitext::isValidUtf8(text, len))
            /* From the caller's buffer, which stays as it is for the whole
             * execute: the statement is finalized before it returns. */
            rc = sqlite3_bind_text(st, (int)i + 1, text, (int)len, SQLITE_STATIC);
        else
            /* SQLite keeps text in UTF-8: bytes that are not are replaced,
             * as a client converting into the database's character set
             * does. */
            rc = sqlite3_bind_text(st, (int)i + 1, ocitext::validUtf8(std::string(text, len)).c_str(), -1,
                                   SQLITE_TRANSIENT);
        if (rc != SQLITE_OK) {
            liteDiag(d, sqlite3_db_handle(st));
            return false;
        }
    }
    return true;
}

/* A second statement after the first is refused, as Oracle refuses it:
 * one text, one statement. */
static bool liteHasMore(sqlite3 *db, const char *tail, const char *end)
{
    sqlite3_stmt *next = nullptr;
    int rc = sqlite3_prepare_v2(db, tail, (int)(end - tail), &next, nullptr);
    sqlite3_finalize(next);
    return rc != SQLITE_OK || next != nullptr;
}

/* Binds row r and steps the statement to its end; counts the rows it
 * changed. */
static bool liteRow(sqlite3 *db, sqlite3_stmt *st, OCIStmt *stmt, const std::vector<OCIBind *> &binds, ub4 r,
                    Diags &d)
{
    sqlite3_reset(st);
    if (!liteBindRow(st, binds, r, d))
        return false;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) {
        liteDiag(d, db);
        return false;
    }
    if (!sqlite3_stmt_readonly(st))
        stmt->rowCount += (ub4)sqlite3_changes(db);
    return true;
}

/*
 * Compiles the statement and runs it for rows 0..iters-1, stopping at the
 * first that fails. With inTransaction a failed row is undone alone (as
 * Oracle undoes a failed statement) and the rows before it stay in the
 * open transaction: a single row runs in a savepoint; the rows of an array
 * rely on SQLite undoing a failed statement by itself, which it does for a
 * refused row (a failure that makes SQLite end the whole transaction, a
 * full disk say, leaves nothing, as a rollback would). Otherwise the one
 * row is its own transaction.
 */
static bool liteRun(sqlite3 *db, OCIStmt *stmt, ub4 iters, bool inTransaction, Diags &d)
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
    std::vector<OCIBind *> binds;
    bool ok = liteBinds(st, stmt, binds, d);
    bool savepoint = inTransaction && iters == 1;
    for (ub4 r = 0; ok && r < iters; r++) {
        if (savepoint && !liteCommand(db, "SAVEPOINT kel_statement", &d)) {
            ok = false;
            break;
        }
        ok = liteRow(db, st, stmt, binds, r, d);
        if (savepoint) {
            if (!ok)
                liteCommand(db, "ROLLBACK TO kel_statement", nullptr);
            liteCommand(db, "RELEASE kel_statement", nullptr);
        }
    }
    sqlite3_finalize(st);
    return ok;
}

bool liteExecute(sqlite3 *db, OCIStmt *stmt, ub4 iters, Diags &d, bool commit)
{
    bool ok;

    if (commit && iters == 1 && sqlite3_get_autocommit(db)) {
        ok = liteRun(db, stmt, 1, false, d); /* one row, its own transaction */
    } else {
        /* A failed row leaves the rows before it in the open transaction,
         * as with Oracle. */
        if (sqlite3_get_autocommit(db) && !liteCommand(db, "BEGIN", &d))
            return false;
        ok = liteRun(db, stmt, iters, true, d);
        if (!commit || !ok)
            return ok;
    }
    /* Commit on success also ends a transaction the statement may have opened. */
    if (ok && !sqlite3_get_autocommit(db) && !liteCommand(db, "COMMIT", &d))
        ok = false;
    if (!ok)
        liteRollback(db);
    return ok;
}

void liteClose(OCISvcCtx *svc)
{
    if (svc->lite != nullptr) {
        sqlite3_close_v2(svc->lite);
        svc->lite = nullptr;
        liveConnections--;
    }
}

bool liteEnd(sqlite3 *db, bool commit, Diags &d)
{
    if (sqlite3_get_autocommit(db))
        return true;
    if (liteCommand(db, commit ? "COMMIT" : "ROLLBACK", &d))
        return true;
    liteRollback(db);
    return false;
}

} // namespace ocistandin
