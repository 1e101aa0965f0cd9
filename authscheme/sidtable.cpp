/*
 * sidtable.cpp - the session table: an open-addressing hash table of
 * digests (linear probing; a removal shifts the following slots back, so
 * no deleted markers pile up), grown by doubling and swept of expired
 * entries as it is used.
 *
 * The digest is SipHash-2-4 with 128 bits of output (libsodium's
 * crypto_shorthash_siphashx24) under a per-process random key. Session
 * ids come from the policy server, not from clients, but a keyed function
 * keeps both the digests and the slots they pick unpredictable: nobody can
 * make two ids share an entry or pile ids onto one probe run. 128 bits
 * make an accidental collision among even millions of sessions negligible
 * (about 2^-88), so comparing digests stands for comparing ids.
 *
 * Threading: none; the owner of a table locks it. The key is drawn once,
 * under pthread_once.
 */
#include "sidtable.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/time.h>
#include <unistd.h>

#include <sodium.h>

#include "kelsys.h"

static_assert(sizeof(SidEntry) == 24, "24 bytes a slot");
static_assert((SIDTABLE_MAX_SLOTS & (SIDTABLE_MAX_SLOTS - 1)) == 0, "sizes are powers of two");
static_assert((SIDTABLE_MIN_SLOTS & (SIDTABLE_MIN_SLOTS - 1)) == 0, "sizes are powers of two");
static_assert(SIDTABLE_MAX_SESSIONS == SIDTABLE_MAX_SLOTS / 4 * 3, "the cap fills the largest table");

static pthread_once_t keyOnce = PTHREAD_ONCE_INIT;
static uint8_t processKey[16];

/* ---- Digest ------------------------------------------------------------ */

static uint64_t littleEndian(const uint8_t *p)
{
    uint64_t w = 0;

    for (size_t i = 0; i < 8; i++)
        w |= (uint64_t)p[i] << (8 * i);
    return w;
}

void sipHash128(const uint8_t key[16], const void *data, size_t len, uint64_t out[2])
{
    uint8_t digest[crypto_shorthash_siphashx24_BYTES];

    static_assert(crypto_shorthash_siphashx24_BYTES == 16, "128 bits of output");
    static_assert(crypto_shorthash_siphashx24_KEYBYTES == 16, "a 128-bit key");
    crypto_shorthash_siphashx24(digest, (const unsigned char *)data, len, key);
    out[0] = littleEndian(digest);
    out[1] = littleEndian(digest + 8);
}

/* The process's key, from the kernel. Should it give none, a key made of
 * the time, the process id and an address still differs between processes
 * and is unknown outside; the ids it digests are not chosen by clients. */
static void drawKey(void)
{
    if (kelSys.getrandom(processKey, sizeof processKey, GRND_NONBLOCK) == (ssize_t)sizeof processKey)
        return;
    struct timeval tv = {0, 0};
    uint64_t seed[2];
    kelSys.gettimeofday(&tv);
    seed[0] = ((uint64_t)tv.tv_sec << 20) ^ (uint64_t)tv.tv_usec;
    seed[1] = ((uint64_t)getpid() << 32) ^ (uint64_t)(uintptr_t)&seed;
    memcpy(processKey, seed, sizeof processKey);
}

void sidKeyOf(const char *sessionId, size_t idSize, SidKey *key)
{
    pthread_once(&keyOnce, drawKey);
    sipHash128(processKey, sessionId, strnlen(sessionId, idSize), key->h);
}

/* ---- Table ------------------------------------------------------------- */

static int sameKey(const SidEntry *e, const SidKey *key)
{
    return e->key[0] == key->h[0] && e->key[1] == key->h[1];
}

static size_t homeOf(const SidTable *t, uint64_t h0)
{
    return (size_t)h0 & (t->size - 1);
}

static size_t growAt(const SidTable *t)
{
    return t->size / 4 * 3;
}

/* Frees slot hole, moving back each later slot of the probe run whose home
 * lies at or before the hole, so that every entry stays reachable from its
 * home. */
static void removeAt(SidTable *t, size_t hole)
{
    size_t mask = t->size - 1;
    size_t s = hole;

    for (;;) {
        s = (s + 1) & mask;
        if (t->slots[s].expires == 0)
            break;
        size_t home = homeOf(t, t->slots[s].key[0]);
        if (((s - home) & mask) >= ((s - hole) & mask)) {
            t->slots[hole] = t->slots[s];
            hole = s;
        }
    }
    memset(&t->slots[hole], 0, sizeof t->slots[hole]);
    t->count--;
}

static int expiredAt(const SidTable *t, size_t s, int64_t now)
{
    return t->slots[s].expires != 0 && (int64_t)t->slots[s].expires <= now;
}

/* Moves n slots on from where the last sweep stopped, removing the expired
 * entries it meets (each entry is removed once, so the removals are paid
 * for by the adds that made them). */
