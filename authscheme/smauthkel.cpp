/*
 * smauthkel.cpp - the step-up authentication scheme: its entry points and
 * the credential checks of a login (its parameter string is parsed in
 * params.cpp).
 *
 * A user who already holds a single sign-on session posts its cookie
 * ("PIN;cookie" with PIN checking on) in the password field. SmAuthenticate
 * decodes the cookie through the agent module, requires the cookie's user
 * DN to be the identified user and the session to be valid, checks the
 * user's authorisation level and PIN, logs the old session out and accepts.
 *
 * Between logins the scheme remembers two things per session, each in a
 * module of its own: wrong PINs in a row (pintries, with PIN_TRIES set) and
 * sessions already accepted (claims), so that a cookie is accepted at most
 * once in the process. Both outlive a release and a new init.
 *
 * Threading: the host calls every entry point on many threads at once.
 * Parameters are parsed into the call's own record, or taken read-only from
 * those kept by paramcache; the only shared state here is initCount,
 * guarded together with the start and release of the agent by initLock
 * (the trace lock is always taken after it). The locks of pintries and
 * claims are taken alone.
 */
#include "smauthkel.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "agent.h"
#include "claims.h"
#include "confline.h"
#include "paramcache.h"
#include "pintries.h"
#include "kelversion.h"
#include "synch.h"
#include "trace.h"

/* Capacity, terminator included, of the answer buffer of SmAuthQuery. */
#define QUERY_BUF_SIZE SM_AUTH_QUERY_STATUS_SIZE
/* Credential mask of the credentials query: bits 0x1 and 0x2000000. */
#define CREDENTIALS_MASK 0x2000001

#define MSG_BAD_PARAMETERS "Invalid KEL authentication scheme parameters"
#define MSG_BAD_PASSWORD "Invalid PIN/cookie in 'password'"

/* Seconds a session is taken to stay usable when its cookie gives no
 * maximum time: how long its wrong-PIN count and its claim are kept. */
#define UNKNOWN_SESSION_LIFETIME 86400

static int initCount = 0;
static mutex_t initLock = DEFAULTMUTEX;


/* Host texts may be absent; they are then taken as empty. */
static const char *text(const char *s)
{
    return s != NULL ? s : "";
}

/* ---- Credential checks ------------------------------------------------ */

/* Wipes a buffer that held a PIN, a cookie or a session: once the call
 * returns, its dead stack must not keep them. explicit_bzero is never
 * dropped as a store to a buffer about to die would be. */
static void wipeSecret(void *buf, size_t size)
{
    explicit_bzero(buf, size);
}

/* Wipes the text in buf (size characters) and its terminator: all that was
 * written into a buffer filled with a terminated text, at a cost that
 * follows the text rather than the buffer. */
static void wipeText(char *buf, size_t size)
{
    wipeSecret(buf, strnlen(buf, size - 1) + 1);
}

/* Writes text into a host message buffer of size characters, cut to fit;
 * a size of 0 or less (or no buffer) writes nothing. */
static void setMessage(char *buf, int size, const char *msg)
{
    if (buf != NULL && size > 0)
        copyText(buf, (size_t)size, msg);
}

static int splitFailed(const char *reason, char *message, int messageSize)
{
    setMessage(message, messageSize, reason);
    trace(TRACE_ERROR, "%s", reason);
    return 0;
}

int splitPassword(const char *posted, char *pin, char *cookie, char *message, int messageSize)
{
    const char *s = text(posted);
    size_t n;

    pin[0] = '\0';
    cookie[0] = '\0';
    setMessage(message, messageSize, "");
    for (n = 0; *s != '\0' && *s != ';'; s++) {
        if (n == BUF_SIZE - 1) {
            pin[n] = '\0';
            return splitFailed("Posted PIN too long", message, messageSize);
        }
        pin[n++] = *s;
    }
    pin[n] = '\0';
    if (*s == '\0')
        return splitFailed("Posted PIN/cookie: ';' missing", message, messageSize);
    s++; /* the ';' */
    if (strnlen(s, BUF_SIZE) > BUF_SIZE - 1)
        return splitFailed("Posted cookie too long", message, messageSize);
    copyText(cookie, BUF_SIZE, s);
    return 1;
}

/* Reads a user attribute into value (BUF_SIZE characters) and returns the
 * getter's result. value always ends up a terminated text: empty after a
 * failed (negative) read, and terminated within the buffer whatever the
 * getter wrote. Only the text is ever read from it afterwards; the bytes
 * past it are neither cleared nor read (see checkPin). */
