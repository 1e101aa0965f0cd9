/*
 * BATCH_MAX: the writer inserts the events waiting at the head as one
 * group (never waiting for more), in order; a failed group is tried again
 * whole, and a group refused for its data goes one event at a time, so
 * that REJECT_AFTER sets aside only the event refused.
 */
#include <atomic>
#include <condition_variable>
#include <thread>
#include <mutex>
#include <sqlite3.h>

#include "oci.h"
#include "queue.h"
#include "sqlitehandler.h"

namespace {

/* The writer's pause held until the test opens the gate: events recorded
 * meanwhile wait at the head together. */
std::mutex gateLock;
std::condition_variable gateCond;
bool gateOpen = true;
int gateWaiting = 0;

unsigned gatedNap(unsigned s)
{
    std::unique_lock<std::mutex> hold(gateLock);
    gateWaiting++;
    gateCond.notify_all();
    gateCond.wait(hold, [] { return gateOpen; });
    gateWaiting--;
    hold.unlock();
    return kt::nap(s);
}

class BatchTest : public kt::SqliteHandler {
protected:
    void SetUp() override
    {
        SqliteHandler::SetUp();
        createTableRefusingBad();
    }

    void TearDown() override
    {
        open();
        SqliteHandler::TearDown();
    }

    void open()
    {
        std::lock_guard<std::mutex> hold(gateLock);
        gateOpen = true;
        gateCond.notify_all();
    }

    /* Starts with the settings, the writer held in its first pause (its
     * first logon fails) while users are recorded, then lets it go. */
    void recordHeld(const std::string &conf, const std::vector<std::string> &users)
    {
        {
            std::lock_guard<std::mutex> hold(gateLock);
            gateOpen = false;
        }
        ociStandinReset();
        ociStandinFail("OCILogon", OCI_ERROR, 1);
        restart(conf);
        kelSys.sleep = gatedNap;
        record(users[0]);
        {
            std::unique_lock<std::mutex> hold(gateLock);
            ASSERT_TRUE(gateCond.wait_for(hold, std::chrono::seconds(10), [] { return gateWaiting > 0; }));
        }
        for (size_t i = 1; i < users.size(); i++)
            record(users[i]);
        open();
    }

    static std::vector<std::string> names(const char *prefix, int n)
    {
        std::vector<std::string> out;
        for (int i = 0; i < n; i++)
            out.push_back(prefix + std::to_string(i));
        return out;
    }
};

/* Everything waiting, in the ring or in the journal, goes in groups of at
 * most BATCH_MAX, one execute each; BATCH_MAX 1 (the default) is one
 * execute per event. */
TEST_F(BatchTest, WaitingEventsGoInGroupsInOrder)
{
    struct {
        const char *conf;
        long executes;
    } cases[] = {{"", 10},
                 {"BATCH_MAX = 1\n", 10},
                 {"BATCH_MAX = 4\n", 3},
                 {"BATCH_MAX = 64\n", 1},
                 {"BATCH_MAX = 4\nSPOOL_DIR = spool\n", 3},
                 {"BATCH_MAX = 64\nSPOOL_DIR = spool\nSPOOL_SYNC = none\n", 1}};
    std::vector<std::string> want;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.conf);
        std::vector<std::string> users = names("u", 10);
        size_t before = want.size();
        recordHeld(c.conf, users);
        ASSERT_TRUE(waitUsers(before + users.size()));
        want.insert(want.end(), users.begin(), users.end());
        EXPECT_EQ(want, this->users());
        EXPECT_EQ(c.executes, ociStandinCalls("OCIStmtExecute"));
    }
}

TEST_F(BatchTest, FailedGroupIsTriedAgainWholeAndARefusedOneEventByEvent)
{
    struct {
        const char *what;
        std::vector<std::string> users;
        bool failOnce;
        std::vector<std::string> rows;
        long executes;
    } cases[] = {
        {"failure of the execute", {"a", "b", "c", "d", "e"}, true, {"a", "b", "c", "d", "e"}, 2},
        /* The group, then a, bad (put aside at its first refusal), c, d. */
        {"refused for its data", {"a", "bad", "c", "d"}, false, {"a", "c", "d"}, 5},
    };
    std::vector<std::string> want;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        files.clear();
        recordHeld("BATCH_MAX = 8\nREJECT_AFTER = 1\n", {c.users[0]});
        ASSERT_TRUE(waitUsers(want.size() + 1));
        want.push_back(c.users[0]);
        ociStandinReset();
        /* Held again: the rest waits, then goes as one group. */
        {
            std::lock_guard<std::mutex> hold(gateLock);
            gateOpen = false;
        }
        /* It fails before its execute, so nothing of it can have been
         * committed: the next try may take it with what waits behind it. */
        ociStandinFail("OCIStmtPrepare", OCI_ERROR, 1);
        record("hold");
        {
            std::unique_lock<std::mutex> hold(gateLock);
            ASSERT_TRUE(gateCond.wait_for(hold, std::chrono::seconds(10), [] { return gateWaiting > 0; }));
        }
        ociStandinReset();
        if (c.failOnce)
            ociStandinFail("OCIStmtExecute", OCI_ERROR, 1);
        for (size_t i = 1; i < c.users.size(); i++)
            record(c.users[i]);
        open();
        want.push_back("hold");
        want.insert(want.end(), c.rows.begin() + 1, c.rows.end());
        ASSERT_TRUE(waitUsers(want.size()));
        EXPECT_EQ(want, users());
        EXPECT_EQ(c.executes, ociStandinCalls("OCIStmtExecute"));
        EXPECT_EQ(c.failOnce ? 0 : 1, traced("Event of user bad refused 1 times for its data"));
    }
}

