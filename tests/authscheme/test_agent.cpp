/* The agent module against the stand-in Agent API. */
#include "authtest.h"

#include <thread>

using namespace authtest;

namespace {

class AgentTest : public SchemeTest {
protected:
    Parameters p;

    int init(const char *params = "", const char *secret = "s3cret")
    {
        EXPECT_EQ(parseParameters(params, &p), 1);
        return agentInit(secret, &p);
    }

    int manageCount() { return smagentCallCount(SMAGENT_FN_DOMANAGEMENT); }

    int lastManageCode()
    {
        int code = -1;
        smagentLastManagement(&code, NULL, 0);
        return code;
    }
};

TEST_F(AgentTest, InitRecordAndProductReport)
{
    std::string name = repeat('a', 300), secret = repeat('s', 300);
    smagentAddAgent(name.substr(0, 255).c_str(), secret.substr(0, 255).c_str());
    ASSERT_EQ(init(("AGENT_NAME=" + name + ";PORT_AZ=1;PORT_AUTH=2;PORT_ACCT=3;DESCRIPTION=d")
                       .c_str(),
                   secret.c_str()),
              1);

    Sm_AgentApi_Init_t rec;
    Sm_AgentApi_Server_t srv;
    ASSERT_EQ(smagentLastInit(&rec, &srv), 1);
    EXPECT_EQ(rec.version, 1024);
    EXPECT_EQ(std::string(rec.agentName), name.substr(0, 255));
    EXPECT_EQ(std::string(rec.sharedSecret), secret.substr(0, 255));
    EXPECT_EQ(rec.failover, 0);
    EXPECT_EQ(rec.serverCount, 1);
    EXPECT_STREQ(srv.address, "127.0.0.1");
    EXPECT_EQ(srv.connMin, 1);
    EXPECT_EQ(srv.connMax, 1);
    EXPECT_EQ(srv.connStep, 1);
    EXPECT_EQ(srv.timeout, 75);
    EXPECT_EQ(srv.ports[0], 1);
    EXPECT_EQ(srv.ports[1], 2);
    EXPECT_EQ(srv.ports[2], 3);
    EXPECT_EQ(srv.slots[0], nullptr);

    int code;
    char data[512];
    ASSERT_EQ(smagentLastManagement(&code, data, sizeof data), 1);
    EXPECT_EQ(code, 3);
    EXPECT_EQ(std::string(data), ("Product=" + name).substr(0, 255));
    EXPECT_EQ(log(), (std::vector<std::string>{"Parameters: 'AGENT_NAME=" + name +
                                                   ";PORT_AZ=1;PORT_AUTH=2;PORT_ACCT=3;DESCRIPTION=d'",
                                               "Parameter AGENT_NAME: " + name,
                                               "Parameter PORT_AZ: 1", "Parameter PORT_AUTH: 2",
                                               "Parameter PORT_ACCT: 3", "Parameter DESCRIPTION: d",
                                               "agentInit",
                                               "Agent initialized (but may not be connected!)",
                                               "agentManage: OK. 0 attributes"}));
    agentRelease();
}

TEST_F(AgentTest, RefusedInitSendsNothing)
{
    EXPECT_EQ(init("", "wrong"), 0);
    EXPECT_TRUE(logHas("Agent initialization failed - bad agent name or shared secret"));
    EXPECT_FALSE(logHas("Agent initialized (but may not be connected!)"));
    EXPECT_EQ(manageCount(), 0);
    smagentForceResult(SMAGENT_FN_INIT, 1, 1);
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(manageCount(), 0);
    /* Nothing to release after refusals. */
    agentRelease();
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_UNINIT), 0);
}

TEST_F(AgentTest, ReleaseBeforeInitMakesNoCall)
{
    agentRelease();
    for (int fn = 0; fn < SMAGENT_FN_COUNT; fn++)
        EXPECT_EQ(smagentCallCount(fn), 0) << fn;
    ASSERT_EQ(init(), 1);
    agentRelease();
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_UNINIT), 1);
    EXPECT_EQ(smagentLiveAgents(), 0);
}

