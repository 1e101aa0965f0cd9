/*
 * bench_writer.cpp - rows per second of the event handler's database
 * writer against a bare client that inserts the same rows the same way.
 *
 *   bench_writer [--rows N] [--rounds R] [--pg URI] [--only NAME] [--trace-level L] [--journal]
 *
 * For each database (SQLite in its default rollback journal, SQLite in WAL
 * mode, and PostgreSQL when --pg is given) it alternates R rounds of:
 *  - bare: N rows, each with its own prepare of the INSERT, fourteen text
 *    binds, execution and commit, straight through sqlite3 or libpq;
 *  - writer: N audited logins recorded with SmEventRecord into a ring large
 *    enough to hold them all, timed from the first record until the writer
 *    has committed the last row (the ring is empty).
 * With --journal it measures instead the writer with the audit journal on
 * SQLite (WAL): SPOOL_SYNC second and always in alternate rounds, each N
 * logins recorded and timed until their rows are committed.
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
#include <stdexcept>
#include <chrono>
#include <libpq-fe.h>
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
    int traceLevel = 1;
    std::string pg;
    std::string only; /* run only the databases whose name contains this */
    bool journal = false;
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

std::string sqliteInsert(const std::string &table)
{
    return "INSERT INTO " + table + " (" + COLUMNS +
           ") VALUES (1, 1, :sm_hostname, :sm_sessionid, :sm_username, :sm_agentname, :sm_realmname, "
           ":sm_realmoid, :sm_clientip, :sm_domainoid, :sm_authdirname, :sm_authdirserver, "
           ":sm_authdirnamespace, :sm_resource, :sm_action, 0, :sm_transactionid)";
}

