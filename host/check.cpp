/*
 * check.cpp - "smhost check": the administrator's configuration checked
 * before it is deployed.
 *
 * It reads $SM_HOME/config/keltrace.conf and kelaudit.conf and the scheme's
 * parameter string, tries the trace log for writing, loads the Agent API
 * and Oracle client libraries the way the plug-ins do (beside the plug-ins
 * first, then by name), logs on to the audit database with the stored
 * password and runs the audit INSERT in a transaction that it rolls back.
 * Each check prints one line, with the reasons indented below it; the exit
 * status is 0 when all passed without a warning, 1 with warnings, 2 when
 * one failed. The platform libraries are checked in checklibs.cpp, the
 * journal's folder and the status file in checkjournal.cpp.
 *
 * kelaudit.conf and the parameter string are read by the plug-ins' own
 * readers, linked into smhost: what they would have traced is collected
 * (checktrace.h) and shown under the check. keltrace.conf is read with the
 * plug-ins' line parser and the trace module's three keys.
 */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "accessfields.h"
#include "agent.h"
#include "audit.h"
#include "checkreport.h"
#include "checktrace.h"
#include "confline.h"
#include "journal.h"
#include "kelversion.h"
#include "libload.h"
#include "oci.h"
#include "smauthkel.h"
#include "smeventkel.h"
#include "smhost.h"

