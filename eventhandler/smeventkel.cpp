/*
 * smeventkel.cpp - the event handler's entry points, its configuration and
 * the selection of events to audit.
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
#include "journal.h"
#include "regfile.h"
#include "kelsys.h"
#include "kelversion.h"
#include "scrypt.h"
#include "spool.h"
#include "status.h"
#include "trace.h"

#define CONF_FILE CONF_DIR "/kelaudit.conf"
/* Capacity of the name and value buffers of a transaction id item. */
#define ITEM_SIZE 100

/* Built-in settings, in force for every key that kelaudit.conf leaves out. */
#define DEFAULT_MIN_LEVEL 10
#define DEFAULT_DATASOURCE "Wuvemta"
#define DEFAULT_USER "wuvemta"
#define DEFAULT_PASSWORD "wuvemta"
#define DEFAULT_TABLE "smaccesslog4"
#define DEFAULT_MAX_QUEUE 20
#define DEFAULT_RETRY_DELAY 5
#define DEFAULT_SPOOL_SYNC SPOOL_SYNC_SECOND
#define DEFAULT_SPOOL_MAX_MB 1024
#define DEFAULT_REJECT_AFTER 0

struct Param param;

/* Names of the servers in system events, by their host interface number. */
static const char *const serverNames[] = {"", "Auth", "Acct", "Az", "Admin", "System"};

int paramMinLevel(void)
{
    return __atomic_load_n(&param.minLevel, __ATOMIC_RELAXED);
}

static void setDefaults(struct Param *p)
{
    p->minLevel = DEFAULT_MIN_LEVEL;
    copyText(p->dataSource, sizeof p->dataSource, DEFAULT_DATASOURCE);
    copyText(p->user, sizeof p->user, DEFAULT_USER);
    copyText(p->password, sizeof p->password, DEFAULT_PASSWORD);
    copyText(p->table, sizeof p->table, DEFAULT_TABLE);
    p->maxQueue = DEFAULT_MAX_QUEUE;
    p->retryDelay = DEFAULT_RETRY_DELAY;
    p->spoolDir[0] = '\0';
    p->spoolSync = DEFAULT_SPOOL_SYNC;
    p->spoolMaxMb = DEFAULT_SPOOL_MAX_MB;
    p->rejectAfter = DEFAULT_REJECT_AFTER;
    p->rejectFile[0] = '\0';
    p->statusFile[0] = '\0';
}

/* STATUS_FILE: an absolute path; anything else would depend on the policy
 * server's working folder, so it is refused. */
static void storeStatusFile(struct Param *p, const char *value)
{
    if (value[0] != '/') {
        trace(TRACE_ERROR, "Parameter STATUS_FILE: '%s' is not an absolute path, no status file", value);
        p->statusFile[0] = '\0';
        return;
    }
    copyText(p->statusFile, sizeof p->statusFile, value);
}

/* SPOOL_DIR: an absolute folder, or one under $SM_HOME. A path too long
 * for its buffer would name another folder, so it is refused. */
static void storeSpoolDir(struct Param *p, const char *value, const char *home)
{
    if (!journalDirFromSetting(p->spoolDir, sizeof p->spoolDir, home, value)) {
        trace(TRACE_ERROR, "Parameter SPOOL_DIR: path too long, no journal");
        p->spoolDir[0] = '\0';
    }
}

static void storeSpoolSync(struct Param *p, const char *value)
{
    static const char *const names[] = {"always", "second", "none"};
    static const int modes[] = {SPOOL_SYNC_ALWAYS, SPOOL_SYNC_SECOND, SPOOL_SYNC_NONE};

    for (int i = 0; i < 3; i++) {
        if (strcasecmp(value, names[i]) == 0) {
            p->spoolSync = modes[i];
            return;
        }
    }
    trace(TRACE_ERROR, "Parameter SPOOL_SYNC: value '%s' should be always, second or none", value);
}

/* Put-aside events go into the journal's folder, or beside kelaudit.conf. */
static void setRejectFile(struct Param *p, const char *home)
{
    if (p->spoolDir[0] != '\0')
        journalPath(p->rejectFile, sizeof p->rejectFile, p->spoolDir, JOURNAL_REJECT_FILE);
    else if (home != NULL)
        snprintf(p->rejectFile, sizeof p->rejectFile, "%s/%s/%s", home, CONF_DIR,
                 JOURNAL_REJECT_BESIDE_CONF);
}

