/*
 * smagentapi.h - the policy server's Agent API as the authentication scheme
 * uses it: the records passed to libsmagentapi and its seven functions.
 *
 * An agent opens one connection with Sm_AgentApi_Init and passes the handle
 * it gets to every later call. Attribute lists handed out by the library
 * belong to the caller until it gives them back with
 * Sm_AgentApi_FreeAttributes. All functions may be called from several
 * threads at once on one handle.
 */
#ifndef SMAGENTAPI_H
#define SMAGENTAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Sizes ------------------------------------------------------------ */

#define SM_AGENTAPI_NAME_SIZE         256   /* agent name, secret, addresses, user name */
#define SM_AGENTAPI_MANAGE_DATA_SIZE  256   /* data of a management request */
#define SM_AGENTAPI_SESSIONID_SIZE     64   /* session identifier */
#define SM_AGENTAPI_SESSIONSPEC_SIZE 2048   /* session specification */
#define SM_AGENTAPI_RESOURCE_SIZE    4096   /* resource of a resource record */
#define SM_AGENTAPI_PORTS               3   /* authorization, authentication, accounting */

/* Version an initialisation record must carry. */
#define SM_AGENTAPI_VERSION 1024

/* ---- Result codes ----------------------------------------------------- */

#define SM_AGENTAPI_SUCCESS          0   /* Init, DecodeSSOToken, DoManagement: done */
#define SM_AGENTAPI_YES              1   /* Login: session valid; Logout: logged out */
#define SM_AGENTAPI_NO               2   /* Login, Logout: refused */
#define SM_AGENTAPI_UNKNOWN_FUNCTION 2   /* DoManagement: the server does not know the request */
#define SM_AGENTAPI_FAILURE         -1   /* cannot connect; any other failure */
#define SM_AGENTAPI_TIMEOUT         -2   /* no answer from the server in time */
#define SM_AGENTAPI_NOCONNECTION    -3   /* no server connection */
#define SM_AGENTAPI_BAD_HANDLE      -4   /* not a handle of an initialised agent */
#define SM_AGENTAPI_BAD_ARGUMENT    -5   /* a record or argument is missing or malformed */

/* ---- Management requests and commands --------------------------------- */

#define SM_AGENTAPI_MANAGE_GET_COMMANDS 1  /* command poll */
#define SM_AGENTAPI_MANAGE_AGENT_INFO   3  /* agent information report */

/* Identifiers of the commands in the reply to a management request. */
#define SM_AGENTAPI_CMD_KEY_UPDATE_NEXT        190
#define SM_AGENTAPI_CMD_KEY_UPDATE_LAST        191
#define SM_AGENTAPI_CMD_KEY_UPDATE_CURRENT     192
#define SM_AGENTAPI_CMD_KEY_UPDATE_PERSISTENT  193
#define SM_AGENTAPI_CMD_CACHE_FLUSH_ALL        194
#define SM_AGENTAPI_CMD_CACHE_FLUSH_ALL_USERS  195
#define SM_AGENTAPI_CMD_CACHE_FLUSH_THIS_USER  196
#define SM_AGENTAPI_CMD_CACHE_FLUSH_ALL_REALMS 197
#define SM_AGENTAPI_CMD_CACHE_FLUSH_THIS_REALM 198

/* Identifiers of the attributes of a decoded session token. */
#define SM_AGENTAPI_ATTR_STARTSESSIONTIME   154
#define SM_AGENTAPI_ATTR_LASTSESSIONTIME    155
#define SM_AGENTAPI_ATTR_DEVICENAME         200
#define SM_AGENTAPI_ATTR_SESSIONID          205
#define SM_AGENTAPI_ATTR_CLIENTIP           208
#define SM_AGENTAPI_ATTR_SESSIONSPEC        209
#define SM_AGENTAPI_ATTR_USERNAME           210
#define SM_AGENTAPI_ATTR_USERDN             218
#define SM_AGENTAPI_ATTR_IDLESESSIONTIMEOUT 225
#define SM_AGENTAPI_ATTR_MAXSESSIONTIMEOUT  226

/* ---- Records ---------------------------------------------------------- */

/* One policy server the agent connects to. */
typedef struct Sm_AgentApi_Server_s {
    char address[SM_AGENTAPI_NAME_SIZE];   /* host address, e.g. "127.0.0.1" */
    int32_t connMin;                       /* connection settings, passed as given */
    int32_t connMax;
    int32_t connStep;
    int32_t timeout;                       /* seconds */
    int32_t ports[SM_AGENTAPI_PORTS];      /* authorization, authentication, accounting */
    void *slots[SM_AGENTAPI_PORTS];        /* the library's own; left null by the agent */
} Sm_AgentApi_Server_t;

/* The agent's identity and its servers, given to Sm_AgentApi_Init. */
typedef struct Sm_AgentApi_Init_s {
    int32_t version;                          /* SM_AGENTAPI_VERSION */
    char agentName[SM_AGENTAPI_NAME_SIZE];
    char sharedSecret[SM_AGENTAPI_NAME_SIZE];
    int32_t failover;                         /* 0: no fail-over between servers */
    int32_t serverCount;                      /* entries of servers, at least 1 */
    Sm_AgentApi_Server_t *servers;
} Sm_AgentApi_Init_t;