static int readUserAttribute(const Sm_Api_UserContext_t *ctx, const char *name, char *value)
{
    int rc;

    value[0] = '\0';
    value[BUF_SIZE - 1] = '\0';
    if (ctx->fnGetUserAttr == NULL)
        return -1;
    rc = ctx->fnGetUserAttr(ctx->hUserContext, name, BUF_SIZE, value);
    if (rc < 0)
        value[0] = '\0';
    value[BUF_SIZE - 1] = '\0';
    return rc;
}

int checkAuthLevel(const Sm_Api_UserContext_t *ctx, const Parameters *p)
{
    char value[BUF_SIZE];
    int level;

    /* An attribute that cannot be read counts as no level, i.e. 0. */
    readUserAttribute(ctx, p->attrAuth, value);
    level = confIntValue(value);
    return p->minLevel <= level && level <= p->maxLevel;
}

/* Compares two buffers of BUF_SIZE whole, 32 bytes at a time, with no
 * branch on their contents: the time taken does not tell where they first
 * differ. */
static int sameBuffer(const char *a, const char *b)
{
    typedef uint64_t Lanes __attribute__((vector_size(32)));
    Lanes acc = {0, 0, 0, 0};
    uint64_t diff;
    volatile uint64_t result;
    size_t i;

    for (i = 0; i + sizeof acc <= BUF_SIZE; i += sizeof acc) {
        Lanes x, y;

        memcpy(&x, a + i, sizeof x);
        memcpy(&y, b + i, sizeof y);
        acc |= x ^ y;
    }
    diff = acc[0] | acc[1] | acc[2] | acc[3];
    for (; i < BUF_SIZE; i++)
        diff |= (unsigned char)(a[i] ^ b[i]);
    result = diff;
    return result == 0;
}

/* Clears buf (BUF_SIZE characters) past its text, so that two buffers
 * holding equal texts are equal whole. */
static void padText(char *buf)
{
    size_t len = strnlen(buf, BUF_SIZE - 1);

    memset(buf + len, 0, BUF_SIZE - len);
}

int checkPin(const Sm_Api_UserContext_t *ctx, const char *pin, const Parameters *p)
{
    char stored[BUF_SIZE];
    char posted[BUF_SIZE];
    int rc;

    rc = readUserAttribute(ctx, p->attrPin, stored);
    trace(TRACE_SECURE, "checkPin: entered '%s' stored '%s'", text(pin), stored);
    /* A PIN that cannot be read matches nothing, not even an empty PIN. */
    if (rc < 0 || pin == NULL || strnlen(pin, BUF_SIZE) > BUF_SIZE - 1) {
        wipeSecret(stored, sizeof stored);
        return 0;
    }
    /* Both texts zero-padded to the full buffer and compared whole: the
     * time taken does not tell where they first differ. */
    padText(stored);
    memcpy(posted, pin, strlen(pin) + 1);
    padText(posted);
    rc = sameBuffer(posted, stored);
    /* Past their texts both buffers hold zeros only. */
    wipeText(posted, sizeof posted);
    wipeText(stored, sizeof stored);
    return rc;
}

void traceUserAttribute(int level, const Sm_Api_UserContext_t *ctx, const char *name)
{
    char value[BUF_SIZE];

    if (level > traceGetLevel())
        return;
    if (readUserAttribute(ctx, name, value) < 0)
        trace(level, "   Can't get attribute %s", name);
    else
        trace(level, "   %s: %s", name, value);
    /* Secure lines show the PIN and the password. */
    if (level >= TRACE_SECURE)
        wipeSecret(value, sizeof value);
}

void traceUserAttributes(const Sm_Api_UserContext_t *ctx, const Parameters *p)
{
    static const struct {
        const char *name;
        int level;
    } attrs[] = {
        {"SM_USERNAME", TRACE_4},           {"SM_USERIMPERSONATORNAME", TRACE_4},
        {"SM_USERLOGINNAME", TRACE_4},      {"SM_USERIPADDRESS", TRACE_4},
        {"SM_USERPATH", TRACE_4},           {"SM_USERPASSWORD", TRACE_SECURE},
        {"SM_TRANSACTIONID", TRACE_4},      {"SM_USERSESSIONSPEC", TRACE_4},
        {"SM_USERSESSIONID", TRACE_4},      {"SM_USERSESSIONIP", TRACE_4},
        {"SM_USERSESSIONUNIVID", TRACE_4},  {"SM_USERSESSIONDIRNAME", TRACE_4},
        {"SM_USERSESSIONDIROID", TRACE_4},  {"SM_USERSESSIONTYPE", TRACE_4},
        {"SM_USERLASTLOGINTIME", TRACE_4},  {"SM_USERGROUPS", TRACE_4},
        {"SM_USERNESTEDGROUPS", TRACE_4},   {"SM_USERSCHEMAATTRIBUTES", TRACE_4},
        {"SM_USERPOLICIES", TRACE_4},       {"SM_USERPRIVS", TRACE_4},
        {"SM_USERREALMPRIVS", TRACE_4},     {"SM_USERDISABLEDSTATE", TRACE_4},
    };

    trace(TRACE_4, "User attributes:");
    for (size_t i = 0; i < sizeof attrs / sizeof attrs[0]; i++)
        traceUserAttribute(attrs[i].level, ctx, attrs[i].name);
    traceUserAttribute(TRACE_4, ctx, p->attrAuth);
    traceUserAttribute(TRACE_SECURE, ctx, p->attrPin);
}

