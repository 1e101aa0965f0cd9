/* SmAuthInit, SmAuthRelease and SmAuthenticate end to end through the
 * stand-in Agent API. */
#include "authtest.h"

#include <atomic>
#include <thread>

using namespace authtest;

namespace {

const char *const USER = "uid=jdoe,ou=people,o=qx";
const int ACCEPT = 2;
const int BAD_INPUT = 0x260001;
const int BAD_COOKIE = 0x80003;
const int BAD_SESSION = 0x20003;
const int BAD_LEVEL = 0x50003;
const int BAD_PIN = 3;
const int DISAMBIGUATE = 6;

class FlowTest : public SchemeTest {
protected:
    FakeUser user;
    char userMsg[100];
    char errMsg[100];

    void SetUp() override
    {
        SchemeTest::SetUp();
        user.attrs["authlevel"] = "2";
        user.attrs["pin"] = "pin-4711";
    }

    void TearDown() override
    {
        while (smauthkelInitCount() > 0)
            SmAuthRelease(NULL, NULL);
        SchemeTest::TearDown();
    }

    int authenticate(const std::string &params, const std::string &password,
                     const char *name = USER, bool identified = true, int userSize = 100,
                     int errSize = 100)
    {
        Sm_Api_UserContext_t ctx = userContext(name, &user, identified);
        Sm_Api_UserCredentials_t cred = {"jdoe", password.c_str()};
        memset(userMsg, '#', sizeof userMsg);
        memset(errMsg, '#', sizeof errMsg);
        return SmAuthenticate(NULL, &ctx, &cred, NULL, params.c_str(), NULL, userSize, userMsg,
                              errSize, errMsg);
    }

    void expectNoMessages()
    {
        EXPECT_STREQ(userMsg, "");
        EXPECT_STREQ(errMsg, "");
    }
};

class OutcomeTest : public FlowTest {
protected:
    void SetUp() override
    {
        FlowTest::SetUp();
        ASSERT_EQ(SmAuthInit("", "s3cret"), 0);
        kt::clock::advance(30); /* past the report: each login polls once */
    }
};

TEST_F(OutcomeTest, InvalidParameters)
{
    std::string cookie = newSession(USER);
    EXPECT_EQ(authenticate("BOGUS=1", cookie), BAD_INPUT);
    EXPECT_STREQ(userMsg, "Invalid KEL authentication scheme parameters");
    EXPECT_STREQ(errMsg, "Invalid KEL authentication scheme parameters");
    EXPECT_TRUE(logHas("Parameter BOGUS: not recognized"));
    /* Parsing comes before the phase. */
    EXPECT_EQ(authenticate("MIN_LEVEL=9", cookie, USER, false), BAD_INPUT);
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_DECODE), 0);
}

TEST_F(OutcomeTest, DisambiguationPhase)
{
    EXPECT_EQ(authenticate("USE_PIN=yes", "no-semicolon", USER, false), DISAMBIGUATE);
    expectNoMessages();
    EXPECT_TRUE(logHas("... Disambiguate user"));
    EXPECT_FALSE(logHas("Posted PIN/cookie: ';' missing"));
    EXPECT_FALSE(logHas("... Authenticate"));
    EXPECT_TRUE(user.asked.empty());
}

TEST_F(OutcomeTest, PostedTextNotSplit)
{
    struct {
        std::string password;
        const char *reason;
    } cases[] = {
        {"pin-4711" + newSession(USER), "Posted PIN/cookie: ';' missing"},
        {repeat('1', 5000) + ";x", "Posted PIN too long"},
        {"pin-4711;" + repeat('c', 5000), "Posted cookie too long"},
    };
    for (auto &c : cases) {
        EXPECT_EQ(authenticate("USE_PIN=yes", c.password), BAD_INPUT) << c.reason;
        EXPECT_STREQ(userMsg, "Invalid PIN/cookie in 'password'");
        EXPECT_STREQ(errMsg, c.reason);
        EXPECT_TRUE(logHas(c.reason));
    }
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_DECODE), 0);
}

