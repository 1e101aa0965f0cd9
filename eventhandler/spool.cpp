/*
 * spool.cpp - the audit journal of the running event handler (see
 * spool.h for its interface, journal.h for its files).
 *
 * Threads: recording threads append (spoolAppend, under the audit
 * module's queueMutex) and, with SPOOL_SYNC always, wait until their
 * record is on disk; the database writer reads and commits (spoolPeek,
 * spoolCommit); a thread of this module syncs once a second (SPOOL_SYNC
 * second) and adopts requeued events; the thread that starts or releases
 * the handler opens and closes. spoolMutex guards every field below
 * except those marked "writer": the writer alone reads segment files and
 * moves the position, so no file is read or synced under the lock.
 *
 * Durability: an append is one pwrite at the end of the newest segment;
 * a short or failed write is cut off again (ftruncate) and the segment
 * closed, so a record is either whole or absent from this process's
 * view. Syncs are grouped: one thread syncs for every record appended
 * before it started, the others wait for it. A new segment is begun at
 * every start (a crash may have torn the tail of the last one), when the
 * newest grows past its size, after an append failure, and before
 * requeued events are adopted, so segments are read strictly in the
 * order of their numbers.
 *
 * Commit: after each row the writer saves the position (pwrite into one
 * of the position file's two slots; synced at once with SPOOL_SYNC always,
 * within a second with second). A crash between the database's commit and
 * that write makes the next start write that one row again: at most one
 * duplicate per crash. Segments wholly committed are removed.
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
#include "synch.h"
#include "thread.h"
#include "trace.h"

#define SEGMENT_MIN_BYTES (64u * 1024u)

struct Segment {
    uint64_t seq;
    uint64_t size; /* bytes the reader may read: published appends */
};

static mutex_t spoolMutex = DEFAULTMUTEX;
static cond_t syncDone = DEFAULTCV;   /* a group sync ended; a segment closed */
static cond_t threadWake = DEFAULTCV; /* the thread's tick and its stop */

static int spoolOpenFlag = 0; /* read without the lock by spoolPrepare */
static char spoolDir[PATH_SIZE];
static int syncMode = SPOOL_SYNC_SECOND;
static uint64_t maxBytes = 0;
static uint64_t segmentBytes = SPOOL_SEGMENT_BYTES;
static int lockFd = -1;
static int positionFd = -1;
static int (*wakeWriter)(void) = NULL;
static int wakePending = 0; /* the thread's own */

/* The segments present, oldest first; the newest is the append segment
 * while appendOpen. */
static struct Segment *segs = NULL;
static size_t segCount = 0, segCap = 0;
static uint64_t nextSeq = 0;
static int appendOpen = 0;
static int appendFd = -1;
static uint64_t diskBytes = 0;    /* sizes of all segment files */
static uint64_t waitingBytes = 0; /* bytes not yet committed */

/* Appends that failed, and the size limit. */
static int appendBroken = 0;
static time_t retryAt = 0;
static int overLimit = 0;

/* Durability: every record that ends at or before (durableSeq,
 * durableEnd) is on disk. */
static uint64_t durableSeq = 0, durableEnd = 0;
static int syncing = 0;
static int positionDirty = 0; /* atomic */
static int dirDirty = 0;

/* The thread. */
static thread_t spoolThread;
static int threadRunning = 0;
static int threadStop = 0;

/* Writer: where it reads, and the event it has peeked. */
static uint64_t readOff = 0;          /* in segs[0]; guarded: the reader writes it under the lock */
static int readFd = -1;               /* writer */
static uint64_t readFdSeq = 0;        /* writer */
static struct JournalBuf readBuf = {NULL, 0}; /* writer */
static struct JournalEntry head;      /* writer */
static int headValid = 0;             /* writer */
static uint64_t headLen = 0;          /* writer */
static struct JournalPosition position; /* writer, and open/close */

/* ---- small helpers ------------------------------------------------------ */

static int before(uint64_t seqA, uint64_t endA, uint64_t seqB, uint64_t endB)
{
    return seqA < seqB || (seqA == seqB && endA < endB);
}

