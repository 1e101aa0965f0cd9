/*
 * smagentapi.cpp - stand-in for the policy server's Agent API library.
 *
 * It answers the seven Agent API functions from in-memory state (agents,
 * sessions, queued management commands, a clock) that the control interface
 * of smagent_control.h sets up, so that a scheme using it can be run through
 * every branch without a policy server. Session tokens are random 128-bit
 * identifiers in hex, looked up in a table: a token the library did not
 * issue, or one changed in any character, is not found.
 *
 * A real Agent API frees an agent at UnInit, so a later call with its
 * handle would use freed memory. The stand-in keeps a released agent's
 * memory (so the address is never handed out again), remembers it, and
 * aborts the process when a call brings it back: a caller that races its
 * own release fails in every build, not only under a sanitizer.
 *
 * Threading: every function takes the one mutex `lock` for its whole work.
 */
#include "smagent_control.h"

#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <time.h>
#include <utility>
#include <vector>

/* The library is built with hidden visibility; only the Agent API and the
 * control interface are exported. */
#define SMAGENT_EXPORT __attribute__((visibility("default")))

namespace {

struct Agent {
    std::string name;
};

struct Session {
    std::string userDn;
    std::string userName;
    std::string clientIp;
    std::string sessionId;
    std::string sessionSpec;
    long startTime;
    long lastTime;
    int idleTimeout;
    int maxTimeout;
    std::vector<std::pair<int, std::string>> extras;
    bool extrasOnly;
};

struct Forced {
    int code = 0;
    int times = 0; /* < 0: until reset */
};

std::mutex lock;
std::map<std::string, std::string> agentSecrets;   /* name -> secret */
std::set<Agent *> liveAgents;
/* Given to UnInit; kept (and owned here) until reset or exit. */
std::map<Agent *, std::unique_ptr<Agent>> releasedAgents;
std::map<std::string, Session> sessions;           /* token -> session */
std::vector<std::pair<int, std::string>> commands; /* queued management commands */
std::map<Sm_AgentApi_Attribute_t *, int> openLists; /* list -> entries */
Forced forced[SMAGENT_FN_COUNT];
int calls[SMAGENT_FN_COUNT];
int badFrees;
bool clockFrozen;
long frozenTime;
bool haveManagement;
int lastManageCode;
std::string lastManageData;
bool haveToken;
std::string lastToken;
bool haveInit;
Sm_AgentApi_Init_t lastInit;
Sm_AgentApi_Server_t lastServer;

long now()
{
    return clockFrozen ? frozenTime : (long)time(NULL);
}

/* Takes one forced result of fn, if any. */
bool takeForced(int fn, int *code)
{
    Forced &f = forced[fn];
    if (f.times == 0)
        return false;
    if (f.times > 0)
        f.times--;
    *code = f.code;
    return true;
}

std::string boundedText(const char *text, size_t size)
{
    return text == NULL ? std::string() : std::string(text, strnlen(text, size));
}

/* Copies text into buf of size characters, cut to fit. */
void copyOut(const std::string &text, char *buf, int size)
{
    if (buf == NULL || size <= 0)
        return;
    size_t n = text.size() < (size_t)size - 1 ? text.size() : (size_t)size - 1;
    memcpy(buf, text.data(), n);
    buf[n] = '\0';
}

std::string randomHex(int bits)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;

    static std::random_device source; /* the system's random source */

    for (int i = 0; i < bits / 64; i++) {
        uint64_t word = ((uint64_t)source() << 32) ^ source();
        for (int j = 0; j < 16; j++, word >>= 4)
            out += hex[word & 0xf];
    }
    return out;
}

std::string newToken()
{
    std::string token;
    do
        token = randomHex(128);
    while (sessions.count(token) != 0);
    return token;
}

Sm_AgentApi_Attribute_t *newList(const std::vector<std::pair<int, std::string>> &attrs)
{
    size_t n = attrs.size();
    Sm_AgentApi_Attribute_t *list =
        (Sm_AgentApi_Attribute_t *)calloc(n == 0 ? 1 : n, sizeof(Sm_AgentApi_Attribute_t));

    if (list == NULL)
        return NULL;
    for (size_t i = 0; i < n; i++) {
        list[i].id = attrs[i].first;
        list[i].length = (int32_t)attrs[i].second.size();
        list[i].value = strdup(attrs[i].second.c_str());
    }
    openLists[list] = (int)n;
    return list;
}

