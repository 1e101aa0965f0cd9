/*
 * fuzz_params.cpp - the scheme's parameter string, as the policy server's
 * administrator writes it ("NAME=value;NAME=value").
 *
 * Checks: every text setting stays terminated inside its buffer, and an
 * accepted string never leaves MIN_LEVEL above MAX_LEVEL nor PIN_TRIES
 * below 0.
 */
#include <string.h>

#include "fuzzutil.h"
#include "smauthkel.h"

static void checkText(const char *field, size_t size, const char *what)
{
    FZ_CHECK(strnlen(field, size) < size, "%s not terminated in its buffer", what);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fz::traceInto(5);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* An exact-size heap copy: a read past the terminator is caught. */
    std::string text = fz::cString(data, size);
    char *copy = (char *)malloc(text.size() + 1);
    memcpy(copy, text.c_str(), text.size() + 1);

    Parameters p;
    int ok = parseParameters(copy, &p);
    checkText(p.description, sizeof p.description, "DESCRIPTION");
    checkText(p.agentName, sizeof p.agentName, "AGENT_NAME");
    checkText(p.url, sizeof p.url, "URL");
    checkText(p.attrPin, sizeof p.attrPin, "ATTR_PIN");
    checkText(p.attrAuth, sizeof p.attrAuth, "ATTR_AUTH");
    FZ_CHECK(p.usePin == 0 || p.usePin == 1, "usePin %d", p.usePin);
    if (ok) {
        FZ_CHECK(p.minLevel <= p.maxLevel, "accepted with MIN_LEVEL %d > MAX_LEVEL %d", p.minLevel,
                 p.maxLevel);
        FZ_CHECK(p.pinTries >= 0, "accepted with PIN_TRIES %d", p.pinTries);
    }
    free(copy);
    return 0;
}
