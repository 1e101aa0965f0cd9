/*
 * journalfiles.cpp - the names, listing, lock and folder of the audit
 * journal, and what kelaudit and smhost check read from outside (see
 * journal.h; records and the position file are in journal.cpp). No
 * state, no threads, no trace: callers report.
 */
#include "journal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include "kelcommon.h"
#include "kelsys.h"

#define SEGMENT_PREFIX "seg-"
#define SEGMENT_SUFFIX ".kaj"
/* Opens of a file by name that the other side may rename away meanwhile. */
#define LOCK_NAME_TRIES 5

/* ---- names --------------------------------------------------------------- */

int journalPath(char *out, size_t size, const char *dir, const char *name)
{
    int n = snprintf(out, size, "%s/%s", dir, name);
    return n > 0 && (size_t)n < size;
}

void journalSegmentName(char *out, size_t size, uint64_t seq)
{
    snprintf(out, size, SEGMENT_PREFIX "%016llx" SEGMENT_SUFFIX, (unsigned long long)seq);
}

int journalSegmentNumber(const char *name, uint64_t *seq)
{
    char expected[JOURNAL_NAME_SIZE];
    unsigned long long n;
    char *end;

    if (strncmp(name, SEGMENT_PREFIX, sizeof SEGMENT_PREFIX - 1) != 0)
        return 0;
    errno = 0;
    n = strtoull(name + sizeof SEGMENT_PREFIX - 1, &end, 16);
    if (errno != 0)
        return 0;
    /* Only the exact spelling counts, so no two names share a number. */
    journalSegmentName(expected, sizeof expected, n);
    if (strcmp(expected, name) != 0)
        return 0;
    *seq = n;
    return 1;
}

static int compareSeq(const void *a, const void *b)
{
    uint64_t x = *(const uint64_t *)a, y = *(const uint64_t *)b;
    return x < y ? -1 : x > y;
}

static int compareName(const void *a, const void *b)
{
    return strcmp((const char *)a, (const char *)b);
}

/* Collects the entries of dir that take accepts (filling a slot of
 * slotSize bytes for each) into an array the caller frees. */
static int listDir(const char *dir, int (*take)(const char *name, void *slot), size_t slotSize,
                   void **out, size_t *count)
{
    DIR *d = kelSys.opendir(dir);
    struct dirent *ent;
    unsigned char *items = NULL;
    size_t n = 0, cap = 0;

    *out = NULL;
    *count = 0;
    if (d == NULL)
        return 0;
    while ((ent = kelSys.readdir(d)) != NULL) {
        unsigned char slot[JOURNAL_NAME_SIZE];
        if (!take(ent->d_name, slot))
            continue;
        if (n == cap) {
            size_t more = cap == 0 ? 16 : cap * 2;
            unsigned char *grown = (unsigned char *)kelSys.malloc(more * slotSize);
            if (grown == NULL) {
                free(items);
                kelSys.closedir(d);
                errno = ENOMEM;
                return 0;
            }
            if (n > 0)
                memcpy(grown, items, n * slotSize);
            free(items);
            items = grown;
            cap = more;
        }
        memcpy(items + n * slotSize, slot, slotSize);
        n++;
    }
    kelSys.closedir(d);
    *out = items;
    *count = n;
    return 1;
}

static int takeSegment(const char *name, void *slot)
{
    uint64_t seq;

    if (!journalSegmentNumber(name, &seq))
        return 0;
    memcpy(slot, &seq, sizeof seq);
    return 1;
}

static int takeRequeued(const char *name, void *slot)
{
    size_t len = strlen(name);

    if (strncmp(name, JOURNAL_REQUEUE_PREFIX, sizeof JOURNAL_REQUEUE_PREFIX - 1) != 0 ||
        len >= JOURNAL_NAME_SIZE || len < sizeof SEGMENT_SUFFIX ||
        strcmp(name + len - (sizeof SEGMENT_SUFFIX - 1), SEGMENT_SUFFIX) != 0)
        return 0;
    memcpy(slot, name, len + 1);
    return 1;
}

int journalListSegments(const char *dir, uint64_t **seqs, size_t *count)
{
    void *items;

    if (!listDir(dir, takeSegment, sizeof(uint64_t), &items, count))
        return 0;
    *seqs = (uint64_t *)items;
    if (*count > 1)
        qsort(*seqs, *count, sizeof **seqs, compareSeq);
    return 1;
}

