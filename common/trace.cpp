/*
 * trace.cpp - the trace log.
 *
 * A call that writes a line or looks at keltrace.conf runs under fileLock
 * from the configuration check to the flush, so lines of one library never
 * interleave; fork takes the lock too, so a child forked at any moment can
 * trace. fileLock is the last lock any thread takes (docs/internals.md,
 * "Locks"): no other lock is taken under it. A call whose line is filtered
 * out by its level, between two looks at keltrace.conf, reads two atomics
 * and the seconds of the clock and takes no lock: the host's threads do
 * not queue on it. The file system is touched only through two gates: keltrace.conf is looked at no more than once in two
 * seconds, and a closed log is opened no more than once in two seconds.
 * While the log is open each line costs one fstat, the formatting, one write
 * and one flush.
 *
 * When the log reaches its size limit, one last line says so (once, also
 * across the two plug-ins and restarts: not when the log ends with it
 * already); a "level" or "maxsize" that is not a number is named in the
 * configuration notice, which is then written whatever the level.
 *
 * Control characters in a message are written escaped (\n, \r, \xHH), so a
 * user name or cookie attribute cannot forge extra lines in the log.
 *
 * Cost of a written line beyond the fstat and the write: the timestamp up
 * to the second is formatted once per second, the " pid tid: " part once
 * per thread (again in a child after fork), and the prefix, message and
 * newline go to the stream in one piece.
 */
#include "trace.h"

#include <atomic>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "confline.h"
#include "kelsys.h"
#include "regfile.h"
#include "synch.h"
#include "thread.h"

#define CONF_FILE CONF_DIR "/keltrace.conf"
/* keltrace.conf is looked at, and a closed log opened, at most once in
 * this many seconds. */
#define CHECK_INTERVAL 2
#define DEFAULT_FILE "foglog"
#define DEFAULT_LEVEL 5
#define DEFAULT_MAXSIZE 1000

/* Messages up to this size are built on the stack; longer ones on the heap. */
#define MSG_STACK_SIZE 4096
/* Prefix: timestamp, pid, thread id. */
#define PREFIX_SIZE (CFTIME_MAX + 64)
/* " pid tid: " of a thread. */
#define IDS_SIZE 48

/* The last line written when the log reaches its limit. */
#define FULL_NOTICE "TRACE LOG FULL"
/* What of a log's end is read to find FULL_NOTICE on its last line. */
#define TAIL_SIZE 512

static char fileName[LINE_SIZE] = DEFAULT_FILE;
static std::atomic<int> traceLevel(DEFAULT_LEVEL);
/* Bytes; 64 bits, as "maxsize" takes K, M and G. */
static int64_t maxFileSize = DEFAULT_MAXSIZE;
/* Values of the last read that are not whole numbers, for the notice:
 * "; level 'x3' is not a number (read as 0)". Empty when all were. */
static char confProblems[2 * LINE_SIZE];
/* Size of the open log at the last check. */
static int64_t logSize = 0;
/* Set once the full log has its last line (or had it already); cleared
 * when a check finds the log below its limit or the settings change. */
static int fullNoted = 0;
/* Seconds since the epoch, kept whole: 32 bits would wrap in 2038. */
static time_t lastCheckConfTime = 0;
/* lastCheckConfTime + CHECK_INTERVAL, published (release) after each look
 * and after the settings it read, for the calls that take no lock. */
static std::atomic<time_t> confDue(0);
static time_t confFileModTime = 0;
static time_t lastCheckOpenTime = 0;
static FILE *filePtr = NULL;
static mutex_t fileLock = DEFAULTMUTEX;

/* Under fileLock: the timestamp of stampSecond up to its ".000", and where
 * its milliseconds go (-1: nowhere, the local time could not be had). */
static time_t stampSecond = (time_t)-1;
static char stampText[CFTIME_MAX];
static size_t stampLen = 0;
static int stampMillis = -1;
/* Bumped in the child after fork, so every thread's " pid tid: " is made
 * again there. */
