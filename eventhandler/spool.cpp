/*
 * spool.cpp - the lifecycle of the audit journal (see spool.h,
 * spoolstate.h for the state and its locks): open and close, the list of
 * segments, the journal's own thread and requeued events.
 *
 * Threads: the thread that starts or releases the handler opens and
 * closes; a thread of this module syncs once a second (SPOOL_SYNC
 * second) and adopts requeued events, which kelaudit puts into the
 * folder, as the next segments.
 */
#include "spool.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include "journal.h"
#include "kelcommon.h"
#include "kelsys.h"
#include "spoolstate.h"
#include "synch.h"
#include "thread.h"
#include "trace.h"

#define SEGMENT_MIN_BYTES (64u * 1024u)

struct SpoolState spool;

/* ---- the list of segments ------------------------------------------------ */

void spoolSegmentPath(char *out, size_t size, uint64_t seq)
{
    char name[JOURNAL_NAME_SIZE];

    journalSegmentName(name, sizeof name, seq);
    if (!journalPath(out, size, spool.dir, name))
        out[0] = '\0';
}

/* Makes a new entry in the journal's folder durable. */
void spoolSyncDir(void)
{
    if (!journalSyncDir(spool.dir))
        trace(TRACE_ERROR, "spool: can't sync %s: %s", spool.dir, strerror(errno));
}

int spoolSegPush(uint64_t seq, uint64_t size)
{
    if (spool.segCount == spool.segCap) {
        size_t cap = spool.segCap == 0 ? 16 : spool.segCap * 2;
        struct SpoolSegment *grown = (struct SpoolSegment *)kelSys.malloc(cap * sizeof *grown);
        if (grown == NULL)
            return 0;
        if (spool.segCount > 0)
            memcpy(grown, spool.segs, spool.segCount * sizeof *spool.segs);
        free(spool.segs);
        spool.segs = grown;
        spool.segCap = cap;
    }
    spool.segs[spool.segCount].seq = seq;
    spool.segs[spool.segCount].size = size;
    spool.segCount++;
    return 1;
}

void spoolSegPopFront(void)
{
    memmove(spool.segs, spool.segs + 1, (spool.segCount - 1) * sizeof *spool.segs);
    spool.segCount--;
}

/* ---- waits on the monotonic clock ---------------------------------------- */

static pthread_once_t condsOnce = PTHREAD_ONCE_INIT;

/* The timed waits measure on the monotonic clock, so a clock set back
 * does not stretch them. */
static void condsInit(void)
{
    pthread_condattr_t attr;

    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&spool.threadWake, &attr);
    pthread_cond_init(&spool.roomFreed, &attr);
    pthread_condattr_destroy(&attr);
}

void spoolTimedWait(cond_t *cond, int seconds)
{
    struct timespec at;

    clock_gettime(CLOCK_MONOTONIC, &at);
    at.tv_sec += seconds;
    pthread_cond_timedwait(cond, &spool.mutex, &at);
}

/* ---- files deleted or replaced by hand ------------------------------------ */

/* Whether path still names the file open as fd (1 also when that cannot
 * be told). */
static int sameFile(int fd, const char *path)
{
    struct stat byFd, byName;

    if (kelSys.fstat(fd, &byFd) != 0)
        return 1;
    if (kelSys.stat(path, &byName) != 0)
        return errno != ENOENT;
    return byFd.st_ino == byName.st_ino && byFd.st_dev == byName.st_dev;
}

static int takeLock(void);

/* The append segment is gone from the folder: what it holds beyond the
 * reader is read back through the open descriptor and appended to a new
 * segment, synced unless SPOOL_SYNC none. The record the writer may be
 * inserting at this moment is among those copied: it can be written
 * twice. */
