/*
 * pintries.cpp - wrong PINs in a row, counted per session digest.
 *
 * A session whose count has reached the limit stays locked while its entry
 * lives: a later login with it is refused even with the right PIN, so that
 * guesses sent at once, or after a logout that failed, gain nothing.
 *
 * Threading: triesLock guards the table for each whole check-and-update,
 * so concurrent guesses are counted one by one. The lines about a full
 * table are written after it is released.
 */
#include "pintries.h"

#include "kelsys.h"
#include "synch.h"
#include "trace.h"

static mutex_t triesLock = DEFAULTMUTEX;
static SidTable tries; /* under triesLock */

/* One line when refusals begin, one when an add succeeds again. */
static void traceEpisode(int wasFull, int full, size_t cap, size_t count)
{
    if (full == wasFull)
        return;
    if (full == SIDTABLE_AT_CAP)
        trace(TRACE_ERROR, "PIN counts full at %zu sessions: a wrong PIN that needs a new count logs its "
                           "session out", cap);
    else if (full == SIDTABLE_NO_MEMORY)
        trace(TRACE_ERROR, "PIN counts cannot grow beyond %zu sessions (no memory): a wrong PIN that needs "
                           "a new count logs its session out", count);
    else
        trace(TRACE_2, "PIN counts have room again");
}

/* The update under triesLock. */
static int record(const SidKey *key, int pinRight, int limit, int lifetime)
{
    SidEntry *e = sidFind(&tries, key);
    int64_t now = 0;

    /* Most logins bring the right PIN for a session without a count: they
     * need no clock. */
    if (e != NULL || !pinRight) {
        now = (int64_t)kelTime();
        e = sidUnlessExpired(&tries, e, now);
    }
    if (e != NULL && (int)e->value >= limit)
        return PINTRIES_LOCKED;
    if (pinRight) {
        if (e != NULL)
            sidRemove(&tries, e);
        return PINTRIES_RIGHT;
    }
    if (e == NULL && (e = sidAdd(&tries, key, now + lifetime, now)) == NULL)
        return PINTRIES_FULL;
    e->value++;
    return (int)e->value >= limit ? PINTRIES_LIMIT : PINTRIES_WRONG;
}

int pintriesRecord(const SidKey *key, int pinRight, int limit, int lifetime)
{
    int result, wasFull, full;
    size_t cap, count;

    mutex_lock(&triesLock);
    wasFull = tries.full;
    result = record(key, pinRight, limit, lifetime);
    full = tries.full;
    cap = sidCap(&tries);
    count = tries.count;
    mutex_unlock(&triesLock);
    traceEpisode(wasFull, full, cap, count);
    return result;
}

void pintriesClear(void)
{
    mutex_lock(&triesLock);
    sidFree(&tries);
    mutex_unlock(&triesLock);
}

void pintriesSetCap(size_t cap)
{
    mutex_lock(&triesLock);
    tries.cap = cap;
    mutex_unlock(&triesLock);
}

/* At unload no call can be running. */
__attribute__((destructor)) static void pintriesFree(void)
{
    sidFree(&tries);
}
