/*
 * smagent_control.cpp - the control interface of the stand-in Agent API
 * (smagent_control.h): agents, sessions, the clock, queued commands,
 * forced results and what the library was asked.
 *
 * Threading: see smagent_state.h; smagentReset takes every lock, one
 * after the other in a fixed order, and must not race the Agent API calls
 * it forgets the state of.
 */
#include <string.h>

#include "smagent_state.h"

using namespace smagent;

extern "C" SMAGENT_EXPORT void smagentReset(void)
{
    {
        std::lock_guard<std::shared_mutex> guard(agents.lock);
        agents.secrets.clear();
        for (Agent *agent : agents.live)
            delete agent;
        agents.live.clear();
        agents.released.clear();
        agents.version++;
    }
    for (Shard &sh : shards) {
        std::lock_guard<std::mutex> guard(sh.lock);
        sh.byToken.clear();
        sh.tokenOfId.clear();
        sh.lastToken.clear();
        sh.lastTokenSeq = 0;
    }
    {
        std::lock_guard<std::mutex> guard(control.lock);
        control.commands.clear();
        for (int i = 0; i < SMAGENT_FN_COUNT; i++) {
            control.forced[i] = Forced();
            for (CallCounts &c : calls)
                c.n[i] = 0;
        }
        forcedCount = 0;
        control.haveManagement = false;
        control.lastManageCode = 0;
        control.lastManageData.clear();
        control.haveInit = false;
    }
    badFrees = 0;
    clockFrozen = false;
}

extern "C" SMAGENT_EXPORT int smagentAddAgent(const char *name, const char *secret)
{
    if (name == NULL || name[0] == '\0')
        return 0;
    std::lock_guard<std::shared_mutex> guard(agents.lock);
    agents.secrets[name] = secret == NULL ? "" : secret;
    return 1;
}

extern "C" SMAGENT_EXPORT int smagentCreateSession(const SmAgentCtl_Session_t *request, char *cookie,
                                    int cookieSize)
{
    if (request == NULL || cookie == NULL || cookieSize <= 32)
        return 0;
    Session s;
    s.userDn = request->userDn == NULL ? "" : request->userDn;
    s.userName = request->userName == NULL ? "" : request->userName;
    s.clientIp = request->clientIp == NULL ? "" : request->clientIp;
    s.startTime = now();
    s.lastTime = s.startTime;
    s.idleTimeout = request->idleTimeout;
    s.maxTimeout = request->maxTimeout;
    for (int i = 0; i < request->extraCount && request->extras != NULL; i++)
        s.extras.emplace_back(request->extras[i].id,
                              request->extras[i].value == NULL ? "" : request->extras[i].value);
    s.extrasOnly = request->extrasOnly != 0;

    /* The token begins with the id's first two digits: one shard for both. */
    for (;;) {
        std::string hex = randomHex(64); /* sessionSpec, sessionId, token: 256, 128 and 120 bits */
        s.sessionSpec = "ss:" + hex.substr(0, 64);
        s.sessionId = hex.substr(64, 32);
        s.token = s.sessionId.substr(0, 2) + hex.substr(98, 30);
        Shard &sh = shardOf(s.sessionId);
        std::lock_guard<std::mutex> guard(sh.lock);
        if (sh.byToken.count(s.token) != 0 || sh.tokenOfId.count(s.sessionId) != 0)
            continue;
        memcpy(cookie, s.token.c_str(), s.token.size() + 1);
        sh.tokenOfId[s.sessionId] = s.token;
        sh.byToken[s.token] = std::move(s);
        return 1;
    }
}

extern "C" SMAGENT_EXPORT int smagentSessionAlive(const char *cookie)
{
    if (cookie == NULL)
        return 0;
    Shard &sh = shardOf(cookie);
    std::lock_guard<std::mutex> guard(sh.lock);
    return sh.byToken.count(cookie) != 0;
}

