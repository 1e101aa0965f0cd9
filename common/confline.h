/*
 * confline.h - the line syntax shared by keltrace.conf, kelaudit.conf and
 * kelpasswd, and the number conversions of the plug-ins' settings.
 *
 * A file is read with fgets into LINE_SIZE characters, so a longer line
 * comes in pieces of at most LINE_SIZE - 1 characters, each taken as a line
 * of its own. A line whose first character is '#' is a comment; any other
 * line is parsed with "%[^= \t] = %s": a name that starts in the first
 * column and runs up to '=', blank or tab, optional white space, '=',
 * optional white space, and a value of one token. Text after the value is
 * ignored.
 */
#ifndef KEL_CONFLINE_H
#define KEL_CONFLINE_H

#include "kelcommon.h"

/* Splits line into name and value (LINE_SIZE characters each). Returns 1
 * when the line is not a comment and yields both, 0 otherwise. */
int confParseLine(const char *line, char *name, char *value);

/* Reads a decimal number the way atoi does - leading white space, one sign,
 * digits up to the first other character, 0 when there are none - but
 * clamps a number beyond the signed 32-bit range to the nearest bound. */
int confIntValue(const char *text);

/* Reads a whole decimal number: at least one digit and nothing after the
 * digits (leading white space and one sign allowed), clamped like
 * confIntValue. Returns 1 and sets *out, or returns 0 and leaves it. */
int confIntStrict(const char *text, int *out);

#endif
