/*
 * trace.h - the diagnostic log of the plug-ins.
 *
 * Settings come from $SM_HOME/config/keltrace.conf ("file",
 * "level", "maxsize" in bytes or with K, M, G), read at the first trace call and re-read whenever its
 * modification time advances (looked at no more than once in two seconds).
 * A line is written when its level is at most the configured level.
 * Each library that compiles this module has its own settings, stream and
 * lock. All calls are safe from any thread.
 */
#ifndef KEL_TRACE_H
#define KEL_TRACE_H

#include <stdarg.h>

#include "kelcommon.h"

void trace(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void vtrace(int level, const char *format, va_list args) __attribute__((format(printf, 2, 0)));

/* Closes the log file; the next trace call opens it again. */
void traceClose(void);

/* The configured level, read without the lock: callers skip work that only
 * serves a line that would not be written. */
int traceGetLevel(void);

/* For tests: forget all settings and state, as if the library had just
 * been loaded, and close the log. */
void traceReset(void);

#endif
