/* The parameter string parser and SmAuthQuery. */
#include <limits.h>

#include "authtest.h"
#include "paramcache.h"

using namespace authtest;

namespace {

class ParamsTest : public SchemeTest {
protected:
    Parameters p;
    int parse(const std::string &text) { return parseParameters(text.c_str(), &p); }
};

TEST_F(ParamsTest, DefaultsAndKeywordsInAnyCase)
{
    memset(&p, 0x5a, sizeof p);
    EXPECT_EQ(parse(""), 1);
    EXPECT_STREQ(p.description, "QX KEL/PIN authentication scheme");
    EXPECT_STREQ(p.agentName, "authkel");
    EXPECT_STREQ(p.url, "BAD_KEL_AUTH_URL");
    EXPECT_STREQ(p.attrPin, "pin");
    EXPECT_STREQ(p.attrAuth, "authlevel");
    EXPECT_EQ(std::vector<int>({p.usePin, p.minLevel, p.maxLevel, p.portAz, p.portAuth, p.portAcct}),
              std::vector<int>({0, 2, 3, 44443, 44442, 44441}));

    EXPECT_EQ(parse("url=u;Agent_Name=a;description=d;use_pin=YeS;min_level=0;MAX_level=9;"
                    "attr_pin=p2;attr_AUTH=l2;port_az=1;port_auth=2;port_acct=3"),
              1);
    EXPECT_STREQ(p.url, "u");
    EXPECT_STREQ(p.agentName, "a");
    EXPECT_STREQ(p.description, "d");
    EXPECT_STREQ(p.attrPin, "p2");
    EXPECT_STREQ(p.attrAuth, "l2");
    EXPECT_EQ(std::vector<int>({p.usePin, p.minLevel, p.maxLevel, p.portAz, p.portAuth, p.portAcct}),
              std::vector<int>({1, 0, 9, 1, 2, 3}));
    EXPECT_TRUE(inOrder(log(), {"Parameters: ''", "Parameter url: u", "Parameter port_acct: 3"}));
}

TEST_F(ParamsTest, UsePinIsOnOnlyForYes)
{
    for (const char *off : {"no", "1", "true", "", "yes ", " yes"}) {
        EXPECT_EQ(parse(std::string("USE_PIN=yes;USE_PIN=") + off), 1);
        EXPECT_EQ(p.usePin, 0) << off;
    }
    /* A blank before the keyword makes an unknown name; the rest is stored. */
    EXPECT_EQ(parse("URL=u; USE_PIN=yes;ATTR_PIN=x"), 0);
    EXPECT_TRUE(logHas("Parameter  USE_PIN: not recognized"));
    EXPECT_EQ(p.usePin, 0);
    EXPECT_STREQ(p.url, "u");
    EXPECT_STREQ(p.attrPin, "x");
}

/* A value other than yes or no keeps the PIN check off, as written, and
 * SmAuthInit says so at level 1; yes and no in any case say nothing. */
TEST_F(ParamsTest, UnclearUsePinIsTracedAtInit)
{
    struct {
        const char *params;
        const char *line; /* nullptr: none */
    } cases[] = {
        {"USE_PIN=true", "USE_PIN 'true' is neither yes nor no: PIN check off"},
        {"USE_PIN=yes ", "USE_PIN 'yes ' is neither yes nor no: PIN check off"},
        {"USE_PIN=", "USE_PIN '' is neither yes nor no: PIN check off"},
        {"USE_PIN=on;USE_PIN=No", nullptr},
        {"USE_PIN=YES", nullptr},
        {"", nullptr},
    };
    for (auto &c : cases) {
        tf->clear();
        ASSERT_EQ(SmAuthInit(c.params, "s3cret"), 0) << c.params;
        std::vector<std::string> lines = log();
        int unclear = 0;
        for (const std::string &l : lines)
            unclear += l.find("is neither yes nor no") != std::string::npos;
        EXPECT_EQ(c.line != nullptr ? 1 : 0, unclear) << c.params;
        if (c.line != nullptr) {
            EXPECT_TRUE(logHas(c.line)) << c.params;
        }
        SmAuthRelease(NULL, NULL);
        kt::clock::advance(2); /* the release closed the log: let it open again */
    }
}

TEST_F(ParamsTest, NumbersAndLevelBounds)
{
    EXPECT_EQ(parse("MAX_LEVEL=9;MIN_LEVEL= 4;PORT_AZ=99999999999;PORT_AUTH=-99999999999"), 1);
    EXPECT_EQ(p.minLevel, 4);
    EXPECT_EQ(p.portAz, INT_MAX);
    EXPECT_EQ(p.portAuth, INT_MIN);
    EXPECT_EQ(parse("MIN_LEVEL=-1"), 1);
    EXPECT_EQ(p.minLevel, -1);

    /* Refused values leave the field alone; later items still count. */
    EXPECT_EQ(parse("MIN_LEVEL=4 ;PORT_AZ=;PORT_ACCT=12ab;URL=u"), 0);
    EXPECT_EQ(p.minLevel, 2);
    EXPECT_EQ(p.portAz, 44443);
    EXPECT_EQ(p.portAcct, 44441);
    EXPECT_STREQ(p.url, "u");
    EXPECT_TRUE(inOrder(log(), {"Parameter MIN_LEVEL: value '4 ' should be a number",
                                "Parameter PORT_AZ: value '' should be a number",
                                "Parameter PORT_ACCT: value '12ab' should be a number"}));

    EXPECT_EQ(parse("MIN_LEVEL=5"), 0);
    EXPECT_TRUE(logHas("MIN_LEVEL (5) greater than MAX_LEVEL (3)"));
    EXPECT_EQ(parse("MIN_LEVEL=5;MAX_LEVEL=5"), 1);
    /* A malformed item stops parsing before the comparison. */
    tf->clear();
    EXPECT_EQ(parse("MIN_LEVEL=5;URL"), 0);
    EXPECT_FALSE(logHas("MIN_LEVEL (5) greater than MAX_LEVEL (3)"));
}

TEST_F(ParamsTest, PinTriesIsACountOfZeroOrMore)
{
    struct Case {
        const char *item;
        int ok, stored;
        const char *line;
    } cases[] = {
        {"", 1, 0, "Parameters: ''"},
        {"pin_tries=3", 1, 3, "Parameter pin_tries: 3"},
        {"PIN_TRIES=0", 1, 0, "Parameter PIN_TRIES: 0"},
        {"PIN_TRIES=-1", 0, 0, "Parameter PIN_TRIES: value '-1' should be 0 or more"},
        {"PIN_TRIES=3x", 0, 0, "Parameter PIN_TRIES: value '3x' should be a number"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(parse(c.item), c.ok) << c.item;
        EXPECT_EQ(p.pinTries, c.stored) << c.item;
        EXPECT_TRUE(logHas(c.line)) << c.line;
    }
}

TEST_F(ParamsTest, ItemSyntax)
{
    EXPECT_EQ(parse("DESCRIPTION=a=b;URL= a\tb ;AGENT_NAME=first;AGENT_NAME=x;"), 1);
    EXPECT_STREQ(p.description, "a=b");
    EXPECT_STREQ(p.url, " a\tb ");
    EXPECT_STREQ(p.agentName, "x");

    EXPECT_EQ(parse("AGENT_NAME=x;;URL=y"), 0);
    EXPECT_TRUE(logHas("Parameter ;URL: not recognized"));
    EXPECT_STREQ(p.agentName, "x");
    EXPECT_STREQ(p.url, "BAD_KEL_AUTH_URL");

    EXPECT_EQ(parse("URL"), 0);
    EXPECT_TRUE(logHas("Parameter URL: '=' missing after parameter name"));
    /* Items before a malformed one are kept, items after it never read. */
    EXPECT_EQ(parse("URL=u;=x;AGENT_NAME=late"), 0);
    EXPECT_TRUE(logHas("Parameter name missing"));
    EXPECT_STREQ(p.url, "u");
    EXPECT_STREQ(p.agentName, "authkel");
}

TEST_F(ParamsTest, NamesAndValuesUpTo4999Characters)
{
    std::string name = repeat('N', 4999), value = repeat('v', 4999);
    EXPECT_EQ(parse(name + "=v"), 0); /* well formed, but unknown */
    EXPECT_TRUE(logHas("Parameter " + name + ": not recognized"));
    EXPECT_EQ(parse("URL=" + value), 1);
    EXPECT_EQ(p.url, value);
    EXPECT_FALSE(logHas("Parameter name too long"));
    EXPECT_FALSE(logHas("Parameter value too long"));

    EXPECT_EQ(parse(repeat('N', 5000) + "=v"), 0);
    EXPECT_TRUE(logHas("Parameter name too long"));
    EXPECT_EQ(parse("URL=u;DESCRIPTION=" + repeat('v', 5000) + ";AGENT_NAME=late"), 0);
    EXPECT_TRUE(logHas("Parameter value too long"));
    EXPECT_STREQ(p.url, "u");
    EXPECT_STREQ(p.description, "QX KEL/PIN authentication scheme");
    EXPECT_STREQ(p.agentName, "authkel");
}

class QueryTest : public SchemeTest {
protected:
    char buf[1100];
    int status;

    int query(const std::string &params, int code)
    {
        memset(buf, '#', sizeof buf);
        status = -7;
        return SmAuthQuery(params.c_str(), "secret", code, buf, &status);
    }
};

TEST_F(QueryTest, DescriptionAndCredentials)
{
    EXPECT_EQ(query("", 0), 0);
    EXPECT_STREQ(buf, "QX KEL/PIN authentication scheme");
    EXPECT_EQ(status, 768);
    EXPECT_EQ(query("URL=/pin", 1), 0);
    EXPECT_STREQ(buf, "/pin");
    EXPECT_EQ(status, 33554433);
    EXPECT_TRUE(inOrder(log(), {"Parameters: ''", "Query description", "Parameters: 'URL=/pin'",
                                "Query credentials"}));

    /* A faulty string is answered from what was stored before the fault. */
    EXPECT_EQ(query("DESCRIPTION=mine;BOGUS=1;MIN_LEVEL=9;URL", 0), 0);
    EXPECT_STREQ(buf, "mine");
    EXPECT_EQ(query("URL=u;URL", 1), 0);
    EXPECT_STREQ(buf, "u");

    EXPECT_EQ(query("DESCRIPTION=" + repeat('d', 2000), 0), 0);
    EXPECT_EQ(std::string(buf), repeat('d', 1023));
    EXPECT_EQ(buf[1024], '#');
}

TEST_F(QueryTest, UnknownQueryCode)
{
    for (int code : {2, -1}) {
        EXPECT_EQ(query("", code), 1);
        EXPECT_STREQ(buf, "");
        EXPECT_EQ(status, -7);
    }
}

} // namespace

namespace {

/* The login path keeps clean parses: what each call gets, and what the
 * trace shows, must be what a fresh parse gives, whatever came before. */
TEST_F(ParamsTest, KeptParsesGiveTheSameSettingsAndTraceAsFreshOnes)
{
    Parameters scratch;
    setLevel(4);
    trace(TRACE_ERROR, "level 4 now");
    const Parameters *a = paramsFor("MIN_LEVEL=1;URL=a", &scratch);
    ASSERT_NE(a, nullptr);
    const Parameters *b = paramsFor("MIN_LEVEL=2;URL=b", &scratch);
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b->url, "b");
    a = paramsFor("MIN_LEVEL=1;URL=a", &scratch);
    EXPECT_NE(a, &scratch) << "the clean string's parse was not kept";
    EXPECT_STREQ(a->url, "a");
    EXPECT_EQ(a->minLevel, 1);
    Parameters fresh;
    ASSERT_EQ(parseParameters("MIN_LEVEL=1;URL=a", &fresh), 1);
    EXPECT_EQ(memcmp(a, &fresh, sizeof fresh), 0);

    /* Strings over 1,024 characters are parsed every time: two that share
     * their first 1,024 characters keep their own settings. */
    std::string head = "DESCRIPTION=" + repeat('d', 1100) + ";MIN_LEVEL=";
    for (int round = 0; round < 2; round++)
        for (int level : {1, 3}) {
            const Parameters *got = paramsFor((head + std::to_string(level)).c_str(), &scratch);
            ASSERT_EQ(got, &scratch);
            EXPECT_EQ(got->minLevel, level);
        }

    /* A faulty string is never kept: its line comes with every call. */
    for (int i = 0; i < 2; i++)
        EXPECT_EQ(paramsFor("URL=x;NOPE=1", &scratch), nullptr);
    EXPECT_EQ(tf->count("Parameter NOPE: not recognized"), 2);

    /* At level 5 a kept string is parsed afresh, with its lines. */
    setLevel(5);
    trace(TRACE_ERROR, "level 5 now");
    const Parameters *c = paramsFor("MIN_LEVEL=1;URL=a", &scratch);
    EXPECT_EQ(c, &scratch);
    EXPECT_STREQ(c->url, "a");
    EXPECT_TRUE(logHas("Parameter URL: a"));
}

} // namespace
