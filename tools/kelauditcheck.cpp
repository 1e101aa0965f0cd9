/*
 * kelauditcheck.cpp - kelaudit for monitoring: "status --json" and
 * "check", the Nagios plugin form (one status line with performance data,
 * exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN).
 *
 * Both look at the same facts as "status": the journal's summary, whether
 * a process holds it, the rejected events. A journal folder that is
 * missing or cannot be read is never shown as an empty journal: it is an
 * error (status) or UNKNOWN (check). Single-threaded, like the tool.
 */
#include "kelaudit.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "journal.h"
#include "kelcommon.h"
#include "kelsys.h"

enum { CHECK_OK, CHECK_WARNING, CHECK_CRITICAL, CHECK_UNKNOWN };

static const char *const checkWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

/* Built-in thresholds of check: events waiting, and seconds the oldest
 * of them has waited. */
#define WARN_BACKLOG 100
#define CRIT_BACKLOG 1000
#define WARN_AGE 300
#define CRIT_AGE 1800

int auditGather(const struct AuditPaths *paths, struct AuditFacts *f, char *error, size_t size)
{
    struct stat st;

    memset(f, 0, sizeof *f);
    f->now = kelTime();
    f->rejects = auditCountRejects(paths->rejectPath);
    if (f->rejects < 0) {
        snprintf(error, size, "Can't read %s: %s", paths->rejectPath, strerror(errno));
        return 0;
    }
    if (paths->spoolDir[0] == '\0')
        return 1;
    f->haveJournal = 1;
    /* journalSummarize takes a missing folder for an empty journal: the
     * folder is looked at first. */
    if (kelSys.stat(paths->spoolDir, &st) != 0) {
        snprintf(error, size, "Can't read journal %s: %s", paths->spoolDir, strerror(errno));
        return 0;
    }
    if (!S_ISDIR(st.st_mode)) {
        snprintf(error, size, "Can't read journal %s: not a folder", paths->spoolDir);
        return 0;
    }
    if (!journalSummarize(paths->spoolDir, &f->summary)) {
        snprintf(error, size, "Can't read journal %s: %s", paths->spoolDir, strerror(errno));
        return 0;
    }
    f->held = journalLockHeld(paths->spoolDir);
    f->holder = f->held ? journalLockHolder(paths->spoolDir) : 0;
    if (kelSys.stat(paths->besidePath, &st) == 0) {
        f->rejectsBeside = auditCountRejects(paths->besidePath);
        if (f->rejectsBeside < 0) {
            snprintf(error, size, "Can't read %s: %s", paths->besidePath, strerror(errno));
            return 0;
        }
    }
    return 1;
}

/* A JSON string: quotes, backslashes and control characters escaped. */
static void putJsonString(const char *text)
{
    putchar('"');
    for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; p++) {
        if (*p == '"' || *p == '\\')
            printf("\\%c", *p);
        else if (*p < 0x20 || *p == 0x7f)
            printf("\\u%04x", *p);
        else
            putchar(*p);
    }
    putchar('"');
}

int auditStatusJson(const struct AuditPaths *paths)
{
    struct AuditFacts f;
    char error[2 * PATH_SIZE];
    const struct JournalSummary *s = &f.summary;

    if (!auditGather(paths, &f, error, sizeof error)) {
        fprintf(stderr, "%s\n", error);
        return 0;
    }
    printf("{\"journal\": ");
    if (f.haveJournal)
        putJsonString(paths->spoolDir);
    else
        printf("null");
    if (f.held)
        printf(", \"held\": true, \"holder_pid\": %ld", f.holder);
    else
        printf(", \"held\": false, \"holder_pid\": null");
    printf(", \"waiting\": %ld, \"bytes\": %llu, \"files\": %d", s->events, (unsigned long long)s->bytes,
           s->files);
    if (s->oldest != 0)
        printf(", \"oldest\": %lld, \"oldest_age_seconds\": %lld", (long long)s->oldest,
               (long long)(f.now - s->oldest));
    else
        printf(", \"oldest\": null, \"oldest_age_seconds\": 0");
    printf(", \"damaged\": %ld, \"requeued\": %ld, \"rejected\": %ld, \"reject_file\": ", s->damaged,
           s->requeued, f.rejects + f.rejectsBeside);
    putJsonString(paths->rejectPath);
    printf("}\n");
    return 1;
}