static void rescueAppendSegment(const char *path)
{
    struct SpoolSegment *old = &spool.segs[spool.segCount - 1];
    uint64_t from = spool.segCount == 1 ? spool.readOff : 0;
    uint64_t length = old->size > from ? old->size - from : 0;
    unsigned char *buf = length > 0 ? (unsigned char *)kelSys.malloc((size_t)length) : NULL;
    char newPath[PATH_SIZE];
    int fd = spool.appendFd, ok;

    ok = length == 0 || (buf != NULL && journalReadAt(fd, buf, (size_t)length, from));
    /* The reader is done with the old segment once it is past from. */
    spool.diskBytes -= old->size < spool.diskBytes ? old->size : spool.diskBytes;
    spool.waitingBytes -= length < spool.waitingBytes ? length : spool.waitingBytes;
    old->size = from;
    spool.diskBytes += from;
    kelSys.close(fd);
    spool.appendFd = -1;
    spool.appendOpen = 0;
    spool.rotate = 0;
    if (!ok) {
        trace(TRACE_ERROR, "spool: %s was deleted or replaced; %llu bytes not yet written in it are lost: %s",
              path, (unsigned long long)length, strerror(errno));
        free(buf);
        return;
    }
    if (!spoolOpenAppendSegment()) {
        trace(TRACE_ERROR, "spool: %s was deleted or replaced; can't begin a new segment: %s; "
                           "%llu bytes not yet written in it are lost",
              path, strerror(errno), (unsigned long long)length);
        free(buf);
        return;
    }
    old = &spool.segs[spool.segCount - 1];
    spoolSegmentPath(newPath, sizeof newPath, old->seq);
    if (length > 0 && kelSys.pwrite(spool.appendFd, buf, (size_t)length, 0) != (ssize_t)length) {
        trace(TRACE_ERROR, "spool: %s was deleted or replaced; can't write %s: %s; "
                           "%llu bytes not yet written in it are lost",
              path, newPath, strerror(errno), (unsigned long long)length);
        kelSys.ftruncate(spool.appendFd, 0);
        free(buf);
        return;
    }
    free(buf);
    old->size = length;
    spool.diskBytes += length;
    spool.waitingBytes += length;
    trace(TRACE_ERROR, "spool: %s was deleted or replaced; the %llu bytes not yet written in it are "
                       "appended again to %s",
          path, (unsigned long long)length, newPath);
    /* Syncs now for the records whose threads wait (SPOOL_SYNC always). */
    if (spool.syncMode != SPOOL_SYNC_NONE && length > 0)
        spoolSyncAppend();
}

void spoolCheckFiles(void)
{
    char path[PATH_SIZE];

    if (spool.lockFd >= 0 && journalPath(path, sizeof path, spool.dir, JOURNAL_LOCK_FILE) &&
        !sameFile(spool.lockFd, path)) {
        int fd = takeLock();
        if (fd >= 0) {
            kelSys.close(spool.lockFd);
            spool.lockFd = fd;
            trace(TRACE_ERROR, "spool: %s was deleted or replaced; the lock is taken again", path);
        } else if (errno == EWOULDBLOCK) {
            trace(TRACE_ERROR, "spool: %s was deleted or replaced, and process %ld holds the new one: "
                               "two processes use this journal",
                  path, journalLockHolder(spool.dir));
            /* Said once: not looked at again. */
            kelSys.close(spool.lockFd);
            spool.lockFd = -1;
        } else {
            trace(TRACE_ERROR, "spool: %s was deleted or replaced; can't take the lock again: %s", path,
                  strerror(errno));
        }
    }
    if (spool.positionFd >= 0 && journalPath(path, sizeof path, spool.dir, JOURNAL_POSITION_FILE) &&
        !sameFile(spool.positionFd, path) && !__atomic_load_n(&spool.positionLost, __ATOMIC_RELAXED)) {
        trace(TRACE_ERROR, "spool: %s was deleted or replaced; it is made again at the next commit", path);
        __atomic_store_n(&spool.positionLost, 1, __ATOMIC_RELAXED);
    }
    if (spool.appendOpen) {
        spoolSegmentPath(path, sizeof path, spool.segs[spool.segCount - 1].seq);
        if (!sameFile(spool.appendFd, path))
            rescueAppendSegment(path);
    }
}

uint64_t spoolWaitingBytes(void)
{
    uint64_t n;

    mutex_lock(&spool.mutex);
    n = spool.waitingBytes;
    mutex_unlock(&spool.mutex);
    return n;
}

uint64_t spoolDiskBytes(void)
{
    uint64_t n;

    mutex_lock(&spool.mutex);
    n = spool.diskBytes;
    mutex_unlock(&spool.mutex);
    return n;
}

/* ---- requeued events ----------------------------------------------------- */

/* Renames each requeue file into the next segment number; the append
 * segment is ended first, so the adopted events come after everything
 * appended before. Returns the number of files adopted. spool.mutex held;
 * names listed by the caller outside the lock. */
