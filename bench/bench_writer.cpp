/*
 * bench_writer.cpp - rows per second of the event handler's database
 * writer against a bare client that inserts the same rows the same way.
 *
 *   bench_writer [--rows N] [--rounds R] [--min-seconds S] [--pg URI] [--only NAME]
 *                [--trace-level L] [--batch B,B,...] [--delays-us D,D,...] [--catchup EVENTS] [--journal]
 *
 * For each database (SQLite in its default rollback journal, SQLite in WAL
 * mode, and PostgreSQL when --pg is given), each BATCH_MAX B (default 1)
 * and, on PostgreSQL, each one-way delay D added by the loopback delay
 * proxy (default 0), it alternates R rounds (and more, up to 2000, until
 * the bare client's rounds add up to S seconds; default 0) of:
 *  - bare: N rows (at least 4 B, and 200 without a delay) in groups of B,
 *    fourteen text binds per row and one commit per group, straight
 *    through sqlite3 (a prepare of the INSERT per group, one transaction)
 *    or libpq (one pipeline, one round trip: multi-row INSERTs of up to 512
 *    rows in powers of two, each size prepared once, as the stand-in sends
 *    a group; a single row is a plain autocommitted INSERT);
 *  - writer, events waiting: N audited logins put in a ring large enough
 *    to hold them all before the writer may take any, timed until its last
 *    commit: the writer inserting the same groups as the bare client;
 *  - writer, events recorded: N audited logins recorded with SmEventRecord
 *    while the writer runs, timed from the first record until its last
 *    commit: the groups are what is waiting when the writer looks.
 * With --catchup it also times how long the writer takes to drain a
 * journal backlog of that many events (written while the database was
 * unreachable), per database and BATCH_MAX, without delay.
 * With --journal it measures instead the writer with the audit journal on
 * SQLite (WAL): SPOOL_SYNC second and always in alternate rounds, each
 * draining a backlog of N logins recorded while the database could not be
 * reached, timed until their rows are committed.
 * Both write into tables of the same definition in the same database, and
 * the connection is opened before the timing starts. Short rounds taken in
 * turn let both sides meet the same disk and server conditions (the commit
 * dominates, and it varies on a shared machine); each side's rate is its
 * rows over its summed time. It prints one line of JSON per database and
 * checks the row counts.
 */
#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <stdexcept>
#include <chrono>
#include <libpq-fe.h>
#include <poll.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "audit.h"
#include "benchutil.h"
#include "delayproxy.h"
#include "journal.h"
#include "oci_standin.h"
#include "scrypt.h"
#include "smeventkel.h"
#include "trace.h"