extern "C" SMAGENT_EXPORT long smagentSessionLastTime(const char *cookie)
{
    if (cookie == NULL)
        return -1;
    Shard &sh = shardOf(cookie);
    std::lock_guard<std::mutex> guard(sh.lock);
    auto it = sh.byToken.find(cookie);
    return it == sh.byToken.end() ? -1 : it->second.lastTime;
}

extern "C" SMAGENT_EXPORT int smagentSessionCount(void)
{
    size_t n = 0;
    for (Shard &sh : shards) {
        std::lock_guard<std::mutex> guard(sh.lock);
        n += sh.byToken.size();
    }
    return (int)n;
}

extern "C" SMAGENT_EXPORT void smagentSetTime(long seconds)
{
    std::lock_guard<std::mutex> guard(control.lock);
    frozenTime = seconds;
    clockFrozen = true;
}

extern "C" SMAGENT_EXPORT void smagentAdvanceTime(long seconds)
{
    std::lock_guard<std::mutex> guard(control.lock);
    frozenTime = now() + seconds;
    clockFrozen = true;
}

extern "C" SMAGENT_EXPORT long smagentNow(void)
{
    return now();
}

extern "C" SMAGENT_EXPORT void smagentQueueCommand(int id, const char *value)
{
    std::lock_guard<std::mutex> guard(control.lock);
    control.commands.emplace_back(id, value == NULL ? "" : value);
}

extern "C" SMAGENT_EXPORT int smagentLastManagement(int *code, char *data, int dataSize)
{
    std::lock_guard<std::mutex> guard(control.lock);

    if (!control.haveManagement)
        return 0;
    if (code != NULL)
        *code = control.lastManageCode;
    copyOut(control.lastManageData, data, dataSize);
    return 1;
}

extern "C" SMAGENT_EXPORT int smagentLastToken(char *token, int tokenSize, int *length)
{
    std::string last;
    long seq = 0;

    for (Shard &sh : shards) {
        std::lock_guard<std::mutex> guard(sh.lock);
        if (sh.lastTokenSeq > seq) {
            seq = sh.lastTokenSeq;
            last = sh.lastToken;
        }
    }
    if (seq == 0)
        return 0;
    copyOut(last, token, tokenSize);
    if (length != NULL)
        *length = (int)last.size();
    return 1;
}

extern "C" SMAGENT_EXPORT int smagentLastInit(Sm_AgentApi_Init_t *init, Sm_AgentApi_Server_t *server)
{
    std::lock_guard<std::mutex> guard(control.lock);

    if (!control.haveInit)
        return 0;
    if (init != NULL)
        *init = control.lastInit;
    if (server != NULL)
        *server = control.lastServer;
    return 1;
}

extern "C" SMAGENT_EXPORT void smagentForceResult(int fn, int code, int times)
{
    if (fn < 0 || fn >= SMAGENT_FN_COUNT)
        return;
    std::lock_guard<std::mutex> guard(control.lock);
    Forced &f = control.forced[fn];
    forcedCount += (times != 0) - (f.times != 0);
    f.code = code;
    f.times = times;
}

extern "C" SMAGENT_EXPORT int smagentCallCount(int fn)
{
    return fn < 0 || fn >= SMAGENT_FN_COUNT ? 0 : callCount(fn);
}

extern "C" SMAGENT_EXPORT int smagentOpenLists(void)
{
    size_t n = 0;
    for (ListShard &ls : listShards) {
        std::lock_guard<std::mutex> guard(ls.lock);
        n += ls.open.size();
    }
    return (int)n;
}

extern "C" SMAGENT_EXPORT int smagentBadFrees(void)
{
    return badFrees.load();
}

extern "C" SMAGENT_EXPORT int smagentLiveAgents(void)
{
    std::shared_lock<std::shared_mutex> guard(agents.lock);
    return (int)agents.live.size();
}
