/*
 * fuzz_confline.cpp - the configuration line syntax shared by keltrace.conf,
 * kelaudit.conf and kelpasswd, and the number readers of the settings.
 *
 * Checks: name and value stay inside LINE_SIZE and are terminated; a
 * parsed line has a name without '=', blank or tab and a value without
 * white space; a comment line never parses; the strict number reader
 * agrees with the lenient one whenever it accepts.
 */
#include <ctype.h>
#include <string.h>

#include "confline.h"
#include "fuzzutil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
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

    free(value);
    free(name);
    free(copy);
    return 0;
}
