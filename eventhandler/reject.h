/*
 * reject.h - REJECT_AFTER: an event that the database refuses for its own
 * data (a constraint, a value it cannot store) that many times in a row
 * is put aside, with the database's message, in the reject file, and the
 * writer goes on with the next event. Any other failure (a lost
 * connection, a logon, a missing table) is retried after RETRY_DELAY, as
 * without REJECT_AFTER, and resets the count.
 *
 * Writer thread only; the settings (param.rejectAfter, param.rejectFile)
 * are read as the writer reads its others.
 */
#ifndef KEL_REJECT_H
#define KEL_REJECT_H

#include "smapi.h"

/* Whether the database's first diagnostic record, its number and text,
 * blames the row's data. The text tells which database numbered it: the
 * stand-in client writes "PostgreSQL error <SQLSTATE>: ..." with the
 * SQLSTATE read as a base-36 number, "SQLite error <n>: ..." with
 * SQLite's extended result code; anything else is an Oracle error number. */
int rejectIsDataError(int code, const char *text);

/* After a failed insert of event: 1 when the event is now in the reject
 * file (traced at level 1) and the writer is done with it, 0 when the
 * writer retries it after its pause. dataError says whether this failure was a
 * refusal of the row's data, message is the database's text. */
int rejectAfterFailure(const struct SmLog_Access_s *event, int dataError, const char *message);

/* The event was written: the next one starts a new count. */
void rejectForget(void);

#endif
