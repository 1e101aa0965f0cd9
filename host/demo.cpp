/*
 * demo.cpp - "smhost demo": the whole system at work, in a fresh SM_HOME.
 *
 * It writes keltrace.conf and kelaudit.conf, sets the database password with
 * kelpasswd, creates the SQLite audit table, loads both plug-ins and logs
 * users in through every outcome the scheme knows, a PIN lockout among
 * them. Each accepted login is recorded with the event handler, as a policy
 * server would. It prints what happened, the audit rows read back from the
 * database, the lockout's trace line and where the trace log is, and exits
 * 0 only when every outcome was the expected one, the lockout was traced
 * and the table holds exactly the audited logins.
 */
#include <chrono>
#include <stdio.h>
#include <string.h>
#include <thread>
#include <unistd.h>

#include "smagent_control.h"
#include "smhost.h"

namespace smhost {

namespace {

const char *const AGENT = "authkel";
const char *const SECRET = "demo-shared-secret";
const char *const PARAMS = "DESCRIPTION=KEL step-up login (demo);AGENT_NAME=authkel;"
                           "URL=https://login.example.org/stepup;USE_PIN=yes;MIN_LEVEL=2;MAX_LEVEL=3;"
                           "PIN_TRIES=3";
const int AUDIT_MIN_LEVEL = 3;

struct Outcome {
    std::string user, tried;
    int expected, result;
    std::string userMsg, errMsg;
    bool audited;
};

struct Demo {
    Plugins p;
    std::vector<User> users;
    std::vector<Outcome> outcomes;
    std::vector<std::string> audited; /* user DNs, in order */
    std::string runId;

    const User &user(const std::string &uid)
    {
        for (const User &u : users)
            if (u.dn.rfind("uid=" + uid + ",", 0) == 0)
                return u;
        return users[0];
    }

    std::string session(const User &u, int idleTimeout = 0)
    {
        SmAgentCtl_Session_t s{};
        char cookie[128];
        s.userDn = u.dn.c_str();
        s.userName = u.attrs.count("SM_USERLOGINNAME") ? u.attrs.at("SM_USERLOGINNAME").c_str() : "";
        s.clientIp = "192.0.2.10";
        s.idleTimeout = idleTimeout;
        s.maxTimeout = 8 * 3600;
        if (!standin.createSession(&s, cookie, sizeof cookie))
            return "";
        return cookie;
    }

    /* One login as the policy server runs it: the disambiguation phase, then
     * the authentication phase; an accepted login is recorded. */
    void login(const User &u, const std::string &tried, const std::string &posted, int expected,
               const char *params = PARAMS)
    {
        Sm_Api_UserCredentials_t cred{u.dn.c_str(), posted.c_str()};
        char userMsg[256] = "", errMsg[256] = "";
        UserContext first(u, false);
        int phase1 = p.authenticate(nullptr, &first.ctx, &cred, nullptr, params, nullptr,
                                    sizeof userMsg, userMsg, sizeof errMsg, errMsg);
        int result = phase1;
        if (SM_AUTH_STATUS(phase1) == SM_AUTH_NO_DISAMBIGUATE) {
            UserContext second(u, true);
            result = p.authenticate(nullptr, &second.ctx, &cred, nullptr, params, nullptr,
                                    sizeof userMsg, userMsg, sizeof errMsg, errMsg);
        }
        bool audited = false;
        if (SM_AUTH_STATUS(result) == SM_AUTH_ACCEPT) {
            std::string txn = "authlevel=" + std::to_string(u.level) + ";run=" + runId +
                              ";login=" + std::to_string(outcomes.size() + 1);
            AccessEvent ev(u, "host-session-" + std::to_string(outcomes.size() + 1), txn);
            p.eventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, &ev.rec);
            audited = u.level >= AUDIT_MIN_LEVEL;
            if (audited)
                this->audited.push_back(u.dn);
        } else {
            /* Refusals are logged by the server too; the handler ignores them. */
            AccessEvent ev(u, "host-session", "authlevel=0");
            p.eventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_REJECT, &ev.rec);
        }
        outcomes.push_back({u.dn, tried, expected, result, userMsg, errMsg, audited});
    }
};

