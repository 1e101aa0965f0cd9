/*
 * reject.cpp - REJECT_AFTER (see reject.h): which database errors blame
 * the row's data, the count of such refusals of the head event, and the
 * reject file.
 *
 * The reject file holds journal records of the rejected type (journal.h).
 * Each is appended under an exclusive flock of the file, synced before the
 * writer moves on, so the event is on disk in one place or the other.
 * kelaudit requeue renames the file away under the same lock; the writer
 * therefore checks after locking that the name still leads to the file it
 * opened, and opens again when it does not. State: the count, writer
 * thread only.
 */
#include "reject.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include "journal.h"
#include "kelsys.h"
#include "smeventkel.h"
#include "trace.h"

/* A SQLSTATE class is its first two characters: the base-36 number of
 * the five divided by 36 to the third. */
#define SQLSTATE_CLASS(code) ((code) / (36 * 36 * 36))
#define SQLSTATE_CLASS_OF(a, b) ((a) * 36 + (b))
#define SQLITE_TOOBIG 18
#define SQLITE_CONSTRAINT 19
#define SQLITE_MISMATCH 20

static int refusals = 0;

/* Oracle errors that blame the values of the row. */
static const int oracleDataErrors[] = {
    1,     /* unique constraint violated */
    1400,  /* cannot insert NULL */
    1401,  /* inserted value too large for column */
    1407,  /* cannot update to NULL */
    1438,  /* value larger than the column's precision */
    1461,  /* LONG value for a column that is not LONG */
    1722,  /* invalid number */
    1830, 1839, 1840, 1841, 1843, 1847, 1858, 1861, /* date and number formats */
    2290,  /* check constraint violated */
    2291,  /* parent key not found */
    12899, /* value too large for column */
};

int rejectIsDataError(int code, const char *text)
{
    if (strncmp(text, "PostgreSQL error ", 17) == 0) {
        /* Class 22: data exception; class 23: integrity constraint violation. */
        int cls = SQLSTATE_CLASS(code);
        return cls == SQLSTATE_CLASS_OF(2, 2) || cls == SQLSTATE_CLASS_OF(2, 3);
    }
    if (strncmp(text, "SQLite error ", 13) == 0) {
        int primary = code & 0xff;
        return primary == SQLITE_CONSTRAINT || primary == SQLITE_MISMATCH || primary == SQLITE_TOOBIG;
    }
    for (size_t i = 0; i < sizeof oracleDataErrors / sizeof oracleDataErrors[0]; i++)
        if (code == oracleDataErrors[i])
            return 1;
    return 0;
}

/* Appends the event with the database's message; 1 once it is on disk. */
static int rejectWrite(const struct SmLog_Access_s *e, const char *message, const char *path)
{
    struct stat st;
    unsigned char *buf;
    size_t size = journalRecordSize(e, message);
    int fd, created, ok = 0, error = 0;

    if (size == 0) {
        errno = EFBIG;
        return 0;
    }
    buf = (unsigned char *)kelSys.malloc(size);
    if (buf == NULL)
        return 0;
    journalEncode(buf, size, JOURNAL_REJECTED, (int64_t)kelTime(), e, message);
    fd = journalOpenLocked(path, O_WRONLY | O_CREAT | O_APPEND, LOCK_EX, &created);
    if (fd >= 0) {
        errno = 0;
        if (kelSys.fstat(fd, &st) != 0) {
            error = errno;
        } else if (kelSys.write(fd, buf, size) == (ssize_t)size && kelSys.fdatasync(fd) == 0) {
            ok = 1;
        } else {
            error = errno != 0 ? errno : ENOSPC;
            /* No torn record left behind for the next reader. */
            kelSys.ftruncate(fd, st.st_size);
        }
        kelSys.close(fd); /* lets the lock go */
        if (ok && created)
            journalSyncParent(path);
    } else {
        error = errno;
    }
    free(buf);
    errno = error;
    return ok;
}

int rejectAfterFailure(const struct SmLog_Access_s *e, int dataError, const char *message)
{
    if (param.rejectAfter <= 0)
        return 0;
    if (!dataError) {
        refusals = 0;
        return 0;
    }
    if (++refusals < param.rejectAfter)
        return 0;
    if (!rejectWrite(e, message, param.rejectFile)) {
        trace(TRACE_ERROR, "Can't write reject file %s: %s; the event is tried again", param.rejectFile,
              strerror(errno));
        return 0;
    }
    trace(TRACE_ERROR, "Event of user %s refused %d times for its data, put aside in %s: %s",
          e->szUserName, refusals, param.rejectFile, message);
    refusals = 0;
    return 1;
}

void rejectForget(void)
{
    refusals = 0;
}
