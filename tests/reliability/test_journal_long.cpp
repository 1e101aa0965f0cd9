/*
 * test_journal_long.cpp - the audit journal under faults with many
 * recording threads, on SQLite, for tens of seconds: the journal full
 * while the database is down, the newest segment deleted again and again,
 * and a lost position. Each counts the events acknowledged (SmEventRecord
 * returned) against the rows and prints its figures for RELIABILITY.md.
 * Label "long": ctest -L long.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <stdio.h>
#include <string>
#include <thread>
#include <vector>

#include "journal.h"
#include "sqlitehandler.h"

namespace {

using Clock = std::chrono::steady_clock;

class JournalLong : public kt::SqliteHandler {
protected:
    std::string spool;
    std::mutex ackLock;
    std::vector<std::string> acked;

    void SetUp() override
    {
        SqliteHandler::SetUp();
        spool = files.home() + "/spool";
    }

    /* threads record until stop, as fast as they can or with a pause
     * between events; each event's user is unique and noted once
     * SmEventRecord has returned. */
    void load(int threads, std::atomic<bool> &stop, const std::string &tag, int pauseMs = 0)
    {
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; t++)
            pool.emplace_back([&, t] {
                for (long n = 0; !stop; n++) {
                    std::string user = tag + std::to_string(t) + "-" + std::to_string(n);
                    record(user);
                    {
                        std::lock_guard<std::mutex> g(ackLock);
                        acked.push_back(user);
                    }
                    if (pauseMs > 0)
                        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
                }
            });
        for (std::thread &th : pool)
            th.join();
    }

    /* Acknowledged events without a row, and rows beyond one per event. */
    void count(long &missing, long &twice)
    {
        std::map<std::string, int> seen;
        for (const std::string &u : users())
            seen[u]++;
        missing = twice = 0;
        for (const std::string &u : acked) {
            auto it = seen.find(u);
            if (it == seen.end())
                missing++;
            else
                twice += it->second - 1;
        }
    }

    bool waitRows(size_t n, int seconds) { return kt::eventually([&] { return users().size() >= n; }, seconds); }
};

/* Database down 20 s under 16 threads with a journal of 1 MB: the threads
 * wait for room, nothing acknowledged is outside the journal. */
TEST_F(JournalLong, FullJournalUnderLoad)
{
    start("SPOOL_DIR = spool\nSPOOL_MAX_MB = 1\n");
    std::atomic<bool> stop(false);
    Clock::time_point t0 = Clock::now();
    std::thread loader([&] { load(16, stop, "full"); });
    std::this_thread::sleep_for(std::chrono::seconds(20));
    size_t atOutageEnd;
    {
        std::lock_guard<std::mutex> g(ackLock);
        atOutageEnd = acked.size();
    }
    kt::createAuditDb(db);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    stop = true;
    loader.join();
    ASSERT_TRUE(waitRows(acked.size(), 300));
    long missing, twice;
    count(missing, twice);
    EXPECT_EQ(0, missing);
    EXPECT_EQ(0, twice);
    EXPECT_EQ(1, traced("spool: journal " + spool + " holds SPOOL_MAX_MB"));
    printf("full journal: %zu acknowledged during the 20 s outage, %zu in %.0f s, %zu rows, %ld missing, "
           "%ld twice, %d full episodes\n",
           atOutageEnd, acked.size(), std::chrono::duration<double>(Clock::now() - t0).count(), users().size(),
           missing, twice, traced("spool: journal has room again after "));
}

/* The newest segment deleted every 500 ms for 15 s under 8 threads of 100
 * logins/s each (what the SQLite writer keeps up with), the database up:
 * each deletion is noticed and nothing acknowledged is lost. */
TEST_F(JournalLong, DeletedSegmentsUnderLoad)
{
    kt::createAuditDb(db);
    start("SPOOL_DIR = spool\n");
    std::atomic<bool> stop(false);
    std::thread loader([&] { load(8, stop, "del", 10); });
    int deleted = 0;
    for (int i = 0; i < 30; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        uint64_t *seqs = nullptr;
        size_t n = 0;
        journalListSegments(spool.c_str(), &seqs, &n);
        if (n > 0) {
            char name[JOURNAL_NAME_SIZE];
            journalSegmentName(name, sizeof name, seqs[n - 1]);
            deleted += unlink((spool + "/" + name).c_str()) == 0;
        }
        free(seqs);
    }
    stop = true;
    loader.join();
    ASSERT_TRUE(waitRows(acked.size(), 300));
    long missing, twice;
    count(missing, twice);
    EXPECT_EQ(0, missing);
    EXPECT_LE(twice, deleted) << "more than the event under insert at each deletion";
    printf("deleted segments: %d deleted, %d noticed, %zu acknowledged, %zu rows, %ld missing, %ld twice\n",
           deleted, traced("spool: " + spool + "/seg-"), acked.size(), users().size(), missing, twice);
}

/* 20 000 events waiting in the journal, all of them already in the table
 * (a crash before the position reached the disk), and no position: all
 * are written again, and the start says so. */
TEST_F(JournalLong, MissingPositionWritesEverythingAgain)
{
    kt::createAuditDb(db);
    start("SPOOL_DIR = spool\nSPOOL_SYNC = none\n");
    for (int i = 0; i < 20000; i++) {
        std::string user = "pos" + std::to_string(i);
        record(user);
        acked.push_back(user);
    }
    ASSERT_TRUE(waitRows(20000, 300));
    SmEventRelease();
    /* Put the segments back as a crash before the last commit leaves them,
     * then lose the position. */
    kt::makeDirs(spool);
    std::string bytes;
    for (int i = 0; i < 20000; i++) {
        kt::Event e("pos" + std::to_string(i), "authlevel=5");
        std::string r(journalRecordSize(e.get(), nullptr), '\0');
        journalEncode((unsigned char *)&r[0], r.size(), JOURNAL_EVENT, 1700000000, e.get(), nullptr);
        bytes += r;
    }
    char name[JOURNAL_NAME_SIZE];
    journalSegmentName(name, sizeof name, 1000);
    kt::writeFile(spool + "/" + name, bytes);
    unlink((spool + "/position").c_str());
    Clock::time_point t0 = Clock::now();
    restart("SPOOL_DIR = spool\n");
    ASSERT_TRUE(waitRows(40000, 300));
    long missing, twice;
    count(missing, twice);
    EXPECT_EQ(0, missing);
    EXPECT_EQ(20000, twice);
    EXPECT_EQ(1, traced("spool: no valid position in " + spool +
                        "/position: the 20000 events of 1 segments are written again"));
    printf("missing position: 20000 events written again in %.1f s, said at start: %d line\n",
           std::chrono::duration<double>(Clock::now() - t0).count(),
           traced("spool: no valid position in "));
}

} // namespace
