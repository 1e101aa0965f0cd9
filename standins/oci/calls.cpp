/*
 * calls.cpp - the OCI calls of oci.h in the stand-in libclntsh, over the
 * SQLite and PostgreSQL back ends chosen by the data source of OCILogon:
 * each call checks its handles against the registry, counts itself and
 * takes any failure a test injected (control.cpp), checks its arguments as
 * Oracle's client does, and runs under its environment's lock.
 *
 * Under faults it behaves as a real client does: every PostgreSQL call has
 * a deadline (pgconn.cpp), and bound texts are converted into the
 * database's character set rather than refused (charset.h).
 */
#pragma GCC visibility push(default)
#include "oci.h"
#pragma GCC visibility pop

#include <limits.h>
#include <string.h>

#include "standin.h"

using namespace ocistandin;

namespace {

/* Rows one array execute may take. */
const ub4 MAX_ITERS = 65535;

/* Ends the connection's open transaction, if any: commits it or rolls it
 * back. False (with a record) when that fails. */
bool endTransaction(OCISvcCtx *svc, bool commit, Diags &d)
{
    if (svc->lite != nullptr)
        return liteEnd(svc->lite, commit, d);
    return pgEnd(svc, commit, d);
}

/* ---- argument checks shared by the statement calls ---- */

/* The statement's first placeholder without a bind, or "". */
std::string firstUnbound(OCIStmt *stmt)
{
    for (const ocisql::Placeholder &p : stmt->places)
        if (findBind(stmt, p.name) == nullptr)
            return p.name;
    return "";
}

bool checkExecuteArgs(OCIStmt *stmt, ub4 iters, ub4 rowoff, ub4 mode, Diags &d)
{
    if (!stmt->prepared) {
        oraDiag(d, 24337, "statement handle not prepared");
        return false;
    }
    if (iters == 0) {
        oraDiag(d, 24333, "zero iteration count");
        return false;
    }
    if (iters > MAX_ITERS || rowoff != 0) {
        oraDiag(d, 3001, "unimplemented feature: array execute of more than " +
                             std::to_string(MAX_ITERS) + " rows or from a row offset");
        return false;
    }
    if (mode != OCI_COMMIT_ON_SUCCESS && mode != OCI_DEFAULT) {
        oraDiag(d, 3001, "unimplemented feature: execute mode " + std::to_string(mode) +
                             " (OCI_COMMIT_ON_SUCCESS or OCI_DEFAULT only)");
        return false;
    }
    std::string unbound = firstUnbound(stmt);
    if (!unbound.empty()) {
        oraDiag(d, 1008, "not all variables bound (:" + unbound + ")");
        return false;
    }
    for (const OCIBind *b : stmt->binds)
        if (b->maxarr != 0 && iters > b->maxarr) {
            oraDiag(d, 22165, "given index [" + std::to_string(iters - 1) +
                                  "] must be in the range of [0] to [" +
                                  std::to_string(b->maxarr - 1) + "] (:" + b->name + ")");
            return false;
        }
    return true;
}

bool checkBindArgs(OCIStmt *stmt, const std::string &name, sb4 value_sz, ub2 dty,
                   ub4 *curelep, ub4 mode, Diags &d)
{
    if (!stmt->prepared) {
        oraDiag(d, 24337, "statement handle not prepared");
        return false;
    }
    bool known = false;
    for (const ocisql::Placeholder &p : stmt->places)
        known = known || p.name == name;
    if (!known) {
        oraDiag(d, 1036, "illegal variable name/number (:" + name + ")");
        return false;
    }
    if (dty != SQLT_STR) {
        oraDiag(d, 3001, "unimplemented feature: data type " + std::to_string(dty) +
                             " (SQLT_STR only)");
        return false;
    }
    if (value_sz < 0) {
        oraDiag(d, 1459, "invalid length for variable character string");
        return false;
    }
    if (curelep != nullptr || mode != OCI_DEFAULT) {
        oraDiag(d, 3001, "unimplemented feature: PL/SQL table binds, bind modes");
        return false;
    }
    return true;
}

} // namespace

/* ---- the OCI calls ---- */

