/*
 * status.cpp - STATUS_FILE: the event handler's counters and what waits,
 * in the Prometheus text exposition format, for node_exporter's textfile
 * collector or any script.
 *
 * Threading: the counters are atomics, bumped by the policy server's
 * threads (recorded), the writer (written, failed) and whoever puts an
 * event aside (rejected); none of them waits for anything here. One thread
 * of this module samples the gauges and rewrites the file every
 * STATUS_INTERVAL seconds; it holds statusLock only to wait and to read
 * its settings, so no other lock is ever taken under statusLock. Each
 * write runs under writeLock, which the sampler's queueMutex and the
 * trace lock follow.
 *
 * The file is written to "<path>.<pid>.tmp" beside it and renamed over
 * it: a reader sees the old file or the new one, whole. It is created
 * readable by all (the collector runs as another user); it holds only
 * numbers. A failed write is traced once, and again only after a write
 * succeeded in between, so a full disk does not fill the trace log too.
 */
#include "status.h"

#include <atomic>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "journal.h"
#include "kelcommon.h"
#include "kelsys.h"
#include "queue.h"
#include "smeventkel.h"
#include "synch.h"
#include "thread.h"
#include "trace.h"

/* The file's text: eight metrics with their help lines fit with room. */
#define STATUS_TEXT_SIZE 4096

static std::atomic<unsigned long long> recordedTotal(0);
static std::atomic<unsigned long long> writtenTotal(0);
static std::atomic<unsigned long long> failedTotal(0);
static std::atomic<unsigned long long> rejectedTotal(0);
static std::atomic<long long> lastCommit(0);

/* Under statusLock: the settings and the thread's state. */
static mutex_t statusLock = DEFAULTMUTEX;
static cond_t statusWake = DEFAULTCV;
static char statusPath[PATH_SIZE];
static StatusSampler statusSampler = NULL;
static int threadRunning = 0;
static int threadStop = 0;
static thread_t statusThread;
/* One write at a time (the thread, a start or stop, a test): under
 * writeLock, which comes before queueMutex (the sampler) and the trace
 * lock. Whether the last write failed (traced once). */
static mutex_t writeLock = DEFAULTMUTEX;
static int lastWriteFailed = 0;

void statusRecorded(void)
{
    recordedTotal.fetch_add(1, std::memory_order_relaxed);
}

void statusWritten(time_t commitTime, int rows)
{
    writtenTotal.fetch_add((unsigned long long)rows, std::memory_order_relaxed);
    lastCommit.store((long long)commitTime, std::memory_order_relaxed);
}

void statusWriteFailed(void)
{
    failedTotal.fetch_add(1, std::memory_order_relaxed);
}

void statusRejected(void)
{
    rejectedTotal.fetch_add(1, std::memory_order_relaxed);
}

size_t statusFormat(char *buf, size_t size, const struct StatusGauges *g, time_t now)
{
    const struct {
        const char *name, *type, *help;
        long long value;
    } metrics[] = {
        {"kelaudit_events_recorded_total", "counter", "Accepted logins taken for the audit since the handler started.",
         (long long)recordedTotal.load(std::memory_order_relaxed)},
        {"kelaudit_rows_written_total", "counter", "Audit rows committed to the database since the handler started.",
         (long long)writtenTotal.load(std::memory_order_relaxed)},
        {"kelaudit_write_failures_total", "counter", "Failed attempts to write an audit row (each is tried again).",
         (long long)failedTotal.load(std::memory_order_relaxed)},
        {"kelaudit_rejected_total", "counter", "Events the database refused, put aside in the reject file.",
         (long long)rejectedTotal.load(std::memory_order_relaxed)},
        {"kelaudit_events_waiting", "gauge", "Events taken for the audit and not yet in the table.", g->waiting},
        {"kelaudit_oldest_waiting_seconds", "gauge",
         "Age of the oldest event not yet in the table; 0 when none waits.", g->oldestSeconds},
        {"kelaudit_last_commit_timestamp_seconds", "gauge",
         "When the last audit row was committed, in seconds since the epoch; 0 before the first.",
         lastCommit.load(std::memory_order_relaxed)},
        {"kelaudit_journal_bytes", "gauge", "Bytes of the audit journal's events not yet written; 0 without one.",
         g->journalBytes},
        {"kelaudit_status_timestamp_seconds", "gauge", "When this file was written, in seconds since the epoch.",
         (long long)now},
    };
    size_t len = 0;

    for (const auto &m : metrics) {
        int n = snprintf(buf + len, size - len, "# HELP %s %s\n# TYPE %s %s\n%s %lld\n", m.name, m.help, m.name,
                         m.type, m.name, m.value);
        if (n < 0 || (size_t)n >= size - len)
            return 0;
        len += (size_t)n;
    }
    return len;
}

