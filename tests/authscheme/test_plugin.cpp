/* The plug-in as a host sees it: loaded with dlopen from its file, reached
 * only through its exported entry points, finding the stand-in Agent API
 * beside it. This program links the stand-in only to drive it; the plug-in
 * loads the same file, so both see one instance. */
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <set>
#include <sstream>
#include <stdio.h>
#include <string.h>
#include <string>

#include "smagent_control.h"
#include "smapi.h"
#include "tracefiles.h"

namespace {

typedef int (*QueryFn)(const char *, const char *, int, char *, int *);
typedef int (*InitFn)(const char *, const char *);
typedef int (*AuthFn)(const void *, const Sm_Api_UserContext_t *, const Sm_Api_UserCredentials_t *,
                      const void *, const char *, const char *, int, char *, int, char *);

std::string run(const std::string &command)
{
    std::string out;
    char buf[512];
    FILE *p = popen(command.c_str(), "r");
    while (p != NULL && fgets(buf, sizeof buf, p) != NULL)
        out += buf;
    if (p != NULL)
        pclose(p);
    return out;
}

TEST(Plugin, ExportsExactlyTheFourEntryPointsAndNeedsNoAgentApi)
{
    std::istringstream lines(run(std::string("nm -D --defined-only ") + PLUGIN_PATH));
    std::set<std::string> names;
    for (std::string line; std::getline(lines, line);)
        names.insert(line.substr(line.rfind(' ') + 1));
    EXPECT_EQ(names, (std::set<std::string>{"SmAuthInit", "SmAuthQuery", "SmAuthRelease",
                                            "SmAuthenticate"}));
    std::string dynamic = run(std::string("readelf -d ") + PLUGIN_PATH);
    EXPECT_NE(dynamic.find("NEEDED"), std::string::npos);
    EXPECT_EQ(dynamic.find("libsmagentapi"), std::string::npos) << dynamic;
    EXPECT_EQ(run(std::string("nm -D --undefined-only ") + PLUGIN_PATH).find("Sm_AgentApi"),
              std::string::npos);

    /* The agent module is also delivered alone, as a relocatable object. */
    std::string agent = run(std::string("nm -C --defined-only ") + AGENT_OBJECT);
    for (const char *fn : {"agentInit(", "agentManage(", "agentRelease(", "agentDecodeToken(",
                           "agentValidate(", "agentCloseSession("})
        EXPECT_NE(agent.find(fn), std::string::npos) << fn;
    EXPECT_NE(run(std::string("readelf -h ") + AGENT_OBJECT).find("REL (Relocatable file)"),
              std::string::npos);
}

int getAttr(void *, const char *name, int size, char *buf)
{
    const char *v = strcmp(name, "authlevel") == 0 ? "3" : strcmp(name, "pin") == 0 ? "0042" : NULL;
    if (v != NULL)
        snprintf(buf, (size_t)size, "%s", v);
    return v != NULL ? 0 : -1;
}

TEST(Plugin, StepUpLoginEndToEnd)
{
    kt::TraceFiles tf(5);
    void *lib = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    QueryFn query = (QueryFn)dlsym(lib, "SmAuthQuery");
    InitFn init = (InitFn)dlsym(lib, "SmAuthInit");
    AuthFn authenticate = (AuthFn)dlsym(lib, "SmAuthenticate");
    InitFn release = (InitFn)dlsym(lib, "SmAuthRelease");
    ASSERT_TRUE(query && init && authenticate && release);
    EXPECT_EQ(dlsym(lib, "parseParameters"), nullptr);

    char buf[1024];
    int status = 0;
    EXPECT_EQ(query("DESCRIPTION=Step-up", NULL, 0, buf, &status), 0);
    EXPECT_STREQ(buf, "Step-up");
    EXPECT_EQ(status, 768);

    smagentReset();
    smagentAddAgent("pinagent", "k3y");
    ASSERT_EQ(init("AGENT_NAME=pinagent;USE_PIN=yes", "k3y"), 0);
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_INIT), 1); /* the same stand-in instance */

    auto session = [](const char *dn) {
        SmAgentCtl_Session_t s = {dn, "jdoe", "10.0.0.9", 0, 0, 0, NULL, 0};
        char cookie[64];
        EXPECT_EQ(smagentCreateSession(&s, cookie, sizeof cookie), 1);
        return std::string(cookie);
    };
    auto login = [&](const std::string &password) {
        Sm_Api_UserContext_t ctx = {};
        ctx.bIsUserContext = 1;
        ctx.lpszUserName = "uid=jdoe,o=qx";
        ctx.fnGetUserAttr = getAttr;
        Sm_Api_UserCredentials_t cred = {"jdoe", password.c_str()};
        char um[64], em[64];
        return authenticate(NULL, &ctx, &cred, NULL, "USE_PIN=yes", NULL, sizeof um, um, sizeof em,
                            em);
    };
    std::string cookie = session("uid=jdoe,o=qx");
    EXPECT_EQ(login("0042;" + cookie), 2);
    EXPECT_EQ(login("0042;" + cookie), 0x80003); /* logged out */

    /* Refusals leave the session alone. */
    std::string other = session("uid=eve,o=qx"), live = session("uid=jdoe,o=qx");
    EXPECT_EQ(login("0042;" + other), 0x20003);
    EXPECT_EQ(login("0043;" + live), 3);
    EXPECT_EQ(smagentSessionCount(), 2);
    EXPECT_EQ(smagentOpenLists(), 0);
    EXPECT_TRUE(tf.has("Old session logged out"));
    EXPECT_TRUE(tf.has("Incorrect PIN"));

    EXPECT_EQ(release(NULL, NULL), 0);
    EXPECT_EQ(smagentLiveAgents(), 0);
    smagentReset();
    dlclose(lib);
}

} // namespace
