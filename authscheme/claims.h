/*
 * claims.h - a session cookie is accepted at most once in this process.
 *
 * An accepted login claims its session before it logs the session out;
 * any other login with the same session that gets as far (run at the same
 * time, or after a logout that failed) finds the claim and is refused.
 * Claims are kept by session id in a fixed-size table (see sidtable.h):
 * one expires when the session can no longer be valid, and the oldest are
 * forgotten when more sessions than the table holds have been accepted
 * since. claimsClear empties it at the scheme's last release.
 *
 * Threading: safe from any thread; the table has its own lock, under which
 * nothing else is locked.
 */
#ifndef CLAIMS_H
#define CLAIMS_H

/* Claims the session for one accepted login, to be remembered for lifetime
 * seconds. Returns 1 when this call claimed it, 0 when it was claimed
 * before. */
int claimSession(const char *sessionId, int lifetime);

/* Forgets every claim. */
void claimsClear(void);

#endif
