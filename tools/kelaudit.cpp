/*
 * kelaudit.cpp - the commands of kelaudit (see kelaudit.h): status,
 * rejects and requeue, over the journal's files (eventhandler/journal).
 *
 * Single-threaded. The settings live in this file's state for the one
 * run. requeue renames the reject file into the journal's folder as a
 * requeue file, under the exclusive flock that the handler also takes to
 * append to it; the handler adopts that file as its next segment (at once
 * when it runs, else at its next start).
 */
#include "kelaudit.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include "auditconf.h"
#include "journal.h"
#include "kelcommon.h"
#include "kelsys.h"

#define CONF_FILE "kelaudit.conf"

static const char usageText[] = "Usage: kelaudit {status [--json]|check [THRESHOLDS]|rejects|requeue}\n";
static const char helpText[] =
    "Usage: kelaudit {status [--json]|check [THRESHOLDS]|rejects|requeue}\n"
    "  status   what waits in the audit journal, how old it is, how many events the\n"
    "           database refused, and whether a process holds the journal\n"
    "           (--json: the same as one JSON object)\n"
    "  check    the same as one status line for Nagios and its like, exit status\n"
    "           0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN; THRESHOLDS: --warn-backlog N,\n"
    "           --crit-backlog N (events waiting), --warn-age S, --crit-age S (seconds\n"
    "           the oldest has waited)\n"
    "  rejects  the events the database refused (REJECT_AFTER), with its message\n"
    "  requeue  put the refused events back for the database writer\n"
    "  -h, --help  this text;  --version  the version of the installation\n"
    "The journal is SPOOL_DIR of $SM_HOME/config/kelaudit.conf.\n";

static char confPath[PATH_SIZE];
static char spoolDir[PATH_SIZE];   /* empty: no SPOOL_DIR */
static char besidePath[PATH_SIZE]; /* rejects kept without a journal */
static char rejectPath[PATH_SIZE]; /* where the handler puts rejects now */

/* Reads kelaudit.conf with the event handler's own reader, so that the
 * journal named is the one the handler uses, and works out the reject
 * file as the handler does. */
static int readSettings(void)
{
    struct Param settings;
    struct AuditConfRead found;
    const char *home = getenv("SM_HOME");

    if (home == NULL) {
        fputs("SM_HOME not defined\n", stderr);
        return 0;
    }
    if (snprintf(confPath, sizeof confPath, "%s/%s/%s", home, CONF_DIR, CONF_FILE) >= (int)sizeof confPath ||
        snprintf(besidePath, sizeof besidePath, "%s/%s/%s", home, CONF_DIR, JOURNAL_REJECT_BESIDE_CONF) >=
            (int)sizeof besidePath) {
        fputs("SM_HOME too long\n", stderr);
        return 0;
    }
    auditConfRead(&settings, &found);
    explicit_bzero(settings.password, sizeof settings.password);
    if (!found.opened || found.readError) {
        fprintf(stderr, "Can't read configuration file %s\n", confPath);
        return 0;
    }
    if (found.spoolDirTooLong) {
        fprintf(stderr, "SPOOL_DIR too long in %s\n", confPath);
        return 0;
    }
    memcpy(spoolDir, settings.spoolDir, sizeof spoolDir);
    memcpy(rejectPath, settings.rejectFile, sizeof rejectPath);
    return 1;
}

/* Texts from the journal come from users and agents: control characters
 * are shown as \xHH, so no entry can forge a line. */
static void putEscaped(const char *text)
{
    for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; p++) {
        if (*p < 0x20 || *p == 0x7f)
            printf("\\x%02x", *p);
        else
            putchar(*p);
    }
}

static void formatTime(char *out, size_t size, int64_t stamp)
{
    time_t t = (time_t)stamp;
    struct tm tm;

    if (localtime_r(&t, &tm) == NULL || strftime(out, size, "%Y-%m-%d %H:%M:%S", &tm) == 0)
        snprintf(out, size, "%lld", (long long)stamp);
}

