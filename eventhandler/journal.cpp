/*
 * journal.cpp - the records and the position file of the audit journal
 * (see journal.h; its names, lock and folder are in journalfiles.cpp).
 * Used by the event handler's spool module and by kelaudit; no state, no
 * threads, no trace: callers report.
 */
#include "journal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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

int journalReadAt(int fd, void *out, size_t len, uint64_t offset)
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
    if (!journalReadAt(fd, header, sizeof header, offset))
        return -1;
    len = get32(header + 4);
    if (get32(header) != RECORD_MAGIC || len > JOURNAL_MAX_PAYLOAD ||
        end - offset - JOURNAL_HEADER_SIZE < len)
        return 0;
    if (!bufReserve(buf, len > 0 ? len : 1) || !journalReadAt(fd, buf->data, len, offset + JOURNAL_HEADER_SIZE))
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
        if (!journalReadAt(fd, chunk, want, at))
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
