/* The stand-in Agent API: the rules its answers follow. Decoding, forced
 * results and management replies are exercised through the scheme's tests. */
#include <gtest/gtest.h>

#include <string.h>
#include <string>

#include "smagent_control.h"

namespace {

const long T0 = 1700000000;

class AgentApiTest : public ::testing::Test {
protected:
    Sm_AgentApi_Server_t server = {};
    Sm_AgentApi_Init_t init = {SM_AGENTAPI_VERSION, "authkel", "s3cret", 0, 1, &server};
    void *h = NULL;

    void SetUp() override
    {
        smagentReset();
        smagentSetTime(T0);
        smagentAddAgent("authkel", "s3cret");
    }

    void TearDown() override
    {
        EXPECT_EQ(smagentOpenLists(), 0);
        smagentReset();
    }

    std::string session(int idle, int max)
    {
        SmAgentCtl_Session_t s = {"uid=jdoe", "jdoe", "10.1.2.3", idle, max, 0, NULL, 0};
        char cookie[64];
        EXPECT_EQ(smagentCreateSession(&s, cookie, sizeof cookie), 1);
        return cookie;
    }

    /* Decodes a token into rec (identifier and specification only). */
    int decode(const std::string &token, Sm_AgentApi_Session_t *rec)
    {
        int v, tp, count = 0, len = 4096;
        Sm_AgentApi_Attribute_t *list = NULL;
        int rc = Sm_AgentApi_DecodeSSOToken(h, token.c_str(), &v, &tp, &count, &list, 0, &len, NULL);
        for (int i = 0; rc == 0 && i < count; i++) {
            if (list[i].id == SM_AGENTAPI_ATTR_SESSIONID)
                strcpy(rec->sessionId, list[i].value);
            if (list[i].id == SM_AGENTAPI_ATTR_SESSIONSPEC)
                strcpy(rec->sessionSpec, list[i].value);
        }
        Sm_AgentApi_FreeAttributes(count, list);
        return rc;
    }

    int login(const char *user, Sm_AgentApi_Session_t *rec)
    {
        Sm_AgentApi_Resource_t res = {};
        Sm_AgentApi_Realm_t realm = {};
        Sm_AgentApi_Credentials_t cred = {};
        snprintf(cred.userName, sizeof cred.userName, "%s", user);
        int count = 0;
        Sm_AgentApi_Attribute_t *list = NULL;
        int rc = Sm_AgentApi_Login(h, "*", &res, &realm, &cred, rec, &count, &list);
        Sm_AgentApi_FreeAttributes(count, list);
        return rc;
    }
};

TEST_F(AgentApiTest, InitChecksRecordNameAndSecret)
{
    struct {
        void (*spoil)(Sm_AgentApi_Init_t *);
        int rc;
    } cases[] = {
        {[](Sm_AgentApi_Init_t *r) { r->version = 1023; }, SM_AGENTAPI_BAD_ARGUMENT},
        {[](Sm_AgentApi_Init_t *r) { r->serverCount = 0; }, SM_AGENTAPI_BAD_ARGUMENT},
        {[](Sm_AgentApi_Init_t *r) { r->servers = NULL; }, SM_AGENTAPI_BAD_ARGUMENT},
        {[](Sm_AgentApi_Init_t *r) { strcpy(r->sharedSecret, "S3cret"); }, SM_AGENTAPI_FAILURE},
        {[](Sm_AgentApi_Init_t *r) { strcpy(r->agentName, "other"); }, SM_AGENTAPI_FAILURE},
    };
    for (auto &c : cases) {
        Sm_AgentApi_Init_t bad = init;
        c.spoil(&bad);
        EXPECT_EQ(Sm_AgentApi_Init(&bad, &h), c.rc);
    }
    EXPECT_EQ(h, nullptr);
    ASSERT_EQ(Sm_AgentApi_Init(&init, &h), SM_AGENTAPI_SUCCESS);
    EXPECT_EQ(smagentLiveAgents(), 1);
    EXPECT_EQ(Sm_AgentApi_UnInit(&h), SM_AGENTAPI_SUCCESS);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(smagentLiveAgents(), 0);
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_INIT), 6);
}

