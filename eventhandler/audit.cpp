/*
 * audit.cpp - event copies, the bounded queue and the database writer.
 *
 * Threads: any number of policy server threads put copies into the ring
 * (auditAuth); one writer thread of ours (dbThreadFn) peeks at the head,
 * inserts it outside the lock, and removes and frees it once its row is
 * committed, or sleeps retryDelay and tries the same event again; the
 * thread that releases the handler frees the ring and joins the writer.
 *
 * queueMutex guards the ring, the writer's bookkeeping and the settings
 * while they change; it is taken before the trace lock, never after. The
 * OCI handles belong to the writer thread alone.
 *
 * Stalls and losses are traced at level 1: a stall begins when a recording
 * thread finds the ring full and waits, and ends when the writer has
 * brought the ring down to half its capacity with nobody waiting (so a
 * ring that stays full under load is one stall, not one per event); the
 * release says how many events it discarded and how many waiting
 * recording threads it sent away.
 *
 * Ownership at release: the head the writer is inserting is marked
 * inFlight. queueFree discards every entry but that one; the writer, back
 * under the lock and finding the ring gone, frees it itself. So every copy
 * is freed exactly once and none while in use. A new ring is not created
 * until the old writer has ended, so there is never more than one writer.
 *
 * The Oracle client library is loaded at the first connect, from the
 * plug-in's own folder first, then from the loader's search path: the
 * plug-in loads and selects events on a host without it.
 *
 * With SPOOL_DIR, events go to the audit journal (spool.cpp) and the ring
 * holds only what the journal refuses; see "the audit journal" below.
 */
#include "audit.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "accessfields.h"
#include "kelsys.h"
#include "libload.h"
#include "oci.h"
#include "reject.h"
#include "spool.h"
#include "synch.h"
#include "thread.h"
#include "trace.h"

#define OCI_LIBRARY "libclntsh.so"
#define SQL_SIZE 1000
#define HOST_SIZE 500
#define DIAG_SIZE 512

/* The ring of event copies. */
static struct SmLog_Access_s **queue = NULL;
static int queueCapacity = 0;
static int queueFirst = 0;
static int queueNext = 0;
static int queueCount = 0;
static mutex_t queueMutex = DEFAULTMUTEX;
/* Both live as long as the library, so a ring created after a release
 * finds them ready (destroying them under late waiters would be unsafe). */
static cond_t queueCondFull = DEFAULTCV;
static cond_t queueCondEmpty = DEFAULTCV;

/* The writer, under queueMutex. */
static thread_t dbThread;
static int dbThreadSet = 0;      /* dbThread holds a thread not yet joined */
static int writerAlive = 0;      /* a writer thread has started and not ended */
static struct SmLog_Access_s *inFlight = NULL; /* head being inserted */
static int inFlightLost = 0;     /* that head was not written when the ring went */

/* Recording threads held up by a full ring, under queueMutex. */
static int putWaiters = 0;       /* waiting for room now */
static int stallActive = 0;      /* a stall has been traced as begun */
static struct timeval stallStart;
static int stallWaits = 0;       /* puts that waited during this stall */
/* What the last queueFree threw away. */
static int freedEntries = 0;
static int sentAway = 0;
static struct Param pendingParam; /* settings waiting for the writer to stop */
static int pendingSet = 0;
/* SPOOL_DIR is set in the settings in force: read by recording threads
 * without the lock, so kept apart from param. */
static int journalSet = 0;

/* OCI handles, writer thread only. */
static OCIEnv *envhp = NULL;
static OCIError *errhp = NULL;
static OCISvcCtx *svchp = NULL;
static OCIStmt *stmthp = NULL;
static sb2 ind = 0; /* null indicator: every bound value is present */
/* The first diagnostic record of the last failure, and whether it was the
 * execute that failed: what REJECT_AFTER judges. Writer thread only. */
static sb4 dbDiagCode = 0;
static char dbDiagText[DIAG_SIZE];
static int dbExecuteRefused = 0;

