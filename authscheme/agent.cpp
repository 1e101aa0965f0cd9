/*
 * agent.cpp - the scheme's one agent connection to the policy server.
 *
 * agentInit opens it at the scheme's first initialisation and agentRelease
 * closes it at the last release (the init counter of SmAuthInit and
 * SmAuthRelease makes sure each runs once). Management requests ride on the
 * threads that call in: at most one per MANAGE_INTERVAL seconds in the
 * process, the agent information report at init and a command poll before
 * each token decode. Decoding, validation and logout work on the caller's
 * records only.
 *
 * The Agent API library is loaded with dlopen at its first use, so the
 * plug-in loads (and answers queries) on a host where it is missing; its
 * functions are resolved once into apiTable.
 *
 * Threading: agentManage runs under manageLock from the clock test to the
 * end of the request, so requests never overlap and the interval holds
 * across threads; a first look at the time of the last request, without
 * the lock, sends the calls between two requests away at once. Loading runs under loadLock; the published table is an
 * atomic, read without a lock by the decoding threads. Trace lines are
 * written under these locks, so the trace lock is always taken last.
 *
 * The handle is taken for each use and given back after it (handleLock,
 * a count of uses in progress). agentRelease first withdraws the handle,
 * so that no call starts with it any more, then waits until every use in
 * progress has ended, and only then gives it to UnInit: the Agent API
 * frees the agent there, and a call still holding the handle would use
 * freed memory. A login holds one use from its decode to its logout
 * (agentBeginUse), so a release never cuts a login in half. handleLock is
 * held only around the count, never across a call or a trace line.
 */
#include "agent.h"

#include <atomic>
#include <stdio.h>
#include <string.h>

#include "confline.h"
#include "kelsys.h"
#include "libload.h"
#include "synch.h"
#include "trace.h"

/* The Agent API functions, resolved from the loaded library. */
typedef struct AgentApi {
    int (*init)(const Sm_AgentApi_Init_t *, void **);
    int (*doManagement)(void *, const Sm_AgentApi_ManageRequest_t *, int *,
                        Sm_AgentApi_Attribute_t **);
    int (*decodeSSOToken)(void *, const char *, int *, int *, int *,
                          Sm_AgentApi_Attribute_t **, int, int *, char *);
    int (*login)(void *, const char *, const Sm_AgentApi_Resource_t *,
                 const Sm_AgentApi_Realm_t *, const Sm_AgentApi_Credentials_t *,
                 Sm_AgentApi_Session_t *, int *, Sm_AgentApi_Attribute_t **);
    int (*logout)(void *, const char *, const Sm_AgentApi_Session_t *);
    void (*freeAttributes)(int, Sm_AgentApi_Attribute_t *);
    int (*unInit)(void **);
} AgentApi;

/* Settings of the one server record: connection settings and time-out. */
#define SERVER_ADDRESS "127.0.0.1"
#define SERVER_CONN_MIN 1
#define SERVER_CONN_MAX 1
#define SERVER_CONN_STEP 1
#define SERVER_TIMEOUT 75
/* Capacity of the new-token buffer announced to the token decoder. */
#define TOKEN_LENGTH 4096

static mutex_t handleLock = DEFAULTMUTEX;
static cond_t handleIdle = DEFAULTCV;   /* signalled when usesInProgress drops to 0 */
static void *agentHandle = NULL;        /* under handleLock; NULL when released */
static int usesInProgress = 0;          /* under handleLock */
/* The handle that this thread's login holds (agentBeginUse), or NULL. */
static thread_local void *heldHandle = NULL;

static mutex_t manageLock = DEFAULTMUTEX;
/* Written under manageLock; read first without it, so that the logins
 * between two requests do not queue for the lock. */
static std::atomic<time_t> lastManageTime(0);

static mutex_t loadLock = DEFAULTMUTEX;
static void *library = NULL;
static AgentApi apiTable;
static std::atomic<const AgentApi *> api(NULL);
static char libraryPath[PATH_SIZE] = "";


/* ---- Loading the Agent API library ------------------------------------ */

/* Names of the AgentApi functions, in the order of its fields. */
const char *const agentApiFunctions[AGENT_API_FUNCTIONS] = {
    "Sm_AgentApi_Init",   "Sm_AgentApi_DoManagement", "Sm_AgentApi_DecodeSSOToken",
    "Sm_AgentApi_Login",  "Sm_AgentApi_Logout",       "Sm_AgentApi_FreeAttributes",
    "Sm_AgentApi_UnInit",
};
#define API_COUNT AGENT_API_FUNCTIONS
static_assert(sizeof(AgentApi) == API_COUNT * sizeof(void *), "one slot per Agent API function");