void freeList(Sm_AgentApi_Attribute_t *list, int n)
{
    for (int i = 0; i < n; i++)
        free(list[i].value);
    free(list);
}

/* Stops the process when handle was already given to UnInit: what a real
 * library would do with it is undefined (it reads freed memory). */
void refuseReleased(void *handle, const char *function)
{
    if (handle == NULL || releasedAgents.count((Agent *)handle) == 0)
        return;
    fprintf(stderr, "libsmagentapi stand-in: %s called with an agent handle already given to "
                    "Sm_AgentApi_UnInit\n", function);
    abort();
}

bool liveHandle(void *handle, const char *function)
{
    refuseReleased(handle, function);
    return handle != NULL && liveAgents.count((Agent *)handle) != 0;
}

/* The session a decoded record names: identifier and specification. */
std::map<std::string, Session>::iterator findSession(const Sm_AgentApi_Session_t *rec)
{
    std::string id = boundedText(rec->sessionId, sizeof rec->sessionId);
    std::string wanted = boundedText(rec->sessionSpec, sizeof rec->sessionSpec);

    for (auto it = sessions.begin(); it != sessions.end(); ++it)
        if (it->second.sessionId == id && it->second.sessionSpec == wanted)
            return it;
    return sessions.end();
}

bool expired(const Session &s, long t)
{
    if (s.idleTimeout > 0 && t - s.lastTime > s.idleTimeout)
        return true;
    if (s.maxTimeout > 0 && t - s.startTime > s.maxTimeout)
        return true;
    return false;
}

std::vector<std::pair<int, std::string>> tokenAttributes(const Session &s)
{
    std::vector<std::pair<int, std::string>> attrs;

    if (!s.extrasOnly) {
        attrs.emplace_back(SM_AGENTAPI_ATTR_STARTSESSIONTIME, std::to_string(s.startTime));
        attrs.emplace_back(SM_AGENTAPI_ATTR_LASTSESSIONTIME, std::to_string(s.lastTime));
        attrs.emplace_back(SM_AGENTAPI_ATTR_SESSIONID, s.sessionId);
        attrs.emplace_back(SM_AGENTAPI_ATTR_CLIENTIP, s.clientIp);
        attrs.emplace_back(SM_AGENTAPI_ATTR_SESSIONSPEC, s.sessionSpec);
        attrs.emplace_back(SM_AGENTAPI_ATTR_USERNAME, s.userName);
        attrs.emplace_back(SM_AGENTAPI_ATTR_USERDN, s.userDn);
        attrs.emplace_back(SM_AGENTAPI_ATTR_IDLESESSIONTIMEOUT, std::to_string(s.idleTimeout));
        attrs.emplace_back(SM_AGENTAPI_ATTR_MAXSESSIONTIMEOUT, std::to_string(s.maxTimeout));
    }
    attrs.insert(attrs.end(), s.extras.begin(), s.extras.end());
    return attrs;
}

bool isManagementFailure(int code)
{
    return code == SM_AGENTAPI_NOCONNECTION || code == SM_AGENTAPI_FAILURE ||
           code == SM_AGENTAPI_TIMEOUT || code == SM_AGENTAPI_UNKNOWN_FUNCTION;
}

} // namespace

/* ---- Agent API -------------------------------------------------------- */

extern "C" SMAGENT_EXPORT int Sm_AgentApi_Init(const Sm_AgentApi_Init_t *init, void **handle)
{
    std::lock_guard<std::mutex> guard(lock);
    int code;

    calls[SMAGENT_FN_INIT]++;
    if (init != NULL) {
        haveInit = true;
        lastInit = *init;
        lastInit.servers = NULL;
        memset(&lastServer, 0, sizeof lastServer);
        if (init->serverCount >= 1 && init->servers != NULL)
            lastServer = init->servers[0];
    }
    if (takeForced(SMAGENT_FN_INIT, &code))
        return code;
    if (init == NULL || handle == NULL || init->version != SM_AGENTAPI_VERSION ||
        init->serverCount < 1 || init->servers == NULL)
        return SM_AGENTAPI_BAD_ARGUMENT;

    std::string name = boundedText(init->agentName, sizeof init->agentName);
    std::string secret = boundedText(init->sharedSecret, sizeof init->sharedSecret);
    auto known = agentSecrets.find(name);
    if (known == agentSecrets.end() || known->second != secret)
        return SM_AGENTAPI_FAILURE;

    Agent *agent = new Agent{name};
    liveAgents.insert(agent);
    *handle = agent;
    return SM_AGENTAPI_SUCCESS;
}

