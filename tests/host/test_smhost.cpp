/*
 * test_smhost.cpp - the simulated policy server: the demo, a user file, load
 * runs on SQLite and PostgreSQL, bad use.
 */
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>

#include "pgtest.h"
#include "testsupport.h"

namespace {

kt::RunResult smhost(const std::vector<std::string> &args)
{
    return kt::runProgram(SMHOST_PATH, args);
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

TEST(Smhost, DemoShowsEveryOutcomeAndTheAuditRows)
{
    kt::TempDir home;
    kt::RunResult r = smhost({"demo", "--home", home.path()});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Demo passed")) << r.out;
    EXPECT_TRUE(contains(r.out, "PIN and own cookie                       2      0      accepted     as expected, audited"));
    EXPECT_TRUE(contains(r.out, "replay of a logged-out cookie            3      8      rejected     as expected"));
    EXPECT_TRUE(contains(r.out, "wrong PIN 3 of 3: session logged out     3      0      rejected     as expected"));
    EXPECT_TRUE(contains(r.out, "right PIN after the lockout              3      8      rejected     as expected"));
    EXPECT_TRUE(contains(r.out, "  PIN attempt limit reached for user uid=alice,ou=people,o=kel from 192.0.2.10: "
                                "logging the session out\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "user message \"Invalid PIN/cookie in 'password'\", error message \"Posted PIN/cookie: ';' missing\""));
    EXPECT_TRUE(contains(r.out, "  uid=alice,ou=people,o=kel      authlevel=3;"));
    EXPECT_TRUE(contains(r.out, "  uid=dave,ou=people,o=kel       authlevel=3;"));
    EXPECT_FALSE(contains(r.out, "  uid=bob,ou=people,o=kel        authlevel=2;"));
    /* The database password set with kelpasswd never reaches the trace. */
    std::string trace = kt::readFile(home / "log/keltrace.log");
    EXPECT_TRUE(contains(trace, "User authenticated OK"));
    /* Each plug-in names its version when it starts. */
    EXPECT_TRUE(contains(trace, ": libsmauthkel " KEL_PROJECT_VERSION " starting\n")) << trace;
    EXPECT_TRUE(contains(trace, ": libsmeventkel " KEL_PROJECT_VERSION " starting\n")) << trace;
    EXPECT_FALSE(contains(trace, "-pw"));
}

TEST(Smhost, DemoWithAUserFile)
{
    kt::TempDir dir;
    kt::writeFile(dir / "users", kt::readFile(USERS_SAMPLE));
    kt::RunResult r = smhost({"demo", "--home", dir.path(), "--users", dir / "users"});
    EXPECT_EQ(0, r.status) << r.out << r.err;
}

TEST(Smhost, LoadOnSqliteChecksEveryRow)
{
    kt::TempDir home;
    kt::RunResult r = smhost({"load", "--threads", "3", "--logins", "150", "--home", home.path()});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "check passed: 150 audited logins, 150 rows in smaccesslog4")) << r.out;
    EXPECT_TRUE(contains(r.out, "SmAuthenticate      p50 "));
}

/* The metrics of STATUS_FILE, name to value. */
std::map<std::string, long long> metrics(const std::string &text)
{
    std::map<std::string, long long> out;
    std::regex sample(R"(^(kelaudit_[a-z_]+) (-?\d+)$)");
    std::smatch m;
    for (size_t p = 0, n; (n = text.find('\n', p)) != std::string::npos; p = n + 1) {
        std::string line = text.substr(p, n - p);
        if (std::regex_match(line, m, sample))
            out[m[1]] = std::stoll(m[2]);
    }
    return out;
}

/* The folder a load makes for itself is named first and removed at the
 * end unless kept; the password comes from a file; the handler's status
 * file, parsed back, counts exactly the rows the table holds. */