namespace smhost {

std::string dirOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

/* The path with "..", "." and symbolic links resolved; as given when it
 * cannot be. */
std::string resolved(const std::string &path)
{
    char *real = realpath(path.c_str(), nullptr);
    std::string out = real != nullptr ? real : path;
    free(real);
    return out;
}

namespace {

/* The statement buffer of the database writer: a longer INSERT is cut. */
const size_t SQL_SIZE = 1000;

/* ---- configuration files ---------------------------------------------- */

/* A line as the plug-ins read it (confline.h): its first LINE_SIZE - 1
 * characters; the rest of a longer line is no line of its own. */
struct ConfLine {
    int number;
    bool comment, blank, parsed;
    std::string name, value;
    char first;
    bool hasEquals;
};

bool readConfLines(const std::string &path, std::vector<ConfLine> &lines, std::string &error)
{
    char buf[LINE_SIZE], name[LINE_SIZE], value[LINE_SIZE];
    struct ConfReader reader;
    struct stat st;
    size_t len;
    int lineStart;
    FILE *f;
    int number = 1;

    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        error = path + ": not a regular file";
        return false;
    }
    f = fopen(path.c_str(), "r");
    if (f == nullptr) {
        error = path + ": " + strerror(errno);
        return false;
    }
    confReaderInit(&reader, f);
    while (confReadPiece(&reader, buf, sizeof buf, &len, &lineStart)) {
        int at = number;
        if (memchr(buf, '\n', len) != nullptr)
            number++;
        if (!lineStart)
            continue;
        ConfLine l{at, buf[0] == '#', buf[strspn(buf, " \t\r\n")] == '\0', false, "", "", buf[0],
                   strchr(buf, '=') != nullptr};
        if (confParseLine(buf, name, value)) {
            l.parsed = true;
            l.name = name;
            /* The scrambled password is as good as the password: not kept. */
            if (strcasecmp(name, "PASSWORD") != 0)
                l.value = value;
        }
        lines.push_back(l);
    }
    bool ok = !ferror(f);
    fclose(f);
    explicit_bzero(buf, sizeof buf);
    explicit_bzero(value, sizeof value);
    if (!ok)
        error = path + ": read error";
    return ok;
}

/* Lines the plug-ins skip without a word: worth a warning, as a setting
 * written there does nothing. */
void warnIgnoredLines(const std::vector<ConfLine> &lines, Check &c)
{
    for (const ConfLine &l : lines) {
        if (l.comment || l.blank || l.parsed)
            continue;
        const char *why = l.first == ' ' || l.first == '\t' ? "it starts with a blank"
                          : !l.hasEquals                    ? "it has no \"=\""
                          : l.first == '='                  ? "it has no name"
                                                            : "it has no value after \"=\"";
        c.warn("line " + std::to_string(l.number) + " is ignored: " + why);
    }
}

bool hasKey(const std::vector<ConfLine> &lines, const char *key)
{
    for (const ConfLine &l : lines)
        if (l.parsed && strcasecmp(l.name.c_str(), key) == 0)
            return true;
    return false;
}

/* The trace module's settings: its built-in values, then the file's
 * "file", "level" and "maxsize" (the last occurrence wins). */
struct TraceSettings {
    std::string file = "foglog";
    int level = 5;
    long long maxSize = 1000;
};

/* "level" and "maxsize" as the trace module reads them; a value that is
 * not a whole number is worth a warning, as the module names it too. */
int readLevel(const ConfLine &l, Check &c)
{
    int level = confIntValue(l.value.c_str());
    if (!confIntStrict(l.value.c_str(), &level))
        c.warn("line " + std::to_string(l.number) + ": level '" + l.value + "' is not a number: read as " +
               std::to_string(level));
    return level;
}

long long readSize(const ConfLine &l, Check &c)
{
    int whole;
    long long size = (long long)confSizeValue(l.value.c_str(), &whole);
    if (!whole)
        c.warn("line " + std::to_string(l.number) + ": maxsize '" + l.value +
               "' is not a number of bytes, nor one with K, M or G: read as " + std::to_string(size));
    return size;
}

TraceSettings checkTraceConf(const std::string &home, Report &report)
{
    TraceSettings t;
    Check c("keltrace.conf");
    std::vector<ConfLine> lines;
    std::string error;

    if (!readConfLines(home + "/" CONF_DIR "/keltrace.conf", lines, error)) {
        c.fail(error);
        c.fail("the plug-ins would trace to \"foglog\" in the policy server's working folder, "
               "1000 bytes at most");
    }
    warnIgnoredLines(lines, c);
    for (const ConfLine &l : lines) {
        if (!l.parsed)
            continue;
        if (strcasecmp(l.name.c_str(), "file") == 0)
            t.file = l.value;
        else if (strcasecmp(l.name.c_str(), "level") == 0)
            t.level = readLevel(l, c);
        else if (strcasecmp(l.name.c_str(), "maxsize") == 0)
            t.maxSize = readSize(l, c);
        else
            c.warn("line " + std::to_string(l.number) + ": \"" + l.name +
                   "\" is not a key (file, level, maxsize): ignored");
    }
    c.summary = "file " + t.file + ", level " + std::to_string(t.level) + ", limit " +
                std::to_string(t.maxSize) + " bytes";
    if (t.level < TRACE_1)
        c.fail("level " + std::to_string(t.level) + ": nothing is written, not even failures");
    else if (t.level >= TRACE_SECURE)
        c.warn("level " + std::to_string(t.level) + " writes passwords, PINs and session cookies");
    if (t.maxSize <= 0)
        c.fail("maxsize " + std::to_string(t.maxSize) + ": nothing is written");
    report.print(c);
    return t;
}

/* Whether the log can be opened the way the trace module opens it. */
void checkTraceLog(const TraceSettings &t, Report &report)
{
    Check c("trace log");
    struct stat st;

    c.summary = t.file;
    if (t.file[0] != '/') {
        char cwd[PATH_SIZE];
        c.warn("a relative name is opened in the policy server's working folder; checked in " +
               std::string(getcwd(cwd, sizeof cwd) != nullptr ? cwd : "."));
    }
    if (stat(t.file.c_str(), &st) == 0) {
        int fd = S_ISREG(st.st_mode) ? open(t.file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC) : -1;
        if (!S_ISREG(st.st_mode)) {
            c.fail("not a regular file");
        } else if (fd < 0) {
            c.fail(std::string("cannot be written: ") + strerror(errno));
        } else if ((long long)st.st_size >= (long long)t.maxSize) {
            c.fail("full: " + std::to_string((long long)st.st_size) + " bytes, limit " +
                   std::to_string(t.maxSize) + ": no line is written until it is moved away or "
                   "maxsize is raised");
        } else {
            c.summary += ": can be written (" + std::to_string((long long)st.st_size) + " of " +
                         std::to_string(t.maxSize) + " bytes used)";
        }
        if (fd >= 0)
            close(fd);
    } else if (errno == ENOENT) {
        std::string dir = dirOf(t.file);
        if (access(dir.c_str(), W_OK | X_OK) != 0)
            c.fail("cannot be created in " + dir + ": " + strerror(errno));
        else
            c.summary += ": will be created (its folder is writable)";
    } else {
        c.fail(strerror(errno));
    }
    report.print(c);
}

/* What the plug-in's reader traced at level 1: a value it replaces with
 * the nearest usable one ("..., using 1") is a warning, as the plug-in runs
 * on; anything else is a failure. */
bool failOnTraced(Check &c)
{
    bool any = false;
    for (const auto &m : takeTraced()) {
        if (m.first > TRACE_ERROR)
            continue;
        if (m.second.find(", using ") != std::string::npos) {
            c.warn(m.second);
        } else {
            c.fail(m.second);
            any = true;
        }
    }
    return any;
}

/* Reads kelaudit.conf with the event handler's own reader into p; false
 * when the file cannot be read at all. */
bool checkAuditConf(const std::string &home, Param &p, bool &noPassword, Report &report)
{
    Check c("kelaudit.conf");
    std::string path = home + "/" CONF_DIR "/kelaudit.conf", error;
    std::vector<ConfLine> lines;
    struct stat st;

    if (!readConfLines(path, lines, error)) {
        c.summary = "cannot be read";
        c.fail(error);
        c.fail("the event handler would run on its built-in settings");
        report.print(c);
        return false;
    }
    if (stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", (unsigned)(st.st_mode & 07777));
        c.warn(std::string("mode ") + mode + ": others may read the scrambled password; chmod 600 " + path);
    }
    warnIgnoredLines(lines, c);
    /* Without a password line the built-in one is used: whether that is
     * wrong, the logon tells (a database may take none). */
    noPassword = !hasKey(lines, "PASSWORD");
    for (const char *key : {"DATASOURCE", "USER"})
        if (!hasKey(lines, key))
            c.warn(std::string(key) + " is not set: the built-in value is used");
    takeTraced();
    readConfigFile(&p);
    failOnTraced(c);
    c.summary = "data source " + std::string(p.dataSource) + ", user " + p.user + ", table " + p.table +
                ", MIN_LEVEL " + std::to_string(p.minLevel) + ", MAX_QUEUE " + std::to_string(p.maxQueue) +
                ", RETRY_DELAY " + std::to_string(p.retryDelay);
    report.print(c);
    return true;
}

void checkParameters(const std::string *params, Report &report)
{
    Check c("scheme parameters");
    Parameters p;

    if (params == nullptr) {
        c.verdict = Check::SKIP;
        c.summary = "none given (--params STRING)";
        report.print(c);
        return;
    }
    takeTraced();
    int good = parseParameters(params->c_str(), &p);
    failOnTraced(c);
    if (!good) {
        c.summary = "refused";
        c.fail("every login would fail with status 1, reason 38");
    } else {
        c.summary = std::string("AGENT_NAME ") + p.agentName + ", USE_PIN " + (p.usePin ? "yes" : "no") +
                    ", levels " + std::to_string(p.minLevel) + " to " + std::to_string(p.maxLevel) +
                    ", ports " + std::to_string(p.portAz) + "/" + std::to_string(p.portAuth) + "/" +
                    std::to_string(p.portAcct);
        if (strcmp(p.url, "BAD_KEL_AUTH_URL") == 0)
            c.warn("URL is not set: the credentials query answers \"BAD_KEL_AUTH_URL\"");
        /* The scheme traces this at its start and runs without the PIN. */
        if (p.usePinUnclear)
            c.warn(std::string("USE_PIN '") + p.usePinValue + "' is neither yes nor no: the PIN check is off");
    }
    report.print(c);
}

/* ---- the audit database ----------------------------------------------- */

struct Database {
    const OciCalls &oci;
    OCIEnv *env = nullptr;
    OCIError *err = nullptr;
    OCISvcCtx *svc = nullptr;
    OCIStmt *stmt = nullptr;

