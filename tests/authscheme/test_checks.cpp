/* Splitting the posted text, the level and PIN checks, attribute tracing. */
#include "authtest.h"

using namespace authtest;

namespace {

class SplitTest : public SchemeTest {
protected:
    char pin[BUF_SIZE];
    char cookie[BUF_SIZE];
    char msg[64];

    int split(const std::string &posted, int msgSize = 64)
    {
        memset(msg, '#', sizeof msg);
        return splitPassword(posted.c_str(), pin, cookie, msg, msgSize);
    }
};

TEST_F(SplitTest, SplitsAtTheFirstSemicolon)
{
    struct {
        const char *posted, *pin, *cookie;
    } cases[] = {
        {"1234;abc", "1234", "abc"},
        {"1234;", "1234", ""},
        {";abc", "", "abc"},
        {"12;a;b", "12", "a;b"},
        {";", "", ""},
    };
    for (auto &c : cases) {
        EXPECT_EQ(split(c.posted), 1) << c.posted;
        EXPECT_STREQ(pin, c.pin);
        EXPECT_STREQ(cookie, c.cookie);
        EXPECT_STREQ(msg, "");
    }
}

TEST_F(SplitTest, RefusalsGoToMessageAndTrace)
{
    EXPECT_EQ(split("1234abc"), 0);
    EXPECT_STREQ(msg, "Posted PIN/cookie: ';' missing");
    EXPECT_EQ(split(""), 0);
    EXPECT_STREQ(msg, "Posted PIN/cookie: ';' missing");
    EXPECT_EQ(tf->count("Posted PIN/cookie: ';' missing"), 2);

    EXPECT_EQ(split(repeat('1', 4999) + ";c"), 1);
    EXPECT_EQ(strlen(pin), 4999u);
    EXPECT_EQ(split(repeat('1', 5000) + ";c"), 0);
    EXPECT_STREQ(msg, "Posted PIN too long");
    EXPECT_EQ(split(repeat('1', 5000)), 0); /* too long before the ';' is missed */
    EXPECT_STREQ(msg, "Posted PIN too long");

    EXPECT_EQ(split("1;" + repeat('c', 4999)), 1);
    EXPECT_EQ(strlen(cookie), 4999u);
    EXPECT_EQ(split("1;" + repeat('c', 5000)), 0);
    EXPECT_STREQ(msg, "Posted cookie too long");
    EXPECT_TRUE(inOrder(log(), {"Posted PIN too long", "Posted PIN too long",
                                "Posted cookie too long"}));
}

TEST_F(SplitTest, MessageStaysInsideItsBuffer)
{
    EXPECT_EQ(split("nosemicolon", 10), 0);
    EXPECT_STREQ(msg, "Posted PI");
    EXPECT_EQ(msg[10], '#');
    EXPECT_EQ(split("nosemicolon", 0), 0);
    EXPECT_EQ(msg[0], '#');
    EXPECT_EQ(split("nosemicolon", -5), 0);
    EXPECT_EQ(msg[0], '#');
}

class CheckTest : public SchemeTest {
protected:
    FakeUser user;
    Sm_Api_UserContext_t ctx = userContext("uid=jdoe", &user);
    Parameters p;

    void params(const char *text) { ASSERT_EQ(parseParameters(text, &p), 1); }

