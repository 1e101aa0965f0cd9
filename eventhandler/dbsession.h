/*
 * dbsession.h - the database session of the audit writer (dbsession.cpp):
 * the Oracle client library loaded at the first connect, the logon, the
 * INSERT of one event with its binds, and the diagnostics of a failure.
 *
 * The OCI function table is declared here once; smhost check loads the
 * same functions into the same table. Everything but the table's names
 * and ociTestUnload runs on the writer thread only.
 */
#ifndef KEL_DBSESSION_H
#define KEL_DBSESSION_H

#include "oci.h"
#include "smapi.h"

/* The Oracle client functions the writer resolves from the library, in
 * the order of auditOciFunctions. */
struct OciTable {
    decltype(&OCIEnvCreate) envCreate;
    decltype(&OCIHandleAlloc) handleAlloc;
    decltype(&OCILogon) logon;
    decltype(&OCIStmtPrepare) stmtPrepare;
    decltype(&OCIBindByName) bindByName;
    decltype(&OCIStmtExecute) stmtExecute;
    decltype(&OCIErrorGet) errorGet;
    decltype(&OCILogoff) logoff;
    decltype(&OCIHandleFree) handleFree;
};
#define AUDIT_OCI_FUNCTIONS 9
extern const char *const auditOciFunctions[AUDIT_OCI_FUNCTIONS];

/* Forgets the loaded Oracle client, so the next connect loads it again
 * (through the system table's loader entries). No writer may run. */
void ociTestUnload(void);

/* Loads the Oracle client if needed and logs on; 1 when connected. */
int dbConnect(void);
/* Frees every OCI handle, logging off first; harmless when not connected. */
void dbDisconnect(void);
/* Traces an OCI status: "<step> OK" at okLevel for a success (with the
 * diagnostics of a success with information), "<step> FAILED..." with the
 * diagnostics at level 1 otherwise. A failure also disconnects, so the
 * next attempt starts with a new logon. Returns 1 for a success. */
int dbCheckStatus(const char *step, int status, int okLevel);
/* Traces every diagnostic record of the error (or environment) handle. */
void dbTraceDiag(int level);
/* Binds value to the placeholder; 0 (disconnected) on failure. */
int dbBindString(const char *placeholder, const char *value);
/* Inserts one row for the event and commits it; 0 (disconnected) when any
 * step fails, so the caller retries the same event. */
int dbInsertAuth(const struct SmLog_Access_s *event);

/* Inserts the first events of a group with one execute of arrays (as many
 * as their values fit the bind buffers, one at least) and commits them
 * together: 1 with *rows set to how many, 0 (disconnected, nothing
 * committed) when any step fails. Without the client's functions for
 * groups, or without memory for the arrays, it inserts the first event
 * alone. */
int dbInsertGroup(struct SmLog_Access_s *const *events, int n, int *rows);

/* What the last dbInsertAuth or dbInsertGroup left for REJECT_AFTER to
 * judge: whether the execute itself failed, and the first diagnostic
 * record of the last failure; and for the writer's retry, how many rows
 * the execute held when it was called (its commit may then be in doubt),
 * 0 when it was not. */
struct DbFailure {
    int executeRefused;
    int executed;
    int code;
    const char *text;
};
struct DbFailure dbLastFailure(void);

#endif
