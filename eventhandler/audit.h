/*
 * audit.h - the audit module: a bounded queue of event copies (queue.h)
 * and the database writer thread that inserts them into the audit table
 * through its database session (dbsession.h), with the audit journal
 * (spool.h) in front when SPOOL_DIR is set.
 *
 * auditAuth, auditConfigure and auditRelease are the module's interface to
 * the event handler; the rest is declared for the tests.
 */
#ifndef KEL_AUDIT_H
#define KEL_AUDIT_H

#include "dbsession.h"
#include "queue.h"
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

/* Under queueMutex: creates the ring and starts the writer unless both
 * exist; 0 (traced) when either cannot be had or the last writer has not
 * ended yet. */
int auditInit(void);

#endif