/* ---- Entry points ----------------------------------------------------- */

extern "C" KEL_EXPORT int SmAuthQuery(const char *parameter, const char *secret, int query,
                                      char *statusBuf, int *status)
{
    Parameters p;

    (void)secret;
    if (statusBuf != NULL)
        statusBuf[0] = '\0';
    /* A faulty string is still answered, from what could be stored. */
    parseParameters(parameter, &p);
    if (query == SM_AUTH_QUERY_DESCRIPTION) {
        trace(TRACE_2, "Query description");
        setMessage(statusBuf, QUERY_BUF_SIZE, p.description);
        if (status != NULL)
            *status = API_VERSION;
        return 0;
    }
    if (query == SM_AUTH_QUERY_CREDENTIALS) {
        trace(TRACE_2, "Query credentials");
        setMessage(statusBuf, QUERY_BUF_SIZE, p.url);
        if (status != NULL)
            *status = CREDENTIALS_MASK;
        return 0;
    }
    return 1;
}

extern "C" KEL_EXPORT int SmAuthInit(const char *parameter, const char *secret)
{
    Parameters p;
    int result = 0;

    trace(TRACE_2, "Init: param '%s'", text(parameter));
    if (!parseParameters(parameter, &p))
        return 1;
    /* "true" or "yes " switch the PIN check off like "no" does; say so. */
    if (p.usePinUnclear)
        trace(TRACE_ERROR, "USE_PIN '%s' is neither yes nor no: PIN check off", p.usePinValue);
    mutex_lock(&initLock);
    initCount++;
    if (initCount != 1) {
        trace(TRACE_2, "Already initialised! initCount=%d", initCount);
    } else {
        trace(TRACE_1, "libsmauthkel %s starting", KEL_VERSION);
        if (!agentInit(secret, &p)) {
            initCount--;
            result = 1;
        }
    }
    mutex_unlock(&initLock);
    return result;
}

extern "C" KEL_EXPORT int SmAuthRelease(const char *parameter, const char *secret)
{
    (void)parameter;
    (void)secret;
    trace(TRACE_2, "AuthRelease");
    mutex_lock(&initLock);
    if (initCount == 0) {
        trace(TRACE_2, "Ignoring call! initCount=0");
    } else if (--initCount != 0) {
        trace(TRACE_2, "Not releasing yet! initCount=%d", initCount);
    } else {
        agentRelease();
        traceClose();
    }
    mutex_unlock(&initLock);
    return 0;
}

int smauthkelInitCount(void)
{
    int n;

    mutex_lock(&initLock);
    n = initCount;
    mutex_unlock(&initLock);
    return n;
}

static void traceUserContext(const Sm_Api_UserContext_t *ctx)
{
    trace(TRACE_4, "User context:");
    trace(TRACE_4, "   UserName: %s", text(ctx->lpszUserName));
    trace(TRACE_4, "   UserPath: %s", text(ctx->lpszUserPath));
    trace(TRACE_4, "   DirPath: %s", text(ctx->lpszDirPath));
    trace(TRACE_4, "   DirServer: %s", text(ctx->lpszDirServer));
    trace(TRACE_4, "   DirNamespace: %s", text(ctx->lpszDirNamespace));
    trace(TRACE_4, "   SessionId: %s", text(ctx->lpszSessionId));
}

/* How long the session may still be valid, at most: its maximum time. */
static int sessionLifetime(const Sm_AgentApi_Session_t *session)
{
    return session->maxTimeout > 0 ? session->maxTimeout : UNKNOWN_SESSION_LIFETIME;
}

