/*
 * sidtable.h - a fixed-size table keyed by single sign-on session id, for
 * what the scheme remembers about sessions between logins.
 *
 * An entry lives until its expiry time, until its owner removes it, or
 * until SIDTABLE_SIZE newer entries have been made: entries are made in a
 * ring, and making one where the ring is still in use forgets the oldest.
 * Lookups go through a hash index, so every operation takes about the same
 * time however full the table is. A zero-filled table is empty.
 *
 * Threading: none of its own. Each table belongs to one module, which
 * calls these functions under its own lock.
 */
#ifndef SIDTABLE_H
#define SIDTABLE_H

#include <stdint.h>

#include "smagentapi.h"

/* Entries remembered at most. */
#define SIDTABLE_SIZE 1024
/* Slots of the hash index: a power of two, twice the entries, so that
 * probes stay short. */
#define SIDTABLE_INDEX_SIZE 2048
/* Capacity of a key: the session id field of the Agent API's session record. */
#define SIDTABLE_ID_SIZE SM_AGENTAPI_SESSIONID_SIZE

typedef struct SidEntry {
    char id[SIDTABLE_ID_SIZE];  /* zero-padded, at most SIDTABLE_ID_SIZE - 1 characters */
    uint64_t hash;
    int64_t expires;            /* seconds since the epoch */
    int value;                  /* the owner's; 0 in a new entry */
    int used;
} SidEntry;

typedef struct SidTable {
    SidEntry entries[SIDTABLE_SIZE];        /* a ring, in the order they were made */
    uint16_t index[SIDTABLE_INDEX_SIZE];    /* entry number + 1; 0: free slot */
    unsigned next;                          /* where the next entry is made */
} SidTable;

/* The entry of sessionId, or NULL. Whether it has expired is for the
 * caller to ask (sidUnlessExpired), so that a lookup that finds nothing
 * needs no clock. */
SidEntry *sidFind(SidTable *t, const char *sessionId);

/* e while it is live at now; NULL, having forgotten it, once it has
 * expired. e may be NULL. */
SidEntry *sidUnlessExpired(SidTable *t, SidEntry *e, int64_t now);

/* Makes an entry for sessionId (which must not have one) that expires at
 * expires, forgetting the oldest entry when the ring is full. */
SidEntry *sidAdd(SidTable *t, const char *sessionId, int64_t expires);

/* Forgets one entry. */
void sidRemove(SidTable *t, SidEntry *e);

/* Forgets every entry. */
void sidClear(SidTable *t);

#endif
