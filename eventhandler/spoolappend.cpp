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
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kelsys.h"
#include "spoolstate.h"
#include "trace.h"

/* ---- syncing (spool.mutex held) --------------------------------------- */

/* Syncs the append segment for every record appended so far; the lock is
 * let go during the sync. Only one thread syncs at a time. */
void spoolSyncAppend(void)
{
    uint64_t seq = spool.segs[spool.segCount - 1].seq, end = spool.segs[spool.segCount - 1].size;
    char path[PATH_SIZE];
    int fd = spool.appendFd, rc;

    spool.syncing = 1;
    mutex_unlock(&spool.mutex);
    rc = kelSys.fdatasync(fd);
    mutex_lock(&spool.mutex);
    spool.syncing = 0;
    if (rc != 0) {
        spoolSegmentPath(path, sizeof path, seq);
        trace(TRACE_ERROR, "spool: can't sync %s: %s", path, strerror(errno));
    }
    /* Even after a failed sync: the records are written, and waiting for
     * a sync that keeps failing would hold up the recording threads. */
    if (spoolBefore(spool.durableSeq, spool.durableEnd, seq, end)) {
        spool.durableSeq = seq;
        spool.durableEnd = end;
    }
    cond_broadcast(&spool.syncDone);
}

/* Ends the append segment: synced first (unless SPOOL_SYNC none), so that
 * the grouped syncs need only ever look at the newest segment. */
void spoolCloseAppendSegment(void)
{
    if (!spool.appendOpen)
        return;
    while (spool.syncing)
        cond_wait(&spool.syncDone, &spool.mutex);
    if (spool.syncMode != SPOOL_SYNC_NONE &&
        spoolBefore(spool.durableSeq, spool.durableEnd, spool.segs[spool.segCount - 1].seq, spool.segs[spool.segCount - 1].size))
        spoolSyncAppend();
    close(spool.appendFd);
    spool.appendFd = -1;
    spool.appendOpen = 0;
    cond_broadcast(&spool.syncDone);
}

static int openAppendSegment(void)
{
    char path[PATH_SIZE];
    uint64_t seq = spool.nextSeq;
    int fd;

    spoolSegmentPath(path, sizeof path, seq);
    fd = kelSys.open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return 0;
    if (!spoolSegPush(seq, 0)) {
        close(fd);
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
    return 1;
}

/* ---- appending ------------------------------------------------------------ */

static int appendFailed(const char *what, int error)
{
    if (!spool.appendBroken)
        trace(TRACE_ERROR, "spool: can't append to %s: %s; events kept in memory", what,
              strerror(error));
    spool.appendBroken = 1;
    spool.retryAt = kelTime() + 1;
    return 0;
}

/* spool.mutex held. */
static int appendRecord(struct SpoolRecord *r)
{
    char path[PATH_SIZE];
    struct SpoolSegment *last;
    ssize_t n;

    if (spool.appendBroken && kelTime() < spool.retryAt)
        return 0;
    if (spool.diskBytes + r->size > spool.maxBytes) {
        if (!spool.overLimit)
            trace(TRACE_ERROR, "spool: journal %s holds SPOOL_MAX_MB (%llu bytes); events kept in "
                               "memory until the writer catches up",
                  spool.dir, (unsigned long long)spool.diskBytes);
        spool.overLimit = 1;
        return 0;
    }
    if (spool.appendOpen && spool.segs[spool.segCount - 1].size > 0 && spool.segs[spool.segCount - 1].size + r->size > spool.segmentBytes)
        spoolCloseAppendSegment();
    if (!spool.appendOpen && !openAppendSegment())
        return appendFailed(spool.dir, errno);
    last = &spool.segs[spool.segCount - 1];
    n = kelSys.pwrite(spool.appendFd, r->data, r->size, (off_t)last->size);
    if (n != (ssize_t)r->size) {
        int error = n < 0 ? errno : ENOSPC;
        spoolSegmentPath(path, sizeof path, last->seq);
        /* Cut the partial record off; when even that fails, the segment
         * ends in a torn record that the next start skips. */
        kelSys.ftruncate(spool.appendFd, (off_t)last->size);
        spoolCloseAppendSegment();
        return appendFailed(path, error);
    }
    last->size += r->size;
    spool.diskBytes += r->size;
    spool.waitingBytes += r->size;
    r->segment = last->seq;
    r->end = last->size;
    r->mustSync = spool.syncMode == SPOOL_SYNC_ALWAYS;
    if (spool.appendBroken || spool.overLimit)
        trace(TRACE_ERROR, "spool: appending to the journal again");
    spool.appendBroken = 0;
    spool.overLimit = 0;
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
    mutex_lock(&spool.mutex);
    ok = spool.open && appendRecord(r);
    mutex_unlock(&spool.mutex);
    return ok;
}

void spoolFinish(struct SpoolRecord *r, int appended)
{
    if (appended && r->mustSync) {
        mutex_lock(&spool.mutex);
        while (spool.open && spoolBefore(spool.durableSeq, spool.durableEnd, r->segment, r->end)) {
            if (spool.syncing) {
                cond_wait(&spool.syncDone, &spool.mutex);
                continue;
            }
            /* A closed segment was synced when it was closed. */
            if (!spool.appendOpen || spool.segs[spool.segCount - 1].seq != r->segment)
                break;
            spoolSyncAppend();
        }
        mutex_unlock(&spool.mutex);
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

