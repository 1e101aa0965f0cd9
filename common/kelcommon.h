/*
 * kelcommon.h - constants shared by every module of the plug-ins and the
 * password tool: trace levels, where the configuration files live, the
 * capacity of setting and value buffers, and the marker for the few symbols
 * a plug-in exports.
 */
#ifndef KEL_COMMON_H
#define KEL_COMMON_H

/* Trace levels. A line is written when its level is at most the configured
 * level (built in: 5). TRACE_SECURE lines show passwords, PINs or cookies. */
#define TRACE_ERROR 1
#define TRACE_1 1
#define TRACE_2 2
#define TRACE_3 3
#define TRACE_4 4
#define TRACE_5 5
#define TRACE_SECURE 10

/* The folder under SM_HOME that holds keltrace.conf and kelaudit.conf. */
#define CONF_DIR "config"

/* Capacity, terminator included, of setting texts, posted values,
 * attribute values and decoded cookie fields. */
#define BUF_SIZE 5000

/* Capacity, terminator included, of configuration lines, names and values. */
#define LINE_SIZE 1000

/* Capacity of configuration file paths in the plug-ins. */
#define PATH_SIZE 2000

/* Everything is compiled with hidden visibility; only entry points carry
 * this marker, and each plug-in's linker map exports just those. */
#define KEL_EXPORT __attribute__((visibility("default")))

#endif
