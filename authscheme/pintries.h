/*
 * pintries.h - the limit of wrong PINs in a row per single sign-on session
 * (scheme parameter PIN_TRIES).
 *
 * Counts are kept by session id, in this process only: each policy server
 * counts the PINs posted to it. They live in a fixed-size table (see
 * sidtable.h): an entry expires when the session can no longer be valid,
 * and the oldest are forgotten when more sessions than the table holds
 * have wrong PINs. pintriesClear empties it at the scheme's last release.
 *
 * Threading: safe from any thread; the table has its own lock, under which
 * nothing else is locked (no trace line, no Agent API call).
 */
#ifndef PINTRIES_H
#define PINTRIES_H

/* What pintriesRecord found. */
enum {
    PINTRIES_RIGHT = 1,  /* right PIN: the count starts again */
    PINTRIES_WRONG,      /* wrong PIN, counted, limit not reached */
    PINTRIES_LIMIT,      /* wrong PIN, and this one reached the limit */
    PINTRIES_LOCKED      /* the limit had been reached before: refuse, whatever the PIN */
};

/* Records one PIN check of the session: pinRight says whether the posted
 * PIN matched, limit is PIN_TRIES (1 or more), lifetime the seconds after
 * which a new count is forgotten. Returns one of PINTRIES_*. */
int pintriesRecord(const char *sessionId, int pinRight, int limit, int lifetime);

/* Forgets every count. */
void pintriesClear(void);

#endif
