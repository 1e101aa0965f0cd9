/*
 * spoolread.cpp - the read path of the audit journal (see spool.h,
 * spoolstate.h for the state and its locks).
 *
 * Threads: the database writer alone reads segment files, decodes the
 * oldest event not yet committed (spoolPeek), and after its row is
 * committed moves the position past it (spoolCommit). It takes spool.mutex
 * only to look at the list of segments, never while it reads a file.
 *
 * Commit: after each row the writer saves the position (pwrite into one
 * of the position file's two slots; synced at once with SPOOL_SYNC always,
 * within a second with second). A crash between the database's commit and
 * that write makes the next start write that one row again: at most one
 * duplicate per crash. A segment wholly committed is removed once the
 * position has moved past it.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kelsys.h"
#include "spoolstate.h"
#include "trace.h"

/* Writer (or close): saves the position; synced now with always, by the
 * thread with second (positionDirty is set without the lock, so that
 * close may call this with the lock held). */
void spoolPositionSave(uint64_t seq, uint64_t offset)
{
    char path[PATH_SIZE];

    spool.position.segment = seq;
    spool.position.offset = offset;
    if (!journalPositionWrite(spool.positionFd, &spool.position)) {
        journalPath(path, sizeof path, spool.dir, JOURNAL_POSITION_FILE);
        trace(TRACE_ERROR, "spool: can't write position file %s: %s", path, strerror(errno));
        return;
    }
    if (spool.syncMode == SPOOL_SYNC_ALWAYS)
        kelSys.fdatasync(spool.positionFd);
    else if (spool.syncMode == SPOOL_SYNC_SECOND)
        __atomic_store_n(&spool.positionDirty, 1, __ATOMIC_RELAXED);
}

/* ---- reading (writer thread) ------------------------------------------------- */

int spoolPending(void)
{
    int pending;

    mutex_lock(&spool.mutex);
    pending = spool.open && (spool.headValid || spool.waitingBytes > 0);
    mutex_unlock(&spool.mutex);
    return pending;
}

/* The reader is done with segment seq: the position moves to the next
 * number, then the file goes. */
static void finishSegment(uint64_t seq)
{
    char path[PATH_SIZE];

    if (spool.readFd >= 0) {
        close(spool.readFd);
        spool.readFd = -1;
    }
    spoolPositionSave(seq + 1, 0);
    spoolSegmentPath(path, sizeof path, seq);
    if (kelSys.unlink(path) != 0 && errno != ENOENT)
        trace(TRACE_ERROR, "spool: can't remove %s: %s", path, strerror(errno));
}

/* Opens segment seq for reading: 1, or 0 (errno; traced unless the file
 * is gone, which the caller reports). */
static int openReader(uint64_t seq)
{
    char path[PATH_SIZE];

    if (spool.readFd >= 0 && spool.readFdSeq == seq)
        return 1;
    if (spool.readFd >= 0)
        close(spool.readFd);
    spoolSegmentPath(path, sizeof path, seq);
    spool.readFd = kelSys.open(path, O_RDONLY | O_CLOEXEC, 0);
    if (spool.readFd < 0) {
        int error = errno;
        if (error != ENOENT)
            trace(TRACE_ERROR, "spool: can't read %s: %s", path, strerror(error));
        errno = error;
        return 0;
    }
    spool.readFdSeq = seq;
    return 1;
}

/* Moves the reader past bytes that are no record; spool.mutex held. */
static void skipDamage(int result, uint64_t seq, uint64_t offset, uint64_t length)
{
    char path[PATH_SIZE];

    spoolSegmentPath(path, sizeof path, seq);
    if (result == JOURNAL_TAIL)
        trace(TRACE_ERROR, "spool: torn record at the end of %s: %llu bytes skipped", path,
              (unsigned long long)length);
    else
        trace(TRACE_ERROR, "spool: damaged record in %s at offset %llu: %llu bytes skipped", path,
              (unsigned long long)offset, (unsigned long long)length);
    spool.readOff += length;
    spool.waitingBytes -= length < spool.waitingBytes ? length : spool.waitingBytes;
}

struct SmLog_Access_s *spoolPeek(void)
{
    uint64_t seq, end, off, length;
    int live, rc, noMemory, error;

    if (spool.headValid)
        return spool.head.event;
    mutex_lock(&spool.mutex);
    for (;;) {
        if (!spool.open || spool.segCount == 0)
            break;
        seq = spool.segs[0].seq;
        end = spool.segs[0].size;
        off = spool.readOff;
        live = spool.appendOpen && spool.segCount == 1;
        if (off >= end) {
            if (live)
                break;
            mutex_unlock(&spool.mutex);
            finishSegment(seq);
            mutex_lock(&spool.mutex);
            spool.diskBytes -= spool.segs[0].size < spool.diskBytes ? spool.segs[0].size : spool.diskBytes;
            spoolSegPopFront();
            spool.readOff = 0;
            continue;
        }
        mutex_unlock(&spool.mutex);
        rc = openReader(seq) ? journalRead(spool.readFd, off, end, &spool.readBuf, &length) : JOURNAL_ERROR;
        error = errno;
        mutex_lock(&spool.mutex);
        if (rc == JOURNAL_ERROR && spool.readFd < 0 && error == ENOENT) {
            /* Removed by hand: what it held cannot be had. */
            char path[PATH_SIZE];
            spoolSegmentPath(path, sizeof path, seq);
            trace(TRACE_ERROR, "spool: %s is missing: %llu bytes skipped", path,
                  (unsigned long long)(end - off));
            spool.readOff = end;
            spool.waitingBytes -= end - off < spool.waitingBytes ? end - off : spool.waitingBytes;
            continue;
        }
        if (rc == JOURNAL_ERROR) {
            if (spool.readFd >= 0) {
                char path[PATH_SIZE];
                spoolSegmentPath(path, sizeof path, seq);
                trace(TRACE_ERROR, "spool: can't read %s: %s", path, strerror(error));
            }
            break;
        }
        if (rc == JOURNAL_RECORD) {
            if (journalDecode(spool.readBuf.data, length - JOURNAL_HEADER_SIZE, &spool.head, &noMemory)) {
                spool.headValid = 1;
                spool.headLen = length;
                trace(TRACE_4, "spoolPeek: user %s", spool.head.event->szUserName);
                break;
            }
            if (noMemory) {
                trace(TRACE_ERROR, "Can't allocate memory for event copy");
                break;
            }
        }
        skipDamage(rc, seq, off, length);
        mutex_unlock(&spool.mutex);
        spoolPositionSave(seq, off + length);
        mutex_lock(&spool.mutex);
    }
    mutex_unlock(&spool.mutex);
    return spool.headValid ? spool.head.event : NULL;
}

void spoolCommit(void)
{
    uint64_t seq, off;

    if (!spool.headValid)
        return;
    mutex_lock(&spool.mutex);
    spool.readOff += spool.headLen;
    spool.waitingBytes -= spool.headLen < spool.waitingBytes ? spool.headLen : spool.waitingBytes;
    seq = spool.segs[0].seq;
    off = spool.readOff;
    spool.headValid = 0;
    mutex_unlock(&spool.mutex);
    journalEntryFree(&spool.head);
    spoolPositionSave(seq, off);
}

void spoolCommitIfEndsAt(uint64_t segment, uint64_t end)
{
    int match;

    if (spoolPeek() == NULL)
        return;
    mutex_lock(&spool.mutex);
    match = spool.segCount > 0 && spool.segs[0].seq == segment && spool.readOff + spool.headLen == end;
    mutex_unlock(&spool.mutex);
    if (match)
        spoolCommit();
}

