/*
 * common.cpp - what the demo and the load driver share: the layout of the
 * installation, loading the plug-ins, the user directory and its attribute
 * getter, access records, and the audit table.
 */
#include "smhost.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sstream>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <ctype.h>
#include <unistd.h>

#include "accessfields.h"

namespace smhost {

static std::string dirOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

static bool isDir(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Layout findLayout(const std::string &libDirOverride)
{
    Layout l;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = '\0';
    l.binDir = dirOf(self);
    std::string prefix = dirOf(l.binDir);
    l.libDir = libDirOverride.empty() ? prefix + "/lib" : libDirOverride;
    /* Installed: <prefix>/share/kel/sql; in the build tree: the sources. */
    l.sqlDir = isDir(prefix + "/share/kel/sql") ? prefix + "/share/kel/sql" : KEL_SOURCE_SQL_DIR;
    l.standinDir = isDir(prefix + "/lib/standins") ? prefix + "/lib/standins" : l.libDir;
    return l;
}

template <typename F> static bool resolve(void *lib, const char *name, F &fn, std::string &error)
{
    *(void **)&fn = dlsym(lib, name);
    if (fn == nullptr)
        error = std::string("entry point ") + name + " missing";
    return fn != nullptr;
}

bool loadPlugins(const std::string &libDir, Plugins &p, std::string &error)
{
    std::string auth = libDir + "/libsmauthkel.so";
    std::string event = libDir + "/libsmeventkel.so";
    p.auth = dlopen(auth.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (p.auth == nullptr) {
        error = dlerror();
        return false;
    }
    p.event = dlopen(event.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (p.event == nullptr) {
        error = dlerror();
        unloadPlugins(p);
        return false;
    }
    if (!resolve(p.auth, "SmAuthQuery", p.authQuery, error) ||
        !resolve(p.auth, "SmAuthInit", p.authInit, error) ||
        !resolve(p.auth, "SmAuthenticate", p.authenticate, error) ||
        !resolve(p.auth, "SmAuthRelease", p.authRelease, error) ||
        !resolve(p.event, "SmEventInit", p.eventInit, error) ||
        !resolve(p.event, "SmEventRelease", p.eventRelease, error) ||
        !resolve(p.event, "SmEventRecord", p.eventRecord, error)) {
        unloadPlugins(p);
        return false;
    }
    return true;
}

void unloadPlugins(Plugins &p)
{
    if (p.auth != nullptr)
        dlclose(p.auth);
    if (p.event != nullptr)
        dlclose(p.event);
    p = Plugins();
}

static std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    size_t e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

bool readUsers(const std::string &path, std::vector<User> &users, std::string &error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read user file " + path + ": " + strerror(errno);
        return false;
    }
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        lineNo++;
        line = trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> fields;
        std::stringstream ss(line);
        std::string f;
        while (std::getline(ss, f, '|'))
            fields.push_back(trim(f));
        char *end = nullptr;
        User u;
        if (fields.size() < 3 || fields[0].empty()) {
            error = path + ":" + std::to_string(lineNo) + ": expected \"dn | level | PIN | name=value ...\"";
            return false;
        }
        u.dn = fields[0];
        long level = strtol(fields[1].c_str(), &end, 10);
        if (fields[1].empty() || *end != '\0' || level < -1000000 || level > 1000000) {
            error = path + ":" + std::to_string(lineNo) + ": level '" + fields[1] + "' is not a number";
            return false;
        }
        u.level = (int)level;
        u.pin = fields[2];
        for (size_t i = 3; i < fields.size(); i++) {
            size_t eq = fields[i].find('=');
            if (eq == std::string::npos || eq == 0) {
                error = path + ":" + std::to_string(lineNo) + ": attribute '" + fields[i] + "' is not name=value";
                return false;
            }
            u.attrs[fields[i].substr(0, eq)] = fields[i].substr(eq + 1);
        }
        users.push_back(u);
    }
    if (users.empty()) {
        error = "no users in " + path;
        return false;
    }
    return true;
}

std::vector<User> builtinUsers()
{
    std::vector<User> users;
    auto add = [&](const char *uid, int level, const char *pin) {
        User u;
        u.dn = std::string("uid=") + uid + ",ou=people,o=kel";
        u.level = level;
        u.pin = pin;
        u.attrs["SM_USERLOGINNAME"] = uid;
        u.attrs["mail"] = std::string(uid) + "@example.org";
        users.push_back(u);
    };
    add("alice", 3, "1234");
    add("bob", 2, "4321");
    add("carol", 5, "1111");
    add("dave", 3, "2222");
    add("eve", 3, "3333");
    return users;
}

/* The attribute getter: the user's own attributes, its DN, level and PIN
 * under the scheme's default names, a few of the server's own. */
static int getUserAttr(void *handle, const char *name, int size, char *buf)
{
    const User *u = (const User *)handle;
    std::string value;

    if (size <= 0)
        return -1;
    auto it = u->attrs.find(name);
    if (it != u->attrs.end())
        value = it->second;
    else if (strcmp(name, "authlevel") == 0)
        value = std::to_string(u->level);
    else if (strcmp(name, "pin") == 0)
        value = u->pin;
    else if (strcmp(name, "SM_USERNAME") == 0 || strcmp(name, "SM_USERPATH") == 0)
        value = u->dn;
    else
        return -1;
    snprintf(buf, (size_t)size, "%s", value.c_str());
    return (int)strlen(buf);
}

UserContext::UserContext(const User &user, bool identified)
{
    sessionId_ = "host-session-" + user.dn;
    ctx.bIsUserContext = identified ? 1 : 0;
    ctx.lpszUserName = user.dn.c_str();
    ctx.lpszUserPath = user.dn.c_str();
    ctx.lpszDirPath = "ldap://ldap.example.org:389/o=kel";
    ctx.lpszDirOid = "0e-directory";
    ctx.lpszDirServer = "ldap.example.org:389";
    ctx.lpszDirNamespace = "LDAP:";
    ctx.lpszSessionId = sessionId_.c_str();
    ctx.lpszSessionSpec = "";
    ctx.pReserved = nullptr;
    ctx.hUserContext = (void *)&user;
    ctx.fnGetUserAttr = getUserAttr;
}

AccessEvent::AccessEvent(const User &user, const std::string &sessionId, const std::string &txn)
{
    texts_ = {"webagent1", sessionId, "192.0.2.10", user.dn, "domain-0001", "protected",
              "realm-0001", "corporate-ldap", "ldap.example.org:389", "LDAP:", "www.example.org",
              "/stepup/index.html", "GET", txn, "Step-up login accepted"};
    for (int i = 0; i < ACCESS_FIELD_COUNT; i++)
        *accessFieldSlot(&rec, i) = &texts_[i][0];
    rec.nVersion = 1;
    rec.nCurrentTime = (int32_t)time(nullptr);
    rec.nReason = 0;
}

const char *const OWN_MARK = "# Written by smhost, which may write it again: edits here do not last.\n";

FileOwner fileOwner(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? FileOwner::NONE : FileOwner::ADMIN;
    /* Anything that cannot be read as a file of ours is someone else's. */
    std::ifstream in(path);
    std::string first;
    if (!S_ISREG(st.st_mode) || !std::getline(in, first))
        return FileOwner::ADMIN;
    return first + "\n" == OWN_MARK ? FileOwner::SMHOST : FileOwner::ADMIN;
}

bool writeOwnFile(const std::string &path, const std::string &content, std::string &error)
{
    if (fileOwner(path) == FileOwner::ADMIN) {
        error = path + " was not written by smhost; it is left as it is";
        return false;
    }
    return writePrivateFile(path, OWN_MARK + content, error);
}

bool writePrivateFile(const std::string &path, const std::string &content, std::string &error)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || write(fd, content.data(), content.size()) != (ssize_t)content.size()) {
        error = "cannot write " + path + ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    return close(fd) == 0;
}

std::string makeHome(const std::string &given, std::string &error)
{
    std::string home = given;
    if (home.empty()) {
        const char *tmp = getenv("TMPDIR");
        std::string tmpl = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/smhostXXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr) {
            error = "cannot create a folder for SM_HOME: " + std::string(strerror(errno));
            return "";
        }
        home = buf.data();
    }
    for (const char *sub : {"/" CONF_DIR, "/data", "/log"}) {
        std::string d = home + sub;
        if (mkdir(d.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create " + d + ": " + strerror(errno);
            return "";
        }
    }
    return home;
}

/* kelpasswd of this installation, with the password as its argument: the
 * way an administrator sets the database password. */
bool runKelpasswd(const Layout &l, const std::string &home, const std::string &password)
{
    pid_t pid = fork();
    if (pid == 0) {
        std::string tool = l.binDir + "/kelpasswd";
        setenv("SM_HOME", home.c_str(), 1);
        execl(tool.c_str(), "kelpasswd", password.c_str(), (char *)nullptr);
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool isPostgres(const std::string &ds)
{
    return ds.rfind("postgresql://", 0) == 0 || ds.rfind("postgres://", 0) == 0;
}

static PGconn *pgConnect(const AuditDb &db, std::string &error)
{
    const char *keys[] = {"dbname", "user", "password", "connect_timeout", nullptr};
    const char *values[] = {db.dataSource.c_str(), db.user.c_str(), db.password.c_str(), "5", nullptr};
    PGconn *c = PQconnectdbParams(keys, values, 1);
    if (PQstatus(c) != CONNECTION_OK) {
        error = std::string("cannot connect to ") + db.dataSource + ": " + PQerrorMessage(c);
        PQfinish(c);
        return nullptr;
    }
    return c;
}

static std::string readText(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool createAuditTable(const AuditDb &db, const std::string &sqlDir, std::string &error)
{
    std::string file = sqlDir + (isPostgres(db.dataSource) ? "/smaccesslog4.postgresql.sql"
                                                          : "/smaccesslog4.sqlite.sql");
    std::string ddl = readText(file);
    if (ddl.empty()) {
        error = "cannot read the table definition " + file;
        return false;
    }
    /* The definition names smaccesslog4 (and its index after it): give both
     * the table's own name. */
    for (size_t pos = 0; (pos = ddl.find("smaccesslog4", pos)) != std::string::npos; pos += db.table.size())
        ddl.replace(pos, 12, db.table);
    /* A table that is there already is used as it is (rows are told apart
     * by their run's transaction ids): nothing is created, so a database
     * user without the right to create tables can run against it. */
    if (isPostgres(db.dataSource)) {
        PGconn *c = pgConnect(db, error);
        if (c == nullptr)
            return false;
        const char *name[] = {db.table.c_str()};
        PGresult *r = PQexecParams(c, "SELECT to_regclass($1) IS NOT NULL", 1, nullptr, name, nullptr,
                                   nullptr, 0);
        bool exists = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 &&
                      strcmp(PQgetvalue(r, 0, 0), "t") == 0;
        PQclear(r);
        r = exists ? nullptr : PQexec(c, ddl.c_str());
        bool ok = exists || PQresultStatus(r) == PGRES_COMMAND_OK;
        if (!ok)
            error = "cannot create the audit table: " + std::string(PQerrorMessage(c));
        PQclear(r);
        PQfinish(c);
        return ok;
    }
    sqlite3 *s = nullptr;
    sqlite3_stmt *st = nullptr;
    char *err = nullptr;
    bool ok = sqlite3_open_v2(db.dataSource.c_str(), &s, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                              nullptr) == SQLITE_OK &&
              sqlite3_busy_timeout(s, 5000) == SQLITE_OK &&
              sqlite3_prepare_v2(s, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1", -1, &st,
                                 nullptr) == SQLITE_OK &&
              sqlite3_bind_text(st, 1, db.table.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK;
    bool exists = ok && sqlite3_step(st) == SQLITE_ROW;
    sqlite3_finalize(st);
    ok = ok && (exists || sqlite3_exec(s, ddl.c_str(), nullptr, nullptr, &err) == SQLITE_OK);
    if (!ok)
        error = "cannot create the audit table in " + db.dataSource + ": " +
                (err != nullptr ? err : sqlite3_errmsg(s));
    sqlite3_free(err);
    sqlite3_close(s);
    return ok;
}

bool readAuditRows(const AuditDb &db, const std::string &prefix,
                   std::vector<std::pair<std::string, std::string>> &rows, std::string &error, bool *lasting)
{
    bool dummy;
    if (lasting == nullptr)
        lasting = &dummy;
    *lasting = false;
    rows.clear();
    if (isPostgres(db.dataSource)) {
        PGconn *c = pgConnect(db, error);
        if (c == nullptr)
            return false;
        std::string sql = "SELECT sm_username, sm_transactionid FROM " + db.table +
                          " WHERE substr(sm_transactionid, 1, length($1)) = $1 ORDER BY id";
        const char *params[] = {prefix.c_str()};
        PGresult *r = PQexecParams(c, sql.c_str(), 1, nullptr, params, nullptr, nullptr, 0);
        bool ok = PQresultStatus(r) == PGRES_TUPLES_OK;
        const char *state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
        if (!ok) {
            error = "cannot read the audit table: " + std::string(PQresultErrorMessage(r));
            while (!error.empty() && isspace((unsigned char)error.back()))
                error.pop_back();
            /* A missing right stays missing; anything else (a table
             * dropped and made again, a lost connection) may pass. */
            *lasting = state != nullptr && (strcmp(state, "42501") == 0 || strncmp(state, "28", 2) == 0);
            if (state != nullptr && strcmp(state, "42501") == 0)
                error += " (the database user needs SELECT on " + db.table + " for this)";
        }
        for (int i = 0; ok && i < PQntuples(r); i++)
            rows.emplace_back(PQgetvalue(r, i, 0), PQgetvalue(r, i, 1));
        PQclear(r);
        PQfinish(c);
        return ok;
    }
    sqlite3 *s = nullptr;
    sqlite3_stmt *st = nullptr;
    std::string sql = "SELECT sm_username, sm_transactionid FROM " + db.table +
                      " WHERE substr(sm_transactionid, 1, length(?1)) = ?1 ORDER BY rowid";
    bool ok = sqlite3_open_v2(db.dataSource.c_str(), &s, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
              sqlite3_busy_timeout(s, 5000) == SQLITE_OK &&
              sqlite3_prepare_v2(s, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
              sqlite3_bind_text(st, 1, prefix.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK;
    int rc = SQLITE_ROW;
    while (ok && (rc = sqlite3_step(st)) == SQLITE_ROW)
        rows.emplace_back((const char *)sqlite3_column_text(st, 0), (const char *)sqlite3_column_text(st, 1));
    if (!ok || rc != SQLITE_DONE) {
        error = "cannot read the audit table in " + db.dataSource + ": " + sqlite3_errmsg(s);
        int code = sqlite3_errcode(s);
        *lasting = code == SQLITE_CANTOPEN || code == SQLITE_PERM || code == SQLITE_AUTH || code == SQLITE_NOTADB;
        ok = false;
    }
    sqlite3_finalize(st);
    sqlite3_close(s);
    return ok;
}


void AuditRowCounter::close()
{
    if (pg_ != nullptr)
        PQfinish(pg_);
    if (lite_ != nullptr)
        sqlite3_close(lite_);
    pg_ = nullptr;
    lite_ = nullptr;
}

AuditRowCounter::~AuditRowCounter()
{
    close();
}

bool AuditRowCounter::poll(long &count)
{
    /* The insertion order is id on PostgreSQL, rowid on SQLite (as for
     * readAuditRows). */
    const char *sql = "SELECT count(*), max(%s) FROM %s WHERE %s > %ld AND "
                      "substr(sm_transactionid, 1, length(%s)) = %s";
    char text[1024];
    long n = 0, last = after_;
    bool ok;
    std::string error;
    if (isPostgres(db_.dataSource)) {
        if (pg_ == nullptr)
            pg_ = pgConnect(db_, error);
        snprintf(text, sizeof text, sql, "id", db_.table.c_str(), "id", after_, "$1", "$1");
        const char *params[] = {prefix_.c_str()};
        PGresult *r = pg_ != nullptr ? PQexecParams(pg_, text, 1, nullptr, params, nullptr, nullptr, 0) : nullptr;
        ok = r != nullptr && PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1;
        if (ok) {
            n = atol(PQgetvalue(r, 0, 0));
            last = PQgetisnull(r, 0, 1) ? after_ : atol(PQgetvalue(r, 0, 1));
        }
        PQclear(r);
    } else {
        if (lite_ == nullptr && sqlite3_open_v2(db_.dataSource.c_str(), &lite_, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK)
            sqlite3_busy_timeout(lite_, 5000);
        snprintf(text, sizeof text, sql, "rowid", db_.table.c_str(), "rowid", after_, "?1", "?1");
        sqlite3_stmt *st = nullptr;
        ok = lite_ != nullptr && sqlite3_prepare_v2(lite_, text, -1, &st, nullptr) == SQLITE_OK &&
             sqlite3_bind_text(st, 1, prefix_.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
             sqlite3_step(st) == SQLITE_ROW;
        if (ok) {
            n = (long)sqlite3_column_int64(st, 0);
            last = sqlite3_column_type(st, 1) == SQLITE_NULL ? after_ : (long)sqlite3_column_int64(st, 1);
        }
        sqlite3_finalize(st);
    }
    if (!ok) {
        close();
        return false;
    }
    count += n;
    after_ = last;
    return true;
}

const char *const LOAD_ROW_PATTERN = "authlevel=%;run=%;thread=%;seq=%";

bool otherAuditRows(const AuditDb &db, long &count, std::string &error)
{
    /* A subquery with a limit: a big table is not scanned to the end. */
    std::string sql = "SELECT count(*) FROM (SELECT 1 FROM " + db.table +
                      " WHERE sm_transactionid IS NULL OR sm_transactionid NOT LIKE '" + LOAD_ROW_PATTERN +
                      "' LIMIT 1000) AS other";
    count = 0;
    if (isPostgres(db.dataSource)) {
        PGconn *c = pgConnect(db, error);
        if (c == nullptr)
            return false;
        PGresult *r = PQexec(c, sql.c_str());
        bool ok = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1;
        if (ok)
            count = atol(PQgetvalue(r, 0, 0));
        else
            error = "cannot read the audit table: " + std::string(PQresultErrorMessage(r));
        PQclear(r);
        PQfinish(c);
        return ok;
    }
    sqlite3 *s = nullptr;
    sqlite3_stmt *st = nullptr;
    bool ok = sqlite3_open_v2(db.dataSource.c_str(), &s, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
              sqlite3_busy_timeout(s, 5000) == SQLITE_OK &&
              sqlite3_prepare_v2(s, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW;
    if (ok)
        count = sqlite3_column_int64(st, 0);
    else
        error = "cannot read the audit table in " + db.dataSource + ": " + sqlite3_errmsg(s);
    sqlite3_finalize(st);
    sqlite3_close(s);
    return ok;
}

} // namespace smhost
