/*
 * journal.cpp - records, the position file, names and the lock of the
 * audit journal (see journal.h). Used by the event handler's spool module
 * and by kelaudit; no state, no threads, no trace: callers report.
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
#include <zlib.h>

#include "accessfields.h"
#include "kelcommon.h"
#include "kelsys.h"

#define RECORD_MAGIC 0x314A414Bu /* "KAJ1" */
#define POSITION_MAGIC 0x504A414Bu /* "KAJP" */
#define FORMAT_VERSION 1
/* version, type, two spare bytes, stamp, three numbers */
#define FIXED_PAYLOAD (4 + 8 + 3 * 4)
#define SLOT_SIZE 32
#define SCAN_CHUNK 16384
#define SEGMENT_PREFIX "seg-"
#define SEGMENT_SUFFIX ".kaj"

/* ---- little-endian fields --------------------------------------------- */

static void put32(unsigned char *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (unsigned char)(v >> (8 * i));
}

static void put64(unsigned char *p, uint64_t v)
{
    for (int i = 0; i < 8; i++)
        p[i] = (unsigned char)(v >> (8 * i));
}

static uint32_t get32(const unsigned char *p)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}

static uint64_t get64(const unsigned char *p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}

/* CRC-32 of the length field and the payload: a length damaged into
 * another valid-looking one fails the check too. */
static uint32_t recordCrc(const unsigned char *lengthField, const unsigned char *payload, size_t len)
{
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, lengthField, 4);
    crc = crc32(crc, payload, (uInt)len);
    return (uint32_t)crc;
}

/* ---- records ------------------------------------------------------------ */

size_t journalRecordSize(const struct SmLog_Access_s *e, const char *message)
{
    uint64_t payload = FIXED_PAYLOAD;

    for (int i = 0; i < ACCESS_FIELD_COUNT; i++)
        payload += 4 + (uint64_t)strlen(accessFieldText(e, i));
    if (message != NULL)
        payload += 4 + (uint64_t)strlen(message);
    if (payload > JOURNAL_MAX_PAYLOAD)
        return 0;
    return (size_t)(JOURNAL_HEADER_SIZE + payload);
}

static unsigned char *putText(unsigned char *p, const char *text)
{
    size_t n = strlen(text);

    put32(p, (uint32_t)n);
    memcpy(p + 4, text, n);
    return p + 4 + n;
}

void journalEncode(unsigned char *buf, size_t size, int type, int64_t stamp,
                   const struct SmLog_Access_s *e, const char *message)
{
    unsigned char *payload = buf + JOURNAL_HEADER_SIZE;
    unsigned char *p = payload;
    size_t len = size - JOURNAL_HEADER_SIZE;

    p[0] = FORMAT_VERSION;
    p[1] = (unsigned char)type;
    p[2] = p[3] = 0;
    put64(p + 4, (uint64_t)stamp);
    put32(p + 12, (uint32_t)e->nVersion);
    put32(p + 16, (uint32_t)e->nCurrentTime);
    put32(p + 20, (uint32_t)e->nReason);
    p += FIXED_PAYLOAD;
    for (int i = 0; i < ACCESS_FIELD_COUNT; i++)
        p = putText(p, accessFieldText(e, i));
    if (type == JOURNAL_REJECTED)
        putText(p, message != NULL ? message : "");
    put32(buf, RECORD_MAGIC);
    put32(buf + 4, (uint32_t)len);
    put32(buf + 8, recordCrc(buf + 4, payload, len));
}

/* A text of the payload at *p (within end) into a new allocation; NULL
 * with *bad set when it overruns, with *noMemory when memory ran out. */
static char *takeText(const unsigned char **p, const unsigned char *end, int *bad, int *noMemory)
{
    uint32_t n;
    char *text;

    if (end - *p < 4) {
        *bad = 1;
        return NULL;
    }
    n = get32(*p);
    if ((size_t)(end - *p - 4) < n) {
        *bad = 1;
        return NULL;
    }
    text = (char *)kelSys.malloc((size_t)n + 1);
    if (text == NULL) {
        *noMemory = 1;
        return NULL;
    }
    memcpy(text, *p + 4, n);
    text[n] = '\0';
    *p += 4 + n;
    return text;
}