/* OCI entry points, resolved at the first connect. */
static struct {
    decltype(&OCIEnvCreate) envCreate;
    decltype(&OCIHandleAlloc) handleAlloc;
    decltype(&OCILogon) logon;
    decltype(&OCIStmtPrepare) stmtPrepare;
    decltype(&OCIBindByName) bindByName;
    decltype(&OCIStmtExecute) stmtExecute;
    decltype(&OCIErrorGet) errorGet;
    decltype(&OCILogoff) logoff;
    decltype(&OCIHandleFree) handleFree;
} oci;
static int ociLoaded = 0;
static mutex_t ociLock = DEFAULTMUTEX;

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
    param.spoolMaxMb = p->spoolMaxMb;
    param.rejectAfter = p->rejectAfter;
    memcpy(param.rejectFile, p->rejectFile, sizeof param.rejectFile);
    __atomic_store_n(&journalSet, p->spoolDir[0] != '\0', __ATOMIC_RELAXED);
}

/* Called with queueMutex held when no writer runs. */
static void applyPendingParam(void)
{
    if (!pendingSet)
        return;
    paramStore(&pendingParam);
    explicit_bzero(pendingParam.password, sizeof pendingParam.password);
    pendingSet = 0;
}

static void journalOpen(void);
static void journalStart(void);
static int auditWake(void);

void auditConfigure(const struct Param *next)
{
    int idle;

    /* The journal's thread may start a writer: not while this decides. */
    spoolStop();
    mutex_lock(&queueMutex);
    idle = queue == NULL && !writerAlive;
    if (idle) {
        paramStore(next);
        journalOpen();
    } else {
        __atomic_store_n(&param.minLevel, next->minLevel, __ATOMIC_RELAXED);
        pendingParam = *next;
        pendingSet = 1;
        trace(TRACE_2, "auditConfigure: database writer running, new database and queue "
                       "settings apply after SmEventRelease");
    }
    mutex_unlock(&queueMutex);
    if (!idle && spoolIsOpen())
        spoolOpen(param.spoolDir, param.spoolSync, param.spoolMaxMb, auditWake);
}

/* ---- event copies ----------------------------------------------------- */

struct SmLog_Access_s *eventCopy(const struct SmLog_Access_s *event)
{
    struct SmLog_Access_s *copy;
    int failed = 0;

    copy = (struct SmLog_Access_s *)kelSys.malloc(sizeof *copy);
    if (copy == NULL) {
        trace(TRACE_ERROR, "Can't allocate memory for event copy");
        return NULL;
    }
    copy->nVersion = event->nVersion;
    copy->nCurrentTime = event->nCurrentTime;
    copy->nReason = event->nReason;
    /* Every text is attempted, so the partial copy is always well formed. */
    for (int i = 0; i < ACCESS_FIELD_COUNT; i++) {
        char **slot = accessFieldSlot(copy, i);
        *slot = kelSys.strdup(accessFieldText(event, i));
        if (*slot == NULL)
            failed = 1;
    }
    if (failed) {
        eventFree(copy);
        trace(TRACE_ERROR, "Can't allocate memory for event copy");
        return NULL;
    }
    return copy;
}

void eventFree(struct SmLog_Access_s *copy)
{
    if (copy == NULL)
        return;
    for (int i = 0; i < ACCESS_FIELD_COUNT; i++)
        free(*accessFieldSlot(copy, i));
    free(copy);
}

/* ---- the ring (queueMutex held) ---------------------------------------- */

void queueLock(void)
{
    mutex_lock(&queueMutex);
}

void queueUnlock(void)
{
    mutex_unlock(&queueMutex);
}

int queueState(int *first, int *next, int *count, int *capacity)
{
    *first = queueFirst;
    *next = queueNext;
    *count = queueCount;
    *capacity = queueCapacity;
    return queue != NULL;
}

int queueCreate(void)
{
    trace(TRACE_3, "queueCreate");
    /* A capacity below 1 is raised to 1 when the settings are read; guard
     * here too, as a ring without a slot would block every put. */
    queueCapacity = param.maxQueue < 1 ? 1 : param.maxQueue;
    /* calloc, not malloc and memset: a large ring then comes as fresh zero
     * pages, touched only as slots are used, instead of being written
     * whole under queueMutex on a host thread. */
    queue = (struct SmLog_Access_s **)kelSys.calloc((size_t)queueCapacity, sizeof *queue);
    if (queue == NULL)
        trace(TRACE_ERROR, "Can't allocate space for event queue");
    queueFirst = 0;
    queueNext = 0;
    queueCount = 0;
    return queue != NULL;
}

/* Time of day through the system table; zero when it cannot be had. */
static struct timeval stallClock(void)
{
    struct timeval tv;