    explicit Database(const OciCalls &calls) : oci(calls) {}
    /* Freeing the environment frees every handle made from it and, without
     * a logoff, drops the connection: what is open is rolled back. */
    ~Database()
    {
        if (env != nullptr)
            oci.handleFree(env, OCI_HTYPE_ENV);
    }

    /* The client's records for a failed call, each as a reason. */
    void reasons(sword status, Check &c)
    {
        char buf[512];
        sb4 code;
        bool any = false;
        void *h = err != nullptr ? (void *)err : (void *)env;
        ub4 type = err != nullptr ? OCI_HTYPE_ERROR : OCI_HTYPE_ENV;
        for (ub4 rec = 1; h != nullptr; rec++) {
            buf[0] = '\0';
            if (oci.errorGet(h, rec, nullptr, &code, (OraText *)buf, sizeof buf, type) != OCI_SUCCESS)
                break;
            c.fail(buf);
            any = true;
        }
        if (!any)
            c.fail("status " + std::to_string(status));
    }

    bool step(sword status, Check &c)
    {
        if (status == OCI_SUCCESS || status == OCI_SUCCESS_WITH_INFO)
            return true;
        reasons(status, c);
        return false;
    }
};

bool logOn(Database &db, const Param &p, Check &c)
{
    const OciCalls &oci = db.oci;
    c.summary = std::string("as ") + p.user + " to " + p.dataSource;
    return db.step(oci.envCreate(&db.env, OCI_THREADED | OCI_NO_MUTEX, nullptr, nullptr, nullptr,
                                 nullptr, 0, nullptr),
                   c) &&
           db.step(oci.handleAlloc(db.env, (void **)&db.err, OCI_HTYPE_ERROR, 0, nullptr), c) &&
           db.step(oci.logon(db.env, db.err, &db.svc, (const OraText *)p.user, (ub4)strlen(p.user),
                             (const OraText *)p.password, (ub4)strlen(p.password),
                             (const OraText *)p.dataSource, (ub4)strlen(p.dataSource)),
                   c);
}

/* The writer's INSERT, made from the same column list; "" when it would
 * not fit the writer's statement buffer. */
std::string auditInsert(const std::string &table)
{
    std::string cols, values;
    for (int i = 0; i < AUDIT_COLUMN_COUNT; i++) {
        const AuditColumn &col = auditColumns[i];
        cols += std::string(i > 0 ? ", " : "") + col.name;
        values += i > 0 ? ", " : "";
        if (col.source == AUDIT_CATEGORY)
            values += std::to_string(SM_EVENT_CATEGORY_AUTH);
        else if (col.source == AUDIT_EVENT)
            values += std::to_string(SM_EVENT_AUTH_ACCEPT);
        else if (col.source == AUDIT_REASON)
            values += "0";
        else
            values += std::string(":") + col.name;
    }
    std::string sql = "INSERT INTO " + table + " (" + cols + ") VALUES (" + values + ")";
    return sql.size() < SQL_SIZE ? sql : "";
}

/* Inserts one row as the writer would, then rolls it back. */
void insertAndRollBack(Database &db, const Param &p, Check &c)
{
    const OciCalls &oci = db.oci;
    char host[500];
    User u;
    u.dn = "smhost-check";
    AccessEvent ev(u, "smhost-check", "smhost check: this row is rolled back");
    std::string sql = auditInsert(p.table);

    c.summary = std::string("into ") + p.table;
    if (sql.empty()) {
        c.fail("TABLE is too long: the writer would cut its statement to " + std::to_string(SQL_SIZE - 1) +
               " characters, and every insert would fail");
        return;
    }
    if (gethostname(host, sizeof host) != 0)
        snprintf(host, sizeof host, "%s", "unknown");
    host[sizeof host - 1] = '\0';
    bool ok = db.step(oci.handleAlloc(db.env, (void **)&db.stmt, OCI_HTYPE_STMT, 0, nullptr), c) &&
              db.step(oci.stmtPrepare(db.stmt, db.err, (const OraText *)sql.c_str(), (ub4)sql.size(),
                                      OCI_NTV_SYNTAX, OCI_DEFAULT),
                      c);
    sb2 ind = 0;
    std::vector<OCIBind *> binds(AUDIT_COLUMN_COUNT, nullptr);
    for (int i = 0; ok && i < AUDIT_COLUMN_COUNT; i++) {
        const AuditColumn &col = auditColumns[i];
        if (col.source != AUDIT_HOST && col.source != AUDIT_FIELD)
            continue;
        const char *value = col.source == AUDIT_HOST ? host : accessFieldText(&ev.rec, col.field);
        std::string name = std::string(":") + col.name;
        ok = db.step(oci.bindByName(db.stmt, &binds[(size_t)i], db.err, (const OraText *)name.c_str(),
                                    (sb4)name.size(), (void *)value, (sb4)(strlen(value) + 1), SQLT_STR,
                                    &ind, nullptr, nullptr, 0, nullptr, OCI_DEFAULT),
                     c);
    }
    ok = ok && db.step(oci.stmtExecute(db.svc, db.stmt, db.err, 1, 0, nullptr, nullptr, OCI_DEFAULT), c);
    /* Always end the transaction: a logoff would commit what is open. */
    Check rollback("rollback");
    if (!db.step(oci.transRollback(db.svc, db.err, OCI_DEFAULT), rollback)) {
        for (const std::string &r : rollback.reasons)
            c.fail("rollback: " + r);
        c.fail("the connection is dropped without a logoff, so the row is not committed");
        return; /* the destructor frees the environment */
    }
    if (ok)
        c.summary += ": a row can be inserted (rolled back)";
    oci.logoff(db.svc, db.err);
    db.svc = nullptr;
}

void checkDatabase(const OciCalls *oci, const Param *p, bool noPassword, Report &report)
{
    Check logon("database logon"), insert("audit INSERT");
    if (oci == nullptr || p == nullptr) {
        logon.verdict = insert.verdict = Check::SKIP;
        logon.summary = insert.summary = oci == nullptr ? "no Oracle client" : "no kelaudit.conf";
        report.print(logon);
        report.print(insert);
        return;
    }
    Database db(*oci);
    bool on = logOn(db, *p, logon);
    if (!on && noPassword)
        logon.fail("kelaudit.conf has no password line: the built-in password was used; set it with kelpasswd");
    report.print(logon);
    if (!on) {
        insert.verdict = Check::SKIP;
        insert.summary = "not logged on";
    } else {
        insertAndRollBack(db, *p, insert);
    }
    report.print(insert);
}

/* Exit status: all good, warnings, failures (a check that cannot run is
 * a failure). */
const int CHECK_OK = 0, CHECK_WARNINGS = 1, CHECK_FAILED = 2;

int usage(const std::string &msg)
{
    fprintf(stderr, "smhost check: %s\n", msg.c_str());
    return CHECK_FAILED;
}

} // namespace