extern "C" SMAGENT_EXPORT int Sm_AgentApi_DoManagement(void *handle, const Sm_AgentApi_ManageRequest_t *request,
                                        int *count, Sm_AgentApi_Attribute_t **list)
{
    std::lock_guard<std::mutex> guard(lock);
    int code = SM_AGENTAPI_SUCCESS;

    calls[SMAGENT_FN_DOMANAGEMENT]++;
    if (count != NULL)
        *count = 0;
    if (list != NULL)
        *list = NULL;
    if (request != NULL) {
        haveManagement = true;
        lastManageCode = request->code;
        lastManageData = boundedText(request->data, sizeof request->data);
    }
    refuseReleased(handle, "Sm_AgentApi_DoManagement");
    bool isForced = takeForced(SMAGENT_FN_DOMANAGEMENT, &code);
    if (isForced && isManagementFailure(code))
        return code;
    if (!isForced) {
        if (!liveHandle(handle, "Sm_AgentApi_DoManagement"))
            return SM_AGENTAPI_NOCONNECTION;
        if (request == NULL || count == NULL || list == NULL)
            return SM_AGENTAPI_BAD_ARGUMENT;
    } else if (count == NULL || list == NULL) {
        return code;
    }
    if (!commands.empty()) {
        *list = newList(commands);
        if (*list == NULL)
            return SM_AGENTAPI_FAILURE;
        *count = (int)commands.size();
        commands.clear();
    }
    return code;
}

extern "C" SMAGENT_EXPORT int Sm_AgentApi_DecodeSSOToken(void *handle, const char *token, int *tokenVersion,
                                          int *thirdParty, int *count,
                                          Sm_AgentApi_Attribute_t **list, int updateToken,
                                          int *newTokenLength, char *newToken)
{
    std::lock_guard<std::mutex> guard(lock);
    int code;

    (void)updateToken;
    (void)newTokenLength;
    (void)newToken;
    calls[SMAGENT_FN_DECODE]++;
    refuseReleased(handle, "Sm_AgentApi_DecodeSSOToken");
    if (token != NULL) {
        haveToken = true;
        lastToken = token;
    }
    if (takeForced(SMAGENT_FN_DECODE, &code))
        return code;
    if (!liveHandle(handle, "Sm_AgentApi_DecodeSSOToken"))
        return SM_AGENTAPI_BAD_HANDLE;
    if (token == NULL || count == NULL || list == NULL)
        return SM_AGENTAPI_BAD_ARGUMENT;
    auto it = sessions.find(token);
    if (it == sessions.end())
        return SM_AGENTAPI_FAILURE;

    std::vector<std::pair<int, std::string>> attrs = tokenAttributes(it->second);
    Sm_AgentApi_Attribute_t *out = newList(attrs);
    if (out == NULL)
        return SM_AGENTAPI_FAILURE;
    if (tokenVersion != NULL)
        *tokenVersion = 1;
    if (thirdParty != NULL)
        *thirdParty = 0;
    *count = (int)attrs.size();
    *list = out;
    return SM_AGENTAPI_SUCCESS;
}

extern "C" SMAGENT_EXPORT int Sm_AgentApi_Login(void *handle, const char *clientIp,
                                 const Sm_AgentApi_Resource_t *resource,
                                 const Sm_AgentApi_Realm_t *realm,
                                 const Sm_AgentApi_Credentials_t *credentials,
                                 Sm_AgentApi_Session_t *session, int *count,
                                 Sm_AgentApi_Attribute_t **list)
{
    std::lock_guard<std::mutex> guard(lock);
    int code;

    (void)clientIp;
    calls[SMAGENT_FN_LOGIN]++;
    refuseReleased(handle, "Sm_AgentApi_Login");
    if (takeForced(SMAGENT_FN_LOGIN, &code))
        return code;
    if (!liveHandle(handle, "Sm_AgentApi_Login"))
        return SM_AGENTAPI_BAD_HANDLE;
    if (resource == NULL || realm == NULL || credentials == NULL || session == NULL ||
        count == NULL || list == NULL)
        return SM_AGENTAPI_BAD_ARGUMENT;

    auto it = findSession(session);
    if (it == sessions.end())
        return SM_AGENTAPI_NO;
    Session &s = it->second;
    long t = now();
    if (boundedText(credentials->userName, sizeof credentials->userName) != s.userDn ||
        expired(s, t))
        return SM_AGENTAPI_NO;

    Sm_AgentApi_Attribute_t *out =
        newList({{SM_AGENTAPI_ATTR_USERDN, s.userDn}, {SM_AGENTAPI_ATTR_USERNAME, s.userName}});
    if (out == NULL)
        return SM_AGENTAPI_FAILURE;
    s.lastTime = t;
    session->lastTime = (int32_t)t;
    *count = 2;
    *list = out;
    return SM_AGENTAPI_YES;
}

