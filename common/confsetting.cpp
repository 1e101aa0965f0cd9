/*
 * confsetting.cpp - storing one number or text setting (see confsetting.h).
 */
#include "confsetting.h"

#include <string.h>

#include "confline.h"
#include "trace.h"

int storeIntParameter(const char *name, const char *value, int *field)
{
    if (!confIntStrict(value, field)) {
        trace(TRACE_ERROR, "Parameter %s: value '%s' should be a number", name, value);
        return 0;
    }
    return 1;
}

void copyText(char *dst, size_t size, const char *src)
{
    size_t n = strnlen(src, size - 1);

    memcpy(dst, src, n);
    dst[n] = '\0';
}