int journalDecode(const unsigned char *payload, size_t len, struct JournalEntry *out, int *noMemory)
{
    const unsigned char *p = payload + FIXED_PAYLOAD;
    const unsigned char *end = payload + len;
    struct SmLog_Access_s *e;
    char *message = NULL;
    int bad = 0, type;

    *noMemory = 0;
    if (len < FIXED_PAYLOAD || payload[0] != FORMAT_VERSION)
        return 0;
    type = payload[1];
    if (type != JOURNAL_EVENT && type != JOURNAL_REJECTED)
        return 0;
    e = (struct SmLog_Access_s *)kelSys.malloc(sizeof *e);
    if (e == NULL) {
        *noMemory = 1;
        return 0;
    }
    memset(e, 0, sizeof *e);
    e->nVersion = (int32_t)get32(payload + 12);
    e->nCurrentTime = (int32_t)get32(payload + 16);
    e->nReason = (int32_t)get32(payload + 20);
    for (int i = 0; i < ACCESS_FIELD_COUNT && !bad && !*noMemory; i++)
        *accessFieldSlot(e, i) = takeText(&p, end, &bad, noMemory);
    if (!bad && !*noMemory && type == JOURNAL_REJECTED)
        message = takeText(&p, end, &bad, noMemory);
    if (bad || *noMemory || p != end) {
        eventFree(e);
        free(message);
        return 0;
    }
    out->type = type;
    out->stamp = (int64_t)get64(payload + 4);
    out->event = e;
    out->message = message;
    return 1;
}

void journalEntryFree(struct JournalEntry *entry)
{
    eventFree(entry->event);
    free(entry->message);
    entry->event = NULL;
    entry->message = NULL;
}

/* ---- reading a file of records ----------------------------------------- */

void journalBufFree(struct JournalBuf *buf)
{
    free(buf->data);
    buf->data = NULL;
    buf->size = 0;
}

static int bufReserve(struct JournalBuf *buf, size_t size)
{
    unsigned char *data;

    if (buf->size >= size)
        return 1;
    data = (unsigned char *)kelSys.malloc(size);
    if (data == NULL) {
        errno = ENOMEM;
        return 0;
    }
    free(buf->data);
    buf->data = data;
    buf->size = size;
    return 1;
}

