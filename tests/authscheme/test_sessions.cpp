/* What the scheme remembers per session between logins: the session id
 * table, wrong PINs in a row (PIN_TRIES), and a cookie accepted once. */
#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <thread>

#include "authtest.h"
#include "claims.h"
#include "pintries.h"
#include "sidtable.h"

using namespace authtest;

namespace {

const char *const USER = "uid=jdoe,ou=people,o=qx";

std::string sid(int i) { return "sess-" + std::to_string(i); }

/* Random finds, adds and removes against a map: every entry stays
 * reachable through the index after the removals shift it, and the ring
 * forgets an entry exactly when SIDTABLE_SIZE newer ones have been made. */
TEST(SidTable, AgreesWithAMapUnderRandomUse)
{
    static SidTable t;
    std::map<std::string, long> live; /* id -> adds made before it */
    std::mt19937 rng(7);
    long adds = 0, evicted = 0;
    sidClear(&t);
    for (int op = 0; op < 200000; op++) {
        std::string id = sid((int)(rng() % 3000));
        SidEntry *e = sidFind(&t, id.c_str());
        auto it = live.find(id);
        if (it != live.end() && adds - it->second > SIDTABLE_SIZE)
            live.erase(it), it = live.end(), evicted++;
        ASSERT_EQ(e != nullptr, it != live.end()) << id << " at op " << op;
        if (e != nullptr && rng() % 2) {
            sidRemove(&t, e);
            live.erase(it);
        } else if (e == nullptr) {
            sidAdd(&t, id.c_str(), 1);
            live[id] = adds++;
        }
    }
    EXPECT_GT(evicted, 1000);
    sidAdd(&t, "fresh", 5);
    EXPECT_NE(sidUnlessExpired(&t, sidFind(&t, "fresh"), 4), nullptr);
    EXPECT_EQ(sidUnlessExpired(&t, sidFind(&t, "fresh"), 5), nullptr); /* expired */
    EXPECT_EQ(sidFind(&t, "fresh"), nullptr);                          /* and forgotten */
}

class PinTriesTest : public SchemeTest {
protected:
    void SetUp() override
    {
        SchemeTest::SetUp();
        pintriesClear();
        claimsClear();
    }
    int wrong(const std::string &id) { return pintriesRecord(id.c_str(), 0, 3, 600); }
};

TEST_F(PinTriesTest, CountsWrongPinsInARowPerSession)
{
    EXPECT_EQ(wrong("a"), PINTRIES_WRONG);
    EXPECT_EQ(wrong("a"), PINTRIES_WRONG);
    EXPECT_EQ(wrong("b"), PINTRIES_WRONG); /* counted apart */
    EXPECT_EQ(pintriesRecord("a", 1, 3, 600), PINTRIES_RIGHT); /* starts again */
    EXPECT_EQ(wrong("a"), PINTRIES_WRONG);
    EXPECT_EQ(wrong("a"), PINTRIES_WRONG);
    EXPECT_EQ(wrong("a"), PINTRIES_LIMIT);
    EXPECT_EQ(wrong("a"), PINTRIES_LOCKED);
    EXPECT_EQ(pintriesRecord("a", 1, 3, 600), PINTRIES_LOCKED); /* even the right PIN */
    EXPECT_EQ(wrong("b"), PINTRIES_WRONG);
}

TEST_F(PinTriesTest, CountsExpireAndTheOldestAreForgotten)
{
    struct Case {
        const char *what;
        long wait;  /* seconds after the two wrong PINs */
        int others; /* sessions with a wrong PIN since */
        int third;  /* outcome of the third wrong PIN */
    } cases[] = {
        {"kept until the session's maximum time", 599, 0, PINTRIES_LIMIT},
        {"forgotten at it", 600, 0, PINTRIES_WRONG},
        {"kept beside SIDTABLE_SIZE - 1 newer", 0, SIDTABLE_SIZE - 1, PINTRIES_LIMIT},
        {"the oldest beyond SIDTABLE_SIZE", 0, SIDTABLE_SIZE, PINTRIES_WRONG},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        pintriesClear();
        wrong("victim");
        wrong("victim");
        for (int i = 0; i < c.others; i++)
            wrong(sid(i));
        kt::clock::advance(c.wait);
        EXPECT_EQ(wrong("victim"), c.third);
    }
}

class SessionFlowTest : public PinTriesTest {
protected:
    FakeUser user;

    void SetUp() override
    {
        PinTriesTest::SetUp();
        user.attrs = {{"authlevel", "2"}, {"pin", "4711"}};
        ASSERT_EQ(SmAuthInit("", "s3cret"), 0);
    }
    void TearDown() override
    {
        SmAuthRelease(NULL, NULL);
        PinTriesTest::TearDown();
    }

