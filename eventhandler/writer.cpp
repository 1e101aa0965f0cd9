/*
 * writer.cpp - the database writer thread.
 *
 * One writer thread of ours (dbThreadFn) takes the journal's events first
 * (journalTurn, audit.cpp), then peeks at the ring's head, inserts it
 * outside queueMutex, and removes and frees it once its row is committed,
 * or sleeps retryDelay and tries the same event again. The thread's
 * bookkeeping below is guarded by queueMutex; the database session is
 * the writer's alone (dbsession.cpp). Lock order: docs/internals.md,
 * "Locks".
 *
 * A new ring is not created until the old writer has ended (auditInit
 * asks writerRunning), so there is never more than one writer.
 */
#include "writer.h"

#include "dbsession.h"
#include "kelsys.h"
#include "queue.h"
#include "reject.h"
#include "smeventkel.h"
#include "status.h"
#include "synch.h"
#include "trace.h"

/* The thread; every field under queueMutex. */
static struct Writer {
    thread_t thread;
    int threadSet = 0;   /* thread holds a thread not yet joined */
    int alive = 0;       /* a writer thread has started and not ended */
    int inFlightLost = 0; /* the head under insert was not written when the ring went */
} writer;

int writerWriteEvent(const struct SmLog_Access_s *event)
{
    struct DbFailure failure;
    int putAside;

    if (dbInsertAuth(event)) {
        rejectForget();
        statusWritten(kelTime());
        return 1;
    }
    statusWriteFailed();
    failure = dbLastFailure();
    putAside = rejectAfterFailure(event, failure.executeRefused && rejectIsDataError(failure.code, failure.text),
                                  failure.text);
    if (putAside)
        statusRejected();
    return putAside;
}

static void *dbThreadFn(void *)
{
    struct SmLog_Access_s *event;
    int inserted;
    /* Failed attempts since the last committed row, and when the first of
     * them was made: at level 1 the log shows the failures, so it shows
     * the recovery too. */
    int failures = 0;
    time_t failingSince = 0;

    trace(TRACE_3, "dbThreadFn: starting, thread id %u", thr_self());
    queueLock();
    while (queueExists()) {
        if (journalTurn())
            continue;
        event = queuePeek();
        if (event == NULL)
            continue;
        queueSetInFlight(event);
        queueUnlock();

        inserted = writerWriteEvent(event);

        queueLock();
        queueSetInFlight(NULL);
        if (!queueExists()) {
            /* Released meanwhile: queueFree left this entry to us. A head
             * kept in the journal is written at the next start, so it is
             * not lost even when this insert failed. */
            writer.inFlightLost = !journalSavedHeadDone(inserted) && !inserted;
            eventFree(event);
            break;
        }
        if (inserted) {
            if (failures > 0) {
                trace(TRACE_1, "dbThreadFn: writing again after %d failed attempts in %ld s; events waiting: %d",
                      failures, (long)(kelTime() - failingSince), queueLength());
                failures = 0;
            }
            event = queueGet();
            queueUnlock();
            eventFree(event);
        } else {
            if (failures++ == 0)
                failingSince = kelTime();
            queueUnlock();
            kelSys.sleep((unsigned int)param.retryDelay);
        }
        queueLock();
    }
    queueUnlock();
    dbDisconnect();
    trace(TRACE_3, "dbThreadFn: finishing");

    queueLock();
    writer.alive = 0;
    queueUnlock();
    return NULL;
}

int writerStart(void)
{
    int rc;

    writer.alive = 1;
    rc = thr_create(NULL, 0, dbThreadFn, NULL, 0, &writer.thread);
    if (rc != 0) {
        trace(TRACE_ERROR, "Can't create database thread: error %d", rc);
        writer.alive = 0;
        writer.threadSet = 0;
        return 0;
    }
    writer.threadSet = 1;
    return 1;
}

int writerRunning(void)
{
    return writer.alive;
}

int writerTakeJoin(thread_t *thread)
{
    int set = writer.threadSet;

    *thread = writer.thread;
    writer.threadSet = 0;
    return set;
}

int writerTakeLost(void)
{
    int lost = writer.inFlightLost;

    writer.inFlightLost = 0;
    return lost;
}
