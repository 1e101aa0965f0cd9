/* SmAuthInit, SmAuthRelease and SmAuthenticate end to end through the
 * stand-in Agent API. */
#include <atomic>
#include <string.h>
#include <functional>
#include <thread>

#include "authtest.h"

using namespace authtest;

namespace {

const char *const USER = "uid=jdoe,ou=people,o=qx";
const char *const BAD_PARAMS = "Invalid KEL authentication scheme parameters";
const char *const BAD_POSTED = "Invalid PIN/cookie in 'password'";

class FlowTest : public SchemeTest {
protected:
    FakeUser user;
    char userMsg[100];
    char errMsg[100];

    void SetUp() override
    {
        SchemeTest::SetUp();
        resetUser();
    }

    void TearDown() override
    {
        while (smauthkelInitCount() > 0)
            SmAuthRelease(NULL, NULL);
        SchemeTest::TearDown();
    }

    void resetUser()
    {
        user.attrs = {{"authlevel", "2"}, {"pin", "pin-4711"}};
        user.asked.clear();
    }

    int authenticate(const std::string &params, const std::string &password,
                     bool identified = true, int userSize = 100, int errSize = 100)
    {
        Sm_Api_UserContext_t ctx = userContext(USER, &user, identified);
        Sm_Api_UserCredentials_t cred = {"jdoe", password.c_str()};
        memset(userMsg, '#', sizeof userMsg);
        memset(errMsg, '#', sizeof errMsg);
        return SmAuthenticate(NULL, &ctx, &cred, NULL, params.c_str(), NULL, userSize, userMsg,
                              errSize, errMsg);
    }
};

class OutcomeTest : public FlowTest {
protected:
    void SetUp() override
    {
        FlowTest::SetUp();
        ASSERT_EQ(SmAuthInit("", "s3cret"), 0);
    }
};

TEST_F(OutcomeTest, EveryOutcomeInTheOrderOfTheChecks)
{
    struct Row {
        const char *what;
        std::string params;
        bool identified;
        std::function<std::string()> password; /* also prepares the case */
        int result;
        const char *userMsg, *errMsg, *line;
    };
    const std::string pin = "pin-4711;";
    Row rows[] = {
        {"bad parameters", "BOGUS=1", true, [&] { return newSession(USER); }, 0x260001,
         BAD_PARAMS, BAD_PARAMS, "Parameter BOGUS: not recognized"},
        {"bad parameters come before the phase", "MIN_LEVEL=9", false, [&] { return "x"; },
         0x260001, BAD_PARAMS, BAD_PARAMS, "MIN_LEVEL (9) greater than MAX_LEVEL (3)"},
        {"disambiguation", "USE_PIN=yes", false, [&] { return "no-semicolon"; }, 6, "", "",
         "... Disambiguate user"},
        {"no ';'", "USE_PIN=yes", true, [&] { return "pin-4711" + newSession(USER); }, 0x260001,
         BAD_POSTED, "Posted PIN/cookie: ';' missing", "Posted PIN/cookie: ';' missing"},
        {"PIN too long", "USE_PIN=yes", true, [&] { return repeat('1', 5000) + ";x"; }, 0x260001,
         BAD_POSTED, "Posted PIN too long", "Posted PIN too long"},
        {"cookie too long", "USE_PIN=yes", true, [&] { return "1;" + repeat('c', 5000); },
         0x260001, BAD_POSTED, "Posted cookie too long", "Posted cookie too long"},
        {"cookie not decoded", "", true, [&] { return newSession(USER).substr(1); }, 0x80003, "",
         "", "Cookie cannot be decoded"},
        {"empty cookie", "USE_PIN=yes", true, [&] { return pin; }, 0x80003, "", "",
         "Cookie cannot be decoded"},
        {"DN differs in case", "", true, [&] { return newSession("UID=JDOE,OU=PEOPLE,O=QX"); },
         0x20003, "", "", "User name does not match"},
        {"no DN in cookie", "", true, [&] { return newSession(USER, 0, {{210, USER}}, 1); },
         0x20003, "", "", "User name does not match"},
        {"session idle too long", "", true,
         [&] {
             std::string c = newSession(USER, 60);
             smagentAdvanceTime(61);
             return c;
         },
         0x20003, "", "", "Session not valid"},
        {"validation answers 2", "", true,
         [&] {
             smagentForceResult(SMAGENT_FN_LOGIN, 2, 1);
             return newSession(USER);
         },
         0x20003, "", "", "Session not valid"},
        {"level out of bounds, PIN wrong too", "USE_PIN=yes", true,
         [&] {
             user.attrs["authlevel"] = "4";
             return "pin-0000;" + newSession(USER);
         },
         0x50003, "", "", "Auth level not valid"},
        {"unreadable level", "", true,
         [&] {
             user.attrs.erase("authlevel");
             return newSession(USER);
         },
         0x50003, "", "", "Auth level not valid"},
        {"wrong PIN", "USE_PIN=yes", true, [&] { return "pin-4712;" + newSession(USER); }, 3, "",
         "", "Incorrect PIN"},
        {"accepted", "USE_PIN=yes", true, [&] { return pin + newSession(USER); }, 2, "", "",
         "User authenticated OK"},
    };
    for (Row &r : rows) {
        SCOPED_TRACE(r.what);
        resetUser();
        tf->clear();
        int logouts = smagentCallCount(SMAGENT_FN_LOGOUT);
        std::string password = r.password();
        EXPECT_EQ(authenticate(r.params, password, r.identified), r.result);
        EXPECT_STREQ(userMsg, r.userMsg);
        EXPECT_STREQ(errMsg, r.errMsg);
        EXPECT_TRUE(logHas(r.line));
        /* Only an accepted login logs the old session out. */
        EXPECT_EQ(smagentCallCount(SMAGENT_FN_LOGOUT), logouts + (r.result == 2));
        smagentSetTime(T0);
    }
}

TEST_F(OutcomeTest, AcceptedLoginEndsTheOldSession)
{
    std::string cookie = newSession(USER);
    tf->clear();
    EXPECT_EQ(authenticate("USE_PIN=yes", "pin-4711;" + cookie), 2);
    EXPECT_TRUE(inOrder(log(), {"Authenticate", "Parameters: 'USE_PIN=yes'",
                                "Parameter USE_PIN: yes", "Credentials.user: jdoe", "... Authenticate",
                                "User context:", std::string("   UserName: ") + USER,
                                "   UserPath: ou=people,o=qx", "   DirPath: ldap://dir.qx",
                                "   DirServer: dir.qx:389", "   DirNamespace: LDAP:",
                                "   SessionId: host-session-1", "User attributes:",
                                "   authlevel: 2", "Cookie attributes:",
                                std::string("   USERDN: ") + USER, "User name matches",
                                "Session valid", "User authenticated OK",
                                "Old session logged out"}));
    for (const std::string &line : log()) { /* no secret below the secure level */
        EXPECT_EQ(line.find(cookie), std::string::npos) << line;
        EXPECT_EQ(line.find("4711"), std::string::npos) << line;
    }
    EXPECT_EQ(smagentSessionAlive(cookie.c_str()), 0);
    EXPECT_EQ(authenticate("USE_PIN=yes", "pin-4711;" + cookie), 0x80003);

    /* A failed logout changes nothing in the answer. */
    cookie = newSession(USER);
    smagentForceResult(SMAGENT_FN_LOGOUT, -5, 1);
    EXPECT_EQ(authenticate("", cookie), 2);
    EXPECT_TRUE(logHas("Old session logout failed -5"));
    EXPECT_EQ(smagentSessionAlive(cookie.c_str()), 1);

    setLevel(10);
    cookie = newSession(USER);
    EXPECT_EQ(authenticate("USE_PIN=yes", "pin-4711;" + cookie), 2);
    EXPECT_TRUE(inOrder(log(), {"Credentials.password: pin-4711;" + cookie, "   pin: pin-4711",
                                "Posted PIN pin-4711",
                                "checkPin: entered 'pin-4711' stored 'pin-4711'"}));
}

/* True when any of texts lies in the stack below the caller: the stack
 * that a call made just before from the same place has given up. */
__attribute__((noinline)) bool deadStackHolds(const std::vector<std::string> &texts)
{
    unsigned char probe[256 * 1024];
    /* The probe's bytes are whatever the earlier call left there. */
    __asm__ volatile("" : : "r"(probe) : "memory");
    for (const std::string &t : texts)
        if (memmem(probe, sizeof probe, t.data(), t.size()) != nullptr)
            return true;
    return false;
}

/* After SmAuthenticate returns, its stack holds nothing of the PIN posted
 * or stored, nor of the cookie, whatever the outcome. */
TEST_F(OutcomeTest, NoSecretLeftOnTheStack)
{
    const std::string stored = "Stored-PIN-7Qz", wrong = "Wrong-PIN-3Xy";
    struct {
        const char *what;
        const char *params;
        std::string before, after; /* posted: before + cookie + after */
        int result;
    } cases[] = {
        {"accepted", "USE_PIN=yes", stored + ";", "", 2},
        {"wrong PIN", "USE_PIN=yes", wrong + ";", "", 3},
        {"no ';'", "USE_PIN=yes", wrong, "", 0x260001},
        {"PIN off", "", "", "", 2},
        {"cookie too long", "USE_PIN=yes", wrong + ";", repeat('c', 5000), 0x260001},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        resetUser();
        user.attrs["pin"] = stored;
        std::string cookie = newSession(USER);
        EXPECT_EQ(authenticate(c.params, c.before + cookie + c.after), c.result);
        EXPECT_FALSE(deadStackHolds({stored, wrong, cookie}));
    }
}

TEST_F(OutcomeTest, WithoutPinTheWholeFieldIsTheCookie)
{
    EXPECT_EQ(authenticate("", newSession(USER)), 2);
    EXPECT_EQ(user.timesAsked("pin"), 0);
    EXPECT_EQ(authenticate("", repeat('c', 6000)), 0x80003);
    EXPECT_STREQ(errMsg, "");
    int length = 0;
    ASSERT_EQ(smagentLastToken(NULL, 0, &length), 1);
    EXPECT_EQ(length, 4999);
}

TEST_F(OutcomeTest, MessagesStayInsideTheHostsBuffers)
{
    EXPECT_EQ(authenticate("BOGUS=1", "x", true, 10, 0), 0x260001);
    EXPECT_STREQ(userMsg, "Invalid K");
    EXPECT_EQ(userMsg[10], '#');
    EXPECT_EQ(errMsg[0], '#');
    EXPECT_EQ(authenticate("USE_PIN=yes", "x", true, -1, 7), 0x260001);
    EXPECT_EQ(userMsg[0], '#');
    EXPECT_STREQ(errMsg, "Posted");
    EXPECT_EQ(errMsg[7], '#');
    EXPECT_EQ(authenticate("BOGUS=1", "x", true, 45, 45), 0x260001);
    EXPECT_STREQ(errMsg, BAD_PARAMS); /* 45 hold the longest text whole */
}

class LifecycleTest : public FlowTest {};

TEST_F(LifecycleTest, InitCounting)
{
    EXPECT_EQ(SmAuthInit("MIN_LEVEL=x", "s3cret"), 1);
    EXPECT_EQ(SmAuthInit("", "wrong"), 1);
    EXPECT_EQ(smauthkelInitCount(), 0);
    EXPECT_EQ(SmAuthInit("", "s3cret"), 0); /* tried again */
    EXPECT_EQ(SmAuthInit("AGENT_NAME=other;PORT_AZ=1", "nope"), 0);
    EXPECT_EQ(SmAuthInit("MIN_LEVEL=x", "s3cret"), 1);
    EXPECT_EQ(smauthkelInitCount(), 2);
    EXPECT_TRUE(inOrder(log(), {"Init: param 'MIN_LEVEL=x'", "Init: param ''", "agentInit",
                                "Already initialised! initCount=2"}));
    Sm_AgentApi_Init_t rec;
    smagentLastInit(&rec, NULL);
    EXPECT_STREQ(rec.agentName, "authkel");
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_INIT), 2);
    EXPECT_EQ(smagentLiveAgents(), 1);
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

    /* The log was closed: the next line (once the open gate allows) goes
     * to a new file, not to the removed one. */
    remove(tf->logPath().c_str());
    kt::clock::advance(2);
    trace(TRACE_1, "after release");
    EXPECT_EQ(log(), std::vector<std::string>{"after release"});

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
                EXPECT_EQ(smagentLiveAgents(), 1);
                EXPECT_EQ(SmAuthRelease(NULL, NULL), 0);
            }
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(smauthkelInitCount(), 0);
    EXPECT_EQ(smagentLiveAgents(), 0);
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_INIT), smagentCallCount(SMAGENT_FN_UNINIT));
}