static std::atomic<unsigned> forkGeneration(1);
static pthread_once_t forkHandlersOnce = PTHREAD_ONCE_INIT;
/* Per thread: " pid tid: " and the fork generation it was made in. */
static thread_local char threadIds[IDS_SIZE];
static thread_local size_t threadIdsLen = 0;
static thread_local unsigned threadIdsGeneration = 0;

static void closeLog(void)
{
    if (filePtr != NULL) {
        fclose(filePtr);
        filePtr = NULL;
    }
}

/* Notes a value that is not a whole number for the configuration notice. */
static void noteProblem(const char *name, const char *value, long long used)
{
    size_t len = strlen(confProblems);

    snprintf(confProblems + len, sizeof confProblems - len, "; %s '%.100s' is not a number (read as %lld)",
             name, value, used);
}

static void applyConfigLine(const char *line)
{
    char name[LINE_SIZE];
    char value[LINE_SIZE];
    int level, whole;

    if (!confParseLine(line, name, value))
        return;
    if (strcasecmp(name, "file") == 0) {
        snprintf(fileName, sizeof fileName, "%s", value);
    } else if (strcasecmp(name, "level") == 0) {
        level = confIntValue(value);
        if (!confIntStrict(value, &level))
            noteProblem("level", value, level);
        traceLevel.store(level, std::memory_order_relaxed);
    } else if (strcasecmp(name, "maxsize") == 0) {
        maxFileSize = confSizeValue(value, &whole);
        if (!whole)
            noteProblem("maxsize", value, (long long)maxFileSize);
    }
}

/* Returns 1 when it has just read keltrace.conf, 0 otherwise. */
static int readConfigWhenDue(time_t now)
{
    char path[PATH_SIZE];
    char line[LINE_SIZE];
    const char *home;
    struct stat st;
    struct ConfReader reader;
    FILE *f;

    if (now < lastCheckConfTime + CHECK_INTERVAL)
        return 0;
    lastCheckConfTime = now;

    home = getenv("SM_HOME");
    if (home == NULL)
        return 0;
    snprintf(path, sizeof path, "%s/%s", home, CONF_FILE);
    if (kelSys.stat(path, &st) != 0)
        return 0;
    if (st.st_mtime <= confFileModTime)
        return 0;
    confFileModTime = st.st_mtime;

    /* The next line goes to the file the new settings name. */
    closeLog();
    fullNoted = 0;
    confProblems[0] = '\0';

    /* A FIFO or device under this name counts as unreadable: the read
     * would hold fileLock, and every tracing thread with it, for good. */
    f = regOpenRead(path);
    if (f == NULL)
        return 0;
    confReaderInit(&reader, f);
    while (confReadLine(&reader, line, sizeof line))
        applyConfigLine(line);
    fclose(f);
    return 1;
}


/* Looks at keltrace.conf when the gate is due (see readConfigWhenDue), then
 * publishes when the next look is due: a call that sees that time also
 * sees the settings read before it. */
static int readConfigFile(time_t now)
{
    int justRead = readConfigWhenDue(now);

    confDue.store(lastCheckConfTime + CHECK_INTERVAL, std::memory_order_release);
    return justRead;
}

/* The log is created readable by its owner only: at level 10 it holds
 * passwords and cookies. Only a regular file is written: a FIFO would hold
 * every tracing thread or raise SIGPIPE in the host, a device is no log. */
static FILE *openLog(const char *name)
{
    int fd = regOpen(name, O_WRONLY | O_APPEND | O_CREAT, 0600);
    FILE *f;

    if (fd < 0)
        return NULL;
    f = fdopen(fd, "a");
    if (f == NULL)
        close(fd);
    return f;
}

/* What checkOpenFile finds. */
enum LogState { LOG_CLOSED, LOG_OPEN, LOG_FULL };

/* LOG_OPEN when the log is open and below its size limit; LOG_FULL when
 * it is open at or beyond it (the caller writes the last line and closes
 * it); LOG_CLOSED otherwise. A limit of 0 or less turns the log off. */
static enum LogState checkOpenFile(time_t now)
{
    struct stat st;