/* Called under loadLock. */
static int loadLibrary(void)
{
    char reason[2 * LINE_SIZE + 2] = "";
    struct LibFailure why;
    void *slots[API_COUNT];
    void *lib;

    lib = libraryPath[0] != '\0' ? libOpenPath(libraryPath, &why)
                                  : libOpen(AGENT_API_LIBRARY, (const void *)&agentInit, &why);
    if (lib == NULL) {
        if (why.beside[0] != '\0')
            snprintf(reason, sizeof reason, "%s; %s", why.beside, why.byName);
        else
            snprintf(reason, sizeof reason, "%s", why.byName);
    } else if (libResolve(lib, agentApiFunctions, slots, API_COUNT, reason, sizeof reason) < 0) {
        library = lib;
        memcpy(&apiTable, slots, sizeof apiTable);
        api.store(&apiTable, std::memory_order_release);
        return 1;
    } else {
        libClose(lib);
    }
    trace(TRACE_ERROR, "Cannot load Agent API library %s: %s",
          libraryPath[0] != '\0' ? libraryPath : AGENT_API_LIBRARY, reason);
    return 0;
}

/* Loads the library at its first use; safe from any thread. A failed load
 * is tried again at the next use. */
static const AgentApi *agentLoad(void)
{
    const AgentApi *a = api.load(std::memory_order_acquire);

    if (a != NULL)
        return a;
    mutex_lock(&loadLock);
    if (api.load(std::memory_order_relaxed) == NULL)
        loadLibrary();
    a = api.load(std::memory_order_relaxed);
    mutex_unlock(&loadLock);
    return a;
}

/* The table when the library is loaded, else NULL; never loads. */
static const AgentApi *agentApi(void)
{
    return api.load(std::memory_order_acquire);
}

/* ---- The handle and its uses ------------------------------------------ */

/* The handle, counted as one more use in progress; NULL (nothing counted)
 * when the agent is not open. Inside a login that holds the agent, the
 * login's handle, with nothing more counted: a release waiting for that
 * login must not make its remaining calls fail. */
static void *handleTake(void)
{
    void *handle = heldHandle;

    if (handle != NULL)
        return handle;
    mutex_lock(&handleLock);
    handle = agentHandle;
    if (handle != NULL)
        usesInProgress++;
    mutex_unlock(&handleLock);
    return handle;
}

/* Ends a use that handleTake counted. */
static void handleGive(void)
{
    if (heldHandle != NULL)
        return;
    mutex_lock(&handleLock);
    if (--usesInProgress == 0)
        cond_broadcast(&handleIdle);
    mutex_unlock(&handleLock);
}

int agentBeginUse(void)
{
    heldHandle = handleTake();
    return heldHandle != NULL;
}

void agentEndUse(void)
{
    heldHandle = NULL;
    handleGive();
}

void agentSetLibraryPath(const char *path)
{
    mutex_lock(&loadLock);
    copyText(libraryPath, sizeof libraryPath, path != NULL ? path : "");
    mutex_unlock(&loadLock);
}

void agentTestReset(void)
{
    mutex_lock(&loadLock);
    api.store(NULL, std::memory_order_release);
    libClose(library);
    library = NULL;
    mutex_unlock(&loadLock);
    mutex_lock(&handleLock);
    agentHandle = NULL;
    mutex_unlock(&handleLock);
    mutex_lock(&manageLock);
    lastManageTime = 0;
    mutex_unlock(&manageLock);
}

/* ---- Connection and management ---------------------------------------- */

int agentInit(const char *secret, const Parameters *p)
{
    Sm_AgentApi_Server_t server;
    Sm_AgentApi_Init_t init;
    char product[BUF_SIZE];
    const AgentApi *a;
    void *handle;

    trace(TRACE_3, "agentInit");
    a = agentLoad();
    if (a == NULL)
        return 0;

    memset(&server, 0, sizeof server);
    copyText(server.address, sizeof server.address, SERVER_ADDRESS);
    server.connMin = SERVER_CONN_MIN;
    server.connMax = SERVER_CONN_MAX;
    server.connStep = SERVER_CONN_STEP;
    server.timeout = SERVER_TIMEOUT;
    server.ports[0] = p->portAz;
    server.ports[1] = p->portAuth;
    server.ports[2] = p->portAcct;

    memset(&init, 0, sizeof init);
    init.version = SM_AGENTAPI_VERSION;
    copyText(init.agentName, sizeof init.agentName, p->agentName);
    copyText(init.sharedSecret, sizeof init.sharedSecret, secret != NULL ? secret : "");
    init.failover = 0;
    init.serverCount = 1;
    init.servers = &server;

    /* Runs only while no agent is open (the init counter of SmAuthInit). */
    handle = NULL;
    if (a->init(&init, &handle) != 0) {
        trace(TRACE_ERROR, "Agent initialization failed - bad agent name or shared secret");
        return 0;
    }
    mutex_lock(&handleLock);
    agentHandle = handle;
    mutex_unlock(&handleLock);
    trace(TRACE_3, "Agent initialized (but may not be connected!)");
    /* "Product=" and the agent name, cut to the buffer. */
    memcpy(product, "Product=", 8);
    copyText(product + 8, sizeof product - 8, p->agentName);
    agentManage(SM_AGENTAPI_MANAGE_AGENT_INFO, product);
    return 1;
}