/* Reads exactly len bytes at offset; 0 (errno) on error or short read. */
static int readAt(int fd, void *out, size_t len, uint64_t offset)
{
    size_t done = 0;

    while (done < len) {
        ssize_t n = kelSys.pread(fd, (char *)out + done, len - done, (off_t)(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return 0;
        }
        done += (size_t)n;
    }
    return 1;
}

/* Whether a record that verifies starts at offset: 1 (payload in buf,
 * *length its size), 0 when none does, -1 on a read error. */
static int verifyAt(int fd, uint64_t offset, uint64_t end, struct JournalBuf *buf, uint64_t *length)
{
    unsigned char header[JOURNAL_HEADER_SIZE];
    uint32_t len;

    if (end - offset < JOURNAL_HEADER_SIZE)
        return 0;
    if (!readAt(fd, header, sizeof header, offset))
        return -1;
    len = get32(header + 4);
    if (get32(header) != RECORD_MAGIC || len > JOURNAL_MAX_PAYLOAD ||
        end - offset - JOURNAL_HEADER_SIZE < len)
        return 0;
    if (!bufReserve(buf, len > 0 ? len : 1) || !readAt(fd, buf->data, len, offset + JOURNAL_HEADER_SIZE))
        return -1;
    if (recordCrc(header + 4, buf->data, len) != get32(header + 8))
        return 0;
    *length = JOURNAL_HEADER_SIZE + (uint64_t)len;
    return 1;
}

int journalRead(int fd, uint64_t offset, uint64_t end, struct JournalBuf *buf, uint64_t *length)
{
    unsigned char chunk[SCAN_CHUNK];
    uint64_t at;
    int rc;

    if (offset >= end)
        return JOURNAL_END;
    rc = verifyAt(fd, offset, end, buf, length);
    if (rc != 0)
        return rc > 0 ? JOURNAL_RECORD : JOURNAL_ERROR;
    /* Damage or a torn append: look for the next magic that starts a
     * record which verifies. Chunks overlap by three bytes so a magic
     * across their border is seen. */
    for (at = offset + 1; end - at >= JOURNAL_HEADER_SIZE;) {
        size_t want = end - at < sizeof chunk ? (size_t)(end - at) : sizeof chunk;
        if (!readAt(fd, chunk, want, at))
            return JOURNAL_ERROR;
        for (size_t i = 0; i + 4 <= want; i++) {
            uint64_t ignored;
            if (get32(chunk + i) != RECORD_MAGIC)
                continue;
            rc = verifyAt(fd, at + i, end, buf, &ignored);
            if (rc < 0)
                return JOURNAL_ERROR;
            if (rc > 0) {
                *length = at + i - offset;
                return JOURNAL_SKIP;
            }
        }
        if (want < 4)
            break;
        at += want - 3;
    }
    *length = end - offset;
    return JOURNAL_TAIL;
}

/* ---- position ------------------------------------------------------------ */

static int slotRead(const unsigned char *s, struct JournalPosition *p)
{
    if (get32(s) != POSITION_MAGIC || (uint32_t)crc32(crc32(0L, Z_NULL, 0), s + 8, 24) != get32(s + 4))
        return 0;
    p->generation = get64(s + 8);
    p->segment = get64(s + 16);
    p->offset = get64(s + 24);
    return 1;
}

int journalPositionRead(int fd, struct JournalPosition *p)
{
    unsigned char slots[2 * SLOT_SIZE];
    struct JournalPosition a, b;
    ssize_t n;
    int okA, okB;

    memset(p, 0, sizeof *p);
    memset(slots, 0, sizeof slots);
    n = kelSys.pread(fd, slots, sizeof slots, 0);
    if (n < 0)
        return -1;
    okA = slotRead(slots, &a);
    okB = slotRead(slots + SLOT_SIZE, &b);
    if (okA && (!okB || a.generation > b.generation))
        *p = a;
    else if (okB)
        *p = b;
    return okA || okB;
}

int journalPositionWrite(int fd, struct JournalPosition *p)
{
    unsigned char s[SLOT_SIZE];

    p->generation++;
    memset(s, 0, sizeof s);
    put32(s, POSITION_MAGIC);
    put64(s + 8, p->generation);
    put64(s + 16, p->segment);
    put64(s + 24, p->offset);
    put32(s + 4, (uint32_t)crc32(crc32(0L, Z_NULL, 0), s + 8, 24));
    return kelSys.pwrite(fd, s, sizeof s, (off_t)((p->generation % 2) * SLOT_SIZE)) == (ssize_t)sizeof s;
}

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
    while ((ent = readdir(d)) != NULL) {
        unsigned char slot[JOURNAL_NAME_SIZE];
        if (!take(ent->d_name, slot))
            continue;
        if (n == cap) {
            size_t more = cap == 0 ? 16 : cap * 2;
            unsigned char *grown = (unsigned char *)kelSys.malloc(more * slotSize);
            if (grown == NULL) {
                free(items);
                closedir(d);
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
    closedir(d);
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
        close(fd);
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
    close(fd);
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
    close(fd);
    return held;
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
        close(fd);
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
    close(fd);
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
 * meanwhile was committed and counts nothing. */
static void summarizeSegment(const char *path, uint64_t from, struct JournalSummary *s)
{
    struct JournalBuf buf = {NULL, 0};
    struct stat st;
    uint64_t offset = from, length;
    int fd = kelSys.open(path, O_RDONLY | O_CLOEXEC, 0);

    if (fd < 0)
        return;
    if (kelSys.fstat(fd, &st) == 0 && (uint64_t)st.st_size > from) {
        s->bytes += (uint64_t)st.st_size - from;
        for (;;) {
            int rc = journalRead(fd, offset, (uint64_t)st.st_size, &buf, &length);
            if (rc == JOURNAL_END || rc == JOURNAL_ERROR)
                break;
            /* The newest segment may end in a record still being
             * written: an incomplete tail is no damage. */
            if (rc == JOURNAL_TAIL)
                break;
            if (rc == JOURNAL_SKIP) {
                s->damaged++;
            } else {
                struct JournalEntry entry;
                int noMemory;
                if (journalDecode(buf.data, length - JOURNAL_HEADER_SIZE, &entry, &noMemory)) {
                    countEntry(&entry, s);
                    journalEntryFree(&entry);
                } else if (!noMemory) {
                    s->damaged++;
                }
            }
            offset += length;
        }
    }
    journalBufFree(&buf);
    close(fd);
}

int journalSummarize(const char *dir, struct JournalSummary *s)
{
    struct JournalPosition pos;
    char path[PATH_SIZE], name[JOURNAL_NAME_SIZE];
    char (*requeued)[JOURNAL_NAME_SIZE] = NULL;
    uint64_t *seqs = NULL;
    size_t count = 0, nreq = 0;
    int fd;

    memset(s, 0, sizeof *s);
    memset(&pos, 0, sizeof pos);
    if (journalPath(path, sizeof path, dir, JOURNAL_POSITION_FILE) &&
        (fd = kelSys.open(path, O_RDONLY | O_CLOEXEC, 0)) >= 0) {
        journalPositionRead(fd, &pos);
        close(fd);
    }
    if (!journalListSegments(dir, &seqs, &count))
        return 0;
    for (size_t i = 0; i < count; i++) {
        if (seqs[i] < pos.segment)
            continue; /* committed, not yet removed */
        journalSegmentName(name, sizeof name, seqs[i]);
        if (!journalPath(path, sizeof path, dir, name))
            continue;
        s->files++;
        summarizeSegment(path, seqs[i] == pos.segment ? pos.offset : 0, s);
    }
    free(seqs);
    if (journalListRequeued(dir, &requeued, &nreq)) {
        for (size_t i = 0; i < nreq; i++) {
            long damaged = 0;
            if (journalPath(path, sizeof path, dir, requeued[i]))
                journalForEach(path, countRequeued, &s->requeued, &damaged);
        }
        free(requeued);
    }
    return 1;
}