/* The last release while other threads log in: a login either runs whole
 * (accepted, its old session logged out) or finds no agent (cookie not
 * decoded, session untouched); no Agent API call ever carries a released
 * handle (the stand-in aborts on one). */
TEST_F(LifecycleTest, ReleaseWaitsForLoginsInProgress)
{
    ASSERT_EQ(SmAuthInit("", "s3cret"), 0);
    std::atomic<bool> stop(false);
    std::atomic<long> accepted(0), refused(0), logins(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            while (!stop) {
                std::string cookie = newSession(USER);
                Sm_Api_UserContext_t ctx = userContext(USER, &user);
                Sm_Api_UserCredentials_t cred = {"jdoe", cookie.c_str()};
                char um[64], em[64];
                int rc = SmAuthenticate(NULL, &ctx, &cred, NULL, "", NULL, sizeof um, um,
                                        sizeof em, em);
                bool alive = smagentSessionAlive(cookie.c_str()) != 0;
                if (rc == 2 && !alive)
                    accepted++;
                else if (rc == 0x80003 && alive)
                    refused++;
                else
                    ADD_FAILURE() << "result " << rc << ", old session alive " << alive;
                logins++;
            }
        });
    for (int round = 0; round < 40; round++) {
        long before = logins;
        while (logins < before + 5)
            std::this_thread::yield();
        EXPECT_EQ(SmAuthRelease(NULL, NULL), 0);
        EXPECT_EQ(SmAuthInit("", "s3cret"), 0);
    }
    stop = true;
    for (auto &th : threads)
        th.join();
    EXPECT_GT(accepted, 0);
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_INIT), 41);
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_UNINIT), 40);
}

TEST_F(LifecycleTest, ManyThreadsAuthenticating)
{
    ASSERT_EQ(SmAuthInit("USE_PIN=yes", "s3cret"), 0);
    kt::clock::set(T0 + 100);
    const int threadsN = 6, each = 20;
    std::vector<std::vector<std::string>> cookies(threadsN);
    for (auto &list : cookies)
        for (int i = 0; i < each; i++)
            list.push_back(newSession(USER));
    std::vector<std::thread> threads;
    for (int t = 0; t < threadsN; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < each; i++) {
                Sm_Api_UserContext_t ctx = userContext(USER, &user);
                std::string password = (i % 2 ? "pin-4711;" : "pin-0000;") + cookies[t][i];
                Sm_Api_UserCredentials_t cred = {"jdoe", password.c_str()};
                char um[64], em[64];
                EXPECT_EQ(SmAuthenticate(NULL, &ctx, &cred, NULL, "USE_PIN=yes", NULL, sizeof um,
                                         um, sizeof em, em),
                          i % 2 ? 2 : 3);
            }
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(smagentSessionCount(), threadsN * each / 2); /* the refused ones */
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_DOMANAGEMENT), 2); /* report, one poll */
}

} // namespace
