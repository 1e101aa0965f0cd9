#include <gtest/gtest.h>

#include <string.h>
#include <string>
#include <thread>
#include <vector>

#include "smagent_control.h"

namespace {

const long T0 = 1700000000;

class AgentApiTest : public ::testing::Test {
protected:
    Sm_AgentApi_Server_t server;
    Sm_AgentApi_Init_t init;

    void SetUp() override
    {
        smagentReset();
        smagentSetTime(T0);
        smagentAddAgent("authkel", "s3cret");
        memset(&server, 0, sizeof server);
        strcpy(server.address, "127.0.0.1");
        server.ports[0] = 44443;
        server.ports[1] = 44442;
        server.ports[2] = 44441;
        memset(&init, 0, sizeof init);
        init.version = SM_AGENTAPI_VERSION;
        strcpy(init.agentName, "authkel");
        strcpy(init.sharedSecret, "s3cret");
        init.serverCount = 1;
        init.servers = &server;
    }

    void TearDown() override
    {
        EXPECT_EQ(smagentOpenLists(), 0);
        EXPECT_EQ(smagentBadFrees(), 0);
        smagentReset();
    }

    void *start()
    {
        void *handle = NULL;
        EXPECT_EQ(Sm_AgentApi_Init(&init, &handle), SM_AGENTAPI_SUCCESS);
        EXPECT_NE(handle, nullptr);
        return handle;
    }

    std::string session(const char *dn, int idle = 0, int max = 0,
                        std::vector<SmAgentCtl_Attr_t> extras = {}, int extrasOnly = 0)
    {
        SmAgentCtl_Session_t s = {dn, "jdoe", "10.1.2.3", idle, max, (int)extras.size(),
                                  extras.data(), extrasOnly};
        char cookie[64];
        EXPECT_EQ(smagentCreateSession(&s, cookie, sizeof cookie), 1);
        return cookie;
    }

    /* Decodes a token into (id, value) pairs and a session record. */
    int decode(void *h, const std::string &token, std::vector<std::pair<int, std::string>> *out,
               Sm_AgentApi_Session_t *rec = NULL)
    {
        int v = 0, tp = 0, count = 0, len = 4096;
        Sm_AgentApi_Attribute_t *list = NULL;
        int rc = Sm_AgentApi_DecodeSSOToken(h, token.c_str(), &v, &tp, &count, &list, 0, &len,
                                            NULL);
        if (rc != SM_AGENTAPI_SUCCESS)
            return rc;
        if (rec != NULL)
            memset(rec, 0, sizeof *rec);
        for (int i = 0; i < count; i++) {
            if (out != NULL)
                out->emplace_back(list[i].id, list[i].value);
            if (rec != NULL && list[i].id == SM_AGENTAPI_ATTR_SESSIONID)
                strcpy(rec->sessionId, list[i].value);
            if (rec != NULL && list[i].id == SM_AGENTAPI_ATTR_SESSIONSPEC)
                strcpy(rec->sessionSpec, list[i].value);
        }
        Sm_AgentApi_FreeAttributes(count, list);
        return rc;
    }

    int login(void *h, const char *user, Sm_AgentApi_Session_t *rec)
    {
        Sm_AgentApi_Resource_t res = {};
        Sm_AgentApi_Realm_t realm = {};
        Sm_AgentApi_Credentials_t cred = {};
        int count = 0;
        Sm_AgentApi_Attribute_t *list = NULL;
        snprintf(cred.userName, sizeof cred.userName, "%s", user);
        int rc = Sm_AgentApi_Login(h, "*", &res, &realm, &cred, rec, &count, &list);
        Sm_AgentApi_FreeAttributes(count, list);
        return rc;
    }
};

TEST_F(AgentApiTest, InitChecksRecordNameAndSecret)
{
    void *handle = NULL;
    init.version = 1023;
    EXPECT_EQ(Sm_AgentApi_Init(&init, &handle), SM_AGENTAPI_BAD_ARGUMENT);
    init.version = SM_AGENTAPI_VERSION;
    init.serverCount = 0;
    EXPECT_EQ(Sm_AgentApi_Init(&init, &handle), SM_AGENTAPI_BAD_ARGUMENT);
    init.serverCount = 1;
    init.servers = NULL;
    EXPECT_EQ(Sm_AgentApi_Init(&init, &handle), SM_AGENTAPI_BAD_ARGUMENT);
    init.servers = &server;
    EXPECT_EQ(Sm_AgentApi_Init(NULL, &handle), SM_AGENTAPI_BAD_ARGUMENT);
    strcpy(init.sharedSecret, "S3cret");
    EXPECT_EQ(Sm_AgentApi_Init(&init, &handle), SM_AGENTAPI_FAILURE);
    strcpy(init.sharedSecret, "s3cret");
    strcpy(init.agentName, "other");
    EXPECT_EQ(Sm_AgentApi_Init(&init, &handle), SM_AGENTAPI_FAILURE);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(smagentLiveAgents(), 0);

    strcpy(init.agentName, "authkel");
    handle = start();
    EXPECT_EQ(smagentLiveAgents(), 1);
    EXPECT_EQ(Sm_AgentApi_UnInit(&handle), SM_AGENTAPI_SUCCESS);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(smagentLiveAgents(), 0);
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_INIT), 7);
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_UNINIT), 1);
}

