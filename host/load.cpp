/*
 * load.cpp - "smhost load": many threads logging in at once, each accepted
 * login recorded with the event handler, against SQLite or PostgreSQL.
 *
 * Each thread has users of its own; every login gets a fresh single sign-on
 * session (made outside the measured call), posts PIN;cookie and, once
 * accepted, records the access event. The transaction id carries the run,
 * the thread and a sequence number, so the final check finds exactly this
 * run's rows and each thread's rows in its own order.
 *
 * In an SM_HOME with the administrator's own keltrace.conf or kelaudit.conf
 * those files are used as they are, read with the event handler's own
 * reader, and never replaced; the options they would override are then
 * refused.
 */
#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <thread>
#include <unistd.h>

#include "checktrace.h"
#include "smagent_control.h"
#include "smeventkel.h"
#include "smhost.h"

namespace smhost {

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int threads = 4;
    long logins = 1000;
    double seconds = 0;
    int traceLevel = 1;
    int maxQueue = 20;
    std::string dataSource, dbUser = "kel", dbPassword, table = "smaccesslog4";
    std::string home, libDir;
    bool createTable = false;
    std::vector<std::string> given; /* the options on the command line */

    bool has(const char *option) const { return std::find(given.begin(), given.end(), option) != given.end(); }
};

struct ThreadResult {
    std::vector<double> authUs, recordUs;
    long accepted = 0, refused = 0;
};

int usage(const std::string &msg)
{
    fprintf(stderr, "smhost load: %s\n", msg.c_str());
    return 1;
}

bool parse(const std::vector<std::string> &args, Options &o, std::string &error)
{
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &a = args[i];
        o.given.push_back(a);
        if (a == "--create-table") {
            o.createTable = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            error = "unknown option or missing value: " + a;
            return false;
        }
        const std::string &v = args[++i];
        char *end = nullptr;
        double n = strtod(v.c_str(), &end);
        bool number = !v.empty() && *end == '\0' && n >= 0;
        if (a == "--threads" && number && n >= 1 && n <= 256)
            o.threads = (int)n;
        else if (a == "--logins" && number && n >= 1)
            o.logins = (long)n, o.seconds = 0;
        else if (a == "--seconds" && number && n > 0)
            o.seconds = n, o.logins = 0;
        else if (a == "--trace-level" && number)
            o.traceLevel = (int)n;
        else if (a == "--max-queue" && number && n >= 1)
            o.maxQueue = (int)n;
        else if (a == "--datasource")
            o.dataSource = v;
        else if (a == "--db-user")
            o.dbUser = v;
        else if (a == "--db-password")
            o.dbPassword = v;
        else if (a == "--table")
            o.table = v;
        else if (a == "--home")
            o.home = v;
        else if (a == "--lib-dir")
            o.libDir = v;
        else {
            error = "bad option " + a + " " + v;
            return false;
        }
    }
    return true;
}

/* The options that the files of the administrator's SM_HOME settle. */
bool refuseOverridden(const Options &o, const std::string &file, const std::vector<const char *> &options,
                      std::string &error)
{
    for (const char *option : options) {
        if (o.has(option)) {
            error = file + " was not written by smhost and is used as it is: leave out " + option;
            return false;
        }
    }
    return true;
}

/* Takes the database settings from the administrator's kelaudit.conf, read
 * by the event handler's own reader; false when it reports a problem. */
bool useAdminAuditConf(const std::string &home, AuditDb &db, int &minLevel, std::string &error)
{
    Param p;
    takeTraced();
    readConfigFile(&p);
    for (const auto &m : takeTraced()) {
        if (m.first <= TRACE_ERROR) {
            error = home + "/" CONF_DIR "/kelaudit.conf: " + m.second + " (smhost check tells more)";
            explicit_bzero(p.password, sizeof p.password);
            return false;
        }
    }
    db.dataSource = p.dataSource;
    db.user = p.user;
    db.password = p.password;
    db.table = p.table;
    minLevel = p.minLevel;
    explicit_bzero(p.password, sizeof p.password);
    return true;
}

double percentile(std::vector<double> &v, double q)
{
    if (v.empty())
        return 0;
    size_t k = (size_t)(q * (double)(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + (long)k, v.end());
    return v[k];
}

} // namespace

