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
 *   RecordMemory          SmEventRecord of an audited login into the ring (1000 places),
 *                         no journal, a consumer keeping up as for AuditAuth
 *   RecordJournal/S       SmEventRecord of an audited login with the audit journal,
 *                         SPOOL_SYNC always (0), second (1) or none (2)
 *   DatasyncBaseline      pwrite of one journal record's bytes at the end of a file and
 *                         fdatasync: what SPOOL_SYNC always cannot avoid
 *   JournalAlwaysPaired   RecordJournal/0 and DatasyncBaseline in turn, 16 of each per
 *                         round, the order swapped every round: a disk's sync time
 *                         changes from minute to minute, so only a paired ratio holds
 *
 * All at trace level 0. For AuditAuth the database writer is held in its
 * retry sleep (the database is absent), and a consumer thread of ours
 * takes entries out as the writer does after each committed row (and
 * hands the copies back to the recording threads, as the writer does), so the
 * producers measure the queue alone and never wait for a database.
 */
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <thread>

#include "audit.h"
#include "benchutil.h"
#include "clockhook.h"
#include "journal.h"
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
        if (e == nullptr) {
            queueUnlock();
            return;
        }
        bool stop = strcmp(e->szUserName, STOP_USER) == 0;
        bool kept = queueRetire(e);
        queueUnlock();
        if (!kept)
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
    kb::useTableClock();
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

void RecordMemory(benchmark::State &state)
{
    kb::Event ev("uid=load0,ou=people,o=kel", "authlevel=3;run=12345-1700000000;thread=0;seq=42");
    for (auto _ : state)
        SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, ev.get());
}

/* ---- the audit journal: the writer parked, the journal only grows ---- */

const char *const SYNC_MODES[] = {"always", "second", "none"};

void journalSetup(const benchmark::State &state)
{
    traceLevel(0);
    kb::writeFile(home->configDir() + "/kelaudit.conf",
                  "DATASOURCE = absent.db\nUSER = kel\nTABLE = smaccesslog4\nMIN_LEVEL = 3\nRETRY_DELAY = 1\n"
                  "SPOOL_DIR = benchspool\nSPOOL_SYNC = " +
                      std::string(SYNC_MODES[state.range(0)]) + "\n");
    {
        std::lock_guard<std::mutex> hold(parkLock);
        releaseWriter = false;
    }
    kelSys.sleep = parkedSleep;
    SmEventInit();
    kb::Event first("uid=warmup", "authlevel=3");
    auditAuth(first.get());
    std::unique_lock<std::mutex> hold(parkLock);
    parkCond.wait(hold, [] { return writerParked; });
}

void journalTeardown(const benchmark::State &)
{
    {
        std::lock_guard<std::mutex> hold(parkLock);
        releaseWriter = true;
    }
    parkCond.notify_all();
    SmEventRelease();
    kelSysReset();
    kb::installClock();
    std::string cmd = "rm -rf '" + home->path() + "/benchspool'";
    if (system(cmd.c_str()) != 0) {
    }
}

void RecordJournal(benchmark::State &state)
{
    kb::Event ev("uid=load" + std::to_string(state.thread_index()) + ",ou=people,o=kel",
                 "authlevel=3;run=12345-1700000000;thread=0;seq=42");
    for (auto _ : state)
        SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, ev.get());
}

void DatasyncBaseline(benchmark::State &state)
{
    kb::Event ev("uid=load0,ou=people,o=kel", "authlevel=3;run=12345-1700000000;thread=0;seq=42");
    std::string record(journalRecordSize(ev.get(), nullptr), 'x');
    std::string path = home->path() + "/datasync-baseline";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    off_t end = 0;
    for (auto _ : state) {
        if (pwrite(fd, record.data(), record.size(), end) != (ssize_t)record.size() || fdatasync(fd) != 0)
            state.SkipWithError("write failed");
        end += (off_t)record.size();
    }
    close(fd);
    unlink(path.c_str());
    state.counters["record_bytes"] = (double)record.size();
}

/* Wall-clock nanoseconds of fn. */
template <typename F> double timed(F fn)
{
    auto a = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - a).count();
}

void JournalAlwaysPaired(benchmark::State &state)
{
    const int half = 16;
    kb::Event ev("uid=load0,ou=people,o=kel", "authlevel=3;run=12345-1700000000;thread=0;seq=42");
    std::string record(journalRecordSize(ev.get(), nullptr), 'x');
    std::string path = home->path() + "/datasync-paired";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    off_t end = 0;
    double journalNs = 0, baseNs = 0;
    long rounds = 0;
    bool journalFirst = true;
    auto journal = [&] {
        for (int i = 0; i < half; i++)
            SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, ev.get());
    };
    auto baseline = [&] {
        for (int i = 0; i < half; i++) {
            if (pwrite(fd, record.data(), record.size(), end) != (ssize_t)record.size() || fdatasync(fd) != 0)
                state.SkipWithError("write failed");
            end += (off_t)record.size();
        }
    };
    for (auto _ : state) {
        if (journalFirst) {
            journalNs += timed(journal);
            baseNs += timed(baseline);
        } else {
            baseNs += timed(baseline);
            journalNs += timed(journal);
        }
        journalFirst = !journalFirst;
        rounds++;
    }
    close(fd);
    unlink(path.c_str());
    state.counters["journal_ns"] = journalNs / (double)(rounds * half);
    state.counters["baseline_ns"] = baseNs / (double)(rounds * half);
    state.counters["ratio"] = journalNs / baseNs;
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
BENCHMARK(RecordMemory)->Setup(auditSetup)->Teardown(auditTeardown)->Arg(1000)->UseRealTime();
BENCHMARK(RecordJournal)
    ->Setup(journalSetup)
    ->Teardown(journalTeardown)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime();
BENCHMARK(DatasyncBaseline)->UseRealTime();
BENCHMARK(JournalAlwaysPaired)->Setup(journalSetup)->Teardown(journalTeardown)->Arg(0)->UseRealTime();

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
