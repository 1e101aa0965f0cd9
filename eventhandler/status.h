/*
 * status.h - the event handler's state for monitoring.
 *
 * With STATUS_FILE set in kelaudit.conf, the handler keeps a file in the
 * Prometheus text exposition format (the format node_exporter's textfile
 * collector reads): counters since the policy server started the handler,
 * and gauges of what waits. It is replaced whole every STATUS_INTERVAL
 * seconds and at release, through a temporary file and a rename, so a
 * reader never sees half of it.
 *
 * The counters are bumped from any thread. statusStart and statusStop are
 * called from the handler's entry points, never at once.
 */
#ifndef KEL_STATUS_H
#define KEL_STATUS_H

#include <stddef.h>
#include <time.h>

/* Seconds between two writes of the file. */
#define STATUS_INTERVAL 5

/* What waits, as the writer and the journal see it at one moment. */
struct StatusGauges {
    long long waiting;       /* events not yet in the table */
    long long oldestSeconds; /* age of the oldest of them; 0 when none */
    long long journalBytes;  /* size of the audit journal's files; 0 without one */
};

/* Fills the gauges; called on the status thread, which holds no lock. */
typedef void (*StatusSampler)(struct StatusGauges *gauges);

/* The counters. */
void statusRecorded(void);               /* an event taken for the audit */
void statusWritten(time_t commitTime, int rows); /* rows committed */
void statusWriteFailed(void);            /* an attempt to write a row failed */
void statusRejected(void);               /* an event the database refused, put aside */

/* Starts keeping path (a full path, at most PATH_SIZE - 1 characters) up
 * to date: written now, then every STATUS_INTERVAL seconds by a thread of
 * its own. A second start while it runs changes nothing. Returns 1, or 0
 * (traced) when the thread cannot be started. */
int statusStart(const char *path, StatusSampler sampler);

/* statusStart with the gauges of this process's handler: the ring's
 * events and the audit journal's. */
int statusStartHandler(const char *path);

/* Writes the file a last time and stops the thread; nothing when it does
 * not run. */
void statusStop(void);

/* The file's text for the counters and gauges given, at now, into buf of
 * size characters. Returns its length, or 0 when it does not fit. */
size_t statusFormat(char *buf, size_t size, const struct StatusGauges *gauges, time_t now);

/* Writes the file once (the thread's work). Returns 1, or 0 after tracing
 * the failure (once, until a write succeeds again). */
int statusWriteNow(void);

/* For tests: counters to 0, the thread stopped, no file. */
void statusReset(void);

#endif
