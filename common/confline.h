/*
 * confline.h - the line syntax shared by keltrace.conf, kelaudit.conf and
 * kelpasswd, the one line reader of those files, and the number conversions
 * of the plug-ins' settings.
 *
 * A file is read into LINE_SIZE characters: a line holds at most
 * LINE_SIZE - 1 characters, and the rest of a longer one is never taken as
 * a line of its own (the settings readers skip it, kelpasswd copies it as
 * it stands). A line whose first character is '#' is a comment; any other
 * line is parsed with "%[^= \t] = %s": a name that starts in the first
 * column and runs up to '=', blank or tab, optional white space, '=',
 * optional white space, and a value of one token. Text after the value is
 * ignored.
 */
#ifndef KEL_CONFLINE_H
#define KEL_CONFLINE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "kelcommon.h"

/* The reading position in one file: whether the next piece continues a
 * line whose start has already been handed out. */
struct ConfReader {
    FILE *file;
    int midLine;
};

void confReaderInit(struct ConfReader *r, FILE *file);

/* The next piece of the file: up to size - 1 bytes, ending after a newline
 * or where the buffer is full, NUL-terminated; *len counts its bytes (a
 * stray NUL in the file is one of them). *lineStart is 1 when the piece
 * begins a line, 0 when it continues one. Returns 0 at the end of the file
 * or on a read error (ferror tells which). */
int confReadPiece(struct ConfReader *r, char *buf, size_t size, size_t *len, int *lineStart);

/* The next line for a settings reader: its first size - 1 bytes at most;
 * the rest of a longer line is read and dropped. Returns 0 at the end. */
int confReadLine(struct ConfReader *r, char *buf, size_t size);

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

/* A size in bytes: a decimal number, or one followed by K, M or G (either
 * case) for kilobytes, megabytes or gigabytes of 1024, clamped to the
 * 64-bit range. Leading digits count as for confIntValue when anything
 * else follows; *whole tells whether the text was all number and suffix. */
int64_t confSizeValue(const char *text, int *whole);

#endif
