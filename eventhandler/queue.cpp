/*
 * queue.cpp - event copies and the bounded ring of them.
 *
 * Threads: any number of policy server threads put copies into the ring
 * (auditAuth); the one database writer peeks at the head, inserts it
 * outside the lock and then gets it; the thread that releases the handler
 * frees the ring. queueMutex guards every field of the ring below; the
 * two conditions are waited on with it. The lock order of the handler is
 * in docs/internals.md, "Locks".
 *
 * Stalls are traced at level 1: a stall begins when a recording thread
 * finds the ring full and waits, and ends when the writer has brought the
 * ring down to half its capacity with nobody waiting (so a ring that
 * stays full under load is one stall, not one per event).
 *
 * A recording thread makes its copy before it takes the lock, and frees
 * one the writer is done with after it lets the lock go (queueRetire);
 * the writer yields a while before it sleeps on an empty ring. Why:
 * docs/internals.md, "The recording path".
 *
 * Ownership at release: the entries the writer is inserting (the head, or
 * a group from the head) are marked in flight. queueFree discards every
 * entry but those; the writer, back under the lock and finding the ring
 * gone, frees them itself. So every copy is freed exactly once and none
 * while in use.
 */
#include "queue.h"

#include <sched.h>
#include <stdio.h>
#include <stdlib.h>

#include "kelsys.h"
#include "smeventkel.h"
#include "synch.h"
#include "trace.h"

/* Times a consumer finding the ring empty yields its processor, watching
 * the count, before it sleeps on queueCondEmpty (see queueWaitEntry). */
#define QUEUE_SPINS 100
/* Copies a consumer is done with, kept for recording threads to free. */
#define QUEUE_RETIRED_MAX 64

static mutex_t queueMutex = DEFAULTMUTEX;
/* Both live as long as the library, so a ring created after a release
 * finds them ready (destroying them under late waiters would be unsafe). */
static cond_t queueCondFull = DEFAULTCV;
static cond_t queueCondEmpty = DEFAULTCV;

/* The ring; every field under queueMutex. */
static struct Ring {
    struct SmLog_Access_s **slots = NULL; /* NULL: no ring */
    int capacity = 0;
    int first = 0;                        /* the head */
    int next = 0;                         /* the slot the next put fills */
    int count = 0;
    int inFlight = 0;                     /* entries from the head the writer is inserting */
    /* Copies the writer is done with, left for recording threads to free
     * (see queueRetire); kept across rings, freed by queueFree. The count
     * sits beside the ring's own: a put reads both. */
    int retiredCount = 0;
    /* Recording threads held up by a full ring. */
    int putWaiters = 0;                   /* waiting for room now */
    int stallActive = 0;                  /* a stall has been traced as begun */
    struct timeval stallStart = {0, 0};
    int stallWaits = 0;                   /* puts that waited during this stall */
    struct SmLog_Access_s *retired[QUEUE_RETIRED_MAX] = {};
    /* What the last queueFree threw away. */
    int freedEntries = 0;
    int sentAway = 0;
} ring;

/* ---- event copies ----------------------------------------------------- */

struct SmLog_Access_s *eventCopyAhead(const struct SmLog_Access_s *event)
{
    struct SmLog_Access_s *copy;
    int failed = 0;

    copy = (struct SmLog_Access_s *)kelSys.malloc(sizeof *copy);
    if (copy == NULL)
        return NULL;
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
        return NULL;
    }
    return copy;
}

struct SmLog_Access_s *eventCopy(const struct SmLog_Access_s *event)
{
    struct SmLog_Access_s *copy = eventCopyAhead(event);

    if (copy == NULL)
        trace(TRACE_ERROR, "Can't allocate memory for event copy");
    return copy;
}

/* ---- the lock and small views ------------------------------------------ */

void queueLock(void)
{
    mutex_lock(&queueMutex);
}

void queueUnlock(void)
{
    mutex_unlock(&queueMutex);
}

int queueTryLock(void)
{
    return mutex_trylock(&queueMutex) == 0;
}

