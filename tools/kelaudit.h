/*
 * kelaudit.h - the administrator's look into the audit journal of the
 * event handler: what waits (status), the events the database refused
 * (rejects), and putting those back for the writer (requeue).
 *
 * The journal's folder comes from SPOOL_DIR of $SM_HOME/config/kelaudit.conf.
 * Everything is read with the handler running: records are read up to what
 * has been written whole, and the reject file is moved away with one
 * rename under the lock the handler takes to append to it, so no event is
 * lost or doubled. Single-threaded; messages go to stdout and stderr as
 * the administrator sees them; functions return 1 for success, 0 after
 * their message.
 */
#ifndef KEL_AUDITTOOL_H
#define KEL_AUDITTOOL_H

#include <stddef.h>
#include <time.h>

#include "journal.h"

/* Runs the whole tool; the result is the exit status (0 or 1; for check
 * 0 to 3). */
int auditToolRun(int argc, char **argv);

/* Where the tool looks, from kelaudit.conf. */
struct AuditPaths {
    const char *confPath;
    const char *spoolDir;   /* "" without SPOOL_DIR */
    const char *rejectPath; /* where the handler puts rejects now */
    const char *besidePath; /* rejects kept while there was no journal */
};

/* What status, status --json and check report. */
struct AuditFacts {
    int haveJournal;
    struct JournalSummary summary;
    int held;              /* a process holds the journal */
    long holder;           /* its id, 0 when unknown */
    long rejects;          /* in rejectPath */
    long rejectsBeside;    /* in besidePath, with a journal */
    time_t now;
};

/* Events in a reject file; -1 (errno) when it cannot be read. */
long auditCountRejects(const char *path);

/* Fills f; 0 with the message in error (a journal folder that is missing
 * or cannot be read is an error, never an empty journal). */
int auditGather(const struct AuditPaths *paths, struct AuditFacts *f, char *error, size_t size);

/* status --json: one JSON object on stdout; 0 after a message on stderr. */
int auditStatusJson(const struct AuditPaths *paths);

/* check [--warn-backlog N] [--crit-backlog N] [--warn-age S] [--crit-age S]
 * with its arguments after "check": one status line with performance
 * data; returns 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN. */
int auditCheck(const struct AuditPaths *paths, int argc, char **argv);

#endif