namespace {

using Clock = std::chrono::steady_clock;

const char *const COLUMNS =
    "sm_categoryid, sm_eventid, sm_hostname, sm_sessionid, sm_username, sm_agentname, sm_realmname, "
    "sm_realmoid, sm_clientip, sm_domainoid, sm_authdirname, sm_authdirserver, sm_authdirnamespace, "
    "sm_resource, sm_action, sm_reason, sm_transactionid";

struct Options {
    int rows = 30;
    int rounds = 10;
    double minSeconds = 0; /* the bare client's timed seconds a case takes at least */
    int traceLevel = 1;
    std::string pg;
    std::string only; /* run only the databases whose name contains this */
    std::vector<int> batches{1};
    std::vector<long> delaysUs{0};
    long catchup = 0;
    bool journal = false;
};

/* One measured case: a BATCH_MAX, and the delay added each way. */
struct Case {
    int batch = 1;
    long delayUs = 0;
    int rows = 0; /* rows per round */
};

/* The fourteen bound texts of a row, in the statement's order. */
std::vector<std::string> rowValues(const kb::Event &e, const std::string &host)
{
    /* Event texts: 1 session, 3 user, 0 agent, 5 realm, 6 realm oid, 2 ip,
     * 4 domain oid, 7 dir, 8 dir server, 9 namespace, 11 resource, 12 action, 13 txn. */
    static const int order[13] = {1, 3, 0, 5, 6, 2, 4, 7, 8, 9, 11, 12, 13};
    std::vector<std::string> v{host};
    for (int i : order)
        v.push_back(e.text(i));
    return v;
}

/* The values a group binds, as the writer's group statement does: the
 * reason too, before the transaction id (a single row has it written into
 * the statement). */
std::vector<std::string> groupValues(std::vector<std::string> v)
{
    v.insert(v.end() - 1, "0");
    return v;
}

std::string sqliteInsert(const std::string &table, bool group)
{
    return "INSERT INTO " + table + " (" + COLUMNS +
           ") VALUES (1, 1, :sm_hostname, :sm_sessionid, :sm_username, :sm_agentname, :sm_realmname, "
           ":sm_realmoid, :sm_clientip, :sm_domainoid, :sm_authdirname, :sm_authdirserver, "
           ":sm_authdirnamespace, :sm_resource, :sm_action, " + (group ? ":sm_reason" : "0") +
           ", :sm_transactionid)";
}

/* The insert of rows rows in one statement: 14 parameters a row, or 15
 * with the reason bound for a group. */
std::string pgInsert(const std::string &table, int rows, bool group)
{
    int per = group ? 15 : 14;
    std::string sql = "INSERT INTO " + table + " (" + COLUMNS + ") VALUES ";
    for (int r = 0; r < rows; r++) {
        sql += r > 0 ? ", (1, 1" : "(1, 1";
        for (int i = 1; i <= per; i++)
            sql += (i == 14 && !group ? ", 0, $" : ", $") + std::to_string(r * per + i);
        sql += ")";
    }
    return sql;
}

/* ---- the bare clients ---- */

/* The bare clients keep one connection for all their rounds, as the writer
 * does: a new connection per round would pay the server's and the
 * library's first-use costs (catalog and schema reads) again each time. */
sqlite3 *bareSqliteOpen(const std::string &path)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
        throw std::runtime_error("bare: cannot open " + path);
    sqlite3_busy_timeout(db, 5000);
    return db;
}

void sqliteDo(sqlite3 *db, const char *sql)
{
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string("bare: ") + sql + ": " + sqlite3_errmsg(db));
}

/* rows in groups of batch: one prepare and one transaction per group (a
 * single row commits on its own). */
