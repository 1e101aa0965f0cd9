/*
 * accessfields.h - the texts of an access record (SmLog_Access_s) and the
 * columns of the audit row, each described once.
 *
 * accessFields lists the record's fifteen texts in the record's order: the
 * copy, the free and the field trace lines of the handler walk it, and so
 * do the host simulator, the test fixtures and the benchmarks that fill
 * records. auditColumns lists the audit row's columns in the INSERT's
 * order: the statement text and the binds are made from it. Constant data;
 * safe from any thread.
 */
#ifndef KEL_ACCESSFIELDS_H
#define KEL_ACCESSFIELDS_H

#include <stddef.h>

#include "smapi.h"

#define ACCESS_FIELD_COUNT 15

struct AccessField {
    size_t offset;     /* of the char * member in SmLog_Access_s */
    const char *label; /* member name, as the trace shows it */
};

extern const struct AccessField accessFields[ACCESS_FIELD_COUNT];

/* Where the value of an audit column comes from. */
enum AuditSource {
    AUDIT_CATEGORY, /* SM_EVENT_CATEGORY_AUTH, as a literal */
    AUDIT_EVENT,    /* SM_EVENT_AUTH_ACCEPT, as a literal */
    AUDIT_HOST,     /* this host's name, bound */
    AUDIT_REASON,   /* the record's nReason, as a literal */
    AUDIT_FIELD     /* a text of the record, bound */
};

#define AUDIT_COLUMN_COUNT 17

struct AuditColumn {
    const char *name;        /* column; its placeholder is ":" and the name */
    enum AuditSource source;
    int field;               /* index into accessFields for AUDIT_FIELD, else -1 */
};

extern const struct AuditColumn auditColumns[AUDIT_COLUMN_COUNT];

/* The slot of accessFields[i] in record r. */
char **accessFieldSlot(struct SmLog_Access_s *r, int i);

/* The text of accessFields[i] in record r. */
const char *accessFieldText(const struct SmLog_Access_s *r, int i);

/* Frees a record allocated with its texts (an event copy, or an event read
 * back from the journal) and every text in it; NULL is ignored. */
void eventFree(struct SmLog_Access_s *copy);

#endif
