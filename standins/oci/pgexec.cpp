/*
 * pgexec.cpp - the PostgreSQL back end of the stand-in libclntsh, its
 * statement side: statements in the open transaction (each in a savepoint,
 * so a failed one is undone alone), and an INSERT run as its own
 * transaction in one round trip whose commit, when the connection is lost
 * at that moment, is settled by asking the server before the retry runs.
 *
 * Threading: a connection is used under its environment's lock only; the
 * commit in doubt has a short lock of its own.
 */
#include <deque>
#include <unordered_map>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>

#include "charset.h"
#include "pg.h"

namespace ocistandin {

namespace {

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
    size_t perRow = 0; /* values of one row; values holds every row's */
    std::vector<std::string> values;
    std::vector<bool> present;
    std::string txid;
};
std::mutex inDoubtLock;
InDoubt inDoubt;
std::atomic<long> loseAcks{0};    /* test control: answers to drop after a commit */

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

/* 1: a row of the statement written by transaction txid is there (for a
 * group, its first row: the group committed whole or not at all); 0: it
 * is not, or that cannot be checked (no SELECT right, another shape of
 * statement); -1: the connection failed (the diagnostic says why). */
int pgRowOfTxid(PGconn *pg, const InDoubt &was, Deadline &dl, Diags &d)
{
    std::string sql = ocisql::rowLookup(was.sql, (int)was.perRow + 1);
    if (sql.empty())
        return 0;
    std::string xmin = std::to_string(strtoull(was.txid.c_str(), nullptr, 10) & 0xffffffffULL);
    std::vector<const char *> params;
    for (size_t i = 0; i < was.perRow; i++)
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

/* The values of an execute as the server is sent them, one per bind and
 * row (NULL for a NULL): in the caller's buffers when a NUL ends them there
 * and they need no conversion, else converted copies kept in converted. */
struct SentValues {
    std::vector<const char *> values;
    std::deque<std::string> converted;
};

/* Texts go to the server in its character set, converted as a real client
 * converts them: what the database cannot hold is replaced. */
void pgSentValues(OCIStmt *stmt, const std::vector<std::string> &names, ub4 iters, const std::string &encoding,
                  SentValues &sent)
{
    bool raw = encoding == "SQL_ASCII", utf8 = encoding == "UTF8";
    std::vector<OCIBind *> binds;
    for (const std::string &name : names)
        binds.push_back(findBind(stmt, name));
    size_t all = names.size() * iters;
    sent.values.assign(all, nullptr);
    for (size_t i = 0; i < all; i++) {
        const char *text;
        size_t len;
        bool terminated;
        if (!boundText(binds[i % names.size()], (ub4)(i / names.size()), &text, &len, &terminated))
            continue;
        bool asIs = raw || (utf8 && ocitext::isValidUtf8(text, len));
        if (asIs && terminated) {
            sent.values[i] = text;
            continue;
        }
        std::string copy(text, len);
        sent.converted.push_back(asIs ? copy : ocitext::toEncoding(copy, encoding));
        sent.values[i] = sent.converted.back().c_str();
    }
}

/* now with a copy of the values sent, to be settled after a lost commit. */
void pgKeepValues(InDoubt &now, const std::vector<const char *> &values)
{
    now.values.resize(values.size());
    now.present.resize(values.size());
    for (size_t i = 0; i < values.size(); i++) {
        now.present[i] = values[i] != nullptr;
        now.values[i] = values[i] != nullptr ? values[i] : "";
    }
}

bool sameValues(const InDoubt &was, const std::vector<const char *> &values)
{
    if (was.values.size() != values.size())
        return false;
    for (size_t i = 0; i < values.size(); i++)
        if (was.present[i] != (values[i] != nullptr) || (values[i] != nullptr && was.values[i] != values[i]))
            return false;
    return true;
}

/* 1: this statement's earlier attempt committed; 0: it did not, or nothing
 * is in doubt; -1: the server cannot tell yet (the diagnostic says why). */
int pgResolveInDoubt(PGconn *pg, const InDoubt &now, const std::vector<const char *> &values, Deadline &dl,
                     Diags &d)
{
    InDoubt was;
    {
        std::lock_guard<std::mutex> hold(inDoubtLock);
        if (!inDoubt.set || inDoubt.server != now.server)
            return 0;
        was = inDoubt;
        if (was.sql != now.sql || !sameValues(was, values)) {
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

/* Runs one row of a statement (values of that row); adds the rows it
 * changed to *count. */
bool pgStatement(PGconn *pg, const std::string &sql, const char *const *values, int perRow,
                 ub4 *count, Deadline &dl, Diags &d)
{
    PGresult *r = pgQuery(pg, sql.c_str(), perRow, values, dl, d);
    ExecStatusType status = r != nullptr ? PQresultStatus(r) : PGRES_FATAL_ERROR;
    bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (!ok)
        pgResultDiag(d, pg, r, &dl);
    else
        *count += (ub4)strtoul(PQcmdTuples(r), nullptr, 10);
    PQclear(r);
    return ok;
}

/* Rows of one multi-row statement at most: a chunk of a group is a power
 * of two up to this, so a connection prepares a handful of sizes once. */
const ub4 CHUNK_ROWS_MAX = 512;
/* The server takes at most this many parameters in one statement. */
const size_t PG_PARAMS_MAX = 65535;
/* Multi-row statements kept prepared per connection; beyond them a chunk
 * is prepared unnamed each time. */
const size_t GROUP_STATEMENTS_MAX = 64;

/* Rows of the next chunk when left rows remain: the largest power of two
 * within left, CHUNK_ROWS_MAX and the server's parameter limit. */
ub4 chunkRows(ub4 left, int perRow)
{
    ub4 n = 1;
    while (n * 2 <= left && n * 2 <= CHUNK_ROWS_MAX && (size_t)n * 2 * (size_t)perRow <= PG_PARAMS_MAX)
        n *= 2;
    return n;
}

/* A command of an insert's pipeline, in the order it was sent; the results
 * come back in that order, each command's ending with a null. */
struct PipeCommand {
    enum Kind { TXID, PREPARE, ROWS, ROW_WITH_TXID } kind;
    std::string key, name; /* PREPARE: the cache entry its success adds */
};

/* Queues the query of the transaction's id, prepared on the connection
 * on its first use and kept, like the group statements. */
bool sendTxidQuery(OCISvcCtx *svc, std::vector<PipeCommand> &cmds)
{
    static const char *const TXID_SQL = "SELECT txid_current()";
    auto kept = svc->pgGroups.find(TXID_SQL);
    std::string name = kept != svc->pgGroups.end() ? kept->second : "kel_txid";
    bool sent = true;
    if (kept == svc->pgGroups.end()) {
        cmds.push_back({PipeCommand::PREPARE, TXID_SQL, name});
        sent = PQsendPrepare(svc->pg, name.c_str(), TXID_SQL, 0, nullptr) == 1;
    }
    cmds.push_back({PipeCommand::TXID, "", ""});
    return sent && PQsendQueryPrepared(svc->pg, name.c_str(), 0, nullptr, nullptr, nullptr, 0) == 1;
}

/* Queues a group's rows one statement each through one unnamed prepare, or
 * a single row returning its transaction's id. */
bool sendEachRow(PGconn *pg, const std::string &run, const std::vector<const char *> &values, int perRow,
                 ub4 iters, std::vector<PipeCommand> &cmds)
{
    if (iters == 1) {
        cmds.push_back({PipeCommand::ROW_WITH_TXID, "", ""});
        return PQsendQueryParams(pg, (run + " RETURNING txid_current()").c_str(), perRow, nullptr,
                                 values.data(), nullptr, nullptr, 0) == 1;
    }
    cmds.push_back({PipeCommand::TXID, "", ""});
    cmds.push_back({PipeCommand::PREPARE, "", ""});
    bool sent = PQsendQueryParams(pg, "SELECT txid_current()", 0, nullptr, nullptr, nullptr, nullptr, 0) == 1 &&
                PQsendPrepare(pg, "", run.c_str(), perRow, nullptr) == 1;
    for (ub4 r = 0; sent && r < iters; r++) {
        cmds.push_back({PipeCommand::ROWS, "", ""});
        sent = PQsendQueryPrepared(pg, "", perRow, values.data() + (size_t)r * perRow, nullptr, nullptr, 0) == 1;
    }
    return sent;
}

/* Queues a group as multi-row statements of chunkRows rows each, the
 * largest first, each size prepared on the connection on its first use and
 * kept: the server then parses and plans a size once, and runs a chunk as
 * one statement rather than one per row. */
bool sendInChunks(OCISvcCtx *svc, const OCIStmt *stmt, const std::string &sql,
                  const std::vector<const char *> &values, int perRow, ub4 iters, std::vector<PipeCommand> &cmds)
{
    PGconn *pg = svc->pg;
    bool sent = sendTxidQuery(svc, cmds);
    std::unordered_map<std::string, std::string> queued; /* prepared in this pipeline */
    for (ub4 r = 0; sent && r < iters;) {
        ub4 rows = chunkRows(iters - r, perRow);
        std::string key = sql + '\n' + std::to_string(rows), name;
        auto kept = svc->pgGroups.find(key);
        auto now = queued.find(key);
        if (kept != svc->pgGroups.end()) {
            name = kept->second;
        } else if (now != queued.end()) {
            name = now->second;
        } else {
            if (svc->pgGroups.size() + queued.size() < GROUP_STATEMENTS_MAX)
                name = "kel_group_" + std::to_string(++svc->pgGroupSerial);
            std::string text = ocisql::multiRowInsert(stmt->text, stmt->places, rows);
            cmds.push_back({PipeCommand::PREPARE, name.empty() ? "" : key, name});
            sent = PQsendPrepare(pg, name.c_str(), text.c_str(), (int)(rows * (ub4)perRow), nullptr) == 1;
            if (!name.empty())
                queued[key] = name;
        }
        cmds.push_back({PipeCommand::ROWS, "", ""});
        sent = sent && PQsendQueryPrepared(pg, name.c_str(), (int)(rows * (ub4)perRow),
                                           values.data() + (size_t)r * perRow, nullptr, nullptr, 0) == 1;
        r += rows;
    }
    return sent;
}

/*
 * Runs an INSERT for rows 0..iters-1 as one implicit transaction, in one
 * pipeline: a single row's INSERT returning its transaction id; or for a
 * group, a query of the transaction's id and then the rows, in multi-row
 * statements when the text is a plain INSERT ... VALUES with its
 * placeholders in the VALUES list (else one compiled statement per row);
 * then a flush, and the sync at which the server commits. The flush makes
 * the server send the id before it commits, so whenever the commit may
 * have happened the id is known (see InDoubt). One round trip, like a
 * plain INSERT. A failed row aborts the pipeline: nothing of the group
 * remains. A group of multi-row statements that the server refuses is run
 * again a row per statement, which names the row refused and its own
 * error, as a real client's array insert does. With dropBeforeCommit (a
 * test control) the connection is cut once the id has arrived, before the
 * sync is sent: nothing is committed.
 */
bool pgInsert(OCISvcCtx *svc, const OCIStmt *stmt, const std::string &sql, const std::vector<const char *> &values,
              int perRow, ub4 iters, ub4 *count, std::string &txid, Deadline &dl, Diags &d,
              bool dropBeforeCommit, bool chunked)
{
    PGconn *pg = svc->pg;
    size_t diagsBefore = d.size();
    size_t end = sql.find_last_not_of(" \t\r\n;"); /* a trailing ";" ends the text */
    std::string run = sql.substr(0, end == std::string::npos ? 0 : end + 1);
    std::vector<PipeCommand> cmds;
    bool sent = PQenterPipelineMode(pg) == 1 &&
                (chunked ? sendInChunks(svc, stmt, run, values, perRow, iters, cmds)
                         : sendEachRow(pg, run, values, perRow, iters, cmds));
    sent = sent && PQsendFlushRequest(pg) == 1 && (dropBeforeCommit || PQpipelineSync(pg) == 1) &&
           pgFlush(pg, dl, d);
    bool ok = sent, refused = false;
    if (!sent)
        pgResultDiag(d, pg, nullptr, &dl);
    /* Each command's results end with a null; the sync (the commit) ends
     * the pipeline. A lost connection ends it too. */
    size_t commands = cmds.size();
    for (size_t ended = 0; sent && ended <= commands + 1;) {
        PGresult *r = pgNextResult(pg, dl, d);
        if (r == nullptr) {
            if (PQstatus(pg) != CONNECTION_OK || (++ended >= commands && dropBeforeCommit))
                break;
            continue;
        }
        ExecStatusType status = PQresultStatus(r);
        const PipeCommand *cmd = ended < commands ? &cmds[ended] : nullptr;
        if (status == PGRES_TUPLES_OK && PQnfields(r) == 1) {
            if (txid.empty() && PQntuples(r) > 0)
                txid = PQgetvalue(r, 0, 0);
            if (ok && cmd != nullptr && cmd->kind == PipeCommand::ROW_WITH_TXID)
                *count += (ub4)PQntuples(r);
        } else if (status == PGRES_COMMAND_OK && cmd != nullptr) {
            if (cmd->kind == PipeCommand::PREPARE && !cmd->key.empty())
                svc->pgGroups[cmd->key] = cmd->name;
            else if (ok && cmd->kind == PipeCommand::ROWS)
                *count += (ub4)strtoul(PQcmdTuples(r), nullptr, 10);
        } else if (status == PGRES_FATAL_ERROR) {
            if (ok)
                pgResultDiag(d, pg, r, &dl);
            ok = false;
            refused = true;
            /* The session's prepared statements were dropped (DEALLOCATE,
             * DISCARD ALL): the sizes are prepared again from the next group. */
            const char *state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
            if (state != nullptr && strcmp(state, "26000") == 0)
                svc->pgGroups.clear();
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
        return false;
    }
    PQexitPipelineMode(pg);
    if (ok || !refused || !chunked)
        return ok;
    /* Refused, and nothing of it committed: again a row per statement. */
    d.resize(diagsBefore);
    *count = 0;
    txid.clear();
    return pgInsert(svc, stmt, sql, values, perRow, iters, count, txid, dl, d, false, false);
}

/* Rows 0..iters-1 of a statement inside the open transaction (begun here
 * if none is), each in a savepoint: a failed row is undone alone, as
 * Oracle does, and the rows before it stay in the transaction. Nothing
 * commits here unless commit is set, so no commit can be in doubt but that
 * final one. */
bool pgInOpenTransaction(PGconn *pg, const std::string &sql, const std::vector<const char *> &values,
                         int perRow, ub4 iters, ub4 *count, bool commit, Deadline &dl, Diags &d)
{
    if (!pgInTransaction(pg) && !pgCommand(pg, "BEGIN", dl, &d))
        return false;
    bool ok = true;
    for (ub4 r = 0; ok && r < iters; r++) {
        if (!pgCommand(pg, "SAVEPOINT kel_statement", dl, &d))
            return false;
        ok = pgStatement(pg, sql, values.data() + (size_t)r * perRow, perRow, count, dl, d);
        if (PQstatus(pg) != CONNECTION_OK)
            return false;
        pgCommand(pg, ok ? "RELEASE SAVEPOINT kel_statement" : "ROLLBACK TO SAVEPOINT kel_statement",
                  dl, nullptr);
    }
    if (ok && commit && !pgCommand(pg, "COMMIT", dl, &d)) {
        if (PQstatus(pg) == CONNECTION_OK && pgInTransaction(pg))
            pgCommand(pg, "ROLLBACK", dl, nullptr);
        ok = false;
    }
    return ok;
}

} // namespace

bool pgExecute(OCISvcCtx *svc, OCIStmt *stmt, ub4 iters, Diags &d, bool commit)
{
    PGconn *pg = svc->pg;
    Deadline dl(svc->callTimeout);
    const std::vector<std::string> &names = stmt->names;
    const std::string &sql = stmt->numbered;
    SentValues sent;
    pgSentValues(stmt, names, iters, pg_encoding_to_char(PQclientEncoding(pg)), sent);
    const std::vector<const char *> &values = sent.values;
    int perRow = (int)names.size();
    InDoubt now;
    now.server = pgServer(pg);
    now.sql = sql;
    now.perRow = names.size();
    ub4 *count = &stmt->rowCount;
    if (!commit || pgInTransaction(pg))
        return pgInOpenTransaction(pg, sql, values, perRow, iters, count, commit, dl, d);

    if (pgEndAbandoned(pg, now.server, dl, d) < 0)
        return false;
    int resolved = pgResolveInDoubt(pg, now, values, dl, d);
    if (resolved > 0)
        *count = iters; /* committed before: the rows are there already */
    if (resolved != 0)
        return resolved > 0;

    /* Extended protocol: one statement per text, values never spliced in. */
    bool insert = isPlainInsert(sql);
    std::string txid;
    bool dropBeforeCommit = insert && takeLostCommit();
    bool ok;
    bool chunked = iters > 1 && stmt->multiRow;
    if (insert)
        ok = pgInsert(svc, stmt, sql, values, perRow, iters, count, txid, dl, d, dropBeforeCommit, chunked);
    else if (iters == 1)
        ok = pgStatement(pg, sql, values.data(), perRow, count, dl, d);
    else
        return pgInOpenTransaction(pg, sql, values, perRow, iters, count, true, dl, d);
    if (ok && !txid.empty() && takeLostAck()) {
        /* Test control: the commit went through, its answer is "lost". */
        shutdown(PQsocket(pg), SHUT_RDWR);
        pgDiag(d, "08006", "connection lost before the commit was confirmed (test control)");
        ok = false;
    }
    if (!ok && !txid.empty()) {
        pgKeepValues(now, values);
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

bool pgEnd(OCISvcCtx *svc, bool commit, Diags &d)
{
    if (svc->pg == nullptr || !pgInTransaction(svc->pg))
        return true;
    Deadline dl(svc->callTimeout);
    return pgCommand(svc->pg, commit ? "COMMIT" : "ROLLBACK", dl, &d);
}

bool pgForgeInDoubt(const char *txid)
{
    std::lock_guard<std::mutex> hold(inDoubtLock);
    if (!inDoubt.set)
        return false;
    inDoubt.txid = txid;
    return true;
}

} // namespace ocistandin