double bareSqlite(sqlite3 *db, const std::string &table, int rows, int batch, const std::string &host)
{
    std::string sql = sqliteInsert(table, batch > 1), one = sqliteInsert(table, false);
    kb::Event e("uid=bare,ou=people,o=kel", "authlevel=3;bare");
    std::vector<std::string> single = rowValues(e, host), grouped = groupValues(single);
    Clock::time_point t0 = Clock::now();
    for (int r = 0; r < rows;) {
        int group = std::min(batch, rows - r);
        const std::string &text = group > 1 ? sql : one;
        const std::vector<std::string> &v = group > 1 ? grouped : single;
        sqlite3_stmt *st = nullptr;
        if (group > 1)
            sqliteDo(db, "BEGIN");
        if (sqlite3_prepare_v2(db, text.c_str(), (int)text.size(), &st, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("bare: prepare: ") + sqlite3_errmsg(db));
        for (int g = 0; g < group; g++, r++) {
            sqlite3_reset(st);
            for (size_t i = 0; i < v.size(); i++)
                sqlite3_bind_text(st, (int)i + 1, v[i].data(), (int)v[i].size(), SQLITE_TRANSIENT);
            if (sqlite3_step(st) != SQLITE_DONE)
                throw std::runtime_error(std::string("bare: insert: ") + sqlite3_errmsg(db));
        }
        sqlite3_finalize(st);
        if (group > 1)
            sqliteDo(db, "COMMIT");
    }
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    return rows / secs;
}

PGconn *barePgOpen(const std::string &uri)
{
    const char *keys[] = {"dbname", "user", "password", nullptr};
    const char *vals[] = {uri.c_str(), "kel", "kelpw", nullptr};
    PGconn *pg = PQconnectdbParams(keys, vals, 1);
    if (PQstatus(pg) != CONNECTION_OK)
        throw std::runtime_error(std::string("bare: ") + PQerrorMessage(pg));
    return pg;
}

/* A connection of the bare client and the multi-row inserts prepared on
 * it, by their row counts. */
struct BarePg {
    PGconn *pg;
    std::set<int> prepared;
};

/* One group in one pipeline, as the stand-in sends it: multi-row inserts of
 * power-of-two sizes up to 512 rows, the largest first, each size prepared
 * on its first use, and the sync at which the server commits them
 * together. Non-blocking, so that a large group never has both sides
 * waiting to write. */
void barePgGroup(BarePg &bare, const std::string &table, const char *const *params, int group)
{
    PGconn *pg = bare.pg;
    std::vector<const char *> all;
    for (int g = 0; g < std::min(group, 512); g++)
        all.insert(all.end(), params, params + 15);
    bool ok = PQsetnonblocking(pg, 1) == 0 && PQenterPipelineMode(pg) == 1;
    for (int left = group; ok && left > 0;) {
        int rows = 1;
        while (rows * 2 <= left && rows * 2 <= 512)
            rows *= 2;
        std::string name = "bare_" + std::to_string(rows);
        if (bare.prepared.insert(rows).second)
            ok = PQsendPrepare(pg, name.c_str(), pgInsert(table, rows, true).c_str(), rows * 15, nullptr) == 1;
        ok = ok && PQsendQueryPrepared(pg, name.c_str(), rows * 15, all.data(), nullptr, nullptr, 0) == 1;
        left -= rows;
    }
    ok = ok && PQpipelineSync(pg) == 1;
    while (ok) {
        int rc = PQflush(pg);
        if (rc == 0)
            break;
        struct pollfd p = {PQsocket(pg), POLLIN | POLLOUT, 0};
        ok = rc > 0 && poll(&p, 1, 60000) > 0 && PQconsumeInput(pg) == 1;
    }
    bool failed = !ok;
    for (bool synced = false; ok && !synced;) {
        while (PQisBusy(pg)) {
            struct pollfd p = {PQsocket(pg), POLLIN, 0};
            if (poll(&p, 1, 60000) <= 0 || PQconsumeInput(pg) != 1)
                throw std::runtime_error(std::string("bare: ") + PQerrorMessage(pg));
        }
        PGresult *res = PQgetResult(pg);
        if (res == nullptr)
            continue;
        ExecStatusType st = PQresultStatus(res);
        failed = failed || st == PGRES_FATAL_ERROR || st == PGRES_PIPELINE_ABORTED;
        synced = st == PGRES_PIPELINE_SYNC;
        PQclear(res);
    }
    if (failed || PQexitPipelineMode(pg) != 1 || PQsetnonblocking(pg, 0) != 0)
        throw std::runtime_error(std::string("bare: group insert: ") + PQerrorMessage(pg));
}

double barePg(BarePg &bare, const std::string &table, int rows, int batch, const std::string &host)
{
    PGconn *pg = bare.pg;
    std::string sql = pgInsert(table, 1, false);
    kb::Event e("uid=bare,ou=people,o=kel", "authlevel=3;bare");
    std::vector<std::string> v = rowValues(e, host), g = groupValues(v);
    const char *params[14], *groupParams[15];
    for (int i = 0; i < 14; i++)
        params[i] = v[(size_t)i].c_str();
    for (int i = 0; i < 15; i++)
        groupParams[i] = g[(size_t)i].c_str();
    Clock::time_point t0 = Clock::now();
    for (int r = 0; r < rows;) {
        int group = std::min(batch, rows - r);
        if (group > 1) {
            barePgGroup(bare, table, groupParams, group);
        } else {
            PGresult *res = PQexecParams(pg, sql.c_str(), 14, nullptr, params, nullptr, nullptr, 0);
            if (PQresultStatus(res) != PGRES_COMMAND_OK)
                throw std::runtime_error(std::string("bare: insert: ") + PQerrorMessage(pg));
            PQclear(res);
        }
        r += group;
    }
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    return rows / secs;
}

/* ---- the writer ---- */

int queued()
{
    int first, next, count, capacity;
    queueLock();
    queueState(&first, &next, &count, &capacity);
    queueUnlock();
    return count;
}

bool waitEmpty(double seconds)
{
    Clock::time_point end = Clock::now() + std::chrono::milliseconds((long)(seconds * 1000));
    while (queued() != 0) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

/* Runs a bare round while another thread polls the queue as waitEmpty does
 * during a writer round: both sides then run beside the same activity. (On
 * a virtual machine an otherwise idle processor wakes late from each
 * commit's disk wait, which alone made the bare client look slower.) */
template <class F> double besidePoller(F &&bareRound)
{
    std::atomic<bool> done(false);
    double rate = 0;
    std::thread bare([&] {
        rate = bareRound();
        done = true;
    });
    while (!done) {
        queued();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    bare.join();
    return rate;
}

/* One writer round of rows events. waiting: the events are all put in the
 * ring (copied, under its lock) before the writer may take any, so that it
 * inserts groups as full as the bare client's, and the time runs from
 * then; otherwise they are recorded with SmEventRecord while the writer
 * runs (it takes what is waiting, never waiting for more), and the time
 * runs from the first record. Either way it ends at the writer's last
 * commit, as the bare client's does (the poll below notices the empty
 * ring up to a poll's pause later). */
double writerRun(int rows, int round, bool waiting)
{
    std::vector<std::unique_ptr<kb::Event>> events;
    for (int r = 0; r < rows; r++)
        events.push_back(std::make_unique<kb::Event>(
            "uid=load0,ou=people,o=kel", "authlevel=3;round=" + std::to_string(round) + ";seq=" + std::to_string(r) +
                                             (waiting ? ";waiting" : ";recorded")));
    Clock::time_point t0;
    if (waiting) {
        queueLock();
        for (auto &e : events)
            queuePut(e->get());
        t0 = Clock::now();
        queueUnlock();
    } else {
        t0 = Clock::now();
        for (auto &e : events)
            SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e->get());
    }
    if (!waitEmpty(600))
        throw std::runtime_error("writer did not finish");
    long long end = ociStandinLastCommitNs();
    long long start = std::chrono::duration_cast<std::chrono::nanoseconds>(t0.time_since_epoch()).count();
    return rows / ((double)(end - start) / 1e9);
}

/* The three sides of one case, a rate per round each. */
struct Rates {
    std::vector<double> bare, waiting, recorded;
};

/* Rounds of a case at most, however short they are. */
const int ROUNDS_MAX = 2000;

/* A round of each side in turn: rounds rounds, and more while the bare
 * client's rounds add up to less than minSeconds (short rounds, each open
 * to a late wake-up, then weigh less in the rates). Returns the rounds. */
template <class Bare> int roundsInTurn(int rounds, double minSeconds, int rows, Rates &rates, Bare &&bareRound)
{
    double bareSeconds = 0;
    int r = 0;
    for (; r < ROUNDS_MAX && (r < rounds || bareSeconds < minSeconds); r++) {
        rates.bare.push_back(besidePoller(bareRound));
        rates.waiting.push_back(writerRun(rows, r, true));
        rates.recorded.push_back(writerRun(rows, r, false));
        bareSeconds += rows / rates.bare.back();
    }
    return r;
}

std::string auditConf(const std::string &dataSource, const std::string &password, int maxQueue, int batch,
                      const std::string &extra = "")
{
    std::string pw = password;
    if (!pw.empty())
        scrypt(&pw[0], pw.c_str(), true);
    return "DATASOURCE = " + dataSource + "\nUSER = kel\n" + (pw.empty() ? "" : "PASSWORD = " + pw + "\n") +
           "TABLE = smaccesslog4\nMIN_LEVEL = 3\nMAX_QUEUE = " + std::to_string(maxQueue) +
           "\nRETRY_DELAY = 1\nBATCH_MAX = " + std::to_string(batch) + "\n" + extra;
}

void startWriter(kb::Home &home, const std::string &dataSource, const std::string &password, int rows, int batch)
{
    kb::writeFile(home.configDir() + "/kelaudit.conf", auditConf(dataSource, password, rows + 1, batch));
    SmEventInit();
    /* The first event opens the connection; it is not timed. */
    kb::Event warm("uid=warmup", "authlevel=3;warmup");
    SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, warm.get());
    if (!waitEmpty(60))
        throw std::runtime_error("writer cannot reach " + dataSource + "; see " + home.logPath());
}

/* Rows over summed time of rounds of equal rows, from their rates. */
double overall(const std::vector<double> &rates)
{
    double secs = 0;
    for (double r : rates)
        secs += 1 / r;
    return (double)rates.size() / secs;
}

/* ---- SQLite ---- */

std::string ddlFor(const std::string &file, const std::string &table)
{
    std::string ddl = kb::readFile(std::string(KEL_SQL_DIR) + "/" + file);
    for (size_t pos = 0; (pos = ddl.find("smaccesslog4", pos)) != std::string::npos; pos += table.size())
        ddl.replace(pos, 12, table);
    return ddl;
}

long sqliteCount(sqlite3 *db, const std::string &table)
{
    sqlite3_stmt *st = nullptr;
    long n = -1;
    std::string sql = "SELECT count(*) FROM " + table;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
        n = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    return n;
}

void report(const std::string &label, const Case &c, int rounds, const Rates &rates, bool ok)
{
    printf("{\"db\": \"%s\", \"batch_max\": %d, \"delay_us\": %ld, \"rows\": %d, \"rounds\": %d, "
           "\"bare_rows_per_s\": %.1f, \"writer_rows_per_s\": %.1f, \"ratio\": %.3f, "
           "\"recorded_rows_per_s\": %.1f, \"recorded_ratio\": %.3f, \"rows_checked\": %s}\n",
           label.c_str(), c.batch, c.delayUs, c.rows, rounds, overall(rates.bare), overall(rates.waiting),
           overall(rates.waiting) / overall(rates.bare), overall(rates.recorded),
           overall(rates.recorded) / overall(rates.bare), ok ? "true" : "false");
    fflush(stdout);
}

/* The cases of one database: each BATCH_MAX, each delay (on PostgreSQL). */
std::vector<Case> cases(const Options &o, bool network)
{
    std::vector<Case> out;
    for (int b : o.batches)
        for (long d : network ? o.delaysUs : std::vector<long>{0})
            /* Rounds without an added delay take milliseconds: at least
             * 200 rows, so that one late wake-up on a shared machine
             * does not decide a round. */
            out.push_back({b, d, std::max(std::max(o.rows, 4 * b), d == 0 ? 200 : 0)});
    return out;
}

/* dir: the folder of the database file; label: its name in the report. */
void runSqlite(kb::Home &home, const Options &o, bool wal, const std::string &host, const std::string &dir,
               const std::string &label)
{
    if (label.find(o.only) == std::string::npos)
        return;
    for (const Case &c : cases(o, false)) {
        std::string path = dir + "/" + (wal ? "wal" : "journal") + std::to_string(c.batch) + ".db";
        sqlite3 *db = nullptr;
        std::string ddl = ddlFor("smaccesslog4.sqlite.sql", "smaccesslog4") + ddlFor("smaccesslog4.sqlite.sql", "bare_log");
        if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
            sqlite3_exec(db, ddl.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK ||
            (wal && sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) != SQLITE_OK))
            throw std::runtime_error("cannot create " + path);

        startWriter(home, path, "", c.rows, c.batch);
        Rates rates;
        sqlite3 *bareDb = bareSqliteOpen(path);
        int rounds = roundsInTurn(o.rounds, o.minSeconds, c.rows, rates,
                                  [&] { return bareSqlite(bareDb, "bare_log", c.rows, c.batch, host); });
        sqlite3_close(bareDb);
        SmEventRelease();
        long bareRows = sqliteCount(db, "bare_log"), writerRows = sqliteCount(db, "smaccesslog4");
        sqlite3_close(db);
        report(label, c, rounds, rates, bareRows == (long)c.rows * rounds && writerRows == 2L * c.rows * rounds + 1);
    }
}