TEST_F(AgentApiTest, InitRecordIsKeptForInspection)
{
    Sm_AgentApi_Init_t got;
    Sm_AgentApi_Server_t srv;
    EXPECT_EQ(smagentLastInit(&got, &srv), 0);
    init.failover = 7;
    void *h = start();
    ASSERT_EQ(smagentLastInit(&got, &srv), 1);
    EXPECT_STREQ(got.agentName, "authkel");
    EXPECT_STREQ(got.sharedSecret, "s3cret");
    EXPECT_EQ(got.version, SM_AGENTAPI_VERSION);
    EXPECT_EQ(got.failover, 7);
    EXPECT_EQ(got.serverCount, 1);
    EXPECT_EQ(got.servers, nullptr);
    EXPECT_STREQ(srv.address, "127.0.0.1");
    EXPECT_EQ(srv.ports[1], 44442);
    Sm_AgentApi_UnInit(&h);
}

TEST_F(AgentApiTest, ForcedResultsReplaceTheWorkForTheirCount)
{
    void *handle = NULL;
    smagentForceResult(SMAGENT_FN_INIT, 1, 1);
    EXPECT_EQ(Sm_AgentApi_Init(&init, &handle), 1);
    EXPECT_EQ(handle, nullptr);
    handle = start(); /* used up */

    smagentForceResult(SMAGENT_FN_LOGIN, -1, -1);
    Sm_AgentApi_Session_t rec = {};
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(login(handle, "x", &rec), -1);
    smagentForceResult(SMAGENT_FN_LOGIN, 0, 0);
    EXPECT_EQ(login(handle, "x", &rec), SM_AGENTAPI_NO);
    Sm_AgentApi_UnInit(&handle);
}

TEST_F(AgentApiTest, DecodeGivesTheSessionAttributesThenTheExtras)
{
    void *h = start();
    std::string cookie = session("uid=jdoe,o=qx", 600, 3600,
                                 {{SM_AGENTAPI_ATTR_DEVICENAME, "pc-7"}, {300, "x"}});
    std::vector<std::pair<int, std::string>> attrs;
    ASSERT_EQ(decode(h, cookie, &attrs), SM_AGENTAPI_SUCCESS);
    std::vector<int> ids;
    for (auto &a : attrs)
        ids.push_back(a.first);
    EXPECT_EQ(ids, (std::vector<int>{154, 155, 205, 208, 209, 210, 218, 225, 226, 200, 300}));
    EXPECT_EQ(attrs[0].second, std::to_string(T0));
    EXPECT_EQ(attrs[3].second, "10.1.2.3");
    EXPECT_EQ(attrs[5].second, "jdoe");
    EXPECT_EQ(attrs[6].second, "uid=jdoe,o=qx");
    EXPECT_EQ(attrs[7].second, "600");
    EXPECT_EQ(attrs[8].second, "3600");
    EXPECT_EQ(attrs[9].second, "pc-7");

    attrs.clear();
    std::string bare = session("uid=a", 0, 0, {{218, "uid=b"}}, 1);
    ASSERT_EQ(decode(h, bare, &attrs), SM_AGENTAPI_SUCCESS);
    EXPECT_EQ(attrs, (std::vector<std::pair<int, std::string>>{{218, "uid=b"}}));
    attrs.clear();
    ASSERT_EQ(decode(h, session("uid=a", 0, 0, {}, 1), &attrs), SM_AGENTAPI_SUCCESS);
    EXPECT_TRUE(attrs.empty());
    Sm_AgentApi_UnInit(&h);
}

