/*
 * standin.h - what the files of the stand-in libclntsh share: the handles
 * behind the opaque OCI types, their diagnostic records, and the functions
 * each file offers the others.
 *
 *  handles.cpp   the registry of live handles, diagnostic records, bound values
 *  lite.cpp      the SQLite back end
 *  pgconn.cpp    the PostgreSQL back end: logon, deadlines, waiting for the server
 *  pgexec.cpp    the PostgreSQL back end: statements, commits in doubt
 *  calls.cpp     the OCI calls of oci.h and their argument checks
 *  control.cpp   the test controls of oci_standin.h
 *
 * Threading: every handle is checked against a process-wide registry under
 * its own short lock, so a NULL, freed or wrong-type handle is refused
 * without being touched. A call then holds its environment's lock for its
 * whole duration: calls on one environment are serialised, different
 * environments run in parallel, and no database work happens under a
 * process-wide lock. The test controls, the commit in doubt and the
 * abandoned backend each have a short lock of their own, never held while
 * another lock is taken.
 */
#ifndef KEL_OCI_STANDIN_INTERNAL_H
#define KEL_OCI_STANDIN_INTERNAL_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "oci.h"
#include "sqltext.h"

namespace ocistandin {

struct Diag {
    sb4 code;
    std::string text;
};
using Diags = std::vector<Diag>;

struct Handle {
    ub4 type = 0;
    void *self = nullptr;   /* the pointer handed out, as registered */
    OCIEnv *env = nullptr;  /* owning environment (none for an environment) */
    std::vector<char> userMem;
};

} // namespace ocistandin

struct sqlite3;
struct pg_conn;

struct OCIEnv : ocistandin::Handle {
    std::mutex lock;
    ocistandin::Diags diags;
    std::unordered_set<ocistandin::Handle *> children; /* error handles, contexts, statements */
};

struct OCIError : ocistandin::Handle {
    ocistandin::Diags diags;
};

struct OCISvcCtx : ocistandin::Handle {
    sqlite3 *lite = nullptr;
    pg_conn *pg = nullptr;
    int callTimeout = 0; /* seconds each PostgreSQL call may take */
    /* Statements a group prepares on this PostgreSQL connection, to
     * their names: its multi-row inserts (the numbered one-row text, a
     * newline and the row count) and the query of its transaction id. */
    std::unordered_map<std::string, std::string> pgGroups;
    unsigned long pgGroupSerial = 0; /* names of those statements */
};

/* A bind reads row r of an array bind at value + r * valueSkip (and the
 * same for the indicator and the length); a plain bind is row 0. */
struct OCIBind : ocistandin::Handle {
    std::string name; /* normalised placeholder name */
    const void *value = nullptr;
    sb4 size = 0;
    const sb2 *ind = nullptr;
    const ub2 *alen = nullptr; /* actual lengths, or none */
    ub4 maxarr = 0;            /* rows the arrays hold; 0: as many as executed */
    ub4 valueSkip = 0, indSkip = sizeof(sb2), alenSkip = sizeof(ub2);
};

struct OCIStmt : ocistandin::Handle {
    bool prepared = false;
    /* The last text given and what is derived from it, always kept
     * together: a prepare of the same text again (the writer's every row
     * or group) reuses them. */
    std::string text;
    std::vector<ocisql::Placeholder> places;
    std::string numbered;           /* the text with $n placeholders */
    std::vector<std::string> names; /* the placeholder of each $n */
    bool multiRow = false;          /* a group can be sent as multi-row inserts */
    std::vector<OCIBind *> binds;
    ub4 rowCount = 0; /* rows processed by the last execute (OCI_ATTR_ROW_COUNT) */
};