/* Memory callbacks are accepted and not used. */
sword OCIEnvCreate(OCIEnv **envhpp, ub4 mode, const void *, void *(*)(void *, size_t),
                   void *(*)(void *, void *, size_t), void (*)(void *, void *), size_t xtramem_sz,
                   void **usrmempp)
{
    countCall(ENVCREATE);
    if (envhpp == nullptr)
        return OCI_INVALID_HANDLE;
    *envhpp = nullptr;
    if (usrmempp != nullptr)
        *usrmempp = nullptr;
    return guarded([&]() -> sword {
        sword injected = takeInjected(ENVCREATE);
        if (isFailure(injected) && injected != OCI_ERROR)
            return injected;
        OCIEnv *env = create<OCIEnv>(nullptr, OCI_HTYPE_ENV);
        *envhpp = env;
        /* The environment is handed out even on failure: it holds the
         * record, and the caller frees it. */
        if (injected == OCI_ERROR)
            return injectedFailure(ENVCREATE, injected, &env->diags);
        if ((mode & ~(ub4)(OCI_THREADED | OCI_OBJECT | OCI_NO_MUTEX)) != 0) {
            oraDiag(env->diags, 24300, "bad value for mode " + std::to_string(mode));
            return OCI_ERROR;
        }
        giveUserMemory(env, xtramem_sz, usrmempp);
        return withInjectedInfo(ENVCREATE, injected, OCI_SUCCESS, &env->diags);
    });
}

sword OCIHandleAlloc(const void *parenth, void **hndlpp, ub4 type, size_t xtramem_sz,
                     void **usrmempp)
{
    countCall(HANDLEALLOC);
    OCIEnv *env = live<OCIEnv>(parenth, OCI_HTYPE_ENV);
    if (env == nullptr || hndlpp == nullptr)
        return OCI_INVALID_HANDLE;
    return guarded([&]() -> sword {
        std::lock_guard<std::mutex> hold(env->lock);
        env->diags.clear();
        *hndlpp = nullptr;
        sword injected = takeInjected(HANDLEALLOC);
        if (isFailure(injected))
            return injectedFailure(HANDLEALLOC, injected, &env->diags);
        Handle *h;
        if (type == OCI_HTYPE_ERROR)
            h = create<OCIError>(env, type);
        else if (type == OCI_HTYPE_STMT)
            h = create<OCIStmt>(env, type);
        else {
            oraDiag(env->diags, 21560,
                    "argument 3 is null, invalid, or out of range (handle type " +
                        std::to_string(type) + ")");
            return OCI_ERROR;
        }
        giveUserMemory(h, xtramem_sz, usrmempp);
        *hndlpp = h->self;
        return withInjectedInfo(HANDLEALLOC, injected, OCI_SUCCESS, &env->diags);
    });
}

/* Bind handles go with their statement; they cannot be freed alone. */
sword OCIHandleFree(void *hndlp, ub4 type)
{
    countCall(HANDLEFREE);
    if (hndlp == nullptr || type == OCI_HTYPE_BIND || liveType(hndlp) != type)
        return OCI_INVALID_HANDLE;
    return guarded([&]() -> sword {
        Handle *h = asHandle(hndlp, type);
        OCIEnv *env = type == OCI_HTYPE_ENV ? static_cast<OCIEnv *>(hndlp) : h->env;
        sword injected = takeInjected(HANDLEFREE);
        if (isFailure(injected)) {
            std::lock_guard<std::mutex> hold(env->lock);
            return injectedFailure(HANDLEFREE, injected, &env->diags);
        }
        if (type == OCI_HTYPE_ENV)
            freeEnv(env);
        else
            freeChild(h);
        return injected;
    });
}

sword OCILogon(OCIEnv *envhp, OCIError *errhp, OCISvcCtx **svchp, const OraText *username,
               ub4 uname_len, const OraText *password, ub4 passwd_len, const OraText *dbname,
               ub4 dbname_len)
{
    countCall(LOGON);
    OCIEnv *env = live<OCIEnv>(envhp, OCI_HTYPE_ENV);
    OCIError *err = live<OCIError>(errhp, OCI_HTYPE_ERROR);
    if (env == nullptr || err == nullptr || err->env != env || svchp == nullptr)
        return OCI_INVALID_HANDLE;
    return guarded([&]() -> sword {
        std::lock_guard<std::mutex> hold(env->lock);
        err->diags.clear();
        *svchp = nullptr;
        sword injected = takeInjected(LOGON);
        if (isFailure(injected))
            return injectedFailure(LOGON, injected, &err->diags);
        if ((username == nullptr && uname_len > 0) || (password == nullptr && passwd_len > 0) ||
            dbname == nullptr || dbname_len == 0 || memchr(dbname, 0, dbname_len) != nullptr) {
            oraDiag(err->diags, 12162, "TNS:net service name is incorrectly specified");
            return OCI_ERROR;
        }
        std::string user(reinterpret_cast<const char *>(username), username ? uname_len : 0);
        std::string pass(reinterpret_cast<const char *>(password), password ? passwd_len : 0);
        std::string source(reinterpret_cast<const char *>(dbname), dbname_len);

        OCISvcCtx *svc = create<OCISvcCtx>(env, OCI_HTYPE_SVCCTX);
        bool ok = isPostgresUri(source) ? pgOpen(svc, source, user, pass, err->diags)
                                        : liteOpen(svc, source, err->diags);
        if (!ok) {
            env->children.erase(svc);
            destroyChild(svc);
            return OCI_ERROR;
        }
        *svchp = svc;
        return withInjectedInfo(LOGON, injected, OCI_SUCCESS, &err->diags);
    });
}

