/*
 * auditconf.h - kelaudit.conf: the event handler's settings and the one
 * reader of the file, used by the handler (SmEventInit), by kelaudit and
 * by smhost check, so that all three see the same settings.
 *
 * The reader traces what it finds (trace.h); a tool that links it puts its
 * own trace functions in place of the trace module and reports from
 * struct AuditConfRead in its own words. No state of its own; safe from
 * any thread for distinct records.
 */
#ifndef KEL_AUDITCONF_H
#define KEL_AUDITCONF_H

#include "kelcommon.h"

/* Settings read from kelaudit.conf. */
struct Param {
    int minLevel;                /* lowest auth level audited */
    char dataSource[BUF_SIZE];   /* database connect string */
    char user[BUF_SIZE];         /* database user */
    char password[BUF_SIZE];     /* database password, in clear */
    char table[BUF_SIZE];        /* audit table */
    int maxQueue;                /* queue capacity, in events */
    int retryDelay;              /* seconds between database attempts */
    char spoolDir[PATH_SIZE];    /* the audit journal's folder; empty: none */
    int spoolSync;               /* enum SpoolSync of spool.h */
    int spoolFull;               /* enum SpoolFull of spool.h: a full journal waits or uses memory */
    int spoolMaxMb;              /* journal size beyond which it counts as full */
    int rejectAfter;             /* data refusals before an event is put aside; 0: never */
    char rejectFile[PATH_SIZE];  /* where put-aside events go (derived, not a key) */
    int batchMax;                /* events the writer inserts with one execute, 1 to BATCH_MAX_LIMIT */
    char statusFile[PATH_SIZE];  /* the file for monitoring (status.h); empty: none */
};

/* The largest BATCH_MAX. */
#define BATCH_MAX_LIMIT 10000

/* What a read found beyond the settings. */
struct AuditConfRead {
    char path[PATH_SIZE]; /* the file; empty when SM_HOME is not set */
    int opened;           /* the file was opened and read */
    int readError;        /* reading it failed before its end */
    int spoolDirTooLong;  /* SPOOL_DIR names a path too long: no journal */
};

/* Fills next with the built-in defaults, then applies kelaudit.conf under
 * $SM_HOME; a missing SM_HOME or file leaves the defaults (traced). Values
 * the queue or the writer could not use are raised to the nearest usable
 * one (traced). next->password ends up in clear: the caller wipes it. */
void readConfigFile(struct Param *next);
/* The same, saying in *found what it found. */
void auditConfRead(struct Param *next, struct AuditConfRead *found);

#endif
