/*
 * test_spool.cpp - the handler with an audit journal (SPOOL_DIR), on
 * SQLite: what each SPOOL_SYNC syncs, events kept over a release, damage
 * left by a crash, the lock, a journal that cannot be written or is full,
 * and the head under insert when the handler is released.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <string>
#include <thread>

#include "audit.h"
#include "journal.h"
#include "oci.h"
#include "spool.h"
#include "sqlitehandler.h"

namespace {

std::atomic<int> datasyncs(0);
int countingDatasync(int fd)
{
    datasyncs++;
    return fdatasync(fd);
}

/* Appends of records (positions and the lock file's pid are smaller)
 * fail while failAppends is set: outright, or half written. */
std::atomic<int> failAppends(0);
std::atomic<bool> shortWrites(false);
ssize_t failingPwrite(int fd, const void *buf, size_t len, off_t offset)
{
    if (len <= 32 || !failAppends)
        return pwrite(fd, buf, len, offset);
    if (shortWrites)
        return pwrite(fd, buf, len / 2, offset);
    errno = ENOSPC;
    return -1;
}

kt::Gate *gate = nullptr;
int gatedHostname(char *name, size_t len)
{
    if (gate != nullptr)
        gate->pass();
    return gethostname(name, len);
}

/* The handler with its journal in $SM_HOME/spool. */
class SpoolTest : public kt::SqliteHandler {
protected:
    std::string spool;

    void SetUp() override
    {
        SqliteHandler::SetUp();
        datasyncs = 0;
        failAppends = 0;
        shortWrites = false;
        spool = files.home() + "/spool";
    }

    void start(const std::string &extra = "") { SqliteHandler::start("SPOOL_DIR = spool\n" + extra); }
    void restart(const std::string &extra = "") { SqliteHandler::restart("SPOOL_DIR = spool\n" + extra); }

    long waiting()
    {
        JournalSummary s;
        return journalSummarize(spool.c_str(), &s) ? s.events : -1;
    }

    int segmentFiles()
    {
        uint64_t *seqs = nullptr;
        size_t n = 0;
        journalListSegments(spool.c_str(), &seqs, &n);
        free(seqs);
        return (int)n;
    }
};

std::vector<std::string> names(const char *prefix, int n)
{
    std::vector<std::string> out;
    for (int i = 0; i < n; i++)
        out.push_back(prefix + std::to_string(i));
    return out;
}

TEST_F(SpoolTest, EachSyncModeSyncsAsDocumentedAndWritesInOrder)
{
    struct Case {
        const char *mode;
        int syncsAfterRecords; /* -1: at least one within a few seconds, fewer than the records */
    } cases[] = {{"always", 10}, {"second", -1}, {"none", 0}};
    for (const Case &c : cases) {
        unlink(db.c_str());
        kelSys.fdatasync = countingDatasync;
        restart(std::string("SPOOL_SYNC = ") + c.mode + "\n");
        datasyncs = 0;
        /* The database is down: nothing is committed, only appends sync. */
        for (const std::string &u : names(c.mode, 10))
            record(u);
        if (c.syncsAfterRecords >= 0) {
            EXPECT_EQ(c.syncsAfterRecords, datasyncs.load()) << c.mode;
        } else {
            EXPECT_TRUE(kt::eventually([] { return datasyncs >= 1; })) << c.mode;
            EXPECT_LT(datasyncs.load(), 10) << c.mode;
        }
        EXPECT_EQ(10, waiting()) << c.mode;
        kt::createAuditDb(db);
        ASSERT_TRUE(waitUsers(10)) << c.mode;
        SmEventRelease();
        EXPECT_EQ(names(c.mode, 10), users()) << c.mode;
        EXPECT_EQ(0, segmentFiles()) << c.mode << ": committed segments stay";
        if (std::string(c.mode) == "none") {
            EXPECT_EQ(0, datasyncs.load());
        }
    }
}

TEST_F(SpoolTest, ReleaseKeepsEventsAndTheNextStartWritesThemFirst)
{
    start();
    for (const char *u : {"a", "b", "c", "d", "e"})
        record(u);
    ASSERT_TRUE(kt::eventually([] { return kt::naps() >= 2; })); /* the writer tried */
    SmEventRelease();
    EXPECT_EQ(5, waiting());
    EXPECT_EQ(0, traced("auditRelease: ")) << "nothing discarded";

    kt::createAuditDb(db);
    traceReset();
    start();
    /* No new event is needed to start the writer. */
    ASSERT_TRUE(waitUsers(5));
    record("f");
    record("g");
    ASSERT_TRUE(waitUsers(7));
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c", "d", "e", "f", "g"}), users());
}

