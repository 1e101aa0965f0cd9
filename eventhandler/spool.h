/*
 * spool.h - the audit journal of the running event handler (SPOOL_DIR):
 * recording threads append each audited event to it before SmEventRecord
 * returns, the database writer takes the events from it in order and
 * records how far it has committed, and what the writer has not committed
 * when the handler stops is written by the next start.
 *
 * The audit module calls spoolAppend with its queueMutex held (so that
 * the choice between the journal and the in-memory ring is made under one
 * lock, see audit.cpp), everything else without it. The module's own lock
 * is always taken after queueMutex and before the trace lock.
 */
#ifndef KEL_SPOOL_H
#define KEL_SPOOL_H

#include <stddef.h>
#include <stdint.h>

#include "smapi.h"

enum SpoolSync { SPOOL_SYNC_ALWAYS, SPOOL_SYNC_SECOND, SPOOL_SYNC_NONE };

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
int spoolOpen(const char *dir, int sync, int maxMb, int (*wake)(void), int lastTry);
/* Stops the thread: nothing is adopted or woken after it returns. */
void spoolStop(void);
/* Syncs what was appended (unless SPOOL_SYNC none), removes the segments
 * when everything is committed, and lets the lock go. The writer must
 * have ended. */
void spoolClose(void);
int spoolIsOpen(void);

/* Encodes the event (also while the journal is closed: it may be open by
 * the time the record is appended); no lock. */
void spoolPrepare(const struct SmLog_Access_s *event, struct SpoolRecord *r);
/* Appends a prepared record with one write; 1 when it is in the journal.
 * 0 (the caller keeps the event in memory) when the journal is closed,
 * holds SPOOL_MAX_MB, or cannot be written (traced at level 1 once per
 * episode; tried again at most once a second). */
int spoolAppend(struct SpoolRecord *r);
/* With SPOOL_SYNC always and an appended record, waits until the record
 * is on disk (syncs grouped across threads); frees what spoolPrepare took. */
void spoolFinish(struct SpoolRecord *r, int appended);
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
/* Writer thread: commits the oldest event only when its record ends at
 * (segment, end), i.e. when it is the record spoolAppendEvent reported. */
void spoolCommitIfEndsAt(uint64_t segment, uint64_t end);

/* Bytes of the journal's segment files, committed or not; for tests. */
uint64_t spoolDiskBytes(void);

#endif
