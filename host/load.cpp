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
 * --kill-after S runs the load in a child process, kills it with SIGKILL
 * after S seconds, then starts the event handler again in this process
 * (with the same SM_HOME, so the same audit journal) and checks that every
 * event whose SmEventRecord had returned in the child (the child notes
 * each in an acknowledgement file right after the call) is in the table
 * once, each thread's in order.
 *
 * In an SM_HOME with the administrator's own keltrace.conf or kelaudit.conf
 * those files are used as they are, read with the event handler's own
 * reader, and never replaced; the options they would override are then
 * refused.
 */
#include <algorithm>
#include <atomic>
#include <chrono>
#include <errno.h>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <set>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "checktrace.h"
#include "journal.h"
#include "loadoptions.h"
#include "smagent_control.h"
#include "smeventkel.h"
#include "smhost.h"

extern char **environ;

namespace smhost {

namespace {

using Clock = std::chrono::steady_clock;

struct ThreadResult {
    std::vector<double> authUs, recordUs;
    std::vector<double> recordAt; /* seconds from the start, per recordUs */
    long accepted = 0, refused = 0;
};

int usage(const std::string &msg)
{
    fprintf(stderr, "smhost load: %s\n", msg.c_str());
    return 1;
}

/* Takes the database and journal settings from the administrator's
 * kelaudit.conf, read by the event handler's own reader; false when it
 * reports a problem. */
bool useAdminAuditConf(const std::string &home, Options &o, AuditDb &db, int &minLevel, std::string &error)
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
    /* The run waits for the journal this file names to be empty. */
    o.spoolDir = p.spoolDir;
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

std::string auditConf(const Options &o)
{
    std::string c = "DATASOURCE = " + o.dataSource + "\nUSER = " + o.dbUser + "\nTABLE = " + o.table +
                    "\nMIN_LEVEL = 3\nMAX_QUEUE = " + std::to_string(o.maxQueue) +
                    "\nRETRY_DELAY = " + std::to_string(o.retryDelay) + "\n";
    if (!o.spoolDir.empty())
        c += "SPOOL_DIR = " + o.spoolDir + "\n";
    if (!o.spoolSync.empty())
        c += "SPOOL_SYNC = " + o.spoolSync + "\n";
    if (!o.spoolMaxMb.empty())
        c += "SPOOL_MAX_MB = " + o.spoolMaxMb + "\n";
    if (!o.rejectAfter.empty())
        c += "REJECT_AFTER = " + o.rejectAfter + "\n";
    if (!o.batchMax.empty())
        c += "BATCH_MAX = " + o.batchMax + "\n";
    if (!o.statusFile.empty())
        c += "STATUS_FILE = " + o.statusFile + "\n";
    return c;
}

/* The journal folder as the handler resolves it. */
std::string journalDir(const Options &o, const std::string &home)
{
    char dir[PATH_SIZE];
    if (o.spoolDir.empty() || !journalDirFromSetting(dir, sizeof dir, home.c_str(), o.spoolDir.c_str()))
        return "";
    return dir;
}

/* Events the journal still holds (0 without one). */
long journalWaiting(const std::string &dir)
{
    JournalSummary s;
    if (dir.empty() || !journalSummarize(dir.c_str(), &s))
        return 0;
    return s.events + s.requeued;
}

/* Each thread's events in the table: (thread, seq) in row order. */
/* Removes the folder at the end of the run when remove is set. */
struct WorkFolder {
    std::string path;
    bool remove = false;
    ~WorkFolder()
    {
        std::error_code ec;
        if (remove)
            std::filesystem::remove_all(path, ec);
    }
};

bool parseRow(const std::string &txn, const std::string &prefix, int threads, int &t, long &seq)
{
    return sscanf(txn.c_str() + prefix.size(), "thread=%d;seq=%ld", &t, &seq) == 2 && t >= 0 && t < threads;
}

/* Runs the logins; fills results. acksFd >= 0: one line "thread seq" per
 * event once SmEventRecord has returned. */
void runLogins(const Options &o, Plugins &p, const char *params, const std::string &prefix, int acksFd,
               std::vector<ThreadResult> &results, std::atomic<long> &done)
{
    std::atomic<long> started(0);
    Clock::time_point t0 = Clock::now();
    Clock::time_point stopAt = t0 + std::chrono::milliseconds((long)(o.seconds * 1000));
    auto interval = std::chrono::duration<double>(o.rate > 0 ? o.threads / o.rate : 0);

    auto worker = [&](int t) {
        User u;
        u.dn = "uid=load" + std::to_string(t) + ",ou=people,o=kel";
        u.level = 3; /* within the scheme's MIN_LEVEL=2;MAX_LEVEL=3 */
        u.pin = "pin" + std::to_string(t);
        ThreadResult &r = results[(size_t)t];
        Clock::time_point next = Clock::now();
        for (long seq = 0;; seq++) {
            if (o.seconds > 0 ? Clock::now() >= stopAt : started.fetch_add(1) >= o.logins)
                break;
            if (o.rate > 0) {
                next += std::chrono::duration_cast<Clock::duration>(interval);
                std::this_thread::sleep_until(next);
            }
            SmAgentCtl_Session_t s{};
            char cookie[128];
            s.userDn = u.dn.c_str();
            s.userName = "load";
            s.clientIp = "192.0.2.20";
            standin.createSession(&s, cookie, sizeof cookie);
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
            if (acksFd >= 0) {
                std::string line = std::to_string(t) + " " + std::to_string(seq) + "\n";
                if (write(acksFd, line.data(), line.size()) != (ssize_t)line.size())
                    fprintf(stderr, "smhost load: cannot write the acknowledgement file\n");
            }
            r.recordUs.push_back(std::chrono::duration<double, std::micro>(b - a).count());
            r.recordAt.push_back(std::chrono::duration<double>(a - t0).count());
            r.accepted++;
            done++;
        }
    };
    std::vector<std::thread> pool;
    for (int t = 0; t < o.threads; t++)
        pool.emplace_back(worker, t);
    for (std::thread &t : pool)
        t.join();
}

/* Waits until the table holds at least want rows of the run and the
 * journal nothing, for up to o.drainSeconds; a lasting error (a table the
 * user may not read) ends the wait at once. rows gets the run's rows;
 * allIn the time of the last count, which is when the rows were all in
 * once the wait succeeds. */
bool waitRows(const Options &o, const AuditDb &db, const std::string &prefix, long want,
              const std::string &journal, std::vector<std::pair<std::string, std::string>> &rows,
              std::string &error, Clock::time_point &allIn)
{
    bool read = false;
    Clock::time_point end = Clock::now() + std::chrono::milliseconds((long)(o.drainSeconds * 1000));
    AuditRowCounter counter(db, prefix);
    long counted = 0;
    for (;;) {
        /* Counting the new rows costs the writer's database little; the
         * rows themselves are read once the count is reached, or to learn
         * why the count could not be had. */
        bool counting = counter.poll(counted);
        allIn = Clock::now();
        if (!counting || (counted >= want && journalWaiting(journal) == 0)) {
            bool lasting = false;
            read = readAuditRows(db, prefix, rows, error, &lasting);
            if (read ? (long)rows.size() >= want && journalWaiting(journal) == 0 : lasting)
                break;
        }
        if (Clock::now() > end) {
            if (counting)
                read = readAuditRows(db, prefix, rows, error, nullptr);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return read;
}

/* The child's run, killed by the parent; then the handler started again
 * here, and every acknowledged event looked for. */
int killAndResume(const Options &o, const std::vector<std::string> &args, Plugins &p, const AuditDb &db,
                  const Layout &layout, const std::string &home, const std::string &runId, const std::string &prefix)
{
    std::string acks = home + "/acks.txt";
    std::string error;
    unlink(acks.c_str());

    std::vector<std::string> childArgs = {"smhost", "load"};
    for (size_t i = 0; i < args.size(); i++) {
        if (args[i] == "--kill-after" || args[i] == "--drain-seconds") {
            i++;
            continue;
        }
        if (args[i] != "--db-down" && args[i] != "--create-table")
            childArgs.push_back(args[i]);
    }
    for (const char *a : {"--child", "--home", home.c_str(), "--run-id", runId.c_str(), "--acks", acks.c_str()})
        childArgs.push_back(a);
    std::vector<char *> argv;
    for (std::string &a : childArgs)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t child;
    if (posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0)
        return usage("cannot start the child");
    std::this_thread::sleep_for(std::chrono::milliseconds((long)(o.killAfter * 1000)));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;

    /* What the child acknowledged. */
    std::set<std::pair<int, long>> acked;
    {
        FILE *f = fopen(acks.c_str(), "r");
        int t;
        long seq;
        while (f != nullptr && fscanf(f, "%d %ld", &t, &seq) == 2)
            acked.insert({t, seq});
        if (f != nullptr)
            fclose(f);
    }
    if (o.dbDown && !isPostgres(db.dataSource) && !createAuditTable(db, layout.sqlDir, error))
        return usage(error);

    /* The handler again, with the journal the child left. */
    Clock::time_point r0 = Clock::now();
    p.eventInit();
    std::vector<std::pair<std::string, std::string>> rows;
    Clock::time_point allIn = r0;
    bool read = waitRows(o, db, prefix, (long)acked.size(), journalDir(o, home), rows, error, allIn);
    double resumeSecs = std::chrono::duration<double>(allIn - r0).count();
    p.eventRelease();
    unloadPlugins(p);

    std::map<std::pair<int, long>, int> seen;
    std::vector<long> last((size_t)o.threads, -1);
    long duplicates = 0, outOfOrder = 0, unacked = 0, missing = 0;
    for (const auto &r : rows) {
        int t;
        long seq;
        if (!parseRow(r.second, prefix, o.threads, t, seq)) {
            outOfOrder++;
            continue;
        }
        if (++seen[{t, seq}] > 1) {
            duplicates++;
            continue;
        }
        if (seq <= last[(size_t)t])
            outOfOrder++;
        last[(size_t)t] = seq;
        if (!acked.count({t, seq}))
            unacked++;
    }
    for (const auto &a : acked)
        missing += !seen.count(a);
    printf("child %s after %.1f s; %zu events acknowledged\n", killed ? "killed" : "NOT killed", o.killAfter,
           acked.size());
    printf("resumed: %zu rows in %.2f s; %ld acknowledged missing, %ld written twice, %ld out of order, "
           "%ld written but not acknowledged (in flight at the kill)\n",
           rows.size(), resumeSecs, missing, duplicates, outOfOrder, unacked);
    if (!read)
        printf("%s\n", error.c_str());
    /* One row, or one group of BATCH_MAX, can be written twice: the one
     * whose commit raced the kill. */
    long mayRepeat = o.batchMax.empty() ? 1 : atol(o.batchMax.c_str());
    bool ok = read && killed && missing == 0 && outOfOrder == 0 && duplicates <= mayRepeat;
    printf("%s: %zu acknowledged events, %zu rows in %s\n", ok ? "check passed" : "CHECK FAILED", acked.size(),
           rows.size(), db.table.c_str());
    return ok ? 0 : 1;
}

} // namespace

int runLoad(const std::vector<std::string> &args)
{
    Options o;
    std::string error;
    if (!parse(args, o, error))
        return usage(error + " (options: --threads N, --logins N | --seconds S, --rate N, --datasource DS, "
                             "--db-user U, --db-password P, --db-password-file FILE, --table T, "
                             "--create-table, --shared-table, --max-queue N, --retry-delay N, "
                             "--spool-dir DIR, --spool-sync MODE, --spool-max-mb N, --reject-after N, "
                             "--batch-max N, --status-file PATH, --kill-after S, --db-down, --drain-seconds S, "
                             "--trace-level N, --home DIR, --keep, --lib-dir DIR)");
    if (!o.dbPasswordFile.empty() && !readPasswordFile(o.dbPasswordFile, o.dbPassword, error))
        return usage(error);
    Layout layout = findLayout(o.libDir);
    Plugins p;
    /* The plug-ins open the platform libraries at their first call: the
     * stand-ins loaded next are the ones they find. */
    if (!loadPlugins(layout.libDir, p, error))
        return usage("cannot load the plug-ins: " + error);
    if (!loadStandins(layout, error)) {
        unloadPlugins(p);
        return usage(error);
    }
    std::string home = makeHome(o.home, error);
    if (home.empty())
        return usage(error);
    setenv("SM_HOME", home.c_str(), 1);
    /* A folder smhost made for this run goes at the end, unless kept. */
    WorkFolder work;
    if (o.home.empty()) {
        work.path = home;
        work.remove = !o.keep;
        printf("work folder %s (%s)\n", home.c_str(), o.keep ? "kept" : "removed at the end; --keep keeps it");
        fflush(stdout);
    }

    AuditDb db;
    std::string config = home + "/" CONF_DIR;
    std::string traceConf = config + "/keltrace.conf", auditConfFile = config + "/kelaudit.conf";
    std::string traceLog = "the trace log named in " + traceConf;
    int minLevel = 3;
    /* A --kill-after child runs in its parent's SM_HOME, set up already. */
    if (fileOwner(traceConf) == FileOwner::ADMIN) {
        if (!refuseOverridden(o, traceConf, {"--trace-level"}, error))
            return usage(error);
    } else {
        traceLog = home + "/log/keltrace.log";
        if (!o.child && !writeOwnFile(traceConf,
                                      "file = " + traceLog + "\nlevel = " + std::to_string(o.traceLevel) +
                                          "\nmaxsize = 100000000\n",
                                      error))
            return usage(error);
    }
    if (fileOwner(auditConfFile) == FileOwner::ADMIN) {
        if (!refuseOverridden(o, auditConfFile,
                              {"--datasource", "--db-user", "--db-password", "--table", "--max-queue",
                               "--retry-delay", "--spool-dir", "--spool-sync", "--spool-max-mb", "--reject-after",
                               "--status-file", "--db-password-file", "--batch-max"},
                              error) ||
            !useAdminAuditConf(home, o, db, minLevel, error))
            return usage(error);
    } else {
        if (o.dataSource.empty())
            o.dataSource = "load.db";
        db.dataSource = o.dataSource;
        db.user = o.dbUser;
        db.password = o.dbPassword;
        db.table = o.table;
        if (!o.child) {
            if (!writeOwnFile(auditConfFile, auditConf(o), error))
                return usage(error);
            if (!o.dbPassword.empty() && !runKelpasswd(layout, home, o.dbPassword))
                return usage("kelpasswd could not set the database password");
        }
    }
    /* A relative SQLite file lives under SM_HOME/data, as the client takes it. */
    bool sqlite = !isPostgres(db.dataSource);
    if (sqlite && db.dataSource[0] != '/')
        db.dataSource = home + "/data/" + db.dataSource;
    if (!o.child && ((sqlite && !o.dbDown) || o.createTable) && !createAuditTable(db, layout.sqlDir, error))
        return usage(error);

    std::string runId = !o.runId.empty() ? o.runId : std::to_string(getpid()) + "-" + std::to_string(time(nullptr));
    /* Every login is audited: its level reaches the handler's minimum. */
    std::string prefix = "authlevel=" + std::to_string(std::max(3, minLevel)) + ";run=" + runId + ";";
    /* The run ends with reading its rows back: a table the database user
     * may not read stops it now rather than after the logins. A child's
     * parent has looked already; with --db-down there is no table yet. */
    std::vector<std::pair<std::string, std::string>> rows;
    bool lasting = false;
    if (!o.child && !o.dbDown && !readAuditRows(db, prefix, rows, error, &lasting) && lasting) {
        unloadPlugins(p);
        return usage(error);
    }
    /* Rows of others (a production table, another program's) are never
     * mixed with fake logins unless asked for. */
    if (!o.child && !o.dbDown && !o.sharedTable) {
        long others = 0;
        if (otherAuditRows(db, others, error) && others > 0) {
            unloadPlugins(p);
            return usage(db.table + " in " + db.dataSource + " holds " + std::to_string(others) +
                         " rows that smhost load did not write: give another table, or --shared-table "
                         "to add test rows to it anyway");
        }
    }
    if (o.killAfter > 0)
        return killAndResume(o, args, p, db, layout, home, runId, prefix);

    const char *params = "AGENT_NAME=loadagent;USE_PIN=yes;MIN_LEVEL=2;MAX_LEVEL=3";
    standin.addAgent("loadagent", "load-secret");
    if (p.authInit(params, "load-secret") != 0)
        return usage("SmAuthInit failed; see " + traceLog);
    p.eventInit();

    int acksFd = -1;
    if (!o.acks.empty() && (acksFd = open(o.acks.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)) < 0)
        return usage("cannot open " + o.acks);
    std::atomic<long> done(0);
    std::vector<ThreadResult> results((size_t)o.threads);
    Clock::time_point t0 = Clock::now();
    bool tty = isatty(STDERR_FILENO) && !o.child;
    std::atomic<bool> finished(false);
    std::thread progress([&] {
        while (tty && !finished) {
            fprintf(stderr, "\r%ld logins accepted", done.load());
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    });
    runLogins(o, p, params, prefix, acksFd, results, done);
    Clock::time_point loginsDone = Clock::now();
    if (acksFd >= 0)
        close(acksFd);

    long accepted = 0, refused = 0;
    std::vector<double> auth, rec;
    std::vector<std::vector<double>> windows; /* SmEventRecord times by 10 s of the run */
    for (ThreadResult &r : results) {
        accepted += r.accepted;
        refused += r.refused;
        auth.insert(auth.end(), r.authUs.begin(), r.authUs.end());
        rec.insert(rec.end(), r.recordUs.begin(), r.recordUs.end());
        for (size_t i = 0; i < r.recordUs.size(); i++) {
            size_t w = (size_t)(r.recordAt[i] / 10);
            if (windows.size() <= w)
                windows.resize(w + 1);
            windows[w].push_back(r.recordUs[i]);
        }
    }
    /* Wait for the writer to write every audited login (a child is killed
     * before it gets here, or stops without looking). */
    Clock::time_point rowsDone = Clock::now();
    bool read = o.child || waitRows(o, db, prefix, accepted, journalDir(o, home), rows, error, rowsDone);
    finished = true;
    progress.join();
    if (tty)
        fprintf(stderr, "\n");
    p.eventRelease();
    p.authRelease(nullptr, nullptr);
    unloadPlugins(p);
    if (o.child)
        return 0;

    double loginSecs = std::chrono::duration<double>(loginsDone - t0).count();
    double rowSecs = std::chrono::duration<double>(rowsDone - t0).count();
    double recMax = rec.empty() ? 0 : *std::max_element(rec.begin(), rec.end());
    printf("threads %d, logins %ld accepted, %ld refused, in %.2f s\n", o.threads, accepted, refused, loginSecs);
    printf("logins per second   %.0f\n", (double)(accepted + refused) / loginSecs);
    printf("SmAuthenticate      p50 %.1f us  p99 %.1f us\n", percentile(auth, 0.5), percentile(auth, 0.99));
    printf("SmEventRecord       p50 %.1f us  p99 %.1f us  p99.9 %.1f us  max %.1f us\n", percentile(rec, 0.5),
           percentile(rec, 0.99), percentile(rec, 0.999), recMax);
    if (windows.size() > 1) {
        printf("SmEventRecord p99 by 10 s:");
        for (std::vector<double> &w : windows)
            printf(" %.0f", percentile(w, 0.99));
        printf(" us\n");
    }
    printf("rows per second     %.0f (%zu rows in %.2f s)\n", (double)rows.size() / rowSecs, rows.size(), rowSecs);

    /* Exactly the audited logins, each thread's in its own order. */
    bool ok = read && refused == 0 && (long)rows.size() == accepted;
    std::vector<long> next((size_t)o.threads, 0);
    for (const auto &r : rows) {
        int t = -1;
        long seq = -1;
        if (!parseRow(r.second, prefix, o.threads, t, seq) || seq < next[(size_t)t]) {
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