sword OCILogoff(OCISvcCtx *svchp, OCIError *errhp)
{
    countCall(LOGOFF);
    OCISvcCtx *svc = live<OCISvcCtx>(svchp, OCI_HTYPE_SVCCTX);
    OCIError *err = live<OCIError>(errhp, OCI_HTYPE_ERROR);
    if (svc == nullptr || err == nullptr || err->env != svc->env)
        return OCI_INVALID_HANDLE;
    return guarded([&]() -> sword {
        std::lock_guard<std::mutex> hold(svc->env->lock);
        err->diags.clear();
        sword injected = takeInjected(LOGOFF);
        if (isFailure(injected))
            return injectedFailure(LOGOFF, injected, &err->diags);
        /* Ending the session commits what is open, as Oracle does. */
        bool committed = endTransaction(svc, true, err->diags);
        svc->env->children.erase(svc);
        destroyChild(svc);
        return withInjectedInfo(LOGOFF, injected, committed ? OCI_SUCCESS : OCI_ERROR, &err->diags);
    });
}

sword OCITransRollback(OCISvcCtx *svchp, OCIError *errhp, ub4 flags)
{
    countCall(ROLLBACK);
    OCISvcCtx *svc = live<OCISvcCtx>(svchp, OCI_HTYPE_SVCCTX);
    OCIError *err = live<OCIError>(errhp, OCI_HTYPE_ERROR);
    if (svc == nullptr || err == nullptr || err->env != svc->env)
        return OCI_INVALID_HANDLE;
    return guarded([&]() -> sword {
        std::lock_guard<std::mutex> hold(svc->env->lock);
        err->diags.clear();
        sword injected = takeInjected(ROLLBACK);
        if (isFailure(injected))
            return injectedFailure(ROLLBACK, injected, &err->diags);
        if (flags != OCI_DEFAULT) {
            oraDiag(err->diags, 3001, "unimplemented feature: rollback flags " + std::to_string(flags));
            return OCI_ERROR;
        }
        bool ok = endTransaction(svc, false, err->diags);
        return withInjectedInfo(ROLLBACK, injected, ok ? OCI_SUCCESS : OCI_ERROR, &err->diags);
    });
}

/* Preparing parses nothing on the server (as with Oracle): the text is
 * checked when it is executed. Binds of an earlier prepare are dropped. */
sword OCIStmtPrepare(OCIStmt *stmtp, OCIError *errhp, const OraText *stmt, ub4 stmt_len,
                     ub4 language, ub4 mode)
{
    countCall(PREPARE);
    OCIStmt *st = live<OCIStmt>(stmtp, OCI_HTYPE_STMT);
    OCIError *err = live<OCIError>(errhp, OCI_HTYPE_ERROR);
    if (st == nullptr || err == nullptr || err->env != st->env)
        return OCI_INVALID_HANDLE;
    return guarded([&]() -> sword {
        std::lock_guard<std::mutex> hold(st->env->lock);
        err->diags.clear();
        sword injected = takeInjected(PREPARE);
        if (isFailure(injected))
            return injectedFailure(PREPARE, injected, &err->diags);
        freeBinds(st);
        st->prepared = false;
        if (stmt == nullptr || stmt_len == 0 || stmt_len > INT_MAX) {
            oraDiag(err->diags, 900, "invalid SQL statement");
            return OCI_ERROR;
        }
        if (memchr(stmt, 0, stmt_len) != nullptr) {
            oraDiag(err->diags, 911, "invalid character (NUL in statement text)");
            return OCI_ERROR;
        }
        if (language < OCI_NTV_SYNTAX || language > OCI_V8_SYNTAX || mode != OCI_DEFAULT) {
            oraDiag(err->diags, 21560, "argument 5 or 6 is null, invalid, or out of range");
            return OCI_ERROR;
        }
        if (st->text.size() != stmt_len || memcmp(st->text.data(), stmt, stmt_len) != 0) {
            st->places.clear();
            st->text.assign(reinterpret_cast<const char *>(stmt), stmt_len);
            st->places = ocisql::findPlaceholders(st->text);
            st->names.clear();
            st->numbered = ocisql::toNumbered(st->text, st->places, st->names);
            st->multiRow = !ocisql::multiRowInsert(st->text, st->places, 1).empty();
        }
        st->prepared = true;
        return withInjectedInfo(PREPARE, injected, OCI_SUCCESS, &err->diags);
    });
}