/* A threshold option's value: a whole number of 0 or more. */
static int thresholdArg(const char *option, const char *value, long *out)
{
    char *end;
    long n;

    errno = 0;
    n = value != NULL ? strtol(value, &end, 10) : -1;
    if (value == NULL || end == value || *end != '\0' || n < 0 || errno != 0) {
        fprintf(stderr, "kelaudit check: %s needs a whole number of 0 or more\n", option);
        return 0;
    }
    *out = n;
    return 1;
}

/* The worse of a state and the state of value against warn and crit. */
static int against(int state, long long value, long warn, long crit)
{
    int here = value >= crit ? CHECK_CRITICAL : value >= warn ? CHECK_WARNING : CHECK_OK;
    return here > state ? here : state;
}

int auditCheck(const struct AuditPaths *paths, int argc, char **argv)
{
    long warnBacklog = WARN_BACKLOG, critBacklog = CRIT_BACKLOG, warnAge = WARN_AGE, critAge = CRIT_AGE;
    struct AuditFacts f;
    char error[2 * PATH_SIZE];
    long long age;
    int state = CHECK_OK;

    for (int i = 0; i < argc; i += 2) {
        const char *value = i + 1 < argc ? argv[i + 1] : NULL;
        long *slot = strcmp(argv[i], "--warn-backlog") == 0   ? &warnBacklog
                     : strcmp(argv[i], "--crit-backlog") == 0 ? &critBacklog
                     : strcmp(argv[i], "--warn-age") == 0     ? &warnAge
                     : strcmp(argv[i], "--crit-age") == 0     ? &critAge
                                                              : NULL;
        if (slot == NULL) {
            printf("KELAUDIT UNKNOWN - unknown option %s (--warn-backlog N, --crit-backlog N, --warn-age S, "
                   "--crit-age S)\n", argv[i]);
            return CHECK_UNKNOWN;
        }
        if (!thresholdArg(argv[i], value, slot)) {
            printf("KELAUDIT UNKNOWN - bad value for %s\n", argv[i]);
            return CHECK_UNKNOWN;
        }
    }
    if (!auditGather(paths, &f, error, sizeof error)) {
        printf("KELAUDIT UNKNOWN - %s\n", error);
        return CHECK_UNKNOWN;
    }
    if (!f.haveJournal) {
        /* Without a journal the events wait in the policy server's memory,
         * where this tool cannot see them (STATUS_FILE shows them). */
        printf("KELAUDIT UNKNOWN - no SPOOL_DIR in %s: the backlog is in memory only\n", paths->confPath);
        return CHECK_UNKNOWN;
    }
    age = f.summary.oldest != 0 ? (long long)(f.now - f.summary.oldest) : 0;
    state = against(state, f.summary.events, warnBacklog, critBacklog);
    state = against(state, age, warnAge, critAge);
    /* Events waiting with no handler to write them. */
    if (f.summary.events > 0 && !f.held)
        state = CHECK_CRITICAL;
    if ((f.rejects + f.rejectsBeside > 0 || f.summary.damaged > 0) && state == CHECK_OK)
        state = CHECK_WARNING;

    printf("KELAUDIT %s - %ld events waiting, oldest %lld s", checkWords[state], f.summary.events, age);
    if (f.held)
        printf(", journal held by process %ld", f.holder);
    else
        printf(", no process holds the journal");
    if (f.rejects + f.rejectsBeside > 0)
        printf(", %ld rejected", f.rejects + f.rejectsBeside);
    if (f.summary.damaged > 0)
        printf(", %ld damaged", f.summary.damaged);
    printf(" | waiting=%ld;%ld;%ld;0 oldest=%llds;%ld;%ld;0 rejected=%ld;;;0 damaged=%ld;;;0 journal=%lluB;;;0\n",
           f.summary.events, warnBacklog, critBacklog, age, warnAge, critAge, f.rejects + f.rejectsBeside,
           f.summary.damaged, (unsigned long long)f.summary.bytes);
    return state;
}
