/*
 * kelaudit.h - the administrator's look into the audit journal of the
 * event handler: what waits (status), the events the database refused
 * (rejects), and putting those back for the writer (requeue).
 *
 * The journal's folder comes from SPOOL_DIR of $SM_HOME/config/kelaudit.conf.
 * Everything is read with the handler running: records are read up to what
 * has been written whole, and the reject file is moved away with one
 * rename under the lock the handler takes to append to it, so no event is
 * lost or doubled. Single-threaded; messages go to stdout and stderr as
 * the administrator sees them; functions return 1 for success, 0 after
 * their message.
 */
#ifndef KEL_AUDITTOOL_H
#define KEL_AUDITTOOL_H

/* Runs the whole tool; the result is the exit status (0 or 1). */
int auditToolRun(int argc, char **argv);

#endif