static void segmentPath(char *out, size_t size, uint64_t seq)
{
    char name[JOURNAL_NAME_SIZE];

    journalSegmentName(name, sizeof name, seq);
    if (!journalPath(out, size, spoolDir, name))
        out[0] = '\0';
}

/* Makes a new entry in a folder durable. */
static void syncDir(void)
{
    int fd = kelSys.open(spoolDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);

    if (fd < 0)
        return;
    if (kelSys.fsync(fd) != 0)
        trace(TRACE_ERROR, "spool: can't sync %s: %s", spoolDir, strerror(errno));
    close(fd);
}

static int segPush(uint64_t seq, uint64_t size)
{
    if (segCount == segCap) {
        size_t cap = segCap == 0 ? 16 : segCap * 2;
        struct Segment *grown = (struct Segment *)kelSys.malloc(cap * sizeof *grown);
        if (grown == NULL)
            return 0;
        if (segCount > 0)
            memcpy(grown, segs, segCount * sizeof *segs);
        free(segs);
        segs = grown;
        segCap = cap;
    }
    segs[segCount].seq = seq;
    segs[segCount].size = size;
    segCount++;
    return 1;
}

static void segPopFront(void)
{
    memmove(segs, segs + 1, (segCount - 1) * sizeof *segs);
    segCount--;
}

/* Writer (or close): saves the position; synced now with always, by the
 * thread with second (positionDirty is set without the lock, so that
 * close may call this with the lock held). */
static void positionSave(uint64_t seq, uint64_t offset)
{
    char path[PATH_SIZE];

    position.segment = seq;
    position.offset = offset;
    if (!journalPositionWrite(positionFd, &position)) {
        journalPath(path, sizeof path, spoolDir, JOURNAL_POSITION_FILE);
        trace(TRACE_ERROR, "spool: can't write position file %s: %s", path, strerror(errno));
        return;
    }
    if (syncMode == SPOOL_SYNC_ALWAYS)
        kelSys.fdatasync(positionFd);
    else if (syncMode == SPOOL_SYNC_SECOND)
        __atomic_store_n(&positionDirty, 1, __ATOMIC_RELAXED);
}

/* ---- syncing (spoolMutex held) ------------------------------------------- */

/* Syncs the append segment for every record appended so far; the lock is
 * let go during the sync. Only one thread syncs at a time. */
static void syncAppend(void)
{
    uint64_t seq = segs[segCount - 1].seq, end = segs[segCount - 1].size;
    char path[PATH_SIZE];
    int fd = appendFd, rc;

    syncing = 1;
    mutex_unlock(&spoolMutex);
    rc = kelSys.fdatasync(fd);
    mutex_lock(&spoolMutex);
    syncing = 0;
    if (rc != 0) {
        segmentPath(path, sizeof path, seq);
        trace(TRACE_ERROR, "spool: can't sync %s: %s", path, strerror(errno));
    }
    /* Even after a failed sync: the records are written, and waiting for
     * a sync that keeps failing would hold up the recording threads. */
    if (before(durableSeq, durableEnd, seq, end)) {
        durableSeq = seq;
        durableEnd = end;
    }
    cond_broadcast(&syncDone);
}

/* Ends the append segment: synced first (unless SPOOL_SYNC none), so that
 * the grouped syncs need only ever look at the newest segment. */
static void closeAppendSegment(void)
{
    if (!appendOpen)
        return;
    while (syncing)
        cond_wait(&syncDone, &spoolMutex);
    if (syncMode != SPOOL_SYNC_NONE &&
        before(durableSeq, durableEnd, segs[segCount - 1].seq, segs[segCount - 1].size))
        syncAppend();
    close(appendFd);
    appendFd = -1;
    appendOpen = 0;
    cond_broadcast(&syncDone);
}

static int openAppendSegment(void)
{
    char path[PATH_SIZE];
    uint64_t seq = nextSeq;
    int fd;

    segmentPath(path, sizeof path, seq);
    fd = kelSys.open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return 0;
    if (!segPush(seq, 0)) {
        close(fd);
        kelSys.unlink(path);
        errno = ENOMEM;
        return 0;
    }
    nextSeq = seq + 1;
    appendFd = fd;
    appendOpen = 1;
    if (syncMode == SPOOL_SYNC_ALWAYS)
        syncDir();
    else
        dirDirty = 1;
    return 1;
}

