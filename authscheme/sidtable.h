/*
 * sidtable.h - a table keyed by single sign-on session, for what the scheme
 * remembers about sessions between logins.
 *
 * A session is known by a 128-bit digest of its id (sidKeyOf), compared in
 * full. An entry lives until its expiry time or until its owner removes it;
 * no live entry is ever pushed out. The table grows on demand, doubling,
 * up to SIDTABLE_MAX_SESSIONS entries; at that cap, or when memory to grow
 * is lacking, sidAdd refuses and the owner must fail closed. Expired entries
 * are removed as the table is used: a few slots are swept at every add, the
 * whole table before it would grow or while it is full (at most once a
 * second), so memory follows the live sessions.
 *
 * Memory: 24 bytes a slot, at most three quarters of the slots used, so
 * 32 to 64 bytes a session; at the cap SIDTABLE_MAX_SLOTS slots, 48 MiB
 * (72 MiB for a moment while the last doubling copies the entries over).
 *
 * Threading: none of its own. Each table belongs to one module, which
 * calls these functions under its own lock; sidKeyOf needs no lock.
 */
#ifndef SIDTABLE_H
#define SIDTABLE_H

#include <stddef.h>
#include <stdint.h>

/* Sessions a table holds at most: three quarters of its largest size. */
#define SIDTABLE_MAX_SESSIONS 1572864
/* Slots of the largest table, and of the first one. */
#define SIDTABLE_MAX_SLOTS 2097152
#define SIDTABLE_MIN_SLOTS 1024
/* Slots looked at for expired entries at every add: few, since in a large
 * table each look is a cache miss; a pass over the table takes its size
 * divided by this many adds. */
#define SIDTABLE_SWEEP_STEP 2

/* The digest of a session id. */
typedef struct SidKey {
    uint64_t h[2];
} SidKey;

typedef struct SidEntry {
    uint64_t key[2];
    uint32_t expires; /* seconds since the epoch; 0: a free slot */
    uint32_t value;   /* the owner's; 0 in a new entry */
} SidEntry;

/* Why sidAdd refused. */
enum { SIDTABLE_ROOM = 0, SIDTABLE_AT_CAP, SIDTABLE_NO_MEMORY };

/* A zero-filled table is empty; sidFree gives its memory back. */
typedef struct SidTable {
    SidEntry *slots;      /* size slots, or NULL before the first add */
    size_t size;          /* a power of two, or 0 */
    size_t count;         /* live and expired entries not yet swept */
    size_t sweepNext;     /* the next slot the sweep at each add looks at */
    int64_t lastFullSweep;
    size_t cap;           /* entries at most; 0: SIDTABLE_MAX_SESSIONS */
    int full;             /* SIDTABLE_ROOM, or why the last add was refused */
} SidTable;

/* The digest of sessionId (at most idSize characters are read): SipHash-2-4
 * with 128 bits of output, under a key drawn at random once per process. */
void sidKeyOf(const char *sessionId, size_t idSize, SidKey *key);

/* SipHash-2-4 of len bytes at data under key, 128 bits of output, as two
 * little-endian words (libsodium's crypto_shorthash_siphashx24). */
void sipHash128(const uint8_t key[16], const void *data, size_t len, uint64_t out[2]);

/* The entry of key, or NULL. Whether it has expired is for the caller to
 * ask (sidUnlessExpired), so that a lookup that finds nothing needs no
 * clock. */
SidEntry *sidFind(SidTable *t, const SidKey *key);

/* e while it is live at now; NULL, having removed it, once it has expired.
 * e may be NULL. */
SidEntry *sidUnlessExpired(SidTable *t, SidEntry *e, int64_t now);

/* Makes an entry for key (which must not have one) that expires at
 * expires. NULL when the table is at its cap or cannot grow; t->full then
 * says which, until an add succeeds again. */
SidEntry *sidAdd(SidTable *t, const SidKey *key, int64_t expires, int64_t now);

/* Removes one entry. Entry pointers are valid until the next add. */
void sidRemove(SidTable *t, SidEntry *e);

/* The most entries t takes. */
size_t sidCap(const SidTable *t);

/* Forgets every entry and gives the memory back; the cap is kept. */
void sidFree(SidTable *t);

#endif
