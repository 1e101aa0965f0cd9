/* The agent module against the stand-in Agent API. */
#include <thread>

#include "authtest.h"

using namespace authtest;

namespace {

class AgentTest : public SchemeTest {
protected:
    Parameters p;

    int init(const std::string &params = "", const char *secret = "s3cret")
    {
        EXPECT_EQ(parseParameters(params.c_str(), &p), 1);
        return agentInit(secret, &p);
    }

    int requests() { return smagentCallCount(SMAGENT_FN_DOMANAGEMENT); }

    void manageAt(long t)
    {
        kt::clock::set(t);
        agentManage(1, "");
    }
};

TEST_F(AgentTest, InitRecordAndProductReport)
{
    std::string name = repeat('a', 300), secret = repeat('s', 300);
    smagentAddAgent(name.substr(0, 255).c_str(), secret.substr(0, 255).c_str());
    ASSERT_EQ(init("AGENT_NAME=" + name + ";PORT_AZ=1;PORT_AUTH=2;PORT_ACCT=3", secret.c_str()), 1);

    Sm_AgentApi_Init_t rec;
    Sm_AgentApi_Server_t srv;
    ASSERT_EQ(smagentLastInit(&rec, &srv), 1);
    EXPECT_EQ(rec.version, 1024);
    EXPECT_EQ(rec.agentName, name.substr(0, 255));
    EXPECT_EQ(rec.sharedSecret, secret.substr(0, 255));
    EXPECT_EQ(rec.failover, 0);
    EXPECT_EQ(rec.serverCount, 1);
    EXPECT_STREQ(srv.address, "127.0.0.1");
    EXPECT_EQ(std::vector<int>({srv.connMin, srv.connMax, srv.connStep, srv.timeout, srv.ports[0],
                                srv.ports[1], srv.ports[2]}),
              std::vector<int>({1, 1, 1, 75, 1, 2, 3}));
    EXPECT_EQ(srv.slots[0], nullptr);

    int code;
    char data[512];
    ASSERT_EQ(smagentLastManagement(&code, data, sizeof data), 1);
    EXPECT_EQ(code, 3);
    EXPECT_EQ(data, ("Product=" + name).substr(0, 255));
    EXPECT_TRUE(inOrder(log(), {"agentInit", "Agent initialized (but may not be connected!)",
                                "agentManage: OK. 0 attributes"}));
    agentRelease();
    EXPECT_EQ(smagentLiveAgents(), 0);
}

TEST_F(AgentTest, RefusedInitAndReleaseWithoutInit)
{
    agentRelease(); /* before any init: no call at all */
    EXPECT_EQ(init("", "wrong"), 0);
    EXPECT_TRUE(logHas("Agent initialization failed - bad agent name or shared secret"));
    EXPECT_FALSE(logHas("Agent initialized (but may not be connected!)"));
    agentRelease();
    for (int fn = 0; fn < SMAGENT_FN_COUNT; fn++)
        EXPECT_EQ(smagentCallCount(fn), fn == SMAGENT_FN_INIT) << fn;
}

TEST_F(AgentTest, OneRequestPer30Seconds)
{
    ASSERT_EQ(init(), 1); /* the first request of the process goes */
    manageAt(T0 + 29);
    EXPECT_EQ(requests(), 1);
    manageAt(T0 + 30);
    EXPECT_EQ(requests(), 2);
    manageAt(T0 + 5); /* clock set back */
    manageAt(T0 + 59);
    EXPECT_EQ(requests(), 2);

    /* A failed request starts an interval too. */
    smagentForceResult(SMAGENT_FN_DOMANAGEMENT, -1, 1);
    manageAt(T0 + 60);
    manageAt(T0 + 89);
    EXPECT_EQ(requests(), 3);

    /* Each decode carries a poll with empty data. */
    std::string cookie = newSession("uid=jdoe");
    Sm_AgentApi_Session_t s = {};
    char name[BUF_SIZE], dn[BUF_SIZE], ip[BUF_SIZE];
    kt::clock::set(T0 + 90);
    EXPECT_EQ(agentDecodeToken(cookie.c_str(), &s, name, dn, ip), 1);
    int code;
    char data[8] = "junk";
    smagentLastManagement(&code, data, sizeof data);
    EXPECT_EQ(requests(), 4);
    EXPECT_EQ(code, 1);
    EXPECT_STREQ(data, "");

    /* Re-initialisation within the interval sends no report. */
    agentRelease();
    ASSERT_EQ(init(), 1);
    EXPECT_EQ(requests(), 4);
    agentRelease();
}

/* The interval holds once the clock has passed 2^31 seconds (2038): kept
 * in 32 bits, the last time wrapped negative and every call sent one. */
TEST_F(AgentTest, OneRequestPer30SecondsPast2038)
{
    const long T38 = 2147483647L - 10;
    kt::clock::set(T38);
    ASSERT_EQ(init(), 1);
    for (long t : {T38 + 15, T38 + 20, T38 + 29})
        manageAt(t);
    EXPECT_EQ(requests(), 1);
    manageAt(T38 + 30);
    manageAt(T38 + 59);
    EXPECT_EQ(requests(), 2);
    agentRelease();
}

TEST_F(AgentTest, ManagementResultsAndCommands)
{
    ASSERT_EQ(init(), 1);
    struct {
        int rc;
        const char *line;
    } failures[] = {
        {-3, "agentManage: No server connection"},
        {-1, "agentManage: Can't connect to server"},
        {-2, "agentManage: Timeout for server response"},
        {2, "agentManage: Server doesn't recognize function"},
    };
    long t = T0;
    for (auto &f : failures) {
        int frees = smagentCallCount(SMAGENT_FN_FREE);
        smagentForceResult(SMAGENT_FN_DOMANAGEMENT, f.rc, 1);
        manageAt(t += 30);
        EXPECT_TRUE(logHas(f.line)) << f.line;
        EXPECT_EQ(smagentCallCount(SMAGENT_FN_FREE), frees + 1) << "list not freed";
    }

    for (int id : {190, 191, 192, 193, 194, 195, 196, 197, 198, 300, 189})
        smagentQueueCommand(id, "");
    tf->clear();
    smagentForceResult(SMAGENT_FN_DOMANAGEMENT, 1, 1); /* any other code is success */
    manageAt(t += 30);
    EXPECT_EQ(log(), (std::vector<std::string>{
                         "agentManage: OK. 11 attributes", "agentmanage: AGENT_KEY_UPDATE_NEXT",
                         "agentmanage: AGENT_KEY_UPDATE_LAST", "agentmanage: AGENT_KEY_UPDATE_CURRENT",
                         "agentmanage: AGENT_KEY_UPDATE_PERSISTENT", "agentmanage: CACHE_FLUSH_ALL",
                         "agentmanage: CACHE_FLUSH_ALL_USERS", "agentmanage: CACHE_FLUSH_THIS_USER",
                         "agentmanage: CACHE_FLUSH_ALL_REALMS",
                         "agentmanage: CACHE_FLUSH_THIS_REALM"}));

    /* Many threads at once: still one request in the interval. */
    kt::clock::set(t + 30);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++)
        threads.emplace_back([] {
            for (int j = 0; j < 50; j++)
                agentManage(1, "");
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(requests(), 7);
    agentRelease();
}

TEST_F(AgentTest, MissingLibraryFailsInitAndIsTriedAgain)
{
    agentSetLibraryPath("/nonexistent/libsmagentapi.so");
    agentTestReset();
    EXPECT_EQ(init(), 0);
    std::vector<std::string> lines = log();
    std::string prefix = "Cannot load Agent API library /nonexistent/libsmagentapi.so: ";
    ASSERT_EQ(lines.back().compare(0, prefix.size(), prefix), 0) << lines.back();
    EXPECT_NE(lines.back().find("No such file"), std::string::npos);
    Sm_AgentApi_Session_t s = {};
    char a[BUF_SIZE], b[BUF_SIZE], c[BUF_SIZE];
    EXPECT_EQ(agentDecodeToken("x", &s, a, b, c), 0);
    agentRelease();
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_INIT), 0);

