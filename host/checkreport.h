/*
 * checkreport.h - the lines of "smhost check": one check, its verdict and
 * reasons, and the report that prints them and keeps the count for the
 * exit status.
 */
#ifndef KEL_CHECKREPORT_H
#define KEL_CHECKREPORT_H

#include <stdio.h>
#include <string>
#include <vector>

#include "dbsession.h"

namespace smhost {

/* One check: a line with its verdict, and the reasons below it. */
struct Check {
    enum Verdict { OK, WARN, FAIL, SKIP };
    std::string what, summary;
    Verdict verdict = OK;
    std::vector<std::string> reasons;

    explicit Check(const std::string &w) : what(w) {}
    void warn(const std::string &r)
    {
        if (verdict == OK)
            verdict = WARN;
        reasons.push_back(r);
    }
    void fail(const std::string &r)
    {
        verdict = FAIL;
        reasons.push_back(r);
    }
};

struct Report {
    int checks = 0, failed = 0, warned = 0;

    void print(const Check &c)
    {
        static const char *const marks[] = {"ok", "warn", "FAIL", "skip"};
        if (c.verdict != Check::SKIP)
            checks++;
        if (c.verdict == Check::FAIL)
            failed++;
        if (c.verdict == Check::WARN)
            warned++;
        printf("%-4s  %s: %s\n", marks[c.verdict], c.what.c_str(), c.summary.c_str());
        for (const std::string &r : c.reasons)
            printf("        %s\n", r.c_str());
    }
};

/* The folder of a path; "." for a bare name. */
std::string dirOf(const std::string &path);
/* The path with "..", "." and symbolic links resolved; as given when it
 * cannot be. */
std::string resolved(const std::string &path);

/* The OCI calls: the database writer's table, and the rollback. */
struct OciCalls : OciTable {
    decltype(&OCITransRollback) transRollback;
};
/* The Agent API and the Oracle client, loaded as the scheme and the event
 * handler (their handles given) load them; the library, or NULL after the
 * check's failure. */
void *checkAgentApi(void *authPlugin, Report &report);
void *checkOracleClient(void *eventPlugin, OciCalls &oci, Report &report);

/* The audit journal's folder (resolved SPOOL_DIR; "" when not set) as the
 * event handler will use it. */
void checkJournal(const std::string &dir, int maxMb, Report &report);
/* STATUS_FILE ("" when not set): whether the handler can write it. */
void checkStatusFile(const std::string &path, Report &report);

} // namespace smhost

#endif
