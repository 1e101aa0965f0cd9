/*
 * paramcache.cpp - parsed parameter strings kept for the login path.
 *
 * The policy server passes a scheme instance's parameter string with every
 * login, and a server has few instances. Each distinct string (up to
 * CACHE_TEXT characters) that parses cleanly is kept parsed in one of
 * CACHE_SLOTS slots; other strings, and longer ones, are parsed on every
 * call. A string is kept whole and compared whole, so no two strings share
 * a kept parse.
 *
 * A clean parse traces only at level 5 (the string and each item), so at
 * levels below 5 a kept parse writes exactly what a fresh one would:
 * nothing. At level 5 and above the string is parsed afresh, with its
 * lines. A faulty string is never kept, so its level-1 lines
 * come with every login.
 *
 * Threading: a slot is filled once, with a compare-and-swap of an atomic
 * pointer to an entry that is never changed afterwards, so readers take
 * no lock. Entries are freed when the library is unloaded, when no call can
 * be running.
 */
#include "paramcache.h"

#include <atomic>
#include <stdlib.h>
#include <string.h>

#include "kelsys.h"
#include "trace.h"

#define CACHE_SLOTS 8
#define CACHE_TEXT 1024

struct Parsed {
    size_t len;
    char text[CACHE_TEXT];
    Parameters params;
};

static std::atomic<Parsed *> slots[CACHE_SLOTS];

/* The kept parse of text (len characters), or NULL. */
static const Parameters *findParsed(const char *text, size_t len)
{
    for (int i = 0; i < CACHE_SLOTS; i++) {
        const Parsed *e = slots[i].load(std::memory_order_acquire);
        if (e == NULL)
            return NULL; /* slots fill in order */
        if (e->len == len && memcmp(e->text, text, len) == 0)
            return &e->params;
    }
    return NULL;
}

/* Keeps a clean parse; nothing happens when memory or a slot is lacking,
 * or when another thread kept the same string first. */
static void keepParsed(const char *text, size_t len, const Parameters *p)
{
    Parsed *e = (Parsed *)kelSys.malloc(sizeof *e);

    if (e == NULL)
        return;
    e->len = len;
    memcpy(e->text, text, len);
    memcpy(&e->params, p, sizeof *p);
    for (int i = 0; i < CACHE_SLOTS; i++) {
        Parsed *expected = NULL;
        if (slots[i].compare_exchange_strong(expected, e, std::memory_order_acq_rel))
            return;
        if (expected->len == len && memcmp(expected->text, text, len) == 0)
            break;
    }
    free(e);
}

const Parameters *paramsFor(const char *text, Parameters *scratch)
{
    size_t len = text != NULL ? strnlen(text, CACHE_TEXT) : 0;
    int keep = len < CACHE_TEXT && traceGetLevel() < TRACE_5;
    const Parameters *kept;

    if (keep && (kept = findParsed(text != NULL ? text : "", len)) != NULL)
        return kept;
    if (!parseParameters(text, scratch))
        return NULL;
    if (keep)
        keepParsed(text != NULL ? text : "", len, scratch);
    return scratch;
}

__attribute__((destructor)) static void freeParsed(void)
{
    for (int i = 0; i < CACHE_SLOTS; i++)
        free(slots[i].exchange(NULL));
}