int queueState(int *first, int *next, int *count, int *capacity)
{
    *first = ring.first;
    *next = ring.next;
    *count = ring.count;
    *capacity = ring.capacity;
    return ring.slots != NULL;
}

int queueExists(void)
{
    return ring.slots != NULL;
}

int queueLength(void)
{
    return ring.count;
}

struct SmLog_Access_s *queueAt(int i)
{
    return ring.slots[(ring.first + i) % ring.capacity];
}

void queueWaitEvent(void)
{
    cond_wait(&queueCondEmpty, &queueMutex);
}

void queueWakeWriter(void)
{
    cond_signal(&queueCondEmpty);
}

void queueSetInFlight(int count)
{
    ring.inFlight = count;
}

int queueInFlight(void)
{
    return ring.inFlight;
}

void queueFreed(int *entries, int *waiters)
{
    *entries = ring.freedEntries;
    *waiters = ring.sentAway;
}

/* ---- the ring ----------------------------------------------------------- */

int queueCreate(void)
{
    trace(TRACE_3, "queueCreate");
    /* A capacity below 1 is raised to 1 when the settings are read; guard
     * here too, as a ring without a slot would block every put. */
    ring.capacity = param.maxQueue < 1 ? 1 : param.maxQueue;
    /* calloc, not malloc and memset: a large ring then comes as fresh zero
     * pages, touched only as slots are used, instead of being written
     * whole under queueMutex on a host thread. */
    ring.slots = (struct SmLog_Access_s **)kelSys.calloc((size_t)ring.capacity, sizeof *ring.slots);
    if (ring.slots == NULL)
        trace(TRACE_ERROR, "Can't allocate space for event queue");
    ring.first = 0;
    ring.next = 0;
    __atomic_store_n(&ring.count, 0, __ATOMIC_RELAXED);
    return ring.slots != NULL;
}

/* The monotonic clock through the system table, so that a clock set
 * back or forward does not change a stall's length; zero when it cannot
 * be had. */
static struct timeval stallClock(void)
{
    struct timespec ts;
    struct timeval tv = {0, 0};

    if (kelSys.monotonic(&ts) == 0) {
        tv.tv_sec = ts.tv_sec;
        tv.tv_usec = (suseconds_t)(ts.tv_nsec / 1000);
    }
    return tv;
}

/* A put is about to wait for room: the first of a stall says so. */
static void stallBegin(void)
{
    ring.stallWaits++;
    if (ring.stallActive)
        return;
    ring.stallActive = 1;
    ring.stallStart = stallClock();
    trace(TRACE_ERROR, "queuePut: queue full (%d events), recording threads wait for the "
                       "database writer", ring.capacity);
}

/* After a get: once the ring is down to half its capacity and nobody
 * waits, the stall is over; its length is traced. */
static void stallEndIfOver(void)
{
    struct timeval now;
    long long ms;
    char seconds[32];

    if (!ring.stallActive || ring.putWaiters > 0 || ring.count > ring.capacity / 2)
        return;
    now = stallClock();
    ms = ((long long)now.tv_sec - ring.stallStart.tv_sec) * 1000 +
         (now.tv_usec - ring.stallStart.tv_usec) / 1000;
    snprintf(seconds, sizeof seconds, "%lld.%03lld", ms / 1000, ms % 1000);
    trace(TRACE_ERROR, "queuePut: queue has room again after %s s; %d recordings waited",
          seconds, ring.stallWaits);
    ring.stallActive = 0;
    ring.stallWaits = 0;
}

/* Waits for room, then stores a copy of event: the one made ahead when
 * ahead is set (NULL when it failed), else one made now. A copy made ahead
 * is freed here when the ring went while this waited. */
