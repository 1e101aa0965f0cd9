/*
 * audit.cpp - the audit module's entry points (auditAuth, auditConfigure,
 * auditRelease, auditInit) and the glue between the ring and the audit
 * journal.
 *
 * Threads: the policy server's threads record (auditAuth), the thread of
 * SmEventInit configures, the thread of SmEventRelease releases; the
 * journal's own thread wakes the writer (auditWake). The module's state
 * below is guarded by queueMutex (queue.cpp), except journalSet, which
 * recording threads read without it. Lock order: docs/internals.md,
 * "Locks".
 *
 * The ring (queue.cpp) holds copies of the events; the writer thread
 * (writer.cpp) inserts them through the database session (dbsession.cpp).
 * Stalls and losses are traced at level 1; the release says how many
 * events it discarded and how many waiting recording threads it sent away.
 *
 * The audit journal (SPOOL_DIR): recording threads append each event to
 * the journal and the writer takes its events from there; the ring holds
 * only what the journal refused (a write failure, SPOOL_MAX_MB reached).
 * Order: an event goes to the journal only while the ring is empty,
 * decided under queueMutex, and the writer empties the journal before it
 * looks at the ring; so every event in the journal is older than every
 * event in the ring. At release the ring's events are appended to the
 * journal, the head the writer may be inserting included (it is oldest).
 * Should that insert succeed, the writer commits the head's journal copy
 * too, so it is written once.
 */
#include "audit.h"

#include <stdlib.h>
#include <string.h>

#include "kelsys.h"
#include "spool.h"
#include "status.h"
#include "synch.h"
#include "trace.h"
#include "writer.h"

/* The module's state; every field under queueMutex but journalSet. */
static struct Audit {
    struct Param pendingParam; /* settings waiting for the writer to stop */
    int pendingSet = 0;
    /* SPOOL_DIR is set in the settings in force: read by recording threads
     * without the lock (atomically), so kept apart from param. */
    int journalSet = 0;
    /* The journal could not be opened since the last SmEventInit: not
     * tried again for every event. */
    int journalFailed = 0;
    /* Where the journal copies of the entries under insert end, from the
     * head on, when release made them (savedHeads of them). */
    int savedHeads = 0;
    struct JournalPlace {
        uint64_t segment, end;
    } *saved = NULL;
} audit;

/* ---- settings --------------------------------------------------------- */

/* Copies settings into param; minLevel is read concurrently by the
 * recording threads, so it is stored atomically. */
static void paramStore(const struct Param *p)
{
    __atomic_store_n(&param.minLevel, p->minLevel, __ATOMIC_RELAXED);
    memcpy(param.dataSource, p->dataSource, sizeof param.dataSource);
    memcpy(param.user, p->user, sizeof param.user);
    memcpy(param.password, p->password, sizeof param.password);
    memcpy(param.table, p->table, sizeof param.table);
    param.maxQueue = p->maxQueue;
    param.retryDelay = p->retryDelay;
    memcpy(param.spoolDir, p->spoolDir, sizeof param.spoolDir);
    param.spoolSync = p->spoolSync;
    param.spoolFull = p->spoolFull;
    param.spoolMaxMb = p->spoolMaxMb;
    param.rejectAfter = p->rejectAfter;
    memcpy(param.rejectFile, p->rejectFile, sizeof param.rejectFile);
    param.batchMax = p->batchMax;
    __atomic_store_n(&audit.journalSet, p->spoolDir[0] != '\0', __ATOMIC_RELAXED);
}

/* Called with queueMutex held when no writer runs. */
static void applyPendingParam(void)
{
    if (!audit.pendingSet)
        return;
    paramStore(&audit.pendingParam);
    explicit_bzero(audit.pendingParam.password, sizeof audit.pendingParam.password);
    audit.pendingSet = 0;
}

static void journalOpen(void);
static int auditWake(void);

void auditConfigure(const struct Param *next)
{
    int idle;

    /* The journal's thread may start a writer: not while this decides. */
    spoolStop();
    queueLock();
    idle = !queueExists() && !writerRunning();
    if (idle) {
        paramStore(next);
        journalOpen();
    } else {
        __atomic_store_n(&param.minLevel, next->minLevel, __ATOMIC_RELAXED);
        audit.pendingParam = *next;
        audit.pendingSet = 1;
        trace(TRACE_2, "auditConfigure: database writer running, new database and queue "
                       "settings apply after SmEventRelease");
    }
    queueUnlock();
    if (!idle && spoolIsOpen())
        spoolOpen(param.spoolDir, param.spoolSync, param.spoolFull, param.spoolMaxMb, auditWake, 1);
}

/* ---- the audit journal (SPOOL_DIR) ------------------------------------- */

/* From the journal's thread, when requeued events were taken in: start the
 * writer unless a release is under way, and wake it. Never waits for
 * queueMutex (0: busy, the thread tries again), since its holder may be
 * stopping that thread. */