/* ---- appending ------------------------------------------------------------ */

static int appendFailed(const char *what, int error)
{
    if (!appendBroken)
        trace(TRACE_ERROR, "spool: can't append to %s: %s; events kept in memory", what,
              strerror(error));
    appendBroken = 1;
    retryAt = kelTime() + 1;
    return 0;
}

/* spoolMutex held. */
static int appendRecord(struct SpoolRecord *r)
{
    char path[PATH_SIZE];
    struct Segment *last;
    ssize_t n;

    if (appendBroken && kelTime() < retryAt)
        return 0;
    if (diskBytes + r->size > maxBytes) {
        if (!overLimit)
            trace(TRACE_ERROR, "spool: journal %s holds SPOOL_MAX_MB (%llu bytes); events kept in "
                               "memory until the writer catches up",
                  spoolDir, (unsigned long long)diskBytes);
        overLimit = 1;
        return 0;
    }
    if (appendOpen && segs[segCount - 1].size > 0 && segs[segCount - 1].size + r->size > segmentBytes)
        closeAppendSegment();
    if (!appendOpen && !openAppendSegment())
        return appendFailed(spoolDir, errno);
    last = &segs[segCount - 1];
    n = kelSys.pwrite(appendFd, r->data, r->size, (off_t)last->size);
    if (n != (ssize_t)r->size) {
        int error = n < 0 ? errno : ENOSPC;
        segmentPath(path, sizeof path, last->seq);
        /* Cut the partial record off; when even that fails, the segment
         * ends in a torn record that the next start skips. */
        kelSys.ftruncate(appendFd, (off_t)last->size);
        closeAppendSegment();
        return appendFailed(path, error);
    }
    last->size += r->size;
    diskBytes += r->size;
    waitingBytes += r->size;
    r->segment = last->seq;
    r->end = last->size;
    r->mustSync = syncMode == SPOOL_SYNC_ALWAYS;
    if (appendBroken || overLimit)
        trace(TRACE_ERROR, "spool: appending to the journal again");
    appendBroken = 0;
    overLimit = 0;
    return 1;
}

void spoolPrepare(const struct SmLog_Access_s *e, struct SpoolRecord *r)
{
    size_t size;

    r->data = NULL;
    r->size = 0;
    size = journalRecordSize(e, NULL);
    if (size == 0) {
        trace(TRACE_ERROR, "spool: event of user %.100s too large for the journal; kept in memory",
              e->szUserName);
        return;
    }
    r->data = size <= sizeof r->local ? r->local : (unsigned char *)kelSys.malloc(size);
    if (r->data == NULL)
        return;
    journalEncode(r->data, size, JOURNAL_EVENT, (int64_t)kelTime(), e, NULL);
    r->size = size;
}

int spoolAppend(struct SpoolRecord *r)
{
    int ok;

    if (r->data == NULL)
        return 0;
    mutex_lock(&spoolMutex);
    ok = spoolOpenFlag && appendRecord(r);
    mutex_unlock(&spoolMutex);
    return ok;
}

void spoolFinish(struct SpoolRecord *r, int appended)
{
    if (appended && r->mustSync) {
        mutex_lock(&spoolMutex);
        while (spoolOpenFlag && before(durableSeq, durableEnd, r->segment, r->end)) {
            if (syncing) {
                cond_wait(&syncDone, &spoolMutex);
                continue;
            }
            /* A closed segment was synced when it was closed. */
            if (!appendOpen || segs[segCount - 1].seq != r->segment)
                break;
            syncAppend();
        }
        mutex_unlock(&spoolMutex);
    }
    if (r->data != NULL && r->data != r->local)
        free(r->data);
    r->data = NULL;
}

int spoolAppendEvent(const struct SmLog_Access_s *event, uint64_t *segment, uint64_t *end)
{
    struct SpoolRecord r;
    int ok;

    spoolPrepare(event, &r);
    ok = spoolAppend(&r);
    spoolFinish(&r, ok);
    if (ok && segment != NULL) {
        *segment = r.segment;
        *end = r.end;
    }
    return ok;
}

