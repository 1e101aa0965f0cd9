/*
 * pintries.h - the limit of wrong PINs in a row per single sign-on session
 * (scheme parameter PIN_TRIES).
 *
 * Counts are kept by session digest (see sidtable.h), in this process
 * only: each policy server counts the PINs posted to it. A count lives
 * until the session's maximum time has passed, or until a right PIN starts
 * it again; none is pushed out by newer ones. Counts outlive the scheme's
 * release and a new init, and are freed when the library is unloaded. When
 * the table is at its cap a wrong PIN that needs a new count cannot be
 * counted: the caller logs its session out as if the limit were reached,
 * and a level-1 line says so once per episode.
 *
 * Threading: safe from any thread; the table has its own lock, under which
 * nothing else is locked or traced (no trace line, no Agent API call).
 */
#ifndef PINTRIES_H
#define PINTRIES_H

#include <stddef.h>

#include "sidtable.h"

/* What pintriesRecord found. */
enum {
    PINTRIES_RIGHT = 1,  /* right PIN: the count starts again */
    PINTRIES_WRONG,      /* wrong PIN, counted, limit not reached */
    PINTRIES_LIMIT,      /* wrong PIN, and this one reached the limit */
    PINTRIES_LOCKED,     /* the limit had been reached before: refuse, whatever the PIN */
    PINTRIES_FULL        /* wrong PIN, and no room to count it: treat as the limit */
};

/* Records one PIN check of the session of key: pinRight says whether the
 * posted PIN matched, limit is PIN_TRIES (1 or more), lifetime the seconds
 * after which a new count is forgotten. Returns one of PINTRIES_*. */
int pintriesRecord(const SidKey *key, int pinRight, int limit, int lifetime);

/* For tests and benchmarks: forgets every count; sets the cap (0:
 * SIDTABLE_MAX_SESSIONS). */
void pintriesClear(void);
void pintriesSetCap(size_t cap);

#endif
