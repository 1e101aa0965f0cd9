/*
 * oci_standin.h - test controls of the stand-in libclntsh: make a named OCI
 * call fail on demand, count calls, count live handles and connections.
 *
 * The state lives in libclntsh itself, so a test program linked against it
 * and a plug-in that loads the same file with dlopen see one set of
 * controls. All functions are thread-safe.
 */
#ifndef KEL_OCI_STANDIN_H
#define KEL_OCI_STANDIN_H

#ifdef __cplusplus
extern "C" {
#endif

/* Error number of the record left by an injected OCI_ERROR or
 * OCI_SUCCESS_WITH_INFO. */
#define OCI_STANDIN_INJECTED 99999

/*
 * Makes the next count calls of the OCI function of that name ("OCILogon",
 * "OCIStmtExecute", ...) that pass valid handles return status:
 *  - OCI_SUCCESS_WITH_INFO: the call does its work; when that succeeds it
 *    returns OCI_SUCCESS_WITH_INFO and leaves a record (except OCIErrorGet
 *    and OCIHandleFree, which leave none). A real failure is still reported.
 *  - any other status: the call does nothing (no handle is made, nothing is
 *    freed or executed) and returns status; OCI_ERROR leaves one record. An
 *    OCIEnvCreate failing with OCI_ERROR still returns the environment,
 *    which holds the record.
 * A count of 0 or less cancels the function's pending failures. Returns 1,
 * or 0 when no such function exists.
 */
int ociStandinFail(const char *function, int status, int count);

/*
 * Makes the next count PostgreSQL INSERTs commit and then lose their
 * connection before the client hears so: the call fails with a record of
 * SQLSTATE 08006, as a server crash at that moment would make it. A retry
 * of the same statement with the same values on a new connection finds the
 * commit and succeeds without inserting again.
 */
void ociStandinLoseAcks(int count);

/*
 * Makes the next count PostgreSQL INSERTs lose their connection once the
 * server has sent the row's transaction id and before the commit is sent:
 * the row is never committed, and the client cannot know that. The call
 * fails with a record of SQLSTATE 08006.
 */
void ociStandinLoseCommits(int count);

/*
 * Gives the pending commit in doubt (left by a lost connection above) the
 * transaction id txid, as if the server had crashed and handed the row's id
 * to another transaction, or had never made it durable. Returns 1, or 0
 * when nothing is in doubt.
 */
int ociStandinForgeInDoubt(const char *txid);

/* Cancels every pending failure and sets the call counters to 0. */
void ociStandinReset(void);

/* Calls of the named function since the last reset, whatever they
 * returned; -1 for an unknown name. */
long ociStandinCalls(const char *function);

/* Handles of every type not yet freed (environments, error handles,
 * service contexts, statements, binds). */
long ociStandinLiveHandles(void);

/* Open database connections. */
long ociStandinLiveConnections(void);

/* When the last OCIStmtExecute with OCI_COMMIT_ON_SUCCESS returned its
 * commit, in nanoseconds of CLOCK_MONOTONIC; 0 before the first. Lets a
 * benchmark time a writer to its last commit without polling for it. */
long long ociStandinLastCommitNs(void);

#ifdef __cplusplus
}
#endif

#endif
