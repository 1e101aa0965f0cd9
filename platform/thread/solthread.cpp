/*
 * solthread.cpp - thread creation, joining, thread ids and cftime for the
 * Solaris thread interface of thread.h.
 */
#include "thread.h"

#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "kelsys.h"

int thr_create(void *stack_base, size_t stack_size, void *(*start)(void *),
               void *arg, long flags, thread_t *new_thread)
{
    thread_t id;
    int rc;

    if (stack_base != NULL || stack_size != 0 || flags != 0 || start == NULL)
        return EINVAL;
    rc = kelSys.threadCreate(&id, start, arg);
    if (rc == 0 && new_thread != NULL)
        *new_thread = id;
    return rc;
}

int thr_join(thread_t wait_for, thread_t *departed, void **status)
{
    if (departed != NULL)
        return EINVAL;
    return pthread_join(wait_for, status);
}

unsigned int thr_self(void)
{
    return (unsigned int)syscall(SYS_gettid);
}

int cftime(char *s, const char *format, const time_t *clock)
{
    struct tm tm;

    if (localtime_r(clock, &tm) == NULL) {
        s[0] = '\0';
        return 0;
    }
    return (int)strftime(s, CFTIME_MAX, format, &tm);
}
