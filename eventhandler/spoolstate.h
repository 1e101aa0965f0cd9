/*
 * spoolstate.h - the state of the audit journal of the running handler,
 * shared by its three files and by nothing else:
 *   spoolappend.cpp  recording threads append and wait for their sync
 *   spoolread.cpp    the database writer reads, commits, saves the position
 *   spool.cpp        open and close, the once-a-second thread, requeued
 *                    events, the list of segments
 *
 * Locks: spool.mutex guards every field marked [mutex]. Fields marked
 * [writer] belong to the database writer thread (and to open and close,
 * which run while no writer does); [thread] to the journal's own thread;
 * [atomic] are read and written with __atomic builtins. The writer alone
 * reads segment files and moves the position, so no file is read or
 * synced under the lock. spool.mutex is taken after the audit module's
 * queueMutex and before the trace lock, never the other way round.
 */
#ifndef KEL_SPOOL_STATE_H
#define KEL_SPOOL_STATE_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "journal.h"
#include "kelcommon.h"
#include "spool.h"
#include "synch.h"
#include "thread.h"

struct SpoolSegment {
    uint64_t seq;
    uint64_t size; /* bytes the reader may read: published appends */
};

struct SpoolState {
    mutex_t mutex = DEFAULTMUTEX;
    cond_t syncDone = DEFAULTCV;   /* a group sync ended; a segment closed */
    cond_t threadWake = DEFAULTCV; /* the thread's tick and its stop */

    /* Settings, from spoolOpen to spoolClose. */
    int open = 0;                  /* [mutex] to write; [atomic] read by spoolPrepare */
    char dir[PATH_SIZE] = {0};     /* [mutex] to write; read by every thread while open */
    int syncMode = SPOOL_SYNC_SECOND;   /* [mutex] */
    uint64_t maxBytes = 0;              /* [mutex] */
    uint64_t segmentBytes = SPOOL_SEGMENT_BYTES; /* [mutex] */
    int lockFd = -1;                    /* [mutex] */
    int positionFd = -1;                /* [mutex] to open and close; used by the writer */
    int (*wakeWriter)(void) = NULL;     /* [mutex] */
    int wakePending = 0;                /* [thread] */

    /* The segments present, oldest first; the newest is the append segment
     * while appendOpen. */
    struct SpoolSegment *segs = NULL;   /* [mutex] */
    size_t segCount = 0, segCap = 0;    /* [mutex] */
    uint64_t nextSeq = 0;               /* [mutex] */
    int appendOpen = 0;                 /* [mutex] */
    int appendFd = -1;                  /* [mutex] */
    uint64_t diskBytes = 0;             /* [mutex] sizes of all segment files */
    uint64_t waitingBytes = 0;          /* [mutex] bytes not yet committed */

    /* Appends that failed, and the size limit. */
    int appendBroken = 0;               /* [mutex] */
    time_t retryAt = 0;                 /* [mutex] */
    int overLimit = 0;                  /* [mutex] */

    /* Durability: every record that ends at or before (durableSeq,
     * durableEnd) is on disk. */
    uint64_t durableSeq = 0, durableEnd = 0; /* [mutex] */
    int syncing = 0;                    /* [mutex] one thread syncs at a time */
    int positionDirty = 0;              /* [atomic] */
    int dirDirty = 0;                   /* [mutex] */

    /* The journal's thread. */
    thread_t thread = thread_t();       /* [mutex] */
    int threadRunning = 0;              /* [mutex] */
    int threadStop = 0;                 /* [mutex] */

    /* Where the writer reads, and the event it has peeked. */
    uint64_t readOff = 0;               /* [mutex] in segs[0]; written by the writer */
    int readFd = -1;                    /* [writer] */
    uint64_t readFdSeq = 0;             /* [writer] */
    struct JournalBuf readBuf = {NULL, 0}; /* [writer] */
    struct JournalEntry head = {0, 0, NULL, NULL}; /* [writer] */
    int headValid = 0;                  /* [writer] */
    uint64_t headLen = 0;               /* [writer] */
    struct JournalPosition position = {0, 0, 0}; /* [writer], and open and close */
};

extern struct SpoolState spool;

/* Whether the place (seqA, endA) comes before (seqB, endB). */
static inline int spoolBefore(uint64_t seqA, uint64_t endA, uint64_t seqB, uint64_t endB)
{
    return seqA < seqB || (seqA == seqB && endA < endB);
}

/* spool.cpp: the path of segment seq ("" when it does not fit). */
void spoolSegmentPath(char *out, size_t size, uint64_t seq);
/* spool.cpp: makes new entries in the journal's folder durable. */
void spoolSyncDir(void);
/* spool.cpp, spool.mutex held: the list of segments. */
int spoolSegPush(uint64_t seq, uint64_t size);
void spoolSegPopFront(void);

/* spoolappend.cpp, spool.mutex held: syncs the append segment for every
 * record appended so far (the lock is let go during the sync); ends the
 * append segment. */
void spoolSyncAppend(void);
void spoolCloseAppendSegment(void);

/* spoolread.cpp: saves the position (writer, or close). */
void spoolPositionSave(uint64_t seq, uint64_t offset);

#endif