static int adoptRequeued(char (*names)[JOURNAL_NAME_SIZE], size_t count)
{
    char from[PATH_SIZE], to[PATH_SIZE];
    struct stat st;
    int adopted = 0;

    for (size_t i = 0; i < count; i++) {
        uint64_t seq = spool.nextSeq;
        if (!journalPath(from, sizeof from, spool.dir, names[i]))
            continue;
        spoolCloseAppendSegment();
        spoolSegmentPath(to, sizeof to, seq);
        if (kelSys.stat(from, &st) != 0 || !spoolSegPush(seq, (uint64_t)st.st_size))
            continue;
        if (kelSys.rename(from, to) != 0) {
            trace(TRACE_ERROR, "spool: can't take in requeued events of %s: %s", from, strerror(errno));
            spool.segCount--;
            continue;
        }
        spool.nextSeq = seq + 1;
        spool.diskBytes += (uint64_t)st.st_size;
        spool.waitingBytes += (uint64_t)st.st_size;
        trace(TRACE_2, "spool: requeued events of %s taken in as %s", names[i], to);
        adopted++;
    }
    if (adopted > 0)
        spoolSyncDir();
    return adopted;
}

static int lookForRequeued(void)
{
    char (*names)[JOURNAL_NAME_SIZE] = NULL;
    size_t count = 0;
    int adopted = 0;

    if (!journalListRequeued(spool.dir, &names, &count) || count == 0) {
        free(names);
        return 0;
    }
    mutex_lock(&spool.mutex);
    /* While events wait in memory (appends refused), the journal must
     * hold nothing newer than them: adoption waits until appends resume. */
    if (spool.open && !spool.appendBroken && !spool.overLimit)
        adopted = adoptRequeued(names, count);
    mutex_unlock(&spool.mutex);
    free(names);
    return adopted;
}

/* ---- the thread ------------------------------------------------------------ */

/* Once a second: the grouped sync of SPOOL_SYNC second (records, new
 * files), the position's sync while rows commit (unless none), a look at
 * the journal's files, and requeued events. */
static void *spoolThreadFn(void *)
{
    mutex_lock(&spool.mutex);
    while (!spool.threadStop) {
        spoolTimedWait(&spool.threadWake, 1);
        if (spool.threadStop)
            break;
        if (spool.open)
            spoolCheckFiles();
        if (spool.syncMode == SPOOL_SYNC_SECOND && spool.appendOpen && !spool.syncing &&
            spoolBefore(spool.durableSeq, spool.durableEnd, spool.segs[spool.segCount - 1].seq,
                        spool.segs[spool.segCount - 1].size))
            spoolSyncAppend();
        if (spool.syncMode != SPOOL_SYNC_NONE) {
            int positionNow = __atomic_exchange_n(&spool.positionDirty, 0, __ATOMIC_RELAXED);
            int dir = spool.dirDirty && spool.syncMode == SPOOL_SYNC_SECOND;
            if (dir)
                spool.dirDirty = 0;
            if (positionNow || dir) {
                mutex_unlock(&spool.mutex);
                if (positionNow)
                    spoolPositionSync();
                if (dir)
                    spoolSyncDir();
                mutex_lock(&spool.mutex);
            }
        }
        mutex_unlock(&spool.mutex);
        if (lookForRequeued() > 0)
            spool.wakePending = 1;
        if (spool.wakePending && spool.wakeWriter != NULL && spool.wakeWriter())
            spool.wakePending = 0;
        mutex_lock(&spool.mutex);
    }
    mutex_unlock(&spool.mutex);
    return NULL;
}

void spoolStop(void)
{
    thread_t t;

    mutex_lock(&spool.mutex);
    if (!spool.threadRunning) {
        mutex_unlock(&spool.mutex);
        return;
    }
    spool.threadStop = 1;
    cond_broadcast(&spool.threadWake);
    t = spool.thread;
    spool.threadRunning = 0;
    mutex_unlock(&spool.mutex);
    thr_join(t, NULL, NULL);
}

/* Starts the thread unless it runs; spool.mutex held. Without it, second
 * becomes always (nothing else would sync). */
static void startThread(void)
{
    int rc;

    if (spool.threadRunning)
        return;
    spool.threadStop = 0;
    spool.wakePending = 0;
    rc = thr_create(NULL, 0, spoolThreadFn, NULL, 0, &spool.thread);
    if (rc == 0) {
        spool.threadRunning = 1;
    } else if (spool.syncMode == SPOOL_SYNC_SECOND) {
        trace(TRACE_ERROR, "spool: can't start the sync thread: error %d; each append is synced", rc);
        spool.syncMode = SPOOL_SYNC_ALWAYS;
    } else {
        trace(TRACE_ERROR, "spool: can't start the sync thread: error %d", rc);
    }
}

