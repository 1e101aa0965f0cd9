/*
 * smagentapi.cpp - stand-in for the policy server's Agent API library: the
 * seven Agent API functions.
 *
 * They answer from in-memory state (agents, sessions, queued management
 * commands, a clock) that the control interface of smagent_control.h sets
 * up, so that a scheme using it can be run through every branch without a
 * policy server. Session tokens are random 128-bit identifiers in hex,
 * looked up in a table: a token the library did not issue, or one changed
 * in any character, is not found.
 *
 * A real Agent API frees an agent at UnInit, so a later call with its
 * handle would use freed memory. The stand-in keeps a released agent's
 * memory (so the address is never handed out again), remembers it, and
 * aborts the process when a call brings it back: a caller that races its
 * own release fails in every build, not only under a sanitizer.
 *
 * Threading: see smagent_state.h. A login's calls on different sessions
 * share no lock but an agents read lock, so the stand-in does not make
 * the logins of many threads wait for each other.
 */
#include <stdlib.h>
#include <string.h>

#include "smagent_state.h"

using namespace smagent;

namespace {

/* The session a decoded record names (identifier and specification), in
 * its shard, which the caller holds; NULL when there is none. */
Session *findSession(Shard &sh, const Sm_AgentApi_Session_t *rec)
{
    std::string id = boundedText(rec->sessionId, sizeof rec->sessionId);
    auto tok = sh.tokenOfId.find(id);
    if (tok == sh.tokenOfId.end())
        return NULL;
    auto it = sh.byToken.find(tok->second);
    if (it == sh.byToken.end() || it->second.sessionSpec != boundedText(rec->sessionSpec, sizeof rec->sessionSpec))
        return NULL;
    return &it->second;
}

bool isManagementFailure(int code)
{
    return code == SM_AGENTAPI_NOCONNECTION || code == SM_AGENTAPI_FAILURE ||
           code == SM_AGENTAPI_TIMEOUT || code == SM_AGENTAPI_UNKNOWN_FUNCTION;
}

} // namespace

extern "C" SMAGENT_EXPORT int Sm_AgentApi_Init(const Sm_AgentApi_Init_t *init, void **handle)
{
    int code;

    if (init != NULL) {
        std::lock_guard<std::mutex> guard(control.lock);
        control.haveInit = true;
        control.lastInit = *init;
        control.lastInit.servers = NULL;
        memset(&control.lastServer, 0, sizeof control.lastServer);
        if (init->serverCount >= 1 && init->servers != NULL)
            control.lastServer = init->servers[0];
    }
    if (countCall(SMAGENT_FN_INIT, &code))
        return code;
    if (init == NULL || handle == NULL || init->version != SM_AGENTAPI_VERSION ||
        init->serverCount < 1 || init->servers == NULL)
        return SM_AGENTAPI_BAD_ARGUMENT;

    std::string name = boundedText(init->agentName, sizeof init->agentName);
    std::string secret = boundedText(init->sharedSecret, sizeof init->sharedSecret);
    std::lock_guard<std::shared_mutex> guard(agents.lock);
    auto known = agents.secrets.find(name);
    if (known == agents.secrets.end() || known->second != secret)
        return SM_AGENTAPI_FAILURE;

    Agent *agent = new Agent{name};
    agents.live.insert(agent);
    agents.version++;
    *handle = agent;
    return SM_AGENTAPI_SUCCESS;
}

extern "C" SMAGENT_EXPORT int Sm_AgentApi_DoManagement(void *handle, const Sm_AgentApi_ManageRequest_t *request,
                                        int *count, Sm_AgentApi_Attribute_t **list)
{
    int code = SM_AGENTAPI_SUCCESS;

    if (count != NULL)
        *count = 0;
    if (list != NULL)
        *list = NULL;
    if (request != NULL) {
        std::lock_guard<std::mutex> guard(control.lock);
        control.haveManagement = true;
        control.lastManageCode = request->code;
        control.lastManageData = boundedText(request->data, sizeof request->data);
    }
    bool live = handleState(handle, "Sm_AgentApi_DoManagement");
    bool isForced = countCall(SMAGENT_FN_DOMANAGEMENT, &code);
    if (isForced && isManagementFailure(code))
        return code;
    if (!isForced) {
        if (!live)
            return SM_AGENTAPI_NOCONNECTION;
        if (request == NULL || count == NULL || list == NULL)
            return SM_AGENTAPI_BAD_ARGUMENT;
    } else if (count == NULL || list == NULL) {
        return code;
    }
    Attrs commands;
    {
        std::lock_guard<std::mutex> guard(control.lock);
        commands.swap(control.commands);
    }
    if (commands.empty())
        return code;
    *list = newList(commands);
    if (*list == NULL) {
        /* Kept for the next request, ahead of any queued since. */
        std::lock_guard<std::mutex> guard(control.lock);
        control.commands.insert(control.commands.begin(), commands.begin(), commands.end());
        return SM_AGENTAPI_FAILURE;
    }
    *count = (int)commands.size();
    return code;
}