TEST_F(AgentTest, OneManagementRequestPer30Seconds)
{
    ASSERT_EQ(init(), 1); /* the report goes: nothing was sent before */
    EXPECT_EQ(manageCount(), 1);
    kt::clock::set(T0 + 29);
    agentManage(1, "");
    EXPECT_EQ(manageCount(), 1);
    kt::clock::set(T0 + 30);
    agentManage(1, "");
    EXPECT_EQ(manageCount(), 2);
    EXPECT_EQ(lastManageCode(), 1);
    /* Clock set back: nothing until it passes the last request + 30. */
    kt::clock::set(T0 + 5);
    agentManage(1, "");
    kt::clock::set(T0 + 59);
    agentManage(1, "");
    EXPECT_EQ(manageCount(), 2);
    kt::clock::set(T0 + 60);
    agentManage(1, "");
    EXPECT_EQ(manageCount(), 3);

    /* A failed request starts an interval too. */
    kt::clock::set(T0 + 90);
    smagentForceResult(SMAGENT_FN_DOMANAGEMENT, -1, 1);
    agentManage(1, "");
    kt::clock::set(T0 + 119);
    agentManage(1, "");
    EXPECT_EQ(manageCount(), 4);

    /* Re-initialisation within the interval sends no report. */
    agentRelease();
    ASSERT_EQ(init(), 1);
    EXPECT_EQ(manageCount(), 4);
    agentRelease();
}

TEST_F(AgentTest, DecodeCarriesTheCommandPoll)
{
    ASSERT_EQ(init(), 1);
    std::string cookie = newSession("uid=jdoe");
    Sm_AgentApi_Session_t s = {};
    char name[BUF_SIZE], dn[BUF_SIZE], ip[BUF_SIZE];
    kt::clock::set(T0 + 29);
    EXPECT_EQ(agentDecodeToken(cookie.c_str(), &s, name, dn, ip), 1);
    EXPECT_EQ(manageCount(), 1);
    kt::clock::set(T0 + 30);
    EXPECT_EQ(agentDecodeToken(cookie.c_str(), &s, name, dn, ip), 1);
    EXPECT_EQ(manageCount(), 2);
    int code;
    char data[8] = "junk";
    smagentLastManagement(&code, data, sizeof data);
    EXPECT_EQ(code, 1);
    EXPECT_STREQ(data, "");
    agentRelease();
}

TEST_F(AgentTest, EachManagementResultIsTraced)
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
        t += 30;
        kt::clock::set(t);
        int frees = smagentCallCount(SMAGENT_FN_FREE);
        smagentForceResult(SMAGENT_FN_DOMANAGEMENT, f.rc, 1);
        agentManage(1, "");
        EXPECT_TRUE(logHas(f.line)) << f.line;
        EXPECT_EQ(smagentCallCount(SMAGENT_FN_FREE), frees + 1) << f.rc;
    }

    for (int id = 190; id <= 198; id++)
        smagentQueueCommand(id, "");
    smagentQueueCommand(300, "");
    smagentQueueCommand(189, "");
    kt::clock::set(t + 30);
    tf->clear();
    smagentForceResult(SMAGENT_FN_DOMANAGEMENT, 1, 1); /* any other code is success */
    agentManage(1, "");
    EXPECT_EQ(log(), (std::vector<std::string>{
                         "agentManage: OK. 11 attributes",
                         "agentmanage: AGENT_KEY_UPDATE_NEXT",
                         "agentmanage: AGENT_KEY_UPDATE_LAST",
                         "agentmanage: AGENT_KEY_UPDATE_CURRENT",
                         "agentmanage: AGENT_KEY_UPDATE_PERSISTENT",
                         "agentmanage: CACHE_FLUSH_ALL",
                         "agentmanage: CACHE_FLUSH_ALL_USERS",
                         "agentmanage: CACHE_FLUSH_THIS_USER",
                         "agentmanage: CACHE_FLUSH_ALL_REALMS",
                         "agentmanage: CACHE_FLUSH_THIS_REALM",
                     }));
    agentRelease();
}

