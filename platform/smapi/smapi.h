/*
 * smapi.h - the policy server's plug-in interface for authentication schemes
 * and event handlers: the records it passes, the result codes it expects and
 * the entry points it looks up by name in a loaded plug-in.
 *
 * A host compiles against this header and nothing else. Records passed to an
 * entry point are the host's and valid only for the duration of the call.
 * Every entry point may be called on several host threads at once.
 */
#ifndef SMAPI_H
#define SMAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Authentication schemes ------------------------------------------- */

/*
 * Reads one attribute of the identified user into buf as a terminated text
 * of at most size - 1 characters. handle is the user context's hUserContext,
 * passed unchanged. Returns a negative value when the attribute cannot be
 * read; buf is then left as the host chooses.
 */
typedef int (*Sm_Api_GetUserAttr_t)(void *handle, const char *name,
                                    int size, char *buf);

/* The user a login is about, as far as the host has identified it. */
typedef struct Sm_Api_UserContext_s {
    /* Zero while the host asks schemes to identify the user (the
     * disambiguation phase), non-zero once the user is identified. */
    unsigned char bIsUserContext;
    const char *lpszUserName;      /* user name; a distinguished name (DN) */
    const char *lpszUserPath;      /* the user's path in the directory */
    const char *lpszDirPath;       /* the user directory's path */
    const char *lpszDirOid;        /* the user directory's object id; not read */
    const char *lpszDirServer;     /* the directory server */
    const char *lpszDirNamespace;  /* the directory's namespace, e.g. "LDAP:" */
    const char *lpszSessionId;     /* the host's session id for this login */
    const char *lpszSessionSpec;   /* the host's session specification; not read */
    void *pReserved;               /* host data; not read */
    void *hUserContext;            /* passed unchanged to fnGetUserAttr */
    Sm_Api_GetUserAttr_t fnGetUserAttr;
} Sm_Api_UserContext_t;

/* What the user posted in the login form. */
typedef struct Sm_Api_UserCredentials_s {
    const char *lpszUsername;      /* the user name typed */
    const char *lpszPassword;      /* the password field, as posted */
} Sm_Api_UserCredentials_t;

/*
 * The result of SmAuthenticate: a status in the low 16 bits and a reason in
 * the high 16 bits.
 */
#define SM_AUTH_RESULT(status, reason) \
    ((int)(((uint32_t)(reason) << 16) | ((uint32_t)(status) & 0xFFFFu)))
#define SM_AUTH_STATUS(result) ((int)((uint32_t)(result) & 0xFFFFu))
#define SM_AUTH_REASON(result) ((int)(((uint32_t)(result) >> 16) & 0xFFFFu))

/* Statuses. */
#define SM_AUTH_FAILURE          1  /* parameters or posted text unusable */
#define SM_AUTH_ACCEPT           2  /* the user is authenticated */
#define SM_AUTH_REJECT           3  /* the user is refused */
#define SM_AUTH_NO_DISAMBIGUATE  6  /* the scheme does not locate users */

/* Reasons. */
#define SM_REASON_NONE               0
#define SM_REASON_SESSION_INVALID    2  /* cookie of another user, or session not valid */
#define SM_REASON_AUTH_LEVEL         5  /* authorisation level out of bounds */
#define SM_REASON_COOKIE_INVALID     8  /* cookie cannot be decoded */
#define SM_REASON_BAD_CREDENTIALS   38  /* parameters or posted text unusable */

/* Query codes of SmAuthQuery and the size of its status buffer. */
#define SM_AUTH_QUERY_DESCRIPTION    0  /* answer: description, interface version */
#define SM_AUTH_QUERY_CREDENTIALS    1  /* answer: URL, credential mask */
#define SM_AUTH_QUERY_STATUS_SIZE 1024  /* characters, terminator included */

/*
 * Answers a query about the scheme. parameter is the scheme's parameter
 * string; secret is not used. The answer text goes into statusBuf (which
 * holds SM_AUTH_QUERY_STATUS_SIZE characters), the answer number into
 * *status. Returns 0 for an answered query, 1 for an unknown query code.
 */
int SmAuthQuery(const char *parameter, const char *secret, int query,
                char *statusBuf, int *status);