    if (filePtr == NULL) {
        if (now < lastCheckOpenTime + CHECK_INTERVAL)
            return LOG_CLOSED;
        lastCheckOpenTime = now;
        filePtr = openLog(fileName);
    }
    if (filePtr == NULL)
        return LOG_CLOSED;
    if (kelSys.fstat(fileno(filePtr), &st) != 0 || maxFileSize <= 0) {
        closeLog();
        return LOG_CLOSED;
    }
    logSize = (int64_t)st.st_size;
    if (logSize >= maxFileSize)
        return LOG_FULL;
    fullNoted = 0;
    return LOG_OPEN;
}

/* Whether the last line of the log is already the full notice: written by
 * the other plug-in, or before the policy server restarted. */
static int endsWithFullNotice(void)
{
    char tail[TAIL_SIZE + 1];
    off_t from = logSize > TAIL_SIZE ? (off_t)(logSize - TAIL_SIZE) : 0;
    int fd = regOpen(fileName, O_RDONLY, 0);
    ssize_t n;
    char *last;

    if (fd < 0)
        return 0;
    n = kelSys.pread(fd, tail, TAIL_SIZE, from);
    close(fd);
    if (n <= 0)
        return 0;
    tail[n] = '\0';
    if (tail[n - 1] == '\n')
        tail[n - 1] = '\0';
    last = strrchr(tail, '\n');
    return strstr(last != NULL ? last : tail, ": " FULL_NOTICE) != NULL;
}

/* The last line of a full log, once: what is dropped from now on, and why. */
static void noteLogFull(const char *prefix)
{
    if (!fullNoted && !endsWithFullNotice()) {
        fprintf(filePtr,
                "%s" FULL_NOTICE ": %lld bytes reached the limit of %lld (maxsize in keltrace.conf); "
                "later lines are dropped until the log is moved away or maxsize is raised\n",
                prefix, (long long)logSize, (long long)maxFileSize);
        fflush(filePtr);
    }
    fullNoted = 1;
    closeLog();
}

/*
 * fork and fileLock. A child has only the thread that forked; had another
 * thread held fileLock at that moment, the child's first trace call would
 * wait for it forever. So, as stdio does with its streams, fork takes
 * fileLock before it copies the process (prepare) and both sides release
 * it after (parent, child): the child starts with the lock free and the
 * log state whole.
 */
static void forkPrepare(void)
{
    mutex_lock(&fileLock);
}

static void forkParent(void)
{
    mutex_unlock(&fileLock);
}

static void forkChild(void)
{
    forkGeneration.fetch_add(1, std::memory_order_relaxed);
    mutex_unlock(&fileLock);
}

static void setForkHandlers(void)
{
    pthread_atfork(forkPrepare, forkParent, forkChild);
}

/* Takes fileLock; the fork handlers are in place before it is first held. */
static void logLock(void)
{
    pthread_once(&forkHandlersOnce, setForkHandlers);
    mutex_lock(&fileLock);
}

/* The local time of sec as "%d/%m/%y %T.000", made once per second. */
static void stampFor(time_t sec)
{
    char *dot;

    if (sec == stampSecond)
        return;
    stampSecond = sec;
    stampLen = (size_t)cftime(stampText, "%d/%m/%y %T.000", &sec);
    stampText[stampLen] = '\0'; /* empty when the local time could not be had */
    dot = strchr(stampText, '.');
    stampMillis = dot != NULL && strlen(dot + 1) >= 3 ? (int)(dot + 1 - stampText) : -1;
}

/* " 815    7: " of the calling thread: process id in 5 columns, thread id
 * in 4. Both stay for the life of the thread, except in a fork child.
 * *len receives its length. */
static const char *threadIdText(size_t *len)
{
    unsigned generation = forkGeneration.load(std::memory_order_relaxed);

    if (threadIdsGeneration != generation) {
        int n = snprintf(threadIds, sizeof threadIds, " %5lu %4u: ", (unsigned long)getpid(), thr_self());
        threadIdsLen = n < 0 ? 0 : (size_t)n < sizeof threadIds ? (size_t)n : sizeof threadIds - 1;
        threadIds[threadIdsLen] = '\0';
        threadIdsGeneration = generation;
    }
    *len = threadIdsLen;
    return threadIds;
}