static void queueStore(const struct SmLog_Access_s *event, struct SmLog_Access_s *copy, int ahead)
{
    trace(TRACE_4, "queuePut: entry %d, user %s, %d already in queue", ring.next,
          event->szUserName, ring.count);
    if (ring.slots != NULL && ring.count >= ring.capacity)
        stallBegin();
    while (ring.slots != NULL && ring.count >= ring.capacity) {
        trace(TRACE_4, "queuePut: waiting - queue full");
        ring.putWaiters++;
        cond_wait(&queueCondFull, &queueMutex);
        ring.putWaiters--;
    }
    if (ring.slots == NULL) {
        eventFree(copy);
        return;
    }
    if (!ahead)
        copy = eventCopy(event);
    else if (copy == NULL)
        trace(TRACE_ERROR, "Can't allocate memory for event copy");
    if (copy == NULL)
        return;
    ring.slots[ring.next] = copy;
    __atomic_store_n(&ring.count, ring.count + 1, __ATOMIC_RELAXED);
    if (++ring.next == ring.capacity)
        ring.next = 0;
    cond_signal(&queueCondEmpty);
}

void queuePut(const struct SmLog_Access_s *event)
{
    queueStore(event, NULL, 0);
}

void queuePutAhead(const struct SmLog_Access_s *event, struct SmLog_Access_s *copy)
{
    queueStore(event, copy, 1);
}

/* The allocator keeps a cache of freed blocks per thread: blocks freed on
 * the writer's thread fill the writer's cache, while the recording thread
 * that allocates the next copy finds its own empty and takes the arena's
 * slow path. Handing the writer's finished copies back to the recording
 * threads keeps each block cycling through one thread's cache. */
int queueRetire(struct SmLog_Access_s *copy)
{
    if (ring.retiredCount == QUEUE_RETIRED_MAX)
        return 0;
    ring.retired[ring.retiredCount++] = copy;
    return 1;
}

struct SmLog_Access_s *queueTakeRetired(void)
{
    if (ring.retiredCount == 0)
        return NULL;
    return ring.retired[--ring.retiredCount];
}

/* Waits while the ring is empty; returns 0 when there is no ring. Before
 * it sleeps it lets the lock go and yields its processor a while, watching
 * the count: under a steady stream of events the next one comes within
 * that while, and the recording thread that puts it finds nobody to wake
 * (a wake-up is a system call on the recording thread, and the sleep and
 * wake-up two context switches for the writer). The count is stored
 * atomically under the lock for this look without it. */
static int queueWaitEntry(const char *waitMessage)
{
    if (ring.count == 0 && ring.slots != NULL) {
        queueUnlock();
        for (int i = 0; i < QUEUE_SPINS && __atomic_load_n(&ring.count, __ATOMIC_RELAXED) == 0; i++)
            sched_yield();
        queueLock();
    }
    while (ring.count == 0) {
        if (ring.slots == NULL)
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
    entry = ring.slots[ring.first];
    trace(TRACE_4, "queueGet: entry %d, user %s", ring.first, entry->szUserName);
    ring.slots[ring.first] = NULL;
    __atomic_store_n(&ring.count, ring.count - 1, __ATOMIC_RELAXED);
    if (++ring.first == ring.capacity)
        ring.first = 0;
    cond_signal(&queueCondFull);
    stallEndIfOver();
    return entry;
}

struct SmLog_Access_s *queuePeek(void)
{
    struct SmLog_Access_s *entry;

    if (!queueWaitEntry("queuePeek: waiting - queue empty"))
        return NULL;
    entry = ring.slots[ring.first];
    trace(TRACE_4, "queuePeek: entry %d, user %s", ring.first, entry->szUserName);
    return entry;
}

void queueFree(void)
{
    trace(TRACE_3, "queueFree");
    ring.freedEntries = 0;
    ring.sentAway = 0;
    if (ring.slots == NULL)
        return;
    /* The waiters are sent away below; the release reports the stall's end. */
    ring.stallActive = 0;
    ring.stallWaits = 0;
    for (int i = 0; ring.count > 0; i++) {
        struct SmLog_Access_s *entry = queueGet();
        /* The writer is inserting this one; it frees it when it is done. */
        if (i >= ring.inFlight) {
            eventFree(entry);
            ring.freedEntries++;
        }
    }
    ring.inFlight = 0;
    while (ring.retiredCount > 0)
        eventFree(ring.retired[--ring.retiredCount]);
    free(ring.slots);
    ring.slots = NULL;
    ring.sentAway = ring.putWaiters;
    cond_broadcast(&queueCondEmpty);
    cond_broadcast(&queueCondFull);
}