/* ---- reading (writer thread) ------------------------------------------------- */

int spoolPending(void)
{
    int pending;

    mutex_lock(&spoolMutex);
    pending = spoolOpenFlag && (headValid || waitingBytes > 0);
    mutex_unlock(&spoolMutex);
    return pending;
}

/* The reader is done with segment seq: the position moves to the next
 * number, then the file goes. */
static void finishSegment(uint64_t seq)
{
    char path[PATH_SIZE];

    if (readFd >= 0) {
        close(readFd);
        readFd = -1;
    }
    positionSave(seq + 1, 0);
    segmentPath(path, sizeof path, seq);
    if (kelSys.unlink(path) != 0 && errno != ENOENT)
        trace(TRACE_ERROR, "spool: can't remove %s: %s", path, strerror(errno));
}

/* Opens segment seq for reading: 1, or 0 (errno; traced unless the file
 * is gone, which the caller reports). */
static int openReader(uint64_t seq)
{
    char path[PATH_SIZE];

    if (readFd >= 0 && readFdSeq == seq)
        return 1;
    if (readFd >= 0)
        close(readFd);
    segmentPath(path, sizeof path, seq);
    readFd = kelSys.open(path, O_RDONLY | O_CLOEXEC, 0);
    if (readFd < 0) {
        int error = errno;
        if (error != ENOENT)
            trace(TRACE_ERROR, "spool: can't read %s: %s", path, strerror(error));
        errno = error;
        return 0;
    }
    readFdSeq = seq;
    return 1;
}

/* Moves the reader past bytes that are no record; spoolMutex held. */
static void skipDamage(int result, uint64_t seq, uint64_t offset, uint64_t length)
{
    char path[PATH_SIZE];

    segmentPath(path, sizeof path, seq);
    if (result == JOURNAL_TAIL)
        trace(TRACE_ERROR, "spool: torn record at the end of %s: %llu bytes skipped", path,
              (unsigned long long)length);
    else
        trace(TRACE_ERROR, "spool: damaged record in %s at offset %llu: %llu bytes skipped", path,
              (unsigned long long)offset, (unsigned long long)length);
    readOff += length;
    waitingBytes -= length < waitingBytes ? length : waitingBytes;
}

struct SmLog_Access_s *spoolPeek(void)
{
    uint64_t seq, end, off, length;
    int live, rc, noMemory, error;

    if (headValid)
        return head.event;
    mutex_lock(&spoolMutex);
    for (;;) {
        if (!spoolOpenFlag || segCount == 0)
            break;
        seq = segs[0].seq;
        end = segs[0].size;
        off = readOff;
        live = appendOpen && segCount == 1;
        if (off >= end) {
            if (live)
                break;
            mutex_unlock(&spoolMutex);
            finishSegment(seq);
            mutex_lock(&spoolMutex);
            diskBytes -= segs[0].size < diskBytes ? segs[0].size : diskBytes;
            segPopFront();
            readOff = 0;
            continue;
        }
        mutex_unlock(&spoolMutex);
        rc = openReader(seq) ? journalRead(readFd, off, end, &readBuf, &length) : JOURNAL_ERROR;
        error = errno;
        mutex_lock(&spoolMutex);
        if (rc == JOURNAL_ERROR && readFd < 0 && error == ENOENT) {
            /* Removed by hand: what it held cannot be had. */
            char path[PATH_SIZE];
            segmentPath(path, sizeof path, seq);
            trace(TRACE_ERROR, "spool: %s is missing: %llu bytes skipped", path,
                  (unsigned long long)(end - off));
            readOff = end;
            waitingBytes -= end - off < waitingBytes ? end - off : waitingBytes;
            continue;
        }
        if (rc == JOURNAL_ERROR) {
            if (readFd >= 0) {
                char path[PATH_SIZE];
                segmentPath(path, sizeof path, seq);
                trace(TRACE_ERROR, "spool: can't read %s: %s", path, strerror(error));
            }
            break;
        }
        if (rc == JOURNAL_RECORD) {
            if (journalDecode(readBuf.data, length - JOURNAL_HEADER_SIZE, &head, &noMemory)) {
                headValid = 1;
                headLen = length;
                trace(TRACE_4, "spoolPeek: user %s", head.event->szUserName);
                break;
            }
            if (noMemory) {
                trace(TRACE_ERROR, "Can't allocate memory for event copy");
                break;
            }
        }
        skipDamage(rc, seq, off, length);
        mutex_unlock(&spoolMutex);
        positionSave(seq, off + length);
        mutex_lock(&spoolMutex);
    }
    mutex_unlock(&spoolMutex);
    return headValid ? head.event : NULL;
}

