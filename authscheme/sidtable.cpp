/*
 * sidtable.cpp - the fixed-size session id table: a ring of entries and an
 * open-addressing hash index over it (linear probing; a removal shifts the
 * following slots back, so no deleted markers pile up).
 *
 * Threading: none; the owner of a table locks it.
 */
#include "sidtable.h"

#include <string.h>

#define INDEX_MASK (SIDTABLE_INDEX_SIZE - 1)

static_assert((SIDTABLE_INDEX_SIZE & INDEX_MASK) == 0, "index size is a power of two");
static_assert(SIDTABLE_INDEX_SIZE >= 2 * SIDTABLE_SIZE, "index at most half full");
static_assert(SIDTABLE_SIZE < 65535, "entry numbers fit the index");
static_assert(SIDTABLE_ID_SIZE % 8 == 0, "keys hashed a word at a time");

/* The key as stored: the id cut to fit and zero-padded, so that keys are
 * compared and hashed whole. */
static void makeKey(char *key, const char *sessionId)
{
    size_t n = strnlen(sessionId, SIDTABLE_ID_SIZE - 1);

    memset(key, 0, SIDTABLE_ID_SIZE);
    memcpy(key, sessionId, n);
}

static uint64_t keyHash(const char *key)
{
    uint64_t h = 0x9e3779b97f4a7c15u;

    for (size_t i = 0; i < SIDTABLE_ID_SIZE; i += 8) {
        uint64_t w;

        memcpy(&w, key + i, sizeof w);
        h = (h ^ w) * 0xff51afd7ed558ccdu;
        h ^= h >> 32;
    }
    return h;
}

static unsigned entryNumber(const SidTable *t, const SidEntry *e)
{
    return (unsigned)(e - t->entries);
}

/* The index slot that holds entry e. */
static unsigned slotOf(const SidTable *t, const SidEntry *e)
{
    unsigned want = entryNumber(t, e) + 1;
    unsigned s = (unsigned)(e->hash & INDEX_MASK);

    while (t->index[s] != want)
        s = (s + 1) & INDEX_MASK;
    return s;
}

/* Frees index slot hole, moving back each later slot of the probe run
 * whose home lies at or before the hole, so that every entry stays
 * reachable from its home. */
static void freeSlot(SidTable *t, unsigned hole)
{
    unsigned s = hole;

    for (;;) {
        s = (s + 1) & INDEX_MASK;
        if (t->index[s] == 0)
            break;
        unsigned home = (unsigned)(t->entries[t->index[s] - 1].hash & INDEX_MASK);
        if (((s - home) & INDEX_MASK) >= ((s - hole) & INDEX_MASK)) {
            t->index[hole] = t->index[s];
            hole = s;
        }
    }
    t->index[hole] = 0;
}

SidEntry *sidFind(SidTable *t, const char *sessionId)
{
    char key[SIDTABLE_ID_SIZE];
    uint64_t hash;
    unsigned s;

    makeKey(key, sessionId);
    hash = keyHash(key);
    for (s = (unsigned)(hash & INDEX_MASK); t->index[s] != 0; s = (s + 1) & INDEX_MASK) {
        SidEntry *e = &t->entries[t->index[s] - 1];

        if (e->hash == hash && memcmp(e->id, key, SIDTABLE_ID_SIZE) == 0)
            return e;
    }
    return NULL;
}

SidEntry *sidUnlessExpired(SidTable *t, SidEntry *e, int64_t now)
{
    if (e == NULL || e->expires > now)
        return e;
    sidRemove(t, e);
    return NULL;
}

SidEntry *sidAdd(SidTable *t, const char *sessionId, int64_t expires)
{
    SidEntry *e = &t->entries[t->next];
    unsigned s;

    t->next = (t->next + 1) % SIDTABLE_SIZE;
    if (e->used)
        sidRemove(t, e); /* the oldest */
    makeKey(e->id, sessionId);
    e->hash = keyHash(e->id);
    e->expires = expires;
    e->value = 0;
    e->used = 1;
    for (s = (unsigned)(e->hash & INDEX_MASK); t->index[s] != 0; s = (s + 1) & INDEX_MASK)
        ;
    t->index[s] = (uint16_t)(entryNumber(t, e) + 1);
    return e;
}

void sidRemove(SidTable *t, SidEntry *e)
{
    freeSlot(t, slotOf(t, e));
    memset(e, 0, sizeof *e);
}

void sidClear(SidTable *t)
{
    memset(t, 0, sizeof *t);
}