/* Applies one "name = value" line of kelaudit.conf. */
static void applyParameter(struct Param *p, const char *name, const char *value, const char *home)
{
    /* The value of the password line is the scrambled password: even so it
     * is as good as the password itself, so the trace shows it masked. */
    trace(TRACE_4, "Parameter %s: %s", name,
          strcasecmp(name, "PASSWORD") == 0 ? "********" : value);

    if (strcasecmp(name, "MIN_LEVEL") == 0) {
        storeIntParameter(name, value, &p->minLevel);
    } else if (strcasecmp(name, "DATASOURCE") == 0) {
        copyText(p->dataSource, sizeof p->dataSource, value);
    } else if (strcasecmp(name, "USER") == 0) {
        copyText(p->user, sizeof p->user, value);
    } else if (strcasecmp(name, "PASSWORD") == 0) {
        copyText(p->password, sizeof p->password, value);
        scrypt(p->password, p->password, false);
    } else if (strcasecmp(name, "TABLE") == 0) {
        copyText(p->table, sizeof p->table, value);
    } else if (strcasecmp(name, "MAX_QUEUE") == 0) {
        storeIntParameter(name, value, &p->maxQueue);
    } else if (strcasecmp(name, "RETRY_DELAY") == 0) {
        storeIntParameter(name, value, &p->retryDelay);
    } else if (strcasecmp(name, "SPOOL_DIR") == 0) {
        storeSpoolDir(p, value, home);
    } else if (strcasecmp(name, "SPOOL_SYNC") == 0) {
        storeSpoolSync(p, value);
    } else if (strcasecmp(name, "SPOOL_MAX_MB") == 0) {
        storeIntParameter(name, value, &p->spoolMaxMb);
    } else if (strcasecmp(name, "REJECT_AFTER") == 0) {
        storeIntParameter(name, value, &p->rejectAfter);
    } else if (strcasecmp(name, "STATUS_FILE") == 0) {
        storeStatusFile(p, value);
    } else {
        trace(TRACE_ERROR, "Parameter %s: not recognized", name);
    }
}

/* The queue needs room for one event and the writer a pause of zero or
 * more seconds: anything less would block recording threads for good or
 * make the writer spin. */
static void checkRanges(struct Param *p)
{
    if (p->maxQueue < 1) {
        trace(TRACE_ERROR, "Parameter MAX_QUEUE: %d is below 1, using 1", p->maxQueue);
        p->maxQueue = 1;
    }
    if (p->retryDelay < 0) {
        trace(TRACE_ERROR, "Parameter RETRY_DELAY: %d is below 0, using %d", p->retryDelay,
              DEFAULT_RETRY_DELAY);
        p->retryDelay = DEFAULT_RETRY_DELAY;
    }
    if (p->spoolMaxMb < 1) {
        trace(TRACE_ERROR, "Parameter SPOOL_MAX_MB: %d is below 1, using 1", p->spoolMaxMb);
        p->spoolMaxMb = 1;
    }
    if (p->rejectAfter < 0) {
        trace(TRACE_ERROR, "Parameter REJECT_AFTER: %d is below 0, using 0", p->rejectAfter);
        p->rejectAfter = 0;
    }
}

void readConfigFile(struct Param *next)
{
    char path[PATH_SIZE];
    char line[LINE_SIZE];
    char name[LINE_SIZE];
    char value[LINE_SIZE];
    const char *home;
    struct ConfReader reader;
    FILE *f;

    setDefaults(next);
    home = getenv("SM_HOME");
    if (home == NULL) {
        trace(TRACE_ERROR, "SM_HOME not defined");
        return;
    }
    snprintf(path, sizeof path, "%s/%s", home, CONF_FILE);
    /* Only a regular file: a FIFO or device would never let SmEventInit
     * return. The rest of an over-long line is skipped, never read as a
     * line of its own (a long comment must not end in a setting). */
    f = regOpenRead(path);
    if (f == NULL) {
        trace(TRACE_ERROR, "Can't read configuration file %s", path);
        setRejectFile(next, home);
        return;
    }
    confReaderInit(&reader, f);
    while (confReadLine(&reader, line, sizeof line)) {
        if (confParseLine(line, name, value))
            applyParameter(next, name, value, home);
    }
    fclose(f);
    checkRanges(next);
    setRejectFile(next, home);
    /* The clear password lives on in param only; wipe the working copies. */
    explicit_bzero(line, sizeof line);
    explicit_bzero(value, sizeof value);
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
