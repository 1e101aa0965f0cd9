/*
 * claims.cpp - sessions accepted in this process, by session digest.
 *
 * Threading: claimsLock makes the look-up and the claim one step, so of
 * the logins that reach it with the same session exactly one claims it.
 * The lines about a full table are written after it is released.
 */
#include "claims.h"

#include "kelsys.h"
#include "synch.h"
#include "trace.h"

static mutex_t claimsLock = DEFAULTMUTEX;
static SidTable claimed;            /* under claimsLock */
static void (*testPause)(void);     /* set by tests before logins start */

/* One line when refusals begin, one when an add succeeds again. */
static void traceEpisode(int wasFull, int full, size_t cap, size_t count)
{
    if (full == wasFull)
        return;
    if (full == SIDTABLE_AT_CAP)
        trace(TRACE_ERROR, "Accept-once claims full at %zu sessions: logins are refused until claims expire",
              cap);
    else if (full == SIDTABLE_NO_MEMORY)
        trace(TRACE_ERROR, "Accept-once claims cannot grow beyond %zu sessions (no memory): logins are refused",
              count);
    else
        trace(TRACE_2, "Accept-once claims have room again");
}

int claimSession(const SidKey *key, int lifetime)
{
    int64_t now = (int64_t)kelTime();
    int result, wasFull, full;
    size_t cap, count;

    mutex_lock(&claimsLock);
    wasFull = claimed.full;
    if (sidUnlessExpired(&claimed, sidFind(&claimed, key), now) != NULL) {
        result = CLAIM_TAKEN;
    } else {
        if (testPause != NULL)
            testPause();
        result = sidAdd(&claimed, key, now + lifetime, now) != NULL ? CLAIM_MADE : CLAIM_FULL;
    }
    full = claimed.full;
    cap = sidCap(&claimed);
    count = claimed.count;
    mutex_unlock(&claimsLock);
    traceEpisode(wasFull, full, cap, count);
    return result;
}

void claimsClear(void)
{
    mutex_lock(&claimsLock);
    sidFree(&claimed);
    mutex_unlock(&claimsLock);
}

void claimsSetCap(size_t cap)
{
    mutex_lock(&claimsLock);
    claimed.cap = cap;
    mutex_unlock(&claimsLock);
}

void claimsSetTestPause(void (*pause)(void))
{
    testPause = pause;
}

/* At unload no call can be running. */
__attribute__((destructor)) static void claimsFree(void)
{
    sidFree(&claimed);
}
