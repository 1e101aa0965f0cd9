/*
 * spool.h - the audit journal of the running event handler (SPOOL_DIR):
 * recording threads append each audited event to it before SmEventRecord
 * returns, the database writer takes the events from it in order and
 * records how far it has committed, and what the writer has not committed
 * when the handler stops is written by the next start.
 *
 * The audit module calls spoolAppend with its queueMutex held (so that
 * the choice between the journal and the in-memory ring is made under one
 * lock, see audit.cpp), everything else without it; spoolWaitRoom and
 * spoolFinish may wait, so never with queueMutex. The module's own lock
 * is always taken after queueMutex and before the trace lock
 * (docs/internals.md, "Locks"). The state and its locks: spoolstate.h.
 */
#ifndef KEL_SPOOL_H
#define KEL_SPOOL_H

#include <stddef.h>
#include <stdint.h>

#include "smapi.h"

enum SpoolSync { SPOOL_SYNC_ALWAYS, SPOOL_SYNC_SECOND, SPOOL_SYNC_NONE };
/* What a recording does when the journal is full (SPOOL_MAX_MB reached,
 * or no space on its file system): waits for room, or keeps the event in
 * memory. */
enum SpoolFull { SPOOL_FULL_WAIT, SPOOL_FULL_MEMORY };

/* spoolAppend's result when the journal is full and recordings wait. */
#define SPOOL_APPEND_FULL (-1)

/* A segment grows to this size before the next one is started (less when
 * SPOOL_MAX_MB is small, so that removal keeps up with the limit). */
#define SPOOL_SEGMENT_BYTES (1024u * 1024u)

/* Records up to this size are encoded on the caller's stack. */
#define SPOOL_LOCAL_RECORD 2048

/* An event encoded for the journal before any lock is taken. */
struct SpoolRecord {
    unsigned char *data; /* NULL: no journal, no memory, or too large */
    size_t size;
    uint64_t segment;    /* where its record ends once appended */
    uint64_t end;
    int mustSync;        /* appended with SPOOL_SYNC always */
    int waited;          /* counted among the recordings waiting for room */
    unsigned syncFailures; /* failed segment syncs when it was appended */
    unsigned char local[SPOOL_LOCAL_RECORD];
};

/* spoolOpen's result while another process holds the journal's lock. */
#define SPOOL_BUSY (-1)
/* How often, and with what pause between, an opener tries the lock: kelaudit
 * holds it for a moment when it looks whether a handler runs. */
#define SPOOL_LOCK_TRIES 10
#define SPOOL_LOCK_PAUSE_US 20000

/* Opens the journal in dir (made when missing): takes its lock, reads how
 * far the last writer got, adopts requeued events and starts the thread
 * that syncs (SPOOL_SYNC second) and looks for requeued events once a
 * second. wake is called from that thread, without any lock of this
 * module, when it has taken requeued events in; it must not wait for a
 * lock (0: try again in a second), so that the thread can be stopped by a
 * caller that holds one. 1 when open. The lock is tried once, without a
 * pause: SPOOL_BUSY (nothing traced) when another process holds it,
 * unless lastTry, when that too is a failure. 0 (traced at level 1) when
 * the journal cannot be used: the handler then keeps events in memory, as
 * without SPOOL_DIR. On a journal already open it only starts the thread
 * again after spoolStop. */
int spoolOpen(const char *dir, int sync, int full, int maxMb, int (*wake)(void), int lastTry);
/* Stops the thread: nothing is adopted or woken after it returns. */
void spoolStop(void);
/* Syncs what was appended (unless SPOOL_SYNC none), removes the segments
 * when everything is committed, and lets the lock go. The writer must
 * have ended. */
void spoolClose(void);
int spoolIsOpen(void);

/* Encodes the event; no lock. The caller encodes whenever SPOOL_DIR is
 * set, also while the journal is closed: it may be open by the time the
 * record is appended. */
void spoolPrepare(const struct SmLog_Access_s *event, struct SpoolRecord *r);
/* Appends a prepared record with one write; 1 when it is in the journal.
 * With SPOOL_FULL wait, SPOOL_APPEND_FULL when the journal holds
 * SPOOL_MAX_MB or its file system has no space: the caller lets its locks
 * go, waits with spoolWaitRoom and tries again. 0 (the caller keeps the
 * event in memory) when the journal is closed, cannot be written, or is
 * full with SPOOL_FULL memory (traced at level 1 once per episode; tried
 * again at most once a second). */
int spoolAppend(struct SpoolRecord *r);
/* Waits, without any lock of the caller, until the writer has made room
 * for the record, the journal closed, or a second passed. */
void spoolWaitRoom(struct SpoolRecord *r);
/* With SPOOL_SYNC always and an appended record, waits until the record
 * is on disk (syncs grouped across threads); frees what spoolPrepare took.
 * 1 when the record counts as durable (or needs no sync); 0 when a sync
 * failed after it was appended: the record may not be on disk, and the
 * caller keeps the event in memory as well. */
int spoolFinish(struct SpoolRecord *r, int appended);
/* Prepare, append and finish in one; 1 when the event is in the journal,
 * its record ending at (*segment, *end) when those are given. */
int spoolAppendEvent(const struct SmLog_Access_s *event, uint64_t *segment, uint64_t *end);

/* The journal holds events the writer has not committed. */
int spoolPending(void);
/* Writer thread: the oldest event not yet committed, owned by this module
 * until spoolCommit; NULL when none can be read now (damage is skipped
 * and traced here). */
struct SmLog_Access_s *spoolPeek(void);
/* Writer thread: the event of spoolPeek is written (or put aside); the
 * position moves past it and is saved. */
void spoolCommit(void);
/* Writer thread: the oldest events not yet committed, up to max of them
 * (those that follow the oldest in its segment file), into events; owned
 * by this module until committed. How many, 0 when none can be read now. */
int spoolPeekGroup(struct SmLog_Access_s **events, int max);
/* Writer thread: the first n events of spoolPeekGroup are written (or put
 * aside); the position moves past them and is saved once. */
void spoolCommitGroup(int n);
/* Writer thread: commits the oldest event only when its record ends at
 * (segment, end), i.e. when it is the record spoolAppendEvent reported. */
void spoolCommitIfEndsAt(uint64_t segment, uint64_t end);

/* Syncs the position file now (unless SPOOL_SYNC none); the writer calls
 * it once per committed group of rows. Otherwise the journal's thread
 * syncs the position once a second while rows commit. */
void spoolSyncPosition(void);

/* Bytes of the journal not yet committed. */
uint64_t spoolWaitingBytes(void);
/* Bytes of the journal's segment files, committed or not; for tests. */
uint64_t spoolDiskBytes(void);

#endif