static void sweepSome(SidTable *t, int64_t now, int n)
{
    for (int i = 0; i < n;) {
        size_t s = t->sweepNext & (t->size - 1);
        if (expiredAt(t, s, now)) {
            removeAt(t, s); /* a later entry may have moved into s */
        } else {
            t->sweepNext = s + 1;
            i++;
        }
    }
}

static void sweepAll(SidTable *t, int64_t now)
{
    for (size_t s = 0; s < t->size; s++)
        while (expiredAt(t, s, now))
            removeAt(t, s);
    t->lastFullSweep = now;
}

/* A large table is read at random places: in huge pages a look-up misses
 * the TLB far less often. Only advice, whose outcome does not matter. */
static void adviseHugePages(void *p, size_t len)
{
    const uintptr_t huge = (uintptr_t)2 << 20;
    uintptr_t from = ((uintptr_t)p + huge - 1) & ~(huge - 1), to = ((uintptr_t)p + len) & ~(huge - 1);

    if (to > from)
        madvise((void *)from, to - from, MADV_HUGEPAGE);
}

/* Moves the live entries into a new array of size slots. 0 when memory is
 * lacking; the table is then as it was. */
static int resize(SidTable *t, size_t size, int64_t now)
{
    SidEntry *slots = (SidEntry *)kelSys.calloc(size, sizeof *slots);
    size_t count = 0;

    if (slots == NULL)
        return 0;
    adviseHugePages(slots, size * sizeof *slots);
    for (size_t i = 0; i < t->size; i++) {
        const SidEntry *e = &t->slots[i];
        if (e->expires == 0 || (int64_t)e->expires <= now)
            continue;
        size_t s = (size_t)e->key[0] & (size - 1);
        while (slots[s].expires != 0)
            s = (s + 1) & (size - 1);
        slots[s] = *e;
        count++;
    }
    free(t->slots);
    t->slots = slots;
    t->size = size;
    t->count = count;
    t->sweepNext = 0;
    return 1;
}

SidEntry *sidFind(SidTable *t, const SidKey *key)
{
    if (t->slots == NULL)
        return NULL;
    for (size_t s = homeOf(t, key->h[0]); t->slots[s].expires != 0; s = (s + 1) & (t->size - 1))
        if (sameKey(&t->slots[s], key))
            return &t->slots[s];
    return NULL;
}

SidEntry *sidUnlessExpired(SidTable *t, SidEntry *e, int64_t now)
{
    if (e == NULL || (int64_t)e->expires > now)
        return e;
    sidRemove(t, e);
    return NULL;
}

/* Makes room for one more entry: sweeps, and grows when the table would be
 * more than three quarters full. SIDTABLE_ROOM, or why there is none. */
static int makeRoom(SidTable *t, int64_t now)
{
    if (t->slots == NULL && !resize(t, SIDTABLE_MIN_SLOTS, now))
        return SIDTABLE_NO_MEMORY;
    sweepSome(t, now, SIDTABLE_SWEEP_STEP);
    if (t->count < sidCap(t) && t->count < growAt(t))
        return SIDTABLE_ROOM;
    /* While full, the whole table is swept at most once a second (entries
     * expire by the second), so refused adds stay cheap. */
    if (now != t->lastFullSweep)
        sweepAll(t, now);
    if (t->count >= sidCap(t))
        return SIDTABLE_AT_CAP;
    if (t->count < growAt(t))
        return SIDTABLE_ROOM;
    if (t->size >= SIDTABLE_MAX_SLOTS || !resize(t, t->size * 2, now))
        return SIDTABLE_NO_MEMORY;
    return SIDTABLE_ROOM;
}

SidEntry *sidAdd(SidTable *t, const SidKey *key, int64_t expires, int64_t now)
{
    size_t s;

    t->full = makeRoom(t, now);
    if (t->full != SIDTABLE_ROOM)
        return NULL;
    for (s = homeOf(t, key->h[0]); t->slots[s].expires != 0; s = (s + 1) & (t->size - 1))
        ;
    t->slots[s].key[0] = key->h[0];
    t->slots[s].key[1] = key->h[1];
    t->slots[s].expires = (uint32_t)(expires < 1 ? 1 : expires > (int64_t)UINT32_MAX ? UINT32_MAX : expires);
    t->slots[s].value = 0;
    t->count++;
    return &t->slots[s];
}

void sidRemove(SidTable *t, SidEntry *e)
{
    removeAt(t, (size_t)(e - t->slots));
}

size_t sidCap(const SidTable *t)
{
    return t->cap != 0 && t->cap < SIDTABLE_MAX_SESSIONS ? t->cap : SIDTABLE_MAX_SESSIONS;
}

void sidFree(SidTable *t)
{
    size_t cap = t->cap;

    free(t->slots);
    memset(t, 0, sizeof *t);
    t->cap = cap;
}
