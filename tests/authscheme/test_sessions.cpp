/* What the scheme remembers per session between logins: the session id
 * table, wrong PINs in a row (PIN_TRIES), and a cookie accepted once. */
#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <thread>

#include "authtest.h"
#include "claims.h"
#include "kelsys.h"
#include "pintries.h"
#include "sidtable.h"

using namespace authtest;

namespace {

const char *const USER = "uid=jdoe,ou=people,o=qx";

std::string sid(int i) { return "sess-" + std::to_string(i); }

/* The digest of an id, where a pointer to one is wanted. */
struct K {
    SidKey k;
    explicit K(const std::string &id) { sidKeyOf(id.c_str(), 64, &k); }
    operator const SidKey *() const { return &k; }
};
SidKey key(const std::string &id) { return K(id).k; }

/* A failing allocation, for the table's growth. */
void *noMemory(size_t, size_t) { return nullptr; }

TEST(SidTable, DigestIsSipHash128KeyedPerProcess)
{
    /* SipHash-2-4-128 under the key 00..0f, as OpenSSL's SIPHASH computes it. */
    struct {
        size_t len;
        const char *hex;
    } vectors[] = {{0, "a3817f04ba25a8e66df67214c7550293"},
                   {15, "5493e99933b0a8117e08ec0f97cfc3d9"},
                   {63, "5150d1772f50834a503e069a973fbd7c"}};
    uint8_t k[16], msg[64];
    for (int i = 0; i < 16; i++)
        k[i] = (uint8_t)i;
    for (int i = 0; i < 64; i++)
        msg[i] = (uint8_t)i;
    for (const auto &v : vectors) {
        uint64_t out[2];
        char hex[33];
        sipHash128(k, msg, v.len, out);
        for (int i = 0; i < 16; i++)
            snprintf(hex + 2 * i, 3, "%02x", (unsigned)(out[i / 8] >> (8 * (i % 8)) & 0xff));
        EXPECT_STREQ(hex, v.hex) << v.len << " bytes";
    }
    SidKey a = key("abc"), b = key("abd"), a2 = key("abc");
    EXPECT_TRUE(a.h[0] == a2.h[0] && a.h[1] == a2.h[1]);
    EXPECT_FALSE(a.h[0] == b.h[0] && a.h[1] == b.h[1]);
    uint64_t fixed[2];
    sipHash128(k, "abc", 3, fixed);
    EXPECT_FALSE(fixed[0] == a.h[0] && fixed[1] == a.h[1]) << "the process key is not drawn";
}

/* Random finds, adds and removes against a map, with entries expiring as
 * a clock moves: every live entry stays reachable through growth and the
 * shifts of removals, none is pushed out, and expired ones are swept. */
TEST(SidTable, AgreesWithAMapUnderRandomUse)
{
    SidTable t = {};
    std::map<std::string, int64_t> live; /* id -> expiry */
    std::mt19937 rng(7);
    int64_t now = 1000;
    for (int op = 0; op < 200000; op++) {
        if (op % 1000 == 0)
            now++;
        std::string id = sid((int)(rng() % 30000));
        SidEntry *e = sidUnlessExpired(&t, sidFind(&t, K(id)), now);
        auto it = live.find(id);
        if (it != live.end() && it->second <= now)
            live.erase(it), it = live.end();
        ASSERT_EQ(e != nullptr, it != live.end()) << id << " at op " << op;
        if (e != nullptr && rng() % 4 == 0) {
            sidRemove(&t, e);
            live.erase(it);
        } else if (e == nullptr) {
            ASSERT_NE(sidAdd(&t, K(id), now + 1 + rng() % 100, now), nullptr);
            live[id] = (int64_t)sidFind(&t, K(id))->expires;
        }
    }
    EXPECT_GT(t.size, (size_t)SIDTABLE_MIN_SLOTS); /* it grew */
    /* Once all have expired, one pass of the sweep at the adds removes
     * every one of them. */
    now += 200;
    size_t adds = t.size / SIDTABLE_SWEEP_STEP;
    for (size_t i = 0; i < adds; i++)
        ASSERT_NE(sidAdd(&t, K("late-" + std::to_string(i)), now + 5, now), nullptr);
    EXPECT_EQ(t.count, adds);
    sidFree(&t);
}

TEST(SidTable, RefusesAtItsCapOrWithoutMemoryUntilThereIsRoom)
{
    SidTable t = {};
    t.cap = 3;
    for (int i = 0; i < 3; i++)
        ASSERT_NE(sidAdd(&t, K(sid(i)), 1000 + i, 100), nullptr);
    EXPECT_EQ(sidAdd(&t, K("more"), 2000, 100), nullptr);
    EXPECT_EQ(t.full, SIDTABLE_AT_CAP);
    EXPECT_NE(sidAdd(&t, K("more"), 2000, 1000), nullptr); /* sess-0 expired */
    EXPECT_EQ(t.full, SIDTABLE_ROOM);
    sidFree(&t);
    EXPECT_EQ(sidCap(&t), 3u);

    t.cap = 0;
    EXPECT_EQ(sidCap(&t), (size_t)SIDTABLE_MAX_SESSIONS);
    size_t fill = SIDTABLE_MIN_SLOTS / 4 * 3;
    for (size_t i = 0; i < fill; i++)
        ASSERT_NE(sidAdd(&t, K(sid((int)i)), 1000, 100), nullptr);
    kelSys.calloc = noMemory;
    EXPECT_EQ(sidAdd(&t, K("more"), 1000, 100), nullptr);
    EXPECT_EQ(t.full, SIDTABLE_NO_MEMORY);
    kelSysReset();
    for (size_t i = 0; i < fill; i++)
        ASSERT_NE(sidFind(&t, K(sid((int)i))), nullptr) << "nothing lost";
    EXPECT_NE(sidAdd(&t, K("more"), 1000, 100), nullptr);
    EXPECT_EQ(t.size, 2u * SIDTABLE_MIN_SLOTS);
    sidFree(&t);
}

class PinTriesTest : public SchemeTest {
protected:
    void SetUp() override
    {
        SchemeTest::SetUp();
        pintriesClear();
        claimsClear();
    }
    void TearDown() override
    {
        pintriesSetCap(0);
        claimsSetCap(0);
        pintriesClear();
        claimsClear();
        SchemeTest::TearDown();
    }
    int record(const std::string &id, int right) { return pintriesRecord(K(id), right, 3, 600); }
    int wrong(const std::string &id) { return record(id, 0); }
};

TEST_F(PinTriesTest, CountsWrongPinsInARowPerSession)
{
    EXPECT_EQ(wrong("a"), PINTRIES_WRONG);
    EXPECT_EQ(wrong("a"), PINTRIES_WRONG);
    EXPECT_EQ(wrong("b"), PINTRIES_WRONG); /* counted apart */
    EXPECT_EQ(record("a", 1), PINTRIES_RIGHT); /* starts again */
    EXPECT_EQ(wrong("a"), PINTRIES_WRONG);
    EXPECT_EQ(wrong("a"), PINTRIES_WRONG);
    EXPECT_EQ(wrong("a"), PINTRIES_LIMIT);
    EXPECT_EQ(wrong("a"), PINTRIES_LOCKED);
    EXPECT_EQ(record("a", 1), PINTRIES_LOCKED); /* even the right PIN */
    EXPECT_EQ(wrong("b"), PINTRIES_WRONG);
}

TEST_F(PinTriesTest, CountsLiveUntilTheSessionsMaximumTimeAndNoneIsPushedOut)
{
    struct Case {
        const char *what;
        long wait;  /* seconds after the two wrong PINs */
        int others; /* sessions with a wrong PIN since */
        int third;  /* outcome of the third wrong PIN */
    } cases[] = {
        {"kept until the session's maximum time", 599, 0, PINTRIES_LIMIT},
        {"forgotten at it", 600, 0, PINTRIES_WRONG},
        {"kept beside 5000 newer", 0, 5000, PINTRIES_LIMIT},
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

/* At the cap a new count or claim is refused, with one level-1 line per
 * episode; counts and claims already made go on. */
TEST_F(PinTriesTest, AtTheCapNewEntriesAreRefusedWithOneLinePerEpisode)
{
    const char *const COUNTS_FULL = "PIN counts full at 2 sessions: a wrong PIN that needs a new count logs "
                                    "its session out";
    const char *const CLAIMS_FULL = "Accept-once claims full at 1 sessions: logins are refused until claims expire";
    pintriesSetCap(2);
    claimsSetCap(1);
    wrong("a");
    wrong("b");
    EXPECT_EQ(wrong("c"), PINTRIES_FULL);
    EXPECT_EQ(wrong("d"), PINTRIES_FULL);
    EXPECT_EQ(wrong("a"), PINTRIES_WRONG);
    EXPECT_EQ(wrong("a"), PINTRIES_LIMIT);
    EXPECT_EQ(record("c", 1), PINTRIES_RIGHT);
    EXPECT_EQ(claimSession(K("a"), 600), CLAIM_MADE);
    EXPECT_EQ(claimSession(K("b"), 600), CLAIM_FULL);
    EXPECT_EQ(claimSession(K("c"), 600), CLAIM_FULL);
    EXPECT_EQ(claimSession(K("a"), 600), CLAIM_TAKEN);
    EXPECT_EQ(tf->count(COUNTS_FULL), 1);
    EXPECT_EQ(tf->count(CLAIMS_FULL), 1);
    EXPECT_TRUE(inOrder(log(), {COUNTS_FULL, CLAIMS_FULL}));

    kt::clock::advance(600); /* all expire: room again, and a new episode later */
    EXPECT_EQ(wrong("c"), PINTRIES_WRONG);
    EXPECT_EQ(claimSession(K("b"), 600), CLAIM_MADE);
    EXPECT_TRUE(logHas("PIN counts have room again"));
    EXPECT_TRUE(logHas("Accept-once claims have room again"));
    EXPECT_EQ(claimSession(K("c"), 600), CLAIM_FULL);
    EXPECT_EQ(tf->count(CLAIMS_FULL), 2);
}

/* The look-up and the claim are one step: a second claim of the same
 * session made while the first is between them must wait for it. */
std::atomic<bool> secondDone{false}, secondInside{false};
std::atomic<int> secondResult{0};
std::atomic<int> pauses{0};

void claimAgainMeanwhile()
{
    if (pauses++ != 0)
        return; /* the second claim passes through */
    std::thread second([] {
        secondResult = claimSession(K("raced"), 600);
        secondDone = true;
    });
    for (int i = 0; i < 200 && !secondDone; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    secondInside = secondDone.load();
    second.detach();
}

TEST_F(PinTriesTest, AClaimIsMadeUnderItsLock)
{
    claimsSetTestPause(claimAgainMeanwhile);
    int first = claimSession(K("raced"), 600);
    claimsSetTestPause(nullptr);
    while (!secondDone)
        std::this_thread::yield();
    EXPECT_FALSE(secondInside) << "a second claim ran between the look-up and the claim";
    EXPECT_EQ(first, CLAIM_MADE);
    EXPECT_EQ(secondResult, CLAIM_TAKEN);
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

TEST_F(SessionFlowTest, CountsAndClaimsSurviveAReleaseAndANewInit)
{
    std::string cookie = newSession(USER), accepted = newSession(USER);
    login("0000", cookie);
    login("0000", cookie);
    smagentForceResult(SMAGENT_FN_LOGOUT, SM_AGENTAPI_NO, 1);
    EXPECT_EQ(login("4711", accepted), 2); /* its logout fails */
    SmAuthRelease(NULL, NULL);
    ASSERT_EQ(SmAuthInit("", "s3cret"), 0);
    EXPECT_EQ(login("0000", cookie), 3);
    EXPECT_EQ(smagentSessionAlive(cookie.c_str()), 0); /* the third in a row */
    EXPECT_EQ(login("4711", accepted), 0x20003);      /* already accepted */
}

/* A cookie without a session id is neither claimed nor counted: each such
 * cookie is handled on its own, as the written flow does. */
TEST_F(SessionFlowTest, NoClaimOrCountWithoutASessionId)
{
    SmAgentCtl_Attr_t dn = {SM_AGENTAPI_ATTR_USERDN, USER};
    std::string a = newSession(USER, 0, {dn}, 1), b = newSession(USER, 0, {dn}, 1);
    smagentForceResult(SMAGENT_FN_LOGIN, SM_AGENTAPI_YES, -1);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(login("0000", a), 3) << i;
    EXPECT_FALSE(logHas(LOCKOUT));
    EXPECT_TRUE(logHas("Session id empty: PIN not counted"));
    EXPECT_EQ(login("4711", a), 2);
    EXPECT_EQ(login("4711", b), 2);
    EXPECT_EQ(tf->count("Session id empty: not claimed"), 2);
}

TEST_F(SessionFlowTest, AtTheCapLoginsFailClosed)
{
    std::string first = newSession(USER), second = newSession(USER), guessed = newSession(USER);
    claimsSetCap(1);
    pintriesSetCap(1);
    EXPECT_EQ(login("4711", first), 2);
    EXPECT_EQ(login("4711", second), 0x20003);
    EXPECT_TRUE(logHas("Session cannot be claimed (accept-once claims full)"));
    EXPECT_EQ(smagentSessionAlive(second.c_str()), 1); /* refused: left as it was */
    EXPECT_EQ(login("0000", second), 3);                /* counted: the one place */
    EXPECT_EQ(login("0000", guessed), 3);
    EXPECT_TRUE(logHas("Wrong PIN cannot be counted (PIN counts full): logging the session out"));
    EXPECT_EQ(smagentSessionAlive(guessed.c_str()), 0);
    std::string kept = newSession(USER);
    smagentForceResult(SMAGENT_FN_LOGOUT, SM_AGENTAPI_TIMEOUT, 1);
    EXPECT_EQ(login("0000", kept), 3);
    EXPECT_TRUE(logHas("Logout after an uncounted wrong PIN failed: the session stays valid"));
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