TEST_F(AgentApiTest, LoginNeedsTheUserAndALiveSession)
{
    ASSERT_EQ(Sm_AgentApi_Init(&init, &h), SM_AGENTAPI_SUCCESS);
    std::string cookie = session(60, 300);
    Sm_AgentApi_Session_t rec = {}, other = {};
    ASSERT_EQ(decode(cookie, &rec), SM_AGENTAPI_SUCCESS);
    std::string tampered = cookie;
    tampered[31] = tampered[31] == '0' ? '1' : '0';
    EXPECT_EQ(decode(tampered, &other), SM_AGENTAPI_FAILURE);
    EXPECT_EQ(login("UID=JDOE", &rec), SM_AGENTAPI_NO);
    Sm_AgentApi_Session_t forged = rec;
    forged.sessionSpec[5] ^= 1;
    EXPECT_EQ(login("uid=jdoe", &forged), SM_AGENTAPI_NO);

    /* Idle time-out: 60 s idle is still alive, and each login renews. */
    for (long t : {60, 120}) {
        smagentSetTime(T0 + t);
        EXPECT_EQ(login("uid=jdoe", &rec), SM_AGENTAPI_YES);
        EXPECT_EQ(smagentSessionLastTime(cookie.c_str()), T0 + t);
    }
    smagentSetTime(T0 + 181);
    EXPECT_EQ(login("uid=jdoe", &rec), SM_AGENTAPI_NO);

    /* The maximum time-out holds however active the session is. */
    ASSERT_EQ(decode(session(60, 100), &other), SM_AGENTAPI_SUCCESS);
    smagentAdvanceTime(50);
    EXPECT_EQ(login("uid=jdoe", &other), SM_AGENTAPI_YES);
    smagentAdvanceTime(51);
    EXPECT_EQ(login("uid=jdoe", &other), SM_AGENTAPI_NO);

    /* Logout ends the session: its token no longer decodes. */
    EXPECT_EQ(Sm_AgentApi_Logout(h, "10.1.2.3", &rec), SM_AGENTAPI_YES);
    EXPECT_EQ(decode(cookie, &other), SM_AGENTAPI_FAILURE);
    EXPECT_EQ(Sm_AgentApi_Logout(h, "10.1.2.3", &rec), SM_AGENTAPI_NO);
    EXPECT_EQ(smagentSessionCount(), 1);
    Sm_AgentApi_UnInit(&h);
}

TEST_F(AgentApiTest, FreeingIsCheckedNotTrusted)
{
    ASSERT_EQ(Sm_AgentApi_Init(&init, &h), SM_AGENTAPI_SUCCESS);
    std::string cookie = session(0, 0);
    int v, tp, count = 0, len = 4096;
    Sm_AgentApi_Attribute_t *list = NULL;
    ASSERT_EQ(Sm_AgentApi_DecodeSSOToken(h, cookie.c_str(), &v, &tp, &count, &list, 0, &len, NULL), 0);
    EXPECT_EQ(smagentOpenLists(), 1);
    Sm_AgentApi_FreeAttributes(count - 1, list); /* wrong count: counted, freed whole */
    Sm_AgentApi_FreeAttributes(count, list);     /* twice: counted, not freed again */
    Sm_AgentApi_FreeAttributes(0, NULL);         /* nothing: fine */
    EXPECT_EQ(smagentBadFrees(), 2);
    Sm_AgentApi_UnInit(&h);
}

} // namespace

namespace {

/* A real library frees the agent at UnInit: every call that brings its
 * handle back stops the process, so a caller racing its own release fails
 * in every build. A handle the library never gave out is only refused. */
TEST_F(AgentApiTest, CallsWithAReleasedHandleAbort)
{
    ASSERT_EQ(Sm_AgentApi_Init(&init, &h), SM_AGENTAPI_SUCCESS);
    void *released = h;
    ASSERT_EQ(Sm_AgentApi_UnInit(&h), SM_AGENTAPI_SUCCESS);
    Sm_AgentApi_Session_t rec = {};
    Sm_AgentApi_ManageRequest_t req = {};
    int count = 0;
    Sm_AgentApi_Attribute_t *list = NULL;
    const char *why = "already given to Sm_AgentApi_UnInit";
    EXPECT_DEATH(Sm_AgentApi_Logout(released, "*", &rec), why);
    EXPECT_DEATH(Sm_AgentApi_DoManagement(released, &req, &count, &list), why);
    EXPECT_DEATH(Sm_AgentApi_UnInit(&released), why);
    h = released;
    EXPECT_DEATH(decode("x", &rec), why);
    EXPECT_DEATH(login("uid=jdoe", &rec), why);

    int unknown;
    EXPECT_EQ(Sm_AgentApi_Logout(&unknown, "*", &rec), SM_AGENTAPI_BAD_HANDLE);
    smagentReset(); /* forgets the released handle: then merely unknown */
    EXPECT_EQ(Sm_AgentApi_Logout(released, "*", &rec), SM_AGENTAPI_BAD_HANDLE);
    h = NULL;
}

} // namespace
