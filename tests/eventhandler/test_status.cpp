/*
 * test_status.cpp - STATUS_FILE: the counters and gauges written in the
 * Prometheus text format and parsed back; the file replaced whole, a
 * failed write traced once and leaving the last good file; written at the
 * start and at release.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <errno.h>
#include <filesystem>
#include <map>
#include <regex>
#include <thread>
#include <string>

#include "kelsys.h"
#include "sqlitehandler.h"
#include "status.h"
#include "testsupport.h"
#include "trace.h"
#include "tracefiles.h"

namespace {

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    size_t from = 0;
    for (size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
        out.push_back(text.substr(from, nl - from));
    if (from < text.size())
        out.push_back(text.substr(from));
    return out;
}

/* Names in a folder, sorted. */
std::vector<std::string> names(const std::string &dir)
{
    std::vector<std::string> out;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
}

/* The samples of a text in the exposition format, with each metric's
 * HELP and TYPE lines checked on the way. */
std::map<std::string, long long> parseMetrics(const std::string &text)
{
    std::map<std::string, long long> out;
    std::regex sample(R"(^([a-z_]+) (-?\d+)$)"), type(R"(^# TYPE ([a-z_]+) (counter|gauge)$)");
    std::string typed;
    for (const std::string &line : lines(text)) {
        std::smatch m;
        if (line.empty() || line.rfind("# HELP ", 0) == 0)
            continue;
        if (std::regex_match(line, m, type)) {
            typed = m[1];
            EXPECT_EQ(typed.size() > 6 && typed.compare(typed.size() - 6, 6, "_total") == 0, m[2] == "counter")
                << line;
        } else if (std::regex_match(line, m, sample)) {
            EXPECT_EQ(typed, m[1].str()) << "no TYPE line before " << line;
            out[m[1]] = std::stoll(m[2]);
        } else {
            ADD_FAILURE() << "not a line of the format: " << line;
        }
    }
    return out;
}

struct StatusTest : ::testing::Test {
    kt::TraceFiles files{5};
    std::string path = files.home() + "/kelaudit.prom";

    void SetUp() override
    {
        traceReset();
        statusReset();
    }
    void TearDown() override
    {
        statusReset();
        kelSysReset();
        traceReset();
    }
};

StatusGauges sampled = {0, 0, 0};
void sampleFixed(StatusGauges *g)
{
    *g = sampled;
}

TEST_F(StatusTest, CountersAndGaugesParseBack)
{
    sampled = {7, 42, 123456};
    for (int i = 0; i < 5; i++)
        statusRecorded();
    statusWritten(1700000100, 1);
    statusWritten(1700000200, 1);
    statusWriteFailed();
    statusRejected();
    ASSERT_EQ(1, statusStart(path.c_str(), sampleFixed));
    std::map<std::string, long long> m = parseMetrics(kt::readFile(path));
    const std::map<std::string, long long> want = {
        {"kelaudit_events_recorded_total", 5},        {"kelaudit_rows_written_total", 2},
        {"kelaudit_write_failures_total", 1},         {"kelaudit_rejected_total", 1},
        {"kelaudit_events_waiting", 7},               {"kelaudit_oldest_waiting_seconds", 42},
        {"kelaudit_last_commit_timestamp_seconds", 1700000200}, {"kelaudit_journal_bytes", 123456},
    };
    for (const auto &w : want)
        EXPECT_EQ(w.second, m[w.first]) << w.first;
    EXPECT_GT(m["kelaudit_status_timestamp_seconds"], 1700000000);

    /* At release the last values are written, and no temporary file stays. */
    statusRecorded();
    sampled = {0, 0, 0};
    statusStop();
    m = parseMetrics(kt::readFile(path));
    EXPECT_EQ(6, m["kelaudit_events_recorded_total"]);
    EXPECT_EQ(0, m["kelaudit_events_waiting"]);
    EXPECT_EQ((std::vector<std::string>{"config", "kelaudit.prom", "log"}), names(files.home()));
}

