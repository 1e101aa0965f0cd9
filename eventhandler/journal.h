/*
 * journal.h - the files of the audit journal, read and written the same
 * way by the event handler (spool) and by the administrator's tool
 * (kelaudit).
 *
 * A journal is one folder (SPOOL_DIR) holding:
 *   lock                 taken (flock) by the one process that appends to
 *                        the journal; holds that process's id
 *   seg-<16 hex>.kaj     segments of records, read in the order of their
 *                        numbers; a segment only ever grows at its end
 *   position             how far the writer has committed: two slots, each
 *                        with a generation and a CRC, written in turn, so a
 *                        torn write leaves the slot before it
 *   rejects              events the database refused (REJECT_AFTER), with
 *                        its message; without a journal the handler keeps
 *                        them in kelaudit.rejects beside kelaudit.conf
 *   requeue-<...>.kaj    rejected events that kelaudit put back; the
 *                        handler adopts each as the next segment
 *
 * A record is a header of twelve bytes (magic, payload length, CRC-32 of
 * the length and the payload; little-endian) and the payload: format
 * version, record type, the time the record was made, the event's three
 * numbers and its fifteen texts in the order of accessFields, and for a
 * rejected event the database's message. A record that does not verify is
 * no record: readers skip to the next place where one verifies.
 *
 * No state of its own: every function is safe from any thread as long as
 * the buffers and descriptors passed are the caller's. System calls go
 * through kelSys.
 */
#ifndef KEL_JOURNAL_H
#define KEL_JOURNAL_H

#include <stddef.h>
#include <stdint.h>

#include "smapi.h"

#define JOURNAL_LOCK_FILE "lock"
#define JOURNAL_POSITION_FILE "position"
#define JOURNAL_REJECT_FILE "rejects"
#define JOURNAL_REJECT_BESIDE_CONF "kelaudit.rejects"
#define JOURNAL_REQUEUE_PREFIX "requeue-"

#define JOURNAL_HEADER_SIZE 12
/* Largest payload written or believed: a longer length field is damage. */
#define JOURNAL_MAX_PAYLOAD (64u * 1024u * 1024u)
/* Capacity of a file name inside the journal folder. */
#define JOURNAL_NAME_SIZE 64

enum JournalType { JOURNAL_EVENT = 1, JOURNAL_REJECTED = 2 };

/* A record read back. event and message are allocated through kelSys and
 * belong to the entry (journalEntryFree); event has the layout of the
 * audit module's event copies, and eventFree (accessfields.h) frees both. */
struct JournalEntry {
    int type;
    int64_t stamp;                 /* seconds since the epoch */
    struct SmLog_Access_s *event;
    char *message;                 /* JOURNAL_REJECTED only, else NULL */
};

/* Size of the whole record for event (and message, for a rejected event);
 * 0 when the payload would exceed JOURNAL_MAX_PAYLOAD. */
size_t journalRecordSize(const struct SmLog_Access_s *event, const char *message);

/* Writes the record into buf, which holds journalRecordSize bytes.
 * message is NULL for JOURNAL_EVENT. */
void journalEncode(unsigned char *buf, size_t size, int type, int64_t stamp,
                   const struct SmLog_Access_s *event, const char *message);

/* Reads a payload that verified into *out. 0 when its contents are not a
 * record of this format (out untouched) or memory ran out (*noMemory set). */
int journalDecode(const unsigned char *payload, size_t len, struct JournalEntry *out, int *noMemory);
void journalEntryFree(struct JournalEntry *entry);

/* A growing buffer for journalRead; start it zeroed, free with
 * journalBufFree. */
struct JournalBuf {
    unsigned char *data;
    size_t size;
};
void journalBufFree(struct JournalBuf *buf);

enum JournalReadResult {
    JOURNAL_RECORD, /* a record starts at offset: *length bytes; payload at buf->data */
    JOURNAL_END,    /* offset is at end */
    JOURNAL_SKIP,   /* no record at offset: *length bytes up to the next one that verifies */
    JOURNAL_TAIL,   /* none verifies from offset to end: *length = end - offset */
    JOURNAL_ERROR   /* the file cannot be read (errno), or no memory (ENOMEM) */
};

/* Looks at the file fd between offset and end. */
int journalRead(int fd, uint64_t offset, uint64_t end, struct JournalBuf *buf, uint64_t *length);

/* How far the writer has committed: every record before offset in
 * segment, and every segment numbered below it. */
struct JournalPosition {
    uint64_t generation;
    uint64_t segment;
    uint64_t offset;
};
/* 1 with the newer valid slot; 0 when neither slot is valid (a new
 * journal: *p is all zero); -1 when the file cannot be read. */
int journalPositionRead(int fd, struct JournalPosition *p);
/* Raises p->generation and writes it into the slot of that generation;
 * 1, or 0 (errno) when the write failed. Not synced. */
int journalPositionWrite(int fd, struct JournalPosition *p);

/* dir "/" name into out; 0 when it does not fit (nothing cut). */
int journalPath(char *out, size_t size, const char *dir, const char *name);
/* The name of segment number seq. */
void journalSegmentName(char *out, size_t size, uint64_t seq);
/* 1 when name is a segment's, with its number in *seq. */
int journalSegmentNumber(const char *name, uint64_t *seq);
/* The segments of dir in ascending order: an array the caller frees (NULL
 * when there are none). 0 (errno) when the folder cannot be read. */
int journalListSegments(const char *dir, uint64_t **seqs, size_t *count);
/* The requeue files of dir, oldest first, as an array of names the caller
 * frees. 0 (errno) when the folder cannot be read. */
int journalListRequeued(const char *dir, char (**names)[JOURNAL_NAME_SIZE], size_t *count);

/* Opens dir/lock (made when missing, mode 0600) and takes it without
 * waiting: exclusively to append, shared to look. The descriptor, or -1
 * (errno EWOULDBLOCK when another process holds it). */
int journalLockOpen(const char *dir, int exclusive);
/* The process id the holder wrote into the lock file; 0 when unknown. */
long journalLockHolder(const char *dir);
/* Whether a process holds the lock, looked at without making the lock
 * file and without a lock that could keep a starting handler out: 1, or 0
 * (also when there is no lock file). */
int journalLockHeld(const char *dir);

/* The folder a SPOOL_DIR value names: an absolute path as it stands, a
 * relative one under home. 0 when it does not fit out. */
int journalDirFromSetting(char *out, size_t size, const char *home, const char *value);

/* What waits in a journal, read without disturbing a writer. */
struct JournalSummary {
    long events;         /* records not yet committed */
    uint64_t bytes;      /* bytes of the segments not yet committed */
    int files;           /* segment files */
    int64_t oldest;      /* stamp of the oldest waiting record, 0 when none */
    long damaged;        /* stretches that are no record (skipped by the writer) */
    long requeued;       /* events in requeue files not yet adopted */
};
/* 0 (errno) when the folder cannot be read. */
int journalSummarize(const char *dir, struct JournalSummary *s);

/* Calls fn with each record of the file at path, in order; stops when fn
 * returns 0. *damaged counts the stretches that are no record. 1, or 0
 * (errno) when the file cannot be read; a missing file has no records. */
int journalForEach(const char *path, int (*fn)(const struct JournalEntry *, void *), void *arg,
                   long *damaged);

#endif
