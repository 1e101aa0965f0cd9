/*
 * test_spool_faults.cpp - the journal under faults, on SQLite: a full
 * journal (SPOOL_MAX_MB, no space), failed syncs, files deleted by hand, a
 * missing position, a clock set back, and what is said about each. Every
 * case counts the events acknowledged (SmEventRecord returned) against the
 * rows written.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <limits.h>
#include <string>
#include <thread>

#include "journal.h"
#include "oci.h"
#include "queue.h"
#include "spool.h"
#include "sqlitehandler.h"

namespace {

/* Appends of records (positions and the lock's pid are smaller) fail with
 * ENOSPC while noSpace is set. */
std::atomic<bool> noSpace(false);
ssize_t spacePwrite(int fd, const void *buf, size_t len, off_t offset)
{
    if (len > 32 && noSpace) {
        errno = ENOSPC;
        return -1;
    }
    return pwrite(fd, buf, len, offset);
}

/* fdatasync of segments or of the position file fails: once, or always. */
std::atomic<int> segmentSyncFailures(0), positionSyncFailures(0);
bool isPosition(int fd)
{
    char link[64], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return false;
    target[n] = '\0';
    return std::string(target).find("/position") != std::string::npos;
}
int failingDatasync(int fd)
{
    std::atomic<int> &left = isPosition(fd) ? positionSyncFailures : segmentSyncFailures;
    if (left != 0) {
        if (left > 0)
            left--;
        errno = EIO;
        return -1;
    }
    return fdatasync(fd);
}

class SpoolFaultTest : public kt::SqliteHandler {
protected:
    std::string spool;
    std::atomic<int> acknowledged{0};

    void SetUp() override
    {
        SqliteHandler::SetUp();
        noSpace = false;
        segmentSyncFailures = positionSyncFailures = 0;
        spool = files.home() + "/spool";
    }
    void start(const std::string &extra = "") { SqliteHandler::start("SPOOL_DIR = spool\n" + extra); }
    void restart(const std::string &extra = "") { SqliteHandler::restart("SPOOL_DIR = spool\n" + extra); }

    void recordBig(const std::string &user)
    {
        kt::Event e(user, "authlevel=5");
        e.text(11) = std::string(250 * 1024, 'r');
        SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e.get());
        acknowledged++;
    }
    /* Messages that contain text. */
    int mentions(const std::string &text)
    {
        int n = 0;
        for (const std::string &m : files.messages())
            n += m.find(text) != std::string::npos;
        return n;
    }
    /* Every user has a row (some may have two). */
    bool waitAll(const std::vector<std::string> &want)
    {
        return kt::eventually([&] {
            if (!kt::fileExists(db))
                return false;
            std::vector<std::string> rows = users();
            for (const std::string &u : want)
                if (std::find(rows.begin(), rows.end(), u) == rows.end())
                    return false;
            return true;
        });
    }
    std::string segment(uint64_t seq)
    {
        char name[JOURNAL_NAME_SIZE];
        journalSegmentName(name, sizeof name, seq);
        return spool + "/" + name;
    }
    /* The newest segment file. */
    std::string newestSegment()
    {
        uint64_t *seqs = nullptr;
        size_t n = 0;
        journalListSegments(spool.c_str(), &seqs, &n);
        std::string path = n > 0 ? segment(seqs[n - 1]) : "";
        free(seqs);
        return path;
    }
};

std::vector<std::string> names(const char *prefix, int n)
{
    std::vector<std::string> out;
    for (int i = 0; i < n; i++)
        out.push_back(prefix + std::to_string(i));
    return out;
}

/* With the database down, a full journal holds the recording threads back
 * (nothing is acknowledged that is not in the journal), says so once, and
 * lets them go when the writer has made room. */
TEST_F(SpoolFaultTest, AFullJournalMakesRecordingsWaitAndLosesNothing)
{
    struct Case {
        const char *name;
        bool byLimit; /* SPOOL_MAX_MB, else no space on the file system */
        const char *maxMb;
        std::string line;
    } cases[] = {
        {"limit", true, "1", "spool: journal " + spool + " holds SPOOL_MAX_MB ("},
        {"nospace", false, "16", "spool: can't append to "},
    };
    for (const Case &c : cases) {
        unlink(db.c_str());
        acknowledged = 0;
        kelSys.pwrite = spacePwrite;
        restart(std::string("SPOOL_MAX_MB = ") + c.maxMb + "\n");
        int before = c.byLimit ? 4 : 2;
        for (int i = 0; i < before; i++)
            recordBig(c.name + std::to_string(i));
        noSpace = !c.byLimit;
        std::thread more([&] {
            for (int i = before; i < 8; i++)
                recordBig(c.name + std::to_string(i));
        });
        ASSERT_TRUE(kt::eventually([&] { return traced(c.line) == 1; })) << c.name;
        usleep(200000);
        EXPECT_EQ(before, acknowledged.load()) << c.name << ": acknowledged without room in the journal";
        EXPECT_TRUE(mentions("recording threads wait for room") > 0) << c.name;
        EXPECT_EQ(0, traced("queuePut")) << c.name << ": kept in memory";
        kt::createAuditDb(db);
        noSpace = false;
        more.join();
        ASSERT_TRUE(waitUsers(8)) << c.name;
        EXPECT_EQ(names(c.name, 8), users()) << c.name;
        EXPECT_EQ(1, traced("spool: journal has room again after ")) << c.name;
        EXPECT_EQ(1, traced(c.line)) << c.name << ": one line per episode";
        files.clear();
    }
}