int journalListRequeued(const char *dir, char (**names)[JOURNAL_NAME_SIZE], size_t *count)
{
    void *items;

    if (!listDir(dir, takeRequeued, JOURNAL_NAME_SIZE, &items, count))
        return 0;
    *names = (char(*)[JOURNAL_NAME_SIZE])items;
    if (*count > 1)
        qsort(*names, *count, JOURNAL_NAME_SIZE, compareName);
    return 1;
}

/* ---- the lock -------------------------------------------------------------- */

int journalLockOpen(const char *dir, int exclusive)
{
    char path[PATH_SIZE];
    int fd, saved;

    if (!journalPath(path, sizeof path, dir, JOURNAL_LOCK_FILE)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    fd = kelSys.open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    if (kelSys.flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        saved = errno;
        kelSys.close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

long journalLockHolder(const char *dir)
{
    char path[PATH_SIZE];
    char text[32];
    ssize_t n;
    int fd;

    if (!journalPath(path, sizeof path, dir, JOURNAL_LOCK_FILE))
        return 0;
    fd = kelSys.open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    n = kelSys.pread(fd, text, sizeof text - 1, 0);
    kelSys.close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    return strtol(text, NULL, 10);
}

int journalLockHeld(const char *dir)
{
    char path[PATH_SIZE];
    int fd, held;

    if (!journalPath(path, sizeof path, dir, JOURNAL_LOCK_FILE))
        return 0;
    fd = kelSys.open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    /* A shared lock for a moment; the handler waits a little for it. */
    held = kelSys.flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    kelSys.close(fd);
    return held;
}

int journalSyncDir(const char *dir)
{
    int fd = kelSys.open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0), rc, saved;

    if (fd < 0)
        return 0;
    rc = kelSys.fsync(fd);
    saved = errno;
    kelSys.close(fd);
    errno = saved;
    return rc == 0;
}

int journalSyncParent(const char *path)
{
    char dir[PATH_SIZE];
    char *slash;

    snprintf(dir, sizeof dir, "%s", path);
    slash = strrchr(dir, '/');
    if (slash == NULL)
        return journalSyncDir(".");
    if (slash == dir)
        slash[1] = '\0';
    else
        *slash = '\0';
    return journalSyncDir(dir);
}

int journalOpenLocked(const char *path, int flags, int operation, int *created)
{
    struct stat byFd, byName;

    for (int i = 0; i < LOCK_NAME_TRIES; i++) {
        int fd, saved;
        if (created != NULL)
            *created = kelSys.stat(path, &byName) != 0;
        fd = kelSys.open(path, flags | O_CLOEXEC, 0600);
        if (fd < 0)
            return -1;
        if (kelSys.flock(fd, operation) != 0) {
            saved = errno;
            kelSys.close(fd);
            errno = saved;
            return -1;
        }
        if (kelSys.fstat(fd, &byFd) == 0 && kelSys.stat(path, &byName) == 0 && byFd.st_ino == byName.st_ino &&
            byFd.st_dev == byName.st_dev)
            return fd;
        kelSys.close(fd);
    }
    errno = EAGAIN;
    return -1;
}

int journalDirFromSetting(char *out, size_t size, const char *home, const char *value)
{
    int n;

    if (value[0] == '/' || home == NULL)
        n = snprintf(out, size, "%s", value);
    else
        n = snprintf(out, size, "%s/%s", home, value);
    return n > 0 && (size_t)n < size;
}

/* ---- looking at a journal from outside ------------------------------------ */

int journalForEach(const char *path, int (*fn)(const struct JournalEntry *, void *), void *arg,
                   long *damaged)
{
    struct JournalBuf buf = {NULL, 0};
    struct stat st;
    uint64_t offset = 0, length;
    int fd, ok = 1;

    fd = kelSys.open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return errno == ENOENT;
    if (kelSys.fstat(fd, &st) != 0) {
        kelSys.close(fd);
        return 0;
    }
    for (;;) {
        int rc = journalRead(fd, offset, (uint64_t)st.st_size, &buf, &length);
        if (rc == JOURNAL_END)
            break;
        if (rc == JOURNAL_ERROR) {
            ok = 0;
            break;
        }
        if (rc == JOURNAL_RECORD) {
            struct JournalEntry entry;
            int noMemory, more = 1;
            if (journalDecode(buf.data, length - JOURNAL_HEADER_SIZE, &entry, &noMemory)) {
                more = fn(&entry, arg);
                journalEntryFree(&entry);
            } else if (noMemory) {
                errno = ENOMEM;
                ok = 0;
                break;
            } else {
                (*damaged)++;
            }
            if (!more)
                break;
        } else {
            (*damaged)++;
        }
        offset += length;
    }
    journalBufFree(&buf);
    kelSys.close(fd);
    return ok;
}

static int countEntry(const struct JournalEntry *e, void *arg)
{
    struct JournalSummary *s = (struct JournalSummary *)arg;

    s->events++;
    if (s->oldest == 0 || e->stamp < s->oldest)
        s->oldest = e->stamp;
    return 1;
}

static int countRequeued(const struct JournalEntry *, void *arg)
{
    (*(long *)arg)++;
    return 1;
}

/* Counts the records of one segment from offset on. A segment removed
 * meanwhile was committed and counts nothing. 0 (errno) when it cannot be
 * read. */
static int summarizeSegment(const char *path, uint64_t from, struct JournalSummary *s)
{
    struct JournalBuf buf = {NULL, 0};
    struct stat st;
    uint64_t offset = from, length;
    int fd = kelSys.open(path, O_RDONLY | O_CLOEXEC, 0), ok = 1, saved;

    if (fd < 0)
        return errno == ENOENT;
    if (kelSys.fstat(fd, &st) != 0) {
        ok = 0;
    } else if ((uint64_t)st.st_size > from) {
        s->bytes += (uint64_t)st.st_size - from;
        for (;;) {
            int rc = journalRead(fd, offset, (uint64_t)st.st_size, &buf, &length);
            if (rc == JOURNAL_ERROR)
                ok = 0;
            /* The newest segment may end in a record still being
             * written: an incomplete tail is no damage. */
            if (rc == JOURNAL_END || rc == JOURNAL_ERROR || rc == JOURNAL_TAIL)
                break;
            if (rc == JOURNAL_SKIP) {
                s->damaged++;
            } else {
                struct JournalEntry entry;
                int noMemory;
                if (journalDecode(buf.data, length - JOURNAL_HEADER_SIZE, &entry, &noMemory)) {
                    countEntry(&entry, s);
                    journalEntryFree(&entry);
                } else if (noMemory) {
                    errno = ENOMEM;
                    ok = 0;
                    break;
                } else {
                    s->damaged++;
                }
            }
            offset += length;
        }
    }
    saved = errno;
    journalBufFree(&buf);
    kelSys.close(fd);
    errno = saved;
    return ok;
}

/* Notes the file that could not be read; 0 with errno kept. */
static int summaryFailed(struct JournalSummary *s, const char *path)
{
    int saved = errno;

    snprintf(s->unreadable, sizeof s->unreadable, "%s", path);
    errno = saved;
    return 0;
}

int journalSummarize(const char *dir, struct JournalSummary *s)
{
    struct JournalPosition pos;
    char path[PATH_SIZE], name[JOURNAL_NAME_SIZE];
    char (*requeued)[JOURNAL_NAME_SIZE] = NULL;
    uint64_t *seqs = NULL;
    size_t count = 0, nreq = 0;
    int fd, valid = 0;

    memset(s, 0, sizeof *s);
    memset(&pos, 0, sizeof pos);
    if (!journalPath(path, sizeof path, dir, JOURNAL_POSITION_FILE)) {
        errno = ENAMETOOLONG;
        return summaryFailed(s, dir);
    }
    fd = kelSys.open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0 && errno != ENOENT)
        return summaryFailed(s, path);
    if (fd >= 0) {
        valid = journalPositionRead(fd, &pos);
        kelSys.close(fd);
        if (valid < 0)
            return summaryFailed(s, path);
    }
    if (!journalListSegments(dir, &seqs, &count))
        return summaryFailed(s, dir);
    for (size_t i = 0; i < count; i++) {
        if (seqs[i] < pos.segment)
            continue; /* committed, not yet removed */
        journalSegmentName(name, sizeof name, seqs[i]);
        if (!journalPath(path, sizeof path, dir, name))
            continue;
        s->files++;
        if (!summarizeSegment(path, seqs[i] == pos.segment ? pos.offset : 0, s)) {
            free(seqs);
            return summaryFailed(s, path);
        }
    }
    free(seqs);
    s->positionMissing = !valid && s->files > 0;
    if (!journalListRequeued(dir, &requeued, &nreq))
        return summaryFailed(s, dir);
    for (size_t i = 0; i < nreq; i++) {
        long damaged = 0;
        if (journalPath(path, sizeof path, dir, requeued[i]) &&
            !journalForEach(path, countRequeued, &s->requeued, &damaged)) {
            free(requeued);
            return summaryFailed(s, path);
        }
    }
    free(requeued);
    return 1;
}
