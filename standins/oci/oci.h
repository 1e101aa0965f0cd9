/*
 * oci.h - the part of the Oracle Call Interface that the audit writer and
 * `smhost check` use: handle types, the calls, their modes and status
 * codes, with Oracle's public names and values. Plain C, usable from C and
 * C++.
 *
 * Building with KEL_ORACLE_HOME set replaces this header with the real
 * client's (see standins/oci/CMakeLists.txt); nothing here may differ from
 * Oracle's published interface.
 *
 * Stand-in notes (libclntsh built from standins/oci over SQLite and PostgreSQL)
 *
 *  - Data source of OCILogon: "postgresql://..." or "postgres://..." is a
 *    libpq connection URI; user and password of OCILogon override any in
 *    the URI. Anything else names an existing SQLite database file (never
 *    created by a logon): an absolute path as is, a relative one under
 *    "$SM_HOME/data" when SM_HOME is set and not empty, else
 *    under the working directory. SQLite ignores user and password and waits
 *    up to 5 seconds for locks held by other connections.
 *  - Deadlines on PostgreSQL, each default replaced by the same parameter
 *    in the URI's query: connect_timeout=5; options="-c
 *    statement_timeout=20s" (the server ends a statement, a lock wait
 *    included; a URI "options" replaces this one); keepalives=1,
 *    keepalives_idle=10, keepalives_interval=5, keepalives_count=3,
 *    tcp_user_timeout=20000; and the client's own call_timeout=25 (whole
 *    seconds, 1 or more; taken out of the URI before libpq reads it): no
 *    call waits longer for the server. At that deadline the call fails
 *    with "no answer from the server within N s (call_timeout): connection
 *    given up" (SQLSTATE 08006) and the connection is cut; the next execute
 *    on a new connection to the same server first ends the backend given
 *    up (pg_terminate_backend), so that an attempt it may still run can
 *    never commit behind the retry.
 *  - Texts are sent in the database's character set, converted from UTF-8
 *    as a real client converts between character sets: bytes that are not
 *    UTF-8 become U+FFFD (one per ill-formed part), and a character the
 *    database's encoding lacks (LATIN1 and the like) becomes "?"; a
 *    SQL_ASCII database takes the bytes as they are. SQLite stores UTF-8,
 *    made valid the same way. Nothing is refused for its encoding.
 *  - Statements name their placeholders ":name" (letters, digits, "_", "$",
 *    "#"; matched without regard to case, the ":" optional in OCIBindByName).
 *    Placeholders inside quoted literals, quoted identifiers, comments and
 *    "::" casts are not placeholders. One statement per text.
 *  - Binds take SQLT_STR only: the value is read when the statement is
 *    executed (as Oracle does), up to its first NUL, value_sz bytes or its
 *    actual length (alenp), whichever comes first; an indicator below 0
 *    binds NULL. An empty text stays an empty text (Oracle would store
 *    NULL). Array binds: row r is read at valuep + r * value_sz, or r times
 *    the skips of OCIBindArrayOfStruct (indicators and lengths likewise);
 *    maxarr_len, when not 0, bounds the rows an execute may take. Return
 *    codes (rcodep) are not written; PL/SQL tables (curelep) and bind modes
 *    are refused.
 *  - OCIStmtExecute takes 1 to 65535 iterations, row offset 0 and mode
 *    OCI_COMMIT_ON_SUCCESS or OCI_DEFAULT; the rows run in order and stop
 *    at the first that fails, whose records the call leaves.
 *    OCIAttrGet(OCI_ATTR_ROW_COUNT) on the statement gives the rows the
 *    last execute processed (those before the failing one after a failure).
 *    With OCI_COMMIT_ON_SUCCESS the execute commits all its rows together
 *    before a success is returned. On failure a single row leaves nothing;
 *    of an array execute, the rows before the failing one stay in the open
 *    transaction as Oracle keeps them (on PostgreSQL, an array INSERT run
 *    as its own transaction leaves nothing), so a caller rolls back.
 *    On PostgreSQL an array INSERT ... VALUES whose placeholders are all in
 *    its VALUES list goes as multi-row statements of up to 512 rows
 *    (powers of two, each size prepared once per connection); when the
 *    server refuses one, the array runs again a row per statement, so the
 *    row count and the records name the failing row.
 *    On PostgreSQL an INSERT run on its own this way (one row, or an array
 *    sent in one pipeline: one round trip) learns its transaction id
 *    before the commit; when the connection is lost while the commit's
 *    outcome is unknown, the next execute of the same statement with the
 *    same values, every row of them (the writer's retry), first asks the
 *    server whether that transaction committed, and succeeds without
 *    inserting again if it did.
 *  - With OCI_DEFAULT the statement joins the connection's open transaction
 *    (one is begun if none is open), which stays open until OCITransRollback,
 *    an execute with OCI_COMMIT_ON_SUCCESS (which commits it too) or the
 *    logoff. A failed statement is undone alone; the transaction stays open
 *    with what came before it. As with Oracle, OCILogoff commits an open
 *    transaction; freeing the service context or the environment without a
 *    logoff closes the connection and rolls it back.
 *  - Diagnostic records: an error handle holds the records of the last call
 *    that took it (OCILogon, OCIStmtPrepare, OCIBindByName, OCIStmtExecute,
 *    OCITransRollback, OCILogoff, OCIBindArrayOfStruct, OCIAttrGet),
 *    cleared when such a call starts; an environment handle holds
 *    those of OCIEnvCreate (which returns the environment even when it
 *    reports OCI_ERROR, so that it can be read and must be freed) and of the
 *    last OCIHandleAlloc on it. Every OCI_ERROR and OCI_SUCCESS_WITH_INFO
 *    leaves at least one record; OCI_INVALID_HANDLE leaves none.
 *    Error numbers: SQLite's extended result code (text "SQLite error N:
 *    message"); for PostgreSQL the five-character SQLSTATE read as a base-36
 *    number, digits then A-Z (text "PostgreSQL error SQLSTATE: message", with
 *    DETAIL and HINT as further records; failed connections report 08001,
 *    lost ones 08006); the client's own checks use Oracle's numbers
 *    ("ORA-01008: not all variables bound").
 *  - Handles are checked against the live ones: NULL, freed or wrong-type
 *    handles give OCI_INVALID_HANDLE. Freeing an environment frees every
 *    handle made from it and closes its connections; freeing a statement
 *    frees its bind handles. Calls on one environment are serialised; many
 *    environments may be used from many threads at once.
 */