/* ---- open and close ------------------------------------------------------------ */

/* Takes the lock without waiting (the caller pauses between tries, with
 * no lock held). The descriptor, or -1 with errno (EWOULDBLOCK: another
 * process has it). */
static int takeLock(void)
{
    char pid[32];
    int fd, n;

    fd = journalLockOpen(spool.dir, 1);
    if (fd < 0)
        return -1;
    n = snprintf(pid, sizeof pid, "%ld\n", (long)getpid());
    if (kelSys.ftruncate(fd, 0) != 0 || kelSys.pwrite(fd, pid, (size_t)n, 0) != n) {
        /* Only kelaudit's report needs the number; the lock holds anyway. */
    }
    return fd;
}

/* Segments wait but no valid position says how far the last writer got
 * (the file was deleted, or both its slots damaged): every event in them
 * is written again, those already in the database too. */
static void warnNoPosition(void)
{
    struct JournalSummary summary;
    char path[PATH_SIZE];

    journalPath(path, sizeof path, spool.dir, JOURNAL_POSITION_FILE);
    if (journalSummarize(spool.dir, &summary))
        trace(TRACE_ERROR, "spool: no valid position in %s: the %ld events of %d segments are written "
                           "again, also those already in the database",
              path, summary.events, summary.files);
    else
        trace(TRACE_ERROR, "spool: no valid position in %s: the events of %d segments are written again, "
                          "also those already in the database",
              path, (int)spool.segCount);
}

/* Reads the position and the segments: those below the position are
 * committed (removed now), the rest wait. */
static int loadSegments(void)
{
    char path[PATH_SIZE];
    uint64_t *seqs = NULL;
    size_t count = 0;
    struct stat st;
    int valid;

    if (!journalPath(path, sizeof path, spool.dir, JOURNAL_POSITION_FILE)) {
        errno = ENAMETOOLONG;
        return 0;
    }
    spool.positionFd = kelSys.open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (spool.positionFd < 0 || (valid = journalPositionRead(spool.positionFd, &spool.position)) < 0)
        return 0;
    if (!journalListSegments(spool.dir, &seqs, &count))
        return 0;
    spool.nextSeq = spool.position.segment;
    spool.readOff = 0;
    for (size_t i = 0; i < count; i++) {
        spoolSegmentPath(path, sizeof path, seqs[i]);
        if (seqs[i] < spool.position.segment) {
            if (kelSys.unlink(path) != 0 && errno != ENOENT)
                trace(TRACE_ERROR, "spool: can't remove %s: %s", path, strerror(errno));
            continue;
        }
        if (kelSys.stat(path, &st) != 0 || !spoolSegPush(seqs[i], (uint64_t)st.st_size)) {
            free(seqs);
            return 0;
        }
        spool.diskBytes += (uint64_t)st.st_size;
        spool.waitingBytes += (uint64_t)st.st_size;
        if (spool.segCount == 1 && seqs[i] == spool.position.segment) {
            spool.readOff = spool.position.offset < (uint64_t)st.st_size ? spool.position.offset : (uint64_t)st.st_size;
            spool.waitingBytes -= spool.readOff;
        }
        spool.nextSeq = seqs[i] + 1;
    }
    free(seqs);
    if (!valid && spool.segCount > 0)
        warnNoPosition();
    return 1;
}

static void resetState(void)
{
    free(spool.segs);
    spool.segs = NULL;
    spool.segCount = spool.segCap = 0;
    spool.diskBytes = spool.waitingBytes = 0;
    spool.appendOpen = 0;
    spool.appendFd = -1;
    spool.appendBroken = spool.overLimit = spool.noSpace = 0;
    spool.fullEpisode = spool.fullWaits = 0;
    spool.durableSeq = spool.durableEnd = 0;
    spool.syncing = spool.dirDirty = spool.rotate = spool.syncBroken = 0;
    spool.positionWriteBroken = 0;
    __atomic_store_n(&spool.positionDirty, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&spool.positionSyncBroken, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&spool.positionLost, 0, __ATOMIC_RELAXED);
    spool.readOff = 0;
    memset(&spool.position, 0, sizeof spool.position);
    if (spool.positionFd >= 0)
        kelSys.close(spool.positionFd);
    spool.positionFd = -1;
    if (spool.lockFd >= 0)
        kelSys.close(spool.lockFd);
    spool.lockFd = -1;
}