    agentSetLibraryPath(AGENTAPI_PATH);
    EXPECT_EQ(init(), 1);
    agentRelease();
}

class SessionTest : public AgentTest {
protected:
    Sm_AgentApi_Session_t s;
    char name[BUF_SIZE], dn[BUF_SIZE], ip[BUF_SIZE];

    void SetUp() override
    {
        AgentTest::SetUp();
        ASSERT_EQ(init(), 1);
        memset(&s, 0, sizeof s);
        strcpy(name, "<name>");
        strcpy(dn, "<dn>");
        strcpy(ip, "<ip>");
        tf->clear();
    }

    void TearDown() override
    {
        agentRelease();
        AgentTest::TearDown();
    }

    int decode(const std::string &cookie) { return agentDecodeToken(cookie.c_str(), &s, name, dn, ip); }

    int validate(const char *user)
    {
        int count = 0;
        Sm_AgentApi_Attribute_t *list = NULL;
        int ok = agentValidate(&s, user, &count, &list);
        agentFreeAttributes(count, list);
        return ok;
    }
};

TEST_F(SessionTest, EveryIdentifierLandsInItsPlace)
{
    smagentSetTime(T0 - 100);
    SmAgentCtl_Session_t request = {"uid=jdoe,o=qx", "jdoe", "10.1.2.3", 900, 7200, 0, NULL, 0};
    SmAgentCtl_Attr_t extras[] = {{200, "laptop-7"}, {300, "other"}};
    request.extras = extras;
    request.extraCount = 2;
    char cookie[64];
    ASSERT_EQ(smagentCreateSession(&request, cookie, sizeof cookie), 1);
    ASSERT_EQ(decode(cookie), 1);
    EXPECT_EQ(std::vector<int>({s.startTime, s.lastTime, s.idleTimeout, s.maxTimeout, s.reason,
                                s.state}),
              std::vector<int>({(int)T0 - 100, (int)T0 - 100, 900, 7200, 0, 0}));
    EXPECT_EQ(strlen(s.sessionId), 32u);
    EXPECT_STREQ(name, "jdoe");
    EXPECT_STREQ(dn, "uid=jdoe,o=qx");
    EXPECT_STREQ(ip, "10.1.2.3");
    std::string start = std::to_string(T0 - 100);
    EXPECT_EQ(log(), (std::vector<std::string>{
                         "Cookie attributes:",
                         "   STARTSESSIONTIME: " + start, "   LASTSESSIONTIME: " + start,
                         "   SESSIONID: " + std::string(s.sessionId), "   CLIENTIP: 10.1.2.3",
                         "   SESSIONSPEC: " + std::string(s.sessionSpec), "   USERNAME: jdoe",
                         "   USERDN: uid=jdoe,o=qx", "   IDLESESSIONTIMEOUT: 900",
                         "   MAXSESSIONTIMEOUT: 7200", "   DEVICENAME: laptop-7", "   300: other"}));
}