std::string pgInsert(const std::string &table)
{
    return "INSERT INTO " + table + " (" + COLUMNS +
           ") VALUES (1, 1, $1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, 0, $14)";
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

double bareSqlite(sqlite3 *db, const std::string &table, int rows, const std::string &host)
{
    std::string sql = sqliteInsert(table);
    kb::Event e("uid=bare,ou=people,o=kel", "authlevel=3;bare");
    std::vector<std::string> v = rowValues(e, host);
    Clock::time_point t0 = Clock::now();
    for (int r = 0; r < rows; r++) {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), (int)sql.size(), &st, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("bare: prepare: ") + sqlite3_errmsg(db));
        for (int i = 0; i < 14; i++)
            sqlite3_bind_text(st, i + 1, v[(size_t)i].data(), (int)v[(size_t)i].size(), SQLITE_TRANSIENT);
        if (sqlite3_step(st) != SQLITE_DONE)
            throw std::runtime_error(std::string("bare: insert: ") + sqlite3_errmsg(db));
        sqlite3_finalize(st);
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

double barePg(PGconn *pg, const std::string &table, int rows, const std::string &host)
{
    std::string sql = pgInsert(table);
    kb::Event e("uid=bare,ou=people,o=kel", "authlevel=3;bare");
    std::vector<std::string> v = rowValues(e, host);
    const char *params[14];
    for (int i = 0; i < 14; i++)
        params[i] = v[(size_t)i].c_str();
    Clock::time_point t0 = Clock::now();
    for (int r = 0; r < rows; r++) {
        PGresult *res = PQexecParams(pg, sql.c_str(), 14, nullptr, params, nullptr, nullptr, 0);
        if (PQresultStatus(res) != PGRES_COMMAND_OK)
            throw std::runtime_error(std::string("bare: insert: ") + PQerrorMessage(pg));
        PQclear(res);
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

double writerRun(int rows, int round)
{
    std::vector<std::unique_ptr<kb::Event>> events;
    for (int r = 0; r < rows; r++)
        events.push_back(std::make_unique<kb::Event>(
            "uid=load0,ou=people,o=kel", "authlevel=3;round=" + std::to_string(round) + ";seq=" + std::to_string(r)));
    Clock::time_point t0 = Clock::now();
    for (auto &e : events)
        SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e->get());
    if (!waitEmpty(600))
        throw std::runtime_error("writer did not finish");
    return rows / std::chrono::duration<double>(Clock::now() - t0).count();
}

void startWriter(kb::Home &home, const std::string &dataSource, const std::string &password, int rows)
{
    std::string pw = password;
    if (!pw.empty())
        scrypt(&pw[0], pw.c_str(), true);
    kb::writeFile(home.configDir() + "/kelaudit.conf",
                  "DATASOURCE = " + dataSource + "\nUSER = kel\n" + (pw.empty() ? "" : "PASSWORD = " + pw + "\n") +
                      "TABLE = smaccesslog4\nMIN_LEVEL = 3\nMAX_QUEUE = " + std::to_string(rows + 1) +
                      "\nRETRY_DELAY = 1\n");
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

/* dir: the folder of the database file; label: its name in the report. */
void runSqlite(kb::Home &home, const Options &o, bool wal, const std::string &host, const std::string &dir,
               const std::string &label)
{
    if (label.find(o.only) == std::string::npos)
        return;
    std::string path = dir + "/" + (wal ? "wal.db" : "journal.db");
    sqlite3 *db = nullptr;
    std::string ddl = ddlFor("smaccesslog4.sqlite.sql", "smaccesslog4") + ddlFor("smaccesslog4.sqlite.sql", "bare_log");
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
        sqlite3_exec(db, ddl.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK ||
        (wal && sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) != SQLITE_OK))
        throw std::runtime_error("cannot create " + path);

    startWriter(home, path, "", o.rows);
    std::vector<double> bare, writer;
    sqlite3 *bareDb = bareSqliteOpen(path);
    for (int r = 0; r < o.rounds; r++) {
        bare.push_back(besidePoller([&] { return bareSqlite(bareDb, "bare_log", o.rows, host); }));
        writer.push_back(writerRun(o.rows, r));
    }
    sqlite3_close(bareDb);
    SmEventRelease();
    long bareRows = sqliteCount(db, "bare_log"), writerRows = sqliteCount(db, "smaccesslog4");
    sqlite3_close(db);
    bool ok = bareRows == (long)o.rows * o.rounds && writerRows == (long)o.rows * o.rounds + 1;
    printf("{\"db\": \"%s\", \"rows\": %d, \"rounds\": %d, \"bare_rows_per_s\": %.1f, "
           "\"writer_rows_per_s\": %.1f, \"ratio\": %.3f, \"rows_checked\": %s}\n",
           label.c_str(), o.rows, o.rounds, overall(bare), overall(writer),
           overall(writer) / overall(bare), ok ? "true" : "false");
    fflush(stdout);
}

/* ---- the writer with the audit journal ---- */

/* One round: rows logins recorded into the journal, timed until the table
 * holds target rows. */
double journalRound(sqlite3 *db, int rows, int round, long target)
{
    std::vector<std::unique_ptr<kb::Event>> events;
    for (int r = 0; r < rows; r++)
        events.push_back(std::make_unique<kb::Event>(
            "uid=load0,ou=people,o=kel", "authlevel=3;round=" + std::to_string(round) + ";seq=" + std::to_string(r)));
    Clock::time_point t0 = Clock::now(), end = t0 + std::chrono::seconds(600);
    for (auto &e : events)
        SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e->get());
    while (sqliteCount(db, "smaccesslog4") < target) {
        if (Clock::now() > end)
            throw std::runtime_error("writer did not finish");
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return rows / std::chrono::duration<double>(Clock::now() - t0).count();
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
            kb::writeFile(home.configDir() + "/kelaudit.conf",
                          "DATASOURCE = " + path + "\nUSER = kel\nTABLE = smaccesslog4\nMIN_LEVEL = 3\n"
                          "RETRY_DELAY = 1\nSPOOL_DIR = benchspool\nSPOOL_SYNC = " + modes[m] + "\n");
            SmEventInit();
            rates[m].push_back(journalRound(db, o.rows, r * 2 + m, rows + o.rows));
            rows += o.rows;
            SmEventRelease();
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

void runPg(kb::Home &home, const Options &o, const std::string &host)
{
    if (std::string("PostgreSQL").find(o.only) == std::string::npos)
        return;
    const char *keys[] = {"dbname", "user", "password", nullptr};
    const char *vals[] = {o.pg.c_str(), "kel", "kelpw", nullptr};
    PGconn *pg = PQconnectdbParams(keys, vals, 1);
    if (PQstatus(pg) != CONNECTION_OK)
        throw std::runtime_error(std::string("PostgreSQL: ") + PQerrorMessage(pg));
    pgExec(pg, "SET client_min_messages = warning; DROP TABLE IF EXISTS smaccesslog4; DROP TABLE IF EXISTS bare_log");
    pgExec(pg, ddlFor("smaccesslog4.postgresql.sql", "smaccesslog4"));
    pgExec(pg, ddlFor("smaccesslog4.postgresql.sql", "bare_log"));

    startWriter(home, o.pg, "kelpw", o.rows);
    std::vector<double> bare, writer;
    PGconn *barePgConn = barePgOpen(o.pg);
    for (int r = 0; r < o.rounds; r++) {
        bare.push_back(besidePoller([&] { return barePg(barePgConn, "bare_log", o.rows, host); }));
        writer.push_back(writerRun(o.rows, r));
    }
    PQfinish(barePgConn);
    SmEventRelease();
    long bareRows = pgExec(pg, "SELECT count(*) FROM bare_log");
    long writerRows = pgExec(pg, "SELECT count(*) FROM smaccesslog4");
    PQfinish(pg);
    bool ok = bareRows == (long)o.rows * o.rounds && writerRows == (long)o.rows * o.rounds + 1;
    printf("{\"db\": \"PostgreSQL\", \"rows\": %d, \"rounds\": %d, \"bare_rows_per_s\": %.1f, "
           "\"writer_rows_per_s\": %.1f, \"ratio\": %.3f, \"rows_checked\": %s}\n",
           o.rows, o.rounds, overall(bare), overall(writer), overall(writer) / overall(bare), ok ? "true" : "false");
    fflush(stdout);
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
        else if (a == "--pg")
            o.pg = argv[i + 1];
        else if (a == "--only")
            o.only = argv[i + 1];
        else if (a == "--trace-level")
            o.traceLevel = atoi(argv[i + 1]);
        else {
            fprintf(stderr, "usage: bench_writer [--rows N] [--rounds R] [--pg URI] [--only NAME] [--trace-level L] "
                            "[--journal]\n");
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