/* ---- the writer with the audit journal ---- */

/* One round: rows logins recorded into the journal while the database
 * cannot be reached, then the writer let at it with SPOOL_SYNC mode and
 * timed until the table holds target rows. Recording apart from the timing
 * keeps the recorders' own syncs (one per event with always) out of the
 * writer's pace. */
double journalRound(kb::Home &home, const std::string &path, sqlite3 *db, int rows, int round, long target,
                    const char *mode)
{
    std::string spool = "SPOOL_DIR = benchspool\nSPOOL_SYNC = ";
    kb::writeFile(home.configDir() + "/kelaudit.conf",
                  auditConf("/nonexistent/absent.db", "", rows + 1, 1, spool + "none\n"));
    SmEventInit();
    for (int r = 0; r < rows; r++) {
        kb::Event e("uid=load0,ou=people,o=kel", "authlevel=3;round=" + std::to_string(round) + ";seq=" +
                                                     std::to_string(r));
        SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e.get());
    }
    SmEventRelease();
    kb::writeFile(home.configDir() + "/kelaudit.conf", auditConf(path, "", rows + 1, 1, spool + mode + "\n"));
    Clock::time_point t0 = Clock::now(), end = t0 + std::chrono::seconds(600);
    SmEventInit(); /* the writer starts on the journal's events */
    while (sqliteCount(db, "smaccesslog4") < target) {
        if (Clock::now() > end)
            throw std::runtime_error("writer did not finish");
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    double rate = rows / std::chrono::duration<double>(Clock::now() - t0).count();
    SmEventRelease();
    return rate;
}