extern "C" SMAGENT_EXPORT int Sm_AgentApi_DecodeSSOToken(void *handle, const char *token, int *tokenVersion,
                                          int *thirdParty, int *count,
                                          Sm_AgentApi_Attribute_t **list, int updateToken,
                                          int *newTokenLength, char *newToken)
{
    int code;

    (void)updateToken;
    (void)newTokenLength;
    (void)newToken;
    bool live = handleState(handle, "Sm_AgentApi_DecodeSSOToken");
    std::string key = token != NULL ? token : "";
    if (token != NULL) {
        Shard &sh = shardOf(key);
        std::lock_guard<std::mutex> guard(sh.lock);
        sh.lastToken = key;
        sh.lastTokenSeq = ++tokenSeq;
    }
    if (countCall(SMAGENT_FN_DECODE, &code))
        return code;
    if (!live)
        return SM_AGENTAPI_BAD_HANDLE;
    if (token == NULL || count == NULL || list == NULL)
        return SM_AGENTAPI_BAD_ARGUMENT;

    Attrs attrs;
    {
        Shard &sh = shardOf(key);
        std::lock_guard<std::mutex> guard(sh.lock);
        auto it = sh.byToken.find(key);
        if (it == sh.byToken.end())
            return SM_AGENTAPI_FAILURE;
        attrs = tokenAttributes(it->second);
    }
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
    int code;

    (void)clientIp;
    bool live = handleState(handle, "Sm_AgentApi_Login");
    if (countCall(SMAGENT_FN_LOGIN, &code))
        return code;
    if (!live)
        return SM_AGENTAPI_BAD_HANDLE;
    if (resource == NULL || realm == NULL || credentials == NULL || session == NULL ||
        count == NULL || list == NULL)
        return SM_AGENTAPI_BAD_ARGUMENT;

    Attrs attrs;
    long t = now();
    {
        Shard &sh = shardOf(boundedText(session->sessionId, sizeof session->sessionId));
        std::lock_guard<std::mutex> guard(sh.lock);
        Session *s = findSession(sh, session);
        if (s == NULL || boundedText(credentials->userName, sizeof credentials->userName) != s->userDn ||
            expired(*s, t))
            return SM_AGENTAPI_NO;
        s->lastTime = t;
        attrs = {{SM_AGENTAPI_ATTR_USERDN, s->userDn}, {SM_AGENTAPI_ATTR_USERNAME, s->userName}};
    }
    Sm_AgentApi_Attribute_t *out = newList(attrs);
    if (out == NULL)
        return SM_AGENTAPI_FAILURE;
    session->lastTime = (int32_t)t;
    *count = 2;
    *list = out;
    return SM_AGENTAPI_YES;
}

extern "C" SMAGENT_EXPORT int Sm_AgentApi_Logout(void *handle, const char *clientIp,
                                  const Sm_AgentApi_Session_t *session)
{
    int code;

    (void)clientIp;
    bool live = handleState(handle, "Sm_AgentApi_Logout");
    if (countCall(SMAGENT_FN_LOGOUT, &code))
        return code;
    if (!live)
        return SM_AGENTAPI_BAD_HANDLE;
    if (session == NULL)
        return SM_AGENTAPI_BAD_ARGUMENT;
    Shard &sh = shardOf(boundedText(session->sessionId, sizeof session->sessionId));
    std::lock_guard<std::mutex> guard(sh.lock);
    Session *s = findSession(sh, session);
    if (s == NULL)
        return SM_AGENTAPI_NO;
    std::string token = s->token;
    sh.tokenOfId.erase(s->sessionId);
    sh.byToken.erase(token);
    return SM_AGENTAPI_YES;
}

extern "C" SMAGENT_EXPORT void Sm_AgentApi_FreeAttributes(int count, Sm_AgentApi_Attribute_t *list)
{
    countFree();
    if (list != NULL && !freeList(count, list))
        badFrees++;
}

extern "C" SMAGENT_EXPORT int Sm_AgentApi_UnInit(void **handle)
{
    int code;

    if (handle != NULL)
        handleState(*handle, "Sm_AgentApi_UnInit");
    if (countCall(SMAGENT_FN_UNINIT, &code))
        return code;
    std::lock_guard<std::shared_mutex> guard(agents.lock);
    if (handle == NULL || !liveHandle(*handle, "Sm_AgentApi_UnInit"))
        return SM_AGENTAPI_BAD_HANDLE;
    Agent *agent = (Agent *)*handle;
    agents.live.erase(agent);
    agents.released[agent].reset(agent);
    agents.version++;
    *handle = NULL;
    return SM_AGENTAPI_SUCCESS;
}