    if (kelSys.gettimeofday(&tv) != 0) {
        tv.tv_sec = 0;
        tv.tv_usec = 0;
    }
    return tv;
}

/* A put is about to wait for room: the first of a stall says so. */
static void stallBegin(void)
{
    stallWaits++;
    if (stallActive)
        return;
    stallActive = 1;
    stallStart = stallClock();
    trace(TRACE_ERROR, "queuePut: queue full (%d events), recording threads wait for the "
                       "database writer", queueCapacity);
}

/* After a get: once the ring is down to half its capacity and nobody
 * waits, the stall is over; its length is traced. */
static void stallEndIfOver(void)
{
    struct timeval now;
    long long ms;
    char seconds[32];

    if (!stallActive || putWaiters > 0 || queueCount > queueCapacity / 2)
        return;
    now = stallClock();
    ms = ((long long)now.tv_sec - stallStart.tv_sec) * 1000 +
         (now.tv_usec - stallStart.tv_usec) / 1000;
    if (ms < 0) /* the clock was set back */
        ms = 0;
    snprintf(seconds, sizeof seconds, "%lld.%03lld", ms / 1000, ms % 1000);
    trace(TRACE_ERROR, "queuePut: queue has room again after %s s; %d recordings waited",
          seconds, stallWaits);
    stallActive = 0;
    stallWaits = 0;
}

void queuePut(const struct SmLog_Access_s *event)
{
    struct SmLog_Access_s *copy;

    trace(TRACE_4, "queuePut: entry %d, user %s, %d already in queue", queueNext,
          event->szUserName, queueCount);
    if (queue != NULL && queueCount >= queueCapacity)
        stallBegin();
    while (queue != NULL && queueCount >= queueCapacity) {
        trace(TRACE_4, "queuePut: waiting - queue full");
        putWaiters++;
        cond_wait(&queueCondFull, &queueMutex);
        putWaiters--;
    }
    if (queue == NULL)
        return;
    copy = eventCopy(event);
    if (copy == NULL)
        return;
    queue[queueNext] = copy;
    queueCount++;
    if (++queueNext == queueCapacity)
        queueNext = 0;
    cond_signal(&queueCondEmpty);
}

/* Waits while the ring is empty; returns 0 when it no longer exists. */
static int queueWaitEntry(const char *waitMessage)
{
    while (queueCount == 0) {
        if (queue == NULL)
            return 0;
        trace(TRACE_4, "%s", waitMessage);
        cond_wait(&queueCondEmpty, &queueMutex);
    }
    return 1;
}

struct SmLog_Access_s *queueGet(void)
{
    struct SmLog_Access_s *entry;

    if (!queueWaitEntry("queueGet: waiting - queue empty"))
        return NULL;
    entry = queue[queueFirst];
    trace(TRACE_4, "queueGet: entry %d, user %s", queueFirst, entry->szUserName);
    queue[queueFirst] = NULL;
    queueCount--;
    if (++queueFirst == queueCapacity)
        queueFirst = 0;
    cond_signal(&queueCondFull);
    stallEndIfOver();
    return entry;
}

struct SmLog_Access_s *queuePeek(void)
{
    struct SmLog_Access_s *entry;

    if (!queueWaitEntry("queuePeek: waiting - queue empty"))
        return NULL;
    entry = queue[queueFirst];
    trace(TRACE_4, "queuePeek: entry %d, user %s", queueFirst, entry->szUserName);
    return entry;
}

void queueFree(void)
{
    trace(TRACE_3, "queueFree");
    freedEntries = 0;
    sentAway = 0;
    if (queue == NULL)
        return;
    /* The waiters are sent away below; the release reports the stall's end. */
    stallActive = 0;
    stallWaits = 0;
    while (queueCount > 0) {
        struct SmLog_Access_s *entry = queueGet();
        /* The writer is inserting this one; it frees it when it is done. */
        if (entry != inFlight) {
            eventFree(entry);
            freedEntries++;
        }
    }
    free(queue);
    queue = NULL;
    sentAway = putWaiters;
    cond_broadcast(&queueCondEmpty);
    cond_broadcast(&queueCondFull);
}

/* ---- the Oracle client library ---------------------------------------- */

