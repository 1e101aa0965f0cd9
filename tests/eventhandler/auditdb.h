/*
 * auditdb.h - an SQLite audit database for the writer's tests, made from
 * the project's own table definition, and its rows read back.
 */
#ifndef KEL_AUDITDB_H
#define KEL_AUDITDB_H

#include <map>
#include <stdio.h>
#include <sqlite3.h>
#include <stdexcept>
#include <string>
#include <vector>

#include "testsupport.h"

namespace kt {

using Row = std::map<std::string, std::string>;

/* Creates the database file at path from sql/smaccesslog4.sqlite.sql. It
 * is made under another name and renamed into place, so a writer retrying
 * its logon meanwhile never opens a half-made database. */
inline void createAuditDb(const std::string &path)
{
    std::string tmp = path + ".new";
    sqlite3 *db = nullptr;
    char *err = nullptr;
    std::string ddl = readFile(std::string(KEL_SQL_DIR) + "/smaccesslog4.sqlite.sql");
    if (ddl.empty())
        throw std::runtime_error("no table definition");
    if (sqlite3_open(tmp.c_str(), &db) != SQLITE_OK ||
        sqlite3_exec(db, ddl.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err != nullptr ? err : sqlite3_errmsg(db);
        sqlite3_free(err);
        sqlite3_close(db);
        throw std::runtime_error("cannot create audit table: " + msg);
    }
    sqlite3_close(db);
    if (rename(tmp.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot rename " + tmp);
}

/* All rows of the table, in insertion order; NULL columns read "(null)". */
inline std::vector<Row> auditRows(const std::string &path, const std::string &table = "smaccesslog4")
{
    std::vector<Row> rows;
    sqlite3 *db = nullptr;
    sqlite3_stmt *st = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return rows;
    }
    sqlite3_busy_timeout(db, 5000);
    std::string sql = "SELECT * FROM " + table + " ORDER BY rowid";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            Row r;
            for (int i = 0; i < sqlite3_column_count(st); i++) {
                const unsigned char *v = sqlite3_column_text(st, i);
                r[sqlite3_column_name(st, i)] = v != nullptr ? (const char *)v : "(null)";
            }
            rows.push_back(r);
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

} // namespace kt

#endif
