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
 * of the position file's two slots). The position is synced once per
 * committed group (spoolSyncPosition) or by the journal's thread once a
 * second while rows commit, unless SPOOL_SYNC none. A process killed
 * between the database's commit and that write makes the next start write
 * that one row again: at most one duplicate per kill; a machine crash
 * writes again the rows committed since the last sync. A segment wholly
 * committed is removed once the position has moved past it.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kelsys.h"
#include "spoolstate.h"
#include "trace.h"

/* ---- the position ---------------------------------------------------------- */

/* The position file was deleted or replaced: a new one takes the place of
 * the old behind the same descriptor, so the thread that syncs it needs
 * no lock. Writer (or close). */
static void positionRemake(void)
{
    char path[PATH_SIZE];
    int fd;

    if (!__atomic_exchange_n(&spool.positionLost, 0, __ATOMIC_RELAXED) ||
        !journalPath(path, sizeof path, spool.dir, JOURNAL_POSITION_FILE))
        return;
    fd = kelSys.open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || kelSys.dup2(fd, spool.positionFd) < 0)
        trace(TRACE_ERROR, "spool: can't make %s again: %s", path, strerror(errno));
    if (fd >= 0)
        kelSys.close(fd);
}

/* Writer (or close): saves the position. It is synced by the journal's
 * thread once a second while rows commit (unless SPOOL_SYNC none), or by
 * spoolSyncPosition once per committed group: losing the last second of
 * positions in a machine crash only writes those rows again. */
void spoolPositionSave(uint64_t seq, uint64_t offset)
{
    char path[PATH_SIZE];

    positionRemake();
    spool.position.segment = seq;
    spool.position.offset = offset;
    if (!journalPositionWrite(spool.positionFd, &spool.position)) {
        if (!spool.positionWriteBroken) {
            journalPath(path, sizeof path, spool.dir, JOURNAL_POSITION_FILE);
            trace(TRACE_ERROR, "spool: can't write position file %s: %s; a restart writes the rows "
                               "committed since again",
                  path, strerror(errno));
        }
        spool.positionWriteBroken = 1;
        return;
    }
    spool.positionWriteBroken = 0;
    if (spool.syncMode != SPOOL_SYNC_NONE)
        __atomic_store_n(&spool.positionDirty, 1, __ATOMIC_RELAXED);
}

void spoolPositionSync(void)
{
    char path[PATH_SIZE];

    if (kelSys.fdatasync(spool.positionFd) == 0) {
        if (__atomic_exchange_n(&spool.positionSyncBroken, 0, __ATOMIC_RELAXED))
            trace(TRACE_2, "spool: syncing the position file again");
        return;
    }
    /* Synced again at the next chance. */
    __atomic_store_n(&spool.positionDirty, 1, __ATOMIC_RELAXED);
    if (__atomic_exchange_n(&spool.positionSyncBroken, 1, __ATOMIC_RELAXED))
        return;
    journalPath(path, sizeof path, spool.dir, JOURNAL_POSITION_FILE);
    trace(TRACE_ERROR, "spool: can't sync position file %s: %s; after a machine crash the rows "
                       "committed since its last sync are written again",
          path, strerror(errno));
}

void spoolSyncPosition(void)
{
    if (spool.syncMode != SPOOL_SYNC_NONE && __atomic_exchange_n(&spool.positionDirty, 0, __ATOMIC_RELAXED))
        spoolPositionSync();
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
        kelSys.close(spool.readFd);
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
        kelSys.close(spool.readFd);
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
            spool.noSpace = 0;
            spoolFullEnded();
            cond_broadcast(&spool.roomFreed);
            spool.readOff = 0;
            continue;
        }
        mutex_unlock(&spool.mutex);
        rc = openReader(seq) ? journalRead(spool.readFd, off, end, &spool.readBuf, &length) : JOURNAL_ERROR;
        error = errno;
        mutex_lock(&spool.mutex);
        if (rc == JOURNAL_ERROR && spool.readFd < 0 && error == ENOENT && spool.appendOpen &&
            spool.segs[spool.segCount - 1].seq == seq) {
            /* The append segment removed by hand: its open descriptor
             * still has what it holds, which goes into a new segment. */
            spoolCheckFiles();
            continue;
        }
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
    spoolCommitGroup(1);
}