/* Writes all of text to fd; 1 on success. */
static int writeAll(int fd, const char *text, size_t len)
{
    while (len > 0) {
        ssize_t n = kelSys.write(fd, text, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        text += n;
        len -= (size_t)n;
    }
    return 1;
}

/* Puts text into path through a temporary file and a rename; 0 with errno
 * set on failure (the temporary file is removed). */
static int replaceFile(const char *path, const char *text, size_t len)
{
    char tmp[PATH_SIZE + 32];
    int fd, ok, savedErrno;

    if ((size_t)snprintf(tmp, sizeof tmp, "%s.%ld.tmp", path, (long)getpid()) >= sizeof tmp) {
        errno = ENAMETOOLONG;
        return 0;
    }
    fd = kelSys.open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return 0;
    ok = writeAll(fd, text, len);
    savedErrno = errno;
    if (close(fd) != 0 && ok) {
        ok = 0;
        savedErrno = errno;
    }
    if (ok && kelSys.rename(tmp, path) != 0) {
        ok = 0;
        savedErrno = errno;
    }
    if (!ok) {
        kelSys.unlink(tmp);
        errno = savedErrno;
    }
    return ok;
}

int statusWriteNow(void)
{
    char path[PATH_SIZE];
    char text[STATUS_TEXT_SIZE];
    struct StatusGauges g = {0, 0, 0};
    StatusSampler sampler;
    size_t len;
    int ok;

    mutex_lock(&statusLock);
    memcpy(path, statusPath, sizeof path);
    sampler = statusSampler;
    mutex_unlock(&statusLock);
    if (path[0] == '\0')
        return 0;
    mutex_lock(&writeLock);
    if (sampler != NULL)
        sampler(&g);
    len = statusFormat(text, sizeof text, &g, kelTime());
    ok = len > 0 && replaceFile(path, text, len);
    if (!ok && !lastWriteFailed)
        trace(TRACE_ERROR, "STATUS_FILE %s cannot be written: %s", path, len > 0 ? strerror(errno) : "text too long");
    else if (ok && lastWriteFailed)
        trace(TRACE_2, "STATUS_FILE %s written again", path);
    lastWriteFailed = !ok;
    mutex_unlock(&writeLock);
    return ok;
}

static void *statusThreadFn(void *)
{
    timestruc_t interval = {STATUS_INTERVAL, 0};

    mutex_lock(&statusLock);
    while (!threadStop) {
        cond_reltimedwait(&statusWake, &statusLock, &interval);
        if (threadStop)
            break;
        mutex_unlock(&statusLock);
        statusWriteNow();
        mutex_lock(&statusLock);
    }
    mutex_unlock(&statusLock);
    return NULL;
}

int statusStart(const char *path, StatusSampler sampler)
{
    int rc;

    mutex_lock(&statusLock);
    if (threadRunning) {
        mutex_unlock(&statusLock);
        return 1;
    }
    snprintf(statusPath, sizeof statusPath, "%s", path);
    statusSampler = sampler;
    threadStop = 0;
    mutex_unlock(&statusLock);

    /* The file is there from the start: a monitor tells "nothing yet"
     * from "no handler". */
    statusWriteNow();
    rc = kelSys.threadCreate(&statusThread, statusThreadFn, NULL);
    if (rc != 0) {
        trace(TRACE_ERROR, "STATUS_FILE %s: cannot start its thread: %s; written only at release", path,
              strerror(rc));
        return 0;
    }
    mutex_lock(&statusLock);
    threadRunning = 1;
    mutex_unlock(&statusLock);
    return 1;
}

void statusStop(void)
{
    int running;

    mutex_lock(&statusLock);
    running = threadRunning;
    threadStop = 1;
    cond_broadcast(&statusWake);
    threadRunning = 0;
    mutex_unlock(&statusLock);
    if (running)
        thr_join(statusThread, NULL, NULL);
    /* What the release left: the last counters, and what still waits.
     * The next start names its file afresh. */
    statusWriteNow();
    mutex_lock(&statusLock);
    statusPath[0] = '\0';
    statusSampler = NULL;
    mutex_unlock(&statusLock);
}

/* The gauges of the handler in this process: the ring under queueMutex,
 * the journal from its files (as kelaudit status reads them). */
static void sampleHandler(struct StatusGauges *g)
{
    char dir[PATH_SIZE];
    struct JournalSummary s;
    long long oldest = 0;
    long long now = (long long)kelTime();

    queueLock();
    g->waiting = queueExists() ? queueLength() : 0;
    if (g->waiting > 0)
        oldest = queueAt(0)->nCurrentTime;
    /* param changes only under queueMutex, while no writer runs. */
    memcpy(dir, param.spoolDir, sizeof dir);
    queueUnlock();
    if (dir[0] != '\0' && journalSummarize(dir, &s)) {
        g->waiting += s.events + s.requeued;
        if (s.oldest != 0 && (oldest == 0 || s.oldest < oldest))
            oldest = s.oldest;
        g->journalBytes = (long long)s.bytes;
    }
    g->oldestSeconds = oldest != 0 && now > oldest ? now - oldest : 0;
}

int statusStartHandler(const char *path)
{
    return statusStart(path, sampleHandler);
}

void statusReset(void)
{
    statusStop();
    mutex_lock(&writeLock);
    lastWriteFailed = 0;
    mutex_unlock(&writeLock);
    recordedTotal.store(0);
    writtenTotal.store(0);
    failedTotal.store(0);
    rejectedTotal.store(0);
    lastCommit.store(0);
}
