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
    cond_t threadWake = DEFAULTCV; /* the thread's tick and its stop; monotonic */
    cond_t roomFreed = DEFAULTCV;  /* segments removed, or the journal closed; monotonic */

    /* Settings, from spoolOpen to spoolClose. */
    int open = 0;                  /* [mutex] to write; [atomic] read by spoolIsOpen */
    char dir[PATH_SIZE] = {0};     /* [mutex] to write; read by every thread while open */
    int syncMode = SPOOL_SYNC_SECOND;   /* [mutex] */
    int fullMode = SPOOL_FULL_WAIT;     /* [mutex] */
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
    int appendBroken = 0;               /* [mutex] events go to memory until retryAt */
    int noSpace = 0;                    /* [mutex] recordings wait until retryAt */
    time_t retryAt = 0;                 /* [mutex] monotonic seconds */
    int overLimit = 0;                  /* [mutex] */
    /* A full journal that recording threads wait for (SPOOL_FULL wait). */
    int fullEpisode = 0;                /* [mutex] */
    int fullByLimit = 0;                /* [mutex] the episode began at SPOOL_MAX_MB */
    struct timespec fullSince = {0, 0}; /* [mutex] monotonic */
    int fullWaits = 0;                  /* [mutex] recordings that waited */

    /* Durability: every record that ends at or before (durableSeq,
     * durableEnd) is on disk. */
    uint64_t durableSeq = 0, durableEnd = 0; /* [mutex] */
    int syncing = 0;                    /* [mutex] one thread syncs at a time */
    unsigned syncFailures = 0;          /* [mutex] failed segment syncs so far */
    int syncBroken = 0;                 /* [mutex] the last segment sync failed */
    int rotate = 0;                     /* [mutex] end the append segment first */
    int positionSyncBroken = 0;         /* [atomic] the last position sync failed */
    int positionWriteBroken = 0;        /* [writer] the last position write failed */
    int positionLost = 0;               /* [atomic] the position file was deleted or replaced */
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
    /* Records read past the head for a group (BATCH_MAX), in the head's
     * segment; only while headValid. */
    struct JournalEntry *ahead = NULL;  /* [writer] */
    uint64_t *aheadLen = NULL;          /* [writer] */
    int aheadCount = 0, aheadRoom = 0;  /* [writer] */
    struct JournalPosition position = {0, 0, 0}; /* [writer], and open and close */
};

extern struct SpoolState spool;

/* Whether the place (seqA, endA) comes before (seqB, endB). */
static inline int spoolBefore(uint64_t seqA, uint64_t endA, uint64_t seqB, uint64_t endB)
{
    return seqA < seqB || (seqA == seqB && endA < endB);
}

/* spool.cpp: waits on cond (one of this module's monotonic ones) with
 * spool.mutex held for at most the given seconds. */
void spoolTimedWait(cond_t *cond, int seconds);
/* spool.cpp, spool.mutex held: notices a segment, lock or position file
 * deleted or replaced by hand, says so at level 1, and makes new ones. */
void spoolCheckFiles(void);

/* spool.cpp: the path of segment seq ("" when it does not fit). */
void spoolSegmentPath(char *out, size_t size, uint64_t seq);
/* spoolread.cpp: frees the peeked event and what was read past it. */
void spoolReadForget(void);
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
/* spoolappend.cpp, spool.mutex held: after an append or a removed
 * segment, ends an episode of a full journal once there is room again
 * (traced with its length). */
void spoolFullEnded(void);
/* spoolappend.cpp, spool.mutex held: begins a new append segment; 0
 * (errno) when it cannot be made. */
int spoolOpenAppendSegment(void);

/* spoolread.cpp: saves the position (writer, or close). */
void spoolPositionSave(uint64_t seq, uint64_t offset);
/* spoolread.cpp: syncs the position file; a failure is traced once per
 * episode and leaves the position to be synced again. */
void spoolPositionSync(void);

#endif
