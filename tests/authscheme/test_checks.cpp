/* Splitting the posted text, the level and PIN checks, attribute tracing. */
#include "authtest.h"

using namespace authtest;

namespace {

class CheckTest : public SchemeTest {
protected:
    FakeUser user;
    Sm_Api_UserContext_t ctx = userContext("uid=jdoe", &user);
    Parameters p;

    void params(const char *text) { ASSERT_EQ(parseParameters(text, &p), 1); }
};

TEST_F(CheckTest, SplitPassword)
{
    struct {
        std::string posted, pin, cookie, msg;
    } cases[] = {
        {"1234;abc", "1234", "abc", ""},
        {"1234;", "1234", "", ""},
        {";abc", "", "abc", ""},
        {"12;a;b", "12", "a;b", ""},
        {repeat('1', 4999) + ";" + repeat('c', 4999), repeat('1', 4999), repeat('c', 4999), ""},
        {"1234abc", "", "", "Posted PIN/cookie: ';' missing"},
        {repeat('1', 5000) + ";c", "", "", "Posted PIN too long"},
        {repeat('1', 5000), "", "", "Posted PIN too long"},
        {"1;" + repeat('c', 5000), "", "", "Posted cookie too long"},
    };
    char pin[BUF_SIZE], cookie[BUF_SIZE], msg[64];
    for (auto &c : cases) {
        memset(msg, '#', sizeof msg);
        tf->clear();
        int ok = splitPassword(c.posted.c_str(), pin, cookie, msg, sizeof msg);
        EXPECT_EQ(ok, c.msg.empty()) << c.posted.substr(0, 20);
        EXPECT_EQ(msg, c.msg);
        if (ok) {
            EXPECT_EQ(pin, c.pin);
            EXPECT_EQ(cookie, c.cookie);
        } else {
            EXPECT_EQ(log(), std::vector<std::string>{c.msg});
        }
    }
    /* The message is cut to its buffer; a size of 0 or less writes nothing. */
    memset(msg, '#', sizeof msg);
    EXPECT_EQ(splitPassword("x", pin, cookie, msg, 10), 0);
    EXPECT_STREQ(msg, "Posted PI");
    EXPECT_EQ(msg[10], '#');
    memset(msg, '#', sizeof msg);
    EXPECT_EQ(splitPassword("x", pin, cookie, msg, 0), 0);
    EXPECT_EQ(splitPassword("x", pin, cookie, msg, -1), 0);
    EXPECT_EQ(msg[0], '#');
}

TEST_F(CheckTest, LevelWithinInclusiveBounds)
{
    auto level = [&](const char *value) {
        user.attrs["authlevel"] = value;
        return checkAuthLevel(&ctx, &p);
    };
    params("");
    for (const char *pass : {"2", "3", "3x", " 3", "+2"})
        EXPECT_EQ(level(pass), 1) << pass;
    for (const char *fail : {"1", "4", "abc", "", "-2", "99999999999"})
        EXPECT_EQ(level(fail), 0) << fail;
    params("MIN_LEVEL=0");
    EXPECT_EQ(level("abc"), 1);
    params("MIN_LEVEL=-2147483648;MAX_LEVEL=2147483647");
    EXPECT_EQ(level("-99999999999"), 1);
    params("ATTR_AUTH=clearance");
    user.attrs["clearance"] = "2";
    EXPECT_EQ(level("9"), 1);

    /* Unreadable: no level, whatever the host left in the buffer. */
    user.attrs.clear();
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
    for (const char *wrong : {"ab12", "Ab12 ", " Ab12", "Ab1", "Ab123", ""})
        EXPECT_EQ(checkPin(&ctx, wrong, &p), 0) << wrong;
    user.attrs["pin"] = "";
    EXPECT_EQ(checkPin(&ctx, "", &p), 1);
    std::string longPin = repeat('7', 4999);
    user.attrs["pin"] = longPin;
    EXPECT_EQ(checkPin(&ctx, longPin.c_str(), &p), 1);
    EXPECT_EQ(checkPin(&ctx, (longPin + "7").c_str(), &p), 0);
    /* The comparison runs a word at a time: a difference in the very last
     * character, or in any one position, still counts. */
    for (size_t pos : {(size_t)0, (size_t)7, (size_t)8, (size_t)4991, (size_t)4998}) {
        std::string other = longPin;
        other[pos] = '8';
        EXPECT_EQ(checkPin(&ctx, other.c_str(), &p), 0) << pos;
    }

    /* What a getter leaves after the text's end does not count. */
    Sm_Api_UserContext_t dirty = ctx;
    dirty.fnGetUserAttr = [](void *, const char *, int size, char *buf) {
        memset(buf, 'z', (size_t)size);
        strcpy(buf, "Ab12");
        return 0;
    };
    EXPECT_EQ(checkPin(&dirty, "Ab12", &p), 1);

    /* An unreadable PIN matches nothing, not even what the host left. */
    user.attrs.clear();
    EXPECT_EQ(checkPin(&ctx, "", &p), 0);
    user.failText = "Ab12";
    EXPECT_EQ(checkPin(&ctx, "Ab12", &p), 0);

    /* The PIN shows only at the secure level. */
    user.attrs["pin"] = "4321";
    checkPin(&ctx, "1111", &p);
    for (const std::string &line : log())
        EXPECT_EQ(line.find("4321"), std::string::npos) << line;
    setLevel(10);
    checkPin(&ctx, "1111", &p);
    EXPECT_TRUE(logHas("checkPin: entered '1111' stored '4321'"));
}

TEST_F(CheckTest, AttributeTraceByLevel)
{
    const std::vector<std::string> rows = {
        "SM_USERNAME",          "SM_USERIMPERSONATORNAME", "SM_USERLOGINNAME",
        "SM_USERIPADDRESS",     "SM_USERPATH",             "SM_TRANSACTIONID",
        "SM_USERSESSIONSPEC",   "SM_USERSESSIONID",        "SM_USERSESSIONIP",
        "SM_USERSESSIONUNIVID", "SM_USERSESSIONDIRNAME",   "SM_USERSESSIONDIROID",
        "SM_USERSESSIONTYPE",   "SM_USERLASTLOGINTIME",    "SM_USERGROUPS",
        "SM_USERNESTEDGROUPS",  "SM_USERSCHEMAATTRIBUTES", "SM_USERPOLICIES",
        "SM_USERPRIVS",         "SM_USERREALMPRIVS",       "SM_USERDISABLEDSTATE",
    };
    for (const std::string &n : rows)
        user.attrs[n] = "v-" + n;
    user.attrs["SM_USERPASSWORD"] = "pw";
    user.attrs["authlevel"] = "2";
    user.attrs["pin"] = "1234";
    params("");

    /* Level 3: not a single read. */
    setLevel(3);
    traceUserAttributes(&ctx, &p);
    EXPECT_TRUE(user.asked.empty());

    /* Level 4: the level-4 rows, in order; password and PIN never read. */
    setLevel(4);
    tf->clear();
    traceUserAttributes(&ctx, &p);
    std::vector<std::string> want = rows, lines = {"User attributes:"};
    want.push_back("authlevel");
    for (const std::string &n : want)
        lines.push_back("   " + n + ": " + user.attrs[n]);
    EXPECT_EQ(user.asked, want);
    EXPECT_EQ(log(), lines);

    /* Level 10: all 24, with a failed read reported. */
    setLevel(10);
    user.asked.clear();
    user.attrs.erase("SM_USERGROUPS");
    traceUserAttributes(&ctx, &p);
    ASSERT_EQ(user.asked.size(), 24u);
    EXPECT_EQ(user.asked[5], "SM_USERPASSWORD");
    EXPECT_EQ(user.asked[23], "pin");
    EXPECT_TRUE(inOrder(log(), {"   SM_USERPATH: v-SM_USERPATH", "   SM_USERPASSWORD: pw",
                                "   Can't get attribute SM_USERGROUPS", "   authlevel: 2",
                                "   pin: 1234"}));
}

} // namespace