static int auditWake(void)
{
    if (!queueTryLock())
        return 0;
    if (queueExists() || !writerRunning())
        auditInit();
    queueWakeWriter();
    queueUnlock();
    return 1;
}

/* queueMutex held: opens the journal of the settings in force, unless
 * open or failed already; also when an event comes after a release and
 * before the next SmEventInit, so that it is not kept in memory only.
 * While another process (kelaudit, looking) holds the journal's lock, a
 * patient caller tries again a few times and lets queueMutex go during
 * each pause, so that nobody waits behind a sleeping holder; it must
 * decide afresh afterwards. An impatient one leaves the journal closed
 * for the next event to try. */
static void journalStart(int patient)
{
    for (int attempt = 1;; attempt++) {
        int lastTry = patient && attempt >= SPOOL_LOCK_TRIES;
        int rc;

        if (param.spoolDir[0] == '\0' || spoolIsOpen() || audit.journalFailed)
            return;
        rc = spoolOpen(param.spoolDir, param.spoolSync, param.spoolFull, param.spoolMaxMb, auditWake, lastTry);
        if (rc == SPOOL_BUSY && !patient)
            return;
        if (rc != SPOOL_BUSY) {
            audit.journalFailed = rc == 0;
            return;
        }
        queueUnlock();
        kelSys.usleep(SPOOL_LOCK_PAUSE_US);
        queueLock();
    }
}

/* SmEventInit, queueMutex held, no writer running: the journal of the
 * settings in force; when it holds events of an earlier run, the writer
 * starts now. */
static void journalOpen(void)
{
    spoolClose();
    audit.journalFailed = 0;
    journalStart(1);
    if (spoolPending())
        auditInit();
}

/* queueMutex held: appends the prepared event while the ring is empty,
 * starts the writer (unless a release is under way: the next start writes
 * it) and wakes it. 0: the event goes to the ring. SPOOL_APPEND_FULL: the
 * journal is full and the recording waits for room (the writer is
 * started, so that it makes some). */
static int journalPut(struct SpoolRecord *record)
{
    int rc;

    if (record->data == NULL)
        return 0;
    journalStart(1);
    if (queueLength() > 0)
        return 0;
    rc = spoolAppend(record);
    if (rc == 0)
        return 0;
    if (queueExists() || !writerRunning())
        auditInit();
    queueWakeWriter();
    return rc;
}

/* Writer, without the lock: writes the journal's oldest events (one, or a
 * group), or pauses as after a failed insert. */
static void journalWriteHead(struct WriterGroup *g)
{
    int n = spoolPeekGroup(g->events, writerGroupSize(g, g->room));
    int done, failed;

    if (n == 0) {
        /* Unreadable for now (traced): try again after a pause. */
        if (spoolPending())
            kelSys.sleep(1);
        return;
    }
    done = writerWritePass(g, n, &failed);
    spoolCommitGroup(done);
    if (done > 0)
        writerAttempted(1, 1, (long long)spoolWaitingBytes());
    if (failed) {
        writerAttempted(0, 1, 0);
        kelSys.sleep((unsigned int)param.retryDelay);
    }
}

int journalTurn(struct WriterGroup *g)
{
    if (!spoolIsOpen())
        return 0;
    while (queueExists() && queueLength() == 0 && !spoolPending())
        queueWaitEvent();
    if (!queueExists())
        return 1;
    if (!spoolPending())
        return 0;
    queueUnlock();
    journalWriteHead(g);
    queueLock();
    return 1;
}

/* Release, queueMutex held: the ring's events go to the journal, oldest
 * first, so the next start writes them. Returns how many of the entries
 * queueFree will free were kept: the entries under insert are left out,
 * since the writer frees them and the release counts them apart. */
static int journalKeepRing(void)
{
    int kept = 0, keptInFlight = 0, lost = 0;
    int inFlight = queueInFlight();

    audit.savedHeads = 0;
    if (!spoolIsOpen() || !queueExists() || queueLength() == 0)
        return 0;
    if (inFlight > 0) {
        audit.saved = (struct Audit::JournalPlace *)kelSys.malloc(sizeof *audit.saved * (size_t)inFlight);
        if (audit.saved == NULL)
            trace(TRACE_ERROR, "auditRelease: no memory to note the %d events under insert: should their insert "
                               "succeed, the next start writes them again", inFlight);
    }
    for (int i = 0; i < queueLength(); i++) {
        uint64_t segment, end;
        if (!spoolAppendEvent(queueAt(i), &segment, &end)) {
            lost++;
            continue;
        }
        kept++;
        if (i >= inFlight)
            continue;
        keptInFlight++;
        /* Only copies that follow each other from the head can be matched
         * with the head of the journal later. */
        if (audit.saved != NULL && audit.savedHeads == i) {
            audit.saved[i].segment = segment;
            audit.saved[i].end = end;
            audit.savedHeads++;
        }
    }
    trace(TRACE_2, "auditRelease: %d events waiting in memory kept in the journal", kept);
    if (lost > 0)
        trace(TRACE_ERROR, "auditRelease: %d events waiting in memory discarded: the journal cannot take them",
              lost);
    return kept - keptInFlight;
}

