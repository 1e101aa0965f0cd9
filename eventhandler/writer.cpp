/*
 * writer.cpp - the database writer thread.
 *
 * One writer thread of ours (dbThreadFn) takes the journal's events first
 * (journalTurn, audit.cpp), then peeks at the ring's head, inserts it
 * outside queueMutex, and removes it once its row is committed (its copy
 * goes to the recording threads to free, or is freed here when they have
 * enough: queueRetire), or sleeps retryDelay and tries the same event
 * again. With BATCH_MAX
 * above 1 it takes up to that many events waiting at the head (never
 * waiting for more) and inserts them with one execute and one commit; a
 * failed group is tried again whole, in order, and a group refused for its
 * data goes one event at a time, so that REJECT_AFTER sets aside only the
 * event refused. The thread's
 * bookkeeping below is guarded by queueMutex; the database session is
 * the writer's alone (dbsession.cpp). Lock order: docs/internals.md,
 * "Locks".
 *
 * A new ring is not created until the old writer has ended (auditInit
 * asks writerRunning), so there is never more than one writer.
 */
#include "writer.h"

#include <stdlib.h>

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
    int inFlightLost = 0; /* entries under insert neither written nor kept when the ring went */
    /* Failed attempts since the last committed row, and when the first of
     * them was made: at level 1 the log shows the failures, so it shows
     * the recovery too. Writer thread only. */
    int failures = 0;
    time_t failingSince = 0;
} writer;

int writerWriteEvent(const struct SmLog_Access_s *event)
{
    struct DbFailure failure;
    int putAside;

    if (dbInsertAuth(event)) {
        rejectForget();
        statusWritten(kelTime(), 1);
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

/* Inserts the first of n events as one group; a group the database
 * refuses for its data goes one event at a time. Returns how many from the
 * first the writer is done with (written or put aside), 0 when it retries
 * them; *dataRefused when the group was refused for its data. */
static int writerWriteGroup(struct SmLog_Access_s *const *events, int n, int *dataRefused)
{
    struct DbFailure failure;
    int rows;

    *dataRefused = 0;
    if (dbInsertGroup(events, n, &rows)) {
        rejectForget();
        statusWritten(kelTime(), rows);
        return rows;
    }
    statusWriteFailed();
    failure = dbLastFailure();
    if (!failure.executeRefused || !rejectIsDataError(failure.code, failure.text))
        return 0;
    /* One event at a time, so that REJECT_AFTER judges each on its own
     * and sets aside only the one refused. */
    trace(TRACE_2, "dbThreadFn: a group of %d refused for its data, written one event at a time", n);
    *dataRefused = 1;
    for (int i = 0; i < n; i++)
        if (!writerWriteEvent(events[i]))
            return i;
    return n;
}

int writerGroupSize(const struct WriterGroup *g, int available)
{
    int n = g->retry > 0 ? g->retry : available;

    if (g->single > 0 || g->room < 2 || n < 1)
        return 1;
    return n > g->room ? g->room : n;
}

int writerWritePass(struct WriterGroup *g, int n, int *failed)
{
    int refused = 0;
    int done = n == 1 ? writerWriteEvent(g->events[0]) : writerWriteGroup(g->events, n, &refused);

    if (refused) {
        g->retry = 0;
        g->single = n - done;
        *failed = done < n;
    } else if (g->single > 0) {
        g->single -= done;
        *failed = done == 0;
    } else {
        /* A group cut to what its buffers hold is no failure: the rest is
         * the next group's. Once an execute was called its commit may be
         * in doubt, and only the same statement with the same rows lets
         * the client find out whether it committed: the next try holds
         * exactly the rows it held (one, when a group went as its first
         * event alone), where more would write them twice. A group that
         * failed before its execute is tried again whole. */
        int executed = dbLastFailure().executed;
        g->retry = done > 0 ? 0 : executed > 0 ? executed : n > 1 ? n : 0;
        *failed = done == 0;
    }
    return done;
}

void writerAttempted(int inserted, int fromJournal, long long waiting)
{
    long seconds;

    if (!inserted) {
        if (writer.failures++ == 0)
            writer.failingSince = kelMonotonic();
        return;
    }
    if (writer.failures == 0)
        return;
    seconds = (long)(kelMonotonic() - writer.failingSince);
    if (fromJournal)
        trace(TRACE_1, "dbThreadFn: writing again after %d failed attempts in %ld s; journal bytes waiting: %lld",
              writer.failures, seconds, waiting);
    else
        trace(TRACE_1, "dbThreadFn: writing again after %d failed attempts in %ld s; events waiting: %d",
              writer.failures, seconds, (int)waiting);
    writer.failures = 0;
}

static void *dbThreadFn(void *)
{
    struct SmLog_Access_s *one[1];
    struct WriterGroup g = {one, 1, 0, 0};
    int n, done, failed;

    trace(TRACE_3, "dbThreadFn: starting, thread id %u", thr_self());
    if (param.batchMax > 1) {
        struct SmLog_Access_s **events =
            (struct SmLog_Access_s **)kelSys.calloc((size_t)param.batchMax, sizeof *events);
        if (events == NULL) {
            trace(TRACE_ERROR, "dbThreadFn: no memory for groups of %d events, writing one at a time",
                  param.batchMax);
        } else {
            g.events = events;
            g.room = param.batchMax;
        }
    }
    queueLock();
    while (queueExists()) {
        if (journalTurn(&g))
            continue;
        if (queuePeek() == NULL)
            continue;
        n = writerGroupSize(&g, queueLength());
        for (int i = 0; i < n; i++)
            g.events[i] = queueAt(i);
        queueSetInFlight(n);
        queueUnlock();

        done = writerWritePass(&g, n, &failed);

        queueLock();
        queueSetInFlight(0);
        if (!queueExists()) {
            /* Released meanwhile: queueFree left these entries to us. Those
             * kept in the journal are written at the next start, so they
             * are not lost even when this insert failed. */
            int saved = journalSavedHeadsDone(done);
            writer.inFlightLost = n - (done > saved ? done : saved);
            for (int i = 0; i < n; i++)
                eventFree(g.events[i]);
            break;
        }
        if (done > 0)
            writerAttempted(1, 0, queueLength());
        for (int i = 0; i < done; i++) {
            queueGet();
            if (queueRetire(g.events[i]))
                g.events[i] = NULL;
        }
        queueUnlock();
        for (int i = 0; i < done; i++)
            eventFree(g.events[i]); /* those not retired */
        if (failed) {
            writerAttempted(0, 0, 0);
            kelSys.sleep((unsigned int)param.retryDelay);
        }
        queueLock();
    }
    queueUnlock();
    if (g.events != one)
        free(g.events);
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