void runJournal(kb::Home &home, const Options &o, const std::string &dir)
{
    std::string path = dir + "/journalbench.db";
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
        sqlite3_exec(db, ddlFor("smaccesslog4.sqlite.sql", "smaccesslog4").c_str(), nullptr, nullptr, nullptr) !=
            SQLITE_OK ||
        sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) != SQLITE_OK)
        throw std::runtime_error("cannot create " + path);
    const char *modes[] = {"second", "always"};
    std::vector<double> rates[2];
    long rows = 0;
    for (int r = 0; r < o.rounds; r++) {
        for (int m = 0; m < 2; m++) {
            rows += o.rows;
            rates[m].push_back(journalRound(home, path, db, o.rows, r * 2 + m, rows, modes[m]));
        }
    }
    sqlite3_close(db);
    printf("{\"db\": \"SQLite (WAL), journal\", \"rows\": %d, \"rounds\": %d, \"second_rows_per_s\": %.1f, "
           "\"always_rows_per_s\": %.1f, \"ratio\": %.3f}\n",
           o.rows, o.rounds, overall(rates[0]), overall(rates[1]), overall(rates[1]) / overall(rates[0]));
    fflush(stdout);
}

/* ---- PostgreSQL ---- */

long pgExec(PGconn *pg, const std::string &sql)
{
    PGresult *r = PQexec(pg, sql.c_str());
    ExecStatusType s = PQresultStatus(r);
    long n = s == PGRES_TUPLES_OK && PQntuples(r) == 1 ? atol(PQgetvalue(r, 0, 0)) : 0;
    PQclear(r);
    if (s != PGRES_COMMAND_OK && s != PGRES_TUPLES_OK)
        throw std::runtime_error("PostgreSQL: " + std::string(PQerrorMessage(pg)));
    return n;
}