/* "06/12/26 09:05:03.042   815    7: "; returns its length. */
static size_t buildPrefix(char *prefix, size_t size, const struct timeval *tv)
{
    unsigned long ms = (unsigned long)((tv->tv_usec / 1000) % 1000);
    size_t idsLen;
    const char *ids = threadIdText(&idsLen);
    size_t n;

    stampFor(tv->tv_sec);
    /* Two copies of known lengths: this runs for every line written. */
    n = stampLen < size ? stampLen : size - 1;
    memcpy(prefix, stampText, n);
    idsLen = idsLen < size - 1 - n ? idsLen : size - 1 - n;
    memcpy(prefix + n, ids, idsLen);
    n += idsLen;
    prefix[n] = '\0';
    if (stampMillis >= 0 && (size_t)stampMillis + 3 <= n) {
        prefix[stampMillis] = (char)('0' + ms / 100);
        prefix[stampMillis + 1] = (char)('0' + ms / 10 % 10);
        prefix[stampMillis + 2] = (char)('0' + ms % 10);
    }
    return n;
}

/* 1 for a character that the log shows escaped: a control character other
 * than tab, and DEL. */
static int escapedChar(unsigned char c)
{
    return (c < 0x20 && c != '\t') || c == 0x7f;
}

/* Copies msg into out with control characters escaped; out must hold
 * 4 * strlen(msg) + 1 characters. Returns the length written. */
static size_t escapeControls(char *out, const char *msg)
{
    static const char hex[] = "0123456789abcdef";
    size_t n = 0;

    for (const unsigned char *p = (const unsigned char *)msg; *p != '\0'; p++) {
        if (*p == '\n') {
            out[n++] = '\\';
            out[n++] = 'n';
        } else if (*p == '\r') {
            out[n++] = '\\';
            out[n++] = 'r';
        } else if (escapedChar(*p)) {
            out[n++] = '\\';
            out[n++] = 'x';
            out[n++] = hex[*p >> 4];
            out[n++] = hex[*p & 0xf];
        } else {
            out[n++] = (char)*p;
        }
    }
    out[n] = '\0';
    return n;
}

static int hasControls(const char *msg)
{
    for (const unsigned char *p = (const unsigned char *)msg; *p != '\0'; p++)
        if (escapedChar(*p))
            return 1;
    return 0;
}

/* Writes one whole line: prefix, message (escaped), newline. */
static void writeLine(const char *prefix, const char *msg)
{
    char stackBuf[MSG_STACK_SIZE];
    char *buf = NULL;

    if (hasControls(msg)) {
        size_t need = 4 * strlen(msg) + 1;

        buf = need <= sizeof stackBuf ? stackBuf : (char *)malloc(need);
        if (buf != NULL) {
            escapeControls(buf, msg);
            msg = buf;
        } else {
            msg = "(message with control characters dropped: out of memory)";
        }
    }
    fprintf(filePtr, "%s%s\n", prefix, msg);
    if (buf != NULL && buf != stackBuf)
        free(buf);
}

/* Formats the caller's message; returns it in stackBuf or on the heap
 * (*heap set, to be freed by the caller). */
static const char *formatMessage(char *stackBuf, size_t size, char **heap,
                                 const char *format, va_list args)
{
    va_list copy;
    int n;

    *heap = NULL;
    va_copy(copy, args);
    n = vsnprintf(stackBuf, size, format, copy);
    va_end(copy);
    if (n < 0)
        return "(message cannot be formatted)";
    if ((size_t)n < size)
        return stackBuf;
    *heap = (char *)malloc((size_t)n + 1);
    if (*heap == NULL)
        return stackBuf; /* cut, but written */
    vsnprintf(*heap, (size_t)n + 1, format, args);
    return *heap;
}

/* 1 when the n characters of msg hold no NUL and nothing to escape: no
 * byte below 0x20 but tab, and no DEL. One test per byte without a
 * branch, which the compiler turns into a few vector instructions per 16
 * or 32 bytes. */
static int plainText(const char *msg, size_t n)
{
    unsigned char bad = 0;

    for (size_t i = 0; i < n; i++) {
        unsigned char c = (unsigned char)msg[i];
        bad |= (unsigned char)((c < 0x20) & (c != '\t')) | (unsigned char)(c == 0x7f);
    }
    return bad == 0;
}