TEST_F(OutcomeTest, CookieNotDecoded)
{
    std::string cookie = newSession(USER);
    EXPECT_EQ(authenticate("", cookie.substr(1)), BAD_COOKIE);
    expectNoMessages();
    EXPECT_TRUE(logHas("Cookie cannot be decoded"));
    /* An empty cookie after the PIN. */
    EXPECT_EQ(authenticate("USE_PIN=yes", "pin-4711;"), BAD_COOKIE);
    expectNoMessages();
}

TEST_F(OutcomeTest, CookieOfAnotherUser)
{
    EXPECT_EQ(authenticate("", newSession("UID=JDOE,OU=PEOPLE,O=QX")), BAD_SESSION);
    expectNoMessages();
    EXPECT_TRUE(logHas("User name does not match"));
    /* No user DN in the cookie: empty does not match the user. */
    EXPECT_EQ(authenticate("", newSession(USER, 0, 0, {{210, USER}}, 1)), BAD_SESSION);
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_LOGIN), 0);
}

TEST_F(OutcomeTest, SessionNotValid)
{
    std::string cookie = newSession(USER, 60);
    smagentAdvanceTime(61);
    EXPECT_EQ(authenticate("", cookie), BAD_SESSION);
    expectNoMessages();
    EXPECT_TRUE(inOrder(log(), {"User name matches", "Session not valid"}));
    for (int rc : {2, -1}) {
        smagentForceResult(SMAGENT_FN_LOGIN, rc, 1);
        EXPECT_EQ(authenticate("", newSession(USER)), BAD_SESSION) << rc;
    }
    /* The level is read for the trace only, never checked. */
    EXPECT_EQ(user.timesAsked("authlevel"), 3);
}

TEST_F(OutcomeTest, LevelOutOfBounds)
{
    user.attrs["authlevel"] = "4";
    EXPECT_EQ(authenticate("", newSession(USER)), BAD_LEVEL);
    expectNoMessages();
    EXPECT_TRUE(inOrder(log(), {"Session valid", "Auth level not valid"}));
    /* The level decides before the PIN. */
    user.attrs["pin"] = "other";
    EXPECT_EQ(authenticate("USE_PIN=yes", "pin-4711;" + newSession(USER)), BAD_LEVEL);
    EXPECT_EQ(authenticate("USE_PIN=yes;MAX_LEVEL=4", "pin-4711;" + newSession(USER)), BAD_PIN);
}

TEST_F(OutcomeTest, WrongPin)
{
    std::string cookie = newSession(USER);
    EXPECT_EQ(authenticate("USE_PIN=yes", "pin-4712;" + cookie), BAD_PIN);
    expectNoMessages();
    EXPECT_TRUE(logHas("Incorrect PIN"));
    /* Refusals leave the old session alone. */
    EXPECT_EQ(smagentSessionAlive(cookie.c_str()), 1);
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_LOGOUT), 0);
}

TEST_F(OutcomeTest, AcceptedLoginLogsTheOldSessionOut)
{
    std::string cookie = newSession(USER);
    EXPECT_EQ(authenticate("USE_PIN=yes", "pin-4711;" + cookie), ACCEPT);
    expectNoMessages();
    EXPECT_TRUE(inOrder(log(), {"User authenticated OK", "Old session logged out"}));
    EXPECT_EQ(smagentSessionAlive(cookie.c_str()), 0);
    EXPECT_EQ(authenticate("USE_PIN=yes", "pin-4711;" + cookie), BAD_COOKIE);

    /* A failed logout changes nothing in the answer. */
    cookie = newSession(USER);
    smagentForceResult(SMAGENT_FN_LOGOUT, -5, 1);
    EXPECT_EQ(authenticate("", cookie), ACCEPT);
    EXPECT_TRUE(logHas("Old session logout failed -5"));
    EXPECT_EQ(smagentSessionAlive(cookie.c_str()), 1);
}

