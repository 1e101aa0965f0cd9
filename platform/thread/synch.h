/*
 * synch.h - Solaris mutexes and condition variables over POSIX threads.
 * Statically initialised objects (DEFAULTMUTEX, DEFAULTCV) need no set-up.
 */
#ifndef KEL_SOL_SYNCH_H
#define KEL_SOL_SYNCH_H

#include <errno.h>
#include <pthread.h>
#include <time.h>

typedef pthread_mutex_t mutex_t;
typedef pthread_cond_t cond_t;

/* Adaptive, as the Solaris default mutex is: a thread finding it held spins
 * a little before it sleeps, since the holder is most often about to let
 * it go, and a sleep and wake-up cost far more than the wait. */
#define DEFAULTMUTEX PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP
#define DEFAULTCV PTHREAD_COND_INITIALIZER

static inline int mutex_lock(mutex_t *mp) { return pthread_mutex_lock(mp); }
static inline int mutex_unlock(mutex_t *mp) { return pthread_mutex_unlock(mp); }
/* 0 when the mutex was free and is now held; EBUSY otherwise. */
static inline int mutex_trylock(mutex_t *mp) { return pthread_mutex_trylock(mp); }
static inline int cond_wait(cond_t *cv, mutex_t *mp) { return pthread_cond_wait(cv, mp); }
static inline int cond_signal(cond_t *cv) { return pthread_cond_signal(cv); }
static inline int cond_broadcast(cond_t *cv) { return pthread_cond_broadcast(cv); }
static inline int cond_destroy(cond_t *cv) { return pthread_cond_destroy(cv); }

typedef struct timespec timestruc_t;

/* Waits at most *reltime; ETIME when that time has passed (the Solaris
 * result), 0 when woken. The statically initialised condition variables
 * use the real-time clock, so the deadline is taken from it. */
static inline int cond_reltimedwait(cond_t *cv, mutex_t *mp, const timestruc_t *reltime)
{
    struct timespec at;
    int rc;

    clock_gettime(CLOCK_REALTIME, &at);
    at.tv_sec += reltime->tv_sec;
    at.tv_nsec += reltime->tv_nsec;
    if (at.tv_nsec >= 1000000000L) {
        at.tv_sec++;
        at.tv_nsec -= 1000000000L;
    }
    rc = pthread_cond_timedwait(cv, mp, &at);
    return rc == ETIMEDOUT ? ETIME : rc;
}

#endif
