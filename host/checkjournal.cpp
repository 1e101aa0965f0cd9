/*
 * checkjournal.cpp - the audit journal's part of "smhost check": the
 * folder SPOOL_DIR names, as the event handler will use it.
 *
 * The handler makes the folder (one level) when it is missing, takes its
 * lock without waiting, and keeps events in memory only when any of that
 * fails; once the journal holds SPOOL_MAX_MB, recordings wait for room
 * (SPOOL_FULL wait) or new events wait in memory (memory). So the check
 * fails where the handler would fall back to memory or cannot read its
 * files,
 * and warns where the file system has less room than SPOOL_MAX_MB asks
 * for. It only looks: it makes nothing and takes no lock that could keep
 * a starting handler out. The status file (STATUS_FILE) is looked at
 * here too: the handler writes it beside the journal's work.
 */
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "checkreport.h"
#include "journal.h"

namespace smhost {

namespace {

/* Whether path lies on a file system with blocks to store files in (not
 * /proc, /sys and their like, where even root makes nothing). */
bool onDisk(const std::string &path)
{
    struct statvfs fs;
    return statvfs(path.c_str(), &fs) != 0 || fs.f_blocks > 0;
}

/* Free room for the journal against SPOOL_MAX_MB, less what it holds. */
void checkRoom(const std::string &dir, int maxMb, Check &c)
{
    struct statvfs fs;
    struct JournalSummary s;
    unsigned long long want = (unsigned long long)(maxMb < 1 ? 1 : maxMb) * 1024ull * 1024ull;
    unsigned long long held = journalSummarize(dir.c_str(), &s) ? (unsigned long long)s.bytes : 0;

    if (statvfs(dir.c_str(), &fs) != 0) {
        c.warn(std::string("free space unknown: ") + strerror(errno));
        return;
    }
    unsigned long long room = (unsigned long long)fs.f_bavail * fs.f_frsize;
    unsigned long long need = want > held ? want - held : 0;
    c.summary += ", " + std::to_string(room / (1024 * 1024)) + " MB free for SPOOL_MAX_MB " +
                 std::to_string(maxMb);
    if (room < need)
        c.warn("the file system has " + std::to_string(room / (1024 * 1024)) + " MB free, less than the " +
               std::to_string(need / (1024 * 1024)) +
               " MB SPOOL_MAX_MB leaves the journal: a full disk stops it before its limit");
}

} // namespace

void checkJournal(const std::string &dir, int maxMb, Report &report)
{
    Check c("audit journal");
    struct stat st;

    if (dir.empty()) {
        c.verdict = Check::SKIP;
        c.summary = "SPOOL_DIR not set: events wait in memory only until they are written";
        report.print(c);
        return;
    }
    c.summary = dir;
    if (stat(dir.c_str(), &st) != 0) {
        std::string parent = dirOf(dir);
        if (errno != ENOENT)
            c.fail(std::string("cannot be looked at: ") + strerror(errno));
        else if (access(parent.c_str(), W_OK | X_OK) != 0)
            c.fail("missing, and cannot be created in " + parent + ": " + strerror(errno));
        else if (!onDisk(parent))
            c.fail("missing, and " + parent + " is no file system that can hold it");
        else
            c.summary += ": will be created (its folder is writable)";
        if (c.verdict == Check::FAIL)
            c.fail("the event handler would keep events in memory only: lost if the policy server stops");
        report.print(c);
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        c.fail("not a folder: the event handler would keep events in memory only");
    } else if (access(dir.c_str(), W_OK | X_OK) != 0) {
        c.fail(std::string("cannot be written: ") + strerror(errno) +
               ": the event handler would keep events in memory only");
    } else {
        if (journalLockHeld(dir.c_str())) {
            long pid = journalLockHolder(dir.c_str());
            bool alive = pid > 0 && (kill((pid_t)pid, 0) == 0 || errno == EPERM);
            c.summary += std::string(": in use by ") + (alive ? "the running process " : "process ") +
                         std::to_string(pid) + " (a policy server's event handler)";
        } else {
            c.summary += ": lock free";
        }
        struct JournalSummary js;
        if (!journalSummarize(dir.c_str(), &js)) {
            c.fail(std::string("can't read ") + js.unreadable + ": " + strerror(errno));
        } else if (js.positionMissing) {
            c.warn("no valid position file: the next start writes all " + std::to_string(js.events) +
                   " waiting events again");
        }
        checkRoom(dir, maxMb, c);
    }
    report.print(c);
}

void checkStatusFile(const std::string &path, Report &report)
{
    Check c("status file");
    std::string dir = dirOf(path);

    if (path.empty()) {
        c.verdict = Check::SKIP;
        c.summary = "STATUS_FILE not set";
        report.print(c);
        return;
    }
    c.summary = path;
    /* The handler runs on without it: monitoring is what goes blind. */
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        c.warn("cannot be written in " + dir + ": " + strerror(errno) + ": monitoring would see no handler");
    else
        c.summary += ": its folder is writable";
    report.print(c);
}

} // namespace smhost
