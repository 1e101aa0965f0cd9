/*
 * authtest.h - helpers of the scheme's unit tests: a user directory the
 * attribute getter reads from, a fixture with a throwaway trace log, the
 * test clock and the stand-in Agent API reset, and log checks.
 */
#ifndef AUTHTEST_H
#define AUTHTEST_H

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string.h>
#include <string>
#include <vector>

#include "agent.h"
#include "smagent_control.h"
#include "smapi.h"
#include "smauthkel.h"
#include "testsupport.h"
#include "trace.h"
#include "tracefiles.h"

namespace authtest {

const long T0 = 1700000000;

/* The attributes of one user. A name not in attrs cannot be read: the
 * getter then returns -1, after leaving failText in the buffer (what a host
 * leaves there is its own business). */
struct FakeUser {
    std::map<std::string, std::string> attrs;
    std::string failText;
    std::vector<std::string> asked;
    std::mutex lock;

    static int get(void *handle, const char *name, int size, char *buf)
    {
        FakeUser *u = (FakeUser *)handle;
        std::lock_guard<std::mutex> guard(u->lock);
        u->asked.push_back(name);
        auto it = u->attrs.find(name);
        const std::string &v = it == u->attrs.end() ? u->failText : it->second;
        snprintf(buf, (size_t)size, "%s", v.c_str());
        return it == u->attrs.end() ? -1 : (int)v.size();
    }

    int timesAsked(const std::string &name)
    {
        std::lock_guard<std::mutex> guard(lock);
        int n = 0;
        for (const std::string &a : asked)
            n += a == name;
        return n;
    }
};

/* A user context for name whose attributes come from user. */
inline Sm_Api_UserContext_t userContext(const char *name, FakeUser *user, bool identified = true)
{
    Sm_Api_UserContext_t ctx;
    memset(&ctx, 0, sizeof ctx);
    ctx.bIsUserContext = identified ? 1 : 0;
    ctx.lpszUserName = name;
    ctx.lpszUserPath = "ou=people,o=qx";
    ctx.lpszDirPath = "ldap://dir.qx";
    ctx.lpszDirServer = "dir.qx:389";
    ctx.lpszDirNamespace = "LDAP:";
    ctx.lpszSessionId = "host-session-1";
    ctx.hUserContext = user;
    ctx.fnGetUserAttr = FakeUser::get;
    return ctx;
}

inline std::string repeat(char c, size_t n)
{
    return std::string(n, c);
}

/* True when the log holds the lines of want in this order (other lines may
 * stand between them). */
inline ::testing::AssertionResult inOrder(const std::vector<std::string> &log,
                                          const std::vector<std::string> &want)
{
    size_t i = 0;
    for (const std::string &line : log)
        if (i < want.size() && line == want[i])
            i++;
    if (i == want.size())
        return ::testing::AssertionSuccess();
    std::string all;
    for (const std::string &line : log)
        all += "\n  " + line.substr(0, 200);
    return ::testing::AssertionFailure() << "missing in order: '" << want[i] << "'; log:" << all;
}

/* A fresh trace log at the given level, the test clock at T0, the stand-in
 * Agent API emptied and knowing the agent "authkel" with secret "s3cret". */
class SchemeTest : public ::testing::Test {
protected:
    std::unique_ptr<kt::TraceFiles> tf;

    void SetUp() override
    {
        tf = std::make_unique<kt::TraceFiles>(level());
        traceReset();
        kt::clock::install(T0);
        smagentReset();
        smagentSetTime(T0);
        smagentAddAgent("authkel", "s3cret");
        agentSetLibraryPath(AGENTAPI_PATH);
        agentTestReset();
    }

    void TearDown() override
    {
        /* Whatever a test did, no list may stay behind or be freed wrongly. */
        EXPECT_EQ(smagentOpenLists(), 0);
        EXPECT_EQ(smagentBadFrees(), 0);
        agentTestReset();
        smagentReset();
        kt::clock::uninstall();
        traceReset();
    }

    virtual int level() const { return 5; }

    /* Changes the trace level; seen by the first trace call made after the
     * clock has moved on by two seconds. */
    void setLevel(int newLevel)
    {
        tf->setLevel(newLevel);
        kt::clock::advance(2);
    }

    /* The messages of the log, without the notices of configuration reads. */
    std::vector<std::string> log() const
    {
        std::vector<std::string> out;
        for (const std::string &m : tf->messages())
            if (m.compare(0, 18, "CONFIGURATION READ") != 0)
                out.push_back(m);
        return out;
    }
    bool logHas(const std::string &line) const { return tf->has(line); }

    /* A session of the stand-in for userDn; returns its cookie. */
    std::string newSession(const char *userDn, int idle = 0, int max = 0,
                           std::vector<SmAgentCtl_Attr_t> extras = {}, int extrasOnly = 0)
    {
        SmAgentCtl_Session_t s = {userDn,     "jdoe",        "10.1.2.3",
                                  idle,       max,           (int)extras.size(),
                                  extras.data(), extrasOnly};
        char cookie[64];
        EXPECT_EQ(smagentCreateSession(&s, cookie, sizeof cookie), 1);
        return cookie;
    }
};

} // namespace authtest

#endif