static int countEntry(const struct JournalEntry *, void *arg)
{
    (*(long *)arg)++;
    return 1;
}

long auditCountRejects(const char *path)
{
    long n = 0, damaged = 0;

    return journalForEach(path, countEntry, &n, &damaged) ? n : -1;
}

/* Events in a reject file; -1 (after the message) when it cannot be read. */
static long countRejects(const char *path)
{
    long n = auditCountRejects(path);

    if (n < 0)
        fprintf(stderr, "Can't read %s: %s\n", path, strerror(errno));
    return n;
}

static int cmdStatus(void)
{
    struct JournalSummary s;
    struct stat st;
    char when[64];
    long rejects = countRejects(rejectPath);
    long beside = 0;

    if (rejects < 0)
        return 0;
    if (spoolDir[0] == '\0') {
        printf("journal:   none (no SPOOL_DIR in %s)\n", confPath);
        printf("rejected:  %ld in %s\n", rejects, rejectPath);
        return 1;
    }
    /* A folder that is missing is an error too: the handler makes it at
     * its start, so without it nothing has been journalled here. */
    if (!journalSummarize(spoolDir, &s)) {
        fprintf(stderr, "Can't read %s: %s\n", s.unreadable, strerror(errno));
        return 0;
    }
    printf("journal:   %s\n", spoolDir);
    if (journalLockHeld(spoolDir))
        printf("held by:   process %ld\n", journalLockHolder(spoolDir));
    else
        printf("held by:   no process\n");
    printf("waiting:   %ld events, %llu bytes in %d files\n", s.events, (unsigned long long)s.bytes, s.files);
    if (s.oldest != 0) {
        formatTime(when, sizeof when, s.oldest);
        printf("oldest:    %s (%lld s ago)\n", when, (long long)(kelTime() - s.oldest));
    } else {
        printf("oldest:    -\n");
    }
    if (s.positionMissing)
        printf("warning:   no valid position file: the handler writes all %ld waiting events "
               "again at its next start, including those already in the database\n",
               s.events);
    printf("damaged:   %ld (skipped by the writer)\n", s.damaged);
    printf("requeued:  %ld not yet taken in\n", s.requeued);
    printf("rejected:  %ld in %s\n", rejects, rejectPath);
    /* Refused while no journal was set: requeue takes those too. */
    if (kelSys.stat(besidePath, &st) == 0 && (beside = countRejects(besidePath)) > 0)
        printf("rejected:  %ld in %s\n", beside, besidePath);
    return 1;
}

static int printReject(const struct JournalEntry *e, void *arg)
{
    const struct SmLog_Access_s *ev = e->event;
    char when[64];

    (*(long *)arg)++;
    formatTime(when, sizeof when, e->stamp);
    printf("%s  user ", when);
    putEscaped(ev->szUserName);
    printf("\n  session ");
    putEscaped(ev->szSessionId);
    printf(", client ");
    putEscaped(ev->szClientIp);
    printf(", agent ");
    putEscaped(ev->szAgentName);
    printf("\n  transaction ");
    putEscaped(ev->szTransactionId);
    printf("\n  refused: ");
    putEscaped(e->message != NULL ? e->message : "");
    printf("\n");
    return 1;
}

static int listFile(const char *path)
{
    long n = 0, damaged = 0;

    if (!journalForEach(path, printReject, &n, &damaged)) {
        fprintf(stderr, "Can't read %s: %s\n", path, strerror(errno));
        return 0;
    }
    if (n == 0)
        printf("No rejected events in %s\n", path);
    else
        printf("%ld rejected events in %s\n", n, path);
    if (damaged > 0)
        printf("%ld damaged stretches in %s skipped\n", damaged, path);
    return 1;
}

static int cmdRejects(void)
{
    struct stat st;

    if (!listFile(rejectPath))
        return 0;
    if (spoolDir[0] != '\0' && kelSys.stat(besidePath, &st) == 0)
        return listFile(besidePath);
    return 1;
}

