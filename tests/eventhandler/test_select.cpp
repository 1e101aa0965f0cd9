/*
 * test_select.cpp - which events are audited: kinds, categories, the auth
 * level item and system events.
 */
#include <gtest/gtest.h>

#include <string>

#include "audit.h"
#include "smeventkel.h"
#include "trace.h"
#include "tracefiles.h"
#include "eventfixture.h"

namespace {

class SelectTest : public ::testing::Test {
protected:
    kt::TraceFiles files{5};

    void SetUp() override
    {
        traceReset();
        trace(TRACE_1, "test starts"); /* reads keltrace.conf now */
    }
    void TearDown() override
    {
        auditRelease();
        traceReset();
    }

    int level(const std::string &txn)
    {
        files.clear();
        return getAuthLevel(txn.c_str());
    }
};

TEST_F(SelectTest, AuthLevelFromTransactionId)
{
    EXPECT_EQ(10, level("authlevel=10"));
    EXPECT_TRUE(files.has("auth level 10"));
    EXPECT_EQ(7, level("a=1;b=x=y;authlevel=7;authlevel=9"));
    EXPECT_EQ(3, level("authlevel= 3x"));
    EXPECT_EQ(0, level("authlevel=high"));
    EXPECT_TRUE(files.has("auth level 0"));
    EXPECT_EQ(-2, level("authlevel=-2"));
    EXPECT_EQ(2147483647, level("authlevel=99999999999"));
}

TEST_F(SelectTest, AuthLevelMissingOrMalformed)
{
    for (const char *txn : {"AUTHLEVEL=10", "a=1;;authlevel=10", "a=1;", "", " authlevel=10"}) {
        EXPECT_EQ(0, level(txn)) << txn;
        EXPECT_EQ(std::vector<std::string>{"authLevel: authlevel not in transaction id"},
                  files.messages())
            << txn;
    }
    EXPECT_EQ(0, level("no equals sign"));
    EXPECT_EQ(std::vector<std::string>{"getAuthLevel: '=' missing after name"}, files.messages());

    EXPECT_EQ(10, level(std::string(99, 'n') + "=1;authlevel=10"));
    EXPECT_TRUE(files.has("auth level 10"));
    EXPECT_EQ(0, level(std::string(100, 'n') + "=1;authlevel=10"));
    EXPECT_EQ(std::vector<std::string>{"getAuthLevel: name too long"}, files.messages());
    EXPECT_EQ(0, level("x=" + std::string(100, 'v') + ";authlevel=10"));
    EXPECT_EQ(std::vector<std::string>{"getAuthLevel: value too long"}, files.messages());
    EXPECT_EQ(10, level("x=" + std::string(99, 'v') + ";authlevel=10"));
}

TEST_F(SelectTest, OnlyAcceptedAuthenticationsAreLookedAt)
{
    SmEventInit();
    files.clear();
    kt::Event ev;
    SmEventRecord(1, 1, 2, ev.get());
    SmEventRecord(1, 2, 1, ev.get());
    SmEventRecord(2, 1, 1, ev.get());
    SmEventRecord(4, 1, 1, ev.get());
    SmEventRecord(1, 1, 1, nullptr);
    EXPECT_EQ(std::vector<std::string>{}, files.messages());
}

TEST_F(SelectTest, SystemEvents)
{
    SmEventInit();
    files.clear();
    SmLog_System_s sys{};
    SmEventRecord(3, 3, 3, &sys);
    SmEventRecord(3, 1, 1, &sys);
    SmEventRecord(3, 5, 4, &sys);
    SmEventRecord(3, 2, 2, &sys);
    SmEventRecord(3, 9, 3, &sys);
    SmEventRecord(3, 3, 5, &sys);
    EXPECT_EQ((std::vector<std::string>{"Az server UP", "Auth server INITIALIZING", "System server DOWN",
                                        "Acct server INIT FAILED", " server UP"}),
              files.messages());
}

TEST_F(SelectTest, LevelBelowTheMinimumIsNotAudited)
{
    files.writeConfig("kelaudit.conf", "DATASOURCE = missing.db\nRETRY_DELAY = 0\n");
    SmEventInit();
    files.clear();
    kt::Event ev("uid=bob", "authlevel=9");
    SmEventRecord(1, 1, 1, ev.get());
    EXPECT_EQ((std::vector<std::string>{"Auth Accept Event", "auth level 9"}), files.messages());
}

TEST_F(SelectTest, AuditedEventTracesItsFieldsThenQueues)
{
    files.writeConfig("kelaudit.conf", "DATASOURCE = missing.db\nRETRY_DELAY = 0\nMIN_LEVEL = 0\n");
    SmEventInit();
    files.clear();
    kt::Event ev("uid=carol", "x=1");
    ev.record().nReason = 42;
    SmEventRecord(1, 1, 1, ev.get());
    std::vector<std::string> m = files.messages();
    ASSERT_GE(m.size(), 22u);
    EXPECT_EQ("Auth Accept Event", m[0]);
    EXPECT_EQ("authLevel: authlevel not in transaction id", m[1]);
    EXPECT_EQ("   nVersion: 1", m[2]);
    EXPECT_EQ("   nCurrentTime: 1700000000", m[3]);
    EXPECT_EQ("   nReason: 42", m[4]);
    EXPECT_EQ("   szAgentName: agent1", m[5]);
    EXPECT_EQ("   szUserName: uid=carol", m[8]);
    EXPECT_EQ("   szTransactionId: x=1", m[18]);
    EXPECT_EQ("   szStatusMsg: accepted", m[19]);
    EXPECT_EQ("auditAuth", m[20]);
}

TEST_F(SelectTest, ReleaseWithoutAnyAuditedEvent)
{
    SmEventInit();
    files.clear();
    SmEventRelease();
    EXPECT_EQ((std::vector<std::string>{"SmEventRelease", "auditRelease", "queueFree"}), files.messages());
}

} // namespace
