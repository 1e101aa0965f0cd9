/*
 * test_lifecycle.cpp - both plug-ins released and initialised again, over
 * and over, while recording threads log in and record and the writer
 * inserts: nothing crashes, leaks or is used after its release (the suite
 * runs under ASan and TSan), no row is duplicated or out of order, and
 * every writer has ended and every connection is closed at the end.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <dirent.h>
#include <map>
#include <unistd.h>
#include <thread>
#include <vector>

#include "auditdb.h"
#include "eventfixture.h"
#include "oci_standin.h"
#include "plugins.h"

namespace {

int threadsInProcess()
{
    int n = 0;
    DIR *d = opendir("/proc/self/task");
    for (struct dirent *e; d != nullptr && (e = readdir(d)) != nullptr;)
        n += e->d_name[0] != '.';
    if (d != nullptr)
        closedir(d);
    return n;
}

/* Without the audit journal events queued at a release are discarded;
 * with it every event recorded is written, at the latest by a start after
 * the last release. */
void releaseAndInitAgainUnderLoad(bool journal)
{
    rel::Plugins p;
    ASSERT_TRUE(p.ok());
    kt::TraceFiles files{1};
    kt::makeDirs(files.home() + "/data");
    std::string db = files.home() + "/data/audit.db";
    kt::createAuditDb(db);
    files.writeConfig("kelaudit.conf", std::string("DATASOURCE = audit.db\nMIN_LEVEL = 1\nRETRY_DELAY = 0\nMAX_QUEUE = 3\n") +
                                           (journal ? "SPOOL_DIR = spool\n" : ""));
    smagentReset();
    smagentAddAgent("authkel", rel::SECRET);
    ociStandinReset();
    /* A sanitizer may start a helper thread with the first thread of the
     * program: let it do so before counting. */
    std::thread([] {}).join();
    int baseThreads = threadsInProcess();

    ASSERT_EQ(0, p.authInit(rel::PARAMS, rel::SECRET));
    p.eventInit();

    const int producers = 3;
    std::atomic<bool> stop(false);
    std::atomic<long> calls(0), accepted(0), recorded(0);
    std::vector<std::thread> pool;
    for (int t = 0; t < producers; t++) {
        pool.emplace_back([&, t] {
            rel::User u{"uid=user" + std::to_string(t) + ",ou=people,o=kel", "pin" + std::to_string(t)};
            for (long seq = 0; !stop; seq++) {
                int rc = rel::login(p, u, u.pin + ";" + rel::newCookie(u));
                calls++;
                if (SM_AUTH_STATUS(rc) != SM_AUTH_ACCEPT)
                    continue; /* refused while the scheme was released */
                accepted++;
                kt::Event e(u.dn, "authlevel=3;t=" + std::to_string(t) + ";seq=" + std::to_string(seq));
                p.eventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e.get());
                recorded++;
                /* The journal never holds recording back: pace it, so that
                 * SQLite can write the rows in a few seconds. */
                if (journal)
                    usleep(2000);
            }
        });
    }
    for (int round = 0; round < 8; round++) {
        long before = calls;
        ASSERT_TRUE(kt::eventually([&] { return calls >= before + 20; })) << "round " << round;
        p.eventRelease();
        p.eventInit();
        if (round % 2 == 1) {
            p.authRelease(rel::PARAMS, rel::SECRET);
            EXPECT_EQ(0, p.authInit(rel::PARAMS, rel::SECRET));
        }
    }
    long before = accepted;
    EXPECT_TRUE(kt::eventually([&] { return accepted >= before + 10; })) << "logins accepted again";
    stop = true;
    for (std::thread &t : pool)
        t.join();
    p.eventRelease();
    if (journal) {
        p.eventInit();
        EXPECT_TRUE(kt::eventually([&] { return (long)kt::auditRows(db).size() >= recorded; }, 60));
        p.eventRelease();
    }
    p.authRelease(rel::PARAMS, rel::SECRET);

    EXPECT_EQ(baseThreads, threadsInProcess()) << "a writer is still running";
    EXPECT_EQ(0, ociStandinLiveConnections());
    EXPECT_EQ(0, ociStandinLiveHandles());
    EXPECT_EQ(0, smagentOpenLists());
    EXPECT_EQ(0, smagentLiveAgents());

    /* Events queued at a release are discarded; those written are each
     * there once and in their thread's order. */
    std::map<int, long> last;
    std::vector<kt::Row> rows = kt::auditRows(db);
    EXPECT_GT(rows.size(), 0u);
    if (journal) {
        EXPECT_EQ(recorded.load(), (long)rows.size()) << "an event recorded is missing or twice";
    }
    for (const kt::Row &r : rows) {
        int t = -1;
        long seq = -1;
        ASSERT_EQ(2, sscanf(r.at("sm_transactionid").c_str(), "authlevel=3;t=%d;seq=%ld", &t, &seq));
        auto it = last.find(t);
        EXPECT_TRUE(it == last.end() || seq > it->second) << "thread " << t << " seq " << seq;
        last[t] = seq;
    }
    smagentReset();
}

TEST(Lifecycle, ReleaseAndInitAgainUnderLoad)
{
    releaseAndInitAgainUnderLoad(false);
}

TEST(Lifecycle, ReleaseAndInitAgainUnderLoadWithTheJournal)
{
    releaseAndInitAgainUnderLoad(true);
}

} // namespace