/* One bind per placeholder name: binding a name again replaces its value
 * and hands back the same bind handle. *bindpp is only written. */
sword OCIBindByName(OCIStmt *stmtp, OCIBind **bindpp, OCIError *errhp,
                    const OraText *placeholder, sb4 placeh_len, void *valuep, sb4 value_sz,
                    ub2 dty, void *indp, ub2 *alenp, ub2 *, ub4 maxarr_len, ub4 *curelep,
                    ub4 mode)
{
    countCall(BIND);
    OCIStmt *st = live<OCIStmt>(stmtp, OCI_HTYPE_STMT);
    OCIError *err = live<OCIError>(errhp, OCI_HTYPE_ERROR);
    if (st == nullptr || err == nullptr || err->env != st->env || bindpp == nullptr)
        return OCI_INVALID_HANDLE;
    return guarded([&]() -> sword {
        std::lock_guard<std::mutex> hold(st->env->lock);
        err->diags.clear();
        sword injected = takeInjected(BIND);
        if (isFailure(injected))
            return injectedFailure(BIND, injected, &err->diags);
        std::string name = placeholder != nullptr && placeh_len > 0
                               ? ocisql::normaliseName(
                                     reinterpret_cast<const char *>(placeholder), (size_t)placeh_len)
                               : "";
        if (!checkBindArgs(st, name, value_sz, dty, curelep, mode, err->diags))
            return OCI_ERROR;
        OCIBind *b = findBind(st, name);
        if (b == nullptr) {
            b = create<OCIBind>(st->env, OCI_HTYPE_BIND);
            b->name = name;
            try {
                st->binds.push_back(b);
            } catch (...) {
                delist(b->self);
                delete b;
                throw;
            }
        }
        b->value = valuep;
        b->size = value_sz;
        b->ind = static_cast<const sb2 *>(indp);
        b->alen = alenp;
        b->maxarr = maxarr_len;
        b->valueSkip = (ub4)value_sz;
        b->indSkip = sizeof(sb2);
        b->alenSkip = sizeof(ub2);
        *bindpp = b;
        return withInjectedInfo(BIND, injected, OCI_SUCCESS, &err->diags);
    });
}

sword OCIStmtExecute(OCISvcCtx *svchp, OCIStmt *stmtp, OCIError *errhp, ub4 iters, ub4 rowoff,
                     const OCISnapshot *, OCISnapshot *, ub4 mode)
{
    countCall(EXECUTE);
    OCISvcCtx *svc = live<OCISvcCtx>(svchp, OCI_HTYPE_SVCCTX);
    OCIStmt *st = live<OCIStmt>(stmtp, OCI_HTYPE_STMT);
    OCIError *err = live<OCIError>(errhp, OCI_HTYPE_ERROR);
    if (svc == nullptr || st == nullptr || err == nullptr || st->env != svc->env ||
        err->env != svc->env)
        return OCI_INVALID_HANDLE;
    return guarded([&]() -> sword {
        std::lock_guard<std::mutex> hold(svc->env->lock);
        err->diags.clear();
        sword injected = takeInjected(EXECUTE);
        if (isFailure(injected))
            return injectedFailure(EXECUTE, injected, &err->diags);
        if (!checkExecuteArgs(st, iters, rowoff, mode, err->diags))
            return OCI_ERROR;
        bool commit = mode == OCI_COMMIT_ON_SUCCESS;
        st->rowCount = 0;
        bool ok = svc->lite != nullptr ? liteExecute(svc->lite, st, iters, err->diags, commit)
                                       : pgExecute(svc, st, iters, err->diags, commit);
        if (ok && commit)
            noteCommit();
        return withInjectedInfo(EXECUTE, injected, ok ? OCI_SUCCESS : OCI_ERROR, &err->diags);
    });
}