/* A management request. */
typedef struct Sm_AgentApi_ManageRequest_s {
    int32_t code;                               /* SM_AGENTAPI_MANAGE_* */
    char data[SM_AGENTAPI_MANAGE_DATA_SIZE];
} Sm_AgentApi_ManageRequest_t;

/* One attribute of a list handed out by the library. */
typedef struct Sm_AgentApi_Attribute_s {
    int32_t id;          /* SM_AGENTAPI_CMD_* or SM_AGENTAPI_ATTR_* or other */
    int32_t flags;       /* the library's own */
    int32_t length;      /* characters of value, terminator not counted */
    char *value;         /* terminated text, never null */
} Sm_AgentApi_Attribute_t;

/* A single sign-on session, as decoded from its token. */
typedef struct Sm_AgentApi_Session_s {
    int32_t reason;                                  /* the library's own */
    int32_t idleTimeout;                             /* seconds, 0: none */
    int32_t maxTimeout;                              /* seconds, 0: none */
    int32_t state;                                   /* the library's own */
    int32_t startTime;                               /* seconds since the epoch */
    int32_t lastTime;                                /* seconds since the epoch */
    char sessionId[SM_AGENTAPI_SESSIONID_SIZE];
    char sessionSpec[SM_AGENTAPI_SESSIONSPEC_SIZE];
} Sm_AgentApi_Session_t;

/* The resource a login is for. */
typedef struct Sm_AgentApi_Resource_s {
    char agentName[SM_AGENTAPI_NAME_SIZE];
    char server[SM_AGENTAPI_NAME_SIZE];
    char resource[SM_AGENTAPI_RESOURCE_SIZE];
    char action[SM_AGENTAPI_NAME_SIZE];
} Sm_AgentApi_Resource_t;

/* The realm protecting a resource. */
typedef struct Sm_AgentApi_Realm_s {
    char realmOid[SM_AGENTAPI_NAME_SIZE];
    char domainOid[SM_AGENTAPI_NAME_SIZE];
    int32_t credentialsMask;
} Sm_AgentApi_Realm_t;

/* What a user logs in with. */
typedef struct Sm_AgentApi_Credentials_s {
    int32_t method;                           /* 0: by user name */
    char userName[SM_AGENTAPI_NAME_SIZE];
    char password[SM_AGENTAPI_NAME_SIZE];
    char certUserDn[SM_AGENTAPI_NAME_SIZE];
    char certIssuerDn[SM_AGENTAPI_NAME_SIZE];
} Sm_AgentApi_Credentials_t;

/* ---- Functions -------------------------------------------------------- */

/* Opens the agent's connection. Returns SM_AGENTAPI_SUCCESS and sets
 * *handle, or a failure code and leaves *handle alone. */
int Sm_AgentApi_Init(const Sm_AgentApi_Init_t *init, void **handle);

/* Sends a management request. Sets *count and *list to the commands of the
 * reply (possibly 0 and null). Returns SM_AGENTAPI_NOCONNECTION,
 * SM_AGENTAPI_FAILURE, SM_AGENTAPI_TIMEOUT or SM_AGENTAPI_UNKNOWN_FUNCTION on
 * failure, any other value on success. */
int Sm_AgentApi_DoManagement(void *handle, const Sm_AgentApi_ManageRequest_t *request,
                             int *count, Sm_AgentApi_Attribute_t **list);

/* Decodes a session token into its attributes. tokenVersion and thirdParty
 * receive facts about the token; with updateToken 0, newTokenLength and
 * newToken are not used. Returns SM_AGENTAPI_SUCCESS with *count and *list
 * set, or a failure code. */
int Sm_AgentApi_DecodeSSOToken(void *handle, const char *token,
                               int *tokenVersion, int *thirdParty,
                               int *count, Sm_AgentApi_Attribute_t **list,
                               int updateToken, int *newTokenLength, char *newToken);

/* Logs a user in. With a decoded session record, validates that session for
 * the user of the credentials record. Returns SM_AGENTAPI_YES with *count
 * and *list set to the user's attributes, or another code. */
int Sm_AgentApi_Login(void *handle, const char *clientIp,
                      const Sm_AgentApi_Resource_t *resource,
                      const Sm_AgentApi_Realm_t *realm,
                      const Sm_AgentApi_Credentials_t *credentials,
                      Sm_AgentApi_Session_t *session,
                      int *count, Sm_AgentApi_Attribute_t **list);

/* Ends a session. Returns SM_AGENTAPI_YES when it was logged out. */
int Sm_AgentApi_Logout(void *handle, const char *clientIp,
                       const Sm_AgentApi_Session_t *session);

/* Gives back a list handed out by the library. A null list is accepted
 * (with any count) and does nothing. */
void Sm_AgentApi_FreeAttributes(int count, Sm_AgentApi_Attribute_t *list);

/* Closes the agent's connection and sets *handle to null. */
int Sm_AgentApi_UnInit(void **handle);

#ifdef __cplusplus
}
#endif

#endif
