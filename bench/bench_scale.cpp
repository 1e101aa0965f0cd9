/*
 * bench_scale.cpp - throughput of the entry points that the policy
 * server's threads call, with 1, 2, 4, 8 and 16 of them at once.
 *
 *   auth      SmAuthenticate of an accepted PIN;cookie login; each login
 *             needs a fresh session, so each thread opens one through the
 *             stand-in just before (counted in the figure at every count);
 *             the accept-once claims are emptied before each round
 *   skip      SmEventRecord of an accepted login below MIN_LEVEL
 *   audit     SmEventRecord of an audited login into a ring of 1000 places;
 *             the writer is held in its retry sleep and a consumer thread
 *             takes entries out as the writer does after each commit
 *
 * For each workload and thread count the threads run together for a fixed
 * time; the figure is all their calls over that time, the median of five
 * rounds (each round runs every thread count once), and the ratio is
 * against one thread. Trace level 0. Prints one
 * JSON line per figure (bench/report.py reads them).
 */
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdio.h>
#include <string.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "agent.h"
#include "audit.h"
#include "claims.h"
#include "authutil.h"
#include "benchutil.h"
#include "clockhook.h"
#include "smagent_control.h"
#include "smauthkel.h"
#include "smeventkel.h"
#include "trace.h"

namespace {

const char *const PARAMS = "AGENT_NAME=loadagent;USE_PIN=yes;MIN_LEVEL=2;MAX_LEVEL=3";
using kb::USER_DN;
const int ROUND_MS = 400;
const int ROUNDS = 5;

kb::Home *home;

/* One accepted login with a session opened for it; false when refused. */
bool login(const Sm_Api_UserContext_t &ctx)
{
    std::string posted = "pin0;" + kb::openSession();
    Sm_Api_UserCredentials_t cred{USER_DN, posted.c_str()};
    char userMsg[128], errMsg[128];
    int rc = SmAuthenticate(nullptr, &ctx, &cred, nullptr, PARAMS, nullptr, sizeof userMsg, userMsg,
                            sizeof errMsg, errMsg);
    return SM_AUTH_STATUS(rc) == SM_AUTH_ACCEPT;
}

/* Runs work on n threads together for ROUND_MS; calls per second. work
 * returns false on a call that did not do what it should. */
template <class F> double round(int n, F work, std::atomic<long> &failures)
{
    std::atomic<bool> go{false}, stop{false};
    std::atomic<long> calls{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < n; i++)
        threads.emplace_back([&, i] {
            long mine = 0, bad = 0;
            while (!go.load(std::memory_order_acquire))
                std::this_thread::yield();
            while (!stop.load(std::memory_order_relaxed)) {
                bad += !work(i);
                mine++;
            }
            calls += mine;
            failures += bad;
        });
    auto start = std::chrono::steady_clock::now();
    go.store(true, std::memory_order_release);
    std::this_thread::sleep_for(std::chrono::milliseconds(ROUND_MS));
    stop = true;
    for (std::thread &t : threads)
        t.join();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return (double)calls.load() / secs;
}

/* Each round of each thread count starts with before() (outside the time).
 * The rounds go through all the thread counts in turn, so that a change in
 * the machine's load falls on every count alike. */
template <class F> void measure(const char *workload, F work, void (*before)() = [] {})
{
    static const int counts[] = {1, 2, 4, 8, 16};
    const int nCounts = (int)(sizeof counts / sizeof counts[0]);
    std::vector<double> rates[nCounts];
    std::atomic<long> failures[nCounts];
    for (int c = 0; c < nCounts; c++)
        failures[c] = 0;
    for (int r = 0; r < ROUNDS; r++)
        for (int c = 0; c < nCounts; c++) {
            before();
            rates[c].push_back(round(counts[c], work, failures[c]));
        }
    double one = 0;
    for (int c = 0; c < nCounts; c++) {
        std::sort(rates[c].begin(), rates[c].end());
        double median = rates[c][ROUNDS / 2];
        if (c == 0)
            one = median;
        printf("{\"bench\": \"scale\", \"workload\": \"%s\", \"threads\": %d, \"calls_per_s\": %.0f, "
               "\"ratio\": %.3f, \"cpus\": %ld, \"failures\": %ld}\n",
               workload, counts[c], median, median / one, sysconf(_SC_NPROCESSORS_ONLN), failures[c].load());
        fflush(stdout);
    }
}

/* ---- the writer held in its retry sleep, a consumer in its place ---- */
std::mutex parkLock;
std::condition_variable parkCond;
bool writerParked = false, releaseWriter = false;

unsigned int parkedSleep(unsigned int)
{
    std::unique_lock<std::mutex> hold(parkLock);
    writerParked = true;
    parkCond.notify_all();
    parkCond.wait(hold, [] { return releaseWriter; });
    return 0;
}

std::atomic<bool> consumerStop{false};

void consume()
{
    while (!consumerStop.load()) {
        queueLock();
        int first, next, count, capacity;
        SmLog_Access_s *e = queueState(&first, &next, &count, &capacity) && count > 0 ? queueGet() : nullptr;
        queueUnlock();
        if (e != nullptr)
            eventFree(e);
        else
            std::this_thread::yield();
    }
}

/* Whether workload w is to run: all of them, or those named on the command line. */
bool wanted(int argc, char **argv, const char *w)
{
    if (argc < 2)
        return true;
    for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], w) == 0)
            return true;
    return false;
}