void spoolCommit(void)
{
    uint64_t seq, off;

    if (!headValid)
        return;
    mutex_lock(&spoolMutex);
    readOff += headLen;
    waitingBytes -= headLen < waitingBytes ? headLen : waitingBytes;
    seq = segs[0].seq;
    off = readOff;
    headValid = 0;
    mutex_unlock(&spoolMutex);
    journalEntryFree(&head);
    positionSave(seq, off);
}

void spoolCommitIfEndsAt(uint64_t segment, uint64_t end)
{
    int match;

    if (spoolPeek() == NULL)
        return;
    mutex_lock(&spoolMutex);
    match = segCount > 0 && segs[0].seq == segment && readOff + headLen == end;
    mutex_unlock(&spoolMutex);
    if (match)
        spoolCommit();
}

uint64_t spoolDiskBytes(void)
{
    uint64_t n;

    mutex_lock(&spoolMutex);
    n = diskBytes;
    mutex_unlock(&spoolMutex);
    return n;
}

/* ---- requeued events ----------------------------------------------------- */

/* Renames each requeue file into the next segment number; the append
 * segment is ended first, so the adopted events come after everything
 * appended before. Returns the number of files adopted. spoolMutex held;
 * names listed by the caller outside the lock. */
static int adoptRequeued(char (*names)[JOURNAL_NAME_SIZE], size_t count)
{
    char from[PATH_SIZE], to[PATH_SIZE];
    struct stat st;
    int adopted = 0;

    for (size_t i = 0; i < count; i++) {
        uint64_t seq = nextSeq;
        if (!journalPath(from, sizeof from, spoolDir, names[i]))
            continue;
        closeAppendSegment();
        segmentPath(to, sizeof to, seq);
        if (kelSys.stat(from, &st) != 0 || !segPush(seq, (uint64_t)st.st_size))
            continue;
        if (kelSys.rename(from, to) != 0) {
            trace(TRACE_ERROR, "spool: can't take in requeued events of %s: %s", from, strerror(errno));
            segCount--;
            continue;
        }
        nextSeq = seq + 1;
        diskBytes += (uint64_t)st.st_size;
        waitingBytes += (uint64_t)st.st_size;
        trace(TRACE_2, "spool: requeued events of %s taken in as %s", names[i], to);
        adopted++;
    }
    if (adopted > 0)
        syncDir();
    return adopted;
}

static int lookForRequeued(void)
{
    char (*names)[JOURNAL_NAME_SIZE] = NULL;
    size_t count = 0;
    int adopted = 0;

    if (!journalListRequeued(spoolDir, &names, &count) || count == 0) {
        free(names);
        return 0;
    }
    mutex_lock(&spoolMutex);
    /* While events wait in memory (appends refused), the journal must
     * hold nothing newer than them: adoption waits until appends resume. */
    if (spoolOpenFlag && !appendBroken && !overLimit)
        adopted = adoptRequeued(names, count);
    mutex_unlock(&spoolMutex);
    free(names);
    return adopted;
}

/* ---- the thread ------------------------------------------------------------ */

/* Once a second: the grouped sync of SPOOL_SYNC second (records, position,
 * new files), and requeued events. */