int runCheck(const std::vector<std::string> &args)
{
    std::string home, params, libArg;
    bool haveParams = false;
    for (size_t i = 0; i < args.size(); i++) {
        if ((args[i] == "--home" || args[i] == "--params" || args[i] == "--lib-dir") && i + 1 < args.size()) {
            (args[i] == "--home" ? home : args[i] == "--params" ? params : libArg) = args[i + 1];
            haveParams = haveParams || args[i] == "--params";
            i++;
        } else {
            return usage("unknown option " + args[i] + " (options: --home DIR, --params STRING, --lib-dir DIR)");
        }
    }
    if (home.empty()) {
        const char *env = getenv("SM_HOME");
        if (env == nullptr || *env == '\0')
            return usage("SM_HOME is not set: give --home DIR");
        home = env;
    }
    struct stat st;
    if (stat(home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return usage(home + " is not a folder");
    /* The plug-ins' readers, and the stand-in client's SQLite files, go by
     * SM_HOME. */
    setenv("SM_HOME", home.c_str(), 1);
    Layout layout = findLayout(libArg);

    printf("smhost check (kel %s) of SM_HOME %s\n", KEL_VERSION, home.c_str());
    Report report;
    TraceSettings t = checkTraceConf(home, report);
    checkTraceLog(t, report);
    Param p;
    bool noPassword = false;
    bool haveConf = checkAuditConf(home, p, noPassword, report);
    if (haveConf) {
        checkJournal(p.spoolDir, p.spoolMaxMb, report);
        checkStatusFile(p.statusFile, report);
    }
    checkParameters(haveParams ? &params : nullptr, report);

    Check plugins("plug-ins");
    void *auth = dlopen((layout.libDir + "/libsmauthkel.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (auth == nullptr)
        plugins.fail(dlerror());
    void *event = dlopen((layout.libDir + "/libsmeventkel.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (event == nullptr)
        plugins.fail(dlerror());
    plugins.summary = "libsmauthkel.so and libsmeventkel.so in " + layout.libDir;
    report.print(plugins);

    void *agentApi = checkAgentApi(auth, report);
    OciCalls oci;
    void *client = checkOracleClient(event, oci, report);
    checkDatabase(client != nullptr ? &oci : nullptr, haveConf ? &p : nullptr, noPassword, report);
    explicit_bzero(p.password, sizeof p.password);

    /* The libraries stay loaded until the program ends, as in a policy
     * server: the plug-ins never unload them either. */
    (void)agentApi;
    if (report.failed > 0) {
        printf("%d of %d checks FAILED.\n", report.failed, report.checks);
        return CHECK_FAILED;
    }
    if (report.warned > 0) {
        printf("%d checks passed, %d with warnings.\n", report.checks, report.warned);
        return CHECK_WARNINGS;
    }
    printf("%d checks passed.\n", report.checks);
    return CHECK_OK;
}

} // namespace smhost