/* Names of the oci table's functions, in the order of its fields. */
const char *const auditOciFunctions[AUDIT_OCI_FUNCTIONS] = {
    "OCIEnvCreate",   "OCIHandleAlloc", "OCILogon",  "OCIStmtPrepare", "OCIBindByName",
    "OCIStmtExecute", "OCIErrorGet",    "OCILogoff", "OCIHandleFree",
};
#define OCI_COUNT AUDIT_OCI_FUNCTIONS
static_assert(sizeof oci == OCI_COUNT * sizeof(void *), "one slot per OCI function");

/* Loads the library once; a failed load is tried again at the next
 * connect, so installing the client later needs no restart. */
static int ociLoad(void)
{
    char reason[LINE_SIZE];
    struct LibFailure why;
    void *slots[OCI_COUNT];
    void *lib;
    int missing;
    int ok = 1;

    mutex_lock(&ociLock);
    if (!ociLoaded) {
        lib = libOpen(OCI_LIBRARY, (const void *)&ociLoad, &why);
        if (lib == NULL) {
            trace(TRACE_ERROR, "Can't load OCI library %s: %s%s%s", OCI_LIBRARY, why.byName,
                  why.beside[0] != '\0' ? "; " : "", why.beside);
            ok = 0;
        } else if ((missing = libResolve(lib, auditOciFunctions, slots, OCI_COUNT, reason, sizeof reason)) >= 0) {
            trace(TRACE_ERROR, "Can't load OCI library %s: no function %s", OCI_LIBRARY,
                  auditOciFunctions[missing]);
            libClose(lib);
            ok = 0;
        } else {
            memcpy(&oci, slots, sizeof oci);
            ociLoaded = 1;
        }
    }
    mutex_unlock(&ociLock);
    return ok;
}

void ociTestUnload(void)
{
    mutex_lock(&ociLock);
    ociLoaded = 0;
    mutex_unlock(&ociLock);
}

/* ---- database work (writer thread) ------------------------------------ */

void dbTraceDiag(int level)
{
    char buf[DIAG_SIZE];
    void *handle = errhp != NULL ? (void *)errhp : (void *)envhp;
    ub4 type = errhp != NULL ? OCI_HTYPE_ERROR : OCI_HTYPE_ENV;
    sb4 code;

    if (!ociLoaded)
        return;
    /* A read with information (a record cut to the buffer, say) still
     * gives its record; only OCI_NO_DATA or a failure ends the list. */
    for (ub4 record = 1;; record++) {
        sword rc;

        buf[0] = '\0';
        rc = oci.errorGet(handle, record, NULL, &code, (OraText *)buf, sizeof buf, type);
        if (rc != OCI_SUCCESS && rc != OCI_SUCCESS_WITH_INFO)
            break;
        if (record == 1) {
            dbDiagCode = code;
            memcpy(dbDiagText, buf, sizeof dbDiagText);
            dbDiagText[DIAG_SIZE - 1] = '\0';
        }
        trace(level, "%.*s", DIAG_SIZE, buf);
    }
}

void dbDisconnect(void)
{
    trace(TRACE_2, "dbDisconnect");
    if (stmthp != NULL) {
        oci.handleFree(stmthp, OCI_HTYPE_STMT);
        stmthp = NULL;
    }
    if (svchp != NULL) {
        oci.logoff(svchp, errhp);
        svchp = NULL;
    }
    if (errhp != NULL) {
        oci.handleFree(errhp, OCI_HTYPE_ERROR);
        errhp = NULL;
    }
    if (envhp != NULL) {
        oci.handleFree(envhp, OCI_HTYPE_ENV);
        envhp = NULL;
    }
}

int dbCheckStatus(const char *step, int status, int okLevel)
{
    switch (status) {
    case OCI_SUCCESS:
        trace(okLevel, "%s OK", step);
        return 1;
    case OCI_SUCCESS_WITH_INFO:
        trace(okLevel, "%s OK", step);
        dbTraceDiag(okLevel);
        return 1;
    case OCI_ERROR:
        trace(TRACE_ERROR, "%s FAILED", step);
        dbTraceDiag(TRACE_ERROR);
        break;
    case OCI_INVALID_HANDLE:
        trace(TRACE_ERROR, "%s FAILED - INVALID_HANDLE", step);
        break;
    case OCI_STILL_EXECUTING:
        trace(TRACE_ERROR, "%s FAILED - STILL_EXECUTING", step);
        break;
    case OCI_CONTINUE:
        trace(TRACE_ERROR, "%s FAILED - CONTINUE", step);
        break;
    case OCI_NEED_DATA:
        trace(TRACE_ERROR, "%s FAILED - NEED_DATA", step);
        break;
    case OCI_NO_DATA:
        trace(TRACE_ERROR, "%s FAILED - NODATA", step);
        break;
    default:
        trace(TRACE_ERROR, "%s FAILED - status %d", step, status);
        break;
    }
    dbDisconnect();
    return 0;
}

