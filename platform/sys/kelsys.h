/*
 * kelsys.h - the one table through which the modules reach the operating
 * system where a test needs to take its place: the clock, memory for event
 * copies, thread creation, sleeping and the host name.
 *
 * Production code calls kelSys.xxx; the table starts out pointing at the
 * real functions. Tests assign their own functions to an entry (a clock they
 * can move, an allocation that fails on the Nth call) before they start any
 * thread, and put the entry back with kelSysReset() when they are done.
 * Each library that compiles this file holds its own table.
 */
#ifndef KEL_SYS_H
#define KEL_SYS_H

#include <pthread.h>
#include <stddef.h>
#include <sys/time.h>
#include <time.h>

struct KelSysTable {
    /* Time of day, seconds and microseconds since the epoch. */
    int (*gettimeofday)(struct timeval *tv);
    void *(*malloc)(size_t size);
    char *(*strdup)(const char *text);
    int (*threadCreate)(pthread_t *thread, void *(*start)(void *), void *arg);
    unsigned int (*sleep)(unsigned int seconds);
    int (*gethostname)(char *name, size_t len);
};

extern struct KelSysTable kelSys;

/* Put every entry back to the real function. */
void kelSysReset(void);

/* Seconds since the epoch from the table's clock (the seam for time()). */
time_t kelTime(void);

#endif
