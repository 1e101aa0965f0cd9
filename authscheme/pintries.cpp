/*
 * pintries.cpp - wrong PINs in a row, counted per session id.
 *
 * A session whose count has reached the limit stays locked while its entry
 * lives: a later login with it is refused even with the right PIN, so that
 * guesses sent at once, or after a logout that failed, gain nothing.
 *
 * Threading: triesLock guards the table for each whole check-and-update,
 * so concurrent guesses are counted one by one. Nothing else is locked or
 * traced under it.
 */
#include "pintries.h"

#include "kelsys.h"
#include "sidtable.h"
#include "synch.h"

static mutex_t triesLock = DEFAULTMUTEX;
static SidTable tries;

int pintriesRecord(const char *sessionId, int pinRight, int limit, int lifetime)
{
    int64_t now = 0;
    SidEntry *e;
    int result;

    mutex_lock(&triesLock);
    e = sidFind(&tries, sessionId);
    /* Most logins bring the right PIN for a session without a count: they
     * need no clock. */
    if (e != NULL || !pinRight) {
        now = (int64_t)kelTime();
        e = sidUnlessExpired(&tries, e, now);
    }
    if (e != NULL && e->value >= limit) {
        result = PINTRIES_LOCKED;
    } else if (pinRight) {
        if (e != NULL)
            sidRemove(&tries, e);
        result = PINTRIES_RIGHT;
    } else {
        if (e == NULL)
            e = sidAdd(&tries, sessionId, now + lifetime);
        e->value++;
        result = e->value >= limit ? PINTRIES_LIMIT : PINTRIES_WRONG;
    }
    mutex_unlock(&triesLock);
    return result;
}

void pintriesClear(void)
{
    mutex_lock(&triesLock);
    sidClear(&tries);
    mutex_unlock(&triesLock);
}
