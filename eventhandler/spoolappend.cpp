/*
 * spoolappend.cpp - the append path of the audit journal (see spool.h,
 * spoolstate.h for the state and its locks).
 *
 * Threads: recording threads append (spoolAppend, under the audit
 * module's queueMutex, then spool.mutex) and, with SPOOL_SYNC always, wait
 * in spoolFinish until their record is on disk.
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
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kelsys.h"
#include "spoolstate.h"
#include "trace.h"

/* ---- syncing (spool.mutex held) --------------------------------------- */

/* A failed sync: the records appended since the last good sync may not be
 * on disk, and a later sync of the same file could report success for
 * pages the system has already given up on. So the failure is counted
 * (spoolFinish compares), the durable mark stays, and the segment is ended
 * before the next append. One level-1 line per episode. */
static void syncFailed(uint64_t seq, int error)
{
    char path[PATH_SIZE];

    spool.syncFailures++;
    spool.rotate = 1;
    if (spool.syncBroken)
        return;
    spool.syncBroken = 1;
    spoolSegmentPath(path, sizeof path, seq);
    trace(TRACE_ERROR, "spool: can't sync %s: %s; events appended since the last sync may not be on disk%s",
          path, strerror(error),
          spool.syncMode == SPOOL_SYNC_ALWAYS ? " and are kept in memory as well" : "");
}

/* Syncs the append segment for every record appended so far; the lock is
 * let go during the sync. Only one thread syncs at a time. */
void spoolSyncAppend(void)
{
    uint64_t seq = spool.segs[spool.segCount - 1].seq, end = spool.segs[spool.segCount - 1].size;
    unsigned failuresBefore = spool.syncFailures;
    int fd = spool.appendFd, rc, error;

    spool.syncing = 1;
    mutex_unlock(&spool.mutex);
    rc = kelSys.fdatasync(fd);
    error = errno;
    mutex_lock(&spool.mutex);
    spool.syncing = 0;
    if (rc != 0) {
        syncFailed(seq, error);
    } else if (!spool.rotate && failuresBefore == spool.syncFailures) {
        /* A segment whose sync once failed never counts as durable. */
        if (spool.syncBroken)
            trace(TRACE_2, "spool: syncing the journal again");
        spool.syncBroken = 0;
        if (spoolBefore(spool.durableSeq, spool.durableEnd, seq, end)) {
            spool.durableSeq = seq;
            spool.durableEnd = end;
        }
    }
    cond_broadcast(&spool.syncDone);
}

/* Ends the append segment: synced first (unless SPOOL_SYNC none, or its
 * sync failed already), so that the grouped syncs need only ever look at
 * the newest segment. */
void spoolCloseAppendSegment(void)
{
    if (!spool.appendOpen)
        return;
    while (spool.syncing)
        cond_wait(&spool.syncDone, &spool.mutex);
    if (spool.syncMode != SPOOL_SYNC_NONE && !spool.rotate &&
        spoolBefore(spool.durableSeq, spool.durableEnd, spool.segs[spool.segCount - 1].seq,
                    spool.segs[spool.segCount - 1].size))
        spoolSyncAppend();
    kelSys.close(spool.appendFd);
    spool.appendFd = -1;
    spool.appendOpen = 0;
    spool.rotate = 0;
    cond_broadcast(&spool.syncDone);
}

int spoolOpenAppendSegment(void)
{
    char path[PATH_SIZE];
    uint64_t seq = spool.nextSeq;
    int fd;

    spoolSegmentPath(path, sizeof path, seq);
    /* Read and write: should the file be deleted while open, what it
     * holds can still be read back and appended again elsewhere. */
    fd = kelSys.open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return 0;
    if (!spoolSegPush(seq, 0)) {
        kelSys.close(fd);
        kelSys.unlink(path);
        errno = ENOMEM;
        return 0;
    }
    spool.nextSeq = seq + 1;
    spool.appendFd = fd;
    spool.appendOpen = 1;
    if (spool.syncMode == SPOOL_SYNC_ALWAYS)
        spoolSyncDir();
    else
        spool.dirDirty = 1;
    spoolCheckFiles();
    return 1;
}

/* ---- appending ------------------------------------------------------------ */

static int appendFailed(const char *what, int error)
{
    if (!spool.appendBroken)
        trace(TRACE_ERROR, "spool: can't append to %s: %s; events kept in memory", what,
              strerror(error));
    spool.appendBroken = 1;
    spool.retryAt = kelMonotonic() + 1;
    return 0;
}

/* The journal is full: with SPOOL_FULL wait the recording waits for room
 * (the first of an episode says so), with memory it keeps the event in
 * memory. error: the append's errno (on the file what), or 0 for
 * SPOOL_MAX_MB. */
static int appendFull(int error, const char *what)
{
    if (spool.fullMode == SPOOL_FULL_MEMORY) {
        if (error != 0)
            return appendFailed(what, error);
        if (!spool.overLimit)
            trace(TRACE_ERROR, "spool: journal %s holds SPOOL_MAX_MB (%llu bytes); events kept in "
                               "memory until the writer catches up",
                  spool.dir, (unsigned long long)spool.diskBytes);
        spool.overLimit = 1;
        return 0;
    }
    if (!spool.fullEpisode) {
        if (error != 0)
            trace(TRACE_ERROR, "spool: can't append to %s: %s; recording threads wait for room", what,
                  strerror(error));
        else
            trace(TRACE_ERROR, "spool: journal %s holds SPOOL_MAX_MB (%llu bytes); recording threads "
                               "wait for room",
                  spool.dir, (unsigned long long)spool.diskBytes);
        spool.fullEpisode = 1;
        spool.fullByLimit = error == 0;
        spool.fullWaits = 0;
        kelSys.monotonic(&spool.fullSince);
    }
    if (error != 0) {
        spool.noSpace = 1;
        spool.retryAt = kelMonotonic() + 1;
    }
    return SPOOL_APPEND_FULL;
}