TEST(Smhost, LoadWorkFolderPasswordFileAndStatusFile)
{
    kt::TempDir tmp;
    kt::writeFile(tmp / "pw", "Load-pw1\nignored\n");
    std::string prom = tmp / "kelaudit.prom";
    struct Case {
        std::vector<std::string> extra;
        bool kept;
    } cases[] = {{{}, false}, {{"--keep", "--db-password-file", tmp / "pw", "--status-file", prom}, true}};
    for (const Case &c : cases) {
        std::vector<std::string> args{"load", "--threads", "2", "--logins", "40"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        kt::RunResult r = kt::runProgram(SMHOST_PATH, args, {"TMPDIR=" + tmp.path()});
        ASSERT_EQ(0, r.status) << r.out << r.err;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.out, m, std::regex("^work folder (" + tmp.path() + "/smhost\\w+) \\(")))
            << r.out;
        std::string home = m[1];
        EXPECT_EQ(c.kept, kt::fileExists(home)) << home;
        if (!c.kept)
            continue;
        EXPECT_TRUE(contains(kt::readFile(home + "/config/kelaudit.conf"), "\npassword = "));
        std::map<std::string, long long> v = metrics(kt::readFile(prom));
        EXPECT_EQ(40, v["kelaudit_events_recorded_total"]);
        EXPECT_EQ(40, v["kelaudit_rows_written_total"]);
        EXPECT_EQ(0, v["kelaudit_events_waiting"]);
        EXPECT_EQ(0, v["kelaudit_rejected_total"]);
        EXPECT_GT(v["kelaudit_last_commit_timestamp_seconds"], 1700000000);
        EXPECT_EQ(9u, v.size());
        std::filesystem::remove_all(home);
    }
    kt::RunResult r = smhost({"load", "--db-password-file", tmp / "missing"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("smhost load: cannot read the password file " + (tmp / "missing") + ": No such file or directory\n",
              r.err);
}

/* One line; status 1, but 2 for check, whose 1 means warnings. */
TEST(Smhost, BadUseIsOneLineAndStatusOne)
{
    struct Case {
        std::vector<std::string> args;
        std::string start;
    };
    kt::TempDir dir;
    kt::writeFile(dir / "bad-users", "uid=x | high | 1\n");
    const Case cases[] = {
        {{"demo", "--lib-dir", dir / "nothing-here"}, "smhost demo: cannot load the plug-ins: "},
        {{"frobnicate"}, "smhost: unknown command 'frobnicate'"},
        {{"demo", "--colour"}, "smhost demo: unknown option --colour"},
        {{"load", "--threads", "zero"}, "smhost load: bad option --threads zero"},
        {{"demo", "--users", dir / "missing"}, "smhost demo: cannot read user file "},
        {{"demo", "--users", dir / "bad-users"}, "smhost demo: " + (dir / "bad-users") + ":1: level 'high'"},
        {{"check", "--home", dir / "missing"}, "smhost check: " + (dir / "missing") + " is not a folder"},
        {{"check", "--colour"}, "smhost check: unknown option --colour"},
    };
    for (const Case &c : cases) {
        kt::RunResult r = smhost(c.args);
        EXPECT_EQ(c.args[0] == "check" ? 2 : 1, r.status) << c.start;
        EXPECT_EQ(0u, r.err.rfind(c.start, 0)) << r.err;
        if (c.args[0] != "frobnicate") {
            EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
        }
        EXPECT_EQ("", r.out);
    }
}

/* Asked for, the usage is the answer: on standard output, status 0. */
TEST(Smhost, HelpPrintsTheUsage)
{
    for (const char *option : {"--help", "-h"}) {
        kt::RunResult r = smhost({option});
        EXPECT_EQ(0, r.status) << option << r.err;
        EXPECT_EQ(0u, r.out.rfind("usage: smhost check", 0)) << option << r.out;
        EXPECT_TRUE(contains(r.out, "smhost load")) << r.out;
        EXPECT_EQ("", r.err);
    }
}

TEST(Programs, VersionIsTheProjectsOnStandardOutput)
{
    const std::pair<const char *, const char *> programs[] = {{SMHOST_PATH, "smhost"}, {KELPASSWD_PATH, "kelpasswd"}};
    for (const auto &p : programs) {
        kt::RunResult r = kt::runProgram(p.first, {"--version"});
        EXPECT_EQ(0, r.status) << p.second;
        EXPECT_EQ(std::string(p.second) + " (kel) " KEL_PROJECT_VERSION "\n", r.out);
        EXPECT_EQ("", r.err) << p.second;
    }
}

TEST(SmhostPg, LoadOnPostgresChecksEveryRow)
{
    kt::pg::Server server;
    KT_REQUIRE_PG(server);
    /* A table of its own: other tests leave theirs with indexes of their own. */
    kt::pg::Conn(server).exec("DROP TABLE IF EXISTS smaccesslog4");
    kt::TempDir home;
    kt::RunResult r = smhost({"load", "--threads", "2", "--logins", "100", "--home", home.path(),
                              "--datasource", server.uri, "--db-user", server.user, "--db-password",
                              server.password, "--create-table"});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "check passed: 100 audited logins, 100 rows")) << r.out;
}

} // namespace

namespace {

TEST(Smhost, LoadIntoATableOfItsOwnName)
{
    kt::TempDir home;
    kt::RunResult r = smhost({"load", "--threads", "2", "--logins", "40", "--home", home.path(), "--table",
                              "stepup_audit"});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "check passed: 40 audited logins, 40 rows in stepup_audit")) << r.out;
}

} // namespace