/* The scheme's workloads, on one agent. */
int runAuth(int argc, char **argv)
{
    smagentAddAgent("loadagent", "load-secret");
    agentSetLibraryPath(AGENTAPI_PATH);
    if (SmAuthInit(PARAMS, "load-secret") != 0) {
        fprintf(stderr, "SmAuthInit failed\n");
        return 1;
    }
    Sm_Api_UserContext_t ctx = kb::userContext();
    /* A claim lives as long as its session may (a day here): the table
     * starts empty at each round, or the rounds would fill it to its cap. */
    if (wanted(argc, argv, "auth"))
        measure("auth", [&](int) { return login(ctx); }, claimsClear);
    SmAuthRelease(PARAMS, "load-secret");
    return 0;
}

/* The event handler's workloads. */
void runEvents(int argc, char **argv)
{
    std::vector<kb::Event *> events;
    for (int i = 0; i < 16; i++)
        events.push_back(new kb::Event("uid=load" + std::to_string(i) + ",ou=people,o=kel",
                                       "authlevel=3;run=12345-1700000000;thread=0;seq=42"));
    if (wanted(argc, argv, "skip")) {
        kb::writeFile(home->configDir() + "/kelaudit.conf", "MIN_LEVEL = 10\n");
        SmEventInit();
        kb::traceLevel(*home, 0);
        measure("skip", [&](int i) {
            SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, events[i]->get());
            return true;
        });
        SmEventRelease();
    }
    if (wanted(argc, argv, "audit")) {
        kb::writeFile(home->configDir() + "/kelaudit.conf",
                      "DATASOURCE = absent.db\nMIN_LEVEL = 3\nMAX_QUEUE = 1000\nRETRY_DELAY = 1\n");
        SmEventInit();
        kb::traceLevel(*home, 0);
        kelSys.sleep = parkedSleep;
        SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, events[0]->get());
        {
            std::unique_lock<std::mutex> hold(parkLock);
            parkCond.wait(hold, [] { return writerParked; });
        }
        std::thread consumer(consume);
        measure("audit", [&](int i) {
            SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, events[i]->get());
            return true;
        });
        consumerStop = true;
        consumer.join();
        {
            std::lock_guard<std::mutex> hold(parkLock);
            releaseWriter = true;
        }
        parkCond.notify_all();
        SmEventRelease();
    }
    for (kb::Event *e : events)
        delete e;
}

} // namespace

/* With workload names as arguments, runs only those. */
int main(int argc, char **argv)
{
    kb::Home h;
    home = &h;
    kb::installClock();
    kb::traceLevel(*home, 0);
    if (runAuth(argc, argv) != 0)
        return 1;
    runEvents(argc, argv);
    traceClose();
    return 0;
}