int spoolOpen(const char *dir, int sync, int full, int maxMb, int (*wake)(void), int lastTry)
{
    char (*names)[JOURNAL_NAME_SIZE] = NULL;
    size_t count = 0;

    pthread_once(&condsOnce, condsInit);
    mutex_lock(&spool.mutex);
    if (spool.open) {
        startThread();
        mutex_unlock(&spool.mutex);
        return 1;
    }
    snprintf(spool.dir, sizeof spool.dir, "%s", dir);
    spool.syncMode = sync;
    spool.fullMode = full;
    spool.maxBytes = (uint64_t)(maxMb < 1 ? 1 : maxMb) * 1024u * 1024u;
    spool.segmentBytes = spool.maxBytes / 4 < SPOOL_SEGMENT_BYTES ? spool.maxBytes / 4 : SPOOL_SEGMENT_BYTES;
    if (spool.segmentBytes < SEGMENT_MIN_BYTES)
        spool.segmentBytes = SEGMENT_MIN_BYTES;
    spool.wakeWriter = wake;
    if (kelSys.mkdir(spool.dir, 0700) != 0 && errno != EEXIST) {
        trace(TRACE_ERROR, "spool: can't use SPOOL_DIR %s: %s; events kept in memory", spool.dir,
              strerror(errno));
        mutex_unlock(&spool.mutex);
        return 0;
    }
    spool.lockFd = takeLock();
    if (spool.lockFd < 0 && errno == EWOULDBLOCK && !lastTry) {
        mutex_unlock(&spool.mutex);
        return SPOOL_BUSY;
    }
    if (spool.lockFd < 0) {
        if (errno == EWOULDBLOCK)
            trace(TRACE_ERROR, "spool: SPOOL_DIR %s is in use by process %ld; events kept in memory",
                  spool.dir, journalLockHolder(spool.dir));
        else
            trace(TRACE_ERROR, "spool: can't use SPOOL_DIR %s: %s; events kept in memory", spool.dir,
                  strerror(errno));
        mutex_unlock(&spool.mutex);
        return 0;
    }
    if (!loadSegments()) {
        trace(TRACE_ERROR, "spool: can't use SPOOL_DIR %s: %s; events kept in memory", spool.dir,
              strerror(errno));
        resetState();
        mutex_unlock(&spool.mutex);
        return 0;
    }
    __atomic_store_n(&spool.open, 1, __ATOMIC_RELEASE);
    if (journalListRequeued(spool.dir, &names, &count))
        adoptRequeued(names, count);
    free(names);
    trace(TRACE_2, "spool: journal %s, %llu bytes waiting in %d files", spool.dir,
          (unsigned long long)spool.waitingBytes, (int)spool.segCount);
    startThread();
    mutex_unlock(&spool.mutex);
    return 1;
}

int spoolIsOpen(void)
{
    return __atomic_load_n(&spool.open, __ATOMIC_ACQUIRE);
}

/* With nothing waiting, every segment is committed: the position moves
 * past the newest and the files go. spool.mutex held; no writer runs. */
static void removeCommitted(void)
{
    char path[PATH_SIZE];

    if (spool.waitingBytes > 0 || spool.segCount == 0)
        return;
    spoolPositionSave(spool.segs[spool.segCount - 1].seq + 1, 0);
    spoolSyncPosition();
    for (size_t i = 0; i < spool.segCount; i++) {
        spoolSegmentPath(path, sizeof path, spool.segs[i].seq);
        if (kelSys.unlink(path) != 0 && errno != ENOENT)
            trace(TRACE_ERROR, "spool: can't remove %s: %s", path, strerror(errno));
    }
    spool.segCount = 0;
}

void spoolClose(void)
{
    spoolStop();
    mutex_lock(&spool.mutex);
    if (!spool.open) {
        mutex_unlock(&spool.mutex);
        return;
    }
    spoolCloseAppendSegment();
    if (spool.readFd >= 0) {
        kelSys.close(spool.readFd);
        spool.readFd = -1;
    }
    spoolReadForget();
    removeCommitted();
    spoolSyncPosition();
    journalBufFree(&spool.readBuf);
    __atomic_store_n(&spool.open, 0, __ATOMIC_RELEASE);
    resetState();
    cond_broadcast(&spool.syncDone);
    cond_broadcast(&spool.roomFreed);
    mutex_unlock(&spool.mutex);
}