static void traceCommand(int id)
{
    static const char *const names[] = {
        "AGENT_KEY_UPDATE_NEXT",   "AGENT_KEY_UPDATE_LAST",  "AGENT_KEY_UPDATE_CURRENT",
        "AGENT_KEY_UPDATE_PERSISTENT", "CACHE_FLUSH_ALL",    "CACHE_FLUSH_ALL_USERS",
        "CACHE_FLUSH_THIS_USER",   "CACHE_FLUSH_ALL_REALMS", "CACHE_FLUSH_THIS_REALM",
    };

    if (id >= SM_AGENTAPI_CMD_KEY_UPDATE_NEXT && id <= SM_AGENTAPI_CMD_CACHE_FLUSH_THIS_REALM)
        trace(TRACE_4, "agentmanage: %s", names[id - SM_AGENTAPI_CMD_KEY_UPDATE_NEXT]);
}

void agentManage(int code, const char *data)
{
    Sm_AgentApi_ManageRequest_t request;
    Sm_AgentApi_Attribute_t *list;
    const AgentApi *a = agentApi();
    void *handle;
    time_t now;
    int count;
    int rc;

    if (a == NULL || kelTime() < lastManageTime.load(std::memory_order_acquire) + MANAGE_INTERVAL)
        return;
    if ((handle = handleTake()) == NULL)
        return;
    mutex_lock(&manageLock);
    now = kelTime();
    if (now < lastManageTime.load(std::memory_order_relaxed) + MANAGE_INTERVAL) {
        mutex_unlock(&manageLock);
        handleGive();
        return;
    }
    /* A failed request starts a new interval too: nothing is retried early. */
    lastManageTime.store(now, std::memory_order_release);

    count = 0;
    list = NULL;
    memset(&request, 0, sizeof request);
    request.code = code;
    copyText(request.data, sizeof request.data, data != NULL ? data : "");

    rc = a->doManagement(handle, &request, &count, &list);
    switch (rc) {
    case SM_AGENTAPI_NOCONNECTION:
        trace(TRACE_ERROR, "agentManage: No server connection");
        break;
    case SM_AGENTAPI_FAILURE:
        trace(TRACE_ERROR, "agentManage: Can't connect to server");
        break;
    case SM_AGENTAPI_TIMEOUT:
        trace(TRACE_ERROR, "agentManage: Timeout for server response");
        break;
    case SM_AGENTAPI_UNKNOWN_FUNCTION:
        trace(TRACE_ERROR, "agentManage: Server doesn't recognize function");
        break;
    default:
        trace(TRACE_3, "agentManage: OK. %d attributes", count);
        for (int i = 0; i < count && list != NULL; i++)
            traceCommand(list[i].id);
        break;
    }
    a->freeAttributes(count, list);
    mutex_unlock(&manageLock);
    handleGive();
}

void agentRelease(void)
{
    const AgentApi *a = agentApi();
    void *handle;

    mutex_lock(&handleLock);
    handle = agentHandle;
    agentHandle = NULL;
    while (usesInProgress > 0)
        cond_wait(&handleIdle, &handleLock);
    mutex_unlock(&handleLock);
    if (a != NULL && handle != NULL)
        a->unInit(&handle);
}

/* ---- Sessions --------------------------------------------------------- */

static const char *valueText(const Sm_AgentApi_Attribute_t *attr)
{
    return attr->value != NULL ? attr->value : "";
}

