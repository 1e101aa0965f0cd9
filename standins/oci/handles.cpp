/*
 * handles.cpp - the stand-in libclntsh's handles: the process-wide registry
 * of live handles (so that NULL, freed and wrong-type handles are refused
 * without being followed), freeing a handle with what it owns, the
 * diagnostic records the calls leave, and reading bound values.
 *
 * Threading: the registry has one short lock of its own, taken for a
 * look-up or a change and never while anything else is taken. Freeing an
 * environment's children happens under the environment's lock.
 */
#include <stdio.h>
#include <string.h>
#include <type_traits>
#include <unordered_map>

#include "standin.h"

namespace ocistandin {

/* Live handles: the pointer handed out and its type. Never destroyed, so
 * that a call made while the process exits still finds it. */
static std::mutex registryLock;
static std::unordered_map<const void *, ub4> &registry = *new std::unordered_map<const void *, ub4>;
std::atomic<long> liveConnections{0};

/* ---- handle registry ---- */

bool isLive(const void *p, ub4 type)
{
    if (p == nullptr)
        return false;
    std::lock_guard<std::mutex> hold(registryLock);
    auto it = registry.find(p);
    return it != registry.end() && it->second == type;
}

ub4 liveType(const void *p)
{
    std::lock_guard<std::mutex> hold(registryLock);
    auto it = registry.find(p);
    return it == registry.end() ? 0 : it->second;
}

void delist(const void *p)
{
    std::lock_guard<std::mutex> hold(registryLock);
    registry.erase(p);
}

long liveHandleCount()
{
    std::lock_guard<std::mutex> hold(registryLock);
    return (long)registry.size();
}

void enlist(Handle *h, OCIEnv *env)
{
    {
        std::lock_guard<std::mutex> hold(registryLock);
        registry.emplace(h->self, h->type);
    }
    if (env != nullptr && h->type != OCI_HTYPE_BIND) {
        try {
            env->children.insert(h);
        } catch (...) {
            delist(h->self);
            throw;
        }
    }
}

void giveUserMemory(Handle *h, size_t size, void **usrmempp)
{
    if (usrmempp == nullptr)
        return;
    *usrmempp = nullptr;
    if (size > 0) {
        h->userMem.assign(size, 0);
        *usrmempp = h->userMem.data();
    }
}

static void closeConnection(OCISvcCtx *svc)
{
    liteClose(svc);
    pgClose(svc);
}

void freeBinds(OCIStmt *stmt)
{
    for (OCIBind *b : stmt->binds) {
        delist(b->self);
        delete b;
    }
    stmt->binds.clear();
}

/* Frees a child of an environment (the caller holds the environment's
 * lock and takes it out of the children). */
void destroyChild(Handle *h)
{
    delist(h->self);
    switch (h->type) {
    case OCI_HTYPE_ERROR:
        delete static_cast<OCIError *>(h->self);
        break;
    case OCI_HTYPE_SVCCTX:
        closeConnection(static_cast<OCISvcCtx *>(h->self));
        delete static_cast<OCISvcCtx *>(h->self);
        break;
    case OCI_HTYPE_STMT:
        freeBinds(static_cast<OCIStmt *>(h->self));
        delete static_cast<OCIStmt *>(h->self);
        break;
    }
}

void freeEnv(OCIEnv *env)
{
    delist(env);
    {
        std::lock_guard<std::mutex> hold(env->lock);
        for (Handle *h : env->children)
            destroyChild(h);
        env->children.clear();
    }
    delete env;
}

void freeChild(Handle *h)
{
    OCIEnv *env = h->env;
    std::lock_guard<std::mutex> hold(env->lock);
    env->children.erase(h);
    destroyChild(h);
}

/* The handle behind a pointer registered with that type. */
Handle *asHandle(void *p, ub4 type)
{
    switch (type) {
    case OCI_HTYPE_ENV:
        return static_cast<OCIEnv *>(p);
    case OCI_HTYPE_ERROR:
        return static_cast<OCIError *>(p);
    case OCI_HTYPE_SVCCTX:
        return static_cast<OCISvcCtx *>(p);
    default:
        return static_cast<OCIStmt *>(p);
    }
}

/* ---- diagnostic records ---- */

/* Records are single lines: control characters become spaces and trailing
 * white space goes, so a caller can log them as they are. */
void addDiag(Diags &d, sb4 code, const std::string &text)
{
    std::string line = text;
    for (char &c : line)
        if ((unsigned char)c < 0x20 || c == 0x7f)
            c = ' ';
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    d.push_back({code, line});
}

void oraDiag(Diags &d, int ora, const std::string &text)
{
    char prefix[16];
    snprintf(prefix, sizeof prefix, "ORA-%05d: ", ora);
    addDiag(d, ora, prefix + text);
}

/* Copies a record into the caller's buffer, cut to fit with its
 * terminator and never in the middle of a UTF-8 sequence. */
void copyCut(OraText *buf, ub4 size, const std::string &text)
{
    size_t n = text.size() < size ? text.size() : size - 1;
    for (int back = 0; back < 3 && n > 0 && n < text.size() &&
                       ((unsigned char)text[n] & 0xC0) == 0x80;
         back++)
        n--;
    memcpy(buf, text.data(), n);
    buf[n] = '\0';
}

/* ---- bound values ---- */

OCIBind *findBind(OCIStmt *stmt, const std::string &name)
{
    for (OCIBind *b : stmt->binds)
        if (b->name == name)
            return b;
    return nullptr;
}

/* Row r of an array at base, skip bytes apart. */
template <class T> static T *element(T *base, ub4 skip, ub4 r)
{
    using Byte = typename std::conditional<std::is_const<T>::value, const char, char>::type;
    return reinterpret_cast<T *>(reinterpret_cast<Byte *>(base) + (size_t)skip * r);
}

bool boundText(const OCIBind *b, ub4 r, const char **text, size_t *len, bool *terminated)
{
    if ((b->ind != nullptr && *element(b->ind, b->indSkip, r) < 0) || b->value == nullptr)
        return false;
    size_t most = (size_t)b->size;
    if (b->alen != nullptr && *element(b->alen, b->alenSkip, r) < most)
        most = *element(b->alen, b->alenSkip, r);
    *text = element(static_cast<const char *>(b->value), b->valueSkip, r);
    *len = strnlen(*text, most);
    if (terminated != nullptr)
        *terminated = *len < most;
    return true;
}

} // namespace ocistandin