/* Records as a crash can leave them, written by hand. */
std::string recordOf(const std::string &user)
{
    kt::Event e(user, "authlevel=5");
    size_t size = journalRecordSize(e.get(), nullptr);
    std::string out(size, '\0');
    journalEncode((unsigned char *)&out[0], size, JOURNAL_EVENT, 1700000000, e.get(), nullptr);
    return out;
}

void writeSegment(const std::string &dir, uint64_t seq, const std::string &bytes)
{
    char name[JOURNAL_NAME_SIZE];
    journalSegmentName(name, sizeof name, seq);
    kt::writeFile(dir + "/" + name, bytes);
}

TEST_F(SpoolTest, DamagedAndTornRecordsAreSkippedAndEverythingElseWritten)
{
    kt::makeDirs(spool);
    std::string b = recordOf("b");
    b[b.size() - 2] ^= 0x40; /* flipped bits in b */
    std::string e = recordOf("e");
    writeSegment(spool, 1, recordOf("a") + b + recordOf("c"));
    writeSegment(spool, 2, recordOf("d") + e.substr(0, e.size() / 2)); /* torn append */
    writeSegment(spool, 3, "");                                         /* made, never written */
    writeSegment(spool, 4, recordOf("f"));
    kt::createAuditDb(db);
    start();
    ASSERT_TRUE(waitUsers(4));
    record("g");
    ASSERT_TRUE(waitUsers(5));
    EXPECT_EQ((std::vector<std::string>{"a", "c", "d", "f", "g"}), users());
    char seg1[JOURNAL_NAME_SIZE], seg2[JOURNAL_NAME_SIZE];
    journalSegmentName(seg1, sizeof seg1, 1);
    journalSegmentName(seg2, sizeof seg2, 2);
    EXPECT_TRUE(files.has("spool: damaged record in " + spool + "/" + seg1 + " at offset " +
                          std::to_string(recordOf("a").size()) + ": " + std::to_string(b.size()) +
                          " bytes skipped"));
    EXPECT_TRUE(files.has("spool: torn record at the end of " + spool + "/" + seg2 + ": " +
                          std::to_string(e.size() / 2) + " bytes skipped"));
    /* Skipped once: a restart does not find them again. */
    files.clear();
    restart();
    EXPECT_EQ(0, traced("spool: damaged")) << "reported again";
    EXPECT_EQ(0, waiting());
}

TEST_F(SpoolTest, AJournalInUseElsewhereLeavesEventsInMemory)
{
    kt::makeDirs(spool);
    int held = journalLockOpen(spool.c_str(), 1);
    ASSERT_GE(held, 0);
    ASSERT_EQ(5, pwrite(held, "4242\n", 5, 0));
    kt::createAuditDb(db);
    start();
    EXPECT_TRUE(files.has("spool: SPOOL_DIR " + spool + " is in use by process 4242; events kept in memory"));
    record("a");
    record("b");
    ASSERT_TRUE(waitUsers(2));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), users());
    EXPECT_EQ(0, segmentFiles()) << "the other process's journal was touched";
    close(held);
}

/* kelaudit holds the lock for a moment: the handler pauses between its
 * tries without queueMutex, then opens the journal. */
int heldLock = -1;
std::atomic<int> lockPauses(0), pausesUnderQueueMutex(0);
int lockPause(useconds_t)
{
    if (queueTryLock())
        queueUnlock();
    else
        pausesUnderQueueMutex++;
    if (++lockPauses == 3) {
        close(heldLock);
        heldLock = -1;
    }
    return 0;
}

TEST_F(SpoolTest, ALockHeldForAMomentIsWaitedForWithoutTheQueueLock)
{
    kt::makeDirs(spool);
    heldLock = journalLockOpen(spool.c_str(), 0);
    ASSERT_GE(heldLock, 0);
    kelSys.usleep = lockPause;
    start();
    EXPECT_EQ(3, lockPauses.load());
    EXPECT_EQ(0, pausesUnderQueueMutex.load());
    EXPECT_EQ(0, traced("in use by process"));
    record("a");
    EXPECT_EQ(1, waiting()) << "the event is not in the journal";
}