const char *resultName(int result)
{
    switch (SM_AUTH_STATUS(result)) {
    case SM_AUTH_ACCEPT:
        return "accepted";
    case SM_AUTH_REJECT:
        return "rejected";
    case SM_AUTH_FAILURE:
        return "failed";
    case SM_AUTH_NO_DISAMBIGUATE:
        return "not located";
    default:
        return "?";
    }
}

/* The message of the first trace line holding part, or "". */
std::string traceLineWith(const std::string &traceLog, const char *part)
{
    FILE *f = fopen(traceLog.c_str(), "r");
    char line[2048];
    std::string found;

    while (f != nullptr && found.empty() && fgets(line, sizeof line, f) != nullptr) {
        const char *at = strstr(line, part);
        if (at != nullptr)
            found.assign(at, strcspn(at, "\n"));
    }
    if (f != nullptr)
        fclose(f);
    return found;
}

/* The rows of this run: a home kept from an earlier demo holds theirs too. */
bool readRunRows(const AuditDb &db, const std::string &runId,
                 std::vector<std::pair<std::string, std::string>> &rows, std::string &error,
                 bool *lasting = nullptr)
{
    std::vector<std::pair<std::string, std::string>> all;
    if (!readAuditRows(db, "authlevel=", all, error, lasting))
        return false;
    rows.clear();
    for (const auto &r : all)
        if (r.second.find(";run=" + runId + ";") != std::string::npos)
            rows.push_back(r);
    return true;
}

int usage(const char *msg)
{
    fprintf(stderr, "smhost demo: %s\n", msg);
    return 1;
}

} // namespace