/* Moves one reject file into the journal as a requeue file, under the
 * lock the handler takes to append to it (the handler may replace the
 * file meanwhile: the one the name leads to is locked); adds its events
 * to *moved. */
static int requeueFile(const char *src, long *moved)
{
    char dest[PATH_SIZE], name[JOURNAL_NAME_SIZE];
    struct timeval now;
    long n;
    int fd = journalOpenLocked(src, O_RDONLY, LOCK_EX, NULL);

    if (fd < 0) {
        if (errno == ENOENT)
            return 1;
        if (errno == EAGAIN)
            fprintf(stderr, "Can't lock %s: it keeps changing\n", src);
        else
            fprintf(stderr, "Can't read %s: %s\n", src, strerror(errno));
        return 0;
    }
    n = countRejects(src);
    if (n <= 0) {
        kelSys.close(fd);
        return n == 0;
    }
    kelSys.gettimeofday(&now);
    snprintf(name, sizeof name, JOURNAL_REQUEUE_PREFIX "%016llx-%ld.kaj",
             (unsigned long long)now.tv_sec * 1000000ull + (unsigned long long)now.tv_usec, (long)getpid());
    if (!journalPath(dest, sizeof dest, spoolDir, name) || kelSys.rename(src, dest) != 0) {
        fprintf(stderr, "Can't move %s to %s: %s\n", src, dest, strerror(errno));
        kelSys.close(fd);
        return 0;
    }
    /* Moved either way; a crash before the folders reach the disk may
     * undo the move, which loses nothing. */
    if (!journalSyncDir(spoolDir) || !journalSyncParent(src))
        fprintf(stderr, "Can't sync the folder of %s: %s\n", dest, strerror(errno));
    kelSys.close(fd);
    *moved += n;
    return 1;
}

static int cmdRequeue(void)
{
    long moved = 0;

    if (spoolDir[0] == '\0') {
        fprintf(stderr, "requeue needs SPOOL_DIR in %s\n", confPath);
        return 0;
    }
    if (!requeueFile(rejectPath, &moved) || !requeueFile(besidePath, &moved))
        return 0;
    if (moved == 0)
        printf("No rejected events\n");
    else if (journalLockHeld(spoolDir))
        printf("%ld rejected events put back for the writer\n", moved);
    else
        printf("%ld rejected events put back for the writer; written when the handler next starts\n", moved);
    return 1;
}

int auditToolRun(int argc, char **argv)
{
    const char *cmd = argc == 2 ? argv[1] : "";
    int isCheck = argc >= 2 && strcmp(argv[1], "check") == 0;
    int json = argc == 3 && strcmp(argv[1], "status") == 0 && strcmp(argv[2], "--json") == 0;
    struct AuditPaths paths = {confPath, spoolDir, rejectPath, besidePath};

    if (strcmp(cmd, "-h") == 0 || strcmp(cmd, "--help") == 0) {
        fputs(helpText, stdout);
        return 0;
    }
    if (isCheck || json)
        cmd = argv[1];
    if (strcmp(cmd, "status") != 0 && strcmp(cmd, "rejects") != 0 && strcmp(cmd, "requeue") != 0 && !isCheck) {
        fputs(usageText, stderr);
        return 1;
    }
    if (!readSettings()) {
        if (isCheck)
            printf("KELAUDIT UNKNOWN - no settings to check (see the message on standard error)\n");
        return isCheck ? 3 : 1;
    }
    if (isCheck)
        return auditCheck(&paths, argc - 2, argv + 2);
    if (json)
        return auditStatusJson(&paths) ? 0 : 1;
    if (strcmp(cmd, "status") == 0)
        return cmdStatus() ? 0 : 1;
    if (strcmp(cmd, "rejects") == 0)
        return cmdRejects() ? 0 : 1;
    return cmdRequeue() ? 0 : 1;
}