/* After an append: the end of a wait for room, with its length. A limit
 * reached ends once the journal is down to half of it, so that a journal
 * that stays full under load is one episode, not one per event. */
void spoolFullEnded(void)
{
    struct timespec now;
    long long ms;

    if (!spool.fullEpisode || (spool.fullByLimit && spool.diskBytes > spool.maxBytes / 2))
        return;
    kelSys.monotonic(&now);
    ms = ((long long)now.tv_sec - spool.fullSince.tv_sec) * 1000 +
         (now.tv_nsec - spool.fullSince.tv_nsec) / 1000000;
    if (ms < 0)
        ms = 0;
    trace(TRACE_ERROR, "spool: journal has room again after %lld.%03lld s; %d recordings waited", ms / 1000,
          ms % 1000, spool.fullWaits);
    spool.fullEpisode = 0;
    spool.fullWaits = 0;
}

/* spool.mutex held. */
static int appendRecord(struct SpoolRecord *r)
{
    char path[PATH_SIZE];
    struct SpoolSegment *last;
    ssize_t n;

    if (spool.appendBroken && kelMonotonic() < spool.retryAt)
        return 0;
    if (spool.noSpace && kelMonotonic() < spool.retryAt)
        return SPOOL_APPEND_FULL;
    /* A record larger than the whole journal would wait for ever. */
    if (r->size > spool.maxBytes) {
        trace(TRACE_ERROR, "spool: event of %llu bytes larger than SPOOL_MAX_MB; kept in memory",
              (unsigned long long)r->size);
        return 0;
    }
    if (spool.diskBytes + r->size > spool.maxBytes)
        return appendFull(0, spool.dir);
    if (spool.appendOpen &&
        (spool.rotate || (spool.segs[spool.segCount - 1].size > 0 &&
                          spool.segs[spool.segCount - 1].size + r->size > spool.segmentBytes)))
        spoolCloseAppendSegment();
    if (!spool.appendOpen && !spoolOpenAppendSegment()) {
        if (errno == ENOSPC || errno == EDQUOT)
            return appendFull(errno, spool.dir);
        return appendFailed(spool.dir, errno);
    }
    last = &spool.segs[spool.segCount - 1];
    n = kelSys.pwrite(spool.appendFd, r->data, r->size, (off_t)last->size);
    if (n != (ssize_t)r->size) {
        int error = n < 0 ? errno : ENOSPC;
        spoolSegmentPath(path, sizeof path, last->seq);
        /* Cut the partial record off; when even that fails, the segment
         * ends in a torn record that the next start skips. */
        kelSys.ftruncate(spool.appendFd, (off_t)last->size);
        spoolCloseAppendSegment();
        if (error == ENOSPC || error == EDQUOT)
            return appendFull(error, path);
        return appendFailed(path, error);
    }
    last->size += r->size;
    spool.diskBytes += r->size;
    spool.waitingBytes += r->size;
    r->segment = last->seq;
    r->end = last->size;
    r->mustSync = spool.syncMode == SPOOL_SYNC_ALWAYS;
    r->syncFailures = spool.syncFailures;
    if (spool.appendBroken || spool.overLimit)
        trace(TRACE_ERROR, "spool: appending to the journal again");
    spool.appendBroken = 0;
    spool.overLimit = 0;
    spool.noSpace = 0;
    spoolFullEnded();
    return 1;
}

void spoolPrepare(const struct SmLog_Access_s *e, struct SpoolRecord *r)
{
    size_t size;

    r->data = NULL;
    r->size = 0;
    r->waited = 0;
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
    int rc;

    if (r->data == NULL)
        return 0;
    mutex_lock(&spool.mutex);
    rc = spool.open ? appendRecord(r) : 0;
    mutex_unlock(&spool.mutex);
    return rc;
}

void spoolWaitRoom(struct SpoolRecord *r)
{
    mutex_lock(&spool.mutex);
    if (!r->waited) {
        r->waited = 1;
        spool.fullWaits++;
    }
    if (spool.open && (spool.noSpace || spool.diskBytes + r->size > spool.maxBytes))
        spoolTimedWait(&spool.roomFreed, 1);
    mutex_unlock(&spool.mutex);
}

int spoolFinish(struct SpoolRecord *r, int appended)
{
    int durable = 1;

    if (appended && r->mustSync) {
        mutex_lock(&spool.mutex);
        while (spool.open && spool.syncFailures == r->syncFailures &&
               spoolBefore(spool.durableSeq, spool.durableEnd, r->segment, r->end)) {
            if (spool.syncing) {
                cond_wait(&spool.syncDone, &spool.mutex);
                continue;
            }
            /* A closed segment was synced when it was closed. */
            if (!spool.appendOpen || spool.segs[spool.segCount - 1].seq != r->segment)
                break;
            spoolSyncAppend();
        }
        /* A sync failed after the record was appended: it may not be on
         * disk (whichever sync covered it). */
        durable = spool.syncFailures == r->syncFailures;
        mutex_unlock(&spool.mutex);
    }
    if (r->data != NULL && r->data != r->local)
        free(r->data);
    r->data = NULL;
    return durable;
}

int spoolAppendEvent(const struct SmLog_Access_s *event, uint64_t *segment, uint64_t *end)
{
    struct SpoolRecord r;
    int ok;

    spoolPrepare(event, &r);
    ok = spoolAppend(&r) == 1;
    ok = spoolFinish(&r, ok) && ok;
    if (ok && segment != NULL) {
        *segment = r.segment;
        *end = r.end;
    }
    return ok;
}
