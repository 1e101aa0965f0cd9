/* The plug-in as a host sees it: loaded with dlopen from its file, reached
 * only through its exported entry points, finding the stand-in Agent API
 * beside it. This program links the stand-in only to drive it; the plug-in
 * loads the same file, so both see one instance. */
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <memory>
#include <set>
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

const char *const USER = "uid=jdoe,o=qx";

/* Output of a command, one string. */
std::string run(const std::string &command)
{
    std::string out;
    char buf[512];
    FILE *p = popen(command.c_str(), "r");
    if (p == NULL)
        return out;
    while (fgets(buf, sizeof buf, p) != NULL)
        out += buf;
    pclose(p);
    return out;
}

int getAttr(void *handle, const char *name, int size, char *buf)
{
    (void)handle;
    const char *v = strcmp(name, "authlevel") == 0 ? "3" : strcmp(name, "pin") == 0 ? "0042" : NULL;
    if (v == NULL)
        return -1;
    snprintf(buf, (size_t)size, "%s", v);
    return (int)strlen(v);
}

class PluginTest : public ::testing::Test {
protected:
    static std::unique_ptr<kt::TraceFiles> tf;
    static void *lib;
    static QueryFn query;
    static InitFn init;
    static AuthFn authenticate;
    static InitFn release;

    static void SetUpTestSuite()
    {
        tf = std::make_unique<kt::TraceFiles>(5);
        lib = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib, nullptr) << dlerror();
        query = (QueryFn)dlsym(lib, "SmAuthQuery");
        init = (InitFn)dlsym(lib, "SmAuthInit");
        authenticate = (AuthFn)dlsym(lib, "SmAuthenticate");
        release = (InitFn)dlsym(lib, "SmAuthRelease");
    }

    static void TearDownTestSuite()
    {
        if (lib != NULL)
            dlclose(lib);
        tf.reset();
    }

    int login(const char *name, const std::string &password, const char *params = "USE_PIN=yes")
    {
        Sm_Api_UserContext_t ctx;
        memset(&ctx, 0, sizeof ctx);
        ctx.bIsUserContext = 1;
        ctx.lpszUserName = name;
        ctx.fnGetUserAttr = getAttr;
        Sm_Api_UserCredentials_t cred = {"jdoe", password.c_str()};
        char um[64], em[64];
        return authenticate(NULL, &ctx, &cred, NULL, params, NULL, sizeof um, um, sizeof em, em);
    }

    std::string session(const char *dn, int idle = 0)
    {
        SmAgentCtl_Session_t s = {dn, "jdoe", "10.0.0.9", idle, 0, 0, NULL, 0};
        char cookie[64];
        EXPECT_EQ(smagentCreateSession(&s, cookie, sizeof cookie), 1);
        return cookie;
    }
};

std::unique_ptr<kt::TraceFiles> PluginTest::tf;
void *PluginTest::lib;
QueryFn PluginTest::query;
InitFn PluginTest::init;
AuthFn PluginTest::authenticate;
InitFn PluginTest::release;

TEST_F(PluginTest, ExportsExactlyTheFourEntryPoints)
{
    std::set<std::string> names;
    std::string out = run(std::string("nm -D --defined-only ") + PLUGIN_PATH);
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find('\n', pos);
        std::string line = out.substr(pos, end - pos);
        names.insert(line.substr(line.rfind(' ') + 1));
        pos = end == std::string::npos ? out.size() : end + 1;
    }
    EXPECT_EQ(names, (std::set<std::string>{"SmAuthInit", "SmAuthQuery", "SmAuthRelease",
                                            "SmAuthenticate"}));
    for (const char *internal : {"parseParameters", "agentInit", "trace", "kelSys", "checkPin"})
        EXPECT_EQ(dlsym(lib, internal), nullptr) << internal;
}

TEST_F(PluginTest, AgentApiIsLoadedAtFirstUseNotLinked)
{
    std::string dynamic = run(std::string("readelf -d ") + PLUGIN_PATH);
    ASSERT_NE(dynamic.find("NEEDED"), std::string::npos);
    EXPECT_EQ(dynamic.find("libsmagentapi"), std::string::npos) << dynamic;
    std::string undefined = run(std::string("nm -D --undefined-only ") + PLUGIN_PATH);
    EXPECT_EQ(undefined.find("Sm_AgentApi"), std::string::npos);
}

TEST_F(PluginTest, AnswersQueries)
{
    char buf[1024];
    int status = 0;
    EXPECT_EQ(query("DESCRIPTION=Step-up", NULL, 0, buf, &status), 0);
    EXPECT_STREQ(buf, "Step-up");
    EXPECT_EQ(status, 768);
    EXPECT_EQ(query("URL=/pin", NULL, 1, buf, &status), 0);
    EXPECT_STREQ(buf, "/pin");
    EXPECT_EQ(status, 0x2000001);
}

TEST_F(PluginTest, StepUpLoginEndToEnd)
{
    smagentReset();
    smagentAddAgent("pinagent", "k3y");
    ASSERT_EQ(init("AGENT_NAME=pinagent;USE_PIN=yes", "k3y"), 0);
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_INIT), 1); /* the same stand-in instance */

    std::string cookie = session(USER);
    EXPECT_EQ(login(USER, "0042;" + cookie), 2);
    EXPECT_EQ(smagentSessionAlive(cookie.c_str()), 0);
    EXPECT_EQ(login(USER, "0042;" + cookie), 0x80003); /* logged out */

    /* Refusals, one per reason; the old sessions stay. */
    std::string other = session("uid=eve,o=qx");
    EXPECT_EQ(login(USER, "0042;" + other), 0x20003);
    std::string idle = session(USER, 60);
    smagentAdvanceTime(61);
    EXPECT_EQ(login(USER, "0042;" + idle), 0x20003);
    std::string live = session(USER);
    EXPECT_EQ(login(USER, "0042;" + live, "USE_PIN=yes;MIN_LEVEL=4;MAX_LEVEL=5"), 0x50003);
    EXPECT_EQ(login(USER, "0043;" + live), 3);
    EXPECT_EQ(login(USER, live, "USE_PIN=yes"), 0x260001);
    for (const std::string &c : {other, idle, live})
        EXPECT_EQ(smagentSessionAlive(c.c_str()), 1);
    EXPECT_EQ(smagentOpenLists(), 0);

    EXPECT_TRUE(tf->has("User authenticated OK"));
    EXPECT_TRUE(tf->has("Old session logged out"));
    EXPECT_TRUE(tf->has("Incorrect PIN"));
    EXPECT_EQ(release(NULL, NULL), 0);
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_UNINIT), 1);
    EXPECT_EQ(smagentLiveAgents(), 0);
    smagentReset();
}

} // namespace