TEST_F(SpoolTest, AnUnusableFolderLeavesEventsInMemory)
{
    kt::writeFile(files.home() + "/afile", "");
    struct {
        const char *dir;
        const char *reason;
    } cases[] = {
        {"afile/spool", "Not a directory"},
        {"afile", "Not a directory"},
    };
    kt::createAuditDb(db);
    int n = 0;
    for (auto &c : cases) {
        files.clear();
        restart(std::string("SPOOL_DIR = ") + c.dir + "\n");
        EXPECT_TRUE(files.has("spool: can't use SPOOL_DIR " + files.home() + "/" + c.dir + ": " + c.reason +
                              "; events kept in memory"))
            << c.dir;
        record("u" + std::to_string(n++));
        ASSERT_TRUE(waitUsers((size_t)n)) << c.dir;
    }
}

TEST_F(SpoolTest, AppendFailuresKeepEventsInMemoryAndOrder)
{
    kt::clock::install(1800000000);
    kelSys.pwrite = failingPwrite;
    for (bool shortWrite : {false, true}) {
        files.clear();
        unlink(db.c_str());
        restart();
        shortWrites = shortWrite;
        record("a");
        record("b");
        failAppends = 1;
        record("c");
        record("d");
        failAppends = 0;
        /* Events wait in memory: the journal is not tried again until the
         * ring is empty, so order holds. */
        kt::clock::advance(5);
        record("e");
        EXPECT_EQ(2, waiting()) << shortWrite;
        EXPECT_EQ(1, traced("spool: can't append to ")) << shortWrite;
        kt::createAuditDb(db);
        ASSERT_TRUE(waitUsers(5)) << shortWrite;
        record("f"); /* the ring is empty again: the journal takes it */
        ASSERT_TRUE(waitUsers(6)) << shortWrite;
        EXPECT_EQ((std::vector<std::string>{"a", "b", "c", "d", "e", "f"}), users()) << shortWrite;
        EXPECT_TRUE(files.has("spool: appending to the journal again")) << shortWrite;
        EXPECT_EQ(0, traced("spool: damaged")) << shortWrite << ": the half record was left behind";
        EXPECT_EQ(0, traced("spool: torn")) << shortWrite;
    }
    kt::clock::uninstall();
}

TEST_F(SpoolTest, AboveTheSizeLimitEventsWaitInMemory)
{
    start("SPOOL_MAX_MB = 1\n");
    for (int i = 0; i < 6; i++) {
        kt::Event e("big" + std::to_string(i), "authlevel=5");
        e.text(11) = std::string(300 * 1024, 'r');
        SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e.get());
        EXPECT_LE(spoolDiskBytes(), 1024u * 1024u) << i;
    }
    EXPECT_EQ(3, waiting());
    EXPECT_EQ(1, traced("spool: journal " + spool + " holds SPOOL_MAX_MB"));
    kt::createAuditDb(db);
    ASSERT_TRUE(waitUsers(6));
    EXPECT_EQ(names("big", 6), users());
    /* Segments are removed as the writer passes them, not at release. */
    EXPECT_TRUE(kt::eventually([&] { return segmentFiles() <= 1; }));
}

TEST_F(SpoolTest, ReleaseDuringTheInsertOfAnEventFromMemoryWritesItOnce)
{
    struct Case {
        bool insertSucceeds;
        long leftInJournal;
    } cases[] = {{true, 2}, {false, 3}};
    kt::clock::install(1800000000);
    kt::createAuditDb(db);
    for (const Case &c : cases) {
        std::string tag = c.insertSucceeds ? "ok" : "failed";
        kt::Gate g;
        kelSys.pwrite = failingPwrite;
        kelSys.gethostname = gatedHostname;
        restart();
        failAppends = 1; /* events go to memory */
        gate = &g;
        if (!c.insertSucceeds)
            ociStandinFail("OCIStmtExecute", OCI_ERROR, 1);
        record("h" + tag);
        ASSERT_TRUE(g.waitEntered());
        record("x" + tag);
        record("y" + tag);
        failAppends = 0;
        kt::clock::advance(5);
        std::thread releaser([] { SmEventRelease(); });
        ASSERT_TRUE(kt::eventually([&] { return waiting() == 3; })) << tag;
        g.release();
        releaser.join();
        gate = nullptr;
        EXPECT_EQ(c.leftInJournal, waiting()) << tag;
        /* Kept in the journal, nothing discarded: the release says so at
         * level 3 only, also when the head's insert failed. */
        EXPECT_EQ(0, traced("auditRelease: ")) << tag;
        restart();
        ASSERT_TRUE(kt::eventually([&] { return waiting() == 0; })) << tag;
    }
    kt::clock::uninstall();
    SmEventRelease();
    EXPECT_EQ((std::vector<std::string>{"hok", "xok", "yok", "hfailed", "xfailed", "yfailed"}), users());
}

} // namespace