static void *spoolThreadFn(void *)
{
    timestruc_t second = {1, 0};

    mutex_lock(&spoolMutex);
    while (!threadStop) {
        cond_reltimedwait(&threadWake, &spoolMutex, &second);
        if (threadStop)
            break;
        if (syncMode == SPOOL_SYNC_SECOND) {
            if (appendOpen && !syncing &&
                before(durableSeq, durableEnd, segs[segCount - 1].seq, segs[segCount - 1].size))
                syncAppend();
            int positionNow = __atomic_exchange_n(&positionDirty, 0, __ATOMIC_RELAXED);
            if (positionNow || dirDirty) {
                int dir = dirDirty;
                dirDirty = 0;
                mutex_unlock(&spoolMutex);
                if (positionNow)
                    kelSys.fdatasync(positionFd);
                if (dir)
                    syncDir();
                mutex_lock(&spoolMutex);
            }
        }
        mutex_unlock(&spoolMutex);
        if (lookForRequeued() > 0)
            wakePending = 1;
        if (wakePending && wakeWriter != NULL && wakeWriter())
            wakePending = 0;
        mutex_lock(&spoolMutex);
    }
    mutex_unlock(&spoolMutex);
    return NULL;
}

void spoolStop(void)
{
    thread_t t;

    mutex_lock(&spoolMutex);
    if (!threadRunning) {
        mutex_unlock(&spoolMutex);
        return;
    }
    threadStop = 1;
    cond_broadcast(&threadWake);
    t = spoolThread;
    threadRunning = 0;
    mutex_unlock(&spoolMutex);
    thr_join(t, NULL, NULL);
}

/* Starts the thread unless it runs; spoolMutex held. Without it, second
 * becomes always (nothing else would sync). */
