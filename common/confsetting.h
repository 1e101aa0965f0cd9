/*
 * confsetting.h - storing one setting read from a parameter string or a
 * configuration file: a number, converted strictly and traced when it is
 * refused, and a text, cut to its buffer. Shared by the scheme's parameter
 * parser and the event handler's reader. No state; safe from any thread.
 */
#ifndef KEL_CONFSETTING_H
#define KEL_CONFSETTING_H

#include <stddef.h>

/* Converts value (a whole decimal number, clamped to 32 bits) into *field.
 * Returns 1, or 0 with "Parameter <name>: value '<value>' should be a
 * number" at level 1 and *field unchanged; name serves only the message. */
int storeIntParameter(const char *name, const char *value, int *field);

/* Copies src into dst of size characters: cut to size - 1 characters and
 * always terminated. */
void copyText(char *dst, size_t size, const char *src);

#endif
