/*
 * claims.cpp - sessions accepted in this process, by session id.
 *
 * Threading: claimsLock makes the test and the claim one step, so of the
 * logins that reach it with the same session exactly one claims it.
 * Nothing else is locked or traced under it.
 */
#include "claims.h"

#include "kelsys.h"
#include "sidtable.h"
#include "synch.h"

static mutex_t claimsLock = DEFAULTMUTEX;
static SidTable claimed;

int claimSession(const char *sessionId, int lifetime)
{
    int64_t now = (int64_t)kelTime();
    int fresh;

    mutex_lock(&claimsLock);
    fresh = sidUnlessExpired(&claimed, sidFind(&claimed, sessionId), now) == NULL;
    if (fresh)
        sidAdd(&claimed, sessionId, now + lifetime);
    mutex_unlock(&claimsLock);
    return fresh;
}

void claimsClear(void)
{
    mutex_lock(&claimsLock);
    sidClear(&claimed);
    mutex_unlock(&claimsLock);
}
