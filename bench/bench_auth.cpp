/*
 * bench_auth.cpp - the authentication scheme against the Agent API calls
 * it is made of.
 *
 *   SmAuthenticate/L   one accepted step-up login (PIN;cookie) at trace level L
 *   AgentApiBaseline   the stand-in's own calls for one login, without the
 *                      scheme: decode the cookie, validate the session
 *                      (login), log it out, and free the two lists
 *   AuthPaired         the two above in turn on halves of each batch of sessions:
 *                      the ratio of the target, robust to a changing load
 *   PinTriesPaired     the same login with PIN_TRIES set and without, in turn
 *                      likewise, the table of counts holding other sessions
 *   ClaimsPaired       the same login with 1,000,000 live accept-once claims
 *                      of other sessions and with none, in turn: the claims
 *                      are made and freed between the halves
 *   ParseParameters/N  the parameter string of N characters (0: the typical one)
 *
 * Sessions are opened in batches outside the timed region, as a login needs
 * a fresh one (it is logged out by the login).
 */
#include <benchmark/benchmark.h>

#include <string.h>
#include <string>
#include <time.h>
#include <vector>

#include "agent.h"
#include "claims.h"
#include "authutil.h"
#include "benchutil.h"
#include "clockhook.h"
#include "pintries.h"
#include "smagent_control.h"
#include "smauthkel.h"
#include "trace.h"