int runDemo(const std::vector<std::string> &args)
{
    std::string homeArg, libArg, usersFile, error;
    for (size_t i = 0; i < args.size(); i++) {
        if ((args[i] == "--home" || args[i] == "--lib-dir" || args[i] == "--users") && i + 1 < args.size()) {
            (args[i] == "--home" ? homeArg : args[i] == "--lib-dir" ? libArg : usersFile) = args[i + 1];
            i++;
        } else {
            return usage(("unknown option " + args[i] + " (options: --home DIR, --lib-dir DIR, --users FILE)").c_str());
        }
    }
    Layout layout = findLayout(libArg);
    Demo d;
    d.runId = std::to_string(getpid()) + "-" + std::to_string(time(nullptr));
    if (usersFile.empty())
        d.users = builtinUsers();
    else if (!readUsers(usersFile, d.users, error))
        return usage(error.c_str());
    /* The plug-ins open the platform libraries at their first call: the
     * stand-ins loaded next are the ones they find. */
    if (!loadPlugins(layout.libDir, d.p, error))
        return usage(("cannot load the plug-ins: " + error).c_str());
    if (!loadStandins(layout, error))
        return usage(error.c_str());

    std::string home = makeHome(homeArg, error);
    if (home.empty())
        return usage(error.c_str());
    setenv("SM_HOME", home.c_str(), 1);
    std::string config = home + "/" CONF_DIR;
    /* The demo needs settings of its own: it never runs on, nor replaces,
     * an administrator's configuration. */
    for (const char *file : {"/keltrace.conf", "/kelaudit.conf"})
        if (fileOwner(config + file) == FileOwner::ADMIN)
            return usage((config + file + " was not written by smhost; the demo writes its own "
                                          "configuration: give --home an empty or new folder")
                             .c_str());
    std::string traceLog = home + "/log/keltrace.log";
    AuditDb db;
    db.dataSource = home + "/data/audit.db";
    std::string password = "Demo-" + d.runId + "-pw";
    if (!writeOwnFile(config + "/keltrace.conf",
                      "# trace of both plug-ins\nfile = " + traceLog + "\nlevel = 5\nmaxsize = 10000000\n",
                      error) ||
        !writeOwnFile(config + "/kelaudit.conf",
                          "# audit of accepted step-up logins\nDATASOURCE = audit.db\nUSER = kel\n"
                          "TABLE = smaccesslog4\nMIN_LEVEL = " + std::to_string(AUDIT_MIN_LEVEL) +
                              "\nMAX_QUEUE = 20\nRETRY_DELAY = 1\n",
                          error))
        return usage(error.c_str());
    if (!runKelpasswd(layout, home, password))
        return usage("kelpasswd could not set the database password");
    if (!createAuditTable(db, layout.sqlDir, error))
        return usage(error.c_str());

    printf("SM_HOME %s\n\n", home.c_str());
    standin.reset();
    standin.addAgent(AGENT, SECRET);

    /* Start up as a policy server does. */
    char status[SM_AUTH_QUERY_STATUS_SIZE] = "";
    int version = 0, mask = 0;
    d.p.authQuery(PARAMS, nullptr, SM_AUTH_QUERY_DESCRIPTION, status, &version);
    printf("Scheme: %s (interface 0x%x)\n", status, version);
    d.p.authQuery(PARAMS, nullptr, SM_AUTH_QUERY_CREDENTIALS, status, &mask);
    printf("Credentials form: %s (mask 0x%x)\n\n", status, mask);
    SmLog_System_s sys{};
    d.p.eventRecord(SM_EVENT_KIND_SYSTEM, SM_SERVER_AUTH, SM_STATE_INITIALIZING, &sys);
    bool started = d.p.authInit(PARAMS, SECRET) == 0;
    d.p.eventInit();
    d.p.eventRecord(SM_EVENT_KIND_SYSTEM, SM_SERVER_AUTH, started ? SM_STATE_UP : SM_STATE_INIT_FAILED, &sys);
    if (!started) {
        d.p.eventRelease();
        return usage("SmAuthInit failed; see the trace log");
    }

    const User &alice = d.user("alice"), &bob = d.user("bob"), &carol = d.user("carol");
    const User &dave = d.user("dave"), &eve = d.user("eve");
    std::string aliceCookie = d.session(alice), bobCookie = d.session(bob);
    std::string carolCookie = d.session(carol), daveCookie = d.session(dave);
    std::string forged = daveCookie;
    forged[forged.size() / 2] = forged[forged.size() / 2] == 'A' ? 'B' : 'A';

    d.login(alice, "PIN and own cookie", alice.pin + ";" + aliceCookie, SM_AUTH_RESULT(2, 0));
    d.login(bob, "wrong PIN", "9999;" + bobCookie, SM_AUTH_RESULT(3, 0));
    d.login(bob, "PIN and own cookie (level below audit)", bob.pin + ";" + bobCookie, SM_AUTH_RESULT(2, 0));
    d.login(dave, "forged cookie", dave.pin + ";" + forged, SM_AUTH_RESULT(3, 8));
    d.login(dave, "another user's cookie", dave.pin + ";" + carolCookie, SM_AUTH_RESULT(3, 2));
    d.login(carol, "level 5, outside 2..3", carol.pin + ";" + carolCookie, SM_AUTH_RESULT(3, 5));
    std::string eveCookie = d.session(eve, 600);
    standin.advanceTime(900);
    d.login(eve, "session idle past its time-out", eve.pin + ";" + eveCookie, SM_AUTH_RESULT(3, 2));
    d.login(alice, "replay of a logged-out cookie", alice.pin + ";" + aliceCookie, SM_AUTH_RESULT(3, 8));
    d.login(dave, "invalid scheme parameters", dave.pin + ";" + daveCookie, SM_AUTH_RESULT(1, 38),
            "MIN_LEVEL=5;MAX_LEVEL=3");
    d.login(dave, "posted text without ';'", daveCookie, SM_AUTH_RESULT(1, 38));
    d.login(dave, "PIN and own cookie", dave.pin + ";" + daveCookie, SM_AUTH_RESULT(2, 0));
    /* PIN_TRIES=3: the third wrong PIN in a row logs the session out. */
    std::string guessed = d.session(alice);
    d.login(alice, "wrong PIN 1 of PIN_TRIES=3", alice.pin + "-1;" + guessed, SM_AUTH_RESULT(3, 0));
    d.login(alice, "wrong PIN 2 of PIN_TRIES=3", alice.pin + "-2;" + guessed, SM_AUTH_RESULT(3, 0));
    d.login(alice, "wrong PIN 3 of 3: session logged out", alice.pin + "-3;" + guessed, SM_AUTH_RESULT(3, 0));
    d.login(alice, "right PIN after the lockout", alice.pin + ";" + guessed, SM_AUTH_RESULT(3, 8));

    /* Let the writer drain the queue: a release discards what is queued. */
    std::vector<std::pair<std::string, std::string>> rows;
    for (int i = 0; i < 500; i++) {
        bool lasting = false;
        if (readRunRows(db, d.runId, rows, error, &lasting) ? rows.size() >= d.audited.size() : lasting)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    d.p.eventRecord(SM_EVENT_KIND_SYSTEM, SM_SERVER_AUTH, SM_STATE_DOWN, &sys);
    d.p.eventRelease();
    d.p.authRelease(nullptr, nullptr);
    unloadPlugins(d.p);

    bool allOk = true;
    printf("%-3s %-26s %-40s %-6s %-6s %-12s %s\n", "#", "user", "tried", "status", "reason", "result",
           "outcome");
    for (size_t i = 0; i < d.outcomes.size(); i++) {
        const Outcome &o = d.outcomes[i];
        bool ok = o.result == o.expected;
        allOk &= ok;
        std::string outcome = ok ? "as expected" : "UNEXPECTED (wanted " + std::to_string(SM_AUTH_STATUS(o.expected)) +
                                                       "/" + std::to_string(SM_AUTH_REASON(o.expected)) + ")";
        if (o.audited)
            outcome += ", audited";
        printf("%-3zu %-26.26s %-40s %-6d %-6d %-12s %s\n", i + 1, o.user.c_str(), o.tried.c_str(),
               SM_AUTH_STATUS(o.result), SM_AUTH_REASON(o.result), resultName(o.result), outcome.c_str());
        if (!o.userMsg.empty() || !o.errMsg.empty())
            printf("    user message \"%s\", error message \"%s\"\n", o.userMsg.c_str(), o.errMsg.c_str());
    }

    printf("\nAudit rows in %s (table smaccesslog4):\n", db.dataSource.c_str());
    if (!readRunRows(db, d.runId, rows, error)) {
        printf("  %s\n", error.c_str());
        allOk = false;
    }
    for (const auto &r : rows)
        printf("  %-30s %s\n", r.first.c_str(), r.second.c_str());
    bool rowsOk = rows.size() == d.audited.size();
    for (size_t i = 0; rowsOk && i < rows.size(); i++)
        rowsOk = rows[i].first == d.audited[i];
    if (!rowsOk)
        printf("  UNEXPECTED: %zu audited logins, %zu rows\n", d.audited.size(), rows.size());
    allOk &= rowsOk;

    std::string lockout = traceLineWith(traceLog, "PIN attempt limit reached");
    printf("\nLockout in the trace log:\n  %s\n", lockout.empty() ? "UNEXPECTED: none" : lockout.c_str());
    allOk &= !lockout.empty();

    printf("\nTrace log: %s\n", traceLog.c_str());
    printf("%s\n", allOk ? "Demo passed: every outcome as expected, every audited login in the table."
                         : "Demo FAILED: see the lines marked UNEXPECTED.");
    return allOk ? 0 : 1;
}

} // namespace smhost
