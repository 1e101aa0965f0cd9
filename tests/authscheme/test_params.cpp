/* The parameter string parser and SmAuthQuery. */
#include "authtest.h"

#include <limits.h>

using namespace authtest;

namespace {

class ParamsTest : public SchemeTest {
protected:
    Parameters p;

    int parse(const std::string &text) { return parseParameters(text.c_str(), &p); }
};

TEST_F(ParamsTest, EmptyStringGivesDefaults)
{
    memset(&p, 0x5a, sizeof p);
    EXPECT_EQ(parse(""), 1);
    EXPECT_STREQ(p.description, "QX KEL/PIN authentication scheme");
    EXPECT_STREQ(p.agentName, "authkel");
    EXPECT_STREQ(p.url, "BAD_KEL_AUTH_URL");
    EXPECT_EQ(p.usePin, 0);
    EXPECT_EQ(p.minLevel, 2);
    EXPECT_EQ(p.maxLevel, 3);
    EXPECT_STREQ(p.attrPin, "pin");
    EXPECT_STREQ(p.attrAuth, "authlevel");
    EXPECT_EQ(p.portAz, 44443);
    EXPECT_EQ(p.portAuth, 44442);
    EXPECT_EQ(p.portAcct, 44441);
    EXPECT_TRUE(logHas("Parameters: ''"));
}

TEST_F(ParamsTest, EveryKeywordInAnyCase)
{
    EXPECT_EQ(parse("url=u;Agent_Name=a;description=d;use_pin=YeS;min_level=0;MAX_level=9;"
                    "attr_pin=p2;attr_AUTH=l2;port_az=1;port_auth=2;port_acct=3"),
              1);
    EXPECT_STREQ(p.url, "u");
    EXPECT_STREQ(p.agentName, "a");
    EXPECT_STREQ(p.description, "d");
    EXPECT_EQ(p.usePin, 1);
    EXPECT_EQ(p.minLevel, 0);
    EXPECT_EQ(p.maxLevel, 9);
    EXPECT_STREQ(p.attrPin, "p2");
    EXPECT_STREQ(p.attrAuth, "l2");
    EXPECT_EQ(p.portAz, 1);
    EXPECT_EQ(p.portAuth, 2);
    EXPECT_EQ(p.portAcct, 3);
    EXPECT_TRUE(inOrder(log(), {"Parameter url: u", "Parameter Agent_Name: a",
                                "Parameter port_acct: 3"}));
}

TEST_F(ParamsTest, UsePinIsOnOnlyForYes)
{
    for (const char *on : {"yes", "YES", "yEs"}) {
        EXPECT_EQ(parse(std::string("USE_PIN=") + on), 1);
        EXPECT_EQ(p.usePin, 1) << on;
    }
    for (const char *off : {"no", "1", "true", "", "yes ", " yes"}) {
        EXPECT_EQ(parse(std::string("USE_PIN=yes;USE_PIN=") + off), 1);
        EXPECT_EQ(p.usePin, 0) << off;
    }
    /* A blank before the keyword makes another name; the rest is stored. */
    EXPECT_EQ(parse("URL=u; USE_PIN=yes;ATTR_PIN=x"), 0);
    EXPECT_TRUE(logHas("Parameter  USE_PIN: not recognized"));
    EXPECT_EQ(p.usePin, 0);
    EXPECT_STREQ(p.url, "u");
    EXPECT_STREQ(p.attrPin, "x");
}

TEST_F(ParamsTest, NumbersMustBeWhole)
{
    EXPECT_EQ(parse("MAX_LEVEL=9;MIN_LEVEL= 4"), 1);
    EXPECT_EQ(p.minLevel, 4);
    EXPECT_EQ(parse("MIN_LEVEL=-1"), 1);
    EXPECT_EQ(p.minLevel, -1);
    EXPECT_EQ(parse("MIN_LEVEL=+1;PORT_AZ=99999999999;PORT_AUTH=-99999999999"), 1);
    EXPECT_EQ(p.minLevel, 1);
    EXPECT_EQ(p.portAz, INT_MAX);
    EXPECT_EQ(p.portAuth, INT_MIN);

    /* Refused values leave the field alone, and later items still count. */
    EXPECT_EQ(parse("MIN_LEVEL=4 ;PORT_AZ=;PORT_ACCT=12ab;PORT_AUTH=x;URL=u"), 0);
    EXPECT_EQ(p.minLevel, 2);
    EXPECT_EQ(p.portAz, 44443);
    EXPECT_EQ(p.portAcct, 44441);
    EXPECT_EQ(p.portAuth, 44442);
    EXPECT_STREQ(p.url, "u");
    EXPECT_TRUE(inOrder(log(), {"Parameter MIN_LEVEL: value '4 ' should be a number",
                                "Parameter PORT_AZ: value '' should be a number",
                                "Parameter PORT_ACCT: value '12ab' should be a number",
                                "Parameter PORT_AUTH: value 'x' should be a number"}));
}

TEST_F(ParamsTest, MinLevelMustNotExceedMaxLevel)
{
    EXPECT_EQ(parse("MIN_LEVEL=5"), 0);
    EXPECT_TRUE(logHas("MIN_LEVEL (5) greater than MAX_LEVEL (3)"));
    EXPECT_EQ(parse("MIN_LEVEL=5;MAX_LEVEL=5"), 1);
    EXPECT_EQ(parse("MAX_LEVEL=-3;MIN_LEVEL=-2"), 0);
    EXPECT_TRUE(logHas("MIN_LEVEL (-2) greater than MAX_LEVEL (-3)"));
    /* A malformed item stops parsing before the comparison. */
    tf->clear();
    EXPECT_EQ(parse("MIN_LEVEL=5;URL"), 0);
    EXPECT_EQ(tf->count("MIN_LEVEL (5) greater than MAX_LEVEL (3)"), 0);
}

TEST_F(ParamsTest, ItemSyntax)
{
    EXPECT_EQ(parse("DESCRIPTION=a=b"), 1);
    EXPECT_STREQ(p.description, "a=b");
    EXPECT_EQ(parse("URL= a\tb "), 1);
    EXPECT_STREQ(p.url, " a\tb ");
    EXPECT_EQ(parse("URL=first;URL=second"), 1);
    EXPECT_STREQ(p.url, "second");
    EXPECT_EQ(parse("AGENT_NAME=x;"), 1);
    EXPECT_STREQ(p.agentName, "x");

    EXPECT_EQ(parse("AGENT_NAME=x;;URL=y"), 0);
    EXPECT_TRUE(logHas("Parameter ;URL: not recognized"));
    EXPECT_STREQ(p.agentName, "x");
    EXPECT_STREQ(p.url, "BAD_KEL_AUTH_URL");

    EXPECT_EQ(parse("URL"), 0);
    EXPECT_TRUE(logHas("Parameter URL: '=' missing after parameter name"));
    EXPECT_EQ(parse("=x"), 0);
    EXPECT_TRUE(logHas("Parameter name missing"));
    /* Items before the fault are kept; items after it are not read. */
    EXPECT_EQ(parse("URL=u;=x;AGENT_NAME=late"), 0);
    EXPECT_STREQ(p.url, "u");
    EXPECT_STREQ(p.agentName, "authkel");
}

TEST_F(ParamsTest, NamesAndValuesUpTo4999Characters)
{
    std::string longName = repeat('N', 4999);
    EXPECT_EQ(parse(longName + "=v"), 0); /* passes the syntax, unknown name */
    EXPECT_TRUE(logHas("Parameter " + longName + ": not recognized"));
    EXPECT_FALSE(logHas("Parameter name too long"));
    EXPECT_EQ(parse(repeat('N', 5000) + "=v"), 0);
    EXPECT_TRUE(logHas("Parameter name too long"));
    EXPECT_EQ(parse(repeat('N', 20000)), 0);

    std::string longValue = repeat('v', 4999);
    EXPECT_EQ(parse("URL=" + longValue), 1);
    EXPECT_EQ(std::string(p.url), longValue);
    EXPECT_FALSE(logHas("Parameter value too long"));
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
    EXPECT_EQ(query("", SM_AUTH_QUERY_DESCRIPTION), 0);
    EXPECT_STREQ(buf, "QX KEL/PIN authentication scheme");
    EXPECT_EQ(status, 768);
    EXPECT_EQ(query("URL=https://login.qx/pin", SM_AUTH_QUERY_CREDENTIALS), 0);
    EXPECT_STREQ(buf, "https://login.qx/pin");
    EXPECT_EQ(status, 33554433);
    EXPECT_TRUE(inOrder(log(), {"Parameters: ''", "Query description",
                                "Parameters: 'URL=https://login.qx/pin'", "Query credentials"}));
}

TEST_F(QueryTest, FaultyStringIsStillAnswered)
{
    EXPECT_EQ(query("DESCRIPTION=mine;BOGUS=1;URL=u;MIN_LEVEL=9", SM_AUTH_QUERY_DESCRIPTION), 0);
    EXPECT_STREQ(buf, "mine");
    EXPECT_EQ(query("DESCRIPTION=mine;URL=u;URL", SM_AUTH_QUERY_CREDENTIALS), 0);
    EXPECT_STREQ(buf, "u");
    EXPECT_EQ(status, 33554433);
    EXPECT_TRUE(logHas("Parameter BOGUS: not recognized"));
}

TEST_F(QueryTest, AnswerIsCutTo1023Characters)
{
    std::string desc = repeat('d', 2000);
    EXPECT_EQ(query("DESCRIPTION=" + desc, SM_AUTH_QUERY_DESCRIPTION), 0);
    EXPECT_EQ(std::string(buf), desc.substr(0, 1023));
    EXPECT_EQ(buf[1024], '#');
    EXPECT_EQ(query("URL=" + repeat('u', 1023), SM_AUTH_QUERY_CREDENTIALS), 0);
    EXPECT_EQ(strlen(buf), 1023u);
}

TEST_F(QueryTest, UnknownQueryCode)
{
    EXPECT_EQ(query("", 2), 1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(status, -7);
    EXPECT_EQ(query("", -1), 1);
    EXPECT_FALSE(logHas("Query description"));
}

} // namespace