extern "C" SMAGENT_EXPORT int Sm_AgentApi_Logout(void *handle, const char *clientIp,
                                  const Sm_AgentApi_Session_t *session)
{
    std::lock_guard<std::mutex> guard(lock);
    int code;

    (void)clientIp;
    calls[SMAGENT_FN_LOGOUT]++;
    refuseReleased(handle, "Sm_AgentApi_Logout");
    if (takeForced(SMAGENT_FN_LOGOUT, &code))
        return code;
    if (!liveHandle(handle, "Sm_AgentApi_Logout"))
        return SM_AGENTAPI_BAD_HANDLE;
    if (session == NULL)
        return SM_AGENTAPI_BAD_ARGUMENT;
    auto it = findSession(session);
    if (it == sessions.end())
        return SM_AGENTAPI_NO;
    sessions.erase(it);
    return SM_AGENTAPI_YES;
}

extern "C" SMAGENT_EXPORT void Sm_AgentApi_FreeAttributes(int count, Sm_AgentApi_Attribute_t *list)
{
    std::lock_guard<std::mutex> guard(lock);

    calls[SMAGENT_FN_FREE]++;
    if (list == NULL)
        return;
    auto it = openLists.find(list);
    if (it == openLists.end()) {
        badFrees++; /* not ours, or freed twice: leave it alone */
        return;
    }
    if (it->second != count)
        badFrees++;
    freeList(list, it->second);
    openLists.erase(it);
}

extern "C" SMAGENT_EXPORT int Sm_AgentApi_UnInit(void **handle)
{
    std::lock_guard<std::mutex> guard(lock);
    int code;

    calls[SMAGENT_FN_UNINIT]++;
    if (handle != NULL)
        refuseReleased(*handle, "Sm_AgentApi_UnInit");
    if (takeForced(SMAGENT_FN_UNINIT, &code))
        return code;
    if (handle == NULL || !liveHandle(*handle, "Sm_AgentApi_UnInit"))
        return SM_AGENTAPI_BAD_HANDLE;
    Agent *agent = (Agent *)*handle;
    liveAgents.erase(agent);
    releasedAgents[agent].reset(agent);
    *handle = NULL;
    return SM_AGENTAPI_SUCCESS;
}

/* ---- Control interface ------------------------------------------------ */

extern "C" SMAGENT_EXPORT void smagentReset(void)
{
    std::lock_guard<std::mutex> guard(lock);

    agentSecrets.clear();
    for (Agent *agent : liveAgents)
        delete agent;
    liveAgents.clear();
    releasedAgents.clear();
    sessions.clear();
    commands.clear();
    for (int i = 0; i < SMAGENT_FN_COUNT; i++) {
        forced[i] = Forced();
        calls[i] = 0;
    }
    badFrees = 0;
    clockFrozen = false;
    haveManagement = false;
    lastManageCode = 0;
    lastManageData.clear();
    haveInit = false;
    haveToken = false;
    lastToken.clear();
}

extern "C" SMAGENT_EXPORT int smagentAddAgent(const char *name, const char *secret)
{
    std::lock_guard<std::mutex> guard(lock);

    if (name == NULL || name[0] == '\0')
        return 0;
    agentSecrets[name] = secret == NULL ? "" : secret;
    return 1;
}

