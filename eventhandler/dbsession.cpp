/*
 * dbsession.cpp - the audit writer's database session: the Oracle client
 * library loaded at the first connect, the logon, the INSERT of one event
 * or of a group (its arrays filled by grouparrays.cpp, prepared and bound
 * here once per connection), and the diagnostics of their failures.
 *
 * Threads: the writer thread alone uses the session's handles and its
 * last failure (the environment is created with OCI_THREADED and
 * OCI_NO_MUTEX). ociLock guards the loaded library's table, which a test
 * may make the next connect load again; a trace line may be written under
 * it (docs/internals.md, "Locks").
 *
 * The library is loaded from the plug-in's own folder first, then from
 * the loader's search path, so the plug-in loads and selects events on a
 * host without it; a failed load is tried again at the next connect.
 */
#include "dbsession.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "accessfields.h"
#include "grouparrays.h"
#include "kelsys.h"
#include "libload.h"
#include "smeventkel.h"
#include "synch.h"
#include "trace.h"

#define OCI_LIBRARY "libclntsh.so"
#define SQL_SIZE 1000
#define HOST_SIZE 500
#define DIAG_SIZE 512

/* The functions only grouped inserts (BATCH_MAX above 1) use: a client
 * without them still writes one row per transaction. */
struct OciGroupTable {
    decltype(&OCITransRollback) transRollback;
    decltype(&OCIAttrGet) attrGet;
};
#define GROUP_OCI_FUNCTIONS 2
static const char *const groupOciFunctions[GROUP_OCI_FUNCTIONS] = {"OCITransRollback", "OCIAttrGet"};

/* The loaded library's functions; under ociLock while loading, then read
 * by the writer. */
static mutex_t ociLock = DEFAULTMUTEX;
static struct OciLibrary {
    struct OciTable calls;
    struct OciGroupTable group;
    int loaded = 0;
    int groupLoaded = 0;
} ociLib;

/* The session; writer thread only. */
static struct Session {
    OCIEnv *envhp = NULL; /* set while connected */
    OCIError *errhp = NULL;
    OCISvcCtx *svchp = NULL;
    OCIStmt *stmthp = NULL;
    sb2 ind = 0; /* null indicator: every bound value is present */
    /* The first diagnostic record of the last failure, and whether it was
     * the execute that failed: what REJECT_AFTER judges. */
    sb4 diagCode = 0;
    char diagText[DIAG_SIZE] = "";
    int executeRefused = 0;
    int executed = 0; /* rows the last insert's execute held; 0: not called */
    int groupBound = 0; /* the statement handle holds the group insert, bound to the group arrays */
} db;

/* ---- the Oracle client library ---------------------------------------- */

/* Names of the oci table's functions, in the order of its fields. */
const char *const auditOciFunctions[AUDIT_OCI_FUNCTIONS] = {
    "OCIEnvCreate",   "OCIHandleAlloc", "OCILogon",  "OCIStmtPrepare", "OCIBindByName",
    "OCIStmtExecute", "OCIErrorGet",    "OCILogoff", "OCIHandleFree",
};
#define OCI_COUNT AUDIT_OCI_FUNCTIONS
static_assert(sizeof ociLib.calls == OCI_COUNT * sizeof(void *), "one slot per OCI function");
static_assert(sizeof ociLib.group == GROUP_OCI_FUNCTIONS * sizeof(void *), "one slot per OCI function");

/* Loads the library once; a failed load is tried again at the next
 * connect, so installing the client later needs no restart. */
