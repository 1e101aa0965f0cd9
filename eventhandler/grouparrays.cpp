/*
 * grouparrays.cpp - the column arrays of a grouped insert: how many of
 * the waiting events fit one group, the places their texts need, and the
 * copies of the texts into them (grouparrays.h).
 *
 * Threads: the writer thread alone (through dbsession.cpp); the arrays are
 * file-level state, kept while the session is connected.
 */
#include "grouparrays.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kelsys.h"
#include "trace.h"

/* Bytes the bound values of one group may take; a group of long values is
 * cut to fit (its rest is the next group). */
#define GROUP_BYTES (8u * 1024u * 1024u)
/* A column's place in its array is its longest text rounded up to this,
 * so that a text a little longer than the ones before it still fits. */
#define GROUP_WIDTH_STEP 64u
#define REASON_SIZE 16

static struct GroupArrays arrays;

const struct GroupArrays *groupArrays(void)
{
    return &arrays;
}

/* Bytes a bound column's text takes in its array, its terminator included;
 * 0 for a column given as a literal. */
static size_t groupWidth(const struct SmLog_Access_s *e, const struct AuditColumn *c, size_t hostLen)
{
    size_t len;

    switch (c->source) {
    case AUDIT_REASON:
        return REASON_SIZE;
    case AUDIT_HOST:
        len = hostLen;
        break;
    case AUDIT_FIELD:
        len = strlen(accessFieldText(e, c->field));
        break;
    default:
        return 0;
    }
    return (len / GROUP_WIDTH_STEP + 1) * GROUP_WIDTH_STEP;
}

/* How many of the first n events go in one group: as many as the places
 * their columns need fit GROUP_BYTES, one at least. width receives those
 * places, *rowBytes their sum. */
static int groupMeasure(struct SmLog_Access_s *const *events, int n, size_t hostLen,
                        size_t width[AUDIT_COLUMN_COUNT], size_t *rowBytes)
{
    int rows = 0;

    memset(width, 0, AUDIT_COLUMN_COUNT * sizeof *width);
    *rowBytes = 0;
    for (int r = 0; r < n; r++) {
        size_t next[AUDIT_COLUMN_COUNT];
        size_t sum = 0;
        for (int c = 0; c < AUDIT_COLUMN_COUNT; c++) {
            size_t w = groupWidth(events[r], &auditColumns[c], hostLen);
            next[c] = w > width[c] ? w : width[c];
            sum += next[c];
        }
        if (r > 0 && sum * (size_t)(r + 1) > GROUP_BYTES)
            break;
        memcpy(width, next, sizeof next);
        *rowBytes = sum;
        rows = r + 1;
    }
    return rows;
}

void groupRelease(void)
{
    for (int c = 0; c < AUDIT_COLUMN_COUNT; c++) {
        free(arrays.values[c]);
        arrays.values[c] = NULL;
        arrays.width[c] = 0;
    }
    free(arrays.inds);
    arrays.inds = NULL;
    arrays.capacity = 0;
}

/* Makes arrays of the widths given, for as many rows as maxRows asks and
 * GROUP_BYTES allows (rows at least); 0 when the memory cannot be had
 * (traced). */
static int groupAllocate(int rows, int maxRows, const size_t width[AUDIT_COLUMN_COUNT], size_t rowBytes)
{
    size_t fit = GROUP_BYTES / rowBytes;
    int capacity = fit < (size_t)maxRows ? (int)fit : maxRows;

    if (capacity < rows)
        capacity = rows;
    groupRelease();
    arrays.inds = (sb2 *)kelSys.calloc((size_t)capacity, sizeof *arrays.inds);
    int ok = arrays.inds != NULL;
    for (int c = 0; ok && c < AUDIT_COLUMN_COUNT; c++) {
        arrays.width[c] = width[c];
        if (width[c] == 0)
            continue;
        arrays.values[c] = (char *)kelSys.malloc(width[c] * (size_t)capacity);
        ok = arrays.values[c] != NULL;
    }
    if (!ok) {
        trace(TRACE_ERROR, "Can't allocate %lu bytes for a group of %d rows",
              (unsigned long)(rowBytes * (size_t)capacity), capacity);
        groupRelease();
        return 0;
    }
    arrays.capacity = capacity;
    return 1;
}

/* Copies the texts of row r into their places. Events of one group mostly
 * share their reason, so it is formatted only when it differs from the
 * row before. */
static void groupCopyRow(int r, const struct SmLog_Access_s *e, const struct SmLog_Access_s *before,
                         const char *host)
{
    for (int c = 0; c < AUDIT_COLUMN_COUNT; c++) {
        const struct AuditColumn *col = &auditColumns[c];
        size_t width = arrays.width[c];
        char *place = arrays.values[c] + width * (size_t)r;
        const char *text;

        if (width == 0)
            continue;
        if (col->source == AUDIT_REASON) {
            if (before != NULL && before->nReason == e->nReason)
                memcpy(place, place - width, width);
            else
                snprintf(place, width, "%d", (int)e->nReason);
            continue;
        }
        text = col->source == AUDIT_HOST ? host : accessFieldText(e, col->field);
        memcpy(place, text, strlen(text) + 1);
    }
}

int groupFill(struct SmLog_Access_s *const *events, int n, const char *host, int maxRows, int *remade)
{
    size_t width[AUDIT_COLUMN_COUNT];
    size_t rowBytes;
    int rows = groupMeasure(events, n, strlen(host), width, &rowBytes);
    int fits = rows <= arrays.capacity;

    for (int c = 0; fits && c < AUDIT_COLUMN_COUNT; c++)
        fits = width[c] <= arrays.width[c];
    *remade = !fits;
    if (!fits && !groupAllocate(rows, maxRows, width, rowBytes))
        return 0;
    for (int r = 0; r < rows; r++)
        groupCopyRow(r, events[r], r > 0 ? events[r - 1] : NULL, host);
    return rows;
}

void groupTraceValues(int rows)
{
    if (traceGetLevel() < TRACE_5)
        return;
    for (int c = 0; c < AUDIT_COLUMN_COUNT; c++)
        for (int r = 0; arrays.values[c] != NULL && r < rows; r++)
            trace(TRACE_5, "dbBindString :%s %s", auditColumns[c].name,
                  arrays.values[c] + arrays.width[c] * (size_t)r);
}