TEST_F(OutcomeTest, TraceOfAnAcceptedLogin)
{
    std::string cookie = newSession(USER);
    tf->clear();
    EXPECT_EQ(authenticate("USE_PIN=yes", "pin-4711;" + cookie), ACCEPT);
    EXPECT_TRUE(inOrder(log(), {
                                   "Authenticate",
                                   "Parameters: 'USE_PIN=yes'",
                                   "Parameter USE_PIN: yes",
                                   "Credentials.user: jdoe",
                                   "... Authenticate",
                                   "User context:",
                                   std::string("   UserName: ") + USER,
                                   "   UserPath: ou=people,o=qx",
                                   "   DirPath: ldap://dir.qx",
                                   "   DirServer: dir.qx:389",
                                   "   DirNamespace: LDAP:",
                                   "   SessionId: host-session-1",
                                   "User attributes:",
                                   "   authlevel: 2",
                                   "agentManage: OK. 0 attributes",
                                   "Cookie attributes:",
                                   std::string("   USERDN: ") + USER,
                                   "User name matches",
                                   "Session valid",
                                   "User authenticated OK",
                                   "Old session logged out",
                               }));
    /* Secrets stay out of a level 5 trace. */
    for (const std::string &line : log()) {
        EXPECT_EQ(line.find(cookie), std::string::npos) << line;
        EXPECT_EQ(line.find("4711"), std::string::npos) << line;
    }
}

TEST_F(OutcomeTest, SecretsAtSecureLevel)
{
    setLevel(10);
    std::string cookie = newSession(USER);
    EXPECT_EQ(authenticate("USE_PIN=yes", "pin-4711;" + cookie), ACCEPT);
    EXPECT_TRUE(inOrder(log(), {"Credentials.password: pin-4711;" + cookie, "   pin: pin-4711",
                                "Posted PIN pin-4711",
                                "checkPin: entered 'pin-4711' stored 'pin-4711'"}));
}

TEST_F(OutcomeTest, WithoutPinTheWholeFieldIsTheCookie)
{
    std::string cookie = newSession(USER);
    user.attrs.erase("pin");
    EXPECT_EQ(authenticate("", cookie), ACCEPT);
    EXPECT_EQ(user.timesAsked("pin"), 0);
    EXPECT_FALSE(logHas("Incorrect PIN"));

    /* An overlong field is cut to 4999 characters without a message. */
    EXPECT_EQ(authenticate("", repeat('c', 6000)), BAD_COOKIE);
    expectNoMessages();
    int length = 0;
    ASSERT_EQ(smagentLastToken(NULL, 0, &length), 1);
    EXPECT_EQ(length, 4999);
}

TEST_F(OutcomeTest, MessagesStayInsideTheHostsBuffers)
{
    EXPECT_EQ(authenticate("BOGUS=1", "x", USER, true, 10, 0), BAD_INPUT);
    EXPECT_STREQ(userMsg, "Invalid K");
    EXPECT_EQ(userMsg[10], '#');
    EXPECT_EQ(errMsg[0], '#');
    EXPECT_EQ(authenticate("USE_PIN=yes", "x", USER, true, -1, 7), BAD_INPUT);
    EXPECT_EQ(userMsg[0], '#');
    EXPECT_STREQ(errMsg, "Posted");
    EXPECT_EQ(errMsg[7], '#');
    /* 45 characters hold the longest message whole. */
    EXPECT_EQ(authenticate("BOGUS=1", "x", USER, true, 45, 45), BAD_INPUT);
    EXPECT_STREQ(errMsg, "Invalid KEL authentication scheme parameters");
}

/* ---- Initialisation and release ---------------------------------------- */

class LifecycleTest : public FlowTest {};

TEST_F(LifecycleTest, SecondInitSharesTheAgent)
{
    EXPECT_EQ(SmAuthInit("", "s3cret"), 0);
    EXPECT_TRUE(inOrder(log(), {"Init: param ''", "agentInit"}));
    EXPECT_EQ(SmAuthInit("AGENT_NAME=other;PORT_AZ=1", "nope"), 0);
    EXPECT_TRUE(logHas("Already initialised! initCount=2"));
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_INIT), 1);
    Sm_AgentApi_Init_t rec;
    smagentLastInit(&rec, NULL);
    EXPECT_STREQ(rec.agentName, "authkel");
    EXPECT_EQ(smauthkelInitCount(), 2);
}

