/*
 * audit.h - the audit module: a bounded queue of event copies and the
 * database writer thread that inserts them into the audit table.
 *
 * auditAuth, auditConfigure and auditRelease are the module's interface to
 * the event handler; the rest is declared for the tests.
 */
#ifndef KEL_AUDIT_H
#define KEL_AUDIT_H

#include "smapi.h"
#include "smeventkel.h"

/* Queues a copy of the event for the database writer, starting the queue
 * and the writer on first use. May wait while the queue is full. */
void auditAuth(const struct SmLog_Access_s *event);

/* Installs new settings. While the writer runs, only the minimum level
 * takes effect at once; the database and queue settings wait until the
 * writer has stopped (SmEventRelease). */
void auditConfigure(const struct Param *next);

/* Discards the queued events, stops the writer and waits for it. */
void auditRelease(void);

/* ---- internals, for the tests ---------------------------------------- */

/* Queue operations; all but eventCopy and eventFree expect queueMutex held. */
struct SmLog_Access_s *eventCopy(const struct SmLog_Access_s *event);
void eventFree(struct SmLog_Access_s *copy);
int queueCreate(void);
void queuePut(const struct SmLog_Access_s *event);
struct SmLog_Access_s *queueGet(void);
struct SmLog_Access_s *queuePeek(void);
void queueFree(void);
void queueLock(void);
void queueUnlock(void);
/* Snapshot of the queue's state: returns 0 when there is no ring. */
int queueState(int *first, int *next, int *count, int *capacity);

/* Forgets the loaded Oracle client, so the next connect loads it again
 * (through the system table's loader entries). No writer may run. */
void ociTestUnload(void);

int auditInit(void);
int dbConnect(void);
void dbDisconnect(void);
int dbCheckStatus(const char *step, int status, int okLevel);
void dbTraceDiag(int level);
int dbBindString(const char *placeholder, const char *value);
int dbInsertAuth(const struct SmLog_Access_s *event);

#endif
