/*
 * plugins.h - both plug-ins loaded by path, as the policy server loads
 * them, a user whose attributes the scheme reads, and a login through the
 * Agent API stand-in (the same library file the scheme loads).
 */
#ifndef KEL_REL_PLUGINS_H
#define KEL_REL_PLUGINS_H

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string.h>
#include <string>

#include "smagent_control.h"
#include "smapi.h"

namespace rel {

const char *const PARAMS = "AGENT_NAME=authkel;USE_PIN=yes;MIN_LEVEL=2;MAX_LEVEL=3";
const char *const SECRET = "s3cret";

struct Plugins {
    void *auth = nullptr, *event = nullptr;
    decltype(&SmAuthInit) authInit = nullptr;
    decltype(&SmAuthenticate) authenticate = nullptr;
    decltype(&SmAuthRelease) authRelease = nullptr;
    decltype(&SmEventInit) eventInit = nullptr;
    decltype(&SmEventRelease) eventRelease = nullptr;
    decltype(&SmEventRecord) eventRecord = nullptr;

    /* The libraries stay loaded for the life of the process: a plug-in is
     * never unloaded by the server either, and valgrind then names it. */
    Plugins()
    {
        auth = dlopen(AUTH_PLUGIN, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        event = dlopen(EVENT_PLUGIN, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (auth == nullptr || event == nullptr) {
            ADD_FAILURE() << "cannot load the plug-ins: " << dlerror();
            return;
        }
        *(void **)&authInit = dlsym(auth, "SmAuthInit");
        *(void **)&authenticate = dlsym(auth, "SmAuthenticate");
        *(void **)&authRelease = dlsym(auth, "SmAuthRelease");
        *(void **)&eventInit = dlsym(event, "SmEventInit");
        *(void **)&eventRelease = dlsym(event, "SmEventRelease");
        *(void **)&eventRecord = dlsym(event, "SmEventRecord");
    }
    bool ok() const { return auth != nullptr && event != nullptr; }
};

/* A user of level 3 with a PIN, as the directory reports them. */
struct User {
    std::string dn, pin;

    static int get(void *handle, const char *name, int size, char *buf)
    {
        const User *u = (const User *)handle;
        const char *v = strcmp(name, "authlevel") == 0 ? "3" : strcmp(name, "pin") == 0 ? u->pin.c_str() : nullptr;
        if (v == nullptr)
            return -1;
        snprintf(buf, (size_t)size, "%s", v);
        return 0;
    }

    Sm_Api_UserContext_t context() const
    {
        Sm_Api_UserContext_t ctx;
        memset(&ctx, 0, sizeof ctx);
        ctx.bIsUserContext = 1;
        ctx.lpszUserName = dn.c_str();
        ctx.lpszUserPath = "ou=people,o=kel";
        ctx.lpszDirPath = "ldap://dir.kel";
        ctx.lpszDirServer = "dir.kel:389";
        ctx.lpszDirNamespace = "LDAP:";
        ctx.lpszSessionId = "host-session";
        ctx.hUserContext = (void *)this;
        ctx.fnGetUserAttr = get;
        return ctx;
    }
};

/* A fresh single sign-on session of the user; its cookie. */
inline std::string newCookie(const User &u)
{
    SmAgentCtl_Session_t s{};
    char cookie[64];
    s.userDn = u.dn.c_str();
    s.userName = "jdoe";
    s.clientIp = "192.0.2.7";
    smagentCreateSession(&s, cookie, sizeof cookie);
    return cookie;
}

/* One login posting text; the status and reason code. */
inline int login(Plugins &p, const User &u, const std::string &posted, std::string *messages = nullptr)
{
    Sm_Api_UserContext_t ctx = u.context();
    Sm_Api_UserCredentials_t cred{u.dn.c_str(), posted.c_str()};
    char userMsg[256] = "", errMsg[256] = "";
    int rc = p.authenticate(nullptr, &ctx, &cred, nullptr, PARAMS, nullptr, sizeof userMsg, userMsg,
                            sizeof errMsg, errMsg);
    if (messages != nullptr)
        *messages += std::string(userMsg) + "\n" + errMsg + "\n";
    return rc;
}

} // namespace rel

#endif
