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

/* Discards the queued events, stops the writer and waits for it; traces
 * how many events it discarded and how many waiting recording threads it
 * sent away (level 1 when any). */
void auditRelease(void);

/* The Oracle client functions the writer resolves from the library, in the
 * order of its table (smhost check loads them the same way). */
#define AUDIT_OCI_FUNCTIONS 9
extern const char *const auditOciFunctions[AUDIT_OCI_FUNCTIONS];

/* ---- internals, for the tests ---------------------------------------- */

/* A deep copy of the event through the system table's allocator; NULL
 * (traced, nothing leaked) when any part cannot be had. */
struct SmLog_Access_s *eventCopy(const struct SmLog_Access_s *event);
/* Frees a copy and every text in it; NULL is ignored. */
void eventFree(struct SmLog_Access_s *copy);

/* The ring. Every function below but queueLock expects queueMutex held. */
/* Allocates a ring of param.maxQueue (at least 1) empty slots; 0 when the
 * memory cannot be had (traced). */
int queueCreate(void);
/* Waits while the ring is full, then appends a copy of event; returns
 * without one when the ring is freed meanwhile or the copy fails. The
 * first wait of a stall, and the stall's end (in queueGet), are traced at
 * level 1. */
void queuePut(const struct SmLog_Access_s *event);
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

/* Forgets the loaded Oracle client, so the next connect loads it again
 * (through the system table's loader entries). No writer may run. */
void ociTestUnload(void);

/* Under queueMutex: creates the ring and starts the writer unless both
 * exist; 0 (traced) when either cannot be had or the last writer has not
 * ended yet. */
int auditInit(void);

/* The writer's database work; writer thread only. */
/* Loads the Oracle client if needed and logs on; 1 when connected. */
int dbConnect(void);
/* Frees every OCI handle, logging off first; harmless when not connected. */
void dbDisconnect(void);
/* Traces an OCI status: "<step> OK" at okLevel for a success (with the
 * diagnostics of a success with information), "<step> FAILED..." with the
 * diagnostics at level 1 otherwise. A failure also disconnects, so the
 * next attempt starts with a new logon. Returns 1 for a success. */
int dbCheckStatus(const char *step, int status, int okLevel);
/* Traces every diagnostic record of the error (or environment) handle. */
void dbTraceDiag(int level);
/* Binds value to the placeholder; 0 (disconnected) on failure. */
int dbBindString(const char *placeholder, const char *value);
/* Inserts one row for the event and commits it; 0 (disconnected) when any
 * step fails, so the caller retries the same event. */
int dbInsertAuth(const struct SmLog_Access_s *event);

#endif
