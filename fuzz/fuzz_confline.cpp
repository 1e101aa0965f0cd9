/*
 * fuzz_confline.cpp - the line reader and the configuration line syntax
 * shared by keltrace.conf, kelaudit.conf and kelpasswd, and the number
 * readers of the settings.
 *
 * Checks: the reader's pieces put together give the input byte for byte,
 * none longer than LINE_SIZE - 1, and a piece starts a line exactly when
 * the one before ended with a newline; the settings reader gives the
 * first piece of each line and nothing else. Name and value stay inside
 * LINE_SIZE and are terminated; a parsed line has a name without '=',
 * blank or tab and a value without white space; a comment line never
 * parses; the strict number reader agrees with the lenient one whenever it
 * accepts; a size is the number, or the number scaled by its suffix.
 */
#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <vector>

#include "confline.h"
#include "fuzzutil.h"

static FILE *openInput(const uint8_t *data, size_t size)
{
    return size == 0 ? fopen("/dev/null", "r") : fmemopen((void *)data, size, "r");
}

static void checkReader(const uint8_t *data, size_t size)
{
    std::string joined;
    std::vector<std::string> starts;
    char *buf = (char *)malloc(LINE_SIZE);
    size_t len;
    int lineStart;
    bool afterNewline = true;
    struct ConfReader r;

    FILE *f = openInput(data, size);
    confReaderInit(&r, f);
    while (confReadPiece(&r, buf, LINE_SIZE, &len, &lineStart)) {
        FZ_CHECK(len > 0 && len < LINE_SIZE && buf[len] == '\0', "piece of %zu bytes", len);
        FZ_CHECK(lineStart == afterNewline, "line start %d after %zu bytes", lineStart, joined.size());
        if (lineStart)
            starts.push_back(std::string(buf));
        joined.append(buf, len);
        afterNewline = buf[len - 1] == '\n';
    }
    fclose(f);
    FZ_CHECK(joined == std::string((const char *)data, size), "pieces differ from the input");

    f = openInput(data, size);
    confReaderInit(&r, f);
    size_t i = 0;
    for (; confReadLine(&r, buf, LINE_SIZE); i++)
        FZ_CHECK(i < starts.size() && starts[i] == buf, "line %zu is no line start", i);
    FZ_CHECK(i == starts.size(), "%zu lines for %zu line starts", i, starts.size());
    fclose(f);
    free(buf);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    checkReader(data, size);

    /* A line as fgets gives it: at most LINE_SIZE - 1 characters. */
    std::string line = fz::cString(data, size).substr(0, LINE_SIZE - 1);
    char *copy = strdup(line.c_str());
    char *name = (char *)malloc(LINE_SIZE);
    char *value = (char *)malloc(LINE_SIZE);

    int ok = confParseLine(copy, name, value);
    if (ok) {
        FZ_CHECK(line[0] != '#', "comment line parsed");
        FZ_CHECK(strnlen(name, LINE_SIZE) < LINE_SIZE && strnlen(value, LINE_SIZE) < LINE_SIZE,
                 "name or value not terminated");
        FZ_CHECK(name[0] != '\0' && value[0] != '\0', "empty name or value");
        FZ_CHECK(strpbrk(name, "= \t") == nullptr, "name '%s' holds a separator", name);
        for (const char *v = value; *v != '\0'; v++)
            FZ_CHECK(!isspace((unsigned char)*v), "white space in value '%s'", value);
        FZ_CHECK(line.find(name) == 0, "name '%s' not at the start", name);
    }

    int lenient = confIntValue(copy);
    int strict = 0;
    if (confIntStrict(copy, &strict))
        FZ_CHECK(strict == lenient, "strict %d, lenient %d", strict, lenient);

    /* A size: a whole number is read as the number reader reads it (where
     * that does not clamp), and a suffix only ever scales it up. */
    int whole = 0;
    int64_t size64 = confSizeValue(copy, &whole);
    if (whole && strict == lenient && confIntStrict(copy, &strict) && strict > INT32_MIN && strict < INT32_MAX)
        FZ_CHECK(size64 == strict, "size %lld, number %d", (long long)size64, strict);
    if (lenient > 0 && lenient < INT32_MAX)
        FZ_CHECK(size64 >= lenient, "size %lld below its digits %d", (long long)size64, lenient);

    free(value);
    free(name);
    free(copy);
    return 0;
}
