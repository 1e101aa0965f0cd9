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
/* 1 when the head the writer was inserting at a release was neither
 * written nor kept in the journal; reads and clears it. */
int writerTakeLost(void);

/* Journal glue (audit.cpp), called by the writer. */
/* Waits for an event; when the journal holds one, writes it and returns 1
 * (also when the ring is gone meanwhile). 0: the ring's turn, or no
 * journal. */
int journalTurn(void);
/* After a release, for the head just inserted: commits its journal copy
 * too when the insert succeeded; 1 when release had kept it in the
 * journal. */
int journalSavedHeadDone(int inserted);
/* Writer, without the lock: inserts the event, or puts it aside under
 * REJECT_AFTER; 1 when the writer is done with it. */
int writerWriteEvent(const struct SmLog_Access_s *event);

#endif
