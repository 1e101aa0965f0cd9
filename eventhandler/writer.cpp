/*
 * writer.cpp - the database writer thread.
 *
 * One writer thread of ours (dbThreadFn) takes the journal's events first
 * (journalTurn, audit.cpp), then peeks at the ring's head, inserts it
 * outside queueMutex, and removes and frees it once its row is committed,
 * or sleeps retryDelay and tries the same event again. With BATCH_MAX
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
#include "synch.h"
#include "trace.h"

/* The thread; every field under queueMutex. */
static struct Writer {
    thread_t thread;
    int threadSet = 0;   /* thread holds a thread not yet joined */
    int alive = 0;       /* a writer thread has started and not ended */
    int inFlightLost = 0; /* entries under insert neither written nor kept when the ring went */
} writer;

int writerWriteEvent(const struct SmLog_Access_s *event)
{
    struct DbFailure failure;

    if (dbInsertAuth(event)) {
        rejectForget();
        return 1;
    }
    failure = dbLastFailure();
    return rejectAfterFailure(event, failure.executeRefused && rejectIsDataError(failure.code, failure.text),
                              failure.text);
}

int writerWriteGroup(struct SmLog_Access_s *const *events, int n, int *dataRefused)
{
    struct DbFailure failure;
    int rows;

    *dataRefused = 0;
    if (dbInsertGroup(events, n, &rows)) {
        rejectForget();
        return rows;
    }
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

/* Writer state between passes of its loop. */
struct Pass {
    int retry;  /* the size of the group to try again, 0: none */
    int single; /* events still to write one at a time after a refused group */
};

/* How many events from the head go into the next insert: the same group
 * again after a failure, else up to BATCH_MAX of those waiting (never
 * waiting for more). */
static int groupSize(const struct Pass *pass, int room)
{
    int n = pass->retry > 0 ? pass->retry : queueLength();

    if (pass->single > 0 || room < 2)
        return 1;
    if (n > room)
        n = room;
    return n;
}

/* After a pass that wrote done of n events: what the next pass does. 1
 * when the writer pauses before it (the attempt failed). */
static int passDone(struct Pass *pass, int n, int done, int refused)
{
    if (refused) {
        pass->retry = 0;
        pass->single = n - done;
        return done < n;
    }
    if (pass->single > 0) {
        pass->single -= done;
        return done == 0;
    }
    /* A group cut to what its buffers hold is no failure: the rest is the
     * next group's. */
    pass->retry = done == 0 && n > 1 ? n : 0;
    return done == 0;
}

static void *dbThreadFn(void *)
{
    struct SmLog_Access_s *one[1];
    struct SmLog_Access_s **group = one;
    struct Pass pass = {0, 0};
    int room = 1, n, done, refused;
    /* Failed attempts since the last committed row, and when the first of
     * them was made: at level 1 the log shows the failures, so it shows
     * the recovery too. */
    int failures = 0;
    time_t failingSince = 0;

    trace(TRACE_3, "dbThreadFn: starting, thread id %u", thr_self());
    if (param.batchMax > 1) {
        group = (struct SmLog_Access_s **)kelSys.calloc((size_t)param.batchMax, sizeof *group);
        if (group == NULL) {
            trace(TRACE_ERROR, "dbThreadFn: no memory for groups of %d events, writing one at a time",
                  param.batchMax);
            group = one;
        } else {
            room = param.batchMax;
        }
    }
    queueLock();
    while (queueExists()) {
        if (journalTurn())
            continue;
        if (queuePeek() == NULL)
            continue;
        n = groupSize(&pass, room);
        for (int i = 0; i < n; i++)
            group[i] = queueAt(i);
        queueSetInFlight(n);
        queueUnlock();

        refused = 0;
        done = n == 1 ? writerWriteEvent(group[0]) : writerWriteGroup(group, n, &refused);

        queueLock();
        queueSetInFlight(0);
        if (!queueExists()) {
            /* Released meanwhile: queueFree left these entries to us. Those
             * kept in the journal are written at the next start, so they
             * are not lost even when this insert failed. */
            int saved = journalSavedHeadsDone(done);
            writer.inFlightLost = n - (done > saved ? done : saved);
            for (int i = 0; i < n; i++)
                eventFree(group[i]);
            break;
        }
        int failed = passDone(&pass, n, done, refused);
        if (done > 0 && failures > 0) {
            trace(TRACE_1, "dbThreadFn: writing again after %d failed attempts in %ld s; events waiting: %d",
                  failures, (long)(kelTime() - failingSince), queueLength());
            failures = 0;
        }
        for (int i = 0; i < done; i++)
            queueGet();
        queueUnlock();
        for (int i = 0; i < done; i++)
            eventFree(group[i]);
        if (failed) {
            if (failures++ == 0)
                failingSince = kelTime();
            kelSys.sleep((unsigned int)param.retryDelay);
        }
        queueLock();
    }
    queueUnlock();
    if (group != one)
        free(group);
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
