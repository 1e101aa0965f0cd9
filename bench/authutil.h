/*
 * authutil.h - what the scheme's benchmarks share: the user they log in,
 * the directory as the host reads it, the user context, and setting the
 * trace level through keltrace.conf.
 */
#ifndef KEL_AUTHUTIL_H
#define KEL_AUTHUTIL_H

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "benchutil.h"
#include "smagent_control.h"
#include "clockhook.h"
#include "smapi.h"
#include "trace.h"

namespace kb {

inline const char *const USER_DN = "uid=load0,ou=people,o=kel";

/* The user directory as the host reads it: level and PIN attributes. */
inline int getUserAttr(void *, const char *name, int size, char *buf)
{
    const char *value = strcmp(name, "authlevel") == 0 ? "3" : strcmp(name, "pin") == 0 ? "pin0" : nullptr;
    if (value == nullptr)
        return -1;
    snprintf(buf, (size_t)size, "%s", value);
    return 0;
}

inline Sm_Api_UserContext_t userContext()
{
    Sm_Api_UserContext_t ctx;
    memset(&ctx, 0, sizeof ctx);
    ctx.bIsUserContext = 1;
    ctx.lpszUserName = USER_DN;
    ctx.lpszUserPath = "ou=people,o=kel";
    ctx.lpszDirPath = "ldap://dir.kel";
    ctx.lpszDirServer = "dir.kel:389";
    ctx.lpszDirNamespace = "LDAP:";
    ctx.lpszSessionId = "host-session-1";
    ctx.fnGetUserAttr = getUserAttr;
    return ctx;
}

/* Opens a stand-in session for USER_DN; returns its cookie. */
inline std::string openSession()
{
    SmAgentCtl_Session_t s{};
    char cookie[64];
    s.userDn = USER_DN;
    s.userName = "load";
    s.clientIp = "192.0.2.20";
    smagentCreateSession(&s, cookie, sizeof cookie);
    return cookie;
}

/* Sets the trace level and opens the gate so the next call sees it; the
 * log is removed after the line that proves it. */
inline void traceLevel(Home &home, int level)
{
    home.traceConf(level);
    openGates();
    trace(TRACE_ERROR, "level %d", level);
    useTableClock();
    unlink(home.logPath().c_str());
}

} // namespace kb

#endif
