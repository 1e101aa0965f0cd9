/*
 * authtest.h - helpers of the scheme's unit tests: a user whose attributes
 * the getter reads, a fixture with a throwaway trace log, the test clock and
 * an emptied stand-in Agent API, and a check of lines in order.
 */
#ifndef AUTHTEST_H
#define AUTHTEST_H

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <string.h>
#include <string>
#include <vector>

#include "agent.h"
#include "smagent_control.h"
#include "smauthkel.h"
#include "trace.h"
#include "tracefiles.h"

namespace authtest {

const long T0 = 1700000000;

/* A user's attributes. A name not in attrs cannot be read: the getter
 * leaves failText in the buffer (hosts leave what they like) and says -1. */
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
        snprintf(buf, (size_t)size, "%s", (it == u->attrs.end() ? u->failText : it->second).c_str());
        return it == u->attrs.end() ? -1 : 0;
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

inline Sm_Api_UserContext_t userContext(const char *name, FakeUser *user, bool identified = true)
{
    Sm_Api_UserContext_t ctx;
    memset(&ctx, 0, sizeof ctx);
    ctx.bIsUserContext = identified;
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

inline std::string repeat(char c, size_t n) { return std::string(n, c); }

/* The lines of want appear in log in this order (others may stand between). */
inline ::testing::AssertionResult inOrder(const std::vector<std::string> &log,
                                          const std::vector<std::string> &want)
{
    size_t i = 0;
    for (const std::string &line : log)
        i += i < want.size() && line == want[i];
    if (i == want.size())
        return ::testing::AssertionSuccess();
    std::string all;
    for (const std::string &line : log)
        all += "\n  " + line.substr(0, 160);
    return ::testing::AssertionFailure() << "missing in order: '" << want[i] << "'; log:" << all;
}

/* Trace log at level 5 in a fresh SM_HOME, test clock at T0, the stand-in
 * emptied and knowing agent "authkel" with secret "s3cret", its clock at T0. */
class SchemeTest : public ::testing::Test {
protected:
    std::unique_ptr<kt::TraceFiles> tf;

    void SetUp() override
    {
        tf = std::make_unique<kt::TraceFiles>(5);
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
        EXPECT_EQ(smagentOpenLists(), 0) << "attribute lists not freed";
        EXPECT_EQ(smagentBadFrees(), 0) << "lists freed twice or with a wrong count";
        agentTestReset();
        smagentReset();
        kt::clock::uninstall();
        traceReset();
    }

    /* Seen by the first trace call after the clock moved two seconds on. */
    void setLevel(int level)
    {
        tf->setLevel(level);
        kt::clock::advance(2);
    }

    /* The log without the notices of configuration reads. */
    std::vector<std::string> log() const
    {
        std::vector<std::string> out;
        for (const std::string &m : tf->messages())
            if (m.compare(0, 18, "CONFIGURATION READ") != 0)
                out.push_back(m);
        return out;
    }
    bool logHas(const std::string &line) const { return tf->has(line); }

    /* Opens a stand-in session for userDn; returns its cookie. */
    std::string newSession(const char *userDn, int idle = 0,
                           std::vector<SmAgentCtl_Attr_t> extras = {}, int extrasOnly = 0)
    {
        SmAgentCtl_Session_t s = {userDn, "jdoe", "10.1.2.3", idle, 0,
                                  (int)extras.size(), extras.data(), extrasOnly};
        char cookie[64];
        EXPECT_EQ(smagentCreateSession(&s, cookie, sizeof cookie), 1);
        return cookie;
    }
};

} // namespace authtest

#endif