PGconn *pgAdmin(const Options &o)
{
    const char *keys[] = {"dbname", "user", "password", nullptr};
    const char *vals[] = {o.pg.c_str(), "kel", "kelpw", nullptr};
    PGconn *pg = PQconnectdbParams(keys, vals, 1);
    if (PQstatus(pg) != CONNECTION_OK)
        throw std::runtime_error(std::string("PostgreSQL: ") + PQerrorMessage(pg));
    return pg;
}

void pgFreshTables(PGconn *pg)
{
    pgExec(pg, "SET client_min_messages = warning; DROP TABLE IF EXISTS smaccesslog4; DROP TABLE IF EXISTS bare_log");
    pgExec(pg, ddlFor("smaccesslog4.postgresql.sql", "smaccesslog4"));
    pgExec(pg, ddlFor("smaccesslog4.postgresql.sql", "bare_log"));
}

/* host:port of a postgresql:// URI: its port; the URI with another port. */
int uriPort(const std::string &uri)
{
    size_t colon = uri.find(':', uri.find("://") + 3);
    return colon == std::string::npos ? 5432 : atoi(uri.c_str() + colon + 1);
}

std::string uriWithPort(const std::string &uri, int port)
{
    size_t colon = uri.find(':', uri.find("://") + 3);
    size_t end = uri.find('/', colon);
    return uri.substr(0, colon + 1) + std::to_string(port) + uri.substr(end);
}