#ifndef KEL_OCI_H
#define KEL_OCI_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Oracle's scalar types. */
typedef unsigned char ub1;
typedef signed char sb1;
typedef unsigned short ub2;
typedef signed short sb2;
typedef unsigned int ub4;
typedef signed int sb4;
typedef int sword;
typedef unsigned int uword;
typedef unsigned char OraText;
typedef OraText text;
typedef void dvoid;

/* Handles, opaque to the caller. */
typedef struct OCIEnv OCIEnv;
typedef struct OCIError OCIError;
typedef struct OCISvcCtx OCISvcCtx;
typedef struct OCIStmt OCIStmt;
typedef struct OCIBind OCIBind;
typedef struct OCISnapshot OCISnapshot;

/* Handle types. */
#define OCI_HTYPE_ENV 1
#define OCI_HTYPE_ERROR 2
#define OCI_HTYPE_SVCCTX 3
#define OCI_HTYPE_STMT 4
#define OCI_HTYPE_BIND 5

/* Modes. */
#define OCI_DEFAULT 0x00000000
#define OCI_THREADED 0x00000001
#define OCI_OBJECT 0x00000002
#define OCI_NO_MUTEX 0x00000080
#define OCI_COMMIT_ON_SUCCESS 0x00000020

/* Statement syntax. */
#define OCI_NTV_SYNTAX 1
#define OCI_V7_SYNTAX 2
#define OCI_V8_SYNTAX 3

/* Attributes. */
#define OCI_ATTR_ROW_COUNT 9

/* External data types. */
#define SQLT_CHR 1
#define SQLT_STR 5

/* Status codes. */
#define OCI_SUCCESS 0
#define OCI_SUCCESS_WITH_INFO 1
#define OCI_NO_DATA 100
#define OCI_ERROR -1
#define OCI_INVALID_HANDLE -2
#define OCI_NEED_DATA 99
#define OCI_STILL_EXECUTING -3123
#define OCI_CONTINUE -24200

sword OCIEnvCreate(OCIEnv **envhpp, ub4 mode, const void *ctxp,
                   void *(*malocfp)(void *ctxp, size_t size),
                   void *(*ralocfp)(void *ctxp, void *memptr, size_t newsize),
                   void (*mfreefp)(void *ctxp, void *memptr), size_t xtramem_sz,
                   void **usrmempp);

sword OCIHandleAlloc(const void *parenth, void **hndlpp, ub4 type, size_t xtramem_sz,
                     void **usrmempp);

sword OCIHandleFree(void *hndlp, ub4 type);

sword OCILogon(OCIEnv *envhp, OCIError *errhp, OCISvcCtx **svchp, const OraText *username,
               ub4 uname_len, const OraText *password, ub4 passwd_len, const OraText *dbname,
               ub4 dbname_len);

sword OCILogoff(OCISvcCtx *svchp, OCIError *errhp);

sword OCIStmtPrepare(OCIStmt *stmtp, OCIError *errhp, const OraText *stmt, ub4 stmt_len,
                     ub4 language, ub4 mode);

sword OCIBindByName(OCIStmt *stmtp, OCIBind **bindpp, OCIError *errhp,
                    const OraText *placeholder, sb4 placeh_len, void *valuep, sb4 value_sz,
                    ub2 dty, void *indp, ub2 *alenp, ub2 *rcodep, ub4 maxarr_len, ub4 *curelep,
                    ub4 mode);

sword OCIBindArrayOfStruct(OCIBind *bindp, OCIError *errhp, ub4 pvskip, ub4 indskip, ub4 alskip,
                           ub4 rcskip);

sword OCIAttrGet(const void *trgthndlp, ub4 trghndltyp, void *attributep, ub4 *sizep,
                 ub4 attrtype, OCIError *errhp);

sword OCIStmtExecute(OCISvcCtx *svchp, OCIStmt *stmtp, OCIError *errhp, ub4 iters, ub4 rowoff,
                     const OCISnapshot *snap_in, OCISnapshot *snap_out, ub4 mode);

sword OCITransRollback(OCISvcCtx *svchp, OCIError *errhp, ub4 flags);

sword OCIErrorGet(void *hndlp, ub4 recordno, OraText *sqlstate, sb4 *errcodep, OraText *bufp,
                  ub4 bufsiz, ub4 type);

#ifdef __cplusplus
}
#endif

#endif