namespace ocistandin {

/* ---- test controls (control.cpp) ---- */

enum Fn { ENVCREATE, HANDLEALLOC, HANDLEFREE, LOGON, LOGOFF, PREPARE, BIND, EXECUTE, ERRORGET,
          ROLLBACK, BINDARRAY, ATTRGET, FN_COUNT };

void countCall(Fn f);
/* An execute has committed: its time is noted for ociStandinLastCommitNs. */
void noteCommit();
/* The status injected for this call, OCI_SUCCESS when none. */
sword takeInjected(Fn f);
bool isFailure(sword status);
/* An injected failure: nothing done; OCI_ERROR leaves its record. */
sword injectedFailure(Fn f, sword status, Diags *d);
/* An injected OCI_SUCCESS_WITH_INFO turns a real success into a warning. */
sword withInjectedInfo(Fn f, sword injected, sword status, Diags *d);
/* True once for each PostgreSQL INSERT asked to lose its commit's answer,
 * or its connection before the commit. */
bool takeLostAck();
bool takeLostCommit();

/* ---- handles and records (handles.cpp) ---- */

extern std::atomic<long> liveConnections;

/* The handle registered at p with that type, as its own type; none for
 * NULL, freed or wrong-type handles. */
bool isLive(const void *p, ub4 type);
template <class T> T *live(const void *p, ub4 type)
{
    return isLive(p, type) ? static_cast<T *>(const_cast<void *>(p)) : nullptr;
}
ub4 liveType(const void *p);
long liveHandleCount();
void delist(const void *p);
/* Registers h (and makes it a child of env unless it is a bind). */
void enlist(Handle *h, OCIEnv *env);

template <class T> T *create(OCIEnv *env, ub4 type)
{
    std::unique_ptr<T> h(new T);
    h->type = type;
    h->self = h.get();
    h->env = env;
    enlist(h.get(), env);
    return h.release();
}

void giveUserMemory(Handle *h, size_t size, void **usrmempp);
void freeBinds(OCIStmt *stmt);
/* Frees a child of an environment (the caller holds the environment's
 * lock and takes it out of the children). */
void destroyChild(Handle *h);
void freeEnv(OCIEnv *env);
void freeChild(Handle *h);
/* The handle behind a pointer registered with that type. */
Handle *asHandle(void *p, ub4 type);

/* Runs an entry point's body; out of memory becomes OCI_ERROR rather
 * than an exception crossing the C interface. */
template <class F> sword guarded(F &&body)
{
    try {
        return body();
    } catch (...) {
        return OCI_ERROR;
    }
}

void addDiag(Diags &d, sb4 code, const std::string &text);
void oraDiag(Diags &d, int ora, const std::string &text);
/* Copies a record into the caller's buffer, cut to fit with its
 * terminator and never in the middle of a UTF-8 sequence. */
void copyCut(OraText *buf, ub4 size, const std::string &text);

OCIBind *findBind(OCIStmt *stmt, const std::string &name);
/* The text bound for row r of the execute, read now (binds are by
 * reference) in the caller's buffer: its start and length (up to its first
 * NUL, value_sz bytes or its actual length, whichever is first); false for
 * NULL. *terminated (when asked): a NUL ends it within the buffer.
 */
bool boundText(const OCIBind *b, ub4 r, const char **text, size_t *len, bool *terminated = nullptr);

/* ---- SQLite (lite.cpp) ---- */

bool liteOpen(OCISvcCtx *svc, const std::string &dataSource, Diags &d);
void liteClose(OCISvcCtx *svc);
/* Runs the statement for rows 0..iters-1 (stmt->rowCount says how many
 * went through); with commit, all of them commit together or none does. */
bool liteExecute(sqlite3 *db, OCIStmt *stmt, ub4 iters, Diags &d, bool commit);
/* Commits or rolls back the open transaction, if any. */
bool liteEnd(sqlite3 *db, bool commit, Diags &d);

/* ---- PostgreSQL (pgconn.cpp, pgexec.cpp) ---- */

bool isPostgresUri(const std::string &dataSource);
bool pgOpen(OCISvcCtx *svc, const std::string &source, const std::string &user,
            const std::string &password, Diags &d);
void pgClose(OCISvcCtx *svc);
/* As liteExecute. */
bool pgExecute(OCISvcCtx *svc, OCIStmt *stmt, ub4 iters, Diags &d, bool commit);
/* Commits or rolls back the open transaction, if any. */
bool pgEnd(OCISvcCtx *svc, bool commit, Diags &d);
/* Gives the commit in doubt another transaction id; false when none is. */
bool pgForgeInDoubt(const char *txid);

} // namespace ocistandin

#endif