extern "C" SMAGENT_EXPORT int smagentCreateSession(const SmAgentCtl_Session_t *request, char *cookie,
                                    int cookieSize)
{
    std::lock_guard<std::mutex> guard(lock);

    if (request == NULL || cookie == NULL || cookieSize <= 32)
        return 0;
    Session s;
    s.userDn = request->userDn == NULL ? "" : request->userDn;
    s.userName = request->userName == NULL ? "" : request->userName;
    s.clientIp = request->clientIp == NULL ? "" : request->clientIp;
    s.sessionId = randomHex(128);
    s.sessionSpec = "ss:" + randomHex(256);
    s.startTime = now();
    s.lastTime = s.startTime;
    s.idleTimeout = request->idleTimeout;
    s.maxTimeout = request->maxTimeout;
    for (int i = 0; i < request->extraCount && request->extras != NULL; i++)
        s.extras.emplace_back(request->extras[i].id,
                              request->extras[i].value == NULL ? "" : request->extras[i].value);
    s.extrasOnly = request->extrasOnly != 0;

    std::string token = newToken();
    sessions[token] = std::move(s);
    memcpy(cookie, token.c_str(), token.size() + 1);
    return 1;
}

extern "C" SMAGENT_EXPORT int smagentSessionAlive(const char *cookie)
{
    std::lock_guard<std::mutex> guard(lock);
    return cookie != NULL && sessions.count(cookie) != 0;
}

extern "C" SMAGENT_EXPORT long smagentSessionLastTime(const char *cookie)
{
    std::lock_guard<std::mutex> guard(lock);

    if (cookie == NULL)
        return -1;
    auto it = sessions.find(cookie);
    return it == sessions.end() ? -1 : it->second.lastTime;
}

extern "C" SMAGENT_EXPORT int smagentSessionCount(void)
{
    std::lock_guard<std::mutex> guard(lock);
    return (int)sessions.size();
}

extern "C" SMAGENT_EXPORT void smagentSetTime(long seconds)
{
    std::lock_guard<std::mutex> guard(lock);
    clockFrozen = true;
    frozenTime = seconds;
}

extern "C" SMAGENT_EXPORT void smagentAdvanceTime(long seconds)
{
    std::lock_guard<std::mutex> guard(lock);
    frozenTime = now() + seconds;
    clockFrozen = true;
}

extern "C" SMAGENT_EXPORT long smagentNow(void)
{
    std::lock_guard<std::mutex> guard(lock);
    return now();
}

extern "C" SMAGENT_EXPORT void smagentQueueCommand(int id, const char *value)
{
    std::lock_guard<std::mutex> guard(lock);
    commands.emplace_back(id, value == NULL ? "" : value);
}

extern "C" SMAGENT_EXPORT int smagentLastManagement(int *code, char *data, int dataSize)
{
    std::lock_guard<std::mutex> guard(lock);

    if (!haveManagement)
        return 0;
    if (code != NULL)
        *code = lastManageCode;
    copyOut(lastManageData, data, dataSize);
    return 1;
}

extern "C" SMAGENT_EXPORT int smagentLastToken(char *token, int tokenSize, int *length)
{
    std::lock_guard<std::mutex> guard(lock);

    if (!haveToken)
        return 0;
    copyOut(lastToken, token, tokenSize);
    if (length != NULL)
        *length = (int)lastToken.size();
    return 1;
}

extern "C" SMAGENT_EXPORT int smagentLastInit(Sm_AgentApi_Init_t *init, Sm_AgentApi_Server_t *server)
{
    std::lock_guard<std::mutex> guard(lock);

    if (!haveInit)
        return 0;
    if (init != NULL)
        *init = lastInit;
    if (server != NULL)
        *server = lastServer;
    return 1;
}

extern "C" SMAGENT_EXPORT void smagentForceResult(int fn, int code, int times)
{
    std::lock_guard<std::mutex> guard(lock);

    if (fn < 0 || fn >= SMAGENT_FN_COUNT)
        return;
    forced[fn].code = code;
    forced[fn].times = times;
}

extern "C" SMAGENT_EXPORT int smagentCallCount(int fn)
{
    std::lock_guard<std::mutex> guard(lock);
    return fn < 0 || fn >= SMAGENT_FN_COUNT ? 0 : calls[fn];
}

extern "C" SMAGENT_EXPORT int smagentOpenLists(void)
{
    std::lock_guard<std::mutex> guard(lock);
    return (int)openLists.size();
}

extern "C" SMAGENT_EXPORT int smagentBadFrees(void)
{
    std::lock_guard<std::mutex> guard(lock);
    return badFrees;
}

extern "C" SMAGENT_EXPORT int smagentLiveAgents(void)
{
    std::lock_guard<std::mutex> guard(lock);
    return (int)liveAgents.size();
}
