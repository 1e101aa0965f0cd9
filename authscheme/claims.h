/*
 * claims.h - a session cookie is accepted at most once in this process.
 *
 * An accepted login claims its session before it logs the session out;
 * any other login with the same session that gets as far (run at the same
 * time, or after a logout that failed) finds the claim and is refused.
 * Claims are kept by session digest (see sidtable.h) until the session's
 * maximum time has passed; none is pushed out by newer ones. They outlive
 * the scheme's release and a new init, and are freed when the library is
 * unloaded. When the table is at its cap a new claim is refused, so the
 * login must be refused too: a level-1 line says so once per episode.
 *
 * Threading: safe from any thread; the table has its own lock, under which
 * nothing else is locked or traced.
 */
#ifndef CLAIMS_H
#define CLAIMS_H

#include <stddef.h>

#include "sidtable.h"

/* What claimSession found. */
enum {
    CLAIM_MADE = 1, /* this call claimed the session */
    CLAIM_TAKEN,    /* claimed before: refuse */
    CLAIM_FULL      /* no room for a new claim: refuse */
};

/* Claims the session of key for one accepted login, to be remembered for
 * lifetime seconds. Returns one of CLAIM_*. */
int claimSession(const SidKey *key, int lifetime);

/* For tests: forgets every claim; sets the cap (0: SIDTABLE_MAX_SESSIONS);
 * a function called between the look-up and the claim (NULL: none). */
void claimsClear(void);
void claimsSetCap(size_t cap);
void claimsSetTestPause(void (*pause)(void));

#endif