/* The host name is asked for inside the group's insert: holding it holds
 * the writer there, with the group taken from the ring. */
std::atomic<bool> hostHeld(false), hostEntered(false);

int heldHostname(char *name, size_t size)
{
    hostEntered = true;
    while (hostHeld)
        usleep(1000);
    snprintf(name, size, "host");
    return 0;
}

/* Each call held until the test lets one more through. */
std::mutex hostLock;
std::condition_variable hostCond;
int hostPermits = 0, hostCalls = 0;

int countedHostname(char *name, size_t size)
{
    std::unique_lock<std::mutex> hold(hostLock);
    hostCalls++;
    hostCond.notify_all();
    hostCond.wait(hold, [] { return hostPermits > 0; });
    hostPermits--;
    snprintf(name, size, "host");
    return 0;
}

/* The session keeps its group arrays and their binds from group to group:
 * a group of longer texts than the arrays hold, and a group after a lone
 * event (whose insert prepares the statement handle for itself), must
 * still land whole, every value in its column. Each step is taken by the
 * writer while it is held in the host name of the step before. */
TEST_F(BatchTest, GroupRowsHoldEveryValueAcrossKeptArrays)
{
    struct Step {
        const char *what;
        std::vector<int> reasons;
        size_t resourceLength;
    } steps[] = {
        {"a lone event", {0}, 10},
        {"a group", {0, 0, 7}, 10},
        {"a group of longer texts", {7, -3, -3}, 300},
        {"a lone event between groups", {5}, 20},
        {"a group after it", {1, 2, 2, 3}, 40},
    };
    std::vector<kt::Event> events;
    kelSys.gethostname = countedHostname;
    hostPermits = 0;
    hostCalls = 0;
    start("BATCH_MAX = 8\n");
    int step = 0;
    for (const Step &s : steps) {
        SCOPED_TRACE(s.what);
        for (size_t i = 0; i < s.reasons.size(); i++) {
            kt::Event e("uid=" + std::to_string(step) + "-" + std::to_string(i), "authlevel=5", s.reasons[i]);
            e.text(11) = std::string(s.resourceLength + i, 'r');
            events.push_back(e);
            SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e.get());
        }
        /* The step before lands; this one, waiting whole, is taken and
         * held in its host name. */
        std::unique_lock<std::mutex> hold(hostLock);
        hostPermits += step > 0;
        hostCond.notify_all();
        ASSERT_TRUE(hostCond.wait_for(hold, std::chrono::seconds(10), [&] { return hostCalls > step; }));
        step++;
    }
    {
        std::lock_guard<std::mutex> hold(hostLock);
        hostPermits = 1000;
        hostCond.notify_all();
    }
    ASSERT_TRUE(waitUsers(events.size()));
    EXPECT_EQ(5, hostCalls);
    std::vector<kt::Row> rows = kt::auditRows(db);
    ASSERT_EQ(events.size(), rows.size());
    for (size_t i = 0; i < rows.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(events[i].text(3), rows[i]["sm_username"]);
        EXPECT_EQ(events[i].text(11), rows[i]["sm_resource"]);
        EXPECT_EQ(std::to_string(events[i].record().nReason), rows[i]["sm_reason"]);
        EXPECT_EQ("host", rows[i]["sm_hostname"]);
        EXPECT_EQ(events[i].text(13), rows[i]["sm_transactionid"]);
    }
}

/* A release while a group is under insert: the group's events are freed
 * once (ASan), written or counted as discarded, and the event behind them
 * is discarded. */
TEST_F(BatchTest, ReleaseWhileAGroupIsUnderInsert)
{
    struct {
        bool insertFails;
        size_t rows;
        int discarded;
    } cases[] = {{false, 4, 1}, {true, 0, 5}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.insertFails ? "insert fails" : "insert succeeds");
        files.clear();
        kt::createAuditDb(db);
        hostHeld = true;
        hostEntered = false;
        auto realHostname = kelSys.gethostname;
        kelSys.gethostname = heldHostname;
        recordHeld("BATCH_MAX = 8\n", names("g", 4));
        ASSERT_TRUE(kt::eventually([] { return hostEntered.load(); }));
        if (c.insertFails)
            ociStandinFail("OCIStmtExecute", OCI_ERROR, 1);
        record("queued");
        std::thread releaser([] { SmEventRelease(); });
        /* The release has freed the ring and waits for the writer. */
        EXPECT_TRUE(kt::eventually([] {
            int first, next, count, capacity;
            queueLock();
            int ring = queueState(&first, &next, &count, &capacity);
            queueUnlock();
            return ring == 0;
        }));
        hostHeld = false;
        releaser.join();
        kelSys.gethostname = realHostname;
        EXPECT_EQ(c.rows, kt::auditRows(db).size());
        EXPECT_TRUE(files.has("auditRelease: " + std::to_string(c.discarded) +
                              " queued events discarded, 0 waiting recording threads sent away"));
    }
}

} // namespace
