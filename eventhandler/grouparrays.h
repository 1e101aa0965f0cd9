/*
 * grouparrays.h - the column arrays of a grouped insert (BATCH_MAX above
 * 1): per bound column of auditColumns, the texts of a group's rows side
 * by side, one place of width[c] bytes each, with their null indicators.
 *
 * The arrays are kept from group to group, so that the database session
 * binds them once; they are made anew only for a group that needs more
 * rows or wider places. Writer thread only.
 */
#ifndef KEL_GROUPARRAYS_H
#define KEL_GROUPARRAYS_H

#include <stddef.h>

#include "accessfields.h"
#include "oci.h"
#include "smapi.h"

struct GroupArrays {
    int capacity;                     /* rows the arrays hold */
    size_t width[AUDIT_COLUMN_COUNT]; /* bytes of a place; 0: a column given as a literal */
    char *values[AUDIT_COLUMN_COUNT];
    sb2 *inds;
};

/* The arrays as they are now (none before the first group). */
const struct GroupArrays *groupArrays(void);

/* Puts the first rows of events (as many as fit, one at least) into the
 * arrays, made anew for at most maxRows rows when these need more room;
 * *remade tells that they were (their binds must be made again). Returns
 * the number of rows, 0 when the memory cannot be had (traced). */
int groupFill(struct SmLog_Access_s *const *events, int n, const char *host, int maxRows, int *remade);

/* Traces the values of the first rows at level 5, as dbBindString traces
 * a single row's. */
void groupTraceValues(int rows);

/* Frees the arrays. */
void groupRelease(void);

#endif
