/*
 * writer.h - what the audit module's files share about the database
 * writer thread (writer.cpp) and the journal glue (audit.cpp). Every
 * function here expects queueMutex held unless it says otherwise.
 */
#ifndef KEL_WRITER_H
#define KEL_WRITER_H

#include "smapi.h"
#include "thread.h"

/* Starts the writer thread; 0 (traced) when it cannot be created. */
int writerStart(void);
/* A writer thread has started and not ended. */
int writerRunning(void);
/* The writer thread not yet joined, handed to the caller to join: 1 with
 * *thread, 0 when there is none. */
int writerTakeJoin(thread_t *thread);
/* How many of the entries the writer was inserting at a release were
 * neither written nor kept in the journal; reads and clears it. */
int writerTakeLost(void);

/* The writer's groups (BATCH_MAX), writer thread only: room for the
 * events of one insert, and what the last pass left to do. */
struct WriterGroup {
    struct SmLog_Access_s **events;
    int room;   /* events one insert may take */
    int retry;  /* the size of the group to try again, 0: none */
    int single; /* events still to write one at a time after a refused group */
};
/* How many of the available events the next insert takes: the same group
 * again after a failure, else up to room (never waiting for more). */
int writerGroupSize(const struct WriterGroup *g, int available);
/* Without the lock: inserts g->events[0..n), one event or one group, and
 * notes what the next pass does. Returns how many from the first the
 * writer is done with; *failed when the writer pauses before the next. */
int writerWritePass(struct WriterGroup *g, int n, int *failed);

/* Journal glue (audit.cpp), called by the writer. */
/* Waits for an event; when the journal holds some, writes the oldest (one,
 * or a group) and returns 1 (also when the ring is gone meanwhile). 0: the
 * ring's turn, or no journal. */
int journalTurn(struct WriterGroup *g);
/* After a release, for the entries just under insert (the head, or a
 * group from the head): commits the journal copies of the first inserted
 * of them too; returns how many from the head release had kept in the
 * journal. */
int journalSavedHeadsDone(int inserted);
/* Writer, without the lock: inserts the event, or puts it aside under
 * REJECT_AFTER; 1 when the writer is done with it. */
int writerWriteEvent(const struct SmLog_Access_s *event);
/* Writer, without the lock, after each attempt on either path: counts the
 * failed attempts; the first success after some says so at level 1 with
 * their number, how long they took (monotonic clock) and what waits:
 * events in the ring, or bytes of the journal (fromJournal). */
void writerAttempted(int inserted, int fromJournal, long long waiting);


#endif
