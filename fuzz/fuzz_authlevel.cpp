/*
 * fuzz_authlevel.cpp - the transaction id of an access event, from which
 * the event handler reads the item "authlevel".
 *
 * Checks: no read past the text (exact-size copy); a text that holds a
 * short, well-formed "authlevel=<digits>" as its first item gives that
 * number.
 */
#include <string.h>

#include "fuzzutil.h"
#include "smeventkel.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fz::traceInto(5);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text = fz::cString(data, size);
    char *copy = (char *)malloc(text.size() + 1);
    memcpy(copy, text.c_str(), text.size() + 1);

    int level = getAuthLevel(copy);

    /* The first item is "authlevel=N;" with N of 1 to 6 digits. */
    const char *prefix = "authlevel=";
    if (text.compare(0, strlen(prefix), prefix) == 0) {
        size_t end = text.find(';');
        std::string value = text.substr(strlen(prefix), end == std::string::npos ? std::string::npos
                                                                                  : end - strlen(prefix));
        if (!value.empty() && value.size() <= 6 &&
            value.find_first_not_of("0123456789") == std::string::npos)
            FZ_CHECK(level == atoi(value.c_str()), "level %d for '%s'", level, value.c_str());
    }
    free(copy);
    return 0;
}
