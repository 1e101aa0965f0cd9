/*
 * agent.h - the scheme's connection to the policy server through the Agent
 * API: opening and closing it, management requests, and decoding,
 * validating and logging out single sign-on sessions.
 *
 * The Agent API library (libsmagentapi.so) is loaded at its first use, not
 * when the plug-in is loaded: first from the plug-in's own folder, then by
 * name through the loader's search path.
 */
#ifndef AGENT_H
#define AGENT_H

#include "smagentapi.h"
#include "smauthkel.h"

/* Name of the Agent API library. */
#define AGENT_API_LIBRARY "libsmagentapi.so"

/* Seconds that must pass between two management requests. */
#define MANAGE_INTERVAL 30

/* Opens the agent connection as agentName of p with the shared secret and
 * sends the agent information report. Returns 1, or 0 when the library
 * cannot be loaded or the Agent API refuses the initialisation. */
int agentInit(const char *secret, const Parameters *p);

/* Sends a management request (code, data cut to 255 characters) unless one
 * was sent less than MANAGE_INTERVAL seconds ago. Failures are traced. */
void agentManage(int code, const char *data);

/* Closes the agent connection, if one was opened: no call starts with it
 * any more, and the calls and uses in progress end before the Agent API
 * is told to release it. */
void agentRelease(void);

/* Holds the agent open across the calls of one login: returns 1 when it
 * is open, and agentRelease then waits for the matching agentEndUse;
 * returns 0 (nothing to end) when no agent is open, and the calls of the
 * login then fail as they would without an agent. */
int agentBeginUse(void);
void agentEndUse(void);

/* Decodes a session token into session and the user name, user DN and
 * client IP it carries (BUF_SIZE buffers each). Returns 1 when decoded. */
int agentDecodeToken(const char *token, Sm_AgentApi_Session_t *session,
                     char *userName, char *userDn, char *clientIp);

/* Asks whether session is still valid for userName. Returns 1 when it is;
 * *count and *list then hold attributes that the caller frees with
 * agentFreeAttributes. */
int agentValidate(Sm_AgentApi_Session_t *session, const char *userName,
                  int *count, Sm_AgentApi_Attribute_t **list);

/* Logs the session out; the outcome is traced. Returns 1 when the Agent
 * API logged it out, else 0. */
int agentCloseSession(const char *clientIp, Sm_AgentApi_Session_t *session);

/* Gives an attribute list back to the Agent API. */
void agentFreeAttributes(int count, Sm_AgentApi_Attribute_t *list);

/* For tests linking this module into a program of their own, where the
 * plug-in's folder is the program's: load the Agent API library from this
 * path only (NULL: back to the plug-in's folder and the search path). Takes
 * effect at the next load, i.e. after agentTestReset. */
void agentSetLibraryPath(const char *path);

/* For tests: forget the handle, the time of the last management request
 * and the loaded library, as in a freshly loaded plug-in. */
void agentTestReset(void);

/* The Agent API functions the agent module resolves from the library, in
 * the order it calls for them (smhost check loads them the same way). */
#define AGENT_API_FUNCTIONS 7
extern const char *const agentApiFunctions[AGENT_API_FUNCTIONS];

#endif