int dbConnect(void)
{
    if (envhp != NULL)
        return 1;
    trace(TRACE_2, "dbConnect: data source '%s', user '%s'", param.dataSource, param.user);
    if (!ociLoad())
        return 0;
    if (!dbCheckStatus("Create OCI environment",
                       oci.envCreate(&envhp, OCI_THREADED | OCI_NO_MUTEX, NULL, NULL, NULL,
                                     NULL, 0, NULL),
                       TRACE_3))
        return 0;
    if (!dbCheckStatus("Allocate OCI error handle",
                       oci.handleAlloc(envhp, (void **)&errhp, OCI_HTYPE_ERROR, 0, NULL),
                       TRACE_3))
        return 0;
    if (!dbCheckStatus("OCI logon",
                       oci.logon(envhp, errhp, &svchp, (const OraText *)param.user,
                                 (ub4)strlen(param.user), (const OraText *)param.password,
                                 (ub4)strlen(param.password), (const OraText *)param.dataSource,
                                 (ub4)strlen(param.dataSource)),
                       TRACE_3))
        return 0;
    if (!dbCheckStatus("Allocate OCI statement handle",
                       oci.handleAlloc(envhp, (void **)&stmthp, OCI_HTYPE_STMT, 0, NULL),
                       TRACE_3))
        return 0;
    return 1;
}

int dbBindString(const char *placeholder, const char *value)
{
    OCIBind *bind = NULL;
    size_t len = strlen(value);

    trace(TRACE_5, "dbBindString %s %s", placeholder, value);
    if (len >= 0x7fffffff) {
        trace(TRACE_ERROR, "binding name %s: value too long", placeholder);
        return 0;
    }
    if (!dbCheckStatus("OCI bind string",
                       oci.bindByName(stmthp, &bind, errhp, (const OraText *)placeholder,
                                      (sb4)strlen(placeholder), (void *)value, (sb4)(len + 1),
                                      SQLT_STR, &ind, NULL, NULL, 0, NULL, OCI_DEFAULT),
                       TRACE_5)) {
        trace(TRACE_ERROR, "binding name %s", placeholder);
        return 0;
    }
    return 1;
}

static void hostName(char *host, size_t size)
{
    if (kelSys.gethostname(host, size) != 0) {
        trace(TRACE_ERROR, "Can't get host name: %s", strerror(errno));
        snprintf(host, size, "%s", "unknown");
    }
    host[size - 1] = '\0';
}

/* Appends text to the statement being built in sql (size characters);
 * *used counts what the whole text needs, fitting or not. */
