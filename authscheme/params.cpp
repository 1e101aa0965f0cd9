/*
 * params.cpp - the parser of the scheme's parameter string: items of a
 * name, "=" and a value, separated by ";", over the built-in settings.
 *
 * Threading: works on the caller's record only.
 */
#include <string.h>
#include <strings.h>

#include "confline.h"
#include "smauthkel.h"
#include "trace.h"

static void setDefaults(Parameters *p)
{
    memset(p, 0, sizeof *p);
    copyText(p->description, sizeof p->description, "QX KEL/PIN authentication scheme");
    copyText(p->agentName, sizeof p->agentName, "authkel");
    copyText(p->url, sizeof p->url, "BAD_KEL_AUTH_URL");
    p->usePin = 0;
    p->minLevel = 2;
    p->maxLevel = 3;
    copyText(p->attrPin, sizeof p->attrPin, "pin");
    copyText(p->attrAuth, sizeof p->attrAuth, "authlevel");
    p->portAz = 44443;
    p->portAuth = 44442;
    p->portAcct = 44441;
    p->pinTries = 0;
}

/* A count: a whole number, 0 or more. */
static int storeCountParameter(const char *name, const char *value, int *field)
{
    int n;

    if (!storeIntParameter(name, value, &n))
        return 0;
    if (n < 0) {
        trace(TRACE_ERROR, "Parameter %s: value '%s' should be 0 or more", name, value);
        return 0;
    }
    *field = n;
    return 1;
}

int storeParameter(const char *name, const char *value, Parameters *p)
{
    trace(TRACE_5, "Parameter %s: %s", name, value);
    if (strcasecmp(name, "URL") == 0) {
        copyText(p->url, sizeof p->url, value);
    } else if (strcasecmp(name, "AGENT_NAME") == 0) {
        copyText(p->agentName, sizeof p->agentName, value);
    } else if (strcasecmp(name, "DESCRIPTION") == 0) {
        copyText(p->description, sizeof p->description, value);
    } else if (strcasecmp(name, "USE_PIN") == 0) {
        p->usePin = strcasecmp(value, "yes") == 0;
        p->usePinUnclear = !p->usePin && strcasecmp(value, "no") != 0;
        copyText(p->usePinValue, sizeof p->usePinValue, p->usePinUnclear ? value : "");
    } else if (strcasecmp(name, "MIN_LEVEL") == 0) {
        return storeIntParameter(name, value, &p->minLevel);
    } else if (strcasecmp(name, "MAX_LEVEL") == 0) {
        return storeIntParameter(name, value, &p->maxLevel);
    } else if (strcasecmp(name, "ATTR_PIN") == 0) {
        copyText(p->attrPin, sizeof p->attrPin, value);
    } else if (strcasecmp(name, "ATTR_AUTH") == 0) {
        copyText(p->attrAuth, sizeof p->attrAuth, value);
    } else if (strcasecmp(name, "PORT_AZ") == 0) {
        return storeIntParameter(name, value, &p->portAz);
    } else if (strcasecmp(name, "PORT_AUTH") == 0) {
        return storeIntParameter(name, value, &p->portAuth);
    } else if (strcasecmp(name, "PORT_ACCT") == 0) {
        return storeIntParameter(name, value, &p->portAcct);
    } else if (strcasecmp(name, "PIN_TRIES") == 0) {
        return storeCountParameter(name, value, &p->pinTries);
    } else {
        trace(TRACE_ERROR, "Parameter %s: not recognized", name);
        return 0;
    }
    return 1;
}

int parseParameters(const char *textIn, Parameters *p)
{
    char name[BUF_SIZE];
    char value[BUF_SIZE];
    const char *s = textIn != NULL ? textIn : "";
    int result = 1;
    size_t n;

    trace(TRACE_5, "Parameters: '%s'", s);
    setDefaults(p);
    while (*s != '\0') {
        for (n = 0; *s != '\0' && *s != '='; s++) {
            if (n == BUF_SIZE - 1) {
                trace(TRACE_ERROR, "Parameter name too long");
                return 0;
            }
            name[n++] = *s;
        }
        name[n] = '\0';
        if (n == 0) {
            trace(TRACE_ERROR, "Parameter name missing");
            return 0;
        }
        if (*s == '\0') {
            trace(TRACE_ERROR, "Parameter %s: '=' missing after parameter name", name);
            return 0;
        }
        s++; /* the '=' */
        for (n = 0; *s != '\0' && *s != ';'; s++) {
            if (n == BUF_SIZE - 1) {
                trace(TRACE_ERROR, "Parameter value too long");
                return 0;
            }
            value[n++] = *s;
        }
        value[n] = '\0';
        if (!storeParameter(name, value, p))
            result = 0;
        if (*s == '\0')
            break;
        s++; /* the ';' */
    }
    if (p->minLevel > p->maxLevel) {
        trace(TRACE_ERROR, "MIN_LEVEL (%d) greater than MAX_LEVEL (%d)", p->minLevel, p->maxLevel);
        result = 0;
    }
    return result;
}