/* Starts the scheme. Returns 0 on success, 1 on failure. */
int SmAuthInit(const char *parameter, const char *secret);

/* Stops the scheme; matches one earlier successful SmAuthInit. Both
 * arguments are not used. Returns 0. */
int SmAuthRelease(const char *parameter, const char *secret);

/*
 * Decides a login. Arguments, in order:
 *  apiContext   host data, not used
 *  userContext  the user being logged in
 *  credentials  the posted user name and password
 *  reserved     not used
 *  parameter    the scheme's parameter string
 *  realmOid     not used
 *  userMsgSize  capacity of userMsg, terminator included
 *  userMsg      receives a message for the user (empty when there is none)
 *  errMsgSize   capacity of errMsg, terminator included
 *  errMsg       receives a message for the host's log (empty when none)
 * A message longer than its buffer is cut to fit. Returns SM_AUTH_RESULT.
 */
int SmAuthenticate(const void *apiContext,
                   const Sm_Api_UserContext_t *userContext,
                   const Sm_Api_UserCredentials_t *credentials,
                   const void *reserved,
                   const char *parameter,
                   const char *realmOid,
                   int userMsgSize, char *userMsg,
                   int errMsgSize, char *errMsg);

/* ---- Event handlers --------------------------------------------------- */

/* Kinds of SmEventRecord. */
#define SM_EVENT_KIND_ACCESS  1  /* record: SmLog_Access_s */
#define SM_EVENT_KIND_ADMIN   2  /* administration events; no record read */
#define SM_EVENT_KIND_SYSTEM  3  /* record: SmLog_System_s */
#define SM_EVENT_KIND_OBJECT  4  /* policy object events; no record read */

/* Access events: category 1 is authentication; its event 1 is an accepted
 * authentication. */
#define SM_EVENT_CATEGORY_AUTH   1
#define SM_EVENT_AUTH_ACCEPT     1
#define SM_EVENT_AUTH_REJECT     2

/* System events: code1 is the server, code2 its new state. */
#define SM_SERVER_AUTH    1
#define SM_SERVER_ACCT    2
#define SM_SERVER_AZ      3
#define SM_SERVER_ADMIN   4
#define SM_SERVER_SYSTEM  5
#define SM_STATE_INITIALIZING  1
#define SM_STATE_INIT_FAILED   2
#define SM_STATE_UP            3
#define SM_STATE_DOWN          4

/* An access event. Every text is present (possibly empty). */
struct SmLog_Access_s {
    int32_t nVersion;            /* version of this record */
    int32_t nCurrentTime;        /* when the event happened, seconds since the epoch */
    int32_t nReason;             /* the host's reason code for the event */
    char *szAgentName;           /* agent that forwarded the request */
    char *szSessionId;           /* session id of the user */
    char *szClientIp;            /* address of the user's client */
    char *szUserName;            /* user name (DN) */
    char *szDomainOid;           /* policy domain */
    char *szRealmName;           /* realm name */
    char *szRealmOid;            /* realm object id */
    char *szAuthDirName;         /* user directory name */
    char *szAuthDirServer;       /* user directory server */
    char *szAuthDirNamespace;    /* user directory namespace */
    char *szServer;              /* web server of the resource */
    char *szResource;            /* resource requested */
    char *szAction;              /* action on the resource, e.g. GET */
    char *szTransactionId;       /* items name=value separated by ";" */
    char *szStatusMsg;           /* status text of the event */
};

/* A system event. */
struct SmLog_System_s {
    int32_t nVersion;            /* version of this record */
    int32_t nCurrentTime;        /* when the event happened, seconds since the epoch */
    char *szHostName;            /* the policy server's host */
    char *szStatusMsg;           /* status text of the event */
};

/* Starts the handler; called before the first SmEventRecord. Returns 1. */
int SmEventInit(void);

/* Stops the handler; called after the last SmEventRecord. */
void SmEventRelease(void);

/* Hands over one event. kind selects the record type (SM_EVENT_KIND_*);
 * code1 and code2 are the category and event id of an access event, or the
 * server and state of a system event. The record is only read. */
void SmEventRecord(int kind, int code1, int code2, const void *record);

#ifdef __cplusplus
}
#endif

#endif
