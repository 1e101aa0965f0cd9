/*
 * bench_trace.cpp - the trace module against the system calls that one
 * written line cannot avoid, and the password scrambling.
 *
 *   TraceWritten/N    one line with a message of N characters, written and flushed
 *   WriteBaseline/N   fstat of an open file and one write(2) of the same bytes
 *   TraceFiltered     a message above the configured level
 *   ConfGate          a call that finds the two-second gate open and
 *                     keltrace.conf unchanged (the message filtered out)
 *   StatBaseline      the stat(2) and time of day that such a call cannot avoid
 *   Scrypt            scrambling a typical database password
 */
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdio.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "benchutil.h"
#include "clockhook.h"
#include "kelcommon.h"
#include "scrypt.h"
#include "trace.h"

namespace {

kb::Home *home;

/* The message text of N characters that trace(TRACE_1, "%s %d ...") writes. */
std::string messageOf(size_t n)
{
    std::string m = "queuePut: entry 7, user ";
    while (m.size() < n)
        m += "uid=user" + std::to_string(m.size()) + ",ou=people,";
    m.resize(n);
    return m;
}

/* Applies a trace level: rewrites keltrace.conf and lets the next call see
 * it; then the module reads the real clock, as in production (the gate
 * that look set is ahead of it, so no other look falls due meanwhile). */
void traceLevel(int level)
{
    home->traceConf(level);
    kb::openGates();
    trace(TRACE_ERROR, "level %d", level);
    unlink(home->logPath().c_str());
    kb::openGates();
    trace(TRACE_ERROR, "start");
    kb::useTableClock();
}

void TraceWritten(benchmark::State &state)
{
    std::string msg = messageOf((size_t)state.range(0));
    /* Split so that the format does real work: a text and a number. */
    std::string head = msg.substr(0, msg.size() / 2), tail = msg.substr(msg.size() / 2);
    traceLevel(5);
    for (auto _ : state)
        trace(TRACE_1, "%s%s", head.c_str(), tail.c_str());
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)(msg.size() + 35));
    unlink(home->logPath().c_str());
}

void WriteBaseline(benchmark::State &state)
{
    /* Same bytes as a trace line: the prefix, the message, "\n". */
    char prefix[64];
    snprintf(prefix, sizeof prefix, "08/12/26 12:34:56.789 %5lu %4u: ", (unsigned long)getpid(),
             (unsigned)gettid());
    std::string line = prefix + messageOf((size_t)state.range(0)) + "\n";
    std::string path = home->path() + "/baseline.log";
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    struct stat st;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fstat(fd, &st));
        benchmark::DoNotOptimize(write(fd, line.data(), line.size()));
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)line.size());
    close(fd);
    unlink(path.c_str());
}

void TraceFiltered(benchmark::State &state)
{
    traceLevel((int)state.range(0));
    for (auto _ : state)
        trace(TRACE_4, "queuePut: entry %d, user %s, %d already in queue", 7, "uid=alice", 2);
}

void ConfGate(benchmark::State &state)
{
    traceLevel(0);
    kb::installClock();
    kb::clockStep = 2;
    for (auto _ : state)
        trace(TRACE_4, "queuePut: entry %d, user %s, %d already in queue", 7, "uid=alice", 2);
    kb::clockStep = 0;
    kb::useTableClock();
}

void StatBaseline(benchmark::State &state)
{
    std::string conf = home->configDir() + "/keltrace.conf";
    struct stat st;
    struct timeval tv;
    /* Through the clock ConfGate reads. */
    kb::installClock();
    for (auto _ : state) {
        benchmark::DoNotOptimize(kelSys.gettimeofday(&tv));
        benchmark::DoNotOptimize(stat(conf.c_str(), &st));
    }
    kb::useTableClock();
}

void Scrypt(benchmark::State &state)
{
    const char *password = "Wuvemta#2026!";
    char out[64];
    for (auto _ : state) {
        scrypt(out, password, true);
        benchmark::DoNotOptimize(out);
    }
}

} // namespace

BENCHMARK(TraceWritten)->Arg(32)->Arg(128)->Arg(512)->Arg(2048);
BENCHMARK(WriteBaseline)->Arg(32)->Arg(128)->Arg(512)->Arg(2048);
BENCHMARK(TraceFiltered)->Arg(0)->Arg(3);
BENCHMARK(ConfGate);
BENCHMARK(StatBaseline);
BENCHMARK(Scrypt);

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
