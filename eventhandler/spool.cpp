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

/* Makes a new entry in a folder durable. */
void spoolSyncDir(void)
{
    int fd = kelSys.open(spool.dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);

    if (fd < 0)
        return;
    if (kelSys.fsync(fd) != 0)
        trace(TRACE_ERROR, "spool: can't sync %s: %s", spool.dir, strerror(errno));
    close(fd);
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

/* Once a second: the grouped sync of SPOOL_SYNC second (records, position,
 * new files), and requeued events. */
static void *spoolThreadFn(void *)
{
    timestruc_t second = {1, 0};

    mutex_lock(&spool.mutex);
    while (!spool.threadStop) {
        cond_reltimedwait(&spool.threadWake, &spool.mutex, &second);
        if (spool.threadStop)
            break;
        if (spool.syncMode == SPOOL_SYNC_SECOND) {
            if (spool.appendOpen && !spool.syncing &&
                spoolBefore(spool.durableSeq, spool.durableEnd, spool.segs[spool.segCount - 1].seq, spool.segs[spool.segCount - 1].size))
                spoolSyncAppend();
            int positionNow = __atomic_exchange_n(&spool.positionDirty, 0, __ATOMIC_RELAXED);
            if (positionNow || spool.dirDirty) {
                int dir = spool.dirDirty;
                spool.dirDirty = 0;
                mutex_unlock(&spool.mutex);
                if (positionNow)
                    kelSys.fdatasync(spool.positionFd);
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

/* Reads the position and the segments: those below the position are
 * committed (removed now), the rest wait. */
static int loadSegments(void)
{
    char path[PATH_SIZE];
    uint64_t *seqs = NULL;
    size_t count = 0;
    struct stat st;

    if (!journalPath(path, sizeof path, spool.dir, JOURNAL_POSITION_FILE)) {
        errno = ENAMETOOLONG;
        return 0;
    }
    spool.positionFd = kelSys.open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (spool.positionFd < 0 || journalPositionRead(spool.positionFd, &spool.position) < 0)
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
    spool.appendBroken = spool.overLimit = 0;
    spool.durableSeq = spool.durableEnd = 0;
    spool.syncing = spool.dirDirty = 0;
    __atomic_store_n(&spool.positionDirty, 0, __ATOMIC_RELAXED);
    spool.readOff = 0;
    memset(&spool.position, 0, sizeof spool.position);
    if (spool.positionFd >= 0)
        close(spool.positionFd);
    spool.positionFd = -1;
    if (spool.lockFd >= 0)
        close(spool.lockFd);
    spool.lockFd = -1;
}

int spoolOpen(const char *dir, int sync, int maxMb, int (*wake)(void), int lastTry)
{
    char (*names)[JOURNAL_NAME_SIZE] = NULL;
    size_t count = 0;

    mutex_lock(&spool.mutex);
    if (spool.open) {
        startThread();
        mutex_unlock(&spool.mutex);
        return 1;
    }
    snprintf(spool.dir, sizeof spool.dir, "%s", dir);
    spool.syncMode = sync;
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
    if (spool.syncMode != SPOOL_SYNC_NONE)
        kelSys.fdatasync(spool.positionFd);
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
        close(spool.readFd);
        spool.readFd = -1;
    }
    if (spool.headValid) {
        journalEntryFree(&spool.head);
        spool.headValid = 0;
    }
    removeCommitted();
    if (spool.syncMode != SPOOL_SYNC_NONE)
        kelSys.fdatasync(spool.positionFd);
    journalBufFree(&spool.readBuf);
    __atomic_store_n(&spool.open, 0, __ATOMIC_RELEASE);
    resetState();
    cond_broadcast(&spool.syncDone);
    mutex_unlock(&spool.mutex);
}
