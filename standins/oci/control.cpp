/*
 * control.cpp - the test controls of the stand-in libclntsh (oci_standin.h):
 * failures injected into named OCI calls, call counters, the PostgreSQL
 * commits made to lose their answer or their connection, and the counters
 * of live handles and connections.
 *
 * The state lives in libclntsh itself, so a test program linked against it
 * and a plug-in that loads the same file with dlopen see one set of
 * controls. Threading: one short lock guards the per-call controls; the
 * lost-commit counters are atomic.
 */
#include <stdio.h>
#include <string.h>
#include <time.h>

#pragma GCC visibility push(default)
#include "oci_standin.h"
#pragma GCC visibility pop

#include "standin.h"

namespace {

using namespace ocistandin;

const char *const FN_NAMES[FN_COUNT] = {
    "OCIEnvCreate", "OCIHandleAlloc", "OCIHandleFree", "OCILogon",    "OCILogoff",
    "OCIStmtPrepare", "OCIBindByName", "OCIStmtExecute", "OCIErrorGet", "OCITransRollback",
    "OCIBindArrayOfStruct", "OCIAttrGet"};

struct Control {
    sword status = OCI_SUCCESS;
    int remaining = 0;
    long calls = 0;
};

/* Test controls, one per OCI function. */
std::mutex controlLock;
Control controls[FN_COUNT];
std::atomic<long> loseAcks{0};    /* answers to drop after a commit */
std::atomic<long> loseCommits{0}; /* connections to drop before a commit */
std::atomic<long long> lastCommitNs{0};

int fnByName(const char *name)
{
    for (int f = 0; name != nullptr && f < FN_COUNT; f++)
        if (strcmp(name, FN_NAMES[f]) == 0)
            return f;
    return -1;
}

void injectedDiag(Diags &d, Fn f, sword status)
{
    char text[128];
    snprintf(text, sizeof text, "ORA-%05d: %s made to return %d", OCI_STANDIN_INJECTED,
             FN_NAMES[f], status);
    addDiag(d, OCI_STANDIN_INJECTED, text);
}

bool takeOne(std::atomic<long> &counter)
{
    return counter.load() > 0 && counter.fetch_sub(1) > 0;
}

} // namespace

namespace ocistandin {

void countCall(Fn f)
{
    std::lock_guard<std::mutex> hold(controlLock);
    controls[f].calls++;
}

void noteCommit()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    lastCommitNs.store((long long)ts.tv_sec * 1000000000LL + ts.tv_nsec);
}

sword takeInjected(Fn f)
{
    std::lock_guard<std::mutex> hold(controlLock);
    Control &c = controls[f];
    if (c.remaining <= 0)
        return OCI_SUCCESS;
    c.remaining--;
    return c.status;
}

bool isFailure(sword status)
{
    return status != OCI_SUCCESS && status != OCI_SUCCESS_WITH_INFO;
}

sword injectedFailure(Fn f, sword status, Diags *d)
{
    if (status == OCI_ERROR && d != nullptr)
        injectedDiag(*d, f, status);
    return status;
}

sword withInjectedInfo(Fn f, sword injected, sword status, Diags *d)
{
    if (injected != OCI_SUCCESS_WITH_INFO || status != OCI_SUCCESS)
        return status;
    if (d != nullptr)
        injectedDiag(*d, f, injected);
    return OCI_SUCCESS_WITH_INFO;
}

bool takeLostAck()
{
    return takeOne(loseAcks);
}

bool takeLostCommit()
{
    return takeOne(loseCommits);
}

} // namespace ocistandin

int ociStandinFail(const char *function, int status, int count)
{
    int f = fnByName(function);
    if (f < 0)
        return 0;
    std::lock_guard<std::mutex> hold(controlLock);
    controls[f].status = status;
    controls[f].remaining = count > 0 ? count : 0;
    return 1;
}

void ociStandinLoseAcks(int count)
{
    loseAcks.store(count > 0 ? count : 0);
}

void ociStandinLoseCommits(int count)
{
    loseCommits.store(count > 0 ? count : 0);
}

int ociStandinForgeInDoubt(const char *txid)
{
    return txid != nullptr && pgForgeInDoubt(txid) ? 1 : 0;
}

void ociStandinReset(void)
{
    std::lock_guard<std::mutex> hold(controlLock);
    for (Control &c : controls)
        c = Control();
    loseAcks.store(0);
    loseCommits.store(0);
}

long ociStandinCalls(const char *function)
{
    int f = fnByName(function);
    if (f < 0)
        return -1;
    std::lock_guard<std::mutex> hold(controlLock);
    return controls[f].calls;
}

long ociStandinLiveHandles(void)
{
    return liveHandleCount();
}

long ociStandinLiveConnections(void)
{
    return liveConnections.load();
}

long long ociStandinLastCommitNs(void)
{
    return lastCommitNs.load();
}