/* Stores one cookie attribute where it belongs and traces it whole. */
static void storeCookieAttribute(const Sm_AgentApi_Attribute_t *attr,
                                 Sm_AgentApi_Session_t *session, char *userName,
                                 char *userDn, char *clientIp)
{
    const char *v = valueText(attr);

    switch (attr->id) {
    case SM_AGENTAPI_ATTR_STARTSESSIONTIME:
        trace(TRACE_4, "   STARTSESSIONTIME: %s", v);
        session->startTime = confIntValue(v);
        break;
    case SM_AGENTAPI_ATTR_LASTSESSIONTIME:
        trace(TRACE_4, "   LASTSESSIONTIME: %s", v);
        session->lastTime = confIntValue(v);
        break;
    case SM_AGENTAPI_ATTR_DEVICENAME:
        trace(TRACE_4, "   DEVICENAME: %s", v);
        break;
    case SM_AGENTAPI_ATTR_SESSIONID:
        trace(TRACE_4, "   SESSIONID: %s", v);
        copyText(session->sessionId, sizeof session->sessionId, v);
        break;
    case SM_AGENTAPI_ATTR_CLIENTIP:
        trace(TRACE_4, "   CLIENTIP: %s", v);
        copyText(clientIp, BUF_SIZE, v);
        break;
    case SM_AGENTAPI_ATTR_SESSIONSPEC:
        trace(TRACE_4, "   SESSIONSPEC: %s", v);
        copyText(session->sessionSpec, sizeof session->sessionSpec, v);
        break;
    case SM_AGENTAPI_ATTR_USERNAME:
        trace(TRACE_4, "   USERNAME: %s", v);
        copyText(userName, BUF_SIZE, v);
        break;
    case SM_AGENTAPI_ATTR_USERDN:
        trace(TRACE_4, "   USERDN: %s", v);
        copyText(userDn, BUF_SIZE, v);
        break;
    case SM_AGENTAPI_ATTR_IDLESESSIONTIMEOUT:
        trace(TRACE_4, "   IDLESESSIONTIMEOUT: %s", v);
        session->idleTimeout = confIntValue(v);
        break;
    case SM_AGENTAPI_ATTR_MAXSESSIONTIMEOUT:
        trace(TRACE_4, "   MAXSESSIONTIMEOUT: %s", v);
        session->maxTimeout = confIntValue(v);
        break;
    default:
        trace(TRACE_4, "   %d: %s", (int)attr->id, v);
        break;
    }
}

int agentDecodeToken(const char *token, Sm_AgentApi_Session_t *session,
                     char *userName, char *userDn, char *clientIp)
{
    Sm_AgentApi_Attribute_t *list = NULL;
    const AgentApi *a = agentApi();
    void *handle;
    int tokenVersion = 0;
    int thirdParty = 0;
    int count = 0;
    int tokenLength = TOKEN_LENGTH;
    int rc;

    if (a == NULL || (handle = handleTake()) == NULL)
        return 0;
    agentManage(SM_AGENTAPI_MANAGE_GET_COMMANDS, "");
    rc = a->decodeSSOToken(handle, token, &tokenVersion, &thirdParty, &count, &list, 0,
                           &tokenLength, NULL);
    handleGive();
    if (rc != 0) {
        /* Nothing is expected back; give back whatever came anyway. */
        if (list != NULL)
            a->freeAttributes(count, list);
        return 0;
    }
    trace(TRACE_4, "Cookie attributes:");
    for (int i = 0; i < count && list != NULL; i++)
        storeCookieAttribute(&list[i], session, userName, userDn, clientIp);
    a->freeAttributes(count, list);
    return 1;
}

int agentValidate(Sm_AgentApi_Session_t *session, const char *userName,
                  int *count, Sm_AgentApi_Attribute_t **list)
{
    Sm_AgentApi_Resource_t resource;
    Sm_AgentApi_Realm_t realm;
    Sm_AgentApi_Credentials_t credentials;
    const AgentApi *a = agentApi();
    void *handle;
    int rc;

    if (a == NULL || (handle = handleTake()) == NULL)
        return 0;
    memset(&resource, 0, sizeof resource);
    memset(&realm, 0, sizeof realm);
    memset(&credentials, 0, sizeof credentials);
    credentials.method = 0;
    copyText(credentials.userName, sizeof credentials.userName,
             userName != NULL ? userName : "");
    rc = a->login(handle, "*", &resource, &realm, &credentials, session, count, list);
    handleGive();
    return rc == SM_AGENTAPI_YES;
}

int agentCloseSession(const char *clientIp, Sm_AgentApi_Session_t *session)
{
    const AgentApi *a = agentApi();
    void *handle = a != NULL ? handleTake() : NULL;
    int rc = SM_AGENTAPI_FAILURE;

    if (handle != NULL) {
        rc = a->logout(handle, clientIp, session);
        handleGive();
    }

    if (rc == SM_AGENTAPI_YES) {
        trace(TRACE_3, "Old session logged out");
        return 1;
    }
    trace(TRACE_2, "Old session logout failed %d", rc);
    return 0;
}

void agentFreeAttributes(int count, Sm_AgentApi_Attribute_t *list)
{
    const AgentApi *a = agentApi();

    if (a != NULL)
        a->freeAttributes(count, list);
}