void runPg(kb::Home &home, const Options &o, const std::string &host)
{
    if (std::string("PostgreSQL").find(o.only) == std::string::npos)
        return;
    PGconn *pg = pgAdmin(o);
    for (const Case &c : cases(o, true)) {
        pgFreshTables(pg);
        std::unique_ptr<kt::DelayProxy> proxy;
        std::string uri = o.pg;
        if (c.delayUs > 0) {
            proxy.reset(new kt::DelayProxy({uriPort(o.pg), c.delayUs, 0, 3600, 1000}));
            uri = uriWithPort(o.pg, proxy->port());
        }
        startWriter(home, uri, "kelpw", c.rows, c.batch);
        Rates rates;
        BarePg bare{barePgOpen(uri), {}};
        int rounds = roundsInTurn(o.rounds, o.minSeconds, c.rows, rates,
                                  [&] { return barePg(bare, "bare_log", c.rows, c.batch, host); });
        PQfinish(bare.pg);
        SmEventRelease();
        long bareRows = pgExec(pg, "SELECT count(*) FROM bare_log");
        long writerRows = pgExec(pg, "SELECT count(*) FROM smaccesslog4");
        report("PostgreSQL", c, rounds, rates,
               bareRows == (long)c.rows * rounds && writerRows == 2L * c.rows * rounds + 1);
    }
    PQfinish(pg);
}

/* ---- catching up with a journal backlog ---- */

/* Records events while the database cannot be reached (they wait in the
 * journal), then lets the writer at the database and times how long it
 * takes until the journal is empty. countRows: rows of the table. */
template <class Count>
void catchup(kb::Home &home, const Options &o, const std::string &label, const std::string &dataSource,
             const std::string &password, int batch, Count countRows)
{
    std::string spool = home.configDir() + "/../catchup-" + std::to_string(batch);
    kb::writeFile(home.configDir() + "/kelaudit.conf",
                  auditConf("/nonexistent/absent.db", "", 1000, batch, "SPOOL_DIR = " + spool + "\nSPOOL_SYNC = none\n"));
    SmEventInit();
    for (long i = 0; i < o.catchup; i++) {
        kb::Event e("uid=load0,ou=people,o=kel", "authlevel=3;catchup;seq=" + std::to_string(i));
        SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e.get());
    }
    SmEventRelease();
    kb::writeFile(home.configDir() + "/kelaudit.conf",
                  auditConf(dataSource, password, 1000, batch, "SPOOL_DIR = " + spool + "\nSPOOL_SYNC = none\n"));
    Clock::time_point t0 = Clock::now();
    SmEventInit(); /* the writer starts on the journal's events */
    JournalSummary js{};
    for (;;) {
        if (countRows() >= o.catchup && journalSummarize(spool.c_str(), &js) && js.events == 0)
            break;
        if (Clock::now() - t0 > std::chrono::seconds(1800))
            throw std::runtime_error("catch-up did not finish");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    SmEventRelease();
    long rows = countRows();
    printf("{\"catchup\": \"%s\", \"batch_max\": %d, \"events\": %ld, \"seconds\": %.2f, "
           "\"rows_per_s\": %.1f, \"rows_checked\": %s}\n",
           label.c_str(), batch, o.catchup, secs, (double)o.catchup / secs, rows == o.catchup ? "true" : "false");
    fflush(stdout);
}