namespace {

const char *const PARAMS = "AGENT_NAME=loadagent;USE_PIN=yes;MIN_LEVEL=2;MAX_LEVEL=3";
const char *const PARAMS_TRIES = "AGENT_NAME=loadagent;USE_PIN=yes;MIN_LEVEL=2;MAX_LEVEL=3;PIN_TRIES=5";
/* Other sessions with a wrong PIN in the table of counts during PinTriesPaired. */
const int COUNTED = 512;
using kb::USER_DN;
const int BATCH = 64;

kb::Home *home;

/* Opens BATCH sessions for USER_DN; the cookies go to cookies. */
void openSessions(std::vector<std::string> &cookies)
{
    cookies.clear();
    for (int i = 0; i < BATCH; i++)
        cookies.push_back(kb::openSession());
}

int baselineLogin(void *handle, const char *cookie);
void *baselineInit();

/* Logs out the sessions of a batch that a run left unused: the stand-in
 * looks sessions up one by one, so leftovers would make every later login
 * slower and the figures depend on the order of the benchmarks. */
void closeLeftovers(void *handle, const std::vector<std::string> &cookies, size_t next)
{
    for (; next < cookies.size(); next++)
        baselineLogin(handle, cookies[next].c_str());
}

void SmAuthenticateLogin(benchmark::State &state)
{
    kb::traceLevel(*home, (int)state.range(0));
    Sm_Api_UserContext_t ctx = kb::userContext();
    std::vector<std::string> cookies, posted;
    char userMsg[128], errMsg[128];
    size_t next = BATCH;
    long refused = 0;

    for (auto _ : state) {
        if (next == (size_t)BATCH) {
            state.PauseTiming();
            openSessions(cookies);
            posted.clear();
            for (const std::string &c : cookies)
                posted.push_back("pin0;" + c);
            next = 0;
            state.ResumeTiming();
        }
        Sm_Api_UserCredentials_t cred{USER_DN, posted[next++].c_str()};
        int rc = SmAuthenticate(nullptr, &ctx, &cred, nullptr, PARAMS, nullptr, sizeof userMsg, userMsg,
                                sizeof errMsg, errMsg);
        refused += SM_AUTH_STATUS(rc) != SM_AUTH_ACCEPT;
    }
    void *handle = baselineInit();
    closeLeftovers(handle, cookies, next);
    Sm_AgentApi_UnInit(&handle);
    if (refused != 0)
        state.SkipWithError("logins refused");
    unlink(home->logPath().c_str());
}

/* One login through the stand-in's own calls, as the scheme makes them:
 * decode the cookie, validate its session, log it out, free both lists.
 * Returns 1 when the stand-in accepted it. */
int baselineLogin(void *handle, const char *cookie)
{
    Sm_AgentApi_Session_t session;
    Sm_AgentApi_Resource_t resource;
    Sm_AgentApi_Realm_t realm;
    Sm_AgentApi_Credentials_t cred;
    Sm_AgentApi_Attribute_t *list = nullptr;
    int version, thirdParty, count = 0, tokenLength = 4096, ok = 1;
    memset(&session, 0, sizeof session);
    Sm_AgentApi_DecodeSSOToken(handle, cookie, &version, &thirdParty, &count, &list, 0, &tokenLength, nullptr);
    for (int i = 0; i < count; i++) {
        if (list[i].id == SM_AGENTAPI_ATTR_SESSIONID)
            snprintf(session.sessionId, sizeof session.sessionId, "%s", list[i].value);
        else if (list[i].id == SM_AGENTAPI_ATTR_SESSIONSPEC)
            snprintf(session.sessionSpec, sizeof session.sessionSpec, "%s", list[i].value);
    }
    Sm_AgentApi_FreeAttributes(count, list);
    memset(&resource, 0, sizeof resource);
    memset(&realm, 0, sizeof realm);
    memset(&cred, 0, sizeof cred);
    snprintf(cred.userName, sizeof cred.userName, "%s", USER_DN);
    list = nullptr;
    count = 0;
    ok &= Sm_AgentApi_Login(handle, "*", &resource, &realm, &cred, &session, &count, &list) == SM_AGENTAPI_YES;
    Sm_AgentApi_FreeAttributes(count, list);
    ok &= Sm_AgentApi_Logout(handle, "192.0.2.20", &session) == SM_AGENTAPI_YES;
    return ok;
}

void *baselineInit()
{
    Sm_AgentApi_Server_t server{};
    Sm_AgentApi_Init_t init{};
    void *handle = nullptr;
    snprintf(server.address, sizeof server.address, "127.0.0.1");
    init.version = SM_AGENTAPI_VERSION;
    snprintf(init.agentName, sizeof init.agentName, "loadagent");
    snprintf(init.sharedSecret, sizeof init.sharedSecret, "load-secret");
    init.serverCount = 1;
    init.servers = &server;
    return Sm_AgentApi_Init(&init, &handle) == 0 ? handle : nullptr;
}

void AgentApiBaseline(benchmark::State &state)
{
    void *handle = baselineInit();
    if (handle == nullptr) {
        state.SkipWithError("Sm_AgentApi_Init failed");
        return;
    }
    std::vector<std::string> cookies;
    size_t next = BATCH;
    long refused = 0;

    for (auto _ : state) {
        if (next == (size_t)BATCH) {
            state.PauseTiming();
            openSessions(cookies);
            next = 0;
            state.ResumeTiming();
        }
        refused += !baselineLogin(handle, cookies[next++].c_str());
    }
    closeLeftovers(handle, cookies, next);
    Sm_AgentApi_UnInit(&handle);
    if (refused != 0)
        state.SkipWithError("stand-in refused a login");
}

double threadCpuNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

/* The scheme and its baseline measured in turn on halves of each batch of
 * sessions (the order swapped every batch), so that a change in the
 * machine's load falls on both alike. Counters: CPU time per login of each
 * and their ratio. */
void AuthPaired(benchmark::State &state)
{
    kb::traceLevel(*home, 0);
    Sm_Api_UserContext_t ctx = kb::userContext();
    void *handle = baselineInit();
    if (handle == nullptr) {
        state.SkipWithError("Sm_AgentApi_Init failed");
        return;
    }
    std::vector<std::string> cookies, posted;
    char userMsg[128], errMsg[128];
    double schemeNs = 0, baseNs = 0;
    long logins = 0, refused = 0;
    bool schemeFirst = true;
    const int half = BATCH / 2;

    for (auto _ : state) {
        openSessions(cookies);
        posted.clear();
        for (const std::string &c : cookies)
            posted.push_back("pin0;" + c);
        for (int part = 0; part < 2; part++) {
            bool scheme = (part == 0) == schemeFirst;
            int from = part * half;
            double t0 = threadCpuNs();
            for (int i = from; i < from + half; i++) {
                if (scheme) {
                    Sm_Api_UserCredentials_t cred{USER_DN, posted[(size_t)i].c_str()};
                    int rc = SmAuthenticate(nullptr, &ctx, &cred, nullptr, PARAMS, nullptr, sizeof userMsg,
                                            userMsg, sizeof errMsg, errMsg);
                    refused += SM_AUTH_STATUS(rc) != SM_AUTH_ACCEPT;
                } else {
                    refused += !baselineLogin(handle, cookies[(size_t)i].c_str());
                }
            }
            (scheme ? schemeNs : baseNs) += threadCpuNs() - t0;
        }
        logins += half;
        schemeFirst = !schemeFirst;
    }
    Sm_AgentApi_UnInit(&handle);
    if (refused != 0)
        state.SkipWithError("logins refused");
    if (logins > 0) {
        state.counters["scheme_ns"] = schemeNs / (double)logins;
        state.counters["baseline_ns"] = baseNs / (double)logins;
        state.counters["ratio"] = schemeNs / baseNs;
    }
}

/* One accepted login with the given parameters; 1 when accepted. */
int acceptedLogin(const Sm_Api_UserContext_t *ctx, const std::string &posted, const char *params)
{
    Sm_Api_UserCredentials_t cred{USER_DN, posted.c_str()};
    char userMsg[128], errMsg[128];
    return SM_AUTH_STATUS(SmAuthenticate(nullptr, ctx, &cred, nullptr, params, nullptr, sizeof userMsg,
                                         userMsg, sizeof errMsg, errMsg)) == SM_AUTH_ACCEPT;
}

/* SmAuthenticate with PIN_TRIES set against the same login without it, in
 * turn on halves of each batch as AuthPaired does. Every PIN is right, so
 * the cost measured is what each login pays: the lookup that starts its
 * session's count again, in a table holding COUNTED other sessions.
 * Counters: CPU time per login with and without, and their ratio. */
void PinTriesPaired(benchmark::State &state)
{
    kb::traceLevel(*home, 0);
    Sm_Api_UserContext_t ctx = kb::userContext();
    std::vector<std::string> cookies, posted;
    double withNs = 0, withoutNs = 0;
    long logins = 0, refused = 0;
    bool withFirst = true;
    const int half = BATCH / 2;

    pintriesClear();
    for (int i = 0; i < COUNTED; i++)
    {
        SidKey key;
        std::string id = "counted-" + std::to_string(i);
        sidKeyOf(id.c_str(), id.size(), &key);
        pintriesRecord(&key, 0, 5, 86400);
    }
    for (auto _ : state) {
        openSessions(cookies);
        posted.clear();
        for (const std::string &c : cookies)
            posted.push_back("pin0;" + c);
        for (int part = 0; part < 2; part++) {
            bool with = (part == 0) == withFirst;
            int from = part * half;
            double t0 = threadCpuNs();
            for (int i = from; i < from + half; i++)
                refused += !acceptedLogin(&ctx, posted[(size_t)i], with ? PARAMS_TRIES : PARAMS);
            (with ? withNs : withoutNs) += threadCpuNs() - t0;
        }
        logins += half;
        withFirst = !withFirst;
    }
    pintriesClear();
    if (refused != 0)
        state.SkipWithError("logins refused");
    if (logins > 0) {
        state.counters["scheme_ns"] = withNs / (double)logins;
        state.counters["baseline_ns"] = withoutNs / (double)logins;
        state.counters["ratio"] = withNs / withoutNs;
    }
}

/* Claims of other sessions that ClaimsPaired holds during its full half. */
const int CLAIMED = 1000000;
/* Logins timed in each half of each iteration. */
const int CLAIMS_LOGINS = 16 * BATCH;

/* Fills the accept-once table with CLAIMED live claims of other sessions. */
void claimOthers()
{
    for (int i = 0; i < CLAIMED; i++) {
        SidKey key;
        char id[32];
        int n = snprintf(id, sizeof id, "other-%d", i);
        sidKeyOf(id, (size_t)n, &key);
        claimSession(&key, 86400);
    }
}

/* CPU time of CLAIMS_LOGINS accepted logins, sessions opened outside it,
 * after one batch untimed: filling the table leaves every cache cold. */
double timedLogins(const Sm_Api_UserContext_t *ctx, long *refused)
{
    std::vector<std::string> cookies, posted;
    double ns = 0;
    for (int b = -1; b < CLAIMS_LOGINS / BATCH; b++) {
        openSessions(cookies);
        posted.clear();
        for (const std::string &c : cookies)
            posted.push_back("pin0;" + c);
        double t0 = threadCpuNs();
        for (const std::string &p : posted)
            *refused += !acceptedLogin(ctx, p, PARAMS);
        if (b >= 0)
            ns += threadCpuNs() - t0;
    }
    return ns;
}

/* SmAuthenticate with 1,000,000 live claims of other sessions in the
 * accept-once table against the same login with an empty table. Each
 * iteration times one half with the table emptied and one with it filled
 * (filling takes far longer than the logins, so it is not timed), the
 * order swapped every iteration. Counters as PinTriesPaired's. */
void ClaimsPaired(benchmark::State &state)
{
    kb::traceLevel(*home, 0);
    Sm_Api_UserContext_t ctx = kb::userContext();
    double fullNs = 0, emptyNs = 0;
    long logins = 0, refused = 0;
    bool fullFirst = false;

    for (auto _ : state) {
        for (int part = 0; part < 2; part++) {
            bool full = (part == 0) == fullFirst;
            claimsClear();
            if (full)
                claimOthers();
            (full ? fullNs : emptyNs) += timedLogins(&ctx, &refused);
        }
        logins += CLAIMS_LOGINS;
        fullFirst = !fullFirst;
    }
    claimsClear();
    if (refused != 0)
        state.SkipWithError("logins refused");
    if (logins > 0) {
        state.counters["scheme_ns"] = fullNs / (double)logins;
        state.counters["baseline_ns"] = emptyNs / (double)logins;
        state.counters["ratio"] = fullNs / emptyNs;
    }
}

void ParseParameters(benchmark::State &state)
{
    static Parameters p;
    std::string text = PARAMS;
    if (state.range(0) > 0) {
        text = "AGENT_NAME=loadagent;USE_PIN=yes;MIN_LEVEL=2;MAX_LEVEL=3;DESCRIPTION=";
        while (text.size() < (size_t)state.range(0))
            text += "Step-up login with PIN and session cookie. ";
        text.resize((size_t)state.range(0));
    }
    kb::traceLevel(*home, 0);
    int ok = 1;
    for (auto _ : state) {
        ok &= parseParameters(text.c_str(), &p);
        benchmark::DoNotOptimize(p);
    }
    if (!ok)
        state.SkipWithError("parameters refused");
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
}

} // namespace

BENCHMARK(SmAuthenticateLogin)->Name("SmAuthenticate")->Arg(0)->Arg(5);
BENCHMARK(AgentApiBaseline);
BENCHMARK(AuthPaired);
BENCHMARK(PinTriesPaired);
BENCHMARK(ClaimsPaired)->Iterations(4)->Unit(benchmark::kMillisecond);
BENCHMARK(ParseParameters)->Arg(0)->Arg(256)->Arg(1024)->Arg(4096);

int main(int argc, char **argv)
{
    kb::Home h;
    home = &h;
    kb::installClock();
    h.traceConf(0);
    smagentAddAgent("loadagent", "load-secret");
    agentSetLibraryPath(AGENTAPI_PATH);
    if (SmAuthInit(PARAMS, "load-secret") != 0) {
        fprintf(stderr, "SmAuthInit failed\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    SmAuthRelease(PARAMS, "load-secret");
    return 0;
}