void spoolCommitGroup(int n)
{
    uint64_t seq, off, len, counted;
    int taken;

    if (!spool.headValid || n < 1)
        return;
    taken = n - 1 < spool.aheadCount ? n - 1 : spool.aheadCount;
    len = spool.headLen;
    journalEntryFree(&spool.head);
    for (int i = 0; i < taken; i++) {
        len += spool.aheadLen[i];
        journalEntryFree(&spool.ahead[i]);
    }
    /* The first event read past those committed is the head now. */
    spool.headValid = spool.aheadCount > taken;
    if (spool.headValid) {
        spool.head = spool.ahead[taken];
        spool.headLen = spool.aheadLen[taken];
        taken++;
    }
    spool.aheadCount -= taken;
    if (spool.aheadCount > 0 && taken > 0) {
        memmove(spool.ahead, spool.ahead + taken, sizeof *spool.ahead * (size_t)spool.aheadCount);
        memmove(spool.aheadLen, spool.aheadLen + taken, sizeof *spool.aheadLen * (size_t)spool.aheadCount);
    }
    mutex_lock(&spool.mutex);
    /* Only the part of the records still counted in the segment: a
     * segment deleted by hand has had its bytes moved (and counted)
     * elsewhere. */
    counted = spool.segs[0].size > spool.readOff ? spool.segs[0].size - spool.readOff : 0;
    if (counted > len)
        counted = len;
    spool.readOff += len;
    spool.waitingBytes -= counted < spool.waitingBytes ? counted : spool.waitingBytes;
    seq = spool.segs[0].seq;
    off = spool.readOff;
    mutex_unlock(&spool.mutex);
    spoolPositionSave(seq, off);
}

/* Room for max - 1 events read past the head; 0 when the memory cannot be
 * had (the group is then the head alone). */
static int aheadRoom(int max)
{
    struct JournalEntry *entries;
    uint64_t *lens;

    if (spool.aheadRoom >= max - 1)
        return 1;
    entries = (struct JournalEntry *)kelSys.calloc((size_t)max, sizeof *entries);
    lens = (uint64_t *)kelSys.calloc((size_t)max, sizeof *lens);
    if (entries == NULL || lens == NULL) {
        free(entries);
        free(lens);
        return 0;
    }
    if (spool.aheadCount > 0) {
        memcpy(entries, spool.ahead, sizeof *entries * (size_t)spool.aheadCount);
        memcpy(lens, spool.aheadLen, sizeof *lens * (size_t)spool.aheadCount);
    }
    free(spool.ahead);
    free(spool.aheadLen);
    spool.ahead = entries;
    spool.aheadLen = lens;
    spool.aheadRoom = max;
    return 1;
}

int spoolPeekGroup(struct SmLog_Access_s **events, int max)
{
    uint64_t seq, end, off, length;
    int n = 0, noMemory;

    if (max < 1 || spoolPeek() == NULL)
        return 0;
    events[n++] = spool.head.event;
    for (int i = 0; i < spool.aheadCount && n < max; i++)
        events[n++] = spool.ahead[i].event;
    if (n >= max || !aheadRoom(max))
        return n;
    mutex_lock(&spool.mutex);
    seq = spool.segs[0].seq;
    end = spool.segs[0].size;
    off = spool.readOff + spool.headLen;
    mutex_unlock(&spool.mutex);
    for (int i = 0; i < spool.aheadCount; i++)
        off += spool.aheadLen[i];
    /* Damage and read errors stop the group: the head's path deals with
     * them once they are at the head. */
    while (n < max && off < end && openReader(seq) &&
           journalRead(spool.readFd, off, end, &spool.readBuf, &length) == JOURNAL_RECORD &&
           journalDecode(spool.readBuf.data, length - JOURNAL_HEADER_SIZE, &spool.ahead[spool.aheadCount],
                         &noMemory)) {
        spool.aheadLen[spool.aheadCount] = length;
        events[n++] = spool.ahead[spool.aheadCount++].event;
        off += length;
    }
    return n;
}

void spoolReadForget(void)
{
    if (spool.headValid)
        journalEntryFree(&spool.head);
    spool.headValid = 0;
    for (int i = 0; i < spool.aheadCount; i++)
        journalEntryFree(&spool.ahead[i]);
    spool.aheadCount = 0;
    free(spool.ahead);
    free(spool.aheadLen);
    spool.ahead = NULL;
    spool.aheadLen = NULL;
    spool.aheadRoom = 0;
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