/* Writes prefix, message and newline in one piece when the message fits in
 * the line buffer and holds nothing to escape (nor a NUL, where the text
 * ends); otherwise through formatMessage and writeLine. */
static void writeMessage(const char *prefix, size_t prefixLen, const char *format, va_list args)
{
    char line[PREFIX_SIZE + MSG_STACK_SIZE];
    char stackBuf[MSG_STACK_SIZE];
    size_t room = sizeof line - prefixLen - 1; /* 1 for the newline */
    char *heap;
    const char *msg;
    va_list copy;
    int n;

    memcpy(line, prefix, prefixLen);
    va_copy(copy, args);
    n = vsnprintf(line + prefixLen, room, format, copy);
    va_end(copy);
    if (n >= 0 && (size_t)n < room && plainText(line + prefixLen, (size_t)n)) {
        line[prefixLen + (size_t)n] = '\n';
        /* One write(2) at the end of the file (O_APPEND), past the
         * stream, which holds nothing here: vtrace flushes what it
         * printed before. Not through kelSys, like the stream's own
         * writes: a test that makes writes fail reads the trace to see
         * what failed. */
        (void)write(fileno(filePtr), line, prefixLen + (size_t)n + 1);
        return;
    }
    msg = formatMessage(stackBuf, sizeof stackBuf, &heap, format, args);
    writeLine(prefix, msg);
    free(heap);
}

void vtrace(int level, const char *format, va_list args)
{
    char prefix[PREFIX_SIZE];
    size_t prefixLen;
    struct timeval tv;
    enum LogState state;
    int justRead, passes, notice;

    /* A line filtered out by its level, when no look at keltrace.conf is
     * due, changes nothing: such a call takes no lock and returns. The
     * gate is read first, so a call that sees it moved on by a look also
     * sees the level that look read. */
    time_t due = confDue.load(std::memory_order_acquire);
    if (level > traceLevel.load(std::memory_order_relaxed) && kelSeconds() < due)
        return;

    logLock();
    if (kelSys.gettimeofday(&tv) != 0) {
        tv.tv_sec = 0;
        tv.tv_usec = 0;
    }
    justRead = readConfigFile(kelSeconds());
    passes = level <= traceLevel.load(std::memory_order_relaxed);
    /* A value that is not a number is worth the notice at any level. */
    notice = justRead && (passes || confProblems[0] != '\0');
    state = passes || notice ? checkOpenFile(tv.tv_sec) : LOG_CLOSED;
    if (state != LOG_CLOSED) {
        prefixLen = buildPrefix(prefix, sizeof prefix, &tv);
        if (state == LOG_FULL) {
            noteLogFull(prefix);
        } else {
            if (notice) {
                fprintf(filePtr, "%sCONFIGURATION READ: file %s level %d limit %lld%s\n", prefix, fileName,
                        traceLevel.load(std::memory_order_relaxed), (long long)maxFileSize, confProblems);
                fflush(filePtr);
            }
            if (passes)
                writeMessage(prefix, prefixLen, format, args);
            fflush(filePtr);
        }
    }
    mutex_unlock(&fileLock);
}

void trace(int level, const char *format, ...)
{
    va_list args;

    va_start(args, format);
    vtrace(level, format, args);
    va_end(args);
}

void traceClose(void)
{
    logLock();
    closeLog();
    mutex_unlock(&fileLock);
}

int traceGetLevel(void)
{
    return traceLevel.load(std::memory_order_relaxed);
}

void traceReset(void)
{
    logLock();
    closeLog();
    snprintf(fileName, sizeof fileName, "%s", DEFAULT_FILE);
    traceLevel.store(DEFAULT_LEVEL, std::memory_order_relaxed);
    maxFileSize = DEFAULT_MAXSIZE;
    confProblems[0] = '\0';
    logSize = 0;
    fullNoted = 0;
    lastCheckConfTime = 0;
    confDue.store(0, std::memory_order_release);
    confFileModTime = 0;
    lastCheckOpenTime = 0;
    mutex_unlock(&fileLock);
}