/* A failed segment sync with SPOOL_SYNC always: the recording keeps a copy
 * in memory (the event may be written twice, never lost), one level-1 line
 * per episode; a failed position sync is said once too. */
TEST_F(SpoolFaultTest, FailedSyncsAreNotCountedDurableAndAreSaidOnce)
{
    struct Case {
        const char *name;
        int segmentFailures; /* -1: always */
        int positionFailures;
    } cases[] = {{"once", 1, 0}, {"always", -1, 0}, {"position", 0, -1}};
    for (const Case &c : cases) {
        unlink(db.c_str());
        kelSys.fdatasync = failingDatasync;
        restart("SPOOL_SYNC = always\n");
        segmentSyncFailures = c.segmentFailures;
        positionSyncFailures = c.positionFailures;
        for (const std::string &u : names(c.name, 4))
            record(u);
        kt::createAuditDb(db);
        ASSERT_TRUE(waitAll(names(c.name, 4))) << c.name;
        if (c.positionFailures != 0) {
            ASSERT_TRUE(kt::eventually([&] { return traced("spool: can't sync position file ") == 1; })) << c.name;
        }
        EXPECT_EQ(c.segmentFailures != 0 ? 1 : 0, traced("spool: can't sync " + spool + "/seg-")) << c.name;
        if (c.segmentFailures != 0) {
            EXPECT_TRUE(mentions("and are kept in memory as well") > 0) << c.name;
        }
        segmentSyncFailures = positionSyncFailures = 0;
        SmEventRelease();
        EXPECT_LE(traced("spool: can't sync position file "), 1) << c.name;
        files.clear();
    }
}

/* A segment or lock deleted by hand while the handler runs: noticed within
 * about a second, said at level 1, and nothing acknowledged is lost. */
TEST_F(SpoolFaultTest, DeletedFilesAreNoticedAndNothingAcknowledgedIsLost)
{
    start();
    record("a");
    record("b");
    std::string seg = newestSegment();
    ASSERT_FALSE(seg.empty());
    ASSERT_EQ(0, unlink(seg.c_str()));
    ASSERT_EQ(0, unlink((spool + "/lock").c_str()));
    record("c");
    record("d");
    ASSERT_TRUE(kt::eventually([&] { return traced("spool: " + seg + " was deleted or replaced") == 1; }));
    ASSERT_TRUE(kt::eventually([&] { return traced("spool: " + spool + "/lock was deleted or replaced") == 1; }));
    EXPECT_TRUE(mentions("the lock is taken again") > 0);
    EXPECT_TRUE(journalLockHeld(spool.c_str()));
    record("e");
    kt::createAuditDb(db);
    ASSERT_TRUE(waitAll({"a", "b", "c", "d", "e"}));
    /* The event the writer was inserting when the copy was made (a) may
     * be written twice; nothing else is. */
    EXPECT_LE(users().size(), 6u);
}

/* Segments without a valid position are written again whole, and the
 * start says how many events that is. */
TEST_F(SpoolFaultTest, AMissingPositionIsSaidWithTheEventsWrittenAgain)
{
    kt::makeDirs(spool);
    std::string bytes;
    for (const char *u : {"a", "b", "c"}) {
        kt::Event e(u, "authlevel=5");
        std::string r(journalRecordSize(e.get(), nullptr), '\0');
        journalEncode((unsigned char *)&r[0], r.size(), JOURNAL_EVENT, 1700000000, e.get(), nullptr);
        bytes += r;
    }
    kt::writeFile(segment(1), bytes);
    kt::createAuditDb(db);
    start();
    EXPECT_EQ(1, traced("spool: no valid position in " + spool +
                        "/position: the 3 events of 1 segments are written again"));
    ASSERT_TRUE(waitUsers(3));
}

/* Journal retries run on the monotonic clock: a time of day set back an
 * hour does not keep the journal off. */
TEST_F(SpoolFaultTest, AClockSetBackDoesNotKeepTheJournalOff)
{
    ssize_t (*failing)(int, const void *, size_t, off_t) = [](int fd, const void *b, size_t n, off_t o) -> ssize_t {
        if (n > 32 && noSpace) {
            errno = EIO;
            return -1;
        }
        return pwrite(fd, b, n, o);
    };
    kt::clock::install(1800000000);
    kelSys.pwrite = failing;
    kt::createAuditDb(db);
    start();
    noSpace = true;
    record("a"); /* kept in memory */
    noSpace = false;
    kt::clock::set(1800000000 - 3600);
    ASSERT_TRUE(waitUsers(1));
    ASSERT_TRUE(kt::eventually([] {
        queueLock();
        int n = queueLength();
        queueUnlock();
        return n == 0;
    }));
    kt::clock::advance(2);
    record("b");
    ASSERT_TRUE(waitUsers(2));
    EXPECT_TRUE(files.has("spool: appending to the journal again"));
    SmEventRelease(); /* no thread of the handler reads the clock any more */
    kt::clock::uninstall();
}

/* The recovery after database failures is traced on the journal path too. */
TEST_F(SpoolFaultTest, WritingAgainIsTracedFromTheJournal)
{
    start();
    record("a");
    ASSERT_TRUE(kt::eventually([] { return kt::naps() >= 2; }));
    kt::createAuditDb(db);
    ASSERT_TRUE(waitUsers(1));
    ASSERT_TRUE(kt::eventually([&] { return traced("dbThreadFn: writing again after ") == 1; }));
    EXPECT_TRUE(mentions("; journal bytes waiting: 0") > 0);
}

} // namespace