static int ociLoad(void)
{
    char reason[LINE_SIZE];
    struct LibFailure why;
    void *slots[OCI_COUNT];
    void *lib;
    int missing;
    int ok = 1;

    mutex_lock(&ociLock);
    if (!ociLib.loaded) {
        lib = libOpen(OCI_LIBRARY, (const void *)&ociLoad, &why);
        if (lib == NULL) {
            trace(TRACE_ERROR, "Can't load OCI library %s: %s%s%s", OCI_LIBRARY, why.byName,
                  why.beside[0] != '\0' ? "; " : "", why.beside);
            ok = 0;
        } else if ((missing = libResolve(lib, auditOciFunctions, slots, OCI_COUNT, reason, sizeof reason)) >= 0) {
            trace(TRACE_ERROR, "Can't load OCI library %s: no function %s", OCI_LIBRARY,
                  auditOciFunctions[missing]);
            libClose(lib);
            ok = 0;
        } else {
            void *groupSlots[GROUP_OCI_FUNCTIONS];
            memcpy(&ociLib.calls, slots, sizeof ociLib.calls);
            ociLib.loaded = 1;
            ociLib.groupLoaded = libResolve(lib, groupOciFunctions, groupSlots, GROUP_OCI_FUNCTIONS, reason,
                                            sizeof reason) < 0;
            if (ociLib.groupLoaded)
                memcpy(&ociLib.group, groupSlots, sizeof ociLib.group);
        }
    }
    mutex_unlock(&ociLock);
    return ok;
}

void ociTestUnload(void)
{
    mutex_lock(&ociLock);
    ociLib.loaded = 0;
    mutex_unlock(&ociLock);
}

/* ---- database work (writer thread) ------------------------------------ */

void dbTraceDiag(int level)
{
    char buf[DIAG_SIZE];
    void *handle = db.errhp != NULL ? (void *)db.errhp : (void *)db.envhp;
    ub4 type = db.errhp != NULL ? OCI_HTYPE_ERROR : OCI_HTYPE_ENV;
    sb4 code;

    if (!ociLib.loaded)
        return;
    /* A read with information (a record cut to the buffer, say) still
     * gives its record; only OCI_NO_DATA or a failure ends the list. */
    for (ub4 record = 1;; record++) {
        sword rc;

        buf[0] = '\0';
        rc = ociLib.calls.errorGet(handle, record, NULL, &code, (OraText *)buf, sizeof buf, type);
        if (rc != OCI_SUCCESS && rc != OCI_SUCCESS_WITH_INFO)
            break;
        if (record == 1) {
            db.diagCode = code;
            memcpy(db.diagText, buf, sizeof db.diagText);
            db.diagText[DIAG_SIZE - 1] = '\0';
        }
        trace(level, "%.*s", DIAG_SIZE, buf);
    }
}

void dbDisconnect(void)
{
    trace(TRACE_2, "dbDisconnect");
    groupRelease();
    db.groupBound = 0;
    if (db.stmthp != NULL) {
        ociLib.calls.handleFree(db.stmthp, OCI_HTYPE_STMT);
        db.stmthp = NULL;
    }
    if (db.svchp != NULL) {
        ociLib.calls.logoff(db.svchp, db.errhp);
        db.svchp = NULL;
    }
    if (db.errhp != NULL) {
        ociLib.calls.handleFree(db.errhp, OCI_HTYPE_ERROR);
        db.errhp = NULL;
    }
    if (db.envhp != NULL) {
        ociLib.calls.handleFree(db.envhp, OCI_HTYPE_ENV);
        db.envhp = NULL;
    }
}

/* dbCheckStatus without the disconnect. */
static int dbReportStatus(const char *step, int status, int okLevel)
{
    switch (status) {
    case OCI_SUCCESS:
        trace(okLevel, "%s OK", step);
        return 1;
    case OCI_SUCCESS_WITH_INFO:
        trace(okLevel, "%s OK", step);
        dbTraceDiag(okLevel);
        return 1;
    case OCI_ERROR:
        trace(TRACE_ERROR, "%s FAILED", step);
        dbTraceDiag(TRACE_ERROR);
        break;
    case OCI_INVALID_HANDLE:
        trace(TRACE_ERROR, "%s FAILED - INVALID_HANDLE", step);
        break;
    case OCI_STILL_EXECUTING:
        trace(TRACE_ERROR, "%s FAILED - STILL_EXECUTING", step);
        break;
    case OCI_CONTINUE:
        trace(TRACE_ERROR, "%s FAILED - CONTINUE", step);
        break;
    case OCI_NEED_DATA:
        trace(TRACE_ERROR, "%s FAILED - NEED_DATA", step);
        break;
    case OCI_NO_DATA:
        trace(TRACE_ERROR, "%s FAILED - NODATA", step);
        break;
    default:
        trace(TRACE_ERROR, "%s FAILED - status %d", step, status);
        break;
    }
    return 0;
}

