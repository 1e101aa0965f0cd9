/*
 * test_queue.cpp - event copies and the bounded ring: deep copies, wrap-
 * around, blocking, release and allocation failures.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdio.h>
#include <unistd.h>
#include <string>
#include <thread>
#include <vector>

#include "audit.h"
#include "eventfixture.h"
#include "kelsys.h"
#include "smeventkel.h"
#include "trace.h"
#include "tracefiles.h"

namespace {

/* Allocation failure injection: the Nth allocation of the copy fails. */
std::atomic<int> allocCalls(0);
std::atomic<int> failAt(-1);

void *countingMalloc(size_t n)
{
    return ++allocCalls == failAt ? nullptr : malloc(n);
}

char *countingStrdup(const char *s)
{
    return ++allocCalls == failAt ? nullptr : strdup(s);
}

void *countingCalloc(size_t n, size_t size)
{
    return ++allocCalls == failAt ? nullptr : calloc(n, size);
}

/* Resident memory of this process, in bytes. */
long residentBytes()
{
    long pages = 0, resident = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (f != nullptr && fscanf(f, "%ld %ld", &pages, &resident) != 2)
        resident = 0;
    if (f != nullptr)
        fclose(f);
    return resident * sysconf(_SC_PAGESIZE);
}

class QueueTest : public ::testing::Test {
protected:
    kt::TraceFiles files{5};

    void SetUp() override
    {
        traceReset();
        param.maxQueue = 3;
        queueLock();
        ASSERT_TRUE(queueCreate());
        queueUnlock();
    }

    void TearDown() override
    {
        queueLock();
        queueFree();
        queueUnlock();
        kelSysReset();
        traceReset();
    }

    void put(kt::Event &e)
    {
        queueLock();
        queuePut(e.get());
        queueUnlock();
    }

    std::string getUser()
    {
        queueLock();
        SmLog_Access_s *e = queueGet();
        queueUnlock();
        std::string user = e != nullptr ? e->szUserName : "(none)";
        eventFree(e);
        return user;
    }

    void state(int &first, int &next, int &count)
    {
        int capacity;
        queueLock();
        queueState(&first, &next, &count, &capacity);
        queueUnlock();
    }
};

TEST_F(QueueTest, CopiesAreDeepAndIndependent)
{
    kt::Event e("uid=alice");
    put(e);
    e.text(3) = "changed";
    e.record().nReason = 99;
    queueLock();
    SmLog_Access_s *c = queuePeek();
    queueUnlock();
    ASSERT_NE(nullptr, c);
    EXPECT_STREQ("uid=alice", c->szUserName);
    EXPECT_STREQ("accepted", c->szStatusMsg);
    EXPECT_STREQ("authlevel=10", c->szTransactionId);
    EXPECT_EQ(0, c->nReason);
    EXPECT_NE(e.get()->szUserName, c->szUserName);
}

TEST_F(QueueTest, PeekThenGetReturnTheSameEntry)
{
    kt::Event a("a"), b("b");
    put(a);
    put(b);
    queueLock();
    SmLog_Access_s *p1 = queuePeek();
    SmLog_Access_s *p2 = queuePeek();
    int first, next, count, cap;
    queueState(&first, &next, &count, &cap);
    SmLog_Access_s *g = queueGet();
    queueUnlock();
    EXPECT_EQ(p1, p2);
    EXPECT_EQ(p1, g);
    EXPECT_EQ(2, count);
    eventFree(g);
    EXPECT_EQ("b", getUser());
}

TEST_F(QueueTest, BothIndexesWrapAround)
{
    std::vector<kt::Event> evs;
    for (int i = 0; i < 7; i++)
        evs.emplace_back("user" + std::to_string(i));
    int first, next, count;
    for (int round = 0; round < 2; round++) {
        for (int i = 0; i < 3; i++)
            put(evs[round * 3 + i]);
        state(first, next, count);
        EXPECT_EQ(0, next);
        EXPECT_EQ(3, count);
        for (int i = 0; i < 3; i++)
            EXPECT_EQ("user" + std::to_string(round * 3 + i), getUser());
        state(first, next, count);
        EXPECT_EQ(0, first);
        EXPECT_EQ(0, count);
    }
    EXPECT_TRUE(files.has("queuePut: entry 2, user user5, 2 already in queue"));
    EXPECT_TRUE(files.has("queueGet: entry 2, user user5"));
    EXPECT_TRUE(files.has("queuePut: entry 0, user user3, 0 already in queue"));
}

TEST_F(QueueTest, FullQueueBlocksPutUntilGet)
{
    queueLock();
    queueFree();
    param.maxQueue = 1;
    ASSERT_TRUE(queueCreate());
    queueUnlock();

    kt::Event a("first"), b("second");
    put(a);
    std::atomic<bool> done(false);
    std::thread producer([&] {
        put(b);
        done = true;
    });
    ASSERT_TRUE(kt::eventually([&] { return files.has("queuePut: waiting - queue full"); }));
    EXPECT_FALSE(done);
    EXPECT_EQ("first", getUser());
    producer.join();
    EXPECT_TRUE(done);
    EXPECT_TRUE(files.has("queuePut: entry 0, user second, 1 already in queue"));
    EXPECT_EQ("second", getUser());
}

