/* What the scheme remembers per session between logins: the session id
 * table, and a cookie accepted once. */
#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <thread>

#include "authtest.h"
#include "claims.h"
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
        SidEntry *e = sidFind(&t, id.c_str(), 0);
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
    EXPECT_NE(sidFind(&t, "fresh", 4), nullptr);
    EXPECT_EQ(sidFind(&t, "fresh", 5), nullptr); /* expired */
    EXPECT_EQ(sidFind(&t, "fresh", 0), nullptr); /* and removed */
}

class SessionFlowTest : public SchemeTest {
protected:
    FakeUser user;

    void SetUp() override
    {
        SchemeTest::SetUp();
        claimsClear();
        user.attrs = {{"authlevel", "2"}, {"pin", "4711"}};
        ASSERT_EQ(SmAuthInit("", "s3cret"), 0);
    }
    void TearDown() override
    {
        SmAuthRelease(NULL, NULL);
        SchemeTest::TearDown();
    }

    int login(const std::string &pin, const std::string &cookie, const char *params)
    {
        Sm_Api_UserContext_t ctx = userContext(USER, &user);
        std::string posted = pin + ";" + cookie;
        Sm_Api_UserCredentials_t cred = {"jdoe", posted.c_str()};
        char um[64], em[64];
        return SmAuthenticate(NULL, &ctx, &cred, NULL, params, NULL, sizeof um, um, sizeof em, em);
    }
};

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

} // namespace