int dbCheckStatus(const char *step, int status, int okLevel)
{
    if (dbReportStatus(step, status, okLevel))
        return 1;
    dbDisconnect();
    return 0;
}

int dbConnect(void)
{
    if (db.envhp != NULL)
        return 1;
    trace(TRACE_2, "dbConnect: data source '%s', user '%s'", param.dataSource, param.user);
    if (!ociLoad())
        return 0;
    if (!dbCheckStatus("Create OCI environment",
                       ociLib.calls.envCreate(&db.envhp, OCI_THREADED | OCI_NO_MUTEX, NULL, NULL, NULL,
                                     NULL, 0, NULL),
                       TRACE_3))
        return 0;
    if (!dbCheckStatus("Allocate OCI error handle",
                       ociLib.calls.handleAlloc(db.envhp, (void **)&db.errhp, OCI_HTYPE_ERROR, 0, NULL),
                       TRACE_3))
        return 0;
    if (!dbCheckStatus("OCI logon",
                       ociLib.calls.logon(db.envhp, db.errhp, &db.svchp, (const OraText *)param.user,
                                 (ub4)strlen(param.user), (const OraText *)param.password,
                                 (ub4)strlen(param.password), (const OraText *)param.dataSource,
                                 (ub4)strlen(param.dataSource)),
                       TRACE_3))
        return 0;
    if (!dbCheckStatus("Allocate OCI statement handle",
                       ociLib.calls.handleAlloc(db.envhp, (void **)&db.stmthp, OCI_HTYPE_STMT, 0, NULL),
                       TRACE_3))
        return 0;
    return 1;
}

int dbBindString(const char *placeholder, const char *value)
{
    OCIBind *bind = NULL;
    size_t len = strlen(value);

    trace(TRACE_5, "dbBindString %s %s", placeholder, value);
    if (len >= 0x7fffffff) {
        trace(TRACE_ERROR, "binding name %s: value too long", placeholder);
        return 0;
    }
    if (!dbCheckStatus("OCI bind string",
                       ociLib.calls.bindByName(db.stmthp, &bind, db.errhp, (const OraText *)placeholder,
                                      (sb4)strlen(placeholder), (void *)value, (sb4)(len + 1),
                                      SQLT_STR, &db.ind, NULL, NULL, 0, NULL, OCI_DEFAULT),
                       TRACE_5)) {
        trace(TRACE_ERROR, "binding name %s", placeholder);
        return 0;
    }
    return 1;
}

static void hostName(char *host, size_t size)
{
    if (kelSys.gethostname(host, size) != 0) {
        trace(TRACE_ERROR, "Can't get host name: %s", strerror(errno));
        snprintf(host, size, "%s", "unknown");
    }
    host[size - 1] = '\0';
}

/* Appends text to the statement being built in sql (size characters);
 * *used counts what the whole text needs, fitting or not. */
