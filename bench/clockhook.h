/*
 * clockhook.h - a clock for the system table that runs with real time but
 * can be pushed forward, so that a benchmark opens the trace module's
 * two-second gates when it wants (after a configuration change) without
 * sleeping, while the timestamps of written lines still move as usual.
 */
#ifndef KEL_CLOCKHOOK_H
#define KEL_CLOCKHOOK_H

#include <atomic>
#include <sys/time.h>

#include "kelsys.h"

namespace kb {

inline std::atomic<long> clockOffset{0};
/* Seconds added at every reading: 0 normally, 2 to open the gate at every call. */
inline std::atomic<long> clockStep{0};

inline int hookedGettimeofday(struct timeval *tv)
{
    int rc = gettimeofday(tv, nullptr);
    long step = clockStep.load(std::memory_order_relaxed);
    tv->tv_sec += step != 0 ? clockOffset.fetch_add(step) + step : clockOffset.load(std::memory_order_relaxed);
    return rc;
}

/* The clock entry the hook replaced. */
inline int (*tableClock)(struct timeval *) = nullptr;

inline void installClock()
{
    if (kelSys.gettimeofday != hookedGettimeofday)
        tableClock = kelSys.gettimeofday;
    kelSys.gettimeofday = hookedGettimeofday;
}

/* Moves the clock two seconds on: the next trace call looks at keltrace.conf. */
inline void openGates()
{
    installClock();
    clockOffset += 2;
}

/* Gives the table its own clock back once a look at keltrace.conf has been
 * made: a call filtered out by its level then reads the seconds as it does
 * in production (time(2)), not through this hook's gettimeofday. The gate
 * that look set is ahead of the real clock by the offset, so it stays
 * closed while the benchmark runs. */
inline void useTableClock()
{
    if (tableClock != nullptr)
        kelSys.gettimeofday = tableClock;
}

} // namespace kb

#endif