    int login(const std::string &pin, const std::string &cookie,
              const char *params = "USE_PIN=yes;PIN_TRIES=3")
    {
        Sm_Api_UserContext_t ctx = userContext(USER, &user);
        std::string posted = pin + ";" + cookie;
        Sm_Api_UserCredentials_t cred = {"jdoe", posted.c_str()};
        char um[64], em[64];
        return SmAuthenticate(NULL, &ctx, &cred, NULL, params, NULL, sizeof um, um, sizeof em, em);
    }
};

const char *const LOCKOUT =
    "PIN attempt limit reached for user uid=jdoe,ou=people,o=qx from 10.1.2.3: logging the session out";

TEST_F(SessionFlowTest, TheLimitLogsTheSessionOut)
{
    setLevel(1);
    std::string cookie = newSession(USER), other = newSession(USER);
    EXPECT_EQ(login("0000", other), 3);
    EXPECT_EQ(login("0000", cookie), 3);
    EXPECT_EQ(login("0000", cookie), 3);
    EXPECT_EQ(smagentSessionAlive(cookie.c_str()), 1);
    EXPECT_FALSE(logHas(LOCKOUT));
    EXPECT_EQ(login("0000", cookie), 3); /* refused as any wrong PIN */
    EXPECT_TRUE(logHas(LOCKOUT));        /* at level 1 */
    EXPECT_EQ(smagentSessionAlive(cookie.c_str()), 0);
    EXPECT_EQ(login("4711", cookie), 0x80003); /* the Agent API's refusal */
    EXPECT_EQ(login("4711", other), 2);        /* one wrong PIN of its own */
}

TEST_F(SessionFlowTest, AFailedLockoutLogoutStillRefusesTheSession)
{
    std::string cookie = newSession(USER);
    login("0000", cookie);
    login("0000", cookie);
    smagentForceResult(SMAGENT_FN_LOGOUT, SM_AGENTAPI_TIMEOUT, 1);
    EXPECT_EQ(login("0000", cookie), 3);
    EXPECT_TRUE(logHas("Lockout logout failed: the session is refused by this server only"));
    EXPECT_EQ(smagentSessionAlive(cookie.c_str()), 1);
    EXPECT_EQ(login("4711", cookie), 0x20003);
    EXPECT_TRUE(logHas("Session locked after too many wrong PINs"));
    EXPECT_EQ(smagentSessionAlive(cookie.c_str()), 0); /* the logout tried again */
}

TEST_F(SessionFlowTest, WithoutPinTriesWrongPinsAreNotCounted)
{
    std::string cookie = newSession(USER);
    for (int i = 0; i < 20; i++)
        ASSERT_EQ(login("0000", cookie, "USE_PIN=yes"), 3);
    EXPECT_EQ(login("4711", cookie, "USE_PIN=yes"), 2);
    EXPECT_EQ(smagentCallCount(SMAGENT_FN_LOGOUT), 1);
}

TEST_F(SessionFlowTest, TheLastReleaseForgetsTheCounts)
{
    std::string cookie = newSession(USER);
    login("0000", cookie);
    login("0000", cookie);
    SmAuthRelease(NULL, NULL);
    ASSERT_EQ(SmAuthInit("", "s3cret"), 0);
    EXPECT_EQ(login("0000", cookie), 3);
    EXPECT_EQ(smagentSessionAlive(cookie.c_str()), 1);
}

class SessionRaceTest : public SessionFlowTest {
protected:
    /* Logins with one cookie on threads started together (the PIN of each
     * from pins); their results. */
    std::vector<int> atOnce(const std::vector<std::string> &pins, const std::string &cookie,
                            const char *params)
    {
        std::vector<int> results(pins.size());
        std::atomic<size_t> ready(0);
        std::vector<std::thread> all;
        for (size_t i = 0; i < pins.size(); i++)
            all.emplace_back([&, i] {
                for (ready++; ready < pins.size();)
                    std::this_thread::yield();
                results[i] = login(pins[i], cookie, params);
            });
        for (std::thread &th : all)
            th.join();
        return results;
    }
    static int count(const std::vector<int> &r, int result)
    {
        return (int)std::count(r.begin(), r.end(), result);
    }
};

TEST_F(SessionRaceTest, ACookieIsAcceptedOnceWhateverTheLogout)
{
    for (int round = 0; round < 20; round++) {
        bool logoutFails = round % 2; /* then every login validates */
        smagentForceResult(SMAGENT_FN_LOGOUT, SM_AGENTAPI_NO, logoutFails ? -1 : 0);
        std::vector<int> r = atOnce(std::vector<std::string>(8, "4711"), newSession(USER), "USE_PIN=yes");
        EXPECT_EQ(count(r, 2), 1) << "round " << round;
        EXPECT_EQ(count(r, 2) + count(r, 0x20003) + count(r, 0x80003), 8);
        if (logoutFails) {
            EXPECT_EQ(count(r, 0x20003), 7);
        }
    }
}

TEST_F(SessionRaceTest, GuessesAtOnceAreCountedOneByOne)
{
    smagentForceResult(SMAGENT_FN_LOGOUT, SM_AGENTAPI_NO, -1); /* sessions stay valid */
    for (int round = 0; round < 10; round++) {
        tf->clear();
        std::string cookie = newSession(USER);
        std::vector<int> r = atOnce(std::vector<std::string>(8, "0000"), cookie, "USE_PIN=yes;PIN_TRIES=3");
        EXPECT_EQ(count(r, 3), 3) << "round " << round;
        EXPECT_EQ(count(r, 0x20003), 5);
        EXPECT_EQ(tf->count(LOCKOUT), 1);
        EXPECT_EQ(login("4711", cookie), 0x20003);
    }
}

} // namespace
