/*
 * eventfixture.h - access events for the event handler's tests, and a
 * fixture with a throwaway SM_HOME, kelaudit.conf and the trace log.
 */
#ifndef KEL_EVENTFIXTURE_H
#define KEL_EVENTFIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "accessfields.h"
#include "smapi.h"
#include "testsupport.h"
#include "tracefiles.h"

namespace kt {

/* An access event that owns its texts. */
class Event {
public:
    explicit Event(const std::string &user = "uid=alice,ou=people", const std::string &txn = "authlevel=10",
                   int reason = 0)
    {
        texts_[0] = "agent1";
        texts_[1] = "session-" + user;
        texts_[2] = "10.0.0.7";
        texts_[3] = user;
        texts_[4] = "domain-oid";
        texts_[5] = "realm";
        texts_[6] = "realm-oid";
        texts_[7] = "dir";
        texts_[8] = "ldap.example:389";
        texts_[9] = "LDAP:";
        texts_[10] = "www.example";
        texts_[11] = "/protected/page";
        texts_[12] = "GET";
        texts_[13] = txn;
        texts_[14] = "accepted";
        rec_.nVersion = 1;
        rec_.nCurrentTime = 1700000000;
        rec_.nReason = reason;
    }

    /* Text i (0..14, in the record's order). */
    std::string &text(int i) { return texts_[i]; }

    const SmLog_Access_s *get()
    {
        for (int i = 0; i < ACCESS_FIELD_COUNT; i++)
            *accessFieldSlot(&rec_, i) = &texts_[i][0];
        return &rec_;
    }

    SmLog_Access_s &record() { return rec_; }

private:
    std::string texts_[15];
    SmLog_Access_s rec_{};
};

/* A gate the test opens: a thread blocks in pass() (inside a pause or an
 * insert) until release(), so the test can meet it there. */
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    int entered = 0;

    void pass()
    {
        std::unique_lock<std::mutex> lock(m);
        entered++;
        cv.notify_all();
        cv.wait(lock, [this] { return open; });
    }
    bool waitEntered()
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::seconds(20), [this] { return entered > 0; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(m);
        open = true;
        cv.notify_all();
    }
};

/* Polls cond until it holds or a few seconds have passed (a guard against
 * hanging, not a timing assertion). */
inline bool eventually(const std::function<bool()> &cond, int seconds = 20)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace kt

#endif