TEST_F(AgentApiTest, OnlyIssuedTokensDecode)
{
    void *h = start();
    std::string cookie = session("uid=jdoe");
    EXPECT_EQ(cookie.size(), 32u);
    EXPECT_NE(session("uid=jdoe"), cookie);
    std::string tampered = cookie;
    tampered[31] = tampered[31] == '0' ? '1' : '0';
    EXPECT_EQ(decode(h, tampered, NULL), SM_AGENTAPI_FAILURE);
    EXPECT_EQ(decode(h, cookie + "x", NULL), SM_AGENTAPI_FAILURE);
    EXPECT_EQ(decode(h, "", NULL), SM_AGENTAPI_FAILURE);
    EXPECT_EQ(decode(h, cookie, NULL), SM_AGENTAPI_SUCCESS);
    /* Not through a handle that was closed. */
    void *stale = h;
    Sm_AgentApi_UnInit(&h);
    EXPECT_EQ(decode(stale, cookie, NULL), SM_AGENTAPI_BAD_HANDLE);
}

TEST_F(AgentApiTest, LoginNeedsTheSessionsUserAndALiveSession)
{
    void *h = start();
    std::string cookie = session("uid=jdoe", 60, 300);
    Sm_AgentApi_Session_t rec;
    ASSERT_EQ(decode(h, cookie, NULL, &rec), SM_AGENTAPI_SUCCESS);

    EXPECT_EQ(login(h, "uid=other", &rec), SM_AGENTAPI_NO);
    EXPECT_EQ(login(h, "UID=JDOE", &rec), SM_AGENTAPI_NO);
    Sm_AgentApi_Session_t forged = rec;
    forged.sessionSpec[5] ^= 1;
    EXPECT_EQ(login(h, "uid=jdoe", &forged), SM_AGENTAPI_NO);

    /* Idle time-out: exactly 60 s idle is still alive; activity renews. */
    smagentSetTime(T0 + 60);
    EXPECT_EQ(login(h, "uid=jdoe", &rec), SM_AGENTAPI_YES);
    EXPECT_EQ(smagentSessionLastTime(cookie.c_str()), T0 + 60);
    smagentSetTime(T0 + 120);
    EXPECT_EQ(login(h, "uid=jdoe", &rec), SM_AGENTAPI_YES);
    smagentSetTime(T0 + 181);
    EXPECT_EQ(login(h, "uid=jdoe", &rec), SM_AGENTAPI_NO);

    /* Maximum time-out holds however active the session is. */
    std::string busy = session("uid=jdoe", 60, 100);
    ASSERT_EQ(decode(h, busy, NULL, &rec), SM_AGENTAPI_SUCCESS);
    for (long t = 50; t <= 100; t += 50) {
        smagentSetTime(T0 + 181 + t);
        EXPECT_EQ(login(h, "uid=jdoe", &rec), SM_AGENTAPI_YES) << t;
    }
    smagentAdvanceTime(1);
    EXPECT_EQ(login(h, "uid=jdoe", &rec), SM_AGENTAPI_NO);
    Sm_AgentApi_UnInit(&h);
}

TEST_F(AgentApiTest, LogoutEndsTheSessionAndItsToken)
{
    void *h = start();
    std::string cookie = session("uid=jdoe");
    std::string other = session("uid=jdoe");
    Sm_AgentApi_Session_t rec;
    ASSERT_EQ(decode(h, cookie, NULL, &rec), SM_AGENTAPI_SUCCESS);
    EXPECT_EQ(Sm_AgentApi_Logout(h, "10.1.2.3", &rec), SM_AGENTAPI_YES);
    EXPECT_EQ(smagentSessionAlive(cookie.c_str()), 0);
    EXPECT_EQ(smagentSessionAlive(other.c_str()), 1);
    EXPECT_EQ(decode(h, cookie, NULL), SM_AGENTAPI_FAILURE);
    EXPECT_EQ(login(h, "uid=jdoe", &rec), SM_AGENTAPI_NO);
    EXPECT_EQ(Sm_AgentApi_Logout(h, "10.1.2.3", &rec), SM_AGENTAPI_NO);
    EXPECT_EQ(smagentSessionCount(), 1);
    Sm_AgentApi_UnInit(&h);
}