TEST_F(QueueTest, FreeDiscardsEntriesAndWakesEveryone)
{
    kt::Event a("a"), b("b"), c("c"), d("d");
    put(a);
    put(b);
    put(c);
    std::thread producer([&] { put(d); }); /* waits: the ring is full */
    ASSERT_TRUE(kt::eventually([&] { return files.has("queuePut: waiting - queue full"); }));
    files.clear();
    queueLock();
    queueFree();
    queueUnlock();
    producer.join();
    std::vector<std::string> m = files.messages();
    EXPECT_EQ("queueFree", m.at(0));
    EXPECT_EQ("queueGet: entry 0, user a", m.at(1));
    EXPECT_EQ("queueGet: entry 1, user b", m.at(2));
    EXPECT_EQ("queueGet: entry 2, user c", m.at(3));
    EXPECT_EQ(4u, m.size()); /* the waiting producer made no copy */

    /* Without a ring, get and peek return at once. */
    queueLock();
    EXPECT_EQ(nullptr, queueGet());
    EXPECT_EQ(nullptr, queuePeek());
    queueUnlock();

    /* A waiting consumer is woken by the free as well, and a ring created
     * afterwards works like the first. */
    queueLock();
    ASSERT_TRUE(queueCreate());
    queueUnlock();
    std::atomic<bool> gotNone(false);
    std::thread consumer([&] {
        queueLock();
        gotNone = queuePeek() == nullptr;
        queueUnlock();
    });
    ASSERT_TRUE(kt::eventually([&] { return files.has("queuePeek: waiting - queue empty"); }));
    queueLock();
    queueFree();
    queueUnlock();
    consumer.join();
    EXPECT_TRUE(gotNone);

    queueLock();
    ASSERT_TRUE(queueCreate());
    queueUnlock();
    put(a);
    EXPECT_EQ("a", getUser());
}

TEST_F(QueueTest, CopyFailureAtEachAllocationLeavesTheRingUnchanged)
{
    kt::Event a("a"), b("b");
    put(a);
    int first0, next0, count0;
    state(first0, next0, count0);
    kelSys.malloc = countingMalloc;
    kelSys.strdup = countingStrdup;
    for (int n = 1; n <= 16; n++) {
        allocCalls = 0;
        failAt = n;
        files.clear();
        put(b);
        int first, next, count;
        state(first, next, count);
        EXPECT_EQ(first0, first) << "allocation " << n;
        EXPECT_EQ(next0, next) << "allocation " << n;
        EXPECT_EQ(count0, count) << "allocation " << n;
        if (n > 1) { /* past the record, every text is attempted */
            EXPECT_EQ(16, allocCalls.load()) << "allocation " << n;
        }
        EXPECT_EQ(1, files.count("Can't allocate memory for event copy")) << "allocation " << n;
    }
    failAt = -1;
    put(b); /* the next one is queued normally */
    EXPECT_EQ("a", getUser());
    EXPECT_EQ("b", getUser());
}

/* A copy made before the lock: its failure is traced where the put would
 * have made it, and a copy whose ring went meanwhile is freed (ASan)
 * without a word. */
TEST_F(QueueTest, CopyMadeAheadIsTracedAndFreedAsThePutsOwn)
{
    struct Case {
        const char *name;
        bool copyFails;
        bool ringFreedWhileWaiting;
    } cases[] = {
        {"copy failed", true, false},
        {"ring freed", false, true},
        {"both", true, true},
    };
    const std::string failed = "Can't allocate memory for event copy";
    for (const Case &c : cases) {
        kt::Event a("a"), b("b");
        queueLock();
        queueFree();
        ASSERT_TRUE(queueCreate());
        queueUnlock();
        for (int i = 0; i < (c.ringFreedWhileWaiting ? 3 : 1); i++)
            put(a);
        files.clear();
        SmLog_Access_s *ahead = c.copyFails ? nullptr : eventCopyAhead(b.get());
        std::thread producer([&] {
            queueLock();
            queuePutAhead(b.get(), ahead);
            queueUnlock();
        });
        if (c.ringFreedWhileWaiting) {
            ASSERT_TRUE(kt::eventually([&] { return files.has("queuePut: waiting - queue full"); }));
            queueLock();
            queueFree();
            queueUnlock();
        }
        producer.join();
        std::vector<std::string> m = files.messages();
        if (c.ringFreedWhileWaiting) {
            EXPECT_EQ(0, files.count(failed)) << c.name;
        } else {
            std::vector<std::string> want = {"queuePut: entry 1, user b, 1 already in queue", failed};
            EXPECT_EQ(want, m) << c.name;
        }
        int first, next, count;
        state(first, next, count);
        EXPECT_EQ(c.ringFreedWhileWaiting ? 0 : 1, count) << c.name;
    }
}

