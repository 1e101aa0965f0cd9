/*
 * bench_event.cpp - the event handler's work on the policy server's
 * threads: selection of events and the copy into the queue.
 *
 *   GetAuthLevel/K        the level from a transaction id with K items ahead of "authlevel"
 *   SmEventRecordReject   an access event that is not an accepted login (kind 1, 1, 2)
 *   SmEventRecordLowLevel an accepted login below MIN_LEVEL (selected out by its level)
 *   AuditAuth/Q           auditAuth of an audited login into a ring of Q places, with
 *                         one or two producer threads, while a consumer keeps up
 *   CopyBaseline          malloc and strdup of the record and its fifteen texts, and
 *                         their frees: the allocation an event copy cannot avoid
 *
 * All at trace level 0. For AuditAuth the database writer is held in its
 * retry sleep (the database is absent), and a consumer thread of ours
 * takes entries out as the writer does after each committed row, so the
 * producers measure the queue alone and never wait for a database.
 */
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <thread>

#include "audit.h"
#include "benchutil.h"
#include "clockhook.h"
#include "smeventkel.h"
#include "trace.h"

namespace {

kb::Home *home;

/* ---- the writer held in its retry sleep ---- */
std::mutex parkLock;
std::condition_variable parkCond;
bool writerParked = false;
bool releaseWriter = false;

unsigned int parkedSleep(unsigned int)
{
    std::unique_lock<std::mutex> hold(parkLock);
    writerParked = true;
    parkCond.notify_all();
    parkCond.wait(hold, [] { return releaseWriter; });
    writerParked = false;
    return 0;
}

std::thread consumer;
const char *const STOP_USER = "uid=stop-consumer";

/* Takes entries out until it meets the stop entry. It must be gone before
 * the writer wakes: the writer alone may take the head it is inserting. */
void consume()
{
    for (;;) {
        queueLock();
        SmLog_Access_s *e = queueGet();
        queueUnlock();
        if (e == nullptr)
            return;
        bool stop = strcmp(e->szUserName, STOP_USER) == 0;
        eventFree(e);
        if (stop)
            return;
    }
}

void traceLevel(int level)
{
    home->traceConf(level);
    kb::openGates();
    trace(TRACE_ERROR, "level %d", level);
    unlink(home->logPath().c_str());
}

void auditSetup(const benchmark::State &state)
{
    traceLevel(0);
    kb::writeFile(home->configDir() + "/kelaudit.conf",
                  "DATASOURCE = absent.db\nUSER = kel\nTABLE = smaccesslog4\nMIN_LEVEL = 3\nMAX_QUEUE = " +
                      std::to_string(state.range(0)) + "\nRETRY_DELAY = 1\n");
    SmEventInit();
    {
        std::lock_guard<std::mutex> hold(parkLock);
        releaseWriter = false;
    }
    kelSys.sleep = parkedSleep;
    kb::Event first("uid=warmup", "authlevel=3");
    auditAuth(first.get());
    std::unique_lock<std::mutex> hold(parkLock);
    parkCond.wait(hold, [] { return writerParked; });
    hold.unlock();
    consumer = std::thread(consume);
}

void auditTeardown(const benchmark::State &)
{
    kb::Event stop(STOP_USER, "authlevel=3");
    auditAuth(stop.get());
    consumer.join();
    {
        std::lock_guard<std::mutex> hold(parkLock);
        releaseWriter = true;
    }
    parkCond.notify_all();
    SmEventRelease();
    kelSysReset();
    kb::installClock();
}

void AuditAuth(benchmark::State &state)
{
    kb::Event ev("uid=load" + std::to_string(state.thread_index()) + ",ou=people,o=kel",
                 "authlevel=3;run=12345-1700000000;thread=0;seq=42");
    for (auto _ : state)
        auditAuth(ev.get());
}

void CopyBaseline(benchmark::State &state)
{
    kb::Event ev("uid=load0,ou=people,o=kel", "authlevel=3;run=12345-1700000000;thread=0;seq=42");
    for (auto _ : state) {
        SmLog_Access_s *c = (SmLog_Access_s *)malloc(sizeof *c);
        char **t = &c->szAgentName;
        for (int i = 0; i < 15; i++)
            t[i] = strdup(ev.text(i).c_str());
        benchmark::DoNotOptimize(c);
        for (int i = 0; i < 15; i++)
            free(t[i]);
        free(c);
    }
}

std::string transactionId(int ahead)
{
    std::string txn;
    for (int i = 0; i < ahead; i++)
        txn += "item" + std::to_string(i) + "=value-" + std::to_string(i * 7919) + ";";
    return txn + "authlevel=3;seq=42";
}

void GetAuthLevel(benchmark::State &state)
{
    std::string txn = transactionId((int)state.range(0));
    traceLevel(0);
    int sum = 0;
    for (auto _ : state)
        sum += getAuthLevel(txn.c_str());
    benchmark::DoNotOptimize(sum);
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)txn.size());
}

void SmEventRecordReject(benchmark::State &state)
{
    kb::Event ev("uid=load0,ou=people,o=kel", "authlevel=3;run=12345-1700000000;thread=0;seq=42");
    traceLevel(0);
    for (auto _ : state)
        SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_REJECT, ev.get());
}

void SmEventRecordLowLevel(benchmark::State &state)
{
    kb::Event ev("uid=load0,ou=people,o=kel", "authlevel=3;run=12345-1700000000;thread=0;seq=42");
    kb::writeFile(home->configDir() + "/kelaudit.conf", "MIN_LEVEL = 10\n");
    SmEventInit();
    traceLevel(0);
    for (auto _ : state)
        SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, ev.get());
}

} // namespace

BENCHMARK(GetAuthLevel)->Arg(0)->Arg(4)->Arg(16);
BENCHMARK(SmEventRecordReject);
BENCHMARK(SmEventRecordLowLevel);
BENCHMARK(AuditAuth)
    ->Setup(auditSetup)
    ->Teardown(auditTeardown)
    ->Arg(1)
    ->Arg(20)
    ->Arg(1000)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();
BENCHMARK(CopyBaseline);

int main(int argc, char **argv)
{
    kb::Home h;
    home = &h;
    kb::installClock();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    traceClose();
    return 0;
}