int journalSavedHeadsDone(int inserted)
{
    int saved = audit.savedHeads;

    for (int i = 0; i < inserted && i < saved; i++)
        spoolCommitIfEndsAt(audit.saved[i].segment, audit.saved[i].end);
    free(audit.saved);
    audit.saved = NULL;
    audit.savedHeads = 0;
    return saved;
}

/* ---- entry points ------------------------------------------------------ */

int auditInit(void)
{
    if (queueExists())
        return 1;
    trace(TRACE_3, "auditInit");
    if (writerRunning()) {
        /* The writer of the last run has not ended yet (a release is in
         * progress); a second writer must never run beside it. */
        trace(TRACE_ERROR, "auditInit: previous database thread still running, event dropped");
        return 0;
    }
    applyPendingParam();
    journalStart(0);
    if (!queueCreate())
        return 0;
    if (!writerStart()) {
        queueFree();
        return 0;
    }
    trace(TRACE_3, "auditInit done");
    return 1;
}

void auditAuth(const struct SmLog_Access_s *event)
{
    struct SpoolRecord record;
    struct SmLog_Access_s *ahead = NULL;
    int haveAhead = 0;
    struct SmLog_Access_s *retired = NULL;
    int journaled;

    trace(TRACE_3, "auditAuth");
    statusRecorded();
    record.data = NULL;
    /* Without a journal the event goes to the ring: its copy is made
     * before the lock is taken, so that recording threads and the writer
     * do not wait on each other's allocations; and the recording thread
     * frees a copy the writer is done with (queueRetire). */
    if (__atomic_load_n(&audit.journalSet, __ATOMIC_RELAXED))
        spoolPrepare(event, &record);
    else {
        ahead = eventCopyAhead(event);
        haveAhead = 1;
    }
    queueLock();
    /* A full journal (SPOOL_FULL wait): wait for room without the lock,
     * as a full ring does, and decide afresh. */
    while ((journaled = journalPut(&record)) == SPOOL_APPEND_FULL) {
        queueUnlock();
        spoolWaitRoom(&record);
        queueLock();
    }
    if (!journaled && auditInit()) {
        if (haveAhead)
            queuePutAhead(event, ahead);
        else
            queuePut(event);
        haveAhead = 0;
        retired = queueTakeRetired();
        /* The ring was freed while this waited for room (a release): with
         * a journal, the event goes there rather than away. */
        if (!queueExists())
            journaled = journalPut(&record) == 1;
    }
    queueUnlock();
    if (haveAhead)
        eventFree(ahead);
    eventFree(retired);
    /* With SPOOL_SYNC always a record whose sync failed may not be on
     * disk: a copy waits in memory as well (it may be written twice). */
    if (!spoolFinish(&record, journaled)) {
        queueLock();
        if (auditInit())
            queuePut(event);
        queueUnlock();
    }
}

void auditRelease(void)
{
    thread_t writer;
    int joinWriter;
    int hadRing;
    int freed;
    int discarded;
    int waiters;
    int kept;

    trace(TRACE_2, "auditRelease");
    spoolStop();
    queueLock();
    hadRing = queueExists();
    writerTakeLost();
    kept = journalKeepRing();
    queueFree();
    queueFreed(&freed, &waiters);
    discarded = freed - kept;
    /* With the journal, a recording sent away from its wait for room
     * appends its event there instead. */
    if (spoolIsOpen())
        waiters = 0;
    joinWriter = writerTakeJoin(&writer);
    queueUnlock();

    if (joinWriter) {
        trace(TRACE_3, "auditRelease: waiting for db thread to finish");
        thr_join(writer, NULL, NULL);
        trace(TRACE_3, "auditRelease: db thread finished");
    }
    queueLock();
    /* The head under insert counts once the writer has said it failed. */
    discarded += writerTakeLost();
    if (!writerRunning())
        applyPendingParam();
    /* An event recorded during the release may have started a new writer:
     * the journal stays open for it. */
    if (!queueExists() && !writerRunning())
        spoolClose();
    queueUnlock();
    if (hadRing || joinWriter)
        trace(discarded > 0 || waiters > 0 ? TRACE_ERROR : TRACE_3,
              "auditRelease: %d queued events discarded, %d waiting recording threads sent away",
              discarded, waiters);
    if (spoolIsOpen())
        spoolOpen(param.spoolDir, param.spoolSync, param.spoolFull, param.spoolMaxMb, auditWake, 1);
}
