/*
 * confline.cpp - configuration line reading and syntax, number conversions.
 * No state of its own; a ConfReader belongs to its caller.
 */
#include "confline.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The field widths keep sscanf inside the LINE_SIZE buffers even for a
 * line that did not come from fgets. */
#define CONF_PATTERN "%999[^= \t] = %999s"

void confReaderInit(struct ConfReader *r, FILE *file)
{
    r->file = file;
    r->midLine = 0;
}

int confReadPiece(struct ConfReader *r, char *buf, size_t size, size_t *len, int *lineStart)
{
    int c = EOF;

    *len = 0;
    while (*len + 1 < size && (c = getc(r->file)) != EOF) {
        buf[(*len)++] = (char)c;
        if (c == '\n')
            break;
    }
    buf[*len] = '\0';
    if (*len == 0)
        return 0;
    *lineStart = !r->midLine;
    r->midLine = c != '\n';
    return 1;
}

int confReadLine(struct ConfReader *r, char *buf, size_t size)
{
    size_t len;
    int lineStart;

    while (confReadPiece(r, buf, size, &len, &lineStart)) {
        if (lineStart)
            return 1;
    }
    return 0;
}

int confParseLine(const char *line, char *name, char *value)
{
    if (line[0] == '#')
        return 0;
    return sscanf(line, CONF_PATTERN, name, value) == 2;
}

/* strtol, clamped to the signed 32-bit range. */
static int clampedStrtol(const char *text, char **end)
{
    long n;

    errno = 0;
    n = strtol(text, end, 10);
    if (n > INT_MAX)
        return INT_MAX;
    if (n < INT_MIN)
        return INT_MIN;
    return (int)n;
}

int confIntValue(const char *text)
{
    char *end;

    return clampedStrtol(text, &end);
}

int confIntStrict(const char *text, int *out)
{
    char *end;
    int n = clampedStrtol(text, &end);

    /* strtol leaves end at text when it converted no digit. */
    if (end == text || *end != '\0')
        return 0;
    *out = n;
    return 1;
}

int64_t confSizeValue(const char *text, int *whole)
{
    char *end;
    int64_t n = strtoll(text, &end, 10);
    int shift = 0;

    if (end != text && end[0] != '\0' && end[1] == '\0')
        shift = strchr("kK", end[0]) != NULL ? 10 : strchr("mM", end[0]) != NULL ? 20
              : strchr("gG", end[0]) != NULL ? 30 : 0;
    if (shift > 0) {
        end++;
        if (n > (INT64_MAX >> shift))
            n = INT64_MAX;
        else if (n < (INT64_MIN >> shift))
            n = INT64_MIN;
        else
            n *= (int64_t)1 << shift;
    }
    *whole = end != text && *end == '\0';
    return n;
}