int runLoad(const std::vector<std::string> &args)
{
    Options o;
    std::string error;
    if (!parse(args, o, error))
        return usage(error + " (options: --threads N, --logins N | --seconds S, --datasource DS, "
                             "--db-user U, --db-password P, --table T, --create-table, --max-queue N, "
                             "--trace-level N, --home DIR, --lib-dir DIR)");
    Layout layout = findLayout(o.libDir);
    Plugins p;
    if (!loadPlugins(layout.libDir, p, error))
        return usage("cannot load the plug-ins: " + error);
    std::string home = makeHome(o.home, error);
    if (home.empty())
        return usage(error);
    setenv("SM_HOME", home.c_str(), 1);

    AuditDb db;
    std::string config = home + "/" CONF_DIR;
    std::string traceConf = config + "/keltrace.conf", auditConf = config + "/kelaudit.conf";
    std::string traceLog = "the trace log named in " + traceConf;
    int minLevel = 3;
    if (fileOwner(traceConf) == FileOwner::ADMIN) {
        if (!refuseOverridden(o, traceConf, {"--trace-level"}, error))
            return usage(error);
    } else {
        traceLog = home + "/log/keltrace.log";
        if (!writeOwnFile(traceConf, "file = " + traceLog + "\nlevel = " + std::to_string(o.traceLevel) +
                                         "\nmaxsize = 100000000\n",
                          error))
            return usage(error);
    }
    if (fileOwner(auditConf) == FileOwner::ADMIN) {
        if (!refuseOverridden(o, auditConf, {"--datasource", "--db-user", "--db-password", "--table", "--max-queue"},
                              error) ||
            !useAdminAuditConf(home, db, minLevel, error))
            return usage(error);
    } else {
        if (o.dataSource.empty())
            o.dataSource = "load.db";
        db.dataSource = o.dataSource;
        db.user = o.dbUser;
        db.password = o.dbPassword;
        db.table = o.table;
        if (!writeOwnFile(auditConf, "DATASOURCE = " + o.dataSource + "\nUSER = " + o.dbUser + "\nTABLE = " +
                                         o.table + "\nMIN_LEVEL = 3\nMAX_QUEUE = " + std::to_string(o.maxQueue) +
                                         "\nRETRY_DELAY = 1\n",
                          error))
            return usage(error);
        if (!o.dbPassword.empty() && !runKelpasswd(layout, home, o.dbPassword))
            return usage("kelpasswd could not set the database password");
    }
    /* A relative SQLite file lives under SM_HOME/data, as the client takes it. */
    bool sqlite = !isPostgres(db.dataSource);
    if (sqlite && db.dataSource[0] != '/')
        db.dataSource = home + "/data/" + db.dataSource;
    if ((sqlite || o.createTable) && !createAuditTable(db, layout.sqlDir, error))
        return usage(error);

    const char *params = "AGENT_NAME=loadagent;USE_PIN=yes;MIN_LEVEL=2;MAX_LEVEL=3";
    smagentAddAgent("loadagent", "load-secret");
    if (p.authInit(params, "load-secret") != 0)
        return usage("SmAuthInit failed; see " + traceLog);
    p.eventInit();

    std::string runId = std::to_string(getpid()) + "-" + std::to_string(time(nullptr));
    /* Every login is audited: its level reaches the handler's minimum. */
    std::string prefix = "authlevel=" + std::to_string(std::max(3, minLevel)) + ";run=" + runId + ";";
    /* The run ends with reading its rows back: a table the database user
     * may not read stops it now rather than after the logins. */
    std::vector<std::pair<std::string, std::string>> rows;
    bool lasting = false;
    if (!readAuditRows(db, prefix, rows, error, &lasting) && lasting) {
        p.eventRelease();
        p.authRelease(nullptr, nullptr);
        unloadPlugins(p);
        return usage(error);
    }
    std::atomic<long> started(0), done(0);
    std::vector<ThreadResult> results((size_t)o.threads);
    Clock::time_point t0 = Clock::now();
    Clock::time_point stopAt = t0 + std::chrono::milliseconds((long)(o.seconds * 1000));

    auto worker = [&](int t) {
        User u;
        u.dn = "uid=load" + std::to_string(t) + ",ou=people,o=kel";
        u.level = 3; /* within the scheme's MIN_LEVEL=2;MAX_LEVEL=3 */
        u.pin = "pin" + std::to_string(t);
        ThreadResult &r = results[(size_t)t];
        for (long seq = 0;; seq++) {
            if (o.seconds > 0 ? Clock::now() >= stopAt : started.fetch_add(1) >= o.logins)
                break;
            SmAgentCtl_Session_t s{};
            char cookie[128];
            s.userDn = u.dn.c_str();
            s.userName = "load";
            s.clientIp = "192.0.2.20";
            smagentCreateSession(&s, cookie, sizeof cookie);
            std::string posted = u.pin + ";" + cookie;
            Sm_Api_UserCredentials_t cred{u.dn.c_str(), posted.c_str()};
            UserContext ctx(u, true);
            char userMsg[128], errMsg[128];
            Clock::time_point a = Clock::now();
            int result = p.authenticate(nullptr, &ctx.ctx, &cred, nullptr, params, nullptr, sizeof userMsg,
                                        userMsg, sizeof errMsg, errMsg);
            Clock::time_point b = Clock::now();
            r.authUs.push_back(std::chrono::duration<double, std::micro>(b - a).count());
            if (SM_AUTH_STATUS(result) != SM_AUTH_ACCEPT) {
                r.refused++;
                continue;
            }
            AccessEvent ev(u, cookie, prefix + "thread=" + std::to_string(t) + ";seq=" + std::to_string(seq));
            a = Clock::now();
            p.eventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, &ev.rec);
            b = Clock::now();
            r.recordUs.push_back(std::chrono::duration<double, std::micro>(b - a).count());
            r.accepted++;
            done++;
        }
    };
    std::vector<std::thread> pool;
    for (int t = 0; t < o.threads; t++)
        pool.emplace_back(worker, t);
    bool tty = isatty(STDERR_FILENO);
    std::atomic<bool> finished(false);
    std::thread progress([&] {
        while (tty && !finished) {
            fprintf(stderr, "\r%ld logins accepted", done.load());
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    });
    for (std::thread &t : pool)
        t.join();
    Clock::time_point loginsDone = Clock::now();

    long accepted = 0, refused = 0;
    std::vector<double> auth, rec;
    for (ThreadResult &r : results) {
        accepted += r.accepted;
        refused += r.refused;
        auth.insert(auth.end(), r.authUs.begin(), r.authUs.end());
        rec.insert(rec.end(), r.recordUs.begin(), r.recordUs.end());
    }
    /* Wait for the writer to write every audited login. */
    bool read = false;
    for (int i = 0; i < 6000; i++) {
        read = readAuditRows(db, prefix, rows, error, &lasting);
        if (read ? (long)rows.size() >= accepted : lasting)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Clock::time_point rowsDone = Clock::now();
    finished = true;
    progress.join();
    if (tty)
        fprintf(stderr, "\n");
    p.eventRelease();
    p.authRelease(nullptr, nullptr);
    unloadPlugins(p);

    double loginSecs = std::chrono::duration<double>(loginsDone - t0).count();
    double rowSecs = std::chrono::duration<double>(rowsDone - t0).count();
    printf("threads %d, logins %ld accepted, %ld refused, in %.2f s\n", o.threads, accepted, refused, loginSecs);
    printf("logins per second   %.0f\n", (double)(accepted + refused) / loginSecs);
    printf("SmAuthenticate      p50 %.1f us  p99 %.1f us\n", percentile(auth, 0.5), percentile(auth, 0.99));
    printf("SmEventRecord       p50 %.1f us  p99 %.1f us\n", percentile(rec, 0.5), percentile(rec, 0.99));
    printf("rows per second     %.0f (%zu rows in %.2f s)\n", (double)rows.size() / rowSecs, rows.size(), rowSecs);

    /* Exactly the audited logins, each thread's in its own order. */
    bool ok = read && refused == 0 && (long)rows.size() == accepted;
    std::vector<long> next((size_t)o.threads, 0);
    for (const auto &r : rows) {
        int t = -1;
        long seq = -1;
        if (sscanf(r.second.c_str() + prefix.size(), "thread=%d;seq=%ld", &t, &seq) != 2 || t < 0 ||
            t >= o.threads || seq < next[(size_t)t]) {
            ok = false;
            break;
        }
        next[(size_t)t] = seq + 1;
    }
    if (!read)
        printf("%s\n", error.c_str());
    printf("%s: %ld audited logins, %zu rows in %s\n", ok ? "check passed" : "CHECK FAILED", accepted,
           rows.size(), db.table.c_str());
    return ok ? 0 : 1;
}

} // namespace smhost