TEST_F(LifecycleTest, FailedInitLeavesTheCount)
{
    EXPECT_EQ(SmAuthInit("MIN_LEVEL=x", "s3cret"), 1);
    EXPECT_EQ(smauthkelInitCount(), 0);
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_INIT), 0);
    EXPECT_EQ(SmAuthInit("", "wrong"), 1);
    EXPECT_EQ(smauthkelInitCount(), 0);
    EXPECT_EQ(SmAuthInit("", "s3cret"), 0); /* tried again */
    EXPECT_EQ(smauthkelInitCount(), 1);
    EXPECT_EQ(SmAuthInit("MIN_LEVEL=x", "s3cret"), 1);
    EXPECT_EQ(smauthkelInitCount(), 1);
}

TEST_F(LifecycleTest, ReleaseOrder)
{
    EXPECT_EQ(SmAuthRelease(NULL, NULL), 0);
    EXPECT_TRUE(inOrder(log(), {"AuthRelease", "Ignoring call! initCount=0"}));
    ASSERT_EQ(SmAuthInit("", "s3cret"), 0);
    ASSERT_EQ(SmAuthInit("", "s3cret"), 0);
    EXPECT_EQ(SmAuthRelease(NULL, NULL), 0);
    EXPECT_TRUE(logHas("Not releasing yet! initCount=1"));
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_UNINIT), 0);
    EXPECT_EQ(SmAuthRelease(NULL, NULL), 0);
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_UNINIT), 1);
    EXPECT_EQ(smagentLiveAgents(), 0);
    EXPECT_EQ(smauthkelInitCount(), 0);

    /* The log was closed: once the open gate allows, the next line goes to
     * a fresh file rather than to the removed one. */
    remove(tf->logPath().c_str());
    kt::clock::advance(2);
    trace(TRACE_1, "after release");
    EXPECT_EQ(log(), std::vector<std::string>{"after release"});

    /* A new first init starts a new agent. */
    EXPECT_EQ(SmAuthInit("", "s3cret"), 0);
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_INIT), 2);
}

TEST_F(LifecycleTest, ConcurrentInitAndRelease)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([] {
            for (int i = 0; i < 50; i++) {
                EXPECT_EQ(SmAuthInit("", "s3cret"), 0);
                EXPECT_LE(smagentLiveAgents(), 1);
                EXPECT_EQ(SmAuthRelease(NULL, NULL), 0);
            }
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(smauthkelInitCount(), 0);
    EXPECT_EQ(smagentLiveAgents(), 0);
    EXPECT_GE(smagentCallCount(SMAGENT_FN_INIT), 1);
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_INIT), smagentCallCount(SMAGENT_FN_UNINIT));
}

TEST_F(LifecycleTest, ManyThreadsAuthenticating)
{
    ASSERT_EQ(SmAuthInit("USE_PIN=yes", "s3cret"), 0);
    kt::clock::set(T0 + 100);
    const int threadsN = 6, perThread = 20;
    std::vector<std::vector<std::string>> cookies(threadsN);
    for (auto &list : cookies)
        for (int i = 0; i < perThread; i++)
            list.push_back(newSession(USER));
    std::atomic<int> accepted(0), refused(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < threadsN; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < perThread; i++) {
                Sm_Api_UserContext_t ctx = userContext(USER, &user);
                std::string password = (i % 2 ? "pin-4711;" : "pin-0000;") + cookies[t][i];
                Sm_Api_UserCredentials_t cred = {"jdoe", password.c_str()};
                char um[64], em[64];
                int rc = SmAuthenticate(NULL, &ctx, &cred, NULL, "USE_PIN=yes", NULL,
                                        sizeof um, um, sizeof em, em);
                (rc == ACCEPT ? accepted : refused)++;
                EXPECT_EQ(rc, i % 2 ? ACCEPT : BAD_PIN);
            }
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(accepted, threadsN * perThread / 2);
    EXPECT_EQ(refused, threadsN * perThread / 2);
    EXPECT_EQ(smagentSessionCount(), threadsN * perThread / 2);
    /* The report at init and one poll in this interval. */
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_DOMANAGEMENT), 2);
}

} // namespace