static void sqlAppend(char *sql, size_t size, size_t *used, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

static void sqlAppend(char *sql, size_t size, size_t *used, const char *format, ...)
{
    va_list args;
    int n;

    va_start(args, format);
    n = vsnprintf(sql + (*used < size ? *used : size - 1), *used < size ? size - *used : 1,
                  format, args);
    va_end(args);
    if (n > 0)
        *used += (size_t)n;
}

/* The INSERT of one event: the columns of auditColumns in their order, a
 * placeholder ":column" for each bound value, literals for the others
 * (the reason too, unless grouped: a group binds each row's reason).
 * Returns 0 when the text had to be cut to fit sql. */
static int dbStatement(char *sql, size_t size, int reason, int grouped)
{
    size_t used = 0;
    int i;

    sqlAppend(sql, size, &used, "INSERT INTO %s (", param.table);
    for (i = 0; i < AUDIT_COLUMN_COUNT; i++)
        sqlAppend(sql, size, &used, "%s%s", i > 0 ? ", " : "", auditColumns[i].name);
    sqlAppend(sql, size, &used, ") VALUES (");
    for (i = 0; i < AUDIT_COLUMN_COUNT; i++) {
        const char *sep = i > 0 ? ", " : "";
        switch (auditColumns[i].source) {
        case AUDIT_CATEGORY:
            sqlAppend(sql, size, &used, "%s%d", sep, SM_EVENT_CATEGORY_AUTH);
            break;
        case AUDIT_EVENT:
            sqlAppend(sql, size, &used, "%s%d", sep, SM_EVENT_AUTH_ACCEPT);
            break;
        case AUDIT_REASON:
            if (grouped)
                sqlAppend(sql, size, &used, "%s:%s", sep, auditColumns[i].name);
            else
                sqlAppend(sql, size, &used, "%s%d", sep, reason);
            break;
        case AUDIT_HOST:
        case AUDIT_FIELD:
            sqlAppend(sql, size, &used, "%s:%s", sep, auditColumns[i].name);
            break;
        }
    }
    sqlAppend(sql, size, &used, ")");
    return used < size;
}

/* Prepares the statement of dbStatement on the session's handle; 0
 * (disconnected) when that fails. A table name too long for the statement
 * cuts it; the database then refuses it and the writer retries, as with
 * any failed insert. */
static int dbPrepare(int reason, int grouped)
{
    char sql[SQL_SIZE];

    if (!dbStatement(sql, sizeof sql, reason, grouped))
        trace(TRACE_ERROR, "SQL statement cut to %d characters", SQL_SIZE - 1);
    trace(TRACE_5, "SQL: %s", sql);
    return dbCheckStatus("OCI prepare statement",
                         ociLib.calls.stmtPrepare(db.stmthp, db.errhp, (const OraText *)sql, (ub4)strlen(sql),
                                                  OCI_NTV_SYNTAX, OCI_DEFAULT),
                         TRACE_3);
}

/* Binds every placeholder of the statement in column order; 0 at the
 * first failure. */
static int dbBindAll(const struct SmLog_Access_s *e, const char *host)
{
    char placeholder[LINE_SIZE];

    for (int i = 0; i < AUDIT_COLUMN_COUNT; i++) {
        const struct AuditColumn *c = &auditColumns[i];
        if (c->source != AUDIT_HOST && c->source != AUDIT_FIELD)
            continue;
        snprintf(placeholder, sizeof placeholder, ":%s", c->name);
        if (!dbBindString(placeholder, c->source == AUDIT_HOST ? host : accessFieldText(e, c->field)))
            return 0;
    }
    return 1;
}

int dbInsertAuth(const struct SmLog_Access_s *e)
{
    char host[HOST_SIZE];
    sword status;

    db.executeRefused = 0;
    db.executed = 0;
    if (!dbConnect())
        return 0;
    db.groupBound = 0; /* the handle is prepared for this row alone */
    hostName(host, sizeof host);
    if (!dbPrepare((int)e->nReason, 0))
        return 0;
    if (!dbBindAll(e, host))
        return 0;
    db.executed = 1;
    status = ociLib.calls.stmtExecute(db.svchp, db.stmthp, db.errhp, 1, 0, NULL, NULL, OCI_COMMIT_ON_SUCCESS);
    db.executeRefused = status == OCI_ERROR;
    return dbCheckStatus("OCI execute statement", status, TRACE_3);
}


/* ---- grouped inserts (BATCH_MAX above 1) ------------------------------- */

/* Prepares the group statement and binds each column's array; 0
 * (disconnected) at the first failure. The binds last while the arrays
 * and the statement do, so a connection prepares and binds once for all
 * its groups of those widths. */
static int groupPrepareAndBind(void)
{
    const struct GroupArrays *arrays = groupArrays();
    char placeholder[LINE_SIZE];

    if (!dbPrepare(0, 1))
        return 0;
    for (int c = 0; c < AUDIT_COLUMN_COUNT; c++) {
        OCIBind *bind = NULL;
        if (arrays->values[c] == NULL)
            continue;
        snprintf(placeholder, sizeof placeholder, ":%s", auditColumns[c].name);
        if (!dbCheckStatus("OCI bind string",
                           ociLib.calls.bindByName(db.stmthp, &bind, db.errhp, (const OraText *)placeholder,
                                                   (sb4)strlen(placeholder), arrays->values[c],
                                                   (sb4)arrays->width[c], SQLT_STR, arrays->inds, NULL, NULL,
                                                   0, NULL, OCI_DEFAULT),
                           TRACE_5)) {
            trace(TRACE_ERROR, "binding name %s", placeholder);
            return 0;
        }
    }
    db.groupBound = 1;
    return 1;
}

/* A failed execute of a group: its diagnostics, the row it stopped at, and
 * a rollback of the rows before that one (Oracle keeps them in the open
 * transaction, which the logoff would commit), then the disconnect. */
static void groupFailed(sword status, int rows)
{
    ub4 done = 0;

    dbReportStatus("OCI execute statement", status, TRACE_3);
    if (status != OCI_INVALID_HANDLE &&
        ociLib.group.attrGet(db.stmthp, OCI_HTYPE_STMT, &done, NULL, OCI_ATTR_ROW_COUNT, db.errhp) == OCI_SUCCESS)
        trace(TRACE_ERROR, "OCI execute statement: stopped at row %u of %d", done + 1, rows);
    ociLib.group.transRollback(db.svchp, db.errhp, OCI_DEFAULT);
    dbDisconnect();
}

int dbInsertGroup(struct SmLog_Access_s *const *events, int n, int *rows)
{
    char host[HOST_SIZE];
    sword status;
    int filled, remade;

    db.executeRefused = 0;
    db.executed = 0;
    *rows = 0;
    if (!dbConnect())
        return 0;
    if (!ociLib.groupLoaded) {
        trace(TRACE_2, "dbInsertGroup: the OCI library has no OCITransRollback or OCIAttrGet; one row per "
                       "transaction");
        *rows = 1;
        return dbInsertAuth(events[0]);
    }
    hostName(host, sizeof host);
    filled = groupFill(events, n, host, param.batchMax, &remade);
    if (remade)
        db.groupBound = 0; /* the binds name the arrays that were */
    if (filled == 0) {
        *rows = 1;
        return dbInsertAuth(events[0]);
    }
    if (!db.groupBound && !groupPrepareAndBind())
        return 0;
    trace(TRACE_5, "dbInsertGroup: %d rows", filled);
    groupTraceValues(filled);
    db.executed = filled;
    status = ociLib.calls.stmtExecute(db.svchp, db.stmthp, db.errhp, (ub4)filled, 0, NULL, NULL,
                                      OCI_COMMIT_ON_SUCCESS);
    db.executeRefused = status == OCI_ERROR;
    if (status != OCI_SUCCESS && status != OCI_SUCCESS_WITH_INFO) {
        groupFailed(status, filled);
        return 0;
    }
    dbReportStatus("OCI execute statement", status, TRACE_3);
    *rows = filled;
    return 1;
}

struct DbFailure dbLastFailure(void)
{
    struct DbFailure f;

    f.executeRefused = db.executeRefused;
    f.executed = db.executed;
    f.code = (int)db.diagCode;
    f.text = db.diagText;
    return f;
}
