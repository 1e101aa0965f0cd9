/*
 * thread.h - the Solaris thread calls the modules use, over POSIX threads.
 *
 * thread_t is a pthread_t here, so thr_create and thr_join work on it
 * directly. thr_self instead returns the kernel's id of the calling thread:
 * the trace prints it, and kernel ids are small and stable for the life of
 * a thread, where a pthread_t is an address.
 */
#ifndef KEL_SOL_THREAD_H
#define KEL_SOL_THREAD_H

#include <pthread.h>
#include <stddef.h>
#include <time.h>

typedef pthread_t thread_t;

/* Starts start(arg) on a new joinable thread; the stack arguments must be
 * NULL and 0 and flags 0 (the only form the modules use). Returns 0 or an
 * error number, and stores the new thread's id in *new_thread. Goes through
 * the system table, so tests can make it fail. */
int thr_create(void *stack_base, size_t stack_size, void *(*start)(void *),
               void *arg, long flags, thread_t *new_thread);

/* Waits for the thread wait_for to end; stores its result in *status when
 * status is not NULL. departed must be NULL (joining any thread is not
 * supported). Returns 0 or an error number. */
int thr_join(thread_t wait_for, thread_t *departed, void **status);

/* Kernel id of the calling thread. */
unsigned int thr_self(void);

/* Formats *clock as local time with a strftime pattern into s, which must
 * hold CFTIME_MAX characters. Returns the length written, 0 when the result
 * does not fit. Safe to call from several threads. */
#define CFTIME_MAX 128
int cftime(char *s, const char *format, const time_t *clock);

#endif