static void sqlAppend(char *sql, size_t size, size_t *used, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

static void sqlAppend(char *sql, size_t size, size_t *used, const char *format, ...)
{
    va_list args;
    int n;

    va_start(args, format);
    n = vsnprintf(sql + (*used < size ? *used : size - 1), *used < size ? size - *used : 1,
                  format, args);
    va_end(args);
    if (n > 0)
        *used += (size_t)n;
}

/* The INSERT of one event: the columns of auditColumns in their order, a
 * placeholder ":column" for each bound value, literals for the others.
 * Returns 0 when the text had to be cut to fit sql. */
static int dbStatement(char *sql, size_t size, int reason)
{
    size_t used = 0;
    int i;

    sqlAppend(sql, size, &used, "INSERT INTO %s (", param.table);
    for (i = 0; i < AUDIT_COLUMN_COUNT; i++)
        sqlAppend(sql, size, &used, "%s%s", i > 0 ? ", " : "", auditColumns[i].name);
    sqlAppend(sql, size, &used, ") VALUES (");
    for (i = 0; i < AUDIT_COLUMN_COUNT; i++) {
        const char *sep = i > 0 ? ", " : "";
        switch (auditColumns[i].source) {
        case AUDIT_CATEGORY:
            sqlAppend(sql, size, &used, "%s%d", sep, SM_EVENT_CATEGORY_AUTH);
            break;
        case AUDIT_EVENT:
            sqlAppend(sql, size, &used, "%s%d", sep, SM_EVENT_AUTH_ACCEPT);
            break;
        case AUDIT_REASON:
            sqlAppend(sql, size, &used, "%s%d", sep, reason);
            break;
        case AUDIT_HOST:
        case AUDIT_FIELD:
            sqlAppend(sql, size, &used, "%s:%s", sep, auditColumns[i].name);
            break;
        }
    }
    sqlAppend(sql, size, &used, ")");
    return used < size;
}

/* Binds every placeholder of the statement in column order; 0 at the
 * first failure. */
static int dbBindAll(const struct SmLog_Access_s *e, const char *host)
{
    char placeholder[LINE_SIZE];

    for (int i = 0; i < AUDIT_COLUMN_COUNT; i++) {
        const struct AuditColumn *c = &auditColumns[i];
        if (c->source != AUDIT_HOST && c->source != AUDIT_FIELD)
            continue;
        snprintf(placeholder, sizeof placeholder, ":%s", c->name);
        if (!dbBindString(placeholder, c->source == AUDIT_HOST ? host : accessFieldText(e, c->field)))
            return 0;
    }
    return 1;
}

int dbInsertAuth(const struct SmLog_Access_s *e)
{
    char host[HOST_SIZE];
    char sql[SQL_SIZE];
    sword status;

    if (!dbConnect())
        return 0;
    hostName(host, sizeof host);
    /* A table name too long for the statement cuts it; the database then
     * refuses it and the writer retries, as with any failed insert. */
    if (!dbStatement(sql, sizeof sql, (int)e->nReason))
        trace(TRACE_ERROR, "SQL statement cut to %d characters", SQL_SIZE - 1);
    trace(TRACE_5, "SQL: %s", sql);
    if (!dbCheckStatus("OCI prepare statement",
                       oci.stmtPrepare(stmthp, errhp, (const OraText *)sql, (ub4)strlen(sql),
                                       OCI_NTV_SYNTAX, OCI_DEFAULT),
                       TRACE_3))
        return 0;
    if (!dbBindAll(e, host))
        return 0;
    status = oci.stmtExecute(svchp, stmthp, errhp, 1, 0, NULL, NULL, OCI_COMMIT_ON_SUCCESS);
    dbExecuteRefused = status == OCI_ERROR;
    return dbCheckStatus("OCI execute statement", status, TRACE_3);
}

/* ---- the audit journal (SPOOL_DIR) --------------------------------------- */
/*
 * With SPOOL_DIR, recording threads append each event to the journal and
 * the writer takes its events from there; the ring holds only what the
 * journal refused (a write failure, SPOOL_MAX_MB reached), as the handler
 * does without a journal. Order: an event goes to the journal only while
 * the ring is empty, decided under queueMutex, and the writer empties the
 * journal before it looks at the ring; so every event in the journal is
 * older than every event in the ring.
 *
 * At release the ring's events are appended to the journal, the head the
 * writer may be inserting included (it is oldest). Should that insert
 * succeed, the writer commits the head's journal copy too, so it is
 * written once.
 */

/* The journal could not be opened since the last SmEventInit: not tried
 * again for every event. queueMutex. */
static int journalFailed = 0;

/* Where the journal copy of the head under insert ends, when release made
 * one. queueMutex. */
static int savedHeadSet = 0;
static uint64_t savedHeadSegment = 0, savedHeadEnd = 0;

/* Writer: inserts the event; with REJECT_AFTER an event the database has
 * refused for its data that many times in a row is put aside instead.
 * 1 when the writer is done with the event. */
static int auditWriteEvent(const struct SmLog_Access_s *event)
{
    dbExecuteRefused = 0;
    if (dbInsertAuth(event)) {
        rejectForget();
        return 1;
    }
    return rejectAfterFailure(event, dbExecuteRefused && rejectIsDataError(dbDiagCode, dbDiagText),
                              dbDiagText);
}

/* From the journal's thread, when requeued events were taken in: start the
 * writer unless a release is under way, and wake it. Never waits for
 * queueMutex (0: busy, the thread tries again), since its holder may be
 * stopping that thread. */
static int auditWake(void)
{
    if (mutex_trylock(&queueMutex) != 0)
        return 0;
    if (queue != NULL || !writerAlive)
        auditInit();
    cond_signal(&queueCondEmpty);
    mutex_unlock(&queueMutex);
    return 1;
}

/* SmEventInit, queueMutex held, no writer running: the journal of the
 * settings in force; when it holds events of an earlier run, the writer
 * starts now. */
static void journalOpen(void)
{
    spoolClose();
    journalFailed = 0;
    journalStart();
    if (spoolPending())
        auditInit();
}

/* queueMutex held: the journal of the settings in force, unless open or
 * failed already; also when an event comes after a release and before the
 * next SmEventInit, so that it is not kept in memory only. */
static void journalStart(void)
{
    if (param.spoolDir[0] == '\0' || spoolIsOpen() || journalFailed)
        return;
    if (!spoolOpen(param.spoolDir, param.spoolSync, param.spoolMaxMb, auditWake))
        journalFailed = 1;
}

/* queueMutex held: appends the prepared event while the ring is empty,
 * starts the writer (unless a release is under way: the next start writes
 * it) and wakes it. 0: the event goes to the ring. */
static int journalPut(struct SpoolRecord *record)
{
    if (record->data == NULL || queueCount > 0)
        return 0;
    journalStart();
    if (!spoolAppend(record))
        return 0;
    if (queue != NULL || !writerAlive)
        auditInit();
    cond_signal(&queueCondEmpty);
    return 1;
}

/* Writer, without the lock: writes the journal's oldest event, or pauses
 * as after a failed insert. */
static void journalWriteHead(void)
{
    struct SmLog_Access_s *event = spoolPeek();

    if (event == NULL) {
        /* Unreadable for now (traced): try again after a pause. */
        if (spoolPending())
            kelSys.sleep(1);
        return;
    }
    if (auditWriteEvent(event))
        spoolCommit();
    else
        kelSys.sleep((unsigned int)param.retryDelay);
}

/* Writer, queueMutex held: waits for an event; when the journal holds one,
 * writes it and returns 1 (also when the ring is gone meanwhile). 0: the
 * ring's turn, or no journal. */
static int journalTurn(void)
{
    if (!spoolIsOpen())
        return 0;
    while (queue != NULL && queueCount == 0 && !spoolPending())
        cond_wait(&queueCondEmpty, &queueMutex);
    if (queue == NULL)
        return 1;
    if (!spoolPending())
        return 0;
    mutex_unlock(&queueMutex);
    journalWriteHead();
    mutex_lock(&queueMutex);
    return 1;
}

/* Release, queueMutex held: the ring's events go to the journal, oldest
 * first, so the next start writes them. Returns how many of the entries
 * queueFree will free were kept: the head under insert is left out, since
 * the writer frees it and the release counts it apart. */
static int journalKeepRing(void)
{
    int kept = 0, lost = 0;

    savedHeadSet = 0;
    if (!spoolIsOpen() || queue == NULL || queueCount == 0)
        return 0;
    for (int i = 0, slot = queueFirst; i < queueCount; i++, slot = (slot + 1) % queueCapacity) {
        uint64_t segment, end;
        if (!spoolAppendEvent(queue[slot], &segment, &end)) {
            lost++;
            continue;
        }
        kept++;
        if (queue[slot] == inFlight) {
            savedHeadSet = 1;
            savedHeadSegment = segment;
            savedHeadEnd = end;
        }
    }
    trace(TRACE_2, "auditRelease: %d events waiting in memory kept in the journal", kept);
    if (lost > 0)
        trace(TRACE_ERROR, "auditRelease: %d events waiting in memory discarded: the journal cannot take them",
              lost);
    return kept - savedHeadSet;
}

/* Writer, queueMutex held, after release: the head just inserted has a
 * journal copy; commit that too when the insert succeeded. */
static void journalSavedHeadDone(int inserted)
{
    if (savedHeadSet && inserted)
        spoolCommitIfEndsAt(savedHeadSegment, savedHeadEnd);
    savedHeadSet = 0;
}

/* ---- the writer thread ------------------------------------------------- */

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
    mutex_lock(&queueMutex);
    while (queue != NULL) {
        if (journalTurn())
            continue;
        event = queuePeek();
        if (event == NULL)
            continue;
        inFlight = event;
        mutex_unlock(&queueMutex);

        inserted = auditWriteEvent(event);

        mutex_lock(&queueMutex);
        inFlight = NULL;
        if (queue == NULL) {
            /* Released meanwhile: queueFree left this entry to us. */
            /* A head kept in the journal is written at the next start,
             * so it is not lost even when this insert failed. */
            inFlightLost = !inserted && !savedHeadSet;
            journalSavedHeadDone(inserted);
            eventFree(event);
            break;
        }
        if (inserted) {
            if (failures > 0) {
                trace(TRACE_1, "dbThreadFn: writing again after %d failed attempts in %ld s; events waiting: %d",
                      failures, (long)(kelTime() - failingSince), queueCount);
                failures = 0;
            }
            event = queueGet();
            mutex_unlock(&queueMutex);
            eventFree(event);
        } else {
            if (failures++ == 0)
                failingSince = kelTime();
            mutex_unlock(&queueMutex);
            kelSys.sleep((unsigned int)param.retryDelay);
        }
        mutex_lock(&queueMutex);
    }
    mutex_unlock(&queueMutex);
    dbDisconnect();
    trace(TRACE_3, "dbThreadFn: finishing");

    mutex_lock(&queueMutex);
    writerAlive = 0;
    mutex_unlock(&queueMutex);
    return NULL;
}