    int level(const char *value)
    {
        user.attrs["authlevel"] = value;
        return checkAuthLevel(&ctx, &p);
    }
};

TEST_F(CheckTest, LevelWithinInclusiveBounds)
{
    params("");
    for (const char *pass : {"2", "3", "3x", " 3", "+2"})
        EXPECT_EQ(level(pass), 1) << pass;
    for (const char *fail : {"1", "4", "abc", "", "-2", "99999999999"})
        EXPECT_EQ(level(fail), 0) << fail;
    params("MIN_LEVEL=0");
    EXPECT_EQ(level("abc"), 1);
    EXPECT_EQ(level(""), 1);
    params("MIN_LEVEL=-2147483648;MAX_LEVEL=2147483647");
    EXPECT_EQ(level("99999999999"), 1);
    EXPECT_EQ(level("-99999999999"), 1);
    params("ATTR_AUTH=clearance");
    user.attrs["clearance"] = "2";
    user.attrs["authlevel"] = "9";
    EXPECT_EQ(checkAuthLevel(&ctx, &p), 1);
    EXPECT_FALSE(logHas("Auth level not valid")); /* the caller traces */
}

TEST_F(CheckTest, UnreadableLevelCountsAsZero)
{
    /* The host leaves "3" in the buffer but says the read failed. */
    user.failText = "3";
    params("");
    EXPECT_EQ(checkAuthLevel(&ctx, &p), 0);
    params("MIN_LEVEL=0");
    EXPECT_EQ(checkAuthLevel(&ctx, &p), 1);
}

TEST_F(CheckTest, PinMatchesExactlyAndWhole)
{
    params("USE_PIN=yes");
    user.attrs["pin"] = "Ab12";
    EXPECT_EQ(checkPin(&ctx, "Ab12", &p), 1);
    for (const char *wrong : {"ab12", "Ab12 ", " Ab12", "Ab1", "Ab123", "", "Ab1\xff"})
        EXPECT_EQ(checkPin(&ctx, wrong, &p), 0) << wrong;
    user.attrs["pin"] = "";
    EXPECT_EQ(checkPin(&ctx, "", &p), 1);
    EXPECT_EQ(checkPin(&ctx, "x", &p), 0);
    std::string longPin = repeat('7', 4999);
    user.attrs["pin"] = longPin;
    EXPECT_EQ(checkPin(&ctx, longPin.c_str(), &p), 1);
    EXPECT_EQ(checkPin(&ctx, (longPin + "7").c_str(), &p), 0);

    params("USE_PIN=yes;ATTR_PIN=secretpin");
    user.attrs["secretpin"] = "9";
    EXPECT_EQ(checkPin(&ctx, "9", &p), 1);
}

TEST_F(CheckTest, UnreadablePinMatchesNothing)
{
    params("USE_PIN=yes");
    EXPECT_EQ(checkPin(&ctx, "", &p), 0);
    user.failText = "1234"; /* left in the buffer by the host */
    EXPECT_EQ(checkPin(&ctx, "1234", &p), 0);
}

TEST_F(CheckTest, PinShownOnlyAtSecureLevel)
{
    params("USE_PIN=yes");
    user.attrs["pin"] = "4321";
    checkPin(&ctx, "1111", &p);
    for (const std::string &line : log())
        EXPECT_EQ(line.find("4321"), std::string::npos) << line;
    setLevel(10);
    checkPin(&ctx, "1111", &p);
    EXPECT_TRUE(logHas("checkPin: entered '1111' stored '4321'"));
}

class AttrTraceTest : public CheckTest {
protected:
    const std::vector<std::string> level4 = {
        "SM_USERNAME",          "SM_USERIMPERSONATORNAME", "SM_USERLOGINNAME",
        "SM_USERIPADDRESS",     "SM_USERPATH",             "SM_TRANSACTIONID",
        "SM_USERSESSIONSPEC",   "SM_USERSESSIONID",        "SM_USERSESSIONIP",
        "SM_USERSESSIONUNIVID", "SM_USERSESSIONDIRNAME",   "SM_USERSESSIONDIROID",
        "SM_USERSESSIONTYPE",   "SM_USERLASTLOGINTIME",    "SM_USERGROUPS",
        "SM_USERNESTEDGROUPS",  "SM_USERSCHEMAATTRIBUTES", "SM_USERPOLICIES",
        "SM_USERPRIVS",         "SM_USERREALMPRIVS",       "SM_USERDISABLEDSTATE",
    };

    void SetUp() override
    {
        CheckTest::SetUp();
        for (const std::string &n : level4)
            user.attrs[n] = "v-" + n;
        user.attrs["SM_USERPASSWORD"] = "pw";
        user.attrs["authlevel"] = "2";
        user.attrs["pin"] = "1234";
        params("");
    }
};

TEST_F(AttrTraceTest, AtLevelFourSecretsAreNotRead)
{
    setLevel(4);
    tf->clear();
    traceUserAttributes(&ctx, &p);
    std::vector<std::string> want = level4;
    want.push_back("authlevel");
    EXPECT_EQ(user.asked, want);
    std::vector<std::string> lines = {"User attributes:"};
    for (const std::string &n : want)
        lines.push_back("   " + n + ": " + user.attrs[n]);
    EXPECT_EQ(log(), lines);
}

TEST_F(AttrTraceTest, AtLevelTenEverythingIsRead)
{
    setLevel(10);
    user.attrs.erase("SM_USERGROUPS");
    traceUserAttributes(&ctx, &p);
    ASSERT_EQ(user.asked.size(), 24u);
    EXPECT_EQ(user.asked[5], "SM_USERPASSWORD");
    EXPECT_EQ(user.asked[22], "authlevel");
    EXPECT_EQ(user.asked[23], "pin");
    EXPECT_TRUE(inOrder(log(), {"User attributes:", "   SM_USERPATH: v-SM_USERPATH",
                                "   SM_USERPASSWORD: pw", "   Can't get attribute SM_USERGROUPS",
                                "   authlevel: 2", "   pin: 1234"}));
}

TEST_F(AttrTraceTest, BelowLevelFourNothingIsRead)
{
    setLevel(3);
    traceUserAttributes(&ctx, &p);
    traceUserAttribute(4, &ctx, "SM_USERNAME");
    EXPECT_TRUE(user.asked.empty());
    traceUserAttribute(3, &ctx, "SM_USERNAME");
    EXPECT_EQ(user.asked.size(), 1u);
    EXPECT_TRUE(logHas("   SM_USERNAME: v-SM_USERNAME"));
    EXPECT_FALSE(logHas("User attributes:"));
}

} // namespace
