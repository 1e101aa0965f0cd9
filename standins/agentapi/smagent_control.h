/*
 * smagent_control.h - the control interface of the stand-in Agent API
 * library (libsmagentapi.so), for tests and the simulated policy server.
 *
 * The stand-in keeps, in memory: the agents it knows (name and shared
 * secret), the single sign-on sessions it issued tokens for, the management
 * commands waiting for the next management request, a clock, and counters.
 * Through these functions a caller registers agents, opens sessions, queues
 * commands, moves the clock, forces the next results of the Agent API
 * functions and reads back what the library was asked.
 *
 * Behaviour of the Agent API functions:
 *  - Init refuses a missing or malformed record (version other than
 *    SM_AGENTAPI_VERSION, no server records) with SM_AGENTAPI_BAD_ARGUMENT,
 *    an unknown agent name or a wrong secret with SM_AGENTAPI_FAILURE. Every
 *    record it is given is remembered (smagentLastInit).
 *  - DecodeSSOToken decodes only tokens it issued and whose session has not
 *    been logged out; any other token gives SM_AGENTAPI_FAILURE. A token
 *    stays decodable after its session has expired (Login refuses it).
 *  - Login answers SM_AGENTAPI_YES only for the session named by the
 *    decoded record (identifier and specification), when the credentials'
 *    user name equals the session's user DN and neither the idle nor the
 *    maximum time-out has passed on the stand-in's clock; it then sets the
 *    session's last time to now and hands out a list of two attributes (user
 *    DN and user name). Otherwise SM_AGENTAPI_NO.
 *  - Logout ends the session: SM_AGENTAPI_YES, after which its token is no
 *    longer decoded; SM_AGENTAPI_NO for an unknown session.
 *  - DoManagement records the request and hands out the queued commands.
 *  - A call with a handle already given to UnInit writes one line on
 *    standard error and aborts the process, where a real library would
 *    use the agent's freed memory. (smagentReset forgets released
 *    handles; a handle it forgot is then only unknown.)
 *
 * Every function here and in smagentapi.h is safe to call from any thread.
 */
#ifndef SMAGENT_CONTROL_H
#define SMAGENT_CONTROL_H

#include "smagentapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The Agent API functions, for counters and forced results. */
enum {
    SMAGENT_FN_INIT = 0,
    SMAGENT_FN_DOMANAGEMENT,
    SMAGENT_FN_DECODE,
    SMAGENT_FN_LOGIN,
    SMAGENT_FN_LOGOUT,
    SMAGENT_FN_FREE,
    SMAGENT_FN_UNINIT,
    SMAGENT_FN_COUNT
};

/* An extra attribute of a session token. */
typedef struct SmAgentCtl_Attr_s {
    int id;
    const char *value;
} SmAgentCtl_Attr_t;

/* What a new session holds. Null texts count as empty. */
typedef struct SmAgentCtl_Session_s {
    const char *userDn;
    const char *userName;
    const char *clientIp;
    int idleTimeout;            /* seconds; 0 or less: none */
    int maxTimeout;             /* seconds; 0 or less: none */
    int extraCount;             /* entries of extras */
    const SmAgentCtl_Attr_t *extras;
    /* Non-zero: the decoded token holds only the extras, in their order,
     * instead of the session's own attributes followed by the extras. */
    int extrasOnly;
} SmAgentCtl_Session_t;

/* Forgets agents, sessions, queued commands, forced results, counters and
 * the recorded requests; the clock goes back to the system clock. Lists
 * still held by callers stay valid and must still be freed. */
void smagentReset(void);

/* Registers an agent (or changes its secret). Returns 1, or 0 for a null or
 * empty name. */
int smagentAddAgent(const char *name, const char *secret);

/* Opens a session starting now and writes its token into cookie (cut to
 * cookieSize - 1 characters; tokens are 32 characters). Returns 1, or 0
 * when request or cookie is null or cookieSize is too small for the token. */
int smagentCreateSession(const SmAgentCtl_Session_t *request, char *cookie, int cookieSize);

/* 1 while the session of the token is open (not logged out), else 0. */
int smagentSessionAlive(const char *cookie);

/* The session's last time, or -1 for an unknown token. */
long smagentSessionLastTime(const char *cookie);

/* Number of open sessions. */
int smagentSessionCount(void);

/* The stand-in's clock: set it to a fixed time, move it (a running system
 * clock is frozen at its current value first), read it. */
void smagentSetTime(long seconds);
void smagentAdvanceTime(long seconds);
long smagentNow(void);

/* Queues a command for the next successful management request. */
void smagentQueueCommand(int id, const char *value);

/* The last management request: returns 1 and fills code and data (cut to
 * dataSize - 1 characters), or 0 when none was made. */
int smagentLastManagement(int *code, char *data, int dataSize);

/* The last token given to DecodeSSOToken: returns 1 and copies it (cut to
 * tokenSize - 1 characters), or 0 when none was given. Returns its full
 * length through *length when length is not null. */
int smagentLastToken(char *token, int tokenSize, int *length);

/* The last initialisation record received: returns 1 and copies it (its
 * servers pointer set to null) and its first server record (zeroed when
 * there was none), or 0 when none was received. */
int smagentLastInit(Sm_AgentApi_Init_t *init, Sm_AgentApi_Server_t *server);

/* Makes the next times calls of fn return code instead of doing their work
 * (times < 0: until smagentReset; 0: cancels). For DoManagement a forced
 * code that is not a failure code still hands out the queued commands. */
void smagentForceResult(int fn, int code, int times);

/* Calls of fn since the last reset. */
int smagentCallCount(int fn);

/* Attribute lists handed out and not yet freed. */
int smagentOpenLists(void);

/* Calls of Sm_AgentApi_FreeAttributes with a list the library did not hand
 * out (or already took back), or with a count other than the list's. */
int smagentBadFrees(void);

/* Agents initialised and not yet uninitialised. */
int smagentLiveAgents(void);

#ifdef __cplusplus
}
#endif

#endif
