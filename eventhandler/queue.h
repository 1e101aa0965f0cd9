/*
 * queue.h - event copies and the bounded ring that holds them between the
 * recording threads and the database writer (queue.cpp).
 *
 * Every function below but eventCopy, eventCopyAhead, queueLock and
 * queueTryLock expects queueMutex held; the waits inside them let it go while they wait. The
 * locks and their order: docs/internals.md, "Locks".
 */
#ifndef KEL_QUEUE_H
#define KEL_QUEUE_H

#include "accessfields.h"
#include "smapi.h"

/* A deep copy of the event through the system table's allocator; NULL
 * (traced, nothing leaked) when any part cannot be had. eventFree
 * (accessfields.h) frees it. */
struct SmLog_Access_s *eventCopy(const struct SmLog_Access_s *event);
/* eventCopy without the trace line, for a copy made before queueMutex is
 * taken (so the lock is not held over its sixteen allocations); NULL when
 * it failed, which queuePutAhead then traces where queuePut would. */
struct SmLog_Access_s *eventCopyAhead(const struct SmLog_Access_s *event);

/* Allocates a ring of param.maxQueue (at least 1) empty slots; 0 when the
 * memory cannot be had (traced). */
int queueCreate(void);
/* Waits while the ring is full, then appends a copy of event; returns
 * without one when the ring is freed meanwhile or the copy fails. The
 * first wait of a stall, and the stall's end (in queueGet), are traced at
 * level 1. */
void queuePut(const struct SmLog_Access_s *event);
/* queuePut with a copy from eventCopyAhead (NULL: it failed), which the
 * queue owns from here on: it is freed when the ring is freed meanwhile. */
void queuePutAhead(const struct SmLog_Access_s *event, struct SmLog_Access_s *copy);
/* A consumer hands over a copy it got and is done with, for a recording
 * thread to free (so that memory returns to the thread that allocates
 * it); 0 when enough are kept already: the caller frees it. */
int queueRetire(struct SmLog_Access_s *copy);
/* A recording thread takes one kept copy, to free once it has let
 * queueMutex go; NULL when none is kept. */
struct SmLog_Access_s *queueTakeRetired(void);
/* Waits while the ring is empty; removes and returns the head, which the
 * caller then owns. NULL once the ring is freed. */
struct SmLog_Access_s *queueGet(void);
/* Like queueGet, but the head stays in the ring. */
struct SmLog_Access_s *queuePeek(void);
/* Frees every entry but the one the writer is inserting (it frees that one
 * itself), then the ring, and wakes every waiter; what it discarded and
 * whom it sent away are reported by auditRelease. */
void queueFree(void);
void queueLock(void);
void queueUnlock(void);
/* Snapshot of the queue's state: returns 0 when there is no ring. */
int queueState(int *first, int *next, int *count, int *capacity);

/* ---- for the writer and the audit module (queueMutex held) ------------ */

/* queueLock without waiting: 1 when taken. */
int queueTryLock(void);
/* The ring exists. */
int queueExists(void);
/* Entries in the ring. */
int queueLength(void);
/* The entry i places behind the head (0: the head). */
struct SmLog_Access_s *queueAt(int i);
/* The writer waits for an event (or the ring's end), and is woken. */
void queueWaitEvent(void);
void queueWakeWriter(void);
/* How many entries from the head the writer is inserting outside the
 * lock (0: none): queueFree leaves them to the writer. */
void queueSetInFlight(int count);
int queueInFlight(void);
/* What the last queueFree discarded, and how many waiting recording
 * threads it sent away. */
void queueFreed(int *entries, int *waiters);

#endif