/* Row r of each array is read at the bind's value + r * pvskip (and the
 * same for indicators and lengths); a skip of 0 keeps the bind's own
 * element size. Return codes are not written. */
sword OCIBindArrayOfStruct(OCIBind *bindp, OCIError *errhp, ub4 pvskip, ub4 indskip, ub4 alskip,
                           ub4)
{
    countCall(BINDARRAY);
    OCIBind *b = live<OCIBind>(bindp, OCI_HTYPE_BIND);
    OCIError *err = live<OCIError>(errhp, OCI_HTYPE_ERROR);
    if (b == nullptr || err == nullptr || err->env != b->env)
        return OCI_INVALID_HANDLE;
    return guarded([&]() -> sword {
        std::lock_guard<std::mutex> hold(b->env->lock);
        err->diags.clear();
        sword injected = takeInjected(BINDARRAY);
        if (isFailure(injected))
            return injectedFailure(BINDARRAY, injected, &err->diags);
        if (pvskip != 0)
            b->valueSkip = pvskip;
        if (indskip != 0)
            b->indSkip = indskip;
        if (alskip != 0)
            b->alenSkip = alskip;
        return withInjectedInfo(BINDARRAY, injected, OCI_SUCCESS, &err->diags);
    });
}

/* Statement attributes only: OCI_ATTR_ROW_COUNT, the rows the last
 * execute processed (all of them after a success; before the failing row
 * after an array execute failed). */
sword OCIAttrGet(const void *trgthndlp, ub4 trghndltyp, void *attributep, ub4 *sizep,
                 ub4 attrtype, OCIError *errhp)
{
    countCall(ATTRGET);
    OCIStmt *st = trghndltyp == OCI_HTYPE_STMT ? live<OCIStmt>(trgthndlp, OCI_HTYPE_STMT) : nullptr;
    OCIError *err = live<OCIError>(errhp, OCI_HTYPE_ERROR);
    if (st == nullptr || err == nullptr || err->env != st->env || attributep == nullptr)
        return OCI_INVALID_HANDLE;
    return guarded([&]() -> sword {
        std::lock_guard<std::mutex> hold(st->env->lock);
        err->diags.clear();
        sword injected = takeInjected(ATTRGET);
        if (isFailure(injected))
            return injectedFailure(ATTRGET, injected, &err->diags);
        if (attrtype != OCI_ATTR_ROW_COUNT) {
            oraDiag(err->diags, 24315, "illegal attribute type " + std::to_string(attrtype));
            return OCI_ERROR;
        }
        *static_cast<ub4 *>(attributep) = st->rowCount;
        if (sizep != nullptr)
            *sizep = sizeof(ub4);
        return withInjectedInfo(ATTRGET, injected, OCI_SUCCESS, &err->diags);
    });
}

/* Reading records changes nothing; sqlstate is not used (as with Oracle). */
sword OCIErrorGet(void *hndlp, ub4 recordno, OraText *, sb4 *errcodep, OraText *bufp,
                  ub4 bufsiz, ub4 type)
{
    countCall(ERRORGET);
    OCIEnv *env = nullptr;
    Diags *diags = nullptr;
    if (type == OCI_HTYPE_ERROR) {
        OCIError *err = live<OCIError>(hndlp, OCI_HTYPE_ERROR);
        if (err != nullptr) {
            env = err->env;
            diags = &err->diags;
        }
    } else if (type == OCI_HTYPE_ENV) {
        env = live<OCIEnv>(hndlp, OCI_HTYPE_ENV);
        if (env != nullptr)
            diags = &env->diags;
    }
    if (env == nullptr)
        return OCI_INVALID_HANDLE;
    std::lock_guard<std::mutex> hold(env->lock);
    sword injected = takeInjected(ERRORGET);
    if (isFailure(injected))
        return injected;
    if (recordno < 1 || recordno > diags->size())
        return OCI_NO_DATA;
    const Diag &d = (*diags)[recordno - 1];
    if (errcodep != nullptr)
        *errcodep = d.code;
    if (bufp != nullptr && bufsiz > 0)
        copyCut(bufp, bufsiz, d.text);
    return injected;
}