/* The writer hands finished copies to the recording threads up to a
 * limit; what is kept is freed with the ring (ASan finds a leak). */
TEST_F(QueueTest, RetiredCopiesAreKeptUpToALimitAndFreedWithTheRing)
{
    kt::Event a("a");
    int kept = 0;
    queueLock();
    EXPECT_EQ(nullptr, queueTakeRetired());
    for (int i = 0; i < 100; i++) {
        SmLog_Access_s *copy = eventCopy(a.get());
        if (queueRetire(copy))
            kept++;
        else
            eventFree(copy);
    }
    EXPECT_EQ(64, kept);
    SmLog_Access_s *one = queueTakeRetired();
    queueUnlock();
    ASSERT_NE(nullptr, one);
    EXPECT_STREQ("a", one->szUserName);
    eventFree(one);
}

TEST_F(QueueTest, RingAllocationFailure)
{
    queueLock();
    queueFree();
    kelSys.calloc = countingCalloc;
    allocCalls = 0;
    failAt = 1;
    EXPECT_FALSE(queueCreate());
    int first, next, count, cap;
    EXPECT_FALSE(queueState(&first, &next, &count, &cap));
    EXPECT_EQ(0, first + next + count);
    queueUnlock();
    EXPECT_TRUE(files.has("Can't allocate space for event queue"));
    failAt = -1;
    queueLock();
    EXPECT_TRUE(queueCreate());
    queueUnlock();
}

/* A large MAX_QUEUE costs memory only as its slots are used: the ring is
 * not written whole (under the queue lock, on a recording thread) when it
 * is made. 16 million slots are 128 MB of pointers. */
TEST_F(QueueTest, LargeRingIsNotTouchedWhenMade)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer's calloc writes every byte itself";
#endif
    queueLock();
    queueFree();
    param.maxQueue = 16 * 1024 * 1024;
    long before = residentBytes();
    ASSERT_TRUE(queueCreate());
    long grown = residentBytes() - before;
    queueUnlock();
    EXPECT_LT(grown, 32L * 1024 * 1024) << "ring of 128 MB made resident";
    kt::Event a("a");
    put(a);
    EXPECT_EQ("a", getUser());
}

/* Recording threads held up by a full ring: one level-1 line when the
 * first begins to wait, one when the writer has brought the ring down to
 * half with nobody waiting, with the stall's length and the number of
 * puts that waited; not a line per event. */
TEST_F(QueueTest, StallTracedOnceWithItsLength)
{
    const long T0 = 1700000000;
    kt::clock::install(T0, 0);
    kt::Event a("a"), b("b"), c("c");
    put(a);
    put(b);
    put(c);
    std::vector<std::thread> producers;
    for (int i = 0; i < 3; i++)
        producers.emplace_back([i] {
            kt::Event e("late" + std::to_string(i));
            queueLock();
            queuePut(e.get());
            queueUnlock();
        });
    ASSERT_TRUE(kt::eventually([&] { return files.count("queuePut: waiting - queue full") >= 3; }));
    kt::clock::set(T0 + 15, 250000);
    for (int i = 0; i < 6; i++)
        getUser();
    for (std::thread &t : producers)
        t.join();
    EXPECT_EQ(1, files.count("queuePut: queue full (3 events), recording threads wait for the "
                             "database writer"));
    EXPECT_EQ(1, files.count("queuePut: queue has room again after 15.250 s; 3 recordings "
                             "waited"));
    kt::clock::uninstall();
}

/* The release says what it threw away: the events still queued and the
 * recording threads it sent away without queuing theirs. */
TEST_F(QueueTest, ReleaseCountsDiscardedEventsAndWaitersSentAway)
{
    struct {
        int queued, waiting;
    } cases[] = {{0, 0}, {2, 0}, {3, 2}};
    for (auto &c : cases) {
        queueLock();
        queueFree();
        ASSERT_TRUE(queueCreate());
        queueUnlock();
        files.clear();
        std::vector<std::unique_ptr<kt::Event>> events;
        for (int i = 0; i < c.queued; i++) {
            events.push_back(std::make_unique<kt::Event>("q" + std::to_string(i)));
            put(*events.back());
        }
        std::vector<std::thread> waiters;
        for (int i = 0; i < c.waiting; i++)
            waiters.emplace_back([] {
                kt::Event e("waiter");
                queueLock();
                queuePut(e.get());
                queueUnlock();
            });
        ASSERT_TRUE(kt::eventually(
            [&] { return files.count("queuePut: waiting - queue full") >= c.waiting; }));
        auditRelease();
        for (std::thread &t : waiters)
            t.join();
        EXPECT_TRUE(files.has("auditRelease: " + std::to_string(c.queued) +
                              " queued events discarded, " + std::to_string(c.waiting) +
                              " waiting recording threads sent away"))
            << c.queued << " queued, " << c.waiting << " waiting";
        queueLock();
        int first, next, count, cap;
        EXPECT_FALSE(queueState(&first, &next, &count, &cap));
        queueUnlock();
    }
}

} // namespace