/* Checks the posted PIN. With PIN_TRIES set, wrong PINs in a row are
 * counted for the session: the one that reaches the limit logs the session
 * out, so that its cookie is dead for every policy server, and while the
 * count is remembered the session is refused here whatever the PIN (the
 * logout may have failed, or guesses may have run at once). A wrong PIN
 * that cannot be counted (no room) logs the session out too: guesses must
 * never go uncounted. Returns 1 when the login may go on, else 0 with the
 * refusal in *result. */
static int pinPasses(const Sm_Api_UserContext_t *ctx, const Parameters *p, const char *pin,
                     Sm_AgentApi_Session_t *session, const SidKey *key, const char *clientIp, int *result)
{
    int right = checkPin(ctx, pin, p);
    int tries = right ? PINTRIES_RIGHT : PINTRIES_WRONG;

    /* A cookie without a session id is counted under none: an empty id
     * would make all such cookies one session. */
    if (p->pinTries > 0 && session->sessionId[0] == '\0')
        trace(TRACE_3, "Session id empty: PIN not counted");
    else if (p->pinTries > 0)
        tries = pintriesRecord(key, right, p->pinTries, sessionLifetime(session));
    if (tries == PINTRIES_RIGHT)
        return 1;
    if (tries == PINTRIES_LOCKED) {
        trace(TRACE_2, "Session locked after too many wrong PINs");
        agentCloseSession(clientIp, session); /* the lockout's own logout may have failed */
        *result = SM_AUTH_RESULT(SM_AUTH_REJECT, SM_REASON_SESSION_INVALID);
        return 0;
    }
    trace(TRACE_3, "Incorrect PIN");
    if (tries == PINTRIES_LIMIT) {
        trace(TRACE_ERROR, "PIN attempt limit reached for user %s from %s: logging the session out",
              text(ctx->lpszUserName), clientIp);
        if (!agentCloseSession(clientIp, session))
            trace(TRACE_ERROR, "Lockout logout failed: the session is refused by this server only");
    } else if (tries == PINTRIES_FULL) {
        trace(TRACE_2, "Wrong PIN cannot be counted (PIN counts full): logging the session out");
        /* Nothing here remembers the session: it lives on if this fails. */
        if (!agentCloseSession(clientIp, session))
            trace(TRACE_ERROR, "Logout after an uncounted wrong PIN failed: the session stays valid");
    }
    *result = SM_AUTH_RESULT(SM_AUTH_REJECT, SM_REASON_NONE);
    return 0;
}

/* Claims the session for this accepted login; 0 with the refusal in
 * *result when it was claimed before or no claim can be made. A cookie
 * without a session id is claimed under none (that would make all such
 * cookies one session): the login goes on unclaimed. */
static int claimed(Sm_AgentApi_Session_t *session, const SidKey *key, int *result)
{
    int claim;

    if (session->sessionId[0] == '\0') {
        trace(TRACE_3, "Session id empty: not claimed");
        return 1;
    }
    claim = claimSession(key, sessionLifetime(session));
    if (claim == CLAIM_MADE)
        return 1;
    if (claim == CLAIM_TAKEN)
        trace(TRACE_2, "Session already accepted");
    else
        trace(TRACE_2, "Session cannot be claimed (accept-once claims full)");
    *result = SM_AUTH_RESULT(SM_AUTH_REJECT, SM_REASON_SESSION_INVALID);
    return 0;
}

/* The decision after the posted text has been split: cookie, user,
 * session, level, PIN, in this order; the first failing check decides.
 * An accepted login claims its session before logging it out, so that of
 * several logins with one cookie at most one is accepted. */
