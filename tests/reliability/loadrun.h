/*
 * loadrun.h - "smhost load" run in the background while a test makes the
 * database fail under it, and its trace log read back.
 *
 * smhost load checks the outcome itself: it exits 0 only when the table
 * holds every audited login exactly once, each thread's in its own order.
 */
#ifndef KEL_LOADRUN_H
#define KEL_LOADRUN_H

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "eventfixture.h"
#include "testsupport.h"

namespace kt {

class LoadRun {
public:
    LoadRun(const std::string &home, const std::vector<std::string> &args) : home_(home)
    {
        std::vector<std::string> all = {"load", "--home", home};
        all.insert(all.end(), args.begin(), args.end());
        thread_ = std::thread([this, all] { result_ = runProgram(SMHOST_PATH, all); });
    }
    ~LoadRun()
    {
        if (thread_.joinable())
            thread_.join();
    }

    /* Waits for smhost to end; its status and output. */
    const RunResult &finish()
    {
        if (thread_.joinable())
            thread_.join();
        return result_;
    }

    std::string tracePath() const { return home_ + "/log/keltrace.log"; }

    /* Trace messages (after the "pid tid: " prefix) starting with text. */
    int traced(const std::string &text) const
    {
        int n = 0;
        for (const std::string &l : readLines(tracePath())) {
            size_t p = l.find(": ");
            n += p != std::string::npos && l.compare(p + 2, text.size(), text) == 0;
        }
        return n;
    }

    /* Lines of a failed database step ("<step> FAILED..."). */
    int failures() const
    {
        int n = 0;
        for (const std::string &l : readLines(tracePath()))
            n += l.find(" FAILED") != std::string::npos && l.find("OCI") != std::string::npos;
        return n;
    }

private:
    std::string home_;
    std::thread thread_;
    RunResult result_;
};

inline bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

} // namespace kt

#endif