void runCatchup(kb::Home &home, const Options &o, const std::string &dir)
{
    for (int b : o.batches) {
        if (std::string("SQLite (rollback journal)").find(o.only) != std::string::npos) {
            std::string path = dir + "/catchup" + std::to_string(b) + ".db";
            sqlite3 *db = nullptr;
            if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
                sqlite3_exec(db, ddlFor("smaccesslog4.sqlite.sql", "smaccesslog4").c_str(), nullptr, nullptr,
                             nullptr) != SQLITE_OK)
                throw std::runtime_error("cannot create " + path);
            catchup(home, o, "SQLite (rollback journal)", path, "", b, [&] { return sqliteCount(db, "smaccesslog4"); });
            sqlite3_close(db);
        }
        if (!o.pg.empty() && std::string("PostgreSQL").find(o.only) != std::string::npos) {
            PGconn *pg = pgAdmin(o);
            pgFreshTables(pg);
            catchup(home, o, "PostgreSQL", o.pg, "kelpw", b,
                    [&] { return pgExec(pg, "SELECT count(*) FROM smaccesslog4"); });
            PQfinish(pg);
        }
    }
}

std::vector<long> numbers(const char *list)
{
    std::vector<long> out;
    for (const char *p = list; *p != '\0';) {
        char *end = nullptr;
        out.push_back(strtol(p, &end, 10));
        p = *end == ',' ? end + 1 : end;
        if (end == p && *p != '\0')
            break;
    }
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--journal") {
            o.journal = true;
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "bench_writer: %s needs a value\n", argv[i]);
            return 2;
        }
        if (a == "--rows")
            o.rows = std::max(1, atoi(argv[i + 1]));
        else if (a == "--rounds")
            o.rounds = std::max(1, atoi(argv[i + 1]));
        else if (a == "--min-seconds")
            o.minSeconds = std::max(0.0, atof(argv[i + 1]));
        else if (a == "--pg")
            o.pg = argv[i + 1];
        else if (a == "--only")
            o.only = argv[i + 1];
        else if (a == "--trace-level")
            o.traceLevel = atoi(argv[i + 1]);
        else if (a == "--batch") {
            o.batches.clear();
            for (long b : numbers(argv[i + 1]))
                o.batches.push_back((int)std::min(10000L, std::max(1L, b)));
        } else if (a == "--delays-us")
            o.delaysUs = numbers(argv[i + 1]);
        else if (a == "--catchup")
            o.catchup = std::max(0L, atol(argv[i + 1]));
        else {
            fprintf(stderr, "usage: bench_writer [--rows N] [--rounds R] [--min-seconds S] [--pg URI] [--only NAME]\n"
                            "                    [--trace-level L] [--batch B,B,...] [--delays-us D,D,...] [--catchup EVENTS] [--journal]\n");
            return 2;
        }
        i++;
    }
    try {
        kb::Home home;
        home.traceConf(o.traceLevel);
        char host[256] = "";
        gethostname(host, sizeof host - 1);
        std::string data = home.dataPath("");
        data.pop_back();
        if (o.journal) {
            runJournal(home, o, data);
            return 0;
        }
        if (o.catchup > 0) {
            runCatchup(home, o, data);
            return 0;
        }
        runSqlite(home, o, false, host, data, "SQLite (rollback journal)");
        runSqlite(home, o, true, host, data, "SQLite (WAL)");
        /* In memory, where a commit costs no disk wait: what is left is the
         * software on each side. */
        char shm[] = "/dev/shm/kelbench.XXXXXX";
        if (mkdtemp(shm) != nullptr) {
            Options many = o;
            many.rows = o.rows * 20;
            runSqlite(home, many, false, host, shm, "SQLite (rollback journal, tmpfs)");
            std::string rm = std::string("rm -rf '") + shm + "'";
            if (system(rm.c_str()) != 0) {
            }
        }
        if (!o.pg.empty())
            runPg(home, o, host);
    } catch (const std::exception &e) {
        fprintf(stderr, "bench_writer: %s\n", e.what());
        return 1;
    }
    return 0;
}