static int decide(const Sm_Api_UserContext_t *ctx, const Parameters *p, const char *pin,
                  const char *cookie, int agentOpen, Sm_AgentApi_Session_t *session)
{
    Sm_AgentApi_Attribute_t *attrs;
    char userName[BUF_SIZE];
    char userDn[BUF_SIZE];
    char clientIp[BUF_SIZE];
    SidKey key;
    int attrCount;
    int result;

    memset(session, 0, sizeof *session);
    userName[0] = '\0';
    userDn[0] = '\0';
    clientIp[0] = '\0';
    if (!agentOpen || !agentDecodeToken(cookie, session, userName, userDn, clientIp)) {
        trace(TRACE_2, "Cookie cannot be decoded");
        return SM_AUTH_RESULT(SM_AUTH_REJECT, SM_REASON_COOKIE_INVALID);
    }
    if (strcmp(userDn, text(ctx->lpszUserName)) != 0) {
        trace(TRACE_2, "User name does not match");
        return SM_AUTH_RESULT(SM_AUTH_REJECT, SM_REASON_SESSION_INVALID);
    }
    trace(TRACE_3, "User name matches");
    attrCount = 0;
    attrs = NULL;
    if (!agentValidate(session, text(ctx->lpszUserName), &attrCount, &attrs)) {
        /* No list is expected with a refusal; give back whatever came. */
        if (attrs != NULL)
            agentFreeAttributes(attrCount, attrs);
        trace(TRACE_2, "Session not valid");
        return SM_AUTH_RESULT(SM_AUTH_REJECT, SM_REASON_SESSION_INVALID);
    }
    trace(TRACE_3, "Session valid");
    agentFreeAttributes(attrCount, attrs);
    if (!checkAuthLevel(ctx, p)) {
        trace(TRACE_2, "Auth level not valid");
        return SM_AUTH_RESULT(SM_AUTH_REJECT, SM_REASON_AUTH_LEVEL);
    }
    sidKeyOf(session->sessionId, sizeof session->sessionId, &key);
    if (p->usePin && !pinPasses(ctx, p, pin, session, &key, clientIp, &result))
        return result;
    if (!claimed(session, &key, &result))
        return result;
    trace(TRACE_3, "User authenticated OK");
    agentCloseSession(clientIp, session);
    return SM_AUTH_RESULT(SM_AUTH_ACCEPT, SM_REASON_NONE);
}

/* decide, with the agent held open from the decode to the logout: a
 * release meanwhile waits for the login instead of cutting it short. With
 * no agent open the cookie cannot be decoded; no agent opened later is
 * used half-way through the login. The session decoded from the cookie is
 * wiped after. */
static int decideHoldingAgent(const Sm_Api_UserContext_t *ctx, const Parameters *p,
                              const char *pin, const char *cookie)
{
    Sm_AgentApi_Session_t session;
    int held = agentBeginUse();
    int rc = decide(ctx, p, pin, cookie, held, &session);

    if (held)
        agentEndUse();
    wipeSecret(&session, sizeof session);
    return rc;
}

extern "C" KEL_EXPORT int SmAuthenticate(const void *apiContext,
                                         const Sm_Api_UserContext_t *userContext,
                                         const Sm_Api_UserCredentials_t *credentials,
                                         const void *reserved, const char *parameter,
                                         const char *realmOid, int userMsgSize, char *userMsg,
                                         int errMsgSize, char *errMsg)
{
    Parameters scratch;
    const Parameters *p;
    char pin[BUF_SIZE];
    char cookie[BUF_SIZE];
    int rc;
    const char *password = credentials != NULL ? text(credentials->lpszPassword) : "";

    (void)apiContext;
    (void)reserved;
    (void)realmOid;
    trace(TRACE_2, "Authenticate");
    setMessage(userMsg, userMsgSize, "");
    setMessage(errMsg, errMsgSize, "");

    p = paramsFor(parameter, &scratch);
    if (p == NULL) {
        setMessage(errMsg, errMsgSize, MSG_BAD_PARAMETERS);
        setMessage(userMsg, userMsgSize, MSG_BAD_PARAMETERS);
        return SM_AUTH_RESULT(SM_AUTH_FAILURE, SM_REASON_BAD_CREDENTIALS);
    }
    trace(TRACE_3, "Credentials.user: %s",
          credentials != NULL ? text(credentials->lpszUsername) : "");
    trace(TRACE_SECURE, "Credentials.password: %s", password);

    if (userContext == NULL || !userContext->bIsUserContext) {
        trace(TRACE_2, "... Disambiguate user");
        return SM_AUTH_RESULT(SM_AUTH_NO_DISAMBIGUATE, SM_REASON_NONE);
    }
    trace(TRACE_2, "... Authenticate");
    traceUserContext(userContext);
    traceUserAttributes(userContext, p);

    if (p->usePin) {
        if (!splitPassword(password, pin, cookie, errMsg, errMsgSize)) {
            setMessage(userMsg, userMsgSize, MSG_BAD_PASSWORD);
            wipeText(pin, sizeof pin);
            wipeText(cookie, sizeof cookie);
            return SM_AUTH_RESULT(SM_AUTH_FAILURE, SM_REASON_BAD_CREDENTIALS);
        }
        trace(TRACE_SECURE, "Posted PIN %s", pin);
    } else {
        /* The whole field is the cookie; a longer one is cut silently. */
        copyText(cookie, sizeof cookie, password);
        pin[0] = '\0';
    }
    rc = decideHoldingAgent(userContext, p, pin, cookie);
    wipeText(pin, sizeof pin);
    wipeText(cookie, sizeof cookie);
    return rc;
}
