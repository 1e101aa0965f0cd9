/*
 * synch.h - Solaris mutexes and condition variables over POSIX threads.
 * Statically initialised objects (DEFAULTMUTEX, DEFAULTCV) need no set-up.
 */
#ifndef KEL_SOL_SYNCH_H
#define KEL_SOL_SYNCH_H

#include <pthread.h>

typedef pthread_mutex_t mutex_t;
typedef pthread_cond_t cond_t;

#define DEFAULTMUTEX PTHREAD_MUTEX_INITIALIZER
#define DEFAULTCV PTHREAD_COND_INITIALIZER

static inline int mutex_lock(mutex_t *mp) { return pthread_mutex_lock(mp); }
static inline int mutex_unlock(mutex_t *mp) { return pthread_mutex_unlock(mp); }
static inline int cond_wait(cond_t *cv, mutex_t *mp) { return pthread_cond_wait(cv, mp); }
static inline int cond_signal(cond_t *cv) { return pthread_cond_signal(cv); }
static inline int cond_broadcast(cond_t *cv) { return pthread_cond_broadcast(cv); }
static inline int cond_destroy(cond_t *cv) { return pthread_cond_destroy(cv); }

#endif
