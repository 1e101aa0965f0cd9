/*
 * sqlitehandler.h - the event handler linked into the test, writing to an
 * SQLite table under a throwaway SM_HOME, with the trace at level 1 and a
 * writer's pause of a few milliseconds: the fixture of the journal,
 * reject and kelaudit tests.
 */
#ifndef KEL_SQLITEHANDLER_H
#define KEL_SQLITEHANDLER_H

#include <gtest/gtest.h>

#include <atomic>
#include <sqlite3.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "auditdb.h"
#include "eventfixture.h"
#include "kelsys.h"
#include "oci_standin.h"
#include "smeventkel.h"
#include "trace.h"
#include "tracefiles.h"

namespace kt {

/* The writer's pauses, counted and short. */
inline std::atomic<int> &naps()
{
    static std::atomic<int> n(0);
    return n;
}

inline unsigned nap(unsigned)
{
    naps()++;
    usleep(3000);
    return 0;
}

class SqliteHandler : public ::testing::Test {
protected:
    TraceFiles files{1};
    std::string db;

    void SetUp() override
    {
        traceReset();
        ociStandinReset();
        naps() = 0;
        makeDirs(files.home() + "/data");
        db = files.home() + "/data/audit.db";
    }

    void TearDown() override
    {
        SmEventRelease();
        EXPECT_EQ(0, ociStandinLiveConnections());
        kelSysReset();
        ociStandinReset();
        traceReset();
    }

    /* kelaudit.conf for the test database and extra lines, then SmEventInit. */
    void start(const std::string &extra)
    {
        files.writeConfig("kelaudit.conf", "DATASOURCE = audit.db\nMIN_LEVEL = 5\nRETRY_DELAY = 1\n"
                                           "MAX_QUEUE = 50\n" + extra);
        kelSys.sleep = nap;
        SmEventInit();
    }

    /* Released, the trace state forgotten (the log opens again at once), started. */
    void restart(const std::string &extra)
    {
        SmEventRelease();
        traceReset();
        start(extra);
    }

    void record(const std::string &user)
    {
        Event e(user, "authlevel=5");
        SmEventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e.get());
    }

    std::vector<std::string> users()
    {
        std::vector<std::string> out;
        for (Row &r : auditRows(db))
            out.push_back(r["sm_username"]);
        return out;
    }

    bool waitUsers(size_t n)
    {
        return eventually([&] { return fileExists(db) && auditRows(db).size() >= n; });
    }

    /* The audit table with a CHECK that refuses the user "bad" for its
     * data. */
    void createTableRefusingBad()
    {
        std::string ddl = readFile(std::string(KEL_SQL_DIR) + "/smaccesslog4.sqlite.sql");
        std::string col = "sm_username         TEXT,";
        ddl.replace(ddl.find(col), col.size(), "sm_username TEXT CHECK (sm_username <> 'bad'),");
        sqlite3 *h = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_open(db.c_str(), &h));
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(h, ddl.c_str(), nullptr, nullptr, nullptr));
        sqlite3_close(h);
    }

    /* Messages that start with text. */
    int traced(const std::string &text)
    {
        int n = 0;
        for (const std::string &m : files.messages())
            n += m.rfind(text, 0) == 0;
        return n;
    }
};

} // namespace kt

#endif
