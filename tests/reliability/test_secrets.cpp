/*
 * test_secrets.cpp - what reaches the trace log of a whole run of both
 * plug-ins (accepted login, wrong PIN, missing ";", unknown cookie, the
 * audit row written), at every trace level.
 *
 * Below level 10 no PIN, posted password or cookie appears; at level 10
 * they do (so the test sees them when they are there). The database
 * password appears nowhere at any level, neither clear nor scrambled, nor
 * in the audit table. Each level runs in a child process, so each starts
 * with plug-ins that have read nothing yet.
 */
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "auditdb.h"
#include "eventfixture.h"
#include "plugins.h"
#include "scrypt.h"

namespace {

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

const std::string PIN = "Pin7Q2x";
const std::string DB_PASSWORD = "Db-Pw9Zk3";

/* Runs the plug-ins once in a child; its cookies go to cookieFile. */
void runOnce(const std::string &cookieFile, const std::string &db)
{
    rel::Plugins p;
    if (!p.ok())
        _exit(2);
    smagentReset();
    smagentAddAgent("authkel", rel::SECRET);
    if (p.authInit(rel::PARAMS, rel::SECRET) != 0)
        _exit(3);
    p.eventInit();
    rel::User u{"uid=carol,ou=people,o=kel", PIN};
    std::string good = rel::newCookie(u), other = rel::newCookie(u);
    kt::writeFile(cookieFile, good + "\n" + other + "\n");
    int ok = rel::login(p, u, PIN + ";" + good);
    rel::login(p, u, "Wrong" + PIN + ";" + other);
    rel::login(p, u, other);
    rel::login(p, u, PIN + ";" + good + "x");
    kt::Event e(u.dn, "authlevel=3");
    p.eventRecord(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e.get());
    /* The release discards what is still queued: the row first. */
    if (!kt::eventually([&] { return kt::auditRows(db).size() == 1; }))
        _exit(5);
    p.eventRelease();
    p.authRelease(rel::PARAMS, rel::SECRET);
    _exit(SM_AUTH_STATUS(ok) == SM_AUTH_ACCEPT ? 0 : 4);
}

TEST(Secrets, NoPinCookieOrPasswordBelowLevelTenAndNoDatabasePasswordEver)
{
    for (int level = 0; level <= 10; level++) {
        SCOPED_TRACE("trace level " + std::to_string(level));
        kt::TraceFiles files{level};
        kt::makeDirs(files.home() + "/data");
        std::string db = files.home() + "/data/audit.db";
        kt::createAuditDb(db);
        std::string scrambled = DB_PASSWORD;
        scrypt(&scrambled[0], scrambled.c_str(), true);
        files.writeConfig("kelaudit.conf", "DATASOURCE = audit.db\nUSER = auditor\nPASSWORD = " + scrambled +
                                               "\nMIN_LEVEL = 1\nRETRY_DELAY = 0\n");
        std::string cookieFile = files.home() + "/cookies";
        fflush(nullptr);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            runOnce(cookieFile, db);
        }
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;

        std::string trace = kt::readFile(files.logPath());
        std::vector<std::string> cookies = kt::readLines(cookieFile);
        ASSERT_EQ(2u, cookies.size());
        bool secure = level >= 10;
        EXPECT_EQ(secure, has(trace, PIN)) << "PIN";
        EXPECT_EQ(secure, has(trace, cookies[0])) << "cookie of the accepted login";
        EXPECT_EQ(secure, has(trace, cookies[1])) << "cookie of the refused logins";
        EXPECT_FALSE(has(trace, DB_PASSWORD)) << "database password";
        EXPECT_FALSE(has(trace, scrambled)) << "scrambled database password";
        EXPECT_FALSE(has(kt::readFile(db), DB_PASSWORD)) << "database password in the table";
    }
}

} // namespace