int auditInit(void)
{
    int rc;

    if (queue != NULL)
        return 1;
    trace(TRACE_3, "auditInit");
    if (writerAlive) {
        /* The writer of the last run has not ended yet (a release is in
         * progress); a second writer must never run beside it. */
        trace(TRACE_ERROR, "auditInit: previous database thread still running, event dropped");
        return 0;
    }
    applyPendingParam();
    journalStart();
    if (!queueCreate())
        return 0;
    writerAlive = 1;
    rc = thr_create(NULL, 0, dbThreadFn, NULL, 0, &dbThread);
    if (rc != 0) {
        trace(TRACE_ERROR, "Can't create database thread: error %d", rc);
        writerAlive = 0;
        dbThreadSet = 0;
        queueFree();
        return 0;
    }
    dbThreadSet = 1;
    trace(TRACE_3, "auditInit done");
    return 1;
}

void auditAuth(const struct SmLog_Access_s *event)
{
    struct SpoolRecord record;
    int journaled;

    trace(TRACE_3, "auditAuth");
    record.data = NULL;
    if (__atomic_load_n(&journalSet, __ATOMIC_RELAXED))
        spoolPrepare(event, &record);
    mutex_lock(&queueMutex);
    journaled = journalPut(&record);
    if (!journaled && auditInit()) {
        queuePut(event);
        /* The ring was freed while this waited for room (a release): with
         * a journal, the event goes there rather than away. */
        if (queue == NULL)
            journaled = journalPut(&record);
    }
    mutex_unlock(&queueMutex);
    spoolFinish(&record, journaled);
}