/* A failed write leaves the last good file, no temporary file, and one
 * trace line until a write succeeds again. */
TEST_F(StatusTest, FailedWriteKeepsTheLastFileAndIsTracedOnce)
{
    ASSERT_EQ(1, statusStart(path.c_str(), sampleFixed));
    std::string good = kt::readFile(path);
    statusRecorded();
    struct {
        const char *what;
        void (*inject)();
    } faults[] = {
        {"rename", [] { kelSys.rename = [](const char *, const char *) { errno = EXDEV; return -1; }; }},
        {"write", [] { kelSys.write = [](int, const void *, size_t) -> ssize_t { errno = ENOSPC; return -1; }; }},
        {"open", [] { kelSys.open = [](const char *, int, mode_t) { errno = EACCES; return -1; }; }},
    };
    for (const auto &f : faults) {
        f.inject();
        EXPECT_EQ(0, statusWriteNow()) << f.what;
        EXPECT_EQ(0, statusWriteNow()) << f.what;
        kelSysReset();
        EXPECT_EQ(good, kt::readFile(path)) << f.what;
        EXPECT_EQ((std::vector<std::string>{"config", "kelaudit.prom", "log"}), names(files.home())) << f.what;
        ASSERT_EQ(1, statusWriteNow());
        good = kt::readFile(path);
    }
    int failures = 0, again = 0;
    for (const std::string &m : files.messages()) {
        failures += m.rfind("STATUS_FILE " + path + " cannot be written: ", 0) == 0;
        again += m == "STATUS_FILE " + path + " written again";
    }
    EXPECT_EQ(3, failures);
    EXPECT_EQ(3, again);
}

/* The handler with STATUS_FILE and a journal: events recorded from several
 * threads while the file is written over and over; after the release the
 * file counts exactly the rows in the table. (A race test: run it under
 * TSan, repeated.) */
class StatusHandler : public kt::SqliteHandler {
protected:
    void SetUp() override
    {
        SqliteHandler::SetUp();
        statusReset();
    }

    void countsTheRows(const std::string &settings);
};

/* Rows written one at a time and in groups (the two ways the writer
 * commits) are counted alike. */
TEST_F(StatusHandler, CountsTheRowsWhileEventsFlow)
{
    countsTheRows("");
}

TEST_F(StatusHandler, CountsTheRowsOfGroupsWhileEventsFlow)
{
    countsTheRows("BATCH_MAX = 64\n");
}

void StatusHandler::countsTheRows(const std::string &settings)
{
    const int threads = 4, each = 50;
    std::string prom = files.home() + "/kelaudit.prom";
    kt::createAuditDb(db);
    start(settings + "SPOOL_DIR = spool\nSTATUS_FILE = " + prom + "\n");
    EXPECT_TRUE(kt::fileExists(prom)); /* there from the start */
    std::atomic<bool> done(false);
    std::thread writerOfTheFile([&] {
        while (!done)
            statusWriteNow();
    });
    std::vector<std::thread> recorders;
    for (int t = 0; t < threads; t++)
        recorders.emplace_back([&, t] {
            for (int i = 0; i < each; i++)
                record("uid=t" + std::to_string(t) + "-" + std::to_string(i));
        });
    for (std::thread &r : recorders)
        r.join();
    EXPECT_TRUE(waitUsers(threads * each));
    done = true;
    writerOfTheFile.join();
    SmEventRelease();
    std::map<std::string, long long> m = parseMetrics(kt::readFile(prom));
    EXPECT_EQ(threads * each, m["kelaudit_events_recorded_total"]);
    EXPECT_EQ((long long)kt::auditRows(db).size(), m["kelaudit_rows_written_total"]);
    EXPECT_LT(0, m["kelaudit_last_commit_timestamp_seconds"]);
    EXPECT_EQ(0, m["kelaudit_events_waiting"]);
    EXPECT_EQ(0, m["kelaudit_oldest_waiting_seconds"]);
}

} // namespace