static void startThread(void)
{
    int rc;

    if (threadRunning)
        return;
    threadStop = 0;
    wakePending = 0;
    rc = thr_create(NULL, 0, spoolThreadFn, NULL, 0, &spoolThread);
    if (rc == 0) {
        threadRunning = 1;
    } else if (syncMode == SPOOL_SYNC_SECOND) {
        trace(TRACE_ERROR, "spool: can't start the sync thread: error %d; each append is synced", rc);
        syncMode = SPOOL_SYNC_ALWAYS;
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

    fd = journalLockOpen(spoolDir, 1);
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

    if (!journalPath(path, sizeof path, spoolDir, JOURNAL_POSITION_FILE)) {
        errno = ENAMETOOLONG;
        return 0;
    }
    positionFd = kelSys.open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (positionFd < 0 || journalPositionRead(positionFd, &position) < 0)
        return 0;
    if (!journalListSegments(spoolDir, &seqs, &count))
        return 0;
    nextSeq = position.segment;
    readOff = 0;
    for (size_t i = 0; i < count; i++) {
        segmentPath(path, sizeof path, seqs[i]);
        if (seqs[i] < position.segment) {
            if (kelSys.unlink(path) != 0 && errno != ENOENT)
                trace(TRACE_ERROR, "spool: can't remove %s: %s", path, strerror(errno));
            continue;
        }
        if (kelSys.stat(path, &st) != 0 || !segPush(seqs[i], (uint64_t)st.st_size)) {
            free(seqs);
            return 0;
        }
        diskBytes += (uint64_t)st.st_size;
        waitingBytes += (uint64_t)st.st_size;
        if (segCount == 1 && seqs[i] == position.segment) {
            readOff = position.offset < (uint64_t)st.st_size ? position.offset : (uint64_t)st.st_size;
            waitingBytes -= readOff;
        }
        nextSeq = seqs[i] + 1;
    }
    free(seqs);
    return 1;
}

static void resetState(void)
{
    free(segs);
    segs = NULL;
    segCount = segCap = 0;
    diskBytes = waitingBytes = 0;
    appendOpen = 0;
    appendFd = -1;
    appendBroken = overLimit = 0;
    durableSeq = durableEnd = 0;
    syncing = dirDirty = 0;
    __atomic_store_n(&positionDirty, 0, __ATOMIC_RELAXED);
    readOff = 0;
    memset(&position, 0, sizeof position);
    if (positionFd >= 0)
        close(positionFd);
    positionFd = -1;
    if (lockFd >= 0)
        close(lockFd);
    lockFd = -1;
}

int spoolOpen(const char *dir, int sync, int maxMb, int (*wake)(void), int lastTry)
{
    char (*names)[JOURNAL_NAME_SIZE] = NULL;
    size_t count = 0;

    mutex_lock(&spoolMutex);
    if (spoolOpenFlag) {
        startThread();
        mutex_unlock(&spoolMutex);
        return 1;
    }
    snprintf(spoolDir, sizeof spoolDir, "%s", dir);
    syncMode = sync;
    maxBytes = (uint64_t)(maxMb < 1 ? 1 : maxMb) * 1024u * 1024u;
    segmentBytes = maxBytes / 4 < SPOOL_SEGMENT_BYTES ? maxBytes / 4 : SPOOL_SEGMENT_BYTES;
    if (segmentBytes < SEGMENT_MIN_BYTES)
        segmentBytes = SEGMENT_MIN_BYTES;
    wakeWriter = wake;
    if (kelSys.mkdir(spoolDir, 0700) != 0 && errno != EEXIST) {
        trace(TRACE_ERROR, "spool: can't use SPOOL_DIR %s: %s; events kept in memory", spoolDir,
              strerror(errno));
        mutex_unlock(&spoolMutex);
        return 0;
    }
    lockFd = takeLock();
    if (lockFd < 0 && errno == EWOULDBLOCK && !lastTry) {
        mutex_unlock(&spoolMutex);
        return SPOOL_BUSY;
    }
    if (lockFd < 0) {
        if (errno == EWOULDBLOCK)
            trace(TRACE_ERROR, "spool: SPOOL_DIR %s is in use by process %ld; events kept in memory",
                  spoolDir, journalLockHolder(spoolDir));
        else
            trace(TRACE_ERROR, "spool: can't use SPOOL_DIR %s: %s; events kept in memory", spoolDir,
                  strerror(errno));
        mutex_unlock(&spoolMutex);
        return 0;
    }
    if (!loadSegments()) {
        trace(TRACE_ERROR, "spool: can't use SPOOL_DIR %s: %s; events kept in memory", spoolDir,
              strerror(errno));
        resetState();
        mutex_unlock(&spoolMutex);
        return 0;
    }
    __atomic_store_n(&spoolOpenFlag, 1, __ATOMIC_RELEASE);
    if (journalListRequeued(spoolDir, &names, &count))
        adoptRequeued(names, count);
    free(names);
    trace(TRACE_2, "spool: journal %s, %llu bytes waiting in %d files", spoolDir,
          (unsigned long long)waitingBytes, (int)segCount);
    startThread();
    mutex_unlock(&spoolMutex);
    return 1;
}

int spoolIsOpen(void)
{
    return __atomic_load_n(&spoolOpenFlag, __ATOMIC_ACQUIRE);
}

/* With nothing waiting, every segment is committed: the position moves
 * past the newest and the files go. spoolMutex held; no writer runs. */
static void removeCommitted(void)
{
    char path[PATH_SIZE];

    if (waitingBytes > 0 || segCount == 0)
        return;
    positionSave(segs[segCount - 1].seq + 1, 0);
    if (syncMode != SPOOL_SYNC_NONE)
        kelSys.fdatasync(positionFd);
    for (size_t i = 0; i < segCount; i++) {
        segmentPath(path, sizeof path, segs[i].seq);
        if (kelSys.unlink(path) != 0 && errno != ENOENT)
            trace(TRACE_ERROR, "spool: can't remove %s: %s", path, strerror(errno));
    }
    segCount = 0;
}

void spoolClose(void)
{
    spoolStop();
    mutex_lock(&spoolMutex);
    if (!spoolOpenFlag) {
        mutex_unlock(&spoolMutex);
        return;
    }
    closeAppendSegment();
    if (readFd >= 0) {
        close(readFd);
        readFd = -1;
    }
    if (headValid) {
        journalEntryFree(&head);
        headValid = 0;
    }
    removeCommitted();
    if (syncMode != SPOOL_SYNC_NONE)
        kelSys.fdatasync(positionFd);
    journalBufFree(&readBuf);
    __atomic_store_n(&spoolOpenFlag, 0, __ATOMIC_RELEASE);
    resetState();
    cond_broadcast(&syncDone);
    mutex_unlock(&spoolMutex);
}