TEST_F(SessionTest, OverlongValuesAreCutButTracedWhole)
{
    std::string id = repeat('i', 100), longSpec = repeat('s', 3000), user = repeat('u', 6000);
    ASSERT_EQ(decode(newSession("", 0,
                                {{205, id.c_str()}, {209, longSpec.c_str()}, {218, user.c_str()},
                                 {210, user.c_str()}, {208, user.c_str()}, {225, "abc"},
                                 {226, " 42x"}, {154, "-7"}, {155, "99999999999"}},
                                1)),
              1);
    EXPECT_EQ(s.sessionId, id.substr(0, 63));
    EXPECT_EQ(s.sessionSpec, longSpec.substr(0, 2047));
    EXPECT_EQ(dn, user.substr(0, 4999));
    EXPECT_EQ(name, user.substr(0, 4999));
    EXPECT_EQ(ip, user.substr(0, 4999));
    EXPECT_EQ(std::vector<int>({s.idleTimeout, s.maxTimeout, s.startTime, s.lastTime}),
              std::vector<int>({0, 42, -7, 2147483647}));
    EXPECT_TRUE(logHas("   SESSIONID: " + id));
    EXPECT_TRUE(logHas("   SESSIONSPEC: " + longSpec));
    EXPECT_TRUE(logHas("   USERDN: " + user));
}

TEST_F(SessionTest, EmptyDuplicateAndUndecodableCookies)
{
    ASSERT_EQ(decode(newSession("uid=x", 0, {}, 1)), 1);
    EXPECT_TRUE(inOrder(log(), {"Cookie attributes:"}));
    EXPECT_STREQ(name, "<name>");
    EXPECT_STREQ(dn, "<dn>");
    EXPECT_STREQ(ip, "<ip>");
    EXPECT_EQ(s.startTime, 0);

    ASSERT_EQ(decode(newSession("", 0, {{218, "uid=a"}, {218, "uid=b"}}, 1)), 1);
    EXPECT_STREQ(dn, "uid=b");

    tf->clear();
    std::string cookie = newSession("uid=jdoe");
    cookie[0] = cookie[0] == 'a' ? 'b' : 'a';
    EXPECT_EQ(decode(cookie), 0);
    smagentForceResult(SMAGENT_FN_DECODE, 1, 1);
    EXPECT_EQ(decode(newSession("uid=jdoe")), 0);
    EXPECT_FALSE(logHas("Cookie attributes:"));
    EXPECT_STREQ(dn, "uid=b");
}

TEST_F(SessionTest, ValidationAndLogout)
{
    std::string longDn = repeat('d', 300);
    std::string cookie = newSession(longDn.substr(0, 255).c_str(), 60);
    ASSERT_EQ(decode(cookie), 1);
    EXPECT_EQ(validate(longDn.c_str()), 1); /* the user name is cut to 255 */
    EXPECT_EQ(validate("uid=other"), 0);
    for (int rc : {0, 2, 3, -1, -5}) {
        smagentForceResult(SMAGENT_FN_LOGIN, rc, 1);
        EXPECT_EQ(validate(longDn.c_str()), 0) << rc;
    }

    smagentForceResult(SMAGENT_FN_LOGOUT, 0, 1);
    agentCloseSession(ip, &s);
    smagentForceResult(SMAGENT_FN_LOGOUT, -5, 1);
    agentCloseSession(ip, &s);
    EXPECT_EQ(smagentSessionAlive(cookie.c_str()), 1);
    agentCloseSession(ip, &s);
    EXPECT_EQ(smagentSessionAlive(cookie.c_str()), 0);
    EXPECT_TRUE(inOrder(log(), {"Old session logout failed 0", "Old session logout failed -5",
                                "Old session logged out"}));
}

} // namespace
