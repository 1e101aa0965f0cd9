/*
 * auditconf.cpp - the one reader of kelaudit.conf (see auditconf.h): the
 * built-in settings, the file read line by line with the shared line
 * reader (confline.h), each setting stored and checked.
 *
 * No state of its own: the record and the report belong to the caller.
 */
#include "auditconf.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "confline.h"
#include "confsetting.h"
#include "journal.h"
#include "regfile.h"
#include "scrypt.h"
#include "spool.h"
#include "trace.h"

#define CONF_FILE CONF_DIR "/kelaudit.conf"

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
#define DEFAULT_BATCH_MAX 1

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
    p->spoolFull = SPOOL_FULL_WAIT;
    p->spoolMaxMb = DEFAULT_SPOOL_MAX_MB;
    p->rejectAfter = DEFAULT_REJECT_AFTER;
    p->rejectFile[0] = '\0';
    p->batchMax = DEFAULT_BATCH_MAX;
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
static void storeSpoolDir(struct Param *p, const char *value, const char *home, struct AuditConfRead *found)
{
    found->spoolDirTooLong = 0;
    if (!journalDirFromSetting(p->spoolDir, sizeof p->spoolDir, home, value)) {
        trace(TRACE_ERROR, "Parameter SPOOL_DIR: path too long, no journal");
        p->spoolDir[0] = '\0';
        found->spoolDirTooLong = 1;
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

static void storeSpoolFull(struct Param *p, const char *value)
{
    if (strcasecmp(value, "wait") == 0)
        p->spoolFull = SPOOL_FULL_WAIT;
    else if (strcasecmp(value, "memory") == 0)
        p->spoolFull = SPOOL_FULL_MEMORY;
    else
        trace(TRACE_ERROR, "Parameter SPOOL_FULL: value '%s' should be wait or memory", value);
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
static void applyParameter(struct Param *p, const char *name, const char *value, const char *home,
                           struct AuditConfRead *found)
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
        storeSpoolDir(p, value, home, found);
    } else if (strcasecmp(name, "SPOOL_SYNC") == 0) {
        storeSpoolSync(p, value);
    } else if (strcasecmp(name, "SPOOL_FULL") == 0) {
        storeSpoolFull(p, value);
    } else if (strcasecmp(name, "SPOOL_MAX_MB") == 0) {
        storeIntParameter(name, value, &p->spoolMaxMb);
    } else if (strcasecmp(name, "REJECT_AFTER") == 0) {
        storeIntParameter(name, value, &p->rejectAfter);
    } else if (strcasecmp(name, "BATCH_MAX") == 0) {
        storeIntParameter(name, value, &p->batchMax);
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
    if (p->batchMax < 1 || p->batchMax > BATCH_MAX_LIMIT) {
        int use = p->batchMax < 1 ? 1 : BATCH_MAX_LIMIT;
        static_assert(BATCH_MAX_LIMIT == 10000, "the message names the limit");
        trace(TRACE_ERROR, "Parameter BATCH_MAX: %d is outside 1 to 10000, using %d", p->batchMax, use);
        p->batchMax = use;
    }
}

void auditConfRead(struct Param *next, struct AuditConfRead *found)
{
    char line[LINE_SIZE];
    char name[LINE_SIZE];
    char value[LINE_SIZE];
    const char *home;
    struct ConfReader reader;
    FILE *f;

    memset(found, 0, sizeof *found);
    setDefaults(next);
    home = getenv("SM_HOME");
    if (home == NULL) {
        trace(TRACE_ERROR, "SM_HOME not defined");
        return;
    }
    snprintf(found->path, sizeof found->path, "%s/%s", home, CONF_FILE);
    /* Only a regular file: a FIFO or device would never let SmEventInit
     * return. The rest of an over-long line is skipped, never read as a
     * line of its own (a long comment must not end in a setting). */
    f = regOpenRead(found->path);
    if (f == NULL) {
        trace(TRACE_ERROR, "Can't read configuration file %s", found->path);
        setRejectFile(next, home);
        return;
    }
    found->opened = 1;
    confReaderInit(&reader, f);
    while (confReadLine(&reader, line, sizeof line)) {
        if (confParseLine(line, name, value))
            applyParameter(next, name, value, home, found);
    }
    found->readError = ferror(f) != 0;
    fclose(f);
    checkRanges(next);
    setRejectFile(next, home);
    /* The clear password lives on in the caller's record only; wipe the
     * working copies. */
    explicit_bzero(line, sizeof line);
    explicit_bzero(value, sizeof value);
}

void readConfigFile(struct Param *next)
{
    struct AuditConfRead found;

    auditConfRead(next, &found);
}
