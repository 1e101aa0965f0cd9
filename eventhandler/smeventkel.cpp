/*
 * smeventkel.cpp - the event handler's entry points and the selection of
 * events to audit; kelaudit.conf is read by auditconf.cpp.
 *
 * The policy server calls SmEventRecord for every event it logs, on any of
 * its threads. Accepted authentications whose "authlevel" (an item of the
 * transaction id) reaches MIN_LEVEL are handed to the audit module, which
 * queues a copy for its database writer; system events are traced; all else
 * is ignored. Selection uses only the call's arguments, local buffers and
 * the atomically read minimum level, so it needs no lock.
 */
#include "smeventkel.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "accessfields.h"
#include "audit.h"
#include "confline.h"
#include "kelversion.h"
#include "status.h"
#include "trace.h"

/* Capacity of the name and value buffers of a transaction id item. */
#define ITEM_SIZE 100

struct Param param;

/* Names of the servers in system events, by their host interface number. */
static const char *const serverNames[] = {"", "Auth", "Acct", "Az", "Admin", "System"};

int paramMinLevel(void)
{
    return __atomic_load_n(&param.minLevel, __ATOMIC_RELAXED);
}

/* Copies characters of *text up to one of the stop characters (or the end)
 * into buf, which holds ITEM_SIZE characters. Returns 0 when the item does
 * not fit. */
static int copyItem(const char **text, char stop, char *buf)
{
    size_t n = 0;

    while (**text != '\0' && **text != stop) {
        if (n == ITEM_SIZE - 1)
            return 0;
        buf[n++] = *(*text)++;
    }
    buf[n] = '\0';
    return 1;
}

int getAuthLevel(const char *text)
{
    char name[ITEM_SIZE];
    char value[ITEM_SIZE];
    int level;

    while (*text != '\0') {
        if (!copyItem(&text, '=', name)) {
            trace(TRACE_ERROR, "getAuthLevel: name too long");
            return 0;
        }
        if (*text == '\0') {
            trace(TRACE_ERROR, "getAuthLevel: '=' missing after name");
            return 0;
        }
        text++;
        if (!copyItem(&text, ';', value)) {
            trace(TRACE_ERROR, "getAuthLevel: value too long");
            return 0;
        }
        if (strcmp(name, "authlevel") == 0) {
            level = confIntValue(value);
            trace(TRACE_4, "auth level %d", level);
            return level;
        }
        if (*text == '\0')
            break;
        text++;
    }
    trace(TRACE_4, "authLevel: authlevel not in transaction id");
    return 0;
}

static void traceAccessFields(const struct SmLog_Access_s *r)
{
    trace(TRACE_5, "   nVersion: %ld", (long)r->nVersion);
    trace(TRACE_5, "   nCurrentTime: %ld", (long)r->nCurrentTime);
    trace(TRACE_5, "   nReason: %ld", (long)r->nReason);
    for (int i = 0; i < ACCESS_FIELD_COUNT; i++)
        trace(TRACE_5, "   %s: %s", accessFields[i].label, accessFieldText(r, i));
}

void accessEvent(int category, int eventId, const struct SmLog_Access_s *record)
{
    int level;

    if (category != SM_EVENT_CATEGORY_AUTH || eventId != SM_EVENT_AUTH_ACCEPT)
        return;
    trace(TRACE_4, "Auth Accept Event");
    level = getAuthLevel(record->szTransactionId);
    if (level < paramMinLevel())
        return;
    if (traceGetLevel() >= TRACE_5)
        traceAccessFields(record);
    auditAuth(record);
}

void systemEvent(int server, int state, const struct SmLog_System_s *)
{
    const char *name = server >= SM_SERVER_AUTH && server <= SM_SERVER_SYSTEM ? serverNames[server] : "";

    switch (state) {
    case SM_STATE_INITIALIZING:
        trace(TRACE_2, "%s server INITIALIZING", name);
        break;
    case SM_STATE_INIT_FAILED:
        trace(TRACE_2, "%s server INIT FAILED", name);
        break;
    case SM_STATE_UP:
        trace(TRACE_2, "%s server UP", name);
        break;
    case SM_STATE_DOWN:
        trace(TRACE_2, "%s server DOWN", name);
        break;
    default:
        break;
    }
}

extern "C" KEL_EXPORT int SmEventInit(void)
{
    struct Param next;

    trace(TRACE_2, "SmEventInit");
    trace(TRACE_1, "libsmeventkel %s starting", KEL_VERSION);
    readConfigFile(&next);
    auditConfigure(&next);
    if (next.statusFile[0] != '\0')
        statusStartHandler(next.statusFile);
    explicit_bzero(next.password, sizeof next.password);
    return 1;
}

extern "C" KEL_EXPORT void SmEventRelease(void)
{
    trace(TRACE_2, "SmEventRelease");
    auditRelease();
    statusStop();
    traceClose();
}

extern "C" KEL_EXPORT void SmEventRecord(int kind, int code1, int code2, const void *record)
{
    if (kind == SM_EVENT_KIND_ACCESS) {
        if (record != NULL)
            accessEvent(code1, code2, (const struct SmLog_Access_s *)record);
    } else if (kind == SM_EVENT_KIND_SYSTEM) {
        systemEvent(code1, code2, (const struct SmLog_System_s *)record);
    }
}