TEST_F(AgentApiTest, ManagementHandsOutQueuedCommandsOnce)
{
    void *h = start();
    Sm_AgentApi_ManageRequest_t req = {};
    req.code = SM_AGENTAPI_MANAGE_AGENT_INFO;
    strcpy(req.data, "Product=authkel");
    int count = -1;
    Sm_AgentApi_Attribute_t *list = (Sm_AgentApi_Attribute_t *)&req;

    EXPECT_EQ(Sm_AgentApi_DoManagement(h, &req, &count, &list), SM_AGENTAPI_SUCCESS);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(list, nullptr);
    Sm_AgentApi_FreeAttributes(count, list);
    int code = 0;
    char data[8];
    ASSERT_EQ(smagentLastManagement(&code, data, sizeof data), 1);
    EXPECT_EQ(code, 3);
    EXPECT_STREQ(data, "Product");

    smagentQueueCommand(SM_AGENTAPI_CMD_CACHE_FLUSH_ALL, "");
    smagentQueueCommand(SM_AGENTAPI_CMD_KEY_UPDATE_NEXT, "k");
    req.code = SM_AGENTAPI_MANAGE_GET_COMMANDS;
    /* A failed request keeps the commands for the next one. */
    for (int failure : {-3, -1, -2, 2}) {
        smagentForceResult(SMAGENT_FN_DOMANAGEMENT, failure, 1);
        EXPECT_EQ(Sm_AgentApi_DoManagement(h, &req, &count, &list), failure);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(list, nullptr);
    }
    smagentForceResult(SMAGENT_FN_DOMANAGEMENT, 1, 1);
    EXPECT_EQ(Sm_AgentApi_DoManagement(h, &req, &count, &list), 1);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(list[0].id, 194);
    EXPECT_EQ(list[1].id, 190);
    EXPECT_STREQ(list[1].value, "k");
    Sm_AgentApi_FreeAttributes(count, list);
    EXPECT_EQ(Sm_AgentApi_DoManagement(h, &req, &count, &list), SM_AGENTAPI_SUCCESS);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_DOMANAGEMENT), 7);
    Sm_AgentApi_UnInit(&h);
    EXPECT_EQ(Sm_AgentApi_DoManagement(h, &req, &count, &list), SM_AGENTAPI_NOCONNECTION);
}

TEST_F(AgentApiTest, FreeingIsCheckedNotTrusted)
{
    void *h = start();
    std::string cookie = session("uid=jdoe");
    int v, tp, count = 0, len = 4096;
    Sm_AgentApi_Attribute_t *list = NULL;
    ASSERT_EQ(Sm_AgentApi_DecodeSSOToken(h, cookie.c_str(), &v, &tp, &count, &list, 0, &len, NULL),
              0);
    EXPECT_EQ(smagentOpenLists(), 1);
    Sm_AgentApi_FreeAttributes(count, list);
    EXPECT_EQ(smagentOpenLists(), 0);
    Sm_AgentApi_FreeAttributes(count, list); /* twice: counted, not freed again */
    Sm_AgentApi_FreeAttributes(0, NULL);     /* nothing: fine */
    EXPECT_EQ(smagentBadFrees(), 1);
    ASSERT_EQ(Sm_AgentApi_DecodeSSOToken(h, cookie.c_str(), &v, &tp, &count, &list, 0, &len, NULL),
              0);
    Sm_AgentApi_FreeAttributes(count - 1, list); /* wrong count: still freed whole */
    EXPECT_EQ(smagentBadFrees(), 2);
    EXPECT_EQ(smagentOpenLists(), 0);
    smagentReset();
    Sm_AgentApi_UnInit(&h);
}

TEST_F(AgentApiTest, ManyThreadsAtOnce)
{
    void *h = start();
    std::vector<std::string> cookies;
    for (int i = 0; i < 4; i++)
        cookies.push_back(session("uid=jdoe", 600, 0));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; i++) {
                Sm_AgentApi_Session_t rec;
                ASSERT_EQ(decode(h, cookies[t], NULL, &rec), SM_AGENTAPI_SUCCESS);
                EXPECT_EQ(login(h, "uid=jdoe", &rec), SM_AGENTAPI_YES);
                Sm_AgentApi_ManageRequest_t req = {};
                int count;
                Sm_AgentApi_Attribute_t *list;
                Sm_AgentApi_DoManagement(h, &req, &count, &list);
                Sm_AgentApi_FreeAttributes(count, list);
                smagentQueueCommand(195, "");
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_DECODE), 400);
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_LOGIN), 400);
    Sm_AgentApi_UnInit(&h);
}

} // namespace