TEST_F(AgentTest, ConcurrentRequestsStayOnePerInterval)
{
    ASSERT_EQ(init(), 1);
    kt::clock::set(T0 + 45);
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; i++)
        threads.emplace_back([] {
            for (int j = 0; j < 50; j++)
                agentManage(1, "");
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(manageCount(), 2);
    agentRelease();
}

class DecodeTest : public AgentTest {
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

    int decode(const std::string &cookie)
    {
        return agentDecodeToken(cookie.c_str(), &s, name, dn, ip);
    }
};

TEST_F(DecodeTest, EveryIdentifierLandsInItsPlace)
{
    smagentSetTime(T0 - 100);
    std::string cookie =
        newSession("uid=jdoe,o=qx", 900, 7200, {{200, "laptop-7"}, {300, "other"}});
    ASSERT_EQ(decode(cookie), 1);
    EXPECT_EQ(s.startTime, T0 - 100);
    EXPECT_EQ(s.lastTime, T0 - 100);
    EXPECT_EQ(s.idleTimeout, 900);
    EXPECT_EQ(s.maxTimeout, 7200);
    EXPECT_EQ(strlen(s.sessionId), 32u);
    EXPECT_EQ(std::string(s.sessionSpec).compare(0, 5, "spec:"), 0);
    EXPECT_STREQ(name, "jdoe");
    EXPECT_STREQ(dn, "uid=jdoe,o=qx");
    EXPECT_STREQ(ip, "10.1.2.3");
    EXPECT_EQ(s.reason, 0); /* not the scheme's to set */
    EXPECT_EQ(s.state, 0);
    std::string start = std::to_string(T0 - 100);
    EXPECT_EQ(log(), (std::vector<std::string>{
                         "Cookie attributes:",
                         "   STARTSESSIONTIME: " + start,
                         "   LASTSESSIONTIME: " + start,
                         "   SESSIONID: " + std::string(s.sessionId),
                         "   CLIENTIP: 10.1.2.3",
                         "   SESSIONSPEC: " + std::string(s.sessionSpec),
                         "   USERNAME: jdoe",
                         "   USERDN: uid=jdoe,o=qx",
                         "   IDLESESSIONTIMEOUT: 900",
                         "   MAXSESSIONTIMEOUT: 7200",
                         "   DEVICENAME: laptop-7",
                         "   300: other",
                     }));
}

TEST_F(DecodeTest, OverlongValuesAreCutButTracedWhole)
{
    std::string id = repeat('i', 100), spec = repeat('s', 3000), user = repeat('u', 6000);
    ASSERT_EQ(decode(newSession("", 0, 0,
                                {{205, id.c_str()},
                                 {209, spec.c_str()},
                                 {218, user.c_str()},
                                 {210, user.c_str()},
                                 {208, user.c_str()},
                                 {225, "abc"},
                                 {226, " 42x"},
                                 {154, "-7"},
                                 {155, "99999999999"}},
                                1)),
              1);
    EXPECT_EQ(std::string(s.sessionId), id.substr(0, 63));
    EXPECT_EQ(std::string(s.sessionSpec), spec.substr(0, 2047));
    EXPECT_EQ(std::string(dn), user.substr(0, 4999));
    EXPECT_EQ(std::string(name), user.substr(0, 4999));
    EXPECT_EQ(std::string(ip), user.substr(0, 4999));
    EXPECT_EQ(s.idleTimeout, 0);
    EXPECT_EQ(s.maxTimeout, 42);
    EXPECT_EQ(s.startTime, -7);
    EXPECT_EQ(s.lastTime, 2147483647);
    EXPECT_TRUE(logHas("   SESSIONID: " + id));
    EXPECT_TRUE(logHas("   SESSIONSPEC: " + spec));
    EXPECT_TRUE(logHas("   USERDN: " + user));
}

TEST_F(DecodeTest, MissingAttributesLeaveOutputsAlone)
{
    ASSERT_EQ(decode(newSession("uid=x", 0, 0, {}, 1)), 1);
    EXPECT_EQ(log(), std::vector<std::string>{"Cookie attributes:"});
    EXPECT_STREQ(name, "<name>");
    EXPECT_STREQ(dn, "<dn>");
    EXPECT_STREQ(ip, "<ip>");
    EXPECT_EQ(s.startTime, 0);

    /* A later attribute with the same identifier wins. */
    ASSERT_EQ(decode(newSession("", 0, 0, {{218, "uid=a"}, {218, "uid=b"}}, 1)), 1);
    EXPECT_STREQ(dn, "uid=b");
}

TEST_F(DecodeTest, UndecodableCookie)
{
    std::string cookie = newSession("uid=jdoe");
    cookie[0] = cookie[0] == 'a' ? 'b' : 'a';
    EXPECT_EQ(decode(cookie), 0);
    EXPECT_EQ(decode(""), 0);
    smagentForceResult(SMAGENT_FN_DECODE, 1, 1);
    EXPECT_EQ(decode(newSession("uid=jdoe")), 0);
    EXPECT_FALSE(logHas("Cookie attributes:"));
    EXPECT_STREQ(dn, "<dn>");
}

TEST_F(DecodeTest, ValidationAnswersOtherThanOneAreInvalid)
{
    std::string cookie = newSession("uid=jdoe", 60);
    ASSERT_EQ(decode(cookie), 1);
    int count = 0;
    Sm_AgentApi_Attribute_t *list = NULL;
    ASSERT_EQ(agentValidate(&s, "uid=jdoe", &count, &list), 1);
    EXPECT_EQ(count, 2);
    agentFreeAttributes(count, list);
    for (int rc : {0, 2, 3, -1, -2, -5}) {
        smagentForceResult(SMAGENT_FN_LOGIN, rc, 1);
        count = 0;
        list = NULL;
        EXPECT_EQ(agentValidate(&s, "uid=jdoe", &count, &list), 0) << rc;
    }
    EXPECT_EQ(agentValidate(&s, "uid=other", &count, &list), 0);
    smagentAdvanceTime(61);
    EXPECT_EQ(agentValidate(&s, "uid=jdoe", &count, &list), 0);
}

TEST_F(DecodeTest, UserNameIsCutTo255ForValidation)
{
    std::string longDn = repeat('d', 300);
    std::string cookie = newSession(longDn.substr(0, 255).c_str());
    ASSERT_EQ(decode(cookie), 1);
    int count = 0;
    Sm_AgentApi_Attribute_t *list = NULL;
    EXPECT_EQ(agentValidate(&s, longDn.c_str(), &count, &list), 1);
    agentFreeAttributes(count, list);
}

TEST_F(DecodeTest, LogoutOutcomeIsTraced)
{
    std::string cookie = newSession("uid=jdoe");
    ASSERT_EQ(decode(cookie), 1);
    smagentForceResult(SMAGENT_FN_LOGOUT, 0, 1);
    agentCloseSession(ip, &s);
    smagentForceResult(SMAGENT_FN_LOGOUT, -5, 1);
    agentCloseSession(ip, &s);
    EXPECT_EQ(smagentSessionAlive(cookie.c_str()), 1);
    agentCloseSession(ip, &s);
    EXPECT_EQ(smagentSessionAlive(cookie.c_str()), 0);
    agentCloseSession(ip, &s);
    EXPECT_TRUE(inOrder(log(), {"Old session logout failed 0", "Old session logout failed -5",
                                "Old session logged out", "Old session logout failed 2"}));
}

TEST_F(AgentTest, MissingLibraryFailsInitAndIsRetried)
{
    agentSetLibraryPath("/nonexistent/libsmagentapi.so");
    agentTestReset();
    EXPECT_EQ(init(), 0);
    std::string prefix = "Cannot load Agent API library /nonexistent/libsmagentapi.so: ";
    bool found = false;
    for (const std::string &line : log())
        if (line.compare(0, prefix.size(), prefix) == 0) {
            found = true;
            EXPECT_NE(line.find("No such file"), std::string::npos) << line;
        }
    EXPECT_TRUE(found);
    /* Without the library nothing is decoded, validated or released. */
    Sm_AgentApi_Session_t s = {};
    char a[BUF_SIZE], b[BUF_SIZE], c[BUF_SIZE];
    EXPECT_EQ(agentDecodeToken("x", &s, a, b, c), 0);
    agentRelease();
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_INIT), 0);

    agentSetLibraryPath(AGENTAPI_PATH);
    EXPECT_EQ(init(), 1);
    agentRelease();
}

} // namespace