void auditRelease(void)
{
    thread_t writer;
    int joinWriter;
    int hadRing;
    int discarded;
    int waiters;
    int kept;

    trace(TRACE_2, "auditRelease");
    spoolStop();
    mutex_lock(&queueMutex);
    hadRing = queue != NULL;
    inFlightLost = 0;
    kept = journalKeepRing();
    queueFree();
    discarded = freedEntries - kept;
    /* With the journal, a recording sent away from its wait for room
     * appends its event there instead. */
    waiters = spoolIsOpen() ? 0 : sentAway;
    writer = dbThread;
    joinWriter = dbThreadSet;
    dbThreadSet = 0;
    mutex_unlock(&queueMutex);

    if (joinWriter) {
        trace(TRACE_3, "auditRelease: waiting for db thread to finish");
        thr_join(writer, NULL, NULL);
        trace(TRACE_3, "auditRelease: db thread finished");
    }
    mutex_lock(&queueMutex);
    /* The head under insert counts once the writer has said it failed. */
    discarded += inFlightLost;
    inFlightLost = 0;
    if (!writerAlive)
        applyPendingParam();
    /* An event recorded during the release may have started a new writer:
     * the journal stays open for it. */
    if (queue == NULL && !writerAlive)
        spoolClose();
    mutex_unlock(&queueMutex);
    if (hadRing || joinWriter)
        trace(discarded > 0 || waiters > 0 ? TRACE_ERROR : TRACE_3,
              "auditRelease: %d queued events discarded, %d waiting recording threads sent away",
              discarded, waiters);
    if (spoolIsOpen())
        spoolOpen(param.spoolDir, param.spoolSync, param.spoolMaxMb, auditWake);
}
